// The receiver's pages as a user sees them: the schedule grid's fixed columns, its
// selection across rebuilds and "On Air Now"; the LEDs; the gauge's needle, dial and
// scale numbers at other angles and sizes; the margins and elision of the two dialogs.
// Each case leaves a grab in <build>/grabs for review.
#include <gtest/gtest.h>

#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTabWidget>
#include <QTimer>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "MainTestKit.h"
#include "QtTestApp.h"
#include "StationTableKit.h"
#include "app/ORQDlgWait.h"
#include "app/ORQPasswordDialog.h"
#include "app/components/AnalogGauge.h"
#include "app/components/Led.h"

using namespace tilo;
using tilo_test::TStationTable;
using tilo_test::Utc;

namespace {

struct THomeGuard {
    THomeGuard() : Folder(tilo_test::TempFolder()) { setenv("TILO_HOME", Folder.c_str(), 1); }
    ~THomeGuard() { unsetenv("TILO_HOME"); }
    std::string Folder;
};

// A station in every NAVAREA, each on air in several slotTexts of the day: a grid wider
// and longer than the page.
struct TBusySchedule {
    THomeGuard home;
    TStationTable st;
    std::vector<std::string> names;
    TBusySchedule() {
        names.reserve(21);
        for (int n = 1; n <= 21; ++n) {
            names.push_back("STATION OF NAVAREA " + std::to_string(n));
            const std::string h1 = (n < 10 ? "0" : "") + std::to_string(n % 24) + ":00";
            const std::string h2 = std::to_string(12 + n % 12) + ":10";
            st.Add({n, 518, "A", "C", names.back().c_str(), "XX", 0, 0, {h1, h2}});
        }
    }
};

bool Uniform(const QImage& Image) {
    for (int y = 0; y < Image.height(); ++y)
        for (int x = 0; x < Image.width(); ++x)
            if (Image.pixel(x, y) != Image.pixel(0, 0)) return false;
    return true;
}

}  // namespace

TEST(SchedulePage, FixedColumnsStayInViewWhenTheGridScrollsRight) {
    TBusySchedule schedule;
    TfrmMain w;
    w.PageControl1->setCurrentWidget(w.tsSchedule);
    w.resize(700, 500);
    w.show();
    w.TimOpenDB->stop();  // the start-up tick would rebuild the pages mid-test
    w.BuildScheduleGrid(false);
    QCoreApplication::processEvents();
    TStringGrid& g = *w.sgSched;
    QScrollBar& h = *g.horizontalScrollBar();
    ASSERT_GT(h.maximum(), 0) << "the grid must be wider than the page";
    const int fixedRight = g.viewport()->x() + g.ColWidths(0) + g.ColWidths(1);
    EXPECT_EQ(g.visualItemRect(g.item(1, 2)).left(), g.ColWidths(0) + g.ColWidths(1));

    const QImage left = g.grab().toImage();
    h.setValue(h.maximum());
    QCoreApplication::processEvents();
    const QImage scrolled = g.grab().toImage();
    tilo_test::SaveGrab(left, "schedule-fixed-columns-left");
    tilo_test::SaveGrab(scrolled, "schedule-fixed-columns-scrolled");

    // The slot and frequency columns stand where they stood, pixel for pixel (above the
    // scroll bar); the rest moved.
    const int bottom = g.viewport()->y() + g.viewport()->height();
    const QRect strip(0, 0, fixedRight, bottom);
    EXPECT_FALSE(Uniform(left.copy(strip)));
    EXPECT_TRUE(left.copy(strip) == scrolled.copy(strip)) << "the fixed columns moved";
    const QRect rest(fixedRight, 0, left.width() - fixedRight, bottom);
    EXPECT_FALSE(left.copy(rest) == scrolled.copy(rest));
    // The last column is wholly in view, and a cell moved to by the keyboard is not
    // left behind the fixed columns.
    EXPECT_LE(g.visualItemRect(g.item(1, g.ColCount() - 1)).right(), g.viewport()->width());
    g.setCurrentCell(2, 3);
    EXPECT_GE(g.visualItemRect(g.item(2, 3)).left(), g.ColWidths(0) + g.ColWidths(1));
}

TEST(SchedulePage, ARebuildSelectsTheFirstRowAfreshWithPlainHeaders) {
    TBusySchedule schedule;
    TfrmMain w;
    w.PageControl1->setCurrentWidget(w.tsSchedule);
    w.resize(900, 500);
    w.show();
    w.TimOpenDB->stop();  // the start-up tick would rebuild the pages mid-test
    TStringGrid& g = *w.sgSched;
    w.ApplyNavareaString("111100000000000000000");
    w.BuildScheduleGrid(false);
    // What a user leaves behind: a selected row further down, then a rebuild with
    // other columns (APPLY), bearings (Show Bearings) or another frequency.
    struct Step {
        const char* name;
        std::string areas;
        bool bearings;
        int freq;  // rgFreq item
    } steps[] = {{"more columns", "111111110000000000000", false, 0},
                 {"fewer columns", "110000000000000000000", false, 0},
                 {"bearings", "110000000000000000000", true, 0},
                 {"other frequency", "110000000000000000000", true, 1},
                 {"back", "111111111111111111111", false, 0}};
    for (const Step& s : steps) {
        if (g.RowCount() > 3) g.SelectRow(3);
        w.ApplyNavareaString(s.areas);
        w.rgFreq->SetItemIndex(s.freq);
        w.BuildScheduleGrid(s.bearings);
        QCoreApplication::processEvents();
        // The first data row, whole, and nothing else; none at all without data rows.
        std::set<int> rows;
        int cells = 0;
        for (const QModelIndex& i : g.selectionModel()->selectedIndexes()) {
            rows.insert(i.row());
            ++cells;
        }
        if (g.RowCount() > 1) {
            EXPECT_EQ(rows, std::set<int>{1}) << s.name;
            EXPECT_EQ(cells, g.ColCount() - g.FixedCols()) << s.name;
            EXPECT_EQ(g.Row(), 1) << s.name;
        } else {
            EXPECT_TRUE(rows.empty()) << s.name;
        }
        // Headers look the same whatever is selected: none is drawn bold.
        const QImage shown = g.horizontalHeader()->grab().toImage();
        g.clearSelection();
        QCoreApplication::processEvents();
        EXPECT_TRUE(shown == g.horizontalHeader()->grab().toImage()) << s.name;
    }
    w.rgFreq->SetItemIndex(0);
    w.BuildScheduleGrid(false);
    QCoreApplication::processEvents();
    tilo_test::SaveGrab(w.grab().toImage(), "schedule-after-rebuild");
}

TEST(SchedulePage, OnAirNowKeepsEveryRowOfTheCurrentSlotInView) {
    TfrmMain w;
    w.PageControl1->setCurrentWidget(w.tsSchedule);
    w.resize(700, 420);
    w.show();
    w.TimOpenDB->stop();  // the start-up tick would rebuild the pages mid-test
    TStringGrid& g = *w.sgSched;
    // 60 rows: a slot every 20 minutes, the 06:40 and 14:00 slotTexts with two and three rows.
    std::vector<std::string> slotTexts;
    for (int m = 0; m < 20 * 60 && slotTexts.size() < 60; m += 20) {
        const std::string slot = std::string(1, char('0' + m / 600)) + char('0' + m / 60 % 10) + ":" +
                                 char('0' + m % 60 / 10) + "0";
        const int copies = slot == "06:40" ? 2 : slot == "14:00" ? 3 : 1;
        for (int i = 0; i < copies; ++i) slotTexts.push_back(slot);
    }
    g.SetColCount(3);
    g.SetRowCount(1 + int32_t(slotTexts.size()));
    g.ClearCells();
    for (std::size_t r = 0; r < slotTexts.size(); ++r) {
        g.SetCells(0, int32_t(r + 1), slotTexts[r]);
        g.SetCells(2, int32_t(r + 1), "1S SOMEWHERE,XX");
    }
    QCoreApplication::processEvents();
    ASSERT_GT(g.verticalScrollBar()->maximum(), 0);
    auto rowOf = [&](const std::string& slot) {
        for (int32_t r = 1; r < g.RowCount(); ++r)
            if (g.Cells(0, r) == slot) return r;
        return -1;
    };
    struct Case {
        int h, m;
        std::string slot;
        int rows;  // of that slot
    } cases[] = {{6, 45, "06:40", 2}, {14, 5, "14:00", 3}, {3, 0, "03:00", 1}};
    for (const Case& c : cases) {
        w.ClockSource = [&] { return Utc(2024, 6, 1, c.h, c.m, 0); };
        g.SetTopRow(1);
        w.btnOnAirNow->click();
        QCoreApplication::processEvents();
        const int first = rowOf(c.slot);
        // The slot's first row at the top, its last one selected, all of them in view.
        EXPECT_EQ(g.TopRow(), first) << c.slot;
        EXPECT_EQ(g.Row(), first + c.rows - 1) << c.slot;
        const QRect last = g.visualItemRect(g.item(first + c.rows - 1, 2));
        EXPECT_GE(last.top(), 0) << c.slot;
        EXPECT_LE(last.bottom(), g.viewport()->height()) << c.slot;
    }
    tilo_test::SaveGrab(w.sgSched->grab().toImage(), "schedule-on-air-now");
}

// ---- LEDs ----

namespace {

int CountPixels(const QImage& Image, QRgb Colour) {
    int n = 0;
    for (int y = 0; y < Image.height(); ++y)
        for (int x = 0; x < Image.width(); ++x) n += Image.pixel(x, y) == Colour;
    return n;
}

}  // namespace

TEST(Leds, MainWindowLedsAreTwentyPixelsAndNamed) {
    TfrmMain w;
    std::set<QString> tips;
    for (TLed* led : {w.LedSync, w.LedCharin, w.ledCanTune}) {
        EXPECT_EQ(led->size(), QSize(20, 20));
        EXPECT_FALSE(led->toolTip().isEmpty());
        tips.insert(led->toolTip());
    }
    EXPECT_EQ(tips.size(), 3u);
    w.show();
    w.TimOpenDB->stop();  // the start-up tick would rebuild the pages mid-test
    w.SetLedStatus(TDecoderLed::LedSync, true);
    QCoreApplication::processEvents();
    tilo_test::SaveGrab(w.LedSync->grab().toImage().scaled(100, 100), "led-main-window-lit");
}

TEST(Leds, DrawnSmoothWithCleanCornersAndAHighlightThatScales) {
    // 16 pixels is where a lamp drawn without smoothing shows specks at its corners.
    const int sizes[] = {16, 20, 40};
    int whites[3] = {};
    for (int i = 0; i < 3; ++i) {
        const int size = sizes[i];
        QWidget back;
        back.setAutoFillBackground(true);
        back.resize(size, size);
        TLed led(&back);
        led.resize(size, size);
        led.SetOnColor(QColor(0, 200, 0));
        led.SetStatus(true);
        const QImage lit = back.grab().toImage();
        const QRgb ground = back.palette().color(QPalette::Window).rgb();
        for (QPoint corner : {QPoint(0, 0), QPoint(size - 1, 0), QPoint(0, size - 1), QPoint(size - 1, size - 1),
                              QPoint(1, 1), QPoint(size - 2, 1), QPoint(1, size - 2), QPoint(size - 2, size - 2)})
            EXPECT_EQ(lit.pixel(corner), ground) << size << " at " << corner.x() << "," << corner.y();
        // Antialiased: the rim blends into the ground.
        std::set<QRgb> colours;
        for (int y = 0; y < size; ++y)
            for (int x = 0; x < size; ++x) colours.insert(lit.pixel(x, y));
        EXPECT_GT(colours.size(), 12u) << size;
        whites[i] = CountPixels(lit, QColor(Qt::white).rgb());
        tilo_test::SaveGrab(lit.scaled(120, 120), "led-lit-" + std::to_string(size));
    }
    EXPECT_GT(whites[1], 0);
    EXPECT_GE(whites[2], 3 * whites[1]) << "the highlight keeps its size";
}

// ---- gauge ----

TEST(GaugeFaces, NeedleStopsAtTheEndsOfTheScale) {
    struct Case {
        float position;
        float shownAs;
    } cases[] = {{-50, 0}, {200, 140}, {140, 140}, {0, 0}, {70, 70}, {std::numeric_limits<float>::quiet_NaN(), 0}};
    for (TStyle style : {CenterStyle, LeftStyle, RightStyle}) {
        TAnalogGauge g;
        if (style != CenterStyle) g.resize(180, 225);
        g.SetStyle(style);
        g.SetAngle(style == CenterStyle ? 120 : 90);
        const TDialGeometry dial = DialGeometry(style, g.Angle(), g.Margin(), 1, g.width(), g.height());
        for (const Case& c : cases) {
            g.SetPosition(c.position);
            const QPoint tip = g.NeedleTip();
            EXPECT_EQ(tip, DialPoint(dial, ValueAngle(dial, c.shownAs, g.Scale()), dial.Radius))
                << style << " " << c.position;
            EXPECT_TRUE(QRect(0, 0, g.width(), g.height()).contains(tip)) << style << " " << c.position;
        }
        g.SetPosition(-50);
        tilo_test::SaveGrab(g.grab().toImage(), "gauge-needle-below-" + std::to_string(style));
        g.SetPosition(200);
        tilo_test::SaveGrab(g.grab().toImage(), "gauge-needle-above-" + std::to_string(style));
    }
}

TEST(GaugeFaces, WideDialsFitInsideTheGauge) {
    for (int angle : {120, 180, 270, 360}) {
        for (QSize size : {QSize(225, 180), QSize(180, 225), QSize(150, 120)}) {
            TAnalogGauge g;
            g.resize(size);
            g.SetAngle(angle);
            const int m = g.Margin();
            const TDialGeometry dial = DialGeometry(CenterStyle, angle, m, 1, size.width(), size.height());
            const QRect inside(m, m, size.width() - 2 * m + 1, size.height() - 2 * m + 1);
            for (int t = 0; t <= angle; ++t) {
                const QPoint p = DialPoint(dial, dial.Start + t, dial.Radius);
                ASSERT_TRUE(inside.contains(p)) << angle << " degrees at " << size.width() << "x" << size.height()
                                                 << ": (" << p.x() << "," << p.y() << ") at " << t;
            }
            // The dial is as large as the gauge lets it be: it touches the margin somewhere.
            const QRect reach = QRect(QPoint(m + 2, m + 2), QPoint(size.width() - m - 2, size.height() - m - 2));
            bool touches = false;
            for (int t = 0; t <= angle && !touches; ++t)
                touches = !reach.contains(DialPoint(dial, dial.Start + t, dial.Radius));
            EXPECT_TRUE(touches) << angle << " at " << size.width() << "x" << size.height();
            if (size == QSize(225, 180)) {
                g.SetPosition(95);
                tilo_test::SaveGrab(g.grab().toImage(), "gauge-angle-" + std::to_string(angle));
            }
        }
    }
}

TEST(GaugeFaces, ScaleNumbersKeepApartAtSmallSizes) {
    // Down to about half the design size; below that even the smallest font is crowded.
    for (QSize size : {QSize(225, 180), QSize(150, 120), QSize(120, 96)}) {
        for (TAntialiased aa : {aaNone, aaQuadral}) {
            TAnalogGauge g;
            g.resize(size);
            g.SetAntiAliased(aa);
            const std::vector<QRect> texts = g.ValueTextRects();
            ASSERT_EQ(texts.size(), 8u);
            for (std::size_t i = 0; i + 1 < texts.size(); ++i)
                EXPECT_FALSE(texts[i].intersects(texts[i + 1]))
                    << size.width() << "x" << size.height() << " aa " << aa << ": numbers " << i << " and " << i + 1;
            if (size == QSize(225, 180)) {
                // The design size keeps the gauge's own font.
                EXPECT_EQ(texts[0].height(), QFontMetrics(g.font()).height()) << aa;
            }
            if (aa == aaQuadral)
                tilo_test::SaveGrab(g.grab().toImage(),
                                    "gauge-numbers-" + std::to_string(size.width()) + "x" + std::to_string(size.height()));
        }
    }
}

// ---- dialogs ----

namespace {

// Columns of Image, inside Band, that hold a pixel much darker than the background.
std::vector<int> InkColumns(const QImage& Image, const QRect& Band) {
    const int ground = qGray(Image.pixel(Band.left() + Band.width() / 2, Band.top()));
    std::vector<int> columns;
    for (int x = Band.left(); x <= Band.right(); ++x)
        for (int y = Band.top(); y <= Band.bottom(); ++y)
            if (qGray(Image.pixel(x, y)) < ground - 80) {
                columns.push_back(x);
                break;
            }
    return columns;
}

}  // namespace

TEST(DialogFaces, TheWaitWindowKeepsItsMessageOffTheEdges) {
    auto* wait = new TfrmWait;
    wait->StartWait("Restructure Table... of a table whose name is long enough to fill every line of the message "
                    "area, WWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWW");
    const QImage image = wait->grab().toImage();
    tilo_test::SaveGrab(image, "wait-window-long-message");
    const QRect label = wait->lMessage->geometry();
    const std::vector<int> ink = InkColumns(image, label);
    ASSERT_FALSE(ink.empty());
    EXPECT_GE(ink.front(), 8);
    EXPECT_LE(ink.back(), image.width() - 1 - 8);
    EXPECT_GE(label.left(), wait->pb->geometry().left());
    EXPECT_LE(label.right(), wait->pb->geometry().right());
    wait->StopWait();
}

TEST(DialogFaces, ThePasswordDialogElidesALongNameInTheMiddle) {
    std::string password = "kept";
    const std::string name = "/home/operator/navtex/archive/2024/the-longest-database-name-anyone-uses/TILO_DB.ORQ";
    struct Case {
        std::string name;
        bool elided;
    } cases[] = {{name, true}, {"TILO_DB.ORQ", false}, {"", false}};
    for (const Case& c : cases) {
        TORQPassDialog d(password);
        d.SetName(c.name);
        const QString shown = d.lbName->text();
        const QString full = QString::fromStdString(c.name);
        if (c.elided) {
            EXPECT_TRUE(shown.contains(QChar(0x2026))) << shown.toStdString();
            EXPECT_TRUE(shown.startsWith(full.left(6))) << shown.toStdString();
            EXPECT_TRUE(shown.endsWith(full.right(6))) << shown.toStdString();
            EXPECT_EQ(d.lbName->toolTip(), full);
        } else {
            EXPECT_EQ(shown, full);
        }
        EXPECT_LE(d.lbName->fontMetrics().horizontalAdvance(shown), d.lbName->width());
        const QImage image = d.grab().toImage();
        const std::vector<int> ink = InkColumns(image, d.lbName->geometry().adjusted(-12, 0, 10, 0));
        if (!c.name.empty()) {
            ASSERT_FALSE(ink.empty());
            EXPECT_GE(ink.front(), 8) << c.name;
            EXPECT_LE(ink.back(), image.width() - 1 - 8) << c.name;
        }
        if (c.elided) tilo_test::SaveGrab(image, "password-dialog-long-name");
    }
    EXPECT_EQ(password, "kept");
}
