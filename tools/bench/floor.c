/* The least work any scanner of a tree must do on Linux, and nothing more:
 * open each directory (relative to its parent), read its listing with
 * getdents64, and fstatat every entry without following links. It totals
 * the sizes of everything that is not a directory, counts files and
 * directories, stays on the root's file system and prints the totals so the
 * work cannot be optimised away.
 *
 *   floor <dir>
 *
 * Counting matches the scanner's: the root counts as a directory, every
 * non-directory (symbolic links included) is a file of its lstat size, a
 * directory on another file system is skipped, and a directory that cannot
 * be opened still counts as a directory and as denied.
 *
 * The walk recurses as it reads, so no name is ever copied: each depth has
 * its own listing buffer, allocated once and reused by every directory at
 * that depth. */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "floor_entry.h"

enum { BUFFER_SIZE = 64 * 1024 };

struct walker {
  dev_t dev;
  struct totals t;
  char** buffers; /* one listing buffer per depth */
  size_t depths;
};

static char* buffer_for(struct walker* w, size_t depth) {
  if (depth >= w->depths) {
    size_t n = w->depths ? w->depths * 2 : 16;
    while (n <= depth) n *= 2;
    char** grown = realloc(w->buffers, n * sizeof *grown);
    if (!grown) {
      perror("floor");
      exit(2);
    }
    memset(grown + w->depths, 0, (n - w->depths) * sizeof *grown);
    w->buffers = grown;
    w->depths = n;
  }
  if (!w->buffers[depth]) {
    w->buffers[depth] = malloc(BUFFER_SIZE);
    if (!w->buffers[depth]) {
      perror("floor");
      exit(2);
    }
  }
  return w->buffers[depth];
}

/* Lists the open directory `fd` (already counted) and everything beneath it. */
static void walk(struct walker* w, int fd, size_t depth) {
  char* buf = buffer_for(w, depth);
  for (;;) {
    ssize_t n = getdents64(fd, buf, BUFFER_SIZE);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return; /* end, or a listing that breaks off */
    for (ssize_t at = 0; at < n;) {
      const struct dirent64* e = (const struct dirent64*)(buf + at);
      at += e->d_reclen;
      if (!count_entry(fd, e, w->dev, &w->t)) continue;
      int child = openat(fd, e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (child < 0) {
        w->t.denied++;
        continue;
      }
      walk(w, child, depth + 1);
      close(child);
    }
  }
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: floor <dir>\n");
    return 2;
  }
  struct walker w = {0};
  int root = open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  struct stat st;
  if (root < 0 || fstat(root, &st) != 0) {
    perror(argv[1]);
    return 2;
  }
  w.dev = st.st_dev;
  w.t.dirs = 1;
  walk(&w, root, 0);
  close(root);
  for (size_t i = 0; i < w.depths; ++i) free(w.buffers[i]);
  free(w.buffers);
  printf("%" PRIu64 " bytes %" PRIu64 " files %" PRIu64 " dirs %" PRIu64 " denied\n", w.t.bytes,
         w.t.files, w.t.dirs, w.t.denied);
  return 0;
}
