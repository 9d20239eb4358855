// The station units against the audio block of 1024 samples (92.9 ms at 11025 samples
// per second): a candidate's look-up in lexicons of 10,000 and 100,000 words, from
// memory and by a scan of every word (the look-up's rule as first written, here over a
// word list in memory; the scan through the word table joins with the data module),
// the export and import of 1,000 stations through the station file, and the map report
// of a day of 500 messages from 100 stations drawn into the map window.
//
// StationDatabases runs the same work on disk in one run, beside SQLite: the look-up by
// a scan of the word table DBWORD (and from memory after one read of it) against
// SQLite's "WHERE length(WORDS) = ? AND WORDS GLOB ?" ('~' as '?', the half rule applied
// to its rows); the export and import of 1,000 stations through the station table and
// the same file code over an SQLite table (a prepared look-up on the four key fields,
// then UPDATE or INSERT, each committed as the engine's posts are); and the map report of
// a day of 500 messages from 100 stations in logs of 1,500 and 1,000,000 messages (the
// larger written once and kept), the log filtered by the data module and every
// station's position looked up, drawn into the map window, beside SQLite reading the
// day's rows and each station's position by its call sign.
#include "app/AtlasLink.h"
#include "app/Lexicon.h"
#include "app/MapWindow.h"
#include "app/StationFile.h"

#include <QApplication>

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "app/DataModule.h"
#include "app/UCommon.h"
#include "classlib/DB.h"
#include "classlib/DBFields.h"
#include "engine/access/ORQMain.h"

namespace {

using namespace tilo;

QApplication& App() {
    static int argc = 1;
    static char name[] = "bench_stations";
    static char* argv[] = {name, nullptr};
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // Never destroyed: Qt's own statics made after it would go first at exit.
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

// Upper-case words of 3 to 14 letters from a fixed generator.
std::vector<std::string> Words(int Count) {
    uint32_t seed = 4711;
    std::vector<std::string> words;
    for (int i = 0; i < Count; ++i) {
        seed = seed * 1103515245u + 12345u;
        std::string w(3 + (seed >> 16) % 12, ' ');
        for (char& c : w) {
            seed = seed * 1103515245u + 12345u;
            c = char('A' + (seed >> 16) % 26);
        }
        words.push_back(w);
    }
    return words;
}

class TWordList : public TWordSource {
public:
    explicit TWordList(std::vector<std::string> W) : FWords(std::move(W)) {}
    void ForEachWord(const std::function<void(const std::string&)>& Visit) override {
        for (const std::string& w : FWords) Visit(w);
    }
    const std::vector<std::string>& All() const { return FWords; }

private:
    std::vector<std::string> FWords;
};

std::string Candidate(const TWordList& Words) {
    for (const std::string& w : Words.All())
        if (w.size() == 8) return w.substr(0, 3) + "~" + w.substr(4);
    return "ABC~EFGH";
}

void BM_LexiconLookupMemory(benchmark::State& state) {
    TWordList words(Words(int(state.range(0))));
    TLexicon lexicon;
    const std::string candidate = Candidate(words);
    lexicon.Lookup(candidate, words);  // read once, as the first look-up after the table opens
    for (auto _ : state) benchmark::DoNotOptimize(lexicon.Lookup(candidate, words));
}
BENCHMARK(BM_LexiconLookupMemory)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

void BM_LexiconLookupScan(benchmark::State& state) {
    TWordList words(Words(int(state.range(0))));
    const std::string candidate = Candidate(words);
    for (auto _ : state) benchmark::DoNotOptimize(LookupLexicon(candidate, words));
}
BENCHMARK(BM_LexiconLookupScan)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

class TStations : public TStationSource, public TStationStore {
public:
    std::vector<TStationRecord> Table;
    bool NextStation(TStationRecord& S) override {
        if (FNext >= Table.size()) return false;
        S = Table[FNext++];
        return true;
    }
    void Rewind() { FNext = 0; }
    bool LocateStation(const std::string&, const std::string&, const std::string&, const std::string&) override {
        return false;
    }
    void EditStation() override {}
    void AppendStation() override { FRecord = TStationRecord(); }
    void SetField(TStationField F, const std::string& Text) override { FRecord[F] = Text; }
    void PostStation() override { Table.push_back(FRecord); }
    void CancelStation() override {}

private:
    std::size_t FNext = 0;
    TStationRecord FRecord;
};

TStations Stations(int Count) {
    TStations s;
    for (int i = 0; i < Count; ++i) {
        TStationRecord r;
        const std::string n = std::to_string(i);
        std::string call = "C", location = "LOCATION ";
        call += n;
        location += n;
        r.Fields = {std::to_string(1 + i % 21), i % 2 ? "490" : "518", std::string(1, char('A' + i % 26)),
                    call, location, "CC", "COUNTRY", "50.5", "-1.25",
                    "00:40", "04:40", "08:40", "12:40", "16:40", "20:40", "ALPHA,BRAVO,CHARLIE", "UNIQUE"};
        s.Table.push_back(r);
    }
    return s;
}

std::string BenchFile() {
    static const std::string dir = [] {
        const auto d = std::filesystem::temp_directory_path() / ("tilo_bench_stations." + std::to_string(::getpid()));
        std::filesystem::create_directories(d);
        return d.string();
    }();
    return dir + "/" + StationFileName;
}

void BM_StationExport(benchmark::State& state) {
    TStations s = Stations(int(state.range(0)));
    for (auto _ : state) {
        s.Rewind();
        if (!WriteStationFile(BenchFile(), s).Ok) state.SkipWithError("export failed");
    }
}
BENCHMARK(BM_StationExport)->Arg(1000)->Unit(benchmark::kMillisecond);

void BM_StationImport(benchmark::State& state) {
    TStations s = Stations(int(state.range(0)));
    WriteStationFile(BenchFile(), s);
    for (auto _ : state) {
        TStations into;
        if (!ReadStationFile(BenchFile(), into, false).Ok) state.SkipWithError("import failed");
        benchmark::DoNotOptimize(into.Table.data());
    }
}
BENCHMARK(BM_StationImport)->Arg(1000)->Unit(benchmark::kMillisecond);

class TDaySource : public TMapReportSource {
public:
    bool NextRecord(std::string& Station, double& Lat, double& Lon) override {
        if (FAt >= 500) return false;
        const int s = FAt++ % 100;
        Station = "STATION " + std::to_string(s);
        Lat = -60 + (s * 37) % 130;
        Lon = -170 + (s * 53) % 340;
        return true;
    }

private:
    int FAt = 0;
};

// The report's calls and the repaint the closed bracket asks for.
void BM_MapReport(benchmark::State& state) {
    App();
    const std::shared_ptr<IAtlas> atlas = TMapWindow::CreateAtlas();
    TMapWindow* w = TMapWindow::WindowOf(atlas);
    w->resize(1080, 540);
    const classlib::TDateTime day = classlib::EncodeDate(2024, 6, 21);
    for (auto _ : state) {
        TDaySource source;
        AtlasReport(atlas.get(), day, 51, 2, source, {});
        benchmark::DoNotOptimize(w->grab().toImage().constBits());
    }
}
BENCHMARK(BM_MapReport)->Unit(benchmark::kMillisecond);

// ---- the same work on disk, beside SQLite ----

using Clock = std::chrono::steady_clock;
constexpr double BlockMs = 1024.0 / 11025.0 * 1000.0;
double MsSince(Clock::time_point T) { return std::chrono::duration<double, std::milli>(Clock::now() - T).count(); }

void Exec(sqlite3* Db, const char* Sql) {
    char* error = nullptr;
    if (sqlite3_exec(Db, Sql, nullptr, nullptr, &error) != SQLITE_OK) {
        std::fprintf(stderr, "%s\n", error);
        std::abort();
    }
}

std::string Column(sqlite3_stmt* Q, int C) {
    const unsigned char* p = sqlite3_column_text(Q, C);
    return p ? std::string(reinterpret_cast<const char*>(p)) : std::string();
}

std::filesystem::path NewFolder(const char* Name) {
    char tmpl[] = "/tmp/tilo_bench_st_XXXXXX";
    const char* d = ::mkdtemp(tmpl);
    if (d == nullptr) std::abort();
    const std::filesystem::path p = std::filesystem::path(d) / Name;
    std::filesystem::create_directories(p);
    return p;
}

class TTableWords : public TWordSource {
public:
    explicit TTableWords(classlib::TDataSet& T) : FT(T) {}
    void ForEachWord(const std::function<void(const std::string&)>& Visit) override {
        const classlib::TField* f = FT.FieldByName("WORDS");
        for (FT.First(); !FT.Eof(); FT.Next()) Visit(f->AsString());
    }

private:
    classlib::TDataSet& FT;
};

class TTableStations : public TStationSource, public TStationStore {
public:
    explicit TTableStations(TDataModule1& M) : FM(M), FT(*M.StationTable) {}
    bool NextStation(TStationRecord& S) override {
        if (!FStarted) FT.First(); else FT.Next();
        FStarted = true;
        if (FT.Eof()) return false;
        for (int f = 0; f < StationFieldCount; ++f) S.Fields[f] = FT.FieldByName(StationFieldNames[f])->AsString();
        return true;
    }
    bool LocateStation(const std::string& NavArea, const std::string& Freq, const std::string& IdLetter,
                       const std::string& CallSign) override {
        return FM.LocateStation(Freq, IdLetter, NavArea, CallSign);
    }
    void EditStation() override { FT.Edit(); }
    void AppendStation() override { FT.Append(); }
    void SetField(TStationField F, const std::string& Text) override {
        FT.FieldByName(StationFieldNames[F])->SetAsString(Text);
    }
    void PostStation() override { FT.Post(); }
    void CancelStation() override { FT.Cancel(); }

private:
    TDataModule1& FM;
    classlib::TDataSet& FT;
    bool FStarted = false;
};

const char* const StationColumns = "NAVAREA, FREQ, IDLETTER, CALLSIGN, LOCATION, COUNTRYCODE, COUNTRY, LAT, LON, "
                                   "T1, T2, T3, T4, T5, T6, IDTEXT, UNIQUEID";

class TSqliteStations : public TStationSource, public TStationStore {
public:
    explicit TSqliteStations(sqlite3* Db) : FDb(Db) {
        sqlite3_prepare_v2(Db, (std::string("SELECT ") + StationColumns + " FROM STATIONS ORDER BY NAVAREA, LOCATION")
                                   .c_str(), -1, &FAll, nullptr);
        sqlite3_prepare_v2(Db, "SELECT rowid FROM STATIONS WHERE NAVAREA = ? AND FREQ = ? AND IDLETTER = ? AND "
                               "CALLSIGN = ?", -1, &FFind, nullptr);
        sqlite3_prepare_v2(Db, (std::string("INSERT INTO STATIONS (") + StationColumns +
                                ") VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)").c_str(), -1, &FInsert, nullptr);
        sqlite3_prepare_v2(Db, "UPDATE STATIONS SET LOCATION = ?5, COUNTRYCODE = ?6, COUNTRY = ?7, LAT = ?8, LON = ?9,"
                               " T1 = ?10, T2 = ?11, T3 = ?12, T4 = ?13, T5 = ?14, T6 = ?15, IDTEXT = ?16,"
                               " UNIQUEID = ?17 WHERE rowid = ?18", -1, &FUpdate, nullptr);
    }
    ~TSqliteStations() override {
        for (sqlite3_stmt* q : {FAll, FFind, FInsert, FUpdate}) sqlite3_finalize(q);
    }
    bool NextStation(TStationRecord& S) override {
        if (sqlite3_step(FAll) != SQLITE_ROW) {
            sqlite3_reset(FAll);
            return false;
        }
        for (int f = 0; f < StationFieldCount; ++f) S.Fields[f] = Column(FAll, f);
        return true;
    }
    bool LocateStation(const std::string& NavArea, const std::string& Freq, const std::string& IdLetter,
                       const std::string& CallSign) override {
        sqlite3_bind_int(FFind, 1, std::atoi(NavArea.c_str()));
        sqlite3_bind_double(FFind, 2, std::atof(Freq.c_str()));
        sqlite3_bind_text(FFind, 3, IdLetter.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(FFind, 4, CallSign.c_str(), -1, SQLITE_TRANSIENT);
        const bool found = sqlite3_step(FFind) == SQLITE_ROW;
        FRow = found ? sqlite3_column_int64(FFind, 0) : 0;
        sqlite3_reset(FFind);
        return found;
    }
    void EditStation() override { FRecord = TStationRecord(); }
    void AppendStation() override {
        FRecord = TStationRecord();
        FRow = 0;
    }
    void SetField(TStationField F, const std::string& Text) override { FRecord[F] = Text; }
    void PostStation() override {
        sqlite3_stmt* q = FRow ? FUpdate : FInsert;
        for (int f = FRow ? int(sfLocation) : 0; f < StationFieldCount; ++f)
            sqlite3_bind_text(q, f + 1, FRecord.Fields[f].c_str(), -1, SQLITE_TRANSIENT);
        if (FRow) sqlite3_bind_int64(q, 18, FRow);
        if (sqlite3_step(q) != SQLITE_DONE) std::abort();
        sqlite3_reset(q);
    }
    void CancelStation() override {}

private:
    sqlite3* FDb;
    sqlite3_stmt *FAll = nullptr, *FFind = nullptr, *FInsert = nullptr, *FUpdate = nullptr;
    sqlite3_int64 FRow = 0;
    TStationRecord FRecord;
};

// Unique upper-case words (the lexicon's primary index is unique).
std::vector<std::string> UniqueWords(int Count) {
    std::vector<std::string> all = Words(Count + Count / 4), words;
    std::set<std::string> seen;
    for (const std::string& w : all)
        if (int(words.size()) < Count && seen.insert(w).second) words.push_back(w);
    return words;
}

struct TLexiconFigures {
    double Scan = 0, Memory = 0, Read = 0, Sqlite = 0;
};

TLexiconFigures LexiconOnDisk(int Count) {
    const std::vector<std::string> words = UniqueWords(Count);
    std::string candidate = "ABC~EFGH";
    for (const std::string& w : words)
        if (w.size() == 8) {
            candidate = w.substr(0, 3) + "~" + w.substr(4);
            break;
        }
    TLexiconFigures f;
    std::string engineAnswer;
    {
        const std::filesystem::path dir = NewFolder("engine");
        if (::chdir(dir.c_str()) != 0) std::abort();
        orq::StartEngine();
        TDataModule1::DefaultDataFolder = (dir / "none").string();
        {
            TDataModule1 m;
            m.ProcessMessages = [] {};
            classlib::TDataSet& t = *m.WordTable;
            t.Open();
            m.LEXDB->StartTransaction();
            for (const std::string& w : words) {
                t.Append();
                t.FieldByName("WORDS")->SetAsString(w);
                t.Post();
            }
            m.LEXDB->Commit(true);
            TTableWords source(t);
            const int runs = Count > 50000 ? 3 : 10;
            auto at = Clock::now();
            for (int i = 0; i < runs; ++i) engineAnswer = LookupLexicon(candidate, source);
            f.Scan = MsSince(at) / runs;
            TLexicon lexicon;
            at = Clock::now();
            lexicon.Lookup(candidate, source);
            f.Read = MsSince(at);
            at = Clock::now();
            for (int i = 0; i < 100; ++i) benchmark::DoNotOptimize(lexicon.Lookup(candidate, source));
            f.Memory = MsSince(at) / 100;
            if (lexicon.Lookup(candidate, source) != engineAnswer) std::fprintf(stderr, "memory answer differs\n");
        }
        orq::StopEngine();
        std::filesystem::remove_all(dir.parent_path());
    }
    {
        const std::filesystem::path dir = NewFolder("sqlite");
        sqlite3* db = nullptr;
        sqlite3_open((dir / "lex.sqlite").c_str(), &db);
        Exec(db, "PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL;"
                 "CREATE TABLE DBWORD (WORDS VARCHAR(40) PRIMARY KEY)");
        sqlite3_stmt* ins = nullptr;
        sqlite3_prepare_v2(db, "INSERT INTO DBWORD VALUES (?)", -1, &ins, nullptr);
        Exec(db, "BEGIN");
        for (const std::string& w : words) {
            sqlite3_bind_text(ins, 1, w.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_step(ins);
            sqlite3_reset(ins);
        }
        Exec(db, "COMMIT");
        sqlite3_finalize(ins);
        sqlite3_stmt* q = nullptr;
        sqlite3_prepare_v2(db, "SELECT WORDS FROM DBWORD WHERE length(WORDS) = ? AND WORDS GLOB ?", -1, &q, nullptr);
        std::string pattern = candidate;
        for (char& c : pattern)
            if (c == '~') c = '?';
        std::string answer;
        const int runs = 10;
        const auto at = Clock::now();
        for (int i = 0; i < runs; ++i) {
            answer.clear();
            sqlite3_bind_int(q, 1, int(candidate.size()));
            sqlite3_bind_text(q, 2, pattern.c_str(), -1, SQLITE_TRANSIENT);
            while (sqlite3_step(q) == SQLITE_ROW) {
                const std::string w = Column(q, 0);
                if (!WildcardMatch(w, candidate)) continue;
                if (!answer.empty()) answer += '|';
                answer += w;
            }
            sqlite3_reset(q);
        }
        f.Sqlite = MsSince(at) / runs;
        sqlite3_finalize(q);
        sqlite3_close(db);
        std::filesystem::remove_all(dir.parent_path());
        // SQLite's rows come in its index order, the engine's in the table's: compare as sets.
        auto split = [](const std::string& S) {
            std::set<std::string> v;
            std::size_t at = 0;
            while (at < S.size()) {
                std::size_t bar = S.find('|', at);
                if (bar == std::string::npos) bar = S.size();
                v.insert(S.substr(at, bar - at));
                at = bar + 1;
            }
            return v;
        };
        if (split(answer) != split(engineAnswer)) std::fprintf(stderr, "sqlite answer differs\n");
    }
    return f;
}

struct TStationFigures {
    double Export = 0, ImportNew = 0, ImportFound = 0;
};

TStationFigures StationsInEngine(const TStations& Rows) {
    TStationFigures f;
    const std::filesystem::path dir = NewFolder("engine");
    if (::chdir(dir.c_str()) != 0) std::abort();
    orq::StartEngine();
    TDataModule1::DefaultDataFolder = (dir / "none").string();
    {
        TDataModule1 m;
        m.ProcessMessages = [] {};
        m.StationTable->Open();
        TStations rows = Rows;
        rows.Rewind();
        const std::string file = (dir / StationFileName).string();
        WriteStationFile(file, rows);
        {
            TTableStations store(m);
            auto at = Clock::now();
            ReadStationFile(file, store, true);
            f.ImportNew = MsSince(at);
            at = Clock::now();
            ReadStationFile(file, store, true);
            f.ImportFound = MsSince(at);
        }
        TTableStations source(m);
        const auto at = Clock::now();
        if (!WriteStationFile(file, source).Ok) std::fprintf(stderr, "engine export failed\n");
        f.Export = MsSince(at);
    }
    orq::StopEngine();
    std::filesystem::remove_all(dir.parent_path());
    return f;
}

TStationFigures StationsInSqlite(const TStations& Rows) {
    TStationFigures f;
    const std::filesystem::path dir = NewFolder("sqlite");
    sqlite3* db = nullptr;
    sqlite3_open((dir / "stations.sqlite").c_str(), &db);
    Exec(db, "PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL;"
             "CREATE TABLE STATIONS (NAVAREA SMALLINT, FREQ REAL, IDLETTER CHAR(1), CALLSIGN VARCHAR(8),"
             " LOCATION VARCHAR(40), COUNTRYCODE VARCHAR(10), COUNTRY VARCHAR(25), LAT REAL, LON REAL,"
             " T1 VARCHAR(10), T2 VARCHAR(10), T3 VARCHAR(10), T4 VARCHAR(10), T5 VARCHAR(10), T6 VARCHAR(10),"
             " IDTEXT VARCHAR(300), UNIQUEID VARCHAR(300));"
             "CREATE INDEX IDX_NAVLOC ON STATIONS (NAVAREA, LOCATION)");
    {
        TStations rows = Rows;
        rows.Rewind();
        const std::string file = (dir / StationFileName).string();
        WriteStationFile(file, rows);
        TSqliteStations store(db);
        auto at = Clock::now();
        ReadStationFile(file, store, true);
        f.ImportNew = MsSince(at);
        at = Clock::now();
        ReadStationFile(file, store, true);
        f.ImportFound = MsSince(at);
        at = Clock::now();
        if (!WriteStationFile(file, store).Ok) std::fprintf(stderr, "sqlite export failed\n");
        f.Export = MsSince(at);
    }
    sqlite3_close(db);
    std::filesystem::remove_all(dir.parent_path());
    return f;
}

class TLogDay : public TMapReportSource {
public:
    explicit TLogDay(TDataModule1& M) : FM(M), FLog(*M.LogTable) {}
    bool NextRecord(std::string& Station, double& Lat, double& Lon) override {
        if (FStarted) FLog.Next();
        FStarted = true;
        if (FLog.Eof()) return false;
        Station = FLog.FieldByName("STATION")->AsString();
        FM.GetStationPosition(Station, Lat, Lon);
        return true;
    }

private:
    TDataModule1& FM;
    classlib::TDataSet& FLog;
    bool FStarted = false;
};

// The log of the map report: Days days of 500 messages from 100 stations (the station
// of message i is C<i * 7 % 100>), and the 100 stations, written through plain tables,
// 5,000 records a commit.
const classlib::TDateTime FirstDay = classlib::EncodeDate(2024, 6, 20);
std::string MapStation(int I) {
    const int st = (I * 7) % 100;
    std::string station = "C";  // appended: GCC 12 misreads "C" + text
    station += std::to_string(st);
    station += " PLACE ";
    station += std::to_string(st);
    station += ",CC";
    return station;
}
double MapLat(int I) { return -60 + (I * 37) % 130 + 0.5; }
double MapLon(int I) { return -170 + (I * 53) % 340 + 0.5; }

void WriteMapLog(TDataModule1& M, int Days) {
    orq::TORQTable s(nullptr), l(nullptr);
    for (orq::TORQTable* t : {&s, &l}) t->SetDatabaseName("NAVTEX");
    s.SetTableName("STATIONS");
    l.SetTableName("NAVTEXLOG");
    s.Open();
    l.Open();
    M.ORQDB->StartTransaction();
    for (int i = 0; i < 100; ++i) {
        s.Append();
        s.FieldByName("NAVAREA")->SetAsInteger(1 + i % 21);
        s.FieldByName("FREQ")->SetAsFloat(518);
        s.FieldByName("IDLETTER")->SetAsString(std::string(1, char('A' + i % 26)));
        std::string call = "C", place = "PLACE ";
        call += std::to_string(i);
        place += std::to_string(i);
        s.FieldByName("CALLSIGN")->SetAsString(call);
        s.FieldByName("LOCATION")->SetAsString(place);
        s.FieldByName("COUNTRYCODE")->SetAsString("CC");
        s.FieldByName("LAT")->SetAsFloat(MapLat(i));
        s.FieldByName("LON")->SetAsFloat(MapLon(i));
        s.Post();
    }
    M.ORQDB->Commit(true);
    const int n = Days * 500;
    for (int k = 0; k < n; ++k) {
        if (k % 5000 == 0) M.ORQDB->StartTransaction();
        l.Append();
        l.FieldByName("UTCRECEIVED")->SetAsDateTime(FirstDay + k / 500 + (k % 500) / 500.0);
        l.FieldByName("FREQ")->SetAsInteger(518);
        l.FieldByName("IDLETTER")->SetAsString("A");
        l.FieldByName("NAVAREA")->SetAsInteger(1);
        l.FieldByName("STATION")->SetAsString(MapStation(k % 500));
        l.FieldByName("MSGTEXT")->SetAsString("ZCZC AA00\r\nGALE WARNING\r\nNNNN");
        l.Post();
        if (k % 5000 == 4999 || k == n - 1) M.ORQDB->Commit(true);
    }
}

// The same rows in SQLite, the log keyed by its time, the stations by call sign.
void WriteSqliteMapLog(const std::filesystem::path& File, int Days) {
    sqlite3* db = nullptr;
    sqlite3_open(File.c_str(), &db);
    Exec(db, "PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL;"
             "CREATE TABLE STATIONS (CALLSIGN VARCHAR(8) PRIMARY KEY COLLATE NOCASE, LAT REAL, LON REAL);"
             "CREATE TABLE NAVTEXLOG (UTCRECEIVED REAL PRIMARY KEY, FREQ INTEGER, IDLETTER TEXT, NAVAREA INTEGER,"
             " STATION TEXT, MSGTEXT TEXT); BEGIN");
    sqlite3_stmt* q = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO STATIONS VALUES (?,?,?)", -1, &q, nullptr);
    for (int i = 0; i < 100; ++i) {
        const std::string call = "C" + std::to_string(i);
        sqlite3_bind_text(q, 1, call.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_double(q, 2, MapLat(i));
        sqlite3_bind_double(q, 3, MapLon(i));
        sqlite3_step(q);
        sqlite3_reset(q);
    }
    sqlite3_finalize(q);
    sqlite3_prepare_v2(db, "INSERT INTO NAVTEXLOG VALUES (?,518,'A',1,?,'ZCZC AA00\r\nGALE WARNING\r\nNNNN')", -1,
                       &q, nullptr);
    for (int k = 0; k < Days * 500; ++k) {
        const std::string station = MapStation(k % 500);
        sqlite3_bind_double(q, 1, FirstDay + k / 500 + (k % 500) / 500.0);
        sqlite3_bind_text(q, 2, station.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_step(q);
        sqlite3_reset(q);
    }
    sqlite3_finalize(q);
    Exec(db, "COMMIT");
    sqlite3_close(db);
}

// The folder of the map report's log of Days days: the large one written once and kept
// in TILO_BENCH_CACHE (or /tmp/tilo_bench_cache), the small one each run.
std::filesystem::path MapLogFolder(int Days, const std::filesystem::path& Scratch) {
    const char* root = std::getenv("TILO_BENCH_CACHE");
    const bool kept = Days * 500 >= 100000;
    const std::filesystem::path dir =
        kept ? std::filesystem::path(root && *root ? root : "/tmp/tilo_bench_cache") /
                   ("maplog_" + std::to_string(Days * 500))
             : Scratch / "maplog";
    if (std::filesystem::exists(dir / "done")) return dir;
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    const std::filesystem::path build = Scratch / "build";
    std::filesystem::create_directories(build);
    if (::chdir(build.c_str()) != 0) std::abort();
    {
        TDataModule1 m;
        m.ProcessMessages = [] {};
        WriteMapLog(m, Days);
    }
    for (const char* name : {"TILO_DB.ORQ", "LEX.ORQ"}) std::filesystem::copy_file(name, dir / name);
    WriteSqliteMapLog(dir / "log.sqlite", Days);
    std::ofstream(dir / "done") << Days;
    return dir;
}

struct TMapFigures {
    double Engine = 0, Sqlite = 0;
    std::size_t Points = 0, SqliteRows = 0;
};

// The report of the middle day of 500 messages from 100 stations, in a log of Days such
// days, drawn into the map window; SQLite reads the same day's rows and each row's
// station position by its call sign.
TMapFigures MapReportFromLog(int Days) {
    App();
    const std::filesystem::path scratch = NewFolder("engine");
    orq::StartEngine();
    TDataModule1::DefaultDataFolder = (scratch / "none").string();
    const std::filesystem::path source = MapLogFolder(Days, scratch);
    const std::filesystem::path dir = scratch / "run";
    std::filesystem::create_directories(dir);
    for (const char* name : {"TILO_DB.ORQ", "LEX.ORQ", "log.sqlite"}) std::filesystem::copy_file(source / name, dir / name);
    if (::chdir(dir.c_str()) != 0) std::abort();
    TMapFigures f;
    const classlib::TDateTime day = FirstDay + Days / 2;
    const int runs = 5;
    {
        TDataModule1 m;
        m.ProcessMessages = [] {};
        m.LogTable->Open();
        m.StationTable->Open();
        classlib::TDataSet& l = *m.LogTable;
        const std::shared_ptr<IAtlas> atlas = TMapWindow::CreateAtlas();
        TMapWindow* w = TMapWindow::WindowOf(atlas);
        w->resize(1080, 540);
        const auto at = Clock::now();
        for (int r = 0; r < runs; ++r) {
            l.DisableControls();
            m.SetLogFilterPeriod(day, day + 0.9999999);
            l.First();
            TLogDay source(m);
            TMapReportHooks hooks;
            hooks.Closing = [&] {
                l.EnableControls();
                l.SetFiltered(false);
                l.Last();
            };
            AtlasReport(atlas.get(), day, 51, 2, source, hooks);
            benchmark::DoNotOptimize(w->grab().toImage().constBits());
        }
        f.Engine = MsSince(at) / runs;
        f.Points = w->Layers().at(4).Points.size();
    }
    orq::StopEngine();
    {
        sqlite3* db = nullptr;
        sqlite3_open((dir / "log.sqlite").c_str(), &db);
        sqlite3_stmt *rows = nullptr, *position = nullptr;
        sqlite3_prepare_v2(db, "SELECT STATION FROM NAVTEXLOG WHERE UTCRECEIVED >= ? AND UTCRECEIVED <= ?", -1, &rows,
                           nullptr);
        sqlite3_prepare_v2(db, "SELECT LAT, LON FROM STATIONS WHERE CALLSIGN = ?", -1, &position, nullptr);
        const auto at = Clock::now();
        double sum = 0;
        for (int r = 0; r < runs; ++r) {
            f.SqliteRows = 0;
            sqlite3_bind_double(rows, 1, day);
            sqlite3_bind_double(rows, 2, day + 0.9999999);
            while (sqlite3_step(rows) == SQLITE_ROW) {
                const std::string station = Column(rows, 0);
                const std::string call = station.substr(0, station.find(' '));
                sqlite3_bind_text(position, 1, call.c_str(), -1, SQLITE_TRANSIENT);
                if (sqlite3_step(position) == SQLITE_ROW)
                    sum += sqlite3_column_double(position, 0) + sqlite3_column_double(position, 1);
                sqlite3_reset(position);
                ++f.SqliteRows;
            }
            sqlite3_reset(rows);
        }
        f.Sqlite = MsSince(at) / runs;
        benchmark::DoNotOptimize(sum);
        sqlite3_finalize(rows);
        sqlite3_finalize(position);
        sqlite3_close(db);
    }
    std::filesystem::remove_all(scratch.parent_path());
    return f;
}

void StationDatabases(benchmark::State& State) {
    TLexiconFigures lex[2];
    TStationFigures engine, sqlite;
    TMapFigures map[2];
    const int mapDays[2] = {3, 2000};
    App();
    char cwd[4096];
    if (::getcwd(cwd, sizeof cwd) == nullptr) std::abort();
    for (auto _ : State) {
        lex[0] = LexiconOnDisk(10000);
        lex[1] = LexiconOnDisk(100000);
        const TStations rows = Stations(1000);
        engine = StationsInEngine(rows);
        sqlite = StationsInSqlite(rows);
        for (int i = 0; i < 2; ++i) map[i] = MapReportFromLog(mapDays[i]);
    }
    if (::chdir(cwd) != 0) std::abort();
    std::printf("\n%-40s %10s %10s %8s %10s\n", "ms (audio block 92.9 ms)", "engine", "SQLite", "ratio", "of block");
    const char* sizes[] = {"10,000", "100,000"};
    for (int i = 0; i < 2; ++i) {
        std::printf("  look-up, %-7s words, table scan  %10.3f %10.3f %8.2f %9.1f%%\n", sizes[i], lex[i].Scan,
                    lex[i].Sqlite, lex[i].Scan / lex[i].Sqlite, 100 * lex[i].Scan / BlockMs);
        std::printf("  look-up, %-7s words, in memory   %10.4f %10.3f %8.4f %9.2f%%   (first read %.1f ms)\n",
                    sizes[i], lex[i].Memory, lex[i].Sqlite, lex[i].Memory / lex[i].Sqlite,
                    100 * lex[i].Memory / BlockMs, lex[i].Read);
        State.counters[std::string("scan_") + sizes[i] + "_ms"] = lex[i].Scan;
        State.counters[std::string("memory_") + sizes[i] + "_ms"] = lex[i].Memory;
        State.counters[std::string("sqlite_") + sizes[i] + "_ms"] = lex[i].Sqlite;
    }
    std::printf("  export of 1,000 stations              %10.1f %10.1f %8.2f\n", engine.Export, sqlite.Export,
                engine.Export / sqlite.Export);
    std::printf("  import of 1,000 new stations          %10.1f %10.1f %8.2f\n", engine.ImportNew, sqlite.ImportNew,
                engine.ImportNew / sqlite.ImportNew);
    std::printf("  import of 1,000 existing stations     %10.1f %10.1f %8.2f\n", engine.ImportFound,
                sqlite.ImportFound, engine.ImportFound / sqlite.ImportFound);
    for (int i = 0; i < 2; ++i) {
        std::printf("  map report, 500 messages of %7d      %10.1f %10.2f %8.1f %9.1f%%   (%zu points, %zu rows)\n",
                    mapDays[i] * 500, map[i].Engine, map[i].Sqlite, map[i].Engine / map[i].Sqlite,
                    100 * map[i].Engine / BlockMs, map[i].Points, map[i].SqliteRows);
        State.counters["map_report_" + std::to_string(mapDays[i] * 500) + "_ms"] = map[i].Engine;
    }
    std::printf("\n");
    State.counters["export_ms"] = engine.Export;
    State.counters["import_new_ms"] = engine.ImportNew;
}
BENCHMARK(StationDatabases)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
