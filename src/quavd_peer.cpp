// quavd peer naming and the access filter.
#include "quavd.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cstring>

#include "util.h"

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

void map_sockaddr_to_name(const sockaddr_in *peer, char *dest, std::size_t size) {
  if (size == 0) return;
  const hostent *entry = ::gethostbyaddr(&peer->sin_addr, 4, AF_INET);
  const char *name = entry != nullptr ? find_fqdn(entry) : ip_ntoa(peer->sin_addr.s_addr);
  std::size_t len = std::strlen(name);
  if (len > size - 1) len = size - 1;
  std::memcpy(dest, name, len);
  dest[len] = '\0';
}

int match_suffix(const char *text, const char *suffix) {
  std::size_t text_len = std::strlen(text);
  std::size_t suffix_len = std::strlen(suffix);
  if (suffix_len > text_len) return 0;
  return std::memcmp(text + text_len - suffix_len, suffix, suffix_len) == 0 ? 1 : 0;
}

int filter_source(const sockaddr_in *peer, const char *peer_name) {
  if (localhost_only && peer->sin_addr.s_addr != htonl(INADDR_LOOPBACK)) return 1;
  if (restrict_to == nullptr) return 0;
  if (restrict_to[0] == '*') return match_suffix(peer_name, restrict_to + 1) ? 0 : 1;
  return std::strcmp(peer_name, restrict_to) == 0 ? 0 : 1;
}
