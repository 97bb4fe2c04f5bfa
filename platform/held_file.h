// A file held open from its creation or its check until it is used, so that
// what was received and checked is what gets used even when its name is
// pointed at another file meanwhile; held_file_posix.cpp / held_file_win.cpp,
// chosen by CMake. Paths are UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace brisvane::platform {

// Which file a handle holds, told apart from every other file that exists
// on the system at the same time, and how large it is.
struct FileIdentity {
  // Linux: device and inode (and the birth time where the file system keeps
  // one, so that an inode used again names another file); Windows: the
  // volume's serial number and the file's ID. One word of printable
  // characters without spaces.
  std::string id;
  std::uint64_t size = 0;
};

// Owns one handle of a regular file: read-only when opened, or writable from
// its creation (Folder::CreateNew) until Seal(). Move-only.
class HeldFile {
 public:
  HeldFile() = default;
  ~HeldFile() { Close(); }
  HeldFile(HeldFile&& other) noexcept;
  HeldFile& operator=(HeldFile&& other) noexcept;
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;

  // Opens `path` for reading, never through a link, and refuses anything but
  // a regular file. Linux: close-on-exec. Windows: shares neither writing nor
  // deletion, so the file can be neither changed nor renamed nor replaced
  // while it is held.
  bool Open(const std::string& path);
  void Close();

  // Appends `count` bytes; false unless all were written. Only while writable.
  bool Write(const void* data, std::size_t count);
  // Writes all `count` bytes at `offset`; false unless all were written. Only
  // while writable. Where the next Write lands is not defined afterwards.
  bool WriteAt(std::uint64_t offset, const void* data, std::size_t count);
  // Empties the file; the next Write starts at its beginning again.
  bool Truncate();
  // Puts what was written on storage.
  bool Sync();
  // Lets every user read the file (Linux: mode 0644; Windows: nothing to do,
  // a file not made private keeps its folder's permissions).
  bool LetOthersRead();
  // Ends writing: the file is then held read-only, so that it can be run
  // (Linux: no ETXTBSY; Windows: nothing blocks the shell's open), and no
  // other writer can have come in between (Linux: a read-only descriptor of
  // the same file, reached through this one, not through any name; Windows:
  // a handle that shares reading only, taken before the writing one is let
  // go). Refreshes size() and singleName(). False, and the file let go,
  // when that fails.
  bool Seal();

  bool valid() const { return native_ != kNone; }
  bool writable() const { return writable_; }
  // The back end's handle (a descriptor on Linux, a HANDLE on Windows), still
  // owned here.
  std::intptr_t native() const { return native_; }
  std::uint64_t size() const { return size_; }
  // True when the file has no second name that could be changed through
  // (none at all counts: its name may have been taken away meanwhile).
  bool singleName() const { return singleName_; }

  // Fills `*identity` from the handle as the file is now (size() may be
  // older: the size at opening or sealing). False when it cannot be read.
  bool Identify(FileIdentity* identity) const;

  // Reads up to `count` bytes at `offset`: the number read, 0 at the end,
  // -1 on failure.
  long long ReadAt(std::uint64_t offset, void* buffer, std::size_t count) const;

 private:
  static constexpr std::intptr_t kNone = -1;
  friend class Folder;
  // Takes over a handle Folder::CreateNew made for writing.
  static HeldFile Writable(std::intptr_t native);
  // Fills size_ and singleName_ from the handle; false when it is no
  // regular file.
  bool Describe();

  std::intptr_t native_ = kNone;
  std::uint64_t size_ = 0;
  bool singleName_ = false;
  bool writable_ = false;
};

// A read-only mapping of a whole held file, so that it need not be copied
// into memory. Unmapped on destruction; the file must outlive it.
class FileView {
 public:
  FileView() = default;
  ~FileView();
  FileView(const FileView&) = delete;
  FileView& operator=(const FileView&) = delete;

  bool Map(const HeldFile& file);
  const unsigned char* data() const { return static_cast<const unsigned char*>(base_); }
  std::size_t size() const { return size_; }

 private:
  void* base_ = nullptr;
  std::size_t size_ = 0;
  [[maybe_unused]] std::intptr_t mapping_ = -1;  // Windows: the section the view belongs to
};

// Reads a whole small file (at most `maxBytes`) through a HeldFile; false
// when it cannot be opened or read, or is larger.
bool ReadSmallFile(const std::string& path, std::size_t maxBytes, std::string* text);
// The same for a file already held.
bool ReadSmallFile(const HeldFile& file, std::size_t maxBytes, std::string* text);

}  // namespace brisvane::platform

namespace platform = brisvane::platform;
