#include "log.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <span>

#include "util.h"

namespace {

int local_log = 0;

// A descriptor held back so that a message can still be written when every
// other one is taken: that is just when accept and pipe fail and say so.
int reserve_fd = -1;

void take_reserve() {
  if (reserve_fd < 0) reserve_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

constexpr char log_file_name[] = "quavd.log";
// -P names another; a relative name is taken below the server root.
const char *pid_file_name = "quavd.pid";

// Writes the parts in one call when it can, so that a line appended by a
// launched child at the same moment never splits this one.
void write_parts(int fd, std::span<iovec> parts) {
  std::size_t total = 0;
  for (const iovec &p : parts) total += p.iov_len;
  ssize_t n;
  do {
    n = ::writev(fd, parts.data(), static_cast<int>(parts.size()));
  } while (n < 0 && errno == EINTR);
  if (n < 0 || static_cast<std::size_t>(n) == total) return;
  // A short write: finish the rest piece by piece.
  auto done = static_cast<std::size_t>(n);
  for (const iovec &p : parts) {
    if (done >= p.iov_len) {
      done -= p.iov_len;
      continue;
    }
    const std::size_t rest = p.iov_len - done;
    if (write_fully(fd, static_cast<const char *>(p.iov_base) + done, rest) != rest) return;
    done = 0;
  }
}

// A client's bytes must not break a log line or reach a terminal as
// control codes: every byte below 0x20 but the tab, 0x7F, and every byte
// from 0x80 up (8-bit and UTF-8 C1 controls, bidirectional overrides and
// line separators that make a viewer show a forged or reordered line)
// becomes '#' and three octal digits. Returns the message itself when it
// holds none, else the escaped text in buf, cut cleanly where buf ends.
const char *escape_controls(const char *message, std::span<char> buf) {
  auto is_control = [](unsigned char c) { return (c < 0x20 && c != '\t') || c >= 0x7F; };
  const char *p = message;
  while (*p != '\0' && !is_control(static_cast<unsigned char>(*p))) ++p;
  if (*p == '\0') return message;
  std::size_t n = 0;
  for (p = message; *p != '\0'; ++p) {
    auto c = static_cast<unsigned char>(*p);
    std::size_t need = is_control(c) ? 4 : 1;
    if (n + need >= buf.size()) break;
    if (need == 1) {
      buf[n++] = static_cast<char>(c);
    } else {
      buf[n++] = '#';
      buf[n++] = static_cast<char>('0' + (c >> 6));
      buf[n++] = static_cast<char>('0' + ((c >> 3) & 7));
      buf[n++] = static_cast<char>('0' + (c & 7));
    }
  }
  buf[n] = '\0';
  return buf.data();
}

}  // namespace

void set_pid_file(const char *path) { pid_file_name = path; }

void set_local_log() {
  local_log = 1;
  take_reserve();
}

const char *get_time() {
  std::time_t now = std::time(nullptr);
  char *text = std::ctime(&now);
  if (text == nullptr) return "";
  std::size_t len = std::strlen(text);
  if (len > 0) text[len - 1] = '\0';
  return text;
}

void log_error(const char *text) {
  // Every message the daemon composes fits; a longer one is cut.
  char escaped[8192];
  const char *message = escape_controls(text, escaped);
  if (!local_log) {
    syslog(LOG_WARNING, "%s", message);
    return;
  }
  // Opened anew for every message so that the file can be rotated or
  // removed between messages.
  constexpr int flags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC;
  int fd = ::open(log_file_name, flags, 0666);
  if (fd < 0 && errno == EMFILE && reserve_fd >= 0) {
    ::close(reserve_fd);
    reserve_fd = -1;
    fd = ::open(log_file_name, flags, 0666);
  }
  if (fd < 0) {
    take_reserve();
    return;
  }
  const char *time_text = get_time();
  iovec parts[] = {
      {const_cast<char *>("["), 1},
      {const_cast<char *>(time_text), std::strlen(time_text)},
      {const_cast<char *>("] "), 2},
      {const_cast<char *>(message), std::strlen(message)},
      {const_cast<char *>("\n"), 1},
  };
  write_parts(fd, parts);
  ::close(fd);
  take_reserve();
}

void log_command(std::string_view command, std::string_view peer_name, std::string_view outcome) {
  constexpr std::string_view head = "command '", middle = "' from ", cut_mark = "...";
  const std::size_t fixed = head.size() + middle.size() + peer_name.size() + 1;
  std::string_view cut;
  if (fixed + command.size() > LOG_COMMAND_MOST) {
    command = command.substr(0, LOG_COMMAND_MOST - std::min(LOG_COMMAND_MOST, fixed + cut_mark.size()));
    cut = cut_mark;
  }
  // Room for the longest peer name and outcome besides the command.
  char line[LOG_COMMAND_MOST + 2048];
  format_bounded(line, sizeof line, "%.*s%.*s%.*s%.*s%.*s %.*s", static_cast<int>(head.size()), head.data(),
                 static_cast<int>(command.size()), command.data(), static_cast<int>(cut.size()), cut.data(),
                 static_cast<int>(middle.size()), middle.data(), static_cast<int>(peer_name.size()),
                 peer_name.data(), static_cast<int>(outcome.size()), outcome.data());
  log_error(line);
}

namespace {
int kind_count[LOG_KINDS] = {};
}  // namespace

void log_of_kind(log_kind kind, const char *message) {
  // Counted as far as an int goes: a client may send lines for ever.
  if (kind_count[kind] == INT_MAX) return;
  if (kind_count[kind]++ < LOG_KIND_MOST) log_error(message);
}

void log_kinds_end(const char *peer_name) {
  for (int &count : kind_count) {
    if (count > LOG_KIND_MOST) {
      char line[1024 + 64];
      format_bounded(line, sizeof line, "%d more lines of the same kind from %s not logged", count - LOG_KIND_MOST,
                     peer_name);
      log_error(line);
    }
    count = 0;
  }
}

int log_pid() {
  int fd = ::open(pid_file_name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    std::fprintf(stderr, "quavd: could not log pid to file %s\n", pid_file_name);
    return -1;
  }
  char buf[32];
  int n = std::snprintf(buf, sizeof buf, "%d\n", static_cast<int>(::getpid()));
  bool ok = n > 0 && static_cast<std::size_t>(n) < sizeof buf &&
            write_fully(fd, buf, static_cast<std::size_t>(n)) == static_cast<std::size_t>(n);
  ::close(fd);
  if (!ok) {
    std::fprintf(stderr, "quavd: could not log pid to file %s\n", pid_file_name);
    return -1;
  }
  return 0;
}
