// quavd request protocol handler: the dialogue, the environment block, the
// replies, the relay of the script's output and the lingering close.
#include "quavd.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "quavd_internal.h"

// ---------------------------------------------------------------------------
// Request state

int quav_state = STATE_COMMAND;
char *env[MAX_ENV + 1] = {};
int env_count = 0;
char *cmd_line = nullptr;
pid_t child_pid = 0;
int child_in_fd = 0;
int child_out_fd = 0;
int in_port = 0;

namespace {

const char *const cmds[] = {"env", "cmd", "input", "port", "end", "vers", nullptr};

enum { CMD_ENV = 0, CMD_CMD, CMD_INPUT, CMD_PORT, CMD_END, CMD_VERS };

void reply(FILE *out, const char *text) {
  std::fputs(text, out);
  std::fflush(out);
}

void reply_quoted(FILE *out, const char *fmt, const char *field) {
  std::fprintf(out, fmt, field);
  std::fflush(out);
}

struct relay_state {
  FILE *out;
  std::size_t relayed;
};

void relay_chunk(relay_state &rs, const char *data, std::size_t len) {
  if (len == 0) return;
  if (rs.relayed == 0) {
    std::fprintf(rs.out, "200 Cmd started '%s'\r\n%s", cmd_line, raw_data ? "\r\n" : "");
    std::fflush(rs.out);
  }
  rs.relayed += len;
  // Once the client has gone, the rest is read and dropped.
  if (!std::ferror(rs.out)) std::fwrite(data, 1, len, rs.out);
}

// The connection's buffers: large, so that a big output leaves in few large
// writes and many input lines come in one read. Replies are flushed one by
// one all the same.
char out_buffer[64 * 1024];
char in_buffer[64 * 1024];

// Sends the script's output, what was held first, then the pipe to its end.
void relay_output(FILE *out, const char *peer_name) {
  relay_state rs{out, 0};
  relay_chunk(rs, held_head.data, held_head.len);
  if (spill_fd >= 0 && ::lseek(spill_fd, 0, SEEK_SET) == 0) {
    for (;;) {
      ssize_t n = ::read(spill_fd, io_buffer, sizeof io_buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      relay_chunk(rs, io_buffer, static_cast<std::size_t>(n));
    }
  }
  relay_chunk(rs, held_tail.data, held_tail.len);
  while (!child_out_eof) {
    ssize_t n = ::read(child_out_fd, io_buffer, sizeof io_buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    relay_chunk(rs, io_buffer, static_cast<std::size_t>(n));
  }
  if (rs.relayed == 0) {
    std::fprintf(out, "503 exec of '%s' failed\n", cmd_line);
    std::fflush(out);
  }
  close_fd(child_out_fd);
  std::fflush(out);
  wait_for_child(cmd_line, peer_name);
}

// Clears everything one connection may have left, whatever ended it.
void reset_request_state() {
  close_fd(child_in_fd);
  close_fd(child_out_fd);
  child_pid = 0;
  reset_hold();
  std::free(cmd_line);
  cmd_line = nullptr;
  free_env();
}

// Closing a socket that holds unread client bytes, or that receives more
// of them afterwards, resets the connection, and the reset destroys what the
// client has not read yet: the tail of a large output, or the 500 reply to a
// client that sent more lines behind a bad one. So end our side first and
// take what the client still sends until it closes, within bounds: at most
// 1 MiB and about a second.
void linger_before_close(int connection) {
  if (::shutdown(connection, SHUT_WR) != 0) return;
  constexpr std::size_t max_bytes = 1024 * 1024;
  constexpr int max_ms = 1000;
  timespec start{};
  ::clock_gettime(CLOCK_MONOTONIC, &start);
  std::size_t taken = 0;
  char sink[16384];
  while (taken < max_bytes) {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    long elapsed = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
    if (elapsed >= max_ms) break;
    pollfd p{connection, POLLIN, 0};
    int r = ::poll(&p, 1, static_cast<int>(max_ms - elapsed));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    ssize_t n = ::recv(connection, sink, sizeof sink, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    taken += static_cast<std::size_t>(n);
  }
}

FILE *open_stream(int connection, const char *mode) {
  int fd = ::fcntl(connection, F_DUPFD_CLOEXEC, 3);
  if (fd < 0) return nullptr;
  FILE *stream = ::fdopen(fd, mode);
  if (stream == nullptr) ::close(fd);
  return stream;
}

}  // namespace

int add_env(const char *text) {
  if (env_count >= MAX_ENV) return -1;
  char *copy = strdup(text);
  if (copy == nullptr) return -1;
  env[env_count++] = copy;
  env[env_count] = nullptr;
  return 0;
}

void free_env() {
  for (int i = 0; i < env_count; ++i) {
    std::free(env[i]);
    env[i] = nullptr;
  }
  env_count = 0;
  env[0] = nullptr;
}

int quav(int connection, const sockaddr_in * /*peer*/, const char *peer_name) {
  // Each stream owns a duplicate, so closing both never closes a number
  // twice; the listener closes the connection itself.
  FILE *in = open_stream(connection, "r");
  if (in == nullptr) return -1;
  std::setvbuf(in, in_buffer, _IOFBF, sizeof in_buffer);
  FILE *out = open_stream(connection, "w");
  if (out == nullptr) {
    std::fclose(in);
    return -1;
  }
  std::setvbuf(out, out_buffer, _IOFBF, sizeof out_buffer);

  quav_state = STATE_COMMAND;
  bool running = true;
  int result = 0;
  char line[1024];

  // Starts the script unless one runs; false when there is no command line
  // to start (the dialogue then ends with the 502 reply).
  auto launch = [&]() -> bool {
    if (child_pid != 0) return true;
    if (cmd_line == nullptr) {
      reply(out, "502 No Cmd specified\r\n");
      result = -1;
      return false;
    }
    start_cmd(cmd_line, env, peer_name, out);
    return true;
  };

  while (running) {
    if (std::fgets(line, sizeof line, in) == nullptr) break;
    std::size_t len = std::strlen(line);
    if (len >= 2 && line[len - 2] == '\r' && line[len - 1] == '\n') {
      len -= 2;
    } else if (len >= 1 && line[len - 1] == '\n') {
      len -= 1;
    }
    line[len] = '\0';

    switch (quav_state) {
      case STATE_COMMAND: {
        const char *arg = line + len;
        if (char *blank = std::strchr(line, ' '); blank != nullptr) {
          *blank = '\0';
          arg = blank + 1;
        }
        int index = -1;
        for (int i = 0; cmds[i] != nullptr; ++i) {
          if (line[0] != '\0' && ::strcasecmp(line, cmds[i]) == 0) {
            index = i;
            break;
          }
        }
        switch (index) {
          case CMD_ENV:
            quav_state = STATE_ENV;
            reply(out, "100 Enter env.  End with single '.' on a line\r\n");
            break;
          case CMD_CMD:
            if (arg[0] == '\0') {
              reply(out, "502 No Cmd specified\r\n");
              running = false;
              result = -1;
            } else if (char *copy = strdup(arg); copy == nullptr) {
              reply(out, "502 Cmd failed\r\n");
              running = false;
            } else {
              std::free(cmd_line);
              cmd_line = copy;
              reply_quoted(out, "101 Cmd accepted '%s'\r\n", cmd_line);
            }
            break;
          case CMD_INPUT:
            quav_state = STATE_INPUT;
            break;
          case CMD_PORT:
            quav_state = STATE_PORT;
            in_port = std::atoi(arg);
            break;
          case CMD_END:
            running = false;
            if (launch()) send_to_proc(nullptr);
            break;
          case CMD_VERS:
            break;
          default:
            reply_quoted(out, "500 Bad command '%s'\r\n", line);
            running = false;
            break;
        }
        break;
      }
      case STATE_ENV:
        if (len == 1 && line[0] == '.') {
          reply(out, "100 Env accepted\r\n");
          quav_state = STATE_COMMAND;
        } else if (len > 0 && add_env(line) != 0) {
          reply_quoted(out, "501 Environment full '%s'\r\n", line);
          running = false;
        }
        break;
      case STATE_INPUT:
        if (!launch()) {
          running = false;
          break;
        }
        if (len == 1 && line[0] == '.') quav_state = STATE_COMMAND;
        send_to_proc(line);
        break;
      default:
        // STATE_PORT: consumed without a reply; the dialogue ends only with
        // the end of input.
        break;
    }
  }

  if (child_pid != 0) {
    send_to_proc(nullptr);
    relay_output(out, peer_name);
  }
  std::fflush(out);
  linger_before_close(connection);
  reset_request_state();
  std::fclose(in);
  std::fclose(out);
  return result;
}
