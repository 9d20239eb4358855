// Number and date text of the run-time: the fixed settings, the class library's
// grammar, and independence from the process locale.
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <random>

#include "classlib/DateUtils.h"
#include "classlib/NumConv.h"
#include "classlib/SysUtils.h"

using namespace classlib;

TEST(IntegerText, ParsesDecimalAndDollarHexWithinWidth) {
    struct Case { const char* text; bool ok; int32_t value; } cases[] = {
        {"12", true, 12}, {"  -7", true, -7}, {"+3", true, 3}, {"$1F", true, 31}, {"-$10", true, -16},
        {"0x10", true, 16}, {"$FFFFFFFF", true, -1}, {"2147483647", true, INT32_MAX},
        {"-2147483648", true, INT32_MIN}, {"2147483648", false, 0}, {"$100000000", false, 0},
        {"", false, 0}, {"-", false, 0}, {"12 ", false, 0}, {"1.5", false, 0}, {"abc", false, 0}, {"$", false, 0},
    };
    for (auto& c : cases) {
        int32_t v = 0;
        EXPECT_EQ(TryStrToInt(c.text, v), c.ok) << c.text;
        if (c.ok) { EXPECT_EQ(v, c.value) << c.text; }
    }
    EXPECT_THROW(StrToInt("x"), EConvertError);
    int64_t w;
    ASSERT_TRUE(TryStrToInt64("-9223372036854775808", w));
    EXPECT_EQ(w, INT64_MIN);
    EXPECT_FALSE(TryStrToInt64("9223372036854775808", w));
    ASSERT_TRUE(TryStrToInt64("$FFFFFFFFFFFFFFFF", w));
    EXPECT_EQ(w, -1);
}

TEST(FloatText, AcceptsOnlyThePointAsDecimalSeparator) {
    std::setlocale(LC_ALL, "de_DE.UTF-8");  // a comma locale, if installed, must change nothing
    struct Case { const char* text; bool ok; double value; } cases[] = {
        {"1.5", true, 1.5}, {" -0.25 ", true, -0.25}, {"1e3", true, 1000}, {"1.5E-2", true, 0.015},
        {".5", true, 0.5}, {"5.", true, 5}, {"1,5", false, 0}, {"1.5.1", false, 0}, {"e3", false, 0},
        {"1e", false, 0}, {"inf", false, 0}, {"nan", false, 0}, {"", false, 0}, {"1e400", false, 0},
    };
    for (auto& c : cases) {
        double v = 0;
        EXPECT_EQ(TryStrToFloat(c.text, v), c.ok) << c.text;
        if (c.ok) { EXPECT_DOUBLE_EQ(v, c.value) << c.text; }
    }
    EXPECT_EQ(StrToFloat("1e-400"), 0.0);
    EXPECT_THROW(StrToFloat("1,5"), EConvertError);
    std::setlocale(LC_ALL, "C");
}

TEST(FloatText, GeneralFormatWithFifteenDigits) {
    struct Case { long double v; const char* text; } cases[] = {
        {518, "518"}, {0.975, "0.975"}, {-1.5, "-1.5"}, {0, "0"}, {0.1 + 0.2, "0.3"}, {1e15, "1E15"},
        {123456789012345.0, "123456789012345"}, {0.0001, "0.0001"}, {0.00001, "1E-5"}, {1.5e-7, "1.5E-7"},
        {1.0 / 3, "0.333333333333333"}, {static_cast<double>(INFINITY), "INF"},
    };
    for (auto& c : cases) EXPECT_EQ(FloatToStr(c.v), c.text);
}

TEST(FloatText, RoundTripsAtFifteenSignificantDigits) {
    std::mt19937_64 rng(42);
    std::uniform_real_distribution<double> mant(-10, 10);
    std::uniform_int_distribution<int> ex(-30, 30);
    for (int k = 0; k < 2000; ++k) {
        const double v = mant(rng) * std::pow(10.0, ex(rng));
        const double back = StrToFloat(FloatToStr(v));
        EXPECT_NEAR(back, v, std::fabs(v) * 1e-14) << FloatToStr(v);
        EXPECT_EQ(FloatToStr(back), FloatToStr(v));
    }
}

TEST(CurrencyText, FourDecimalsRoundedHalvesToEven) {
    EXPECT_EQ(StrToCurr("1.23456"), 1.2346);
    EXPECT_EQ(StrToCurr("0.00005"), 0.0);
    EXPECT_EQ(StrToCurr("0.00015"), 0.0002);
    EXPECT_EQ(StrToCurr("-12.5"), -12.5);
    EXPECT_THROW(StrToCurr("1,5"), EConvertError);
    EXPECT_THROW(StrToCurr("1e20"), EConvertError);
    EXPECT_EQ(CurrToStr(12), "12");
    EXPECT_EQ(CurrToStr(1.5), "1.5");
    EXPECT_EQ(CurrToStr(0.975), "0.975");
    EXPECT_EQ(CurrToStr(-0.00014), "-0.0001");
    EXPECT_EQ(CurrToStr(2.71828), "2.7183");
}

// Every half of the fourth decimal against integer arithmetic: the count of
// ten-thousandths, its half rounded to even, one correctly rounded division.
TEST(CurrencyText, ExactHalvesOfTheFourthDecimalGoToEven) {
    EXPECT_EQ(StrToCurr("0.00215"), 0.0022);
    EXPECT_EQ(StrToCurr("1.00225"), 1.0022);
    EXPECT_EQ(StrToCurr("-0.00215"), -0.0022);
    EXPECT_EQ(StrToCurr("0.0021500001"), 0.0022);
    EXPECT_EQ(StrToCurr("21.5e-4"), 0.0022);
    EXPECT_EQ(StrToCurr("922337203685477.5807"), 922337203685477.5807);
    EXPECT_THROW(StrToCurr("922337203685477.5808"), EConvertError);
    std::mt19937 rnd(50);
    int wrong = 0;
    for (int i = 0; i < 10000; ++i) {
        const int64_t tenThousandths = static_cast<int64_t>(rnd() % 100000);  // d.dddd
        char text[16];
        std::snprintf(text, sizeof text, "%d.%04d5", static_cast<int>(tenThousandths / 10000),
                      static_cast<int>(tenThousandths % 10000));
        const int64_t rounded = tenThousandths + (tenThousandths % 2);
        double v = -1;
        ASSERT_TRUE(TryStrToCurr(text, v)) << text;
        if (v != static_cast<double>(rounded) / 10000.0) ++wrong;
    }
    EXPECT_EQ(wrong, 0);
}

TEST(DateEncoding, DaysSinceTheEpochOfTheClassLibrary) {
    EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
    EXPECT_EQ(EncodeDate(2024, 1, 15), 738900 - DateDelta);
    EXPECT_EQ(EncodeDate(1, 1, 1), 1 - DateDelta);
    EXPECT_EQ(EncodeTime(12, 0, 0, 0), 0.5);
    TDateTime d;
    for (auto [y, m, dd] : {std::tuple{2024, 2, 30}, {2023, 2, 29}, {2024, 13, 1}, {0, 1, 1}, {2024, 4, 31}})
        EXPECT_FALSE(TryEncodeDate(y, m, dd, d)) << y << "-" << m << "-" << dd;
    EXPECT_TRUE(TryEncodeDate(2000, 2, 29, d));
    EXPECT_FALSE(TryEncodeDate(1900, 2, 29, d));
    EXPECT_THROW(EncodeTime(24, 0, 0, 0), EConvertError);
    EXPECT_THROW(EncodeTime(10, 60, 0, 0), EConvertError);
}

TEST(DateEncoding, DecodeInvertsEncodeOverTheWholeCalendar) {
    for (int32_t day = 1; day <= 3652059; day += 997) {
        uint16_t y, m, d;
        DecodeDate(day - DateDelta, y, m, d);
        EXPECT_EQ(EncodeDate(y, m, d), day - DateDelta);
    }
    uint16_t y, m, d, h, n, s, ms;
    DecodeDate(-0.5, y, m, d);  // truncation toward zero: still 1899-12-30
    EXPECT_EQ((std::tuple{y, m, d}), (std::tuple<uint16_t, uint16_t, uint16_t>{1899, 12, 30}));
    DecodeTime(-1.25, h, n, s, ms);  // the time of day of a negative value is |frac|
    EXPECT_EQ(h, 6);
    DecodeTime(EncodeTime(23, 59, 59, 999), h, n, s, ms);
    EXPECT_EQ((std::tuple{h, n, s, ms}), (std::tuple<uint16_t, uint16_t, uint16_t, uint16_t>{23, 59, 59, 999}));
}

TEST(DateText, FixedFormatsBothWays) {
    const TDateTime dt = EncodeDate(2024, 1, 5) + EncodeTime(9, 8, 7, 0);
    EXPECT_EQ(DateToStr(dt), "2024-01-05");
    EXPECT_EQ(TimeToStr(dt), "09:08:07");
    EXPECT_EQ(DateTimeToStr(dt), "2024-01-05 09:08:07");
    EXPECT_EQ(DateTimeToStr(EncodeDate(2024, 1, 5)), "2024-01-05");
    EXPECT_EQ(StrToDate("2024-01-05"), EncodeDate(2024, 1, 5));
    EXPECT_EQ(StrToDate(" 24-1-5 "), EncodeDate(2024, 1, 5));
    EXPECT_EQ(StrToTime("9:08"), EncodeTime(9, 8, 0, 0));
    EXPECT_EQ(StrToTime("09:08:07.250"), EncodeTime(9, 8, 7, 250));
    EXPECT_EQ(StrToTime("12:30 am"), EncodeTime(0, 30, 0, 0));
    EXPECT_EQ(StrToDateTime("2024-01-05 09:08:07"), dt);
    EXPECT_EQ(StrToDateTime("2024-01-05"), EncodeDate(2024, 1, 5));
    for (const char* bad : {"2024/01/05", "20240105", "2024-02-30", "2024-01-05x", ""})
        EXPECT_THROW(StrToDate(bad), EConvertError) << bad;
    for (const char* bad : {"24:00:00", "10", "10:60", "1:2:3:4"})
        EXPECT_THROW(StrToTime(bad), EConvertError) << bad;
    EXPECT_THROW(StrToDateTime("2024-01-05 25:00"), EConvertError);
}
