#include "ole/date.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

struct DateRow {
  ole::CivilTime t;
  DATE d;
};

// Values as Windows computes them.
const DateRow kDates[] = {
    {{1899, 12, 30, 0, 0, 0}, 0.0},
    {{1899, 12, 31, 0, 0, 0}, 1.0},
    {{1899, 12, 30, 6, 0, 0}, 0.25},
    {{1899, 12, 29, 0, 0, 0}, -1.0},
    {{1899, 12, 29, 6, 0, 0}, -1.25},  // the fraction counts forward on negative days
    {{1899, 12, 28, 18, 0, 0}, -2.75},
    {{1900, 1, 1, 0, 0, 0}, 2.0},
    {{1900, 3, 1, 0, 0, 0}, 61.0},  // 1900 is no leap year
    {{2000, 2, 29, 0, 0, 0}, 36585.0},
    {{2026, 12, 7, 12, 0, 0}, 46363.5},
};

TEST(Date, CivilToDateAndBack) {
  for (const auto& r : kDates) {
    auto d = ole::DateFromCivil(r.t);
    ASSERT_TRUE(d) << r.t.year << "-" << r.t.month << "-" << r.t.day;
    EXPECT_DOUBLE_EQ(*d, r.d) << r.t.year << "-" << r.t.month << "-" << r.t.day;
    auto back = ole::CivilFromDate(r.d);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->year, r.t.year);
    EXPECT_EQ(back->month, r.t.month);
    EXPECT_EQ(back->day, r.t.day);
    EXPECT_EQ(back->hour, r.t.hour);
    EXPECT_EQ(back->minute, r.t.minute);
    EXPECT_EQ(back->second, r.t.second);
  }
}

TEST(Date, RangeEnds) {
  EXPECT_EQ(ole::DateFromCivil({100, 1, 1, 0, 0, 0}), -657434.0);
  EXPECT_EQ(ole::DateFromCivil({9999, 12, 31, 0, 0, 0}), 2958465.0);
  auto last = ole::DateFromCivil({9999, 12, 31, 23, 59, 59});
  ASSERT_TRUE(last);
  auto t = ole::CivilFromDate(*last);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->second, 59);
  EXPECT_FALSE(ole::CivilFromDate(2958466.0));
  EXPECT_FALSE(ole::CivilFromDate(-657435.0));
  EXPECT_FALSE(ole::CivilFromDate(NAN));
  EXPECT_FALSE(ole::CivilFromDate(INFINITY));
}

TEST(Date, InvalidFieldsAreRejected) {
  const ole::CivilTime bad[] = {
      {99, 12, 31, 0, 0, 0},   {10000, 1, 1, 0, 0, 0}, {2026, 0, 1, 0, 0, 0},
      {2026, 13, 1, 0, 0, 0},  {2026, 1, 0, 0, 0, 0},  {2026, 4, 31, 0, 0, 0},
      {2025, 2, 29, 0, 0, 0},  {1900, 2, 29, 0, 0, 0}, {2026, 1, 1, 24, 0, 0},
      {2026, 1, 1, 0, 60, 0},  {2026, 1, 1, 0, 0, 60}, {2026, 1, 1, -1, 0, 0},
  };
  for (const auto& t : bad)
    EXPECT_FALSE(ole::DateFromCivil(t)) << t.year << "-" << t.month << "-" << t.day << " " << t.hour
                                        << ":" << t.minute << ":" << t.second;
  EXPECT_TRUE(ole::DateFromCivil({2024, 2, 29, 23, 59, 59}));
}

TEST(Date, SystemTimeRoundsToTheSecondAndGivesTheWeekday) {
  SYSTEMTIME st{};
  // 29 December 1899, 23:59:59.6 rounds into 30 December, a Saturday.
  ASSERT_TRUE(VariantTimeToSystemTime(-1.0 - (86399.6 / 86400.0), &st));
  EXPECT_EQ(st.wYear, 1899);
  EXPECT_EQ(st.wMonth, 12);
  EXPECT_EQ(st.wDay, 30);
  EXPECT_EQ(st.wHour, 0);
  EXPECT_EQ(st.wDayOfWeek, 6);
  ASSERT_TRUE(VariantTimeToSystemTime(46363.5 + 0.4 / 86400.0, &st));  // Monday 7 Dec 2026
  EXPECT_EQ(st.wDayOfWeek, 1);
  EXPECT_EQ(st.wHour, 12);
  EXPECT_EQ(st.wSecond, 0);
  EXPECT_EQ(st.wMilliseconds, 0);

  SYSTEMTIME in{2026, 12, 0, 7, 12, 0, 0, 999};  // milliseconds are ignored
  DATE d = -1;
  ASSERT_TRUE(SystemTimeToVariantTime(&in, &d));
  EXPECT_DOUBLE_EQ(d, 46363.5);
  SYSTEMTIME bad{2026, 2, 0, 30, 0, 0, 0, 0};
  d = 7;
  EXPECT_FALSE(SystemTimeToVariantTime(&bad, &d));
  EXPECT_EQ(d, 7);  // untouched on failure
  EXPECT_FALSE(VariantTimeToSystemTime(3e6, &st));
}

TEST(Date, EveryDayOfFourCenturiesRoundTrips) {
  // 146097 days: one whole Gregorian cycle, each at a distinct second of day.
  for (long day = -657434; day < -657434 + 146097; day += 1) {
    double frac = static_cast<double>(day % 86400 < 0 ? -(day % 86400) : day % 86400) / 86400.0;
    DATE d = day >= 0 ? day + frac : day - frac;
    auto t = ole::CivilFromDate(d);
    ASSERT_TRUE(t) << day;
    auto back = ole::DateFromCivil(*t);
    ASSERT_TRUE(back) << day;
    ASSERT_NEAR(*back, d, 1e-9) << day;
  }
}

}  // namespace
