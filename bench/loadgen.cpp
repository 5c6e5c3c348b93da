// Load client for the daemon and for the one-process-per-connection servers
// it is compared with, plus the floors that bound what any of them can do.
//
// Every mode prints one line of key=value pairs on standard output and exits
// non-zero when the exchange did not deliver what was expected, so that a
// fast but wrong run is never reported. Every loop is bounded by a count and,
// where it repeats requests, by a time budget. Loopback only.
//
// With a COMMAND the client speaks the daemon's protocol (cmd COMMAND, then
// end or input lines); without one the server is taken to run its program for
// every connection, so the request is the connection itself.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start) {
  return std::chrono::duration<double>(clock_type::now() - start).count();
}

[[noreturn]] void die(const std::string &what) {
  std::fprintf(stderr, "loadgen: %s%s%s\n", what.c_str(), errno != 0 ? ": " : "",
               errno != 0 ? std::strerror(errno) : "");
  std::exit(2);
}

[[noreturn]] void fail(const std::string &what) {
  errno = 0;
  die(what);
}

unsigned long long number(const char *text, const char *name) {
  char *end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0') fail(std::string("bad ") + name + ": " + text);
  return v;
}

int connect_loopback(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) die("socket");
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<std::uint16_t>(port));
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void write_all(int fd, const char *data, std::size_t len) {
  while (len > 0) {
    ssize_t n = ::write(fd, data, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) die("write");
    data += n;
    len -= static_cast<std::size_t>(n);
  }
}

// Reads to end of file, keeping the first `keep` bytes; returns the count.
std::size_t read_to_eof(int fd, std::string *head, std::size_t keep) {
  static char buf[1 << 18];
  std::size_t total = 0;
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) die("read");
    if (n == 0) return total;
    if (head != nullptr && head->size() < keep)
      head->append(buf, std::min<std::size_t>(static_cast<std::size_t>(n), keep - head->size()));
    total += static_cast<std::size_t>(n);
  }
}

struct latency_stats {
  std::vector<double> us;
  double elapsed = 0;
  double percentile(double p) {
    if (us.empty()) return 0;
    std::sort(us.begin(), us.end());
    std::size_t i = static_cast<std::size_t>(p * static_cast<double>(us.size() - 1) + 0.5);
    return us[std::min(i, us.size() - 1)];
  }
  void print() {
    double rate = elapsed > 0 ? static_cast<double>(us.size()) / elapsed : 0;
    double p50 = percentile(0.50);
    double p99 = percentile(0.99);
    std::printf("rate=%.1f p50_us=%.0f p99_us=%.0f n=%zu\n", rate, p50, p99, us.size());
  }
};

// LOADGEN_STATUS set: each request asks for the exit status first (a
// daemon run with -S), whose 102 reply comes before the cmd's.
const bool ask_status = std::getenv("LOADGEN_STATUS") != nullptr;

// The reply after the acknowledgement of the cmd command.
std::string after_ack(std::string reply) {
  if (ask_status && reply.rfind("102 Status after output '", 0) == 0) reply.erase(0, reply.find("\r\n") + 2);
  std::size_t eol = reply.find("\r\n");
  if (reply.rfind("101 Cmd accepted '", 0) != 0 || eol == std::string::npos)
    fail("no acknowledgement in: " + reply.substr(0, 200));
  return reply.substr(eol + 2);
}

// One request: connect, send it, read the reply to its end. Returns its
// latency in microseconds, or a negative number when the connection failed.
double one_request(int port, const std::string &request, const char *command, char *buf,
                   std::size_t buf_size) {
  auto t0 = clock_type::now();
  int fd = connect_loopback(port);
  if (fd < 0) return -1;
  if (!request.empty()) write_all(fd, request.data(), request.size());
  std::string head;
  for (;;) {
    // A connection the server never took (its queue was full) looks
    // established from here and would be waited on for ever.
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 30000) == 0) fail("no reply for 30 s");
    ssize_t n = ::read(fd, buf, buf_size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) die("read");
    if (n == 0) break;
    if (head.size() < 512) head.append(buf, std::min<std::size_t>(static_cast<std::size_t>(n), 512));
  }
  ::close(fd);
  // The no-op script writes nothing: the daemon says so, a plain server
  // just closes.
  if (command != nullptr) {
    std::string rest = after_ack(head);
    if (rest.rfind("503 exec of '", 0) != 0 && rest.rfind("200 ", 0) != 0)
      fail("unexpected reply: " + head.substr(0, 200));
  }
  return seconds_since(t0) * 1e6;
}

// The processes whose parent is pid (the daemon's handlers), or -1.
int children_of(long pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
  if (!in) return -1;
  int n = 0;
  for (long child; in >> child;) ++n;
  return n;
}

// K clients at once, each connecting, sending and reading one request after
// another, until max_requests have been made in all or the time is up. With
// a watched pid, also reports the most children it was seen to have.
int mode_concurrent(int port, unsigned clients, unsigned long long max_requests, double budget,
                    long watch_pid, const char *command) {
  if (clients == 0 || clients > 1024) fail("clients must be 1..1024");
  std::string request;
  if (command != nullptr) request = std::string(ask_status ? "status\r\n" : "") + "cmd " + command + "\r\nend\r\n";
  std::vector<std::vector<double>> per_client(clients);
  std::atomic<unsigned long long> issued{0};
  std::atomic<bool> done{false};
  int most_children = 0;
  std::thread watcher;
  if (watch_pid > 0) {
    watcher = std::thread([&] {
      while (!done) {
        most_children = std::max(most_children, children_of(watch_pid));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    });
  }
  auto start = clock_type::now();
  std::vector<std::thread> threads;
  for (unsigned i = 0; i < clients; ++i) {
    threads.emplace_back([&, i] {
      std::vector<char> buf(1 << 16);
      unsigned failures = 0;
      while (issued.fetch_add(1) < max_requests && seconds_since(start) < budget) {
        double us = one_request(port, request, command, buf.data(), buf.size());
        if (us < 0) {
          if (++failures > 20) die("connect keeps failing");
          continue;
        }
        per_client[i].push_back(us);
      }
    });
  }
  for (auto &t : threads) t.join();
  latency_stats st;
  st.elapsed = seconds_since(start);
  done = true;
  if (watcher.joinable()) watcher.join();
  for (auto &v : per_client) st.us.insert(st.us.end(), v.begin(), v.end());
  st.print();
  if (watch_pid > 0) std::printf("max_children=%d\n", most_children);
  return 0;
}

// Sequential requests: one client.
int mode_rate(int port, unsigned long long max_requests, double budget, const char *command) {
  return mode_concurrent(port, 1, max_requests, budget, 0, command);
}

// The reference that emit's output is checked against: byte p is 'a' + p % 26.
const std::string &pattern() {
  static std::string p = [] {
    std::string s(26 * 4096, '\0');
    for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<char>('a' + i % 26);
    return s;
  }();
  return p;
}

bool matches_pattern(const char *data, std::size_t len, unsigned long long pos) {
  const std::string &ref = pattern();
  std::size_t span = ref.size() - 26;
  while (len > 0) {
    std::size_t n = std::min(len, span);
    if (std::memcmp(data, ref.data() + pos % 26, n) != 0) return false;
    data += n;
    len -= n;
    pos += n;
  }
  return true;
}

// Reads to end of file, checking every byte against the pattern; returns
// the count. The floors read this way too, so that they do the same work as
// the client of a server.
unsigned long long read_checked(int fd) {
  static char buf[1 << 18];
  unsigned long long total = 0;
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) die("read");
    if (n == 0) return total;
    if (!matches_pattern(buf, static_cast<std::size_t>(n), total)) fail("bytes differ from the pattern");
    total += static_cast<unsigned long long>(n);
  }
}

void print_throughput(unsigned long long bytes, double elapsed) {
  std::printf("mibps=%.1f bytes=%llu seconds=%.3f\n",
              static_cast<double>(bytes) / (1024.0 * 1024.0) / elapsed, bytes, elapsed);
}

// One request whose script writes `bytes` bytes; checks every byte.
int mode_relay(int port, unsigned long long bytes, const char *command) {
  auto start = clock_type::now();
  int fd = connect_loopback(port);
  if (fd < 0) die("connect");
  if (command != nullptr) {
    std::string request = std::string("cmd ") + command + "\r\nend\r\n";
    write_all(fd, request.data(), request.size());
  }
  static char buf[1 << 18];
  std::string header;
  bool in_header = command != nullptr;
  unsigned long long body = 0;
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) die("read");
    if (n == 0) break;
    const char *p = buf;
    std::size_t len = static_cast<std::size_t>(n);
    if (in_header) {
      // The reply line and the empty line that ends the header block.
      std::size_t old = header.size();
      header.append(p, std::min<std::size_t>(len, 4096));
      std::size_t ack_end = header.find("\r\n");
      std::size_t end = ack_end == std::string::npos ? ack_end : header.find("\r\n\r\n", ack_end + 2);
      if (end == std::string::npos) {
        if (header.size() >= 4096) fail("no header end in: " + header.substr(0, 200));
        continue;
      }
      if (after_ack(header).rfind("200 Cmd started '", 0) != 0)
        fail("unexpected reply: " + header.substr(0, 200));
      std::size_t used = end + 4 - old;
      p += used;
      len -= used;
      in_header = false;
    }
    if (!matches_pattern(p, len, body)) fail("relayed bytes differ from what the script wrote");
    body += len;
  }
  double elapsed = seconds_since(start);
  ::close(fd);
  if (body != bytes) fail("relayed " + std::to_string(body) + " bytes, expected " + std::to_string(bytes));
  print_throughput(bytes, elapsed);
  return 0;
}

std::string make_lines(std::size_t count, std::size_t len) {
  std::string line(len - 2, 'x');
  line += "\r\n";
  std::string block;
  block.reserve(count * len);
  for (std::size_t i = 0; i < count; ++i) block += line;
  return block;
}

unsigned long long parse_count(const std::string &text) {
  std::size_t i = text.size();
  while (i > 0 && (text[i - 1] == '\n' || text[i - 1] == '\r')) --i;
  std::size_t j = i;
  while (j > 0 && text[j - 1] >= '0' && text[j - 1] <= '9') --j;
  if (j == i) fail("no count in reply: " + text.substr(0, 200));
  return std::strtoull(text.substr(j, i - j).c_str(), nullptr, 10);
}

// Many lines into the sink script while its reply is read; the sink's count
// proves that every byte arrived.
int mode_input(int port, unsigned long long lines, std::size_t len, const char *command) {
  if (len < 3 || len > 1020) fail("line length must be 3..1020");
  const std::size_t per_block = 64;
  std::string block = make_lines(per_block, len);
  std::string prefix = command != nullptr ? std::string("cmd ") + command + "\r\ninput\r\n" : "";
  std::string suffix = command != nullptr ? ".\r\nend\r\n" : "";

  auto start = clock_type::now();
  int fd = connect_loopback(port);
  if (fd < 0) die("connect");
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);

  unsigned long long lines_left = lines;
  std::string pending = prefix;
  std::size_t pending_off = 0;
  bool sent_all = false;
  std::string reply;
  static char buf[1 << 16];
  for (;;) {
    if (pending_off == pending.size() && !sent_all) {
      pending_off = 0;
      if (lines_left > 0) {
        std::size_t n = static_cast<std::size_t>(std::min<unsigned long long>(lines_left, per_block));
        pending.assign(block, 0, n * len);
        lines_left -= n;
      } else if (!suffix.empty() && pending != suffix) {
        pending = suffix;
      } else {
        sent_all = true;
        pending.clear();
        if (command == nullptr) ::shutdown(fd, SHUT_WR);
      }
    }
    pollfd p{fd, static_cast<short>(POLLIN | (sent_all ? 0 : POLLOUT)), 0};
    if (::poll(&p, 1, 60000) <= 0) die("poll (stalled for 60 s)");
    if ((p.revents & POLLOUT) != 0 && !sent_all) {
      ssize_t n = ::write(fd, pending.data() + pending_off, pending.size() - pending_off);
      if (n < 0 && errno != EAGAIN && errno != EINTR) die("write");
      if (n > 0) pending_off += static_cast<std::size_t>(n);
    }
    if ((p.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      ssize_t n = ::read(fd, buf, sizeof buf);
      if (n < 0 && errno != EAGAIN && errno != EINTR) die("read");
      if (n == 0) break;
      if (n > 0 && reply.size() < 65536) reply.append(buf, static_cast<std::size_t>(n));
    }
  }
  double elapsed = seconds_since(start);
  ::close(fd);
  // The daemon hands each line to the script without its line end and the
  // closing "." as well; a plain server passes the bytes unchanged.
  unsigned long long expected = command != nullptr ? lines * (len - 2) + 1 : lines * len;
  if (!sent_all) fail("connection closed before all input was sent");
  if (parse_count(reply) != expected)
    fail("sink counted " + std::to_string(parse_count(reply)) + " bytes, expected " + std::to_string(expected));
  print_throughput(lines * len, elapsed);
  return 0;
}

char *const empty_env[] = {nullptr};

// The floor of a launch: fork, exec the same program, wait.
int mode_fork(const char *prog, unsigned long long max_requests, double budget, bool spawn) {
  char *argv[] = {const_cast<char *>(prog), nullptr};
  latency_stats st;
  st.us.reserve(max_requests);
  auto start = clock_type::now();
  while (st.us.size() < max_requests && seconds_since(start) < budget) {
    auto t0 = clock_type::now();
    pid_t pid;
    if (spawn) {
      if (::posix_spawn(&pid, prog, nullptr, nullptr, argv, empty_env) != 0) die("posix_spawn");
    } else {
      pid = ::fork();
      if (pid < 0) die("fork");
      if (pid == 0) {
        ::execve(prog, argv, empty_env);
        ::_exit(127);
      }
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || status != 0) fail("program failed");
    st.us.push_back(seconds_since(t0) * 1e6);
  }
  st.elapsed = seconds_since(start);
  st.print();
  return 0;
}

pid_t start_with_pipes(const char *prog, char *const argv[], int *to_child, int *from_child) {
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) die("pipe");
  pid_t pid = ::fork();
  if (pid < 0) die("fork");
  if (pid == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::execve(prog, argv, empty_env);
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  if (to_child != nullptr) {
    *to_child = in[1];
  } else {
    ::close(in[1]);
  }
  *from_child = out[0];
  return pid;
}

// The floor of the relay: the script's output read straight from its pipe.
int mode_pipe_relay(const char *prog, unsigned long long bytes) {
  std::string count = std::to_string(bytes);
  char *argv[] = {const_cast<char *>(prog), count.data(), nullptr};
  auto start = clock_type::now();
  int from;
  pid_t pid = start_with_pipes(prog, argv, nullptr, &from);
  unsigned long long got = read_checked(from);
  double elapsed = seconds_since(start);
  ::close(from);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (got != bytes || status != 0) fail("pipe relay delivered " + std::to_string(got) + " bytes");
  print_throughput(bytes, elapsed);
  return 0;
}

// The floor of the input: the same lines written into the sink's pipe, one
// line per write.
int mode_pipe_input(const char *prog, unsigned long long lines, std::size_t len) {
  if (len < 3) fail("line length must be at least 3");
  std::string line = make_lines(1, len);
  char *argv[] = {const_cast<char *>(prog), nullptr};
  auto start = clock_type::now();
  int to, from;
  pid_t pid = start_with_pipes(prog, argv, &to, &from);
  for (unsigned long long i = 0; i < lines; ++i) write_all(to, line.data(), line.size());
  ::close(to);
  std::string reply;
  read_to_eof(from, &reply, 64);
  double elapsed = seconds_since(start);
  ::close(from);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (parse_count(reply) != lines * len || status != 0) fail("sink count wrong: " + reply);
  print_throughput(lines * len, elapsed);
  return 0;
}

// The floor of any network exchange: a plain loopback TCP stream.
int mode_tcp_stream(unsigned long long bytes) {
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0) die("socket");
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t sl = sizeof sa;
  if (::bind(listener, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || ::listen(listener, 1) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr *>(&sa), &sl) != 0)
    die("listen");
  auto start = clock_type::now();
  pid_t pid = ::fork();
  if (pid < 0) die("fork");
  if (pid == 0) {
    int fd = connect_loopback(ntohs(sa.sin_port));
    if (fd < 0) ::_exit(1);
    // The same pattern and write size as the emit script.
    const std::string &ref = pattern();
    const std::size_t block = 26 * 2520;
    unsigned long long done = 0;
    while (done < bytes) {
      std::size_t n = static_cast<std::size_t>(std::min<unsigned long long>(bytes - done, block));
      ssize_t w = ::write(fd, ref.data() + done % 26, n);
      if (w <= 0) ::_exit(1);
      done += static_cast<unsigned long long>(w);
    }
    ::_exit(0);
  }
  int fd = ::accept(listener, nullptr, nullptr);
  if (fd < 0) die("accept");
  unsigned long long got = read_checked(fd);
  double elapsed = seconds_since(start);
  ::close(fd);
  ::close(listener);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (got != bytes || status != 0) fail("tcp stream delivered " + std::to_string(got) + " bytes");
  print_throughput(bytes, elapsed);
  return 0;
}

int mode_free_port() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t sl = sizeof sa;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &sl) != 0)
    die("free port");
  std::printf("%d\n", ntohs(sa.sin_port));
  ::close(fd);
  return 0;
}

// Waits until something listens on the port, without connecting (a connection
// would make a plain server run its program).
bool listening(int port) {
  for (const char *file : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(file);
    std::string line;
    char want[16];
    std::snprintf(want, sizeof want, ":%04X ", port);
    while (std::getline(in, line)) {
      // local_address is the second field, st (0A = LISTEN) the fourth.
      std::size_t local = line.find(':');
      if (local == std::string::npos) continue;
      std::size_t addr_end = line.find(' ', local + 2);
      if (addr_end == std::string::npos) continue;
      std::string addr = line.substr(local + 2, addr_end - local - 2) + " ";
      if (addr.size() < 6 || addr.compare(addr.size() - 6, 6, want) != 0) continue;
      std::size_t st = line.find(' ', line.find(' ', addr_end + 1) + 1);
      if (st != std::string::npos && line.compare(st - 2, 2, "0A") == 0) return true;
    }
  }
  return false;
}

int mode_wait_listen(int port, double budget) {
  auto start = clock_type::now();
  while (seconds_since(start) < budget) {
    if (listening(port)) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  fail("nothing listens on port " + std::to_string(port));
}

[[noreturn]] void usage() {
  std::fprintf(stderr,
               "usage: loadgen rate PORT MAX_REQUESTS SECONDS [COMMAND]\n"
               "       loadgen concurrent PORT CLIENTS MAX_REQUESTS SECONDS WATCH_PID|0 [COMMAND]\n"
               "       loadgen relay PORT BYTES [COMMAND]\n"
               "       loadgen input PORT LINES LINE_LEN [COMMAND]\n"
               "       loadgen fork|spawn PROGRAM MAX_REQUESTS SECONDS\n"
               "       loadgen pipe-relay EMIT BYTES\n"
               "       loadgen pipe-input SINK LINES LINE_LEN\n"
               "       loadgen tcp-stream BYTES\n"
               "       loadgen free-port\n"
               "       loadgen wait-listen PORT SECONDS\n");
  std::exit(2);
}

}  // namespace

int main(int argc, char **argv) {
  ::signal(SIGPIPE, SIG_IGN);
  if (argc < 2) usage();
  std::string mode = argv[1];
  auto arg = [&](int i) -> const char * { return i < argc ? argv[i] : nullptr; };
  auto need = [&](int n) {
    if (argc < n) usage();
  };
  if (mode == "rate") {
    need(5);
    return mode_rate(static_cast<int>(number(argv[2], "port")), number(argv[3], "count"),
                     std::atof(argv[4]), arg(5));
  }
  if (mode == "concurrent") {
    need(7);
    return mode_concurrent(static_cast<int>(number(argv[2], "port")),
                           static_cast<unsigned>(number(argv[3], "clients")), number(argv[4], "count"),
                           std::atof(argv[5]), static_cast<long>(number(argv[6], "pid")), arg(7));
  }
  if (mode == "relay") {
    need(4);
    return mode_relay(static_cast<int>(number(argv[2], "port")), number(argv[3], "bytes"), arg(4));
  }
  if (mode == "input") {
    need(5);
    return mode_input(static_cast<int>(number(argv[2], "port")), number(argv[3], "lines"),
                      static_cast<std::size_t>(number(argv[4], "line length")), arg(5));
  }
  if (mode == "fork" || mode == "spawn") {
    need(5);
    return mode_fork(argv[2], number(argv[3], "count"), std::atof(argv[4]), mode == "spawn");
  }
  if (mode == "pipe-relay") {
    need(4);
    return mode_pipe_relay(argv[2], number(argv[3], "bytes"));
  }
  if (mode == "pipe-input") {
    need(5);
    return mode_pipe_input(argv[2], number(argv[3], "lines"),
                           static_cast<std::size_t>(number(argv[4], "line length")));
  }
  if (mode == "tcp-stream") {
    need(3);
    return mode_tcp_stream(number(argv[2], "bytes"));
  }
  if (mode == "free-port") return mode_free_port();
  if (mode == "wait-listen") {
    need(4);
    return mode_wait_listen(static_cast<int>(number(argv[2], "port")), std::atof(argv[3]));
  }
  usage();
}
