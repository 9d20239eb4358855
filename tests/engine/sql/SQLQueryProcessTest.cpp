// Queries on a multi-user disk file against other connections: a forked child holding
// a table's post lock makes a SELECT give up after its tries (its table cannot even be
// read), and the SELECT runs once the lock is gone; tables another session locks after
// the query opened them make it give up with 20225 after its 900 tries; a child killed
// inside a transaction leaves only the rows committed before it; a correlated subquery
// over the same multi-user table completes.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ForkPipe.h"
#include "SharedDatabase.h"
#include "RelationalAlgebraFixture.h"

#include "engine/access/ORQLocalCursor.h"
#include "engine/access/ORQQuery.h"
#include "engine/storage/ORQEngineState.h"
#include "engine/storage/ORQTableLocks.h"

using namespace ratest;

namespace {

class QueryProcesses : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        Path = Dir.File("SHARED.ORQ");
        TORQDatabase db(nullptr);
        db.SetDatabaseName("SETUP");
        db.SetDatabaseFileName(Path);
        db.CreateDatabase();
        db.Open();
        TORQTable t;
        t.SetDatabaseName("SETUP");
        t.SetTableName("ITEMS");
        for (const char* name : {"ID", "GRP"}) {
            TORQAdvFieldDef* f = t.AdvFieldDefs().Add();
            f->Name = name;
            f->DataType = aftInteger;
        }
        t.CreateTable();
        t.Open();
        for (int i = 1; i <= 3; ++i) {
            t.Append();
            t.Fields()[0]->SetAsInteger(i);
            t.Fields()[1]->SetAsInteger(i < 3 ? 1 : 2);
            t.Post();
        }
        t.Close();
        db.Close();
    }
    void TearDown() override {
        SetEngineSleeper(nullptr);
        EngineTest::TearDown();
    }

    std::unique_ptr<TORQDatabase> Connect(const std::string& Name) { return OpenShared(Name, Path); }

    static int64_t Count(const std::string& Database, const std::string& Text = "select count(*) from items") {
        TORQQuery q;
        q.SetDatabaseName(Database);
        q.SQL().SetText(Text);
        q.Open();
        return q.Fields()[0]->AsInteger();
    }

    static void Append(const std::string& Database, int Id) {
        TORQTable t;
        t.SetDatabaseName(Database);
        t.SetTableName("ITEMS");
        t.Open();
        t.Append();
        t.Fields()[0]->SetAsInteger(Id);
        t.Fields()[1]->SetAsInteger(9);
        t.Post();
        t.Close();
    }

    static int Reap(pid_t Pid) {
        int status = 0;
        waitpid(Pid, &status, 0);
        return status;
    }

    disktest::TempDir Dir;
    std::string Path;
};

TEST_F(QueryProcesses, SelectGivesUpUnderAPostLockAndRunsAfterIt) {
    TPipe held, release;
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        int rc = 0;
        try {
            auto db = Connect("CHILD");
            TORQTable t;
            t.SetDatabaseName("CHILD");
            t.SetTableName("ITEMS");
            t.Open();
            auto* c = dynamic_cast<TORQLocalCursor*>(t.Cursor());
            if (c == nullptr || !c->LockTable(ltPost, 1, 1, 0)) rc = 2;
            held.Send();
            release.Wait();
            if (rc == 0) c->UnlockTable(ltPost, 1);
            t.Close();
            db->Close();
        } catch (...) {
            rc = 3;
            held.Send();
        }
        _exit(rc);
    }
    ASSERT_GE(held.Wait(), 0);
    auto db = Connect("PARENT");
    int sleeps = 0;
    SetEngineSleeper([&](int32_t) { ++sleeps; });
    // The table's open already reads under the table's read lock, which the post lock
    // keeps out: after its tries the open gives up and the query reports the table.
    const std::string failure = Raised([&] { Count("PARENT"); });
    EXPECT_NE(failure.find("Error on opening table \"items\""), std::string::npos) << failure;
    EXPECT_NE(failure.find("10303"), std::string::npos) << failure;
    EXPECT_GE(sleeps, 899);
    release.Send();
    EXPECT_EQ(Reap(child), 0);
    EXPECT_EQ(Count("PARENT"), 3);
    // The same table inside and outside, both under the table's read lock.
    EXPECT_EQ(Count("PARENT", "select count(*) from items a where exists "
                              "(select * from items b where b.grp = a.grp and b.id <> a.id)"),
              2);
}

TEST_F(QueryProcesses, TablesLockedAfterTheirOpenGiveTableIsLocked) {
    auto db = Connect("PARENT");
    {
        TORQTable t;
        t.SetDatabaseName("PARENT");
        t.SetTableName("OTHER");
        TORQAdvFieldDef* f = t.AdvFieldDefs().Add();
        f->Name = "K";
        f->DataType = aftInteger;
        t.CreateTable();
    }
    // Another session of this process holds OTHER's post lock. The query opens ITEMS,
    // then waits to open OTHER; at its first wait the other session lets OTHER go and
    // takes ITEMS instead, so the opens succeed and the query's own locking finds ITEMS
    // held.
    TORQSession other(nullptr);
    other.SetSessionName("HOLDER");
    other.SetActive(true);
    auto holder = std::make_unique<TORQDatabase>(&other);
    holder->SetDatabaseName("HOLDER_DB");
    holder->SetDatabaseFileName(Path);
    holder->MultiUser = true;
    holder->SilentMode = true;
    holder->Open();
    TORQTable items, others;
    for (auto [t, name] : {std::pair{&items, "ITEMS"}, std::pair{&others, "OTHER"}}) {
        t->SetSessionName("HOLDER");
        t->SetDatabaseName("HOLDER_DB");
        t->SetTableName(name);
        t->Open();
    }
    auto* heldItems = dynamic_cast<TORQLocalCursor*>(items.Cursor());
    auto* heldOthers = dynamic_cast<TORQLocalCursor*>(others.Cursor());
    ASSERT_TRUE(heldItems != nullptr && heldOthers != nullptr);
    ASSERT_TRUE(heldOthers->LockTable(ltPost, 1, 1, 0));
    int sleeps = 0;
    bool swapped = false;
    SetEngineSleeper([&](int32_t) {
        ++sleeps;
        if (swapped) return;
        swapped = true;
        heldOthers->UnlockTable(ltPost, 1);
        heldItems->LockTable(ltPost, 1, 1, 0);
    });
    EXPECT_EQ(NativeCode([&] { Count("PARENT", "select count(*) from items, other"); }), 20225);
    EXPECT_TRUE(swapped);
    EXPECT_GE(sleeps, 900);
    heldItems->UnlockTable(ltPost, 1);
    EXPECT_EQ(Count("PARENT", "select count(*) from items, other"), 0);
    items.Close();
    others.Close();
    holder->Close();
}

TEST_F(QueryProcesses, AKilledTransactionLeavesOnlyCommittedRows) {
    TPipe ready;
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        try {
            auto db = Connect("CHILD");
            Append("CHILD", 10);
            TORQQuery q;
            q.SetDatabaseName("CHILD");
            q.SQL().SetText("start transaction");
            q.ExecSQL();
            Append("CHILD", 11);
            Append("CHILD", 12);
            ready.Send();
            for (;;) pause();
        } catch (...) {
            ready.Send();
            _exit(3);
        }
    }
    ASSERT_GE(ready.Wait(), 0);
    {
        // Uncommitted rows of the other process are not seen.
        auto db = Connect("PARENT");
        EXPECT_EQ(Count("PARENT"), 4);
        db->Close();
    }
    kill(child, SIGKILL);
    Reap(child);
    auto db = Connect("AFTER");
    EXPECT_EQ(Count("AFTER"), 4);
    EXPECT_EQ(Count("AFTER", "select count(*) from items where id > 10"), 0);
}

TEST_F(QueryProcesses, TwoSessionsSeeOnlyCommittedRows) {
    auto first = Connect("FIRST");
    TORQSession other(nullptr);
    other.SetSessionName("OTHER");
    other.SetActive(true);
    auto second = std::make_unique<TORQDatabase>(&other);
    second->SetDatabaseName("SECOND");
    second->SetDatabaseFileName(Path);
    second->MultiUser = true;
    second->SilentMode = true;
    second->Open();
    auto countSecond = [&] {
        TORQQuery q;
        q.SetSessionName("OTHER");
        q.SetDatabaseName("SECOND");
        q.SQL().SetText("select count(*) from items");
        q.Open();
        return q.Fields()[0]->AsInteger();
    };
    TORQQuery tx;
    tx.SetDatabaseName("FIRST");
    tx.SQL().SetText("start transaction");
    tx.ExecSQL();
    Append("FIRST", 20);
    EXPECT_EQ(Count("FIRST"), 4);
    EXPECT_EQ(countSecond(), 3);
    tx.SQL().SetText("commit flush");
    tx.ExecSQL();
    EXPECT_EQ(countSecond(), 4);
    second->Close();
}

}  // namespace
