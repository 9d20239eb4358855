// Provisioning of a fresh install: the two database files and their tables created with
// the schema and filled from the default data, missing tables added, existing files and
// tables never touched; and the station table's keyword lists and look-ups.
#include "DataModuleKit.h"

#include <algorithm>

#include "engine/access/ORQDatabase.h"
#include "engine/access/ORQLocalSession.h"
#include "engine/access/ORQScriptedUserInterface.h"
#include "engine/access/ORQTable.h"
#include "engine/foundation/ORQTypesRoutines.h"
#include "engine/storage/ORQDiskDatabase.h"

using namespace tilo_test;

namespace {

class DataModuleProvision : public DataModuleFixture {
protected:
    // The structure of Table as stored: "NAME:type:size" per field, then
    // "index NAME(FIELDS) options" per index.
    static std::vector<std::string> Structure(const std::string& Database, const std::string& Table) {
        orq::TORQTable t(nullptr);
        t.SetDatabaseName(Database);
        t.SetTableName(Table);
        t.Open();
        std::vector<std::string> s;
        for (int32_t i = 0; i < t.RestructureFieldDefs().Count(); ++i) {
            const orq::TORQAdvFieldDef& d = *t.RestructureFieldDefs().GetItem(i);
            s.push_back(d.Name + ":" + std::to_string(d.DataType) + ":" + std::to_string(d.Size));
        }
        for (int32_t i = 0; i < t.RestructureIndexDefs().Count(); ++i) {
            const orq::TORQAdvIndexDef& d = *t.RestructureIndexDefs().GetItem(i);
            s.push_back("index " + d.Name + "(" + d.Fields + ") " + std::to_string(d.Options) + " " + d.MaxIndexedSizes);
        }
        return s;
    }
    static std::string DataFolder() { return std::string(TILO_SOURCE_DIR) + "/tests/app/data/datamodule"; }
};

std::string F(const char* Name, int Type, int Size) {
    return std::string(Name) + ":" + std::to_string(Type) + ":" + std::to_string(Size);
}

TEST_F(DataModuleProvision, AnEmptyFolderGetsBothFilesWithTheSchemaAndTheReportsWaitForTheCallback) {
    using namespace orq;
    Module = std::make_unique<tilo::TDataModule1>();
    EXPECT_EQ(tilo::DataModule1, Module.get());
    EXPECT_TRUE(Module->ORQDB->Connected());
    EXPECT_TRUE(Module->LEXDB->Connected());
    EXPECT_EQ(tilo::DSStations, Module->DSStations);
    Module->FOnMessage = [this](const std::string& Text) { Reports.push_back(Text); };
    EXPECT_NE(std::find(Reports.begin(), Reports.end(), "created database file TILO_DB.ORQ with tables NAVTEXLOG, STATIONS"),
              Reports.end());
    EXPECT_NE(std::find(Reports.begin(), Reports.end(), "created database file LEX.ORQ with tables DBWORD"), Reports.end());
    // The components as declared.
    EXPECT_EQ(Module->ORQDB->DatabaseName(), "NAVTEX");
    EXPECT_EQ(Module->ORQDB->DatabaseFileName(), "TILO_DB.ORQ");
    EXPECT_EQ(Module->LEXDB->DatabaseName(), "LEX");
    EXPECT_EQ(Module->LEXDB->DatabaseFileName(), "LEX.ORQ");
    for (orq::TORQDatabase* db : {Module->ORQDB, Module->LEXDB}) {
        EXPECT_FALSE(db->Exclusive);
        EXPECT_FALSE(db->MultiUser);
        EXPECT_EQ(db->MaxConnections, 1);
        EXPECT_EQ(db->SessionName(), "Default");
    }
    EXPECT_EQ(Module->LogTable->IndexName(), "IDX_DT");
    EXPECT_EQ(Module->StationTable->IndexName(), "IDX_NAVLOC");
    EXPECT_EQ(Module->WordTable->IndexName(), "IDX_WORDS");
    EXPECT_FALSE(Module->StationTable->AutoCalcFields);
    EXPECT_FALSE(Module->DSStations->AutoEdit);
    EXPECT_EQ(Module->DsLog->DataSet(), Module->LogTable);
    EXPECT_EQ(Module->DSWords->DataSet(), Module->WordTable);
    Module.reset();
    EXPECT_EQ(tilo::DataModule1, nullptr);

    // Plain components of the two names read the files back.
    orq::TORQDatabase navtex(nullptr), lex(nullptr);
    navtex.SetDatabaseName("NAVTEX");
    navtex.SetDatabaseFileName("TILO_DB.ORQ");
    lex.SetDatabaseName("LEX");
    lex.SetDatabaseFileName("LEX.ORQ");
    const int pk = classlib::ixPrimary | classlib::ixUnique;
    EXPECT_EQ(Structure("NAVTEX", "NAVTEXLOG"),
              (std::vector<std::string>{F("UTCRECEIVED", aftDateTime, 0), F("FREQ", aftInteger, 0),
                                        F("SIGQUAL", aftDouble, 0), F("IDLETTER", aftVarChar, 1),
                                        F("MSGTYPE", aftVarChar, 1), F("MSGNUMBER", aftVarChar, 4),
                                        F("NAVAREA", aftSmallInt, 0), F("STATION", aftVarChar, 75),
                                        F("MSGTEXT", aftMemo, 0), F("DIST", aftInteger, 0),
                                        "index IDX_DT(UTCRECEIVED) " + std::to_string(pk) + " 20",
                                        "index IDX_LETTER(IDLETTER;UTCRECEIVED) 0 20;20",
                                        "index IDX_AREA(NAVAREA;UTCRECEIVED) 0 20;20",
                                        "index IDX_FREQ(FREQ;UTCRECEIVED) 0 20;20"}));
    EXPECT_EQ(Structure("NAVTEX", "STATIONS"),
              (std::vector<std::string>{
                  F("NAVAREA", aftSmallInt, 0), F("FREQ", aftDouble, 0), F("IDLETTER", aftChar, 1),
                  F("CALLSIGN", aftVarChar, 8), F("LOCATION", aftVarChar, 40), F("COUNTRY", aftVarChar, 25),
                  F("COUNTRYCODE", aftVarChar, 10), F("LAT", aftDouble, 0), F("LON", aftDouble, 0),
                  F("T1", aftVarChar, 10), F("T2", aftVarChar, 10), F("T3", aftVarChar, 10), F("T4", aftVarChar, 10),
                  F("T5", aftVarChar, 10), F("T6", aftVarChar, 10), F("IDTEXT", aftVarChar, 300),
                  F("UNIQUEID", aftVarChar, 300), "index IDX_NAVLOC(NAVAREA;LOCATION) 0 20;40"}));
    EXPECT_EQ(Structure("LEX", "DBWORD"), (std::vector<std::string>{F("WORDS", aftVarChar, 40),
                                                                     "index IDX_WORDS(WORDS) " + std::to_string(pk) +
                                                                         " 40"}));
}

TEST_F(DataModuleProvision, AMissingTableIsAddedAndExistingFilesStayByteIdentical) {
    {
        orq::TORQDatabase lex(nullptr);
        lex.SetDatabaseName("LEX");
        lex.SetDatabaseFileName("LEX.ORQ");
        lex.CreateDatabase();
    }
    Make(false);
    EXPECT_NE(std::find(Reports.begin(), Reports.end(), "created missing table DBWORD in LEX.ORQ"), Reports.end());
    EXPECT_EQ(std::find(Reports.begin(), Reports.end(), "created database file LEX.ORQ with tables DBWORD"), Reports.end());
    Module->WordTable->Open();
    EXPECT_EQ(Module->WordTable->RecordCount(), 0);
    Module.reset();
    const std::string log = ReadFile("TILO_DB.ORQ"), lex = ReadFile("LEX.ORQ");
    Reports.clear();
    Make(false);
    EXPECT_TRUE(Reports.empty()) << Reports.front();
    Module.reset();
    EXPECT_EQ(ReadFile("TILO_DB.ORQ"), log);
    EXPECT_EQ(ReadFile("LEX.ORQ"), lex);
}

// A log of an older file, with IDX_DT only, gains the filters' indexes at its first open
// (one report) and keeps its records; later opens find them and write nothing.
TEST_F(DataModuleProvision, AnOlderLogGainsTheFilterIndexesOnceAndKeepsItsRecords) {
    Make(false);
    Module.reset();
    {
        orq::TORQDatabase navtex(nullptr);
        navtex.SetDatabaseName("NAVTEX");
        navtex.SetDatabaseFileName("TILO_DB.ORQ");
        navtex.Open();
        orq::TORQTable t(nullptr);
        t.SetDatabaseName("NAVTEX");
        t.SetTableName("NAVTEXLOG");
        for (const char* name : {"IDX_LETTER", "IDX_AREA", "IDX_FREQ"}) t.DeleteIndex(name);
        t.Open();
        for (int i = 0; i < 60; ++i) {
            t.Append();
            t.FieldByName("UTCRECEIVED")->SetAsDateTime(classlib::EncodeDate(2026, 1, 1) + i / 1440.0);
            t.FieldByName("FREQ")->SetAsInteger(i % 2 ? 490 : 518);
            t.FieldByName("IDLETTER")->SetAsString(std::string(1, char('A' + i % 3)));
            t.FieldByName("NAVAREA")->SetAsInteger(i % 4);
            t.Post();
        }
    }
    auto structure = [] {
        orq::TORQDatabase navtex(nullptr);
        navtex.SetDatabaseName("NAVTEX");
        navtex.SetDatabaseFileName("TILO_DB.ORQ");
        return Structure("NAVTEX", "NAVTEXLOG");
    };
    ASSERT_EQ(structure().size(), 11u);
    Reports.clear();
    Make();
    EXPECT_EQ(Reports, (std::vector<std::string>{
                           "indexed NAVTEXLOG in TILO_DB.ORQ for the log filters: IDX_LETTER, IDX_AREA, IDX_FREQ"}));
    EXPECT_EQ(LogCount(), 60);
    Module->SetLogFilter(490, "*", "B");
    EXPECT_EQ(Module->LogTable->IndexName(), "IDX_LETTER");
    EXPECT_EQ(LogCount(), 10);  // i % 6 == 1
    Module.reset();
    const std::vector<std::string> s = structure();
    ASSERT_EQ(s.size(), 14u);
    EXPECT_EQ(s[11], "index IDX_LETTER(IDLETTER;UTCRECEIVED) 0 20;20");
    const std::string log = ReadFile("TILO_DB.ORQ");
    Reports.clear();
    Make();
    EXPECT_TRUE(Reports.empty()) << Reports.front();
    Module.reset();
    EXPECT_EQ(ReadFile("TILO_DB.ORQ"), log);
}

TEST_F(DataModuleProvision, AGarbageFileIsNotReplacedAndTheOpenRaises) {
    const std::string garbage(5000, 'x');
    WriteFile("TILO_DB.ORQ", garbage);
    EXPECT_ANY_THROW(Make(false));
    EXPECT_EQ(tilo::DataModule1, nullptr);
    EXPECT_EQ(tilo::DSStations, nullptr);
    EXPECT_EQ(ReadFile("TILO_DB.ORQ"), garbage);
}

TEST_F(DataModuleProvision, NewTablesAreFilledFromTheDefaultDataAndExistingOnesLeftAlone) {
    tilo::TDataModule1::DefaultDataFolder = DataFolder();
    Make();
    const std::string folder = DataFolder();
    EXPECT_NE(std::find(Reports.begin(), Reports.end(),
                        "imported 3 stations from " + folder + "/TILO_STATIONS.TXT into STATIONS"),
              Reports.end());
    EXPECT_NE(std::find(Reports.begin(), Reports.end(),
                        "imported 4 words from " + folder + "/lexicon.txt into DBWORD, 3 lines skipped"),
              Reports.end());
    classlib::TDataSet& s = *Module->StationTable;
    EXPECT_EQ(s.RecordCount(), 3);
    ASSERT_TRUE(Module->LocateStation("518", "S", "1", "STA1"));
    EXPECT_EQ(s.FieldByName("IDTEXT")->AsString(), "ALPHA,BRAVO");
    EXPECT_EQ(s.FieldByName("UNIQUEID")->AsString(), "UNIQALPHA");
    EXPECT_EQ(s.FieldByName("COUNTRY")->AsString(), "ALPHALAND");
    EXPECT_EQ(s.FieldByName("T2")->AsString(), "0410");
    EXPECT_EQ(s.FieldByName("LON")->AsFloat(), 45);
    Module->WordTable->Open();
    std::vector<std::string> words;
    for (Module->WordTable->First(); !Module->WordTable->Eof(); Module->WordTable->Next())
        words.push_back(Module->WordTable->FieldByName("WORDS")->AsString());
    EXPECT_EQ(words, (std::vector<std::string>{"FOG", "GALE", "NAVAREA", "WARNING"}));
    // A fresh install identifies from its first message.
    Module->AddLogRecord('Q', "A", 46000, "01", "ZCZC UNIQALPHA", 518, 1);
    EXPECT_EQ(Reports.back(), "message SA01/1/STA1 ALPHA,AA STORED (UID)");
    s.First();
    s.Delete();
    Module.reset();
    Reports.clear();
    Make();
    EXPECT_EQ(Module->StationTable->RecordCount(), 2) << "an existing table is never refilled";
    EXPECT_TRUE(Reports.empty());
}

TEST_F(DataModuleProvision, KeywordListsLookUpsAndTheStationTablesPosition) {
    tilo::TDataModule1::DefaultDataFolder = DataFolder();
    Make();
    classlib::TDataSet& s = *Module->StationTable;
    s.Last();
    const std::string here = s.FieldByName("CALLSIGN")->AsString();
    classlib::TStringList list;
    Module->GetIdKeywords("518", "S", "1", "STA1", list);
    EXPECT_EQ(list.Text(), "ALPHA\r\nBRAVO\r\n");
    EXPECT_EQ(s.FieldByName("CALLSIGN")->AsString(), here);
    std::string joined;
    tilo::TDataModule1::JoinKeywords(list, joined);
    EXPECT_EQ(joined, "ALPHA,BRAVO");
    list.Clear();
    tilo::TDataModule1::JoinKeywords(list, joined);
    EXPECT_EQ(joined, "");
    Module->GetUniqueKeywords("490", "S", "1", "STA2", list);
    EXPECT_EQ(list.Count(), 0);
    // 300 characters kept of a longer list.
    std::string many;
    while (many.size() < 320) many += "WORD" + std::to_string(many.size()) + ",";
    Module->SetUniqueKeywords("490", "1", "S", "STA2", many);
    EXPECT_EQ(s.FieldByName("CALLSIGN")->AsString(), here);
    Module->GetUniqueKeywords("490", "S", "1", "STA2", list);
    std::string back;
    tilo::TDataModule1::JoinKeywords(list, back);
    EXPECT_EQ(back, many.substr(0, 300));
    Module->SetIdKeywords("518", "2", "K", "STU3", " KILO,LIMA");
    Module->GetIdKeywords("518", "K", "2", "STU3", list);
    EXPECT_EQ(list.Text(), " KILO\r\nLIMA\r\n");
    EXPECT_FALSE(s.ControlsDisabled());
    // Look-ups.
    EXPECT_FALSE(Module->LocateStation("518", "S", "2", "STA1"));
    EXPECT_FALSE(Module->LocateStation("518", "S", "1", "sta1"));
    ASSERT_TRUE(Module->LocateStation("490", "S", "1", "STA2"));
    EXPECT_EQ(s.FieldByName("CALLSIGN")->AsString(), "STA2");
    double lat = 1, lon = 1;
    Module->GetStationPosition("stu3 KILO,KK", lat, lon);
    EXPECT_EQ(lat, 90);
    EXPECT_EQ(lon, 0);
    Module->GetStationPosition("NOSUCH X", lat, lon);
    EXPECT_EQ(lat, 0);
    EXPECT_EQ(lon, 0);
    // Keywords: case-sensitive substrings, blanks belong to them, empty ones never match.
    using M = tilo::TDataModule1;
    EXPECT_TRUE(M::KeywordsInText("FOO,BAR", "A BAR B"));
    EXPECT_FALSE(M::KeywordsInText("FOO,bar", "A BAR B"));
    EXPECT_FALSE(M::KeywordsInText(" BAR", "ABAR"));
    EXPECT_TRUE(M::KeywordsInText(" BAR", "A BAR"));
    EXPECT_FALSE(M::KeywordsInText("", "ANY"));
    EXPECT_FALSE(M::KeywordsInText(",,", "ANY"));
}

}  // namespace

namespace {

// A log file whose message table cannot even be described any more: the repair offered at
// the open answers False, so no empty log takes its place. The receiver says so in the
// system log (the engine's box shows the repair's text), the file stays byte for byte,
// and what it decodes waits in the queue.
TEST_F(DataModuleProvision, ADamagedLogIsNeverReplacedByAnEmptyOneAndMessagesWaitInTheQueue) {
    Make();
    for (int i = 1; i <= 3; ++i)
        Module->AddLogRecord('S', "A", 46000.0 + i / 1440.0, "0" + std::to_string(i), "MESSAGE", 518, 10);
    ASSERT_EQ(LogCount(), 3);
    Module.reset();
    int32_t meta = -1;
    {
        orq::TORQDatabase db(nullptr);
        db.SetDatabaseName("PROBE");
        db.SetDatabaseFileName("TILO_DB.ORQ");
        db.SilentMode = true;
        db.Open();
        int32_t id = -1, locks = -1, state = -1;
        db.Handle()->DiskDatabaseData()->FindTable("NAVTEXLOG", id, locks, state, meta);
    }
    ASSERT_GT(meta, 0);
    // The definitions overwritten, and the file marked as needing repair.
    std::string bytes = ReadFile("TILO_DB.ORQ");
    bytes.replace(static_cast<size_t>(380 + int64_t{meta} * 4096 + 40), 400, std::string(400, 'Z'));
    bytes[42] = 1;
    WriteFile("TILO_DB.ORQ", bytes);
    orq::TORQScriptedUserInterface ui;
    ui.ConfirmAnswers = {true};
    Reports.clear();
    Make(false);
    auto reported = [&](const std::string& Part) {
        return std::any_of(Reports.begin(), Reports.end(),
                           [&](const std::string& R) { return R.find(Part) != std::string::npos; });
    };
    EXPECT_TRUE(reported("database file TILO_DB.ORQ needs repair: its tables are checked once it is repaired"));
    EXPECT_TRUE(reported("repair of database file TILO_DB.ORQ: Problem occured while copying table 'NAVTEXLOG'"));
    EXPECT_TRUE(reported("; The database file is left as it was."));
    EXPECT_TRUE(reported("database file TILO_DB.ORQ needs repair and is open for reading only: messages wait in the "
                         "queue until it is repaired"));
    EXPECT_TRUE(std::any_of(ui.Log.begin(), ui.Log.end(),
                            [](const std::string& L) { return L.rfind("Warning(Problem occured", 0) == 0; }));
    EXPECT_ANY_THROW(Module->LogTable->Open());
    Module->AddLogRecord('S', "A", 46000.5, "04", "KEPT", 518, 10);
    EXPECT_NE(ReadFile("TILO_QUEUE.TXT").find("MSG2#S#A#04#"), std::string::npos);
    Module.reset();
    EXPECT_EQ(ReadFile("TILO_DB.ORQ"), bytes);
    EXPECT_FALSE(Exists("TILO_DB.ORQ.tmp"));
}

}  // namespace
