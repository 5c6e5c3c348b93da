// quavd internals shared by the launch and the handler: the script output
// held while its input is written, and the buffer that output passes through.
#pragma once

#include <cstddef>

// Script output read while its input could not be written. It is kept in
// memory up to HOLD_MEMORY_LIMIT, then in an unlinked temporary file; should
// that file fail, in memory behind it. The relay sends the three in order.
struct byte_buffer {
  char *data = nullptr;
  std::size_t len = 0;
  std::size_t cap = 0;
};

extern byte_buffer held_head;
extern byte_buffer held_tail;
extern int spill_fd;
// Set once a read of the script's output has seen its end.
extern bool child_out_eof;

// Script output passes through here, while it is held and while it is
// relayed; one connection at a time, so one buffer serves both.
extern char io_buffer[64 * 1024];

// Closes a descriptor of the request state and sets it to 0 (none).
void close_fd(int &fd);
// Drops whatever output is held.
void reset_hold();
