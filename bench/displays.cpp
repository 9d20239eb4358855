// What the receive page's displays cost per audio block (1024 samples, 92.9 ms at 11025
// samples per second; the budget for all displays together is well under 5 %, 4.6 ms):
// the example recording's blocks through a shown main window (Spectrum and Waterfall
// pages shown; a second run with the scope on RAW) at the default size and at
// 1920 x 1080: the block handler's own cost (block_ms), then one frame of the displays
// (frame_ms) and every display widget rendered into an image, as real time has a frame
// after every block (paint_ms); beside it the same blocks through the decoder with a host that shows nothing; and one
// waterfall snapshot at full size. Counters give each display's milliseconds per block.
//
// The whole program's unpaced replay: a file of the recording played 20 times (340 s of
// audio) through the main window shown at 1280 x 800 with its database open and the
// spectrum and waterfall pages in front, from the start of capture to "End of audio
// file", beside navtex-decode on the same file in the same run. Counters give both as
// multiples of real time.
#include "app/AudioPump.h"
#include "app/Displays.h"
#include "app/PaintImage.h"
#include "app/ChSpectrum.h"
#include "app/TiloApplication.h"
#include "app/U_Main.h"
#include "app/components/AnalogGauge.h"
#include "bench/AppBench.h"
#include "bench/QuietHost.h"
#include "decoder/NavtexDecoder.h"
#include "decoder/UCommon.h"
#include "decoder/UWavein4.h"
#include "decoder/uModem.h"
#include "platform/WavFile.h"
#include "platform/WavFileSource.h"
#include "tools/navtex-decode/NavtexDecode.h"

#include <QApplication>
#include <QChartView>
#include <QTabWidget>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

tilo::TTiloApplication& App() { return BenchApp("bench_displays"); }

const std::vector<int16_t>& Recording() {
    static const std::vector<int16_t> pcm =
        tilo::ReadWavFile(std::string(TILO_SOURCE_DIR) + "/tests/data/sitor_b_example_11025.wav").Samples;
    return pcm;
}

std::unique_ptr<tilo::TfrmMain> Window(int Width, int Height) {
    App();
    static const std::string home = (std::filesystem::temp_directory_path() / "bench_displays").string() + "/";
    std::filesystem::create_directories(home);
    setenv("TILO_HOME", home.c_str(), 1);
    setenv("TILO_FEED_PORT", "50987", 1);
    auto w = std::make_unique<tilo::TfrmMain>();
    // A sound input that never delivers: the benchmark feeds the demodulator itself.
    w->AudioSourceFactory = [] { return std::make_unique<TSilentSource>(1, "silent"); };
    w->resize(Width, Height);
    w->show();
    w->TimOpenDBTimer();
    w->PageControl1->setCurrentIndex(0);
    w->PageControl2->setCurrentIndex(0);
    QApplication::processEvents();
    return w;
}

double Ms(std::chrono::steady_clock::duration D) { return std::chrono::duration<double, std::milli>(D).count(); }

void Displays(benchmark::State& State, int Width, int Height, int Scope) {
    auto w = Window(Width, Height);
    w->rgScopeSel->SetItemIndex(Scope);
    const std::vector<int16_t>& pcm = Recording();
    QImage canvas(1920, 1080, QImage::Format_RGB32);
    double spectrum = 0, waterfall = 0, scope = 0, history = 0, gauges = 0, handler = 0, frame = 0;
    std::size_t at = 0, blocks = 0;
    using clock = std::chrono::steady_clock;
    for (auto _ : State) {
        if (at + tilo::ModemBlockSize > pcm.size()) at = 0;
        const auto t0 = clock::now();
        w->FModem->ProcessBlock(std::span<const int16_t>(pcm.data() + at, tilo::ModemBlockSize));
        const auto t1 = clock::now();
        // A frame after every block, as in real time (a block lasts longer than a frame).
        w->DisplayFrame();
        const auto tf = clock::now();
        frame += Ms(tf - t1);
        static_cast<QWidget*>(w->ChSpectrum)->render(&canvas);  // the widget, not the scene
        const auto t2 = clock::now();
        w->pbWfall->render(&canvas);
        const auto t3 = clock::now();
        w->imScope->render(&canvas);
        const auto t4 = clock::now();
        static_cast<QWidget*>(w->chHist)->render(&canvas);
        const auto t5 = clock::now();
        w->Gaugelvl->render(&canvas);
        w->ErrGauge->render(&canvas);
        const auto t6 = clock::now();
        handler += Ms(t1 - t0);
        spectrum += Ms(t2 - tf);
        waterfall += Ms(t3 - t2);
        scope += Ms(t4 - t3);
        history += Ms(t5 - t4);
        gauges += Ms(t6 - t5);
        at += tilo::ModemBlockSize;
        ++blocks;
    }
    const double n = double(blocks);
    State.counters["block_ms"] = handler / n;
    State.counters["spectrum_ms"] = spectrum / n;
    State.counters["waterfall_ms"] = waterfall / n;
    State.counters["scope_ms"] = scope / n;
    State.counters["history_ms"] = history / n;
    State.counters["gauges_ms"] = gauges / n;
    State.counters["frame_ms"] = frame / n;
    State.counters["paint_ms"] = (frame + spectrum + waterfall + scope + history + gauges) / n;
}

void BM_DisplaysDefault(benchmark::State& S) { Displays(S, 1000, 760, 0); }
void BM_DisplaysDefaultScopeRaw(benchmark::State& S) { Displays(S, 1000, 760, 1); }
void BM_DisplaysFullHd(benchmark::State& S) { Displays(S, 1920, 1080, 0); }
void BM_DisplaysFullHdScopeRaw(benchmark::State& S) { Displays(S, 1920, 1080, 1); }

// The same blocks through the demodulator and decoder with nothing shown.
void BM_DecoderAlone(benchmark::State& State) {
    tilo::SetSampleRate(11025);
    TQuietHost host;
    tilo::TNavtexDecoder dec(host);
    tilo::TModem modem;
    modem.OnDataReady = [&](const std::string& Bits, double Faze, const tilo::TNvector& Re, const tilo::TNvector& Im,
                            const std::vector<int32_t>& PllBits) { dec.ModemBlockDone(Bits, Faze, Re, Im, PllBits); };
    dec.FModem = &modem;
    const std::vector<int16_t>& pcm = Recording();
    std::size_t at = 0;
    for (auto _ : State) {
        if (at + tilo::ModemBlockSize > pcm.size()) at = 0;
        modem.ProcessBlock(std::span<const int16_t>(pcm.data() + at, tilo::ModemBlockSize));
        at += tilo::ModemBlockSize;
    }
}

void BM_DumpWaterfallJpegFullHd(benchmark::State& State) {
    auto w = Window(1920, 1080);
    const std::string folder = (std::filesystem::temp_directory_path() / "bench_displays").string() + "/";
    std::filesystem::create_directories(folder + "DUMPS");
    // The bitmap as large as the waterfall control of a full-screen window, filled with
    // the recording's lines.
    QImage bitmap(w->pbWfall->size(), QImage::Format_RGB888);
    bitmap.fill(Qt::black);
    tilo::TWaterfallState st;
    const std::vector<int16_t>& pcm = Recording();
    for (std::size_t at = 0; at + tilo::ModemBlockSize <= pcm.size(); at += tilo::ModemBlockSize) {
        w->FModem->ProcessBlock(std::span<const int16_t>(pcm.data() + at, tilo::ModemBlockSize));
        tilo::DrawWaterfallLine(w->Decoder.FSpectrum, bitmap, st, {1000, 1, false, 0, "12:00:00", {}});
    }
    State.counters["width"] = bitmap.width();
    State.counters["height"] = bitmap.height();
    double t = 46000.5;
    for (auto _ : State) {
        const std::string err = tilo::DumpWaterfallJpeg(bitmap, folder, t);
        if (!err.empty()) State.SkipWithError(err.c_str());
        t += 1.0 / 86400;
    }
    std::filesystem::remove_all(folder + "DUMPS");
}

}  // namespace

namespace {

// The recording Times over, as one file of its own.
const std::string& ReplayFile() {
    static const std::string path = [] {
        const std::string p = (std::filesystem::temp_directory_path() / "bench_displays_replay.wav").string();
        std::vector<int16_t> audio;
        for (int i = 0; i < 20; ++i) audio.insert(audio.end(), Recording().begin(), Recording().end());
        tilo::WriteWavFile(p, 11025, audio);
        return p;
    }();
    return path;
}

double ReplaySeconds() { return double(Recording().size()) * 20 / 11025; }

// The main window that notes the end of its audio file.
class TReplayWindow : public tilo::TfrmMain {
public:
    bool Ended = false;
    void SysLog(const std::string& Msg) override {
        if (Msg.find("End of audio file") != std::string::npos) Ended = true;
        tilo::TfrmMain::SysLog(Msg);
    }
};

void BM_ReplayWholeProgram(benchmark::State& State) {
    App();
    const std::string file = ReplayFile();
    const std::string home = (std::filesystem::temp_directory_path() / "bench_displays_replay").string() + "/";
    double program = 0, decode = 0;
    int runs = 0;
    for (auto _ : State) {
        std::filesystem::remove_all(home);
        std::filesystem::create_directories(home);
        setenv("TILO_HOME", home.c_str(), 1);
        setenv("TILO_FEED_PORT", "0", 1);
        auto w = std::make_unique<TReplayWindow>();
        w->AudioSourceFactory = [&] { return std::make_unique<tilo::TWavFileSource>(file, false); };
        w->resize(1280, 800);
        w->show();
        // Every display in view: the spectrum page over the waterfall page.
        w->PageControl1->setCurrentIndex(0);
        w->PageControl2->setCurrentIndex(0);
        QApplication::processEvents();
        const auto t0 = std::chrono::steady_clock::now();
        w->TimOpenDBTimer();
        while (!w->Ended) QApplication::processEvents(QEventLoop::AllEvents);
        const auto t1 = std::chrono::steady_clock::now();
        w->FormCloseQuery(false);
        w.reset();
        QApplication::processEvents();
        std::ostringstream out, err;
        const auto t2 = std::chrono::steady_clock::now();
        tilo::NavtexDecodeMain({file}, out, err);
        const auto t3 = std::chrono::steady_clock::now();
        program += std::chrono::duration<double>(t1 - t0).count();
        decode += std::chrono::duration<double>(t3 - t2).count();
        ++runs;
    }
    State.counters["program_x_realtime"] = ReplaySeconds() * runs / program;
    State.counters["navtex_decode_x_realtime"] = ReplaySeconds() * runs / decode;
}

}  // namespace

BENCHMARK(BM_ReplayWholeProgram)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_DecoderAlone)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DisplaysDefault)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DisplaysDefaultScopeRaw)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DisplaysFullHd)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DisplaysFullHdScopeRaw)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DumpWaterfallJpegFullHd)->Unit(benchmark::kMillisecond);
