// What the data tables cannot drive: the local log under concurrent writers
// and the vector dump.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "harness.h"
#include "log.h"
#include "util.h"

namespace {

struct LocalLog : ::testing::Test {
  harness::temp_dir dir;
  std::string old_cwd = std::filesystem::current_path();
  void SetUp() override {
    std::filesystem::current_path(dir.path);
    set_local_log();
  }
  void TearDown() override { std::filesystem::current_path(old_cwd); }
  std::vector<std::string> messages() {
    std::vector<std::string> out;
    for (const auto &l : harness::read_lines("quavd.log")) out.push_back(harness::log_message(l).value_or("?" + l));
    return out;
  }
};

// The daemon and its children append to one file: no line torn or mixed.
TEST_F(LocalLog, ConcurrentWritersNeverMixLines) {
  const int writers = 4, per_writer = 500;
  const std::string tail(900, 'x');
  for (int w = 0; w < writers; ++w) {
    if (::fork() == 0) {
      for (int i = 0; i < per_writer; ++i) log_error(("w" + std::to_string(w) + " " + std::to_string(i) + " " + tail).c_str());
      ::_exit(0);
    }
  }
  while (::wait(nullptr) > 0) {
  }
  int next[writers] = {};
  int good = 0;
  for (const auto &m : messages()) {
    int w = -1, i = -1, at = 0;
    if (std::sscanf(m.c_str(), "w%d %d %n", &w, &i, &at) == 2 && w >= 0 && w < writers && i == next[w] &&
        m.substr(static_cast<std::size_t>(at)) == tail)
      ++next[w], ++good;
  }
  EXPECT_EQ(good, writers * per_writer);
  EXPECT_EQ(messages().size(), static_cast<std::size_t>(writers * per_writer));
}

// The title, at most twenty entries, a percent sign kept, a long one cut.
TEST_F(LocalLog, DumpvLogsTheTitleAndAtMostTwentyEntries) {
  std::vector<std::string> texts;
  for (int i = 0; i < 25; ++i) texts.push_back("e" + std::to_string(i) + "%s");
  texts[3] = std::string(1000, 'x');
  std::vector<char *> vec;
  for (auto &t : texts) vec.push_back(t.data());
  vec.push_back(nullptr);
  char *empty[] = {nullptr};
  dumpv("empty", empty);
  dumpv("the title", vec.data());
  std::vector<std::string> want = {"empty", "the title"};
  for (int i = 0; i < 20; ++i) want.push_back(" [" + std::to_string(i) + "] = '" + texts[static_cast<std::size_t>(i)] + "'");
  want[5] = want[5].substr(0, 255);
  EXPECT_EQ(messages(), want);
}

}  // namespace
