// The main window's frame: the pages in their order, the controls the pages take over
// in their design state, the log and station grids' columns, the decoder's controls
// beside the ticker, the scope's first paint and the about box. Grabs of every page go
// to build/test/grabs for review.
#include <QCheckBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTimer>
#include <QMouseEvent>
#include <gtest/gtest.h>

#include "MainTestKit.h"
#include "QtTestApp.h"
#include "app/DBCtrls.h"
#include "app/DBGrids.h"
#include "app/PaintImage.h"
#include "app/components/AnalogGauge.h"
#include "app/uAbout.h"

using namespace tilo;

namespace {

std::vector<std::string> Titles(const QTabWidget* Pages) {
    std::vector<std::string> out;
    for (int i = 0; i < Pages->count(); ++i) out.push_back(Pages->tabText(i).toStdString());
    return out;
}

}  // namespace

TEST(Frame, PagesInTheirOrderWithTheirControls) {
    TfrmMain w;
    EXPECT_EQ(Titles(w.PageControl1),
              (std::vector<std::string>{"Spectrum", "Messages", "System Log", "NAVTEX Schedule", "Calibration",
                                        "Options", "Database", "Stations", "Ephemeris", "Report",
                                        "Reception Statistics"}));
    EXPECT_EQ(Titles(w.PageControl2), (std::vector<std::string>{"Waterfall", "Message"}));
    EXPECT_EQ(w.PageControl1->indexOf(w.tsCalibration), 4);
    // Each control on its page, found by its form name as the pages look it up.
    const std::pair<const char*, QWidget*> placed[] = {
        {"ChSpectrum", w.tsSpectrum},   {"chHist", w.tsSpectrum},       {"DBLogGrid", w.tsMessages},
        {"DBMemo1", w.tsMessages},      {"DBNavigator1", w.tsMessages}, {"lblRecCount", w.tsMessages},
        {"cbNav", w.tsMessages},        {"lbCorFac", w.tsCalibration},  {"tbCorFac", w.tsCalibration},
        {"edtRXLat", w.tsOptions},      {"edtRXLon", w.tsOptions},      {"edtMinUNIDLen", w.tsOptions},
        {"cbMinUNIDLen", w.tsOptions},  {"cbConfirmDelete", w.tsOptions}, {"cbAllStations", w.tsOptions},
        {"mePersonalInfo", w.tsOptions}, {"rgSampRate", w.tsCalibration},  {"DTPCleanup", w.tsDatabase},
        {"lbAllStations", w.tsStations}, {"DBStationGrd", w.tsEphemeris}, {"DtpEphem", w.tsEphemeris},
        {"cbNavStat", w.tsStatistics},  {"DtpStart", w.tsStatistics},   {"DtpEnd", w.tsStatistics},
        {"dtpAtlas", w.tsStatistics},   {"pbWfall", w.tsWaterfall},     {"imScope", w.tsWaterfall},
        {"meLog", w.tsMessage},
    };
    for (const auto& [name, page] : placed) {
        SCOPED_TRACE(name);
        auto* c = w.findChild<QWidget*>(name);
        ASSERT_NE(c, nullptr);
        EXPECT_TRUE(page->isAncestorOf(c));
    }
    EXPECT_EQ(w.DBLogGrid, w.DBLogGridView);
    EXPECT_EQ(w.DBStationGrd, w.DBStationGridView);
    EXPECT_EQ(w.DBLogGridView->DataSource(), nullptr);
    EXPECT_EQ(w.DBStationGridView->DataSource(), nullptr);
    EXPECT_FALSE(w.TimOpenDB->isActive());
    EXPECT_EQ(w.TimOpenDB->interval(), 1000);
}

TEST(Frame, TheGridsColumnsTitlesAndWhatMayBeEdited) {
    TfrmMain w;
    struct Col {
        const char* field;
        const char* title;
        bool readOnly;
    };
    const Col log[] = {{"UTCRECEIVED", "", true}, {"FREQ", "", true},      {"SIGQUAL", "SQ", true},
                       {"IDLETTER", "B1", false}, {"MSGTYPE", "B2", true}, {"MSGNUMBER", "", true},
                       {"NAVAREA", "", false},    {"STATION", "", true},   {"DIST", "DIST (Km)", true}};
    TDBGridColumns& c = w.DBLogGridView->Columns();
    ASSERT_EQ(c.Count(), 9);
    for (int i = 0; i < c.Count(); ++i) {
        EXPECT_EQ(c[i].FieldName, log[i].field);
        EXPECT_EQ(c[i].Title, log[i].title);
        EXPECT_EQ(c[i].ReadOnly, log[i].readOnly) << log[i].field;
    }
    EXPECT_EQ(w.DBMemo1->DataField(), "MSGTEXT");
    EXPECT_TRUE(w.DBMemo1->isReadOnly());
    for (TNavigateBtn b : {nbFirst, nbPrior, nbNext, nbLast, nbDelete}) EXPECT_NE(w.DBNavigator1->Button(b), nullptr);
    for (TNavigateBtn b : {nbInsert, nbEdit, nbPost, nbCancel, nbRefresh}) EXPECT_EQ(w.DBNavigator1->Button(b), nullptr);

    TDBGridColumns& s = w.DBStationGridView->Columns();
    const char* stations[] = {"NAVAREA", "IDLETTER", "FREQ", "CALLSIGN", "LOCATION", "COUNTRYCODE"};
    ASSERT_EQ(s.Count(), 6);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(s[i].FieldName, stations[i]);
    EXPECT_TRUE(w.DBStationGridView->ReadOnly);
    EXPECT_TRUE(w.DBStationGridView->RowSelect);
}

TEST(Frame, TheDecodersControlsBesideTheTickerReachTheDecoder) {
    TfrmMain w;
    w.meSysLog->clear();
    EXPECT_EQ(w.cbUOSBox->objectName().toStdString(), "cbUOS");
    EXPECT_EQ(w.cbUOSBox->text().toStdString(), "UoS");
    EXPECT_FALSE(w.cbUOS());
    w.cbUOSBox->click();
    EXPECT_TRUE(w.cbUOS());
    EXPECT_EQ(w.RadioGroup1->title().toStdString(), "SIGNAL POLARITY");
    const auto buttons = w.RadioGroup1->findChildren<QRadioButton*>();
    ASSERT_EQ(buttons.size(), 2);
    EXPECT_EQ(buttons[0]->text().toStdString(), "Normal  (USB)");
    EXPECT_EQ(buttons[1]->text().toStdString(), "Inverted (LSB)");
    EXPECT_EQ(w.RadioGroup1ItemIndex(), 0);
    buttons[1]->click();
    EXPECT_EQ(w.RadioGroup1ItemIndex(), 1);
    w.sbForceResync->click();
    std::vector<std::string> lines;
    for (int i = 0; i < w.meSysLogLineCount(); ++i) lines.push_back(w.meSysLogLine(i).substr(9));
    ASSERT_GE(lines.size(), 3u) << testing::PrintToString(lines);
    EXPECT_EQ(lines[0], "Unshift On Space: ON");
    EXPECT_EQ(lines[1], "Signal polarity: INVERTED");
    w.RadioGroup1->SetItemIndex(0);
    w.Decoder.RadioGroup1Click();  // the modem's polarity is shared: put it back
}

TEST(Frame, TheScopesFirstPaintTheWaterfallBitmapAndTheAboutBox) {
    TfrmMain w;
    TFrmAbout about(&w);
    w.FrmAbout = &about;
    ASSERT_NE(w.FWaterfallBitmap, nullptr);
    EXPECT_EQ(w.FWaterfallBitmap->size(), w.pbWfall->size());
    EXPECT_EQ(w.FWaterfallBitmap->format(), QImage::Format_RGB888);
    EXPECT_EQ(w.FWaterfallBitmap->pixelColor(3, 3), QColor(Qt::black));
    EXPECT_TRUE(w.pbWfall->testAttribute(Qt::WA_OpaquePaintEvent));
    EXPECT_TRUE(w.imScope->testAttribute(Qt::WA_OpaquePaintEvent));

    w.FormActivate();
    const QImage scope = w.imScope->Picture;
    ASSERT_FALSE(scope.isNull());
    EXPECT_EQ(scope.pixelColor(0, 0), QColor(0, 128, 0));
    EXPECT_EQ(scope.pixelColor(scope.width() / 2, scope.height() / 2), QColor(0, 22, 0));
    // Once only: a later activation leaves a drawn scope alone.
    w.imScope->Picture.fill(Qt::red);
    w.FormActivate();
    EXPECT_EQ(w.imScope->Picture.pixelColor(5, 5), QColor(Qt::red));

    w.show();
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QCoreApplication::sendEvent(w.Image1, &press);
    EXPECT_TRUE(about.isVisible());
    EXPECT_EQ(about.windowTitle().toStdString(), "About Tilo...");
    EXPECT_TRUE(about.windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(about.palette().color(QPalette::Window), QColor(Qt::black));
    EXPECT_EQ(about.SpeedButton1->text().toStdString(), "CLOSE");
    tilo_test::SaveGrab(about.grab().toImage(), "about-box");
    about.SpeedButton1->click();
    EXPECT_FALSE(about.isVisible());
    w.FrmAbout = nullptr;
}

TEST(Frame, PageGrabsForReview) {
    TfrmMain w;
    w.ClockSource = [] { return tilo_test::Utc(2024, 5, 17, 6, 30, 0); };
    w.meLogAdd("2024-05-17 06:29:58> ZCZC EA01");
    w.meLogAdd("2024-05-17 06:29:59> GALE WARNING");
    w.resize(1000, 760);
    w.show();
    QCoreApplication::processEvents();
    for (int i = 0; i < w.PageControl1->count(); ++i) {
        w.PageControl1->setCurrentIndex(i);
        QCoreApplication::processEvents();
        std::string name = w.PageControl1->tabText(i).toLower().toStdString();
        for (char& ch : name)
            if (ch == ' ') ch = '-';
        tilo_test::SaveGrab(w.grab().toImage(), "main-window-" + name);
    }
    w.TimOpenDB->stop();  // no start-up here
}

TEST(Frame, TheBlockHandlersGaugeValuesReachTheirGauges) {
    TfrmMain w;
    w.show();
    w.TimOpenDB->stop();  // no start-up here
    const std::pair<TDecoderGauge, TAnalogGauge*> gauges[] = {
        {TDecoderGauge::Gaugelvl, w.Gaugelvl}, {TDecoderGauge::ErrGauge, w.ErrGauge}, {TDecoderGauge::GaugeCPU, w.GaugeCPU}};
    float value = 10;
    for (const auto& [which, gauge] : gauges) {
        w.SetGaugePosition(which, value);
        w.SetGaugeCaption(which, std::to_string(int(value)) + " %");
        w.DisplayFrame();
        for (const auto& [other, g] : gauges) {
            if (g == gauge) {
                EXPECT_FLOAT_EQ(g->Position(), value);
                EXPECT_EQ(g->Caption(), std::to_string(int(value)) + " %");
            } else {
                EXPECT_NE(g->Position(), value) << g->objectName().toStdString();
            }
        }
        value += 10;
    }
}
