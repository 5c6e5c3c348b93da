// End-to-end tests of the daemon's start-up: the command line, the listening
// socket, the pid file, the local log and the descriptors scripts inherit.
// Every test starts the real binary.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "log_line.h"

using namespace harness;
using namespace std::chrono_literals;

namespace {

const std::string quavd = QUAVD_BINARY;

std::string usage_text(const std::string &program) {
  return "Usage: " + program + " [-d directory] { -r pattern | -L } [-l] \n" +
         "-d directory : specify an alternate directory\n"
         "-L local host (loopback) only\n"
         "-r restict host to 'pattern' (*.example.com, www.example.com)\n"
         "-l log to local file\n"
         "-n allow script to emit headers\n"
         "-x turn on debug output\n";
}

// A daemon started directly, for command lines and process set-ups that
// daemon_proc does not cover (its port comes first and its descriptors are
// fixed).
struct spawned {
  pid_t pid = -1;
  int status = -1;  // exit status once it has ended, or 128+signal
  std::string err_path;

  struct options {
    std::string dir;             // working directory at start
    std::vector<int> close_std;  // standard descriptors to close first
    int inherit_up_to = 0;       // open /dev/null on 3..this, inherited
  };

  spawned() = default;
  spawned(const spawned &) = delete;
  spawned &operator=(const spawned &) = delete;
  ~spawned() { stop(); }

  void start(const std::vector<std::string> &args, const options &opt) {
    err_path = opt.dir + "/.spawned-stderr";
    pid = ::fork();
    if (pid == 0) {
      int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int null_fd = ::open("/dev/null", O_RDWR);
      ::dup2(null_fd, 0);
      ::dup2(null_fd, 1);
      if (err >= 0) ::dup2(err, 2);
      for (int fd = 3; fd <= opt.inherit_up_to; ++fd) {
        if (fd != null_fd) ::dup2(null_fd, fd);
      }
      // Nothing else from the test process reaches the daemon.
      for (int fd = opt.inherit_up_to < 3 ? 3 : opt.inherit_up_to + 1; fd < 1024; ++fd) {
        ::close(fd);
      }
      for (int fd : opt.close_std) ::close(fd);
      if (::chdir(opt.dir.c_str()) != 0) ::_exit(126);
      std::vector<char *> argv;
      for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
  }

  // True while the process has not ended (reaps it when it has).
  bool running() {
    if (pid <= 0) return false;
    int st = 0;
    if (::waitpid(pid, &st, WNOHANG) == pid) {
      status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      pid = -1;
      return false;
    }
    return true;
  }

  // Waits until a complete pid file shows up in one of the directories;
  // returns that directory, or "" if the process ended or time ran out.
  std::string wait_pid_file(const std::vector<std::string> &dirs) {
    std::string found;
    wait_until(
        [&] {
          for (const auto &d : dirs) {
            std::string text = read_file(d + "/quavd.pid");
            if (!text.empty() && text.back() == '\n') {
              found = d;
              return true;
            }
          }
          return !running();
        },
        10s);
    return found;
  }

  void stop() {
    if (pid <= 0) return;
    ::kill(pid, SIGKILL);
    int st = 0;
    ::waitpid(pid, &st, 0);
    status = 128 + SIGKILL;
    pid = -1;
  }
};

std::string fd_target(pid_t pid, int fd) {
  std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
  char buf[512];
  ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
  if (n < 0) return "";
  return std::string(buf, static_cast<std::size_t>(n));
}

// The process's descriptor that refers to the socket inode, or -1.
int fd_of_inode(pid_t pid, const std::string &inode) {
  for (int fd = 0; fd < 1024; ++fd) {
    if (fd_target(pid, fd) == "socket:[" + inode + "]") return fd;
  }
  return -1;
}

struct listener_info {
  int fd = -1;
  int port = -1;
  std::string local_addr;  // hex as the kernel shows it
};

// Finds the listening TCP socket the process holds, from /proc.
listener_info find_listener(pid_t pid) {
  listener_info info;
  std::istringstream table(read_file("/proc/net/tcp"));
  std::string line;
  std::getline(table, line);  // header
  while (std::getline(table, line)) {
    std::istringstream f(line);
    std::string slot, local, remote, state, queues, timer, retr, uid, timeout, inode;
    f >> slot >> local >> remote >> state >> queues >> timer >> retr >> uid >> timeout >> inode;
    if (state != "0A") continue;  // LISTEN
    int fd = fd_of_inode(pid, inode);
    if (fd < 0) continue;
    auto colon = local.find(':');
    info.fd = fd;
    info.local_addr = local.substr(0, colon);
    info.port = static_cast<int>(std::stoul(local.substr(colon + 1), nullptr, 16));
    return info;
  }
  return info;
}

// A listening socket on 127.0.0.1:port held by the test.
struct occupied_port {
  int fd = -1;
  explicit occupied_port(int port) {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || ::listen(fd, 1) != 0) {
      ::close(fd);
      fd = -1;
    }
  }
  ~occupied_port() {
    if (fd >= 0) ::close(fd);
  }
};

// A server root with bin/hello, which echoes its arguments.
void add_hello(const std::string &root) {
  make_dirs(root + "/bin");
  write_script(root + "/bin/hello", "echo hello \"$@\"\n");
}

const std::string hello_request = "cmd bin/hello+there\r\nend\r\n";
const std::string hello_reply =
    "101 Cmd accepted 'bin/hello+there'\r\n"
    "200 Cmd started 'bin/hello+there'\r\n\r\n"
    "hello there\n";

// ---------------------------------------------------------------------------
// The command line

TEST(CommandLine, UsageTextAndStatusOne) {
  temp_dir dir;
  std::string port = std::to_string(free_port());
  struct row {
    const char *name;
    std::vector<std::string> args;
    bool diagnostic_first;  // getopt's own line precedes the usage
    char option;            // the option the diagnostic names
  };
  const row rows[] = {
      {"-h alone", {"-h"}, false, 0},
      {"-h among valid options", {"-p", port, "-l", "-x", "3", "-h", "-d", dir.path}, false, 0},
      {"-h after -d", {"-d", dir.path, "-h"}, false, 0},
      {"rejected option", {"-z"}, true, 'z'},
      {"rejected option after valid ones", {"-l", "-p", port, "-z"}, true, 'z'},
      {"-d missing its argument", {"-l", "-d"}, true, 'd'},
      {"-p missing its argument", {"-p"}, true, 'p'},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    std::vector<std::string> args = {quavd};
    args.insert(args.end(), r.args.begin(), r.args.end());
    run_result res = run_program(args, dir.path, 5s);
    EXPECT_EQ(res.status, 1);
    EXPECT_EQ(res.out, "");
    std::string usage = usage_text(quavd);
    if (!r.diagnostic_first) {
      EXPECT_EQ(res.err, usage);
    } else {
      ASSERT_GT(res.err.size(), usage.size());
      EXPECT_EQ(res.err.substr(res.err.size() - usage.size()), usage);
      std::string diag = res.err.substr(0, res.err.size() - usage.size());
      // One line of getopt's, naming the program and the option.
      EXPECT_EQ(diag.find('\n'), diag.size() - 1) << diag;
      EXPECT_EQ(diag.rfind(quavd + ": ", 0), 0u) << diag;
      EXPECT_NE(diag.find(std::string("'") + r.option + "'"), std::string::npos) << diag;
    }
    // Nothing was started: options read before the end had no effect.
    EXPECT_FALSE(file_exists(dir.path + "/quavd.pid"));
    EXPECT_FALSE(file_exists(dir.path + "/quavd.log"));
  }
}

TEST(CommandLine, UsageNamesTheProgramAsInvoked) {
  temp_dir dir;
  std::string link = dir.path + "/other-name";
  ASSERT_EQ(::symlink(quavd.c_str(), link.c_str()), 0);
  run_result res = run_program({"./other-name", "-h"}, dir.path, 5s);
  EXPECT_EQ(res.status, 1);
  EXPECT_EQ(res.err, usage_text("./other-name"));
}

// Option reading stops at the first plain word (or at "--"): what follows
// is never applied, so each of these daemons starts in its root and serves.
TEST(CommandLine, PlainWordStopsOptionReading) {
  struct row {
    const char *name;
    std::vector<std::string> after_port;
  };
  const row rows[] = {
      {"word then -d to a missing directory", {"word", "-d", "/nonexistent/quavd-dir"}},
      {"word then -h", {"word", "-h"}},
      {"word then a rejected option", {"word", "-z"}},
      {"word then a filter nothing passes", {"word", "-r", "no.such.host.invalid"}},
      {"-- then -h", {"--", "-h"}},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    temp_dir root;
    add_hello(root.path);
    daemon_proc d;
    ASSERT_TRUE(d.start(root.path, r.after_port));
    EXPECT_EQ(exchange(d.port, hello_request, false), hello_reply);
    EXPECT_EQ(read_file(d.err_path), "");
  }
}

TEST(CommandLine, LaterDirectoryWins) {
  temp_dir top;
  std::string a = top.path + "/a", b = top.path + "/b";
  make_dirs(a + "/bin");
  make_dirs(b + "/bin");
  write_script(a + "/bin/only_a", "echo from a\n");
  write_script(b + "/bin/only_b", "echo from b\n");
  write_script(a + "/bin/which", "echo a\n");
  write_script(b + "/bin/which", "echo b\n");
  int port = free_port();
  spawned d;
  d.start({quavd, "-p", std::to_string(port), "-d", a, "-d", b}, {top.path, {}, 0});
  ASSERT_EQ(d.wait_pid_file({a, b, top.path}), b) << read_file(d.err_path);
  EXPECT_FALSE(file_exists(a + "/quavd.pid"));
  EXPECT_FALSE(file_exists(top.path + "/quavd.pid"));

  EXPECT_EQ(exchange(port, "cmd bin/which\r\nend\r\n", false),
            "101 Cmd accepted 'bin/which'\r\n200 Cmd started 'bin/which'\r\n\r\nb\n");
  EXPECT_EQ(exchange(port, "cmd bin/only_b\r\nend\r\n", false),
            "101 Cmd accepted 'bin/only_b'\r\n200 Cmd started 'bin/only_b'\r\n\r\nfrom b\n");
  std::string got = exchange(port, "cmd bin/only_a\r\nend\r\n", false);
  EXPECT_EQ(got.find("from a"), std::string::npos) << got;
}

// The port is read by atoi and bound by its low 16 bits.
TEST(CommandLine, PortArgumentReadLikeAtoi) {
  struct row {
    const char *name;
    int port;  // expected listening port; 0 for any the system picks
    std::string arg;
  };
  int p1 = free_port(), p2 = free_port(), p3 = free_port();
  const row rows[] = {
      {"digits then letters", p1, std::to_string(p1) + "x"},
      {"leading blanks and plus", p2, "  +" + std::to_string(p2)},
      {"above 65535 keeps the low 16 bits", p3, std::to_string(p3 + 65536)},
      {"no digits gives port 0", 0, "abc"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    temp_dir root;
    add_hello(root.path);
    spawned d;
    d.start({quavd, "-p", r.arg}, {root.path, {}, 0});
    ASSERT_EQ(d.wait_pid_file({root.path}), root.path) << read_file(d.err_path);
    listener_info l = find_listener(d.pid);
    ASSERT_GE(l.fd, 0) << "no listening socket found";
    EXPECT_EQ(l.local_addr, "00000000");  // all local addresses
    if (r.port != 0) {
      EXPECT_EQ(l.port, r.port);
    } else {
      EXPECT_GT(l.port, 0);
    }
    EXPECT_EQ(exchange(l.port, hello_request, false), hello_reply);
  }
}

// ---------------------------------------------------------------------------
// Fatal start-up failures

TEST(StartupFailure, BindOnATakenPort) {
  int port = free_port();
  occupied_port taken(port);
  ASSERT_GE(taken.fd, 0);
  struct row {
    const char *name;
    std::string arg;
  };
  const row rows[] = {
      {"the port itself", std::to_string(port)},
      {"a number whose low 16 bits are the port", std::to_string(port + 2 * 65536)},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    temp_dir root;
    run_result res = run_program({quavd, "-p", r.arg}, root.path, 5s);
    EXPECT_EQ(res.status, 1);
    // The message names the whole configured number.
    EXPECT_EQ(res.err, "quavd: could not bind tcp socket to port " + r.arg +
                           "\nbind: Address already in use\n");
    EXPECT_FALSE(file_exists(root.path + "/quavd.pid"));
  }
}

TEST(StartupFailure, RootThatCannotBeEntered) {
  temp_dir dir;
  write_file(dir.path + "/plain-file", "x");
  struct row {
    std::string root;
    std::string error;
  };
  const row rows[] = {
      {"/nonexistent/dir", "No such file or directory"},
      {dir.path + "/plain-file", "Not a directory"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.root);
    run_result res =
        run_program({quavd, "-p", std::to_string(free_port()), "-d", r.root}, dir.path, 5s);
    EXPECT_EQ(res.status, 1);
    EXPECT_EQ(res.err,
              "quavd: could not change to directory " + r.root + "\nchdir: " + r.error + "\n");
    // It did not carry on in its start directory.
    EXPECT_FALSE(file_exists(dir.path + "/quavd.pid"));
  }
}

TEST(StartupFailure, PidFileCannotBeOpened) {
  temp_dir root;
  make_dirs(root.path + "/quavd.pid");
  run_result res = run_program({quavd, "-p", std::to_string(free_port())}, root.path, 5s);
  EXPECT_EQ(res.status, 1);
  EXPECT_EQ(res.err, "quavd: could not log pid to file quavd.pid\n");
}

// ---------------------------------------------------------------------------
// Pid file

TEST(PidFile, HoldsThePidAndANewline) {
  temp_dir root;
  // A longer stale file must be emptied, not overwritten in part.
  write_file(root.path + "/quavd.pid", "12345678901234567890 stale");
  int port = free_port();
  spawned d;
  d.start({quavd, "-p", std::to_string(port)}, {root.path, {}, 0});
  ASSERT_EQ(d.wait_pid_file({root.path}), root.path) << read_file(d.err_path);
  EXPECT_EQ(read_file(root.path + "/quavd.pid"), std::to_string(d.pid) + "\n");
}

// ---------------------------------------------------------------------------
// Local log

TEST(LocalLog, LineFormatAndLiteralPercent) {
  temp_dir root;
  daemon_proc d;
  ASSERT_TRUE(d.start(root.path, {"-l"}));
  std::string log = root.path + "/quavd.log";

  EXPECT_EQ(exchange(d.port, "cmd %2fbin%2fsh\r\nend\r\n", false),
            "101 Cmd accepted '%2fbin%2fsh'\r\n502 Cmd failed\r\n");
  ASSERT_TRUE(wait_until([&] { return read_lines(log).size() == 1; }));
  std::vector<std::string> lines = read_lines(log);
  EXPECT_EQ(log_line::message(lines[0]), "exec of %2fbin%2fsh failed; bad path") << lines[0];
  std::string content = read_file(log);
  EXPECT_EQ(content.back(), '\n');

  // A missing script whose name holds conversions once decoded: the child's
  // failure line quotes the decoded path, the outcome line the command line.
  std::string got = exchange(d.port, "cmd bin/x%25s%25n%25d\r\nend\r\n", false);
  EXPECT_EQ(got.rfind("101 Cmd accepted 'bin/x%25s%25n%25d'\r\n", 0), 0u) << got;
  ASSERT_TRUE(wait_until([&] { return read_lines(log).size() == 3; }));
  lines = read_lines(log);
  for (const std::string &line : lines) {
    EXPECT_TRUE(log_line::message(line).has_value()) << line;
  }
  EXPECT_EQ(count_lines_with(log, "command 'bin/x%s%n%d' from "), 1);
  EXPECT_EQ(count_lines_with(log, "command 'bin/x%25s%25n%25d' from "), 1);
  EXPECT_TRUE(d.pid > 0 && ::kill(d.pid, 0) == 0);
}

TEST(LocalLog, RecreatedAfterRemoval) {
  temp_dir root;
  daemon_proc d;
  ASSERT_TRUE(d.start(root.path, {"-l"}));
  std::string log = root.path + "/quavd.log";

  exchange(d.port, "cmd /first\r\nend\r\n", false);
  ASSERT_TRUE(wait_until([&] { return count_lines_with(log, "exec of /first failed") == 1; }));
  ASSERT_EQ(::unlink(log.c_str()), 0);

  exchange(d.port, "cmd /second\r\nend\r\n", false);
  ASSERT_TRUE(wait_until([&] { return file_exists(log); }));
  std::vector<std::string> lines = read_lines(log);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(log_line::message(lines[0]), "exec of /second failed; bad path") << lines[0];
}

TEST(LocalLog, UnopenableLogLosesMessagesSilently) {
  temp_dir root;
  add_hello(root.path);
  make_dirs(root.path + "/quavd.log");
  daemon_proc d;
  ASSERT_TRUE(d.start(root.path, {"-l"}));
  // Each of these would log a line.
  EXPECT_EQ(exchange(d.port, "cmd /bin/sh\r\nend\r\n", false),
            "101 Cmd accepted '/bin/sh'\r\n502 Cmd failed\r\n");
  EXPECT_EQ(exchange(d.port, hello_request, false), hello_reply);
  EXPECT_EQ(exchange(d.port, hello_request, false), hello_reply);
  EXPECT_TRUE(::kill(d.pid, 0) == 0);
  EXPECT_EQ(read_file(d.err_path), "");
}

// ---------------------------------------------------------------------------
// Listener

TEST(Listener, DroppedConnectionIsLoggedAndGetsNothing) {
  struct row {
    const char *pattern;
  };
  const row rows[] = {{"no.such.host.invalid"}, {"*.nowhere.invalid"}};
  for (const row &r : rows) {
    SCOPED_TRACE(r.pattern);
    temp_dir root;
    add_hello(root.path);
    daemon_proc d;
    ASSERT_TRUE(d.start(root.path, {"-l", "-r", r.pattern}));
    std::string log = root.path + "/quavd.log";
    EXPECT_EQ(exchange(d.port, hello_request, false), "");
    ASSERT_TRUE(wait_until([&] { return file_exists(log); }));
    std::vector<std::string> lines = read_lines(log);
    ASSERT_EQ(lines.size(), 1u);
    std::string m = log_line::message(lines[0]).value_or("");
    const std::string front = "connection from ", back = " dropped";
    ASSERT_GT(m.size(), front.size() + back.size()) << lines[0];
    EXPECT_EQ(m.substr(0, front.size()), front);
    EXPECT_EQ(m.substr(m.size() - back.size()), back);
    EXPECT_EQ(m.find(' ', front.size()), m.size() - back.size()) << "one peer name";
    EXPECT_EQ(count_lines_with(log, "hello"), 0);
  }
}

// A connection closed by the daemon leaves its side in TIME_WAIT; a new
// daemon on the same port must still bind.
TEST(Listener, RestartOnTheSamePortAfterAConnection) {
  temp_dir root;
  add_hello(root.path);
  int port = free_port();
  {
    spawned first;
    first.start({quavd, "-p", std::to_string(port)}, {root.path, {}, 0});
    ASSERT_EQ(first.wait_pid_file({root.path}), root.path) << read_file(first.err_path);
    ASSERT_EQ(exchange(port, hello_request, false), hello_reply);
    first.stop();
  }
  // The lingering connection would make a bind without the option fail.
  {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<uint16_t>(port));
    int r = ::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    int err = errno;
    ::close(fd);
    ASSERT_EQ(r, -1) << "no connection lingers; the test proves nothing";
    ASSERT_EQ(err, EADDRINUSE);
  }
  ::unlink((root.path + "/quavd.pid").c_str());
  spawned second;
  second.start({quavd, "-p", std::to_string(port)}, {root.path, {}, 0});
  ASSERT_EQ(second.wait_pid_file({root.path}), root.path) << read_file(second.err_path);
  EXPECT_EQ(read_file(second.err_path), "");
  EXPECT_EQ(exchange(port, hello_request, false), hello_reply);
}

// ---------------------------------------------------------------------------
// Descriptors

// Parses `ls -l /proc/self/fd` output into descriptor -> target.
std::vector<std::pair<int, std::string>> parse_fd_listing(const std::string &text) {
  std::vector<std::pair<int, std::string>> fds;
  std::istringstream ss(text);
  std::string line;
  while (std::getline(ss, line)) {
    auto arrow = line.find(" -> ");
    if (arrow == std::string::npos) continue;
    auto space = line.rfind(' ', arrow - 1);
    fds.emplace_back(std::stoi(line.substr(space + 1, arrow - space - 1)), line.substr(arrow + 4));
  }
  return fds;
}

TEST(Descriptors, ScriptSeesNoDaemonDescriptor) {
  struct row {
    const char *name;
    int inherit_up_to;  // the daemon starts with /dev/null on 3..this
  };
  // With 3..29 taken, every descriptor of the daemon is numbered above the
  // range a launch closes explicitly: only close-on-exec keeps them away.
  const row rows[] = {{"plain start", 0}, {"daemon descriptors above 19", 29}};
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    temp_dir root;
    make_dirs(root.path + "/bin");
    write_script(root.path + "/bin/fds", "exec ls -l /proc/self/fd\n");
    int port = free_port();
    spawned d;
    d.start({quavd, "-p", std::to_string(port), "-l"}, {root.path, {}, r.inherit_up_to});
    ASSERT_EQ(d.wait_pid_file({root.path}), root.path) << read_file(d.err_path);
    listener_info l = find_listener(d.pid);
    ASSERT_GE(l.fd, 0);
    if (r.inherit_up_to > 0) {
      ASSERT_GT(l.fd, r.inherit_up_to);
    }

    std::string got = exchange(port, "cmd bin/fds\r\nend\r\n", false);
    const std::string head = "101 Cmd accepted 'bin/fds'\r\n200 Cmd started 'bin/fds'\r\n\r\n";
    ASSERT_EQ(got.rfind(head, 0), 0u) << got;
    auto fds = parse_fd_listing(got.substr(head.size()));
    std::set<int> numbers;
    for (const auto &[fd, target] : fds) {
      SCOPED_TRACE("fd " + std::to_string(fd) + " -> " + target);
      numbers.insert(fd);
      if (fd <= 2) {
        EXPECT_EQ(target.rfind("pipe:", 0), 0u);
      } else {
        // Only what the starter handed down, and ls's own directory.
        EXPECT_TRUE(target == "/dev/null" || target.rfind("/proc/", 0) == 0);
      }
    }
    EXPECT_TRUE(numbers.count(0) && numbers.count(1) && numbers.count(2)) << got;
    if (r.inherit_up_to == 0) {
      EXPECT_EQ(numbers, (std::set<int>{0, 1, 2, 3})) << got;
    }
  }
}

TEST(Descriptors, ClosedStandardDescriptorsAreFilled) {
  struct row {
    const char *name;
    std::vector<int> closed;
  };
  const row rows[] = {{"stdin and stdout closed", {0, 1}}, {"all three closed", {0, 1, 2}}};
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    temp_dir root;
    make_dirs(root.path + "/bin");
    write_script(root.path + "/bin/both", "echo out; echo err >&2\n");
    int port = free_port();
    spawned d;
    d.start({quavd, "-p", std::to_string(port), "-l"}, {root.path, r.closed, 0});
    ASSERT_EQ(d.wait_pid_file({root.path}), root.path) << read_file(d.err_path);
    for (int fd : r.closed) EXPECT_EQ(fd_target(d.pid, fd), "/dev/null") << "fd " << fd;
    listener_info l = find_listener(d.pid);
    EXPECT_GT(l.fd, 2);
    EXPECT_EQ(exchange(port, "cmd bin/both\r\nend\r\n", false),
              "101 Cmd accepted 'bin/both'\r\n200 Cmd started 'bin/both'\r\n\r\nout\nerr\n");
    EXPECT_EQ(count_lines_with(root.path + "/quavd.log", "command 'bin/both' from "), 1);
  }
}

// Fields of /proc/<pid>/stat from the state on (the state is field 3).
std::vector<std::string> stat_fields(pid_t pid) {
  std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  auto close_paren = stat.rfind(')');
  if (close_paren == std::string::npos) return {};
  std::istringstream ss(stat.substr(close_paren + 2));
  std::vector<std::string> fields;
  for (std::string f; ss >> f;) fields.push_back(f);
  return fields;
}

// The process's clock ticks of CPU time so far (utime + stime), or -1.
long cpu_ticks(pid_t pid) {
  auto f = stat_fields(pid);
  if (f.size() < 13) return -1;
  return std::stol(f[11]) + std::stol(f[12]);
}

// True when the process is asleep rather than running or runnable.
bool asleep(pid_t pid) {
  auto f = stat_fields(pid);
  return !f.empty() && f[0] == "S";
}

// The system call the process is blocked in, or -1 while it runs.
long current_syscall(pid_t pid) {
  std::string text = read_file("/proc/" + std::to_string(pid) + "/syscall");
  if (text.empty() || text.rfind("running", 0) == 0) return -1;
  return std::strtol(text.c_str(), nullptr, 10);
}

// With its descriptor table full, every accept fails at once. The daemon
// must pause between attempts instead of spinning, and serve again once
// descriptors are available.
TEST(Listener, FullDescriptorTableDoesNotSpin) {
  temp_dir root;
  add_hello(root.path);
  int port = free_port();
  spawned d;
  d.start({quavd, "-p", std::to_string(port), "-l"}, {root.path, {}, 0});
  ASSERT_EQ(d.wait_pid_file({root.path}), root.path) << read_file(d.err_path);
  ASSERT_TRUE(wait_until([&] {
    long call = current_syscall(d.pid);
    return call == SYS_accept4 || call == SYS_accept;
  }));
  int lowest_free = 0;
  while (!fd_target(d.pid, lowest_free).empty()) ++lowest_free;
  ASSERT_GT(lowest_free, 2);

  // Lower the soft limit so that no new descriptor fits. The accept waiting now
  // has its number reserved, so one connection goes through it (and finds
  // no room to be served); every accept after that fails.
  rlimit old{};
  ASSERT_EQ(::prlimit(d.pid, RLIMIT_NOFILE, nullptr, &old), 0);
  rlimit tight = old;
  tight.rlim_cur = static_cast<rlim_t>(lowest_free);
  ASSERT_EQ(::prlimit(d.pid, RLIMIT_NOFILE, &tight, nullptr), 0);
  exchange(port, hello_request, false);

  long before = cpu_ticks(d.pid);
  ASSERT_GE(before, 0);
  std::this_thread::sleep_for(1s);
  long used = cpu_ticks(d.pid) - before;
  long ticks_per_second = ::sysconf(_SC_CLK_TCK);
  // A spinning loop burns most of that second; a pausing one next to
  // nothing. The bound is loose for a busy machine.
  EXPECT_LT(used, ticks_per_second * 3 / 10) << "CPU ticks used in 1 s: " << used;

  // It is found asleep, and at times in its pause: accept does fail.
  int sleeping = 0, pausing = 0;
  const int samples = 20;
  for (int i = 0; i < samples; ++i) {
    if (asleep(d.pid)) ++sleeping;
    long call = current_syscall(d.pid);
    if (call == SYS_nanosleep || call == SYS_clock_nanosleep) ++pausing;
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_GT(sleeping, samples / 2) << sleeping << " of " << samples << " samples asleep";
  EXPECT_GT(pausing, 0) << "never seen in a pause after a failed accept";
  // Whatever of the failures reached the log did not flood it.
  EXPECT_LE(count_lines_with(root.path + "/quavd.log", "socket error: accept failed"), 30);

  ASSERT_EQ(::prlimit(d.pid, RLIMIT_NOFILE, &old, nullptr), 0);
  EXPECT_EQ(exchange(port, hello_request, false), hello_reply);
  EXPECT_TRUE(::kill(d.pid, 0) == 0);
}

}  // namespace
