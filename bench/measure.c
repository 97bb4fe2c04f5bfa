/* Runs one command and reports what that process alone cost, for
 * scripts/bench:
 *   wall_s=<s> user_s=<s> sys_s=<s> maxrss_kib=<KiB> status=<exit status>
 * Usage: measure [-s FILE] [-o REPORT] -- COMMAND [ARG...]
 *   -s FILE    after the command, fsync FILE and the folder holding it, as a
 *              durable download does before its rename; the time and the CPU
 *              this takes count with the command's
 *   -o REPORT  write the report line there instead of to stderr
 * The command's figures come from wait4, so they are its own, not a
 * high-water mark shared with earlier children. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <libgen.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double Seconds(struct timeval tv) { return tv.tv_sec + tv.tv_usec / 1e6; }

static double Now(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

static int SyncPath(const char* path, int flags) {
  int fd = open(path, flags | O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  int rc;
  do rc = fsync(fd); while (rc != 0 && errno == EINTR);
  close(fd);
  return rc;
}

/* The file's data and its name in the folder, both on storage. */
static int SyncFileAndFolder(const char* path) {
  char* copy = strdup(path);
  if (copy == NULL) return -1;
  int rc = SyncPath(path, 0);
  if (rc == 0) rc = SyncPath(dirname(copy), O_DIRECTORY);
  free(copy);
  return rc;
}

int main(int argc, char** argv) {
  const char* syncPath = NULL;
  const char* reportPath = NULL;
  int opt;
  while ((opt = getopt(argc, argv, "+s:o:")) != -1) {
    if (opt == 's') syncPath = optarg;
    else if (opt == 'o') reportPath = optarg;
    else return 2;
  }
  if (optind >= argc) {
    fprintf(stderr, "usage: %s [-s FILE] [-o REPORT] -- COMMAND [ARG...]\n", argv[0]);
    return 2;
  }

  double start = Now();
  pid_t child = fork();
  if (child < 0) {
    perror("measure: fork");
    return 2;
  }
  if (child == 0) {
    execvp(argv[optind], argv + optind);
    perror("measure: exec");
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  memset(&usage, 0, sizeof usage);
  pid_t got;
  do got = wait4(child, &status, 0, &usage); while (got < 0 && errno == EINTR);
  if (got < 0) {
    perror("measure: wait4");
    return 2;
  }
  double user = Seconds(usage.ru_utime), sys = Seconds(usage.ru_stime);
  int failed = !WIFEXITED(status) || WEXITSTATUS(status) != 0;
  if (!failed && syncPath != NULL) {
    struct rusage before, after;
    getrusage(RUSAGE_SELF, &before);
    if (SyncFileAndFolder(syncPath) != 0) {
      perror("measure: fsync");
      failed = 1;
    }
    getrusage(RUSAGE_SELF, &after);
    user += Seconds(after.ru_utime) - Seconds(before.ru_utime);
    sys += Seconds(after.ru_stime) - Seconds(before.ru_stime);
  }
  double wall = Now() - start;

  FILE* report = stderr;
  if (reportPath != NULL) {
    report = fopen(reportPath, "we");
    if (report == NULL) {
      perror("measure: report");
      return 2;
    }
  }
  fprintf(report, "wall_s=%.3f user_s=%.3f sys_s=%.3f maxrss_kib=%ld status=%d\n", wall, user,
          sys, usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  if (report != stderr && fclose(report) != 0) return 2;
  return failed ? 1 : 0;
}
