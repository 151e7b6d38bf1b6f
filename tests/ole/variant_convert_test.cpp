// VariantChangeType(Ex): every source type into every target type at the edges
// of each range, text reading and writing, and the ownership rules (in place,
// failure leaves the destination alone, by-reference and object sources).
// Expected values follow Windows as recorded by Wine's oleaut32 tests.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "ole/object.h"
#include "ole/variant_convert.h"

namespace {

using i128 = __int128;

template <class T, T VARIANT::*Field>
CComVariant Make(VARTYPE vt, T value) {
  CComVariant v;
  v.llVal = 0;
  v.*Field = value;
  v.vt = vt;
  return v;
}
CComVariant I1(int x) { return Make<CHAR, &VARIANT::cVal>(VT_I1, static_cast<CHAR>(x)); }
CComVariant I2(SHORT x) { return Make<SHORT, &VARIANT::iVal>(VT_I2, x); }
CComVariant I4(LONG x) { return Make<LONG, &VARIANT::lVal>(VT_I4, x); }
CComVariant I8(LONGLONG x) { return Make<LONGLONG, &VARIANT::llVal>(VT_I8, x); }
CComVariant Int(INT x) { return Make<INT, &VARIANT::intVal>(VT_INT, x); }
CComVariant UI1(BYTE x) { return Make<BYTE, &VARIANT::bVal>(VT_UI1, x); }
CComVariant UI2(USHORT x) { return Make<USHORT, &VARIANT::uiVal>(VT_UI2, x); }
CComVariant UI4(ULONG x) { return Make<ULONG, &VARIANT::ulVal>(VT_UI4, x); }
CComVariant UI8(ULONGLONG x) { return Make<ULONGLONG, &VARIANT::ullVal>(VT_UI8, x); }
CComVariant UInt(UINT x) { return Make<UINT, &VARIANT::uintVal>(VT_UINT, x); }
CComVariant R4(FLOAT x) { return Make<FLOAT, &VARIANT::fltVal>(VT_R4, x); }
CComVariant R8(DOUBLE x) { return Make<DOUBLE, &VARIANT::dblVal>(VT_R8, x); }
CComVariant Date(DATE x) { return Make<DATE, &VARIANT::date>(VT_DATE, x); }
CComVariant Cy(LONGLONG scaled) { return Make<CY, &VARIANT::cyVal>(VT_CY, CY{scaled}); }
CComVariant Bool(VARIANT_BOOL x) { return Make<VARIANT_BOOL, &VARIANT::boolVal>(VT_BOOL, x); }
CComVariant Err(SCODE x) { return Make<SCODE, &VARIANT::scode>(VT_ERROR, x); }
CComVariant Str(const char* s) { return CComVariant(s); }
CComVariant Of(VARTYPE vt) { return Make<LONGLONG, &VARIANT::llVal>(vt, 0); }

std::string Dec(i128 v) {
  if (v == 0) return "0";
  bool neg = v < 0;
  std::string s;
  for (; v != 0; v /= 10) s.insert(s.begin(), static_cast<char>('0' + (neg ? -(v % 10) : v % 10)));
  return neg ? "-" + s : s;
}

std::string Real(double d, int digits) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.*g", digits, d);
  return buf;
}

// The value of a converted VARIANT as text independent of the code under test.
std::string Describe(const VARIANT& v) {
  switch (v.vt) {
    case VT_I1: return Dec(static_cast<signed char>(v.cVal));
    case VT_I2: return Dec(v.iVal);
    case VT_I4: return Dec(v.lVal);
    case VT_INT: return Dec(v.intVal);
    case VT_I8: return Dec(v.llVal);
    case VT_UI1: return Dec(v.bVal);
    case VT_UI2: return Dec(v.uiVal);
    case VT_UI4: return Dec(v.ulVal);
    case VT_UINT: return Dec(v.uintVal);
    case VT_UI8: return Dec(v.ullVal);
    case VT_R4: return Real(v.fltVal, 9);
    case VT_R8: return Real(v.dblVal, 17);
    case VT_DATE: return Real(v.date, 17);
    case VT_CY: return Dec(v.cyVal.int64);
    case VT_BOOL: return Dec(v.boolVal);
    case VT_ERROR: return Dec(v.scode);
    case VT_BSTR: return ole::BstrToUtf8(v.bstrVal);
    default: return "";
  }
}

std::string Hr(HRESULT hr) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(hr));
  return buf;
}

struct Row {
  CComVariant src;
  VARTYPE vt;
  HRESULT hr;
  std::string want;  // Describe() of the result when hr is S_OK
  WORD flags = 0;
};

void Expect(const Row& r) {
  SCOPED_TRACE(ole::VarTypeName(r.src.vt) + " " + Describe(r.src) + " -> " +
               ole::VarTypeName(r.vt));
  CComVariant out;
  HRESULT hr = VariantChangeTypeEx(&out, &r.src, 0x0409, r.flags, r.vt);
  ASSERT_EQ(Hr(hr), Hr(r.hr));
  if (SUCCEEDED(hr)) {
    EXPECT_EQ(out.vt, r.vt);
    EXPECT_EQ(Describe(out), r.want);
  } else {
    EXPECT_EQ(out.vt, VT_EMPTY);
  }
}
void ExpectAll(const std::vector<Row>& rows) {
  for (const Row& r : rows) Expect(r);
}

struct IntType {
  VARTYPE vt;
  i128 min, max;
};
const IntType kInts[] = {
    {VT_I1, -128, 127},
    {VT_UI1, 0, 255},
    {VT_I2, -32768, 32767},
    {VT_UI2, 0, 65535},
    {VT_I4, -2147483648LL, 2147483647},
    {VT_INT, -2147483648LL, 2147483647},
    {VT_UI4, 0, 4294967295LL},
    {VT_UINT, 0, 4294967295LL},
    {VT_I8, std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max()},
    {VT_UI8, 0, std::numeric_limits<std::uint64_t>::max()},
};

constexpr i128 kCyMax = std::numeric_limits<std::int64_t>::max();

// Each integer type at min, max and one past both, from every numeric source
// that can carry the value, and the rounding edges half a unit beyond.
TEST(VariantChangeType, IntegerLimitsFromEverySource) {
  for (const IntType& t : kInts) {
    std::vector<Row> rows;
    const bool small = t.max < (i128{1} << 53);
    for (i128 x : {t.min - 1, t.min, t.max, t.max + 1}) {
      const bool fits = x >= t.min && x <= t.max;
      const HRESULT hr = fits ? S_OK : DISP_E_OVERFLOW;
      if (x >= std::numeric_limits<std::int64_t>::min() &&
          x <= std::numeric_limits<std::int64_t>::max())
        rows.push_back({I8(static_cast<LONGLONG>(x)), t.vt, hr, Dec(x)});
      else if (x > 0 && x <= std::numeric_limits<std::uint64_t>::max())
        rows.push_back({UI8(static_cast<ULONGLONG>(x)), t.vt, hr, Dec(x)});
      rows.push_back({Str(Dec(x).c_str()), t.vt, hr, Dec(x)});
      if (small) rows.push_back({R8(static_cast<double>(x)), t.vt, hr, Dec(x)});
      if (x * 10000 <= kCyMax && x * 10000 >= -kCyMax - 1)
        rows.push_back({Cy(static_cast<LONGLONG>(x * 10000)), t.vt, hr, Dec(x)});
    }
    // max is odd and min even or zero: max + .5 rounds up out of range, min - .5 rounds back in.
    rows.push_back({Str((Dec(t.max) + ".4999999999999999999999").c_str()), t.vt, S_OK, Dec(t.max)});
    rows.push_back({Str((Dec(t.max) + ".5").c_str()), t.vt, DISP_E_OVERFLOW, ""});
    const std::string below = t.min == 0 ? "-0" : Dec(t.min);
    rows.push_back({Str((below + ".5").c_str()), t.vt, S_OK, Dec(t.min)});
    rows.push_back({Str((below + ".5000000000000000000001").c_str()), t.vt, DISP_E_OVERFLOW, ""});
    if (small) {
      rows.push_back({R8(static_cast<double>(t.max) + 0.4), t.vt, S_OK, Dec(t.max)});
      rows.push_back({R8(static_cast<double>(t.max) + 0.5), t.vt, DISP_E_OVERFLOW, ""});
      rows.push_back({R8(static_cast<double>(t.min) - 0.5), t.vt, S_OK, Dec(t.min)});
      rows.push_back({R8(static_cast<double>(t.min) - 0.51), t.vt, DISP_E_OVERFLOW, ""});
      rows.push_back({Cy(static_cast<LONGLONG>(t.max * 10000 + 5000)), t.vt, DISP_E_OVERFLOW, ""});
      rows.push_back({Cy(static_cast<LONGLONG>(t.min * 10000 - 5000)), t.vt, S_OK, Dec(t.min)});
    }
    ExpectAll(rows);
  }
  ExpectAll({
      {R8(9223372036854775808.0), VT_I8, DISP_E_OVERFLOW, ""},
      {R8(-9223372036854775808.0), VT_I8, S_OK, "-9223372036854775808"},
      {R8(9223372036854775808.0), VT_UI8, S_OK, "9223372036854775808"},
      {R8(18446744073709551616.0), VT_UI8, DISP_E_OVERFLOW, ""},
      {R8(std::nan("")), VT_I4, DISP_E_OVERFLOW, ""}, {R8(INFINITY), VT_I8, DISP_E_OVERFLOW, ""},
      {Str("123456789012345678901234567890"), VT_UI8, DISP_E_OVERFLOW, ""},
      {UInt(0xFFFFFFFFu), VT_I4, S_OK, "-1"},  // Windows does not check this one cell
      {UI4(0xFFFFFFFFu), VT_I4, DISP_E_OVERFLOW, ""},
  });
}

// The value 1 (and -1) from every numeric source into every value target.
TEST(VariantChangeType, EveryValueCell) {
  const std::vector<CComVariant> ones = {I1(1), I2(1), I4(1), I8(1), Int(1), UI1(1), UI2(1), UI4(1),
                                         UI8(1), UInt(1), R4(1), R8(1), Cy(10000), Date(1),
                                         Str("1"), Bool(1)};
  const std::vector<CComVariant> minusOnes = {I1(-1), I2(-1), I4(-1), I8(-1), Int(-1), R4(-1),
                                              R8(-1), Cy(-10000), Date(-1), Str("-1"), Bool(-1)};
  const VARTYPE targets[] = {VT_I1, VT_I2, VT_I4, VT_I8, VT_INT, VT_UI1, VT_UI2, VT_UI4, VT_UI8,
                             VT_UINT, VT_R4, VT_R8, VT_CY, VT_DATE, VT_BSTR, VT_BOOL};
  std::vector<Row> rows;
  for (const CComVariant& s : ones) {
    for (VARTYPE t : targets) {
      std::string want = "1";
      if (t == VT_CY) want = "10000";
      if (t == VT_BOOL && s.vt != VT_BOOL) want = "-1";
      if (t == VT_BSTR && s.vt == VT_DATE) want = "12/31/1899";
      // Text is read as a date only in a date's form, as on Windows: "1" is none.
      rows.push_back({s, t, t == VT_DATE && s.vt == VT_BSTR ? DISP_E_TYPEMISMATCH : S_OK, want});
    }
  }
  for (const CComVariant& s : minusOnes) {
    for (VARTYPE t : targets) {
      const bool isUnsigned =
          t == VT_UI1 || t == VT_UI2 || t == VT_UI4 || t == VT_UI8 || t == VT_UINT;
      if (isUnsigned && s.vt != VT_BOOL) {
        rows.push_back({s, t, DISP_E_OVERFLOW, ""});
        continue;
      }
      std::string want = "-1";
      if (isUnsigned) {  // booleans wrap: VARIANT_TRUE is the type's maximum
        for (const IntType& it : kInts)
          if (it.vt == t) want = Dec(it.max);
      }
      if (t == VT_CY) want = "-10000";
      if (t == VT_BSTR && s.vt == VT_DATE) want = "12/29/1899";
      rows.push_back({s, t, t == VT_DATE && s.vt == VT_BSTR ? DISP_E_TYPEMISMATCH : S_OK, want});
    }
  }
  ExpectAll(rows);
}

TEST(VariantChangeType, RoundsHalfToEven) {
  ExpectAll({
      {R8(2.5), VT_I4, S_OK, "2"}, {R8(3.5), VT_I4, S_OK, "4"}, {R8(-2.5), VT_I4, S_OK, "-2"},
      {R8(-3.5), VT_I4, S_OK, "-4"}, {R8(0.5), VT_I4, S_OK, "0"}, {R8(-0.5), VT_I4, S_OK, "0"},
      {R8(1.5), VT_I2, S_OK, "2"}, {R8(0.6), VT_I2, S_OK, "1"}, {R8(-0.6), VT_I1, S_OK, "-1"},
      {R8(2.4999999), VT_I8, S_OK, "2"}, {R4(2.5f), VT_I4, S_OK, "2"},
      {R4(3.5f), VT_UI1, S_OK, "4"}, {Date(2.5), VT_I4, S_OK, "2"}, {Date(-1.5), VT_I4, S_OK, "-2"},
      {Cy(25000), VT_I4, S_OK, "2"}, {Cy(35000), VT_I4, S_OK, "4"}, {Cy(-25000), VT_I4, S_OK, "-2"},
      {Cy(5000), VT_I4, S_OK, "0"}, {Cy(15001), VT_I4, S_OK, "2"}, {Cy(14999), VT_I4, S_OK, "1"},
      {Cy(-5000), VT_UI1, S_OK, "0"}, {Cy(-5001), VT_UI1, DISP_E_OVERFLOW, ""},
      {Str("2.5"), VT_I4, S_OK, "2"}, {Str("3.5"), VT_I4, S_OK, "4"},
      {Str("-2.5"), VT_I4, S_OK, "-2"}, {Str("2.50000000000000000000000000001"), VT_I4, S_OK, "3"},
      {Str("0.0000000000000000000000000000000000000000000000000009"), VT_I4, S_OK, "0"},
      {Str("-0.6"), VT_UI1, DISP_E_OVERFLOW, ""}, {Str("-0.4"), VT_UI8, S_OK, "0"},
  });
}

TEST(VariantChangeType, ReadsNumbersFromText) {
  ExpectAll({
      {Str(" 42 "), VT_I4, S_OK, "42"}, {Str("\t+7"), VT_I4, S_OK, "7"},
      {Str("- 7"), VT_I4, S_OK, "-7"}, {Str("7-"), VT_I4, S_OK, "-7"},
      {Str("(7)"), VT_I4, S_OK, "-7"}, {Str("$5"), VT_I4, S_OK, "5"},
      {Str("1,234"), VT_I4, S_OK, "1234"}, {Str("1,234,567.5"), VT_I4, S_OK, "1234568"},
      {Str("1.5e3"), VT_I4, S_OK, "1500"}, {Str("15E-1"), VT_I4, S_OK, "2"},
      {Str("1e+01"), VT_I4, S_OK, "10"}, {Str(".5"), VT_R8, S_OK, "0.5"},
      {Str("1."), VT_R8, S_OK, "1"}, {Str("0.1"), VT_R8, S_OK, "0.10000000000000001"},
      {Str("-1.5e-3"), VT_R8, S_OK, "-0.0015"}, {Str("1e308"), VT_R8, S_OK, "1e+308"},
      {Str("1e309"), VT_R8, DISP_E_OVERFLOW, ""}, {Str("1e-400"), VT_R8, S_OK, "0"},
      {Str("1e99999999999999999999"), VT_R8, DISP_E_OVERFLOW, ""},
      {Str("3.5e38"), VT_R4, DISP_E_OVERFLOW, ""}, {Str("0.1"), VT_R4, S_OK, "0.100000001"},
      {Str("&H10"), VT_I4, S_OK, "16"}, {Str("&hff"), VT_UI1, S_OK, "255"},
      {Str("&O17"), VT_I4, S_OK, "15"}, {Str("&HFFFF"), VT_I2, S_OK, "-1"},
      {Str("&HFFFF"), VT_I4, S_OK, "65535"}, {Str("&H8000"), VT_I2, S_OK, "-32768"},
      {Str("&H10000"), VT_I2, DISP_E_OVERFLOW, ""}, {Str("&HFF"), VT_I1, S_OK, "-1"},
      {Str("&HFFFFFFFFFFFFFFFF"), VT_I8, S_OK, "-1"},
      {Str("&HFFFFFFFFFFFFFFFF"), VT_UI8, S_OK, "18446744073709551615"},
      {Str("&H1FFFFFFFFFFFFFFFF"), VT_UI8, DISP_E_OVERFLOW, ""}, {Str("-&H10"), VT_I4, S_OK, "-16"},
      {Str("&HFF"), VT_R8, S_OK, "255"}, {Str("0100"), VT_I4, S_OK, "100"},
  });
  for (const char* bad : {"",
                          " ",
                          "abc",
                          "12abc",
                          "1 2",
                          "--1",
                          "+-1",
                          "1e",
                          "1e+",
                          "&H",
                          "&HG",
                          "&O8",
                          "1.2.3",
                          ",5",
                          "()",
                          "(5",
                          "5)",
                          "1$",
                          "0x10",
                          "&H1.5",
                          "\xE2\x80\x8B"
                          "1"})
    Expect({Str(bad), VT_I4, DISP_E_TYPEMISMATCH, ""});
}

TEST(VariantChangeType, Booleans) {
  ExpectAll({
      {Bool(VARIANT_TRUE), VT_BSTR, S_OK, "-1"}, {Bool(VARIANT_FALSE), VT_BSTR, S_OK, "0"},
      {Bool(VARIANT_TRUE), VT_BSTR, S_OK, "True", VARIANT_ALPHABOOL},
      {Bool(VARIANT_FALSE), VT_BSTR, S_OK, "False", VARIANT_ALPHABOOL},
      {Bool(VARIANT_TRUE), VT_R8, S_OK, "-1"}, {Bool(VARIANT_TRUE), VT_DATE, S_OK, "-1"},
      {Bool(VARIANT_TRUE), VT_UI2, S_OK, "65535"},
      {Bool(VARIANT_TRUE), VT_UI8, S_OK, "18446744073709551615"},
      {Bool(VARIANT_TRUE), VT_I1, S_OK, "-1"}, {Bool(128), VT_I1, S_OK, "-128"},
      {I4(5), VT_BOOL, S_OK, "-1"},           {UI8(1ull << 63), VT_BOOL, S_OK, "-1"},
      {R8(0.1), VT_BOOL, S_OK, "-1"},         {R8(-0.0), VT_BOOL, S_OK, "0"},
      {Cy(1), VT_BOOL, S_OK, "-1"},           {Cy(0), VT_BOOL, S_OK, "0"},
      {Str("True"), VT_BOOL, S_OK, "-1"},     {Str(" false "), VT_BOOL, S_OK, "0"},
      {Str("TRUE"), VT_BOOL, S_OK, "-1"},     {Str("#TRUE#"), VT_BOOL, S_OK, "-1"},
      {Str("#FALSE#"), VT_BOOL, S_OK, "0"},   {Str("#True#"), VT_BOOL, DISP_E_TYPEMISMATCH, ""},
      {Str("yes"), VT_BOOL, DISP_E_TYPEMISMATCH, ""}, {Str("On"), VT_BOOL, DISP_E_TYPEMISMATCH, ""},
      {Str("0"), VT_BOOL, S_OK, "0"},         {Str("+1"), VT_BOOL, S_OK, "-1"},
      {Str("0.1"), VT_BOOL, S_OK, "-1"},      {Str("&H0"), VT_BOOL, S_OK, "0"},
      {Str("True"), VT_I4, DISP_E_TYPEMISMATCH, ""},
  });
}

TEST(VariantChangeType, WritesNumbersAsText) {
  ExpectAll({
      {R8(1), VT_BSTR, S_OK, "1"}, {R8(0.5), VT_BSTR, S_OK, "0.5"},
      {R8(-1.5), VT_BSTR, S_OK, "-1.5"}, {R8(1e20), VT_BSTR, S_OK, "1E+20"},
      {R8(1e15), VT_BSTR, S_OK, "1E+15"}, {R8(123456789012345.0), VT_BSTR, S_OK, "123456789012345"},
      {R8(1e-5), VT_BSTR, S_OK, "1E-05"}, {R8(0.0001), VT_BSTR, S_OK, "0.0001"},
      {R8(1.0 / 3), VT_BSTR, S_OK, "0.333333333333333"},
      {R8(2.0 / 3), VT_BSTR, S_OK, "0.666666666666667"}, {R8(0.1 + 0.2), VT_BSTR, S_OK, "0.3"},
      {R8(-0.0), VT_BSTR, S_OK, "0"},
      {R8(1.7976931348623157e308), VT_BSTR, S_OK, "1.79769313486232E+308"},
      {R8(-2.5e-300), VT_BSTR, S_OK, "-2.5E-300"}, {R4(654322.23456f), VT_BSTR, S_OK, "654322.2"},
      {R4(0.1f), VT_BSTR, S_OK, "0.1"}, {R4(1e20f), VT_BSTR, S_OK, "1E+20"},
      {R4(16777216.0f), VT_BSTR, S_OK, "1.677722E+07"},
      {I8(std::numeric_limits<std::int64_t>::min()), VT_BSTR, S_OK, "-9223372036854775808"},
      {UI8(std::numeric_limits<std::uint64_t>::max()), VT_BSTR, S_OK, "18446744073709551615"},
      {I1(-128), VT_BSTR, S_OK, "-128"}, {UI1(255), VT_BSTR, S_OK, "255"},
      {Str("  as is \xC3\xA9 "), VT_BSTR, S_OK, "  as is \xC3\xA9 "},
      {R8(3.5e38), VT_R4, DISP_E_OVERFLOW, ""}, {R8(-3.5e38), VT_R4, DISP_E_OVERFLOW, ""},
      {R8(INFINITY), VT_R4, DISP_E_OVERFLOW, ""}, {R8(1e38), VT_R4, S_OK, "9.99999968e+37"},
      {UI8(std::numeric_limits<std::uint64_t>::max()), VT_R8, S_OK, "1.8446744073709552e+19"},
  });
}

TEST(VariantChangeType, Currency) {
  ExpectAll({
      {Cy(0), VT_BSTR, S_OK, "0"},              {Cy(15000), VT_BSTR, S_OK, "1.5"},
      {Cy(-15000), VT_BSTR, S_OK, "-1.5"},      {Cy(9), VT_BSTR, S_OK, "0.0009"},
      {Cy(4294967295LL), VT_BSTR, S_OK, "429496.7295"},
      {Cy(std::numeric_limits<std::int64_t>::max()), VT_BSTR, S_OK, "922337203685477.5807"},
      {Cy(std::numeric_limits<std::int64_t>::min()), VT_BSTR, S_OK, "-922337203685477.5808"},
      {Str("1.5"), VT_CY, S_OK, "15000"},       {Str("0.00005"), VT_CY, S_OK, "0"},
      {Str("0.00015"), VT_CY, S_OK, "2"},       {Str("0.00025"), VT_CY, S_OK, "2"},
      {Str("-0.00015"), VT_CY, S_OK, "-2"},     {Str("0.000051"), VT_CY, S_OK, "1"},
      {Str("922337203685477.5807"), VT_CY, S_OK, "9223372036854775807"},
      {Str("922337203685477.58075"), VT_CY, DISP_E_OVERFLOW, ""},
      {Str("-922337203685477.5808"), VT_CY, S_OK, "-9223372036854775808"},
      {Str("-922337203685477.5809"), VT_CY, DISP_E_OVERFLOW, ""},
      {R8(1.5), VT_CY, S_OK, "15000"},          {R8(0.00006103515625), VT_CY, S_OK, "1"},
      {R8(-1.00009), VT_CY, S_OK, "-10001"},    {R8(1e15), VT_CY, DISP_E_OVERFLOW, ""},
      {R8(-922337203685477.0), VT_CY, S_OK, "-9223372036854770000"},
      {R8(std::nan("")), VT_CY, DISP_E_OVERFLOW, ""},
      {I8(922337203685477LL), VT_CY, S_OK, "9223372036854770000"},
      {I8(922337203685478LL), VT_CY, DISP_E_OVERFLOW, ""},
      {I8(-922337203685477LL), VT_CY, S_OK, "-9223372036854770000"},
      {I8(-922337203685478LL), VT_CY, DISP_E_OVERFLOW, ""},
      {UI8(922337203685478ULL), VT_CY, DISP_E_OVERFLOW, ""},
      {Cy(-15000), VT_R8, S_OK, "-1.5"},        {Cy(12345), VT_DATE, S_OK, "1.2344999999999999"},
  });
}

TEST(VariantChangeType, DatesAsText) {
  ExpectAll({
      {Date(0), VT_BSTR, S_OK, "12:00:00 AM"}, {Date(0.5), VT_BSTR, S_OK, "12:00:00 PM"},
      {Date(1), VT_BSTR, S_OK, "12/31/1899"}, {Date(3.34), VT_BSTR, S_OK, "1/2/1900 8:09:36 AM"},
      {Date(365), VT_BSTR, S_OK, "12/30/1900"},
      {Date(365.25), VT_BSTR, S_OK, "12/30/1900 6:00:00 AM"},
      {Date(1461.5), VT_BSTR, S_OK, "12/31/1903 12:00:00 PM"},
      {Date(-49192.24), VT_BSTR, S_OK, "4/24/1765 5:45:36 AM"},
      {Date(-657434), VT_BSTR, S_OK, "1/1/100"}, {Date(2958465), VT_BSTR, S_OK, "12/31/9999"},
      {Date(25570.999999), VT_BSTR, S_OK, "1/3/1970"},  // 23:59:59.9 rounds into the next day
      {Date(3e6), VT_BSTR, E_INVALIDARG, ""}, {I4(2958465), VT_DATE, S_OK, "2958465"},
      {I4(2958466), VT_DATE, DISP_E_OVERFLOW, ""}, {I4(-657434), VT_DATE, S_OK, "-657434"},
      {I4(-657435), VT_DATE, DISP_E_OVERFLOW, ""},
      {R8(2958465.9), VT_DATE, S_OK, "2958465.8999999999"},
      {R8(2958466.0), VT_DATE, DISP_E_OVERFLOW, ""},
      {R8(-657434.9), VT_DATE, S_OK, "-657434.90000000002"},
      {R8(-657435.0), VT_DATE, DISP_E_OVERFLOW, ""},
      {R8(std::nan("")), VT_DATE, DISP_E_OVERFLOW, ""},
  });
}

TEST(VariantChangeType, DatesFromText) {
  struct DateRow {
    const char* text;
    double want;  // < -1e9: DISP_E_TYPEMISMATCH
  };
  constexpr double kBad = -2e9;
  const DateRow rows[] = {
      {"1/2/1970", 25570}, {"1-2-1970", 25570}, {"1/2/70", 25570}, {"1970-1-13", 25581},
      {"13-1-1970", 25581}, {"1970/01/13", 25581}, {"2 January 1970", 25570},
      {"2 January, 1970", 25570}, {"January 2, 1970", 25570}, {"2-Jan-1970", 25570},
      {"Sep 1 2000", 36770}, {"Jan 35", 12785}, {"1/2/29", 47120}, {"1/2/30", 10960},
      {"14 2 3", 41673}, {"12/31/1899", 1}, {"1/1/100", -657434}, {"12/31/9999", 2958465},
      {"6/30/2011 01:20:34", 40724 + 4834 / 86400.0},
      {"6/30/2011 01:20:34 PM", 40724 + 48034 / 86400.0},
      {"01:20:34 PM 6/30/2011", 40724 + 48034 / 86400.0}, {"1 am", 1 / 24.0},
      {"12:59 AM", 59 / 1440.0}, {"12:59 p", 779 / 1440.0}, {"00:00 pm", 0.5},
      {"13:00 AM", 13 / 24.0}, {" 23:59:59 ", 86399 / 86400.0}, {"12/29/1899 6:00", -1.25},
      {"1/2/1970 12:00:00 AM", 25570}, {"0:60", kBad}, {"24:00", kBad}, {"0.0", kBad}, {"0", kBad},
      {"1", kBad}, {"True", kBad}, {"2/30/2020", kBad}, {"13/13/2000", kBad}, {"", kBad},
      {"1:2:3:4", kBad}, {"1/2/1970 1 pm 2 pm", kBad}, {"1/1/99999", kBad}, {"1.5 2", kBad},
      {"1/2/1970 am", kBad},
  };
  for (const DateRow& r : rows) {
    SCOPED_TRACE(r.text);
    CComVariant src(r.text), out;
    HRESULT hr = VariantChangeType(&out, &src, 0, VT_DATE);
    if (r.want < -1e9) {
      EXPECT_EQ(Hr(hr), Hr(DISP_E_TYPEMISMATCH));
      EXPECT_EQ(out.vt, VT_EMPTY);
    } else {
      ASSERT_EQ(Hr(hr), Hr(S_OK));
      EXPECT_EQ(out.vt, VT_DATE);
      EXPECT_NEAR(out.date, r.want, 1e-9);
    }
  }
  // Without a year, the current year.
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  CComVariant withYear(("1/2/" + std::to_string(local.tm_year + 1900)).c_str());
  ASSERT_EQ(withYear.ChangeType(VT_DATE), S_OK);
  for (const char* text : {"1/2", "Jan 2", "2 Jan"}) {
    CComVariant v(text);
    ASSERT_EQ(Hr(v.ChangeType(VT_DATE)), Hr(S_OK)) << text;
    EXPECT_EQ(v.date, withYear.date) << text;
  }
}

// VT_EMPTY, VT_NULL, VT_ERROR and a number against every target, and the
// targets and sources this runtime cannot hold.
TEST(VariantChangeType, EmptyNullErrorAndBadTypes) {
  enum Kind { Value, Empty, Null, Interface, Error, Mismatch, Bad };
  const std::pair<VARTYPE, Kind> targets[] = {
      {VT_EMPTY, Empty}, {VT_NULL, Null}, {VT_I1, Value}, {VT_I2, Value}, {VT_I4, Value},
      {VT_I8, Value}, {VT_UI1, Value}, {VT_UI2, Value}, {VT_UI4, Value}, {VT_UI8, Value},
      {VT_INT, Value}, {VT_UINT, Value}, {VT_R4, Value}, {VT_R8, Value}, {VT_CY, Value},
      {VT_DATE, Value}, {VT_BSTR, Value}, {VT_BOOL, Value}, {VT_DISPATCH, Interface},
      {VT_UNKNOWN, Interface}, {VT_ERROR, Error}, {VT_VARIANT, Mismatch}, {VT_RECORD, Mismatch},
      {VT_DECIMAL, Bad}, {VT_VOID, Bad}, {VT_HRESULT, Bad}, {VT_PTR, Bad}, {VT_LPSTR, Bad},
      {15, Bad}, {VT_ARRAY | VT_I4, Bad}, {VT_BYREF | VT_I4, Bad}, {VT_VECTOR | VT_I4, Bad},
      {0x3847, Bad},
  };
  std::vector<Row> rows;
  for (auto [t, kind] : targets) {
    auto otherwise = [kind = kind](bool ok) {
      return ok ? S_OK : kind == Bad ? DISP_E_BADVARTYPE : DISP_E_TYPEMISMATCH;
    };
    const bool cleared = kind == Empty || kind == Null;
    rows.push_back(
        {Of(VT_EMPTY), t, otherwise(kind == Value || cleared), t == VT_BSTR || cleared ? "" : "0"});
    rows.push_back({Of(VT_NULL), t, otherwise(kind == Null), ""});
    rows.push_back(
        {Err(DISP_E_PARAMNOTFOUND), t, otherwise(kind == Error), Dec(DISP_E_PARAMNOTFOUND)});
    std::string seven = cleared ? "" : t == VT_CY ? "70000" : t == VT_BOOL ? "-1" : "7";
    rows.push_back({I4(7), t, otherwise(kind == Value || cleared), seven});
    rows.push_back({Str("7"), t, otherwise((kind == Value && t != VT_DATE) || cleared), seven});
  }
  ExpectAll(rows);
  for (VARTYPE s : {VARTYPE(VT_DECIMAL), VARTYPE(VT_RECORD), VARTYPE(VT_VARIANT), VARTYPE(15),
                    VARTYPE(VT_ARRAY | VT_I4), VARTYPE(VT_EMPTY | VT_BYREF),
                    VARTYPE(VT_NULL | VT_BYREF), VARTYPE(VT_VOID), VARTYPE(0xFFF)}) {
    VARIANT raw{};
    raw.vt = s;
    CComVariant out;
    EXPECT_EQ(Hr(VariantChangeType(&out, &raw, 0, VT_I4)), Hr(DISP_E_BADVARTYPE)) << s;
  }
}

TEST(VariantChangeType, ReadsThroughReferences) {
  LONG l = -5;
  double d = 2.5;
  BSTR b = SysAllocString(u"12");
  VARIANT inner = I2(300);
  VARIANT ref{};
  auto via = [&](VARTYPE vt, void* p) {
    ref.vt = vt | VT_BYREF;
    ref.byref = p;
    return ref;
  };
  ExpectAll({
      {via(VT_I4, &l), VT_R8, S_OK, "-5"}, {via(VT_R8, &d), VT_I4, S_OK, "2"},
      {via(VT_BSTR, &b), VT_I4, S_OK, "12"}, {via(VT_BSTR, &b), VT_BSTR, S_OK, "12"},
      {via(VT_VARIANT, &inner), VT_UI1, DISP_E_OVERFLOW, ""},
      {via(VT_VARIANT, &inner), VT_BSTR, S_OK, "300"},
      {via(VT_I4, nullptr), VT_I4, DISP_E_TYPEMISMATCH, ""},
      {via(VT_VARIANT, nullptr), VT_VARIANT, DISP_E_TYPEMISMATCH, ""},
      {via(VT_I4, &l), VT_BYREF | VT_I4, DISP_E_BADVARTYPE, ""},
  });
  // The string is copied, never taken over.
  CComVariant out;
  VARIANT toString = via(VT_BSTR, &b);
  ASSERT_EQ(VariantChangeType(&out, &toString, 0, VT_BSTR), S_OK);
  EXPECT_NE(out.bstrVal, b);
  VARIANT refToRef = via(VT_VARIANT, &inner), outer{};
  outer.vt = VT_VARIANT | VT_BYREF;
  outer.pvarVal = &refToRef;
  EXPECT_EQ(Hr(VariantChangeType(&out, &outer, 0, VT_I4)), Hr(E_INVALIDARG));
  EXPECT_EQ(out.vt, VT_BSTR);
  SysFreeString(b);
}

TEST(VariantChangeType, InPlaceAndFailureLeaveDestAlone) {
  const long before = ole::LiveBstrCount();
  CComVariant v("42");
  ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_I4), S_OK);
  EXPECT_EQ(v.vt, VT_I4);
  EXPECT_EQ(v.lVal, 42);
  EXPECT_EQ(ole::LiveBstrCount(), before);  // the old string was freed

  CComVariant text("forty-two");
  BSTR original = text.bstrVal;
  EXPECT_EQ(Hr(VariantChangeType(&text, &text, 0, VT_INT)), Hr(DISP_E_TYPEMISMATCH));
  EXPECT_EQ(text.vt, VT_BSTR);
  EXPECT_EQ(text.bstrVal, original);

  CComVariant dest("old");
  EXPECT_EQ(Hr(VariantChangeType(&dest, &text, 0, VT_I4)), Hr(DISP_E_TYPEMISMATCH));
  EXPECT_EQ(ole::BstrToUtf8(dest.bstrVal), "old");

  // A destination of no valid type cannot be cleared: the value is not stored.
  VARIANT odd{};
  odd.vt = 0xFF;
  EXPECT_EQ(Hr(VariantChangeType(&odd, &text, 0, VT_INT)), Hr(DISP_E_TYPEMISMATCH));
  EXPECT_EQ(Hr(VariantChangeType(&odd, &text, 0, VT_BSTR)), Hr(DISP_E_BADVARTYPE));
  EXPECT_EQ(odd.vt, 0xFF);
  EXPECT_EQ(ole::LiveBstrCount(), before + 2);  // text and dest only: nothing leaked
}

// An object whose value property is a fixed VARIANT, recording how it was asked.
class ValueObject : public ole::ComObject<IDispatch> {
 public:
  explicit ValueObject(CComVariant value, HRESULT fail = S_OK)
      : value_(std::move(value)), fail_(fail) {}
  HRESULT GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* excep, UINT* argErr) override {
    ++calls;
    asked = id == DISPID_VALUE && riid == IID_NULL && flags == DISPATCH_PROPERTYGET && params &&
            params->cArgs == 0 && params->cNamedArgs == 0 && result && result->vt == VT_EMPTY &&
            !excep && !argErr;
    lastLcid = lcid;
    if (FAILED(fail_)) return fail_;
    if (returnSelf) {
      AddRef();
      result->vt = VT_DISPATCH;
      result->pdispVal = this;
      return S_OK;
    }
    return VariantCopy(result, &value_);
  }
  int calls = 0;
  bool asked = false;
  LCID lastLcid = 0;
  bool returnSelf = false;

 private:
  CComVariant value_;
  HRESULT fail_;
};

CComVariant Dispatch(IDispatch* d) {
  CComVariant v;
  v.vt = VT_DISPATCH;
  v.pdispVal = d;
  if (d) d->AddRef();
  return v;
}

TEST(VariantChangeType, ObjectsConvertThroughTheirValueProperty) {
  auto obj = ole::MakeObject<ValueObject>(CComVariant(" 3.5 "));
  CComVariant src = Dispatch(obj.Get()), out;
  ASSERT_EQ(Hr(VariantChangeTypeEx(&out, &src, 0x0407, 0, VT_I4)), Hr(S_OK));
  EXPECT_EQ(out.vt, VT_I4);
  EXPECT_EQ(out.lVal, 4);
  EXPECT_EQ(obj->calls, 1);
  EXPECT_TRUE(obj->asked);
  EXPECT_EQ(obj->lastLcid, 0x0407u);
  ASSERT_EQ(VariantChangeType(&out, &src, 0, VT_BSTR), S_OK);
  EXPECT_EQ(ole::BstrToUtf8(out.bstrVal), " 3.5 ");

  // Asking without the value property, or for a slot that holds no value, does not call it.
  EXPECT_EQ(Hr(VariantChangeType(&out, &src, VARIANT_NOVALUEPROP, VT_I4)), Hr(DISP_E_TYPEMISMATCH));
  EXPECT_EQ(Hr(VariantChangeType(&out, &src, 0, VT_EMPTY)), Hr(S_OK));
  EXPECT_EQ(Hr(VariantChangeType(&out, &src, 0, VT_ERROR)), Hr(DISP_E_TYPEMISMATCH));
  EXPECT_EQ(obj->calls, 2);

  auto failing = ole::MakeObject<ValueObject>(CComVariant(), E_OUTOFMEMORY);
  CComVariant bad = Dispatch(failing.Get()), dest = I4(9);
  EXPECT_EQ(Hr(VariantChangeType(&dest, &bad, 0, VT_UI1)), Hr(DISP_E_TYPEMISMATCH));
  EXPECT_EQ(dest.vt, VT_I4);
  EXPECT_EQ(dest.lVal, 9);
  EXPECT_EQ(failing->calls, 1);

  auto loop = ole::MakeObject<ValueObject>(CComVariant());
  loop->returnSelf = true;
  CComVariant looping = Dispatch(loop.Get());
  EXPECT_EQ(Hr(VariantChangeType(&out, &looping, 0, VT_I4)), Hr(DISP_E_TYPEMISMATCH));
  EXPECT_GT(loop->calls, 1);
  EXPECT_EQ(RefCountOf(loop.Get()), 2u);  // loop and looping: every reference handed out came back

  CComVariant none = Dispatch(nullptr);
  EXPECT_EQ(Hr(VariantChangeType(&out, &none, 0, VT_I4)), Hr(DISP_E_TYPEMISMATCH));
  ASSERT_EQ(Hr(VariantChangeType(&out, &none, 0, VT_UNKNOWN)), Hr(S_OK));
  EXPECT_EQ(out.vt, VT_UNKNOWN);
  EXPECT_EQ(out.punkVal, nullptr);
}

TEST(VariantChangeType, InterfacesKeepTheirReferencesBalanced) {
  auto obj = ole::MakeObject<ValueObject>(I4(1));
  IUnknown* unk = nullptr;
  ASSERT_EQ(obj->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unk)), S_OK);
  CComVariant u;
  u.vt = VT_UNKNOWN;
  u.punkVal = unk;  // u owns that reference
  ASSERT_EQ(RefCountOf(obj.Get()), 2u);

  CComVariant asDispatch;
  ASSERT_EQ(Hr(VariantChangeType(&asDispatch, &u, 0, VT_DISPATCH)), Hr(S_OK));
  EXPECT_EQ(asDispatch.vt, VT_DISPATCH);
  EXPECT_EQ(asDispatch.pdispVal, static_cast<IDispatch*>(obj.Get()));
  EXPECT_EQ(RefCountOf(obj.Get()), 3u);

  ASSERT_EQ(VariantChangeType(&asDispatch, &asDispatch, 0, VT_UNKNOWN), S_OK);  // in place
  EXPECT_EQ(asDispatch.vt, VT_UNKNOWN);
  EXPECT_EQ(RefCountOf(obj.Get()), 3u);

  // An IUnknown has no value property.
  EXPECT_EQ(Hr(VariantChangeType(&asDispatch, &u, 0, VT_I4)), Hr(DISP_E_TYPEMISMATCH));
  EXPECT_EQ(Hr(VariantChangeType(&asDispatch, &u, 0, VT_BSTR)), Hr(DISP_E_TYPEMISMATCH));
  ASSERT_EQ(Hr(VariantChangeType(&asDispatch, &u, 0, VT_NULL)), Hr(S_OK));
  EXPECT_EQ(asDispatch.vt, VT_NULL);
  EXPECT_EQ(RefCountOf(obj.Get()), 2u);
  EXPECT_EQ(Hr(VariantChangeType(&asDispatch, &u, 0, VT_DISPATCH)), Hr(S_OK));
  u.Clear();
  asDispatch.Clear();
  EXPECT_EQ(RefCountOf(obj.Get()), 1u);
}

}  // namespace
