// quavd pool (-c above 1): long-lived handlers that serve one connection
// after another on the listening sockets, the count of connections per
// address (-C), and the listener's supervision of the handlers.
#include "quavd.h"

#include <netdb.h>
#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "log.h"
#include "quavd_internal.h"
#include "util.h"

namespace {

// A handler that has had no connection for this long ends, unless it is
// the only one waiting.
constexpr long long IDLE_RETIRE_MS = 10000;
// A handler that dies within this time of its start is replaced only after
// a pause, doubled at each such death up to the longest.
constexpr long long SHORT_LIFE_MS = 1000;
constexpr long long BACKOFF_FIRST_MS = 100;
constexpr long long BACKOFF_LONGEST_MS = 5000;
// An orderly stop signals the handlers still running again this often, in
// case a signal came just before a wait that it then could not cut short.
constexpr long long STOP_RESEND_MS = 1000;

enum : unsigned char { SLOT_FREE = 0, SLOT_IDLE, SLOT_BUSY };

// What the listener and its handlers share: each slot's state, and, under
// the robust lock (a handler that dies holding it cannot wedge it), the
// address each handler serves, IPv4 ones IPv4-mapped so both forms count
// as one.
struct pool_shared {
  pthread_mutex_t lock;
  std::atomic<unsigned char> state[MAX_CONNECTIONS];
  bool has_peer[MAX_CONNECTIONS];
  in6_addr peer[MAX_CONNECTIONS];
};

pool_shared *pool = nullptr;
pid_t listener_pid = 0;

// In a handler: its slot, its wait for connections, and the signal that
// ended its service (SIGTERM: an orderly stop; SIGUSR1: finish and go).
int own_slot = -1;
pid_t own_pid = 0;
int epoll_fd = -1;
volatile sig_atomic_t stop_signal = 0;
volatile sig_atomic_t listeners_closed = 0;

// Stops accepting at once: the listening sockets are closed even while a
// connection is served, so that a daemon started anew can bind the port.
void on_stop_signal(int sig) {
  // A script between its vfork and its exec shares this memory.
  if (::getpid() != own_pid) return;
  const int saved = errno;
  if (sig == SIGTERM || stop_signal == 0) stop_signal = sig;
  server_alive = 0;
  if (listeners_closed == 0) {
    listeners_closed = 1;
    for (int i = 0; i < listen_count; ++i) ::close(listen_fds[i]);
    if (epoll_fd >= 0) ::close(epoll_fd);
  }
  errno = saved;
}

void on_wake_signal(int) {}

void take_signal(int sig, void (*handler)(int), bool restart) {
  struct sigaction sa {};
  sa.sa_handler = handler;
  ::sigemptyset(&sa.sa_mask);
  sa.sa_flags = restart ? SA_RESTART : 0;
  ::sigaction(sig, &sa, nullptr);
}

// A slot other than the handler's own that waits for a connection; and,
// when there is none, whether a free slot leaves room for one more.
bool other_idle(int own, bool *room) {
  bool free_slot = false;
  for (int i = 0; i < max_connections; ++i) {
    const unsigned char s = pool->state[i].load(std::memory_order_relaxed);
    if (s == SLOT_IDLE && i != own) return true;
    free_slot = free_slot || s == SLOT_FREE;
  }
  if (room != nullptr) *room = free_slot;
  return false;
}

bool lock_pool() {
  int r = ::pthread_mutex_lock(&pool->lock);
  if (r == EOWNERDEAD) r = ::pthread_mutex_consistent(&pool->lock);
  return r == 0;
}

in6_addr address_key(const sockaddr *peer) {
  in6_addr key{};
  if (peer->sa_family == AF_INET6) return reinterpret_cast<const sockaddr_in6 *>(peer)->sin6_addr;
  key.s6_addr[10] = key.s6_addr[11] = 0xFF;
  std::memcpy(&key.s6_addr[12], &reinterpret_cast<const sockaddr_in *>(peer)->sin_addr, 4);
  return key;
}

// Counts the peer in this handler's slot, unless that makes more than -C
// connections from its address; false then.
bool count_peer(const sockaddr *peer) {
  const in6_addr key = address_key(peer);
  if (!lock_pool()) return true;
  int same = 0;
  for (int i = 0; i < max_connections; ++i)
    same += pool->has_peer[i] && std::memcmp(&pool->peer[i], &key, sizeof key) == 0 ? 1 : 0;
  const bool admitted = same < per_address_limit;
  if (admitted) {
    pool->peer[own_slot] = key;
    pool->has_peer[own_slot] = true;
  }
  ::pthread_mutex_unlock(&pool->lock);
  return admitted;
}

void forget_peer(int slot) {
  if (!lock_pool()) return;
  pool->has_peer[slot] = false;
  ::pthread_mutex_unlock(&pool->lock);
}

// One connection, as the serial daemon serves it, or closed without a
// byte when its address already has -C connections.
void take_connection(int connection, const sockaddr *peer) {
  pool->state[own_slot].store(SLOT_BUSY);
  // The spare has been taken: the listener starts another if there is room.
  bool room = false;
  if (!other_idle(own_slot, &room) && room && ::getppid() == listener_pid) ::kill(listener_pid, SIGUSR2);
  if (per_address_limit > 0 && !count_peer(peer)) {
    ::close(connection);
    char peer_name[1024];
    map_sockaddr_to_name(peer, peer_name, sizeof peer_name);
    char message[1024 + 64];
    format_bounded(message, sizeof message, "connection from %s dropped: too many at once", peer_name);
    log_error(message);
  } else {
    serve_connection(connection, peer);
    if (per_address_limit > 0) forget_peer(own_slot);
    ::close(connection);
  }
  pool->state[own_slot].store(SLOT_IDLE);
}

// The handler's wait: every listening socket, one handler woken for each
// connection where the system can (EPOLLEXCLUSIVE).
void watch_listeners() {
  epoll_fd = ::epoll_create1(EPOLL_CLOEXEC);
  for (int i = 0; i < listen_count; ++i) {
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLEXCLUSIVE;
    ev.data.fd = listen_fds[i];
    if (::epoll_ctl(epoll_fd, EPOLL_CTL_ADD, listen_fds[i], &ev) != 0) {
      ev.events = EPOLLIN;
      (void)::epoll_ctl(epoll_fd, EPOLL_CTL_ADD, listen_fds[i], &ev);
    }
  }
}

// A handler: serves connections until it is stopped, or has waited long
// enough while another one waits too. Nothing of one connection reaches
// the next: the handler resets its request state as the serial daemon does.
[[noreturn]] void run_handler(int slot, const sigset_t &script_mask) {
  own_slot = slot;
  own_pid = ::getpid();
  watch_listeners();
  take_signal(SIGTERM, on_stop_signal, false);
  take_signal(SIGUSR1, on_stop_signal, true);
  if (reloadable_settings) take_signal(SIGHUP, on_wake_signal, true);
  // The listener's death, however it came, stops this handler's service.
  ::prctl(PR_SET_PDEATHSIG, SIGUSR1);
  ::sigprocmask(SIG_SETMASK, &script_mask, nullptr);
  if (::getppid() != listener_pid) on_stop_signal(SIGUSR1);
  long long idle_since = monotonic_ms();
  while (stop_signal == 0) {
    const long long left = idle_since + IDLE_RETIRE_MS - monotonic_ms();
    if (left <= 0) {
      if (other_idle(own_slot, nullptr)) break;
      idle_since = monotonic_ms();
      continue;
    }
    epoll_event ready[MAX_LISTEN_FDS];
    const int n = ::epoll_wait(epoll_fd, ready, MAX_LISTEN_FDS, static_cast<int>(left));
    for (int i = 0; i < n && stop_signal == 0; ++i) {
      sockaddr_storage peer{};
      const int connection = accept_connection(ready[i].data.fd, &peer);
      if (connection < 0) continue;
      take_connection(connection, reinterpret_cast<const sockaddr *>(&peer));
      idle_since = monotonic_ms();
    }
    if (n < 0 && errno != EINTR && stop_signal == 0) pause_briefly();
  }
  std::exit(0);
}

// ---------------------------------------------------------------------------
// Supervision, in the listener

struct handler_record {
  pid_t pid;
  long long started;
};
handler_record handlers[MAX_CONNECTIONS];
int live_handlers = 0;

void signal_handlers(int sig) {
  for (int i = 0; i < max_connections; ++i)
    if (handlers[i].pid > 0) ::kill(handlers[i].pid, sig);
}

// False when no handler could be made.
bool start_handler(const sigset_t &script_mask) {
  int slot = 0;
  while (slot < max_connections && handlers[slot].pid != 0) ++slot;
  if (slot == max_connections) return true;
  // Counted as waiting from now on, so that one spare is started once.
  pool->state[slot].store(SLOT_IDLE);
  const pid_t pid = ::fork();
  if (pid == 0) run_handler(slot, script_mask);
  if (pid < 0) {
    pool->state[slot].store(SLOT_FREE);
    log_error("could not fork new process");
    return false;
  }
  handlers[slot] = {pid, monotonic_ms()};
  ++live_handlers;
  return true;
}

void log_handler_end(pid_t pid, int status) {
  char message[128];
  if (WIFSIGNALED(status)) {
    format_bounded(message, sizeof message, "handler %d died with signal %d", static_cast<int>(pid),
                   WTERMSIG(status));
  } else {
    format_bounded(message, sizeof message, "handler %d failed, status %d", static_cast<int>(pid),
                   WEXITSTATUS(status));
  }
  log_error(message);
}

// Reaps every handler that has ended. One that died is logged with what
// ended it, and its slot, its peer's count included, is cleared before.
// Returns how the deaths bear on the pause before the next start: 1 when
// one died young, -1 when one died after a good life, else 0.
int reap_handlers() {
  int verdict = 0;
  int status = 0;
  pid_t pid;
  while ((pid = ::waitpid(-1, &status, WNOHANG)) > 0) {
    int slot = 0;
    while (slot < max_connections && handlers[slot].pid != pid) ++slot;
    if (slot == max_connections) continue;
    if (per_address_limit > 0) forget_peer(slot);
    pool->state[slot].store(SLOT_FREE);
    const long long lived = monotonic_ms() - handlers[slot].started;
    handlers[slot] = {};
    --live_handlers;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) continue;
    log_handler_end(pid, status);
    verdict = lived < SHORT_LIFE_MS ? 1 : verdict == 0 ? -1 : verdict;
  }
  return verdict;
}

void make_pool() {
  void *shared = ::mmap(nullptr, sizeof(pool_shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared == MAP_FAILED) {
    std::perror("quavd: mmap");
    final_death();
  }
  pool = new (shared) pool_shared();
  pthread_mutexattr_t attr;
  ::pthread_mutexattr_init(&attr);
  ::pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  ::pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  ::pthread_mutex_init(&pool->lock, &attr);
  ::pthread_mutexattr_destroy(&attr);
}

// The supervisor's state between two signals.
struct supervision {
  bool stopping = false;
  long long backoff = 0;
  long long next_start = 0;
  long long next_resend = 0;
};

// Keeps one handler waiting while fewer than max_connections run, unless a
// pause after handlers that died young is not over yet.
void keep_spare(supervision &sv, const sigset_t &script_mask) {
  bool room = false;
  while (!sv.stopping && monotonic_ms() >= sv.next_start && !other_idle(-1, &room) && room) {
    if (start_handler(script_mask)) continue;
    sv.backoff = sv.backoff == 0 ? BACKOFF_FIRST_MS : std::min(sv.backoff * 2, BACKOFF_LONGEST_MS);
    sv.next_start = monotonic_ms() + sv.backoff;
  }
}

// How long to wait for the next signal: -1 for as long as it takes.
long long supervision_timeout(const supervision &sv) {
  const long long now = monotonic_ms();
  if (sv.stopping) return std::max(sv.next_resend - now, 0LL);
  bool room = false;
  if (sv.next_start > now && !other_idle(-1, &room) && room) return sv.next_start - now;
  return -1;
}

void handle_signal(supervision &sv, int sig) {
  const int verdict = reap_handlers();
  if (verdict > 0) {
    sv.backoff = sv.backoff == 0 ? BACKOFF_FIRST_MS : std::min(sv.backoff * 2, BACKOFF_LONGEST_MS);
    sv.next_start = monotonic_ms() + sv.backoff;
  } else if (verdict < 0) {
    sv.backoff = 0;
  }
  const long long now = monotonic_ms();
  if ((sig == SIGTERM && !sv.stopping) || (sv.stopping && now >= sv.next_resend)) {
    sv.stopping = true;
    signal_handlers(SIGTERM);
    sv.next_resend = now + STOP_RESEND_MS;
  }
  if (sig == SIGHUP && !sv.stopping) {
    // Handlers that hold the old settings end once their connection is
    // done; fresh copies of the listener take their place.
    reload_settings();
    signal_handlers(SIGUSR1);
  }
}

}  // namespace

bool stop_requested() { return stop_signal == SIGTERM; }

void serve_pool(const sigset_t &script_mask) {
  // Taken by the listener through sigtimedwait only; SIGUSR1 is blocked so
  // that a new handler holds it until it is ready for it.
  sigset_t taken;
  ::sigemptyset(&taken);
  for (int sig : {SIGCHLD, SIGTERM, SIGUSR2}) ::sigaddset(&taken, sig);
  if (reloadable_settings) ::sigaddset(&taken, SIGHUP);
  sigset_t blocked = taken;
  ::sigaddset(&blocked, SIGUSR1);
  ::sigprocmask(SIG_BLOCK, &blocked, nullptr);
  // Handlers start as copies of the listener: set up once here what each
  // would otherwise set up anew, the resolver's configuration and the time
  // zone.
  ::sethostent(0);
  ::endhostent();
  ::tzset();
  make_pool();
  listener_pid = ::getpid();
  supervision sv;
  for (;;) {
    keep_spare(sv, script_mask);
    if (sv.stopping && live_handlers == 0) std::exit(0);
    const long long wait_ms = supervision_timeout(sv);
    timespec wait{static_cast<time_t>(wait_ms / 1000), static_cast<long>(wait_ms % 1000) * 1000000};
    siginfo_t info;
    const int sig = ::sigtimedwait(&taken, &info, wait_ms < 0 ? nullptr : &wait);
    handle_signal(sv, sig);
  }
}
