// Text <-> number conversions of the run-time, with the fixed format settings:
// '.' is the only decimal separator, nothing reads or changes the C locale, and a
// malformed text is an EConvertError (an out-of-range one too).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace classlib {

std::string IntToStr(int64_t v);
std::string UIntToStr(uint64_t v);

// Optional leading blanks, an optional sign, then decimal digits or '$' (or "0x")
// and hexadecimal digits. Decimal text must fit the width; hexadecimal text may use
// the whole unsigned width and is read as its two's-complement value ("$FFFFFFFF"
// is -1). Raises "'%s' is not a valid integer value".
bool TryStrToInt(std::string_view s, int32_t& v);
bool TryStrToInt64(std::string_view s, int64_t& v);
int32_t StrToInt(std::string_view s);
int64_t StrToInt64(std::string_view s);

// Blanks around, sign, digits with at most one '.', optional exponent. Raises
// "'%s' is not a valid floating point value"; a value beyond the range fails too.
bool TryStrToFloat(std::string_view s, long double& v);
bool TryStrToFloat(std::string_view s, double& v);
double StrToFloat(std::string_view s);
long double StrToFloatExt(std::string_view s);

// A currency amount: the float form, rounded to four decimals (halves to even),
// within the currency range of +-922337203685477.5807.
bool TryStrToCurr(std::string_view s, double& v);
double StrToCurr(std::string_view s);

// The general format: fixed notation unless the decimal exponent is below -4 or at
// least `digits`, then d.dddE[-]x; trailing zeros removed; "INF", "-INF", "NAN".
std::string FloatToStr(long double v, int digits = 15);
// The amount rounded to four decimals, trailing zeros removed ("12", "1.5", "0.0001").
std::string CurrToStr(double v);

}  // namespace classlib
