// The data-aware grid over a test dataset shaped like the message log: which link
// event renews which rows (against the model's signals and the dataset's reads),
// painting inside a filter scan, walks over the dataset (the test dataset and an engine
// table) with the grid following, the keys, mouse, wheel and scroll bar, and editing.
#include <gtest/gtest.h>

#include <QTimer>
#include <QApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLayout>
#include <QLineEdit>
#include <QMouseEvent>
#include <QScreen>
#include <QScrollBar>
#include <QWindow>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "LogRecords.h"
#include "MainTestKit.h"
#include "QtTestApp.h"
#include "app/DBGrids.h"
#include "app/TiloApplication.h"
#include "app/U_Main.h"
#include "engine/access/ORQMain.h"

using namespace tilo;
using namespace classlib;
using tilo_test::LogCells;
using tilo_test::LogRecord;
using tilo_test::TLogRecord;

namespace {

// Counts what the grid asks of the dataset beyond reading records.
class TCountingDataSet : public classlib_test::TTestDataSet {
public:
    int RecordCountAsks = 0, RecNoAsks = 0, SetRecNoCalls = 0;
    bool UnknownRecNo = false;
    int32_t GetRecordCount() override {
        ++RecordCountAsks;
        return TTestDataSet::GetRecordCount();
    }
    int32_t GetRecNo() override {
        ++RecNoAsks;
        return UnknownRecNo ? -1 : TTestDataSet::GetRecNo();
    }
    void SetRecNo(int32_t Value) override {
        ++SetRecNoCalls;
        TTestDataSet::SetRecNo(Value);
    }
    // The record number without counting.
    int32_t TrueRecNo() { return TTestDataSet::GetRecNo(); }
};

struct TSignals {
    int Resets = 0, Inserted = 0, Removed = 0, Changed = 0;
    explicit TSignals(QAbstractItemModel& M) {
        QObject::connect(&M, &QAbstractItemModel::modelReset, [this] { ++Resets; });
        QObject::connect(&M, &QAbstractItemModel::rowsInserted, [this] { ++Inserted; });
        QObject::connect(&M, &QAbstractItemModel::rowsRemoved, [this] { ++Removed; });
        QObject::connect(&M, &QAbstractItemModel::dataChanged, [this] { ++Changed; });
    }
    int Any() const { return Resets + Inserted + Removed + Changed; }
};

// Sizes a shown grid so that it shows Rows whole rows.
void ShowRows(TDBGrid& Grid, int Rows) {
    Grid.resize(1400, 400);
    Grid.show();
    QCoreApplication::processEvents();
    const int extra = Grid.height() - Grid.viewport()->height();
    Grid.resize(1400, extra + Rows * Grid.verticalHeader()->defaultSectionSize());
    QCoreApplication::processEvents();
    ASSERT_EQ(Grid.VisibleRows(), Rows);
}

// A log of Records records behind a data source and a grid of Rows rows.
struct TLogGrid {
    TCountingDataSet DataSet;
    TDataSource Source{nullptr};
    TDBGrid Grid;
    std::vector<TLogRecord> Log;  // what the dataset holds, in order

    TLogGrid(int Records, int Rows, bool Attach = true) {
        tilo_test::FillLog(DataSet, Records);
        for (int i = 0; i < Records; ++i) Log.push_back(LogRecord(i));
        Source.SetDataSet(&DataSet);
        ShowRows(Grid, Rows);
        if (Attach) Grid.SetDataSource(&Source);
    }
    ~TLogGrid() { Grid.SetDataSource(nullptr); }

    std::string Cell(int Row, int Column) { return Grid.Model().Text(Row, Column).toLatin1().toStdString(); }

    // Every row shows the record at its number in Shown (the records the view passes).
    void ExpectWindow(const std::vector<TLogRecord>& Shown, const std::string& Where) { ExpectWindowOf(Grid, Shown, Where); }
    void ExpectWindowOf(TDBGrid& Grid, const std::vector<TLogRecord>& Shown, const std::string& Where) {
        SCOPED_TRACE(Where);
        TDBGridModel& m = Grid.Model();
        if (!DataSet.Active() || Grid.DataSource() == nullptr) {
            EXPECT_EQ(m.rowCount(), 0);
            return;
        }
        ASSERT_EQ(m.ActiveRow(), Grid.DataLink().ActiveRecord());
        EXPECT_EQ(m.rowCount(), std::min<int>(Grid.VisibleRows(), int(Shown.size())));
        const bool filtered = DataSet.Filtered();
        int32_t recNo = 0;
        if (filtered) {
            // Under the filter the number counts the passing records.
            const std::string letter = DataSet.FieldByName("MSGTEXT")->AsString();
            for (size_t i = 0; i < Shown.size(); ++i)
                if (Shown[i].MsgText == letter) recNo = int32_t(i) + 1;
        } else {
            recNo = DataSet.TrueRecNo();
        }
        ASSERT_GT(recNo, 0);
        for (int r = 0; r < m.rowCount(); ++r) {
            const size_t at = size_t(recNo - 1 - m.ActiveRow() + r);
            ASSERT_LT(at, Shown.size());
            const std::vector<std::string> want = LogCells(Shown[at]);
            for (int c = 0; c < m.columnCount(); ++c)
                EXPECT_EQ(m.Text(r, c).toLatin1().toStdString(), want[size_t(c)]) << "row " << r << " col " << c;
        }
        if (!filtered) {
            EXPECT_EQ(Grid.DataScrollBar()->maximum(), int(Shown.size()) - 1);
            EXPECT_EQ(Grid.DataScrollBar()->value(), recNo - 1);
        } else {
            EXPECT_EQ(Grid.DataScrollBar()->maximum(), 2);
        }
    }
};

bool TenthRecord(TDataSet* DataSet) { return DataSet->FieldByName("DIST")->AsInteger() % 10 == 0; }

void Key(QWidget* Target, int KeyCode, Qt::KeyboardModifiers Modifiers = Qt::NoModifier, const QString& Text = {}) {
    QKeyEvent press(QEvent::KeyPress, KeyCode, Modifiers, Text);
    QApplication::sendEvent(Target, &press);
    QKeyEvent release(QEvent::KeyRelease, KeyCode, Modifiers, Text);
    QApplication::sendEvent(Target, &release);
}

// Types Text into whatever has the focus, a key each character.
void Type(const std::string& Text) {
    for (char ch : Text) {
        QWidget* target = QApplication::focusWidget();
        ASSERT_NE(target, nullptr);
        Key(target, QChar(ch).toUpper().unicode(), Qt::NoModifier, QString(QChar(ch)));
    }
}

void Click(TDBGrid& Grid, int Row, int Column, Qt::KeyboardModifiers Modifiers = Qt::NoModifier) {
    const QPoint at = Grid.visualRect(Grid.Model().index(Row, Column)).center();
    QMouseEvent press(QEvent::MouseButtonPress, at, Grid.viewport()->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton,
                      Modifiers);
    QApplication::sendEvent(Grid.viewport(), &press);
    QMouseEvent release(QEvent::MouseButtonRelease, at, Grid.viewport()->mapToGlobal(at), Qt::LeftButton,
                        Qt::NoButton, Modifiers);
    QApplication::sendEvent(Grid.viewport(), &release);
}

void Focus(QWidget& W) {
    W.activateWindow();
    QApplication::setActiveWindow(W.window());
    W.setFocus();
    ASSERT_TRUE(tilo_test::WaitFor([&] { return W.hasFocus(); }));
}

}  // namespace

TEST(DBGrid, LinkEventsRenewOnlyTheRowsTheyChange) {
    TLogGrid f(1000, 10, false);
    f.DataSet.Close();
    f.Grid.SetDataSource(&f.Source);
    TSignals s(f.Grid.Model());
    std::vector<TLogRecord> shown = f.Log;

    struct Step {
        const char* Name;
        std::function<void()> Act;
        int Resets;
        int64_t MaxReads;   // records the dataset read
        int64_t Converted;  // rows the grid converted; -1: any
        int CountAsks, RecNoAsks;  // -1: any
    };
    auto filterOn = [&] {
        f.DataSet.SetOnFilterRecord([](TDataSet* ds, bool& Accept) { Accept = TenthRecord(ds); });
        f.DataSet.SetFiltered(true);
        shown.clear();
        for (const TLogRecord& r : f.Log)
            if (r.Dist % 10 == 0) shown.push_back(r);
    };
    auto filterOff = [&] {
        f.DataSet.SetFiltered(false);
        f.DataSet.SetOnFilterRecord(nullptr);
        shown = f.Log;
    };
    const Step steps[] = {
        {"open", [&] { f.DataSet.Open(); }, 1, 10, 10, 1, 1},
        {"Next inside the window", [&] { f.DataSet.Next(); }, 0, 0, 0, 0, 1},
        {"Next to the window's last row", [&] { for (int i = 0; i < 8; ++i) f.DataSet.Next(); }, 0, 0, 0, 0, 8},
        {"Next at the window's last row", [&] { f.DataSet.Next(); }, 0, 1, 1, 0, 1},
        {"Last", [&] { f.DataSet.Last(); }, 0, 10, 10, 1, 1},
        {"Prior", [&] { f.DataSet.Prior(); }, 0, 0, 0, 0, 1},
        {"append as the store does",
         [&] {
             tilo_test::StoreLog(f.DataSet, LogRecord(1000));
             f.Log.push_back(LogRecord(1000));
             shown = f.Log;
         },
         0, -1, -1, -1, -1},
        {"delete",
         [&] {
             const int32_t at = f.DataSet.TrueRecNo();
             f.DataSet.Delete();
             f.Log.erase(f.Log.begin() + (at - 1));
             shown = f.Log;
         },
         0, 11, 10, 1, 1},
        {"OnFilterRecord filter on", filterOn, 0, 11, 10, 0, 0},
        {"OnFilterRecord filter off", filterOff, 0, 11, 10, 1, 1},
        {"Edit", [&] { f.DataSet.Edit(); }, 0, 0, 1, 0, 0},
        {"a field set through the dataset",
         [&] {
             f.DataSet.FieldByName("STATION")->SetAsString("EDITED");
             f.Log[0].Station = "EDITED";
             shown = f.Log;
         },
         0, 0, 1, 0, 0},
        {"Post", [&] { f.DataSet.Post(); }, 0, 11, 10, 1, 1},
        {"500 moves under DisableControls",
         [&] {
             f.DataSet.DisableControls();
             const int before = s.Any();
             const int64_t converted = f.Grid.Model().RowsConverted();
             for (int i = 0; i < 500; ++i) f.DataSet.Next();
             EXPECT_EQ(s.Any(), before);
             EXPECT_EQ(f.Grid.Model().RowsConverted(), converted);
             f.DataSet.EnableControls();
         },
         0, 500, 10, 1, 1},
        {"detach", [&] { f.Grid.SetDataSource(nullptr); }, 1, 0, 0, 0, 0},
        {"attach", [&] { f.Grid.SetDataSource(&f.Source); }, 1, 10, 10, 1, 1},
        {"close", [&] { f.DataSet.Close(); }, 1, 0, 0, 0, 0},
        {"open again", [&] { f.DataSet.Open(); }, 1, 10, 10, 1, 1},
    };
    for (const Step& st : steps) {
        SCOPED_TRACE(st.Name);
        const int resets = s.Resets;
        const int64_t reads = f.DataSet.Reads, converted = f.Grid.Model().RowsConverted();
        const int counts = f.DataSet.RecordCountAsks, recNos = f.DataSet.RecNoAsks;
        st.Act();
        EXPECT_EQ(s.Resets - resets, st.Resets);
        EXPECT_LE(f.DataSet.Reads - reads, st.MaxReads < 0 ? INT64_MAX : st.MaxReads);
        if (st.Converted >= 0) {
            EXPECT_EQ(f.Grid.Model().RowsConverted() - converted, st.Converted);
        }
        if (st.CountAsks >= 0) {
            EXPECT_EQ(f.DataSet.RecordCountAsks - counts, st.CountAsks);
        }
        if (st.RecNoAsks >= 0) {
            EXPECT_EQ(f.DataSet.RecNoAsks - recNos, st.RecNoAsks);
        }
        f.ExpectWindow(shown, st.Name);
    }
}

TEST(DBGrid, ScrolledTextsShiftAndOnlyTheNewRowsAreRead) {
    // A shift of the window renews every row's text from the rows already converted.
    TLogGrid f(50, 5);
    for (int i = 0; i < 4; ++i) f.DataSet.Next();
    TSignals s(f.Grid.Model());
    f.DataSet.Next();  // one past the last row
    EXPECT_EQ(s.Resets + s.Inserted + s.Removed, 0);
    EXPECT_GE(s.Changed, 1);  // the new row, and the rows the highlight leaves and takes
    f.ExpectWindow(f.Log, "forward");
    f.DataSet.MoveBy(-5);  // one before the first row
    f.ExpectWindow(f.Log, "back");
    EXPECT_EQ(f.Grid.Model().ActiveRow(), 0);
    // A second grid asks for a wider window: each grid's rows follow its own link.
    TDBGrid wide;
    ShowRows(wide, 12);
    wide.SetDataSource(&f.Source);
    for (int step : {1, 3, 7, -2, -9, 12, 1, -1, 30, -25}) {
        f.DataSet.MoveBy(step);
        const std::string where = "MoveBy " + std::to_string(step);
        f.ExpectWindow(f.Log, where);
        f.ExpectWindowOf(wide, f.Log, where + " (wide)");
    }
    wide.SetDataSource(nullptr);
    // A window shorter than the view: rows come and go at its end, no reset.
    TLogGrid small(3, 5);
    TSignals t(small.Grid.Model());
    tilo_test::StoreLog(small.DataSet, LogRecord(3));
    small.Log.push_back(LogRecord(3));
    EXPECT_EQ(t.Resets, 0);
    EXPECT_GE(t.Inserted, 1);
    EXPECT_EQ(small.Grid.Model().rowCount(), 4);
    small.ExpectWindow(small.Log, "appended");
    small.DataSet.Last();
    small.DataSet.Delete();
    small.Log.pop_back();
    EXPECT_EQ(t.Resets, 0);
    EXPECT_GE(t.Removed, 1);
    small.ExpectWindow(small.Log, "deleted");
}

TEST(DBGrid, ScrolledPixelsMatchAFreshPainting) {
    // A shift moves the shown pixels and paints only what it must: what the window
    // holds on screen (its backing store) must equal the grid painted afresh.
    TLogGrid f(200, 10);
    auto onScreen = [&] {
        QCoreApplication::processEvents();
        QScreen* screen = f.Grid.screen();
        const QPoint at = f.Grid.mapTo(f.Grid.window(), QPoint(0, 0));
        return screen->grabWindow(f.Grid.window()->winId(), at.x(), at.y(), f.Grid.width(), f.Grid.height())
            .toImage()
            .convertToFormat(QImage::Format_RGB32);
    };
    auto fresh = [&] { return f.Grid.grab().toImage().convertToFormat(QImage::Format_RGB32); };
    ASSERT_FALSE(onScreen().isNull());
    for (int step : {9, 1, 1, 3, -12, -1, 14, 1}) {
        f.DataSet.MoveBy(step);
        const QImage shown = onScreen();
        EXPECT_TRUE(shown == fresh()) << "after MoveBy " << step;
    }
}

TEST(DBGrid, ColumnsTitlesAndAMissingField) {
    TLogGrid f(5, 5);
    EXPECT_EQ(f.Grid.Model().columnCount(), 10);  // one per field without columns
    EXPECT_EQ(f.Grid.Model().headerData(7, Qt::Horizontal).toString(), "STATION");
    f.Grid.Columns().Add("IDLETTER", "B1");
    f.Grid.Columns().Add("NOSUCH");
    f.Grid.Columns().Add("DIST", "DIST (Km)", 80);
    TDBGridModel& m = f.Grid.Model();
    ASSERT_EQ(m.columnCount(), 3);
    EXPECT_EQ(m.headerData(0, Qt::Horizontal).toString(), "B1");
    EXPECT_EQ(m.headerData(1, Qt::Horizontal).toString(), "NOSUCH");
    EXPECT_EQ(m.headerData(2, Qt::Horizontal).toString(), "DIST (Km)");
    EXPECT_EQ(f.Grid.columnWidth(2), 80);
    EXPECT_EQ(f.Cell(1, 0), "B");
    EXPECT_EQ(f.Cell(1, 1), "");  // a missing field's column stays empty
    EXPECT_EQ(f.Cell(1, 2), "1");
    EXPECT_EQ(f.Grid.Columns()[1].Field(), nullptr);
    EXPECT_EQ(f.Grid.Columns()[2].Field(), f.DataSet.FieldByName("DIST"));
    // Titles follow the field's label; text crosses as Latin-1.
    f.DataSet.FieldByName("IDLETTER")->SetDisplayLabel("Lettre \xe9");
    f.Grid.Columns()[0].Title.clear();
    f.Grid.Columns().Changed();
    EXPECT_EQ(m.headerData(0, Qt::Horizontal).toString(), QString::fromLatin1("Lettre \xe9"));
    f.DataSet.Edit();
    f.DataSet.FieldByName("IDLETTER")->SetAsString("\xe9");
    EXPECT_EQ(m.Text(0, 0), QString::fromLatin1("\xe9"));
    EXPECT_EQ(m.headerData(0, Qt::Vertical).toString(), "I");  // the edit mark
    f.DataSet.Cancel();
    EXPECT_EQ(m.headerData(0, Qt::Vertical).toString(), ">");
    EXPECT_EQ(m.Text(0, 0), "A");
}

TEST(DBGrid, PaintingInsideAFilterScanReadsNothing) {
    TLogGrid f(200, 10);
    for (int i = 0; i < 4; ++i) f.DataSet.Next();
    const QImage before = f.Grid.grab().toImage();
    int scans = 0;
    // The search's handler serves events while it scans, with the controls disabled.
    auto handler = [&](TDataSet* ds, bool& Accept) {
        Accept = TenthRecord(ds);
        if (++scans % 50 != 1) return;
        const int64_t reads = f.DataSet.Reads, fieldReads = f.DataSet.FieldReads;
        const int active = f.Grid.DataLink().ActiveRecord();
        f.Grid.repaint();
        QCoreApplication::processEvents();
        const QImage during = f.Grid.grab().toImage();
        EXPECT_EQ(f.DataSet.Reads, reads);
        EXPECT_EQ(f.DataSet.FieldReads, fieldReads);
        EXPECT_EQ(f.Grid.DataLink().ActiveRecord(), active);
        EXPECT_TRUE(during == before) << "the cells changed during the scan";
    };
    const int asks = f.DataSet.RecordCountAsks + f.DataSet.RecNoAsks;
    f.DataSet.DisableControls();
    f.DataSet.SetOnFilterRecord(handler);
    f.DataSet.SetFiltered(true);
    EXPECT_GT(scans, 50);
    EXPECT_EQ(f.DataSet.RecordCountAsks + f.DataSet.RecNoAsks, asks);
    f.DataSet.EnableControls();
    std::vector<TLogRecord> shown;
    for (const TLogRecord& r : f.Log)
        if (r.Dist % 10 == 0) shown.push_back(r);
    f.ExpectWindow(shown, "after EnableControls");
    EXPECT_EQ(f.DataSet.RecordCountAsks + f.DataSet.RecNoAsks, asks);  // three positions, nothing asked
    EXPECT_EQ(f.Cell(1, 9), "10");
}

TEST(DBGrid, KeysMoveTheDatasetAndOnKeyDownRunsFirst) {
    TLogGrid f(1000, 10);
    Focus(f.Grid);
    struct Case {
        int Key;
        Qt::KeyboardModifiers Mods;
        int32_t RecNo;
    } const cases[] = {
        {Qt::Key_Down, Qt::NoModifier, 2},   {Qt::Key_PageDown, Qt::NoModifier, 12},
        {Qt::Key_Up, Qt::NoModifier, 11},    {Qt::Key_PageUp, Qt::NoModifier, 1},
        {Qt::Key_End, Qt::ControlModifier, 1000}, {Qt::Key_Down, Qt::NoModifier, 1000},  // no append
        {Qt::Key_Home, Qt::ControlModifier, 1},
    };
    for (const Case& c : cases) {
        Key(&f.Grid, c.Key, c.Mods);
        EXPECT_EQ(f.DataSet.TrueRecNo(), c.RecNo) << c.Key;
        EXPECT_EQ(f.DataSet.State(), dsBrowse);
        EXPECT_EQ(f.DataSet.RowCount(), 1000);
    }
    f.ExpectWindow(f.Log, "after the keys");
    // Home and End without Ctrl move the current column.
    Key(&f.Grid, Qt::Key_End);
    EXPECT_EQ(f.Grid.SelectedIndex(), 9);
    Key(&f.Grid, Qt::Key_Left);
    EXPECT_EQ(f.Grid.SelectedIndex(), 8);
    EXPECT_EQ(f.Grid.SelectedField(), f.DataSet.FieldByName("MSGTEXT"));
    Key(&f.Grid, Qt::Key_Home);
    EXPECT_EQ(f.Grid.SelectedIndex(), 0);

    std::vector<int> seen;
    f.Grid.OnKeyDown = [&](int& K, Qt::KeyboardModifiers) {
        seen.push_back(K);
        if (K == Qt::Key_Down) K = 0;
    };
    Key(&f.Grid, Qt::Key_Down);
    EXPECT_EQ(f.DataSet.TrueRecNo(), 1);  // swallowed
    Key(&f.Grid, Qt::Key_PageDown);
    EXPECT_EQ(f.DataSet.TrueRecNo(), 11);
    EXPECT_EQ(seen, (std::vector<int>{Qt::Key_Down, Qt::Key_PageDown}));
}

TEST(DBGrid, ClickMovesToTheRowAndMouseEventsReachTheHandlers) {
    TLogGrid f(100, 10);
    std::vector<std::string> events;
    f.Grid.OnMouseUp = [&](Qt::MouseButton B, Qt::KeyboardModifiers S, int X, int Y) {
        events.push_back("up " + std::to_string(int(B)) + (S & Qt::ShiftModifier ? " shift" : "") +
                         (X > 0 && Y > 0 ? " at" : ""));
        // Receiver handlers see the clicked record and column already.
        events.push_back("recno " + std::to_string(f.DataSet.TrueRecNo()) + " col " +
                         std::to_string(f.Grid.SelectedIndex()));
    };
    f.Grid.OnDblClick = [&] { events.push_back("dbl"); };
    Click(f.Grid, 3, 2, Qt::ShiftModifier);
    EXPECT_TRUE(f.Grid.hasFocus());
    EXPECT_EQ(f.DataSet.TrueRecNo(), 4);
    EXPECT_EQ(f.Grid.SelectedIndex(), 2);
    EXPECT_EQ(f.Grid.Model().ActiveRow(), 3);
    EXPECT_TRUE(f.Grid.selectionModel()->isRowSelected(3, QModelIndex()));
    const QPoint at = f.Grid.visualRect(f.Grid.Model().index(3, 2)).center();
    QMouseEvent dbl(QEvent::MouseButtonDblClick, at, f.Grid.viewport()->mapToGlobal(at), Qt::LeftButton,
                    Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(f.Grid.viewport(), &dbl);
    EXPECT_EQ(events, (std::vector<std::string>{"up 1 shift at", "recno 4 col 2", "dbl"}));
    // A click on a header selects nothing behind the dataset's back.
    for (QHeaderView* h : {f.Grid.verticalHeader(), f.Grid.horizontalHeader()}) {
        const QPoint p = h->orientation() == Qt::Vertical ? QPoint(5, h->sectionViewportPosition(6) + 5)
                                                          : QPoint(h->sectionViewportPosition(5) + 5, 5);
        QMouseEvent press(QEvent::MouseButtonPress, p, h->viewport()->mapToGlobal(p), Qt::LeftButton,
                          Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(h->viewport(), &press);
        QMouseEvent release(QEvent::MouseButtonRelease, p, h->viewport()->mapToGlobal(p), Qt::LeftButton,
                            Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(h->viewport(), &release);
        EXPECT_EQ(f.DataSet.TrueRecNo(), 4);
        EXPECT_EQ(f.Grid.selectionModel()->selectedRows().size(), 1);
        EXPECT_TRUE(f.Grid.selectionModel()->isRowSelected(3, QModelIndex()));
        EXPECT_EQ(f.Grid.currentIndex(), f.Grid.Model().index(3, 2));
    }
    f.Grid.SetHint("Shift-Click on leftmost column = copy to  Reception Report");
    EXPECT_EQ(f.Grid.toolTip(), "Shift-Click on leftmost column = copy to  Reception Report");
    f.ExpectWindow(f.Log, "after the click");
}

TEST(DBGrid, WheelNotchesOverTheFocusedGridMoveOneRecordEach) {
    TfrmMain w;
    TCountingDataSet ds;
    tilo_test::FillLog(ds, 100);
    TDataSource src(nullptr);
    src.SetDataSet(&ds);
    auto* grid = new TDBGrid(w.tsSysLog);
    w.tsSysLog->layout()->addWidget(grid);
    w.DBLogGrid = grid;
    grid->SetDataSource(&src);
    w.show();
    w.TimOpenDB->stop();  // the start-up tick would reload the settings mid-test
    Focus(*grid);
    auto wheel = [&](int Delta) {
        QWheelEvent e(QPointF(5, 5), grid->viewport()->mapToGlobal(QPointF(5, 5)), QPoint(), QPoint(0, Delta),
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(grid->viewport(), &e);
    };
    wheel(-120);
    EXPECT_EQ(ds.TrueRecNo(), 2);
    wheel(-360);
    EXPECT_EQ(ds.TrueRecNo(), 5);
    wheel(120);
    EXPECT_EQ(ds.TrueRecNo(), 4);
    grid->SetDataSource(nullptr);
}

TEST(DBGrid, TheThumbReleasedSetsRecNoOnceAndTheArrowsMoveByRecordsAndPages) {
    TLogGrid f(100000, 30);
    QScrollBar* sb = f.Grid.DataScrollBar();
    EXPECT_EQ(sb->maximum(), 99999);
    EXPECT_EQ(sb->pageStep(), 30);
    const int64_t reads = f.DataSet.Reads;
    sb->setSliderDown(true);
    sb->setSliderPosition(49999);
    EXPECT_EQ(f.DataSet.SetRecNoCalls, 0);  // dragging moves the thumb alone
    EXPECT_EQ(f.DataSet.TrueRecNo(), 1);
    sb->setSliderDown(false);
    EXPECT_EQ(f.DataSet.TrueRecNo(), 50000);
    EXPECT_EQ(f.DataSet.SetRecNoCalls, 1);
    EXPECT_LE(f.DataSet.Reads - reads, 30);  // one window
    EXPECT_EQ(sb->value(), 49999);
    f.ExpectWindow(f.Log, "thumb at the middle");

    sb->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    EXPECT_EQ(f.DataSet.TrueRecNo(), 50001);
    sb->triggerAction(QAbstractSlider::SliderPageStepSub);
    EXPECT_EQ(f.DataSet.TrueRecNo(), 49971);
    EXPECT_EQ(sb->value(), 49970);
    // The thumb at its ends goes to First and Last.
    sb->setSliderDown(true);
    sb->setSliderPosition(99999);
    sb->setSliderDown(false);
    EXPECT_EQ(f.DataSet.TrueRecNo(), 100000);
    EXPECT_TRUE(f.DataSet.Eof());
    EXPECT_EQ(f.DataSet.SetRecNoCalls, 1);
    sb->triggerAction(QAbstractSlider::SliderSingleStepAdd);  // nothing beyond the end
    EXPECT_EQ(sb->value(), 99999);
}

TEST(DBGrid, UnknownRecordNumbersGiveAThreePositionBar) {
    TLogGrid f(100, 10, false);
    f.DataSet.UnknownRecNo = true;
    f.Grid.SetDataSource(&f.Source);
    QScrollBar* sb = f.Grid.DataScrollBar();
    EXPECT_EQ(sb->maximum(), 2);
    EXPECT_EQ(sb->value(), 0);  // at Bof
    sb->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    EXPECT_EQ(f.DataSet.TrueRecNo(), 2);
    EXPECT_EQ(sb->value(), 1);
    sb->triggerAction(QAbstractSlider::SliderPageStepAdd);
    EXPECT_EQ(f.DataSet.TrueRecNo(), 12);
    f.DataSet.Last();
    EXPECT_EQ(sb->value(), 2);
    sb->setSliderDown(true);
    sb->setSliderPosition(0);
    sb->setSliderDown(false);
    EXPECT_EQ(f.DataSet.TrueRecNo(), 1);
    EXPECT_EQ(f.DataSet.SetRecNoCalls, 0);
}

// ---- walks ----

namespace {

// A grid of Rows rows (shown or not) on Source while the test walks DataSet, whose
// record i reads back as Index() == i. After every step the current record is the one
// the step asked for, and a repaint of the grid moves nothing and reads nothing.
void ExpectWalks(TDataSet& DataSet, TDataSource& Source, int Count, int Rows, bool Shown,
                 const std::function<int()>& Index, const std::function<int64_t()>& Reads) {
    TDBGrid grid;
    if (Shown) ShowRows(grid, Rows);
    grid.SetDataSource(&Source);
    if (Shown) {
        EXPECT_EQ(grid.DataLink().BufferCount(), Rows);
    }
    auto settled = [&](int Want, const std::string& Where) {
        SCOPED_TRACE(Where);
        EXPECT_EQ(Index(), Want);
        const int64_t reads = Reads();
        grid.repaint();
        QCoreApplication::processEvents();
        EXPECT_EQ(Reads(), reads) << "a repaint read the dataset";
        EXPECT_EQ(Index(), Want) << "after a repaint";
        if (Shown && grid.Model().ActiveRow() >= 0) {
            EXPECT_EQ(grid.Model().Text(grid.Model().ActiveRow(), 0).toStdString(), DataSet.Fields()[0]->DisplayText());
        }
    };
    std::vector<int> seen, forward, backward;
    for (int i = 0; i < Count; ++i) {
        forward.push_back(i);
        backward.push_back(Count - 1 - i);
    }

    DataSet.First();
    while (!DataSet.Eof()) {
        seen.push_back(Index());
        settled(seen.back(), "forward");
        DataSet.Next();
    }
    EXPECT_EQ(seen, forward);

    seen.clear();
    DataSet.Last();
    while (!DataSet.Bof()) {
        seen.push_back(Index());
        settled(seen.back(), "backward");
        DataSet.Prior();
    }
    EXPECT_EQ(seen, backward);

    seen.clear();
    for (DataSet.First(); !DataSet.Eof(); DataSet.MoveBy(3)) seen.push_back(Index());
    std::vector<int> threes;
    for (int i = 0; i < Count; i += 3) threes.push_back(i);
    EXPECT_EQ(seen, threes);

    DataSet.First();
    int at = 0;
    for (int step : {2, 3, -1, 7, -20, 30, -4, 1, -1}) {
        DataSet.MoveBy(step);
        at = std::clamp(at + step, 0, Count - 1);
        settled(at, "MoveBy " + std::to_string(step));
    }
    DataSet.Last();
    settled(Count - 1, "Last");
    DataSet.First();
    settled(0, "First");
    grid.SetDataSource(nullptr);
}

struct TWalkCase {
    int Records, Rows;
    bool Shown;
};
// Windows smaller and larger than the records, shown and hidden.
const TWalkCase WalkCases[] = {{12, 4, true}, {12, 30, true}, {12, 4, false}, {1, 4, true}, {40, 12, true}};

std::string WalkName(const TWalkCase& C) {
    return std::to_string(C.Records) + " records, " + std::to_string(C.Rows) + " rows" + (C.Shown ? "" : ", hidden");
}

}  // namespace

TEST(DBGrid, AWalkWithControlsEnabledSeesEveryRecordInOrder) {
    for (const TWalkCase& c : WalkCases) {
        SCOPED_TRACE(WalkName(c));
        TCountingDataSet ds;
        tilo_test::FillLog(ds, c.Records);
        TDataSource src(nullptr);
        src.SetDataSet(&ds);
        ds.Last();  // the walk starts away from its first record
        ExpectWalks(ds, src, c.Records, c.Rows, c.Shown, [&] { return ds.FieldByName("DIST")->AsInteger(); },
                    [&] { return ds.Reads + ds.FieldReads; });
    }
}

TEST(DBGrid, AWalkOverAnEngineTableSeesEveryRecordInKeyOrder) {
    orq::StartEngine();
    struct Stop {
        ~Stop() { orq::StopEngine(); }
    } stop;
    int table = 0;
    for (const TWalkCase& c : WalkCases) {
        SCOPED_TRACE(WalkName(c));
        orq::TORQTable t(nullptr);
        t.SetDatabaseName("MEMORY");
        t.SetTableName("WALK" + std::to_string(++table));
        for (auto [name, type, size] : {std::tuple{"DIST", orq::aftInteger, 0}, {"STATION", orq::aftVarChar, 20}}) {
            orq::TORQAdvFieldDef* d = t.AdvFieldDefs().Add();
            d->Name = name;
            d->DataType = type;
            d->Size = size;
        }
        orq::TORQAdvIndexDef* key = t.AdvIndexDefs().Add();
        key->Name = "IDX_DIST";
        key->Fields = "DIST";
        key->Options = ixPrimary | ixUnique;
        t.CreateTable();
        t.SetIndexName("IDX_DIST");
        t.Open();
        TDataSource src(nullptr);
        src.SetDataSet(&t);
        // Stored in the reverse of the key's order.
        for (int i = c.Records - 1; i >= 0; --i) {
            t.Append();
            t.FieldByName("DIST")->SetAsInteger(i);
            t.FieldByName("STATION")->SetAsString("GBR" + std::to_string(i));
            t.Post();
        }
        t.Last();
        ExpectWalks(t, src, c.Records, c.Rows, c.Shown, [&] { return t.FieldByName("DIST")->AsInteger(); },
                    [] { return int64_t(0); });
        t.Close();
    }
}

// ---- editing ----

namespace {

// A log grid with the message page's columns, IDLETTER ("B1") and NAVAREA editable.
struct TEditGrid : TLogGrid {
    int Posts = 0, UpdateData = 0;
    std::vector<std::string> Trapped;
    TTiloApplication* App = TTiloApplication::Instance();
    std::function<void(const std::string&, const std::exception*)> SavedHandler;

    TEditGrid() : TLogGrid(50, 10) {
        for (const char* name : {"UTCRECEIVED", "FREQ", "SIGQUAL"}) Grid.Columns().Add(name, "", 0, true);
        Grid.Columns()[2].Title = "SQ";
        Grid.Columns().Add("IDLETTER", "B1");
        Grid.Columns().Add("MSGTYPE", "B2", 0, true);
        Grid.Columns().Add("MSGNUMBER", "", 0, true);
        Grid.Columns().Add("NAVAREA");
        Grid.Columns().Add("STATION", "", 0, true);
        Grid.Columns().Add("DIST", "DIST (Km)", 0, true);
        DataSet.AfterPost = [this](TDataSet*) { ++Posts; };
        Source.OnUpdateData = [this](TPersistent*) { ++UpdateData; };
        SavedHandler = App->OnException;
        App->OnException = [this](const std::string& Sender, const std::exception* E) {
            Trapped.push_back(ExceptionLine(Sender, E));
        };
        Focus(Grid);
    }
    ~TEditGrid() { App->OnException = SavedHandler; }
    std::string Field(const char* Name) { return DataSet.FieldByName(Name)->AsString(); }
};

}  // namespace

TEST(DBGrid, TypingEditsTheCellAndEnterPostsOnce) {
    TEditGrid f;
    f.DataSet.Next();
    f.Grid.SetSelectedIndex(3);
    Type("x");
    ASSERT_TRUE(f.Grid.EditorOpen());
    EXPECT_EQ(f.DataSet.State(), dsEdit);  // the first change
    EXPECT_EQ(f.Grid.Editor()->text(), "x");
    tilo_test::SaveGrab(f.Grid.grab().toImage(), "dbgrid-editor-open");
    Key(f.Grid.Editor(), Qt::Key_Return);
    EXPECT_FALSE(f.Grid.EditorOpen());
    EXPECT_EQ(f.DataSet.State(), dsBrowse);
    EXPECT_EQ(f.Posts, 1);
    EXPECT_EQ(f.UpdateData, 1);
    EXPECT_EQ(f.Field("IDLETTER"), "x");
    EXPECT_EQ(f.Cell(1, 3), "x");
    EXPECT_EQ(f.DataSet.TrueRecNo(), 2);
    EXPECT_TRUE(f.Trapped.empty());

    // F2 opens the editor on the cell's text; Esc cancels.
    Key(&f.Grid, Qt::Key_F2);
    ASSERT_TRUE(f.Grid.EditorOpen());
    EXPECT_EQ(f.Grid.Editor()->text(), "x");
    EXPECT_EQ(f.DataSet.State(), dsBrowse);  // nothing changed yet
    Type("Q");
    EXPECT_EQ(f.DataSet.State(), dsEdit);
    Key(f.Grid.Editor(), Qt::Key_Escape);
    EXPECT_FALSE(f.Grid.EditorOpen());
    EXPECT_EQ(f.DataSet.State(), dsBrowse);
    EXPECT_EQ(f.Field("IDLETTER"), "x");
    EXPECT_EQ(f.Cell(1, 3), "x");
    EXPECT_EQ(f.Posts, 1);
}

TEST(DBGrid, LeavingTheRowPostsTheTypedText) {
    TEditGrid f;
    f.Grid.SetSelectedIndex(6);
    Type("12");
    ASSERT_TRUE(f.Grid.EditorOpen());
    Key(f.Grid.Editor(), Qt::Key_Down);
    EXPECT_EQ(f.Posts, 1);
    EXPECT_EQ(f.UpdateData, 1);
    EXPECT_EQ(f.DataSet.TrueRecNo(), 2);
    EXPECT_EQ(f.Cell(0, 6), "12");
    f.DataSet.First();
    EXPECT_EQ(f.Field("NAVAREA"), "12");

    // A click on another row, and a post from elsewhere, write the open editor's text too.
    f.Grid.SetSelectedIndex(3);
    Type("k");
    Click(f.Grid, 4, 3);
    EXPECT_EQ(f.Posts, 2);
    EXPECT_EQ(f.Cell(0, 3), "k");
    EXPECT_EQ(f.DataSet.TrueRecNo(), 5);
    Type("m");
    f.DataSet.Post();
    EXPECT_EQ(f.Posts, 3);
    EXPECT_EQ(f.UpdateData, 3);
    EXPECT_EQ(f.Field("IDLETTER"), "m");
    EXPECT_FALSE(f.Grid.EditorOpen());
}

TEST(DBGrid, EditingIsRefusedWhereTheGridColumnSourceOrDatasetForbidIt) {
    struct Case {
        const char* Name;
        std::function<void(TEditGrid&)> Setup;
        int Column;
    } const cases[] = {
        {"read-only column", [](TEditGrid&) {}, 7},
        {"read-only grid", [](TEditGrid& g) { g.Grid.ReadOnly = true; }, 3},
        {"row select", [](TEditGrid& g) { g.Grid.RowSelect = true; }, 3},
        {"source without AutoEdit", [](TEditGrid& g) { g.Source.AutoEdit = false; }, 3},
        {"read-only field", [](TEditGrid& g) { g.DataSet.FieldByName("IDLETTER")->SetReadOnly(true); }, 3},
        {"read-only dataset", [](TEditGrid& g) { g.DataSet.ReadOnly = true; }, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TEditGrid f;
        c.Setup(f);
        f.Grid.SetSelectedIndex(c.Column);
        Type("z");
        Key(&f.Grid, Qt::Key_F2);
        EXPECT_FALSE(f.Grid.EditorOpen());
        EXPECT_EQ(f.DataSet.State(), dsBrowse);
        Key(&f.Grid, Qt::Key_Return);
        EXPECT_EQ(f.Posts, 0);
    }
}

TEST(DBGrid, AValueTheFieldRefusesKeepsTheDatasetEditingAndIsTrapped) {
    TEditGrid f;
    f.Grid.SetSelectedIndex(6);
    const std::string old = f.Field("NAVAREA");
    Type("ab");
    Key(f.Grid.Editor(), Qt::Key_Return);
    EXPECT_EQ(f.DataSet.State(), dsEdit);
    EXPECT_EQ(f.Field("NAVAREA"), old);
    EXPECT_EQ(f.Posts, 0);
    ASSERT_EQ(f.Trapped.size(), 1u);
    EXPECT_TRUE(tilo_test::Like(f.Trapped[0], "EXCEPTION trapped @* TDBGrid *ab*")) << f.Trapped[0];
    ASSERT_TRUE(f.Grid.EditorOpen());  // the operator may mend the text
    f.Grid.Editor()->selectAll();
    Type("7");
    Key(f.Grid.Editor(), Qt::Key_Return);
    EXPECT_EQ(f.DataSet.State(), dsBrowse);
    EXPECT_EQ(f.Field("NAVAREA"), "7");
    EXPECT_EQ(f.Posts, 1);
}
