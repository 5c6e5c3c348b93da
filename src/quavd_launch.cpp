// quavd script launch, its input, the hold of early output, and reaping.
#include "quavd.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "log.h"
#include "quavd_internal.h"
#include "util.h"

byte_buffer held_head;
int spill_fd = -1;
bool child_out_eof = false;
int reaped_status = -1;
bool exec_failed = false;
char io_buffer[SCRIPT_PIPE_SIZE];

void close_fd(int &fd) {
  if (fd > 0) ::close(fd);
  fd = 0;
}

long long monotonic_ms() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

namespace {

// Bytes of output in the spill file, whether that file could not be made,
// and whether the hold has reached -m (or could take no more), which ends
// the script.
std::size_t spill_len = 0;
bool spill_failed = false;
bool hold_full = false;

// The script's time limits, in monotonic_ms (0: none): when it gets
// SIGTERM and when SIGKILL; what was sent so far, whether the pending
// SIGTERM is the run limit's, and the peer name for its log line.
long long script_term_at = 0;
long long script_kill_at = 0;
int script_signalled = 0;
bool term_for_run_limit = false;
bool run_limit_hit = false;
const char *script_peer = "";
// Set once an orderly stop of the daemon has reached the running script.
bool stop_taken = false;

// An orderly stop ends a running script as its run limit would, once.
void take_stop() {
  if (child_pid == 0 || stop_taken || !stop_requested()) return;
  stop_taken = true;
  stop_script();
}

// True while the script has not ended (it is not reaped here).
bool script_running() {
  siginfo_t info{};
  return ::waitid(P_PID, static_cast<id_t>(child_pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == 0;
}

// The script leads a process group of its own: what it started in the
// background is ended with it. The group outlives a leader that has ended
// but is not reaped yet, so its number cannot have been taken by another.
void signal_script(int sig) {
  if (child_pid > 0) (void)::kill(-child_pid, sig);
}

// Waits at most timeout_ms (-1: no limit) for the script to end.
void wait_for_end(int timeout_ms) {
  int fd = static_cast<int>(::syscall(SYS_pidfd_open, child_pid, 0));
  if (fd < 0) {
    // No process descriptors: look again shortly.
    timespec pause{0, 10 * 1000 * 1000};
    ::nanosleep(&pause, nullptr);
    return;
  }
  pollfd p{fd, POLLIN, 0};
  (void)::poll(&p, 1, timeout_ms);
  ::close(fd);
}

bool append(byte_buffer &b, const char *data, std::size_t len) {
  if (b.len + len > b.cap) {
    std::size_t cap = b.cap != 0 ? b.cap : 65536;
    while (cap < b.len + len) cap *= 2;
    auto *grown = static_cast<char *>(std::realloc(b.data, cap));
    if (grown == nullptr) return false;
    b.data = grown;
    b.cap = cap;
  }
  std::memcpy(b.data + b.len, data, len);
  b.len += len;
  return true;
}

void release(byte_buffer &b) {
  std::free(b.data);
  b = byte_buffer{};
}

// Where the held output's file lives.
const char *spill_dir() {
  const char *dir = std::getenv("TMPDIR");
  return dir == nullptr || dir[0] == '\0' ? "/tmp" : dir;
}

int open_spill_file() {
  const char *dir = spill_dir();
  int fd = ::open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  char path[4096];
  if (!format_bounded(path, sizeof path, "%s/quavd-hold-XXXXXX", dir)) return -1;
  fd = ::mkostemp(path, O_CLOEXEC);
  if (fd >= 0) ::unlink(path);
  return fd;
}

// Room for more held output: up to -m in all; without the file, only what
// is left of the first MiB. The file is made once that may not be enough,
// before the read that needs it, so that no byte read is lost should it
// fail.
std::size_t hold_room() {
  const std::size_t limit = static_cast<std::size_t>(held_output_limit) * 1024 * 1024;
  std::size_t room = limit - std::min(limit, held_head.len + spill_len);
  if (spill_fd < 0 && !spill_failed && held_head.len + std::min(room, sizeof io_buffer) > HOLD_MEMORY_LIMIT) {
    spill_fd = open_spill_file();
    spill_failed = spill_fd < 0;
    char message[4096 + 64];
    format_bounded(message, sizeof message, "could not make a file in %s to hold script output", spill_dir());
    if (spill_failed) log_error(message);
  }
  return spill_fd < 0 ? std::min(room, HOLD_MEMORY_LIMIT - held_head.len) : room;
}

// Keeps a piece of output that hold_room made room for, in order. False
// when it could not all be kept; what follows it is then not relayed, the
// output being taken as ended there.
bool hold_output(const char *data, std::size_t len) {
  if (spill_fd < 0) return append(held_head, data, len);
  std::size_t done = write_fully(spill_fd, data, len);
  spill_len += done;
  if (done != len) child_out_eof = true;
  return done == len;
}

// At -m, or when nothing more can be held: the script is ended as its run
// limit would end it, and the relay sends what was held. Once only: its
// input closed, the script is fed no more, so no hold is tried again.
void end_for_hold_limit() {
  hold_full = true;
  char event[64];
  format_bounded(event, sizeof event, "ended: more than %d MiB of output held", held_output_limit);
  log_command(cmd_line != nullptr ? cmd_line : "", script_peer, event);
  stop_script();
}

// Reads what the script has written so far into the hold, never past -m.
void drain_output_once() {
  const std::size_t room = hold_room();
  if (room == 0) return end_for_hold_limit();
  ssize_t n;
  do {
    n = ::read(child_out_fd, io_buffer, std::min(sizeof io_buffer, room));
  } while (n < 0 && errno == EINTR);
  if (n <= 0) {
    child_out_eof = true;
    return;
  }
  if (!hold_output(io_buffer, static_cast<std::size_t>(n))) end_for_hold_limit();
}

}  // namespace

void enforce_script_limits() {
  take_stop();
  if (child_pid == 0 || script_term_at == 0) return;
  long long now = monotonic_ms();
  if (script_signalled == 0 && now >= script_term_at) {
    script_signalled = SIGTERM;
    if (script_running()) {
      if (term_for_run_limit) {
        run_limit_hit = true;
        char outcome[64];
        format_bounded(outcome, sizeof outcome, "timed out after %d s", run_limit);
        log_command(cmd_line != nullptr ? cmd_line : "", script_peer, outcome);
      }
    }
    signal_script(SIGTERM);
  }
  if (script_signalled == SIGTERM && now >= script_kill_at) {
    script_signalled = SIGKILL;
    signal_script(SIGKILL);
  }
}

int script_deadline_in() {
  take_stop();
  if (child_pid == 0 || script_term_at == 0 || script_signalled == SIGKILL) return -1;
  long long left = (script_signalled == 0 ? script_term_at : script_kill_at) - monotonic_ms();
  return left < 0 ? 0 : left > 3600 * 1000 ? 3600 * 1000 : static_cast<int>(left);
}

bool run_limit_reached() { return run_limit_hit; }

bool hold_limit_reached() { return hold_full; }


bool script_grace_over() { return script_kill_at != 0 && monotonic_ms() >= script_kill_at; }

void stop_script() {
  if (child_pid == 0) return;
  send_to_proc(nullptr);
  if (script_signalled == 0) {
    term_for_run_limit = false;
    script_term_at = monotonic_ms();
    script_kill_at = script_term_at + SCRIPT_KILL_GRACE_MS;
  }
  enforce_script_limits();
}

void reset_script_limits() {
  script_term_at = 0;
  script_kill_at = 0;
  script_signalled = 0;
  term_for_run_limit = false;
  run_limit_hit = false;
  stop_taken = false;
  script_peer = "";
}

void reset_hold() {
  release(held_head);
  if (spill_fd >= 0) ::close(spill_fd);
  spill_fd = -1;
  spill_len = 0;
  spill_failed = false;
  hold_full = false;
  child_out_eof = false;
}

namespace {

// Starts the script without copying the daemon's address space: the child
// borrows it until the exec, so it makes only system calls and touches no
// variable but exec_errno. It gets its input pipe on 0, its output pipe on 1
// and 2, 3 to 19 closed (every other descriptor is close-on-exec), the
// daemon's signal dispositions, the arguments and the environment. When the
// exec fails the child exits with the error number as its status, which
// *exec_err also receives. Returns -1 when no child could be made.
pid_t spawn_script(const char *program, char **argv, char **envp, int in_fd, int out_fd,
                   int *exec_err) {
  volatile int exec_errno = 0;
  pid_t pid = ::vfork();
  if (pid == 0) {
    // Its own process group, so that the daemon's limits reach whatever it
    // starts, and a signal to the daemon's group (a Ctrl-C) does not.
    ::setpgid(0, 0);
    ::dup2(in_fd, 0);
    ::dup2(out_fd, 1);
    ::dup2(out_fd, 2);
    for (int fd = 3; fd <= 19; ++fd) ::close(fd);
    ::execve(program, argv, envp);
    exec_errno = errno != 0 ? errno : ENOEXEC;
    ::_exit(exec_errno);
  }
  // Made here too, so that no signal can find the child not yet a leader;
  // after the exec this fails, having been done already.
  if (pid > 0) (void)::setpgid(pid, pid);
  *exec_err = pid > 0 ? exec_errno : 0;
  return pid;
}

}  // namespace

int exec_cmd(char *command, char **envp, const char *peer_name) {
  // Room for the longest command line a client can send and the reason.
  char message[1024 + 64];
  if (clean_up_path(command) != 0) {
    format_bounded(message, sizeof message, "exec of %s failed; bad path", command);
    log_of_kind(LOG_LAUNCH_FAILED, message);
    return -1;
  }

  // The vector is built here, before the launch, so that the decoded program
  // path can be checked: %2f and %2e are only decoded by the split.
  char **argv = create_argv(command);
  if (argv == nullptr) {
    format_bounded(message, sizeof message, "exec of %s failed; out of memory", command);
    log_of_kind(LOG_LAUNCH_FAILED, message);
    return -1;
  }
  char *program = argv[0];
  if (!program_path_ok(program)) {
    format_bounded(message, sizeof message, "exec of %s failed; bad path", command);
    log_of_kind(LOG_LAUNCH_FAILED, message);
    free_argv(argv);
    return -1;
  }

  int in_pipe[2];
  int out_pipe[2];
  if (::pipe2(in_pipe, O_CLOEXEC) != 0) {
    log_of_kind(LOG_LAUNCH_FAILED, "could not create IPC pipe");
    free_argv(argv);
    return -1;
  }
  if (::pipe2(out_pipe, O_CLOEXEC) != 0) {
    ::close(in_pipe[0]);
    ::close(in_pipe[1]);
    log_of_kind(LOG_LAUNCH_FAILED, "could not create IPC pipe");
    free_argv(argv);
    return -1;
  }

  // Argument 0 is the name after the last '/'; the program path keeps it.
  if (char *slash = std::strrchr(program, '/'); slash != nullptr) argv[0] = slash + 1;
  int exec_err = 0;
  pid_t pid = spawn_script(program, argv, envp, in_pipe[0], out_pipe[1], &exec_err);
  argv[0] = program;
  ::close(in_pipe[0]);
  ::close(out_pipe[1]);
  if (pid < 0) {
    ::close(in_pipe[1]);
    ::close(out_pipe[0]);
    log_of_kind(LOG_LAUNCH_FAILED, "could not fork new process");
    free_argv(argv);
    return -1;
  }
  exec_failed = exec_err != 0;
  if (exec_err != 0) {
    // The child could not log while it borrowed the daemon's memory; its
    // status is the error number, and the wait logs that as usual.
    format_bounded(message, sizeof message, "failed, %s", std::strerror(exec_err));
    log_command(program, peer_name, message);
  }
  free_argv(argv);

  child_pid = pid;
  child_in_fd = in_pipe[1];
  child_out_fd = out_pipe[0];
  script_peer = peer_name;
  if (run_limit > 0) {
    term_for_run_limit = true;
    script_term_at = monotonic_ms() + run_limit * 1000LL;
    script_kill_at = script_term_at + SCRIPT_KILL_GRACE_MS;
  }
  // Only the daemon's own end: a full input pipe must not block it.
  ::fcntl(child_in_fd, F_SETFL, ::fcntl(child_in_fd, F_GETFL) | O_NONBLOCK);
  // Larger pipes take a whole read of input lines, or a whole read of
  // output, at once, so that the script and the daemon wake each other less
  // often. Where the system refuses them, the default size does.
  (void)::fcntl(child_in_fd, F_SETPIPE_SZ, SCRIPT_PIPE_SIZE);
  (void)::fcntl(child_out_fd, F_SETPIPE_SZ, SCRIPT_PIPE_SIZE);
  return 0;
}

int start_cmd(char *command, char **envp, const char *peer_name, FILE *out) {
  if (exec_cmd(command, envp, peer_name) != 0) {
    std::fputs("502 Cmd failed\r\n", out);
    std::fflush(out);
    return -1;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Script input and reaping

void send_to_proc(const char *line) {
  if (line == nullptr) {
    if (child_pid != 0) close_fd(child_in_fd);
    return;
  }
  send_input(line, std::strlen(line));
}

void send_input(const char *p, std::size_t len) {
  if (child_pid == 0 || child_in_fd <= 0) return;
  while (len > 0) {
    ssize_t n = ::write(child_in_fd, p, len);
    if (n > 0) {
      p += n;
      len -= static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      // The script is not reading; it may be blocked writing its output.
      // Take that output meanwhile so that neither side waits for ever.
      pollfd fds[2] = {{child_in_fd, POLLOUT, 0}, {child_out_fd, POLLIN, 0}};
      nfds_t nfds = child_out_eof ? 1 : 2;
      int r = ::poll(fds, nfds, script_deadline_in());
      if (r < 0 && errno != EINTR) return;
      enforce_script_limits();
      // Past its run limit the script is being ended: the line is dropped.
      if (run_limit_hit || script_grace_over()) return;
      if (nfds == 2 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) drain_output_once();
      // So is it at the held-output limit, which has closed its input.
      if (hold_full) return;
      continue;
    }
    // The script has gone or closed its input: the rest of the line is lost.
    return;
  }
}

int wait_for_child(const char *command, const char *peer_name) {
  int status = 0;
  pid_t r;
  for (;;) {
    // With a time limit pending, wait no longer than to its next step.
    bool limited = script_deadline_in() >= 0;
    r = ::waitpid(child_pid, &status, limited ? WNOHANG : 0);
    if (r < 0 && errno == EINTR) continue;
    if (r != 0) break;
    wait_for_end(script_deadline_in());
    enforce_script_limits();
  }

  reaped_status = r < 0 ? -1 : status;
  char outcome[128];
  if (r < 0) {
    format_bounded(outcome, sizeof outcome, "wait failed, %s", std::strerror(errno));
  } else if ((status & 0x7F) != 0) {
    format_bounded(outcome, sizeof outcome, "died with signal %d", status & 0x7F);
  } else {
    format_bounded(outcome, sizeof outcome, "%s, status %d", status == 0 ? "ok" : "failed",
                   (status >> 8) & 0xFF);
  }
  log_command(command, peer_name, outcome);
  return 0;
}
