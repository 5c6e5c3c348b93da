// Started by the daemon in the tests in place of a script: prints the
// argument vector, the environment, every input byte it was given and any
// descriptor from 3 up that it holds, so that a test can compare them with
// what the client sent.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

extern char **environ;

int main(int argc, char **argv) {
  std::string text = "argc=" + std::to_string(argc) + "\n";
  for (int i = 0; i < argc; ++i) text += "argv[" + std::to_string(i) + "]=" + argv[i] + "\n";
  for (char **e = environ; e != nullptr && *e != nullptr; ++e) text += std::string("env=") + *e + "\n";
  std::string input;
  char buf[4096];
  for (;;) {
    ssize_t got = ::read(0, buf, sizeof buf);
    if (got <= 0) break;
    input.append(buf, static_cast<std::size_t>(got));
  }
  text += "in(" + std::to_string(input.size()) + ")=" + input + "\n";
  for (int fd = 3; fd < 1024; ++fd) text += ::fcntl(fd, F_GETFD) != -1 ? "fd " + std::to_string(fd) + " open\n" : "";
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t w = ::write(1, text.data() + done, text.size() - done);
    if (w <= 0) return 1;
    done += static_cast<std::size_t>(w);
  }
  return 0;
}
