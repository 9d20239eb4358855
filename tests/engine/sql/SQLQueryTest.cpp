// TORQQuery end to end: SELECT through the processor and the operator tree, the live and
// read-only results, ORDER BY through an index or a temporary one, the query's life
// cycle, parameters, master-detail, RowsAffected and the component's own errors, and
// the transaction statements.
#include "RelationalAlgebraFixture.h"

#include "engine/access/ORQQuery.h"
#include "engine/foundation/ORQMemory.h"
#include "engine/storage/ORQTableData.h"
#include "engine/sql/ORQExprNodesExt.h"
#include "engine/sql/ORQSQLSelect.h"

using namespace ratest;
using dstest::ekDisk;
using dstest::ekMemory;

namespace {

std::unique_ptr<TORQQuery> Query(TEngineEnv& Env, const std::string& Text, bool Live = false) {
    auto q = std::make_unique<TORQQuery>();
    q->SetDatabaseName(Env.Name());
    q->RequestLive = Live;
    q->SQL().SetText(Text);
    return q;
}

Rows Open(TORQQuery& Q) {
    Q.Open();
    Rows r = Read(Q);
    return r;
}

const TData People = {{{"ID", aftInteger}, {"NAME", aftVarChar, 10}, {"DEPT", aftInteger}},
                      {{"1", "ann", "10"}, {"2", "bob", "20"}, {"3", "cid", "10"}, {"4", "dan", Null}}};
const TData Depts = {{{"DEPT", aftInteger}, {"TITLE", aftVarChar, 10}}, {{"10", "ops"}, {"20", "dev"}, {"30", "law"}}};

class QueryTest : public EngineTest, public ::testing::WithParamInterface<TEngineKind> {};

TEST_P(QueryTest, SelectRunsEveryOperatorThroughTheQuery) {
    TEngineEnv env(GetParam());
    MakeTable(env, "P", People);
    MakeTable(env, "D", Depts);
    struct Case {
        const char* Text;
        Rows Want;
    };
    const Case cases[] = {
        {"select name from p where dept = 10 order by name desc", {{"cid"}, {"ann"}}},
        {"select p.name, d.title from p, d where p.dept = d.dept order by 1", {{"ann", "ops"}, {"bob", "dev"}, {"cid", "ops"}}},
        {"select name, title from p left join d on p.dept = d.dept order by name",
         {{"ann", "ops"}, {"bob", "dev"}, {"cid", "ops"}, {"dan", Null}}},
        {"select dept, count(*) from p group by dept having count(*) > 1", {{"10", "2"}}},
        {"select top 2 name from p order by id desc", {{"dan"}, {"cid"}}},
        {"select dept from p union select dept from d order by dept", {{Null}, {"10"}, {"20"}, {"30"}}},
        {"select x.n from (select name as n, id from p where id > 2) x order by x.n", {{"cid"}, {"dan"}}},
        {"select name from p where dept in (select dept from d where title = 'ops') order by name", {{"ann"}, {"cid"}}},
        {"select name from p where exists (select * from d where d.dept = p.dept and d.title = 'dev')", {{"bob"}}},
        {"select title from d where dept > all (select dept from p where dept is not null) ", {{"law"}}},
        {"select name, (select title from d where d.dept = p.dept) from p where id < 3 order by id",
         {{"ann", "ops"}, {"bob", "dev"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Text);
        auto q = Query(env, c.Text);
        Rows got;
        ASSERT_NO_THROW(got = Open(*q)) << Raised([&] { q->Close(); q->Open(); });
        EXPECT_EQ(Show(got), Show(c.Want));
    }
    EXPECT_EQ(ResultTablesLeft(), 0);
}

TEST_P(QueryTest, OnlyALiveRequestOverOneTableIsEditable) {
    TEngineEnv env(GetParam());
    MakeTable(env, "P", People);
    MakeTable(env, "D", Depts);
    struct Case {
        const char* Text;
        bool Live;
        bool Editable;
    };
    const Case cases[] = {
        {"select * from p where id > 1 order by name", true, true},
        {"select * from p where id > 1 order by name", false, false},
        {"select * from p, d where p.dept = d.dept", true, false},
        {"select dept, count(*) from p group by dept", true, false},
        {"select id + 1 from p", true, false},
        {"select id from p union select dept from d", true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Text);
        auto q = Query(env, c.Text, c.Live);
        q->Open();
        EXPECT_EQ(q->CanModify(), c.Editable);
        q->Close();
    }
    // The live result is the table itself: an edit through it lands in the table.
    auto q = Query(env, "select * from p where id > 1 order by name", true);
    q->Open();
    EXPECT_EQ(q->FieldByName("NAME")->AsString(), "bob");
    q->Edit();
    q->FieldByName("NAME")->SetAsString("bea");
    q->Post();
    q->CloseDataSet();
    auto check = Query(env, "select name from p where id = 2");
    EXPECT_EQ(Show(Open(*check)), Show({{"bea"}}));
}

TEST_P(QueryTest, OrderByUsesTheTablesIndexOrATemporaryOne) {
    TEngineEnv env(GetParam());
    {
        TORQTable t;
        t.SetDatabaseName(env.Name());
        t.SetTableName("K");
        TORQAdvFieldDef* f = t.AdvFieldDefs().Add();
        f->Name = "A";
        f->DataType = aftInteger;
        f = t.AdvFieldDefs().Add();
        f->Name = "B";
        f->DataType = aftInteger;
        TORQAdvIndexDef* i = t.AdvIndexDefs().Add();
        i->Name = "IDX_A";
        i->Fields = "A";
        t.CreateTable();
        t.Open();
        for (int k = 0; k < 50; ++k) {
            t.Append();
            t.Fields()[0]->SetAsInteger((k * 37) % 50);
            t.Fields()[1]->SetAsInteger(49 - (k * 37) % 50);
            t.Post();
        }
        t.Close();
    }
    for (const char* column : {"A", "B"}) {
        SCOPED_TRACE(column);
        auto q = Query(env, std::string("select a, b from k order by ") + column);
        q->Open();
        int previous = -1;
        int n = 0;
        for (q->First(); !q->Eof(); q->Next(), ++n) {
            const int v = q->FieldByName(column)->AsInteger();
            EXPECT_GT(v, previous);
            previous = v;
        }
        EXPECT_EQ(n, 50);
        TORQTable* result = q->Processor()->Statement()->GetResultTable();
        const bool temporary = result->IndexName().rfind("TEMPORARY_INDEX_", 0) == 0;
        // The indexed column is read through its index: the copy needs none of its own.
        EXPECT_EQ(temporary, std::string(column) == "B");
        q->CloseDataSet();
    }
    EXPECT_EQ(ResultTablesLeft(), 0);

    // A live result is the table itself: an unindexed order takes a temporary index of
    // the table's, which on disk goes when the table's last user closes (a MEMORY
    // table keeps its own for later queries).
    auto temporaryIndexes = [&] {
        TORQTable t;
        t.SetDatabaseName(env.Name());
        t.SetTableName("K");
        t.Open();
        int n = 0;
        const TORQIndexDefs& defs = t.Cursor()->TableData->IndexManager->IndexDefs;
        for (int32_t i = 0; i < defs.GetCount(); ++i)
            if (defs.GetItem(i)->Name.rfind("TEMPORARY_INDEX_", 0) == 0) ++n;
        return n;
    };
    auto live = Query(env, "select a, b from k order by b", true);
    live->Open();
    EXPECT_EQ(live->FieldByName("B")->AsInteger(), 0);
    EXPECT_EQ(temporaryIndexes(), 1);
    live->CloseDataSet();
    if (GetParam() == ekDisk) EXPECT_EQ(temporaryIndexes(), 0);
}

TEST_P(QueryTest, OrderAndGroupSpillPastTheMemoryLimit) {
    TEngineEnv env(GetParam());
    const int n = 5000;
    std::vector<int64_t> sums(7, 0);
    std::vector<int> counts(7, 0);
    {
        TORQTable t;
        t.SetDatabaseName(env.Name());
        t.SetTableName("R");
        for (const char* name : {"A", "G"}) {
            TORQAdvFieldDef* f = t.AdvFieldDefs().Add();
            f->Name = name;
            f->DataType = aftInteger;
        }
        // Wide records: few of them fit a result table's share of the memory.
        TORQAdvFieldDef* f = t.AdvFieldDefs().Add();
        f->Name = "WIDE";
        f->DataType = aftVarChar;
        f->Size = 400;
        t.CreateTable();
        t.Open();
        for (int i = 0; i < n; ++i) {
            const int a = (i * 7919) % n, g = i % 7;
            t.Append();
            t.Fields()[0]->SetAsInteger(a);
            t.Fields()[1]->SetAsInteger(g);
            t.Post();
            sums[static_cast<size_t>(g)] += a;
            ++counts[static_cast<size_t>(g)];
        }
        t.Close();
    }
    // A result table keeps a tenth of the available memory in records, the rest in its
    // spill file: with a limit a few MB above what is in use, that is fewer records
    // than the table has.
    const int64_t limit = GlobalMemoryManager().UsedMemory() + 4 * 1024 * 1024;
    ASSERT_LT(limit / 10 / 400, n);
    GlobalMemoryManager().SetMemoryLimit(limit);
    struct TRestore {
        ~TRestore() { GlobalMemoryManager().SetMemoryLimit(0); }
    } restore;
    auto q = Query(env, "select a, g, wide from r order by g, a desc");
    q->Open();
    int rows = 0, g = -1, a = n;
    for (q->First(); !q->Eof(); q->Next(), ++rows) {
        const int ng = q->Fields()[1]->AsInteger(), na = q->Fields()[0]->AsInteger();
        EXPECT_TRUE(ng > g || (ng == g && na < a)) << rows;
        g = ng;
        a = na;
    }
    EXPECT_EQ(rows, n);
    q->CloseDataSet();
    auto group = Query(env, "select g, count(*), sum(a) from r group by g order by g");
    group->Open();
    int k = 0;
    for (group->First(); !group->Eof(); group->Next(), ++k) {
        EXPECT_EQ(group->Fields()[0]->AsInteger(), k);
        EXPECT_EQ(group->Fields()[1]->AsInteger(), counts[static_cast<size_t>(k)]);
        EXPECT_EQ(group->Fields()[2]->AsLargeInt(), sums[static_cast<size_t>(k)]);
    }
    EXPECT_EQ(k, 7);
}

INSTANTIATE_TEST_SUITE_P(Engines, QueryTest, ::testing::Values(ekMemory, ekDisk),
                         [](const auto& Info) { return std::string(dstest::KindName(Info.param)); });

class QueryComponent : public EngineTest {};

TEST_F(QueryComponent, LifeCycleLeavesNoResultTables) {
    TEngineEnv env(ekMemory);
    MakeTable(env, "P", People);
    {
        auto q = Query(env, "select name from p where id > 1");
        q->Open();
        EXPECT_EQ(q->RecordCount(), 3);
        q->Close();
        q->Open();
        EXPECT_EQ(q->RecordCount(), 3);
        q->SQL().SetText("select name from p where id > 2");
        EXPECT_FALSE(q->Active());
        EXPECT_FALSE(q->Prepared());
        q->Open();
        EXPECT_EQ(q->RecordCount(), 2);
        // Destroyed while open.
    }
    EXPECT_EQ(ResultTablesLeft(), 0);
}

TEST_F(QueryComponent, RefreshRunsACopiedResultAgain) {
    TEngineEnv env(ekMemory);
    MakeTable(env, "P", People);
    auto q = Query(env, "select name from p where id > 3");
    q->Open();
    EXPECT_EQ(q->RecordCount(), 1);
    TORQTable t;
    t.SetDatabaseName(env.Name());
    t.SetTableName("P");
    t.Open();
    t.Append();
    t.Fields()[0]->SetAsInteger(7);
    t.Post();
    t.Close();
    EXPECT_EQ(q->RecordCount(), 1);
    q->Refresh();
    EXPECT_EQ(q->RecordCount(), 2);
}

TORQExprNodeSubquery* FindSubquery(TORQExprNode* Node) {
    if (Node == nullptr) return nullptr;
    if (auto* s = dynamic_cast<TORQExprNodeSubquery*>(Node)) return s;
    for (int32_t i = 0; i < Node->ChildCount(); ++i)
        if (TORQExprNodeSubquery* s = FindSubquery(Node->Child(i))) return s;
    return nullptr;
}

TEST_F(QueryComponent, ASubqueryIsCorrelatedWhenItsTreeCannotStandAlone) {
    TEngineEnv env(ekMemory);
    MakeTable(env, "P", People);
    MakeTable(env, "D", Depts);
    auto q = Query(env, "select 1 from d");
    q->Prepare();
    struct Case {
        const char* Text;
        bool InSelectList;
        uint8_t Correlated;
    };
    const Case cases[] = {
        {"select * from p where dept in (select dept from d)", false, 0},
        {"select * from p where exists (select * from d where dept = 10)", false, 0},
        {"select * from p where exists (select * from d where d.dept = p.dept)", false, 1},
        {"select * from p x where exists (select * from p y where y.id <> x.id and y.dept = x.dept)", false, 1},
        {"select * from p where id = (select max(id) from p)", false, 0},
        {"select (select title from d where d.dept = p.dept) from p", true, 1},
        {"select (select count(*) from d) from p", true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Text);
        TORQLexer lexer(c.Text, nullptr);
        lexer.NextCommand();
        TORQSQLUnion statement(lexer, q.get());
        TORQSQLSelect& select = *statement.Root->Select;
        TORQExprNode* root = c.InSelectList ? select.SelectList[0].Expression->Root() : select.Where->Root();
        TORQExprNodeSubquery* node = FindSubquery(root);
        ASSERT_NE(node, nullptr);
        EXPECT_EQ(node->IsCorrelated, c.Correlated);
    }
    q->UnPrepare();
}

TEST_F(QueryComponent, ATableOfAnotherFileOpensThroughADatabaseOfItsOwn) {
    TEngineEnv env(ekMemory);
    MakeTable(env, "P", People);
    disktest::TempDir dir;
    const std::string file = dir.File("OTHER.ORQ");
    {
        TORQDatabase other(nullptr);
        other.SetDatabaseName("OTHER_DB");
        other.SetDatabaseFileName(file);
        other.CreateDatabase();
        other.Open();
        TORQTable t;
        t.SetDatabaseName("OTHER_DB");
        t.SetTableName("X");
        TORQAdvFieldDef* f = t.AdvFieldDefs().Add();
        f->Name = "ID";
        f->DataType = aftInteger;
        t.CreateTable();
        t.Open();
        for (int i : {2, 4}) {
            t.Append();
            t.Fields()[0]->SetAsInteger(i);
            t.Post();
        }
        t.Close();
        other.Close();
    }
    auto tempDatabases = [] {
        int n = 0;
        for (int32_t i = 0; i < DefaultSession().DatabaseCount(); ++i)
            if (DefaultSession().Databases(i)->DatabaseName().rfind("TEMP_DB", 0) == 0) ++n;
        return n;
    };
    {
        auto q = Query(env, "select p.name from p, \"" + file + "\".x where p.id = x.id order by p.name");
        EXPECT_EQ(Show(Open(*q)), Show({{"bob"}, {"dan"}}));
        EXPECT_EQ(tempDatabases(), 1);
    }
    // The database component made for the file goes with the statement.
    EXPECT_EQ(tempDatabases(), 0);
}

TEST_F(QueryComponent, ParametersFollowTheirNames) {
    TEngineEnv env(ekMemory);
    MakeTable(env, "P", People);
    auto q = Query(env, "select name from p where id >= :low and name <> \":\" order by id");
    ASSERT_EQ(q->Params().Count(), 1);
    q->ParamByName("low")->SetAsInteger(3);
    EXPECT_EQ(Show(Open(*q)), Show({{"cid"}, {"dan"}}));
    q->Close();
    // A new text keeps the value of a parameter of the same name.
    q->SQL().SetText("select name from p where id < :low order by id");
    EXPECT_EQ(q->ParamByName("low")->AsInteger(), 3);
    EXPECT_EQ(Show(Open(*q)), Show({{"ann"}, {"bob"}}));
}

TEST_F(QueryComponent, DetailReopensWhenTheMasterMoves) {
    TEngineEnv env(ekMemory);
    MakeTable(env, "P", People);
    MakeTable(env, "D", Depts);
    auto master = Query(env, "select dept, title from d order by dept");
    master->Open();
    classlib::TDataSource source(nullptr);
    source.SetDataSet(master.get());
    auto detail = Query(env, "select name from p where dept = :dept order by name");
    detail->SetDataSource(&source);
    EXPECT_EQ(Show(Open(*detail)), Show({{"ann"}, {"cid"}}));
    master->Next();
    EXPECT_EQ(Show(Read(*detail)), Show({{"bob"}}));
    master->Next();
    EXPECT_EQ(detail->RecordCount(), 0);
    std::vector<classlib::TField*> m, d;
    detail->GetDetailLinkFields(m, d);
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0]->FieldName(), "dept");
    EXPECT_TRUE(d.empty());
    classlib::TDataSource self(nullptr);
    self.SetDataSet(detail.get());
    EXPECT_NE(Raised([&] { detail->SetDataSource(&self); }).find("Circular datalinks are not allowed"),
              std::string::npos);
}

TEST_F(QueryComponent, DetailStaysWhileTheMasterEditsAKey) {
    TEngineEnv env(ekMemory);
    MakeTable(env, "P", People);
    MakeTable(env, "D", Depts);
    TORQTable master;
    master.SetDatabaseName(env.Name());
    master.SetTableName("D");
    master.Open();
    classlib::TDataSource source(nullptr);
    source.SetDataSet(&master);
    auto detail = Query(env, "select name from p where dept = :dept order by name");
    detail->SetDataSource(&source);
    int opens = 0;
    detail->AfterOpen = [&](classlib::TDataSet*) { ++opens; };
    detail->Open();
    EXPECT_EQ(opens, 1);
    master.SetKey();
    master.FieldByName("DEPT")->SetAsInteger(20);
    // Editing the key changes no current record: the detail keeps its rows.
    EXPECT_EQ(opens, 1);
    EXPECT_EQ(Show(Read(*detail)), Show({{"ann"}, {"cid"}}));
    master.Cancel();
    master.First();
    master.Next();
    EXPECT_GT(opens, 1);
    EXPECT_EQ(Show(Read(*detail)), Show({{"bob"}}));
}

TEST_F(QueryComponent, ParameterTypesReachTheStatement) {
    TEngineEnv env(ekMemory);
    const TData days = {{{"ID", aftInteger}, {"DDAY", aftDate}, {"TTIME", aftTimeStamp}},
                        {{"1", "2024-03-01", "2024-03-01 10:00:00"}, {"2", "2024-03-02", "2024-03-02 11:30:00"}}};
    MakeTable(env, "DAYS", days);
    auto q = Query(env, "select id from days where dday = :d and ttime > :t");
    q->ParamByName("d")->SetAsDateTime(classlib::EncodeDate(2024, 3, 2));
    q->ParamByName("t")->SetAsDateTime(classlib::EncodeDate(2024, 3, 2) + classlib::EncodeTime(11, 0, 0, 0));
    EXPECT_EQ(Show(Open(*q)), Show({{"2"}}));
    q->Close();
    // A Null date parameter asks for a Null date: none here.
    q->ParamByName("d")->Clear();
    EXPECT_EQ(Open(*q).size(), 0u);
}

TEST_F(QueryComponent, ErrorsAndRowsAffected) {
    TEngineEnv env(ekMemory);
    MakeTable(env, "P", People);
    TORQQuery empty;
    empty.SetDatabaseName(env.Name());
    EXPECT_EQ(NativeCode([&] { empty.Open(); }), 20034);
    EXPECT_EQ(empty.RowsAffected(), -1);
    // Preparing without a text: nothing for the processor.
    EXPECT_EQ(NativeCode([&] { empty.Prepare(); }), 30142);
    auto q = Query(env, "select * from p");
    q->Open();
    EXPECT_EQ(NativeCode([&] { q->Prepare(); }), 30141);
    q->Close();
    q->ExecSQL();
    // A SELECT adds nothing to the rows affected; its count goes with the result.
    EXPECT_EQ(q->RowsAffected(), 0);
    // A total beyond the Int32 range shows as its largest value, never wrapped.
    q->Processor()->RowsAffected = INT64_C(1) << 32;
    EXPECT_EQ(q->RowsAffected(), 2147483647);
    q->UnPrepare();
    EXPECT_EQ(q->RowsAffected(), -1);
    // A text without a result keeps its count when unprepared.
    auto t = Query(env, "start transaction; commit");
    t->ExecSQL();
    t->UnPrepare();
    EXPECT_EQ(t->RowsAffected(), 0);
}

TEST_F(QueryComponent, ThreeStatementsRunInOrderUntilOneFails) {
    TEngineEnv env(ekDisk);
    MakeTable(env, "P", People);
    auto q = Query(env, "start transaction; select * from p; select * from nowhere");
    EXPECT_NE(NativeCode([&] { q->ExecSQL(); }), 0);
    // The first statement stays done: the transaction is open.
    EXPECT_TRUE(env.Db->InTransaction());
    env.Db->Rollback();
}

TEST_F(QueryComponent, TransactionStatementsRunOnTheDatabase) {
    TEngineEnv env(ekDisk);
    MakeTable(env, "P", People);
    auto run = [&](const std::string& Text) {
        auto q = Query(env, Text);
        q->ExecSQL();
    };
    auto count = [&] {
        auto q = Query(env, "select count(*) from p");
        q->Open();
        return q->Fields()[0]->AsInteger();
    };
    auto add = [&](int Id) {
        TORQTable t;
        t.SetDatabaseName(env.Name());
        t.SetTableName("P");
        t.Open();
        t.Append();
        t.Fields()[0]->SetAsInteger(Id);
        t.Post();
    };
    run("start transaction");
    add(10);
    EXPECT_EQ(count(), 5);
    EXPECT_EQ(Raised([&] { run("start transaction"); }), "Database is already within a transaction");
    run("rollback work");
    EXPECT_EQ(count(), 4);
    run("start transaction");
    add(11);
    run("commit work flush");
    EXPECT_EQ(count(), 5);
    EXPECT_EQ(NativeCode([&] { run("commit"); }), 20229);
    EXPECT_EQ(NativeCode([&] { run("rollback"); }), 20229);
}

TEST_F(QueryComponent, MemoryTablesKeepTheirRowsAfterARollback) {
    TEngineEnv env(ekMemory);
    MakeTable(env, "P", People);
    auto q = Query(env, "start transaction");
    q->ExecSQL();
    TORQTable t;
    t.SetDatabaseName(env.Name());
    t.SetTableName("P");
    t.Open();
    t.Append();
    t.Fields()[0]->SetAsInteger(9);
    t.Post();
    t.Close();
    q->SQL().SetText("rollback");
    q->ExecSQL();
    auto c = Query(env, "select count(*) from p");
    c->Open();
    EXPECT_EQ(c->Fields()[0]->AsInteger(), 5);
}

}  // namespace
