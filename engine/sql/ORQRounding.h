// Decimal rounding for the SQL function ROUND: a value rounded to a number of decimal
// digits in one of nine modes, in the 80-bit extended precision of long double.
//
// A relative tolerance (the fuzz) lets a value that is meant to be a decimal tie but is
// not exactly representable in binary (1.005 is 1.00499999999999989...) round as the
// tie. The rules that hold for every mode:
// - NaN, the infinities and mode 0 come back unchanged, and so does a value whose
//   scaled magnitude is at or beyond 2^53: it is already whole at that scale, and the
//   step to a 64-bit integer would be undefined beyond that range.
// - The tolerance never exceeds a quarter at the scale, so it never moves a whole
//   number (at large magnitudes the relative fuzz alone would exceed one half).
// - The HALF modes and modes above 9 round with the thread's current rounding mode
//   (ties to even by default); the directed modes go to floor, ceiling or truncation
//   directly, so a magnitude too small to survive an added half is never lost.
// Powers of ten are built by repeated multiplication; nothing allocates.
#pragma once

#include <bit>
#include <cstdint>

namespace orq {

enum : uint8_t {
    rmNone = 0, rmHalfEven = 1, rmHalfPos = 2, rmHalfNeg = 3, rmHalfDown = 4, rmHalfUp = 5,
    rmRndNeg = 6, rmRndPos = 7, rmRndDown = 8, rmRndUp = 9
};

// About 2.47 units in the last place of 1.0.
inline constexpr double DefaultRoundingFuzz = std::bit_cast<double>(uint64_t{0x3CC3C0000001E5ED});

// Digits > 0: places after the decimal point; 0: a whole number; < 0: tens, hundreds...
long double RoundToDigits(int32_t Digits, uint8_t Mode, double Fuzz, long double Value);
long double RoundToDigitsDefault(int32_t Digits, uint8_t Mode, double Value);
// True when the exponent field is all ones and the significand is not zero.
bool IsNanOrInfinity(long double Value);

}  // namespace orq
