/* Starts a command and reports its times and peak memory, for the benchmark.
   Usage: spawn RESULT-FILE COMMAND [ARG...]. Writes one line to RESULT-FILE:
   start and end (CLOCK_MONOTONIC, ns), user and system time (us), peak resident
   memory (KiB) and the wait status.

   The kernel carries the peak memory of a process's image over its exec, so a
   child forked from the large script that runs the benchmark would report that
   script's memory. This small static program starts the command with
   posix_spawn instead, which starts it from its own, tiny image. */
#define _GNU_SOURCE
#include <spawn.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>

extern char** environ;

static long long Now(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (long long)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  long long start = Now();
  pid_t pid;
  if (posix_spawnp(&pid, argv[2], NULL, NULL, argv + 2, environ) != 0) return 127;
  int status = 0;
  struct rusage usage;
  if (wait4(pid, &status, 0, &usage) < 0) return 3;
  long long end = Now();
  FILE* result = fopen(argv[1], "w");
  if (result == NULL) return 4;
  fprintf(result, "%lld %lld %lld %lld %ld %d\n", start, end,
          (long long)usage.ru_utime.tv_sec * 1000000 + usage.ru_utime.tv_usec,
          (long long)usage.ru_stime.tv_sec * 1000000 + usage.ru_stime.tv_usec, usage.ru_maxrss,
          status);
  return fclose(result) == 0 ? 0 : 4;
}
