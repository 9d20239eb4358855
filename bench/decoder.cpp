// Decoding-chain throughput against real time. One hour of synthesised NAVTEX audio (a
// two-minute broadcast with noise, repeated) goes through the demodulator block by block,
// alone and with the whole per-block work of the receiver (block handler with spectrum,
// character and message stages, tracking and clock ticks every second of audio); the
// "x_realtime" counter is audio seconds processed per second of processing. Below them,
// the off-air recording played for twenty minutes through the whole chain, and each
// stage of one block alone. bench/decoder-before-after.sh builds this same file against
// an earlier commit's decoder and runs both, with navtex-decode on the long recording.
#include "NavtexSynth.h"

#include "QuietHost.h"
#include "decoder/DecodingChain.h"
#include "decoder/FIRFilters.h"
#include "decoder/NavtexDecoder.h"
#include "decoder/U_FFT.h"
#include "decoder/UCommon.h"
#include "decoder/uModem.h"
#include "platform/WavFile.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>
#include <vector>

namespace {

std::vector<int16_t> OneHourOfAudio(int32_t rate) {
    tilo::TSynthMessage msg;
    msg.Header = "EA01";
    for (int i = 0; i < 12; ++i)
        msg.Text += "GALE WARNING 1234 UTC. SOUTHWEST WIND FORCE 8 TO 9, VEERING WEST LATER.\n";
    tilo::TSynthOptions o;
    o.SampleRate = rate;
    o.SnrDb = 6;
    const std::vector<int16_t> broadcast = tilo::SynthesiseNavtex(msg, o);
    std::vector<int16_t> hour;
    const std::size_t total = std::size_t(rate) * 3600;
    hour.reserve(total);
    while (hour.size() < total) {
        const std::size_t n = std::min(broadcast.size(), total - hour.size());
        hour.insert(hour.end(), broadcast.begin(), broadcast.begin() + std::ptrdiff_t(n));
    }
    return hour;
}

void BM_DemodulatorOneHour(benchmark::State& state) {
    const int32_t rate = int32_t(state.range(0));
    tilo::SetSampleRate(rate);
    const std::vector<int16_t> audio = OneHourOfAudio(rate);
    const std::size_t blocks = audio.size() / tilo::ModemBlockSize;
    std::size_t bitCount = 0;
    double busy = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        tilo::TModem modem;
        modem.SetFreq(1000, 170);
        modem.OnDataReady = [&](const std::string& bits, double, const tilo::TNvector&,
                                const tilo::TNvector&, const std::vector<int32_t>&) {
            bitCount += bits.size();
        };
        for (std::size_t b = 0; b < blocks; ++b)
            modem.ProcessBlock(std::span<const int16_t>(audio).subspan(
                b * tilo::ModemBlockSize, tilo::ModemBlockSize));
        busy += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    benchmark::DoNotOptimize(bitCount);
    const double seconds = double(blocks * tilo::ModemBlockSize) / rate;
    state.counters["x_realtime"] = seconds * double(state.iterations()) / busy;
}
BENCHMARK(BM_DemodulatorOneHour)->Arg(11025)->Arg(12000)->Iterations(1)->Unit(benchmark::kSecond)
    ->UseRealTime();

// Counts what the TCP feed would send; the displays keep their defaults.
class TBenchHost : public TQuietHost {
public:
    std::size_t Sent = 0;
    void BroadcastToClients(const std::string& Text) override { Sent += Text.size(); }
    bool SpectrumPageShown() const override { return true; }
};

void BM_WholeChainOneHour(benchmark::State& state) {
    const int32_t rate = int32_t(state.range(0));
    tilo::SetSampleRate(rate);
    const std::vector<int16_t> audio = OneHourOfAudio(rate);
    const std::size_t blocks = audio.size() / tilo::ModemBlockSize;
    double busy = 0;
    std::size_t sent = 0, ticker = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        TBenchHost host;
        tilo::TModem modem;
        tilo::TNavtexDecoder decoder(host);
        tilo::TDecodingChain chain(modem, decoder, 1000, 170);
        for (std::size_t b = 0; b < blocks; ++b) {
            chain.ProcessBlock(std::span<const int16_t>(audio).subspan(
                b * tilo::ModemBlockSize, tilo::ModemBlockSize));
            if (decoder.FTickerBuffer.size() > 4096) {
                ticker += decoder.FTickerBuffer.size();
                decoder.FTickerBuffer.clear();
            }
        }
        busy += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        sent += host.Sent;
    }
    benchmark::DoNotOptimize(sent);
    benchmark::DoNotOptimize(ticker);
    const double seconds = double(blocks * tilo::ModemBlockSize) / rate;
    state.counters["x_realtime"] = seconds * double(state.iterations()) / busy;
}
BENCHMARK(BM_WholeChainOneHour)->Arg(11025)->Arg(12000)->Iterations(1)->Unit(benchmark::kSecond)
    ->UseRealTime();

// The spectrum part of the block handler alone: a 1024-point real FFT.
void BM_RealFFT1024(benchmark::State& state) {
    std::mt19937 rng(2);
    std::uniform_real_distribution<double> d(-10000, 10000);
    tilo::TNvector block(1024);
    for (double& x : block) x = d(rng);
    for (auto _ : state) {
        tilo::TNvector re = block, im;
        uint8_t status = 0;
        tilo::RealFFT(1024, false, re, status, im);
        benchmark::DoNotOptimize(re.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * 1024);
}
BENCHMARK(BM_RealFFT1024);

// The same with the block handler's plan: the tables are made once.
void BM_RealFFT1024Planned(benchmark::State& state) {
    std::mt19937 rng(2);
    std::uniform_real_distribution<double> d(-10000, 10000);
    tilo::TNvector block(1024);
    for (double& x : block) x = d(rng);
    const tilo::TRealFFTPlan plan(1024);
    for (auto _ : state) {
        tilo::TNvector re = block, im;
        uint8_t status = 0;
        tilo::RealFFT(plan, false, re, status, im);
        benchmark::DoNotOptimize(re.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * 1024);
}
BENCHMARK(BM_RealFFT1024Planned);

// One tone band-pass filter over one block, the demodulator's inner loop.
void BM_BandPassBlock(benchmark::State& state) {
    tilo::TBandPass filter;
    filter.Design(11025, 1085, tilo::ToneFilterBandwidth);
    std::mt19937 rng(1);
    std::uniform_real_distribution<double> d(-10000, 10000);
    std::vector<double> in(tilo::ModemBlockSize), out(tilo::ModemBlockSize);
    for (double& x : in) x = d(rng);
    for (auto _ : state) {
        filter.Filter(in, out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(in.size()));
}
BENCHMARK(BM_BandPassBlock);

// The repository's recording: TILO_SOURCE_DIR in the environment names the source tree
// (bench/decoder-before-after.sh sets it for a build of another commit), else the tree
// this program was built from.
std::string RecordingPath() {
    const char* dir = std::getenv("TILO_SOURCE_DIR");
#ifdef TILO_SOURCE_DIR
    if (dir == nullptr) dir = TILO_SOURCE_DIR;
#endif
    return std::string(dir ? dir : ".") + "/tests/data/sitor_b_example_11025.wav";
}

// The off-air recording of the repository, played 71 times over (20 minutes 13 s): the
// whole chain as navtex-decode runs it, timed in processor seconds of this thread.
void BM_WholeChainRecording20Min(benchmark::State& state) {
    const tilo::TWavData wav = tilo::ReadWavFile(RecordingPath());
    tilo::SetSampleRate(wav.SampleRate);
    std::vector<int16_t> audio;
    for (int i = 0; i < 71; ++i) audio.insert(audio.end(), wav.Samples.begin(), wav.Samples.end());
    double cpu = 0;
    std::size_t ticker = 0;
    for (auto _ : state) {
        timespec a{}, b{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &a);
        TQuietHost host;
        tilo::TModem modem;
        tilo::TNavtexDecoder decoder(host);
        tilo::TDecodingChain chain(modem, decoder, 1000, 170);
        for (std::size_t p = 0; p < audio.size(); p += tilo::ModemBlockSize)
            chain.ProcessBlock(std::span<const int16_t>(audio).subspan(
                p, std::min(tilo::ModemBlockSize, audio.size() - p)));
        chain.Finish();
        ticker += decoder.FTickerBuffer.size();
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &b);
        cpu += double(b.tv_sec - a.tv_sec) + double(b.tv_nsec - a.tv_nsec) * 1e-9;
    }
    benchmark::DoNotOptimize(ticker);
    const double seconds = double(audio.size()) / wav.SampleRate;
    state.counters["cpu_s"] = cpu / double(state.iterations());
    state.counters["x_realtime"] = seconds * double(state.iterations()) / cpu;
}
BENCHMARK(BM_WholeChainRecording20Min)->Iterations(3)->Unit(benchmark::kSecond)->UseRealTime();

// One block through each stage alone, on the recording's audio at 11025 per second.
std::vector<int16_t> RecordingBlock(std::size_t index) {
    const tilo::TWavData wav = tilo::ReadWavFile(RecordingPath());
    const std::size_t from = std::min(index * tilo::ModemBlockSize, wav.Samples.size() - tilo::ModemBlockSize);
    return {wav.Samples.begin() + std::ptrdiff_t(from),
            wav.Samples.begin() + std::ptrdiff_t(from + tilo::ModemBlockSize)};
}

void BM_StageToneBandPass(benchmark::State& state) {
    const std::vector<int16_t> block = RecordingBlock(40);
    const std::vector<double> in(block.begin(), block.end());
    std::vector<double> out(in.size());
    tilo::TBandPass filter;
    filter.Design(11025, 1085, tilo::ToneFilterBandwidth);
    for (auto _ : state) {
        filter.Filter(in, out);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_StageToneBandPass);

void BM_StageEnvelopeLowPass(benchmark::State& state) {
    const std::vector<int16_t> block = RecordingBlock(40);
    std::vector<double> in(block.begin(), block.end()), out(in.size());
    for (double& x : in) x = std::abs(x);
    tilo::TLowPass filter;
    filter.Design(11025, 100, 1000);
    for (auto _ : state) {
        filter.Filter(in, out);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_StageEnvelopeLowPass);

// The demodulator's whole block (four filters, slicer and bit clock) and the clock alone.
void BM_StageDemodulatorBlock(benchmark::State& state) {
    tilo::SetSampleRate(11025);
    const std::vector<int16_t> block = RecordingBlock(40);
    tilo::TModem modem;
    modem.SetFreq(1000, 170);
    for (auto _ : state) modem.ProcessBlock(block);
}
BENCHMARK(BM_StageDemodulatorBlock);

void BM_StageBitClock(benchmark::State& state) {
    tilo::SetSampleRate(11025);
    std::vector<int32_t> sliced(tilo::ModemBlockSize);
    for (std::size_t i = 0; i < sliced.size(); ++i) sliced[i] = (i / 110 + i / 330) % 2;
    tilo::TModem modem;
    for (auto _ : state) benchmark::DoNotOptimize(modem.ClockBits(sliced));
}
BENCHMARK(BM_StageBitClock);

// The block handler without the demodulator: level, quality, spectrum and its averages,
// waterfall and status round; every eleventh block also searches for the signal's centre.
void BM_StageBlockHandler(benchmark::State& state) {
    tilo::SetSampleRate(11025);
    const std::vector<int16_t> block = RecordingBlock(40);
    const tilo::TNvector re(block.begin(), block.end()), im(block.size(), 0.0);
    const std::vector<int32_t> sliced(block.size(), 0);
    TQuietHost host;
    tilo::TNavtexDecoder decoder(host);
    decoder.SetAfcBand(1000);
    int64_t n = 0;
    for (auto _ : state) {
        if (++n % 11 == 0) decoder.TrackTimerTimer();
        decoder.ModemBlockDone("", 0, re, im, sliced);
    }
}
BENCHMARK(BM_StageBlockHandler);

}  // namespace
