// A point in time a wait must end by, on the steady clock. The same on both
// systems (deadline.cpp).
#pragma once

#include <chrono>

namespace brisvane::platform {

class Deadline {
 public:
  using Clock = std::chrono::steady_clock;

  // Ends at `at`; Clock::time_point::max() never ends.
  explicit Deadline(Clock::time_point at) : at_(at) {}
  // Ends `span` from now (now, when it is not positive); a span too long for
  // the clock never ends.
  static Deadline After(std::chrono::milliseconds span);
  static Deadline Never() { return Deadline(Clock::time_point::max()); }

  // True once it has passed; never for Never().
  bool Expired() const;
  // What is left, rounded up so that a wait that long does not wake before
  // it: 0 once it has passed, -1 for Never() (poll's "no limit"), at most
  // INT_MAX.
  int MillisecondsLeft() const;

 private:
  Clock::time_point at_;
};

}  // namespace brisvane::platform

namespace platform = brisvane::platform;
