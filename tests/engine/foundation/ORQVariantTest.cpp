// TORQVariant: typing rule of the setters, accessors, stream form, arithmetic with its
// Null rules, comparison, and class-library variants.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <vector>

#include "classlib/DateUtils.h"
#include "classlib/Variant.h"
#include "engine/foundation/ORQMemory.h"
#include "engine/foundation/ORQStreams.h"
#include "engine/foundation/ORQVariant.h"
#include "foundation/ExpectNative.h"

using namespace orq;
using classlib::EncodeDate;
using classlib::EncodeTime;
using classlib::Variant;

namespace {

std::vector<uint8_t> Saved(const TORQVariant& v) {
    TORQMemoryStream s;
    v.SaveToStream(s);
    return std::vector<uint8_t>(s.Memory(), s.Memory() + s.Size());
}

uint16_t RawWord(const TORQVariant& v) {
    uint16_t w;
    std::memcpy(&w, v.Data(), 2);
    return w;
}

void LoadBytes(TORQVariant& v, const std::vector<uint8_t>& bytes) {
    TORQMemoryStream s;
    s.Write(bytes.data(), static_cast<int64_t>(bytes.size()));
    s.SetPosition(0);
    v.LoadFromStream(s);
}

}  // namespace

TEST(TORQVariant, UntypedSettersTakeTheirTypeAndSize) {
    struct Case { std::function<void(TORQVariant&)> set; uint8_t type; int32_t size; };
    const Case cases[] = {
        {[](TORQVariant& v) { v.SetAsShortInt(-5); }, 5, 1},
        {[](TORQVariant& v) { v.SetAsSmallInt(-5); }, 6, 2},
        {[](TORQVariant& v) { v.SetAsInteger(5); }, 7, 4},
        {[](TORQVariant& v) { v.SetAsLargeInt(5); }, 8, 8},
        {[](TORQVariant& v) { v.SetAsByte(5); }, 9, 1},
        {[](TORQVariant& v) { v.SetAsWord(5); }, 10, 2},
        {[](TORQVariant& v) { v.SetAsCardinal(5); }, 11, 4},
        {[](TORQVariant& v) { v.SetAsString("abc"); }, 3, 4},
        {[](TORQVariant& v) { v.SetAsWideString(u"abc"); }, 4, 8},
        {[](TORQVariant& v) { v.SetAsSingle(5); }, 12, 4},
        {[](TORQVariant& v) { v.SetAsDouble(5); }, 13, 8},
        {[](TORQVariant& v) { v.SetAsExtended(5); }, 14, 10},
        {[](TORQVariant& v) { v.SetAsDate(EncodeDate(2024, 1, 15)); }, 15, 4},
        {[](TORQVariant& v) { v.SetAsTime(0.5); }, 16, 4},
        {[](TORQVariant& v) { v.SetAsDateTime(EncodeDate(2024, 1, 15) + 0.5); }, 17, 8},
        {[](TORQVariant& v) { v.SetAsBoolean(true); }, 21, 2},
        {[](TORQVariant& v) { v.SetAsCurrency(5); }, 22, 8},
    };
    for (const auto& c : cases) {
        TORQVariant v;
        c.set(v);
        EXPECT_EQ(v.DataType(), c.type);
        EXPECT_EQ(v.DataSize(), c.size) << int(c.type);
        EXPECT_FALSE(v.IsNull());
        EXPECT_FALSE(v.IsReference());
        EXPECT_EQ(v.GetAsString().empty(), false) << int(c.type);  // every type reads as text
    }
}

TEST(TORQVariant, TypedObjectsConvertIntoTheirOwnType) {
    TORQVariant v(7);
    v.SetAsString("12");
    EXPECT_EQ(v.DataType(), 7);
    EXPECT_EQ(v.GetAsInteger(), 12);
    v.SetAsDouble(-2.7);
    EXPECT_EQ(v.GetAsInteger(), -2);
    v.SetAsString("");
    EXPECT_TRUE(v.IsNull());
    EXPECT_EQ(v.DataType(), 7);
    ExpectNative([&] { v.SetAsString("abc"); }, 30051);
    TORQVariant s(3);
    s.SetAsInteger(42);
    EXPECT_EQ(s.GetAsString(), "42");
    EXPECT_EQ(s.GetStringLength(), 2);
    EXPECT_EQ(s.GetAsDouble(), 42.0);
    TORQVariant d;
    d.SetAsDate(EncodeDate(2024, 1, 15));
    EXPECT_EQ(d.GetAsDays(), 738900);
    EXPECT_EQ(d.GetAsDate(), EncodeDate(2024, 1, 15));
    EXPECT_EQ(d.GetAsString(), "2024-01-15");
    TORQVariant ts;
    ts.SetAsDateTime(EncodeDate(2024, 1, 15) + EncodeTime(10, 20, 30, 0));
    EXPECT_EQ(ts.GetAsTimeStamp(), (TORQTimeStamp{738900, 37230000}));
    EXPECT_EQ(ts.GetAsString(), "2024-01-15 10:20:30");
    TORQVariant x;
    x.SetAsExtended(1.0L / 3);
    EXPECT_EQ(x.GetAsExtended(), 1.0L / 3);
    TORQVariant w(4);
    w.SetAsString("\x80uro");
    EXPECT_EQ(w.GetAsWideString(), u"\u20ACuro");
    EXPECT_EQ(w.GetStringLength(), 4);
}

TEST(TORQVariant, NullReadsAsEmptyTextAndFailsOtherwise) {
    TORQVariant v(7);
    EXPECT_EQ(v.GetAsString(), "");
    EXPECT_EQ(v.GetAsWideString(), u"");
    ExpectNative([&] { v.GetAsInteger(); }, 30016, "Value is Null - Native error: 30016");
    v.SetAsInteger(3);
    v.SetNull();
    EXPECT_TRUE(v.IsNull());
    EXPECT_NE(v.Data(), nullptr);  // SetNull keeps type, size and buffer
    v.SetNull(13);
    EXPECT_EQ(v.DataType(), 7);
    EXPECT_EQ(v.GetStringLength(), -1);
    ExpectNative([&] { v.CheckNotNull(); }, 30016);
}

TEST(TORQVariant, BuffersOwnedReferencedAndCopiedOut) {
    char text[] = "hello";
    TORQVariant ref;
    ref.SetData(text, 6, 3, false);
    EXPECT_TRUE(ref.IsReference());
    EXPECT_EQ(ref.Data(), text);
    TORQVariant copy;
    copy.Assign(ref, true);
    EXPECT_FALSE(copy.IsReference());
    EXPECT_NE(copy.Data(), static_cast<void*>(text));
    TORQVariant alias;
    alias.Assign(ref, false);
    EXPECT_EQ(alias.Data(), text);
    text[0] = 'j';
    EXPECT_EQ(copy.GetAsString(), "hello");
    EXPECT_EQ(alias.GetAsString(), "jello");
    ref.SetAsString("x");  // a referenced buffer is never written in place
    EXPECT_EQ(std::string(text), "jello");
    char out[8] = {};
    EXPECT_TRUE(copy.CopyToBuffer(out, 8));
    EXPECT_STREQ(out, "hello");
    ExpectNative([&] { copy.CopyToBuffer(out, 5); }, 20056);
    EXPECT_TRUE(copy.CopyToBuffer(out, -1));
    TORQVariant empty;
    empty.SetData(const_cast<char*>(""), 1, 3, true);
    EXPECT_FALSE(empty.CopyToBuffer(out, 8));
    TORQVariant null(7);
    EXPECT_FALSE(null.CopyToBuffer(out, 8));
}

// A value referring to wide text at an odd address of a record buffer.
TEST(TORQVariant, WideTextReferencedAtAnOddAddress) {
    alignas(8) uint8_t record[24] = {};
    std::memcpy(record + 3, u"ab\u00E9", 8);
    TORQVariant ref;
    ref.SetData(record + 3, 8, bdtWideVarChar, false);
    EXPECT_EQ(ref.GetAsWideString(), u"ab\u00E9");
    EXPECT_EQ(ref.GetAsString(), "ab\xE9");
    TORQVariant same;
    same.SetAsWideString(u"ab\u00E9");
    EXPECT_EQ(ref.Compare(same, true, false, false), 0);
    TORQVariant prefix;
    prefix.SetAsString("AB");
    EXPECT_EQ(ref.Compare(prefix, true, true, true), 0);  // partial, ignoring case
    TORQVariant copy;
    copy.Assign(ref, true);
    copy.CastTo(bdtVarChar);
    EXPECT_EQ(copy.GetAsString(), "ab\xE9");
    TORQVariant set(bdtWideVarChar);
    const void* text = record + 3;
    set.SetValue(&text, bdtWideVarChar);  // copied with its length found bytewise
    EXPECT_EQ(set.DataSize(), 8);
}

TEST(TORQVariant, CastToAndSetDataType) {
    TORQVariant v;
    v.SetAsInteger(300);
    v.CastTo(3);
    EXPECT_EQ(v.GetAsString(), "300");
    ExpectNative([&] { v.CastTo(5); }, 30930);  // 300 has no SHORTINT: refused, not cut to 44
    EXPECT_EQ(v.GetAsString(), "300");
    v.SetAsInteger(-100);
    v.CastTo(5);
    EXPECT_EQ(v.GetAsShortInt(), -100);
    TORQVariant bad;
    bad.SetAsString("abc");
    ExpectNative([&] { bad.CastTo(7); }, 30051);
    EXPECT_EQ(bad.DataType(), 3);  // unchanged on failure
    EXPECT_EQ(bad.GetAsString(), "abc");
    bad.SetDataType(7);  // swallows the conversion failure: Null of the new type
    EXPECT_TRUE(bad.IsNull());
    EXPECT_EQ(bad.DataType(), 7);
    char clob[3] = {'a', 'b', 'c'};
    TORQVariant c;
    c.SetData(clob, 3, 19, true);
    c.CastTo(3);
    EXPECT_EQ(c.DataSize(), 4);
    EXPECT_EQ(c.GetAsString(), "abc");
    TORQVariant cr;
    cr.SetData(clob, 3, 19, false);  // referenced CLOB: copied, never resized in place
    cr.CastTo(3);
    EXPECT_FALSE(cr.IsReference());
    EXPECT_EQ(cr.GetAsString(), "abc");
    TORQVariant n(7);
    n.CastTo(13);
    EXPECT_EQ(n.DataType(), 13);
    EXPECT_TRUE(n.IsNull());
}

TEST(TORQVariant, StreamFormBytes) {
    TORQVariant null(7);
    EXPECT_EQ(Saved(null), (std::vector<uint8_t>{7, 0xFF}));
    TORQVariant s;
    s.SetAsString("abc");
    EXPECT_EQ(Saved(s), (std::vector<uint8_t>{3, 0, 4, 0, 0, 0, 'a', 'b', 'c', 0}));
    TORQVariant i;
    i.SetAsInteger(-2);
    EXPECT_EQ(Saved(i), (std::vector<uint8_t>{7, 0, 4, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF}));
    for (TORQVariant* src : {&null, &s, &i}) {
        TORQVariant back(9);
        LoadBytes(back, Saved(*src));
        EXPECT_EQ(back.DataType(), src->DataType());
        EXPECT_EQ(back.IsNull(), src->IsNull());
        EXPECT_EQ(back.GetAsString(), src->GetAsString());
    }
    TORQVariant marked;
    LoadBytes(marked, {13, 1, 0xAA});  // any non-zero marker is Null
    EXPECT_TRUE(marked.IsNull());
    EXPECT_EQ(marked.DataType(), 13);
}

TEST(TORQVariant, StreamSizesAreNotTrusted) {
    TORQVariant v;
    ExpectNative([&] { LoadBytes(v, {}); }, 10183);
    ExpectNative([&] { LoadBytes(v, {3}); }, 10184);
    ExpectNative([&] { LoadBytes(v, {3, 0, 4, 0}); }, 10185);
    ExpectNative([&] { LoadBytes(v, {3, 0, 0xFF, 0xFF, 0xFF, 0xFF, 'a'}); }, 10185);  // negative
    ExpectNative([&] { LoadBytes(v, {3, 0, 0xFF, 0xFF, 0xFF, 0x7F, 'a'}); }, 10186);  // beyond the stream
    ExpectNative([&] { LoadBytes(v, {3, 0, 4, 0, 0, 0, 'a', 0}); }, 10186);
    EXPECT_TRUE(v.IsNull());
    ExpectNative([&] { LoadBytes(v, {3, 0, 3, 0, 0, 0, 'a', 'b', 'c'}); }, 10186);  // text without terminator
    ExpectNative([&] { LoadBytes(v, {4, 0, 3, 0, 0, 0, 'a', 0, 0}); }, 10186);      // odd wide size
    EXPECT_TRUE(v.IsNull());
    LoadBytes(v, {4, 0, 4, 0, 0, 0, 'a', 0, 0, 0});
    EXPECT_EQ(v.GetAsWideString(), u"a");
    // A fixed-size type carries exactly its width: fewer bytes would be read past.
    ExpectNative([&] { LoadBytes(v, {7, 0, 1, 0, 0, 0, 5}); }, 10185);
    ExpectNative([&] { LoadBytes(v, {13, 0, 4, 0, 0, 0, 0, 0, 0x80, 0x3F}); }, 10185);
    ExpectNative([&] { LoadBytes(v, {17, 0, 9, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9}); }, 10185);
    EXPECT_TRUE(v.IsNull());
    LoadBytes(v, {14, 0, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x3F});
    EXPECT_EQ(v.GetAsExtended(), 1.0L);
    LoadBytes(v, {7, 0, 0, 0, 0, 0});  // a value without bytes is Null
    EXPECT_TRUE(v.IsNull());
    EXPECT_EQ(v.DataType(), 7);
}

TEST(TORQVariant, ArithmeticByResultType) {
    auto run = [](auto setA, auto setB, char op) {
        auto a = std::make_unique<TORQVariant>();
        TORQVariant b;
        setA(*a);
        setB(b);
        if (op == '+') a->Add(b);
        else if (op == '*') a->Multiply(b);
        else a->Divide(b);
        return a;
    };
    auto i32 = [](int32_t x) { return [x](TORQVariant& v) { v.SetAsInteger(x); }; };
    auto i8 = [](int8_t x) { return [x](TORQVariant& v) { v.SetAsShortInt(x); }; };
    auto u8 = [](uint8_t x) { return [x](TORQVariant& v) { v.SetAsByte(x); }; };
    auto str = [](const char* x) { return [x](TORQVariant& v) { v.SetAsString(x); }; };
    auto dbl = [](double x) { return [x](TORQVariant& v) { v.SetAsDouble(x); }; };
    auto ts = [](int32_t d, int32_t m) { return [d, m](TORQVariant& v) { v.SetAsTimeStamp({d, m}); }; };
    auto bl = [](bool x) { return [x](TORQVariant& v) { v.SetAsBoolean(x); }; };

    EXPECT_EQ(run(i32(7), i32(2), '/')->GetAsInteger(), 3);
    EXPECT_EQ(run(i32(-7), i32(2), '/')->GetAsInteger(), -3);
    // Integer results outside the type raise the overflow error; at the limits they fit.
    struct Refused {
        int32_t A, B;
        char Op;
    };
    for (const Refused& r : {Refused{INT32_MIN, -1, '/'}, Refused{INT32_MAX, 1, '+'}, Refused{65536, 65536, '*'},
                             Refused{INT32_MIN, -1, '+'}})
        ExpectNative([&] { run(i32(r.A), i32(r.B), r.Op); }, 30930, "Integer overflow - Native error: 30930");
    EXPECT_EQ(run(i32(INT32_MIN), i32(1), '/')->GetAsInteger(), INT32_MIN);
    EXPECT_EQ(run(i32(INT32_MAX - 1), i32(1), '+')->GetAsInteger(), INT32_MAX);
    EXPECT_EQ(run(i32(-65536), i32(32768), '*')->GetAsInteger(), INT32_MIN);
    ExpectNative([&] { run(i8(127), i8(1), '+'); }, 30930);
    EXPECT_EQ(run(i8(-127), i8(-1), '+')->GetAsShortInt(), -128);
    ExpectNative([&] { run(u8(255), u8(1), '+'); }, 30930);
    ExpectNative([&] { run(u8(200), u8(2), '*'); }, 30930);
    EXPECT_EQ(run(u8(127), u8(2), '*')->GetAsByte(), 254);
    auto mixed = run(i8(-1), u8(200), '+');  // shortint with byte works in smallint
    EXPECT_EQ(mixed->DataType(), 6);
    EXPECT_EQ(mixed->GetAsSmallInt(), 199);
    EXPECT_EQ(run(dbl(1.5), i32(2), '*')->GetAsDouble(), 3.0);
    EXPECT_EQ(run(str("ab"), str("cd"), '+')->GetAsString(), "abcd");
    EXPECT_EQ(run(i32(5), str("x"), '+')->GetAsString(), "5x");
    EXPECT_EQ(run(ts(10, 86000000), ts(1, 1000000), '+')->GetAsTimeStamp(), (TORQTimeStamp{12, 600000}));
    EXPECT_EQ(run(ts(10, 6), ts(3, 2), '/')->GetAsTimeStamp(), (TORQTimeStamp{3, 3}));
    EXPECT_TRUE(run(bl(false), bl(true), '*')->GetAsBoolean());
    EXPECT_EQ(RawWord(*run(bl(false), bl(true), '+')), 0xFFFF);
    EXPECT_FALSE(run(bl(false), bl(false), '/')->GetAsBoolean());
    auto date = run([](TORQVariant& v) { v.SetAsDays(738900); }, i32(5), '+');
    EXPECT_EQ(date->DataType(), 15);
    EXPECT_EQ(date->GetAsDays(), 738905);

    ExpectNative([&] { run(i32(7), i32(0), '/'); }, 30128, "Division error: Division by zero - Native error: 30128");
    ExpectNative([&] { run(u8(7), u8(0), '/'); }, 30128);
    ExpectNative([&] { run(dbl(1), dbl(0), '/'); }, 30128);
    ExpectNative([&] { run(dbl(0), dbl(0), '/'); }, 30128);
    ExpectNative([&] { run(ts(1, 1), ts(0, 1), '/'); }, 30128);
    ExpectNative([&] { run(str("a"), str("b"), '*'); }, 30126,
                 "Not numeric argument in numeric operator '*' - Native error: 30126");
    ExpectNative([&] { run(str("a"), str("b"), '/'); }, 30127);
    ExpectNative([&] { run(bl(true), [](TORQVariant& v) { v.SetAsCurrency(1); }, '+'); }, 30052,
                 "Cannot cast from 'LOGICAL' to 'Unknown' - Native error: 30052");
    ExpectNative([&] { run(dbl(1), str("x"), '/'); }, 30127);  // works in text
}

TEST(TORQVariant, NullRulesOfTheBinaryOperations) {
    struct Case { uint8_t selfType; bool selfNull; bool otherNull; char op; bool resultNull; uint8_t resultType; std::string text; };
    const Case cases[] = {
        {3, false, true, '+', false, 3, "ab"},   // text + Null: unchanged
        {3, true, false, '+', false, 7, "5"},    // Null text + value: takes a copy of the value and its type
        {7, false, true, '+', true, 7, ""},      // value + Null: Null of its own type
        {7, true, false, '+', true, 7, ""},
        {7, false, true, '*', true, 7, ""},
        {3, false, true, '*', true, 3, ""},
        {7, true, false, '/', true, 7, ""},
        {7, false, true, '/', true, 7, ""},
    };
    for (const auto& c : cases) {
        TORQVariant self(c.selfType), other(7);
        if (!c.selfNull) {
            if (c.selfType == 3) self.SetAsString("ab");
            else self.SetAsInteger(9);
        }
        if (!c.otherNull) other.SetAsInteger(5);
        if (c.op == '+') self.Add(other);
        else if (c.op == '*') self.Multiply(other);
        else self.Divide(other);
        EXPECT_EQ(self.IsNull(), c.resultNull) << int(c.selfType) << c.op;
        EXPECT_EQ(self.DataType(), c.resultType) << int(c.selfType) << c.op;
        EXPECT_EQ(self.GetAsString(), c.text) << int(c.selfType) << c.op;
    }
}

TEST(TORQVariant, NegateByType) {
    // No negation leaves its type: an unsigned value other than 0 and a signed type's
    // smallest value raise the overflow error.
    TORQVariant b;
    b.SetAsByte(5);
    ExpectNative([&] { b.Negate(); }, 30930, "Integer overflow - Native error: 30930");
    b.SetAsByte(0);
    b.Negate();
    EXPECT_EQ(b.GetAsByte(), 0);
    TORQVariant w;
    w.SetAsWord(1);
    ExpectNative([&] { w.Negate(); }, 30930);
    TORQVariant c;
    c.SetAsCardinal(5);
    ExpectNative([&] { c.Negate(); }, 30930);
    TORQVariant s;
    s.SetAsShortInt(-128);
    ExpectNative([&] { s.Negate(); }, 30930);
    s.SetAsShortInt(127);
    s.Negate();
    EXPECT_EQ(s.GetAsShortInt(), -127);
    TORQVariant m;
    m.SetAsSmallInt(INT16_MIN);
    ExpectNative([&] { m.Negate(); }, 30930);
    TORQVariant i;
    i.SetAsInteger(INT32_MIN);
    ExpectNative([&] { i.Negate(); }, 30930);
    i.SetAsInteger(7);
    i.Negate();
    EXPECT_EQ(i.GetAsInteger(), -7);
    TORQVariant l;
    l.SetAsLargeInt(INT64_MIN);
    ExpectNative([&] { l.Negate(); }, 30930);
    l.SetAsLargeInt(INT64_MAX);
    l.Negate();
    EXPECT_EQ(l.GetAsLargeInt(), -INT64_MAX);
    TORQVariant t;
    t.SetAsBoolean(true);
    t.Negate();
    EXPECT_FALSE(t.GetAsBoolean());
    t.Negate();
    EXPECT_EQ(RawWord(t), 0xFFFF);
    TORQVariant d;
    d.SetAsDays(10);
    d.Negate();
    EXPECT_EQ(d.GetAsDays(), -10);
    TORQVariant e;
    e.SetAsExtended(2.5L);
    e.Negate();
    EXPECT_EQ(e.GetAsExtended(), -2.5L);
    TORQVariant n(7);
    n.Negate();
    EXPECT_TRUE(n.IsNull());
    TORQVariant str;
    str.SetAsString("x");
    ExpectNative([&] { str.Negate(); }, 30123, "Cannot invert value with not numeric type 'STRING' - Native error: 30123");
    TORQVariant tm;
    tm.SetAsMilliseconds(5);
    ExpectNative([&] { tm.Negate(); }, 30123);
}

TEST(TORQVariant, CompareWithNullsFirst) {
    TORQVariant n1(7), n2(7), five, abc, abcdef, ABD;
    five.SetAsInteger(5);
    abc.SetAsString("abc");
    abcdef.SetAsString("abcdef");
    ABD.SetAsString("ABD");
    EXPECT_EQ(n1.Compare(n2, false, false, false), 0);
    EXPECT_EQ(n1.Compare(five, false, false, false), 1);
    EXPECT_EQ(five.Compare(n1, false, false, false), 2);
    EXPECT_EQ(n1.Compare(n2, true, false, false), 5);
    EXPECT_EQ(n1.Compare(five, true, false, false), 3);
    EXPECT_EQ(five.Compare(n1, true, false, false), 4);
    EXPECT_EQ(abcdef.Compare(abc, false, false, true), 0);
    EXPECT_EQ(abcdef.Compare(abc, false, false, false), 2);
    EXPECT_EQ(abc.Compare(ABD, false, true, false), 1);
    EXPECT_EQ(abc.Compare(abcdef, false, false, true), 1);  // self shorter than Other's length
    TORQVariant text5;
    text5.SetAsString("5");
    EXPECT_EQ(five.Compare(text5, false, false, false), 0);
    // Bytes compare as text up to their first zero, and never past their own bytes.
    TORQVariant b1, b2, b3;
    b1.SetData(const_cast<char*>("abc"), 3, 23, true);
    b2.SetData(const_cast<char*>("abd"), 3, 23, true);
    b3.SetData(const_cast<char*>("abc\0x"), 5, 23, true);
    EXPECT_EQ(b1.Compare(b2, false, false, false), 1);
    EXPECT_EQ(b2.Compare(b1, false, false, false), 2);
    EXPECT_EQ(b1.Compare(b3, false, false, false), 0);
    // CLOB values hold their bytes without a terminator.
    TORQVariant c1, c2, w1, w2;
    c1.SetData(const_cast<char*>("abc"), 3, 19, true);
    c2.SetData(const_cast<char*>("abd"), 3, 19, true);
    EXPECT_EQ(c1.Compare(c2, false, false, false), 1);
    EXPECT_EQ(c1.Compare(abc, false, false, false), 0);
    EXPECT_EQ(abc.Compare(c1, false, false, false), 0);
    w1.SetData(const_cast<char16_t*>(u"ab"), 4, 20, true);
    w2.SetData(const_cast<char16_t*>(u"ab"), 4, 4, true);  // wide text set without its terminator
    EXPECT_EQ(w1.Compare(abc, false, false, false), 1);
    EXPECT_EQ(w2.Compare(w1, false, false, false), 0);
}

// An owned byte value takes a new value of its type in place, all DataSize bytes;
// a referenced one is never written through.
TEST(TORQVariant, SetValueOfBytesCopiesTheWholeSize) {
    for (uint8_t type : {uint8_t(23), uint8_t(24)}) {
        TORQVariant v;
        v.SetData(const_cast<char*>("abcdef"), 6, type, true);
        const void* block = v.Data();
        v.SetValue("uvwxyz", type);
        EXPECT_EQ(v.DataSize(), 6) << int(type);
        EXPECT_EQ(v.Data(), block);
        EXPECT_EQ(std::string(static_cast<const char*>(v.Data()), 6), "uvwxyz");
        char shared[] = "ABCDEF";
        TORQVariant r;
        r.SetData(shared, 6, type, false);
        r.SetValue("uvwxyz", type);
        EXPECT_STREQ(shared, "ABCDEF");
    }
}

TEST(TORQVariant, ClassLibraryVariantsByTypeCode) {
    struct Case { Variant v; uint8_t type; std::string text; };
    const Case cases[] = {
        {Variant::FromSmallint(-2), 6, "-2"},       {Variant::FromInteger(7), 7, "7"},
        {Variant::FromSingle(0.5f), 12, "0.5"},     {Variant::FromDouble(0.975), 13, "0.975"},
        {Variant::FromCurrency(1.25), 22, "1.25"},  {Variant::FromDate(EncodeDate(2024, 1, 15)), 17, "2024-01-15"},
        {Variant::FromOleStr(u"w"), 4, "w"},        {Variant::FromBoolean(true), 21, "True"},
        {Variant::FromShortInt(-1), 5, "-1"},       {Variant::FromByte(200), 9, "200"},
        {Variant::FromWord(60000), 10, "60000"},    {Variant::FromLongWord(4000000000u), 11, "4000000000"},
        {Variant::FromInt64(-9000000000), 8, "-9000000000"}, {Variant::FromString("s"), 3, "s"},
    };
    for (const auto& c : cases) {
        TORQVariant v;
        v.SetAsVariant(c.v);
        EXPECT_EQ(v.DataType(), c.type) << c.v.VarType();
        EXPECT_EQ(v.GetAsString(), c.text) << c.v.VarType();
        const Variant back = v.GetAsVariant();
        if (c.type == 22 || c.type == 12) EXPECT_EQ(back.VarType(), classlib::varDouble);
        else if (c.type == 17) EXPECT_EQ(back.VarType(), classlib::varDate);
        else EXPECT_EQ(back, c.v) << c.v.VarType();
    }
    TORQVariant b;
    b.SetAsVariant(Variant::FromBoolean(true));
    EXPECT_EQ(RawWord(b), 1);  // a variant's true is stored as 1
    TORQVariant typed(3);
    typed.SetAsVariant(Variant::FromInteger(5));
    EXPECT_EQ(typed.DataType(), 3);
    EXPECT_EQ(typed.GetAsString(), "5");
    typed.SetAsVariant(Variant::Null());
    EXPECT_TRUE(typed.IsNull());
    EXPECT_TRUE(typed.GetAsVariant().IsNull());
    ExpectNative([&] { typed.SetAsVariant(Variant::CreateArray({{0, 1}}, classlib::varVariant)); }, 30113);
    TORQVariant bytes;
    bytes.SetData(const_cast<char*>("ab"), 3, 23, true);
    ExpectNative([&] { bytes.GetAsVariant(); }, 30114, "Unsupported Variant Type BYTES - Native error: 30114");
    TORQVariant t;
    t.SetAsMilliseconds(43200000);
    EXPECT_EQ(t.GetAsVariant().AsDouble(), 0.5);
}
