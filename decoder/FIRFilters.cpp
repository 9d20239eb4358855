// FIR filter design and block filtering. Filter computes, for every output, the products
// from the oldest sample to the newest, added in that order starting from 0, over a
// contiguous copy of history plus input. The sums run side by side for 32 outputs at a
// time in vector registers, so no sum is reordered; the loop is built twice, for AVX2 and
// for the baseline processor, and picked at run time. This file is compiled without fused
// multiply-add contraction, so both versions give the same bits.
#include "decoder/FIRFilters.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>
#include <string>

namespace tilo {

namespace {

// Longest filter anyone could mean: far beyond the demodulator's few hundred taps, and
// small enough that a mistyped width cannot exhaust memory.
constexpr double MaxTaps = 1 << 20;

#if defined(__x86_64__) && defined(__has_attribute)
#if __has_attribute(target_clones)
#define TILO_FIR_CLONES __attribute__((target_clones("avx2", "default")))
#endif
#endif
#ifndef TILO_FIR_CLONES
#define TILO_FIR_CLONES
#endif

// Four doubles, loaded and stored unaligned.
typedef double V4 __attribute__((vector_size(32), aligned(8)));

// Out[i] = sum over j of Taps[j] * In[i + j], j from 0 up, starting from 0.
TILO_FIR_CLONES
void FirSums(const double* In, const double* Taps, std::size_t N, double* Out, std::size_t Count) {
    constexpr std::size_t Lanes = 8;  // accumulators of four outputs each
    std::size_t i = 0;
    for (; i + 4 * Lanes <= Count; i += 4 * Lanes) {
        V4 acc[Lanes];
        for (std::size_t l = 0; l < Lanes; ++l) acc[l] = V4{0, 0, 0, 0};
        const double* b = In + i;
        for (std::size_t j = 0; j < N; ++j, ++b) {
            const double t = Taps[j];
            for (std::size_t l = 0; l < Lanes; ++l) {
                V4 x;
                __builtin_memcpy(&x, b + 4 * l, sizeof x);
                acc[l] = acc[l] + t * x;
            }
        }
        for (std::size_t l = 0; l < Lanes; ++l) __builtin_memcpy(Out + i + 4 * l, &acc[l], sizeof acc[l]);
    }
    for (; i < Count; ++i) {
        double sum = 0;
        for (std::size_t j = 0; j < N; ++j) sum = sum + Taps[j] * In[i + j];
        Out[i] = sum;
    }
}

}  // namespace

int32_t TBandPass::TapCountFor(double SampleRate, double Width) {
    if (!(SampleRate > 0) || !(Width > 0))
        throw std::invalid_argument("FIR filter design needs a positive sample rate and width");
    const double exact = 4.0 / (Width / SampleRate);
    if (!(exact <= MaxTaps))
        throw std::invalid_argument("FIR filter design: transition width too narrow");
    int32_t n = static_cast<int32_t>(std::nearbyint(exact));
    if (n % 2 != 0) ++n;
    if (n == 0) throw std::invalid_argument("FIR filter design: transition width too wide");
    return n;
}

std::vector<double> TBandPass::Kernel(int32_t N, double f) {
    constexpr double pi = std::numbers::pi;
    std::vector<double> h(static_cast<std::size_t>(N));
    double sum = 0;
    for (int32_t i = 0; i < N; ++i) {
        const double m = i - N / 2;
        double v = m == 0 ? 2 * pi * f : std::sin(2 * pi * f * m) / m;
        v *= 0.42659071367153912296 - 0.49656061908856405848 * std::cos(2 * pi * i / N) +
             0.07684866723989681857 * std::cos(4 * pi * i / N);
        h[i] = v;
        sum += v;
    }
    // At f = 0 the kernel passes nothing and sums to 0: it stays zero rather than NaN, so a
    // band whose lower edge is 0 Hz becomes a plain low-pass.
    if (sum != 0)
        for (double& v : h) v /= sum;
    return h;
}

void TBandPass::SetTaps(std::vector<double> Taps) {
    const int32_t n = static_cast<int32_t>(Taps.size());
    if (n != FTapCount) {
        FDelay.resize(Taps.size(), 0.0);
        FWritePos = 0;
        FTapCount = n;
    }
    FTaps = std::move(Taps);
    FRevTaps.assign(FTaps.rbegin(), FTaps.rend());
}

void TBandPass::Design(double SampleRate, double Centre, double Width) {
    const int32_t n = TapCountFor(SampleRate, Width);
    const double fLow = (Centre - Width / 2) / SampleRate;
    const double fHigh = (Centre + Width / 2) / SampleRate;
    std::vector<double> h1 = Kernel(n, fLow);
    std::vector<double> h2 = Kernel(n, fHigh);
    for (double& v : h2) v = -v;
    h2[n / 2] += 1;
    std::vector<double> taps(static_cast<std::size_t>(n));
    for (int32_t i = 0; i < n; ++i) taps[i] = -(h1[i] + h2[i]);
    taps[n / 2] += 1;
    SetTaps(std::move(taps));
}

void TLowPass::Design(double SampleRate, double Cutoff, double Width) {
    const int32_t n = TapCountFor(SampleRate, Width);
    SetTaps(Kernel(n, Cutoff / SampleRate));
}

void TBandPass::Filter(std::span<const double> Input, std::span<double> Output) {
    if (Output.size() < Input.size())
        throw std::length_error("FIR filter output (" + std::to_string(Output.size()) +
                                ") shorter than its input (" + std::to_string(Input.size()) + ")");
    const std::size_t count = Input.size();
    if (FTapCount == 0) {
        for (std::size_t i = 0; i < count; ++i) Output[i] = 0;
        return;
    }
    if (count == 0) return;
    const std::size_t n = static_cast<std::size_t>(FTapCount);
    const std::size_t wp = static_cast<std::size_t>(FWritePos);

    // FWork = the ring from its oldest sample, then the input (copied first: Output may
    // be Input).
    FWork.resize(n + count);
    double* work = FWork.data();
    for (std::size_t t = 0; t < n; ++t) work[t] = FDelay[(wp + t) % n];
    for (std::size_t i = 0; i < count; ++i) work[n + i] = Input[i];

    // Output[i] takes the n samples work[i+1 .. i+n], oldest first.
    FirSums(work + 1, FRevTaps.data(), n, Output.data(), count);

    // The ring keeps the last n samples, its write position on the oldest.
    const std::size_t newWp = (wp + count) % n;
    for (std::size_t t = 0; t < n; ++t) FDelay[(newWp + t) % n] = work[count + t];
    FWritePos = static_cast<int32_t>(newWp);
}

void TBandPass::Rectify(std::span<double> Data, int32_t High, uint8_t Mode) {
    if (High < 0 || Data.empty()) return;
    const std::size_t last =
        std::min(static_cast<std::size_t>(High), Data.size() - 1);
    if (Mode == 0) {
        for (std::size_t i = 0; i <= last; ++i) Data[i] = std::fabs(Data[i]);
    } else if (Mode == 1) {
        for (std::size_t i = 0; i <= last; ++i) Data[i] = -std::fabs(Data[i]);
    }
}

}  // namespace tilo
