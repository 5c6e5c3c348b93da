// The quav client: its encoder and input lines against the daemon's own
// decoding, and the whole client against the real daemon.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "quav_encode.h"
#include "harness.h"
#include "util.h"

using namespace harness;

namespace {

// What the daemon's escaping makes of an argument: a backslash before each
// of its 20 shell-special bytes.
std::string shell_escaped(const std::string &arg) {
  static const std::string special = "&;`'\"|*?~<>^()[]{}$\\";
  std::string out;
  for (char c : arg) {
    if (special.find(c) != std::string::npos) out += '\\';
    out += c;
  }
  return out;
}

std::string decoded(const std::string &encoded) {
  std::vector<char> buf(encoded.begin(), encoded.end());
  buf.push_back('\0');
  unescape_url(buf.data());
  return std::string(buf.data(), std::strlen(buf.data()));
}

TEST(ClientEncoder, EveryByteRoundTripsThroughUnescape) {
  for (int b = 0; b < 256; ++b) {
    std::string one(1, static_cast<char>(b));
    for (const std::string &enc : {quav::encode_path(one), quav::encode_arg(one)}) {
      // Nothing the daemon splits at may remain literal.
      EXPECT_EQ(enc.find_first_of("+ \t"), std::string::npos) << "byte " << b;
      EXPECT_EQ(decoded(enc), b == 0 ? "" : one) << "byte " << b << " as " << enc;
    }
  }
  std::string all;
  for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
  EXPECT_EQ(decoded(quav::encode_arg(all)), all);
  EXPECT_EQ(decoded(quav::encode_path(all)), all);
}

// Reads protocol text as the daemon does: pieces of at most 1023 bytes up to
// a LF, CR LF or LF removed; returns the lines after the input command.
std::vector<std::string> daemon_lines(const std::string &text) {
  std::vector<std::string> lines;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t lf = text.find('\n', pos);
    std::size_t end = lf == std::string::npos ? text.size() : lf + 1;
    if (end - pos > quav::line_limit) end = pos + quav::line_limit;
    std::string line = text.substr(pos, end - pos);
    pos = end;
    if (line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0) {
      line.resize(line.size() - 2);
    } else if (!line.empty() && line.back() == '\n') {
      line.pop_back();
    }
    lines.push_back(line);
  }
  if (!lines.empty() && lines[0] == "input") lines.erase(lines.begin());
  return lines;
}

TEST(ClientInputLines, DataArrivesWithoutItsLineFeeds) {
  const std::vector<std::string> rows = {
      "ab\ncd\n",
      "no line end",
      "crlf\r\nkept\r\n",
      "\r\n\r\r\n",
      "..\n. \n .\n.x\n",
      std::string(999, 'a') + ".\n",
      std::string(1000, 'a') + ".\n",
      std::string(1001, 'a') + ".\n",
      std::string(2000, 'b') + ".",
      std::string(5000, '.') + "\n.a\n",
      std::string(3001, '\r') + "\n",
      "\n\n\n",
  };
  for (std::size_t r = 0; r < rows.size(); ++r) {
    // Fed in small chunks as well as in one, since pieces cross reads.
    for (std::size_t chunk : {std::size_t{1}, std::size_t{7}, rows[r].size()}) {
      quav::input_lines lines;
      std::string out;
      for (std::size_t pos = 0; pos < rows[r].size(); pos += chunk) {
        ASSERT_EQ(lines.feed(std::string_view(rows[r]).substr(pos, chunk), out),
                  quav::input_lines::fault::none)
            << "row " << r;
      }
      ASSERT_EQ(lines.finish(out), quav::input_lines::fault::none) << "row " << r;
      ASSERT_EQ(out.rfind("input\r\n", 0), 0u) << "row " << r;
      std::string joined;
      for (const std::string &l : daemon_lines(out)) {
        EXPECT_NE(l, ".") << "row " << r << " chunk " << chunk << ": a piece would end the input";
        joined += l;
      }
      std::string want;
      for (char c : rows[r]) {
        if (c != '\n') want += c;
      }
      EXPECT_EQ(joined, want) << "row " << r << " chunk " << chunk;
    }
  }
}

// ---------------------------------------------------------------------------
// End to end through the real daemon.

#ifdef QUAV_BINARY

// A served root with the reporting program as bin/argv and two scripts.
struct served_root : harness::served_root {
  explicit served_root(const std::vector<std::string> &options = {"-l"})
      : harness::served_root(options) {
    reporter("bin/argv");
    script("bin/silent", "exit 0\n");
  }
};

run_result quav_run(int port, std::vector<std::string> args, const std::string &input = "") {
  args.insert(args.begin(), {QUAV_BINARY, "-p", std::to_string(port)});
  return run_program(args, "", std::chrono::seconds(20), input);
}

// The argv helper's report for the arguments (argv[0] is the base name).
std::string argv_report(const std::vector<std::string> &words) {
  std::string text = "argc=" + std::to_string(words.size()) + "\n";
  for (std::size_t i = 0; i < words.size(); ++i) {
    std::string arg = i == 0 ? words[0].substr(words[0].rfind('/') + 1) : shell_escaped(words[i]);
    text += "argv[" + std::to_string(i) + "]=" + arg + "\n";
  }
  return text;
}

// Each row is one run. The daemon cleans up the whole command line as a
// path before it splits it (the end of the text matters to the clean-up):
// the arguments must come through both intact.
TEST(ClientEndToEnd, ArgumentsArriveSeparateAndIntact) {
  served_root root;
  root.reporter("dir/sub/x");
  std::string all;
  for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
  const std::vector<std::vector<std::string>> rows = {
      {"bin/argv", "two words", "a+b", "100%", "#hash", "caf\xc3\xa9 \xff", "a;b|c&d", "$(id)`x`",
       "", "..", "a/../b", "http://x//y", "-n", "\t\x01"},
      {"bin/argv", ".."}, {"bin/argv", "x.."}, {"bin/argv", "..."}, {"bin/argv", "a/../b"},
      {"bin/argv", "../../etc/passwd"}, {"bin/argv", "http://host//path///"}, {"bin/argv", "/"},
      {"bin/argv", "%2e%2e"}, {"bin/argv", "", "", "-n"}, {"dir/sub/x", "a/..", "..", "b"},
      {"bin/argv", all},
  };
  for (std::size_t i = 0; i < rows.size(); ++i) {
    run_result r = quav_run(root.port(), rows[i]);
    EXPECT_EQ(r.status, 0) << "row " << i << ": " << r.err;
    EXPECT_EQ(r.out, argv_report(rows[i]) + "in(0)=\n") << "row " << i;
    EXPECT_EQ(r.err, "") << "row " << i;
  }
}

// Each entry as an -e option, then the script.
std::vector<std::string> with_env(const std::vector<std::string> &entries) {
  std::vector<std::string> cmd;
  for (const auto &e : entries) cmd.insert(cmd.end(), {"-e", e});
  cmd.push_back("bin/argv");
  return cmd;
}

TEST(ClientEndToEnd, EnvironmentEntriesArriveExactlyOrAreRefused) {
  served_root root;
  // The last entry is the longest that fits one line.
  const std::vector<std::string> entries = {"A=1", "B=two  words ", "C=a=b", ".dot", "=",
                                            "D=%41+", "E=" + std::string(1019, 'x')};
  std::string want = argv_report({"bin/argv"});
  for (std::size_t i = 0; i < entries.size(); ++i) {
    want += "env=" + entries[i] + "\n";
  }
  run_result r = quav_run(root.port(), with_env(entries));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, want + "in(0)=\n");
  // Fifty entries is the block's size and all of them arrive.
  r = quav_run(root.port(), with_env(std::vector<std::string>(50, "V=x")));
  EXPECT_EQ(r.status, 0) << r.err;
  std::string fifty;
  for (int i = 0; i < 50; ++i) fifty += "env=V=x\n";
  EXPECT_NE(r.out.find(fifty + "in(0)"), std::string::npos) << r.out;

  const std::vector<std::vector<std::string>> refused = {
      {""}, {"."}, {"A=1\nB=2"}, {"A=1\r"}, {"A=" + std::string(1020, 'x')},
      std::vector<std::string>(51, "V=x")};
  for (std::size_t i = 0; i < refused.size(); ++i) {
    r = quav_run(root.port(), with_env(refused[i]));
    EXPECT_EQ(r.status, 4) << "row " << i;
    EXPECT_EQ(r.out, "") << "row " << i;
    EXPECT_TRUE(r.err.starts_with("quav: ")) << "row " << i << ": " << r.err;
  }
  EXPECT_EQ(root.outcome_lines(), 2);
}

TEST(ClientEndToEnd, InputArrivesJoined) {
  served_root root;
  struct row {
    std::string input;
    std::string arrives;
  };
  std::string big;
  for (int i = 0; i < 40000; ++i) big += "line " + std::to_string(i) + " \r\n";
  std::string big_joined;
  for (char c : big) {
    if (c != '\n') big_joined += c;
  }
  const std::vector<row> rows = {
      {"ab\ncd\n", "abcd"},
      {"keeps its CR\r\nand a last line", "keeps its CR\rand a last line"},
      {"..\n.x\n", "...x"},
      {std::string(1000, 'a') + ".\n", std::string(1000, 'a') + "."},
      {"", ""},
      {big, big_joined},
  };
  for (std::size_t i = 0; i < rows.size(); ++i) {
    run_result r = quav_run(root.port(), {"-i", "bin/argv"}, rows[i].input);
    EXPECT_EQ(r.status, 0) << "row " << i << ": " << r.err;
    std::string want = argv_report({"bin/argv"}) + "in(" + std::to_string(rows[i].arrives.size()) + ")=" +
                       rows[i].arrives + "\n";
    EXPECT_TRUE(r.out == want) << "row " << i << ": got " << r.out.size() << " bytes, want "
                               << want.size();
  }
}

TEST(ClientEndToEnd, InputTheProtocolCannotCarryIsRefused) {
  served_root root;
  const std::pair<std::string, std::string> rows[] = {
      {".\n", "input line 1 is a lone \".\""},
      {"first\n.\nlast\n", "input line 2 is a lone \".\""},
      {"a\n.", "input line 2 is a lone \".\""},
      {std::string("a\nb\0c\n", 6), "input line 2 holds a NUL byte"},
  };
  for (const auto &[input, message] : rows) {
    run_result r = quav_run(root.port(), {"-i", "bin/argv"}, input);
    EXPECT_EQ(r.status, 4) << message;
    EXPECT_EQ(r.out, "") << message;
    EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
  }
  // Found before connecting: no script ran.
  EXPECT_EQ(root.outcome_lines(), 0);

  // Far into a long input the script has started; its output is not shown
  // and the daemon goes on serving.
  std::string long_input;
  while (long_input.size() < 600 * 1024) long_input += "some line of input\n";
  run_result r = quav_run(root.port(), {"-i", "bin/argv"}, long_input + ".\nafter\n");
  EXPECT_EQ(r.status, 4);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("is a lone \".\""), std::string::npos) << r.err;
  r = quav_run(root.port(), {"bin/argv", "next"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, argv_report({"bin/argv", "next"}) + "in(0)=\n");
}

TEST(ClientEndToEnd, ExitStatusSaysWhatHappened) {
  served_root root;
  served_root filtered({"-l", "-r", "no.such.peer.invalid"});
  int no_daemon = free_port();
  struct row {
    const char *what;
    int port;
    std::vector<std::string> args;
    int status;
    std::string err;
  };
  const std::vector<row> rows = {
      {"output", root.port(), {"bin/argv"}, 0, ""},
      {"no output", root.port(), {"bin/silent"}, 2, "quav: 503 exec of 'bin/silent' failed\n"},
      {"missing script", root.port(), {"bin/none"}, 2, "quav: 503 exec of 'bin/none' failed\n"},
      {"refused path", root.port(), {"../x"}, 2, "quav: 502 Cmd failed\n"},
      {"refused path with input", root.port(), {"-i", "/bin/sh"}, 2, "quav: 502 Cmd failed\n"},
      {"filtered peer", filtered.port(), {"bin/argv"}, 3, "quav: connection "},
      {"no daemon", no_daemon, {"bin/argv"}, 4, "quav: cannot connect to 127.0.0.1 port "},
      {"no script", root.port(), {}, 4, "quav: no script named\n"},
      {"unknown option", root.port(), {"-z", "bin/argv"}, 4, ""},
  };
  for (const row &t : rows) {
    run_result r = quav_run(t.port, t.args, "some input\n");
    EXPECT_EQ(r.status, t.status) << t.what << ": " << r.err;
    EXPECT_EQ(r.err.rfind(t.err, 0), 0u) << t.what << ": " << r.err;
  }
  run_result bad_host = run_program({QUAV_BINARY, "-H", "no-such-host.invalid", "bin/argv"}, "");
  EXPECT_EQ(bad_host.status, 4) << bad_host.err;
  // -V names the project's version as the build file sets it.
  std::string build = read_file(QUAVD_SOURCE_DIR "/CMakeLists.txt");
  std::size_t at = build.find("project(quavd VERSION ") + 22;
  run_result v = run_program({QUAV_BINARY, "-V"}, "");
  EXPECT_EQ(v.status, 0);
  EXPECT_EQ(v.out, "quav " + build.substr(at, build.find(' ', at) - at) + "\n");
}

// Only the daemon's own empty line after the 200 line is skipped: no output
// is lost, whichever way either side was started.
TEST(ClientEndToEnd, OnlyTheEmptyLineAfterTheReplyIsSkipped) {
  served_root plain;
  served_root scripted({"-l", "-n"});
  struct row {
    const served_root &root;
    bool client_n;
    const char *output;
    std::string want;
  };
  const row rows[] = {
      {plain, false, "X-One: 1\\r\\n\\r\\nbody\\n", "X-One: 1\r\n\r\nbody\n"},
      {plain, true, "body", "\r\nbody"},
      {scripted, false, "X-One: 1\\r\\n\\r\\nbody\\n", "X-One: 1\r\n\r\nbody\n"},
      {scripted, false, "body\\n", "body\n"},
      {scripted, false, "\\r\\nbody", "body"},
      {scripted, false, "\\nbody", "body"},
      {scripted, false, "\\rbody", "\rbody"},
      {scripted, false, "\\r", "\r"},
      {scripted, true, "\\r\\nbody", "\r\nbody"},
  };
  for (const row &t : rows) {
    t.root.script("bin/out", std::string("printf '") + t.output + "'\n");
    run_result r = quav_run(t.root.port(), t.client_n ? std::vector<std::string>{"-n", "bin/out"}
                                                      : std::vector<std::string>{"bin/out"});
    EXPECT_EQ(r.status, 0) << t.output << ": " << r.err;
    EXPECT_EQ(r.out, t.want) << t.output;
  }
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
