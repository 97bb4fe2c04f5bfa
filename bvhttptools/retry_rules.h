// Which failed tries are worth asking again, and the pause before the next
// one: pure rules, without libcurl calls or clocks of their own, so every case
// can be checked without a server. RetryPolicy applies them over a download.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <optional>
#include <random>
#include <string>

namespace bvhttptools {

// Failures the network causes and a later try may not meet: refused
// connections, resets, time-outs, cut bodies, and a gateway's 502, 503 or
// 504 (from a proxy or the origin's own front).
bool IsNetworkFailure(CURLcode code, long status);

// Whether a try that failed this way may succeed when asked again: a
// network failure, or a server's other 5xx or 429.
bool IsTransient(CURLcode code, long status);

// An overloaded server's answer: it may also say when to come back.
inline bool IsOverload(long status) { return status == 429 || status == 503; }

// The pause a Retry-After value asks for from `now`: delta-seconds or an
// HTTP-date (IMF-fixdate, or the obsolete RFC 850 and asctime forms); a date
// already past asks for none. Nothing when the value is neither.
std::optional<std::chrono::seconds> RetryAfter(const std::string& value,
                                               std::chrono::system_clock::time_point now);

// How long to wait before the next try.
struct RetryPause {
  std::chrono::milliseconds limit;  // grows with each counted retry
  std::chrono::seconds cap;         // the most a Retry-After is honoured
  bool jitter = true;               // false: always the whole limit
};

// Full jitter: uniformly between zero and the limit, so that clients which
// failed together do not come back together. A Retry-After (at most the
// cap) is waited out first, as the earliest moment the server named; the
// jitter after it spans at least the second it names.
std::chrono::milliseconds ChoosePause(const RetryPause& pause,
                                      std::optional<std::chrono::seconds> retryAfter,
                                      std::mt19937& random);

}  // namespace bvhttptools
