// A recording replayed through the real window into the real message store, as fast as
// possible and in real time: tracking and the clock run on the recording's own seconds,
// so a signal off the tuned centre is found, every message is stored with the time it
// had on the air, the last one too, and both replays store the same rows.
#include <QCoreApplication>
#include <QPlainTextEdit>
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "HomeFolder.h"
#include "MainTestKit.h"
#include "NavtexSynth.h"
#include "QtTestApp.h"
#include "app/DataModule.h"
#include "app/UCommon.h"
#include "classlib/DB.h"
#include "decoder/UCommon.h"
#include "decoder/UWavein4.h"
#include "decoder/uModem.h"
#include "engine/access/ORQMain.h"
#include "platform/WavFile.h"
#include "platform/WavFileSource.h"

namespace fs = std::filesystem;
using namespace tilo;

namespace {

struct TRow {
    std::string Time, Letter, Type, Serial, Station, Freq, Text;
    bool operator==(const TRow&) const = default;
};

void PrintTo(const TRow& R, std::ostream* Os) {
    *Os << R.Time << " " << R.Letter << R.Type << R.Serial << " " << R.Station << " " << R.Freq << " [" << R.Text
        << "]";
}

struct TBroadcast {
    std::string Header, Text;
};

struct Replay : testing::Test {
    fs::path Home;
    tilo_test::THomeFolder Folder;
    std::unique_ptr<TDataModule1> Module;
    std::unique_ptr<TfrmMain> W;
    const double Start = tilo_test::Utc(2026, 3, 16, 10, 20, 30);

    void SetUp() override {
        Folder.Enter();
        Home = Folder.Path;
        Folder.Defaults(tilo_test::OneStationFile, "GALE\r\n");
        std::ofstream(Home / "Tilo.ini", std::ios::binary) << "[SETTINGS]\r\nFREQ=1200\r\n";
    }
    void TearDown() override {
        Stop();
        Folder.Leave();
    }
    void Stop() {
        if (Module) Module->FOnMessage = nullptr, Module->FOnStationText = nullptr;
        W.reset();
        Module.reset();
    }

    // The recording: each broadcast with its own phasing, centred on Centre.
    static void Write(const fs::path& File, const std::vector<TBroadcast>& Broadcasts, double Centre) {
        TSynthOptions o;
        o.Centre = Centre;
        std::vector<int16_t> audio;
        for (const TBroadcast& b : Broadcasts) {
            const auto s = SynthesiseNavtex({b.Text, b.Header}, o);
            audio.insert(audio.end(), s.begin(), s.end());
        }
        WriteWavFile(File.string(), o.SampleRate, audio);
    }

    // Plays File through a fresh store and window until the recording ends; the system log.
    std::string Play(const fs::path& File, bool Paced) {
        Stop();
        fs::remove(Home / "TILO_DB.ORQ");
        fs::remove(Home / "LEX.ORQ");
        Module = std::make_unique<TDataModule1>();
        W = std::make_unique<TfrmMain>();
        W->DataModule1 = Module.get();
        W->ClockSource = [this] { return Start; };
        W->AudioSourceFactory = [File, Paced] { return std::make_unique<TWavFileSource>(File.string(), Paced); };
        W->TimOpenDBTimer();
        EXPECT_TRUE(W->FWaveIn && W->FWaveIn->Recording());
        EXPECT_TRUE(tilo_test::WaitFor([&] { return !W->FWaveIn->Recording(); }, 60000));
        return W->meSysLog->toPlainText().toStdString();
    }

    std::vector<TRow> Rows() const {
        std::vector<TRow> out;
        classlib::TDataSet& l = *Module->LogTable;
        for (l.First(); !l.Eof(); l.Next()) {
            auto f = [&](const char* Name) { return l.FieldByName(Name)->AsString(); };
            out.push_back({f("UTCRECEIVED"), f("IDLETTER"), f("MSGTYPE"), f("MSGNUMBER"), f("STATION"), f("FREQ"),
                           f("MSGTEXT")});
        }
        return out;
    }
};

std::string Seconds(double Days) { return std::to_string(std::lround(Days * 86400)); }

}  // namespace

TEST_F(Replay, AnUnpacedFileOffTheTunedCentreIsTrackedAndEveryMessageStoredWithItsAirTime) {
    const std::vector<TBroadcast> broadcasts = {{"EA01", "EQUATOR EAST\nGALE WARNING\n"},
                                                {"FB02", "ICE REPORT\nAREA TWO\n"},
                                                {"GC03", "LAST MESSAGE\nOF THE FILE\n"}};
    const fs::path file = Home / "off.wav";
    Write(file, broadcasts, 1100);
    const std::string log = Play(file, false);

    const std::vector<TRow> rows = Rows();
    ASSERT_EQ(rows.size(), 3u) << log;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(broadcasts[i].Header);
        EXPECT_EQ(rows[i].Letter + rows[i].Type + rows[i].Serial, broadcasts[i].Header);
        EXPECT_NE(rows[i].Text.find("NNNN"), std::string::npos) << rows[i].Text;
    }
    EXPECT_EQ(rows[0].Station, "EQE EQUATOR EAST,EE");
    // The last message is stored before the end of the file is reported.
    const std::size_t stored = log.find("Database: message GC03");
    ASSERT_NE(stored, std::string::npos) << log;
    EXPECT_LT(stored, log.find("End of audio file")) << log;
    // Tracking moved the demodulator onto the signal.
    EXPECT_NEAR(W->FModem->FCenter, 1100, 20);

    // Each time is the start plus the recording's seconds up to that message's header:
    // the first after its 2 s of phasing, the others a broadcast (over 5 s) apart, all
    // within the file.
    const double length = double(ReadWavFile(file.string()).Samples.size()) / 11025 / 86400;
    double previous = Start - 3.0 / 86400;
    for (const TRow& r : rows) {
        double t = 0;
        ASSERT_TRUE(classlib::TryStrToDateTime(r.Time, t)) << r.Time;
        EXPECT_GT(t, previous + 5.0 / 86400) << Seconds(t - Start);
        EXPECT_LT(t, Start + length) << Seconds(t - Start);
        previous = t;
    }
}

TEST_F(Replay, PacedAndUnpacedReplaysStoreTheSameRows) {
    const fs::path file = Home / "one.wav";
    Write(file, {{"EA07", "GALE\n"}}, 1100);
    Play(file, true);
    const std::vector<TRow> paced = Rows();
    Play(file, false);
    const std::vector<TRow> unpaced = Rows();
    ASSERT_EQ(paced.size(), 1u);
    EXPECT_EQ(unpaced, paced);
}

namespace {

// A recording of Seconds of silence whose read fails after that: it ends without its end.
class TFailingRecording : public TAudioSource {
public:
    explicit TFailingRecording(int Seconds) : FLeft(std::size_t(Seconds) * 11025) {}
    int32_t DeviceCount() override { return 1; }
    TAudioError QueryFormat(int32_t) override { return {}; }
    TAudioError Open(int32_t, int32_t) override { return {}; }
    TAudioError Start() override { return {}; }
    TAudioError Reset() override { return {}; }
    TAudioError Close() override { return {}; }
    std::vector<pollfd> PollDescriptors() override { return {}; }
    int32_t RetryAfterMs() const override { return 1; }
    bool Finite() const override { return true; }
    int64_t Read(int16_t* Dest, std::size_t Count, TAudioError& Err) override {
        if (FLeft == 0) {
            Err = {EIO, "the disk went away"};
            return -1;
        }
        const std::size_t n = std::min(Count, FLeft);
        std::fill_n(Dest, n, int16_t(0));
        FLeft -= n;
        return int64_t(n);
    }
    std::string Name() const override { return "failing recording"; }

private:
    std::size_t FLeft;
};

}  // namespace

// The clock runs on the recording's samples while it plays and goes on from its time
// when it stops, also when it stops on an error: never back to an earlier wall time.
TEST_F(Replay, TheClockGoesOnFromTheRecordingsTimeWhenItStops) {
    double wall = Start;
    Module = std::make_unique<TDataModule1>();
    W = std::make_unique<TfrmMain>();
    W->DataModule1 = Module.get();
    W->ClockSource = [&] { return wall; };
    W->AudioSourceFactory = [] { return std::make_unique<TFailingRecording>(5); };
    W->TimOpenDBTimer();
    ASSERT_TRUE(tilo_test::WaitFor([&] { return !W->FWaveIn->Recording(); }, 20000));
    // 5 s of audio in 1024-sample buffers: 53 whole ones reach the decoder; the part of
    // the 54th goes with the error.
    const double played = 53 * 1024.0 / 11025 / 86400;
    EXPECT_NEAR(W->UtcClock(), Start + played, 1e-9);
    // The next wall-clock tick (within a second) hands the time over; from there it
    // runs with the wall clock.
    wall = Start + 1.0 / 86400;
    tilo_test::WaitFor([] { return false; }, 1500);
    wall = Start + 2.0 / 86400;
    EXPECT_NEAR(W->UtcClock(), Start + played + 1.0 / 86400, 1e-9);
}
