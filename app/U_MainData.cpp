// The main window's calls on the message store (the data module), all in one place.
// A window without a store (DataModule1 null, as in tests of the pages alone) touches
// no database: a decoded message is shown and sent to the feed but not stored, and the
// system log says so. Nothing else in start-up or shutdown knows about the store.
#include "app/FrameText.h"
#include "app/U_Main.h"

#include <QLabel>
#include <QListWidget>

#include <exception>

#include "app/DBCtrls.h"
#include "app/DBGrids.h"
#include "app/DataModule.h"
#include "app/Prompts.h"
#include "classlib/DB.h"
#include "classlib/DBCommon.h"
#include "engine/access/ORQAdvDefs.h"
#include "engine/access/ORQDatabase.h"
#include "engine/access/ORQTable.h"

namespace tilo {

namespace {

// The keyword fields' width; older station tables have them narrower.
constexpr int32_t KeywordFieldSize = 300;

// The steps of the delayed opening that need the store, in their order. Each raises on
// failure; the caller decides what a failure means.

// The NAVTEX database, the log table through the grid's source at its last record, the
// station table; the count label and the two lines.
void OpenLogAndStationTables(TfrmMain& W) {
    TDataModule1& dm = *W.DataModule1;
    dm.ORQDB->Open();
    W.DBLogGridView->SetDataSource(dm.DsLog);
    W.DBMemo1->SetDataSource(dm.DsLog);
    W.DBNavigator1->SetDataSource(dm.DsLog);
    W.WatchRecordCount(dm.DsLog);
    classlib::TDataSet& log = *W.DBLogGridView->DataSource()->DataSet();
    log.Open();
    log.Last();
    dm.DSStations->DataSet()->Open();
    const std::string records = std::to_string(log.RecordCount());
    W.lblRecCount->setText(Q8("RECORDS: " + records));
    W.SysLog("Database: Log table succesfully opened, " + records + " records");
    W.SysLog("Database: Station table succesfully opened, " + std::to_string(dm.StationTable->RecordCount()) +
             " records");
}

// The lexicon database and the word table.
void OpenLexicon(TfrmMain& W) {
    TDataModule1& dm = *W.DataModule1;
    dm.LEXDB->Open();
    dm.DSWords->DataSet()->Open();
}

// IDTEXT, then UNIQUEID, to 300 when narrower: close, set the size, restructure keeping
// the records, open again. A failed restructure opens the table again before it
// raises: the store needs the station table open, or every later message would wait.
void WidenKeywordFields(TfrmMain& W) {
    orq::TORQTable& st = *W.DataModule1->StationTable;
    // A table that did not open is widened at the next start that opens it.
    if (!st.Active()) return;
    for (const char* name : {"IDText", "UNIQUEID"}) {
        orq::TORQAdvFieldDef* def = st.RestructureFieldDefs().Find(name);
        if (def == nullptr) classlib::DatabaseError(std::string("Field '") + name + "' not found in STATIONS");
        if (def->Size >= KeywordFieldSize) continue;
        W.SysLog("Database: stationtable: changing fieldsize \"" + def->Name + "\" to " +
                 std::to_string(KeywordFieldSize) + " ...");
        st.Close();
        try {
            // Closing may read the definitions afresh: look the field up again.
            if (!st.RestructureFieldDefs().Find(name)) st.FieldDefs().Update();
            def = st.RestructureFieldDefs().Find(name);
            if (def == nullptr) classlib::DatabaseError(std::string("Field '") + name + "' not found in STATIONS");
            def->Size = KeywordFieldSize;
            std::string error;
            if (!st.RestructureTable(error)) classlib::DatabaseError("STATIONS not restructured: " + error);
        } catch (...) {
            try {
                st.Open();
            } catch (...) {
            }
            throw;
        }
        st.Open();
    }
}

// DBStationGrd on the station source, at its first station.
void BindStationGrid(TfrmMain& W) {
    TDataModule1& dm = *W.DataModule1;
    W.DBStationGridView->SetDataSource(dm.DSStations);
    if (dm.StationTable->Active()) dm.StationTable->First();
}

// The two callbacks, then what waits in the queue: the messages an earlier run or the
// steps above could not store.
void InstallStoreCallbacks(TfrmMain& W) {
    TDataModule1& dm = *W.DataModule1;
    dm.FOnMessage = [&W](const std::string& Text) { W.DatabaseMessage(Text); };
    dm.FOnStationText = [&W](const std::string& Text) { W.StationTextHook(Text); };
    dm.FlushQueue();
}

void ReportException(TfrmMain& W, const std::exception_ptr& E) {
    try {
        std::rethrow_exception(E);
    } catch (const std::exception& e) {
        W.AppEvntException("TfrmMain", &e);
    } catch (...) {
        W.AppEvntException("TfrmMain", nullptr);
    }
}

}  // namespace

// A failure of the log or station table is the "SEVERE DATABASE PROBLEM!!" line and box
// and start-up goes on. A failure of the lexicon, the widening or the binding is an
// exception line, and start-up goes on as well: skipping the rest would leave a
// receiver without audio and feed, losing every later message.
bool TfrmMain::DataModuleOpenTables() {
    if (!DataModule1) {
        SysLog("Database: no message store in this build, messages are shown and sent but not stored");
        return false;
    }
    try {
        OpenLogAndStationTables(*this);
    } catch (...) {
        SysLog("SEVERE DATABASE PROBLEM!!");
        Prompts().ShowMessage("SEVERE DATABASEPROBLEM DETECTED\rCANNOT OPEN NAVTEX.ORQ!!");
    }
    for (void (*step)(TfrmMain&) : {OpenLexicon, WidenKeywordFields, BindStationGrid}) {
        try {
            step(*this);
        } catch (...) {
            ReportException(*this, std::current_exception());
        }
    }
    InstallStoreCallbacks(*this);
    return true;
}

void TfrmMain::DataModuleLoadExclusionList() {
    if (DataModule1) DataModule1->LoadExclusionList(*cbAllStations);
}

void TfrmMain::DataModuleAddLogRecord(char IdLetter, const std::string& MsgType, double UtcTime,
                                      const std::string& MsgNumber, const std::string& MsgText, int32_t Freq,
                                      int32_t SigQual) {
    if (!DataModule1) {
        SysLog(std::string("Database: message ") + IdLetter + MsgType + MsgNumber + " (" +
               std::to_string(MsgText.size()) + " characters) not stored: no message store");
        return;
    }
    DataModule1->AddLogRecord(IdLetter, MsgType, UtcTime, MsgNumber, MsgText, Freq, SigQual);
}

// Shutdown's step 3: the log table through the grid's source, and the word table.
void TfrmMain::DataModuleCloseTables() {
    if (!DataModule1) return;
    classlib::TDataSource* log = DBLogGridView->DataSource() ? DBLogGridView->DataSource() : DataModule1->DsLog;
    try {
        log->DataSet()->Close();
    } catch (...) {
    }
    DataModule1->DSWords->DataSet()->Close();
}

}  // namespace tilo
