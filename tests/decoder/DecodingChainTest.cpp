// The whole chain on synthesised audio: demodulator, block handler, character
// stage and message assembly, as navtex-decode runs it.
#include "NavtexDecode.h"
#include "NavtexSynth.h"

#include "decoder/DecodingChain.h"
#include "decoder/UCommon.h"
#include "decoder/uModem.h"
#include "RecordingHost.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

using namespace tilo;
using tilo::test::TRecordingHost;

namespace {

const std::vector<std::string> Body = {
    "GALE WARNING 123/26 AT 0600 UTC.",
    "WIND SW 8 TO 9, VEERING WEST LATER.",
    "LOW 975 (52-30N 003-15E) MOVING EAST.",
    "SEA ROUGH OR VERY ROUGH.",
};

// As a coast station sends it: the header line first, CR LF line ends, the end line.
std::string Transmission(const std::string& Header, const std::vector<std::string>& Lines) {
    std::string Text = "ZCZC " + Header + "\r\n";
    for (const std::string& L : Lines) Text += L + "\r\n";
    return Text + "NNNN\r\n\n";
}

// Signal over noise in a 2500 Hz band, as the synthesiser's whole-band figure.
double WholeBandSnr(double SnrIn2500Hz, int32_t Rate) {
    return SnrIn2500Hz - 10 * std::log10(Rate / 2.0 / 2500.0);
}

std::vector<int16_t> Audio(const std::string& Text, int32_t Rate, double Snr2500 = INFINITY,
                           uint32_t Seed = 1) {
    TSynthOptions O;
    O.SampleRate = Rate;
    O.Centre = 1000;
    O.SnrDb = std::isfinite(Snr2500) ? WholeBandSnr(Snr2500, Rate) : Snr2500;
    O.Seed = Seed;
    return ModulateFsk(SitorFecBits(EncodeCcir476(Text), 10), O);
}

struct TDecoded {
    TRecordingHost Host;
    std::string LastLine;
};

void Decode(TDecoded& D, const std::vector<int16_t>& Samples, int32_t Rate) {
    SetSampleRate(Rate);
    TNavtexDecoder Decoder(D.Host);
    RunDecodingChain(Decoder, Samples, TChainOptions{1000, 170, false});
    D.LastLine = Decoder.FLine;
    SetSampleRate(11025);
}

// The text lines of a stored message, time prefixes checked and removed.
std::vector<std::string> MessageLines(const std::string& Text) {
    std::vector<std::string> Lines;
    size_t Pos = 0;
    while (Pos < Text.size()) {
        const size_t End = Text.find("\r\n", Pos);
        if (End == std::string::npos) {
            ADD_FAILURE() << "line without CR LF in " << Text;
            break;
        }
        const std::string Line = Text.substr(Pos, End - Pos);
        EXPECT_EQ(Line.substr(0, 21), "2026-12-09 12:34:56> ") << Line;
        Lines.push_back(Line.substr(std::min<size_t>(21, Line.size())));
        Pos = End + 2;
    }
    return Lines;
}

}  // namespace

TEST(DecodingChain, SynthesisedMessageDecodesExactlyAtBothRates) {
    for (int32_t Rate : {11025, 12000}) {
        TDecoded D;
        Decode(D, Audio(Transmission("FA23", Body), Rate), Rate);
        ASSERT_EQ(D.Host.Records.size(), 1u) << Rate;
        const auto& R = D.Host.Records[0];
        EXPECT_EQ(R.IdLetter, 'F');
        EXPECT_EQ(R.MsgType, "A");
        EXPECT_EQ(R.MsgNumber, "23");
        EXPECT_EQ(R.Freq, 518);
        EXPECT_GT(R.SigQual, 50);
        std::vector<std::string> Expected = {"ZCZC FA23"};
        Expected.insert(Expected.end(), Body.begin(), Body.end());
        Expected.push_back("NNNN");
        EXPECT_EQ(MessageLines(R.MsgText), Expected) << Rate;
        // The end of emission drops synchronisation; nothing is stored twice.
        EXPECT_EQ(D.LastLine, "{}");
        EXPECT_EQ(std::count(D.Host.Log.begin(), D.Host.Log.end(), "End of emission signal...resync."), 1);
    }
}

TEST(DecodingChain, FailingStoreLeavesStateResetAndTheNextMessageDecodes) {
    const int32_t Rate = 11025;
    std::vector<int16_t> Samples = Audio(Transmission("FA23", {Body[0]}), Rate);
    const std::vector<int16_t> Second = Audio(Transmission("GB01", {Body[3]}), Rate);
    Samples.insert(Samples.end(), Second.begin(), Second.end());
    TDecoded D;
    int32_t Calls = 0;
    D.Host.OnStore = [&Calls] {
        if (++Calls == 1) throw std::runtime_error("table is read-only");
    };
    Decode(D, Samples, Rate);
    EXPECT_EQ(std::count(D.Host.Log.begin(), D.Host.Log.end(), "Database: table is read-only"), 1);
    ASSERT_EQ(D.Host.Records.size(), 1u);
    const auto& R = D.Host.Records[0];
    EXPECT_EQ(R.IdLetter, 'G');
    EXPECT_EQ(R.MsgNumber, "01");
    EXPECT_EQ(MessageLines(R.MsgText), (std::vector<std::string>{"ZCZC GB01", Body[3], "NNNN"}));
}

TEST(DecodingChain, NoisyMessageAtPlus3DbIn2500HzDecodesExactly) {
    for (int32_t Rate : {11025, 12000}) {
        TDecoded D;
        Decode(D, Audio(Transmission("EA01", {Body[0], Body[1]}), Rate, 3.0, 7), Rate);
        ASSERT_EQ(D.Host.Records.size(), 1u) << Rate;
        EXPECT_EQ(MessageLines(D.Host.Records[0].MsgText),
                  (std::vector<std::string>{"ZCZC EA01", Body[0], Body[1], "NNNN"}))
            << Rate;
    }
}

TEST(DecodingChain, GaussianNoiseNeverSynchronisesAndStoresNothing) {
    const int32_t Rate = 11025;
    std::mt19937 Gen(1234);
    std::normal_distribution<double> Noise(0, 3000);
    std::vector<int16_t> Samples(static_cast<size_t>(Rate) * 60);
    for (int16_t& S : Samples) {
        S = static_cast<int16_t>(std::clamp(std::nearbyint(Noise(Gen)), -32768.0, 32767.0));
    }
    TDecoded D;
    Decode(D, Samples, Rate);
    EXPECT_TRUE(std::find(D.Host.Broadcasts.begin(), D.Host.Broadcasts.end(), "S#1") ==
                D.Host.Broadcasts.end());
    EXPECT_TRUE(D.Host.Records.empty());
    EXPECT_TRUE(D.Host.Memo.empty());
}

TEST(DecodingChain, SynthesiserBroadcastStoresExactlyOneMessage) {
    TSynthMessage M;
    M.Text = "GALE WARNING\nWIND SW 8";
    M.Header = "EA01";
    TSynthOptions O;
    O.Centre = 1000;
    TDecoded D;
    Decode(D, SynthesiseNavtex(M, O), 11025);
    ASSERT_EQ(D.Host.Records.size(), 1u);
    EXPECT_EQ(D.Host.Records[0].IdLetter, 'E');
    EXPECT_EQ(MessageLines(D.Host.Records[0].MsgText),
              (std::vector<std::string>{"ZCZC EA01", "GALE WARNING", "WIND SW 8", "NNNN"}));
}

TEST(DecodingChain, TimersRunOnRealAudioTimeAndTheWiringIsUndoneAtTheEnd) {
    SetSampleRate(11025);
    TRecordingHost Host;
    TNavtexDecoder Decoder(Host);
    TModem Modem;
    const auto Ticks = [&Host] {
        return std::count_if(Host.Broadcasts.begin(), Host.Broadcasts.end(),
                             [](const std::string& B) { return B.rfind("U#", 0) == 0; });
    };
    {
        TDecodingChain Chain(Modem, Decoder, 1000, 170);
        EXPECT_EQ(Modem.FCenter, 1000);
        EXPECT_EQ(Decoder.FModem, &Modem);
        EXPECT_EQ(Decoder.FAfcLow, 750);
        // Short blocks are completed with silence but count only their own samples:
        // 21 blocks of 525 samples are one second.
        const std::vector<int16_t> Short(525, 0);
        for (int I = 0; I < 20; ++I) Chain.ProcessBlock(Short);
        EXPECT_EQ(Ticks(), 0);
        EXPECT_FALSE(Decoder.FAfcRequest);
        Chain.ProcessBlock(Short);
        EXPECT_EQ(Ticks(), 1);
        EXPECT_TRUE(Decoder.FAfcRequest);
        EXPECT_EQ(Decoder.BlockCounter, 21);
        EXPECT_EQ(Chain.SamplesFed(), 11025);
        EXPECT_THROW(Chain.ProcessBlock(std::vector<int16_t>(1025, 0)), std::invalid_argument);
        EXPECT_EQ(Decoder.BlockCounter, 21);
    }
    EXPECT_FALSE(Modem.OnDataReady);
    EXPECT_EQ(Decoder.FModem, nullptr);
}
