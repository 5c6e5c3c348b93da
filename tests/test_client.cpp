// The client where the case tables cannot reach: input cut into lines
// across reads, every byte as an argument, and many hosts at once.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <sstream>
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

struct served_root : harness::served_root {
  explicit served_root(const std::vector<std::string> &options = {"-l"}) : harness::served_root(options) {
    reporter("bin/argv");
  }
};

// The reporting program's lines for these arguments, each shell-escaped.
std::string argv_report(const std::vector<std::string> &words) {
  std::string text = "argc=" + std::to_string(words.size()) + "\nargv[0]=" + words[0].substr(words[0].rfind('/') + 1) + "\n";
  for (std::size_t i = 1; i < words.size(); ++i) {
    text += "argv[" + std::to_string(i) + "]=";
    for (char c : words[i]) text += std::string(std::strchr("&;`'\"|*?~<>^()[]{}$\\", c) != nullptr ? "\\" : "") + c;
    text += "\n";
  }
  return text;
}

TEST(ClientEndToEnd, EveryByteArrivesInAnArgument) {
  served_root root;
  std::string all;
  for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
  run_result r = run_program({QUAV_BINARY, "-p", std::to_string(root.port()), "bin/argv", all}, "");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, argv_report({"bin/argv", all}) + "in(0)=\n");
}

// ---------------------------------------------------------------------------
// Many hosts at once.

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

std::vector<std::string> sorted_lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream ss(text);
  for (std::string line; std::getline(ss, line);) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  return lines;
}

// The lines of text from each host, behind its prefix.
std::vector<std::string> prefixed(const std::vector<std::string> &hosts, const std::string &text) {
  std::string all;
  for (const auto &h : hosts) {
    for (const auto &l : sorted_lines(text)) all += h + ": " + l + "\n";
  }
  return sorted_lines(all);
}

TEST(ClientFleet, EveryHostRunsAndAnswersForItself) {
  served_root a, b, c;
  served_root refusing({"-l", "-r", "no.such.peer.invalid"});
  temp_dir tmp;
  // Lines cut across writes, and a last one without its LF.
  const std::string fleet =
      "echo \"one $1\"; printf half-; /bin/sleep 0.2; printf 'line\\nno end'\n";
  const std::string lock = "if /bin/mkdir " + tmp.path + "/lock 2>/dev/null; then /bin/sleep 0.5; " +
                           "/bin/rmdir " + tmp.path + "/lock; echo alone; else echo overlap; fi\n";
  for (const served_root *r : {&a, &b, &c}) {
    r->script("bin/fleet", r == &b ? "exit 1\n" : fleet);
    r->script("bin/lock", lock);
  }
  // A connect that hangs: the listener's one queue slot is taken.
  int stuck_port = 0;
  int stuck = loopback_listener(AF_INET, stuck_port);
  client filler(stuck_port);
  auto at = [](const std::string &name, int port) { return name + ":" + std::to_string(port); };
  std::string ha = at("127.0.0.1", a.port()), hb = at("localhost", b.port()),
              hc = at("127.0.0.1", c.port()), hr = at("localhost", refusing.port()),
              dead = at("127.0.0.1", free_port()), hs = at("127.0.0.1", stuck_port),
              both = ha + "," + hb, fleet_out = "one x\nhalf-line\nno end";
  write_file(tmp.path + "/hosts", "# the fleet\n\n  " + hc + "  # third\n" + dead + "\n");
  write_file(tmp.path + "/none", "# nothing\n");
  write_file(tmp.path + "/bad", ha + "\nbad host\n");
  std::string input;
  for (int i = 0; i < 30000; ++i) input += "in " + std::to_string(i) + " \r\x01\xff\n";
  std::string joined = input;
  std::erase(joined, '\n');
  struct row {
    std::vector<std::string> args;
    int status;
    std::vector<std::string> out;
    std::vector<std::string> err;  // each the start of exactly one line
    bool huge_input = false;
  };
  const std::vector<row> rows = {
      // Bad input: one line, exit 4, before any connection.
      {{"-H", "", "bin/fleet"}, 4, {}, {"quav: empty host list"}},
      {{"-f", tmp.path + "/none", "bin/fleet"}, 4, {}, {"quav: empty host list"}},
      {{"-H", ha, "-f", tmp.path + "/missing", "bin/fleet"}, 4, {}, {"quav: cannot read host file"}},
      {{"-f", tmp.path + "/bad", "bin/fleet"}, 4, {}, {"quav: " + tmp.path + "/bad line 2: malformed"}},
      {{"-H", ha + ",127.0.0.1:65536", "bin/fleet"}, 4, {}, {"quav: malformed host '127.0.0.1:65536'"}},
      {{"-H", ha + ",x:", "bin/fleet"}, 4, {}, {"quav: malformed host 'x:'"}},
      {{"-H", ha + ",[::1", "bin/fleet"}, 4, {}, {"quav: malformed host '[::1'"}},
      {{"-H", both, "-P", "0", "bin/fleet"}, 4, {}, {"quav: bad -P '0'"}},
      {{"-H", both, "-w", "0", "bin/fleet"}, 4, {}, {"quav: bad -w '0'"}},
      {{"-H", both, "-o", tmp.path + "/none", "bin/fleet"}, 4, {}, {"quav: cannot use output dir"}},
      {{"-H", both, "-i", "bin/fleet"}, 4, {}, {"quav: standard input is over 64 MiB"}, true},
      // Each host named on its failure, the worst status, the summary.
      {{"-w", "1", "-H", both, "-H", hr + "," + hs, "-f", tmp.path + "/hosts", "bin/fleet", "x"},
       4,
       prefixed({ha, hc}, fleet_out),
       {"quav: " + hb + ": 503 exec of 'bin/fleet+x' failed", "quav: " + hr + ": connection ",
        "quav: " + dead + ": cannot connect to 127.0.0.1 port " + dead.substr(10) +
            ": Connection refused",
        "quav: " + hs + ": cannot connect to 127.0.0.1 port " + hs.substr(10) + ": timed out",
        "6 hosts: 2 ok, 4 failed"}},
      {{"-H", both + "," + hr, "bin/fleet", "x"}, 3, prefixed({ha}, fleet_out),
       {"quav: " + hb + ": 503 ", "quav: " + hr + ": connection ", "3 hosts: 1 ok, 2 failed"}},
      {{"-o", tmp.path + "/out", "-H", both, "bin/fleet", "x"}, 2, {},
       {"quav: " + hb + ": 503 ", "2 hosts: 1 ok, 1 failed"}},
      // A bare IPv6 literal (here IPv4-mapped) takes -p's port.
      {{"-i", "-p", hc.substr(10), "-H", both + ",::ffff:127.0.0.1", "bin/argv"}, 0,
       prefixed({ha, hb, "::ffff:127.0.0.1"},
                argv_report({"bin/argv"}) + "in(" + std::to_string(joined.size()) + ")=" + joined),
       {"3 hosts: 3 ok, 0 failed"}},
      {{"-P", "1", "-H", both + "," + hc, "bin/lock"}, 0, prefixed({ha, hb, hc}, "alone"),
       {"3 hosts: 3 ok, 0 failed"}},
  };
  for (std::size_t i = 0; i < rows.size(); ++i) {
    std::vector<std::string> cmd = {QUAV_BINARY};
    cmd.insert(cmd.end(), rows[i].args.begin(), rows[i].args.end());
    run_result r = run_program(cmd, "", std::chrono::seconds(60),
                               rows[i].huge_input ? std::string((64 << 20) + 1, 'x') : input);
    EXPECT_EQ(r.status, rows[i].status) << "row " << i << ": " << r.err;
    EXPECT_TRUE(sorted_lines(r.out) == rows[i].out) << "row " << i << ": " << r.out.substr(0, 2000);
    std::vector<std::string> err = sorted_lines(r.err);
    EXPECT_EQ(err.size(), rows[i].err.size()) << "row " << i << ": " << r.err;
    for (const std::string &want : rows[i].err) {
      auto starts = [&](const std::string &l) { return l.starts_with(want); };
      EXPECT_EQ(std::count_if(err.begin(), err.end(), starts), 1) << "row " << i << ": " << want;
    }
  }
  EXPECT_EQ(read_file(tmp.path + "/out/" + ha), fleet_out);
  EXPECT_EQ(read_file(tmp.path + "/out/" + hb), "");
  // Without -P 1 the three scripts run side by side.
  run_result r = run_program({QUAV_BINARY, "-H", both + "," + hc, "bin/lock"}, "");
  EXPECT_NE(r.out.find(": overlap\n"), std::string::npos) << r.out;
  // One script on a for each of the last five rows and the run above: none for a bad row.
  EXPECT_EQ(a.outcome_lines(), 6);
  ::close(stuck);
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
