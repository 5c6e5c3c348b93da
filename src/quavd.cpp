// quavd start-up: the server settings, the command line and the usage text.
#include "quavd.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log.h"

// ---------------------------------------------------------------------------
// Server settings

const char *server_root = nullptr;
int server_port = 0;
char *restrict_to = nullptr;
int localhost_only = 0;
int raw_data = 1;
int debug = 0;

namespace {

constexpr char usage_pattern_examples[] = "*.example.com, www.example.com";

}  // namespace

// ---------------------------------------------------------------------------
// Start-up

void set_server_root(const char *text) { server_root = strdup(text); }
void set_server_port(const char *text) { server_port = std::atoi(text); }
void set_debug(const char *text) { debug = std::atoi(text); }

void usage(const char *program_name) {
  std::fprintf(stderr, "Usage: %s [-d directory] { -r pattern | -L } [-l] \n", program_name);
  std::fprintf(stderr, "-d directory : specify an alternate directory\n");
  std::fprintf(stderr, "-L local host (loopback) only\n");
  std::fprintf(stderr, "-r restict host to 'pattern' (%s)\n", usage_pattern_examples);
  std::fprintf(stderr, "-l log to local file\n");
  std::fprintf(stderr, "-n allow script to emit headers\n");
  std::fprintf(stderr, "-x turn on debug output\n");
  std::exit(1);
}

void ensure_std_fds() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      // The lowest free number is this one.
      int null_fd = ::open("/dev/null", O_RDWR);
      if (null_fd < 0) std::_Exit(1);
    }
  }
}

int quavd_main(int argc, char **argv) {
  ensure_std_fds();
  server_root = ".";
  server_port = 8001;

  const char *program_name = argc > 0 ? argv[0] : "quavd";
  // The leading '+' keeps glibc from reordering: reading stops at the first
  // argument that is not an option.
  int c;
  while ((c = ::getopt(argc, argv, "+d:p:r:x:Llnh")) != -1) {
    switch (c) {
      case 'd': set_server_root(optarg); break;
      case 'p': set_server_port(optarg); break;
      case 'r':
        std::free(restrict_to);
        restrict_to = strdup(optarg);
        break;
      case 'x': set_debug(optarg); break;
      case 'L': localhost_only = 1; break;
      case 'l': set_local_log(); break;
      case 'n': raw_data = 0; break;
      default: usage(program_name);
    }
  }

  // Carrying on elsewhere (often /) would let clients run whatever lies
  // below that directory.
  if (::chdir(server_root) != 0) {
    std::fprintf(stderr, "quavd: could not change to directory %s\n", server_root);
    std::perror("chdir");
    std::exit(1);
  }

  standalone_main();
  return 0;
}
