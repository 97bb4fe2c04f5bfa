/* run_limited PROGRAM [ARGUMENTS...]: runs the rest of its command line as a
 * program the user started without raised rights, with the token linked to
 * its own (Wine gives every process a full token that has such a twin), and
 * exits with its exit code; 65 when there is no such token, 66 when it could
 * not start. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

int wmain(void) {
  /* The command line after this program's own name, as it was given. */
  wchar_t* rest = GetCommandLineW();
  const wchar_t end = *rest == L'"' ? L'"' : L' ';
  for (rest += end == L'"'; *rest != L'\0' && *rest != end; ++rest) {}
  for (rest += *rest == L'"'; *rest == L' ' || *rest == L'\t'; ++rest) {}
  HANDLE own = NULL, primary = NULL;
  TOKEN_LINKED_TOKEN linked = {0};
  TOKEN_ELEVATION elevation = {0};
  DWORD size = 0;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &own) &&
      GetTokenInformation(own, TokenLinkedToken, &linked, sizeof linked, &size)) {
    if (GetTokenInformation(linked.LinkedToken, TokenElevation, &elevation, sizeof elevation, &size) &&
        !elevation.TokenIsElevated) {
      DuplicateTokenEx(linked.LinkedToken, MAXIMUM_ALLOWED, NULL, SecurityImpersonation,
                       TokenPrimary, &primary);
    }
    CloseHandle(linked.LinkedToken);
  }
  if (own != NULL) CloseHandle(own);
  if (primary == NULL) return 65;
  STARTUPINFOW si = {0};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi;
  DWORD code = 66;
  if (CreateProcessAsUserW(primary, NULL, rest, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) {
    WaitForSingleObject(pi.hProcess, INFINITE);
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
  }
  CloseHandle(primary);
  return (int)code;
}
