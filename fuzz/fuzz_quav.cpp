// Fuzzes the request handler with a client byte stream over a socketpair.
//
// The server root is a throwaway directory with a few harmless scripts; the
// fuzzer's input is what the client sends before it half-closes. A helper
// thread feeds the input and drains the replies so that neither side can
// block the other. After every input no descriptor and no child may be
// left, and the request state must be empty again.
#include <dirent.h>
#include <ftw.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "log.h"
#include "quavd.h"

namespace {

void check(bool ok, const char *what) {
  if (!ok) {
    std::fprintf(stderr, "fuzz_quav: check failed: %s\n", what);
    std::abort();
  }
}

int count_open_fds() {
  DIR *d = ::opendir("/proc/self/fd");
  if (d == nullptr) return -1;
  int n = 0;
  while (dirent *e = ::readdir(d)) {
    if (e->d_name[0] != '.') ++n;
  }
  ::closedir(d);
  return n;  // includes the directory's own descriptor, every time alike
}

// Children of this process, apart from the sanitizers' symbolizer, which
// they start on their own when they first print a stack or function name.
int script_children() {
  DIR *d = ::opendir("/proc");
  if (d == nullptr) return -1;
  int n = 0;
  const long self = ::getpid();
  while (dirent *e = ::readdir(d)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%s/stat", e->d_name);
    FILE *f = std::fopen(path, "r");
    if (f == nullptr) continue;
    char stat[512];
    std::size_t len = std::fread(stat, 1, sizeof stat - 1, f);
    std::fclose(f);
    stat[len] = '\0';
    const char *open = std::strchr(stat, '(');
    const char *close = std::strrchr(stat, ')');
    if (open == nullptr || close == nullptr || close < open) continue;
    char state;
    long ppid;
    if (std::sscanf(close + 1, " %c %ld", &state, &ppid) != 2 || ppid != self) continue;
    if (std::string(open + 1, close).rfind("llvm-symbol", 0) == 0) continue;
    ++n;
  }
  ::closedir(d);
  return n;
}

void write_script(const char *path, const char *body) {
  FILE *f = std::fopen(path, "w");
  check(f != nullptr, "cannot write a script");
  std::fprintf(f, "#!/bin/sh\n%s", body);
  std::fclose(f);
  ::chmod(path, 0755);
}

void talk(int fd, const std::uint8_t *data, std::size_t size) {
  std::size_t sent = 0;
  bool writing = true;
  if (size == 0) {
    ::shutdown(fd, SHUT_WR);
    writing = false;
  }
  char buf[65536];
  for (;;) {
    pollfd p{fd, static_cast<short>(POLLIN | (writing ? POLLOUT : 0)), 0};
    if (::poll(&p, 1, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
      ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
      if (n == 0) return;
      if (n < 0 && errno != EAGAIN && errno != EINTR) return;
    }
    if (writing && (p.revents & POLLOUT)) {
      ssize_t n = ::send(fd, data + sent, size - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n > 0) sent += static_cast<std::size_t>(n);
      if (n < 0 && errno != EAGAIN && errno != EINTR) writing = false;
      if (sent == size) writing = false;
      if (!writing) ::shutdown(fd, SHUT_WR);
    }
  }
}

// Feeds the client's bytes, half-closes, reads until the handler's side is
// closed, then closes (the handler waits for that before it returns). No
// allocation here: the handler forks meanwhile.
void client(int fd, const std::uint8_t *data, std::size_t size) {
  talk(fd, data, size);
  ::close(fd);
}

char server_root_dir[] = "/tmp/quavd-fuzz-XXXXXX";

int remove_entry(const char *path, const struct stat *, int, FTW *) { return ::remove(path); }

void remove_server_root() { ::nftw(server_root_dir, remove_entry, 8, FTW_DEPTH | FTW_PHYS); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // Paths given to the fuzzer must therefore be absolute.
  char *root = server_root_dir;
  check(::mkdtemp(root) != nullptr, "mkdtemp");
  check(::chdir(root) == 0, "chdir");
  std::atexit(remove_server_root);
  ::mkdir("bin", 0755);
  // Harmless scripts with tiny output: one that reads its input, one that
  // prints its arguments, one that ends by a signal, one that prints nothing.
  write_script("bin/ok", "cat >/dev/null\necho ok\n");
  write_script("bin/args", "echo \"$#\" \"$1\"\n");
  write_script("bin/die", "kill -9 $$\n");
  write_script("bin/quiet", "exit 3\n");
  write_script("run", "echo top\n");
  // Launch failures and outcomes go to a log file here, not the system log.
  set_local_log();
  ::signal(SIGPIPE, SIG_IGN);
  std::fprintf(stderr, "fuzz_quav: server root %s\n", root);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  // Keep the log from growing without bound over millions of inputs.
  ::truncate("quavd.log", 0);
  int fds_before = count_open_fds();

  int sv[2];
  check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0, "socketpair");
  std::thread peer(client, sv[1], data, size);
  sockaddr_in addr{};
  (void)quav(sv[0], &addr, "fuzz.peer");
  // The listener closes the connection after the handler returns.
  ::close(sv[0]);
  peer.join();

  check(count_open_fds() == fds_before, "a descriptor was left open");
  int status;
  pid_t r = ::waitpid(-1, &status, WNOHANG);
  check(r <= 0, "a script was left unreaped");
  check(r == 0 || errno == ECHILD, "waitpid failed");
  if (r == 0) check(script_children() == 0, "a script is still running");
  check(env_count == 0, "env_count not reset");
  check(env[0] == nullptr, "env[0] not reset");
  check(cmd_line == nullptr, "cmd_line not reset");
  check(child_pid == 0, "child_pid not reset");
  check(child_in_fd == 0, "child_in_fd not reset");
  check(child_out_fd == 0, "child_out_fd not reset");
  return 0;
}
