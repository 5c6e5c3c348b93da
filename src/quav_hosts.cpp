// quav's host list: parsing -H lists and -f host files.
#include "quav_hosts.h"

#include <sys/types.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace quav {

bool parse_port(std::string_view text, std::string &out) {
  if (text.empty() || text.size() > 5) return false;
  long n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  if (n < 1 || n > 65535) return false;
  out = std::to_string(n);
  return true;
}

namespace {

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

void add_unique(host h, std::vector<host> &hosts) {
  // The same text twice would share its output prefix and its -o file.
  for (const host &known : hosts) {
    if (known.text == h.text) return;
  }
  hosts.push_back(std::move(h));
}

std::string malformed(std::string_view text) {
  return "malformed host '" + std::string(text) + "' (want NAME, NAME:PORT or [ADDRESS]:PORT)";
}

}  // namespace

bool parse_host(std::string_view text, host &out) {
  for (unsigned char c : text) {
    if (c <= ' ' || c == 0x7f || c == '/') return false;
  }
  out.text = std::string(text);
  out.port.clear();
  if (!text.empty() && text.front() == '[') {
    std::size_t close = text.find(']');
    if (close == std::string_view::npos || close == 1) return false;
    out.name = std::string(text.substr(1, close - 1));
    std::string_view rest = text.substr(close + 1);
    if (rest.empty()) return true;
    return rest.front() == ':' && parse_port(rest.substr(1), out.port);
  }
  std::size_t colon = text.find(':');
  if (colon != std::string_view::npos && text.find(':', colon + 1) == std::string_view::npos) {
    out.name = std::string(text.substr(0, colon));
    return !out.name.empty() && parse_port(text.substr(colon + 1), out.port);
  }
  // No colon: a name or an IPv4 address; two or more: an IPv6 literal.
  out.name = std::string(text);
  return !out.name.empty() && out.name.find_first_of("[]") == std::string::npos;
}

bool add_host_list(std::string_view list, std::vector<host> &hosts, std::string &why) {
  while (!list.empty()) {
    std::size_t comma = list.find(',');
    std::string_view item = list.substr(0, comma);
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    if (item.empty()) continue;
    host h;
    if (!parse_host(item, h)) {
      why = malformed(item);
      return false;
    }
    add_unique(std::move(h), hosts);
  }
  return true;
}

bool add_host_file(const char *path, std::vector<host> &hosts, std::string &why) {
  FILE *f = std::fopen(path, "re");
  if (f == nullptr) {
    why = std::string("cannot read host file ") + path + ": " + std::strerror(errno);
    return false;
  }
  char *line = nullptr;
  std::size_t cap = 0;
  ssize_t len;
  bool ok = true;
  for (unsigned number = 1; ok && (len = ::getline(&line, &cap, f)) >= 0; ++number) {
    std::string_view text(line, static_cast<std::size_t>(len));
    text = trimmed(text.substr(0, text.find_first_of("#\n")));
    host h;
    if (text.empty()) continue;
    if (!parse_host(text, h)) {
      why = std::string(path) + " line " + std::to_string(number) + ": " + malformed(text);
      ok = false;
    } else {
      add_unique(std::move(h), hosts);
    }
  }
  if (ok && std::ferror(f)) {
    why = std::string("cannot read host file ") + path + ": " + std::strerror(errno);
    ok = false;
  }
  std::free(line);
  std::fclose(f);
  return ok;
}

}  // namespace quav
