/* The floor of a durable atomic replace: what bumpbuild does to the version file, without the text
 * work, the lock and the checks. Copies FILE into COPY (created or truncated) in blocks of 256 KiB,
 * syncs COPY, renames it over FILE and syncs FILE's directory. bench/run builds it with the
 * system's C compiler and default linking, and reports bumpbuild's times as ratios to it.
 * With -w it also hands every 8 MiB copied to the disk at once (sync_file_range), as bumpbuild
 * does, so that the sync waits for less: the floor of that way of writing.
 * Usage: floor [-w] FILE COPY (COPY on FILE's file system). Exits 1, with a message, on any
 * failure. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <libgen.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

enum { kBlockSize = 256 * 1024, kWritebackStretch = 8 * 1024 * 1024 };

static int fail(const char* what, const char* path) {
  fprintf(stderr, "floor: %s %s: %s\n", what, path, strerror(errno));
  return 1;
}

static int write_all(int file, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t count = write(file, data, size);
    if (count < 0 && errno != EINTR) {
      return -1;
    }
    if (count > 0) {
      data += count;
      size -= (size_t)count;
    }
  }
  return 0;
}

int main(int argc, char** argv) {
  const int write_back_early = argc == 4 && strcmp(argv[1], "-w") == 0;
  argv += write_back_early;
  argc -= write_back_early;
  if (argc != 3) {
    fprintf(stderr, "usage: floor [-w] FILE COPY\n");
    return 1;
  }
  static char block[kBlockSize];
  const int source = open(argv[1], O_RDONLY);
  if (source < 0) {
    return fail("cannot open", argv[1]);
  }
  const int copy = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (copy < 0) {
    return fail("cannot create", argv[2]);
  }
  off_t written = 0;
  off_t written_back = 0;
  for (;;) {
    const ssize_t count = read(source, block, sizeof block);
    if (count == 0) {
      break;
    }
    if (count < 0 && errno != EINTR) {
      return fail("cannot read", argv[1]);
    }
    if (count > 0 && write_all(copy, block, (size_t)count) != 0) {
      return fail("cannot write", argv[2]);
    }
    written += count > 0 ? count : 0;
    if (write_back_early && written - written_back >= kWritebackStretch) {
      sync_file_range(copy, written_back, written - written_back, SYNC_FILE_RANGE_WRITE);
      written_back = written;
    }
  }
  if (fsync(copy) != 0 || close(copy) != 0) {
    return fail("cannot sync", argv[2]);
  }
  close(source);
  if (rename(argv[2], argv[1]) != 0) {
    return fail("cannot rename onto", argv[1]);
  }
  char* directory_path = strdup(argv[1]);
  const int directory = open(dirname(directory_path), O_RDONLY | O_DIRECTORY);
  if (directory < 0 || fsync(directory) != 0) {
    return fail("cannot sync the directory of", argv[1]);
  }
  close(directory);
  free(directory_path);
  return 0;
}
