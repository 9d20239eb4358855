#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <numeric>
#include <random>
#include <stdexcept>

#include "RecordingHost.h"
#include "decoder/DecodingChain.h"
#include "decoder/NavtexDecoder.h"
#include "decoder/UCommon.h"
#include "decoder/uModem.h"
#include "NavtexSynth.h"
#include "platform/WavFile.h"

using namespace tilo;

namespace {

// The recording host plus the block handler's displays.
class TDisplayHost : public test::TRecordingHost {
public:
    std::map<TDecoderGauge, float> Gauges;
    std::map<TDecoderGauge, std::string> Captions;
    int32_t Snr = 0;
    bool Track = true;
    int32_t ScopeSel = 0, ScopeScale = 0;
    bool OneShot = false;
    std::vector<std::vector<double>> Scopes;
    std::vector<int32_t> ScopeScales;
    int32_t WaterfallLines = 0, Repaints = 0;
    bool Freeze = false, SpectrumPage = false, Raw = false;
    TSpectrum Series;
    std::vector<std::pair<double, double>> History, HistoryAxes;
    std::string ClockText;
    std::function<void(TDecoderLed, bool)> OnLed;

    void SetLedStatus(TDecoderLed Led, bool Status) override {
        if (OnLed) OnLed(Led, Status);
        TRecordingHost::SetLedStatus(Led, Status);
    }
    void SetGaugePosition(TDecoderGauge G, float P) override { Gauges[G] = P; }
    void SetGaugeCaption(TDecoderGauge G, const std::string& C) override { Captions[G] = C; }
    int32_t TBSNRPosition() const override { return Snr; }
    int32_t WaterfallSpeed = 0, WaterfallCentre = 0, WaterfallPosition = 60;
    double WaterfallPeak = 0;
    void DrawWaterfallLine(const TSpectrum& S, int32_t Centre, int32_t Speed, bool) override {
        EXPECT_EQ(S.size(), 512u);
        ++WaterfallLines;
        WaterfallCentre = Centre;
        WaterfallSpeed = Speed;
        WaterfallPeak = 0;
        for (const auto& p : S) WaterfallPeak = std::max(WaterfallPeak, p.Mag);
    }
    int32_t tbwfallspeedPosition() const override { return WaterfallPosition; }
    void RepaintWaterfall() override { ++Repaints; }
    bool cbFreeze() const override { return Freeze; }
    bool SpectrumPageShown() const override { return SpectrumPage; }
    bool sbFilRawDown() const override { return Raw; }
    void SetSpectrumSeries(const TSpectrum& S) override { Series = S; }
    void ResetHistoryChart(double A, double B) override { HistoryAxes.push_back({A, B}); }
    void AddHistoryPoint(double T, double V) override { History.push_back({T, V}); }
    bool cbTrack() const override { return Track; }
    int32_t rgScopeSelItemIndex() const override { return ScopeSel; }
    void SetScopeSelection(int32_t I) override { ScopeSel = I; }
    int32_t rgScopeScaleItemIndex() const override { return ScopeScale; }
    bool cbOneShot() const override { return OneShot; }
    void DrawScope(const std::vector<double>& T, int32_t S) override {
        Scopes.push_back(T);
        ScopeScales.push_back(S);
    }
    void SetClockText(const std::string& T) override { ClockText = T; }

    // The broadcasts with the given tag, without it.
    std::vector<std::string> Tagged(const std::string& Tag) const {
        std::vector<std::string> out;
        for (const auto& b : Broadcasts)
            if (b.rfind(Tag, 0) == 0) out.push_back(b.substr(Tag.size()));
        return out;
    }
};

struct RateGuard {
    explicit RateGuard(int32_t rate) { SetSampleRate(rate); }
    ~RateGuard() { SetSampleRate(11025); }
};

// The receiver's chain: a demodulator whose blocks go to the decoder's block handler,
// with the one-second timers on audio time.
struct Chain {
    TDisplayHost host;
    TNavtexDecoder dec{host};
    TModem modem;
    TDecodingChain chain;
    explicit Chain(int32_t centre = 1000) : chain(modem, dec, centre, 170) {}
    // Feeds whole blocks.
    void Feed(const std::vector<int16_t>& s) {
        for (size_t off = 0; off + 1024 <= s.size(); off += 1024)
            chain.ProcessBlock(std::span<const int16_t>(s.data() + off, 1024));
    }
};

std::vector<int16_t> Tones(std::initializer_list<double> freqs, size_t n, double amp = 8000) {
    std::vector<int16_t> s(n);
    for (size_t i = 0; i < n; ++i) {
        double v = 0;
        for (double f : freqs) v += amp * std::sin(2 * std::numbers::pi * f * double(i) / SampleRate);
        s[i] = int16_t(std::lround(v));
    }
    return s;
}

TNvector AsDoubles(const std::vector<int16_t>& s) { return TNvector(s.begin(), s.end()); }

}  // namespace

TEST(ModemBlockDone, BitBufferIsHandedOverAfterFourteenBlocksAt11025) {
    Chain c;
    std::vector<int16_t> silence(1024, 0);
    size_t longest = 0;
    for (int i = 1; i <= 13; ++i) {
        c.Feed(silence);
        longest = std::max(longest, c.dec.FBitBuffer.size());
    }
    EXPECT_GE(longest, 117u);
    EXPECT_LT(longest, 126u);
    c.Feed(silence);
    EXPECT_TRUE(c.dec.FBitBuffer.empty());
}

TEST(ModemBlockDone, FailingCharacterStageLosesItsBitsButNotTheBlock) {
    TDisplayHost host;
    TNavtexDecoder dec(host);
    host.OnLed = [](TDecoderLed led, bool on) {
        if (led == TDecoderLed::LedSync && on) throw std::runtime_error("LED broken");
    };
    const std::string bits = test::FecBits(test::EncodeText("RYRYRYRY THE QUICK BROWN FOX"), 12);
    const TNvector block(1024, 0.0);
    const std::vector<int32_t> pll(1024, 0);
    size_t pos = 0, longest = 0;
    for (int i = 0; i < 30; ++i) {
        dec.ModemBlockDone(bits.substr(pos, 13), 0, block, block, pll);
        pos += 13;
        longest = std::max(longest, dec.FBitBuffer.size());
    }
    // The failure is reported, but neither in the system log nor to the TCP clients.
    EXPECT_NE(std::find(host.Failures.begin(), host.Failures.end(), "Decoder error: LED broken"), host.Failures.end());
    for (const auto* lines : {&host.Log, &host.Broadcasts})
        for (const std::string& line : *lines) EXPECT_EQ(line.find("LED broken"), std::string::npos) << line;
    EXPECT_LT(longest, 126u);                // never replayed and grown
    EXPECT_EQ(host.Tagged("S#").size(), 3u);  // the status round went on
    EXPECT_EQ(dec.BlockCounter, 30);
}

TEST(SmoothAfcFrequency, DampsSmallMovesAndTakesJumps) {
    struct Case { int32_t previous, f, want; } cases[] = {
        {1200, 1207, 1206}, {1260, 1200, 1200}, {1200, 1174, 1174}, {1200, 1175, 1180}, {1000, 1000, 1000},
        {1200, 1202, 1202},  // 1201.6 rounds to 1202
    };
    for (const auto& c : cases) {
        TDisplayHost host;
        TNavtexDecoder dec(host);
        dec.AfcPrevious = c.previous;
        EXPECT_EQ(dec.SmoothAfcFrequency(c.f), c.want) << c.previous << " -> " << c.f;
        EXPECT_EQ(dec.AfcPrevious, c.want);
    }
}

TEST(SmoothLevel, CoefficientFollowsTheDistance) {
    TDisplayHost host;
    TNavtexDecoder dec(host);
    struct Step { double x, want; } steps[] = {{60, 60}, {70, 60.25}, {80, 60.25 + 0.1 * 19.75}, {0, 0}};
    for (const auto& s : steps) EXPECT_DOUBLE_EQ(dec.SmoothLevel(s.x), s.want) << s.x;
    EXPECT_DOUBLE_EQ(dec.SmoothQuality(100), 2.5);
    EXPECT_DOUBLE_EQ(dec.SmoothQuality(100), 2.5 + 0.025 * 97.5);
}

TEST(ModemBlockDone, TracksANearbySignalAndShowsButKeepsAFarOne) {
    // 60 Hz off: moved at the first tick.
    {
        Chain c(1000);
        c.Feed(Tones({1060 - 85, 1060 + 85}, 1024 * 12));
        EXPECT_TRUE(c.host.LedStatus[TDecoderLed::ledCanTune]);
        EXPECT_LE(std::abs(c.modem.FCenter - 1060), 8);
        EXPECT_EQ(c.dec.FAfcCentre, c.modem.FCenter);
        EXPECT_FALSE(c.dec.FAfcRequest);
    }
    // 300 Hz from the demodulator but inside the operator's band: found, lit, not applied.
    {
        Chain c(1000);
        c.dec.FAfcLow = 1050;
        c.dec.FAfcHigh = 1550;
        c.Feed(Tones({1300 - 85, 1300 + 85}, 1024 * 20));
        EXPECT_TRUE(c.host.LedStatus[TDecoderLed::ledCanTune]);
        EXPECT_LE(std::abs(c.dec.FAfcCentre - 1300), 8);
        EXPECT_EQ(c.modem.FCenter, 1000);
        EXPECT_EQ(c.host.Tagged("A#").back(), "1");
    }
    // Tracking off: nothing moves and the request waits.
    {
        Chain c(1000);
        c.host.Track = false;
        c.Feed(Tones({1060 - 85, 1060 + 85}, 1024 * 12));
        EXPECT_EQ(c.modem.FCenter, 1000);
        EXPECT_TRUE(c.dec.FAfcRequest);
        c.dec.cbTrackClick();
        EXPECT_EQ(c.host.Log.back(), "Auto Tuning: OFF");
        EXPECT_FALSE(c.host.LedStatus[TDecoderLed::ledCanTune]);
        c.host.Track = true;
        c.dec.cbTrackClick();
        EXPECT_EQ(c.host.Log.back(), "Auto Tuning: ON");
    }
}

TEST(ModemBlockDone, StatusRoundOrderAndSpectrumShape) {
    for (int32_t rate : {11025, 12000}) {
        RateGuard g(rate);
        Chain c(1000);
        c.Feed(Tones({915, 1085}, 1024 * 10));  // under a second: no timer
        ASSERT_EQ(c.host.Broadcasts.size(), 6u);
        const char* tags[] = {"S#0", "L#", "A#0", "F#1000", "Y#", "E#"};
        for (int i = 0; i < 6; ++i) EXPECT_EQ(c.host.Broadcasts[i].rfind(tags[i], 0), 0u) << c.host.Broadcasts[i];
        // The numbers: the last block's quality and the gauge's position, halves to even.
        EXPECT_EQ(c.host.Broadcasts[1], "L#" + std::to_string(int(std::nearbyint(c.dec.FSignalQuality))));
        EXPECT_EQ(c.host.Broadcasts[3], "F#1000");
        EXPECT_EQ(c.host.Broadcasts[5],
                  "E#" + std::to_string(int(std::nearbyint(c.host.Gauges[TDecoderGauge::ErrGauge]))));
        EXPECT_GT(c.dec.FSignalQuality, 50);
        const std::string y = c.host.Tagged("Y#")[0];
        std::vector<std::string> fields;
        size_t start = 0;
        for (size_t p; (p = y.find(';', start)) != std::string::npos; start = p + 1) fields.push_back(y.substr(start, p - start));
        fields.push_back(y.substr(start));
        ASSERT_EQ(fields.size(), 1024u);
        EXPECT_EQ(fields[0] + ";" + fields[1], "0;0");
        // The last point goes on half a step: 511 x rate / 2048 Hz, not back to 0.
        EXPECT_EQ(fields[1022], std::to_string(std::llrint(511.0 * rate / 2048)));
        if (rate == 12000) {
            EXPECT_EQ(fields[2 * 96], "562");  // 562.5 rounds to even
        }
        int peak = 0;
        for (size_t i = 1; i < fields.size(); i += 2) peak = std::max(peak, std::stoi(fields[i]));
        EXPECT_EQ(peak, 100);
        EXPECT_EQ(c.host.History.size(), 2u);
        EXPECT_EQ(c.host.HistoryAxes.size(), 1u);
        EXPECT_EQ(c.host.WaterfallLines, 10);
    }
}

TEST(ModemBlockDone, QualityHistoryEveryFifthBlockOnAnHourLongAxis) {
    TDisplayHost host;
    TNavtexDecoder dec(host);
    const std::vector<int32_t> pll(1024, 0);
    const TNvector zeros(1024, 0.0), tone = AsDoubles(Tones({1000}, 1024));
    const auto blocks = [&](int n) {
        for (int i = 0; i < n; ++i) dec.ModemBlockDone("", 0, tone, zeros, pll);
    };
    const double start = host.Clock;
    blocks(4);
    EXPECT_TRUE(host.History.empty());
    blocks(1);
    ASSERT_EQ(host.History.size(), 1u);
    EXPECT_EQ(host.History[0].first, start);
    EXPECT_EQ(host.History[0].second, host.Gauges[TDecoderGauge::ErrGauge]);
    EXPECT_EQ(host.HistoryAxes, (std::vector<std::pair<double, double>>{{start, start + 1.0 / 24}}));
    // Within the hour the axis stays; once the clock reaches its end it starts again.
    host.Clock = start + 0.5 / 24;
    blocks(5);
    EXPECT_EQ(host.HistoryAxes.size(), 1u);
    host.Clock = start + 1.0 / 24;
    blocks(5);
    ASSERT_EQ(host.HistoryAxes.size(), 2u);
    EXPECT_EQ(host.HistoryAxes[1], std::make_pair(host.Clock, host.Clock + 1.0 / 24));
    EXPECT_EQ(host.History.size(), 3u);
}

TEST(ModemBlockDone, TrackedCentreIsSmoothedBeforeTheDemodulatorMoves) {
    // The previous result 1000 and a signal about 19 Hz above it: the demodulator goes to
    // Round(0.8 * found + 0.2 * 1000), between the two and off the 8 Hz candidate grid
    // (835, 843, ... for the band 750 .. 1250).
    Chain c(1000);
    c.dec.AfcPrevious = 1000;
    c.Feed(Tones({1019 - 85, 1019 + 85}, 1024 * 12));
    EXPECT_TRUE(c.host.LedStatus[TDecoderLed::ledCanTune]);
    EXPECT_GT(c.modem.FCenter, 1000);
    EXPECT_LT(c.modem.FCenter, 1019);
    EXPECT_NE((c.modem.FCenter - 835) % 8, 0) << c.modem.FCenter;
    EXPECT_EQ(c.dec.AfcPrevious, c.modem.FCenter);
}

TEST(ModemBlockDone, CrestFactorQualityOfToneNoiseAndSilence) {
    TDisplayHost host;
    TNavtexDecoder dec(host);
    const std::vector<int32_t> pll(1024, 0);
    const TNvector zeros(1024, 0.0);
    dec.ModemBlockDone("", 0, AsDoubles(Tones({1000}, 1024)), zeros, pll);
    EXPECT_NEAR(dec.FSignalQuality, 83.4, 1.0);
    {
        // Exactly 20 * (7 - range / sd), sd the sample standard deviation (divisor n - 1).
        const TNvector x = AsDoubles(Tones({1000}, 1024));
        const double mean = std::accumulate(x.begin(), x.end(), 0.0) / 1024;
        double ss = 0;
        for (double v : x) ss += (v - mean) * (v - mean);
        const auto [lo, hi] = std::minmax_element(x.begin(), x.end());
        EXPECT_NEAR(dec.FSignalQuality, 20 * (7 - (*hi - *lo) / std::sqrt(ss / 1023)), 1e-9);
    }
    EXPECT_NEAR(host.Gauges[TDecoderGauge::ErrGauge], 0.025 * dec.FSignalQuality, 1e-3);
    const double tone = dec.FSignalQuality;
    // sd 0: nothing changes.
    dec.ModemBlockDone("", 0, TNvector(1024, 5.0), zeros, pll);
    EXPECT_EQ(dec.FSignalQuality, tone);
    std::mt19937 rng(1);
    std::normal_distribution<double> noise(0, 3000);
    TNvector n(1024);
    for (auto& v : n) v = noise(rng);
    host.Snr = 10;
    dec.ModemBlockDone("", 0, n, zeros, pll);
    EXPECT_LT(dec.FSignalQuality, 30);
    EXPECT_NEAR(host.Gauges[TDecoderGauge::ErrGauge], dec.FQualityAverage - 10, 1e-3);
    EXPECT_EQ(host.Captions[TDecoderGauge::Gaugelvl].back(), '%');
}

TEST(ModemBlockDone, DisplaysFollowTheirSwitches) {
    TDisplayHost host;
    TNavtexDecoder dec(host);
    std::vector<int32_t> pll(1024, 0);
    pll[3] = 1;
    const TNvector zeros(1024, 0.0), tone = AsDoubles(Tones({1000}, 1024));
    host.ScopeSel = 4;
    host.ScopeScale = 2;
    host.OneShot = true;
    host.SpectrumPage = true;
    host.Freeze = true;
    dec.ModemBlockDone("", 0, tone, zeros, pll);
    ASSERT_EQ(host.Scopes.size(), 1u);
    EXPECT_EQ(host.Scopes[0][3], 25.0);
    EXPECT_EQ(host.Scopes[0][4], -25.0);
    EXPECT_EQ(host.ScopeScales[0], 4);
    EXPECT_EQ(host.ScopeSel, 0);  // one shot
    EXPECT_EQ(host.Series.size(), 511u);
    EXPECT_EQ(host.Repaints, 0);
    // The waterfall gets the block's own spectrum, normalised, and the speed counted
    // from the slider's far end.
    EXPECT_EQ(host.WaterfallPeak, 100.0);
    EXPECT_EQ(host.WaterfallSpeed, 1);
    host.WaterfallPosition = 45;
    host.Raw = true;
    dec.ModemBlockDone("", 0, tone, zeros, pll);
    EXPECT_EQ(host.Scopes.size(), 1u);
    EXPECT_EQ(host.WaterfallSpeed, 16);
    double peak = 0;
    for (const auto& p : host.Series) peak = std::max(peak, p.Mag);
    EXPECT_EQ(peak, 100.0);  // "RAW": the instantaneous spectrum, normalised
}

TEST(ModemBlockDone, StatusRoundReportsSyncAndAFailedSearch) {
    TDisplayHost host;
    TNavtexDecoder dec(host);
    const std::vector<int32_t> pll(1024, 0);
    const TNvector zeros(1024, 0.0);
    dec.FNotSynced = false;
    dec.FCanTune = true;
    dec.FAfcRequest = true;
    for (int i = 0; i < 10; ++i) dec.ModemBlockDone("", 0, zeros, zeros, pll);
    // Silence has no spectrum: nothing found, and the LED and "A#" say so.
    EXPECT_FALSE(dec.FAfcRequest);
    EXPECT_FALSE(host.LedStatus[TDecoderLed::ledCanTune]);
    EXPECT_EQ(host.Tagged("S#"), std::vector<std::string>{"1"});
    EXPECT_EQ(host.Tagged("A#"), std::vector<std::string>{"0"});
    EXPECT_EQ(host.Tagged("L#"), std::vector<std::string>{"0"});
}

TEST(Timer1Timer, ShowsTheClockAndSendsIt) {
    TDisplayHost host;
    TNavtexDecoder dec(host);
    dec.Timer1Timer();
    EXPECT_EQ(host.ClockText, "12:34:56 UTC");
    EXPECT_EQ(host.Broadcasts.back(), "U#12:34:56 UTC");
    EXPECT_EQ(host.Captions[TDecoderGauge::GaugeCPU].substr(0, 4), "    ");
    dec.TrackTimerTimer();
    EXPECT_TRUE(dec.FAfcRequest);
}

TEST(Tracking, ExampleRecordingDecodesWhenTunedHundredHertzHigh) {
    const TWavData wav = ReadWavFile(std::string(TILO_TESTDATA_DIR) + "/sitor_b_example_11025.wav");
    ASSERT_EQ(wav.SampleRate, 11025);
    Chain c(1100);
    c.Feed(wav.Samples);
    EXPECT_LE(std::abs(c.modem.FCenter - 1000), 20) << c.modem.FCenter;
    EXPECT_NE(c.dec.FTickerBuffer.find("GOOD MEN TO COME TO THE AID"), std::string::npos) << c.dec.FTickerBuffer;
}

TEST(Tracking, SynthesisedMessageOffTheTunedCentreIsDecodedAfterTheMove) {
    const TSynthMessage msg{"THE QUICK BROWN FOX JUMPS OVER THE LAZY DOG 0123456789", "EA01"};
    for (int32_t offset : {60, 150}) {
        TSynthOptions opt;
        opt.Centre = 1000 + offset;
        opt.SnrDb = 10;
        const std::vector<int16_t> audio = SynthesiseNavtex(msg, opt);
        Chain c(1000);
        c.Feed(audio);
        EXPECT_LE(std::abs(c.modem.FCenter - opt.Centre), 8) << offset;
        EXPECT_NE(c.dec.FTickerBuffer.find("ZCZC EA01  THE QUICK BROWN FOX JUMPS OVER THE LAZY DOG 0123456789  NNNN"),
                  std::string::npos)
            << offset << ": " << c.dec.FTickerBuffer;
        EXPECT_TRUE(std::any_of(c.host.Records.begin(), c.host.Records.end(), [](const auto& r) {
            return r.IdLetter == 'E' && r.MsgText.find("LAZY DOG 0123456789") != std::string::npos;
        }));
        if (offset == 150) {  // without tracking the tones miss the filters
            Chain fixed(1000);
            fixed.host.Track = false;
            fixed.Feed(audio);
            EXPECT_EQ(fixed.dec.FTickerBuffer.find("LAZY DOG"), std::string::npos);
        }
    }
}
