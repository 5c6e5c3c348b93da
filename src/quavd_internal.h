// quavd internals shared by the launch and the handler: the script output
// held while its input is written, the buffer that output passes through,
// and the script's time limits.
#pragma once

#include <cstddef>

// Script output read while its input could not be written. It is kept in
// memory up to HOLD_MEMORY_LIMIT, then in an unlinked temporary file, up to
// -m in all. The relay sends the two in order.
struct byte_buffer {
  char *data = nullptr;
  std::size_t len = 0;
  std::size_t cap = 0;
};

// The size asked for the script's pipes, for fewer and larger transfers.
constexpr int SCRIPT_PIPE_SIZE = 1024 * 1024;

extern byte_buffer held_head;
extern int spill_fd;
// Set once a read of the script's output has seen its end.
extern bool child_out_eof;

// Script output passes through here, while it is held and while it is
// relayed, a full pipe at a time; one connection at a time, so one buffer
// serves both.
extern char io_buffer[SCRIPT_PIPE_SIZE];

// Writes bytes into the script's input, all of them unless the script has
// gone or is being ended; nothing while no script input is open. While the
// input pipe is full, the script's output is held meanwhile.
void send_input(const char *data, std::size_t len);
// Whether the input lines that have arrived together go to the script in
// one write (the default) or in one write each; the bytes are the same.
extern bool batch_input_lines;

// Closes a descriptor of the request state and sets it to 0 (none).
void close_fd(int &fd);
// Drops whatever output is held.
void reset_hold();

// Milliseconds of the monotonic clock.
long long monotonic_ms();

// How long a script has between SIGTERM and SIGKILL; its output is no
// longer waited for after that either.
constexpr long long SCRIPT_KILL_GRACE_MS = 5000;

// Sends the script whatever signal is due; the run limit's SIGTERM is logged.
void enforce_script_limits();
// Milliseconds until the script's next time limit, or -1 when none is pending.
int script_deadline_in();
// True once the script has been sent SIGTERM for its run limit.
bool run_limit_reached();
// True once the held output has reached -m (or could take no more) and the
// script is being ended.
bool hold_limit_reached();
// True once the grace period after the script's SIGTERM is over.
bool script_grace_over();
// For a connection that ends early: closes the script's input, sends it
// SIGTERM if it still runs, and SIGKILL after the grace period.
void stop_script();
// The wait status of the script reaped last in this connection; -1 while
// none has been.
extern int reaped_status;
// Set when the script's program could not be executed: no script ran.
extern bool exec_failed;
// Forgets the limits of the script that has been reaped.
void reset_script_limits();
