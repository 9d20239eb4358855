// The dataset layer's cost, side by side in one run: 20,000 log-shaped records appended
// (Append, ten fields, Post) through a TORQDataSet on MEMORY and on disk (commit barriers
// off), through the local cursor alone, and into SQLite (in memory, and a WAL + NORMAL
// file; one prepared insert); then a walk over them reading every field and the memo:
// Next with a 1-row and a 20-row data link, GetRecord of the cursor, sqlite3_step.
//
// Counters are microseconds per record: append_us, next1_us, next20_us (the cursor and
// SQLite report their walk as next1_us). The dataset / cursor ratio is the layer's share;
// the dataset / SQLite ratio the comparison. Files live in a folder of the current
// directory (TILO_BENCH_DIR overrides), on a disk-backed file system.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "BenchFolder.h"
#include "classlib/DB.h"
#include "classlib/DBFields.h"
#include "engine/access/ORQLocalCursor.h"
#include "engine/access/ORQLocalEngine.h"
#include "engine/access/ORQMain.h"
#include "engine/foundation/ORQVariant.h"
#include "engine/storage/ORQDiskEngine.h"

namespace {

using namespace orq;
using classlib::TDataSet;
using Clock = std::chrono::steady_clock;

// TILO_BENCH_ROWS overrides the row count (20,000).
const int Rows = [] {
    const char* e = std::getenv("TILO_BENCH_ROWS");
    const int n = e != nullptr ? std::atoi(e) : 20000;
    return n > 0 ? n : 20000;
}();

std::filesystem::path BenchDir(const std::string& Mode) { return FreshBenchDir("dataset-" + Mode); }

double Since(Clock::time_point Start) { return std::chrono::duration<double>(Clock::now() - Start).count(); }

struct Row {
    double Utc;
    int32_t Freq;
    double Qual;
    std::string Letter, Type, Number;
    int16_t Area;
    std::string Station, Text;
    int32_t Dist;
};

Row RowOf(int I) {
    Row r;
    r.Utc = 46000.0 + I / 1440.0;
    r.Freq = I % 3 == 0 ? 490 : 518;
    r.Qual = I % 101;
    r.Letter = std::string(1, static_cast<char>('A' + I % 26));
    r.Type = std::string(1, 'E');
    r.Number = std::to_string(I % 100);
    r.Area = static_cast<int16_t>(I % 21);
    r.Station = "STATION " + std::to_string(I % 40);
    r.Text = "ZCZC " + std::to_string(I) + " NAVAREA WARNING " + std::string(80 + I % 200, 'X') + "\nNNNN";
    r.Dist = I * 7 % 5000;
    return r;
}

void LogFields(TORQFieldDefs& F) {
    auto add = [&](const char* Name, uint8_t Type, int32_t Size = 0) {
        TORQFieldDef* f = F.Add();
        f->Name = Name;
        f->SetDataType(Type, Size);
    };
    add("UTCRECEIVED", aftDateTime);
    add("FREQ", aftInteger);
    add("SIGQUAL", aftDouble);
    add("IDLETTER", aftVarChar, 1);
    add("MSGTYPE", aftVarChar, 1);
    add("MSGNUMBER", aftVarChar, 4);
    add("NAVAREA", aftSmallInt);
    add("STATION", aftVarChar, 75);
    add("MSGTEXT", aftMemo);
    add("DIST", aftInteger);
}

class TBenchDataSet : public TORQDataSet {
public:
    TBenchDataSet() : TORQDataSet(nullptr) {}
    TORQCursor* CreateCursor() override {
        auto c = std::make_unique<TORQLocalCursor>();
        c->TableName = "NAVTEXLOG";
        c->Session = Database()->Handle();
        c->OpenTable(nullptr, nullptr, nullptr);
        return c.release();
    }
};

// A database component over MEMORY or a fresh file, with the log table.
struct TEngineSide {
    explicit TEngineSide(bool Disk) {
        StartEngine();
        Db = std::make_unique<TORQDatabase>(nullptr);
        if (Disk) {
            Dir = BenchDir("engine");
            TORQLocalSession s;
            s.DatabaseName = "ORQDB";
            s.DatabaseFileName = (Dir / "TILO_DB.ORQ").string();
            s.CreateDatabase();
            Db->SetDatabaseName("ORQDB");
            Db->SetDatabaseFileName(s.DatabaseFileName);
        } else {
            Db->SetDatabaseName("MEMORY");
        }
        Db->Open();
        // The page manager took its barrier setting at the open.
        if (auto* d = dynamic_cast<TORQDiskDatabaseData*>(Db->Handle()->DatabaseData)) {
            d->CommitBarriers = false;
            if (d->DiskPageManager() != nullptr) d->DiskPageManager()->CommitBarriers = false;
        }
        TORQFieldDefs f;
        LogFields(f);
        TORQLocalCursor c;
        c.TableName = "NAVTEXLOG";
        c.Session = Db->Handle();
        c.CreateTable(f, TORQIndexDefs(), TORQConstraintDefs());
    }
    ~TEngineSide() {
        Db->Close();
        Db.reset();
        StopEngine();
        if (!Dir.empty()) std::filesystem::remove_all(Dir);
    }
    std::filesystem::path Dir;
    std::unique_ptr<TORQDatabase> Db;
};

// Reads every field of the current record in its own type, the memo included.
int64_t ReadAll(TDataSet& Ds) {
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

class TRowsLink : public classlib::TDataLink {};

void DataSet(benchmark::State& State) {
    const bool disk = State.range(0) != 0;
    for (auto _ : State) {
        TEngineSide side(disk);
        TBenchDataSet ds;
        ds.SetDatabaseName(side.Db->DatabaseName());
        ds.Open();
        auto start = Clock::now();
        for (int i = 0; i < Rows; ++i) {
            const Row r = RowOf(i);
            ds.Append();
            ds.Fields()[0]->SetAsDateTime(r.Utc);
            ds.Fields()[1]->SetAsInteger(r.Freq);
            ds.Fields()[2]->SetAsFloat(r.Qual);
            ds.Fields()[3]->SetAsString(r.Letter);
            ds.Fields()[4]->SetAsString(r.Type);
            ds.Fields()[5]->SetAsString(r.Number);
            ds.Fields()[6]->SetAsInteger(r.Area);
            ds.Fields()[7]->SetAsString(r.Station);
            ds.Fields()[8]->SetAsString(r.Text);
            ds.Fields()[9]->SetAsInteger(r.Dist);
            ds.Post();
        }
        State.counters["append_us"] = Since(start) * 1e6 / Rows;
        int64_t sum = 0;
        for (int links : {1, 20}) {
            classlib::TDataSource source(nullptr);
            source.SetDataSet(&ds);
            TRowsLink link;
            link.SetBufferCount(links);
            link.SetDataSource(&source);
            start = Clock::now();
            for (ds.First(); !ds.Eof(); ds.Next()) sum += ReadAll(ds);
            State.counters[links == 1 ? "next1_us" : "next20_us"] = Since(start) * 1e6 / Rows;
            link.SetDataSource(nullptr);
        }
        benchmark::DoNotOptimize(sum);
        ds.Close();
    }
}

void Cursor(benchmark::State& State) {
    const bool disk = State.range(0) != 0;
    for (auto _ : State) {
        TEngineSide side(disk);
        TORQLocalCursor c;
        c.TableName = "NAVTEXLOG";
        c.Session = side.Db->Handle();
        c.OpenTable(nullptr, nullptr, nullptr);
        c.InitFieldDefs();
        uint8_t* buffer = c.AllocRecordBuffer();
        c.CurrentRecord = buffer;
        // A value object keeps the type it was given first: one per field.
        auto set = [&](int32_t Field, const std::function<void(TORQVariant&)>& Fill) {
            TORQVariant v;
            Fill(v);
            c.SetFieldValue(v, Field, buffer, true);
        };
        auto start = Clock::now();
        for (int i = 0; i < Rows; ++i) {
            const Row r = RowOf(i);
            c.InitRecord(buffer, true);
            set(0, [&](TORQVariant& v) { v.SetAsDateTime(r.Utc); });
            set(1, [&](TORQVariant& v) { v.SetAsInteger(r.Freq); });
            set(2, [&](TORQVariant& v) { v.SetAsDouble(r.Qual); });
            set(3, [&](TORQVariant& v) { v.SetAsString(r.Letter); });
            set(4, [&](TORQVariant& v) { v.SetAsString(r.Type); });
            set(5, [&](TORQVariant& v) { v.SetAsString(r.Number); });
            set(6, [&](TORQVariant& v) { v.SetAsInteger(r.Area); });
            set(7, [&](TORQVariant& v) { v.SetAsString(r.Station); });
            TORQLocalBLOBStream* s = c.OpenBlob(true, false, false, TORQLocalBLOBStream::bmWriteOnly, 8);
            s->Write(r.Text.data(), static_cast<int64_t>(r.Text.size()));
            c.CloseBlob(8);
            set(9, [&](TORQVariant& v) { v.SetAsInteger(r.Dist); });
            c.PostRecord(true);
            if (c.ResultCode != 0) State.SkipWithError("post failed");
        }
        State.counters["append_us"] = Since(start) * 1e6 / Rows;
        int64_t sum = 0;
        TORQVariant v;
        start = Clock::now();
        c.First();
        std::string text;
        while (c.GetRecord(1) == 0) {
            for (int32_t f = 0; f < 10; ++f) {
                if (f == 8) {
                    TORQLocalBLOBStream* s = c.OpenBlob(false, false, true, TORQLocalBLOBStream::bmReadOnly, 8);
                    text.resize(static_cast<size_t>(s->Size()));
                    s->Seek(0, soBeginning);
                    s->ReadBuffer(text.data(), static_cast<int64_t>(text.size()));
                    c.CloseBlob(8);
                    sum += static_cast<int64_t>(text.size());
                    continue;
                }
                c.GetFieldValue(v, f, true);
                sum += v.DataSize();
            }
        }
        State.counters["next1_us"] = Since(start) * 1e6 / Rows;
        benchmark::DoNotOptimize(sum);
        c.FreeRecordBuffer(buffer);
        c.CurrentRecord = nullptr;
        c.CloseTable();
    }
}

void Check(int Rc, sqlite3* Db, benchmark::State& State) {
    if (Rc != SQLITE_OK && Rc != SQLITE_DONE && Rc != SQLITE_ROW) State.SkipWithError(sqlite3_errmsg(Db));
}

void Sqlite(benchmark::State& State) {
    const bool file = State.range(0) != 0;
    for (auto _ : State) {
        std::filesystem::path dir;
        sqlite3* db = nullptr;
        if (file) {
            dir = BenchDir("sqlite");
            Check(sqlite3_open((dir / "log.db").c_str(), &db), db, State);
            Check(sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", nullptr, nullptr, nullptr), db,
                  State);
        } else {
            Check(sqlite3_open(":memory:", &db), db, State);
        }
        Check(sqlite3_exec(db,
                           "CREATE TABLE NAVTEXLOG (UTCRECEIVED REAL, FREQ INTEGER, SIGQUAL REAL, IDLETTER TEXT, "
                           "MSGTYPE TEXT, MSGNUMBER TEXT, NAVAREA INTEGER, STATION TEXT, MSGTEXT TEXT, DIST INTEGER)",
                           nullptr, nullptr, nullptr),
              db, State);
        sqlite3_stmt* insert = nullptr;
        Check(sqlite3_prepare_v2(db, "INSERT INTO NAVTEXLOG VALUES (?,?,?,?,?,?,?,?,?,?)", -1, &insert, nullptr), db,
              State);
        auto start = Clock::now();
        for (int i = 0; i < Rows; ++i) {
            const Row r = RowOf(i);
            sqlite3_bind_double(insert, 1, r.Utc);
            sqlite3_bind_int(insert, 2, r.Freq);
            sqlite3_bind_double(insert, 3, r.Qual);
            sqlite3_bind_text(insert, 4, r.Letter.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(insert, 5, r.Type.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(insert, 6, r.Number.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int(insert, 7, r.Area);
            sqlite3_bind_text(insert, 8, r.Station.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(insert, 9, r.Text.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int(insert, 10, r.Dist);
            Check(sqlite3_step(insert), db, State);
            sqlite3_reset(insert);
        }
        State.counters["append_us"] = Since(start) * 1e6 / Rows;
        sqlite3_finalize(insert);
        sqlite3_stmt* select = nullptr;
        Check(sqlite3_prepare_v2(db, "SELECT * FROM NAVTEXLOG", -1, &select, nullptr), db, State);
        int64_t sum = 0;
        start = Clock::now();
        while (sqlite3_step(select) == SQLITE_ROW)
            for (int f = 0; f < 10; ++f) sum += sqlite3_column_bytes(select, f);
        State.counters["next1_us"] = Since(start) * 1e6 / Rows;
        benchmark::DoNotOptimize(sum);
        sqlite3_finalize(select);
        sqlite3_close(db);
        if (file) std::filesystem::remove_all(dir);
    }
}

}  // namespace

BENCHMARK(DataSet)->ArgName("disk")->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(Cursor)->ArgName("disk")->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(Sqlite)->ArgName("file")->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);
