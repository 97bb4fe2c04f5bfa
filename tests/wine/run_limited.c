/* Runs the rest of its command line as a program the user started without
 * raised rights: with the token linked to its own, which lacks them (Wine,
 * like an administrator's session on Windows, runs every process with a full
 * token that has such a twin). Waits for it and exits with its exit code;
 * 64 without a command, 65 when there is no such token, 66 when it could not
 * be started.
 *   run_limited PROGRAM [ARGUMENTS...] */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <wchar.h>

/* The command line after this program's own name, as it was given. */
static wchar_t* RestOfCommandLine(void) {
  wchar_t* line = GetCommandLineW();
  if (*line == L'"') {
    ++line;
    while (*line != L'\0' && *line != L'"') ++line;
    if (*line == L'"') ++line;
  } else {
    while (*line != L'\0' && *line != L' ' && *line != L'\t') ++line;
  }
  while (*line == L' ' || *line == L'\t') ++line;
  return line;
}

/* A primary token without raised rights, or NULL. */
static HANDLE LimitedToken(void) {
  HANDLE own = NULL;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &own)) return NULL;
  TOKEN_LINKED_TOKEN linked = {0};
  DWORD size = 0;
  const BOOL got = GetTokenInformation(own, TokenLinkedToken, &linked, sizeof linked, &size);
  CloseHandle(own);
  if (!got) return NULL;
  TOKEN_ELEVATION elevation = {0};
  HANDLE primary = NULL;
  if (GetTokenInformation(linked.LinkedToken, TokenElevation, &elevation, sizeof elevation,
                          &size) &&
      !elevation.TokenIsElevated) {
    DuplicateTokenEx(linked.LinkedToken, MAXIMUM_ALLOWED, NULL, SecurityImpersonation,
                     TokenPrimary, &primary);
  }
  CloseHandle(linked.LinkedToken);
  return primary;
}

int wmain(void) {
  wchar_t* rest = RestOfCommandLine();
  if (*rest == L'\0') return 64;
  HANDLE token = LimitedToken();
  if (token == NULL) return 65;
  STARTUPINFOW si = {0};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi;
  const BOOL started =
      CreateProcessAsUserW(token, NULL, rest, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi);
  CloseHandle(token);
  if (!started) return 66;
  CloseHandle(pi.hThread);
  WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD code = 66;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hProcess);
  return (int)code;
}
