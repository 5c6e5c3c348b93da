// quav's command line: the options read into its settings, and the
// request checked against what the protocol can carry before connecting.
#pragma once

#include <string>
#include <vector>

#include "quav_hosts.h"

namespace quav {

constexpr int max_env = 50;  // the daemon's environment block
constexpr long default_parallel = 32;
constexpr double default_wait = 10;  // seconds per connect, with several hosts

// What quav was asked to do.
struct settings {
  std::vector<quav::host> hosts;
  std::string port = "8001";  // for hosts without their own
  std::vector<std::string> env;
  bool send_input = false;
  bool copy_headers = false;
  long parallel = default_parallel;
  const char *out_dir = nullptr;
  double wait = 0;  // connect bound in seconds; 0: none
  bool want_status = false;  // -S
  bool gather = false;       // -b, with several hosts and no -o
};

// "quav: " and the message on standard error, then the exit.
[[gnu::format(printf, 2, 3)]] [[noreturn]] void fail(int status, const char *fmt, ...);

// Reads the options into s (-h and -V print and exit; a bad one exits with
// status 4), checks what the protocol cannot carry and returns the encoded
// command line.
std::string read_options(int argc, char **argv, settings &s);

}  // namespace quav
