// HTTP-dates (the Date, Last-Modified and Retry-After headers' form) read
// into seconds since 1970.
#pragma once

#include <optional>
#include <string>

namespace bvhttptools {

// Seconds since 1970 of an HTTP-date (IMF-fixdate, or the obsolete RFC 850
// and asctime forms), or nothing when the value is none of them.
std::optional<long long> HttpDateSeconds(const std::string& value);

}  // namespace bvhttptools
