// FIR filter design and block filtering. Filter computes, for every output, the products
// from the oldest sample to the newest, added in that order starting from 0, over a
// contiguous copy of history plus input. The sums run side by side for many outputs at a
// time in vector registers, so no sum is reordered; the loop is built for AVX-512, AVX2
// and the baseline processor, and picked at run time. This file is compiled without fused
// multiply-add contraction, so both versions give the same bits.
#include "decoder/FIRFilters.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tilo {

namespace {

// Longest filter anyone could mean: far beyond the demodulator's few hundred taps, and
// small enough that a mistyped width cannot exhaust memory.
constexpr double MaxTaps = 1 << 20;

// Out[i] = sum over j of Taps[j] * In[i + j], j from 0 up, starting from 0. Lanes
// accumulators of W doubles each run side by side: every output keeps its own sum in one
// vector lane, so the order of its additions is the plain loop's.
template <std::size_t W, std::size_t Lanes>
inline __attribute__((always_inline)) void FirSumsBody(const double* In, const double* Taps,
                                                       std::size_t N, double* Out,
                                                       std::size_t Count) {
    typedef double V __attribute__((vector_size(W * sizeof(double)), aligned(8)));
    std::size_t i = 0;
    for (; i + W * Lanes <= Count; i += W * Lanes) {
        V acc[Lanes];
        for (std::size_t l = 0; l < Lanes; ++l) acc[l] = V{};
        const double* b = In + i;
        for (std::size_t j = 0; j < N; ++j, ++b) {
            const double t = Taps[j];
            for (std::size_t l = 0; l < Lanes; ++l) {
                V x;
                __builtin_memcpy(&x, b + W * l, sizeof x);
                acc[l] = acc[l] + t * x;
            }
        }
        for (std::size_t l = 0; l < Lanes; ++l) __builtin_memcpy(Out + i + W * l, &acc[l], sizeof acc[l]);
    }
    for (; i < Count; ++i) {
        double sum = 0;
        for (std::size_t j = 0; j < N; ++j) sum = sum + Taps[j] * In[i + j];
        Out[i] = sum;
    }
}

void FirSumsBaseline(const double* In, const double* Taps, std::size_t N, double* Out, std::size_t Count) {
    FirSumsBody<2, 8>(In, Taps, N, Out, Count);
}

#if defined(__x86_64__)
#define TILO_FIR_DISPATCH 1
__attribute__((target("avx2"))) void FirSumsAvx2(const double* In, const double* Taps, std::size_t N,
                                                 double* Out, std::size_t Count) {
    FirSumsBody<4, 8>(In, Taps, N, Out, Count);
}

__attribute__((target("avx512f"))) void FirSumsAvx512(const double* In, const double* Taps,
                                                      std::size_t N, double* Out, std::size_t Count) {
    FirSumsBody<8, 8>(In, Taps, N, Out, Count);
}
#endif

const TFirKernel Kernels[] = {
#ifdef TILO_FIR_DISPATCH
    {"avx512f", FirSumsAvx512},
    {"avx2", FirSumsAvx2},
#endif
    {"default", FirSumsBaseline},
};

// The widest version the processor runs, chosen once.
TFirKernel::TSums PickFirSums() {
    for (const TFirKernel& k : FirKernels())
        if (k.Supported()) return k.Sums;
    return FirSumsBaseline;
}

const TFirKernel::TSums FirSums = PickFirSums();

}  // namespace

bool TFirKernel::Supported() const {
#ifdef TILO_FIR_DISPATCH
    __builtin_cpu_init();
    const std::string_view name(Name);
    if (name == "avx512f") return __builtin_cpu_supports("avx512f");
    if (name == "avx2") return __builtin_cpu_supports("avx2");
#endif
    return true;
}

std::span<const TFirKernel> FirKernels() { return Kernels; }

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

std::vector<double> TBandPass::Window(int32_t N) {
    constexpr double pi = std::numbers::pi;
    std::vector<double> w(static_cast<std::size_t>(N));
    for (int32_t i = 0; i < N; ++i)
        w[i] = 0.42659071367153912296 - 0.49656061908856405848 * std::cos(2 * pi * i / N) +
               0.07684866723989681857 * std::cos(4 * pi * i / N);
    return w;
}

std::vector<double> TBandPass::Kernel(const std::vector<double>& Win, double f) {
    constexpr double pi = std::numbers::pi;
    const int32_t N = static_cast<int32_t>(Win.size());
    std::vector<double> h(static_cast<std::size_t>(N));
    double sum = 0;
    for (int32_t i = 0; i < N; ++i) {
        const double m = i - N / 2;
        double v = m == 0 ? 2 * pi * f : std::sin(2 * pi * f * m) / m;
        v *= Win[i];
        h[i] = v;
        sum += v;
    }
    // At f = 0 the kernel passes nothing and sums to 0: it stays zero rather than NaN, so a
    // band whose lower edge is 0 Hz becomes a plain low-pass.
    if (sum != 0)
        for (double& v : h) v /= sum;
    return h;
}

const std::vector<double>& TBandPass::WindowFor(int32_t N) {
    if (static_cast<int32_t>(FWindow.size()) != N) FWindow = Window(N);
    return FWindow;
}

void TBandPass::SetTaps(std::vector<double> Taps) {
    const int32_t n = static_cast<int32_t>(Taps.size());
    if (n != FTapCount) {
        // The ring as it would lie in memory (oldest sample at the write position) keeps
        // its first samples that fit; the new ring starts at 0, so it is the history.
        std::vector<double> ring(Taps.size(), 0.0);
        const std::size_t old = static_cast<std::size_t>(FTapCount);
        for (std::size_t t = 0; t < old; ++t) {
            const std::size_t at = (static_cast<std::size_t>(FWritePos) + t) % old;
            if (at < ring.size()) ring[at] = FWork[t];
        }
        FWork = std::move(ring);
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
    const std::vector<double>& win = WindowFor(n);
    std::vector<double> h1 = Kernel(win, fLow);
    std::vector<double> h2 = Kernel(win, fHigh);
    for (double& v : h2) v = -v;
    h2[n / 2] += 1;
    std::vector<double> taps(static_cast<std::size_t>(n));
    for (int32_t i = 0; i < n; ++i) taps[i] = -(h1[i] + h2[i]);
    taps[n / 2] += 1;
    SetTaps(std::move(taps));
}

void TLowPass::Design(double SampleRate, double Cutoff, double Width) {
    const int32_t n = TapCountFor(SampleRate, Width);
    SetTaps(Kernel(WindowFor(n), Cutoff / SampleRate));
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

    // FWork = the last n samples, oldest first, then the input (copied first: Output may
    // be Input).
    FWork.resize(n + count);
    double* work = FWork.data();
    std::copy(Input.begin(), Input.end(), work + n);

    // Output[i] takes the n samples work[i+1 .. i+n], oldest first.
    FirSums(work + 1, FRevTaps.data(), n, Output.data(), count);

    // Keep the last n samples at the front for the next block.
    std::copy(work + count, work + count + n, work);
    FWork.resize(n);
    FWritePos = static_cast<int32_t>((static_cast<std::size_t>(FWritePos) + count) % n);
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
