// The parts of held_file.h that are the same on both systems.
#include "held_file.h"

#include <utility>

namespace brisvane::platform {

HeldFile::HeldFile(HeldFile&& other) noexcept
    : native_(other.native_),
      size_(other.size_),
      singleName_(other.singleName_),
      writable_(other.writable_) {
  other.native_ = kNone;
  other.writable_ = false;
}

HeldFile& HeldFile::operator=(HeldFile&& other) noexcept {
  if (this != &other) {
    Close();
    native_ = std::exchange(other.native_, kNone);
    size_ = other.size_;
    singleName_ = other.singleName_;
    writable_ = std::exchange(other.writable_, false);
  }
  return *this;
}

bool ReadSmallFile(const HeldFile& file, std::size_t maxBytes, std::string* text) {
  if (!file.valid() || file.size() > maxBytes) return false;
  // One byte more than allowed shows a file that grew since it was opened.
  std::string bytes(maxBytes + 1, '\0');
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    const long long got = file.ReadAt(filled, &bytes[filled], bytes.size() - filled);
    if (got < 0) return false;
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  if (filled > maxBytes) return false;
  bytes.resize(filled);
  *text = std::move(bytes);
  return true;
}

bool ReadSmallFile(const std::string& path, std::size_t maxBytes, std::string* text) {
  HeldFile file;
  return file.Open(path) && ReadSmallFile(file, maxBytes, text);
}

}  // namespace brisvane::platform
