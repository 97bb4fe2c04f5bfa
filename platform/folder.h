// A folder reached one component at a time without following links and then
// held, so that every later step (creating, renaming, removing a file) happens
// in the folder that was checked, whatever the folders' owner does to their
// names meanwhile; folder_posix.cpp / folder_win.cpp, chosen by CMake. Paths
// and names are UTF-8.
#pragma once

#include <cstdint>
#include <memory>
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
  // it. A name holding a separator, "." or ".." is refused.
  //
  // With raised rights (RunningElevated) the base itself is reached so that
  // its user cannot point it elsewhere. Linux: from "/" one component at a
  // time; a link on the way is followed only when root owns it or when the
  // folder it leads to belongs to the link's own owner. Windows: it must lie
  // inside the user's profile folder as the system records it, and is opened
  // from there one component at a time, refusing every reparse point.
  //
  // Every folder this call creates gets the owner and group of its parent
  // (Linux) and a fixed mode that lets nobody but that owner write (0700
  // on Linux, whatever the umask; Windows: the parent's inherited DACL).
  // Windows: every folder from the base down is held sharing neither
  // writing nor deletion (so none can be renamed, re-pointed or turned into
  // a mount point while this object lives) and each is created and opened
  // relative to its held parent, never by a full path.
  // False with a one-line `*why` (when given) on failure.
  bool Open(const std::string& base, const std::vector<std::string>& names, bool create,
            std::string* why = nullptr);

  // The folder `name` right below this one, reached as Open reaches its
  // components; invalid on failure.
  Folder Child(const std::string& name, bool create) const;

  // Creates a new folder right below this one, named `prefix` followed by
  // 16 random hex digits, that only the upgrader's own user can write or list
  // (Linux: mode 0700, owned by the effective user; Windows: a protected DACL
  // of SYSTEM and Administrators, nothing inherited), and holds it
  // (Windows: sharing neither writing nor deletion; Linux: with an exclusive
  // flock on its descriptor, so RemoveLeftoverPrivate of another process
  // leaves it alone while this object lives). Invalid on failure.
  Folder CreatePrivate(const std::string& prefix) const;

  // Where CreatePrivate makes the installer's folder. Without raised rights:
  // `dataFolder` itself. Linux with raised rights: a folder no other user
  // can write or rename anything in, on a file system that lets programs
  // run: "/var/lib/brisvane-upgrade" (created root's, 0700, when missing),
  // else "/var/tmp", else "/tmp"; every component from "/" down is reached
  // without following a link and must be root's and either writable by
  // nobody else or sticky. Null, with every refusal in `*why` (when given),
  // when no place qualifies: the installer must not run then. Windows:
  // `dataFolder`, whose chain Open holds against renames.
  static std::shared_ptr<const Folder> InstallerParent(std::shared_ptr<const Folder> dataFolder,
                                                       std::string* why = nullptr);

  // Removes the folders CreatePrivate left here with `prefix` in earlier,
  // ended runs: only a real folder (no link) named `prefix` and 16 hex
  // digits, owned by the effective user with mode 0700, that no process
  // holds (Linux: neither the folder nor a file right in it is flocked, as
  // a live CreatePrivate folder and a running held installer are). What is
  // inside goes as RemoveWithContents removes it. The paths removed.
  // Windows: nothing is swept (empty).
  std::vector<std::string> RemoveLeftoverPrivate(const std::string& prefix) const;

  // Moves `file`, held and standing here under `name`, into `to` under the
  // same name, through the held folders, and keeps holding it. Linux: a
  // file that cannot be renamed there (another file system, or a name that
  // no longer holds it) is copied from the held bytes into a new file in
  // `to`, sealed. False when the move fails: `file` is then let go, and
  // removed from here first while `name` still holds it, so that nothing
  // received stays behind. Windows: `to` must be on the same volume; a
  // sealed file is reopened for the move and sealed again, checked to be the
  // same file.
  bool MoveInto(const Folder& to, const std::string& name, HeldFile& file) const;

  // Removes everything in this folder (a folder this object holds, such as
  // one from CreatePrivate), then the folder itself from `parent`, where it
  // stands under the last component of path(). Links inside are removed
  // themselves, never what they lead to. Lets this folder go. False when
  // anything was left.
  bool RemoveWithContents(const Folder& parent);

  // Gives `file`, created in this folder, the folder's owner and group, so
  // that what a raised upgrader leaves for the user stays the user's.
  // Linux: fchown through the descriptor; Windows: nothing to do (the
  // folder's inherited DACL already lets its user in).
  bool GiveToOwner(const HeldFile& file) const;

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

  // Opens the existing file `name` here for writing more to it, but only
  // when it is provably one the upgrader left itself: a regular file with
  // one link, never reached through a link, owned by the effective user and
  // writable by nobody else (Linux: no group or other bits, as CreateNew
  // makes it; Windows, when `privateToAdministrators`: the protected DACL
  // CreateNew sets, and an owner that is the Administrators or SYSTEM, as
  // an elevated token makes it: the user could give a file of their own
  // the same DACL).
  // Invalid otherwise; the caller then removes the name and starts anew.
  HeldFile OpenOwnLeftover(const std::string& name, bool privateToAdministrators = false) const;

  // The names of what this folder holds (neither "." nor ".."), for finding
  // leftovers; empty when it cannot be listed.
  std::vector<std::string> Names() const;

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
