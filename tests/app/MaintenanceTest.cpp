// Reception while the log is cleaned up and compacted, through the real window and
// store, offscreen: the deletion serves events after each record and the compaction runs
// on a thread of its own beside the loop, so the sound input keeps being read and
// decoded in both, and a message decoded meanwhile waits in the queue and is stored once
// afterwards. A timer
// counts the event loop's turns in each phase and keeps the longest gap between turns
// (reported; the limit on it is the benchmark's).
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QTimer>
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>

#include "HomeFolder.h"
#include "MainTestKit.h"
#include "NavtexSynth.h"
#include "QtTestApp.h"
#include "ScriptedPrompts.h"
#include "app/Controls.h"
#include "app/DataModule.h"
#include "app/QtUserInterface.h"
#include "app/UCommon.h"
#include "classlib/DB.h"
#include "decoder/UCommon.h"
#include "decoder/UWavein4.h"
#include "engine/access/ORQDatabase.h"
#include "engine/access/ORQMain.h"
#include "engine/access/ORQTable.h"

namespace fs = std::filesystem;
using namespace tilo;

namespace {

// A sound input that plays its samples at Speed times real time from Play() on, and
// nothing before; it has no descriptor, so the owner reads it on its retry time.
class TFastInput : public TAudioSource {
public:
    TFastInput(std::vector<int16_t> Samples, int Speed) : FSamples(std::move(Samples)), FSpeed(Speed) {}
    void Play() { FStart = std::chrono::steady_clock::now(), FPlaying = true; }
    std::function<void(std::size_t)> OnRead;  // samples delivered by each read

    int32_t DeviceCount() override { return 1; }
    TAudioError QueryFormat(int32_t) override { return {}; }
    TAudioError Open(int32_t, int32_t) override { return {}; }
    TAudioError Start() override { return {}; }
    TAudioError Reset() override { return {}; }
    TAudioError Close() override { return {}; }
    std::vector<pollfd> PollDescriptors() override { return {}; }
    int32_t RetryAfterMs() const override { return 5; }
    int64_t Read(int16_t* Dest, std::size_t Count, TAudioError&) override {
        if (!FPlaying) return 0;
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - FStart);
        const std::size_t due = std::min(FSamples.size(), std::size_t(ms.count()) * 11025 * FSpeed / 1000);
        const std::size_t n = std::min(Count, due - std::min(due, FPos));
        std::copy_n(FSamples.begin() + std::ptrdiff_t(FPos), n, Dest);
        FPos += n;
        if (OnRead && n) OnRead(n);
        return int64_t(n);
    }
    std::string Name() const override { return "fast input"; }

private:
    std::vector<int16_t> FSamples;
    int FSpeed;
    std::size_t FPos = 0;
    bool FPlaying = false;
    std::chrono::steady_clock::time_point FStart;
};

struct Maintenance : testing::Test {
    tilo_test::THomeFolder Folder;
    fs::path Home;
    void SetUp() override {
        Folder.Enter();
        Home = Folder.Path;
        Folder.Defaults(tilo_test::OneStationFile, "GALE\r\n");
    }
    void TearDown() override { Folder.Leave(); }
};

}  // namespace

TEST_F(Maintenance, CleanUpAndCompactionKeepReadingAndDecodingAndStoreWhatArrivesAfterwards) {
    TQtUserInterface ui;
    orq::TORQUserInterface* previousUi = orq::SetUserInterface(&ui);
    tilo_test::TScriptedPrompts prompts;
    auto module = std::make_unique<TDataModule1>();
    // The seeded log: identified messages of 2020, all older than the clean-up's limit.
    const int seeded = 3000;
    {
        orq::TORQTable t(nullptr);
        t.SetDatabaseName("NAVTEX");
        t.SetTableName("NAVTEXLOG");
        t.Open();
        module->ORQDB->StartTransaction();
        for (int i = 0; i < seeded; ++i) {
            t.Append();
            t.FieldByName("UTCRECEIVED")->SetAsDateTime(tilo_test::Utc(2020, 1, 1, 0, 0, 0) + i / 1440.0);
            t.FieldByName("FREQ")->SetAsInteger(518);
            t.FieldByName("IDLETTER")->SetAsString("E");
            t.FieldByName("MSGTYPE")->SetAsString("A");
            t.FieldByName("MSGNUMBER")->SetAsString(std::to_string(i % 100));
            t.FieldByName("NAVAREA")->SetAsInteger(1);
            t.FieldByName("STATION")->SetAsString("EQE EQUATOR EAST,EE");
            t.FieldByName("MSGTEXT")->SetAsString("ZCZC EA01\r\nSEEDED MESSAGE " + std::to_string(i) + "\r\nNNNN");
            t.FieldByName("DIST")->SetAsInteger(5009);
            t.Post();
        }
        module->ORQDB->Commit(true);
        t.Close();
    }
    // The broadcast, then silence that goes on through the compaction.
    TSynthOptions o;
    o.Centre = 1200;
    std::vector<int16_t> audio = SynthesiseNavtex({"EQUATOR EAST\nGALE WARNING\n", "EA42"}, o);
    audio.resize(audio.size() + 11025 * 600, 0);
    auto* input = new TFastInput(audio, 20);
    auto window = std::make_unique<TfrmMain>();
    window->DataModule1 = module.get();
    window->AudioSourceFactory = [input] { return std::unique_ptr<TAudioSource>(input); };
    window->TimOpenDBTimer();
    ASSERT_TRUE(window->FWaveIn->Recording());
    ASSERT_EQ(module->LogTable->RecordCount(), seeded);

    // The loop's turns by phase: the deletion runs in a transaction; the compaction is
    // the window's own step, marked here.
    bool compacting = false;
    const auto compact = window->CompactLogDatabase;
    window->CompactLogDatabase = [&](orq::TORQDatabase& Db) {
        compacting = true;
        compact(Db);
        compacting = false;
    };
    int deletionTurns = 0, compactionTurns = 0;
    std::size_t compactionSamples = 0;
    qint64 longestGap = 0;
    QElapsedTimer sinceTurn;
    QTimer turns;
    turns.setInterval(0);
    QObject::connect(&turns, &QTimer::timeout, [&] {
        longestGap = std::max(longestGap, sinceTurn.restart());
        if (module->ORQDB->InTransaction()) ++deletionTurns;
        if (compacting) ++compactionTurns;
    });
    input->OnRead = [&](std::size_t N) {
        if (compacting) compactionSamples += N;
    };
    window->rgCleanUp->SetItemIndex(0);
    window->cbCompact->setChecked(true);
    prompts.Answers.push_back(mrYes);
    input->Play();
    sinceTurn.start();
    turns.start();
    window->sbCleanupClick();
    turns.stop();
    // The broadcast plays at 20 times real time: a maintenance quicker than it leaves the
    // rest of it to be read afterwards.
    QDeadlineTimer deadline(20000);
    while (!window->meSysLog->toPlainText().contains("Database: message EA42") && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    std::cout << "longest gap between event-loop turns: " << longestGap << " ms (" << deletionTurns
              << " turns in the deletion, " << compactionTurns << " in the compaction)" << std::endl;
    RecordProperty("LongestGapMs", int(longestGap));

    EXPECT_GT(deletionTurns, 0);
    EXPECT_GT(compactionTurns, 0);
    EXPECT_GT(compactionSamples, 0u) << "the sound input was not read while the database was compacted";
    const std::string log = window->meSysLog->toPlainText().toStdString();
    EXPECT_NE(log.find("DATABASE: compacting finished."), std::string::npos) << log;
    // The broadcast was decoded during the maintenance and stored after it, once.
    const std::size_t decoded = log.find("Database: message EA42");
    EXPECT_NE(decoded, std::string::npos) << log;
    EXPECT_GT(decoded, log.find("DATABASE: starting delete operation...")) << log;
    EXPECT_EQ(module->LogTable->RecordCount(), 1);
    module->LogTable->First();
    EXPECT_EQ(module->LogTable->FieldByName("MSGTYPE")->AsString() +
                  module->LogTable->FieldByName("MSGNUMBER")->AsString(),
              "A42");
    EXPECT_EQ(module->QueuedCount(), 0);

    module->FOnMessage = nullptr, module->FOnStationText = nullptr;
    window.reset();
    module.reset();
    orq::SetUserInterface(previousUi);
}
