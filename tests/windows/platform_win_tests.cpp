// Runs the Windows back ends of log/, platform/, the client library and
// bvhttptools' file handling against the real system (Windows, or Wine on
// Linux), with real processes, files and windows.
//
//   platform_win_tests.exe [upgrade-request.exe]
//
// The upgrade-request tool defaults to the one beside this executable; the
// C consumer of the client library (consumer_c.exe) is run when it is
// beside this executable too. Every
// check prints one line; a check the system cannot stage (Wine makes no
// Windows links) prints SKIP with the reason. The last line is "N passed,
// N failed" (", N skipped" when some were), and the exit status is 1 when
// any check failed.
//
// The scratch folder lies beside the executable, or, elevated (as under
// Wine), in the user's profile folder, where an elevated Folder::Open reaches.
//
// Links: a junction and a folder symbolic link are made in the scratch
// folder where the system allows it. A folder "unix links" beside the
// scratch folder may hold "folder link", a Unix symbolic link to "real
// folder" (scripts/check-windows makes it): Wine shows such a link as a
// reparse point, so the folder checks also run there.
//
// The same executable also plays the helper processes. Copied under another
// name it acts by that name:
//   fake-installer.exe  records its arguments into installer-args.txt beside it
//   fake-client.exe     writes client-ran.txt beside it
//   sleeper.exe         waits (at most 20 s) for the event named in its
//                       environment, then exits
//   limited-client.exe, BrisvaneUpgrade.exe with "--request ID URL": see
//                       TestRequestOnCommandLine
//   BrisvaneUpgrade.exe, decoy-BrisvaneUpgrade.exe
//                       with "--receive READY QUIT": shows a hidden window
//                       titled BrisvaneUpgrade, signals event READY, records
//                       every WM_COPYDATA and answers it until event QUIT;
//                       a request "stall" is answered 3 s late
// and "--hold-guard NAME EVENTPREFIX MODE" holds the singleton guard NAME for
// the parent until told to give it up (MODE "release") or to exit holding it
// (MODE "exit").
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#define NOGDI
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shellapi.h>
#include <shlobj.h>
#include <userenv.h>
#include <winioctl.h>

#include <io.h>
#include <share.h>
#include <stdio.h>
#include <wchar.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <brisvane/upgrade_client.h>

#include "command_line.h"
#include "command_line_quote.h"
#include "file_sync.h"
#include "files_win.h"
#include "folder.h"
#include "log.h"
#include "guard.h"
#include "last_error.h"
#include "log_file.h"
#include "processes.h"
#include "proxy.h"
#include "request_channel.h"
#include "runtime_dir.h"
#include "signals.h"

namespace {

int g_passed = 0;
int g_failed = 0;
int g_skipped = 0;

void Report(bool ok, const std::string& name, const std::string& detail) {
  if (ok) {
    ++g_passed;
    std::printf("PASS  %s\n", name.c_str());
  } else {
    ++g_failed;
    std::printf("FAIL  %s%s%s\n", name.c_str(), detail.empty() ? "" : ": ", detail.c_str());
  }
  std::fflush(stdout);
}

void Skip(const std::string& name, const std::string& why) {
  ++g_skipped;
  std::printf("SKIP  %s: %s\n", name.c_str(), why.c_str());
  std::fflush(stdout);
}

#define CHECK(cond, name) Report((cond), (name), "")
#define CHECK_EQ(actual, expected, name)                                             \
  do {                                                                               \
    const auto& check_a_ = (actual);                                                 \
    const auto& check_e_ = (expected);                                               \
    Report(check_a_ == check_e_, (name),                                             \
           "got " + Show(check_a_) + ", want " + Show(check_e_));                    \
  } while (0)

std::string Show(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    }
  }
  return out + "\"";
}
template <typename T>
std::string Show(const T& value) {
  return std::to_string(value);
}

std::wstring Widen(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                    nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &out[0], n);
  return out;
}

std::string Narrow(const std::wstring& wide) {
  if (wide.empty()) return std::string();
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                    nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &out[0], n,
                      nullptr, nullptr);
  return out;
}

std::wstring SelfPath() {
  wchar_t buf[MAX_PATH * 2];
  const DWORD n = GetModuleFileNameW(nullptr, buf, static_cast<DWORD>(sizeof buf / sizeof buf[0]));
  return std::wstring(buf, n);
}

std::wstring FolderOf(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? L"." : path.substr(0, slash);
}

std::wstring BaseName(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L"\\/");
  std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
  for (wchar_t& c : name) c = static_cast<wchar_t>(towlower(c));
  return name;
}

bool WriteWholeFile(const std::wstring& path, const std::string& bytes) {
  FILE* f = _wfopen(path.c_str(), L"wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

// Reads with full sharing, so it also works while a writer holds the file,
// even one with delete access (a held .part).
bool ReadWholeFile(const std::wstring& path, std::string* out) {
  HANDLE f = CreateFileW(path.c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  out->clear();
  char buf[4096];
  DWORD n = 0;
  while (ReadFile(f, buf, sizeof buf, &n, nullptr) && n > 0) out->append(buf, n);
  CloseHandle(f);
  return true;
}

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsLink(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

std::string Content(const std::wstring& path) {
  std::string content;
  return ReadWholeFile(path, &content) ? content : std::string("<unreadable>");
}

bool CopySelf(const std::wstring& to) {
  return CopyFileW(SelfPath().c_str(), to.c_str(), FALSE) != 0;
}

// Writes `text` through `file` and closes it, when it was opened at all.
void WriteAndClose(FILE* file, const char* text) {
  if (file == nullptr) return;
  std::fputs(text, file);
  std::fclose(file);
}

HANDLE OsHandle(FILE* file) { return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))); }

bool NotInheritable(FILE* file) {
  HANDLE handle = OsHandle(file);
  DWORD flags = 0;
  return handle != INVALID_HANDLE_VALUE && GetHandleInformation(handle, &flags) &&
         (flags & HANDLE_FLAG_INHERIT) == 0;
}

// Makes `link` a symbolic link to `target`; on failure `why` says what went
// wrong. Wine's CreateSymbolicLinkW reports success without making anything,
// so what it made is looked at.
bool MakeSymlink(const std::wstring& link, const std::wstring& target, bool folder,
                 std::string* why) {
  const DWORD kind = folder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0;
  // Without the privilege, only developer mode allows links, and only when
  // asked with the extra flag (which older systems reject).
  if (!CreateSymbolicLinkW(link.c_str(), target.c_str(),
                           kind | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) &&
      !CreateSymbolicLinkW(link.c_str(), target.c_str(), kind)) {
    *why = "CreateSymbolicLinkW failed, error " + std::to_string(GetLastError()) +
           " (needs the symbolic link privilege or developer mode)";
    return false;
  }
  if (!IsLink(link)) {
    *why = "CreateSymbolicLinkW reported success but made no link (Wine's stub)";
    return false;
  }
  return true;
}

// Makes the folder `link`, made here unless it exists, a junction to the
// folder `target` (a full path), as any user may on Windows, through a handle
// with `access` alone.
bool MakeJunction(const std::wstring& link, const std::wstring& target, std::string* why,
                  DWORD access = GENERIC_WRITE) {
  if (!CreateDirectoryW(link.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    *why = "CreateDirectoryW failed, error " + std::to_string(GetLastError());
    return false;
  }
  HANDLE folder =
      CreateFileW(link.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (folder == INVALID_HANDLE_VALUE) {
    *why = "opening the folder failed, error " + std::to_string(GetLastError());
    RemoveDirectoryW(link.c_str());
    return false;
  }
  // The mount point form of REPARSE_DATA_BUFFER: tag, data length, reserved,
  // then offsets and lengths of the NT name and the print name, which follow
  // each with its terminating NUL.
  const std::wstring substitute = L"\\??\\" + target;
  const WORD substituteBytes = static_cast<WORD>(substitute.size() * sizeof(wchar_t));
  const WORD printBytes = static_cast<WORD>(target.size() * sizeof(wchar_t));
  const WORD dataBytes = static_cast<WORD>(8 + substituteBytes + 2 + printBytes + 2);
  std::vector<BYTE> buffer(8 + dataBytes, 0);
  const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
  const WORD fields[4] = {0, substituteBytes, static_cast<WORD>(substituteBytes + 2), printBytes};
  std::memcpy(&buffer[0], &tag, 4);
  std::memcpy(&buffer[4], &dataBytes, 2);
  std::memcpy(&buffer[8], fields, sizeof fields);
  std::memcpy(&buffer[16], substitute.c_str(), substituteBytes);
  std::memcpy(&buffer[16 + substituteBytes + 2], target.c_str(), printBytes);
  DWORD returned = 0;
  const BOOL made = DeviceIoControl(folder, FSCTL_SET_REPARSE_POINT, buffer.data(),
                                    static_cast<DWORD>(buffer.size()), nullptr, 0, &returned,
                                    nullptr);
  const DWORD error = GetLastError();
  CloseHandle(folder);
  if (!made || !IsLink(link)) {
    *why = made ? std::string("FSCTL_SET_REPARSE_POINT reported success but made no junction")
                : "FSCTL_SET_REPARSE_POINT failed, error " + std::to_string(error);
    RemoveDirectoryW(link.c_str());
    return false;
  }
  return true;
}

// A folder reached through a link, and the real folder it leads to.
struct FolderLink {
  std::string kind;
  std::wstring link;
  std::wstring target;
  std::string missing;  // why it could not be made; empty when it exists
};

std::vector<FolderLink> MakeFolderLinks(const std::wstring& dir) {
  const std::wstring target = dir + L"\\link target";
  CreateDirectoryW(target.c_str(), nullptr);
  std::vector<FolderLink> links;
  FolderLink junction{"junction", dir + L"\\junction", target, ""};
  MakeJunction(junction.link, target, &junction.missing);
  links.push_back(junction);
  FolderLink symlink{"folder symbolic link", dir + L"\\folder symlink", target, ""};
  MakeSymlink(symlink.link, target, true, &symlink.missing);
  links.push_back(symlink);
  const std::wstring unixLinks = FolderOf(dir) + L"\\unix links";
  FolderLink unixLink{"Unix symbolic link (as Wine shows it)", unixLinks + L"\\folder link",
                      unixLinks + L"\\real folder", ""};
  if (!IsLink(unixLink.link) || !Exists(unixLink.target)) {
    unixLink.missing =
        "no \"unix links\\folder link\" beside the scratch folder shown as a "
        "link (scripts/check-windows makes one under Wine)";
  }
  links.push_back(unixLink);
  return links;
}

// Runs `call` on a thread of its own (null when none could be made); `call`
// must outlive the thread.
HANDLE StartThread(const std::function<void()>& call, DWORD* threadId) {
  return CreateThread(
      nullptr, 0,
      [](void* p) -> DWORD {
        (*static_cast<const std::function<void()>*>(p))();
        return 0;
      },
      const_cast<std::function<void()>*>(&call), 0, threadId);
}

// Closes `handle` after `delayMs` on a thread of its own, as a virus scanner
// lets go of a file; Join waits for that.
class LateCloser {
 public:
  LateCloser(HANDLE handle, DWORD delayMs)
      : close_([handle, delayMs] {
          Sleep(delayMs);
          CloseHandle(handle);
        }) {
    thread_ = StartThread(close_, nullptr);
    if (thread_ == nullptr) CloseHandle(handle);
  }
  LateCloser(const LateCloser&) = delete;
  LateCloser& operator=(const LateCloser&) = delete;
  ~LateCloser() { Join(); }
  bool started() const { return thread_ != nullptr; }
  void Join() {
    if (thread_ == nullptr) return;
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    thread_ = nullptr;
  }

 private:
  std::function<void()> close_;
  HANDLE thread_ = nullptr;
};

// Polls for a file another process writes; false after `limitMs`.
bool WaitForFile(const std::wstring& path, DWORD limitMs) {
  const ULONGLONG end = GetTickCount64() + limitMs;
  while (!Exists(path)) {
    if (GetTickCount64() >= end) return false;
    Sleep(20);
  }
  return true;
}

std::wstring Quote(const std::wstring& arg) { return L"\"" + arg + L"\""; }

// Names this run's events apart from another run's.
std::wstring EventPrefix(const std::wstring& tag) {
  return L"bv-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" + tag;
}

// Starts `commandLine`, with `input` (inherited) as its standard input unless
// that is INVALID_HANDLE_VALUE. Returns the process handle, or null.
HANDLE Spawn(const std::wstring& commandLine, HANDLE input) {
  STARTUPINFOW si;
  ZeroMemory(&si, sizeof si);
  si.cb = sizeof si;
  const BOOL redirect = input != INVALID_HANDLE_VALUE;
  if (redirect) {
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = input;
    si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  }
  PROCESS_INFORMATION pi;
  std::wstring mutableLine = commandLine;
  if (!CreateProcessW(nullptr, &mutableLine[0], nullptr, nullptr, redirect, 0, nullptr, nullptr,
                      &si, &pi)) {
    return nullptr;
  }
  CloseHandle(pi.hThread);
  return pi.hProcess;
}

// Starts `commandLine` (its handle in `*process`) and waits at most 20 s for
// it to set `ready`; false when it could not start, or ended or stalled first.
bool StartAndAwaitReady(const std::wstring& commandLine, HANDLE ready, HANDLE* process) {
  *process = Spawn(commandLine, INVALID_HANDLE_VALUE);
  if (*process == nullptr) return false;
  HANDLE waits[2] = {ready, *process};
  return WaitForMultipleObjects(2, waits, FALSE, 20000) == WAIT_OBJECT_0;
}

// Waits at most `limitMs` for `object` while dispatching this thread's window
// messages; true when it was signalled.
bool WaitWhilePumping(HANDLE object, DWORD limitMs) {
  const ULONGLONG end = GetTickCount64() + limitMs;
  for (;;) {
    const ULONGLONG now = GetTickCount64();
    const DWORD left = now >= end ? 0 : static_cast<DWORD>(end - now);
    const DWORD wait = MsgWaitForMultipleObjects(1, &object, FALSE, left, QS_ALLINPUT);
    if (wait == WAIT_OBJECT_0) return true;
    if (wait != WAIT_OBJECT_0 + 1) return false;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
  }
}

// Starts `commandLine`, optionally with `stdinPath` as standard input, and
// waits at most `limitMs` for it while dispatching this thread's window
// messages (the window it talks to lives on this thread). Returns the exit
// code, or -1 when it could not start or did not end in time (then killed).
long RunAndWait(const std::wstring& commandLine, const std::wstring& stdinPath, DWORD limitMs) {
  HANDLE input = INVALID_HANDLE_VALUE;
  if (!stdinPath.empty()) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    input = CreateFileW(stdinPath.c_str(), GENERIC_READ, FILE_SHARE_READ, &sa, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (input == INVALID_HANDLE_VALUE) return -1;
  }
  HANDLE process = Spawn(commandLine, input);
  if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
  if (process == nullptr) return -1;
  long result = -1;
  if (WaitWhilePumping(process, limitMs)) {
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    result = static_cast<long>(code);
  } else {
    TerminateProcess(process, 99);
    WaitForSingleObject(process, 5000);
  }
  CloseHandle(process);
  return result;
}

// Runs `call` on a thread of its own and waits at most `limitMs` for it. The
// shell puts its error boxes on the calling thread: a window that thread
// still shows after the limit is closed, and the call is reported as having
// needed someone to click it away. Returns false when it stalled that way.
bool ReturnsWithoutUserAction(const std::function<void()>& call, DWORD limitMs) {
  DWORD threadId = 0;
  HANDLE thread = StartThread(call, &threadId);
  if (thread == nullptr) return false;
  bool stalled = false;
  while (WaitForSingleObject(thread, limitMs) == WAIT_TIMEOUT) {
    stalled = true;
    EnumThreadWindows(
        threadId,
        [](HWND hwnd, LPARAM) -> BOOL {
          PostMessageW(hwnd, WM_COMMAND, IDOK, 0);
          PostMessageW(hwnd, WM_CLOSE, 0, 0);
          return TRUE;
        },
        0);
    limitMs = 2000;
  }
  CloseHandle(thread);
  return !stalled;
}

// ---------------------------------------------------------------------------
// Helper roles.

int FakeInstallerMain() {
  int count = 0;
  wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
  std::string recorded;
  for (int i = 1; i < count; ++i) {
    if (i > 1) recorded += '\n';
    recorded += Narrow(args[i]);
  }
  if (args != nullptr) LocalFree(args);
  // And the folder it was started in, beside it too.
  wchar_t cwd[MAX_PATH];
  const DWORD length = GetCurrentDirectoryW(MAX_PATH, cwd);
  const bool where = length > 0 && length < MAX_PATH &&
                     WriteWholeFile(FolderOf(SelfPath()) + L"\\installer-cwd.txt", Narrow(cwd));
  return WriteWholeFile(FolderOf(SelfPath()) + L"\\installer-args.txt", recorded) && where ? 0 : 1;
}

int FakeClientMain() {
  return WriteWholeFile(FolderOf(SelfPath()) + L"\\client-ran.txt", "ran") ? 0 : 1;
}

int SleeperMain() {
  wchar_t name[256];
  if (GetEnvironmentVariableW(L"BV_SLEEPER_EVENT", name, 256) == 0) return 2;
  HANDLE stop = OpenEventW(SYNCHRONIZE, FALSE, name);
  if (stop == nullptr) return 3;
  const DWORD wait = WaitForSingleObject(stop, 20000);
  CloseHandle(stop);
  return wait == WAIT_OBJECT_0 ? 0 : 4;
}

// Holds guard `name` and answers the parent through events named
// <prefix>-ready, -go, -released and -quit.
int HoldGuardMain(const std::wstring& name, const std::wstring& prefix, const std::wstring& mode) {
  HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, (prefix + L"-ready").c_str());
  HANDLE go = OpenEventW(SYNCHRONIZE, FALSE, (prefix + L"-go").c_str());
  HANDLE released = OpenEventW(EVENT_MODIFY_STATE, FALSE, (prefix + L"-released").c_str());
  HANDLE quit = OpenEventW(SYNCHRONIZE, FALSE, (prefix + L"-quit").c_str());
  if (!ready || !go || !released || !quit) return 10;
  bool exists = true;
  platform::Guard guard = platform::CreateSingletonGuard(Narrow(name), &exists);
  if (!guard) return 11;
  if (exists) return 12;  // nobody else may hold it yet
  SetEvent(ready);
  if (WaitForSingleObject(go, 20000) != WAIT_OBJECT_0) return 13;
  if (mode == L"exit") ExitProcess(0);  // the system must free the guard
  guard.Release();
  SetEvent(released);
  return WaitForSingleObject(quit, 20000) == WAIT_OBJECT_0 ? 0 : 14;
}

// ---------------------------------------------------------------------------
// Checks.

struct Holder {
  HANDLE process = nullptr;
  HANDLE ready = nullptr, go = nullptr, released = nullptr, quit = nullptr;
  ~Holder() {
    for (HANDLE h : {ready, go, released, quit}) {
      if (h != nullptr) CloseHandle(h);
    }
    if (process != nullptr) {
      if (WaitForSingleObject(process, 0) == WAIT_TIMEOUT) TerminateProcess(process, 98);
      CloseHandle(process);
    }
  }
};

bool StartHolder(Holder* h, const std::wstring& guardName, const std::wstring& tag,
                 const std::wstring& mode) {
  const std::wstring prefix = EventPrefix(tag);
  h->ready = CreateEventW(nullptr, TRUE, FALSE, (prefix + L"-ready").c_str());
  h->go = CreateEventW(nullptr, TRUE, FALSE, (prefix + L"-go").c_str());
  h->released = CreateEventW(nullptr, TRUE, FALSE, (prefix + L"-released").c_str());
  h->quit = CreateEventW(nullptr, TRUE, FALSE, (prefix + L"-quit").c_str());
  if (!h->ready || !h->go || !h->released || !h->quit) return false;
  const std::wstring line =
      Quote(SelfPath()) + L" --hold-guard " + Quote(guardName) + L" " + Quote(prefix) + L" " + mode;
  return StartAndAwaitReady(line, h->ready, &h->process);
}

DWORD ExitCodeAfter(HANDLE process, DWORD limitMs) {
  if (WaitForSingleObject(process, limitMs) != WAIT_OBJECT_0) return 0xFFFFFFFFu;
  DWORD code = 0xFFFFFFFFu;
  GetExitCodeProcess(process, &code);
  return code;
}

// Asks for the guard from this process: true when another process holds it.
// Our own handle is given up at once, or it would keep the guard alive.
bool GuardTakenElsewhere(const std::string& name, bool* valid) {
  bool exists = false;
  platform::Guard guard = platform::CreateSingletonGuard(name, &exists);
  *valid = guard.valid();
  guard.Release();
  return exists;
}

void TestSingletonGuard() {
  const std::wstring name = L"bv test guard " + std::to_wstring(GetCurrentProcessId());
  const std::string utf8 = Narrow(name);
  bool valid = false;

  CHECK(!GuardTakenElsewhere(utf8, &valid) && valid, "guard: free before anyone holds it");

  {
    Holder holder;
    CHECK(StartHolder(&holder, name, L"a", L"release"), "guard: holder process took the guard");
    const bool taken = GuardTakenElsewhere(utf8, &valid);
    CHECK(valid, "guard: second guard gets a valid handle while held");
    CHECK(taken, "guard: second guard reports alreadyExists while the holder lives");
    SetEvent(holder.go);
    CHECK(WaitForSingleObject(holder.released, 20000) == WAIT_OBJECT_0,
          "guard: holder released its guard");
    // The holder is still alive: only the release may have freed the name.
    CHECK(WaitForSingleObject(holder.process, 0) == WAIT_TIMEOUT &&
              !GuardTakenElsewhere(utf8, &valid) && valid,
          "guard: free after Release, holder still running");
    SetEvent(holder.quit);
    CHECK_EQ(static_cast<unsigned long>(ExitCodeAfter(holder.process, 20000)), 0ul,
             "guard: holder (release) exit code");
  }
  {
    Holder holder;
    CHECK(StartHolder(&holder, name, L"b", L"exit"), "guard: second holder took the guard");
    CHECK(GuardTakenElsewhere(utf8, &valid), "guard: taken again while the second holder lives");
    SetEvent(holder.go);
    CHECK_EQ(static_cast<unsigned long>(ExitCodeAfter(holder.process, 20000)), 0ul,
             "guard: holder (exit) exit code");
    CHECK(!GuardTakenElsewhere(utf8, &valid) && valid,
          "guard: free after the holder exited without releasing");
  }
  platform::Guard().Release();  // must be a no-op
  CHECK(true, "guard: releasing an empty guard is harmless");
}

// The client's guard against the upgrader's: a mutex that exists is held,
// whoever owns it (the upgrader never does); the client keeps its handle
// open and never waits; a start releases a guard handed to it and takes it
// back when nothing was taken.
void TestClientGuard(const std::wstring& dir) {
  using GuardStatus = brisvane::ClientGuard::Status;
  const std::wstring name = Widen(platform::kSingletonGuardName);
  Holder holder;
  CHECK(StartHolder(&holder, name, L"client-guard", L"release"),
        "client guard: a stand-in upgrader holds the guard");
  brisvane::ClientGuard guard;
  std::string reason;
  GuardStatus status = guard.Take(&reason);
  CHECK(status == GuardStatus::kHeldElsewhere && !guard.Held(),
        "client guard: held elsewhere while an upgrader holds it (" + reason + ")");
  SetEvent(holder.go);
  CHECK(WaitForSingleObject(holder.released, 20000) == WAIT_OBJECT_0,
        "client guard: the stand-in upgrader released it");
  status = guard.Take(&reason);
  CHECK(status == GuardStatus::kTaken && guard.Held(),
        "client guard: taken once released (" + reason + ")");
  bool valid = false;
  CHECK(GuardTakenElsewhere(Narrow(name), &valid),
        "client guard: an upgrader reads the client's guard as held");

  brisvane::StartOptions options;
  options.upgraderPath = Narrow(dir + L"\\no-such-BrisvaneUpgrade.exe");
  options.guard = &guard;
  const brisvane::StartResult result = brisvane::StartUpgrade("http://x/y.exe", options);
  CHECK(result.status == brisvane::StartResult::Status::kNotStarted && guard.Held(),
        "client guard: a start handed the guard goes on and takes it back (" + result.reason + ")");
  guard.Release();
  CHECK(!GuardTakenElsewhere(Narrow(name), &valid) && valid,
        "client guard: free once the client released it");
  SetEvent(holder.quit);
  CHECK_EQ(static_cast<unsigned long>(ExitCodeAfter(holder.process, 20000)), 0ul,
           "client guard: stand-in upgrader exit code");
}

struct AsyncTold {
  brisvane_start_result result;
  LONG calls = 0;
};

void RecordAsyncResult(const brisvane_start_result* result, void* context) {
  AsyncTold* told = static_cast<AsyncTold*>(context);
  told->result = *result;
  InterlockedIncrement(&told->calls);
}

// The asynchronous start on the library's Win32 thread and event: the
// callback and the wait tell the same end.
void TestAsyncStart(const std::wstring& dir) {
  const std::string missing = Narrow(dir + L"\\no-such-BrisvaneUpgrade.exe");
  brisvane_start_options cOptions = {};
  cOptions.upgrader_path = missing.c_str();
  cOptions.request_id = 99;
  AsyncTold told;
  brisvane_pending_start* cPending =
      brisvane_start_upgrade_async("http://x/y.exe", &cOptions, RecordAsyncResult, &told);
  brisvane_start_result cResult = {};
  const int cEnded = cPending == nullptr ? 0 : brisvane_pending_start_wait(cPending, 20000, &cResult);
  CHECK(cEnded == 1 && told.calls == 1 && cResult.status == BRISVANE_START_NOT_STARTED &&
            cResult.request_id == 99 && std::strcmp(cResult.reason, told.result.reason) == 0,
        std::string("async start: the C handle and callback tell the same end (") + cResult.reason +
            ")");
  brisvane_pending_start_free(cPending);
}

void TestSharedLogFile(const std::wstring& dir) {
  // A non-ASCII name: the back end must not read the UTF-8 path as ANSI.
  const std::wstring path = dir + L"\\" + Widen(u8"журнал ü.log");
  CHECK(WriteWholeFile(path, "earlier line\r\n"), "log file: prepared with an earlier line");

  FILE* log = platform::OpenSharedLogFile(Narrow(path));
  CHECK(log != nullptr, "log file: OpenSharedLogFile opens a UTF-8 path");
  if (log == nullptr) return;

  CHECK(NotInheritable(log), "log file: handle is not inheritable");

  LogSetQuiet(true);
  CHECK_EQ(LogAddFileSink(log, INFO), 0, "log file: file sink registered");
  LOG_DEBUG("below the sink's level");
  LOG_INFO("step %d of %s", 3, "upgrade");

  std::string content;
  CHECK(ReadWholeFile(path, &content), "log file: readable while the writer holds it");
  const std::string tail = "step 3 of upgrade\r\n";
  CHECK(content.compare(0, 14, "earlier line\r\n") == 0,
        "log file: earlier content kept (opened for appending)");
  CHECK(content.size() > tail.size() &&
            content.compare(content.size() - tail.size(), tail.size(), tail) == 0,
        "log file: message appended as one text-mode line");
  CHECK(content.find("below the sink's level") == std::string::npos &&
            content.find(" INFO  ") != std::string::npos,
        "log file: level filter and level name");
  // "YYYY-MM-DD HH:MM:SS INFO  file:line: text"
  const std::size_t lineStart = 14;
  CHECK(content.size() > lineStart + 20 && content[lineStart + 4] == '-' &&
            content[lineStart + 7] == '-' && content[lineStart + 10] == ' ' &&
            content[lineStart + 13] == ':' && content[lineStart + 16] == ':',
        "log file: line starts with the local date and time");

  FILE* second = platform::OpenSharedLogFile(Narrow(path));
  CHECK(second == nullptr, "log file: a second OpenSharedLogFile fails while the first is open");
  if (second != nullptr) std::fclose(second);
  FILE* plainWriter = _wfsopen(path.c_str(), L"ab", _SH_DENYNO);
  CHECK(plainWriter == nullptr, "log file: any other writer is shut out");
  if (plainWriter != nullptr) std::fclose(plainWriter);
  FILE* reader = _wfsopen(path.c_str(), L"rb", _SH_DENYNO);
  CHECK(reader != nullptr, "log file: a reader is let in");
  if (reader != nullptr) std::fclose(reader);

  // The sink keeps `log`: it stays open for the rest of the run, as in the
  // program. A missing folder must fail cleanly.
  CHECK(platform::OpenSharedLogFile(Narrow(dir + L"\\no such folder\\x.log")) == nullptr,
        "log file: missing folder gives null");
  CHECK(platform::OpenSharedLogFile("") == nullptr, "log file: empty path gives null");
}

// The log's folder may belong to a less-privileged user: whatever that user
// puts in place of the log or its folder must not get our lines.
void TestLogFileLinks(const std::wstring& dir, const std::vector<FolderLink>& folderLinks) {
  const std::wstring other = dir + L"\\someone else's.txt";
  WriteWholeFile(other, "not a log\r\n");

  const std::wstring hardLinked = dir + L"\\hard-linked.log";
  if (CreateHardLinkW(hardLinked.c_str(), other.c_str(), nullptr)) {
    FILE* log = platform::OpenSharedLogFile(Narrow(hardLinked));
    WriteAndClose(log, "written through the second name\n");
    CHECK(log == nullptr && Content(other) == "not a log\r\n",
          "log file: a file with a second name (hard link) is refused, the other file untouched");
  } else {
    Skip("log file: a file with a second name (hard link) is refused",
         "CreateHardLinkW failed, error " + std::to_string(GetLastError()));
  }

  const std::wstring symlinked = dir + L"\\symlinked.log";
  std::string why;
  if (MakeSymlink(symlinked, other, false, &why)) {
    FILE* log = platform::OpenSharedLogFile(Narrow(symlinked));
    WriteAndClose(log, "written through the link\n");
    CHECK(log == nullptr && Content(other) == "not a log\r\n",
          "log file: a symbolic link at the log's name is refused, its target untouched");
  } else {
    Skip("log file: a symbolic link at the log's name is refused", why);
  }

  for (const FolderLink& link : folderLinks) {
    const std::string label = "log file: a logs folder that is a " + link.kind +
                              " is refused, nothing created where it leads";
    if (!link.missing.empty()) {
      Skip(label, link.missing);
      continue;
    }
    const std::wstring reached = link.target + L"\\upgrade.log";
    DeleteFileW(reached.c_str());
    FILE* log = platform::OpenSharedLogFile(Narrow(link.link + L"\\upgrade.log"));
    if (log != nullptr) std::fclose(log);
    CHECK(log == nullptr && !Exists(reached), label);
    DeleteFileW(reached.c_str());
  }
}

// --- The download's ".part" file, in a folder a less-privileged user may own,
// created, written, sealed, renamed and removed through held handles.

platform::Folder HeldFolder(const std::wstring& dir, const std::vector<std::string>& names = {},
                            bool create = false) {
  platform::Folder folder;
  folder.Open(Narrow(dir), names, create);
  return folder;
}

bool WriteText(platform::HeldFile* file, const std::string& text) {
  return file->Write(text.data(), text.size());
}

bool NotInheritable(const platform::HeldFile& file) {
  DWORD flags = 0;
  return GetHandleInformation(reinterpret_cast<HANDLE>(file.native()), &flags) &&
         (flags & HANDLE_FLAG_INHERIT) == 0;
}

// A stale file of an earlier run is replaced; writes land at the file's own
// end even after a read moved the handle's position.
void TestPartFileOverStale(const platform::Folder& folder, const std::wstring& part) {
  CHECK(WriteWholeFile(part, "stale bytes of an earlier run"), "part file: stale file prepared");
  platform::HeldFile file = folder.CreateNew(Narrow(BaseName(part)));
  CHECK(file.valid() && file.writable() && file.size() == 0,
        "part file: created empty over a stale file of an earlier run (UTF-8 name)");
  if (!file.valid()) return;
  CHECK(NotInheritable(file), "part file: handle is not inheritable");
  char first = 0;
  CHECK(WriteText(&file, "fre") && file.ReadAt(0, &first, 1) == 1 && WriteText(&file, "sh\n") &&
            file.Sync() && file.size() == 6,
        "part file: Write appends after a ReadAt, Sync");
  CHECK_EQ(Content(part), std::string("fresh\n"), "part file: holds exactly the bytes written");
  CHECK(file.Truncate() && WriteText(&file, "again") && Content(part) == "again",
        "part file: Truncate starts the file over");
}

// Another file under a second name, or a link, at the .part name: only the
// name goes; a name that cannot be removed fails the call.
void TestPartFileOverLinks(const platform::Folder& folder, const std::wstring& dir) {
  const std::wstring other = dir + L"\\someone else's.exe", part = dir + L"\\setup.exe.part";
  WriteWholeFile(other, "not ours");
  std::string why;
  DeleteFileW(part.c_str());
  if (MakeSymlink(part, other, false, &why)) {
    platform::HeldFile file = folder.CreateNew("setup.exe.part");
    CHECK(WriteText(&file, "download") && !IsLink(part) && Content(other) == "not ours",
          "part file: a symbolic link at the name is replaced, its target untouched");
  } else {
    Skip("part file: a symbolic link at the name is replaced", why);
  }
  DeleteFileW(part.c_str());
  if (!CreateHardLinkW(part.c_str(), other.c_str(), nullptr)) {
    Skip("part file: a hard link at the name", "CreateHardLinkW failed");
    return;
  }
  HANDLE holder = CreateFileW(other.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  platform::HeldFile held = folder.CreateNew("setup.exe.part");
  if (holder != INVALID_HANDLE_VALUE) CloseHandle(holder);
  CHECK(!held.valid() && Content(other) == "not ours",
        "part file: a hard link at the name that cannot be removed fails the call");
  platform::HeldFile file = folder.CreateNew("setup.exe.part");
  CHECK(WriteText(&file, "download") && Content(part) == "download" && Content(other) == "not ours",
        "part file: a hard link at the name is replaced, the other file untouched");
}

// Names that would lead out of the folder, and links on the way to it.
void TestFolderRefusals(const std::wstring& dir, const std::vector<FolderLink>& folderLinks) {
  const platform::Folder folder = HeldFolder(dir);
  for (const char* name : {"", ".", "..", "a\\b", "a/b", "c:x", "x.part:stream"}) {
    CHECK(!HeldFolder(dir, {name}, true).valid() && !folder.CreateNew(name).valid() &&
              !folder.Child(name, true).valid(),
          std::string("folder: the name ") + Show(std::string(name)) + " is refused");
  }
  for (const FolderLink& link : folderLinks) {
    const std::string label = "folder: a component that is a " + link.kind +
                              " is refused, nothing created where it leads";
    if (!link.missing.empty()) {
      Skip(label, link.missing);
      continue;
    }
    const std::wstring reached = link.target + L"\\below";
    RemoveDirectoryW(reached.c_str());
    CHECK(!HeldFolder(FolderOf(link.link), {Narrow(BaseName(link.link)), "below"}, true).valid() &&
              !HeldFolder(link.link).valid() && !Exists(reached),
          label);
  }
  CHECK(!HeldFolder(dir, {"no such folder"}).valid(), "folder: a missing one is not created");
  const platform::Folder made = HeldFolder(dir, {Narrow(L"新 a"), "b"}, true);
  CHECK(made.valid() && folder.HasFolder(Narrow(L"新 a")) && !folder.HasFolder("no such") &&
            made.Child("c", true).valid() && Exists(dir + L"\\新 a\\b\\c"),
        "folder: missing ones created when asked, Child below them");
}

// The error opening `path` with `access` and `share` gives; 0 when it opens.
DWORD OpenError(const std::wstring& path, DWORD access, DWORD share) {
  HANDLE handle = CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  const DWORD error = handle == INVALID_HANDLE_VALUE ? GetLastError() : 0;
  if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  return error;
}

// The user's profile folder as the system records it; empty when unknown.
std::wstring ProfileFolder() {
  HANDLE token = nullptr;
  wchar_t profile[MAX_PATH];
  DWORD size = MAX_PATH;
  const bool known = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
                     GetUserProfileDirectoryW(token, profile, &size);
  if (token != nullptr) CloseHandle(token);
  return known ? std::wstring(profile) : std::wstring();
}

// While the folders are held none of them can be renamed, ours not opened
// for writing or deletion either, while the user's own above them (from the
// profile folder down, elevated) still let the user's programs write;
// afterwards all can be had.
void TestHeldFolderChain(const std::wstring& dir) {
  platform::Folder folder = HeldFolder(dir, {"chain", "inner"}, true);
  const std::wstring outer = dir + L"\\chain", inner = outer + L"\\inner";
  const bool outerMoved = MoveFileExW(outer.c_str(), (dir + L"\\chain moved").c_str(), 0) != 0;
  const bool innerMoved = MoveFileExW(inner.c_str(), (outer + L"\\moved").c_str(), 0) != 0;
  Report(folder.valid() && !outerMoved && !innerMoved,
         "folder: no folder on the held path can be renamed",
         "outer moved " + Show(outerMoved) + ", inner moved " + Show(innerMoved));
  const std::wstring base = platform::RunningElevated() ? ProfileFolder() : dir;
  for (const DWORD access : {DWORD{GENERIC_WRITE}, DWORD{FILE_ADD_FILE}, DWORD{DELETE}}) {
    std::string opened;
    for (const std::wstring& path : {outer, inner}) {
      if (OpenError(path, access, 7) != ERROR_SHARING_VIOLATION) opened += " " + Narrow(path);
    }
    Report(opened.empty(), "folder: none of ours on the held path opens for access " + Show(access),
           "opened:" + opened);
  }
  const DWORD baseWrite = OpenError(base, FILE_ADD_FILE, 7), baseDelete = OpenError(base, DELETE, 7);
  Report(baseWrite == 0 && baseDelete == ERROR_SHARING_VIOLATION,
         "folder: the user's own folder above ours lets writers in, not deletion",
         "write " + std::to_string(baseWrite) + ", delete " + std::to_string(baseDelete));
  folder.Close();
  CHECK(MoveFileExW(inner.c_str(), (outer + L"\\moved").c_str(), 0) != 0,
        "folder: let go, it can be renamed again");
}

// Sharing holds off writers but not an open for attributes alone, which is
// enough to make an empty held folder a mount point: what is created in it
// afterwards must still land in it, since it is opened through its handle.
void TestMountPointOnHeldFolder(const std::wstring& dir) {
  const std::wstring held = dir + L"\\held empty", elsewhere = dir + L"\\elsewhere";
  CreateDirectoryW(elsewhere.c_str(), nullptr);
  const platform::Folder folder = HeldFolder(dir, {"held empty"}, true);
  const std::string label =
      "folder: a held folder made a mount point afterwards leads nowhere else";
  std::string why;
  if (!MakeJunction(held, elsewhere, &why, FILE_WRITE_ATTRIBUTES)) {
    Skip(label, why);
    return;
  }
  platform::HeldFile file = folder.CreateNew("x.part");
  CHECK(file.valid() && !Exists(elsewhere + L"\\x.part"), label);
}

// The string SID of the user this test runs as.
std::wstring TokenUserSid() {
  HANDLE token = nullptr;
  BYTE buffer[512];
  DWORD size = 0;
  wchar_t* sid = nullptr;
  std::wstring text = L"?";
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
      GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) &&
      ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid)) {
    text = sid;
    LocalFree(sid);
  }
  if (token != nullptr) CloseHandle(token);
  return text;
}

// Wine maps a DACL to Unix mode bits and reads back a default one.
bool OnWine() {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

// Reports whether the DACL of what `handle` holds is protected and has just
// the ACEs `want`, each "type flags SID mask".
void ReportDacl(HANDLE handle, const std::vector<std::string>& want, const std::string& label) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  const bool read = GetSecurityInfo(handle, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                    nullptr, &dacl, nullptr, &sd) == 0 &&
                    dacl != nullptr && GetSecurityDescriptorControl(sd, &control, &revision);
  std::vector<std::string> aces;
  std::string got = "control " + std::to_string(control) + ":";
  for (DWORD i = 0; read && i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    GetAce(dacl, i, &ace);
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    wchar_t* sid = nullptr;
    ConvertSidToStringSidW(&allowed->SidStart, &sid);
    aces.push_back(std::to_string(allowed->Header.AceType) + " " +
                   std::to_string(allowed->Header.AceFlags) + " " + Narrow(sid ? sid : L"?") + " " +
                   std::to_string(allowed->Mask));
    got += " [" + aces.back() + "]";
    LocalFree(sid);
  }
  if (sd != nullptr) LocalFree(sd);
  Report(read && (control & SE_DACL_PROTECTED) != 0 && aces == want, label, got);
}

// The DACL of a file private to administrators, read back from its handle.
void TestPrivateDacl(const platform::Folder& folder) {
  const std::string label =
      "part file: private to administrators: protected DACL, SYSTEM and Administrators full, "
      "the user read and execute only";
  if (OnWine()) {
    Skip(label, "Wine keeps no DACL, only Unix mode bits");
    return;
  }
  platform::HeldFile file = folder.CreateNew("private.part", true);
  const std::string user = Narrow(TokenUserSid());
  ReportDacl(reinterpret_cast<HANDLE>(file.native()),
             {"0 0 S-1-5-18 " + std::to_string(FILE_ALL_ACCESS),
              "0 0 S-1-5-32-544 " + std::to_string(FILE_ALL_ACCESS),
              "0 0 " + user + " " + std::to_string(FILE_GENERIC_READ | FILE_GENERIC_EXECUTE)},
             label);
}

// ReadSmallFile through a held file: at most the limit.
void TestReadSmallHeld(const platform::Folder& folder) {
  platform::HeldFile file = folder.CreateNew("small.sig");
  WriteText(&file, "123456");
  for (const std::pair<std::size_t, bool>& c : {std::pair<std::size_t, bool>{5, false}, {6, true},
                                                 {100, true}}) {
    std::string text;
    CHECK(platform::ReadSmallFile(file, c.first, &text) == c.second &&
              (!c.second || text == "123456"),
          "ReadSmallFile(held) with a limit of " + std::to_string(c.first));
  }
}

// Sealed: read-only, and held against writers and renames, yet openable the
// way the loader opens an image.
void TestSeal(const platform::Folder& folder, const std::wstring& dir) {
  platform::HeldFile file = folder.CreateNew("sealed.exe");
  const std::wstring path = dir + L"\\sealed.exe";
  CHECK(WriteText(&file, "bytes") && file.Sync() && file.Seal() && !file.writable() &&
            file.size() == 5 && file.singleName() && !WriteText(&file, "more"),
        "seal: read-only afterwards, size kept");
  HANDLE writer = CreateFileW(path.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  const DWORD writerError = GetLastError();
  if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
  const bool moved = MoveFileExW(path.c_str(), (dir + L"\\elsewhere.exe").c_str(), 0) != 0;
  HANDLE loader = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_EXECUTE,
                              FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (loader != INVALID_HANDLE_VALUE) CloseHandle(loader);
  CHECK(writer == INVALID_HANDLE_VALUE && writerError == ERROR_SHARING_VIOLATION && !moved &&
            loader != INVALID_HANDLE_VALUE && Content(path) == "bytes",
        "seal: no writer and no rename while held, the loader's open is let in");
}

// Rename through the held file: replaces, waits for a scanner on the file
// replaced, gives up on one that never lets go.
void TestRename(const platform::Folder& folder, const std::wstring& dir) {
  const std::wstring target = dir + L"\\Setup.exe";
  struct Case {
    const char* what;
    DWORD holdMs;  // how long the file replaced is held; 0: not at all
    bool moved;
    ULONGLONG minMs, maxMs;
  };
  for (const Case& c : {Case{"replaces", 0, true, 0, 1000},
                        Case{"waits while a scanner holds the file replaced", 700, true, 500, 4000},
                        Case{"gives up on a file held for good", INFINITE, false, 3000, 10000}}) {
    WriteWholeFile(target, "old");
    platform::HeldFile file = folder.CreateNew("Setup.exe.part");
    const bool sealed = WriteText(&file, "new") && file.Sync() && file.Seal();
    HANDLE held = c.holdMs == 0 ? INVALID_HANDLE_VALUE
                                : CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                              nullptr, OPEN_EXISTING, 0, nullptr);
    LateCloser closer(held, c.holdMs == INFINITE ? 6000 : c.holdMs);
    const ULONGLONG start = GetTickCount64();
    const bool moved = folder.Rename(file, "Setup.exe.part", "Setup.exe");
    const ULONGLONG took = GetTickCount64() - start;
    closer.Join();
    CHECK(sealed && moved == c.moved && took >= c.minMs && took < c.maxMs &&
              Content(target) == (c.moved ? "new" : "old") &&
              Exists(dir + L"\\Setup.exe.part") != c.moved,
          std::string("rename: ") + c.what + " (" + std::to_string(took) + " ms)");
  }
  platform::HeldFile file = folder.CreateNew("x.part");
  CHECK(!folder.Rename(file, "x.part", "..\\x") && !folder.Rename(file, "x.part", "a:b"),
        "rename: a name leading out of the folder is refused");
}

// Remove goes through the held handle, writable or sealed; RemoveName
// removes files but never folders.
void TestRemove(const platform::Folder& folder, const std::wstring& dir) {
  for (const bool seal : {false, true}) {
    platform::HeldFile file = folder.CreateNew("doomed.part");
    const bool ready = WriteText(&file, "x") && (!seal || file.Seal());
    const bool removed = folder.Remove("doomed.part", file);
    file.Close();
    CHECK(ready && removed && !Exists(dir + L"\\doomed.part"),
          std::string("remove: through the held handle, ") + (seal ? "sealed" : "writable"));
  }
  WriteWholeFile(dir + L"\\loose.txt", "x");
  CreateDirectoryW((dir + L"\\kept folder").c_str(), nullptr);
  folder.RemoveName("loose.txt");
  folder.RemoveName("kept folder");
  folder.RemoveName("never there");
  CHECK(!Exists(dir + L"\\loose.txt") && folder.HasFolder("kept folder"),
        "RemoveName: a file goes, a folder stays, a missing name is no error");
}

// Why a private leftover cannot be taken up here ("" when it can): its DACL
// must have been kept, and the test elevated to write under it.
std::string PrivateLeftoverMissing(const std::wstring& path) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, nullptr, nullptr, &sd) == 0) {
    GetSecurityDescriptorControl(sd, &control, &revision);
    LocalFree(sd);
  }
  if ((control & SE_DACL_PROTECTED) == 0) {
    return "GetSecurityInfo shows the file's DACL was not kept (Wine keeps only Unix mode bits)";
  }
  return platform::RunningElevated() ? ""
                                     : "not elevated: the private DACL lets this user read only";
}

// Only a file the upgrader left, as it left it, is taken up again for
// writing, held as CreateNew holds one; anything else is refused, saying why.
void TestOwnLeftover(const platform::Folder& folder, const std::wstring& dir) {
  enum Stage { kMade, kPrivate, kLinked, kFolder, kMissing };
  struct Case {
    const char* what;
    Stage stage;
    bool privately;  // privateToAdministrators
    DWORD error;     // 0: taken up
  };
  int number = 0;
  for (const Case& c :
       {Case{"a file CreateNew left", kMade, false, 0},
        Case{"a folder", kFolder, false, ERROR_ACCESS_DENIED},
        Case{"a file with a second link", kLinked, false, ERROR_ACCESS_DENIED},
        Case{"a missing name", kMissing, false, ERROR_FILE_NOT_FOUND},
        Case{"private: a file with the folder's DACL", kMade, true, ERROR_ACCESS_DENIED},
        Case{"private: a file CreateNew made private", kPrivate, true, 0}}) {
    const std::string name = "leftover " + std::to_string(++number) + ".part";
    const std::string label =
        std::string("leftover: ") + c.what + (c.error == 0 ? " is taken up" : " is refused");
    const std::wstring path = dir + L"\\" + Widen(name);
    bool staged =
        c.stage == kMissing || (c.stage == kFolder && CreateDirectoryW(path.c_str(), nullptr));
    if (c.stage <= kLinked) {
      platform::HeldFile made = folder.CreateNew(name, c.stage == kPrivate);
      staged = WriteText(&made, "abc");
    }
    if (c.stage == kLinked) {
      staged = staged && CreateHardLinkW((path + L" 2").c_str(), path.c_str(), nullptr);
    }
    const std::string missing = c.stage == kPrivate ? PrivateLeftoverMissing(path) : "";
    if (!missing.empty()) {
      Skip(label, missing);
      continue;
    }
    platform::HeldFile file = folder.OpenOwnLeftover(name, c.privately);
    const DWORD error = file.valid() ? 0 : GetLastError();
    const bool held = file.writable() && file.size() == 3 && WriteText(&file, "def") &&
                      Content(path) == "abcdef" && NotInheritable(file) &&
                      OpenError(path, GENERIC_WRITE, 7) == ERROR_SHARING_VIOLATION;
    Report(staged && error == c.error && (error != 0 || held), label,
           "staged " + Show(staged) + ", error " + Show(error));
  }
}

// Names lists through the folder's own handle, from the start every time.
void TestNames(const platform::Folder& folder) {
  const platform::Folder listed = folder.Child("listed", true);
  listed.CreateNew("a.part");
  listed.CreateNew(u8"b ü.txt");
  listed.Child("sub", true);
  std::vector<std::string> first = listed.Names(), second = listed.Names();
  std::sort(first.begin(), first.end());
  std::sort(second.begin(), second.end());
  const std::vector<std::string> want = {"a.part", u8"b ü.txt", "sub"};
  Report(first == want && second == want && platform::Folder().Names().empty(),
         "names: two files and a folder (UTF-8), listed again by a second call",
         std::to_string(first.size()) + " then " + std::to_string(second.size()) + " names");
}

// --- The installer's own folder: made private, the installer moved into it,
// run from there, then removed with everything in it.

std::string LeafOf(const std::string& path) { return path.substr(path.find_last_of('\\') + 1); }

void TestPrivateFolder(const platform::Folder& folder, const std::wstring& dir) {
  const platform::Folder made = folder.CreatePrivate("upgrade-"),
                         other = folder.CreatePrivate("upgrade-");
  const std::string name = LeafOf(made.path());
  const std::wstring path = dir + L"\\" + Widen(name);
  CHECK(made.path() == folder.path() + "\\" + name && name.size() == 24 &&
            name.rfind("upgrade-", 0) == 0 && other.valid() && LeafOf(other.path()) != name &&
            name.find_first_not_of("0123456789abcdef", 8) == std::string::npos &&
            folder.HasFolder(name) && !MoveFileExW(path.c_str(), (path + L"-").c_str(), 0),
        "private folder: the prefix and 16 random hex digits, held against renames");
  const std::string label =
      "private folder: protected DACL, full control for SYSTEM, "
      "Administrators and (not elevated) the user, passed on inside";
  if (OnWine()) {
    Skip(label, "Wine keeps no DACL, only Unix mode bits");
    return;
  }
  const std::string ace = "0 " + std::to_string(OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE) + " ";
  const std::string all = " " + std::to_string(FILE_ALL_ACCESS);
  std::vector<std::string> want = {ace + "S-1-5-18" + all, ace + "S-1-5-32-544" + all};
  if (!platform::RunningElevated()) want.push_back(ace + Narrow(TokenUserSid()) + all);
  ReportDacl(reinterpret_cast<HANDLE>(made.native()), want, label);
}

// Writable or sealed, the installer moves only while its name still holds
// it, and stays held; sealed again, it keeps writers and renames out and
// lets in a launcher that shares reading only.
void TestMoveInto(const platform::Folder& folder, const std::wstring& dir) {
  WriteWholeFile(dir + L"\\theirs.exe", "theirs");
  for (const bool seal : {false, true}) {
    const std::string kind = seal ? " (sealed)" : " (writable)";
    const platform::Folder own = folder.CreatePrivate("move-");
    const std::wstring there = Widen(own.path()) + L"\\setup.exe";
    platform::HeldFile file = folder.CreateNew("setup.exe", true),
                       ours = folder.CreateNew("ours.exe");
    const bool ready = WriteText(&file, "installer") && WriteText(&ours, "ours") &&
                       (!seal || (file.Seal() && ours.Seal()));
    CHECK(ready && !folder.MoveInto(own, "theirs.exe", ours) && !ours.valid() &&
              Content(dir + L"\\ours.exe") == "ours" &&
              Content(dir + L"\\theirs.exe") == "theirs" &&
              !Exists(Widen(own.path()) + L"\\theirs.exe"),
          "move: refused when the name holds another file" + kind);
    char first = 0;
    CHECK(folder.MoveInto(own, "setup.exe", file) && file.writable() != seal &&
              file.ReadAt(0, &first, 1) == 1 && first == 'i' && Content(there) == "installer" &&
              !Exists(dir + L"\\setup.exe"),
          "move: the file goes and stays held" + kind);
    if (!seal) continue;
    CHECK(OpenError(there, GENERIC_WRITE, 7) == ERROR_SHARING_VIOLATION &&
              OpenError(there, GENERIC_READ, FILE_SHARE_READ) == 0 &&
              !MoveFileExW(there.c_str(), (there + L"-").c_str(), 0),
          "move: sealed again: no writer, no rename, a launcher sharing reading only let in");
  }
}

// The upgrader's road: the sealed installer moved into its own folder, run
// from there, then the folder removed with what the installer left. A file
// held elsewhere without delete sharing stays, and says so; a folder held
// without delete access (Child) goes by its name.
void TestRemoveWithContents(const platform::Folder& folder, const std::wstring& dir) {
  platform::Folder own = folder.CreatePrivate("upgrade-"), kept = folder.CreatePrivate("kept-");
  const std::wstring path = Widen(own.path()), holdout = Widen(kept.path()) + L"\\held.txt";
  platform::HeldFile file = folder.CreateNew("fake-installer.exe", true);
  std::string image;
  platform::Process process;
  const bool ran = ReadWholeFile(SelfPath(), &image) && WriteText(&file, image) && file.Seal() &&
                   folder.MoveInto(own, "fake-installer.exe", file) &&
                   platform::LaunchHeldInstaller(file, "", &process, &own) == 1 &&
                   platform::WaitForProcess(process, 30000) == platform::kWaitEnded;
  file.Close();
  own.Child("left behind", true).CreateNew("cache.bin");
  SetFileAttributesW((path + L"\\left behind\\cache.bin").c_str(), FILE_ATTRIBUTE_READONLY);
  const std::string cwd = Content(path + L"\\installer-cwd.txt");
  Report(ran && Content(path + L"\\installer-args.txt") == "/verysilent" &&
             _wcsicmp(Widen(cwd).c_str(), path.c_str()) == 0 && own.RemoveWithContents(folder) &&
             !own.valid() && !Exists(path),
         "own folder: the installer runs from it and in it, then it goes with all it holds",
         "started in " + cwd);
  WriteWholeFile(holdout, "x");
  HANDLE holder = CreateFileW(holdout.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  CHECK(!kept.RemoveWithContents(folder) && !kept.valid() && Exists(holdout),
        "remove with contents: a file held elsewhere is left, and that is reported");
  CloseHandle(holder);
  platform::Folder plain = folder.Child("plain", true);
  WriteWholeFile(dir + L"\\plain\\a.txt", "x");
  CHECK(plain.RemoveWithContents(folder) && !Exists(dir + L"\\plain"),
        "remove with contents: a folder held without delete access goes by its name");
}

// Where an elevated upgrader may take its base from.
void TestInsideFolder() {
  const std::vector<std::wstring> no = {L"-"};
  struct Case {
    const wchar_t *folder, *path;
    std::vector<std::wstring> below;  // `no`: not inside
  };
  for (const Case& c :
       {Case{L"C:\\Users\\u", L"C:\\Users\\u\\AppData\\Local", {L"AppData", L"Local"}},
        Case{L"C:\\Users\\u\\", L"c:/USERS/U//AppData\\", {L"AppData"}},
        Case{L"C:\\Users\\u", L"C:\\Users\\u2\\AppData", no},
        Case{L"C:\\Users\\u", L"C:\\Users", no},
        Case{L"C:\\Users\\u", L"D:\\Users\\u\\AppData", no},
        Case{L"C:\\Users\\u", L"C:\\Users\\u\\..\\v\\AppData", no}, Case{L"", L"C:\\x", no}}) {
    std::vector<std::wstring> below;
    const bool inside = platform::InsideFolder(c.folder, c.path, &below);
    CHECK(inside == (c.below != no) && (!inside || below == c.below),
          "inside folder: " + Show(Narrow(c.path)) + " in " + Show(Narrow(c.folder)));
  }
}

void TestPartFile(const std::wstring& dir, const std::vector<FolderLink>& folderLinks) {
  const platform::Folder folder = HeldFolder(dir);
  CHECK(folder.valid() && folder.path() == Narrow(dir), "folder: the scratch folder held");
  TestPartFileOverStale(folder, dir + L"\\" + Widen(u8"setup ü.exe.part"));
  TestPartFileOverLinks(folder, dir);
  TestFolderRefusals(dir, folderLinks);
  TestHeldFolderChain(dir);
  TestPrivateDacl(folder);
  TestReadSmallHeld(folder);
  TestSeal(folder, dir);
  TestRename(folder, dir);
  TestRemove(folder, dir);
  TestOwnLeftover(folder, dir);
  TestNames(folder);
  TestMountPointOnHeldFolder(dir);
  TestPrivateFolder(folder, dir);
  TestMoveInto(folder, dir);
  TestRemoveWithContents(folder, dir);
  TestInsideFolder();
}

// Installer: started, waited on, given exactly one argument.
void TestInstallerLaunch(const std::wstring& dir, const std::wstring& installer) {
  platform::Process process;
  const int result = platform::LaunchInstaller(Narrow(installer), &process);
  CHECK_EQ(result, 1, "installer: LaunchInstaller result");
  CHECK(process.valid(), "installer: a process handle to wait on");
  if (process) {
    std::optional<std::uint32_t> exitCode = 99u;
    CHECK_EQ(platform::WaitForProcess(process, 30000, &exitCode), platform::kWaitEnded,
             "installer: WaitForProcess");
    CHECK(exitCode == 0u, "installer: its exit code comes back with the wait");
    process.Close();
  }
  std::string args;
  CHECK(ReadWholeFile(dir + L"\\installer-args.txt", &args), "installer: ran and recorded");
  CHECK_EQ(args, std::string("/verysilent"), "installer: arguments are exactly /verysilent");
}

// The held installer: refused while writable; once sealed, started from the
// path its handle resolves to (not the one named) and not renamable until it
// has exited.
void TestHeldInstallerLaunch(const std::wstring& dir) {
  const std::wstring held = dir + L"\\held installer\\fake-installer.exe";
  const platform::Folder folder = HeldFolder(dir, {"held installer"}, true);
  platform::HeldFile file = folder.CreateNew("fake-installer.exe");
  std::string image;
  const std::string elsewhere = Narrow(dir + L"\\missing-installer.exe");
  platform::Process process;
  CHECK(ReadWholeFile(SelfPath(), &image) && WriteText(&file, image) && file.Sync() &&
            platform::LaunchHeldInstaller(file, elsewhere, &process) == 0,
        "held installer: refused while still writable");
  CHECK(file.Seal() && platform::LaunchHeldInstaller(file, elsewhere, &process) == 1 &&
            process.valid(),
        "held installer: started from its handle's path, not the name given");
  const bool moved = MoveFileExW(held.c_str(), (held + L".moved").c_str(), 0) != 0;
  const bool ended = process && platform::WaitForProcess(process, 30000) == platform::kWaitEnded;
  CHECK(!moved && ended && Content(dir + L"\\held installer\\installer-args.txt") == "/verysilent",
        "held installer: ran with /verysilent, not renamable meanwhile");
}

// Missing installer: failure with a reason, no handle.
void TestMissingInstaller(const std::wstring& dir) {
  platform::Process process;
  int result = -1;
  unsigned long error = 0;
  CHECK(ReturnsWithoutUserAction(
            [&] {
              SetLastError(0);
              result = platform::LaunchInstaller(Narrow(dir + L"\\missing-installer.exe"),
                                                 &process);
              error = platform::LastErrorCode();
            },
            15000),
        "missing installer: fails at once, no error box to click away");
  CHECK_EQ(result, 0, "missing installer: LaunchInstaller result");
  CHECK(!process.valid(), "missing installer: no handle");
  CHECK_EQ(error, static_cast<unsigned long>(ERROR_FILE_NOT_FOUND),
           "missing installer: LastErrorCode tells why");
  CHECK_EQ(platform::WaitForProcess(platform::Process(), 10), platform::kWaitFailed,
           "WaitForProcess(an empty Process) fails");
}

// Time limit: a child that keeps running until told to stop.
void TestWaitTimeout(const std::wstring& sleeper) {
  const std::wstring eventName = EventPrefix(L"sleeper");
  HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, eventName.c_str());
  SetEnvironmentVariableW(L"BV_SLEEPER_EVENT", eventName.c_str());
  platform::Process process;
  CHECK_EQ(platform::LaunchInstaller(Narrow(sleeper), &process), 1, "sleeper: launched");
  if (process) {
    CHECK_EQ(platform::WaitForProcess(process, 300), platform::kWaitTimeout,
             "sleeper: WaitForProcess with a short limit times out (258)");
    SetEvent(stop);
    CHECK_EQ(platform::WaitForProcess(process, 20000), platform::kWaitEnded,
             "sleeper: WaitForProcess after it was told to stop");
    DWORD code = 99;
    GetExitCodeProcess(reinterpret_cast<HANDLE>(process.native()), &code);
    CHECK_EQ(static_cast<unsigned long>(code), 0ul,
             "sleeper: ended on the event, not its own limit");
    process.Close();
  }
  SetEnvironmentVariableW(L"BV_SLEEPER_EVENT", nullptr);
  if (stop != nullptr) CloseHandle(stop);
}

// Script: a path in a folder with a space.
void TestScriptLaunch(const std::wstring& dir) {
  const std::wstring scriptDir = dir + L"\\post install";
  CreateDirectoryW(scriptDir.c_str(), nullptr);
  const std::wstring marker = scriptDir + L"\\script-ran.txt";
  const std::wstring script = scriptDir + L"\\command.bat";
  CHECK(WriteWholeFile(script, "@echo off\r\necho ran>\"" + Narrow(marker) + "\"\r\n"),
        "script: command.bat written");
  platform::Process process;
  CHECK_EQ(platform::LaunchScript(Narrow(script), &process), 1,
           "script: LaunchScript with a path holding a space");
  CHECK(process.valid(), "script: a process handle to wait on");
  if (process) {
    CHECK_EQ(platform::WaitForProcess(process, 60000), platform::kWaitEnded,
             "script: WaitForProcess");
    process.Close();
  }
  std::string content;
  CHECK(WaitForFile(marker, 5000) && ReadWholeFile(marker, &content) &&
            content.compare(0, 3, "ran") == 0,
        "script: ran and wrote its marker");
}

// Client: started, not waited on.
void TestClientLaunch(const std::wstring& dir, const std::wstring& client) {
  const std::wstring marker = dir + L"\\client-ran.txt";
  CHECK_EQ(platform::LaunchClient(Narrow(client)), 1, "client: LaunchClient result");
  CHECK(WaitForFile(marker, 20000), "client: started and wrote its marker");
  int result = -1;
  CHECK(ReturnsWithoutUserAction(
            [&] { result = platform::LaunchClient(Narrow(dir + L"\\missing-client.exe")); },
            15000),
        "missing client: fails at once, no error box to click away");
  CHECK_EQ(result, 0, "missing client: LaunchClient result");
}

void TestLaunches(const std::wstring& dir) {
  const std::wstring installer = dir + L"\\fake-installer.exe";
  const std::wstring client = dir + L"\\fake-client.exe";
  const std::wstring sleeper = dir + L"\\sleeper.exe";
  CHECK(CopySelf(installer) && CopySelf(client) && CopySelf(sleeper),
        "launch: helper executables copied");
  TestInstallerLaunch(dir, installer);
  TestHeldInstallerLaunch(dir);
  TestMissingInstaller(dir);
  TestWaitTimeout(sleeper);
  TestScriptLaunch(dir);
  TestClientLaunch(dir, client);
}

// --- Request channel. The sender serves only windows of BrisvaneUpgrade.exe,
// so the receiving window runs in a copy of this program of that name; a
// copy named decoy-BrisvaneUpgrade.exe shows a window of the same title, as
// any other program may. Each copy appends every request it takes to
// <its name>-received.bin beside it (4-byte length, then the bytes) before
// answering with the number in reply.txt beside it (0 without the file).

std::wstring ReceivedFile(const std::wstring& executable) {
  return executable.substr(0, executable.size() - 4) + L"-received.bin";
}

std::vector<std::string> Received(const std::wstring& executable) {
  std::vector<std::string> requests;
  std::string bytes;
  if (!ReadWholeFile(ReceivedFile(executable), &bytes)) return requests;
  std::size_t at = 0;
  while (bytes.size() - at >= 4) {
    std::uint32_t length = 0;
    std::memcpy(&length, bytes.data() + at, 4);
    at += 4;
    if (bytes.size() - at < length) {
      requests.push_back("<truncated record>");
      break;
    }
    requests.push_back(bytes.substr(at, length));
    at += length;
  }
  return requests;
}

LRESULT CALLBACK ReceiverWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  MSG msg;
  ZeroMemory(&msg, sizeof msg);
  msg.hwnd = hwnd;
  msg.message = message;
  msg.wParam = wParam;
  msg.lParam = lParam;
  platform::Request request;
  if (platform::TakeCopyDataRequest(&msg, &request)) {
    // The id, when given, is recorded after the payload.
    const std::string payload =
        request.payload + (request.requestId != 0 ? "#" + std::to_string(request.requestId) : "");
    const std::wstring self = SelfPath();
    std::string record(4, '\0');
    const std::uint32_t length = static_cast<std::uint32_t>(payload.size());
    std::memcpy(&record[0], &length, 4);
    record += payload;
    std::string all;
    ReadWholeFile(ReceivedFile(self), &all);
    WriteWholeFile(ReceivedFile(self), all + record);
    // A window too busy to answer in time (recorded first, so the sender
    // can tell when it is done).
    if (payload == "stall") Sleep(3000);
    std::string reply;
    return ReadWholeFile(FolderOf(self) + L"\\reply.txt", &reply) ? std::atol(reply.c_str()) : 0;
  }
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

int ReceiverMain(const std::vector<std::wstring>& args) {
  if (args.size() != 4 || args[1] != L"--receive") return 20;
  HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, args[2].c_str());
  HANDLE quit = OpenEventW(SYNCHRONIZE, FALSE, args[3].c_str());
  if (ready == nullptr || quit == nullptr) return 21;
  WNDCLASSW wc;
  ZeroMemory(&wc, sizeof wc);
  wc.lpfnWndProc = ReceiverWindowProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"BvTestUpgradeWindow";
  if (RegisterClassW(&wc) == 0) return 22;
  HWND window = CreateWindowExW(0, wc.lpszClassName, L"BrisvaneUpgrade", WS_OVERLAPPEDWINDOW, 0,
                                0, 100, 100, nullptr, nullptr, wc.hInstance, nullptr);
  if (window == nullptr) return 23;
  SetEvent(ready);
  // Serves until told to quit; an orphan ends on its own.
  const int result = WaitWhilePumping(quit, 120000) ? 0 : 24;
  DestroyWindow(window);
  CloseHandle(ready);
  CloseHandle(quit);
  return result;
}

// A receiving copy started by the parent; it quits when this goes.
struct Receiver {
  HANDLE process = nullptr, ready = nullptr, quit = nullptr;
  ~Receiver() { Stop(); }
  void Stop() {
    if (quit != nullptr) SetEvent(quit);
    if (process != nullptr) {
      if (WaitForSingleObject(process, 20000) == WAIT_TIMEOUT) TerminateProcess(process, 98);
      CloseHandle(process);
      process = nullptr;
    }
    for (HANDLE* h : {&ready, &quit}) {
      if (*h != nullptr) CloseHandle(*h);
      *h = nullptr;
    }
  }
};

bool StartReceiver(Receiver* r, const std::wstring& executable, const std::wstring& tag) {
  DeleteFileW(ReceivedFile(executable).c_str());
  const std::wstring prefix = EventPrefix(tag);
  r->ready = CreateEventW(nullptr, TRUE, FALSE, (prefix + L"-ready").c_str());
  r->quit = CreateEventW(nullptr, TRUE, FALSE, (prefix + L"-quit").c_str());
  if (r->ready == nullptr || r->quit == nullptr) return false;
  const std::wstring line = Quote(executable) + L" --receive " + Quote(prefix + L"-ready") + L" " +
                            Quote(prefix + L"-quit");
  return StartAndAwaitReady(line, r->ready, &r->process);
}

// Anything but WM_COPYDATA is left alone.
void TestCopyDataPayload() {
  MSG msg;
  ZeroMemory(&msg, sizeof msg);
  msg.message = WM_USER;
  platform::Request request;
  request.payload = "kept";
  CHECK(!platform::TakeCopyDataRequest(&msg, &request) && request.payload == "kept",
        "TakeCopyDataRequest: other messages are not taken");
  CHECK(!platform::TakeCopyDataRequest(nullptr, &request), "TakeCopyDataRequest: null message");
}

std::string LastOf(const std::vector<std::string>& requests) {
  return requests.empty() ? std::string() : requests.back();
}

// Requests through upgrade-request.exe (`tool`, quoted), taken and answered
// by the window of `upgrader`, which answers 0 unless reply.txt says else.
void TestRequestsThroughTool(const std::wstring& tool, const std::wstring& dir,
                             const std::wstring& upgrader) {
  long code = RunAndWait(tool + L" http://x/y.exe", L"", 30000);
  CHECK_EQ(code, 0L, "channel: upgrade-request.exe exit code on reply 0");
  std::vector<std::string> got = Received(upgrader);
  CHECK_EQ(got.size(), static_cast<std::size_t>(1), "channel: one WM_COPYDATA received");
  CHECK_EQ(LastOf(got), std::string("http://x/y.exe"), "channel: payload bytes");

  // A non-ASCII URL travels as the UTF-8 form of the wide command line.
  const std::string unicodeUrl = u8"http://x/обнова ü.exe";
  code = RunAndWait(tool + L" " + Quote(Widen(unicodeUrl)), L"", 30000);
  CHECK_EQ(code, 0L, "channel: non-ASCII URL exit code");
  CHECK_EQ(LastOf(Received(upgrader)), unicodeUrl, "channel: non-ASCII URL arrives as UTF-8");

  // --raw: standard input verbatim, in binary mode (CR LF, NUL, Ctrl-Z).
  const std::string raw("a\r\nb\0c\x1a" "d\n", 9);
  const std::wstring rawFile = dir + L"\\raw-payload.bin";
  WriteWholeFile(rawFile, raw);
  code = RunAndWait(tool + L" --raw", rawFile, 30000);
  CHECK_EQ(code, 0L, "channel: --raw exit code");
  CHECK_EQ(LastOf(Received(upgrader)), raw, "channel: --raw payload kept byte for byte");

  // An empty request is still taken, as an empty payload.
  const std::wstring emptyFile = dir + L"\\empty-payload.bin";
  WriteWholeFile(emptyFile, "");
  const std::size_t before = Received(upgrader).size();
  code = RunAndWait(tool + L" --raw", emptyFile, 30000);
  got = Received(upgrader);
  CHECK(got.size() == before + 1 && got.back().empty() && code == 0,
        "channel: empty request taken as an empty payload");

  // Another reply than 0 is passed back: the tool exits 1.
  const std::wstring replyFile = dir + L"\\reply.txt";
  WriteWholeFile(replyFile, "7");
  code = RunAndWait(tool + L" http://x/z.exe", L"", 30000);
  CHECK_EQ(code, 1L, "channel: reply 7 makes upgrade-request.exe exit 1");
  CHECK_EQ(LastOf(Received(upgrader)), std::string("http://x/z.exe"),
           "channel: payload with reply 7");
  DeleteFileW(replyFile.c_str());
}

// The library call itself, from another thread of this process.
void TestSendFromThread(const std::wstring& upgrader) {
  brisvane::HandOverResult result;
  const std::function<void()> call = [&] {
    result = brisvane::HandOverUpgrade("http://x/thread.exe");
  };
  HANDLE thread = StartThread(call, nullptr);
  const bool ended = thread != nullptr && WaitWhilePumping(thread, 30000);
  const std::vector<std::string> got = Received(upgrader);
  CHECK(ended && result.status == brisvane::HandOverResult::Status::kReplied &&
            result.reply == 0 && !got.empty() && got.back() == "http://x/thread.exe",
        "channel: HandOverUpgrade from another thread " + result.reason);
  if (thread != nullptr) {
    if (!ended) TerminateThread(thread, 1);
    CloseHandle(thread);
  }
}

// The C functions: the reply comes back, the reason is emptied.
void TestCHandOver(const std::wstring& dir, const std::wstring& upgrader) {
  WriteWholeFile(dir + L"\\reply.txt", "-3");
  int32_t reply = 0;
  char reason[64] = "stale";
  int status = brisvane_hand_over_upgrade("http://x/c.exe", 0, &reply, reason, sizeof reason);
  CHECK(status == BRISVANE_REFUSED && reply == -3 &&
            std::string(reason) == "the upgrader refused the request (reply -3)" &&
            LastOf(Received(upgrader)) == "http://x/c.exe",
        "channel: brisvane_hand_over_upgrade passes a refusal back " + std::string(reason));
  DeleteFileW((dir + L"\\reply.txt").c_str());
  // The id travels as dwData, all 64 bits of it.
  status = brisvane_hand_over_upgrade_with_id("http://x/id.exe", 0x8000000000000001u, 0, &reply,
                                              reason, sizeof reason);
  CHECK(status == BRISVANE_REPLIED && reply == 0 && reason[0] == '\0' &&
            LastOf(Received(upgrader)) == "http://x/id.exe#9223372036854775809",
        "channel: the request id reaches the window " + LastOf(Received(upgrader)));
  CHECK(brisvane_wait_for_upgrader(0, reason, sizeof reason) == 1 && reason[0] == '\0',
        "channel: brisvane_wait_for_upgrader sees the upgrader's window");
}

// Over the limit: refused before anything is sent.
void TestOversizedRequest(const std::wstring& upgrader) {
  const std::size_t sent = Received(upgrader).size();
  const brisvane::HandOverResult result =
      brisvane::HandOverUpgrade(std::string(BRISVANE_MAX_URL_BYTES + 1, 'x'));
  CHECK(result.status == brisvane::HandOverResult::Status::kFailed && !result.reason.empty() &&
            Received(upgrader).size() == sent,
        "channel: oversized request refused (" + result.reason + ")");
}

// A window that answers after the caller's limit: the call ends at the limit
// and says which. Left last, since the window stays busy a while.
void TestLimitOnASlowWindow(const std::wstring& upgrader) {
  const brisvane::HandOverResult result =
      brisvane::HandOverUpgrade("stall", std::chrono::milliseconds(500));
  CHECK(result.status == brisvane::HandOverResult::Status::kFailed &&
            result.reason == "no reply from the upgrade window within 500 ms",
        "channel: a window answering after the limit fails the call (" + result.reason + ")");
  // The window still takes it, late.
  bool taken = false;
  for (int i = 0; i < 100 && !taken; ++i) {
    taken = LastOf(Received(upgrader)) == "stall";
    if (!taken) Sleep(100);
  }
  CHECK(taken, "channel: the slow window took the request all the same");
}

// An upgrader starting while a client waits for it (in another thread).
void TestWaitForStartingUpgrader(Receiver* receiver, const std::wstring& upgrader) {
  bool ready = false;
  std::string reason;
  const std::function<void()> wait = [&] {
    ready = brisvane::WaitForUpgrader(std::chrono::seconds(20), &reason);
  };
  HANDLE thread = StartThread(wait, nullptr);
  Sleep(300);
  const bool started = StartReceiver(receiver, upgrader, L"upgrader");
  CHECK(started, "channel: BrisvaneUpgrade.exe shows a hidden window titled BrisvaneUpgrade");
  const bool ended = thread != nullptr && WaitWhilePumping(thread, 30000);
  CHECK(ended && ready && reason.empty(),
        "channel: WaitForUpgrader sees the window of an upgrader started meanwhile");
  if (thread != nullptr) {
    if (!ended) TerminateThread(thread, 1);
    CloseHandle(thread);
  }
}

// The C consumer of the client library (tests/client/consumer/consumer.c),
// cross-built by scripts/check-windows, waits for the window and hands over.
void TestCConsumer(const std::wstring& consumer, const std::wstring& upgrader) {
  if (!Exists(consumer)) {
    Skip("channel: consumer_c.exe", "not beside this program");
    return;
  }
  const long code = RunAndWait(Quote(consumer) + L" http://x/consumer.exe", L"", 60000);
  CHECK(code == 0 && LastOf(Received(upgrader)) == "http://x/consumer.exe",
        "channel: consumer_c.exe (C, pkg-config's libraries) hands the URL over, exit " +
            std::to_string(code));
}

// Only the other program's window is left: nobody to take the request.
void TestDecoyOnly(const std::wstring& tool, const std::wstring& decoy) {
  const long code = RunAndWait(tool + L" http://x/y.exe", L"", 30000);
  CHECK_EQ(code, 2L, "decoy only: upgrade-request.exe exits 2 (no upgrader)");
  const brisvane::HandOverResult result = brisvane::HandOverUpgrade("http://x/y.exe");
  CHECK(result.status == brisvane::HandOverResult::Status::kNoUpgrader && !result.reason.empty(),
        "decoy only: HandOverUpgrade reports kNoUpgrader (" + result.reason + ")");
  std::string reason;
  const bool ready = brisvane::WaitForUpgrader(std::chrono::milliseconds(300), &reason);
  CHECK(!ready &&
            reason == "no upgrader is listening: no window titled BrisvaneUpgrade belongs to "
                      "BrisvaneUpgrade.exe (waited 300 ms)",
        "decoy only: WaitForUpgrader does not take the other program's window (" + reason + ")");
  CHECK_EQ(Received(decoy).size(), static_cast<std::size_t>(0),
           "decoy only: the other program's window got nothing");
}

void TestNoWindow(const std::wstring& tool) {
  const long code = RunAndWait(tool + L" http://x/y.exe", L"", 30000);
  CHECK_EQ(code, 2L, "channel: upgrade-request.exe exits 2 with no window");
  const brisvane::HandOverResult result = brisvane::HandOverUpgrade("http://x/y.exe");
  CHECK(result.status == brisvane::HandOverResult::Status::kNoUpgrader && !result.reason.empty(),
        "channel: HandOverUpgrade reports kNoUpgrader with no window");
  std::string reason;
  const bool ready = brisvane::WaitForUpgrader(std::chrono::milliseconds(200), &reason);
  CHECK(!ready &&
            reason == "no upgrader is listening: no window titled BrisvaneUpgrade (waited 200 ms)",
        "channel: WaitForUpgrader is false with no window (" + reason + ")");
}

// StartUpgrade tells a held guard at once and a missing upgrader by its own
// status; neither starts anything.
void TestStartUpgradeRefusals(const std::wstring& dir) {
  brisvane::StartOptions options;
  options.upgraderPath = Narrow(dir + L"\\no-such-BrisvaneUpgrade.exe");
  brisvane::StartResult result = brisvane::StartUpgrade("http://x/y.exe", options);
  CHECK(result.status == brisvane::StartResult::Status::kNotStarted && !result.started &&
            result.requestId != 0,
        "start: a missing upgrader is kNotStarted (" + result.reason + ")");
  bool existed = true;
  const platform::Guard guard = platform::CreateSingletonGuard(platform::kSingletonGuardName, &existed);
  result = brisvane::StartUpgrade("http://x/y.exe", options);
  CHECK(guard.valid() && result.status == brisvane::StartResult::Status::kGuardHeld,
        "start: the caller's own guard is kGuardHeld (" + result.reason + ")");
}

void TestRequestChannel(const std::wstring& dir, const std::wstring& requestTool) {
  TestStartUpgradeRefusals(dir);
  TestCopyDataPayload();
  CHECK(Exists(requestTool), "upgrade-request.exe present (" + Narrow(requestTool) + ")");
  const std::wstring tool = Quote(requestTool);
  const std::wstring upgrader = dir + L"\\BrisvaneUpgrade.exe";
  const std::wstring decoy = dir + L"\\decoy-BrisvaneUpgrade.exe";
  CHECK(CopySelf(upgrader) && CopySelf(decoy),
        "channel: BrisvaneUpgrade.exe and decoy-BrisvaneUpgrade.exe copied");
  DeleteFileW((dir + L"\\reply.txt").c_str());
  {
    Receiver receiver, other;
    TestWaitForStartingUpgrader(&receiver, upgrader);
    const bool started = receiver.process != nullptr;
    // Started second, the decoy's window comes first in the window list.
    const bool decoyStarted = StartReceiver(&other, decoy, L"decoy");
    CHECK(decoyStarted, "channel: decoy-BrisvaneUpgrade.exe shows a window of the same title");
    if (started && decoyStarted) {
      TestRequestsThroughTool(tool, dir, upgrader);
      TestSendFromThread(upgrader);
      TestCHandOver(dir, upgrader);
      TestCConsumer(FolderOf(SelfPath()) + L"\\consumer_c.exe", upgrader);
      TestOversizedRequest(upgrader);
      TestLimitOnASlowWindow(upgrader);
      CHECK_EQ(Received(decoy).size(), static_cast<std::size_t>(0),
               "channel: the other program's window of the same title got none of them");
    }
    receiver.Stop();
    if (decoyStarted) TestDecoyOnly(tool, decoy);
  }
  TestNoWindow(tool);
}

void TestSignals() {
  CHECK_EQ(platform::WatchTerminationSignals(), -1, "signals: no descriptor on Windows");
  platform::DrainTerminationSignals();
  platform::IgnoreBrokenPipe();
  CHECK(platform::RuntimeDir().empty(), "RuntimeDir is empty on Windows");
}

// Removes the files a previous run left; the folder itself stays.
void ClearFolder(const std::wstring& dir) {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring path = dir + L"\\" + name;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      // A link left by the link checks: removed itself, never followed.
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveDirectoryW(path.c_str());
      } else {
        DeleteFileW(path.c_str());
      }
    } else if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      ClearFolder(path);
      RemoveDirectoryW(path.c_str());
    } else {
      DeleteFileW(path.c_str());
    }
  } while (FindNextFileW(find, &data));
  FindClose(find);
}

// ---- system proxy --------------------------------------------------------

// The current user's Internet settings: the values Windows shows, and the
// binary "DefaultConnectionSettings" under Connections, which is what
// WinHttpGetIEProxyConfigForCurrentUser reads (Wine reads only that).
const wchar_t kInternetSettings[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
const wchar_t kConnections[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";

// One registry value as it was, to be put back.
struct SavedValue {
  std::wstring key, name;
  bool existed = false;
  DWORD type = 0;
  std::vector<BYTE> data;
};

SavedValue SaveValue(const std::wstring& key, const std::wstring& name) {
  SavedValue saved;
  saved.key = key;
  saved.name = name;
  HKEY handle = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, KEY_QUERY_VALUE, &handle) != ERROR_SUCCESS)
    return saved;
  DWORD size = 0;
  if (RegQueryValueExW(handle, name.c_str(), nullptr, &saved.type, nullptr, &size) == ERROR_SUCCESS) {
    saved.data.resize(size);
    saved.existed = RegQueryValueExW(handle, name.c_str(), nullptr, &saved.type,
                                     saved.data.empty() ? nullptr : saved.data.data(),
                                     &size) == ERROR_SUCCESS;
    saved.data.resize(size);
  }
  RegCloseKey(handle);
  return saved;
}

bool PutValue(const std::wstring& key, const std::wstring& name, DWORD type, const void* data,
              DWORD size) {
  HKEY handle = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                      &handle, nullptr) != ERROR_SUCCESS)
    return false;
  const bool ok = RegSetValueExW(handle, name.c_str(), 0, type, static_cast<const BYTE*>(data),
                                 size) == ERROR_SUCCESS;
  RegCloseKey(handle);
  return ok;
}

bool RestoreValue(const SavedValue& saved) {
  if (saved.existed) {
    return PutValue(saved.key, saved.name, saved.type, saved.data.data(),
                    static_cast<DWORD>(saved.data.size()));
  }
  HKEY handle = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, saved.key.c_str(), 0, KEY_SET_VALUE, &handle) != ERROR_SUCCESS)
    return true;
  const LONG result = RegDeleteValueW(handle, saved.name.c_str());
  RegCloseKey(handle);
  return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}

bool PutText(const std::wstring& name, const std::string& text) {
  const std::wstring wide = Widen(text);
  return PutValue(kInternetSettings, name, REG_SZ, wide.c_str(),
                  static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t)));
}

void AppendDword(std::vector<BYTE>* blob, DWORD value) {
  const BYTE* bytes = reinterpret_cast<const BYTE*>(&value);
  blob->insert(blob->end(), bytes, bytes + sizeof value);
}

void AppendText(std::vector<BYTE>* blob, const std::string& text) {
  AppendDword(blob, static_cast<DWORD>(text.size()));
  blob->insert(blob->end(), text.begin(), text.end());
}

// Sets the user's proxy as the Internet settings dialog does. `flags`: 1
// direct, 2 fixed proxy, 4 configuration script, 8 automatic detection.
bool SetUserProxy(DWORD flags, const std::string& proxy, const std::string& bypass,
                  const std::string& script) {
  static DWORD counter = 0;
  std::vector<BYTE> blob;
  AppendDword(&blob, 0x46);  // the version Windows and Wine expect
  AppendDword(&blob, ++counter);
  AppendDword(&blob, flags);
  AppendText(&blob, proxy);
  AppendText(&blob, bypass);
  AppendText(&blob, script);
  blob.resize(blob.size() + 32, 0);  // what the dialog keeps after the script
  const DWORD enable = (flags & 2) != 0 ? 1 : 0;
  bool ok = PutValue(kInternetSettings, L"ProxyEnable", REG_DWORD, &enable, sizeof enable) &&
            PutText(L"ProxyServer", proxy) && PutText(L"ProxyOverride", bypass) &&
            PutValue(kConnections, L"DefaultConnectionSettings", REG_BINARY, blob.data(),
                     static_cast<DWORD>(blob.size()));
  if (ok && !script.empty()) ok = PutText(L"AutoConfigURL", script);
  if (ok && script.empty()) {
    SavedValue absent;  // "did not exist": restoring it removes the value
    absent.key = kInternetSettings;
    absent.name = L"AutoConfigURL";
    ok = RestoreValue(absent);
  }
  return ok;
}

void CheckFixedProxies() {
  const std::string label = "system proxy: ";
  if (!SetUserProxy(3, "127.0.0.1:3128", "localhost;*.corp.example;<local>", "")) {
    Report(false, label + "write the proxy settings", Show(platform::LastErrorCode()));
    return;
  }
  const platform::SystemProxySettings fixed = platform::ReadSystemProxySettings();
  CHECK_EQ(fixed.proxyList, std::string("127.0.0.1:3128"), label + "fixed proxy");
  CHECK_EQ(fixed.bypassList, std::string("localhost;*.corp.example;<local>"), label + "bypass list");
  CHECK_EQ(fixed.note, std::string(), label + "nothing to note for a fixed proxy");
  // Which host takes which proxy is decided from these lists by the download
  // library, checked by the Linux tests and the system_proxy Wine case.
  SetUserProxy(3, "http=10.0.0.1:8080;https=10.0.0.2:8443", "", "");
  CHECK_EQ(platform::ReadSystemProxySettings().proxyList,
           std::string("http=10.0.0.1:8080;https=10.0.0.2:8443"), label + "per-scheme list");
}

void CheckUnappliedSettings() {
  const std::string label = "system proxy: ";
  const std::string script = "http://wpad.corp.example/proxy.pac";
  SetUserProxy(5, "", "", script);
  const platform::SystemProxySettings scripted = platform::ReadSystemProxySettings();
  CHECK_EQ(scripted.proxyList, std::string(), label + "configuration script alone: no proxy");
  CHECK(scripted.note.find(script) != std::string::npos && scripted.note.find('\n') == std::string::npos,
        label + "configuration script noted on one line: " + scripted.note);

  SetUserProxy(7, "127.0.0.1:3128", "", script);
  const platform::SystemProxySettings both = platform::ReadSystemProxySettings();
  CHECK(both.proxyList == "127.0.0.1:3128" && both.note.find(script) != std::string::npos,
        label + "configuration script skipped, fixed proxy used");

  SetUserProxy(9, "", "", "");
  const platform::SystemProxySettings detect = platform::ReadSystemProxySettings();
  CHECK(detect.proxyList.empty() && detect.note.empty(),
        label + "automatic detection skipped without a note, no proxy: " + detect.note);

  SetUserProxy(1, "127.0.0.1:3128", "localhost", "");
  const platform::SystemProxySettings off = platform::ReadSystemProxySettings();
  CHECK(off.proxyList.empty() && off.note.empty(), label + "no proxy when it is switched off");
}

void TestSystemProxy() {
  const std::vector<SavedValue> saved = {
      SaveValue(kInternetSettings, L"ProxyEnable"), SaveValue(kInternetSettings, L"ProxyServer"),
      SaveValue(kInternetSettings, L"ProxyOverride"), SaveValue(kInternetSettings, L"AutoConfigURL"),
      SaveValue(kConnections, L"DefaultConnectionSettings")};
  CheckFixedProxies();
  CheckUnappliedSettings();
  bool restored = true;
  for (const SavedValue& value : saved) restored = RestoreValue(value) && restored;
  CHECK(restored, "system proxy: the user's settings put back");
}

}  // namespace

// The client library finds the outcome record where the upgrader's Qt puts
// it: Tamberk\Brisvane in the local application data folder.
void TestLastUpgradeRecord() {
  // FOLDERID_LocalAppData, spelt out as the library does: no uuid library.
  const GUID localAppData = {
      0xF1B32785, 0x6FBA, 0x4FCF, {0x9D, 0x55, 0x7B, 0x8E, 0x7F, 0x15, 0x70, 0x91}};
  PWSTR local = nullptr;
  const bool known = SUCCEEDED(SHGetKnownFolderPath(localAppData, 0, nullptr, &local));
  const std::wstring folder = known ? std::wstring(local) + L"\\Tamberk\\Brisvane" : L"";
  CoTaskMemFree(local);
  const std::wstring record = folder + L"\\last-upgrade.json";
  if (!known || GetFileAttributesW(record.c_str()) != INVALID_FILE_ATTRIBUTES) {
    Skip("last upgrade: record read from %LOCALAPPDATA%", "no such folder, or a real record is there");
    return;
  }
  CreateDirectoryW((folder.substr(0, folder.size() - 9)).c_str(), nullptr);
  CreateDirectoryW(folder.c_str(), nullptr);
  char reason[256];
  CHECK(brisvane_read_last_upgrade(nullptr, reason, sizeof reason) == BRISVANE_NO_RECORD,
        "last upgrade: no record before one is written");
  CHECK(WriteWholeFile(record, R"({"format": 1, "result": "installer-failed", "installer": "S.exe",
    "url": "https://h/S.exe", "bytesReceived": 5, "httpStatus": 200, "installerExitCode": 3221225477,
    "signatureVerified": false, "started": "a", "ended": "b", "upgraderVersion": "1.0.0"})"),
        "last upgrade: record written");
  brisvane_last_upgrade out;
  const int status = brisvane_read_last_upgrade(&out, reason, sizeof reason);
  Report(status == BRISVANE_RECORD_READ && out.result == BRISVANE_UPGRADE_INSTALLER_FAILED &&
             std::strcmp(out.installer, "S.exe") == 0 && out.has_installer_exit_code &&
             out.installer_exit_code == 3221225477u && !out.has_script_exit_code,
         "last upgrade: the C function reads the record from %LOCALAPPDATA%\\Tamberk\\Brisvane",
         reason);
  DeleteFileW(record.c_str());
}

// -- The request on the upgrader's command line --------------------------------
//
// "limited-client.exe <upgrader> <row>", run by run_limited.exe (beside this
// program) without raised rights, calls StartUpgrade with row <row> of
// CommandLineRows() and writes what it returned into limited-client.txt;
// the BrisvaneUpgrade.exe it starts gets "--request <id> <url>", records
// "<url>#<id>" as CommandLineArguments reads it and answers as the URL's
// last word asks.

struct CommandLineRow {
  std::string url;
  const char* outcome;  // "<status> <reply> <started>"
  const char* said;     // in the reason
  bool reached;         // the upgrader started and got the request
};

const std::vector<CommandLineRow>& CommandLineRows() {
  static const std::vector<CommandLineRow> rows = {
      {"http://x/a b/\"q\" \\\"x\\\\\"/%PATH%", "0 0 1", "", true},
      {"C:\\dir with space\\", "0 0 1", "", true},
      // Beyond the ANSI code page, which Qt's argv would lose.
      {"http://x/\xe5\xae\x89\xe8\xa3\x85 \xf0\x9f\x98\x80.exe", "0 0 1", "", true},
      {std::string("http://x/t.exe\0", 15), "0 0 1", "", true},
      {"http://x/unsafe", "6 3 1", "leave the download folder", true},
      {"http://x/guard", "5 1 1", "another upgrader runs", true},
      {"http://x/crash", "4 -1 1", "exit code 7", true},
      {std::string("http://x/a\0b", 12), "6 -1 0", "NUL", false},
      {"http://x/\xff.exe", "6 -1 0", "UTF-8", false},
      {"http://x/" + std::string(40000, 'a'), "6 -1 0", "too long", false},
  };
  return rows;
}

int LimitedClientMain(const std::vector<std::wstring>& args) {
  const std::size_t row = args.size() == 3 ? std::wcstoul(args[2].c_str(), nullptr, 10) : 99;
  if (row >= CommandLineRows().size()) return 40;
  brisvane::StartOptions options;
  options.upgraderPath = Narrow(args[1]);
  options.requestId = 77;
  const brisvane::StartResult r = brisvane::StartUpgrade(CommandLineRows()[row].url, options);
  return WriteWholeFile(FolderOf(SelfPath()) + L"\\limited-client.txt",
                        std::to_string(static_cast<int>(r.status)) + " " + std::to_string(r.reply) +
                            " " + (r.started ? "1 " : "0 ") + r.reason)
             ? 0
             : 41;
}

int RequestOnCommandLineMain() {
  std::vector<std::string> args;
  if (!platform::CommandLineArguments(0, nullptr, &args) || args.size() != 4) return 30;
  const std::string payload = args[3] + "#" + args[2];
  const std::uint32_t length = static_cast<std::uint32_t>(payload.size());
  WriteWholeFile(ReceivedFile(SelfPath()), std::string(reinterpret_cast<const char*>(&length), 4) + payload);
  const std::string last = args[3].substr(args[3].rfind('/') + 1);
  if (last == "unsafe") return 100 + BRISVANE_REPLY_UNSAFE_NAME;
  if (last == "guard") return 100 + BRISVANE_REPLY_BUSY;
  if (last == "crash") return 7;
  // Taken: the window shows for a moment.
  HWND window = CreateWindowExW(0, L"STATIC", L"BrisvaneUpgrade", WS_OVERLAPPEDWINDOW, 0, 0, 100,
                                100, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  WaitWhilePumping(never, 800);
  CloseHandle(never);
  return window != nullptr && DestroyWindow(window) ? 0 : 31;
}

void TestRequestOnCommandLine(const std::wstring& dir, const std::wstring& requestTool) {
  const std::wstring limited = Quote(FolderOf(SelfPath()) + L"\\run_limited.exe") + L" ";
  const std::wstring upgrader = dir + L"\\BrisvaneUpgrade.exe", client = dir + L"\\limited-client.exe";
  if (!CopySelf(upgrader) || !CopySelf(client) || RunAndWait(limited + L"cmd /c exit", L"", 20000) != 0) {
    Skip("start without raised rights", "run_limited.exe cannot run a program without raised rights");
    return;
  }
  for (std::size_t row = 0; row < CommandLineRows().size(); ++row) {
    const CommandLineRow& want = CommandLineRows()[row];
    DeleteFileW(ReceivedFile(upgrader).c_str());
    const long exit = RunAndWait(limited + Quote(client) + L" " + Quote(upgrader) + L" " +
                                     std::to_wstring(row), L"", 30000);
    const std::string got = Content(dir + L"\\limited-client.txt");
    const std::string url = want.url.substr(0, want.url.find_last_not_of('\0') + 1);
    const std::vector<std::string> reached = Received(upgrader);
    Report(exit == 0 && got.rfind(want.outcome, 0) == 0 && got.find(want.said) != std::string::npos &&
               reached == (want.reached ? std::vector<std::string>{url + "#77"} : std::vector<std::string>{}),
           "start without raised rights, " + Show(url.substr(0, 40)) + ": " + want.outcome,
           "exit " + std::to_string(exit) + ": " + Show(got) + ", upgrader got " +
               (reached.empty() ? "nothing" : Show(reached.front())));
    for (int i = 0; i < 100 && FindWindowW(nullptr, L"BrisvaneUpgrade") != nullptr; ++i) Sleep(50);
  }
  // The window does not relax the system's filter: an unelevated sender's
  // request must not arrive. Wine filters nothing.
  Receiver receiver;
  const bool arrived = StartReceiver(&receiver, upgrader, L"filter") &&
                       RunAndWait(limited + Quote(requestTool) + L" probe", L"", 30000) >= 0 &&
                       !Received(upgrader).empty();
  receiver.Stop();
  if (OnWine()) {
    Skip("filter: an unelevated sender does not reach the elevated window",
         std::string("Wine has no User Interface Privilege Isolation (the probe ") +
             (arrived ? "arrived)" : "did not arrive)"));
  } else {
    CHECK(!arrived, "filter: an unelevated sender does not reach the elevated window");
  }
}

std::wstring ScratchRoot(const std::wstring& self) {
  const std::wstring profile = platform::RunningElevated() ? ProfileFolder() : std::wstring();
  if (profile.empty()) return FolderOf(self);
  CreateDirectoryW((profile + L"\\brisvane win tests").c_str(), nullptr);
  return profile + L"\\brisvane win tests";
}

int main() {
  const std::wstring self = SelfPath();
  const std::wstring role = BaseName(self);
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::vector<std::wstring> args;
  for (int i = 0; i < argc; ++i) args.emplace_back(argv[i]);
  if (argv != nullptr) LocalFree(argv);

  if (role == L"fake-installer.exe") return FakeInstallerMain();
  if (role == L"fake-client.exe") return FakeClientMain();
  if (role == L"sleeper.exe") return SleeperMain();
  if (role == L"limited-client.exe") return LimitedClientMain(args);
  if (role == L"brisvaneupgrade.exe" && args.size() >= 2 && args[1] == L"--request") {
    return RequestOnCommandLineMain();
  }
  if (role == L"brisvaneupgrade.exe" || role == L"decoy-brisvaneupgrade.exe") {
    return ReceiverMain(args);
  }
  if (args.size() == 5 && args[1] == L"--hold-guard") {
    return HoldGuardMain(args[2], args[3], args[4]);
  }
  const std::wstring requestTool =
      args.size() >= 2 ? args[1] : FolderOf(self) + L"\\upgrade-request.exe";

  // A scratch folder whose name has a space on purpose, where Folder::Open
  // reaches it.
  const std::wstring dir = ScratchRoot(self) + L"\\win test run";
  CreateDirectoryW(dir.c_str(), nullptr);
  ClearFolder(dir);
  const std::vector<FolderLink> folderLinks = MakeFolderLinks(dir);

  TestSingletonGuard();
  TestSharedLogFile(dir);
  TestLogFileLinks(dir, folderLinks);
  TestPartFile(dir, folderLinks);
  TestLaunches(dir);
  TestRequestChannel(dir, requestTool);
  TestRequestOnCommandLine(dir, requestTool);
  TestClientGuard(dir);
  TestAsyncStart(dir);
  TestSignals();
  TestSystemProxy();
  TestLastUpgradeRecord();

  if (g_skipped > 0) {
    std::printf("%d passed, %d failed, %d skipped\n", g_passed, g_failed, g_skipped);
  } else {
    std::printf("%d passed, %d failed\n", g_passed, g_failed);
  }
  return g_failed == 0 ? 0 : 1;
}
