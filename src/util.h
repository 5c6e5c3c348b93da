// Command text utilities: path clean-up, argument vector construction,
// dotted decimal addresses and the vector dump.
#pragma once

#include <cstddef>
#include <cstdint>

// Thins runs of slashes in place: a run of n slashes keeps ceil(n/2).
void path_no2slash(char *text);
// Folds ".." steps into the text before them, in place.
void path_fix_parents(char *text);
// Both passes; -1 when the cleaned text is absolute, else 0.
int clean_up_path(char *text);

// Decodes %XX escapes in place; a decoded byte is never decoded again.
void unescape_url(char *text);
// Puts a backslash before every shell-special byte, in place. The buffer
// must hold twice the text's length plus the terminator.
void escape_shell_cmd(char *text);
// True for the 20 shell-special bytes.
bool is_shell_special(unsigned char c);

// Splits the command line at '+', space and tab, decodes and escapes each
// argument. Returns a null-terminated vector of heap strings, or null when
// memory runs out (nothing is then held).
char **create_argv(const char *cmd_line);
// Releases a vector made by create_argv.
void free_argv(char **argv);
// Number of entries create_argv allocates for the text (arguments + null).
std::size_t argv_capacity(const char *cmd_line);

// Allocation hooks of create_argv, so that tests can make memory run out.
extern void *(*argv_calloc)(std::size_t count, std::size_t size);
extern void (*argv_free)(void *ptr);

// True when the program path may be executed: it is relative and none of
// its components is exactly "..".
bool program_path_ok(const char *path);

// Dotted decimal form of an IPv4 address held in network byte order, in a
// buffer that the next call overwrites.
const char *ip_ntoa(std::uint32_t addr_network_order);

// Logs the title, then at most 20 entries of a null-terminated vector.
void dumpv(const char *title, char *const *vector);

// Writes as much of the data as the descriptor takes, retrying short writes
// and interruptions; returns how much that was.
std::size_t write_fully(int fd, const char *data, std::size_t len);

// snprintf that always terminates and cuts a long result cleanly.
// Returns true when nothing was cut.
bool format_bounded(char *buf, std::size_t size, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
