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

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#ifndef QUAVD_BINARY
#define QUAVD_BINARY "quavd"
#endif

namespace harness {

namespace {

std::string tmp_base() {
  const char *t = std::getenv("TMPDIR");
  return (t != nullptr && t[0] != '\0') ? t : "/tmp";
}

void remove_tree(const std::string &path) {
  DIR *d = ::opendir(path.c_str());
  if (d != nullptr) {
    while (dirent *e = ::readdir(d)) {
      std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      std::string child = path + "/" + name;
      struct stat st {};
      if (::lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        ::chmod(child.c_str(), 0755);
        remove_tree(child);
      } else {
        ::unlink(child.c_str());
      }
    }
    ::closedir(d);
  }
  ::rmdir(path.c_str());
}

using clock = std::chrono::steady_clock;

int remaining_ms(clock::time_point end) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

temp_dir::temp_dir() {
  std::string tmpl = tmp_base() + "/quavd-test-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (::mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path = buf.data();
}

temp_dir::~temp_dir() { remove_tree(path); }

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
  std::string cur;
  std::stringstream ss(path);
  std::string part;
  if (!path.empty() && path[0] == '/') cur = "/";
  while (std::getline(ss, part, '/')) {
    if (part.empty()) continue;
    cur += part + "/";
    ::mkdir(cur.c_str(), 0755);
  }
}

int free_port() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = 0;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0) {
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
    port = ntohs(sa.sin_port);
  }
  ::close(fd);
  return port;
}

run_result run_program(const std::vector<std::string> &args, const std::string &dir,
                       std::chrono::milliseconds timeout, const std::string &input) {
  run_result res;
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (::pipe2(in_pipe, O_CLOEXEC) || ::pipe2(out_pipe, O_CLOEXEC) || ::pipe2(err_pipe, O_CLOEXEC))
    return res;
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in_pipe[0], 0);
    ::dup2(out_pipe[1], 1);
    ::dup2(err_pipe[1], 2);
    if (!dir.empty() && ::chdir(dir.c_str()) != 0) ::_exit(126);
    std::vector<char *> argv;
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(in_pipe[0]);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  ::signal(SIGPIPE, SIG_IGN);
  std::size_t written = 0;
  if (input.empty()) {
    ::close(in_pipe[1]);
    in_pipe[1] = -1;
  } else {
    ::fcntl(in_pipe[1], F_SETFL, O_NONBLOCK);
  }
  auto end = clock::now() + timeout;
  bool out_open = true, err_open = true;
  while ((out_open || err_open) && clock::now() < end) {
    pollfd fds[3] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}, {in_pipe[1], POLLOUT, 0}};
    fds[0].fd = out_open ? out_pipe[0] : -1;
    fds[1].fd = err_open ? err_pipe[0] : -1;
    if (::poll(fds, 3, remaining_ms(end)) <= 0) continue;
    char buf[65536];
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
        ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
        if (n <= 0) {
          (i == 0 ? out_open : err_open) = false;
        } else {
          (i == 0 ? res.out : res.err).append(buf, static_cast<std::size_t>(n));
        }
      }
    }
    if (in_pipe[1] >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t n = ::write(in_pipe[1], input.data() + written, input.size() - written);
      if (n > 0) written += static_cast<std::size_t>(n);
      if (n < 0 || written == input.size()) {
        ::close(in_pipe[1]);
        in_pipe[1] = -1;
      }
    }
  }
  if (in_pipe[1] >= 0) ::close(in_pipe[1]);
  ::close(out_pipe[0]);
  ::close(err_pipe[0]);
  int status = 0;
  pid_t r = 0;
  while (clock::now() < end && (r = ::waitpid(pid, &status, WNOHANG)) == 0) {
    struct timespec ts {0, 5 * 1000 * 1000};
    nanosleep(&ts, nullptr);
  }
  if (r != pid) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    res.status = -1;
    return res;
  }
  res.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return res;
}

daemon_proc::~daemon_proc() { stop(); }

bool daemon_proc::start(const std::string &root_dir, const std::vector<std::string> &extra,
                        const std::string &binary) {
  root = root_dir;
  err_path = root_dir + "/.daemon-stderr";
  std::string pid_path = root_dir + "/quavd.pid";
  struct stat st {};
  if (::lstat(pid_path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ::unlink(pid_path.c_str());
  for (int attempt = 0; attempt < 5; ++attempt) {
    port = free_port();
    std::vector<std::string> args;
    if (const char *wrapper = std::getenv("QUAVD_WRAPPER"); wrapper != nullptr) {
      std::istringstream words(wrapper);
      for (std::string w; words >> w;) args.push_back(w);
    }
    args.push_back(binary.empty() ? QUAVD_BINARY : binary);
    // Option reading stops at the first non-option, so the port goes first.
    args.push_back("-p");
    args.push_back(std::to_string(port));
    for (const auto &e : extra) args.push_back(e);
    pid = ::fork();
    if (pid == 0) {
      int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
      if (err >= 0) ::dup2(err, 2);
      int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
      ::dup2(null_fd, 0);
      ::dup2(null_fd, 1);
      // Nothing else of the test process (or of whatever started it) may
      // reach the daemon: descriptor counts and limits are measured on it.
      ::close_range(3, ~0U, 0);
      if (::chdir(root_dir.c_str()) != 0) ::_exit(126);
      std::vector<char *> argv;
      for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
      argv.push_back(nullptr);
      if (fd_limit > 0) {
        rlimit lim{static_cast<rlim_t>(fd_limit), static_cast<rlim_t>(fd_limit)};
        if (::setrlimit(RLIMIT_NOFILE, &lim) != 0) ::_exit(125);
      }
      ::execvp(argv[0], argv.data());
      ::_exit(127);
    }
    auto end = clock::now() + std::chrono::seconds(10);
    while (clock::now() < end) {
      int status;
      if (::waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        break;
      }
      // The pid file is written only once the socket listens. Probing with
      // a connection would add a line to the log of a filtering daemon.
      std::string pid_text = read_file(root_dir + "/quavd.pid");
      if (!pid_text.empty() && pid_text.back() == '\n') return true;
      struct timespec ts {0, 10 * 1000 * 1000};
      nanosleep(&ts, nullptr);
    }
    if (pid > 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      pid = -1;
    }
  }
  return false;
}

void daemon_proc::stop() {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  int status;
  auto end = clock::now() + std::chrono::seconds(5);
  while (clock::now() < end) {
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      pid = -1;
      return;
    }
    struct timespec ts {0, 5 * 1000 * 1000};
    nanosleep(&ts, nullptr);
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  pid = -1;
}

int daemon_proc::open_fds() const {
  if (pid <= 0) return -1;
  std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  DIR *d = ::opendir(dir.c_str());
  if (d == nullptr) return -1;
  int n = 0;
  while (dirent *e = ::readdir(d)) {
    if (e->d_name[0] != '.') ++n;
  }
  ::closedir(d);
  return n;
}

int daemon_proc::zombie_children() const {
  if (pid <= 0) return -1;
  int zombies = 0;
  DIR *d = ::opendir("/proc");
  if (d == nullptr) return -1;
  while (dirent *e = ::readdir(d)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    std::string stat = read_file(std::string("/proc/") + e->d_name + "/stat");
    auto close_paren = stat.rfind(')');
    if (close_paren == std::string::npos) continue;
    std::istringstream ss(stat.substr(close_paren + 2));
    char state = 0;
    long ppid = 0;
    ss >> state >> ppid;
    if (ppid == pid && state == 'Z') ++zombies;
  }
  ::closedir(d);
  return zombies;
}

int daemon_proc::idle_fds() const {
  if (pid <= 0) return -1;
  std::string dir = "/proc/" + std::to_string(pid) + "/fd/";
  auto sockets = [&] {
    int n = 0;
    for (int fd = 0; fd < 1024; ++fd) {
      char target[256];
      ssize_t len = ::readlink((dir + std::to_string(fd)).c_str(), target, sizeof target - 1);
      if (len > 0 && std::string(target, static_cast<std::size_t>(len)).rfind("socket:", 0) == 0) ++n;
    }
    return n;
  };
  if (!wait_until([&] { return sockets() == 1; }, std::chrono::seconds(5))) return -1;
  return open_fds();
}

long daemon_proc::rss_kib() const {
  if (pid <= 0) return -1;
  std::istringstream ss(read_file("/proc/" + std::to_string(pid) + "/status"));
  std::string line;
  while (std::getline(ss, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

bool daemon_proc::set_fd_limit(int limit) const {
  if (pid <= 0) return false;
  rlimit lim{};
  if (::prlimit(pid, RLIMIT_NOFILE, nullptr, &lim) != 0) return false;
  lim.rlim_cur = static_cast<rlim_t>(limit);
  return ::prlimit(pid, RLIMIT_NOFILE, &lim, nullptr) == 0;
}

std::string exchange(int port, const std::string &request, const exchange_options &opt) {
  std::string got;
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return got;
  if (!opt.source_addr.empty()) {
    sockaddr_in src{};
    src.sin_family = AF_INET;
    ::inet_pton(AF_INET, opt.source_addr.c_str(), &src.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&src), sizeof src) != 0) {
      ::close(fd);
      return got;
    }
  }
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
    ::close(fd);
    return got;
  }
  ::fcntl(fd, F_SETFL, O_NONBLOCK);
  auto end = clock::now() + opt.timeout;
  std::size_t sent = 0;
  bool writing = true;
  if (request.empty()) {
    writing = false;
    if (opt.half_close) ::shutdown(fd, SHUT_WR);
  }
  while (clock::now() < end) {
    pollfd p{fd, static_cast<short>(POLLIN | (writing ? POLLOUT : 0)), 0};
    if (::poll(&p, 1, remaining_ms(end)) <= 0) continue;
    if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
      char buf[65536];
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n == 0) break;
      if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) continue;
        break;
      }
      got.append(buf, static_cast<std::size_t>(n));
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

std::vector<std::string> read_lines(const std::string &path) {
  std::vector<std::string> lines;
  std::istringstream ss(read_file(path));
  std::string line;
  while (std::getline(ss, line)) lines.push_back(line);
  return lines;
}

int count_lines_with(const std::string &path, const std::string &text) {
  int n = 0;
  for (const auto &l : read_lines(path)) {
    if (l.find(text) != std::string::npos) ++n;
  }
  return n;
}

}  // namespace harness
