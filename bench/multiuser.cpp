// Many processes on one message log, the engine beside SQLite in the same run. The table:
// TILO_BENCH_ROWS rows (110,000) with a 200-2,000 byte text and the date key IDX_DT.
//   scan_us_row, lookup_us: a full scan through a table cursor reading every field and
//     the memo, and look-ups by key, in one process (the engine single- and multi-user);
//   writer alone: commits a second of one process appending one row per commit;
//   reader alone: rows a second of one process scanning round the table;
//   1w3r: the writer beside three scanning readers: its commits a second, its longest
//     single wait, and the three readers' rows a second against one alone;
//   4w: four appending writers: their commits a second together against one alone, and
//     the longest single wait.
// Each role is a process of its own; TILO_BENCH_SECONDS sets each phase's length (5).
// SQLite runs with journal WAL + synchronous NORMAL and with DELETE + FULL.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

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
using namespace logschema;
using Clock = std::chrono::steady_clock;

constexpr int Lookups = 2000;

int Rows() {
    const char* e = std::getenv("TILO_BENCH_ROWS");
    const int n = e != nullptr ? std::atoi(e) : 110000;
    return n < 1000 ? 1000 : n;
}

double Seconds() {
    const char* e = std::getenv("TILO_BENCH_SECONDS");
    const double s = e != nullptr ? std::atof(e) : 5.0;
    return s < 0.5 ? 0.5 : s;
}

double Since(Clock::time_point Start) { return std::chrono::duration<double>(Clock::now() - Start).count(); }
double Days(int64_t Minute) { return 46000.0 + static_cast<double>(Minute) / 1440.0; }

std::string TextOf(int64_t i) {
    std::string t = "ZCZC " + std::to_string(i) + "\n";
    const size_t size = 200 + static_cast<size_t>(i * 7919 % 1800);
    while (t.size() < size) t += static_cast<char>('A' + (t.size() + static_cast<size_t>(i)) % 26);
    return t + "\nNNNN";
}

// What one role process reports: operations done, seconds, longest single wait.
struct TRole {
    double Ops = 0, Seconds = 0, LongestWait = 0;
};

// Runs every role in a process of its own, started together; each writes its TRole back.
std::vector<TRole> RunRoles(const std::vector<std::function<TRole()>>& Roles) {
    int go[2];
    if (pipe(go) != 0) std::abort();
    std::vector<std::pair<pid_t, int>> children;
    for (const auto& role : Roles) {
        int back[2];
        if (pipe(back) != 0) std::abort();
        std::fflush(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            close(go[1]);
            close(back[0]);
            char c;
            if (read(go[0], &c, 1) != 1) _exit(2);
            TRole r;
            try {
                r = role();
            } catch (const std::exception& e) {
                std::fprintf(stderr, "role: %s\n", e.what());
                _exit(3);
            }
            if (write(back[1], &r, sizeof r) != static_cast<ssize_t>(sizeof r)) _exit(4);
            _exit(0);
        }
        close(back[1]);
        children.emplace_back(pid, back[0]);
    }
    close(go[0]);
    const std::string start(Roles.size(), 'g');
    if (write(go[1], start.data(), start.size()) != static_cast<ssize_t>(start.size())) std::abort();
    close(go[1]);
    std::vector<TRole> results;
    for (auto& [pid, fd] : children) {
        TRole r;
        if (read(fd, &r, sizeof r) != static_cast<ssize_t>(sizeof r)) r = TRole{};
        close(fd);
        int status = 0;
        waitpid(pid, &status, 0);
        results.push_back(r);
    }
    return results;
}

double Rate(const TRole& R) { return R.Seconds > 0 ? R.Ops / R.Seconds : 0; }

struct TFigures {
    double ScanUs = 0, LookupUs = 0;
    double WriterAlone = 0, ReaderAlone = 0;
    double Writer1w3r = 0, Wait1w3r = 0, Readers1w3r = 0;
    double Writers4 = 0, Wait4 = 0;
};

void Report(benchmark::State& State, const TFigures& F) {
    State.counters["scan_us_row"] = F.ScanUs;
    State.counters["lookup_us"] = F.LookupUs;
    State.counters["writer_alone_cps"] = F.WriterAlone;
    State.counters["reader_alone_rps"] = F.ReaderAlone;
    State.counters["1w3r_writer_cps"] = F.Writer1w3r;
    State.counters["1w3r_writer_share"] = F.WriterAlone > 0 ? F.Writer1w3r / F.WriterAlone : 0;
    State.counters["1w3r_longest_wait_s"] = F.Wait1w3r;
    State.counters["1w3r_readers_x"] = F.ReaderAlone > 0 ? F.Readers1w3r / F.ReaderAlone : 0;
    State.counters["4w_cps"] = F.Writers4;
    State.counters["4w_x"] = F.WriterAlone > 0 ? F.Writers4 / F.WriterAlone : 0;
    State.counters["4w_longest_wait_s"] = F.Wait4;
}

// The roles of one system, and how it scans and looks up in one process.
struct TSystem {
    std::function<void(double&, double&)> InProcess;  // scan µs a row, look-up µs
    std::function<TRole(int Writer)> Write;
    std::function<TRole()> Read;
};

void RunPhases(const TSystem& S, TFigures& F) {
    S.InProcess(F.ScanUs, F.LookupUs);
    F.WriterAlone = Rate(RunRoles({[&] { return S.Write(0); }})[0]);
    F.ReaderAlone = Rate(RunRoles({[&] { return S.Read(); }})[0]);
    {
        const std::vector<TRole> r = RunRoles({[&] { return S.Write(1); }, [&] { return S.Read(); },
                                               [&] { return S.Read(); }, [&] { return S.Read(); }});
        F.Writer1w3r = Rate(r[0]);
        F.Wait1w3r = r[0].LongestWait;
        F.Readers1w3r = Rate(r[1]) + Rate(r[2]) + Rate(r[3]);
    }
    {
        const std::vector<TRole> r = RunRoles({[&] { return S.Write(2); }, [&] { return S.Write(3); },
                                               [&] { return S.Write(4); }, [&] { return S.Write(5); }});
        for (const TRole& w : r) {
            F.Writers4 += Rate(w);
            F.Wait4 = std::max(F.Wait4, w.LongestWait);
        }
    }
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

// One connection: database object, session, cursor on the log with two record buffers.
struct TConnection {
    TORQDiskDatabaseData Db;
    BenchSession Session;
    TORQLocalCursor Cursor;
    uint8_t* Record = nullptr;
    uint8_t* Old = nullptr;

    TConnection(const std::string& Path, bool MultiUser) {
        Db.DatabaseName = Path;
        Session.MultiUser = MultiUser ? 1 : 0;
        Session.DatabaseData = &Db;
        Db.ConnectSession(&Session);
        Cursor.Session = &Session;
        Cursor.TableName = "NAVTEXLOG";
    }
    void Open() {
        Cursor.OpenTable(nullptr, nullptr, nullptr);
        Record = Cursor.AllocRecordBuffer();
        Old = Cursor.AllocRecordBuffer();
        Cursor.CurrentRecord = Record;
        Cursor.OldRecord = Old;
    }
    ~TConnection() {
        if (Record != nullptr) Cursor.FreeRecordBuffer(Record);
        if (Old != nullptr) Cursor.FreeRecordBuffer(Old);
        Cursor.CloseTable();
        Db.DisconnectSession(&Session);
    }

    // Fills the buffer with row i and posts it; answers the result code.
    int32_t Append(int64_t i) {
        TORQLocalCursor& c = Cursor;
        dynamic_cast<TORQDiskTableData*>(c.TableData)->ClearRecordBlobs(Record);
        c.InitRecord(Record, true);
        const auto set = [&](int32_t F, auto Assign) {
            TORQVariant v;
            Assign(v);
            c.SetFieldValue(v, F, Record, true);
        };
        set(fUtc, [&](TORQVariant& v) { v.SetAsDateTime(Days(i)); });
        set(fFreq, [&](TORQVariant& v) { v.SetAsLargeInt(i % 2 == 0 ? 518 : 490); });
        set(fQual, [&](TORQVariant& v) { v.SetAsDouble(static_cast<double>(i % 101)); });
        set(fLetter, [&](TORQVariant& v) { v.SetAsString(std::string(1, static_cast<char>('A' + i % 26))); });
        set(fType, [&](TORQVariant& v) { v.SetAsString("E"); });
        set(fNumber, [&](TORQVariant& v) { v.SetAsString(std::to_string(i % 10000)); });
        set(fArea, [&](TORQVariant& v) { v.SetAsLargeInt(i % 21); });
        set(fStation, [&](TORQVariant& v) { v.SetAsString("STATION " + std::to_string(i % 40)); });
        set(fDist, [&](TORQVariant& v) { v.SetAsLargeInt(i * 3); });
        const std::string text = TextOf(i);
        TORQLocalBLOBStream* blob = c.OpenBlob(true, false, false, TORQLocalBLOBStream::bmWriteOnly, fText);
        blob->Write(text.data(), static_cast<int64_t>(text.size()));
        c.CloseBlob(fText);
        c.PostRecord(true);
        return c.ResultCode;
    }

    // Reads every field of the current record, the memo included; answers its length.
    int64_t ReadRow() {
        TORQVariant v;
        for (int32_t f = 0; f < fFieldCount; ++f)
            if (f != fText) Cursor.GetFieldValue(v, f, true);
        std::string text;
        bool opened = false;
        Cursor.ReadBlobValue(false, false, true, fText, text, opened);
        return static_cast<int64_t>(text.size());
    }
};

void FillEngine(const std::string& Path, int N) {
    {
        TORQDiskDatabaseData creator;
        creator.DatabaseName = Path;
        creator.MaxConnections = 16;
        creator.CreateDatabase();
    }
    TConnection c(Path, false);
    {
        TORQFieldDefs fields;
        LogFields(fields);
        TORQIndexDefs indexes;
        DateIndex(indexes);
        c.Cursor.CreateTable(fields, indexes, TORQConstraintDefs());
    }
    c.Open();
    for (int i = 0; i < N; ++i) {
        if (i % 1000 == 0) c.Cursor.BeginUpdateBatch();
        if (c.Append(i) != 0) std::abort();
        if (i % 1000 == 999 || i == N - 1) c.Cursor.CommitBatch();
    }
}

TSystem EngineSystem(const std::string& Path, int N, bool MultiUser) {
    const double seconds = Seconds();
    TSystem s;
    s.InProcess = [=](double& ScanUs, double& LookupUs) {
        TConnection c(Path, MultiUser);
        c.Open();
        int64_t rows = 0, bytes = 0;
        auto t = Clock::now();
        c.Cursor.First();
        while (c.Cursor.GetRecord(gmNext) == grOK) {
            bytes += c.ReadRow();
            ++rows;
        }
        ScanUs = Since(t) * 1e6 / static_cast<double>(std::max<int64_t>(rows, 1));
        if (rows < N || bytes == 0) std::fprintf(stderr, "engine scan read %lld rows\n", static_cast<long long>(rows));
        c.Cursor.SetIndexName("IDX_DT");
        int found = 0;
        t = Clock::now();
        for (int k = 0; k < Lookups; ++k) {
            const int i = static_cast<int>((static_cast<int64_t>(k) * 7919) % N);
            if (c.Cursor.Locate({"UTCRECEIVED"}, classlib::Variant::FromDate(Days(i)), 0)) {
                c.ReadRow();
                ++found;
            }
        }
        LookupUs = Since(t) * 1e6 / Lookups;
        if (found != Lookups) std::fprintf(stderr, "engine look-ups found %d\n", found);
    };
    s.Write = [=](int Writer) {
        StartStorageEngine();
        InstallExpressionFactory();
        TConnection c(Path, true);
        c.Open();
        TRole r;
        const auto start = Clock::now();
        int64_t k = 0;
        while (Since(start) < seconds) {
            const auto t = Clock::now();
            const int32_t code = c.Append(int64_t{N} + int64_t{Writer} * 10000000 + k);
            r.LongestWait = std::max(r.LongestWait, Since(t));
            ++k;
            if (code == 0) r.Ops += 1;
        }
        r.Seconds = Since(start);
        return r;
    };
    s.Read = [=]() {
        StartStorageEngine();
        InstallExpressionFactory();
        TConnection c(Path, true);
        c.Open();
        TRole r;
        const auto start = Clock::now();
        c.Cursor.First();
        while (Since(start) < seconds) {
            for (int k = 0; k < 64; ++k) {
                if (c.Cursor.GetRecord(gmNext) != grOK) {
                    c.Cursor.First();
                    continue;
                }
                c.ReadRow();
                r.Ops += 1;
            }
        }
        r.Seconds = Since(start);
        return r;
    };
    return s;
}

void Engine(benchmark::State& State) {
    const bool multiUser = State.range(0) != 0;
    const int n = Rows();
    const std::filesystem::path dir = FreshBenchDir(std::string("multiuser-") + (multiUser ? "mu" : "su"));
    const std::string path = (dir / "TILO_DB.ORQ").string();
    StartStorageEngine();
    InstallExpressionFactory();
    FillEngine(path, n);
    TFigures f;
    const TSystem s = EngineSystem(path, n, multiUser);
    if (multiUser)
        RunPhases(s, f);
    else
        s.InProcess(f.ScanUs, f.LookupUs);
    StopStorageEngine();
    std::filesystem::remove_all(dir);
    for (auto _ : State) {
    }
    Report(State, f);
}

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

sqlite3* OpenSqlite(const std::string& Path, bool Wal) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(Path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    sqlite3_busy_timeout(db, 60000);
    Exec(db, Wal ? "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL"
                 : "PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL");
    return db;
}

void BindRow(sqlite3_stmt* Insert, int64_t i) {
    const std::string letter(1, static_cast<char>('A' + i % 26));
    const std::string number = std::to_string(i % 10000);
    const std::string station = "STATION " + std::to_string(i % 40);
    const std::string text = TextOf(i);
    sqlite3_bind_double(Insert, 1, Days(i));
    sqlite3_bind_int(Insert, 2, i % 2 == 0 ? 518 : 490);
    sqlite3_bind_double(Insert, 3, static_cast<double>(i % 101));
    sqlite3_bind_text(Insert, 4, letter.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(Insert, 5, "E", -1, SQLITE_STATIC);
    sqlite3_bind_text(Insert, 6, number.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(Insert, 7, static_cast<int>(i % 21));
    sqlite3_bind_text(Insert, 8, station.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(Insert, 9, text.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(Insert, 10, i * 3);
}

constexpr char InsertSql[] = "INSERT INTO NAVTEXLOG VALUES (?,?,?,?,?,?,?,?,?,?)";
constexpr char Columns[] =
    "SELECT UTCRECEIVED, FREQ, SIGQUAL, IDLETTER, MSGTYPE, MSGNUMBER, NAVAREA, STATION, MSGTEXT, DIST FROM "
    "NAVTEXLOG";

int64_t ReadColumns(sqlite3_stmt* S) {
    int64_t bytes = 0;
    for (int col = 0; col < 10; ++col) {
        if (sqlite3_column_type(S, col) == SQLITE_TEXT) {
            sqlite3_column_text(S, col);
            bytes += sqlite3_column_bytes(S, col);
        } else {
            sqlite3_column_double(S, col);
        }
    }
    return bytes;
}

TSystem SqliteSystem(const std::string& Path, int N, bool Wal) {
    const double seconds = Seconds();
    TSystem s;
    s.InProcess = [=](double& ScanUs, double& LookupUs) {
        sqlite3* db = OpenSqlite(Path, Wal);
        sqlite3_stmt* scan = Prepare(db, Columns);
        int64_t rows = 0;
        auto t = Clock::now();
        while (sqlite3_step(scan) == SQLITE_ROW) {
            ReadColumns(scan);
            ++rows;
        }
        ScanUs = Since(t) * 1e6 / static_cast<double>(std::max<int64_t>(rows, 1));
        sqlite3_finalize(scan);
        sqlite3_stmt* byDate = Prepare(db, (std::string(Columns) + " WHERE UTCRECEIVED = ?").c_str());
        t = Clock::now();
        for (int k = 0; k < Lookups; ++k) {
            const int i = static_cast<int>((static_cast<int64_t>(k) * 7919) % N);
            sqlite3_bind_double(byDate, 1, Days(i));
            if (sqlite3_step(byDate) == SQLITE_ROW) ReadColumns(byDate);
            sqlite3_reset(byDate);
        }
        LookupUs = Since(t) * 1e6 / Lookups;
        sqlite3_finalize(byDate);
        sqlite3_close(db);
    };
    s.Write = [=](int Writer) {
        sqlite3* db = OpenSqlite(Path, Wal);
        sqlite3_stmt* insert = Prepare(db, InsertSql);
        TRole r;
        const auto start = Clock::now();
        int64_t k = 0;
        while (Since(start) < seconds) {
            const auto t = Clock::now();
            BindRow(insert, int64_t{N} + int64_t{Writer} * 10000000 + k);
            const int rc = sqlite3_step(insert);
            sqlite3_reset(insert);
            r.LongestWait = std::max(r.LongestWait, Since(t));
            ++k;
            if (rc == SQLITE_DONE) r.Ops += 1;
        }
        r.Seconds = Since(start);
        sqlite3_finalize(insert);
        sqlite3_close(db);
        return r;
    };
    s.Read = [=]() {
        sqlite3* db = OpenSqlite(Path, Wal);
        // One row per statement step, as a cursor reads; a fresh read transaction every
        // 64 rows so that the writer's commits show.
        sqlite3_stmt* step = Prepare(db, (std::string(Columns) + " WHERE rowid > ? ORDER BY rowid LIMIT 64").c_str());
        TRole r;
        int64_t last = 0;
        const auto start = Clock::now();
        while (Since(start) < seconds) {
            sqlite3_bind_int64(step, 1, last);
            int got = 0;
            while (sqlite3_step(step) == SQLITE_ROW) {
                ReadColumns(step);
                ++got;
            }
            sqlite3_reset(step);
            // Row ids run without gaps: nothing is deleted.
            last = got == 0 ? 0 : last + got;
            r.Ops += got;
        }
        r.Seconds = Since(start);
        sqlite3_finalize(step);
        sqlite3_close(db);
        return r;
    };
    return s;
}

void Sqlite(benchmark::State& State) {
    const bool wal = State.range(0) != 0;
    const int n = Rows();
    const std::filesystem::path dir = FreshBenchDir(std::string("multiuser-") + (wal ? "wal" : "delete"));
    const std::string path = (dir / "log.db").string();
    {
        sqlite3* db = OpenSqlite(path, wal);
        Exec(db,
             "CREATE TABLE NAVTEXLOG (UTCRECEIVED REAL, FREQ INTEGER, SIGQUAL REAL, IDLETTER TEXT, MSGTYPE TEXT, "
             "MSGNUMBER TEXT, NAVAREA INTEGER, STATION TEXT, MSGTEXT TEXT, DIST INTEGER);"
             "CREATE UNIQUE INDEX IDX_DT ON NAVTEXLOG(UTCRECEIVED)");
        sqlite3_stmt* insert = Prepare(db, InsertSql);
        Exec(db, "BEGIN");
        for (int i = 0; i < n; ++i) {
            BindRow(insert, i);
            sqlite3_step(insert);
            sqlite3_reset(insert);
            if (i % 1000 == 999) Exec(db, "COMMIT; BEGIN");
        }
        Exec(db, "COMMIT");
        sqlite3_finalize(insert);
        sqlite3_close(db);
    }
    TFigures f;
    RunPhases(SqliteSystem(path, n, wal), f);
    std::filesystem::remove_all(dir);
    for (auto _ : State) {
    }
    Report(State, f);
}

}  // namespace

BENCHMARK(Sqlite)->ArgName("wal")->Arg(1)->Arg(0)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(Engine)->ArgName("multiuser")->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);
