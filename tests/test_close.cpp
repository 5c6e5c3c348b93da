// How the daemon ends a connection: a client that is slow to read and sent
// more than the dialogue took still gets every byte of its reply.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "harness.h"

using namespace harness;

namespace {

int connect_loopback(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void pause_ms(long ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1000000};
  nanosleep(&ts, nullptr);
}

// Reads until the daemon closes (or resets) the connection, bounded.
std::string read_to_end(int fd) {
  std::string got;
  char buf[65536];
  for (int rounds = 0; rounds < 100000; ++rounds) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0) break;
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    got.append(buf, static_cast<std::size_t>(n));
  }
  return got;
}

struct CloseTest : ::testing::Test {
  temp_dir root;
  daemon_proc daemon;
  void SetUp() override {
    make_dirs(root.path + "/bin");
    write_script(root.path + "/bin/big", "/usr/bin/head -c 3000000 /dev/zero\n");
    ASSERT_TRUE(daemon.start(root.path, {"-l"}));
  }
};

}  // namespace

// Bytes that arrive after the dialogue has ended must not reset the
// connection while the output still waits in the daemon's send buffer.
TEST_F(CloseTest, LateClientBytesDoNotCutASlowReadersOutput) {
  const std::string header = "101 Cmd accepted 'bin/big'\r\n200 Cmd started 'bin/big'\r\n\r\n";
  for (int round = 0; round < 3; ++round) {
    int fd = connect_loopback(daemon.port);
    ASSERT_GE(fd, 0);
    const std::string request = "cmd bin/big\r\nend\r\n";
    ASSERT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(request.size()));
    pause_ms(150);  // the daemon has read "end" and is relaying
    ::send(fd, "late\r\n", 6, MSG_NOSIGNAL);
    pause_ms(300);  // the daemon is done and closes while we have not read
    std::string got = read_to_end(fd);
    ::close(fd);
    EXPECT_EQ(got.size(), header.size() + 3000000) << "round " << round;
    EXPECT_EQ(got.substr(0, header.size()), header) << "round " << round;
  }
}

// A client that keeps its side open and sends nothing more does not hold
// the daemon for ever: the next client is served.
TEST_F(CloseTest, ClientThatNeverClosesDoesNotBlockTheNext) {
  int idle = connect_loopback(daemon.port);
  ASSERT_GE(idle, 0);
  ::send(idle, "vers\r\nfoo\r\n", 11, MSG_NOSIGNAL);
  std::string got = exchange(daemon.port, "cmd bin/big\r\nend\r\n", true);
  const std::string header = "101 Cmd accepted 'bin/big'\r\n200 Cmd started 'bin/big'\r\n\r\n";
  EXPECT_EQ(got.size(), header.size() + 3000000);
  ::close(idle);
}
