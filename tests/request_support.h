// Helpers shared by the end-to-end tests of the request dialogue and the
// script launch: a served root with a logging daemon, the log's messages,
// and the peer name the daemon gives a loopback client.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "harness.h"
#include "quavd.h"

namespace request_support {

// The name the daemon logs for a client on 127.0.0.1, found the same way the
// daemon finds it (the naming itself is tested elsewhere).
inline std::string loopback_peer_name() {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  char name[1024];
  map_sockaddr_to_name(&sa, name, sizeof name);
  return name;
}

// A server root with a daemon logging to quavd.log in it.
struct served_root {
  harness::temp_dir tmp;  // the root lives one level down, so that paths
                          // climbing out of it still stay in the test's dir
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
  // The log's messages without their time stamps.
  std::vector<std::string> log() const {
    std::vector<std::string> out;
    for (const auto &line : harness::read_lines(root + "/quavd.log")) {
      auto end = line.find("] ");
      out.push_back(end == std::string::npos ? line : line.substr(end + 2));
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

// A client connection kept open by the test, for the cases exchange() does
// not cover: a client that never half-closes, or one that leaves early.
struct client {
  int fd = -1;
  explicit client(int port) {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<uint16_t>(port));
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
      ::close(fd);
      fd = -1;
    }
  }
  ~client() { close(); }
  client(const client &) = delete;
  client &operator=(const client &) = delete;
  void close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  bool send_all(const std::string &data) const {
    std::size_t done = 0;
    while (done < data.size()) {
      ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }
  // Reads until the daemon closes (true), at least `want` bytes have come
  // (false), or the timeout passes (false).
  bool read_until_closed(std::string &got, std::size_t want = static_cast<std::size_t>(-1),
                         std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (got.size() < want) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      end - std::chrono::steady_clock::now())
                      .count();
      if (left <= 0) return false;
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char buf[65536];
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n == 0) return true;
      if (n < 0) return false;
      got.append(buf, static_cast<std::size_t>(n));
    }
    return false;
  }
};

// The reply to a cmd line and the header of the relayed output, with the
// empty line the daemon adds by default.
inline std::string accepted(const std::string &cmd) { return "101 Cmd accepted '" + cmd + "'\r\n"; }
inline std::string started(const std::string &cmd) {
  return "200 Cmd started '" + cmd + "'\r\n\r\n";
}

}  // namespace request_support
