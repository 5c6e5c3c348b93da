// quavd address rules (-a): reading the rules file and judging a peer by its address.
#include "quavd.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "util.h"

char *rules_file = nullptr;

namespace {

// A rule's prefix with its host bits cleared, in network byte order (an
// IPv4 one in the first 4 bytes), and the line that gave it.
struct rule {
  std::array<unsigned char, 16> bits;
  int line;
  bool allow;
};

// Plain heap arrays: the daemon links no C++ runtime library, which every
// handler process would map and copy.
struct rule_list {
  rule *items = nullptr;
  std::size_t count = 0, cap = 0;
};

// The rules of one family by prefix length: for each length the rules of
// that length sorted by their bits, only the first of equal ones kept. A
// lookup is one binary search per length present, whatever the count.
struct family_rules {
  rule_list by_length[129];
  int lengths[129];
  int length_count = 0;
};

struct rule_set {
  family_rules v4, v6;
};

rule_set rules_in_force;

void free_rules(rule_set &set) {
  for (family_rules *f : {&set.v4, &set.v6})
    for (rule_list &list : f->by_length) std::free(list.items);
  set = rule_set{};
}

// A file larger than this is refused rather than read into memory.
constexpr std::size_t MAX_RULES_FILE = 16 * 1024 * 1024;

void clear_host_bits(std::array<unsigned char, 16> &bits, int length) {
  for (int i = 0; i < 16; ++i) {
    int keep = std::clamp(length - 8 * i, 0, 8);
    bits[i] &= static_cast<unsigned char>(0xFF00 >> keep);
  }
}

bool before(const rule &a, const rule &b) {
  int c = std::memcmp(a.bits.data(), b.bits.data(), 16);
  return c < 0 || (c == 0 && a.line < b.line);
}

bool same_bits(const rule &a, const rule &b) { return a.bits == b.bits; }

// False when memory runs out.
bool add_rule(rule_set &set, bool v6, int length, rule r) {
  clear_host_bits(r.bits, length);
  rule_list &list = (v6 ? set.v6 : set.v4).by_length[length];
  if (list.count == list.cap) {
    std::size_t cap = list.cap == 0 ? 16 : list.cap * 2;
    void *grown = std::realloc(list.items, cap * sizeof(rule));
    if (grown == nullptr) return false;
    list.items = static_cast<rule *>(grown);
    list.cap = cap;
  }
  list.items[list.count++] = r;
  return true;
}

void sort_rules(family_rules &f) {
  for (int length = 0; length <= 128; ++length) {
    rule_list &list = f.by_length[length];
    if (list.count == 0) continue;
    std::sort(list.items, list.items + list.count, before);
    list.count = static_cast<std::size_t>(std::unique(list.items, list.items + list.count, same_bits) - list.items);
    f.lengths[f.length_count++] = length;
  }
}

// The first rule of the family whose prefix holds the address, or null.
const rule *first_match(const family_rules &f, const unsigned char *address, std::size_t size) {
  const rule *best = nullptr;
  rule key{};
  for (int i = 0; i < f.length_count; ++i) {
    const int length = f.lengths[i];
    std::memcpy(key.bits.data(), address, size);
    std::fill(key.bits.begin() + static_cast<long>(size), key.bits.end(), 0);
    clear_host_bits(key.bits, length);
    key.line = 0;
    const rule_list &list = f.by_length[length];
    const rule *end = list.items + list.count;
    const rule *at = std::lower_bound(static_cast<const rule *>(list.items), end, key, before);
    if (at != end && at->bits == key.bits && (best == nullptr || at->line < best->line)) best = at;
  }
  return best;
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// The next blank-separated word of the line, taken off its front.
std::string_view next_word(std::string_view &line) {
  std::size_t start = 0;
  while (start < line.size() && is_blank(line[start])) ++start;
  std::size_t end = start;
  while (end < line.size() && !is_blank(line[end])) ++end;
  std::string_view word(line.data() + start, end - start);
  line.remove_prefix(end);
  return word;
}

// One line of the file into the set. Null when it is a rule, a comment or
// blank; else why it is none.
const char *read_rule(std::string_view line, int number, rule_set &set) {
  std::string_view word = next_word(line);
  if (word.empty() || word[0] == '#') return nullptr;
  if (word != "allow" && word != "deny") return "the first word must be allow or deny";
  rule r{{}, number, word == "allow"};
  std::string_view prefix = next_word(line);
  if (prefix.empty()) return "an address must follow the word";
  if (!next_word(line).empty()) return "text after the address";
  std::size_t slash = std::min(prefix.find('/'), prefix.size());
  char text[INET6_ADDRSTRLEN + 1];
  // inet_pton would stop at a NUL and take what comes before it.
  if (slash >= sizeof text || prefix.find('\0') != std::string_view::npos)
    return "not an IPv4 address or IPv6 literal";
  std::memcpy(text, prefix.data(), slash);
  text[slash] = '\0';
  bool v6 = false;
  if (::inet_pton(AF_INET, text, r.bits.data()) != 1) {
    if (::inet_pton(AF_INET6, text, r.bits.data()) != 1) return "not an IPv4 address or IPv6 literal";
    v6 = true;
  }
  const int most = v6 ? 128 : 32;
  int length = most;
  if (slash < prefix.size()) {
    std::string_view digits = prefix;
    digits.remove_prefix(slash + 1);
    length = 0;
    bool ok = !digits.empty() && digits.size() <= 3;
    for (char c : digits) {
      ok = ok && c >= '0' && c <= '9';
      length = length * 10 + (c - '0');
    }
    if (!ok || length > most) return v6 ? "the length must be from 0 to 128" : "the length must be from 0 to 32";
  }
  // Mapped peers are judged as IPv4, so a mapped prefix is an IPv4 one.
  static const unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  if (v6 && length >= 96 && std::memcmp(r.bits.data(), mapped, 12) == 0) {
    std::memmove(r.bits.data(), r.bits.data() + 12, 4);
    std::fill(r.bits.begin() + 4, r.bits.end(), 0);
    v6 = false;
    length -= 96;
  }
  return add_rule(set, v6, length, r) ? nullptr : "out of memory";
}

// The whole file in a heap buffer of *len bytes, or null with errno set
// (EFBIG when it is too large).
char *read_whole_file(const char *path, std::size_t *len) {
  int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return nullptr;
  char *text = nullptr;
  std::size_t cap = 0;
  *len = 0;
  for (;;) {
    if (*len == cap) {
      // One byte past the bound tells a file that is too large.
      if (cap > MAX_RULES_FILE) {
        errno = EFBIG;
        break;
      }
      std::size_t grow = cap == 0 ? 65536 : std::min(2 * cap, MAX_RULES_FILE + 1);
      void *grown = std::realloc(text, grow);
      if (grown == nullptr) break;
      text = static_cast<char *>(grown);
      cap = grow;
    }
    ssize_t n = ::read(fd, text + *len, cap - *len);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    if (n == 0) {
      ::close(fd);
      return text;
    }
    *len += static_cast<std::size_t>(n);
  }
  int err = errno;
  std::free(text);
  ::close(fd);
  errno = err;
  return nullptr;
}

bool parse_rules(const char *path, rule_set &set, char *why, std::size_t size) {
  std::size_t len = 0;
  char *text = read_whole_file(path, &len);
  if (text == nullptr) {
    const char *reason = errno == EFBIG ? "larger than 16 MiB" : std::strerror(errno);
    format_bounded(why, size, "%.4000s: %s", path, reason);
    return false;
  }
  std::string_view rest(text, len);
  for (int number = 1; !rest.empty(); ++number) {
    std::size_t end = std::min(rest.find('\n'), rest.size());
    if (const char *reason = read_rule(std::string_view(rest.data(), end), number, set)) {
      format_bounded(why, size, "%.4000s line %d: %s", path, number, reason);
      std::free(text);
      return false;
    }
    rest.remove_prefix(std::min(end + 1, rest.size()));
  }
  std::free(text);
  sort_rules(set.v4);
  sort_rules(set.v6);
  return true;
}

}  // namespace

bool load_rules(const char *path, char *why, std::size_t size) {
  // A failed load leaves the rules in force as they were.
  rule_set loaded;
  if (!parse_rules(path, loaded, why, size)) {
    free_rules(loaded);
    return false;
  }
  free_rules(rules_in_force);
  rules_in_force = loaded;
  return true;
}

bool rules_admit(const sockaddr *peer) {
  if (rules_file == nullptr) return true;
  const rule *match = nullptr;
  if (peer->sa_family == AF_INET) {
    const auto *a = &reinterpret_cast<const sockaddr_in *>(peer)->sin_addr;
    match = first_match(rules_in_force.v4, reinterpret_cast<const unsigned char *>(a), 4);
  } else if (peer->sa_family == AF_INET6) {
    const auto &a = reinterpret_cast<const sockaddr_in6 *>(peer)->sin6_addr;
    match = IN6_IS_ADDR_V4MAPPED(&a) ? first_match(rules_in_force.v4, a.s6_addr + 12, 4)
                                     : first_match(rules_in_force.v6, a.s6_addr, 16);
  }
  return match != nullptr && match->allow;
}
