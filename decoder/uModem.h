// TModem: the FSK demodulator. Each block of 1024 samples goes through two tone band-pass
// filters, rectification and envelope low-pass filters; the upper tone's envelope is sliced
// against a running threshold into one value per sample, and a bit clock over the sliced
// samples emits one '0' or '1' per bit period.
//
// State that runs on across blocks: the filters' delay lines, the clock phase (always
// within -halfBit .. halfBit after a block) and the unit-level slicer threshold and
// polarity, which every instance shares (the receiver has exactly one). Nothing is reset
// except that SetMode zeroes the phase.
#pragma once

#include "decoder/FIRFilters.h"
#include "decoder/UCommon.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace tilo {

using TNvector = std::vector<double>;
using TArrDbl = std::vector<double>;

enum class TMode { mSync, mAsync };

using TOnDataProc = std::function<void(const std::string& sBits, double PLLFaze,
                                       const TNvector& RealData, const TNvector& ImagData,
                                       const std::vector<int32_t>& PLLBits)>;
using TOnDiagOutput = std::function<void(const TArrDbl& RawSound, const TArrDbl& F1,
                                         const TArrDbl& F2, const TNvector& MarkLP,
                                         const TNvector& SpaceLP)>;
using TOnFIROutput = std::function<void(const TArrDbl& x, const TArrDbl& y)>;
using TOnPLLOutput = std::function<void(double PhErr)>;

// Samples in every block handed to ProcessBlock.
inline constexpr std::size_t ModemBlockSize = 1024;

class TModem {
public:
    // Reads the sample-rate globals, which must be set first.
    TModem();
    ~TModem();
    TModem(const TModem&) = delete;
    TModem& operator=(const TModem&) = delete;

    double SamplesPerBit() const { return FSamplesPerBit; }
    TMode Mode() const { return FMode; }
    void SetMode(TMode Value);
    double Baud() const { return FBaud; }
    // Also the only place that takes the sample rate for the bit clock. Zero or less
    // raises std::invalid_argument and changes nothing.
    void SetBaud(double Value);

    int32_t Shift = 170;     // writing it redesigns nothing; SetFreq does
    int32_t FCenter = 1200;  // writing it redesigns nothing; SetFreq does

    TOnDataProc OnDataReady;
    TOnDiagOutput OnDiagOutput;
    TOnFIROutput OnFIROutput;  // never fired
    TOnPLLOutput OnPLLOutput;

    // Tunes both tone filters and the slicer's threshold coefficient to Centre.
    void SetFreq(int32_t Centre, int32_t Shift);
    // Samples must hold exactly ModemBlockSize values (std::invalid_argument otherwise,
    // before anything changes). Exceptions from OnDataReady never leave it.
    void ProcessBlock(std::span<const int16_t> Samples);
    // The bit clock alone over one block of sliced values (ModemBlockSize of them,
    // std::invalid_argument otherwise), as ProcessBlock runs it: the bits it emits; the
    // phase runs on. For checking the clock on exact patterns.
    std::string ClockBits(std::span<const int32_t> Sliced);
    // 0 normal (upper tone above the threshold slices to 1), 1 inverted, others ignored.
    static void SetPolarity(uint8_t P);

    double ThresholdCoefficient() const { return FThresholdCoef; }
    double ClockPhase() const { return FPhase; }
    const TBandPass& UpperBandPass() const { return *FUpperBP; }
    const TBandPass& LowerBandPass() const { return *FLowerBP; }

private:
    std::string RecoverBits();
    char MajorityBit(int32_t i, int32_t w) const;

    double FPhase = 0;
    TMode FMode = TMode::mSync;
    double FBaud = 100;
    double FSamplesPerBit = 0;
    double FHalfBit = 0;
    std::unique_ptr<TBandPass> FLowerBP;
    std::unique_ptr<TLowPass> FUpperLP;
    std::unique_ptr<TLowPass> FLowerLP;
    TNvector RealData, ImagData;
    TArrDbl F1, F2;
    TNvector MarkLP, SpaceLP;
    double FThresholdCoef = 0.8;
    std::vector<int32_t> PLLBits;
    std::vector<int32_t> FRunFrom;  // RecoverBits' run lengths
    std::vector<int32_t> FEdges;    // RecoverBits' edge positions, then an end mark
    std::vector<int32_t> FBitAt;    // RecoverBits' samples where a bit is taken
    std::vector<double> FPulled;    // RecoverBits' phase after each pull
    double FClockStep = 0;
    std::unique_ptr<TBandPass> FUpperBP;
};

}  // namespace tilo
