// One small table of the chain's numbers that nothing else fixes: where the text judge
// draws the line, the window of the filters, the majority vote's width, the clock's edge
// patterns, the spectrum averaging weight, the tracking step and band, and the
// text-synchronisation rule.
#include "decoder/CodeTables.h"
#include "decoder/FIRFilters.h"
#include "decoder/NavtexDecoder.h"
#include "decoder/UCommon.h"
#include "decoder/uModem.h"
#include "RecordingHost.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <numbers>
#include <string>
#include <vector>

using namespace tilo;

namespace {

std::string Letters(const std::string& Text) {
    std::string Bits;
    for (char C : Text) Bits += LettersCode(C);
    return Bits;
}

bool Logged(const test::TRecordingHost& Host, const std::string& Prefix) {
    return std::any_of(Host.Log.begin(), Host.Log.end(),
                       [&](const std::string& L) { return L.rfind(Prefix, 0) == 0; });
}

std::vector<int16_t> TwoTones(double Centre, size_t N, int32_t Rate) {
    std::vector<int16_t> S(N);
    for (size_t I = 0; I < N; ++I) {
        const double T = double(I) / Rate;
        S[I] = int16_t(std::lround(8000 * (std::sin(2 * std::numbers::pi * (Centre - 85) * T) +
                                           std::sin(2 * std::numbers::pi * (Centre + 85) * T))));
    }
    return S;
}

}  // namespace

TEST(PinnedValues, GarbageScoreResetsAtSixCommonLettersOfTwentyFiveButNotSeven) {
    // Blanks and A, E, I, O, R are the common ones: 6 of 25 scores 24, 7 of 25 scores 28.
    struct Case { std::string Window; bool Reset; } Cases[] = {
        {"AEIOR" + std::string(19, 'T') + "A", true},
        {"AEIOR" + std::string(18, 'T') + " A", false},
    };
    for (const Case& C : Cases) {
        ASSERT_EQ(C.Window.size(), 25u);
        test::TRecordingHost Host;
        TNavtexDecoder Dec(Host);
        for (char Ch : C.Window) Dec.MonitorCharErrors(Ch);
        EXPECT_EQ(Logged(Host, "Decoder: bad sync detected: "), C.Reset) << C.Window;
        EXPECT_TRUE(Dec.ScoreWindow.empty()) << "judged in windows of 25";
    }
}

TEST(PinnedValues, BlackmanWindowedLowPassTaps) {
    // The demodulator's envelope filter at 11025 samples per second (cut-off 100 Hz,
    // 44 taps), computed apart from this code with the window of period N.
    TLowPass F;
    F.Design(11025, 100, 1000);
    ASSERT_EQ(F.TapCount(), 44);
    const std::pair<int, double> Golden[] = {
        {0, 0.00028552782833901917}, {1, 0.0003757548992158017}, {11, 0.017925838785192237},
        {22, 0.054772156916312424},  {43, 0.00037575489921580106},
    };
    for (const auto& [I, V] : Golden) EXPECT_NEAR(F.Taps()[I], V, 1e-17) << I;
}

TEST(PinnedValues, MajorityVoteTakesTwelveSamplesEachSideOfTheBitInstant) {
    // A fresh clock at 11025 samples per second emits its first bit at sample 54. Around
    // it, ones at distance 12 on both sides and at every odd distance up to 11: thirteen
    // ones of the 25 samples within 12, but a minority within 11 and within 13. No ten
    // equal samples in a row anywhere, so no edge moves the clock.
    std::vector<int32_t> Sliced(ModemBlockSize, 0);
    for (int K : {-12, -11, -9, -7, -5, -3, -1, 1, 3, 5, 7, 9, 12}) Sliced[54 + K] = 1;
    // The same without the two outer ones: a minority within 12.
    std::vector<int32_t> Minority = Sliced;
    Minority[54 - 12] = Minority[54 + 12] = 0;
    TModem M;
    EXPECT_EQ(M.ClockBits(Sliced)[0], '1');
    TModem N;
    EXPECT_EQ(N.ClockBits(Minority)[0], '0');
}

TEST(PinnedValues, ClockEdgesAreTenEqualSamplesThenTenOfTheOther) {
    // Ones from First to Last in a block of zeros; how often the clock is pulled. An edge
    // at sample i needs i > 10 and i + 9 inside the block.
    struct Case { int First, Last, Pulls; } Cases[] = {
        {100, 109, 2},   // rising at 100, falling at 110
        {100, 108, 0},   // nine ones
        {100, 300, 2},
        {1014, 1023, 1},  // rising at the last place an edge fits
        {1015, 1023, 0},
        {10, 19, 1},      // the rising edge's window would start at sample 0
        {11, 20, 2},
        {95, 104, 2},     // ten zeros, ten ones, ten zeros: both
    };
    for (const Case& C : Cases) {
        std::vector<int32_t> Sliced(ModemBlockSize, 0);
        std::fill(Sliced.begin() + C.First, Sliced.begin() + C.Last + 1, 1);
        TModem M;
        int Pulls = 0;
        M.OnPLLOutput = [&Pulls](double) { ++Pulls; };
        M.ClockBits(Sliced);
        EXPECT_EQ(Pulls, C.Pulls) << C.First << ".." << C.Last;
    }
}

TEST(PinnedValues, SpectrumIsAveragedWithWeightNinetyFivePercentOld) {
    test::TRecordingHost Host;
    TNavtexDecoder Dec(Host);
    const std::vector<int32_t> Pll(1024, 0);
    const TNvector Zeros(1024, 0.0);
    const std::vector<int16_t> A = TwoTones(1000, 1024, SampleRate), B = TwoTones(1600, 1024, SampleRate);
    Dec.ModemBlockDone("", 0, TNvector(A.begin(), A.end()), Zeros, Pll);
    const TSpectrum First = Dec.FSpectrum;
    Dec.ModemBlockDone("", 0, TNvector(B.begin(), B.end()), Zeros, Pll);
    const TSpectrum Second = Dec.FSpectrum;
    // From an empty average the first block's shape stands; then 5 % new, 95 % old.
    std::vector<double> Mix(First.size());
    for (size_t I = 0; I < Mix.size(); ++I) Mix[I] = 0.05 * Second[I].Mag + 0.95 * First[I].Mag;
    const double Peak = *std::max_element(Mix.begin(), Mix.end());
    ASSERT_EQ(Dec.FAvgSpectrum.size(), Mix.size());
    for (size_t I = 0; I < Mix.size(); ++I) ASSERT_NEAR(Dec.FAvgSpectrum[I].Mag, Mix[I] * 100 / Peak, 1e-9) << I;
}

TEST(PinnedValues, TrackingScansCandidateCentresEightHertzApart) {
    // Tuned to 1000 Hz: the candidates are 835, 843, ... (band 750 .. 1250, half the
    // shift 85 Hz); a jump from the previous result is taken unsmoothed. A signal on a
    // candidate is found there; any other lands on a candidate near it.
    struct Case { double Signal; int32_t Exact; } Cases[] = {
        {899, 899}, {963, 963}, {1003, 1003}, {1059, 1059}, {1115, 1115},
        {958, 0}, {1013, 0}, {1020, 0}, {1117, 0},
    };
    for (const Case& C : Cases) {
        test::TRecordingHost Host;
        TNavtexDecoder Dec(Host);
        Dec.SetAfcBand(1000);
        Dec.AfcPrevious = -1000;
        const std::vector<int16_t> S = TwoTones(C.Signal, 1024, SampleRate);
        Dec.FAfcRequest = true;
        Dec.ModemBlockDone("", 0, TNvector(S.begin(), S.end()), TNvector(1024, 0.0), std::vector<int32_t>(1024, 0));
        ASSERT_TRUE(Dec.FCanTune) << C.Signal;
        EXPECT_EQ((Dec.FAfcCentre - 835) % 8, 0) << C.Signal << " -> " << Dec.FAfcCentre;
        EXPECT_LE(std::abs(Dec.FAfcCentre - C.Signal), 12) << C.Signal << " -> " << Dec.FAfcCentre;
        if (C.Exact) {
            EXPECT_EQ(Dec.FAfcCentre, C.Exact);
        }
    }
}

TEST(PinnedValues, TrackingBandAndGuardHoldAtTheIntegerLimits) {
    test::TRecordingHost Host;
    TNavtexDecoder Dec(Host);
    Dec.SetAfcBand(INT32_MAX);
    EXPECT_EQ(Dec.FAfcLow, INT32_MAX - 250);
    EXPECT_EQ(Dec.FAfcHigh, INT32_MAX);
    Dec.SetAfcBand(INT32_MIN);
    EXPECT_EQ(Dec.FAfcLow, INT32_MIN);
    EXPECT_EQ(Dec.FAfcHigh, INT32_MIN + 250);
    // A signal found far from a demodulator tuned near the lower limit: not applied.
    TModem M;
    M.FCenter = INT32_MIN + 10;  // a plain field: no redesign
    Dec.FModem = &M;
    Dec.SetAfcBand(1000);
    Dec.AfcPrevious = -1000;
    const std::vector<int16_t> S = TwoTones(1061, 1024, SampleRate);
    Dec.FAfcRequest = true;
    Dec.ModemBlockDone("", 0, TNvector(S.begin(), S.end()), TNvector(1024, 0.0), std::vector<int32_t>(1024, 0));
    EXPECT_TRUE(Dec.FCanTune);
    EXPECT_EQ(M.FCenter, INT32_MIN + 10);
}

TEST(PinnedValues, TextSyncNeedsPositionsFourAndFiveAndSixAndSevenToDiffer) {
    // Nine letters: T1 = T6 and T3 = T8, with T5 != T6 and T7 != T8, start paired decoding
    // at bit 1; either inequality broken, no sync. A tenth group follows: the search never
    // takes the group that ends the bits.
    struct Case { std::string Text; int32_t Sync; } Cases[] = {
        {"AXBYCADBZ", 1},
        {"AXBYAADBZ", -1},  // T5 = T6
        {"AXBYCABBZ", -1},  // T7 = T8
    };
    for (const Case& C : Cases) {
        test::TRecordingHost Host;
        TNavtexDecoder Dec(Host);
        EXPECT_EQ(Dec.FindSync(Letters(C.Text + "Q")), C.Sync) << C.Text;
        EXPECT_EQ(Logged(Host, "Sync on: " + C.Text), C.Sync > 0) << C.Text;
    }
}
