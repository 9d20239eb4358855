#include "decoder/UCommon.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace tilo {

int32_t SampleRate = 11025;
double SamplePeriod = 1.0 / 11025;
double MsPerSample = 1000.0 / 11025;
double MsPerBlock = 1024000.0 / 11025;

void SetSampleRate(int32_t Rate) {
    if (Rate <= 0) throw std::invalid_argument("Invalid sample rate " + std::to_string(Rate));
    SampleRate = Rate;
    SamplePeriod = 1.0 / Rate;
    MsPerSample = 1000.0 / Rate;
    MsPerBlock = 1024000.0 / Rate;
}

namespace {
// RMS of a full-scale 16-bit sine.
constexpr double FullScaleRms = 23169.990100410125866;
}  // namespace

double SignalLevelPercent(std::span<const double> Samples) {
    if (Samples.empty()) return 0.0;
    double sum = 0.0;
    for (double x : Samples) sum += x * x;
    return std::sqrt(sum / static_cast<double>(Samples.size())) * 100.0 / FullScaleRms;
}

void RemoveDC(std::span<double> Samples) {
    if (Samples.empty()) return;
    const auto [lo, hi] = std::minmax_element(Samples.begin(), Samples.end());
    const double dc = (*hi + *lo) / 2.0;
    for (double& x : Samples) x -= dc;
}

void SpectrumMagnitude(TNvector& Samples, TNvector& Scratch, TSpectrum& Spectrum) {
    SpectrumMagnitude(TRealFFTPlan(static_cast<int32_t>(Samples.size())), Samples, Scratch, Spectrum);
}

void SpectrumMagnitude(const TRealFFTPlan& Plan, TNvector& Samples, TNvector& Scratch, TSpectrum& Spectrum) {
    const int32_t n = static_cast<int32_t>(Samples.size());
    Spectrum.assign(static_cast<size_t>(n / 4), TSpecPoint{});
    const double binWidth = n > 0 ? static_cast<double>(SampleRate) / n : 0.0;
    uint8_t status = FFT_OK;
    if (Plan.Length() == n)
        RealFFTLowBins(Plan, Samples, Scratch, n / 4, status);
    else
        RealFFT(n, false, Samples, status, Scratch);
    if (status != FFT_OK) return;  // all zero rather than magnitudes of raw samples
    for (int32_t i = 1; i < n / 4; ++i)
        Spectrum[i] = TSpecPoint{i * binWidth, std::sqrt(Samples[i] * Samples[i] + Scratch[i] * Scratch[i])};
}

TSpectrum InterpolateSpectrum(const TSpectrum& S) {
    const size_t n = S.size();
    TSpectrum r(2 * n);
    for (size_t k = 0; k < n; ++k) {
        r[2 * k] = S[k];
        if (k + 1 < n) r[2 * k + 1] = TSpecPoint{(S[k].Freq + S[k + 1].Freq) / 2.0, (S[k].Mag + S[k + 1].Mag) / 2.0};
    }
    // The last inserted point has its left neighbour only: it takes that level, half a
    // step further on, so that the frequencies keep ascending to the end.
    if (n >= 2) r[2 * n - 1] = TSpecPoint{S[n - 1].Freq + (S[n - 1].Freq - S[n - 2].Freq) / 2.0, S[n - 1].Mag};
    if (n == 1) r[1] = S[0];
    return r;
}

void AverageSpectrum(const TSpectrum& New, TSpectrum& Average, double A) {
    if (Average.size() < New.size()) Average.resize(New.size());
    for (size_t i = 0; i < New.size(); ++i) {
        Average[i].Mag = (1.0 - A) * New[i].Mag + A * Average[i].Mag;
        Average[i].Freq = New[i].Freq;
    }
}

TSpectrum NormalizeSpectrum(const TSpectrum& Spectrum) {
    // A silent spectrum keeps its frequencies: only the levels are all zero.
    TSpectrum r(Spectrum.size());
    double peak = 0.0;
    for (const auto& p : Spectrum) peak = std::max(peak, p.Mag);
    for (size_t i = 0; i < Spectrum.size(); ++i) {
        r[i].Freq = Spectrum[i].Freq;
        r[i].Mag = peak > 0.0 ? Spectrum[i].Mag * 100.0 / peak : 0.0;
    }
    return r;
}

void MeanMagnitude(const TSpectrum& Spectrum, TBandPowers& Powers) {
    if (Spectrum.empty()) {
        Powers.Mean = 0.0;
        return;
    }
    double sum = 0.0;
    for (const auto& p : Spectrum) sum += p.Mag;
    Powers.Mean = sum / static_cast<double>(Spectrum.size());
}

void BandPower(int32_t Centre, int32_t Shift, const TSpectrum& Spectrum, TBandPowers& Powers) {
    Powers.Lower = Powers.Upper = Powers.Centre = 0.0;
    // A tone's power is summed over a quarter of the tone filters' width on each side.
    const int32_t half = ToneFilterBandwidth / 4;
    const double tones[3] = {static_cast<double>(int64_t{Centre} - Shift / 2),
                             static_cast<double>(int64_t{Centre} + Shift / 2), static_cast<double>(Centre)};
    double* fields[3] = {&Powers.Lower, &Powers.Upper, &Powers.Centre};
    for (const auto& p : Spectrum)
        for (int t = 0; t < 3; ++t)
            if (tones[t] - half <= p.Freq && p.Freq <= tones[t] + half) *fields[t] += p.Mag;
}

namespace {

// BandPower over a spectrum whose frequencies ascend: each tone's points are one run, found
// by binary search and summed in the same order as the full scan adds them.
void BandPowerAscending(int32_t Centre, int32_t Shift, const TSpectrum& Spectrum, TBandPowers& Powers) {
    const int32_t half = ToneFilterBandwidth / 4;
    const double tones[3] = {static_cast<double>(int64_t{Centre} - Shift / 2),
                             static_cast<double>(int64_t{Centre} + Shift / 2), static_cast<double>(Centre)};
    double* fields[3] = {&Powers.Lower, &Powers.Upper, &Powers.Centre};
    for (int t = 0; t < 3; ++t) {
        const double lo = tones[t] - half, hi = tones[t] + half;
        auto p = std::lower_bound(Spectrum.begin(), Spectrum.end(), lo,
                                  [](const TSpecPoint& P, double F) { return P.Freq < F; });
        double sum = 0.0;
        for (; p != Spectrum.end() && p->Freq <= hi; ++p) sum += p->Mag;
        *fields[t] = sum;
    }
}

bool FrequenciesAscend(const TSpectrum& Spectrum) {
    for (size_t i = 1; i < Spectrum.size(); ++i)
        if (!(Spectrum[i - 1].Freq <= Spectrum[i].Freq)) return false;  // NaN included
    return Spectrum.empty() || Spectrum[0].Freq == Spectrum[0].Freq;
}

}  // namespace

bool FindSignalCentre(const TSpectrum& Spectrum, int32_t Low, int32_t High, TBandPowers& Best,
                      int32_t& Centre, int32_t Shift, int32_t Step) {
    if (Step < 1) return false;  // the scan would never end
    const int32_t h = Shift / 2;
    TBandPowers powers;
    MeanMagnitude(Spectrum, powers);
    double bestScore = 0.0;
    int32_t bestX = Centre;
    const auto bandPower = FrequenciesAscend(Spectrum) ? BandPowerAscending : BandPower;
    // 64-bit candidate so that a band near the integer limits cannot wrap.
    for (int64_t x = int64_t{Low} + h; x < int64_t{High} - h; x += Step) {
        bandPower(static_cast<int32_t>(x), Shift, Spectrum, powers);
        const double score = powers.Mean > 0.0 ? (powers.Lower + powers.Upper) * 100.0 / powers.Mean : 0.0;
        if (score > bestScore) {  // strictly: the lowest centre wins a tie
            bestScore = score;
            Best = powers;
            bestX = static_cast<int32_t>(x);
        }
    }
    if (Best.Mean > 0.0 && bestScore > 10.0) {
        Centre = bestX;
        return true;
    }
    return false;
}

int32_t TextGarbageScore(const std::string& Text) {
    if (Text.size() < 10) return 40;
    for (const char* Marker : {"ZCZC", "NNNN", "=====", "+++++"}) {
        if (Text.find(Marker) != std::string::npos) return 40;
    }
    int32_t N = 0;
    for (char Ch : Text) {
        if (Ch == ' ' || Ch == 'A' || Ch == 'E' || Ch == 'I' || Ch == 'O' || Ch == 'R') ++N;
    }
    return static_cast<int32_t>(std::nearbyint(100.0 * N / static_cast<double>(Text.size())));
}

}  // namespace tilo
