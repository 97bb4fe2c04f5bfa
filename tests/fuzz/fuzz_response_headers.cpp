// Response header lines as a server may send them, one per input line: a
// status line begins a fresh response, the blank line completes it once,
// later lines change nothing, and what is kept is sane: values that can be
// sent back, sizes unknown or non-negative, a range inside its total.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "response_headers.h"

namespace {

using bvhttptools::ResponseInfo;

bool SendableOrEmpty(const std::string& value) {
  for (char c : value) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) return false;
  }
  return true;
}

void CheckSane(const ResponseInfo& r) {
  FUZZ_CHECK(r.status >= 0 && r.status <= 999);
  FUZZ_CHECK(SendableOrEmpty(r.etag) && r.etag.compare(0, 2, "W/") != 0);
  FUZZ_CHECK(SendableOrEmpty(r.lastModified) && SendableOrEmpty(r.location));
  FUZZ_CHECK(r.contentLength >= -1 && r.rangeTotal >= -1);
  if (r.rangeStart >= 0 || r.rangeEnd >= 0) {
    FUZZ_CHECK(r.rangeStart >= 0 && r.rangeStart <= r.rangeEnd);
    FUZZ_CHECK(r.rangeTotal < 0 || r.rangeEnd < r.rangeTotal);
  } else {
    // A 416's "bytes */total" names the size alone.
    FUZZ_CHECK(r.rangeStart == -1 && r.rangeEnd == -1);
  }
  if (r.retryAfter) FUZZ_CHECK(r.retryAfter->count() >= 0);
}

bool Same(const ResponseInfo& a, const ResponseInfo& b) {
  return a.status == b.status && a.etag == b.etag && a.lastModified == b.lastModified &&
         a.contentLength == b.contentLength && a.rangeStart == b.rangeStart &&
         a.rangeEnd == b.rangeEnd && a.rangeTotal == b.rangeTotal && a.complete == b.complete &&
         a.retryAfter == b.retryAfter && a.date == b.date && a.location == b.location &&
         a.fromProxy == b.fromProxy;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const auto now = std::chrono::system_clock::time_point(std::chrono::seconds(1700000000));
  ResponseInfo response;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find('\n', at);
    const std::string line = text.substr(at, end == std::string::npos ? end : end + 1 - at);
    at = end == std::string::npos ? text.size() : end + 1;
    const ResponseInfo before = response;
    const bool completed = bvhttptools::FoldHeaderLine(line, now, &response);
    CheckSane(response);
    if (line.compare(0, 5, "HTTP/") == 0) {
      ResponseInfo fresh;
      fresh.status = response.status;
      fresh.fromProxy = response.status == 407;
      FUZZ_CHECK(!completed && Same(response, fresh));
    } else if (before.complete) {
      FUZZ_CHECK(!completed && Same(response, before));
    } else {
      FUZZ_CHECK(completed == response.complete);
    }
  }
  return 0;
}
