#include "http_date.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace bvhttptools {
namespace {

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
long long DaysFromCivil(long long year, unsigned month, unsigned day) {
  year -= month <= 2;
  const long long era = (year >= 0 ? year : year - 399) / 400;
  const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<long long>(dayOfEra) - 719468;
}

// 1..12 for "Jan".."Dec", else 0.
unsigned MonthOf(const char* name) {
  static const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  for (unsigned i = 0; i < 12; ++i) {
    if (std::strncmp(name, kMonths + 3 * i, 3) == 0) return i + 1;
  }
  return 0;
}

// The days of the month in that year (proleptic Gregorian).
int DaysIn(int year, unsigned month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

}  // namespace

std::optional<long long> HttpDateSeconds(const std::string& value) {
  char weekday[16] = {}, month[4] = {}, zone[4] = {}, rest = 0;
  int day = 0, year = 0, hour = 0, minute = 0, second = 0;
  const char* text = value.c_str();
  bool parsed =
      // IMF-fixdate: "Sun, 06 Nov 1994 08:49:37 GMT"
      (std::sscanf(text, "%3[A-Za-z], %2d %3[A-Za-z] %4d %2d:%2d:%2d %3[A-Z] %c", weekday, &day,
                   month, &year, &hour, &minute, &second, zone, &rest) == 8 &&
       std::strcmp(zone, "GMT") == 0) ||
      // RFC 850: "Sunday, 06-Nov-94 08:49:37 GMT"
      (std::sscanf(text, "%15[A-Za-z], %2d-%3[A-Za-z]-%2d %2d:%2d:%2d %3[A-Z] %c", weekday, &day,
                   month, &year, &hour, &minute, &second, zone, &rest) == 8 &&
       std::strcmp(zone, "GMT") == 0 && (year += year < 70 ? 2000 : 1900) > 0) ||
      // asctime: "Sun Nov  6 08:49:37 1994"
      std::sscanf(text, "%3[A-Za-z] %3[A-Za-z] %2d %2d:%2d:%2d %4d %c", weekday, month, &day,
                  &hour, &minute, &second, &year, &rest) == 7;
  unsigned monthNumber = MonthOf(month);
  // "%2d" also reads "-1": a field out of its range is garbage, not a date
  // to be carried over into the next minute, day or month.
  if (!parsed || monthNumber == 0 || day < 1 || day > DaysIn(year, monthNumber) || hour < 0 ||
      hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 60 || year < 1970) {
    return std::nullopt;
  }
  return DaysFromCivil(year, monthNumber, static_cast<unsigned>(day)) * 86400 + hour * 3600LL +
         minute * 60LL + second;
}

}  // namespace bvhttptools
