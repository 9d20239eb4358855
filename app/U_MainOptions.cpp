// The calibration and options pages and the display switches: the sound card's clock
// correction and sample rate, the audio-input button, the options save, the spectrum's
// axis and source buttons and the page change.
//
// Each settings writer opens "Tilo.ini" afresh and saves once. The sample-rate change
// waits twice with the event loop running; a close request served meanwhile has freed
// capture, and the handler ends after that wait without touching it.
#include "app/FrameText.h"
#include "app/StationListBox.h"
#include "app/U_Main.h"

#include <QBoxLayout>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QSlider>
#include <QStringList>
#include <QTabWidget>
#include <QTextBlock>

#include <cmath>

#include "app/AudioPump.h"
#include "app/DBCtrls.h"
#include "app/MesUtilD4.h"
#include "app/Prompts.h"
#include "app/Settings.h"
#include "app/ChSpectrum.h"
#include "app/UCommon.h"
#include "app/components/AnalogGauge.h"
#include "classlib/NumConv.h"
#include "decoder/UCommon.h"
#include "decoder/UWavein4.h"
#include "decoder/uModem.h"
#include "platform/MixerLaunch.h"

namespace tilo {

namespace {


}  // namespace

void TfrmMain::BuildCalibrationPage() {
    auto* l = new QHBoxLayout(tsCalibration);
    auto* left = new QVBoxLayout;
    cbEnableCalib = new QCheckBox("Enable Sound Card Calibration", tsCalibration);
    cbEnableCalib->setObjectName("cbEnableCalib");
    connect(cbEnableCalib, &QCheckBox::clicked, this, [this] { cbEnableCalibClick(); });
    gbCalib = new QGroupBox(tsCalibration);
    gbCalib->setObjectName("gbCalib");
    auto* g = new QVBoxLayout(gbCalib);
    Label1 = new QLabel("CORRECTION FACTOR", gbCalib);
    lbCorFac = new QLabel("1.0000", gbCalib);
    lbCorFac->setObjectName("lbCorFac");
    tbCorFac = new QSlider(Qt::Horizontal, gbCalib);
    tbCorFac->setObjectName("tbCorFac");
    tbCorFac->setRange(-2500, 2500);
    tbCorFac->setTickInterval(100);
    tbCorFac->setTickPosition(QSlider::TicksBelow);
    connect(tbCorFac, &QSlider::valueChanged, this, [this] { tbCorFacChange(); });
    btnSaveCorFac = new QPushButton("SAVE", gbCalib);
    btnSaveCorFac->setObjectName("btnSaveCorFac");
    connect(btnSaveCorFac, &QPushButton::clicked, this, [this] { btnSaveCorFacClick(); });
    Memo1 = new QPlainTextEdit(gbCalib);
    Memo1->setObjectName("Memo1");
    Memo1->setReadOnly(true);
    Memo1->setFixedHeight(60);
    Memo1->setPlainText("Tune a steady NAVTEX signal and move the correction factor until the BIT PHASE "
                        "needle stands still in the green band. SAVE keeps the factor.");
    rgSampRate = new TRadioGroup("SOUND CARD SAMPLE RATE", {"11025", "12000"}, gbCalib);
    rgSampRate->setObjectName("rgSampRate");
    rgSampRate->SetItemIndex(0);
    rgSampRate->OnClick = [this] { rgSampRateClick(); };
    Memo2 = new QPlainTextEdit(gbCalib);
    Memo2->setObjectName("Memo2");
    Memo2->setReadOnly(true);
    Memo2->setFixedHeight(60);
    Memo2->setPlainText("Some sound cards run 11025 samples per second badly: try 12000 when the "
                        "correction factor cannot be found.");
    btnSampRate = new QPushButton("CHANGE", gbCalib);
    btnSampRate->setObjectName("btnSampRate");
    btnSampRate->setEnabled(false);
    connect(btnSampRate, &QPushButton::clicked, this, [this] { btnSampRateClick(); });
    auto* row = new QHBoxLayout;
    row->addWidget(Label1);
    row->addWidget(lbCorFac);
    row->addWidget(btnSaveCorFac);
    g->addLayout(row);
    g->addWidget(tbCorFac);
    g->addWidget(Memo1);
    auto* rate = new QHBoxLayout;
    rate->addWidget(rgSampRate);
    rate->addWidget(btnSampRate);
    g->addLayout(rate);
    g->addWidget(Memo2);
    left->addWidget(cbEnableCalib);
    left->addWidget(gbCalib, 1);
    agPLL = new TAnalogGauge(tsCalibration);
    agPLL->setObjectName("agPLL");
    agPLL->SetScale(110);
    agPLL->SetIndMinimum(50);
    agPLL->SetIndMaximum(60);
    agPLL->SetCaption("    BIT   PHASE");
    agPLL->SetPosition(55);
    agPLL->setFixedSize(225, 180);
    sbAudio = new QPushButton("AUDIO INPUT", tsCalibration);
    sbAudio->setObjectName("sbAudio");
    connect(sbAudio, &QPushButton::clicked, this, [this] { sbAudioClick(); });
    auto* right = new QVBoxLayout;
    right->addWidget(agPLL);
    right->addWidget(sbAudio);
    right->addStretch(1);
    l->addLayout(left, 1);
    l->addLayout(right);
    for (QWidget* w : std::initializer_list<QWidget*>{gbCalib, lbCorFac, btnSaveCorFac, tbCorFac, Memo1, Label1,
                                                      rgSampRate, Memo2, btnSampRate})
        w->setEnabled(false);
}

void TfrmMain::BuildOptionsPage() {
    auto* l = new QVBoxLayout(tsOptions);
    auto* row = new QHBoxLayout;
    edtRXLat = new QLineEdit("0.0", tsOptions);
    edtRXLat->setObjectName("edtRXLat");
    edtRXLon = new QLineEdit("0.0", tsOptions);
    edtRXLon->setObjectName("edtRXLon");
    row->addWidget(new QLabel("RX Latitude:", tsOptions));
    row->addWidget(edtRXLat);
    row->addWidget(new QLabel("RX Longitude:", tsOptions));
    row->addWidget(edtRXLon);
    row->addStretch(1);
    l->addLayout(row);
    // As wide as a position in degrees with its decimals, not the page.
    for (QLineEdit* e : {edtRXLat, edtRXLon}) FitEditToText(*e, "-000.0000000");
    auto* len = new QHBoxLayout;
    cbMinUNIDLenBox = new QCheckBox("Do not log message fragments containing less than  ", tsOptions);
    cbMinUNIDLenBox->setObjectName("cbMinUNIDLen");
    edtMinUNIDLen = new QLineEdit("0", tsOptions);
    edtMinUNIDLen->setObjectName("edtMinUNIDLen");
    FitEditToText(*edtMinUNIDLen, "000000");
    len->addWidget(cbMinUNIDLenBox);
    len->addWidget(edtMinUNIDLen);
    len->addWidget(new QLabel("characters", tsOptions));
    len->addStretch(1);
    l->addLayout(len);
    cbConfirmDelete = new QCheckBox("Confirmation popup  on DB record deletion", tsOptions);
    cbConfirmDelete->setObjectName("cbConfirmDelete");
    l->addWidget(cbConfirmDelete);
    l->addWidget(new QLabel("UNCHECK to exclude a station from logging", tsOptions));
    cbAllStations = new TStationListBox(tsOptions);
    cbAllStations->setObjectName("cbAllStations");
    // Whole rows: eight at least, the page scrolls for them.
    cbAllStations->setMinimumHeight(8 * cbAllStations->fontMetrics().height() * 3 / 2 + 2 * cbAllStations->frameWidth());
    l->addWidget(cbAllStations, 1);
    auto* checks = new QHBoxLayout;
    SpeedButton4 = new QPushButton("CHECK ALL", tsOptions);
    SpeedButton5 = new QPushButton("UNCHECK ALL", tsOptions);
    connect(SpeedButton4, &QPushButton::clicked, this, [this] { SpeedButton4Click(); });
    connect(SpeedButton5, &QPushButton::clicked, this, [this] { SpeedButton5Click(); });
    checks->addWidget(SpeedButton4);
    checks->addWidget(SpeedButton5);
    checks->addStretch(1);
    l->addLayout(checks);
    l->addWidget(new QLabel("Personal information (reports):", tsOptions));
    mePersonalInfo = new QPlainTextEdit(tsOptions);
    mePersonalInfo->setObjectName("mePersonalInfo");
    l->addWidget(mePersonalInfo);
    btnSaveOptions = new QPushButton("CONFIRM && SAVE ALL OPTIONS", tsOptions);
    btnSaveOptions->setObjectName("btnSaveOptions");
    connect(btnSaveOptions, &QPushButton::clicked, this, [this] { btnSaveOptionsClick(); });
    l->addWidget(btnSaveOptions);
    connect(PageControl1, &QTabWidget::currentChanged, this, [this] { PageControl1Change(); });
}

// ---- calibration ----

void TfrmMain::cbEnableCalibClick() {
    const bool on = cbEnableCalib->isChecked();
    for (QWidget* w : std::initializer_list<QWidget*>{gbCalib, lbCorFac, btnSaveCorFac, tbCorFac, Memo1, Label1,
                                                      rgSampRate, Memo2})
        w->setEnabled(on);
    btnSampRate->setEnabled(false);  // only after a rate is picked
    if (!on) {
        FGaugeWaiting[3] = {};  // a phase still waiting for its frame is not shown
        agPLL->SetPosition(55);
    }
}

void TfrmMain::tbCorFacChange() {
    const double factor = tbCorFac->value() / 100000.0 + 1;
    lbCorFac->setText(Q8(classlib::FloatToStr(factor)));
    if (FModem) FModem->SetBaud(100 * factor);
}

void TfrmMain::btnSaveCorFacClick() {
    TSettingsFile ini(SettingsPath());
    ini.WriteCorFac(S8(lbCorFac->text()));
    ini.Save();
}

void TfrmMain::rgSampRateClick() { btnSampRate->setEnabled(true); }

namespace {

enum class TRateStep { Done, Refused, Closed };

}  // namespace

void TfrmMain::btnSampRateClick() {
    btnSampRate->setEnabled(false);
    const std::string item = rgSampRate->ItemText();
    SysLog("Changing Sample rate to: " + item);
    if (!FWaveIn || !FModem) return;
    const int32_t previous = SampleRate;
    int32_t rate = previous;
    classlib::TryStrToInt(item, rate);
    FWaveIn->Stop();
    Delay(500);
    if (FShutdownDone || !FWaveIn) return;

    // Steps 3 to 5 at one rate; the spectrum axis follows it (a quarter of the rate).
    auto runAt = [this](int32_t Rate) {
        SetSampleRate(Rate);
        bool ok = FWaveIn->Open(-1, Rate);
        FModem->SetBaud(100);
        Delay(500);
        if (FShutdownDone || !FWaveIn) return TRateStep::Closed;
        ok = ok && FWaveIn->Start();
        FAudioWindow->Rearm();
        tbCorFacChange();
        FModem->SetFreq(FModem->FCenter, FModem->Shift);
        ChSpectrum->SetAxisMaximum(std::nearbyint(Rate / 4.0));
        return ok ? TRateStep::Done : TRateStep::Refused;
    };
    TRateStep step = runAt(rate);
    if (step == TRateStep::Closed) return;
    if (step == TRateStep::Done) {
        btnSampRate->setEnabled(true);
        Prompts().ShowMessage("Sample rate was changed.\rCalibration must be checked again now!");
        return;
    }
    // A rate the device refuses: capture goes back to the rate it ran at.
    const std::string reason = FWaveIn->LastMessage();
    FWaveIn->Stop();
    step = runAt(previous);
    if (step == TRateStep::Closed) return;
    rgSampRate->SetItemIndex(previous == 12000 ? 1 : 0);
    btnSampRate->setEnabled(true);
    Prompts().ShowMessage("Sample rate was NOT changed: " + reason);
}

// ---- audio input ----

void TfrmMain::sbAudioClick() {
    // Every Linux desktop counts as a current system: its own mixer opens.
    const std::optional<TMixerCommand> mixer = FindMixer();
    if (!mixer) {
        SysLog("AUDIO INPUT: no mixer program found");
        return;
    }
    if (StartProgram) {
        StartProgram(mixer->Program, mixer->Arguments);
        return;
    }
    QStringList args;
    for (const std::string& a : mixer->Arguments) args << QString::fromStdString(a);
    QProcess::startDetached(QString::fromStdString(mixer->Program), args);
}

// ---- options ----

void TfrmMain::btnSaveOptionsClick() {
    double lat = 0, lon = 0;
    if (!classlib::TryStrToFloat(S8(edtRXLat->text()), lat)) {
        Prompts().ShowMessage("Illegal value for RX latitude\rsave aborted!");
        return;
    }
    if (!classlib::TryStrToFloat(S8(edtRXLon->text()), lon)) {
        Prompts().ShowMessage("Illegal value for RX longitude\rsave aborted!");
        return;
    }
    // Checked with the position, before anything changes.
    int32_t minLen = 0;
    if (!classlib::TryStrToInt(S8(edtMinUNIDLen->text()), minLen)) {
        Prompts().ShowMessage("Illegal value for minimum fragment length\rsave aborted!");
        return;
    }
    TSettingsFile ini(SettingsPath());
    RxLat = lat;
    RxLon = lon;
    FMinUnidLenValue = minLen;
    TOptionsSettings o;
    o.RxLat = S8(edtRXLat->text());
    o.RxLon = S8(edtRXLon->text());
    o.MinLen = minLen;
    o.MinLenOn = cbMinUNIDLenBox->isChecked();
    o.ConfirmDelete = cbConfirmDelete->isChecked();
    DBNavigator1->ConfirmDelete = o.ConfirmDelete;
    for (int i = 0; i < cbAllStations->count(); ++i)
        if (cbAllStations->item(i)->checkState() != Qt::Checked) o.DoNotLog.push_back(S8(cbAllStations->item(i)->text()));
    DataModuleLoadExclusionList();
    if (!mePersonalInfo->document()->isEmpty())
        for (QTextBlock b = mePersonalInfo->document()->begin(); b.isValid(); b = b.next())
            o.UserInfo.push_back(S8(b.text()));
    ini.WriteOptions(o);
    ini.Save();
}

void TfrmMain::SpeedButton4Click() {
    for (int i = 0; i < cbAllStations->count(); ++i) cbAllStations->item(i)->setCheckState(Qt::Checked);
}

void TfrmMain::SpeedButton5Click() {
    for (int i = 0; i < cbAllStations->count(); ++i) cbAllStations->item(i)->setCheckState(Qt::Unchecked);
}

// ---- display switches and pages ----

// The two buttons are one group that allows all up: pressing one releases the other,
// in its state as well as its look.
void TfrmMain::rgLinLogClick() {
    if (sbLinLog->isChecked() && sbFilRaw->isChecked()) {
        sbFilRaw->setChecked(false);
        sbFilRaw->setText("FIL");
    }
    ChSpectrum->SetLogarithmic(sbLinLog->isChecked());
    sbLinLog->setText(sbLinLog->isChecked() ? "LOG" : "LIN");
}

void TfrmMain::sbFilRawClick() {
    if (sbFilRaw->isChecked() && sbLinLog->isChecked()) {
        sbLinLog->setChecked(false);
        sbLinLog->setText("LIN");
        ChSpectrum->SetLogarithmic(false);
    }
    sbFilRaw->setText(sbFilRaw->isChecked() ? "RAW" : "FIL");
}

void TfrmMain::PageControl1Change() {
    if (PageControl1->currentWidget() == tsSchedule) sgSched->setFocus();
    if (PageControl1->currentIndex() != 4) rgScopeSel->SetItemIndex(0);
}

}  // namespace tilo
