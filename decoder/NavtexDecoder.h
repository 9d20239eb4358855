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
// state. The block handler of the owner appends each block's bits to FBitBuffer
// and hands it over once it holds 126 bits or more. State fields are public: the
// owner reads them for its displays and status records and sets the ticker mode
// and the signal quality.
#pragma once

#include "decoder/DecoderHost.h"

#include <array>
#include <cstdint>
#include <string>

namespace tilo {

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

private:
    TDecoderHost& FHost;

    void FinishLine();
    void ShowLine(const std::string& Line);
    void StoreMessage(bool AtEndLine);
    int32_t SelectedFrequency() const;
};

}  // namespace tilo
