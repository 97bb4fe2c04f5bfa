/* A small client of BrisvaneUpgrade (C99): starts an upgrade, and once the
 * upgrader has started it again, tells the user what became of it.
 *
 *   brisvane-example-c [--upgrader PATH] [INSTALLER-URL]
 *
 * It keeps its state in a folder of its own, BrisvaneExample under
 * $XDG_DATA_HOME (~/.local/share when unset) or %LOCALAPPDATA%:
 * pending-request holds the id of the request it handed over, answers.txt
 * every line it showed, since the upgrader starts it without a console. */
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

static char folder[1024], pending[1100], answers[1100];

/* Shows `line` and keeps it in answers.txt. */
static void Show(const char* line) {
  FILE* f = fopen(answers, "a");
  printf("%s\n", line);
  if (f != NULL) fprintf(f, "%s\n", line);
  if (f != NULL) fclose(f);
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
  } else if (status == BRISVANE_RECORD_READ) {
    snprintf(line, sizeof line, "No answer came for request %" PRIu64 ".", id);
  } else {
    snprintf(line, sizeof line, "No answer came for request %" PRIu64 ": %s", id, reason);
  }
  Show(line);
  remove(pending);
}

/* Hands `url` to the upgrader beside this program (or `upgrader`). */
static int StartTheUpgrade(const char* url, const char* upgrader) {
  static const char* const names[] = {"taken",       "guard held",   "elevation declined",
                                      "not started", "exited early", "busy",
                                      "refused",     "failed"};
  char reason[512], line[1024];
  uint64_t id = 0;
  int kept;
  FILE* f;
  /* A real client releases its single-instance guard ("bvc singleton mutex")
   * right here: while it is held, the call returns BRISVANE_START_GUARD_HELD
   * at once. It takes the guard again only when the request was not taken. */
  int status = brisvane_start_upgrade(url, upgrader, 0, 0, &id, reason, sizeof reason);
  if (status != BRISVANE_START_TAKEN) {
    snprintf(line, sizeof line, "The upgrade did not start (%s): %s",
             status > 0 && status < 8 ? names[status] : "?", reason);
    Show(line);
    return 1;
  }
  f = fopen(pending, "w");
  kept = f != NULL && fprintf(f, "%" PRIu64 "\n", id) > 0;
  if (f == NULL || fclose(f) != 0 || !kept)
    fprintf(stderr, "cannot keep the request id in %s\n", pending);
  snprintf(line, sizeof line,
           "The upgrade has started (request %" PRIu64 "); this program quits now.", id);
  Show(line);
  /* Quit right away: the upgrader replaces this program, then starts it
   * again without arguments. */
  return 0;
}

int main(int argc, char** argv) {
  const int withUpgrader = argc > 1 && strcmp(argv[1], "--upgrader") == 0;
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
  ReportPendingRequest();
  if (argc == 1) return 0;
  return StartTheUpgrade(argv[argc - 1], withUpgrader ? argv[2] : NULL);
}
