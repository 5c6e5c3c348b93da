// Shared test helpers; see harness.h. Every test process first moves into
// a private network namespace with only loopback up, so that the daemon's
// reverse lookups never leave the machine and fail at once, and into a
// mount namespace where /etc/hosts is the tests' own (test_hosts), so that
// no test depends on the names a machine happens to have.
#include "harness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <algorithm>

#include "quavd.h"

namespace harness {

namespace {

using clock = std::chrono::steady_clock;

bool write_text(const char *path, const std::string &text) {
  int fd = ::open(path, O_WRONLY | O_CLOEXEC);
  bool ok = fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  if (fd >= 0) ::close(fd);
  return ok;
}

// /etc seen through an overlay whose upper layer, on a tmpfs of its own,
// holds the hosts file: the machine's /etc is never written, and it need
// not have a hosts file at all.
bool private_hosts() {
  const char *t = std::getenv("TMPDIR");
  std::string dir = std::string(t != nullptr && t[0] != '\0' ? t : "/tmp") + "/quavd-etc-XXXXXX";
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 || ::mkdtemp(dir.data()) == nullptr)
    return false;
  const std::string options = "lowerdir=/etc,upperdir=" + dir + "/u,workdir=" + dir + "/w";
  bool ok = ::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=1m,mode=0755") == 0 &&
            ::mkdir((dir + "/u").c_str(), 0755) == 0 && ::mkdir((dir + "/w").c_str(), 0755) == 0;
  if (ok) {
    std::ofstream(dir + "/u/hosts") << test_hosts;
    ok = ::mount("overlay", "/etc", "overlay", 0, options.c_str()) == 0;
  }
  // The overlay keeps its layers; the directory itself goes.
  ::umount2(dir.c_str(), MNT_DETACH);
  ::rmdir(dir.c_str());
  return ok;
}

// Root may make the namespaces directly; anyone else through a user
// namespace of their own, where they are root. Without them the tests still
// run, on the machine's own network and names.
bool enter_private_network() {
  uid_t uid = ::geteuid();
  gid_t gid = ::getegid();
  if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) {
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNET | CLONE_NEWNS) != 0) return false;
    write_text("/proc/self/setgroups", "deny");
    write_text("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
    write_text("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
  }
  int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq ifr{};
  std::strcpy(ifr.ifr_name, "lo");
  bool up = s >= 0 && ::ioctl(s, SIOCGIFFLAGS, &ifr) == 0 &&
            (ifr.ifr_flags |= IFF_UP, ::ioctl(s, SIOCSIFFLAGS, &ifr) == 0);
  if (s >= 0) ::close(s);
  if (up && !private_hosts()) std::fprintf(stderr, "harness: no private /etc/hosts; using the machine's\n");
  return up;
}

[[maybe_unused]] const bool hermetic = [] {
  if (std::getenv("QUAVD_TEST_HOST_NETWORK") != nullptr) return false;
  bool ok = enter_private_network();
  if (!ok) std::fprintf(stderr, "harness: no private network namespace; using the host's\n");
  return ok;
}();

int remaining_ms(clock::time_point end) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

sockaddr_in loopback(int port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(static_cast<uint16_t>(port));
  return sa;
}

int connect_loopback(int port, const std::string &source) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in src{};
  src.sin_family = AF_INET;
  sockaddr_in sa = loopback(port);
  if ((!source.empty() && (::inet_pton(AF_INET, source.c_str(), &src.sin_addr) != 1 ||
                           ::bind(fd, reinterpret_cast<sockaddr *>(&src), sizeof src) != 0)) ||
      ::connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Forks a child that ends with the test process, even when the test
// crashes, and runs setup then args; -1 when the fork fails.
template <typename Setup>
pid_t spawn(const std::vector<std::string> &args, Setup setup) {
  std::vector<char *> argv;
  for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  pid_t parent = ::getpid();
  pid_t pid = ::fork();
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(125);
    setup();
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  return pid;
}

// Its status within the time left; else it is killed and -1 returned.
int reap(pid_t pid, clock::time_point end) {
  int status = 0;
  pid_t r = 0;
  while ((r = ::waitpid(pid, &status, WNOHANG)) == 0 && clock::now() < end) {
    timespec ts{0, 5 * 1000 * 1000};
    nanosleep(&ts, nullptr);
  }
  if (r != pid) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The inodes of the listening TCP sockets in the process's network.
std::vector<std::string> listening_inodes(pid_t pid) {
  std::vector<std::string> out;
  for (const char *table : {"/net/tcp", "/net/tcp6"}) {
    std::istringstream in(read_file("/proc/" + std::to_string(pid) + table));
    std::string line, f[10];
    std::getline(in, line);
    while (in >> f[0] >> f[1] >> f[2] >> f[3] >> f[4] >> f[5] >> f[6] >> f[7] >> f[8] >> f[9]) {
      if (f[3] == "0A") out.push_back("socket:[" + f[9] + "]");
      std::getline(in, line);
    }
  }
  return out;
}

// The daemon itself (not a wrapper that starts it) holds a listening socket
// and is blocked in a call that waits for a connection: start-up, the pid
// file included, is over. A memory checker hides that call; there the
// socket must do.
bool waiting_for_clients(pid_t pid) {
  const std::string comm = read_file("/proc/" + std::to_string(pid) + "/comm");
  const bool checker = std::getenv("QUAVD_WRAPPER") != nullptr && comm.starts_with("memcheck");
  if (comm != "quavd\n" && !checker) return false;
  auto inodes = listening_inodes(pid);
  bool listens = false;
  for (int fd = 0; fd < 64 && !listens; ++fd)
    listens = std::find(inodes.begin(), inodes.end(), fd_target(pid, fd)) != inodes.end();
  std::istringstream call(read_file("/proc/" + std::to_string(pid) + "/syscall"));
  long nr = -1;
  if (!listens || checker) return listens;
  // "running": caught between two calls, such as the pid file's open and
  // close, not yet waiting.
  if (!(call >> nr)) return false;
  // The pool's listener waits for signals; its handlers accept.
  for (long waiting : {SYS_accept, SYS_accept4, SYS_poll, SYS_ppoll, SYS_select, SYS_pselect6, SYS_epoll_wait,
                       SYS_epoll_pwait, SYS_rt_sigtimedwait, SYS_rt_sigsuspend})
    if (nr == waiting) return true;
  return false;
}

}  // namespace

temp_dir::temp_dir() {
  const char *t = std::getenv("TMPDIR");
  std::string tmpl = std::string(t != nullptr && t[0] != '\0' ? t : "/tmp") + "/quavd-test-XXXXXX";
  if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path = tmpl;
}

temp_dir::~temp_dir() {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

void make_dirs(const std::string &path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
}

void write_file(const std::string &path, const std::string &content, int mode) {
  make_dirs(std::filesystem::path(path).parent_path());
  {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    if (!f) throw std::runtime_error("cannot write " + path);
    f << content;
  }
  ::chmod(path.c_str(), static_cast<mode_t>(mode));
}

void write_script(const std::string &path, const std::string &body) {
  write_file(path, "#!/bin/sh\n" + body, 0755);
}

std::string read_file(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

bool file_exists(const std::string &path) { return ::access(path.c_str(), F_OK) == 0; }

std::vector<std::string> read_lines(const std::string &path) {
  std::vector<std::string> lines;
  std::istringstream ss(read_file(path));
  for (std::string line; std::getline(ss, line);) lines.push_back(line);
  return lines;
}

int free_port() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa = loopback(0);
  socklen_t len = sizeof sa;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) == 0)
    port = ntohs(sa.sin_port);
  ::close(fd);
  return port;
}

run_result run_program(const std::vector<std::string> &args, const std::string &dir,
                       std::chrono::milliseconds timeout, const std::string &input) {
  // Files rather than pipes: nothing to pump while the program runs.
  temp_dir io;
  write_file(io.path + "/in", input);
  pid_t pid = spawn(args, [&] {
    const char *names[] = {"/in", "/out", "/err"};
    for (int fd = 0; fd < 3; ++fd) {
      int f = ::open((io.path + names[fd]).c_str(), fd == 0 ? O_RDONLY : O_WRONLY | O_CREAT, 0644);
      ::dup2(f, fd);
      if (f > 2) ::close(f);
    }
    if (!dir.empty() && ::chdir(dir.c_str()) != 0) ::_exit(126);
  });
  run_result res;
  res.status = pid < 0 ? -1 : reap(pid, clock::now() + timeout);
  res.out = read_file(io.path + "/out");
  res.err = read_file(io.path + "/err");
  return res;
}

std::string fd_target(pid_t pid, int fd) {
  std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
  char buf[512];
  ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
  return n < 0 ? "" : std::string(buf, static_cast<std::size_t>(n));
}

daemon_proc::~daemon_proc() { stop(); }

bool daemon_proc::start(const std::string &root_dir, const std::vector<std::string> &extra) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    port = free_port();
    // Option reading stops at the first non-option, so the port goes first.
    std::vector<std::string> options = {"-p", std::to_string(port)};
    options.insert(options.end(), extra.begin(), extra.end());
    if (start_raw(options, root_dir)) return true;
  }
  return false;
}

bool daemon_proc::start_raw(const std::vector<std::string> &options, const std::string &dir) {
  root = dir;
  err_path = dir + "/.daemon-stderr";
  std::vector<std::string> args;
  if (const char *wrapper = std::getenv("QUAVD_WRAPPER"); wrapper != nullptr) {
    std::istringstream words(wrapper);
    for (std::string w; words >> w;) args.push_back(w);
  }
  args.push_back(binary);
  args.insert(args.end(), options.begin(), options.end());
  pid = spawn(args, [&] {
    int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int null_fd = ::open("/dev/null", O_RDWR);
    ::dup2(err, 2);
    ::dup2(null_fd, 0);
    ::dup2(null_fd, 1);
    // Nothing else of the test process reaches the daemon: its descriptors
    // are counted.
    ::close_range(3, ~0U, 0);
    if (::chdir(dir.c_str()) != 0) ::_exit(126);
  });
  // Ready once it waits for clients on its listening socket: by then the
  // pid file is written and closed. Probing with a connection would add a
  // line to the log of a filtering daemon.
  bool ended = pid < 0;
  auto ready = [&] {
    ended = ended || ::waitpid(pid, nullptr, WNOHANG) == pid;
    return ended || waiting_for_clients(pid);
  };
  if (wait_until(ready, 10s) && !ended) return true;
  if (!ended) reap(pid, clock::now());
  pid = -1;
  return false;
}

void daemon_proc::stop() {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  reap(pid, clock::now() + 5s);
  pid = -1;
}

namespace {

struct proc_entry {
  pid_t pid;
  pid_t ppid;
  char state;
};

std::vector<proc_entry> processes() {
  std::vector<proc_entry> out;
  DIR *d = ::opendir("/proc");
  while (dirent *e = d != nullptr ? ::readdir(d) : nullptr) {
    if (!std::isdigit(static_cast<unsigned char>(e->d_name[0]))) continue;
    std::string stat = read_file(std::string("/proc/") + e->d_name + "/stat");
    auto close_paren = stat.rfind(')');
    if (close_paren == std::string::npos) continue;
    std::istringstream ss(stat.substr(close_paren + 2));
    proc_entry p{static_cast<pid_t>(std::atoi(e->d_name)), 0, 0};
    ss >> p.state >> p.ppid;
    out.push_back(p);
  }
  if (d != nullptr) ::closedir(d);
  return out;
}

int fd_count(pid_t pid) {
  DIR *d = pid > 0 ? ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str()) : nullptr;
  if (d == nullptr) return -1;
  int n = 0;
  while (dirent *e = ::readdir(d)) n += e->d_name[0] != '.' ? 1 : 0;
  ::closedir(d);
  return n;
}

std::vector<std::string> socket_targets(pid_t pid) {
  std::vector<std::string> out;
  for (int fd = 0; fd < 1024; ++fd)
    if (std::string t = fd_target(pid, fd); t.starts_with("socket:")) out.push_back(t);
  return out;
}

}  // namespace

int daemon_proc::open_fds() const { return fd_count(pid); }

int daemon_proc::idle_fds() const {
  if (pid <= 0 || !wait_until([&] { return socket_targets(pid).size() == 1; })) return -1;
  return open_fds();
}

int daemon_proc::zombie_children() const {
  if (pid <= 0) return -1;
  auto all = processes();
  std::vector<pid_t> parents{pid};
  for (const auto &p : all)
    if (p.ppid == pid) parents.push_back(p.pid);
  int zombies = 0;
  for (const auto &p : all)
    zombies += p.state == 'Z' && std::find(parents.begin(), parents.end(), p.ppid) != parents.end() ? 1 : 0;
  return zombies;
}

std::vector<pid_t> daemon_proc::children() const {
  std::vector<pid_t> out;
  for (const auto &p : processes())
    if (pid > 0 && p.ppid == pid && p.state != 'Z') out.push_back(p.pid);
  return out;
}

std::vector<int> daemon_proc::idle_handler_fds(int *busy) const {
  // A handler holds the listener's sockets; one serving also its connection.
  const auto listening = socket_targets(pid);
  std::vector<int> idle;
  if (busy != nullptr) *busy = 0;
  for (pid_t child : children()) {
    bool serving = false;
    for (const auto &s : socket_targets(child))
      serving = serving || std::find(listening.begin(), listening.end(), s) == listening.end();
    if (!serving) {
      idle.push_back(fd_count(child));
    } else if (busy != nullptr) {
      ++*busy;
    }
  }
  return idle;
}

bool daemon_proc::set_fd_limit(int limit) const {
  rlimit lim{};
  if (pid <= 0 || ::prlimit(pid, RLIMIT_NOFILE, nullptr, &lim) != 0) return false;
  lim.rlim_cur = static_cast<rlim_t>(limit);
  return ::prlimit(pid, RLIMIT_NOFILE, &lim, nullptr) == 0;
}

client::client(int port, const std::string &source_addr) : fd(connect_loopback(port, source_addr)) {
  if (fd >= 0) ::fcntl(fd, F_SETFL, O_NONBLOCK);
}

void client::close() {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

bool client::send(std::string_view data, std::chrono::milliseconds timeout) {
  auto end = clock::now() + timeout;
  while (!data.empty() && clock::now() < end) {
    pollfd p{fd, POLLIN | POLLOUT, 0};
    if (::poll(&p, 1, remaining_ms(end)) <= 0) continue;
    char buf[65536];
    ssize_t n = (p.revents & POLLIN) != 0 ? ::recv(fd, buf, sizeof buf, 0) : 0;
    if (n > 0) got.append(buf, static_cast<std::size_t>(n));
    n = (p.revents & POLLOUT) != 0 ? ::send(fd, data.data(), data.size(), MSG_NOSIGNAL) : 0;
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    if (n > 0) data.remove_prefix(static_cast<std::size_t>(n));
  }
  return data.empty();
}

bool client::read_until_closed(std::size_t want, std::chrono::milliseconds timeout) {
  auto end = clock::now() + timeout;
  while (got.size() < want) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, remaining_ms(end)) <= 0) return false;
    char buf[65536];
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    // A reset closes too: a daemon drops a peer without reading its bytes.
    reset = n < 0 && errno == ECONNRESET;
    if (n <= 0) return n == 0 || reset;
    got.append(buf, static_cast<std::size_t>(n));
  }
  return false;
}

// Long texts are compared without printing megabytes on failure.
::testing::AssertionResult same(const std::string &got, const std::string &want) {
  if (got == want) return ::testing::AssertionSuccess();
  if (got.size() + want.size() < 4000)
    return ::testing::AssertionFailure() << "got  " << ::testing::PrintToString(got) << "\nwant " << ::testing::PrintToString(want);
  std::size_t i = std::mismatch(got.begin(), got.end(), want.begin(), want.end()).first - got.begin();
  return ::testing::AssertionFailure() << "got " << got.size() << " bytes, want " << want.size() << "; they differ from byte " << i
                                       << ": " << ::testing::PrintToString(got.substr(i, 60)) << " against "
                                       << ::testing::PrintToString(want.substr(i, 60));
}

std::string loopback_peer_name(bool v6) {
  sockaddr_in sa = loopback(0);
  sockaddr_in6 sa6{AF_INET6, 0, 0, in6addr_loopback, 0};
  char name[1024];
  map_sockaddr_to_name(v6 ? reinterpret_cast<sockaddr *>(&sa6) : reinterpret_cast<sockaddr *>(&sa), name, sizeof name);
  return name;
}

std::optional<std::string> log_message(const std::string &line) {
  tm parts{};
  // "[Sun Dec  6 18:33:56 2026] message": the day padded by a blank.
  if (line.size() < 27 || line[0] != '[' || line.compare(25, 2, "] ") != 0 || line[9] == '0' ||
      line[10] == ' ' || ::strptime(line.c_str() + 1, "%a %b %e %H:%M:%S %Y", &parts) != line.c_str() + 25)
    return std::nullopt;
  return line.substr(27);
}

served_root::served_root(const std::vector<std::string> &options) {
  make_dirs(root);
  if (!daemon.start(root, options)) throw std::runtime_error("the daemon did not start");
}

void served_root::script(const std::string &rel, const std::string &body) const {
  write_script(root + "/" + rel, body);
}

std::vector<std::string> served_root::log() const {
  std::vector<std::string> out;
  for (const auto &line : read_lines(root + "/quavd.log")) {
    auto m = log_message(line);
    if (!m) throw std::runtime_error("malformed log line: " + line);
    out.push_back(*m);
  }
  return out;
}

int served_root::count_log(const std::string &message) const {
  int n = 0;
  for (const auto &m : log()) n += m == message ? 1 : 0;
  return n;
}

int served_root::outcome_lines() const {
  int n = 0;
  for (const auto &m : log()) n += m.starts_with("command '") ? 1 : 0;
  return n;
}

std::string served_root::send(const std::string &request, bool half_close,
                              std::chrono::milliseconds timeout) const {
  client c(daemon.port);
  if (c.fd < 0) return "";
  c.send(request, timeout);
  if (half_close) ::shutdown(c.fd, SHUT_WR);
  c.read_until_closed(std::string::npos, timeout);
  return c.got;
}

}  // namespace harness
