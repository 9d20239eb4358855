// The statistics walks over a log standing on one station's records: the daily walk's
// leading zero entries and its gaps, the monthly walk by year and month with its zero
// months on both sides, UNID records walked but not counted, the period checks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LogRecords.h"
#include "app/ReceptionStatistics.h"
#include "tests/classlib/TestDataSet.h"

using namespace tilo;
using classlib::TDateTime;

namespace {

TDateTime Utc(int Y, int M, int D, int H = 0, int N = 0, int S = 0) {
    return classlib::EncodeDate(uint16_t(Y), uint16_t(M), uint16_t(D)) +
           classlib::EncodeTime(uint16_t(H), uint16_t(N), uint16_t(S), 0);
}

struct TRec {
    TDateTime utc;
    int32_t quality;
    const char* station = "GBR12 NITON,G";
};

struct TLog {
    classlib_test::TTestDataSet ds;
    explicit TLog(const std::vector<TRec>& Records) {
        tilo_test::DefineLog(ds);
        ds.Open();
        for (const TRec& r : Records) {
            tilo_test::TLogRecord l;
            l.Utc = r.utc;
            l.SigQual = r.quality;
            l.IdLetter = "A";
            l.MsgType = "B";
            l.MsgNumber = "01";
            l.NavArea = 1;
            l.Station = r.station;
            ds.Append();
            tilo_test::SetLogFields(ds, l);
            ds.Post();
        }
    }
};

struct E {
    std::string date;
    int32_t count, mean;
};

std::vector<E> Flat(const TStatistics& S) {
    std::vector<E> v;
    for (const TStatisticsEntry& e : S) v.push_back({e.Date, e.Count, e.Mean});
    return v;
}

bool operator==(const E& A, const E& B) { return A.date == B.date && A.count == B.count && A.mean == B.mean; }
void PrintTo(const E& e, std::ostream* os) { *os << "{" << e.date << ", " << e.count << ", " << e.mean << "}"; }

}  // namespace

TEST(DailyStatistics, GapsGiveZeroEntriesAndUnidIsNotCounted) {
    TLog log({{Utc(2026, 5, 1, 8), 40},
              {Utc(2026, 5, 1, 20), 61},
              {Utc(2026, 5, 1, 21), 99, "UNID"},
              {Utc(2026, 5, 3, 0, 0, 0), 70},
              {Utc(2026, 5, 3, 23, 59, 59), 30}});
    TStatistics s;
    int served = 0;
    WalkDailyStatistics(log.ds, Utc(2026, 5, 1), Utc(2026, 5, 10), s, [&] { ++served; });
    // The start value lies before the first record: one leading zero entry for the 1st,
    // then the 1st's own entry (mean 101 div 2), the 2nd as zero, the 3rd; the walk
    // ends with the records.
    EXPECT_EQ(Flat(s), (std::vector<E>{
                           {"2026-05-01", 0, 0}, {"2026-05-01", 2, 50}, {"2026-05-02", 0, 0}, {"2026-05-03", 2, 50}}));
    EXPECT_EQ(served, 5);
    EXPECT_TRUE(log.ds.Eof());
}

TEST(DailyStatistics, LeadingZeroEntriesRunFromTheStartValue) {
    TLog log({{Utc(2026, 5, 4, 6), 20}});
    TStatistics s;
    // The start's time of day counts: 1st 07:00, 2nd, 3rd 07:00 lie before the 4th
    // 06:00, the 4th 07:00 does not.
    WalkDailyStatistics(log.ds, Utc(2026, 5, 1, 7), Utc(2026, 5, 4, 7), s);
    EXPECT_EQ(Flat(s), (std::vector<E>{{"2026-05-01", 0, 0},
                                       {"2026-05-02", 0, 0},
                                       {"2026-05-03", 0, 0},
                                       {"2026-05-01", 0, 0},
                                       {"2026-05-02", 0, 0},
                                       {"2026-05-03", 0, 0},
                                       {"2026-05-04", 1, 20}}));
    // A record at the start value itself: no leading entry.
    TLog same({{Utc(2026, 5, 1, 7), 20}});
    s.clear();
    WalkDailyStatistics(same.ds, Utc(2026, 5, 1, 7), Utc(2026, 5, 1, 7), s);
    EXPECT_EQ(Flat(s), (std::vector<E>{{"2026-05-01", 1, 20}}));
}

TEST(MonthlyStatistics, MonthsOfDifferentYearsAreDifferentEntries) {
    TLog log({{Utc(2025, 1, 10), 10}, {Utc(2025, 1, 31, 23, 59, 59), 20}, {Utc(2026, 1, 2), 50}});
    TStatistics s;
    WalkMonthlyStatistics(log.ds, Utc(2024, 11, 20), Utc(2026, 3, 5), s);
    std::vector<E> want{{"2024-11-01", 0, 0}, {"2024-12-01", 0, 0}, {"2025-01-01", 2, 15}};
    for (int m = 2; m <= 12; ++m) want.push_back({"2025-" + std::string(m < 10 ? "0" : "") + std::to_string(m) + "-01", 0, 0});
    want.push_back({"2026-01-01", 1, 50});
    want.push_back({"2026-02-01", 0, 0});
    want.push_back({"2026-03-01", 0, 0});
    EXPECT_EQ(Flat(s), want);
}

TEST(MonthlyStatistics, OneMonthAndUnidOnly) {
    TLog log({{Utc(2026, 2, 28, 23), 80, "UNID"}});
    TStatistics s;
    WalkMonthlyStatistics(log.ds, Utc(2026, 2, 28), Utc(2026, 2, 28), s);
    EXPECT_EQ(Flat(s), (std::vector<E>{{"2026-02-01", 0, 0}}));
}

TEST(StatisticsPeriod, ChecksAndLimits) {
    const TDateTime a = Utc(2026, 5, 3, 12), b = Utc(2026, 5, 3, 11);
    EXPECT_TRUE(DailyPeriodValid(a, a));
    EXPECT_FALSE(DailyPeriodValid(a, b));  // same day, earlier time: refused
    EXPECT_TRUE(MonthlyPeriodValid(a, b));  // dates only
    EXPECT_FALSE(MonthlyPeriodValid(a, Utc(2026, 5, 2, 23)));
    EXPECT_EQ(FirstDayOfMonth(a), Utc(2026, 5, 1));
    EXPECT_EQ(LastDayOfMonth(a), Utc(2026, 5, 31));
    EXPECT_EQ(LastDayOfMonth(Utc(2024, 2, 10)), Utc(2024, 2, 29));
    EXPECT_EQ(LastDayOfMonth(Utc(2026, 12, 10)), Utc(2026, 12, 31));
    EXPECT_EQ(StatisticsTitle("GBR12 NITON,G", 518, 250, 184), "GBR12 NITON,G-518KHz 250km,184deg.");
}
