// Fuzzes the command line's path clean-up. Each pass works in a heap buffer
// of exactly the text's size, so any access past the terminator is caught.
//
// What is checked holds for every input (the second cleaning of a text is
// NOT idempotent in general: "a///" keeps a "//" for the next pass, and
// "aaa../a.." loses a further step once its tail is gone):
// - no pass makes the text longer, and the folding pass only deletes bytes
//   (its result is a subsequence of its input);
// - slash thinning turns every run of n slashes into ceil(n/2);
// - a text without ".." is left alone by the folding pass;
// - the result is -1 exactly when the cleaned text begins with '/';
// - an accepted text has no component that is exactly "..";
// - cleaning an accepted text again keeps it accepted, and when it holds no
//   "//" the second result is a prefix of the first.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "util.h"

namespace {

struct heap_text {
  std::unique_ptr<char[]> buf;
  std::size_t size;
  explicit heap_text(const std::string &s) : buf(new char[s.size() + 1]), size(s.size() + 1) {
    std::memcpy(buf.get(), s.c_str(), s.size() + 1);
  }
  char *get() { return buf.get(); }
  std::string str() const { return std::string(buf.get()); }
};

void check(bool ok) {
  if (!ok) std::abort();
}

std::string thin_slashes_model(const std::string &s) {
  std::string out;
  std::size_t i = 0;
  while (i < s.size()) {
    if (s[i] != '/') {
      out += s[i++];
      continue;
    }
    std::size_t run = 0;
    while (i < s.size() && s[i] == '/') ++run, ++i;
    out.append((run + 1) / 2, '/');
  }
  return out;
}

bool is_subsequence(const std::string &small, const std::string &big) {
  std::size_t j = 0;
  for (char c : big) {
    if (j < small.size() && small[j] == c) ++j;
  }
  return j == small.size();
}

bool has_dotdot_component(const std::string &s) {
  std::size_t start = 0;
  for (;;) {
    std::size_t slash = s.find('/', start);
    std::size_t end = slash == std::string::npos ? s.size() : slash;
    if (end - start == 2 && s[start] == '.' && s[start + 1] == '.') return true;
    if (slash == std::string::npos) return false;
    start = slash + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  // The daemon's text ends at its first NUL.
  std::string input(reinterpret_cast<const char *>(data), size);
  input = input.c_str();

  heap_text thinned(input);
  path_no2slash(thinned.get());
  check(thinned.str() == thin_slashes_model(input));

  heap_text folded(input);
  path_fix_parents(folded.get());
  std::string f = folded.str();
  check(f.size() <= input.size());
  check(is_subsequence(f, input));
  if (input.find("..") == std::string::npos) check(f == input);

  heap_text cleaned(input);
  int result = clean_up_path(cleaned.get());
  std::string c = cleaned.str();
  check(c.size() <= input.size());
  check((result == -1) == (!c.empty() && c[0] == '/'));
  check(result == 0 || result == -1);
  if (result == 0) {
    check(!has_dotdot_component(c));
    heap_text again(c);
    check(clean_up_path(again.get()) == 0);
    std::string a = again.str();
    check(a.size() <= c.size());
    if (c.find("//") == std::string::npos) check(c.compare(0, a.size(), a) == 0);
  }
  return 0;
}
