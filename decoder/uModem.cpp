// The demodulator's block pipeline and bit clock. The clock is deliberately quantised to
// whole samples: it advances by 1 + 1/SamplesPerBit per sample and restarts at -halfBit on
// every bit, dropping the overshoot, so at 100 baud it emits a bit every 110 samples at
// 11025 per second and every 120 at 12000; edges pull it by phase/32 toward mid-bit.
#include "decoder/uModem.h"

#include "decoder/UCommon.h"

#include <algorithm>
#include <stdexcept>

namespace tilo {

namespace {

// Unit state shared by every instance: the slicer's running threshold and its outputs.
double SlicerThreshold = 0;
int32_t V1 = 1;
int32_t V0 = 0;

constexpr double ClockPullDivisor = 32.0;
constexpr int32_t EdgeHalf = 10;  // the edge patterns are ten samples of each level
constexpr int32_t MajorityHalfWidth = 12;

}  // namespace

TModem::TModem() {
    SetMode(TMode::mSync);
    SetBaud(100);
    FCenter = 1200;
    Shift = 170;
    FLowerBP = std::make_unique<TBandPass>();
    FUpperLP = std::make_unique<TLowPass>();
    FLowerLP = std::make_unique<TLowPass>();
    FUpperBP = std::make_unique<TBandPass>();
    RealData.assign(ModemBlockSize, 0.0);
    ImagData.assign(ModemBlockSize, 0.0);
    F1.assign(ModemBlockSize, 0.0);
    F2.assign(ModemBlockSize, 0.0);
    MarkLP.assign(ModemBlockSize, 0.0);
    SpaceLP.assign(ModemBlockSize, 0.0);
    PLLBits.assign(ModemBlockSize, 0);
    FRunFrom.assign(ModemBlockSize, 0);
    FEdges.assign(ModemBlockSize + 1, 0);
    FBitAt.assign(ModemBlockSize, 0);
    FPulled.assign(ModemBlockSize, 0.0);
    SetFreq(1200, 170);
    FUpperLP->Design(SampleRate, 100, 1000);
    FLowerLP->Design(SampleRate, 100, 1000);
    FThresholdCoef = 0.8;
}

TModem::~TModem() = default;

void TModem::SetMode(TMode Value) {
    FMode = Value;
    FPhase = 0;
}

void TModem::SetBaud(double Value) {
    if (!(Value > 0))
        throw std::invalid_argument("Invalid baud rate " + std::to_string(Value));
    FBaud = Value;
    FSamplesPerBit = SampleRate / Value;
    FHalfBit = FSamplesPerBit / 2;
    FClockStep = 1 / FSamplesPerBit + 1;
}

void TModem::SetFreq(int32_t Centre, int32_t AShift) {
    FCenter = Centre;
    Shift = AShift;
    if (Centre <= 1150)
        FThresholdCoef = 0.98;
    else if (Centre > 1700)
        FThresholdCoef = 0.88;
    else
        FThresholdCoef = 0.98 - (0.98 - 0.88) * (Centre - 1150) / 550;
    // Tone frequencies in 64 bits: no overflow whatever the tuning request.
    FUpperBP->Design(SampleRate, double(int64_t(Centre) + AShift / 2), ToneFilterBandwidth);
    FLowerBP->Design(SampleRate, double(int64_t(Centre) - AShift / 2), ToneFilterBandwidth);
}

void TModem::SetPolarity(uint8_t P) {
    if (P == 0) {
        V1 = 1;
        V0 = 0;
    } else if (P == 1) {
        V1 = 0;
        V0 = 1;
    }
}

void TModem::ProcessBlock(std::span<const int16_t> Samples) {
    if (Samples.size() != ModemBlockSize)
        throw std::invalid_argument("Demodulator block of " + std::to_string(Samples.size()) +
                                    " samples; 1024 expected");
    for (std::size_t i = 0; i < ModemBlockSize; ++i) {
        RealData[i] = Samples[i];
        ImagData[i] = 0;
    }
    FUpperBP->Filter(RealData, F1);
    FLowerBP->Filter(RealData, F2);
    if (OnDiagOutput) OnDiagOutput(RealData, F1, F2, MarkLP, SpaceLP);
    TBandPass::Rectify(F1, int32_t(F1.size()) - 1, 0);
    TBandPass::Rectify(F2, int32_t(F2.size()) - 1, 0);
    FUpperLP->Filter(F1, MarkLP);
    FLowerLP->Filter(F2, SpaceLP);
    for (std::size_t i = 0; i < ModemBlockSize; ++i) {
        SlicerThreshold = (SlicerThreshold * FThresholdCoef + MarkLP[i] + SpaceLP[i]) / 3.0;
        PLLBits[i] = MarkLP[i] > SlicerThreshold ? V1 : V0;
    }
    const std::string bits = RecoverBits();
    if (OnDataReady) {
        // The handler runs the whole decoding chain; no failure in it may stop the
        // demodulator, so every exception ends here and the next block runs normally.
        try {
            OnDataReady(bits, FPhase, RealData, ImagData, PLLBits);
        } catch (...) {
        }
    }
}

std::string TModem::ClockBits(std::span<const int32_t> Sliced) {
    if (Sliced.size() != ModemBlockSize)
        throw std::invalid_argument("Bit clock block of " + std::to_string(Sliced.size()) +
                                    " values; 1024 expected");
    std::copy(Sliced.begin(), Sliced.end(), PLLBits.begin());
    return RecoverBits();
}

std::string TModem::RecoverBits() {
    static constexpr int32_t last = int32_t(ModemBlockSize) - 1;  // 1023
    // An edge at i is ten equal samples i-10 .. i-1 (0 or 1) followed by ten samples
    // i .. i+9 of the other value. Run lengths, counted once per block, answer that at
    // every sample: RunFrom[i] is how many samples from i on equal PLLBits[i].
    int32_t* runFrom = FRunFrom.data();
    runFrom[last] = 1;
    for (int32_t k = last - 1; k >= 0; --k)
        runFrom[k] = PLLBits[k] == PLLBits[k + 1] ? runFrom[k + 1] + 1 : 1;
    // The edges first, as the clock would find them sample by sample: they do not depend
    // on its phase, so the phase loop below only meets them in order.
    const int32_t* sliced = PLLBits.data();
    int32_t* edges = FEdges.data();
    int32_t edgeCount = 0;
    int32_t runTo = 1;  // equal samples ending at i-1
    for (int32_t i = 1; i < last; ++i) {
        const int32_t before = sliced[i - 1];
        // window i-10 .. i+9 inside the block
        const bool edge = i > EdgeHalf && i + EdgeHalf - 1 <= last && runTo >= EdgeHalf &&
                          runFrom[i] >= EdgeHalf && sliced[i] == 1 - before && (before == 0 || before == 1);
        edges[edgeCount] = i;
        edgeCount += edge;
        runTo = sliced[i] == before ? runTo + 1 : 1;
    }
    edges[edgeCount] = last;  // past every sample the clock visits
    // The phase loop calls nothing, so the phase stays in a register: it notes where bits
    // fall and the phase after each pull, and both are handed on afterwards in order.
    const double step = FClockStep, halfBit = FHalfBit;
    double phase = FPhase;
    const int32_t* nextEdge = edges;
    int32_t* bitAt = FBitAt.data();
    int32_t bitCount = 0;
    double* pulled = FPulled.data();
    for (int32_t i = 0; i < last; ++i) {
        phase += step;
        if (phase >= halfBit) {
            phase = -halfBit;
            bitAt[bitCount++] = i;
        }
        if (i == *nextEdge) {
            ++nextEdge;
            phase -= phase / ClockPullDivisor;
            *pulled++ = phase;
        }
    }
    if (OnPLLOutput) {
        for (const double* p = FPulled.data(); p != pulled; ++p) {
            FPhase = *p;
            OnPLLOutput(*p);
        }
    }
    FPhase = phase;
    std::string bits(static_cast<std::size_t>(bitCount), '0');
    for (int32_t b = 0; b < bitCount; ++b) bits[b] = MajorityBit(bitAt[b], MajorityHalfWidth);
    return bits;
}

char TModem::MajorityBit(int32_t i, int32_t w) const {
    const int32_t last = int32_t(ModemBlockSize) - 1;
    if (w < i && i < last - w) {
        int32_t ones = 0, others = 0;
        for (int32_t k = i - w; k <= i + w; ++k) (PLLBits[k] == 1 ? ones : others)++;
        return ones > others ? '1' : '0';
    }
    return PLLBits[i] == 1 ? '1' : '0';
}

}  // namespace tilo
