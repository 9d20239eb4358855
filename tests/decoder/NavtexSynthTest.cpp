// The synthesiser's layers, its conventions checked against the reference recording, and
// the demodulator end to end at the bit level on synthesised broadcasts.
#include "NavtexSynth.h"

#include "decoder/CodeTables.h"
#include "decoder/UCommon.h"
#include "decoder/uModem.h"
#include "platform/WavFile.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

using namespace tilo;

namespace {

std::string L(char c) { return std::string(LettersCode(c)); }
std::string F(char c) { return std::string(FiguresCode(c)); }

// Runs Samples block by block through a demodulator tuned to Centre; the bits it gives.
std::string Demodulate(const std::vector<int16_t>& Samples, int32_t Centre, uint8_t Polarity,
                       double Baud = 100) {
    TModem modem;
    modem.SetFreq(Centre, 170);
    modem.SetBaud(Baud);
    TModem::SetPolarity(Polarity);
    std::string bits;
    modem.OnDataReady = [&](const std::string& b, double, const TNvector&, const TNvector&,
                            const std::vector<int32_t>&) { bits += b; };
    for (std::size_t i = 0; i + ModemBlockSize <= Samples.size(); i += ModemBlockSize)
        modem.ProcessBlock(std::span<const int16_t>(Samples).subspan(i, ModemBlockSize));
    TModem::SetPolarity(0);
    return bits;
}

std::vector<std::string> Groups(const std::string& bits) {
    std::vector<std::string> g;
    for (std::size_t i = 0; i + 7 <= bits.size(); i += 7) g.push_back(bits.substr(i, 7));
    return g;
}

const char* const RecordingText =
    "NOW IS THE TIME FOR ALL GOOD MEN TO COME TO THE AID OF THEIR COUNTRY";

class SynthAndModem : public ::testing::Test {
protected:
    void SetUp() override { SetSampleRate(11025); TModem::SetPolarity(0); }
    void TearDown() override { SetSampleRate(11025); TModem::SetPolarity(0); }
};

}  // namespace

TEST(NavtexSynth, ShiftsWhereTheCaseChangesAndAgainAfterEveryBlank) {
    const std::string ltrs = L(chLettersShift), figs = L(chFiguresShift), sp = L(' ');
    ASSERT_EQ(sp, "0011101");  // the letters-case blank, not the figures-case 'J'
    struct Case { std::string text; std::vector<std::string> codes; } cases[] = {
        {"ab", {ltrs, L('A'), L('B')}},
        {"A1.B", {ltrs, L('A'), figs, F('1'), F('.'), ltrs, L('B')}},
        {"12 34", {figs, F('1'), F('2'), sp, figs, F('3'), F('4')}},
        {"A B", {ltrs, L('A'), sp, ltrs, L('B')}},
        {"A\r\nB", {ltrs, L('A'), L(chCR), L(chLF), L('B')}},
    };
    for (const auto& c : cases) EXPECT_EQ(EncodeCcir476(c.text), c.codes) << c.text;
    for (const char* bad : {"A@B", "A*", "\x80", "~"})
        EXPECT_THROW(EncodeCcir476(bad), std::invalid_argument) << bad;
}

TEST(NavtexSynth, MessageTextHasHeaderEndLineAndCrLf) {
    EXPECT_EQ(NavtexMessageText({"GALE\nWARNING", "ea01"}),
              "ZCZC EA01\r\nGALE\r\nWARNING\r\nNNNN\r\n");
    EXPECT_EQ(NavtexMessageText({"A\r\nB\r\n", ""}), "\r\nA\r\nB\r\n");
    for (const char* bad : {"E01", "EA0X", "1A01", "EA011"})
        EXPECT_THROW(NavtexMessageText({"X", bad}), std::invalid_argument) << bad;
}

TEST(NavtexSynth, FecStreamRepeatsEveryDxGroupFiveGroupsLaterInRx) {
    const std::string alpha = L(chPhasing1), beta = L(chPhasing2);
    const std::vector<std::string> codes = {L('A'), L('B'), L('C')};
    const auto g = Groups(SitorFecBits(codes, 4));
    // DX: 4 phasing 2, A B C, end of emission (3 phasing 1), then phasing 1 while RX ends.
    const std::vector<std::string> dx = {beta, beta, beta, beta, L('A'), L('B'), L('C'),
                                         alpha, alpha, alpha, alpha, alpha};
    ASSERT_EQ(g.size(), 2 * dx.size());
    for (std::size_t s = 0; s < dx.size(); ++s) {
        EXPECT_EQ(g[2 * s], dx[s]) << s;
        const bool due = s >= 2 && dx[s - 2] != beta;
        EXPECT_EQ(g[2 * s + 1], due ? g[2 * s - 4] : alpha) << s;
    }
}

TEST(NavtexSynth, NoisePowerFollowsTheStatedBandAndSnr) {
    TSynthOptions o;
    o.SnrDb = 3;
    o.LeadSeconds = 2;
    o.TailSeconds = 0;
    const std::vector<int16_t> s = ModulateFsk("", o);
    ASSERT_EQ(s.size(), 22050u);
    double power = 0;
    for (int16_t v : s) power += double(v) * v;
    power /= double(s.size());
    const double expected = o.Amplitude * o.Amplitude / 2 / std::pow(10, 0.3);
    EXPECT_NEAR(power / expected, 1.0, 0.03);
    EXPECT_NEAR(SnrIn500Hz(o), 3 + 10 * std::log10(5512.5 / 500), 1e-9);
    o.SnrDb = NAN;
    EXPECT_THROW(ModulateFsk("1", o), std::invalid_argument);
}

// The reference recording, demodulated at 1000 Hz in normal polarity, carries the groups
// the synthesiser would send for its text: same bit order, polarity and DX/RX order.
TEST_F(SynthAndModem, ConventionsMatchTheReferenceRecording) {
    const TWavData rec = ReadWavFile(std::string(TILO_TESTDATA_DIR) + "/sitor_b_example_11025.wav");
    ASSERT_EQ(rec.SampleRate, 11025);
    // The recording sends no shifts inside the text, so take the codes without them.
    std::vector<std::string> codes;
    for (const char* p = RecordingText; *p; ++p) codes.push_back(L(*p));
    const std::string synth = SitorFecBits(codes, 8);
    // Phasing (four DX/RX pairs) and the steady text part (every RX a repetition).
    const std::string phasing = synth.substr(0, 8 * 14);
    const std::string text = synth.substr((8 + 2) * 14, (codes.size() - 2) * 14);

    const std::string normal = Demodulate(rec.Samples, 1000, 0);
    EXPECT_NE(normal.find(phasing), std::string::npos);
    EXPECT_NE(normal.find(text), std::string::npos) << normal;
    const std::string inverted = Demodulate(rec.Samples, 1000, 1);
    EXPECT_EQ(inverted.find(text), std::string::npos);
}

TEST_F(SynthAndModem, DemodulatorYieldsTheTransmittedBits) {
    // The clock is quantised to whole samples per bit: 110 at 11025 for any baud from 99.8
    // to 100.2, 120 at 12000 for 99.8 and 100, but 119 at 12000 for 100.2, which runs 0.8 %
    // fast against a 100-baud signal and cannot hold it; a 99.8-baud signal it does hold.
    struct Case {
        int32_t rate; bool inverted; double signalBaud, modemBaud, snrDb; bool locks;
    } cases[] = {
        {11025, false, 100, 100, INFINITY, true},  {12000, false, 100, 100, INFINITY, true},
        {11025, true, 100, 100, INFINITY, true},   {12000, true, 100, 100, INFINITY, true},
        {11025, false, 100, 100.2, 10, true},      {11025, false, 100, 99.8, 10, true},
        {12000, false, 100, 99.8, 10, true},       {12000, false, 99.8, 100, 10, true},
        {12000, false, 100.2, 100, 10, true},      {12000, false, 100, 100.2, INFINITY, false},
    };
    const TSynthMessage msg{"GALE WARNING 1234 UTC.\nWIND SW 8 TO 9.", "EA01"};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.rate << (c.inverted ? " inverted" : " normal")
                                        << " signal baud " << c.signalBaud << " modem baud "
                                        << c.modemBaud << " snr " << c.snrDb);
        SetSampleRate(c.rate);
        TSynthOptions o;
        o.SampleRate = c.rate;
        o.Inverted = c.inverted;
        o.Baud = c.signalBaud;
        o.SnrDb = c.snrDb;
        o.Centre = 1200;
        o.FreqOffset = 3;
        const std::string sent = NavtexBits(msg, o);
        // Everything after the phasing must come out exactly, once the clock has settled.
        const int32_t phasingBits = int32_t(std::nearbyint(o.PhasingSeconds * o.Baud / 14)) * 14;
        const std::string message = sent.substr(std::size_t(phasingBits));
        const std::vector<int16_t> audio = ModulateFsk(sent, o);
        const std::string got = Demodulate(audio, 1200, c.inverted ? 1 : 0, c.modemBaud);
        EXPECT_EQ(got.find(message) != std::string::npos, c.locks) << got;
        if (c.inverted) {
            const std::string wrong = Demodulate(audio, 1200, 0, c.modemBaud);
            EXPECT_EQ(wrong.find(message), std::string::npos);
        }
    }
}
