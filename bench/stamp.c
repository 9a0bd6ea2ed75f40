/* Times what a bumpbuild run adds so that it never replaces a version file that another run
 * replaced meanwhile, and so that it finds a copy an earlier run kept beside a missing one: an
 * fstat of the open version file when it is read, a stat of its path just before the replacement
 * and an lstat of its path at the start. Prints the mean time of one such set in microseconds.
 * Usage: stamp ROUNDS PATH */
#define _POSIX_C_SOURCE 200809L
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static double now_us(void) {
  struct timespec at;
  clock_gettime(CLOCK_MONOTONIC, &at);
  return (double)at.tv_sec * 1e6 + (double)at.tv_nsec / 1e3;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: stamp ROUNDS PATH\n");
    return 2;
  }
  const long rounds = atol(argv[1]);
  const int fd = open(argv[2], O_RDONLY);
  if (fd < 0 || rounds <= 0) {
    perror(argv[2]);
    return 1;
  }
  long same = 0;
  const double start = now_us();
  for (long i = 0; i < rounds; ++i) {
    struct stat read, now, itself;
    if (fstat(fd, &read) != 0 || stat(argv[2], &now) != 0 || lstat(argv[2], &itself) != 0) {
      perror(argv[2]);
      return 1;
    }
    same += read.st_ino == now.st_ino && read.st_mtim.tv_nsec == now.st_mtim.tv_nsec;
  }
  const double elapsed = now_us() - start;
  close(fd);
  if (same != rounds) {
    fprintf(stderr, "stamp: the file changed while it was timed\n");
    return 1;
  }
  printf("%.3f\n", elapsed / (double)rounds);
  return 0;
}
