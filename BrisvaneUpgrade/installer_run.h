// What the installer step works with: the installer exactly as it was
// received, and the gate between starting it and the window closing.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "folder.h"
#include "held_file.h"

// The folder an installer runs from: "upgrade-" and random characters;
// start-up removes those left by earlier runs.
constexpr char kOwnFolderPrefix[] = "upgrade-";

// The downloaded installer, held from its creation, in the folder it lies
// in; with its signature file when one was fetched.
struct ReceivedInstaller {
  std::shared_ptr<const platform::Folder> folder;
  std::string name;
  platform::HeldFile file;
  platform::HeldFile signature;
  // Once moved there (MoveToOwnFolder): the folder made for this installer
  // alone, which `folder` then is, the data folder it came from, and the
  // folder `own` was made in (Folder::InstallerParent).
  std::shared_ptr<platform::Folder> own;
  std::shared_ptr<const platform::Folder> home;
  std::shared_ptr<const platform::Folder> ownParent;

  // The installer's path, for the log and as the name it runs under.
  std::string Path() const;
  // Moves the installer and its signature out of the data folder, which its
  // user can write, into a new folder only the upgrader can write (with
  // raised rights on Linux: outside the user's folders), so that nothing the
  // user drops there (a library the installer would load from its own
  // folder, say) lies beside it when it runs. False when that failed; the
  // installer is then discarded, from the data folder too, and `*why` (when
  // given) says why no folder could be made, when that was the cause.
  bool MoveToOwnFolder(std::string* why = nullptr);
  // Removes the installer and its signature through the folder, each only
  // while its name still holds the file received, and lets both go; the
  // own folder goes with all that is in it. False when something was left.
  bool Discard();
};

// Once the window is closing nothing may start: the installer worker asks
// before it starts the installer, the closing window shuts the gate and
// waits for a decision already taken.
class LaunchGate {
 public:
  // True when the installer may start now; false once the gate was shut.
  bool TryStart();
  // The worker is done with the installer's files (it started it, or
  // removed them).
  void Finish();
  // Shuts the gate and waits until the worker has started the installer or
  // finished, so that nothing of an upgrade that ends here stays behind.
  // The worker gives up a check as soon as it sees the gate shut.
  void Shut();
  // True once Shut was called.
  bool IsShut();

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool shut_ = false;
  bool started_ = false;
  bool finished_ = false;
};
