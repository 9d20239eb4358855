// The message store end to end on disk, beside SQLite in the same run: AddLogRecord of
// one message (identified by letter, by unique keyword, or on the do-not-log list) into
// a 100,000-record log with 300 stations, commit barriers on, against one audio block
// (1024 samples at 11025 Hz, 92.9 ms); and DeleteIdentifiedBefore of 10,000 records.
// SQLite does the same work: a prepared SELECT of the letter's stations (or all, for the
// unique keywords), the same keyword test, one INSERT; journal DELETE, synchronous FULL.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "app/DataModule.h"
#include "app/UCommon.h"
#include "classlib/DB.h"
#include "engine/access/ORQMain.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int LogRecords = 100000;
constexpr int Stations = 300;
constexpr int Messages = 60;  // per kind
constexpr int Deleted = 10000;
constexpr double BlockMs = 1024.0 / 11025.0 * 1000.0;

double Ms(Clock::time_point T) { return std::chrono::duration<double, std::milli>(Clock::now() - T).count(); }
double Day(int Minute) { return 46000 + Minute / 1440.0; }

struct TStationRow {
    int NavArea, Freq;
    std::string Letter, Call, Location, Cc, IdText, UniqueId;
    double Lat, Lon;
};
TStationRow StationRow(int I) {
    TStationRow s;
    s.NavArea = 1 + I % 21;
    s.Freq = I % 2 ? 490 : 518;
    s.Letter = std::string(1, char('A' + I % 26));
    s.Call = "C" + std::to_string(I);
    s.Location = "PLACE" + std::to_string(I);
    s.Cc = "CC";
    s.IdText = "PLACE" + std::to_string(I) + ",SEA" + std::to_string(I);
    s.UniqueId = "UNIQ" + std::to_string(I) + "X";
    s.Lat = (I % 170) - 85;
    s.Lon = (I * 7 % 360) - 180;
    return s;
}
// The three kinds of message: by letter (station 100's keyword, its letter), by unique
// keyword (station 201), excluded (station 150, on the list).
struct TMessage {
    char Letter;
    int Freq;
    std::string Text;
};
TMessage Message(int Kind) {
    const int st = Kind == 0 ? 100 : Kind == 1 ? 201 : 150;
    const TStationRow s = StationRow(st);
    const std::string key = Kind == 1 ? s.UniqueId : "SEA" + std::to_string(st);
    return {Kind == 1 ? 'Q' : s.Letter[0], s.Freq,
            "ZCZC " + s.Letter + "A01\r\nGALE WARNING NEAR " + key + "\r\nWINDS NW 8\r\nNNNN"};
}

std::filesystem::path Folder(const char* Name) {
    char tmpl[] = "/tmp/tilo_bench_dm_XXXXXX";
    const char* d = ::mkdtemp(tmpl);
    if (d == nullptr) std::abort();
    return std::filesystem::path(d) / Name;
}

struct TFigures {
    double Kind[3] = {0, 0, 0};
    double Delete = 0;
};

TFigures RunEngine() {
    const std::filesystem::path dir = Folder("engine");
    std::filesystem::create_directories(dir);
    if (::chdir(dir.c_str()) != 0) std::abort();
    orq::StartEngine();
    tilo::TDataModule1::DefaultDataFolder = dir.string();
    TFigures f;
    {
        tilo::TDataModule1 m;
        m.ProcessMessages = [] {};
        m.LogTable->Open();
        m.StationTable->Open();
        classlib::TDataSet& s = *m.StationTable;
        m.ORQDB->StartTransaction();
        for (int i = 0; i < Stations; ++i) {
            const TStationRow r = StationRow(i);
            s.Append();
            s.FieldByName("NAVAREA")->SetAsInteger(r.NavArea);
            s.FieldByName("FREQ")->SetAsFloat(r.Freq);
            s.FieldByName("IDLETTER")->SetAsString(r.Letter);
            s.FieldByName("CALLSIGN")->SetAsString(r.Call);
            s.FieldByName("LOCATION")->SetAsString(r.Location);
            s.FieldByName("COUNTRYCODE")->SetAsString(r.Cc);
            s.FieldByName("LAT")->SetAsFloat(r.Lat);
            s.FieldByName("LON")->SetAsFloat(r.Lon);
            s.FieldByName("IDTEXT")->SetAsString(r.IdText);
            s.FieldByName("UNIQUEID")->SetAsString(r.UniqueId);
            s.Post();
        }
        m.ORQDB->Commit(true);
        const TStationRow ex = StationRow(150);
        m.FExclusionList.Add(tilo::FormatStationLine(std::to_string(ex.Freq), std::to_string(ex.NavArea), ex.Letter,
                                                     ex.Call, ex.Location, ex.Cc));
        classlib::TDataSet& l = *m.LogTable;
        m.DsLog->OnUpdateData = nullptr;
        for (int i = 0; i < LogRecords; ++i) {
            if (i % 5000 == 0) m.ORQDB->StartTransaction();
            l.Append();
            l.FieldByName("UTCRECEIVED")->SetAsDateTime(Day(i));
            l.FieldByName("FREQ")->SetAsInteger(518);
            l.FieldByName("IDLETTER")->SetAsString("A");
            l.FieldByName("NAVAREA")->SetAsInteger(1);
            l.FieldByName("STATION")->SetAsString(i < Deleted ? "C0 PLACE0,CC" : "UNID");
            l.FieldByName("MSGTEXT")->SetAsString("ZCZC AA00\r\nGALE WARNING " + std::to_string(i) + "\r\nNNNN");
            l.FieldByName("DIST")->SetAsInteger(i % 3000);
            l.Post();
            if (i % 5000 == 4999) m.ORQDB->Commit(true);
        }
        m.DsLog->OnUpdateData = [&m](classlib::TPersistent* S) { m.DsLogUpdateData(S); };
        l.Last();
        int minute = LogRecords + 10;
        for (int kind = 0; kind < 3; ++kind) {
            const TMessage msg = Message(kind);
            const auto t = Clock::now();
            for (int i = 0; i < Messages; ++i) m.AddLogRecord(msg.Letter, "A", Day(minute++), "01", msg.Text, msg.Freq, 50);
            f.Kind[kind] = Ms(t) / Messages;
        }
        const auto t = Clock::now();
        const int n = m.DeleteIdentifiedBefore(Day(Deleted));
        f.Delete = Ms(t);
        if (n != Deleted) std::fprintf(stderr, "engine deleted %d\n", n);
    }
    orq::StopEngine();
    std::filesystem::remove_all(dir.parent_path());
    return f;
}

void Exec(sqlite3* Db, const char* Sql) {
    char* error = nullptr;
    if (sqlite3_exec(Db, Sql, nullptr, nullptr, &error) != SQLITE_OK) {
        std::fprintf(stderr, "%s\n", error);
        std::abort();
    }
}

TFigures RunSqlite() {
    const std::filesystem::path dir = Folder("sqlite");
    std::filesystem::create_directories(dir);
    sqlite3* db = nullptr;
    sqlite3_open((dir / "log.sqlite").c_str(), &db);
    Exec(db, "PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL");
    Exec(db, "CREATE TABLE NAVTEXLOG (UTCRECEIVED REAL PRIMARY KEY, FREQ INTEGER, SIGQUAL REAL, IDLETTER VARCHAR(1),"
             " MSGTYPE VARCHAR(1), MSGNUMBER VARCHAR(4), NAVAREA SMALLINT, STATION VARCHAR(75), MSGTEXT TEXT,"
             " DIST INTEGER);"
             "CREATE TABLE STATIONS (NAVAREA SMALLINT, FREQ REAL, IDLETTER CHAR(1), CALLSIGN VARCHAR(8),"
             " LOCATION VARCHAR(40), COUNTRYCODE VARCHAR(10), LAT REAL, LON REAL, IDTEXT VARCHAR(300),"
             " UNIQUEID VARCHAR(300));"
             "CREATE INDEX IDX_NAVLOC ON STATIONS (NAVAREA, LOCATION)");
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO STATIONS VALUES (?,?,?,?,?,?,?,?,?,?)", -1, &st, nullptr);
    Exec(db, "BEGIN");
    for (int i = 0; i < Stations; ++i) {
        const TStationRow r = StationRow(i);
        sqlite3_bind_int(st, 1, r.NavArea);
        sqlite3_bind_double(st, 2, r.Freq);
        sqlite3_bind_text(st, 3, r.Letter.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 4, r.Call.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 5, r.Location.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 6, r.Cc.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_double(st, 7, r.Lat);
        sqlite3_bind_double(st, 8, r.Lon);
        sqlite3_bind_text(st, 9, r.IdText.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 10, r.UniqueId.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_step(st);
        sqlite3_reset(st);
    }
    Exec(db, "COMMIT");
    sqlite3_finalize(st);
    sqlite3_stmt* ins = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO NAVTEXLOG VALUES (?,?,?,?,?,?,?,?,?,?)", -1, &ins, nullptr);
    auto insert = [&](double T, int Freq, const std::string& L, int Area, const std::string& S, const std::string& X,
                      int D) {
        sqlite3_bind_double(ins, 1, T);
        sqlite3_bind_int(ins, 2, Freq);
        sqlite3_bind_double(ins, 3, 50);
        sqlite3_bind_text(ins, 4, L.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(ins, 5, "A", -1, SQLITE_STATIC);
        sqlite3_bind_text(ins, 6, "01", -1, SQLITE_STATIC);
        sqlite3_bind_int(ins, 7, Area);
        sqlite3_bind_text(ins, 8, S.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(ins, 9, X.c_str(), static_cast<int>(X.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int(ins, 10, D);
        if (sqlite3_step(ins) != SQLITE_DONE) std::abort();
        sqlite3_reset(ins);
    };
    for (int i = 0; i < LogRecords; ++i) {
        if (i % 5000 == 0) Exec(db, "BEGIN");
        insert(Day(i), 518, "A", 1, i < Deleted ? "C0 PLACE0,CC" : "UNID",
               "ZCZC AA00\r\nGALE WARNING " + std::to_string(i) + "\r\nNNNN", i % 3000);
        if (i % 5000 == 4999) Exec(db, "COMMIT");
    }
    const TStationRow ex = StationRow(150);
    const std::string exclusion = tilo::FormatStationLine(std::to_string(ex.Freq), std::to_string(ex.NavArea),
                                                          ex.Letter, ex.Call, ex.Location, ex.Cc) + "\r\n";
    sqlite3_stmt* byLetter = nullptr;
    sqlite3_prepare_v2(db, "SELECT NAVAREA, FREQ, IDLETTER, CALLSIGN, LOCATION, COUNTRYCODE, LAT, LON, IDTEXT FROM "
                           "STATIONS WHERE IDLETTER = ? ORDER BY NAVAREA, LOCATION", -1, &byLetter, nullptr);
    sqlite3_stmt* all = nullptr;
    sqlite3_prepare_v2(db, "SELECT NAVAREA, FREQ, IDLETTER, CALLSIGN, LOCATION, COUNTRYCODE, LAT, LON, UNIQUEID FROM "
                           "STATIONS ORDER BY NAVAREA, LOCATION", -1, &all, nullptr);
    auto text = [](sqlite3_stmt* Q, int C) {
        const unsigned char* p = sqlite3_column_text(Q, C);
        return p ? std::string(reinterpret_cast<const char*>(p)) : std::string();
    };
    TFigures f;
    int minute = LogRecords + 10;
    for (int kind = 0; kind < 3; ++kind) {
        const TMessage msg = Message(kind);
        const auto t = Clock::now();
        for (int i = 0; i < Messages; ++i) {
            sqlite3_stmt* q = all;
            if (kind != 1) {
                q = byLetter;
                sqlite3_bind_text(q, 1, std::string(1, msg.Letter).c_str(), -1, SQLITE_TRANSIENT);
            }
            std::string station = "UNID", letter(1, msg.Letter);
            int area = 0, dist = 0;
            while (sqlite3_step(q) == SQLITE_ROW) {
                if (static_cast<int>(sqlite3_column_double(q, 1)) != msg.Freq ||
                    !tilo::TDataModule1::KeywordsInText(text(q, 8), msg.Text))
                    continue;
                area = sqlite3_column_int(q, 0);
                letter = text(q, 2);
                station = text(q, 3) + " " + text(q, 4) + "," + text(q, 5);
                dist = tilo::GreatCircleDistance(0, 0, tilo::DegToRad(sqlite3_column_double(q, 6)),
                                                 tilo::DegToRad(sqlite3_column_double(q, 7)));
                break;
            }
            sqlite3_reset(q);
            const std::string line = std::to_string(msg.Freq) + " " + std::to_string(area) + letter + " " + station;
            if (exclusion.find(line) != std::string::npos) continue;
            insert(Day(minute++), msg.Freq, letter, area, station, msg.Text, dist);
        }
        f.Kind[kind] = Ms(t) / Messages;
    }
    sqlite3_finalize(byLetter);
    sqlite3_finalize(all);
    sqlite3_finalize(ins);
    sqlite3_stmt* del = nullptr;
    sqlite3_prepare_v2(db, "DELETE FROM NAVTEXLOG WHERE UTCRECEIVED < ? AND STATION <> 'UNID'", -1, &del, nullptr);
    sqlite3_bind_double(del, 1, Day(Deleted));
    const auto t = Clock::now();
    sqlite3_step(del);
    f.Delete = Ms(t);
    if (sqlite3_changes(db) != Deleted) std::fprintf(stderr, "sqlite deleted %d\n", sqlite3_changes(db));
    sqlite3_finalize(del);
    sqlite3_close(db);
    std::filesystem::remove_all(dir.parent_path());
    return f;
}

void DataModuleStore(benchmark::State& State) {
    TFigures e, s;
    for (auto _ : State) {
        e = RunEngine();
        s = RunSqlite();
    }
    const char* names[] = {"letter", "unique", "excluded"};
    std::printf("\n%-28s %12s %12s %8s %12s\n", "AddLogRecord, ms/message", "engine", "SQLite", "ratio",
                "of 92.9 ms");
    for (int k = 0; k < 3; ++k) {
        std::printf("  %-26s %12.3f %12.3f %8.2f %11.2f%%\n", names[k], e.Kind[k], s.Kind[k], e.Kind[k] / s.Kind[k],
                    100 * e.Kind[k] / BlockMs);
        State.counters[std::string("engine_") + names[k] + "_ms"] = e.Kind[k];
        State.counters[std::string("sqlite_") + names[k] + "_ms"] = s.Kind[k];
    }
    std::printf("%-28s %12.1f %12.1f %8.2f\n\n", "DeleteIdentifiedBefore 10k, ms", e.Delete, s.Delete,
                e.Delete / s.Delete);
    State.counters["engine_delete_ms"] = e.Delete;
    State.counters["sqlite_delete_ms"] = s.Delete;
}
BENCHMARK(DataModuleStore)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
