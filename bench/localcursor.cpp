// The local cursor over a disk message log, side by side with SQLite in the same run:
// first/next over every record reading every field but the memo, in physical and in
// IDX_DT order; Locate by date (indexed), by STATION (not indexed) and case-insensitive
// partial; Edit + PostRecord of one record. The engine runs single- and multi-user, SQLite
// with journal DELETE + synchronous FULL and with WAL + synchronous NORMAL.
//
// Files live in a folder of the current directory (TILO_BENCH_DIR overrides): run it on a
// disk-backed file system. TILO_BENCH_ROWS sets the row count (100,000). Each mode runs
// the workload once; its phases are the counters (seconds per phase).
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "BenchFolder.h"
#include "classlib/Variant.h"
#include "engine/access/ORQLocalCursor.h"
#include "engine/foundation/ORQVariant.h"
#include "engine/sql/ORQExpression.h"
#include "engine/storage/ORQDiskEngine.h"
#include "engine/storage/ORQEngineState.h"
#include "tests/engine/storage/LogSchema.h"

namespace {

using namespace orq;
using Clock = std::chrono::steady_clock;

constexpr int DateLocates = 2000;
constexpr int ScanLocates = 5;
constexpr int Edits = 500;

int Rows() {
    const char* e = std::getenv("TILO_BENCH_ROWS");
    const int n = e != nullptr ? std::atoi(e) : 100000;
    return n < 1000 ? 1000 : n;
}

std::filesystem::path BenchDir(const std::string& Mode) { return FreshBenchDir("localcursor-" + Mode); }

double Since(Clock::time_point Start) { return std::chrono::duration<double>(Clock::now() - Start).count(); }
double Days(int64_t Minute) { return 46000.0 + static_cast<double>(Minute) / 1440.0; }

// Row i: minute-spaced dates, 40 stations (the last row's station is its own, so that a
// search for it reads the whole table), texts of 80 to 400 bytes.
std::string StationOf(int i, int N) { return i == N - 1 ? "LAST STATION" : "STATION " + std::to_string(i % 40); }
std::string TextOf(int i) {
    std::string t = "ZCZC " + std::to_string(i) + "\n";
    const size_t size = 80 + static_cast<size_t>(i * 7919 % 320);
    while (t.size() < size) t += static_cast<char>('A' + (t.size() + static_cast<size_t>(i)) % 26);
    return t + "\nNNNN";
}

struct Result {
    double Physical = 0, Indexed = 0, DateLocate = 0, StationLocate = 0, PartialLocate = 0, Edit = 0;
    int64_t Checksum = 0;
};

void Report(benchmark::State& State, const Result& R) {
    State.counters["physical_s"] = R.Physical;
    State.counters["idx_dt_s"] = R.Indexed;
    State.counters["locate_date_s"] = R.DateLocate;
    State.counters["locate_station_s"] = R.StationLocate;
    State.counters["locate_partial_s"] = R.PartialLocate;
    State.counters["edit_post_s"] = R.Edit;
    State.counters["checksum"] = static_cast<double>(R.Checksum);
}

// ---------------------------------------------------------------------------------
// Engine

class BenchSession : public TORQBaseSession {
public:
    void StartTransaction() override { InTransaction = 1; }
    void Commit(bool Flush) override {
        DatabaseData->Commit(SessionID, Flush);
        InTransaction = 0;
    }
};

// The message log's field numbers.
using namespace logschema;

void RunEngine(benchmark::State& State, bool MultiUser) {
    const int n = Rows();
    const std::filesystem::path dir = BenchDir(MultiUser ? "multi" : "single");
    const std::string path = (dir / "TILO_DB.ORQ").string();
    StartStorageEngine();
    InstallExpressionFactory();
    {
        TORQDiskDatabaseData creator;
        creator.DatabaseName = path;
        creator.MaxConnections = 16;
        creator.CreateDatabase();
    }
    Result r;
    {
        TORQDiskDatabaseData db;
        db.DatabaseName = path;
        BenchSession s;
        s.MultiUser = MultiUser ? 1 : 0;
        s.DatabaseData = &db;
        db.ConnectSession(&s);
        TORQLocalCursor c;
        c.Session = &s;
        c.TableName = "NAVTEXLOG";
        {
            TORQFieldDefs fields;
            logschema::LogFields(fields);
            TORQIndexDefs indexes;
            logschema::DateIndex(indexes);
            c.CreateTable(fields, indexes, TORQConstraintDefs());
        }
        c.OpenTable(nullptr, nullptr, nullptr);
        uint8_t* record = c.AllocRecordBuffer();
        uint8_t* old = c.AllocRecordBuffer();
        c.CurrentRecord = record;
        c.OldRecord = old;
        const auto set = [&](int32_t F, TORQVariant& V) { c.SetFieldValue(V, F, record, true); };
        // The fill, in batches of 1,000 (not measured).
        for (int i = 0; i < n; ++i) {
            if (i % 1000 == 0) c.BeginUpdateBatch();
            dynamic_cast<TORQDiskTableData*>(c.TableData)->ClearRecordBlobs(record);
            c.InitRecord(record, true);
            {
                TORQVariant v;
                v.SetAsDateTime(Days(i));
                set(fUtc, v);
            }
            const auto setInt = [&](int32_t F, int64_t X) {
                TORQVariant v;
                v.SetAsLargeInt(X);
                set(F, v);
            };
            const auto setText = [&](int32_t F, const std::string& X) {
                TORQVariant v;
                v.SetAsString(X);
                set(F, v);
            };
            setInt(fFreq, i % 2 == 0 ? 518 : 490);
            {
                TORQVariant v;
                v.SetAsDouble(i % 101);
                set(fQual, v);
            }
            setText(fLetter, std::string(1, static_cast<char>('A' + i % 26)));
            setText(fType, "E");
            setText(fNumber, std::to_string(i % 10000));
            setInt(fArea, i % 21);
            setText(fStation, StationOf(i, n));
            setInt(fDist, static_cast<int64_t>(i) * 3);
            const std::string text = TextOf(i);
            TORQLocalBLOBStream* blob = c.OpenBlob(true, false, false, TORQLocalBLOBStream::bmWriteOnly, fText);
            blob->Write(text.data(), static_cast<int64_t>(text.size()));
            c.CloseBlob(fText);
            c.PostRecord(true);
            if (c.ResultCode != 0) State.SkipWithError("fill failed");
            if (i % 1000 == 999 || i == n - 1) c.CommitBatch();
        }
        const auto walk = [&]() {
            int64_t sum = 0;
            TORQVariant v;
            c.First();
            while (c.GetRecord(gmNext) == grOK) {
                for (int32_t f = 0; f < fFieldCount; ++f) {
                    if (f == fText) continue;
                    c.GetFieldValue(v, f, true);
                }
                sum += 1;
            }
            return sum;
        };
        auto t = Clock::now();
        r.Checksum += walk();
        r.Physical = Since(t);
        c.SetIndexName("IDX_DT");
        t = Clock::now();
        r.Checksum += walk();
        r.Indexed = Since(t);
        t = Clock::now();
        for (int k = 0; k < DateLocates; ++k) {
            const int i = static_cast<int>((static_cast<int64_t>(k) * 7919) % n);
            r.Checksum += c.Locate({"UTCRECEIVED"}, classlib::Variant::FromDate(Days(i)), 0) ? 1 : 0;
        }
        r.DateLocate = Since(t);
        c.SetIndexName("");
        t = Clock::now();
        for (int k = 0; k < ScanLocates; ++k)
            r.Checksum += c.Locate({"STATION"}, classlib::Variant::FromString("LAST STATION"), 0) ? 1 : 0;
        r.StationLocate = Since(t);
        t = Clock::now();
        for (int k = 0; k < ScanLocates; ++k)
            r.Checksum += c.Locate({"STATION"}, classlib::Variant::FromString("last sta"), 3) ? 1 : 0;
        r.PartialLocate = Since(t);
        // One record edited and posted again and again.
        c.First();
        c.GetRecord(gmNext);
        t = Clock::now();
        for (int k = 0; k < Edits; ++k) {
            std::memcpy(old, record, static_cast<size_t>(c.RecordBufferSize));
            c.Edit();
            TORQVariant v;
            v.SetAsInteger(k);
            set(fDist, v);
            c.PostRecord(false);
            r.Checksum += c.ResultCode == 0 ? 1 : 0;
        }
        r.Edit = Since(t);
        c.FreeRecordBuffer(record);
        c.FreeRecordBuffer(old);
        c.CloseTable();
        db.DisconnectSession(&s);
    }
    StopStorageEngine();
    std::filesystem::remove_all(dir);
    for (auto _ : State) {
    }
    Report(State, r);
}

void Engine(benchmark::State& State) { RunEngine(State, State.range(0) != 0); }

// ---------------------------------------------------------------------------------
// SQLite

void Exec(sqlite3* Db, const char* Sql) {
    char* error = nullptr;
    if (sqlite3_exec(Db, Sql, nullptr, nullptr, &error) != SQLITE_OK) {
        std::fprintf(stderr, "sqlite: %s\n", error != nullptr ? error : "?");
        sqlite3_free(error);
        std::abort();
    }
}

sqlite3_stmt* Prepare(sqlite3* Db, const char* Sql) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(Db, Sql, -1, &s, nullptr) != SQLITE_OK) std::abort();
    return s;
}

void Sqlite(benchmark::State& State) {
    const bool wal = State.range(0) != 0;
    const int n = Rows();
    const std::filesystem::path dir = BenchDir(wal ? "wal" : "delete");
    sqlite3* db = nullptr;
    sqlite3_open_v2((dir / "log.db").string().c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    Exec(db, wal ? "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL"
                 : "PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL");
    Exec(db,
         "CREATE TABLE NAVTEXLOG (UTCRECEIVED REAL, FREQ INTEGER, SIGQUAL REAL, IDLETTER TEXT, MSGTYPE TEXT, "
         "MSGNUMBER TEXT, NAVAREA INTEGER, STATION TEXT, MSGTEXT TEXT, DIST INTEGER);"
         "CREATE UNIQUE INDEX IDX_DT ON NAVTEXLOG(UTCRECEIVED)");
    sqlite3_stmt* insert = Prepare(db, "INSERT INTO NAVTEXLOG VALUES (?,?,?,?,?,?,?,?,?,?)");
    Exec(db, "BEGIN");
    for (int i = 0; i < n; ++i) {
        const std::string letter(1, static_cast<char>('A' + i % 26));
        const std::string number = std::to_string(i % 10000);
        const std::string station = StationOf(i, n);
        const std::string text = TextOf(i);
        sqlite3_bind_double(insert, 1, Days(i));
        sqlite3_bind_int(insert, 2, i % 2 == 0 ? 518 : 490);
        sqlite3_bind_double(insert, 3, i % 101);
        sqlite3_bind_text(insert, 4, letter.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 5, "E", -1, SQLITE_STATIC);
        sqlite3_bind_text(insert, 6, number.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(insert, 7, i % 21);
        sqlite3_bind_text(insert, 8, station.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 9, text.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(insert, 10, i * 3);
        sqlite3_step(insert);
        sqlite3_reset(insert);
        if (i % 1000 == 999) Exec(db, "COMMIT; BEGIN");
    }
    Exec(db, "COMMIT");
    sqlite3_finalize(insert);
    Result r;
    const auto loop = [&](const char* Sql) {
        sqlite3_stmt* s = Prepare(db, Sql);
        int64_t rows = 0;
        while (sqlite3_step(s) == SQLITE_ROW) {
            for (int col = 0; col < 9; ++col) {
                if (sqlite3_column_type(s, col) == SQLITE_TEXT) sqlite3_column_text(s, col);
                else sqlite3_column_double(s, col);
            }
            ++rows;
        }
        sqlite3_finalize(s);
        return rows;
    };
    const char* columns = "SELECT UTCRECEIVED, FREQ, SIGQUAL, IDLETTER, MSGTYPE, MSGNUMBER, NAVAREA, STATION, DIST FROM NAVTEXLOG";
    auto t = Clock::now();
    r.Checksum += loop(columns);
    r.Physical = Since(t);
    t = Clock::now();
    r.Checksum += loop((std::string(columns) + " ORDER BY UTCRECEIVED").c_str());
    r.Indexed = Since(t);
    const auto first = [&](sqlite3_stmt* s) {
        const bool found = sqlite3_step(s) == SQLITE_ROW;
        sqlite3_reset(s);
        return found ? 1 : 0;
    };
    sqlite3_stmt* byDate = Prepare(db, (std::string(columns) + " WHERE UTCRECEIVED = ? LIMIT 1").c_str());
    t = Clock::now();
    for (int k = 0; k < DateLocates; ++k) {
        const int i = static_cast<int>((static_cast<int64_t>(k) * 7919) % n);
        sqlite3_bind_double(byDate, 1, Days(i));
        r.Checksum += first(byDate);
    }
    r.DateLocate = Since(t);
    sqlite3_finalize(byDate);
    sqlite3_stmt* byStation = Prepare(db, (std::string(columns) + " WHERE STATION = 'LAST STATION' LIMIT 1").c_str());
    t = Clock::now();
    for (int k = 0; k < ScanLocates; ++k) r.Checksum += first(byStation);
    r.StationLocate = Since(t);
    sqlite3_finalize(byStation);
    sqlite3_stmt* partial = Prepare(db, (std::string(columns) + " WHERE STATION LIKE 'last sta%' LIMIT 1").c_str());
    t = Clock::now();
    for (int k = 0; k < ScanLocates; ++k) r.Checksum += first(partial);
    r.PartialLocate = Since(t);
    sqlite3_finalize(partial);
    sqlite3_stmt* update = Prepare(db, "UPDATE NAVTEXLOG SET DIST = ? WHERE rowid = 1");
    t = Clock::now();
    for (int k = 0; k < Edits; ++k) {
        sqlite3_bind_int(update, 1, k);
        r.Checksum += sqlite3_step(update) == SQLITE_DONE ? 1 : 0;
        sqlite3_reset(update);
    }
    r.Edit = Since(t);
    sqlite3_finalize(update);
    sqlite3_close(db);
    std::filesystem::remove_all(dir);
    for (auto _ : State) {
    }
    Report(State, r);
}

}  // namespace

BENCHMARK(Sqlite)->ArgName("wal")->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(Engine)->ArgName("multiuser")->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);
