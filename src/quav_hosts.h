// quav's host list: hosts from -H lists and -f files, each split into the
// name to resolve and the port it carries.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quav {

struct host {
  std::string text;  // as written: its output prefix and its -o file name
  std::string name;  // what the resolver is asked for
  std::string port;  // its own port, or empty when -p applies
};

// Reads a port from 1 to 65535 in decimal digits, written back without
// leading zeros; false for anything else.
bool parse_port(std::string_view text, std::string &out);

// Reads one host: NAME, NAME:PORT, an IPv6 literal, or [IPv6]:PORT. False
// when it is malformed; a host text never holds a blank, a control byte or
// a '/', so that it can name a file.
bool parse_host(std::string_view text, host &out);

// Appends the hosts of a comma-separated list (empty items are skipped).
// False with why set when one is malformed.
bool add_host_list(std::string_view list, std::vector<host> &hosts, std::string &why);

// Appends the hosts of a file: one per line; blank lines and everything
// from a '#' on are ignored. False with why set when the file cannot be
// read or a host is malformed.
bool add_host_file(const char *path, std::vector<host> &hosts, std::string &why);

}  // namespace quav
