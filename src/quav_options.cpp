// quav's command line: the options, their checks and the usage text.
#include "quav_options.h"

#include <getopt.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "quav_encode.h"
#include "quav_reply.h"
#include "quav_tls.h"

namespace quav {

void fail(int status, const char *fmt, ...) {
  std::fputs("quav: ", stderr);
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(stderr, fmt, ap);
  va_end(ap);
  std::fputc('\n', stderr);
  std::exit(status);
}

namespace {

void print_usage(FILE *to) {
  std::fputs(
      "usage: quav [-H host] [-p port] [-e NAME=VALUE]... [-i] [-n] SCRIPT [ARG]...\n"
      "  -H host         daemon's host name or address (default 127.0.0.1)\n"
      "  -p port         daemon's port (default 8001)\n"
      "  -e NAME=VALUE   environment entry for the script (repeatable, at most 50)\n"
      "  -i              send standard input to the script (LF bytes are dropped)\n"
      "  -n              copy everything after the 200 reply (daemon run with -n)\n"
      "  -H h1,h2 -H h3  several hosts, each NAME, NAME:PORT, IPv6 or [IPv6]:PORT\n"
      "  -f file         hosts from a file, one per line ('#' starts a comment)\n"
      "  -P n            at most n hosts at once (default 32)\n"
      "  -o dir          each host's output to dir/HOST instead of prefixed lines\n"
      "  -w seconds      bound on each host's connect (default 10 with several hosts)\n"
      "  --tls-ca file   TLS: the daemons' certificates must verify against these CAs\n"
      "  --tls-cert file --tls-key file  TLS: quav's own certificate and its key\n"
      "  -V              print the version and exit\n"
      "  -S              exit with the script's status (daemon run with -S)\n"
      "  -b              with several hosts, identical outputs once under one header\n",
      to);
}

[[noreturn]] void usage_error(const char *fmt, const char *arg) {
  std::fputs("quav: ", stderr);
  std::fprintf(stderr, fmt, arg);
  std::fputc('\n', stderr);
  print_usage(stderr);
  std::exit(status_local);
}

long number_option(char opt, const char *text, long low, long high) {
  char *end = nullptr;
  errno = 0;
  long n = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || n < low || n > high) {
    fail(status_local, "bad -%c '%s': want a whole number from %ld to %ld", opt, text, low, high);
  }
  return n;
}

void add_hosts(settings &s, char opt, const char *arg) {
  std::string why;
  bool ok = opt == 'H' ? quav::add_host_list(arg, s.hosts, why)
                       : quav::add_host_file(arg, s.hosts, why);
  if (!ok) fail(status_local, "%s", why.c_str());
}

// The flags and their values; the script and its arguments start at optind.
void read_flags(int argc, char **argv, settings &s, bool &hosts_given) {
  enum { OPT_TLS_CA = 256, OPT_TLS_CERT, OPT_TLS_KEY };
  const option long_options[] = {{"tls-ca", required_argument, nullptr, OPT_TLS_CA},
                                 {"tls-cert", required_argument, nullptr, OPT_TLS_CERT},
                                 {"tls-key", required_argument, nullptr, OPT_TLS_KEY},
                                 {nullptr, 0, nullptr, 0}};
  const char *tls_files[3] = {};  // CA, certificate, key

  int c;
  // '+': options end at SCRIPT, so the script's own arguments may begin with '-'.
  while ((c = ::getopt_long(argc, argv, "+H:p:e:inhVf:P:o:w:Sb", long_options, nullptr)) != -1) {
    switch (c) {
      case OPT_TLS_CA:
      case OPT_TLS_CERT:
      case OPT_TLS_KEY: tls_files[c - OPT_TLS_CA] = optarg; break;
      case 'H':
      case 'f':
        add_hosts(s, static_cast<char>(c), optarg);
        hosts_given = true;
        break;
      case 'p':
        if (!quav::parse_port(optarg, s.port)) usage_error("bad port '%s'", optarg);
        break;
      case 'e': s.env.emplace_back(optarg); break;
      case 'i': s.send_input = true; break;
      case 'n': s.copy_headers = true; break;
      case 'P': s.parallel = number_option('P', optarg, 1, 100000); break;
      case 'o': s.out_dir = optarg; break;
      case 'w': {
        char *end = nullptr;
        s.wait = std::strtod(optarg, &end);
        if (end == optarg || *end != '\0' || !(s.wait > 0 && s.wait <= 86400)) {
          fail(status_local, "bad -w '%s': want seconds, above 0 and at most 86400", optarg);
        }
        break;
      }
      case 'S': s.want_status = true; break;
      case 'b': s.gather = true; break;
      case 'h': print_usage(stdout); std::exit(0);
      case 'V': std::printf("quav %s\n", QUAVD_VERSION); std::exit(0);
      default: print_usage(stderr); std::exit(status_local);
    }
  }
  if ((tls_files[1] == nullptr) != (tls_files[2] == nullptr)) fail(status_local, "--tls-cert and --tls-key go together");
  if (tls_files[1] != nullptr && tls_files[0] == nullptr) fail(status_local, "--tls-cert needs --tls-ca");
  if (std::string why; tls_files[0] != nullptr && !quav::tls_setup(tls_files[0], tls_files[1], tls_files[2], why)) {
    fail(status_local, "%s", why.c_str());
  }
}

// Refuses what the protocol cannot carry, before anything is connected.
std::string check_request(int argc, char **argv, const settings &s) {
  if (optind >= argc) usage_error("%s", "no script named");
  if (argv[optind][0] == '\0') usage_error("%s", "the script's name is empty");

  // Everything the protocol cannot carry is refused before connecting.
  if (s.env.size() > static_cast<std::size_t>(max_env)) {
    fail(status_local, "%zu environment entries; the daemon takes at most %d", s.env.size(), max_env);
  }
  for (const std::string &e : s.env) {
    if (e.empty()) fail(status_local, "empty environment entry");
    if (e == ".") fail(status_local, "environment entry \".\" would end the block");
    if (e.find_first_of("\r\n") != std::string::npos) {
      fail(status_local, "environment entry holds a line end: %s", e.c_str());
    }
    if (e.size() + 2 > quav::line_limit) {
      fail(status_local, "environment entry longer than %zu bytes: %.40s...",
           quav::line_limit - 2, e.c_str());
    }
  }
  std::string command = quav::encode_command(std::vector<std::string>(argv + optind, argv + argc));
  if (command.size() > quav::max_command_line) {
    fail(status_local, "encoded command line is %zu bytes; the daemon takes at most %zu",
         command.size(), quav::max_command_line);
  }
  if (s.out_dir != nullptr) {
    struct stat st {};
    if (::mkdir(s.out_dir, 0777) != 0 && errno != EEXIST) {
      fail(status_local, "cannot make output directory %s: %s", s.out_dir, std::strerror(errno));
    }
    if (::stat(s.out_dir, &st) != 0 || !S_ISDIR(st.st_mode)) {
      fail(status_local, "cannot use output directory %s: %s", s.out_dir,
           std::strerror(errno != 0 ? errno : ENOTDIR));
    }
  }
  return command;
}

}  // namespace

std::string read_options(int argc, char **argv, settings &s) {
  bool hosts_given = false;
  read_flags(argc, argv, s, hosts_given);
  if (!hosts_given) s.hosts.push_back({"127.0.0.1", "127.0.0.1", ""});
  if (s.hosts.empty()) fail(status_local, "empty host list");
  const bool many = s.hosts.size() > 1;
  s.gather = s.gather && many && s.out_dir == nullptr;
  if (many && s.wait == 0) s.wait = default_wait;
  return check_request(argc, argv, s);
}

}  // namespace quav
