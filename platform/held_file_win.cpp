// Windows: a handle that shares reading only; views are file mappings.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#define NOGDI
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "files_win.h"
#include "held_file.h"
#include "text_win.h"

namespace brisvane::platform {

namespace {

HANDLE AsHandle(std::intptr_t native) { return reinterpret_cast<HANDLE>(native); }

}  // namespace

bool HeldFile::Open(const std::string& path) {
  Close();
  // No FILE_SHARE_WRITE / FILE_SHARE_DELETE: nobody may change, rename or
  // replace the file while it is held. A reparse point is opened itself, not
  // followed, and then refused.
  HANDLE handle = CreateFileW(Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  native_ = reinterpret_cast<std::intptr_t>(handle);
  writable_ = false;
  if (Describe()) return true;
  Close();
  SetLastError(ERROR_INVALID_PARAMETER);
  return false;
}

HeldFile HeldFile::Writable(std::intptr_t native) {
  HeldFile file;
  file.native_ = native;
  file.writable_ = true;
  if (!file.Describe()) file.Close();
  return file;
}

bool HeldFile::Describe() {
  HANDLE handle = AsHandle(native_);
  BY_HANDLE_FILE_INFORMATION info;
  const DWORD notPlain = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
  if (!GetFileInformationByHandle(handle, &info) || (info.dwFileAttributes & notPlain) != 0 ||
      GetFileType(handle) != FILE_TYPE_DISK) {
    return false;
  }
  size_ = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  singleName_ = info.nNumberOfLinks == 1;
  return true;
}

bool HeldFile::Identify(FileIdentity* identity) const {
  HANDLE handle = AsHandle(native_);
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return false;
  char text[80];
  FILE_ID_INFO id;
  // The 128-bit ID where the volume has one (ReFS cannot give 64 bits that
  // stay unique); the older file index everywhere else.
  if (GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof(id))) {
    int length = std::snprintf(text, sizeof text, "%llx:", static_cast<unsigned long long>(id.VolumeSerialNumber));
    for (unsigned char byte : id.FileId.Identifier) {
      length += std::snprintf(text + length, sizeof text - static_cast<std::size_t>(length), "%02x", byte);
    }
  } else {
    std::snprintf(text, sizeof text, "%lx:%08lx%08lx", static_cast<unsigned long>(info.dwVolumeSerialNumber),
                  static_cast<unsigned long>(info.nFileIndexHigh), static_cast<unsigned long>(info.nFileIndexLow));
  }
  identity->id = text;
  identity->size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  return true;
}

bool HeldFile::Write(const void* data, std::size_t count) {
  // At the end as this object knows it, not at the handle's position, which
  // ReadAt moves.
  return WriteAt(size_, data, count);
}

bool HeldFile::WriteAt(std::uint64_t offset, const void* data, std::size_t count) {
  if (!writable_) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  const char* bytes = static_cast<const char*>(data);
  while (count > 0) {
    OVERLAPPED at;
    ZeroMemory(&at, sizeof(at));
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    const DWORD ask = count > 0x40000000u ? 0x40000000u : static_cast<DWORD>(count);
    DWORD put = 0;
    if (!WriteFile(AsHandle(native_), bytes, ask, &put, &at) || put == 0) return false;
    bytes += put;
    offset += put;
    count -= put;
    // Write appends at size_: keep it at the end of what was written.
    if (offset > size_) size_ = offset;
  }
  return true;
}

bool HeldFile::Truncate() {
  if (!writable_) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  FILE_END_OF_FILE_INFO end;
  end.EndOfFile.QuadPart = 0;
  if (!SetFileInformationByHandle(AsHandle(native_), FileEndOfFileInfo, &end, sizeof(end))) {
    return false;
  }
  size_ = 0;
  return true;
}

bool HeldFile::Sync() {
  // A read-only handle wrote nothing, and Windows refuses it the flush.
  return valid() && (!writable_ || FlushFileBuffers(AsHandle(native_)) != 0);
}

bool HeldFile::LetOthersRead() { return valid(); }

bool HeldFile::Seal() {
  if (!valid()) return false;
  if (!writable_) return Describe();
  // The writing handle blocks every open that does not share writing (the
  // shell's, CreateProcess's), yet the file must never be open to writers.
  // A read handle sharing everything bridges the moment the writing one
  // goes; the final one shares reading only and cannot be had while anyone
  // else writes.
  HANDLE writing = AsHandle(native_);
  const std::wstring name = PathOnVolume(writing);
  HANDLE bridge = ReOpenFile(writing, GENERIC_READ,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
  HANDLE sealed = INVALID_HANDLE_VALUE;
  if (bridge != INVALID_HANDLE_VALUE) {
    CloseHandle(writing);
    native_ = reinterpret_cast<std::intptr_t>(bridge);
    writable_ = false;
    // Reading only: a launcher that opens the file without sharing deletion
    // (msiexec, cmd) must not trip over a delete access of ours.
    sealed = ReOpenFile(bridge, GENERIC_READ, FILE_SHARE_READ, 0);
  }
  if (sealed == INVALID_HANDLE_VALUE) {
    Close();
    return false;
  }
  CloseHandle(bridge);
  native_ = reinterpret_cast<std::intptr_t>(sealed);
  // The bridge shared deletion: a rename in that moment would leave the
  // file outside the folder it was checked in.
  if (name.empty() || PathOnVolume(sealed) != name || !Describe()) {
    Close();
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  return true;
}

void HeldFile::Close() {
  if (native_ == kNone) return;
  const DWORD error = GetLastError();
  CloseHandle(reinterpret_cast<HANDLE>(native_));
  native_ = kNone;
  writable_ = false;
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
