// Windows: every folder from the base down is held by a handle that shares
// no deletion, so none of them can be renamed away and replaced (by a
// junction, say) while files are created, renamed and removed in the last.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#define NOGDI
#include <windows.h>
#include <sddl.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "files_win.h"
#include "folder.h"
#include "text_win.h"

namespace brisvane::platform {

namespace {

// A virus scanner reads a file right after it is written and keeps others
// from moving it meanwhile; it lets go within a moment.
constexpr ULONGLONG kBusyWaitMs = 5000;
constexpr DWORD kBusyPollMs = 100;

HANDLE AsHandle(std::intptr_t native) { return reinterpret_cast<HANDLE>(native); }

// One component of a path: no separator, no drive or stream colon, no "."
// or "..", which would lead out of the held folder.
bool PlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of("\\/:") == std::string::npos;
}

// The held folder `folder` names, as OpenRealFolder checks it; created first
// when missing and `create`.
HANDLE OpenComponent(const std::wstring& folder, bool create) {
  if (create && !CreateDirectoryW(folder.c_str(), nullptr) &&
      GetLastError() != ERROR_ALREADY_EXISTS) {
    return INVALID_HANDLE_VALUE;
  }
  return OpenRealFolder(folder);
}

// The string SID of the user the process runs as; empty on failure.
std::wstring TokenUserSid() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return std::wstring();
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<BYTE> buffer(size == 0 ? 1 : size);
  std::wstring text;
  wchar_t* sid = nullptr;
  if (GetTokenInformation(token, TokenUser, buffer.data(), size, &size) &&
      ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &sid)) {
    text = sid;
    LocalFree(sid);
  }
  CloseHandle(token);
  return text;
}

// A descriptor that keeps the folder's owner out of the file: SYSTEM and
// Administrators may do anything, the current user read and run it, and
// nothing is inherited from the folder (protected). LocalFree it.
PSECURITY_DESCRIPTOR PrivateDescriptor() {
  const std::wstring user = TokenUserSid();
  if (user.empty()) return nullptr;
  const std::wstring sddl = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FRFX;;;" + user + L")";
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                            &descriptor, nullptr)) {
    return nullptr;
  }
  return descriptor;
}

// Renames through `file`'s handle to the full path `target` (NT form),
// replacing what stands there.
bool RenameByHandle(HANDLE file, const std::wstring& target) {
  const DWORD nameBytes = static_cast<DWORD>(target.size() * sizeof(wchar_t));
  std::vector<BYTE> buffer(sizeof(FILE_RENAME_INFO) + nameBytes, 0);
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->ReplaceIfExists = TRUE;
  info->RootDirectory = nullptr;
  info->FileNameLength = nameBytes;
  std::memcpy(info->FileName, target.data(), nameBytes);
  return SetFileInformationByHandle(file, FileRenameInfo, info,
                                    static_cast<DWORD>(buffer.size())) != 0;
}

bool MarkForDeletion(HANDLE file) {
  FILE_DISPOSITION_INFO dispose;
  dispose.DeleteFile = TRUE;
  return SetFileInformationByHandle(file, FileDispositionInfo, &dispose, sizeof(dispose)) != 0;
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

bool Folder::Open(const std::string& base, const std::vector<std::string>& names, bool create) {
  Close();
  for (const std::string& name : names) {
    if (!PlainName(name)) {
      SetLastError(ERROR_INVALID_NAME);
      return false;
    }
  }
  std::wstring wide = Widen(base);
  HANDLE handle = wide.empty() ? INVALID_HANDLE_VALUE : OpenRealFolder(wide);
  std::string path = base;
  for (std::size_t i = 0;; ++i) {
    if (handle == INVALID_HANDLE_VALUE) {
      Close();
      return false;
    }
    handles_.push_back(reinterpret_cast<std::intptr_t>(handle));
    if (i == names.size()) break;
    // Named below a held parent: the name can still be swapped for a link,
    // which the open refuses, but the parent cannot be.
    wide += L"\\" + Widen(names[i]);
    path += "\\" + names[i];
    handle = OpenComponent(wide, create);
  }
  path_ = path;
  return true;
}

Folder Folder::Child(const std::string& name, bool create) const {
  Folder child;
  if (!valid() || !PlainName(name)) {
    SetLastError(ERROR_INVALID_NAME);
    return child;
  }
  for (std::intptr_t native : handles_) {
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), AsHandle(native), GetCurrentProcess(), &copy, 0,
                         FALSE, DUPLICATE_SAME_ACCESS)) {
      child.Close();
      return child;
    }
    child.handles_.push_back(reinterpret_cast<std::intptr_t>(copy));
  }
  HANDLE handle = OpenComponent(Widen(path_ + "\\" + name), create);
  if (handle == INVALID_HANDLE_VALUE) {
    child.Close();
    return child;
  }
  child.handles_.push_back(reinterpret_cast<std::intptr_t>(handle));
  child.path_ = path_ + "\\" + name;
  return child;
}

HeldFile Folder::CreateNew(const std::string& name, bool privateToAdministrators) const {
  if (!valid() || !PlainName(name)) {
    SetLastError(ERROR_INVALID_NAME);
    return HeldFile();
  }
  const std::wstring path = Widen(path_ + "\\" + name);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (privateToAdministrators && (descriptor = PrivateDescriptor()) == nullptr) {
    return HeldFile();
  }
  // DeleteFileW removes a link itself, never its target. Whatever stands at
  // the name afterwards makes CREATE_NEW fail rather than be reused.
  DeleteFileW(path.c_str());
  SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
  // Delete access: renamed and removed later through this very handle.
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                              FILE_SHARE_READ, &attributes, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  const DWORD error = GetLastError();
  if (descriptor != nullptr) LocalFree(descriptor);
  if (file == INVALID_HANDLE_VALUE) {
    SetLastError(error);
    return HeldFile();
  }
  return HeldFile::Writable(reinterpret_cast<std::intptr_t>(file));
}

bool Folder::Rename(const HeldFile& file, const std::string&, const std::string& to) const {
  if (!valid() || !file.valid() || !PlainName(to)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  // The target is named from the held folder's own handle, in the NT form
  // the rename takes ("\??\C:\..." or "\??\UNC\...").
  const std::wstring folder = FinalPath(AsHandle(native()));
  if (folder.compare(0, 4, L"\\\\?\\") != 0) return false;
  const std::wstring target = L"\\??\\" + folder.substr(4) + L"\\" + Widen(to);
  const ULONGLONG deadline = GetTickCount64() + kBusyWaitMs;
  while (!RenameByHandle(AsHandle(file.native()), target)) {
    const DWORD error = GetLastError();
    if ((error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) ||
        GetTickCount64() >= deadline) {
      SetLastError(error);
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
  // The sealed handle shares no deletion and has no delete access: a second
  // handle is only had once it is let go, and then only for our very file.
  BY_HANDLE_FILE_INFORMATION held;
  const bool known = GetFileInformationByHandle(AsHandle(file.native()), &held) != 0;
  file.Close();
  if (!known) return false;
  HANDLE handle = ::CreateFileW(Widen(path_ + "\\" + name).c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION named;
  const bool same = GetFileInformationByHandle(handle, &named) &&
                    named.dwVolumeSerialNumber == held.dwVolumeSerialNumber &&
                    named.nFileIndexHigh == held.nFileIndexHigh && named.nFileIndexLow == held.nFileIndexLow;
  const bool removed = same && MarkForDeletion(handle);
  CloseHandle(handle);
  return removed;
}

void Folder::RemoveName(const std::string& name) const {
  if (!valid() || !PlainName(name)) return;
  const std::wstring path = Widen(path_ + "\\" + name);
  HANDLE handle = ::CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return;
  // A link (to a folder or not) goes itself; a real folder stays. Wine shows
  // its links only in the attributes looked up by name.
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = GetFileInformationByHandle(handle, &info) != 0;
  const DWORD byName = GetFileAttributesW(path.c_str());
  const DWORD attributes =
      known ? info.dwFileAttributes | (byName == INVALID_FILE_ATTRIBUTES ? 0 : byName) : 0;
  if (known && ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
                (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)) {
    MarkForDeletion(handle);
  }
  CloseHandle(handle);
}

bool Folder::HasFolder(const std::string& name) const {
  if (!valid() || !PlainName(name)) return false;
  HANDLE handle = OpenRealFolder(Widen(path_ + "\\" + name));
  if (handle == INVALID_HANDLE_VALUE) return false;
  CloseHandle(handle);
  return true;
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
