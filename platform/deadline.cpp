#include "deadline.h"

#include <climits>

namespace brisvane::platform {

Deadline Deadline::After(std::chrono::milliseconds span) {
  const Clock::time_point now = Clock::now();
  // Compared in milliseconds: the caller's span may not fit the clock's unit.
  const auto room = std::chrono::duration_cast<std::chrono::milliseconds>(
      Clock::time_point::max() - now);
  if (span >= room) return Never();
  if (span.count() <= 0) return Deadline(now);
  return Deadline(now + span);
}

bool Deadline::Expired() const {
  return at_ != Clock::time_point::max() && Clock::now() >= at_;
}

int Deadline::MillisecondsLeft() const {
  if (at_ == Clock::time_point::max()) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(at_ - Clock::now()).count();
  if (left <= 0) return 0;
  return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

}  // namespace brisvane::platform
