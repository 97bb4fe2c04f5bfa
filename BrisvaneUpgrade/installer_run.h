// What the installer step works with: the installer exactly as it was
// received, and the gate between starting it and the window closing.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "folder.h"
#include "held_file.h"

// The downloaded installer, held from its creation, in the folder it was
// created in; with its signature file when one was fetched.
struct ReceivedInstaller {
  std::shared_ptr<const platform::Folder> folder;
  std::string name;
  platform::HeldFile file;
  platform::HeldFile signature;

  // The installer's path, for the log and as the name it runs under.
  std::string Path() const;
  // Removes the installer and its signature through the folder, each only
  // while its name still holds the file received, and lets both go.
  void Discard();
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
  // Shuts the gate and waits at most `wait` until the worker has started
  // the installer or finished.
  void Shut(std::chrono::milliseconds wait);

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool shut_ = false;
  bool started_ = false;
  bool finished_ = false;
};
