/* Stand-in for the installer, the client (bvc.exe) and the post-install
 * script's work: records, in <BRISVANE_RECORD_DIR>\<own name>.txt, when it
 * started, its arguments, whether the single-instance mutex was free, and
 * when it ended. Sleeps first for the milliseconds in <own name>.sleep there,
 * if that file exists, so a case can keep it running. A client that has the
 * next upgrade to start at once finds <own name>.next there: it runs each of
 * its lines as a command line, in order, before it sleeps. Times are
 * milliseconds since 1970 (UTC), comparable across processes. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

static long long NowMs(void) {
  FILETIME ft;
  GetSystemTimePreciseAsFileTime(&ft);
  ULARGE_INTEGER t;
  t.LowPart = ft.dwLowDateTime;
  t.HighPart = ft.dwHighDateTime;
  return (long long)(t.QuadPart / 10000ULL) - 11644473600000LL;
}

/* Appends one line, opened and closed each time so the harness sees every
 * step even when a later one never comes. */
static void Record(const wchar_t* path, const char* line) {
  /* "N": not inherited by anything this process might start. */
  FILE* f = _wfopen(path, L"abN");
  if (f == NULL) return;
  fputs(line, f);
  fputs("\n", f);
  fclose(f);
}

/* Runs each line of `nextFile` (UTF-8) as a command line and waits for it;
 * records "next <exit code>" for each (999: it did not start). The file goes
 * first, so that this stand-in started again runs nothing more. */
static void RunNext(const wchar_t* nextFile, const wchar_t* record) {
  FILE* f = _wfopen(nextFile, L"rbN");
  if (f == NULL) return;
  char text[8192];
  const size_t n = fread(text, 1, sizeof text - 1, f);
  fclose(f);
  text[n] = 0;
  DeleteFileW(nextFile);
  for (char* line = strtok(text, "\r\n"); line != NULL; line = strtok(NULL, "\r\n")) {
    wchar_t command[4096];
    DWORD code = 999;
    STARTUPINFOW si;
    PROCESS_INFORMATION pi;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    if (MultiByteToWideChar(CP_UTF8, 0, line, -1, command, 4096) != 0 &&
        CreateProcessW(NULL, command, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) {
      WaitForSingleObject(pi.hProcess, INFINITE);
      GetExitCodeProcess(pi.hProcess, &code);
      CloseHandle(pi.hThread);
      CloseHandle(pi.hProcess);
    }
    char done[64];
    snprintf(done, sizeof done, "next %lu", (unsigned long)code);
    Record(record, done);
  }
}

int wmain(int argc, wchar_t** argv) {
  const long long started = NowMs();
  wchar_t dir[MAX_PATH];
  DWORD n = GetEnvironmentVariableW(L"BRISVANE_RECORD_DIR", dir, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return 3;

  /* Own name without folder and extension: "bvc", "setup_1.2.3", ... */
  wchar_t self[MAX_PATH];
  DWORD len = GetModuleFileNameW(NULL, self, MAX_PATH);
  if (len == 0 || len >= MAX_PATH) return 3;
  wchar_t* name = self;
  for (wchar_t* p = self; *p; ++p) {
    if (*p == L'\\' || *p == L'/') name = p + 1;
  }
  wchar_t* dot = wcsrchr(name, L'.');
  if (dot != NULL) *dot = 0;
  for (wchar_t* p = name; *p; ++p) *p = (wchar_t)towlower(*p);

  wchar_t record[MAX_PATH * 2], sleepFile[MAX_PATH * 2], nextFile[MAX_PATH * 2];
  _snwprintf(record, MAX_PATH * 2, L"%ls\\%ls.txt", dir, name);
  _snwprintf(sleepFile, MAX_PATH * 2, L"%ls\\%ls.sleep", dir, name);
  _snwprintf(nextFile, MAX_PATH * 2, L"%ls\\%ls.next", dir, name);

  char line[4096];
  snprintf(line, sizeof line, "started %lld", started);
  Record(record, line);
  snprintf(line, sizeof line, "argc %d", argc - 1);
  Record(record, line);
  for (int i = 1; i < argc; ++i) {
    char utf8[3000];
    if (WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, utf8, sizeof utf8, NULL, NULL) == 0) {
      utf8[0] = 0;
    }
    snprintf(line, sizeof line, "arg %s", utf8);
    Record(record, line);
  }
  /* The client must be able to take the mutex the upgrader gave up. */
  HANDLE mutex = CreateMutexW(NULL, FALSE, L"bvc singleton mutex");
  const int held = mutex != NULL && GetLastError() == ERROR_ALREADY_EXISTS;
  Record(record, held ? "guard held" : "guard free");
  if (mutex != NULL) CloseHandle(mutex);
  RunNext(nextFile, record);

  FILE* f = _wfopen(sleepFile, L"rbN");
  if (f != NULL) {
    int ms = 0;
    if (fscanf(f, "%d", &ms) == 1 && ms > 0) Sleep((DWORD)ms);
    fclose(f);
  }
  snprintf(line, sizeof line, "ended %lld", NowMs());
  Record(record, line);
  return 0;
}
