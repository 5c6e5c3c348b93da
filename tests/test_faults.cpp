// Fault tests through the real daemon: scripts that hold their output in odd
// ways, a descriptor table that runs full, a log file that disappears, and
// clients that send nothing or half-close.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

using namespace harness;
using namespace std::chrono_literals;

namespace {

constexpr char kHelloReplyHead[] = "200 Cmd started '";

std::string hello_reply(const std::string &cmd, const std::string &body) {
  return "101 Cmd accepted '" + cmd + "'\r\n" + kHelloReplyHead + cmd + "'\r\n\r\n" + body;
}

// A raw client for the cases that exchange() cannot express.
int connect_to(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(static_cast<uint16_t>(port));
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool send_all(int fd, const std::string &data) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

// Reads into got until it holds the needle (or, with an empty needle, until
// the peer closes), at most for the timeout. Returns whether that happened.
bool read_until(int fd, std::string &got, const std::string &needle,
                std::chrono::milliseconds timeout = 10s) {
  auto end = std::chrono::steady_clock::now() + timeout;
  while (needle.empty() || got.find(needle) == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[4096];
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return needle.empty();
    got.append(buf, static_cast<std::size_t>(n));
  }
  return true;
}

int lowest_free_fd(pid_t pid) {
  for (int fd = 0; fd < 4096; ++fd) {
    if (!file_exists("/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd))) return fd;
  }
  return -1;
}

// The daemon's descriptor count once it has served a first client and
// holds no connection any more (only its listening socket). Taken after a
// first request because a memory checker may open descriptors of its own
// the first time the daemon forks.
int idle_fds(daemon_proc &d) {
  auto sockets = [&] {
    int n = 0;
    std::string dir = "/proc/" + std::to_string(d.pid) + "/fd/";
    for (int fd = 0; fd < 1024; ++fd) {
      char target[256];
      ssize_t len = ::readlink((dir + std::to_string(fd)).c_str(), target, sizeof target - 1);
      if (len > 0 && std::string(target, static_cast<std::size_t>(len)).rfind("socket:", 0) == 0) ++n;
    }
    return n;
  };
  if (!wait_until([&] { return sockets() == 1; }, 5s)) return -1;
  return d.open_fds();
}

// The daemon's descriptor count returns to the given one; it may take a
// moment after the last client has seen the end of its reply.
::testing::AssertionResult settles_at(const daemon_proc &d, int fds) {
  if (wait_until([&] { return d.open_fds() == fds; }, 5s)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "descriptors: " << d.open_fds() << ", expected " << fds;
}

struct FaultTest : ::testing::Test {
  temp_dir root;
  daemon_proc d;
  std::string log;

  void SetUp() override {
    make_dirs(root.path + "/bin");
    write_script(root.path + "/bin/hello", "echo \"hello $*\"\ncat\n");
    log = root.path + "/quavd.log";
  }

  // Lines that give a script's outcome.
  int outcome_lines() {
    return count_lines_with(log, " ok, status ") + count_lines_with(log, " failed, status ") +
           count_lines_with(log, " died with signal ");
  }

  // The index of the first log line holding the text, or -1.
  int log_index(const std::string &text) {
    auto lines = read_lines(log);
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (lines[i].find(text) != std::string::npos) return static_cast<int>(i);
    }
    return -1;
  }

  void expect_hello_served(const std::string &arg) {
    std::string cmd = "bin/hello+" + arg;
    EXPECT_EQ(exchange(d.port, "cmd " + cmd + "\r\nend\r\n", false), hello_reply(cmd, "hello " + arg + "\n"));
  }
};

// The script closes its output at once but runs on: the relay sees the end
// of its output, and the daemon then waits for the script before it takes
// the next client, who is served afterwards.
TEST_F(FaultTest, ScriptThatClosesItsOutputAndRunsOnIsWaitedFor) {
  write_script(root.path + "/bin/closer", "echo before\nexec >&- 2>&-\nsleep 1\nexit 0\n");
  ASSERT_TRUE(d.start(root.path, {"-l"}));

  int first = connect_to(d.port);
  ASSERT_GE(first, 0);
  ASSERT_TRUE(send_all(first, "cmd bin/closer\r\nend\r\n"));
  std::string got;
  ASSERT_TRUE(read_until(first, got, "before\n")) << got;

  // Queued in the listen backlog while the daemon waits for the script.
  expect_hello_served("next");
  EXPECT_TRUE(read_until(first, got, "", 10s));
  ::close(first);
  EXPECT_EQ(got, hello_reply("bin/closer", "before\n"));

  int closer = log_index("command 'bin/closer' from");
  int next = log_index("command 'bin/hello+next' from");
  ASSERT_GE(closer, 0);
  ASSERT_GE(next, 0);
  EXPECT_LT(closer, next) << "the next client was served before the script was reaped";
  EXPECT_EQ(count_lines_with(log, "command 'bin/closer' from localhost.(none) ok, status 0"), 1);
  EXPECT_EQ(d.zombie_children(), 0);
}

// The script exits at once but leaves a background child that holds its
// output for a while and then writes to it: the relay runs to the real end
// of the output, and the script is still logged exactly once.
TEST_F(FaultTest, BackgroundChildHoldingTheOutputIsRelayedToItsEnd) {
  write_script(root.path + "/bin/bg", "echo start\n(sleep 1; echo late) &\nexit 0\n");
  ASSERT_TRUE(d.start(root.path, {"-l"}));
  expect_hello_served("first");
  int fds = idle_fds(d);
  ASSERT_GT(fds, 0);

  EXPECT_EQ(exchange(d.port, "cmd bin/bg\r\nend\r\n", false), hello_reply("bin/bg", "start\nlate\n"));
  EXPECT_EQ(count_lines_with(log, "command 'bin/bg' from localhost.(none) ok, status 0"), 1);
  EXPECT_EQ(d.zombie_children(), 0);
  expect_hello_served("after");
  EXPECT_TRUE(settles_at(d, fds));
}

// A burst of clients while the daemon's descriptor table is full: every
// accept fails and is logged, but the loop pauses between attempts rather
// than spinning, and once descriptors are available again every queued
// client is served.
TEST_F(FaultTest, FullDescriptorTableUnderABurstPausesLogsAndRecovers) {
  d.fd_limit = 64;
  ASSERT_TRUE(d.start(root.path, {"-l"}));
  expect_hello_served("warm");
  const int idle = idle_fds(d);
  ASSERT_GT(idle, 0);

  // The limit bounds descriptor numbers, and the daemon may hold inherited
  // ones far up: at the lowest free number, the next descriptor is refused.
  const int full = lowest_free_fd(d.pid);
  ASSERT_GT(full, 2);
  const std::string accept_failed = "socket error: accept failed";
  ASSERT_TRUE(d.set_fd_limit(full));
  // The accept the daemon is blocked in took its descriptor before the
  // limit fell: that connection is accepted, cannot get its streams and is
  // closed without a byte. Every accept after it fails.
  EXPECT_EQ(exchange(d.port, "", true), "");

  bool logged = wait_until([&] { return count_lines_with(log, accept_failed) >= 2; }, 10s);
  EXPECT_TRUE(logged) << "accept failures were not logged:\n" << read_file(log);

  // No more than the listen backlog holds: beyond it the kernel itself
  // may drop or reset a connection, whatever the daemon does.
  constexpr int kClients = 5;
  std::vector<std::string> replies(kClients);
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&, i] {
      exchange_options opt;
      opt.timeout = 30s;
      replies[static_cast<std::size_t>(i)] =
          exchange(d.port, "cmd bin/hello+c" + std::to_string(i) + "\r\nend\r\n", opt);
    });
  }

  if (logged) {
    // Over about a second the loop may try ten times or so; a spinning
    // loop would log thousands of lines.
    auto t0 = std::chrono::steady_clock::now();
    int lines0 = count_lines_with(log, accept_failed);
    std::this_thread::sleep_for(1s);
    int lines1 = count_lines_with(log, accept_failed);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(lines1, lines0 + 1) << "the daemon stopped trying";
    EXPECT_LE(lines1 - lines0, static_cast<int>(30 * seconds) + 5) << "the accept loop spins";
  }

  // The clients are joined whatever happened above.
  EXPECT_TRUE(d.set_fd_limit(64));
  for (auto &t : clients) t.join();
  for (int i = 0; i < kClients; ++i) {
    std::string cmd = "bin/hello+c" + std::to_string(i);
    EXPECT_EQ(replies[static_cast<std::size_t>(i)], hello_reply(cmd, "hello c" + std::to_string(i) + "\n"))
        << "client " << i;
  }
  expect_hello_served("after");
  EXPECT_TRUE(settles_at(d, idle));
  EXPECT_EQ(d.zombie_children(), 0);
}

// The log file is opened for every message, so removing it, and then
// putting a directory in its place, never stops the service; messages that
// cannot be written are lost, and logging resumes when the file can be
// made again.
TEST_F(FaultTest, LogFileRemovedOrUnopenableWhileRunning) {
  ASSERT_TRUE(d.start(root.path, {"-l"}));
  expect_hello_served("one");
  ASSERT_EQ(count_lines_with(log, "command 'bin/hello+one'"), 1);

  ASSERT_EQ(::unlink(log.c_str()), 0);
  expect_hello_served("two");
  EXPECT_EQ(count_lines_with(log, "command 'bin/hello+two'"), 1) << "the log was not made again";

  ASSERT_EQ(::unlink(log.c_str()), 0);
  ASSERT_EQ(::mkdir(log.c_str(), 0755), 0);
  expect_hello_served("three");
  EXPECT_EQ(exchange(d.port, "cmd /bin/sh\r\nend\r\n", false),
            "101 Cmd accepted '/bin/sh'\r\n502 Cmd failed\r\n");
  expect_hello_served("four");

  ASSERT_EQ(::rmdir(log.c_str()), 0);
  expect_hello_served("five");
  auto lines = read_lines(log);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("command 'bin/hello+five' from localhost.(none) ok, status 0"), std::string::npos)
      << lines[0];
  EXPECT_EQ(d.zombie_children(), 0);
}

// Clients that send nothing: one closes at once, one half-closes. Neither
// gets a byte, nothing is started or logged, and the next client is served.
TEST_F(FaultTest, ClientThatSendsNothing) {
  ASSERT_TRUE(d.start(root.path, {"-l"}));
  expect_hello_served("first");
  int fds = idle_fds(d);
  ASSERT_GT(fds, 0);

  int fd = connect_to(d.port);
  ASSERT_GE(fd, 0);
  ::close(fd);
  EXPECT_EQ(exchange(d.port, "", true), "");
  expect_hello_served("x");
  EXPECT_EQ(outcome_lines(), 2);
  EXPECT_TRUE(settles_at(d, fds));
}

// A client that half-closes after its last line, with or without the end
// command and with or without a final line end: the end of its input ends
// the dialogue, and the script still runs with all of its input.
TEST_F(FaultTest, ClientThatHalfClosesAfterItsLastLine) {
  ASSERT_TRUE(d.start(root.path, {"-l"}));
  struct row {
    const char *name;
    std::string request;
    std::string reply;
  } rows[] = {
      {"end command", "cmd bin/hello+a\r\nend\r\n", hello_reply("bin/hello+a", "hello a\n")},
      {"input, no end", "cmd bin/hello+b\r\ninput\r\nxy\r\nz\r\n", hello_reply("bin/hello+b", "hello b\nxyz")},
      {"end without line end", "cmd bin/hello+c\r\nend", hello_reply("bin/hello+c", "hello c\n")},
      {"input line without line end", "cmd bin/hello+d\r\ninput\r\nlast",
       hello_reply("bin/hello+d", "hello d\nlast")},
      {"no script", "env\r\nA=1\r\n", "100 Enter env.  End with single '.' on a line\r\n"},
  };
  for (const auto &r : rows) {
    EXPECT_EQ(exchange(d.port, r.request, true), r.reply) << r.name;
  }
  EXPECT_EQ(outcome_lines(), 4);
  EXPECT_EQ(count_lines_with(log, "ok, status 0"), 4);
  EXPECT_EQ(d.zombie_children(), 0);
}

}  // namespace
