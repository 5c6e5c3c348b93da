// What the data tables cannot drive: qualifying names from host entries,
// running out of memory while building the argument vector, every escape
// pair, and the local log under concurrent writers.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "harness.h"
#include "log.h"
#include "quavd.h"
#include "util.h"

namespace {

std::string system_domain() {
  char buf[1024] = {};
  return ::getdomainname(buf, sizeof buf - 1) == 0 ? buf : "";
}

// Runs fn in a child with its own UTS namespace and the given domain; the
// child's exit status, or -1 when no namespace could be had.
template <typename Fn>
int with_domain(const char *domain, Fn fn) {
  pid_t pid = ::fork();
  if (pid == 0) {
    if (::unshare(CLONE_NEWUTS) != 0 || ::setdomainname(domain, std::strlen(domain)) != 0) ::_exit(99);
    ::_exit(fn() ? 0 : 1);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) != 99 ? WEXITSTATUS(status) : -1;
}

struct host {
  std::string name;
  std::vector<std::string> aliases;
  bool no_alias_list = false;
  std::vector<char *> ptrs = {};
  hostent entry = {};
  const hostent *get() {
    for (auto &a : aliases) ptrs.push_back(a.data());
    ptrs.push_back(nullptr);
    entry.h_name = name.data();
    entry.h_aliases = no_alias_list ? nullptr : ptrs.data();
    return &entry;
  }
};

TEST(FindFqdn, Rules) {
  const std::string dom = system_domain();
  struct row {
    host h;
    std::string want;
  } rows[] = {
      {{"web.lab.test", {"web.other.test"}}, "web.lab.test"},
      {{"web", {"web", "web.lab.test"}}, "web.lab.test"},
      {{"web", {"mail.lab.test", "web.a.test", "web.b.test"}}, "web.a.test"},
      {{"web", {"webmail.lab.test"}}, "webmail.lab.test"},
      {{"web", {"mail.lab.test"}}, "web." + dom},
      {{"WEB", {"web.lab.test"}}, "WEB." + dom},
      {{"web", {}}, "web." + dom},
      {{"web", {"web.lab.test"}, true}, "web." + dom},
      {{std::string(1500, 'n'), {}}, std::string(1023, 'n')},
      {{std::string(1020, 'n'), {}}, (std::string(1020, 'n') + "." + dom).substr(0, 1023)},
  };
  for (auto &r : rows) EXPECT_EQ(find_fqdn(r.h.get()), r.want) << r.h.name.substr(0, 20);
}

TEST(FindFqdn, EmptyDomainGivesATrailingDot) {
  int r = with_domain("", [] {
    host h{"web", {"mail.lab.test"}};
    return std::strcmp(find_fqdn(h.get()), "web.") == 0;
  });
  if (r < 0) GTEST_SKIP() << "no private UTS namespace here";
  EXPECT_EQ(r, 0);
}

TEST(MapSockaddrToName, DottedAddressCutToTheBuffer) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(0x7F000002);  // 127.0.0.2, named by no hosts file here
  char buf[16];
  for (std::size_t size : {std::size_t{16}, std::size_t{9}, std::size_t{5}}) {
    std::memset(buf, 'Z', sizeof buf);
    map_sockaddr_to_name(&sa, buf, size);
    EXPECT_EQ(std::string(buf), std::string("127.0.0.2").substr(0, size - 1));
    if (size < sizeof buf) {
      EXPECT_EQ(buf[size], 'Z') << "written past the size";
    }
  }
}

// Every byte pair after a '%' against the digit rule, computed apart.
TEST(ArgVector, EveryEscapePairDecodes) {
  auto digit = [](int b) { return (b >= 'A' && b <= 0x7F) ? (b & 0xDF) - 55 : b - 48; };
  int failures = 0;
  for (int a = 1; a < 256 && failures < 5; ++a) {
    for (int b = 1; b < 256; ++b) {
      char text[] = {'%', static_cast<char>(a), static_cast<char>(b), 'Z', '\0'};
      unescape_url(text);
      int v = ((16 * digit(a) + digit(b)) % 256 + 256) % 256;
      std::string want = v == 0 ? "" : std::string{static_cast<char>(v), 'Z'};
      if (text != want) ADD_FAILURE() << "pair " << a << "," << b << (++failures, "");
    }
  }
}

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
