// Advanced field definitions and the field converters: the two type tables as the
// converters apply them (every row, the round trips that are not identities, the types
// without a row), the settings an advanced definition carries into the engine and back,
// Required from not-null constraints, and the list operations.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "classlib/DBDefs.h"
#include "engine/access/ORQAdvDefs.h"
#include "foundation/ExpectNative.h"

using namespace orq;
using namespace classlib;

namespace {

// Advanced type, its name and base type, and the class library's type it converts to.
struct AdvRow {
    uint8_t adv;
    const char* name;
    uint8_t base;
    TFieldType ft;
};

const std::vector<AdvRow> kAdvancedToFieldType = {
    {1, "CHAR", 1, ftFixedChar},        {2, "STRING", 3, ftString},
    {3, "WIDECHAR", 2, ftWideString},   {4, "WIDESTRING", 4, ftWideString},
    {5, "SHORTINT", 5, ftSmallint},     {6, "SMALLINT", 6, ftSmallint},
    {7, "INTEGER", 7, ftInteger},       {8, "LARGEINT", 8, ftLargeint},
    {9, "BYTE", 9, ftWord},             {10, "WORD", 10, ftWord},
    {11, "CARDINAL", 11, ftLargeint},   {12, "AUTOINC", 7, ftAutoInc},
    {13, "AUTOINCSHORTINT", 5, ftAutoInc}, {14, "AUTOINCSMALLINT", 6, ftAutoInc},
    {15, "AUTOINCINTEGER", 7, ftAutoInc},  {16, "AUTOINCLARGEINT", 8, ftLargeint},
    {17, "AUTOINCBYTE", 9, ftAutoInc},  {18, "AUTOINCWORD", 10, ftAutoInc},
    {19, "AUTOINCCARDINAL", 11, ftAutoInc}, {20, "SINGLE", 12, ftFloat},
    {21, "FLOAT", 13, ftFloat},         {22, "EXTENDED", 14, ftFloat},
    {23, "LOGICAL", 21, ftBoolean},     {24, "CURRENCY", 22, ftCurrency},
    {25, "DATE", 15, ftDate},           {26, "TIME", 16, ftTime},
    {27, "DATETIME", 17, ftDateTime},   {28, "TIMESTAMP", 17, ftTimeStamp},
    {29, "BYTES", 23, ftBytes},         {30, "VARBYTES", 24, ftVarBytes},
    {31, "BLOB", 18, ftBlob},           {32, "GRAPHIC", 18, ftGraphic},
    {33, "MEMO", 19, ftMemo},           {34, "FORMATTEDMEMO", 19, ftFmtMemo},
    {35, "WIDEMEMO", 20, ftBlob},       {36, "GUID", 1, ftGuid},
};

struct FtRow {
    TFieldType ft;
    uint8_t adv;
};

const std::vector<FtRow> kFieldTypeToAdvanced = {
    {ftString, 2},      {ftSmallint, 6},   {ftInteger, 7},     {ftWord, 10},       {ftBoolean, 23},
    {ftFloat, 21},      {ftCurrency, 24},  {ftBCD, 21},        {ftDate, 25},       {ftTime, 26},
    {ftDateTime, 27},   {ftBytes, 29},     {ftVarBytes, 30},   {ftAutoInc, 12},    {ftBlob, 31},
    {ftMemo, 33},       {ftGraphic, 32},   {ftFmtMemo, 34},    {ftParadoxOle, 31}, {ftDBaseOle, 31},
    {ftTypedBinary, 31}, {ftFixedChar, 1}, {ftWideString, 3},  {ftLargeint, 8},    {ftOraBlob, 31},
    {ftOraClob, 31},    {ftGuid, 36},      {ftTimeStamp, 28},
};

const std::vector<TFieldType> kFieldTypesWithoutRow = {ftUnknown,   ftCursor,    ftADT,       ftArray,
                                                        ftReference, ftDataSet,   ftVariant,   ftInterface,
                                                        ftIDispatch, ftFMTBcd};

std::string FieldName(int i) { return "F" + std::to_string(i); }

TORQFieldDef* AddEngineField(TORQFieldDefs& defs, const std::string& name, uint8_t adv, int32_t size, int32_t id) {
    TORQFieldDef* f = defs.Add();
    f->Name = name;
    f->ObjectID = id;
    f->SetDataType(adv, size);
    return f;
}

}  // namespace

// ---------------------------------------------------------------------------------
// The type tables

TEST(AdvTypeTables, EveryAdvancedRowReachesTheDataSetAndTheEngine) {
    TORQAdvFieldDefs adv;
    for (const AdvRow& r : kAdvancedToFieldType) {
        TORQAdvFieldDef* d = adv.Add();
        d->Name = r.name;
        d->DataType = r.adv;
    }
    TFieldDefs ds(nullptr);
    AdvFieldDefsToFieldDefs(adv, ds);
    TORQFieldDefs engine;
    TORQIndexDefs noIndexes;
    TORQConstraintDefs constraints;
    AdvFieldDefsToEngineDefs(adv, engine, noIndexes, false, constraints);
    ASSERT_EQ(ds.Count(), static_cast<int>(kAdvancedToFieldType.size()));
    ASSERT_EQ(engine.GetCount(), ds.Count());
    for (int i = 0; i < ds.Count(); ++i) {
        const AdvRow& r = kAdvancedToFieldType[static_cast<size_t>(i)];
        EXPECT_EQ(ds.Items(i)->DataType(), r.ft) << r.name;
        EXPECT_EQ(engine.GetItem(i)->FieldType, r.adv) << r.name;
        EXPECT_EQ(engine.GetItem(i)->BaseType, r.base) << r.name;
        EXPECT_EQ(AdvancedFieldTypeName(r.adv), r.name);
    }
    // Engine definitions go the same way to the class library.
    TFieldDefs fromEngine(nullptr);
    EngineFieldDefsToFieldDefs(engine, constraints, fromEngine);
    for (int i = 0; i < fromEngine.Count(); ++i)
        EXPECT_EQ(fromEngine.Items(i)->DataType(), kAdvancedToFieldType[static_cast<size_t>(i)].ft);
}

TEST(AdvTypeTables, EveryDataSetRowReachesTheAdvancedAndTheEngineType) {
    TFieldDefs ds(nullptr);
    for (const FtRow& r : kFieldTypeToAdvanced) ds.Add(FieldName(r.ft), r.ft, 0);
    TORQAdvFieldDefs adv;
    FieldDefsToAdvFieldDefs(ds, adv);
    TORQFieldDefs engine;
    FieldDefsToEngineFieldDefs(ds, engine);
    ASSERT_EQ(adv.Count(), static_cast<int32_t>(kFieldTypeToAdvanced.size()));
    for (int32_t i = 0; i < adv.Count(); ++i) {
        const FtRow& r = kFieldTypeToAdvanced[static_cast<size_t>(i)];
        EXPECT_EQ(adv.GetItem(i)->DataType, r.adv) << int(r.ft);
        EXPECT_EQ(engine.GetItem(i)->FieldType, r.adv) << int(r.ft);
    }
}

TEST(AdvTypeTables, RoundTripsFollowTheFirstMatchingRow) {
    // Advanced -> class library -> advanced; every type not listed comes back as itself.
    const std::vector<std::pair<uint8_t, uint8_t>> changed = {
        {4, 3},   // WIDESTRING -> WIDECHAR
        {5, 6},   // SHORTINT -> SMALLINT
        {9, 10},  // BYTE -> WORD
        {11, 8},  // CARDINAL -> LARGEINT
        {13, 12}, {14, 12}, {15, 12}, {17, 12}, {18, 12}, {19, 12},  // the auto-increments -> AUTOINC
        {16, 8},  // AUTOINCLARGEINT -> LARGEINT
        {20, 21}, {22, 21},  // SINGLE, EXTENDED -> FLOAT
        {35, 31},            // WIDEMEMO -> BLOB
    };
    TORQAdvFieldDefs adv;
    for (uint8_t t = 1; t <= 36; ++t) {
        TORQAdvFieldDef* d = adv.Add();
        d->Name = FieldName(t);
        d->DataType = t;
    }
    TFieldDefs ds(nullptr);
    AdvFieldDefsToFieldDefs(adv, ds);
    TORQAdvFieldDefs back;
    FieldDefsToAdvFieldDefs(ds, back);
    ASSERT_EQ(back.Count(), 36);
    for (uint8_t t = 1; t <= 36; ++t) {
        uint8_t expected = t;
        for (auto [from, to] : changed)
            if (from == t) expected = to;
        EXPECT_EQ(back.GetItem(t - 1)->DataType, expected) << int(t);
    }
    // And the class library's types that share a row with another.
    TFieldDefs src(nullptr), again(nullptr);
    for (TFieldType ft : {ftBCD, ftParadoxOle, ftDBaseOle, ftTypedBinary, ftOraBlob, ftOraClob})
        src.Add(FieldName(ft), ft, 0);
    TORQAdvFieldDefs mid;
    FieldDefsToAdvFieldDefs(src, mid);
    AdvFieldDefsToFieldDefs(mid, again);
    EXPECT_EQ(again.Items(0)->DataType(), ftFloat);
    for (int i = 1; i < again.Count(); ++i) EXPECT_EQ(again.Items(i)->DataType(), ftBlob) << i;
}

TEST(AdvTypeTables, TypesWithoutARowRaise30289) {
    for (TFieldType ft : kFieldTypesWithoutRow) {
        TFieldDefs ds(nullptr);
        ds.Add("X", ft, 0);
        TORQAdvFieldDefs adv;
        const std::string message = "Unknown DataType: '" + std::to_string(int(ft)) + "' - Native error: 30289";
        ExpectNative([&] { FieldDefsToAdvFieldDefs(ds, adv); }, 30289, message);
        TORQFieldDefs engine;
        ExpectNative([&] { FieldDefsToEngineFieldDefs(ds, engine); }, 30289, message);
    }
    // Advanced codes outside the table, towards the class library.
    for (uint8_t code : {uint8_t(0), uint8_t(37), uint8_t(255)}) {
        TORQAdvFieldDefs adv;
        adv.Add()->DataType = code;
        adv.GetItem(0)->Name = "X";
        TFieldDefs ds(nullptr);
        ExpectNative([&] { AdvFieldDefsToFieldDefs(adv, ds); }, 30289,
                     "Unknown DataType: '" + std::to_string(int(code)) + "' - Native error: 30289");
    }
    TORQFieldDefs engine;
    TORQFieldDef* odd = engine.Add();
    odd->Name = "X";
    odd->FieldType = 40;
    TFieldDefs ds(nullptr);
    ExpectNative([&] { EngineFieldDefsToFieldDefs(engine, TORQConstraintDefs(), ds); }, 30289);
}

// ---------------------------------------------------------------------------------
// The definition and its list

TEST(AdvFieldDef, StartsWithTheDocumentedDefaults) {
    TORQAdvFieldDefs defs;
    const TORQAdvFieldDef* d = defs.Add();
    EXPECT_EQ(d->Name, "");
    EXPECT_EQ(d->ObjectID, -1);
    EXPECT_EQ(d->DataType, 0);
    EXPECT_FALSE(d->Required);
    EXPECT_EQ(d->Size, 0);
    EXPECT_TRUE(d->DefaultValue.IsNull());
    EXPECT_TRUE(d->MinValue.IsNull());
    EXPECT_TRUE(d->MaxValue.IsNull());
    EXPECT_EQ(d->AutoincIncrement, 1);
    EXPECT_EQ(d->AutoincInitialValue, 0);
    EXPECT_EQ(d->AutoincMinValue, 0);
    EXPECT_EQ(d->AutoincMaxValue, INT64_C(9223372036854775807));
    EXPECT_FALSE(d->AutoincCycled);
    EXPECT_EQ(d->BlobCompressionAlgorithm, 0);
    EXPECT_EQ(d->BlobCompressionMode, 0);
    EXPECT_EQ(d->BlobBlockSize, 102400);
}

namespace {

void FillEveryField(TORQAdvFieldDef& d) {
    d.Name = "AMOUNT";
    d.ObjectID = 17;
    d.DataType = 7;
    d.Required = true;
    d.Size = 3;
    d.DefaultValue.SetAsInteger(5);
    d.MinValue.SetAsInteger(1);
    d.MaxValue.SetAsInteger(99);
    d.AutoincIncrement = 2;
    d.AutoincInitialValue = 10;
    d.AutoincMinValue = 4;
    d.AutoincMaxValue = 1000;
    d.AutoincCycled = true;
    d.BlobCompressionAlgorithm = 2;
    d.BlobCompressionMode = 9;
    d.BlobBlockSize = 4096;
}

void ExpectEveryField(const TORQAdvFieldDef& d) {
    EXPECT_EQ(d.Name, "AMOUNT");
    EXPECT_EQ(d.ObjectID, 17);
    EXPECT_EQ(d.DataType, 7);
    EXPECT_TRUE(d.Required);
    EXPECT_EQ(d.Size, 3);
    EXPECT_EQ(d.DefaultValue.GetAsInteger(), 5);
    EXPECT_EQ(d.MinValue.GetAsInteger(), 1);
    EXPECT_EQ(d.MaxValue.GetAsInteger(), 99);
    EXPECT_EQ(d.AutoincIncrement, 2);
    EXPECT_EQ(d.AutoincInitialValue, 10);
    EXPECT_EQ(d.AutoincMinValue, 4);
    EXPECT_EQ(d.AutoincMaxValue, 1000);
    EXPECT_TRUE(d.AutoincCycled);
    EXPECT_EQ(d.BlobCompressionAlgorithm, 2);
    EXPECT_EQ(d.BlobCompressionMode, 9);
    EXPECT_EQ(d.BlobBlockSize, 4096);
}

}  // namespace

TEST(AdvFieldDef, AssignCopiesEveryFieldAndTheValuesByValue) {
    TORQAdvFieldDef source, copy;
    FillEveryField(source);
    copy.Assign(source);
    source.DefaultValue.SetAsInteger(6);
    source.MinValue.SetNull();
    source.MaxValue.SetAsInteger(100);
    ExpectEveryField(copy);
    EXPECT_FALSE(copy.DefaultValue.IsReference());

    // The list's Assign replaces what was there, in the source's order.
    TORQAdvFieldDefs list, other;
    other.Add()->Name = "OLD";
    FillEveryField(*list.Add());
    list.Add()->Name = "SECOND";
    other.Assign(list);
    ASSERT_EQ(other.Count(), 2);
    ExpectEveryField(*other.GetItem(0));
    EXPECT_EQ(other.GetItem(1)->Name, "SECOND");
    EXPECT_NE(other.GetItem(0), list.GetItem(0));
}

TEST(AdvFieldDefs, FindAndDeleteIgnoreCase) {
    TORQAdvFieldDefs defs;
    for (const char* n : {"IDText", "UniqueID", "idtext"}) defs.Add()->Name = n;
    EXPECT_EQ(defs.Find("IDTEXT"), defs.GetItem(0));  // the first of two matches
    EXPECT_EQ(defs.Find("uniqueid"), defs.GetItem(1));
    EXPECT_EQ(defs.Find("UNIQUE"), nullptr);
    EXPECT_EQ(defs.Find(""), nullptr);

    // The receiver widens a field through Find.
    defs.Find("uniqueID")->Size = 300;
    EXPECT_EQ(defs.GetItem(1)->Size, 300);

    defs.Delete("IDTEXT");  // only the first match goes
    ASSERT_EQ(defs.Count(), 2);
    EXPECT_EQ(defs.GetItem(0)->Name, "UniqueID");
    EXPECT_EQ(defs.GetItem(1)->Name, "idtext");
    ExpectNative([&] { defs.Delete("Station"); }, 30349, "Field 'Station' not found - Native error: 30349");
    EXPECT_EQ(defs.Count(), 2);
    defs.Clear();
    EXPECT_EQ(defs.Count(), 0);
}

TEST(BlobCompressionCode, OnlyTheThreeAlgorithmsSurvive) {
    for (int code = 0; code <= 255; ++code) {
        const uint8_t expected = (code >= 1 && code <= 3) ? static_cast<uint8_t>(code) : 0;
        EXPECT_EQ(ConvertBlobCompressionAlgorithm(static_cast<uint8_t>(code)), expected) << code;
    }
}

// ---------------------------------------------------------------------------------
// Converters

TEST(AdvFieldDefsToEngineDefs, CarriesEverySettingAndMakesTheFieldConstraints) {
    TORQAdvFieldDefs adv;
    TORQAdvFieldDef* id = adv.Add();
    id->Name = "ID";
    id->DataType = aftAutoInc;
    id->Required = true;
    id->AutoincIncrement = 5;
    id->AutoincInitialValue = 100;
    id->AutoincMinValue = 50;
    id->AutoincMaxValue = 1000;
    id->AutoincCycled = true;
    TORQAdvFieldDef* name = adv.Add();
    name->Name = std::string(300, 'N');
    name->DataType = aftVarChar;
    name->Size = 40;
    name->DefaultValue.SetAsString("UNID");
    TORQAdvFieldDef* dist = adv.Add();
    dist->Name = "DIST";
    dist->DataType = aftInteger;
    dist->MaxValue.SetAsInteger(20000);
    TORQAdvFieldDef* text = adv.Add();
    text->Name = "TEXT";
    text->DataType = aftMemo;
    text->BlobCompressionAlgorithm = 1;
    text->BlobCompressionMode = 6;
    text->BlobBlockSize = 0;
    TORQAdvFieldDef* pic = adv.Add();
    pic->Name = "PIC";
    pic->DataType = aftBlob;
    pic->BlobBlockSize = 4096;
    TORQAdvFieldDef* raw = adv.Add();
    raw->Name = "RAW";
    raw->DataType = aftBlob;
    raw->BlobBlockSize = -1;

    TORQFieldDefs engine;
    AddEngineField(engine, "STALE", aftInteger, 0, 1);
    TORQConstraintDefs constraints;
    constraints.AddNotNull()->TargetName = "STALE";
    TORQIndexDefs indexes;
    AdvFieldDefsToEngineDefs(adv, engine, indexes, false, constraints);

    ASSERT_EQ(engine.GetCount(), 6);
    const TORQFieldDef* e = engine.GetItem(0);
    EXPECT_EQ(e->Name, "ID");
    EXPECT_EQ(e->FieldType, aftAutoInc);
    EXPECT_EQ(e->BaseType, bdtInteger);
    EXPECT_EQ(e->AutoincIncrement, 5);
    EXPECT_EQ(e->AutoincInitialValue, 100);
    EXPECT_EQ(e->AutoincMinValue, 50);
    EXPECT_EQ(e->AutoincMaxValue, 1000);
    EXPECT_EQ(e->AutoincCycled, 1);
    EXPECT_TRUE(e->DefaultValue.IsNull());
    e = engine.GetItem(1);
    EXPECT_EQ(e->Name, std::string(255, 'N'));
    EXPECT_EQ(e->FieldType, aftVarChar);
    EXPECT_EQ(e->Size, 40);
    EXPECT_EQ(e->DefaultValue.GetAsString(), "UNID");
    EXPECT_EQ(e->AutoincMaxValue, INT64_MAX);
    EXPECT_EQ(e->AutoincCycled, 0);
    e = engine.GetItem(3);
    EXPECT_EQ(e->BlobCompressionAlgorithm, 1);
    EXPECT_EQ(e->BlobCompressionMode, 6);
    EXPECT_EQ(e->BlobBlockSize, 102400);
    EXPECT_EQ(engine.GetItem(4)->BlobBlockSize, 4096);
    EXPECT_EQ(engine.GetItem(5)->BlobBlockSize, 102400);

    // The default is the definition's own copy.
    name->DefaultValue.SetAsString("XXXX");
    EXPECT_EQ(engine.GetItem(1)->DefaultValue.GetAsString(), "UNID");

    ASSERT_EQ(constraints.GetCount(), 2);
    EXPECT_EQ(constraints.GetItem(0)->ConstraintType, ctNotNull);
    EXPECT_EQ(constraints.GetItem(0)->TargetName, "ID");
    EXPECT_EQ(constraints.GetItem(0)->Name, "");  // the table names it
    const auto* check = dynamic_cast<const TORQConstraintDefCheck*>(constraints.GetItem(1));
    ASSERT_NE(check, nullptr);
    EXPECT_EQ(check->TargetName, "DIST");
    EXPECT_TRUE(check->MinValue.IsNull());
    EXPECT_EQ(check->MaxValue.GetAsInteger(), 20000);
}

TEST(AdvFieldDefsToEngineDefs, ATemporaryTableGetsNoFieldConstraints) {
    TORQAdvFieldDefs adv;
    TORQAdvFieldDef* d = adv.Add();
    d->Name = "A";
    d->DataType = aftInteger;
    d->Required = true;
    d->MinValue.SetAsInteger(0);
    TORQFieldDefs engine;
    TORQIndexDefs indexes;
    TORQConstraintDefs constraints;
    AdvFieldDefsToEngineDefs(adv, engine, indexes, true, constraints);
    EXPECT_EQ(engine.GetCount(), 1);
    EXPECT_EQ(constraints.GetCount(), 0);
    AdvFieldDefsToEngineDefs(adv, engine, indexes, false, constraints);
    EXPECT_EQ(engine.GetCount(), 1);
    EXPECT_EQ(constraints.GetCount(), 2);
}

TEST(AdvFieldDefsToEngineDefs, AnUnsupportedTypeStopsTheConversion) {
    TORQAdvFieldDefs adv;
    adv.Add()->Name = "A";
    adv.GetItem(0)->DataType = aftInteger;
    adv.Add()->Name = "B";  // DataType 0
    TORQFieldDefs engine;
    TORQIndexDefs indexes;
    TORQConstraintDefs constraints;
    ExpectNative([&] { AdvFieldDefsToEngineDefs(adv, engine, indexes, false, constraints); }, 30007);
}

TEST(EngineFieldDefsToFieldDefs, SizesOnlyForSizedTypesAndRequiredFromNotNull) {
    TORQFieldDefs engine;
    AddEngineField(engine, "ID", aftAutoInc, 0, 10);
    AddEngineField(engine, "NAME", aftVarChar, 40, 11);
    AddEngineField(engine, "KEY", aftGuid, 38, 12);
    AddEngineField(engine, "RAW", aftBytes, 16, 13);
    AddEngineField(engine, "BIG", aftAutoIncLargeInt, 0, 14);
    AddEngineField(engine, "TEXT", aftMemo, 0, 15)->Size = 7;  // a size a BLOB does not carry
    AddEngineField(engine, "N", aftInteger, 0, 16)->Size = 4;
    TORQConstraintDefs constraints;
    for (int32_t id : {10, 11, 14, 99}) {  // 99: no such field
        TORQConstraintDefNotNull* c = constraints.AddNotNull();
        c->TargetID = id;
    }
    TORQConstraintDefCheck* check = constraints.AddCheck();
    check->TargetID = 13;
    TFieldDefs ds(nullptr);
    ds.Add("STALE", ftInteger);
    EngineFieldDefsToFieldDefs(engine, constraints, ds);

    struct Expect {
        const char* name;
        TFieldType ft;
        int32_t size;
        bool required;
    };
    const Expect expected[] = {
        {"ID", ftAutoInc, 0, false},  // auto-increment: never required from its constraint
        {"NAME", ftString, 40, true},   {"KEY", ftGuid, 0, false},   {"RAW", ftBytes, 16, false},
        {"BIG", ftLargeint, 0, true},  // AUTOINCLARGEINT shows as a plain large integer
        {"TEXT", ftMemo, 0, false},     {"N", ftInteger, 0, false},
    };
    ASSERT_EQ(ds.Count(), 7);
    for (int i = 0; i < ds.Count(); ++i) {
        const Expect& x = expected[i];
        EXPECT_EQ(ds.Items(i)->Name(), x.name);
        EXPECT_EQ(ds.Items(i)->DataType(), x.ft) << x.name;
        EXPECT_EQ(ds.Items(i)->Size(), x.size) << x.name;
        EXPECT_EQ(ds.Items(i)->Required(), x.required) << x.name;
    }
}

TEST(EngineFieldDefsToAdvFieldDefs, CarriesEverySettingAndReadsTheFieldConstraints) {
    TORQFieldDefs engine;
    TORQFieldDef* id = AddEngineField(engine, "ID", aftAutoInc, 0, 10);
    id->AutoincIncrement = 3;
    id->AutoincInitialValue = 7;
    id->AutoincMinValue = 2;
    id->AutoincMaxValue = 500;
    id->AutoincCycled = 1;
    TORQFieldDef* station = AddEngineField(engine, "STATION", aftVarChar, 30, 11);
    station->DefaultValue.SetAsString("UNID");
    AddEngineField(engine, "KEY", aftGuid, 38, 12);
    TORQFieldDef* text = AddEngineField(engine, "TEXT", aftMemo, 0, 13);
    text->BlobCompressionAlgorithm = 7;  // no such algorithm
    text->BlobCompressionMode = 5;
    text->BlobBlockSize = 8192;
    TORQFieldDef* pic = AddEngineField(engine, "PIC", aftGraphic, 0, 14);
    pic->BlobCompressionAlgorithm = 2;
    AddEngineField(engine, "DIST", aftInteger, 0, 15);

    TORQConstraintDefs constraints;
    constraints.AddPrimary()->TargetID = 999;  // key constraints are passed over
    constraints.AddNotNull()->TargetID = 11;
    TORQConstraintDefCheck* check = constraints.AddCheck();
    check->TargetID = 15;
    check->MinValue.SetAsInteger(0);
    check->MaxValue.SetAsInteger(20000);
    constraints.AddUnique()->TargetID = -5;

    TORQAdvFieldDefs adv;
    adv.Add()->Name = "STALE";
    EngineFieldDefsToAdvFieldDefs(engine, engine, constraints, adv);
    ASSERT_EQ(adv.Count(), 6);
    const TORQAdvFieldDef* d = adv.GetItem(0);
    EXPECT_EQ(d->Name, "ID");
    EXPECT_EQ(d->ObjectID, 10);
    EXPECT_EQ(d->DataType, aftAutoInc);
    EXPECT_EQ(d->AutoincIncrement, 3);
    EXPECT_EQ(d->AutoincInitialValue, 7);
    EXPECT_EQ(d->AutoincMinValue, 2);
    EXPECT_EQ(d->AutoincMaxValue, 500);
    EXPECT_TRUE(d->AutoincCycled);
    EXPECT_FALSE(d->Required);
    d = adv.GetItem(1);
    EXPECT_EQ(d->Size, 30);
    EXPECT_TRUE(d->Required);
    EXPECT_EQ(d->DefaultValue.GetAsString(), "UNID");
    EXPECT_TRUE(d->MinValue.IsNull());
    EXPECT_EQ(adv.GetItem(2)->Size, 0);  // GUID
    d = adv.GetItem(3);
    EXPECT_EQ(d->BlobCompressionAlgorithm, 0);
    EXPECT_EQ(d->BlobCompressionMode, 5);
    EXPECT_EQ(d->BlobBlockSize, 8192);
    EXPECT_EQ(adv.GetItem(4)->BlobCompressionAlgorithm, 2);
    d = adv.GetItem(5);
    EXPECT_FALSE(d->Required);
    EXPECT_EQ(d->MinValue.GetAsInteger(), 0);
    EXPECT_EQ(d->MaxValue.GetAsInteger(), 20000);
}

TEST(EngineFieldDefsToAdvFieldDefs, ConstraintsFindTheirFieldByIdInTheIdList) {
    // A projected list: the definitions stand at the id list's positions, not their own.
    TORQFieldDefs projected, ids;
    AddEngineField(projected, "A", aftInteger, 0, 1);
    AddEngineField(projected, "B", aftInteger, 0, 2);
    AddEngineField(ids, "B", aftInteger, 0, 2);
    AddEngineField(ids, "A", aftInteger, 0, 1);
    TORQConstraintDefs constraints;
    constraints.AddNotNull()->TargetID = 1;
    TORQAdvFieldDefs adv;
    EngineFieldDefsToAdvFieldDefs(projected, ids, constraints, adv);
    EXPECT_FALSE(adv.GetItem(0)->Required);
    EXPECT_TRUE(adv.GetItem(1)->Required);
}

namespace {

// A constraint of a kind the converters do not know.
class TOddConstraint : public TORQConstraintDef {
public:
    TOddConstraint() : TORQConstraintDef(1) {}
};

}  // namespace

TEST(EngineFieldDefsToAdvFieldDefs, UnknownFieldsAndKindsRaise) {
    TORQFieldDefs engine;
    AddEngineField(engine, "A", aftInteger, 0, 1);
    TORQAdvFieldDefs adv;

    TORQConstraintDefs notNull;
    notNull.AddNotNull()->TargetID = 42;
    ExpectNative([&] { EngineFieldDefsToAdvFieldDefs(engine, engine, notNull, adv); }, 30032,
                 "Field #42 not found - Native error: 30032");
    TORQConstraintDefs check;
    check.AddCheck()->TargetID = 43;
    ExpectNative([&] { EngineFieldDefsToAdvFieldDefs(engine, engine, check, adv); }, 30031,
                 "Field #43 not found - Native error: 30031");
    TORQConstraintDefs odd;
    odd.AddItem(new TOddConstraint);
    ExpectNative([&] { EngineFieldDefsToAdvFieldDefs(engine, engine, odd, adv); }, 30039,
                 "Not implemented yet - Native error: 30039");

    // An id list that names a field beyond the converted ones is as absent.
    TORQFieldDefs longer;
    AddEngineField(longer, "Z", aftInteger, 0, 9);
    AddEngineField(longer, "A", aftInteger, 0, 1);
    TORQFieldDefs one;
    AddEngineField(one, "A", aftInteger, 0, 1);
    TORQConstraintDefs onA;
    onA.AddNotNull()->TargetID = 1;
    ExpectNative([&] { EngineFieldDefsToAdvFieldDefs(one, longer, onA, adv); }, 30032);
}

TEST(AdvFieldConverters, SettingsSurviveTheWayThroughTheEngine) {
    TORQAdvFieldDefs adv;
    FillEveryField(*adv.Add());
    TORQFieldDefs engine;
    TORQIndexDefs indexes;
    TORQConstraintDefs constraints;
    AdvFieldDefsToEngineDefs(adv, engine, indexes, false, constraints);
    // What the table does on creation: give ids and bind the constraints to them.
    engine.GetItem(0)->ObjectID = 17;
    for (int32_t i = 0; i < constraints.GetCount(); ++i) constraints.GetItem(i)->TargetID = 17;
    TORQAdvFieldDefs back;
    EngineFieldDefsToAdvFieldDefs(engine, engine, constraints, back);
    ASSERT_EQ(back.Count(), 1);
    ExpectEveryField(*back.GetItem(0));
}

TEST(AdvFieldConverters, NameTypeSizeAndRequiredBetweenTheClassLibraryAndTheAdvancedList) {
    TFieldDefs ds(nullptr);
    ds.Add("STATION", ftString, 30, true);
    ds.Add("COUNT", ftInteger, 0, false);
    ds.Add(std::string(260, 'L'), ftFixedChar, 4, false);
    TORQAdvFieldDefs adv;
    adv.Add()->Name = "STALE";
    FieldDefsToAdvFieldDefs(ds, adv);
    ASSERT_EQ(adv.Count(), 3);
    EXPECT_EQ(adv.GetItem(0)->Name, "STATION");
    EXPECT_EQ(adv.GetItem(0)->Size, 30);
    EXPECT_TRUE(adv.GetItem(0)->Required);
    EXPECT_FALSE(adv.GetItem(1)->Required);
    EXPECT_EQ(adv.GetItem(2)->Name.size(), 260u);

    adv.GetItem(1)->Required = true;
    TFieldDefs back(nullptr);
    back.Add("STALE", ftInteger);
    AdvFieldDefsToFieldDefs(adv, back);
    ASSERT_EQ(back.Count(), 3);
    EXPECT_EQ(back.Items(0)->Name(), "STATION");
    EXPECT_EQ(back.Items(0)->DataType(), ftString);
    EXPECT_EQ(back.Items(0)->Size(), 30);
    EXPECT_TRUE(back.Items(0)->Required());
    EXPECT_TRUE(back.Items(1)->Required());
    EXPECT_EQ(back.Items(2)->DataType(), ftFixedChar);
    EXPECT_EQ(back.Items(2)->Size(), 4);

    // The engine's list takes the names cut to 255 characters.
    TORQFieldDefs engine;
    AddEngineField(engine, "STALE", aftInteger, 0, 1);
    FieldDefsToEngineFieldDefs(ds, engine);
    ASSERT_EQ(engine.GetCount(), 3);
    EXPECT_EQ(engine.GetItem(0)->FieldType, aftVarChar);
    EXPECT_EQ(engine.GetItem(0)->Size, 30);
    EXPECT_EQ(engine.GetItem(2)->Name, std::string(255, 'L'));
    EXPECT_EQ(engine.GetItem(2)->Size, 4);
}

TEST(FieldDefExists, ComparesAfterTheEngines8BitUpperCasing) {
    TFieldDefs ds(nullptr);
    ds.Add("Station", ftString, 10);
    ds.Add("Ort\xe9", ftString, 10);   // Windows-1252 e acute
    ds.Add("Stra\xdf" "e", ftString, 10);  // sharp s has no upper case in the code page
    EXPECT_TRUE(FieldDefExists(ds, "STATION"));
    EXPECT_TRUE(FieldDefExists(ds, "station"));
    EXPECT_TRUE(FieldDefExists(ds, "ORT\xc9"));
    EXPECT_TRUE(FieldDefExists(ds, "STRA\xdf" "E"));
    EXPECT_FALSE(FieldDefExists(ds, "STRASSE"));
    EXPECT_FALSE(FieldDefExists(ds, "Statio"));
    EXPECT_FALSE(FieldDefExists(ds, ""));
}
