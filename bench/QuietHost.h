// A receiver without a screen or a store for the benchmarks: every host service does
// nothing, the options are the receiver's defaults, the clock stands still. Benchmarks
// override only what they measure or keep.
#pragma once

#include "decoder/DecoderHost.h"

#include <string>

class TQuietHost : public tilo::TDecoderHost {
public:
    void SysLog(const std::string&) override {}
    void BroadcastToClients(const std::string&) override {}
    void AddLogRecord(char, const std::string&, double, const std::string&, const std::string&, int32_t,
                      int32_t) override {}
    void CorrectGarbledWords() override {}
    void meLogAdd(const std::string&) override {}
    void meLogClear() override {}
    std::string meLogText() const override { return {}; }
    void SetLedStatus(tilo::TDecoderLed, bool) override {}
    void SetLedFlash(tilo::TDecoderLed, bool) override {}
    bool cbUOS() const override { return true; }
    bool cbMinUNIDLen() const override { return false; }
    int32_t FMinUnidLen() const override { return 0; }
    std::string rgFreqText() const override { return "518"; }
    int32_t RadioGroup1ItemIndex() const override { return 0; }
    void sbApplyNavareaClick() override {}
    void SchedTimerTimer() override {}
    void SetModemPolarity(uint8_t) override {}
    double UtcClock() const override { return 46000.5; }
};
