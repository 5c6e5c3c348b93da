// Fuzzes the request handler with a client byte stream over a socketpair.
//
// The server root is a throwaway directory with a few harmless scripts; the
// input is what the client sends before it half-closes. A thread feeds it
// and drains the replies so that neither side can block the other. After
// every input no descriptor and no child may be left, and the request state
// must be empty again. Each input runs twice, its input lines written to the
// script one write per line and then together: the client must receive the
// same bytes, and bin/ok echoes its input into them.
#include <dirent.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "log.h"
#include "quavd.h"
#include "quavd_internal.h"

namespace {

void check(bool ok, const char *what) {
  if (!ok) {
    std::fprintf(stderr, "fuzz_quav: check failed: %s\n", what);
    std::abort();
  }
}

int count_open_fds() {
  DIR *d = ::opendir("/proc/self/fd");
  int n = 0;
  while (dirent *e = d != nullptr ? ::readdir(d) : nullptr) n += e->d_name[0] != '.';
  if (d != nullptr) ::closedir(d);
  return n;  // the directory's own descriptor included, every time alike
}

// What the client received: its size and a hash (FNV-1a) of its bytes.
struct received {
  std::size_t size = 0;
  std::uint64_t hash = 14695981039346656037ULL;
};

// Feeds the bytes, half-closes, reads until the handler's side is closed,
// then closes (the handler waits for that). No allocation: the handler
// forks meanwhile.
void client(int fd, const std::uint8_t *data, std::size_t size, received *got) {
  std::size_t sent = 0;
  if (size == 0) ::shutdown(fd, SHUT_WR);
  for (char buf[65536];;) {
    pollfd p{fd, static_cast<short>(POLLIN | (sent < size ? POLLOUT : 0)), 0};
    if (::poll(&p, 1, -1) < 0 && errno != EINTR) break;
    if ((p.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;
      for (ssize_t i = 0; i < n; ++i) got->hash = (got->hash ^ static_cast<std::uint8_t>(buf[i])) * 1099511628211ULL;
      got->size += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    if (sent < size && (p.revents & POLLOUT) != 0) {
      ssize_t n = ::send(fd, data + sent, size - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
      sent = n > 0 ? sent + static_cast<std::size_t>(n) : n < 0 && errno != EAGAIN && errno != EINTR ? size : sent;
      if (sent == size) ::shutdown(fd, SHUT_WR);
    }
  }
  ::close(fd);
}

char server_root_dir[] = "/tmp/quavd-fuzz-XXXXXX";

int remove_entry(const char *path, const struct stat *, int, FTW *) { return ::remove(path); }
void remove_server_root() { ::nftw(server_root_dir, remove_entry, 8, FTW_DEPTH | FTW_PHYS); }

void write_script(const char *path, const char *body) {
  FILE *f = std::fopen(path, "w");
  check(f != nullptr, "cannot write a script");
  std::fprintf(f, "#!/bin/sh\n%s", body);
  std::fclose(f);
  ::chmod(path, 0755);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // Paths given to the fuzzer must therefore be absolute.
  check(::mkdtemp(server_root_dir) != nullptr && ::chdir(server_root_dir) == 0, "server root");
  std::atexit(remove_server_root);
  ::mkdir("bin", 0755);
  // Scripts with tiny output: one reads its input, one prints its
  // arguments, one ends by a signal, one prints nothing.
  write_script("bin/ok", "/bin/cat\necho ok\n");
  write_script("bin/args", "echo \"$#\" \"$1\"\n");
  write_script("bin/die", "kill -9 $$\n");
  write_script("bin/quiet", "exit 3\n");
  write_script("run", "echo top\n");
  set_local_log();  // not the system log
  ::signal(SIGPIPE, SIG_IGN);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  received got[2];
  for (int batched = 0; batched < 2; ++batched) {
    batch_input_lines = batched != 0;
    ::truncate("quavd.log", 0);  // bounded over millions of inputs
    int fds_before = count_open_fds();
    int sv[2];
    check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0, "socketpair");
    std::thread peer(client, sv[1], data, size, &got[batched]);
    sockaddr_in addr{};
    (void)quav(sv[0], reinterpret_cast<sockaddr *>(&addr), "fuzz.peer");
    ::close(sv[0]);  // as the listener does after the handler
    peer.join();

    check(count_open_fds() == fds_before, "a descriptor was left open");
    // No child at all: none left running, none left unreaped. (A sanitizer's
    // symbolizer starts only to print a report, which has failed already.)
    check(::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD, "a script was left behind");
    check(env_count == 0 && env[0] == nullptr && cmd_line == nullptr, "request state not reset");
    check(child_pid == 0 && child_in_fd == 0 && child_out_fd == 0, "script state not reset");
  }
  check(got[0].size == got[1].size && got[0].hash == got[1].hash,
        "input lines written together changed what the client received");
  return 0;
}
