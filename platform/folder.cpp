// The parts of folder.h that are the same on both systems.
#include "folder.h"

#include <utility>

namespace brisvane::platform {

Folder::Folder(Folder&& other) noexcept
    : handles_(std::move(other.handles_)), path_(std::move(other.path_)) {
  other.handles_.clear();
}

Folder& Folder::operator=(Folder&& other) noexcept {
  if (this != &other) {
    Close();
    handles_ = std::move(other.handles_);
    path_ = std::move(other.path_);
    other.handles_.clear();
  }
  return *this;
}

}  // namespace brisvane::platform
