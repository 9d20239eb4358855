// The message log's pages on disk, beside SQLite in the same run, over logs of 100,000
// and 1,000,000 records (the engine's log built once and kept, see CachedLog): the
// "Messages" page's first paint (the log opened, on its last record, the grid painted),
// the first store after opening, Ctrl+End from the top, PageDown (the mean of ten from
// the top), each filter of the page (frequency, NAVAREA, letter, all three) with its
// count, a text search with its count, a clean-up of a tenth (the oldest identified
// records) in one transaction followed by compaction, with the longest gap between the
// event loop's turns in each, and a daily and a monthly plot of one station over a
// year; then the peak memory. The first open of a log written before the data module
// kept its filter indexes adds them: that open is timed once, when the kept log is
// brought up to date. Each runs through the real main window and
// data module, as the operator's click does. A second benchmark deletes every UNID of
// smaller logs (a tenth, spread over the file) through the data module.
//
// SQLite does the same reads and writes on the same records in a file database (journal
// DELETE, synchronous FULL, as the engine's commit barriers): the grid's window of rows
// by the primary key (with count(*) for the first paint, as the grid's scroll bar needs
// it), count(*) and the window under the same WHERE, instr(MSGTEXT, ?), DELETE in a
// transaction and VACUUM, GROUP BY day and by month; it has the same indexes as the
// engine's log (each filtered field with the reception time). The grid's figures are
// read against one audio block (1024 samples at 11025 Hz, 92.9 ms).
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QTabWidget>
#include <QElapsedTimer>
#include <QTimer>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "app/Controls.h"
#include "app/DBCtrls.h"
#include "app/DBGrids.h"
#include "app/DataModule.h"
#include "app/Prompts.h"
#include "app/QtUserInterface.h"
#include "app/U_Main.h"
#include "app/UCommon.h"
#include "bench/AppBench.h"
#include "classlib/DB.h"
#include "classlib/DateUtils.h"
#include "engine/access/ORQMain.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr double BlockMs = 1024.0 / 11025.0 * 1000.0;
constexpr int PageDowns = 10;

double Ms(Clock::time_point T) { return std::chrono::duration<double, std::milli>(Clock::now() - T).count(); }

// The log: two years from 2024-01-01, evenly spaced; letters, NAVAREAs and both
// frequencies in turn; every tenth record UNID; one in 500 bodies with "ICEBERG". The
// plotted station (NAVAREA 1, A, 518) holds one record in 546.
const classlib::TDateTime Base = classlib::EncodeDate(2024, 1, 1);
struct TRow {
    double Utc;
    int Freq, SigQual, NavArea, Dist;
    std::string Letter, Type, Number, Station, Text;
};
TRow Row(int I, int N) {
    TRow r;
    r.Utc = Base + std::floor(I * (730.0 * 86400 / N)) / 86400;
    r.Freq = I % 2 ? 490 : 518;
    r.SigQual = I % 101;
    r.Letter = std::string(1, char('A' + I % 26));
    r.Type = std::string(1, "ABDE"[I % 4]);
    r.Number = std::to_string(10 + I % 90);
    const bool unid = I % 10 == 0;
    r.NavArea = unid ? 0 : 1 + I % 21;
    r.Station = unid ? "UNID" : "GBR12 NITON,G";
    r.Dist = unid ? 0 : I % 3000;
    r.Text = "ZCZC " + r.Letter + r.Type + r.Number + "\r\n" + std::to_string(I) +
             " UTC\r\nGALE WARNING DOVER THAMES WIGHT\r\nSOUTHWEST 6 TO GALE 8, OCCASIONALLY SEVERE GALE 9 LATER" +
             (I % 500 ? "" : "\r\nICEBERG REPORTED") + "\r\nNNNN";
    return r;
}
// The period of the daily plot: a year in the middle of the log.
const classlib::TDateTime PlotFrom = classlib::EncodeDate(2024, 6, 1);
const classlib::TDateTime PlotTo = classlib::EncodeDate(2025, 5, 31);
// The clean-up's limit: the first record after the oldest N / 10 identified ones.
int CleanupLimit(int N) {
    int l = 0;
    for (int identified = 0; identified < N / 10; ++l)
        if (l % 10 != 0) ++identified;
    return l;
}

// The page's filters: the frequency button, the NAVAREA box, the letter; SQLite's WHERE.
struct TFilterCase {
    const char* Name;
    int FreqItem;
    const char* NavArea;
    const char* Letter;
    const char* Where;
};
constexpr TFilterCase FilterCases[] = {
    {"frequency filter and count", 1, "*", "*", "FREQ = 518"},
    {"NAVAREA filter and count", 0, "5", "*", "NAVAREA = 5"},
    {"letter filter and count", 0, "*", "Q", "IDLETTER = 'Q'"},
    {"all three filters and count", 1, "5", "Q", "FREQ = 518 AND NAVAREA = 5 AND IDLETTER = 'Q'"},
};
constexpr int FilterCount = sizeof FilterCases / sizeof FilterCases[0];

struct TFigures {
    double FirstPaint = 0, CtrlEnd = 0, PageDown = 0, Search = 0, Delete = 0, Compact = -1, Plot = 0, MonthPlot = 0;
    double Filter[FilterCount] = {};
    long long FilterRows[FilterCount] = {};
    // The open that added the filter indexes to the kept log (-1: it was written with them).
    double IndexingOpen = -1;
    long long MonthEntries = 0;
    // The first message stored after the log opened; the longest gaps between the event
    // loop's turns while the clean-up deleted and while it compacted; peak memory.
    double FirstStore = -1, DeleteStall = -1, CompactStall = -1, PeakMb = -1;
    long long SearchCount = 0, Deleted = 0, PlotEntries = 0, SizeBefore = 0, SizeAfter = 0;
    int Window = 0;
};

long long FileSize(const std::string& Name) {
    struct stat st {};
    return ::stat(Name.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

std::filesystem::path Folder(const char* Name) {
    char tmpl[] = "/tmp/tilo_bench_ml_XXXXXX";
    const char* d = ::mkdtemp(tmpl);
    if (d == nullptr) std::abort();
    const std::filesystem::path p = std::filesystem::path(d) / Name;
    std::filesystem::create_directories(p);
    return p;
}

void Key(QWidget* Target, int Code, Qt::KeyboardModifiers Modifiers = Qt::NoModifier) {
    QKeyEvent press(QEvent::KeyPress, Code, Modifiers);
    QKeyEvent release(QEvent::KeyRelease, Code, Modifiers);
    QApplication::sendEvent(Target, &press);
    QApplication::sendEvent(Target, &release);
    QCoreApplication::processEvents();
}

long long LabelCount(const QLabel& Label) {
    const std::string t = Label.text().toStdString();
    return std::atoll(t.substr(t.find(':') + 1).c_str());
}

// Every question answered Yes, every box dropped.
struct TYesPrompts : tilo::TPrompts {
    tilo::TModalResult MessageDlg(const std::string&, tilo::TMsgDlgType, tilo::TMsgDlgButtons) override {
        return tilo::mrYes;
    }
    void ShowMessage(const std::string&) override {}
    bool InputQuery(const std::string&, const std::string&, std::string&) override { return false; }
};

template <typename TDatabase>
constexpr bool EngineCompacts = requires(TDatabase& D) { D.CompactDatabase(); };

// The log written through a table of its own (no identification), 5,000 records a
// commit.
void WriteEngineLog(tilo::TDataModule1& M, int N) {
    orq::TORQTable t(nullptr);
    t.SetDatabaseName("NAVTEX");
    t.SetTableName("NAVTEXLOG");
    t.Open();
    for (int i = 0; i < N; ++i) {
        if (i % 5000 == 0) M.ORQDB->StartTransaction();
        const TRow r = Row(i, N);
        t.Append();
        t.FieldByName("UTCRECEIVED")->SetAsDateTime(r.Utc);
        t.FieldByName("FREQ")->SetAsInteger(r.Freq);
        t.FieldByName("SIGQUAL")->SetAsFloat(r.SigQual);
        t.FieldByName("IDLETTER")->SetAsString(r.Letter);
        t.FieldByName("MSGTYPE")->SetAsString(r.Type);
        t.FieldByName("MSGNUMBER")->SetAsString(r.Number);
        t.FieldByName("NAVAREA")->SetAsInteger(r.NavArea);
        t.FieldByName("STATION")->SetAsString(r.Station);
        t.FieldByName("MSGTEXT")->SetAsString(r.Text);
        t.FieldByName("DIST")->SetAsInteger(r.Dist);
        t.Post();
        if (i % 5000 == 4999 || i == N - 1) M.ORQDB->Commit(true);
    }
    t.Close();
}

// A fresh folder for the engine's files, the current one while it lives.
struct TEngineFolder {
    std::filesystem::path Dir;
    TEngineFolder() : Dir(Folder("engine")) {
        BenchApp("bench_messagelog");
        if (::chdir(Dir.c_str()) != 0) std::abort();
        ::setenv("TILO_HOME", Dir.c_str(), 1);
        orq::StartEngine();
        tilo::TDataModule1::DefaultDataFolder = (Dir / "no-default-data").string();
        tilo::RxLat = 50;
        tilo::RxLon = 0;
    }
    ~TEngineFolder() {
        tilo::TDataModule1::DefaultDataFolder.clear();
        orq::StopEngine();
        ::unsetenv("TILO_HOME");
        if (::chdir("/") != 0) std::abort();
        std::filesystem::remove_all(Dir.parent_path());
    }
};

// The log's database files of N records, built once and kept between runs in
// TILO_BENCH_CACHE (or /tmp/tilo_bench_cache): a 1,000,000-record log takes minutes to
// write. Each run works on a copy.
std::filesystem::path CachedLog(int N, double* IndexingOpen = nullptr) {
    const char* root = std::getenv("TILO_BENCH_CACHE");
    const std::filesystem::path dir = std::filesystem::path(root && *root ? root : "/tmp/tilo_bench_cache") /
                                      ("messagelog_" + std::to_string(N));
    if (std::filesystem::exists(dir / "done")) {
        if (!std::filesystem::exists(dir / "indexed")) {
            // A log kept from before the filter indexes: the data module's open adds them.
            for (const char* name : {"TILO_DB.ORQ", "LEX.ORQ"}) std::filesystem::copy_file(dir / name, name);
            const auto t = Clock::now();
            std::make_unique<tilo::TDataModule1>().reset();
            const double ms = Ms(t);
            std::filesystem::copy_file("TILO_DB.ORQ", dir / "TILO_DB.ORQ.new");
            std::filesystem::rename(dir / "TILO_DB.ORQ.new", dir / "TILO_DB.ORQ");
            for (const char* name : {"TILO_DB.ORQ", "LEX.ORQ"}) std::filesystem::remove(name);
            std::ofstream(dir / "indexed") << ms;
        }
        if (IndexingOpen) std::ifstream(dir / "indexed") >> *IndexingOpen;
        return dir;
    }
    std::filesystem::remove_all(dir);
    {
        auto module = std::make_unique<tilo::TDataModule1>();
        tilo::TDataModule1& m = *module;
        WriteEngineLog(m, N);
        m.StationTable->Open();
        classlib::TDataSet& s = *m.StationTable;
        s.Append();
        s.FieldByName("NAVAREA")->SetAsInteger(1);
        s.FieldByName("FREQ")->SetAsFloat(518);
        s.FieldByName("IDLETTER")->SetAsString("A");
        s.FieldByName("CALLSIGN")->SetAsString("GBR12");
        s.FieldByName("LOCATION")->SetAsString("NITON");
        s.FieldByName("COUNTRYCODE")->SetAsString("G");
        s.FieldByName("LAT")->SetAsFloat(50.58);
        s.FieldByName("LON")->SetAsFloat(-1.3);
        s.Post();
    }
    std::filesystem::create_directories(dir);
    for (const char* name : {"TILO_DB.ORQ", "LEX.ORQ"}) std::filesystem::copy_file(name, dir / name);
    for (const char* name : {"TILO_DB.ORQ", "LEX.ORQ"}) std::filesystem::remove(name);
    std::ofstream(dir / "indexed") << -1;
    std::ofstream(dir / "done") << N;
    return dir;
}

double PeakMb() {
    rusage u {};
    ::getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss / 1024.0;
}

// The longest gap between the event loop's turns: Longest[1] of the gaps that held no
// compaction, Longest[2] of those that held some of it (Compacting, set by the caller
// while it compacts, and Touched, set when it starts or ends).
struct TStallMeter {
    bool Compacting = false;
    bool Touched = false;
    qint64 Longest[3] = {0, 0, 0};
    QElapsedTimer Since;
    QTimer Turn;
    TStallMeter() {
        Turn.setInterval(0);
        QObject::connect(&Turn, &QTimer::timeout, [this] {
            const qint64 gap = Since.restart();
            const int p = Touched || Compacting ? 2 : 1;
            Longest[p] = std::max(Longest[p], gap);
            Touched = false;
        });
        Since.start();
        Turn.start();
    }
};

TFigures RunEngine(int N) {
    TEngineFolder folder;
    TFigures f;
    // The engine's dialogs as the program installs them: a compaction's progress steps
    // serve the event loop and show the wait window.
    tilo::TQtUserInterface ui;
    orq::TORQUserInterface* previousUi = orq::SetUserInterface(&ui);
    {
        const std::filesystem::path cache = CachedLog(N, &f.IndexingOpen);
        for (const char* name : {"TILO_DB.ORQ", "LEX.ORQ"}) std::filesystem::copy_file(cache / name, name);
        auto module = std::make_unique<tilo::TDataModule1>();
        tilo::TDataModule1& m = *module;

        auto w = std::make_unique<tilo::TfrmMain>();
        w->DataModule1 = &m;
        w->cbNav->clear();
        w->cbNav->addItems({"*", "UNID"});
        w->cbNavStat->clear();
        for (int n = 1; n <= 21; ++n) {
            w->cbNav->addItem(QString::number(n));
            w->cbNavStat->addItem(QString::number(n));
        }
        w->resize(1100, 1000);
        w->show();
        w->TimOpenDB->stop();
        w->PageControl1->setCurrentWidget(w->tsMessages);
        QCoreApplication::processEvents();
        tilo::TDBGrid& g = *w->DBLogGridView;

        auto t = Clock::now();
        m.LogTable->Open();
        m.LogTable->Last();
        g.SetDataSource(m.DsLog);
        w->DBMemo1->SetDataSource(m.DsLog);
        w->DBNavigator1->SetDataSource(m.DsLog);
        g.repaint();
        f.FirstPaint = Ms(t);
        f.Window = g.VisibleRows();
        g.setFocus();

        // A message as the decoder hands it over, the log's newest.
        t = Clock::now();
        m.AddLogRecord('A', "A", Base + 731, "01", "ZCZC AA01\r\nFIRST STORE\r\nNNNN", 518, 50);
        f.FirstStore = Ms(t);

        Key(&g, Qt::Key_Home, Qt::ControlModifier);
        t = Clock::now();
        Key(&g, Qt::Key_End, Qt::ControlModifier);
        g.repaint();
        f.CtrlEnd = Ms(t);
        if (m.LogTable->RecNo() != N + 1) std::fprintf(stderr, "Ctrl+End stands on %d\n", m.LogTable->RecNo());

        Key(&g, Qt::Key_Home, Qt::ControlModifier);
        t = Clock::now();
        for (int i = 0; i < PageDowns; ++i) {
            Key(&g, Qt::Key_PageDown);
            g.repaint();
        }
        f.PageDown = Ms(t) / PageDowns;

        for (int i = 0; i < FilterCount; ++i) {
            const TFilterCase& c = FilterCases[i];
            w->RgFreqDB->SetItemIndex(c.FreqItem);
            w->cbNav->setCurrentIndex(w->cbNav->findText(c.NavArea));
            w->edtID->setText(c.Letter);
            t = Clock::now();
            w->sbFilterClick();
            g.repaint();
            f.Filter[i] = Ms(t);
            f.FilterRows[i] = LabelCount(*w->lblRecCount);
        }
        w->sbClearClick();

        w->edtSrchtext->setText("ICEBERG");
        t = Clock::now();
        w->sbTextSearchClick();
        g.repaint();
        f.Search = Ms(t);
        f.SearchCount = LabelCount(*w->lblRecCount);
        w->sbClearClick();

        // The clean-up of every UNID; the compaction timed inside the handler.
        TYesPrompts yes;
        tilo::TPrompts* before = tilo::SetPrompts(&yes);
        w->rgCleanUp->SetItemIndex(0);
        {
            uint16_t y, mo, d, h, mi, sec, ms;
            const classlib::TDateTime limit = Row(CleanupLimit(N), N).Utc;
            classlib::DecodeDate(limit, y, mo, d);
            classlib::DecodeTime(limit, h, mi, sec, ms);
            w->DTPCleanup->setDateTime(QDateTime(QDate(y, mo, d), QTime(h, mi, sec)));
        }
        const bool compacts = EngineCompacts<orq::TORQDatabase>;
        w->cbCompact->setChecked(compacts);
        const auto compact = w->CompactLogDatabase;
        double compactMs = -1;
        std::unique_ptr<TStallMeter> meter;
        w->CompactLogDatabase = [&](orq::TORQDatabase& Db) {
            const auto c = Clock::now();
            meter->Compacting = meter->Touched = true;
            compact(Db);
            meter->Compacting = false;
            meter->Touched = true;
            compactMs = Ms(c);
        };
        f.SizeBefore = FileSize("TILO_DB.ORQ");
        const int32_t records = m.LogTable->RecordCount();
        t = Clock::now();
        {
            meter = std::make_unique<TStallMeter>();
            try {
                w->sbCleanupClick();
            } catch (const std::exception& e) {
                std::fprintf(stderr, "clean-up: %s\n", e.what());
            }
            // The turn that comes after the handler ends its last stretch.
            QCoreApplication::processEvents();
            f.DeleteStall = double(meter->Longest[1]);
            f.CompactStall = compacts ? double(meter->Longest[2]) : -1;
            meter.reset();
        }
        const double cleanup = Ms(t);
        tilo::SetPrompts(before);
        f.SizeAfter = FileSize("TILO_DB.ORQ");
        f.Deleted = records - m.LogTable->RecordCount();
        f.Compact = compactMs;
        f.Delete = compactMs >= 0 ? cleanup - compactMs : cleanup;

        w->cbNavStat->setCurrentIndex(0);
        w->cbFreq->setCurrentIndex(0);
        w->cbNavStatChange();
        auto q = [](classlib::TDateTime V) {
            uint16_t y, mo, d;
            classlib::DecodeDate(V, y, mo, d);
            return QDateTime(QDate(y, mo, d), QTime(0, 0));
        };
        w->DtpStart->setDateTime(q(PlotFrom));
        w->DtpEnd->setDateTime(q(PlotTo));
        w->rgDayMonth->SetItemIndex(0);
        t = Clock::now();
        w->sbPlotStatsClick();
        f.Plot = Ms(t);
        f.PlotEntries = static_cast<long long>(w->FStatistics.size());
        w->rgDayMonth->SetItemIndex(1);
        t = Clock::now();
        w->sbPlotStatsClick();
        f.MonthPlot = Ms(t);
        f.MonthEntries = static_cast<long long>(w->FStatistics.size());
        w.reset();
        module.reset();
    }
    orq::SetUserInterface(previousUi);
    f.PeakMb = PeakMb();
    return f;
}

void Exec(sqlite3* Db, const char* Sql) {
    char* error = nullptr;
    if (sqlite3_exec(Db, Sql, nullptr, nullptr, &error) != SQLITE_OK) {
        std::fprintf(stderr, "%s\n", error);
        std::abort();
    }
}

// Steps a statement to its end reading every column as the grid would; the rows.
int ReadRows(sqlite3_stmt* Q, double* LastKey = nullptr) {
    int rows = 0;
    std::size_t chars = 0;
    while (sqlite3_step(Q) == SQLITE_ROW) {
        for (int c = 0; c < sqlite3_column_count(Q); ++c) {
            const unsigned char* p = sqlite3_column_text(Q, c);
            if (p) chars += std::char_traits<char>::length(reinterpret_cast<const char*>(p));
        }
        if (LastKey) *LastKey = sqlite3_column_double(Q, 0);
        ++rows;
    }
    sqlite3_reset(Q);
    benchmark::DoNotOptimize(chars);
    return rows;
}

long long Count(sqlite3_stmt* Q) {
    long long n = sqlite3_step(Q) == SQLITE_ROW ? sqlite3_column_int64(Q, 0) : -1;
    sqlite3_reset(Q);
    return n;
}

sqlite3_stmt* Prepare(sqlite3* Db, const std::string& Sql) {
    sqlite3_stmt* q = nullptr;
    if (sqlite3_prepare_v2(Db, Sql.c_str(), -1, &q, nullptr) != SQLITE_OK) {
        std::fprintf(stderr, "%s: %s\n", Sql.c_str(), sqlite3_errmsg(Db));
        std::abort();
    }
    return q;
}

TFigures RunSqlite(int N, int Window) {
    const std::filesystem::path dir = Folder("sqlite");
    const std::string file = (dir / "log.sqlite").string();
    sqlite3* db = nullptr;
    sqlite3_open(file.c_str(), &db);
    Exec(db, "PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL");
    Exec(db, "CREATE TABLE NAVTEXLOG (UTCRECEIVED REAL PRIMARY KEY, FREQ INTEGER, SIGQUAL REAL, IDLETTER VARCHAR(1),"
             " MSGTYPE VARCHAR(1), MSGNUMBER VARCHAR(4), NAVAREA SMALLINT, STATION VARCHAR(75), MSGTEXT TEXT,"
             " DIST INTEGER)");
    sqlite3_stmt* ins = Prepare(db, "INSERT INTO NAVTEXLOG VALUES (?,?,?,?,?,?,?,?,?,?)");
    for (int i = 0; i < N; ++i) {
        if (i % 5000 == 0) Exec(db, "BEGIN");
        const TRow r = Row(i, N);
        sqlite3_bind_double(ins, 1, r.Utc);
        sqlite3_bind_int(ins, 2, r.Freq);
        sqlite3_bind_double(ins, 3, r.SigQual);
        sqlite3_bind_text(ins, 4, r.Letter.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(ins, 5, r.Type.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(ins, 6, r.Number.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(ins, 7, r.NavArea);
        sqlite3_bind_text(ins, 8, r.Station.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(ins, 9, r.Text.c_str(), static_cast<int>(r.Text.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int(ins, 10, r.Dist);
        if (sqlite3_step(ins) != SQLITE_DONE) std::abort();
        sqlite3_reset(ins);
        if (i % 5000 == 4999 || i == N - 1) Exec(db, "COMMIT");
    }
    sqlite3_finalize(ins);
    Exec(db, "CREATE INDEX IDX_LETTER ON NAVTEXLOG (IDLETTER, UTCRECEIVED); CREATE INDEX IDX_AREA ON NAVTEXLOG "
             "(NAVAREA, UTCRECEIVED); CREATE INDEX IDX_FREQ ON NAVTEXLOG (FREQ, UTCRECEIVED)");
    sqlite3_close(db);

    TFigures f;
    const std::string window = " LIMIT " + std::to_string(Window);
    auto t = Clock::now();
    sqlite3_open(file.c_str(), &db);
    Exec(db, "PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL");
    sqlite3_stmt* count = Prepare(db, "SELECT count(*) FROM NAVTEXLOG");
    sqlite3_stmt* last = Prepare(db, "SELECT * FROM NAVTEXLOG ORDER BY UTCRECEIVED DESC" + window);
    Count(count);
    ReadRows(last);
    f.FirstPaint = Ms(t);

    t = Clock::now();
    ReadRows(last);
    f.CtrlEnd = Ms(t);

    sqlite3_stmt* first = Prepare(db, "SELECT * FROM NAVTEXLOG ORDER BY UTCRECEIVED" + window);
    sqlite3_stmt* next = Prepare(db, "SELECT * FROM NAVTEXLOG WHERE UTCRECEIVED > ? ORDER BY UTCRECEIVED" + window);
    double key = 0;
    ReadRows(first, &key);
    t = Clock::now();
    for (int i = 0; i < PageDowns; ++i) {
        sqlite3_bind_double(next, 1, key);
        ReadRows(next, &key);
    }
    f.PageDown = Ms(t) / PageDowns;

    for (int i = 0; i < FilterCount; ++i) {
        const std::string where = std::string(" WHERE ") + FilterCases[i].Where;
        sqlite3_stmt* rowCount = Prepare(db, "SELECT count(*) FROM NAVTEXLOG" + where);
        sqlite3_stmt* rows = Prepare(db, "SELECT * FROM NAVTEXLOG" + where + " ORDER BY UTCRECEIVED DESC" + window);
        t = Clock::now();
        f.FilterRows[i] = Count(rowCount);
        ReadRows(rows);
        f.Filter[i] = Ms(t);
        sqlite3_finalize(rowCount);
        sqlite3_finalize(rows);
    }

    sqlite3_stmt* searchCount = Prepare(db, "SELECT count(*) FROM NAVTEXLOG WHERE instr(MSGTEXT, ?) > 0");
    sqlite3_stmt* searchRows =
        Prepare(db, "SELECT * FROM NAVTEXLOG WHERE instr(MSGTEXT, ?) > 0 ORDER BY UTCRECEIVED DESC" + window);
    t = Clock::now();
    sqlite3_bind_text(searchCount, 1, "ICEBERG", -1, SQLITE_STATIC);
    sqlite3_bind_text(searchRows, 1, "ICEBERG", -1, SQLITE_STATIC);
    f.SearchCount = Count(searchCount);
    ReadRows(searchRows);
    f.Search = Ms(t);

    for (sqlite3_stmt* q : {count, last, first, next, searchCount, searchRows})
        sqlite3_finalize(q);
    f.SizeBefore = FileSize(file);
    t = Clock::now();
    Exec(db, "BEGIN");
    {
        sqlite3_stmt* del = Prepare(db, "DELETE FROM NAVTEXLOG WHERE UTCRECEIVED < ? AND STATION <> 'UNID'");
        sqlite3_bind_double(del, 1, Row(CleanupLimit(N), N).Utc);
        if (sqlite3_step(del) != SQLITE_DONE) std::abort();
        sqlite3_finalize(del);
    }
    f.Deleted = sqlite3_changes(db);
    Exec(db, "COMMIT");
    f.Delete = Ms(t);
    t = Clock::now();
    Exec(db, "VACUUM");
    f.Compact = Ms(t);
    f.SizeAfter = FileSize(file);

    sqlite3_stmt* daily = Prepare(
        db, "SELECT CAST(UTCRECEIVED AS INTEGER) AS DAY, count(*), sum(SIGQUAL) FROM NAVTEXLOG WHERE FREQ = 518 AND "
            "NAVAREA = 1 AND IDLETTER = 'A' AND UTCRECEIVED >= ? AND UTCRECEIVED <= ? AND STATION <> 'UNID' "
            "GROUP BY DAY ORDER BY DAY");
    t = Clock::now();
    sqlite3_bind_double(daily, 1, PlotFrom);
    sqlite3_bind_double(daily, 2, PlotTo + 0.999999);
    f.PlotEntries = ReadRows(daily);
    f.Plot = Ms(t);
    sqlite3_finalize(daily);
    // A date-time as the engine keeps it counts days from 1899-12-30, Julian day 2415018.5.
    sqlite3_stmt* monthly =
        Prepare(db, "SELECT strftime('%Y-%m', UTCRECEIVED + 2415018.5) AS MONTH, count(*), sum(SIGQUAL) FROM "
                    "NAVTEXLOG WHERE FREQ = 518 AND NAVAREA = 1 AND IDLETTER = 'A' AND UTCRECEIVED >= ? AND "
                    "UTCRECEIVED <= ? AND STATION <> 'UNID' GROUP BY MONTH ORDER BY MONTH");
    t = Clock::now();
    sqlite3_bind_double(monthly, 1, PlotFrom);
    sqlite3_bind_double(monthly, 2, PlotTo + 0.999999);
    f.MonthEntries = ReadRows(monthly);
    f.MonthPlot = Ms(t);
    sqlite3_finalize(monthly);
    sqlite3_close(db);
    std::filesystem::remove_all(dir.parent_path());
    return f;
}

void Line(const char* Name, double E, double S, bool Grid, const std::string& Note = "") {
    if (E < 0) {
        std::printf("  %-30s %12s %12.2f %8s %11s  %s\n", Name, "n/a", S, "", "", Note.c_str());
        return;
    }
    char block[32] = "";
    if (Grid) std::snprintf(block, sizeof block, "%10.1f%%", 100 * E / BlockMs);
    std::printf("  %-30s %12.2f %12.2f %8.2f %11s  %s\n", Name, E, S, E / S, block, Note.c_str());
}

void MessageLogPages(benchmark::State& State) {
    const int n = static_cast<int>(State.range(0));
    TFigures e, s;
    for (auto _ : State) {
        e = RunEngine(n);
        s = RunSqlite(n, e.Window);
    }
    std::printf("\nmessage log of %d records, grid window %d rows, ms   %8s %12s %8s %11s\n", n, e.Window, "engine",
                "SQLite", "ratio", "of 92.9 ms");
    Line("first paint", e.FirstPaint, s.FirstPaint, true);
    Line("Ctrl+End", e.CtrlEnd, s.CtrlEnd, true);
    Line("PageDown", e.PageDown, s.PageDown, true);
    for (int i = 0; i < FilterCount; ++i)
        Line(FilterCases[i].Name, e.Filter[i], s.Filter[i], true,
             std::to_string(e.FilterRows[i]) + " / " + std::to_string(s.FilterRows[i]) + " records");
    Line("text search and count", e.Search, s.Search, true,
         std::to_string(e.SearchCount) + " / " + std::to_string(s.SearchCount) + " records");
    Line("clean-up, delete a tenth", e.Delete, s.Delete, false,
         std::to_string(e.Deleted) + " / " + std::to_string(s.Deleted) + " deleted");
    Line("compaction / VACUUM", e.Compact, s.Compact, false,
         std::to_string(e.SizeBefore) + " -> " + std::to_string(e.SizeAfter) + " / " + std::to_string(s.SizeBefore) +
             " -> " + std::to_string(s.SizeAfter) + " bytes");
    Line("daily plot over a year", e.Plot, s.Plot, false,
         std::to_string(e.PlotEntries) + " entries / " + std::to_string(s.PlotEntries) + " days with data");
    Line("monthly plot over a year", e.MonthPlot, s.MonthPlot, false,
         std::to_string(e.MonthEntries) + " entries / " + std::to_string(s.MonthEntries) + " months with data");
    std::printf("  %-30s %12.2f\n", "first store after opening", e.FirstStore);
    std::printf("  %-30s %12.0f   (the loop's longest wait while deleting)\n", "clean-up stall", e.DeleteStall);
    std::printf("  %-30s %12.0f   (while compacting)\n", "compaction stall", e.CompactStall);
    std::printf("  %-30s %12.0f   (engine run, whole process)\n", "peak memory, MB", e.PeakMb);
    if (e.IndexingOpen >= 0)
        std::printf("  %-30s %12.0f   (once, when the kept log gained the filter indexes)\n", "first open, indexing",
                    e.IndexingOpen);
    std::printf("\n");
    State.counters["engine_first_store_ms"] = e.FirstStore;
    State.counters["engine_cleanup_stall_ms"] = e.DeleteStall;
    State.counters["engine_compact_stall_ms"] = e.CompactStall;
    State.counters["engine_first_paint_ms"] = e.FirstPaint;
    State.counters["sqlite_first_paint_ms"] = s.FirstPaint;
    State.counters["engine_search_ms"] = e.Search;
    State.counters["sqlite_search_ms"] = s.Search;
    State.counters["engine_cleanup_ms"] = e.Delete;
    State.counters["sqlite_cleanup_ms"] = s.Delete;
}
BENCHMARK(MessageLogPages)->Arg(100000)->Arg(1000000)->Iterations(1)->Unit(benchmark::kMillisecond);

// Every UNID of the log (a tenth, spread over the file) deleted as the clean-up's
// option 3 does, in one transaction; beside SQLite's DELETE in a transaction.
void UnidCleanUp(benchmark::State& State) {
    const int n = static_cast<int>(State.range(0));
    double engine = 0, sqlite = 0;
    int engineDeleted = 0, sqliteDeleted = 0;
    for (auto _ : State) {
        {
            TEngineFolder folder;
            tilo::TDataModule1 m;
            m.ProcessMessages = [] {};
            WriteEngineLog(m, n);
            m.LogTable->Open();
            const auto t = Clock::now();
            m.ORQDB->StartTransaction();
            engineDeleted = m.DeleteUnidentified();
            m.ORQDB->Commit(true);
            engine = Ms(t);
        }
        const std::filesystem::path dir = Folder("sqlite");
        sqlite3* db = nullptr;
        sqlite3_open((dir / "log.sqlite").c_str(), &db);
        Exec(db, "PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL");
        Exec(db, "CREATE TABLE NAVTEXLOG (UTCRECEIVED REAL PRIMARY KEY, STATION VARCHAR(75), MSGTEXT TEXT)");
        sqlite3_stmt* ins = Prepare(db, "INSERT INTO NAVTEXLOG VALUES (?,?,?)");
        Exec(db, "BEGIN");
        for (int i = 0; i < n; ++i) {
            const TRow r = Row(i, n);
            sqlite3_bind_double(ins, 1, r.Utc);
            sqlite3_bind_text(ins, 2, r.Station.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(ins, 3, r.Text.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_step(ins);
            sqlite3_reset(ins);
        }
        Exec(db, "COMMIT");
        sqlite3_finalize(ins);
        const auto t = Clock::now();
        Exec(db, "BEGIN");
        Exec(db, "DELETE FROM NAVTEXLOG WHERE STATION = 'UNID'");
        sqliteDeleted = sqlite3_changes(db);
        Exec(db, "COMMIT");
        sqlite = Ms(t);
        sqlite3_close(db);
        std::filesystem::remove_all(dir.parent_path());
    }
    std::printf("\nevery UNID of %d records (%d / %d deleted), ms: engine %.1f, SQLite %.1f, ratio %.1f\n\n", n,
                engineDeleted, sqliteDeleted, engine, sqlite, engine / sqlite);
    State.counters["engine_ms"] = engine;
    State.counters["sqlite_ms"] = sqlite;
}
BENCHMARK(UnidCleanUp)->Arg(5000)->Arg(10000)->Arg(20000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
