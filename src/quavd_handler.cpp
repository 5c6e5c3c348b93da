// quavd request protocol handler: the dialogue, the environment block, the
// replies, the relay of the script's output and the lingering close.
#include "quavd.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio_ext.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "log.h"
#include "quavd_internal.h"
#include "util.h"

// ---------------------------------------------------------------------------
// Request state

bool batch_input_lines = true;
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

// The connection's buffers: large, so that a big output leaves in few large
// writes and many input lines come in one read and go to the script in one
// write. Replies are flushed one by one all the same.
char out_buffer[64 * 1024];
char in_buffer[256 * 1024];

// Set when the client has sent nothing while a line was awaited, or taken
// nothing of what was written to it, for idle_limit seconds; or, with an
// idle limit, when it has gone.
bool client_timed_out = false;

enum client_wait { CLIENT_READY, CLIENT_IDLE, SCRIPT_OUT_OF_TIME, CLIENT_DONE };

// True when a wait on the client must be bounded: by the idle limit, by
// the script's next time limit, which is enforced meanwhile, or by an
// orderly stop.
bool client_wait_limited() { return idle_limit > 0 || script_deadline_in() >= 0 || stop_requested(); }

// Waits until the connection is ready for the events, for at most the idle
// limit. While reading, the script's run limit ends the wait as well, and
// so does an orderly stop, which gives a client that takes nothing of the
// output no longer than the script's kill grace.
client_wait wait_for_client(int connection, short events) {
  long long idle_end = idle_limit > 0 ? monotonic_ms() + idle_limit * 1000LL : 0;
  for (;;) {
    enforce_script_limits();
    if (events == POLLIN && (run_limit_reached() || stop_requested())) return SCRIPT_OUT_OF_TIME;
    if (stop_requested() && (idle_end == 0 || idle_end > monotonic_ms() + SCRIPT_KILL_GRACE_MS))
      idle_end = monotonic_ms() + SCRIPT_KILL_GRACE_MS;
    int timeout = script_deadline_in();
    if (idle_end != 0) {
      long long left = idle_end - monotonic_ms();
      if (left <= 0) return CLIENT_IDLE;
      if (timeout < 0 || left < timeout) timeout = static_cast<int>(left);
    }
    pollfd p{connection, events, 0};
    int r = ::poll(&p, 1, timeout);
    if (r > 0 || (r < 0 && errno != EINTR)) return CLIENT_READY;
  }
}

// The client's bytes, handed out in the pieces that fgets with a 1024-byte
// buffer would give: up to and including a LF, at most 1023 bytes. What has
// arrived and is not handed out yet lies in in_buffer from start to end.
struct line_reader {
  int fd;
  std::size_t start = 0;
  std::size_t end = 0;
  bool ended = false;
};

constexpr std::size_t PIECE_MAX = 1023;

// Takes the next piece if it has arrived whole; false when it needs more
// bytes from the client.
bool take_buffered_piece(line_reader &in, std::string_view &piece) {
  const std::size_t held = in.end - in.start;
  const std::size_t most = held < PIECE_MAX ? held : PIECE_MAX;
  const char *from = in_buffer + in.start;
  const void *lf = std::memchr(from, '\n', most);
  if (lf == nullptr && held < PIECE_MAX && !(in.ended && held > 0)) return false;
  std::size_t n = most;
  if (lf != nullptr) n = static_cast<std::size_t>(static_cast<const char *>(lf) - from) + 1;
  piece = {from, n};
  in.start += n;
  return true;
}

// CLIENT_READY with the next piece, which stays valid until the next read;
// CLIENT_DONE at the end of the input or on a read error; or why the wait
// for the client's bytes ended.
client_wait read_piece(line_reader &in, std::string_view &piece) {
  for (;;) {
    if (take_buffered_piece(in, piece)) return CLIENT_READY;
    if (in.ended) return CLIENT_DONE;
    const std::size_t held = in.end - in.start;
    std::memmove(in_buffer, in_buffer + in.start, held);
    in.start = 0;
    in.end = held;
    const bool limited = client_wait_limited();
    if (limited && !conn_pending()) {
      client_wait w = wait_for_client(in.fd, POLLIN);
      if (w != CLIENT_READY) return w;
    }
    ssize_t n = conn_read(in.fd, in_buffer + in.end, sizeof in_buffer - in.end, !limited);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    // A read error drops a piece begun, as fgets does.
    if (n < 0) return CLIENT_DONE;
    if (n == 0) in.ended = true;
    in.end += static_cast<std::size_t>(n);
  }
}

// The length of a piece's text: up to its first NUL, less its line end
// (CR LF, or a LF alone).
std::size_t text_length(std::string_view piece) {
  std::size_t len = std::min(piece.find('\0'), piece.size());
  if (len >= 2 && piece[len - 2] == '\r' && piece[len - 1] == '\n') return len - 2;
  if (len >= 1 && piece[len - 1] == '\n') return len - 1;
  return len;
}

// Writes the script the text of an input line and of the lines behind it
// that have arrived already, up to and with the lone "." that ends the
// input, in one write. The script reads a stream: it gets the same bytes
// in the same order as from one write per line. The texts are packed in
// place, over the pieces already taken.
void send_input_lines(line_reader &in, std::string_view first, std::size_t len) {
  char *batch = in_buffer + (first.data() - in_buffer);
  char *end = batch + len;
  std::string_view piece;
  while (quav_state == STATE_INPUT && take_buffered_piece(in, piece)) {
    const std::size_t n = text_length(piece);
    if (n == 1 && piece[0] == '.') quav_state = STATE_COMMAND;
    std::memmove(end, piece.data(), n);
    end += n;
  }
  send_input(batch, static_cast<std::size_t>(end - batch));
}

// The output stream's writes: every byte, or none (0, never a negative
// count, which the stream would take as a length) when the client has gone
// or has taken nothing for the idle limit.
ssize_t write_to_client(void *cookie, const char *data, std::size_t len) {
  const int connection = static_cast<int>(reinterpret_cast<std::intptr_t>(cookie));
  std::size_t done = 0;
  while (done < len && !client_timed_out) {
    const bool limited = client_wait_limited();
    const int flags = MSG_NOSIGNAL | (limited ? MSG_DONTWAIT : 0);
    ssize_t n = conn_send(connection, data + done, len - done, flags);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
    } else if (n < 0 && errno == EAGAIN && limited) {
      if (wait_for_client(connection, POLLOUT) == CLIENT_IDLE) client_timed_out = true;
    } else {
      // Gone: the connection has hung up, which the wait for the script's
      // output sees.
      return 0;
    }
  }
  return client_timed_out ? 0 : static_cast<ssize_t>(len);
}

int close_client_stream(void *cookie) {
  return ::close(static_cast<int>(reinterpret_cast<std::intptr_t>(cookie)));
}

// Each of the reader and the stream owns a duplicate of the connection, so
// that neither closes a number twice; the listener closes the connection.
int duplicate(int connection) { return ::fcntl(connection, F_DUPFD_CLOEXEC, 3); }

FILE *open_client_stream(int connection) {
  int fd = duplicate(connection);
  if (fd < 0) return nullptr;
  FILE *stream = ::fopencookie(reinterpret_cast<void *>(static_cast<std::intptr_t>(fd)), "w",
                               {nullptr, write_to_client, nullptr, close_client_stream});
  if (stream == nullptr) ::close(fd);
  return stream;
}

// -S: the connection's marker, 32 lowercase hex digits from the system's
// random source, made at its first status command; empty while none was
// asked for. A script cannot know it, so it cannot forge the status line.
char status_marker[33];

// False when the random source fails; the word is then refused as unknown.
bool make_status_marker() {
  if (status_marker[0] != '\0') return true;
  unsigned char bytes[16];
  std::size_t got = 0;
  while (got < sizeof bytes) {
    ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<std::size_t>(n);
  }
  static const char hex[] = "0123456789abcdef";
  for (std::size_t i = 0; i < sizeof bytes; ++i) {
    status_marker[2 * i] = hex[bytes[i] >> 4];
    status_marker[2 * i + 1] = hex[bytes[i] & 0xF];
  }
  status_marker[32] = '\0';
  return true;
}

// After the relay and the reap, for a client that asked: how the script
// ended, behind the marker.
void send_status_line(FILE *out) {
  if (status_marker[0] == '\0' || reaped_status < 0 || exec_failed) return;
  if (WIFSIGNALED(reaped_status)) {
    std::fprintf(out, "%s signal %d\r\n", status_marker, WTERMSIG(reaped_status));
  } else {
    std::fprintf(out, "%s exit %d\r\n", status_marker, WEXITSTATUS(reaped_status));
  }
  std::fflush(out);
}

// -s: what the stream holds leaves before the relay waits on the script;
// while more output is ready it is gathered, so a fast script still leaves
// in large writes (and a piece larger than the stream's buffer has left
// already).
void send_if_script_idle(FILE *out) {
  if (__fpending(out) == 0) return;
  pollfd p{child_out_fd, POLLIN, 0};
  if (::poll(&p, 1, 0) == 0) std::fflush(out);
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

// Reads the next piece of the script's output into io_buffer; 0 at its end.
// With a time limit pending, waits only until its next step; once the grace
// period after its SIGTERM is over, takes what is there and calls that the
// end, since a background child may hold the pipe open. With an idle limit,
// a hang-up of the connection meanwhile (the client has gone) ends the
// wait as well, with the client marked as timed out.
ssize_t read_script_output(int connection) {
  for (;;) {
    int timeout = script_deadline_in();
    bool last = script_grace_over();
    const bool watch = idle_limit > 0;
    if (timeout >= 0 || last || watch) {
      pollfd p[2] = {{child_out_fd, POLLIN, 0}, {connection, 0, 0}};
      int r = ::poll(p, watch ? 2 : 1, last ? 0 : timeout);
      enforce_script_limits();
      if ((p[1].revents & (POLLHUP | POLLERR)) != 0) client_timed_out = true;
      if (client_timed_out || (r <= 0 && last)) return 0;
      if (r <= 0) continue;
    }
    ssize_t n = ::read(child_out_fd, io_buffer, sizeof io_buffer);
    if (n < 0 && errno == EINTR) continue;
    if (last && n > 0) child_out_eof = true;
    return n;
  }
}

// Sends the script's output, what was held first, then the pipe to its end.
// When the client stops taking it, the script is left to the caller.
void relay_output(FILE *out, int connection, const char *peer_name) {
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
  while (!child_out_eof && !client_timed_out) {
    if (stream_output) send_if_script_idle(out);
    ssize_t n = read_script_output(connection);
    if (n <= 0) break;
    relay_chunk(rs, io_buffer, static_cast<std::size_t>(n));
  }
  if (client_timed_out) return;
  if (rs.relayed == 0) {
    std::fprintf(out, "503 exec of '%s' failed\n", cmd_line);
    std::fflush(out);
  }
  close_fd(child_out_fd);
  std::fflush(out);
  wait_for_child(cmd_line, peer_name);
  send_status_line(out);
}

// Clears everything one connection may have left, whatever ended it.
void reset_request_state() {
  close_fd(child_in_fd);
  close_fd(child_out_fd);
  child_pid = 0;
  reset_hold();
  reset_script_limits();
  reaped_status = -1;
  exec_failed = false;
  status_marker[0] = '\0';
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
  conn_close_notify();
  if (::shutdown(connection, SHUT_WR) != 0) return;
  constexpr std::size_t max_bytes = 1024 * 1024;
  const long long end = monotonic_ms() + 1000;
  std::size_t taken = 0;
  char sink[16384];
  while (taken < max_bytes) {
    const long long left = end - monotonic_ms();
    if (left <= 0) break;
    pollfd p{connection, POLLIN, 0};
    int r = ::poll(&p, 1, static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    ssize_t n = ::recv(connection, sink, sizeof sink, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    taken += static_cast<std::size_t>(n);
  }
}

// Keep-alive probes every idle limit find a client whose host has gone, or
// whose socket was closed and has since been forgotten by its system: its
// connection then hangs up.
void watch_for_gone_client(int connection) {
  // The system takes at most 32767 s between probes.
  const int on = 1, count = 2, every = std::min(idle_limit, 32767);
  (void)::setsockopt(connection, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  (void)::setsockopt(connection, IPPROTO_TCP, TCP_KEEPIDLE, &every, sizeof every);
  (void)::setsockopt(connection, IPPROTO_TCP, TCP_KEEPINTVL, &every, sizeof every);
  (void)::setsockopt(connection, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}

// A connection the daemon cuts (an idle or gone client, output cut short by
// the held-output limit) ends in a reset, so that the client cannot take
// what it got for the whole output. Cut by the limit, what was relayed is
// let reach the client first, for at most the idle limit (else 5 s).
void reset_connection(int connection, bool drain_first) {
  const long long end = monotonic_ms() + (idle_limit > 0 ? idle_limit * 1000LL : 5000);
  int unsent = 0;
  while (drain_first && ::ioctl(connection, SIOCOUTQ, &unsent) == 0 && unsent > 0 && monotonic_ms() < end) {
    timespec pause{0, 10 * 1000 * 1000};
    ::nanosleep(&pause, nullptr);
  }
  const linger abort_close{1, 0};
  (void)::setsockopt(connection, SOL_SOCKET, SO_LINGER, &abort_close, sizeof abort_close);
}

// Environment entries that would let a client run code of its own before
// the script's first line, or change how the script's shell, interpreter
// or the tools it calls read their input.
struct unsafe_env_name {
  const char *name;
  bool prefix;  // every name that begins with it
};
constexpr unsafe_env_name unsafe_env_names[] = {
    {"BASH_FUNC_", true},            // bash imports these as shell functions
    {"LD_", true},                   // the dynamic loader: preloads, audit modules, paths
    {"PERL5", true},                 // perl's options (-M, -d), library path and debugger
    {"PYTHON", true},                // python's start-up file, path, warnings and options
    {"GIT_", true},                  // commands and configuration git takes for a script
    {"MALLOC_", true},               // C library allocator settings, read before main
    {"BASH_ENV", false},             // a file bash runs before a script
    {"ENV", false},                  // the same for sh in POSIX mode
    {"SHELLOPTS", false},            // bash options such as xtrace, with PS4 below
    {"BASHOPTS", false},             // bash shopt options
    {"PS4", false},                  // expanded, command substitutions and all, by xtrace
    {"GLIBC_TUNABLES", false},       // C library tunables, parsed before main
    {"IFS", false},                  // how a shell splits words
    {"PERLLIB", false},              // perl's older library path
    {"NODE_OPTIONS", false},         // node's options, --require of any file among them
    {"NODE_PATH", false},            // where node finds the modules a script loads
    {"NODE_EXTRA_CA_CERTS", false},  // certificates node trusts besides the system's
    {"RUBYOPT", false},              // ruby's options, -r of any file among them
    {"RUBYLIB", false},              // where ruby finds the libraries a script loads
    {"JAVA_TOOL_OPTIONS", false},    // every JVM's options, agents among them
    {"_JAVA_OPTIONS", false},        // the same, older spelling
    {"JDK_JAVA_OPTIONS", false},     // the java launcher's options
    {"BROWSER", false},              // a command python's webbrowser and others run
    {"PAGER", false},                // a command man, git and others run on their output
    {"LESSOPEN", false},             // a command less runs on every file it opens
    {"LESSCLOSE", false},            // and the one it runs after
    {"EDITOR", false},               // a command tools run to edit
    {"VISUAL", false},               // the same
    {"GCONV_PATH", false},           // character set modules the C library loads
    {"LOCPATH", false},              // locale files the C library parses
    {"NLSPATH", false},              // message catalogues the C library reads
    {"HOSTALIASES", false},          // a file of name aliases the resolver reads
    {"RES_OPTIONS", false},          // the resolver's options
    {"LOCALDOMAIN", false},          // the resolver's search domains
};

// -E: true when the comma-separated list names the entry's name, an item
// that ends in '*' naming every name with the text before it as beginning.
bool env_name_listed(std::string_view name, std::string_view list) {
  while (!list.empty()) {
    const std::size_t comma = std::min(list.find(','), list.size());
    std::string_view item = list.substr(0, comma);
    list.remove_prefix(std::min(comma + 1, list.size()));
    if (item.ends_with('*') ? name.starts_with(item.substr(0, item.size() - 1)) : name == item) return true;
  }
  return false;
}

// True when the entry may reach the script; its name is the text before
// the first '=' (all of it without one). With -E, only what it names may,
// and the drop list applies all the same.
bool env_entry_safe(std::string_view entry) {
  std::string_view name = entry.substr(0, entry.find('='));
  if (env_pass_names != nullptr && !env_name_listed(name, env_pass_names)) return false;
  for (const unsafe_env_name &u : unsafe_env_names) {
    if (u.prefix ? name.starts_with(u.name) : name == u.name) return false;
  }
  return true;
}

void log_env_dropped(std::string_view entry, const char *peer_name) {
  std::string_view name = entry.substr(0, entry.find('='));
  char message[2048 + 32];
  format_bounded(message, sizeof message, "env entry %.*s from %s dropped", static_cast<int>(name.size()),
                 name.data(), peer_name);
  log_of_kind(LOG_ENV_DROPPED, message);
}

void log_timed_out(const char *peer_name) {
  char message[1024 + 32];
  format_bounded(message, sizeof message, "connection from %s timed out", peer_name);
  log_error(message);
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

namespace {

// One connection's dialogue: its reader, its reply stream, the peer's name
// for the log, and how it is going.
struct dialogue {
  line_reader in;
  FILE *out;
  const char *peer_name;
  int connection;
  bool running = true;
  int result = 0;
};

// Starts the script unless one runs; false when there is no command line
// to start (the dialogue then ends with the 502 reply).
bool launch(dialogue &d) {
  if (child_pid != 0) return true;
  if (cmd_line == nullptr) {
    reply(d.out, "502 No Cmd specified\r\n");
    d.result = -1;
    return false;
  }
  start_cmd(cmd_line, env, d.peer_name, d.out);
  return true;
}

void handle_input_line(dialogue &d, std::string_view piece, std::size_t len) {
  if (!launch(d)) {
    d.running = false;
    return;
  }
  if (len == 1 && piece[0] == '.') quav_state = STATE_COMMAND;
  // Once the script runs, the lines behind this one go with it; until then
  // each line is a launch of its own.
  if (child_pid != 0 && batch_input_lines) {
    send_input_lines(d.in, piece, len);
  } else {
    send_input(piece.data(), len);
  }
  // Past its run limit or the held-output limit the script is being ended:
  // the dialogue too.
  if (run_limit_reached() || hold_limit_reached()) d.running = false;
}

void command_cmd(dialogue &d, const char *arg) {
  if (arg[0] == '\0') {
    reply(d.out, "502 No Cmd specified\r\n");
    d.running = false;
    d.result = -1;
  } else if (child_pid != 0) {
    // The replies and log lines to come name the script that runs, not
    // this later text.
    reply_quoted(d.out, "101 Cmd accepted '%s'\r\n", arg);
  } else if (char *copy = strdup(arg); copy == nullptr) {
    reply(d.out, "502 Cmd failed\r\n");
    d.running = false;
  } else {
    std::free(cmd_line);
    cmd_line = copy;
    reply_quoted(d.out, "101 Cmd accepted '%s'\r\n", cmd_line);
  }
}

// A line in STATE_COMMAND: the word before the first blank selects the
// command, in any case; the text after that blank is its argument.
void handle_command_line(dialogue &d, char *line, std::size_t len) {
  const char *arg = line + len;
  if (char *blank = std::strchr(line, ' '); blank != nullptr) {
    *blank = '\0';
    arg = blank + 1;
  }
  int index = -1;
  for (int i = 0; cmds[i] != nullptr && line[0] != '\0'; ++i) {
    if (::strcasecmp(line, cmds[i]) == 0) {
      index = i;
      break;
    }
  }
  switch (index) {
    case CMD_ENV:
      quav_state = STATE_ENV;
      reply(d.out, "100 Enter env.  End with single '.' on a line\r\n");
      break;
    case CMD_CMD: command_cmd(d, arg); break;
    case CMD_INPUT: quav_state = STATE_INPUT; break;
    case CMD_PORT:
      quav_state = STATE_PORT;
      in_port = std::atoi(arg);
      break;
    case CMD_END:
      d.running = false;
      if (launch(d)) send_to_proc(nullptr);
      break;
    case CMD_VERS: break;
    default:
      if (report_status && ::strcasecmp(line, "status") == 0 && make_status_marker()) {
        reply_quoted(d.out, "102 Status after output '%s'\r\n", status_marker);
        break;
      }
      reply_quoted(d.out, "500 Bad command '%s'\r\n", line);
      d.running = false;
      break;
  }
}

void handle_env_line(dialogue &d, const char *line, std::size_t len) {
  if (len == 1 && line[0] == '.') {
    reply(d.out, "100 Env accepted\r\n");
    quav_state = STATE_COMMAND;
  } else if (len > 0 && !env_entry_safe(line)) {
    // Dropped without a word on the wire; it takes no place.
    log_env_dropped(line, d.peer_name);
  } else if (len > 0 && add_env(line) != 0) {
    reply_quoted(d.out, "501 Environment full '%s'\r\n", line);
    d.running = false;
  }
}

// Reads and handles the client's lines until the dialogue ends.
void converse(dialogue &d) {
  char line[1024];
  while (d.running && !client_timed_out && !stop_requested()) {
    std::string_view piece;
    client_wait got = read_piece(d.in, piece);
    if (got == CLIENT_IDLE) client_timed_out = true;
    if (got != CLIENT_READY) break;
    const std::size_t len = text_length(piece);
    if (quav_state == STATE_INPUT) {
      handle_input_line(d, piece, len);
      continue;
    }
    std::memcpy(line, piece.data(), len);
    line[len] = '\0';
    if (quav_state == STATE_COMMAND) {
      handle_command_line(d, line, len);
    } else if (quav_state == STATE_ENV) {
      handle_env_line(d, line, len);
    }
    // STATE_PORT: lines are consumed without a reply; the dialogue ends
    // only with the end of input.
  }
}

// After the dialogue: the script's output, its outcome, or, for a client
// cut off, the end of a script still running.
void finish(dialogue &d) {
  if (child_pid != 0 && !client_timed_out) {
    send_to_proc(nullptr);
    relay_output(d.out, d.connection, d.peer_name);
  }
  if (client_timed_out) {
    // Nothing more reaches this client; a script still running is ended.
    log_timed_out(d.peer_name);
    if (child_pid != 0) {
      stop_script();
      close_fd(child_out_fd);
      wait_for_child(cmd_line, d.peer_name);
    }
  }
}

}  // namespace

int quav(int connection, const sockaddr * /*peer*/, const char *peer_name) {
  // Lines are read without a stream, so that the wait for the client's
  // bytes can be bounded; replies go through a stream whose writes are.
  int in_fd = duplicate(connection);
  if (in_fd < 0) return -1;
  FILE *out = open_client_stream(connection);
  if (out == nullptr) {
    ::close(in_fd);
    return -1;
  }
  std::setvbuf(out, out_buffer, _IOFBF, sizeof out_buffer);
  client_timed_out = false;
  quav_state = STATE_COMMAND;

  if (idle_limit > 0) watch_for_gone_client(connection);
  dialogue d{line_reader{in_fd}, out, peer_name, connection};
  converse(d);
  finish(d);
  std::fflush(out);
  if (client_timed_out || hold_limit_reached()) {
    reset_connection(connection, !client_timed_out);
  } else {
    linger_before_close(connection);
  }
  log_kinds_end(peer_name);
  reset_request_state();
  ::close(in_fd);
  std::fclose(out);
  return d.result;
}
