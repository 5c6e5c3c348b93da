// In-process tests of the local log sink and the vector dump. The log lives
// in the working directory, so each test runs in a temporary one.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "harness.h"
#include "log.h"
#include "util.h"

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
  // The messages of the log, each line checked for its time stamp.
  std::vector<std::string> messages() {
    std::vector<std::string> out;
    for (const auto &line : read_lines("quavd.log")) {
      auto m = log_message(line);
      EXPECT_TRUE(m.has_value()) << line;
      out.push_back(m.value_or(line));
    }
    return out;
  }
};

TEST_F(LogInTempDir, MessagesKeepPercentSigns) {
  const std::vector<std::string> texts = {"plain", "%s%n%d%%", "100%", "%", ""};
  for (const auto &m : texts) log_error(m.c_str());
  EXPECT_EQ(messages(), texts);
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
    std::string m = log_message(l).value_or("");
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

// The vector dump: a title line, at most twenty entries, each cut cleanly.
TEST_F(LogInTempDir, DumpvLogsTitleAndAtMostTwentyEntries) {
  std::vector<std::string> texts;
  for (int i = 0; i < 25; ++i) texts.push_back("e" + std::to_string(i) + "%s");
  std::vector<char *> vec;
  for (auto &t : texts) vec.push_back(t.data());
  vec.push_back(nullptr);
  dumpv("the title", vec.data());
  std::vector<std::string> want = {"the title"};
  for (int i = 0; i < 20; ++i) want.push_back(" [" + std::to_string(i) + "] = 'e" + std::to_string(i) + "%s'");
  EXPECT_EQ(messages(), want);
}

TEST_F(LogInTempDir, DumpvEmptyVectorAndLongEntry) {
  char *empty[] = {nullptr};
  dumpv("empty", empty);
  std::string big(1000, 'x');
  char *vec[] = {big.data(), nullptr};
  dumpv("t", vec);
  auto got = messages();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0], "empty");
  EXPECT_EQ(got[1], "t");
  std::string full = " [0] = '" + big + "'";
  EXPECT_LT(got[2].size(), 256u);
  EXPECT_GT(got[2].size(), 200u);
  EXPECT_EQ(full.compare(0, got[2].size(), got[2]), 0) << "not a clean cut: " << got[2];
}

}  // namespace
