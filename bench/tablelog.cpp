// The message log through the table component, side by side with SQLite in the same run,
// on a disk-backed folder: log-shaped records (ten fields, the memo among them, the date
// key IDX_DT and a station index) appended through TORQTable each committed, then as many
// in transactions of 1,000; the receiver's station-and-period filter and its text search
// on MSGTEXT, walked reading every field; every record's MSGTEXT read in date order (the
// memo through the field's AsString, the fastest of TILO_BENCH_MEMO_WALKS walks, 3); and
// the restructure of a 100,000-record station
// table widening a VARCHAR(100) to 300 with two indexes, against SQLite's rebuild (CREATE,
// INSERT ... SELECT, DROP, RENAME, the indexes; one transaction).
//
// Modes: SQLite with journal DELETE + synchronous FULL and with WAL + synchronous NORMAL,
// the engine with commit barriers (fdatasync) on and off. Counters are seconds per phase.
// At exit a table gives each phase's engine / SQLite ratio (barriers on against DELETE +
// FULL, off against WAL + NORMAL). bench_disklog runs the same appends at the storage
// level: its per-record figures beside these give the table component's share.
//
// TILO_BENCH_DIR names the folder (the current directory); TILO_BENCH_ROWS the records of
// each append phase (20,000); TILO_BENCH_RESTRUCTURE_ROWS the restructured table's size
// (100,000).
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

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

int EnvInt(const char* Name, int Default, int Min) {
    const char* e = std::getenv(Name);
    const int n = e != nullptr ? std::atoi(e) : Default;
    return n < Min ? Min : n;
}

const int Rows = EnvInt("TILO_BENCH_ROWS", 20000, 1000) / 1000 * 1000;
const int RestructureRows = EnvInt("TILO_BENCH_RESTRUCTURE_ROWS", 100000, 1000);
constexpr int Batch = 1000;
const int MemoWalks = EnvInt("TILO_BENCH_MEMO_WALKS", 3, 1);

std::filesystem::path BenchDir(const std::string& Mode) { return FreshBenchDir("tablelog-" + Mode); }

double Since(Clock::time_point Start) { return std::chrono::duration<double>(Clock::now() - Start).count(); }

// 2026-01-01 00:00 as days since 1899-12-30; records are a minute apart.
constexpr double FirstDay = 46023.0;
double Days(int64_t Minute) { return FirstDay + static_cast<double>(Minute) / 1440.0; }

// One message: 40 stations over 21 NAVAREAs, letters A..Z, both frequencies, texts of 80
// to 700 bytes; every 97th carries a gale warning (what the text search looks for).
struct Message {
    double Utc;
    int32_t Freq;
    double Qual;
    std::string Letter, Type, Number;
    int16_t Area;
    std::string Station, Text;
    int32_t Dist;
};

Message MessageOf(int64_t M) {
    Message m;
    m.Utc = Days(M);
    m.Freq = M % 3 == 0 ? 490 : 518;
    m.Qual = static_cast<double>(M % 101);
    m.Letter = std::string(1, static_cast<char>('A' + M % 26));
    m.Type = "E";
    m.Number = std::to_string(M % 100);
    m.Area = static_cast<int16_t>(M % 21);
    m.Station = "STATION " + std::to_string(M % 40);
    m.Text = "ZCZC " + std::to_string(M) + "\n";
    const size_t size = 80 + static_cast<size_t>(M * 7919 % 620);
    while (m.Text.size() < size) m.Text += static_cast<char>('A' + (m.Text.size() + static_cast<size_t>(M)) % 26);
    if (M % 97 == 0) m.Text += " GALE WARNING";
    m.Text += "\nNNNN";
    m.Dist = static_cast<int32_t>(M * 7 % 5000);
    return m;
}

// Prefix followed by I; a station's IDTEXT is 90 filler bytes and its number.
std::string Numbered(const char* Prefix, int I) {
    std::string t(Prefix);
    t.append(std::to_string(I));
    return t;
}
std::string IdText(int I) { return Numbered(std::string(90, 'x').c_str(), I); }

// The receiver's station-and-period filter: FREQ, NAVAREA and letter over days 5 to 20.
constexpr int FilterFreq = 490, FilterArea = 3;
constexpr char FilterLetter = 'C';
const char* const FilterFrom = "2026-01-05";
const char* const FilterTo = "2026-01-20 23:59:59";
constexpr double FilterFromDays = FirstDay + 4, FilterToDays = FirstDay + 19 + 86399.0 / 86400.0;
const char* const SearchText = "GALE WARNING";

struct Result {
    double AppendEach = 0, AppendBatched = 0, BrowseStation = 0, BrowseText = 0, ReadMemo = 0, Restructure = 0;
    int64_t StationRows = 0, TextRows = 0, MemoRows = 0, MemoBytes = 0, Checksum = 0, Restructured = 0;
};

void Report(benchmark::State& State, const Result& R) {
    State.counters["append_each_s"] = R.AppendEach;
    State.counters["append_tx1000_s"] = R.AppendBatched;
    State.counters["browse_station_s"] = R.BrowseStation;
    State.counters["browse_text_s"] = R.BrowseText;
    State.counters["read_memo_s"] = R.ReadMemo;
    State.counters["memo_rows"] = static_cast<double>(R.MemoRows);
    State.counters["memo_bytes"] = static_cast<double>(R.MemoBytes);
    State.counters["restructure_s"] = R.Restructure;
    State.counters["station_rows"] = static_cast<double>(R.StationRows);
    State.counters["text_rows"] = static_cast<double>(R.TextRows);
    State.counters["restructured_rows"] = static_cast<double>(R.Restructured);
}

// Every mode's result, and the ratio table printed at exit.
struct TResults {
    std::map<std::string, Result> ByMode;
    ~TResults() {
        auto has = [&](const char* M) { return ByMode.count(M) != 0; };
        if (!(has("engine_barriers") && has("sqlite_delete_full")) && !(has("engine_nobarriers") && has("sqlite_wal")))
            return;
        struct Phase {
            const char* Name;
            double Result::*Field;
            int Records;
        } phases[] = {{"append each committed", &Result::AppendEach, Rows},
                      {"append in tx of 1,000", &Result::AppendBatched, Rows},
                      {"browse station+period", &Result::BrowseStation, 2 * Rows},
                      {"browse text search", &Result::BrowseText, 2 * Rows},
                      {"read every memo", &Result::ReadMemo, 2 * Rows},
                      {"restructure 100->300", &Result::Restructure, RestructureRows}};
        std::printf("\n%-24s %11s %11s %7s   %11s %11s %7s\n", "phase (seconds)", "barriers", "DEL+FULL", "ratio",
                    "no barrier", "WAL+NORM", "ratio");
        for (const Phase& p : phases) {
            std::printf("%-24s", p.Name);
            for (auto [engine, sqlite] : {std::pair{"engine_barriers", "sqlite_delete_full"},
                                          std::pair{"engine_nobarriers", "sqlite_wal"}}) {
                if (!has(engine) || !has(sqlite)) {
                    std::printf(" %11s %11s %7s  ", "-", "-", "-");
                    continue;
                }
                const double e = ByMode[engine].*p.Field, s = ByMode[sqlite].*p.Field;
                std::printf(" %11.3f %11.3f %7.2f  ", e, s, s > 0 ? e / s : 0.0);
            }
            std::printf("  (%d records)\n", p.Records);
        }
    }
} GResults;

// ---- SQLite --------------------------------------------------------------------------

void Exec(sqlite3* Db, const char* Sql) {
    char* error = nullptr;
    if (sqlite3_exec(Db, Sql, nullptr, nullptr, &error) != SQLITE_OK) {
        std::fprintf(stderr, "%s: %s\n", Sql, error);
        std::abort();
    }
}

void SqliteInsert(sqlite3_stmt* Insert, int64_t Minute) {
    const Message m = MessageOf(Minute);
    sqlite3_bind_double(Insert, 1, m.Utc);
    sqlite3_bind_int(Insert, 2, m.Freq);
    sqlite3_bind_double(Insert, 3, m.Qual);
    sqlite3_bind_text(Insert, 4, m.Letter.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(Insert, 5, m.Type.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(Insert, 6, m.Number.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(Insert, 7, m.Area);
    sqlite3_bind_text(Insert, 8, m.Station.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(Insert, 9, m.Text.c_str(), static_cast<int>(m.Text.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int(Insert, 10, m.Dist);
    if (sqlite3_step(Insert) != SQLITE_DONE) std::abort();
    sqlite3_reset(Insert);
}

// Steps a query reading every column in its own type; the rows and a checksum.
int64_t SqliteWalk(sqlite3* Db, const char* Sql, const std::vector<double>& Args, int64_t& Checksum) {
    sqlite3_stmt* q = nullptr;
    if (sqlite3_prepare_v2(Db, Sql, -1, &q, nullptr) != SQLITE_OK) std::abort();
    for (size_t i = 0; i < Args.size(); ++i) sqlite3_bind_double(q, static_cast<int>(i) + 1, Args[i]);
    int64_t rows = 0;
    while (sqlite3_step(q) == SQLITE_ROW) {
        ++rows;
        for (int c = 0; c < sqlite3_column_count(q); ++c) {
            switch (sqlite3_column_type(q, c)) {
                case SQLITE_INTEGER: Checksum += sqlite3_column_int(q, c); break;
                case SQLITE_FLOAT: Checksum += static_cast<int64_t>(sqlite3_column_double(q, c)); break;
                default: sqlite3_column_text(q, c); Checksum += sqlite3_column_bytes(q, c);
            }
        }
    }
    sqlite3_finalize(q);
    return rows;
}

void SqliteStations(sqlite3* Db, int N, int Width) {
    const std::string create = "CREATE TABLE STATIONS (NAVAREA SMALLINT, IDLETTER VARCHAR(1), LOCATION VARCHAR(50), "
                               "IDTEXT VARCHAR(" + std::to_string(Width) + "), UNIQUEID VARCHAR(100), FREQ INTEGER)";
    Exec(Db, create.c_str());
    sqlite3_stmt* ins = nullptr;
    sqlite3_prepare_v2(Db, "INSERT INTO STATIONS VALUES (?, ?, ?, ?, ?, ?)", -1, &ins, nullptr);
    Exec(Db, "BEGIN");
    for (int r = 0; r < N; ++r) {
        const std::string letter(1, static_cast<char>('A' + r % 26)), loc = Numbered("LOC", r),
            id = IdText(r), uid = Numbered("U", r);
        sqlite3_bind_int(ins, 1, r % 16 + 1);
        sqlite3_bind_text(ins, 2, letter.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(ins, 3, loc.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(ins, 4, id.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(ins, 5, uid.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(ins, 6, r);
        if (sqlite3_step(ins) != SQLITE_DONE) std::abort();
        sqlite3_reset(ins);
    }
    Exec(Db, "COMMIT");
    sqlite3_finalize(ins);
    Exec(Db, "CREATE INDEX IDX_NAVLOC ON STATIONS (NAVAREA, IDLETTER, LOCATION); "
             "CREATE UNIQUE INDEX IDX_UID ON STATIONS (UNIQUEID)");
}

void Sqlite(benchmark::State& State) {
    const bool wal = State.range(0) != 0;
    const std::string mode = wal ? "sqlite_wal" : "sqlite_delete_full";
    const std::filesystem::path dir = BenchDir(mode);
    Result r;
    for (auto _ : State) {
        sqlite3* db = nullptr;
        sqlite3_open((dir / "log.sqlite").string().c_str(), &db);
        Exec(db, wal ? "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL"
                     : "PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL");
        Exec(db,
             "CREATE TABLE NAVTEXLOG (UTCRECEIVED REAL, FREQ INTEGER, SIGQUAL REAL, IDLETTER VARCHAR(1), "
             "MSGTYPE VARCHAR(1), MSGNUMBER VARCHAR(4), NAVAREA SMALLINT, STATION VARCHAR(75), MSGTEXT TEXT, "
             "DIST INTEGER);"
             "CREATE UNIQUE INDEX IDX_DT ON NAVTEXLOG (UTCRECEIVED);"
             "CREATE INDEX IDX_ST ON NAVTEXLOG (STATION)");
        sqlite3_stmt* insert = nullptr;
        sqlite3_prepare_v2(db, "INSERT INTO NAVTEXLOG VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)", -1, &insert, nullptr);
        auto t = Clock::now();
        for (int64_t i = 0; i < Rows; ++i) SqliteInsert(insert, i);
        r.AppendEach = Since(t);
        t = Clock::now();
        for (int64_t i = 0; i < Rows; ++i) {
            if (i % Batch == 0) Exec(db, "BEGIN");
            SqliteInsert(insert, Rows + i);
            if (i % Batch == Batch - 1) Exec(db, "COMMIT");
        }
        r.AppendBatched = Since(t);
        sqlite3_finalize(insert);
        t = Clock::now();
        const std::string station = "SELECT * FROM NAVTEXLOG WHERE FREQ=" + std::to_string(FilterFreq) +
                                    " AND NAVAREA=" + std::to_string(FilterArea) + " AND IDLETTER='" +
                                    std::string(1, FilterLetter) + "' AND UTCRECEIVED>=?1 AND UTCRECEIVED<=?2";
        r.StationRows = SqliteWalk(db, station.c_str(), {FilterFromDays, FilterToDays}, r.Checksum);
        r.BrowseStation = Since(t);
        // The search is an exact, case-sensitive substring test, as the receiver's.
        t = Clock::now();
        const std::string text = std::string("SELECT * FROM NAVTEXLOG WHERE instr(MSGTEXT, '") + SearchText + "') > 0";
        r.TextRows = SqliteWalk(db, text.c_str(), {}, r.Checksum);
        r.BrowseText = Since(t);
        for (int walk = 0; walk < MemoWalks; ++walk) {
            t = Clock::now();
            sqlite3_stmt* q = nullptr;
            if (sqlite3_prepare_v2(db, "SELECT MSGTEXT FROM NAVTEXLOG ORDER BY UTCRECEIVED", -1, &q, nullptr) !=
                SQLITE_OK)
                std::abort();
            int64_t rows = 0, bytes = 0;
            while (sqlite3_step(q) == SQLITE_ROW) {
                sqlite3_column_text(q, 0);
                bytes += sqlite3_column_bytes(q, 0);
                ++rows;
            }
            sqlite3_finalize(q);
            const double s = Since(t);
            if (walk == 0 || s < r.ReadMemo) r.ReadMemo = s;
            r.MemoRows = rows;
            r.MemoBytes = bytes;
        }
        SqliteStations(db, RestructureRows, 100);
        t = Clock::now();
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
        r.Restructure = Since(t);
        int64_t ignored = 0;
        r.Restructured = SqliteWalk(db, "SELECT FREQ FROM STATIONS", {}, ignored);
        if (wal) Exec(db, "PRAGMA wal_checkpoint(TRUNCATE)");
        sqlite3_close(db);
    }
    Report(State, r);
    GResults.ByMode[mode] = r;
    std::filesystem::remove_all(dir);
}

// ---- The engine ----------------------------------------------------------------------

TORQAdvFieldDef* AddAdv(TORQTable& T, const std::string& Name, uint8_t Type, int32_t Size = 0) {
    TORQAdvFieldDef* d = T.AdvFieldDefs().Add();
    d->Name = Name;
    d->DataType = Type;
    d->Size = Size;
    return d;
}

void AddAdvIndex(TORQTable& T, const std::string& Name, const std::string& Fields, classlib::TIndexOptions Options) {
    TORQAdvIndexDef* i = T.AdvIndexDefs().Add();
    i->Name = Name;
    i->Fields = Fields;
    i->Options = Options;
}

// Reads every field of the current record in its own type, the memo included.
int64_t ReadAll(classlib::TDataSet& Ds) {
    int64_t sum = 0;
    for (classlib::TField* f : Ds.Fields()) {
        switch (f->DataType()) {
            case classlib::ftInteger:
            case classlib::ftSmallint: sum += f->AsInteger(); break;
            case classlib::ftFloat: sum += static_cast<int64_t>(f->AsFloat()); break;
            case classlib::ftDateTime: sum += static_cast<int64_t>(f->AsDateTime()); break;
            default: sum += static_cast<int64_t>(f->AsString().size());
        }
    }
    return sum;
}

void Fill(TORQTable& T, int64_t Minute) {
    const Message m = MessageOf(Minute);
    T.Append();
    T.Fields()[0]->SetAsDateTime(m.Utc);
    T.Fields()[1]->SetAsInteger(m.Freq);
    T.Fields()[2]->SetAsFloat(m.Qual);
    T.Fields()[3]->SetAsString(m.Letter);
    T.Fields()[4]->SetAsString(m.Type);
    T.Fields()[5]->SetAsString(m.Number);
    T.Fields()[6]->SetAsInteger(m.Area);
    T.Fields()[7]->SetAsString(m.Station);
    T.Fields()[8]->SetAsString(m.Text);
    T.Fields()[9]->SetAsInteger(m.Dist);
    T.Post();
}

void EngineStations(const std::string& Db) {
    TORQTable t;
    t.SetDatabaseName(Db);
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

void Engine(benchmark::State& State) {
    const bool barriers = State.range(0) != 0;
    const std::string mode = barriers ? "engine_barriers" : "engine_nobarriers";
    const std::filesystem::path dir = BenchDir(mode);
    Result r;
    for (auto _ : State) {
        StartEngine();
        {
            TORQLocalSession s;
            s.DatabaseName = "ORQDB";
            s.DatabaseFileName = (dir / "TILO_DB.ORQ").string();
            s.CreateDatabase();
        }
        {
            TORQDatabase db(nullptr);
            db.SetDatabaseName("ORQDB");
            db.SetDatabaseFileName((dir / "TILO_DB.ORQ").string());
            db.Open();
            // The page manager took its barrier setting at the open.
            if (auto* d = dynamic_cast<TORQDiskDatabaseData*>(db.Handle()->DatabaseData)) {
                d->CommitBarriers = barriers;
                if (d->DiskPageManager() != nullptr) d->DiskPageManager()->CommitBarriers = barriers;
            }
            {
                TORQTable t;
                t.SetDatabaseName("ORQDB");
                t.SetTableName("NAVTEXLOG");
                AddAdv(t, "UTCRECEIVED", aftDateTime);
                AddAdv(t, "FREQ", aftInteger);
                AddAdv(t, "SIGQUAL", aftDouble);
                AddAdv(t, "IDLETTER", aftVarChar, 1);
                AddAdv(t, "MSGTYPE", aftVarChar, 1);
                AddAdv(t, "MSGNUMBER", aftVarChar, 4);
                AddAdv(t, "NAVAREA", aftSmallInt);
                AddAdv(t, "STATION", aftVarChar, 75);
                AddAdv(t, "MSGTEXT", aftMemo);
                AddAdv(t, "DIST", aftInteger);
                AddAdvIndex(t, "IDX_DT", "UTCRECEIVED", classlib::ixPrimary | classlib::ixUnique);
                AddAdvIndex(t, "IDX_ST", "STATION", 0);
                t.CreateTable();
            }
            TORQTable log;
            log.SetDatabaseName("ORQDB");
            log.SetTableName("NAVTEXLOG");
            log.SetIndexName("IDX_DT");
            log.Open();
            auto t = Clock::now();
            for (int64_t i = 0; i < Rows; ++i) Fill(log, i);
            r.AppendEach = Since(t);
            t = Clock::now();
            for (int64_t i = 0; i < Rows; ++i) {
                if (i % Batch == 0) db.StartTransaction();
                Fill(log, Rows + i);
                if (i % Batch == Batch - 1) db.Commit(false);
            }
            r.AppendBatched = Since(t);
            t = Clock::now();
            log.SetFilterText("FREQ=" + std::to_string(FilterFreq) + " AND NAVAREA=" + std::to_string(FilterArea) +
                              " AND IDLETTER='" + std::string(1, FilterLetter) + "' AND UTCRECEIVED>='" + FilterFrom +
                              "' AND UTCRECEIVED<='" + FilterTo + "'");
            log.SetFiltered(true);
            for (log.First(); !log.Eof(); log.Next()) {
                r.Checksum += ReadAll(log);
                ++r.StationRows;
            }
            r.BrowseStation = Since(t);
            log.SetFiltered(false);
            log.SetFilterText("");
            t = Clock::now();
            classlib::TField* text = log.FieldByName("MSGTEXT");
            log.SetOnFilterRecord([&](classlib::TDataSet*, bool& Accept) {
                Accept = text->AsString().find(SearchText) != std::string::npos;
            });
            log.SetFiltered(true);
            for (log.First(); !log.Eof(); log.Next()) {
                r.Checksum += ReadAll(log);
                ++r.TextRows;
            }
            r.BrowseText = Since(t);
            log.SetFiltered(false);
            log.SetOnFilterRecord(nullptr);
            log.DisableControls();
            for (int walk = 0; walk < MemoWalks; ++walk) {
                t = Clock::now();
                int64_t rows = 0, bytes = 0;
                for (log.First(); !log.Eof(); log.Next()) {
                    bytes += static_cast<int64_t>(text->AsString().size());
                    ++rows;
                }
                const double s = Since(t);
                if (walk == 0 || s < r.ReadMemo) r.ReadMemo = s;
                r.MemoRows = rows;
                r.MemoBytes = bytes;
            }
            log.EnableControls();
            log.Close();
            // The station table, filled in transactions (not timed), then widened as the
            // receiver does at start-up.
            EngineStations("ORQDB");
            {
                TORQTable st;
                st.SetDatabaseName("ORQDB");
                st.SetTableName("STATIONS");
                st.Open();
                for (int i = 0; i < RestructureRows; ++i) {
                    if (i % Batch == 0) db.StartTransaction();
                    st.Append();
                    st.Fields()[0]->SetAsInteger(i % 16 + 1);
                    st.Fields()[1]->SetAsString(std::string(1, static_cast<char>('A' + i % 26)));
                    st.Fields()[2]->SetAsString(Numbered("LOC", i));
                    st.Fields()[3]->SetAsString(IdText(i));
                    st.Fields()[4]->SetAsString(Numbered("U", i));
                    st.Fields()[5]->SetAsInteger(i);
                    st.Post();
                    if (i % Batch == Batch - 1 || i == RestructureRows - 1) db.Commit(false);
                }
            }
            TORQTable st;
            st.SetDatabaseName("ORQDB");
            st.SetTableName("STATIONS");
            t = Clock::now();
            st.FieldDefs().Update();
            st.RestructureFieldDefs().Find("IDTEXT")->Size = 300;
            if (!st.RestructureTableSimple()) std::abort();
            r.Restructure = Since(t);
            st.Open();
            r.Restructured = st.RecordCount();
            if (st.FieldByName("IDTEXT")->Size() != 300) std::abort();
            st.Close();
            db.Close();
        }
        StopEngine();
    }
    Report(State, r);
    GResults.ByMode[mode] = r;
    std::filesystem::remove_all(dir);
}

}  // namespace

BENCHMARK(Sqlite)->ArgName("wal")->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(Engine)->ArgName("barriers")->Arg(1)->Arg(0)->Iterations(1)->Unit(benchmark::kMillisecond);
