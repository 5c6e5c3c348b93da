/* Writes N bytes (the first argument, decimal) to standard output in large
 * writes, so that the relay, not the script, sets the pace. Byte p of the
 * stream is 'a' + p % 26, so that a reader can check what arrived. */
#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

/* A multiple of 26 keeps the pattern continuous from one block to the next. */
static char block[26 * 2520];

int main(int argc, char **argv) {
  unsigned long long left = argc > 1 ? strtoull(argv[1], NULL, 10) : 0;
  for (size_t i = 0; i < sizeof block; ++i) block[i] = (char)('a' + i % 26);
  size_t offset = 0;
  while (left > 0) {
    size_t want = sizeof block - offset;
    if (want > left) want = (size_t)left;
    ssize_t n = write(1, block + offset, want);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 1;
    left -= (unsigned long long)n;
    offset = (offset + (size_t)n) % sizeof block;
  }
  return 0;
}
