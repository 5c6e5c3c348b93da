// Fuzzes the argument vector construction and the program path check.
//
// Input: one control byte, then the command line (up to its first NUL).
// A control byte from 1 to 15 makes that allocation of create_argv fail
// (1 is the vector itself), to check that nothing is then left held.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "util.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

struct alloc_record {
  void *ptr;
  std::size_t bytes;
};
std::vector<alloc_record> allocations;
int live_allocations = 0;
int fail_at = 0;  // 1-based index of the allocation to refuse; 0 for none
int calls = 0;

void *recording_calloc(std::size_t count, std::size_t size) {
  if (++calls == fail_at) return nullptr;
  void *p = std::calloc(count, size);
  if (p != nullptr) {
    allocations.push_back({p, count * size});
    ++live_allocations;
  }
  return p;
}

void recording_free(void *p) {
  if (p != nullptr) --live_allocations;
  std::free(p);
}

bool is_sep(char c) { return c == '+' || c == ' ' || c == '\t'; }
bool is_blank(char c) { return c == ' ' || c == '\t'; }

// The raw arguments of the command line, before decoding.
std::vector<std::string> split_model(const std::string &s) {
  std::vector<std::string> out;
  std::size_t i = 0;
  for (;;) {
    std::size_t start = i;
    while (i < s.size() && !is_sep(s[i])) ++i;
    out.push_back(s.substr(start, i - start));
    if (i == s.size()) return out;
    bool blank = is_blank(s[i]);
    ++i;
    if (blank)
      while (i < s.size() && is_blank(s[i])) ++i;
  }
}

int digit_model(unsigned char b) { return (b >= 'A' && b <= 0x7F) ? (b & 0xDF) - 55 : b - 48; }

std::string decode_model(const std::string &s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      out += s[i];
      continue;
    }
    unsigned char a = i + 1 < s.size() ? static_cast<unsigned char>(s[i + 1]) : 0;
    unsigned char b = i + 2 < s.size() ? static_cast<unsigned char>(s[i + 2]) : 0;
    out += static_cast<char>(static_cast<unsigned>(16 * digit_model(a) + digit_model(b)) & 0xFF);
    if (i + 2 >= s.size()) break;
    i += 2;
  }
  return std::string(out.c_str());  // a decoded NUL ends the argument
}

constexpr char special[] = "&;`'\"|*?~<>^()[]{}$\\";
bool special_byte(char c) { return c != '\0' && std::strchr(special, c) != nullptr; }

bool path_ok_model(const std::string &p) {
  if (!p.empty() && p[0] == '/') return false;
  std::size_t start = 0;
  for (;;) {
    std::size_t slash = p.find('/', start);
    std::size_t end = slash == std::string::npos ? p.size() : slash;
    if (end - start == 2 && p.compare(start, 2, "..") == 0) return false;
    if (slash == std::string::npos) return true;
    start = slash + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size == 0) return 0;
  std::string line(reinterpret_cast<const char *>(data + 1), size - 1);
  line = line.c_str();

  check(program_path_ok(line.c_str()) == path_ok_model(line));

  allocations.clear();
  live_allocations = 0;
  calls = 0;
  fail_at = data[0] >= 1 && data[0] <= 15 ? data[0] : 0;
  argv_calloc = recording_calloc;
  argv_free = recording_free;
  char **argv = create_argv(line.c_str());
  argv_calloc = std::calloc;
  argv_free = std::free;

  std::vector<std::string> raw = split_model(line);
  std::size_t capacity = argv_capacity(line.c_str());
  std::size_t separators = 0;
  for (char c : line) separators += is_sep(c) ? 1 : 0;
  check(capacity == separators + 2);

  if (fail_at != 0 && static_cast<std::size_t>(fail_at) <= raw.size() + 1) {
    // The refused allocation is reached: nothing may stay held.
    check(argv == nullptr);
    check(live_allocations == 0);
    return 0;
  }
  check(argv != nullptr);
  check(allocations.size() == raw.size() + 1);
  check(allocations[0].ptr == argv && allocations[0].bytes == capacity * sizeof(char *));

  std::size_t count = 0;
  while (argv[count] != nullptr) ++count;
  check(count == raw.size());
  check(count <= capacity - 1);

  for (std::size_t i = 0; i < count; ++i) {
    const char *arg = argv[i];
    check(allocations[i + 1].ptr == arg);
    check(allocations[i + 1].bytes == 2 * raw[i].size() + 1);
    std::size_t len = std::strlen(arg);
    check(len + 1 <= allocations[i + 1].bytes);
    // Exactly the escaped form: a backslash only ever introduces a special
    // byte, and no special byte stands without one.
    std::string unescaped;
    for (std::size_t j = 0; j < len; ++j) {
      if (arg[j] == '\\') {
        check(special_byte(arg[j + 1]));
        unescaped += arg[++j];
      } else {
        check(!special_byte(arg[j]));
        unescaped += arg[j];
      }
    }
    check(unescaped == decode_model(raw[i]));
  }

  // The program path as handed to execve is argument 0 as built here.
  const std::string program = argv[0];
  bool ok = program_path_ok(argv[0]);
  check(ok == path_ok_model(program));
  if (ok) check(program.empty() || program[0] != '/');
  check(live_allocations == static_cast<int>(count) + 1);
  free_argv(argv);
  return 0;
}
