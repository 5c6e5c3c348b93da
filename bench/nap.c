/* The slow script: sleeps 50 ms and exits, so that clients served at once
 * are bound by how many run in parallel, not by the machine's cores. */
#include <errno.h>
#include <time.h>

int main(void) {
  struct timespec left = {0, 50 * 1000 * 1000};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
  return 0;
}
