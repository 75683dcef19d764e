/* Runs one command and writes what it cost to RESULT_FILE:
 *
 *   runner RESULT_FILE TIMEOUT_SECONDS COMMAND [ARG...]
 *   -> "<wall ns> <user us> <system us> <peak RSS KiB> <exit status>\n"
 *
 * A command still running after TIMEOUT_SECONDS (0: no limit) is killed and
 * reported with exit status 124, so one runaway case cannot stall a session.
 *
 * Why not time it from the benchmark's Python process directly: on Linux a
 * child's peak RSS (ru_maxrss) starts from the RSS of the process it was
 * forked from, so every command spawned by a 15 MiB interpreter reports at
 * least 15 MiB. This launcher is linked statically and stays far below a
 * megabyte, so the figure is the command's own. Wall time is read from the
 * monotonic clock around fork and wait, with nanosecond resolution; CPU
 * time and peak RSS come from wait4's rusage, as /usr/bin/time reports
 * them. The command's standard streams are left as the caller set them. */
#define _GNU_SOURCE
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static long long ns(const struct timespec* t) { return t->tv_sec * 1000000000LL + t->tv_nsec; }

static long long us(const struct timeval* t) { return t->tv_sec * 1000000LL + t->tv_usec; }

static void on_alarm(int sig) { (void)sig; }

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: runner RESULT_FILE TIMEOUT_SECONDS COMMAND [ARG...]\n");
    return 2;
  }
  unsigned timeout = (unsigned)strtoul(argv[2], NULL, 10);
  /* No SA_RESTART: the alarm must interrupt wait4. */
  struct sigaction sa = {0};
  sa.sa_handler = on_alarm;
  sigaction(SIGALRM, &sa, NULL);
  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  pid_t pid = fork();
  if (pid < 0) {
    perror("runner: fork");
    return 2;
  }
  if (pid == 0) {
    execvp(argv[3], argv + 3);
    perror(argv[3]);
    _exit(127);
  }
  alarm(timeout);
  int status;
  struct rusage usage;
  int timed_out = 0;
  while (wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) {
      perror("runner: wait4");
      return 2;
    }
    timed_out = 1;
    kill(pid, SIGKILL);
  }
  clock_gettime(CLOCK_MONOTONIC, &end);
  int code = timed_out ? 124 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  FILE* out = fopen(argv[1], "w");
  if (!out) {
    perror(argv[1]);
    return 2;
  }
  fprintf(out, "%lld %lld %lld %ld %d\n", ns(&end) - ns(&start), us(&usage.ru_utime),
          us(&usage.ru_stime), usage.ru_maxrss, code);
  return fclose(out) == 0 ? 0 : 2;
}
