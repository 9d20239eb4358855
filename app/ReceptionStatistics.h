// Reception statistics: the walks that turn the log, filtered to one station and
// period, into one entry per day or per month: the date text (the short date form),
// the messages counted and their mean signal quality.
//
// - The walks read UTCRECEIVED, STATION and SIGQUAL of a log dataset that stands
//   filtered and holds at least one record, in date order; they start at its first
//   record and leave it at its end. "UNID" records are walked but not counted.
// - Serve is called after each record, so the window stays responsive over a long log.
// - A month is its year and month: the same month of another year is another entry.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "classlib/DateUtils.h"

namespace classlib {
class TDataSet;
}

namespace tilo {

struct TStatisticsEntry {
    std::string Date;  // the short date form of the day, or of a month's first day
    int32_t Count = 0;
    int32_t Mean = 0;  // sum of SIGQUAL div Count; 0 without messages
};

using TStatistics = std::vector<TStatisticsEntry>;

// The period checks: the daily plot compares the full values (date and time of day),
// the monthly one the dates only; equal values pass.
bool DailyPeriodValid(classlib::TDateTime Start, classlib::TDateTime End);
bool MonthlyPeriodValid(classlib::TDateTime Start, classlib::TDateTime End);

// The first day of Value's month, and the last day of it, both at 00:00.
classlib::TDateTime FirstDayOfMonth(classlib::TDateTime Value);
classlib::TDateTime LastDayOfMonth(classlib::TDateTime Value);

// One zero entry per day from Start (Start, Start + 1, ...) while before the first
// record; then from Start's date at 00:00, day by day while before End's date +
// 0.999999 and records remain, the entry of that day.
void WalkDailyStatistics(classlib::TDataSet& Log, classlib::TDateTime Start, classlib::TDateTime End,
                         TStatistics& Entries, const std::function<void()>& Serve = {});
// Zero entries for the months from Start's before the first record's; then from the
// first record's month, month by month while records remain, that month's entry (at
// its first day); then zero entries for the following months up to End's.
void WalkMonthlyStatistics(classlib::TDataSet& Log, classlib::TDateTime Start, classlib::TDateTime End,
                           TStatistics& Entries, const std::function<void()>& Serve = {});

// The chart's title: Station + "-" + Freq + "KHz " + Dist + "km," + Bearing + "deg.".
std::string StatisticsTitle(const std::string& Station, int32_t Freq, int32_t Dist, int32_t Bearing);

}  // namespace tilo
