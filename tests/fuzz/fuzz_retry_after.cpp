// Retry-After values as a server may send them: a pause is never negative,
// and a value that is neither delta-seconds nor a valid HTTP-date is none.
// A date is valid only when the moment it yields reads back as the very
// fields written: 31 February or minute -1 is garbage, not 3 March or the
// previous hour.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

#include "fuzz_check.h"
#include "http_date.h"
#include "retry_rules.h"

namespace {

struct Written {
  int day = 0, year = 0, hour = 0, minute = 0, second = 0;
};

// The numbers as the value spells them, in any of the three forms.
bool ReadFields(const std::string& value, Written* w) {
  const char* text = value.c_str();
  char skip[16], month[4];
  if (std::sscanf(text, "%3[A-Za-z], %2d %3[A-Za-z] %4d %2d:%2d:%2d", skip, &w->day, month,
                  &w->year, &w->hour, &w->minute, &w->second) == 7) {
    return true;
  }
  if (std::sscanf(text, "%15[A-Za-z], %2d-%3[A-Za-z]-%2d %2d:%2d:%2d", skip, &w->day, month,
                  &w->year, &w->hour, &w->minute, &w->second) == 7) {
    w->year += w->year < 70 ? 2000 : 1900;
    return true;
  }
  return std::sscanf(text, "%3[A-Za-z] %3[A-Za-z] %2d %2d:%2d:%2d %4d", skip, month, &w->day,
                     &w->hour, &w->minute, &w->second, &w->year) == 7;
}

void CheckDateReadsBack(const std::string& value, long long seconds) {
  Written w;
  FUZZ_CHECK(ReadFields(value, &w));
  const std::time_t moment = static_cast<std::time_t>(seconds);
  std::tm civil{};
  FUZZ_CHECK(gmtime_r(&moment, &civil) != nullptr);
  // A leap second reads back as the next minute's first.
  if (w.second == 60) return;
  FUZZ_CHECK(civil.tm_mday == w.day && civil.tm_year + 1900 == w.year);
  FUZZ_CHECK(civil.tm_hour == w.hour && civil.tm_min == w.minute && civil.tm_sec == w.second);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string value(reinterpret_cast<const char*>(data), size);
  const auto now = std::chrono::system_clock::time_point(std::chrono::seconds(1700000000));
  const std::optional<std::chrono::seconds> pause = bvhttptools::RetryAfter(value, now);
  if (pause) FUZZ_CHECK(pause->count() >= 0);
  const bool digits = !value.empty() && value.find_first_not_of("0123456789") == std::string::npos;
  if (digits) FUZZ_CHECK(pause.has_value());
  const std::optional<long long> date = bvhttptools::HttpDateSeconds(value);
  if (pause && !digits) FUZZ_CHECK(date.has_value());
  if (date) CheckDateReadsBack(value, *date);
  return 0;
}
