/* Times a command with and without one environment variable, the two runs alternating, so that
 * a drift of the machine (other load, the disk's state) falls on both alike. Prints the median
 * and mean wall time of each and their ratio.
 * Usage: alternate RUNS NAME=VALUE PROGRAM [ARGUMENT...] */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double now_ms(void) {
  struct timespec at;
  clock_gettime(CLOCK_MONOTONIC, &at);
  return (double)at.tv_sec * 1e3 + (double)at.tv_nsec / 1e6;
}

/* Runs the command once with `name` set to `value` in its environment, or unset when `value` is
 * NULL; returns its wall time in milliseconds, or a negative number when it failed. */
static double run_once(char** command, const char* name, const char* value) {
  const double start = now_ms();
  const pid_t child = fork();
  if (child == 0) {
    if (value != NULL) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
    execv(command[0], command);
    _exit(127);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    return -1;
  }
  return now_ms() - start;
}

static int by_value(const void* one, const void* other) {
  const double a = *(const double*)one;
  const double b = *(const double*)other;
  return (a > b) - (a < b);
}

static void summarize(double* times, int runs, double* median, double* mean) {
  double sum = 0;
  for (int i = 0; i < runs; ++i) {
    sum += times[i];
  }
  qsort(times, (size_t)runs, sizeof *times, by_value);
  *median = times[runs / 2];
  *mean = sum / runs;
}

int main(int argc, char** argv) {
  if (argc < 4 || strchr(argv[2], '=') == NULL) {
    fprintf(stderr, "usage: alternate RUNS NAME=VALUE PROGRAM [ARGUMENT...]\n");
    return 2;
  }
  const int runs = atoi(argv[1]);
  double* without = calloc((size_t)runs, sizeof *without);
  double* with = calloc((size_t)runs, sizeof *with);
  char* name = strdup(argv[2]);
  char* value = strchr(name, '=');
  *value++ = '\0';
  for (int i = 0; i < runs; ++i) {
    without[i] = run_once(argv + 3, name, NULL);
    with[i] = run_once(argv + 3, name, value);
    if (without[i] < 0 || with[i] < 0) {
      fprintf(stderr, "alternate: run %d failed\n", i);
      return 1;
    }
  }
  double median_without, mean_without, median_with, mean_with;
  summarize(without, runs, &median_without, &mean_without);
  summarize(with, runs, &median_with, &mean_with);
  printf("  without: median %.3f ms, mean %.3f ms\n", median_without, mean_without);
  printf("  with:    median %.3f ms, mean %.3f ms\n", median_with, mean_with);
  printf("  ratio:   median %.3f, mean %.3f\n", median_with / median_without,
         mean_with / mean_without);
  return 0;
}
