#include "retry_policy.h"

#include <algorithm>
#include <cstdio>

#include "retry_rules.h"

namespace bvhttptools {

namespace {

std::string Seconds(std::chrono::milliseconds span) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(span.count()) / 1000.0);
  return text;
}

}  // namespace

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
  if (!IsNetworkFailure(code, status) && gained == 0 && ++attempts_ > options_.maxAttempts) {
    *why = std::to_string(options_.maxAttempts) + " tries failed";
    return std::nullopt;
  }
  const std::chrono::milliseconds pause = NextPause();
  if (!WithinBudget(pause, now)) {
    // Giving up rather than trying once more at the budget's edge: clients
    // cut together would all come back in that same instant.
    *why = "no byte gained for " + Seconds(Idle(now)) + ", and the next pause of " + Seconds(pause) +
           " would pass the " + std::to_string(options_.noProgressBudget.count()) + " s allowed";
    return std::nullopt;
  }
  return pause;
}

std::optional<std::chrono::milliseconds> RetryPolicy::Overloaded(std::optional<std::chrono::seconds> retryAfter,
                                                                 Clock::time_point now, std::string* why) {
  // A server that says when to come back is busy, not broken: such answers
  // use up no attempt, only the time without progress and the overload bound.
  if (!overloadSince_) overloadSince_ = now;
  // The server named its moment: a second of jitter spreads the clients it
  // told alike, however far earlier failures grew the limit.
  const RetryPause rule{std::chrono::milliseconds(0), options_.retryAfterCap, options_.retryJitter};
  const std::chrono::milliseconds pause = ChoosePause(rule, retryAfter, random_);
  if (now + pause >= *overloadSince_ + options_.overloadLimit) {
    *why = "the server stayed busy for " +
           std::to_string(std::chrono::duration_cast<std::chrono::seconds>(options_.overloadLimit).count()) + " s";
    return std::nullopt;
  }
  // Waiting longer than the user is kept without progress only freezes the
  // bar: the download ends now, and the caller hears when to ask again.
  if (!WithinBudget(pause, now)) {
    *why = "the server asked to come back in " + std::to_string(retryAfter->count()) + " s, after " +
           Seconds(Idle(now)) + " without a byte, past the " +
           std::to_string(options_.noProgressBudget.count()) + " s allowed";
    return std::nullopt;
  }
  return pause;
}

std::chrono::milliseconds RetryPolicy::Idle(Clock::time_point now) const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(now - lastProgress_);
}

bool RetryPolicy::WithinBudget(std::chrono::milliseconds pause, Clock::time_point now) const {
  return Idle(now) + pause <= options_.noProgressBudget;
}

std::chrono::milliseconds RetryPolicy::NextPause() {
  const RetryPause rule{limit_, options_.retryAfterCap, options_.retryJitter};
  const std::chrono::milliseconds pause = ChoosePause(rule, std::nullopt, random_);
  limit_ = std::min(limit_ * 2, std::chrono::duration_cast<std::chrono::milliseconds>(options_.retryPauseCap));
  return pause;
}

}  // namespace bvhttptools
