// The message store: identification of the transmitting station before each post, the
// do-not-log list, reception times, and the queue that keeps every message through bulk
// work, closed tables, an operator's edit and failed writes.
#include "DataModuleKit.h"

#include <QTest>
#include <QTimer>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>

#include "engine/storage/ORQDatabaseFile.h"

using namespace tilo_test;
using classlib::EncodeDate;
using classlib::TDateTime;

namespace {

class DataModuleStore : public DataModuleFixture {
protected:
    // Invented stations; receiver at 0/0. Distances on a sphere of 6378 km: 45 degrees
    // 5009, 60 degrees 6679, 90 degrees 10019.
    void AddStations() {
        AddStation({1, 518, "S", "STA1", "ALPHA", "AA", 0, 45, "ALPHA,BRAVO", ""});
        AddStation({1, 490, "S", "STA2", "ALPHA", "AA", 0, 60, "ALPHA", ""});
        AddStation({2, 518, "K", "STU3", "KILO", "KK", 90, 0, "KILO", "UNIQUEKILO"});
        // Same letter and frequency, both lists match: YANKEE comes first in IDX_NAVLOC.
        AddStation({3, 518, "T", "ZUL", "ZULU", "ZZ", 0, 45, "SEA", ""});
        AddStation({3, 518, "T", "YAN", "YANKEE", "YY", 0, 60, "SEA", ""});
        AddStation({4, 518, "L", "LIM", "LIMA", "LL", 0, 45, "LIMAPORT, GALE", ""});
        AddStation({5, 518, "E", "EXC", "ECHO", "EE", 0, 45, "ECHO", ""});
        AddStation({6, 518, "R", "RCV", "ROMEO", "RR", 20, 1, "ROMEO", ""});
        Module->StationTable->First();
    }
    TDateTime Minute(int M) { return EncodeDate(2026, 1, 1) + M / 1440.0; }
    static std::string Hash(const std::string& Text) {
        char buf[17];
        std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(tilo::TDataModule1::TextHash(Text)));
        return buf;
    }
    int Stored(const std::string& Serial) {
        int n = 0;
        classlib::TDataSet& l = *Module->LogTable;
        for (l.First(); !l.Eof(); l.Next()) n += Field("MSGNUMBER") == Serial;
        return n;
    }
    static long long Ms(TDateTime T) { return std::llround(T * classlib::MSecsPerDay); }
    long long StoredMs() { return Ms(Module->LogTable->FieldByName("UTCRECEIVED")->AsDateTime()); }
    bool Find(const std::string& Serial) {
        return Module->LogTable->Locate("MSGNUMBER", classlib::Variant::FromString(Serial), 0);
    }
};

TEST_F(DataModuleStore, IdentifiesStationsByUniqueKeywordAndLetterAndDropsDoNotLogStations) {
    Make();
    AddStations();
    std::string excluded;
    tilo::TDataModule1::FormatStationLine("518", "5", "E", "EXC", "ECHO", "EE", excluded);
    Module->FExclusionList.Add("518 9Z NOTHING HERE,XX");
    Module->FExclusionList.Add(excluded);
    struct Case {
        char Letter;
        int32_t Freq;
        const char* Text;
        bool AtReceiver;
        const char* Station;  // nullptr: dropped
        const char* StoredLetter;
        int NavArea, Dist;
        const char* Report;
        bool StationText;
    };
    const Case cases[] = {
        {'?', 518, "ZCZC ?A01 ALPHA", false, "UNID", "?", 0, 0, " no valid ID-char for ?A01/0, message stored. (GID)", false},
        {'Q', 518, "ZCZC UNIQUEKILO", false, "STU3 KILO,KK", "K", 2, 10019, "message KA02/2/STU3 KILO,KK STORED (UID)", false},
        {'Q', 490, "ZCZC UNIQUEKILO", false, "UNID", "Q", 0, 0, "message QA03/UNID stored, station could not be identified. (GID)", false},
        {'S', 518, "ZCZC ALPHA", false, "STA1 ALPHA,AA", "S", 1, 5009, "message SA04/1/STA1 ALPHA,AA STORED (GID)", true},
        {'S', 490, "ZCZC ALPHA", false, "STA2 ALPHA,AA", "S", 1, 6679, "message SA05/1/STA2 ALPHA,AA STORED (GID)", true},
        {'L', 518, "STRONG GALE", false, "LIM LIMA,LL", "L", 4, 5009, "message LA06/4/LIM LIMA,LL STORED (GID)", true},
        {'L', 518, "NEARGALE", false, "UNID", "L", 0, 0, "message LA07/UNID stored, station could not be identified. (GID)", false},
        {'T', 518, "SEA", false, "YAN YANKEE,YY", "T", 3, 6679, "message TA08/3/YAN YANKEE,YY STORED (GID)", true},
        {'E', 518, "ECHO", false, nullptr, "E", 5, 0, "message EA09/5/EXC ECHO,EE on exclusion list, DELETED", true},
        {'R', 518, "ROMEO", true, "RCV ROMEO,RR", "R", 6, -1, "message RA10/6/RCV ROMEO,RR STORED (GID)", true},
        {'Z', 518, "NOTHING", false, "UNID", "Z", 0, 0, "message ZA11/UNID stored, station could not be identified. (GID)", false},
    };
    int serial = 0;
    for (const Case& c : cases) {
        ++serial;
        char number[4];
        std::snprintf(number, sizeof number, "%02d", serial);
        SCOPED_TRACE(number);
        tilo::RxLat = c.AtReceiver ? 20 : 0;
        tilo::RxLon = c.AtReceiver ? 1 : 0;
        const int before = LogCount();
        const size_t reports = Reports.size(), texts = StationTexts.size();
        Module->AddLogRecord(c.Letter, "A", Minute(serial), number, c.Text, c.Freq, 40 + serial);
        ASSERT_EQ(Reports.size(), reports + 1);
        EXPECT_EQ(Reports.back(), c.Report);
        EXPECT_EQ(StationTexts.size(), texts + (c.StationText ? 1 : 0));
        if (c.Station == nullptr) {
            EXPECT_EQ(LogCount(), before);
            EXPECT_FALSE(Find(number));
            continue;
        }
        EXPECT_EQ(LogCount(), before + 1);
        ASSERT_TRUE(Find(number));
        EXPECT_EQ(Field("STATION"), c.Station);
        EXPECT_EQ(Field("IDLETTER"), c.StoredLetter);
        EXPECT_EQ(Module->LogTable->FieldByName("NAVAREA")->AsInteger(), c.NavArea);
        EXPECT_EQ(Module->LogTable->FieldByName("DIST")->AsInteger(), c.Dist);
        EXPECT_EQ(Field("MSGTEXT"), c.Text);
        EXPECT_EQ(Field("MSGTYPE"), "A");
        EXPECT_EQ(Module->LogTable->FieldByName("FREQ")->AsInteger(), c.Freq);
        EXPECT_EQ(Module->LogTable->FieldByName("SIGQUAL")->AsFloat(), 40 + serial);
        EXPECT_EQ(StoredMs(), Ms(Minute(serial)));
        if (c.StationText) EXPECT_EQ(StationTexts.back(), c.Station);
    }
    // The walks leave the station table where it was, controls enabled, unfiltered.
    EXPECT_EQ(Module->StationTable->FieldByName("CALLSIGN")->AsString(), "STA1");
    EXPECT_FALSE(Module->StationTable->ControlsDisabled());
    EXPECT_FALSE(Module->StationTable->Filtered());
}

TEST_F(DataModuleStore, FindStationsByAreaJoinsTheStationsAndLeavesNoMatchUntouched) {
    Make();
    AddStations();
    AddStation({3, 518, "T", "XRA", "XRAY", "XX", 0, 45, "", ""});
    int32_t dist = 7, bearing = 8;
    std::string station;
    Module->FindStationsByArea("3", "T", 518, dist, bearing, station);
    EXPECT_EQ(station, "XRA XRAY,XX/YAN YANKEE,YY/ZUL ZULU,ZZ");
    EXPECT_EQ(dist, 5009);  // the last one's
    EXPECT_EQ(bearing, 90);
    dist = 7;
    bearing = 8;
    Module->FindStationsByArea("3", "T", 490, dist, bearing, station);
    EXPECT_EQ(station, "UNID");
    EXPECT_EQ(dist, 7);
    EXPECT_EQ(bearing, 8);
    // A station at the receiver: the distance fails.
    tilo::RxLat = 20;
    tilo::RxLon = 1;
    Module->FindStationsByArea("6", "R", 518, dist, bearing, station);
    EXPECT_EQ(station, "RCV ROMEO,RR");
    EXPECT_EQ(dist, -1);
}

TEST_F(DataModuleStore, AGridEditIsIdentifiedAgainAndKeptEvenForADoNotLogStation) {
    Make();
    AddStations();
    Module->AddLogRecord('Z', "A", Minute(1), "01", "ZCZC NOTHING", 518, 50);
    ASSERT_TRUE(Find("01"));
    std::string excluded;
    tilo::TDataModule1::FormatStationLine("518", "5", "E", "EXC", "ECHO", "EE", excluded);
    Module->FExclusionList.Add(excluded);
    classlib::TDataSet& L = *Module->LogTable;
    L.Edit();
    L.FieldByName("MSGTEXT")->SetAsString("ZCZC EDITED");
    L.FieldByName("IDLETTER")->SetAsString("E");
    L.FieldByName("NAVAREA")->SetAsInteger(5);
    L.Post();
    EXPECT_EQ(Reports.back(), "message EA01/5/EXC ECHO,EE on exclusion list, edited record kept");
    ASSERT_TRUE(Find("01"));
    EXPECT_EQ(Field("STATION"), "EXC ECHO,EE");
    EXPECT_EQ(L.FieldByName("DIST")->AsInteger(), 5009);
    EXPECT_EQ(Field("MSGTEXT"), "ZCZC EDITED") << "the operator's text survives the identification";
    // An edit of the text alone, read back by the identification before the post.
    L.Edit();
    L.FieldByName("MSGTEXT")->SetAsString("ZCZC EDITED AGAIN");
    L.Post();
    ASSERT_TRUE(Find("01"));
    EXPECT_EQ(Field("MSGTEXT"), "ZCZC EDITED AGAIN");
    EXPECT_EQ(LogCount(), 1);
}

TEST_F(DataModuleStore, ReceptionTimeComesFromALongTextAndMessagesOfOneSecondTakeFreeMilliseconds) {
    Make();
    const TDateTime caller = Minute(5);
    // Exactly 20 characters: the caller's time stands even though it reads as a time.
    Module->AddLogRecord('A', "A", caller, "01", "2026-02-02 02:02:02>", 518, 1);
    ASSERT_TRUE(Find("01"));
    EXPECT_EQ(StoredMs(), Ms(caller));
    // Three messages of one second: 1 ms apart, in order.
    const std::string text = "2026-03-04 05:06:07> ZCZC AA0";
    for (int i = 2; i <= 4; ++i) Module->AddLogRecord('A', "A", caller, "0" + std::to_string(i), text + std::to_string(i), 518, 1);
    const TDateTime second = EncodeDate(2026, 3, 4) + classlib::EncodeTime(5, 6, 7, 0);
    for (int i = 2; i <= 4; ++i) {
        ASSERT_TRUE(Find("0" + std::to_string(i)));
        EXPECT_EQ(StoredMs(), Ms(second) + (i - 2));
    }
    // An unreadable time: stored with the caller's, and said so.
    Module->AddLogRecord('A', "A", Minute(9), "05", "not a time at all > ZCZC", 518, 1);
    EXPECT_NE(std::find(Reports.begin(), Reports.end(),
                        "message AA05: reception time not readable, stored with the decoder's time"),
              Reports.end());
    ASSERT_TRUE(Find("05"));
    EXPECT_EQ(StoredMs(), Ms(Minute(9)));
    EXPECT_EQ(LogCount(), 5);
}

TEST_F(DataModuleStore, MessagesWaitWhileBulkWorkRunsOrTheTablesAreClosedOrAnEditIsOpen) {
    Make();
    AddStations();
    Module->BeginBulkWork("outer");
    Module->BeginBulkWork("inner");
    Module->AddLogRecord('S', "A", Minute(1), "01", "ALPHA", 518, 1);
    Module->AddLogRecord('S', "A", Minute(2), "02", "ALPHA", 518, 1);
    EXPECT_EQ(Module->QueuedCount(), 2);
    EXPECT_TRUE(Exists("TILO_QUEUE.TXT"));
    EXPECT_EQ(LogCount(), 0);
    Module->EndBulkWork();
    EXPECT_EQ(Module->QueuedCount(), 2) << "only the outermost end stores";
    Module->EndBulkWork();
    EXPECT_EQ(Module->QueuedCount(), 0);
    EXPECT_EQ(LogCount(), 2);
    EXPECT_FALSE(Exists("TILO_QUEUE.TXT"));
    // Closed log table: stored once it opens again.
    Module->LogTable->Close();
    Module->AddLogRecord('S', "A", Minute(3), "03", "ALPHA", 518, 1);
    EXPECT_EQ(Module->QueuedCount(), 1);
    Module->LogTable->Open();
    EXPECT_EQ(Module->QueuedCount(), 0);
    EXPECT_TRUE(Find("03"));
    // An operator's edit: the message lands after its post, the edit intact.
    ASSERT_TRUE(Find("01"));
    Module->LogTable->Edit();
    Module->LogTable->FieldByName("MSGTYPE")->SetAsString("X");
    Module->AddLogRecord('S', "A", Minute(4), "04", "ALPHA", 518, 1);
    EXPECT_EQ(Module->LogTable->State(), classlib::dsEdit);
    EXPECT_EQ(Module->QueuedCount(), 1);
    Module->LogTable->Post();
    EXPECT_EQ(Module->QueuedCount(), 0);
    ASSERT_TRUE(Find("01"));
    EXPECT_EQ(Field("MSGTYPE"), "X");
    ASSERT_TRUE(Find("04"));
    EXPECT_EQ(Field("STATION"), "STA1 ALPHA,AA");
    EXPECT_EQ(LogCount(), 4);
}

TEST_F(DataModuleStore, AFailedWriteIsReportedQueuedAndStoredOnceInOrderAfterTheFaultClears) {
    Make();
    AddStations();
    bool fail = true;
    orq::SetFileFaultHook([&](orq::TORQFileCall Call, const std::string& File) {
        return fail && Call == orq::TORQFileCall::Write && File.find("TILO_DB.ORQ") != std::string::npos ? 28 : 0;
    });
    Module->AddLogRecord('S', "A", Minute(1), "01", "ALPHA", 518, 1);
    Module->AddLogRecord('S', "A", Minute(2), "02", "ALPHA", 518, 1);
    Module->FlushQueue();  // still failing: no second report
    EXPECT_EQ(Module->QueuedCount(), 2);
    int failures = 0;
    for (const std::string& r : Reports)
        if (r.rfind("message SA01 NOT stored, kept for retry: ", 0) == 0) ++failures;
    EXPECT_EQ(failures, 1);
    EXPECT_EQ(Module->LogTable->State(), classlib::dsBrowse);
    fail = false;
    Module->FlushQueue();
    orq::SetFileFaultHook(nullptr);
    EXPECT_EQ(Module->QueuedCount(), 0);
    EXPECT_EQ(LogCount(), 2);
    Module->LogTable->First();
    EXPECT_EQ(Field("MSGNUMBER"), "01");
    Module->LogTable->Next();
    EXPECT_EQ(Field("MSGNUMBER"), "02");
    // Each message reported stored once, after its post went through.
    const std::vector<std::string> stored(Reports.end() - 2, Reports.end());
    EXPECT_EQ(stored, (std::vector<std::string>{"message SA01/1/STA1 ALPHA,AA STORED (GID)",
                                                "message SA02/1/STA1 ALPHA,AA STORED (GID)"}));
    for (const std::string& r : Reports) std::printf("  log: %s\n", r.c_str());
}

TEST_F(DataModuleStore, TheRetryTimerStoresTheQueueInOrderOnceTheFaultClears) {
    Make();
    AddStations();
    bool fail = true;
    orq::SetFileFaultHook([&](orq::TORQFileCall Call, const std::string& File) {
        return fail && Call == orq::TORQFileCall::Write && File.find("TILO_DB.ORQ") != std::string::npos ? 28 : 0;
    });
    QTimer* timer = Module->RetryTimer();
    ASSERT_NE(timer, nullptr);
    EXPECT_FALSE(timer->isActive());
    Module->AddLogRecord('S', "A", Minute(1), "01", "ALPHA", 518, 1);
    Module->AddLogRecord('S', "A", Minute(2), "02", "ALPHA", 518, 1);
    ASSERT_EQ(Module->QueuedCount(), 2);
    EXPECT_TRUE(timer->isActive());
    EXPECT_EQ(timer->interval(), 10000);
    // The timer's own ticks, sped up; nothing else flushes in this test.
    timer->setInterval(5);
    int ticks = 0;
    QObject::connect(timer, &QTimer::timeout, [&] { ++ticks; });
    // Ticks while the disk still fails: kept, in the queue file, reported once.
    ASSERT_TRUE(QTest::qWaitFor([&] { return ticks >= 3; }, 5000));
    EXPECT_EQ(Module->QueuedCount(), 2);
    EXPECT_TRUE(Exists("TILO_QUEUE.TXT"));
    EXPECT_TRUE(timer->isActive());
    int failures = 0;
    for (const std::string& r : Reports)
        if (r.find("NOT stored, kept for retry") != std::string::npos) ++failures;
    EXPECT_EQ(failures, 1);
    // The fault clears: the next tick stores both, in order, and the timer stops.
    const size_t before = Reports.size();
    fail = false;
    ASSERT_TRUE(QTest::qWaitFor([&] { return Module->QueuedCount() == 0; }, 5000));
    orq::SetFileFaultHook(nullptr);
    EXPECT_FALSE(timer->isActive());
    EXPECT_FALSE(Exists("TILO_QUEUE.TXT"));
    EXPECT_EQ(LogCount(), 2);
    Module->LogTable->First();
    EXPECT_EQ(Field("MSGNUMBER"), "01");
    Module->LogTable->Next();
    EXPECT_EQ(Field("MSGNUMBER"), "02");
    EXPECT_EQ(std::vector<std::string>(Reports.begin() + std::ptrdiff_t(before), Reports.end()),
              (std::vector<std::string>{"message SA01/1/STA1 ALPHA,AA STORED (GID)",
                                        "message SA02/1/STA1 ALPHA,AA STORED (GID)"}));
}

TEST_F(DataModuleStore, QueuedMessagesSurviveTheModuleAndADamagedQueueFileIsSetAside) {
    Make();
    AddStations();
    Module->BeginBulkWork("export");
    const std::string text = "2026-03-04 05:06:07> ZCZC SA01\r\nALPHA #1\r\nNNNN";
    Module->AddLogRecord('S', "A", Minute(1), "01", text, 518, 11);
    Module->AddLogRecord('S', "B", Minute(2), "02", "ALPHA", 490, 12);
    EXPECT_EQ(ReadFile("TILO_QUEUE.TXT"),
              "MSG2#S#A#01#2026-03-04 05:06:07.000#518#11#" + std::to_string(text.size()) + "#" + Hash(text) +
                  "#\r\n" + text + "\r\nMSG2#S#B#02#2026-01-01 00:02:00.000#490#12#5#" + Hash("ALPHA") +
                  "#\r\nALPHA\r\n");
    Module.reset();  // bulk work never ended
    Make();
    EXPECT_EQ(LogCount(), 0);
    Module->FlushQueue();
    EXPECT_EQ(LogCount(), 2);
    EXPECT_FALSE(Exists("TILO_QUEUE.TXT"));
    ASSERT_TRUE(Find("01"));
    EXPECT_EQ(Field("MSGTEXT"), text);
    EXPECT_EQ(Field("STATION"), "STA1 ALPHA,AA");
    ASSERT_TRUE(Find("02"));
    EXPECT_EQ(Field("STATION"), "STA2 ALPHA,AA");
    EXPECT_EQ(Module->LogTable->FieldByName("SIGQUAL")->AsFloat(), 12);
    Module.reset();
    // A damaged file: renamed, never deleted, reported once a callback is there.
    const std::string damaged = "MSG#S#A#01#2026-03-04 05:06:07.000#518#11#999#\r\nshort\r\n";
    WriteFile("TILO_QUEUE.TXT", damaged);
    Reports.clear();
    Make();
    Module->FlushQueue();
    EXPECT_FALSE(Exists("TILO_QUEUE.TXT"));
    EXPECT_EQ(ReadFile("TILO_QUEUE.TXT.bad"), damaged);
    ASSERT_FALSE(Reports.empty());
    EXPECT_NE(Reports.back().find("renamed TILO_QUEUE.TXT.bad"), std::string::npos) << Reports.back();
    EXPECT_EQ(LogCount(), 2);
}

TEST(QueueTextHash, IsFnv1a64) {
    // The published FNV-1a 64-bit vectors.
    EXPECT_EQ(tilo::TDataModule1::TextHash(""), 0xcbf29ce484222325ull);
    EXPECT_EQ(tilo::TDataModule1::TextHash("a"), 0xaf63dc4c8601ec8cull);
    EXPECT_EQ(tilo::TDataModule1::TextHash("foobar"), 0x85944171f73967e8ull);
}

TEST_F(DataModuleStore, AQueueFileOfAnEarlierVersionWithoutTheHashStillFlushes) {
    WriteFile("TILO_QUEUE.TXT", "MSG#S#A#01#2026-03-04 05:06:07.000#518#11#5#\r\nALPHA\r\n"
                                "MSG#K#B#02#2026-03-04 05:07:07.000#518#12#4#\r\nKILO\r\n");
    Make();
    AddStations();
    Module->FlushQueue();
    EXPECT_EQ(LogCount(), 2);
    EXPECT_EQ(Stored("01"), 1);
    EXPECT_EQ(Stored("02"), 1);
    EXPECT_FALSE(Exists("TILO_QUEUE.TXT"));
}

TEST_F(DataModuleStore, AQueueRecordWhoseTextDoesNotMatchItsHashIsSetAside) {
    const std::string bad = "MSG2#S#A#01#2026-03-04 05:06:07.000#518#11#5#" + Hash("ALPHB") + "#\r\nALPHA\r\n";
    WriteFile("TILO_QUEUE.TXT", bad);
    Make();
    Module->FlushQueue();
    EXPECT_EQ(LogCount(), 0);
    EXPECT_EQ(ReadFile("TILO_QUEUE.TXT.bad"), bad);
}

// A child flushes a queue of three and is killed after the Kill-th step (a message
// stored, or the queue file rewritten without it); the next flush stores the rest.
// Whenever the kill came, each message is in the log once.
TEST_F(DataModuleStore, AKillAtAnyStepOfTheFlushLeavesEachMessageStoredOnce) {
    Make();
    AddStations();
    Module->BeginBulkWork("export");
    // One of them identified by its unique keyword, which replaces its letter.
    Module->AddLogRecord('S', "A", Minute(1), "01", "ALPHA ONE", 518, 10);
    Module->AddLogRecord('W', "B", Minute(1), "02", "UNIQUEKILO", 518, 10);
    Module->AddLogRecord('S', "C", Minute(2), "03", "ALPHA THREE", 518, 10);
    Module.reset();
    // The folder as the flush finds it, put back before every round.
    std::map<std::string, std::string> files;
    for (const auto& e : std::filesystem::directory_iterator(Folder))
        if (e.is_regular_file()) files[e.path().filename().string()] = ReadFile(e.path().string());
    ASSERT_TRUE(files.count("TILO_QUEUE.TXT"));
    for (int kill = 1; kill <= 6; ++kill) {
        SCOPED_TRACE("killed after step " + std::to_string(kill));
        for (const auto& e : std::filesystem::directory_iterator(Folder))
            if (e.is_regular_file()) std::filesystem::remove(e.path());
        for (const auto& [name, data] : files) WriteFile(name, data);
        const pid_t child = ::fork();
        if (child == 0) {
            Make();
            int steps = 0;
            Module->OnFlushStep = [&](const char*) {
                if (++steps == kill) ::raise(SIGKILL);
            };
            Module->FlushQueue();
            ::_exit(3);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
        Reports.clear();
        Make();
        Module->FlushQueue();
        EXPECT_EQ(LogCount(), 3);
        for (const char* serial : {"01", "02", "03"}) EXPECT_EQ(Stored(serial), 1) << serial;
        EXPECT_FALSE(Exists("TILO_QUEUE.TXT"));
        // A kill between a store and the rewrite leaves that message to be found.
        const int found = int(std::count_if(Reports.begin(), Reports.end(), [](const std::string& r) {
            return r.find("is in the log already, not stored again") != std::string::npos;
        }));
        EXPECT_EQ(found, kill % 2) << testing::PrintToString(Reports);
        Module.reset();
    }
}

}  // namespace

namespace {

class DataModuleCompaction : public DataModuleFixture {};

TEST_F(DataModuleCompaction, AMessageArrivingDuringACompactionIsStoredAfterTheReopen) {
    Make();
    AddStation({1, 518, "S", "STA1", "ALPHA", "AA", 0, 45, "ALPHA", ""});
    Module->AddLogRecord('S', "A", 46000, "01", "ALPHA", 518, 1);
    orq::TORQDatabase& db = *Module->ORQDB;
    Module->LogTable->Close();
    Module->StationTable->Close();
    db.Close();
    int progress = 0;
    db.OnCompactProgress = [&](classlib::TPersistent*, int32_t, bool& Continue) {
        Continue = true;
        if (progress++ == 0) Module->AddLogRecord('S', "A", 46001, "02", "ALPHA", 518, 1);
    };
    ASSERT_TRUE(db.CompactDatabase());
    EXPECT_GT(progress, 0);
    EXPECT_EQ(Module->QueuedCount(), 1);
    db.Open();
    Module->LogTable->Open();
    EXPECT_EQ(Module->QueuedCount(), 1) << "the station table is still closed";
    Module->StationTable->Open();
    EXPECT_EQ(Module->QueuedCount(), 0);
    EXPECT_EQ(LogCount(), 2);
    EXPECT_EQ(Reports.back(), "message SA02/1/STA1 ALPHA,AA STORED (GID)");
}

}  // namespace
