// Text forms of automation values (en-US), shared by the conversions: reading
// numbers, booleans and dates from text and writing them as text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "ole/hresult.h"

namespace ole::vtext {

// The magnitude and sign of an integer in text, scaled by 10^scale and rounded
// half to even; &H/&O literals are read at signedBits width.
HRESULT TextToInteger(std::u16string_view text, int scale, int signedBits, bool* neg,
                      std::uint64_t* mag);
HRESULT TextToDouble(std::u16string_view text, double* out);
HRESULT TextToBool(std::u16string_view text, VARIANT_BOOL* out);
HRESULT TextToDate(std::u16string_view text, DATE* out);
std::u16string FormatReal(double value, int digits);
std::u16string FormatCurrency(std::int64_t cy);
HRESULT FormatDate(DATE value, std::u16string* out);

}  // namespace ole::vtext
