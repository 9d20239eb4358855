// The receiver's start and its blocks, as the program runs them.
//
// BM_BlockThroughTheWiredWindow: one audio block through the wired main window: the
// modem, the decoder, the gauges, the message page with its log grid shown, the feed
// with two clients on loopback that read everything, and the event loop turned once per
// block. The audio is a synthesised broadcast at 1200 Hz, cycled, so the decoder is in
// sync and assembling lines for most blocks. The figure to read is the time per
// iteration (one block) in milliseconds beside the 92.9 ms a block of 1024 samples
// lasts at 11025 samples per second.
//
// StoreStart: the message store's part of a start, beside SQLite in the same run. A
// fresh folder provisioned from the default data (both files created, 110 stations and
// 3,656 words imported, both opened) against SQLite creating the same tables and rows;
// then, over a log of 100,000 and of 1,000,000 records, the data module's creation to
// the first decoded block (the module, the delayed opening: tables open, RecordCount,
// Last, the settings and capture; one block) against SQLite's open, count(*) and last
// row of the same log; and one message of the default stations decoded and stored end
// to end through the wired window (its blocks, the identification, the post) against
// the message's own length on air. Both logs are written once and kept between runs
// in TILO_BENCH_CACHE (or /tmp/tilo_bench_cache): the larger takes minutes to write.
#include <QCoreApplication>
#include <QTabWidget>
#include <QTimer>

#include <sqlite3.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/DataModule.h"
#include "app/TiloApplication.h"
#include "app/U_Main.h"
#include "bench/AppBench.h"
#include "classlib/DB.h"
#include "engine/access/ORQDatabase.h"
#include "engine/access/ORQMain.h"
#include "decoder/uModem.h"
#include "platform/AudioSource.h"
#include "tools/navtex-synth/NavtexSynth.h"

namespace {

tilo::TTiloApplication& App() { return BenchApp("bench_startup"); }

void BM_BlockThroughTheWiredWindow(benchmark::State& state) {
    App();
    const auto home = std::filesystem::temp_directory_path() / ("tilo_bench_startup_" + std::to_string(::getpid()));
    std::filesystem::create_directories(home);
    setenv("TILO_HOME", home.c_str(), 1);
    setenv("TILO_FEED_PORT", "0", 1);
    tilo::TSynthOptions o;
    o.Centre = 1200;
    std::string text;
    for (int i = 0; i < 20; ++i) text += "GALE WARNING SEA AREA " + std::to_string(i) + " WIND NORTHWEST 8 TO 9\n";
    const std::vector<int16_t> audio = tilo::SynthesiseNavtex({text, "EA01"}, o);
    {
        tilo::TfrmMain w;
        w.AudioSourceFactory = [] { return std::make_unique<TSilentSource>(0, "none"); };
        w.TimOpenDBTimer();
        w.PageControl1->setCurrentWidget(w.tsMessages);
        w.show();
        const int a = Connect(w.ServSock->Port()), b = Connect(w.ServSock->Port());
        while (w.ServSock->ActiveConnections() < 2) QCoreApplication::processEvents();
        std::size_t at = 0;
        for (auto _ : state) {
            if (at + tilo::ModemBlockSize > audio.size()) at = 0;
            w.FModem->ProcessBlock(std::span<const int16_t>(audio.data() + at, tilo::ModemBlockSize));
            at += tilo::ModemBlockSize;
            QCoreApplication::processEvents();
            Drain(a);
            Drain(b);
        }
        // Decoding did happen: the system log holds the lines of the messages stored.
        state.counters["log_lines"] = double(w.meSysLogLineCount());
        ::close(a);
        ::close(b);
        w.TimOpenDB->stop();
    }
    std::filesystem::remove_all(home);
}
BENCHMARK(BM_BlockThroughTheWiredWindow)->Unit(benchmark::kMillisecond)->MinTime(3.0);

using Clock = std::chrono::steady_clock;
constexpr int Runs = 5;  // the fastest of these counts
constexpr double BlockMs = 1024.0 / 11025.0 * 1000.0;

double Ms(Clock::time_point T) { return std::chrono::duration<double, std::milli>(Clock::now() - T).count(); }
std::string DataFolder() { return std::string(TILO_SOURCE_DIR) + "/data"; }

std::filesystem::path NewFolder(const std::string& Name) {
    const auto p = std::filesystem::temp_directory_path() /
                   ("tilo_bench_store_" + std::to_string(::getpid()) + "_" + Name);
    std::filesystem::remove_all(p);
    std::filesystem::create_directories(p);
    return p;
}

void Exec(sqlite3* Db, const std::string& Sql) {
    char* error = nullptr;
    if (sqlite3_exec(Db, Sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        std::fprintf(stderr, "sqlite: %s\n", error ? error : "?");
        std::abort();
    }
}

std::vector<std::string> FileLines(const std::string& Name) {
    std::ifstream in(Name, std::ios::binary);
    std::vector<std::string> v;
    for (std::string l; std::getline(in, l);) {
        if (!l.empty() && l.back() == '\r') l.pop_back();
        if (!l.empty()) v.push_back(l);
    }
    return v;
}

const char* const SqliteSchema =
    "CREATE TABLE NAVTEXLOG (UTCRECEIVED REAL PRIMARY KEY, FREQ INTEGER, SIGQUAL REAL, IDLETTER TEXT, MSGTYPE TEXT, "
    "MSGNUMBER TEXT, NAVAREA INTEGER, STATION TEXT, MSGTEXT TEXT, DIST INTEGER);"
    "CREATE TABLE STATIONS (NAVAREA INTEGER, FREQ REAL, IDLETTER TEXT, CALLSIGN TEXT, LOCATION TEXT, COUNTRY TEXT, "
    "COUNTRYCODE TEXT, LAT REAL, LON REAL, T1 TEXT, T2 TEXT, T3 TEXT, T4 TEXT, T5 TEXT, T6 TEXT, IDTEXT TEXT, "
    "UNIQUEID TEXT);"
    "CREATE INDEX IDX_NAVLOC ON STATIONS (NAVAREA, LOCATION);";

// SQLite's provisioning: both files, the tables, the default stations and words.
void SqliteProvision(const std::filesystem::path& Dir) {
    sqlite3* db = nullptr;
    sqlite3_open((Dir / "log.sqlite").c_str(), &db);
    Exec(db, "PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL;");
    Exec(db, "BEGIN");
    Exec(db, SqliteSchema);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO STATIONS VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)", -1, &st, nullptr);
    const std::vector<std::string> lines = FileLines(DataFolder() + "/TILO_STATIONS.TXT");
    for (std::size_t i = 1; i < lines.size(); ++i) {
        std::stringstream in(lines[i]);
        std::string field;
        for (int c = 1; c <= 17 && std::getline(in, field, '#'); ++c)
            sqlite3_bind_text(st, c, field.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_step(st);
        sqlite3_reset(st);
        sqlite3_clear_bindings(st);
    }
    sqlite3_finalize(st);
    Exec(db, "COMMIT");
    sqlite3_close(db);
    sqlite3_open((Dir / "lex.sqlite").c_str(), &db);
    Exec(db, "PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL;");
    Exec(db, "BEGIN; CREATE TABLE DBWORD (WORDS TEXT PRIMARY KEY);");
    sqlite3_prepare_v2(db, "INSERT OR IGNORE INTO DBWORD VALUES (?)", -1, &st, nullptr);
    for (const std::string& w : FileLines(DataFolder() + "/lexicon.txt")) {
        sqlite3_bind_text(st, 1, w.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_step(st);
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    Exec(db, "COMMIT");
    sqlite3_close(db);
}

std::string LogText(int I) { return "ZCZC AA00\r\nGALE WARNING " + std::to_string(I) + "\r\nNNNN"; }

// The same N records in both: the engine's through the data module's log table.
void FillEngineLog(tilo::TDataModule1& M, int N) {
    classlib::TDataSet& l = *M.LogTable;
    l.Open();
    M.DsLog->OnUpdateData = nullptr;
    for (int i = 0; i < N; ++i) {
        if (i % 5000 == 0) M.ORQDB->StartTransaction();
        l.Append();
        l.FieldByName("UTCRECEIVED")->SetAsDateTime(46000 + i / 1440.0);
        l.FieldByName("FREQ")->SetAsInteger(518);
        l.FieldByName("IDLETTER")->SetAsString("A");
        l.FieldByName("NAVAREA")->SetAsInteger(1);
        l.FieldByName("STATION")->SetAsString("UNID");
        l.FieldByName("MSGTEXT")->SetAsString(LogText(i));
        l.FieldByName("DIST")->SetAsInteger(i % 3000);
        l.Post();
        if (i % 5000 == 4999 || i == N - 1) M.ORQDB->Commit(true);
    }
    l.Close();
}

void FillSqliteLog(const std::filesystem::path& File, int N) {
    sqlite3* db = nullptr;
    sqlite3_open(File.c_str(), &db);
    Exec(db, "PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL;");
    Exec(db, SqliteSchema);
    Exec(db, "BEGIN");
    sqlite3_stmt* ins = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO NAVTEXLOG VALUES (?,518,50,'A','A','01',1,'UNID',?,?)", -1, &ins, nullptr);
    for (int i = 0; i < N; ++i) {
        const std::string text = LogText(i);
        sqlite3_bind_double(ins, 1, 46000 + i / 1440.0);
        sqlite3_bind_text(ins, 2, text.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(ins, 3, i % 3000);
        sqlite3_step(ins);
        sqlite3_reset(ins);
    }
    sqlite3_finalize(ins);
    Exec(db, "COMMIT");
    sqlite3_close(db);
}

// The logs of N records (the engine's files and SQLite's), written once and kept.
std::filesystem::path CachedStartLog(int N) {
    const char* root = std::getenv("TILO_BENCH_CACHE");
    const std::filesystem::path dir = std::filesystem::path(root && *root ? root : "/tmp/tilo_bench_cache") /
                                      ("startup_" + std::to_string(N));
    if (std::filesystem::exists(dir / "done")) return dir;
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    char before[4096];
    if (::getcwd(before, sizeof before) == nullptr) std::abort();
    const auto build = NewFolder("build");
    if (::chdir(build.c_str()) != 0) std::abort();
    {
        tilo::TDataModule1 m;
        FillEngineLog(m, N);
    }
    for (const char* name : {"TILO_DB.ORQ", "LEX.ORQ"}) std::filesystem::copy_file(name, dir / name);
    if (::chdir(before) != 0) std::abort();
    std::filesystem::remove_all(build);
    FillSqliteLog(dir / "log.sqlite", N);
    std::ofstream(dir / "done") << N;
    return dir;
}

// SQLite's open of the log: the connection, count(*) and the last row by time.
double SqliteOpenAndCount(const std::filesystem::path& File, int64_t& Count) {
    const auto t = Clock::now();
    sqlite3* db = nullptr;
    sqlite3_open(File.c_str(), &db);
    sqlite3_stmt* q = nullptr;
    sqlite3_prepare_v2(db, "SELECT count(*) FROM NAVTEXLOG", -1, &q, nullptr);
    sqlite3_step(q);
    Count = sqlite3_column_int64(q, 0);
    sqlite3_finalize(q);
    sqlite3_prepare_v2(db, "SELECT * FROM NAVTEXLOG ORDER BY UTCRECEIVED DESC LIMIT 1", -1, &q, nullptr);
    if (sqlite3_step(q) != SQLITE_ROW) std::abort();
    sqlite3_finalize(q);
    sqlite3_close(db);
    return Ms(t);
}

struct TStartFigures {
    double Provision = 1e18, SqliteProvision = 1e18;
    double Tables = 1e18;
    double Module = 1e18, Opening = 1e18, FirstBlock = 1e18, Start = 1e18, SqliteOpen = 1e18;
    double Message = 0, MessageAir = 0;
    int32_t Blocks = 0, Stored = 0;
    int64_t Records = 0, SqliteRecords = 0;
};

void StoreStart(benchmark::State& State) {
    App();
    const int n = static_cast<int>(State.range(0));
    TStartFigures f;
    char before[4096];
    if (::getcwd(before, sizeof before) == nullptr) std::abort();
    setenv("TILO_FEED_PORT", "0", 1);
    orq::StartEngine();
    tilo::TDataModule1::DefaultDataFolder = DataFolder();
    for (auto _ : State) {
        // Provisioning of a fresh folder, both ways.
        for (int run = 0; run < Runs; ++run) {
            const auto dir = NewFolder("fresh");
            if (::chdir(dir.c_str()) != 0) std::abort();
            auto t = Clock::now();
            {
                tilo::TDataModule1 m;
            }
            f.Provision = std::min(f.Provision, Ms(t));
            const auto sq = NewFolder("freshsqlite");
            t = Clock::now();
            SqliteProvision(sq);
            f.SqliteProvision = std::min(f.SqliteProvision, Ms(t));
            std::filesystem::remove_all(sq);
            if (::chdir(before) != 0) std::abort();
            std::filesystem::remove_all(dir);
        }

        // The log, made once and kept, then opened as a start opens it.
        const auto cache = CachedStartLog(n);
        const auto home = NewFolder("home");
        setenv("TILO_HOME", home.c_str(), 1);
        for (const char* name : {"TILO_DB.ORQ", "LEX.ORQ", "log.sqlite"})
            std::filesystem::copy_file(cache / name, home / name);
        if (::chdir(home.c_str()) != 0) std::abort();
        for (int run = 0; run < Runs; ++run) {
            // The store outlives the window, whose grids hold its data sources.
            std::unique_ptr<tilo::TDataModule1> m;
            tilo::TfrmMain w;
            w.AudioSourceFactory = [] { return std::make_unique<TSilentSource>(0, "none"); };
            const std::vector<int16_t> block(tilo::ModemBlockSize, 0);
            const auto t = Clock::now();
            m = std::make_unique<tilo::TDataModule1>();
            const double module = Ms(t);
            w.DataModule1 = m.get();
            auto t2 = Clock::now();
            w.TimOpenDBTimer();
            const double opening = Ms(t2);
            t2 = Clock::now();
            w.FModem->ProcessBlock(block);
            const double first = Ms(t2);
            const double start = Ms(t);
            if (start < f.Start) f.Start = start, f.Module = module, f.Opening = opening, f.FirstBlock = first;
            f.Records = m->LogTable->RecordCount();
            w.FormCloseQuery(false);
            m->FOnMessage = nullptr;
            w.DataModule1 = nullptr;
        }
        // The same work as SQLite's alone: the module (both files open), the log table
        // open, at its last record, counted.
        for (int run = 0; run < Runs; ++run) {
            const auto t = Clock::now();
            tilo::TDataModule1 m;
            m.LogTable->Open();
            m.LogTable->Last();
            if (m.LogTable->RecordCount() != n) std::abort();
            f.Tables = std::min(f.Tables, Ms(t));
        }
        for (int run = 0; run < Runs; ++run)
            f.SqliteOpen = std::min(f.SqliteOpen, SqliteOpenAndCount(home / "log.sqlite", f.SqliteRecords));

        // One message of a default station through the wired window into the store.
        {
            tilo::TSynthOptions o;
            o.Centre = 1200;
            o.LeadSeconds = 0.5;
            o.TailSeconds = 0.5;
            const std::vector<int16_t> audio =
                tilo::SynthesiseNavtex({"NITON RADIO\nGALE WARNING WIGHT\nWIND SW 8\n", "EA01"}, o);
            std::unique_ptr<tilo::TDataModule1> m;
            tilo::TfrmMain w;
            w.AudioSourceFactory = [] { return std::make_unique<TSilentSource>(0, "none"); };
            m = std::make_unique<tilo::TDataModule1>();
            w.DataModule1 = m.get();
            w.TimOpenDBTimer();
            w.PageControl1->setCurrentWidget(w.tsMessages);
            w.show();
            const int32_t before = m->LogTable->RecordCount();
            constexpr int Messages = 3;
            const auto t = Clock::now();
            for (int i = 0; i < Messages; ++i)
                for (std::size_t at = 0; at + tilo::ModemBlockSize <= audio.size(); at += tilo::ModemBlockSize) {
                    w.FModem->ProcessBlock(std::span<const int16_t>(audio.data() + at, tilo::ModemBlockSize));
                    QCoreApplication::processEvents();
                    ++f.Blocks;
                }
            f.Message = Ms(t) / Messages;
            f.Blocks /= Messages;
            f.MessageAir = f.Blocks * BlockMs;
            f.Stored = m->LogTable->RecordCount() - before;
            w.FormCloseQuery(false);
            m->FOnMessage = nullptr;
            w.DataModule1 = nullptr;
        }
        if (::chdir(before) != 0) std::abort();
        std::filesystem::remove_all(home);
    }
    tilo::TDataModule1::DefaultDataFolder.clear();
    orq::StopEngine();

    std::printf("\n%-52s %10s %10s %8s\n", "message store at start, ms (fastest of 5)", "engine", "SQLite", "ratio");
    std::printf("  %-50s %10.1f %10.1f %8.2f\n", "fresh folder: create, import defaults, open", f.Provision,
                f.SqliteProvision, f.Provision / f.SqliteProvision);
    const std::string log = std::to_string(n) + "-record log: ";
    std::printf("  %-50s %10.1f %10.2f %8.1f\n", (log + "module, open, Last, count").c_str(), f.Tables,
                f.SqliteOpen, f.Tables / f.SqliteOpen);
    std::printf("  %-50s %10.1f %10.2f %8.1f\n", (log + "module to first block").c_str(), f.Start, f.SqliteOpen,
                f.Start / f.SqliteOpen);
    std::printf("    %-48s %10.1f\n", "module created (provisioning check, both open)", f.Module);
    std::printf("    %-48s %10.1f\n", "delayed opening (tables, count, last, settings)", f.Opening);
    std::printf("    %-48s %10.2f\n", "first block", f.FirstBlock);
    std::printf("  records: engine %lld, SQLite %lld\n", static_cast<long long>(f.Records),
                static_cast<long long>(f.SqliteRecords));
    std::printf("  %-50s %10.1f %10s %8.3f\n", "one message decoded and stored, ms / on air ms", f.Message,
                std::to_string(static_cast<int>(f.MessageAir)).c_str(), f.Message / f.MessageAir);
    std::printf("  blocks per message %d, messages stored %d of 3\n\n", f.Blocks, f.Stored);
    State.counters["provision_ms"] = f.Provision;
    State.counters["sqlite_provision_ms"] = f.SqliteProvision;
    State.counters["start_ms"] = f.Start;
    State.counters["tables_ms"] = f.Tables;
    State.counters["sqlite_open_count_ms"] = f.SqliteOpen;
    State.counters["message_ms"] = f.Message;
    State.counters["stored"] = f.Stored;
}
BENCHMARK(StoreStart)->Arg(100000)->Arg(1000000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
