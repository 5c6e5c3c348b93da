// Shared helpers for the tests: temporary server roots, the daemon started
// as a real process on a free loopback port, bounded clients, log reading.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace harness {

// A fresh directory below $TMPDIR (or /tmp), removed with its contents.
struct temp_dir {
  std::string path;
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir &) = delete;
  temp_dir &operator=(const temp_dir &) = delete;
};

void write_file(const std::string &path, const std::string &content, int mode = 0644);
// Writes an executable /bin/sh script (the "#!/bin/sh\n" line is added).
void write_script(const std::string &path, const std::string &body);
std::string read_file(const std::string &path);
bool file_exists(const std::string &path);
void make_dirs(const std::string &path);
std::vector<std::string> read_lines(const std::string &path);  // without line ends
int count_lines_with(const std::string &path, const std::string &text);

// A TCP port on 127.0.0.1 that was free a moment ago.
int free_port();

struct run_result {
  int status = -1;  // exit status, or 128+signal
  std::string out;
  std::string err;
};
// Runs the program in dir with the input, waiting at most the timeout.
run_result run_program(const std::vector<std::string> &args, const std::string &dir,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10),
                       const std::string &input = "");

// What the descriptor of a process refers to ("" when it is not open).
std::string fd_target(pid_t pid, int fd);

// The daemon as a child process.
struct daemon_proc {
  pid_t pid = -1;
  int port = 0;
  std::string root;
  std::string err_path;  // its standard error goes here
  int fd_limit = 0;      // when above 0, its RLIMIT_NOFILE from the start
  std::vector<int> closed_std;  // standard descriptors closed at its start
  int inherit_up_to = 0;        // it inherits /dev/null on 3..this
  ~daemon_proc();
  // Starts quavd with "-p <free port>" and the extra arguments in root and
  // waits for its pid file. The blank-separated words of $QUAVD_WRAPPER
  // (e.g. a memory checker) go before the daemon's command.
  bool start(const std::string &root_dir, const std::vector<std::string> &extra = {});
  // Starts quavd with exactly these options in dir and waits for its pid
  // file in pid_dir (dir when empty); false if the daemon ended first.
  bool start_raw(const std::vector<std::string> &options, const std::string &dir,
                 const std::string &pid_dir = "");
  void stop();
  int open_fds() const;  // or -1
  // Descriptors once it holds no connection (only its listening socket),
  // waiting up to 5 s for that; -1 if it never does. A client sees the end
  // of its reply a moment before the daemon closes.
  int idle_fds() const;
  int zombie_children() const;
  bool set_fd_limit(int limit) const;  // the soft limit, while it runs
};

// Connects to 127.0.0.1:port (optionally from a given local address), sends
// the request, half-closes if asked, reads until the daemon closes or the
// timeout passes. Returns what was read.
struct exchange_options {
  std::string source_addr;  // e.g. "127.0.0.2"; empty for any
  bool half_close = false;
  std::chrono::milliseconds timeout = std::chrono::seconds(10);
};
std::string exchange(int port, const std::string &request, const exchange_options &opt = {});
std::string exchange(int port, const std::string &request, bool half_close);

// A connection kept open by the test, for clients that never half-close,
// wait for each reply or leave early.
struct client {
  int fd = -1;
  explicit client(int port);
  ~client() { close(); }
  client(const client &) = delete;
  client &operator=(const client &) = delete;
  void close();
  bool send_all(const std::string &data) const;
  // Reads until the daemon closes (true), at least `want` bytes have come
  // (false), or the timeout passes (false).
  bool read_until_closed(std::string &got, std::size_t want = static_cast<std::size_t>(-1),
                         std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
};

template <typename Pred>
bool wait_until(Pred pred, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
  auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    if (pred()) return true;
    struct timespec ts {0, 10 * 1000 * 1000};
    nanosleep(&ts, nullptr);
  }
  return pred();
}

// The name the daemon logs for a client on 127.0.0.1, found the way the
// daemon finds it (the naming itself is tested on its own).
std::string loopback_peer_name();

// True for the 24-character time text, e.g. "Sun Dec  6 18:33:56 2026".
bool is_ctime_text(const std::string &t);
// The message of a local log line "[<time text>] message", or nothing when
// the line does not have that form.
std::optional<std::string> log_message(const std::string &line);

}  // namespace harness
