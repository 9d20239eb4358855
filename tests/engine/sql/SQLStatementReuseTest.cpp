// What one statement leaves for the next: the page room summary of a disk table lives on
// from one statement's open of the table to the next while nothing changed the table in
// between, and is built again when something did (a rollback, another process).
#include <sys/wait.h>
#include <unistd.h>

#include "ForkPipe.h"
#include "RelationalAlgebraFixture.h"

#include "engine/access/ORQQuery.h"
#include "engine/storage/ORQBTreePageIndex.h"

using namespace ratest;

namespace {

class StatementReuse : public EngineTest {
protected:
    static int64_t Exec(const std::string& Database, const std::string& Text) {
        TORQQuery q;
        q.SetDatabaseName(Database);
        q.SQL().SetText(Text);
        q.ExecSQL();
        return q.RowsAffected();
    }
    static int64_t Count(const std::string& Database, const std::string& Text = "select count(*) from t") {
        TORQQuery q;
        q.SetDatabaseName(Database);
        q.SQL().SetText(Text);
        q.Open();
        return q.Fields()[0]->AsInteger();
    }
    static std::string Insert(int Id) {
        return "insert into t (id, v) values (" + std::to_string(Id) + ", 'row " + std::to_string(Id) + "')";
    }
};

TEST_F(StatementReuse, RoomSummaryIsBuiltOncePerTableWhileNothingElseChangesIt) {
    TEngineEnv env(dstest::ekDisk);
    Exec(env.Name(), "create table t (id integer, v varchar(40), primary key (id))");
    const int64_t before = TORQBTreePageIndex::SummaryBuilds();
    // Each statement opens and closes the table: enough rows for many record pages.
    for (int i = 0; i < 400; ++i) Exec(env.Name(), Insert(i));
    EXPECT_EQ(TORQBTreePageIndex::SummaryBuilds() - before, 1);
    // Reads and deletes keep it too; the room freed is used again.
    EXPECT_EQ(Exec(env.Name(), "delete from t where id < 200"), 200);
    EXPECT_EQ(Count(env.Name()), 200);
    for (int i = 0; i < 200; ++i) Exec(env.Name(), Insert(i));
    EXPECT_EQ(TORQBTreePageIndex::SummaryBuilds() - before, 1);
    EXPECT_EQ(Count(env.Name()), 400);

    // A rollback may have taken pages back: the summary is built again, and the rows
    // are those committed.
    env.Db->StartTransaction();
    for (int i = 400; i < 450; ++i) Exec(env.Name(), Insert(i));
    env.Db->Rollback();
    const int64_t afterRollback = TORQBTreePageIndex::SummaryBuilds();
    Exec(env.Name(), Insert(400));
    EXPECT_EQ(TORQBTreePageIndex::SummaryBuilds() - afterRollback, 1);
    EXPECT_EQ(Count(env.Name()), 401);
    EXPECT_EQ(Count(env.Name(), "select count(*) from t where id >= 400"), 1);
}

TEST_F(StatementReuse, AnotherProcessChangeMakesTheRoomSummaryBuiltAgain) {
    disktest::TempDir dir;
    const std::string path = dir.File("SHARED.ORQ");
    {
        TORQDatabase db(nullptr);
        db.SetDatabaseName("SETUP");
        db.SetDatabaseFileName(path);
        db.CreateDatabase();
        db.Open();
        Exec("SETUP", "create table t (id integer, v varchar(40), primary key (id))");
        for (int i = 0; i < 100; ++i) Exec("SETUP", Insert(i));
        db.Close();
    }
    const auto connect = [&](const std::string& Name) {
        auto db = std::make_unique<TORQDatabase>(nullptr);
        db->SetDatabaseName(Name);
        db->SetDatabaseFileName(path);
        db->MultiUser = true;
        db->SilentMode = true;
        db->Open();
        return db;
    };
    TPipe go, done;
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        int status = 0;
        try {
            if (go.Wait() != 1) _exit(2);
            auto db = connect("CHILD");
            // Rows deleted and added: pages the parent's summary knows change their room.
            Exec("CHILD", "delete from t where id < 50");
            for (int i = 1000; i < 1030; ++i) Exec("CHILD", Insert(i));
            db->Close();
        } catch (...) {
            status = 3;
        }
        done.Send();
        _exit(status);
    }
    auto db = connect("PARENT");
    const int64_t before = TORQBTreePageIndex::SummaryBuilds();
    for (int i = 100; i < 110; ++i) Exec("PARENT", Insert(i));
    EXPECT_EQ(TORQBTreePageIndex::SummaryBuilds() - before, 1);
    go.Send();
    EXPECT_EQ(done.Wait(), 1);
    int status = -1;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    // The parent's next insert finds the table changed: its summary is built again.
    for (int i = 110; i < 120; ++i) Exec("PARENT", Insert(i));
    EXPECT_EQ(TORQBTreePageIndex::SummaryBuilds() - before, 2);
    EXPECT_EQ(Count("PARENT"), 120 - 50 + 30);
    EXPECT_EQ(Count("PARENT", "select count(*) from t where id >= 1000"), 30);
    db->Close();
}

}  // namespace
