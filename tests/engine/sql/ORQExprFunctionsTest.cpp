// String, date and system function nodes: values, declared types and sizes, Null
// handling, the clock, ROWNUM counting and the errors.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <ctime>
#include <functional>
#include <thread>

#include "../foundation/ExpectNative.h"
#include "ExprTestUtil.h"
#include "classlib/DateUtils.h"
#include "engine/sql/ORQExprFunctions.h"
#include "engine/sql/ORQExprNodesExt.h"

using namespace orq;
using namespace exprtest;

namespace {

TORQExprNodePtr StrFn(uint8_t op, TORQExprNodePtr a, TORQExprNodePtr b = nullptr, TORQExprNodePtr c = nullptr) {
    return std::make_unique<TORQExprNodeStringFunction>(op, std::move(a), std::move(b), std::move(c));
}

TORQExprNodePtr Concat(std::vector<TORQExprNodePtr> args) {
    auto n = std::make_unique<TORQExprNodeStringFunction>(doConcat);
    for (auto& a : args) n->AddChild(std::move(a));
    return n;
}

std::unique_ptr<TORQExprNodeConst> DateConst(int y, int m, int d, int h = 0, int n = 0) {
    auto c = std::make_unique<TORQExprNodeConst>();
    const double dt = classlib::EncodeDate(uint16_t(y), uint16_t(m), uint16_t(d)) +
                      classlib::EncodeTime(uint16_t(h), uint16_t(n), 0, 0);
    if (h == 0 && n == 0) c->Value.SetAsDate(dt);
    else c->Value.SetAsDateTime(dt);
    return c;
}

struct Case {
    const char* what;
    std::function<TORQExprNodePtr()> build;
    const char* text;  // "<null>" for Null (the engine holds empty text as Null too)
    uint8_t baseType;  // 0: not checked
    uint8_t declared;  // 0: not checked
};

void Check(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        auto n = c.build();
        TORQVariant& v = n->GetValue();
        EXPECT_EQ(Text(v), c.text) << c.what;
        if (c.baseType != 0) {
            EXPECT_EQ(v.DataType(), c.baseType) << c.what;
        }
        if (c.declared != 0) {
            EXPECT_EQ(n->GetDataType(), c.declared) << c.what;
        }
    }
}

}  // namespace

TEST(ExprStringFunctions, ValuesAndTypes) {
    Check({
        {"'a'||NULL||'b'", [] { return Concat(List(Str("a"), Null(bdtVarChar), Str("b"))); }, "ab", bdtVarChar,
         aftVarChar},
        {"NULL||'a'", [] { return Concat(List(Null(), Str("a"))); }, "a", bdtVarChar, 0},
        {"1||2", [] { return Concat(List(Int(1), Int(2))); }, "12", bdtVarChar, 0},
        {"'x'||2.5", [] { return Concat(List(Str("x"), Dbl(2.5))); }, "x2.5", bdtVarChar, aftVarChar},
        {"UPPER(NULL)", [] { return StrFn(doUpper, Null(bdtVarChar)); }, "<null>", 0, 0},
        {"UPPER('abc\\xE4')", [] { return StrFn(doUpper, Str("abc\xE4")); }, "ABC\xC4", bdtVarChar, aftVarChar},
        {"LOWER('ABC\\xC4')", [] { return StrFn(doLower, Str("ABC\xC4")); }, "abc\xE4", bdtVarChar, aftVarChar},
        {"UPPER(12)", [] { return StrFn(doUpper, Int(12)); }, "12", bdtVarChar, aftInteger},
        {"TRIM('  a b  ')", [] { return StrFn(doTrim, Str("  a b  ")); }, "a b", bdtVarChar, aftVarChar},
        {"LTRIM('  a b  ')", [] { return StrFn(doLTrim, Str("  a b  ")); }, "a b  ", bdtVarChar, 0},
        {"RTRIM('  a b  ')", [] { return StrFn(doRTrim, Str("  a b  ")); }, "  a b", bdtVarChar, 0},
        {"TRIM(controls)", [] { return StrFn(doTrim, Str("\t\r\n x\x01")); }, "x", bdtVarChar, 0},
        {"TRIM('   ')", [] { return StrFn(doTrim, Str("   ")); }, "<null>", 0, 0},
        {"LENGTH(NULL)", [] { return StrFn(doLength, Null(bdtVarChar)); }, "0", bdtInteger, aftInteger},
        {"LENGTH('abc')", [] { return StrFn(doLength, Str("abc")); }, "3", bdtInteger, aftInteger},
        {"LENGTH(12345)", [] { return StrFn(doLength, Int(12345)); }, "5", bdtInteger, aftInteger},
        {"LENGTH(wide 5)", [] { return StrFn(doLength, Wide(u"\u0391bcde")); }, "5", bdtInteger, aftInteger},
        {"POS('b','abc')", [] { return StrFn(doPos, Str("b"), Str("abc")); }, "2", bdtInteger, aftInteger},
        {"POS('x','abc')", [] { return StrFn(doPos, Str("x"), Str("abc")); }, "0", bdtInteger, aftInteger},
        {"POS(NULL,'abc')", [] { return StrFn(doPos, Null(bdtVarChar), Str("abc")); }, "0", bdtInteger, 0},
        {"POS('a',NULL)", [] { return StrFn(doPos, Str("a"), Null(bdtVarChar)); }, "0", bdtInteger, 0},
        {"POS('bc','abcbc')", [] { return StrFn(doPos, Str("bc"), Str("abcbc")); }, "2", bdtInteger, 0},
        {"POS('c', wide)", [] { return StrFn(doPos, Str("c"), Wide(u"\u0391bc")); }, "3", bdtInteger, 0},
        {"POS(wide, plain)", [] { return StrFn(doPos, Wide(u"c"), Str("abc")); }, "3", bdtInteger, 0},
        {"POS(5, 12345)", [] { return StrFn(doPos, Int(5), Int(12345)); }, "5", bdtInteger, 0},
        {"SUBSTRING('abcdef' FROM 3)", [] { return StrFn(doSubstring, Str("abcdef"), Int(3)); }, "cdef", bdtVarChar,
         aftVarChar},
        {"SUBSTRING('abcdef' FROM 3 FOR 2)", [] { return StrFn(doSubstring, Str("abcdef"), Int(3), Int(2)); }, "cd",
         bdtVarChar, 0},
        {"SUBSTRING('abcdef' FROM 5 FOR 9)", [] { return StrFn(doSubstring, Str("abcdef"), Int(5), Int(9)); }, "ef",
         bdtVarChar, 0},
        {"SUBSTRING('abc' FROM 4)", [] { return StrFn(doSubstring, Str("abc"), Int(4)); }, "<null>", 0, 0},
        {"SUBSTRING(NULL FROM 1)", [] { return StrFn(doSubstring, Null(bdtVarChar), Int(1)); }, "<null>", 0, 0},
        {"SUBSTRING('abcdef' FROM 0 FOR 2)", [] { return StrFn(doSubstring, Str("abcdef"), Int(0), Int(2)); }, "ab",
         bdtVarChar, 0},
        {"SUBSTRING('abcdef' FROM -5 FOR 2)", [] { return StrFn(doSubstring, Str("abcdef"), Int(-5), Int(2)); }, "ab",
         bdtVarChar, 0},
        {"SUBSTRING('abcdef' FROM 2 FOR -1)", [] { return StrFn(doSubstring, Str("abcdef"), Int(2), Int(-1)); },
         "<null>", 0, 0},
        {"SUBSTRING(wide FROM 2 FOR 1)", [] { return StrFn(doSubstring, Wide(u"\u0391\u0392\u0393"), Int(2), Int(1)); },
         "?", bdtWideVarChar, aftWideVarChar},
    });
    EXPECT_EQ(StrFn(doUpper, Wide(u"\u03b1b"))->GetValue().GetAsWideString(), u"\u0391B");
    EXPECT_EQ(StrFn(doLower, Wide(u"\u0391B"))->GetValue().GetAsWideString(), u"\u03b1b");
}

TEST(ExprStringFunctions, TypesAndSizesOfFields) {
    TestAO ao({{"T", "MEMO", aftMemo, 0}, {"T", "WMEMO", aftWideMemo, 0}, {"T", "NAME", aftChar, 8}});
    auto bound = [&](TORQExprNodePtr n) {
        n->BindToOperators(&ao, nullptr, nullptr);
        return n;
    };
    EXPECT_EQ(bound(StrFn(doSubstring, FieldRef("MEMO"), Int(1)))->GetDataType(), aftVarChar);
    EXPECT_EQ(bound(StrFn(doUpper, FieldRef("WMEMO")))->GetDataType(), aftWideVarChar);
    EXPECT_EQ(bound(StrFn(doTrim, FieldRef("NAME")))->GetDataType(), aftChar);
    EXPECT_EQ(bound(StrFn(doTrim, FieldRef("NAME")))->GetDataSize(), 8);
    EXPECT_EQ(bound(StrFn(doSubstring, FieldRef("NAME"), Int(2)))->GetDataSize(), 8);
    EXPECT_EQ(bound(StrFn(doSubstring, FieldRef("MEMO"), Int(2)))->GetDataSize(), 4096);
    EXPECT_EQ(bound(StrFn(doSubstring, FieldRef("MEMO"), Int(2), Int(30)))->GetDataSize(), 30);
    EXPECT_EQ(StrFn(doLength, Str("abc"))->GetDataSize(), 0);

    // || casts every argument of another type to the result type, once.
    auto c = Concat(List(Str("ab"), Int(12)));
    EXPECT_EQ(c->GetDataType(), aftVarChar);
    EXPECT_EQ(c->GetDataSize(), 13);
    EXPECT_NE(dynamic_cast<TORQExprNodeCast*>(c->Child(1)), nullptr);
    EXPECT_EQ(dynamic_cast<TORQExprNodeCast*>(c->Child(0)), nullptr);
    EXPECT_EQ(c->GetDataSize(), 13);
    EXPECT_EQ(dynamic_cast<TORQExprNodeCast*>(c->Child(1)->Child(0)), nullptr);
    EXPECT_EQ(Text(c->GetValue()), "ab12");

    ExpectNative([] { TORQExprNodeStringFunction(doAdd, Str("a")).GetValue(); }, 30131,
                 "Unknown operator: '+' - Native error: 30131");
}

TEST(ExprDateFunctions, ToDateToStringExtract) {
    using classlib::EncodeDate;
    using classlib::EncodeTime;
    struct ToDateCase {
        const char* text;
        const char* picture;
        uint8_t baseType;
        double expected;
    } cases[] = {
        {"2004-05-06", "YYYY-MM-DD", bdtDate, EncodeDate(2004, 5, 6)},
        {"12:30", "HH24:NN", bdtTime, EncodeTime(12, 30, 0, 0)},
        {"2004-05-06 12:30", "YYYY-MM-DD HH24:NN", bdtTimeStamp, EncodeDate(2004, 5, 6) + EncodeTime(12, 30, 0, 0)},
        {"2004-05-06 00:00", "YYYY-MM-DD HH24:NN", bdtDate, EncodeDate(2004, 5, 6)},
        // Midnight of day 0: the picture decides (a time picture gives a TIME, not day 0).
        {"00:00", "HH24:NN", bdtTime, 0},
    };
    for (const ToDateCase& c : cases) {
        TORQExprNodeDateFunction n(doToDate, c.picture, Str(c.text));
        TORQVariant& v = n.GetValue();
        ASSERT_FALSE(v.IsNull()) << c.text;
        EXPECT_EQ(v.DataType(), c.baseType) << c.text;
        const double got = c.baseType == bdtTime ? v.GetAsTime() : c.baseType == bdtDate ? v.GetAsDate() : v.GetAsDateTime();
        EXPECT_DOUBLE_EQ(got, c.expected) << c.text;
    }
    EXPECT_EQ(TORQExprNodeDateFunction(doToDate, "YYYY-MM-DD", Str("x")).GetDataType(), aftDate);
    EXPECT_EQ(TORQExprNodeDateFunction(doToDate, "HH24:NN", Str("x")).GetDataType(), aftTime);
    EXPECT_EQ(TORQExprNodeDateFunction(doToDate, "YYYY-MM-DD HH24:NN", Str("x")).GetDataType(), aftDateTime);
    EXPECT_TRUE(TORQExprNodeDateFunction(doToDate, "YYYY", Null(bdtVarChar)).GetValue().IsNull());

    TORQExprNodeDateFunction s(doToString, "YYYY-MM-DD", DateConst(2004, 5, 6));
    EXPECT_EQ(Text(s.GetValue()), "2004-05-06");
    EXPECT_EQ(s.GetDataType(), aftVarChar);
    EXPECT_EQ(s.GetDataSize(), 10);
    EXPECT_TRUE(TORQExprNodeDateFunction(doToString, "YYYY", Null(bdtDate)).GetValue().IsNull());

    struct ExtractCase {
        uint8_t part;
        int expected;
    } parts[] = {{dpYear, 2004}, {dpMonth, 5}, {dpDay, 6}, {dpHour, 12}, {dpMinute, 34}, {dpSecond, 0}};
    for (const ExtractCase& p : parts) {
        TORQExprNodeDateFunction e(doExtract, DateConst(2004, 5, 6, 12, 34), p.part);
        EXPECT_EQ(e.GetValue().DataType(), bdtWord);
        EXPECT_EQ(e.GetValue().GetAsWord(), p.expected) << int(p.part);
        EXPECT_EQ(e.GetDataType(), aftWord);
    }
    EXPECT_TRUE(TORQExprNodeDateFunction(doExtract, Null(bdtDate), dpMonth).GetValue().IsNull());
    // A TIME value is a time of day; a DATE value has no time.
    auto time = std::make_unique<TORQExprNodeConst>();
    time->Value.SetAsTime(classlib::EncodeTime(7, 45, 30, 0));
    TORQExprNodeDateFunction minute(doExtract, std::move(time), dpMinute);
    EXPECT_EQ(minute.GetValue().GetAsWord(), 45);
    EXPECT_EQ(TORQExprNodeDateFunction(doExtract, DateConst(2004, 5, 6), dpHour).GetValue().GetAsWord(), 0);
    auto time2 = std::make_unique<TORQExprNodeConst>();
    time2->Value.SetAsTime(classlib::EncodeTime(7, 45, 30, 0));
    EXPECT_EQ(Text(TORQExprNodeDateFunction(doToString, "HH24:NN:SS", std::move(time2)).GetValue()), "07:45:30");
}

TEST(ExprDateFunctions, ClockReadAtEveryEvaluation) {
    TORQExprNodeDateFunction ts(doCurrentTimestamp), date(doCurrentDate), time(doCurrentTime);
    const double before = LocalNow();
    const double first = ts.GetValue().GetAsDateTime();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const double second = ts.GetValue().GetAsDateTime();
    const double after = LocalNow();
    EXPECT_LE(before, first);
    EXPECT_LT(first, second);
    EXPECT_LE(second, after);
    EXPECT_EQ(ts.GetValue().DataType(), bdtTimeStamp);
    EXPECT_EQ(date.GetValue().DataType(), bdtDate);
    EXPECT_EQ(time.GetValue().DataType(), bdtTime);
    EXPECT_NEAR(date.GetValue().GetAsDate(), std::trunc(after), 1.0);
    EXPECT_EQ(ts.GetDataType(), aftDateTime);
    EXPECT_EQ(date.GetDataType(), aftDate);
    EXPECT_EQ(time.GetDataType(), aftTime);
    // LocalNow is the local wall clock.
    const std::time_t t = std::time(nullptr);
    std::tm local{};
    localtime_r(&t, &local);
    uint16_t y, m, d;
    classlib::DecodeDate(LocalNow(), y, m, d);
    EXPECT_EQ(y, local.tm_year + 1900);
    ExpectNative([] { TORQExprNodeDateFunction(doAdd).GetValue(); }, 30130);
    ExpectNative([] { TORQExprNodeDateFunction(doAdd).GetDataType(); }, 30287);
}

TEST(ExprSystemFunctions, RowNumAndLastAutoinc) {
    TORQExprNodeSystem rownum(doRowNum, 0, "", "", "", "");
    for (int32_t i = 1; i <= 3; ++i) {
        TORQVariant& v = rownum.GetValue();  // one evaluation per row
        EXPECT_EQ(v.DataType(), bdtInteger);
        EXPECT_EQ(v.GetAsInteger(), i);
    }
    EXPECT_EQ(rownum.GetDataType(), aftInteger);
    EXPECT_EQ(rownum.GetDataSize(), 0);
    ExpectNative([] { TORQExprNodeSystem(doAdd, 0, "", "", "", "").GetValue(); }, 30338,
                 "Unknown operator: '+' - Native error: 30338");
}
