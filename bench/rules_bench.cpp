// Rule lookup benchmark: writes a rules file of many rules and times the
// daemon's own lookup of a peer against it.
//   rules_bench write FILE COUNT LAST   COUNT-1 deny rules of four kinds,
//                                       then "allow LAST"
//   rules_bench lookup FILE ADDRESS N   load time, then ns per lookup
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "quavd.h"

namespace {

using clock_type = std::chrono::steady_clock;

double elapsed_ns(clock_type::time_point since) {
  return std::chrono::duration<double, std::nano>(clock_type::now() - since).count();
}

int write_rules(const char *path, long count, const char *last) {
  std::FILE *f = std::fopen(path, "w");
  if (f == nullptr) return 1;
  std::fprintf(f, "# %ld rules, only the last admits %s\n", count, last);
  // Lengths 24, 32, 64 and 128 in turn, none holding a loopback address.
  for (long i = 0; i + 1 < count; ++i) {
    long a = i / 256 % 256, b = i % 256;
    switch (i % 4) {
      case 0: std::fprintf(f, "deny 10.%ld.%ld.0/24\n", a, b); break;
      case 1: std::fprintf(f, "deny 172.16.%ld.%ld\n", a, b); break;
      case 2: std::fprintf(f, "deny 2001:db8:%lx:%lx::/64\n", a, b); break;
      default: std::fprintf(f, "deny 2001:db8::%lx:%lx\n", a, b);
    }
  }
  std::fprintf(f, "allow %s\n", last);
  return std::fclose(f) == 0 ? 0 : 1;
}

int time_lookups(const char *path, const char *address, long n) {
  char why[8192];
  auto start = clock_type::now();
  if (!load_rules(path, why, sizeof why)) {
    std::fprintf(stderr, "rules_bench: %s\n", why);
    return 1;
  }
  double load_ms = elapsed_ns(start) / 1e6;
  rules_file = const_cast<char *>(path);
  sockaddr_storage peer{};
  if (parse_address(address, &peer) != 0) return 1;
  const auto *sa = reinterpret_cast<const sockaddr *>(&peer);
  long admitted = 0;
  start = clock_type::now();
  for (long i = 0; i < n; ++i) admitted += rules_admit(sa) ? 1 : 0;
  double per_lookup = elapsed_ns(start) / static_cast<double>(n);
  std::printf("load_ms=%.2f lookup_ns=%.1f admitted=%ld\n", load_ms, per_lookup, admitted);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 5 && std::strcmp(argv[1], "write") == 0)
    return write_rules(argv[2], std::atol(argv[3]), argv[4]);
  if (argc == 5 && std::strcmp(argv[1], "lookup") == 0)
    return time_lookups(argv[2], argv[3], std::atol(argv[4]));
  std::fprintf(stderr, "usage: rules_bench write FILE COUNT LAST | lookup FILE ADDRESS N\n");
  return 2;
}
