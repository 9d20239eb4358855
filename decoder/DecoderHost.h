// What the SITOR-B character and message stages need of their owner: the system
// log, the TCP feed, the message store and lexicon, the current-message memo, the
// two LEDs, the option switches the stages read, the station filter and schedule
// line, the demodulator's polarity and the UTC clock. The main window implements
// it; tests implement it with a recording fake and navtex-decode with a console.
//
// All calls come from the thread that feeds the decoder (the UI thread in the
// receiver). Text is 8-bit and passes through unchanged.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "decoder/UCommon.h"

namespace tilo {

enum class TDecoderLed { LedSync, LedCharin, ledCanTune };
enum class TDecoderGauge { Gaugelvl, ErrGauge, GaugeCPU };

class TDecoderHost {
public:
    virtual ~TDecoderHost() = default;

    // One system-log line; the host adds the time, shows it and sends it to clients.
    virtual void SysLog(const std::string& Msg) = 0;
    // One TCP record to every client (the host adds the terminator).
    virtual void BroadcastToClients(const std::string& Text) = 0;
    // A failure of the character or message stage that the block handler caught. It is
    // kept out of the system log and the TCP feed; the default writes it to standard
    // error.
    virtual void DecodingFailure(const std::string& Text);

    // The message store. UtcTime is a date-time (days since 1899-12-30).
    virtual void AddLogRecord(char IdLetter, const std::string& MsgType, double UtcTime,
                              const std::string& MsgNumber, const std::string& MsgText,
                              int32_t Freq, int32_t SigQual) = 0;
    // Replaces garbled words in the lines of the current-message memo.
    virtual void CorrectGarbledWords() = 0;

    // The current-message memo meLog.
    virtual void meLogAdd(const std::string& Line) = 0;
    virtual void meLogClear() = 0;
    // Every line followed by CR LF.
    virtual std::string meLogText() const = 0;

    // LED property writers (a status change repaints the LED).
    virtual void SetLedStatus(TDecoderLed Led, bool Status) = 0;
    virtual void SetLedFlash(TDecoderLed Led, bool Flash) = 0;

    // Option switches, read each time they matter.
    virtual bool cbUOS() const = 0;
    virtual bool cbMinUNIDLen() const = 0;
    virtual int32_t FMinUnidLen() const = 0;
    virtual std::string rgFreqText() const = 0;       // selected item: "518" or "490"
    virtual int32_t RadioGroup1ItemIndex() const = 0;  // 0 normal, 1 inverted

    virtual void sbApplyNavareaClick() = 0;
    virtual void SchedTimerTimer() = 0;

    // The demodulator's polarity (0 normal, 1 inverted).
    virtual void SetModemPolarity(uint8_t Polarity) = 0;

    // The system clock's UTC time as a date-time.
    virtual double UtcClock() const = 0;

    // Displays of the block handler and the one-second tick. The defaults show nothing
    // and answer with the controls' initial settings, so a host without a screen
    // implements none of them. The decoder computes every value shown.
    virtual void SetGaugePosition(TDecoderGauge, float) {}
    virtual void SetGaugeCaption(TDecoderGauge, const std::string&) {}
    virtual int32_t TBSNRPosition() const { return 0; }  // calibration offset, -50 .. 50
    // One waterfall line; Speed n scrolls every n-th line; Dump saves snapshots.
    virtual void DrawWaterfallLine(const TSpectrum&, int32_t /*Centre*/, int32_t /*Speed*/, bool /*Dump*/) {}
    virtual void RepaintWaterfall() {}
    virtual bool cbFreeze() const { return false; }
    virtual bool cbWFallDump() const { return false; }
    virtual int32_t tbwfallspeedPosition() const { return 60; }
    virtual int32_t tbwfallspeedMax() const { return 60; }
    // The spectrum chart, only fed while its page is shown; sbFilRaw down shows the
    // instantaneous spectrum instead of the averaged one.
    virtual bool SpectrumPageShown() const { return false; }
    virtual bool sbFilRawDown() const { return false; }
    virtual void SetSpectrumSeries(const TSpectrum&) {}
    // The quality history chart: cleared with a new time axis (date-times), then points.
    virtual void ResetHistoryChart(double /*AxisMin*/, double /*AxisMax*/) {}
    virtual void AddHistoryPoint(double /*Time*/, double /*Value*/) {}
    virtual bool cbTrack() const { return true; }
    // The scope: selection 0 "OFF" .. 4 "BITS", scale 0 "X 1", 1 "X 2", 2 "X 4".
    virtual int32_t rgScopeSelItemIndex() const { return 0; }
    virtual void SetScopeSelection(int32_t) {}
    virtual int32_t rgScopeScaleItemIndex() const { return 0; }
    virtual bool cbOneShot() const { return false; }
    virtual void DrawScope(const std::vector<double>& /*Trace*/, int32_t /*Scale*/) {}
    // The clock label stUTC and its mode (local time when true).
    virtual void SetClockText(const std::string&) {}
    virtual bool ClockLocal() const { return false; }
};

}  // namespace tilo
