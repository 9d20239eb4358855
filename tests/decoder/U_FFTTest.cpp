#include "decoder/U_FFT.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <random>

using tilo::TNvector;

namespace {

TNvector Sine(int32_t n, double bin, double amp = 1000.0) {
    TNvector x(n);
    for (int32_t i = 0; i < n; ++i) x[i] = amp * std::sin(2 * std::numbers::pi * bin * i / n);
    return x;
}

}  // namespace

TEST(RealFFT, RefusedLengthsLeaveArraysUntouched) {
    struct Case { int32_t n; uint8_t status; } cases[] = {{2, 1}, {0, 1}, {1536, 2}, {2 * 16384, 2}};
    for (const auto& c : cases) {
        TNvector re(c.n, 3.0), im(c.n, 7.0);
        const double* reData = re.data();
        uint8_t status = 99;
        tilo::RealFFT(c.n, false, re, status, im);
        EXPECT_EQ(status, c.status) << c.n;
        EXPECT_EQ(re, TNvector(c.n, 3.0));
        EXPECT_EQ(im, TNvector(c.n, 7.0));
        EXPECT_EQ(re.data(), reData);
    }
}

TEST(RealFFT, FindPowerOfTwoCoversTwoTo8192) {
    for (int32_t k = 1; k <= 13; ++k) {
        int32_t log2 = -1;
        uint8_t status = 9;
        tilo::FindPowerOfTwo(int32_t{1} << k, log2, status);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(log2, k);
    }
    int32_t log2 = -1;
    uint8_t status = 0;
    tilo::FindPowerOfTwo(16384, log2, status);
    EXPECT_EQ(status, 2);
    EXPECT_EQ(log2, -1);
}

TEST(RealFFT, ConstantInputHasEnergyOnlyInBinZero) {
    const int32_t n = 1024;
    TNvector re(n, 5.0), im;
    uint8_t status = 9;
    tilo::RealFFT(n, false, re, status, im);
    ASSERT_EQ(status, 0);
    ASSERT_EQ(re.size(), size_t(n));
    ASSERT_EQ(im.size(), size_t(n));
    EXPECT_NEAR(re[0], 5.0 * n / std::sqrt(double(n)), 1e-9);
    for (int32_t i = 1; i < n; ++i) {
        EXPECT_NEAR(re[i], 0.0, 1e-9) << i;
        EXPECT_NEAR(im[i], 0.0, 1e-9) << i;
    }
}

TEST(RealFFT, SinePeaksAtItsBinAndMirror) {
    const int32_t n = 1024;
    for (int32_t k : {1, 37, 100, 255, 256, 511}) {
        TNvector re = Sine(n, k), im;
        const TNvector input = re;
        uint8_t status = 9;
        tilo::RealFFT(n, false, re, status, im);
        ASSERT_EQ(status, 0);
        std::vector<double> mag(n);
        for (int32_t i = 0; i < n; ++i) mag[i] = std::hypot(re[i], im[i]);
        for (int32_t i = 0; i < n; ++i) {
            if (i == k || i == n - k) EXPECT_NEAR(mag[i], 1000.0 * n / 2 / std::sqrt(double(n)), 1e-6);
            else EXPECT_LT(mag[i], 1e-6) << "k " << k << " bin " << i;
        }
        EXPECT_EQ(input, Sine(n, k));
    }
}

namespace {

// A block of n uniform random samples in [-amplitude, amplitude), with its forward transform.
struct TTransformed {
    TNvector x, re, im;
};
TTransformed RandomTransformed(std::mt19937& rng, int32_t n, double amplitude) {
    std::uniform_real_distribution<double> u(-amplitude, amplitude);
    TTransformed t;
    t.x.resize(std::size_t(n));
    for (auto& v : t.x) v = u(rng);
    t.re = t.x;
    uint8_t status = 9;
    tilo::RealFFT(n, false, t.re, status, t.im);
    EXPECT_EQ(status, 0);
    return t;
}

}  // namespace

TEST(RealFFT, MatchesNaiveUnitaryDftOnRandomBlock) {
    std::mt19937 rng(476);
    for (int32_t n : {4, 8, 64, 1024}) {
        const auto [x, re, im] = RandomTransformed(rng, n, 32768);
        for (int32_t k = 0; k < n; ++k) {
            std::complex<double> sum = 0;
            for (int32_t t = 0; t < n; ++t) sum += x[t] * std::polar(1.0, -2 * std::numbers::pi * k * t / n);
            sum /= std::sqrt(double(n));
            EXPECT_NEAR(re[k], sum.real(), 1e-7 * 32768) << n << " bin " << k;
            EXPECT_NEAR(im[k], sum.imag(), 1e-7 * 32768) << n << " bin " << k;
        }
    }
}

TEST(RealFFT, InverseRestoresTheSamples) {
    std::mt19937 rng(540);
    for (int32_t n : {4, 16, 1024, 16384}) {
        auto [x, re, im] = RandomTransformed(rng, n, 1000);
        uint8_t status = 9;
        tilo::RealFFT(n, true, re, status, im);
        ASSERT_EQ(status, 0);
        ASSERT_EQ(re.size(), size_t(n));
        for (int32_t i = 0; i < n; ++i) ASSERT_NEAR(re[i], x[i], 1e-6) << n << " sample " << i;
    }
}

TEST(RealFFT, PlanGivesTheSameBitsAsTheTransformAloneAndRefusesLikeIt) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> d(-30000, 30000);
    for (int32_t n : {4, 8, 64, 1024, 16384}) {
        const tilo::TRealFFTPlan plan(n);
        for (bool inverse : {false, true}) {
            TNvector re(n), im(n, 0.0);
            for (double& x : re) x = d(rng);
            if (inverse)
                for (double& x : im) x = d(rng);
            TNvector re1 = re, im1 = im, re2 = re, im2 = im;
            uint8_t s1 = 9, s2 = 9;
            tilo::RealFFT(n, inverse, re1, s1, im1);
            tilo::RealFFT(plan, inverse, re2, s2, im2);
            EXPECT_EQ(s1, tilo::FFT_OK);
            EXPECT_EQ(s2, s1);
            EXPECT_EQ(re2, re1) << n;  // bit for bit
            EXPECT_EQ(im2, im1) << n;
        }
    }
    for (int32_t n : {2, 1536, 32768}) {
        const tilo::TRealFFTPlan plan(n);
        TNvector re(4, 1.0), im(4, 2.0);
        uint8_t status = tilo::FFT_OK;
        tilo::RealFFT(plan, false, re, status, im);
        EXPECT_EQ(status, n == 2 ? tilo::FFT_TOO_SHORT : tilo::FFT_BAD_LENGTH) << n;
        EXPECT_EQ(re, TNvector(4, 1.0));
        EXPECT_EQ(im, TNvector(4, 2.0));
    }
}

TEST(RealFFT, LowBinsAloneAreTheFullTransformsBits) {
    std::mt19937 rng(1852);
    std::uniform_real_distribution<double> u(-32768, 32768);
    for (int32_t n : {8, 64, 1024, 4096}) {
        for (std::size_t given : {std::size_t(n), std::size_t(n) - 3}) {  // missing samples read as 0
            TNvector x(given);
            for (double& v : x) v = u(rng);
            TNvector re = x, im;
            uint8_t status = 9;
            tilo::RealFFT(n, false, re, status, im);
            ASSERT_EQ(status, tilo::FFT_OK);
            const tilo::TRealFFTPlan plan(n);
            TNvector lowRe = x, lowIm{1.0, 2.0};
            status = 9;
            tilo::RealFFTLowBins(plan, lowRe, lowIm, n / 4, status);
            ASSERT_EQ(status, tilo::FFT_OK);
            ASSERT_EQ(lowRe.size(), std::size_t(n / 4));
            ASSERT_EQ(lowIm.size(), std::size_t(n / 4));
            for (int32_t k = 0; k < n / 4; ++k) {
                ASSERT_EQ(lowRe[k], re[k]) << n << " bin " << k;
                ASSERT_EQ(lowIm[k], im[k]) << n << " bin " << k;
            }
        }
    }
    // A refused length says so and leaves the arrays alone.
    const tilo::TRealFFTPlan bad(12);
    TNvector re{1, 2, 3}, im{4};
    uint8_t status = 0;
    tilo::RealFFTLowBins(bad, re, im, 3, status);
    EXPECT_EQ(status, tilo::FFT_BAD_LENGTH);
    EXPECT_EQ(re, (TNvector{1, 2, 3}));
    EXPECT_EQ(im, TNvector{4});
}
