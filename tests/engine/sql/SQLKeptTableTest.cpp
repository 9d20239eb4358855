// A disk table stays open between statements: the next statement takes the kept table
// after a look-up, reads its definitions from the file only when they changed (here, in
// a rolled-back transaction, or in another process), and always sees the rows the file
// holds. A prepared SELECT by key searches the key: the pages it asks for grow with the
// depth of the index, not with the rows.
#include <sys/wait.h>
#include <unistd.h>

#include "ForkPipe.h"
#include "SharedDatabase.h"
#include "RelationalAlgebraFixture.h"

#include "engine/access/ORQQuery.h"
#include "engine/access/ORQTable.h"
#include "engine/storage/ORQDiskPageManager.h"
#include "engine/storage/ORQDiskTable.h"

using namespace ratest;

namespace {

class KeptTable : public EngineTest {
protected:
    static int64_t Exec(const std::string& Database, const std::string& Text) {
        TORQQuery q;
        q.SetDatabaseName(Database);
        q.SQL().SetText(Text);
        q.ExecSQL();
        return q.RowsAffected();
    }
    static int64_t Value(const std::string& Database, const std::string& Text) {
        TORQQuery q;
        q.SetDatabaseName(Database);
        q.SQL().SetText(Text);
        q.Open();
        return q.Fields()[0]->AsInteger();
    }
    static int64_t Loads() { return TORQDiskTableData::DefinitionLoads(); }
};

TEST_F(KeptTable, StatementsReadTheDefinitionsOnceUntilTheyChange) {
    TEngineEnv env(dstest::ekDisk);
    const std::string db = env.Name();
    Exec(db, "create table t (id integer, v varchar(20), primary key (id))");
    Exec(db, "insert into t (id, v) values (0, 'row')");
    const int64_t loads = Loads(), reuses = TORQDiskTableData::KeptOpenReuses();
    TORQQuery insert;
    insert.SetDatabaseName(db);
    insert.SQL().SetText("insert into t (id, v) values (:id, :v)");
    insert.Prepare();
    for (int i = 1; i <= 300; ++i) {
        insert.ParamByName("id")->SetAsInteger(i);
        insert.ParamByName("v")->SetAsString(i % 2 == 0 ? "even" : "odd");
        insert.ExecSQL();
        if (i % 50 == 0) {
            EXPECT_EQ(Value(db, "select count(*) from t where id <= " + std::to_string(i)), i + 1);
        }
    }
    EXPECT_EQ(Exec(db, "update t set v = 'ten' where id < 10"), 10);
    EXPECT_EQ(Exec(db, "delete from t where v = 'odd'"), 145);
    EXPECT_EQ(Value(db, "select count(*) from t"), 156);
    EXPECT_EQ(Loads() - loads, 0);
    EXPECT_GE(TORQDiskTableData::KeptOpenReuses() - reuses, 300);

    // A definition saved by this process: the next open reads it, once.
    Exec(db, "create index t_v on t (v)");
    const int64_t afterIndex = Loads();
    EXPECT_EQ(Value(db, "select count(*) from t where v = 'ten'"), 10);
    EXPECT_EQ(Value(db, "select count(*) from t where v = 'even'"), 146);
    EXPECT_LE(Loads() - afterIndex, 1);
    Exec(db, "alter table t add (c integer)");
    EXPECT_EQ(Exec(db, "update t set c = id * 2 where id < 10"), 10);
    EXPECT_EQ(Value(db, "select sum(c) from t"), 90);
}

TEST_F(KeptTable, ARollbackLeavesTheKeptTableAsTheFileHasIt) {
    TEngineEnv env(dstest::ekDisk);
    const std::string db = env.Name();
    Exec(db, "create table t (id integer, v varchar(20), primary key (id))");
    for (int i = 0; i < 100; ++i) Exec(db, "insert into t (id, v) values (" + std::to_string(i) + ", 'a')");
    // Rows of a transaction that is rolled back, the table closed between its statements.
    env.Db->StartTransaction();
    for (int i = 100; i < 400; ++i) Exec(db, "insert into t (id, v) values (" + std::to_string(i) + ", 'b')");
    EXPECT_EQ(Value(db, "select count(*) from t where v = 'b'"), 300);
    env.Db->Rollback();
    EXPECT_EQ(Value(db, "select count(*) from t"), 100);
    EXPECT_EQ(Value(db, "select count(*) from t where v = 'b'"), 0);
    // What follows writes into the committed table, not into pages the rollback took back.
    for (int i = 100; i < 400; ++i) Exec(db, "insert into t (id, v) values (" + std::to_string(i) + ", 'c')");
    EXPECT_EQ(Value(db, "select count(*) from t where v = 'c'"), 300);
    EXPECT_EQ(Exec(db, "create index t_v on t (v)"), 0);
    env.Db->Close();
    env.Db->Open();
    EXPECT_EQ(Value(db, "select count(*) from t"), 400);
    EXPECT_EQ(Value(db, "select count(*) from t where v = 'a'"), 100);
}

TEST_F(KeptTable, APreparedPointSelectVisitsPagesByTheDepthOfTheKeyNotTheRows) {
    TEngineEnv env(dstest::ekDisk);
    const std::string db = env.Name();
    Exec(db, "create table t (id integer, name varchar(20), txt varchar(200), primary key (id))");
    TORQQuery insert;
    insert.SetDatabaseName(db);
    insert.SQL().SetText("insert into t (id, name, txt) values (:id, :name, :txt)");
    insert.Prepare();
    int rows = 0;
    const auto grow = [&](int To) {
        env.Db->StartTransaction();
        for (; rows < To; ++rows) {
            insert.ParamByName("id")->SetAsInteger(rows * 3);
            insert.ParamByName("name")->SetAsString("N" + std::to_string(rows % 100));
            insert.ParamByName("txt")->SetAsString(std::string(150, static_cast<char>('A' + rows % 26)));
            insert.ExecSQL();
        }
        env.Db->Commit(false);
    };
    TORQQuery point;
    point.SetDatabaseName(db);
    point.SQL().SetText("select name, txt from t where id = :id");
    point.Prepare();
    // Pages asked per lookup, over keys spread through the table, each found once.
    const auto pagesPerLookup = [&] {
        constexpr int Lookups = 50;
        const int64_t before = TORQDiskPageManager::PageRequests();
        for (int k = 0; k < Lookups; ++k) {
            const int row = static_cast<int>((int64_t{k} * 7919) % rows);
            point.ParamByName("id")->SetAsInteger(row * 3);
            point.Open();
            EXPECT_EQ(point.RecordCount(), 1);
            EXPECT_EQ(point.Fields()[0]->AsString(), "N" + std::to_string(row % 100));
            point.Close();
        }
        return static_cast<double>(TORQDiskPageManager::PageRequests() - before) / Lookups;
    };
    grow(300);
    const double small = pagesPerLookup();
    grow(300 * 40);
    const double large = pagesPerLookup();
    // Forty times the rows (hundreds of record pages): a scan would ask for forty times
    // the pages, a key search for a level or two more of the index (each read a few
    // times) beside the fixed cost of opening the statement's tables.
    EXPECT_LT(large, small * 1.5) << small << " pages per lookup at 300 rows, " << large << " at 12,000";
    // A key between two stored ones finds nothing, as cheaply.
    const int64_t before = TORQDiskPageManager::PageRequests();
    point.ParamByName("id")->SetAsInteger(3000 * 3 + 1);
    point.Open();
    EXPECT_EQ(point.RecordCount(), 0);
    point.Close();
    EXPECT_LE(static_cast<double>(TORQDiskPageManager::PageRequests() - before), large + 1);
}

// A statement's tables read their cursor's definitions: prepared executions build no
// index list of the table component, the table's indexes still hold, and a definition
// changed between two executions is seen. A table a program opens itself has its index
// list from the open, without asking for it.
TEST_F(KeptTable, PreparedExecutionsBuildNoIndexListAndSeeDefinitionChanges) {
    TEngineEnv env(dstest::ekDisk);
    const std::string db = env.Name();
    Exec(db, "create table t (id integer, name varchar(20), primary key (id))");
    Exec(db, "create index t_name on t (name)");
    TORQQuery insert, point;
    insert.SetDatabaseName(db);
    insert.SQL().SetText("insert into t (id, name) values (:id, :name)");
    insert.Prepare();
    point.SetDatabaseName(db);
    point.SQL().SetText("select * from t where id = :id");
    point.Prepare();
    const int64_t builds = TORQTable::IndexDefinitionBuilds();
    env.Db->StartTransaction();
    for (int i = 0; i < 1000; ++i) {
        insert.ParamByName("id")->SetAsInteger(i);
        insert.ParamByName("name")->SetAsString("N" + std::to_string(i % 7));
        insert.ExecSQL();
    }
    env.Db->Commit(false);
    for (int i = 0; i < 1000; ++i) {
        point.ParamByName("id")->SetAsInteger(i);
        point.Open();
        ASSERT_EQ(point.RecordCount(), 1) << i;
        EXPECT_EQ(point.FieldByName("name")->AsString(), "N" + std::to_string(i % 7));
        point.Close();
    }
    EXPECT_EQ(TORQTable::IndexDefinitionBuilds() - builds, 0);
    // The primary key still refuses a duplicate, and the name index still answers.
    insert.ParamByName("id")->SetAsInteger(5);
    insert.ParamByName("name")->SetAsString("again");
    EXPECT_ANY_THROW(insert.ExecSQL());
    EXPECT_EQ(Value(db, "select count(*) from t"), 1000);
    EXPECT_EQ(Value(db, "select count(*) from t where name = 'N3'"), 143);

    Exec(db, "alter table t add (c integer)");
    EXPECT_EQ(Exec(db, "update t set c = id * 2 where id < 10"), 10);
    point.ParamByName("id")->SetAsInteger(4);
    point.Open();
    ASSERT_EQ(point.FieldCount(), 3);
    EXPECT_EQ(point.FieldByName("c")->AsInteger(), 8);
    point.Close();
    insert.ParamByName("id")->SetAsInteger(1000);
    insert.ParamByName("name")->SetAsString("last");
    insert.ExecSQL();
    point.ParamByName("id")->SetAsInteger(1000);
    point.Open();
    ASSERT_EQ(point.RecordCount(), 1);
    EXPECT_EQ(point.FieldByName("name")->AsString(), "last");
    EXPECT_TRUE(point.FieldByName("c")->IsNull());
    point.Close();

    const int64_t beforeOwn = TORQTable::IndexDefinitionBuilds();
    TORQTable own;
    own.SetDatabaseName(db);
    own.SetTableName("t");
    own.Open();
    EXPECT_GT(TORQTable::IndexDefinitionBuilds(), beforeOwn);
    EXPECT_GE(own.IndexDefs().IndexOf("t_name"), 0);
    own.Close();
}

// The parent keeps the table open between its statements while a child changes its
// definitions (an index added, a column added, then the table dropped and made again
// with the same name) and its rows: each next statement of the parent sees the change.
TEST_F(KeptTable, AnotherProcessDefinitionChangeIsSeenByTheNextStatement) {
    disktest::TempDir dir;
    const std::string path = dir.File("SHARED.ORQ");
    {
        TORQDatabase db(nullptr);
        db.SetDatabaseName("SETUP");
        db.SetDatabaseFileName(path);
        db.CreateDatabase();
        db.Open();
        Exec("SETUP", "create table t (id integer, v varchar(20), primary key (id))");
        for (int i = 0; i < 20; ++i) Exec("SETUP", "insert into t (id, v) values (" + std::to_string(i) + ", 'a')");
        db.Close();
    }
    const auto connect = [&](const std::string& Name) { return OpenShared(Name, path); };
    TPipe go, done;
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        int status = 0;
        try {
            auto db = connect("CHILD");
            if (go.Wait() != 1) _exit(2);
            Exec("CHILD", "create index t_v on t (v)");
            done.Send();
            // The parent's row went into the index it did not have when it last read.
            if (go.Wait() != 1) _exit(2);
            if (Value("CHILD", "select count(*) from t where v = 'p'") != 1) status = 4;
            Exec("CHILD", "alter table t add (c integer)");
            Exec("CHILD", "update t set c = id + 1");
            done.Send();
            if (go.Wait() != 1) _exit(2);
            Exec("CHILD", "drop table t");
            Exec("CHILD", "create table t (name varchar(30), id integer)");
            for (int i = 0; i < 7; ++i)
                Exec("CHILD", "insert into t (name, id) values ('n" + std::to_string(i) + "', " + std::to_string(i * 10) + ")");
            db->Close();
        } catch (...) {
            status = 3;
        }
        done.Send();
        _exit(status);
    }
    auto db = connect("PARENT");
    TORQQuery point;
    point.SetDatabaseName("PARENT");
    point.SQL().SetText("select count(*) from t where id >= :lo");
    point.Prepare();
    point.ParamByName("lo")->SetAsInteger(10);
    point.Open();
    EXPECT_EQ(point.Fields()[0]->AsInteger(), 10);
    point.Close();
    go.Send();
    ASSERT_EQ(done.Wait(), 1);
    EXPECT_EQ(Exec("PARENT", "insert into t (id, v) values (20, 'p')"), 1);
    go.Send();
    ASSERT_EQ(done.Wait(), 1);
    // The column is there, filled for the parent's row too.
    EXPECT_EQ(Value("PARENT", "select sum(c) from t"), 21 * 22 / 2);
    EXPECT_EQ(Exec("PARENT", "insert into t (id, v, c) values (21, 'p', 100)"), 1);
    point.ParamByName("lo")->SetAsInteger(20);
    point.Open();
    EXPECT_EQ(point.Fields()[0]->AsInteger(), 2);
    point.Close();
    go.Send();
    EXPECT_EQ(done.Wait(), 1);
    int status = -1;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    // Another table under the same name: its columns and rows.
    EXPECT_EQ(Value("PARENT", "select count(*) from t"), 7);
    EXPECT_EQ(Value("PARENT", "select id from t where name = 'n3'"), 30);
    point.ParamByName("lo")->SetAsInteger(40);
    point.Open();
    EXPECT_EQ(point.Fields()[0]->AsInteger(), 3);
    point.Close();
    db->Close();
}

}  // namespace
