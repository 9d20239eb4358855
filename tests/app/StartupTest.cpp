// The main window's start-up and shutdown in process: the system log in order, the
// settings file's cases, no capture device, a folder that cannot be made, the timers
// before the settings, a hidden and shown window, the close question and what shutdown
// writes back. Each test runs in its own application folder (TILO_HOME).
#include <QCheckBox>
#include <QComboBox>
#include <QChartView>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QSlider>
#include <QTabWidget>
#include <QTimer>
#include <QValueAxis>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "MainTestKit.h"
#include "QtTestApp.h"
#include "ScriptedPrompts.h"
#include "StationTableKit.h"
#include "app/DBCtrls.h"
#include "app/UCommon.h"
#include "app/components/AnalogGauge.h"
#include "decoder/UCommon.h"
#include "decoder/UWavein4.h"
#include "decoder/uModem.h"
#include "platform/AudioSource.h"

namespace fs = std::filesystem;
using namespace tilo;
using tilo_test::ReadAll;
using tilo_test::TNoDevice;
using tilo_test::Like;
using tilo_test::TScriptedPrompts;

namespace {

struct Startup : testing::Test {
    fs::path Home;
    std::string SavedHome;
    bool HadHome = false;
    TScriptedPrompts Prompts;

    void SetUp() override {
        if (const char* h = std::getenv("TILO_HOME")) HadHome = true, SavedHome = h;
        Home = tilo_test::TempFolder();
        ::setenv("TILO_HOME", Home.c_str(), 1);
        ::setenv("TILO_FEED_PORT", "0", 1);
    }
    void TearDown() override {
        if (HadHome) ::setenv("TILO_HOME", SavedHome.c_str(), 1);
        else ::unsetenv("TILO_HOME");
        ::unsetenv("TILO_FEED_PORT");
        SetSampleRate(11025);
        RxLat = RxLon = 0;
    }
    void Ini(const std::string& Text) { std::ofstream(Home / "Tilo.ini", std::ios::binary) << Text; }
    static void NoDevice(TfrmMain& W) {
        W.AudioSourceFactory = [] { return std::unique_ptr<TAudioSource>(new TNoDevice); };
    }
    // The log's lines without their time.
    static std::vector<std::string> Lines(const TfrmMain& W, int From = 0) {
        std::vector<std::string> out;
        for (int i = From; i < W.meSysLogLineCount(); ++i) out.push_back(W.meSysLogLine(i).substr(9));
        return out;
    }
    static bool HasLine(const TfrmMain& W, const std::string& Pattern) {
        for (const auto& l : Lines(W))
            if (Like(l, Pattern)) return true;
        return false;
    }
    std::vector<std::string> Boxes() const {
        std::vector<std::string> out;
        for (const auto& e : Prompts.Log) out.push_back(e.Text);
        return out;
    }
};

double AxisMax(QChartView* Chart) {
    return qobject_cast<QValueAxis*>(Chart->chart()->axes(Qt::Horizontal).first())->max();
}

}  // namespace

TEST_F(Startup, AnEmptySettingsFileGivesTheDefaultsAndTheLogInOrder) {
    Ini("");
    TfrmMain w;
    NoDevice(w);
    w.TimOpenDBTimer();
    const std::vector<std::string> expected = {
        "startup...",
        "OS version: #*.#* build #*, *",
        "CPU's detected: #*",
        "opening databases...",
        "Database: no message store in this build, messages are shown and sent but not stored",
        "path: " + Home.string() + "/Tilo.ini",
        "modem FCenter/Shift set to: 1200/170",
        "No wave audio recording devices found",
        "audio settings: PCM, 11025Hz, 16bit, 1024 samples/block",
        "Could not open the input device for recording: the reader has no buffers",
        "net: Server listening on port  *",
    };
    const auto got = Lines(w);
    ASSERT_EQ(got.size(), expected.size()) << testing::PrintToString(got);
    for (std::size_t i = 0; i < got.size(); ++i) EXPECT_TRUE(Like(got[i], expected[i])) << got[i];
    EXPECT_TRUE(Boxes().empty()) << testing::PrintToString(Boxes());

    EXPECT_EQ(w.windowTitle().toStdString(), "Tilo 5.6 Tilomark");
    EXPECT_EQ(w.PageControl1->currentIndex(), 0);
    EXPECT_EQ(w.PageControl2->currentWidget(), w.tsMessage);
    EXPECT_EQ(w.FModem->FCenter, 1200);
    EXPECT_EQ(w.FModem->Shift, 170);
    EXPECT_DOUBLE_EQ(w.FModem->Baud(), 100);
    EXPECT_EQ(SampleRate, 11025);
    EXPECT_EQ(w.Decoder.FAfcCentre, 1200);
    EXPECT_EQ(w.Decoder.FAfcLow, 950);
    EXPECT_EQ(w.Decoder.FAfcHigh, 1450);
    EXPECT_EQ(w.Decoder.FMessageQuality, -1);
    EXPECT_EQ(w.Decoder.FSpectrum.size(), 256u);
    EXPECT_EQ(w.lbCorFac->text().toStdString(), "1.0000");
    EXPECT_EQ(w.tbCorFac->value(), 0);
    EXPECT_EQ(w.edtRXLat->text().toStdString(), "0");
    EXPECT_EQ(w.FSelectedNavAreas.size(), 21u);
    EXPECT_TRUE(w.mePersonalInfo->toPlainText().isEmpty());
    EXPECT_EQ(w.rgSampRate->ItemIndex(), 0);
    EXPECT_EQ(AxisMax(w.ChSpectrum), 2756);
    EXPECT_TRUE(w.ChSpectrum->isEnabled());
    EXPECT_EQ(w.cbNav->count(), 23);
    EXPECT_EQ(w.cbNav->itemText(1).toStdString(), "UNID");
    EXPECT_EQ(w.cbNavStat->count(), 21);
    EXPECT_TRUE(w.TickerTimer->isActive());
    EXPECT_TRUE(w.ServSock->Active());
    EXPECT_TRUE(w.edtTicker->text().isEmpty());
    EXPECT_TRUE(fs::is_directory(Home / "LOG"));
    EXPECT_TRUE(fs::is_directory(Home / "DUMPS"));
    // The NAVAREA apply writes its key; nothing else is written back.
    EXPECT_EQ(ReadAll(Home / "Tilo.ini"), "[OPTIONS]\r\nNAVAREAS=111111111111111111111\r\n");
}

TEST_F(Startup, EachRejectedSettingFallsBackWithItsMessage) {
    struct Case {
        const char* ini;
        const char* line;  // the log line it adds ("" none)
        const char* box;   // the box it shows ("" none)
        int32_t rate;
        double baud;
        int32_t corFacBar;
        double lat;
    };
    const Case cases[] = {
        {"[SETTINGS]\r\nSAMPRATE=11024\r\n", "", "SAMPLE RATE AS FOUND IN TILO.INI NOT ALLOWED, USING DEFAULTS!",
         11025, 100, 0, 0},
        {"[SETTINGS]\r\nSAMPRATE=12000\r\n", "", "", 12000, 100, 0, 0},
        {"[OPTIONS]\r\nCORFAC=abc\r\n", "Illegal value for CorFac in Tilo.ini, default 1.000 set!", "", 11025, 100, 0,
         0},
        {"[OPTIONS]\r\nCORFAC=1.0010\r\n", "", "", 11025, 100.1, 100, 0},
        {"[OPTIONS]\r\nRX_LAT=north\r\nRX_LON=12.5\r\n", "iilegal value for RX_LAT in tilo.ini, RX_LAT set to 0!", "",
         11025, 100, 0, 0},
        {"[OPTIONS]\r\nRX_LAT=52.25\r\n", "", "", 11025, 100, 0, 52.25},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ini);
        Ini(c.ini);
        Prompts.Log.clear();
        TfrmMain w;
        NoDevice(w);
        w.TimOpenDBTimer();
        if (*c.line) {
            EXPECT_TRUE(HasLine(w, c.line));
        }
        EXPECT_FALSE(HasLine(w, "error while reading Tilo.ini*"));
        EXPECT_EQ(Boxes(), *c.box ? std::vector<std::string>{c.box} : std::vector<std::string>{});
        EXPECT_EQ(SampleRate, c.rate);
        EXPECT_EQ(w.rgSampRate->ItemIndex(), c.rate == 12000 ? 1 : 0);
        EXPECT_EQ(AxisMax(w.ChSpectrum), c.rate == 12000 ? 3000 : 2756);
        EXPECT_TRUE(HasLine(w, "audio settings: PCM, " + std::to_string(c.rate) + "Hz, 16bit, 1024 samples/block"));
        EXPECT_NEAR(w.FModem->Baud(), c.baud, 1e-9);
        // The bit clock follows the rate in force, not the one the modem was made at.
        EXPECT_NEAR(w.FModem->SamplesPerBit(), c.rate / c.baud, 1e-9);
        EXPECT_EQ(w.tbCorFac->value(), c.corFacBar);
        EXPECT_DOUBLE_EQ(RxLat, c.lat);
        EXPECT_EQ(w.edtRXLat->text().toStdString(), c.lat == 0 ? "0" : "52.25");
    }
}

TEST_F(Startup, NavareasOptionsStationsNotLoggedAndPersonalInformation) {
    tilo_test::TStationTable st;
    st.Add({1, 518, "A", "CALL1", "ALPHA", "XX", 0, 45, {}});
    st.Add({2, 518, "B", "CALL2", "BETA", "YY", 0, 90, {}});
    st.Add({3, 490, "C", "CALL3", "GAMMA", "ZZ", 60, 0, {}});
    const std::string beta = FormatStationLine("518", "2", "B", "CALL2", "BETA", "YY");
    const std::string gamma = FormatStationLine("490", "3", "C", "CALL3", "GAMMA", "ZZ");
    // 20 NAVAREA characters are not a NAVAREA string; the lists stop at their first gap.
    Ini("[OPTIONS]\r\nNAVAREAS=10101010101010101010\r\nMINLEN=40\r\nMINLEN_ON= Y \r\nCONFIRM_DELETE=Y\r\n"
        "[DO_NOT_LOG]\r\n1=" + beta + "\r\n2=" + gamma + "\r\n3=\r\n4=518 1A CALL1 ALPHA,XX\r\n"
        "[USER_INFO]\r\n0=first line\r\n1=\r\n2=third line\r\n");
    TfrmMain w;
    NoDevice(w);
    w.TimOpenDBTimer();
    EXPECT_EQ(w.NavareaString(), "111111111111111111111");
    EXPECT_EQ(w.FSelectedNavAreas.size(), 21u);
    EXPECT_EQ(w.FMinUnidLen(), 40);
    EXPECT_EQ(w.edtMinUNIDLen->text().toStdString(), "40");
    EXPECT_TRUE(w.cbMinUNIDLen());
    EXPECT_TRUE(w.cbConfirmDelete->isChecked());
    EXPECT_TRUE(w.DBNavigator1->ConfirmDelete);
    ASSERT_EQ(w.cbAllStations->count(), 3);
    ASSERT_EQ(w.lbAllStations->count(), 3);
    std::vector<std::string> unchecked;
    for (int i = 0; i < w.cbAllStations->count(); ++i)
        if (w.cbAllStations->item(i)->checkState() == Qt::Unchecked)
            unchecked.push_back(w.cbAllStations->item(i)->text().toStdString());
    EXPECT_EQ(unchecked, (std::vector<std::string>{beta, gamma}));
    EXPECT_EQ(w.mePersonalInfo->toPlainText().toStdString(), "first line\n\nthird line");
}

TEST_F(Startup, ABlockedFolderIsReportedAndStartUpGoesOn) {
    Ini("");
    std::ofstream(Home / "DUMPS") << "a file where the folder goes";
    TfrmMain w;
    NoDevice(w);
    w.TimOpenDBTimer();
    EXPECT_EQ(Boxes(), std::vector<std::string>{"!! cannot create directory DUMPS\\"});
    EXPECT_TRUE(w.ServSock->Active());
    EXPECT_TRUE(w.TickerTimer->isActive());
}

TEST_F(Startup, TheOneSecondTicksRunBeforeTheSettingsAndTheDatabasesOpenOncePerRun) {
    Ini("");
    TfrmMain w;
    NoDevice(w);
    w.ClockSource = [] { return tilo_test::Utc(2024, 5, 17, 12, 34, 56); };
    EXPECT_TRUE(w.Timer1->isActive());
    EXPECT_TRUE(w.TrackTimer->isActive());
    EXPECT_FALSE(w.TimOpenDB->isActive());
    // Ticks with no modem and no settings yet.
    w.Decoder.TrackTimerTimer();
    ASSERT_TRUE(tilo_test::WaitFor([&] { return w.stUTC->text().contains("12:34:56"); }, 3000));
    EXPECT_FALSE(HasLine(w, "opening databases..."));

    w.show();
    EXPECT_TRUE(w.TimOpenDB->isActive());
    ASSERT_TRUE(tilo_test::WaitFor([&] { return w.ServSock->Active(); }, 5000));
    EXPECT_FALSE(w.TimOpenDB->isActive());
    // Hidden and shown again (a restored window): nothing opens a second time.
    w.hide();
    w.show();
    EXPECT_FALSE(w.TimOpenDB->isActive());
    int opened = 0;
    for (const auto& l : Lines(w)) opened += l == "opening databases...";
    EXPECT_EQ(opened, 1);
}

TEST_F(Startup, CancelChangesNothingAndYesStoresAThreeLineMessageAndSavesTheBandsMiddle) {
    Ini("[SETTINGS]\r\nSAMPRATE=12000\r\n");
    TfrmMain w;
    NoDevice(w);
    w.TimOpenDBTimer();
    const std::string before = ReadAll(Home / "Tilo.ini");

    Prompts.Answers = {mrCancel};
    EXPECT_FALSE(w.FormCloseQuery());
    ASSERT_EQ(Prompts.Log.size(), 1u);
    EXPECT_EQ(Prompts.Log[0].Text, "Quit Tilo ?");
    EXPECT_EQ(Prompts.Log[0].Type, mtConfirmation);
    EXPECT_EQ(Prompts.Log[0].Buttons, TMsgDlgButtons(mbYes | mbCancel));
    EXPECT_EQ(ReadAll(Home / "Tilo.ini"), before);
    EXPECT_TRUE(w.Timer1->isActive());
    EXPECT_NE(w.FWaveIn, nullptr);

    // Tracking moved the modem to 1210 Hz; the band, which only the operator moves,
    // still has 1200 in its middle.
    w.FModem->SetFreq(1210, 170);
    w.Decoder.FAfcCentre = 1210;
    w.meLogAdd("ZCZC");
    w.meLogAdd("PART OF A MESSAGE");
    w.meLogAdd("CUT OFF");
    const int from = w.meSysLogLineCount();
    Prompts.Answers = {mrYes};
    EXPECT_TRUE(w.FormCloseQuery());
    const auto after = Lines(w, from);
    ASSERT_EQ(after.size(), 1u) << testing::PrintToString(after);
    EXPECT_TRUE(Like(after[0], "Database: message ??0 (* characters) not stored: no message store")) << after[0];
    EXPECT_FALSE(w.Timer1->isActive());
    EXPECT_EQ(w.FWaveIn, nullptr);
    const std::string ini = ReadAll(Home / "Tilo.ini");
    EXPECT_NE(ini.find("FREQ=1200\r\n"), std::string::npos) << ini;
    EXPECT_NE(ini.find("SAMPRATE=12000\r\n"), std::string::npos) << ini;
    // Once done, a second request (the signal after the question) does nothing.
    EXPECT_TRUE(w.FormCloseQuery(false));
}

TEST_F(Startup, TwoLinesAreNotStoredAndAnUnwritableSettingsFileIsIgnored) {
    Ini("");
    TfrmMain w;
    NoDevice(w);
    w.TimOpenDBTimer();
    w.meLogAdd("ONE");
    w.meLogAdd("TWO");
    fs::remove(Home / "Tilo.ini");
    fs::create_directory(Home / "Tilo.ini");  // cannot be read or written as a file
    const int from = w.meSysLogLineCount();
    EXPECT_TRUE(w.FormCloseQuery(false));
    EXPECT_TRUE(Lines(w, from).empty()) << testing::PrintToString(Lines(w, from));
    EXPECT_TRUE(fs::is_directory(Home / "Tilo.ini"));
}

// A settings file that cannot be read still leaves a receiver that decodes: the
// demodulator exists with its defaults and capture and the feed start.
TEST_F(Startup, AnUnreadableSettingsFileLeavesTheDefaultsRunning) {
    fs::create_directory(Home / "Tilo.ini");
    TfrmMain w;
    NoDevice(w);
    w.TimOpenDBTimer();
    EXPECT_TRUE(HasLine(w, "error while reading Tilo.ini : *"));
    ASSERT_NE(w.FModem, nullptr);
    EXPECT_EQ(w.FModem->FCenter, 1200);
    EXPECT_EQ(w.Decoder.FModem, w.FModem.get());
    EXPECT_TRUE(w.ServSock->Active());
    EXPECT_TRUE(HasLine(w, "audio settings: PCM, 11025Hz, 16bit, 1024 samples/block"));
}

TEST_F(Startup, TheFeedPortIs50123UnlessTheSwitchNamesAPort) {
    TfrmMain w;
    const std::pair<const char*, uint16_t> cases[] = {
        {nullptr, 50123}, {"", 50123}, {"50999", 50999}, {"0", 0}, {"abc", 50123}, {"70000", 50123}, {"-1", 50123}};
    for (const auto& [value, port] : cases) {
        if (value) ::setenv("TILO_FEED_PORT", value, 1);
        else ::unsetenv("TILO_FEED_PORT");
        EXPECT_EQ(w.FeedPort(), port) << (value ? value : "(unset)");
    }
}

// A signal arriving while "Quit Tilo ?" is open shuts down from inside the question's
// loop; the Yes that follows must not store the message or write the settings again.
TEST_F(Startup, ASignalDuringTheQuestionShutsDownOnce) {
    Ini("");
    TfrmMain w;
    NoDevice(w);
    w.TimOpenDBTimer();
    for (const char* l : {"ONE", "TWO", "THREE"}) w.meLogAdd(l);
    struct TSignalInQuestion : TScriptedPrompts {
        TfrmMain* Main = nullptr;
        TModalResult MessageDlg(const std::string& Text, TMsgDlgType Type, TMsgDlgButtons Buttons) override {
            Main->FormCloseQuery(false);
            return TScriptedPrompts::MessageDlg(Text, Type, Buttons);
        }
    } prompts;
    prompts.Main = &w;
    prompts.Answers = {mrYes};
    const int from = w.meSysLogLineCount();
    EXPECT_TRUE(w.FormCloseQuery());
    int stores = 0;
    for (const auto& l : Lines(w, from)) stores += Like(l, "Database: message ??0 *");
    EXPECT_EQ(stores, 1);
}
