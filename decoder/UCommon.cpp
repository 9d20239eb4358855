#include "decoder/UCommon.h"

#include <stdexcept>
#include <string>

namespace tilo {

int32_t SampleRate = 11025;
double SamplePeriod = 1.0 / 11025;
double MsPerSample = 1000.0 / 11025;
double MsPerBlock = 1024000.0 / 11025;

void SetSampleRate(int32_t Rate) {
    if (Rate <= 0) throw std::invalid_argument("Invalid sample rate " + std::to_string(Rate));
    SampleRate = Rate;
    SamplePeriod = 1.0 / Rate;
    MsPerSample = 1000.0 / Rate;
    MsPerBlock = 1024000.0 / Rate;
}

}  // namespace tilo
