// Signal helpers shared by the demodulator, the block handler and the displays.
// The sample-rate globals are one consistent set: SetSampleRate changes all four
// together. Readers that derive values of their own (the demodulator's samples per
// bit, its filter designs) take a new rate only when they are set up again.
#pragma once

#include <cstdint>

namespace tilo {

extern int32_t SampleRate;        // samples per second (11025 or 12000 in use)
extern double SamplePeriod;       // 1 / rate, seconds
extern double MsPerSample;        // 1000 / rate
extern double MsPerBlock;         // 1024000 / rate: one block of 1024 samples

// Stores Rate and derives the other globals. A rate of zero or less (a damaged
// settings file) is refused with std::invalid_argument and changes nothing.
void SetSampleRate(int32_t Rate);

}  // namespace tilo
