// The data-aware grid and memo over 100,000 records shaped like the message log, beside
// Qt's own table view over a QSqlTableModel on an SQLite file holding the same records,
// both offscreen in one run. The receiver does its display work on the UI thread
// between audio blocks of 1024 samples (92.9 ms at 11025 samples per second), and all
// display work of one block may take 5 % of that (4.6 ms).
//
// Ours: one record forward at the window's edge (repaint of grid and memo included), the
// thumb released at the middle, Last, First, one record stored as the message store does
// it with grid and memo attached and detached, and an OnFilterRecord filter keeping one
// record in ten switched on and off. Counters: records the dataset read, rows the grid
// converted and field values read per operation. Each runs once with Qt painting what
// it changed (the event loop served after the operation) and once without painting.
// The peer: one row forward at the view's edge, a scroll to row 50,000 (the model
// fetches up to it), insertRecord plus submitAll, setFilter on and off, each painted and
// not.
#include <QApplication>
#include <QDir>
#include <QHeaderView>
#include <QScrollBar>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QSqlTableModel>
#include <QTableView>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "app/DBCtrls.h"
#include "app/DBGrids.h"
#include "tests/app/LogRecords.h"

namespace {

constexpr int Records = 100000;
constexpr int Rows = 30;

QApplication& App() {
    static int argc = 1;
    static char name[] = "bench_dbgrid";
    static char* argv[] = {name, nullptr};
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static QApplication app(argc, argv);
    return app;
}

// Sizes View so that Rows whole rows show.
void ShowRows(QTableView& View, int Height) {
    View.resize(1000, 400);
    View.show();
    QCoreApplication::processEvents();
    const int extra = View.height() - View.viewport()->height();
    View.resize(1000, extra + Rows * Height);
    QCoreApplication::processEvents();
}

struct TOurs {
    classlib_test::TTestDataSet DataSet;
    classlib::TDataSource Source{nullptr};
    tilo::TDBGrid Grid;
    tilo::TDBMemo Memo;

    TOurs() {
        tilo_test::FillLog(DataSet, Records);
        Source.SetDataSet(&DataSet);
        for (const char* f : tilo_test::LogFields)
            if (std::string(f) != "MSGTEXT") Grid.Columns().Add(f);
        ShowRows(Grid, Grid.verticalHeader()->defaultSectionSize());
        Grid.SetDataSource(&Source);
        Memo.resize(600, 150);
        Memo.show();
        Memo.SetDataField("MSGTEXT");
        Memo.SetDataSource(&Source);
    }
    // Qt paints what the operation changed (rows, headers, scroll bar, memo) as the
    // program's event loop would.
    void Repaint() { QCoreApplication::processEvents(); }
};

TOurs& Ours() {
    App();
    static TOurs ours;
    return ours;
}

void Count(benchmark::State& State, TOurs& O, int64_t Reads, int64_t Rows0, int64_t Fields) {
    const double n = double(State.iterations());
    State.counters["reads"] = double(O.DataSet.Reads - Reads) / n;
    State.counters["rows"] = double(O.Grid.Model().RowsConverted() - Rows0) / n;
    State.counters["fields"] = double(O.DataSet.FieldReads - Fields) / n;
}

// Arg 1 repaints grid and memo after each move, 0 measures the link work alone.
void BM_OursNextAtWindowEdge(benchmark::State& State) {
    TOurs& o = Ours();
    const bool repaint = State.range(0) == 1;
    o.DataSet.First();
    o.DataSet.MoveBy(Rows - 1);
    const int64_t reads = o.DataSet.Reads, rows = o.Grid.Model().RowsConverted(), fields = o.DataSet.FieldReads;
    for (auto _ : State) {
        o.DataSet.Next();
        if (repaint) o.Repaint();
        if (o.DataSet.Eof()) {
            State.PauseTiming();
            o.DataSet.First();
            o.DataSet.MoveBy(Rows - 1);
            State.ResumeTiming();
        }
    }
    Count(State, o, reads, rows, fields);
    State.SetLabel(repaint ? "repainted" : "link work alone");
}

// Counts of the measured part only of an operation that needs a set-up between runs.
struct TTally {
    int64_t Reads = 0, Rows = 0, Fields = 0, R0 = 0, C0 = 0, F0 = 0;
    void Start(TOurs& O) {
        R0 = O.DataSet.Reads;
        C0 = O.Grid.Model().RowsConverted();
        F0 = O.DataSet.FieldReads;
    }
    void Stop(TOurs& O) {
        Reads += O.DataSet.Reads - R0;
        Rows += O.Grid.Model().RowsConverted() - C0;
        Fields += O.DataSet.FieldReads - F0;
    }
    void Report(benchmark::State& State) const {
        const double n = double(State.iterations());
        State.counters["reads"] = double(Reads) / n;
        State.counters["rows"] = double(Rows) / n;
        State.counters["fields"] = double(Fields) / n;
    }
};

void BM_OursThumbToMiddle(benchmark::State& State) {
    TOurs& o = Ours();
    const bool paint = State.range(0) == 1;
    QScrollBar* sb = o.Grid.DataScrollBar();
    TTally t;
    for (auto _ : State) {
        State.PauseTiming();
        o.DataSet.First();
        t.Start(o);
        State.ResumeTiming();
        sb->setSliderDown(true);
        sb->setSliderPosition(Records / 2 - 1);
        sb->setSliderDown(false);
        if (paint) o.Repaint();
        State.PauseTiming();
        t.Stop(o);
        State.ResumeTiming();
    }
    t.Report(State);
    State.SetLabel(paint ? "repainted" : "link work alone");
}

void BM_OursLastFirst(benchmark::State& State) {
    TOurs& o = Ours();
    const bool last = State.range(0) == 0, paint = State.range(1) == 1;
    TTally t;
    for (auto _ : State) {
        State.PauseTiming();
        last ? o.DataSet.First() : o.DataSet.Last();
        t.Start(o);
        State.ResumeTiming();
        last ? o.DataSet.Last() : o.DataSet.First();
        if (paint) o.Repaint();
        State.PauseTiming();
        t.Stop(o);
        State.ResumeTiming();
    }
    t.Report(State);
    State.SetLabel(std::string(last ? "Last" : "First") + (paint ? ", repainted" : ", link work alone"));
}

void BM_OursStoreAppend(benchmark::State& State) {
    TOurs& o = Ours();
    const bool attached = State.range(0) == 1, paint = State.range(1) == 1;
    o.DataSet.Last();
    if (!attached) {
        o.Grid.SetDataSource(nullptr);
        o.Memo.SetDataSource(nullptr);
    }
    int i = Records;
    const int64_t reads = o.DataSet.Reads, rows = o.Grid.Model().RowsConverted(), fields = o.DataSet.FieldReads;
    for (auto _ : State) {
        tilo_test::StoreLog(o.DataSet, tilo_test::LogRecord(i++));
        if (paint) o.Repaint();
    }
    Count(State, o, reads, rows, fields);
    if (!attached) {
        o.Grid.SetDataSource(&o.Source);
        o.Memo.SetDataSource(&o.Source);
    }
    State.SetLabel(attached ? (paint ? "grid and memo attached, repainted" : "grid and memo attached, link work alone")
                            : "detached");
}

void BM_OursFilter(benchmark::State& State) {
    TOurs& o = Ours();
    const bool on = State.range(0) == 1, paint = State.range(1) == 1;
    auto tenth = [](classlib::TDataSet* ds, bool& Accept) {
        Accept = ds->FieldByName("DIST")->AsInteger() % 10 == 0;
    };
    o.DataSet.SetOnFilterRecord(tenth);
    TTally t;
    for (auto _ : State) {
        State.PauseTiming();
        o.DataSet.SetFiltered(!on);
        t.Start(o);
        State.ResumeTiming();
        o.DataSet.SetFiltered(on);
        if (paint) o.Repaint();
        State.PauseTiming();
        t.Stop(o);
        State.ResumeTiming();
    }
    o.DataSet.SetFiltered(false);
    o.DataSet.SetOnFilterRecord(nullptr);
    t.Report(State);
    State.SetLabel(std::string(on ? "on" : "off") + (paint ? ", repainted" : ", link work alone"));
}

// ---- the peer: QTableView over QSqlTableModel on SQLite ----

struct TPeer {
    QTemporaryDir Dir;
    QSqlDatabase Db;
    std::unique_ptr<QSqlTableModel> Model;
    QTableView View;
    bool Ok = false;

    TPeer() {
        if (!QSqlDatabase::isDriverAvailable("QSQLITE")) return;
        Db = QSqlDatabase::addDatabase("QSQLITE", "peer");
        Db.setDatabaseName(Dir.filePath("navtexlog.sqlite"));
        if (!Db.open()) return;
        QSqlQuery q(Db);
        q.exec("CREATE TABLE navtexlog (id INTEGER PRIMARY KEY, utcreceived REAL, freq INTEGER, sigqual REAL, "
               "idletter TEXT, msgtype TEXT, msgnumber TEXT, navarea INTEGER, station TEXT, msgtext TEXT, "
               "dist INTEGER)");
        q.exec("CREATE INDEX idx_dt ON navtexlog (utcreceived)");
        Db.transaction();
        q.prepare("INSERT INTO navtexlog (utcreceived, freq, sigqual, idletter, msgtype, msgnumber, navarea, "
                  "station, msgtext, dist) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
        for (int i = 0; i < Records; ++i) {
            const tilo_test::TLogRecord r = tilo_test::LogRecord(i);
            q.addBindValue(r.Utc);
            q.addBindValue(r.Freq);
            q.addBindValue(double(r.SigQual));
            q.addBindValue(QString::fromStdString(r.IdLetter));
            q.addBindValue(QString::fromStdString(r.MsgType));
            q.addBindValue(QString::fromStdString(r.MsgNumber));
            q.addBindValue(int(r.NavArea));
            q.addBindValue(QString::fromStdString(r.Station));
            q.addBindValue(QString::fromStdString(r.MsgText));
            q.addBindValue(r.Dist);
            q.exec();
        }
        Db.commit();
        Model = std::make_unique<QSqlTableModel>(nullptr, Db);
        Model->setTable("navtexlog");
        Model->setEditStrategy(QSqlTableModel::OnManualSubmit);
        Model->setSort(1, Qt::AscendingOrder);
        Model->select();
        View.setModel(Model.get());
        View.setColumnHidden(0, true);
        View.setColumnHidden(9, true);
        View.setSelectionBehavior(QAbstractItemView::SelectRows);
        View.verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
        ShowRows(View, View.verticalHeader()->defaultSectionSize());
        Ok = true;
    }
    // The view lays its rows out after a reset and paints what changed when events run.
    void Repaint() { QCoreApplication::processEvents(); }
    void FetchTo(int Row) {
        while (Model->rowCount() <= Row && Model->canFetchMore()) Model->fetchMore();
    }
};

TPeer& Peer() {
    App();
    static TPeer peer;
    return peer;
}

void BM_PeerRowForwardAtViewEdge(benchmark::State& State) {
    TPeer& p = Peer();
    const bool repaint = State.range(0) == 1;
    if (!p.Ok) return State.SkipWithError("no SQLite driver for Qt (libqt6sql6-sqlite)");
    int row = Rows - 1;
    p.View.setCurrentIndex(p.Model->index(row, 1));
    for (auto _ : State) {
        ++row;
        p.FetchTo(row);
        if (row >= p.Model->rowCount()) {
            State.PauseTiming();
            row = Rows - 1;
            p.View.scrollToTop();
            State.ResumeTiming();
        }
        p.View.setCurrentIndex(p.Model->index(row, 1));
        p.View.scrollTo(p.Model->index(row, 1));
        if (repaint) p.Repaint();
    }
    State.SetLabel(repaint ? "repainted" : "view work alone");
}

void BM_PeerScrollToRow50000(benchmark::State& State) {
    TPeer& p = Peer();
    const bool paint = State.range(0) == 1;
    if (!p.Ok) return State.SkipWithError("no SQLite driver for Qt (libqt6sql6-sqlite)");
    for (auto _ : State) {
        State.PauseTiming();
        p.Model->select();
        p.View.scrollToTop();
        State.ResumeTiming();
        p.FetchTo(Records / 2 - 1);
        p.View.scrollTo(p.Model->index(Records / 2 - 1, 1), QAbstractItemView::PositionAtCenter);
        if (paint) p.Repaint();
    }
    State.SetLabel(paint ? "repainted" : "view work alone");
}

void BM_PeerInsertRecordSubmitAll(benchmark::State& State) {
    TPeer& p = Peer();
    const bool paint = State.range(0) == 1;
    if (!p.Ok) return State.SkipWithError("no SQLite driver for Qt (libqt6sql6-sqlite)");
    int i = Records;
    for (auto _ : State) {
        const tilo_test::TLogRecord r = tilo_test::LogRecord(i++);
        QSqlRecord rec = p.Model->record();
        rec.remove(0);
        rec.setValue("utcreceived", r.Utc);
        rec.setValue("freq", r.Freq);
        rec.setValue("sigqual", double(r.SigQual));
        rec.setValue("idletter", QString::fromStdString(r.IdLetter));
        rec.setValue("msgtype", QString::fromStdString(r.MsgType));
        rec.setValue("msgnumber", QString::fromStdString(r.MsgNumber));
        rec.setValue("navarea", int(r.NavArea));
        rec.setValue("station", QString::fromStdString(r.Station));
        rec.setValue("msgtext", QString::fromStdString(r.MsgText));
        rec.setValue("dist", r.Dist);
        if (!p.Model->insertRecord(-1, rec) || !p.Model->submitAll())
            return State.SkipWithError(p.Model->lastError().text().toStdString().c_str());
        if (paint) p.Repaint();
    }
    State.SetLabel(paint ? "repainted" : "view work alone");
}

void BM_PeerSetFilter(benchmark::State& State) {
    TPeer& p = Peer();
    if (!p.Ok) return State.SkipWithError("no SQLite driver for Qt (libqt6sql6-sqlite)");
    const bool on = State.range(0) == 1, paint = State.range(1) == 1;
    for (auto _ : State) {
        State.PauseTiming();
        p.Model->setFilter(on ? "" : "dist % 10 = 0");
        QCoreApplication::processEvents();
        State.ResumeTiming();
        p.Model->setFilter(on ? "dist % 10 = 0" : "");
        if (paint) p.Repaint();
    }
    p.Model->setFilter("");
    State.SetLabel(std::string(on ? "on" : "off") + (paint ? ", repainted" : ", view work alone"));
}

BENCHMARK(BM_OursNextAtWindowEdge)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OursThumbToMiddle)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OursLastFirst)->Args({0, 1})->Args({0, 0})->Args({1, 1})->Args({1, 0})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OursStoreAppend)->Args({1, 1})->Args({1, 0})->Args({0, 0})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OursFilter)->Args({1, 1})->Args({1, 0})->Args({0, 1})->Args({0, 0})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PeerRowForwardAtViewEdge)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PeerScrollToRow50000)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PeerInsertRecordSubmitAll)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PeerSetFilter)->Args({1, 1})->Args({1, 0})->Args({0, 1})->Args({0, 0})->Unit(benchmark::kMillisecond);

}  // namespace
