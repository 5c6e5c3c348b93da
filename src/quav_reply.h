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

// The longest status line: a marker of 32, " signal 255" and CR LF.
constexpr std::size_t max_status_line = 32 + 11 + 2;

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
          if (marker.empty()) {
            body.append(data, len);
          } else {
            hold(data, len, &body);
          }
          len = 0;
          break;
        case phase::refused:
          hold(data, len, nullptr);
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
    if (err == 0) take_status();
    if (phase_ == phase::body) body += tail_;
    tail_.clear();
    if (phase_ == phase::refused) return status_refused;
    if (err != 0) {
      // A daemon that cuts a connection resets it: what came is not all.
      why = std::string("connection lost during the output (") + std::strerror(err) +
            "); the output is incomplete";
      return status_no_reply;
    }
    return status_output;
  }

  std::string why;     // what ended the reply without output
  std::string marker;  // the 102 reply's: the status line begins with it
  int remote = -1;     // the script's status: 0 to 255, 128 + N for signal N
  bool remote_signalled = false;
  int acks = 0;        // 1xx replies so far
  bool status_asked = false;  // a status command was sent first

 private:
  enum class phase { replies, blank, body, refused };

  // Keeps the last bytes back, where the status line would be; the rest is
  // output (none after a refusal).
  void hold(const char *data, std::size_t len, std::string *body) {
    tail_.append(data, len);
    if (tail_.size() <= max_status_line) return;
    std::size_t out = tail_.size() - max_status_line;
    if (body != nullptr) body->append(tail_, 0, out);
    tail_.erase(0, out);
  }

  // The status is the marker's last line, "MARKER exit N" or "MARKER
  // signal N", which the daemon sends last; a script cannot know the
  // marker, so its output can never pass for it.
  void take_status() {
    std::size_t at = marker.empty() ? std::string::npos : tail_.rfind(marker);
    if (at == std::string::npos) return;
    std::string_view rest = std::string_view(tail_).substr(at + marker.size());
    int base = rest.starts_with(" exit ") ? 0 : rest.starts_with(" signal ") ? 128 : -1;
    if (base < 0) return;
    rest.remove_prefix(base == 0 ? 6 : 8);
    int n = 0;
    std::size_t digits = 0;
    while (digits < rest.size() && digits < 3 && rest[digits] >= '0' && rest[digits] <= '9')
      n = n * 10 + (rest[digits++] - '0');
    if (digits == 0 || rest.substr(digits) != "\r\n" || base + n > 255) return;
    remote = base + n;
    remote_signalled = base != 0;
    tail_.erase(at);
  }

  int reply_line() {
    std::string text = line_;
    line_.clear();
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (text.size() < 4 || text[3] != ' ') return unexpected(text);
    std::string_view code = std::string_view(text).substr(0, 3);
    if (code == "100" || code == "101") return ++acks, -1;
    constexpr std::string_view status_reply = "102 Status after output '";
    if (status_asked && text.size() == status_reply.size() + 33 && text.starts_with(status_reply) &&
        text.back() == '\'') {
      marker = text.substr(status_reply.size(), 32);
      return ++acks, -1;
    }
    if (status_asked && acks == 0 && text == "500 Bad command 'status'") {
      why = "the daemon sends no exit status (it runs without -S)";
      return status_refused;
    }
    if (code == "200") {
      phase_ = copy_headers_ ? phase::body : phase::blank;
      return -1;
    }
    if (code[0] == '5') {
      why = text;
      // A script that ran but wrote nothing still has its status to come.
      if (!marker.empty() && code == "503") {
        phase_ = phase::refused;
        return -1;
      }
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
  std::string tail_;      // with a marker: the last bytes, maybe the status line
};

}  // namespace quav
