// The SITOR-B character stage and the NAVTEX message stage of the decoding chain.
//
// Bits arrive as text of '0'/'1'. While unsynchronised they are searched for a
// stretch that decodes as FEC-interleaved text (or the phasing sequence) and are
// otherwise dropped; once synchronised they are cut into 7-bit groups, and every
// second group is decoded together with the group five positions earlier. Each
// decoded character goes to message assembly (lines, header, end line, store
// hand-off) and to the ticker. Synchronisation is dropped when errors pile up,
// when the text stops looking like language, and at the end-of-emission signal.
//
// Everything reaches the owner through TDecoderHost; the decoder keeps no global
// state. The block handler (ModemBlockDone, the demodulator's OnDataReady) appends
// each block's bits to FBitBuffer and hands it over once it holds 126 bits or more;
// it also measures the signal, feeds the displays, sends the status round and
// tracks the signal's centre (NavtexBlockHandler.cpp). State fields are public: the
// owner reads them for its displays and status records, sets the ticker mode and,
// when the operator tunes, the tracking band (SetAfcBand).
#pragma once

#include "decoder/DecoderHost.h"
#include "decoder/UCommon.h"

#include <array>
#include <cstdint>
#include <string>

namespace tilo {

class TModem;

class TNavtexDecoder {
public:
    explicit TNavtexDecoder(TDecoderHost& Host);

    // Character stage.
    void ProcessBitString(std::string Bits);
    // 1-based bit position where paired decoding starts, or -1.
    int32_t FindSync(const std::string& Bits);
    void ProcessCodeGroup(const std::string& Group);
    void MonitorCharErrors(char Ch);
    void ResetDecoder();
    void sbForceResyncClick();
    void RadioGroup1Click();

    // Message stage.
    void AssembleMessageChar(char Ch);
    void FeedTicker(char Ch, bool Raw);
    double UtcNow() const;
    std::string UtcTimeStr(int32_t OffsetSeconds) const;  // "hh:mm:ss"
    std::string UtcDateTimeStr() const;                   // "yyyy-MM-dd hh:mm:ss"
    void cbUOSClick();
    void rgFreqClick();

    // Character stage state.
    std::string FBitBuffer;     // bits gathered by the block handler
    std::string FBitRemainder;  // bits after the last whole group (1 to 7)
    bool FNotSynced = true;
    // The last six groups; index 0 is slot 1, the newest.
    std::array<std::string, 6> FGroupHistory;
    bool DxRxToggle = true;     // the next group completes a DX/RX pair
    uint8_t ShiftState = 0;     // 0 letters, 1 figures
    std::string LastChars;      // the last (at most 9) decoded characters
    std::string ScoreWindow;    // decoded blanks, letters and '~', up to 25

    // Message stage state.
    std::string FLine;
    uint8_t LineState = 1;      // kind of the last finished line: 0 header, 1 ordinary, 3 end
    char HeaderIdLetter = '?';
    std::string HeaderSubject = "?";
    std::string HeaderSerial = "???";
    int32_t FMessageQuality = 0;
    std::string FTickerBuffer;  // characters waiting for the ticker display
    bool FTickerRaw = false;

    // Set by the block handler: crest-factor quality of the last block, 0 .. 100.
    double FSignalQuality = 0;

    // Block handler, frequency tracking and the one-second tick.
    void ModemBlockDone(const std::string& sBits, double PLLFaze, const TNvector& RealData,
                        const TNvector& ImagData, const std::vector<int32_t>& PLLBits);
    double SmoothLevel(double X);
    double SmoothQuality(double X);
    int32_t SmoothAfcFrequency(int32_t F);
    // The operator tuned to Centre: tracking starts there and searches Centre +- 250 Hz.
    void SetAfcBand(int32_t Centre);
    // At the end of a recording: the bits still gathered (less than the block handler's
    // hand-over size) go to the character stage, so the last line is finished.
    void FlushBits();
    void TrackTimerTimer();  // every second
    void cbTrackClick();
    void Timer1Timer();      // every second

    TModem* FModem = nullptr;   // the demodulator being tracked; owned by the owner
    TSpectrum FSpectrum;        // interpolated, normalised spectrum of the last block
    TSpectrum FAvgSpectrum;     // averaged and normalised: what tracking looks at
    int32_t FAfcCentre = 1200;
    int32_t FAfcLow = 950;
    int32_t FAfcHigh = 1450;
    bool FAfcRequest = false;
    int32_t AfcPrevious = 0;
    int32_t BlockCounter = 0;
    TBandPowers FBandPowers;    // of the last centre found
    bool FCanTune = false;      // ledCanTune
    float FErrGaugePosition = 0;
    double FHistAxisMax = 0;    // end of the quality history chart's time axis
    double FLevelAverage = 0;
    double FQualityAverage = 0;
    std::string FClockText;     // stUTC

private:
    TDecoderHost& FHost;
    TRealFFTPlan FFFTPlan{1024};  // the spectrum of every block
    TNvector FFFTRe, FFFTIm;      // its working arrays

    void FinishLine();
    void ShowLine(const std::string& Line);
    void StoreMessage(bool AtEndLine);
    int32_t SelectedFrequency() const;
};

}  // namespace tilo
