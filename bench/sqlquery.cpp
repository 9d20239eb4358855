// SELECT through TORQQuery side by side with SQLite in the same run: MEMORY against
// ":memory:", a disk file against an SQLite file in WAL mode (both in a folder of the
// current directory, TILO_BENCH_DIR overrides: run it on a disk-backed file system).
//   point     SELECT by key with a changing parameter (ours with and without
//             RequestLive; SQLite prepared once and prepared per execution)
//   range     1,000 of the rows by the indexed key, ORDER BY that key
//   group10, group1000   GROUP BY over every row into 10 and 1,000 groups
//   join, joinnoindex    every row joined to a 1,000-row table, with and without an
//             index on its key
//   plan      lexing, parsing and the operator tree of a 20-line query against
//             sqlite3_prepare_v2
// and the statement workload of StatementTable.h (at the end).
// TILO_BENCH_ROWS sets the row count (100,000).
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "BenchFolder.h"
#include "StatementTable.h"
#include "engine/access/ORQMain.h"
#include "engine/access/ORQQuery.h"
#include "engine/sql/ORQLexer.h"
#include "engine/sql/ORQRelationalAlgebra.h"
#include "engine/sql/ORQSQLSelect.h"
#include "engine/storage/ORQDiskEngine.h"

namespace {

using namespace orq;

int Rows() {
    const char* e = std::getenv("TILO_BENCH_ROWS");
    const int n = e != nullptr ? std::atoi(e) : 100000;
    return n < 2000 ? 2000 : n;
}

std::filesystem::path BenchDir() {
    static const std::filesystem::path dir = FreshBenchDir("sqlquery");
    return dir;
}

const char* const PlanText =
    "select t.id, t.v, u.w, t.k + 1 as k1\n"
    "from t\n"
    "  inner join u on t.g1000 = u.id\n"
    "where t.id > 10\n"
    "  and t.id < 5000\n"
    "  and (t.k = 3\n"
    "    or t.k = 5\n"
    "    or t.k = 7)\n"
    "  and t.v like 'row%'\n"
    "  and u.w <> 'none'\n"
    "  and t.g10 in (1, 2, 3)\n"
    "  and t.k between 0 and 100\n"
    "  and t.id is not null\n"
    "  and u.id >= 0\n"
    "  and u.id <= 1000\n"
    "  and t.g1000 > 0\n"
    "  and t.g1000 < 999\n"
    "  and t.k <> 99\n"
    "  and t.v <> 'x'\n"
    "order by t.id desc";

// Our side: a database (MEMORY or a file) with T (ID indexed, K, G10, G1000, V) and U
// (ID, W) and UI (the same as U, indexed on ID).
struct TOurs {
    std::unique_ptr<TORQDatabase> Db;
    std::string Name;

    explicit TOurs(bool Disk) {
        if (!EngineStarted()) StartEngine();
        if (Disk) {
            const std::string path = (BenchDir() / "ORQ.ORQ").string();
            std::filesystem::remove(path);
            Db = std::make_unique<TORQDatabase>(nullptr);
            Db->SetDatabaseName("BENCHDB");
            Db->SetDatabaseFileName(path);
            Db->CreateDatabase();
            Db->Open();
            Name = "BENCHDB";
        } else {
            Name = "MEMORY";
        }
        const int n = Rows();
        Make("T", {{"ID", aftInteger}, {"K", aftInteger}, {"G10", aftInteger}, {"G1000", aftInteger}, {"V", aftVarChar}},
             "ID", n, [](TORQTable& t, int i) {
                 t.Fields()[0]->SetAsInteger(i);
                 t.Fields()[1]->SetAsInteger(i % 97);
                 t.Fields()[2]->SetAsInteger(i % 10);
                 t.Fields()[3]->SetAsInteger(i % 1000);
                 t.Fields()[4]->SetAsString("row " + std::to_string(i));
             });
        for (const char* name : {"U", "UI"})
            Make(name, {{"ID", aftInteger}, {"W", aftVarChar}}, std::string(name) == "UI" ? "ID" : "", 1000,
                 [](TORQTable& t, int i) {
                     t.Fields()[0]->SetAsInteger(i);
                     t.Fields()[1]->SetAsString("w" + std::to_string(i));
                 });
    }
    ~TOurs() {
        if (Db) Db->Close();
    }

    template <typename F>
    void Make(const std::string& Table, std::initializer_list<std::pair<const char*, uint8_t>> Fields,
              const std::string& Index, int N, F&& Fill) {
        TORQTable t;
        t.SetDatabaseName(Name);
        t.SetTableName(Table);
        for (const auto& [name, type] : Fields) {
            TORQAdvFieldDef* f = t.AdvFieldDefs().Add();
            f->Name = name;
            f->DataType = type;
            if (type == aftVarChar) f->Size = 20;
        }
        if (!Index.empty()) {
            TORQAdvIndexDef* d = t.AdvIndexDefs().Add();
            d->Name = "IDX_" + Table;
            d->Fields = Index;
        }
        t.CreateTable();
        t.Open();
        for (int i = 0; i < N; ++i) {
            t.Append();
            Fill(t, i);
            t.Post();
        }
        t.Close();
    }

    std::unique_ptr<TORQQuery> Query(const std::string& Text, bool Live = false) {
        auto q = std::make_unique<TORQQuery>();
        q->SetDatabaseName(Name);
        q->RequestLive = Live;
        q->SQL().SetText(Text);
        return q;
    }
};

struct TSQLite {
    sqlite3* Db = nullptr;
    explicit TSQLite(bool Disk) {
        const std::string path = Disk ? (BenchDir() / "sqlite.db").string() : ":memory:";
        if (Disk) std::filesystem::remove(path);
        sqlite3_open(path.c_str(), &Db);
        if (Disk) Exec("pragma journal_mode=wal; pragma synchronous=normal;");
        Exec("create table t (id integer, k integer, g10 integer, g1000 integer, v varchar(20));"
             "create index idx_t on t(id);"
             "create table u (id integer, w varchar(20)); create table ui (id integer, w varchar(20));"
             "create index idx_ui on ui(id);");
        Exec("begin");
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(Db, "insert into t values (?, ?, ?, ?, ?)", -1, &s, nullptr);
        for (int i = 0; i < Rows(); ++i) {
            const std::string v = "row " + std::to_string(i);
            sqlite3_bind_int(s, 1, i);
            sqlite3_bind_int(s, 2, i % 97);
            sqlite3_bind_int(s, 3, i % 10);
            sqlite3_bind_int(s, 4, i % 1000);
            sqlite3_bind_text(s, 5, v.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_step(s);
            sqlite3_reset(s);
        }
        sqlite3_finalize(s);
        for (const char* table : {"u", "ui"}) {
            sqlite3_prepare_v2(Db, (std::string("insert into ") + table + " values (?, ?)").c_str(), -1, &s, nullptr);
            for (int i = 0; i < 1000; ++i) {
                const std::string w = "w" + std::to_string(i);
                sqlite3_bind_int(s, 1, i);
                sqlite3_bind_text(s, 2, w.c_str(), -1, SQLITE_TRANSIENT);
                sqlite3_step(s);
                sqlite3_reset(s);
            }
            sqlite3_finalize(s);
        }
        Exec("commit");
    }
    ~TSQLite() { sqlite3_close(Db); }
    void Exec(const char* Text) { sqlite3_exec(Db, Text, nullptr, nullptr, nullptr); }
    // Steps every row; the count.
    int64_t Run(const std::string& Text) {
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(Db, Text.c_str(), -1, &s, nullptr);
        int64_t n = 0;
        while (sqlite3_step(s) == SQLITE_ROW) ++n;
        sqlite3_finalize(s);
        return n;
    }
};

TOurs& Ours(bool Disk) {
    static std::unique_ptr<TOurs> memory, disk;
    auto& o = Disk ? disk : memory;
    if (!o) o = std::make_unique<TOurs>(Disk);
    return *o;
}

TSQLite& Peer(bool Disk) {
    static std::unique_ptr<TSQLite> memory, disk;
    auto& o = Disk ? disk : memory;
    if (!o) o = std::make_unique<TSQLite>(Disk);
    return *o;
}

int64_t ReadAll(TORQQuery& Q) {
    Q.Open();
    int64_t n = 0;
    for (Q.First(); !Q.Eof(); Q.Next()) ++n;
    Q.Close();
    return n;
}

// ---- point SELECT by key ----

void OursPoint(benchmark::State& State, bool Disk, bool Live) {
    TOurs& o = Ours(Disk);
    auto q = o.Query("select v from t where id = :id", Live);
    int i = 0;
    for (auto _ : State) {
        q->ParamByName("id")->SetAsInteger((i++ * 7919) % Rows());
        benchmark::DoNotOptimize(ReadAll(*q));
    }
}

void PeerPoint(benchmark::State& State, bool Disk, bool PreparedOnce) {
    TSQLite& p = Peer(Disk);
    sqlite3_stmt* s = nullptr;
    const char* text = "select v from t where id = ?";
    if (PreparedOnce) sqlite3_prepare_v2(p.Db, text, -1, &s, nullptr);
    int i = 0;
    for (auto _ : State) {
        if (!PreparedOnce) sqlite3_prepare_v2(p.Db, text, -1, &s, nullptr);
        sqlite3_bind_int(s, 1, (i++ * 7919) % Rows());
        while (sqlite3_step(s) == SQLITE_ROW) benchmark::DoNotOptimize(sqlite3_column_text(s, 0));
        if (PreparedOnce) sqlite3_reset(s);
        else sqlite3_finalize(s);
    }
    if (PreparedOnce) sqlite3_finalize(s);
}

// ---- whole statements ----

const char* const RangeText = "select id, v from t where id >= 5000 and id < 6000 order by id";
const char* const Group10Text = "select g10, count(*), sum(k) from t group by g10";
const char* const Group1000Text = "select g1000, count(*), sum(k) from t group by g1000";
const char* const JoinText = "select t.id, u.w from t, ui u where t.g1000 = u.id";
const char* const JoinNoIndexText = "select t.id, u.w from t, u where t.g1000 = u.id";

void OursStatement(benchmark::State& State, bool Disk, const char* Text) {
    TOurs& o = Ours(Disk);
    auto q = o.Query(Text);
    int64_t rows = 0;
    for (auto _ : State) rows = ReadAll(*q);
    State.counters["rows"] = static_cast<double>(rows);
}

void PeerStatement(benchmark::State& State, bool Disk, const char* Text) {
    TSQLite& p = Peer(Disk);
    int64_t rows = 0;
    for (auto _ : State) rows = p.Run(Text);
    State.counters["rows"] = static_cast<double>(rows);
}

// ---- parse and plan ----

void OursPlan(benchmark::State& State, bool Disk) {
    TOurs& o = Ours(Disk);
    auto q = o.Query("select 1 from u");  // attaches the database the tree's tables open through
    q->Prepare();
    for (auto _ : State) {
        TORQLexer lexer(PlanText, nullptr);
        lexer.NextCommand();
        TORQSQLUnion statement(lexer, q.get());
        std::unique_ptr<TORQAO> tree = statement.BuildOperatorTree(q.get(), false, false, nullptr, nullptr);
        benchmark::DoNotOptimize(tree.get());
    }
    q->UnPrepare();
}

void PeerPlan(benchmark::State& State, bool Disk) {
    TSQLite& p = Peer(Disk);
    for (auto _ : State) {
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(p.Db, PlanText, -1, &s, nullptr);
        sqlite3_finalize(s);
    }
}

void Register() {
    for (bool disk : {false, true}) {
        const std::string where = disk ? "disk" : "memory";
        benchmark::RegisterBenchmark(("point/orq/" + where).c_str(), OursPoint, disk, false);
        benchmark::RegisterBenchmark(("point/orq-live/" + where).c_str(), OursPoint, disk, true);
        benchmark::RegisterBenchmark(("point/sqlite-prepared-once/" + where).c_str(), PeerPoint, disk, true);
        benchmark::RegisterBenchmark(("point/sqlite-prepared-each/" + where).c_str(), PeerPoint, disk, false);
        for (const auto& [name, text] : {std::pair{"range", RangeText}, std::pair{"group10", Group10Text},
                                         std::pair{"group1000", Group1000Text}, std::pair{"join", JoinText},
                                         std::pair{"joinnoindex", JoinNoIndexText}}) {
            benchmark::RegisterBenchmark((std::string(name) + "/orq/" + where).c_str(), OursStatement, disk, text)
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark((std::string(name) + "/sqlite/" + where).c_str(), PeerStatement, disk, text)
                ->Unit(benchmark::kMillisecond);
        }
        benchmark::RegisterBenchmark(("plan/orq/" + where).c_str(), OursPlan, disk);
        benchmark::RegisterBenchmark(("plan/sqlite/" + where).c_str(), PeerPlan, disk);
    }
}

const int registered = (Register(), 0);

}  // namespace

// ---- the statement workload (StatementTable.h), both sides prepared once ----
//   wide/point   one row by its primary key, a new key each time
//   wide/range   1,000 rows by a primary-key range, a new range each time
//   wide/join    every row of W with its region from D
//   wide/group   W grouped by its 100 names
namespace {

std::filesystem::path WideDir() {
    static const std::filesystem::path dir = FreshBenchDir("sqlquery-wide");
    return dir;
}

stmtbench::TOurs& WideOurs() {
    static stmtbench::TOurs* o = [] {
        auto* p = new stmtbench::TOurs(WideDir(), "WIDEQRY");
        p->LoadRows();
        return p;
    }();
    return *o;
}

stmtbench::TSQLite& WidePeer() {
    static stmtbench::TSQLite* p = [] {
        auto* s = new stmtbench::TSQLite(WideDir());
        s->InsertRows(0, stmtbench::Rows());
        return s;
    }();
    return *p;
}

const char* const WidePointText = "select name, num, txt from w where id = :id";
const char* const WideRangeText = "select id, name, num from w where id >= :lo and id < :hi";
const char* const WideJoinText = "select w.id, d.region from w, d where w.name = d.name";
const char* const WideGroupText = "select name, count(*), sum(num) from w group by name";

void WideOursParams(benchmark::State& State, const char* Text, int Span) {
    auto q = WideOurs().Query(Text);
    q->Prepare();
    const int n = stmtbench::Rows() - Span;
    int i = 0;
    int64_t rows = 0;
    for (auto _ : State) {
        const int key = static_cast<int>((int64_t{i++} * 7919) % n);
        if (Span == 0) {
            q->ParamByName("id")->SetAsInteger(key);
        } else {
            q->ParamByName("lo")->SetAsInteger(key);
            q->ParamByName("hi")->SetAsInteger(key + Span);
        }
        rows = stmtbench::ReadAll(*q);
    }
    State.counters["rows"] = static_cast<double>(rows);
}

void WidePeerParams(benchmark::State& State, const char* Text, int Span) {
    std::string text = Text;
    for (const char* name : {":id", ":lo", ":hi"})
        if (auto at = text.find(name); at != std::string::npos) text.replace(at, 3, "?");
    sqlite3_stmt* s = WidePeer().Prepare(text);
    const int n = stmtbench::Rows() - Span;
    int i = 0;
    int64_t rows = 0;
    for (auto _ : State) {
        const int key = static_cast<int>((int64_t{i++} * 7919) % n);
        sqlite3_bind_int(s, 1, key);
        if (Span != 0) sqlite3_bind_int(s, 2, key + Span);
        rows = stmtbench::TSQLite::StepAll(s);
    }
    sqlite3_finalize(s);
    State.counters["rows"] = static_cast<double>(rows);
}

void WideOursWhole(benchmark::State& State, const char* Text) {
    auto q = WideOurs().Query(Text);
    q->Prepare();
    int64_t rows = 0;
    for (auto _ : State) rows = stmtbench::ReadAll(*q);
    State.counters["rows"] = static_cast<double>(rows);
}

void WidePeerWhole(benchmark::State& State, const char* Text) {
    sqlite3_stmt* s = WidePeer().Prepare(Text);
    int64_t rows = 0;
    for (auto _ : State) rows = stmtbench::TSQLite::StepAll(s);
    sqlite3_finalize(s);
    State.counters["rows"] = static_cast<double>(rows);
}

const int wideRegistered = [] {
    benchmark::RegisterBenchmark("wide/point/orq", WideOursParams, WidePointText, 0);
    benchmark::RegisterBenchmark("wide/point/sqlite", WidePeerParams, WidePointText, 0);
    benchmark::RegisterBenchmark("wide/range/orq", WideOursParams, WideRangeText, 1000)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("wide/range/sqlite", WidePeerParams, WideRangeText, 1000)
        ->Unit(benchmark::kMicrosecond);
    for (const auto& [name, text] : {std::pair{"join", WideJoinText}, std::pair{"group", WideGroupText}}) {
        benchmark::RegisterBenchmark((std::string("wide/") + name + "/orq").c_str(), WideOursWhole, text)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("wide/") + name + "/sqlite").c_str(), WidePeerWhole, text)
            ->Unit(benchmark::kMillisecond);
    }
    return 0;
}();

}  // namespace
