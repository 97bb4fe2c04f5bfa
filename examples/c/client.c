/* A small client of BrisvaneUpgrade (C99): starts an upgrade, and once the
 * upgrader has started it again, tells the user what became of it.
 *
 *   brisvane-example-c [--upgrader PATH] [INSTALLER-URL]
 *
 * It keeps its state in a folder of its own, BrisvaneExample under
 * $XDG_DATA_HOME (~/.local/share when unset) or %LOCALAPPDATA%:
 * pending-request holds the id of the request it handed over, answers.txt
 * every line it showed, since the upgrader starts it without a console, and
 * log.txt the details for its developer. */
#include <brisvane/upgrade_client.h>

#include <errno.h>
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <direct.h>
#include <windows.h>
/* In the ANSI code page, as fopen takes it. */
static int DataFolder(char* out, size_t size) {
  const char* local = getenv("LOCALAPPDATA");
  return local && *local && (size_t)snprintf(out, size, "%s\\BrisvaneExample", local) < size;
}
static int MakeFolder(const char* path) { return _mkdir(path) == 0 || errno == EEXIST; }
/* The library's sentences are UTF-8. */
static void UseUtf8Console(void) { SetConsoleOutputCP(CP_UTF8); }
#else
#include <sys/stat.h>
static int DataFolder(char* out, size_t size) {
  const char* data = getenv("XDG_DATA_HOME");
  const char* home = getenv("HOME");
  if (data && data[0] == '/') return (size_t)snprintf(out, size, "%s/BrisvaneExample", data) < size;
  return home && *home &&
         (size_t)snprintf(out, size, "%s/.local/share/BrisvaneExample", home) < size;
}
static int MakeFolder(const char* path) { return mkdir(path, 0700) == 0 || errno == EEXIST; }
static void UseUtf8Console(void) {}
#endif

static char folder[1024], pending[1100], answers[1100], log_file[1100];

/* Appends `line` to the file `path`. */
static void Keep(const char* path, const char* line) {
  FILE* f = fopen(path, "a");
  if (f != NULL) fprintf(f, "%s\n", line);
  if (f != NULL) fclose(f);
}

/* Shows `line` and keeps it in answers.txt. */
static void Show(const char* line) {
  printf("%s\n", line);
  Keep(answers, line);
}

/* The first of LANGUAGE, LC_ALL and LANG that is set decides. */
static int UserLanguage(void) {
  const char* value = getenv("LANGUAGE");
  if (value == NULL || *value == 0) value = getenv("LC_ALL");
  if (value == NULL || *value == 0) value = getenv("LANG");
  return value != NULL && strncmp(value, "zh", 2) == 0 ? BRISVANE_LANGUAGE_SIMPLIFIED_CHINESE
                                                       : BRISVANE_LANGUAGE_ENGLISH;
}

/* On every start: the answer to the request handed over before, if any. */
static void ReportPendingRequest(void) {
  struct brisvane_last_upgrade record;
  char reason[512], line[2048];
  uint64_t id = 0;
  int status;
  FILE* f = fopen(pending, "r");
  if (f == NULL) return;
  if (fscanf(f, "%" SCNu64, &id) != 1) id = 0;
  fclose(f);
  status = brisvane_read_last_upgrade(&record, reason, sizeof reason);
  if (status == BRISVANE_RECORD_READ && brisvane_last_upgrade_answers(&record, id)) {
    brisvane_describe_last_upgrade(&record, UserLanguage(), line, sizeof line);
    Show(line);
    brisvane_describe_last_upgrade_detail(&record, line, sizeof line);
  } else {
    brisvane_describe_unanswered_upgrade(UserLanguage(), line, sizeof line);
    Show(line);
    snprintf(line, sizeof line, "no record answers request %" PRIu64 "%s%s", id,
             status == BRISVANE_RECORD_READ ? "" : ": ", status == BRISVANE_RECORD_READ ? "" : reason);
  }
  Keep(log_file, line);
  remove(pending);
}

/* What a start came to, called on the library's thread the moment it ends,
 * so that the id is kept before a quick upgrade starts this program again (a
 * GUI client posts the result to its UI thread from here). On a taken
 * upgrade the id is kept and `*exit_code` set to 0 (quit), else to 1. */
static void Answer(const struct brisvane_start_result* result, void* exit_code) {
  static const char* const names[] = {"taken",   "guard held", "elevation declined",
                                      "not started", "exited early", "busy",
                                      "refused", "failed",     "no display"};
  char line[1024];
  int kept;
  FILE* f;
  *(int*)exit_code = result->status == BRISVANE_START_TAKEN ? 0 : 1;
  if (result->status != BRISVANE_START_TAKEN) {
    snprintf(line, sizeof line, "The upgrade did not start (%s): %s",
             result->status > 0 && result->status < 9 ? names[result->status] : "?",
             result->reason);
    Show(line);
    return;
  }
  f = fopen(pending, "w");
  kept = f != NULL && fprintf(f, "%" PRIu64 "\n", result->request_id) > 0;
  if (f == NULL || fclose(f) != 0 || !kept) Keep(log_file, "cannot keep the request id");
  snprintf(line, sizeof line,
           "The upgrade has started (request %" PRIu64 "); this program quits now.",
           result->request_id);
  /* Quit right away: the upgrader replaces this program, then starts it
   * again without arguments. */
  Show(line);
}

/* Hands `url` to the upgrader beside this program (or `upgrader`), giving it
 * the guard this program holds, without holding up the caller's thread. */
static int StartTheUpgrade(const char* url, const char* upgrader, brisvane_guard* guard) {
  struct brisvane_start_options options = {0};
  brisvane_pending_start* start;
  int exit_code = 1;
  options.upgrader_path = upgrader;
  options.guard = guard; /* released for the upgrader, taken back when not taken */
  start = brisvane_start_upgrade_async(url, &options, Answer, &exit_code);
  if (start == NULL) {
    Show("The upgrade did not start (failed): out of memory");
    return 1;
  }
  /* A GUI client's event loop runs meanwhile; this loop stands in for it. */
  while (!brisvane_pending_start_wait(start, 50, NULL)) {
  }
  brisvane_pending_start_free(start);
  return exit_code;
}

int main(int argc, char** argv) {
  const int withUpgrader = argc > 1 && strcmp(argv[1], "--upgrader") == 0;
  brisvane_guard* guard = NULL;
  char reason[512], line[1024];
  int guarded, status;
  UseUtf8Console();
  if (argc > (withUpgrader ? 4 : 2) || (withUpgrader && argc < 4)) {
    fputs("usage: brisvane-example-c [--upgrader PATH] [INSTALLER-URL]\n", stderr);
    return 2;
  }
  if (!DataFolder(folder, sizeof folder)) {
    fputs("no data folder: neither XDG_DATA_HOME, HOME nor LOCALAPPDATA is set\n", stderr);
    return 1;
  }
  if (!MakeFolder(folder)) {
    fprintf(stderr, "cannot make %s: %s\n", folder, strerror(errno));
    return 1;
  }
  snprintf(pending, sizeof pending, "%s/pending-request", folder);
  snprintf(answers, sizeof answers, "%s/answers.txt", folder);
  snprintf(log_file, sizeof log_file, "%s/log.txt", folder);
  /* One instance at a time, and none while an upgrade replaces it. */
  guarded = brisvane_guard_take(&guard, reason, sizeof reason);
  if (guarded == BRISVANE_GUARD_HELD_ELSEWHERE) {
    snprintf(line, sizeof line, "This program is running already, or being upgraded: %s", reason);
    Show(line);
    return 1;
  }
  if (guarded == BRISVANE_GUARD_FAILED) Keep(log_file, reason);
  ReportPendingRequest();
  status = argc == 1 ? 0 : StartTheUpgrade(argv[argc - 1], withUpgrader ? argv[2] : NULL, guard);
  brisvane_guard_release(guard);
  return status;
}
