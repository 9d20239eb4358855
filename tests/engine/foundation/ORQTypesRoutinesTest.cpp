// The type code sets, the SQL type table's first-row rule, value sizes and copies,
// and the day and millisecond encodings.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "classlib/DateUtils.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/foundation/ORQMemory.h"
#include "engine/foundation/ORQTypesRoutines.h"
#include "foundation/ExpectNative.h"

using namespace orq;
using namespace classlib;


TEST(SQLTypeTable, FirstRowWinsForEveryLookUp) {
    EXPECT_EQ(AdvancedToBaseFieldType(36), 1);
    EXPECT_EQ(AdvancedToBaseFieldType(12), 7);
    EXPECT_EQ(AdvancedToBaseFieldType(0), 0);
    EXPECT_EQ(AdvancedToBaseFieldType(37), 0);
    EXPECT_EQ(BaseToAdvancedFieldType(7), 7);
    EXPECT_EQ(BaseToAdvancedFieldType(17), 27);
    EXPECT_EQ(BaseToAdvancedFieldType(13), 21);
    EXPECT_EQ(BaseToAdvancedFieldType(0), 0);
    EXPECT_EQ(BaseToAdvancedFieldType(25), 0);
    EXPECT_EQ(AdvancedToFieldType(35), ftBlob);
    EXPECT_EQ(AdvancedToFieldType(21), ftFloat);
    EXPECT_EQ(AdvancedToFieldType(0), ftUnknown);
    EXPECT_EQ(AdvancedFieldTypeName(21), "FLOAT");
    EXPECT_EQ(AdvancedFieldTypeName(99), "Unknown");
    EXPECT_EQ(BaseFieldTypeName(13), "FLOAT");
    EXPECT_EQ(BaseFieldTypeName(1), "CHAR");
    EXPECT_EQ(BaseFieldTypeName(18), "BLOB");
    EXPECT_EQ(BaseFieldTypeName(0), "Unknown");
    struct { TFieldType ft; uint8_t adv; } back[] = {
        {ftBCD, 21}, {ftWideString, 3}, {ftMemo, 33}, {ftBlob, 31}, {ftLargeint, 8}, {ftWord, 10},
        {ftAutoInc, 12}, {ftSmallint, 6}, {ftFloat, 21}, {ftGuid, 36}, {ftOraClob, 31}, {ftTimeStamp, 28},
    };
    for (auto& c : back) EXPECT_EQ(FieldTypeToAdvancedFieldType(c.ft), c.adv) << int(c.ft);
    ExpectNative([] { FieldTypeToAdvancedFieldType(ftCursor); }, 30289,
                 "Unknown DataType: '22' - Native error: 30289");
}

TEST(SQLTypeTable, EveryAdvancedTypeMapsToItsBaseType) {
    const uint8_t base[37] = {0, 1, 3, 2, 4, 5, 6, 7, 8, 9, 10, 11, 7, 5, 6, 7, 8, 9, 10, 11,
                              12, 13, 14, 21, 22, 15, 16, 17, 17, 23, 24, 18, 18, 19, 19, 20, 1};
    for (int a = 1; a <= 36; ++a) EXPECT_EQ(AdvancedToBaseFieldType(a), base[a]) << a;
}

TEST(TypePredicates, TrueExactlyForTheirCodes) {
    using P = bool (*)(uint8_t);
    struct { P pred; const char* name; std::vector<int> yes; } cases[] = {
        {IsBlobBaseType, "blob", {18, 19, 20}},
        {IsStringBaseType, "string", {1, 2, 3, 4}},
        {IsWideStringBaseType, "wide", {2, 4}},
        {IsNumericBaseType, "numeric", {5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 22}},
        {IsDateTimeBaseType, "datetime", {15, 16, 17}},
        {IsBlobAdvancedType, "blob adv", {31, 32, 33, 34, 35}},
        {IsStringAdvancedType, "string adv", {1, 2, 3, 4, 36}},
        {IsWideStringAdvancedType, "wide adv", {3, 4}},
        {IsBytesAdvancedType, "bytes adv", {29, 30}},
        {IsAutoincAdvancedType, "autoinc adv", {12, 13, 14, 15, 16, 17, 18, 19}},
        {IsSizedAdvancedType, "sized adv", {1, 2, 3, 4, 29, 30}},
        {IsComparableAdvancedType, "comparable adv", {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15,
                                                      16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 33, 34, 35}},
    };
    for (auto& c : cases)
        for (int t = 0; t < 256; ++t)
            EXPECT_EQ(c.pred(static_cast<uint8_t>(t)), std::find(c.yes.begin(), c.yes.end(), t) != c.yes.end())
                << c.name << " " << t;
}

TEST(ValueSize, FollowsTheBaseTypeLayouts) {
    struct { uint8_t t; int32_t len; int32_t size; } cases[] = {
        {3, 20, 21}, {4, 20, 42}, {17, 0, 8}, {19, 0, 10}, {23, 5, 6}, {1, 0, 1}, {2, 0, 2}, {5, 0, 1},
        {6, 0, 2}, {7, 0, 4}, {8, 0, 8}, {9, 0, 1}, {10, 0, 2}, {11, 0, 4}, {12, 0, 4}, {13, 0, 8}, {14, 0, 10},
        {15, 0, 4}, {16, 0, 4}, {18, 0, 10}, {20, 0, 10}, {21, 0, 2}, {22, 0, 8}, {24, 7, 8},
    };
    for (auto& c : cases) EXPECT_EQ(GetDataTypeValueSize(c.t, c.len), c.size) << int(c.t);
    ExpectNative([] { GetDataTypeValueSize(0, 0); }, 30050, "Unknown DataType: 'Unknown' - Native error: 30050");
    ExpectNative([] { GetDataTypeValueSize(25, 0); }, 30050);
    EXPECT_THROW(GetDataTypeValueSize(3, INT32_MAX), EIntOverflow);
    EXPECT_THROW(GetDataTypeValueSize(4, 0x40000000), EIntOverflow);
}

TEST(CopyValueToNewMemory, CopiesTextWithItsTerminatorAndFixedSizesOtherwise) {
    void* buf;
    int32_t size;
    CopyValueToNewMemory(3, "abc", buf, size);
    EXPECT_EQ(size, 4);
    EXPECT_EQ(std::memcmp(buf, "abc", 4), 0);
    GlobalMemoryManager().FreeAndNillMem(buf);
    CopyValueToNewMemory(4, u"ab", buf, size);
    EXPECT_EQ(size, 6);
    EXPECT_EQ(std::memcmp(buf, u"ab", 6), 0);
    GlobalMemoryManager().FreeAndNillMem(buf);
    const int64_t v = -5;
    CopyValueToNewMemory(8, &v, buf, size);
    EXPECT_EQ(size, 8);
    EXPECT_EQ(*static_cast<int64_t*>(buf), -5);
    GlobalMemoryManager().FreeAndNillMem(buf);
    const uint8_t bytes[1] = {7};
    CopyValueToNewMemory(24, bytes, buf, size);
    EXPECT_EQ(size, 1);
    GlobalMemoryManager().FreeAndNillMem(buf);
}

TEST(CopyValueToNewMemory, AnAllocationFailurePropagatesInsteadOfGivingNull) {
    TORQMemoryManager& mm = GlobalMemoryManager();
    const int64_t old = mm.MemoryLimit();
    mm.SetMemoryLimit(mm.UsedMemory() + 2);
    void* buf = reinterpret_cast<void*>(1);
    int32_t size = 0;
    ExpectNative([&] { CopyValueToNewMemory(3, "abcdef", buf, size); }, 30004);
    EXPECT_EQ(buf, nullptr);
    mm.SetMemoryLimit(old);
}

TEST(DayEncodings, DaysAndMillisecondsOfTheClassLibraryDateTime) {
    EXPECT_EQ(DateTimeToDays(EncodeDate(2024, 1, 15)), 738900);
    EXPECT_EQ(DateTimeToDays(0.0), 693594);
    EXPECT_EQ(DateTimeToDays(-0.5), 693594);
    EXPECT_EQ(DateTimeToDays(-1.5), 693593);
    EXPECT_EQ(DateTimeToDays(EncodeDate(1, 1, 1)), 1);
    EXPECT_THROW(DateTimeToDays(NAN), EInvalidOp);
    EXPECT_THROW(DateTimeToDays(1e300), EInvalidOp);
    EXPECT_EQ(DateTimeToDays(4294967296.0), 693594);  // the low 32 bits of the sum
    EXPECT_EQ(DaysToDateTime(738900), EncodeDate(2024, 1, 15));
    EXPECT_EQ(DaysToDateTime(-2146790054), -2146790054.0 - 693594);  // computed below the old limit too
    EXPECT_EQ(DaysToDateTime(EmptyDays), -2147483648.0 - 693594);
    EXPECT_EQ(TimeToMilliseconds(0.5), 43200000);
    EXPECT_EQ(TimeToMilliseconds(2.5), 43200000);
    EXPECT_EQ(TimeToMilliseconds(0.5 / 86400000), 0);          // half a millisecond: to even
    EXPECT_EQ(TimeToMilliseconds(1.5 / 86400000), 2);
    EXPECT_EQ(TimeToMilliseconds(EncodeTime(10, 20, 30, 0)), 37230000);
    EXPECT_EQ(MillisecondsToTime(43200000), 0.5);
    EXPECT_EQ(MillisecondsToTime(86400000 + 43200000), 0.5);
    const TORQTimeStamp ts = DateTimeToTimeStamp(EncodeDate(2024, 1, 15) + 0.75);
    EXPECT_EQ(ts, (TORQTimeStamp{738900, 64800000}));
    EXPECT_EQ(TimeStampToDateTime(ts), EncodeDate(2024, 1, 15) + 0.75);
    // 0.3 ms before midnight rounds to the next day's midnight, not to ms 86400000 of this day.
    const TDateTime lateNight = EncodeDate(2024, 1, 15) + (MillisecondsPerDay - 0.3) / MillisecondsPerDay;
    EXPECT_EQ(DateTimeToTimeStamp(lateNight), (TORQTimeStamp{738901, 0}));
    EXPECT_EQ(TimeStampToDateTime(DateTimeToTimeStamp(lateNight)), EncodeDate(2024, 1, 16));
    EXPECT_EQ(DateTimeToTimeStamp(EncodeDate(2024, 1, 15) + (MillisecondsPerDay - 0.7) / MillisecondsPerDay),
              (TORQTimeStamp{738900, MillisecondsPerDay - 1}));
}

TEST(ExtendedLayout, PacksTheX87TenByteForm) {
    uint8_t b[10];
    PackExtended(1.0L, b);
    const uint8_t one[10] = {0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x3F};
    EXPECT_EQ(std::memcmp(b, one, 10), 0);
    PackExtended(-2.5L, b);
    const uint8_t m25[10] = {0, 0, 0, 0, 0, 0, 0, 0xA0, 0x00, 0xC0};
    EXPECT_EQ(std::memcmp(b, m25, 10), 0);
    for (long double v : {0.0L, -0.0L, 1.0L / 3, 1e4000L, -1e-4940L, 123456789.125L, 1e-4950L}) {
        PackExtended(v, b);
        EXPECT_EQ(UnpackExtended(b), v);
    }
    PackExtended(INFINITY, b);
    EXPECT_TRUE(std::isinf(UnpackExtended(b)));
    PackExtended(NAN, b);
    EXPECT_TRUE(std::isnan(UnpackExtended(b)));
}
