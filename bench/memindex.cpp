// A MEMORY table with two indexes beside SQLite's in-memory database with the same two
// indexes: 100 000 inserts (an INTEGER and a VARCHAR(20) key per row, both indexed), then
// point look-ups on either key and 100-row range scans on the integer key, each reading
// the rows it finds. The engine's searches go through the record index's ScanNext under
// start and end conditions. Run the whole program in one go: the ratios are what it
// measures. The load curve loads 100 000, 400 000 and 1 000 000 rows into either.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "engine/foundation/ORQVariant.h"
#include "engine/storage/ORQBTree.h"
#include "engine/storage/ORQEngineState.h"
#include "engine/storage/ORQMemEngine.h"
#include "engine/storage/ORQTableCursor.h"

#ifdef TILO_HAVE_SQLITE
#include <sqlite3.h>
#endif

namespace {

using namespace orq;

constexpr int RowCount = 100000;
constexpr int LookupsPerIteration = 1000;
constexpr int RangeWidth = 100;

struct Row {
    int32_t N;
    std::string S;
};

// N a permutation of 0 .. RowCount - 1, S another one written as text.
const std::vector<Row>& Rows() {
    static const std::vector<Row> rows = [] {
        std::mt19937 rng(20);
        std::vector<int32_t> n(RowCount), s(RowCount);
        for (int i = 0; i < RowCount; ++i) n[i] = s[i] = i;
        std::shuffle(n.begin(), n.end(), rng);
        std::shuffle(s.begin(), s.end(), rng);
        std::vector<Row> v;
        char text[24];
        for (int i = 0; i < RowCount; ++i) {
            std::snprintf(text, sizeof text, "STATION-%06d", s[i]);
            v.push_back(Row{n[i], text});
        }
        return v;
    }();
    return rows;
}

// The probes of one iteration: keys drawn once, the same for both engines.
const std::vector<int32_t>& Probes() {
    static const std::vector<int32_t> probes = [] {
        std::mt19937 rng(7);
        std::vector<int32_t> v;
        for (int i = 0; i < LookupsPerIteration; ++i)
            v.push_back(static_cast<int32_t>(rng() % (RowCount - RangeWidth)));
        return v;
    }();
    return probes;
}

std::string Text(int32_t V) {
    char text[24];
    std::snprintf(text, sizeof text, "STATION-%06d", V);
    return text;
}

// ---------------------------------------------------------------------------------
// Orquant

struct MemTable {
    TORQMemoryTableData* Table = nullptr;
    TORQTableCursor Cursor;
    int32_t ByN = -1, ByS = -1;

    MemTable() {
        StartStorageEngine();
        TORQFieldDefs fields;
        TORQFieldDef* f = fields.Add();
        f->Name = "N";
        f->SetDataType(aftInteger, 0);
        f = fields.Add();
        f->Name = "S";
        f->SetDataType(aftVarChar, 20);
        TORQIndexDefs indexes;
        for (const char* name : {"N", "S"}) {
            TORQIndexDef* d = indexes.Add();
            d->Name = std::string("BY_") + name;
            d->SetColumnCount(1);
            d->GetColumn(0).FieldName = name;
        }
        TORQConstraintDefs none;
        TORQCursor named;
        named.TableName = "BENCH";
        Table = static_cast<TORQMemoryTableData*>(MemoryDatabase().CreateTableData(&named));
        Table->CreateTable(nullptr, fields, indexes, none);
        Cursor.OpenTable(*Table);
        ByN = Table->IndexManager->IndexDefs.FindByName("BY_N")->ObjectID;
        ByS = Table->IndexManager->IndexDefs.FindByName("BY_S")->ObjectID;
    }
    ~MemTable() {
        Cursor.CloseTable();
        Table->DeleteTable(nullptr, false);
        StopStorageEngine();
    }

    void Set(uint8_t* Record, int32_t N, const std::string& S) {
        TORQVariant n, s;
        n.SetAsInteger(N);
        s.SetAsString(S);
        Cursor.SetFieldValue(n, 0, Record, true);
        Cursor.SetFieldValue(s, 1, Record, true);
    }
    void InsertAll() {
        for (const Row& r : Rows()) {
            Cursor.InitRecord(Cursor.CurrentRecord, false);
            Set(Cursor.CurrentRecord, r.N, r.S);
            Table->InsertRecord(&Cursor);
        }
    }

    // Rows between the start and end conditions of index IndexID, each read.
    int64_t Scan(int32_t IndexID, TORQScanSearchCondition& Start, TORQScanSearchCondition* End, uint8_t* Buffer) {
        TORQIndex& index = Table->IndexManager->GetIndex(IndexID);
        TORQIndexScanPosition* position = index.CreateScanPosition();
        TORQRecordID id;
        int64_t rows = 0;
        bool restart = true;
        while (index.ScanNext(-2, restart, *position, id, Buffer, End, &Start, true)) {
            restart = false;
            TORQGetRecordRequest read;
            read.RecordID = id;
            read.RecordBuffer = Buffer;
            Table->RecordManager->ReadRecord(-2, read);
            ++rows;
        }
        index.FreeScanPosition(position);
        return rows;
    }
};

void BM_Orquant_Insert(benchmark::State& state) {
    for (auto _ : state) {
        MemTable t;
        t.InsertAll();
        benchmark::DoNotOptimize(t.Table->RecordManager->RecordCount);
    }
    state.SetItemsProcessed(state.iterations() * RowCount);
}
BENCHMARK(BM_Orquant_Insert)->Unit(benchmark::kMillisecond)->Iterations(3);

// The load curve: N rows (both keys permutations of 0 .. N - 1) into a fresh table; a
// linear load keeps the time per row flat from 100 000 to 1 000 000 rows.
void BM_Orquant_Load(benchmark::State& state) {
    const auto n = static_cast<int32_t>(state.range(0));
    for (auto _ : state) {
        MemTable t;
        char text[24];
        for (int32_t i = 0; i < n; ++i) {
            t.Cursor.InitRecord(t.Cursor.CurrentRecord, false);
            std::snprintf(text, sizeof text, "STATION-%07d", static_cast<int32_t>(int64_t{i} * 104729 % n));
            t.Set(t.Cursor.CurrentRecord, static_cast<int32_t>(int64_t{i} * 7919 % n), text);
            t.Table->InsertRecord(&t.Cursor);
        }
        if (t.Table->RecordManager->RecordCount != n) state.SkipWithError("wrong row count");
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_Orquant_Load)->ArgName("rows")->Arg(100000)->Arg(400000)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(1);

// Lookups on one table, loaded once.
MemTable& LoadedMemTable() {
    static MemTable* t = [] {
        auto* m = new MemTable();
        m->InsertAll();
        return m;
    }();
    return *t;
}

// Arg 0: equality on N, 1: equality on S, 2: N within a 100-key range.
void BM_Orquant_Lookup(benchmark::State& state) {
    MemTable& t = LoadedMemTable();
    std::vector<uint8_t> low(static_cast<size_t>(t.Cursor.RecordBufferSize)), high(low.size()), buffer(low.size());
    TORQScanSearchCondition start(true), end(true);
    start.Key = low.data();
    start.FieldCount = end.FieldCount = 1;
    end.Key = high.data();
    const int mode = static_cast<int>(state.range(0));
    int64_t rows = 0;
    for (auto _ : state) {
        for (int32_t k : Probes()) {
            t.Cursor.InitRecord(low.data(), false);
            t.Set(low.data(), k, Text(k));
            if (mode == 2) {
                t.Cursor.InitRecord(high.data(), false);
                t.Set(high.data(), k + RangeWidth - 1, Text(k));
                start.Operator = scGreaterOrEqual;
                end.Operator = scLessOrEqual;
                rows += t.Scan(t.ByN, start, &end, buffer.data());
            } else {
                start.Operator = scEqual;
                rows += t.Scan(mode == 0 ? t.ByN : t.ByS, start, nullptr, buffer.data());
            }
        }
    }
    if (rows != static_cast<int64_t>(state.iterations()) * LookupsPerIteration * (mode == 2 ? RangeWidth : 1))
        state.SkipWithError("wrong row count");
    state.SetItemsProcessed(state.iterations() * LookupsPerIteration);
}
BENCHMARK(BM_Orquant_Lookup)->ArgName("mode")->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);

// ---------------------------------------------------------------------------------
// SQLite

#ifdef TILO_HAVE_SQLITE

sqlite3* OpenSqlite() {
    sqlite3* db = nullptr;
    sqlite3_open(":memory:", &db);
    sqlite3_exec(db,
                 "CREATE TABLE BENCH (N INTEGER, S VARCHAR(20));"
                 "CREATE INDEX BY_N ON BENCH (N); CREATE INDEX BY_S ON BENCH (S);",
                 nullptr, nullptr, nullptr);
    return db;
}

void InsertAll(sqlite3* db) {
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO BENCH VALUES (?, ?)", -1, &insert, nullptr);
    for (const Row& r : Rows()) {
        sqlite3_bind_int(insert, 1, r.N);
        sqlite3_bind_text(insert, 2, r.S.c_str(), static_cast<int>(r.S.size()), SQLITE_STATIC);
        sqlite3_step(insert);
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
}

void BM_SQLite_Insert(benchmark::State& state) {
    for (auto _ : state) {
        sqlite3* db = OpenSqlite();
        InsertAll(db);
        sqlite3_close(db);
    }
    state.SetItemsProcessed(state.iterations() * RowCount);
}
BENCHMARK(BM_SQLite_Insert)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_SQLite_Load(benchmark::State& state) {
    const auto n = static_cast<int32_t>(state.range(0));
    for (auto _ : state) {
        sqlite3* db = OpenSqlite();
        sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
        sqlite3_stmt* insert = nullptr;
        sqlite3_prepare_v2(db, "INSERT INTO BENCH VALUES (?, ?)", -1, &insert, nullptr);
        char text[24];
        for (int32_t i = 0; i < n; ++i) {
            const int len = std::snprintf(text, sizeof text, "STATION-%07d", static_cast<int32_t>(int64_t{i} * 104729 % n));
            sqlite3_bind_int(insert, 1, static_cast<int32_t>(int64_t{i} * 7919 % n));
            sqlite3_bind_text(insert, 2, text, len, SQLITE_STATIC);
            sqlite3_step(insert);
            sqlite3_reset(insert);
        }
        sqlite3_finalize(insert);
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_close(db);
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_SQLite_Load)->ArgName("rows")->Arg(100000)->Arg(400000)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_SQLite_Lookup(benchmark::State& state) {
    static sqlite3* db = [] {
        sqlite3* d = OpenSqlite();
        InsertAll(d);
        return d;
    }();
    const int mode = static_cast<int>(state.range(0));
    const char* sql[] = {"SELECT N, S FROM BENCH WHERE N = ?", "SELECT N, S FROM BENCH WHERE S = ?",
                         "SELECT N, S FROM BENCH WHERE N >= ? AND N <= ?"};
    sqlite3_stmt* query = nullptr;
    sqlite3_prepare_v2(db, sql[mode], -1, &query, nullptr);
    int64_t rows = 0;
    for (auto _ : state) {
        for (int32_t k : Probes()) {
            std::string text;
            if (mode == 1) {
                text = Text(k);
                sqlite3_bind_text(query, 1, text.c_str(), static_cast<int>(text.size()), SQLITE_STATIC);
            } else {
                sqlite3_bind_int(query, 1, k);
                if (mode == 2) sqlite3_bind_int(query, 2, k + RangeWidth - 1);
            }
            while (sqlite3_step(query) == SQLITE_ROW) {
                benchmark::DoNotOptimize(sqlite3_column_text(query, 1));
                ++rows;
            }
            sqlite3_reset(query);
        }
    }
    sqlite3_finalize(query);
    if (rows != static_cast<int64_t>(state.iterations()) * LookupsPerIteration * (mode == 2 ? RangeWidth : 1))
        state.SkipWithError("wrong row count");
    state.SetItemsProcessed(state.iterations() * LookupsPerIteration);
}
BENCHMARK(BM_SQLite_Lookup)->ArgName("mode")->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);

#endif

}  // namespace
