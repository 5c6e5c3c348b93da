// quavd peer naming and the access filter.
#include "quavd.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cstring>

#include "util.h"

hostent *(*reverse_lookup)(const void *addr, socklen_t len, int type) = ::gethostbyaddr;
int (*forward_lookup)(const char *name, const char *service, const addrinfo *hints,
                      addrinfo **result) = ::getaddrinfo;
void (*forward_free)(addrinfo *list) = ::freeaddrinfo;

namespace {

const sockaddr_in *in4(const sockaddr *sa) { return reinterpret_cast<const sockaddr_in *>(sa); }
const sockaddr_in6 *in6(const sockaddr *sa) { return reinterpret_cast<const sockaddr_in6 *>(sa); }

// An IPv4-mapped IPv6 address as the IPv4 record it stands for, in v4;
// any other address unchanged.
const sockaddr *unmapped(const sockaddr *peer, sockaddr_in *v4) {
  if (peer->sa_family != AF_INET6 || !IN6_IS_ADDR_V4MAPPED(&in6(peer)->sin6_addr)) return peer;
  *v4 = {};
  v4->sin_family = AF_INET;
  v4->sin_port = in6(peer)->sin6_port;
  std::memcpy(&v4->sin_addr, &in6(peer)->sin6_addr.s6_addr[12], 4);
  return reinterpret_cast<const sockaddr *>(v4);
}

// Dotted decimal, or the standard IPv6 text, in a buffer that the next
// call overwrites.
const char *address_text(const sockaddr *peer) {
  static char text[INET6_ADDRSTRLEN];
  if (peer->sa_family == AF_INET) return ip_ntoa(in4(peer)->sin_addr.s_addr);
  if (peer->sa_family != AF_INET6 || ::inet_ntop(AF_INET6, &in6(peer)->sin6_addr, text, sizeof text) == nullptr)
    return "";
  return text;
}

bool same_address(const sockaddr *a, const sockaddr *b) {
  if (a->sa_family != b->sa_family) return false;
  if (a->sa_family == AF_INET) return in4(a)->sin_addr.s_addr == in4(b)->sin_addr.s_addr;
  return a->sa_family == AF_INET6 &&
         std::memcmp(&in6(a)->sin6_addr, &in6(b)->sin6_addr, sizeof in6(a)->sin6_addr) == 0;
}

// True when a forward lookup of the name yields the peer's address.
bool name_has_address(const char *name, const sockaddr *peer) {
  // The hosts file knows no name with a trailing dot ("localhost.").
  char host[1024];
  format_bounded(host, sizeof host, "%s", name);
  std::size_t len = std::strlen(host);
  if (len > 1 && host[len - 1] == '.') host[len - 1] = '\0';
  addrinfo hints{};
  hints.ai_family = peer->sa_family;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *list = nullptr;
  if (forward_lookup(host, nullptr, &hints, &list) != 0) return false;
  bool found = false;
  for (const addrinfo *a = list; a != nullptr && !found; a = a->ai_next)
    found = a->ai_addr != nullptr && same_address(a->ai_addr, peer);
  forward_free(list);
  return found;
}

void copy_cut(char *dest, std::size_t size, const char *text) {
  std::size_t len = std::strlen(text);
  if (len > size - 1) len = size - 1;
  std::memmove(dest, text, len);
  dest[len] = '\0';
}

}  // namespace

const char *find_fqdn(const hostent *entry) {
  static char fqdn[1024];
  const char *name = entry->h_name != nullptr ? entry->h_name : "";
  if (std::strchr(name, '.') != nullptr) return name;
  if (entry->h_aliases != nullptr) {
    std::size_t n = std::strlen(name);
    for (char **alias = entry->h_aliases; *alias != nullptr; ++alias) {
      if (std::strchr(*alias, '.') != nullptr && std::strncmp(*alias, name, n) == 0) return *alias;
    }
  }
  char domain[1024];
  if (::getdomainname(domain, sizeof domain) != 0) domain[0] = '\0';
  domain[sizeof domain - 1] = '\0';
  // Linux reports an unset domain as "(none)": a placeholder, not a name.
  if (std::strcmp(domain, "(none)") == 0) domain[0] = '\0';
  format_bounded(fqdn, sizeof fqdn, "%s.%s", name, domain);
  return fqdn;
}

void map_sockaddr_to_name(const sockaddr *peer, char *dest, std::size_t size) {
  if (size == 0) return;
  sockaddr_in v4;
  peer = unmapped(peer, &v4);
  const hostent *entry = nullptr;
  if (peer->sa_family == AF_INET) entry = reverse_lookup(&in4(peer)->sin_addr, 4, AF_INET);
  if (peer->sa_family == AF_INET6) entry = reverse_lookup(&in6(peer)->sin6_addr, 16, AF_INET6);
  if (entry != nullptr) {
    copy_cut(dest, size, find_fqdn(entry));
    // Whoever controls the reverse zone can claim any name; with -F only a
    // name that leads back to the address counts.
    if (!forward_confirm || name_has_address(dest, peer)) return;
  }
  copy_cut(dest, size, address_text(peer));
}

int match_suffix(const char *text, const char *suffix) {
  std::size_t text_len = std::strlen(text);
  std::size_t suffix_len = std::strlen(suffix);
  if (suffix_len > text_len) return 0;
  return std::memcmp(text + text_len - suffix_len, suffix, suffix_len) == 0 ? 1 : 0;
}

int filter_source(const sockaddr *peer, const char *peer_name) {
  sockaddr_in v4;
  peer = unmapped(peer, &v4);
  bool loopback = peer->sa_family == AF_INET ? in4(peer)->sin_addr.s_addr == htonl(INADDR_LOOPBACK)
                                             : peer->sa_family == AF_INET6 && IN6_IS_ADDR_LOOPBACK(&in6(peer)->sin6_addr);
  if (localhost_only && !loopback) return 1;
  if (restrict_to == nullptr) return 0;
  if (restrict_to[0] == '*') return match_suffix(peer_name, restrict_to + 1) ? 0 : 1;
  return std::strcmp(peer_name, restrict_to) == 0 ? 0 : 1;
}

int name_by_address(const sockaddr *peer, char *dest, std::size_t size) {
  sockaddr_in v4;
  if (size > 0) copy_cut(dest, size, address_text(unmapped(peer, &v4)));
  return rules_admit(peer) ? 0 : 1;
}

int name_and_filter(const sockaddr *peer, char *dest, std::size_t size) {
  if (name_by_address(peer, dest, size)) return 1;
  map_sockaddr_to_name(peer, dest, size);
  return filter_source(peer, dest);
}
