// The rebuilds beside SQLite in one run, on a disk-backed folder:
// - compaction of the message log (TORQDatabase::CompactDatabase against VACUUM) at
//   100,000 and 1,000,000 messages: log-shaped records as bench_compact makes them (date
//   key IDX_DT, station index, texts of 80 to 700 bytes), the oldest half deleted, then the
//   file rebuilt;
// - restructure of a 100,000-row station table widening IDTEXT from VARCHAR(100) to 300
//   with two indexes (RestructureTableSimple against SQLite's rebuild in one transaction:
//   CREATE, INSERT ... SELECT, DROP, RENAME, the indexes), as bench_tablelog does it.
//
// Each source file is built once and kept in the cache folder across runs (building the
// 1,000,000-message files takes minutes); every timed run works on a fresh copy of it.
// Figures are medians of TILO_BENCH_REPEAT runs (3). Peak memory is the process's resident
// size at its highest while the operation runs (sampled every 10 ms), and its rise over
// what the process held before it. At exit a table gives each figure beside SQLite's and
// the ratio.
//
// TILO_BENCH_DIR names the folder (the current directory): a tmpfs measures nothing.
// TILO_BENCH_CACHE the cache folder (<TILO_BENCH_DIR>/orq-bench-rebuild-cache).
// TILO_BENCH_COMPACT_ROWS a comma-separated list of message counts (100000,1000000).
// TILO_BENCH_RESTRUCTURE_ROWS the station table's size (100,000).
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

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
namespace fs = std::filesystem;

constexpr int Batch = 1000;

int EnvInt(const char* Name, int Default, int Min) {
    const char* e = std::getenv(Name);
    const int n = e != nullptr ? std::atoi(e) : Default;
    return n < Min ? Min : n;
}

const int Repeat = EnvInt("TILO_BENCH_REPEAT", 3, 1);
const int RestructureRows = EnvInt("TILO_BENCH_RESTRUCTURE_ROWS", 100000, 1000);

std::vector<int> CompactRows() {
    const char* e = std::getenv("TILO_BENCH_COMPACT_ROWS");
    std::stringstream list(e != nullptr ? e : "100000,1000000");
    std::vector<int> rows;
    for (std::string item; std::getline(list, item, ',');)
        if (const int n = std::atoi(item.c_str()); n >= 2 * Batch) rows.push_back(n / Batch * Batch);
    return rows;
}

fs::path CacheDir() {
    const char* cache = std::getenv("TILO_BENCH_CACHE");
    const char* where = std::getenv("TILO_BENCH_DIR");
    fs::path dir = cache != nullptr ? fs::path(cache)
                                    : fs::path(where != nullptr ? where : ".") / "orq-bench-rebuild-cache";
    fs::create_directories(dir);
    return dir;
}

double Since(Clock::time_point Start) { return std::chrono::duration<double>(Clock::now() - Start).count(); }
double Days(int64_t Minute) { return 46000.0 + static_cast<double>(Minute) / 1440.0; }
double MB(const fs::path& File) { return static_cast<double>(fs::file_size(File)) / 1e6; }

// ---- peak memory ------------------------------------------------------------------

// The resident size in MB, from /proc/self/statm.
double ResidentMB() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE)) / 1e6;
}

// The resident size sampled every 10 ms while an operation runs: its peak, and what the
// process held before it.
class TMemory {
public:
    TMemory() : Before(ResidentMB()), Peak(Before) {
        FSampler = std::thread([this] {
            while (!FStop.load()) {
                Peak = std::max(Peak.load(), ResidentMB());
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
    }
    ~TMemory() { Stop(); }
    void Stop() {
        if (!FSampler.joinable()) return;
        FStop = true;
        FSampler.join();
        Peak = std::max(Peak.load(), ResidentMB());
    }
    const double Before;
    std::atomic<double> Peak;

private:
    std::atomic<bool> FStop{false};
    std::thread FSampler;
};

// ---- figures ----------------------------------------------------------------------

struct TFigure {
    std::vector<double> Seconds, PeakMB, RiseMB;
    double SizeBefore = 0, SizeAfter = 0;
    void Add(double S, TMemory& M) {
        M.Stop();
        Seconds.push_back(S);
        PeakMB.push_back(M.Peak);
        RiseMB.push_back(std::max(0.0, M.Peak - M.Before));
    }
    static double Median(std::vector<double> V) {
        if (V.empty()) return 0;
        std::sort(V.begin(), V.end());
        return V[V.size() / 2];
    }
};
// Keyed by (work, "engine" / "sqlite").
std::map<std::pair<std::string, std::string>, TFigure> GFigures;

// ---- the message log ----------------------------------------------------------------

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

TORQAdvFieldDef* AddAdv(TORQTable& T, const std::string& Name, uint8_t Type, int32_t Size = 0) {
    TORQAdvFieldDef* d = T.AdvFieldDefs().Add();
    d->Name = Name;
    d->DataType = Type;
    d->Size = Size;
    return d;
}

void AddAdvIndex(TORQTable& T, const std::string& Name, const std::string& Fields, classlib::TIndexOptions Options) {
    TORQAdvIndexDef* d = T.AdvIndexDefs().Add();
    d->Name = Name;
    d->Fields = Fields;
    d->Options = Options;
}

void CreateEngineFile(const std::string& File) {
    fs::remove(File);
    TORQLocalSession s;
    s.DatabaseName = "ORQDB";
    s.DatabaseFileName = File;
    s.CreateDatabase();
}

void OpenEngine(TORQDatabase& Db, const std::string& File) {
    Db.SetDatabaseName("ORQDB");
    Db.SetDatabaseFileName(File);
    Db.SilentMode = true;
}

// The engine's log of Rows messages, the oldest half deleted.
void BuildEngineLog(const std::string& File, int Rows) {
    StartEngine();
    CreateEngineFile(File);
    {
        TORQDatabase db(nullptr);
        OpenEngine(db, File);
        db.Open();
        {
            TORQTable t;
            t.SetDatabaseName("ORQDB");
            t.SetTableName("NAVTEXLOG");
            AddAdv(t, "UTCRECEIVED", aftDateTime);
            AddAdv(t, "FREQ", aftInteger);
            AddAdv(t, "STATION", aftVarChar, 75);
            AddAdv(t, "MSGTEXT", aftMemo);
            AddAdvIndex(t, "IDX_DT", "UTCRECEIVED", classlib::ixPrimary | classlib::ixUnique);
            AddAdvIndex(t, "IDX_ST", "STATION", 0);
            t.CreateTable();
        }
        TORQTable log;
        log.SetDatabaseName("ORQDB");
        log.SetTableName("NAVTEXLOG");
        log.SetIndexName("IDX_DT");
        log.Open();
        for (int64_t i = 0; i < Rows; ++i) {
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
        for (int i = 0; i < Rows / 2; ++i) {
            if (i % Batch == 0) db.StartTransaction();
            log.Delete();
            if (i % Batch == Batch - 1 || i == Rows / 2 - 1) db.Commit(false);
        }
        log.Close();
        db.Close();
    }
    StopEngine();
}

void Exec(sqlite3* Db, const char* Sql) {
    char* error = nullptr;
    if (sqlite3_exec(Db, Sql, nullptr, nullptr, &error) != SQLITE_OK) {
        std::fprintf(stderr, "%s: %s\n", Sql, error);
        std::abort();
    }
}

void BuildSqliteLog(const std::string& File, int Rows) {
    fs::remove(File);
    sqlite3* db = nullptr;
    sqlite3_open(File.c_str(), &db);
    Exec(db, "PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL");
    Exec(db,
         "CREATE TABLE NAVTEXLOG (UTCRECEIVED REAL, FREQ INTEGER, STATION VARCHAR(75), MSGTEXT TEXT);"
         "CREATE UNIQUE INDEX IDX_DT ON NAVTEXLOG (UTCRECEIVED);"
         "CREATE INDEX IDX_ST ON NAVTEXLOG (STATION)");
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO NAVTEXLOG VALUES (?, ?, ?, ?)", -1, &insert, nullptr);
    Exec(db, "BEGIN");
    for (int64_t i = 0; i < Rows; ++i) {
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
    const std::string cut = "DELETE FROM NAVTEXLOG WHERE UTCRECEIVED < " + std::to_string(Days(Rows / 2) - 1e-7);
    Exec(db, cut.c_str());
    sqlite3_close(db);
}

// The cached source: built into a temporary name and renamed, so a cut build is never
// taken for a finished one.
fs::path CachedSource(const std::string& Name, const std::function<void(const std::string&)>& Build) {
    const fs::path file = CacheDir() / Name;
    if (fs::exists(file)) return file;
    const fs::path building = CacheDir() / (Name + ".building");
    const auto t = Clock::now();
    Build(building.string());
    fs::rename(building, file);
    std::fprintf(stderr, "built %s in %.1f s\n", file.string().c_str(), Since(t));
    return file;
}

void CompactEngine(benchmark::State& State) {
    const int rows = static_cast<int>(State.range(0));
    const fs::path source = CachedSource("log-" + std::to_string(rows) + ".orq",
                                         [rows](const std::string& F) { BuildEngineLog(F, rows); });
    const fs::path dir = FreshBenchDir("rebuild-compact-engine");
    const std::string file = (dir / "TILO_DB.ORQ").string();
    TFigure& f = GFigures[{"compact " + std::to_string(rows), "engine"}];
    for (auto _ : State) {
        for (int run = 0; run < Repeat; ++run) {
            fs::remove(file);
            fs::copy_file(source, file);
            f.SizeBefore = MB(file);
            StartEngine();
            {
                TORQDatabase db(nullptr);
                OpenEngine(db, file);
                TMemory m;
                const auto t = Clock::now();
                if (!db.CompactDatabase()) std::abort();
                const double s = Since(t);
                    f.Add(s, m);
                db.Open();
                TORQTable log;
                log.SetDatabaseName("ORQDB");
                log.SetTableName("NAVTEXLOG");
                log.Open();
                if (log.RecordCount() != rows - rows / 2) std::abort();
                log.Close();
                db.Close();
            }
            StopEngine();
            f.SizeAfter = MB(file);
        }
    }
    State.counters["compact_s"] = TFigure::Median(f.Seconds);
    State.counters["peak_MB"] = TFigure::Median(f.PeakMB);
    State.counters["MB_after"] = f.SizeAfter;
}

void CompactSqlite(benchmark::State& State) {
    const int rows = static_cast<int>(State.range(0));
    const fs::path source = CachedSource("log-" + std::to_string(rows) + ".sqlite",
                                         [rows](const std::string& F) { BuildSqliteLog(F, rows); });
    const fs::path dir = FreshBenchDir("rebuild-compact-sqlite");
    const std::string file = (dir / "log.sqlite").string();
    TFigure& f = GFigures[{"compact " + std::to_string(rows), "sqlite"}];
    for (auto _ : State) {
        for (int run = 0; run < Repeat; ++run) {
            fs::remove(file);
            fs::copy_file(source, file);
            f.SizeBefore = MB(file);
            sqlite3* db = nullptr;
            sqlite3_open(file.c_str(), &db);
            Exec(db, "PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL");
            TMemory m;
            const auto t = Clock::now();
            Exec(db, "VACUUM");
            const double s = Since(t);
            f.Add(s, m);
            sqlite3_close(db);
            f.SizeAfter = MB(file);
        }
    }
    State.counters["vacuum_s"] = TFigure::Median(f.Seconds);
    State.counters["peak_MB"] = TFigure::Median(f.PeakMB);
    State.counters["MB_after"] = f.SizeAfter;
}

// ---- the station table --------------------------------------------------------------

std::string Numbered(const char* Prefix, int I) { return std::string(Prefix) + std::to_string(I); }
std::string IdText(int I) { return Numbered(std::string(90, 'x').c_str(), I); }

void BuildEngineStations(const std::string& File, int Rows) {
    StartEngine();
    CreateEngineFile(File);
    {
        TORQDatabase db(nullptr);
        OpenEngine(db, File);
        db.Open();
        {
            TORQTable t;
            t.SetDatabaseName("ORQDB");
            t.SetTableName("STATIONS");
            AddAdv(t, "NAVAREA", aftSmallInt);
            AddAdv(t, "IDLETTER", aftVarChar, 1);
            AddAdv(t, "LOCATION", aftVarChar, 50);
            AddAdv(t, "IDTEXT", aftVarChar, 100);
            AddAdv(t, "UNIQUEID", aftVarChar, 100);
            AddAdv(t, "FREQ", aftInteger);
            AddAdvIndex(t, "IDX_NAVLOC", "NAVAREA;IDLETTER;LOCATION", 0);
            AddAdvIndex(t, "IDX_UID", "UNIQUEID", classlib::ixUnique);
            t.CreateTable();
        }
        TORQTable st;
        st.SetDatabaseName("ORQDB");
        st.SetTableName("STATIONS");
        st.Open();
        for (int i = 0; i < Rows; ++i) {
            if (i % Batch == 0) db.StartTransaction();
            st.Append();
            st.Fields()[0]->SetAsInteger(i % 16 + 1);
            st.Fields()[1]->SetAsString(std::string(1, static_cast<char>('A' + i % 26)));
            st.Fields()[2]->SetAsString(Numbered("LOC", i));
            st.Fields()[3]->SetAsString(IdText(i));
            st.Fields()[4]->SetAsString(Numbered("U", i));
            st.Fields()[5]->SetAsInteger(i);
            st.Post();
            if (i % Batch == Batch - 1 || i == Rows - 1) db.Commit(false);
        }
        st.Close();
        db.Close();
    }
    StopEngine();
}

void BuildSqliteStations(const std::string& File, int Rows) {
    fs::remove(File);
    sqlite3* db = nullptr;
    sqlite3_open(File.c_str(), &db);
    Exec(db, "PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL");
    Exec(db, "CREATE TABLE STATIONS (NAVAREA SMALLINT, IDLETTER VARCHAR(1), LOCATION VARCHAR(50), "
             "IDTEXT VARCHAR(100), UNIQUEID VARCHAR(100), FREQ INTEGER)");
    sqlite3_stmt* ins = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO STATIONS VALUES (?, ?, ?, ?, ?, ?)", -1, &ins, nullptr);
    Exec(db, "BEGIN");
    for (int r = 0; r < Rows; ++r) {
        const std::string letter(1, static_cast<char>('A' + r % 26)), loc = Numbered("LOC", r), id = IdText(r),
                                                                        uid = Numbered("U", r);
        sqlite3_bind_int(ins, 1, r % 16 + 1);
        sqlite3_bind_text(ins, 2, letter.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(ins, 3, loc.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(ins, 4, id.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(ins, 5, uid.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(ins, 6, r);
        if (sqlite3_step(ins) != SQLITE_DONE) std::abort();
        sqlite3_reset(ins);
    }
    Exec(db, "COMMIT");
    sqlite3_finalize(ins);
    Exec(db, "CREATE INDEX IDX_NAVLOC ON STATIONS (NAVAREA, IDLETTER, LOCATION); "
             "CREATE UNIQUE INDEX IDX_UID ON STATIONS (UNIQUEID)");
    sqlite3_close(db);
}

void RestructureEngine(benchmark::State& State) {
    const fs::path source = CachedSource("stations-" + std::to_string(RestructureRows) + ".orq",
                                         [](const std::string& F) { BuildEngineStations(F, RestructureRows); });
    const fs::path dir = FreshBenchDir("rebuild-restructure-engine");
    const std::string file = (dir / "TILO_DB.ORQ").string();
    TFigure& f = GFigures[{"restructure " + std::to_string(RestructureRows), "engine"}];
    for (auto _ : State) {
        for (int run = 0; run < Repeat; ++run) {
            fs::remove(file);
            fs::copy_file(source, file);
            StartEngine();
            {
                TORQDatabase db(nullptr);
                OpenEngine(db, file);
                db.Open();
                TORQTable st;
                st.SetDatabaseName("ORQDB");
                st.SetTableName("STATIONS");
                TMemory m;
                const auto t = Clock::now();
                st.FieldDefs().Update();
                st.RestructureFieldDefs().Find("IDTEXT")->Size = 300;
                if (!st.RestructureTableSimple()) std::abort();
                const double s = Since(t);
                    f.Add(s, m);
                st.Open();
                if (st.RecordCount() != RestructureRows || st.FieldByName("IDTEXT")->Size() != 300) std::abort();
                st.Close();
                db.Close();
            }
            StopEngine();
        }
    }
    State.counters["restructure_s"] = TFigure::Median(f.Seconds);
    State.counters["peak_MB"] = TFigure::Median(f.PeakMB);
}

void RestructureSqlite(benchmark::State& State) {
    const fs::path source = CachedSource("stations-" + std::to_string(RestructureRows) + ".sqlite",
                                         [](const std::string& F) { BuildSqliteStations(F, RestructureRows); });
    const fs::path dir = FreshBenchDir("rebuild-restructure-sqlite");
    const std::string file = (dir / "stations.sqlite").string();
    TFigure& f = GFigures[{"restructure " + std::to_string(RestructureRows), "sqlite"}];
    for (auto _ : State) {
        for (int run = 0; run < Repeat; ++run) {
            fs::remove(file);
            fs::copy_file(source, file);
            sqlite3* db = nullptr;
            sqlite3_open(file.c_str(), &db);
            Exec(db, "PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL");
            TMemory m;
            const auto t = Clock::now();
            Exec(db,
                 "BEGIN;"
                 "CREATE TABLE STATIONS_NEW (NAVAREA SMALLINT, IDLETTER VARCHAR(1), LOCATION VARCHAR(50), "
                 "IDTEXT VARCHAR(300), UNIQUEID VARCHAR(100), FREQ INTEGER);"
                 "INSERT INTO STATIONS_NEW SELECT * FROM STATIONS;"
                 "DROP TABLE STATIONS;"
                 "ALTER TABLE STATIONS_NEW RENAME TO STATIONS;"
                 "CREATE INDEX IDX_NAVLOC ON STATIONS (NAVAREA, IDLETTER, LOCATION);"
                 "CREATE UNIQUE INDEX IDX_UID ON STATIONS (UNIQUEID);"
                 "COMMIT");
            const double s = Since(t);
            f.Add(s, m);
            sqlite3_close(db);
        }
    }
    State.counters["restructure_s"] = TFigure::Median(f.Seconds);
    State.counters["peak_MB"] = TFigure::Median(f.PeakMB);
}

void RegisterAll() {
    for (const int rows : CompactRows()) {
        benchmark::RegisterBenchmark("CompactEngine", CompactEngine)->Arg(rows)->Iterations(1)->Unit(benchmark::kSecond);
        benchmark::RegisterBenchmark("CompactSqlite", CompactSqlite)->Arg(rows)->Iterations(1)->Unit(benchmark::kSecond);
    }
    benchmark::RegisterBenchmark("RestructureEngine", RestructureEngine)->Iterations(1)->Unit(benchmark::kSecond);
    benchmark::RegisterBenchmark("RestructureSqlite", RestructureSqlite)->Iterations(1)->Unit(benchmark::kSecond);
}
const bool GRegistered = (RegisterAll(), true);

// The table, once every benchmark ran.
struct TReport {
    ~TReport() {
        std::map<std::string, std::pair<const TFigure*, const TFigure*>> rows;
        for (const auto& [key, figure] : GFigures)
            (key.second == "engine" ? rows[key.first].first : rows[key.first].second) = &figure;
        if (rows.empty()) return;
        std::printf("\n%-22s %10s %10s %7s %12s %12s %12s %12s\n", "work (median s)", "engine", "SQLite", "ratio",
                    "eng peak MB", "eng rise MB", "sql peak MB", "sql rise MB");
        for (const auto& [work, pair] : rows) {
            const double e = pair.first ? TFigure::Median(pair.first->Seconds) : 0;
            const double s = pair.second ? TFigure::Median(pair.second->Seconds) : 0;
            std::printf("%-22s %10.3f %10.3f %7.2f %12.1f %12.1f %12.1f %12.1f\n", work.c_str(), e, s,
                        s > 0 ? e / s : 0.0, pair.first ? TFigure::Median(pair.first->PeakMB) : 0.0,
                        pair.first ? TFigure::Median(pair.first->RiseMB) : 0.0,
                        pair.second ? TFigure::Median(pair.second->PeakMB) : 0.0,
                        pair.second ? TFigure::Median(pair.second->RiseMB) : 0.0);
        }
    }
} GReport;

}  // namespace
