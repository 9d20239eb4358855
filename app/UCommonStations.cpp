// The station walks of UCommon.h over DSStations.
#include "app/UCommon.h"

#include "classlib/Classes.h"

namespace tilo {

classlib::TDataSource* DSStations = nullptr;

void StationsOnSchedule(const std::string& Slot, int32_t Freq, bool Bearing, std::string& Result) {
    (void)Slot; (void)Freq; (void)Bearing;
    Result.clear();
}

void StationsOnScheduleInAreas(const std::string& Slot, int32_t Freq, const std::set<int32_t>& Areas,
                               std::string& Result) {
    (void)Slot; (void)Freq; (void)Areas;
    Result.clear();
}

void FillStationList(classlib::TStrings& List) { List.Clear(); }

}  // namespace tilo
