// The station walks of UCommon.h over DSStations: every one starts at the first
// station with the table's controls disabled, and on every path, exceptions included,
// enables them again; the schedule look-ups also go back to the record they found.
#include "app/UCommon.h"

#include "classlib/Classes.h"
#include "classlib/DB.h"
#include "classlib/NumConv.h"

namespace tilo {

classlib::TDataSource* DSStations = nullptr;

namespace {

using classlib::TDataSet;

// The open station table, nil when there is none (no source, or the table could not be
// opened at start-up, which start-up has already reported): then no station is found.
TDataSet* StationTable() {
    TDataSet* table = DSStations != nullptr ? DSStations->DataSet() : nullptr;
    return table != nullptr && table->Active() ? table : nullptr;
}

// Back to Mark (when there is one), then the controls on again; a failure of the
// return still enables them, and is passed on unless Quiet (another failure is
// already on its way).
void EndWalk(TDataSet& Table, const classlib::TBookmark& Mark, bool Quiet) {
    try {
        if (!Mark.empty()) Table.GotoBookmark(Mark);
    } catch (...) {
        Table.EnableControls();
        if (Quiet) return;
        throw;
    }
    Table.EnableControls();
}

template <typename TVisit>
void WalkStations(bool Restore, TVisit&& Visit) {
    TDataSet* table = StationTable();
    if (table == nullptr) return;
    table->DisableControls();
    classlib::TBookmark mark;
    try {
        if (Restore) mark = table->GetBookmark();
        table->First();
        while (!table->Eof()) {
            Visit(*table);
            table->Next();
        }
    } catch (...) {
        EndWalk(*table, mark, true);
        throw;
    }
    EndWalk(*table, mark, false);
}

std::string Text(const TDataSet& Table, const char* Field) { return Table.FieldByName(Field)->AsString(); }

// Whole degrees from the receiver to the current station, as text.
std::string BearingText(const TDataSet& Table) {
    const double bearing = GreatCircleBearing(DegToRad(RxLat), DegToRad(RxLon),
                                              DegToRad(Table.FieldByName("LAT")->AsFloat()),
                                              DegToRad(Table.FieldByName("LON")->AsFloat()));
    return classlib::FloatToStr(bearing) + DegreeSign;
}

constexpr const char* SlotFields[] = {"T1", "T2", "T3", "T4", "T5", "T6"};

}  // namespace

void StationsOnSchedule(const std::string& Slot, int32_t Freq, bool Bearing, std::string& Result) {
    Result.clear();
    WalkStations(true, [&](const TDataSet& t) {
        for (const char* field : SlotFields) {
            if (Text(t, field) != Slot || t.FieldByName("FREQ")->AsInteger() != Freq) continue;
            Result += Text(t, "NAVAREA") + " " + Text(t, "IDLETTER") + " " + Text(t, "LOCATION") + "," +
                      Text(t, "COUNTRYCODE");
            if (Bearing) {
                Result += '/';
                Result += BearingText(t);
            }
            Result += "#";
        }
    });
}

void StationsOnScheduleInAreas(const std::string& Slot, int32_t Freq, const std::set<int32_t>& Areas,
                               std::string& Result) {
    Result.clear();
    WalkStations(true, [&](const TDataSet& t) {
        for (const char* field : SlotFields) {
            if (Text(t, field) != Slot || t.FieldByName("FREQ")->AsInteger() != Freq ||
                Areas.count(t.FieldByName("NAVAREA")->AsInteger()) == 0)
                continue;
            Result += Text(t, "NAVAREA") + Text(t, "IDLETTER") + ":" + Text(t, "LOCATION") + "," +
                      Text(t, "COUNTRYCODE") + "/" + BearingText(t) + " ";
        }
    });
}

void FillStationList(classlib::TStrings& List) {
    List.Clear();
    WalkStations(false, [&](const TDataSet& t) {
        List.Add(FormatStationLine(Text(t, "FREQ"), Text(t, "NAVAREA"), Text(t, "IDLETTER"), Text(t, "CALLSIGN"),
                                   Text(t, "LOCATION"), Text(t, "COUNTRYCODE")));
    });
}

}  // namespace tilo
