// Decoding sensitivity: character accuracy of the whole chain (demodulator, block
// handler with tracking, synchronisation, message assembly) on synthesised NAVTEX
// messages in white Gaussian noise, from +3 down to -6 dB SNR in a 2500 Hz band, at
// both sample rates, with fixed seeds. Not a speed figure: the counters are what
// matters. char_accuracy = 1 - edit distance / sent characters over the message lines
// (header and end line included); exact_msgs = share of messages stored exactly.
#include "NavtexDecode.h"
#include "NavtexSynth.h"

#include "QuietHost.h"
#include "decoder/NavtexDecoder.h"
#include "decoder/UCommon.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace {

const std::vector<std::string> Lines = {
    "ZCZC FA23",
    "GALE WARNING 123/26 ISSUED AT 0600 UTC.",
    "SOUTHWEST WIND FORCE 8 TO 9, VEERING WEST LATER.",
    "LOW 975 (52-30N 003-15E) MOVING EAST AND DEEPENING.",
    "SEA STATE ROUGH OR VERY ROUGH, VISIBILITY MODERATE.",
    "NNNN",
};
constexpr uint32_t Seeds = 5;

// Keeps the memo lines as shown and the messages stored.
class TSweepHost : public TQuietHost {
public:
    std::vector<std::string> Shown;
    std::vector<std::string> Stored;
    std::vector<std::string> Memo;
    void AddLogRecord(char, const std::string&, double, const std::string&, const std::string& Text, int32_t,
                      int32_t) override {
        Stored.push_back(Text);
    }
    void meLogAdd(const std::string& Line) override {
        Memo.push_back(Line);
        Shown.push_back(Line.substr(Line.find("> ") + 2));
    }
    void meLogClear() override { Memo.clear(); }
    std::string meLogText() const override {
        std::string Text;
        for (const std::string& L : Memo) Text += L + "\r\n";
        return Text;
    }
    bool cbUOS() const override { return false; }
};

size_t EditDistance(const std::string& A, const std::string& B) {
    std::vector<size_t> Row(B.size() + 1);
    for (size_t J = 0; J <= B.size(); ++J) Row[J] = J;
    for (size_t I = 1; I <= A.size(); ++I) {
        size_t Diagonal = Row[0];
        Row[0] = I;
        for (size_t J = 1; J <= B.size(); ++J) {
            const size_t Up = Row[J];
            Row[J] = std::min({Row[J] + 1, Row[J - 1] + 1, Diagonal + (A[I - 1] == B[J - 1] ? 0 : 1)});
            Diagonal = Up;
        }
    }
    return Row[B.size()];
}

void BM_Sensitivity(benchmark::State& State) {
    const int32_t Rate = int32_t(State.range(0));
    const double Snr2500 = double(State.range(1)) / 10;
    std::string Text, Sent;
    for (const std::string& L : Lines) {
        Text += L + "\r\n";
        Sent += L + "\n";
    }
    Text += "\n";
    double Accuracy = 0;
    int32_t Exact = 0;
    for (auto _ : State) {
        Accuracy = 0;
        Exact = 0;
        for (uint32_t Seed = 1; Seed <= Seeds; ++Seed) {
            tilo::TSynthOptions O;
            O.SampleRate = Rate;
            O.Centre = 1000;
            O.SnrDb = Snr2500 - 10 * std::log10(Rate / 2.0 / 2500.0);
            O.Seed = Seed;
            O.LeadSeconds = 2;
            const std::vector<int16_t> Audio =
                tilo::ModulateFsk(tilo::SitorFecBits(tilo::EncodeCcir476(Text), 20), O);
            tilo::SetSampleRate(Rate);
            TSweepHost Host;
            tilo::TNavtexDecoder Decoder(Host);
            tilo::RunDecodingChain(Decoder, Audio, tilo::TChainOptions{1000, 170, false});
            // What the operator sees, without the resync marks.
            std::string Received;
            for (const std::string& L : Host.Shown) Received += L + "\n";
            Received += Decoder.FLine;
            std::string Clean;
            for (char C : Received) {
                if (C != '{' && C != '}') Clean += C;
            }
            while (!Clean.empty() && Clean.front() == '\n') Clean.erase(0, 1);
            const double Distance = double(EditDistance(Sent, Clean));
            Accuracy += std::max(0.0, 1.0 - Distance / double(Sent.size()));
            if (Host.Stored.size() == 1 && Clean.substr(0, Sent.size()) == Sent) ++Exact;
        }
    }
    State.counters["snr_2500Hz_dB"] = Snr2500;
    State.counters["char_accuracy"] = Accuracy / Seeds;
    State.counters["exact_msgs"] = double(Exact) / Seeds;
}
BENCHMARK(BM_Sensitivity)
    ->ArgsProduct({{11025, 12000}, {30, 20, 10, 0, -10, -20, -30, -40, -50, -60}})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

}  // namespace
