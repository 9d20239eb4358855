// Opening and closing a database file through TORQDatabase, side by side with SQLite in the
// same run: an empty database and one shaped like the receiver's message log database
// (NAVTEXLOG with 10,000 rows, its date and station indexes, and STATIONS), the engine
// single-user and multi-user. One iteration is Open plus Close; SQLite's is sqlite3_open_v2,
// one step of "SELECT count(*) FROM sqlite_master" (which reads the schema) and close, on a
// file in journal mode DELETE. SessionsLockSingleUser is the share of a single-user
// Open plus Close spent taking and giving back every session number (500 by default) on the
// empty file.
//
// Files live in a folder of the current directory (TILO_BENCH_DIR overrides): run it on a
// disk-backed file system, a tmpfs measures nothing.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "engine/access/ORQLocalEngine.h"
#include "engine/access/ORQMain.h"
#include "engine/foundation/ORQVariant.h"
#include "engine/storage/ORQDiskEngine.h"
#include "tests/engine/storage/LogSchema.h"

namespace {

using namespace orq;

constexpr int LogRows = 10000;

const std::filesystem::path& BenchDir() {
    static const std::filesystem::path dir = [] {
        const char* where = std::getenv("TILO_BENCH_DIR");
        std::filesystem::path d = std::filesystem::path(where != nullptr ? where : ".") /
                                  ("orq-bench-databaseopen-" + std::to_string(::getpid()));
        std::filesystem::remove_all(d);
        std::filesystem::create_directories(d);
        return d;
    }();
    static const bool cleaned = [] {
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(BenchDir(), ec);
        });
        return true;
    }();
    (void)cleaned;
    return dir;
}

void AddField(TORQFieldDefs& Fields, const std::string& Name, uint8_t Type, int32_t Size = 0) {
    TORQFieldDef* f = Fields.Add();
    f->Name = Name;
    f->SetDataType(Type, Size);
}

void AddIndex(TORQIndexDefs& Indexes, const std::string& Name, const std::string& Field, bool Primary) {
    TORQIndexDef* d = Indexes.Add();
    d->Name = Name;
    d->Primary = Primary ? 1 : 0;
    d->Unique = Primary ? 1 : 0;
    d->SetColumnCount(1);
    d->GetColumn(0).FieldName = Field;
}

void CreateTable(TORQLocalSession& S, const std::string& Name, const TORQFieldDefs& Fields, const TORQIndexDefs& Indexes) {
    TORQCursor named;
    named.TableName = Name;
    named.Session = &S;
    auto* t = static_cast<TORQDiskTableData*>(S.DatabaseData->GetTableData(&named));
    t->CreateTable(&named, Fields, Indexes, TORQConstraintDefs());
    t->FreeIfUnused();
}

// Appends rows to one table like an open dataset.
class Appender : public TORQCursor {
public:
    Appender(TORQLocalSession& S, const std::string& Table) {
        TableName = Table;
        Session = &S;
        DatabaseData = S.DatabaseData;
        FDisk = static_cast<TORQDiskTableData*>(S.DatabaseData->GetTableData(this));
        FDisk->AddCursor(this);
        TableData = FDisk;
        FieldDefs.Assign(FDisk->FieldManager->FieldDefs);
        IndexDefs.Assign(FDisk->IndexManager->IndexDefs);
        CalculateRecordSizes();
        CurrentRecord = AllocRecordBuffer();
    }
    ~Appender() override {
        FDisk->ClearRecordBlobs(CurrentRecord);
        FDisk->RemoveCursor(this);
        FDisk->FreeIfUnused();
        FreeRecordBuffer(CurrentRecord);
    }
    void Clear() {
        FDisk->ClearRecordBlobs(CurrentRecord);
        std::memset(CurrentRecord, 0, static_cast<size_t>(RecordBufferSize));
        for (int32_t i = 0; i < FieldDefs.GetCount(); ++i) SetBit(CurrentRecord, i, true);
    }
    void Set(int32_t FieldNo, TORQVariant& V) { SetFieldValue(V, FieldNo, CurrentRecord, true); }
    void Append() {
        if (!FDisk->InsertRecord(this)) std::abort();
    }

private:
    TORQDiskTableData* FDisk;
};

// A file like the receiver's "TILO_DB.ORQ": the message log with its indexes, the stations.
void CreateEngineFiles(const std::string& Empty, const std::string& Log) {
    for (const std::string& name : {Empty, Log}) {
        TORQLocalSession s;
        s.DatabaseName = "NAVTEX";
        s.DatabaseFileName = name;
        s.CreateDatabase();
    }
    TORQLocalSession s;
    s.DatabaseName = "NAVTEX";
    s.DatabaseFileName = Log;
    s.SetConnected(true);
    TORQFieldDefs log;
    logschema::LogFields(log);
    TORQIndexDefs logIndexes;
    AddIndex(logIndexes, "IDX_DT", "UTCRECEIVED", true);
    AddIndex(logIndexes, "IDX_STATION", "STATION", false);
    CreateTable(s, "NAVTEXLOG", log, logIndexes);
    TORQFieldDefs stations;
    AddField(stations, "STATION", aftVarChar, 75);
    AddField(stations, "IDLETTER", aftVarChar, 1);
    AddField(stations, "FREQ", aftInteger);
    AddField(stations, "LAT", aftDouble);
    AddField(stations, "LON", aftDouble);
    AddField(stations, "IDTEXT", aftVarChar, 300);
    AddField(stations, "UNIQUEID", aftVarChar, 300);
    TORQIndexDefs stationIndexes;
    AddIndex(stationIndexes, "IDX_NAME", "STATION", true);
    CreateTable(s, "STATIONS", stations, stationIndexes);

    Appender a(s, "NAVTEXLOG");
    for (int i = 0; i < LogRows; ++i) {
        if (i % 1000 == 0) s.StartTransaction();
        a.Clear();
        TORQVariant date, freq, quality, letter, station;
        date.SetAsDateTime(46000.0 + i / 1440.0);
        a.Set(0, date);
        freq.SetAsLargeInt(i % 2 == 0 ? 518 : 490);
        a.Set(1, freq);
        quality.SetAsDouble(i % 101);
        a.Set(2, quality);
        letter.SetAsString(std::string(1, static_cast<char>('A' + i % 26)));
        a.Set(3, letter);
        station.SetAsString("STATION " + std::to_string(i % 40));
        a.Set(7, station);
        a.Append();
        if (i % 1000 == 999) s.Commit(true);
    }
    Appender st(s, "STATIONS");
    for (int i = 0; i < 40; ++i) {
        st.Clear();
        TORQVariant v;
        v.SetAsString("STATION " + std::to_string(i));
        st.Set(0, v);
        st.Append();
    }
}

void CreateSqliteFile(const std::string& Name, bool WithLog) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(Name.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    sqlite3_exec(db, "PRAGMA journal_mode=DELETE", nullptr, nullptr, nullptr);
    if (WithLog) {
        sqlite3_exec(db,
                     "CREATE TABLE NAVTEXLOG (UTCRECEIVED REAL PRIMARY KEY, FREQ INTEGER, SIGQUAL REAL, IDLETTER TEXT, "
                     "MSGTYPE TEXT, MSGNUMBER TEXT, NAVAREA INTEGER, STATION TEXT, MSGTEXT TEXT, DIST INTEGER);"
                     "CREATE INDEX IDX_STATION ON NAVTEXLOG(STATION);"
                     "CREATE TABLE STATIONS (STATION TEXT PRIMARY KEY, IDLETTER TEXT, FREQ INTEGER, LAT REAL, LON REAL, "
                     "IDTEXT TEXT, UNIQUEID TEXT);"
                     "BEGIN",
                     nullptr, nullptr, nullptr);
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, "INSERT INTO NAVTEXLOG (UTCRECEIVED, FREQ, SIGQUAL, IDLETTER, STATION) VALUES (?,?,?,?,?)",
                           -1, &st, nullptr);
        for (int i = 0; i < LogRows; ++i) {
            sqlite3_bind_double(st, 1, 46000.0 + i / 1440.0);
            sqlite3_bind_int(st, 2, i % 2 == 0 ? 518 : 490);
            sqlite3_bind_double(st, 3, i % 101);
            const std::string letter(1, static_cast<char>('A' + i % 26));
            sqlite3_bind_text(st, 4, letter.c_str(), -1, SQLITE_TRANSIENT);
            const std::string station = "STATION " + std::to_string(i % 40);
            sqlite3_bind_text(st, 5, station.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_step(st);
            sqlite3_reset(st);
        }
        sqlite3_finalize(st);
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    } else {
        sqlite3_exec(db, "VACUUM", nullptr, nullptr, nullptr);
    }
    sqlite3_close(db);
}

struct Files {
    std::string EngineEmpty, EngineLog, SqliteEmpty, SqliteLog;
};

const Files& TheFiles() {
    static const Files files = [] {
        StartEngine();
        Files f{(BenchDir() / "EMPTY.ORQ").string(), (BenchDir() / "TILO_DB.ORQ").string(),
                (BenchDir() / "empty.sqlite").string(), (BenchDir() / "tilo_db.sqlite").string()};
        CreateEngineFiles(f.EngineEmpty, f.EngineLog);
        CreateSqliteFile(f.SqliteEmpty, false);
        CreateSqliteFile(f.SqliteLog, true);
        return f;
    }();
    return files;
}

void EngineOpenClose(benchmark::State& State, bool Log, bool MultiUser) {
    const Files& f = TheFiles();
    TORQDatabase db(nullptr);
    db.SetDatabaseName("NAVTEX");
    db.SetDatabaseFileName(Log ? f.EngineLog : f.EngineEmpty);
    db.MultiUser = MultiUser;
    for (auto _ : State) {
        db.Open();
        db.Close();
    }
}

void SessionsLockSingleUser(benchmark::State& State) {
    const Files& f = TheFiles();
    TORQDiskPageManager m;
    bool multiUser = false, readOnly = false;
    m.OpenDatabaseFile(f.EngineEmpty, {}, multiUser, false, readOnly);
    TORQSystemDirectory directory(m);
    directory.LoadDirectory();
    TORQActiveSessionsFile sessions(&m);
    sessions.OpenSessionsFile(directory.FindEntry(DirectoryActiveSessions));
    for (auto _ : State) {
        if (!sessions.LockAllSessions()) std::abort();
        sessions.UnlockAllSessions();
    }
    State.counters["sessions"] = sessions.ConnectionCount();
    sessions.CloseSessionsFile();
    m.CloseDatabaseFile();
}

void SqliteOpenClose(benchmark::State& State, bool Log) {
    const Files& f = TheFiles();
    const std::string& name = Log ? f.SqliteLog : f.SqliteEmpty;
    int64_t tables = 0;
    for (auto _ : State) {
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(name.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) std::abort();
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, "SELECT count(*) FROM sqlite_master", -1, &st, nullptr);
        if (sqlite3_step(st) == SQLITE_ROW) tables += sqlite3_column_int(st, 0);
        sqlite3_finalize(st);
        sqlite3_close(db);
    }
    benchmark::DoNotOptimize(tables);
}

void BM_EngineEmptySingleUser(benchmark::State& S) { EngineOpenClose(S, false, false); }
void BM_EngineEmptyMultiUser(benchmark::State& S) { EngineOpenClose(S, false, true); }
void BM_SessionsLockSingleUser(benchmark::State& S) { SessionsLockSingleUser(S); }
void BM_SqliteEmpty(benchmark::State& S) { SqliteOpenClose(S, false); }
void BM_EngineLogSingleUser(benchmark::State& S) { EngineOpenClose(S, true, false); }
void BM_EngineLogMultiUser(benchmark::State& S) { EngineOpenClose(S, true, true); }
void BM_SqliteLog(benchmark::State& S) { SqliteOpenClose(S, true); }

BENCHMARK(BM_EngineEmptySingleUser)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EngineEmptyMultiUser)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SessionsLockSingleUser)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SqliteEmpty)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EngineLogSingleUser)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EngineLogMultiUser)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SqliteLog)->Unit(benchmark::kMicrosecond);

}  // namespace
