// Shared helpers for the tests: temporary server roots, a daemon started
// as a real process on a free loopback port, and a bounded client.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <chrono>
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

// A TCP port on 127.0.0.1 that was free a moment ago.
int free_port();

// Result of running a program to its end.
struct run_result {
  int status = -1;  // exit status, or 128+signal
  std::string out;
  std::string err;
};
// Runs the program with the arguments in dir, waiting at most the timeout.
run_result run_program(const std::vector<std::string> &args, const std::string &dir,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10),
                       const std::string &input = "");

// The daemon as a child process.
struct daemon_proc {
  pid_t pid = -1;
  int port = 0;
  std::string root;
  std::string err_path;  // its standard error goes here
  // When above 0, the daemon's descriptor limit (RLIMIT_NOFILE), set before
  // it starts.
  int fd_limit = 0;
  ~daemon_proc();
  // Starts quavd with "-p port" and the extra arguments in root, waits until
  // it accepts connections. Returns false (and leaves pid -1) if it did not.
  // If the environment variable QUAVD_WRAPPER is set, its blank-separated
  // words are put before the daemon's command (e.g. a memory checker); the
  // first word is looked up along PATH.
  bool start(const std::string &root_dir, const std::vector<std::string> &extra = {},
             const std::string &binary = "");
  void stop();
  // Descriptors the daemon has open (from /proc), or -1.
  int open_fds() const;
  // Descriptors the daemon has open once it holds no connection (only its
  // listening socket), waiting up to 5 s for that; -1 if it never does. A
  // client sees the end of its reply a moment before the daemon closes.
  int idle_fds() const;
  // Children of the daemon that are zombies.
  int zombie_children() const;
  // Resident memory in KiB, or -1.
  long rss_kib() const;
  // Changes the running daemon's soft descriptor limit (up to its hard one).
  bool set_fd_limit(int limit) const;
};

// Connects to 127.0.0.1:port, optionally from a given local address, sends
// the request (and half-closes if asked), reads until the daemon closes or
// the timeout passes. Returns what was read.
struct exchange_options {
  std::string source_addr;  // e.g. "127.0.0.2"; empty for any
  bool half_close = false;
  std::chrono::milliseconds timeout = std::chrono::seconds(10);
};
std::string exchange(int port, const std::string &request, const exchange_options &opt = {});
// Same with default options.
std::string exchange(int port, const std::string &request, bool half_close);

// Polls until pred() holds or the timeout passes; returns pred().
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

// Lines of a file, without their line ends.
std::vector<std::string> read_lines(const std::string &path);
// Number of lines of the log that contain the text.
int count_lines_with(const std::string &path, const std::string &text);

}  // namespace harness
