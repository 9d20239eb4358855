#include "app/DataModule.h"

#include <QTimer>

#include "engine/access/ORQMain.h"

namespace tilo {

void TDataModule1::AddLogRecord(char, const std::string&, classlib::TDateTime, const std::string&,
                                const std::string&, int32_t, int32_t) {}
void TDataModule1::DsLogUpdateData(classlib::TPersistent*) {}
bool TDataModule1::IdentifyByUniqueId() { return false; }
void TDataModule1::IdentifyByIdLetter() {}
void TDataModule1::BeginBulkWork(const std::string& Name) { FBulkWork.push_back(Name); }
void TDataModule1::EndBulkWork() {
    if (!FBulkWork.empty()) FBulkWork.pop_back();
}
void TDataModule1::FlushQueue() {}

}  // namespace tilo
