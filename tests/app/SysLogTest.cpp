// The main window's running services: system log, schedule line, ticker, clock and sun
// times, and the two application events.
#include <gtest/gtest.h>

#include <QTimer>
#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTableView>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "MainTestKit.h"
#include "QtTestApp.h"
#include "app/TiloApplication.h"
#include "app/UCommon.h"
#include "engine/foundation/ORQExcept.h"

using namespace tilo;
using tilo_test::Utc;
using orq::EORQException;

namespace {

void Click(QWidget* W) {
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(2, 2), W->mapToGlobal(QPointF(2, 2)), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(W, &press);
}

struct TZoneGuard {
    explicit TZoneGuard(const char* Zone) {
        if (const char* old = std::getenv("TZ")) FOld = old, FHad = true;
        setenv("TZ", Zone, 1);
        tzset();
    }
    ~TZoneGuard() {
        if (FHad) setenv("TZ", FOld.c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }
    std::string FOld;
    bool FHad = false;
};

int Minutes(const std::string& HhMm) { return std::stoi(HhMm.substr(0, 2)) * 60 + std::stoi(HhMm.substr(3, 2)); }

}  // namespace

TEST(SysLog, ClearsOnlyOnceMoreThan5000LinesAreHeld) {
    TfrmMain w;
    w.meSysLog->clear();  // the creation lines
    w.ClockSource = [] { return Utc(2024, 3, 1, 8, 15, 30); };
    for (int i = 1; i <= 5001; ++i) w.SysLog("line " + std::to_string(i));
    ASSERT_EQ(w.meSysLogLineCount(), 5001);
    EXPECT_EQ(w.meSysLogLine(0), "08:15:30 line 1");
    EXPECT_EQ(w.meSysLogLine(5000), "08:15:30 line 5001");
    w.SysLog("after");
    ASSERT_EQ(w.meSysLogLineCount(), 1);
    EXPECT_EQ(w.meSysLogLine(0), "08:15:30 after");
}

TEST(SysLog, DatabaseMessagesArePrefixedAndStationTextIgnored) {
    TfrmMain w;
    w.meSysLog->clear();  // the creation lines
    w.ClockSource = [] { return Utc(2024, 3, 1, 23, 59, 59); };
    w.DatabaseMessage("Log table succesfully opened, 3 records");
    w.StationTextHook("anything");
    ASSERT_EQ(w.meSysLogLineCount(), 1);
    EXPECT_EQ(w.meSysLogLine(0), "23:59:59 Database: Log table succesfully opened, 3 records");
}

TEST(ScheduleLine, SlotIsTheStartOfTheTenMinutes) {
    TfrmMain w;
    w.meSysLog->clear();  // the creation lines
    struct Case {
        int h, m, s;
        int freqItem;
        const char* line;
    };
    const Case cases[] = {
        {14, 29, 59, 0, "SCHEDULE 518KHz 14:20UTC none"},
        {14, 30, 0, 0, "SCHEDULE 518KHz 14:30UTC none"},
        {0, 0, 0, 1, "SCHEDULE 490KHz 00:00UTC none"},
        {23, 59, 59, 1, "SCHEDULE 490KHz 23:50UTC none"},
    };
    for (const Case& c : cases) {
        w.ClockSource = [&] { return Utc(2024, 6, 1, c.h, c.m, c.s); };
        w.rgFreq->SetItemIndex(c.freqItem);
        w.SchedTimerTimer();
        EXPECT_EQ(w.Sbar->SimpleText(), c.line);
    }
    // A click on the status bar writes the line again.
    w.ClockSource = [] { return Utc(2024, 6, 1, 9, 5, 0); };
    Click(w.Sbar);
    EXPECT_EQ(w.Sbar->SimpleText(), "SCHEDULE 490KHz 09:00UTC none");
}

TEST(Ticker, OneCharacterPerTickAndAtMostTheLast100) {
    TfrmMain w;
    w.meSysLog->clear();  // the creation lines
    w.edtTicker->setText("");
    std::string fed;
    for (int i = 0; i < 130; ++i) fed += char('A' + i % 26);
    w.Decoder.FTickerBuffer = fed;
    w.TickerTimerTimer();
    EXPECT_EQ(w.edtTicker->text().toStdString(), "A");
    EXPECT_EQ(w.Decoder.FTickerBuffer.size(), 129u);
    for (int i = 1; i < 100; ++i) w.TickerTimerTimer();
    EXPECT_EQ(w.edtTicker->text().toStdString(), fed.substr(0, 100));
    w.TickerTimerTimer();
    EXPECT_EQ(w.edtTicker->text().toStdString(), fed.substr(1, 100));
    for (int i = 0; i < 29; ++i) w.TickerTimerTimer();
    EXPECT_EQ(w.edtTicker->text().toStdString(), fed.substr(30, 100));
    EXPECT_TRUE(w.Decoder.FTickerBuffer.empty());
    w.TickerTimerTimer();  // an empty buffer changes nothing
    EXPECT_EQ(w.edtTicker->text().toStdString(), fed.substr(30, 100));
}

TEST(Ticker, DoubleClickTogglesRawMode) {
    TfrmMain w;
    w.meSysLog->clear();  // the creation lines
    EXPECT_FALSE(w.Decoder.FTickerRaw);
    w.edtTicker->OnDblClick();
    EXPECT_TRUE(w.Decoder.FTickerRaw);
    // Raw: every character goes to the buffer, CR included.
    w.Decoder.FTickerBuffer.clear();
    w.Decoder.FeedTicker('\r', w.Decoder.FTickerRaw);
    EXPECT_EQ(w.Decoder.FTickerBuffer, "\r");
    w.edtTickerDblClick();
    EXPECT_FALSE(w.Decoder.FTickerRaw);
}

TEST(Clock, ToggleChangesClockTextAndSunTimesAtOnce) {
    TZoneGuard zone("<+05>-5");
    TfrmMain w;
    w.meSysLog->clear();  // the creation lines
    RxLat = 51.5;
    RxLon = 0;
    w.ClockSource = [] { return Utc(2023, 6, 21, 12, 0, 0); };
    w.Decoder.Timer1Timer();
    w.SunTimerTimer();
    EXPECT_EQ(w.stUTC->text().toStdString(), "12:00:00 UTC");
    const std::string riseUtc = w.stSunRise->text().toStdString(), setUtc = w.stSunSet->text().toStdString();
    // London at the solstice: sunrise 03:43 UTC and sunset 20:21 UTC in the almanac;
    // the model is symmetric about noon and knows no equation of time.
    EXPECT_NEAR(Minutes(riseUtc), 3 * 60 + 43, 6) << riseUtc;
    EXPECT_NEAR(Minutes(setUtc), 20 * 60 + 21, 6) << setUtc;

    Click(w.stUTC);
    // The decoder's clock reads local time from the system clock itself.
    EXPECT_TRUE(tilo_test::Like(w.stUTC->text().toStdString(), "##:##:## LOC")) << w.stUTC->text().toStdString();
    EXPECT_EQ(Minutes(w.stSunRise->text().toStdString()), Minutes(riseUtc) + 300);
    EXPECT_EQ(Minutes(w.stSunSet->text().toStdString()), (Minutes(setUtc) + 300) % 1440);

    w.stUTCClick();
    EXPECT_EQ(w.stUTC->text().toStdString(), "12:00:00 UTC");
    EXPECT_EQ(w.stSunRise->text().toStdString(), riseUtc);
}

TEST(Clock, SunTimesShiftWithLongitudeAndStayWithinTheDay) {
    TfrmMain w;
    w.meSysLog->clear();  // the creation lines
    w.ClockSource = [] { return Utc(2023, 3, 20, 12, 0, 0); };
    RxLat = 0;
    // The equator at the equinox: 12 h 07 min of day, sunrise 05:56 at Greenwich.
    struct Case {
        double lon;
        int rise;  // minutes of the UTC day, +- 3
    };
    const Case cases[] = {
        {0, 5 * 60 + 56},
        {15, 4 * 60 + 56},    // an hour earlier 15 degrees east
        {-45, 8 * 60 + 56},
        {150, 19 * 60 + 56},  // the day before's evening, not a negative time
        {-170, 17 * 60 + 16},
    };
    for (const Case& c : cases) {
        RxLon = c.lon;
        w.SunTimerTimer();
        EXPECT_NEAR(Minutes(w.stSunRise->text().toStdString()), c.rise, 3) << c.lon;
    }
    RxLon = 0;
}

namespace {

class TKeyRecorder : public QObject {
public:
    std::vector<int> Keys;
    int Wheels = 0;
    bool eventFilter(QObject*, QEvent* Event) override {
        if (Event->type() == QEvent::KeyPress) Keys.push_back(static_cast<QKeyEvent*>(Event)->key());
        if (Event->type() == QEvent::Wheel) ++Wheels;
        return false;
    }
};

void Wheel(QWidget* Target, int Delta) {
    QWheelEvent wheel(QPointF(5, 5), Target->mapToGlobal(QPointF(5, 5)), QPoint(), QPoint(0, Delta), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(Target, &wheel);
}

}  // namespace

TEST(AppEvents, WheelOverAFocusedDataGridBecomesArrowKeys) {
    TfrmMain w;
    w.meSysLog->clear();  // the creation lines
    auto* logGrid = new QTableView(w.tsSysLog);
    auto* stationGrid = new QTableView(w.tsSysLog);
    w.tsSysLog->layout()->addWidget(logGrid);
    w.tsSysLog->layout()->addWidget(stationGrid);
    w.DBLogGrid = logGrid;
    w.DBStationGrd = stationGrid;
    TKeyRecorder logKeys, stationKeys;
    logGrid->installEventFilter(&logKeys);
    stationGrid->installEventFilter(&stationKeys);
    logGrid->viewport()->installEventFilter(&logKeys);
    w.show();
    w.TimOpenDB->stop();  // the start-up tick would reload the settings mid-test
    w.activateWindow();
    QApplication::setActiveWindow(&w);

    // No grid has the focus: the wheel reaches the grid as a wheel.
    w.meSysLog->setFocus();
    ASSERT_TRUE(tilo_test::WaitFor([&] { return w.meSysLog->hasFocus(); }));
    Wheel(logGrid->viewport(), -120);
    EXPECT_TRUE(logKeys.Keys.empty());
    EXPECT_EQ(logKeys.Wheels, 1);

    logGrid->setFocus();
    ASSERT_TRUE(tilo_test::WaitFor([&] { return logGrid->hasFocus(); }));
    logKeys.Wheels = 0;
    Wheel(logGrid->viewport(), -120);
    EXPECT_EQ(logKeys.Keys, std::vector<int>{Qt::Key_Down});
    EXPECT_EQ(logKeys.Wheels, 0);
    logKeys.Keys.clear();
    Wheel(logGrid->viewport(), 240);  // two notches up
    EXPECT_EQ(logKeys.Keys, (std::vector<int>{Qt::Key_Up, Qt::Key_Up}));
    logKeys.Keys.clear();
    Wheel(logGrid->viewport(), 0);  // a zero delta counts as down
    EXPECT_EQ(logKeys.Keys, std::vector<int>{Qt::Key_Down});
    logKeys.Keys.clear();
    Wheel(logGrid->viewport(), -60);  // half notches gather into one
    EXPECT_TRUE(logKeys.Keys.empty());
    Wheel(logGrid->viewport(), -60);
    EXPECT_EQ(logKeys.Keys, std::vector<int>{Qt::Key_Down});

    // The station grid has the focus: a wheel anywhere goes to it as keys.
    stationGrid->setFocus();
    ASSERT_TRUE(tilo_test::WaitFor([&] { return stationGrid->hasFocus(); }));
    logKeys.Keys.clear();
    Wheel(w.meSysLog->viewport(), 120);
    EXPECT_EQ(stationKeys.Keys, std::vector<int>{Qt::Key_Up});
    EXPECT_TRUE(logKeys.Keys.empty());

    // Other events pass unchanged.
    QKeyEvent key(QEvent::KeyPress, Qt::Key_PageDown, Qt::NoModifier);
    QApplication::sendEvent(stationGrid, &key);
    EXPECT_EQ(stationKeys.Keys, (std::vector<int>{Qt::Key_Up, Qt::Key_PageDown}));
}

namespace {

const void* GLastFault = nullptr;

class ETestFault : public classlib::Exception {
public:
    explicit ETestFault(std::string Message) : Exception(std::move(Message)) { GLastFault = this; }
    ETestFault(const ETestFault& Other) : Exception(Other) { GLastFault = this; }
};

// Throws from its event handler: the first event raises a test fault, the second an
// engine error.
class TThrower : public QObject {
public:
    int Seen = 0;
    bool event(QEvent* Event) override {
        if (Event->type() != QEvent::User) return QObject::event(Event);
        if (++Seen == 1) throw ETestFault("handler failed");
        throw EORQException::CreateNative(10029, "Dataset is not opened");
        return true;
    }
};

class TCounter : public QObject {
public:
    int Seen = 0;
    bool event(QEvent* Event) override {
        if (Event->type() == QEvent::User) ++Seen;
        return QObject::event(Event);
    }
};

}  // namespace

TEST(AppEvents, EscapedExceptionsAreLoggedAndTheProgramGoesOn) {
    TfrmMain w;
    w.meSysLog->clear();  // the creation lines
    w.ClockSource = [] { return Utc(2024, 1, 1, 10, 0, 0); };
    TThrower thrower;
    TCounter later;
    QCoreApplication::postEvent(&thrower, new QEvent(QEvent::User));
    QCoreApplication::postEvent(&later, new QEvent(QEvent::User));
    QCoreApplication::postEvent(&thrower, new QEvent(QEvent::User));
    QCoreApplication::postEvent(&later, new QEvent(QEvent::User));
    QCoreApplication::sendPostedEvents();

    EXPECT_EQ(thrower.Seen, 2);
    EXPECT_EQ(later.Seen, 2);
    ASSERT_EQ(w.meSysLogLineCount(), 2);
    char address[16];
    std::snprintf(address, sizeof address, "%08X", unsigned(reinterpret_cast<uintptr_t>(GLastFault) & 0xFFFFFFFFu));
    EXPECT_EQ(w.meSysLogLine(0),
              "10:00:00 EXCEPTION trapped @" + std::string(address) + " TThrower handler failed ETestFault");
    const std::string engine = w.meSysLogLine(1);
    EXPECT_TRUE(tilo_test::Like(engine, "10:00:00 EXCEPTION trapped @******** TThrower Dataset is not opened - "
                                        "Native error: 10029 EORQException"))
        << engine;
    EXPECT_EQ(engine.find_first_not_of("0123456789ABCDEF", 28), 36u) << engine;  // eight upper-case digits
}

TEST(AppEvents, ExceptionLineOfAnUnknownException) {
    EXPECT_EQ(ExceptionLine("TfrmMain", nullptr), "EXCEPTION trapped @00000000 TfrmMain  Exception");
}

TEST(SysLog, PageGrabForReview) {
    TfrmMain w;
    w.meSysLog->clear();  // the creation lines
    w.ClockSource = [] { return Utc(2024, 5, 17, 6, 30, 0); };
    w.ServSock->SetPort(0);
    w.ServSock->SetActive(true);
    w.SysLog("Linux 6.1 (Debian GNU/Linux 12 (bookworm)), 8 processors");
    w.DatabaseMessage("Log table succesfully opened, 1234 records");
    w.SysLog("Decoder: resync forced by user...");
    w.Decoder.FTickerBuffer = "ZCZC EA01";
    for (int i = 0; i < 9; ++i) w.TickerTimerTimer();
    w.SchedTimerTimer();
    w.SunTimerTimer();
    w.Decoder.Timer1Timer();
    w.PageControl1->setCurrentWidget(w.tsSysLog);
    w.resize(900, 500);
    w.show();
    w.TimOpenDB->stop();  // the start-up tick would reload the settings mid-test
    QCoreApplication::processEvents();
    EXPECT_EQ(w.meSysLogLineCount(), 4);
    tilo_test::SaveGrab(w.grab().toImage(), "syslog-page");
}
