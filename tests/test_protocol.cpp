// The request dialogue end to end: a real daemon on loopback, real scripts,
// and every byte the client receives compared exactly.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "harness.h"
#include "request_support.h"

using namespace request_support;
using namespace std::string_literals;

namespace {

const std::string enter_env = "100 Enter env.  End with single '.' on a line\r\n";
const std::string env_accepted = "100 Env accepted\r\n";
const std::string no_cmd = "502 No Cmd specified\r\n";

// A varied text of n bytes, so that a split at the wrong place shows.
std::string pattern(std::size_t n) {
  std::string s;
  for (std::size_t i = 0; s.size() < n; ++i) s += std::to_string(i % 10) + "abcdefghi"[i % 9];
  s.resize(n);
  return s;
}

}  // namespace

TEST(Dialogue, WorkedExampleByteForByte) {
  served_root s;
  // Answers "done" only when its arguments, environment and input are the
  // ones the client sent; anything else shows in the compared output.
  s.script("bin/report",
           "[ \"$#\" = 1 ] && [ \"$1\" = x ] || { echo \"args: $*\"; exit 1; }\n"
           "[ \"$A\" = 1 ] && [ \"$B\" = 'two words' ] || { echo \"env: $A/$B\"; exit 1; }\n"
           "in=$(/bin/cat)\n"
           "[ \"$in\" = hello. ] || { echo \"input: $in\"; exit 1; }\n"
           "echo done\n");
  std::string got = s.send(
      "env\r\nA=1\r\nB=two words\r\n.\r\ncmd bin/report+x\r\ninput\r\nhello\r\n.\r\nend\r\n",
      false);
  EXPECT_EQ(got, enter_env + env_accepted +
                     "101 Cmd accepted 'bin/report+x'\r\n"
                     "200 Cmd started 'bin/report+x'\r\n\r\n"
                     "done\n");
  EXPECT_EQ(s.count_log("command 'bin/report+x' from " + loopback_peer_name() + " ok, status 0"),
            1);
}

struct reply_row {
  const char *name;
  std::string request;
  std::string expected;
  int launches;  // scripts that must have run (one outcome line each)
};

TEST(Dialogue, RepliesForEachKindOfLine) {
  served_root s;
  s.script("bin/hello", "echo hello \"$@\"\n");
  s.script("bin/silent", ":\n");
  s.script("bin/cat", "/bin/cat\n");
  const std::vector<reply_row> rows = {
      {"nothing sent", "", "", 0},
      {"input ends inside env", "env\r\nA=1\r\n", enter_env, 0},
      {"env then a lone dot", "env\r\n.\r\n", enter_env + env_accepted, 0},
      {"env lines ended by LF alone", "env\nA=1\n.\n", enter_env + env_accepted, 0},
      {"cmd stored, input ends without end", "cmd bin/hello\r\n", accepted("bin/hello"), 0},
      {"unknown word quoted without its argument", "foo bar\r\nenv\r\n",
       "500 Bad command 'foo'\r\n", 0},
      {"a tab belongs to the word", "cmd\tx\r\n", "500 Bad command 'cmd\tx'\r\n", 0},
      {"empty line", "\r\nenv\r\n", "500 Bad command ''\r\n", 0},
      {"line starting with a blank", " env\r\n", "500 Bad command ''\r\n", 0},
      {"cmd alone", "cmd\r\nenv\r\n", no_cmd, 0},
      {"cmd and one blank", "cmd \r\nenv\r\n", no_cmd, 0},
      {"cmd and two blanks keeps one", "cmd  x\r\n", accepted(" x"), 0},
      {"vers answers nothing", "vers\r\nvers 2\r\nenv\r\n.\r\n", enter_env + env_accepted, 0},
      {"words in any case", "ENV\r\n.\r\nCmd bin/hello+a\r\neNd\r\n",
       enter_env + env_accepted + served("bin/hello+a", "hello a\n"),
       1},
      {"CR before CR LF kept", "env\r\r\n", "500 Bad command 'env\r'\r\n", 0},
      {"CR at end of input kept", "env\r", "500 Bad command 'env\r'\r\n", 0},
      {"last line without LF", "cmd bin/hello\r\nend",
       served("bin/hello", "hello\n"), 1},
      {"script without output", "cmd bin/silent\r\nend\r\n",
       accepted("bin/silent") + "503 exec of 'bin/silent' failed\n", 1},
      {"end without cmd", "end\r\n", no_cmd, 0},
      {"input without cmd", "input\r\nx\r\n", no_cmd, 0},
      {"second cmd replaces the first", "cmd bin/silent\r\ncmd bin/hello+2\r\nend\r\n",
       accepted("bin/silent") + served("bin/hello+2", "hello 2\n"), 1},
      {"cmd after the start only renames", "cmd bin/hello+1\r\ninput\r\n.\r\ncmd bin/silent\r\nend\r\n",
       accepted("bin/hello+1") + served("bin/silent", "hello 1\n"), 1},
      {"failed launch retried per line", "cmd /bin/ls\r\ninput\r\na\r\nb\r\nend\r\n",
       accepted("/bin/ls") + "502 Cmd failed\r\n502 Cmd failed\r\n502 Cmd failed\r\n", 0},
      {"replies after the launch quote the cleaned text", "cmd bin//hello+z\r\nend\r\n",
       accepted("bin//hello+z") + started("bin/hello+z") + "hello z\n", 1},
      {"NUL cuts the word", "en\0v\r\nenv\r\n"s, "500 Bad command 'en'\r\n", 0},
      {"NUL cuts the command line", "cmd bin/hello+a\0+b\r\nend\r\n"s,
       served("bin/hello+a", "hello a\n"), 1},
      {"refusal still relays a running script", "cmd bin/hello+q\r\ninput\r\n.\r\nbogus\r\n",
       accepted("bin/hello+q") + "500 Bad command 'bogus'\r\n" + started("bin/hello+q") +
           "hello q\n",
       1},
      {"port silences the rest", "cmd bin/hello+p\r\nport 80\r\nenv\r\ncmd x\r\nend\r\n",
       accepted("bin/hello+p"), 0},
      {"port: running script relayed at half-close",
       "cmd bin/cat\r\ninput\r\nab\r\n.\r\nport 99\r\nenv\r\ncmd bin/hello\r\nend\r\nmore\r\n",
       served("bin/cat", "ab."), 1},
  };
  for (const auto &row : rows) {
    int before = s.outcome_lines();
    EXPECT_EQ(s.send(row.request), row.expected) << row.name;
    EXPECT_EQ(s.outcome_lines() - before, row.launches) << row.name;
  }
}

TEST(Dialogue, EachReplyArrivesBeforeTheNextLineIsSent) {
  served_root s;
  s.script("bin/hello", "echo hello \"$@\"\n");
  client c(s.port());
  // The client waits for each reply, as an interactive one would.
  const std::vector<std::pair<std::string, std::string>> steps = {
      {"env\r\n", enter_env},
      {"A=1\r\n.\r\n", env_accepted},
      {"vers\r\ncmd bin/hello+i\r\n", accepted("bin/hello+i")},
  };
  for (const auto &[line, reply] : steps) {
    ASSERT_TRUE(c.send_all(line));
    std::string got;
    c.read_until_closed(got, reply.size());
    ASSERT_EQ(got, reply) << line;
  }
  ASSERT_TRUE(c.send_all("end\r\n"));
  std::string got;
  EXPECT_TRUE(c.read_until_closed(got));
  EXPECT_EQ(got, started("bin/hello+i") + "hello i\n");
}

// The client never half-closes: the daemon must end the dialogue itself.
TEST(Dialogue, RefusalsEndTheConnectionWithoutALaunch) {
  served_root s;
  const std::pair<std::string, std::string> rows[] = {
      {"input\r\nx\r\n", no_cmd},
      {"end\r\n", no_cmd},
      {"env\r\nA=1\r\n.\r\ninput\r\nx\r\n", enter_env + env_accepted + no_cmd},
      {"vers\r\nfoo\r\n", "500 Bad command 'foo'\r\n"},
  };
  for (const auto &[request, reply] : rows) {
    client c(s.port());
    ASSERT_TRUE(c.send_all(request));
    std::string got;
    EXPECT_TRUE(c.read_until_closed(got)) << request;
    EXPECT_EQ(got, reply) << request;
  }
  EXPECT_EQ(s.outcome_lines(), 0);
}

TEST(Dialogue, HeaderModeLetsTheScriptWriteItsOwnHeaders) {
  served_root s({"-l", "-n"});
  s.script("bin/hdr", "printf 'X-Test: 1\\r\\n\\r\\nbody'\n");
  s.script("bin/silent", ":\n");
  EXPECT_EQ(s.send("cmd bin/hdr\r\nend\r\n"),
            accepted("bin/hdr") + "200 Cmd started 'bin/hdr'\r\nX-Test: 1\r\n\r\nbody");
  EXPECT_EQ(s.send("cmd bin/silent\r\nend\r\n"),
            accepted("bin/silent") + "503 exec of 'bin/silent' failed\n");
}

TEST(Environment, ExactlyTheClientsLinesAndNothingOfTheDaemons) {
  // The daemon inherits this; the script must not.
  ::setenv("QUAVD_LEAK_CHECK", "daemon", 1);
  served_root s;
  ::unsetenv("QUAVD_LEAK_CHECK");
  s.reporter("bin/show");
  std::string request = "env\r\nA=1\r\nB=two words\r\n\r\n.dot\r\nnoequals\r\nC=3\0junk\r\n.\r\n"
      "env\r\nD=4\r\n.\r\ncmd bin/show\r\nend\r\n"s;
  EXPECT_EQ(s.send(request),
            enter_env + env_accepted + enter_env + env_accepted +
                served("bin/show",
                       report({"show"}, {"A=1", "B=two words", ".dot", "noequals", "C=3", "D=4"})));
  // No lines at all: an empty environment (no shell in between to add any).
  EXPECT_EQ(s.send("cmd bin/show\r\nend\r\n"),
            served("bin/show", report({"show"})));
}

TEST(Environment, FiftyLinesFitTheFiftyFirstIsRefused) {
  served_root s;
  s.reporter("bin/show");
  std::string lines;
  std::vector<std::string> entries;
  for (int i = 1; i <= 50; ++i) {
    entries.push_back("V" + std::to_string(i) + "=" + std::to_string(i));
    lines += entries.back() + "\r\n";
  }
  EXPECT_EQ(s.send("env\r\n" + lines + ".\r\ncmd bin/show\r\nend\r\n"),
            enter_env + env_accepted + served("bin/show", report({"show"}, entries)));
  EXPECT_EQ(s.send("env\r\n" + lines + "V51=51\r\n.\r\n"),
            enter_env + "501 Environment full 'V51=51'\r\n");
  // Spread over two env commands the block still holds fifty in all.
  EXPECT_EQ(s.send("env\r\n" + lines + ".\r\nenv\r\nextra line\r\n"),
            enter_env + env_accepted + enter_env + "501 Environment full 'extra line'\r\n");
  EXPECT_EQ(s.outcome_lines(), 1);
}

TEST(Environment, EachConnectionStartsEmpty) {
  served_root s;
  s.reporter("bin/show");
  // Each of these leaves entries and a command line behind, ending in a
  // different way; the next connection must see neither.
  const std::vector<std::string> leftovers = {
      "env\r\nA=1\r\n.\r\ncmd bin/show+stale\r\n",                // end of input
      "env\r\nA=1\r\n.\r\ncmd bin/show+stale\r\nfoo\r\n",         // 500
      "cmd bin/show+stale\r\nenv\r\n" + std::string(60, 'x') + "\r\n",  // half-stored env
      "env\r\nA=1\r\n.\r\ncmd bin/show+stale\r\nend\r\n",         // a script ran
  };
  for (const auto &request : leftovers) {
    s.send(request);
    EXPECT_EQ(s.send("end\r\n"), no_cmd) << request;
    s.send(request);
    EXPECT_EQ(s.send("cmd bin/show\r\nend\r\n"),
              served("bin/show", report({"show"})))
        << request;
  }
}

struct input_row {
  const char *name;
  std::string lines;  // sent after "cmd bin/show"
  std::string received;
};

TEST(Input, LinesReachTheScriptJoinedWithoutLineEnds) {
  served_root s;
  s.reporter("bin/show");
  const std::vector<input_row> rows = {
      {"two lines and the dot", "input\r\nab\r\ncd\r\n.\r\nend\r\n", "abcd."},
      {"a lone dot", "input\r\n.\r\nend\r\n", "."},
      {"end alone: end of file at once", "end\r\n", ""},
      {"empty lines add nothing, two dots stay", "input\r\n\r\na\r\n\r\n..\r\n.\r\nend\r\n",
       "a..."},
      {"blanks and a kept CR", "input\r\nx y \t\r\nab\nc\r\r\n.\r\nend\r\n", "x y \tabc\r."},
      {"back to commands after the dot", "input\r\nab\r\n.\r\nvers\r\ninput\r\ncd\r\n.\r\nend\r\n",
       "ab.cd."},
      {"half-close while in input", "input\r\nab\r\ncd\r\n", "abcd"},
      {"half-close after a last line without LF", "input\r\nab\r\ncd", "abcd"},
      {"NUL cuts an input line", "input\r\nab\0cd\r\n.\r\nend\r\n"s, "ab."},
  };
  for (const auto &row : rows) {
    EXPECT_EQ(s.send("cmd bin/show\r\n" + row.lines),
              served("bin/show", report({"show"}, {}, row.received)))
        << row.name;
  }
}

TEST(LongLines, TakenInPiecesOf1023Bytes) {
  served_root s;
  s.reporter("bin/show");
  const std::string tail = ".\r\ncmd bin/show\r\nend\r\n";
  const std::string framed = enter_env + env_accepted + accepted("bin/show") + started("bin/show");

  std::string long_env = "L=" + pattern(1498);
  EXPECT_EQ(s.send("env\r\n" + long_env + "\r\n" + tail),
            framed + report({"show"}, {long_env.substr(0, 1023), long_env.substr(1023)}, ""));

  // Exactly one piece; its line end comes alone and is an empty line.
  std::string full_env = "F=" + pattern(1021);
  EXPECT_EQ(s.send("env\r\n" + full_env + "\r\n" + tail), framed + report({"show"}, {full_env}, ""));

  // The piece ends with the CR; the LF alone follows as an empty line, so
  // the CR stays in the entry.
  std::string cr_env = "C=" + pattern(1020);
  EXPECT_EQ(s.send("env\r\n" + cr_env + "\r\n" + tail), framed + report({"show"}, {cr_env + "\r"}, ""));

  // A long cmd line is cut: the rest is a command word of its own.
  std::string args = pattern(1500);
  std::string cmd = "bin/show+" + args;
  EXPECT_EQ(s.send("cmd " + cmd + "\r\n"),
            accepted(cmd.substr(0, 1019)) + "500 Bad command '" + cmd.substr(1019) + "'\r\n");

  // Same with the CR as the piece's last byte: the LF is an empty line.
  std::string cr_cmd = "bin/show+" + pattern(1009);
  EXPECT_EQ(s.send("cmd " + cr_cmd + "\r\n"),
            accepted(cr_cmd + "\r") + "500 Bad command ''\r\n");

  // A long input line goes to the script whole, piece after piece.
  std::string long_input = pattern(3000);
  EXPECT_EQ(s.send("cmd bin/show\r\ninput\r\n" + long_input + "\r\n.\r\nend\r\n"),
            served("bin/show", report({"show"}, {}, long_input + ".")));
}
