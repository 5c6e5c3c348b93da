// Connections served at once (-c), the client's idle limit (-t) and the
// script's run limit (-T), end to end.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

using namespace harness;
using clock_type = std::chrono::steady_clock;

namespace {

double seconds_since(clock_type::time_point t0) {
  return std::chrono::duration<double>(clock_type::now() - t0).count();
}

// Asked when a test runs: by then the process sees the tests' own hosts file.
std::string peer_from() { return " from " + loopback_peer_name() + " "; }

}  // namespace

// Four scripts that wait for one another all finish; a fifth client is
// served only once one of them has ended, and nothing is left behind.
TEST(Concurrency, FourAtOnceThenTheFifth) {
  served_root s({"-l", "-c", "4"});
  make_dirs(s.root + "/marks");
  s.script("bin/meet", "touch marks/$1; n=0\n"
                       "while [ $(ls marks | wc -l) -lt 4 -o ! -e go ] && [ $n -lt 200 ]; do\n"
                       "  sleep 0.05; n=$((n+1))\ndone\necho met $(ls marks | wc -l)\n");
  s.script("bin/fifth", "test -e go && exec grep SigBlk /proc/self/status\n");
  EXPECT_EQ(read_file(s.root + "/quavd.pid"), std::to_string(s.daemon.pid) + "\n");
  const int idle = s.daemon.idle_fds();
  std::vector<std::string> got(5);
  std::vector<std::thread> clients;
  for (int i = 0; i < 5; ++i) {
    // The fifth comes once the four run, and must wait for a free slot.
    EXPECT_TRUE(i < 4 || wait_until([&] {
      auto dir = std::filesystem::directory_iterator(s.root + "/marks");
      return std::distance(begin(dir), end(dir)) == 4;
    }, 10s));
    std::string cmd = i < 4 ? "bin/meet+" + std::to_string(i) : "bin/fifth";
    clients.emplace_back([&, i, cmd] { got[i] = s.send("cmd " + cmd + "\r\nend\r\n", false); });
  }
  std::this_thread::sleep_for(300ms);
  write_file(s.root + "/go", "");
  for (auto &t : clients) t.join();
  for (int i = 0; i < 4; ++i) EXPECT_EQ(got[i], served("bin/meet+" + std::to_string(i), "met 4\n"));
  // The script's signal mask is the one the daemon was started with: ours.
  std::string mask;
  for (const auto &l : read_lines("/proc/self/status"))
    mask += l.starts_with("SigBlk:") ? l + "\n" : "";
  EXPECT_EQ(got[4], served("bin/fifth", mask));
  EXPECT_EQ(s.outcome_lines(), 5);  // and every line whole (log() checks)
  std::this_thread::sleep_for(500ms);  // the last handler has ended by now
  EXPECT_EQ(s.daemon.zombie_children(), 0);
  EXPECT_EQ(s.daemon.idle_fds(), idle);
}

// A silent client holds one handler, not the daemon. Killed with SIGKILL
// while a handler runs a 2 s script, the listener leaves the port at once
// to a daemon started anew; the handler finishes its connection, output
// and outcome line included, then ends, as every other handler does once
// its connection is over.
TEST(Concurrency, SilentClientAndKilledListener) {
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);  // the handlers come to us to be reaped
  served_root s({"-l", "-c", "3"});
  s.script("bin/hi", "echo hi\n");
  s.script("bin/slow", "touch started\nsleep 2\necho done\n");
  client silent(s.port());
  EXPECT_EQ(s.send("cmd bin/hi\r\nend\r\n", false, 5s), served("bin/hi", "hi\n"));
  client slow(s.port());
  ASSERT_TRUE(slow.send("cmd bin/slow\r\nend\r\n"));
  ASSERT_TRUE(wait_until([&] { return ::access((s.root + "/started").c_str(), 0) == 0; }));
  const std::vector<pid_t> handlers = s.daemon.children();
  EXPECT_GE(handlers.size(), 2u);
  ::kill(s.daemon.pid, SIGKILL);
  s.daemon.stop();
  auto t0 = clock_type::now();
  daemon_proc second;
  EXPECT_TRUE(wait_until([&] { return second.start_raw({"-p", std::to_string(s.port()), "-c", "2"}, s.root); }, 1s));
  EXPECT_LT(seconds_since(t0), 1.0);
  EXPECT_TRUE(slow.read_until_closed());
  EXPECT_EQ(slow.got, served("bin/slow", "done\n"));
  EXPECT_EQ(s.count_log("command 'bin/slow'" + peer_from() + "ok, status 0"), 1);
  silent.close();
  for (pid_t h : handlers) EXPECT_TRUE(wait_until([&] { return ::waitpid(h, nullptr, WNOHANG) == h; })) << h;
}

// SIGTERM is an orderly stop: a running script is ended as the run limit
// ends it, what it wrote is relayed and its outcome logged; a client still
// in its dialogue is let go; the listener exits 0 once every handler has.
TEST(Concurrency, OrderlyStop) {
  served_root s({"-l", "-c", "3"});
  s.script("bin/first", "echo first\ntouch started\nexec sleep 100\n");
  client talking(s.port());
  ASSERT_TRUE(talking.send("env\r\n"));
  client running(s.port());
  ASSERT_TRUE(running.send("cmd bin/first\r\nend\r\n"));
  ASSERT_TRUE(wait_until([&] { return ::access((s.root + "/started").c_str(), 0) == 0; }));
  auto t0 = clock_type::now();
  ::kill(s.daemon.pid, SIGTERM);
  EXPECT_TRUE(running.read_until_closed(std::string::npos, 10s));
  EXPECT_EQ(running.got, served("bin/first", "first\n"));
  EXPECT_TRUE(talking.read_until_closed(std::string::npos, 10s));
  int status = -1;
  EXPECT_TRUE(wait_until([&] { return ::waitpid(s.daemon.pid, &status, WNOHANG) == s.daemon.pid; }, 10s));
  s.daemon.pid = -1;
  EXPECT_LT(seconds_since(t0), 4);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(s.log(), std::vector<std::string>{"command 'bin/first'" + peer_from() + "died with signal 15"});
}

// -t 1: clients that send nothing or take nothing are cut off after about a
// second, a script still running is ended; a slow script is not the client's
// fault, and without -c the listener itself runs it.
TEST(Limits, IdleClient) {
  served_root s({"-l", "-t", "1"});
  s.script("bin/sleeper", "exec sleep 30\n");
  s.script("bin/big", "exec /usr/bin/head -c 100000000 /dev/zero\n");
  s.script("bin/late", "sleep 2\necho late $PPID\n");
  const std::string timed_out = "connection from " + loopback_peer_name() + " timed out";
  const std::string signal_15 = peer_from() + "died with signal 15";
  struct row {
    std::string request, reply;  // how what the client gets begins
    std::vector<std::string> log;
  } const rows[] = {
      {"", "", {timed_out}},
      {"cmd bin/sleeper\r\ninput\r\nx\r\n", accepted("bin/sleeper"),
       {timed_out, "command 'bin/sleeper'" + signal_15}},
      {"cmd bin/big\r\nend\r\n", served("bin/big", ""),
       {timed_out, "command 'bin/big'" + signal_15}},
      {"cmd bin/late\r\nend\r\n",
       served("bin/late", "late " + std::to_string(s.daemon.pid) + "\n"),
       {"command 'bin/late'" + peer_from() + "ok, status 0"}},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.request);
    client c(s.port());
    ASSERT_TRUE(c.send(r.request));
    auto t0 = clock_type::now();
    // The big output fills the socket's buffers first; then a second passes.
    EXPECT_TRUE(r.request.find("big") == std::string::npos ||
                wait_until([&] { return !s.log().empty(); }, 10s));
    EXPECT_TRUE(c.read_until_closed(std::string::npos, 10s));  // the late script's whole
    EXPECT_GT(seconds_since(t0), 0.9);
    EXPECT_LT(seconds_since(t0), 4);
    EXPECT_TRUE(c.got.starts_with(r.reply) && c.got.size() < 100000000u);
    EXPECT_EQ(c.reset, r.log[0] == timed_out) << "a cut connection is reset, a served one closed";
    EXPECT_TRUE(wait_until([&] { return s.log() == r.log; }, 10s));
    ::truncate((s.root + "/quavd.log").c_str(), 0);
  }
}

// -T 1: a script that runs on gets SIGTERM, one that ignores it SIGKILL five
// seconds later, and a background child that holds the output holds the
// connection no longer than that. What came first is relayed; the time-out
// line comes before the one outcome line.
TEST(Limits, RunLimit) {
  served_root s({"-l", "-c", "4", "-T", "1"});
  struct row {
    std::string script, body;
    int signal;
    double min_s, max_s;
  } const rows[] = {
      {"bin/forever", "echo first\nexec sleep 100\n", 15, 0.9, 4},
      {"bin/stubborn", "trap '' TERM\necho first\nexec sleep 100\n", 9, 5.9, 9},
      {"bin/holder", "/bin/sleep 30 &\necho $! >bg.pid\necho first\nexec sleep 100\n", 15, 0.9, 4},
      {"bin/leaver", "setsid /bin/sleep 30 &\necho $! >lv.pid\necho first\nexec sleep 100\n", 15, 5.9, 9},
  };
  std::vector<std::thread> clients;
  for (const row &r : rows) {
    s.script(r.script, r.body);
    clients.emplace_back([&] {
      auto t0 = clock_type::now();
      EXPECT_EQ(s.send("cmd " + r.script + "\r\nend\r\n", false), served(r.script, "first\n"));
      EXPECT_GT(seconds_since(t0), r.min_s) << r.script;
      EXPECT_LT(seconds_since(t0), r.max_s) << r.script;
    });
  }
  for (auto &t : clients) t.join();
  // The background child was ended with its group (a subreaper above us
  // may not have reaped it yet).
  const std::string bg_stat = "/proc/" + std::to_string(std::stoi(read_file(s.root + "/bg.pid"))) + "/stat";
  EXPECT_TRUE(wait_until([&] { return read_file(bg_stat).find(") S") == std::string::npos; })) << "survived";
  ::kill(std::stoi(read_file(s.root + "/lv.pid")), SIGKILL);  // it left the group
  auto log = s.log();
  for (const row &r : rows) {
    const std::string prefix = "command '" + r.script + "'" + peer_from();
    auto limit = std::find(log.begin(), log.end(), prefix + "timed out after 1 s");
    auto end = std::find(log.begin(), log.end(),
                         prefix + "died with signal " + std::to_string(r.signal));
    EXPECT_TRUE(limit < end && end != log.end()) << r.script;
  }
  EXPECT_EQ(s.outcome_lines(), 8);  // four time-out lines, four outcomes
}
