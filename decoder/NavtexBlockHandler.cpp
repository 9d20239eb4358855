// The decoder's block handler: per block of 1024 samples it measures level and
// crest-factor quality, computes and averages the spectrum, feeds the displays through
// the host, hands gathered bits to the character stage, sends the status round every
// tenth block and tracks the signal's centre frequency once per second on request of the
// tracking timer. The demodulator calls it from inside its own guard; failures of the
// character stage are caught here so that the rest of the block's work still runs.
#include "decoder/NavtexDecoder.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <ctime>
#include <exception>
#include <iostream>

#include "decoder/CpuLoad.h"
#include "decoder/uModem.h"

namespace tilo {

namespace {

// Halves to even, as every rounding of the chain.
int64_t RoundEven(double X) { return static_cast<int64_t>(std::nearbyint(X)); }

std::string IntText(int64_t V) {
    char buf[24];
    return std::string(buf, std::to_chars(buf, buf + sizeof buf, V).ptr);
}

int32_t ClampToInt32(int64_t V) {
    return static_cast<int32_t>(std::clamp<int64_t>(V, INT32_MIN, INT32_MAX));
}

constexpr int32_t AfcGuard = 250;   // tracking never moves the demodulator this far
constexpr int32_t AfcStep = 8;      // Hz between candidate centres
constexpr double AfcAverage = 0.95;  // weight of the old spectrum in the average

}  // namespace

void TDecoderHost::DecodingFailure(const std::string& Text) { std::cerr << Text << std::endl; }

double TNavtexDecoder::SmoothLevel(double X) {
    const double diff = std::abs(X - FLevelAverage);
    const double c = diff > 50 ? 1.0 : diff > 10 ? 0.1 : 0.025;
    FLevelAverage = c * X + (1 - c) * FLevelAverage;
    return FLevelAverage;
}

double TNavtexDecoder::SmoothQuality(double X) {
    FQualityAverage = 0.025 * X + 0.975 * FQualityAverage;
    return FQualityAverage;
}

int32_t TNavtexDecoder::SmoothAfcFrequency(int32_t F) {
    // Small moves are damped; a jump of 26 Hz or more is a new signal and taken at once.
    if (std::abs(int64_t{F} - AfcPrevious) < 26) F = static_cast<int32_t>(RoundEven(0.8 * F + 0.2 * AfcPrevious));
    AfcPrevious = F;
    return F;
}

void TNavtexDecoder::SetAfcBand(int32_t Centre) {
    // In 64 bits and held to the integer range: a centre near either limit cannot wrap.
    FAfcCentre = Centre;
    FAfcLow = ClampToInt32(int64_t{Centre} - AfcGuard);
    FAfcHigh = ClampToInt32(int64_t{Centre} + AfcGuard);
}

void TNavtexDecoder::ModemBlockDone(const std::string& sBits, double /*PLLFaze*/, const TNvector& RealData,
                                    const TNvector& /*ImagData*/, const std::vector<int32_t>& PLLBits) {
    // 1. Level.
    const double level = SmoothLevel(SignalLevelPercent(RealData));
    const int64_t levelRounded = RoundEven(level);
    FHost.SetGaugePosition(TDecoderGauge::Gaugelvl, static_cast<float>(levelRounded));
    FHost.SetGaugeCaption(TDecoderGauge::Gaugelvl, IntText(levelRounded) + " %");

    // 2. Crest-factor quality: a pure tone has range/sd = 2.83, noise about 6.5.
    const size_t n = RealData.size();
    if (n >= 2) {
        double mean = 0;
        for (double x : RealData) mean += x;
        mean /= double(n);
        double ss = 0;
        for (double x : RealData) ss += (x - mean) * (x - mean);
        const double sd = std::sqrt(ss / double(n - 1));
        if (sd > 0) {
            const auto [lo, hi] = std::minmax_element(RealData.begin(), RealData.end());
            const double q = std::clamp(7 - (*hi - *lo) / sd, 0.0, 5.0);
            FSignalQuality = 20 * q;
            FErrGaugePosition = static_cast<float>(SmoothQuality(FSignalQuality) - FHost.TBSNRPosition());
            FHost.SetGaugePosition(TDecoderGauge::ErrGauge, FErrGaugePosition);
        }
    }

    // 3. Spectrum: the transform works in its arrays, so it works on a copy, in arrays
    // kept from block to block.
    FFFTRe.assign(RealData.begin(), RealData.end());
    SpectrumMagnitude(FFFTPlan, FFFTRe, FFFTIm, FSpectrum);
    FSpectrum = InterpolateSpectrum(FSpectrum);
    if (FAvgSpectrum.size() != FSpectrum.size()) FAvgSpectrum.resize(FSpectrum.size());
    FSpectrum = NormalizeSpectrum(FSpectrum);
    AverageSpectrum(FSpectrum, FAvgSpectrum, AfcAverage);
    FAvgSpectrum = NormalizeSpectrum(FAvgSpectrum);

    // 4. Waterfall.
    const int32_t centre = FModem ? FModem->FCenter : FAfcCentre;
    FHost.DrawWaterfallLine(FSpectrum, centre, FHost.tbwfallspeedMax() - FHost.tbwfallspeedPosition() + 1,
                            FHost.cbWFallDump());
    if (!FHost.cbFreeze()) FHost.RepaintWaterfall();

    // 5. Spectrum chart, without point 0.
    if (FHost.SpectrumPageShown()) {
        const TSpectrum& shown = FHost.sbFilRawDown() ? FSpectrum : FAvgSpectrum;
        FHost.SetSpectrumSeries(shown.size() > 1 ? TSpectrum(shown.begin() + 1, shown.end()) : TSpectrum{});
    }

    // 6. Bits. The buffer is taken before the hand-over, so a failing character stage
    // cannot make the same bits come round again block after block.
    FBitBuffer += sBits;
    if (FBitBuffer.size() >= 126) {
        std::string bits = std::move(FBitBuffer);
        FBitBuffer.clear();
        try {
            ProcessBitString(std::move(bits));
        } catch (const std::exception& e) {
            FHost.DecodingFailure(std::string("Decoder error: ") + e.what());
        } catch (...) {
            FHost.DecodingFailure("Decoder error");
        }
    }

    // 7.
    BlockCounter = static_cast<int32_t>(static_cast<uint32_t>(BlockCounter) + 1u);

    // 8. Quality history, one hour per chart.
    if (BlockCounter % 5 == 0) {
        const double now = UtcNow();
        if (now >= FHistAxisMax) {
            FHistAxisMax = now + 1.0 / 24;
            FHost.ResetHistoryChart(now, FHistAxisMax);
        }
        FHost.AddHistoryPoint(now, FErrGaugePosition);
    }

    // 9. Status round.
    if (BlockCounter % 10 == 0) {
        FHost.BroadcastToClients(FNotSynced ? "S#0" : "S#1");
        FHost.BroadcastToClients("L#" + IntText(RoundEven(FSignalQuality)));
        FHost.BroadcastToClients(FCanTune ? "A#1" : "A#0");
        FHost.BroadcastToClients("F#" + IntText(centre));
        std::string y = "Y#";
        y.reserve(2 + FAvgSpectrum.size() * 8);
        for (const TSpecPoint& p : FAvgSpectrum) {
            y += IntText(RoundEven(p.Freq));
            y += ';';
            y += IntText(RoundEven(p.Mag));
            y += ';';
        }
        if (!FAvgSpectrum.empty()) y.pop_back();
        FHost.BroadcastToClients(y);
        FHost.BroadcastToClients("E#" + IntText(RoundEven(FErrGaugePosition)));
    }

    // 10. Frequency tracking, once per tracking-timer tick. With tracking off the request
    // stays set for when it is switched on again.
    if (FHost.cbTrack() && FAfcRequest) {
        const int32_t shift = FModem ? FModem->Shift : 170;
        const bool found = FindSignalCentre(FAvgSpectrum, FAfcLow, FAfcHigh, FBandPowers, FAfcCentre, shift, AfcStep);
        FAfcCentre = SmoothAfcFrequency(FAfcCentre);
        FCanTune = found;
        FHost.SetLedStatus(TDecoderLed::ledCanTune, found);
        const int64_t tuned = FModem ? FModem->FCenter : 0;
        if (found && FModem && FAfcCentre != tuned && tuned - AfcGuard < FAfcCentre && FAfcCentre < tuned + AfcGuard)
            FModem->SetFreq(FAfcCentre, FModem->Shift);
        FAfcRequest = false;
    }

    // 11. Scope: the bit slicer's output.
    if (FHost.rgScopeSelItemIndex() == 4) {
        static constexpr int32_t Scales[] = {1, 2, 4};
        const int32_t index = std::clamp(FHost.rgScopeScaleItemIndex(), 0, 2);
        std::vector<double> trace(PLLBits.size());
        for (size_t i = 0; i < PLLBits.size(); ++i) trace[i] = PLLBits[i] == 1 ? 25.0 : -25.0;
        FHost.DrawScope(trace, Scales[index]);
        if (FHost.cbOneShot()) FHost.SetScopeSelection(0);
    }
}

void TNavtexDecoder::FlushBits() {
    if (FBitBuffer.empty()) return;
    std::string gathered = std::move(FBitBuffer);
    FBitBuffer.clear();
    ProcessBitString(std::move(gathered));
}

void TNavtexDecoder::TrackTimerTimer() { FAfcRequest = true; }

void TNavtexDecoder::cbTrackClick() {
    if (!FHost.cbTrack()) {
        FHost.SysLog("Auto Tuning: OFF");
        FCanTune = false;
        FHost.SetLedStatus(TDecoderLed::ledCanTune, false);
    } else {
        FHost.SysLog("Auto Tuning: ON");
    }
}

void TNavtexDecoder::Timer1Timer() {
    if (FHost.ClockLocal()) {
        const std::time_t t = std::time(nullptr);
        std::tm tm{};
        localtime_r(&t, &tm);
        char buf[16];
        std::strftime(buf, sizeof buf, "%H:%M:%S", &tm);
        FClockText = std::string(buf) + " LOC";
    } else {
        FClockText = UtcTimeStr(0) + " UTC";
    }
    FHost.SetClockText(FClockText);
    const int32_t cpu = ProcessCpuPercent();
    FHost.SetGaugePosition(TDecoderGauge::GaugeCPU, static_cast<float>(cpu));
    FHost.SetGaugeCaption(TDecoderGauge::GaugeCPU, "    " + IntText(cpu) + " %");
    FHost.BroadcastToClients("U#" + FClockText);
}

}  // namespace tilo
