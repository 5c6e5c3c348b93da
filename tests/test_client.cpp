// The client where the case tables cannot reach: input cut into lines
// across reads.
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


}  // namespace
