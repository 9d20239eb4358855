// Component streaming: a persistent object's declared entries written and read back, the
// byte layout of each value, and damaged streams refused whole.
#include "classlib/DBParams.h"
#include "classlib/Streaming.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

using namespace classlib;

namespace {

// An object with one entry of each kind, each written only when it holds something.
class TSample : public TPersistent {
public:
    std::optional<int64_t> Number;
    std::string Text;
    std::vector<uint8_t> Bytes;
    std::vector<Variant> Values;

    void DefineProperties(TFiler& Filer) override {
        Filer.DefineProperty(
            "Number", [this](TReader& R) { Number = R.ReadInteger(); },
            [this](TWriter& W) { W.WriteInteger(*Number); }, Number.has_value());
        Filer.DefineProperty(
            "Text", [this](TReader& R) { Text = R.ReadString(); }, [this](TWriter& W) { W.WriteString(Text); },
            !Text.empty());
        Filer.DefineBinaryProperty(
            "Bytes",
            [this](TStream& S) {
                Bytes.resize(static_cast<size_t>(S.Size()));
                S.ReadBuffer(Bytes.data(), S.Size());
            },
            [this](TStream& S) { S.WriteBuffer(Bytes.data(), static_cast<int64_t>(Bytes.size())); }, !Bytes.empty());
        Filer.DefineProperty(
            "Values",
            [this](TReader& R) {
                R.ReadListBegin();
                while (!R.EndOfList()) Values.push_back(R.ReadVariant());
            },
            [this](TWriter& W) {
                W.WriteListBegin();
                for (const Variant& V : Values) W.WriteVariant(V);
                W.WriteListEnd();
            },
            !Values.empty());
    }
};

std::vector<uint8_t> Written(TPersistent& Object) {
    TMemoryStream S;
    TWriter(S).WriteProperties(Object);
    return S.Data();
}

void ReadInto(const std::vector<uint8_t>& Bytes, TPersistent& Object) {
    TMemoryStream S;
    if (!Bytes.empty()) S.WriteBuffer(Bytes.data(), static_cast<int64_t>(Bytes.size()));
    S.SetPosition(0);
    TReader(S).ReadProperties(Object);
}

}  // namespace

TEST(Streaming, EntriesAreLaidOutByteByByte) {
    TSample s;
    s.Number = -2;
    s.Bytes = {0xAB, 0x00};
    s.Values = {Variant::Null(), Variant::FromBoolean(true), Variant::FromInt64(int64_t{1} << 40)};
    const std::vector<uint8_t> want = {
        6, 'N', 'u', 'm', 'b', 'e', 'r', 2, 0xFE, 0xFF, 0xFF, 0xFF,             // vaInt32 -2
        5, 'B', 'y', 't', 'e', 's', 7, 2, 0, 0, 0, 0xAB, 0x00,                  // vaBinary, 2 bytes
        6, 'V', 'a', 'l', 'u', 'e', 's', 1, 10, 9, 3, 0, 0, 0, 0, 0, 1, 0, 0, 0,  // list: null, true, int64
        0};                                                                    // end of entries
    EXPECT_EQ(Written(s), want);
    TSample empty;
    EXPECT_EQ(Written(empty), std::vector<uint8_t>{0});
}

TEST(Streaming, EveryKindOfValueReadsBackAsWritten) {
    TSample s;
    s.Number = int64_t{-1} << 50;
    s.Text = std::string("ZCZC EA01\r\n\0\xE9", 13);
    s.Bytes.assign(70000, 0x5A);
    s.Values = {Variant::FromInteger(-7), Variant::FromInt64(INT64_MIN), Variant::FromDouble(-0.1),
                Variant::FromString(""), Variant::FromOleStr(u"\u00E9t\u00E9"), Variant::FromBoolean(false),
                Variant::Null()};
    TSample back;
    ReadInto(Written(s), back);
    EXPECT_EQ(back.Number, s.Number);
    EXPECT_EQ(back.Text, s.Text);
    EXPECT_EQ(back.Bytes, s.Bytes);
    EXPECT_EQ(back.Values, s.Values);
}

TEST(Streaming, DamagedStreamsAreRefused) {
    TSample s;
    s.Number = 5;
    s.Text = "GALE";
    s.Bytes = {1, 2, 3};
    s.Values = {Variant::FromDouble(1.5), Variant::FromString("x")};
    const std::vector<uint8_t> good = Written(s);
    // Every truncation: a read error, never a crash or a silent short value.
    for (size_t n = 0; n < good.size(); ++n) {
        TSample back;
        EXPECT_THROW(ReadInto(std::vector<uint8_t>(good.begin(), good.begin() + std::ptrdiff_t(n)), back),
                     EReadError)
            << n;
    }
    // A length beyond the stream, an unknown tag, a value of the wrong kind, an entry
    // nobody declares.
    std::vector<uint8_t> bad = good;
    bad[7] = 0x7F;  // Number's tag unknown
    TSample back;
    EXPECT_THROW(ReadInto(bad, back), EReadError);
    bad = good;
    bad[7] = 5;  // Number as a string
    EXPECT_THROW(ReadInto(bad, back), EReadError);
    bad = good;
    ASSERT_EQ(bad[32], 7);  // Bytes' tag; its length follows
    bad[36] = 0x7F;
    EXPECT_THROW(ReadInto(bad, back), EReadError);
    bad = good;
    bad[1] = 'M';  // "Mumber"
    try {
        ReadInto(bad, back);
        FAIL() << "an unknown entry was accepted";
    } catch (const EReadError& E) {
        EXPECT_EQ(E.Message(), "Error reading TPersistent.Mumber: Property Mumber does not exist");
    }
}

TEST(Streaming, ParametersRoundTripAndCompare) {
    TParams a;
    a.CreateParam(ftInteger, "N", ptInput)->SetAsInteger(42);
    a.CreateParam(ftString, "S", ptInput)->SetAsString("DOVER");
    a.CreateParam(ftFloat, "F", ptInputOutput)->SetAsFloat(-2.5);
    a.CreateParam(ftLargeint, "L", ptInput)->SetAsLargeInt(int64_t{1} << 40);
    a.CreateParam(ftBoolean, "B", ptInput)->SetAsBoolean(true);
    a.CreateParam(ftInteger, "NULLED", ptInput)->Clear();
    a.CreateParam(ftUnknown, "UNBOUND", ptUnknown);
    TMemoryStream s;
    TWriter w(s);
    a.WriteData(w);
    s.SetPosition(0);
    TReader r(s);
    TParams b;
    b.CreateParam(ftInteger, "OLD", ptInput);
    b.ReadData(r);
    EXPECT_EQ(s.Position(), s.Size());
    ASSERT_EQ(b.Count(), a.Count());
    EXPECT_TRUE(b.IsEqual(a));
    for (int i = 0; i < a.Count(); ++i) {
        EXPECT_EQ(b.Items(i)->Name(), a.Items(i)->Name());
        EXPECT_EQ(b.Items(i)->DataType(), a.Items(i)->DataType()) << i;
        EXPECT_EQ(b.Items(i)->ParamType(), a.Items(i)->ParamType()) << i;
        EXPECT_EQ(b.Items(i)->Bound(), a.Items(i)->Bound()) << i;
        EXPECT_EQ(b.Items(i)->IsNull(), a.Items(i)->IsNull()) << i;
    }
    EXPECT_EQ(b.ParamByName("S")->AsString(), "DOVER");
    EXPECT_EQ(b.ParamByName("L")->AsLargeInt(), int64_t{1} << 40);
    // Any difference counts.
    b.ParamByName("F")->SetAsFloat(-2.25);
    EXPECT_FALSE(b.IsEqual(a));
    b.ParamByName("F")->SetAsFloat(-2.5);
    b.ParamByName("UNBOUND")->SetParamType(ptInput);
    EXPECT_FALSE(b.IsEqual(a));
    TParams shorter;
    EXPECT_FALSE(shorter.IsEqual(a));
}
