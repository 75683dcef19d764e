/* The floor on several threads: the same calls as floor.c (openat relative
 * to the parent, getdents64, fstatat without following links), the same
 * counting, the same printed totals, with the directories shared out among
 * N threads. It shows how much listing in parallel can gain on this machine,
 * so the scanner's parallel run has a ceiling to be measured against.
 *
 *   floor_parallel <threads> <dir>
 *
 * Work: one shared stack of directories still to list, under one mutex. A
 * thread that lists a directory keeps its first subdirectory for itself and
 * pushes the others in one step, so the lock is taken about once per
 * directory with subdirectories, not once per directory; idle threads sleep
 * on a condition variable. Last in, first out keeps the walk roughly
 * depth-first, so the open parents stay few.
 *
 * A directory to list is named by its parent's open descriptor and its own
 * name; the parent stays open until the last of its subdirectories has been
 * opened (a reference count), so every open is relative to the parent, as in
 * floor.c. */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "floor_entry.h"

enum { BUFFER_SIZE = 64 * 1024, MAX_THREADS = 256 };

/* An open directory whose subdirectories are still to be opened. */
struct parent {
  int fd;
  atomic_size_t refs;
};

/* A directory to list: counted already, not yet opened. */
struct item {
  struct parent* parent;
  struct item* next; /* on the shared stack */
  char name[];
};

struct shared {
  dev_t dev;
  pthread_mutex_t lock;
  pthread_cond_t wake;
  struct item* stack;
  unsigned busy; /* threads listing now; none, with an empty stack, is the end */
  int done;
};

struct worker {
  struct shared* s;
  struct totals t;
  pthread_t thread;
};

static void* xmalloc(size_t n) {
  void* p = malloc(n);
  if (!p) {
    perror("floor_parallel");
    exit(2);
  }
  return p;
}

static void release(struct parent* p) {
  if (atomic_fetch_sub(&p->refs, 1) == 1) {
    close(p->fd);
    free(p);
  }
}

static struct item* new_item(struct parent* parent, const char* name) {
  size_t len = strlen(name);
  struct item* it = xmalloc(sizeof *it + len + 1);
  it->parent = parent;
  it->next = NULL;
  memcpy(it->name, name, len + 1);
  return it;
}

/* Lists the open directory `fd` (already counted): counts its entries and
 * returns its subdirectories as a chain of items (first listed first), each
 * holding a reference to `fd`, which it takes over. */
static struct item* list(struct worker* w, int fd, char* buf) {
  struct parent* self = xmalloc(sizeof *self);
  self->fd = fd;
  atomic_init(&self->refs, 1); /* ours, while we list */
  struct item* head = NULL;
  struct item** tail = &head;
  for (;;) {
    ssize_t n = getdents64(fd, buf, BUFFER_SIZE);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break; /* end, or a listing that breaks off */
    for (ssize_t at = 0; at < n;) {
      const struct dirent64* e = (const struct dirent64*)(buf + at);
      at += e->d_reclen;
      if (!count_entry(fd, e, w->s->dev, &w->t)) continue;
      atomic_fetch_add(&self->refs, 1);
      *tail = new_item(self, e->d_name);
      tail = &(*tail)->next;
    }
  }
  release(self);
  return head;
}

static void* run(void* arg) {
  struct worker* w = arg;
  struct shared* s = w->s;
  char* buf = xmalloc(BUFFER_SIZE);
  struct item* mine = NULL;
  for (;;) {
    if (!mine) {
      pthread_mutex_lock(&s->lock);
      while (!s->stack && !s->done) {
        if (s->busy == 0) {
          s->done = 1;
          pthread_cond_broadcast(&s->wake);
          break;
        }
        pthread_cond_wait(&s->wake, &s->lock);
      }
      if (s->done) {
        pthread_mutex_unlock(&s->lock);
        break;
      }
      mine = s->stack;
      s->stack = mine->next;
      s->busy++;
      pthread_mutex_unlock(&s->lock);
    }
    int fd = openat(mine->parent->fd, mine->name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    release(mine->parent);
    free(mine);
    mine = NULL;
    struct item* subdirs = NULL;
    if (fd < 0) {
      w->t.denied++;
    } else {
      subdirs = list(w, fd, buf);
    }
    if (subdirs) {
      /* Keep the first; hand out the rest, last listed on top. */
      mine = subdirs;
      struct item* rest = subdirs->next;
      mine->next = NULL;
      if (rest) {
        struct item* last = rest;
        unsigned count = 1;
        while (last->next) {
          last = last->next;
          count++;
        }
        pthread_mutex_lock(&s->lock);
        last->next = s->stack;
        s->stack = rest;
        pthread_mutex_unlock(&s->lock);
        if (count == 1) {
          pthread_cond_signal(&s->wake);
        } else {
          pthread_cond_broadcast(&s->wake);
        }
      }
    } else {
      pthread_mutex_lock(&s->lock);
      s->busy--;
      if (s->busy == 0 && !s->stack) {
        s->done = 1;
        pthread_cond_broadcast(&s->wake);
      }
      pthread_mutex_unlock(&s->lock);
    }
  }
  free(buf);
  return NULL;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: floor_parallel <threads> <dir>\n");
    return 2;
  }
  int threads = atoi(argv[1]);
  if (threads < 1 || threads > MAX_THREADS) {
    fprintf(stderr, "floor_parallel: threads must be 1..%d\n", MAX_THREADS);
    return 2;
  }
  int root = open(argv[2], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  struct stat st;
  if (root < 0 || fstat(root, &st) != 0) {
    perror(argv[2]);
    return 2;
  }
  struct shared s = {.dev = st.st_dev};
  pthread_mutex_init(&s.lock, NULL);
  pthread_cond_init(&s.wake, NULL);
  struct worker* workers = xmalloc((size_t)threads * sizeof *workers);
  memset(workers, 0, (size_t)threads * sizeof *workers);
  for (int i = 0; i < threads; ++i) workers[i].s = &s;

  /* The root is listed first, on this thread, as worker 0's share. */
  workers[0].t.dirs = 1;
  char* buf = xmalloc(BUFFER_SIZE);
  s.stack = list(&workers[0], root, buf);
  free(buf);

  for (int i = 0; i < threads; ++i) {
    if (pthread_create(&workers[i].thread, NULL, run, &workers[i]) != 0) {
      perror("floor_parallel");
      return 2;
    }
  }
  struct totals t = {0};
  for (int i = 0; i < threads; ++i) {
    pthread_join(workers[i].thread, NULL);
    t.bytes += workers[i].t.bytes;
    t.files += workers[i].t.files;
    t.dirs += workers[i].t.dirs;
    t.denied += workers[i].t.denied;
  }
  free(workers);
  printf("%" PRIu64 " bytes %" PRIu64 " files %" PRIu64 " dirs %" PRIu64 " denied\n", t.bytes,
         t.files, t.dirs, t.denied);
  return 0;
}
