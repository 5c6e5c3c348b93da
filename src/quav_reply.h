// What the client reads back: the daemon's reply lines, then the script's
// output, and the exit status that the reply ends with.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace quav {

// Exit statuses; the manual page lists the same.
constexpr int status_output = 0;     // the 200 reply came; output copied
constexpr int status_refused = 2;    // a 5xx reply: refused or not started
constexpr int status_no_reply = 3;   // closed or lost before a full reply
constexpr int status_local = 4;      // usage, input, name or connection error

// A reply line longer than this is not one of the daemon's.
constexpr std::size_t max_reply_line = 64 * 1024;

// Follows the reply: 1xx acknowledgements, then 200 and the output, or a
// 5xx. The output is handed back as it arrives; a reply that ends without
// output leaves the reason in `why`.
class reply_reader {
 public:
  explicit reply_reader(bool copy_headers = false) : copy_headers_(copy_headers) {}

  // Appends the output found in data to body. Returns -1 while the reply
  // goes on, else the exit status it ends with.
  int feed(const char *data, std::size_t len, std::string &body) {
    while (len > 0) {
      switch (phase_) {
        case phase::replies: {
          const char *lf = static_cast<const char *>(std::memchr(data, '\n', len));
          std::size_t take = lf != nullptr ? static_cast<std::size_t>(lf - data) + 1 : len;
          line_.append(data, take);
          data += take;
          len -= take;
          if (lf == nullptr) {
            if (line_.size() > max_reply_line) return unexpected();
            break;
          }
          if (int status = reply_line(); status >= 0) return status;
          break;
        }
        case phase::blank:
          // The daemon's empty line after the 200 line is skipped; with a
          // daemon run with -n there is none, and every byte is output.
          if (cr_held_) {
            cr_held_ = false;
            phase_ = phase::body;
            if (*data == '\n') {
              ++data;
              --len;
            } else {
              body += '\r';
            }
          } else if (*data == '\n' || *data == '\r') {
            cr_held_ = *data == '\r';
            if (!cr_held_) phase_ = phase::body;
            ++data;
            --len;
          } else {
            phase_ = phase::body;
          }
          break;
        case phase::body:
          body.append(data, len);
          len = 0;
          break;
      }
    }
    return -1;
  }

  // The connection has ended, at its end (err 0) or with an error; the
  // last output, if any, is appended to body.
  int finish(int err, std::string &body) {
    if (cr_held_) body += '\r';  // a lone CR is output, not a line end
    cr_held_ = false;
    if (phase_ == phase::replies) {
      why = err != 0 ? std::string("connection lost without a reply: ") + std::strerror(err)
                     : "connection closed without a reply";
      return status_no_reply;
    }
    if (err != 0) {
      why = std::string("connection lost during the output: ") + std::strerror(err);
      return status_no_reply;
    }
    return status_output;
  }

  std::string why;  // what ended the reply without output

 private:
  enum class phase { replies, blank, body };

  int reply_line() {
    std::string text = line_;
    line_.clear();
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (text.size() < 4 || text[3] != ' ') return unexpected(text);
    std::string_view code = std::string_view(text).substr(0, 3);
    if (code == "100" || code == "101") return -1;
    if (code == "200") {
      phase_ = copy_headers_ ? phase::body : phase::blank;
      return -1;
    }
    if (code[0] == '5') {
      why = text;
      return status_refused;
    }
    return unexpected(text);
  }

  int unexpected(const std::string &text = "") {
    why = "unexpected reply from the daemon";
    if (!text.empty()) why += ": " + text;
    return status_no_reply;
  }

  bool copy_headers_;
  phase phase_ = phase::replies;
  std::string line_;
  bool cr_held_ = false;  // a CR right after the 200 line, maybe half a line end
};

}  // namespace quav
