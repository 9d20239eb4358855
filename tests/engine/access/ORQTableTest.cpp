// The table component: opening a stored table on the three engines, the choice of index,
// the message log's store, definitions made by CreateTable, the maintenance operations
// and their refusals in a transaction, keys and ranges against brute force,
// master-detail, copying a table and the record copy's log.
#include <algorithm>
#include <set>

#include "ORQDataSetTestFixture.h"

#include "LocalCursorFixture.h"
#include "classlib/DBFields.h"
#include "classlib/DBParams.h"
#include "engine/access/ORQTable.h"

using namespace dstest;
using namespace classlib;

namespace {

TORQAdvFieldDef* AddAdv(TORQTable& T, const std::string& Name, uint8_t Type, int32_t Size = 0) {
    TORQAdvFieldDef* d = T.AdvFieldDefs().Add();
    d->Name = Name;
    d->DataType = Type;
    d->Size = Size;
    return d;
}

void AddAdvIndex(TORQTable& T, const std::string& Name, const std::string& Fields, TIndexOptions Options,
                 const std::string& Desc = {}) {
    TORQAdvIndexDef* i = T.AdvIndexDefs().Add();
    i->Name = Name;
    i->Fields = Fields;
    i->Options = Options;
    i->DescFields = Desc;
}

// The message log with its date key and a station index, created through the component.
void CreateLog(const std::string& Db, const std::string& Name = "NAVTEXLOG") {
    TORQTable t;
    t.SetDatabaseName(Db);
    t.SetTableName(Name);
    AddAdv(t, "UTCRECEIVED", aftDateTime);
    AddAdv(t, "FREQ", aftInteger);
    AddAdv(t, "NAVAREA", aftSmallInt);
    AddAdv(t, "STATION", aftVarChar, 75);
    AddAdv(t, "MSGTEXT", aftMemo);
    AddAdv(t, "DIST", aftInteger);
    AddAdvIndex(t, "IDX_DT", "UTCRECEIVED", ixPrimary | ixUnique);
    AddAdvIndex(t, "IDX_ST", "STATION;FREQ", 0);
    t.CreateTable();
}

void Append(TORQTable& T, int M, const std::string& Station, int Navarea = 1) {
    T.Append();
    T.FieldByName("UTCRECEIVED")->SetAsDateTime(lctest::MinuteDate(M));
    T.FieldByName("FREQ")->SetAsInteger(M);
    T.FieldByName("NAVAREA")->SetAsInteger(Navarea);
    T.FieldByName("STATION")->SetAsString(Station);
    T.Post();
}

std::vector<int> Walk(TORQTable& T, const char* Field = "FREQ") {
    std::vector<int> out;
    T.First();
    while (!T.Eof()) {
        out.push_back(T.FieldByName(Field)->AsInteger());
        T.Next();
    }
    return out;
}

class Table : public EngineTest, public ::testing::WithParamInterface<TEngineKind> {};

TEST_P(Table, OpensByNameOrdersByEitherIndexKindEditsAndFilters) {
    TEngineEnv env(GetParam());
    CreateLog(env.Name());
    TORQTable t;
    t.SetDatabaseName(env.Name());
    t.SetTableName("NAVTEXLOG");
    EXPECT_TRUE(t.Exists());
    t.SetIndexName("IDX_DT");
    t.Open();
    const int ms[] = {30, 10, 50, 20, 40};
    const char* st[] = {"B", "C", "A", "C", "A"};
    for (int i = 0; i < 5; ++i) Append(t, ms[i], st[i]);
    EXPECT_EQ(Walk(t), (std::vector<int>{10, 20, 30, 40, 50}));
    // The two kinds of index text exclude each other.
    t.SetIndexFieldNames("STATION");
    EXPECT_EQ(t.IndexName(), "");
    EXPECT_EQ(t.IndexFieldNames(), "STATION");
    EXPECT_EQ(Walk(t), (std::vector<int>{40, 50, 30, 10, 20}));
    t.SetIndexName("IDX_DT");
    EXPECT_EQ(t.IndexFieldNames(), "");
    EXPECT_EQ(Walk(t), (std::vector<int>{10, 20, 30, 40, 50}));
    t.SetFilterText("STATION = 'C'");
    t.SetFiltered(true);
    EXPECT_EQ(Walk(t), (std::vector<int>{10, 20}));
    t.SetFiltered(false);
    // The temporary engine's tables take appends only.
    if (GetParam() == ekTemp) return;
    ASSERT_TRUE(t.Locate("FREQ", Variant::FromInteger(30), 0));
    t.Edit();
    t.FieldByName("DIST")->SetAsInteger(77);
    t.Post();
    ASSERT_TRUE(t.Locate("FREQ", Variant::FromInteger(50), 0));
    t.Delete();
    EXPECT_EQ(Walk(t), (std::vector<int>{10, 20, 30, 40}));
    t.Close();
    t.Open();
    ASSERT_TRUE(t.Locate("FREQ", Variant::FromInteger(30), 0));
    EXPECT_EQ(t.FieldByName("DIST")->AsInteger(), 77);
    EXPECT_EQ(t.RecordCount(), 4);
}

TEST_P(Table, MaintenanceCreatesRenamesEmptiesIndexesAndDeletes) {
    TEngineEnv env(GetParam());
    CreateLog(env.Name());
    TORQTable t;
    t.SetDatabaseName(env.Name());
    t.SetTableName("NAVTEXLOG");
    t.Open();
    for (int m = 1; m <= 6; ++m) Append(t, m, m % 2 ? "X" : "Y");
    t.Close();
    t.RenameTable("LOG2");
    EXPECT_EQ(t.TableName(), "LOG2");
    TORQTable old;
    old.SetDatabaseName(env.Name());
    old.SetTableName("NAVTEXLOG");
    EXPECT_FALSE(old.Exists());
    EXPECT_TRUE(t.Exists());
    // An index added over the open table orders it at once.
    t.Open();
    t.AddIndex("IDX_DIST", "DIST;FREQ", 0, "FREQ");
    t.SetIndexName("IDX_DIST");
    EXPECT_EQ(Walk(t), (std::vector<int>{6, 5, 4, 3, 2, 1}));
    t.SetIndexName("");
    t.DeleteIndex("IDX_DIST");
    EXPECT_THROW(t.SetIndexName("IDX_DIST"), std::exception);
    t.Close();
    // A unique index over duplicates is refused and changes nothing.
    EXPECT_EQ(NativeCode([&] { t.AddIndex("IDX_U", "STATION", ixUnique); }), 30320);
    t.Open();
    t.IndexDefs().Update();
    EXPECT_EQ(t.IndexDefs().IndexOf("IDX_U"), -1);
    EXPECT_EQ(t.RecordCount(), 6);
    EXPECT_EQ(NativeCode([&] { t.AddIndex("", "FREQ", 0); }), 20046);
    EXPECT_EQ(NativeCode([&] { t.AddIndex("I", "", 0); }), 20047);
    t.Close();
    t.EmptyTable();
    t.Open();
    EXPECT_EQ(t.RecordCount(), 0);
    t.DeleteTable();  // closes first
    EXPECT_FALSE(t.Active());
    EXPECT_FALSE(t.Exists());
}

INSTANTIATE_TEST_SUITE_P(Engines, Table, ::testing::Values(ekMemory, ekTemp, ekDisk),
                         [](const auto& I) { return std::string(KindName(I.param)); });

// ---------------------------------------------------------------------------------
// Definitions

class TableDefs : public EngineTest {};

TEST_F(TableDefs, CreateTableRefusesBadDefinitionsAndLeavesNoTable) {
    TEngineEnv env(ekDisk);
    struct Case {
        const char* Name;
        std::function<void(TORQTable&)> Setup;
        int32_t Code;
        const char* Text;
    } cases[] = {
        {"no name", [](TORQTable& T) { AddAdv(T, "A", aftInteger); AddAdv(T, "", aftInteger); }, 30499,
         "Missing field name. FieldNo=1, table 'T1'"},
        {"varchar 0", [](TORQTable& T) { AddAdv(T, "S", aftVarChar, 0); }, 30453,
         "Cannot create table 'T1' with field: S STRING(0)"},
        {"mode 0",
         [](TORQTable& T) {
             auto* d = AddAdv(T, "B", aftBlob);
             d->BlobCompressionAlgorithm = 1;
             d->BlobCompressionMode = 0;
         },
         20257, "Invalid BlobCompressionMode (must be in 1..9 range) for blob field 'B'. Cannot create table 'T1'"},
        {"mode 10",
         [](TORQTable& T) {
             auto* d = AddAdv(T, "B", aftBlob);
             d->BlobCompressionAlgorithm = 1;
             d->BlobCompressionMode = 10;
         },
         20257, "Invalid BlobCompressionMode (must be in 1..9 range) for blob field 'B'. Cannot create table 'T1'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TORQTable t;
        t.SetDatabaseName(env.Name());
        t.SetTableName("T1");
        c.Setup(t);
        try {
            t.CreateTable();
            ADD_FAILURE() << "no error";
        } catch (const EORQException& e) {
            EXPECT_EQ(e.NativeError(), c.Code);
            EXPECT_NE(std::string(e.what()).find(c.Text), std::string::npos) << e.what();
        }
        EXPECT_FALSE(t.Exists());
        EXPECT_EQ(t.DatabaseFlags(), 0);
    }
}

TEST_F(TableDefs, FieldDefsAloneMakeTheTableAndAGuidGets38) {
    TEngineEnv env(ekDisk);
    TORQTable t;
    t.SetDatabaseName(env.Name());
    t.SetTableName("G");
    t.FieldDefs().Add("ID", ftGuid, 0, false);
    t.FieldDefs().Add("NAME", ftString, 20, true);
    t.IndexDefs().Add("IDX_NAME", "NAME", ixUnique);
    t.CreateTable();
    TORQTable r;
    r.SetDatabaseName(env.Name());
    r.SetTableName("G");
    r.Open();
    EXPECT_EQ(r.FieldDefs().Items(0)->Size(), 38);
    EXPECT_EQ(r.FieldDefs().Items(1)->Size(), 20);
    EXPECT_TRUE(r.FieldDefs().Items(1)->Required());
    r.IndexDefs().Update();
    EXPECT_GE(r.IndexDefs().IndexOf("IDX_NAME"), 0);
}

TEST_F(TableDefs, MaintenanceInATransactionIsRefusedWithItsCode) {
    TEngineEnv env(ekDisk);
    CreateLog(env.Name());
    TORQTable t;
    t.SetDatabaseName(env.Name());
    t.SetTableName("NAVTEXLOG");
    t.Open();
    Append(t, 1, "A");
    t.Close();
    env.Db->StartTransaction();
    const std::string msg = "Cannot perform '%s' operation on a database in transaction";
    struct Case {
        const char* Op;
        int32_t Code;
        std::function<void()> F;
    } cases[] = {
        {"CreateTable", 20182, [&] { CreateLog(env.Name(), "OTHER"); }},
        {"DeleteTable", 20183, [&] { t.DeleteTable(); }},
        {"RenameTable", 20181, [&] { t.RenameTable("X"); }},
        {"RenameField", 20179, [&] { t.RenameField("DIST", "D2"); }},
        {"AddIndex", 20175, [&] { t.AddIndex("IDX_F", "FREQ", 0); }},
        {"DeleteIndex", 20177, [&] { t.DeleteIndex("IDX_ST"); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Op);
        try {
            c.F();
            ADD_FAILURE() << "not refused";
        } catch (const EORQException& e) {
            EXPECT_EQ(e.NativeError(), c.Code);
            EXPECT_NE(std::string(e.what()).find(std::string("Cannot perform '") + c.Op + "' operation"),
                      std::string::npos);
        }
        EXPECT_EQ(t.DatabaseFlags(), 0);
    }
    env.Db->Rollback();
    EXPECT_TRUE(t.Exists());
    t.Open();
    EXPECT_EQ(t.RecordCount(), 1);
    EXPECT_NE(t.FindField("DIST"), nullptr);
}

// Another process has the table open: the exclusive lock is not had in 50 tries.
TEST_F(TableDefs, AddIndexWhileAnotherProcessHasTheTableOpenIsRefused) {
    lctest::TFakeTime time;
    TEngineEnv env(ekDisk, true);
    CreateLog(env.Name());
    const std::string path = env.Path;
    disktest::HoldingChild hold([path] {
        auto* c = lctest::TConnection::Disk(path, true, "CHILD").release();
        auto* cursor = new lctest::TCursor(*c, "NAVTEXLOG");
        cursor->Open();
        return 0;
    });
    ASSERT_EQ(hold.SetupResult, 0);
    TORQTable t;
    t.SetDatabaseName(env.Name());
    t.SetTableName("NAVTEXLOG");
    std::string text;
    EXPECT_EQ(NativeCode([&] {
                  try {
                      t.AddIndex("IDX_F", "FREQ", 0);
                  } catch (const std::exception& e) {
                      text = e.what();
                      throw;
                  }
              }),
              20228);
    EXPECT_NE(text.find("Cannot access table 'NAVTEXLOG' in exclusive mode. Table is open by another user"),
              std::string::npos);
    EXPECT_EQ(t.DatabaseFlags(), 0);
    hold.Release();
    t.AddIndex("IDX_F", "FREQ", 0);
    t.IndexDefs().Update();
    EXPECT_GE(t.IndexDefs().IndexOf("IDX_F"), 0);
}

TEST_F(TableDefs, TableFlagsAndExists) {
    TORQTable t;
    t.SetTableName("X");
    EXPECT_FALSE(t.Exists());  // no database name
    t.SetDatabaseName("NO_SUCH_DATABASE");
    EXPECT_FALSE(t.Exists());
    t.SetTemporary(true);
    EXPECT_EQ(t.DatabaseName(), "TEMP");
    TORQTable u;
    u.SetDatabaseName("MEMORY");
    EXPECT_THROW(u.Open(), EDatabaseError);  // "Missing TableName property"
    u.SetTableName("   ");
    EXPECT_NE(Raised([&] { u.CreateTable(); }).find("Missing TableName property"), std::string::npos);
}

TEST_F(TableDefs, ANewRecordCarriesItsMemoDefault) {
    TEngineEnv env(ekMemory);
    TORQTable t;
    t.SetDatabaseName(env.Name());
    t.SetTableName("D");
    AddAdv(t, "ID", aftInteger);
    AddAdv(t, "NOTE", aftMemo)->DefaultValue.SetAsString("abc");
    // A default expression gives its value; one that fails to evaluate its own text.
    AddAdv(t, "UPPERED", aftMemo)->DefaultValue.SetAsString("UPPER('abc')");
    AddAdv(t, "FAILING", aftMemo)->DefaultValue.SetAsString("1/0");
    AddAdv(t, "LAST", aftMemo)->DefaultValue.SetAsString("zz");
    t.CreateTable();
    t.Open();
    t.Append();
    EXPECT_EQ(t.FieldByName("NOTE")->AsString(), "abc");
    EXPECT_EQ(t.FieldByName("UPPERED")->AsString(), "ABC");
    EXPECT_EQ(t.FieldByName("FAILING")->AsString(), "1/0");
    EXPECT_EQ(t.FieldByName("LAST")->AsString(), "zz");  // the last field is covered too
    t.FieldByName("ID")->SetAsInteger(1);
    t.Post();
    EXPECT_EQ(t.FieldByName("NOTE")->AsString(), "abc");
}

// ---------------------------------------------------------------------------------
// Keys and ranges

class TableRanges : public EngineTest {};

TEST_F(TableRanges, RangesMatchBruteForceOnAscendingAndDescendingIndexes) {
    TEngineEnv env(ekDisk);
    {
        TORQTable t;
        t.SetDatabaseName(env.Name());
        t.SetTableName("STATIONS");
        AddAdv(t, "NAVAREA", aftInteger);
        AddAdv(t, "IDLETTER", aftInteger);
        AddAdv(t, "N", aftInteger);
        AddAdvIndex(t, "IDX_NAVLOC", "NAVAREA;IDLETTER", 0);
        AddAdvIndex(t, "IDX_DESC", "NAVAREA;IDLETTER", ixDescending);
        t.CreateTable();
    }
    TORQTable t;
    t.SetDatabaseName(env.Name());
    t.SetTableName("STATIONS");
    t.Open();
    struct Row {
        int A, L, N;
    };
    std::vector<Row> rows;
    int n = 0;
    for (int a = 1; a <= 6; ++a)
        for (int l = 0; l < 5; ++l) {
            rows.push_back({a, l, n});
            t.Append();
            t.FieldByName("NAVAREA")->SetAsInteger(a);
            t.FieldByName("IDLETTER")->SetAsInteger(l);
            t.FieldByName("N")->SetAsInteger(n++);
            t.Post();
        }
    auto key = [](int a, int l) { return a * 10 + l; };
    struct Case {
        const char* Index;
        std::vector<int> Start, End;
        bool StartEx, EndEx;
    } cases[] = {
        {"IDX_NAVLOC", {2, 1}, {4, 3}, false, false},
        {"IDX_NAVLOC", {2, 1}, {4, 3}, true, true},
        {"IDX_NAVLOC", {3}, {3}, false, false},   // one key field of two
        {"IDX_NAVLOC", {2}, {4}, true, false},
        {"IDX_DESC", {5, 2}, {2, 3}, false, false},
        {"IDX_DESC", {5}, {3}, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.Index) + " " + std::to_string(c.Start[0]));
        t.SetIndexName(c.Index);
        const bool desc = std::string(c.Index) == "IDX_DESC";
        t.SetRangeStart();
        for (size_t i = 0; i < c.Start.size(); ++i) t.GetIndexField(static_cast<int32_t>(i))->SetAsInteger(c.Start[i]);
        t.SetKeyFieldCount(static_cast<int32_t>(c.Start.size()));
        t.SetKeyExclusive(c.StartEx);
        t.SetRangeEnd();
        for (size_t i = 0; i < c.End.size(); ++i) t.GetIndexField(static_cast<int32_t>(i))->SetAsInteger(c.End[i]);
        t.SetKeyFieldCount(static_cast<int32_t>(c.End.size()));
        t.SetKeyExclusive(c.EndEx);
        t.ApplyRange();
        // Brute force: compare the key prefix of each row in the index's direction.
        auto cmp = [&](const Row& r, const std::vector<int>& k) {
            const int rv[2] = {r.A, r.L};
            for (size_t i = 0; i < k.size(); ++i) {
                if (rv[i] != k[i]) return desc ? (rv[i] > k[i] ? -1 : 1) : (rv[i] < k[i] ? -1 : 1);
            }
            return 0;
        };
        std::vector<Row> want;
        for (const Row& r : rows) {
            const int s = cmp(r, c.Start), e = cmp(r, c.End);
            if ((c.StartEx ? s > 0 : s >= 0) && (c.EndEx ? e < 0 : e <= 0)) want.push_back(r);
        }
        std::sort(want.begin(), want.end(), [&](const Row& x, const Row& y) {
            return desc ? key(x.A, x.L) > key(y.A, y.L) : key(x.A, x.L) < key(y.A, y.L);
        });
        std::vector<int> expect;
        for (const Row& r : want) expect.push_back(r.N);
        EXPECT_EQ(Walk(t, "N"), expect);
        t.CancelRange();
        EXPECT_EQ(t.RecordCount(), 30);
    }
}

TEST_F(TableRanges, AnUnchangedRangeDoesNotMoveTheCursorAndFindKeyFinds) {
    TEngineEnv env(ekMemory);
    CreateLog(env.Name());
    TORQTable t;
    t.SetDatabaseName(env.Name());
    t.SetTableName("NAVTEXLOG");
    t.SetIndexFieldNames("STATION;FREQ");
    t.Open();
    for (int m = 1; m <= 9; ++m) Append(t, m, m <= 3 ? "A" : m <= 6 ? "B" : "C");
    t.SetRange({Variant::FromString("B")}, {Variant::FromString("B")});
    EXPECT_EQ(Walk(t), (std::vector<int>{4, 5, 6}));
    t.Next();  // at the end: a reapplied equal range must not go back to First
    t.Prior();
    EXPECT_EQ(t.FieldByName("FREQ")->AsInteger(), 5);
    t.SetRange({Variant::FromString("B")}, {Variant::FromString("B")});
    EXPECT_EQ(t.FieldByName("FREQ")->AsInteger(), 5);
    t.CancelRange();
    EXPECT_TRUE(t.FindKey({Variant::FromString("C"), Variant::FromInteger(8)}));
    EXPECT_EQ(t.FieldByName("FREQ")->AsInteger(), 8);
    EXPECT_FALSE(t.FindKey({Variant::FromString("D")}));
    // Key editing ends with Cancel too, the buffer as it was.
    t.SetKey();
    EXPECT_EQ(t.State(), dsSetKey);
    t.Cancel();
    EXPECT_EQ(t.State(), dsBrowse);
    EXPECT_NE(Raised([&] { t.GetIndexField(5); }).find("Field index out of range"), std::string::npos);
}

// Nearest keys against brute force: rows (a, l) with holes, on an ascending and a
// descending index, full and partial keys, inclusive and exclusive, and inside a range.
TEST_F(TableRanges, NearestKeysMatchBruteForce) {
    TEngineEnv env(ekDisk);
    {
        TORQTable t;
        t.SetDatabaseName(env.Name());
        t.SetTableName("STATIONS");
        AddAdv(t, "NAVAREA", aftInteger);
        AddAdv(t, "IDLETTER", aftInteger);
        AddAdv(t, "N", aftInteger);
        AddAdvIndex(t, "IDX_NAVLOC", "NAVAREA;IDLETTER", 0);
        AddAdvIndex(t, "IDX_DESC", "NAVAREA;IDLETTER", ixDescending);
        t.CreateTable();
    }
    TORQTable t;
    t.SetDatabaseName(env.Name());
    t.SetTableName("STATIONS");
    t.Open();
    std::vector<std::pair<int, int>> rows;
    for (int a : {1, 3, 5})
        for (int l : {0, 2, 4}) {
            rows.push_back({a, l});
            t.Append();
            t.FieldByName("NAVAREA")->SetAsInteger(a);
            t.FieldByName("IDLETTER")->SetAsInteger(l);
            t.FieldByName("N")->SetAsInteger(a * 10 + l);
            t.Post();
        }
    struct Case {
        const char* Index;
        std::vector<int> Key;
        bool Exclusive;
        std::vector<int> Range;  // an applied range over NAVAREA, or none
    } cases[] = {
        {"IDX_NAVLOC", {3, 1}, false, {}}, {"IDX_NAVLOC", {3, 2}, false, {}}, {"IDX_NAVLOC", {3, 2}, true, {}},
        {"IDX_NAVLOC", {4}, false, {}},    {"IDX_NAVLOC", {3}, true, {}},     {"IDX_NAVLOC", {0}, false, {}},
        {"IDX_NAVLOC", {9}, false, {}},    {"IDX_NAVLOC", {1}, false, {3}},   {"IDX_NAVLOC", {3, 3}, false, {3}},
        {"IDX_NAVLOC", {4}, false, {3}},   {"IDX_DESC", {3, 3}, false, {}},   {"IDX_DESC", {3}, true, {}},
        {"IDX_DESC", {0}, false, {}},
    };
    for (const Case& c : cases) {
        const bool desc = std::string(c.Index) == "IDX_DESC";
        SCOPED_TRACE(std::string(c.Index) + " key " + std::to_string(c.Key[0]) +
                     (c.Key.size() > 1 ? "," + std::to_string(c.Key[1]) : "") + (c.Exclusive ? " exclusive" : "") +
                     (c.Range.empty() ? "" : " in range"));
        t.SetIndexName(c.Index);
        if (!c.Range.empty()) t.SetRange({Variant::FromInteger(c.Range[0])}, {Variant::FromInteger(c.Range[0])});
        // Brute force: the rows in index order, kept by the range; the first at or past
        // the key prefix, else the last.
        std::vector<std::pair<int, int>> order = rows;
        std::sort(order.begin(), order.end());
        if (desc) std::reverse(order.begin(), order.end());
        if (!c.Range.empty())
            order.erase(std::remove_if(order.begin(), order.end(), [&](auto& r) { return r.first != c.Range[0]; }),
                        order.end());
        auto cmp = [&](const std::pair<int, int>& r) {
            const int rv[2] = {r.first, r.second};
            for (size_t i = 0; i < c.Key.size(); ++i)
                if (rv[i] != c.Key[i]) return desc ? (rv[i] > c.Key[i] ? -1 : 1) : (rv[i] < c.Key[i] ? -1 : 1);
            return 0;
        };
        auto it = std::find_if(order.begin(), order.end(),
                               [&](auto& r) { return c.Exclusive ? cmp(r) > 0 : cmp(r) >= 0; });
        const auto want = it != order.end() ? *it : order.back();
        t.SetKey();
        for (size_t i = 0; i < c.Key.size(); ++i) t.GetIndexField(static_cast<int32_t>(i))->SetAsInteger(c.Key[i]);
        t.SetKeyFieldCount(static_cast<int32_t>(c.Key.size()));
        t.SetKeyExclusive(c.Exclusive);
        t.Post();
        t.GotoNearest();
        EXPECT_EQ(t.FieldByName("N")->AsInteger(), want.first * 10 + want.second);
        if (!c.Exclusive) {
            std::vector<Variant> values;
            for (int v : c.Key) values.push_back(Variant::FromInteger(v));
            t.First();
            t.FindNearest(values);
            EXPECT_EQ(t.FieldByName("N")->AsInteger(), want.first * 10 + want.second);
        }
        // The applied range is in force again.
        EXPECT_EQ(t.RecordCount(), c.Range.empty() ? 9 : 3);
        if (!c.Range.empty()) t.CancelRange();
    }
}

// ---------------------------------------------------------------------------------
// Provider support and stored definitions

class TableProvider : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        Env = std::make_unique<TEngineEnv>(ekMemory);
        TORQTable t;
        t.SetDatabaseName(Env->Name());
        t.SetTableName("P");
        AddAdv(t, "ID", aftInteger);
        AddAdv(t, "NAME", aftVarChar, 20);
        AddAdv(t, "CODE", aftInteger);
        AddAdvIndex(t, "IDX_NAME", "NAME", 0);
        AddAdvIndex(t, "IDX_CODE", "CODE", ixUnique);
        AddAdvIndex(t, "IDX_ID", "ID", ixPrimary | ixUnique);
        t.CreateTable();
        t.Open();
        for (int i = 1; i <= 6; ++i) {
            t.Append();
            t.FieldByName("ID")->SetAsInteger(i);
            t.FieldByName("NAME")->SetAsString(i % 2 ? "ODD" : "EVEN");
            t.FieldByName("CODE")->SetAsInteger(100 - i);
            t.Post();
        }
    }
    void TearDown() override {
        Env.reset();
        EngineTest::TearDown();
    }
    // A table of P, with field objects only for Only when given.
    std::unique_ptr<TORQTable> Table(const std::vector<std::string>& Only = {}) {
        auto t = std::make_unique<TORQTable>();
        t->SetDatabaseName(Env->Name());
        t->SetTableName("P");
        if (!Only.empty()) {
            t->FieldDefs().Update();
            for (const std::string& name : Only) {
                const TFieldDef* d = t->FieldDefs().Find(name);
                TField* f = CreateFieldOfType(d->DataType(), t.get());
                f->SetSize(d->Size());
                f->SetFieldName(name);
                f->SetDataSet(t.get());
            }
        }
        return t;
    }
    std::unique_ptr<TEngineEnv> Env;
};

TEST_F(TableProvider, DefaultOrderTakesTheCurrentIndexElseThePrimaryElseAUniqueOne) {
    struct Case {
        const char* Name;
        std::string IndexName, IndexFieldNames;
        std::vector<std::string> Only;
        const char* Want;  // nullptr: none
    } cases[] = {
        {"named", "IDX_NAME", "", {}, "IDX_NAME"},
        {"by field names", "", "CODE", {}, "IDX_CODE"},
        {"none chosen: the primary, though a unique one comes first", "", "", {}, "IDX_ID"},
        {"the primary's field has no object", "", "", {"NAME", "CODE"}, "IDX_CODE"},
        {"the named index's field has no object", "IDX_NAME", "", {"ID", "CODE"}, "IDX_ID"},
        {"no index usable", "", "", {"NAME"}, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        auto t = Table(c.Only);
        if (!c.IndexName.empty()) t->SetIndexName(c.IndexName);
        if (!c.IndexFieldNames.empty()) t->SetIndexFieldNames(c.IndexFieldNames);
        t->Open();
        std::unique_ptr<TIndexDef> d = t->PSGetDefaultOrder();
        if (c.Want == nullptr) {
            EXPECT_EQ(d, nullptr);
            continue;
        }
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->Name(), c.Want);
        // A copy: changing it leaves the table's definitions alone.
        d->SetName("CHANGED");
        t->IndexDefs().Update();
        EXPECT_GE(t->IndexDefs().IndexOf(c.Want), 0);
    }
}

TEST_F(TableProvider, KeyFieldsAreTheFirstUsableUniqueIndexElseEveryField) {
    EXPECT_EQ(Table()->PSGetKeyFields(), "CODE");           // closed: the definitions count
    auto open = Table();
    open->Open();
    EXPECT_EQ(open->PSGetKeyFields(), "CODE");
    auto noCode = Table({"ID", "NAME"});
    noCode->Open();
    EXPECT_EQ(noCode->PSGetKeyFields(), "ID");               // the primary is unique too
    auto neither = Table({"NAME"});
    neither->Open();
    EXPECT_EQ(neither->PSGetKeyFields(), "NAME");            // every field there is
    auto missing = Table();
    missing->SetTableName("NO_SUCH_TABLE");
    EXPECT_EQ(missing->PSGetKeyFields(), "");
}

TEST_F(TableProvider, ParamsBecomeTheRangeAndNoneCancelsIt) {
    auto t = Table();
    t->SetIndexName("IDX_CODE");
    TParams byPosition;
    byPosition.CreateParam(ftInteger, "", ptInput)->SetAsInteger(97);
    t->PSSetParams(&byPosition);  // opens the table
    ASSERT_TRUE(t->Active());
    EXPECT_EQ(Walk(*t, "ID"), (std::vector<int>{3}));
    TParams byName;
    byName.CreateParam(ftInteger, "CODE", ptInput)->SetAsInteger(95);
    t->PSSetParams(&byName);
    EXPECT_EQ(Walk(*t, "ID"), (std::vector<int>{5}));
    TParams none;
    t->PSSetParams(&none);
    EXPECT_EQ(Walk(*t, "ID"), (std::vector<int>{6, 5, 4, 3, 2, 1}));
}

TEST_F(TableProvider, DefinitionsAreStoredOnlyOnceChangedAndNotEmpty) {
    TORQTable t;
    EXPECT_FALSE(t.IsFieldDefsStored());
    EXPECT_FALSE(t.IsIndexDefsStored());
    t.FieldDefs().Add("A", ftInteger, 0, false);
    EXPECT_TRUE(t.StoreDefs);
    EXPECT_TRUE(t.IsFieldDefsStored());
    EXPECT_FALSE(t.IsIndexDefsStored());  // still empty
    TIndexDefs other(nullptr);
    other.Add("IDX_A", "A", ixUnique)->SetDescFields("A");
    t.SetIndexDefs(other);
    ASSERT_EQ(t.IndexDefs().Count(), 1);
    EXPECT_EQ(t.IndexDefs().Items(0)->DescFields(), "A");
    EXPECT_TRUE(t.IsIndexDefsStored());
    t.StoreDefs = false;
    EXPECT_FALSE(t.IsFieldDefsStored());
    EXPECT_FALSE(t.IsIndexDefsStored());
}

// ---------------------------------------------------------------------------------
// Master-detail

TEST_F(TableRanges, ADetailFollowsItsMasterAndKeysItsNewRecords) {
    TEngineEnv env(ekMemory);
    {
        TORQTable m;
        m.SetDatabaseName(env.Name());
        m.SetTableName("AREAS");
        AddAdv(m, "NAVAREA", aftInteger);
        AddAdvIndex(m, "IDX_A", "NAVAREA", ixPrimary | ixUnique);
        m.CreateTable();
    }
    CreateLog(env.Name());
    TORQTable master;
    master.SetDatabaseName(env.Name());
    master.SetTableName("AREAS");
    master.SetIndexName("IDX_A");
    master.Open();
    for (int a = 1; a <= 3; ++a) {
        master.Append();
        master.FieldByName("NAVAREA")->SetAsInteger(a);
        master.Post();
    }
    TORQTable detail;
    detail.SetDatabaseName(env.Name());
    detail.SetTableName("NAVTEXLOG");
    detail.Open();
    for (int m = 1; m <= 9; ++m) Append(detail, m, "S", (m - 1) % 3 + 1);
    detail.Close();
    detail.AddIndex("IDX_AREA", "NAVAREA;FREQ", 0);
    TDataSource source(nullptr);
    source.SetDataSet(&master);
    detail.SetIndexName("IDX_AREA");
    detail.SetMasterSource(&source);
    detail.SetMasterFields("NAVAREA");
    detail.Open();
    master.First();
    EXPECT_EQ(Walk(detail), (std::vector<int>{1, 4, 7}));
    master.Next();
    EXPECT_EQ(Walk(detail), (std::vector<int>{2, 5, 8}));
    // The new record's key comes from the master before OnNewRecord sees it.
    int seen = -1;
    detail.OnNewRecord = [&](TDataSet* D) { seen = D->FieldByName("NAVAREA")->AsInteger(); };
    detail.Append();
    EXPECT_EQ(seen, 2);
    detail.FieldByName("UTCRECEIVED")->SetAsDateTime(lctest::MinuteDate(100));
    detail.FieldByName("FREQ")->SetAsInteger(100);
    detail.Post();
    EXPECT_EQ(Walk(detail), (std::vector<int>{2, 5, 8, 100}));
    // The master closed: the detail shows every record.
    master.Close();
    EXPECT_EQ(detail.RecordCount(), 10);
    // A circular link is refused.
    TDataSource back(nullptr);
    back.SetDataSet(&detail);
    EXPECT_NE(Raised([&] { detail.SetMasterSource(&back); }).find("Circular datalinks are not allowed"),
              std::string::npos);
}

// ---------------------------------------------------------------------------------
// Copies

class TableCopy : public EngineTest {};

TEST_F(TableCopy, CopiesIntoItsDatabaseMemoryAndAFileAndRefusesItself) {
    TEngineEnv env(ekDisk);
    CreateLog(env.Name());
    TORQTable t;
    t.SetDatabaseName(env.Name());
    t.SetTableName("NAVTEXLOG");
    t.Open();
    for (int m = 1; m <= 40; ++m) Append(t, m, "S");
    ASSERT_TRUE(t.Locate("FREQ", Variant::FromInteger(17), 0));
    std::string err;
    bool go = true;
    ASSERT_TRUE(t.CopyTable("LOGCOPY", err, go));
    EXPECT_TRUE(t.Active());
    EXPECT_EQ(t.FieldByName("FREQ")->AsInteger(), 17);  // back at its bookmark
    ASSERT_TRUE(t.CopyTable("LOGMEM", err, go, "MEMORY"));
    const std::string other = env.Dir.File("OTHER.ORQ");
    {
        TORQLocalSession s;
        s.DatabaseName = "OTHERDB";
        s.DatabaseFileName = other;
        s.CreateDatabase();
    }
    ASSERT_TRUE(t.CopyTable("LOGFILE", err, go, other));
    EXPECT_EQ(err, "");
    auto count = [&](const std::string& Db, const std::string& Name) {
        TORQTable c;
        c.SetDatabaseName(Db);
        c.SetTableName(Name);
        c.SetIndexName("IDX_DT");
        c.Open();
        return Walk(c);
    };
    std::vector<int> all;
    for (int m = 1; m <= 40; ++m) all.push_back(m);
    EXPECT_EQ(count(env.Name(), "LOGCOPY"), all);
    EXPECT_EQ(count("MEMORY", "LOGMEM"), all);
    // Onto itself: refused in all three forms, with Overwrite too, the table whole.
    for (const std::string& dest : {std::string(), env.Path}) {
        EXPECT_EQ(NativeCode([&] { t.CopyTable("navtexlog", err, go, dest, "", false, true); }), 30447);
        err.clear();
        EXPECT_FALSE(t.CopyTable("NAVTEXLOG", err, go, dest, "", true, true));
        EXPECT_NE(err.find("into it self"), std::string::npos);
        err.clear();
    }
    {
        TORQTable m;
        m.SetDatabaseName("MEMORY");
        m.SetTableName("LOGMEM");
        m.Open();
        EXPECT_EQ(NativeCode([&] { m.CopyTable("LOGMEM", err, go, "MEMORY", "", false, true); }), 30447);
        // An existing destination without Overwrite.
        EXPECT_EQ(NativeCode([&] { t.CopyTable("LOGMEM", err, go, "MEMORY"); }), 10515);
    }
    EXPECT_EQ(count(env.Name(), "NAVTEXLOG"), all);
    EXPECT_EQ(NativeCode([&] { t.CopyTable("LOGCOPY", err, go); }), 30448);
    EXPECT_FALSE(t.CopyTable("LOGCOPY", err, go, "", "", true));
    EXPECT_NE(err.find("already exists"), std::string::npos);
    err.clear();
    EXPECT_TRUE(t.CopyTable("LOGCOPY", err, go, "", "", false, true));  // Overwrite
    EXPECT_EQ(count(env.Name(), "LOGCOPY"), all);
    // A destination file that does not open.
    EXPECT_FALSE(t.CopyTable("X", err, go, env.Dir.File("missing/NONE.ORQ"), "", true));
    EXPECT_FALSE(err.empty());
}

TEST_F(TableCopy, CopyTableDataLogsAndStopsWhenAsked) {
    TEngineEnv env(ekMemory);
    CreateLog(env.Name(), "SRC");
    CreateLog(env.Name(), "DST");
    TORQTable src, dst;
    src.SetDatabaseName(env.Name());
    src.SetTableName("SRC");
    src.Open();
    for (int m = 1; m <= 100; ++m) Append(src, m, "S");
    dst.SetDatabaseName(env.Name());
    dst.SetTableName("DST");
    dst.Open();
    // A record already there: its copy fails its post and is skipped.
    Append(dst, 5, "S");
    std::vector<int> positions;
    bool go = true;
    std::string log;
    const bool ok = TORQDataSet::CopyTableData(
        &src, src, dst, 100, 0, [&](TDataSet*, int32_t P, bool&) { positions.push_back(P); }, false, true, go, log);
    EXPECT_FALSE(ok);
    EXPECT_EQ(dst.RecordCount(), 100);
    EXPECT_EQ(log.rfind("Error copying table \"SRC\". Record #5 was not imported due to error: ", 0), 0u) << log;
    EXPECT_EQ(log.substr(log.size() - 4), "\r\n\r\n");
    // Step 100 div 100 + 1 = 2: a call after records 1, 3, ... 99, at the share copied.
    ASSERT_FALSE(positions.empty());
    EXPECT_EQ(positions.front(), 1);
    EXPECT_EQ(positions.back(), 99);
    EXPECT_EQ(positions.size(), 50u);
    // A source that is no table is named "unknown".
    dst.Close();
    dst.EmptyTable();
    dst.Open();
    Append(dst, 7, "S");
    log.clear();
    TORQDataSet::CopyTableData(nullptr, src, dst, 100, 0, nullptr, false, true, go, log);
    EXPECT_EQ(log.rfind("Error copying table \"unknown\". Record #7 was not imported due to error: ", 0), 0u) << log;
    // Stopped by the handler.
    dst.Close();
    dst.EmptyTable();
    dst.Open();
    log.clear();
    int calls = 0;
    EXPECT_FALSE(TORQDataSet::CopyTableData(
        nullptr, src, dst, 100, 0, [&](TDataSet*, int32_t, bool& G) { G = ++calls < 3; }, false, false, go, log));
    EXPECT_EQ(log, "Terminated by User.\r\n");
    EXPECT_EQ(dst.RecordCount(), 5);  // the third call came after record 5
    // An empty filtered source copies nothing and succeeds.
    src.SetFilterText("FREQ > 1000");
    src.SetFiltered(true);
    log.clear();
    go = true;
    EXPECT_TRUE(TORQDataSet::CopyTableData(&src, src, dst, 100, 0, nullptr, false, false, go, log));
    EXPECT_EQ(log, "");
}

// A source definition without a field object: its line, then 10499 or, ignoring errors,
// the field skipped in every record.
TEST_F(TableCopy, AFieldWithoutAnObjectIsLoggedAsUnsupported) {
    TEngineEnv env(ekMemory);
    CreateLog(env.Name(), "SRC");
    CreateLog(env.Name(), "DST");
    {
        TORQTable fill;
        fill.SetDatabaseName(env.Name());
        fill.SetTableName("SRC");
        fill.Open();
        for (int m = 1; m <= 3; ++m) Append(fill, m, "S");
    }
    TORQTable src;
    src.SetDatabaseName(env.Name());
    src.SetTableName("SRC");
    src.FieldDefs().Update();
    for (const char* name : {"UTCRECEIVED", "FREQ"}) {
        const TFieldDef* d = src.FieldDefs().Find(name);
        TField* f = CreateFieldOfType(d->DataType(), &src);
        f->SetFieldName(name);
        f->SetDataSet(&src);
    }
    src.Open();
    TORQTable dst;
    dst.SetDatabaseName(env.Name());
    dst.SetTableName("DST");
    dst.Open();
    const std::string line = "Error copying table \"SRC\". Field 'NAVAREA' has a data type that is not supported\r\n";
    std::string log;
    bool go = true;
    EXPECT_EQ(NativeCode([&] { TORQDataSet::CopyTableData(&src, src, dst, 100, 0, nullptr, false, false, go, log); }),
              10499);
    EXPECT_EQ(log, line);
    dst.Cancel();
    log.clear();
    EXPECT_FALSE(TORQDataSet::CopyTableData(&src, src, dst, 100, 0, nullptr, false, true, go, log));
    EXPECT_EQ(dst.RecordCount(), 3);
    // Four definitions lack an object, in each of the three records.
    size_t lines = 0;
    for (size_t at = log.find("has a data type that is not supported"); at != std::string::npos;
         at = log.find("has a data type that is not supported", at + 1))
        ++lines;
    EXPECT_EQ(lines, 12u);
    EXPECT_EQ(Walk(dst), (std::vector<int>{1, 2, 3}));
}

}  // namespace
