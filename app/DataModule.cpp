// The data module's components, the provisioning of a fresh install, the station
// look-ups and the keyword lists. The store is DataModuleStore.cpp, the log filters and
// deletions DataModuleLog.cpp.
#include "app/DataModule.h"

#include <QCoreApplication>
#include <QListWidget>
#include <QTimer>

#include <unistd.h>

#include <cmath>
#include <exception>
#include <fstream>
#include <map>
#include <set>
#include <sys/stat.h>

#include "app/StationFile.h"
#include "app/UCommon.h"
#include "classlib/DB.h"
#include "classlib/DBDefs.h"
#include "classlib/NumConv.h"
#include "engine/access/ORQLocalSession.h"
#include "engine/access/ORQMain.h"
#include "engine/foundation/ORQTypesRoutines.h"

namespace tilo {

TDataModule1* DataModule1 = nullptr;
std::string TDataModule1::DefaultDataFolder;

using classlib::TDataSet;
using classlib::TField;

// ---------------------------------------------------------------------------------
// Reports

TDataModuleReportHook& TDataModuleReportHook::operator=(TDataModuleTextEvent Event) {
    FEvent = std::move(Event);
    if (FEvent) {
        std::vector<std::string> held;
        held.swap(FHeld);
        for (const std::string& text : held) FEvent(text);
    }
    return *this;
}

void TDataModuleReportHook::operator()(const std::string& Text, bool Held) {
    if (FEvent)
        FEvent(Text);
    else if (Held)
        FHeld.push_back(Text);
}

namespace {

// ---------------------------------------------------------------------------------
// The schema

struct TFieldShape {
    const char* Name;
    uint8_t Type;
    int32_t Size;
};

void AddFields(orq::TORQTable& Table, std::initializer_list<TFieldShape> Fields) {
    Table.AdvFieldDefs().Clear();
    for (const TFieldShape& f : Fields) {
        orq::TORQAdvFieldDef* d = Table.AdvFieldDefs().Add();
        d->Name = f.Name;
        d->DataType = f.Type;
        d->Size = f.Size;
    }
}

void AddIndex(orq::TORQTable& Table, const char* Name, const char* Fields, classlib::TIndexOptions Options,
              const char* Sizes, bool Clear = true) {
    if (Clear) Table.AdvIndexDefs().Clear();
    orq::TORQAdvIndexDef* i = Table.AdvIndexDefs().Add();
    i->Name = Name;
    i->Fields = Fields;
    i->Options = Options;
    i->MaxIndexedSizes = Sizes;
}

void DefineLogTable(orq::TORQTable& T) {
    using namespace orq;
    AddFields(T, {{"UTCRECEIVED", aftDateTime, 0}, {"FREQ", aftInteger, 0}, {"SIGQUAL", aftDouble, 0},
                  {"IDLETTER", aftVarChar, 1}, {"MSGTYPE", aftVarChar, 1}, {"MSGNUMBER", aftVarChar, 4},
                  {"NAVAREA", aftSmallInt, 0}, {"STATION", aftVarChar, 75}, {"MSGTEXT", aftMemo, 0},
                  {"DIST", aftInteger, 0}});
    AddIndex(T, "IDX_DT", "UTCRECEIVED", classlib::ixPrimary | classlib::ixUnique, "");
    for (const TDataModule1::TLogViewIndex& v : TDataModule1::LogViewIndexes)
        AddIndex(T, v.Name, v.Fields, 0, "", false);
}

void DefineStationTable(orq::TORQTable& T) {
    using namespace orq;
    AddFields(T, {{"NAVAREA", aftSmallInt, 0},   {"FREQ", aftDouble, 0},       {"IDLETTER", aftChar, 1},
                  {"CALLSIGN", aftVarChar, 8},   {"LOCATION", aftVarChar, 40}, {"COUNTRY", aftVarChar, 25},
                  {"COUNTRYCODE", aftVarChar, 10}, {"LAT", aftDouble, 0},      {"LON", aftDouble, 0},
                  {"T1", aftVarChar, 10},        {"T2", aftVarChar, 10},       {"T3", aftVarChar, 10},
                  {"T4", aftVarChar, 10},        {"T5", aftVarChar, 10},       {"T6", aftVarChar, 10},
                  {"IDTEXT", aftVarChar, 300},   {"UNIQUEID", aftVarChar, 300}});
    // Not unique: a station on both frequencies has the same NAVAREA and LOCATION.
    AddIndex(T, "IDX_NAVLOC", "NAVAREA;LOCATION", 0, "0;40");
}

void DefineWordTable(orq::TORQTable& T) {
    AddFields(T, {{"WORDS", orq::aftVarChar, 40}});
    AddIndex(T, "IDX_WORDS", "WORDS", classlib::ixPrimary | classlib::ixUnique, "40");
}

void SetDatabaseSettings(orq::TORQDatabase& Db, const std::string& DatabaseName, const std::string& FileName) {
    Db.SetDatabaseName(DatabaseName);
    Db.SetDatabaseFileName(FileName);
    Db.Exclusive = false;
    Db.MultiUser = false;
    Db.MaxConnections = 1;
    Db.SetSessionName("Default");
}

bool FileExists(const std::string& Name) {
    struct stat st {};
    return ::stat(Name.c_str(), &st) == 0;
}

std::string ProgramFolder() {
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return ".";
    std::string p(path, static_cast<size_t>(n));
    const size_t slash = p.rfind('/');
    return slash == std::string::npos ? std::string(".") : p.substr(0, slash);
}

std::string DataFile(const char* Name) {
    const std::string folder =
        TDataModule1::DefaultDataFolder.empty() ? ProgramFolder() : TDataModule1::DefaultDataFolder;
    return folder + "/" + Name;
}

std::string ErrorText(const std::exception& E) { return E.what(); }

// The import's view of a newly created station table: its stations are all the
// import's own, so a located one is remembered by bookmark.
class TNewStationStore : public TStationStore {
public:
    explicit TNewStationStore(orq::TORQTable& Table) : FTable(Table) {}
    bool LocateStation(const std::string& NavArea, const std::string& Freq, const std::string& IdLetter,
                       const std::string& CallSign) override {
        FKey = NavArea + "#" + Freq + "#" + IdLetter + "#" + CallSign;
        const auto at = FMarks.find(FKey);
        if (at == FMarks.end()) return false;
        FTable.GotoBookmark(at->second);
        return true;
    }
    void EditStation() override { FTable.Edit(); }
    void AppendStation() override {
        FTable.Append();
        ++Added;
    }
    void SetField(TStationField Field, const std::string& Text) override {
        TField* f = FTable.FieldByName(StationFieldNames[Field]);
        if (Text.empty())
            f->Clear();
        else
            f->SetAsString(Text);
    }
    void PostStation() override {
        FTable.Post();
        FMarks[FKey] = FTable.GetBookmark();
    }
    void CancelStation() override { FTable.Cancel(); }
    int32_t Added = 0;

private:
    orq::TORQTable& FTable;
    std::string FKey;
    std::map<std::string, classlib::TBookmark> FMarks;
};

bool IsLexiconWord(const std::string& W) {
    if (W.empty() || W.size() > 40) return false;
    for (char c : W)
        if (c < 'A' || c > 'Z') return false;
    return true;
}

// Fills a newly created table from its default data file; one report line.
void FillStations(orq::TORQDatabase& Db, orq::TORQTable& T, const std::function<void(const std::string&)>& Report) {
    const std::string file = DataFile(StationFileName);
    if (!FileExists(file)) {
        Report("default station file " + file + " not found, table STATIONS left empty");
        return;
    }
    T.Open();
    TNewStationStore store(T);
    Db.StartTransaction();
    TStationFileResult r;
    try {
        r = ReadStationFile(file, store, true);
        Db.Commit(true);
    } catch (const std::exception& e) {
        Db.Rollback();
        T.Close();
        Report("default station file " + file + " not imported, table STATIONS left empty: " + ErrorText(e));
        return;
    }
    T.Close();
    if (r.Ok)
        Report("imported " + std::to_string(store.Added) + " stations from " + file + " into STATIONS");
    else
        Report("default station file " + file + " not imported, table STATIONS left empty: " + r.Text);
}

void FillWords(orq::TORQDatabase& Db, orq::TORQTable& T, const std::function<void(const std::string&)>& Report) {
    const std::string file = DataFile(TDataModule1::LexiconFileName);
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        Report("default lexicon " + file + " not found, table DBWORD left empty");
        return;
    }
    T.Open();
    int32_t words = 0, skipped = 0;
    std::set<std::string> seen;
    Db.StartTransaction();
    try {
        std::string line;
        TField* f = T.FieldByName("WORDS");
        while (std::getline(in, line)) {
            while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
            if (line.empty()) continue;
            if (!IsLexiconWord(line) || !seen.insert(line).second) {
                ++skipped;
                continue;
            }
            T.Append();
            f->SetAsString(line);
            T.Post();
            ++words;
        }
        Db.Commit(true);
    } catch (const std::exception& e) {
        Db.Rollback();
        T.Close();
        Report("default lexicon " + file + " not imported, table DBWORD left empty: " + ErrorText(e));
        return;
    }
    T.Close();
    Report("imported " + std::to_string(words) + " words from " + file + " into DBWORD" +
           (skipped ? ", " + std::to_string(skipped) + " lines skipped" : std::string()));
}

std::string Join(const std::vector<std::string>& Items, const char* Separator) {
    std::string s;
    for (size_t i = 0; i < Items.size(); ++i) s += (i ? Separator : "") + Items[i];
    return s;
}

// The view indexes a log table of an older file lacks, added once: each costs one pass
// over the log (about 1.7 s a million records) and then a key more per store.
void AddLogViewIndexes(orq::TORQDatabase& Db, const std::string& DatabaseName,
                       const std::function<void(const std::string&)>& Report) {
    orq::TORQTable t(nullptr);
    t.SetDatabaseName(DatabaseName);
    t.SetTableName("NAVTEXLOG");
    t.IndexDefs().Update();
    std::vector<const TDataModule1::TLogViewIndex*> missing;
    for (const TDataModule1::TLogViewIndex& v : TDataModule1::LogViewIndexes)
        if (t.IndexDefs().IndexOf(v.Name) < 0) missing.push_back(&v);
    if (missing.empty()) return;
    std::vector<std::string> added;
    for (const TDataModule1::TLogViewIndex* v : missing) {
        try {
            t.AddIndex(v->Name, v->Fields, 0);
            added.push_back(v->Name);
        } catch (const std::exception& e) {
            // The filters work without it, scanning the log as before.
            Report("cannot add index " + std::string(v->Name) + " to NAVTEXLOG in " + Db.DatabaseFileName() + ": " +
                   ErrorText(e));
        }
    }
    if (!added.empty())
        Report("indexed NAVTEXLOG in " + Db.DatabaseFileName() + " for the log filters: " + Join(added, ", "));
}

bool Contains(const std::vector<std::string>& Names, const std::string& Name) {
    for (const std::string& n : Names)
        if (classlib::SameText(n, Name)) return true;
    return false;
}

// Disables the station table's controls and, unless told otherwise, remembers its
// current record; the end puts both back on every path.
class TStationWalk {
public:
    explicit TStationWalk(TDataSet& Table) : FTable(Table) {
        FTable.DisableControls();
        try {
            FMark = FTable.GetBookmark();
        } catch (...) {
            FTable.EnableControls();
            throw;
        }
    }
    ~TStationWalk() {
        try {
            if (FFilterOff) FTable.SetFiltered(false);
        } catch (...) {
        }
        try {
            if (!FMark.empty() && FTable.Active() && FTable.BookmarkValid(FMark)) FTable.GotoBookmark(FMark);
        } catch (...) {
            // The record may be gone; the walk's own result stands.
        }
        FTable.EnableControls();
    }
    TStationWalk(const TStationWalk&) = delete;
    TStationWalk& operator=(const TStationWalk&) = delete;
    // Filters the table by Filter for the walk; filtering goes off at its end.
    void Filter(const std::string& Filter) {
        FFilterOff = true;
        FTable.SetFiltered(false);
        FTable.SetFilterText(Filter);
        FTable.SetFiltered(true);
    }

private:
    TDataSet& FTable;
    classlib::TBookmark FMark;
    bool FFilterOff = false;
};

std::string Text(const TDataSet& Table, const char* Field) { return Table.FieldByName(Field)->AsString(); }

// The distance to the station the table stands on; -1 when it cannot be computed.
int32_t StationDistance(const TDataSet& T) {
    try {
        return GreatCircleDistance(DegToRad(RxLat), DegToRad(RxLon), DegToRad(T.FieldByName("LAT")->AsFloat()),
                                   DegToRad(T.FieldByName("LON")->AsFloat()));
    } catch (...) {
        return -1;
    }
}

int32_t StationFreq(const TDataSet& T) {
    const TField* f = T.FieldByName("FREQ");
    return f->IsNull() ? 0 : static_cast<int32_t>(std::nearbyint(f->AsFloat()));
}

}  // namespace

std::string StationText(classlib::TDataSet& Stations) {
    return Text(Stations, "CALLSIGN") + " " + Text(Stations, "LOCATION") + "," + Text(Stations, "COUNTRYCODE");
}

// ---------------------------------------------------------------------------------
// Creation

TDataModule1::TDataModule1(classlib::TComponent* AOwner) : classlib::TComponent(AOwner) {
    SetName("DataModule1");
    DataModule1 = this;
    ProcessMessages = [] {
        if (QCoreApplication::instance() != nullptr) QCoreApplication::processEvents();
    };
    try {
        Provision();
        BeginLoading();
        CreateComponents();
        DataModuleCreate();
        EndLoading();
        ReportOpen(*ORQDB, true);
        ReportOpen(*LEXDB, false);
    } catch (...) {
        if (::tilo::DSStations == DSStations) ::tilo::DSStations = nullptr;
        if (DataModule1 == this) DataModule1 = nullptr;
        throw;
    }
}

TDataModule1::~TDataModule1() {
    FRetryTimer.reset();
    if (::tilo::DSStations == DSStations) ::tilo::DSStations = nullptr;
    if (DataModule1 == this) DataModule1 = nullptr;
    // The queue file stays: what it holds is stored by the next FlushQueue.
    for (orq::TORQTable* t : {FTimeTable.get(), LogTable, StationTable, WordTable}) {
        if (t == nullptr) continue;
        try {
            t->Close();
        } catch (...) {
        }
    }
    FTimeTable.reset();
}

void TDataModule1::DataModuleCreate() { FExclusionList.Clear(); }

void TDataModule1::CreateComponents() {
    ORQDB = new orq::TORQDatabase(this);
    ORQDB->SetName("ORQDB");
    SetDatabaseSettings(*ORQDB, "NAVTEX", LogDatabaseFile);
    ORQDB->SetConnected(true);
    LEXDB = new orq::TORQDatabase(this);
    LEXDB->SetName("LEXDB");
    SetDatabaseSettings(*LEXDB, "LEX", LexiconDatabaseFile);
    LEXDB->SetConnected(true);

    LogTable = new orq::TORQTable(this);
    LogTable->SetName("LogTable");
    LogTable->SetDatabaseName("NAVTEX");
    LogTable->SetTableName("NAVTEXLOG");
    LogTable->SetIndexName("IDX_DT");
    LogTable->StoreDefs = true;
    DefineLogTable(*LogTable);
    StationTable = new orq::TORQTable(this);
    StationTable->SetName("StationTable");
    StationTable->SetDatabaseName("NAVTEX");
    StationTable->SetTableName("STATIONS");
    StationTable->SetIndexName("IDX_NAVLOC");
    StationTable->AutoCalcFields = false;
    WordTable = new orq::TORQTable(this);
    WordTable->SetName("WordTable");
    WordTable->SetDatabaseName("LEX");
    WordTable->SetTableName("DBWORD");
    WordTable->SetIndexName("IDX_WORDS");

    DsLog = new classlib::TDataSource(this);
    DsLog->SetName("DsLog");
    DsLog->SetDataSet(LogTable);
    DsLog->OnUpdateData = [this](classlib::TPersistent* Sender) { DsLogUpdateData(Sender); };
    DSStations = new classlib::TDataSource(this);
    DSStations->SetName("DSStations");
    DSStations->SetDataSet(StationTable);
    DSStations->AutoEdit = false;
    DSWords = new classlib::TDataSource(this);
    DSWords->SetName("DSWords");
    DSWords->SetDataSet(WordTable);
    ::tilo::DSStations = DSStations;

    // The queue is stored once the log table can take it again.
    auto settled = [this](TDataSet*) {
        if (!FStoring && !FFlushing && !FQueue.empty()) FlushQueue();
    };
    LogTable->AfterOpen = settled;
    LogTable->AfterPost = settled;
    LogTable->AfterCancel = settled;
    StationTable->AfterOpen = settled;
    // The time look-up's cursor holds the file only while the log table is open: a
    // compaction or repair needs the file free.
    LogTable->AfterClose = [this](TDataSet*) {
        try {
            if (FTimeTable) FTimeTable->Close();
        } catch (...) {
        }
    };

    FTimeTable = std::make_unique<orq::TORQTable>(nullptr);
    FTimeTable->SetDatabaseName("NAVTEX");
    FTimeTable->SetTableName("NAVTEXLOG");
    FTimeTable->SetIndexName("IDX_DT");

    FRetryTimer = std::make_unique<QTimer>();
    FRetryTimer->setInterval(QueueRetryInterval);
    QObject::connect(FRetryTimer.get(), &QTimer::timeout, [this] {
        if (!FStoring && !FFlushing) FlushQueue();
    });
}

// ---------------------------------------------------------------------------------
// Provisioning

void TDataModule1::Provision() {
    ProvisionDatabase("NAVTEX", LogDatabaseFile, true);
    ProvisionDatabase("LEX", LexiconDatabaseFile, false);
}

void TDataModule1::ReportOpen(orq::TORQDatabase& Db, bool IsLog) {
    const std::string& file = Db.DatabaseFileName();
    if (Db.RepairRanAtOpen) {
        // One line of the repair's text, its line breaks as "; ".
        std::string text;
        for (char c : Db.RepairTextAtOpen) {
            if (c == '\r') continue;
            if (c == '\n')
                text += "; ";
            else
                text += c;
        }
        while (text.size() >= 2 && text.compare(text.size() - 2, 2, "; ") == 0) text.resize(text.size() - 2);
        Report("repair of database file " + file + (text.empty() ? ": every table copied whole" : ": " + text), true);
    }
    if (Db.Connected() && Db.Handle() != nullptr && Db.Handle()->NeedsRepair != 0)
        Report("database file " + file + " needs repair and is open for reading only" +
                   (IsLog ? std::string(": messages wait in the queue until it is repaired") : std::string()),
               true);
}

void TDataModule1::ProvisionDatabase(const std::string& DatabaseName, const std::string& FileName, bool IsLog) {
    auto report = [this](const std::string& Text) { Report(Text, true); };
    const std::vector<std::string> wanted =
        IsLog ? std::vector<std::string>{"NAVTEXLOG", "STATIONS"} : std::vector<std::string>{"DBWORD"};
    orq::TORQDatabase db(nullptr);
    SetDatabaseSettings(db, DatabaseName, FileName);
    db.SilentMode = true;
    const bool fresh = !FileExists(FileName);
    std::vector<std::string> present;
    try {
        if (fresh) db.CreateDatabase();
        db.Open();
        if (db.Handle()->NeedsRepair != 0) {
            // A table missing from a damaged file may be what its repair brings back: no
            // empty one in its place. The component's open offers the repair.
            report("database file " + FileName + " needs repair: its tables are checked once it is repaired");
            db.Close();
            return;
        }
        db.GetTableNames(present);
    } catch (const std::exception& e) {
        // An existing file that does not open is left as it is: the component's own open
        // reports it.
        if (fresh) report("cannot create database file " + FileName + ": " + ErrorText(e));
        return;
    }
    std::vector<std::unique_ptr<orq::TORQTable>> created;
    std::vector<std::string> names;
    for (const std::string& name : wanted) {
        if (Contains(present, name)) continue;
        auto t = std::make_unique<orq::TORQTable>(nullptr);
        t->SetDatabaseName(DatabaseName);
        t->SetTableName(name);
        if (name == "NAVTEXLOG")
            DefineLogTable(*t);
        else if (name == "STATIONS")
            DefineStationTable(*t);
        else
            DefineWordTable(*t);
        try {
            t->CreateTable();
        } catch (const std::exception& e) {
            report("cannot create table " + name + " in " + FileName + ": " + ErrorText(e));
            continue;
        }
        if (!fresh) report("created missing table " + name + " in " + FileName);
        names.push_back(name);
        created.push_back(std::move(t));
    }
    if (fresh) report("created database file " + FileName + " with tables " + Join(names, ", "));
    if (IsLog && Contains(present, "NAVTEXLOG")) {
        try {
            AddLogViewIndexes(db, DatabaseName, report);
        } catch (const std::exception& e) {
            report("cannot read the indexes of NAVTEXLOG in " + FileName + ": " + ErrorText(e));
        }
    }
    // Only a table created now is filled: an existing one is never refilled.
    for (auto& t : created) {
        try {
            if (t->TableName() == "STATIONS") FillStations(db, *t, report);
            if (t->TableName() == "DBWORD") FillWords(db, *t, report);
        } catch (const std::exception& e) {
            report("table " + t->TableName() + " in " + FileName + " not filled: " + ErrorText(e));
        }
    }
    try {
        db.Close();
    } catch (...) {
    }
}

// ---------------------------------------------------------------------------------
// Station look-ups

void TDataModule1::DoProcessMessages() {
    if (ProcessMessages) ProcessMessages();
}

void TDataModule1::FindStationsByArea(const std::string& NavArea, const std::string& IdLetter, int32_t Freq,
                                      int32_t& Dist, int32_t& Bearing, std::string& Station) {
    Station = "UNID";
    TDataSet& t = *StationTable;
    if (!t.Active()) return;
    std::vector<std::string> found;
    TStationWalk walk(t);
    walk.Filter("NAVAREA = " + QuotedText(NavArea));
    for (t.First(); !t.Eof(); t.Next()) {
        if (StationFreq(t) != Freq || Text(t, "IDLETTER") != IdLetter) continue;
        found.push_back(StationText(t));
        Dist = StationDistance(t);
        Bearing = static_cast<int32_t>(GreatCircleBearing(DegToRad(RxLat), DegToRad(RxLon),
                                                          DegToRad(t.FieldByName("LAT")->AsFloat()),
                                                          DegToRad(t.FieldByName("LON")->AsFloat())));
    }
    if (!found.empty()) Station = Join(found, "/");
}

void TDataModule1::FindStationByUniqueId(const std::string& MsgText, std::string& NavArea, std::string& IdLetter,
                                         int32_t Freq, int32_t& Dist, std::string& Station) {
    Station = "UNID";
    Dist = -1;
    TDataSet& t = *StationTable;
    if (!t.Active()) return;
    TStationWalk walk(t);
    for (t.First(); !t.Eof(); t.Next()) {
        if (StationFreq(t) != Freq || !KeywordsInText(Text(t, "UNIQUEID"), MsgText)) continue;
        NavArea = Text(t, "NAVAREA");
        IdLetter = Text(t, "IDLETTER");
        Station = StationText(t);
        Dist = StationDistance(t);
        return;
    }
}

void TDataModule1::FindStationByIdText(char IdLetter, const std::string& MsgText, int32_t Freq,
                                       std::string& Station, int32_t& Dist, std::string& NavArea) {
    Station = "UNID";
    NavArea = "0";
    TDataSet& t = *StationTable;
    if (!t.Active()) return;
    TStationWalk walk(t);
    walk.Filter("IDLETTER = " + QuotedText(std::string(1, IdLetter)));
    for (t.First(); !t.Eof(); t.Next()) {
        if (StationFreq(t) != Freq || !KeywordsInText(Text(t, "IDTEXT"), MsgText)) continue;
        NavArea = Text(t, "NAVAREA");
        Station = StationText(t);
        Dist = StationDistance(t);
        return;
    }
}

bool TDataModule1::KeywordsInText(const std::string& Keywords, const std::string& Text) {
    size_t start = 0;
    while (start <= Keywords.size()) {
        size_t comma = Keywords.find(',', start);
        if (comma == std::string::npos) comma = Keywords.size();
        if (comma > start && Text.find(std::string_view(Keywords).substr(start, comma - start)) != std::string::npos)
            return true;
        start = comma + 1;
    }
    return false;
}

void TDataModule1::GetStationPosition(const std::string& Text, double& Lat, double& Lon) {
    Lat = 0;
    Lon = 0;
    TDataSet& t = *StationTable;
    if (!t.Active()) return;
    std::string call = Text.substr(0, Text.find(' '));
    for (char& c : call) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    t.DisableControls();
    try {
        if (t.Locate("CALLSIGN", classlib::Variant::FromString(call), classlib::loCaseInsensitive)) {
            Lat = t.FieldByName("LAT")->AsFloat();
            Lon = t.FieldByName("LON")->AsFloat();
        }
    } catch (...) {
        t.EnableControls();
        throw;
    }
    t.EnableControls();
}

// ---------------------------------------------------------------------------------
// Keyword lists

bool TDataModule1::FindStationByKey(const std::string& Freq, const std::string& NavArea,
                                    const std::string& IdLetter, const std::string& CallSign) {
    TDataSet& t = *StationTable;
    for (t.First(); !t.Eof(); t.Next())
        if (Text(t, "FREQ") == Freq && Text(t, "NAVAREA") == NavArea && Text(t, "IDLETTER") == IdLetter &&
            Text(t, "CALLSIGN") == CallSign)
            return true;
    return false;
}

void TDataModule1::GetKeywords(const char* Field, const std::string& Freq, const std::string& IdLetter,
                               const std::string& NavArea, const std::string& CallSign, classlib::TStrings& List) {
    List.Clear();
    TDataSet& t = *StationTable;
    if (!t.Active()) return;
    TStationWalk walk(t);
    if (!FindStationByKey(Freq, NavArea, IdLetter, CallSign)) return;
    const std::string text = Text(t, Field);
    size_t start = 0;
    while (start < text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos) comma = text.size();
        List.Add(text.substr(start, comma - start));
        start = comma + 1;
    }
}

void TDataModule1::SetKeywords(const char* Field, const std::string& Freq, const std::string& NavArea,
                               const std::string& IdLetter, const std::string& CallSign,
                               const std::string& Keywords) {
    TDataSet& t = *StationTable;
    if (!t.Active()) return;
    TStationWalk walk(t);
    if (!FindStationByKey(Freq, NavArea, IdLetter, CallSign)) return;
    t.Edit();
    try {
        t.FieldByName(Field)->SetAsString(Keywords.substr(0, 300));
        t.Post();
    } catch (...) {
        t.Cancel();
        throw;
    }
}

void TDataModule1::GetIdKeywords(const std::string& Freq, const std::string& IdLetter, const std::string& NavArea,
                                 const std::string& CallSign, classlib::TStrings& List) {
    GetKeywords("IDTEXT", Freq, IdLetter, NavArea, CallSign, List);
}

void TDataModule1::GetUniqueKeywords(const std::string& Freq, const std::string& IdLetter,
                                     const std::string& NavArea, const std::string& CallSign,
                                     classlib::TStrings& List) {
    GetKeywords("UNIQUEID", Freq, IdLetter, NavArea, CallSign, List);
}

void TDataModule1::SetIdKeywords(const std::string& Freq, const std::string& NavArea, const std::string& IdLetter,
                                 const std::string& CallSign, const std::string& Keywords) {
    SetKeywords("IDTEXT", Freq, NavArea, IdLetter, CallSign, Keywords);
}

void TDataModule1::SetUniqueKeywords(const std::string& Freq, const std::string& NavArea,
                                     const std::string& IdLetter, const std::string& CallSign,
                                     const std::string& Keywords) {
    SetKeywords("UNIQUEID", Freq, NavArea, IdLetter, CallSign, Keywords);
}

void TDataModule1::JoinKeywords(const classlib::TStrings& List, std::string& Text) {
    Text.clear();
    for (int i = 0; i < List.Count(); ++i) Text += List[i] + ",";
    if (!Text.empty()) Text.pop_back();
}

bool TDataModule1::LocateStation(const std::string& Freq, const std::string& IdLetter, const std::string& NavArea,
                                 const std::string& CallSign) {
    TDataSet& t = *StationTable;
    if (!t.Active()) return false;
    int32_t area = 0;
    double freq = 0;
    if (!classlib::TryStrToInt(NavArea, area) || !classlib::TryStrToFloat(Freq, freq)) return false;
    classlib::Variant key = classlib::Variant::CreateArray({{0, 3}}, classlib::varVariant);
    key.PutElement({0}, classlib::Variant::FromInteger(area));
    key.PutElement({1}, classlib::Variant::FromDouble(freq));
    key.PutElement({2}, classlib::Variant::FromString(IdLetter));
    key.PutElement({3}, classlib::Variant::FromString(CallSign));
    t.DisableControls();
    bool found = false;
    try {
        found = t.Locate("NAVAREA;FREQ;IDLETTER;CALLSIGN", key, 0);
    } catch (...) {
        t.EnableControls();
        throw;
    }
    t.EnableControls();
    return found;
}

void TDataModule1::FormatStationLine(const std::string& Freq, const std::string& NavArea,
                                     const std::string& IdLetter, const std::string& CallSign,
                                     const std::string& Location, const std::string& CountryCode,
                                     std::string& Line) {
    Line = ::tilo::FormatStationLine(Freq, NavArea, IdLetter, CallSign, Location, CountryCode);
}

void TDataModule1::LoadExclusionList(QListWidget& List) {
    FExclusionList.BeginUpdate();
    FExclusionList.Clear();
    for (int i = 0; i < List.count(); ++i) {
        const QListWidgetItem* item = List.item(i);
        if (item->checkState() == Qt::Unchecked) FExclusionList.Add(item->text().toLatin1().toStdString());
    }
    FExclusionList.EndUpdate();
}

}  // namespace tilo
