// SITOR-B synchronisation, FEC pair decoding, error monitoring, NAVTEX message
// assembly and the ticker feed.
#include "decoder/NavtexDecoder.h"

#include "decoder/CodeTables.h"
#include "decoder/UCommon.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <exception>
#include <utility>

namespace tilo {

namespace {

constexpr char PhasingCode1[] = "1111000";
constexpr int32_t GroupLen = 7;
constexpr int64_t MsPerDay = 86400000;
constexpr int64_t UnixEpochDay = 25569;  // 1970-01-01 as a date-time

// Runs its action when the scope ends, however it ends.
template <typename F>
class TScopeGuard {
public:
    explicit TScopeGuard(F Action) : FAction(std::move(Action)) {}
    ~TScopeGuard() { FAction(); }
    TScopeGuard(const TScopeGuard&) = delete;
    TScopeGuard& operator=(const TScopeGuard&) = delete;

private:
    F FAction;
};

bool IsPrintable(char Ch) {
    const auto U = static_cast<unsigned char>(Ch);
    return U >= 32 && U <= 126;
}

// Characters that plain text is made of in the sync test.
bool IsTextChar(char Ch) {
    return Ch == chLF || Ch == chCR || Ch == ' ' || (Ch >= 'A' && Ch <= 'Z') ||
           Ch == chFiguresShift || Ch == chLettersShift;
}

void ReplaceAll(std::string& S, const std::string& From, const std::string& To) {
    for (size_t Pos = S.find(From); Pos != std::string::npos; Pos = S.find(From, Pos + To.size())) {
        S.replace(Pos, From.size(), To);
    }
}

std::string UpperCase(std::string S) {
    for (char& Ch : S) {
        if (Ch >= 'a' && Ch <= 'z') Ch = static_cast<char>(Ch - 'a' + 'A');
    }
    return S;
}

void AppendNumber(std::string& Out, int64_t Value, int32_t Width) {
    char Buf[24];
    const auto [End, Ec] = std::to_chars(Buf, Buf + sizeof Buf, Value);
    (void)Ec;
    for (auto Len = End - Buf; Len < Width; ++Len) Out += '0';
    Out.append(Buf, End);
}

struct TSplitTime {
    int64_t Day;       // days since 1899-12-30
    int64_t MsOfDay;   // 0 .. 86399999
};

TSplitTime SplitDateTime(double DateTime, int32_t OffsetSeconds) {
    const int64_t Ms = static_cast<int64_t>(std::nearbyint(DateTime * MsPerDay)) +
                       int64_t{OffsetSeconds} * 1000;
    int64_t Day = Ms / MsPerDay;
    int64_t Rest = Ms % MsPerDay;
    if (Rest < 0) {
        Rest += MsPerDay;
        --Day;
    }
    return {Day, Rest};
}

std::string TimeText(int64_t MsOfDay) {
    std::string S;
    const int64_t Seconds = MsOfDay / 1000;
    AppendNumber(S, Seconds / 3600, 2);
    S += ':';
    AppendNumber(S, Seconds / 60 % 60, 2);
    S += ':';
    AppendNumber(S, Seconds % 60, 2);
    return S;
}

std::string DateText(int64_t Day) {
    using namespace std::chrono;
    const year_month_day Ymd{sys_days{days{Day - UnixEpochDay}}};
    std::string S;
    AppendNumber(S, int32_t(Ymd.year()), 4);
    S += '-';
    AppendNumber(S, unsigned(Ymd.month()), 2);
    S += '-';
    AppendNumber(S, unsigned(Ymd.day()), 2);
    return S;
}

std::string ExceptionReason() {
    try {
        throw;
    } catch (const std::exception& E) {
        return E.what();
    } catch (...) {
        return "unknown error";
    }
}

}  // namespace

TNavtexDecoder::TNavtexDecoder(TDecoderHost& Host) : FHost(Host) {}

// ---- Character stage ----------------------------------------------------------

void TNavtexDecoder::ProcessBitString(std::string Bits) {
    size_t Pos = 0;
    if (FNotSynced) {
        const int32_t P = FindSync(Bits);
        if (P <= 0) return;
        FNotSynced = false;
        FHost.SetLedFlash(TDecoderLed::LedSync, false);
        FHost.SetLedStatus(TDecoderLed::LedSync, true);
        FHost.SetLedFlash(TDecoderLed::LedCharin, false);
        FHost.SetLedStatus(TDecoderLed::LedCharin, false);
        FHost.BroadcastToClients("S#1");
        Pos = std::min(Bits.size(), static_cast<size_t>(P - 1));
        // The group at the sync point lands in slot 5; slot 1 gets the fifth.
        // Fewer bits than five groups leave short or empty slots.
        for (int32_t Slot = 5; Slot >= 1; --Slot) {
            FGroupHistory[Slot - 1] = Bits.substr(Pos, GroupLen);
            Pos = std::min(Bits.size(), Pos + GroupLen);
        }
        DxRxToggle = true;
        ShiftState = 0;
    } else {
        Bits = FBitRemainder + Bits;
    }
    // A remainder of exactly seven waits: the group loop takes a group only while
    // more than seven bits are left.
    while (Bits.size() - Pos > static_cast<size_t>(GroupLen)) {
        ProcessCodeGroup(Bits.substr(Pos, GroupLen));
        Pos += GroupLen;
    }
    FBitRemainder = Bits.substr(Pos);
}

int32_t TNavtexDecoder::FindSync(const std::string& Bits) {
    const int64_t Len = static_cast<int64_t>(Bits.size());
    int32_t BestPhase = 0;
    int32_t BestCount = -1;
    std::string BestText;
    for (int32_t Phase = 1; Phase <= 3 * GroupLen; ++Phase) {
        std::string Text;
        int32_t Count = 0;
        int64_t Start = Phase;  // 1-based
        do {
            const std::string_view Group =
                Start <= Len ? std::string_view(Bits).substr(Start - 1, GroupLen) : std::string_view();
            const char Ch = DecodeCode7(Group).Letters;
            Text += Ch;
            if (Ch != chUndecodable) ++Count;
            Start += GroupLen;
        } while (Start <= Len - GroupLen);
        if (Count > BestCount) {
            BestPhase = Phase;
            BestCount = Count;
            BestText = std::move(Text);
        }
    }
    if (BestText.empty() || BestCount <= 0) return -1;
    const double Pct = std::nearbyint(BestCount * 100.0 / static_cast<double>(BestText.size()));
    if (Pct <= 50) return -1;

    const std::string Phasing = {chPhasing2, chPhasing1, chPhasing2, chPhasing1};
    const size_t K = BestText.find(Phasing);
    if (K != std::string::npos) {
        FHost.SysLog("RQ-SYNC " + BestText);
        return static_cast<int32_t>(K) * GroupLen + BestPhase;
    }
    // A DX position e: its character comes again in the RX position e+5, and so does
    // the next one (e+2, e+7), while the neighbouring positions differ.
    const std::string& T = BestText;
    for (size_t E = 0; E + 8 < T.size(); ++E) {
        if (T[E] == T[E + 5] && T[E + 2] == T[E + 7] && T[E + 4] != T[E + 5] &&
            T[E + 6] != T[E + 7] && IsTextChar(T[E]) && IsTextChar(T[E + 5]) &&
            IsTextChar(T[E + 2]) && IsTextChar(T[E + 7])) {
            FHost.SysLog("Sync on: " + BestText);
            return static_cast<int32_t>(E) * GroupLen + BestPhase;
        }
    }
    return -1;
}

void TNavtexDecoder::ProcessCodeGroup(const std::string& Group) {
    if (FNotSynced) return;
    std::move_backward(FGroupHistory.begin(), FGroupHistory.end() - 1, FGroupHistory.end());
    FGroupHistory[0] = Group;
    if (DxRxToggle) {
        const TDecodedChar D = DecodeDxRx(FGroupHistory[0] + FGroupHistory[5]);
        const char Ch = ShiftState == 0 ? D.Letters : D.Figures;
        AssembleMessageChar(Ch);
        FeedTicker(Ch, FTickerRaw);
        if (FGroupHistory[1] == PhasingCode1 && FGroupHistory[3] == PhasingCode1 &&
            FGroupHistory[5] == PhasingCode1) {
            FHost.SysLog("End of emission signal...resync.");
            ResetDecoder();
        } else {
            MonitorCharErrors(Ch);
        }
    }
    DxRxToggle = !DxRxToggle;
}

void TNavtexDecoder::MonitorCharErrors(char Ch) {
    LastChars += Ch;
    if (LastChars.size() > 9) {
        LastChars.erase(0, 1);
        if (std::count(LastChars.begin(), LastChars.end(), chUndecodable) > 5) {
            FHost.SysLog("Decoder: too many errors: " + LastChars);
            LastChars.clear();
            ScoreWindow.clear();
            ResetDecoder();
            return;
        }
    }
    if (Ch == ' ' || (Ch >= 'A' && Ch <= 'Z') || Ch == chUndecodable) ScoreWindow += Ch;
    if (ScoreWindow.size() < 25) return;
    if (TextGarbageScore(ScoreWindow) <= 25) {
        FHost.SysLog("Decoder: bad sync detected: " + ScoreWindow);
        LastChars.clear();
        ScoreWindow.clear();
        ResetDecoder();
    }
    ScoreWindow.clear();
}

void TNavtexDecoder::ResetDecoder() {
    FeedTicker('{', FTickerRaw);
    FeedTicker('}', FTickerRaw);
    AssembleMessageChar('{');
    AssembleMessageChar('}');
    for (std::string& Slot : FGroupHistory) Slot.clear();
    FBitBuffer.clear();
    FBitRemainder.clear();
    FNotSynced = true;
    // The status write repaints the LED.
    FHost.SetLedStatus(TDecoderLed::LedSync, false);
    FHost.SetLedFlash(TDecoderLed::LedSync, false);
    FHost.SetLedFlash(TDecoderLed::LedCharin, false);
    FHost.SetLedStatus(TDecoderLed::LedCharin, false);
    ShiftState = 0;
    FHost.BroadcastToClients("S#0");
    FHost.BroadcastToClients("T#");
}

void TNavtexDecoder::sbForceResyncClick() {
    FHost.SysLog("Decoder: resync forced by user...");
    ResetDecoder();
}

void TNavtexDecoder::RadioGroup1Click() {
    switch (FHost.RadioGroup1ItemIndex()) {
        case 0:
            FHost.SetModemPolarity(0);
            FHost.SysLog("Signal polarity: NORMAL");
            break;
        case 1:
            FHost.SetModemPolarity(1);
            FHost.SysLog("Signal polarity: INVERTED");
            break;
        default:
            break;
    }
    ResetDecoder();
}

// ---- Message stage ------------------------------------------------------------

void TNavtexDecoder::AssembleMessageChar(char Ch) {
    if (FHost.cbUOS() && Ch == ' ') ShiftState = 0;
    if (Ch == chFiguresShift) ShiftState = 1;
    if (Ch == chLettersShift) ShiftState = 0;

    if (Ch == chCR) {
        FinishLine();
        return;
    }
    if (!IsPrintable(Ch)) {
        FHost.SetLedFlash(TDecoderLed::LedSync, true);
        FHost.SetLedFlash(TDecoderLed::LedCharin, false);
        FHost.SetLedStatus(TDecoderLed::LedCharin, false);
    } else {
        FLine += Ch;
        FHost.SetLedFlash(TDecoderLed::LedSync, false);
        FHost.SetLedStatus(TDecoderLed::LedSync, true);
        FHost.SetLedFlash(TDecoderLed::LedCharin, true);
    }
    if (FLine.size() >= 80) {
        // A piece this long is shown as it is: no header or end detection.
        LineState = 1;
        const std::string Piece = std::move(FLine);
        FLine.clear();
        ShowLine(Piece);
    }
}

void TNavtexDecoder::FinishLine() {
    TScopeGuard ClearLine([this] { FLine.clear(); });

    ReplaceAll(FLine, "+:+:", "ZCZC");
    ReplaceAll(FLine, ",,,,", "NNNN");
    const std::string Upper = UpperCase(FLine);
    const size_t Z = Upper.find("ZCZC");
    LineState = 1;
    if (FLine.size() >= 9 && Z != std::string::npos) {
        LineState = 0;
    } else if (Upper.find("NNNN") != std::string::npos) {
        LineState = 3;
    }

    switch (LineState) {
        case 1:
            ShowLine(FLine);
            FMessageQuality = static_cast<int32_t>(std::nearbyint(FSignalQuality));
            break;
        case 3: {
            ShowLine(FLine);
            // However the store fares, the message is over: without this the same
            // end line would fail again on every later line.
            TScopeGuard EndMessage([this] {
                HeaderIdLetter = '?';
                HeaderSubject.assign(1, '?');
                HeaderSerial.assign(1, '?');
                LineState = 1;
                FHost.meLogClear();
            });
            StoreMessage(true);
            break;
        }
        default: {
            {
                TScopeGuard ClearMemo([this] { FHost.meLogClear(); });
                // A message that never got its end line.
                if (FHost.meLogText().size() > 20) StoreMessage(false);
            }
            std::string S = FLine.substr(Z);
            if (S.size() < 7) {
                HeaderIdLetter = '?';
                HeaderSubject.assign(1, '?');
                HeaderSerial.assign(3, '?');
            } else {
                S[5] = FiguresToLetters(S[5]);
                S[6] = FiguresToLetters(S[6]);
                for (size_t I = 7; I <= 8 && I < S.size(); ++I) S[I] = LettersToFigures(S[I]);
                HeaderIdLetter = S[5];
                HeaderSubject = S.substr(6, 1);
                HeaderSerial = S.substr(7, 3);
            }
            FHost.BroadcastToClients("M# ");
            ShowLine(S);
            LineState = 1;
            break;
        }
    }
}

void TNavtexDecoder::ShowLine(const std::string& Line) {
    FHost.meLogAdd(UtcDateTimeStr() + "> " + Line);
    FHost.BroadcastToClients("M#" + UtcTimeStr(0) + "> " + Line);
}

// Lexicon correction and the store hand-off. Their failures are reported in the
// system log and go no further: the caller's state reset must still run, and a
// failed correction still lets the uncorrected message be stored.
void TNavtexDecoder::StoreMessage(bool AtEndLine) {
    try {
        FHost.CorrectGarbledWords();
    } catch (...) {
        FHost.SysLog("Database: " + ExceptionReason());
    }
    const std::string Text = FHost.meLogText();
    if (FHost.cbMinUNIDLen() && static_cast<int64_t>(Text.size()) < FHost.FMinUnidLen()) {
        FHost.SysLog("Database: fragment too short, NOT stored");
        if (AtEndLine) FHost.SysLog("fragment:" + Text);
        return;
    }
    try {
        FHost.AddLogRecord(HeaderIdLetter, HeaderSubject, UtcNow(), HeaderSerial, Text,
                           SelectedFrequency(), FMessageQuality);
    } catch (...) {
        FHost.SysLog("Database: " + ExceptionReason());
    }
}

int32_t TNavtexDecoder::SelectedFrequency() const {
    const std::string Text = FHost.rgFreqText();
    int32_t Freq = 0;
    const auto [End, Ec] = std::from_chars(Text.data(), Text.data() + Text.size(), Freq);
    if (Ec != std::errc() || End != Text.data() + Text.size()) return 0;
    return Freq;
}

void TNavtexDecoder::FeedTicker(char Ch, bool Raw) {
    if (Raw) {
        FTickerBuffer += Ch;
        return;
    }
    if (Ch == chCR || Ch == chLF) Ch = ' ';
    if (!IsPrintable(Ch)) return;
    FTickerBuffer += Ch;
    FHost.BroadcastToClients(std::string("T#") + Ch);
}

double TNavtexDecoder::UtcNow() const { return FHost.UtcClock(); }

std::string TNavtexDecoder::UtcTimeStr(int32_t OffsetSeconds) const {
    return TimeText(SplitDateTime(UtcNow(), OffsetSeconds).MsOfDay);
}

// Always date and time; at midnight this ends in " 00:00:00" like any other time.
std::string TNavtexDecoder::UtcDateTimeStr() const {
    const TSplitTime T = SplitDateTime(UtcNow(), 0);
    return DateText(T.Day) + " " + TimeText(T.MsOfDay);
}

void TNavtexDecoder::cbUOSClick() {
    FHost.SysLog(FHost.cbUOS() ? "Unshift On Space: ON" : "Unshift On Space: OFF");
}

void TNavtexDecoder::rgFreqClick() {
    FHost.sbApplyNavareaClick();
    FHost.SysLog("RX frequency: " + FHost.rgFreqText());
    FHost.SchedTimerTimer();
}

}  // namespace tilo
