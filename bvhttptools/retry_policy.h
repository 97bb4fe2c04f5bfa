// Whether a failed try of a download is asked again, and after how long:
// a network that drops for a while, or a proxy that cuts every response,
// must not end a download that is still getting somewhere.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <optional>
#include <random>
#include <string>

#include "LogicSession.h"

namespace bvhttptools {

class RetryPolicy {
 public:
  using Clock = std::chrono::steady_clock;

  // `start`: when the download began, the first moment of progress.
  RetryPolicy(const TransferOptions& options, unsigned seed, Clock::time_point start);

  // After a try that failed with `code` (and HTTP `status`, 0 for none),
  // having made the file `gained` bytes longer, at `now`: the pause before
  // the next try, or nothing when the download gives up, with `*why` saying
  // why in a few words. No pause ends later than the options'
  // noProgressBudget after the last try that gained bytes: when the chosen
  // one would, the download gives up now. Within that, network failures are
  // retried; other passing failures (a 500, an overloaded server without
  // Retry-After) use up one of maxAttempts, unless the try gained bytes; a
  // 429 or 503 with Retry-After is waited out (with up to a second of
  // jitter) until overloadLimit has passed since the first one.
  std::optional<std::chrono::milliseconds> AfterFailure(CURLcode code, long status,
                                                        std::optional<std::chrono::seconds> retryAfter,
                                                        curl_off_t gained, Clock::time_point now,
                                                        std::string* why);

 private:
  std::optional<std::chrono::milliseconds> Overloaded(std::optional<std::chrono::seconds> retryAfter,
                                                      Clock::time_point now, std::string* why);
  std::chrono::milliseconds NextPause();
  // Time since the last progress.
  std::chrono::milliseconds Idle(Clock::time_point now) const;
  // Whether a pause taken at `now` ends within the budget without progress.
  bool WithinBudget(std::chrono::milliseconds pause, Clock::time_point now) const;

  const TransferOptions options_;
  std::mt19937 random_;
  Clock::time_point lastProgress_;
  std::chrono::milliseconds limit_;  // grows with each retry without progress
  int attempts_ = 1;                 // tries that counted, the first included
  std::optional<Clock::time_point> overloadSince_;
};

}  // namespace bvhttptools
