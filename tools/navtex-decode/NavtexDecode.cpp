// navtex-decode's chain runner, console host and command line.
#include "NavtexDecode.h"

#include "classlib/DateUtils.h"
#include "decoder/DecodingChain.h"
#include "decoder/UCommon.h"
#include "decoder/uModem.h"
#include "platform/WavFile.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <iostream>
#include <memory>
#include <ostream>
#include <stdexcept>

namespace tilo {

namespace {

constexpr double UnixEpochDateTime = 25569.0;

double SystemUtcNow() {
    using namespace std::chrono;
    const double Ms = static_cast<double>(
        duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
    return UnixEpochDateTime + Ms / 86400000.0;
}

// Prints as the receiver would show: memo lines as they are added, stored
// messages as JSON lines; the system log goes to the error stream.
class TConsoleHost : public TDecoderHost {
public:
    TConsoleHost(std::ostream& Out, std::ostream& Err, bool PrintLines, bool PrintMessages,
                 int32_t FreqKHz)
        : FOut(Out), FErr(Err), FPrintLines(PrintLines), FPrintMessages(PrintMessages),
          FFreqText(std::to_string(FreqKHz)) {}

    std::optional<double> FixedStart;  // --utc: the clock runs from here with the audio
    double AudioSeconds = 0;
    bool Track = true;  // --no-track clears it

    void SysLog(const std::string& Msg) override { FErr << Msg << '\n'; }
    void DecodingFailure(const std::string& Text) override { FErr << "navtex-decode: " << Text << '\n'; }
    void BroadcastToClients(const std::string&) override {}
    void AddLogRecord(char IdLetter, const std::string& MsgType, double, const std::string& MsgNumber,
                      const std::string& MsgText, int32_t Freq, int32_t SigQual) override {
        if (!FPrintMessages) return;
        FOut << "{\"b1\":" << JsonString(std::string(1, IdLetter)) << ",\"b2\":" << JsonString(MsgType)
             << ",\"serial\":" << JsonString(MsgNumber) << ",\"quality\":" << SigQual
             << ",\"freq\":" << Freq << ",\"text\":" << JsonString(MsgText) << "}\n";
        FOut.flush();
    }
    void CorrectGarbledWords() override {}
    void meLogAdd(const std::string& Line) override {
        FMemo.push_back(Line);
        if (FPrintLines) {
            const size_t Pos = Line.find("> ");
            FOut << (Pos == std::string::npos ? Line : Line.substr(Pos + 2)) << '\n';
            FOut.flush();
        }
    }
    void meLogClear() override { FMemo.clear(); }
    std::string meLogText() const override {
        std::string Text;
        for (const std::string& Line : FMemo) Text += Line + "\r\n";
        return Text;
    }
    void SetLedStatus(TDecoderLed, bool) override {}
    void SetLedFlash(TDecoderLed, bool) override {}
    bool cbUOS() const override { return false; }
    bool cbMinUNIDLen() const override { return false; }
    int32_t FMinUnidLen() const override { return 0; }
    std::string rgFreqText() const override { return FFreqText; }
    int32_t RadioGroup1ItemIndex() const override { return 0; }
    void sbApplyNavareaClick() override {}
    void SchedTimerTimer() override {}
    void SetModemPolarity(uint8_t Polarity) override { TModem::SetPolarity(Polarity); }
    bool cbTrack() const override { return Track; }
    double UtcClock() const override {
        return FixedStart ? *FixedStart + AudioSeconds / 86400.0 : SystemUtcNow();
    }

private:
    std::ostream& FOut;
    std::ostream& FErr;
    bool FPrintLines;
    bool FPrintMessages;
    std::string FFreqText;
    std::vector<std::string> FMemo;
};

bool ParseInt(const std::string& Text, int32_t& Value) {
    const auto [End, Ec] = std::from_chars(Text.data(), Text.data() + Text.size(), Value);
    return Ec == std::errc() && End == Text.data() + Text.size();
}

const char* const Usage =
    "usage: navtex-decode [--centre HZ] [--shift HZ] [--inverted] [--no-track] [--messages]\n"
    "                     [--ticker] [--utc \"yyyy-MM-dd hh:mm:ss\"] FILE.wav|-\n";

}  // namespace

void RunDecodingChain(TNavtexDecoder& Decoder, std::span<const int16_t> Samples,
                      const TChainOptions& Options, const std::function<void(double)>& OnBlock) {
    TModem::SetPolarity(Options.Inverted ? 1 : 0);
    TModem Modem;
    TDecodingChain Chain(Modem, Decoder, Options.Centre, Options.Shift);
    if (OnBlock) Chain.OnBlockDone = [&OnBlock](int64_t Fed) { OnBlock(static_cast<double>(Fed) / SampleRate); };
    for (size_t Pos = 0; Pos < Samples.size(); Pos += ModemBlockSize)
        Chain.ProcessBlock(Samples.subspan(Pos, std::min(ModemBlockSize, Samples.size() - Pos)));
    Chain.Finish();
}

std::string JsonString(const std::string& Text) {
    static const char Hex[] = "0123456789abcdef";
    std::string Out = "\"";
    for (char C : Text) {
        const auto U = static_cast<unsigned char>(C);
        if (C == '"' || C == '\\') {
            Out += '\\';
            Out += C;
        } else if (C == '\r') {
            Out += "\\r";
        } else if (C == '\n') {
            Out += "\\n";
        } else if (U < 0x20 || U >= 0x7f) {
            Out += "\\u00";
            Out += Hex[U >> 4];
            Out += Hex[U & 15];
        } else {
            Out += C;
        }
    }
    return Out + "\"";
}

int NavtexDecodeMain(const std::vector<std::string>& Args, std::istream& In, std::ostream& Out,
                     std::ostream& Err) {
    TChainOptions Chain;
    bool Messages = false, Ticker = false, Track = true;
    const int32_t FreqKHz = 518;  // what the receiver's frequency switch shows by default
    std::optional<double> Utc;
    std::string FileName;
    for (size_t I = 0; I < Args.size(); ++I) {
        const std::string& A = Args[I];
        const auto Value = [&](std::string& V) {
            if (I + 1 >= Args.size()) {
                Err << "navtex-decode: " << A << " needs a value\n" << Usage;
                return false;
            }
            V = Args[++I];
            return true;
        };
        std::string V;
        if (A == "--centre" || A == "--shift") {
            if (!Value(V)) return 2;
            int32_t N = 0;
            if (!ParseInt(V, N) || N <= 0) {
                Err << "navtex-decode: " << A << ": not a positive whole number: " << V << '\n';
                return 2;
            }
            (A == "--centre" ? Chain.Centre : Chain.Shift) = N;
        } else if (A == "--utc") {
            if (!Value(V)) return 2;
            double T = 0;
            if (!classlib::TryStrToDateTime(V, T)) {
                Err << "navtex-decode: --utc: not a date and time (yyyy-MM-dd hh:mm:ss): " << V << '\n';
                return 2;
            }
            Utc = T;
        } else if (A == "--inverted") {
            Chain.Inverted = true;
        } else if (A == "--no-track") {
            Track = false;
        } else if (A == "--messages") {
            Messages = true;
        } else if (A == "--ticker") {
            Ticker = true;
        } else if (A == "--help" || A == "-h") {
            Out << Usage;
            return 0;
        } else if (A.size() > 1 && A[0] == '-') {
            Err << "navtex-decode: unknown option " << A << '\n' << Usage;
            return 2;
        } else if (FileName.empty()) {
            FileName = A;
        } else {
            Err << "navtex-decode: only one file can be decoded\n" << Usage;
            return 2;
        }
    }
    if (FileName.empty()) {
        Err << Usage;
        return 2;
    }

    std::unique_ptr<TWavReader> Wav;
    const std::string Name = FileName == "-" ? "standard input" : FileName;
    try {
        Wav = FileName == "-" ? std::make_unique<TWavReader>(In, Name, true)
                              : std::make_unique<TWavReader>(FileName, true);
    } catch (const std::exception& E) {
        Err << "navtex-decode: " << E.what() << '\n';
        return 1;
    }
    const int32_t Rate = Wav->SampleRate();
    if (Rate != 11025 && Rate != 12000) {
        Err << "navtex-decode: " << Name << ": unsupported sample rate " << Rate << " (11025 or 12000 needed)\n";
        return 1;
    }
    // Both tones strictly between 0 and half the sample rate, in 64 bits.
    const int64_t Lower = int64_t{Chain.Centre} - Chain.Shift / 2;
    const int64_t Upper = int64_t{Chain.Centre} + Chain.Shift / 2;
    if (Lower <= 0 || Upper >= Rate / 2) {
        Err << "navtex-decode: tones at " << Lower << " and " << Upper << " Hz (--centre " << Chain.Centre
            << ", --shift " << Chain.Shift << ") must lie between 0 and " << Rate / 2 << " Hz\n";
        return 2;
    }

    SetSampleRate(Rate);
    const bool Lines = !Messages && !Ticker;
    TConsoleHost Host(Out, Err, Lines, Messages, FreqKHz);
    Host.FixedStart = Utc;
    Host.Track = Track;
    TNavtexDecoder Decoder(Host);
    TModem::SetPolarity(Chain.Inverted ? 1 : 0);
    TModem Modem;
    int Code = 0;
    {
        TDecodingChain Runner(Modem, Decoder, Chain.Centre, Chain.Shift);
        Runner.OnBlockDone = [&Host, Rate](int64_t Fed) { Host.AudioSeconds = static_cast<double>(Fed) / Rate; };
        std::vector<int16_t> Block(ModemBlockSize);
        try {
            for (size_t N; (N = Wav->Read(Block.data(), Block.size())) > 0;)
                Runner.ProcessBlock(std::span<const int16_t>(Block.data(), N));
        } catch (const EWavFile& E) {
            Err << "navtex-decode: " << E.what() << '\n';
            Code = 1;
        }
        Runner.Finish();
    }
    if (Wav->Truncated())
        Err << "navtex-decode: warning: " << Name << ": the data ends after " << Wav->Position() << " of "
            << Wav->DeclaredCount() << " samples; decoded as far as it goes\n";
    // The unfinished line, unless all it holds is the mark of a decoder reset.
    if (Lines && !Decoder.FLine.empty() && Decoder.FLine != "{}") Out << Decoder.FLine << '\n';
    if (Ticker) Out << Decoder.FTickerBuffer << '\n';
    Out.flush();
    return Code;
}

int NavtexDecodeMain(const std::vector<std::string>& Args, std::ostream& Out, std::ostream& Err) {
    return NavtexDecodeMain(Args, std::cin, Out, Err);
}

}  // namespace tilo
