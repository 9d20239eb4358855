// What one statement leaves for the next: the page room summary of a disk table lives on
// from one statement's open of the table to the next while nothing changed the table in
// between, and is built again when something did (a rollback, another process); a
// prepared INSERT is parsed once and runs again with new parameter values, parsing again
// where a value could change the parse or the statement cannot be kept.
#include <sys/wait.h>
#include <unistd.h>

#include "ForkPipe.h"
#include "SharedDatabase.h"
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

TEST_F(StatementReuse, PreparedInsertParsesOnceAcrossNewValues) {
    TEngineEnv env(dstest::ekDisk);
    Exec(env.Name(), "create table t (id integer, v varchar(40), f float, primary key (id))");
    TORQQuery q;
    q.SetDatabaseName(env.Name());
    q.SQL().SetText("insert into t (id, v, f) values (:id, :v, :f + 1)");
    q.Prepare();
    for (int i = 0; i < 1000; ++i) {
        q.ParamByName("id")->SetAsInteger(i);
        // Texts of every length but the empty one, which the engine takes for Null.
        q.ParamByName("v")->SetAsString(std::string(static_cast<size_t>(i % 40 + 1), static_cast<char>('a' + i % 26)));
        q.ParamByName("f")->SetAsFloat(i / 4.0);
        q.ExecSQL();
        ASSERT_EQ(q.RowsAffected(), 1);
    }
    EXPECT_EQ(q.Processor()->ParseCount(), 1);
    EXPECT_EQ(Count(env.Name()), 1000);
    EXPECT_EQ(Count(env.Name(), "select count(*) from t where id = 998 and v = '" + std::string(39, 'k') +
                                    "' and f = 250.5"),
              1);

    // Values that could have parsed otherwise (another type, Null, a trailing '%' or '*')
    // parse again; each is stored as given.
    struct Case {
        const char* Value;  // nullptr: Null
        bool Parses;
    };
    const Case cases[] = {{"plain", false},  {"ends in %", true}, {"ends in *", true}, {"plain again", true},
                          {nullptr, true},   {nullptr, false},    {"plain", true},     {"%", true}};
    int id = 2000;
    for (const Case& c : cases) {
        const int64_t parses = q.Processor()->ParseCount();
        q.ParamByName("id")->SetAsInteger(id);
        if (c.Value == nullptr) q.ParamByName("v")->Clear();
        else q.ParamByName("v")->SetAsString(c.Value);
        q.ExecSQL();
        const std::string what = c.Value == nullptr ? "Null" : c.Value;
        EXPECT_EQ(q.Processor()->ParseCount() - parses, c.Parses ? 1 : 0) << what;
        const std::string match = c.Value == nullptr ? "v is null" : "v = '" + std::string(c.Value) + "'";
        EXPECT_EQ(Count(env.Name(), "select count(*) from t where id = " + std::to_string(id) + " and " + match), 1)
            << what;
        ++id;
    }
}

TEST_F(StatementReuse, PreparedInsertSeesADefinitionChange) {
    TEngineEnv env(dstest::ekDisk);
    Exec(env.Name(), "create table t (id integer, v varchar(10))");
    TORQQuery q;
    q.SetDatabaseName(env.Name());
    q.SQL().SetText("insert into t values (:id, :v)");
    q.Prepare();
    q.ParamByName("id")->SetAsInteger(1);
    q.ParamByName("v")->SetAsString("short");
    q.ExecSQL();
    // The column grows: the kept statement writes the whole value by the new layout.
    Exec(env.Name(), "drop table t");
    Exec(env.Name(), "create table t (id integer, v varchar(30))");
    q.ParamByName("id")->SetAsInteger(2);
    q.ParamByName("v")->SetAsString("twenty characters...");
    q.ExecSQL();
    EXPECT_EQ(q.Processor()->ParseCount(), 1);
    EXPECT_EQ(Count(env.Name(), "select count(*) from t where id = 2 and v = 'twenty characters...'"), 1);
    // The columns swap: the values go by position into the new order.
    Exec(env.Name(), "drop table t");
    Exec(env.Name(), "create table t (v varchar(30), id integer)");
    q.ParamByName("id")->SetAsInteger(3);
    q.ParamByName("v")->SetAsString("4");
    q.ExecSQL();
    EXPECT_EQ(q.Processor()->ParseCount(), 1);
    EXPECT_EQ(Count(env.Name(), "select count(*) from t where v = '3' and id = 4"), 1);
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
    const auto connect = [&](const std::string& Name) { return OpenShared(Name, path); };
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

TEST_F(StatementReuse, PreparedInsertAndAnotherProcessSeeEachOthersRows) {
    disktest::TempDir dir;
    const std::string path = dir.File("SHARED.ORQ");
    {
        TORQDatabase db(nullptr);
        db.SetDatabaseName("SETUP");
        db.SetDatabaseFileName(path);
        db.CreateDatabase();
        db.Open();
        Exec("SETUP", "create table t (id integer, v varchar(40), primary key (id))");
        db.Close();
    }
    const auto connect = [&](const std::string& Name) { return OpenShared(Name, path); };
    constexpr int Rounds = 5;
    TPipe go, done;
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        // Each round: one row through the prepared INSERT, then the parent's rows of the
        // rounds before must be there, with the value the parent gave them.
        int status = 0;
        try {
            auto db = connect("CHILD");
            TORQQuery q;
            q.SetDatabaseName("CHILD");
            q.SQL().SetText("insert into t (id, v) values (:id, :v)");
            q.Prepare();
            for (int k = 0; k < Rounds && status == 0; ++k) {
                if (go.Wait() != 1) _exit(2);
                q.ParamByName("id")->SetAsInteger(100 + k);
                q.ParamByName("v")->SetAsString("child");
                q.ExecSQL();
                if (Count("CHILD", "select count(*) from t where id >= 200 and v = 'changed'") != k) status = 4;
                done.Send(status == 0 ? 1 : 0);
            }
            if (q.Processor()->ParseCount() != 1) status = 5;
            db->Close();
        } catch (...) {
            status = 3;
            done.Send(0);
        }
        _exit(status);
    }
    auto db = connect("PARENT");
    for (int k = 0; k < Rounds; ++k) {
        go.Send();
        ASSERT_EQ(done.Wait(), 1) << "round " << k;
        // The child's committed rows, and a row of ours that the child changes to see.
        EXPECT_EQ(Count("PARENT", "select count(*) from t where id >= 100 and id < 200"), k + 1);
        Exec("PARENT", Insert(200 + k));
        EXPECT_EQ(Exec("PARENT", "update t set v = 'changed' where id = " + std::to_string(200 + k)), 1);
        // The child's rows change too: the table is shared, not a copy.
        EXPECT_EQ(Exec("PARENT", "update t set v = 'seen' where id = " + std::to_string(100 + k)), 1);
    }
    int status = -1;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(Count("PARENT", "select count(*) from t where v = 'seen'"), Rounds);
    db->Close();
}

}  // namespace
