// What the main window does over the map link: CONNECT's set-up of a new application
// object, clearing the map, plotting a labelled point or a path from the receiver, the
// map report of one day's stations, and the release at shutdown. The main window keeps
// the object (FAtlas) and runs these; the log walk of the report comes in through
// TMapReportSource, so that this unit needs no database.
//
// Every call is checked (a failure raises EOleSysError and ends the operation) except
// the two font settings. The map object is fetched anew (AtlasGetMap) for each call made
// on it. A drawing bracket opened by MapCall11 is closed by MapCall12 on every path,
// also after a failure; when closing fails after an earlier failure, the earlier one is
// the one raised. Nothing is sent while the object is empty.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "classlib/DateUtils.h"
#include "platform/MapLink.h"

namespace tilo {

inline constexpr const char* MapReportNoDataText = "insufficient data, choose another date";

// Makes the application object (CoAtlas) and sets it up for the receiver at RxLat,
// RxLon; gives it only once every call succeeded (on a failure it is dropped).
std::shared_ptr<IAtlas> AtlasConnect(double RxLat, double RxLon);

// Empties the map's layers inside a drawing bracket.
void AtlasClear(IAtlas* Atlas);

// A labelled point on layer 4: mark in MarkColour, label in LabelColour at FontSize
// points ("Small fonts"; the layer's font is fetched once for both settings). Only when
// both coordinates are non-zero.
void AtlasPlotPoint(IAtlas* Atlas, const std::string& Label, int32_t MarkColour, double Lat, double Lon,
                    int32_t LabelColour, int32_t FontSize);
// A path on layer 2 in Colour. Only when both coordinates of the destination are non-zero.
void AtlasPlotLine(IAtlas* Atlas, int32_t Colour, double FromLat, double FromLon, double ToLat, double ToLon);

// The day's log records in log order, each with the position of its station (0 and 0
// when it has none).
class TMapReportSource {
public:
    virtual ~TMapReportSource() = default;
    virtual bool NextRecord(std::string& Station, double& Lat, double& Lon) = 0;
};

struct TMapReportHooks {
    std::function<void()> ProcessMessages;             // after each record, before each entry
    std::function<void(const std::string&)> Message;   // MapReportNoDataText
    std::function<void()> Closing;                     // filter off and last record, on every path
};

// The map of Day: every station heard (once, however many messages it sent) as a
// yellow point with a blue path from the receiver, and the date as a title at 80 N 1 E.
// The caller has filtered the log to the day and stands on its first record.
void AtlasReport(IAtlas* Atlas, classlib::TDateTime Day, double RxLat, double RxLon, TMapReportSource& Source,
                 const TMapReportHooks& Hooks);

// Shutdown: MapCall41 (false), then the reference is dropped, also when the call fails.
void AtlasRelease(std::shared_ptr<IAtlas>& Atlas);

}  // namespace tilo
