#include "app/ReceptionStatistics.h"

#include <cmath>

#include "classlib/DB.h"
#include "classlib/DBFields.h"

namespace tilo {

namespace {

using classlib::TDateTime;

TDateTime DateOf(TDateTime Value) { return std::trunc(Value); }

// Year * 12 + month - 1: months in order across years.
int32_t MonthIndex(TDateTime Value) {
    uint16_t y, m, d;
    classlib::DecodeDate(Value, y, m, d);
    return int32_t(y) * 12 + int32_t(m) - 1;
}

TDateTime MonthStart(int32_t Index) {
    return classlib::EncodeDate(uint16_t(Index / 12), uint16_t(Index % 12 + 1), 1);
}

struct TLogFields {
    classlib::TField* Utc;
    classlib::TField* Station;
    classlib::TField* SigQual;
    explicit TLogFields(classlib::TDataSet& Log)
        : Utc(Log.FieldByName("UTCRECEIVED")), Station(Log.FieldByName("STATION")),
          SigQual(Log.FieldByName("SIGQUAL")) {}
};

// Counts the records from the current one while Belongs holds, and adds the entry.
template <typename TBelongs>
void CountEntry(classlib::TDataSet& Log, const TLogFields& F, TDateTime Day, TBelongs Belongs,
                TStatistics& Entries, const std::function<void()>& Serve) {
    int32_t count = 0;
    int64_t sum = 0;
    while (!Log.Eof() && Belongs(F.Utc->AsDateTime())) {
        if (F.Station->AsString() != "UNID") {
            ++count;
            sum += F.SigQual->AsInteger();
        }
        Log.Next();
        if (Serve) Serve();
    }
    Entries.push_back({classlib::DateToStr(Day), count, count ? int32_t(sum / count) : 0});
}

}  // namespace

bool DailyPeriodValid(TDateTime Start, TDateTime End) { return !(Start > End); }

bool MonthlyPeriodValid(TDateTime Start, TDateTime End) { return !(DateOf(End) < DateOf(Start)); }

TDateTime FirstDayOfMonth(TDateTime Value) { return MonthStart(MonthIndex(Value)); }

TDateTime LastDayOfMonth(TDateTime Value) { return MonthStart(MonthIndex(Value) + 1) - 1; }

void WalkDailyStatistics(classlib::TDataSet& Log, TDateTime Start, TDateTime End, TStatistics& Entries,
                         const std::function<void()>& Serve) {
    const TLogFields f(Log);
    Log.First();
    const TDateTime first = f.Utc->AsDateTime();
    for (TDateTime d = Start; d < first; d += 1) Entries.push_back({classlib::DateToStr(d), 0, 0});
    const TDateTime last = DateOf(End) + 0.999999;
    for (TDateTime day = DateOf(Start); day < last && !Log.Eof(); day += 1)
        CountEntry(Log, f, day, [day](TDateTime Utc) { return Utc < day + 1; }, Entries, Serve);
}

void WalkMonthlyStatistics(classlib::TDataSet& Log, TDateTime Start, TDateTime End, TStatistics& Entries,
                           const std::function<void()>& Serve) {
    const TLogFields f(Log);
    Log.First();
    const int32_t firstMonth = MonthIndex(f.Utc->AsDateTime());
    int32_t m = MonthIndex(Start);
    for (; m < firstMonth; ++m) Entries.push_back({classlib::DateToStr(MonthStart(m)), 0, 0});
    for (m = firstMonth; !Log.Eof(); ++m)
        CountEntry(Log, f, MonthStart(m), [m](TDateTime Utc) { return MonthIndex(Utc) <= m; }, Entries, Serve);
    for (const int32_t endMonth = MonthIndex(End); m <= endMonth; ++m)
        Entries.push_back({classlib::DateToStr(MonthStart(m)), 0, 0});
}

std::string StatisticsTitle(const std::string& Station, int32_t Freq, int32_t Dist, int32_t Bearing) {
    return Station + "-" + std::to_string(Freq) + "KHz " + std::to_string(Dist) + "km," + std::to_string(Bearing) +
           "deg.";
}

}  // namespace tilo
