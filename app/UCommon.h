// The station half of the shared helpers (the signal half is decoder/UCommon.h):
// the receiver position, the schedule look-ups that walk the station table, great-
// circle distance and bearing, sunrise and sunset, message-type names, the system's
// version and processor count, and small helpers for grids and check lists.
//
// The station walks reach the station table through DSStations, the data source the
// data module owns (tests give them one of their own). Every walk disables the
// table's controls and puts back the record it found on every path, exceptions
// included; FillStationList alone leaves the table at its end, as its callers expect.
// With no data source set the walks find no station.
//
// Angles of the distance and bearing routines are radians; positions elsewhere are
// signed degrees. A schedule slot is "hh:m0" (14:37 falls in "14:30").
#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "classlib/DateUtils.h"
#include "decoder/CpuLoad.h"  // CountProcessors and ProcessCpuPercent

class QListWidget;

namespace classlib {
class TDataSource;
class TStrings;
}  // namespace classlib

namespace tilo {

class TStringGrid;

// The receiver position in signed degrees (settings RX_LAT and RX_LON).
extern double RxLat;
extern double RxLon;

// The station table's data source; set by its owner, nil when there is none.
extern classlib::TDataSource* DSStations;

inline constexpr char DegreeSign = '\xB0';

// Entries "NAVAREA IDLETTER LOCATION,COUNTRYCODE[/bearing°]#" of every station on Freq
// with a T1..T6 field equal to Slot, once per matching field.
void StationsOnSchedule(const std::string& Slot, int32_t Freq, bool Bearing, std::string& Result);
// Entries "NAVAREAIDLETTER:LOCATION,COUNTRYCODE/bearing° " of the stations on Freq in
// one of Areas.
void StationsOnScheduleInAreas(const std::string& Slot, int32_t Freq, const std::set<int32_t>& Areas,
                               std::string& Result);
// The station lines of every station (the table is left on its end).
void FillStationList(classlib::TStrings& List);
// FREQ + " " + NAVAREA + IDLETTER + " " + CALLSIGN + " " + LOCATION + "," + COUNTRYCODE.
std::string FormatStationLine(const std::string& Freq, const std::string& NavArea, const std::string& IdLetter,
                              const std::string& CallSign, const std::string& Location,
                              const std::string& CountryCode);

double DegToRad(double X);
double RadToDeg(double X);
// Spherical law of cosines on a sphere of 6378 km, rounded halves to even; an arccos
// argument outside -1..1 (or not a number) raises classlib::EInvalidOp.
int32_t GreatCircleDistance(double P1, double L1, double P2, double L2);
// Initial bearing from the receiver, clockwise from north, whole degrees 0..359.
double GreatCircleBearing(double P1, double L1, double P2, double L2);
// Sunrise and sunset as fractions of Date's day around noon (no longitude enters), and
// the day length in hours (24 whenever a step of the computation is not finite). With
// Utc false both are moved into local time by the time-zone offset in force on Date.
void SunRiseSet(bool Utc, double& SunRise, double& SunSet, classlib::TDateTime Date, double Latitude,
                double& DayLength);

// The same routine as SplitToken (MesUtilD4.h).
void CutToken(std::string& Text, char Separator, std::string& Token);
// The digits of Text with a blank inserted before the ninth ("yyyyMMdd hhmmss").
void DigitsDateTime(const std::string& Text, std::string& Result);
// The name of subject letter Letter (either case), padded with blanks to 20.
void MessageTypeName(char Letter, std::string& Result);
// True when both dates fall in the same month number, whatever their years.
bool SameMonth(classlib::TDateTime A, classlib::TDateTime B);

struct TOSVersion {
    int32_t Major = 0;
    int32_t Minor = 0;
    int32_t Build = 0;
    std::string Name;
};
// The name of a version of the system's own family (NtFamily false: the oldest family).
std::string WindowsVersionName(bool NtFamily, int32_t Major, int32_t Minor);
// On Linux: the kernel's major and minor, its patch level as the build, and the
// distribution's pretty name (the kernel's name when there is none).
void GetWindowsVersion(TOSVersion& Version);

// Grid helpers: a column index outside the grid is ignored; widths are the widest
// cell text of the column in the grid's font plus 5 pixels.
void DeleteGridColumn(TStringGrid& Grid, int32_t Col);
void AutoSizeGridColumn(TStringGrid& Grid, int32_t Col);
void AutoSizeGridColumns(TStringGrid& Grid);

// Check list helpers (a list widget whose items are checkable).
void CheckAllItems(QListWidget& List);
void UncheckAllItems(QListWidget& List);
// Unchecks every item whose text equals Text exactly.
void UncheckItem(QListWidget& List, const std::string& Text);

}  // namespace tilo
