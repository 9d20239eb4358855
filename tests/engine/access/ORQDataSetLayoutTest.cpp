// The dataset's record buffer and field data: the layout around the engine record, the
// bookmark, and each field type's bytes in the engine record and back, written by hand
// from the engine's encodings (day 1 = 0001-01-01, milliseconds since midnight,
// little-endian).
#include "ORQDataSetTestFixture.h"

#include "classlib/DateUtils.h"
#include "engine/foundation/ORQEndian.h"

using namespace dstest;
using namespace classlib;

namespace {

// Ten fields whose data ends at byte 120 (null bitmap 2 bytes, then packed).
void LayoutFields(TORQFieldDefs& F) {
    AddField(F, "I", aftInteger);          // 2
    AddField(F, "S", aftSmallInt);         // 6
    AddField(F, "F", aftDouble);           // 8
    AddField(F, "D", aftDate);             // 16
    AddField(F, "T", aftTime);             // 20
    AddField(F, "DT", aftDateTime);        // 24
    AddField(F, "TS", aftTimeStamp);       // 32
    AddField(F, "VC", aftVarChar, 29);     // 40
    AddField(F, "WS", aftWideVarChar, 19); // 70
    AddField(F, "M", aftMemo);             // 110 .. 119
}

// The dataset's fields made from its definitions, then calculated ones after them.
void PersistentFields(TTestDataSet& Ds) {
    Ds.FieldDefs().Update();
    for (int i = 0; i < Ds.FieldDefs().Count(); ++i) {
        const TFieldDef* d = Ds.FieldDefs().Items(i);
        TField* f = CreateFieldOfType(d->DataType(), &Ds);
        f->SetSize(d->Size());
        f->SetFieldName(d->Name());
        f->SetDataSet(&Ds);
    }
}

TField* AddCalcField(TTestDataSet& Ds, TFieldType Type, const std::string& Name, int32_t Size = 0) {
    TField* f = CreateFieldOfType(Type, &Ds);
    if (Size > 0) f->SetSize(Size);
    f->SetFieldName(Name);
    f->SetFieldKind(fkCalculated);
    f->SetDataSet(&Ds);
    return f;
}

class Layout : public EngineTest, public ::testing::WithParamInterface<TEngineKind> {};

TEST_P(Layout, RecordBufferBookmarkAndCalculatedArea) {
    TEngineEnv env(GetParam());
    TORQFieldDefs fields;
    LayoutFields(fields);
    env.CreateTable("LAYOUT", fields);

    TTestDataSet ds;
    ds.SetDatabaseName(env.Name());
    ds.TableName = "LAYOUT";
    PersistentFields(ds);
    TField* calc = AddCalcField(ds, ftInteger, "C");
    ds.OnCalcFields = [&](TDataSet*) { calc->SetAsInteger(ds.FieldByName("I")->IsNull() ? -1 : 77); };
    ds.Open();

    EXPECT_EQ(ds.GetRecordSize(), 120);
    EXPECT_EQ(ds.Cursor()->RecordSize, 120);
    EXPECT_EQ(ds.BookmarkSize(), 7);
    // The calculated area follows the flag byte: a has-value byte and 4 bytes.
    EXPECT_EQ(ds.Cursor()->CalcFieldsOffset, 127);
    EXPECT_EQ(ds.Cursor()->FullBufferSize, 127 + 5);

    {
        uint8_t* fresh = ds.AllocRecordBuffer();
        ds.InitRecord(fresh);
        EXPECT_EQ(fresh[126], 3) << "a fresh record is flagged inserted";
        for (int i = 120; i < 126; ++i) EXPECT_EQ(fresh[i], 0xFF) << "position -1/-1 at " << i;
        EXPECT_EQ(fresh[0], 0xFF) << "every field Null";
        ds.FreeRecordBuffer(fresh);
    }
    ds.Append();
    const uint8_t* b = ds.Active();
    // The framework marks an appended record as the end's; its position stays -1/-1.
    EXPECT_EQ(b[126], 2);
    for (int i = 120; i < 126; ++i) EXPECT_EQ(b[i], 0xFF) << "position -1/-1 at " << i;
    EXPECT_EQ(ds.RecNo(), -1) << "no record number while inserting";
    ds.FieldByName("I")->SetAsInteger(5);
    // The calculation ran on the field change: has-value byte, then the Int32.
    EXPECT_EQ(b[127], 1);
    EXPECT_EQ(LoadLE32(b + 128), 77u);
    ds.Post();

    // After the post the window holds the stored record: a real position at R.
    const TBookmark bm = ds.GetBookmark();
    ASSERT_EQ(bm.size(), 7u);
    const TORQRecordID id = TORQRecordID::FromBytes(ds.Active() + 120);
    EXPECT_GE(id.PageNo, 0);
    EXPECT_TRUE(std::equal(bm.begin(), bm.begin() + 6, ds.Active() + 120));
    EXPECT_EQ(ds.Active()[126], 0);
    EXPECT_EQ(calc->AsInteger(), 77);
    EXPECT_TRUE(ds.BookmarkValid(bm));
}

INSTANTIATE_TEST_SUITE_P(Engines, Layout, ::testing::Values(ekMemory, ekDisk),
                         [](const auto& I) { return KindName(I.param); });

class FieldData : public EngineTest, public ::testing::WithParamInterface<TEngineKind> {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        Env = std::make_unique<TEngineEnv>(GetParam());
        TORQFieldDefs fields;
        LayoutFields(fields);
        Env->CreateTable("LAYOUT", fields);
        Ds = Env->Open("LAYOUT");
    }
    void TearDown() override {
        Ds.reset();
        Env.reset();
        EngineTest::TearDown();
    }
    std::unique_ptr<TEngineEnv> Env;
    std::unique_ptr<TTestDataSet> Ds;
};

std::vector<uint8_t> LE32s(std::initializer_list<uint32_t> Values) {
    std::vector<uint8_t> out;
    for (uint32_t v : Values)
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return out;
}

std::vector<uint8_t> Utf16(const std::u16string& S) {
    std::vector<uint8_t> out;
    for (char16_t c : S) {
        out.push_back(static_cast<uint8_t>(c & 0xFF));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    out.push_back(0);
    out.push_back(0);
    return out;
}

TEST_P(FieldData, EachTypeWritesTheEngineBytesAndReadsBack) {
    const TDateTime jan1 = EncodeDate(2000, 1, 1);
    const TDateTime noon = EncodeTime(12, 0, 0, 0);
    // 1899-12-29 06:00, written -1.25: day 693593 and the fraction's milliseconds,
    // which are negative (round(frac x 86,400,000)).
    const TDateTime before = -1.25;
    const std::u16string nineteen = u"ABCDEFGHIJKLMNOPQRS";
    struct Row {
        const char* Field;
        int32_t Offset;
        std::function<void(TField*)> Set;
        std::vector<uint8_t> Bytes;
        std::function<void(TField*)> Check;
    };
    const std::vector<Row> rows = {
        {"I", 2, [](TField* f) { f->SetAsInteger(-2); }, LE32s({0xFFFFFFFEu}),
         [](TField* f) { EXPECT_EQ(f->AsInteger(), -2); }},
        {"S", 6, [](TField* f) { f->SetAsInteger(0x1234); }, {0x34, 0x12},
         [](TField* f) { EXPECT_EQ(f->AsInteger(), 0x1234); }},
        {"F", 8, [](TField* f) { f->SetAsFloat(1.5); }, {0, 0, 0, 0, 0, 0, 0xF8, 0x3F},
         [](TField* f) { EXPECT_EQ(f->AsFloat(), 1.5); }},
        {"D", 16, [&](TField* f) { f->SetAsDateTime(jan1); }, LE32s({730120}),
         [&](TField* f) {
             EXPECT_EQ(f->AsDateTime(), jan1);
             int32_t days = 0;
             ASSERT_TRUE(f->DataSet()->ReadFieldData(f, &days, true));
             EXPECT_EQ(days, 730120);
         }},
        {"T", 20, [&](TField* f) { f->SetAsDateTime(noon); }, LE32s({43200000}),
         [&](TField* f) {
             EXPECT_EQ(f->AsDateTime(), 0.5);
             int32_t ms = 0;
             ASSERT_TRUE(f->DataSet()->ReadFieldData(f, &ms, true));
             EXPECT_EQ(ms, 43200000);
         }},
        {"DT", 24, [&](TField* f) { f->SetAsDateTime(jan1 + noon); }, LE32s({730120, 43200000}),
         [&](TField* f) {
             EXPECT_EQ(f->AsDateTime(), jan1 + 0.5);
             double ms = 0;
             ASSERT_TRUE(f->DataSet()->ReadFieldData(f, &ms, true));
             EXPECT_EQ(ms, 63082411200000.0);
         }},
        {"DT", 24, [&](TField* f) { f->SetAsDateTime(before); }, LE32s({693593, static_cast<uint32_t>(-21600000)}),
         [&](TField* f) { EXPECT_EQ(f->AsDateTime(), before); }},
        {"TS", 32,
         [](TField* f) {
             TSQLTimeStamp ts;
             ts.Year = 2000, ts.Month = 1, ts.Day = 1, ts.Hour = 12, ts.Minute = 0, ts.Second = 0, ts.Fractions = 500;
             f->SetAsSQLTimeStamp(ts);
         },
         LE32s({730120, 43200500}),
         [](TField* f) {
             const TSQLTimeStamp ts = f->AsSQLTimeStamp();
             EXPECT_EQ(ts.Year, 2000);
             EXPECT_EQ(ts.Hour, 12);
             EXPECT_EQ(ts.Fractions, 500u);
         }},
        {"VC", 40, [](TField* f) { f->SetAsString("ABC"); }, {'A', 'B', 'C', 0},
         [](TField* f) { EXPECT_EQ(f->AsString(), "ABC"); }},
        {"WS", 70, [&](TField* f) { f->SetAsWideString(nineteen); }, Utf16(nineteen),
         [&](TField* f) { EXPECT_EQ(f->AsWideString(), nineteen); }},
        // One character too many: the first Size characters stay.
        {"WS", 70, [&](TField* f) { f->SetAsWideString(nineteen + u"T"); }, Utf16(nineteen),
         [&](TField* f) { EXPECT_EQ(f->AsWideString(), nineteen); }},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.Field) + " at " + std::to_string(r.Offset));
        Ds->Append();
        TField* f = Ds->FieldByName(r.Field);
        r.Set(f);
        const uint8_t* b = Ds->Active();
        EXPECT_EQ(std::vector<uint8_t>(b + r.Offset, b + r.Offset + r.Bytes.size()), r.Bytes);
        r.Check(f);
        Ds->Post();
        // Stored and read back from the table.
        const uint8_t* stored = Ds->Active();
        EXPECT_EQ(std::vector<uint8_t>(stored + r.Offset, stored + r.Offset + r.Bytes.size()), r.Bytes);
        r.Check(f);
    }
}

TEST_P(FieldData, NativeWritesLeaveTheCallersBufferAndNullsRead) {
    Ds->Append();
    TField* date = Ds->FieldByName("D");
    int32_t days = 730120;
    Ds->WriteFieldData(date, &days, true);
    EXPECT_EQ(days, 730120) << "the date is converted in a copy";
    double ms = 63082411200000.0;
    Ds->WriteFieldData(Ds->FieldByName("DT"), &ms, true);
    EXPECT_EQ(ms, 63082411200000.0);
    EXPECT_EQ(LoadLE32(Ds->Active() + 24), 730120u);
    EXPECT_TRUE(Ds->FieldByName("I")->IsNull());
    int32_t probe = 99;
    EXPECT_FALSE(Ds->ReadFieldData(Ds->FieldByName("I"), &probe, true));
    Ds->FieldByName("I")->SetAsInteger(1);
    Ds->FieldByName("I")->Clear();
    EXPECT_TRUE(Ds->FieldByName("I")->IsNull());
    Ds->Cancel();
    // Outside an editing state nothing is written.
    Ds->Append();
    Ds->FieldByName("I")->SetAsInteger(3);
    Ds->Post();
    EXPECT_EQ(NativeCode([&] { Ds->WriteFieldData(Ds->FieldByName("I"), &days, true); }), 10007);
}

INSTANTIATE_TEST_SUITE_P(Engines, FieldData, ::testing::Values(ekMemory, ekDisk),
                         [](const auto& I) { return KindName(I.param); });

TEST_F(EngineTest, WideStringCalculatedFieldKeepsOneCellPerBuffer) {
    TEngineEnv env(ekMemory);
    TORQFieldDefs fields;
    LayoutFields(fields);
    env.CreateTable("LAYOUT", fields);
    const int32_t before = WideStringCellCount();
    {
        TTestDataSet ds;
        ds.SetDatabaseName(env.Name());
        ds.TableName = "LAYOUT";
        PersistentFields(ds);
        TField* cw = AddCalcField(ds, ftWideString, "CW", 10);
        ds.OnCalcFields = [&](TDataSet*) { cw->SetAsWideString(u"calc " + ds.FieldByName("VC")->AsWideString()); };
        ds.Open();
        for (const char* s : {"A", "B", "C"}) {
            ds.Append();
            ds.FieldByName("VC")->SetAsString(s);
            ds.Post();
        }
        ds.First();
        EXPECT_EQ(cw->AsWideString(), u"calc A");
        const int32_t open = WideStringCellCount();
        EXPECT_EQ(ds.WideStringCells(ds.Active()), 1);
        // Set again in the same buffer: the cell is reused.
        ds.Edit();
        ds.FieldByName("VC")->SetAsString("AAAAAAAAAAAAAAAAAAAAAAAAA");
        ds.FieldByName("VC")->SetAsString("Z");
        EXPECT_EQ(ds.WideStringCells(ds.Active()), 1);
        EXPECT_EQ(WideStringCellCount(), open);
        // The size is the field's: "calc " and five more characters.
        ds.FieldByName("VC")->SetAsString("123456789");
        EXPECT_EQ(cw->AsWideString(), u"calc 12345");
        ds.Cancel();
        ds.Last();
        ds.First();
        EXPECT_EQ(WideStringCellCount(), open) << "reading again reuses the buffers' cells";
        ds.Close();
        EXPECT_EQ(WideStringCellCount(), before);
    }
    EXPECT_EQ(WideStringCellCount(), before);
}

}  // namespace
