// Compacting the message log database, side by side with SQLite's VACUUM in the same run,
// on a disk-backed folder: 20,000 log-shaped records (date key IDX_DT, station index, texts
// of 80 to 700 bytes, as bench_disklog makes them), the oldest half deleted, then the file
// rebuilt: TORQDatabase::CompactDatabase against VACUUM of the same rows. Then the engine's
// repair of the same file (marked as not closed properly) by RepairDatabase.
//
// Counters: compact_s, repair_s (engine), vacuum_s (SQLite), the sizes before and after in
// MB. At exit one line gives the compact / VACUUM ratio and the size ratio after.
//
// TILO_BENCH_DIR names the folder (the current directory): a tmpfs measures nothing.
// TILO_BENCH_ROWS sets the record count (20,000).
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>

#include "BenchFolder.h"
#include "classlib/DB.h"
#include "classlib/DBFields.h"
#include "engine/access/ORQLocalEngine.h"
#include "engine/access/ORQMain.h"
#include "engine/access/ORQTable.h"
#include "engine/storage/ORQDiskEngine.h"

namespace {

using namespace orq;
using Clock = std::chrono::steady_clock;

constexpr int Batch = 1000;

int Rows() {
    const char* e = std::getenv("TILO_BENCH_ROWS");
    const int n = e != nullptr ? std::atoi(e) : 20000;
    return n < Batch ? Batch : n / Batch * Batch;
}

std::filesystem::path BenchDir(const std::string& Mode) { return FreshBenchDir("compact-" + Mode); }

double Since(Clock::time_point Start) { return std::chrono::duration<double>(Clock::now() - Start).count(); }
double Days(int64_t Minute) { return 46000.0 + static_cast<double>(Minute) / 1440.0; }

// bench_disklog's message: 40 stations, texts of 80 to 700 bytes.
struct Message {
    std::string Station, Text;
};
Message MessageOf(int64_t Minute) {
    Message m{"STATION " + std::to_string(Minute % 40), "ZCZC " + std::to_string(Minute) + "\n"};
    const size_t size = 80 + static_cast<size_t>(Minute * 7919 % 620);
    while (m.Text.size() < size) m.Text += static_cast<char>('A' + (m.Text.size() + static_cast<size_t>(Minute)) % 26);
    if (Minute % 97 == 0) m.Text += " GALE WARNING";
    m.Text += "\nNNNN";
    return m;
}

double MB(const std::filesystem::path& File) { return static_cast<double>(std::filesystem::file_size(File)) / 1e6; }

struct Figures {
    double Compact = 0, Repair = 0, Vacuum = 0;
    double EngineBefore = 0, EngineAfter = 0, SqliteBefore = 0, SqliteAfter = 0;
} GFigures;

// ---- the engine ----------------------------------------------------------------------

void Engine(benchmark::State& State) {
    const std::filesystem::path dir = BenchDir("engine");
    const std::string file = (dir / "TILO_DB.ORQ").string();
    const int rows = Rows();
    for (auto _ : State) {
        std::filesystem::remove(file);
        StartEngine();
        {
            TORQLocalSession s;
            s.DatabaseName = "ORQDB";
            s.DatabaseFileName = file;
            s.CreateDatabase();
        }
        TORQDatabase db(nullptr);
        db.SetDatabaseName("ORQDB");
        db.SetDatabaseFileName(file);
        db.SilentMode = true;
        db.Open();
        {
            TORQTable t;
            t.SetDatabaseName("ORQDB");
            t.SetTableName("NAVTEXLOG");
            for (auto [name, type, size] : {std::tuple{"UTCRECEIVED", aftDateTime, 0}, {"FREQ", aftInteger, 0},
                                            {"STATION", aftVarChar, 75}, {"MSGTEXT", aftMemo, 0}}) {
                TORQAdvFieldDef* d = t.AdvFieldDefs().Add();
                d->Name = name;
                d->DataType = type;
                d->Size = size;
            }
            TORQAdvIndexDef* dt = t.AdvIndexDefs().Add();
            dt->Name = "IDX_DT";
            dt->Fields = "UTCRECEIVED";
            dt->Options = classlib::ixPrimary | classlib::ixUnique;
            TORQAdvIndexDef* st = t.AdvIndexDefs().Add();
            st->Name = "IDX_ST";
            st->Fields = "STATION";
            t.CreateTable();
            TORQTable log;
            log.SetDatabaseName("ORQDB");
            log.SetTableName("NAVTEXLOG");
            log.SetIndexName("IDX_DT");
            log.Open();
            for (int64_t i = 0; i < rows; ++i) {
                if (i % Batch == 0) db.StartTransaction();
                const Message m = MessageOf(i);
                log.Append();
                log.Fields()[0]->SetAsDateTime(Days(i));
                log.Fields()[1]->SetAsInteger(i % 2 == 0 ? 518 : 490);
                log.Fields()[2]->SetAsString(m.Station);
                log.Fields()[3]->SetAsString(m.Text);
                log.Post();
                if (i % Batch == Batch - 1) db.Commit(false);
            }
            log.First();
            for (int i = 0; i < rows / 2; ++i) {
                if (i % Batch == 0) db.StartTransaction();
                log.Delete();
                if (i % Batch == Batch - 1 || i == rows / 2 - 1) db.Commit(false);
            }
            log.Close();
        }
        db.Close();
        GFigures.EngineBefore = MB(file);
        auto t = Clock::now();
        if (!db.CompactDatabase()) std::abort();
        GFigures.Compact = Since(t);
        GFigures.EngineAfter = MB(file);
        // The same file marked as not closed properly (its header's state byte).
        {
            std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
            f.seekp(42);
            f.put(1);
        }
        t = Clock::now();
        std::string errorText;
        db.RepairDatabase(errorText);
        GFigures.Repair = Since(t);
        db.Open();
        TORQTable log;
        log.SetDatabaseName("ORQDB");
        log.SetTableName("NAVTEXLOG");
        log.Open();
        if (log.RecordCount() != rows - rows / 2) std::abort();
        log.Close();
        db.Close();
        StopEngine();
    }
    State.counters["compact_s"] = GFigures.Compact;
    State.counters["repair_s"] = GFigures.Repair;
    State.counters["MB_before"] = GFigures.EngineBefore;
    State.counters["MB_after"] = GFigures.EngineAfter;
    std::filesystem::remove_all(dir);
}

// ---- SQLite --------------------------------------------------------------------------

void Exec(sqlite3* Db, const char* Sql) {
    char* error = nullptr;
    if (sqlite3_exec(Db, Sql, nullptr, nullptr, &error) != SQLITE_OK) {
        std::fprintf(stderr, "%s: %s\n", Sql, error);
        std::abort();
    }
}

void Sqlite(benchmark::State& State) {
    const std::filesystem::path dir = BenchDir("sqlite");
    const std::string file = (dir / "log.sqlite").string();
    const int rows = Rows();
    for (auto _ : State) {
        std::filesystem::remove(file);
        sqlite3* db = nullptr;
        sqlite3_open(file.c_str(), &db);
        Exec(db, "PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL");
        Exec(db,
             "CREATE TABLE NAVTEXLOG (UTCRECEIVED REAL, FREQ INTEGER, STATION VARCHAR(75), MSGTEXT TEXT);"
             "CREATE UNIQUE INDEX IDX_DT ON NAVTEXLOG (UTCRECEIVED);"
             "CREATE INDEX IDX_ST ON NAVTEXLOG (STATION)");
        sqlite3_stmt* insert = nullptr;
        sqlite3_prepare_v2(db, "INSERT INTO NAVTEXLOG VALUES (?, ?, ?, ?)", -1, &insert, nullptr);
        Exec(db, "BEGIN");
        for (int64_t i = 0; i < rows; ++i) {
            const Message m = MessageOf(i);
            sqlite3_bind_double(insert, 1, Days(i));
            sqlite3_bind_int(insert, 2, i % 2 == 0 ? 518 : 490);
            sqlite3_bind_text(insert, 3, m.Station.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(insert, 4, m.Text.c_str(), static_cast<int>(m.Text.size()), SQLITE_TRANSIENT);
            if (sqlite3_step(insert) != SQLITE_DONE) std::abort();
            sqlite3_reset(insert);
        }
        Exec(db, "COMMIT");
        sqlite3_finalize(insert);
        const std::string cut = "DELETE FROM NAVTEXLOG WHERE UTCRECEIVED < " + std::to_string(Days(rows / 2) - 1e-7);
        Exec(db, cut.c_str());
        GFigures.SqliteBefore = MB(file);
        auto t = Clock::now();
        Exec(db, "VACUUM");
        GFigures.Vacuum = Since(t);
        sqlite3_close(db);
        GFigures.SqliteAfter = MB(file);
    }
    State.counters["vacuum_s"] = GFigures.Vacuum;
    State.counters["MB_before"] = GFigures.SqliteBefore;
    State.counters["MB_after"] = GFigures.SqliteAfter;
    std::filesystem::remove_all(dir);
}

BENCHMARK(Engine)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(Sqlite)->Iterations(1)->Unit(benchmark::kSecond);

// The ratios, once both ran.
struct TRatios {
    ~TRatios() {
        if (GFigures.Vacuum <= 0 || GFigures.Compact <= 0) return;
        std::printf(
            "compact %.3f s / VACUUM %.3f s = %.2f; repair %.3f s; MB engine %.2f -> %.2f, SQLite %.2f -> %.2f; "
            "engine after / SQLite after = %.2f\n",
            GFigures.Compact, GFigures.Vacuum, GFigures.Compact / GFigures.Vacuum, GFigures.Repair,
            GFigures.EngineBefore, GFigures.EngineAfter, GFigures.SqliteBefore, GFigures.SqliteAfter,
            GFigures.SqliteAfter > 0 ? GFigures.EngineAfter / GFigures.SqliteAfter : 0.0);
    }
} GRatios;

}  // namespace
