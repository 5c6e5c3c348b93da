// The daemon's start-up end to end: the command line, the listening socket,
// the pid file, the local log and the descriptors scripts inherit.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

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
         "-x turn on debug output\n"
         "-c number : serve up to number connections at once (1 to 1024)\n"
         "-t seconds : end a connection whose client is idle that long (1 to 86400)\n"
         "-T seconds : end a script still running that long (1 to 86400)\n";
}

struct listener_info {
  int fd = -1;
  int port = -1;
  std::string local_addr;  // hex as the kernel shows it
};

// The listening TCP socket the process holds, from /proc.
listener_info find_listener(pid_t pid) {
  listener_info info;
  std::istringstream table(read_file("/proc/net/tcp"));
  std::string line;
  std::getline(table, line);  // header
  while (std::getline(table, line)) {
    std::istringstream f(line);
    std::string slot, local, remote, state, skip, inode;
    f >> slot >> local >> remote >> state >> skip >> skip >> skip >> skip >> skip >> inode;
    if (state != "0A") continue;  // LISTEN
    for (int fd = 0; fd < 1024; ++fd) {
      if (fd_target(pid, fd) != "socket:[" + inode + "]") continue;
      auto colon = local.find(':');
      return {fd, static_cast<int>(std::stoul(local.substr(colon + 1), nullptr, 16)),
              local.substr(0, colon)};
    }
  }
  return info;
}

// Binds and listens on 127.0.0.1:port; -1 when the port is taken.
int occupy(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(static_cast<uint16_t>(port));
  if (::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || ::listen(fd, 1) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void add_hello(const std::string &root) {
  make_dirs(root + "/bin");
  write_script(root + "/bin/hello", "echo hello \"$@\"\n");
}

const std::string hello_request = "cmd bin/hello+there\r\nend\r\n";
const std::string hello_reply =
    "101 Cmd accepted 'bin/hello+there'\r\n200 Cmd started 'bin/hello+there'\r\n\r\nhello there\n";

TEST(CommandLine, UsageTextAndStatusOne) {
  temp_dir dir;
  std::string port = std::to_string(free_port());
  struct row {
    const char *name;
    std::vector<std::string> args;
    char option;  // named by getopt's line before the usage; 0 for none
  };
  const row rows[] = {
      {"-h alone", {"-h"}, 0},
      {"-h among valid options", {"-p", port, "-l", "-x", "3", "-h", "-d", dir.path}, 0},
      {"rejected option after valid ones", {"-l", "-p", port, "-z"}, 'z'},
      {"-d missing its argument", {"-l", "-d"}, 'd'},
      {"-p missing its argument", {"-p"}, 'p'},
  };
  const std::string usage = usage_text(quavd);
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    std::vector<std::string> args = {quavd};
    args.insert(args.end(), r.args.begin(), r.args.end());
    run_result res = run_program(args, dir.path, 5s);
    EXPECT_EQ(res.status, 1);
    EXPECT_EQ(res.out, "");
    if (r.option == 0) {
      EXPECT_EQ(res.err, usage);
    } else {
      ASSERT_TRUE(res.err.ends_with(usage)) << res.err;
      // One line of getopt's, naming the program and the option.
      std::string diag = res.err.substr(0, res.err.size() - usage.size());
      EXPECT_EQ(diag.find('\n'), diag.size() - 1) << diag;
      EXPECT_TRUE(diag.starts_with(quavd + ": ")) << diag;
      EXPECT_NE(diag.find(std::string("'") + r.option + "'"), std::string::npos) << diag;
    }
    // Options read before the end had no effect.
    EXPECT_FALSE(file_exists(dir.path + "/quavd.pid"));
    EXPECT_FALSE(file_exists(dir.path + "/quavd.log"));
  }
}

// Option reading stops at the first plain word (or "--"): what follows is
// never applied, so each daemon starts in its root and serves.
TEST(CommandLine, PlainWordStopsOptionReading) {
  const std::vector<std::string> rows[] = {
      {"word", "-d", "/nonexistent/quavd-dir", "-r", "no.such.host.invalid"}, {"--", "-h"}};
  for (const auto &after_port : rows) {
    SCOPED_TRACE(after_port[0]);
    temp_dir root;
    add_hello(root.path);
    daemon_proc d;
    ASSERT_TRUE(d.start(root.path, after_port));
    EXPECT_EQ(exchange(d.port, hello_request, false), hello_reply);
    EXPECT_EQ(read_file(d.err_path), "");
  }
}

TEST(CommandLine, LaterDirectoryWins) {
  temp_dir top;
  for (const char *name : {"a", "b"}) {
    make_dirs(top.path + "/" + name + "/bin");
    write_script(top.path + "/" + name + "/bin/which", std::string("echo ") + name + "\n");
  }
  const std::string a = top.path + "/a", b = top.path + "/b";
  int port = free_port();
  daemon_proc d;
  ASSERT_TRUE(d.start_raw({"-p", std::to_string(port), "-d", a, "-d", b}, top.path, b))
      << read_file(d.err_path);
  EXPECT_FALSE(file_exists(a + "/quavd.pid"));
  EXPECT_FALSE(file_exists(top.path + "/quavd.pid"));
  EXPECT_EQ(exchange(port, "cmd bin/which\r\nend\r\n", false),
            "101 Cmd accepted 'bin/which'\r\n200 Cmd started 'bin/which'\r\n\r\nb\n");
}

// The port is read by atoi and bound by its low 16 bits, on all addresses.
TEST(CommandLine, PortArgumentReadLikeAtoi) {
  int p1 = free_port(), p2 = free_port(), p3 = free_port();
  const std::pair<int, std::string> rows[] = {
      {p1, std::to_string(p1) + "x"},
      {p2, "  +" + std::to_string(p2)},
      {p3, std::to_string(p3 + 65536)},
      {0, "abc"},  // port 0: any the system picks
  };
  for (const auto &[port, arg] : rows) {
    SCOPED_TRACE(arg);
    temp_dir root;
    add_hello(root.path);
    daemon_proc d;
    ASSERT_TRUE(d.start_raw({"-p", arg}, root.path)) << read_file(d.err_path);
    listener_info l = find_listener(d.pid);
    ASSERT_GE(l.fd, 0) << "no listening socket found";
    EXPECT_EQ(l.local_addr, "00000000");
    if (port != 0) {
      EXPECT_EQ(l.port, port);
    }
    EXPECT_EQ(exchange(l.port, hello_request, false), hello_reply);
  }
}

TEST(StartupFailure, BindOnATakenPort) {
  int port = free_port();
  int taken = occupy(port);
  ASSERT_GE(taken, 0);
  // The message names the whole configured number.
  for (const std::string &arg : {std::to_string(port), std::to_string(port + 2 * 65536)}) {
    temp_dir root;
    run_result res = run_program({quavd, "-p", arg}, root.path, 5s);
    EXPECT_EQ(res.status, 1) << arg;
    EXPECT_EQ(res.err,
              "quavd: could not bind tcp socket to port " + arg + "\nbind: Address already in use\n");
    EXPECT_FALSE(file_exists(root.path + "/quavd.pid")) << arg;
  }
  ::close(taken);
}

TEST(StartupFailure, RootThatCannotBeEntered) {
  temp_dir dir;
  write_file(dir.path + "/plain-file", "x");
  const std::pair<std::string, std::string> rows[] = {
      {"/nonexistent/dir", "No such file or directory"},
      {dir.path + "/plain-file", "Not a directory"},
  };
  for (const auto &[root, error] : rows) {
    run_result res = run_program({quavd, "-p", std::to_string(free_port()), "-d", root}, dir.path, 5s);
    EXPECT_EQ(res.status, 1) << root;
    EXPECT_EQ(res.err, "quavd: could not change to directory " + root + "\nchdir: " + error + "\n");
    // It did not carry on in its start directory.
    EXPECT_FALSE(file_exists(dir.path + "/quavd.pid")) << root;
  }
}

TEST(StartupFailure, PidFileCannotBeOpened) {
  temp_dir root;
  make_dirs(root.path + "/quavd.pid");
  run_result res = run_program({quavd, "-p", std::to_string(free_port())}, root.path, 5s);
  EXPECT_EQ(res.status, 1);
  EXPECT_EQ(res.err, "quavd: could not log pid to file quavd.pid\n");
}

TEST(PidFile, HoldsThePidAndANewline) {
  temp_dir root;
  // A longer stale file must be emptied, not overwritten in part.
  write_file(root.path + "/quavd.pid", "12345678901234567890 stale");
  daemon_proc d;
  ASSERT_TRUE(d.start_raw({"-p", std::to_string(free_port())}, root.path)) << read_file(d.err_path);
  EXPECT_EQ(read_file(root.path + "/quavd.pid"), std::to_string(d.pid) + "\n");
}

// A '%' reaches the log as written, whether it came in the command line or
// out of its decoding.
TEST(LocalLog, LineFormatAndLiteralPercent) {
  temp_dir root;
  daemon_proc d;
  ASSERT_TRUE(d.start(root.path, {"-l"}));
  const std::string log = root.path + "/quavd.log";
  EXPECT_EQ(exchange(d.port, "cmd %2fbin%2fsh\r\nend\r\n", false),
            "101 Cmd accepted '%2fbin%2fsh'\r\n502 Cmd failed\r\n");
  exchange(d.port, "cmd bin/x%25s%25n%25d\r\nend\r\n", false);
  ASSERT_TRUE(wait_until([&] { return read_lines(log).size() == 3; }));
  std::vector<std::string> messages;
  for (const std::string &line : read_lines(log)) messages.push_back(log_message(line).value_or(line));
  EXPECT_EQ(messages[0], "exec of %2fbin%2fsh failed; bad path");
  // The child's failure quotes the decoded path, the outcome the command line.
  EXPECT_TRUE(messages[1].starts_with("command 'bin/x%s%n%d' from ")) << messages[1];
  EXPECT_TRUE(messages[2].starts_with("command 'bin/x%25s%25n%25d' from ")) << messages[2];
  EXPECT_TRUE(read_file(log).ends_with("\n"));
}

// A connection closed by the daemon leaves its side in TIME_WAIT; a new
// daemon on the same port must still bind.
TEST(Listener, RestartOnTheSamePortAfterAConnection) {
  temp_dir root;
  add_hello(root.path);
  int port = free_port();
  {
    daemon_proc first;
    ASSERT_TRUE(first.start_raw({"-p", std::to_string(port)}, root.path));
    ASSERT_EQ(exchange(port, hello_request, false), hello_reply);
  }
  ASSERT_LT(occupy(port), 0) << "no connection lingers; the test proves nothing";
  ::unlink((root.path + "/quavd.pid").c_str());
  daemon_proc second;
  ASSERT_TRUE(second.start_raw({"-p", std::to_string(port)}, root.path)) << read_file(second.err_path);
  EXPECT_EQ(read_file(second.err_path), "");
  EXPECT_EQ(exchange(port, hello_request, false), hello_reply);
}

// Whatever the daemon starts with, a script sees pipes on 0-2 and nothing
// of the daemon's. With 3..29 taken, the daemon's own descriptors are
// numbered above the range a launch closes explicitly: only close-on-exec
// keeps them away. Closed standard descriptors are filled with /dev/null.
TEST(Descriptors, ScriptSeesNoDaemonDescriptor) {
  struct row {
    int inherit_up_to;
    std::vector<int> closed;
  };
  const row rows[] = {{0, {}}, {29, {}}, {0, {0, 1}}, {0, {0, 1, 2}}};
  for (const auto &r : rows) {
    SCOPED_TRACE("inherited up to " + std::to_string(r.inherit_up_to) + ", closed " +
                 std::to_string(r.closed.size()));
    temp_dir root;
    make_dirs(root.path + "/bin");
    write_script(root.path + "/bin/fds", "exec ls -l /proc/self/fd\n");
    int port = free_port();
    daemon_proc d;
    d.closed_std = r.closed;
    d.inherit_up_to = r.inherit_up_to;
    ASSERT_TRUE(d.start_raw({"-p", std::to_string(port), "-l"}, root.path)) << read_file(d.err_path);
    for (int fd : r.closed) EXPECT_EQ(fd_target(d.pid, fd), "/dev/null") << "fd " << fd;
    ASSERT_GT(find_listener(d.pid).fd, r.inherit_up_to > 0 ? r.inherit_up_to : 2);

    std::string got = exchange(port, "cmd bin/fds\r\nend\r\n", false);
    const std::string head = "101 Cmd accepted 'bin/fds'\r\n200 Cmd started 'bin/fds'\r\n\r\n";
    ASSERT_TRUE(got.starts_with(head)) << got;
    std::set<int> numbers;
    std::istringstream ss(got.substr(head.size()));
    for (std::string line; std::getline(ss, line);) {
      auto arrow = line.find(" -> ");
      if (arrow == std::string::npos) continue;
      auto space = line.rfind(' ', arrow - 1);
      int fd = std::stoi(line.substr(space + 1, arrow - space - 1));
      std::string target = line.substr(arrow + 4);
      numbers.insert(fd);
      // Above the pipes only what the starter handed down and ls's own
      // directory.
      if (fd <= 2) {
        EXPECT_TRUE(target.starts_with("pipe:")) << line;
      } else {
        EXPECT_TRUE(target == "/dev/null" || target.starts_with("/proc/")) << line;
      }
    }
    EXPECT_TRUE(numbers.count(0) && numbers.count(1) && numbers.count(2)) << got;
    if (r.inherit_up_to == 0) {
      EXPECT_EQ(numbers, (std::set<int>{0, 1, 2, 3})) << got;
    }
    EXPECT_EQ(count_lines_with(root.path + "/quavd.log", "command 'bin/fds' from "), 1);
  }
}

}  // namespace
