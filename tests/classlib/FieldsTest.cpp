#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <string>
#include <vector>

#include "TestDataSet.h"
#include "classlib/DB.h"

using namespace classlib;
using classlib_test::TTestDataSet;

namespace {

std::vector<uint8_t> Bytes(const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    return std::vector<uint8_t>(b, b + n);
}
std::vector<uint8_t> Bytes(std::string_view s) { return Bytes(s.data(), s.size()); }
template <typename T>
std::vector<uint8_t> BytesOf(T v) { return Bytes(&v, sizeof v); }

// One dataset with a field of every type the engine maps, open and editing.
class FieldsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ds.SetName("DS");
        ds.Structure = {
            {"S", ftString, 10},        {"FC", ftFixedChar, 4},  {"W", ftWideString, 5}, {"G", ftGuid, 0},
            {"SI", ftSmallint},         {"I", ftInteger},        {"WO", ftWord},         {"AI", ftAutoInc},
            {"LI", ftLargeint},         {"B", ftBoolean},        {"F", ftFloat},         {"CU", ftCurrency},
            {"BCD", ftBCD},             {"D", ftDate},           {"T", ftTime},          {"DT", ftDateTime},
            {"TS", ftTimeStamp},        {"BY", ftBytes, 4},      {"VB", ftVarBytes, 4},  {"BL", ftBlob},
            {"M", ftMemo},              {"GR", ftGraphic},       {"FM", ftFmtMemo},      {"OB", ftOraBlob},
            {"TB", ftTypedBinary},      {"NAME", ftString, 20, true},
        };
        ds.Open();
        ds.Edit();
    }
    TField* F(const char* name) { return ds.FieldByName(name); }

    TTestDataSet ds;
};

}  // namespace

TEST_F(FieldsTest, DefaultFieldsFollowTheDefinitions) {
    struct Case { const char* name; const char* cls; int32_t size; int32_t dataSize; } cases[] = {
        {"S", "TStringField", 10, 11},      {"FC", "TStringField", 4, 5},      {"W", "TWideStringField", 5, 12},
        {"G", "TGuidField", 38, 39},        {"SI", "TSmallintField", 0, 2},    {"I", "TIntegerField", 0, 4},
        {"WO", "TWordField", 0, 2},         {"AI", "TAutoIncField", 0, 4},     {"LI", "TLargeintField", 0, 8},
        {"B", "TBooleanField", 0, 2},       {"F", "TFloatField", 0, 8},        {"CU", "TCurrencyField", 0, 8},
        {"BCD", "TBCDField", 0, 8},         {"D", "TDateField", 0, 4},         {"T", "TTimeField", 0, 4},
        {"DT", "TDateTimeField", 0, 8},     {"TS", "TSQLTimeStampField", 0, 16}, {"BY", "TBytesField", 4, 4},
        {"VB", "TVarBytesField", 4, 6},     {"BL", "TBlobField", 0, 0},        {"M", "TMemoField", 0, 0},
        {"GR", "TGraphicField", 0, 0},      {"FM", "TMemoField", 0, 0},        {"OB", "TBlobField", 0, 0},
        {"TB", "TBlobField", 0, 0},
    };
    for (const auto& c : cases) {
        TField* f = F(c.name);
        EXPECT_EQ(f->ClassName(), c.cls) << c.name;
        EXPECT_EQ(f->DataType(), ds.FieldDefs().Find(c.name)->DataType()) << c.name;
        EXPECT_EQ(f->Size(), c.size) << c.name;
        EXPECT_EQ(f->DataSize(), c.dataSize) << c.name;
        EXPECT_EQ(f->FieldNo(), ds.FieldDefs().Find(c.name)->FieldNo()) << c.name;
    }
    EXPECT_EQ(F("S")->FieldNo(), 1);
    EXPECT_EQ(F("NAME")->FieldNo(), 26);
    EXPECT_TRUE(F("NAME")->Required());
    EXPECT_THROW(F("G")->SetSize(10), EDatabaseError);
    try {
        ds.FieldByName("NOPE");
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_STREQ(e.what(), "DS: Field 'NOPE' not found");
    }
    EXPECT_EQ(ds.FindField("nope"), nullptr);
    EXPECT_EQ(ds.FindField("name"), F("NAME"));

    ds.Browse();
    ds.Close();
    EXPECT_EQ(ds.FieldCount(), 0);  // default fields go with the cursor
}

TEST_F(FieldsTest, ValuesReachTheDatasetInTheBufferForms) {
    const TDateTime jan1 = EncodeDate(2000, 1, 1);
    const TDateTime noon = EncodeTime(12, 0, 0, 0);

    F("S")->SetAsString("NAVTEX518!!");  // cut to the size
    EXPECT_EQ(ds.Stored(F("S")), Bytes(std::string_view("NAVTEX518!\0", 11)));
    F("FC")->SetAsString("NX");
    EXPECT_EQ(ds.Stored(F("FC")), Bytes(std::string_view("NX\0\0\0", 5)));
    F("W")->SetAsWideString(u"Gr\u00FC\u00DFe!");
    EXPECT_EQ(ds.Stored(F("W")), Bytes(u"Gr\u00FC\u00DFe", 12));
    F("SI")->SetAsInteger(-2);
    EXPECT_EQ(ds.Stored(F("SI")), (std::vector<uint8_t>{0xFE, 0xFF}));
    F("I")->SetAsInteger(518);
    EXPECT_EQ(ds.Stored(F("I")), (std::vector<uint8_t>{0x06, 0x02, 0, 0}));
    F("WO")->SetAsInteger(65535);
    EXPECT_EQ(ds.Stored(F("WO")), (std::vector<uint8_t>{0xFF, 0xFF}));
    F("LI")->SetAsLargeInt(int64_t{1} << 40);
    EXPECT_EQ(ds.Stored(F("LI")), (std::vector<uint8_t>{0, 0, 0, 0, 0, 1, 0, 0}));
    F("B")->SetAsBoolean(true);
    EXPECT_EQ(ds.Stored(F("B")), (std::vector<uint8_t>{0xFF, 0xFF}));
    F("F")->SetAsFloat(0.975);
    EXPECT_EQ(ds.Stored(F("F")), BytesOf(0.975));
    F("D")->SetAsDateTime(jan1 + 0.75);  // a date keeps the day only
    EXPECT_EQ(ds.Stored(F("D")), BytesOf(int32_t{730120}));
    F("T")->SetAsDateTime(jan1 + noon);  // a time keeps the time of day only
    EXPECT_EQ(ds.Stored(F("T")), BytesOf(int32_t{43200000}));
    F("DT")->SetAsDateTime(jan1 + noon);
    EXPECT_EQ(ds.Stored(F("DT")), BytesOf(63082411200000.0));
    F("TS")->SetAsDateTime(jan1 + EncodeTime(12, 0, 0, 250));
    EXPECT_EQ(ds.Stored(F("TS")), BytesOf(TSQLTimeStamp{2000, 1, 1, 12, 0, 0, 250}));
    F("BY")->SetAsString(std::string("\x01\x02", 2));
    EXPECT_EQ(ds.Stored(F("BY")), (std::vector<uint8_t>{1, 2, 0, 0}));
    F("VB")->SetAsString("ab");
    EXPECT_EQ(ds.Stored(F("VB")), (std::vector<uint8_t>{2, 0, 'a', 'b', 0, 0}));

    // ... and back.
    EXPECT_EQ(F("S")->AsString(), "NAVTEX518!");
    EXPECT_EQ(F("W")->AsWideString(), u"Gr\u00FC\u00DFe");
    EXPECT_EQ(F("W")->AsString(), "Gr\xFC\xDF" "e");
    EXPECT_EQ(F("SI")->AsInteger(), -2);
    EXPECT_EQ(F("WO")->AsInteger(), 65535);
    EXPECT_EQ(F("LI")->AsLargeInt(), int64_t{1} << 40);
    EXPECT_TRUE(F("B")->AsBoolean());
    EXPECT_DOUBLE_EQ(F("F")->AsFloat(), 0.975);
    EXPECT_EQ(F("D")->AsDateTime(), jan1);
    EXPECT_EQ(F("T")->AsDateTime(), noon);
    EXPECT_EQ(F("DT")->AsDateTime(), jan1 + noon);
    EXPECT_EQ(F("TS")->AsSQLTimeStamp(), (TSQLTimeStamp{2000, 1, 1, 12, 0, 0, 250}));
    EXPECT_EQ(F("BY")->AsString(), std::string("\x01\x02\0\0", 4));
    EXPECT_EQ(F("VB")->AsString(), "ab");

    // Values as Variants keep their kind.
    EXPECT_EQ(F("I")->Value(), Variant::FromInteger(518));
    EXPECT_EQ(F("SI")->Value(), Variant::FromSmallint(-2));
    EXPECT_EQ(F("DT")->Value(), Variant::FromDate(jan1 + noon));
    EXPECT_EQ(F("W")->Value(), Variant::FromOleStr(u"Gr\u00FC\u00DFe"));
    const Variant vb = F("VB")->Value();
    ASSERT_TRUE(vb.IsArray());
    EXPECT_EQ(vb.ArrayHighBound(1), 1);
    EXPECT_EQ(vb.GetElement({1}), Variant::FromByte('b'));
    F("LI")->SetValue(Variant::FromString("-7"));
    EXPECT_EQ(F("LI")->AsLargeInt(), -7);
    F("CU")->SetValue(Variant::FromDouble(1.23456));
    EXPECT_DOUBLE_EQ(F("CU")->AsCurrency(), 1.2346);
    EXPECT_EQ(F("CU")->Value().VarType(), varCurrency);

    // Null: nothing stored, empty readings; "" clears a number.
    EXPECT_TRUE(F("AI")->IsNull());
    EXPECT_EQ(F("AI")->AsString(), "");
    EXPECT_EQ(F("AI")->AsInteger(), 0);
    EXPECT_TRUE(F("AI")->Value().IsNull());
    F("I")->SetAsString("");
    EXPECT_TRUE(F("I")->IsNull());
    F("S")->Clear();
    EXPECT_TRUE(ds.Stored(F("S")).empty());
}

TEST_F(FieldsTest, TextFormsAreTheFixedFormatsUnderAnyLocale) {
    std::setlocale(LC_ALL, "de_DE.UTF-8");  // a comma locale, where installed, changes nothing
    struct Case { const char* field; const char* text; const char* shown; } cases[] = {
        {"F", "518", "518"},
        {"F", "0.975", "0.975"},
        {"F", "1e20", "1E20"},
        {"CU", "12.5", "12.5"},
        {"BCD", "1.23456", "1.2346"},
        {"I", "-42", "-42"},
        {"B", "false", "False"},
        {"B", "TRUE", "True"},
        {"D", "2000-01-01", "2000-01-01"},
        {"T", "12:34:56", "12:34:56"},
        {"DT", "2000-01-01 00:00:00", "2000-01-01"},  // no time at midnight
        {"DT", "2000-01-01 12:00", "2000-01-01 12:00:00"},
        {"TS", "1999-12-31 23:59:59", "1999-12-31 23:59:59"},
    };
    for (const auto& c : cases) {
        F(c.field)->SetAsString(c.text);
        EXPECT_EQ(F(c.field)->AsString(), c.shown) << c.field << " " << c.text;
    }
    F("F")->SetAsString("2.5");
    EXPECT_EQ(F("F")->AsInteger(), 2);  // halves to even
    F("S")->SetAsFloat(0.975);
    EXPECT_EQ(F("S")->AsString(), "0.975");
    F("S")->SetAsDateTime(EncodeDate(2000, 1, 1));
    EXPECT_EQ(F("S")->AsString(), "2000-01-01");
    std::setlocale(LC_ALL, "C");
}

TEST_F(FieldsTest, BadValuesRaiseAndLeaveTheStoredValue) {
    F("S")->SetAsString("abc");
    EXPECT_THROW(F("S")->AsInteger(), EConvertError);
    EXPECT_THROW(F("S")->AsFloat(), EConvertError);
    F("I")->SetAsInteger(5);
    EXPECT_THROW(F("I")->SetAsString("12x"), EConvertError);
    EXPECT_THROW(F("F")->SetAsString("0,975"), EConvertError);
    EXPECT_THROW(F("D")->SetAsString("01.01.2000"), EConvertError);
    EXPECT_THROW(F("B")->SetAsString("ja"), EDatabaseError);
    EXPECT_THROW(F("SI")->SetAsInteger(40000), EDatabaseError);
    EXPECT_THROW(F("WO")->SetAsInteger(-1), EDatabaseError);
    EXPECT_THROW(F("I")->SetAsLargeInt(int64_t{1} << 31), EDatabaseError);
    EXPECT_THROW(F("I")->SetAsDateTime(1.0), EDatabaseError);  // no such access
    EXPECT_EQ(F("I")->AsInteger(), 5);
    F("I")->SetReadOnly(true);
    EXPECT_THROW(F("I")->SetAsInteger(6), EDatabaseError);
    EXPECT_FALSE(F("I")->CanModify());
    F("I")->SetReadOnly(false);
    EXPECT_EQ(F("I")->AsInteger(), 5);

    ds.Browse();
    EXPECT_THROW(F("I")->SetAsInteger(6), EDatabaseError);  // the dataset is not editing
    TIntegerField loose(nullptr);
    EXPECT_THROW(loose.AsInteger(), EDatabaseError);       // no dataset
}

TEST_F(FieldsTest, RequiredAndOnValidate) {
    try {
        ds.CheckRequiredFields();
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_STREQ(e.what(), "DS: Field 'NAME' must have a value");
    }
    F("NAME")->SetAsString("x");
    EXPECT_NO_THROW(ds.CheckRequiredFields());

    TField* f = F("I");
    f->SetAsInteger(5);
    std::vector<int32_t> seen;
    int changes = 0;
    f->OnValidate = [&](TField* s) {
        seen.push_back(s->AsInteger());  // the value being set, not the stored one
        EXPECT_EQ(s->AsString(), std::to_string(seen.back()));
        if (s->AsInteger() < 0) DatabaseError("negative", nullptr);
    };
    f->OnChange = [&](TField*) { ++changes; };
    f->SetAsInteger(7);
    EXPECT_THROW(f->SetAsInteger(-1), EDatabaseError);
    EXPECT_EQ(seen, (std::vector<int32_t>{7, -1}));
    EXPECT_EQ(f->AsInteger(), 7);  // the rejected value never arrived
    EXPECT_EQ(changes, 1);
    EXPECT_TRUE(ds.Modified());

    // A date field's handler sees the value form, converted from the buffer form.
    TDateTime seenDate = 0;
    F("D")->OnValidate = [&](TField* s) { seenDate = s->AsDateTime(); };
    F("D")->SetAsDateTime(EncodeDate(2000, 1, 1));
    EXPECT_EQ(seenDate, EncodeDate(2000, 1, 1));
}

TEST_F(FieldsTest, BlobRoundTripThroughStreams) {
    std::string value = "ZCZC EA01\r\nGALE WARNING\r\nNNNN";
    value.push_back('\0');
    value += "\xFF\x80 tail";
    TMemoryStream source;
    source.WriteBuffer(value.data(), static_cast<int64_t>(value.size()));

    auto* memo = static_cast<TBlobField*>(F("M"));
    int changes = 0;
    memo->OnChange = [&](TField*) { ++changes; };
    EXPECT_TRUE(memo->IsNull());
    memo->LoadFromStream(source);
    EXPECT_EQ(ds.StoredBlob(memo), value);
    EXPECT_TRUE(memo->Modified());
    EXPECT_EQ(changes, 1);
    EXPECT_FALSE(memo->IsNull());
    EXPECT_EQ(memo->BlobSize(), static_cast<int64_t>(value.size()));

    TMemoryStream target;
    target.WriteBuffer("head:", 5);
    memo->SaveToStream(target);
    EXPECT_EQ(std::string(target.Data().begin(), target.Data().end()), "head:" + value);
    EXPECT_EQ(memo->AsString(), value);

    F("BL")->SetAsString("bytes");
    EXPECT_EQ(F("BL")->AsString(), "bytes");
    EXPECT_EQ(F("BL")->Value(), Variant::FromString("bytes"));
    F("BL")->Clear();
    EXPECT_TRUE(F("BL")->IsNull());
}

TEST_F(FieldsTest, ABlobStreamTakingFewerBytesMakesTheWriteRaise) {
    ds.BlobWriteLimit = 3;
    TMemoryStream source;
    source.WriteBuffer("0123456789", 10);
    try {
        static_cast<TBlobField*>(F("BL"))->LoadFromStream(source);
        FAIL() << "a short write went unnoticed";
    } catch (const EDatabaseError& e) {
        EXPECT_STREQ(e.what(), "DS: BLOB field 'BL' stored 3 of 10 bytes");
    }
    EXPECT_THROW(F("M")->SetAsString("too long"), EDatabaseError);
    ds.BlobWriteLimit = -1;
    F("M")->SetAsString("fits");
    EXPECT_EQ(F("M")->AsString(), "fits");
}

TEST_F(FieldsTest, AParameterTakesAFieldsNameTypeAndValue) {
    F("I")->SetAsInteger(518);
    TParams params;
    TParam* p = params.CreateParam(ftUnknown, "x", ptInput);
    p->AssignField(F("I"));
    EXPECT_EQ(p->Name(), "I");
    EXPECT_EQ(p->DataType(), ftInteger);
    EXPECT_EQ(p->AsInteger(), 518);
    p->AssignField(F("DT"));  // null
    EXPECT_TRUE(p->IsNull());
    EXPECT_EQ(p->DataType(), ftDateTime);
}

TEST(Fields, CalculatedFieldOffsetsCountTheHasValueByte) {
    TTestDataSet ds;
    ds.Structure = {{"ID", ftInteger}, {"NAME", ftString, 8}};
    auto* id = new TIntegerField(&ds);
    id->SetFieldName("ID");
    id->SetDataSet(&ds);
    auto* c1 = new TIntegerField(&ds);
    c1->SetFieldName("C1");
    c1->SetFieldKind(fkCalculated);
    c1->SetDataSet(&ds);
    auto* c2 = new TStringField(&ds);
    c2->SetFieldName("C2");
    c2->SetSize(10);
    c2->SetFieldKind(fkCalculated);
    c2->SetDataSet(&ds);
    auto* c3 = new TFloatField(&ds);
    c3->SetFieldName("C3");
    c3->SetFieldKind(fkLookup);
    c3->SetDataSet(&ds);

    ds.Open();
    EXPECT_FALSE(ds.DefaultFields());
    EXPECT_EQ(ds.FieldCount(), 4);  // NAME has a definition but no field
    EXPECT_EQ(id->FieldNo(), 1);
    EXPECT_EQ(c1->FieldNo(), -1);
    EXPECT_EQ(c1->Offset(), 0);
    EXPECT_EQ(c2->Offset(), 5);    // 1 + 4
    EXPECT_EQ(c3->Offset(), 17);   // 5 + 1 + 11
    EXPECT_EQ(ds.CalcFieldsSize(), 26);

    ds.Append();  // a record buffer to compute into
    const TDataSetState old = ds.EnterCalcFields();
    EXPECT_TRUE(c2->IsNull());
    c2->SetAsString("calc");
    c3->SetAsFloat(1.5);
    ds.RestoreState(old);
    EXPECT_EQ(c2->AsString(), "calc");
    EXPECT_EQ(c3->AsFloat(), 1.5);

    ds.Close();
    EXPECT_EQ(ds.FieldCount(), 4);  // fields of the program stay
    EXPECT_EQ(c1->FieldNo(), 0);
}

TEST(Fields, OpeningWithAFieldTheDefinitionsLackRaises) {
    TTestDataSet ds;
    ds.SetName("Stations");
    ds.Structure = {{"ID", ftInteger}, {"CALL", ftString, 8}};
    auto* f = new TStringField(&ds);
    f->SetFieldName("GONE");
    f->SetDataSet(&ds);
    try {
        ds.Open();
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_STREQ(e.what(), "Stations: Field 'GONE' not found");
    }
    EXPECT_FALSE(ds.Active());

    f->SetFieldName("ID");  // a string field over an integer definition
    EXPECT_THROW(ds.Open(), EDatabaseError);
    f->SetFieldName("CALL");
    EXPECT_NO_THROW(ds.Open());
    EXPECT_THROW(f->SetFieldName("X"), EDatabaseError);  // not while open
}
