// The receive page's displays drawn on the frame, not per block: after any number of
// blocks a frame shows what drawing every block would have shown (the same pixels), the
// displays that cannot be seen are not drawn at all, and the decoder gets every block
// either way. The recording's blocks go straight into the demodulator.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineSeries>
#include <QTabWidget>
#include <QTimer>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "MainTestKit.h"
#include "QtTestApp.h"
#include "app/ChSpectrum.h"
#include "app/Displays.h"
#include "app/PaintImage.h"
#include "app/U_Main.h"
#include "app/components/AnalogGauge.h"
#include "decoder/UCommon.h"
#include "decoder/uModem.h"
#include "platform/WavFile.h"

using namespace tilo;

namespace {

// Counts the paint events a widget gets.
class TPaintCounter : public QObject {
public:
    explicit TPaintCounter(QWidget* W) { W->installEventFilter(this); }
    int Paints = 0;

protected:
    bool eventFilter(QObject*, QEvent* E) override {
        if (E->type() == QEvent::Paint) ++Paints;
        return false;
    }
};

class DisplayFrame : public testing::Test {
protected:
    void SetUp() override {
        Home = tilo_test::TempFolder() + "/";
        ::setenv("TILO_HOME", Home.c_str(), 1);
        ::setenv("TILO_FEED_PORT", "0", 1);
        std::ofstream(Home + "Tilo.ini") << "[OPTIONS]\r\nFREQ=1000\r\n";
        Pcm = ReadWavFile(std::string(TILO_TESTDATA_DIR) + "/sitor_b_example_11025.wav").Samples;
        W = std::make_unique<TfrmMain>();
        W->ClockSource = [] { return tilo_test::Utc(2026, 12, 10, 12, 0, 0); };
        W->LocalClockSource = [] { return tilo_test::Utc(2026, 12, 10, 13, 0, 0); };
        W->AudioSourceFactory = [] { return std::unique_ptr<TAudioSource>(new tilo_test::TNoDevice); };
        W->show();
        W->resize(1280, 800);
        W->TimOpenDBTimer();
        W->PageControl1->setCurrentWidget(W->tsSpectrum);
        W->PageControl2->setCurrentWidget(W->tsWaterfall);
        QApplication::processEvents();
        W->FrameTimer->stop();  // the test draws its frames itself
    }
    void TearDown() override {
        W.reset();
        ::unsetenv("TILO_HOME");
        ::unsetenv("TILO_FEED_PORT");
    }
    // Block Index of the recording into the demodulator; Each runs after it.
    void Block(std::size_t Index) {
        const std::size_t at = (Index * ModemBlockSize) % (Pcm.size() - ModemBlockSize);
        W->FModem->ProcessBlock(std::span<const int16_t>(Pcm.data() + at, ModemBlockSize));
    }

    std::string Home;
    std::vector<int16_t> Pcm;
    std::unique_ptr<TfrmMain> W;
};

// Grabs of two widgets alike in size and pixels.
void ExpectSameGrab(QWidget& Shown, QWidget& Reference, const char* What) {
    Reference.resize(Shown.size());
    const QImage a = Shown.grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QImage b = Reference.grab().toImage().convertToFormat(QImage::Format_RGB32);
    EXPECT_EQ(a.size(), b.size()) << What;
    EXPECT_TRUE(a == b) << What << " differs from drawing every block";
}

}  // namespace

TEST_F(DisplayFrame, AFrameShowsWhatDrawingEveryBlockWouldHaveShown) {
    W->rgScopeSel->SetItemIndex(1);  // RAW
    // Beside the window: the waterfall drawn block by block as it always was, and the
    // scope's last raw trace.
    QImage waterfall(W->WaterfallBitmap().size(), QImage::Format_RGB888);
    waterfall.fill(Qt::black);
    TWaterfallState state;
    std::vector<double> lastRaw;
    auto diag = W->FModem->OnDiagOutput;
    W->FModem->OnDiagOutput = [&](const TArrDbl& Raw, const TArrDbl& F1, const TArrDbl& F2, const TNvector& M,
                                  const TNvector& S) {
        lastRaw = Raw;
        diag(Raw, F1, F2, M, S);
    };
    const int32_t speed = W->tbwfallspeedMax() - W->tbwfallspeedPosition() + 1;
    // Frames after uneven runs of blocks, and one after the last; the waterfall goes
    // once round its height so that the kept lines wrap.
    const int blocks = waterfall.height() + 37;
    for (int i = 0; i < blocks; ++i) {
        const int32_t centre = W->FModem->FCenter;
        Block(std::size_t(i));
        TWaterfallLine line{centre, speed, false, W->LocalNow(), W->Decoder.UtcTimeStr(0), {}};
        DrawWaterfallLine(W->Decoder.FSpectrum, waterfall, state, line);
        if (i % 7 == 3 || i % 11 == 0) W->DisplayFrame();
    }
    W->DisplayFrame();
    QApplication::processEvents();

    // The waterfall: the picture kept and the control's grab.
    EXPECT_TRUE(W->WaterfallBitmap() == waterfall);
    TPaintImage reference;
    reference.Picture = waterfall.convertToFormat(QImage::Format_RGB32);
    ExpectSameGrab(*W->pbWfall, reference, "waterfall");

    // The spectrum: the last block's averaged spectrum, from its third point (the
    // block handler leaves out the DC point, the chart its first point again).
    const TSpectrum& avg = W->Decoder.FAvgSpectrum;
    const QLineSeries* s = W->ChSpectrum->Series;
    ASSERT_EQ(std::size_t(s->count()), avg.size() - 2);
    for (std::size_t i = 2; i < avg.size(); ++i) {
        EXPECT_EQ(s->at(qsizetype(i - 2)).x(), avg[i].Freq);
        EXPECT_EQ(s->at(qsizetype(i - 2)).y(), avg[i].Mag);
    }

    // The gauges: the last level and quality, the needle where one set would put it.
    EXPECT_EQ(W->Gaugelvl->Position(), float(std::nearbyint(W->Decoder.FLevelAverage)));
    EXPECT_EQ(W->ErrGauge->Position(), W->Decoder.FErrGaugePosition);
    for (TAnalogGauge* g : {W->Gaugelvl, W->ErrGauge}) {
        TAnalogGauge one;
        one.setFixedSize(g->size());
        one.SetCaption(g->Caption());
        one.SetPosition(g->Position());
        ExpectSameGrab(*g, one, g->objectName().toLatin1().constData());
    }

    // The scope: the last block's raw samples.
    ASSERT_FALSE(lastRaw.empty());
    QImage scope(W->imScope->size(), QImage::Format_RGB32);
    DrawScope(lastRaw, {}, {}, scope, 1);
    EXPECT_TRUE(W->imScope->Picture == scope);

    // The quality history: every fifth block's point.
    const auto* hist = qobject_cast<QLineSeries*>(W->chHist->chart()->series().first());
    EXPECT_EQ(hist->count(), W->Decoder.BlockCounter / 5);
    EXPECT_EQ(W->Decoder.BlockCounter, blocks);
}

TEST_F(DisplayFrame, DisplaysThatCannotBeSeenAreNotDrawnAndTheDecoderSeesEveryBlock) {
    W->rgScopeSel->SetItemIndex(1);
    TPaintCounter spectrum(W->ChSpectrum->viewport()), waterfall(W->pbWfall), scope(W->imScope),
        history(W->chHist->viewport());
    // Other pages in front of both displays' pages.
    W->PageControl1->setCurrentWidget(W->tsMessages);
    W->PageControl2->setCurrentWidget(W->tsMessage);
    QApplication::processEvents();
    W->DisplayDraws = {};
    spectrum.Paints = waterfall.Paints = scope.Paints = history.Paints = 0;
    for (int i = 0; i < 40; ++i) {
        Block(std::size_t(i));
        if (i % 4 == 0) W->DisplayFrame();
    }
    QApplication::processEvents();
    EXPECT_EQ(W->DisplayDraws.Spectrum, 0);
    EXPECT_EQ(W->DisplayDraws.Waterfall, 0);
    EXPECT_EQ(W->DisplayDraws.Scope, 0);
    EXPECT_EQ(W->DisplayDraws.History, 0);
    EXPECT_EQ(spectrum.Paints + waterfall.Paints + scope.Paints + history.Paints, 0);
    EXPECT_GT(W->DisplayDraws.Gauges, 0);  // above the pages, in view
    EXPECT_EQ(W->Decoder.BlockCounter, 40);

    // Minimised, the gauges are not drawn either.
    W->showMinimized();
    QApplication::processEvents();
    const int gauges = W->DisplayDraws.Gauges;
    for (int i = 40; i < 60; ++i) {
        Block(std::size_t(i));
        W->DisplayFrame();
    }
    EXPECT_EQ(W->DisplayDraws.Gauges, gauges);
    EXPECT_EQ(W->Decoder.BlockCounter, 60);

    // Restored with the spectrum page in front (which the block handler feeds only
    // while it is shown): one frame brings the latest spectrum.
    W->showNormal();
    W->PageControl1->setCurrentWidget(W->tsSpectrum);
    QApplication::processEvents();
    for (int i = 60; i < 63; ++i) Block(std::size_t(i));
    W->DisplayFrame();
    EXPECT_EQ(W->DisplayDraws.Spectrum, 1);
    const TSpectrum& avg = W->Decoder.FAvgSpectrum;
    ASSERT_EQ(std::size_t(W->ChSpectrum->Series->count()), avg.size() - 2);
    EXPECT_EQ(W->ChSpectrum->Series->at(10).y(), avg[12].Mag);
    EXPECT_GT(W->DisplayDraws.Gauges, gauges);
}

TEST_F(DisplayFrame, ManyBlocksWaitForOneFrameOfTheTimer) {
    W->DisplayDraws = {};
    for (int i = 0; i < 50; ++i) Block(std::size_t(i));
    EXPECT_TRUE(W->FrameTimer->isActive());
    EXPECT_EQ(W->DisplayDraws.Spectrum, 0);
    ASSERT_TRUE(tilo_test::WaitFor([&] { return W->DisplayDraws.Spectrum > 0; }, 5000));
    EXPECT_EQ(W->DisplayDraws.Spectrum, 1);
    EXPECT_EQ(W->DisplayDraws.Waterfall, 1);
    EXPECT_FALSE(W->FrameTimer->isActive());  // nothing new: no frame is due
}
