// Decimal rounding: every mode with ties, negatives and non-ties, the tolerance, the
// guards, and the thread's rounding mode.
#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>
#include <cstring>
#include <iomanip>
#include <limits>

#include "engine/sql/ORQRounding.h"

using namespace orq;

namespace {

constexpr long double kInf = std::numeric_limits<long double>::infinity();
constexpr long double kNaN = std::numeric_limits<long double>::quiet_NaN();

// Sets a rounding mode for one scope.
struct RoundingModeScope {
    int saved = std::fegetround();
    explicit RoundingModeScope(int mode) { std::fesetround(mode); }
    ~RoundingModeScope() { std::fesetround(saved); }
};

}  // namespace

TEST(RoundToDigits, EveryModeWithTiesNegativesAndNonTies) {
    struct { double value; int32_t digits; uint8_t mode; long double result; } cases[] = {
        {2.567, 1, rmNone, 2.567L},
        {2.5, 0, rmHalfEven, 2}, {3.5, 0, rmHalfEven, 4}, {-2.5, 0, rmHalfEven, -2}, {-3.5, 0, rmHalfEven, -4},
        {2.6, 0, rmHalfEven, 3}, {-2.4, 0, rmHalfEven, -2}, {0.125, 2, rmHalfEven, 0.12L},
        {0.375, 2, rmHalfEven, 0.38L},
        {2.5, 0, rmHalfPos, 3}, {-2.5, 0, rmHalfPos, -2}, {2.4, 0, rmHalfPos, 2}, {-2.6, 0, rmHalfPos, -3},
        {2.5, 0, rmHalfNeg, 2}, {-2.5, 0, rmHalfNeg, -3}, {2.6, 0, rmHalfNeg, 3},
        {2.5, 0, rmHalfDown, 2}, {-2.5, 0, rmHalfDown, -2}, {2.6, 0, rmHalfDown, 3}, {-2.6, 0, rmHalfDown, -3},
        {2.5, 0, rmHalfUp, 3}, {-2.5, 0, rmHalfUp, -3}, {2.4, 0, rmHalfUp, 2}, {-2.4, 0, rmHalfUp, -2},
        {1.005, 2, rmHalfUp, 1.01L}, {-1.005, 2, rmHalfUp, -1.01L}, {1.005, 2, rmHalfDown, 1.0L},
        {2.675, 2, rmHalfEven, 2.68L},  // binary 2.67499999... is a tie, and 8 is even
        {2.7, 0, rmRndNeg, 2}, {-2.3, 0, rmRndNeg, -3}, {3.0, 0, rmRndNeg, 3}, {-3.0, 0, rmRndNeg, -3},
        {2.3, 0, rmRndPos, 3}, {-2.7, 0, rmRndPos, -2}, {3.0, 0, rmRndPos, 3},
        {-2.7, 0, rmRndDown, -2}, {2.7, 0, rmRndDown, 2}, {3.0, 0, rmRndDown, 3},
        {2.1, 0, rmRndUp, 3}, {-2.1, 0, rmRndUp, -3}, {3.0, 0, rmRndUp, 3}, {0.12, 1, rmRndUp, 0.2L},
        // A magnitude below half an ulp of 0.5 is not lost by the directed modes.
        {1e-20, 0, rmRndPos, 1}, {1e-20, 0, rmRndUp, 1}, {-1e-20, 0, rmRndNeg, -1}, {-1e-20, 0, rmRndUp, -1},
        {1e-20, 0, rmRndDown, 0}, {1e-20, 0, rmRndNeg, 0},
        // Negative digits round to tens, hundreds...
        {1250, -2, rmHalfEven, 1200}, {1350, -2, rmHalfEven, 1400}, {1250, -2, rmHalfUp, 1300},
        {-1250, -2, rmHalfUp, -1300}, {1201, -2, rmRndUp, 1300}, {-1299, -1, rmRndDown, -1290},
        // A scaled magnitude at or beyond 2^53 is whole already; beyond 64 bits too.
        {9007199254740993.0, 0, rmHalfEven, 9007199254740992.0L}, {1e19, 0, rmRndUp, 1e19L},
        {-1e30, 2, rmHalfUp, -1e30L}, {1e300, 0, 10, 1e300L}, {1e17, 1, rmRndNeg, 1e17L},
        // Below 2^53 the tolerance is capped, so a whole number never moves.
        {4503599627370496.0, 0, rmHalfEven, 4503599627370496.0L},
        {4503599627370497.0, 0, rmHalfEven, 4503599627370497.0L},
        {1e15, 0, rmHalfEven, 1e15L}, {1e15, 0, rmHalfUp, 1e15L}, {1e15, 0, rmHalfDown, 1e15L},
        {1e15 + 0.5, 0, rmHalfUp, 1e15L + 1}, {1e15 + 0.5, 0, rmHalfDown, 1e15L}, {1e15 + 0.5, 0, rmHalfEven, 1e15L},
        {1e15 + 1.5, 0, rmHalfEven, 1e15L + 2}, {1e15 + 0.125, 0, rmHalfPos, 1e15L},
        {-1e15, 0, rmRndPos, -1e15L},
    };
    for (auto& c : cases) {
        const long double r = RoundToDigitsDefault(c.digits, c.mode, c.value);
        // Results that are no binary fraction (1.01) compare as doubles.
        EXPECT_EQ(static_cast<double>(r), static_cast<double>(c.result))
            << std::setprecision(17) << c.value << " digits " << c.digits << " mode " << int(c.mode) << " gave "
            << static_cast<double>(r);
    }
}

TEST(RoundToDigits, NaNAndInfinitiesComeBackInEveryMode) {
    for (uint8_t mode = 0; mode <= 10; ++mode) {
        EXPECT_TRUE(std::isnan(RoundToDigitsDefault(2, mode, static_cast<double>(kNaN)))) << int(mode);
        EXPECT_EQ(RoundToDigits(0, mode, DefaultRoundingFuzz, kInf), kInf) << int(mode);
        EXPECT_EQ(RoundToDigits(-3, mode, DefaultRoundingFuzz, -kInf), -kInf) << int(mode);
    }
}

TEST(RoundToDigits, ExplicitFuzz) {
    EXPECT_EQ(DefaultRoundingFuzz, 5.481726184209375e-16);
    // Without a tolerance a whole number stays in the directed modes.
    EXPECT_EQ(RoundToDigits(0, rmRndNeg, 0, 3.0L), 3.0L);
    EXPECT_EQ(RoundToDigits(0, rmRndPos, 0, 3.0L), 3.0L);
    EXPECT_EQ(RoundToDigits(0, rmRndUp, 0, -3.0L), -3.0L);
    EXPECT_EQ(RoundToDigits(0, rmRndDown, 0, 3.0L), 3.0L);
    // ... and the binary value below the tie is no tie.
    EXPECT_EQ(static_cast<double>(RoundToDigits(2, rmHalfUp, 0, 1.005)), 1.0);
    // A wide tolerance makes near values ties.
    EXPECT_EQ(RoundToDigits(0, rmHalfUp, 0.1, 2.4L), 3.0L);
    EXPECT_EQ(RoundToDigits(0, rmHalfDown, 0.1, 2.6L), 2.0L);
    // Extended precision throughout: a value no double holds.
    EXPECT_EQ(RoundToDigits(0, rmHalfEven, 0, 0x1p60L + 0.5L), 0x1p60L + 0.5L);  // whole at 2^53 already
    EXPECT_EQ(RoundToDigits(0, rmHalfUp, DefaultRoundingFuzz, 0x1p52L + 0.5L), 0x1p52L + 1);
}

TEST(RoundToDigits, PowersOfTenBeyondTheRange) {
    EXPECT_EQ(RoundToDigitsDefault(5000, rmHalfEven, 1.5), 1.5L);
    EXPECT_EQ(RoundToDigitsDefault(5000, rmRndUp, 0.0), 0.0L);
    EXPECT_EQ(RoundToDigitsDefault(-5000, rmHalfEven, 5.0), 0.0L);
    EXPECT_EQ(RoundToDigitsDefault(-5000, rmRndPos, 5.0), 0.0L);
    EXPECT_EQ(RoundToDigitsDefault(std::numeric_limits<int32_t>::min(), rmHalfUp, 5.0), 0.0L);
    EXPECT_EQ(RoundToDigitsDefault(std::numeric_limits<int32_t>::max(), rmHalfUp, 5.25), 5.25L);
    EXPECT_EQ(RoundToDigitsDefault(20, rmHalfUp, 0.5), 0.5L);
}

TEST(RoundToDigits, FollowsTheThreadsRoundingMode) {
    EXPECT_EQ(RoundToDigitsDefault(0, 10, 2.5), 2.0L);  // ties to even by default, no tolerance
    EXPECT_EQ(RoundToDigitsDefault(0, 10, 3.5), 4.0L);
    EXPECT_EQ(RoundToDigitsDefault(0, 10, 2.4999999999999996), 2.0L);
    {
        RoundingModeScope up(FE_UPWARD);
        EXPECT_EQ(RoundToDigitsDefault(0, 10, 2.1), 3.0L);
        EXPECT_EQ(RoundToDigitsDefault(0, 255, -2.5), -2.0L);
        EXPECT_EQ(RoundToDigitsDefault(0, rmRndNeg, 2.7), 2.0L);  // directed modes keep their direction
    }
    {
        RoundingModeScope down(FE_DOWNWARD);
        EXPECT_EQ(RoundToDigitsDefault(0, 10, 2.9), 2.0L);
        EXPECT_EQ(RoundToDigitsDefault(0, 10, -2.1), -3.0L);
        EXPECT_EQ(RoundToDigitsDefault(0, rmRndPos, 2.3), 3.0L);
    }
    {
        RoundingModeScope zero(FE_TOWARDZERO);
        EXPECT_EQ(RoundToDigitsDefault(0, 10, -2.9), -2.0L);
    }
}

TEST(IsNanOrInfinity, ExponentAllOnesAndSignificandNotZero) {
    EXPECT_TRUE(IsNanOrInfinity(kNaN));
    EXPECT_TRUE(IsNanOrInfinity(std::numeric_limits<long double>::signaling_NaN()));
    EXPECT_TRUE(IsNanOrInfinity(kInf));
    EXPECT_TRUE(IsNanOrInfinity(-kInf));
    for (long double v : {0.0L, -0.0L, 1.0L, -2.5L, std::numeric_limits<long double>::max(),
                          std::numeric_limits<long double>::denorm_min(), 1e4000L})
        EXPECT_FALSE(IsNanOrInfinity(v)) << static_cast<double>(v);
    // Exponent all ones with a zero significand (the 8087's pseudo-infinity): not counted.
    unsigned char bytes[sizeof(long double)] = {};
    bytes[8] = 0xFF;
    bytes[9] = 0x7F;
    long double pseudo;
    std::memcpy(&pseudo, bytes, sizeof pseudo);
    EXPECT_FALSE(IsNanOrInfinity(pseudo));
}
