#include "quavd.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "log.h"
#include "util.h"

// ---------------------------------------------------------------------------
// Server settings

const char *server_root = nullptr;
int server_port = 0;
char *restrict_to = nullptr;
int localhost_only = 0;
int raw_data = 1;
int debug = 0;

// ---------------------------------------------------------------------------
// Request state

int quav_state = STATE_COMMAND;
char *env[MAX_ENV + 1] = {};
int env_count = 0;
char *cmd_line = nullptr;
pid_t child_pid = 0;
int child_in_fd = 0;
int child_out_fd = 0;
int in_port = 0;

// ---------------------------------------------------------------------------
// Listener state

int server_socket = -1;
sockaddr_in sa_server = {};
int server_alive = 0;
int pending_death = 0;

namespace {

constexpr char usage_pattern_examples[] = "*.example.com, www.example.com";

// Script output read while its input could not be written. It is kept in
// memory up to HOLD_MEMORY_LIMIT, then in an unlinked temporary file; should
// that file fail, in memory behind it. The relay sends the three in order.
struct byte_buffer {
  char *data = nullptr;
  std::size_t len = 0;
  std::size_t cap = 0;
};

byte_buffer held_head;
byte_buffer held_tail;
int spill_fd = -1;
bool spill_started = false;
bool spill_broken = false;
bool child_out_eof = false;

// Script output passes through here, while it is held and while it is
// relayed; one connection at a time, so one buffer serves both.
char io_buffer[64 * 1024];

void close_fd(int &fd) {
  if (fd > 0) ::close(fd);
  fd = 0;
}

bool append(byte_buffer &b, const char *data, std::size_t len) {
  if (b.len + len > b.cap) {
    std::size_t cap = b.cap != 0 ? b.cap : 65536;
    while (cap < b.len + len) cap *= 2;
    auto *grown = static_cast<char *>(std::realloc(b.data, cap));
    if (grown == nullptr) return false;
    b.data = grown;
    b.cap = cap;
  }
  std::memcpy(b.data + b.len, data, len);
  b.len += len;
  return true;
}

void release(byte_buffer &b) {
  std::free(b.data);
  b = byte_buffer{};
}

int open_spill_file() {
  const char *dir = std::getenv("TMPDIR");
  if (dir == nullptr || dir[0] == '\0') dir = "/tmp";
  int fd = ::open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  char path[4096];
  if (!format_bounded(path, sizeof path, "%s/quavd-hold-XXXXXX", dir)) return -1;
  fd = ::mkostemp(path, O_CLOEXEC);
  if (fd >= 0) ::unlink(path);
  return fd;
}

// Keeps a piece of script output for the relay, in order.
void hold_output(const char *data, std::size_t len) {
  if (!spill_started && held_head.len + len <= HOLD_MEMORY_LIMIT) {
    if (!append(held_head, data, len)) log_error("out of memory holding script output");
    return;
  }
  if (!spill_started) {
    spill_started = true;
    spill_fd = open_spill_file();
    if (spill_fd < 0) {
      spill_broken = true;
      log_error("could not create a file to hold script output; holding it in memory");
    }
  }
  if (!spill_broken) {
    std::size_t done = write_fully(spill_fd, data, len);
    data += done;
    len -= done;
    if (len == 0) return;
    spill_broken = true;
    log_error("could not write held script output to its file; holding it in memory");
  }
  if (!append(held_tail, data, len)) log_error("out of memory holding script output");
}

// Reads what the script has written so far into the hold.
void drain_output_once() {
  ssize_t n;
  do {
    n = ::read(child_out_fd, io_buffer, sizeof io_buffer);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) {
    child_out_eof = true;
    return;
  }
  hold_output(io_buffer, static_cast<std::size_t>(n));
}

void reset_hold() {
  release(held_head);
  release(held_tail);
  if (spill_fd >= 0) ::close(spill_fd);
  spill_fd = -1;
  spill_started = false;
  spill_broken = false;
  child_out_eof = false;
}

}  // namespace

// ---------------------------------------------------------------------------
// Start-up

void set_server_root(const char *text) { server_root = strdup(text); }
void set_server_port(const char *text) { server_port = std::atoi(text); }
void set_debug(const char *text) { debug = std::atoi(text); }

void usage(const char *program_name) {
  std::fprintf(stderr, "Usage: %s [-d directory] { -r pattern | -L } [-l] \n", program_name);
  std::fprintf(stderr, "-d directory : specify an alternate directory\n");
  std::fprintf(stderr, "-L local host (loopback) only\n");
  std::fprintf(stderr, "-r restict host to 'pattern' (%s)\n", usage_pattern_examples);
  std::fprintf(stderr, "-l log to local file\n");
  std::fprintf(stderr, "-n allow script to emit headers\n");
  std::fprintf(stderr, "-x turn on debug output\n");
  std::exit(1);
}

void ensure_std_fds() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      // The lowest free number is this one.
      int null_fd = ::open("/dev/null", O_RDWR);
      if (null_fd < 0) std::_Exit(1);
    }
  }
}

int quavd_main(int argc, char **argv) {
  ensure_std_fds();
  server_root = ".";
  server_port = 8001;

  const char *program_name = argc > 0 ? argv[0] : "quavd";
  // The leading '+' keeps glibc from reordering: reading stops at the first
  // argument that is not an option.
  int c;
  while ((c = ::getopt(argc, argv, "+d:p:r:x:Llnh")) != -1) {
    switch (c) {
      case 'd': set_server_root(optarg); break;
      case 'p': set_server_port(optarg); break;
      case 'r':
        std::free(restrict_to);
        restrict_to = strdup(optarg);
        break;
      case 'x': set_debug(optarg); break;
      case 'L': localhost_only = 1; break;
      case 'l': set_local_log(); break;
      case 'n': raw_data = 0; break;
      default: usage(program_name);
    }
  }

  // Carrying on elsewhere (often /) would let clients run whatever lies
  // below that directory.
  if (::chdir(server_root) != 0) {
    std::fprintf(stderr, "quavd: could not change to directory %s\n", server_root);
    std::perror("chdir");
    std::exit(1);
  }

  standalone_main();
  return 0;
}

// ---------------------------------------------------------------------------
// Listener

void set_signals() { ::signal(SIGPIPE, SIG_IGN); }

// A daemon that could not start must not report success to its supervisor.
void final_death() { std::exit(1); }

void graceful_death() {}

namespace {

bool out_of_resources(int err) {
  return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

}  // namespace

void standalone_main() {
  server_socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (server_socket == -1) {
    std::fprintf(stderr, "quavd: could not get tcp socket\n");
    std::perror("socket");
    final_death();
  }
  int one = 1;
  if (::setsockopt(server_socket, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == -1) {
    std::fprintf(stderr, "quavd: could not set tcp socket option\n");
    std::perror("setsockopt");
    final_death();
  }
  std::memset(&sa_server, 0, sizeof sa_server);
  sa_server.sin_family = AF_INET;
  sa_server.sin_addr.s_addr = htonl(INADDR_ANY);
  sa_server.sin_port = htons(static_cast<std::uint16_t>(server_port & 0xFFFF));
  if (::bind(server_socket, reinterpret_cast<sockaddr *>(&sa_server), sizeof sa_server) == -1) {
    std::fprintf(stderr, "quavd: could not bind tcp socket to port %d\n", server_port);
    std::perror("bind");
    final_death();
  }
  (void)::listen(server_socket, 5);
  set_signals();
  if (log_pid() != 0) final_death();

  server_alive = 1;
  while (server_alive) {
    sockaddr_in peer{};
    socklen_t peer_len = sizeof peer;
    int connection = ::accept4(server_socket, reinterpret_cast<sockaddr *>(&peer), &peer_len,
                               SOCK_CLOEXEC);
    if (connection < 0) {
      int err = errno;
      if (err == EINTR && server_alive) continue;
      log_error("socket error: accept failed");
      if (server_alive) graceful_death();
      // With the descriptor table full every accept fails at once: pause
      // rather than spin and flood the log.
      if (out_of_resources(err)) {
        timespec pause{0, 100 * 1000 * 1000};
        while (::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
        }
      }
    } else {
      char peer_name[1024];
      map_sockaddr_to_name(&peer, peer_name, sizeof peer_name);
      if (filter_source(&peer, peer_name)) {
        char message[1024 + 32];
        format_bounded(message, sizeof message, "connection from %s dropped", peer_name);
        log_error(message);
      } else {
        (void)quav(connection, &peer, peer_name);
      }
      ::close(connection);
    }
    if (pending_death) graceful_death();
  }
}

// ---------------------------------------------------------------------------
// Peer naming and the access filter

const char *find_fqdn(const hostent *entry) {
  static char fqdn[1024];
  const char *name = entry->h_name != nullptr ? entry->h_name : "";
  if (std::strchr(name, '.') != nullptr) return name;
  if (entry->h_aliases != nullptr) {
    std::size_t n = std::strlen(name);
    for (char **alias = entry->h_aliases; *alias != nullptr; ++alias) {
      if (std::strchr(*alias, '.') != nullptr && std::strncmp(*alias, name, n) == 0) return *alias;
    }
  }
  char domain[1024];
  if (::getdomainname(domain, sizeof domain) != 0) domain[0] = '\0';
  domain[sizeof domain - 1] = '\0';
  format_bounded(fqdn, sizeof fqdn, "%s.%s", name, domain);
  return fqdn;
}

void map_sockaddr_to_name(const sockaddr_in *peer, char *dest, std::size_t size) {
  if (size == 0) return;
  const hostent *entry = ::gethostbyaddr(&peer->sin_addr, 4, AF_INET);
  const char *name = entry != nullptr ? find_fqdn(entry) : ip_ntoa(peer->sin_addr.s_addr);
  std::size_t len = std::strlen(name);
  if (len > size - 1) len = size - 1;
  std::memcpy(dest, name, len);
  dest[len] = '\0';
}

int match_suffix(const char *text, const char *suffix) {
  std::size_t text_len = std::strlen(text);
  std::size_t suffix_len = std::strlen(suffix);
  if (suffix_len > text_len) return 0;
  return std::memcmp(text + text_len - suffix_len, suffix, suffix_len) == 0 ? 1 : 0;
}

int filter_source(const sockaddr_in *peer, const char *peer_name) {
  if (localhost_only && peer->sin_addr.s_addr != htonl(INADDR_LOOPBACK)) return 1;
  if (restrict_to == nullptr) return 0;
  if (restrict_to[0] == '*') return match_suffix(peer_name, restrict_to + 1) ? 0 : 1;
  return std::strcmp(peer_name, restrict_to) == 0 ? 0 : 1;
}

// ---------------------------------------------------------------------------
// Script launch

namespace {

// Starts the script without copying the daemon's address space: the child
// borrows it until the exec, so it makes only system calls and touches no
// variable but exec_errno. It gets its input pipe on 0, its output pipe on 1
// and 2, 3 to 19 closed (every other descriptor is close-on-exec), the
// daemon's signal dispositions, the arguments and the environment. When the
// exec fails the child exits with the error number as its status, which
// *exec_err also receives. Returns -1 when no child could be made.
pid_t spawn_script(const char *program, char **argv, char **envp, int in_fd, int out_fd,
                   int *exec_err) {
  volatile int exec_errno = 0;
  pid_t pid = ::vfork();
  if (pid == 0) {
    ::dup2(in_fd, 0);
    ::dup2(out_fd, 1);
    ::dup2(out_fd, 2);
    for (int fd = 3; fd <= 19; ++fd) ::close(fd);
    ::execve(program, argv, envp);
    exec_errno = errno != 0 ? errno : ENOEXEC;
    ::_exit(exec_errno);
  }
  *exec_err = pid > 0 ? exec_errno : 0;
  return pid;
}

}  // namespace

int exec_cmd(char *command, char **envp, const char *peer_name) {
  char message[1024];
  if (clean_up_path(command) != 0) {
    format_bounded(message, sizeof message, "exec of %s failed; bad path", command);
    log_error(message);
    return -1;
  }

  // The vector is built here, before the launch, so that the decoded program
  // path can be checked: %2f and %2e are only decoded by the split.
  char **argv = create_argv(command);
  if (argv == nullptr) {
    format_bounded(message, sizeof message, "exec of %s failed; out of memory", command);
    log_error(message);
    return -1;
  }
  char *program = argv[0];
  if (!program_path_ok(program)) {
    format_bounded(message, sizeof message, "exec of %s failed; bad path", command);
    log_error(message);
    free_argv(argv);
    return -1;
  }

  int in_pipe[2];
  int out_pipe[2];
  if (::pipe2(in_pipe, O_CLOEXEC) != 0) {
    log_error("could not create IPC pipe");
    free_argv(argv);
    return -1;
  }
  if (::pipe2(out_pipe, O_CLOEXEC) != 0) {
    ::close(in_pipe[0]);
    ::close(in_pipe[1]);
    log_error("could not create IPC pipe");
    free_argv(argv);
    return -1;
  }

  // Argument 0 is the name after the last '/'; the program path keeps it.
  if (char *slash = std::strrchr(program, '/'); slash != nullptr) argv[0] = slash + 1;
  int exec_err = 0;
  pid_t pid = spawn_script(program, argv, envp, in_pipe[0], out_pipe[1], &exec_err);
  argv[0] = program;
  ::close(in_pipe[0]);
  ::close(out_pipe[1]);
  if (pid < 0) {
    ::close(in_pipe[1]);
    ::close(out_pipe[0]);
    log_error("could not fork new process");
    free_argv(argv);
    return -1;
  }
  if (exec_err != 0) {
    // The child could not log while it borrowed the daemon's memory; its
    // status is the error number, and the wait logs that as usual.
    format_bounded(message, sizeof message, "command '%s' from %s failed, %s", program, peer_name,
                   std::strerror(exec_err));
    log_error(message);
  }
  free_argv(argv);

  child_pid = pid;
  child_in_fd = in_pipe[1];
  child_out_fd = out_pipe[0];
  // Only the daemon's own end: a full input pipe must not block it.
  ::fcntl(child_in_fd, F_SETFL, ::fcntl(child_in_fd, F_GETFL) | O_NONBLOCK);
  return 0;
}

int start_cmd(char *command, char **envp, const char *peer_name, FILE *out) {
  if (exec_cmd(command, envp, peer_name) != 0) {
    std::fputs("502 Cmd failed\r\n", out);
    std::fflush(out);
    return -1;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Script input and reaping

void send_to_proc(const char *line) {
  if (child_pid == 0 || child_in_fd <= 0) return;
  if (line == nullptr) {
    close_fd(child_in_fd);
    return;
  }
  const char *p = line;
  std::size_t len = std::strlen(line);
  while (len > 0) {
    ssize_t n = ::write(child_in_fd, p, len);
    if (n > 0) {
      p += n;
      len -= static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      // The script is not reading; it may be blocked writing its output.
      // Take that output meanwhile so that neither side waits for ever.
      pollfd fds[2] = {{child_in_fd, POLLOUT, 0}, {child_out_fd, POLLIN, 0}};
      nfds_t nfds = child_out_eof ? 1 : 2;
      int r = ::poll(fds, nfds, -1);
      if (r < 0 && errno != EINTR) return;
      if (nfds == 2 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) drain_output_once();
      continue;
    }
    // The script has gone or closed its input: the rest of the line is lost.
    return;
  }
}

int wait_for_child(const char *command, const char *peer_name) {
  int status = 0;
  pid_t r;
  do {
    r = ::waitpid(child_pid, &status, 0);
  } while (r < 0 && errno == EINTR);

  char prefix[1024];
  format_bounded(prefix, sizeof prefix, "command '%s' from %s ", command, peer_name);
  char outcome[128];
  if (r < 0) {
    format_bounded(outcome, sizeof outcome, "wait failed, %s", std::strerror(errno));
  } else if ((status & 0x7F) != 0) {
    format_bounded(outcome, sizeof outcome, "died with signal %d", status & 0x7F);
  } else {
    format_bounded(outcome, sizeof outcome, "%s, status %d", status == 0 ? "ok" : "failed",
                   (status >> 8) & 0xFF);
  }
  // The outcome always survives, even when a long prefix has been cut.
  char line[sizeof prefix + sizeof outcome];
  format_bounded(line, sizeof line, "%s%s", prefix, outcome);
  log_error(line);
  return 0;
}

// ---------------------------------------------------------------------------
// Request protocol handler

namespace {

const char *const cmds[] = {"env", "cmd", "input", "port", "end", "vers", nullptr};

enum { CMD_ENV = 0, CMD_CMD, CMD_INPUT, CMD_PORT, CMD_END, CMD_VERS };

void reply(FILE *out, const char *text) {
  std::fputs(text, out);
  std::fflush(out);
}

void reply_quoted(FILE *out, const char *fmt, const char *field) {
  std::fprintf(out, fmt, field);
  std::fflush(out);
}

struct relay_state {
  FILE *out;
  std::size_t relayed;
};

void relay_chunk(relay_state &rs, const char *data, std::size_t len) {
  if (len == 0) return;
  if (rs.relayed == 0) {
    std::fprintf(rs.out, "200 Cmd started '%s'\r\n%s", cmd_line, raw_data ? "\r\n" : "");
    std::fflush(rs.out);
  }
  rs.relayed += len;
  // Once the client has gone, the rest is read and dropped.
  if (!std::ferror(rs.out)) std::fwrite(data, 1, len, rs.out);
}

// The connection's buffers: large, so that a big output leaves in few large
// writes and many input lines come in one read. Replies are flushed one by
// one all the same.
char out_buffer[64 * 1024];
char in_buffer[64 * 1024];

// Sends the script's output, what was held first, then the pipe to its end.
void relay_output(FILE *out, const char *peer_name) {
  relay_state rs{out, 0};
  relay_chunk(rs, held_head.data, held_head.len);
  if (spill_fd >= 0 && ::lseek(spill_fd, 0, SEEK_SET) == 0) {
    for (;;) {
      ssize_t n = ::read(spill_fd, io_buffer, sizeof io_buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      relay_chunk(rs, io_buffer, static_cast<std::size_t>(n));
    }
  }
  relay_chunk(rs, held_tail.data, held_tail.len);
  while (!child_out_eof) {
    ssize_t n = ::read(child_out_fd, io_buffer, sizeof io_buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    relay_chunk(rs, io_buffer, static_cast<std::size_t>(n));
  }
  if (rs.relayed == 0) {
    std::fprintf(out, "503 exec of '%s' failed\n", cmd_line);
    std::fflush(out);
  }
  close_fd(child_out_fd);
  std::fflush(out);
  wait_for_child(cmd_line, peer_name);
}

// Clears everything one connection may have left, whatever ended it.
void reset_request_state() {
  close_fd(child_in_fd);
  close_fd(child_out_fd);
  child_pid = 0;
  reset_hold();
  std::free(cmd_line);
  cmd_line = nullptr;
  free_env();
}

// Closing a socket that holds unread client bytes, or that receives more
// of them afterwards, resets the connection, and the reset destroys what the
// client has not read yet: the tail of a large output, or the 500 reply to a
// client that sent more lines behind a bad one. So end our side first and
// take what the client still sends until it closes, within bounds: at most
// 1 MiB and about a second.
void linger_before_close(int connection) {
  if (::shutdown(connection, SHUT_WR) != 0) return;
  constexpr std::size_t max_bytes = 1024 * 1024;
  constexpr int max_ms = 1000;
  timespec start{};
  ::clock_gettime(CLOCK_MONOTONIC, &start);
  std::size_t taken = 0;
  char sink[16384];
  while (taken < max_bytes) {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    long elapsed = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
    if (elapsed >= max_ms) break;
    pollfd p{connection, POLLIN, 0};
    int r = ::poll(&p, 1, static_cast<int>(max_ms - elapsed));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    ssize_t n = ::recv(connection, sink, sizeof sink, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    taken += static_cast<std::size_t>(n);
  }
}

FILE *open_stream(int connection, const char *mode) {
  int fd = ::fcntl(connection, F_DUPFD_CLOEXEC, 3);
  if (fd < 0) return nullptr;
  FILE *stream = ::fdopen(fd, mode);
  if (stream == nullptr) ::close(fd);
  return stream;
}

}  // namespace

int add_env(const char *text) {
  if (env_count >= MAX_ENV) return -1;
  char *copy = strdup(text);
  if (copy == nullptr) return -1;
  env[env_count++] = copy;
  env[env_count] = nullptr;
  return 0;
}

void free_env() {
  for (int i = 0; i < env_count; ++i) {
    std::free(env[i]);
    env[i] = nullptr;
  }
  env_count = 0;
  env[0] = nullptr;
}

int quav(int connection, const sockaddr_in * /*peer*/, const char *peer_name) {
  // Each stream owns a duplicate, so closing both never closes a number
  // twice; the listener closes the connection itself.
  FILE *in = open_stream(connection, "r");
  if (in == nullptr) return -1;
  std::setvbuf(in, in_buffer, _IOFBF, sizeof in_buffer);
  FILE *out = open_stream(connection, "w");
  if (out == nullptr) {
    std::fclose(in);
    return -1;
  }
  std::setvbuf(out, out_buffer, _IOFBF, sizeof out_buffer);

  quav_state = STATE_COMMAND;
  bool running = true;
  int result = 0;
  char line[1024];

  // Starts the script unless one runs; false when there is no command line
  // to start (the dialogue then ends with the 502 reply).
  auto launch = [&]() -> bool {
    if (child_pid != 0) return true;
    if (cmd_line == nullptr) {
      reply(out, "502 No Cmd specified\r\n");
      result = -1;
      return false;
    }
    start_cmd(cmd_line, env, peer_name, out);
    return true;
  };

  while (running) {
    if (std::fgets(line, sizeof line, in) == nullptr) break;
    std::size_t len = std::strlen(line);
    if (len >= 2 && line[len - 2] == '\r' && line[len - 1] == '\n') {
      len -= 2;
    } else if (len >= 1 && line[len - 1] == '\n') {
      len -= 1;
    }
    line[len] = '\0';

    switch (quav_state) {
      case STATE_COMMAND: {
        const char *arg = line + len;
        if (char *blank = std::strchr(line, ' '); blank != nullptr) {
          *blank = '\0';
          arg = blank + 1;
        }
        int index = -1;
        for (int i = 0; cmds[i] != nullptr; ++i) {
          if (line[0] != '\0' && ::strcasecmp(line, cmds[i]) == 0) {
            index = i;
            break;
          }
        }
        switch (index) {
          case CMD_ENV:
            quav_state = STATE_ENV;
            reply(out, "100 Enter env.  End with single '.' on a line\r\n");
            break;
          case CMD_CMD:
            if (arg[0] == '\0') {
              reply(out, "502 No Cmd specified\r\n");
              running = false;
              result = -1;
            } else if (char *copy = strdup(arg); copy == nullptr) {
              reply(out, "502 Cmd failed\r\n");
              running = false;
            } else {
              std::free(cmd_line);
              cmd_line = copy;
              reply_quoted(out, "101 Cmd accepted '%s'\r\n", cmd_line);
            }
            break;
          case CMD_INPUT:
            quav_state = STATE_INPUT;
            break;
          case CMD_PORT:
            quav_state = STATE_PORT;
            in_port = std::atoi(arg);
            break;
          case CMD_END:
            running = false;
            if (launch()) send_to_proc(nullptr);
            break;
          case CMD_VERS:
            break;
          default:
            reply_quoted(out, "500 Bad command '%s'\r\n", line);
            running = false;
            break;
        }
        break;
      }
      case STATE_ENV:
        if (len == 1 && line[0] == '.') {
          reply(out, "100 Env accepted\r\n");
          quav_state = STATE_COMMAND;
        } else if (len > 0 && add_env(line) != 0) {
          reply_quoted(out, "501 Environment full '%s'\r\n", line);
          running = false;
        }
        break;
      case STATE_INPUT:
        if (!launch()) {
          running = false;
          break;
        }
        if (len == 1 && line[0] == '.') quav_state = STATE_COMMAND;
        send_to_proc(line);
        break;
      default:
        // STATE_PORT: consumed without a reply; the dialogue ends only with
        // the end of input.
        break;
    }
  }

  if (child_pid != 0) {
    send_to_proc(nullptr);
    relay_output(out, peer_name);
  }
  std::fflush(out);
  linger_before_close(connection);
  reset_request_state();
  std::fclose(in);
  std::fclose(out);
  return result;
}
