// The message log on disk, side by side with SQLite in the same run: single-row appends each
// committed, bulk appends in transactions of 1,000 with the date and station indexes,
// one-hour range scans on the date index (from a key search, and as a range on the cursor
// (range_cursor_s; SQLite's peer is range_s)), scans filtering on the station and on the message
// text (a search in the text read, and the filter MSGTEXT LIKE '%GALE WARNING%' evaluated
// on each record), the receiver's station filter STATION LIKE '%DOVER%' as the cursor's
// dataset filter (dover_s: every record read through it, the matches' text touched; one
// station in 40 is a DOVER one), and deleting the oldest half then appending as many again (the file
// growth).
//
// Modes: SQLite with journal DELETE + synchronous FULL, SQLite with WAL + synchronous
// NORMAL, the engine with commit barriers (fdatasync) on and off. Each mode runs the whole
// workload once; its phases are the counters (seconds). Files live in a folder of the
// current directory (TILO_BENCH_DIR overrides): run it on a disk-backed file system, a tmpfs
// measures nothing. TILO_BENCH_ROWS sets the bulk row count (20,000). TILO_BENCH_SCANS runs
// each read phase (range, station, memo, like) that many times over in every mode, the fastest
// pass counting (1): on a shared machine it keeps the short phases' figures steady.
// TILO_BENCH_READS names the read phases the engine runs (a list of range, station, memo,
// like, dover; all when unset): a profile of one phase then holds that phase alone.
//
// Cleanup: the oldest third of a large log (TILO_BENCH_CLEANUP_ROWS, 1,000,000) deleted in one
// transaction, the engine (barriers on) beside SQLite's DELETE (journal DELETE, synchronous
// FULL): the time, and the memory the process and the engine's own manager held at the
// height of it above what they held after the open, and after the commit. Each log is built
// once and kept between runs (BenchFolder.h: TILO_BENCH_CACHE); a run works on a copy.
// EngineCleanup deletes the records by their identities, found on the date index;
// EngineTableCleanup as the receiver does: the log table component filtered on the date,
// its first record deleted until none is left, in one transaction.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "BenchFolder.h"
#include "classlib/DateUtils.h"
#include "engine/access/ORQDatabase.h"
#include "engine/access/ORQMain.h"
#include "engine/access/ORQTable.h"
#include "engine/foundation/ORQVariant.h"
#include "engine/sql/ORQExpression.h"
#include "engine/storage/ORQDiskEngine.h"
#include "engine/storage/ORQLocalBLOBStream.h"

namespace {

using namespace orq;
using Clock = std::chrono::steady_clock;

constexpr int SingleRows = 200;
constexpr int Batch = 1000;
constexpr int RangeScans = 200;

int ScanPasses() {
    const char* e = std::getenv("TILO_BENCH_SCANS");
    const int n = e != nullptr ? std::atoi(e) : 1;
    return n < 1 ? 1 : n;
}

bool ReadPhase(const char* Name) {
    const char* e = std::getenv("TILO_BENCH_READS");
    return e == nullptr || std::strstr(e, Name) != nullptr;
}

// The fastest of the passes so far.
void Fastest(double& Phase, int Pass, double Seconds) { Phase = Pass == 0 ? Seconds : std::min(Phase, Seconds); }

int BulkRows() {
    const char* e = std::getenv("TILO_BENCH_ROWS");
    const int n = e != nullptr ? std::atoi(e) : 20000;
    return n < Batch ? Batch : n / Batch * Batch;
}

std::filesystem::path BenchDir(const std::string& Mode) { return FreshBenchDir("disklog-" + Mode); }

// One message: minute-spaced dates, 40 stations (one of them DOVER's), texts of 80 to 700
// bytes; every 97th mentions a gale warning (what the memo scan looks for).
struct Message {
    int64_t Minute;
    std::string Station, Text;
};

Message MessageOf(int64_t Minute) {
    Message m{Minute, "STATION " + std::to_string(Minute % 40), "ZCZC " + std::to_string(Minute) + "\n"};
    if (Minute % 40 == 13) m.Station += " DOVER";
    const size_t size = 80 + static_cast<size_t>(Minute * 7919 % 620);
    while (m.Text.size() < size) m.Text += static_cast<char>('A' + (m.Text.size() + static_cast<size_t>(Minute)) % 26);
    if (Minute % 97 == 0) m.Text += " GALE WARNING";
    m.Text += "\nNNNN";
    return m;
}

double Days(int64_t Minute) { return 46000.0 + static_cast<double>(Minute) / 1440.0; }

double Since(Clock::time_point Start) { return std::chrono::duration<double>(Clock::now() - Start).count(); }

// What each phase found, so that no engine skips work the others do.
struct Result {
    double Single = 0, Bulk = 0, Range = 0, RangeCursor = 0, Station = 0, Memo = 0, Like = 0, Dover = 0, Delete = 0, Refill = 0;
    int64_t RangeRows = 0, RangeCursorRows = 0, StationRows = 0, MemoRows = 0, LikeRows = 0, DoverRows = 0;
    double SizeFull = 0, SizeRefilled = 0;
};

void Report(benchmark::State& State, const Result& R) {
    State.counters["single_s"] = R.Single;
    State.counters["bulk_s"] = R.Bulk;
    State.counters["range_s"] = R.Range;
    if (R.RangeCursorRows > 0) {
        State.counters["range_cursor_s"] = R.RangeCursor;
        State.counters["range_cursor_rows"] = static_cast<double>(R.RangeCursorRows);
    }
    State.counters["station_s"] = R.Station;
    State.counters["memo_s"] = R.Memo;
    State.counters["like_s"] = R.Like;
    State.counters["dover_s"] = R.Dover;
    State.counters["delhalf_s"] = R.Delete;
    State.counters["refill_s"] = R.Refill;
    State.counters["range_rows"] = static_cast<double>(R.RangeRows);
    State.counters["station_rows"] = static_cast<double>(R.StationRows);
    State.counters["memo_rows"] = static_cast<double>(R.MemoRows);
    State.counters["like_rows"] = static_cast<double>(R.LikeRows);
    State.counters["dover_rows"] = static_cast<double>(R.DoverRows);
    State.counters["MB_full"] = R.SizeFull / 1e6;
    State.counters["MB_refilled"] = R.SizeRefilled / 1e6;
}

double FileBytes(const std::filesystem::path& Dir) {
    double total = 0;
    for (const auto& e : std::filesystem::directory_iterator(Dir))
        if (e.is_regular_file()) total += static_cast<double>(e.file_size());
    return total;
}

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
    sqlite3_bind_double(Insert, 1, Days(Minute));
    sqlite3_bind_int(Insert, 2, Minute % 2 == 0 ? 518 : 490);
    sqlite3_bind_text(Insert, 3, m.Station.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(Insert, 4, m.Text.c_str(), static_cast<int>(m.Text.size()), SQLITE_TRANSIENT);
    if (sqlite3_step(Insert) != SQLITE_DONE) std::abort();
    sqlite3_reset(Insert);
}

int64_t SqliteCount(sqlite3* Db, const char* Sql, const std::vector<double>& Args) {
    sqlite3_stmt* q = nullptr;
    sqlite3_prepare_v2(Db, Sql, -1, &q, nullptr);
    for (size_t i = 0; i < Args.size(); ++i) sqlite3_bind_double(q, static_cast<int>(i) + 1, Args[i]);
    int64_t rows = 0;
    while (sqlite3_step(q) == SQLITE_ROW) {
        // Touch the text, as the engine's scans do.
        rows += sqlite3_column_bytes(q, 1) > 0 ? 1 : 0;
    }
    sqlite3_finalize(q);
    return rows;
}

void Sqlite(benchmark::State& State) {
    const bool wal = State.range(0) != 0;
    const std::filesystem::path dir = BenchDir(wal ? "wal" : "delete");
    Result r;
    const int bulk = BulkRows();
    for (auto _ : State) {
        sqlite3* db = nullptr;
        sqlite3_open((dir / "log.sqlite").string().c_str(), &db);
        Exec(db, wal ? "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL"
                     : "PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL");
        Exec(db,
             "CREATE TABLE NAVTEXLOG (UTCRECEIVED REAL, FREQ INTEGER, STATION VARCHAR(75), MSGTEXT TEXT);"
             "CREATE UNIQUE INDEX IDX_DT ON NAVTEXLOG (UTCRECEIVED);"
             "CREATE INDEX IDX_ST ON NAVTEXLOG (STATION)");
        sqlite3_stmt* insert = nullptr;
        sqlite3_prepare_v2(db, "INSERT INTO NAVTEXLOG VALUES (?, ?, ?, ?)", -1, &insert, nullptr);
        auto t = Clock::now();
        for (int64_t i = 0; i < SingleRows; ++i) SqliteInsert(insert, 10000000 + i);
        r.Single = Since(t);
        t = Clock::now();
        for (int64_t i = 0; i < bulk; ++i) {
            if (i % Batch == 0) Exec(db, "BEGIN");
            SqliteInsert(insert, i);
            if (i % Batch == Batch - 1) Exec(db, "COMMIT");
        }
        r.Bulk = Since(t);
        for (int pass = 0; pass < ScanPasses(); ++pass) {
            t = Clock::now();
            r.RangeRows = 0;
            for (int s = 0; s < RangeScans; ++s) {
                const int64_t from = static_cast<int64_t>(s) * 7919 % (bulk - 60);
                r.RangeRows += SqliteCount(db, "SELECT UTCRECEIVED, MSGTEXT FROM NAVTEXLOG WHERE UTCRECEIVED >= ?1 AND UTCRECEIVED < ?2",
                                           {Days(from) - 1e-7, Days(from + 60) - 1e-7});
        }
        Fastest(r.Range, pass, Since(t));
        // The station filter is tested row by row ('+' keeps SQLite off the station index).
        t = Clock::now();
        r.StationRows = SqliteCount(db, "SELECT STATION, MSGTEXT FROM NAVTEXLOG WHERE +STATION = 'STATION 7'", {});
        Fastest(r.Station, pass, Since(t));
        t = Clock::now();
        r.MemoRows = SqliteCount(db, "SELECT STATION, MSGTEXT FROM NAVTEXLOG WHERE MSGTEXT LIKE '%GALE WARNING%'", {});
        Fastest(r.Memo, pass, Since(t));
        t = Clock::now();
        r.LikeRows = SqliteCount(db, "SELECT STATION, MSGTEXT FROM NAVTEXLOG WHERE MSGTEXT LIKE '%GALE WARNING%'", {});
        Fastest(r.Like, pass, Since(t));
        t = Clock::now();
        r.DoverRows = SqliteCount(db, "SELECT STATION, MSGTEXT FROM NAVTEXLOG WHERE STATION LIKE '%DOVER%'", {});
        Fastest(r.Dover, pass, Since(t));
        }
        r.SizeFull = FileBytes(dir);
        t = Clock::now();
        const int half = (bulk + SingleRows) / 2;
        sqlite3_stmt* oldest = nullptr;
        sqlite3_prepare_v2(db, "DELETE FROM NAVTEXLOG WHERE rowid = (SELECT rowid FROM NAVTEXLOG ORDER BY UTCRECEIVED LIMIT 1)",
                           -1, &oldest, nullptr);
        for (int i = 0; i < half; ++i) {
            if (i % Batch == 0) Exec(db, "BEGIN");
            if (sqlite3_step(oldest) != SQLITE_DONE) std::abort();
            sqlite3_reset(oldest);
            if (i % Batch == Batch - 1 || i == half - 1) Exec(db, "COMMIT");
        }
        sqlite3_finalize(oldest);
        r.Delete = Since(t);
        t = Clock::now();
        for (int64_t i = 0; i < half; ++i) {
            if (i % Batch == 0) Exec(db, "BEGIN");
            SqliteInsert(insert, bulk + i);
            if (i % Batch == Batch - 1 || i == half - 1) Exec(db, "COMMIT");
        }
        r.Refill = Since(t);
        sqlite3_finalize(insert);
        if (wal) Exec(db, "PRAGMA wal_checkpoint(TRUNCATE)");
        sqlite3_close(db);
        r.SizeRefilled = FileBytes(dir);
    }
    Report(State, r);
    std::filesystem::remove_all(dir);
}

// ---- The engine ----------------------------------------------------------------------

enum : int32_t { fUtc, fFreq, fStation, fText };

class LogSession : public TORQBaseSession {
public:
    LogSession() { MultiUser = 0; }
    void Rollback() override {
        if (DatabaseData != nullptr) DatabaseData->Rollback(SessionID);
        InTransaction = 0;
    }
};

class LogCursor : public TORQCursor {
public:
    LogCursor(TORQDiskDatabaseData& Db, LogSession& S) {
        TableName = "NAVTEXLOG";
        this->Session = &S;
        DatabaseData = &Db;
        Disk = static_cast<TORQDiskTableData*>(Db.GetTableData(this));
        Disk->AddCursor(this);
        TableData = Disk;
        FieldDefs.Assign(Disk->FieldManager->FieldDefs);
        IndexDefs.Assign(Disk->IndexManager->IndexDefs);
        CalculateRecordSizes();
        CurrentRecord = AllocRecordBuffer();
    }
    ~LogCursor() override {
        Disk->ClearRecordBlobs(CurrentRecord);
        Disk->RemoveCursor(this);
        Disk->FreeIfUnused();
        FreeRecordBuffer(CurrentRecord);
    }
    void Fill(int64_t Minute) {
        const Message m = MessageOf(Minute);
        Disk->ClearRecordBlobs(CurrentRecord);
        std::memset(CurrentRecord, 0, static_cast<size_t>(RecordBufferSize));
        for (int32_t i = 0; i < FieldDefs.GetCount(); ++i) SetBit(CurrentRecord, i, true);
        // A variant keeps its type once set: one for each field.
        TORQVariant date, freq, station;
        date.SetAsDateTime(Days(Minute));
        SetFieldValue(date, fUtc, CurrentRecord, true);
        freq.SetAsLargeInt(Minute % 2 == 0 ? 518 : 490);
        SetFieldValue(freq, fFreq, CurrentRecord, true);
        station.SetAsString(m.Station);
        SetFieldValue(station, fStation, CurrentRecord, true);
        std::unique_ptr<TORQLocalBLOBStream> s = Disk->CreateBlobStream(this, true, TORQLocalBLOBStream::bmWriteOnly, fText);
        s->Write(m.Text.data(), static_cast<int64_t>(m.Text.size()));
        Disk->StoreBlobStream(this, fText, *s);
    }
    void Append() {
        if (!Disk->InsertRecord(this)) std::abort();
    }
    double Date() const {
        TORQVariant v;
        GetFieldValue(v, fUtc, true);
        return v.GetAsDateTime();
    }
    std::string Station() const {
        TORQVariant v;
        GetFieldValue(v, fStation, true);
        return v.GetAsString();
    }
    // The whole memo into a buffer kept across rows: a value on a shared page is copied
    // straight from the cached page, any other through a stream.
    const std::string& Text() {
        Disk->ReadBlobValue(this, fText, FText);
        return FText;
    }
    void Rewind(const std::string& Index) {
        SetIndexName(Index);
        Bof = 1;
        Eof = 0;
    }
    bool Next() { return Disk->GetRecord(this, gmNext) == grOK; }

    TORQDiskTableData* Disk = nullptr;

private:
    std::string FText;
};

void AddField(TORQFieldDefs& Fields, const std::string& Name, uint8_t Type, int32_t Size = 0) {
    TORQFieldDef* f = Fields.Add();
    f->Name = Name;
    f->SetDataType(Type, Size);
}

void AddIndex(TORQIndexDefs& Indexes, const std::string& Name, const std::string& Field, bool Unique) {
    TORQIndexDef* d = Indexes.Add();
    d->Name = Name;
    d->Unique = Unique ? 1 : 0;
    d->SetColumnCount(1);
    d->GetColumn(0).FieldName = Field;
}

void CreateLogTable(TORQDiskDatabaseData& Db, LogSession& S) {
    TORQFieldDefs fields;
    AddField(fields, "UTCRECEIVED", aftDateTime);
    AddField(fields, "FREQ", aftInteger);
    AddField(fields, "STATION", aftVarChar, 75);
    AddField(fields, "MSGTEXT", aftMemo);
    TORQIndexDefs indexes;
    AddIndex(indexes, "IDX_DT", "UTCRECEIVED", true);
    AddIndex(indexes, "IDX_ST", "STATION", false);
    TORQConstraintDefs none;
    TORQCursor named;
    named.TableName = "NAVTEXLOG";
    named.Session = &S;
    auto* t = static_cast<TORQDiskTableData*>(Db.GetTableData(&named));
    t->CreateTable(&named, fields, indexes, none);
    t->FreeIfUnused();
}

void Engine(benchmark::State& State) {
    const bool barriers = State.range(0) != 0;
    const std::filesystem::path dir = BenchDir(barriers ? "barriers" : "nobarriers");
    const std::string name = (dir / "TILO_DB.ORQ").string();
    Result r;
    const int bulk = BulkRows();
    for (auto _ : State) {
        {
            TORQDiskDatabaseData creator;
            creator.DatabaseName = name;
            creator.CommitBarriers = barriers;
            creator.CreateDatabase();
        }
        TORQDiskDatabaseData db;
        db.DatabaseName = name;
        db.CommitBarriers = barriers;
        LogSession s;
        s.DatabaseData = &db;
        db.ConnectSession(&s);
        CreateLogTable(db, s);
        {
            LogCursor log(db, s);
            auto begin = [&] { s.InTransaction = 1; };
            auto commit = [&] {
                db.Commit(s.SessionID, false);
                s.InTransaction = 0;
            };
            auto t = Clock::now();
            for (int64_t i = 0; i < SingleRows; ++i) {
                log.Fill(10000000 + i);
                log.Append();
            }
            r.Single = Since(t);
            t = Clock::now();
            for (int64_t i = 0; i < bulk; ++i) {
                if (i % Batch == 0) begin();
                log.Fill(i);
                log.Append();
                if (i % Batch == Batch - 1) commit();
            }
            r.Bulk = Since(t);
            for (int pass = 0; pass < ScanPasses(); ++pass) {
                r.RangeRows = r.StationRows = r.MemoRows = r.LikeRows = r.DoverRows = 0;
                if (ReadPhase("range")) {
                    // Each hour's first row is found by a key search on the date index, then
                    // the hour is stepped through.
                    t = Clock::now();
                    log.SetIndexName("IDX_DT");
                    uint8_t* key = log.AllocRecordIDBuffer();
                    for (int sc = 0; sc < RangeScans; ++sc) {
                        const int64_t from = static_cast<int64_t>(sc) * 7919 % (bulk - 60);
                        const double lo = Days(from) - 1e-7, hi = Days(from + 60) - 1e-7;
                        TORQVariant v;
                        v.SetAsDateTime(lo);
                        log.SetFieldValue(v, fUtc, key, true);
                        log.SearchKey = key;
                        log.SearchKeySize = log.RecordIDBufferSize;
                        log.SearchKeyFieldCount = 1;
                        if (!log.Disk->FindKey(&log, scoGreaterOrEqual)) continue;
                        if (log.Disk->GetRecord(&log, gmCurrent) != grOK) continue;
                        while (log.Date() < hi) {
                            if (!log.Text().empty()) ++r.RangeRows;
                            if (!log.Next()) break;
                        }
                    }
                    log.SearchKey = nullptr;
                    log.FreeRecordBuffer(key);
                    Fastest(r.Range, pass, Since(t));
                }
                if (ReadPhase("range")) {
                    // The same hours through a range on the cursor: each read steps within it.
                    t = Clock::now();
                    log.SetIndexName("IDX_DT");
                    uint8_t* low = log.AllocRecordIDBuffer();
                    uint8_t* high = log.AllocRecordIDBuffer();
                    r.RangeCursorRows = 0;
                    for (int sc = 0; sc < RangeScans; ++sc) {
                        const int64_t from = static_cast<int64_t>(sc) * 7919 % (bulk - 60);
                        TORQVariant v;
                        v.SetAsDateTime(Days(from) - 1e-7);
                        log.SetFieldValue(v, fUtc, low, true);
                        v.SetAsDateTime(Days(from + 60) - 1e-7);
                        log.SetFieldValue(v, fUtc, high, true);
                        log.SetRange(low, high, false, true, 1, 1);
                        log.Bof = 1;
                        log.Eof = 0;
                        while (log.Next())
                            if (!log.Text().empty()) ++r.RangeCursorRows;
                    }
                    log.CancelRange();
                    log.FreeRecordBuffer(low);
                    log.FreeRecordBuffer(high);
                    Fastest(r.RangeCursor, pass, Since(t));
                }
                // Filtered scans are tested row by row here (no filtered scans on disk tables yet).
                if (ReadPhase("station")) {
                    t = Clock::now();
                    log.Rewind("");
                    while (log.Next())
                        if (log.Station() == "STATION 7" && !log.Text().empty()) ++r.StationRows;
                    Fastest(r.Station, pass, Since(t));
                }
                if (ReadPhase("memo")) {
                    t = Clock::now();
                    log.Rewind("");
                    while (log.Next())
                        if (log.Text().find("GALE WARNING") != std::string::npos) ++r.MemoRows;
                    Fastest(r.Memo, pass, Since(t));
                }
                if (ReadPhase("like")) {
                    TORQExpression like;
                    like.ParseFilter(&log, "MSGTEXT LIKE '%GALE WARNING%'", false, false);
                    t = Clock::now();
                    log.Rewind("");
                    while (log.Next()) {
                        like.SetRecordBuffer(log.CurrentRecord, 0);
                        if (like.GetBooleanValue()) ++r.LikeRows;
                    }
                    Fastest(r.Like, pass, Since(t));
                }
                if (ReadPhase("dover")) {
                    // The receiver's station filter: the dataset filter of the cursor, as
                    // the local cursor's SetFilter installs it, every record read through it.
                    auto filter = std::make_unique<TORQExpression>();
                    filter->ParseFilter(&log, "STATION LIKE '%DOVER%'", false, false);
                    log.FilterExpression = std::move(filter);
                    log.ResetRecordBitmap();
                    t = Clock::now();
                    log.Rewind("");
                    while (log.Next())
                        if (!log.Text().empty()) ++r.DoverRows;
                    Fastest(r.Dover, pass, Since(t));
                    log.FilterExpression.reset();
                    log.ResetRecordBitmap();
                }
            }
            r.SizeFull = FileBytes(dir);
            t = Clock::now();
            const int half = (bulk + SingleRows) / 2;
            std::vector<TORQRecordID> oldest;
            log.Rewind("IDX_DT");
            while (static_cast<int>(oldest.size()) < half && log.Next()) oldest.push_back(log.CurrentRecordID);
            for (int i = 0; i < half; ++i) {
                if (i % Batch == 0) begin();
                if (!log.Disk->GotoRecord(&log, oldest[static_cast<size_t>(i)]) || !log.Disk->DeleteRecord(&log))
                    std::abort();
                if (i % Batch == Batch - 1 || i == half - 1) commit();
            }
            r.Delete = Since(t);
            t = Clock::now();
            for (int64_t i = 0; i < half; ++i) {
                if (i % Batch == 0) begin();
                log.Fill(bulk + i);
                log.Append();
                if (i % Batch == Batch - 1 || i == half - 1) commit();
            }
            r.Refill = Since(t);
        }
        db.DisconnectSession(&s);
        r.SizeRefilled = FileBytes(dir);
    }
    Report(State, r);
    std::filesystem::remove_all(dir);
}

// ---- Clean-up of the oldest third in one transaction -----------------------------------

int CleanupRows() {
    const char* e = std::getenv("TILO_BENCH_CLEANUP_ROWS");
    const int n = e != nullptr ? std::atoi(e) : 1000000;
    return n < 3 * Batch ? 3 * Batch : n / Batch * Batch;
}

// The process's resident and peak resident size in bytes (/proc/self/status).
double ProcStatus(const char* Key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(Key, 0) == 0) return std::atof(line.c_str() + std::strlen(Key)) * 1024.0;
    return 0;
}

// The process's processor time in seconds: on a loaded machine the wall clock also
// counts the time spent waiting for a processor.
double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Starts the peak resident size again at the present one.
void ResetPeakRss() { std::ofstream("/proc/self/clear_refs") << "5"; }

// Memory at the open, at the height of the work and after it: the process's (RSS) and the
// engine manager's (left 0 for SQLite).
struct Memory {
    double RssOpen = 0, RssPeak = 0, RssAfter = 0, EngineOpen = 0, EnginePeak = 0, EngineAfter = 0;
    void Open() {
        ResetPeakRss();
        RssOpen = ProcStatus("VmRSS:");
        GlobalMemoryManager().ResetPeakUsedMemory();
        EngineOpen = static_cast<double>(GlobalMemoryManager().UsedMemory());
    }
    void Done() {
        RssPeak = ProcStatus("VmHWM:");
        RssAfter = ProcStatus("VmRSS:");
        EnginePeak = static_cast<double>(GlobalMemoryManager().PeakUsedMemory());
        EngineAfter = static_cast<double>(GlobalMemoryManager().UsedMemory());
    }
};

void ReportCleanup(benchmark::State& State, double Seconds, double Cpu, double Commit, int64_t Rows, const Memory& M,
                   bool Engine) {
    State.counters["delete_s"] = Seconds;
    State.counters["delete_cpu_s"] = Cpu;
    if (Commit >= 0) State.counters["commit_s"] = Commit;
    State.counters["rows"] = static_cast<double>(Rows);
    State.counters["rss_open_MB"] = M.RssOpen / 1e6;
    State.counters["rss_peak_rise_MB"] = (M.RssPeak - M.RssOpen) / 1e6;
    State.counters["rss_after_rise_MB"] = (M.RssAfter - M.RssOpen) / 1e6;
    if (Engine) {
        State.counters["orq_peak_rise_MB"] = (M.EnginePeak - M.EngineOpen) / 1e6;
        State.counters["orq_after_rise_MB"] = (M.EngineAfter - M.EngineOpen) / 1e6;
    }
}

// A fresh copy of a cached log in this run's folder.
std::filesystem::path WorkingCopy(const std::filesystem::path& Cached, const std::string& Mode) {
    const std::filesystem::path dir = BenchDir("cleanup-" + Mode);
    const std::filesystem::path copy = dir / Cached.filename();
    std::filesystem::copy_file(Cached, copy);
    return copy;
}

std::filesystem::path SqliteLog(int Rows) {
    return CachedBenchFile("disklog-cleanup-" + std::to_string(Rows) + ".sqlite", [&](const std::filesystem::path& P) {
        sqlite3* db = nullptr;
        sqlite3_open(P.string().c_str(), &db);
        Exec(db, "PRAGMA journal_mode=DELETE; PRAGMA synchronous=OFF");
        Exec(db,
             "CREATE TABLE NAVTEXLOG (UTCRECEIVED REAL, FREQ INTEGER, STATION VARCHAR(75), MSGTEXT TEXT);"
             "CREATE UNIQUE INDEX IDX_DT ON NAVTEXLOG (UTCRECEIVED);"
             "CREATE INDEX IDX_ST ON NAVTEXLOG (STATION)");
        sqlite3_stmt* insert = nullptr;
        sqlite3_prepare_v2(db, "INSERT INTO NAVTEXLOG VALUES (?, ?, ?, ?)", -1, &insert, nullptr);
        for (int64_t i = 0; i < Rows; ++i) {
            if (i % (10 * Batch) == 0) Exec(db, "BEGIN");
            SqliteInsert(insert, i);
            if (i % (10 * Batch) == 10 * Batch - 1 || i == Rows - 1) Exec(db, "COMMIT");
        }
        sqlite3_finalize(insert);
        sqlite3_close(db);
    });
}

std::filesystem::path EngineLog(int Rows) {
    return CachedBenchFile("disklog-cleanup-" + std::to_string(Rows) + ".orq", [&](const std::filesystem::path& P) {
        {
            TORQDiskDatabaseData creator;
            creator.DatabaseName = P.string();
            creator.CreateDatabase();
        }
        TORQDiskDatabaseData db;
        db.DatabaseName = P.string();
        db.CommitBarriers = false;
        LogSession s;
        s.DatabaseData = &db;
        db.ConnectSession(&s);
        CreateLogTable(db, s);
        {
            LogCursor log(db, s);
            for (int64_t i = 0; i < Rows; ++i) {
                if (i % Batch == 0) s.InTransaction = 1;
                log.Fill(i);
                log.Append();
                if (i % Batch == Batch - 1) {
                    db.Commit(s.SessionID, false);
                    s.InTransaction = 0;
                }
            }
        }
        db.DisconnectSession(&s);
    });
}

void SqliteCleanup(benchmark::State& State) {
    const int rows = CleanupRows();
    const std::filesystem::path cached = SqliteLog(rows);
    double seconds = 0, cpu = 0;
    int64_t deleted = 0;
    Memory m;
    for (auto _ : State) {
        const std::filesystem::path file = WorkingCopy(cached, "sqlite");
        sqlite3* db = nullptr;
        sqlite3_open(file.string().c_str(), &db);
        Exec(db, "PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL");
        SqliteCount(db, "SELECT count(*), 'x' FROM NAVTEXLOG", {});
        m.Open();
        const auto t = Clock::now();
        const double c = CpuSeconds();
        Exec(db, "BEGIN");
        sqlite3_stmt* del = nullptr;
        sqlite3_prepare_v2(db, "DELETE FROM NAVTEXLOG WHERE UTCRECEIVED < ?1", -1, &del, nullptr);
        sqlite3_bind_double(del, 1, Days(rows / 3) - 1e-7);
        if (sqlite3_step(del) != SQLITE_DONE) std::abort();
        sqlite3_finalize(del);
        deleted = sqlite3_changes(db);
        Exec(db, "COMMIT");
        seconds = Since(t);
        cpu = CpuSeconds() - c;
        m.Done();
        sqlite3_close(db);
        std::filesystem::remove_all(file.parent_path());
    }
    ReportCleanup(State, seconds, cpu, -1, deleted, m, false);
}

void EngineCleanup(benchmark::State& State) {
    const int rows = CleanupRows();
    const std::filesystem::path cached = EngineLog(rows);
    double seconds = 0, cpu = 0, commitSeconds = 0;
    int64_t deleted = 0;
    Memory m;
    for (auto _ : State) {
        const std::filesystem::path file = WorkingCopy(cached, "engine");
        {
            TORQDiskDatabaseData db;
            db.DatabaseName = file.string();
            LogSession s;
            s.DatabaseData = &db;
            db.ConnectSession(&s);
            {
                LogCursor log(db, s);
                m.Open();
                const auto t = Clock::now();
                const double cpuStart = CpuSeconds();
                // The oldest rows by the date index, as the clean-up's filter finds them.
                const double cutoff = Days(rows / 3) - 1e-7;
                std::vector<TORQRecordID> oldest;
                log.Rewind("IDX_DT");
                while (log.Next() && log.Date() < cutoff) oldest.push_back(log.CurrentRecordID);
                s.InTransaction = 1;
                for (const TORQRecordID& id : oldest)
                    if (!log.Disk->GotoRecord(&log, id) || !log.Disk->DeleteRecord(&log)) std::abort();
                const auto c = Clock::now();
                db.Commit(s.SessionID, true);
                s.InTransaction = 0;
                commitSeconds = Since(c);
                seconds = Since(t);
                cpu = CpuSeconds() - cpuStart;
                deleted = static_cast<int64_t>(oldest.size());
                std::vector<TORQRecordID>().swap(oldest);
                m.Done();
            }
            db.DisconnectSession(&s);
        }
        std::filesystem::remove_all(file.parent_path());
    }
    ReportCleanup(State, seconds, cpu, commitSeconds, deleted, m, true);
}

// The receiver's clean-up: the table component over the log, filtered on the date, deleting
// its first record until the filter leaves none.
void EngineTableCleanup(benchmark::State& State) {
    const int rows = CleanupRows();
    const std::filesystem::path cached = EngineLog(rows);
    double seconds = 0, cpu = 0, commitSeconds = 0;
    int64_t deleted = 0;
    Memory m;
    if (!EngineStarted()) StartEngine();
    for (auto _ : State) {
        const std::filesystem::path file = WorkingCopy(cached, "table");
        {
            TORQDatabase db(nullptr);
            db.SetDatabaseName("CLEANUP");
            db.SetDatabaseFileName(file.string());
            db.SilentMode = true;
            db.Open();
            TORQTable log;
            log.SetDatabaseName("CLEANUP");
            log.SetTableName("NAVTEXLOG");
            log.SetIndexName("IDX_DT");
            log.Open();
            m.Open();
            const auto t = Clock::now();
            const double cpuStart = CpuSeconds();
            // The minute the oldest third ends at, as the receiver's filter writes a date.
            log.SetFilterText("UTCRECEIVED < '" + classlib::FormatDateTime("yyyy-mm-dd hh:nn:ss", Days(rows / 3)) + "'");
            log.SetFiltered(true);
            db.StartTransaction();
            log.First();
            deleted = 0;
            while (!log.IsEmpty()) {
                log.Delete();
                ++deleted;
            }
            const auto c = Clock::now();
            db.Commit(true);
            commitSeconds = Since(c);
            seconds = Since(t);
            cpu = CpuSeconds() - cpuStart;
            m.Done();
            log.Close();
            db.Close();
        }
        std::filesystem::remove_all(file.parent_path());
    }
    ReportCleanup(State, seconds, cpu, commitSeconds, deleted, m, true);
}

}  // namespace

BENCHMARK(Sqlite)->ArgName("wal")->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(Engine)->ArgName("barriers")->Arg(1)->Arg(0)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(SqliteCleanup)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(EngineCleanup)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(EngineTableCleanup)->Iterations(1)->Unit(benchmark::kMillisecond);
