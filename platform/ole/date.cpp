#include "ole/date.h"

#include <cmath>

namespace ole {
namespace {

constexpr bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

constexpr int DaysInMonth(int y, int m) {
  constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : days[m - 1];
}

// Days from 1 January 1970 of a proleptic Gregorian date (H. Hinnant's method).
constexpr long DaysFromCivil(long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long>(doe) - 719468;
}

constexpr void CivilFromDays(long z, int& y, int& m, int& d) {
  z += 719468;
  const long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(static_cast<long>(yoe) + era * 400 + (m <= 2));
}

constexpr long kEpoch = DaysFromCivil(1899, 12, 30);
static_assert(DaysFromCivil(100, 1, 1) - kEpoch == -657434);
static_assert(DaysFromCivil(9999, 12, 31) - kEpoch == 2958465);

// The calendar day (days from the epoch) that a DATE falls on.
long CalendarDay(DATE d) { return static_cast<long>(std::trunc(d)); }

}  // namespace

std::optional<DATE> DateFromCivil(const CivilTime& t) {
  if (t.year < 100 || t.year > 9999 || t.month < 1 || t.month > 12 || t.day < 1 ||
      t.day > DaysInMonth(t.year, t.month) || t.hour < 0 || t.hour > 23 || t.minute < 0 ||
      t.minute > 59 || t.second < 0 || t.second > 59)
    return std::nullopt;
  long days = DaysFromCivil(t.year, static_cast<unsigned>(t.month), static_cast<unsigned>(t.day)) - kEpoch;
  double frac = (t.hour * 3600.0 + t.minute * 60.0 + t.second) / 86400.0;
  return days >= 0 ? days + frac : days - frac;
}

std::optional<CivilTime> CivilFromDate(DATE d) {
  if (!(d > kMinDate - 1.0 && d < kMaxDate + 1.0)) return std::nullopt;  // NaN fails too
  long day = CalendarDay(d);
  double frac = std::fabs(d - static_cast<double>(day));
  long seconds = static_cast<long>(std::floor(frac * 86400.0 + 0.5));
  if (seconds >= 86400) {
    seconds -= 86400;
    ++day;
  }
  CivilTime t{};
  CivilFromDays(day + kEpoch, t.year, t.month, t.day);
  if (t.year < 100 || t.year > 9999) return std::nullopt;
  t.hour = static_cast<int>(seconds / 3600);
  t.minute = static_cast<int>(seconds / 60 % 60);
  t.second = static_cast<int>(seconds % 60);
  return t;
}

int DayOfWeek(DATE d) {
  long k = (CalendarDay(d) + 6) % 7;  // 30 December 1899 was a Saturday
  return static_cast<int>(k < 0 ? k + 7 : k);
}

}  // namespace ole

INT SystemTimeToVariantTime(const SYSTEMTIME* st, DATE* out) {
  if (!st || !out) return FALSE;
  auto d = ole::DateFromCivil({st->wYear, st->wMonth, st->wDay, st->wHour, st->wMinute, st->wSecond});
  if (!d) return FALSE;
  *out = *d;
  return TRUE;
}

INT VariantTimeToSystemTime(DATE d, SYSTEMTIME* out) {
  if (!out) return FALSE;
  auto t = ole::CivilFromDate(d);
  if (!t) return FALSE;
  // The day of the week of the rounded time (23:59:59.9 rolls into the next day).
  auto rounded = ole::DateFromCivil(*t);
  *out = SYSTEMTIME{static_cast<WORD>(t->year), static_cast<WORD>(t->month),
                    static_cast<WORD>(ole::DayOfWeek(*rounded)), static_cast<WORD>(t->day),
                    static_cast<WORD>(t->hour), static_cast<WORD>(t->minute),
                    static_cast<WORD>(t->second), 0};
  return TRUE;
}
