// The constraint manager on MEMORY tables: NOT NULL and CHECK violations, CHECK bounds of
// another type than their field, generated names, binding errors, index constraints and
// renames that survive a save and reload.
#include <gtest/gtest.h>

#include <string>

#include "MemTableFixture.h"
#include "engine/foundation/ORQStreams.h"

namespace orq::test {
namespace {

class Constraints : public MemTableTest {
protected:
    // ID INTEGER, NAME VARCHAR(10), VAL SMALLINT, F FLOAT, DT DATETIME.
    void SetUp() override {
        MemTableTest::SetUp();
        AddField(Fields, "ID", aftInteger);
        AddField(Fields, "NAME", aftVarChar, 10);
        AddField(Fields, "VAL", aftSmallInt);
        AddField(Fields, "F", aftSingle);
        AddField(Fields, "DT", aftDateTime);
        TORQIndexDef* pk = Indexes.Add();
        pk->Name = "PK";
        pk->Primary = 1;
        pk->SetColumns({"ID", "NAME"}, {"", ""}, {"", ""});
    }

    TORQFieldDefs Fields;
    TORQIndexDefs Indexes;  // PK (ID, NAME), primary
    TORQConstraintDefs NoConstraints;
    static void SetName(TTestCursor& C, const char* Text) {
        TORQVariant v;
        v.SetAsString(Text);
        C.SetFieldValue(v, 1, C.CurrentRecord, true);
    }
    static int32_t Check(TORQTableData& T, TTestCursor& C) {
        return NativeCode([&] { T.ConstraintManager->CheckRecord(0, C.CurrentRecord, true, {}, true, nullptr); });
    }
};

TEST_F(Constraints, NotNullAndCheckWithNullMinimum) {
    TORQConstraintDefs cons;
    TORQConstraintDefNotNull* nn = cons.AddNotNull();
    nn->Name = "NN";
    nn->TargetName = "NAME";
    TORQConstraintDefCheck* ck = cons.AddCheck();
    ck->Name = "CK";
    ck->TargetName = "VAL";
    ck->MaxValue.SetAsInteger(10);
    TORQMemoryTableData& t = MakeTable(Fields, cons);
    TTestCursor c(t);

    struct Case {
        const char* Name;  // nil: Null
        int64_t Val;       // INT64_MIN: Null
        int32_t Code;
    };
    for (const Case k : {Case{"a", 11, 30030}, Case{"a", 10, 0}, Case{"a", -32768, 0}, Case{"a", INT64_MIN, 0},
                         Case{nullptr, 5, 30026}, Case{nullptr, 11, 30026}}) {
        c.Clear();
        if (k.Name != nullptr) SetName(c, k.Name);
        if (k.Val != INT64_MIN) c.SetInt(2, k.Val);
        EXPECT_EQ(Check(t, c), k.Code) << (k.Name ? k.Name : "null") << " " << k.Val;
        // Without Raise a violation only answers false.
        EXPECT_EQ(t.ConstraintManager->CheckRecord(0, c.CurrentRecord, false, {}, true, nullptr), k.Code == 0);
    }
    c.Clear();
    SetName(c, "a");
    c.SetInt(2, 11);
    try {
        t.ConstraintManager->CheckRecord(0, c.CurrentRecord, true, {}, true, nullptr);
        FAIL();
    } catch (const EORQException& e) {
        EXPECT_NE(
            std::string(e.what()).find("Constraint 'CK' violated. Value in field 'VAL' cannot be greater than '10'"),
            std::string::npos)
            << e.what();
    }
}

// Bounds of another type than the field: each is compared in a type both convert to,
// never by reading the bound's width out of the field.
TEST_F(Constraints, CheckBoundsOfEveryTypeOnSmallIntFloatAndDateTime) {
    enum BoundKind { Int, Dbl, Str };
    struct Case {
        const char* Field;
        BoundKind Kind;
        bool IsMax;
        double Bound;
        const char* Text;
        int32_t Code;
    };
    // Field values: VAL 5, F 2.5, DT 2020-06-15 12:00 (43997.5).
    const Case cases[] = {
        {"VAL", Int, false, 6, nullptr, 30029},    {"VAL", Int, true, 5, nullptr, 0},
        {"VAL", Dbl, false, 5.5, nullptr, 30029},  {"VAL", Dbl, true, 4.75, nullptr, 30030},
        {"VAL", Str, true, 0, "4", 30030},         {"VAL", Str, false, 0, "10", 30029},
        {"VAL", Str, true, 0, "10", 0},            {"F", Int, false, 3, nullptr, 30029},
        {"F", Int, true, 2, nullptr, 30030},       {"F", Int, true, 3, nullptr, 0},
        {"F", Dbl, true, 2.25, nullptr, 30030},    {"F", Dbl, false, 2.5, nullptr, 0},
        {"F", Str, false, 0, "2", 0},              {"F", Str, true, 0, "2.4", 30030},
        // Numbers against a DATETIME are the engine's day numbers: offsets from the day.
        {"DT", Dbl, false, 0.75, nullptr, 30029},  {"DT", Dbl, true, 0.25, nullptr, 30030},
        {"DT", Dbl, false, 0.5, nullptr, 0},       {"DT", Str, false, 0, "2020-06-16", 30029},
        {"DT", Str, true, 0, "2020-06-16", 0},     {"DT", Str, true, 0, "2020-06-15 11:00:00", 30030},
        {"DT", Int, false, 1, nullptr, 30029},     {"DT", Int, true, 0, nullptr, 30030},
        {"DT", Int, true, 1, nullptr, 0},
    };
    int n = 0;
    for (const Case& k : cases) {
        TORQConstraintDefs cons;
        TORQConstraintDefCheck* ck = cons.AddCheck();
        ck->Name = "B";
        ck->TargetName = k.Field;
        TORQVariant& bound = k.IsMax ? ck->MaxValue : ck->MinValue;
        const double day = std::string(k.Field) == "DT" ? DateTimeToDays(43997.0) : 0.0;
        if (k.Kind == Int)
            bound.SetAsInteger(static_cast<int32_t>(day + k.Bound));
        else if (k.Kind == Dbl)
            bound.SetAsDouble(day + k.Bound);
        else
            bound.SetAsString(k.Text);
        TORQMemoryTableData& t = MakeTable(Fields, cons, "B" + std::to_string(n++));
        TTestCursor c(t);
        c.Clear();
        c.SetInt(2, 5);
        TORQVariant f;
        f.SetAsSingle(2.5f);
        c.SetFieldValue(f, 3, c.CurrentRecord, true);
        TORQVariant dt;
        dt.SetAsDateTime(43997.5);
        c.SetFieldValue(dt, 4, c.CurrentRecord, true);
        EXPECT_EQ(Check(t, c), k.Code) << k.Field << " kind " << k.Kind << " max " << k.IsMax << " " << k.Bound << " "
                                       << (k.Text ? k.Text : "");
    }
}

TEST_F(Constraints, UnnamedConstraintsGetDistinctNames) {
    SetEngineRandomSeed(7);
    TORQConstraintDefs cons;
    cons.AddNotNull()->TargetName = "NAME";
    cons.AddNotNull()->TargetName = "NAME";
    cons.AddCheck()->TargetName = "VAL";
    TORQMemoryTableData& t = MakeTable(Fields, cons, "Tab");
    const TORQConstraintDefs& d = t.ConstraintManager->ConstraintDefs;
    ASSERT_EQ(d.GetCount(), 3);
    EXPECT_EQ(d.GetItem(0)->Name, "$C_NotNull$Tab$NAME");
    const std::string second = d.GetItem(1)->Name;
    ASSERT_GT(second.size(), d.GetItem(0)->Name.size());
    EXPECT_EQ(second.substr(0, 19), "$C_NotNull$Tab$NAME");
    const int suffix = std::stoi(second.substr(19));
    EXPECT_GE(suffix, 0);
    EXPECT_LT(suffix, 65535);
    EXPECT_EQ(d.GetItem(2)->Name, "$C_Check$Tab$VAL");
    // Every constraint carries the table's name and an object id of its own.
    EXPECT_EQ(d.GetItem(1)->TableName, "Tab");
    EXPECT_NE(d.GetItem(0)->ObjectID, d.GetItem(1)->ObjectID);
}

TEST_F(Constraints, GeneratedNamesStayWithin255) {
    TORQFieldDefs f;
    AddField(f, std::string(250, 'X'), aftInteger);
    TORQConstraintDefs cons;
    cons.AddNotNull()->TargetName = std::string(250, 'X');
    cons.AddNotNull()->TargetName = std::string(250, 'X');
    TORQMemoryTableData& t = MakeTable(f, cons);
    const TORQConstraintDefs& d = t.ConstraintManager->ConstraintDefs;
    EXPECT_EQ(d.GetItem(0)->Name.size(), 255u);
    EXPECT_LE(d.GetItem(1)->Name.size(), 255u);
    EXPECT_NE(d.GetItem(0)->Name, d.GetItem(1)->Name);
}

TEST_F(Constraints, UnsupportedKindsAreRefused) {
    TORQMemoryTableData& t = MakeTable(Fields, NoConstraints);
    for (uint8_t kind : {uint8_t{1}, uint8_t{5}, uint8_t{200}}) {
        TORQConstraintDefs cons;
        TORQConstraintDefNotNull* c = cons.AddNotNull();
        c->TargetName = "NAME";
        c->ConstraintType = kind;
        EXPECT_EQ(NativeCode([&] { t.SetConstraintDefs(cons); }), 30040) << int(kind);
        EXPECT_EQ(NativeCode([&] { t.TORQTableData::SetConstraintDefs(cons); }), 30058) << int(kind);
    }
    // A kind no check knows, already in the list, is reported by the check itself.
    TORQConstraintDefNotNull* odd = t.ConstraintManager->ConstraintDefs.AddNotNull();
    odd->ConstraintType = 1;
    TTestCursor c(t);
    c.Clear();
    EXPECT_EQ(Check(t, c), 30036);
}

TEST_F(Constraints, PrimaryKeyRefusesOnlyAnAllNullKey) {
    TORQConstraintDefs cons;
    TORQConstraintDefPrimary* pk = cons.AddPrimary();
    pk->Name = "P";
    pk->TargetName = "PK";
    pk->Columns = {{"ID", 0}, {"NAME", 0}};
    TORQIndexDefs& idx = Indexes;
    TORQMemoryTableData& t = MakeTable(Fields, cons, "T", &idx);
    TTestCursor c(t);
    c.Clear();
    try {
        t.ConstraintManager->CheckRecord(0, c.CurrentRecord, true, {}, true, nullptr);
        FAIL();
    } catch (const EORQException& e) {
        EXPECT_EQ(e.NativeError(), 30330);
        EXPECT_NE(std::string(e.what()).find("'ID,NAME' cannot be null"), std::string::npos) << e.what();
    }
    SetName(c, "x");  // ID stays Null
    EXPECT_EQ(Check(t, c), 0);
    // The constraint is bound to the index and to each column's field.
    const auto* bound = static_cast<const TORQConstraintDefUnique*>(t.ConstraintManager->ConstraintDefs.GetItem(0));
    EXPECT_EQ(bound->TargetID, t.IndexManager->IndexDefs.GetItem(0)->ObjectID);
    EXPECT_EQ(bound->Columns[1].FieldID, t.FieldManager->FieldDefs.GetItem(1)->ObjectID);
}

TEST_F(Constraints, BindingErrorsLeaveTheConstraintsAsTheyWere) {
    TORQIndexDefs& idx = Indexes;
    TORQConstraintDefs first;
    first.AddNotNull()->TargetName = "NAME";
    TORQMemoryTableData& t = MakeTable(Fields, first, "T", &idx);
    struct Case {
        uint8_t Kind;
        const char* Target;
        const char* Column;
        int32_t Code;
    };
    for (const Case k : {Case{ctPrimaryKey, "NOPE", "ID", 30325}, Case{ctUnique, "NOPE", "ID", 30326},
                         Case{ctPrimaryKey, "PK", "NOPE", 30331}, Case{ctUnique, "PK", "NOPE", 30332},
                         Case{ctNotNull, "NOPE", nullptr, 30027}, Case{ctCheck, "NOPE", nullptr, 30027}}) {
        TORQConstraintDefs cons;
        TORQConstraintDef* d = k.Kind == ctPrimaryKey ? static_cast<TORQConstraintDef*>(cons.AddPrimary())
                               : k.Kind == ctUnique   ? static_cast<TORQConstraintDef*>(cons.AddUnique())
                               : k.Kind == ctNotNull  ? static_cast<TORQConstraintDef*>(cons.AddNotNull())
                                                      : static_cast<TORQConstraintDef*>(cons.AddCheck());
        d->Name = "X";
        d->TargetName = k.Target;
        if (k.Column != nullptr) static_cast<TORQConstraintDefUnique*>(d)->Columns = {{k.Column, 0}};
        EXPECT_EQ(NativeCode([&] { t.SetConstraintDefs(cons); }), k.Code) << int(k.Kind) << k.Target;
        ASSERT_EQ(t.ConstraintManager->ConstraintDefs.GetCount(), 1);
        EXPECT_EQ(t.ConstraintManager->ConstraintDefs.GetItem(0)->ConstraintType, ctNotNull);
    }
}

TEST_F(Constraints, CheckWithAFieldIdThatIsGoneRaises) {
    TORQConstraintDefs cons;
    cons.AddNotNull()->TargetName = "NAME";
    cons.AddCheck()->TargetName = "VAL";
    TORQMemoryTableData& t = MakeTable(Fields, cons);
    TTestCursor c(t);
    c.Clear();
    SetName(c, "a");
    c.SetInt(2, 1);
    t.ConstraintManager->ConstraintDefs.GetItem(1)->TargetID = 9999;
    EXPECT_EQ(Check(t, c), 30028);
    t.ConstraintManager->ConstraintDefs.GetItem(0)->TargetID = 9999;
    EXPECT_EQ(Check(t, c), 30024);
}

TEST_F(Constraints, IndexConstraintsComeAndGoWithTheirIndex) {
    TORQIndexDefs& idx = Indexes;
    TORQIndexDef* ux = idx.Add();
    ux->Name = "UX";
    ux->Unique = 1;
    ux->SetColumns({"NAME"}, {""}, {""});
    TORQIndexDef* plain = idx.Add();
    plain->Name = "IX";
    plain->SetColumns({"VAL"}, {""}, {""});
    TORQConstraintDefs cons;
    cons.AddNotNull()->TargetName = "NAME";
    TORQMemoryTableData& t = MakeTable(Fields, cons, "T", &idx);
    TORQBaseConstraintManager& m = *t.ConstraintManager;
    const TORQIndexDefs& defs = t.IndexManager->IndexDefs;

    m.AddIndexConstraint(*defs.GetItem(2));  // a plain index implies nothing
    EXPECT_EQ(m.ConstraintDefs.GetCount(), 1);
    m.AddIndexConstraint(*defs.GetItem(1));
    m.AddIndexConstraint(*defs.GetItem(0));
    ASSERT_EQ(m.ConstraintDefs.GetCount(), 3);
    const TORQConstraintDef* u = m.ConstraintDefs.GetItem(1);
    EXPECT_EQ(u->ConstraintType, ctUnique);
    EXPECT_EQ(u->Name, "C_Unique$NAME");
    EXPECT_EQ(u->TableName, "T");
    EXPECT_EQ(u->TargetID, defs.GetItem(1)->ObjectID);
    EXPECT_GT(u->ObjectID, 0);
    EXPECT_EQ(static_cast<const TORQConstraintDefUnique*>(u)->Columns[0].FieldID,
              t.FieldManager->FieldDefs.GetItem(1)->ObjectID);
    EXPECT_EQ(m.ConstraintDefs.GetItem(2)->Name, "C_PK$ID$NAME");

    m.RemoveIndexConstraint(defs.GetItem(1)->ObjectID);
    ASSERT_EQ(m.ConstraintDefs.GetCount(), 2);
    EXPECT_EQ(m.ConstraintDefs.GetItem(1)->ConstraintType, ctPrimaryKey);
    m.RemoveIndexConstraint(12345);
    EXPECT_EQ(m.ConstraintDefs.GetCount(), 2);
}

TEST_F(Constraints, RenamedFieldsResolveAfterSaveAndReload) {
    TORQIndexDefs& idx = Indexes;
    TORQConstraintDefs cons;
    cons.AddNotNull()->TargetName = "NAME";
    TORQConstraintDefCheck* ck = cons.AddCheck();
    ck->TargetName = "val";  // names match without regard to case
    ck->MaxValue.SetAsInteger(3);
    TORQConstraintDefPrimary* pk = cons.AddPrimary();
    pk->Name = "P";
    pk->TargetName = "PK";
    pk->Columns = {{"ID", 0}, {"NAME", 0}};
    TORQMemoryTableData& t = MakeTable(Fields, cons, "T", &idx);

    t.RenameField("NAME", "TITLE");
    t.RenameField("VAL", "AMOUNT");
    t.RenameField("id", "KEY");

    TORQMemoryStream saved;
    t.ConstraintManager->SaveToStream(saved);
    saved.Seek(0, soBeginning);
    TORQBaseConstraintManager reloaded(&t);
    reloaded.LoadFromStream(saved);
    ASSERT_EQ(NativeCode([&] { reloaded.ResolveAllConstraints(); }), 0);
    EXPECT_EQ(reloaded.ConstraintDefs.GetItem(0)->TargetName, "TITLE");
    EXPECT_EQ(reloaded.ConstraintDefs.GetItem(1)->TargetName, "AMOUNT");
    const auto* p = static_cast<const TORQConstraintDefUnique*>(reloaded.ConstraintDefs.GetItem(2));
    EXPECT_EQ(p->Columns[0].FieldName, "KEY");
    EXPECT_EQ(p->Columns[1].FieldName, "TITLE");
    EXPECT_EQ(t.IndexManager->IndexDefs.GetItem(0)->GetColumn(1).FieldName, "TITLE");

    // The reloaded constraints check under the new names.
    TTestCursor c(t);
    c.Clear();
    c.SetInt(0, 1);
    try {
        reloaded.CheckRecord(0, c.CurrentRecord, true, {}, true, nullptr);
        FAIL();
    } catch (const EORQException& e) {
        EXPECT_EQ(e.NativeError(), 30026);
        EXPECT_NE(std::string(e.what()).find("field 'TITLE'"), std::string::npos) << e.what();
    }
}

TEST_F(Constraints, RenameFieldErrors) {
    TORQMemoryTableData& t = MakeTable(Fields, NoConstraints);
    EXPECT_EQ(NativeCode([&] { t.RenameField("NOPE", "X"); }), 30343);
    EXPECT_EQ(NativeCode([&] { t.RenameField("NAME", "val"); }), 30344);
    // A new spelling of the same name is no clash.
    EXPECT_EQ(NativeCode([&] { t.RenameField("NAME", "Name"); }), 0);
    EXPECT_EQ(t.FieldManager->FieldDefs.GetItem(1)->Name, "Name");
    t.RenameField("Name", std::string(300, 'N'));
    EXPECT_EQ(t.FieldManager->FieldDefs.GetItem(1)->Name.size(), 255u);
}

}  // namespace
}  // namespace orq::test
