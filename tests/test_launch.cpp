// Launching, feeding and reaping scripts through the real daemon: the
// argument vector a script sees, refused paths, logged outcomes, large
// input and output, and clients that leave early.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "harness.h"
#include "request_support.h"

using namespace request_support;

namespace {

// Compares large outputs without printing megabytes on failure.
::testing::AssertionResult same_bytes(const std::string &got, const std::string &want) {
  if (got == want) return ::testing::AssertionSuccess();
  std::size_t i = 0;
  while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
  return ::testing::AssertionFailure() << "got " << got.size() << " bytes, want " << want.size()
                                       << "; first difference at byte " << i;
}

std::string seq_text(int last) {
  std::string s;
  for (int i = 1; i <= last; ++i) s += std::to_string(i) + "\n";
  return s;
}

}  // namespace

struct argv_row {
  std::string cmd;
  std::string cleaned;  // as quoted once the launch has cleaned it
  std::vector<std::string> args;
};

TEST(Launch, ArgumentVectorAsTheScriptSeesIt) {
  served_root s;
  s.reporter("bin/show");
  s.reporter("show");
  harness::make_dirs(s.root + "/bin/sub");
  const std::vector<argv_row> rows = {
      {"bin/show+a+b", "bin/show+a+b", {"show", "a", "b"}},
      {"bin/show+a%20b+c;d", "bin/show+a%20b+c;d", {"show", "a b", "c\\;d"}},
      {"bin/show+a%2Fb", "bin/show+a%2Fb", {"show", "a/b"}},
      {"bin/show  x\ty", "bin/show  x\ty", {"show", "x", "y"}},
      {"bin/show+%2541+%zz+a%00b", "bin/show+%2541+%zz+a%00b", {"show", "%41", "S", "a"}},
      {"show+x", "show+x", {"show", "x"}},
      {"bin/sub/../show+q", "bin/show+q", {"show", "q"}},
      {"bin%2fshow+x", "bin%2fshow+x", {"show", "x"}},
  };
  for (const auto &row : rows) {
    EXPECT_EQ(s.send("cmd " + row.cmd + "\r\nend\r\n"),
              accepted(row.cmd) + started(row.cleaned) + report(row.args))
        << row.cmd;
  }
}

struct bad_path_row {
  std::string cmd;
  std::string cleaned;
};

TEST(Launch, PathsOutsideTheRootAreRefusedBeforeAnythingRuns) {
  served_root s;
  // Where the command lines would lead if run as written or as decoded.
  for (const std::string &target : {s.tmp.path + "/x", s.root + "/b", s.tmp.path + "/bin/sh"}) {
    harness::make_dirs(served_root::parent_of(target));
    harness::write_script(target, "echo ran\n");
  }
  for (const char *dir : {"/a", "/dir", "/x"}) harness::make_dirs(s.root + dir);
  const std::vector<bad_path_row> rows = {
      {"/bin/ls", "/bin/ls"},
      {"../x", "/x"},
      {"a/../b", "/b"},
      {"dir//../x", "/x"},
      {"%2fbin%2fsh", "%2fbin%2fsh"},
      {"%2e%2e/x", "%2e%2e/x"},
      {"x/%2e%2e/%2e%2e/bin/sh", "x/%2e%2e/%2e%2e/bin/sh"},
      {"..+x", "..+x"},
      {"%2e%2e+x", "%2e%2e+x"},
  };
  s.send("cmd nothing\r\n");  // settles the daemon's descriptors
  int fds = s.daemon.idle_fds();
  for (const auto &row : rows) {
    const std::string refusal = "exec of " + row.cleaned + " failed; bad path";
    int before = s.count_log(refusal);
    EXPECT_EQ(s.send("cmd " + row.cmd + "\r\nend\r\n"), accepted(row.cmd) + "502 Cmd failed\r\n")
        << row.cmd;
    EXPECT_EQ(s.count_log(refusal) - before, 1) << row.cmd;
  }
  EXPECT_EQ(s.outcome_lines(), 0);
  EXPECT_EQ(s.daemon.idle_fds(), fds);
  EXPECT_EQ(s.daemon.zombie_children(), 0);
}

struct outcome_row {
  std::string script;  // body, or empty for no file at all
  int mode;
  std::string cmd;
  std::string reply;  // after the 101 line
  std::vector<std::string> log;  // in order
};

TEST(Launch, EveryScriptGetsExactlyOneOutcomeLine) {
  served_root s;
  const std::string from = " from " + loopback_peer_name() + " ";
  const std::string not_run = "503 exec of '";
  const std::vector<outcome_row> rows = {
      {"echo fine\n", 0755, "bin/ok", started("bin/ok") + "fine\n", {"ok, status 0"}},
      {"echo three\nexit 3\n", 0755, "bin/three", started("bin/three") + "three\n",
       {"failed, status 3"}},
      {"echo nine\nkill -9 $$\necho after\n", 0755, "bin/nine", started("bin/nine") + "nine\n",
       {"died with signal 9"}},
      {"kill -15 $$\n", 0755, "bin/term", not_run + "bin/term' failed\n", {"died with signal 15"}},
      {"", 0, "bin/nope", not_run + "bin/nope' failed\n",
       {"failed, No such file or directory", "failed, status 2"}},
      {"echo no\n", 0644, "bin/plain", not_run + "bin/plain' failed\n",
       {"failed, Permission denied", "failed, status 13"}},
  };
  for (const auto &row : rows) {
    if (!row.script.empty()) {
      harness::make_dirs(s.root + "/bin");
      harness::write_file(s.root + "/" + row.cmd, "#!/bin/sh\n" + row.script, row.mode);
    }
    std::size_t before = s.log().size();
    EXPECT_EQ(s.send("cmd " + row.cmd + "\r\nend\r\n"), accepted(row.cmd) + row.reply) << row.cmd;
    auto log = s.log();
    std::vector<std::string> want;
    for (const auto &end : row.log) want.push_back("command '" + row.cmd + "'" + from + end);
    EXPECT_EQ(std::vector<std::string>(log.begin() + static_cast<long>(before), log.end()), want)
        << row.cmd;
  }
  // A command line long enough to fill the log line still shows how it ended.
  std::string long_cmd = "bin/ok+" + std::string(1000, 'a');
  EXPECT_EQ(s.send("cmd " + long_cmd + "\r\nend\r\n"), served(long_cmd, "fine\n"));
  const std::string last = s.log().back();
  EXPECT_TRUE(last.starts_with("command '" + long_cmd.substr(0, 900))) << last;
  EXPECT_TRUE(last.ends_with("ok, status 0")) << last;
  EXPECT_EQ(s.daemon.zombie_children(), 0);
}

// The descriptor limit under which exactly `room` numbers are free; new
// descriptors take the lowest free numbers.
static rlim_t limit_with_room(pid_t pid, int room) {
  rlim_t limit = 0;
  for (int free_below = 0; free_below < room; ++limit) {
    free_below += harness::fd_target(pid, static_cast<int>(limit)).empty() ? 1 : 0;
  }
  return limit;
}

TEST(Launch, PipeFailureLeavesNothingOpen) {
  served_root s;
  s.script("bin/hello", "echo hello\n");
  s.send("cmd nothing\r\n");
  const int fds = s.daemon.idle_fds();
  rlimit saved{};
  ASSERT_EQ(::prlimit(s.daemon.pid, RLIMIT_NOFILE, nullptr, &saved), 0);
  // A connection takes three descriptors (the socket and one per stream)
  // and the log one while it writes. One more free number leaves the input
  // pipe short; three more leave the output pipe short.
  for (int room : {1, 3}) {
    ASSERT_EQ(s.daemon.idle_fds(), fds) << "room " << room;
    rlimit lim{limit_with_room(s.daemon.pid, 3 + room), saved.rlim_max};
    ASSERT_EQ(::prlimit(s.daemon.pid, RLIMIT_NOFILE, &lim, nullptr), 0);
    int before = s.count_log("could not create IPC pipe");
    EXPECT_EQ(s.send("cmd bin/hello\r\ninput\r\na\r\nb\r\nend\r\n"),
              accepted("bin/hello") + "502 Cmd failed\r\n502 Cmd failed\r\n502 Cmd failed\r\n")
        << "room " << room;
    EXPECT_EQ(s.count_log("could not create IPC pipe") - before, 3) << "room " << room;
    EXPECT_EQ(s.daemon.idle_fds(), fds) << "room " << room;
  }
  ASSERT_EQ(::prlimit(s.daemon.pid, RLIMIT_NOFILE, &saved, nullptr), 0);
  EXPECT_EQ(s.send("cmd bin/hello\r\nend\r\n"),
            served("bin/hello", "hello\n"));
  EXPECT_EQ(s.outcome_lines(), 1);
  EXPECT_EQ(s.daemon.idle_fds(), fds);
}

TEST(Launch, StandardErrorAndOutputShareOneStreamInWriteOrder) {
  served_root s;
  s.script("bin/both", "echo out1\necho err1 >&2\necho out2\necho err2 >&2\n");
  EXPECT_EQ(s.send("cmd bin/both\r\nend\r\n"),
            served("bin/both", "out1\nerr1\nout2\nerr2\n"));
}

TEST(Relay, ScriptWritingBeforeReadingWhileClientSendsMuchInput) {
  served_root s;
  // Several MiB out before a single byte in: neither pipe can take it all,
  // so the daemon has to hold output while it feeds input.
  const int last = 600000;
  s.script("bin/big", "/usr/bin/seq 1 " + std::to_string(last) + "\n/bin/cat\n");
  std::string request = "cmd bin/big\r\ninput\r\n";
  std::string fed;
  for (int i = 0; i < 4000; ++i) {
    std::string line = std::to_string(1000000 + i) + std::string(993, static_cast<char>('a' + i % 26));
    request += line + "\r\n";
    fed += line;
  }
  request += ".\r\nend\r\n";
  fed += ".";
  std::string want = served("bin/big", seq_text(last) + fed);
  ASSERT_GT(want.size(), 7u << 20);
  // A generous bound: it only tells a stall from a slow machine.
  std::string got = s.send(request, false, std::chrono::seconds(90));
  EXPECT_TRUE(same_bytes(got, want));
  EXPECT_EQ(s.count_log("command 'bin/big' from " + loopback_peer_name() + " ok, status 0"), 1);
}

// Peak resident memory of a process in KiB, or -1.
static long peak_rss_kib(pid_t pid) {
  for (const auto &line : harness::read_lines("/proc/" + std::to_string(pid) + "/status")) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

TEST(Relay, HeldOutputDoesNotGrowTheDaemon) {
  served_root s;
  s.script("bin/huge", "/usr/bin/head -c 52428800 /dev/zero\n/bin/cat >/dev/null\necho end\n");
  std::string request = "cmd bin/huge\r\ninput\r\n";
  for (int i = 0; i < 300; ++i) request += std::string(1000, 'i') + "\r\n";
  request += ".\r\nend\r\n";
  s.send("cmd nothing\r\n");
  long before = peak_rss_kib(s.daemon.pid);
  ASSERT_GT(before, 0);
  std::string got = s.send(request, false, std::chrono::seconds(90));
  std::string head = accepted("bin/huge") + started("bin/huge");
  ASSERT_EQ(got.size(), head.size() + 52428800 + 4);
  EXPECT_TRUE(got.starts_with(head));
  EXPECT_EQ(got.find_first_not_of('\0', head.size()), got.size() - 4);
  EXPECT_TRUE(got.ends_with("end\n"));
  // Nearly all of the 50 MiB was held while the input was fed; only about
  // a MiB of it may sit in memory.
  EXPECT_LT(peak_rss_kib(s.daemon.pid) - before, 16 * 1024);
}

TEST(Relay, ScriptThatStopsReadingEarly) {
  served_root s;
  s.script("bin/early", "echo early\n");
  std::string request = "cmd bin/early\r\ninput\r\n";
  for (int i = 0; i < 300; ++i) request += std::string(1000, 'e') + "\r\n";
  request += ".\r\nend\r\n";
  // Writes into its closed input fail; the dialogue and the daemon go on.
  EXPECT_EQ(s.send(request, false), served("bin/early", "early\n"));
  EXPECT_EQ(s.count_log("command 'bin/early' from " + loopback_peer_name() + " ok, status 0"), 1);
  EXPECT_EQ(s.send("cmd bin/early\r\nend\r\n"),
            served("bin/early", "early\n"));
}

TEST(Relay, ClientLeavingDuringLargeOutput) {
  served_root s;
  s.script("bin/flood", "/usr/bin/head -c 52428800 /dev/zero\n");
  s.script("bin/hello", "echo hello\n");
  {
    client c(s.port());
    ASSERT_TRUE(c.send_all("cmd bin/flood\r\nend\r\n"));
    std::string got;
    EXPECT_FALSE(c.read_until_closed(got, 65536, std::chrono::seconds(20)));
    EXPECT_TRUE(got.starts_with(accepted("bin/flood") + started("bin/flood")));
  }
  const std::string outcome = "command 'bin/flood' from " + loopback_peer_name() + " ok, status 0";
  EXPECT_TRUE(harness::wait_until([&] { return s.count_log(outcome) == 1; },
                                  std::chrono::seconds(60)));
  EXPECT_EQ(s.send("cmd bin/hello\r\nend\r\n"),
            served("bin/hello", "hello\n"));
  EXPECT_EQ(s.daemon.zombie_children(), 0);
}
