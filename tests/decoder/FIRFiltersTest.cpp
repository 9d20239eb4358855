#include "decoder/FIRFilters.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <numeric>
#include <random>
#include <stdexcept>
#include <vector>

using tilo::TBandPass;
using tilo::TLowPass;

namespace {

std::vector<double> Noise(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> d(-30000, 30000);
    std::vector<double> v(n);
    for (double& x : v) x = d(rng);
    return v;
}

// The filter as a plain ring, literally: products from the oldest sample, added from 0.
std::vector<double> ReferenceFilter(const std::vector<double>& taps,
                                    const std::vector<double>& in) {
    const std::size_t n = taps.size();
    std::vector<double> delay(n, 0.0), out(in.size());
    std::size_t wp = 0;
    for (std::size_t i = 0; i < in.size(); ++i) {
        delay[wp] = in[i];
        wp = (wp + 1) % n;
        double acc = 0;
        for (std::size_t k = n; k-- > 0;) {
            acc += taps[k] * delay[wp];
            wp = (wp + 1) % n;
        }
        out[i] = acc;
    }
    return out;
}

double Gain(const std::vector<double>& taps, double freq, double rate) {
    std::complex<double> h = 0;
    for (std::size_t k = 0; k < taps.size(); ++k)
        h += taps[k] * std::polar(1.0, -2 * std::numbers::pi * freq * double(k) / rate);
    return std::abs(h);
}

}  // namespace

TEST(FIRFilters, TapCountsAndSumsOfTheDemodulatorsDesigns) {
    struct Case { bool lowPass; double rate, freq, width; int32_t taps; double sum; } cases[] = {
        {false, 11025, 1285, 130, 340, 0}, {false, 12000, 1115, 130, 370, 0},
        {true, 11025, 100, 1000, 44, 1},   {true, 12000, 100, 1000, 48, 1},
        {true, 1000, 10, 400, 10, 1},  // 4 * 1000 / 400 = 10 exactly: stays even
        {true, 1000, 10, 800, 6, 1},   // Round(5) = 5, made even
        {true, 1000, 10, 1600, 2, 1},  // Round(2.5) = 2: halves go to even
    };
    for (const auto& c : cases) {
        TLowPass lp;
        TBandPass bp;
        TBandPass& f = c.lowPass ? lp : bp;
        f.Design(c.rate, c.freq, c.width);
        EXPECT_EQ(f.TapCount(), c.taps) << c.rate << " " << c.width;
        ASSERT_EQ(f.Taps().size(), std::size_t(c.taps));
        EXPECT_NEAR(std::accumulate(f.Taps().begin(), f.Taps().end(), 0.0), c.sum, 1e-12);
    }
}

TEST(FIRFilters, BandPassPassesItsToneAndStopsTheOther) {
    TBandPass upper;
    upper.Design(11025, 1085, 130);
    EXPECT_NEAR(Gain(upper.Taps(), 1085, 11025), 1.0, 0.05);
    EXPECT_LT(Gain(upper.Taps(), 915, 11025), 1e-3);
    EXPECT_LT(Gain(upper.Taps(), 0, 11025), 1e-9);
    TLowPass lp;
    lp.Design(11025, 100, 1000);
    EXPECT_NEAR(Gain(lp.Taps(), 0, 11025), 1.0, 1e-12);
    EXPECT_LT(Gain(lp.Taps(), 2 * 915, 11025), 1e-3);  // the rectified tone's ripple
    // Linear phase: the window's period is N, so the taps are symmetric about N/2.
    const auto& t = upper.Taps();
    for (std::size_t m = 1; m < t.size() / 2; ++m)
        EXPECT_NEAR(t[t.size() / 2 + m], t[t.size() / 2 - m], 1e-15);
}

TEST(FIRFilters, BlocksFilterExactlyAsOneStream) {
    const std::vector<double> in = Noise(3000, 1);
    TBandPass one, split;
    one.Design(11025, 1085, 130);
    split.Design(11025, 1085, 130);
    std::vector<double> whole(in.size()), parts(in.size());
    one.Filter(in, whole);
    std::span<const double> s(in);
    std::span<double> o(parts);
    split.Filter(s.subspan(0, 1024), o.subspan(0, 1024));
    split.Filter(s.subspan(1024, 1), o.subspan(1024, 1));
    split.Filter(s.subspan(1025, 0), o.subspan(1025, 0));
    split.Filter(s.subspan(1025), o.subspan(1025));
    EXPECT_EQ(whole, parts);
    EXPECT_EQ(whole, ReferenceFilter(one.Taps(), in));
    // In place, the output array being the input.
    TBandPass inPlace;
    inPlace.Design(11025, 1085, 130);
    std::vector<double> data = in;
    inPlace.Filter(data, data);
    EXPECT_EQ(data, whole);
}

TEST(FIRFilters, RedesignKeepsTheStreamOrRestartsTheRingWhenTheLengthChanges) {
    const std::vector<double> in = Noise(2000, 2);
    std::span<const double> s(in);
    // Same length: only the taps change, the delay line carries on.
    TBandPass retuned, fresh;
    retuned.Design(11025, 1085, 130);
    fresh.Design(11025, 1200, 130);
    std::vector<double> a(1000), b(2000);
    retuned.Filter(s.subspan(0, 1000), a);
    retuned.Design(11025, 1200, 130);
    retuned.Filter(s.subspan(1000), a);
    fresh.Filter(in, b);
    EXPECT_EQ(a, std::vector<double>(b.begin() + 1000, b.end()));

    // New length (340 -> 678 taps): once the new length of fresh samples has passed, the
    // output is that of a filter designed so from the start.
    TBandPass longer, reference;
    longer.Design(11025, 1085, 130);
    std::vector<double> tmp(1000);
    longer.Filter(s.subspan(0, 999), tmp);  // leaves the write position mid-ring
    longer.Design(11025, 1085, 65);
    reference.Design(11025, 1085, 65);
    ASSERT_EQ(longer.TapCount(), 678);  // Round(678.46)
    std::vector<double> x(1001), y(1001);
    longer.Filter(s.subspan(999), x);
    reference.Filter(s.subspan(999), y);
    for (std::size_t i = 677; i < x.size(); ++i) ASSERT_EQ(x[i], y[i]) << i;
    // And shorter again (678 -> 44 taps).
    longer.Design(11025, 100, 1000);
    longer.Filter(s.subspan(0, 100), x);
}

TEST(FIRFilters, MisuseIsRefusedOrHarmless) {
    std::vector<double> in = Noise(100, 3), out(99, 7.0);
    TBandPass f;
    // Not designed yet: zeros, not a division by zero.
    std::vector<double> zeros(100, 7.0);
    f.Filter(in, zeros);
    EXPECT_EQ(zeros, std::vector<double>(100, 0.0));

    f.Design(11025, 1085, 130);
    const std::vector<double> taps = f.Taps();
    EXPECT_THROW(f.Filter(in, out), std::length_error);
    EXPECT_EQ(out, std::vector<double>(99, 7.0));
    for (auto [rate, width] : {std::pair{0.0, 130.0}, {-11025.0, 130.0}, {11025.0, 0.0},
                               {11025.0, -1.0}, {11025.0, 1e-9}, {NAN, 130.0},
                               {11025.0, 1e6}}) {  // Round(0.04) taps
        EXPECT_THROW(f.Design(rate, 1085, width), std::invalid_argument) << rate << " " << width;
        TLowPass lp;
        EXPECT_THROW(lp.Design(rate, 100, width), std::invalid_argument);
        EXPECT_EQ(lp.TapCount(), 0);
    }
    EXPECT_EQ(f.Taps(), taps);

    // A band from 0 Hz: the lower kernel passes nothing, and the result is the low-pass at
    // the upper edge instead of NaN.
    TBandPass fromZero;
    TLowPass lowPass;
    fromZero.Design(11025, 65, 130);
    lowPass.Design(11025, 130, 130);
    ASSERT_EQ(fromZero.TapCount(), lowPass.TapCount());
    for (int32_t i = 0; i < fromZero.TapCount(); ++i)
        EXPECT_NEAR(fromZero.Taps()[i], lowPass.Taps()[i], 1e-15) << i;
}

TEST(FIRFilters, RectifyModesOverTheRangeClampedToTheData) {
    const std::vector<double> data = {-1.5, 2, -0.0, 3, -4};
    struct Case { int32_t high; uint8_t mode; std::vector<double> want; } cases[] = {
        {4, 0, {1.5, 2, 0, 3, 4}},
        {4, 1, {-1.5, -2, -0.0, -3, -4}},
        {4, 2, data},
        {255, 0, {1.5, 2, 0, 3, 4}},  // High beyond the data
        {1, 1, {-1.5, -2, -0.0, 3, -4}},
        {-1, 0, data},
    };
    for (const auto& c : cases) {
        std::vector<double> d = data;
        TBandPass::Rectify(d, c.high, c.mode);
        EXPECT_EQ(d, c.want) << "high " << c.high << " mode " << int(c.mode);
    }
    std::vector<double> empty;
    TBandPass::Rectify(empty, 10, 0);
}

TEST(FIRFilters, EveryBuildOfTheInnerLoopGivesThePlainSumsBits) {
    // Lengths around the vector widths and lane blocks (16, 32 and 64 outputs), tap
    // counts from none to longer than a block.
    const std::vector<double> in = Noise(2200, 4);
    const std::vector<double> taps = Noise(700, 5);
    int32_t tried = 0;
    for (const tilo::TFirKernel& kernel : tilo::FirKernels()) {
        if (!kernel.Supported()) continue;
        ++tried;
        for (std::size_t n : {0, 1, 2, 7, 44, 340, 700}) {
            for (std::size_t count : {0, 1, 15, 16, 17, 63, 64, 65, 1024, 1500}) {
                std::vector<double> out(count, -1.0);
                kernel.Sums(in.data(), taps.data(), n, out.data(), count);
                for (std::size_t i = 0; i < count; ++i) {
                    double sum = 0;
                    for (std::size_t j = 0; j < n; ++j) sum = sum + taps[j] * in[i + j];
                    ASSERT_EQ(out[i], sum) << kernel.Name << " n=" << n << " count=" << count << " i=" << i;
                }
            }
        }
    }
    EXPECT_GE(tried, 1);
    EXPECT_STREQ(tilo::FirKernels().back().Name, "default");
}
