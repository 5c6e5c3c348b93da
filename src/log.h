// The daemon's log sink (system log or "quavd.log") and its pid file.
#pragma once

// Sends every later message to the local log file instead of the system log.
void set_local_log();
// Logs one finished message; a '%' in it is never a conversion. Never fails
// for the caller: a message that cannot be written is lost.
void log_error(const char *message);
// The current local time as ctime's 24-character text, in static storage.
const char *get_time();
// Writes the pid file there instead of "quavd.pid" (-P); the text must
// live as long as the process.
void set_pid_file(const char *path);
// Writes the pid file; 0 on success, -1 (after a line on stderr) on failure.
int log_pid();
