#include "decoder/UWavein4.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <deque>
#include <filesystem>

#include "platform/AlsaCapture.h"
#include "platform/WavFile.h"
#include "platform/WavFileSource.h"

using namespace tilo;

namespace {

// Records the calls the reader makes; serves Available samples, counting up from 0, after
// failing one read for each code in Errors.
class TFakeSource : public TAudioSource {
public:
    int32_t Devices = 1;
    int32_t Available = 0;
    int16_t Next = 0;
    std::deque<int32_t> Errors;
    short Events = POLLIN;  // what the polled descriptors mean
    int32_t Retry = -1;
    int32_t Reads = 0;
    std::vector<std::string>* Calls;
    explicit TFakeSource(std::vector<std::string>* calls) : Calls(calls) {}
    int32_t DeviceCount() override { return Devices; }
    TAudioError QueryFormat(int32_t) override { return {}; }
    TAudioError Open(int32_t, int32_t) override { Calls->push_back("open"); return {}; }
    TAudioError Start() override { Calls->push_back("start"); return {}; }
    TAudioError Reset() override { Calls->push_back("reset"); return {}; }
    TAudioError Close() override { Calls->push_back("close"); return {}; }
    std::vector<pollfd> PollDescriptors() override { return {}; }
    short PollEvents(std::span<pollfd>) override { return Events; }
    int32_t RetryAfterMs() const override { return Retry; }
    int64_t Read(int16_t* Dest, std::size_t Count, TAudioError& Err) override {
        ++Reads;
        if (!Errors.empty()) {
            Err = TAudioError{Errors.front(), "fake failure " + std::to_string(Errors.front())};
            Errors.pop_front();
            return -1;
        }
        const int32_t n = std::min<int32_t>(Available, int32_t(Count));
        for (int32_t i = 0; i < n; ++i) Dest[i] = Next++;
        Available -= n;
        return n;
    }
    std::string Name() const override { return "fake"; }
};

struct Log {
    std::vector<std::string> lines;
    TWaveIn::TLogProc Proc() { return [this](const std::string& s) { lines.push_back(s); }; }
    bool Has(const std::string& s) const { return std::find(lines.begin(), lines.end(), s) != lines.end(); }
};

}  // namespace

TEST(TWaveIn, WavFileDeliversBuffersInOrderWithExactSamplesAndReportsEnd) {
    const auto path = (std::filesystem::temp_directory_path() / ("tilo_wavein_" + std::to_string(::getpid()) + ".wav")).string();
    std::vector<int16_t> samples(3 * 1024 + 100);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = int16_t(int32_t(i * 37 % 65536) - 32768);
    WriteWavFile(path, 11025, samples);

    Log log;
    std::vector<int16_t> got;
    std::vector<int32_t> queuedInCallback;
    TWaveIn* self = nullptr;
    TWaveIn w(std::make_unique<TWavFileSource>(path, false),
              [&](const int16_t* s, int32_t n) {
                  EXPECT_EQ(n, 1024);
                  self->AddNextBuffer();
                  queuedInCallback.push_back(self->QueuedNow());
                  got.insert(got.end(), s, s + n);
              },
              8, 2048, log.Proc());
    self = &w;
    // The end hook runs after the last buffer and before the end is reported.
    w.OnEnd = [&] { log.lines.push_back("end hook after " + std::to_string(got.size())); };
    std::vector<std::string> problems;
    w.OnProblem = [&](const std::string& t) { problems.push_back(t); };
    ASSERT_TRUE(w.Ready());
    ASSERT_TRUE(w.Open(-1, 11025));
    EXPECT_EQ(w.QueuedNow(), 0);
    ASSERT_TRUE(w.Start());
    EXPECT_EQ(w.QueuedNow(), 7);
    EXPECT_EQ(w.PollDescriptors().size(), 1u);
    for (int i = 0; i < 10 && w.Recording(); ++i) w.HandleEvents();
    EXPECT_FALSE(w.Recording());
    EXPECT_FALSE(w.IsOpen());
    EXPECT_TRUE(w.AtEnd());
    ASSERT_EQ(got.size(), 4u * 1024);
    EXPECT_TRUE(std::equal(samples.begin(), samples.end(), got.begin()));
    EXPECT_TRUE(std::all_of(got.begin() + samples.size(), got.end(), [](int16_t v) { return v == 0; }));
    EXPECT_EQ(queuedInCallback, (std::vector<int32_t>{7, 7, 7, 7}));
    EXPECT_TRUE(log.Has("WaveIn Open OK"));
    const auto end = std::find(log.lines.begin(), log.lines.end(), "End of audio file \"" + path + "\"");
    ASSERT_NE(end, log.lines.end());
    EXPECT_EQ(*(end - 1), "end hook after 4096");
    EXPECT_EQ(log.lines.back(), "Input Device closed.");
    EXPECT_EQ(problems, std::vector<std::string>{});
    std::filesystem::remove(path);
}

TEST(TWaveIn, ATruncatedFileIsPlayedToItsEndWithItsWarningAsAProblem) {
    const auto path = (std::filesystem::temp_directory_path() / ("tilo_wavein_cut_" + std::to_string(::getpid()) + ".wav")).string();
    WriteWavFile(path, 11025, std::vector<int16_t>(3000, 7));
    std::filesystem::resize_file(path, 44 + 2 * 1500);
    Log log;
    std::vector<std::string> problems;
    int32_t buffers = 0;
    TWaveIn* self = nullptr;
    TWaveIn w(std::make_unique<TWavFileSource>(path, false), [&](const int16_t*, int32_t) { ++buffers, self->AddNextBuffer(); },
              8, 2048, log.Proc());
    self = &w;
    w.OnProblem = [&](const std::string& t) { problems.push_back(t); };
    ASSERT_TRUE(w.Open(-1, 11025));
    ASSERT_TRUE(w.Start());
    for (int i = 0; i < 10 && w.Recording(); ++i) w.HandleEvents();
    EXPECT_EQ(buffers, 2);
    const std::string warning =
        "WAV file \"" + path + "\": the data ends after 1500 of 3000 samples; played as far as it goes";
    EXPECT_EQ(problems, std::vector<std::string>{warning});
    EXPECT_TRUE(log.Has(warning));
    EXPECT_TRUE(log.Has("End of audio file \"" + path + "\""));
    std::filesystem::remove(path);
}

TEST(TWaveIn, BadWavFilesAreReportedAtOpen) {
    const auto dir = std::filesystem::temp_directory_path();
    const auto rate = (dir / ("tilo_wavein_rate_" + std::to_string(::getpid()) + ".wav")).string();
    WriteWavFile(rate, 12000, std::vector<int16_t>(100, 1));
    struct Case { std::string file; std::string prefix; } cases[] = {
        {(dir / "tilo_no_such.wav").string(), "Could not open the input device for recording: errorcode = 00000002\r "},
        {rate, "WaveIn format query: format not supported\r error code=00000016\r\n"},
    };
    for (const auto& c : cases) {
        Log log;
        TWaveIn w(std::make_unique<TWavFileSource>(c.file, false), {}, 8, 2048, log.Proc());
        std::vector<std::string> problems;
        w.OnProblem = [&](const std::string& t) { problems.push_back(t); };
        EXPECT_FALSE(w.Open(-1, 11025));
        EXPECT_EQ(problems, std::vector<std::string>{w.LastMessage()});
        EXPECT_FALSE(w.IsOpen());
        EXPECT_EQ(w.LastMessage().rfind(c.prefix, 0), 0u) << w.LastMessage();
        EXPECT_FALSE(w.Start());
        EXPECT_EQ(w.LastMessage().rfind("Error starting wavein, close attempted: ", 0), 0u);
    }
    std::filesystem::remove(rate);
}

TEST(TWaveIn, BufferCountsOutsideTwoToSixteenAreRefused) {
    struct Case { int32_t count; int32_t size; bool ready; } cases[] = {
        {17, 2048, false}, {1, 2048, false}, {0, 2048, false}, {8, 1, false}, {2, 2048, true}, {16, 2048, true}};
    for (const auto& c : cases) {
        std::vector<std::string> calls;
        Log log;
        TWaveIn w(std::make_unique<TFakeSource>(&calls), {}, c.count, c.size, log.Proc());
        EXPECT_EQ(w.Ready(), c.ready) << c.count;
        EXPECT_EQ(log.lines.empty(), c.ready) << c.count;
        if (!c.ready) {
            EXPECT_FALSE(w.Open(-1, 11025));
        }
    }
}

TEST(TWaveIn, OddBufferSizeRecordsWholeSamples) {
    std::vector<std::string> calls;
    TWaveIn w(std::make_unique<TFakeSource>(&calls), {}, 4, 2049);
    ASSERT_TRUE(w.Open(-1, 11025));
    EXPECT_EQ(w.BufferLength(), 2048);
}

TEST(TWaveIn, WithoutDevicesReportsAndStaysNotReady) {
    std::vector<std::string> calls;
    auto src = std::make_unique<TFakeSource>(&calls);
    src->Devices = 0;
    Log log;
    TWaveIn w(std::move(src), {}, 8, 2048, log.Proc());
    EXPECT_FALSE(w.Ready());
    EXPECT_EQ(log.lines, std::vector<std::string>{"No wave audio recording devices found"});
    EXPECT_FALSE(w.Open(-1, 11025));
    EXPECT_TRUE(calls.empty());
}

TEST(TWaveIn, MachineWithoutCaptureDevicesHasNoReader) {
    if (TAlsaCapture().DeviceCount() > 0) GTEST_SKIP() << "this machine has a capture device";
    ::unsetenv("TILO_AUDIO_FILE");
    Log log;
    TWaveIn w({}, 8, 2048, log.Proc());
    EXPECT_FALSE(w.Ready());
    EXPECT_EQ(w.LastMessage(), "No wave audio recording devices found");
    EXPECT_TRUE(w.PollDescriptors().empty());
}

TEST(TWaveIn, PartialReadsWaitAndBuffersWithoutRequeueStopFilling) {
    std::vector<std::string> calls;
    auto owned = std::make_unique<TFakeSource>(&calls);
    TFakeSource* src = owned.get();
    std::vector<int16_t> firsts;
    TWaveIn w(std::move(owned), [&](const int16_t* s, int32_t) { firsts.push_back(s[0]); }, 3, 8);
    ASSERT_TRUE(w.Open(-1, 11025));
    ASSERT_TRUE(w.Start());
    EXPECT_EQ(w.QueuedNow(), 2);
    src->Available = 3;
    w.HandleEvents();
    EXPECT_TRUE(firsts.empty());  // 3 of 4 samples: not full yet
    src->Available = 100;
    w.HandleEvents();
    // The owner never re-queued: only the two queued buffers are filled.
    EXPECT_EQ(firsts, (std::vector<int16_t>{0, 4}));
    EXPECT_EQ(src->Available, 100 - 5);
    EXPECT_TRUE(w.Recording());
}

TEST(TWaveIn, DoubleQueueingStopsRecordingWithOneReport) {
    std::vector<std::string> calls;
    Log log;
    TWaveIn w(std::make_unique<TFakeSource>(&calls), {}, 2, 8, log.Proc());
    ASSERT_TRUE(w.Open(-1, 11025));
    ASSERT_TRUE(w.Start());
    EXPECT_TRUE(w.AddNextBuffer());   // buffer 1
    EXPECT_FALSE(w.AddNextBuffer());  // buffer 0 is still waiting
    EXPECT_FALSE(w.Recording());
    EXPECT_EQ(std::count_if(log.lines.begin(), log.lines.end(),
                            [](const std::string& s) { return s.rfind("Error adding buffer, recording stopped: ", 0) == 0; }),
              1);
}

TEST(TWaveIn, DestructorStopsCaptureFirst) {
    std::vector<std::string> calls;
    {
        TWaveIn w(std::make_unique<TFakeSource>(&calls), {}, 8, 2048);
        ASSERT_TRUE(w.Open(-1, 11025));
        ASSERT_TRUE(w.Start());
    }
    EXPECT_EQ(calls, (std::vector<std::string>{"open", "start", "reset", "close"}));
}

TEST(TWaveIn, OverrunAndSuspensionAreReportedOnceAndRecordingGoesOn) {
    struct Case { std::deque<int32_t> Errors; std::string Report; bool Recording; } Cases[] = {
        {{EPIPE}, "Recording overrun, samples lost", true},
        {{EPIPE, EPIPE, EPIPE}, "Recording overrun, samples lost", true},  // one per call, never a loop
        {{ESTRPIPE}, "Recording device suspended, resuming", true},
        {{EIO}, "Error reading from the input device, recording stopped: fake failure 5", false},
    };
    for (const Case& C : Cases) {
        std::vector<std::string> calls;
        auto owned = std::make_unique<TFakeSource>(&calls);
        TFakeSource* src = owned.get();
        Log log;
        int32_t delivered = 0;
        TWaveIn* self = nullptr;
        TWaveIn w(std::move(owned), [&](const int16_t*, int32_t) { ++delivered; self->AddNextBuffer(); }, 4, 8,
                  log.Proc());
        self = &w;
        ASSERT_TRUE(w.Open(-1, 11025));
        ASSERT_TRUE(w.Start());
        src->Errors = C.Errors;
        src->Available = 8;
        log.lines.clear();
        w.HandleEvents();
        ASSERT_FALSE(log.lines.empty());
        EXPECT_EQ(log.lines[0], C.Report);
        EXPECT_EQ(std::count(log.lines.begin(), log.lines.end(), C.Report), 1) << C.Report;
        EXPECT_EQ(src->Reads, 1) << C.Report;
        EXPECT_EQ(w.Recording(), C.Recording) << C.Report;
        if (!C.Recording) continue;
        // Later calls report each remaining overrun once, then the samples come.
        for (int i = 0; i < 4; ++i) w.HandleEvents();
        EXPECT_EQ(long(log.lines.size()), long(C.Errors.size())) << C.Report;
        EXPECT_EQ(delivered, 2) << C.Report;
    }
}

TEST(TWaveIn, PolledDescriptorsAreTranslatedByTheSource) {
    std::vector<std::string> calls;
    auto owned = std::make_unique<TFakeSource>(&calls);
    TFakeSource* src = owned.get();
    TWaveIn w(std::move(owned), {}, 4, 8);
    ASSERT_TRUE(w.Open(-1, 11025));
    ASSERT_TRUE(w.Start());
    src->Available = 0;  // every read finds nothing: one read per call
    std::vector<pollfd> fds{pollfd{3, POLLIN, POLLIN}};
    struct Step { short Events; int32_t Retry; int32_t Reads; } Steps[] = {
        {0, -1, 0},            // the raw descriptor was readable, but not the device
        {POLLIN, -1, 1},
        {POLLERR, -1, 2},      // a read tells what is wrong
        {0, 100, 3},           // a resume is pending: read anyway
    };
    for (const Step& S : Steps) {
        src->Events = S.Events;
        src->Retry = S.Retry;
        w.HandleEvents(fds);
        EXPECT_EQ(src->Reads, S.Reads) << S.Events << " " << S.Retry;
        EXPECT_EQ(w.RetryAfterMs(), S.Retry);
    }
}
