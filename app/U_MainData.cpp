// The main window's calls on the message store (the data module), all in one place.
// Until the store exists DataModule1 stays null and none of them touches a database:
// the tables are not opened, a decoded message is shown and sent to the feed but not
// stored, and the system log says so. The store fills in the steps below; nothing else
// in start-up or shutdown knows about it.
#include "app/U_Main.h"

#include <exception>

#include "app/Prompts.h"

namespace tilo {

namespace {

// The steps of the delayed opening that need the store, in their order. Each raises on
// failure; the caller decides what a failure means.
void OpenLogAndStationTables(TfrmMain&) {}  // NAVTEX database, log (at its last record) and station tables, count label and lines
void OpenLexicon(TfrmMain&) {}              // the lexicon database and the word table
void WidenKeywordFields(TfrmMain&) {}       // IDTEXT, then UNIQUEID, to 300 when narrower
void BindStationGrid(TfrmMain&) {}          // DBStationGrd on the station source, at its first station
void InstallStoreCallbacks(TfrmMain&) {}    // DatabaseMessage and StationTextHook, then the queue's flush

}  // namespace

// A failure of the log or station table is the "SEVERE DATABASE PROBLEM!!" line and box
// and start-up goes on. A failure of the lexicon or the widening is an exception line,
// and start-up goes on as well: skipping the rest would leave a receiver without audio
// and feed, losing every later message.
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
    for (void (*step)(TfrmMain&) : {OpenLexicon, WidenKeywordFields}) {
        try {
            step(*this);
        } catch (const std::exception& e) {
            AppEvntException("TfrmMain", &e);
        } catch (...) {
            AppEvntException("TfrmMain", nullptr);
        }
    }
    BindStationGrid(*this);
    InstallStoreCallbacks(*this);
    return true;
}

void TfrmMain::DataModuleLoadExclusionList() {}

void TfrmMain::DataModuleAddLogRecord(char IdLetter, const std::string& MsgType, double, const std::string& MsgNumber,
                                      const std::string& MsgText, int32_t, int32_t) {
    if (!DataModule1) {
        SysLog(std::string("Database: message ") + IdLetter + MsgType + MsgNumber + " (" +
               std::to_string(MsgText.size()) + " characters) not stored: no message store");
        return;
    }
}

void TfrmMain::DataModuleCloseTables() {}

}  // namespace tilo
