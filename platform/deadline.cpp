#include "deadline.h"

#include <climits>

namespace platform {

bool Deadline::Expired() const {
  return at_ != Clock::time_point::max() && Clock::now() >= at_;
}

int Deadline::MillisecondsLeft() const {
  if (at_ == Clock::time_point::max()) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(at_ - Clock::now()).count();
  if (left <= 0) return 0;
  return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

}  // namespace platform
