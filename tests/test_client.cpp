// The client where the case tables cannot reach: input cut into lines
// across reads, and every byte as an argument.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "harness.h"
#include "quav_encode.h"

using namespace harness;

namespace {

// What reaches the script, the daemon reading pieces of at most 1023 bytes
// up to a LF and dropping CR LF or LF, whatever the chunks fed were.
TEST(ClientInputLines, DataArrivesWithoutItsLineFeeds) {
  const std::vector<std::string> rows = {
      "ab\ncd\n", "no line end", "crlf\r\nkept\r\n", "\r\n\r\r\n", "..\n. \n .\n.x\n",
      std::string(999, 'a') + ".\n", std::string(1000, 'a') + ".\n", std::string(1001, 'a') + ".\n",
      std::string(2000, 'b') + ".", std::string(5000, '.') + "\n.a\n", std::string(3001, '\r') + "\n", "\n\n\n"};
  for (const std::string &row : rows) {
    for (std::size_t chunk : {std::size_t{1}, std::size_t{7}, row.size()}) {
      quav::input_lines lines;
      std::string out;
      for (std::size_t pos = 0; pos < row.size(); pos += chunk) {
        ASSERT_EQ(lines.feed(std::string_view(row).substr(pos, chunk), out), quav::input_lines::fault::none);
      }
      ASSERT_EQ(lines.finish(out), quav::input_lines::fault::none);
      ASSERT_TRUE(out.starts_with("input\r\n"));
      std::string joined, want = row;
      std::erase(want, '\n');
      for (std::size_t pos = 7; pos < out.size();) {
        std::size_t end = std::min({out.find('\n', pos) + 1, out.size(), pos + quav::line_limit});
        std::string line = out.substr(pos, end - pos);
        pos = end;
        if (line.ends_with("\r\n")) line.resize(line.size() - 2);
        else if (line.ends_with('\n')) line.pop_back();
        EXPECT_NE(line, ".") << "a piece would end the input; chunk " << chunk;
        joined += line;
      }
      EXPECT_EQ(joined, want) << "chunk " << chunk;
    }
  }
}

#ifdef QUAV_BINARY

struct served_root : harness::served_root {
  explicit served_root(const std::vector<std::string> &options = {"-l"}) : harness::served_root(options) {
    reporter("bin/argv");
  }
};

// The reporting program's lines for these arguments, each shell-escaped.
std::string argv_report(const std::vector<std::string> &words) {
  std::string text = "argc=" + std::to_string(words.size()) + "\nargv[0]=" + words[0].substr(words[0].rfind('/') + 1) + "\n";
  for (std::size_t i = 1; i < words.size(); ++i) {
    text += "argv[" + std::to_string(i) + "]=";
    for (char c : words[i]) text += std::string(std::strchr("&;`'\"|*?~<>^()[]{}$\\", c) != nullptr ? "\\" : "") + c;
    text += "\n";
  }
  return text;
}

TEST(ClientEndToEnd, EveryByteArrivesInAnArgument) {
  served_root root;
  std::string all;
  for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
  run_result r = run_program({QUAV_BINARY, "-p", std::to_string(root.port()), "bin/argv", all}, "");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, argv_report({"bin/argv", all}) + "in(0)=\n");
}

#endif  // QUAV_BINARY

}  // namespace
