// quav: runs one script on a quavd daemon and copies its output to standard
// output, as if the script ran here.
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "quav_encode.h"

namespace {

// Exit statuses; the manual page lists the same.
constexpr int status_output = 0;     // the 200 reply came; output copied
constexpr int status_refused = 2;    // a 5xx reply: refused or not started
constexpr int status_no_reply = 3;   // closed or lost before a full reply
constexpr int status_local = 4;      // usage, input, name or connection error

constexpr int max_env = 50;  // the daemon's environment block
// Standard input read before connecting: a bad input line found within it
// is refused before the script is started.
constexpr std::size_t prefetch_size = 256 * 1024;
// Standard input is not read while this much waits to be sent.
constexpr std::size_t send_backlog = 64 * 1024;
// A reply line longer than this is not one of the daemon's.
constexpr std::size_t max_reply_line = 64 * 1024;

[[gnu::format(printf, 2, 3)]] [[noreturn]] void fail(int status, const char *fmt, ...) {
  std::fputs("quav: ", stderr);
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(stderr, fmt, ap);
  va_end(ap);
  std::fputc('\n', stderr);
  std::exit(status);
}

void print_usage(FILE *to) {
  std::fputs(
      "usage: quav [-H host] [-p port] [-e NAME=VALUE]... [-i] [-n] SCRIPT [ARG]...\n"
      "  -H host         daemon's host name or IPv4 address (default 127.0.0.1)\n"
      "  -p port         daemon's port (default 8001)\n"
      "  -e NAME=VALUE   environment entry for the script (repeatable, at most 50)\n"
      "  -i              send standard input to the script (LF bytes are dropped)\n"
      "  -n              copy everything after the 200 reply (daemon run with -n)\n"
      "  -V              print the version and exit\n",
      to);
}

[[noreturn]] void usage_error(const char *fmt, const char *arg) {
  std::fputs("quav: ", stderr);
  std::fprintf(stderr, fmt, arg);
  std::fputc('\n', stderr);
  print_usage(stderr);
  std::exit(status_local);
}

void write_all(int fd, const char *data, std::size_t len) {
  while (len > 0) {
    ssize_t n = ::write(fd, data, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) fail(status_local, "cannot write standard output: %s", std::strerror(errno));
    data += n;
    len -= static_cast<std::size_t>(n);
  }
}

int connect_to(const char *host, const char *port) {
  addrinfo hints{};
  hints.ai_family = AF_INET;  // the daemon listens on IPv4 only
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *found = nullptr;
  int rc = ::getaddrinfo(host, port, &hints, &found);
  if (rc != 0) fail(status_local, "cannot resolve %s: %s", host, ::gai_strerror(rc));
  int err = 0;
  int fd = -1;
  for (addrinfo *a = found; a != nullptr && fd < 0; a = a->ai_next) {
    fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      err = errno;
      continue;
    }
    if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
      err = errno;
      ::close(fd);
      fd = -1;
    }
  }
  ::freeaddrinfo(found);
  if (fd < 0) fail(status_local, "cannot connect to %s port %s: %s", host, port, std::strerror(err));
  return fd;
}

// Follows the reply: 1xx acknowledgements, then 200 and the output, or a
// 5xx. Output goes to standard output as it arrives.
class reply_reader {
 public:
  explicit reply_reader(bool copy_headers) : copy_headers_(copy_headers) {}

  // Returns -1 while the reply goes on, else the exit status it ends with.
  int feed(const char *data, std::size_t len) {
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
              write_all(1, "\r", 1);
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
          write_all(1, data, len);
          len = 0;
          break;
      }
    }
    return -1;
  }

  // The connection has ended, at its end (err 0) or with an error.
  int finish(int err) {
    if (cr_held_) write_all(1, "\r", 1);  // a lone CR is output, not a line end
    if (phase_ == phase::replies) {
      if (err != 0) fail(status_no_reply, "connection lost without a reply: %s", std::strerror(err));
      fail(status_no_reply, "connection closed without a reply");
    }
    if (err != 0) fail(status_no_reply, "connection lost during the output: %s", std::strerror(err));
    return status_output;
  }

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
      std::fprintf(stderr, "quav: %s\n", text.c_str());
      return status_refused;
    }
    return unexpected(text);
  }

  int unexpected(const std::string &text = "") {
    if (text.empty()) {
      std::fputs("quav: unexpected reply from the daemon\n", stderr);
    } else {
      std::fprintf(stderr, "quav: unexpected reply from the daemon: %s\n", text.c_str());
    }
    return status_no_reply;
  }

  bool copy_headers_;
  phase phase_ = phase::replies;
  std::string line_;
  bool cr_held_ = false;  // a CR right after the 200 line, maybe half a line end
};

// Refuses input that the protocol cannot carry. The connection, if any, is
// reset so that the daemon drops what it has not yet read.
[[noreturn]] void refuse_input(quav::input_lines::fault f, std::size_t line, int fd) {
  if (fd >= 0) {
    linger hard{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(fd);
  }
  if (f == quav::input_lines::fault::lone_dot) {
    fail(status_local, "input line %zu is a lone \".\", which would end the input; refused", line);
  }
  fail(status_local, "input line %zu holds a NUL byte, which the daemon cannot pass on; refused",
       line);
}

// Reads one chunk of standard input into the lines; false at its end.
bool read_input(quav::input_lines &lines, std::string &out, int fd) {
  char buf[65536];
  ssize_t n;
  do {
    n = ::read(0, buf, sizeof buf);
  } while (n < 0 && errno == EINTR);
  if (n < 0) fail(status_local, "cannot read standard input: %s", std::strerror(errno));
  quav::input_lines::fault f = n == 0 ? lines.finish(out)
                                      : lines.feed(std::string_view(buf, static_cast<std::size_t>(n)), out);
  if (f != quav::input_lines::fault::none) refuse_input(f, lines.line_number(), fd);
  if (n == 0 && !lines.started()) out += "end\r\n";  // no input: end starts the script
  return n > 0;
}

}  // namespace

int main(int argc, char **argv) {
  const char *host = "127.0.0.1";
  std::string port = "8001";
  std::vector<std::string> env;
  bool send_input = false;
  bool copy_headers = false;

  int c;
  // '+': options end at SCRIPT, so the script's own arguments may begin with '-'.
  while ((c = ::getopt(argc, argv, "+H:p:e:inhV")) != -1) {
    switch (c) {
      case 'H': host = optarg; break;
      case 'p': {
        char *end = nullptr;
        errno = 0;
        long n = std::strtol(optarg, &end, 10);
        if (errno != 0 || end == optarg || *end != '\0' || n < 1 || n > 65535) {
          usage_error("bad port '%s'", optarg);
        }
        port = std::to_string(n);
        break;
      }
      case 'e': env.emplace_back(optarg); break;
      case 'i': send_input = true; break;
      case 'n': copy_headers = true; break;
      case 'h': print_usage(stdout); return 0;
      case 'V': std::printf("quav %s\n", QUAVD_VERSION); return 0;
      default: print_usage(stderr); return status_local;
    }
  }
  if (optind >= argc) usage_error("%s", "no script named");
  if (argv[optind][0] == '\0') usage_error("%s", "the script's name is empty");

  // Everything the protocol cannot carry is refused before connecting.
  if (env.size() > static_cast<std::size_t>(max_env)) {
    fail(status_local, "%zu environment entries; the daemon takes at most %d", env.size(), max_env);
  }
  for (const std::string &e : env) {
    if (e.empty()) fail(status_local, "empty environment entry");
    if (e == ".") fail(status_local, "environment entry \".\" would end the block");
    if (e.find_first_of("\r\n") != std::string::npos) {
      fail(status_local, "environment entry holds a line end: %s", e.c_str());
    }
    if (e.size() + 2 > quav::line_limit) {
      fail(status_local, "environment entry longer than %zu bytes: %.40s...",
           quav::line_limit - 2, e.c_str());
    }
  }
  std::string command = quav::encode_command(std::vector<std::string>(argv + optind, argv + argc));
  if (command.size() > quav::max_command_line) {
    fail(status_local, "encoded command line is %zu bytes; the daemon takes at most %zu",
         command.size(), quav::max_command_line);
  }

  std::string out;  // bytes still to be sent
  if (!env.empty()) {
    out += "env\r\n";
    for (const std::string &e : env) out += e + "\r\n";
    out += ".\r\n";
  }
  out += "cmd " + command + "\r\n";

  quav::input_lines lines;
  bool input_open = send_input;
  if (!send_input) out += "end\r\n";
  while (input_open && out.size() < prefetch_size) input_open = read_input(lines, out, -1);

  int fd = connect_to(host, port.c_str());
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);

  reply_reader reply(copy_headers);
  std::size_t sent = 0;
  bool can_send = true;  // false once the daemon stopped taking our bytes
  bool shut = false;
  for (;;) {
    std::size_t backlog = out.size() - sent;
    if (!input_open && backlog == 0 && can_send && !shut) {
      // The end of our side ends the dialogue after input lines, without
      // the lone "." that would reach the script as data.
      ::shutdown(fd, SHUT_WR);
      shut = true;
    }
    pollfd fds[2] = {{fd, POLLIN, 0}, {0, POLLIN, 0}};
    if (backlog > 0 && can_send) fds[0].events |= POLLOUT;
    nfds_t nfds = input_open && can_send && backlog < send_backlog ? 2 : 1;
    if (::poll(fds, nfds, -1) < 0) {
      if (errno == EINTR) continue;
      fail(status_local, "poll: %s", std::strerror(errno));
    }

    if (nfds == 2 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0) {
      if (sent > 0 && sent == out.size()) {
        out.clear();
        sent = 0;
      }
      input_open = read_input(lines, out, fd);
    }

    if ((fds[0].revents & POLLOUT) != 0 && sent < out.size()) {
      ssize_t n = ::send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
      if (n > 0) {
        sent += static_cast<std::size_t>(n);
        if (sent == out.size()) {
          out.clear();
          sent = 0;
        } else if (sent >= send_backlog) {
          out.erase(0, sent);
          sent = 0;
        }
      } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        // The daemon has closed or reset the connection; what it sent
        // before that still decides the outcome.
        can_send = false;
        input_open = false;
      }
    }

    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      char buf[65536];
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n > 0) {
        int status = reply.feed(buf, static_cast<std::size_t>(n));
        if (status >= 0) {
          ::close(fd);
          return status;
        }
      } else if (n == 0) {
        ::close(fd);
        return reply.finish(0);
      } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        int err = errno;
        ::close(fd);
        return reply.finish(err);
      }
    }
  }
}
