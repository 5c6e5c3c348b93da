#include "util.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

#include "log.h"

void *(*argv_calloc)(std::size_t, std::size_t) = std::calloc;
void (*argv_free)(void *) = std::free;

namespace {

// The pattern path_fix_parents looks for.
constexpr char lookfor[] = "..";

constexpr char shell_special[] = "&;`'\"|*?~<>^()[]{}$\\";

bool is_separator(char c) { return c == '+' || c == ' ' || c == '\t'; }
bool is_blank(char c) { return c == ' ' || c == '\t'; }

// One hexadecimal digit, without validation: letters fold to upper case,
// anything else counts from '0'.
int hex_value(unsigned char b) {
  if (b >= 'A' && b <= 0x7F) return (b & 0xDF) - 55;
  return static_cast<int>(b) - 48;
}

// Two characters after a '%' to one byte. Any two bytes are accepted.
char x2c(const char *what) {
  int v = 16 * hex_value(static_cast<unsigned char>(what[0])) +
          hex_value(static_cast<unsigned char>(what[1]));
  return static_cast<char>(static_cast<unsigned>(v) & 0xFF);
}

}  // namespace

void path_no2slash(char *text) {
  if (text[0] == '\0') return;
  std::size_t x = 0;
  do {
    if (x > 0 && text[x - 1] == '/' && text[x] == '/') {
      std::memmove(text + x, text + x + 1, std::strlen(text + x + 1) + 1);
    }
    ++x;
    // Deleting the last byte leaves x one past the terminator: stop there
    // rather than read beyond it.
  } while (text[x - 1] != '\0' && text[x] != '\0');
}

void path_fix_parents(char *text) {
  if (text[0] == '\0') return;
  std::size_t x = 0;
  bool dot = false;
  while (text[x] != '\0') {
    if (text[x] != lookfor[1]) {
      dot = false;
      ++x;
      continue;
    }
    if (!dot) {
      dot = true;
      ++x;
      continue;
    }
    // text[x-1] and text[x] are a pair of dots.
    char next = text[x + 1];
    bool parent = next == '\0' ||
                  (next == '/' && (x <= 3 || text[x - 2] == '/'));
    if (!parent) {
      ++x;
      continue;
    }
    std::size_t s = x + 1;
    std::size_t d;
    if (x < 3) {
      d = 0;
    } else {
      d = x - 3;
      while (d > 0 && text[d] != '/') --d;
    }
    std::memmove(text + d, text + s, std::strlen(text + s) + 1);
    x = d;
    dot = false;
  }
}

int clean_up_path(char *text) {
  path_no2slash(text);
  path_fix_parents(text);
  return text[0] == '/' ? -1 : 0;
}

void unescape_url(char *text) {
  if (text[0] == '\0') return;
  std::size_t r = 0;
  std::size_t w = 0;
  for (;;) {
    text[w] = text[r];
    if (text[w] == '%') {
      // A missing digit counts as NUL; nothing past the terminator is read.
      const char pair[2] = {text[r + 1], text[r + 1] != '\0' ? text[r + 2] : '\0'};
      text[w] = x2c(pair);
      ++w;
      if (pair[0] == '\0' || pair[1] == '\0') break;
      r += 3;
    } else {
      ++w;
      ++r;
    }
    if (text[r] == '\0') break;
  }
  text[w] = '\0';
}

bool is_shell_special(unsigned char c) {
  return c != '\0' && std::strchr(shell_special, c) != nullptr;
}

void escape_shell_cmd(char *text) {
  std::size_t len = std::strlen(text);
  if (len == 0) return;
  for (std::size_t i = 0; text[i] != '\0'; ++i) {
    if (is_shell_special(static_cast<unsigned char>(text[i]))) {
      std::memmove(text + i + 1, text + i, len - i + 1);
      text[i] = '\\';
      ++len;
      ++i;
    }
  }
}

std::size_t argv_capacity(const char *cmd_line) {
  std::size_t n = 1;
  for (const char *p = cmd_line; *p != '\0'; ++p) {
    if (is_separator(*p)) ++n;
  }
  return n + 1;
}

void free_argv(char **argv) {
  if (argv == nullptr) return;
  for (char **p = argv; *p != nullptr; ++p) argv_free(*p);
  argv_free(argv);
}

char **create_argv(const char *cmd_line) {
  std::size_t capacity = argv_capacity(cmd_line);
  auto **argv = static_cast<char **>(argv_calloc(capacity, sizeof(char *)));
  if (argv == nullptr) return nullptr;

  std::size_t count = 0;
  const char *p = cmd_line;
  for (;;) {
    const char *start = p;
    while (*p != '\0' && !is_separator(*p)) ++p;
    std::size_t len = static_cast<std::size_t>(p - start);
    bool at_end = *p == '\0';
    if (!at_end) {
      bool blank = is_blank(*p);
      ++p;
      if (blank) {
        while (is_blank(*p)) ++p;
      }
    }
    auto *arg = static_cast<char *>(argv_calloc(2 * len + 1, 1));
    if (arg == nullptr) {
      // The vector is zero-filled, so free_argv stops at the first gap.
      free_argv(argv);
      return nullptr;
    }
    std::memcpy(arg, start, len);
    arg[len] = '\0';
    unescape_url(arg);
    escape_shell_cmd(arg);
    argv[count++] = arg;
    if (at_end) break;
  }
  argv[count] = nullptr;
  return argv;
}

bool program_path_ok(const char *path) {
  if (path[0] == '/') return false;
  const char *p = path;
  for (;;) {
    const char *slash = std::strchr(p, '/');
    std::size_t len = slash ? static_cast<std::size_t>(slash - p) : std::strlen(p);
    if (len == 2 && p[0] == '.' && p[1] == '.') return false;
    if (slash == nullptr) return true;
    p = slash + 1;
  }
}

const char *ip_ntoa(std::uint32_t addr_network_order) {
  static char buf[32];
  const auto *b = reinterpret_cast<const unsigned char *>(&addr_network_order);
  format_bounded(buf, sizeof buf, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return buf;
}

void dumpv(const char *title, char *const *vector) {
  log_error(title);
  char line[256];
  for (int i = 0; vector[i] != nullptr && i < 20; ++i) {
    format_bounded(line, sizeof line, " [%d] = '%s'", i, vector[i]);
    log_error(line);
  }
}

bool format_bounded(char *buf, std::size_t size, const char *fmt, ...) {
  if (size == 0) return false;
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(buf, size, fmt, ap);
  va_end(ap);
  if (n < 0) {
    buf[0] = '\0';
    return false;
  }
  return static_cast<std::size_t>(n) < size;
}

std::size_t write_fully(int fd, const char *data, std::size_t len) {
  std::size_t done = 0;
  while (done < len) {
    ssize_t n = ::write(fd, data + done, len - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}
