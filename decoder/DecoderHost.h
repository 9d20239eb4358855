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

namespace tilo {

enum class TDecoderLed { LedSync, LedCharin };

class TDecoderHost {
public:
    virtual ~TDecoderHost() = default;

    // One system-log line; the host adds the time, shows it and sends it to clients.
    virtual void SysLog(const std::string& Msg) = 0;
    // One TCP record to every client (the host adds the terminator).
    virtual void BroadcastToClients(const std::string& Text) = 0;

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
};

}  // namespace tilo
