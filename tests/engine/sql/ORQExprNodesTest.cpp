// Core expression nodes: the Null rules of comparisons and predicates in both compare
// modes, operators and numeric functions with their declared types, binding to
// relational operators, join recognition, index-column recognition, and the node
// errors.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "../foundation/ExpectNative.h"
#include "ExprTestUtil.h"
#include "classlib/SysUtils.h"
#include "engine/foundation/ORQReservedWords.h"
#include "engine/storage/ORQDefinitions.h"

using namespace orq;
using namespace exprtest;

namespace {

const Maybe kNull = std::nullopt;

}  // namespace

TEST(ExprNullRules, ComparisonsInRawAndLocateModes) {
    // Raw (statements and filters): any Null operand makes the comparison false.
    // Locate mode: Null equals Null and is below every value.
    struct Case {
        uint8_t op;
        bool leftNull, rightNull;
        bool raw, other;
    } cases[] = {
        {doEqual, true, true, false, true},     {doNotEqual, true, false, false, true},
        {doLess, true, false, false, true},     {doGreater, true, false, false, false},
        {doGreater, false, true, false, true},  {doLessOrEqual, true, true, false, true},
        {doGreaterOrEqual, true, false, false, false}, {doNotEqual, true, true, false, false},
        {doEqual, false, true, false, false},   {doLessOrEqual, false, true, false, false},
    };
    for (const Case& c : cases) {
        for (bool raw : {true, false}) {
            auto n = Cmp(c.op, c.leftNull ? Null() : Int(1), c.rightNull ? Null() : Int(1), raw);
            EXPECT_EQ(Truth(*n), Maybe(raw ? c.raw : c.other))
                << DataOperatorName(c.op) << " left null " << c.leftNull << " right null " << c.rightNull << " raw "
                << raw;
        }
    }
}

TEST(ExprNullRules, ComparisonOfValues) {
    struct Case {
        uint8_t op;
        int32_t l, r;
        bool expected;
    } cases[] = {
        {doEqual, 1, 1, true},  {doEqual, 1, 2, false},        {doNotEqual, 1, 2, true}, {doNotEqual, 2, 2, false},
        {doLess, 1, 2, true},   {doLess, 2, 2, false},         {doGreater, 3, 2, true},  {doGreater, 2, 2, false},
        {doLessOrEqual, 2, 2, true}, {doLessOrEqual, 3, 2, false}, {doGreaterOrEqual, 2, 2, true},
        {doGreaterOrEqual, 1, 2, false},
    };
    for (const Case& c : cases)
        for (bool raw : {true, false}) EXPECT_EQ(Truth(*Cmp(c.op, Int(c.l), Int(c.r), raw)), Maybe(c.expected));
}

TEST(ExprNullRules, LogicInListBetweenLike) {
    struct Case {
        const char* what;
        std::function<TORQExprNodePtr()> build;
        Maybe expected;
    } cases[] = {
        {"NOT NULL", [] { return Logic(doNot, List(NullBool())); }, kNull},
        {"NOT TRUE", [] { return Logic(doNot, List(Bool(true))); }, false},
        {"AND(Null,false)", [] { return Logic(doAnd, List(NullBool(), Bool(false))); }, false},
        {"AND(false,Null)", [] { return Logic(doAnd, List(Bool(false), NullBool())); }, false},
        {"AND(Null,true)", [] { return Logic(doAnd, List(NullBool(), Bool(true))); }, kNull},
        {"AND(true,true)", [] { return Logic(doAnd, List(Bool(true), Bool(true))); }, true},
        {"AND()", [] { return Logic(doAnd, {}); }, true},
        {"OR(Null,true)", [] { return Logic(doOr, List(NullBool(), Bool(true))); }, true},
        {"OR(Null,false)", [] { return Logic(doOr, List(NullBool(), Bool(false))); }, kNull},
        {"OR(false,false)", [] { return Logic(doOr, List(Bool(false), Bool(false))); }, false},
        {"OR()", [] { return Logic(doOr, {}); }, false},
        {"2 IN (1,NULL)", [] { return Logic(doIn, List(Int(2), Int(1), Null())); }, false},
        {"2 NOT IN (1,NULL)", [] { return Logic(doNotIn, List(Int(2), Int(1), Null())); }, true},
        {"NULL IN (1,NULL)", [] { return Logic(doIn, List(Null(), Int(1), Null())); }, kNull},
        {"NULL NOT IN (1,NULL)", [] { return Logic(doNotIn, List(Null(), Int(1), Null())); }, kNull},
        {"1 IN (NULL,1)", [] { return Logic(doIn, List(Int(1), Null(), Int(1))); }, true},
        {"'abc' IN ('ABC')", [] { return Logic(doIn, List(Str("abc"), Str("ABC"))); }, true},
        {"'b' BETWEEN 'A' AND 'C'", [] { return Logic(doBetween, List(Str("b"), Str("A"), Str("C"))); }, true},
        {"2 BETWEEN 2 AND 2", [] { return Logic(doBetween, List(Int(2), Int(2), Int(2))); }, true},
        {"4 BETWEEN 1 AND 3", [] { return Logic(doBetween, List(Int(4), Int(1), Int(3))); }, false},
        {"0 BETWEEN 1 AND 3", [] { return Logic(doBetween, List(Int(0), Int(1), Int(3))); }, false},
        {"4 NOT BETWEEN 1 AND 3", [] { return Logic(doNotBetween, List(Int(4), Int(1), Int(3))); }, true},
        {"NULL BETWEEN 1 AND 3", [] { return Logic(doBetween, List(Null(), Int(1), Int(3))); }, kNull},
        {"2 BETWEEN NULL AND 3", [] { return Logic(doBetween, List(Int(2), Null(), Int(3))); }, kNull},
        {"2 NOT BETWEEN 1 AND NULL", [] { return Logic(doNotBetween, List(Int(2), Int(1), Null())); }, kNull},
        {"NULL LIKE '%'", [] { return Logic(doLike, List(Null(bdtVarChar), Str("%"))); }, true},
        {"NULL LIKE '_'", [] { return Logic(doLike, List(Null(bdtVarChar), Str("_"))); }, false},
        {"'x' LIKE NULL", [] { return Logic(doLike, List(Str("x"), Null(bdtVarChar))); }, kNull},
        {"'x' NOT LIKE NULL", [] { return Logic(doNotLike, List(Str("x"), Null(bdtVarChar))); }, kNull},
        {"NULL IS NULL", [] { return Logic(doIsNull, List(Null())); }, true},
        {"1 IS NULL", [] { return Logic(doIsNull, List(Int(1))); }, false},
        {"NULL IS NOT NULL", [] { return Logic(doIsNotNull, List(Null())); }, false},
    };
    for (const Case& c : cases) {
        auto n = c.build();
        EXPECT_EQ(Truth(*n), c.expected) << c.what;
    }
}

TEST(ExprNullRules, AndOrStopAtTheDecidingChild) {
    // A child after the deciding one is never evaluated: here it would raise.
    auto poison = [] { return Arith(doDivide, Int(1), Int(0)); };
    auto a = Logic(doAnd, List(Bool(false), Cmp(doEqual, poison(), Int(1))));
    EXPECT_EQ(Truth(*a), Maybe(false));
    auto o = Logic(doOr, List(Bool(true), Cmp(doEqual, poison(), Int(1))));
    EXPECT_EQ(Truth(*o), Maybe(true));
    auto i = Logic(doIn, List(Int(1), Int(1), poison()));
    EXPECT_EQ(Truth(*i), Maybe(true));
    auto late = Logic(doAnd, List(Bool(true), Cmp(doEqual, poison(), Int(1))));
    ExpectNative([&] { late->GetValue(); }, 30128);
}

TEST(ExprLike, EscapesCaseAndTypes) {
    struct Case {
        const char* text;
        const char* pattern;
        const char* escape;
        bool ignoreCase;
        bool expected;
    } cases[] = {
        {"a_c", "a!_c", "!", false, true},   {"abc", "a!_c", "!", false, false}, {"abc", "a_c", "", false, true},
        {"a%c", "a!%c", "!", false, true},   {"abbc", "a!%c", "!", false, false}, {"ABC", "a%", "", true, true},
        {"ABC", "a%", "", false, false},     {"", "%", "", false, true},          {"abc", "%b%", "", false, true},
        {"abc", "ab", "", false, false},
    };
    for (const Case& c : cases) {
        auto n = std::make_unique<TORQExprNodeBoolean>(doLike, c.ignoreCase ? 1 : 0, 0, Str(c.text), Str(c.pattern));
        n->EscapeText = c.escape;
        EXPECT_EQ(Truth(*n), Maybe(c.expected)) << c.text << " LIKE " << c.pattern;
        auto w = std::make_unique<TORQExprNodeBoolean>(doNotLike, c.ignoreCase ? 1 : 0, 0, Str(c.text),
                                                       Wide(std::u16string(c.pattern, c.pattern + strlen(c.pattern))));
        w->EscapeText = c.escape;
        EXPECT_EQ(Truth(*w), Maybe(!c.expected)) << c.text << " NOT LIKE (wide) " << c.pattern;
    }
    // A number is matched by its text; a date against text is no string match.
    EXPECT_EQ(Truth(*Logic(doLike, List(Int(518), Str("51%")))), Maybe(true));
    auto date = std::make_unique<TORQExprNodeConst>();
    date->Value.SetAsDays(730000);
    auto bad = Logic(doLike, List(std::move(date), Int(5)));
    ExpectNative([&] { bad->GetValue(); }, 30120, "Not string argument in function 'LIKE' - Native error: 30120");
}

TEST(ExprComparison, CaseAndPartialCompare) {
    EXPECT_EQ(Truth(*Cmp(doEqual, Str("abc"), Str("ABC"))), Maybe(false));
    EXPECT_EQ(Truth(*Cmp(doEqual, Str("abc"), Str("ABC"), true, true)), Maybe(true));
    auto partial = std::make_unique<TORQExprNodeComparison>(doEqual, 0, 1, Str("abcdef"), Str("abc"));
    EXPECT_EQ(Truth(*partial), Maybe(true));
    auto whole = std::make_unique<TORQExprNodeComparison>(doEqual, 0, 0, Str("abcdef"), Str("abc"));
    EXPECT_EQ(Truth(*whole), Maybe(false));
}

TEST(ExprComparison, PrepareNarrowsAWideConstantAgainstAPlainField) {
    TestAO ao({{"T", "NAME", aftVarChar, 10}, {"T", "WNAME", aftWideVarChar, 10}});
    for (const char* field : {"NAME", "WNAME"}) {
        auto n = Cmp(doEqual, FieldRef(field), Wide(u"abc"));
        n->BindToOperators(&ao, nullptr, nullptr);
        n->Prepare();
        auto* c = static_cast<TORQExprNodeConst*>(n->Child(1));
        EXPECT_EQ(c->Value.DataType(), std::string(field) == "NAME" ? bdtVarChar : bdtWideVarChar) << field;
        EXPECT_EQ(Text(c->Value), "abc");
    }
    // Either side.
    auto n = Cmp(doEqual, Wide(u"x"), FieldRef("NAME"));
    n->BindToOperators(&ao, nullptr, nullptr);
    n->Prepare();
    EXPECT_EQ(static_cast<TORQExprNodeConst*>(n->Child(0))->Value.DataType(), bdtVarChar);
}

namespace {

struct ValueCase {
    const char* what;
    std::function<TORQExprNodePtr()> build;
    const char* text;  // expected value as text, "<null>" for Null
    uint8_t baseType;  // expected base type of the value (0: not checked)
    uint8_t declared;  // expected GetDataType (0: not checked)
};

void CheckValues(const std::vector<ValueCase>& cases) {
    for (const ValueCase& c : cases) {
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

TORQExprNodePtr Fn(uint8_t op, TORQExprNodePtr a, TORQExprNodePtr b = nullptr, TORQExprNodePtr c = nullptr) {
    return Arith(op, std::move(a), std::move(b), std::move(c));
}

std::unique_ptr<TORQExprNodeConst> ConstOf(uint8_t type, double v) {
    auto n = std::make_unique<TORQExprNodeConst>();
    switch (type) {
        case bdtShortInt: n->Value.SetAsShortInt(static_cast<int8_t>(v)); break;
        case bdtSmallInt: n->Value.SetAsSmallInt(static_cast<int16_t>(v)); break;
        case bdtWord: n->Value.SetAsWord(static_cast<uint16_t>(v)); break;
        case bdtByte: n->Value.SetAsByte(static_cast<uint8_t>(v)); break;
        case bdtCurrency: n->Value.SetAsCurrency(v); break;
        default: n->Value.SetAsDouble(v);
    }
    return n;
}

int32_t ModeWord(const char* word) { return FindReservedWord(word); }

}  // namespace

TEST(ExprArithmetic, OperatorsAndFunctionsWithTheirTypes) {
    CheckValues({
        {"1+2+3", [] { return Fn(doAdd, Int(1), Int(2), Int(3)); }, "6", bdtInteger, aftInteger},
        {"1+2.5", [] { return Fn(doAdd, Int(1), Dbl(2.5)); }, "3.5", bdtDouble, aftDouble},
        {"'a'+'b'", [] { return Fn(doAdd, Str("a"), Str("b")); }, "ab", bdtVarChar, aftVarChar},
        {"'a'+NULL", [] { return Fn(doAdd, Str("a"), Null(bdtVarChar)); }, "a", bdtVarChar, 0},
        {"1+NULL", [] { return Fn(doAdd, Int(1), Null()); }, "<null>", 0, 0},
        {"-(5)", [] { return Fn(doNegate, Int(5)); }, "-5", bdtInteger, aftInteger},
        {"6*7", [] { return Fn(doMultiply, Int(6), Int(7)); }, "42", bdtInteger, aftInteger},
        {"NULL*7", [] { return Fn(doMultiply, Null(), Int(7)); }, "<null>", 0, 0},
        {"7/2", [] { return Fn(doDivide, Int(7), Int(2)); }, "3", bdtInteger, 0},
        {"7.0/2", [] { return Fn(doDivide, Dbl(7), Int(2)); }, "3.5", bdtDouble, 0},
        // Integer arithmetic up to the type's edge (beyond it: the overflow error).
        {"2147483646+1", [] { return Fn(doAdd, Int(2147483646), Int(1)); }, "2147483647", bdtInteger, 0},
        {"-65536*32768", [] { return Fn(doMultiply, Int(-65536), Int(32768)); }, "-2147483648", bdtInteger, 0},
        {"LARGEINT max-1+1",
         [] { return Fn(doAdd, Large(INT64_MAX - 1), Int(1)); }, "9223372036854775807", bdtLargeInt, aftLargeInt},
        {"ABS(-5)", [] { return Fn(doAbs, Int(-5)); }, "5", bdtInteger, aftInteger},
        {"ABS(-2.5)", [] { return Fn(doAbs, Dbl(-2.5)); }, "2.5", bdtDouble, aftDouble},
        {"ABS(SMALLINT -3)", [] { return Fn(doAbs, ConstOf(bdtSmallInt, -3)); }, "3", bdtSmallInt, aftSmallInt},
        {"ABS(WORD 7)", [] { return Fn(doAbs, ConstOf(bdtWord, 7)); }, "7", bdtWord, aftWord},
        {"ABS(NULL)", [] { return Fn(doAbs, Null()); }, "<null>", 0, 0},
        {"ACOS(1)", [] { return Fn(doAcos, Int(1)); }, "0", bdtDouble, aftDouble},
        {"ASIN(0)", [] { return Fn(doAsin, Int(0)); }, "0", bdtDouble, aftDouble},
        {"ATAN(0)", [] { return Fn(doAtan, Int(0)); }, "0", bdtDouble, aftDouble},
        {"CEIL(1.2)", [] { return Fn(doCeil, Dbl(1.2)); }, "2", bdtInteger, aftInteger},
        {"CEIL(-1.2)", [] { return Fn(doCeil, Dbl(-1.2)); }, "-1", bdtInteger, aftInteger},
        {"COS(0)", [] { return Fn(doCos, Int(0)); }, "1", bdtDouble, aftDouble},
        {"EXP(0)", [] { return Fn(doExp, Int(0)); }, "1", bdtDouble, aftDouble},
        {"FLOOR(-1.2)", [] { return Fn(doFloor, Dbl(-1.2)); }, "-2", bdtInteger, aftInteger},
        {"LOG(1)", [] { return Fn(doLog, Int(1)); }, "0", bdtDouble, aftDouble},
        {"POWER(2,10)", [] { return Fn(doPower, Int(2), Int(10)); }, "1024", bdtDouble, aftDouble},
        {"ROUND(2.5)", [] { return Fn(doRound, Dbl(2.5)); }, "2", bdtInteger, aftInteger},
        {"ROUND(3.5)", [] { return Fn(doRound, Dbl(3.5)); }, "4", bdtInteger, aftInteger},
        {"ROUND(2.345,2)", [] { return Fn(doRound, Dbl(2.345), Int(2)); }, "2.34", bdtDouble, aftDouble},
        {"ROUND(1250,-2)", [] { return Fn(doRound, Int(1250), Int(-2)); }, "1200", bdtDouble, aftDouble},
        {"ROUND(1350,-2)", [] { return Fn(doRound, Int(1350), Int(-2)); }, "1400", bdtDouble, aftDouble},
        {"ROUND(2.345,2,HALFUP)",
         [] { return Fn(doRound, Dbl(2.345), Int(2), Int(ModeWord("HALFUP"))); }, "2.35", bdtDouble, aftDouble},
        {"ROUND(2.341,2,RNDUP)",
         [] { return Fn(doRound, Dbl(2.341), Int(2), Int(ModeWord("RNDUP"))); }, "2.35", bdtDouble, aftDouble},
        {"ROUND(-2.5,0,HALFNEG)",
         [] { return Fn(doRound, Dbl(-2.5), Int(0), Int(ModeWord("HALFNEG"))); }, "-3", bdtDouble, aftDouble},
        {"SIGN(-7)", [] { return Fn(doSign, Int(-7)); }, "-1", bdtInteger, aftInteger},
        {"SIGN(0)", [] { return Fn(doSign, Dbl(0)); }, "0", bdtInteger, aftInteger},
        {"SIGN(0.1)", [] { return Fn(doSign, Dbl(0.1)); }, "1", bdtInteger, aftInteger},
        {"SIN(0)", [] { return Fn(doSin, Int(0)); }, "0", bdtDouble, aftDouble},
        {"SQR(3)", [] { return Fn(doSqr, Int(3)); }, "9", bdtInteger, aftInteger},
        {"SQR(1.5)", [] { return Fn(doSqr, Dbl(1.5)); }, "2.25", bdtDouble, aftDouble},
        {"SQRT(16)", [] { return Fn(doSqrt, Int(16)); }, "4", bdtDouble, aftDouble},
        {"SQRT(NULL)", [] { return Fn(doSqrt, Null()); }, "<null>", 0, aftDouble},
        {"CEIL(NULL)", [] { return Fn(doCeil, Null()); }, "<null>", 0, aftInteger},
        {"RAND(0)", [] { return Fn(doRand, Int(0)); }, "0", bdtInteger, aftInteger},
        {"RAND(-3)", [] { return Fn(doRand, Int(-3)); }, "0", bdtInteger, aftInteger},
        {"RAND(1)", [] { return Fn(doRand, Int(1)); }, "0", bdtInteger, aftInteger},
    });
}

TEST(ExprArithmetic, FailuresInsteadOfNaNInfinityOrOverflow) {
    using classlib::EInvalidOp;
    using classlib::EOverflow;
    using classlib::EZeroDivide;
    ExpectNative([] { Fn(doDivide, Dbl(1), Dbl(0))->GetValue(); }, 30128);
    ExpectNative([] { Fn(doDivide, Dbl(0), Dbl(0))->GetValue(); }, 30128);
    ExpectNative([] { Fn(doDivide, Int(1), Int(0))->GetValue(); }, 30128);
    ExpectNative([] { Fn(doDivide, ConstOf(bdtCurrency, 1), Int(0))->GetValue(); }, 30128);
    EXPECT_THROW(Fn(doSqrt, Int(-1))->GetValue(), EInvalidOp);
    EXPECT_THROW(Fn(doLog, Int(-1))->GetValue(), EInvalidOp);
    EXPECT_THROW(Fn(doLog, Int(0))->GetValue(), EZeroDivide);
    EXPECT_THROW(Fn(doAcos, Dbl(1.5))->GetValue(), EInvalidOp);
    EXPECT_THROW(Fn(doAsin, Dbl(-1.01))->GetValue(), EInvalidOp);
    EXPECT_THROW(Fn(doExp, Int(1000))->GetValue(), EOverflow);
    EXPECT_THROW(Fn(doPower, Int(10), Int(400))->GetValue(), EOverflow);
    EXPECT_THROW(Fn(doPower, Int(-8), Dbl(0.5))->GetValue(), EInvalidOp);
    EXPECT_THROW(Fn(doPower, Int(0), Int(-1))->GetValue(), EZeroDivide);
    // Whole results beyond 32 bits fail as the conversion to INTEGER does.
    const char* castText = "Cannot cast from 'FLOAT' to 'INTEGER' - Native error: 30051";
    ExpectNative([] { Fn(doCeil, Dbl(3e9))->GetValue(); }, 30051, castText);
    ExpectNative([] { Fn(doFloor, Dbl(-3e9))->GetValue(); }, 30051, castText);
    ExpectNative([] { Fn(doRound, Dbl(2147483647.5))->GetValue(); }, 30051, castText);
    EXPECT_EQ(Text(Fn(doCeil, Dbl(2147483646.5))->GetValue()), "2147483647");
    EXPECT_EQ(Text(Fn(doFloor, Dbl(-2147483648.0))->GetValue()), "-2147483648");
    ExpectNative([] { Fn(doNegate, Str("a"))->GetValue(); }, 30123);
    // Integer results beyond their type: the overflow error, never a wrapped value.
    ExpectNative([] { Fn(doAdd, Int(2147483647), Int(1))->GetValue(); }, 30930, "Integer overflow - Native error: 30930");
    ExpectNative([] { Fn(doMultiply, Int(65536), Int(65536))->GetValue(); }, 30930);
    ExpectNative([] { Fn(doAdd, Large(INT64_MAX), Int(1))->GetValue(); }, 30930);
    ExpectNative([] { Fn(doAbs, Large(INT64_MIN))->GetValue(); }, 30930);
    // a - b is one subtraction: x - minimum is refused only when the difference leaves the type.
    EXPECT_EQ(Text(Fn(doAdd, Int(-1), Fn(doNegate, Large(INT64_MIN)))->GetValue()), "9223372036854775807");
    ExpectNative([] { Fn(doAdd, Int(0), Fn(doNegate, Large(INT64_MIN)))->GetValue(); }, 30930);
}

TEST(ExprArithmetic, RandStaysInRange) {
    SetRandSeed(7);
    auto n = Fn(doRand, Int(6));
    bool seen[6] = {};
    for (int i = 0; i < 200; ++i) {
        const int32_t v = n->GetValue().GetAsInteger();
        ASSERT_GE(v, 0);
        ASSERT_LT(v, 6);
        seen[v] = true;
    }
    for (bool s : seen) EXPECT_TRUE(s);
}

TEST(ExprTypes, DeclaredTypesAndSizes) {
    // Base rule: fold of the children's types.
    EXPECT_EQ(Fn(doAdd, Int(1), Dbl(1))->GetDataType(), aftDouble);
    EXPECT_EQ(Fn(doAdd, ConstOf(bdtSmallInt, 1), Int(1))->GetDataType(), aftInteger);
    EXPECT_EQ(Fn(doAdd, Str("ab"), Str("cde"))->GetDataSize(), 5);
    EXPECT_EQ(Fn(doMultiply, Int(1), Int(2))->GetDataSize(), 0);
    EXPECT_EQ(Str("abc")->GetDataSize(), 3);
    EXPECT_EQ(Wide(u"abcd")->GetDataSize(), 8);  // bytes, without the terminator
    EXPECT_EQ(Null(bdtVarChar)->GetDataSize(), 0);
    EXPECT_EQ(Str("abc")->GetDataType(), aftVarChar);
    EXPECT_EQ(Wide(u"a")->GetDataType(), aftWideVarChar);
    EXPECT_EQ(Cmp(doEqual, Int(1), Int(1))->GetDataType(), aftBoolean);
    EXPECT_EQ(Logic(doAnd, {})->GetDataType(), aftBoolean);
    auto date = std::make_unique<TORQExprNodeConst>();
    date->Value.SetAsDays(1);
    auto mixed = Fn(doAdd, std::move(date), Bool(true));
    ExpectNative([&] { mixed->GetDataType(); }, 30283, "Cannot determine expression type - Native error: 30283");
    ExpectNative([] { TORQExprNodeArithmetic(doAdd).GetDataType(); }, 30283);
}

TEST(ExprConst, TextPredicates) {
    EXPECT_TRUE(Str("ab%")->EndsWithPercent());
    EXPECT_FALSE(Str("%")->EndsWithPercent());
    EXPECT_FALSE(Str("a%b%")->EndsWithPercent());
    EXPECT_FALSE(Str("%b")->EndsWithPercent());
    EXPECT_TRUE(Wide(u"x%")->EndsWithPercent());
    EXPECT_TRUE(Str("ABC 1")->IsAllUpperCase());
    EXPECT_FALSE(Str("Abc")->IsAllUpperCase());
    EXPECT_TRUE(Str("abc 1")->IsAllLowerCase());
    EXPECT_FALSE(Str("aBc")->IsAllLowerCase());
    // 8-bit case follows the engine's fixed code page rule: \xC4 is upper, \xE4 lower.
    EXPECT_TRUE(Str("\xC4")->IsAllUpperCase());
    EXPECT_FALSE(Str("\xE4")->IsAllUpperCase());
    EXPECT_TRUE(Str("\xE4")->IsAllLowerCase());
    EXPECT_FALSE(Str("\xC4")->IsAllLowerCase());
    auto c = Str("abc");
    c->DropLastChar();
    EXPECT_EQ(Text(c->Value), "ab");
    auto w = Wide(u"xy");
    w->DropLastChar();
    EXPECT_EQ(w->Value.GetAsWideString(), u"x");
}

TEST(ExprErrors, UnknownOperators) {
    const std::string unknown = "Unknown operator: 'unknown' - Native error: ";
    ExpectNative([] { TORQExprNodeBoolean(doAdd, 1, 0, Int(1)).GetValue(); }, 30116,
                 "Unknown operator: '+' - Native error: 30116");
    ExpectNative([] { TORQExprNodeComparison(doAnd, 0, 0, Int(1), Int(1)).GetValue(); }, 30117,
                 "Unknown operator: 'AND' - Native error: 30117");
    ExpectNative([] { TORQExprNodeArithmetic(doBetween, Int(1)).GetValue(); }, 30121, unknown + "30121");
}

TEST(ExprFieldLists, ExtractAndSplit) {
    std::size_t pos = 0;
    std::string name;
    const std::string text = " Freq ; navarea;;IDLETTER ";
    std::vector<std::string> got;
    while (ExtractFieldName(text, pos, name)) got.push_back(name);
    EXPECT_EQ(got, (std::vector<std::string>{"Freq", "navarea", "", "IDLETTER"}));
    std::vector<std::string> list{"old"};
    SplitFieldNames(list, "a;B ; c\xE4");
    EXPECT_EQ(list, (std::vector<std::string>{"A", "B", "C\xC4"}));
    SplitFieldNames(list, "");
    EXPECT_TRUE(list.empty());
}

TEST(ExprBinding, OperatorBindingAndOuterReferences) {
    TestAO left({{"L", "ID", aftInteger, 0}, {"L", "NAME", aftVarChar, 20}});
    TestAO right({{"R", "ID", aftInteger, 0}, {"R", "CODE", aftVarChar, 5}});
    left.At(0).SetAsInteger(7);
    right.At(0).SetAsInteger(9);
    right.At(1).SetAsString("X");

    auto f = FieldRef("CODE");
    f->BindToOperators(&left, &right, nullptr);
    EXPECT_EQ(f->BoundOperator, &right);
    EXPECT_EQ(f->FieldNo, 1);
    EXPECT_EQ(f->ResolvedName, "R.CODE");
    EXPECT_EQ(f->GetDataType(), aftVarChar);
    EXPECT_EQ(f->GetDataSize(), 5);
    EXPECT_EQ(Text(f->GetValue()), "X");
    right.At(1).SetAsString("YZ");
    EXPECT_EQ(Text(f->GetValue()), "YZ");  // the operator's current row, read afresh

    // Table-qualified: the first operator with a match wins.
    auto q = FieldRef("ID", "R");
    q->BindToOperators(&left, &right, nullptr);
    EXPECT_EQ(q->BoundOperator, &right);
    EXPECT_EQ(q->GetValue().GetAsInteger(), 9);

    // Not found anywhere: 30197 with table.field.
    auto missing = FieldRef("NOPE", "L");
    ExpectNative([&] { missing->BindToOperators(&left, &right, nullptr); }, 30197,
                 "Field 'L.NOPE' not found - Native error: 30197");
    // An earlier operator binding survives a call that finds nothing.
    f->BindToOperators(&left, nullptr, nullptr);
    EXPECT_EQ(f->BoundOperator, &right);

    // Unbound: 30196 on evaluation, 30284 for its type.
    auto unbound = FieldRef("X");
    ExpectNative([&] { unbound->GetValue(); }, 30196, "Dataset and AO not assigned - Native error: 30196");
    ExpectNative([&] { unbound->GetDataType(); }, 30284, "Cannot determine expression type - Native error: 30284");
    ExpectNative([&] { unbound->BindToCursor(nullptr, nullptr, nullptr); }, 30202, "Value is Null - Native error: 30202");
}

TEST(ExprBinding, CanEvaluateOnMarksOuterReferences) {
    TestAO inner({{"A", "X", aftInteger, 0}, {"A", "DUP", aftInteger, 0}, {"B", "DUP", aftInteger, 0}});
    TestAO outer({{"O", "Y", aftInteger, 0}});
    auto x = FieldRef("X");
    EXPECT_TRUE(x->CanEvaluateOn(&inner, &outer, 3, nullptr));
    EXPECT_EQ(x->IsOuterReference, 0);
    EXPECT_EQ(x->LookupFlag, 3);
    auto y = FieldRef("Y");
    EXPECT_TRUE(y->CanEvaluateOn(&inner, &outer, 0, nullptr));
    EXPECT_EQ(y->IsOuterReference, 1);
    // Two matches is no match.
    auto dup = FieldRef("DUP");
    EXPECT_FALSE(dup->CanEvaluateOn(&inner, nullptr, 0, nullptr));
    EXPECT_TRUE(FieldRef("DUP", "B")->CanEvaluateOn(&inner, nullptr, 0, nullptr));
    // Trees: every reference must be found; constants always are.
    auto tree = Cmp(doEqual, FieldRef("X"), FieldRef("Z"));
    EXPECT_FALSE(tree->CanEvaluateOn(&inner, &outer, 0, nullptr));
    EXPECT_TRUE(Cmp(doEqual, FieldRef("X"), Int(1))->CanEvaluateOn(&inner, nullptr, 0, nullptr));

    // An outer reference reads the outer row through side 1 and binds to Operator2.
    auto o = FieldRef("Y");
    o->IsOuterReference = 1;
    o->BindToOperators(&inner, &outer, nullptr);
    EXPECT_EQ(o->BoundOperator, &outer);
    uint8_t buffer[8] = {};
    o->SetRecordBuffer(buffer, 0);
    EXPECT_EQ(o->RecordBuffer, nullptr);
    o->SetRecordBuffer(buffer, 1);
    EXPECT_EQ(o->RecordBuffer, buffer);
}

TEST(ExprBinding, ReplaceAliasesAndUsesOnlyFields) {
    auto item = [](const char* table, const char* field, const char* alias, bool expression) {
        TORQSelectListItem i;
        i.TableName = table;
        i.FieldName = field;
        i.Alias = alias;
        i.IsExpression = expression;
        return i;
    };
    std::vector<TORQSelectListItem> items = {item("T", "FREQ", "F", false), item("", "", "E", true),
                                             item("U", "CODE", "C", false), item("U", "CODE2", "code", false)};
    auto f = FieldRef("f");
    f->ReplaceAliases(items);
    EXPECT_EQ(f->FieldName, "FREQ");
    EXPECT_EQ(f->TableName, "T");
    auto e = FieldRef("E");
    e->ReplaceAliases(items);
    EXPECT_EQ(e->FieldName, "E");  // an expression item is no field
    auto c = FieldRef("C");
    c->ReplaceAliases(items);
    EXPECT_EQ(c->FieldName, "CODE2");  // a later item renames the new name again
    EXPECT_EQ(c->TableName, "U");
    auto qualified = FieldRef("C", "T");
    qualified->ReplaceAliases(items);
    EXPECT_EQ(qualified->FieldName, "C");  // the alias belongs to another table
    auto own = FieldRef("F", "T");
    own->ReplaceAliases(items);
    EXPECT_EQ(own->FieldName, "FREQ");

    auto tree = Logic(doAnd, List(Cmp(doEqual, FieldRef("freq"), Int(1)), Cmp(doEqual, FieldRef("Navarea"), Str("3"))));
    EXPECT_TRUE(tree->UsesOnlyFields("FREQ;NAVAREA;IDLETTER"));
    EXPECT_FALSE(tree->UsesOnlyFields("FREQ;IDLETTER"));
    EXPECT_TRUE(Logic(doAnd, {})->UsesOnlyFields(""));
}

TEST(ExprJoin, IsJoinCondition) {
    TestAO a({{"A", "ID", aftInteger, 0}, {"A", "K", aftInteger, 0}});
    TestAO b({{"B", "ID", aftInteger, 0}, {"B", "REF", aftInteger, 0}});
    EXPECT_TRUE(Cmp(doEqual, FieldRef("K"), FieldRef("REF"))->IsJoinCondition(&a, &b));
    EXPECT_TRUE(Cmp(doEqual, FieldRef("REF"), FieldRef("K"))->IsJoinCondition(&a, &b));
    EXPECT_TRUE(Cmp(doEqual, FieldRef("ID", "A"), FieldRef("ID", "B"))->IsJoinCondition(&a, &b));
    EXPECT_FALSE(Cmp(doEqual, FieldRef("ID", "A"), FieldRef("K"))->IsJoinCondition(&a, &b));  // same input
    EXPECT_FALSE(Cmp(doLess, FieldRef("K"), FieldRef("REF"))->IsJoinCondition(&a, &b));
    EXPECT_FALSE(Cmp(doEqual, FieldRef("K"), Int(1))->IsJoinCondition(&a, &b));
    EXPECT_FALSE(Cmp(doEqual, FieldRef("K"), FieldRef("NONE"))->IsJoinCondition(&a, &b));
    auto outer = Cmp(doEqual, FieldRef("K"), FieldRef("REF"));
    static_cast<TORQExprNodeField*>(outer->Child(1))->IsOuterReference = 1;
    EXPECT_FALSE(outer->IsJoinCondition(&a, &b));
    ExpectNative([&] { Cmp(doEqual, FieldRef("ID"), FieldRef("REF"))->IsJoinCondition(&a, &b); }, 10404,
                 "Ambiguous field reference to 'ID' - Native error: 10404");
    ExpectNative([&] { Cmp(doEqual, FieldRef("K"), FieldRef("ID"))->IsJoinCondition(&a, &b); }, 10405,
                 "Ambiguous field reference to 'ID' - Native error: 10405");
}

namespace {

// An index over NAME (and FREQ), bound through an operator double so the fields know
// their types and sizes.
struct ScanFixture {
    TestAO ao{{{"T", "NAME", aftVarChar, 5}, {"T", "FREQ", aftInteger, 0}, {"T", "NOTE", aftMemo, 0}}};
    TORQIndexDef index;
    ScanFixture(bool descending, bool caseInsensitive) {
        index.Name = "IX";
        index.SetColumnCount(2);
        index.GetColumn(0).FieldName = "Name";
        index.GetColumn(0).Descending = descending ? 1 : 0;
        index.GetColumn(0).CaseInsensitive = caseInsensitive ? 1 : 0;
        index.GetColumn(1).FieldName = "FREQ";
    }
    TORQExprNodePtr Bound(TORQExprNodePtr n) {
        n->BindToOperators(&ao, nullptr, nullptr);
        return n;
    }
};

TORQExprNodePtr Upper(TORQExprNodePtr f);
TORQExprNodePtr Lower(TORQExprNodePtr f);

}  // namespace

#include "engine/sql/ORQExprFunctions.h"

namespace {

TORQExprNodePtr Upper(TORQExprNodePtr f) { return std::make_unique<TORQExprNodeStringFunction>(doUpper, std::move(f)); }
TORQExprNodePtr Lower(TORQExprNodePtr f) { return std::make_unique<TORQExprNodeStringFunction>(doLower, std::move(f)); }

}  // namespace

TEST(ExprScan, CanServeIndexColumn) {
    ScanFixture cs(false, false), ci(false, true);
    struct Case {
        const char* what;
        bool caseInsensitiveIndex;
        std::function<TORQExprNodePtr()> build;
        int32_t column;
        uint8_t previous;
        bool expected;
    } cases[] = {
        {"NAME = 'abc'", false, [] { return Cmp(doEqual, FieldRef("NAME"), Str("abc")); }, 0, 0, true},
        {"'abc' < NAME", false, [] { return Cmp(doLess, Str("abc"), FieldRef("NAME")); }, 0, 0, true},
        {"NAME <> 'abc'", false, [] { return Cmp(doNotEqual, FieldRef("NAME"), Str("abc")); }, 0, 0, false},
        {"NAME = 'abcde' (as long as the field)", false,
         [] { return Cmp(doEqual, FieldRef("NAME"), Str("abcde")); }, 0, 0, false},
        {"NAME = 'abcd'", false, [] { return Cmp(doEqual, FieldRef("NAME"), Str("abcd")); }, 0, 0, true},
        {"NAME = NAME", false, [] { return Cmp(doEqual, FieldRef("NAME"), FieldRef("NAME")); }, 0, 0, false},
        {"UPPER(NAME) = 'ABC' on a case-insensitive index", true,
         [] { return Cmp(doEqual, Upper(FieldRef("NAME")), Str("ABC")); }, 0, 0, true},
        {"UPPER(NAME) = 'Abc'", true, [] { return Cmp(doEqual, Upper(FieldRef("NAME")), Str("Abc")); }, 0, 0, false},
        {"LOWER(NAME) = 'abc'", true, [] { return Cmp(doEqual, Lower(FieldRef("NAME")), Str("abc")); }, 0, 0, true},
        {"LOWER(NAME) = 'aBc'", true, [] { return Cmp(doEqual, Lower(FieldRef("NAME")), Str("aBc")); }, 0, 0, false},
        {"UPPER(NAME) = 'ABC' on a case-sensitive index", false,
         [] { return Cmp(doEqual, Upper(FieldRef("NAME")), Str("ABC")); }, 0, 0, false},
        {"NAME = 'abc' on a case-insensitive index", true,
         [] { return Cmp(doEqual, FieldRef("NAME"), Str("abc")); }, 0, 0, false},
        {"FREQ = 518 at column 1 after =", false, [] { return Cmp(doEqual, FieldRef("FREQ"), Int(518)); }, 1, doEqual,
         true},
        {"FREQ = 518 at column 1 after <", false, [] { return Cmp(doEqual, FieldRef("FREQ"), Int(518)); }, 1, doLess,
         false},
        {"FREQ > 518 at column 1 after =", false, [] { return Cmp(doGreater, FieldRef("FREQ"), Int(518)); }, 1, doEqual,
         false},
        {"FREQ = 518 at column 0", false, [] { return Cmp(doEqual, FieldRef("FREQ"), Int(518)); }, 0, 0, false},
        {"NAME IS NULL", false, [] { return Logic(doIsNull, List(FieldRef("NAME"))); }, 0, 0, true},
        {"NAME IS NOT NULL", false, [] { return Logic(doIsNotNull, List(FieldRef("NAME"))); }, 0, 0, true},
        {"FREQ IS NULL at column 1 after =", false, [] { return Logic(doIsNull, List(FieldRef("FREQ"))); }, 1, doEqual,
         true},
        {"FREQ IS NULL at column 1 after >", false, [] { return Logic(doIsNull, List(FieldRef("FREQ"))); }, 1,
         doGreater, false},
        {"FREQ IS NOT NULL at column 1", false, [] { return Logic(doIsNotNull, List(FieldRef("FREQ"))); }, 1, doEqual,
         false},
        {"NAME LIKE 'a%'", false, [] { return Logic(doLike, List(FieldRef("NAME"), Str("a%"))); }, 0, 0, false},
        // Arithmetic of constants bounds a key as its value would; anything that reads a
        // record, changes between reads or cannot be computed stays with the record check.
        {"FREQ = 500 + 18 at column 1 after =", false,
         [] { return Cmp(doEqual, FieldRef("FREQ"), Arith(doAdd, Int(500), Int(18))); }, 1, doEqual, true},
        {"-(2 * 259) = FREQ", false,
         [] { return Cmp(doEqual, Arith(doNegate, Arith(doMultiply, Int(2), Int(259))), FieldRef("FREQ")); }, 1,
         doEqual, true},
        {"FREQ = 7.0 / 2 (no whole number)", false,
         [] { return Cmp(doEqual, FieldRef("FREQ"), Arith(doDivide, Dbl(7), Int(2))); }, 1, doEqual, false},
        {"FREQ = 1 / 0", false, [] { return Cmp(doEqual, FieldRef("FREQ"), Arith(doDivide, Int(1), Int(0))); }, 1,
         doEqual, false},
        {"FREQ = FREQ + 1", false,
         [] { return Cmp(doEqual, FieldRef("FREQ"), Arith(doAdd, FieldRef("FREQ"), Int(1))); }, 1, doEqual, false},
        {"FREQ = ROUND(RAND() * 10)", false,
         [] {
             return Cmp(doEqual, FieldRef("FREQ"),
                        Arith(doRound, Arith(doMultiply, std::make_unique<TORQExprNodeArithmetic>(doRand), Int(10))));
         },
         1, doEqual, false},
        {"NAME = 1 + 2 (a text key)", false,
         [] { return Cmp(doEqual, FieldRef("NAME"), Arith(doAdd, Int(1), Int(2))); }, 0, 0, false},
    };
    for (const Case& c : cases) {
        ScanFixture& fx = c.caseInsensitiveIndex ? ci : cs;
        auto n = fx.Bound(c.build());
        EXPECT_EQ(n->CanServeIndexColumn(c.column, c.previous, -1, fx.index), c.expected) << c.what;
    }
    // A partial compare, a BLOB field, an outer reference and a restricted index refuse.
    auto partial = std::make_unique<TORQExprNodeComparison>(doEqual, 0, 1, FieldRef("NAME"), Str("a"));
    EXPECT_FALSE(cs.Bound(std::move(partial))->CanServeIndexColumn(0, 0, -1, cs.index));
    cs.index.GetColumn(0).FieldName = "NOTE";
    EXPECT_FALSE(cs.Bound(Cmp(doEqual, FieldRef("NOTE"), Str("a")))->CanServeIndexColumn(0, 0, -1, cs.index));
    cs.index.GetColumn(0).FieldName = "NAME";
    auto outer = cs.Bound(Cmp(doEqual, FieldRef("NAME"), Str("a")));
    static_cast<TORQExprNodeField*>(outer->Child(0))->IsOuterReference = 1;
    EXPECT_FALSE(outer->CanServeIndexColumn(0, 0, -1, cs.index));
    cs.index.Restricted = 1;
    cs.index.RestrictionNo = 4;
    auto restricted = cs.Bound(Cmp(doEqual, FieldRef("NAME"), Str("a")));
    EXPECT_FALSE(restricted->CanServeIndexColumn(0, 0, 3, cs.index));
    EXPECT_TRUE(restricted->CanServeIndexColumn(0, 0, 4, cs.index));
}

TEST(ExprScan, ScanConditionsNeedABoundPairAndColumns) {
    ScanFixture fx(false, false);
    TORQScanSearchConditionArray conditions;
    auto noPair = fx.Bound(Cmp(doEqual, FieldRef("NAME"), FieldRef("FREQ")));
    ExpectNative([&] { noPair->BuildScanCondition(conditions, fx.index, nullptr); }, 20055);
    auto opBound = fx.Bound(Cmp(doEqual, FieldRef("NAME"), Str("a")));
    ExpectNative([&] { opBound->BuildScanCondition(conditions, fx.index, nullptr); }, 20054,
                 "Pointer is nil - Native error: 20054");
    auto isNull = fx.Bound(Logic(doIsNull, List(FieldRef("NAME"))));
    ExpectNative([&] { isNull->BuildScanCondition(conditions, fx.index, nullptr); }, 20254);
    EXPECT_EQ(conditions.Count(), 0);
}
