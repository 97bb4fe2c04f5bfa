// ClientGuard and its C functions: the single-instance guard taken as the
// upgrader reads it, through platform::TakeSingletonGuard.
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "brisvane/upgrade_client.h"
#include "c_buffers.h"
#include "guard.h"
#include "request_protocol.h"
#include "start_c.h"

namespace brisvane {

ClientGuard::~ClientGuard() { Release(); }

ClientGuard::ClientGuard(ClientGuard&& other) noexcept : native_(other.native_) {
  other.native_ = kNone;
}

ClientGuard& ClientGuard::operator=(ClientGuard&& other) noexcept {
  if (this != &other) {
    Release();
    native_ = std::exchange(other.native_, kNone);
  }
  return *this;
}

ClientGuard::Status ClientGuard::Take(std::string* reason) {
  if (Held()) {
    if (reason != nullptr) reason->clear();
    return Status::kTaken;
  }
  platform::GuardTaking outcome = platform::GuardTaking::kFailed;
  std::string why;
  platform::Guard guard =
      platform::TakeSingletonGuard(platform::kSingletonGuardName, &outcome, &why);
  if (reason != nullptr) *reason = std::move(why);
  switch (outcome) {
    case platform::GuardTaking::kTaken:
      native_ = guard.Detach();
      return Status::kTaken;
    case platform::GuardTaking::kHeldElsewhere: return Status::kHeldElsewhere;
    case platform::GuardTaking::kFailed: break;
  }
  return Status::kFailed;
}

void ClientGuard::Release() {
  // The platform's owner gives it up as the upgrader's does.
  platform::Guard(std::exchange(native_, kNone)).Release();
}

}  // namespace brisvane

extern "C" int brisvane_guard_take(brisvane_guard** guard, char* reason, size_t reason_size) {
  if (guard == nullptr) {
    brisvane::c_buffers::CopyText("no place for the guard given", reason, reason_size);
    return BRISVANE_GUARD_FAILED;
  }
  *guard = nullptr;
  try {
    auto made = std::make_unique<brisvane_guard>();
    std::string why;
    const brisvane::ClientGuard::Status status = made->guard.Take(&why);
    brisvane::c_buffers::CopyText(why, reason, reason_size);
    if (status == brisvane::ClientGuard::Status::kTaken) *guard = made.release();
    return static_cast<int>(status);
  } catch (...) {
    brisvane::c_buffers::CopyExceptionReason(reason, reason_size);
    return BRISVANE_GUARD_FAILED;
  }
}

extern "C" int brisvane_guard_held(const brisvane_guard* guard) {
  return guard != nullptr && guard->guard.Held() ? 1 : 0;
}

extern "C" void brisvane_guard_release(brisvane_guard* guard) { delete guard; }
