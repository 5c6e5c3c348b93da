// The daemon's log sink (system log or "quavd.log") and its pid file.
#pragma once

#include <cstddef>
#include <string_view>

// Sends every later message to the local log file instead of the system log.
void set_local_log();
// Logs one finished message; a '%' in it is never a conversion. Never fails
// for the caller: a message that cannot be written is lost.
void log_error(const char *message);
// Logs "command '<command>' from <peer> <outcome>". A command too long for
// the line to stay within LOG_COMMAND_MOST bytes up to the peer's name is
// cut and ends in "..."; the peer's name and the outcome never are.
constexpr std::size_t LOG_COMMAND_MOST = 1023;
void log_command(std::string_view command, std::string_view peer_name, std::string_view outcome);
// Lines a client can have logged again and again, counted per connection:
// at most LOG_KIND_MOST of each kind are logged, the rest only counted.
enum log_kind { LOG_ENV_DROPPED, LOG_LAUNCH_FAILED, LOG_KINDS };
constexpr int LOG_KIND_MOST = 10;
void log_of_kind(log_kind kind, const char *message);
// Ends the connection's counts: one line "%d more lines of the same kind
// from %s not logged" for each kind that was cut, then all start at zero.
void log_kinds_end(const char *peer_name);
// The current local time as ctime's 24-character text, in static storage.
const char *get_time();
// Writes the pid file there instead of "quavd.pid" (-P); the text must
// live as long as the process.
void set_pid_file(const char *path);
// Writes the pid file; 0 on success, -1 (after a line on stderr) on failure.
int log_pid();
