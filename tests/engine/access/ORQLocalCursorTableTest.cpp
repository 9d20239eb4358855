// The local cursor on each engine: table-level operations, opening and closing, record
// initialisation, navigation, indexes, field copies and write batches.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <numeric>

#include "LocalCursorFixture.h"
#include "engine/storage/ORQDiskTable.h"

namespace lctest {
namespace {

class LocalCursorEngine : public ::testing::TestWithParam<TEngineKind> {
protected:
    void SetUp() override {
        StartTestEngine();
        if (GetParam() == ekDisk) {
            Path = CreateDatabaseFile(Dir);
            Conn = TConnection::Disk(Path, false);
        } else {
            Conn = TConnection::InProcess(GetParam() == ekMemory ? "MEMORY" : "TEMP");
        }
    }
    void TearDown() override {
        Conn.reset();
        StopTestEngine();
    }
    std::unique_ptr<TCursor> OpenLog(const std::string& Name = "NAVTEXLOG") {
        auto c = std::make_unique<TCursor>(*Conn, Name, GetParam());
        c->Open();
        return c;
    }
    bool Exists(const std::string& Name) { return Conn->S.DatabaseData->TableExists(Name); }
    // TEMP tables only append (a delete answers -3).
    bool AppendOnly() const { return GetParam() == ekTemp; }
    // Minutes 0..N-1 appended in a scrambled order; every fifth (by minute) deleted where
    // the engine deletes.
    std::vector<int64_t> Seed(TCursor& C, int64_t N) {
        std::vector<int64_t> kept;
        for (int64_t i = 0; i < N; ++i) {
            const int64_t m = (i * 37) % N;
            EXPECT_EQ(C.Append(m), 0);
        }
        for (int64_t m = 0; m < N && !AppendOnly(); m += 5) {
            EXPECT_TRUE(C.Seek(m));
            EXPECT_EQ(C.Delete(), 0) << m;
        }
        for (int64_t m = 0; m < N; ++m)
            if (m % 5 != 0 || AppendOnly()) kept.push_back(m);
        return kept;
    }

    disktest::TempDir Dir;
    std::string Path;
    std::unique_ptr<TConnection> Conn;
};

TEST_P(LocalCursorEngine, RenameFollowsTheCaseRulesAndTheTableKeepsItsRows) {
    CreateLog(*Conn, GetParam(), "Log");
    CreateLog(*Conn, GetParam(), "Other");
    {
        auto c = OpenLog("Log");
        EXPECT_EQ(c->Append(7), 0);
    }
    TCursor t(*Conn, "Log", GetParam());
    EXPECT_EQ(NativeCode([&] { t.RenameTable("LOG"); }), 0);
    EXPECT_EQ(t.TableName, "LOG");
    EXPECT_EQ(NativeCode([&] { t.RenameTable("LOG"); }), 30452);
    EXPECT_EQ(NativeCode([&] { t.RenameTable("Other"); }), 30451);
    EXPECT_EQ(NativeCode([&] { t.RenameTable("OTHER"); }), 30451);
    auto c = OpenLog("LOG");
    EXPECT_EQ(c->Walk(), std::vector<int64_t>{7});
    c->Close();
    EXPECT_EQ(NativeCode([&] { t.RenameTable("Journal"); }), 0);
    EXPECT_TRUE(Exists("Journal"));
    EXPECT_FALSE(Exists("LOG"));
    TCursor missing(*Conn, "Missing", GetParam());
    EXPECT_EQ(NativeCode([&] { missing.RenameTable("X"); }), 20134);
    EXPECT_EQ(NativeCode([&] { missing.DeleteTable(); }), 20132);
    EXPECT_EQ(NativeCode([&] { missing.EmptyTable(); }), 20133);
}

TEST_P(LocalCursorEngine, DeleteEmptyAndCreateOverAnExistingTable) {
    CreateLog(*Conn, GetParam());
    {
        auto c = OpenLog();
        for (int m = 0; m < 5; ++m) EXPECT_EQ(c->Append(m), 0);
        c->EmptyTable();  // closes the cursor first
        EXPECT_EQ(c->Active, 0);
        c->Open();
        EXPECT_EQ(c->GetRecordCount(), 0);
        EXPECT_EQ(c->Append(9), 0);
    }
    // A create replaces the table, rows and definition.
    TORQFieldDefs other;
    AddField(other, "ONLY", aftInteger);
    TCursor t(*Conn, "NAVTEXLOG", GetParam());
    t.CreateTable(other, TORQIndexDefs(), TORQConstraintDefs());
    t.Open();
    EXPECT_EQ(t.FieldDefs.GetCount(), 1);
    EXPECT_EQ(t.GetRecordCount(), 0);
    t.Close();
    t.DeleteTable();
    EXPECT_FALSE(Exists("NAVTEXLOG"));
    EXPECT_NE(NativeCode([&] { t.Open(); }), 0);
    EXPECT_EQ(t.Active, 0);
}

TEST_P(LocalCursorEngine, InitRecordMakesEveryFieldNullAndAppliesDefaultsOffTemporaryTables) {
    TORQFieldDefs fields;
    for (int i = 0; i < 8; ++i) AddField(fields, "F" + std::to_string(i), aftInteger);
    AddField(fields, "WITHDEFAULT", aftInteger);
    fields.GetItem(8)->DefaultValue.SetAsInteger(42);
    TCursor c(*Conn, "NINE", GetParam());
    c.CreateTable(fields, TORQIndexDefs(), TORQConstraintDefs());
    c.Open();
    ASSERT_EQ(c.FirstFieldOffset, 2);
    std::vector<uint8_t> buffer(static_cast<size_t>(c.RecordBufferSize), 0x5A);
    c.InitRecord(buffer.data(), false);
    EXPECT_EQ(buffer[0], 0xFF);
    EXPECT_EQ(buffer[1], 0xFF);
    EXPECT_TRUE(std::all_of(buffer.begin() + 2, buffer.begin() + c.RecordSize, [](uint8_t b) { return b == 0; }));
    // Beyond the record data nothing is touched.
    EXPECT_EQ(buffer[static_cast<size_t>(c.RecordSize)], 0x5A);
    c.InitRecord(c.CurrentRecord, true);
    EXPECT_EQ(c.GetInt(8), 42);
    c.TemporaryTable = 1;
    c.InitRecord(c.CurrentRecord, true);
    EXPECT_TRUE(c.IsNull(8));
}

TEST_P(LocalCursorEngine, NavigationBothWaysRecordNumbersAndBookmarks) {
    CreateLog(*Conn, GetParam());
    auto c = OpenLog();
    const std::vector<int64_t> kept = Seed(*c, 50);
    EXPECT_EQ(c->GetRecordCount(), static_cast<int64_t>(kept.size()));
    std::vector<int64_t> forward = c->Walk();
    std::vector<int64_t> backward = c->Walk(-1, true);
    std::reverse(backward.begin(), backward.end());
    EXPECT_EQ(forward, backward);
    std::vector<int64_t> sorted = forward;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, kept);

    c->SetIndexName("IDX_DT");
    EXPECT_EQ(c->Walk(), kept);
    std::vector<int64_t> down = c->Walk(-1, true);
    EXPECT_EQ(down, std::vector<int64_t>(kept.rbegin(), kept.rend()));
    // Record numbers count from 1 in the cursor's order.
    for (int64_t n : {int64_t{1}, int64_t{7}, static_cast<int64_t>(kept.size())}) {
        c->SetRecNo(n);
        ASSERT_EQ(c->GetRecord(gmCurrent), grOK);
        EXPECT_EQ(c->Minute(), kept[static_cast<size_t>(n - 1)]);
        EXPECT_EQ(c->GetRecNo(), n);
    }
    // A bookmark finds its record again; a deleted record's does not.
    ASSERT_TRUE(c->Seek(33));
    const TORQRecordID mark = c->CurrentRecordID;
    ASSERT_TRUE(c->Seek(34));
    const TORQRecordID other = c->CurrentRecordID;
    c->First();
    EXPECT_TRUE(c->GotoBookmark(mark));
    EXPECT_EQ(c->Minute(), 33);
    if (AppendOnly()) {
        EXPECT_EQ(c->Delete(), -3);
        return;
    }
    ASSERT_TRUE(c->GotoBookmark(other));
    EXPECT_EQ(c->Delete(), 0);
    EXPECT_TRUE(c->GotoBookmark(mark));
    EXPECT_FALSE(c->GotoBookmark(other));
    EXPECT_EQ(c->Minute(), 33);
}

TEST_P(LocalCursorEngine, TemporaryIndexOrdersByABaseNameOrItsAlias) {
    CreateLog(*Conn, GetParam());
    auto c = OpenLog();
    const std::vector<int> dist = {30, 10, 50, 20, 40, 10};
    for (size_t i = 0; i < dist.size(); ++i) {
        c->FillLog(static_cast<int64_t>(i), 1, "A", "UNID", 518, dist[i]);
        ASSERT_EQ(c->Post(), 0);
    }
    c->SetTemporaryIndex({"DIST"}, {"DESC"}, {"CASE"});
    EXPECT_EQ(c->KeyFieldCount, 1);
    EXPECT_NE(c->IndexID, -1);
    EXPECT_EQ(c->Walk(fDist), (std::vector<int64_t>{50, 40, 30, 20, 10, 10}));
    EXPECT_TRUE(c->HasIndexForFields({"DIST"}, {"DESC"}, {"CASE"}));
    // Under a projection the alias names the base field.
    c->SetProjection({"UTCRECEIVED", "DIST"}, {"", "KM"});
    c->InitFieldDefs();
    EXPECT_TRUE(c->HasIndexForFields({"KM"}, {"DESC"}, {"CASE"}));
    c->SetTemporaryIndex({"KM"}, {"ASC"}, {"CASE"});
    EXPECT_EQ(c->Walk(fDist), (std::vector<int64_t>{10, 10, 20, 30, 40, 50}));
    c->DeleteAllIndexes();
    EXPECT_EQ(c->GetIndexDefs().IndexOfName("IDX_DT"), 0);
    EXPECT_FALSE(c->HasIndexForFields({"DIST"}, {"DESC"}, {"CASE"}));
}

TEST_P(LocalCursorEngine, AddIndexWalksInKeyOrderAndAUniqueIndexOverDuplicatesChangesNothing) {
    CreateLog(*Conn, GetParam());
    auto c = OpenLog();
    std::vector<int64_t> areas;
    for (int64_t m = 0; m < 30; ++m) {
        c->FillLog(m, static_cast<int32_t>((m * 7) % 11));
        ASSERT_EQ(c->Post(), 0);
        areas.push_back((m * 7) % 11);
    }
    TORQIndexDef byArea;
    byArea.Name = "IDX_AREA";
    byArea.SetColumnCount(1);
    byArea.GetColumn(0).FieldName = "NAVAREA";
    c->AddIndex(byArea);
    EXPECT_EQ(NativeCode([&] { c->AddIndex(byArea); }), 20022);
    c->SetIndexName("IDX_AREA");
    std::sort(areas.begin(), areas.end());
    EXPECT_EQ(c->Walk(fArea), areas);

    const int32_t before = c->GetIndexDefs().GetCount();
    const int32_t constraints = c->ConstraintDefs.GetCount();
    TORQIndexDef unique;
    unique.Name = "IDX_AREA_U";
    unique.Unique = 1;
    unique.SetColumnCount(1);
    unique.GetColumn(0).FieldName = "NAVAREA";
    EXPECT_EQ(NativeCode([&] { c->AddIndex(unique); }), 30320);
    EXPECT_EQ(c->GetIndexDefs().GetCount(), before);
    EXPECT_EQ(c->ConstraintDefs.GetCount(), constraints);
    EXPECT_EQ(c->GetIndexDefs().IndexOfName("IDX_AREA_U"), -1);

    EXPECT_EQ(NativeCode([&] { c->DeleteIndex("NOPE"); }), 20021);
    c->DeleteIndex("IDX_AREA");
    EXPECT_EQ(c->GetIndexDefs().IndexOfName("IDX_AREA"), -1);
    EXPECT_EQ(c->IndexID, -1);
}

TEST_P(LocalCursorEngine, TableLocksPassOffDiskAndNeedTableData) {
    CreateLog(*Conn, GetParam());
    TCursor closed(*Conn, "NAVTEXLOG", GetParam());
    EXPECT_EQ(NativeCode([&] { closed.LockTable(ltRead, 1, 1, 0); }), 20221);
    EXPECT_EQ(NativeCode([&] { closed.UnlockTable(ltRead, 1); }), 20222);
    EXPECT_EQ(NativeCode([&] { closed.LockTableData(); }), 10260);
    EXPECT_EQ(NativeCode([&] { closed.UnlockTableData(); }), 10261);
    auto c = OpenLog();
    EXPECT_TRUE(c->LockTable(ltRead, 1, 1, 0));
    EXPECT_TRUE(c->UnlockTable(ltRead, 1));
}

INSTANTIATE_TEST_SUITE_P(Engines, LocalCursorEngine, ::testing::Values(ekDisk, ekMemory, ekTemp),
                         [](const ::testing::TestParamInfo<TEngineKind>& I) { return EngineName(I.param); });

// ---------------------------------------------------------------------------------

class LocalCursorInProcess : public ::testing::TestWithParam<TEngineKind> {
protected:
    void SetUp() override {
        StartTestEngine();
        Conn = TConnection::InProcess(GetParam() == ekMemory ? "MEMORY" : "TEMP");
    }
    void TearDown() override {
        Conn.reset();
        StopTestEngine();
    }
    std::unique_ptr<TConnection> Conn;
};

TEST_P(LocalCursorInProcess, AFailedCreateLeavesNoTableBehind) {
    TCursor c(*Conn, "EMPTYDEF", GetParam());
    EXPECT_NE(NativeCode([&] { c.CreateTable(TORQFieldDefs(), TORQIndexDefs(), TORQConstraintDefs()); }), 0);
    EXPECT_FALSE(Conn->S.DatabaseData->TableExists("EMPTYDEF"));
    EXPECT_EQ(Conn->S.DatabaseData->TableDataCount(), 0);
}

TEST(LocalCursorTempTables, TheKeepInMemoryOptionReachesTheTemporaryTable) {
    StartTestEngine();
    {
        auto temp = TConnection::InProcess("TEMP");
        for (uint8_t keep : {0, 1}) {
            TCursor c(*temp, "KEPT" + std::to_string(keep), ekTemp);
            c.InMemory = keep;
            TORQFieldDefs fields;
            LogFields(fields);
            c.CreateTable(fields, TORQIndexDefs(), TORQConstraintDefs());
            c.Open();
            auto* table = dynamic_cast<TORQTemporaryTableData*>(c.TableData);
            ASSERT_NE(table, nullptr);
            EXPECT_EQ(table->KeepInMemory, keep);
        }
    }
    StopTestEngine();
}

TEST_P(LocalCursorInProcess, AMissingTableRaisesUnlessDesignTimeMakesItUntilClose) {
    TCursor c(*Conn, "SHOWN", GetParam());
    c.InMemory = GetParam() == ekMemory ? 1 : 0;
    c.TemporaryTable = GetParam() == ekTemp ? 1 : 0;
    EXPECT_EQ(NativeCode([&] { c.Open(); }), 10028);
    EXPECT_FALSE(Conn->S.DatabaseData->TableExists("SHOWN"));
    c.DesignTime = 1;
    TORQFieldDefs fields;
    LogFields(fields);
    c.OpenTable(&fields, nullptr, nullptr);
    EXPECT_EQ(c.Active, 1);
    EXPECT_EQ(c.FieldDefs.GetCount(), fFieldCount);
    EXPECT_TRUE(Conn->S.DatabaseData->TableExists("SHOWN"));
    c.CloseTable();
    EXPECT_FALSE(Conn->S.DatabaseData->TableExists("SHOWN"));
}

INSTANTIATE_TEST_SUITE_P(Engines, LocalCursorInProcess, ::testing::Values(ekMemory, ekTemp),
                         [](const ::testing::TestParamInfo<TEngineKind>& I) { return EngineName(I.param); });

// ---------------------------------------------------------------------------------

class LocalCursorDisk : public ::testing::Test {
protected:
    void SetUp() override {
        StartTestEngine();
        Path = CreateDatabaseFile(Dir);
        Conn = TConnection::Disk(Path, false);
        CreateLog(*Conn, ekDisk);
    }
    void TearDown() override {
        Conn.reset();
        StopTestEngine();
    }
    int64_t CountAfterReopen() {
        Conn.reset();
        Conn = TConnection::Disk(Path, false);
        TCursor c(*Conn, "NAVTEXLOG");
        c.Open();
        return c.GetRecordCount();
    }
    disktest::TempDir Dir;
    std::string Path;
    std::unique_ptr<TConnection> Conn;
};

TEST_F(LocalCursorDisk, TheLastCloseKeepsTheDiskTableForTheNextOpenButReleasesItsOpenLock) {
    TORQDatabaseData& db = *Conn->S.DatabaseData;
    auto first = std::make_unique<TCursor>(*Conn, "NAVTEXLOG");
    first->Open();
    auto second = std::make_unique<TCursor>(*Conn, "NAVTEXLOG");
    second->Open();
    EXPECT_EQ(db.TableDataCount(), 1);
    EXPECT_EQ(first->TableData, second->TableData);
    auto* table = dynamic_cast<TORQDiskTableData*>(first->TableData);
    ASSERT_NE(table, nullptr);
    first.reset();
    EXPECT_EQ(db.TableDataCount(), 1);
    second.reset();
    // Kept without cursors for the next open, which takes it again.
    ASSERT_EQ(db.TableDataCount(), 1);
    EXPECT_TRUE(table->KeptOpen());
    EXPECT_EQ(table->CursorCount(), 0);
    // Nothing keeps the table from an exclusive open now; a failed one leaves the table
    // as it was.
    TCursor shared(*Conn, "NAVTEXLOG");
    shared.Open();
    EXPECT_EQ(shared.TableData, table);
    TCursor exclusive(*Conn, "NAVTEXLOG");
    exclusive.Exclusive = 1;
    EXPECT_EQ(NativeCode([&] { exclusive.Open(); }), 20242);
    EXPECT_EQ(exclusive.Active, 0);
    shared.Close();
    EXPECT_EQ(NativeCode([&] { exclusive.Open(); }), 0);
    // An exclusive open reads the table from the file, and its close keeps nothing.
    exclusive.Close();
    EXPECT_EQ(db.TableDataCount(), 0);
}

TEST_F(LocalCursorDisk, ADesignTimeCloseNeverDropsADiskTable) {
    TCursor c(*Conn, "NAVTEXLOG");
    c.DesignTime = 1;
    c.InMemory = 1;  // the keep-in-memory option, not an in-memory table
    c.Open();
    EXPECT_EQ(c.Append(1), 0);
    c.Close();
    EXPECT_TRUE(Conn->S.DatabaseData->TableExists("NAVTEXLOG"));
    EXPECT_EQ(CountAfterReopen(), 1);
}

TEST_F(LocalCursorDisk, ABatchRolledBackLeavesNothingAndACommittedOneSurvivesAReopen) {
    {
        TCursor c(*Conn, "NAVTEXLOG");
        c.Open();
        c.BeginUpdateBatch();
        for (int m = 0; m < 100; ++m) ASSERT_EQ(c.Append(m), 0);
        c.RollbackBatch();
        EXPECT_EQ(c.UpdateBatch, 0);
        EXPECT_EQ(c.GetRecordCount(), 0);
        c.BeginUpdateBatch();
        for (int m = 100; m < 200; ++m) ASSERT_EQ(c.Append(m), 0);
        c.CommitBatch();
    }
    EXPECT_EQ(CountAfterReopen(), 100);
}

TEST_F(LocalCursorDisk, InATransactionTheBatchIsTheTransactions) {
    for (bool commit : {false, true}) {
        {
            TCursor c(*Conn, "NAVTEXLOG");
            c.Open();
            Conn->S.StartTransaction();
            c.BeginUpdateBatch();
            EXPECT_EQ(c.UpdateBatch, 0);
            for (int m = 0; m < 20; ++m) ASSERT_EQ(c.Append(commit ? 1000 + m : m), 0);
            c.RollbackBatch();  // nothing inside a transaction
            EXPECT_EQ(c.GetRecordCount(), 20);
            if (commit)
                Conn->S.Commit(true);
            else
                Conn->S.Rollback();
        }
        EXPECT_EQ(CountAfterReopen(), commit ? 20 : 0);
    }
}

TEST_F(LocalCursorDisk, TheLastAutoincrementValueIsTheSessionsOwn) {
    TORQFieldDefs fields;
    AddField(fields, "ID", aftAutoIncInteger);
    AddField(fields, "N", aftInteger);
    TCursor c(*Conn, "COUNTED");
    c.CreateTable(fields, TORQIndexDefs(), TORQConstraintDefs());
    c.Open();
    for (int64_t n = 0; n < 3; ++n) {
        c.New();
        c.SetInt(1, n);
        ASSERT_EQ(c.Post(true), 0);
        EXPECT_EQ(c.GetInt(0), n + 1);
        EXPECT_EQ(c.GetLastAutoincValue(0), n + 1);
    }
    // A value given moves the counter on.
    c.New();
    c.SetInt(0, 10);
    ASSERT_EQ(c.Post(true), 0);
    c.New();
    ASSERT_EQ(c.Post(true), 0);
    EXPECT_EQ(c.GetInt(0), 11);
    // The session's last values go with the table.
    const int32_t id = c.FieldDefs.GetItem(0)->ObjectID;
    EXPECT_NE(Conn->S.FindNamedObjectByID(id), nullptr);
    c.Close();
    c.DeleteTable();
    EXPECT_EQ(Conn->S.FindNamedObjectByID(id), nullptr);
}

TEST(LocalCursorAttach, AttachTableDataBindsAnOpenTableWithoutItsName) {
    StartTestEngine();
    {
        auto temp = TConnection::InProcess("TEMP");
        TORQCursor named;
        named.TableName = "RESULT_1";
        TORQTableData* table = temp->S.DatabaseData->CreateTableData(&named);
        TORQFieldDefs fields;
        LogFields(fields);
        table->CreateTable(&named, fields, TORQIndexDefs(), TORQConstraintDefs());
        TORQLocalCursor c;
        c.Session = &temp->S;
        c.AttachTableData(table);
        EXPECT_EQ(c.Active, 1);
        EXPECT_EQ(table->CursorCount(), 1);
        EXPECT_EQ(c.FieldDefs.GetCount(), fFieldCount);
        EXPECT_EQ(c.FieldDefs.GetItem(fDist)->BaseFieldNo, fDist);
        EXPECT_EQ(c.RecordBufferSize, c.RecordSize + 7);
        EXPECT_TRUE(c.HasActiveRecordBitmap());
        EXPECT_EQ(c.Bof, 1);
        uint8_t* record = c.AllocRecordBuffer();
        c.CurrentRecord = record;
        c.InitRecord(record, true);
        TORQVariant v;
        v.SetAsInteger(5);
        c.SetFieldValue(v, fDist, record, true);
        c.PostRecord(true);
        EXPECT_EQ(c.ResultCode, 0);
        EXPECT_EQ(record[c.RecordSize + 6], 3);
        c.First();
        EXPECT_EQ(c.GetRecord(gmNext), grOK);
        EXPECT_EQ(c.GetRecordCount(), 1);
        c.FreeRecordBuffer(record);
        c.CloseTable();
        EXPECT_EQ(table->CursorCount(), 0);
        table->DeleteTable(nullptr, true);
    }
    StopTestEngine();
}

TEST_F(LocalCursorDisk, CopyFieldValueByBytesByValueAndBlobsAcrossEngines) {
    // Source: the disk log; target: a MEMORY table of type pairs.
    TCursor src(*Conn, "NAVTEXLOG");
    src.Open();
    src.FillLog(5, 3, "B", "NAMED STATION", 490, 77);
    src.SetText(fText, std::string(5000, 'x') + "end");
    ASSERT_EQ(src.Post(), 0);
    ASSERT_TRUE(src.Seek(5));

    auto mem = TConnection::InProcess("MEMORY");
    TORQFieldDefs fields;
    AddField(fields, "FREQ", aftInteger);         // same type and size: bytes
    AddField(fields, "STATION", aftVarChar, 20);  // other size: by value
    AddField(fields, "DIST", aftDouble);          // other type: by value
    AddField(fields, "MSGTEXT", aftMemo);         // BLOB into another engine
    AddField(fields, "LETTER", aftVarChar, 10);   // string into a longer string
    AddField(fields, "SPARE", aftInteger);
    AddField(fields, "PACKED", aftMemo);          // a BLOB stored another way
    fields.GetItem(6)->BlobCompressionAlgorithm = 2;
    fields.GetItem(6)->BlobCompressionMode = 9;
    TCursor dst(*mem, "PAIRS", ekMemory);
    dst.CreateTable(fields, TORQIndexDefs(), TORQConstraintDefs());
    dst.Open();
    dst.New();
    src.CopyFieldValue(fFreq, false, dst, 0);
    src.CopyFieldValue(fStation, false, dst, 1);
    src.CopyFieldValue(fDist, false, dst, 2);
    src.CopyFieldValue(fText, false, dst, 3);
    src.CopyFieldValue(fLetter, false, dst, 4);
    dst.SetInt(5, 1);
    src.CopyFieldValue(fText, false, dst, 6);
    src.SetNull(fArea);
    src.CopyFieldValue(fArea, false, dst, 5);
    EXPECT_EQ(dst.GetInt(0), 490);
    EXPECT_EQ(dst.GetString(1), "NAMED STATION");
    TORQVariant d;
    dst.CurrentRecord = dst.CurrentRecord;
    dst.GetFieldValue(d, 2, true);
    EXPECT_DOUBLE_EQ(d.GetAsDouble(), 77.0);
    EXPECT_EQ(dst.GetString(4), "B");
    EXPECT_TRUE(dst.IsNull(5));
    ASSERT_EQ(dst.Post(), 0);
    dst.First();
    ASSERT_EQ(dst.GetRecord(gmNext), grOK);
    EXPECT_EQ(dst.GetText(3), std::string(5000, 'x') + "end");
    EXPECT_EQ(dst.GetText(6), std::string(5000, 'x') + "end");

    EXPECT_EQ(NativeCode([&] { src.CopyFieldValue(fFieldCount, false, dst, 0); }), 10501);
    EXPECT_EQ(NativeCode([&] { src.CopyFieldValue(0, false, dst, 7); }), 10502);
    dst.Close();
    dst.DeleteTable();
}

}  // namespace
}  // namespace lctest
