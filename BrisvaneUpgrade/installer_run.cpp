#include "installer_run.h"

constexpr char kSignatureSuffix[] = ".minisig";

std::string ReceivedInstaller::Path() const {
  if (!folder) return name;
  return folder->path() + "/" + name;
}

void ReceivedInstaller::Discard() {
  if (folder && file.valid()) folder->Remove(name, file);
  if (folder && signature.valid()) folder->Remove(name + kSignatureSuffix, signature);
  file.Close();
  signature.Close();
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

void LaunchGate::Shut(std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> lock(mutex_);
  shut_ = true;
  changed_.wait_for(lock, wait, [this] { return started_ || finished_; });
}
