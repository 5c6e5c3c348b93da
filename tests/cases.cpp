// Runs the cases written as data in tests/cases/*.txt: requests to a real
// daemon with the replies and log lines they must give, runs of the
// programs with their status and output, and rows of the text utilities.
// Each [section] of a file is one test. The format is described at the top
// of tests/cases/protocol.txt.
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/wait.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <regex>
#include <sstream>
#include <tuple>
#include <utility>

#include "harness.h"
#include "quavd.h"
#include "util.h"

using namespace harness;

namespace {

// A sanitizer's quarantine grows the resident size on purpose.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool quarantine = true;
#else
constexpr bool quarantine = false;
#endif

struct directive {
  std::string word;  // the first word of the line
  std::string rest;  // what follows it after one blank
  int line;
};

struct section {
  std::string file, title;
  int line = 0;
  std::vector<directive> body;
  bool soak = false;
};

std::vector<section> read_sections(const std::string &path) {
  std::vector<section> out;
  std::istringstream in(read_file(path));
  int n = 0;
  for (std::string line; std::getline(in, line);) {
    ++n;
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') {
      out.push_back({std::filesystem::path(path).stem(), line.substr(1, line.find(']') - 1), n, {}});
      continue;
    }
    if (out.empty()) throw std::runtime_error(path + ": a directive before the first section");
    auto blank = line.find(' ');
    directive d{line.substr(0, blank), blank == std::string::npos ? "" : line.substr(blank + 1), n};
    if (d.word == "soak") out.back().soak = true;
    out.back().body.push_back(d);
  }
  return out;
}

// \r \n \t \0 \\ \$ \xHH, and \[N*TEXT] for TEXT written N times.
std::string unescape(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out += s[i];
      continue;
    }
    switch (char c = s[++i]) {
      case 'r': out += '\r'; break;
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      case '0': out += '\0'; break;
      case 'x':
        out += static_cast<char>(std::stoi(std::string(s.substr(i + 1, 2)), nullptr, 16));
        i += 2;
        break;
      case '[': {
        std::size_t star = s.find('*', i), end = star;
        for (int depth = 1; depth > 0 && ++end < s.size();) depth += s[end] == '[' ? 1 : s[end] == ']' ? -1 : 0;
        std::string text = unescape(s.substr(star + 1, end - star - 1));
        for (int k = std::stoi(std::string(s.substr(i + 1, star - i - 1))); k > 0; --k) out += text;
        i = end;
        break;
      }
      default: out += c;
    }
  }
  return out;
}

// A shell pattern with '*' as its only special byte.
bool glob(std::string_view pattern, std::string_view text) {
  std::size_t star = pattern.find('*');
  if (star == std::string_view::npos) return pattern == text;
  if (!text.starts_with(pattern.substr(0, star))) return false;
  for (std::size_t at = star; at <= text.size(); ++at)
    if (glob(pattern.substr(star + 1), text.substr(at))) return true;
  return false;
}

struct runner {
  const section &sec;
  temp_dir tmp;
  std::string root = tmp.path + "/root";
  std::vector<std::unique_ptr<daemon_proc>> daemons;  // the first one's log is checked
  std::string here = root;                           // where relative paths lead
  std::map<std::string, std::string> vars;
  std::vector<int> held_fds;
  std::vector<std::unique_ptr<client>> fillers, held;
  int base_fds = -1;
  int handler_fds = -1;  // each idle handler's, with -c above 1
  // A memory checker holds descriptors of its own, which come and go.
  bool fd_check = std::getenv("QUAVD_WRAPPER") == nullptr;
  // The case or run being gathered.
  std::vector<directive> pending;

  daemon_proc *daemon() const { return daemons.empty() ? nullptr : daemons[0].get(); }

  explicit runner(const section &s) : sec(s) {
    make_dirs(root);
    vars = {{"ROOT", root}, {"TMP", tmp.path}, {"QUAVD", QUAVD_BINARY}, {"PEER", loopback_peer_name()}, {"PEER6", loopback_peer_name(true)},
            {"FREEPORT", std::to_string(free_port())}, {"VERSION", QUAVD_VERSION}, {"MARKER", std::string(32, 'M')}, {"SRC", QUAVD_SOURCE_DIR}, {"BUILD", QUAVD_BUILD_DIR}};
#ifdef QUAV_BINARY
    vars["QUAV"] = QUAV_BINARY;
#endif
    // $NORSS: resident sizes mean nothing under a memory checker or a
    // sanitizer's quarantine.
    if (quarantine || !fd_check) vars["NORSS"] = "1";
  }
  ~runner() {
    for (int fd : held_fds) ::close(fd);
  }

  std::string expand(std::string_view text) const {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
      std::size_t end = i + 1;
      while (end < text.size() && (std::isupper(text[end]) || std::isdigit(text[end]) || text[end] == '_')) ++end;
      auto v = text[i] == '$' && (i == 0 || text[i - 1] != '\\') ? vars.find(std::string(text.substr(i + 1, end - i - 1)))
                                                                : vars.end();
      if (v == vars.end()) {
        out += text[i];
      } else {
        out += v->second;
        i = end - 1;
      }
    }
    return out;
  }
  std::string text(const directive &d) const { return unescape(expand(d.rest)); }

  // Blank-separated words; "double quoted" ones may hold blanks. Variables
  // and \[N*TEXT] are written out first, so they may make several words.
  std::vector<std::string> words(const directive &d) const {
    std::vector<std::string> out;
    std::string line = expand(d.rest);
    for (std::size_t at = 0; at + 1 < line.size(); ++at) {
      if (line[at] != '\\' || line[at + 1] != '[') {
        at += line[at] == '\\';  // an escaped byte is no macro
        continue;
      }
      std::size_t star = line.find('*', at), end = star;
      for (int depth = 1; depth > 0 && ++end < line.size();) depth += line[end] == '[' ? 1 : line[end] == ']' ? -1 : 0;
      std::string text;
      for (int k = std::stoi(line.substr(at + 2, star - at - 2)); k > 0; --k) text += line.substr(star + 1, end - star - 1);
      line.replace(at, end + 1 - at, text);
      --at;
    }
    std::string_view s = line;
    for (std::size_t i = 0; i < s.size();) {
      if (s[i] == ' ') {
        ++i;
        continue;
      }
      std::size_t end = i + 1;
      if (s[i] == '"') {
        while (end < s.size() && s[end] != '"') end += s[end] == '\\' ? 2 : 1;
        ++end;
      } else {
        end = std::min(s.find(' ', i), s.size());
      }
      std::string_view w = s.substr(i, end - i);
      if (w.starts_with('"')) w = w.substr(1, w.size() - 2);
      out.push_back(unescape(w));
      i = end;
    }
    return out;
  }
  std::string at(const directive &d) const {
    return "at " + sec.file + ".txt:" + std::to_string(d.line);
  }

  void run_section() {
    for (const directive &d : sec.body) {
      if (::testing::Test::IsSkipped()) return;
      if (d.word == "case" || d.word == "run" || !is_case_word(d.word)) flush();
      if (is_case_word(d.word)) {
        pending.push_back(d);
      } else {
        SCOPED_TRACE(at(d));
        setup(d);
      }
    }
    flush();
    if (daemon()) {
      EXPECT_EQ(daemon()->zombie_children(), 0);
      if (fd_check) {
        EXPECT_TRUE(settled()) << daemon()->open_fds() << " descriptors, " << base_fds << " at start";
      }
    }
  }

  static bool is_case_word(const std::string &w) {
    static const char *const words[] = {"case", "run", "from", "open", "vanish", "send", "reply", "more", "reset",
                                        "log", "logmatch", "stdin", "status", "stdout", "stderr", "stderrmatch", "stdoutmatch", "stdoutline", "stderrline",
                                        "absent", nullptr};
    for (const char *const *p = words; *p != nullptr; ++p)
      if (w == *p) return true;
    return false;
  }

  // The listener's descriptors as at its start, and every handler's that
  // holds no connection as at its.
  bool settled() const {
    return wait_until([&] {
      auto idle = handler_fds < 0 ? std::vector<int>{} : daemon()->idle_handler_fds();
      return daemon()->open_fds() == base_fds &&
             std::all_of(idle.begin(), idle.end(), [&](int n) { return n == handler_fds; });
    });
  }

  void setup(const directive &d) {
    auto w = words(d);
    if (d.word == "daemon") {
      // Each further daemon serves a root of its own, and the paths that
      // follow lead below it: $PORT2 and $ROOT2, and so on.
      std::string n = daemons.empty() ? "" : std::to_string(daemons.size() + 1);
      if (!daemons.empty()) make_dirs(here = tmp.path + "/root" + n);
      auto &started = daemons.emplace_back(std::make_unique<daemon_proc>());
      if (vars.contains("BINARY")) started->binary = vars["BINARY"];
      ASSERT_TRUE(started->start(here, w)) << read_file(here + "/.daemon-stderr");
      vars["PORT" + n] = std::to_string(started->port);
      vars["PID" + n] = std::to_string(started->pid);
      vars["ROOT" + n] = here;
      if (n.empty()) base_fds = started->open_fds();
      auto c = std::find(w.begin(), w.end(), "-c");
      if (n.empty() && c != w.end() && c + 1 != w.end() && *(c + 1) != "1") {
        ASSERT_TRUE(wait_until([&] { return !started->idle_handler_fds().empty(); }));
        handler_fds = started->idle_handler_fds()[0];
      }
    } else if (d.word == "script" || d.word == "file") {
      // script PATH BODY, file PATH MODE BODY; a relative path is below the root.
      std::size_t sp = d.rest.find(' ');
      std::string path = expand(d.rest.substr(0, sp));
      if (!path.starts_with('/')) path = here + "/" + path;
      std::string rest = sp == std::string::npos ? "" : d.rest.substr(sp + 1);
      if (d.word == "script") return write_script(path, unescape(expand(rest)) + "\n");
      std::size_t sp2 = rest.find(' ');
      write_file(path, unescape(expand(sp2 == std::string::npos ? "" : rest.substr(sp2 + 1))),
                 std::stoi(rest.substr(0, sp2), nullptr, 8));
    } else if (d.word == "reporter") {
      write_file(here + "/" + w.at(0), read_file(QUAVD_TEST_ARGV), 0755);
    } else if (d.word == "dir") {
      make_dirs(here + "/" + w.at(0));
    } else if (d.word == "set") {
      std::size_t sp = d.rest.find(' ');
      vars[d.rest.substr(0, sp)] = expand(sp == std::string::npos ? "" : d.rest.substr(sp + 1));
    } else if (d.word == "busyport" || d.word == "stuckport") {
      // A port that is taken; a stuck one never completes a connect, as its
      // listener's one queue place is filled.
      int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      held_fds.push_back(fd);
      sockaddr_in sa{};
      sa.sin_family = AF_INET;
      sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      socklen_t len = sizeof sa;
      ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
      ASSERT_EQ(::listen(fd, 0), 0);
      ::getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
      int port = ntohs(sa.sin_port);
      vars[d.word == "busyport" ? "BUSYPORT" : "STUCKPORT"] = std::to_string(port);
      if (d.word == "stuckport") fillers.push_back(std::make_unique<client>(port));
    } else if (d.word == "need" && w.at(0) == "ipv6") {
      int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in6 sa{AF_INET6, 0, 0, in6addr_loopback, 0};
      bool bound = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
      if (fd >= 0) ::close(fd);
      if (!bound) GTEST_SKIP() << "no IPv6 loopback (::1) on this machine";
    } else if (d.word == "need" && w.at(0) == "root") {
      // Root of the whole machine, not of a user namespace of its own.
      auto map = read_lines("/proc/self/uid_map");
      if (::geteuid() != 0 || map.empty() || map[0].find("0 4294967295") == std::string::npos)
        GTEST_SKIP() << "not run as root: -u cannot be tried";
    } else if (d.word == "need") {
      if (!file_exists(w.at(0))) GTEST_SKIP() << w[0] << " is not installed";
    } else if (d.word == "hold") {
      // hold ADDRESS: a connection from there, kept in its dialogue; release
      // ends them all and waits until no handler serves one.
      auto &c = held.emplace_back(std::make_unique<client>(daemon()->port, w.at(0)));
      const std::string env_reply = "100 Enter env.  End with single '.' on a line\r\n";
      c->send("env\r\n");
      c->read_until_closed(env_reply.size(), 10s);
      ASSERT_EQ(c->got, env_reply);
    } else if (d.word == "release") {
      held.clear();
      int busy = 0;
      EXPECT_TRUE(wait_until([&] { return daemon()->idle_handler_fds(&busy), busy == 0; }));
    } else if (d.word == "nofdcheck") {
      fd_check = false;
    } else if (d.word != "soak") {
      unit(d.word, w, d);
    }
  }

  // Runs the gathered case or run, then checks the log lines it added and
  // that the daemon holds no more descriptors than at its start.
  void flush() {
    if (pending.empty()) return;
    std::vector<directive> group;
    group.swap(pending);
    SCOPED_TRACE(at(group[0]) + " (" + group[0].rest + ")");
    const std::string log_path = root + "/quavd.log";
    std::size_t before = read_lines(log_path).size();
    std::vector<std::pair<bool, std::string>> logs;  // true: a pattern
    for (const directive &d : group) {
      // A LF in a log line's text starts the next line.
      std::istringstream split(text(d));
      for (std::string l; (d.word == "log" || d.word == "logmatch") && std::getline(split, l);)
        logs.emplace_back(d.word == "logmatch", l);
    }
    if (group[0].word == "run") {
      run_program_case(group);
    } else {
      ASSERT_TRUE(daemon()) << "a case needs a daemon line before it";
      talk_case(group);
    }
    std::vector<std::string> lines;
    // A log the step removed counts from its start.
    wait_until([&] {
      lines = read_lines(log_path);
      return lines.size() >= std::min(before, lines.size()) + logs.size();
    }, 60s);
    std::vector<std::string> got, want;
    for (std::size_t i = std::min(before, lines.size()); i < lines.size(); ++i) {
      got.push_back(log_message(lines[i]).value_or("malformed: " + lines[i]));
      std::size_t k = got.size() - 1;
      if (k < logs.size() && logs[k].first && glob(logs[k].second, got[k])) got[k] = logs[k].second;
    }
    for (const auto &l : logs) want.push_back(l.second);
    EXPECT_EQ(got, want) << "log lines";
    if (daemon() && fd_check) {
      EXPECT_TRUE(settled()) << "descriptors: " << daemon()->open_fds() << ", at start " << base_fds;
    }
  }

  // One connection: each send is written, each reply awaited in turn; the
  // client then half-closes (unless "open") and reads until the daemon
  // closes (or, with "vanish", leaves once the reply has come).
  void talk_case(const std::vector<directive> &group) {
    std::string from;
    bool open = false, vanish = false, reset = false;
    std::vector<std::string> more;  // MIN MAX: bytes of any kind after the replies
    std::vector<std::pair<bool, std::string>> steps;  // true: send
    for (const directive &d : group) {
      if (d.word == "from") from = text(d);
      open = open || d.word == "open";
      vanish = vanish || d.word == "vanish";
      reset = reset || d.word == "reset";
      if (d.word == "more") more = words(d);
      if (d.word == "send" || d.word == "reply") {
        if (steps.empty() || steps.back().first != (d.word == "send")) steps.emplace_back(d.word == "send", "");
        steps.back().second += text(d);
      }
    }
    client c(daemon()->port, from);
    ASSERT_GE(c.fd, 0) << "cannot connect";
    std::string want;
    for (std::size_t i = 0; i < steps.size(); ++i) {
      if (steps[i].first) {
        c.send(steps[i].second);
        continue;
      }
      want += steps[i].second;
      if (i + 1 < steps.size()) {
        c.read_until_closed(want.size());
        mask_marker(c.got);
        ASSERT_EQ(c.got, want) << "before the next send";
      }
    }
    if (!open && !vanish) ::shutdown(c.fd, SHUT_WR);
    bool closed = c.read_until_closed(vanish ? want.size() : std::string::npos);
    mask_marker(c.got);
    EXPECT_TRUE(closed || vanish) << "the daemon did not close";
    EXPECT_TRUE(same(vanish || !more.empty() ? c.got.substr(0, want.size()) : c.got, want));
    EXPECT_TRUE(more.empty() || (c.got.size() >= want.size() + std::stoul(more.at(0)) &&
                                 c.got.size() <= want.size() + std::stoul(more.at(1)))) << c.got.size() << " bytes";
    // A refused peer's unread request may reset; a served one must not.
    EXPECT_TRUE(c.reset == reset || (!reset && want.find("200 Cmd started") == std::string::npos)) << "a reset";
  }

  // A 102 reply's marker, 32 hex digits, fresh for each connection, is
  // written as $MARKER in the replies.
  std::string marker;
  void mask_marker(std::string &got) {
    static const std::regex reply("102 Status after output '([0-9a-f]{32})'");
    if (std::smatch m; std::regex_search(got, m, reply)) {
      EXPECT_NE(m[1], marker) << "the marker of the connection before";
      marker = m[1];
    }
    for (std::size_t at; !marker.empty() && (at = got.find(marker)) != std::string::npos;) got.replace(at, 32, vars["MARKER"]);
  }

  // run PROGRAM ARGS... in the root, with stdin; then its status, output
  // and files that must not exist.
  void run_program_case(const std::vector<directive> &group) {
    std::string input, out, err;
    for (const directive &d : group) {
      if (d.word == "stdin") input += text(d);
    }
    run_result r = run_program(words(group[0]), root, 60s, input);
    std::vector<std::string> lines[2];  // stdoutline, stderrline: in any order
    bool check_out = false, check_err = false;
    for (const directive &d : group) {
      if (d.word == "status") {
        EXPECT_EQ(r.status, std::stoi(d.rest)) << r.err;
      }
      if (d.word == "stdout") out += text(d), check_out = true;
      if (d.word == "stderr") err += text(d), check_err = true;
      if (d.word == "stderrmatch" || d.word == "stdoutmatch") {
        EXPECT_TRUE(glob(text(d), d.word == "stdoutmatch" ? r.out : r.err)) << r.out << r.err;
      }
      if (d.word == "stdoutline" || d.word == "stderrline") lines[d.word == "stderrline"].push_back(text(d));
      if (d.word == "absent") {
        EXPECT_FALSE(file_exists(root + "/" + d.rest)) << d.rest;
      }
    }
    if (check_out) {
      EXPECT_TRUE(same(r.out, out)) << "standard output";
    }
    for (int k = 0; k < 2; ++k) {
      std::istringstream ss(k == 0 ? r.out : r.err);
      std::vector<std::string> got;
      for (std::string line; std::getline(ss, line);) got.push_back(line);
      for (const std::string &want : lines[k]) {
        auto at = std::find_if(got.begin(), got.end(), [&](const std::string &g) { return glob(want, g); });
        if (at == got.end()) {
          ADD_FAILURE() << "no line " << want << " in:\n" << (k == 0 ? r.out : r.err).substr(0, 3000);
        } else {
          got.erase(at);
        }
      }
      if (!lines[k].empty()) {
        EXPECT_TRUE(got.empty()) << got.size() << " more lines, the first: " << got[0].substr(0, 200);
      }
    }
    if (check_err) {
      EXPECT_TRUE(same(r.err, err)) << "standard error";
    }
  }

  // A row of a text utility: the function's name, then its inputs and what
  // it must give.
  void unit(const std::string &fn, const std::vector<std::string> &w, const directive &d) {
    SCOPED_TRACE(at(d) + " " + fn + " " + d.rest);
    if (fn == "fix_parents") {
      std::string buf = w.at(0);
      path_fix_parents(buf.data());
      EXPECT_EQ(std::string(buf.c_str()), w.at(1));
    } else if (fn == "clean") {
      std::string buf = w.at(0);
      EXPECT_EQ(clean_up_path(buf.data()), std::stoi(w.at(2)));
      EXPECT_EQ(std::string(buf.c_str()), w.at(1));
    } else if (fn == "fqdn") {
      // DOMAIN NAME ALIASES WANT: the aliases comma-separated, "-" for no
      // list; the domain is set in a child's own UTS namespace.
      std::vector<std::string> aliases;
      for (std::size_t at = 0; w.at(2) != "-" && at <= w[2].size() && !w[2].empty();) {
        std::size_t comma = std::min(w[2].find(',', at), w[2].size());
        aliases.push_back(w[2].substr(at, comma - at));
        at = comma + 1;
      }
      pid_t pid = ::fork();
      if (pid == 0) {
        if (::unshare(CLONE_NEWUTS) != 0 || ::setdomainname(w[0].data(), w[0].size()) != 0) ::_exit(99);
        std::vector<char *> list;
        for (auto &a : aliases) list.push_back(a.data());
        list.push_back(nullptr);
        std::string name = w[1];
        hostent entry{};
        entry.h_name = name.data();
        entry.h_aliases = w[2] == "-" ? nullptr : list.data();
        const char *got = find_fqdn(&entry);
        if (got != w.at(3)) std::fprintf(stderr, "find_fqdn gave \"%s\"\n", got);
        ::_exit(got == w[3] ? 0 : 1);
      }
      int status = 0;
      ::waitpid(pid, &status, 0);
      if (WEXITSTATUS(status) == 99) GTEST_SKIP() << "no private UTS namespace here";
      EXPECT_EQ(WEXITSTATUS(status), 0);
    } else if (fn == "ntoa") {
      in_addr a{};
      ASSERT_EQ(::inet_pton(AF_INET, w.at(0).c_str(), &a), 1);
      EXPECT_EQ(std::string(ip_ntoa(a.s_addr)), w.at(0));
    } else if (fn == "suffix") {
      EXPECT_EQ(match_suffix(w.at(0).c_str(), w.at(1).c_str()), std::stoi(w.at(2)));
    } else if (fn == "peer") {
      // LOCAL CONFIRM PATTERN ADDRESS REVERSE FORWARD NAME DROP [SIZE]: the
      // peer name (in SIZE bytes, 1024 by default) and the filter's verdict
      // under -L, -F and -r (- for none), the resolver answering REVERSE for
      // the address and FORWARD, NAME=ADDRESS,..., for that one name (- for
      // no answer).
      static std::string reverse, forward;
      reverse = w.at(4);
      forward = w.at(5);
      auto saved = std::tuple(reverse_lookup, forward_lookup, forward_free, localhost_only, forward_confirm, restrict_to);
      reverse_lookup = [](const void *, socklen_t, int) -> hostent * {
        static char *no_aliases[] = {nullptr};
        static hostent entry;
        entry = {reverse.data(), no_aliases, 0, 0, nullptr};
        return reverse == "-" ? nullptr : &entry;
      };
      forward_lookup = [](const char *name, const char *, const addrinfo *, addrinfo **out) {
        static sockaddr_storage addrs[4];
        static addrinfo list[4];
        std::size_t at = forward.find('=') + 1, n = 0;
        if (forward.substr(0, at - 1) != name) return EAI_NONAME;
        for (; at <= forward.size() && n < 4; ++n, at = std::min(forward.find(',', at), forward.size()) + 1) {
          EXPECT_EQ(parse_address(forward.substr(at, forward.find(',', at) - at).c_str(), &addrs[n]), 0);
          list[n] = {};
          list[n].ai_addr = reinterpret_cast<sockaddr *>(&addrs[n]);
          if (n > 0) list[n - 1].ai_next = &list[n];
        }
        *out = list;
        return 0;
      };
      forward_free = [](addrinfo *) {};
      localhost_only = std::stoi(w.at(0));
      forward_confirm = std::stoi(w.at(1));
      std::string pattern = w.at(2);
      restrict_to = pattern == "-" ? nullptr : pattern.data();
      sockaddr_storage peer{};
      EXPECT_EQ(parse_address(w.at(3).c_str(), &peer), 0);
      char name[1025];
      std::memset(name, 'Z', sizeof name);
      std::size_t size = w.size() > 8 ? std::stoul(w[8]) : 1024;
      map_sockaddr_to_name(reinterpret_cast<sockaddr *>(&peer), name, size);
      EXPECT_EQ(std::string(name), w.at(6));
      EXPECT_EQ(name[size], 'Z') << "written past the size";
      EXPECT_EQ(filter_source(reinterpret_cast<sockaddr *>(&peer), name), std::stoi(w.at(7)));
      std::tie(reverse_lookup, forward_lookup, forward_free, localhost_only, forward_confirm, restrict_to) = saved;
    } else if (fn == "rules" || fn == "badrules") {
      // rules TEXT ADDRESS=DROP...: the verdicts under a rules file of TEXT;
      // badrules TEXT WHY: it is refused, WHY following the file's name
      // (after a blank, or straight after it when WHY begins with ':').
      std::string path = tmp.path + "/rules";
      write_file(path, w.at(0));
      char why[8192] = "";
      bool loaded = load_rules(path.c_str(), why, sizeof why);
      if (fn == "badrules") {
        EXPECT_FALSE(loaded);
        EXPECT_EQ(std::string(why), path + (w.at(1)[0] == ':' ? "" : " ") + w[1]);
        return;
      }
      ASSERT_TRUE(loaded) << why;
      char *saved = std::exchange(rules_file, path.data());
      for (std::size_t i = 1; i < w.size(); ++i) {
        std::size_t eq = w[i].rfind('=');
        sockaddr_storage peer{};
        EXPECT_EQ(parse_address(w[i].substr(0, eq).c_str(), &peer), 0) << w[i];
        EXPECT_EQ(!rules_admit(reinterpret_cast<sockaddr *>(&peer)), w[i].substr(eq + 1) == "1") << w[i];
      }
      rules_file = saved;
    } else {
      ADD_FAILURE() << "unknown directive " << fn;
    }
  }
};

// The largest resident size of the daemon and its handlers.
long rss_kib(const daemon_proc &d) {
  long most = -1;
  auto pids = d.children();
  pids.push_back(d.pid);
  for (pid_t pid : pids)
    for (const auto &line : read_lines("/proc/" + std::to_string(pid) + "/status"))
      if (line.starts_with("VmRSS:")) most = std::max(most, std::stol(line.substr(6)));
  return most;
}

// Many connections of the kinds marked "soak", in a random order, against
// one daemon, serial and with a pool: every reply and log line as in its own
// section, and at the end no descriptor, child or memory left behind. $QUAVD_SOAK sets the
// number of connections; $QUAVD_SOAK_NO_RSS drops the memory bound (for a
// sanitizer's quarantine, which grows on purpose).
void soak(const std::vector<section> &all, const std::string &options) {
  section merged{"soak", "soak", 0, {}, true};
  std::vector<std::vector<directive>> cases;
  for (const section &s : all) {
    if (!s.soak) continue;
    for (const directive &d : s.body) {
      if (d.word == "case") cases.emplace_back();
      if (!cases.empty() && runner::is_case_word(d.word)) cases.back().push_back(d);
      else if (d.word != "daemon" && d.word != "soak") merged.body.push_back(d);
    }
  }
  ASSERT_FALSE(cases.empty());
  runner r(merged);
  for (const directive &d : merged.body) r.setup(d);
  r.setup({"daemon", options, 0});
  ASSERT_TRUE(r.daemon());
  const char *n_text = std::getenv("QUAVD_SOAK");
  int n = n_text != nullptr ? std::atoi(n_text) : 200;
  std::mt19937 rng(6);
  long rss_at_100 = -1;
  for (int i = 0; i < n && !::testing::Test::HasFailure(); ++i) {
    r.pending = cases[rng() % cases.size()];
    r.flush();
    if (i == 99) rss_at_100 = rss_kib(*r.daemon());
  }
  EXPECT_EQ(r.daemon()->zombie_children(), 0);
  EXPECT_TRUE(r.settled());
  if (!quarantine && rss_at_100 > 0 && std::getenv("QUAVD_SOAK_NO_RSS") == nullptr) {
    EXPECT_LE(rss_kib(*r.daemon()), rss_at_100 + 512) << "resident memory grew";
  }
}

std::string test_name(const std::string &title) {
  std::string out;
  for (char c : title) out += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return out;
}

}  // namespace

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  static std::vector<section> all;
  std::vector<std::string> files;
  for (const auto &e : std::filesystem::directory_iterator(QUAVD_SOURCE_DIR "/tests/cases"))
    if (e.path().extension() == ".txt") files.push_back(e.path());
  std::sort(files.begin(), files.end());
  for (const auto &f : files) {
    for (section &s : read_sections(f)) all.push_back(std::move(s));
  }
  for (const section &s : all) {
    ::testing::RegisterTest(s.file.c_str(), test_name(s.title).c_str(), nullptr, nullptr,
                            (std::string(QUAVD_SOURCE_DIR "/tests/cases/") + s.file + ".txt").c_str(), s.line,
                            [&s]() -> ::testing::Test * {
                              struct t : ::testing::Test {
                                const section &sec;
                                explicit t(const section &x) : sec(x) {}
                                void TestBody() override { runner(sec).run_section(); }
                              };
                              return new t(s);
                            });
  }
  for (bool pool : {false, true}) {
    ::testing::RegisterTest("soak", pool ? "MixedConnectionsPool" : "MixedConnections", nullptr, nullptr, __FILE__,
                            __LINE__, [pool]() -> ::testing::Test * {
                              struct t : ::testing::Test {
                                bool pool;
                                explicit t(bool p) : pool(p) {}
                                void TestBody() override {
                                  soak(all, pool ? "-l -c 4" : "-l");
                                }
                              };
                              return new t(pool);
                            });
  }
  return RUN_ALL_TESTS();
}
