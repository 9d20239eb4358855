// Result types, conversions by rule group, and the buffer comparison.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "engine/foundation/ORQConvert.h"
#include "engine/foundation/ORQMemory.h"
#include "engine/foundation/ORQTypesRoutines.h"
#include "foundation/ExpectNative.h"

using namespace orq;

namespace {

// The whole result-type table (ForComparison false), row = first operand.
const uint8_t kGolden[24][24] = {
    /*  1 */ { 1,  2,  3,  4,  1,  1,  1,  1,  1,  1,  1,  1,  1,  1,  1,  1,  1,  0,  1,  2,  1,  1,  0,  0},
    /*  2 */ { 2,  2,  2,  4,  2,  2,  2,  2,  2,  2,  2,  2,  2,  2,  2,  2,  2,  0,  2,  2,  2,  2,  0,  0},
    /*  3 */ { 3,  2,  3,  4,  3,  3,  3,  3,  3,  3,  3,  3,  3,  3,  3,  3,  3,  0,  3,  4,  3,  3,  0,  0},
    /*  4 */ { 4,  4,  4,  4,  4,  4,  4,  4,  4,  4,  4,  4,  4,  4,  4,  4,  4,  0,  4,  4,  4,  4,  0,  0},
    /*  5 */ { 1,  2,  3,  4,  5,  6,  7,  8,  6, 10, 11, 12, 13, 14, 15, 16, 17,  0,  0,  0,  5, 22,  0,  0},
    /*  6 */ { 1,  2,  3,  4,  6,  6,  7,  8,  6, 10, 11, 12, 13, 14, 15, 16, 17,  0,  0,  0,  6, 22,  0,  0},
    /*  7 */ { 1,  2,  3,  4,  7,  7,  7,  8,  7,  7,  8, 12, 13, 14, 15, 16, 17,  0,  0,  0,  7, 22,  0,  0},
    /*  8 */ { 1,  2,  3,  4,  8,  8,  8,  8,  8,  8,  8, 12, 13, 14, 15, 16, 17,  0,  0,  0,  8, 22,  0,  0},
    /*  9 */ { 1,  2,  3,  4,  6,  6,  7,  8,  9, 10, 11, 12, 13, 14, 15, 16, 17,  0,  0,  0,  9, 22,  0,  0},
    /* 10 */ { 1,  2,  3,  4,  7,  7,  7,  8, 10, 10, 11, 12, 13, 14, 15, 16, 17,  0,  0,  0, 10, 22,  0,  0},
    /* 11 */ { 1,  2,  3,  4,  8,  8,  8,  8, 11, 11, 11, 12, 13, 14, 15, 16, 17,  0,  0,  0, 11, 22,  0,  0},
    /* 12 */ { 1,  2,  3,  4, 12, 12, 12, 12, 12, 12, 12, 12, 13, 14, 15, 16, 17,  0,  0,  0, 12, 22,  0,  0},
    /* 13 */ { 1,  2,  3,  4, 13, 13, 13, 13, 13, 13, 13, 13, 13, 14, 15, 16, 17,  0,  0,  0, 13, 22,  0,  0},
    /* 14 */ { 1,  2,  3,  4, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 15, 16, 17,  0,  0,  0, 14, 22,  0,  0},
    /* 15 */ { 1,  2,  3,  4, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 17, 17,  0,  0,  0,  0,  0,  0,  0},
    /* 16 */ { 1,  2,  3,  4, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 17, 16, 17,  0,  0,  0,  0,  0,  0,  0},
    /* 17 */ { 1,  2,  3,  4, 17, 17, 17, 17, 17, 17, 17, 17, 17, 17, 17, 17, 17,  0,  0,  0,  0,  0,  0,  0},
    /* 18 */ { 0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0},
    /* 19 */ { 1,  2,  3,  4,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  1,  2,  0,  0,  0,  0},
    /* 20 */ { 2,  2,  4,  4,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  2,  2,  0,  0,  0,  0},
    /* 21 */ { 1,  2,  3,  4,  5,  6,  7,  8,  9, 10, 11, 12, 13, 14,  0,  0,  0,  0,  0,  0, 21,  0,  0,  0},
    /* 22 */ { 1,  2,  3,  4, 22, 22, 22, 22, 22, 22, 22, 12, 13, 14,  0,  0,  0,  0,  0,  0,  0, 22,  0,  0},
    /* 23 */ { 0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0},
    /* 24 */ { 0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0},
};

struct Block {
    void* p = nullptr;
    int32_t size = 0;
    Block() = default;
    Block(const Block&) = delete;
    ~Block() {
        if (p) GlobalMemoryManager().FreeAndNillMem(p);
    }
    std::string Text() const { return std::string(static_cast<const char*>(p)); }
    std::u16string Wide() const { return std::u16string(static_cast<const char16_t*>(p)); }
    template <typename T>
    T As() const {
        T v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    TORQTimeStamp Ts() const { return TORQTimeStamp{As<int32_t>(), static_cast<const int32_t*>(p)[1]}; }
};

void Conv(Block& b, const void* src, int32_t srcSize, uint8_t srcType, uint8_t dst) {
    b.p = ConvertValue(src, srcSize, srcType, b.size, dst);
}
void ConvText(Block& b, const char* s, uint8_t dst, uint8_t srcType = bdtVarChar, int32_t size = -1) {
    Conv(b, &s, size, srcType, dst);
}
void ConvWide(Block& b, const char16_t* s, uint8_t dst, uint8_t srcType = bdtWideVarChar, int32_t size = -1) {
    Conv(b, &s, size, srcType, dst);
}
template <typename T>
void ConvVal(Block& b, uint8_t srcType, T v, uint8_t dst) {
    Conv(b, &v, -1, srcType, dst);
}

}  // namespace

TEST(ResultDataType, MatchesTheGoldenTableInBothModes) {
    for (int a = 0; a <= 26; ++a)
        for (int b = 0; b <= 26; ++b) {
            const bool inRange = a >= 1 && a <= 24 && b >= 1 && b <= 24;
            const uint8_t plain = inRange ? kGolden[a - 1][b - 1] : 0;
            EXPECT_EQ(ResultDataType(a, b, false), plain) << a << "," << b;
            const bool swap = (IsStringBaseType(a) && IsDateTimeBaseType(b)) || (IsDateTimeBaseType(a) && IsStringBaseType(b));
            const uint8_t cmp = swap ? (IsDateTimeBaseType(a) ? a : b) : plain;
            EXPECT_EQ(ResultDataType(a, b, true), cmp) << a << "," << b;
        }
    EXPECT_EQ(ResultDataType(3, 15, false), 3);
    EXPECT_EQ(ResultDataType(3, 15, true), 15);
    EXPECT_EQ(ResultDataType(16, 4, true), 16);
    EXPECT_EQ(ResultDataType(15, 16, true), 17);
    EXPECT_EQ(ResultDataType(21, 22, true), 0);
    EXPECT_EQ(ResultDataType(18, 18, false), 0);
    EXPECT_EQ(ResultDataType(19, 19, true), 1);
    EXPECT_EQ(ResultDataType(5, 10, false), 10);
    EXPECT_EQ(ResultDataType(10, 5, false), 7);
    EXPECT_EQ(ResultDataType(11, 5, false), 8);
    EXPECT_EQ(ResultDataType(13, 22, false), 22);
    EXPECT_EQ(ResultDataType(22, 13, false), 13);
}

TEST(ResultAdvancedFieldType, PrefersTheOperandsOwnType) {
    EXPECT_EQ(ResultAdvancedFieldType(7, 12, false), 7);
    EXPECT_EQ(ResultAdvancedFieldType(12, 7, false), 12);
    EXPECT_EQ(ResultAdvancedFieldType(12, 21, false), 21);
    EXPECT_EQ(ResultAdvancedFieldType(25, 26, false), 27);  // date with time: first row of base 17
    EXPECT_EQ(ResultAdvancedFieldType(23, 24, false), 0);
    EXPECT_EQ(ResultAdvancedFieldType(2, 25, true), 25);
    EXPECT_EQ(ResultAdvancedFieldType(0, 7, false), 0);
}

TEST(ConvertValue, EightBitTextSources) {
    // A value outside the integer type's range is refused, never cut to its low bits.
    ExpectNative([] { Block b; ConvText(b, "300", bdtShortInt); }, 30930);
    ExpectNative([] { Block b; ConvText(b, "-1", bdtCardinal); }, 30930);
    { Block b; ConvText(b, "-128", bdtShortInt); EXPECT_EQ(b.As<int8_t>(), -128); EXPECT_EQ(b.size, 1); }
    { Block b; ConvText(b, "4294967295", bdtCardinal); EXPECT_EQ(b.As<uint32_t>(), 4294967295u); }
    { Block b; ConvText(b, "$FF", bdtInteger); EXPECT_EQ(b.As<int32_t>(), 255); }
    { Block b; ConvText(b, "9999999999", bdtLargeInt); EXPECT_EQ(b.As<int64_t>(), 9999999999); }
    { Block b; ConvText(b, "1.5", bdtDouble); EXPECT_EQ(b.As<double>(), 1.5); }
    { Block b; ConvText(b, "0.1", bdtExtended); EXPECT_EQ(UnpackExtended(b.p), 0.1L); EXPECT_EQ(b.size, 10); }
    { Block b; ConvText(b, "12.34567", bdtCurrency); EXPECT_EQ(b.As<double>(), 12.3457); }
    { Block b; ConvText(b, "2024-01-15", bdtDate); EXPECT_EQ(b.As<int32_t>(), 738900); }
    { Block b; ConvText(b, "2024-01-15 10:20:30", bdtDate); EXPECT_EQ(b.As<int32_t>(), 738900); }
    { Block b; ConvText(b, "2024-01-15 10:20:30", bdtTimeStamp); EXPECT_EQ(b.Ts(), (TORQTimeStamp{738900, 37230000})); }
    { Block b; ConvText(b, "2024-01-15", bdtTimeStamp); EXPECT_EQ(b.Ts(), (TORQTimeStamp{738900, 0})); }
    { Block b; ConvText(b, "10:20:30", bdtTime); EXPECT_EQ(b.As<int32_t>(), 37230000); }
    { Block b; ConvText(b, "9:05", bdtTime); EXPECT_EQ(b.As<int32_t>(), 32700000); }  // the settings' parser
    // Fractions of a second are decimals, rounded half to even at the millisecond.
    { Block b; ConvText(b, "10:20:30.5", bdtTime); EXPECT_EQ(b.As<int32_t>(), 37230500); }
    { Block b; ConvText(b, "10:20:30.05", bdtTime); EXPECT_EQ(b.As<int32_t>(), 37230050); }
    { Block b; ConvText(b, "10:20:30.123", bdtTime); EXPECT_EQ(b.As<int32_t>(), 37230123); }
    { Block b; ConvText(b, "10:20:30.0125", bdtTime); EXPECT_EQ(b.As<int32_t>(), 37230012); }
    { Block b; ConvText(b, "10:20:30.0135", bdtTime); EXPECT_EQ(b.As<int32_t>(), 37230014); }
    { Block b; ConvText(b, "2024-01-15 10:20:30.5", bdtTimeStamp); EXPECT_EQ(b.Ts(), (TORQTimeStamp{738900, 37230500})); }
    { Block b; ConvWide(b, u"10:20:30.25", bdtTime); EXPECT_EQ(b.As<int32_t>(), 37230250); }
    // Currency text is scaled exactly: halves go to the even ten-thousandth.
    { Block b; ConvText(b, "0.00155", bdtCurrency); EXPECT_EQ(b.As<double>(), 0.0016); }
    { Block b; ConvText(b, "0.00505", bdtCurrency); EXPECT_EQ(b.As<double>(), 0.0050); }
    { Block b; ConvText(b, "-0.00505", bdtCurrency); EXPECT_EQ(b.As<double>(), -0.0050); }
    { Block b; ConvText(b, "0.000500001", bdtCurrency); EXPECT_EQ(b.As<double>(), 0.0005); }
    { Block b; ConvText(b, "0.00005000001", bdtCurrency); EXPECT_EQ(b.As<double>(), 0.0001); }
    { Block b; ConvText(b, "1.23455E2", bdtCurrency); EXPECT_EQ(b.As<double>(), 123.455); }
    { Block b; ConvText(b, "15E-5", bdtCurrency); EXPECT_EQ(b.As<double>(), 0.0002); }
    { Block b; ConvText(b, " +2.5 ", bdtCurrency); EXPECT_EQ(b.As<double>(), 2.5); }
    // The float texts of NaN and the infinities read back.
    for (uint8_t dst : {bdtSingle, bdtDouble, bdtExtended}) {
        for (double x : {std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                         std::numeric_limits<double>::quiet_NaN()}) {
            Block text, back;
            ConvVal<double>(text, bdtDouble, x, bdtVarChar);
            ConvText(back, text.Text().c_str(), dst);
            const long double y = dst == bdtSingle ? back.As<float>() : dst == bdtDouble ? back.As<double>()
                                                                                         : UnpackExtended(back.p);
            if (std::isnan(x)) {
                EXPECT_TRUE(std::isnan(y)) << text.Text();
            } else {
                EXPECT_EQ(y, x) << text.Text();
            }
        }
    }
    { Block b; ConvText(b, "abc", bdtBlob); EXPECT_EQ(b.Text(), "abc"); EXPECT_EQ(b.size, 4); }
    { Block b; ConvText(b, "ab\xE9", bdtWideVarChar); EXPECT_EQ(b.Wide(), u"ab\u00E9"); EXPECT_EQ(b.size, 8); }
    struct { const char* text; uint16_t value; } logical[] = {{"true", 0xFFFF}, {"TRUE", 0xFFFF}, {"1", 0xFFFF},
                                                               {"yes", 0}, {"01", 0}, {"", 0}};
    for (auto& c : logical) {
        Block b;
        ConvText(b, c.text, bdtBoolean);
        EXPECT_EQ(b.As<uint16_t>(), c.value) << c.text;
    }
}

TEST(ConvertValue, WideAndClobSources) {
    { Block b; ConvWide(b, u"12", bdtInteger); EXPECT_EQ(b.As<int32_t>(), 12); }
    { Block b; ConvWide(b, u"a\u20AC", bdtVarChar); EXPECT_EQ(b.Text(), "a\x80"); }
    { Block b; ConvWide(b, u"ab", bdtBlob); EXPECT_EQ(b.Wide(), u"ab"); EXPECT_EQ(b.size, 6); }
    { Block b; ConvWide(b, u"2024-01-15", bdtDate); EXPECT_EQ(b.As<int32_t>(), 738900); }
    // Wide text reads dates only through the settings' parsers, not the fixed forms.
    ExpectNative([] { Block b; ConvWide(b, u"2024-01-15 10:20:30", bdtDate); }, 30051);
    { Block b; ConvText(b, "abcdef", bdtVarChar, bdtClob, 3); EXPECT_EQ(b.Text(), "abc"); EXPECT_EQ(b.size, 4); }
    { Block b; ConvText(b, "abcdef", bdtVarChar, bdtClob, -1); EXPECT_EQ(b.Text(), "abcdef"); }
    { Block b; ConvText(b, "123456", bdtInteger, bdtVarChar, 3); EXPECT_EQ(b.As<int32_t>(), 123); }  // a known size bounds text
    { Block b; ConvText(b, "123456", bdtInteger, bdtClob, 2); EXPECT_EQ(b.As<int32_t>(), 12); }  // never past the size
    { Block b; ConvText(b, "-123", bdtLargeInt, bdtClob); EXPECT_EQ(b.As<int64_t>(), -123); }
    ExpectNative([] { Block b; ConvText(b, "5000000000", bdtLargeInt, bdtClob); }, 30051);  // read as 32-bit
    { Block b; ConvWide(b, u"-7", bdtLargeInt, bdtWideClob); EXPECT_EQ(b.As<int64_t>(), -7); }
    { Block b; ConvWide(b, u"xy", bdtWideVarChar, bdtWideClob); EXPECT_EQ(b.Wide(), u"xy"); }
}

// A record buffer holds wide fields at any address: text at an odd one is read
// bytewise by the conversions and by the buffer comparison.
TEST(ConvertValue, WideTextAtAnOddAddress) {
    alignas(8) uint8_t record[40] = {};
    uint8_t* odd = record + 1;  // a one-byte field before the wide one
    std::memcpy(odd, u"12\u20AC", 8);
    uint8_t* other = record + 17;
    std::memcpy(other, u"12\u20AD", 8);
    const void* p = odd;
    { Block b; Conv(b, &p, -1, bdtWideVarChar, bdtVarChar); EXPECT_EQ(b.Text(), "12\x80"); }
    { Block b; Conv(b, &p, 4, bdtWideVarChar, bdtInteger); EXPECT_EQ(b.As<int32_t>(), 12); }  // within the size
    { Block b; Conv(b, &p, -1, bdtFixedWideChar, bdtWideVarChar); EXPECT_EQ(b.Wide(), u"12\u20AC"); }
    { Block b; Conv(b, &p, 6, bdtWideClob, bdtVarChar); EXPECT_EQ(b.Text(), "12\x80"); }
    EXPECT_EQ(CompareValueBuffers(odd, other, 4, 4, false, false, -1, false), cmpLess);
    EXPECT_EQ(CompareValueBuffers(other, odd, 2, 4, false, false, -1, false), cmpGreater);
    EXPECT_EQ(CompareValueBuffers(odd, other, 4, 2, false, false, 2, false), cmpEqual);
    EXPECT_EQ(CompareValueBuffers(odd, u"12\u20AC", 4, 4, false, false, -1, false), cmpEqual);
    EXPECT_EQ(CompareValueBuffers(odd, "12\x80", 4, 3, false, false, -1, false), cmpEqual);
}

TEST(ConvertValue, IntegerAndFloatSources) {
    { Block b; ConvVal<uint8_t>(b, bdtByte, 255, bdtVarChar); EXPECT_EQ(b.Text(), "255"); }
    { Block b; ConvVal<uint32_t>(b, bdtCardinal, 4294967295u, bdtVarChar); EXPECT_EQ(b.Text(), "4294967295"); }
    ExpectNative([] { Block b; ConvVal<int32_t>(b, bdtInteger, -5, bdtByte); }, 30930);
    ExpectNative([] { Block b; ConvVal<int64_t>(b, bdtLargeInt, 2147483648LL, bdtInteger); }, 30930);
    ExpectNative([] { Block b; ConvVal<uint32_t>(b, bdtCardinal, 65536, bdtWord); }, 30930);
    { Block b; ConvVal<int32_t>(b, bdtInteger, 255, bdtByte); EXPECT_EQ(b.As<uint8_t>(), 255); }
    { Block b; ConvVal<int8_t>(b, bdtShortInt, -5, bdtLargeInt); EXPECT_EQ(b.As<int64_t>(), -5); }
    { Block b; ConvVal<int32_t>(b, bdtInteger, 5, bdtTimeStamp); EXPECT_EQ(b.Ts(), (TORQTimeStamp{5, 0})); }
    { Block b; ConvVal<int32_t>(b, bdtInteger, 7, bdtBoolean); EXPECT_EQ(b.As<uint16_t>(), 0xFFFF); }
    { Block b; ConvVal<int16_t>(b, bdtSmallInt, -3, bdtWideVarChar); EXPECT_EQ(b.Wide(), u"-3"); }
    { Block b; ConvVal<double>(b, bdtDouble, 1.75, bdtTimeStamp); EXPECT_EQ(b.Ts(), (TORQTimeStamp{1, 64800000})); }
    { Block b; ConvVal<double>(b, bdtDouble, 1.75, bdtTime); EXPECT_EQ(b.As<int32_t>(), 1); }
    { Block b; ConvVal<double>(b, bdtDouble, 518.0, bdtVarChar); EXPECT_EQ(b.Text(), "518"); }
    { Block b; ConvVal<double>(b, bdtDouble, 0.975, bdtVarChar); EXPECT_EQ(b.Text(), "0.975"); }
    { Block b; ConvVal<double>(b, bdtDouble, -2.7, bdtInteger); EXPECT_EQ(b.As<int32_t>(), -2); }
    { Block b; ConvVal<float>(b, bdtSingle, 0.5f, bdtDouble); EXPECT_EQ(b.As<double>(), 0.5); }
    { Block b; ConvVal<double>(b, bdtDouble, 0.0, bdtBoolean); EXPECT_EQ(b.As<uint16_t>(), 0); }
    ExpectNative([] { Block b; ConvVal<double>(b, bdtDouble, 1e30, bdtInteger); }, 30051);
    ExpectNative([] { Block b; ConvVal<double>(b, bdtDouble, 1e300, bdtSingle); }, 30051);
}

TEST(ConvertValue, DateTimeSources) {
    { Block b; ConvVal<int32_t>(b, bdtDate, EmptyDays, bdtVarChar); EXPECT_EQ(b.Text(), ""); EXPECT_EQ(b.size, 1); }
    { Block b; ConvVal<int32_t>(b, bdtDate, 738900, bdtVarChar); EXPECT_EQ(b.Text(), "2024-01-15"); }
    { Block b; ConvVal<int32_t>(b, bdtDate, 738900, bdtBoolean); EXPECT_EQ(b.As<uint16_t>(), 0xFFFF); }
    { Block b; ConvVal<int32_t>(b, bdtDate, EmptyDays, bdtBoolean); EXPECT_EQ(b.As<uint16_t>(), 0); }
    { Block b; ConvVal<int32_t>(b, bdtDate, 738900, bdtDouble); EXPECT_EQ(b.As<double>(), 738900); }
    ExpectNative([] { Block b; ConvVal<int32_t>(b, bdtDate, -5, bdtVarChar); }, 30051);  // before year 1
    { Block b; ConvVal<int32_t>(b, bdtTime, 0, bdtVarChar); EXPECT_EQ(b.Text(), ""); }
    { Block b; ConvVal<int32_t>(b, bdtTime, 37230000, bdtWideVarChar); EXPECT_EQ(b.Wide(), u"10:20:30"); }
    { Block b; ConvVal<int32_t>(b, bdtTime, 5, bdtTimeStamp); EXPECT_EQ(b.Ts(), (TORQTimeStamp{EmptyDays, 5})); }
    const TORQTimeStamp ts{738900, 37230000}, midnight{738900, 0}, none{EmptyDays, 0}, timeOnly{EmptyDays, 37230000};
    { Block b; ConvVal(b, bdtTimeStamp, ts, bdtVarChar); EXPECT_EQ(b.Text(), "2024-01-15 10:20:30"); }
    { Block b; ConvVal(b, bdtTimeStamp, midnight, bdtVarChar); EXPECT_EQ(b.Text(), "2024-01-15"); }
    { Block b; ConvVal(b, bdtTimeStamp, none, bdtVarChar); EXPECT_EQ(b.Text(), ""); }
    { Block b; ConvVal(b, bdtTimeStamp, timeOnly, bdtVarChar); EXPECT_EQ(b.Text(), "10:20:30"); }
    { Block b; ConvVal(b, bdtTimeStamp, ts, bdtDouble); EXPECT_DOUBLE_EQ(b.As<double>(), 738900 + 37230000.0 / 86400000); }
    { Block b; ConvVal(b, bdtTimeStamp, ts, bdtCurrency); EXPECT_EQ(b.As<double>(), 738900.4309); }
    { Block b; ConvVal(b, bdtTimeStamp, none, bdtBoolean); EXPECT_EQ(b.As<uint16_t>(), 0); }
    { Block b; ConvVal(b, bdtTimeStamp, ts, bdtTime); EXPECT_EQ(b.As<int32_t>(), 37230000); }
}

TEST(ConvertValue, LogicalAndCurrencySources) {
    { Block b; ConvVal<uint16_t>(b, bdtBoolean, 0xFFFF, bdtVarChar); EXPECT_EQ(b.Text(), "True"); }
    { Block b; ConvVal<uint16_t>(b, bdtBoolean, 0, bdtWideVarChar); EXPECT_EQ(b.Wide(), u"False"); }
    { Block b; ConvVal<uint16_t>(b, bdtBoolean, 0xFFFF, bdtInteger); EXPECT_EQ(b.As<int32_t>(), 1); }
    { Block b; ConvVal<uint16_t>(b, bdtBoolean, 1, bdtBoolean); EXPECT_EQ(b.As<uint16_t>(), 1); }
    { Block b; ConvVal<uint16_t>(b, bdtBoolean, 2, bdtDouble); EXPECT_EQ(b.As<double>(), 1.0); }
    { Block b; ConvVal<double>(b, bdtCurrency, 2.71828, bdtVarChar); EXPECT_EQ(b.Text(), "2.7183"); }
    { Block b; ConvVal<double>(b, bdtCurrency, -2.7, bdtInteger); EXPECT_EQ(b.As<int32_t>(), -2); }
    { Block b; ConvVal<double>(b, bdtCurrency, 1.25, bdtSingle); EXPECT_EQ(b.As<float>(), 1.25f); }
    { Block b; ConvVal<double>(b, bdtCurrency, 0.0, bdtBoolean); EXPECT_EQ(b.As<uint16_t>(), 0); }
}

TEST(ConvertValue, PairsWithoutARuleAndFailingRules) {
    struct { uint8_t src, dst; } noRule[] = {
        {21, 22}, {15, 18}, {21, 15}, {22, 16}, {0, 3}, {18, 3}, {23, 3}, {24, 1}, {3, 19}, {3, 20}, {3, 23},
        {3, 24}, {3, 0}, {7, 18}, {13, 19}, {25, 3}, {3, 25},
    };
    const char* text = "1";
    const uint8_t zeros[16] = {};
    for (auto& c : noRule) {
        const void* src = IsStringBaseType(c.src) ? static_cast<const void*>(&text) : zeros;
        ExpectNative([&] { Block b; Conv(b, src, -1, c.src, c.dst); }, 30052);
    }
    ExpectNative([] { Block b; ConvVal<uint16_t>(b, bdtBoolean, 1, bdtCurrency); }, 30052,
                 "Cannot cast from 'LOGICAL' to 'CURRENCY' - Native error: 30052");
    ExpectNative([] { Block b; ConvText(b, nullptr, bdtInteger); }, 30051);  // no text: empty, never a crash
    { Block b; ConvText(b, nullptr, bdtVarChar, bdtClob, 4); EXPECT_EQ(b.Text(), ""); }
    ExpectNative([] { Block b; ConvText(b, "abc", bdtInteger); }, 30051,
                 "Cannot cast from 'STRING' to 'INTEGER' - Native error: 30051");
    for (auto [text, dst] : {std::pair{"9999999999", bdtInteger}, {"1,5", bdtDouble}, {"20240115", bdtDate},
                             {"2024-13-01", bdtDate}, {"25:00:00", bdtTime}, {"1e400", bdtDouble}, {"x", bdtCurrency},
                             {"1e20", bdtCurrency}, {"1.5.", bdtCurrency}, {"NAN", bdtCurrency}, {"INFINITY", bdtDouble},
                             {"10:20:30.5x", bdtTime}})
    {
        SCOPED_TRACE(text);
        ExpectNative([&] { Block b; ConvText(b, text, dst); }, 30051);
    }
}

// Exact halves of a ten-thousandth, as decimal texts with up to 12 integer digits,
// go to the even neighbour; a digit beyond the half goes up. The expected amount is
// built from the digits, never through a float.
TEST(ConvertValue, CurrencyTextRoundsExactHalvesToEven) {
    std::mt19937_64 rnd(2026);
    for (int i = 0; i < 2000; ++i) {
        const uint64_t whole = rnd() % 1000000000000ULL;
        const uint64_t tenThousandths = rnd() % 10000;
        const bool negative = rnd() % 2 != 0, above = rnd() % 4 == 0;
        char text[64];
        std::snprintf(text, sizeof text, "%s%llu.%04llu5%s", negative ? "-" : "", static_cast<unsigned long long>(whole),
                      static_cast<unsigned long long>(tenThousandths), above ? "0001" : "");
        const uint64_t scaled = whole * 10000 + tenThousandths;
        const uint64_t rounded = scaled + ((above || scaled % 2 != 0) ? 1 : 0);
        const long double amount = static_cast<long double>(rounded) / 10000.0L;
        const double want = static_cast<double>(negative ? -amount : amount);
        Block b;
        ConvText(b, text, bdtCurrency);
        ASSERT_EQ(b.As<double>(), want) << text;
    }
}

TEST(CompareValueBuffers, NullsComeFirstAndEqualEachOther) {
    const int32_t five = 5;
    EXPECT_EQ(CompareValueBuffers(nullptr, nullptr, 7, 7, true, true, -1, false), cmpBothNull);
    EXPECT_EQ(CompareValueBuffers(nullptr, &five, 7, 7, true, false, -1, false), cmpFirstNull);
    EXPECT_EQ(CompareValueBuffers(&five, nullptr, 7, 21, false, true, -1, false), cmpSecondNull);
    EXPECT_EQ(CompareKeyValues(nullptr, &five, 7, 7, true, false, -1, false), -1);
    EXPECT_EQ(CompareKeyValues(&five, nullptr, 7, 7, false, true, -1, false), 1);
    EXPECT_EQ(CompareKeyValues(nullptr, nullptr, 7, 7, true, true, -1, false), 0);
    ExpectNative([&] { CompareValueBuffers(&five, nullptr, 7, 7, false, false, -1, false); }, 30140);
    const uint16_t t = 1;
    const double c = 1;
    ExpectNative([&] { CompareValueBuffers(&t, &c, 21, 22, false, false, -1, false); }, 30044,
                 "Cannot compare Incompatible DataTypes: 'LOGICAL' and 'CURRENCY' - Native error: 30044");
    const uint8_t blob[10] = {};
    ExpectNative([&] { CompareValueBuffers(blob, blob, 18, 18, false, false, -1, false); }, 30047,
                 "Unknown DataType: 'BLOB' - Native error: 30047");
}

TEST(CompareValueBuffers, TextByCollationWithCountedLengthsClampedToEachText) {
    auto cmp = [](const char* a, const char* b, int32_t len, bool ic) {
        return CompareValueBuffers(a, b, 3, 3, false, false, len, ic);
    };
    EXPECT_EQ(cmp("abc", "ABD", -1, true), cmpLess);
    EXPECT_EQ(cmp("abc", "ABC", -1, true), cmpEqual);
    EXPECT_EQ(cmp("abc", "ABC", -1, false), cmpLess);
    EXPECT_EQ(cmp("abcdef", "abc", 3, false), cmpEqual);
    EXPECT_EQ(cmp("abcdef", "abc", -1, false), cmpGreater);
    // Exactly sized heap blocks: a Length beyond the shorter text must stop at its terminator.
    void* a = GlobalMemoryManager().GetMem(3);
    void* b = GlobalMemoryManager().GetMem(4);
    std::memcpy(a, "ab", 3);
    std::memcpy(b, "abc", 4);
    EXPECT_EQ(CompareValueBuffers(a, b, 3, 3, false, false, 10, false), cmpLess);
    EXPECT_EQ(CompareValueBuffers(b, a, 1, 3, false, false, 10, false), cmpGreater);
    GlobalMemoryManager().FreeAndNillMem(a);
    GlobalMemoryManager().FreeAndNillMem(b);
    EXPECT_EQ(CompareValueBuffers(u"\u00E9t\u00E9", u"ETE", 4, 2, false, false, -1, true), cmpGreater);
    EXPECT_EQ(CompareValueBuffers(u"abcd", u"abzz", 4, 4, false, false, 2, false), cmpEqual);
    EXPECT_EQ(CompareValueBuffers("abc", "abd", 19, 19, false, false, -1, false), cmpLess);  // CLOBs as text
    EXPECT_EQ(CompareValueBuffers("abc", u"abc", 3, 4, false, false, -1, false), cmpEqual);
}

TEST(CompareValueBuffers, MixedTypesWorkInTheComparisonType) {
    const int32_t five = 5, date = 738900;
    EXPECT_EQ(CompareValueBuffers(&five, "5", 7, 3, false, false, -1, false), cmpEqual);
    EXPECT_EQ(CompareValueBuffers(&five, "10", 7, 3, false, false, -1, false), cmpGreater);  // as text
    EXPECT_EQ(CompareValueBuffers("2024-01-15", &date, 3, 15, false, false, -1, false), cmpEqual);
    EXPECT_EQ(CompareValueBuffers(&date, "2024-01-16", 15, 3, false, false, -1, false), cmpLess);
    const uint8_t big = 200;
    const int8_t minus = -1;
    EXPECT_EQ(CompareValueBuffers(&big, &minus, 9, 5, false, false, -1, false), cmpGreater);
    const double d = 4.5;
    EXPECT_EQ(CompareValueBuffers(&five, &d, 7, 13, false, false, -1, false), cmpGreater);
    const TORQTimeStamp t1{10, 5}, t2{10, 6}, t3{9, 99};
    EXPECT_EQ(CompareValueBuffers(&t1, &t2, 17, 17, false, false, -1, false), cmpLess);
    EXPECT_EQ(CompareValueBuffers(&t1, &t3, 17, 17, false, false, -1, false), cmpGreater);
    const uint16_t one = 1, all = 0xFFFF, no = 0;
    EXPECT_EQ(CompareValueBuffers(&one, &all, 21, 21, false, false, -1, false), cmpEqual);
    EXPECT_EQ(CompareValueBuffers(&no, &one, 21, 21, false, false, -1, false), cmpLess);
    const uint32_t u1 = 0x80000000u, u2 = 1;
    EXPECT_EQ(CompareValueBuffers(&u1, &u2, 11, 11, false, false, -1, false), cmpGreater);
    uint8_t e1[10], e2[10];
    PackExtended(-1.5L, e1);
    PackExtended(2.0L, e2);
    EXPECT_EQ(CompareValueBuffers(e1, e2, 14, 14, false, false, -1, false), cmpLess);
    ExpectNative([&] { CompareValueBuffers(&date, "x", 15, 3, false, false, -1, false); }, 30051);
}

// Signed integers of different widths compare by value, both ways round, at the ends of
// each width's range.
TEST(CompareValueBuffers, SignedIntegersOfDifferentWidthsCompareByValue) {
    const int8_t s8min = INT8_MIN, s8 = -5;
    const int16_t s16 = -5, s16max = INT16_MAX;
    const int32_t s32 = 518, s32min = INT32_MIN;
    const int64_t s64 = 518, s64big = int64_t{1} << 40, s64neg = -(int64_t{1} << 40);
    struct Case {
        const void* A;
        uint8_t TypeA;
        const void* B;
        uint8_t TypeB;
        int32_t Expected;
    } cases[] = {
        {&s8, 5, &s16, 6, cmpEqual},           {&s8min, 5, &s16, 6, cmpLess},      {&s16max, 6, &s8, 5, cmpGreater},
        {&s32, 7, &s64, 8, cmpEqual},          {&s64, 8, &s32, 7, cmpEqual},       {&s32, 7, &s64big, 8, cmpLess},
        {&s32min, 7, &s64neg, 8, cmpGreater},  {&s64neg, 8, &s8min, 5, cmpLess},   {&s16max, 6, &s32, 7, cmpGreater},
        {&s32min, 7, &s16, 6, cmpLess},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CompareValueBuffers(c.A, c.B, c.TypeA, c.TypeB, false, false, -1, false), c.Expected)
            << int(c.TypeA) << " " << int(c.TypeB);
    EXPECT_EQ(CompareValueBuffers(&s32, &s64, 7, 8, true, false, -1, false), cmpFirstNull);
    // Against plain text (fixed or variable) an integer compares as its decimal text, also
    // within a counted length.
    EXPECT_EQ(CompareValueBuffers(&s16, "-5", 6, 3, false, false, -1, false), cmpEqual);
    EXPECT_EQ(CompareValueBuffers("-5", &s8, 1, 5, false, false, -1, false), cmpEqual);
    EXPECT_EQ(CompareValueBuffers(&s64big, "2", 8, 3, false, false, -1, false), cmpLess);
    EXPECT_EQ(CompareValueBuffers("2", &s64big, 3, 8, false, false, -1, false), cmpGreater);
    EXPECT_EQ(CompareValueBuffers(&s32, "51x", 7, 3, false, false, 2, false), cmpEqual);
    EXPECT_EQ(CompareValueBuffers(&s32, "51x", 7, 3, false, false, 3, false), cmpLess);
}
