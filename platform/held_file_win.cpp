// Windows: a handle that shares reading only; views are file mappings.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#define NOGDI
#include <windows.h>

#include "held_file.h"
#include "text_win.h"

namespace brisvane::platform {

bool HeldFile::Open(const std::string& path) {
  Close();
  // No FILE_SHARE_WRITE / FILE_SHARE_DELETE: nobody may change, rename or
  // replace the file while it is held. A reparse point is opened itself, not
  // followed, and then refused.
  HANDLE handle = CreateFileW(Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const DWORD notPlain = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
  if (!GetFileInformationByHandle(handle, &info) || (info.dwFileAttributes & notPlain) != 0 ||
      GetFileType(handle) != FILE_TYPE_DISK) {
    CloseHandle(handle);
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  native_ = reinterpret_cast<std::intptr_t>(handle);
  size_ = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  singleName_ = info.nNumberOfLinks == 1;
  return true;
}

void HeldFile::Close() {
  if (native_ == kNone) return;
  const DWORD error = GetLastError();
  CloseHandle(reinterpret_cast<HANDLE>(native_));
  native_ = kNone;
  SetLastError(error);
}

long long HeldFile::ReadAt(std::uint64_t offset, void* buffer, std::size_t count) const {
  OVERLAPPED at;
  ZeroMemory(&at, sizeof(at));
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  const DWORD ask = count > 0x40000000u ? 0x40000000u : static_cast<DWORD>(count);
  DWORD got = 0;
  if (ReadFile(reinterpret_cast<HANDLE>(native_), buffer, ask, &got, &at)) return got;
  return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
}

FileView::~FileView() {
  if (base_ != nullptr) UnmapViewOfFile(base_);
  if (mapping_ != -1) CloseHandle(reinterpret_cast<HANDLE>(mapping_));
}

bool FileView::Map(const HeldFile& file) {
  if (base_ != nullptr || !file.valid()) return false;
  // A mapping of an empty file is refused; an empty file is an empty view.
  if (file.size() == 0) return true;
  HANDLE mapping = CreateFileMappingW(reinterpret_cast<HANDLE>(file.native()), nullptr,
                                      PAGE_READONLY, 0, 0, nullptr);
  if (mapping == nullptr) return false;
  void* base = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
  if (base == nullptr) {
    CloseHandle(mapping);
    return false;
  }
  mapping_ = reinterpret_cast<std::intptr_t>(mapping);
  base_ = base;
  size_ = static_cast<std::size_t>(file.size());
  return true;
}

}  // namespace brisvane::platform
