// Write failures under a 1,000-row UPDATE and an INSERT ... SELECT on disk: each write
// of the statement is failed in turn with EIO and with a full disk. A statement either
// reports success with every row changed once or fails with the table as before, and
// the file opens sound afterwards.
#include <cerrno>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "RelationalAlgebraFixture.h"

#include "engine/access/ORQDatabase.h"
#include "engine/access/ORQQuery.h"
#include "engine/storage/ORQDatabaseFile.h"
#include "engine/storage/ORQRecordPages.h"
#include "engine/storage/ORQEngineState.h"
#include "engine/storage/ORQTableData.h"
#include "engine/storage/ORQDatabaseData.h"
#include "engine/storage/ORQTempEngine.h"

using namespace ratest;

namespace {

constexpr int kRows = 1000;

class ChangeFaults : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        Path = Dir.File("FAULTS.ORQ");
        SetEngineSleeper([](int32_t) {});
        auto db = Open();
        db->CreateDatabase();
        db->Open();
        Exec("create table t (a integer not null, b integer, primary key (a))");
        Exec("create table s (a integer, b integer)");
        TORQTable t;
        t.SetDatabaseName("FDB");
        t.SetTableName("T");
        t.Open();
        for (int i = 1; i <= kRows; ++i) {
            t.Append();
            t.Fields()[0]->SetAsInteger(i);
            t.Fields()[1]->SetAsInteger(0);
            t.Post();
        }
        t.Close();
        db->Close();
    }
    void TearDown() override {
        SetFileFaultHook(nullptr);
        SetEngineSleeper(nullptr);
        EngineTest::TearDown();
    }

    std::unique_ptr<TORQDatabase> Open() {
        auto db = std::make_unique<TORQDatabase>(nullptr);
        db->SetDatabaseName("FDB");
        db->SetDatabaseFileName(Path);
        db->SilentMode = true;
        return db;
    }
    static void Exec(const std::string& Text) {
        TORQQuery q;
        q.SetDatabaseName("FDB");
        q.SQL().SetText(Text);
        q.ExecSQL();
    }
    static int64_t Value(const std::string& Text) {
        TORQQuery q;
        q.SetDatabaseName("FDB");
        q.SQL().SetText(Text);
        q.Open();
        return q.Fields()[0]->IsNull() ? -1 : q.Fields()[0]->AsLargeInt();
    }

    // Runs Text with its N-th write failing; true when it reported success.
    bool RunFailing(const std::string& Text, int N, int Error, int& Writes) {
        int calls = 0;
        SetFileFaultHook([&](TORQFileCall Call, const std::string&) {
            if (Call != TORQFileCall::Write) return 0;
            return ++calls == N ? (Error == ENOSPC ? -3 : Error) : 0;
        });
        bool ok = true;
        try {
            Exec(Text);
        } catch (const std::exception&) {
            ok = false;
        }
        SetFileFaultHook(nullptr);
        Writes = calls;
        return ok;
    }

    // Runs Text with its N-th write failing, with EIO and then a full disk, for every N
    // until the statement no longer reaches write N; after each run the file reopens
    // writable and Check (told whether the statement reported success) holds in it.
    void SweepWriteFaults(const std::string& Text, const std::function<void(bool)>& Check) {
        for (int error : {EIO, ENOSPC}) {
            for (int n = 1;; ++n) {
                SCOPED_TRACE("write " + std::to_string(n) + " errno " + std::to_string(error));
                int writes = 0;
                bool ok;
                {
                    auto db = Open();
                    db->Open();
                    ok = RunFailing(Text, n, error, writes);
                    try {
                        db->Close();
                    } catch (...) {
                    }
                }
                auto db = Open();
                db->Open();
                ASSERT_FALSE(db->ReadOnly());
                Check(ok);
                db->Close();
                if (writes < n) break;
            }
        }
    }

    disktest::TempDir Dir;
    std::string Path;
};

TEST_F(ChangeFaults, UpdateChangesEveryRowOnceOrNone) {
    int generation = 0;
    SweepWriteFaults("update t set b = b + 1", [&](bool Ok) {
        if (Ok) ++generation;
        EXPECT_EQ(Value("select count(*) from t where b = " + std::to_string(generation)), kRows);
        EXPECT_EQ(Value("select count(*) from t"), kRows);
        EXPECT_EQ(Value("select b from t where a = 500"), generation);
    });
}

TEST_F(ChangeFaults, InsertSelectCopiesEveryRowOrNone) {
    int64_t expected = 0;
    SweepWriteFaults("insert into s select a, b from t", [&](bool Ok) {
        if (Ok) expected += kRows;
        EXPECT_EQ(Value("select count(*) from s"), expected);
    });
}

// The source rows go through a temporary copy named "TmpTableForInsert" and a GUID,
// dropped whether the insert succeeds or fails.
TEST_F(ChangeFaults, InsertSelectDropsItsTemporaryCopy) {
    auto copies = [] {
        int n = 0;
        TORQTemporaryDatabaseData& temp = TemporaryDatabase();
        for (int32_t i = 0; i < temp.TableDataCount(); ++i) {
            const std::string name = temp.TableDataAt(i)->TableName;
            if (name.rfind("TmpTableForInsert{", 0) == 0 && name.size() == 17 + 38 && name.back() == '}') ++n;
        }
        return n;
    };
    auto db = Open();
    db->Open();
    Exec("insert into s select a, b from t where a <= 3");
    EXPECT_EQ(Value("select count(*) from s"), 3);
    EXPECT_EQ(copies(), 0);
    // Every key of the copy meets one already in t: the statement fails, t as before.
    EXPECT_THROW(Exec("insert into t select a, b from t where a > 990"), std::exception);
    EXPECT_EQ(Value("select count(*) from t"), kRows);
    EXPECT_EQ(copies(), 0);
    db->Close();
}

}  // namespace

namespace {

// A failing UPDATE outside a transaction tries 15 times, 100 ms apart; inside one it runs
// once and the transaction stays open.
TEST_F(ChangeFaults, FailingUpdateRetriesOutsideATransactionOnly) {
    auto db = Open();
    db->Open();
    std::vector<int32_t> waits;
    SetEngineSleeper([&](int32_t Ms) { waits.push_back(Ms); });
    // The key of row 1 meets row 2's.
    EXPECT_ANY_THROW(Exec("update t set a = a + 1 where a <= 2"));
    EXPECT_EQ(std::count(waits.begin(), waits.end(), 100), 14);
    EXPECT_EQ(Value("select count(*) from t where a <= 2"), 2);
    waits.clear();
    db->StartTransaction();
    EXPECT_ANY_THROW(Exec("update t set a = a + 1 where a <= 2"));
    EXPECT_EQ(std::count(waits.begin(), waits.end(), 100), 0);
    EXPECT_TRUE(db->InTransaction());
    db->Commit(false);
    EXPECT_EQ(Value("select sum(a) from t where a <= 2"), 3);
}

// The table's thread lock is held for the whole UPDATE, its waits between attempts
// included, and let go at its end.
TEST_F(ChangeFaults, UpdateHoldsTheTableThreadLockForTheStatement) {
    auto db = Open();
    db->Open();
    TORQTable probe;
    probe.SetDatabaseName("FDB");
    probe.SetTableName("T");
    probe.Open();
    std::recursive_mutex& lock = probe.Cursor()->TableData->DatabaseData->LockSection();
    auto freeElsewhere = [&] {
        bool taken = false;
        std::thread other([&] {
            taken = lock.try_lock();
            if (taken) lock.unlock();
        });
        other.join();
        return taken;
    };
    std::vector<bool> duringWaits;
    SetEngineSleeper([&](int32_t Ms) {
        if (Ms == 100) duringWaits.push_back(freeElsewhere());
    });
    EXPECT_ANY_THROW(Exec("update t set a = a + 1 where a <= 2"));
    ASSERT_EQ(duringWaits.size(), 14u);
    EXPECT_EQ(std::count(duringWaits.begin(), duringWaits.end(), true), 0);
    EXPECT_TRUE(freeElsewhere());
    probe.Close();
}

}  // namespace

namespace {

// DELETE's two roads and the undo list, on MEMORY (no transaction: the undo list), on
// disk inside a transaction (the undo list) and on disk outside one (the write batch).
enum TChangeMode { cmMemory, cmDiskInTransaction, cmDisk };

const char* ModeName(TChangeMode M) {
    return M == cmMemory ? "Memory" : M == cmDiskInTransaction ? "DiskInTransaction" : "Disk";
}

class ChangeTables : public EngineTest {
protected:
    void Start(TChangeMode M) {
        Mode = M;
        SetEngineSleeper([](int32_t) {});
        Env = std::make_unique<TEngineEnv>(M == cmMemory ? dstest::ekMemory : dstest::ekDisk);
    }
    void TearDown() override {
        SetRecordReadFaultHook(nullptr);
        Probe.reset();
        Env.reset();
        SetEngineSleeper(nullptr);
        EngineTest::TearDown();
    }

    int32_t Exec(const std::string& Text) {
        TORQQuery q;
        q.SetDatabaseName(Env->Name());
        q.SQL().SetText(Text);
        q.ExecSQL();
        return q.RowsAffected();
    }
    std::string Dump(const std::string& Text) {
        TORQQuery q;
        q.SetDatabaseName(Env->Name());
        q.SQL().SetText(Text);
        q.Open();
        std::string out;
        for (q.First(); !q.Eof(); q.Next()) {
            for (int i = 0; i < q.FieldCount(); ++i)
                out += (i > 0 ? "|" : "") + (q.Fields()[i]->IsNull() ? std::string("NULL") : q.Fields()[i]->AsString());
            out += ";";
        }
        return out;
    }
    // T(A primary key, B with an index): A = 1 .. 20, B = A mod 5.
    void MakeNumbers() {
        Exec("create table t (a integer not null, b integer, primary key (a), index (b))");
        std::string values;
        for (int a = 1; a <= 20; ++a) values += (a > 1 ? ", (" : "(") + std::to_string(a) + ", " + std::to_string(a % 5) + ")";
        Exec("insert into t values " + values);
    }
    // A component kept open on T for the test's look at its table data.
    TORQTableData& OpenProbe(const std::string& Table) {
        Probe = std::make_unique<TORQTable>();
        Probe->SetDatabaseName(Env->Name());
        Probe->SetTableName(Table);
        Probe->Open();
        return *Probe->Cursor()->TableData;
    }
    // Where record A = Key lives, as the read hook names it.
    std::pair<int32_t, int32_t> RecordOf(int Key) {
        EXPECT_TRUE(Probe->Locate("A", classlib::Variant::FromInteger(Key), {}));
        const classlib::TBookmark b = Probe->GetBookmark();
        const TORQRecordID id = TORQRecordID::FromBytes(b.data());
        return {id.PageNo, id.SlotNo};
    }
    std::string Numbers(const std::vector<int>& Keys) {
        std::string out;
        for (int a : Keys) out += std::to_string(a) + "|" + std::to_string(a % 5) + ";";
        return out;
    }

    TChangeMode Mode = cmMemory;
    std::unique_ptr<TEngineEnv> Env;
    std::unique_ptr<TORQTable> Probe;
};

class ChangeRoads : public ChangeTables, public ::testing::WithParamInterface<TChangeMode> {
protected:
    void SetUp() override {
        ChangeTables::SetUp();
        Start(GetParam());
    }
};

// A WHERE puts the matching records into the result's record bitmap and they are
// deleted through the result itself; without one they are deleted by bookmark through a
// second component. Both leave exactly the records they should, and every index finds
// them.
TEST_P(ChangeRoads, DeleteGoesThroughTheResultsSetOrByBookmark) {
    MakeNumbers();
    TORQTableData& data = OpenProbe("T");
    if (Mode == cmDiskInTransaction) Env->Db->StartTransaction();
    int cursors = 0;
    SetRecordReadFaultHook([&](int32_t, int32_t) { cursors = std::max(cursors, data.CursorCount()); });
    struct Case {
        const char* Text;
        bool ThroughResult;
        int32_t Rows;
        std::vector<int> Left;
    };
    const Case cases[] = {
        {"delete from t where b = 2", true, 4, {1, 3, 4, 5, 6, 8, 9, 10, 11, 13, 14, 15, 16, 18, 19, 20}},
        {"delete from t where a = 8", true, 1, {1, 3, 4, 5, 6, 9, 10, 11, 13, 14, 15, 16, 18, 19, 20}},
        {"delete from t where a > 15 or b = 0", true, 7, {1, 3, 4, 6, 9, 11, 13, 14}},
        {"delete from t where b = 1 and a < 10", true, 2, {3, 4, 9, 11, 13, 14}},
        {"delete from t", false, 6, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Text);
        cursors = 0;
        EXPECT_EQ(Exec(c.Text), c.Rows);
        // The probe and the result, and the second component of the bookmark road.
        EXPECT_EQ(cursors, c.ThroughResult ? 2 : 3);
        EXPECT_EQ(Dump("select a, b from t order by a"), Numbers(c.Left));
        std::vector<int> threes;
        for (int a : c.Left)
            if (a % 5 == 3) threes.push_back(a);
        EXPECT_EQ(Dump("select a, b from t where b = 3 order by a"), Numbers(threes));
        EXPECT_EQ(Dump("select count(*) from t where a = 14"), c.Left.empty() ? "0;" : "1;");
    }
    if (Mode == cmDiskInTransaction) {
        Env->Db->Rollback();
        EXPECT_EQ(Dump("select count(*) from t"), "20;");
    }
}

// A DELETE that fails part-way, on either road, leaves every record and key as before;
// an open transaction stays open and commits the table unchanged.
TEST_P(ChangeRoads, FailingDeleteLeavesTheTableAsBefore) {
    MakeNumbers();
    const std::vector<int> all = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
    TORQTableData& data = OpenProbe("T");
    const bool transaction = Mode == cmDiskInTransaction;
    for (const char* text : {"delete from t where b >= 1", "delete from t"}) {
        SCOPED_TRACE(text);
        if (transaction) Env->Db->StartTransaction();
        // Record 19 (B = 4) cannot be read once the statement has deleted something.
        const std::pair<int32_t, int32_t> victim = RecordOf(19);
        const int32_t stamp = data.RecordManager->ChangeStamp;
        bool failed = false;
        SetRecordReadFaultHook([&](int32_t Page, int32_t Slot) {
            if (failed || std::make_pair(Page, Slot) != victim || data.RecordManager->ChangeStamp == stamp) return;
            failed = true;
            throw std::runtime_error("the record cannot be read");
        });
        EXPECT_ANY_THROW(Exec(text));
        SetRecordReadFaultHook(nullptr);
        EXPECT_TRUE(failed);
        EXPECT_EQ(Dump("select a, b from t order by a"), Numbers(all));
        EXPECT_EQ(Dump("select a from t where b = 4 order by a"), "4;9;14;19;");
        EXPECT_EQ(Dump("select b from t where a = 19"), "4;");
        if (transaction) {
            EXPECT_TRUE(Env->Db->InTransaction());
            Env->Db->Commit(false);
            EXPECT_EQ(Dump("select a, b from t order by a"), Numbers(all));
        }
    }
}

// The before-images of a large UPDATE go to a TEMP table whose memo texts spill to a
// temporary file, not to memory; a failure on the last row plays every one of them back.
TEST_F(ChangeTables, LargeUpdateUndoesFromATemporaryTable) {
    Start(cmDiskInTransaction);
    constexpr int kCount = 400;
    auto memo = [](int A) { return std::string(4000, static_cast<char>('a' + A % 26)) + std::to_string(A); };
    Exec("create table m (a integer not null, t memo, primary key (a))");
    {
        TORQTable t;
        t.SetDatabaseName(Env->Name());
        t.SetTableName("M");
        t.Open();
        for (int a = 1; a <= kCount; ++a) {
            t.Append();
            t.Fields()[0]->SetAsInteger(a);
            t.Fields()[1]->SetAsString(memo(a));
            t.Post();
        }
    }
    auto undoTables = [] {
        std::vector<TORQTemporaryTableData*> found;
        TORQTemporaryDatabaseData& temp = TemporaryDatabase();
        for (int32_t i = 0; i < temp.TableDataCount(); ++i)
            if (temp.TableDataAt(i)->TableName.rfind("TmpUndoList{", 0) == 0)
                found.push_back(dynamic_cast<TORQTemporaryTableData*>(temp.TableDataAt(i)));
        return found;
    };
    int64_t entries = 0;
    bool spilled = false;
    SetRecordReadFaultHook([&](int32_t, int32_t) {
        for (TORQTemporaryTableData* u : undoTables()) {
            entries = std::max(entries, u->TemporaryRecordManager()->RecordCount);
            if (u->BlobStream && !u->BlobStream->InMemory()) spilled = true;
        }
    });
    Env->Db->StartTransaction();
    // The last row takes the first row's key.
    EXPECT_ANY_THROW(Exec("update m set t = '" + std::string(3000, 'z') + "', a = case when a = " +
                          std::to_string(kCount) + " then 1 else a end"));
    SetRecordReadFaultHook(nullptr);
    EXPECT_EQ(entries, kCount - 1);
    EXPECT_TRUE(spilled);
    EXPECT_TRUE(undoTables().empty());
    EXPECT_TRUE(Env->Db->InTransaction());
    Env->Db->Commit(false);
    TORQTable t;
    t.SetDatabaseName(Env->Name());
    t.SetTableName("M");
    t.Open();
    int n = 0;
    for (t.First(); !t.Eof(); t.Next()) {
        ++n;
        const int a = t.Fields()[0]->AsInteger();
        ASSERT_EQ(t.Fields()[1]->AsString(), memo(a)) << "row " << a;
    }
    EXPECT_EQ(n, kCount);
    EXPECT_EQ(Dump("select count(*) from m where a = 400"), "1;");
}

INSTANTIATE_TEST_SUITE_P(Modes, ChangeRoads, ::testing::Values(cmMemory, cmDiskInTransaction, cmDisk),
                         [](const auto& Info) { return std::string(ModeName(Info.param)); });

}  // namespace
