// Write failures under a 1,000-row UPDATE and an INSERT ... SELECT on disk: each write
// of the statement is failed in turn with EIO and with a full disk. A statement either
// reports success with every row changed once or fails with the table as before, and
// the file opens sound afterwards.
#include <cerrno>
#include <functional>
#include <mutex>
#include <thread>

#include "RelationalAlgebraFixture.h"

#include "engine/access/ORQDatabase.h"
#include "engine/access/ORQQuery.h"
#include "engine/storage/ORQDatabaseFile.h"
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
