// The MEMORY database and the life of its tables: the process-wide object the engine
// start makes, table creation rules, rename and delete against open cursors, dropping
// every table, and a record store that cannot grow.
#include <gtest/gtest.h>

#include <string>

#include "MemTableFixture.h"
#include "engine/foundation/ORQEndian.h"
#include "engine/storage/ORQTableCursor.h"

namespace orq::test {
namespace {

using MemEngine = MemTableTest;

TEST_F(MemEngine, StartMakesTheMemoryDatabase) {
    TORQMemoryDatabaseData& db = MemoryDatabase();
    EXPECT_EQ(db.DatabaseName, "MEMORY");
    EXPECT_TRUE(DatabaseList().Contains(&db));
    EXPECT_EQ(db.GetNextObjectID(), 1);
    EXPECT_EQ(db.GetNextObjectID(), 2);
    TORQBaseSession session;
    session.SessionID = 5;
    db.ConnectSession(&session);
    EXPECT_EQ(session.SessionID, 0);
    db.DisconnectSession(&session);
    StopStorageEngine();
    EXPECT_EQ(NativeCode([] { MemoryDatabase(); }), 20007);
    StartStorageEngine();  // a new engine starts its ids again
    EXPECT_EQ(MemoryDatabase().GetNextObjectID(), 1);
}

TEST_F(MemEngine, TableWithoutFieldsOnlyInDesignTime) {
    TORQFieldDefs none;
    TORQConstraintDefs nc;
    EXPECT_EQ(NativeCode([&] { MakeTable(none, nc, "E"); }), 10025);
    EXPECT_EQ(NativeCode([] { TORQMemoryRecordManager rm(0, 10); }), 10011);
    SetDesignTime(true);
    EXPECT_EQ(NativeCode([&] { MakeTable(none, nc, "D"); }), 0);
    SetDesignTime(false);
}

TEST_F(MemEngine, CreateTableGivesIdsAndTheRecordLayout) {
    TORQFieldDefs fields;
    AddField(fields, "A", aftInteger);
    AddField(fields, "B", aftSmallInt);
    TORQConstraintDefs nc;
    TORQMemoryTableData& t = MakeTable(fields, nc);
    const TORQFieldDefs& d = t.FieldManager->FieldDefs;
    EXPECT_EQ(d.GetItem(0)->ObjectID, 1);
    EXPECT_EQ(d.GetItem(1)->ObjectID, 2);
    // One null-bitmap byte, 4 + 2 bytes of fields.
    EXPECT_EQ(t.RecordManager->RecordSize, 7);
    TORQTableInfo info;
    t.GetTableInfo(info);
    EXPECT_EQ(info.RecordBufferSize, 7);
    EXPECT_EQ(info.FirstFieldOffset, 1);
    EXPECT_EQ(t.TemporaryStorage, 1);
}

TEST_F(MemEngine, RenameAndDeleteAgainstRegisteredCursors) {
    TORQMemoryTableData& t = MakeIdTable("R");
    TORQTableCursor open;
    open.OpenTable(t);
    EXPECT_EQ(t.TableName, "R");
    EXPECT_EQ(NativeCode([&] { t.RenameTable("S", nullptr); }), 10150);
    EXPECT_EQ(NativeCode([&] { t.DeleteTable(nullptr, false); }), 20017);
    // Forced, the table stays while the cursor holds it.
    EXPECT_EQ(NativeCode([&] { t.DeleteTable(nullptr, true); }), 0);
    TORQCursor named;
    named.TableName = "r";
    EXPECT_EQ(MemoryDatabase().FindTableData(&named), &t);
    open.CloseTable();
    t.RenameTable("S", nullptr);
    named.TableName = "S";
    ASSERT_EQ(MemoryDatabase().FindTableData(&named), &t);
    t.DeleteTable(nullptr, false);
    EXPECT_EQ(MemoryDatabase().FindTableData(&named), nullptr);
}

TEST_F(MemEngine, TableCursorReadsAMemoryTable) {
    TORQMemoryTableData& t = MakeIdTable();
    {
        TTestCursor w(t);
        for (int id = 1; id <= 3; ++id) ASSERT_TRUE(w.Insert(id * 10));
    }
    TORQTableCursor c;
    c.OpenTable(t);
    c.Last();
    ASSERT_EQ(c.GetRecord(gmPrior), grOK);
    EXPECT_EQ(LoadLE32(c.CurrentRecord + 1), 30u);
    c.CloseTable();
}

TEST_F(MemEngine, DropAllTablesIsTheCheckedRoad) {
    MakeIdTable("A");
    TORQMemoryTableData& b = MakeIdTable("B");
    auto c = std::make_unique<TTestCursor>(b);
    EXPECT_EQ(NativeCode([] { MemoryDatabase().DropAllTables(); }), 20017);
    c.reset();
    MemoryDatabase().DropAllTables();
    EXPECT_EQ(MemoryDatabase().TableDataCount(), 0);
    // The destructor frees what is left without asking.
    MakeIdTable("C");
    auto* left = new TTestCursor(*MemoryDatabase().TableDataAt(0));
    left->Close();
    StopStorageEngine();
    delete left;
}

TEST_F(MemEngine, MaxRecordNumberCoversEverySlot) {
    TORQMemoryTableData& t = MakeIdTable();
    TTestCursor c(t);
    EXPECT_EQ(t.GetMaxRecordNumber(0), 0);
    for (int id = 0; id < 5; ++id) ASSERT_TRUE(c.Insert(id));
    ASSERT_TRUE(t.GotoRecord(&c, {1, 0}));
    ASSERT_TRUE(t.DeleteRecord(&c));
    EXPECT_EQ(t.GetMaxRecordNumber(0), 5);
    EXPECT_EQ(t.RecordIdToNumber({4, 0}), 4);
    EXPECT_EQ(t.NumberToRecordId(4).PageNo, 4);
    EXPECT_EQ(t.NumberToRecordId(4).SlotNo, 0);
}

TEST_F(MemEngine, InsertThatCannotGrowAnswersFalse) {
    TORQMemoryTableData& t = MakeIdTable();
    TTestCursor c(t);
    const int64_t limit = GlobalMemoryManager().MemoryLimit();
    GlobalMemoryManager().SetMemoryLimit(GlobalMemoryManager().UsedMemory() + 64);
    const bool inserted = c.Insert(1);
    GlobalMemoryManager().SetMemoryLimit(limit);
    EXPECT_FALSE(inserted);
    EXPECT_EQ(t.GetPhysicalRecordCount(&c), 0);
    EXPECT_EQ(t.MemoryRecordManager()->Capacity, 0);
    EXPECT_TRUE(c.Insert(1));
    EXPECT_EQ(t.GetPhysicalRecordCount(&c), 1);
}

TEST_F(MemEngine, MissingManagersAreReported) {
    TORQMemoryTableData t(&MemoryDatabase());
    TORQCursor c;
    EXPECT_EQ(NativeCode([&] { t.GetPhysicalRecordCount(&c); }), 10009);
    EXPECT_EQ(NativeCode([&] { t.GetPhysicalRecNo(&c); }), 10033);
    EXPECT_EQ(NativeCode([&] { t.SetPhysicalRecNo(&c, 1); }), 10074);
    EXPECT_EQ(NativeCode([&] { t.InsertRecord(&c); }), 10010);
    EXPECT_EQ(NativeCode([&] { t.UpdateRecord(&c); }), 10014);
    EXPECT_EQ(NativeCode([&] { t.DeleteRecord(&c); }), 10013);
    TORQGetRecordRequest r;
    EXPECT_EQ(NativeCode([&] { t.ReadRecord(0, r, 0, nullptr); }), 10015);
    t.RecordManager = std::make_unique<TORQMemoryRecordManager>(4, 10);
    EXPECT_EQ(NativeCode([&] { t.ReadRecord(0, r, 0, nullptr); }), 10016);
    TORQIndexDefs none;
    t.SetIndexDefs(none);
    EXPECT_EQ(NativeCode([&] { t.ReadRecord(0, r, 0, nullptr); }), 10380);
    // A table without fields has no record layout to report.
    TORQFieldDefs noFields;
    t.SetFieldDefs(noFields);
    EXPECT_EQ(NativeCode([&] { t.CheckFieldsForCreate(); }), 10131);
}

TEST_F(MemEngine, DropAllTablesReportsAnEmptyEntry) {
    MakeIdTable("A");
    MemoryDatabase().AddTableData(nullptr);
    EXPECT_EQ(NativeCode([] { MemoryDatabase().DropAllTables(); }), 10258);
    MemoryDatabase().DropAllTables();
    EXPECT_EQ(MemoryDatabase().TableDataCount(), 0);
}

}  // namespace
}  // namespace orq::test
