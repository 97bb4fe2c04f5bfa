// Windows: every folder from the base down is held by a handle that shares
// reading only, so none of them can be renamed away and replaced (by a
// junction, say) or opened for writing while files are created, renamed and
// removed in the last. Everything below a held folder is opened relative to
// its handle (NtCreateFile with a root directory), never by a full path, so a
// folder that was turned into a mount point after it was opened leads
// nowhere else.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#define NOGDI
#include <windows.h>
#include <winternl.h>
#include <bcrypt.h>
#include <aclapi.h>
#include <sddl.h>
#include <userenv.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "files_win.h"
#include "folder.h"
#include "last_error.h"
#include "text_win.h"

namespace brisvane::platform {

namespace {

// A virus scanner reads a file right after it is written and keeps others
// from moving it meanwhile; it lets go within a moment.
constexpr ULONGLONG kBusyWaitMs = 5000;
constexpr DWORD kBusyPollMs = 100;
// NTSTATUS values; ntstatus.h does not mix with windows.h.
constexpr NTSTATUS kInvalidParameter = static_cast<NTSTATUS>(0xC000000DL);
constexpr NTSTATUS kPathSyntaxBad = static_cast<NTSTATUS>(0xC000003BL);
constexpr NTSTATUS kProcedureNotFound = static_cast<NTSTATUS>(0xC000007AL);
// RemoveWithContents goes no deeper: each level is a stack frame, and
// nothing the upgrader or an installer puts there nests that far.
constexpr int kMaxDepth = 64;
constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE AsHandle(std::intptr_t native) { return reinterpret_cast<HANDLE>(native); }
std::intptr_t AsNative(HANDLE handle) { return reinterpret_cast<std::intptr_t>(handle); }

// One component of a path: no separator, no drive or stream colon, no "."
// or "..", which would lead out of the held folder.
bool PlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of("\\/:") == std::string::npos;
}

// ntdll's calls have no import library in the SDK: Microsoft documents them
// as reached at run time.
struct NtCalls {
  decltype(&NtCreateFile) createFile = nullptr;
  decltype(&NtSetInformationFile) setInformation = nullptr;
  decltype(&RtlNtStatusToDosError) toError = nullptr;
  bool ready() const { return createFile && setInformation && toError; }
};

template <typename Call>
Call Resolve(HMODULE module, const char* name) {
  // Through the one function type every other converts from without a warning.
  return reinterpret_cast<Call>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

const NtCalls& Nt() {
  static const NtCalls calls = [] {
    NtCalls found;
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll != nullptr) {
      found.createFile = Resolve<decltype(found.createFile)>(ntdll, "NtCreateFile");
      found.setInformation = Resolve<decltype(found.setInformation)>(ntdll, "NtSetInformationFile");
      found.toError = Resolve<decltype(found.toError)>(ntdll, "RtlNtStatusToDosError");
    }
    return found;
  }();
  return calls;
}

void SetStatusError(NTSTATUS status) {
  SetLastError(Nt().ready() ? Nt().toError(status) : ERROR_PROC_NOT_FOUND);
}

NTSTATUS CreateRelative(HANDLE folder, const std::wstring& name, const RelativeOpen& how,
                        ULONG attributes, HANDLE* handle) {
  UNICODE_STRING text;
  text.Buffer = const_cast<wchar_t*>(name.c_str());
  text.Length = text.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  OBJECT_ATTRIBUTES object;
  InitializeObjectAttributes(&object, &text, attributes, folder, how.descriptor);
  IO_STATUS_BLOCK io;
  return Nt().createFile(handle, how.access | SYNCHRONIZE, &object, &io, nullptr,
                         FILE_ATTRIBUTE_NORMAL, how.share, how.disposition,
                         how.options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT,
                         nullptr, 0);
}

}  // namespace

HANDLE OpenInFolder(HANDLE folder, const std::wstring& name, const RelativeOpen& how) {
  if (!Nt().ready() || name.empty() || name.size() > 32767) {
    SetLastError(Nt().ready() ? ERROR_INVALID_NAME : ERROR_PROC_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle = nullptr;
  // OBJ_DONT_REPARSE (later Windows 10 builds on; Wine takes it) refuses any
  // reparse point met. Older systems call it an invalid parameter: the name
  // is one component, opened as itself (FILE_OPEN_REPARSE_POINT), and what
  // was opened is checked by the caller all the same.
  NTSTATUS status =
      CreateRelative(folder, name, how, OBJ_CASE_INSENSITIVE | OBJ_DONT_REPARSE, &handle);
  if (status == kInvalidParameter) {
    status = CreateRelative(folder, name, how, OBJ_CASE_INSENSITIVE, &handle);
  }
  if (status < 0) {
    SetStatusError(status);
    return INVALID_HANDLE_VALUE;
  }
  return handle;
}

namespace {

// The attributes of what `handle` holds, joined with those of the full path
// `byName`: Wine shows its links only in the attributes looked up by name.
// INVALID_FILE_ATTRIBUTES when the handle tells nothing.
DWORD AttributesOf(HANDLE handle, const std::wstring& byName) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return INVALID_FILE_ATTRIBUTES;
  const DWORD shown = GetFileAttributesW(byName.c_str());
  return info.dwFileAttributes | (shown == INVALID_FILE_ATTRIBUTES ? 0 : shown);
}

bool IsRealFolder(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// How a held folder is shared: the user's own folders above ours let their
// programs write (renaming a file in opens the folder for writing); ours
// let nobody else write while the upgrade works in them. Neither is shared
// for deletion, so none can be renamed away and replaced.
constexpr ULONG kShareUsersFolder = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr ULONG kShareOurFolder = FILE_SHARE_READ;

// The folder `name` right inside the held `parent`, held listing it, shared
// as `share` says, and refused unless it is a real folder; created first
// when missing and `create`, with the parent's inherited DACL. `path` names
// it, for Wine's second look.
HANDLE OpenChildFolder(HANDLE parent, const std::wstring& name, const std::wstring& path,
                       bool create, ULONG share = kShareOurFolder) {
  HANDLE handle =
      OpenInFolder(parent, name,
                   {FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, share,
                    static_cast<ULONG>(create ? FILE_OPEN_IF : FILE_OPEN), FILE_DIRECTORY_FILE});
  if (handle == INVALID_HANDLE_VALUE) return handle;
  if (!IsRealFolder(AttributesOf(handle, path))) {
    CloseHandle(handle);
    SetLastError(kReparsePointRefused);
    return INVALID_HANDLE_VALUE;
  }
  return handle;
}

// One line on why `path` could not be held, from the last error, which it
// keeps.
std::string Refusal(const std::wstring& path) {
  const DWORD error = GetLastError();
  const std::string line = error == kReparsePointRefused
                               ? "a link, junction or mount point stands at " + Narrow(path)
                               : "cannot open " + Narrow(path) + ": " + ErrorText(error);
  SetLastError(error);
  return line;
}

// The profile folder the system records for the user the process runs as
// (HKLM's ProfileList, which that user cannot change); empty on failure.
std::wstring ProfileFolder() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return std::wstring();
  DWORD size = 0;
  GetUserProfileDirectoryW(token, nullptr, &size);
  std::wstring folder(size, L'\0');
  const bool known = size > 0 && GetUserProfileDirectoryW(token, &folder[0], &size);
  const DWORD error = GetLastError();
  CloseHandle(token);
  if (!known) {
    SetLastError(error);
    return std::wstring();
  }
  folder.resize(std::wcslen(folder.c_str()));
  return folder;
}

// Holds `base` on `chain`, deepest last. Without raised rights as the system
// names it. With them it must lie in the user's profile folder and is reached
// from there one component at a time, each refused when it is a reparse
// point: the known folder follows the user's own redirection (HKCU "User
// Shell Folders"), which could point an elevated upgrader anywhere.
bool OpenBase(const std::wstring& base, std::vector<std::intptr_t>* chain, std::string* why) {
  if (base.empty()) {
    *why = "no base folder named";
    SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  std::wstring path = base;
  std::vector<std::wstring> below;
  if (RunningElevated()) {
    path = ProfileFolder();
    if (path.empty()) {
      *why = "the system names no profile folder for this user: " + ErrorText(GetLastError());
      return false;
    }
    if (!InsideFolder(path, base, &below)) {
      *why = Narrow(base) + " lies outside the user's profile folder " + Narrow(path);
      SetLastError(ERROR_ACCESS_DENIED);
      return false;
    }
  }
  HANDLE handle = OpenRealFolder(path);
  for (std::size_t i = 0;; ++i) {
    if (handle == INVALID_HANDLE_VALUE) {
      *why = Refusal(path);
      return false;
    }
    chain->push_back(AsNative(handle));
    if (i == below.size()) return true;
    path += L"\\" + below[i];
    handle = OpenChildFolder(handle, below[i], path, false, kShareUsersFolder);
  }
}

// Copies of every handle of `chain` into `copies`, so that a folder below
// holds its whole path on its own; on failure none is kept.
bool DuplicateChain(const std::vector<std::intptr_t>& chain, std::vector<std::intptr_t>* copies) {
  for (std::intptr_t native : chain) {
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), AsHandle(native), GetCurrentProcess(), &copy, 0,
                         FALSE, DUPLICATE_SAME_ACCESS)) {
      const DWORD error = GetLastError();
      for (std::intptr_t made : *copies) CloseHandle(AsHandle(made));
      copies->clear();
      SetLastError(error);
      return false;
    }
    copies->push_back(AsNative(copy));
  }
  return true;
}

// The string form of `sid` ("S-1-5-..."); empty on failure.
std::wstring SidText(PSID sid) {
  wchar_t* text = nullptr;
  if (sid == nullptr || !ConvertSidToStringSidW(sid, &text)) return std::wstring();
  std::wstring copy = text;
  LocalFree(text);
  return copy;
}

// The string SID of the user the process runs as; empty on failure.
std::wstring TokenUserSid() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return std::wstring();
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<BYTE> buffer(size == 0 ? 1 : size);
  std::wstring text;
  if (GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
    text = SidText(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
  }
  CloseHandle(token);
  return text;
}

// The descriptor `sddl` spells, or null; LocalFree it.
PSECURITY_DESCRIPTOR Descriptor(const std::wstring& sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                            &descriptor, nullptr)) {
    return nullptr;
  }
  return descriptor;
}

// A file kept from the folder's owner: SYSTEM and Administrators may do
// anything, the current user read and run it, and nothing is inherited from
// the folder (protected).
PSECURITY_DESCRIPTOR PrivateFileDescriptor() {
  const std::wstring user = TokenUserSid();
  if (user.empty()) return nullptr;
  return Descriptor(L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FRFX;;;" + user + L")");
}

// PrivateFileDescriptor's SIDs as text, and the most it lets the user do.
constexpr wchar_t kSystemSid[] = L"S-1-5-18";
constexpr wchar_t kAdministratorsSid[] = L"S-1-5-32-544";
constexpr ACCESS_MASK kUserMayOnPrivate = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;

// True when `dacl` lets in nobody but PrivateFileDescriptor's three, and
// `user` no further than reading and running (nothing that writes, removes,
// or changes the DACL or the owner). Only plain allowed ACEs are taken:
// CreateNew makes no other kind, and some (callback, object) grant in ways
// not read here.
bool GrantsNoMoreThanPrivate(PACL dacl, const std::wstring& user) {
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(dacl, i, &ace) ||
        static_cast<const ACE_HEADER*>(ace)->AceType != ACCESS_ALLOWED_ACE_TYPE) {
      return false;
    }
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    const std::wstring sid = SidText(&allowed->SidStart);
    const bool administering = sid == kSystemSid || sid == kAdministratorsSid;
    if (!administering && (sid != user || (allowed->Mask & ~kUserMayOnPrivate) != 0)) return false;
  }
  return true;
}

// True when the file `handle` holds (with READ_CONTROL) is still kept from
// the folder's user as PrivateFileDescriptor keeps it: a protected DACL that
// grants no more, owned by Administrators (what an elevated token makes is
// theirs) or SYSTEM. Never by the user: the same user unelevated owns what
// it makes, may give it this very DACL, and change it again at will.
bool KeptPrivate(HANDLE handle) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  const DWORD error = GetSecurityInfo(handle, SE_FILE_OBJECT,
                                      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                      &owner, nullptr, &dacl, nullptr, &sd);
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return false;
  }
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  const std::wstring user = TokenUserSid(), owned = SidText(owner);
  // A null DACL would let everyone in.
  const bool kept = GetSecurityDescriptorControl(sd, &control, &revision) &&
                    (control & SE_DACL_PROTECTED) != 0 && dacl != nullptr && !user.empty() &&
                    (owned == kAdministratorsSid || owned == kSystemSid) &&
                    GrantsNoMoreThanPrivate(dacl, user);
  LocalFree(sd);
  if (!kept) SetLastError(ERROR_ACCESS_DENIED);
  return kept;
}

// A folder of the upgrader's own: SYSTEM and Administrators full control,
// passed on to everything put inside, nothing inherited from above. Without
// raised rights its user is the upgrader itself, who must get in too.
PSECURITY_DESCRIPTOR PrivateFolderDescriptor() {
  std::wstring sddl = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
  if (!RunningElevated()) {
    const std::wstring user = TokenUserSid();
    if (user.empty()) return nullptr;
    sddl += L"(A;OICI;FA;;;" + user + L")";
  }
  return Descriptor(sddl);
}

// 16 hex digits from the system's random generator; empty on failure.
std::wstring RandomSuffix() {
  unsigned char bytes[8];
  if (!BCRYPT_SUCCESS(
          BCryptGenRandom(nullptr, bytes, sizeof bytes, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
    SetLastError(ERROR_GEN_FAILURE);
    return std::wstring();
  }
  static const wchar_t kDigits[] = L"0123456789abcdef";
  std::wstring text;
  for (const unsigned char byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 15];
  }
  return text;
}

// Gives `file` the name `name`: in the folder `folder` holds (a root
// directory), or, with none, in the folder it stands in. Only the latter
// renames in place; the former has the system open the target folder for
// writing first, which a held folder sharing reading only refuses.
NTSTATUS RenameRelative(HANDLE file, HANDLE folder, const std::wstring& name, bool replace) {
  if (!Nt().ready()) return kProcedureNotFound;
  const ULONG nameBytes = static_cast<ULONG>(name.size() * sizeof(wchar_t));
  std::vector<BYTE> buffer(sizeof(FILE_RENAME_INFORMATION) + nameBytes, 0);
  auto* info = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
  info->ReplaceIfExists = replace ? TRUE : FALSE;
  info->RootDirectory = folder;
  info->FileNameLength = nameBytes;
  std::memcpy(info->FileName, name.data(), nameBytes);
  IO_STATUS_BLOCK io;
  return Nt().setInformation(file, &io, info, static_cast<ULONG>(buffer.size()),
                             FileRenameInformation);
}

bool MarkForDeletion(HANDLE file) {
  FILE_DISPOSITION_INFO dispose;
  dispose.DeleteFile = TRUE;
  return SetFileInformationByHandle(file, FileDispositionInfo, &dispose, sizeof(dispose)) != 0;
}

// True when `handle` holds the file `held` describes (the same volume and
// file index).
bool SameFile(HANDLE handle, const BY_HANDLE_FILE_INFORMATION& held) {
  BY_HANDLE_FILE_INFORMATION named;
  const bool same = GetFileInformationByHandle(handle, &named) &&
                    named.dwVolumeSerialNumber == held.dwVolumeSerialNumber &&
                    named.nFileIndexHigh == held.nFileIndexHigh &&
                    named.nFileIndexLow == held.nFileIndexLow;
  if (!same) SetLastError(ERROR_FILE_NOT_FOUND);
  return same;
}

// True when `name` in `folder` is the file `file` holds. Attributes alone
// take no part in sharing: the open is let in beside a writing handle.
bool Holds(HANDLE folder, const std::wstring& name, HANDLE file) {
  BY_HANDLE_FILE_INFORMATION held;
  if (!GetFileInformationByHandle(file, &held)) return false;
  HANDLE named = OpenInFolder(
      folder, name, {FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN, FILE_NON_DIRECTORY_FILE});
  if (named == INVALID_HANDLE_VALUE) return false;
  const bool same = SameFile(named, held);
  CloseHandle(named);
  return same;
}

// Lets the sealed `file` go and opens `name` in `folder` again as `how`
// says, only while it still names that very file. The sealed handle has
// neither delete access nor delete sharing, so that a launcher opening the
// file is not tripped: a handle that removes or moves it is only had once
// the sealed one is gone.
HANDLE ReopenSealed(HANDLE folder, const std::wstring& name, HeldFile& file,
                    const RelativeOpen& how) {
  BY_HANDLE_FILE_INFORMATION held;
  const bool known = GetFileInformationByHandle(AsHandle(file.native()), &held) != 0;
  file.Close();
  if (!known) return INVALID_HANDLE_VALUE;
  HANDLE handle = OpenInFolder(folder, name, how);
  if (handle != INVALID_HANDLE_VALUE && !SameFile(handle, held)) {
    CloseHandle(handle);
    return INVALID_HANDLE_VALUE;
  }
  return handle;
}

// Exchanges `moving` (delete access, sharing reading) for a sealed handle,
// as HeldFile::Seal leaves one: reading, sharing reading only. While
// `moving` is open a new handle must share deletion, since `moving` has
// delete access; so a bridge that does comes first, then `moving` goes, then
// the sealed handle is taken from the bridge. The bridge's delete sharing
// would let a rename in meanwhile, which the name compared afterwards shows.
// Closes `moving`.
HANDLE Reseal(HANDLE moving) {
  const std::wstring name = PathOnVolume(moving);
  HANDLE bridge = ReOpenFile(moving, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, 0);
  CloseHandle(moving);
  if (bridge == INVALID_HANDLE_VALUE) return bridge;
  HANDLE sealed = ReOpenFile(bridge, GENERIC_READ, FILE_SHARE_READ, 0);
  CloseHandle(bridge);
  if (sealed != INVALID_HANDLE_VALUE && (name.empty() || PathOnVolume(sealed) != name)) {
    CloseHandle(sealed);
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  return sealed;
}

// Takes the read-only attribute off what `handle` holds, which would keep it
// from being removed (an installer may leave such a file beside itself).
bool ClearReadOnly(HANDLE handle, const BY_HANDLE_FILE_INFORMATION& info) {
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) == 0) return true;
  // Zero times are left as they are; NORMAL clears every attribute one may
  // set (zero would mean "unchanged"), which matters little for what goes.
  FILE_BASIC_INFO basic{};
  basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  return SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof(basic)) != 0;
}

// A name in a folder listing, with the attributes the listing shows (on
// Wine the only place its links show).
struct Entry {
  std::wstring name;
  DWORD attributes;
};

// What the folder `folder` holds, "." and ".." left out; false when it
// cannot be listed.
bool ListFolder(HANDLE folder, std::vector<Entry>* entries) {
  // Aligned for the entries, which hold 64-bit fields.
  std::vector<LONGLONG> buffer(64 * 1024 / sizeof(LONGLONG));
  const DWORD bytes = static_cast<DWORD>(buffer.size() * sizeof(LONGLONG));
  FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
  for (;;) {
    if (!GetFileInformationByHandleEx(folder, kind, buffer.data(), bytes)) {
      return GetLastError() == ERROR_NO_MORE_FILES;
    }
    kind = FileIdBothDirectoryInfo;
    const BYTE* at = reinterpret_cast<const BYTE*>(buffer.data());
    for (;;) {
      const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(at);
      std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
      if (name != L"." && name != L"..") {
        entries->push_back({std::move(name), entry->FileAttributes});
      }
      if (entry->NextEntryOffset == 0) break;
      at += entry->NextEntryOffset;
    }
  }
}

// True when what `handle` holds is a file the upgrader left as it made it:
// a plain file (no folder, no reparse point; `path` names it for Wine's
// second look) with no name but this one, through which it could be changed
// unseen, and, when `privateToAdministrators`, still kept from the folder's
// user. The last error says why not.
bool LeftAsMade(HANDLE handle, const std::wstring& path, bool privateToAdministrators) {
  BY_HANDLE_FILE_INFORMATION info;
  const DWORD attributes = AttributesOf(handle, path);
  if (attributes == INVALID_FILE_ATTRIBUTES || !GetFileInformationByHandle(handle, &info)) {
    return false;
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    SetLastError(kReparsePointRefused);
    return false;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || GetFileType(handle) != FILE_TYPE_DISK ||
      info.nNumberOfLinks != 1) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  return !privateToAdministrators || KeptPrivate(handle);
}

// Removes everything in the folder `folder` holds: each entry opened as
// itself right inside it (a link goes itself, never what it leads to), a real
// folder emptied first, then marked for deletion and let go, so that it is
// gone before its parent is removed. False when anything is left.
bool EmptyFolder(HANDLE folder, int depth) {
  std::vector<Entry> entries;
  if (depth > kMaxDepth || !ListFolder(folder, &entries)) return false;
  bool emptied = true;
  for (const Entry& entry : entries) {
    const bool listedFolder = IsRealFolder(entry.attributes);
    const ACCESS_MASK access = DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES |
                               (listedFolder ? FILE_LIST_DIRECTORY : 0u);
    HANDLE handle = OpenInFolder(folder, entry.name, {access, kShareAll, FILE_OPEN, 0});
    if (handle == INVALID_HANDLE_VALUE) {
      emptied = false;
      continue;
    }
    BY_HANDLE_FILE_INFORMATION info;
    const bool known = GetFileInformationByHandle(handle, &info) != 0;
    // Only what both the listing and the handle show as a real folder is
    // entered; anything else is removed as it stands.
    const bool enter = known && listedFolder && IsRealFolder(info.dwFileAttributes);
    if (!known || (enter && !EmptyFolder(handle, depth + 1)) || !ClearReadOnly(handle, info) ||
        !MarkForDeletion(handle)) {
      emptied = false;
    }
    CloseHandle(handle);
  }
  return emptied;
}

}  // namespace

void Folder::Close() {
  const DWORD error = GetLastError();
  // The deepest first: a parent is let go only after everything below it.
  while (!handles_.empty()) {
    CloseHandle(AsHandle(handles_.back()));
    handles_.pop_back();
  }
  path_.clear();
  SetLastError(error);
}

bool Folder::Open(const std::string& base, const std::vector<std::string>& names, bool create,
                  std::string* why) {
  Close();
  std::string refusal;
  for (const std::string& name : names) {
    if (!PlainName(name)) {
      refusal = "a folder name is empty, \".\", \"..\" or holds a separator or colon";
      SetLastError(ERROR_INVALID_NAME);
      break;
    }
  }
  std::wstring path = Widen(base);
  if (refusal.empty() && OpenBase(path, &handles_, &refusal)) {
    for (const std::string& name : names) {
      // Named below a held parent, relative to its handle: the name can
      // still be swapped for a link, which is refused, but the parent cannot.
      const std::wstring wide = Widen(name);
      path += L"\\" + wide;
      HANDLE handle = OpenChildFolder(AsHandle(handles_.back()), wide, path, create);
      if (handle == INVALID_HANDLE_VALUE) {
        refusal = Refusal(path);
        break;
      }
      handles_.push_back(AsNative(handle));
    }
  }
  if (!refusal.empty()) {
    Close();
    if (why != nullptr) *why = refusal;
    return false;
  }
  path_ = base;
  for (const std::string& name : names) path_ += "\\" + name;
  return true;
}

Folder Folder::Child(const std::string& name, bool create) const {
  Folder child;
  if (!valid() || !PlainName(name)) {
    SetLastError(ERROR_INVALID_NAME);
    return child;
  }
  if (!DuplicateChain(handles_, &child.handles_)) return child;
  const std::wstring wide = Widen(name);
  HANDLE handle = OpenChildFolder(AsHandle(native()), wide, Widen(path_) + L"\\" + wide, create);
  if (handle == INVALID_HANDLE_VALUE) {
    child.Close();
    return child;
  }
  child.handles_.push_back(AsNative(handle));
  child.path_ = path_ + "\\" + name;
  return child;
}

Folder Folder::CreatePrivate(const std::string& prefix) const {
  Folder made;
  const std::wstring suffix = RandomSuffix();
  if (!valid() || suffix.empty() || !PlainName(prefix + "x")) {
    if (!suffix.empty()) SetLastError(ERROR_INVALID_PARAMETER);
    return made;
  }
  PSECURITY_DESCRIPTOR descriptor = PrivateFolderDescriptor();
  if (descriptor == nullptr || !DuplicateChain(handles_, &made.handles_)) {
    if (descriptor != nullptr) LocalFree(descriptor);
    return made;
  }
  const std::wstring name = Widen(prefix) + suffix;
  // Sharing writing, unlike the chain: a rename into it (MoveInto) has the
  // system open it for writing, and its DACL already keeps every other user
  // out; no delete sharing, so it cannot be renamed or replaced. No delete
  // access either: the installer's working folder is opened sharing reading
  // and writing only, which a handle with delete access would refuse;
  // RemoveWithContents then removes it by its name in the parent.
  HANDLE handle = OpenInFolder(
      AsHandle(native()), name,
      {FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_CREATE,
       FILE_DIRECTORY_FILE, descriptor});
  const DWORD error = GetLastError();
  LocalFree(descriptor);
  if (handle == INVALID_HANDLE_VALUE) {
    made.Close();
    SetLastError(error);
    return made;
  }
  made.handles_.push_back(AsNative(handle));
  made.path_ = path_ + "\\" + Narrow(name);
  return made;
}

bool Folder::MoveInto(const Folder& to, const std::string& name, HeldFile& file) const {
  if (!valid() || !to.valid() || !file.valid() || !PlainName(name)) {
    file.Close();
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  const std::wstring wide = Widen(name);
  HANDLE into = AsHandle(to.native());
  // Renamed into `to` by its handle; no replacing: nothing may stand there.
  if (file.writable()) {
    // The writing handle shares no deletion: the file stands where it was
    // made, and `name` must be its name there.
    const bool here = Holds(AsHandle(native()), wide, AsHandle(file.native()));
    const NTSTATUS status = here ? RenameRelative(AsHandle(file.native()), into, wide, false) : 0;
    if (here && status >= 0) return true;
    if (!here) {
      file.Close();
      return false;
    }
    // Still here: it goes, as nothing received may stay behind.
    Remove(name, file);
    SetStatusError(status);
    return false;
  }
  // Sealed: while no handle holds it, the file's own DACL (CreateNew's
  // private one) keeps the folder's user from writing it; renaming or
  // replacing it, which their folder lets them do, the check of the file
  // reopened shows.
  HANDLE moving = ReopenSealed(AsHandle(native()), wide, file,
                               {DELETE | FILE_READ_ATTRIBUTES | GENERIC_READ, FILE_SHARE_READ,
                                FILE_OPEN, FILE_NON_DIRECTORY_FILE});
  if (moving == INVALID_HANDLE_VALUE) return false;
  const NTSTATUS status = RenameRelative(moving, into, wide, false);
  if (status < 0) {
    // Reopened with delete access: still here, it goes through that handle.
    MarkForDeletion(moving);
    CloseHandle(moving);
    SetStatusError(status);
    return false;
  }
  HANDLE sealed = Reseal(moving);
  if (sealed == INVALID_HANDLE_VALUE) return false;
  file.native_ = AsNative(sealed);
  file.writable_ = false;
  if (file.Describe()) return true;
  file.Close();
  SetLastError(ERROR_ACCESS_DENIED);
  return false;
}

namespace {

// The folder `name` in `parent`, opened to be removed. An installer that has
// just ended may still hold its working folder for a moment (Wine closes a
// process's handles after its end is signalled), as may a virus scanner: a
// sharing violation is waited out for a few seconds.
HANDLE OpenFolderToRemove(HANDLE parent, const std::wstring& name) {
  const ULONGLONG deadline = GetTickCount64() + kBusyWaitMs;
  for (;;) {
    HANDLE handle =
        OpenInFolder(parent, name, {DELETE | FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE});
    if (handle != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION ||
        GetTickCount64() >= deadline) {
      return handle;
    }
    Sleep(kBusyPollMs);
  }
}

}  // namespace

bool Folder::RemoveWithContents(const Folder& parent) {
  if (!valid()) return false;
  HANDLE own = AsHandle(native());
  const bool emptied = EmptyFolder(own, 0);
  // A handle with delete access goes itself.
  bool removed = emptied && MarkForDeletion(own);
  if (emptied && !removed && GetLastError() == ERROR_ACCESS_DENIED && parent.valid()) {
    // One held without (CreatePrivate, Open, Child): let go, then removed by
    // its name in `parent` while that is still this folder.
    BY_HANDLE_FILE_INFORMATION held;
    const bool known = GetFileInformationByHandle(own, &held) != 0;
    const std::wstring name = Widen(path_.substr(path_.find_last_of("\\/") + 1));
    Close();
    HANDLE handle = known ? OpenFolderToRemove(AsHandle(parent.native()), name) : INVALID_HANDLE_VALUE;
    removed = handle != INVALID_HANDLE_VALUE && SameFile(handle, held) && MarkForDeletion(handle);
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
  Close();
  return removed;
}

bool Folder::GiveToOwner(const HeldFile& file) const {
  // Nothing to do: a file made here without a DACL of its own inherits the
  // folder's, which lets the folder's user in whoever owns the file, and an
  // owner gets no more than reading and changing the DACL.
  return valid() && file.valid();
}

HeldFile Folder::CreateNew(const std::string& name, bool privateToAdministrators) const {
  if (!valid() || !PlainName(name)) {
    SetLastError(ERROR_INVALID_NAME);
    return HeldFile();
  }
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (privateToAdministrators && (descriptor = PrivateFileDescriptor()) == nullptr) {
    return HeldFile();
  }
  // A leftover goes first (a link itself, never its target). Whatever stands
  // at the name afterwards makes FILE_CREATE fail rather than be reused.
  RemoveName(name);
  // Delete access: renamed and removed later through this very handle.
  HANDLE file = OpenInFolder(AsHandle(native()), Widen(name),
                             {GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, FILE_CREATE,
                              FILE_NON_DIRECTORY_FILE, descriptor});
  const DWORD error = GetLastError();
  if (descriptor != nullptr) LocalFree(descriptor);
  if (file == INVALID_HANDLE_VALUE) {
    SetLastError(error);
    return HeldFile();
  }
  return HeldFile::Writable(AsNative(file));
}

HeldFile Folder::OpenOwnLeftover(const std::string& name, bool privateToAdministrators) const {
  if (!valid() || !PlainName(name)) {
    SetLastError(ERROR_INVALID_NAME);
    return HeldFile();
  }
  const std::wstring wide = Widen(name);
  // Held as CreateNew holds what it makes: no other writer while it is
  // checked and written, renamed and removed later through this handle.
  HANDLE file = OpenInFolder(
      AsHandle(native()), wide,
      {GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, FILE_OPEN, FILE_NON_DIRECTORY_FILE});
  if (file == INVALID_HANDLE_VALUE) return HeldFile();
  if (!LeftAsMade(file, Widen(path_) + L"\\" + wide, privateToAdministrators)) {
    const DWORD error = GetLastError();
    CloseHandle(file);
    SetLastError(error);
    return HeldFile();
  }
  return HeldFile::Writable(AsNative(file));
}

std::vector<std::string> Folder::Names() const {
  std::vector<Entry> entries;
  std::vector<std::string> names;
  // ListFolder's first query restarts: the listing begins at the first
  // entry whatever an earlier one through this handle left off at.
  if (!valid() || !ListFolder(AsHandle(native()), &entries)) return names;
  for (const Entry& entry : entries) names.push_back(Narrow(entry.name));
  return names;
}

bool Folder::Rename(const HeldFile& file, const std::string&, const std::string& to) const {
  if (!valid() || !file.valid() || !PlainName(to)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  const std::wstring name = Widen(to);
  const ULONGLONG deadline = GetTickCount64() + kBusyWaitMs;
  for (;;) {
    // In place: the file cannot have left this folder while held.
    NTSTATUS status = RenameRelative(AsHandle(file.native()), nullptr, name, true);
    // Wine takes a bare name only beside a root directory.
    if (status == kPathSyntaxBad) {
      status = RenameRelative(AsHandle(file.native()), AsHandle(native()), name, true);
    }
    if (status >= 0) break;
    SetStatusError(status);
    const DWORD error = GetLastError();
    if ((error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) ||
        GetTickCount64() >= deadline) {
      return false;
    }
    Sleep(kBusyPollMs);
  }
  // A sealed handle may not flush (no write access); its data was synced
  // before it was sealed, and the rename itself is in the file system's log.
  return !file.writable() || FlushFileBuffers(AsHandle(file.native())) != 0;
}

bool Folder::Remove(const std::string& name, HeldFile& file) const {
  if (!valid() || !file.valid() || !PlainName(name)) {
    file.Close();
    return false;
  }
  if (file.writable()) {
    const bool removed = MarkForDeletion(AsHandle(file.native()));
    file.Close();
    return removed;
  }
  HANDLE handle =
      ReopenSealed(AsHandle(native()), Widen(name), file,
                   {DELETE | FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN, FILE_NON_DIRECTORY_FILE});
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool removed = MarkForDeletion(handle);
  CloseHandle(handle);
  return removed;
}

void Folder::RemoveName(const std::string& name) const {
  if (!valid() || !PlainName(name)) return;
  const std::wstring wide = Widen(name);
  HANDLE handle = OpenInFolder(AsHandle(native()), wide,
                               {DELETE | FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN, 0});
  if (handle == INVALID_HANDLE_VALUE) return;
  // A link (to a folder or not) goes itself; a real folder stays.
  const DWORD attributes = AttributesOf(handle, Widen(path_) + L"\\" + wide);
  if (attributes != INVALID_FILE_ATTRIBUTES && !IsRealFolder(attributes)) MarkForDeletion(handle);
  CloseHandle(handle);
}

bool Folder::HasFolder(const std::string& name) const {
  if (!valid() || !PlainName(name)) return false;
  const std::wstring wide = Widen(name);
  // Attributes alone: nobody else's handle on the folder can refuse this.
  HANDLE handle = OpenInFolder(AsHandle(native()), wide,
                               {FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE});
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool real = IsRealFolder(AttributesOf(handle, Widen(path_) + L"\\" + wide));
  CloseHandle(handle);
  return real;
}

std::shared_ptr<const Folder> Folder::InstallerParent(std::shared_ptr<const Folder> dataFolder, std::string*) {
  // Open holds the data folder's chain and CreatePrivate the new folder
  // against renames: its user cannot swap it while the installer runs.
  return dataFolder;
}

std::vector<std::string> Folder::RemoveLeftoverPrivate(const std::string&) const {
  // Not swept: telling an abandoned folder from one whose installer still
  // runs takes holding every file in it exclusively first (a running
  // program's file cannot be removed, the rest could, leaving it half).
  // Until then an elevated run killed while its installer ran leaves it.
  return {};
}

bool RunningElevated() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  const bool known = GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation),
                                         &size) != 0;
  CloseHandle(token);
  return known && elevation.TokenIsElevated != 0;
}

}  // namespace brisvane::platform
