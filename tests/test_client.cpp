// The client where the case tables cannot reach: input cut into lines
// across reads, and an IPv6 daemon.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "harness.h"
#include "quav_encode.h"

using namespace harness;

namespace {

// What reaches the script, the daemon reading pieces of at most 1023 bytes
// up to a LF and dropping CR LF or LF, whatever the chunks fed were.
TEST(ClientInputLines, DataArrivesWithoutItsLineFeeds) {
  const std::vector<std::string> rows = {
      "ab\ncd\n", "no line end", "crlf\r\nkept\r\n", "\r\n\r\r\n", "..\n. \n .\n.x\n",
      std::string(999, 'a') + ".\n", std::string(1000, 'a') + ".\n", std::string(1001, 'a') + ".\n",
      std::string(2000, 'b') + ".", std::string(5000, '.') + "\n.a\n", std::string(3001, '\r') + "\n", "\n\n\n"};
  for (const std::string &row : rows) {
    for (std::size_t chunk : {std::size_t{1}, std::size_t{7}, row.size()}) {
      quav::input_lines lines;
      std::string out;
      for (std::size_t pos = 0; pos < row.size(); pos += chunk) {
        ASSERT_EQ(lines.feed(std::string_view(row).substr(pos, chunk), out), quav::input_lines::fault::none);
      }
      ASSERT_EQ(lines.finish(out), quav::input_lines::fault::none);
      ASSERT_TRUE(out.starts_with("input\r\n"));
      std::string joined, want = row;
      std::erase(want, '\n');
      for (std::size_t pos = 7; pos < out.size();) {
        std::size_t end = std::min({out.find('\n', pos) + 1, out.size(), pos + quav::line_limit});
        std::string line = out.substr(pos, end - pos);
        pos = end;
        if (line.ends_with("\r\n")) line.resize(line.size() - 2);
        else if (line.ends_with('\n')) line.pop_back();
        EXPECT_NE(line, ".") << "a piece would end the input; chunk " << chunk;
        joined += line;
      }
      EXPECT_EQ(joined, want) << "chunk " << chunk;
    }
  }
}

#ifdef QUAV_BINARY

// A loopback listener (backlog 0) on a free port; -1 when the family has none.
// Its accept, and reads on what it accepts, give up after 10 s.
int loopback_listener(int family, int &port) {
  sockaddr_storage ss{};
  ss.ss_family = static_cast<sa_family_t>(family);
  auto &a4 = reinterpret_cast<sockaddr_in &>(ss);  // sin_port and sin6_port share their place
  if (family == AF_INET6) reinterpret_cast<sockaddr_in6 &>(ss).sin6_addr = in6addr_loopback;
  else a4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  auto *sa = reinterpret_cast<sockaddr *>(&ss);
  socklen_t len = sizeof ss;
  int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 &&
      (::bind(fd, sa, len) != 0 || ::listen(fd, 0) != 0 || ::getsockname(fd, sa, &len) != 0)) {
    ::close(fd);
    fd = -1;
  }
  timeval limit{10, 0};
  if (fd >= 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  port = ntohs(a4.sin_port);
  return fd;
}

// A bracketed IPv6 literal with its port reaches ::1.
TEST(ClientFleet, IPv6Loopback) {
  int port = 0;
  int fd = loopback_listener(AF_INET6, port);
  if (fd < 0) GTEST_SKIP() << "no IPv6 loopback on this machine";
  std::thread server([fd] {
    int conn = ::accept(fd, nullptr, nullptr);
    if (conn < 0) return;
    char buf[512];
    while (::read(conn, buf, sizeof buf) > 0) {
    }
    std::string reply = "200 Cmd started 'bin/v6'\r\n\r\nover v6\n";
    EXPECT_GT(::write(conn, reply.data(), reply.size()), 0);
    ::close(conn);
  });
  run_result r = run_program({QUAV_BINARY, "-H", "[::1]:" + std::to_string(port), "bin/v6"}, "");
  server.join();
  ::close(fd);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "over v6\n");
}

#endif  // QUAV_BINARY

}  // namespace
