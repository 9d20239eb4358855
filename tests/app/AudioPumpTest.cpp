// The sound input on the event loop: a recording through the main window's whole path
// (notifier, reader, modem, decoder, current-message memo), the end of a file, a
// suspended device woken only by its retry time, and a restart of capture.
#include <QPlainTextEdit>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "MainTestKit.h"
#include "NavtexSynth.h"
#include "QtTestApp.h"
#include "app/AudioPump.h"
#include "decoder/UCommon.h"
#include "decoder/UWavein4.h"
#include "platform/WavFile.h"
#include "platform/WavFileSource.h"

namespace fs = std::filesystem;
using namespace tilo;

namespace {

// Suspended at first: one ESTRPIPE, then nothing until Resumed, then samples without
// end. It has no descriptor, so only the retry time wakes its owner.
class TSuspendedSource : public TAudioSource {
public:
    bool Resumed = false;
    int32_t Reads = 0;
    int32_t DeviceCount() override { return 1; }
    TAudioError QueryFormat(int32_t) override { return {}; }
    TAudioError Open(int32_t, int32_t) override { return {}; }
    TAudioError Start() override { return {}; }
    TAudioError Reset() override { return {}; }
    TAudioError Close() override { return {}; }
    std::vector<pollfd> PollDescriptors() override { return {}; }
    int32_t RetryAfterMs() const override { return 20; }
    int64_t Read(int16_t* Dest, std::size_t Count, TAudioError& Err) override {
        if (Reads++ == 0) {
            Err = {ESTRPIPE, "suspended"};
            return -1;
        }
        if (!Resumed) return 0;
        std::fill_n(Dest, Count, int16_t(0));
        return int64_t(Count);
    }
    std::string Name() const override { return "suspended"; }
};

struct AudioPump : testing::Test {
    std::string SavedHome;
    bool HadHome = false;
    void SetUp() override {
        if (const char* h = std::getenv("TILO_HOME")) HadHome = true, SavedHome = h;
        ::setenv("TILO_HOME", tilo_test::TempFolder().c_str(), 1);
        ::setenv("TILO_FEED_PORT", "0", 1);
    }
    void TearDown() override {
        if (HadHome) ::setenv("TILO_HOME", SavedHome.c_str(), 1);
        else ::unsetenv("TILO_HOME");
        ::unsetenv("TILO_FEED_PORT");
        SetSampleRate(11025);
    }
};

std::string Recording() {
    const fs::path file = fs::path(tilo_test::TempFolder()) / "two.wav";
    TSynthOptions o;
    o.Centre = 1200;
    std::vector<int16_t> audio;
    for (const char* h : {"EA01", "FB02"}) {
        const auto s = SynthesiseNavtex({std::string("MESSAGE ") + h + "\nSECOND LINE\n", h}, o);
        audio.insert(audio.end(), s.begin(), s.end());
    }
    WriteWavFile(file.string(), o.SampleRate, audio);
    return file.string();
}

int Count(const std::string& Text, const std::string& Part) {
    int n = 0;
    for (std::size_t p = 0; (p = Text.find(Part, p)) != std::string::npos; p += Part.size()) ++n;
    return n;
}

}  // namespace

TEST_F(AudioPump, AnUnpacedFileDecodesThroughTheNotifiersStopsAtItsEndAndRestarts) {
    const std::string file = Recording();
    TfrmMain w;
    w.AudioSourceFactory = [file] { return std::unique_ptr<TAudioSource>(new TWavFileSource(file, false)); };
    w.TimOpenDBTimer();
    ASSERT_TRUE(w.FWaveIn->Recording());
    EXPECT_EQ(w.FWaveIn->BufferCount(), 8);
    EXPECT_EQ(w.FWaveIn->BufferLength(), 2048);  // 1024 samples of 16 bits
    EXPECT_EQ(w.FWaveIn->DeviceId(), -1);
    EXPECT_GT(w.FAudioWindow->EnabledNotifiers(), 0);
    ASSERT_TRUE(tilo_test::WaitFor([&] { return !w.FWaveIn->Recording(); }, 20000));
    // Both messages went to the store, the last one when the file's end finished its
    // end line and before that end was reported; the current message is empty again.
    const std::string log = w.meSysLog->toPlainText().toStdString();
    EXPECT_EQ(Count(log, "Database: message EA01 (128 characters)"), 1) << log;
    EXPECT_EQ(Count(log, "Database: message FB02 (128 characters)"), 1) << log;
    EXPECT_LT(log.find("Database: message FB02"), log.find("End of audio file")) << log;
    EXPECT_EQ(w.meLog->toPlainText().toStdString(), "");
    // At the end the file's descriptor stays readable: nothing may watch it.
    EXPECT_EQ(w.FAudioWindow->EnabledNotifiers(), 0);
    EXPECT_FALSE(w.FAudioWindow->RetryPending());

    // Stop, Open, Start: the notifiers come back only with Rearm, then decoding goes on.
    w.FWaveIn->Stop();
    ASSERT_TRUE(w.FWaveIn->Open(-1, SampleRate));
    ASSERT_TRUE(w.FWaveIn->Start());
    EXPECT_EQ(w.FAudioWindow->EnabledNotifiers(), 0);
    w.FAudioWindow->Rearm();
    EXPECT_GT(w.FAudioWindow->EnabledNotifiers(), 0);
    ASSERT_TRUE(tilo_test::WaitFor([&] { return !w.FWaveIn->Recording(); }, 20000));
    EXPECT_EQ(Count(w.meSysLog->toPlainText().toStdString(), "Database: message EA01"), 2);
    EXPECT_EQ(Count(w.meSysLog->toPlainText().toStdString(), "Database: message FB02"), 2);
}

TEST_F(AudioPump, ASuspendedSourceIsReadAgainAfterItsRetryTime) {
    auto* source = new TSuspendedSource;
    int32_t buffers = 0;
    std::vector<std::string> log;
    TWaveIn in(std::unique_ptr<TAudioSource>(source), [&](const int16_t*, int32_t) { ++buffers, in.AddNextBuffer(); },
               4, 2048, [&](const std::string& t) { log.push_back(t); });
    ASSERT_TRUE(in.Open(-1, 11025));
    ASSERT_TRUE(in.Start());
    TAudioPump pump(in);
    pump.Rearm();
    EXPECT_EQ(pump.EnabledNotifiers(), 0);
    EXPECT_TRUE(pump.RetryPending());
    ASSERT_TRUE(tilo_test::WaitFor([&] { return source->Reads >= 3; }, 3000));
    EXPECT_NE(std::find(log.begin(), log.end(), "Recording device suspended, resuming"), log.end());
    EXPECT_EQ(buffers, 0);
    source->Resumed = true;
    ASSERT_TRUE(tilo_test::WaitFor([&] { return buffers >= 8; }, 3000));
    in.Stop();
    pump.Rearm();
    EXPECT_FALSE(pump.RetryPending());
}
