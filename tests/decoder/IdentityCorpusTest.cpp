// The chain's output, byte for byte, against a stored corpus: every ticker character,
// every line shown, every system-log line, every stored message, the unfinished line and
// a digest of everything sent to TCP clients (status rounds with the averaged spectrum
// included). Below the text, a digest of the demodulator's every intermediate value (the
// tone filters' outputs and envelopes, bit for bit, the bits and the clock's phase at
// every pull) catches a change that moves no character, and one of the spectrum of every
// block, bit for bit. The expected files were written by the chain before its inner loops
// were rewritten for speed, so any change of a sum's order or of a table shows up here.
// TILO_WRITE_CORPUS=1 rewrites them (only ever from a build whose output is trusted).
#include "NavtexDecode.h"
#include "NavtexSynth.h"

#include "decoder/U_FFT.h"
#include "decoder/UCommon.h"
#include "decoder/uModem.h"
#include "platform/WavFile.h"
#include "RecordingHost.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

using namespace tilo;

namespace {

// Every line ever shown, not only those of the current message.
class TCorpusHost : public test::TRecordingHost {
public:
    std::vector<std::string> Shown;
    void meLogAdd(const std::string& Line) override {
        Shown.push_back(Line);
        TRecordingHost::meLogAdd(Line);
    }
};

uint64_t Fnv1a(uint64_t H, const std::string& S) {
    for (unsigned char C : S) H = (H ^ C) * 1099511628211ull;
    return (H ^ 0xff) * 1099511628211ull;  // a record boundary
}

uint64_t Fnv1a(uint64_t H, const std::vector<double>& V) {
    std::string Bytes(V.size() * sizeof(double), '\0');
    if (!V.empty()) std::memcpy(Bytes.data(), V.data(), Bytes.size());
    return Fnv1a(H, Bytes);
}

std::string Hex(uint64_t H) {
    char Digest[17];
    std::snprintf(Digest, sizeof Digest, "%016llx", static_cast<unsigned long long>(H));
    return Digest;
}

struct TCase {
    const char* Name;
    int32_t Rate;
    int32_t Centre;
    bool Inverted;
    std::vector<int16_t> (*Make)(int32_t Rate, bool Inverted);
};

void PrintTo(const TCase& C, std::ostream* Os) { *Os << C.Name; }

// Gaussian-like noise (a sum of twelve uniforms) from the standard 32-bit Mersenne
// twister, whose output is fixed everywhere, added to Samples with clipping.
void AddNoise(std::vector<int16_t>& Samples, double Sd, uint32_t Seed) {
    std::mt19937 Gen(Seed);
    for (int16_t& S : Samples) {
        double U = 0;
        for (int K = 0; K < 12; ++K) U += Gen() / 4294967296.0;
        const double V = S + (U - 6.0) * Sd;
        S = static_cast<int16_t>(std::clamp(std::nearbyint(V), -32768.0, 32767.0));
    }
}

std::vector<int16_t> Recording(int32_t, bool) {
    return ReadWavFile(std::string(TILO_TESTDATA_DIR) + "/sitor_b_example_11025.wav").Samples;
}

std::vector<int16_t> Message(int32_t Rate, bool Inverted) {
    TSynthMessage M;
    M.Header = Inverted ? "GB07" : "FA23";
    M.Text = "GALE WARNING 123/26 AT 0600 UTC.\nWIND SW 8 TO 9, VEERING WEST LATER.\nSEA ROUGH.";
    TSynthOptions O;
    O.SampleRate = Rate;
    O.Centre = 1000;
    O.FreqOffset = 30;  // off the tuned centre: tracking has work to do
    O.Baud = 100.1;
    O.Inverted = Inverted;
    O.LeadSeconds = 1.5;
    std::vector<int16_t> S = SynthesiseNavtex(M, O);
    AddNoise(S, 3500, Inverted ? 11 : 7);
    return S;
}

// So weak that characters are lost and synchronisation drops and comes back.
std::vector<int16_t> WeakMessage(int32_t Rate, bool) {
    TSynthMessage M;
    M.Header = "EA01";
    M.Text = "NAVIGATIONAL WARNING 44/26. LIGHT BUOY OFF STATION.\nPOSITION 51-22N 002-41E.\n"
             "MARINERS ARE ADVISED TO KEEP CLEAR AND REPORT SIGHTINGS.";
    TSynthOptions O;
    O.SampleRate = Rate;
    O.Centre = 1000;
    O.Amplitude = 6000;  // under noise of standard deviation 15000
    std::vector<int16_t> S = SynthesiseNavtex(M, O);
    AddNoise(S, 15000, 99);
    return S;
}

std::vector<int16_t> Noise(int32_t Rate, bool) {
    std::vector<int16_t> S(static_cast<size_t>(Rate) * 20, 0);
    AddNoise(S, 4000, 1234);
    return S;
}

// Full scale, both extremes, near the upper tone: saturates every stage.
std::vector<int16_t> Square(int32_t Rate, bool) {
    std::vector<int16_t> S(static_cast<size_t>(Rate) * 6 + 300);
    for (size_t I = 0; I < S.size(); ++I) S[I] = (I / 5) % 2 == 0 ? int16_t{32767} : int16_t{-32768};
    return S;
}

const TCase Cases[] = {
    {"recording_11025", 11025, 1000, false, Recording},
    {"message_11025_normal", 11025, 1000, false, Message},
    {"message_11025_inverted", 11025, 1000, true, Message},
    {"message_12000_normal", 12000, 1000, false, Message},
    {"message_12000_inverted", 12000, 1000, true, Message},
    {"weak_message_11025", 11025, 1000, false, WeakMessage},
    {"noise_11025", 11025, 1200, false, Noise},
    {"square_12000", 12000, 1000, false, Square},
};

// The demodulator alone, tuned where the chain starts, over whole blocks.
std::string DemodulatorDigest(const TCase& C, const std::vector<int16_t>& Samples) {
    SetSampleRate(C.Rate);
    TModem::SetPolarity(C.Inverted ? 1 : 0);
    uint64_t H = 14695981039346656037ull;
    size_t Pulls = 0, Bits = 0;
    {
        TModem M;
        M.SetFreq(C.Centre, 170);
        M.OnDiagOutput = [&H](const TArrDbl&, const TArrDbl& F1, const TArrDbl& F2, const TNvector& Mark,
                              const TNvector& Space) {
            for (const auto* V : {&F1, &F2, &Mark, &Space}) H = Fnv1a(H, *V);
        };
        M.OnPLLOutput = [&H, &Pulls](double Phase) {
            H = Fnv1a(H, std::vector<double>{Phase});
            ++Pulls;
        };
        M.OnDataReady = [&H, &Bits](const std::string& B, double Phase, const TNvector&, const TNvector&,
                                    const std::vector<int32_t>&) {
            H = Fnv1a(Fnv1a(H, B), std::vector<double>{Phase});
            Bits += B.size();
        };
        for (size_t P = 0; P + ModemBlockSize <= Samples.size(); P += ModemBlockSize)
            M.ProcessBlock(std::span<const int16_t>(Samples).subspan(P, ModemBlockSize));
    }
    TModem::SetPolarity(0);
    SetSampleRate(11025);
    return std::to_string(Bits) + " bits " + std::to_string(Pulls) + " pulls " + Hex(H);
}

// The transform of every whole block, bit for bit.
std::string SpectrumDigest(const std::vector<int16_t>& Samples) {
    uint64_t H = 14695981039346656037ull;
    for (size_t P = 0; P + ModemBlockSize <= Samples.size(); P += ModemBlockSize) {
        TNvector Re(Samples.begin() + std::ptrdiff_t(P), Samples.begin() + std::ptrdiff_t(P + ModemBlockSize)), Im;
        uint8_t Status = FFT_OK;
        RealFFT(int32_t(ModemBlockSize), false, Re, Status, Im);
        H = Fnv1a(Fnv1a(H, Re), Im);
    }
    return Hex(H);
}

std::string DecodeCase(const TCase& C) {
    SetSampleRate(C.Rate);
    const std::vector<int16_t> Samples = C.Make(C.Rate, C.Inverted);
    TCorpusHost Host;
    const double Start = test::EncodeDateTime(2026, 12, 9, 23, 59, 50);
    Host.Clock = Start;
    TNavtexDecoder Decoder(Host);
    RunDecodingChain(Decoder, Samples, TChainOptions{C.Centre, 170, C.Inverted},
                     [&Host, Start](double Seconds) { Host.Clock = Start + Seconds / 86400.0; });
    TModem::SetPolarity(0);
    SetSampleRate(11025);

    std::ostringstream Out;
    Out << "# ticker\n" << JsonString(Decoder.FTickerBuffer) << "\n# lines\n";
    for (const std::string& L : Host.Shown) Out << JsonString(L) << '\n';
    Out << "# log\n";
    for (const std::string& L : Host.Log) Out << JsonString(L) << '\n';
    Out << "# stored\n";
    for (const auto& R : Host.Records)
        Out << R.IdLetter << ' ' << R.MsgType << ' ' << R.MsgNumber << ' ' << R.SigQual << ' ' << R.Freq << ' '
            << JsonString(R.MsgText) << '\n';
    Out << "# unfinished\n" << JsonString(Decoder.FLine) << "\n# broadcasts\n";
    uint64_t H = 14695981039346656037ull;
    for (const std::string& B : Host.Broadcasts) H = Fnv1a(H, B);
    Out << Host.Broadcasts.size() << ' ' << Hex(H) << '\n';
    Out << "# demodulator\n" << DemodulatorDigest(C, Samples) << '\n';
    Out << "# spectrum\n" << SpectrumDigest(Samples) << '\n';
    return Out.str();
}

class IdentityCorpus : public testing::TestWithParam<TCase> {};

TEST_P(IdentityCorpus, DecodesToTheStoredOutput) {
    const TCase& C = GetParam();
    const std::string Path = std::string(TILO_TESTDATA_DIR) + "/corpus/" + C.Name + ".txt";
    const std::string Got = DecodeCase(C);
    if (std::getenv("TILO_WRITE_CORPUS")) {
        std::ofstream(Path, std::ios::binary) << Got;
        GTEST_SKIP() << "written " << Path;
    }
    std::ifstream In(Path, std::ios::binary);
    ASSERT_TRUE(In) << Path;
    std::stringstream Expected;
    Expected << In.rdbuf();
    EXPECT_EQ(Got, Expected.str()) << C.Name;
}

INSTANTIATE_TEST_SUITE_P(Chain, IdentityCorpus, testing::ValuesIn(Cases),
                         [](const testing::TestParamInfo<TCase>& I) { return std::string(I.param.Name); });

}  // namespace
