// Command text utilities (path clean-up, the argument vector with its
// decoding and escaping, dotted decimal addresses) and the local log with
// the vector dump.
#include <arpa/inet.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "harness.h"
#include "log.h"
#include "util.h"

namespace {

// Quoted, with control and high bytes escaped, so that a failing row is
// readable.
template <typename T>
std::string show(const T &v) {
  return ::testing::PrintToString(v);
}

// An exact-size heap copy (room for `extra` more bytes), so that a read or
// write past the terminator trips the address sanitizer.
struct cbuf {
  std::unique_ptr<char[]> p;
  explicit cbuf(const std::string &s, std::size_t extra = 0)
      : p(new char[s.size() + 1 + extra]) {
    std::memcpy(p.get(), s.c_str(), s.size() + 1);
  }
  char *get() { return p.get(); }
  std::string str() const { return p.get(); }
};

std::string run(void (*fn)(char *), const std::string &in) {
  cbuf b(in);
  fn(b.get());
  return b.str();
}

struct path_row {
  const char *in;
  const char *out;
};

TEST(PathClean, No2Slash) {
  const path_row rows[] = {
      {"a//b", "a/b"},   {"a///b", "a//b"}, {"a////b", "a//b"}, {"a/////b", "a///b"},
      {"a//b//c", "a/b/c"}, {"//a", "/a"},  {"///", "//"},      {"a//", "a/"},
      {"a/", "a/"},       {"/", "/"},       {"", ""},
  };
  for (const auto &r : rows) EXPECT_EQ(run(path_no2slash, r.in), r.out) << "row " << show(r.in);
}

TEST(PathClean, FixParentsAlone) {
  const path_row rows[] = {
      {"a/b/../c", "a/c"},     {"x/y/z/../../w", "x/w"},   {"/a/b/../c", "/a/c"},
      {"a/b/..", "a"},         {"a/./../b", "a/b"},        {"a/../b", "/b"},
      {"a/..", ""},            {"..", ""},                 {"../a", "/a"},
      {"/../a", "/a"},         {"a/../../b", "/b"},        {"a/b/../../c", "/c"},
      {"..a", "..a"},          {"..a/b", "..a/b"},         {"a/..b", "a/..b"},
      {"a..", ""},             {"dir/abc..", "dir"},       {"a../b", "/b"},
      {"ab../c", "/c"},        {"abc../d", "abc../d"},     {"...", ""},
      {"a/...", "a"},          {"a.../b", "/b"},           {"ab.../c", "ab.../c"},
      {"x/.../y", "x/.../y"},  {"bin/prog+a/../b", "bin/b"}, {"prog+../x", "prog+../x"},
      {"a+../b", "/b"},        {"x/y/.. z", "x/y/.. z"},   {"", ""},
  };
  for (const auto &r : rows) {
    EXPECT_EQ(run(path_fix_parents, r.in), r.out) << "row " << show(r.in);
  }
}

TEST(PathClean, CleanUpPath) {
  struct row {
    const char *in;
    const char *out;
    int result;
  };
  const row rows[] = {
      {"bin/test+a+b", "bin/test+a+b", 0}, {"x/y/../z+q", "x/z+q", 0}, {"a//b/../c", "a/c", 0},
      {"a/b/..", "a", 0},                  {"/bin/sh", "/bin/sh", -1}, {"../x", "/x", -1},
      {"a/../b", "/b", -1},                {"dir//../x", "/x", -1},    {"dir///../x", "dir/x", 0},
      {"..+x", "..+x", 0},                 {"%2e%2e/x", "%2e%2e/x", 0}, {"", "", 0},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE("row " + show(r.in));
    cbuf b(r.in);
    EXPECT_EQ(clean_up_path(b.get()), r.result);
    EXPECT_EQ(b.str(), r.out);
  }
}

// --- Argument vector --------------------------------------------------------

// Counts the allocations of create_argv; fails the fail_at-th one (1-based).
struct alloc_hooks {
  static inline std::map<void *, std::size_t> live;  // pointer -> bytes
  static inline std::vector<std::size_t> counts;     // calloc count argument, per call
  static inline int calls = 0;
  static inline int fail_at = 0;
  static inline int bad_frees = 0;

  static void *hook_calloc(std::size_t count, std::size_t size) {
    ++calls;
    counts.push_back(count);
    if (calls == fail_at) return nullptr;
    void *p = std::calloc(count, size);
    if (p != nullptr) live[p] = count * size;
    return p;
  }
  static void hook_free(void *p) {
    if (p == nullptr) return;
    if (live.erase(p) != 1) {
      ++bad_frees;  // never allocated here, or freed twice
      return;
    }
    std::free(p);
  }

  decltype(argv_calloc) saved_calloc = argv_calloc;
  decltype(argv_free) saved_free = argv_free;
  alloc_hooks() {
    live.clear();
    reset(0);
    bad_frees = 0;
    argv_calloc = hook_calloc;
    argv_free = hook_free;
  }
  ~alloc_hooks() {
    argv_calloc = saved_calloc;
    argv_free = saved_free;
  }
  static void reset(int fail) {
    calls = 0;
    fail_at = fail;
    counts.clear();
  }
};

std::vector<std::string> to_strings(char **argv) {
  std::vector<std::string> out;
  for (char **p = argv; *p != nullptr; ++p) out.emplace_back(*p);
  return out;
}

TEST(ArgVector, TableRows) {
  struct row {
    std::string in;
    std::size_t n;
    std::vector<std::string> args;
  };
  const std::vector<row> rows = {
      {"foo+a%20b+c;d", 3, {"foo", "a b", "c\\;d"}}, {"prog x y", 3, {"prog", "x", "y"}},
      {"prog  x\ty", 4, {"prog", "x", "y"}}, {"a \t b", 4, {"a", "b"}},
      {"", 1, {""}}, {"ab+", 2, {"ab", ""}},
      {"ab ", 2, {"ab", ""}}, {"ab  ", 3, {"ab", ""}},
      {"+ab", 2, {"", "ab"}}, {" ab", 2, {"", "ab"}},
      {"  ", 3, {"", ""}}, {"a+ b", 3, {"a", "", "b"}},
      {"a+  b", 4, {"a", "", "b"}}, {"a++b", 3, {"a", "", "b"}},
      {"prog+%3b", 2, {"prog", "\\;"}}, {"bin/x+a%2Fb", 2, {"bin/x", "a/b"}},
      {"p+it's", 2, {"p", "it\\'s"}}, {"p+a*b", 2, {"p", "a\\*b"}},
      {"p+%5c", 2, {"p", "\\\\"}}, {"prog+%2e%2e", 2, {"prog", ".."}},
      {"p+a%00b", 2, {"p", "a"}}, {"p+%2541", 2, {"p", "%41"}},
      {"p+%zz", 2, {"p", "S"}}, {"x+%4", 2, {"x", "\x10"}},
      {"a+%", 2, {"a", "\xD0"}},
  };
  alloc_hooks hooks;
  for (const auto &r : rows) {
    SCOPED_TRACE("row " + show(r.in));
    alloc_hooks::reset(0);
    char **argv = create_argv(r.in.c_str());
    ASSERT_NE(argv, nullptr);
    EXPECT_EQ(to_strings(argv), r.args) << show(to_strings(argv));
    EXPECT_EQ(argv_capacity(r.in.c_str()), r.n + 1);
    ASSERT_FALSE(alloc_hooks::counts.empty());
    EXPECT_EQ(alloc_hooks::counts[0], r.n + 1) << "entries allocated for the vector";
    free_argv(argv);
  }
  EXPECT_TRUE(alloc_hooks::live.empty());
  EXPECT_EQ(alloc_hooks::bad_frees, 0);
}

TEST(ArgVector, EscapeShellCmdExamples) {
  const path_row rows[] = {{"a;b", "a\\;b"}, {"$HOME", "\\$HOME"}, {"(x)", "\\(x\\)"},
                           {"~u", "\\~u"},   {"a b", "a b"},       {"plain", "plain"},
                           {"", ""}};
  for (const auto &r : rows) {
    cbuf b(r.in, std::strlen(r.in));  // room for twice the length
    escape_shell_cmd(b.get());
    EXPECT_EQ(b.str(), r.out) << "row " << show(r.in);
  }
  // All 20 specials, and nothing else, get a backslash.
  std::string all;
  for (int c = 1; c < 256; ++c) all += static_cast<char>(c);
  cbuf b(all, all.size());
  escape_shell_cmd(b.get());
  std::string want;
  for (unsigned char c : all) {
    if (std::strchr("&;`'\"|*?~<>^()[]{}$\\", c) != nullptr) want += '\\';
    want += static_cast<char>(c);
  }
  EXPECT_EQ(b.str(), want);
}

TEST(ArgVector, UnescapeUrlExamples) {
  const path_row rows[] = {{"a%20b", "a b"}, {"%41%42", "AB"}, {"%4a%4A", "JJ"},
                           {"a+b", "a+b"},   {"", ""},         {"%2541", "%41"},
                           {"%", "\xD0"},    {"%4", "\x10"},   {"a%00b", "a"}};
  for (const auto &r : rows) EXPECT_EQ(run(unescape_url, r.in), r.out) << "row " << show(r.in);
}

// Digit value of one byte after '%', computed independently of the code.
int digit(int b) { return (b >= 'A' && b <= 0x7F) ? (b & 0xDF) - 55 : b - 48; }

TEST(ArgVector, X2cEveryBytePair) {
  int failures = 0;
  for (int a = 1; a < 256; ++a) {
    for (int b = 0; b < 256 && failures < 10; ++b) {
      int v = ((16 * digit(a) + digit(b)) % 256 + 256) % 256;
      std::string in = {'%', static_cast<char>(a)};
      std::string want = v == 0 ? "" : std::string(1, static_cast<char>(v));
      if (b != 0) {
        // Decoding goes on after a full escape, unless it decoded a NUL.
        in += static_cast<char>(b);
        in += 'Z';
        if (v != 0) want += 'Z';
      }
      std::string got = run(unescape_url, in);
      if (got != want) {
        ++failures;
        ADD_FAILURE() << "pair " << a << "," << b << " in " << show(in) << ": got " << show(got)
                      << " want " << show(want);
      }
    }
  }
}

TEST(ArgVector, AllocationFailureFreesEverything) {
  alloc_hooks hooks;
  for (const char *line : {"", "a", "prog+x+y", "a  b\tc+%41+", "p+a;b+c*d+e+f+g"}) {
    alloc_hooks::reset(0);
    char **ok = create_argv(line);
    ASSERT_NE(ok, nullptr) << line;
    int total = alloc_hooks::calls;
    free_argv(ok);
    for (int k = 1; k <= total; ++k) {
      SCOPED_TRACE(std::string("line ") + show(line) + " failing allocation " + std::to_string(k));
      alloc_hooks::reset(k);
      EXPECT_EQ(create_argv(line), nullptr);
      EXPECT_EQ(alloc_hooks::calls, k) << "went on allocating after a failure";
      EXPECT_TRUE(alloc_hooks::live.empty()) << alloc_hooks::live.size() << " not freed";
      EXPECT_EQ(alloc_hooks::bad_frees, 0);
      alloc_hooks::live.clear();
    }
  }
}

// --- Invariants over generated command lines --------------------------------

// Components between slashes (or the ends); true if one is exactly "..".
bool has_parent_component(const std::string &s) {
  std::size_t start = 0;
  for (;;) {
    std::size_t slash = s.find('/', start);
    std::string comp = s.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (comp == "..") return true;
    if (slash == std::string::npos) return false;
    start = slash + 1;
  }
}

// The raw arguments: split at '+', space and tab, a run of blanks being one
// separator.
std::vector<std::string> raw_split(const std::string &s) {
  std::vector<std::string> out(1);
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '+') {
      out.emplace_back();
    } else if (s[i] == ' ' || s[i] == '\t') {
      while (i + 1 < s.size() && (s[i + 1] == ' ' || s[i + 1] == '\t')) ++i;
      out.emplace_back();
    } else {
      out.back() += s[i];
    }
  }
  return out;
}

// Undoes the escaping: each backslash takes the next byte literally. Returns
// false when a special byte stands without its backslash, a backslash
// escapes a byte that is not special, or the text ends in a lone backslash.
bool unescape_shell(const std::string &s, std::string &out) {
  out.clear();
  for (std::size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c == '\\') {
      if (i + 1 == s.size() || !is_shell_special(static_cast<unsigned char>(s[i + 1]))) return false;
      out += s[++i];
    } else if (is_shell_special(c)) {
      return false;
    } else {
      out += static_cast<char>(c);
    }
  }
  return true;
}

std::vector<std::string> generated_lines() {
  // Weighted toward the bytes that matter to the clean-up and the decoding.
  const std::string alphabet = "//////.....+++  aa%%%22eef\t;*\\b";
  std::mt19937 rng(20261206);
  std::vector<std::string> lines;
  for (int i = 0; i < 20000; ++i) {
    std::size_t len = rng() % 24;
    std::string s;
    for (std::size_t k = 0; k < len; ++k) s += alphabet[rng() % alphabet.size()];
    lines.push_back(s);
  }
  return lines;
}

TEST(Invariants, CleanUpPathLeavesNoParentStep) {
  int accepted = 0;
  for (const std::string &line : generated_lines()) {
    cbuf b(line);
    int result = clean_up_path(b.get());
    std::string out = b.str();
    SCOPED_TRACE("line " + show(line) + " -> " + show(out));
    ASSERT_LE(out.size(), line.size()) << "the text grew";
    ASSERT_EQ(result, !out.empty() && out[0] == '/' ? -1 : 0);
    if (result == 0) {
      ++accepted;
      ASSERT_FALSE(has_parent_component(out));
    }
  }
  EXPECT_GT(accepted, 1000);  // the generator must reach the accepting side
}

TEST(Invariants, ArgVectorShapeAndEscaping) {
  alloc_hooks hooks;
  for (const std::string &line : generated_lines()) {
    SCOPED_TRACE("line " + show(line));
    alloc_hooks::reset(0);
    char **argv = create_argv(line.c_str());
    ASSERT_NE(argv, nullptr);
    std::vector<std::string> args = to_strings(argv);
    std::vector<std::string> raw = raw_split(line);
    ASSERT_LE(args.size(), argv_capacity(line.c_str()) - 1);
    ASSERT_EQ(alloc_hooks::counts[0], argv_capacity(line.c_str()));
    ASSERT_EQ(args.size(), raw.size()) << show(args);
    for (std::size_t i = 0; i < args.size(); ++i) {
      SCOPED_TRACE("argument " + std::to_string(i) + " " + show(args[i]) + " from " + show(raw[i]));
      ASSERT_LE(args[i].size(), 2 * raw[i].size());
      std::string plain;
      ASSERT_TRUE(unescape_shell(args[i], plain)) << "escaping is wrong";
      ASSERT_EQ(plain, run(unescape_url, raw[i]));
    }
    // The program path check refuses exactly the absolute paths and those
    // with a ".." component.
    bool bad = (!args[0].empty() && args[0][0] == '/') || has_parent_component(args[0]);
    ASSERT_EQ(program_path_ok(args[0].c_str()), !bad) << "program path " << show(args[0]);
    free_argv(argv);
  }
  EXPECT_TRUE(alloc_hooks::live.empty());
}

// --- ip_ntoa ----------------------------------------------------------------

TEST(IpNtoa, UnsignedBytesInNetworkOrder) {
  for (const char *text : {"10.1.2.200", "255.255.255.255", "0.0.0.0", "127.0.0.1", "1.128.0.255"}) {
    in_addr a{};
    ASSERT_EQ(inet_pton(AF_INET, text, &a), 1);
    EXPECT_STREQ(ip_ntoa(a.s_addr), text);
  }
}

// --- The local log --------------------------------------------------------
// It lives in the working directory, so each test runs in a temporary one.

// Runs the test body inside a fresh directory with the local log selected.
class LogInTempDir : public ::testing::Test {
 protected:
  harness::temp_dir dir;
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
    for (const auto &line : harness::read_lines("quavd.log")) {
      auto m = harness::log_message(line);
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
  auto lines = harness::read_lines("quavd.log");
  EXPECT_EQ(lines.size(), static_cast<std::size_t>(writers * per_writer));
  // Each writer's lines are whole and in its own order.
  int next[writers] = {};
  int bad = 0;
  for (const auto &l : lines) {
    std::string m = harness::log_message(l).value_or("");
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
