#include <gtest/gtest.h>

#include "classlib/Variant.h"

using namespace classlib;

TEST(Variant, KeepsTheOleTypeCodes) {
    struct Case { Variant v; TVarType code; } cases[] = {
        {Variant(), 0}, {Variant::Null(), 1}, {Variant::FromSmallint(1), 2}, {Variant::FromInteger(1), 3},
        {Variant::FromSingle(1), 4}, {Variant::FromDouble(1), 5}, {Variant::FromCurrency(1), 6},
        {Variant::FromDate(1), 7}, {Variant::FromOleStr(u"x"), 8}, {Variant::FromBoolean(true), 11},
        {Variant::FromShortInt(1), 16}, {Variant::FromByte(1), 17}, {Variant::FromWord(1), 18},
        {Variant::FromLongWord(1), 19}, {Variant::FromInt64(1), 20}, {Variant::FromString("x"), 256},
    };
    for (auto& c : cases) EXPECT_EQ(c.v.VarType(), c.code);
}

TEST(Variant, ValuesReadBackInTheirRanges) {
    EXPECT_EQ(Variant::FromShortInt(-128).AsInt64(), -128);
    EXPECT_EQ(Variant::FromLongWord(4294967295u).AsInt64(), 4294967295);
    EXPECT_EQ(Variant::FromCurrency(1.23456).CurrencyRaw(), 12346);
    EXPECT_DOUBLE_EQ(Variant::FromCurrency(1.5).AsDouble(), 1.5);
    EXPECT_TRUE(Variant::FromBoolean(true).AsBoolean());
    EXPECT_EQ(Variant::FromString("ab").AsString(), "ab");
    EXPECT_THROW(Variant::FromString("ab").AsOleStr(), EVariantError);
    EXPECT_THROW(Variant::Null().AsInt64(), EVariantError);
    EXPECT_EQ(Variant::FromInteger(5), Variant::FromInteger(5));
    EXPECT_FALSE(Variant::FromInteger(5) == Variant::FromSmallint(5));
}

TEST(Variant, ArraysKeepTheirBounds) {
    Variant a = Variant::CreateArray({{-1, 1}, {3, 4}}, varVariant);
    EXPECT_TRUE(a.IsArray());
    EXPECT_EQ(a.VarType(), varArray | varVariant);
    EXPECT_EQ(a.ArrayDimCount(), 2);
    EXPECT_EQ(a.ArrayLowBound(1), -1);
    EXPECT_EQ(a.ArrayHighBound(2), 4);
    a.PutElement({-1, 4}, Variant::FromInteger(7));
    a.PutElement({1, 3}, Variant::FromString("z"));
    EXPECT_EQ(a.GetElement({-1, 4}).AsInt64(), 7);
    EXPECT_EQ(a.GetElement({1, 3}).AsString(), "z");
    EXPECT_TRUE(a.GetElement({0, 3}).IsEmpty());
    EXPECT_THROW(a.GetElement({2, 3}), EVariantError);
    EXPECT_THROW(a.GetElement({0}), EVariantError);
    EXPECT_THROW(a.ArrayLowBound(3), EVariantError);
    // Full-range bounds: the element count overflows and is refused, never wrapped.
    EXPECT_THROW(Variant::CreateArray({{INT32_MIN, INT32_MAX}, {INT32_MIN, INT32_MAX}}, varVariant), EVariantError);
    Variant edge = Variant::CreateArray({{INT32_MAX - 1, INT32_MAX}}, varInteger);
    EXPECT_EQ(edge.GetElement({INT32_MAX}).VarType(), varInteger);
    Variant low = Variant::CreateArray({{INT32_MIN, INT32_MIN + 1}}, varVariant);
    EXPECT_THROW(low.GetElement({INT32_MAX}), EVariantError);
}
