// The delayed opening with the message store in process: the real window over the real
// data module in a fresh application folder. The lines of a first start in order, a
// message stored and one dropped by the do-not-log list, the options save rebuilding
// that list, shutdown storing a cut-off message and closing the tables; a database file
// that no longer opens (the severe line and box, and a receiver that still runs and
// keeps what it decodes); a lexicon that does not open; narrow keyword fields widened
// once with their records.
#include <QAbstractItemModel>
#include <QCoreApplication>
#include <QLabel>
#include <QTabWidget>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QTimer>
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "HomeFolder.h"
#include "DataModuleKit.h"
#include "MainTestKit.h"
#include "QtTestApp.h"
#include "ScriptedPrompts.h"
#include "app/DBCtrls.h"
#include "app/DBGrids.h"
#include "app/DataModule.h"
#include "app/UCommon.h"
#include "classlib/DB.h"
#include "decoder/UCommon.h"
#include "engine/access/ORQDatabase.h"
#include "engine/access/ORQMain.h"
#include "engine/access/ORQTable.h"
#include "engine/foundation/ORQTypesRoutines.h"
#include "platform/AudioSource.h"

namespace fs = std::filesystem;
using namespace tilo;
using tilo_test::ReadAll;
using tilo_test::TNoDevice;
using tilo_test::Like;
using tilo_test::TScriptedPrompts;

namespace {

// Three invented stations on 518 kHz: two found by letter and keyword, one by its
// unique keyword; and five words.
const char* const StationFile =
    "VERSION5\r\n"
    "1#518#E#EQE#EQUATOR EAST#EE#EASTLAND#0#45#######EQUATOR EAST##\r\n"
    "2#518#F#EQF#EQUATOR FAR#EF#FARLAND#0#90#######EQUATOR FAR##\r\n"
    "3#518#G#MRN#MERIDIAN NORTH#MN#NORTHLAND#60#0########MERIDIAN NORTH#\r\n";
const char* const Lexicon = "GALE\r\nWARNING\r\nNAVAREA\r\nICE\r\nBUOY\r\n";

struct StartupStore : testing::Test {
    tilo_test::THomeFolder Folder;
    fs::path Home;
    TScriptedPrompts Prompts;
    std::unique_ptr<TDataModule1> Module;
    std::unique_ptr<TfrmMain> W;

    void SetUp() override {
        Folder.Enter();
        Home = Folder.Path;
        Folder.Defaults(StationFile, Lexicon);
    }
    void TearDown() override {
        Close();
        Folder.Leave();
    }
    void Ini(const std::string& Text) { std::ofstream(Home / "Tilo.ini", std::ios::binary) << Text; }

    // The store, then the window on it, in the program's order.
    void MakeStore() { Module = std::make_unique<TDataModule1>(); }
    void MakeWindow() {
        W = std::make_unique<TfrmMain>();
        W->DataModule1 = Module.get();
        W->AudioSourceFactory = [] { return std::unique_ptr<TAudioSource>(new TNoDevice); };
    }
    void Start() {
        if (!Module) MakeStore();
        MakeWindow();
        W->TimOpenDBTimer();
    }
    void Close() {
        if (Module) Module->FOnMessage = nullptr, Module->FOnStationText = nullptr;
        W.reset();
        Module.reset();
    }

    std::vector<std::string> Lines(int From = 0) const {
        std::vector<std::string> out;
        for (int i = From; i < W->meSysLogLineCount(); ++i) out.push_back(W->meSysLogLine(i).substr(9));
        return out;
    }
    int Count(const std::string& Pattern) const {
        int n = 0;
        for (const auto& l : Lines()) n += Like(l, Pattern);
        return n;
    }
    std::vector<std::string> Boxes() const {
        std::vector<std::string> out;
        for (const auto& e : Prompts.Log) out.push_back(e.Text);
        return out;
    }
    // A finished message as the decoder hands it over: lines after the date-time and "> ".
    void Decoded(char Letter, const std::string& Serial, const std::vector<std::string>& Body) {
        std::string text = "2026-03-16 10:20:30> ZCZC " + std::string(1, Letter) + "A" + Serial + "\r\n";
        for (const auto& l : Body) text += "2026-03-16 10:20:31> " + l + "\r\n";
        text += "2026-03-16 10:20:32> NNNN\r\n";
        W->AddLogRecord(Letter, "A", tilo_test::Utc(2026, 3, 16, 10, 20, 33), Serial, text, 518, 90);
    }
    // A station table as an older install left it: the keyword fields 100 wide, two
    // stations.
    static void MakeNarrowStationTable() {
        using namespace orq;
        {
            TORQDatabase db(nullptr);
            db.SetDatabaseName("NAVTEX");
            db.SetDatabaseFileName("TILO_DB.ORQ");
            db.CreateDatabase();
            db.Open();
            TORQTable t(nullptr);
            t.SetDatabaseName("NAVTEX");
            t.SetTableName("STATIONS");
            struct F {
                const char* Name;
                uint8_t Type;
                int32_t Size;
            };
            for (const F& f : {F{"NAVAREA", aftSmallInt, 0}, F{"FREQ", aftDouble, 0}, F{"IDLETTER", aftChar, 1},
                               F{"CALLSIGN", aftVarChar, 8}, F{"LOCATION", aftVarChar, 40}, F{"COUNTRY", aftVarChar, 25},
                               F{"COUNTRYCODE", aftVarChar, 10}, F{"LAT", aftDouble, 0}, F{"LON", aftDouble, 0},
                               F{"T1", aftVarChar, 10}, F{"T2", aftVarChar, 10}, F{"T3", aftVarChar, 10},
                               F{"T4", aftVarChar, 10}, F{"T5", aftVarChar, 10}, F{"T6", aftVarChar, 10},
                               F{"IDTEXT", aftVarChar, 100}, F{"UNIQUEID", aftVarChar, 100}}) {
                TORQAdvFieldDef* d = t.AdvFieldDefs().Add();
                d->Name = f.Name;
                d->DataType = f.Type;
                d->Size = f.Size;
            }
            TORQAdvIndexDef* i = t.AdvIndexDefs().Add();
            i->Name = "IDX_NAVLOC";
            i->Fields = "NAVAREA;LOCATION";
            i->MaxIndexedSizes = "0;40";
            t.CreateTable();
            t.Open();
            for (const tilo_test::TKitStation& s :
                 {tilo_test::TKitStation{1, 518, "E", "EQE", "EQUATOR EAST", "EE", 0, 45, "EQUATOR EAST", "EASTERN"},
                  tilo_test::TKitStation{2, 518, "F", "EQF", "EQUATOR FAR", "EF", 0, 90, "EQUATOR FAR", ""}}) {
                t.Append();
                t.FieldByName("NAVAREA")->SetAsInteger(s.NavArea);
                t.FieldByName("FREQ")->SetAsFloat(s.Freq);
                t.FieldByName("IDLETTER")->SetAsString(s.Letter);
                t.FieldByName("CALLSIGN")->SetAsString(s.Call);
                t.FieldByName("LOCATION")->SetAsString(s.Location);
                t.FieldByName("COUNTRYCODE")->SetAsString(s.CountryCode);
                t.FieldByName("LAT")->SetAsFloat(s.Lat);
                t.FieldByName("LON")->SetAsFloat(s.Lon);
                t.FieldByName("IDTEXT")->SetAsString(s.IdText);
                if (*s.UniqueId) t.FieldByName("UNIQUEID")->SetAsString(s.UniqueId);
                t.Post();
            }
            t.Close();
            db.Close();
        }
    }
    static void Garble(const fs::path& File) {
        std::ofstream(File, std::ios::binary | std::ios::trunc) << std::string(8192, '\x5a');
    }
};

TEST_F(StartupStore, AFreshFolderOpensWithTheLinesInOrderStoresDropsAndClosesAtShutdown) {
    const std::string far = FormatStationLine("518", "2", "F", "EQF", "EQUATOR FAR", "EF");
    Ini("[OPTIONS]\r\nRX_LAT=0\r\nRX_LON=0\r\n[DO_NOT_LOG]\r\n1=" + far + "\r\n");
    Start();
    const std::string defaults = (Home / "defaults").string();
    const std::vector<std::string> expected = {
        "startup...",
        "OS version: #*.#* build #*, *",
        "CPU's detected: #*",
        "opening databases...",
        "Database: Log table succesfully opened, 0 records",
        "Database: Station table succesfully opened, 3 records",
        // What provisioning found, held until the callback was installed.
        "Database: created database file TILO_DB.ORQ with tables NAVTEXLOG, STATIONS",
        "Database: imported 3 stations from " + defaults + "/TILO_STATIONS.TXT into STATIONS",
        "Database: created database file LEX.ORQ with tables DBWORD",
        "Database: imported 5 words from " + defaults + "/lexicon.txt into DBWORD",
        "path: " + Home.string() + "/Tilo.ini",
        "modem FCenter/Shift set to: 1200/170",
        "No wave audio recording devices found",
        "audio settings: PCM, 11025Hz, 16bit, 1024 samples/block",
        "Could not open the input device for recording: the reader has no buffers",
        "net: Server listening on port  *",
    };
    const auto got = Lines();
    ASSERT_EQ(got.size(), expected.size()) << testing::PrintToString(got);
    for (std::size_t i = 0; i < got.size(); ++i) EXPECT_TRUE(Like(got[i], expected[i])) << got[i];
    EXPECT_TRUE(Boxes().empty()) << testing::PrintToString(Boxes());

    EXPECT_EQ(W->lblRecCount->text().toStdString(), "RECORDS: 0");
    EXPECT_EQ(W->DBLogGridView->DataSource(), Module->DsLog);
    EXPECT_EQ(W->DBStationGridView->DataSource(), Module->DSStations);
    EXPECT_TRUE(Module->WordTable->Active());
    EXPECT_TRUE(Module->LogTable->Eof());
    // The station lists and the store's do-not-log list from the settings.
    ASSERT_EQ(W->cbAllStations->count(), 3);
    EXPECT_EQ(Module->FExclusionList.Text(), far + "\r\n");

    // Decoded messages are stored with the station identified and reported; the
    // excluded station's is dropped.
    int from = W->meSysLogLineCount();
    Decoded('E', "01", {"EQUATOR EAST RADIO", "GALE WARNING"});
    Decoded('F', "02", {"EQUATOR FAR RADIO", "ICE REPORT"});
    Decoded('W', "03", {"MERIDIAN NORTH", "BUOY ADRIFT"});
    EXPECT_EQ(Lines(from), (std::vector<std::string>{
                               "Database: message EA01/1/EQE EQUATOR EAST,EE STORED (GID)",
                               "Database: message FA02/2/EQF EQUATOR FAR,EF on exclusion list, DELETED",
                               "Database: message GA03/3/MRN MERIDIAN NORTH,MN STORED (UID)",
                           }));
    EXPECT_EQ(Module->LogTable->RecordCount(), 2);
    // The message page's memo, bound all along, shows the stored text.
    Module->LogTable->Last();
    EXPECT_NE(W->DBMemo1->toPlainText().indexOf("MERIDIAN NORTH"), -1) << W->DBMemo1->toPlainText().toStdString();

    // The options save rebuilds the list: with every station checked, the far one's
    // next message is kept.
    for (int i = 0; i < W->cbAllStations->count(); ++i) W->cbAllStations->item(i)->setCheckState(Qt::Checked);
    W->cbAllStations->item(0)->setCheckState(Qt::Unchecked);
    const std::string first = W->cbAllStations->item(0)->text().toStdString();
    W->btnSaveOptionsClick();
    EXPECT_EQ(Module->FExclusionList.Text(), first + "\r\n");
    Decoded('F', "04", {"EQUATOR FAR RADIO"});
    EXPECT_EQ(Module->LogTable->RecordCount(), 3);

    // Every page of the started receiver with its stored messages, for review; the
    // message page's grid shows the three.
    W->resize(1100, 760);
    W->show();
    for (int i = 0; i < W->PageControl1->count(); ++i) {
        W->PageControl1->setCurrentIndex(i);
        QCoreApplication::processEvents();
        if (W->PageControl1->currentWidget() == W->tsMessages)
            EXPECT_EQ(W->DBLogGridView->model()->rowCount(), 3);
        tilo_test::SaveGrab(W->grab().toImage(),
                            "started_" + W->PageControl1->tabText(i).replace(' ', '_').toStdString());
    }

    // Shutdown stores the cut-off message, then closes the log and word tables.
    for (const char* l : {"ZCZC", "PART OF A MESSAGE", "CUT OFF"}) W->meLogAdd(std::string("2026-03-16 11:00:00> ") + l);
    from = W->meSysLogLineCount();
    EXPECT_TRUE(W->FormCloseQuery(false));
    EXPECT_EQ(Lines(from), std::vector<std::string>{"Database:  no valid ID-char for ??0/0, message stored. (GID)"});
    EXPECT_FALSE(Module->LogTable->Active());
    EXPECT_FALSE(Module->WordTable->Active());
    Close();

    // A restart finds all four.
    MakeStore();
    MakeWindow();
    W->TimOpenDBTimer();
    EXPECT_EQ(Count("Database: Log table succesfully opened, 4 records"), 1);
    EXPECT_EQ(Count("Database: created *"), 0);
    EXPECT_EQ(W->lblRecCount->text().toStdString(), "RECORDS: 4");
    EXPECT_EQ(Module->LogTable->FieldByName("IDLETTER")->AsString(), "?");
}

// The database file no longer opens when the first tick comes: the line and the box,
// and the receiver still starts its audio and feed; what it decodes meanwhile waits in
// the queue file and is stored by the next start that opens the file.
TEST_F(StartupStore, ADatabaseFileThatDoesNotOpenIsSevereAndWhatIsDecodedWaits) {
    Ini("");
    MakeStore();
    Module->ORQDB->SetConnected(false);
    const std::string good = ReadAll(Home / "TILO_DB.ORQ");
    Garble(Home / "TILO_DB.ORQ");
    MakeWindow();
    W->TimOpenDBTimer();
    EXPECT_EQ(Count("SEVERE DATABASE PROBLEM!!"), 1);
    EXPECT_EQ(Boxes(), std::vector<std::string>{"SEVERE DATABASEPROBLEM DETECTED\rCANNOT OPEN NAVTEX.ORQ!!"});
    EXPECT_EQ(Count("Database: Log table succesfully opened*"), 0);
    EXPECT_EQ(Count("audio settings: PCM, 11025Hz, 16bit, 1024 samples/block"), 1);
    EXPECT_TRUE(W->ServSock->Active());
    EXPECT_TRUE(W->TickerTimer->isActive());
    EXPECT_EQ(Count("EXCEPTION*"), 0) << testing::PrintToString(Lines());

    Decoded('E', "01", {"EQUATOR EAST RADIO"});
    EXPECT_NE(ReadAll(Home / "TILO_QUEUE.TXT").find("EQUATOR EAST RADIO"), std::string::npos);
    EXPECT_TRUE(W->FormCloseQuery(false));
    Close();

    // The file mended, the next start stores the waiting message.
    std::ofstream(Home / "TILO_DB.ORQ", std::ios::binary | std::ios::trunc) << good;
    Prompts.Log.clear();
    Start();
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(Count("Database: 1 messages waiting in TILO_QUEUE.TXT from an earlier run"), 1);
    EXPECT_EQ(Count("Database: message EA01/1/EQE EQUATOR EAST,EE STORED (GID)"), 1);
    EXPECT_EQ(Module->LogTable->RecordCount(), 1);
    EXPECT_FALSE(fs::exists(Home / "TILO_QUEUE.TXT"));
}

// A settings file that is no text of lines: said in the system log, kept aside (an
// earlier one kept aside stays), a fresh file written and its values used.
TEST_F(StartupStore, ASettingsFileOfBinaryBytesIsSaidKeptAsideAndReplaced) {
    const std::string earlier = "an earlier bad file";
    std::ofstream(Home / "Tilo.ini.bad", std::ios::binary) << earlier;
    const std::string binary = std::string("[SETTINGS]\r\nFREQ=1500\r\n") + '\0' + "\x01\x02garbage";
    Ini(binary);
    Start();
    const std::string ini = (Home / "Tilo.ini").string();
    EXPECT_EQ(Count(ini + " cannot be read as a settings file (control character 0 at byte 23): kept as " + ini +
                    ".bad.2, a fresh one written"),
              1)
        << testing::PrintToString(Lines());
    EXPECT_EQ(ReadAll(Home / "Tilo.ini.bad"), earlier);
    EXPECT_EQ(ReadAll(Home / "Tilo.ini.bad.2"), binary);
    EXPECT_NE(ReadAll(Home / "Tilo.ini").find("FREQ=1200\r\n"), std::string::npos);
    EXPECT_EQ(Count("modem FCenter/Shift set to: 1200/170"), 1);
    // A text file with blank and foreign lines is a settings file.
    Close();
    Ini("; comment\r\n\r\n[SETTINGS]\r\nFREQ=1300\r\nline \xe9\r\n");
    Start();
    EXPECT_EQ(Count("*cannot be read as a settings file*"), 0);
    EXPECT_EQ(Count("modem FCenter/Shift set to: 1300/170"), 1);
}

// The lexicon does not open: an exception line, and the rest of start-up runs.
TEST_F(StartupStore, ALexiconThatDoesNotOpenIsAnExceptionLineAndStartUpGoesOn) {
    Ini("");
    MakeStore();
    Module->LEXDB->SetConnected(false);
    Garble(Home / "LEX.ORQ");
    MakeWindow();
    W->TimOpenDBTimer();
    EXPECT_EQ(Count("EXCEPTION trapped @* TfrmMain *"), 1) << testing::PrintToString(Lines());
    EXPECT_EQ(Count("SEVERE DATABASE PROBLEM!!"), 0);
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(Count("audio settings: PCM, 11025Hz, 16bit, 1024 samples/block"), 1);
    EXPECT_TRUE(W->ServSock->Active());
    EXPECT_EQ(W->DBStationGridView->DataSource(), Module->DSStations);
    const int from = W->meSysLogLineCount();
    Decoded('E', "01", {"EQUATOR EAST RADIO"});
    EXPECT_EQ(Lines(from), std::vector<std::string>{"Database: message EA01/1/EQE EQUATOR EAST,EE STORED (GID)"});
}

// A station table from an older install, its keyword fields 100 wide: each is widened
// once, with its line, and the records keep their keywords; a table already 300 wide
// is left alone.
TEST_F(StartupStore, NarrowKeywordFieldsAreWidenedOnceWithTheirRecords) {
    using orq::TORQTable;
    const std::string longKeywords = std::string(150, 'K') + ",EQUATOR EAST";
    MakeNarrowStationTable();
    Ini("");
    Start();
    EXPECT_EQ(Lines().at(6), "Database: stationtable: changing fieldsize \"IDTEXT\" to 300 ...");
    EXPECT_EQ(Lines().at(7), "Database: stationtable: changing fieldsize \"UNIQUEID\" to 300 ...");
    EXPECT_EQ(Count("EXCEPTION*"), 0) << testing::PrintToString(Lines());
    TORQTable& st = *Module->StationTable;
    ASSERT_TRUE(st.Active());
    EXPECT_EQ(st.FieldByName("IDTEXT")->Size(), 300);
    EXPECT_EQ(st.FieldByName("UNIQUEID")->Size(), 300);
    ASSERT_EQ(st.RecordCount(), 2);
    // The keywords kept; a keyword list longer than the old width now fits and still
    // identifies.
    st.First();
    EXPECT_EQ(st.FieldByName("CALLSIGN")->AsString(), "EQE");
    EXPECT_EQ(st.FieldByName("IDTEXT")->AsString(), "EQUATOR EAST");
    EXPECT_EQ(st.FieldByName("UNIQUEID")->AsString(), "EASTERN");
    Module->SetIdKeywords("518", "1", "E", "EQE", longKeywords);
    Decoded('E', "01", {"EQUATOR EAST RADIO"});
    EXPECT_EQ(Count("Database: message EA01/1/EQE EQUATOR EAST,EE STORED (GID)"), 1);
    Close();

    Start();
    EXPECT_EQ(Count("Database: stationtable: changing fieldsize *"), 0);
    std::string id;
    classlib::TStringList keywords;
    Module->GetIdKeywords("518", "E", "1", "EQE", keywords);
    EXPECT_EQ(keywords.Count(), 2);
    EXPECT_EQ(keywords.Get(0), std::string(150, 'K'));
}

// A widening that cannot run (another cursor holds the station table): its exception
// line, and the station table open again, so that messages are still identified and
// stored rather than left waiting.
TEST_F(StartupStore, AWideningThatFailsLeavesTheStationTableOpen) {
    MakeNarrowStationTable();
    Ini("");
    MakeStore();
    orq::TORQTable holder(nullptr);
    holder.SetDatabaseName("NAVTEX");
    holder.SetTableName("STATIONS");
    holder.Open();
    MakeWindow();
    W->TimOpenDBTimer();
    EXPECT_EQ(Count("EXCEPTION trapped @* TfrmMain *'STATIONS'*"), 1) << testing::PrintToString(Lines());
    EXPECT_TRUE(Module->StationTable->Active());
    EXPECT_EQ(Module->StationTable->FieldByName("IDTEXT")->Size(), 100);
    EXPECT_EQ(Count("audio settings: PCM, 11025Hz, 16bit, 1024 samples/block"), 1);
    const int from = W->meSysLogLineCount();
    Decoded('E', "01", {"EQUATOR EAST RADIO"});
    EXPECT_EQ(Lines(from), std::vector<std::string>{"Database: message EA01/1/EQE EQUATOR EAST,EE STORED (GID)"});
    holder.Close();
}

}  // namespace
