// Every page read as a user reads it, at 1280 x 800 and at 1920 x 1080, over a receiver
// started as the program starts it (the shipped station list, stored messages, a plotted
// statistics chart, a chosen ephemeris station): no label, button, group title, tab,
// list or grid header, grid cell, chart title or axis title is cut at its widget's
// width. Grabs of every page at both sizes go to build/test/grabs for review. Beside
// it: the record count right after each store, delete and filter, and the lower pane's
// splitter kept between runs.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSplitter>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "HomeFolder.h"
#include "MainTestKit.h"
#include "QtTestApp.h"
#include "ScriptedPrompts.h"
#include "app/Controls.h"
#include "app/DBCtrls.h"
#include "app/DBGrids.h"
#include "app/DataModule.h"
#include "app/U_Main.h"
#include "app/UCommon.h"
#include "classlib/DB.h"
#include "engine/access/ORQMain.h"

namespace fs = std::filesystem;
using namespace tilo;

namespace {

QString Mnemonicless(QString Text) {
    Text.replace("&&", "\x01");
    Text.remove('&');
    Text.replace("\x01", "&");
    return Text;
}

// The texts that the visible widgets under Root cut at their width, each as
// "<class> <name>: <text> needs <n> px, has <m>".
std::vector<std::string> CutTexts(const QWidget& Root) {
    std::vector<std::string> out;
    auto check = [&](const QWidget* W, const QString& Text, int Need, int Room) {
        if (Need > Room)
            out.push_back(std::string(W->metaObject()->className()) + " " + W->objectName().toStdString() + ": \"" +
                          Text.toStdString() + "\" needs " + std::to_string(Need) + " px, has " +
                          std::to_string(Room));
    };
    for (const QWidget* w : Root.findChildren<QWidget*>()) {
        if (!w->isVisible() || w->isWindow()) continue;
        const QFontMetrics fm = w->fontMetrics();
        if (const auto* l = qobject_cast<const QLabel*>(w)) {
            if (l->text().isEmpty() || l->wordWrap() || Qt::mightBeRichText(l->text())) continue;
            const QRect r = l->contentsRect().marginsRemoved(QMargins(l->margin(), 0, l->margin(), 0));
            check(l, l->text(), fm.horizontalAdvance(l->text()) + std::max(0, l->indent()), r.width());
        } else if (const auto* p = qobject_cast<const QPushButton*>(w)) {
            if (p->text().isEmpty()) continue;
            const QString t = Mnemonicless(p->text());
            QStyleOptionButton o;
            o.initFrom(p);
            o.text = p->text();
            o.rect = p->rect();
            check(p, t, fm.horizontalAdvance(t), p->style()->subElementRect(QStyle::SE_PushButtonContents, &o, p).width());
        } else if (const auto* b = qobject_cast<const QAbstractButton*>(w)) {  // check boxes, radio buttons
            if (b->text().isEmpty()) continue;
            check(b, b->text(), b->sizeHint().width(), b->width());
        } else if (const auto* g = qobject_cast<const QGroupBox*>(w)) {
            if (g->title().isEmpty()) continue;
            QFont f = g->font();
            const int indicator = g->isCheckable() ? g->style()->pixelMetric(QStyle::PM_IndicatorWidth) : 0;
            check(g, g->title(), QFontMetrics(f).horizontalAdvance(g->title()) + indicator + 2 * fm.averageCharWidth(),
                  g->width());
        } else if (const auto* t = qobject_cast<const QTabBar*>(w)) {
            for (int i = 0; i < t->count(); ++i) {
                const QRect r = t->tabRect(i);
                check(t, t->tabText(i), fm.horizontalAdvance(Mnemonicless(t->tabText(i))),
                      t->rect().contains(r) ? r.width() - 2 : 0);
            }
        } else if (const auto* h = qobject_cast<const QHeaderView*>(w)) {
            if (!h->model() || h->orientation() != Qt::Horizontal) continue;
            const int margin = 2 * h->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, h);
            for (int i = 0; i < h->count(); ++i) {
                if (h->isSectionHidden(i) || h->sectionSize(i) == 0) continue;
                const QString text = h->model()->headerData(i, Qt::Horizontal).toString();
                if (!text.isEmpty()) check(h, text, QFontMetrics(h->font()).horizontalAdvance(text) + margin, h->sectionSize(i));
            }
        } else if (const auto* s = qobject_cast<const TStringGrid*>(w)) {
            for (int c = 0; c < s->ColCount(); ++c) {
                if (s->isColumnHidden(c)) continue;
                for (int r = 0; r < s->RowCount(); ++r) {
                    const std::string text = s->Cells(c, r);
                    if (!text.empty()) check(s, QString::fromLatin1(text), s->TextWidth(text), s->ColWidths(c));
                }
            }
        } else if (const auto* tv = qobject_cast<const QTableView*>(w)) {  // the rows in view
            const int margin = 2 * (tv->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, tv) + 1);
            const QAbstractItemModel* m = tv->model();
            for (int r = 0; m && r < m->rowCount(); ++r) {
                if (tv->rowViewportPosition(r) > tv->viewport()->height()) break;
                for (int c = 0; c < m->columnCount(); ++c) {
                    if (tv->isColumnHidden(c)) continue;
                    const QString text = m->index(r, c).data().toString();
                    if (!text.isEmpty()) check(tv, text, fm.horizontalAdvance(text) + margin, tv->columnWidth(c));
                }
            }
        } else if (const auto* v = qobject_cast<const QChartView*>(w)) {
            const QChart* c = v->chart();
            if (!c->title().isEmpty())
                check(v, c->title(), QFontMetrics(c->titleFont()).horizontalAdvance(c->title()),
                      int(c->size().width()) - c->margins().left() - c->margins().right());
            for (const QAbstractAxis* a : c->axes()) {
                if (!a->isVisible() || !a->isTitleVisible() || a->titleText().isEmpty()) continue;
                const int room = int(a->orientation() == Qt::Vertical ? c->plotArea().height() : c->plotArea().width());
                check(v, a->titleText(), QFontMetrics(a->titleFont()).horizontalAdvance(a->titleText()), room);
            }
        } else if (const auto* e = qobject_cast<const QLineEdit*>(w)) {
            if (!e->isReadOnly() || e->text().isEmpty() || qobject_cast<const TTickerEdit*>(e)) continue;
            const QMargins m = e->textMargins();
            check(e, e->text(), fm.horizontalAdvance(e->text()) + m.left() + m.right() + 4, e->contentsRect().width());
        }
    }
    return out;
}

std::string FileName(const QString& Title) {
    std::string s = Title.toLower().toStdString();
    for (char& ch : s)
        if (ch == ' ') ch = '-';
    return s;
}

struct StartedReceiver : testing::Test {
    tilo_test::THomeFolder Folder;
    fs::path Home;
    tilo_test::TScriptedPrompts Prompts;
    std::unique_ptr<TDataModule1> Module;
    std::unique_ptr<TfrmMain> W;

    void SetUp() override {
        Folder.Enter();
        Home = Folder.Path;
        TDataModule1::DefaultDataFolder = std::string(TILO_SOURCE_DIR) + "/data";
        std::ofstream(Home / "Tilo.ini", std::ios::binary) << "[OPTIONS]\r\nRX_LAT=59.9\r\nRX_LON=10.7\r\n";
    }
    void TearDown() override {
        W.reset();
        Module.reset();
        Folder.Leave();
    }
    // The program's order: the store, the window on it shown at Size, the delayed opening.
    void Start(QSize Size) {
        if (!Module) Module = std::make_unique<TDataModule1>();
        W = std::make_unique<TfrmMain>();
        W->DataModule1 = Module.get();
        W->ClockSource = [] { return tilo_test::Utc(2026, 3, 20, 12, 0, 0); };
        W->AudioSourceFactory = [] { return std::unique_ptr<TAudioSource>(new tilo_test::TNoDevice); };
        W->show();
        W->resize(Size);
        QApplication::processEvents();
        W->TimOpenDBTimer();
        QApplication::processEvents();
    }
    // A finished message as the decoder hands it over.
    void Decoded(char Letter, const std::string& Serial, const std::string& Body, double Utc) {
        const std::string text = "2026-03-16 10:20:30> ZCZC " + std::string(1, Letter) + "A" + Serial + "\r\n" +
                                 "2026-03-16 10:20:31> " + Body + "\r\n2026-03-16 10:20:32> NNNN\r\n";
        W->AddLogRecord(Letter, "A", Utc, Serial, text, 518, 90);
    }
    std::string Count() {
        QApplication::processEvents();
        return W->lblRecCount->text().toStdString();
    }
};

}  // namespace

TEST_F(StartedReceiver, EveryPageIsReadableAt1280x800And1920x1080) {
    for (const QSize size : {QSize(1280, 800), QSize(1920, 1080)}) {
        const std::string tag = std::to_string(size.width()) + "x" + std::to_string(size.height());
        SCOPED_TRACE(tag);
        Start(size);
        ASSERT_EQ(W->size(), size);
        // Messages of the shipped SVALBARD station (NAVAREA 19, A) on three days.
        for (int d = 0; d < 3; ++d)
            Decoded('A', "0" + std::to_string(d + 1), "GALE WARNING SVALBARD ISFJORD",
                    tilo_test::Utc(2026, 3, 14 + d, 8, 0, 0));
        // The statistics of that station over the week, plotted.
        W->cbNavStat->setCurrentText("19");
        W->cbNavStatChange();
        ASSERT_GT(W->cbNavStations->count(), 0);
        W->DtpStart->setDate(QDate(2026, 3, 12));
        W->DtpEnd->setDate(QDate(2026, 3, 19));
        W->sbPlotStatsClick();
        // The ephemeris of a station with a long name, and of one without a call sign.
        classlib::TDataSet& stations = *Module->StationTable;
        for (stations.First(); !stations.Eof(); stations.Next())
            if (stations.FieldByName("LOCATION")->AsString() == "SAN FRANCISCO") break;
        ASSERT_FALSE(stations.Eof());
        W->DBStationGrdDblClick();
        W->gbAtlas->show();  // the map group's controls, shown once connected

        std::vector<std::string> cut;
        auto look = [&](QTabWidget* Pages, int Index, const std::string& Prefix) {
            Pages->setCurrentIndex(Index);
            QApplication::processEvents();
            for (const std::string& c : CutTexts(*W)) cut.push_back(Pages->tabText(Index).toStdString() + ": " + c);
            tilo_test::SaveGrab(W->grab().toImage(), "readable-" + tag + "-" + Prefix + FileName(Pages->tabText(Index)));
        };
        for (int i = 0; i < W->PageControl1->count(); ++i) look(W->PageControl1, i, "");
        for (int i = 0; i < W->PageControl2->count(); ++i) look(W->PageControl2, i, "lower-");
        EXPECT_TRUE(cut.empty()) << testing::PrintToString(cut);

        // A page gets the most of the height; the lower pane is no more than a third.
        EXPECT_GE(W->PageControl1->height(), 2 * W->PageControl2->height() - 10);
        // Positions are edits of a position's width, not the page's.
        for (const QLineEdit* e : {W->edtRXLat, W->edtRXLon, W->edtLat, W->edtLon})
            EXPECT_LT(e->width(), 16 * e->fontMetrics().averageCharWidth()) << e->objectName().toStdString();
        W->TimOpenDB->stop();
        W->FormCloseQuery(false);
        W.reset();
        Module.reset();
    }
}

TEST_F(StartedReceiver, TheRecordCountFollowsEveryStoreDeleteAndFilter) {
    Start({1280, 800});
    EXPECT_EQ(Count(), "RECORDS: 0");
    Decoded('A', "01", "GALE WARNING", tilo_test::Utc(2026, 3, 16, 10, 0, 0));
    EXPECT_EQ(Count(), "RECORDS: 1");
    Decoded('B', "02", "ICE REPORT", tilo_test::Utc(2026, 3, 16, 11, 0, 0));
    EXPECT_EQ(Count(), "RECORDS: 2");
    // Filtered to letter B: the count under the filter, after each store too.
    W->edtID->setText("B");
    W->sbFilterClick();
    EXPECT_EQ(Count(), "RECORDS: 1");
    Decoded('B', "03", "BUOY ADRIFT", tilo_test::Utc(2026, 3, 16, 12, 0, 0));
    EXPECT_EQ(Count(), "RECORDS: 2");
    Decoded('C', "04", "NAVAREA WARNING", tilo_test::Utc(2026, 3, 16, 13, 0, 0));
    EXPECT_EQ(Count(), "RECORDS: 2");
    // A delete of the current record, not through the navigator.
    classlib::TDataSet& log = *W->DBLogGridView->DataSource()->DataSet();
    log.Last();
    log.Delete();
    EXPECT_EQ(Count(), "RECORDS: 1");
    W->sbClearClick();
    EXPECT_EQ(Count(), "RECORDS: 3");
    W->TimOpenDB->stop();
}

TEST_F(StartedReceiver, TheLowerPanesHeightIsTheUsersAndKeptBetweenRuns) {
    Start({1280, 800});
    ASSERT_TRUE(W->splPages->handle(1)->isVisible());
    const int total = W->splPages->sizes()[0] + W->splPages->sizes()[1];
    // The user drags the handle up: the lower pane takes half.
    W->splPages->setSizes({total / 2, total - total / 2});
    const int chosen = W->PaneHeight();
    EXPECT_EQ(chosen, total - total / 2);
    W->FormCloseQuery(false);
    std::ifstream ini(Home / "Tilo.ini", std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(ini)), {});
    EXPECT_NE(text.find("SPLITTER=" + std::to_string(chosen)), std::string::npos) << text;
    W.reset();
    Module.reset();

    Start({1280, 800});
    EXPECT_EQ(W->PaneHeight(), chosen);
    W->TimOpenDB->stop();
}
