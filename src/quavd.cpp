// quavd start-up: the server settings, the command line, the usage text,
// SIGHUP's reload, the change of user and the readiness notice to a service
// manager.
#include "quavd.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <getopt.h>
#include <grp.h>
#include <linux/close_range.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
int max_connections = 1;
int per_address_limit = 0;
int idle_limit = 0;
int run_limit = 0;
int held_output_limit = 256;
sockaddr_storage listen_address = {};
int listen_options_given = 0;
int forward_confirm = 0;
const char *env_pass_names = nullptr;
int report_status = 0;
int stream_output = 0;
int reloadable_settings = 0;
volatile sig_atomic_t reload_pending = 0;

namespace {

constexpr char usage_pattern_examples[] = "*.example.com, www.example.com";

constexpr int MAX_SECONDS = 86400;

// -u: the user to become once the port is bound; null for none.
char *run_user = nullptr;
uid_t run_uid = 0;
gid_t run_gid = 0;

void note_reload(int) { reload_pending = 1; }

// A file that SIGHUP reads again, made absolute before the change into the
// server root.
void set_absolute(char *&setting, const char *path) {
  char cwd[4096];
  std::free(setting);
  if (path[0] != '/' && ::getcwd(cwd, sizeof cwd) != nullptr) {
    std::size_t size = std::strlen(cwd) + std::strlen(path) + 2;
    setting = static_cast<char *>(std::malloc(size));
    if (setting != nullptr) std::snprintf(setting, size, "%s/%s", cwd, path);
  } else {
    setting = strdup(path);
  }
  if (setting == nullptr) std::exit(1);
}

// -a: the rules file.
void set_rules_file(const char *path) {
  set_absolute(rules_file, path);
  reloadable_settings = 1;
}

// The long options; their codes lie above every short option's.
enum { OPT_TLS_CERT = 256, OPT_TLS_KEY, OPT_TLS_CA };
constexpr option long_options[] = {
    {"tls-cert", required_argument, nullptr, OPT_TLS_CERT},
    {"tls-key", required_argument, nullptr, OPT_TLS_KEY},
    {"tls-ca", required_argument, nullptr, OPT_TLS_CA},
    {nullptr, 0, nullptr, 0},
};

// The rules of -a's file; a fault in it stops the start before anything
// listens.
void load_rules_or_exit() {
  char why[8192];
  if (rules_file == nullptr || load_rules(rules_file, why, sizeof why)) return;
  std::fprintf(stderr, "quavd: %s\n", why);
  std::exit(1);
}

// -u USER[:GROUP]: looked up now, so that an unknown name stops the start
// before anything listens.
void set_run_user(const char *text) {
  std::free(run_user);
  run_user = strdup(text);
  if (run_user == nullptr) std::exit(1);
  char *group_name = std::strchr(run_user, ':');
  if (group_name != nullptr) *group_name++ = '\0';
  const passwd *pw = ::getpwnam(run_user);
  if (pw == nullptr) {
    std::fprintf(stderr, "quavd: -u: unknown user %s\n", run_user);
    std::exit(1);
  }
  run_uid = pw->pw_uid;
  run_gid = pw->pw_gid;
  if (group_name != nullptr) {
    const group *gr = ::getgrnam(group_name);
    if (gr == nullptr) {
      std::fprintf(stderr, "quavd: -u: unknown group %s\n", group_name);
      std::exit(1);
    }
    run_gid = gr->gr_gid;
  }
}

// Only root can become another user; one who already is that user and
// group has nothing to do.
void check_run_user() {
  if (run_user == nullptr || ::geteuid() == 0) return;
  if (run_uid == ::geteuid() && run_gid == ::getegid()) {
    std::free(run_user);
    run_user = nullptr;
    return;
  }
  std::fprintf(stderr, "quavd: -u: only root can run as another user\n");
  std::exit(1);
}

}  // namespace

// ---------------------------------------------------------------------------
// Start-up

void set_server_root(const char *text) { server_root = strdup(text); }
void set_server_port(const char *text) { server_port = read_limit('p', text, 65535); }
void set_debug(const char *text) { debug = std::atoi(text); }

int read_limit(char option, const char *text, int most) {
  long value = 0;
  const char *p = text;
  for (; *p >= '0' && *p <= '9' && value <= most; ++p) value = value * 10 + (*p - '0');
  if (p == text || *p != '\0' || value < 1 || value > most) {
    std::fprintf(stderr, "quavd: -%c takes a number from 1 to %d\n", option, most);
    std::exit(1);
  }
  return static_cast<int>(value);
}

int parse_address(const char *text, sockaddr_storage *out) {
  *out = {};
  auto *v4 = reinterpret_cast<sockaddr_in *>(out);
  auto *v6 = reinterpret_cast<sockaddr_in6 *>(out);
  if (::inet_pton(AF_INET, text, &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
  } else if (::inet_pton(AF_INET6, text, &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
  } else {
    return -1;
  }
  return 0;
}

void reload_settings() {
  reload_pending = 0;
  char why[8192];
  if (!tls_reload(why, sizeof why)) {
    char message[8192 + 48];
    format_bounded(message, sizeof message, "%s; old certificate and key kept", why);
    log_error(message);
  }
  if (rules_file == nullptr) return;
  if (load_rules(rules_file, why, sizeof why)) return;
  char message[8192 + 32];
  format_bounded(message, sizeof message, "%s; old rules kept", why);
  log_error(message);
}

void await_connection(int listening_fd) {
  if (!reloadable_settings) return;
  // SIGHUP is let in only inside ppoll: one that comes before it is seen
  // there, never lost between the test of the flag and the wait.
  sigset_t hup, open_mask;
  ::sigemptyset(&hup);
  ::sigaddset(&hup, SIGHUP);
  ::sigprocmask(SIG_BLOCK, &hup, &open_mask);
  for (;;) {
    if (reload_pending) reload_settings();
    pollfd p{listening_fd, POLLIN, 0};
    if (::ppoll(&p, 1, nullptr, &open_mask) >= 0 || errno != EINTR) break;
  }
  // A SIGHUP that came just before a connection that was already waiting
  // is held back by a ppoll that returns the connection; let in here, its
  // settings still hold for that connection.
  ::sigprocmask(SIG_SETMASK, &open_mask, nullptr);
  if (reload_pending) reload_settings();
}

void become_run_user() {
  if (run_user == nullptr) return;
  const char *failed = ::initgroups(run_user, run_gid) != 0 ? "initgroups"
                       : ::setgid(run_gid) != 0             ? "setgid"
                       : ::setuid(run_uid) != 0             ? "setuid"
                                                            : nullptr;
  if (failed != nullptr) {
    std::fprintf(stderr, "quavd: could not become user %s\n", run_user);
    std::perror(failed);
    final_death();
  }
  // Every id must have changed: were root still to be had, a script could
  // take it.
  if (run_uid != 0 && (::setuid(0) == 0 || ::seteuid(0) == 0 || (run_gid != 0 && ::setgid(0) == 0))) {
    std::fprintf(stderr, "quavd: root could be had back after becoming user %s\n", run_user);
    final_death();
  }
}

void usage(const char *program_name) {
  std::fprintf(stderr, "Usage: %s [-d directory] { -r pattern | -L } [-l] \n", program_name);
  std::fprintf(stderr, "-d directory : specify an alternate directory\n");
  std::fprintf(stderr, "-L local host (loopback) only\n");
  std::fprintf(stderr, "-r restict host to 'pattern' (%s)\n", usage_pattern_examples);
  std::fprintf(stderr, "-l log to local file\n");
  std::fprintf(stderr, "-n allow script to emit headers\n");
  std::fprintf(stderr, "-x turn on debug output\n");
  std::fprintf(stderr, "-c number : serve up to number connections at once (1 to %d)\n",
               MAX_CONNECTIONS);
  std::fprintf(stderr, "-t seconds : end a connection whose client is idle that long (1 to %d)\n",
               MAX_SECONDS);
  std::fprintf(stderr, "-T seconds : end a script still running that long (1 to %d)\n",
               MAX_SECONDS);
  std::fprintf(stderr, "-b address : listen on this IPv4 or IPv6 address only (:: for all of both)\n");
  std::fprintf(stderr, "-F trust a peer's name only if it resolves back to the peer's address\n");
  std::fprintf(stderr, "-V print the version\n");
  std::fprintf(stderr, "-a file : serve only peers that the address rules in file allow\n");
  std::fprintf(stderr, "-u user[:group] : run as this user (and group) once the port is bound\n");
  std::fprintf(stderr, "-C number : at most number connections at once from one address, with -c (1 to %d)\n",
               MAX_CONNECTIONS);
  std::fprintf(stderr, "-P file : write the process id to file (default quavd.pid in the root)\n");
  std::fprintf(stderr, "-E names : pass only these environment entries, comma-separated (NAME* for a beginning)\n");
  std::fprintf(stderr, "--tls-cert file : serve TLS only, with this certificate (and chain), with --tls-key\n");
  std::fprintf(stderr, "--tls-key file : the private key of --tls-cert's certificate\n");
  std::fprintf(stderr, "--tls-ca file : require client certificates from these CAs; they name the peer\n");
  std::fprintf(stderr, "-S send the script's exit status after its output to a client that asks\n");
  std::fprintf(stderr, "-s send each piece of the script's output as it comes\n");
  std::fprintf(stderr, "-m MiB : hold at most MiB of a script's output while its input is written (1 to %d)\n",
               MAX_HELD_MIB);
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

void keep_inherited_fds_from_scripts() {
  if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
  // Kernels without the flag: mark each open descriptor in turn.
  DIR *d = ::opendir("/proc/self/fd");
  if (d == nullptr) return;
  while (dirent *e = ::readdir(d)) {
    int fd = std::atoi(e->d_name);
    if (fd >= 3 && fd != ::dirfd(d)) ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC);
  }
  ::closedir(d);
}

void notify_ready() {
  const char *path = std::getenv("NOTIFY_SOCKET");
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  const std::size_t len = path != nullptr ? std::strlen(path) : 0;
  if (len < 2 || len >= sizeof sa.sun_path || (path[0] != '/' && path[0] != '@')) return;
  std::memcpy(sa.sun_path, path, len);
  // '@' names a socket in the abstract namespace: a leading NUL, no terminator.
  if (path[0] == '@') sa.sun_path[0] = '\0';
  char message[64];
  format_bounded(message, sizeof message, "READY=1\nMAINPID=%ld\n", static_cast<long>(::getpid()));
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  // A manager that is not listening must not hold up or end the daemon.
  (void)::sendto(fd, message, std::strlen(message), MSG_NOSIGNAL | MSG_DONTWAIT,
                 reinterpret_cast<sockaddr *>(&sa),
                 static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len));
  ::close(fd);
}

int quavd_main(int argc, char **argv) {
  ensure_std_fds();
  // Whatever the starter left open must not reach the scripts.
  keep_inherited_fds_from_scripts();
  server_root = ".";
  server_port = 8001;

  const char *program_name = argc > 0 ? argv[0] : "quavd";
  // The leading '+' keeps glibc from reordering: reading stops at the first
  // argument that is not an option.
  int c;
  while ((c = ::getopt_long(argc, argv, "+d:p:r:x:Llnhc:t:T:b:FVa:u:C:P:E:Ssm:", long_options, nullptr)) != -1) {
    switch (c) {
      case 'd': set_server_root(optarg); break;
      case 'p':
        set_server_port(optarg);
        listen_options_given = 1;
        break;
      case 'r':
        std::free(restrict_to);
        restrict_to = strdup(optarg);
        break;
      case 'x': set_debug(optarg); break;
      case 'L': localhost_only = 1; break;
      case 'l': set_local_log(); break;
      case 'n': raw_data = 0; break;
      case 'c': max_connections = read_limit('c', optarg, MAX_CONNECTIONS); break;
      case 't': idle_limit = read_limit('t', optarg, MAX_SECONDS); break;
      case 'T': run_limit = read_limit('T', optarg, MAX_SECONDS); break;
      case 'm': held_output_limit = read_limit('m', optarg, MAX_HELD_MIB); break;
      case 'C': per_address_limit = read_limit('C', optarg, MAX_CONNECTIONS); break;
      case 'b':
        if (parse_address(optarg, &listen_address) != 0) {
          std::fprintf(stderr, "quavd: -b takes an IPv4 address or an IPv6 literal\n");
          std::exit(1);
        }
        listen_options_given = 1;
        break;
      case 'F': forward_confirm = 1; break;
      case 'S': report_status = 1; break;
      case 's': stream_output = 1; break;
      case 'a': set_rules_file(optarg); break;
      case 'u': set_run_user(optarg); break;
      case 'P': set_pid_file(optarg); break;
      case 'E': env_pass_names = optarg; break;
      case OPT_TLS_CERT: set_absolute(tls_cert_file, optarg); break;
      case OPT_TLS_KEY: set_absolute(tls_key_file, optarg); break;
      case OPT_TLS_CA: set_absolute(tls_ca_file, optarg); break;
      case 'V':
        std::printf("quavd %s\n", QUAVD_VERSION);
        std::exit(0);
      default: usage(program_name);
    }
  }
  check_run_user();
  load_rules_or_exit();
  tls_load_or_exit();
  if (reloadable_settings) {
    // A flag only: the rules are read again by the listener, between
    // connections.
    struct sigaction hup {};
    hup.sa_handler = note_reload;
    hup.sa_flags = SA_RESTART;
    ::sigemptyset(&hup.sa_mask);
    ::sigaction(SIGHUP, &hup, nullptr);
  }

  // Only handlers that share a view of the connections can count them.
  if (per_address_limit > 0 && max_connections < 2) {
    std::fprintf(stderr, "quavd: -C needs -c 2 or more\n");
    std::exit(1);
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
