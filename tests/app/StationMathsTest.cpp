// Station arithmetic and the small text helpers: distance, bearing, sun times, slot
// names, message-type names, processors, version names, grids and check lists.
#include <gtest/gtest.h>

#include <QListWidget>

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <functional>

#include "app/Controls.h"
#include "app/UCommon.h"
#include "classlib/DateUtils.h"
#include "classlib/SysUtils.h"

using namespace tilo;
using classlib::EncodeDate;

namespace {

// Runs Body in a forked child and returns its exit status (Body's result, or 99 when it
// died), so that environment and affinity changes stay out of the test program.
int InChild(const std::function<int()>& Body) {
    const pid_t pid = fork();
    if (pid == 0) _exit(Body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 99;
}

double Rad(double Degrees) { return Degrees * M_PI / 180; }

}  // namespace

TEST(StationMaths, DistanceOnTheSphereOf6378Km) {
    struct Case {
        double p1, l1, p2, l2;
        int32_t km;
    };
    const Case cases[] = {
        {0, 0, 0, 90, 10019},    // a quarter of 2 pi 6378 = 10018.54
        {0, 0, 0, 180, 20037},   // half the circumference, arccos(-1)
        {0, 0, 1, 0, 111},       // one degree of arc
        {90, 0, -90, 0, 20037},  // pole to pole
        {0, 0, 0, -90, 10019},
    };
    for (const Case& c : cases)
        EXPECT_EQ(GreatCircleDistance(Rad(c.p1), Rad(c.l1), Rad(c.p2), Rad(c.l2)), c.km)
            << c.p1 << "/" << c.l1 << " to " << c.p2 << "/" << c.l2;
}

TEST(StationMaths, ArccosArgumentOutsideItsRangeRaises) {
    // A station without a usable position: the argument is not a number.
    EXPECT_THROW(GreatCircleDistance(0, 0, NAN, 0), classlib::EInvalidOp);
    EXPECT_THROW(GreatCircleDistance(0, 0, INFINITY, 0), classlib::EInvalidOp);
}

TEST(StationMaths, BearingClockwiseFromNorthInWholeDegrees) {
    struct Case {
        double p1, l1, p2, l2, bearing;
    };
    const Case cases[] = {
        {0, 0, 10, 0, 0},     // due north
        {0, 0, 0, 10, 90},    // due east
        {0, 0, -10, 0, 180},  // due south
        {0, 0, 0, -10, 270},  // due west
        {0, 0, 45, 90, 45},   // on the equator, a point 90 degrees east at 45 N
        {50, 5, 50.5, 5, 0},  // north of a receiver off the equator
    };
    for (const Case& c : cases)
        EXPECT_EQ(GreatCircleBearing(Rad(c.p1), Rad(c.l1), Rad(c.p2), Rad(c.l2)), c.bearing)
            << c.p1 << "/" << c.l1 << " to " << c.p2 << "/" << c.l2;
}

TEST(StationMaths, DegreesAndRadians) {
    EXPECT_DOUBLE_EQ(DegToRad(180), M_PI);
    EXPECT_DOUBLE_EQ(RadToDeg(M_PI / 2), 90);
}

TEST(StationMaths, DayLengthAgainstAlmanacFigures) {
    struct Case {
        const char* where;
        double lat;
        int month, day;
        double hours;      // published day length (sunrise to sunset)
        double tolerance;  // minutes
    };
    const Case cases[] = {
        {"80 N midsummer", 80, 6, 15, 24, 0},  // polar day: the clamp
        {"80 N midwinter", 80, 12, 15, 0, 0},  // polar night
        {"80 S midwinter", -80, 6, 15, 0, 0},
        {"London solstice", 51.5, 6, 21, 16 + 38 / 60.0, 4},
        {"London winter solstice", 51.5, 12, 21, 7 + 50 / 60.0, 4},
        {"Washington solstice", 38.9, 6, 21, 14 + 54 / 60.0, 4},
        {"equator equinox", 0, 3, 20, 12 + 7 / 60.0, 3},
    };
    for (const Case& c : cases) {
        double rise = -1, set = -1, length = -1;
        SunRiseSet(true, rise, set, EncodeDate(2023, c.month, c.day) + 0.5, c.lat, length);
        EXPECT_NEAR(length, c.hours, c.tolerance / 60 + 1e-9) << c.where;
        EXPECT_NEAR(rise, 0.5 - length / 48, 1e-12) << c.where;
        EXPECT_NEAR(set, 0.5 + length / 48, 1e-12) << c.where;
    }
    double rise, set, length;
    SunRiseSet(true, rise, set, EncodeDate(2023, 6, 15), 80, length);
    EXPECT_EQ(rise, 0.0);
    EXPECT_EQ(set, 1.0);
}

TEST(StationMaths, NonFiniteStepGivesAFullDay) {
    double rise, set, length = -1;
    SunRiseSet(true, rise, set, EncodeDate(2023, 3, 1), 90, length);  // cos(latitude) 0 at the pole
    EXPECT_TRUE(length == 24 || length == 0) << length;
    SunRiseSet(true, rise, set, EncodeDate(2023, 3, 1), NAN, length);
    EXPECT_EQ(length, 24);
    EXPECT_EQ(rise, 0.0);
    EXPECT_EQ(set, 1.0);
}

TEST(StationMaths, LocalTimesFollowTheZoneOffsetOfTheDate) {
    // Central European time: +1 hour in winter, +2 in summer; a zone without daylight
    // saving 5 hours west of UTC all year.
    struct Case {
        const char* tz;
        int month;
        double hours;
    };
    const Case cases[] = {
        {"CET-1CEST,M3.5.0,M10.5.0/3", 1, 1},
        {"CET-1CEST,M3.5.0,M10.5.0/3", 7, 2},
        {"<-05>5", 1, -5},
        {"<-05>5", 7, -5},
        {"UTC0", 7, 0},
    };
    for (const Case& c : cases) {
        const int status = InChild([&] {
            setenv("TZ", c.tz, 1);
            tzset();
            const double date = EncodeDate(2023, c.month, 15) + 0.5;
            double r0, s0, l0, r1, s1, l1;
            SunRiseSet(true, r0, s0, date, 45, l0);
            SunRiseSet(false, r1, s1, date, 45, l1);
            const bool ok = std::fabs((r1 - r0) * 24 - c.hours) < 1e-9 && std::fabs((s1 - s0) * 24 - c.hours) < 1e-9 &&
                            l0 == l1;
            return ok ? 0 : 1;
        });
        EXPECT_EQ(status, 0) << c.tz << " month " << c.month;
    }
}

TEST(StationMaths, MessageTypeNamesArePaddedTo20) {
    struct Case {
        char letter;
        const char* name;
    };
    const Case cases[] = {
        {'b', "MET Warning         "}, {'Z', "No Message On Hand  "}, {'Q', "UNKNOWN             "},
        {'A', "NAV Warning         "}, {'l', "Add. NAV Message    "}, {'V', "Special Service     "},
        {'y', "Special Service     "}, {'K', "NAVAID Message      "}, {'\0', "UNKNOWN             "},
    };
    for (const Case& c : cases) {
        std::string name = "old";
        MessageTypeName(c.letter, name);
        EXPECT_EQ(name, c.name) << "letter " << int(c.letter);
    }
}

TEST(StationMaths, DigitsDateTime) {
    struct Case {
        const char* text;
        const char* digits;
    };
    const Case cases[] = {
        {"2024-05-17 13:45:09", "20240517 134509"},
        {"2024-05-17", "20240517 "},  // midnight: the date-time text has no time part
        {"", " "},
        {"12:3", "123 "},
    };
    for (const Case& c : cases) {
        std::string out = "old";
        DigitsDateTime(c.text, out);
        EXPECT_EQ(out, c.digits) << c.text;
    }
    std::string out;
    DigitsDateTime(classlib::DateTimeToStr(EncodeDate(2024, 1, 2)), out);
    EXPECT_EQ(out, "20240102 ");
}

TEST(StationMaths, SameMonthIgnoresTheYear) {
    EXPECT_TRUE(SameMonth(EncodeDate(2023, 5, 1), EncodeDate(2024, 5, 31)));
    EXPECT_TRUE(SameMonth(EncodeDate(1999, 12, 31) + 0.9, EncodeDate(2000, 12, 1)));
    EXPECT_FALSE(SameMonth(EncodeDate(2024, 1, 31), EncodeDate(2024, 2, 1)));
}

TEST(StationMaths, CutToken) {
    struct Case {
        const char* text;
        char sep;
        const char* token;
        const char* rest;
    };
    const Case cases[] = {
        {"", '#', "", ""},
        {"abc", '#', "abc", ""},
        {"a#b#c", '#', "a", "b#c"},
        {"#b", '#', "", "b"},
        {"a#", '#', "a", ""},
        {"1 S LOC,CC", ' ', "1", "S LOC,CC"},
    };
    for (const Case& c : cases) {
        std::string text = c.text, token = "old";
        CutToken(text, c.sep, token);
        EXPECT_EQ(token, c.token) << c.text;
        EXPECT_EQ(text, c.rest) << c.text;
    }
}

TEST(StationMaths, ProcessorsInTheAffinitySet) {
    EXPECT_GE(CountProcessors(), 1);
    const int one = InChild([] {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(0, &set);
        if (sched_setaffinity(0, sizeof set, &set) != 0) return 98;
        return CountProcessors();
    });
    EXPECT_EQ(one, 1);
    if (sysconf(_SC_NPROCESSORS_ONLN) >= 2) {
        const int two = InChild([] {
            cpu_set_t set;
            CPU_ZERO(&set);
            CPU_SET(0, &set);
            CPU_SET(1, &set);
            if (sched_setaffinity(0, sizeof set, &set) != 0) return 98;
            return CountProcessors();
        });
        EXPECT_EQ(two, 2);
    }
}

TEST(StationMaths, CpuPercentIsRoundedForTheProcessAndThenPerProcessor) {
    struct Case {
        int64_t cpu, ticks;  // 100-ns units of processor time, milliseconds of wall time
        int32_t processors, percent;
    };
    const Case cases[] = {
        {14960000, 1000, 4, 38},  // 149.6 % is 150, a quarter 37.5 goes to even 38 (once: 37)
        {6250000, 1000, 1, 62},   // halves to even
        {6350000, 1000, 1, 64},
        {10000000, 1000, 8, 12},  // 12.5
        {5000000, 1000, 3, 17},
        {1000000, 100, 1, 100},
        {123, 0, 1, 0},  // no tick passed
    };
    for (const Case& c : cases)
        EXPECT_EQ(CpuLoadPercent(c.cpu, c.ticks, c.processors), c.percent) << c.cpu << " / " << c.ticks;
}

// One busy thread held to one processor of several uses all of that processor: the
// gauge divides by the affinity set, not by the machine's processors.
TEST(StationMaths, CpuPercentOfAProcessHeldToFewerProcessors) {
    cpu_set_t mine;
    CPU_ZERO(&mine);
    ASSERT_EQ(sched_getaffinity(0, sizeof mine, &mine), 0);
    if (sysconf(_SC_NPROCESSORS_ONLN) < 2) GTEST_SKIP() << "one processor: every mask is the machine";
    int first = 0;
    while (!CPU_ISSET(first, &mine)) ++first;
    const int status = InChild([first] {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(first, &one);
        if (sched_setaffinity(0, sizeof one, &one) != 0) return 250;
        auto read = [](clockid_t clock, int64_t unit) {
            timespec ts{};
            clock_gettime(clock, &ts);
            return (int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec) / unit;
        };
        ProcessCpuPercent();
        const int64_t cpu0 = read(CLOCK_PROCESS_CPUTIME_ID, 100), wall0 = read(CLOCK_MONOTONIC, 1000000);
        volatile uint64_t spin = 0;
        while (read(CLOCK_MONOTONIC, 1000000) - wall0 < 300) spin = spin + 1;
        const int64_t cpu1 = read(CLOCK_PROCESS_CPUTIME_ID, 100), wall1 = read(CLOCK_MONOTONIC, 1000000);
        const int32_t got = ProcessCpuPercent();
        const int32_t want = CpuLoadPercent(cpu1 - cpu0, wall1 - wall0, 1);
        if (want < 20) return 251;  // the processor was too busy elsewhere to tell
        return 100 + std::clamp(got - want, -99, 99);
    });
    if (status == 251) GTEST_SKIP() << "the one processor was taken by other work";
    EXPECT_NEAR(status, 100, 3) << "the gauge's percent less the measured one, plus 100";
}

TEST(StationMaths, VersionNames) {
    struct Case {
        bool nt;
        int major, minor;
        const char* name;
    };
    const Case cases[] = {
        {false, 4, 10, "Win95/98/SE"},
        {true, 4, 0, "Pre-Windows 2000"},
        {true, 3, 51, "Pre-Windows 2000"},
        {true, 5, 0, "Windows 2000"},
        {true, 5, 1, "Windows XP"},
        {true, 5, 2, "Windows Server 2003/R2"},
        {true, 6, 0, "Windows Vista/Server 2008"},
        {true, 6, 1, "Windows 7/Server 2008 R2"},
        {true, 6, 2, "Windows Version > Windows 7"},
        {true, 10, 0, "Windows Version > Windows 7"},
    };
    for (const Case& c : cases) EXPECT_EQ(WindowsVersionName(c.nt, c.major, c.minor), c.name);

    TOSVersion v;
    GetWindowsVersion(v);
    EXPECT_GE(v.Major, 2);  // every kernel this runs on
    EXPECT_FALSE(v.Name.empty());
    EXPECT_NE(v.Name, "Win95/98/SE");
}

TEST(StationMaths, GridColumnsDeletedAndSized) {
    TStringGrid grid;
    grid.SetColCount(4);
    grid.SetRowCount(2);
    for (int c = 0; c < 4; ++c) grid.SetCells(c, 1, std::string(1, char('a' + c)));
    DeleteGridColumn(grid, 4);  // beyond the columns: nothing
    EXPECT_EQ(grid.ColCount(), 4);
    DeleteGridColumn(grid, 1);
    ASSERT_EQ(grid.ColCount(), 3);
    EXPECT_EQ(grid.Cells(0, 1), "a");
    EXPECT_EQ(grid.Cells(1, 1), "c");
    EXPECT_EQ(grid.Cells(2, 1), "d");

    grid.SetCells(1, 0, "a much wider heading");
    AutoSizeGridColumns(grid);
    EXPECT_EQ(grid.ColWidths(1), grid.TextWidth("a much wider heading") + 5);
    EXPECT_EQ(grid.ColWidths(2), grid.TextWidth("d") + 5);
}

TEST(StationMaths, CheckListHelpers) {
    QListWidget list;
    for (const char* text : {"518 1S CALL LOC,CC", "518 1s CALL LOC,CC", "490 2T CALL2 LOC2,CD"}) {
        auto* item = new QListWidgetItem(text, &list);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(Qt::Unchecked);
    }
    CheckAllItems(list);
    for (int i = 0; i < list.count(); ++i) EXPECT_EQ(list.item(i)->checkState(), Qt::Checked);
    UncheckItem(list, "518 1S CALL LOC,CC");  // exact text only
    EXPECT_EQ(list.item(0)->checkState(), Qt::Unchecked);
    EXPECT_EQ(list.item(1)->checkState(), Qt::Checked);
    EXPECT_EQ(list.item(2)->checkState(), Qt::Checked);
    UncheckAllItems(list);
    for (int i = 0; i < list.count(); ++i) EXPECT_EQ(list.item(i)->checkState(), Qt::Unchecked);
}
