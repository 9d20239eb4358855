// Signal helpers shared by the demodulator, the block handler and the displays.
// The sample-rate globals are one consistent set: SetSampleRate changes all four
// together. Readers that derive values of their own (the demodulator's samples per
// bit, its filter designs) take a new rate only when they are set up again.
// The measurement routines keep no state; they read the rate from the globals.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "decoder/U_FFT.h"

namespace tilo {

extern int32_t SampleRate;        // samples per second (11025 or 12000 in use)
extern double SamplePeriod;       // 1 / rate, seconds
extern double MsPerSample;        // 1000 / rate
extern double MsPerBlock;         // 1024000 / rate: one block of 1024 samples

// Stores Rate and derives the other globals. A rate of zero or less (a damaged
// settings file) is refused with std::invalid_argument and changes nothing.
void SetSampleRate(int32_t Rate);

// Width of each tone's band-pass filter in the demodulator, Hz; the band-power
// measurement sums over a quarter of it on each side of a tone.
inline constexpr int32_t ToneFilterBandwidth = 130;

// One point of a magnitude spectrum.
struct TSpecPoint {
    double Freq = 0.0;  // Hz
    double Mag = 0.0;
};
using TSpectrum = std::vector<TSpecPoint>;

// Power around the two FSK tones and the centre, and the mean magnitude of a spectrum.
struct TBandPowers {
    double Lower = 0.0;
    double Upper = 0.0;
    double Centre = 0.0;
    double Mean = 0.0;
};

// RMS level in percent of a full-scale 16-bit sine; 0 for no samples.
double SignalLevelPercent(std::span<const double> Samples);

// Centres the samples between their extremes (for the scope).
void RemoveDC(std::span<double> Samples);

// Magnitudes of bins 1 .. n/4-1 of the real FFT of the n samples, as n/4 points at
// multiples of rate/n; point 0 stays (0, 0). Samples and Scratch are worked in (their
// contents afterwards are the transform's). A length the FFT refuses gives an all-zero
// spectrum.
void SpectrumMagnitude(TNvector& Samples, TNvector& Scratch, TSpectrum& Spectrum);
// The same with the tables of Plan when its length is that of Samples.
void SpectrumMagnitude(const TRealFFTPlan& Plan, TNvector& Samples, TNvector& Scratch, TSpectrum& Spectrum);

// Twice as many points: the odd ones are the means of their neighbours; the last one,
// with a left neighbour only, has that level half a frequency step beyond it.
TSpectrum InterpolateSpectrum(const TSpectrum& S);

// Average[i] := (1 - A) * New[i] + A * Average[i] (magnitudes), frequencies from New.
// A shorter Average is first extended with zero points.
void AverageSpectrum(const TSpectrum& New, TSpectrum& Average, double A);

// Scaled copy whose largest magnitude is 100; every magnitude 0 when none is above 0.
// The frequencies are kept either way.
TSpectrum NormalizeSpectrum(const TSpectrum& Spectrum);

// Powers.Mean := mean magnitude (the other fields untouched).
void MeanMagnitude(const TSpectrum& Spectrum, TBandPowers& Powers);

// Sums of the magnitudes within 130 div 4 Hz of the lower tone, the upper tone and the
// centre into the first three fields; Mean untouched.
void BandPower(int32_t Centre, int32_t Shift, const TSpectrum& Spectrum, TBandPowers& Powers);

// Scans candidate centres Low + Shift/2, + Step, ... below High - Shift/2 for the best
// two-tone score ((lower + upper) * 100 / mean). True when the best score is above 10:
// then Centre and Best are set; otherwise Centre is left alone. A Step below 1 finds
// nothing.
bool FindSignalCentre(const TSpectrum& Spectrum, int32_t Low, int32_t High, TBandPowers& Best,
                      int32_t& Centre, int32_t Shift, int32_t Step);

// How much Text looks like plain language: the percentage (halves to even) of its
// characters that are a blank, 'A', 'E', 'I', 'O' or 'R'; 40 for texts holding
// "ZCZC", "NNNN", "=====" or "+++++" and for texts under 10 characters.
int32_t TextGarbageScore(const std::string& Text);

}  // namespace tilo
