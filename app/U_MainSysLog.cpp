// The main window's running services: the system log, the ticker, the clock's
// UTC/local switch, the sun and schedule timers, and the two application events.
#include "app/FrameText.h"
#include "app/U_Main.h"

#include <QApplication>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QWheelEvent>

#include <cmath>

#include "app/TiloApplication.h"
#include "app/UCommon.h"
#include "classlib/DateUtils.h"
#include "classlib/NumConv.h"

namespace tilo {

namespace {


std::string Trim(const std::string& Text) {
    std::size_t b = 0, e = Text.size();
    while (b < e && static_cast<unsigned char>(Text[b]) <= ' ') ++b;
    while (e > b && static_cast<unsigned char>(Text[e - 1]) <= ' ') --e;
    return Text.substr(b, e - b);
}

// Seconds east of UTC in force now.
long ZoneOffsetNow() {
    const time_t t = time(nullptr);
    tm local{};
    return localtime_r(&t, &local) ? local.tm_gmtoff : 0;
}

// "hh:mm" of a day fraction shifted by the longitude and brought back into 0..1 (east
// of about 90 degrees the shift takes sunrise below 0).
std::string SunText(double Fraction) {
    double f = Fraction - RxLon / 15 / 24;
    f -= std::floor(f);
    return classlib::TimeToStr(f).substr(0, 5);
}

}  // namespace

// ---- system log ----

// Every line the memo gets passes the limit: the feed's own lines too, or a stream of
// connections would grow it without bound.
void TfrmMain::meSysLogAdd(const std::string& Line) {
    if (meSysLogLineCount() > 5000) meSysLog->clear();
    meSysLog->appendPlainText(Q8(Line));
}

int32_t TfrmMain::meSysLogLineCount() const {
    return meSysLog->document()->isEmpty() ? 0 : meSysLog->document()->blockCount();
}

std::string TfrmMain::meSysLogLine(int32_t Index) const {
    return meSysLog->document()->findBlockByNumber(Index).text().toLatin1().toStdString();
}

void TfrmMain::SysLog(const std::string& Msg) {
    meSysLogAdd(UtcTime() + " " + Msg);
    BroadcastToClients("Z#" + UtcTime() + " " + Msg);
}

void TfrmMain::DatabaseMessage(const std::string& Text) { SysLog("Database: " + Text); }

void TfrmMain::StationTextHook(const std::string&) {}

// ---- clock, sun and schedule ----

void TfrmMain::stUTCClick() {
    FClockLocal = !FClockLocal;
    SunTimerTimer();
    // The clock text follows at once rather than at the next tick.
    Decoder.Timer1Timer();
}

void TfrmMain::SunTimerTimer() {
    double rise = 0, set = 0, length = 0;
    if (FClockLocal)
        SunRiseSet(false, rise, set, UtcClock() + double(ZoneOffsetNow()) / 86400, RxLat, length);
    else
        SunRiseSet(true, rise, set, UtcClock(), RxLat, length);
    stSunRise->setText(Q8(SunText(rise)));
    stSunSet->setText(Q8(SunText(set)));
}

void TfrmMain::SchedTimerTimer() {
    const std::string slot = UtcTime().substr(0, 4) + "0";
    const std::string item = rgFreq->ItemText();
    std::string stations;
    StationsOnScheduleInAreas(slot, classlib::StrToInt(item), FSelectedNavAreas, stations);
    if (Trim(stations).empty()) stations = "none";
    Sbar->SetSimpleText("SCHEDULE " + item + "KHz" + " " + slot + "UTC " + stations);
}

void TfrmMain::SbarClick() { SchedTimerTimer(); }

// ---- ticker ----

void TfrmMain::TickerTimerTimer() {
    std::string& buffer = Decoder.FTickerBuffer;
    if (buffer.empty()) return;
    std::string text = edtTicker->text().toLatin1().toStdString() + buffer[0];
    if (text.size() > 100) text.erase(0, 1);
    edtTicker->setText(Q8(text));
    buffer.erase(0, 1);
}

void TfrmMain::edtTickerDblClick() { Decoder.FTickerRaw = !Decoder.FTickerRaw; }

// ---- application events ----

bool TfrmMain::AppEvntMessage(QObject* Receiver, QEvent* Event) {
    // A wheel event reaches the window first and then the widget; only the widget's
    // delivery is translated.
    if (Event->type() != QEvent::Wheel || !Receiver->isWidgetType()) return false;
    QWidget* grid = nullptr;
    for (QWidget* g : {DBLogGrid, DBStationGrd})
        if (g && g->hasFocus()) grid = g;
    if (!grid) return false;
    const int32_t delta = static_cast<QWheelEvent*>(Event)->angleDelta().y();
    int32_t notches = 0;
    if (delta == 0) {
        notches = -1;  // a zero delta counts as one notch down
    } else {
        if ((delta > 0) != (FWheelRest > 0) && FWheelRest != 0) FWheelRest = 0;
        FWheelRest += delta;
        notches = FWheelRest / 120;  // whole notches; the rest waits for the next event
        FWheelRest -= notches * 120;
    }
    const Qt::Key key = notches < 0 ? Qt::Key_Down : Qt::Key_Up;
    for (int32_t i = 0; i < std::abs(notches); ++i) {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
        QApplication::sendEvent(grid, &press);
    }
    return true;
}

void TfrmMain::AppEvntException(const std::string& Sender, const std::exception* E) {
    SysLog(ExceptionLine(Sender, E));
}

}  // namespace tilo
