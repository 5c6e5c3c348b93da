// Helpers for the end-to-end tests of the request dialogue: a served root
// with a logging daemon, its log's messages, and the reply texts.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "harness.h"

namespace request_support {

using harness::client;
using harness::loopback_peer_name;

// A server root with a daemon logging to quavd.log in it.
struct served_root {
  harness::temp_dir tmp;  // the root is one level down, so that paths
                          // climbing out of it stay in the test's dir
  std::string root = tmp.path + "/root";
  harness::daemon_proc daemon;

  explicit served_root(const std::vector<std::string> &extra = {"-l"}) {
    harness::make_dirs(root);
    if (!daemon.start(root, extra)) ADD_FAILURE() << "daemon did not start";
  }
  int port() const { return daemon.port; }
  void script(const std::string &rel, const std::string &body) const {
    harness::make_dirs(parent_of(root + "/" + rel));
    harness::write_script(root + "/" + rel, body);
  }
  // Installs the program that reports its arguments, environment and input.
  void reporter(const std::string &rel) const {
    harness::make_dirs(parent_of(root + "/" + rel));
    harness::write_file(root + "/" + rel, harness::read_file(QUAVD_TEST_ARGV), 0755);
  }
  // The log's messages; every line must have the local log's form.
  std::vector<std::string> log() const {
    std::vector<std::string> out;
    for (const auto &line : harness::read_lines(root + "/quavd.log")) {
      auto m = harness::log_message(line);
      EXPECT_TRUE(m.has_value()) << "malformed log line: " << line;
      out.push_back(m.value_or(line));
    }
    return out;
  }
  int count_log(const std::string &message) const {
    int n = 0;
    for (const auto &m : log()) n += m == message ? 1 : 0;
    return n;
  }
  // Lines that report how a script ended (or that it could not be run).
  int outcome_lines() const {
    int n = 0;
    for (const auto &m : log()) n += m.rfind("command '", 0) == 0 ? 1 : 0;
    return n;
  }
  std::string send(const std::string &request, bool half_close = true,
                   std::chrono::milliseconds timeout = std::chrono::seconds(20)) const {
    harness::exchange_options opt;
    opt.half_close = half_close;
    opt.timeout = timeout;
    return harness::exchange(daemon.port, request, opt);
  }
  static std::string parent_of(const std::string &path) {
    return path.substr(0, path.rfind('/'));
  }
};

// What the reporting program prints for this argument vector, environment
// and input.
inline std::string report(const std::vector<std::string> &args,
                          const std::vector<std::string> &env = {}, const std::string &input = "") {
  std::string out = "argc=" + std::to_string(args.size()) + "\n";
  for (std::size_t i = 0; i < args.size(); ++i) out += "argv[" + std::to_string(i) + "]=" + args[i] + "\n";
  for (std::size_t i = 0; i < env.size(); ++i) out += "env[" + std::to_string(i) + "]=" + env[i] + "\n";
  return out + "in(" + std::to_string(input.size()) + ")=" + input + "\n";
}

inline std::string accepted(const std::string &cmd) { return "101 Cmd accepted '" + cmd + "'\r\n"; }
// The 200 line with the empty line the daemon adds by default.
inline std::string started(const std::string &cmd) {
  return "200 Cmd started '" + cmd + "'\r\n\r\n";
}
inline std::string served(const std::string &cmd, const std::string &body) {
  return accepted(cmd) + started(cmd) + body;
}

}  // namespace request_support
