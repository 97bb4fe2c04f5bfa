// Retry-After values as a server may send them: a pause is never negative,
// and a value that is neither delta-seconds nor a valid HTTP-date is none.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "resume.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string value(reinterpret_cast<const char*>(data), size);
  const auto now = std::chrono::system_clock::time_point(std::chrono::seconds(1700000000));
  const std::optional<std::chrono::seconds> pause = bvhttptools::RetryAfter(value, now);
  if (pause) FUZZ_CHECK(pause->count() >= 0);
  if (!value.empty() && value.find_first_not_of("0123456789") == std::string::npos) {
    FUZZ_CHECK(pause.has_value());
  }
  return 0;
}
