// Reading lines of the local log: "[<24-character ctime text>] message".
#pragma once

#include <cctype>
#include <cstring>
#include <optional>
#include <string>

namespace log_line {

// True for text like "Sun Dec  6 18:33:56 2026".
inline bool is_ctime_text(const std::string &t) {
  static const char *const days[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
  static const char *const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  if (t.size() != 24) return false;
  auto one_of = [&](std::size_t at, const char *const *names, int n) {
    for (int i = 0; i < n; ++i) {
      if (t.compare(at, 3, names[i]) == 0) return true;
    }
    return false;
  };
  auto digit = [&](std::size_t at) { return std::isdigit(static_cast<unsigned char>(t[at])) != 0; };
  if (!one_of(0, days, 7) || t[3] != ' ' || !one_of(4, months, 12) || t[7] != ' ') return false;
  if (!(t[8] == ' ' || (t[8] >= '1' && t[8] <= '3')) || !digit(9) || t[10] != ' ') return false;
  if (!digit(11) || !digit(12) || t[13] != ':' || !digit(14) || !digit(15) || t[16] != ':' ||
      !digit(17) || !digit(18) || t[19] != ' ')
    return false;
  return digit(20) && digit(21) && digit(22) && digit(23);
}

// The message of a well-formed log line, or nothing.
inline std::optional<std::string> message(const std::string &line) {
  if (line.size() < 27 || line[0] != '[' || line.compare(25, 2, "] ") != 0) return std::nullopt;
  if (!is_ctime_text(line.substr(1, 24))) return std::nullopt;
  return line.substr(27);
}

}  // namespace log_line
