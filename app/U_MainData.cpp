// The main window's calls on the data module, all in one place. Until the data module
// exists (DataModule1 stays null) none of them touches a database: the tables are not
// opened, a decoded message is shown and sent to the feed but not stored, and each
// says so in the system log. The data module fills these bodies in; nothing else in
// start-up or shutdown knows about it.
#include "app/U_Main.h"

namespace tilo {

// TimOpenDBTimer's database steps: the log and station tables (a failure there is the
// "SEVERE DATABASE PROBLEM!!" line and box, and start-up goes on), the lexicon and the
// keyword widening (a failure there is an exception line in the system log, and
// start-up goes on as well: a receiver without audio and feed would lose every later
// message), the station grid's binding, the two callbacks and the queue's flush.
bool TfrmMain::DataModuleOpenTables() {
    if (!DataModule1) {
        SysLog("Database: no message store in this build, messages are shown and sent but not stored");
        return false;
    }
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
