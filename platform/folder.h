// A folder reached one component at a time without following links and then
// held, so that every later step (creating, renaming, removing a file) happens
// in the folder that was checked, whatever the folders' owner does to their
// names meanwhile; folder_posix.cpp / folder_win.cpp, chosen by CMake. Paths
// and names are UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "held_file.h"

namespace brisvane::platform {

// Owns the folder's handle (Linux: a descriptor of the last component;
// Windows: a handle of every component from the base down). Move-only.
class Folder {
 public:
  Folder() = default;
  ~Folder() { Close(); }
  Folder(Folder&& other) noexcept;
  Folder& operator=(Folder&& other) noexcept;
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;

  // Opens `base` (a folder the system names, such as the user's data
  // location), then each of `names` below it without following links,
  // creating a missing one when `create`. A component that is a link, a
  // junction or no folder fails the whole call, and nothing is created below
  // it. Windows: every folder from `base` down is held without
  // FILE_SHARE_DELETE and refused when it is a reparse point, so none of them
  // can be renamed or re-pointed while this object lives. A name holding a
  // separator, "." or ".." is refused.
  bool Open(const std::string& base, const std::vector<std::string>& names, bool create);

  // The folder `name` right below this one, reached as Open reaches its
  // components; invalid on failure.
  Folder Child(const std::string& name, bool create) const;

  void Close();
  bool valid() const { return !handles_.empty(); }
  // Where the folder was found, for the log (and on Windows the paths built
  // on it): `base` and the names joined by "/" (Windows: by "\").
  const std::string& path() const { return path_; }
  // The back end's handle of the folder itself, still owned here.
  std::intptr_t native() const { return handles_.empty() ? -1 : handles_.back(); }

  // Creates the file `name` anew and holds it for writing (HeldFile::Write).
  // A leftover at the name is removed first (a link itself, never what it
  // points to); whatever stands there afterwards makes the call fail rather
  // than be followed or reused. Linux: O_EXCL|O_NOFOLLOW, mode 0600, owned by
  // the effective user. Windows: CREATE_NEW without following a reparse
  // point, sharing reading only; when `privateToAdministrators`, with a
  // protected DACL (SYSTEM and Administrators full control, the current user
  // read and execute) instead of the folder's inherited one.
  HeldFile CreateNew(const std::string& name, bool privateToAdministrators = false) const;

  // Gives `file`, created here, the name `to` in this folder (replacing what
  // stands there) and puts the change on storage. Linux: renames `from`
  // (the name it was created under); Windows: through `file`'s own handle.
  // A file briefly held by someone else (a virus scanner) is waited for a
  // few seconds.
  bool Rename(const HeldFile& file, const std::string& from, const std::string& to) const;

  // Removes `name` when it still names `file`, and lets `file` go (Linux:
  // the same device and inode; Windows: marked for deletion through the
  // writing handle, or, once sealed, through a handle opened after the held
  // one is let go and checked to be the same file, since the sealed handle
  // has no delete access for a launcher to trip over). False when it was not
  // removed.
  bool Remove(const std::string& name, HeldFile& file) const;

  // Removes whatever `name` is, unless it is a folder (a link itself, never
  // its target); a missing name is no error.
  void RemoveName(const std::string& name) const;

  // True when `name` here is a folder (not a link to one).
  bool HasFolder(const std::string& name) const;

 private:
  std::vector<std::intptr_t> handles_;
  std::string path_;
};

// True when the process runs with raised rights (Windows: an elevated token;
// Linux: effective uid 0), so files it makes in a user's folder are to be
// kept from that user.
bool RunningElevated();

}  // namespace brisvane::platform

namespace platform = brisvane::platform;
