#include "retry_policy.h"

#include <algorithm>

#include "resume.h"

namespace bvhttptools {

RetryPolicy::RetryPolicy(const TransferOptions& options, unsigned seed, Clock::time_point start)
    : options_(options), random_(seed), lastProgress_(start), limit_(options.firstRetryPause) {}

std::optional<std::chrono::milliseconds> RetryPolicy::AfterFailure(
    CURLcode code, long status, std::optional<std::chrono::seconds> retryAfter, curl_off_t gained,
    Clock::time_point now, std::string* why) {
  if (!IsTransient(code, status)) {
    *why = "the failure does not pass by itself";
    return std::nullopt;
  }
  // A try that got somewhere costs nothing: the pauses start small again.
  if (gained > 0) {
    lastProgress_ = now;
    limit_ = options_.firstRetryPause;
  }
  if (IsOverload(status) && retryAfter) return Overloaded(retryAfter, now, why);
  if (IsNetworkFailure(code, status)) {
    const auto idle = now - lastProgress_;
    if (idle >= options_.noProgressBudget) {
      *why = "no byte gained for " +
             std::to_string(std::chrono::duration_cast<std::chrono::seconds>(idle).count()) + " s";
      return std::nullopt;
    }
    // One last try right at the end of the budget rather than none.
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(options_.noProgressBudget - idle);
    return std::min(NextPause(), left);
  }
  if (gained == 0 && ++attempts_ > options_.maxAttempts) {
    *why = std::to_string(options_.maxAttempts) + " tries failed";
    return std::nullopt;
  }
  return NextPause();
}

std::optional<std::chrono::milliseconds> RetryPolicy::Overloaded(std::optional<std::chrono::seconds> retryAfter,
                                                                 Clock::time_point now, std::string* why) {
  // A server that says when to come back is busy, not broken: such answers
  // only end the download once the overload bound has passed.
  if (!overloadSince_) overloadSince_ = now;
  if (now - *overloadSince_ >= options_.overloadLimit) {
    *why = "the server stayed busy for " +
           std::to_string(std::chrono::duration_cast<std::chrono::seconds>(options_.overloadLimit).count()) + " s";
    return std::nullopt;
  }
  const RetryPause rule{limit_, options_.retryAfterCap, options_.retryJitter};
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*overloadSince_ + options_.overloadLimit - now);
  return std::min(ChoosePause(rule, retryAfter, random_), left);
}

std::chrono::milliseconds RetryPolicy::NextPause() {
  const RetryPause rule{limit_, options_.retryAfterCap, options_.retryJitter};
  const std::chrono::milliseconds pause = ChoosePause(rule, std::nullopt, random_);
  limit_ = std::min(limit_ * 2, std::chrono::duration_cast<std::chrono::milliseconds>(options_.retryPauseCap));
  return pause;
}

}  // namespace bvhttptools
