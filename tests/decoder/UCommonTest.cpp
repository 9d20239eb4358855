#include "decoder/UCommon.h"

#include <gtest/gtest.h>

#include <stdexcept>

TEST(SetSampleRate, DerivesAllGlobalsTogether) {
    struct Case { int32_t rate; double blockMs; double msPerSample; } cases[] = {
        {11025, 92.88, 0.0907}, {12000, 85.33, 0.0833},
    };
    for (const auto& c : cases) {
        tilo::SetSampleRate(c.rate);
        EXPECT_EQ(tilo::SampleRate, c.rate);
        EXPECT_DOUBLE_EQ(tilo::SamplePeriod, 1.0 / c.rate);
        EXPECT_NEAR(tilo::MsPerBlock, c.blockMs, 0.005);
        EXPECT_NEAR(tilo::MsPerSample, c.msPerSample, 0.00005);
    }
}

TEST(SetSampleRate, RefusesNonPositiveRatesAndKeepsState) {
    tilo::SetSampleRate(12000);
    for (int32_t bad : {0, -11025}) {
        EXPECT_THROW(tilo::SetSampleRate(bad), std::invalid_argument);
        EXPECT_EQ(tilo::SampleRate, 12000);
        EXPECT_DOUBLE_EQ(tilo::MsPerBlock, 1024000.0 / 12000);
    }
    tilo::SetSampleRate(11025);
}
