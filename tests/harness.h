// Shared test helpers: temporary server roots, the real daemon started on a
// free loopback port, bounded clients, and the local log read back.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>
#include <time.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace harness {

using namespace std::chrono_literals;

// The hosts file every test sees: localhost on both loopback addresses, and
// names of its own for a few more, which no machine has by chance.
inline constexpr char test_hosts[] =
    "127.0.0.1 localhost\n::1 localhost\n"
    "127.0.10.1 a.quavd.test\n127.0.10.2 b.quavd.test\n127.0.10.3 c.quavd.test\n";

// A fresh directory below $TMPDIR (or /tmp), removed with its contents.
struct temp_dir {
  std::string path;
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir &) = delete;
  temp_dir &operator=(const temp_dir &) = delete;
};

// Creates missing parent directories as well.
void write_file(const std::string &path, const std::string &content, int mode = 0644);
// An executable /bin/sh script ("#!/bin/sh\n" is added).
void write_script(const std::string &path, const std::string &body);
std::string read_file(const std::string &path);
bool file_exists(const std::string &path);
void make_dirs(const std::string &path);
std::vector<std::string> read_lines(const std::string &path);  // without line ends

// A TCP port on 127.0.0.1 that was free a moment ago.
int free_port();

struct run_result {
  int status = -1;  // exit status, 128+signal, or -1 when it had to be killed
  std::string out;
  std::string err;
};
run_result run_program(const std::vector<std::string> &args, const std::string &dir,
                       std::chrono::milliseconds timeout = 10s, const std::string &input = "");

// What a descriptor of a process refers to ("" when it is not open).
std::string fd_target(pid_t pid, int fd);

// The daemon as a child process; it dies with the test process.
struct daemon_proc {
  pid_t pid = -1;
  int port = 0;
  std::string binary = QUAVD_BINARY;
  std::string root;
  std::string err_path;         // its standard error
  ~daemon_proc();
  // "-p <free port>" and the extra options, in root, as start_raw. The words of $QUAVD_WRAPPER (a memory checker) go first.
  bool start(const std::string &root_dir, const std::vector<std::string> &extra = {});
  // Exactly these options, in dir; waits until it listens and waits for
  // clients. False when the daemon ended first.
  bool start_raw(const std::vector<std::string> &options, const std::string &dir);
  void stop();
  int open_fds() const;  // or -1
  // Descriptors once it holds no connection (waits up to 5 s); -1 if never.
  int idle_fds() const;
  // Zombies among its children and theirs (the pool's handlers' scripts).
  int zombie_children() const;
  // Its live children: with -c above 1, the pool's handlers.
  std::vector<pid_t> children() const;
  // The descriptor counts of the handlers that hold no connection, and how
  // many handlers hold one.
  std::vector<int> idle_handler_fds(int *busy = nullptr) const;
  bool set_fd_limit(int limit) const;  // the soft limit, while it runs
};

// A connection to 127.0.0.1:port (from source_addr when given); what it
// receives gathers in got.
struct client {
  int fd = -1;
  std::string got;
  bool reset = false;  // the daemon reset the connection
  explicit client(int port, const std::string &source_addr = "");
  ~client() { close(); }
  client(const client &) = delete;
  client &operator=(const client &) = delete;
  void close();
  // Writes all of data, taking what arrives meanwhile; false when the
  // daemon stopped reading first.
  bool send(std::string_view data, std::chrono::milliseconds timeout = 30s);
  // Reads until the daemon closes (true), got holds `want` bytes (false),
  // or the timeout passes (false).
  bool read_until_closed(std::size_t want = std::string::npos, std::chrono::milliseconds timeout = 30s);
};

template <typename Pred>
bool wait_until(Pred pred, std::chrono::milliseconds timeout = 5s) {
  auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    if (pred()) return true;
    timespec ts{0, 10 * 1000 * 1000};
    nanosleep(&ts, nullptr);
  }
  return pred();
}

// Equal texts; a long one that differs is shown only around the first
// difference.
::testing::AssertionResult same(const std::string &got, const std::string &want);

// The name the daemon logs for a client on 127.0.0.1 (or ::1), found as it
// finds it.
std::string loopback_peer_name(bool v6 = false);

// The message of a local log line "[<ctime text>] message", or nothing
// when the line does not have that form.
std::optional<std::string> log_message(const std::string &line);

// A server root (one level below a temporary directory, so that paths
// climbing out of it stay in the test's own) served by a daemon.
struct served_root {
  temp_dir tmp;
  std::string root = tmp.path + "/root";
  daemon_proc daemon;
  explicit served_root(const std::vector<std::string> &options = {"-l"});
  int port() const { return daemon.port; }
  void script(const std::string &rel, const std::string &body) const;
  std::vector<std::string> log() const;  // messages; each line's form checked
  int count_log(const std::string &message) const;
  int outcome_lines() const;  // lines that start "command '"
  std::string send(const std::string &request, bool half_close = true,
                   std::chrono::milliseconds timeout = 20s) const;
};

inline std::string accepted(const std::string &cmd) { return "101 Cmd accepted '" + cmd + "'\r\n"; }
inline std::string started(const std::string &cmd) { return "200 Cmd started '" + cmd + "'\r\n\r\n"; }
inline std::string served(const std::string &cmd, const std::string &body) {
  return accepted(cmd) + started(cmd) + body;
}

}  // namespace harness
