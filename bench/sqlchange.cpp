// INSERT ... SELECT and UPDATE through TORQQuery side by side with SQLite in the same run:
// MEMORY against ":memory:", a disk file against an SQLite file in WAL mode (both in a
// folder of the current directory, TILO_BENCH_DIR overrides: run it on a disk-backed file
// system). Each statement is its own transaction unless named otherwise.
//   insertselect   every row of S copied into a new table with an index on its key
//   updaterange    10 % of the rows chosen by an indexed range
//   updatescan     10 % of the rows chosen by an unindexed condition
//   updatetx       the indexed-range UPDATE inside a transaction (ours: its undo list)
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
#include "engine/access/ORQDatabase.h"
#include "engine/access/ORQMain.h"
#include "engine/access/ORQQuery.h"
#include "engine/access/ORQTable.h"
#include "engine/foundation/ORQTypesRoutines.h"

namespace {

using namespace orq;

int Rows() {
    const char* e = std::getenv("TILO_BENCH_ROWS");
    const int n = e != nullptr ? std::atoi(e) : 100000;
    return n < 1000 ? 1000 : n;
}

std::filesystem::path BenchDir() {
    static const std::filesystem::path dir = FreshBenchDir("sqlchange");
    return dir;
}

const std::string kRange = " where id >= 1000 and id < 1000 + ";
std::string RangeEnd() { return std::to_string(Rows() / 10); }

struct TOurs {
    std::unique_ptr<TORQDatabase> Db;
    std::string Name;

    explicit TOurs(bool Disk) {
        if (!EngineStarted()) StartEngine();
        Name = "MEMORY";
        if (Disk) {
            const std::string path = (BenchDir() / "ORQ.ORQ").string();
            std::filesystem::remove(path);
            Db = std::make_unique<TORQDatabase>(nullptr);
            Db->SetDatabaseName("CHANGEDB");
            Db->SetDatabaseFileName(path);
            Db->CreateDatabase();
            Db->Open();
            Name = "CHANGEDB";
        }
        Exec("drop table s");
        Exec("create table s (id integer, k integer, g10 integer, v varchar(20), primary key (id))");
        TORQTable t;
        t.SetDatabaseName(Name);
        if (!Disk) t.SetInMemory(true);
        t.SetTableName("S");
        t.Open();
        // Written in batches of 1,000 rows (as a table import does): a post of its own
        // syncs the disk file for every row, which makes the setup take minutes.
        t.Cursor()->BeginUpdateBatch();
        for (int i = 0; i < Rows(); ++i) {
            t.Append();
            t.Fields()[0]->SetAsInteger(i);
            t.Fields()[1]->SetAsInteger(i % 97);
            t.Fields()[2]->SetAsInteger(i % 10);
            t.Fields()[3]->SetAsString("row " + std::to_string(i));
            t.Post();
            if ((i + 1) % 1000 == 0) {
                t.Cursor()->CommitBatch();
                t.Cursor()->BeginUpdateBatch();
            }
        }
        t.Cursor()->CommitBatch();
        t.Close();
    }
    ~TOurs() {
        Exec("drop table s");
        Exec("drop table d");
        if (Db) Db->Close();
    }
    int64_t Exec(const std::string& Text) {
        TORQQuery q;
        q.SetDatabaseName(Name);
        if (!Db) q.SetInMemory(true);
        q.SQL().SetText(Text);
        q.ExecSQL();
        return q.RowsAffected();
    }
};

struct TSQLite {
    sqlite3* Db = nullptr;
    explicit TSQLite(bool Disk) {
        const std::string path = Disk ? (BenchDir() / "sqlite.db").string() : ":memory:";
        if (Disk) std::filesystem::remove(path);
        sqlite3_open(path.c_str(), &Db);
        if (Disk) Exec("pragma journal_mode=wal");
        Exec("create table s (id integer primary key, k integer, g10 integer, v varchar(20))");
        Exec("begin");
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(Db, "insert into s values (?, ?, ?, ?)", -1, &st, nullptr);
        for (int i = 0; i < Rows(); ++i) {
            const std::string v = "row " + std::to_string(i);
            sqlite3_bind_int(st, 1, i);
            sqlite3_bind_int(st, 2, i % 97);
            sqlite3_bind_int(st, 3, i % 10);
            sqlite3_bind_text(st, 4, v.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_step(st);
            sqlite3_reset(st);
        }
        sqlite3_finalize(st);
        Exec("commit");
    }
    ~TSQLite() { sqlite3_close(Db); }
    void Exec(const std::string& Text) {
        char* error = nullptr;
        if (sqlite3_exec(Db, Text.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
            std::string e = error != nullptr ? error : "?";
            sqlite3_free(error);
            throw std::runtime_error(e);
        }
    }
};

// Made once per side and kept to the end of the process: the engine's own state goes
// with the process, so nothing is torn down after main returns.
template <typename T>
T& Shared(bool Disk) {
    static T* memory = nullptr;
    static T* disk = nullptr;
    T*& p = Disk ? disk : memory;
    if (p == nullptr) p = new T(Disk);
    return *p;
}

void OursInsertSelect(benchmark::State& State) {
    TOurs& o = Shared<TOurs>(State.range(0) != 0);
    for (auto _ : State) {
        State.PauseTiming();
        o.Exec("drop table d");
        o.Exec("create table d (id integer, k integer, g10 integer, v varchar(20), primary key (id))");
        State.ResumeTiming();
        benchmark::DoNotOptimize(o.Exec("insert into d select * from s"));
    }
    State.SetItemsProcessed(State.iterations() * Rows());
}

void SQLiteInsertSelect(benchmark::State& State) {
    TSQLite& s = Shared<TSQLite>(State.range(0) != 0);
    for (auto _ : State) {
        State.PauseTiming();
        s.Exec("drop table if exists d");
        s.Exec("create table d (id integer primary key, k integer, g10 integer, v varchar(20))");
        State.ResumeTiming();
        s.Exec("insert into d select * from s");
    }
    State.SetItemsProcessed(State.iterations() * Rows());
}

std::string UpdateText(int Kind) {
    if (Kind == 1) return "update s set k = k + 1 where g10 = 3";
    return "update s set k = k + 1" + kRange + RangeEnd();
}

// Kind: 0 indexed range, 1 unindexed condition, 2 indexed range inside a transaction.
void OursUpdate(benchmark::State& State) {
    TOurs& o = Shared<TOurs>(State.range(0) != 0);
    const int kind = static_cast<int>(State.range(1));
    for (auto _ : State) {
        if (kind == 2 && o.Db) o.Db->StartTransaction();
        benchmark::DoNotOptimize(o.Exec(UpdateText(kind)));
        if (kind == 2 && o.Db) o.Db->Commit(false);
    }
    State.SetItemsProcessed(State.iterations() * (Rows() / 10));
}

void SQLiteUpdate(benchmark::State& State) {
    TSQLite& s = Shared<TSQLite>(State.range(0) != 0);
    const int kind = static_cast<int>(State.range(1));
    for (auto _ : State) {
        if (kind == 2) s.Exec("begin");
        s.Exec(UpdateText(kind));
        if (kind == 2) s.Exec("commit");
    }
    State.SetItemsProcessed(State.iterations() * (Rows() / 10));
}

}  // namespace

// Argument 0: MEMORY / ":memory:"; 1: disk file / WAL file.
BENCHMARK(OursInsertSelect)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(SQLiteInsertSelect)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(OursUpdate)
    ->ArgsProduct({{0, 1}, {0, 1, 2}})
    ->ArgNames({"disk", "kind"})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);
BENCHMARK(SQLiteUpdate)
    ->ArgsProduct({{0, 1}, {0, 1, 2}})
    ->ArgNames({"disk", "kind"})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

// ---- the statement workload (StatementTable.h) ----
//   wide/bulkinsert   every row by one prepared INSERT, in one transaction
//   wide/update10     10 % of the rows by an indexed range, one statement
//   wide/update10filter  10 % of the rows by an unindexed condition (NUM < 100)
//   wide/delete10     10 % of the rows by an indexed range, one statement (once)
//   wide/delete10filter  about 10 % of the rows left by an unindexed condition (once)
namespace {

std::filesystem::path WideDir() {
    static const std::filesystem::path dir = FreshBenchDir("sqlchange-wide");
    return dir;
}

stmtbench::TOurs*& WideOurs() {
    static stmtbench::TOurs* o = nullptr;
    return o;
}
stmtbench::TSQLite*& WidePeer() {
    static stmtbench::TSQLite* p = nullptr;
    return p;
}

void WideBulkOurs(benchmark::State& State) {
    for (auto _ : State) {
        State.PauseTiming();
        delete WideOurs();
        WideOurs() = new stmtbench::TOurs(WideDir(), "WIDECHG");
        State.ResumeTiming();
        WideOurs()->InsertRows(0, stmtbench::Rows());
    }
    State.SetItemsProcessed(State.iterations() * stmtbench::Rows());
}

void WideBulkPeer(benchmark::State& State) {
    for (auto _ : State) {
        State.PauseTiming();
        delete WidePeer();
        WidePeer() = new stmtbench::TSQLite(WideDir());
        State.ResumeTiming();
        WidePeer()->InsertRows(0, stmtbench::Rows());
    }
    State.SetItemsProcessed(State.iterations() * stmtbench::Rows());
}

// A head starting with "!" takes the unindexed condition instead of the range.
std::string WideRange(const char* Head) {
    if (Head[0] == '!') return std::string(Head + 1);
    const int n = stmtbench::Rows();
    return std::string(Head) + " where id >= " + std::to_string(n / 5) + " and id < " + std::to_string(n / 5 + n / 10);
}

void WideChangeOurs(benchmark::State& State, const char* Head) {
    int64_t rows = 0;
    for (auto _ : State) rows = WideOurs()->Exec(WideRange(Head));
    State.counters["rows"] = static_cast<double>(rows);
}

void WideChangePeer(benchmark::State& State, const char* Head) {
    int64_t rows = 0;
    for (auto _ : State) {
        WidePeer()->Exec(WideRange(Head));
        rows = sqlite3_changes(WidePeer()->Db);
    }
    State.counters["rows"] = static_cast<double>(rows);
}

const int wideRegistered = [] {
    benchmark::RegisterBenchmark("wide/bulkinsert/orq", WideBulkOurs)->Iterations(1)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("wide/bulkinsert/sqlite", WideBulkPeer)->Iterations(1)->Unit(benchmark::kMillisecond);
    for (const auto& [name, head] :
         {std::pair{"update10", "update w set num = num + 1"},
          std::pair{"update10filter", "!update w set txt = 'CHANGED' where num < 100"},
          std::pair{"delete10", "delete from w"}, std::pair{"delete10filter", "!delete from w where num >= 900"}}) {
        const int runs = std::string(name).rfind("update", 0) == 0 ? 5 : 1;
        benchmark::RegisterBenchmark((std::string("wide/") + name + "/orq").c_str(), WideChangeOurs, head)
            ->Iterations(runs)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("wide/") + name + "/sqlite").c_str(), WideChangePeer, head)
            ->Iterations(runs)
            ->Unit(benchmark::kMillisecond);
    }
    return 0;
}();

}  // namespace
