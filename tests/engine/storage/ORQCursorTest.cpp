// The abstract cursor and session: slots without a body, named objects, index names,
// projections, field values in a record buffer, positions and the record id's bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "FakeExpression.h"
#include "engine/foundation/ORQTypesRoutines.h"
#include "engine/storage/ORQBase.h"
#include "foundation/ExpectNative.h"

using namespace orq;

namespace {

// A cursor over a hand-made field list: A Integer, B VarChar(5), C SmallInt.
struct FieldsCursor : TORQCursor {
    FieldsCursor() {
        AddField("A", aftInteger, 0);
        AddField("B", aftVarChar, 5);
        AddField("C", aftSmallInt, 0);
        FieldDefs.CalculateOffsets();
        CalculateRecordSizes();
        for (int32_t i = 0; i < FieldDefs.GetCount(); ++i) {
            TORQFieldDef* p = ProjectedFieldDefs.Add();
            p->Assign(*FieldDefs.GetItem(i));
            p->BaseFieldNo = i;
        }
    }
    void AddField(const char* Name, uint8_t Type, int32_t Size) {
        TORQFieldDef* f = FieldDefs.Add();
        f->Name = Name;
        f->SetDataType(Type, Size);
    }
    using TORQCursor::CalculateRecordSizes;
};

TEST(TORQCursor, SlotsWithoutABodyRaise30339) {
    TORQCursor c;
    const std::string msg = "The method 'First' not overrided in class 'TORQCursor' - Native error: 30339";
    ExpectNative([&] { c.First(); }, 30339, msg);
    ExpectNative([&] { c.GetRecord(1); }, 30339);
    ExpectNative([&] { c.OpenTable(nullptr, nullptr, nullptr); }, 30339);
    ExpectNative([&] { c.CheckConstraints(true); }, 30339);
    // The three with base code answer.
    EXPECT_EQ(&c.GetIndexDefs(), &c.IndexDefs);
    uint8_t* nothing = nullptr;
    c.FreeRecordBuffer(nothing);
    EXPECT_EQ(nothing, nullptr);
}

TEST(TORQBaseSession, StartsUnconnectedAndItsSlotsRaise30339) {
    TORQBaseSession s;
    EXPECT_EQ(s.SessionID, -1);
    EXPECT_EQ(s.InTransaction, 0);
    ExpectNative([&] { s.StartTransaction(); }, 30339,
                 "The method 'StartTransaction' not overrided in class 'TORQBaseSession' - Native error: 30339");
}

TEST(TORQBaseSession, NamedObjectsKeepOnePerIdentity) {
    TORQBaseSession s;
    s.SetNamedObject(new TORQSessionNamedObjectSequenceValue(7, 10));
    s.SetNamedObject(new TORQSessionNamedObjectSequenceValue(8, 20));
    s.SetNamedObject(new TORQSessionNamedObjectSequenceValue(7, 11));
    EXPECT_EQ(s.NamedObjectCount(), 2);
    auto* seven = dynamic_cast<TORQSessionNamedObjectSequenceValue*>(s.FindNamedObjectByID(7));
    ASSERT_NE(seven, nullptr);
    EXPECT_EQ(seven->LastValue, 11);
    s.SetNamedObject(seven);  // the object it holds: kept, not freed
    EXPECT_EQ(s.FindNamedObjectByID(7), seven);

    // Objects without an id are identified by name, ignoring case.
    auto* a = new TORQSessionNamedObject;
    a->Name = "Seq";
    s.SetNamedObject(a);
    auto* b = new TORQSessionNamedObject;
    b->Name = "SEQ";
    s.SetNamedObject(b);
    EXPECT_EQ(s.NamedObjectCount(), 3);
    EXPECT_EQ(s.FindNamedObjectByName("seq"), b);
    EXPECT_EQ(s.FindNamedObjectByName("other"), nullptr);

    s.DeleteNamedObject(8);
    s.DeleteNamedObject(99);  // none: nothing
    EXPECT_EQ(s.FindNamedObjectByID(8), nullptr);
    EXPECT_EQ(s.NamedObjectCount(), 2);
}

TEST(TORQCursor, SetIndexNameLooksTheIdUpIgnoringCase) {
    TORQCursor c;
    TORQIndexDef* i = c.IndexDefs.Add();
    i->Name = "ByDate";
    i->ObjectID = 42;
    c.SetIndexName("BYDATE");
    EXPECT_EQ(c.IndexID, 42);
    EXPECT_TRUE(c.HasIndex());
    c.SetIndexName("Nowhere");
    EXPECT_EQ(c.IndexName, "Nowhere");
    EXPECT_EQ(c.IndexID, -1);
    EXPECT_FALSE(c.HasIndex());
}

TEST(TORQCursor, RecordSizesFollowTheLayout) {
    FieldsCursor c;
    // bitmap 1 + A 4 + B 6 + C 2 = 13
    EXPECT_EQ(c.RecordSize, 13);
    EXPECT_EQ(c.RecordIDBufferSize, 19);
    EXPECT_EQ(c.RecordBufferSize, 20);
    EXPECT_EQ(c.CalcFieldsOffset, 20);
    EXPECT_EQ(c.FirstFieldOffset, 1);
}

TEST(TORQCursor, ProjectionAliasesAndErrors) {
    FieldsCursor c;
    c.SetProjection({"c", "A", "B"}, {"X", "X", ""});
    ASSERT_EQ(c.ProjectedFieldDefs.GetCount(), 3);
    EXPECT_EQ(c.ProjectedFieldDefs.GetItem(0)->Name, "X");
    EXPECT_EQ(c.ProjectedFieldDefs.GetItem(1)->Name, "X_1");
    EXPECT_EQ(c.ProjectedFieldDefs.GetItem(2)->Name, "B");
    EXPECT_EQ(c.ProjectedFieldDefs.GetItem(0)->BaseFieldNo, 2);
    EXPECT_EQ(c.ProjectedFieldDefs.GetItem(1)->BaseFieldNo, 0);
    EXPECT_EQ(c.Projected, 1);

    ExpectNative([&] { c.SetProjection({"A", "B"}, {""}); }, 10321,
                 "Error - different list lengths. L1 = 2, L2 = 1 - Native error: 10321");
    ExpectNative([&] { c.SetProjection({}, {}); }, 10322);
    ExpectNative([&] { c.SetProjection({"A", "Q"}, {"", ""}); }, 10323, "Cannot find field Q - Native error: 10323");
    EXPECT_EQ(c.ProjectedFieldDefs.GetCount(), 3) << "a refused projection changes nothing";
}

TEST(TORQCursor, AThirdRepeatedAliasCountsOn) {
    FieldsCursor c;
    c.SetProjection({"A", "B", "C"}, {"A", "A", "A"});
    EXPECT_EQ(c.ProjectedFieldDefs.GetItem(0)->Name, "A");
    EXPECT_EQ(c.ProjectedFieldDefs.GetItem(1)->Name, "A_1");
    EXPECT_EQ(c.ProjectedFieldDefs.GetItem(2)->Name, "A_2");
}

TEST(TORQCursor, FieldValuesInARecordBuffer) {
    FieldsCursor c;
    std::vector<uint8_t> rec(static_cast<size_t>(c.RecordBufferSize), 0);
    rec[0] = 0x07;  // all three Null
    c.CurrentRecord = rec.data();

    TORQVariant v;
    v.SetAsInteger(-2);
    c.SetFieldValue(v, 0);
    EXPECT_EQ(rec[0], 0x06);
    const uint8_t minusTwo[4] = {0xFE, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(std::memcmp(rec.data() + 1, minusTwo, 4), 0);

    // Null changes the bit only; the old bytes stay until ClearUnusedFieldBytes.
    TORQVariant null;
    null.SetNull();
    c.SetFieldValue(null, 0);
    EXPECT_EQ(rec[0], 0x07);
    EXPECT_EQ(std::memcmp(rec.data() + 1, minusTwo, 4), 0);

    TORQVariant s;
    s.SetAsString("abcd");
    c.SetFieldValue(s, 1);
    s.SetAsString("x");
    c.SetFieldValue(s, 1);
    EXPECT_EQ(std::memcmp(rec.data() + 5, "x\0cd\0", 6), 0);
    c.ClearUnusedFieldBytes(rec.data());
    EXPECT_EQ(std::memcmp(rec.data() + 5, "x\0\0\0\0\0", 6), 0);

    TORQVariant got;
    c.GetFieldValue(got, 1, true);
    EXPECT_FALSE(got.IsNull());
    EXPECT_EQ(got.GetAsString(), "x");
    c.GetFieldValue(got, 0, true);
    EXPECT_TRUE(got.IsNull());

    TORQVariant tooLong;
    tooLong.SetAsString("abcdef");
    ExpectNative([&] { c.SetFieldValue(tooLong, 1); }, 20056);
    EXPECT_EQ(rec[5], 'x') << "a refused value changes nothing";

    TORQVariant any;
    ExpectNative([&] { c.SetFieldValue(any, 3, nullptr, true); }, 20192);
    ExpectNative([&] { c.SetFieldValue(any, 3, nullptr, false); }, 20193);
    ExpectNative([&] { c.GetFieldValue(any, 3, true); }, 20191);
    ExpectNative([&] { c.GetFieldValue(any, -1, false); }, 10317);
    c.CurrentRecord = nullptr;
    ExpectNative([&] { c.GetFieldValue(any, 0, true); }, 20151);
}

TEST(TORQCursor, ProjectedNumbersMapToTheBaseFieldFirst) {
    FieldsCursor c;
    std::vector<uint8_t> rec(static_cast<size_t>(c.RecordBufferSize), 0);
    rec[0] = 0x01;  // A Null, C = 9
    rec[11] = 9;
    c.CurrentRecord = rec.data();
    c.SetProjection({"C", "A"}, {"", ""});
    TORQVariant v;
    c.GetFieldValue(v, 0, false);
    ASSERT_FALSE(v.IsNull());
    EXPECT_EQ(v.GetAsSmallInt(), 9);
    c.GetFieldValue(v, 1, false);
    EXPECT_TRUE(v.IsNull());
    int16_t out = 0;
    EXPECT_TRUE(c.GetFieldData(0, &out, rec.data()));
    EXPECT_EQ(out, 9);
    EXPECT_FALSE(c.GetFieldData(1, &out, rec.data()));
    ExpectNative([&] { c.GetFieldData(2, &out, rec.data()); }, 10005,
                 "Invalid field number - FieldNo = 2, FieldCount = 2 - Native error: 10005");
    ExpectNative([&] { c.SetFieldData(2, &out, rec.data()); }, 10006);
}

TEST(TORQCursor, RenameFieldChecksBothNames) {
    FieldsCursor c;
    ExpectNative([&] { c.RenameField("Q", "R"); }, 30345, "Field 'Q' not found - Native error: 30345");
    ExpectNative([&] { c.RenameField("A", "b"); }, 30346,
                 "Cannot rename field 'A'. Field 'b' already exists - Native error: 30346");
    c.RenameField("a", std::string(300, 'N'));
    EXPECT_EQ(c.FieldDefs.GetItem(0)->Name, std::string(255, 'N'));
}

TEST(TORQCursor, PositionsRoundTripThroughTheirBlock) {
    TORQCursor c;
    c.Bof = 1;
    c.CurrentRecordID = {-7, 0xFFFE};
    uint8_t* block = c.SavePosition();
    const uint8_t expected[8] = {1, 0, 0xF9, 0xFF, 0xFF, 0xFF, 0xFE, 0xFF};
    EXPECT_EQ(std::memcmp(block, expected, 8), 0);
    c.Bof = 0;
    c.Eof = 1;
    c.CurrentRecordID = {};
    c.RestorePosition(block);
    EXPECT_EQ(c.Bof, 1);
    EXPECT_EQ(c.Eof, 0);
    EXPECT_EQ(c.CurrentRecordID, (TORQRecordID{-7, 0xFFFE}));
    c.FreePosition(block);
    EXPECT_EQ(block, nullptr);
}

TEST(TORQRecordID, OrdersByPageSignedThenSlotUnsigned) {
    struct Case {
        TORQRecordID a, b;
        int32_t order;
    } cases[] = {
        {{-1, 0}, {0, 0}, -1},
        {{1, 0xFFFF}, {2, 0}, -1},
        {{3, 0x8000}, {3, 0x7FFF}, 1},
        {{3, 5}, {3, 5}, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CompareRecordIDs(c.a, c.b), c.order);
        EXPECT_EQ(CompareRecordIDs(c.b, c.a), -c.order);
    }
    uint8_t b[6];
    TORQRecordID{0x01020304, 0x0506}.ToBytes(b);
    const uint8_t expected[6] = {4, 3, 2, 1, 6, 5};
    EXPECT_EQ(std::memcmp(b, expected, 6), 0);
}

TEST(TORQCursor, RangeFilterAndBindingState) {
    TORQCursor c;
    EXPECT_FALSE(c.IsFiltered());
    uint8_t key[4] = {};
    c.SetRange(key, nullptr, true, false, 2, 0);
    EXPECT_TRUE(c.HasRange());
    EXPECT_EQ(c.RangeStartExclusive, 1);
    EXPECT_EQ(c.RangeStartFieldCount, 2);
    c.CancelRange();
    EXPECT_FALSE(c.HasRange());

    orq_test::FakeExpression e;
    c.SetFilterExpression(&e);
    EXPECT_EQ(e.BoundCursor, &c);
    EXPECT_TRUE(c.HasFilter());
    c.SetFilterExpression(nullptr);
    c.OnFilterRecord = [](const uint8_t*) { return true; };
    EXPECT_TRUE(c.IsFiltered());
    c.OnFilterRecord = nullptr;
    c.LinkedKeyFieldCount = 1;
    EXPECT_TRUE(c.IsFiltered());

    c.Bof = 0;
    c.Eof = 1;
    c.ResetToBeginning();
    EXPECT_EQ(c.Bof, 1);
    EXPECT_EQ(c.Eof, 0);
}

TEST(IndexDefToConstraintDefs, NamesTheImpliedConstraint) {
    struct Case {
        uint8_t primary, unique;
        std::vector<std::string> columns;
        int kind;  // -1: none
        std::string name;
    } cases[] = {
        {1, 1, {"ID"}, ctPrimaryKey, "C_PK$ID"},
        {0, 1, {"STATION", "FREQ"}, ctUnique, "C_Unique$STATION$FREQ"},
        {0, 0, {"X"}, -1, ""},
        {1, 0, {std::string(200, 'a'), std::string(100, 'b')}, ctPrimaryKey,
         ("C_PK$" + std::string(200, 'a') + "$" + std::string(100, 'b')).substr(0, 255)},
    };
    for (const Case& c : cases) {
        TORQIndexDef index;
        index.Name = "IX";
        index.ObjectID = 17;
        index.Primary = c.primary;
        index.Unique = c.unique;
        for (const std::string& col : c.columns) index.Columns.push_back({col, 0, 0, 20});
        TORQConstraintDefs defs;
        defs.AddNotNull();
        TORQConstraintDefUnique* got = IndexDefToConstraintDefs(index, defs);
        if (c.kind < 0) {
            EXPECT_EQ(got, nullptr);
            EXPECT_EQ(defs.GetCount(), 1);
            continue;
        }
        ASSERT_NE(got, nullptr);
        ASSERT_EQ(defs.GetCount(), 2);
        EXPECT_EQ(defs.GetItem(1), got);
        EXPECT_EQ(got->ConstraintType, c.kind);
        EXPECT_EQ(got->Name, c.name);
        EXPECT_EQ(got->Name.size(), std::min<size_t>(c.name.size(), 255));
        EXPECT_EQ(got->TargetName, "IX");
        EXPECT_EQ(got->TargetID, 17);
        ASSERT_EQ(got->Columns.size(), c.columns.size());
        for (size_t i = 0; i < c.columns.size(); ++i) EXPECT_EQ(got->Columns[i].FieldName, c.columns[i]);
    }
}

}  // namespace
