// Automation dates: days since 30 December 1899 with the time of day as the
// fraction. Days before that date are negative and their fraction still counts
// forward from midnight (-1.25 is 29 December 1899, 06:00).
#pragma once

#include <optional>

#include "ole/types.h"

struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;  // 0 = Sunday
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};

// Years 100 to 9999; every field in its range (milliseconds ignored). FALSE for
// an invalid field, the output untouched then.
INT SystemTimeToVariantTime(const SYSTEMTIME* st, DATE* out);
// Rounded to the nearest second; FALSE outside the years 100 to 9999.
INT VariantTimeToSystemTime(DATE d, SYSTEMTIME* out);

namespace ole {

inline constexpr DATE kMinDate = -657434.0;         // 1 January 100
inline constexpr DATE kMaxDate = 2958465.99999999;  // 31 December 9999, 23:59:59

struct CivilTime {
  int year, month, day, hour, minute, second;
};

std::optional<DATE> DateFromCivil(const CivilTime& t);
std::optional<CivilTime> CivilFromDate(DATE d);
// Day of the week of d, 0 = Sunday.
int DayOfWeek(DATE d);

}  // namespace ole
