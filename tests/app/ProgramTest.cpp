// The built program end to end, in child processes: a synthesised recording replayed
// unpaced through the whole receiver into its message store, read by a feed client;
// then a second start while the first runs; then SIGTERM. A fresh folder provisioned
// from the default data, a restart that keeps the log, the signals, a real X server,
// and the starts that cannot use their folder, lock or database.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <QImage>

#include "MainTestKit.h"
#include "NavtexSynth.h"
#include "app/DataModule.h"
#include "app/UCommon.h"
#include "classlib/DB.h"
#include "engine/access/ORQMain.h"
#include "engine/access/ORQTable.h"
#include "platform/WavFile.h"

namespace fs = std::filesystem;
using namespace tilo;
using tilo_test::ReadAll;

namespace {

fs::path NewFolder(const std::string& Name) {
    const fs::path p = fs::temp_directory_path() / ("tilo_prog_" + std::to_string(::getpid()) + "_" + Name);
    fs::remove_all(p);
    fs::create_directories(p);
    fs::permissions(p, fs::perms::owner_all, fs::perm_options::replace);
    return p;
}

// A free TCP port on the loopback interface.
uint16_t FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

// Starts the program with the environment given (Unset names removed, the rest
// inherited), standard output and error into Log.
pid_t StartProgram(const std::map<std::string, std::string>& Set, const std::vector<std::string>& Unset,
                   const fs::path& Log) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        for (const auto& n : Unset) ::unsetenv(n.c_str());
        for (const auto& [k, v] : Set) ::setenv(k.c_str(), v.c_str(), 1);
        const int fd = ::open(Log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        ::execl(TILO_PROGRAM, TILO_PROGRAM, static_cast<char*>(nullptr));
        ::_exit(127);
    }
    return pid;
}

// As StartProgram, with standard output and standard error apart, run as user Uid when
// it is not -1.
pid_t StartProgramApart(const std::map<std::string, std::string>& Set, const fs::path& Out, const fs::path& Err,
                        int Uid = -1) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        for (const auto& [k, v] : Set) ::setenv(k.c_str(), v.c_str(), 1);
        const int out = ::open(Out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(Err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out, 1);
        ::dup2(err, 2);
        if (Uid != -1 && (::setgid(gid_t(Uid)) != 0 || ::setuid(uid_t(Uid)) != 0)) ::_exit(126);
        ::execl(TILO_PROGRAM, TILO_PROGRAM, static_cast<char*>(nullptr));
        ::_exit(127);
    }
    return pid;
}

// The exit status, or -1 when it has not ended within Ms.
int WaitExit(pid_t Pid, int Ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(Ms);
    for (;;) {
        int status = 0;
        if (::waitpid(Pid, &status, WNOHANG) == Pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (std::chrono::steady_clock::now() > until) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::vector<std::string> Records(const std::string& Feed) {
    std::vector<std::string> out;
    std::size_t b = 0;
    for (std::size_t e; (e = Feed.find('@', b)) != std::string::npos; b = e + 1) out.push_back(Feed.substr(b, e - b));
    return out;
}

// Invented stations on 518 kHz, the receiver at 0/0: two found by letter and place
// name, 45 E and 90 E on the equator; one by its unique keyword, 60 N on the meridian;
// one on the do-not-log list.
const char* const StationFile =
    "VERSION5\r\n"
    "1#518#E#EQE#EQUATOR EAST#EE#EASTLAND#0#45#######EQUATOR EAST##\r\n"
    "2#518#F#EQF#EQUATOR FAR#EF#FARLAND#0#90#######EQUATOR FAR##\r\n"
    "3#518#G#MRN#MERIDIAN NORTH#MN#NORTHLAND#60#0########MERIDIAN NORTH#\r\n"
    "4#518#H#EXC#EXCLUDED#XX#NOLAND#10#10#######EXCLUDED STATION##\r\n";

struct TMessage {
    std::string Header;
    std::vector<std::string> Lines;
};

// The broadcasts, each short: two by letter and keyword, one by a unique keyword (sent
// under another letter), one from the station not to be logged, one of a letter no
// station has.
const std::vector<TMessage> Broadcasts = {
    {"EA01", {"EQUATOR EAST RADIO", "GALE WARNING AREA ONE"}},
    {"FB02", {"EQUATOR FAR RADIO", "ICE REPORT"}},
    {"WA03", {"MERIDIAN NORTH", "BUOY ADRIFT"}},
    {"HA04", {"EXCLUDED STATION", "SHOULD NOT BE LOGGED"}},
    {"ZA05", {"NOBODY SENDS THIS", "UNKNOWN LETTER"}},
};

// Runs Body with the engine started and Folder the current folder (where the store
// resolves its files), default data from Defaults.
void InFolder(const fs::path& Folder, const std::string& Defaults, const std::function<void()>& Body) {
    char before[4096];
    ASSERT_NE(::getcwd(before, sizeof before), nullptr);
    ASSERT_EQ(::chdir(Folder.c_str()), 0);
    orq::StartEngine();
    TDataModule1::DefaultDataFolder = Defaults;
    RxLat = RxLon = 0;
    Body();
    TDataModule1::DefaultDataFolder.clear();
    orq::StopEngine();
    ASSERT_EQ(::chdir(before), 0);
}

struct TStored {
    std::string Time, IdLetter, MsgType, MsgNumber, NavArea, Station, Dist, Freq;
    std::vector<std::string> Lines;  // the text's lines without their date-time and "> "
};

// The message log of the database file in Folder, in its index order (reception time).
std::vector<TStored> StoredLog(const fs::path& Folder, int32_t* Stations = nullptr, int32_t* Words = nullptr) {
    std::vector<TStored> out;
    InFolder(Folder, (Folder / "no-default-data").string(), [&] {
        TDataModule1 dm;
        classlib::TDataSet& l = *dm.LogTable;
        l.Open();
        for (l.First(); !l.Eof(); l.Next()) {
            TStored r;
            auto f = [&](const char* Name) { return l.FieldByName(Name)->AsString(); };
            r.Time = f("UTCRECEIVED");
            r.IdLetter = f("IDLETTER");
            r.MsgType = f("MSGTYPE");
            r.MsgNumber = f("MSGNUMBER");
            r.NavArea = f("NAVAREA");
            r.Station = f("STATION");
            r.Dist = f("DIST");
            r.Freq = f("FREQ");
            std::stringstream text(f("MSGTEXT"));
            for (std::string line; std::getline(text, line);) {
                if (!line.empty() && line.back() == '\r') line.pop_back();
                const std::size_t at = line.find("> ");
                r.Lines.push_back(at == std::string::npos ? "?" + line : line.substr(at + 2));
            }
            out.push_back(r);
        }
        if (Stations) {
            dm.StationTable->Open();
            *Stations = dm.StationTable->RecordCount();
        }
        if (Words) {
            dm.WordTable->Open();
            *Words = dm.WordTable->RecordCount();
        }
    });
    return out;
}

// A recording of Messages at 1200 Hz without noise after Lead seconds of silence.
void WriteRecording(const fs::path& Wav, const std::vector<TMessage>& Messages, double Lead) {
    TSynthOptions o;
    o.Centre = 1200;
    o.LeadSeconds = 0.5;
    o.TailSeconds = 0.5;
    std::vector<int16_t> audio(size_t(Lead * o.SampleRate), 0);
    for (const TMessage& m : Messages) {
        std::string text;
        for (const auto& l : m.Lines) text += l + "\n";
        const std::vector<int16_t> s = SynthesiseNavtex({text, m.Header}, o);
        audio.insert(audio.end(), s.begin(), s.end());
    }
    WriteWavFile(Wav.string(), o.SampleRate, audio);
}

// A feed client of the program Pid on Port, connected as soon as it listens; null when
// the program ended or did not listen within 20 s.
std::unique_ptr<tilo_test::TFeedClient> Connect(pid_t Pid, uint16_t Port) {
    std::unique_ptr<tilo_test::TFeedClient> client;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!client || !client->Connected) {
        if (std::chrono::steady_clock::now() > until || WaitExit(Pid, 0) != -1) return nullptr;
        client = std::make_unique<tilo_test::TFeedClient>(Port);
        if (!client->Connected) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return client;
}

bool ReadToEndOfAudio(tilo_test::TFeedClient& Client) {
    return tilo_test::WaitFor([&] {
        Client.Read();
        return Client.Received.find(" End of audio file ") != std::string::npos || Client.Closed;
    }, 25000);
}

}  // namespace

TEST(Program, ARecordingIsDecodedStoredWithItsStationsAndFedAndASecondStartMakesNothing) {
    const fs::path home = NewFolder("home");
    const fs::path second = NewFolder("second");
    const fs::path runtime = NewFolder("runtime");
    const fs::path defaults = NewFolder("defaults");
    std::ofstream(defaults / "TILO_STATIONS.TXT", std::ios::binary) << StationFile;
    std::ofstream(defaults / "lexicon.txt", std::ios::binary) << "GALE\r\nWARNING\r\n";
    const std::string excluded = FormatStationLine("518", "4", "H", "EXC", "EXCLUDED", "XX");
    std::ofstream(home / "Tilo.ini") << "[OPTIONS]\r\nRX_LAT=0\r\nRX_LON=0\r\n"
                                        "[DO_NOT_LOG]\r\n1=" + excluded + "\r\n";
    // The database as a first start makes it, from the invented station file.
    InFolder(home, defaults.string(), [] { TDataModule1 dm; });
    ASSERT_TRUE(fs::exists(home / "TILO_DB.ORQ"));
    // About 10 s of silence first, so that a client connecting from the program's start
    // is accepted before the first message.
    const fs::path wav = home / "replay.wav";
    WriteRecording(wav, Broadcasts, 10);
    const uint16_t port = FreePort();

    // No display variable at all: the program picks the offscreen platform itself.
    const std::vector<std::string> noDisplay = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};
    const pid_t first = StartProgram({{"TILO_HOME", home.string()},
                                      {"TILO_AUDIO_FILE", wav.string()},
                                      {"TILO_AUDIO_PACE", "0"},
                                      {"TILO_FEED_PORT", std::to_string(port)},
                                      {"XDG_RUNTIME_DIR", runtime.string()}},
                                     noDisplay, home / "first.log");
    ASSERT_GT(first, 0);
    std::unique_ptr<tilo_test::TFeedClient> client = Connect(first, port);
    ASSERT_TRUE(client) << ReadAll(home / "first.log");
    const bool ended = ReadToEndOfAudio(*client);
    const std::vector<std::string> records = Records(client->Received);

    // The second start, while the first holds the lock.
    const pid_t again = StartProgram({{"TILO_HOME", second.string()}, {"XDG_RUNTIME_DIR", runtime.string()},
                                      {"QT_QPA_PLATFORM", "offscreen"}},
                                     {}, runtime / "second.log");
    const int againStatus = WaitExit(again, 20000);

    ::kill(first, SIGTERM);
    const int firstStatus = WaitExit(first, 20000);
    if (firstStatus == -1) ::kill(first, SIGKILL), WaitExit(first, 5000);
    const std::string firstLog = ReadAll(home / "first.log");

    ASSERT_TRUE(ended) << "no end of the recording in the feed; program output:\n" << firstLog;
    EXPECT_EQ(firstStatus, 0) << firstLog;
    EXPECT_NE(firstLog.find("running on the offscreen platform"), std::string::npos) << firstLog;

    // Every record is one tag, '#', its text; the status rounds keep their order.
    std::vector<std::string> lines, stores;
    for (std::size_t i = 0; i < records.size(); ++i) {
        const std::string& r = records[i];
        ASSERT_TRUE(r.size() >= 2 && r[1] == '#' && std::string("SLAFYEUTMZ").find(r[0]) != std::string::npos)
            << "record " << i << ": " << r;
        if (r[0] == 'L') {
            ASSERT_TRUE(i >= 1 && i + 4 < records.size());
            std::string round;
            for (std::size_t k = i - 1; k <= i + 4; ++k) round += records[k][0];
            EXPECT_EQ(round, "SLAFYE") << "status round at record " << i;
        }
        if (r[0] == 'M' && r.size() > 12 && r.compare(10, 2, "> ") == 0) lines.push_back(r.substr(12));
        if (r[0] == 'Z' && r.find("Database: ") != std::string::npos) stores.push_back(r.substr(11));
    }
    // Every message's lines, in order, header first.
    std::vector<std::string> expected;
    for (const TMessage& m : Broadcasts) {
        expected.push_back("ZCZC " + m.Header);
        for (const auto& l : m.Lines) expected.push_back(l);
    }
    std::size_t at = 0;
    for (const std::string& l : lines)
        if (at < expected.size() && l == expected[at]) ++at;
    EXPECT_EQ(at, expected.size()) << "missing from the feed: " << (at < expected.size() ? expected[at] : "")
                                   << "\nM lines:\n"
                                   << testing::PrintToString(lines);
    // The store's reports, one per message, in order.
    EXPECT_EQ(stores, (std::vector<std::string>{
                          "Database: message EA01/1/EQE EQUATOR EAST,EE STORED (GID)",
                          "Database: message FB02/2/EQF EQUATOR FAR,EF STORED (GID)",
                          "Database: message GA03/3/MRN MERIDIAN NORTH,MN STORED (UID)",
                          "Database: message HA04/4/EXC EXCLUDED,XX on exclusion list, DELETED",
                          "Database: message ZA05/UNID stored, station could not be identified. (GID)",
                      }));

    // The log holds exactly the four kept, with their stations and distances: 6378 km
    // times pi/4, pi/2 and pi/3.
    const std::vector<TStored> log = StoredLog(home);
    ASSERT_EQ(log.size(), 4u);
    struct Want {
        const char *Letter, *Type, *Serial, *NavArea, *Station, *Dist;
        std::size_t Broadcast;
    };
    const Want want[] = {
        {"E", "A", "01", "1", "EQE EQUATOR EAST,EE", "5009", 0},
        {"F", "B", "02", "2", "EQF EQUATOR FAR,EF", "10019", 1},
        {"G", "A", "03", "3", "MRN MERIDIAN NORTH,MN", "6679", 2},
        {"Z", "A", "05", "0", "UNID", "0", 4},
    };
    for (std::size_t i = 0; i < log.size(); ++i) {
        SCOPED_TRACE(want[i].Serial);
        EXPECT_EQ(log[i].IdLetter, want[i].Letter);
        EXPECT_EQ(log[i].MsgType, want[i].Type);
        EXPECT_EQ(log[i].MsgNumber, want[i].Serial);
        EXPECT_EQ(log[i].NavArea, want[i].NavArea);
        EXPECT_EQ(log[i].Station, want[i].Station);
        EXPECT_EQ(log[i].Dist, want[i].Dist);
        EXPECT_EQ(log[i].Freq, "518");
        const TMessage& m = Broadcasts[want[i].Broadcast];
        std::vector<std::string> text = {"ZCZC " + m.Header};
        text.insert(text.end(), m.Lines.begin(), m.Lines.end());
        text.push_back("NNNN");
        EXPECT_EQ(log[i].Lines, text);
    }

    // The tuning is saved at the end; the NAVAREAs were written at the start.
    const std::string ini = ReadAll(home / "Tilo.ini");
    EXPECT_NE(ini.find("FREQ=1200"), std::string::npos) << ini;
    EXPECT_NE(ini.find("SAMPRATE=11025"), std::string::npos) << ini;
    EXPECT_NE(ini.find("NAVAREAS=111111111111111111111"), std::string::npos) << ini;
    EXPECT_NE(ini.find("1=" + excluded), std::string::npos) << "the start-up read wrote the file back: " << ini;
    EXPECT_FALSE(fs::exists(home / "TILO_QUEUE.TXT"));

    EXPECT_EQ(againStatus, 0);
    const std::string againLog = ReadAll(runtime / "second.log");
    EXPECT_NE(againLog.find("Tilo is already running."), std::string::npos) << againLog;
    std::vector<std::string> made;
    for (const auto& e : fs::directory_iterator(second)) made.push_back(e.path().filename().string());
    EXPECT_EQ(made, std::vector<std::string>{"LOG"});

    for (const fs::path& p : {home, second, runtime, defaults}) fs::remove_all(p);
}

// A fresh folder: the program makes both database files from the default data beside
// it, stores what it decodes, and a restart keeps the log and adds to it.
TEST(Program, AFreshFolderIsProvisionedFromTheDefaultDataAndARestartKeepsTheLog) {
    const fs::path home = NewFolder("fresh");
    const fs::path runtime = NewFolder("freshrt");
    // Two stations of the default list (NAVAREA 1, 518 kHz), found by their place names.
    const std::vector<TMessage> first = {{"EA01", {"NITON RADIO", "GALE WARNING WIGHT"}}};
    const std::vector<TMessage> then = {{"DA02", {"TORSHAVN RADIO", "FAROE ICE"}}};
    WriteRecording(runtime / "first.wav", first, 1);
    WriteRecording(runtime / "then.wav", then, 1);
    std::vector<std::string> stores;
    for (const fs::path& wav : {runtime / "first.wav", runtime / "then.wav"}) {
        SCOPED_TRACE(wav.string());
        const uint16_t port = FreePort();
        const pid_t pid = StartProgram({{"TILO_HOME", home.string()},
                                        {"TILO_AUDIO_FILE", wav.string()},
                                        {"TILO_AUDIO_PACE", "0"},
                                        {"TILO_FEED_PORT", std::to_string(port)},
                                        {"XDG_RUNTIME_DIR", runtime.string()},
                                        {"QT_QPA_PLATFORM", "offscreen"}},
                                       {}, runtime / "out.log");
        ASSERT_GT(pid, 0);
        std::unique_ptr<tilo_test::TFeedClient> client = Connect(pid, port);
        ASSERT_TRUE(client) << ReadAll(runtime / "out.log");
        const bool ended = ReadToEndOfAudio(*client);
        ::kill(pid, SIGTERM);
        const int status = WaitExit(pid, 20000);
        if (status == -1) ::kill(pid, SIGKILL), WaitExit(pid, 5000);
        ASSERT_TRUE(ended) << ReadAll(runtime / "out.log");
        EXPECT_EQ(status, 0) << ReadAll(runtime / "out.log");
        for (const std::string& r : Records(client->Received))
            if (r.size() > 11 && r[0] == 'Z' && r.find("Database: message ") != std::string::npos)
                stores.push_back(r.substr(11));
    }
    EXPECT_EQ(stores, (std::vector<std::string>{"Database: message EA01/1/ NITON,GB STORED (GID)",
                                                "Database: message DA02/1/ TORSHAVN,FO STORED (GID)"}));
    for (const char* f : {"TILO_DB.ORQ", "LEX.ORQ", "Tilo.ini", "LOG", "DUMPS"})
        EXPECT_TRUE(fs::exists(home / f)) << f;
    // The default data's counts: 110 stations, 3,656 words.
    int32_t stations = 0, words = 0;
    const std::vector<TStored> log = StoredLog(home, &stations, &words);
    EXPECT_EQ(stations, 110);
    EXPECT_EQ(words, 3656);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].Station, " NITON,GB");
    EXPECT_EQ(log[1].Station, " TORSHAVN,FO");
    EXPECT_EQ(log[0].Lines.at(1), "NITON RADIO");
    fs::remove_all(home);
    fs::remove_all(runtime);
}

// Stopped from a terminal or a service manager, the receiver still saves its tuning.
// The input here is a file that does not exist: start-up reports it and goes on.
TEST(Program, InterruptAndHangUpEndItWithStatusZeroAndTheTuningSaved) {
    for (int sig : {SIGINT, SIGHUP}) {
        SCOPED_TRACE(sig);
        const fs::path home = NewFolder("sig" + std::to_string(sig));
        const fs::path runtime = NewFolder("sigrt" + std::to_string(sig));
        const uint16_t port = FreePort();
        const pid_t pid = StartProgram({{"TILO_HOME", home.string()},
                                        {"TILO_AUDIO_FILE", (home / "missing.wav").string()},
                                        {"TILO_FEED_PORT", std::to_string(port)},
                                        {"XDG_RUNTIME_DIR", runtime.string()},
                                        {"QT_QPA_PLATFORM", "offscreen"}},
                                       {}, runtime / "out.log");
        ASSERT_GT(pid, 0);
        std::unique_ptr<tilo_test::TFeedClient> client;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!client || !client->Connected) {
            if (std::chrono::steady_clock::now() > until || WaitExit(pid, 0) != -1) break;
            client = std::make_unique<tilo_test::TFeedClient>(port);
            if (!client->Connected) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_TRUE(client && client->Connected) << ReadAll(runtime / "out.log");
        ::kill(pid, sig);
        const int status = WaitExit(pid, 20000);
        if (status == -1) ::kill(pid, SIGKILL), WaitExit(pid, 5000);
        EXPECT_EQ(status, 0) << ReadAll(runtime / "out.log");
        const std::string ini = ReadAll(home / "Tilo.ini");
        EXPECT_NE(ini.find("[SETTINGS]\r\nFREQ=1200\r\nSAMPRATE=11025\r\n"), std::string::npos) << ini;
        fs::remove_all(home);
        fs::remove_all(runtime);
    }
}

// Under a real X server (Xvfb) on the xcb platform: the program starts, its window is
// grabbed from the root window by a small grabber on that display, and it ends at
// SIGTERM with status 0. Leak detection is off there: the X libraries keep memory.
TEST(Program, UnderARealXServerTheWindowIsGrabbed) {
    if (::access("/usr/bin/xvfb-run", X_OK) != 0) GTEST_SKIP() << "xvfb-run is not installed";
    const fs::path home = NewFolder("x11");
    const fs::path runtime = NewFolder("x11rt");
    const fs::path grabs = fs::path(TILO_BINARY_DIR) / "grabs";
    fs::create_directories(grabs);
    const fs::path out = grabs / "main_window_x11.png";
    fs::remove(out);
    const uint16_t port = FreePort();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("TILO_HOME", home.c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
        ::setenv("TILO_FEED_PORT", std::to_string(port).c_str(), 1);
        ::setenv("TILO_AUDIO_FILE", (home / "none.wav").c_str(), 1);
        ::setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
        const int fd = ::open((runtime / "x11.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        const std::string script =
            "\"$0\" & P=$!; \"$1\" \"$2\" \"$3\"; G=$?; kill -TERM $P; wait $P; S=$?; "
            "if [ $G -ne 0 ]; then exit 99; fi; exit $S";
        ::execl("/usr/bin/xvfb-run", "xvfb-run", "-a", "-s", "-screen 0 1100x850x24", "sh", "-c", script.c_str(),
                TILO_PROGRAM, TILO_XGRAB, std::to_string(port).c_str(), out.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ASSERT_GT(pid, 0);
    const int status = WaitExit(pid, 28000);
    if (status == -1) ::kill(pid, SIGKILL), WaitExit(pid, 5000);
    const std::string log = ReadAll(runtime / "x11.log");
    EXPECT_EQ(status, 0) << log;
    const QImage grab(QString::fromStdString(out.string()));
    ASSERT_FALSE(grab.isNull()) << log;
    EXPECT_EQ(grab.size(), QSize(1100, 850));
    // The window's light frame over Xvfb's black root: most of the grab is painted.
    int painted = 0;
    for (int y = 0; y < grab.height(); y += 10)
        for (int x = 0; x < grab.width(); x += 10) painted += grab.pixelColor(x, y).lightness() > 100;
    EXPECT_GT(painted, (grab.width() / 10) * (grab.height() / 10) / 2) << log;
    EXPECT_EQ(log.find("running on the offscreen platform"), std::string::npos) << log;
    EXPECT_NE(ReadAll(home / "Tilo.ini").find("FREQ=1200"), std::string::npos);
    fs::remove_all(home);
    fs::remove_all(runtime);
}

// A start that cannot use its folder, its lock or its database ends at once with status
// 1 and says why.
TEST(Program, AnUnusableFolderOrLockEndsTheStartWithALine) {
    const fs::path runtime = NewFolder("badrt");
    const fs::path home = NewFolder("badhome");
    fs::create_symlink(home / "elsewhere", runtime / "NAVTEX_CAN_ONLY_RUN_ONCE");
    std::ofstream(home / "file") << "not a folder";
    // A database file that is not one: never replaced, the start ends with its message.
    fs::create_directories(home / "baddb");
    const std::string garbage(8192, 'Z');
    std::ofstream(home / "baddb" / "TILO_DB.ORQ", std::ios::binary) << garbage;
    const fs::path freeRuntime = NewFolder("badrt2");
    struct Case {
        std::string home;
        fs::path runtime;
        const char* says;
    };
    const Case cases[] = {
        {(home / "file" / "tilo").string(), runtime, "cannot use the application folder"},
        {(home / "ok").string(), runtime, "symbolic link"},
        {(home / "baddb").string(), freeRuntime, "tilo: cannot open the message store: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.home);
        const pid_t pid = StartProgram({{"TILO_HOME", c.home}, {"XDG_RUNTIME_DIR", c.runtime.string()},
                                        {"QT_QPA_PLATFORM", "offscreen"}},
                                       {}, home / "out.log");
        EXPECT_EQ(WaitExit(pid, 20000), 1);
        const std::string out = ReadAll(home / "out.log");
        EXPECT_NE(out.find(c.says), std::string::npos) << out;
    }
    EXPECT_EQ(ReadAll(home / "baddb" / "TILO_DB.ORQ"), garbage);
    EXPECT_FALSE(fs::exists(home / "elsewhere")) << "the link was followed";
    EXPECT_FALSE(fs::exists(home / "ok" / "Tilo.ini"));
    fs::remove_all(home);
    fs::remove_all(runtime);
    fs::remove_all(freeRuntime);
}

// Without a screen the audio file's problems are read on standard error: a file of
// another format is named with its fault, and a file whose data ends early is played as
// far as it goes, with the warning, its first message stored and the next one decoded
// up to the cut.
TEST(Program, AudioFileProblemsReachStandardErrorAndACutFilePlaysToItsEnd) {
    const fs::path home = NewFolder("wavproblems");
    const fs::path runtime = NewFolder("wavproblems_rt");
    const fs::path defaults = NewFolder("wavproblems_def");
    std::ofstream(defaults / "TILO_STATIONS.TXT", std::ios::binary) << StationFile;
    std::ofstream(defaults / "lexicon.txt", std::ios::binary) << "GALE\r\n";
    InFolder(home, defaults.string(), [] { TDataModule1 dm; });

    // 8-bit stereo: a header of its own, then a little data.
    const fs::path stereo = home / "stereo.wav";
    {
        std::string h = "RIFF";
        auto u32 = [&](uint32_t v) { for (int i = 0; i < 4; ++i) h += char(v >> (8 * i)); };
        auto u16 = [&](uint16_t v) { h += char(v), h += char(v >> 8); };
        u32(36 + 100);
        h += "WAVEfmt ";
        u32(16), u16(1), u16(2), u32(11025), u32(22050), u16(2), u16(8);
        h += "data";
        u32(100);
        h += std::string(100, '\x80');
        std::ofstream(stereo, std::ios::binary) << h;
    }
    // Two messages, the file cut in the second one's text after its first lines.
    const fs::path cut = home / "cut.wav";
    const std::vector<TMessage> two = {{"EA01", {"EQUATOR EAST RADIO", "GALE WARNING AREA ONE"}},
                                       {"FB02", {"EQUATOR FAR RADIO", "ICE REPORT", "THIRD LINE", "FOURTH LINE",
                                                 "FIFTH LINE", "SIXTH LINE"}}};
    WriteRecording(cut, two, 3);
    const std::size_t whole = fs::file_size(cut);
    fs::resize_file(cut, whole - (whole - 44) * 2 / 10 / 2 * 2);

    {
        const pid_t pid = StartProgramApart({{"TILO_HOME", home.string()}, {"TILO_AUDIO_FILE", stereo.string()},
                                             {"TILO_AUDIO_PACE", "0"}, {"TILO_FEED_PORT", "0"},
                                             {"XDG_RUNTIME_DIR", runtime.string()}, {"QT_QPA_PLATFORM", "offscreen"}},
                                            home / "out1.log", home / "err1.log");
        const std::string says = "tilo: Could not open the input device for recording: errorcode = 00000016 WAV file \"" +
                                 stereo.string() +
                                 "\": format tag 1, 2 channel(s), 8 bits; only 16-bit PCM mono is supported\n";
        const bool seen = tilo_test::WaitFor(
            [&] { return ReadAll(home / "err1.log").find(says) != std::string::npos || WaitExit(pid, 0) != -1; },
            20000);
        ::kill(pid, SIGTERM);
        EXPECT_EQ(WaitExit(pid, 20000), 0);
        EXPECT_TRUE(seen);
        EXPECT_NE(ReadAll(home / "err1.log").find(says), std::string::npos) << ReadAll(home / "err1.log");
        EXPECT_EQ(ReadAll(home / "out1.log"), "");
    }
    {
        const uint16_t port = FreePort();
        const pid_t pid = StartProgramApart({{"TILO_HOME", home.string()}, {"TILO_AUDIO_FILE", cut.string()},
                                             {"TILO_AUDIO_PACE", "0"}, {"TILO_FEED_PORT", std::to_string(port)},
                                             {"XDG_RUNTIME_DIR", runtime.string()}, {"QT_QPA_PLATFORM", "offscreen"}},
                                            home / "out2.log", home / "err2.log");
        std::unique_ptr<tilo_test::TFeedClient> client = Connect(pid, port);
        ASSERT_TRUE(client) << ReadAll(home / "err2.log");
        const bool ended = ReadToEndOfAudio(*client);
        ::kill(pid, SIGTERM);
        EXPECT_EQ(WaitExit(pid, 20000), 0);
        ASSERT_TRUE(ended) << ReadAll(home / "err2.log");
        const std::string err = ReadAll(home / "err2.log");
        const std::size_t declared = (whole - 44) / 2, kept = (fs::file_size(cut) - 44) / 2;
        EXPECT_NE(err.find("tilo: WAV file \"" + cut.string() + "\": the data ends after " + std::to_string(kept) +
                           " of " + std::to_string(declared) + " samples; played as far as it goes\n"),
                  std::string::npos)
            << err;
        std::vector<std::string> lines;
        for (const std::string& r : Records(client->Received))
            if (r[0] == 'M' && r.size() > 12 && r.compare(10, 2, "> ") == 0) lines.push_back(r.substr(12));
        EXPECT_NE(std::find(lines.begin(), lines.end(), "ZCZC FB02"), lines.end()) << testing::PrintToString(lines);
        EXPECT_NE(std::find(lines.begin(), lines.end(), "ICE REPORT"), lines.end()) << testing::PrintToString(lines);
        // The shutdown stores the message in progress after it: the clock goes on from
        // the recording's time.
        const std::vector<TStored> log = StoredLog(home);
        ASSERT_EQ(log.size(), 2u);
        EXPECT_EQ(log[0].IdLetter + log[0].MsgType + log[0].MsgNumber, "EA01");
        EXPECT_EQ(log[0].Lines.back(), "NNNN");
        EXPECT_EQ(log[1].IdLetter, "?");
        EXPECT_EQ(log[1].Lines.at(0), "ZCZC FB02");
    }
    for (const fs::path& p : {home, runtime, defaults}) fs::remove_all(p);
}

// A folder the program cannot write in is named with the system's reason; a settings
// file of random bytes is said to be one, kept aside and replaced by a fresh one.
TEST(Program, AnUnwritableFolderAndASettingsFileOfRandomBytesAreNamed) {
    const fs::path runtime = NewFolder("named_rt");
    fs::permissions(runtime, fs::perms::all, fs::perm_options::replace);
    {
        // Read-only for whoever runs it: root is made someone else for this.
        const fs::path home = NewFolder("readonly");
        fs::permissions(home, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                  fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec,
                        fs::perm_options::replace);
        const pid_t pid = StartProgramApart({{"TILO_HOME", home.string()}, {"XDG_RUNTIME_DIR", runtime.string()},
                                             {"QT_QPA_PLATFORM", "offscreen"}},
                                            runtime / "out.log", runtime / "err.log", ::geteuid() == 0 ? 65534 : -1);
        EXPECT_EQ(WaitExit(pid, 20000), 1);
        const std::string err = ReadAll(runtime / "err.log");
        EXPECT_NE(err.find("tilo: Cannot write in folder " + home.string() + "/: " + std::strerror(EACCES) + "\n"),
                  std::string::npos)
            << err;
        EXPECT_EQ(err.find("does not exist"), std::string::npos) << err;
        fs::permissions(home, fs::perms::owner_all, fs::perm_options::replace);
        fs::remove_all(home);
    }
    {
        const fs::path home = NewFolder("badini");
        std::string garbage(4096, '\0');
        uint32_t x = 12345;
        for (char& c : garbage) x = x * 1103515245u + 12345u, c = char(x >> 16);
        std::ofstream(home / "Tilo.ini", std::ios::binary) << garbage;
        const pid_t pid = StartProgramApart({{"TILO_HOME", home.string()}, {"XDG_RUNTIME_DIR", runtime.string()},
                                             {"TILO_AUDIO_FILE", (home / "none.wav").string()},
                                             {"TILO_FEED_PORT", "0"}, {"QT_QPA_PLATFORM", "offscreen"}},
                                            home / "out.log", home / "err.log");
        const std::string says = "tilo: " + home.string() + "/Tilo.ini cannot be read as a settings file (";
        const bool seen = tilo_test::WaitFor(
            [&] { return ReadAll(home / "err.log").find(says) != std::string::npos || WaitExit(pid, 0) != -1; },
            20000);
        ::kill(pid, SIGTERM);
        EXPECT_EQ(WaitExit(pid, 20000), 0);
        const std::string err = ReadAll(home / "err.log");
        EXPECT_TRUE(seen) << err;
        EXPECT_NE(err.find("): kept as " + home.string() + "/Tilo.ini.bad, a fresh one written\n"), std::string::npos)
            << err;
        EXPECT_EQ(ReadAll(home / "Tilo.ini.bad"), garbage);
        const std::string fresh = ReadAll(home / "Tilo.ini");
        EXPECT_EQ(fresh.rfind("[SETTINGS]\r\n", 0), 0u) << fresh;
        EXPECT_NE(fresh.find("FREQ=1200\r\n"), std::string::npos) << fresh;
        EXPECT_NE(fresh.find("NAVAREAS=111111111111111111111\r\n"), std::string::npos) << fresh;
        fs::remove_all(home);
    }
    fs::remove_all(runtime);
}
