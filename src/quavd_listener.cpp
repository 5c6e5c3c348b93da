// quavd listener: the listening sockets and the one-at-a-time accept loop.
#include "quavd.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
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

int listen_fds[MAX_LISTEN_FDS] = {};
int listen_count = 0;
int server_socket = -1;
sockaddr_storage sa_server = {};
volatile sig_atomic_t server_alive = 0;
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

}  // namespace

void pause_briefly() {
  timespec pause{0, 100 * 1000 * 1000};
  while (::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

// A failure is logged, but for an interruption, on a non-blocking socket no
// connection waiting (another handler took it), or a handler that has just
// stopped accepting.
int accept_connection(int listen_fd, sockaddr_storage *peer) {
  socklen_t peer_len = sizeof *peer;
  int connection = ::accept4(listen_fd, reinterpret_cast<sockaddr *>(peer), &peer_len, SOCK_CLOEXEC);
  if (connection >= 0) return connection;
  int err = errno;
  if ((err == EINTR && server_alive) || err == EAGAIN || !server_alive) return -1;
  log_error("socket error: accept failed");
  if (server_alive) graceful_death();
  // With the descriptor table full every accept fails at once: pause
  // rather than spin and flood the log.
  if (out_of_resources(err)) pause_briefly();
  return -1;
}

namespace {

// With client certificates the handshake comes first and the certificate
// names the peer: no reverse lookup. Otherwise a refused peer costs no
// handshake. Nonzero: drop; handshake_ok false when that is why.
int admit(int connection, const sockaddr *peer, char *peer_name, std::size_t size, bool &handshake_ok) {
  if (tls_names_peers()) {
    if (name_by_address(peer, peer_name, size)) return 1;
    handshake_ok = tls_accept(connection);
    if (!handshake_ok) return 1;
    tls_peer_name(peer_name, size);
    return filter_source(peer, peer_name);
  }
  if (name_and_filter(peer, peer_name, size)) return 1;
  handshake_ok = !tls_enabled() || tls_accept(connection);
  return handshake_ok ? 0 : 1;
}

}  // namespace

void serve_connection(int connection, const sockaddr *peer) {
  char peer_name[1024];
  bool handshake_ok = true;
  if (admit(connection, peer, peer_name, sizeof peer_name, handshake_ok)) {
    // A refused client that holds a session learns that it ends here.
    if (handshake_ok) conn_close_notify();
    char message[1024 + 64];
    format_bounded(message, sizeof message, handshake_ok ? "connection from %s dropped"
                                                         : "connection from %s dropped: TLS handshake failed",
                   peer_name);
    log_error(message);
  } else {
    (void)quav(connection, peer, peer_name);
  }
  tls_end();
}

namespace {

// A listening TCP socket of ours, IPv4 or IPv6.
bool listening_tcp_socket(int fd) {
  int type = 0, listening = 0, domain = 0;
  socklen_t len = sizeof(int);
  return ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_STREAM &&
         ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) == 0 && listening != 0 &&
         ::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &len) == 0 &&
         (domain == AF_INET || domain == AF_INET6);
}

// The listening sockets a service manager handed over: descriptors 3 on,
// LISTEN_FDS of them (1 to 16), when LISTEN_PID is this process and every
// one is a listening TCP socket. False, and none taken, otherwise.
bool take_handed_sockets() {
  const char *pid = std::getenv("LISTEN_PID");
  const char *fds = std::getenv("LISTEN_FDS");
  char own[32];
  format_bounded(own, sizeof own, "%ld", static_cast<long>(::getpid()));
  if (pid == nullptr || fds == nullptr || std::strcmp(pid, own) != 0) return false;
  char *end = nullptr;
  const long count = fds[0] >= '0' && fds[0] <= '9' ? std::strtol(fds, &end, 10) : 0;
  if (count < 1 || count > MAX_LISTEN_FDS || *end != '\0') return false;
  for (int i = 0; i < count; ++i)
    if (!listening_tcp_socket(3 + i)) return false;
  for (int i = 0; i < count; ++i) {
    const int fd = 3 + i;
    // Start-up marked it already; scripts must never hold the port.
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    // Service managers hand sockets over non-blocking; one socket served
    // one connection at a time is waited on in accept.
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, count == 1 && max_connections == 1 ? flags & ~O_NONBLOCK : flags | O_NONBLOCK);
    listen_fds[i] = fd;
  }
  listen_count = count;
  return true;
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
  // Handlers bound what is served at once by not accepting: the queue holds
  // as many as are served at once, and never fewer than 5.
  (void)::listen(server_socket, max_connections > 5 ? max_connections : 5);
  // The pool's handlers wait for it together; whoever is late finds none.
  if (max_connections > 1) ::fcntl(server_socket, F_SETFL, ::fcntl(server_socket, F_GETFL) | O_NONBLOCK);
  listen_fds[0] = server_socket;
  listen_count = 1;
}

// The next listening socket with a connection waiting, one at a time.
int ready_listener() {
  if (listen_count == 1) return listen_fds[0];
  pollfd fds[MAX_LISTEN_FDS];
  for (int i = 0; i < listen_count; ++i) fds[i] = {listen_fds[i], POLLIN, 0};
  if (::poll(fds, static_cast<nfds_t>(listen_count), -1) > 0) {
    for (int i = 0; i < listen_count; ++i)
      if ((fds[i].revents & POLLIN) != 0) return listen_fds[i];
  }
  return -1;
}

}  // namespace

void standalone_main() {
  if (!take_handed_sockets()) {
    open_server_socket();
  } else if (listen_options_given) {
    log_error("listening socket handed over by the service manager; -p and -b ignored");
  }
  server_socket = listen_fds[0];
  set_signals();
  if (log_pid() != 0) final_death();
  become_run_user();
  notify_ready();

  server_alive = 1;
  if (max_connections > 1) {
    sigset_t mask;
    ::sigprocmask(SIG_SETMASK, nullptr, &mask);
    serve_pool(mask);
    return;
  }
  while (server_alive) {
    // SIGHUP's new settings hold from the next connection accepted.
    if (listen_count == 1) {
      await_connection(server_socket);
    } else if (reload_pending) {
      reload_settings();
    }
    sockaddr_storage peer{};
    const int listen_fd = ready_listener();
    int connection = listen_fd < 0 ? -1 : accept_connection(listen_fd, &peer);
    if (connection >= 0) {
      serve_connection(connection, reinterpret_cast<sockaddr *>(&peer));
      ::close(connection);
    }
    if (pending_death) graceful_death();
  }
}
