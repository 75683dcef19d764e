/* What floor.c and floor_parallel.c count for each listed entry, in one
 * place, so the two floors count alike by construction (and as the scanner
 * does: every non-directory, symbolic links included, is a file of its lstat
 * size; a directory on another file system is skipped). */
#ifndef OSKRA_BENCH_FLOOR_ENTRY_H
#define OSKRA_BENCH_FLOOR_ENTRY_H

#include <dirent.h>
#include <stdint.h>
#include <sys/stat.h>

struct totals {
  uint64_t bytes;
  uint64_t files;
  uint64_t dirs;
  uint64_t denied;
};

/* Counts one entry of the open directory `fd`. Returns 1 for a directory of
 * file system `dev` to descend into (already counted as a directory). */
static inline int count_entry(int fd, const struct dirent64* e, dev_t dev, struct totals* t) {
  const char* name = e->d_name;
  if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) return 0;
  struct stat st;
  if (fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    /* Gone or not examinable: keep what the listing says, size 0. */
    if (e->d_type != DT_DIR) {
      t->files++;
      return 0;
    }
  } else if (!S_ISDIR(st.st_mode)) {
    t->files++;
    t->bytes += (uint64_t)st.st_size;
    return 0;
  } else if (st.st_dev != dev) {
    return 0; /* a mount point: not ours */
  }
  t->dirs++;
  return 1;
}

#endif
