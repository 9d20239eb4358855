// The main window's construction and the decoder's host methods that belong to no
// other file of the window.
#include "app/FrameText.h"
#include "app/U_Main.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTextBlock>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <chrono>

#include "app/TiloApplication.h"
#include "app/components/Led.h"
#include "app/AudioPump.h"
#include "classlib/DB.h"
#include "decoder/UWavein4.h"
#include "decoder/uModem.h"
#include "platform/AudioSource.h"

namespace tilo {

namespace {


}  // namespace

TNavareaCheckBox::TNavareaCheckBox(int32_t ATag, QWidget* Parent)
    : QCheckBox(QString::number(ATag), Parent), Tag(ATag) {}

TfrmMain::TfrmMain(QWidget* Parent) : QMainWindow(Parent), Decoder(*this) {
    setWindowTitle("Tilo");
    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);

    auto* top = new QHBoxLayout;
    edtTicker = new TTickerEdit(".......Tilo is INITIALIZING....  PLEASE WAIT...", central);
    edtTicker->setReadOnly(true);
    edtTicker->OnDblClick = [this] { edtTickerDblClick(); };
    top->addWidget(edtTicker, 1);
    LedSync = new TLed(central);
    LedCharin = new TLed(central);
    ledCanTune = new TLed(central);
    LedSync->setToolTip("Synchronised (flashes on a garbled character)");
    LedCharin->setToolTip("Decoding characters");
    ledCanTune->setToolTip("Automatic tuning has a signal");
    for (TLed* led : {LedSync, LedCharin, ledCanTune}) {
        led->setFixedSize(20, 20);
        top->addWidget(led);
    }
    stUTC = new TClickLabel("00:00:00 UTC", central);
    stUTC->OnClick = [this] { stUTCClick(); };
    stSunRise = new QLabel("00:00", central);
    stSunSet = new QLabel("00:00", central);
    top->addWidget(stUTC);
    top->addWidget(new QLabel("Sunrise:", central));
    top->addWidget(stSunRise);
    top->addWidget(new QLabel("Sunset:", central));
    top->addWidget(stSunSet);
    rgFreq = new TRadioGroup("Freq. kHz", {"518", "490"}, central);
    rgFreq->SetItemIndex(0);
    top->addWidget(rgFreq);
    layout->addLayout(top);

    PageControl1 = new QTabWidget(central);
    layout->addWidget(PageControl1, 1);
    setCentralWidget(central);

    meLog = new QPlainTextEdit(central);
    meLog->setReadOnly(true);
    meLog->hide();  // placed by the current-message page

    Sbar = new TClickStatusBar(this);
    Sbar->OnClick = [this] { SbarClick(); };
    setStatusBar(Sbar);

    BuildSysLogPage();
    BuildSchedulePage();
    BuildFeed();
    BuildFrame();

    TSunTimer = new QTimer(this);
    TSunTimer->setInterval(5000);
    connect(TSunTimer, &QTimer::timeout, this, [this] { SunTimerTimer(); });
    TSunTimer->start();
    SchedTimer = new QTimer(this);
    SchedTimer->setInterval(30000);
    connect(SchedTimer, &QTimer::timeout, this, [this] { SchedTimerTimer(); });
    SchedTimer->start();
    TickerTimer = new QTimer(this);
    TickerTimer->setInterval(120);
    connect(TickerTimer, &QTimer::timeout, this, [this] { TickerTimerTimer(); });

    if (TTiloApplication* app = TTiloApplication::Instance()) {
        app->OnMessage = [this](QObject* Receiver, QEvent* Event) { return AppEvntMessage(Receiver, Event); };
        app->OnException = [this](const std::string& Sender, const std::exception* E) { AppEvntException(Sender, E); };
    }
    resize(DefaultSize());
}

TfrmMain::~TfrmMain() {
    if (TTiloApplication* app = TTiloApplication::Instance()) {
        app->OnMessage = nullptr;
        app->OnException = nullptr;
    }
    // The server's client events must not reach a window being torn down.
    ServSock->OnClientDisconnect = nullptr;
    ServSock->OnClientConnect = nullptr;
    ServSock->OnClientError = nullptr;
    // Capture stops before the modem and the controls its blocks reach go.
    FAudioWindow.reset();
    FWaveIn.reset();
    Decoder.FModem = nullptr;
    FModem.reset();
    delete FWaterfallBitmap;
}

void TfrmMain::BuildSysLogPage() {
    tsSysLog = new QWidget(PageControl1);
    auto* layout = new QVBoxLayout(tsSysLog);
    meSysLog = new QPlainTextEdit(tsSysLog);
    meSysLog->setReadOnly(true);
    meSysLog->setLineWrapMode(QPlainTextEdit::NoWrap);
    layout->addWidget(meSysLog);
    PageControl1->addTab(tsSysLog, "System Log");
}

std::string TfrmMain::UtcTime() const { return Decoder.UtcTimeStr(0); }

double TfrmMain::UtcClock() const {
    if (FAudioClockOn)
        return FAudioClockStart + double(FAudioSamples) / double(std::max(1, SampleRate)) / 86400.0;
    return WallUtcClock() + FClockOffset;
}

bool TfrmMain::AudioClockRuns() const { return FAudioClockOn && FWaveIn && FWaveIn->Recording(); }

double TfrmMain::WallUtcClock() const {
    if (ClockSource) return ClockSource();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
    return 25569.0 + double(ms) / 86400000.0;
}

void TfrmMain::SetClockText(const std::string& Text) { stUTC->setText(Q8(Text)); }

// ---- the current-message memo and the LEDs ----

void TfrmMain::meLogAdd(const std::string& Line) { meLog->appendPlainText(Q8(Line)); }
void TfrmMain::meLogClear() { meLog->clear(); }

std::string TfrmMain::meLogText() const {
    std::string text;
    if (meLog->document()->isEmpty()) return text;
    for (QTextBlock b = meLog->document()->begin(); b.isValid(); b = b.next())
        text += b.text().toLatin1().toStdString() + "\r\n";
    return text;
}

namespace {

TLed* LedOf(const TfrmMain& Main, TDecoderLed Led) {
    switch (Led) {
        case TDecoderLed::LedSync: return Main.LedSync;
        case TDecoderLed::LedCharin: return Main.LedCharin;
        case TDecoderLed::ledCanTune: return Main.ledCanTune;
    }
    return Main.LedSync;
}

}  // namespace

void TfrmMain::SetLedStatus(TDecoderLed Led, bool Status) { LedOf(*this, Led)->SetStatus(Status); }
void TfrmMain::SetLedFlash(TDecoderLed Led, bool Flash) { LedOf(*this, Led)->SetFlash(Flash); }

// ---- the option switches and the store ----
// The lexicon correction is the stations page's (U_MainStations.cpp).

void TfrmMain::AddLogRecord(char IdLetter, const std::string& MsgType, double UtcTime, const std::string& MsgNumber,
                            const std::string& MsgText, int32_t Freq, int32_t SigQual) {
    DataModuleAddLogRecord(IdLetter, MsgType, UtcTime, MsgNumber, MsgText, Freq, SigQual);
}
bool TfrmMain::cbUOS() const { return cbUOSBox->isChecked(); }
bool TfrmMain::cbMinUNIDLen() const { return cbMinUNIDLenBox->isChecked(); }
int32_t TfrmMain::FMinUnidLen() const { return FMinUnidLenValue; }
int32_t TfrmMain::RadioGroup1ItemIndex() const { return RadioGroup1->ItemIndex(); }
void TfrmMain::SetModemPolarity(uint8_t Polarity) { TModem::SetPolarity(Polarity); }

std::string TfrmMain::rgFreqText() const { return rgFreq->ItemText(); }

}  // namespace tilo
