#include "decoder/uModem.h"

#include "decoder/UCommon.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>
#include <vector>

using tilo::TModem;

namespace {

// Continuous-phase FSK: sample n carries bit Bit(floor(n * baud / rate)); '1' is the upper tone.
template <class BitFn>
std::vector<int16_t> Fsk(std::size_t count, double rate, double centre, double shift,
                         BitFn Bit, double amplitude = 8000, double baud = 100) {
    std::vector<int16_t> out(count);
    double phase = 0;
    for (std::size_t n = 0; n < count; ++n) {
        const int bit = Bit(std::size_t(double(n) * baud / rate));
        phase += 2 * std::numbers::pi * (centre + (bit ? shift : -shift) / 2) / rate;
        out[n] = int16_t(std::nearbyint(amplitude * std::sin(phase)));
    }
    return out;
}

std::span<const int16_t> Block(const std::vector<int16_t>& s, std::size_t b) {
    return std::span<const int16_t>(s).subspan(b * 1024, 1024);
}

// Every test starts from the normal polarity and the usual rate: both are shared state.
class Modem : public ::testing::Test {
protected:
    void SetUp() override {
        tilo::SetSampleRate(11025);
        TModem::SetPolarity(0);
    }
    void TearDown() override {
        tilo::SetSampleRate(11025);
        TModem::SetPolarity(0);
    }
};

}  // namespace

TEST_F(Modem, ConstructionDefaults) {
    for (int32_t rate : {11025, 12000}) {
        tilo::SetSampleRate(rate);
        TModem m;
        EXPECT_EQ(m.Mode(), tilo::TMode::mSync);
        EXPECT_EQ(m.Baud(), 100);
        EXPECT_DOUBLE_EQ(m.SamplesPerBit(), rate / 100.0);
        EXPECT_EQ(m.FCenter, 1200);
        EXPECT_EQ(m.Shift, 170);
        EXPECT_EQ(m.ThresholdCoefficient(), 0.8);  // not yet the 0.93 that SetFreq(1200) gives
        EXPECT_EQ(m.UpperBandPass().TapCount(), rate == 11025 ? 340 : 370);
        EXPECT_EQ(m.ClockPhase(), 0);
    }
}

TEST_F(Modem, SetFreqTunesFiltersAndThresholdCoefficient) {
    struct Case { int32_t centre; double coef; } cases[] = {
        {1000, 0.98}, {1150, 0.98}, {1425, 0.93}, {1700, 0.88}, {1701, 0.88}, {2200, 0.88},
    };
    TModem m;
    for (const auto& c : cases) {
        m.SetFreq(c.centre, 170);
        EXPECT_NEAR(m.ThresholdCoefficient(), c.coef, 1e-12) << c.centre;
        EXPECT_EQ(m.FCenter, c.centre);
    }
    // Odd shift: div truncates, tones at 1000 + 85 and 1000 - 85.
    tilo::TBandPass upper, lower;
    upper.Design(11025, 1085, 130);
    lower.Design(11025, 915, 130);
    m.SetFreq(1000, 171);
    EXPECT_EQ(m.UpperBandPass().Taps(), upper.Taps());
    EXPECT_EQ(m.LowerBandPass().Taps(), lower.Taps());
    // Writing the fields directly redesigns nothing.
    m.FCenter = 1500;
    m.Shift = 400;
    EXPECT_EQ(m.UpperBandPass().Taps(), upper.Taps());
    EXPECT_NEAR(m.ThresholdCoefficient(), 0.98, 1e-12);
    // Absurd tuning requests compute the tones without overflow.
    m.SetFreq(INT32_MAX, INT32_MAX);
    m.SetFreq(INT32_MIN, INT32_MAX);
    EXPECT_NEAR(m.ThresholdCoefficient(), 0.98, 1e-12);
}

TEST_F(Modem, SetBaudRefusesNonPositiveValuesAndKeepsTheClock) {
    TModem m;
    m.SetBaud(100.2);
    for (double bad : {0.0, -100.0, double(NAN)}) {
        EXPECT_THROW(m.SetBaud(bad), std::invalid_argument);
        EXPECT_EQ(m.Baud(), 100.2);
        EXPECT_DOUBLE_EQ(m.SamplesPerBit(), 11025 / 100.2);
    }
}

TEST_F(Modem, ProcessBlockTakesExactly1024Samples) {
    TModem m;
    int calls = 0;
    m.OnDataReady = [&](const std::string&, double, const tilo::TNvector&, const tilo::TNvector&,
                        const std::vector<int32_t>&) { ++calls; };
    for (std::size_t n : {0, 1023, 1025}) {
        const std::vector<int16_t> s(n, 100);
        EXPECT_THROW(m.ProcessBlock(s), std::invalid_argument) << n;
    }
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(m.ClockPhase(), 0);
}

TEST_F(Modem, SilenceGivesZerosAtTheQuantisedClockRate) {
    struct Case { int32_t rate; int samplesPerBit; } cases[] = {{11025, 110}, {12000, 120}};
    for (const auto& c : cases) {
        tilo::SetSampleRate(c.rate);
        TModem m;
        std::string all;
        std::size_t minLen = 99, maxLen = 0;
        m.OnDataReady = [&](const std::string& bits, double, const tilo::TNvector&,
                            const tilo::TNvector& imag, const std::vector<int32_t>& pll) {
            all += bits;
            minLen = std::min(minLen, bits.size());
            maxLen = std::max(maxLen, bits.size());
            EXPECT_EQ(std::count(pll.begin(), pll.end(), 0), 1024);
            EXPECT_EQ(std::count(imag.begin(), imag.end(), 0.0), 1024);
        };
        const std::vector<int16_t> silence(1024, 0);
        const int blocks = 60;
        for (int b = 0; b < blocks; ++b) m.ProcessBlock(silence);
        EXPECT_EQ(all, std::string(all.size(), '0'));
        // The first bit comes after half a bit; then one every whole number of samples.
        const std::size_t expected = 1 + (blocks * 1023 - c.samplesPerBit / 2) / c.samplesPerBit;
        EXPECT_EQ(all.size(), expected) << c.rate;
        if (c.rate == 11025) {
            EXPECT_EQ(minLen, 9u);
            EXPECT_EQ(maxLen, 10u);
        }
    }
}

TEST_F(Modem, PolarityTwoChangesNothing) {
    TModem m;
    std::string last;
    m.OnDataReady = [&](const std::string& bits, double, const tilo::TNvector&,
                        const tilo::TNvector&, const std::vector<int32_t>&) { last = bits; };
    const auto mark = Fsk(8 * 1024, 11025, 1200, 170, [](std::size_t) { return 1; });
    struct Step { int polarity; char bit; } steps[] = {{0, '1'}, {1, '0'}, {2, '0'}, {0, '1'}, {2, '1'}};
    for (const auto& s : steps) {
        TModem::SetPolarity(uint8_t(s.polarity));
        for (std::size_t b = 0; b < 8; ++b) m.ProcessBlock(Block(mark, b));
        EXPECT_EQ(last, std::string(last.size(), s.bit)) << "polarity " << s.polarity;
    }
}

TEST_F(Modem, AlternatingSignalKeepsTheClockLockedWithOnePullPerEdge) {
    TModem m;
    const std::size_t blocks = 60;
    const auto signal = Fsk(blocks * 1024, 11025, 1200, 170, [](std::size_t k) { return int(k & 1); });
    std::string bits;
    int pulls = 0;
    double maxPhaseAfterLock = 0;
    std::size_t block = 0;
    m.OnPLLOutput = [&](double phase) {
        ++pulls;
        if (block >= 10) maxPhaseAfterLock = std::max(maxPhaseAfterLock, std::fabs(phase));
    };
    m.OnDataReady = [&](const std::string& b, double, const tilo::TNvector&, const tilo::TNvector&,
                        const std::vector<int32_t>& pll) {
        if (block < 10) return;
        bits += b;
        // A clean edge between samples i-1 and i with i in 11 .. 1014 pulls the clock once.
        int edges = 0;
        for (int i = 11; i <= 1014; ++i) edges += pll[i] != pll[i - 1];
        EXPECT_EQ(pulls, edges) << "block " << block;
    };
    for (block = 0; block < blocks; ++block) {
        pulls = 0;
        m.ProcessBlock(Block(signal, block));
    }
    ASSERT_GT(bits.size(), 400u);
    EXPECT_EQ(bits.find("00"), std::string::npos) << bits;
    EXPECT_EQ(bits.find("11"), std::string::npos) << bits;
    // Edges keep meeting the clock within a quarter bit of its zero (about 15 to 25 samples).
    EXPECT_LT(maxPhaseAfterLock, 110.25 / 4);
}

TEST_F(Modem, DiagnosticsSeeUnrectifiedTonesAndThePreviousEnvelopes) {
    TModem m;
    const auto mark = Fsk(2 * 1024, 11025, 1200, 170, [](std::size_t) { return 1; });
    std::vector<double> seenMarkLP;
    bool sawNegative = false;
    m.OnDiagOutput = [&](const tilo::TArrDbl& raw, const tilo::TArrDbl& f1, const tilo::TArrDbl&,
                         const tilo::TNvector& markLP, const tilo::TNvector&) {
        EXPECT_EQ(raw.size(), 1024u);
        sawNegative = sawNegative || *std::min_element(f1.begin(), f1.end()) < 0;
        seenMarkLP = markLP;
    };
    m.ProcessBlock(Block(mark, 0));
    EXPECT_EQ(seenMarkLP, std::vector<double>(1024, 0.0));
    m.ProcessBlock(Block(mark, 1));
    EXPECT_GT(seenMarkLP.back(), 1000.0);  // the first block's envelope
    EXPECT_TRUE(sawNegative);
}

TEST_F(Modem, SlicerComparesTheUpperEnvelopeWithTheRunningThreshold) {
    TModem m;
    const auto fsk = Fsk(2 * 1024, 11025, 1200, 170, [](std::size_t bit) { return int(bit / 2 % 2); });
    std::vector<int32_t> sliced;
    tilo::TNvector markLP, spaceLP;
    m.OnDataReady = [&](const std::string&, double, const tilo::TNvector&, const tilo::TNvector&,
                        const std::vector<int32_t>& pll) {
        if (sliced.empty()) sliced = pll;
    };
    m.OnDiagOutput = [&](const tilo::TArrDbl&, const tilo::TArrDbl&, const tilo::TArrDbl&,
                         const tilo::TNvector& mark, const tilo::TNvector& space) {
        markLP = mark;
        spaceLP = space;
    };
    m.ProcessBlock(Block(fsk, 0));
    m.ProcessBlock(Block(fsk, 1));  // shows the first block's envelopes
    ASSERT_EQ(sliced.size(), 1024u);
    // The threshold carries over from earlier blocks but forgets its start within a few
    // dozen samples (each step keeps a third of it), so compare from sample 64 on.
    double threshold = 0;
    int32_t ones = 0;
    for (std::size_t i = 0; i < 1024; ++i) {
        threshold = (threshold * m.ThresholdCoefficient() + markLP[i] + spaceLP[i]) / 3.0;
        if (i < 64) continue;
        EXPECT_EQ(sliced[i], markLP[i] > threshold ? 1 : 0) << i;
        ones += sliced[i];
    }
    EXPECT_GT(ones, 200);
    EXPECT_LT(ones, 760);
}

TEST_F(Modem, ExceptionsFromOnDataReadyStayInsideAndTheNextBlockWorks) {
    TModem m;
    int calls = 0;
    m.OnDataReady = [&](const std::string& bits, double, const tilo::TNvector&,
                        const tilo::TNvector&, const std::vector<int32_t>&) {
        ++calls;
        EXPECT_FALSE(bits.empty());
        if (calls == 1) throw std::runtime_error("decoder failure");
        if (calls == 2) throw 42;
    };
    const std::vector<int16_t> silence(1024, 0);
    for (int b = 0; b < 3; ++b) EXPECT_NO_THROW(m.ProcessBlock(silence));
    EXPECT_EQ(calls, 3);
}
