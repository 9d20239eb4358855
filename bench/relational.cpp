// The relational operators, side by side with SQLite's in-memory database running the
// same SQL in the same run: GROUP BY over the big table into 10 and into 1,000 groups,
// a keyed join of the big table with a 1,000-row table with and without an index on the
// key (the engine's join also on disk), ORDER BY on an unindexed column, the filling
// rate of a result table (a derived table copying every row), and comma joins of 3 to 30
// ten-row tables through SQL, linked in a chain but listed in another order (the join
// order is the engine's planner's).
//
// The engine's trees are built in code, as the SQL layer builds them; each iteration
// builds, opens and frees its tree (the result table is dropped with it). SQLite steps
// through every row of the same query. Counters: ms per query, and for the fill rows per
// second. TILO_BENCH_ROWS sets the big table's row count (100,000). Disk files live in a
// folder of the current directory (TILO_BENCH_DIR overrides).
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "engine/access/ORQDatabase.h"
#include "engine/access/ORQLocalEngine.h"
#include "engine/access/ORQMain.h"
#include "engine/access/ORQQuery.h"
#include "engine/access/ORQTable.h"
#include "engine/sql/ORQExpression.h"
#include "engine/sql/ORQLexer.h"
#include "engine/sql/ORQRelationalAlgebra.h"
#include "engine/storage/ORQDiskEngine.h"

namespace {

using namespace orq;
using Clock = std::chrono::steady_clock;

const int BigRows = [] {
    const char* e = std::getenv("TILO_BENCH_ROWS");
    const int n = e != nullptr ? std::atoi(e) : 100000;
    return n > 0 ? n : 100000;
}();
constexpr int SmallRows = 1000;

double Since(Clock::time_point Start) { return std::chrono::duration<double>(Clock::now() - Start).count(); }

// BIG: N, G10 (N mod 10), G1000 (N mod 1000), K (a scattered key 0..999), U (a
// scattered unindexed number), T (a short text). SMALL: K 0..999 and W.
// A letter and a number: "T12".
std::string Tagged(char Tag, int N) {
    std::string s(1, Tag);
    s += std::to_string(N);
    return s;
}

int KeyOf(int N) { return static_cast<int>((static_cast<int64_t>(N) * 7919) % SmallRows); }
int ScatterOf(int N) { return static_cast<int>((static_cast<int64_t>(N) * 104729) % 1000003); }

// ---------------------------------------------------------------------------------
// The engine

class TEngine {
public:
    TEngine() {
        StartEngine();
        Memory = Open("MEMORY", "");
        const char* where = std::getenv("TILO_BENCH_DIR");
        Dir = std::filesystem::path(where != nullptr ? where : ".") /
              ("orq-bench-relational-" + std::to_string(::getpid()));
        std::filesystem::remove_all(Dir);
        std::filesystem::create_directories(Dir);
        TORQLocalSession s;
        s.DatabaseName = "ORQDB";
        s.DatabaseFileName = (Dir / "BENCH.ORQ").string();
        s.CreateDatabase();
        Disk = Open("ORQDB", s.DatabaseFileName);
        if (auto* d = dynamic_cast<TORQDiskDatabaseData*>(Disk->Handle()->DatabaseData)) {
            d->CommitBarriers = false;
            if (d->DiskPageManager() != nullptr) d->DiskPageManager()->CommitBarriers = false;
        }
        for (TORQDatabase* db : {Memory.get(), Disk.get()}) {
            Fill(*db, "BIG", false);
            Fill(*db, "SMALL", false);
            Fill(*db, "BIGX", true);
            Fill(*db, "SMALLX", true);
        }
    }
    ~TEngine() {
        Memory->Close();
        Disk->Close();
        Memory.reset();
        Disk.reset();
        StopEngine();
        std::filesystem::remove_all(Dir);
    }

    std::unique_ptr<TORQAOTable> Base(TORQDatabase& Db, const std::string& Name) {
        auto t = std::make_unique<TORQTable>();
        t->SetDatabaseName(Db.DatabaseName());
        t->SetTableName(Name);
        return std::make_unique<TORQAOTable>(Name, std::move(t), &Db, "");
    }

    std::unique_ptr<TORQDatabase> Memory, Disk;

private:
    static std::unique_ptr<TORQDatabase> Open(const std::string& Name, const std::string& File) {
        auto db = std::make_unique<TORQDatabase>(nullptr);
        db->SetDatabaseName(Name);
        if (!File.empty()) db->SetDatabaseFileName(File);
        db->Open();
        return db;
    }

    static void Fill(TORQDatabase& Db, const std::string& Name, bool Indexed) {
        const bool big = Name.rfind("BIG", 0) == 0;
        TORQTable t;
        t.SetDatabaseName(Db.DatabaseName());
        t.SetTableName(Name);
        auto add = [&](const std::string& F, uint8_t Type, int32_t Size = 0) {
            TORQAdvFieldDef* d = t.AdvFieldDefs().Add();
            d->Name = F;
            d->DataType = Type;
            d->Size = Size;
        };
        if (big) {
            add("N", aftInteger);
            add("G10", aftInteger);
            add("G1000", aftInteger);
            add("K", aftInteger);
            add("U", aftInteger);
            add("T", aftVarChar, 12);
        } else {
            add("SK", aftInteger);
            add("W", aftVarChar, 12);
        }
        t.CreateTable();
        if (Indexed) t.AddIndex("BYKEY", big ? "K" : "SK", 0);
        t.Open();
        const int rows = big ? BigRows : SmallRows;
        for (int n = 0; n < rows; ++n) {
            t.Append();
            if (big) {
                t.Fields()[0]->SetAsInteger(n);
                t.Fields()[1]->SetAsInteger(n % 10);
                t.Fields()[2]->SetAsInteger(n % 1000);
                t.Fields()[3]->SetAsInteger(KeyOf(n));
                t.Fields()[4]->SetAsInteger(ScatterOf(n));
                t.Fields()[5]->SetAsString(Tagged('T', n % 977));
            } else {
                t.Fields()[0]->SetAsInteger(n);
                t.Fields()[1]->SetAsString(Tagged('W', n));
            }
            t.Post();
        }
        t.Close();
    }

    std::filesystem::path Dir;
};

// Made by the first benchmark that needs it, freed by main before the engine's own
// process-wide objects go.
TEngine* GEngine = nullptr;

TEngine& Engine() {
    if (GEngine == nullptr) GEngine = new TEngine;
    return *GEngine;
}

std::unique_ptr<TORQExpression> ValueOf(const std::string& Text) {
    TORQLexer lexer(Text, nullptr);
    lexer.NextCommand();
    auto e = std::make_unique<TORQExpression>();
    e->ParseValueExpression(nullptr, lexer);
    return e;
}

TORQSelectListItem FieldItem(const std::string& Name) {
    TORQSelectListItem i;
    i.FieldName = Name;
    return i;
}

TORQSelectListItem ComputedItem(const std::string& Text) {
    TORQSelectListItem i;
    i.IsExpression = true;
    i.Expression = ValueOf(Text);
    return i;
}

// Opens the root as a result set and answers its row count.
int64_t Run(TORQAO& Root, std::vector<TORQSelectListItem>& Items) {
    Root.SetSelectList(Items, static_cast<int32_t>(Items.size()) - 1, false);
    Root.Open(true);
    return Root.GetResultTable()->RecordCount();
}

// SELECT G, COUNT(*), SUM(U), MAX(T) FROM BIG GROUP BY G
int64_t EngineGroup(const std::string& Group) {
    std::vector<TORQSelectListItem> items;
    items.push_back(FieldItem(Group));
    items.push_back(ComputedItem("COUNT(*)"));
    items.push_back(ComputedItem("SUM(U)"));
    items.push_back(ComputedItem("MAX(T)"));
    TORQFields by;
    by.Add(FieldItem(Group));
    TORQAOGroupBy root(Engine().Base(*Engine().Memory, "BIG"), static_cast<int32_t>(items.size()) - 1, items, &by);
    return Run(root, items);
}

// SELECT N, U, W FROM BIG JOIN SMALL ON K = SK
int64_t EngineJoin(TORQDatabase& Db, bool Indexed) {
    TORQFields left, right;
    left.Add(FieldItem("K"));
    right.Add(FieldItem("SK"));
    TORQAOJoin root(Engine().Base(Db, Indexed ? "BIGX" : "BIG"), nullptr, &right, &left, false, jkInner,
                    Engine().Base(Db, Indexed ? "SMALLX" : "SMALL"));
    std::vector<TORQSelectListItem> items;
    items.push_back(FieldItem("N"));
    items.push_back(FieldItem("U"));
    items.push_back(FieldItem("W"));
    return Run(root, items);
}

// SELECT N, U, T FROM BIG ORDER BY U (through a derived table, as a result set)
int64_t EngineOrder() {
    TORQAOTableExpr root(Engine().Base(*Engine().Memory, "BIG"));
    std::vector<TORQSelectListItem> items;
    items.push_back(FieldItem("N"));
    items.push_back(FieldItem("U"));
    items.push_back(FieldItem("T"));
    root.SetSelectList(items, 2, false);
    root.SetOrderBy("U", "", "");
    root.Open(true);
    TORQTable& t = *root.GetResultTable();
    int64_t n = 0;
    for (t.First(); !t.Eof(); t.Next()) ++n;
    return n;
}

// SELECT * FROM BIG copied into a result table.
int64_t EngineFill() {
    TORQAOTableExpr root(Engine().Base(*Engine().Memory, "BIG"));
    std::vector<TORQSelectListItem> none;
    return Run(root, none);
}

// ---------------------------------------------------------------------------------
// Wide joins: J1..J30 of ten rows (ID 1..10, P = 11 - ID); the chain JI.P = J(I+1).ID
// meets one row per ID, so every width gives ten rows.

constexpr int WideTables = 30;
constexpr int WideRows = 10;

// SELECT J1.ID, JN.ID FROM (J1..JN shuffled) WHERE (the chain's links shuffled).
std::string WideJoinSql(int N) {
    std::mt19937 random(static_cast<unsigned>(N));
    std::vector<int> listed(static_cast<size_t>(N));
    std::iota(listed.begin(), listed.end(), 1);
    std::shuffle(listed.begin(), listed.end(), random);
    std::vector<std::string> links;
    for (int i = 1; i < N; ++i) links.push_back("J" + std::to_string(i) + ".P = J" + std::to_string(i + 1) + ".ID");
    std::shuffle(links.begin(), links.end(), random);
    std::string sql = "SELECT J1.ID, J" + std::to_string(N) + ".ID FROM ";
    for (std::size_t i = 0; i < listed.size(); ++i) sql += (i ? ", J" : "J") + std::to_string(listed[i]);
    for (std::size_t i = 0; i < links.size(); ++i) sql += (i ? " AND " : " WHERE ") + links[i];
    return sql;
}

void FillWideTables(TORQDatabase& Db) {
    for (int j = 1; j <= WideTables; ++j) {
        TORQTable t;
        t.SetDatabaseName(Db.DatabaseName());
        t.SetTableName("J" + std::to_string(j));
        for (const char* f : {"ID", "P"}) {
            TORQAdvFieldDef* d = t.AdvFieldDefs().Add();
            d->Name = f;
            d->DataType = aftInteger;
        }
        t.CreateTable();
        t.Open();
        for (int r = 1; r <= WideRows; ++r) {
            t.Append();
            t.Fields()[0]->SetAsInteger(r);
            t.Fields()[1]->SetAsInteger(WideRows + 1 - r);
            t.Post();
        }
        t.Close();
    }
}

int64_t EngineWideJoin(int N) {
    static const bool filled = (FillWideTables(*Engine().Memory), true);
    (void)filled;
    TORQQuery q;
    q.SetDatabaseName(Engine().Memory->DatabaseName());
    q.SQL().SetText(WideJoinSql(N));
    q.Open();
    int64_t n = 0;
    for (q.First(); !q.Eof(); q.Next()) ++n;
    q.Close();
    return n;
}

// ---------------------------------------------------------------------------------
// SQLite

class TSqlite {
public:
    TSqlite() {
        sqlite3_open(":memory:", &Db);
        Exec("CREATE TABLE BIG (N INTEGER, G10 INTEGER, G1000 INTEGER, K INTEGER, U INTEGER, T VARCHAR(12))");
        Exec("CREATE TABLE SMALL (SK INTEGER, W VARCHAR(12))");
        Exec("BEGIN");
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(Db, "INSERT INTO BIG VALUES (?, ?, ?, ?, ?, ?)", -1, &s, nullptr);
        for (int n = 0; n < BigRows; ++n) {
            sqlite3_bind_int(s, 1, n);
            sqlite3_bind_int(s, 2, n % 10);
            sqlite3_bind_int(s, 3, n % 1000);
            sqlite3_bind_int(s, 4, KeyOf(n));
            sqlite3_bind_int(s, 5, ScatterOf(n));
            const std::string t = Tagged('T', n % 977);
            sqlite3_bind_text(s, 6, t.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_step(s);
            sqlite3_reset(s);
        }
        sqlite3_finalize(s);
        sqlite3_prepare_v2(Db, "INSERT INTO SMALL VALUES (?, ?)", -1, &s, nullptr);
        for (int n = 0; n < SmallRows; ++n) {
            sqlite3_bind_int(s, 1, n);
            const std::string w = Tagged('W', n);
            sqlite3_bind_text(s, 2, w.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_step(s);
            sqlite3_reset(s);
        }
        sqlite3_finalize(s);
        Exec("COMMIT");
        Exec("CREATE TABLE BIGX AS SELECT * FROM BIG");
        Exec("CREATE TABLE SMALLX AS SELECT * FROM SMALL");
        Exec("CREATE INDEX BIGX_K ON BIGX (K)");
        Exec("CREATE INDEX SMALLX_K ON SMALLX (SK)");
        for (int j = 1; j <= WideTables; ++j) {
            const std::string name = "J" + std::to_string(j);
            Exec(("CREATE TABLE " + name + " (ID INTEGER, P INTEGER)").c_str());
            for (int r = 1; r <= WideRows; ++r)
                Exec(("INSERT INTO " + name + " VALUES (" + std::to_string(r) + ", " + std::to_string(WideRows + 1 - r) + ")")
                         .c_str());
        }
    }
    ~TSqlite() { sqlite3_close(Db); }

    void Exec(const char* Sql) {
        char* error = nullptr;
        if (sqlite3_exec(Db, Sql, nullptr, nullptr, &error) != SQLITE_OK) {
            std::fprintf(stderr, "%s: %s\n", Sql, error != nullptr ? error : "?");
            sqlite3_free(error);
            std::abort();
        }
    }

    // Steps through every row; answers the count.
    int64_t Rows(const std::string& Sql) {
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(Db, Sql.c_str(), -1, &s, nullptr);
        int64_t n = 0;
        while (sqlite3_step(s) == SQLITE_ROW) ++n;
        sqlite3_finalize(s);
        return n;
    }

    sqlite3* Db = nullptr;
};

TSqlite* GSqlite = nullptr;

TSqlite& Sqlite() {
    if (GSqlite == nullptr) GSqlite = new TSqlite;
    return *GSqlite;
}

void Report(benchmark::State& State, double Seconds, int64_t Rows, int64_t Expected) {
    State.counters["ms"] = Seconds * 1e3 / static_cast<double>(State.iterations());
    State.counters["rows"] = static_cast<double>(Rows);
    if (Rows != Expected) State.SkipWithError(("row count " + std::to_string(Rows)).c_str());
}

// ---------------------------------------------------------------------------------
// The benchmarks: engine and SQLite, one after the other, per workload.

void GroupBy(benchmark::State& State) {
    const bool sqlite = State.range(0) != 0;
    const std::string group = State.range(1) == 10 ? "G10" : "G1000";
    if (!sqlite) Engine();
    else Sqlite();
    double seconds = 0;
    int64_t rows = 0;
    for (auto _ : State) {
        const auto start = Clock::now();
        rows = sqlite ? Sqlite().Rows("SELECT " + group + ", COUNT(*), SUM(U), MAX(T) FROM BIG GROUP BY " + group)
                      : EngineGroup(group);
        seconds += Since(start);
    }
    Report(State, seconds, rows, State.range(1));
}

void Join(benchmark::State& State) {
    const int side = static_cast<int>(State.range(0));  // 0 engine MEMORY, 1 engine disk, 2 SQLite
    const bool indexed = State.range(1) != 0;
    if (side < 2) Engine();
    else Sqlite();
    double seconds = 0;
    int64_t rows = 0;
    for (auto _ : State) {
        const auto start = Clock::now();
        if (side == 2)
            rows = Sqlite().Rows(indexed ? "SELECT N, U, W FROM BIGX JOIN SMALLX ON K = SK"
                                         : "SELECT N, U, W FROM BIG JOIN SMALL ON K = SK");
        else
            rows = EngineJoin(side == 0 ? *Engine().Memory : *Engine().Disk, indexed);
        seconds += Since(start);
    }
    Report(State, seconds, rows, BigRows);
}

void OrderBy(benchmark::State& State) {
    const bool sqlite = State.range(0) != 0;
    if (!sqlite) Engine();
    else Sqlite();
    double seconds = 0;
    int64_t rows = 0;
    for (auto _ : State) {
        const auto start = Clock::now();
        rows = sqlite ? Sqlite().Rows("SELECT N, U, T FROM BIG ORDER BY U") : EngineOrder();
        seconds += Since(start);
    }
    Report(State, seconds, rows, BigRows);
}

void Fill(benchmark::State& State) {
    const bool sqlite = State.range(0) != 0;
    if (!sqlite) Engine();
    else Sqlite();
    double seconds = 0;
    int64_t rows = 0;
    for (auto _ : State) {
        const auto start = Clock::now();
        if (sqlite) {
            Sqlite().Exec("CREATE TEMP TABLE RESULT AS SELECT * FROM BIG");
            rows = Sqlite().Rows("SELECT N FROM RESULT");
            seconds += Since(start);
            Sqlite().Exec("DROP TABLE RESULT");
        } else {
            rows = EngineFill();
            seconds += Since(start);
        }
    }
    Report(State, seconds, rows, BigRows);
    State.counters["rows_per_s"] = static_cast<double>(rows) * static_cast<double>(State.iterations()) / seconds;
}

void WideJoin(benchmark::State& State) {
    const bool sqlite = State.range(0) != 0;
    const int tables = static_cast<int>(State.range(1));
    if (!sqlite) Engine();
    else Sqlite();
    double seconds = 0;
    int64_t rows = 0;
    for (auto _ : State) {
        const auto start = Clock::now();
        rows = sqlite ? Sqlite().Rows(WideJoinSql(tables)) : EngineWideJoin(tables);
        seconds += Since(start);
    }
    Report(State, seconds, rows, WideRows);
}

BENCHMARK(GroupBy)->ArgNames({"sqlite", "groups"})->Args({0, 10})->Args({1, 10})->Args({0, 1000})->Args({1, 1000})
    ->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(Join)->ArgNames({"side", "indexed"})
    ->Args({0, 0})->Args({1, 0})->Args({2, 0})->Args({0, 1})->Args({1, 1})->Args({2, 1})
    ->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(OrderBy)->ArgName("sqlite")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(Fill)->ArgName("sqlite")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(WideJoin)->ArgNames({"sqlite", "tables"})
    ->ArgsProduct({{0, 1}, {3, 4, 5, 6, 7, 8, 30}})->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    delete GEngine;
    delete GSqlite;
    return 0;
}
