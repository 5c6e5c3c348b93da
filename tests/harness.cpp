#include "harness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <ctime>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "quavd.h"

#ifndef QUAVD_BINARY
#define QUAVD_BINARY "quavd"
#endif

namespace harness {

namespace {

using clock = std::chrono::steady_clock;

int remaining_ms(clock::time_point end) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

void pause_ms(long ms) {
  struct timespec ts {0, ms * 1000 * 1000};
  nanosleep(&ts, nullptr);
}

sockaddr_in loopback(int port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(static_cast<uint16_t>(port));
  return sa;
}

// A socket connected to 127.0.0.1:port, bound first to source if given; -1.
int connect_loopback(int port, const std::string &source = "") {
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

std::vector<char *> c_argv(const std::vector<std::string> &args) {
  std::vector<char *> argv;
  for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  return argv;
}

// Reaps the child within the time left, else kills it; its status or -1.
int reap(pid_t pid, clock::time_point end) {
  int status = 0;
  pid_t r = 0;
  while (clock::now() < end && (r = ::waitpid(pid, &status, WNOHANG)) == 0) pause_ms(5);
  if (r != pid) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
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

void write_file(const std::string &path, const std::string &content, int mode) {
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

void make_dirs(const std::string &path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
}

std::vector<std::string> read_lines(const std::string &path) {
  std::vector<std::string> lines;
  std::istringstream ss(read_file(path));
  for (std::string line; std::getline(ss, line);) lines.push_back(line);
  return lines;
}

int count_lines_with(const std::string &path, const std::string &text) {
  int n = 0;
  for (const auto &l : read_lines(path)) n += l.find(text) != std::string::npos ? 1 : 0;
  return n;
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
  pid_t pid = ::fork();
  if (pid == 0) {
    const char *names[] = {"/in", "/out", "/err"};
    for (int fd = 0; fd < 3; ++fd) {
      int f = ::open((io.path + names[fd]).c_str(), (fd == 0 ? O_RDONLY : O_WRONLY | O_CREAT) | O_CLOEXEC, 0644);
      ::dup2(f, fd);
    }
    if (!dir.empty() && ::chdir(dir.c_str()) != 0) ::_exit(126);
    ::execv(args[0].c_str(), c_argv(args).data());
    ::_exit(127);
  }
  run_result res;
  res.status = reap(pid, clock::now() + timeout);
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
  const std::string pid_path = root_dir + "/quavd.pid";
  struct stat st {};
  if (::lstat(pid_path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ::unlink(pid_path.c_str());
  for (int attempt = 0; attempt < 5; ++attempt) {
    port = free_port();
    // Option reading stops at the first non-option, so the port goes first.
    std::vector<std::string> options = {"-p", std::to_string(port)};
    options.insert(options.end(), extra.begin(), extra.end());
    if (start_raw(options, root_dir)) return true;
  }
  return false;
}

bool daemon_proc::start_raw(const std::vector<std::string> &options, const std::string &dir,
                            const std::string &pid_dir) {
  root = dir;
  err_path = dir + "/.daemon-stderr";
  const std::string pid_path = (pid_dir.empty() ? dir : pid_dir) + "/quavd.pid";
  std::vector<std::string> args;
  if (const char *wrapper = std::getenv("QUAVD_WRAPPER"); wrapper != nullptr) {
    std::istringstream words(wrapper);
    for (std::string w; words >> w;) args.push_back(w);
  }
  args.push_back(QUAVD_BINARY);
  args.insert(args.end(), options.begin(), options.end());
  pid = ::fork();
  if (pid == 0) {
    int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (err >= 0) ::dup2(err, 2);
    int null_fd = ::open("/dev/null", O_RDWR);
    for (int fd = 0; fd <= (inherit_up_to > 2 ? inherit_up_to : 1); ++fd) {
      if (fd != 2) ::dup2(null_fd, fd);
    }
    // Nothing else of the test process may reach the daemon: descriptor
    // counts and limits are measured on it.
    ::close_range(static_cast<unsigned>(inherit_up_to > 2 ? inherit_up_to + 1 : 3), ~0U, 0);
    if (null_fd > inherit_up_to) ::close(null_fd);
    for (int fd : closed_std) ::close(fd);
    if (::chdir(dir.c_str()) != 0) ::_exit(126);
    if (fd_limit > 0) {
      rlimit lim{static_cast<rlim_t>(fd_limit), static_cast<rlim_t>(fd_limit)};
      if (::setrlimit(RLIMIT_NOFILE, &lim) != 0) ::_exit(125);
    }
    ::execvp(args[0].c_str(), c_argv(args).data());
    ::_exit(127);
  }
  // The pid file is written once the socket listens. Probing with a
  // connection would add a line to the log of a filtering daemon.
  bool ended = false;
  auto ready = [&] {
    ended = ended || ::waitpid(pid, nullptr, WNOHANG) == pid;
    std::string text = read_file(pid_path);
    return ended || (!text.empty() && text.back() == '\n');
  };
  if (wait_until(ready, std::chrono::seconds(10)) && !ended) return true;
  if (!ended) reap(pid, clock::now());
  pid = -1;
  return false;
}

void daemon_proc::stop() {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  reap(pid, clock::now() + std::chrono::seconds(5));
  pid = -1;
}

int daemon_proc::open_fds() const {
  DIR *d = pid > 0 ? ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str()) : nullptr;
  if (d == nullptr) return -1;
  int n = 0;
  while (dirent *e = ::readdir(d)) n += e->d_name[0] != '.' ? 1 : 0;
  ::closedir(d);
  return n;
}

int daemon_proc::zombie_children() const {
  DIR *d = pid > 0 ? ::opendir("/proc") : nullptr;
  if (d == nullptr) return -1;
  int zombies = 0;
  while (dirent *e = ::readdir(d)) {
    if (!std::isdigit(static_cast<unsigned char>(e->d_name[0]))) continue;
    std::string stat = read_file(std::string("/proc/") + e->d_name + "/stat");
    auto close_paren = stat.rfind(')');
    if (close_paren == std::string::npos) continue;
    std::istringstream ss(stat.substr(close_paren + 2));
    char state = 0;
    long ppid = 0;
    ss >> state >> ppid;
    zombies += ppid == pid && state == 'Z' ? 1 : 0;
  }
  ::closedir(d);
  return zombies;
}

int daemon_proc::idle_fds() const {
  auto sockets = [&] {
    int n = 0;
    for (int fd = 0; fd < 1024; ++fd) n += fd_target(pid, fd).rfind("socket:", 0) == 0 ? 1 : 0;
    return n;
  };
  if (pid <= 0 || !wait_until([&] { return sockets() == 1; })) return -1;
  return open_fds();
}

bool daemon_proc::set_fd_limit(int limit) const {
  rlimit lim{};
  if (pid <= 0 || ::prlimit(pid, RLIMIT_NOFILE, nullptr, &lim) != 0) return false;
  lim.rlim_cur = static_cast<rlim_t>(limit);
  return ::prlimit(pid, RLIMIT_NOFILE, &lim, nullptr) == 0;
}

std::string exchange(int port, const std::string &request, const exchange_options &opt) {
  std::string got;
  int fd = connect_loopback(port, opt.source_addr);
  if (fd < 0) return got;
  ::fcntl(fd, F_SETFL, O_NONBLOCK);
  auto end = clock::now() + opt.timeout;
  std::size_t sent = 0;
  bool writing = !request.empty();
  if (!writing && opt.half_close) ::shutdown(fd, SHUT_WR);
  while (clock::now() < end) {
    pollfd p{fd, static_cast<short>(POLLIN | (writing ? POLLOUT : 0)), 0};
    if (::poll(&p, 1, remaining_ms(end)) <= 0) continue;
    if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
      char buf[65536];
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;
      if (n > 0) got.append(buf, static_cast<std::size_t>(n));
    }
    if (writing && (p.revents & POLLOUT)) {
      ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
      if (n > 0) sent += static_cast<std::size_t>(n);
      if (n < 0 && errno != EAGAIN && errno != EINTR) writing = false;
      if (sent == request.size()) {
        writing = false;
        if (opt.half_close) ::shutdown(fd, SHUT_WR);
      }
    }
  }
  ::close(fd);
  return got;
}

std::string exchange(int port, const std::string &request, bool half_close) {
  exchange_options opt;
  opt.half_close = half_close;
  return exchange(port, request, opt);
}

client::client(int port) : fd(connect_loopback(port)) {}

void client::close() {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

bool client::send_all(const std::string &data) const {
  for (std::size_t done = 0; done < data.size();) {
    ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool client::read_until_closed(std::string &got, std::size_t want,
                               std::chrono::milliseconds timeout) const {
  auto end = clock::now() + timeout;
  while (got.size() < want) {
    int left = remaining_ms(end);
    if (left <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, left) <= 0) continue;
    char buf[65536];
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return n == 0;
    got.append(buf, static_cast<std::size_t>(n));
  }
  return false;
}

std::string loopback_peer_name() {
  sockaddr_in sa = loopback(0);
  char name[1024];
  map_sockaddr_to_name(&sa, name, sizeof name);
  return name;
}

bool is_ctime_text(const std::string &t) {
  tm parts{};
  const char *end = ::strptime(t.c_str(), "%a %b %e %H:%M:%S %Y", &parts);
  // The fields at their fixed places: the day of the month padded by a blank.
  return t.size() == 24 && end == t.c_str() + 24 && t[3] == ' ' && t[7] == ' ' && t[10] == ' ' &&
         t[13] == ':' && t[19] == ' ' && t[9] != ' ' && t[8] != '0';
}

std::optional<std::string> log_message(const std::string &line) {
  if (line.size() < 27 || line[0] != '[' || line.compare(25, 2, "] ") != 0 ||
      !is_ctime_text(line.substr(1, 24)))
    return std::nullopt;
  return line.substr(27);
}

}  // namespace harness
