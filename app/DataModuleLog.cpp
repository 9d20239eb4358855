#include "app/DataModule.h"

#include "engine/access/ORQMain.h"

namespace tilo {

void TDataModule1::SetLogFilter(int32_t, const std::string&, const std::string&) {}
void TDataModule1::SetLogFilterStationPeriod(char, int32_t, classlib::TDateTime, classlib::TDateTime, int32_t) {}
void TDataModule1::SetLogFilterPeriod(classlib::TDateTime, classlib::TDateTime) {}
int32_t TDataModule1::DeleteIdentifiedBefore(classlib::TDateTime) { return 0; }
int32_t TDataModule1::DeleteUnidentified() { return 0; }
int32_t TDataModule1::DeleteCloserThan(const std::string&) { return 0; }
int32_t TDataModule1::DeleteIdentifiedBeforeCloserThan(const std::string&, classlib::TDateTime) { return 0; }
std::string TDataModule1::FilterDateText(classlib::TDateTime) { return {}; }
std::string TDataModule1::QuotedText(const std::string& Value) { return Value; }

}  // namespace tilo
