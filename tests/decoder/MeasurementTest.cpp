#include "decoder/UCommon.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>

using namespace tilo;

namespace {

struct RateGuard {
    explicit RateGuard(int32_t rate) { SetSampleRate(rate); }
    ~RateGuard() { SetSampleRate(11025); }
};

TNvector Tone(double freq, double amp, int32_t n = 1024, double rate = 11025) {
    TNvector x(n);
    for (int32_t i = 0; i < n; ++i) x[i] = amp * std::sin(2 * std::numbers::pi * freq * i / rate);
    return x;
}

// Points every 1 Hz from 0 to 2999: a floor of 1 plus triangular peaks 40 Hz wide at
// each side of the listed frequencies.
TSpectrum Peaks(std::initializer_list<double> tones, double height = 40) {
    TSpectrum s(3000);
    for (size_t i = 0; i < s.size(); ++i) {
        s[i] = {double(i), 1.0};
        for (double t : tones) s[i].Mag += std::max(0.0, height - std::abs(double(i) - t));
    }
    return s;
}

}  // namespace

TEST(SignalLevelPercent, FullScaleSineIsHundredAndEmptyIsZero) {
    TNvector x(11025);
    for (size_t i = 0; i < x.size(); ++i) x[i] = 32767.33 * std::sin(2 * std::numbers::pi * 1000 * i / 11025.0);
    EXPECT_NEAR(SignalLevelPercent(x), 100.0, 0.01);
    EXPECT_EQ(SignalLevelPercent({}), 0.0);
    TNvector half(100, 23169.990100410125866 / 2);
    EXPECT_NEAR(SignalLevelPercent(half), 50.0, 1e-9);
}

TEST(RemoveDC, CentresBetweenExtremes) {
    TNvector x{10, 30, 20};
    RemoveDC(x);
    EXPECT_EQ(x, (TNvector{-10, 10, 0}));
    TNvector none;
    RemoveDC(none);
}

TEST(SpectrumMagnitude, QuarterRateInPointsWithPointZeroEmpty) {
    for (int32_t rate : {11025, 12000}) {
        RateGuard g(rate);
        const double bin = rate / 1024.0;
        TNvector x = Tone(100 * bin, 10000, 1024, rate), scratch;
        TSpectrum s;
        SpectrumMagnitude(x, scratch, s);
        ASSERT_EQ(s.size(), 256u);
        EXPECT_EQ(s[0].Freq, 0.0);
        EXPECT_EQ(s[0].Mag, 0.0);
        EXPECT_DOUBLE_EQ(s[255].Freq, 255 * bin);
        size_t peak = 1;
        for (size_t i = 1; i < s.size(); ++i)
            if (s[i].Mag > s[peak].Mag) peak = i;
        EXPECT_EQ(peak, 100u);
    }
}

TEST(SpectrumMagnitude, RefusedLengthGivesAllZeroSpectrum) {
    TNvector x(1536, 1000.0), scratch;
    TSpectrum s{{5, 5}};
    SpectrumMagnitude(x, scratch, s);
    ASSERT_EQ(s.size(), 384u);
    for (const auto& p : s) {
        EXPECT_EQ(p.Freq, 0.0);
        EXPECT_EQ(p.Mag, 0.0);
    }
}

TEST(InterpolateSpectrum, FillsOddPointsFromNeighbours) {
    const TSpectrum r = InterpolateSpectrum({{0, 0}, {10, 4}, {20, 8}});
    ASSERT_EQ(r.size(), 6u);
    // The last point has a left neighbour only: its level, half a step beyond it.
    const TSpecPoint want[] = {{0, 0}, {5, 2}, {10, 4}, {15, 6}, {20, 8}, {25, 8}};
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(r[i].Freq, want[i].Freq) << i;
        EXPECT_EQ(r[i].Mag, want[i].Mag) << i;
    }
    // A single point has no step to go by: the inserted point repeats it.
    const TSpectrum one = InterpolateSpectrum({{3, 7}});
    ASSERT_EQ(one.size(), 2u);
    EXPECT_EQ(one[0].Mag, 7.0);
    EXPECT_EQ(one[1].Mag, 7.0);
    EXPECT_EQ(one[1].Freq, 3.0);
    EXPECT_TRUE(InterpolateSpectrum({}).empty());
}

TEST(AverageSpectrum, BlendsMagnitudesAndGrowsShortAverage) {
    TSpectrum avg{{1, 100}};
    AverageSpectrum({{10, 0}, {20, 40}, {30, 80}}, avg, 0.95);
    ASSERT_EQ(avg.size(), 3u);
    EXPECT_DOUBLE_EQ(avg[0].Mag, 95.0);
    EXPECT_DOUBLE_EQ(avg[1].Mag, 2.0);
    EXPECT_DOUBLE_EQ(avg[2].Mag, 4.0);
    EXPECT_EQ(avg[2].Freq, 30.0);
}

TEST(NormalizeSpectrum, ScalesPeakToHundredOrGivesZeros) {
    const TSpectrum r = NormalizeSpectrum({{1, 2}, {2, 8}, {3, 4}});
    EXPECT_EQ(r[1].Mag, 100.0);
    EXPECT_EQ(r[0].Mag, 25.0);
    EXPECT_EQ(r[2].Freq, 3.0);
    // Silence: every level 0, every frequency kept.
    const TSpectrum silent = NormalizeSpectrum({{1, 0}, {2, -3}});
    ASSERT_EQ(silent.size(), 2u);
    for (std::size_t i = 0; i < silent.size(); ++i) {
        EXPECT_EQ(silent[i].Mag, 0.0);
        EXPECT_EQ(silent[i].Freq, double(i + 1));
    }
}

TEST(BandPower, SumsWithin32HzOfEachToneAndKeepsMean) {
    TBandPowers p;
    p.Mean = 42;
    // Centre 1000, shift 170: tones 915 and 1085; the windows are inclusive.
    const TSpectrum s{{883, 1},  {882, 100}, {947, 2},   {948, 100}, {1085, 4},
                      {1000, 8}, {1032, 16}, {1117, 32}, {1118, 100}};
    BandPower(1000, 170, s, p);
    EXPECT_EQ(p.Lower, 3.0);
    EXPECT_EQ(p.Upper, 36.0);
    EXPECT_EQ(p.Centre, 24.0);
    EXPECT_EQ(p.Mean, 42.0);
    MeanMagnitude(s, p);
    EXPECT_DOUBLE_EQ(p.Mean, 363.0 / 9);
}

TEST(FindSignalCentre, EmptySpectrumIsNotFoundAndCentreKept) {
    TBandPowers best;
    int32_t centre = 1234;
    TSpectrum zero(512);
    EXPECT_FALSE(FindSignalCentre(zero, 750, 1250, best, centre, 170, 8));
    EXPECT_FALSE(FindSignalCentre({}, 750, 1250, best, centre, 170, 8));
    EXPECT_EQ(centre, 1234);
    // Energy in the band, but a best score of only 5.12 (10 or less is not a signal).
    TSpectrum faint(512);
    for (size_t i = 0; i < faint.size(); ++i) faint[i].Freq = double(i) * 5;
    faint[400].Mag = 10000;  // 2000 Hz, outside every candidate's tones
    faint[183].Mag = 1;      // 915 Hz
    EXPECT_FALSE(FindSignalCentre(faint, 750, 1250, best, centre, 170, 8));
    EXPECT_EQ(centre, 1234);
}

TEST(FindSignalCentre, FindsTwoToneCentreWithinOneStep) {
    // Tones at 915 and 1085: centre 1000. Candidates run 835, 843, ... below 1165.
    const TSpectrum s = Peaks({915, 1085});
    TBandPowers best;
    int32_t centre = 0;
    ASSERT_TRUE(FindSignalCentre(s, 750, 1250, best, centre, 170, 8));
    EXPECT_LE(std::abs(centre - 1000), 8);
    // Off-centre tones in a band that reaches them.
    centre = 0;
    ASSERT_TRUE(FindSignalCentre(Peaks({1415, 1585}), 1250, 1750, best, centre, 170, 8));
    EXPECT_LE(std::abs(centre - 1500), 8);
    EXPECT_GT(best.Lower, 0.0);
    EXPECT_GT(best.Upper, 0.0);
    EXPECT_GT(best.Mean, 0.0);
}

TEST(FindSignalCentre, TieGoesToLowestCandidateAndBandLimitsTheScan) {
    // Flat spectrum: every candidate scores the same, so the first one wins.
    const TSpectrum flat = Peaks({});
    TBandPowers best;
    int32_t centre = 0;
    ASSERT_TRUE(FindSignalCentre(flat, 750, 1250, best, centre, 170, 8));
    EXPECT_EQ(centre, 835);
    // No candidate below High - Shift/2: nothing scanned.
    centre = 7;
    EXPECT_FALSE(FindSignalCentre(flat, 1000, 1170, best, centre, 170, 8));
    EXPECT_FALSE(FindSignalCentre(flat, 750, 1250, best, centre, 170, 0));
    EXPECT_EQ(centre, 7);
}

TEST(FindSignalCentre, AgreesBitForBitWithTheScanOfEveryCandidate) {
    // The candidates' band powers summed over the whole spectrum, as BandPower does; the
    // search must pick the same centre with the same powers, to the bit, whether the
    // frequencies ascend (repeated values included) or not (out of order, NaN).
    const auto plainScan = [](const TSpectrum& s, int32_t low, int32_t high, int32_t shift, int32_t step,
                              TBandPowers& best, int32_t& centre) {
        TBandPowers p;
        MeanMagnitude(s, p);
        double bestScore = 0;
        int32_t bestX = centre;
        for (int64_t x = int64_t{low} + shift / 2; x < int64_t{high} - shift / 2; x += step) {
            BandPower(int32_t(x), shift, s, p);
            const double score = p.Mean > 0 ? (p.Lower + p.Upper) * 100.0 / p.Mean : 0;
            if (score > bestScore) {
                bestScore = score;
                best = p;
                bestX = int32_t(x);
            }
        }
        if (best.Mean > 0 && bestScore > 10) centre = bestX;
        return best.Mean > 0 && bestScore > 10;
    };
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> mag(0, 100);
    for (int round = 0; round < 60; ++round) {
        TSpectrum s(512);
        double f = 0;
        for (auto& p : s) {
            p.Freq = f;
            p.Mag = mag(rng);
            f += (rng() % 4 == 0) ? 0.0 : 10.7666015625 / 2 * (0.5 + mag(rng) / 100);
        }
        if (round % 3 == 1) std::swap(s[150], s[200]);
        if (round % 3 == 2) s[180].Freq = NAN;
        TBandPowers expected, got;
        int32_t expectedCentre = 700, gotCentre = 700;
        const bool expectedFound = plainScan(s, 750, 1250, 170, 8, expected, expectedCentre);
        ASSERT_EQ(FindSignalCentre(s, 750, 1250, got, gotCentre, 170, 8), expectedFound) << round;
        EXPECT_EQ(gotCentre, expectedCentre) << round;
        EXPECT_EQ(got.Lower, expected.Lower) << round;
        EXPECT_EQ(got.Upper, expected.Upper) << round;
        EXPECT_EQ(got.Centre, expected.Centre) << round;
        EXPECT_EQ(got.Mean, expected.Mean) << round;
    }
}
