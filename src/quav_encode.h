// What the client sends in the daemon's line protocol: the script path and
// its arguments encoded as one command line, and standard input cut into
// input lines that the daemon's line reader takes back intact.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quav {

// The daemon reads at most this many bytes per line, line end included; a
// longer line is taken in pieces, each handled as a line of its own.
constexpr std::size_t line_limit = 1023;
// Longest command line that still fits "cmd " + text + CR LF in one read.
constexpr std::size_t max_command_line = line_limit - 4 - 2;

// Bytes that pass unescaped: letters, digits and / . _ - , = : @
inline bool is_safe_byte(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  switch (c) {
    case '/': case '.': case '_': case '-': case ',': case '=': case ':': case '@':
      return true;
    default:
      return false;
  }
}

inline void append_escape(std::string &out, unsigned char c) {
  static constexpr char hex[] = "0123456789ABCDEF";
  out += '%';
  out += hex[c >> 4];
  out += hex[c & 0x0F];
}

// The script's path. '/' and '.' stay literal so that the daemon's path
// clean-up and its checks of the program path work on the real path.
inline std::string encode_path(std::string_view path) {
  std::string out;
  out.reserve(path.size());
  for (unsigned char c : path) {
    if (is_safe_byte(c)) {
      out += static_cast<char>(c);
    } else {
      append_escape(out, c);
    }
  }
  return out;
}

// One argument. The daemon thins doubled slashes and folds ".." steps over
// the whole command line before it splits it into arguments, so a literal
// '/' or ".." in an argument could be rewritten, or even fold away part of
// the script's path. Escaped, '/' and the first '.' of every ".." mean
// nothing to the clean-up and are decoded only in the split.
inline std::string encode_arg(std::string_view arg) {
  std::string out;
  out.reserve(arg.size());
  for (std::size_t i = 0; i < arg.size(); ++i) {
    auto c = static_cast<unsigned char>(arg[i]);
    bool dot_pair = c == '.' && i + 1 < arg.size() && arg[i + 1] == '.';
    if (is_safe_byte(c) && c != '/' && !dot_pair) {
      out += static_cast<char>(c);
    } else {
      append_escape(out, c);
    }
  }
  return out;
}

// words[0] is the script's path, the rest its arguments; joined with '+'.
inline std::string encode_command(const std::vector<std::string> &words) {
  std::string out;
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (i > 0) out += '+';
    out += i == 0 ? encode_path(words[i]) : encode_arg(words[i]);
  }
  return out;
}

// Turns a byte stream into input lines. The daemon drops every line end and
// joins the lines, so the script receives the stream without its LF bytes.
// Each line is sent with CR LF: the daemon removes exactly that pair, so a
// CR that ended the client's line survives as data. A long line is sent in
// pieces of max_piece bytes while at least two bytes would remain, so the
// last piece has two bytes or more and is never a lone "." (which would end
// the input), and no piece (at most max_piece + 1 bytes) is cut again by the
// daemon's reader.
class input_lines {
 public:
  static constexpr std::size_t max_piece = 1000;

  enum class fault { none, lone_dot, nul_byte };

  // Appends the protocol lines for data to out; the first one is preceded by
  // the input command. Stops at the first fault and reports it.
  fault feed(std::string_view data, std::string &out) {
    for (char c : data) {
      if (c == '\n') {
        if (fault f = end_line(out); f != fault::none) return f;
        continue;
      }
      // A NUL would end the line's text in the daemon: the rest would be lost.
      if (c == '\0') return fault::nul_byte;
      line_ += c;
      if (line_.size() >= max_piece + 2) {
        emit(std::string_view(line_).substr(0, max_piece), out);
        line_.erase(0, max_piece);
        piece_sent_ = true;
      }
    }
    return fault::none;
  }

  // End of the stream: a last line without its LF is sent as well.
  fault finish(std::string &out) {
    if (!line_.empty() || piece_sent_) return end_line(out);
    return fault::none;
  }

  // True once any line was produced (and so the input command).
  bool started() const { return started_; }
  // Number of the line being read, from 1.
  std::size_t line_number() const { return line_number_; }

 private:
  fault end_line(std::string &out) {
    if (!piece_sent_ && line_ == ".") return fault::lone_dot;
    emit(line_, out);
    line_.clear();
    piece_sent_ = false;
    ++line_number_;
    return fault::none;
  }

  void emit(std::string_view piece, std::string &out) {
    if (!started_) {
      out += "input\r\n";
      started_ = true;
    }
    out += piece;
    out += "\r\n";
  }

  std::string line_;
  bool piece_sent_ = false;
  bool started_ = false;
  std::size_t line_number_ = 1;
};

}  // namespace quav
