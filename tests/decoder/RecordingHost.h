// Test doubles for the decoder's owner: a host that records every call, and a
// builder of SITOR-B FEC bit streams straight from the code table.
#pragma once

#include "decoder/CodeTables.h"
#include "decoder/DecoderHost.h"

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace tilo::test {

// A date-time (days since 1899-12-30) for a UTC calendar time.
inline double EncodeDateTime(int Y, unsigned M, unsigned D, int H = 0, int Mi = 0, int S = 0) {
    using namespace std::chrono;
    const sys_days Day{year{Y} / month{M} / day{D}};
    return static_cast<double>(Day.time_since_epoch().count() + 25569) +
           (H * 3600 + Mi * 60 + S) / 86400.0;
}

class TRecordingHost : public TDecoderHost {
public:
    struct TRecord {
        char IdLetter;
        std::string MsgType;
        double UtcTime;
        std::string MsgNumber;
        std::string MsgText;
        int32_t Freq;
        int32_t SigQual;
    };

    std::vector<std::string> Log;
    std::vector<std::string> Failures;  // decoding failures, kept out of the log
    std::vector<std::string> Broadcasts;
    std::vector<std::string> Memo;
    std::vector<TRecord> Records;
    std::map<TDecoderLed, bool> LedStatus, LedFlash;
    std::vector<uint8_t> Polarities;
    int32_t NavareaApplied = 0;
    int32_t ScheduleRefreshed = 0;
    int32_t Corrections = 0;

    bool UOS = false;
    bool MinUNIDLen = false;
    int32_t MinUnidLen = 0;
    std::string Freq = "518";
    int32_t PolarityItem = 0;
    double Clock = EncodeDateTime(2026, 12, 9, 12, 34, 56);
    std::function<void()> OnStore;    // may throw to play a failing store
    std::function<void()> OnCorrect;  // may throw to play a failing lexicon

    void SysLog(const std::string& Msg) override { Log.push_back(Msg); }
    void BroadcastToClients(const std::string& Text) override { Broadcasts.push_back(Text); }
    void DecodingFailure(const std::string& Text) override { Failures.push_back(Text); }
    void AddLogRecord(char IdLetter, const std::string& MsgType, double UtcTime,
                      const std::string& MsgNumber, const std::string& MsgText, int32_t Freq_,
                      int32_t SigQual) override {
        if (OnStore) OnStore();
        Records.push_back({IdLetter, MsgType, UtcTime, MsgNumber, MsgText, Freq_, SigQual});
    }
    void CorrectGarbledWords() override {
        ++Corrections;
        if (OnCorrect) OnCorrect();
    }
    void meLogAdd(const std::string& Line) override { Memo.push_back(Line); }
    void meLogClear() override { Memo.clear(); }
    std::string meLogText() const override {
        std::string Text;
        for (const std::string& Line : Memo) Text += Line + "\r\n";
        return Text;
    }
    void SetLedStatus(TDecoderLed Led, bool Status) override { LedStatus[Led] = Status; }
    void SetLedFlash(TDecoderLed Led, bool Flash) override { LedFlash[Led] = Flash; }
    bool cbUOS() const override { return UOS; }
    bool cbMinUNIDLen() const override { return MinUNIDLen; }
    int32_t FMinUnidLen() const override { return MinUnidLen; }
    std::string rgFreqText() const override { return Freq; }
    int32_t RadioGroup1ItemIndex() const override { return PolarityItem; }
    void sbApplyNavareaClick() override { ++NavareaApplied; }
    void SchedTimerTimer() override { ++ScheduleRefreshed; }
    void SetModemPolarity(uint8_t Polarity) override { Polarities.push_back(Polarity); }
    double UtcClock() const override { return Clock; }

    // The text after "> " of every memo line.
    std::vector<std::string> MemoTexts() const {
        std::vector<std::string> Out;
        for (const std::string& Line : Memo) Out.push_back(Line.substr(Line.find("> ") + 2));
        return Out;
    }
};

// Codes of Text as a transmitter sends it, starting in letters case: shifts are
// inserted where a character exists only in the other case; blank, CR and LF go
// in either case.
inline std::vector<std::string> EncodeText(const std::string& Text) {
    std::vector<std::string> Codes;
    bool Figures = false;
    for (char Ch : Text) {
        if (Ch == ' ' || Ch == '\r' || Ch == '\n') {
            Codes.emplace_back(LettersCode(Ch));
            continue;
        }
        const bool InLetters = !LettersCode(Ch).empty();
        if (InLetters && Figures) {
            Codes.emplace_back(LettersCode(chLettersShift));
            Figures = false;
        } else if (!InLetters && !Figures) {
            Codes.emplace_back(LettersCode(chFiguresShift));
            Figures = true;
        }
        Codes.emplace_back(Figures ? FiguresCode(Ch) : LettersCode(Ch));
    }
    return Codes;
}

// The FEC stream: Phasing DX positions of phasing signal 2 (RX positions phasing
// signal 1), the codes, then phasing signal 1 in EndSignals DX positions; each
// code is repeated in the RX position five groups after its DX position.
inline std::string FecBits(const std::vector<std::string>& Codes, int32_t Phasing = 8,
                           int32_t EndSignals = 4) {
    const std::string P1(LettersCode(chPhasing1)), P2(LettersCode(chPhasing2));
    std::vector<std::string> Dx(Phasing, P2);
    Dx.insert(Dx.end(), Codes.begin(), Codes.end());
    const size_t Real = Dx.size();
    Dx.insert(Dx.end(), EndSignals, P1);
    std::string Bits;
    for (size_t K = 0; K < Dx.size(); ++K) {
        Bits += Dx[K];
        // The RX position after DX k repeats character k - 2.
        const bool Repeat = K >= 2 && K - 2 >= static_cast<size_t>(Phasing) && K - 2 < Real;
        Bits += Repeat ? Dx[K - 2] : P1;
    }
    return Bits;
}

}  // namespace tilo::test
