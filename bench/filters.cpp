// Filter texts from parse to count: the time to parse each of the receiver's filter
// texts, the growth of parse time with the nesting depth of parentheses, and a filtered
// count over 100 000 log-shaped records beside SQLite's in-memory database counting the
// same condition, with and without an index on the reception time. Ours counts twice:
// the bare record-filter protocol over record buffers (the candidate's buffer on the
// expression, then its Boolean answer), and storage's own filtered count on a MEMORY
// table, which chooses the index when it has one; and the receiver's filter over a million
// record buffers beside SQLite's count of the same condition (ns per record). Run the whole
// program in one go: the ratios are what it measures.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/sql/ORQExpression.h"
#include "engine/storage/ORQCursor.h"
#include "engine/storage/ORQEngineState.h"
#include "engine/storage/ORQMemEngine.h"
#include "engine/storage/ORQTableCursor.h"

#ifdef TILO_HAVE_SQLITE
#include <sqlite3.h>
#endif

namespace {

using namespace orq;

const char* const ReceiverFilters[] = {
    "IDLETTER = 'A' AND NAVAREA='3'",
    "FREQ=518 AND NAVAREA='3' AND IDLETTER = 'A'",
    "FREQ=518",
    "FREQ=518 AND NAVAREA=3 AND IDLETTER='A' AND UTCRECEIVED>='2024-01-01' AND UTCRECEIVED<='2024-01-31 23:59:59'",
    "UTCRECEIVED>='2024-01-01' AND UTCRECEIVED<='2024-01-31 23:59:59'",
    "UTCRECEIVED < '2024-01-15' AND STATION<>'UNID'",
    "STATION='UNID'",
    "DIST < 500 AND STATION<>'UNID'",
    "UTCRECEIVED < '2024-01-15' AND DIST < 500 AND STATION<>'UNID'",
};

const char* const CountedFilter =
    "FREQ=518 AND NAVAREA=3 AND IDLETTER='A' AND UTCRECEIVED>='2024-01-01' AND UTCRECEIVED<='2024-01-31 23:59:59'";
constexpr double Jan1 = 45292.0, Jan31End = 45322.0 + 86399.0 / 86400;
constexpr int RecordCount = 100000;

struct Row {
    double utc;
    int32_t freq;
    const char* letter;
    int32_t area;
    const char* station;
    int32_t dist;
};

const std::vector<Row>& Rows() {
    static const std::vector<Row> rows = [] {
        std::mt19937 rng(29);
        const char* letters[] = {"A", "B", "E", "K", "O"};
        const char* stations[] = {"UNID", "GNI Niton,G", "OST Oostende,BEL", "PCH Scheveningen,HOL"};
        std::vector<Row> v;
        for (int i = 0; i < RecordCount; ++i)
            v.push_back(Row{Jan1 - 180 + (rng() % 3650) * 0.1, rng() % 2 ? 518 : 490, letters[rng() % 5],
                            static_cast<int32_t>(rng() % 4), stations[rng() % 4], static_cast<int32_t>(rng() % 2000)});
        return v;
    }();
    return rows;
}

class LogCursor : public TORQCursor {
public:
    explicit LogCursor(int count) {
        const struct {
            const char* name;
            uint8_t type;
            int32_t size;
        } columns[] = {{"UTCRECEIVED", aftDateTime, 0}, {"FREQ", aftInteger, 0},      {"IDLETTER", aftVarChar, 1},
                       {"NAVAREA", aftSmallInt, 0},     {"STATION", aftVarChar, 75}, {"DIST", aftInteger, 0}};
        for (const auto& c : columns) {
            TORQFieldDef* f = FieldDefs.Add();
            f->Name = c.name;
            f->SetDataType(c.type, c.size);
        }
        FieldDefs.CalculateOffsets();
        CalculateRecordSizes();
        for (int i = 0; i < count; ++i) {
            const Row& r = Rows()[static_cast<std::size_t>(i % RecordCount)];
            uint8_t* b = AllocRecordBuffer();
            TORQVariant v;
            v.SetAsDateTime(r.utc);
            SetFieldValue(v, 0, b, true);
            v.Clear(0);
            v.SetAsInteger(r.freq);
            SetFieldValue(v, 1, b, true);
            v.Clear(0);
            v.SetAsString(r.letter);
            SetFieldValue(v, 2, b, true);
            v.Clear(0);
            v.SetAsInteger(r.area);
            SetFieldValue(v, 3, b, true);
            v.Clear(0);
            v.SetAsString(r.station);
            SetFieldValue(v, 4, b, true);
            v.Clear(0);
            v.SetAsInteger(r.dist);
            SetFieldValue(v, 5, b, true);
            Records.push_back(b);
        }
        CurrentRecord = Records.empty() ? nullptr : Records[0];
    }
    ~LogCursor() override {
        for (uint8_t*& b : Records) FreeRecordBuffer(b);
    }
    std::vector<uint8_t*> Records;
};

void BM_ParseReceiverFilter(benchmark::State& state) {
    LogCursor cursor(1);
    const char* text = ReceiverFilters[state.range(0)];
    TORQExpression e;
    for (auto _ : state) {
        e.ParseFilter(&cursor, text, false, true);
        benchmark::DoNotOptimize(e.Root());
    }
    state.SetLabel(text);
}
BENCHMARK(BM_ParseReceiverFilter)->DenseRange(0, static_cast<int>(std::size(ReceiverFilters)) - 1);

void BM_ParseNestedParentheses(benchmark::State& state) {
    std::string text = "FREQ=518";
    for (int64_t i = 0; i < state.range(0); ++i) text = "(" + text + ")";
    text += " AND NAVAREA=3";
    TORQExpression e;
    for (auto _ : state) {
        e.ParseFilter(nullptr, text, false, true);
        benchmark::DoNotOptimize(e.Root());
    }
    if (e.Root() == nullptr || e.Root()->Operator != doAnd || e.Root()->ChildCount() != 2)
        state.SkipWithError("the nested condition did not parse to AND[FREQ=518, NAVAREA=3]");
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_ParseNestedParentheses)->RangeMultiplier(4)->Range(1, 4096)->Complexity();

void BM_FilteredCountScan(benchmark::State& state) {
    static LogCursor cursor(RecordCount);
    TORQExpression e;
    e.ParseFilter(&cursor, CountedFilter, false, true);
    int64_t count = 0;
    for (auto _ : state) {
        count = 0;
        for (uint8_t* record : cursor.Records) {
            e.SetRecordBuffer(record, 0);
            count += e.GetBooleanValue() ? 1 : 0;
        }
        benchmark::DoNotOptimize(count);
    }
    state.counters["matches"] = static_cast<double>(count);
    state.SetItemsProcessed(state.iterations() * RecordCount);
}
BENCHMARK(BM_FilteredCountScan)->Unit(benchmark::kMillisecond);

// The receiver's own filter over a million record buffers (the rows ten times over); SQLite
// counts the same rows with the same condition beside it.
const char* const ReceiverFilter = "FREQ=518 AND NAVAREA='3' AND IDLETTER='A'";
constexpr int MillionRecords = 1000000;

void BM_ReceiverFilterScan(benchmark::State& state) {
    static LogCursor cursor(MillionRecords);
    TORQExpression e;
    e.ParseFilter(&cursor, ReceiverFilter, false, true);
    int64_t count = 0;
    for (auto _ : state) {
        count = 0;
        for (uint8_t* record : cursor.Records) {
            e.SetRecordBuffer(record, 0);
            count += e.GetBooleanValue() ? 1 : 0;
        }
        benchmark::DoNotOptimize(count);
    }
    state.counters["matches"] = static_cast<double>(count);
    state.counters["ns_per_record"] = benchmark::Counter(static_cast<double>(state.iterations()) * MillionRecords,
                                                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.SetItemsProcessed(state.iterations() * MillionRecords);
}
BENCHMARK(BM_ReceiverFilterScan)->Unit(benchmark::kMillisecond);

// The same rows in two MEMORY tables, one with an index on UTCRECEIVED.
struct MemLog {
    TORQMemoryTableData* Tables[2] = {};
    MemLog() {
        StartStorageEngine();
        for (int indexed = 0; indexed < 2; ++indexed) {
            LogCursor layout(0);
            TORQIndexDefs indexes;
            if (indexed != 0) {
                TORQIndexDef* d = indexes.Add();
                d->Name = "IDX_DT";
                d->SetColumnCount(1);
                d->GetColumn(0).FieldName = "UTCRECEIVED";
            }
            TORQConstraintDefs none;
            TORQCursor named;
            named.TableName = indexed != 0 ? "LOGINDEXED" : "LOGPLAIN";
            TORQMemoryTableData* t = static_cast<TORQMemoryTableData*>(MemoryDatabase().CreateTableData(&named));
            t->CreateTable(nullptr, layout.FieldDefs, indexes, none);
            TORQTableCursor c;
            c.OpenTable(*t);
            LogCursor rows(RecordCount);
            for (uint8_t* record : rows.Records) {
                std::memcpy(c.CurrentRecord, record, static_cast<std::size_t>(c.RecordSize));
                t->InsertRecord(&c);
            }
            c.CloseTable();
            Tables[indexed] = t;
        }
    }
    ~MemLog() {
        for (TORQMemoryTableData* t : Tables) t->DeleteTable(nullptr, false);
        StopStorageEngine();
    }
};

void BM_FilteredCountStorage(benchmark::State& state) {
    static MemLog log;
    TORQMemoryTableData& table = *log.Tables[state.range(0)];
    TORQTableCursor cursor;
    cursor.OpenTable(table);
    TORQExpression e;
    e.ParseFilter(&cursor, CountedFilter, false, true);
    cursor.SetFilterExpression(&e);
    int64_t count = 0;
    for (auto _ : state) {
        // The count is kept in the cursor's record bitmap: measure the sweep, not the cache.
        cursor.ResetRecordBitmap();
        count = table.GetRecordCount(&cursor);
        benchmark::DoNotOptimize(count);
    }
    cursor.SetFilterExpression(nullptr);
    cursor.CloseTable();
    state.counters["matches"] = static_cast<double>(count);
    state.SetItemsProcessed(state.iterations() * RecordCount);
    state.SetLabel(state.range(0) ? "index on UTCRECEIVED" : "no index");
}
BENCHMARK(BM_FilteredCountStorage)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

#ifdef TILO_HAVE_SQLITE
sqlite3* SqliteLog(bool indexed) {
    sqlite3* db = nullptr;
    sqlite3_open(":memory:", &db);
    sqlite3_exec(db,
                 "CREATE TABLE NAVTEXLOG (UTCRECEIVED REAL, FREQ INTEGER, IDLETTER TEXT, NAVAREA INTEGER, "
                 "STATION TEXT, DIST INTEGER); BEGIN",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO NAVTEXLOG VALUES (?, ?, ?, ?, ?, ?)", -1, &insert, nullptr);
    for (const Row& r : Rows()) {
        sqlite3_bind_double(insert, 1, r.utc);
        sqlite3_bind_int(insert, 2, r.freq);
        sqlite3_bind_text(insert, 3, r.letter, -1, SQLITE_STATIC);
        sqlite3_bind_int(insert, 4, r.area);
        sqlite3_bind_text(insert, 5, r.station, -1, SQLITE_STATIC);
        sqlite3_bind_int(insert, 6, r.dist);
        sqlite3_step(insert);
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    if (indexed) sqlite3_exec(db, "CREATE INDEX IDX_DT ON NAVTEXLOG (UTCRECEIVED)", nullptr, nullptr, nullptr);
    return db;
}

void BM_FilteredCountSqlite(benchmark::State& state) {
    sqlite3* db = SqliteLog(state.range(0) != 0);
    sqlite3_stmt* query = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT COUNT(*) FROM NAVTEXLOG WHERE FREQ=518 AND NAVAREA=3 AND IDLETTER='A' AND "
                       "UTCRECEIVED>=?1 AND UTCRECEIVED<=?2",
                       -1, &query, nullptr);
    sqlite3_bind_double(query, 1, Jan1);
    sqlite3_bind_double(query, 2, Jan31End);
    int64_t count = 0;
    for (auto _ : state) {
        sqlite3_step(query);
        count = sqlite3_column_int64(query, 0);
        sqlite3_reset(query);
        benchmark::DoNotOptimize(count);
    }
    sqlite3_finalize(query);
    sqlite3_close(db);
    state.counters["matches"] = static_cast<double>(count);
    state.SetItemsProcessed(state.iterations() * RecordCount);
    state.SetLabel(state.range(0) ? "index on UTCRECEIVED" : "no index");
}
BENCHMARK(BM_FilteredCountSqlite)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_ReceiverFilterSqlite(benchmark::State& state) {
    sqlite3* db = nullptr;
    sqlite3_open(":memory:", &db);
    sqlite3_exec(db,
                 "CREATE TABLE NAVTEXLOG (UTCRECEIVED REAL, FREQ INTEGER, IDLETTER TEXT, NAVAREA INTEGER, "
                 "STATION TEXT, DIST INTEGER); BEGIN",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO NAVTEXLOG VALUES (?, ?, ?, ?, ?, ?)", -1, &insert, nullptr);
    for (int i = 0; i < MillionRecords; ++i) {
        const Row& r = Rows()[static_cast<std::size_t>(i % RecordCount)];
        sqlite3_bind_double(insert, 1, r.utc);
        sqlite3_bind_int(insert, 2, r.freq);
        sqlite3_bind_text(insert, 3, r.letter, -1, SQLITE_STATIC);
        sqlite3_bind_int(insert, 4, r.area);
        sqlite3_bind_text(insert, 5, r.station, -1, SQLITE_STATIC);
        sqlite3_bind_int(insert, 6, r.dist);
        sqlite3_step(insert);
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_stmt* query = nullptr;
    sqlite3_prepare_v2(db, "SELECT count(*) FROM NAVTEXLOG WHERE FREQ=518 AND NAVAREA='3' AND IDLETTER='A'", -1,
                       &query, nullptr);
    int64_t count = 0;
    for (auto _ : state) {
        sqlite3_step(query);
        count = sqlite3_column_int64(query, 0);
        sqlite3_reset(query);
        benchmark::DoNotOptimize(count);
    }
    sqlite3_finalize(query);
    sqlite3_close(db);
    state.counters["matches"] = static_cast<double>(count);
    state.counters["ns_per_record"] = benchmark::Counter(static_cast<double>(state.iterations()) * MillionRecords,
                                                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.SetItemsProcessed(state.iterations() * MillionRecords);
}
BENCHMARK(BM_ReceiverFilterSqlite)->Unit(benchmark::kMillisecond);
#endif

}  // namespace
