// The receive, calibration and options pages of the real main window: tuning by mouse
// on the spectrum chart, the displays fed by synthesised messages, the waterfall's
// snapshots, the scope's switches, the correction factor, the sample-rate change over a
// scripted sound input, the options save and the audio-input button.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QListWidget>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSlider>
#include <QTabWidget>
#include <QTimer>
#include <QWheelEvent>

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <numbers>
#include <memory>
#include <regex>
#include <set>

#include "MainTestKit.h"
#include "QtTestApp.h"
#include "ScriptedPrompts.h"
#include "app/AudioPump.h"
#include "app/DBCtrls.h"
#include "app/JpegFile.h"
#include "app/PaintImage.h"
#include "app/UCommon.h"
#include "app/ChSpectrum.h"
#include "app/components/AnalogGauge.h"
#include "app/components/Led.h"
#include "classlib/NumConv.h"
#include "decoder/UWavein4.h"
#include "decoder/uModem.h"
#include "tools/navtex-synth/NavtexSynth.h"

using namespace tilo;

namespace {

// What the scripted sound input did and what it serves: per rate one recording, read as
// fast as the window asks; a refused rate fails QueryFormat and Open.
struct TSourceScript {
    std::vector<std::string> Calls;
    std::map<int32_t, std::vector<int16_t>> Audio;
    std::set<int32_t> Refused;
    int32_t Rate = 0;
    std::size_t Pos = 0;
    std::size_t Served = 0;  // samples read in all
};

class TScriptedSource : public TAudioSource {
public:
    explicit TScriptedSource(std::shared_ptr<TSourceScript> S) : FS(std::move(S)) {
        if (::pipe(FPipe) == 0) (void)::write(FPipe[1], "x", 1);  // always readable
    }
    ~TScriptedSource() override {
        ::close(FPipe[0]);
        ::close(FPipe[1]);
    }
    int32_t DeviceCount() override { return 1; }
    TAudioError QueryFormat(int32_t Rate) override {
        FS->Calls.push_back("QueryFormat " + std::to_string(Rate));
        if (FS->Refused.count(Rate)) return {22, "rate " + std::to_string(Rate) + " refused"};
        return {};
    }
    TAudioError Open(int32_t Rate, int32_t) override {
        FS->Calls.push_back("Open " + std::to_string(Rate));
        if (FS->Refused.count(Rate)) return {22, "rate " + std::to_string(Rate) + " refused"};
        FS->Rate = Rate;
        FS->Pos = 0;
        return {};
    }
    TAudioError Start() override {
        FS->Calls.push_back("Start");
        return {};
    }
    TAudioError Reset() override {
        FS->Calls.push_back("Reset");
        return {};
    }
    TAudioError Close() override {
        FS->Calls.push_back("Close");
        return {};
    }
    std::vector<pollfd> PollDescriptors() override { return {pollfd{FPipe[0], POLLIN, 0}}; }
    int64_t Read(int16_t* Dest, std::size_t Count, TAudioError&) override {
        const std::vector<int16_t>& a = FS->Audio[FS->Rate];
        const std::size_t n = std::min(Count, a.size() - std::min(a.size(), FS->Pos));
        std::copy_n(a.begin() + std::ptrdiff_t(FS->Pos), n, Dest);
        FS->Pos += n;
        FS->Served += n;
        return int64_t(n);
    }
    std::string Name() const override { return "scripted input"; }

private:
    std::shared_ptr<TSourceScript> FS;
    int FPipe[2] = {-1, -1};
};

std::vector<int16_t> Message(int32_t Rate, double Centre, const std::string& Text, double SnrDb, uint32_t Seed = 1,
                             const std::string& Header = "EA01") {
    TSynthOptions o;
    o.SampleRate = Rate;
    o.Centre = Centre;
    o.SnrDb = SnrDb;
    o.Seed = Seed;
    o.PhasingSeconds = 3.0;
    return SynthesiseNavtex({Text, Header}, o);
}

std::string ReadFile(const std::string& Path) {
    std::ifstream in(Path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

void Mouse(QWidget* W, QEvent::Type Type, QPoint At, Qt::MouseButton Button, Qt::KeyboardModifiers Mods = {}) {
    const Qt::MouseButtons held = Type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(Button);
    QMouseEvent e(Type, QPointF(At), W->mapToGlobal(QPointF(At)), Button, held, Mods);
    QApplication::sendEvent(W, &e);
}

void Key(QWidget* W, int K) {
    QKeyEvent press(QEvent::KeyPress, K, Qt::NoModifier);
    QApplication::sendEvent(W, &press);
}

class ReceiverPages : public testing::Test {
protected:
    void SetUp() override {
        Home = tilo_test::TempFolder() + "/";
        ::setenv("TILO_HOME", Home.c_str(), 1);
        ::setenv("TILO_FEED_PORT", std::to_string(20000 + ::getpid() % 20000).c_str(), 1);
        std::ofstream(Home + "Tilo.ini") << "[OPTIONS]\r\nFREQ=1200\r\n";
        Script = std::make_shared<TSourceScript>();
        W = std::make_unique<TfrmMain>();
        W->ClockSource = [] { return tilo_test::Utc(2026, 12, 10, 12, 0, 0); };
        W->LocalClockSource = [this] { return Local; };
        W->AudioSourceFactory = [this] { return std::make_unique<TScriptedSource>(Script); };
    }
    void TearDown() override {
        W.reset();
        ::unsetenv("TILO_HOME");
        ::unsetenv("TILO_FEED_PORT");
        SetSampleRate(11025);
    }
    // The first show arms the delayed start; it runs here at once.
    void Start() {
        W->show();
        W->TimOpenDBTimer();
        QApplication::processEvents();
    }
    // Blocks straight into the demodulator, as the capture callback hands them over,
    // with the tracking timer's request once per second of audio.
    void Feed(const std::vector<int16_t>& Samples) {
        const std::size_t perSecond = std::size_t(SampleRate) / ModemBlockSize;
        std::size_t block = 0;
        for (std::size_t at = 0; at + ModemBlockSize <= Samples.size(); at += ModemBlockSize) {
            W->FModem->ProcessBlock(std::span<const int16_t>(Samples.data() + at, ModemBlockSize));
            if (++block % perSecond == 0) W->Decoder.TrackTimerTimer();
        }
        W->DisplayFrame();
    }
    // True once the message with Header was handed to the store (the window logs it).
    bool Stored(const std::string& Header) const {
        for (int i = 0; i < W->meSysLogLineCount(); ++i)
            if (W->meSysLogLine(i).find("Database: message " + Header) != std::string::npos) return true;
        return false;
    }
    QWidget* Chart() { return W->ChSpectrum->viewport(); }
    QPoint AtHz(double F) { return QPoint(W->ChSpectrum->XOf(F), W->ChSpectrum->height() / 2); }

    std::string Home;
    double Local = tilo_test::Utc(2026, 12, 10, 13, 0, 0);
    std::shared_ptr<TSourceScript> Script;
    std::unique_ptr<TfrmMain> W;
    tilo_test::TScriptedPrompts Prompts;
};

}  // namespace

TEST_F(ReceiverPages, TuningByMouseFollowsItsRules) {
    Start();
    const int32_t quarter = SampleRate / 4;
    for (double f : {200.0, double(quarter - 200)}) {
        Mouse(Chart(), QEvent::MouseButtonPress, AtHz(f), Qt::LeftButton);
        Mouse(Chart(), QEvent::MouseButtonRelease, AtHz(f), Qt::LeftButton);
        EXPECT_EQ(W->FModem->FCenter, 1200) << f;
    }
    const int32_t afc = W->Decoder.FAfcCentre;
    Mouse(Chart(), QEvent::MouseButtonPress, AtHz(1000), Qt::LeftButton);
    EXPECT_TRUE(W->FTuningDrag);
    Mouse(Chart(), QEvent::MouseMove, AtHz(1500), Qt::LeftButton);
    const double px = double(quarter) / W->ChSpectrum->chart()->plotArea().width();
    EXPECT_NEAR(W->FModem->FCenter, 1500, px);
    EXPECT_EQ(W->Decoder.FAfcLow, W->FModem->FCenter - 250);
    EXPECT_EQ(W->Decoder.FAfcHigh, W->FModem->FCenter + 250);
    EXPECT_EQ(W->Decoder.FAfcCentre, afc);  // the estimate is the tracker's
    EXPECT_EQ(W->FModem->Shift, 170);
    Mouse(Chart(), QEvent::MouseButtonRelease, AtHz(1500), Qt::LeftButton);
    const int32_t tuned = W->FModem->FCenter;
    Mouse(Chart(), QEvent::MouseMove, AtHz(900), Qt::NoButton);
    EXPECT_EQ(W->FModem->FCenter, tuned);

    // Shift: the measuring box, no retuning; its release ends a drag begun without it.
    Mouse(Chart(), QEvent::MouseButtonPress, AtHz(2000), Qt::LeftButton, Qt::ShiftModifier);
    Mouse(Chart(), QEvent::MouseButtonRelease, AtHz(2000), Qt::LeftButton, Qt::ShiftModifier);
    EXPECT_EQ(W->FModem->FCenter, tuned);
    ASSERT_EQ(Prompts.Log.size(), 1u);
    EXPECT_TRUE(tilo_test::Like(Prompts.Log[0].Text, "#### *")) << Prompts.Log[0].Text;
    EXPECT_NEAR(std::stoi(Prompts.Log[0].Text), 2000, px + 1);
    Mouse(Chart(), QEvent::MouseButtonPress, AtHz(1000), Qt::LeftButton);
    Mouse(Chart(), QEvent::MouseButtonRelease, AtHz(1000), Qt::LeftButton, Qt::ShiftModifier);
    EXPECT_FALSE(W->FTuningDrag);
    const int32_t after = W->FModem->FCenter;
    Mouse(Chart(), QEvent::MouseMove, AtHz(1700), Qt::NoButton);
    EXPECT_EQ(W->FModem->FCenter, after);
}

TEST_F(ReceiverPages, ASignalOffTuneShowsItsTonesAndAClickRetunesToIt) {
    Start();
    W->cbTrackBox->setChecked(false);
    W->Decoder.cbTrackClick();
    ASSERT_EQ(W->FModem->FCenter, 1200);
    Feed(Message(11025, 1350, "FIRST TEST MESSAGE AT THIRTEEN FIFTY", 10));
    QApplication::processEvents();
    const QLineSeries* s = W->ChSpectrum->Series;
    ASSERT_GT(s->count(), 100);
    auto peak = [&](double Lo, double Hi) {
        double best = -1, at = 0;
        for (int i = 0; i < s->count(); ++i)
            if (s->at(i).x() >= Lo && s->at(i).x() < Hi && s->at(i).y() > best) best = s->at(i).y(), at = s->at(i).x();
        return at;
    };
    const double step = s->at(1).x() - s->at(0).x();
    // Keyed at 100 baud the averaged peaks sit a few points outside the tones.
    EXPECT_NEAR(peak(1150, 1350), 1265, 4 * step);
    EXPECT_NEAR(peak(1350, 1550), 1435, 4 * step);
    // The waterfall's top line: its brightest column lies at one of the two tones.
    // The lines of the message (the last few hold its silent tail): each one's brightest
    // column lies at one of the two tones.
    const QImage& b = W->WaterfallBitmap();
    const double perHz = b.width() / (SampleRate / 4.0);
    // Keyed FSK in noise spreads each line's peak over a few columns around its tone.
    auto brightest = [&](int y) {
        int bright = 0;
        for (int x = 0; x < b.width(); ++x)
            if (qGreen(b.pixel(x, y)) > qGreen(b.pixel(bright, y))) bright = x;
        return bright;
    };
    for (int y = 10; y < std::min(b.height(), 60); ++y) {
        const int bright = brightest(y);
        EXPECT_TRUE(std::abs(bright - 1265 * perHz) <= 10 || std::abs(bright - 1435 * perHz) <= 10)
            << y << ": " << bright << " for " << 1265 * perHz << " or " << 1435 * perHz;
    }
    // A steady tone: the column of its nearest spectrum point, less the one the pen's end
    // leaves out (entry i ends at round(i x width / length) - 1).
    std::vector<int16_t> tone(ModemBlockSize * 4);
    for (std::size_t i = 0; i < tone.size(); ++i) tone[i] = int16_t(8000 * std::sin(2 * std::numbers::pi * 1000.0 * i / 11025));
    Feed(tone);
    W->WaterfallBitmap();
    const double pointHz = (SampleRate / 4.0) / 512;
    EXPECT_EQ(brightest(0), int(std::nearbyint(std::nearbyint(1000 / pointHz) * b.width() / 512.0)) - 2)
        << brightest(0);
    tilo_test::SaveGrab(b, "waterfall_1350_off_tune");
    const QImage g = W->ChSpectrum->grab().toImage();
    for (double f : {1115.0, 1285.0})
        EXPECT_EQ(g.pixel(W->ChSpectrum->XOf(f), 60) & 0xFFFFFF, qRgb(255, 255, 0) & 0xFFFFFF) << f;
    tilo_test::SaveGrab(W->grab().toImage(), "spectrum_page_lin");

    W->Decoder.FTickerBuffer.clear();
    Mouse(Chart(), QEvent::MouseButtonPress, AtHz(1350), Qt::LeftButton);
    Mouse(Chart(), QEvent::MouseButtonRelease, AtHz(1350), Qt::LeftButton);
    const double px = (SampleRate / 4.0) / W->ChSpectrum->chart()->plotArea().width();
    EXPECT_NEAR(W->FModem->FCenter, 1350, px);
    EXPECT_EQ(W->Decoder.FAfcHigh - W->Decoder.FAfcLow, 500);
    Feed(Message(11025, 1350, "SECOND TEST MESSAGE NOW IN TUNE", 10, 2));
    EXPECT_NE(W->Decoder.FTickerBuffer.find("SECOND TEST MESSAGE NOW IN TUNE"), std::string::npos)
        << W->Decoder.FTickerBuffer;
    tilo_test::SaveGrab(W->WaterfallBitmap(), "waterfall_1350_in_tune");

    // The axis and source switches; the band and estimate while tracking.
    W->cbTrackBox->setChecked(true);
    W->ledCanTune->SetStatus(true);
    W->sbLinLog->click();
    EXPECT_EQ(W->sbLinLog->text(), "LOG");
    EXPECT_TRUE(W->ChSpectrum->Logarithmic());
    Feed(Message(11025, 1350, "X", 10, 3));
    QApplication::processEvents();
    tilo_test::SaveGrab(W->ChSpectrum->grab().toImage(), "spectrum_log_band_estimate");
    W->sbFilRaw->click();
    EXPECT_EQ(W->sbFilRaw->text(), "RAW");
    EXPECT_FALSE(W->sbLinLog->isChecked());  // released in state, not only in look
    EXPECT_EQ(W->sbLinLog->text(), "LIN");
    EXPECT_FALSE(W->ChSpectrum->Logarithmic());
    EXPECT_TRUE(W->sbFilRawDown());
    Feed(Message(11025, 1350, "X", 10, 4));
    QApplication::processEvents();
    tilo_test::SaveGrab(W->ChSpectrum->grab().toImage(), "spectrum_raw_band_estimate");
    W->sbLinLog->click();
    EXPECT_FALSE(W->sbFilRaw->isChecked());
    EXPECT_EQ(W->sbFilRaw->text(), "FIL");
}

TEST_F(ReceiverPages, TheRecordingsTonesLieAroundTheTunedCentre) {
    Start();
    W->FModem->SetFreq(1100, 170);
    W->Decoder.SetAfcBand(1100);
    const std::string wav = ReadFile(std::string(TILO_TESTDATA_DIR) + "/sitor_b_example_11025.wav");
    ASSERT_GT(wav.size(), 44u);
    std::vector<int16_t> pcm((wav.size() - 44) / 2);
    std::memcpy(pcm.data(), wav.data() + 44, pcm.size() * 2);
    pcm.resize(std::min<std::size_t>(pcm.size(), 11025 * 12));
    Feed(pcm);
    QApplication::processEvents();
    const QLineSeries* s = W->ChSpectrum->Series;
    auto peak = [&](double Lo, double Hi) {
        double best = -1, at = 0;
        for (int i = 0; i < s->count(); ++i)
            if (s->at(i).x() >= Lo && s->at(i).x() < Hi && s->at(i).y() > best) best = s->at(i).y(), at = s->at(i).x();
        return at;
    };
    const int32_t c = W->FModem->FCenter;
    // Tracked to 991 Hz, the recording's peaks lie at 915 and 1098 Hz.
    EXPECT_NEAR(peak(c - 200, c), c - 85, 25);
    EXPECT_NEAR(peak(c, c + 200), c + 85, 25);
    tilo_test::SaveGrab(W->WaterfallBitmap(), "waterfall_recording");
}

TEST_F(ReceiverPages, WaterfallSnapshotsAndTheirFailure) {
    Start();
    const TSpectrum flat(256, TSpecPoint{0, 100});
    const int32_t h = W->FWaterfallBitmap->height();
    for (int k = 0; k < h + 5; ++k) W->DrawWaterfallLine(flat, 1200, 1, false);
    W->cbWFallDumpBox->setChecked(true);
    W->DrawWaterfallLine(flat, 1200, 1, W->cbWFallDump());
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(Home + "DUMPS")) names.push_back(e.path().filename());
    ASSERT_EQ(names.size(), 1u);
    EXPECT_TRUE(std::regex_match(names[0], std::regex(R"(WFALL\d{8}( \d{6})?\.jpg)"))) << names[0];
    EXPECT_EQ(names[0], "WFALL20261210 130000.jpg");
    QImage back;
    std::string err;
    ASSERT_TRUE(ReadJpegFile(Home + "DUMPS/" + names[0], back, err)) << err;
    EXPECT_EQ(back.size(), W->FWaterfallBitmap->size());
    EXPECT_GT(back.pixelColor(20, h - 2).green(), 200);
    EXPECT_LT(back.pixelColor(20, h - 2).red(), 40);

    std::filesystem::remove_all(Home + "DUMPS");
    std::ofstream(Home + "DUMPS") << "in the way";
    for (int k = 0; k < h; ++k) W->DrawWaterfallLine(flat, 1200, 1, true);
    EXPECT_TRUE(tilo_test::Like(W->meSysLogLine(W->meSysLogLineCount() - 1),
                                "##:##:## Failed to write screendump: *"))
        << W->meSysLogLine(W->meSysLogLineCount() - 1);
}

TEST_F(ReceiverPages, ScopePicturesOneShotAndThePageRule) {
    Start();
    W->PageControl1->setCurrentIndex(4);
    W->PageControl2->setCurrentIndex(0);
    struct Case {
        int sel;
        const char* name;
    };
    for (const Case c : {Case{1, "raw"}, Case{2, "fir"}, Case{3, "env"}, Case{4, "bits"}})
        for (int zoom = 0; zoom < 3; ++zoom) {
            W->rgScopeSel->SetItemIndex(c.sel);
            W->rgScopeScale->SetItemIndex(zoom);
            Feed(Message(11025, 1200, "", 30));
            tilo_test::SaveGrab(W->imScope->Picture, std::string("scope_") + c.name + "_x" + std::to_string(1 << zoom));
            EXPECT_EQ(W->rgScopeSel->ItemIndex(), c.sel);
        }
    W->rgScopeSel->SetItemIndex(1);
    W->cbOneShotBox->setChecked(true);
    W->imScope->Picture.fill(Qt::black);
    std::vector<int16_t> one(ModemBlockSize);
    for (std::size_t i = 0; i < one.size(); ++i) one[i] = int16_t(8000 * std::sin(i * 0.7));
    W->FModem->ProcessBlock(one);
    EXPECT_EQ(W->rgScopeSel->ItemIndex(), 0);
    W->DisplayFrame();
    EXPECT_EQ(W->imScope->Picture.pixel(3, 3) & 0xFFFFFF, qRgb(0, 22, 0) & 0xFFFFFF);
    W->imScope->Picture.fill(Qt::black);
    W->FModem->ProcessBlock(one);
    W->DisplayFrame();
    EXPECT_EQ(W->imScope->Picture.pixel(3, 3) & 0xFFFFFF, 0u);  // OFF draws nothing

    W->cbOneShotBox->setChecked(false);
    W->rgScopeSel->SetItemIndex(2);
    W->PageControl1->setCurrentIndex(5);
    EXPECT_EQ(W->rgScopeSel->ItemIndex(), 0);
    W->PageControl1->setCurrentIndex(4);
    EXPECT_EQ(W->rgScopeSel->ItemIndex(), 0);
}

TEST_F(ReceiverPages, CorrectionFactorTrackBarAndSave) {
    Start();
    W->PageControl1->setCurrentIndex(4);
    EXPECT_FALSE(W->tbCorFac->isEnabled());
    W->ModemPllPhase(30);
    EXPECT_EQ(W->agPLL->Position(), 55.0f);
    W->cbEnableCalib->click();
    ASSERT_TRUE(W->tbCorFac->isEnabled());
    EXPECT_FALSE(W->btnSampRate->isEnabled());
    struct Case {
        int key, position;
        const char* text;
        double baud;
    };
    W->tbCorFac->setFocus();
    for (const Case c : {Case{Qt::Key_Home, 0, "0.975", 97.5}, Case{Qt::Key_End, 0, "1.025", 102.5}}) {
        Key(W->tbCorFac, c.key);
        EXPECT_EQ(W->lbCorFac->text().toStdString(), c.text);
        EXPECT_DOUBLE_EQ(W->FModem->Baud(), c.baud);
    }
    W->tbCorFac->setValue(0);
    EXPECT_EQ(W->lbCorFac->text(), "1");
    EXPECT_DOUBLE_EQ(W->FModem->Baud(), 100);
    W->tbCorFac->setValue(1234);
    EXPECT_EQ(W->lbCorFac->text(), "1.01234");
    tilo_test::SaveGrab(W->grab().toImage(), "calibration_page");
    W->btnSaveCorFac->click();
    EXPECT_NE(ReadFile(Home + "Tilo.ini").find("CORFAC=1.01234"), std::string::npos) << ReadFile(Home + "Tilo.ini");
    tilo::PhaseAverage = 0;
    W->PageControl1->setCurrentWidget(W->tsCalibration);
    W->ModemPllPhase(4);
    W->DisplayFrame();
    EXPECT_FLOAT_EQ(W->agPLL->Position(), 55 + 0.1f);
    W->cbEnableCalib->click();
    EXPECT_EQ(W->agPLL->Position(), 55.0f);
    EXPECT_FALSE(W->gbCalib->isEnabled());
}

namespace {



}  // namespace

TEST_F(ReceiverPages, SampleRateChangeReopensCaptureAndDecodesAtTheNewRate) {
    Script->Audio[11025] = Message(11025, 1200, "DECODED AT ELEVEN", 30, 1, "EA01");
    Script->Audio[12000] = Message(12000, 1200, "DECODED AT TWELVE", 30, 5, "EB02");
    Start();
    // Unpaced audio outruns the one-second tracking tick: a tick between the two
    // recordings would track the first one's silent tail.
    W->cbTrackBox->setChecked(false);
    ASSERT_TRUE(tilo_test::WaitFor([&] { return Stored("EA01"); }, 20000));
    W->cbEnableCalib->click();
    W->rgSampRate->SetItemIndex(1);
    W->rgSampRateClick();
    ASSERT_TRUE(W->btnSampRate->isEnabled());
    Script->Calls.clear();
    W->btnSampRateClick();
    const std::vector<std::string> expected = {"Reset", "Close", "QueryFormat 12000", "Open 12000", "Start"};
    EXPECT_EQ(Script->Calls, expected);
    EXPECT_EQ(SampleRate, 12000);
    EXPECT_DOUBLE_EQ(W->ChSpectrum->AxisMaximum(), 3000);
    EXPECT_TRUE(W->FWaveIn->Recording());
    EXPECT_GT(W->FAudioWindow->EnabledNotifiers(), 0);  // Rearm watched the new descriptors
    ASSERT_EQ(Prompts.Log.size(), 1u);
    EXPECT_EQ(Prompts.Log[0].Text, "Sample rate was changed.\rCalibration must be checked again now!");
    EXPECT_TRUE(W->btnSampRate->isEnabled());
    EXPECT_TRUE(tilo_test::WaitFor([&] { return Stored("EB02"); }, 20000));

}

TEST_F(ReceiverPages, ARefusedRateKeepsCaptureAtThePreviousOne) {
    Script->Audio[11025] = Message(11025, 1200, "STILL AT ELEVEN", 30);
    Script->Refused = {12000};
    Start();
    W->cbTrackBox->setChecked(false);
    W->cbEnableCalib->click();
    W->rgSampRate->SetItemIndex(1);
    W->rgSampRateClick();
    W->btnSampRateClick();
    ASSERT_EQ(Prompts.Log.size(), 1u);
    EXPECT_TRUE(tilo_test::Like(Prompts.Log[0].Text, "Sample rate was NOT changed: *refused*")) << Prompts.Log[0].Text;
    EXPECT_EQ(SampleRate, 11025);
    EXPECT_EQ(W->rgSampRate->ItemIndex(), 0);
    EXPECT_DOUBLE_EQ(W->ChSpectrum->AxisMaximum(), 2756);
    EXPECT_TRUE(W->FWaveIn->Recording());
    EXPECT_TRUE(tilo_test::WaitFor([&] { return Stored("EA01"); }, 20000));
}

TEST_F(ReceiverPages, ACloseDuringTheWaitEndsTheChange) {
    Start();
    W->cbEnableCalib->click();
    W->rgSampRate->SetItemIndex(1);
    QTimer::singleShot(100, W.get(), [this] { W->FormCloseQuery(false); });
    W->btnSampRateClick();
    EXPECT_TRUE(W->ShutdownDone());
    EXPECT_FALSE(W->FWaveIn);
    EXPECT_EQ(SampleRate, 11025);
}

TEST_F(ReceiverPages, OptionsSaveChecksFirstAndWritesOneFile) {
    Start();
    W->PageControl1->setCurrentIndex(5);
    for (const char* s : {"1 STATION ONE,AA", "2 STATION TWO,BB", "3 STATION THREE,CC"}) {
        auto* item = new QListWidgetItem(s, W->cbAllStations);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(Qt::Checked);
    }
    const std::string before = ReadFile(Home + "Tilo.ini");
    struct Bad {
        const char *lat, *lon, *len, *box;
    };
    for (const Bad b : {Bad{"abc", "4", "0", "Illegal value for RX latitude\rsave aborted!"},
                        Bad{"52.1", "4,5", "0", "Illegal value for RX longitude\rsave aborted!"},
                        Bad{"52.1", "4.5", "x12", "Illegal value for minimum fragment length\rsave aborted!"}}) {
        W->edtRXLat->setText(b.lat);
        W->edtRXLon->setText(b.lon);
        W->edtMinUNIDLen->setText(b.len);
        Prompts.Log.clear();
        W->btnSaveOptions->click();
        ASSERT_EQ(Prompts.Log.size(), 1u);
        EXPECT_EQ(Prompts.Log[0].Text, b.box);
        EXPECT_EQ(ReadFile(Home + "Tilo.ini"), before);
        EXPECT_EQ(RxLat, 0.0);
    }
    W->edtRXLat->setText("52.1");
    W->edtRXLon->setText("4.5");
    W->edtMinUNIDLen->setText("25");
    W->cbConfirmDelete->setChecked(true);
    W->DBNavigator1->ConfirmDelete = false;
    W->SpeedButton4->click();
    W->btnSaveOptions->click();
    std::string ini = ReadFile(Home + "Tilo.ini");
    EXPECT_EQ(ini.find("[DO_NOT_LOG]"), std::string::npos) << ini;
    EXPECT_NE(ini.find("RX_LAT=52.1"), std::string::npos) << ini;
    EXPECT_NE(ini.find("MINLEN=25"), std::string::npos) << ini;
    EXPECT_NE(ini.find("CONFIRM_DELETE=Y"), std::string::npos) << ini;
    EXPECT_TRUE(W->DBNavigator1->ConfirmDelete);
    EXPECT_EQ(RxLat, 52.1);
    EXPECT_EQ(W->FMinUnidLen(), 25);

    W->SpeedButton5->click();
    W->cbAllStations->item(1)->setCheckState(Qt::Checked);
    W->mePersonalInfo->setPlainText("first line\n\nthird line");
    W->btnSaveOptions->click();
    ini = ReadFile(Home + "Tilo.ini");
    EXPECT_NE(ini.find("[DO_NOT_LOG]\r\n1=1 STATION ONE,AA\r\n2=3 STATION THREE,CC\r\n"), std::string::npos) << ini;
    EXPECT_NE(ini.find("[USER_INFO]\r\n0=first line\r\n1=\r\n2=third line\r\n"), std::string::npos) << ini;
    tilo_test::SaveGrab(W->grab().toImage(), "options_page");
    RxLat = 0;
    RxLon = 0;
}

namespace {

std::string FakeProgram(const std::string& Dir, const std::string& Name, const std::string& Marker) {
    const std::string p = Dir + Name;
    std::ofstream(p) << "#!/bin/sh\necho \"" << Name << " $*\" > '" << Marker << "'\n";
    ::chmod(p.c_str(), 0755);
    return p;
}

}  // namespace

TEST_F(ReceiverPages, AudioInputStartsTheInstalledMixer) {
    Start();
    const std::string saved = std::getenv("PATH") ? std::getenv("PATH") : "";
    const std::string a = Home + "a/", b = Home + "b/", marker = Home + "marker";
    std::filesystem::create_directories(a);
    std::filesystem::create_directories(b);
    FakeProgram(a, "pavucontrol", marker);
    FakeProgram(b, "alsamixer", marker);
    FakeProgram(b, "x-terminal-emulator", marker);
    const std::string dirA = a.substr(0, a.size() - 1), dirB = b.substr(0, b.size() - 1);
    ::setenv("PATH", (dirA + ":" + dirB).c_str(), 1);
    W->sbAudio->click();
    EXPECT_TRUE(tilo_test::WaitFor([&] { return ReadFile(marker) == "pavucontrol \n"; })) << ReadFile(marker);
    std::filesystem::remove(marker);
    ::setenv("PATH", dirB.c_str(), 1);
    W->sbAudio->click();
    EXPECT_TRUE(tilo_test::WaitFor([&] { return ReadFile(marker) == "x-terminal-emulator -e " + b + "alsamixer\n"; }))
        << ReadFile(marker);
    ::setenv("PATH", Home.c_str(), 1);
    W->sbAudio->click();
    EXPECT_TRUE(tilo_test::Like(W->meSysLogLine(W->meSysLogLineCount() - 1),
                                "##:##:## AUDIO INPUT: no mixer program found"));
    ::setenv("PATH", saved.c_str(), 1);
}

TEST_F(ReceiverPages, WaterfallSpeedFreezeWheelAndHistory) {
    Start();
    W->PageControl2->setCurrentIndex(0);
    std::vector<int16_t> tone(ModemBlockSize * 6);
    for (std::size_t i = 0; i < tone.size(); ++i) tone[i] = int16_t(8000 * std::sin(2 * std::numbers::pi * 1000.0 * i / 11025));
    // At the speed's maximum every block draws a line; two below it every third one.
    struct Case {
        int position, lines;
    };
    for (const Case c : {Case{60, 6}, Case{58, 2}}) {
        W->tbwfallspeed->setValue(c.position);
        W->FWaterfallRing.Reset(W->FWaterfallRing.Size());
        W->FWaterfall = {};
        Feed(tone);
        const QImage& b = W->WaterfallBitmap();
        int lines = 0;
        for (int y = 0; y < b.height(); ++y) {
            int top = 0;
            // Left of the label, whose cyan has full green too.
            for (int x = 0; x < b.width() - 100; ++x) top = std::max(top, qGreen(b.pixel(x, y)));
            lines += top > 100;
        }
        EXPECT_EQ(lines, c.lines) << c.position;
    }
    // Frozen, the control keeps its picture while the bitmap scrolls on.
    W->tbwfallspeed->setValue(60);
    W->cbFreezeBox->setChecked(true);
    const QImage shown = W->pbWfall->Picture;
    Feed(tone);
    EXPECT_EQ(W->pbWfall->Picture, shown);
    W->cbFreezeBox->setChecked(false);
    Feed(tone);
    EXPECT_NE(W->pbWfall->Picture, shown);
    // The wheel turns both track bars.
    W->cbEnableCalib->click();
    for (QSlider* s : {W->tbwfallspeed, W->tbCorFac}) {
        const int before = s->value();
        QWheelEvent wheel(QPointF(5, 5), s->mapToGlobal(QPointF(5, 5)), QPoint(), QPoint(0, -120), Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(s, &wheel);
        EXPECT_NE(s->value(), before) << s->objectName().toStdString();
    }
    EXPECT_EQ(W->lbCorFac->text().toStdString(), classlib::FloatToStr(W->tbCorFac->value() / 100000.0 + 1));
    // The quality history: one point every fifth block.
    const auto* hist = qobject_cast<QLineSeries*>(W->chHist->chart()->series().first());
    ASSERT_TRUE(hist);
    EXPECT_EQ(hist->count(), W->Decoder.BlockCounter / 5);
}
