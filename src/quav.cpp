// quav: runs one script on one or many quavd daemons and copies its output
// to standard output, as if the script ran here.
#include <fcntl.h>
#include <getopt.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "quav_encode.h"
#include "quav_hosts.h"
#include "quav_options.h"
#include "quav_reply.h"
#include "quav_tls.h"

namespace {

using quav::status_local;
using quav::status_output;
using quav::fail;
using quav::settings;
using quav::default_wait;
using steady = std::chrono::steady_clock;

// Standard input read before connecting to one host: a bad input line found
// within it is refused before the script is started.
constexpr std::size_t prefetch_size = 256 * 1024;
// With several hosts standard input is read whole, checked, and the same
// bytes are sent to each; more than this is refused.
constexpr std::size_t max_shared_input = 64 * 1024 * 1024;
// Standard input is not read while this much waits to be sent.
constexpr std::size_t send_backlog = 64 * 1024;
// A prefixed output line is held until its LF; a longer one is cut here.
constexpr std::size_t max_held_line = 1024 * 1024;

// Writes all of data; 0, or the error that stopped it.
int write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

void write_stdout(std::string_view data) {
  if (int err = write_all(1, data); err != 0) {
    fail(status_local, "cannot write standard output: %s", std::strerror(err));
  }
}

// The request's bytes, the same for every host. With one host, standard
// input is read into them while the request runs, and what has been sent
// is dropped, so any amount of input streams through.
struct request_bytes {
  std::string bytes;
  bool streamed = false;
  bool reading = false;  // standard input not yet at its end
  std::size_t input_size = 0;
  quav::input_lines lines;
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

// Reads one chunk of standard input into the request.
void read_input(request_bytes &req, int fd) {
  char buf[65536];
  ssize_t n;
  do {
    n = ::read(0, buf, sizeof buf);
  } while (n < 0 && errno == EINTR);
  if (n < 0) fail(status_local, "cannot read standard input: %s", std::strerror(errno));
  auto got = static_cast<std::size_t>(n);
  quav::input_lines::fault f = n == 0 ? req.lines.finish(req.bytes)
                                      : req.lines.feed(std::string_view(buf, got), req.bytes);
  if (f != quav::input_lines::fault::none) refuse_input(f, req.lines.line_number(), fd);
  if (n == 0 && !req.lines.started()) req.bytes += "end\r\n";  // no input: end starts the script
  req.reading = n > 0;
  req.input_size += got;
}

enum class stage { waiting, resolving, connecting, handshaking, talking, done };

// A name looked up by the resolver's own threads, which write a byte to
// wake_fds when one is done: the poll loop goes on meanwhile.
struct lookup {
  gaicb cb{};
  addrinfo hints{};
  std::string name, port;
};
// Never closed: a lookup given up on may end at any time until the exit.
int wake_fds[2] = {-1, -1};
// Lookups given up on that the resolver still works on: it writes into
// them when done, so they are kept to the end of the process.
std::vector<lookup *> abandoned;

void lookup_done(sigval) {
  char b = 1;
  [[maybe_unused]] ssize_t n = ::write(wake_fds[1], &b, 1);
}

// One host's run of the request.
struct job {
  quav::host host;
  std::string port;
  std::string tag;        // "HOST: " before its messages when there are several
  bool prefixed = false;  // output lines go to standard output behind the tag
  stage at = stage::waiting;
  int fd = -1;
  lookup *pending = nullptr;  // the name lookup under way
  addrinfo *addresses = nullptr;
  addrinfo *next_address = nullptr;
  int connect_error = 0;
  bool has_deadline = false;
  steady::time_point deadline;
  // With -w, each reply to a command before end is awaited that long.
  int acks_expected = 0;
  int acks_seen = -1;
  steady::time_point reply_by;
  std::size_t sent = 0;
  bool can_send = true;  // false once the daemon stopped taking our bytes
  bool shut = false;
  quav::reply_reader reply;
  int out_fd = 1;  // standard output, or the host's file with -o
  std::string out_path;
  std::string held;  // output not yet written as whole lines
  std::string gathered;  // -b: all of its output, printed at the end
  int status = status_output;
  SSL *tls = nullptr;  // with TLS, the session once connected
  short tls_events = POLLOUT;  // what its handshake waits for
};

// A host's failure, on standard error.
[[gnu::format(printf, 2, 3)]] void complain(const job &j, const char *fmt, ...) {
  std::fprintf(stderr, "quav: %s", j.tag.c_str());
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(stderr, fmt, ap);
  va_end(ap);
  std::fputc('\n', stderr);
}

// Writes the held output's whole lines behind the tag. At the end, and
// beyond max_held_line, a line without its LF is given one, so that a line
// never shares its bytes with another host's.
void write_lines(job &j, bool at_end) {
  std::string out;
  std::size_t start = 0;
  while (start < j.held.size()) {
    std::size_t lf = j.held.find('\n', start);
    std::size_t end;
    if (lf != std::string::npos) {
      end = lf + 1;
    } else if (at_end) {
      end = j.held.size();
    } else if (j.held.size() - start > max_held_line) {
      end = start + max_held_line;
    } else {
      break;
    }
    out.append(j.tag).append(j.held, start, end - start);
    if (out.back() != '\n') out += '\n';
    start = end;
  }
  j.held.erase(0, start);
  write_stdout(out);
}

void end_job(job &j, int status) {
  if (j.tls != nullptr) quav::tls_free(j.tls);
  j.tls = nullptr;
  if (j.fd >= 0) ::close(j.fd);
  j.fd = -1;
  if (j.addresses != nullptr) ::freeaddrinfo(j.addresses);
  j.addresses = j.next_address = nullptr;
  if (j.prefixed) write_lines(j, true);
  if (j.out_fd != 1) ::close(j.out_fd);
  j.out_fd = 1;
  // With -S the script's own status, and 255 where none came, as a remote
  // shell's client does.
  j.status = !j.reply.status_asked ? status : j.reply.remote >= 0 ? j.reply.remote : 255;
  j.at = stage::done;
}

// Hands a host's output on; false when that ended the host's run.
bool deliver(job &j, const settings &s, std::string_view body) {
  if (s.gather) {
    j.gathered.append(body);
  } else if (j.prefixed) {
    j.held.append(body);
    write_lines(j, false);
  } else if (j.out_fd == 1) {
    write_stdout(body);
  } else if (int err = write_all(j.out_fd, body); err != 0) {
    complain(j, "cannot write %s: %s", j.out_path.c_str(), std::strerror(err));
    end_job(j, status_local);
    return false;
  }
  return true;
}

// With TLS the handshake comes next, bounded by -w, else by the default.
void connected(job &j) {
  j.at = stage::talking;
  if (!quav::tls_on()) return;
  j.tls = quav::tls_begin(j.fd, j.host.name);
  if (j.tls == nullptr) {
    complain(j, "cannot set up TLS");
    end_job(j, status_local);
    return;
  }
  j.at = stage::handshaking;
  if (!j.has_deadline) {
    j.has_deadline = true;
    j.deadline = steady::now() + std::chrono::duration_cast<steady::duration>(
                                     std::chrono::duration<double>(default_wait));
  }
}

void handshake(job &j) {
  std::string why;
  const int r = quav::tls_handshake(j.tls, j.tls_events, why);
  if (r > 0) j.at = stage::talking;
  if (r >= 0) return;
  // Named even when it is the only host: the line says whose certificate.
  complain(j, "%s%s", j.tag.empty() ? (j.host.text + ": ").c_str() : "", why.c_str());
  end_job(j, status_local);
}

// Connects to the next address that takes a connection; the host has
// failed when none is left.
void try_connect(job &j) {
  while (j.next_address != nullptr) {
    addrinfo *a = j.next_address;
    j.next_address = a->ai_next;
    j.fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
    if (j.fd < 0) {
      j.connect_error = errno;
      continue;
    }
    if (::connect(j.fd, a->ai_addr, a->ai_addrlen) == 0) {
      connected(j);
      return;
    }
    if (errno == EINPROGRESS) {
      j.at = stage::connecting;
      return;
    }
    j.connect_error = errno;
    ::close(j.fd);
    j.fd = -1;
  }
  complain(j, "cannot connect to %s port %s: %s", j.host.name.c_str(), j.port.c_str(),
           std::strerror(j.connect_error));
  end_job(j, status_local);
}

// The connect in progress has ended, one way or the other.
void connect_done(job &j) {
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(j.fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
  if (err == 0) {
    connected(j);
    return;
  }
  j.connect_error = err;
  ::close(j.fd);
  j.fd = -1;
  try_connect(j);
}

// Starts the resolver on the host's name; the host has failed when it
// cannot even begin.
void begin_lookup(job &j) {
  if (wake_fds[0] < 0 && ::pipe2(wake_fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    fail(status_local, "cannot make a pipe: %s", std::strerror(errno));
  }
  auto *l = new lookup;
  l->name = j.host.name;
  l->port = j.port;
  l->hints.ai_family = AF_UNSPEC;
  l->hints.ai_socktype = SOCK_STREAM;
  l->cb.ar_name = l->name.c_str();
  l->cb.ar_service = l->port.c_str();
  l->cb.ar_request = &l->hints;
  sigevent done{};
  done.sigev_notify = SIGEV_THREAD;
  done.sigev_notify_function = lookup_done;
  gaicb *list[1] = {&l->cb};
  if (int rc = ::getaddrinfo_a(GAI_NOWAIT, list, 1, &done); rc != 0) {
    delete l;
    complain(j, "cannot resolve %s: %s", j.host.name.c_str(), ::gai_strerror(rc));
    end_job(j, status_local);
    return;
  }
  j.pending = l;
  j.at = stage::resolving;
}

// Takes the lookup's answer once it has come; past the host's deadline
// the lookup is given up on, and that host alone fails.
void check_lookup(job &j, steady::time_point now) {
  lookup *l = j.pending;
  int rc = ::gai_error(&l->cb);
  if (rc == EAI_INPROGRESS) {
    if (!j.has_deadline || j.deadline > now) return;
    rc = ::gai_cancel(&l->cb);
    if (rc == EAI_ALLDONE && l->cb.ar_result != nullptr) ::freeaddrinfo(l->cb.ar_result);
    if (rc == EAI_NOTCANCELED) abandoned.push_back(l); else delete l;
    j.pending = nullptr;
    complain(j, "name lookup timed out");
    end_job(j, status_local);
    return;
  }
  j.addresses = rc == 0 ? l->cb.ar_result : nullptr;
  j.pending = nullptr;
  delete l;
  if (rc != 0) {
    complain(j, "cannot resolve %s: %s", j.host.name.c_str(), ::gai_strerror(rc));
    end_job(j, status_local);
    return;
  }
  j.next_address = j.addresses;
  try_connect(j);
}

// Opens the host's output file, resolves its name and starts connecting.
// An address is taken at once; a name is looked up meanwhile, within the
// host's -w.
void start_job(job &j, const settings &s) {
  if (s.out_dir != nullptr) {
    j.out_path = std::string(s.out_dir) + "/" + j.host.text;
    int fd = ::open(j.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
      complain(j, "cannot write %s: %s", j.out_path.c_str(), std::strerror(errno));
      end_job(j, status_local);
      return;
    }
    j.out_fd = fd;
  }
  if (s.wait > 0) {
    j.has_deadline = true;
    j.deadline = steady::now() + std::chrono::duration_cast<steady::duration>(
                                     std::chrono::duration<double>(s.wait));
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST;
  int rc = ::getaddrinfo(j.host.name.c_str(), j.port.c_str(), &hints, &j.addresses);
  if (rc == EAI_NONAME) {
    j.addresses = nullptr;
    begin_lookup(j);
    return;
  }
  if (rc != 0) {
    j.addresses = nullptr;
    complain(j, "cannot resolve %s: %s", j.host.name.c_str(), ::gai_strerror(rc));
    end_job(j, status_local);
    return;
  }
  j.next_address = j.addresses;
  try_connect(j);
}

// Names what went wrong, and with several hosts a script that failed.
void finish_job(job &j, int status) {
  const quav::reply_reader &r = j.reply;
  if (status != status_output && r.remote < 0) {
    complain(j, "%s", r.why.c_str());
  } else if (r.status_asked && r.remote < 0) {
    complain(j, "the output ended without an exit status");
  } else if (r.remote > 0 && !j.tag.empty()) {
    complain(j, r.remote_signalled ? "signal %d" : "exit %d", r.remote_signalled ? r.remote - 128 : r.remote);
  }
  end_job(j, status);
}

// Sends what the daemon has not had yet and reads what it replies.
void talk(job &j, short revents, request_bytes &req, const settings &s) {
  if ((revents & POLLOUT) != 0 && j.sent < req.bytes.size()) {
    const char *from = req.bytes.data() + j.sent;
    const std::size_t len = req.bytes.size() - j.sent;
    ssize_t n = j.tls != nullptr ? quav::tls_send(j.tls, from, len) : ::send(j.fd, from, len, MSG_NOSIGNAL);
    if (n > 0) {
      j.sent += static_cast<std::size_t>(n);
      if (req.streamed && j.sent == req.bytes.size()) {
        req.bytes.clear();
        j.sent = 0;
      } else if (req.streamed && j.sent >= send_backlog) {
        req.bytes.erase(0, j.sent);
        j.sent = 0;
      }
    } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      // The daemon has closed or reset the connection; what it sent
      // before that still decides the outcome.
      j.can_send = false;
      req.reading = false;
    }
  }

  // A session may hold bytes that the socket no longer shows.
  bool more = (revents & (POLLIN | POLLHUP | POLLERR)) != 0;
  while (more) {
    char buf[65536];
    std::string why;
    ssize_t n = j.tls != nullptr ? quav::tls_recv(j.tls, buf, sizeof buf, why) : ::recv(j.fd, buf, sizeof buf, 0);
    std::string body;
    int status = -1;
    if (n > 0) {
      status = j.reply.feed(buf, static_cast<std::size_t>(n), body);
    } else if (n == 0) {
      status = j.reply.finish(0, body);
    } else if (!why.empty()) {
      // The daemon's TLS alert: it refused our certificate, or none.
      complain(j, "%s%s", j.tag.empty() ? (j.host.text + ": ").c_str() : "", why.c_str());
      return end_job(j, status_local);
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      status = j.reply.finish(errno, body);
    }
    if (!body.empty() && !deliver(j, s, body)) return;
    if (status >= 0) finish_job(j, status);
    more = n > 0 && j.at != stage::done && j.tls != nullptr && ::SSL_pending(j.tls) > 0;
  }
}

// Milliseconds until the deadline, rounded up; 0 once it has passed.
int ms_until(steady::time_point deadline, steady::time_point now) {
  if (deadline <= now) return 0;
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
  return static_cast<int>(std::min<long long>(ms, 24 * 3600 * 1000));
}

int min_timeout(int timeout, int left) { return timeout < 0 ? left : std::min(timeout, left); }

// With -w, a reply to a command sent before end is awaited no longer than
// that from the one before; false when the host has failed for it.
bool reply_in_time(job &j, const settings &s, steady::time_point now, int &timeout) {
  if (s.wait <= 0 || j.reply.acks >= j.acks_expected) return true;
  if (j.reply.acks != j.acks_seen) {
    j.acks_seen = j.reply.acks;
    j.reply_by = now + std::chrono::duration_cast<steady::duration>(std::chrono::duration<double>(s.wait));
  }
  if (j.reply_by <= now) {
    complain(j, "no reply from the daemon within %g s", s.wait);
    end_job(j, quav::status_no_reply);
    return false;
  }
  timeout = min_timeout(timeout, ms_until(j.reply_by, now));
  return true;
}

// What to wait for on a host's connection; once everything is sent, our
// side is ended.
short talk_events(job &j, const request_bytes &req) {
  std::size_t backlog = req.bytes.size() - j.sent;
  if (!req.reading && backlog == 0 && j.can_send && !j.shut) {
    // The end of our side ends the dialogue after input lines,
    // without the lone "." that would reach the script as data.
    if (j.tls != nullptr) quav::tls_close_notify(j.tls);
    ::shutdown(j.fd, SHUT_WR);
    j.shut = true;
  }
  return backlog > 0 && j.can_send ? POLLIN | POLLOUT : POLLIN;
}

// Runs the request on every host, at most `limit` at once, in one poll loop.
void run_all(std::vector<job> &jobs, request_bytes &req, const settings &s, std::size_t limit) {
  std::vector<std::size_t> active;
  std::vector<pollfd> fds;
  std::vector<job *> polled;  // the job behind each entry of fds
  std::size_t next = 0;
  for (;;) {
    std::erase_if(active, [&](std::size_t i) { return jobs[i].at == stage::done; });
    while (active.size() < limit && next < jobs.size()) {
      start_job(jobs[next], s);
      if (jobs[next].at != stage::done) active.push_back(next);
      ++next;
    }
    if (active.empty()) return;

    steady::time_point now = steady::now();
    int timeout = -1;
    fds.clear();
    polled.clear();
    job *input_for = nullptr;
    bool resolving = false;
    for (std::size_t i : active) {
      job &j = jobs[i];
      if (j.at == stage::resolving) check_lookup(j, now);
      if (j.at == stage::resolving) {
        resolving = true;
        if (j.has_deadline) timeout = min_timeout(timeout, ms_until(j.deadline, now));
        continue;
      }
      if (j.at == stage::done) continue;
      if (j.at == stage::talking && !reply_in_time(j, s, now, timeout)) continue;
      if (j.at == stage::connecting || j.at == stage::handshaking) {
        const bool tls = j.at == stage::handshaking;
        if (j.has_deadline && j.deadline <= now) {
          complain(j, "cannot connect to %s port %s: %s", j.host.name.c_str(), j.port.c_str(),
                   tls ? "TLS handshake timed out" : "timed out");
          end_job(j, status_local);
          continue;
        }
        if (j.has_deadline) timeout = min_timeout(timeout, ms_until(j.deadline, now));
        fds.push_back({j.fd, tls ? j.tls_events : static_cast<short>(POLLOUT), 0});
      } else {
        fds.push_back({j.fd, talk_events(j, req), 0});
        if (req.reading && j.can_send && req.bytes.size() - j.sent < send_backlog) input_for = &j;
      }
      polled.push_back(&j);
    }
    if (resolving) fds.push_back({wake_fds[0], POLLIN, 0});
    if (input_for != nullptr) fds.push_back({0, POLLIN, 0});
    if (fds.empty()) continue;
    if (::poll(fds.data(), fds.size(), timeout) < 0) {
      if (errno == EINTR) continue;
      fail(status_local, "poll: %s", std::strerror(errno));
    }
    char drain[64];
    while (resolving && ::read(wake_fds[0], drain, sizeof drain) > 0) {
    }

    if (input_for != nullptr && (fds.back().revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0) {
      if (input_for->sent > 0 && input_for->sent == req.bytes.size()) {
        req.bytes.clear();
        input_for->sent = 0;
      }
      read_input(req, input_for->fd);
    }
    for (std::size_t k = 0; k < polled.size(); ++k) {
      job &j = *polled[k];
      if (fds[k].revents == 0) continue;
      if (j.at == stage::connecting) {
        connect_done(j);
      } else if (j.at == stage::handshaking) {
        handshake(j);
      } else {
        talk(j, fds[k].revents, req, s);
      }
    }
  }
}

// "exit N", "signal N" or "no status": the -b header's parenthesis.
std::string status_text(const job &j) {
  const quav::reply_reader &r = j.reply;
  if (r.remote < 0) return "no status";
  return r.remote_signalled ? "signal " + std::to_string(r.remote - 128) : "exit " + std::to_string(r.remote);
}

// -b: hosts whose output (and, with -S, status) is the same are printed
// once, under a header naming them in the order of the host list.
void print_gathered(const std::vector<job> &jobs, bool with_status) {
  std::vector<std::size_t> hashes;
  for (const job &j : jobs) hashes.push_back(std::hash<std::string>{}(j.gathered));
  std::vector<bool> shown(jobs.size());
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    if (shown[i]) continue;
    std::string head = "==> " + jobs[i].host.text;
    for (std::size_t k = i + 1; k < jobs.size(); ++k) {
      if (shown[k] || hashes[k] != hashes[i] || jobs[k].gathered != jobs[i].gathered) continue;
      if (with_status && status_text(jobs[k]) != status_text(jobs[i])) continue;
      shown[k] = true;
      head += " " + jobs[k].host.text;
    }
    if (with_status) head += " (" + status_text(jobs[i]) + ")";
    head += " <==\n";
    write_stdout(head);
    write_stdout(jobs[i].gathered);
    if (!jobs[i].gathered.empty() && jobs[i].gathered.back() != '\n') write_stdout("\n");
  }
}

}  // namespace

int main(int argc, char **argv) {
  settings s;
  const std::string command = quav::read_options(argc, argv, s);
  const bool many = s.hosts.size() > 1;

  request_bytes req;
  // First, so that a daemon that cannot tell the status runs nothing.
  if (s.want_status) req.bytes += "status\r\n";
  if (!s.env.empty()) {
    req.bytes += "env\r\n";
    for (const std::string &e : s.env) req.bytes += e + "\r\n";
    req.bytes += ".\r\n";
  }
  req.bytes += "cmd " + command + "\r\n";
  req.streamed = !many;
  req.reading = s.send_input;
  if (!s.send_input) req.bytes += "end\r\n";
  while (req.reading && (many || req.bytes.size() < prefetch_size)) {
    read_input(req, -1);
    if (many && req.input_size > max_shared_input) {
      fail(status_local, "standard input is over 64 MiB; with several hosts it is held "
                         "whole to be sent to each, so it is refused");
    }
  }

  std::vector<job> jobs(s.hosts.size());
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    job &j = jobs[i];
    j.host = s.hosts[i];
    j.port = j.host.port.empty() ? s.port : j.host.port;
    j.tag = many ? j.host.text + ": " : "";
    j.prefixed = many && s.out_dir == nullptr && !s.gather;
    j.reply = quav::reply_reader(s.copy_headers);
    j.reply.status_asked = s.want_status;
    j.acks_expected = (s.env.empty() ? 0 : 2) + 1 + (s.want_status ? 1 : 0);
  }
  // Each host at work holds a socket and maybe an output file.
  auto limit = static_cast<std::size_t>(s.parallel);
  rlimit rl{};
  if (::getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY) {
    limit = std::min<std::size_t>(limit, rl.rlim_cur > 10 ? (rl.rlim_cur - 8) / 2 : 1);
  }
  run_all(jobs, req, s, limit);
  if (s.gather) print_gathered(jobs, s.want_status);

  int worst = status_output;
  std::size_t ok = 0;
  for (const job &j : jobs) {
    worst = std::max(worst, j.status);
    ok += j.status == status_output ? 1 : 0;
  }
  if (many) std::fprintf(stderr, "%zu hosts: %zu ok, %zu failed\n", jobs.size(), ok, jobs.size() - ok);
  return worst;
}
