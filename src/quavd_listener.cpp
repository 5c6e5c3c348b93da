// quavd listener: the listening socket and the accept loop.
#include "quavd.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "log.h"
#include "util.h"

// ---------------------------------------------------------------------------
// Listener state

int server_socket = -1;
sockaddr_storage sa_server = {};
int server_alive = 0;
int pending_death = 0;

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

void pause_briefly() {
  timespec pause{0, 100 * 1000 * 1000};
  while (::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

// Accepts the next connection; -1 when there is none. A failure is logged,
// but for an interruption or, on the concurrent loop's non-blocking socket,
// no connection waiting.
int accept_connection(sockaddr_storage *peer) {
  socklen_t peer_len = sizeof *peer;
  int connection = ::accept4(server_socket, reinterpret_cast<sockaddr *>(peer), &peer_len,
                             SOCK_CLOEXEC);
  if (connection >= 0) return connection;
  int err = errno;
  if ((err == EINTR && server_alive) || err == EAGAIN) return -1;
  log_error("socket error: accept failed");
  if (server_alive) graceful_death();
  // With the descriptor table full every accept fails at once: pause
  // rather than spin and flood the log.
  if (out_of_resources(err)) pause_briefly();
  return -1;
}

// Names the peer, applies the filter and either refuses the connection or
// runs the dialogue on it; closes it in both cases.
void serve_connection(int connection, const sockaddr *peer) {
  char peer_name[1024];
  if (name_and_filter(peer, peer_name, sizeof peer_name)) {
    char message[1024 + 32];
    format_bounded(message, sizeof message, "connection from %s dropped", peer_name);
    log_error(message);
  } else {
    (void)quav(connection, peer, peer_name);
  }
  ::close(connection);
}

// The concurrent loop's handler processes, and the signal mask the daemon
// was started with, which they give back to the scripts.
int handler_count = 0;
sigset_t startup_mask;

void reap_handlers() {
  int status;
  while (::waitpid(-1, &status, WNOHANG) > 0) --handler_count;
}

// Serves the connection in a process of its own, which ends with it.
void start_handler(int connection, const sockaddr *peer, int sigchld_fd) {
  pid_t pid = ::fork();
  if (pid == 0) {
    // Only the listener holds the port: a daemon started anew can bind it
    // while this connection is still served.
    ::close(server_socket);
    if (sigchld_fd >= 0) ::close(sigchld_fd);
    ::sigprocmask(SIG_SETMASK, &startup_mask, nullptr);
    serve_connection(connection, peer);
    std::exit(0);
  }
  ::close(connection);
  if (pid < 0) {
    log_error("could not fork new process");
    pause_briefly();
    return;
  }
  ++handler_count;
}

// Accepts while fewer than max_connections handlers run, and otherwise
// waits only for a handler to end. SIGCHLD arrives through a descriptor, so
// that a handler is reaped, and its slot free, as soon as it ends.
void serve_concurrently() {
  sigset_t chld;
  ::sigemptyset(&chld);
  ::sigaddset(&chld, SIGCHLD);
  // SIGHUP comes the same way, so that it is seen before the next accept.
  if (reloadable_settings) ::sigaddset(&chld, SIGHUP);
  ::sigprocmask(SIG_BLOCK, &chld, &startup_mask);
  int sigchld_fd = ::signalfd(-1, &chld, SFD_NONBLOCK | SFD_CLOEXEC);
  // Handlers start as copies of the listener: set up once here what each
  // would otherwise set up anew, the resolver's configuration and the time
  // zone.
  ::sethostent(0);
  ::endhostent();
  ::tzset();
  ::fcntl(server_socket, F_SETFL, ::fcntl(server_socket, F_GETFL) | O_NONBLOCK);
  while (server_alive) {
    reap_handlers();
    pollfd fds[2] = {{sigchld_fd, POLLIN, 0}, {server_socket, POLLIN, 0}};
    nfds_t nfds = handler_count < max_connections ? 2 : 1;
    // Without the descriptor, look for ended handlers every 100 ms.
    if (::poll(fds, nfds, sigchld_fd < 0 ? 100 : -1) < 0) continue;
    if ((fds[0].revents & POLLIN) != 0) {
      signalfd_siginfo info[16];
      for (ssize_t n; (n = ::read(sigchld_fd, info, sizeof info)) > 0;)
        for (ssize_t i = 0; i < n / static_cast<ssize_t>(sizeof info[0]); ++i)
          if (info[i].ssi_signo == SIGHUP) reload_pending = 1;
    }
    if (reload_pending) reload_settings();
    if (nfds == 2 && (fds[1].revents & POLLIN) != 0) {
      sockaddr_storage peer{};
      int connection = accept_connection(&peer);
      if (connection >= 0) start_handler(connection, reinterpret_cast<sockaddr *>(&peer), sigchld_fd);
    }
    if (pending_death) graceful_death();
  }
}

// The listening socket a service manager handed over: descriptor 3, when
// LISTEN_PID is this process and LISTEN_FDS is 1, and only if it is a
// listening TCP socket. -1 otherwise.
int handed_socket() {
  const char *pid = std::getenv("LISTEN_PID");
  const char *fds = std::getenv("LISTEN_FDS");
  char own[32];
  format_bounded(own, sizeof own, "%ld", static_cast<long>(::getpid()));
  if (pid == nullptr || fds == nullptr || std::strcmp(pid, own) != 0 || std::strcmp(fds, "1") != 0)
    return -1;
  int type = 0, listening = 0, domain = 0;
  socklen_t len = sizeof(int);
  if (::getsockopt(3, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_STREAM ||
      ::getsockopt(3, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) != 0 || listening == 0 ||
      ::getsockopt(3, SOL_SOCKET, SO_DOMAIN, &domain, &len) != 0 || (domain != AF_INET && domain != AF_INET6))
    return -1;
  // Start-up marked it already; scripts must never hold the port.
  ::fcntl(3, F_SETFD, FD_CLOEXEC);
  // Service managers hand it over non-blocking; the one-at-a-time loop
  // waits in accept.
  ::fcntl(3, F_SETFL, ::fcntl(3, F_GETFL) & ~O_NONBLOCK);
  return 3;
}

// Opens, binds and listens: on every IPv4 address, or on -b's address.
void open_server_socket() {
  sa_server = listen_address;
  if (sa_server.ss_family == 0) {
    auto *v4 = reinterpret_cast<sockaddr_in *>(&sa_server);
    v4->sin_family = AF_INET;
    v4->sin_addr.s_addr = htonl(INADDR_ANY);
  }
  const int family = sa_server.ss_family;
  server_socket = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (server_socket == -1) {
    std::fprintf(stderr, "quavd: could not get tcp socket\n");
    std::perror("socket");
    final_death();
  }
  int one = 1, zero = 0;
  // "::" takes IPv4 clients too, whatever the system's default.
  if (::setsockopt(server_socket, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == -1 ||
      (family == AF_INET6 && ::setsockopt(server_socket, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero) == -1)) {
    std::fprintf(stderr, "quavd: could not set tcp socket option\n");
    std::perror("setsockopt");
    final_death();
  }
  const auto port = htons(static_cast<std::uint16_t>(server_port & 0xFFFF));
  socklen_t len = sizeof(sockaddr_in);
  if (family == AF_INET6) {
    reinterpret_cast<sockaddr_in6 *>(&sa_server)->sin6_port = port;
    len = sizeof(sockaddr_in6);
  } else {
    reinterpret_cast<sockaddr_in *>(&sa_server)->sin_port = port;
  }
  if (::bind(server_socket, reinterpret_cast<sockaddr *>(&sa_server), len) == -1) {
    std::fprintf(stderr, "quavd: could not bind tcp socket to port %d\n", server_port);
    std::perror("bind");
    final_death();
  }
  // Room for a full set of clients waiting while every handler is busy.
  (void)::listen(server_socket, max_connections > 5 ? max_connections : 5);
}

}  // namespace

void standalone_main() {
  server_socket = handed_socket();
  if (server_socket < 0) {
    open_server_socket();
  } else if (listen_options_given) {
    log_error("listening socket handed over by the service manager; -p and -b ignored");
  }
  set_signals();
  if (log_pid() != 0) final_death();
  become_run_user();

  server_alive = 1;
  if (max_connections > 1) {
    serve_concurrently();
    return;
  }
  while (server_alive) {
    await_connection(server_socket);
    sockaddr_storage peer{};
    int connection = accept_connection(&peer);
    if (connection >= 0) serve_connection(connection, reinterpret_cast<sockaddr *>(&peer));
    if (pending_death) graceful_death();
  }
}
