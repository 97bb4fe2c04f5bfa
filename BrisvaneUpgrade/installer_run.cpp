#include "installer_run.h"

constexpr char kSignatureSuffix[] = ".minisig";

std::string ReceivedInstaller::Path() const {
  if (!folder) return name;
  return folder->path() + "/" + name;
}

bool ReceivedInstaller::MoveToOwnFolder(std::string* why) {
  if (!folder || own) return false;
  std::shared_ptr<const platform::Folder> parent = platform::Folder::InstallerParent(folder, why);
  auto made = std::make_shared<platform::Folder>(parent ? parent->CreatePrivate(kOwnFolderPrefix)
                                                        : platform::Folder());
  if (!made->valid()) {
    Discard();
    return false;
  }
  home = folder;
  folder = made;
  own = made;
  ownParent = parent;
  // MoveInto removes from the data folder what it failed to move; a
  // signature never tried goes the same way, and the own folder with what
  // did get there.
  const bool moved = home->MoveInto(*own, name, file);
  if (!moved && signature.valid()) home->Remove(name + kSignatureSuffix, signature);
  const bool whole = moved && (!signature.valid() || home->MoveInto(*own, name + kSignatureSuffix, signature));
  if (!whole) Discard();
  return whole;
}

bool ReceivedInstaller::Discard() {
  bool removed = true;
  if (own) {
    // Everything in it is ours, whatever the installer left there; the
    // handles go first, since Windows removes no file that is still held.
    file.Close();
    signature.Close();
    removed = own->RemoveWithContents(*ownParent);
    folder = home;
    own.reset();
    ownParent.reset();
    return removed;
  }
  if (folder && file.valid()) removed = folder->Remove(name, file);
  if (folder && signature.valid()) removed = folder->Remove(name + kSignatureSuffix, signature) && removed;
  file.Close();
  signature.Close();
  return removed;
}

bool LaunchGate::TryStart() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (shut_) return false;
  started_ = true;
  changed_.notify_all();
  return true;
}

void LaunchGate::Finish() {
  std::lock_guard<std::mutex> lock(mutex_);
  finished_ = true;
  changed_.notify_all();
}

void LaunchGate::Shut() {
  std::unique_lock<std::mutex> lock(mutex_);
  shut_ = true;
  changed_.wait(lock, [this] { return started_ || finished_; });
}

bool LaunchGate::IsShut() {
  std::lock_guard<std::mutex> lock(mutex_);
  return shut_;
}
