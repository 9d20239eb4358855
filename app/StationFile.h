// The station file "TILO_STATIONS.TXT": the whole station table as 8-bit text, lines
// ended by CR LF. Line 1 is "VERSION5"; every further line is one station, its 17 field
// texts in file order each followed by "#". There is no quoting, so no field may hold
// "#" or a line break: an export meeting one writes nothing.
//
// The units here work on field texts (the text form of each record field, numbers with
// '.'); the station table comes in through TStationSource for the export and
// TStationStore for the import, so the data module plugs in without this unit knowing
// the engine. The export replaces the file only once the new one is whole on disk.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace tilo {

inline constexpr const char* StationFileName = "TILO_STATIONS.TXT";
inline constexpr const char* StationFileVersion = "VERSION5";

// The fields in file order.
enum TStationField : int32_t {
    sfNavArea, sfFreq, sfIdLetter, sfCallSign, sfLocation, sfCountryCode, sfCountry, sfLat, sfLon,
    sfT1, sfT2, sfT3, sfT4, sfT5, sfT6, sfIdText, sfUniqueId,
    StationFieldCount
};
inline constexpr std::array<const char*, StationFieldCount> StationFieldNames = {
    "NAVAREA", "FREQ", "IDLETTER", "CALLSIGN", "LOCATION", "COUNTRYCODE", "COUNTRY", "LAT", "LON",
    "T1", "T2", "T3", "T4", "T5", "T6", "IDTEXT", "UNIQUEID"};

struct TStationRecord {
    std::array<std::string, StationFieldCount> Fields;
    std::string& operator[](TStationField F) { return Fields[F]; }
    const std::string& operator[](TStationField F) const { return Fields[F]; }
};

// The station table from its first record to its last (serving events as it goes).
class TStationSource {
public:
    virtual ~TStationSource() = default;
    virtual bool NextStation(TStationRecord& Station) = 0;
};

// The station table as the import changes it, in the dataset's own steps: locate on
// the four key fields, edit or append, set fields through their text forms, post or
// cancel. SetField and PostStation raise on a value that does not convert.
class TStationStore {
public:
    virtual ~TStationStore() = default;
    virtual bool LocateStation(const std::string& NavArea, const std::string& Freq, const std::string& IdLetter,
                               const std::string& CallSign) = 0;
    virtual void EditStation() = 0;    // the located station
    virtual void AppendStation() = 0;  // a new, empty one
    virtual void SetField(TStationField Field, const std::string& Text) = 0;
    virtual void PostStation() = 0;
    virtual void CancelStation() = 0;
    virtual void ProcessMessages() {}
};

// What to show the operator: the success text or the failure's.
struct TStationFileResult {
    bool Ok = false;
    std::string Text;
};

// The file line of Station ("NAVAREA#FREQ#...#UNIQUEID#", no line end).
std::string FormatStationFileLine(const TStationRecord& Station);

// Writes every station of Source to FileName (a full path): success "station data
// succesfully exported to: " CR FileName; failure "error while saving export file" CR
// "System reports: " and the reason. On failure the previous file stays as it was.
TStationFileResult WriteStationFile(const std::string& FileName, TStationSource& Source);

// Imports one station line: an existing station (same NAVAREA, FREQ, IDLETTER, CALLSIGN)
// takes LOCATION .. T6 and, with ImportKeywords, IDTEXT and UNIQUEID; a new station is
// appended with every field. Missing fields are empty. A failure while setting or
// posting cancels the pending edit or insert and is raised.
void ImportStationLine(const std::string& Line, TStationStore& Store, bool ImportKeywords);

// Imports FileName (a full path): "error while opening file" CR "System reports: " and
// the reason when it cannot be read; "Import file not compatible with this version of
// Tilo!" CR " You must upgrade to version 5.6 or higher." when line 1 is not
// "VERSION5" (nothing imported in either case); else every non-blank line in order and
// "station data succesfully imported from: " CR FileName. A failing station raises,
// the stations before it staying imported.
TStationFileResult ReadStationFile(const std::string& FileName, TStationStore& Store, bool ImportKeywords);

}  // namespace tilo
