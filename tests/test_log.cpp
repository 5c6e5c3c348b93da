// In-process tests of the local log sink, the time text and the pid file.
// The log and pid file live in the working directory, so each test runs in
// a temporary one and goes back afterwards.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <string>

#include "harness.h"
#include "log.h"
#include "log_line.h"

using namespace harness;

namespace {

// Runs the test body inside a fresh directory with the local log selected.
class LogInTempDir : public ::testing::Test {
 protected:
  temp_dir dir;
  std::string old_cwd;

  void SetUp() override {
    char buf[PATH_MAX];
    ASSERT_NE(::getcwd(buf, sizeof buf), nullptr);
    old_cwd = buf;
    ASSERT_EQ(::chdir(dir.path.c_str()), 0);
    set_local_log();
  }
  void TearDown() override { ASSERT_EQ(::chdir(old_cwd.c_str()), 0); }
};

TEST(GetTime, CtimeTextWithoutNewline) {
  std::string text = get_time();
  EXPECT_EQ(text.size(), 24u);
  EXPECT_TRUE(log_line::is_ctime_text(text)) << text;
}

TEST_F(LogInTempDir, MessagesKeepPercentSigns) {
  const char *const messages[] = {"plain", "%s%n%d%%", "100%", "%", ""};
  for (const char *m : messages) log_error(m);
  auto lines = read_lines("quavd.log");
  ASSERT_EQ(lines.size(), std::size(messages));
  for (std::size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE(messages[i]);
    EXPECT_EQ(log_line::message(lines[i]), messages[i]) << lines[i];
  }
}

// The daemon and a launched child append to the same file; no line may be
// torn or mixed with another.
TEST_F(LogInTempDir, ConcurrentWritersNeverMixLines) {
  const int writers = 4, per_writer = 500;
  std::string long_tail(900, 'x');
  pid_t pids[writers];
  for (int w = 0; w < writers; ++w) {
    pids[w] = ::fork();
    if (pids[w] == 0) {
      for (int i = 0; i < per_writer; ++i) {
        std::string m =
            "writer " + std::to_string(w) + " line " + std::to_string(i) + " " + long_tail;
        log_error(m.c_str());
      }
      ::_exit(0);
    }
  }
  for (pid_t p : pids) ::waitpid(p, nullptr, 0);
  auto lines = read_lines("quavd.log");
  EXPECT_EQ(lines.size(), static_cast<std::size_t>(writers * per_writer));
  // Each writer's lines are whole and in its own order.
  int next[writers] = {};
  int bad = 0;
  for (const auto &l : lines) {
    std::string m = log_line::message(l).value_or("");
    int w = -1, i = -1, tail_at = 0;
    if (std::sscanf(m.c_str(), "writer %d line %d %n", &w, &i, &tail_at) != 2 || w < 0 ||
        w >= writers || i != next[w] || m.substr(static_cast<std::size_t>(tail_at)) != long_tail) {
      ++bad;
      continue;
    }
    ++next[w];
  }
  EXPECT_EQ(bad, 0);
}

TEST_F(LogInTempDir, PidFileHoldsPidAndNewline) {
  write_file("quavd.pid", "a much longer stale content\n");
  ASSERT_EQ(log_pid(), 0);
  EXPECT_EQ(read_file("quavd.pid"), std::to_string(::getpid()) + "\n");
}

TEST_F(LogInTempDir, PidFileThatCannotBeOpened) {
  make_dirs(dir.path + "/quavd.pid");
  ::testing::internal::CaptureStderr();
  int r = log_pid();
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(r, -1);
  EXPECT_EQ(err, "quavd: could not log pid to file quavd.pid\n");
}

TEST_F(LogInTempDir, UnopenableLogIsSilent) {
  make_dirs(dir.path + "/quavd.log");
  ::testing::internal::CaptureStderr();
  log_error("lost");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

}  // namespace
