#include "engine/sql/ORQRounding.h"

#include <cfloat>
#include <cmath>
#include <cstring>

namespace orq {

static_assert(LDBL_MANT_DIG == 64, "long double must be the 80-bit extended type");

bool IsNanOrInfinity(long double Value) {
    // Bytes 0-7 the significand (with its explicit integer bit), 8-9 sign and exponent.
    unsigned char b[sizeof(long double)];
    std::memcpy(b, &Value, sizeof b);
    uint64_t significand;
    std::memcpy(&significand, b, 8);
    const unsigned exponent = (b[8] | (b[9] << 8)) & 0x7FFF;
    return exponent == 0x7FFF && significand != 0;
}

long double RoundToDigits(int32_t Digits, uint8_t Mode, double Fuzz, long double Value) {
    if (Mode == rmNone || IsNanOrInfinity(Value)) return Value;
    long double p = 1.0L;
    const int64_t steps = Digits < 0 ? -int64_t{Digits} : Digits;
    for (int64_t k = 0; k < steps && std::isfinite(p); ++k) p *= 10.0L;
    long double t = std::fabs(Value * static_cast<long double>(Fuzz));
    long double x;
    if (Digits >= 0) {
        x = Value * p;
        t *= p;
    } else {
        x = Value / p;
        t /= p;
    }
    if (!(std::fabs(x) < 0x1p53L)) return Value;  // also a NaN from 0 x an overflowed power
    if (!(t <= 0.25L)) t = 0.25L;
    const long double ax = std::fabs(x);
    long double r;
    switch (Mode) {
        case rmHalfEven:
            r = std::nearbyint(x - t);
            if (std::fmod(r, 2.0L) != 0) r = std::nearbyint(x + t);
            break;
        case rmHalfPos: r = std::nearbyint(x + t); break;
        case rmHalfNeg: r = std::nearbyint(x - t); break;
        case rmHalfDown: r = std::nearbyint(ax - t); break;
        case rmHalfUp: r = std::nearbyint(ax + t); break;
        case rmRndNeg: r = std::floor(x + t); break;
        case rmRndPos: r = std::ceil(x - t); break;
        case rmRndDown: r = std::trunc(ax + t); break;
        case rmRndUp: r = std::ceil(ax - t); break;
        default: r = std::nearbyint(x); break;
    }
    // r is a whole number below 2^54, exactly the 64-bit integer of the rule; as an
    // integer it has no sign of its own.
    if (r == 0) r = 0.0L;
    long double result = Digits >= 0 ? r / p : (r == 0 ? 0.0L : r * p)  /* never 0 x infinity */;
    if (Value < 0 && (Mode == rmHalfDown || Mode == rmHalfUp || Mode == rmRndDown || Mode == rmRndUp))
        result = -result;
    return result;
}

long double RoundToDigitsDefault(int32_t Digits, uint8_t Mode, double Value) {
    return RoundToDigits(Digits, Mode, DefaultRoundingFuzz, Value);
}

}  // namespace orq
