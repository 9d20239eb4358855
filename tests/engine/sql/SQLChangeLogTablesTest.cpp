// The receiver's log tables made by SQL on disk read back as the receiver makes them;
// definitions in another, encrypted file addressed as db.t; and a reader process never
// sees a multi-row UPDATE half done.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "RelationalAlgebraFixture.h"

#include "engine/access/ORQDatabase.h"
#include "engine/access/ORQQuery.h"

using namespace ratest;

namespace {

class SQLLogTables : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        Path = Dir.File("NAVTEX.ORQ");
        Db = Open("LDB", Path);
        Db->CreateDatabase();
        Db->Open();
    }
    void TearDown() override {
        Db.reset();
        EngineTest::TearDown();
    }
    static std::unique_ptr<TORQDatabase> Open(const std::string& Name, const std::string& File) {
        auto db = std::make_unique<TORQDatabase>(nullptr);
        db->SetDatabaseName(Name);
        db->SetDatabaseFileName(File);
        db->Exclusive = false;
        db->SilentMode = true;
        return db;
    }
    static void Exec(const std::string& Text, const std::string& Db = "LDB") {
        TORQQuery q;
        q.SetDatabaseName(Db);
        q.SQL().SetText(Text);
        q.ExecSQL();
    }
    static std::string Text(const std::string& Sql, const std::string& Db = "LDB") {
        TORQQuery q;
        q.SetDatabaseName(Db);
        q.SQL().SetText(Sql);
        q.Open();
        return q.Fields()[0]->IsNull() ? "<null>" : q.Fields()[0]->AsString();
    }

    disktest::TempDir Dir;
    std::string Path;
    std::unique_ptr<TORQDatabase> Db;
};

struct TShape {
    const char* Name;
    uint8_t Type;
    int32_t Size;
};

const TShape kLog[] = {{"UTCRECEIVED", aftDateTime, 0}, {"FREQ", aftInteger, 0},    {"SIGQUAL", aftDouble, 0},
                       {"IDLETTER", aftVarChar, 1},     {"MSGTYPE", aftVarChar, 1}, {"MSGNUMBER", aftVarChar, 4},
                       {"NAVAREA", aftSmallInt, 0},     {"STATION", aftVarChar, 75}, {"MSGTEXT", aftMemo, 0},
                       {"DIST", aftInteger, 0}};
const TShape kStations[] = {
    {"NAVAREA", aftSmallInt, 0},     {"FREQ", aftDouble, 0},       {"IDLETTER", aftChar, 1},
    {"CALLSIGN", aftVarChar, 8},     {"LOCATION", aftVarChar, 40}, {"COUNTRY", aftVarChar, 25},
    {"COUNTRYCODE", aftVarChar, 10}, {"LAT", aftDouble, 0},        {"LON", aftDouble, 0},
    {"T1", aftVarChar, 10},          {"T2", aftVarChar, 10},       {"T3", aftVarChar, 10},
    {"T4", aftVarChar, 10},          {"T5", aftVarChar, 10},       {"T6", aftVarChar, 10},
    {"IDTEXT", aftVarChar, 300},     {"UNIQUEID", aftVarChar, 300}};

// The table as the receiver provisions it: through the advanced definitions.
template <std::size_t N>
void Provision(const std::string& Name, const TShape (&Fields)[N], const char* Index, const char* Columns,
               classlib::TIndexOptions Options, const char* Sizes) {
    TORQTable t;
    t.SetDatabaseName("LDB");
    t.SetTableName(Name);
    for (const TShape& f : Fields) {
        TORQAdvFieldDef* d = t.AdvFieldDefs().Add();
        d->Name = f.Name;
        d->DataType = f.Type;
        d->Size = f.Size;
    }
    TORQAdvIndexDef* i = t.AdvIndexDefs().Add();
    i->Name = Index;
    i->Fields = Columns;
    i->Options = Options;
    i->MaxIndexedSizes = Sizes;
    t.CreateTable();
}

struct TReadBack {
    std::vector<std::string> Fields;   // name type size required
    std::vector<std::string> Indexes;  // name fields options
};

TReadBack ReadBack(const std::string& Name) {
    TORQTable t;
    t.SetDatabaseName("LDB");
    t.SetTableName(Name);
    t.Open();
    TReadBack r;
    for (int32_t i = 0; i < t.AdvFieldDefs().Count(); ++i) {
        const TORQAdvFieldDef* d = t.AdvFieldDefs().GetItem(i);
        r.Fields.push_back(d->Name + " " + std::to_string(d->DataType) + " " + std::to_string(d->Size) + " " +
                           std::to_string(d->Required));
    }
    for (int32_t i = 0; i < t.AdvIndexDefs().Count(); ++i) {
        const TORQAdvIndexDef* d = t.AdvIndexDefs().GetItem(i);
        // A primary index is unique whether or not its options say so.
        const char* kind = (d->Options & classlib::ixPrimary) ? "primary" : (d->Options & classlib::ixUnique) ? "unique" : "plain";
        std::string fields = d->Fields;
        for (char& c : fields)
            if (c == ',') c = ';';
        r.Indexes.push_back(d->Name + " " + fields + " " + kind);
    }
    t.Close();
    return r;
}

template <std::size_t N>
std::vector<std::string> Expected(const TShape (&Fields)[N]) {
    std::vector<std::string> r;
    for (const TShape& f : Fields)
        r.push_back(std::string(f.Name) + " " + std::to_string(f.Type) + " " + std::to_string(f.Size) + " 0");
    return r;
}

TEST_F(SQLLogTables, LogTablesMadeBySQLReadBackAsProvisioned) {
    Exec("create table NAVTEXLOG (UTCRECEIVED datetime, FREQ integer, SIGQUAL double, IDLETTER varchar(1), "
         "MSGTYPE varchar(1), MSGNUMBER varchar(4), NAVAREA smallint, STATION varchar(75), MSGTEXT memo, "
         "DIST integer, primary key IDX_DT (UTCRECEIVED))");
    Exec("create table STATIONS (NAVAREA smallint, FREQ double, IDLETTER char(1), CALLSIGN varchar(8), "
         "LOCATION varchar(40), COUNTRY varchar(25), COUNTRYCODE varchar(10), LAT double, LON double, "
         "T1 varchar(10), T2 varchar(10), T3 varchar(10), T4 varchar(10), T5 varchar(10), T6 varchar(10), "
         "IDTEXT varchar(300), UNIQUEID varchar(300))");
    Exec("create index IDX_NAVLOC on STATIONS (NAVAREA, LOCATION)");
    Provision("REFLOG", kLog, "IDX_DT", "UTCRECEIVED", classlib::ixPrimary | classlib::ixUnique, "");
    Provision("REFSTATIONS", kStations, "IDX_NAVLOC", "NAVAREA;LOCATION", 0, "0;40");

    const TReadBack log = ReadBack("NAVTEXLOG"), refLog = ReadBack("REFLOG");
    EXPECT_EQ(log.Fields, Expected(kLog));
    EXPECT_EQ(log.Fields, refLog.Fields);
    EXPECT_EQ(log.Indexes, refLog.Indexes);
    const TReadBack st = ReadBack("STATIONS"), refSt = ReadBack("REFSTATIONS");
    EXPECT_EQ(st.Fields, Expected(kStations));
    EXPECT_EQ(st.Fields, refSt.Fields);
    EXPECT_EQ(st.Indexes, refSt.Indexes);

    // A message text longer than a page goes through the memo's blocks and back whole.
    std::string message = "ZCZC FA12\r\n";
    for (int i = 0; message.size() < 9000; ++i) message += "GALE WARNING " + std::to_string(i) + " NAVAREA I\r\n";
    message += "NNNN";
    Exec("insert into NAVTEXLOG (UTCRECEIVED, FREQ, IDLETTER, MSGTYPE, MSGNUMBER, NAVAREA, MSGTEXT) values "
         "('2026-12-10 23:00:00', 518, 'F', 'A', '12', 1, '" + message + "')");
    EXPECT_ANY_THROW(Exec("insert into NAVTEXLOG (UTCRECEIVED, FREQ) values ('2026-12-10 23:00:00', 490)"));
    EXPECT_EQ(Text("select MSGTEXT from NAVTEXLOG where MSGNUMBER = '12'"), message);
    EXPECT_EQ(Text("select count(*) from NAVTEXLOG where MSGTEXT like '%GALE WARNING 7 %'"), "1");
    Exec("update NAVTEXLOG set MSGTEXT = 'short'");
    EXPECT_EQ(Text("select MSGTEXT from NAVTEXLOG"), "short");
}

TEST_F(SQLLogTables, DefinitionsGoIntoAnotherEncryptedFile) {
    const std::string other = Dir.File("OTHER.ORQ");
    {
        auto db = Open("ODB", other);
        db->Password = "s3cret";
        db->EncryptionAlgorithm = 1;
        db->CreateDatabase();
    }
    const std::string target = "\"" + other + "\".w password 's3cret'";
    Exec("create table " + target + " (id integer not null, name varchar(20), primary key (id))");
    Exec("create index W_NAME on " + target + " (name desc)");
    Exec("insert into " + target + " (id, name) values (1, 'alpha'), (2, 'beta')");
    Exec("alter table " + target + " add (note memo)");
    Exec("update " + target + " set note = name || '!'");

    auto db = Open("ODB", other);
    db->Password = "s3cret";
    db->Open();
    TORQTable t;
    t.SetDatabaseName("ODB");
    t.SetTableName("W");
    t.Open();
    ASSERT_NE(t.AdvFieldDefs().Find("NOTE"), nullptr);
    EXPECT_EQ(t.AdvFieldDefs().Find("NOTE")->DataType, aftMemo);
    std::string indexes;
    for (int32_t i = 0; i < t.AdvIndexDefs().Count(); ++i)
        indexes += t.AdvIndexDefs().GetItem(i)->Name + ":" + t.AdvIndexDefs().GetItem(i)->Fields + ":" +
                   t.AdvIndexDefs().GetItem(i)->DescFields + " ";
    EXPECT_EQ(indexes, "C_PK$id:id: W_NAME:name:name ");
    t.Close();
    EXPECT_EQ(Text("select note from w order by id desc", "ODB"), "beta!");
    db->Close();
    const std::vector<uint8_t> bytes = disktest::ReadAll(other);
    const std::string raw(bytes.begin(), bytes.end());
    EXPECT_EQ(raw.find("alpha"), std::string::npos);
    EXPECT_EQ(raw.find("W_NAME"), std::string::npos);
    // Without the password the file does not open.
    auto wrong = Open("WDB", other);
    EXPECT_ANY_THROW(wrong->Open());
    EXPECT_ANY_THROW(Exec("select * from \"" + other + "\".w password 'wrong'"));
}

TEST_F(SQLLogTables, AReaderNeverSeesAnUpdateHalfDone) {
    Exec("create table t (a integer not null, b integer, primary key (a))");
    for (int i = 0; i < 10; ++i) {
        std::string values;
        for (int j = 1; j <= 50; ++j) values += (j > 1 ? "," : "") + ("(" + std::to_string(i * 50 + j) + ", 0)");
        Exec("insert into t (a, b) values " + values);
    }
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        int rc = 0;
        try {
            auto db = Open("RDB", Path);
            db->Open();
            char c = 1;
            if (write(ready[1], &c, 1) != 1) _exit(4);
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
            int reads = 0;
            for (; rc == 0 && std::chrono::steady_clock::now() < end; ++reads) {
                TORQQuery q;
                q.SetDatabaseName("RDB");
                q.SQL().SetText("select count(*), min(b), max(b) from t");
                q.Open();
                if (q.Fields()[0]->AsInteger() != 500 || q.Fields()[1]->AsInteger() != q.Fields()[2]->AsInteger())
                    rc = 1;
            }
            if (reads < 2) rc = 5;
            db->Close();
        } catch (...) {
            rc = 3;
        }
        _exit(rc);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    int updates = 0;
    while (std::chrono::steady_clock::now() < end) {
        Exec("update t set b = b + 1");
        ++updates;
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: a mixed state was seen, 3: the reader failed, 5: it hardly read";
    EXPECT_EQ(Text("select min(b) from t"), std::to_string(updates));
    EXPECT_EQ(Text("select max(b) from t"), std::to_string(updates));
}

}  // namespace

namespace {

// An AUTOINC counter starts at its initial value and holds the last value given, so the
// first record takes the initial value plus the increment, whether the table was made
// by SQL or through the table component and whichever of them appends. The counter
// survives a reopen of the file; TRUNCATE starts it again.
TEST_F(SQLLogTables, AutoincStartsPastItsInitialValue) {
    Exec("create table bysql (id autoinc(initialvalue 10), n integer)");
    Exec("create table bysqlstep (id autoinc(increment 5, initialvalue 10), n integer)");
    auto make = [](const std::string& Name, int64_t Increment) {
        TORQTable t;
        t.SetDatabaseName("LDB");
        t.SetTableName(Name);
        TORQAdvFieldDef* id = t.AdvFieldDefs().Add();
        id->Name = "ID";
        id->DataType = aftAutoInc;
        id->AutoincInitialValue = 10;
        id->AutoincIncrement = Increment;
        TORQAdvFieldDef* n = t.AdvFieldDefs().Add();
        n->Name = "N";
        n->DataType = aftInteger;
        t.CreateTable();
    };
    make("BYTABLE", 1);
    make("BYTABLESTEP", 5);
    auto append = [](const std::string& Name, int N) {
        TORQTable t;
        t.SetDatabaseName("LDB");
        t.SetTableName(Name);
        t.Open();
        t.Append();
        t.FieldByName("N")->SetAsInteger(N);
        t.Post();
        return t.FieldByName("ID")->AsInteger();
    };
    struct Case {
        const char* Table;
        int Step;
    };
    for (const Case& c : {Case{"BYSQL", 1}, Case{"BYSQLSTEP", 5}, Case{"BYTABLE", 1}, Case{"BYTABLESTEP", 5}}) {
        SCOPED_TRACE(c.Table);
        const std::string table = c.Table;
        EXPECT_EQ(append(table, 1), 10 + c.Step);
        Exec("insert into " + table + " (n) values (2)");
        EXPECT_EQ(Text("select id from " + table + " where n = 2"), std::to_string(10 + 2 * c.Step));
        Db->Close();
        Db->Open();
        EXPECT_EQ(append(table, 3), 10 + 3 * c.Step);
        Exec("truncate table " + table);
        Exec("insert into " + table + " (n) values (4)");
        EXPECT_EQ(Text("select id from " + table), std::to_string(10 + c.Step));
    }
}

}  // namespace

namespace {

// TRUNCATE inside a transaction empties a disk table as part of it: ROLLBACK brings back
// its rows, memos (small and large), index and AUTOINC counter, also for the next open of
// the file; COMMIT keeps it empty, its counter started again. A MEMORY table, emptied in
// place, refuses it (30491 holding 30953) and keeps its rows.
TEST_F(SQLLogTables, TruncateInATransactionFollowsIt) {
    auto memo = [](int N) { return std::string(static_cast<size_t>(100 + N * 47), static_cast<char>('A' + N % 26)); };
    Exec("create table t (id autoinc, n integer, m memo)");
    Exec("create index by_n on t (n)");
    for (int n = 1; n <= 200; ++n) Exec("insert into t (n, m) values (" + std::to_string(n) + ", '" + memo(n) + "')");
    // Rows, the sum of their numbers, memos read by key through the index, the next id.
    auto state = [&] {
        std::string s = Text("select count(*) from t") + "|" + Text("select sum(n) from t");
        TORQTable t;
        t.SetDatabaseName("LDB");
        t.SetTableName("T");
        t.SetIndexName("BY_N");
        t.Open();
        for (int n : {1, 120, 200})
            s += t.FindKey({classlib::Variant::FromInteger(n)}) && t.FieldByName("M")->AsString() == memo(n) ? "|m" : "|-";
        t.Last();
        s += t.IsEmpty() ? "|none" : "|" + t.FieldByName("N")->AsString();
        return s;
    };
    auto nextId = [&] {
        Exec("insert into t (n, m) values (999, 'x')");
        const std::string id = Text("select id from t where n = 999");
        Exec("delete from t where n = 999");
        return id;
    };
    const std::string full = "200|20100|m|m|m|200";
    ASSERT_EQ(state(), full);

    Db->StartTransaction();
    Exec("truncate table t");
    EXPECT_EQ(state(), "0|<null>|-|-|-|none");
    Exec("insert into t (n, m) values (7, 'y')");
    EXPECT_EQ(Text("select id from t"), "1");
    Db->Rollback();
    EXPECT_EQ(state(), full);
    Db->Close();
    Db->Open();
    EXPECT_EQ(state(), full);
    EXPECT_EQ(nextId(), "201");

    Db->StartTransaction();
    Exec("truncate table t");
    Db->Commit(true);
    EXPECT_EQ(state(), "0|<null>|-|-|-|none");
    Db->Close();
    Db->Open();
    EXPECT_EQ(state(), "0|<null>|-|-|-|none");
    EXPECT_EQ(nextId(), "1");

    Exec("create table memory mt (n integer)");
    Exec("insert into memory mt values (1), (2)");
    Db->StartTransaction();
    try {
        Exec("truncate table memory mt");
        ADD_FAILURE() << "TRUNCATE of a MEMORY table in a transaction was let through";
    } catch (const EORQException& e) {
        EXPECT_EQ(e.NativeError(), 30491);
        EXPECT_NE(e.Message().find("30953"), std::string::npos) << e.Message();
    }
    Db->Rollback();
    EXPECT_EQ(Text("select count(*) from memory mt"), "2");
}

}  // namespace
