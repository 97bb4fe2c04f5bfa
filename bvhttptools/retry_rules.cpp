#include "retry_rules.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <string>
#include <system_error>

#include "http_date.h"

namespace bvhttptools {

bool IsNetworkFailure(CURLcode code, long status) {
  switch (code) {
    case CURLE_COULDNT_CONNECT:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_GOT_NOTHING:
      return true;
    case CURLE_HTTP_RETURNED_ERROR:
      return status == 502 || status == 503 || status == 504;
    default:
      return false;
  }
}

bool IsTransient(CURLcode code, long status) {
  // 429 says "not so many at once", not that the request is wrong.
  return IsNetworkFailure(code, status) ||
         (code == CURLE_HTTP_RETURNED_ERROR && (status >= 500 || status == 429));
}

std::optional<std::chrono::seconds> RetryAfter(const std::string& value,
                                               std::chrono::system_clock::time_point now) {
  if (value.empty()) return std::nullopt;
  if (std::isdigit(static_cast<unsigned char>(value[0]))) {
    // Past this the wait is as good as endless; a bound keeps every later
    // sum and conversion to milliseconds far from overflowing.
    constexpr long long kLongest = 10000000000LL;
    long long seconds = 0;
    const char* end = value.data() + value.size();
    const auto [stop, error] = std::from_chars(value.data(), end, seconds);
    if (stop != end) return std::nullopt;
    return std::chrono::seconds(error == std::errc() ? std::min(seconds, kLongest) : kLongest);
  }
  std::optional<long long> date = HttpDateSeconds(value);
  if (!date) return std::nullopt;
  long long nowSeconds =
      std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
  return std::chrono::seconds(*date > nowSeconds ? *date - nowSeconds : 0);
}

std::chrono::milliseconds ChoosePause(const RetryPause& pause,
                                      std::optional<std::chrono::seconds> retryAfter,
                                      std::mt19937& random) {
  // Retry-After names a whole second: clients told the same one are spread
  // over at least that second, not just over the first part of it.
  const std::chrono::milliseconds spread =
      retryAfter ? std::max<std::chrono::milliseconds>(pause.limit, std::chrono::seconds(1))
                 : pause.limit;
  std::chrono::milliseconds wait = spread;
  if (pause.jitter && spread.count() > 0) {
    std::uniform_int_distribution<long long> uniform(0, spread.count());
    wait = std::chrono::milliseconds(uniform(random));
  }
  if (retryAfter) wait += std::min<std::chrono::milliseconds>(*retryAfter, pause.cap);
  return wait;
}

}  // namespace bvhttptools
