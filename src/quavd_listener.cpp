// quavd listener: the listening socket and the accept loop.
#include "quavd.h"

#include <arpa/inet.h>
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

int server_socket = -1;
sockaddr_in sa_server = {};
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
