#include <gtest/gtest.h>

#include <string>

#include "classlib/DBCommon.h"
#include "classlib/VarUtils.h"
#include "classlib/WideStrings.h"

using namespace classlib;

TEST(WideStrings, Windows1252MapsBothWays) {
    // The code page's own table: 0x80 euro, 0x8A S caron, 0x9F Y diaeresis, 0xE9 e acute;
    // 0x81 is undefined there and keeps its C1 control.
    struct Case { char ansi; char16_t wide; } cases[] = {
        {'\x80', u'\u20AC'}, {'\x8A', u'\u0160'}, {'\x9F', u'\u0178'}, {'\xE9', u'\u00E9'},
        {'\x81', u'\u0081'}, {'A', u'A'},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(AnsiToWide(std::string(1, c.ansi)), std::u16string(1, c.wide));
        EXPECT_EQ(WideToAnsi(std::u16string(1, c.wide)), std::string(1, c.ansi));
    }
    // Characters the code page lacks become one '?' each, surrogate pairs included.
    EXPECT_EQ(WideToAnsi(u"\u4E00x\U0001F600y\u0080"), "?x?y?");
}

TEST(SQLTimeStamp, ConvertsThroughTDateTime) {
    const TDateTime t = EncodeDate(1999, 12, 31) + EncodeTime(23, 59, 59, 999);
    EXPECT_EQ(DateTimeToSQLTimeStamp(t), (TSQLTimeStamp{1999, 12, 31, 23, 59, 59, 999}));
    EXPECT_DOUBLE_EQ(SQLTimeStampToDateTime(TSQLTimeStamp{1999, 12, 31, 23, 59, 59, 999}), t);
    // Before 1899-12-30 the time counts away from zero.
    EXPECT_DOUBLE_EQ(SQLTimeStampToDateTime(TSQLTimeStamp{1899, 12, 29, 12, 0, 0, 0}), -1.5);
    EXPECT_EQ(SQLTimeStampToDateTime(TSQLTimeStamp{}), 0);
    for (const TSQLTimeStamp& bad : {TSQLTimeStamp{2000, 2, 30, 0, 0, 0, 0}, TSQLTimeStamp{2000, 1, 1, 24, 0, 0, 0},
                                     TSQLTimeStamp{2000, 1, 1, 0, 0, 0, 1000}, TSQLTimeStamp{0, 1, 1, 0, 0, 0, 0}})
        EXPECT_THROW(SQLTimeStampToDateTime(bad), EConvertError);
}

TEST(VarUtils, VariantsReadAsOtherTypes) {
    EXPECT_EQ(VarToStr(Variant::FromBoolean(true)), "True");
    EXPECT_EQ(VarToStr(Variant::FromDouble(518)), "518");
    EXPECT_EQ(VarToStr(Variant::FromDate(EncodeDate(2000, 1, 1))), "2000-01-01");
    EXPECT_EQ(VarToStr(Variant::Null()), "");
    EXPECT_EQ(VarToInt64(Variant::FromDouble(2.5)), 2);
    EXPECT_EQ(VarToInt64(Variant::FromDouble(3.5)), 4);
    EXPECT_EQ(VarToInt64(Variant::FromString("-12")), -12);
    EXPECT_THROW(VarToInt64(Variant::FromString("12x")), EConvertError);
    EXPECT_THROW(VarToInt64(Variant::FromDouble(1e30)), EIntOverflow);
    EXPECT_THROW(VarToInt64(Variant::Null()), EVariantError);
    EXPECT_TRUE(VarToBoolean(Variant::FromString("true")));
    EXPECT_THROW(VarToBoolean(Variant::FromString("yes")), EConvertError);
    EXPECT_DOUBLE_EQ(VarToDateTime(Variant::FromString("2000-01-01 12:00")), EncodeDate(2000, 1, 1) + 0.5);
}
