// The text side of VariantChangeType: numbers, booleans and dates read from
// BSTR text and numbers and dates written as text, with the en-US conventions
// for every locale (decimal point '.', thousands ',', currency '$', True/False,
// M/D/YYYY and h:mm:ss AM/PM).
//
// Every reader makes one pass over its input and keeps a bounded amount of it:
// numbers keep their first kMaxDigits significant digits (later digits only
// decide rounding), and dates are refused past kMaxDateChars characters.

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "ole/date.h"
#include "ole/hresult.h"
#include "ole/variant_text.h"

namespace ole::vtext {

namespace {

constexpr int kMaxDigits = 40;
constexpr std::size_t kMaxDateChars = 256;
constexpr std::int64_t kMaxExponent = 100000;  // far past any representable magnitude

bool IsBlank(char16_t c) {
  return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' || c == u'\v' || c == u'\f' ||
         c == 0x00A0 || c == 0x3000;
}
bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }
char16_t AsciiLower(char16_t c) { return c >= u'A' && c <= u'Z' ? c + (u'a' - u'A') : c; }

bool EqualsAsciiNoCase(std::u16string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (AsciiLower(a[i]) != static_cast<char16_t>(b[i])) return false;
  return true;
}

std::u16string_view Trim(std::u16string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// A number as VarParseNumFromStr reads it with NUMPRS_STD: blanks around it,
// one sign (leading or trailing) or parentheses, a leading '$', thousands
// separators in the integer part, a decimal point, an exponent, or a whole
// "&H" (hex) / "&O" (octal) literal.
struct Number {
  bool neg = false;
  bool radix = false;  // &H / &O literal, held in radixValue
  bool radixOverflow = false;
  std::uint64_t radixValue = 0;
  std::uint8_t digits[kMaxDigits] = {};  // significant digits, first nonzero first
  int count = 0;
  bool sticky = false;     // a nonzero digit past the kept ones
  std::int64_t exp10 = 0;  // value = digits * 10^exp10
};

void AddDigit(Number& n, int d, bool fraction) {
  if (n.count == 0 && d == 0) {
    if (fraction) --n.exp10;
  } else if (n.count < kMaxDigits) {
    n.digits[n.count++] = static_cast<std::uint8_t>(d);
    if (fraction) --n.exp10;
  } else {
    if (d != 0) n.sticky = true;
    if (!fraction) ++n.exp10;
  }
}

bool ParseRadix(std::u16string_view s, std::size_t& i, Number& n) {
  const bool hex = AsciiLower(s[i + 1]) == u'h';
  const unsigned shift = hex ? 4 : 3;
  i += 2;
  std::size_t start = i;
  for (; i < s.size(); ++i) {
    char16_t c = AsciiLower(s[i]);
    int d = IsDigit(c) ? c - u'0' : (hex && c >= u'a' && c <= u'f') ? c - u'a' + 10 : -1;
    if (d < 0 || (!hex && d > 7)) break;
    if (n.radixValue >> (64 - shift)) n.radixOverflow = true;
    n.radixValue = (n.radixValue << shift) | static_cast<unsigned>(d);
  }
  n.radix = true;
  return i > start;
}

bool ParseNumber(std::u16string_view s, Number& n) {
  std::size_t i = 0;
  const std::size_t size = s.size();
  auto blanks = [&] {
    while (i < size && IsBlank(s[i])) ++i;
  };
  bool sign = false, parens = false, currency = false;
  for (;;) {
    blanks();
    if (i >= size) return false;
    char16_t c = s[i];
    if ((c == u'+' || c == u'-') && !sign && !parens) {
      sign = true;
      n.neg = c == u'-';
    } else if (c == u'(' && !sign && !parens) {
      parens = true;
    } else if (c == u'$' && !currency) {
      currency = true;
    } else {
      break;
    }
    ++i;
  }
  if (s[i] == u'&' && i + 1 < size &&
      (AsciiLower(s[i + 1]) == u'h' || AsciiLower(s[i + 1]) == u'o')) {
    if (!ParseRadix(s, i, n)) return false;
  } else {
    bool any = false;
    for (; i < size; ++i) {
      if (IsDigit(s[i])) {
        AddDigit(n, s[i] - u'0', false);
        any = true;
      } else if (!(s[i] == u',' && any)) {  // grouping is not checked, as on Windows
        break;
      }
    }
    if (i < size && s[i] == u'.') {
      for (++i; i < size && IsDigit(s[i]); ++i) {
        AddDigit(n, s[i] - u'0', true);
        any = true;
      }
    }
    if (!any) return false;
    if (i < size && (s[i] == u'e' || s[i] == u'E')) {
      std::size_t j = i + 1;
      bool expNeg = false;
      if (j < size && (s[j] == u'+' || s[j] == u'-')) expNeg = s[j++] == u'-';
      if (j >= size || !IsDigit(s[j])) return false;
      std::int64_t e = 0;
      for (; j < size && IsDigit(s[j]); ++j)
        if (e < kMaxExponent) e = e * 10 + (s[j] - u'0');
      n.exp10 += expNeg ? -e : e;
      i = j;
    }
  }
  blanks();
  if (i < size && (s[i] == u'+' || s[i] == u'-') && !sign && !parens) {
    n.neg = s[i++] == u'-';
    blanks();
  }
  if (parens) {
    if (i >= size || s[i] != u')') return false;
    n.neg = true;
    ++i;
    blanks();
  }
  return i == size;
}

bool MulAdd(std::uint64_t& v, unsigned mul, unsigned add) {
  if (v > (std::numeric_limits<std::uint64_t>::max() - add) / mul) return false;
  v = v * mul + add;
  return true;
}

}  // namespace

// The integer nearest to the text's value times 10^scale, ties to even. With
// signedBits, a hex or octal literal that fits that many bits is read as a
// two's complement number of that width ("&HFFFF" is -1 as a 16-bit value).
HRESULT TextToInteger(std::u16string_view text, int scale, int signedBits, bool* neg,
                      std::uint64_t* mag) {
  Number n;
  if (!ParseNumber(text, n)) return DISP_E_TYPEMISMATCH;
  std::uint64_t m = 0;
  bool negative = n.neg;
  if (n.radix) {
    if (n.radixOverflow) return DISP_E_OVERFLOW;
    m = n.radixValue;
    if (signedBits > 0) {
      const std::uint64_t top = std::uint64_t{1} << (signedBits - 1);
      const bool fits = signedBits == 64 || m < (top << 1);
      if (fits && m >= top) {  // the sign bit of that width is set
        m = signedBits == 64 ? ~m + 1 : (top << 1) - m;
        negative = !negative;
      }
    }
    for (int k = 0; k < scale; ++k)
      if (!MulAdd(m, 10, 0)) return DISP_E_OVERFLOW;
  } else if (n.count > 0) {
    const std::int64_t intDigits = n.count + n.exp10 + scale;
    if (intDigits > 20) return DISP_E_OVERFLOW;
    for (std::int64_t k = 0; k < intDigits; ++k)
      if (!MulAdd(m, 10, k < n.count ? n.digits[k] : 0)) return DISP_E_OVERFLOW;
    if (intDigits >= 0 && intDigits < n.count) {
      const int first = n.digits[intDigits];
      bool rest = n.sticky;
      for (int k = static_cast<int>(intDigits) + 1; k < n.count && !rest; ++k)
        rest = n.digits[k] != 0;
      if (first > 5 || (first == 5 && (rest || (m & 1))))
        if (!MulAdd(m, 1, 1)) return DISP_E_OVERFLOW;
    }
  }
  *neg = negative && m != 0;
  *mag = m;
  return S_OK;
}

HRESULT TextToDouble(std::u16string_view text, double* out) {
  Number n;
  if (!ParseNumber(text, n)) return DISP_E_TYPEMISMATCH;
  double v = 0;
  if (n.radix) {
    if (n.radixOverflow) return DISP_E_OVERFLOW;
    v = static_cast<double>(n.radixValue);
  } else if (n.count > 0) {
    const std::int64_t magnitude = n.count + n.exp10;  // decimal digits before the point
    if (magnitude > 310) return DISP_E_OVERFLOW;
    if (magnitude >= -400) {
      char buf[kMaxDigits + 32];
      char* p = buf;
      for (int k = 0; k < n.count; ++k) *p++ = static_cast<char>('0' + n.digits[k]);
      std::int64_t e = n.exp10;
      if (n.sticky) {  // one more nonzero digit keeps the rounding direction right
        *p++ = '1';
        --e;
      }
      *p++ = 'e';
      p = std::to_chars(p, buf + sizeof buf, e).ptr;
      auto r = std::from_chars(buf, p, v);
      if (r.ec == std::errc::result_out_of_range) {
        if (magnitude > 0) return DISP_E_OVERFLOW;
        v = 0;
      }
      if (std::isinf(v)) return DISP_E_OVERFLOW;
    }
  }
  *out = n.neg && v != 0 ? -v : v;
  return S_OK;
}

// "#TRUE#" and "#FALSE#" exactly, "True" and "False" in any case, or a number.
HRESULT TextToBool(std::u16string_view text, VARIANT_BOOL* out) {
  std::u16string_view t = Trim(text);
  if (t == u"#TRUE#" || EqualsAsciiNoCase(t, "true")) {
    *out = VARIANT_TRUE;
    return S_OK;
  }
  if (t == u"#FALSE#" || EqualsAsciiNoCase(t, "false")) {
    *out = VARIANT_FALSE;
    return S_OK;
  }
  double d = 0;
  HRESULT hr = TextToDouble(text, &d);
  if (FAILED(hr)) return hr;
  *out = d != 0 ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

namespace {

// ---- Dates ----------------------------------------------------------------

struct DateToken {
  enum Kind { Num, Month, Am, Pm, Colon } kind;
  int value;   // the number, or the month 1-12
  int digits;  // digits written, for two-digit years
};

int MonthFromName(std::u16string_view w) {
  static constexpr std::string_view names[] = {"january", "february", "march",     "april",
                                               "may",     "june",     "july",      "august",
                                               "september", "october", "november", "december"};
  for (int m = 0; m < 12; ++m) {
    if (EqualsAsciiNoCase(w, names[m]) || EqualsAsciiNoCase(w, names[m].substr(0, 3)) ||
        (m == 8 && EqualsAsciiNoCase(w, "sept")))
      return m + 1;
  }
  return 0;
}

// Splits into numbers, words and ':' separators; '/', '-', ',' and blanks only
// separate. Anything else makes the text no date.
bool Tokenize(std::u16string_view s, DateToken* tokens, int& count, int capacity) {
  count = 0;
  for (std::size_t i = 0; i < s.size();) {
    char16_t c = s[i];
    if (IsBlank(c) || c == u'/' || c == u'-' || c == u',') {
      ++i;
      continue;
    }
    if (count == capacity) return false;
    DateToken t{DateToken::Num, 0, 0};
    if (IsDigit(c)) {
      std::size_t j = i;
      for (; j < s.size() && IsDigit(s[j]); ++j) {
        if (j - i >= 5) return false;
        t.value = t.value * 10 + (s[j] - u'0');
      }
      t.kind = DateToken::Num;
      t.digits = static_cast<int>(j - i);
      i = j;
    } else if (c == u':') {
      t.kind = DateToken::Colon;
      ++i;
    } else if (AsciiLower(c) >= u'a' && AsciiLower(c) <= u'z') {
      std::size_t j = i;
      while (j < s.size() && AsciiLower(s[j]) >= u'a' && AsciiLower(s[j]) <= u'z') ++j;
      std::u16string_view w = s.substr(i, j - i);
      if (EqualsAsciiNoCase(w, "am") || EqualsAsciiNoCase(w, "a")) {
        t.kind = DateToken::Am;
      } else if (EqualsAsciiNoCase(w, "pm") || EqualsAsciiNoCase(w, "p")) {
        t.kind = DateToken::Pm;
      } else if ((t.value = MonthFromName(w)) != 0) {
        t.kind = DateToken::Month;
      } else {
        return false;
      }
      i = j;
    } else {
      return false;
    }
    tokens[count++] = t;
  }
  return true;
}

int FullYear(const DateToken& t) {
  if (t.digits <= 2) return t.value < 30 ? 2000 + t.value : 1900 + t.value;
  return t.value;
}

int CurrentYear() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local.tm_year + 1900;
}

// The calendar date of the tokens left once the time is taken out: M/D/Y,
// then Y/M/D, then D/M/Y for three numbers (the first order that is a real
// date), M/D of this year for two, and English month names in either place.
std::optional<CivilTime> DateFromItems(const DateToken* items, int n) {
  auto valid = [](int y, int m, int d) -> std::optional<CivilTime> {
    CivilTime t{y, m, d, 0, 0, 0};
    if (DateFromCivil(t)) return t;
    return std::nullopt;
  };
  const bool num0 = n > 0 && items[0].kind == DateToken::Num;
  const bool num1 = n > 1 && items[1].kind == DateToken::Num;
  const bool num2 = n > 2 && items[2].kind == DateToken::Num;
  if (n == 3 && num0 && num1 && num2) {
    const DateToken &a = items[0], &b = items[1], &c = items[2];
    if (auto t = valid(FullYear(c), a.value, b.value)) return t;
    if (auto t = valid(FullYear(a), b.value, c.value)) return t;
    return valid(FullYear(c), b.value, a.value);
  }
  if (n == 3 && num0 && items[1].kind == DateToken::Month && num2) {  // 2 Jan 1970, 1970 Jan 2
    if (auto t = valid(FullYear(items[2]), items[1].value, items[0].value)) return t;
    return valid(FullYear(items[0]), items[1].value, items[2].value);
  }
  if (n == 3 && items[0].kind == DateToken::Month && num1 && num2)  // January 2, 1970
    return valid(FullYear(items[2]), items[0].value, items[1].value);
  if (n == 2 && num0 && num1) {
    if (auto t = valid(CurrentYear(), items[0].value, items[1].value)) return t;
    return valid(CurrentYear(), items[1].value, items[0].value);
  }
  if (n == 2 && (num0 != num1)) {  // a month name and a day, or a year when no day fits
    const DateToken& month = num0 ? items[1] : items[0];
    const DateToken& other = num0 ? items[0] : items[1];
    if (month.kind != DateToken::Month) return std::nullopt;
    if (auto t = valid(CurrentYear(), month.value, other.value)) return t;
    return valid(FullYear(other), month.value, 1);
  }
  return std::nullopt;
}

}  // namespace

// The common en-US forms: a date (see DateFromItems), a time h:mm[:ss] or
// "h AM", or both in either order. AM/PM is ignored past 12 o'clock.
HRESULT TextToDate(std::u16string_view text, DATE* out) {
  std::u16string_view s = Trim(text);
  if (s.empty() || s.size() > kMaxDateChars) return DISP_E_TYPEMISMATCH;
  DateToken tokens[24];
  int count = 0;
  if (!Tokenize(s, tokens, count, 24)) return DISP_E_TYPEMISMATCH;

  int hms[3] = {0, 0, 0};
  int parts = 0, timeStart = -1, timeEnd = -1;
  for (int i = 0; i < count; ++i) {
    if (tokens[i].kind != DateToken::Colon) continue;
    if (i == 0 || tokens[i - 1].kind != DateToken::Num) return DISP_E_TYPEMISMATCH;
    timeStart = i - 1;
    int j = i - 1;
    hms[parts++] = tokens[j++].value;
    while (j + 1 < count && parts < 3 && tokens[j].kind == DateToken::Colon &&
           tokens[j + 1].kind == DateToken::Num) {
      hms[parts++] = tokens[j + 1].value;
      j += 2;
    }
    timeEnd = j;
    break;
  }
  int ampm = -1;
  for (int i = 0; i < count; ++i) {
    const DateToken& t = tokens[i];
    if (t.kind != DateToken::Am && t.kind != DateToken::Pm) continue;
    if (ampm >= 0) return DISP_E_TYPEMISMATCH;
    ampm = t.kind == DateToken::Pm;
    if (timeStart < 0 && i > 0 && tokens[i - 1].kind == DateToken::Num) {  // "3 PM"
      timeStart = i - 1;
      hms[parts++] = tokens[i - 1].value;
      timeEnd = i + 1;
    } else if (i != timeEnd) {
      return DISP_E_TYPEMISMATCH;
    } else {
      timeEnd = i + 1;
    }
  }
  DateToken items[24];
  int n = 0;
  for (int i = 0; i < count; ++i) {
    if (i >= timeStart && i < timeEnd) continue;
    if (tokens[i].kind == DateToken::Colon) return DISP_E_TYPEMISMATCH;
    items[n++] = tokens[i];
  }
  if (parts == 0 && n == 0) return DISP_E_TYPEMISMATCH;
  if (parts > 0 && ampm >= 0 && hms[0] <= 12) {
    if (ampm == 1 && hms[0] < 12) hms[0] += 12;
    if (ampm == 0 && hms[0] == 12) hms[0] = 0;
  }
  CivilTime t{1899, 12, 30, 0, 0, 0};
  if (n > 0) {
    std::optional<CivilTime> day = DateFromItems(items, n);
    if (!day) return DISP_E_TYPEMISMATCH;
    t = *day;
  }
  t.hour = hms[0];
  t.minute = hms[1];
  t.second = hms[2];
  std::optional<DATE> d = DateFromCivil(t);
  if (!d) return DISP_E_TYPEMISMATCH;
  *out = *d;
  return S_OK;
}

// ---- Writing ----------------------------------------------------------------

namespace {

std::u16string Widen(std::string_view s) { return std::u16string(s.begin(), s.end()); }

}  // namespace

// As printf's "%.*G" with `digits` significant digits: no trailing zeros, an
// exponent ("1E+20", "1E-05") below 1E-4 or from 10^digits on.
std::u16string FormatReal(double value, int digits) {
  if (std::isnan(value)) return u"-1.#IND";
  if (std::isinf(value)) return value < 0 ? u"-1.#INF" : u"1.#INF";
  if (value == 0) return u"0";
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, digits);
  std::u16string s = Widen(std::string_view(buf, static_cast<std::size_t>(r.ptr - buf)));
  for (char16_t& c : s)
    if (c == u'e') c = u'E';
  return s;
}

std::u16string FormatCurrency(std::int64_t cy) {
  const bool neg = cy < 0;
  const std::uint64_t mag =
      neg ? 0 - static_cast<std::uint64_t>(cy) : static_cast<std::uint64_t>(cy);
  std::string s = (neg ? "-" : "") + std::to_string(mag / 10000);
  if (unsigned frac = static_cast<unsigned>(mag % 10000)) {
    std::string f = std::to_string(10000 + frac).substr(1);
    while (f.back() == '0') f.pop_back();
    s += "." + f;
  }
  return Widen(s);
}

// "M/D/YYYY h:mm:ss AM": the date alone at midnight, the time alone on day 0.
HRESULT FormatDate(DATE value, std::u16string* out) {
  std::optional<CivilTime> t = CivilFromDate(value);
  if (!t) return E_INVALIDARG;
  std::string s;
  const bool dayZero = t->year == 1899 && t->month == 12 && t->day == 30;
  const bool midnight = t->hour == 0 && t->minute == 0 && t->second == 0;
  if (!dayZero)
    s = std::to_string(t->month) + "/" + std::to_string(t->day) + "/" + std::to_string(t->year);
  if (dayZero || !midnight) {
    char buf[32];
    const int h12 = t->hour % 12 == 0 ? 12 : t->hour % 12;
    std::snprintf(buf, sizeof buf, "%s%d:%02d:%02d %s", s.empty() ? "" : " ", h12, t->minute,
                  t->second, t->hour < 12 ? "AM" : "PM");
    s += buf;
  }
  *out = Widen(s);
  return S_OK;
}

}  // namespace ole::vtext
