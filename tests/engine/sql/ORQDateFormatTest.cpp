// Date pictures: tokenising, formatting, parsing, maximum length and result type.
#include <gtest/gtest.h>

#include <string>

#include "classlib/DateUtils.h"
#include "classlib/SysUtils.h"
#include "foundation/ExpectNative.h"
#include "engine/sql/ORQDateFormat.h"

using namespace orq;
using classlib::EncodeDate;
using classlib::EncodeTime;
using classlib::TDateTime;

namespace {

TDateTime At(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
    return EncodeDate(static_cast<uint16_t>(y), static_cast<uint16_t>(mo), static_cast<uint16_t>(d)) +
           EncodeTime(static_cast<uint16_t>(h), static_cast<uint16_t>(mi), static_cast<uint16_t>(s), 0);
}

TDateTime Time(int h, int mi, int s = 0) {
    return EncodeTime(static_cast<uint16_t>(h), static_cast<uint16_t>(mi), static_cast<uint16_t>(s), 0);
}

std::string Kinds(const TDateFormater& f) {
    std::string out;
    for (const auto& t : f.Tokens) out += "[" + std::to_string(t.Kind) + ":" + t.Text + "]";
    return out;
}

}  // namespace

TEST(DateFormater, PicturesSplitLongestWordFirst) {
    struct { const char* picture; const char* tokens; } cases[] = {
        {"YYYY-MM-DD", "[0:YYYY][26:-][6:MM][26:-][10:DD]"},
        {"yyyy-mm-dd", "[0:yyyy][26:-][6:mm][26:-][10:dd]"},
        {"MONTH MON", "[4:MONTH][26: ][5:MON]"},
        {"HH24:NN HH12 HH H24 H12 H", "[16:HH24][26::][21:NN][26: ][15:HH12][26: ][17:HH][26: ][19:H24][26: ]"
                                      "[18:H12][26: ][20:H]"},
        {"DDDD DAY DY DW", "[9:DDD][14:D][26: ][11:DAY][26: ][12:DY][26: ][13:DW]"},
        {"YYYYY YEAR Q RM AMPM", "[0:YYYY][26:Y ][2:YEAR][26: ][3:Q][26: ][8:RM][26: ][25:AMPM]"},
        {"N S SS", "[22:N][26: ][24:S][26: ][23:SS]"},
        {"'Week' DW", "[26:Week][26: ][13:DW]"},
        {"\"it's\" 'say \"x\"'", "[26:it's][26: ][26:say \"x\"]"},
        {"'a''b'", "[26:a][26:b]"},
        {"''YY", "[26:][1:YY]"},
        {"YY 'open", "[1:YY][26: ][26:open]"},
        {"at PM", "[26:at P][7:M]"},
        {"", ""},
    };
    for (auto& c : cases) EXPECT_EQ(Kinds(TDateFormater(c.picture)), c.tokens) << c.picture;
    EXPECT_EQ(MaxWordLength, 5);
}

TEST(DateFormater, FormatsEveryWord) {
    struct { const char* picture; TDateTime value; const char* text; } cases[] = {
        {"YYYY-MM-DD HH24:NN:SS", At(2004, 3, 15, 13, 5, 9), "2004-03-15 13:05:09"},
        {"yyyy-mm-dd", At(2004, 3, 15), "2004-03-15"},
        {"DY DW Q RM HH12 H AMPM", At(2004, 3, 15, 13, 5, 9), "75 1 1 III 01 1 PM"},
        {"'Week' DW", At(2004, 3, 15), "Week 1"},
        {"DAY, DDD DD MONTH (MON) YY YEAR", At(2026, 12, 10), "Thursday, Thu 10 December (Dec) 26 2026"},
        {"D/M/YYYY H24:N:S", At(2026, 1, 5, 7, 8, 9), "5/1/2026 7:8:9"},
        {"HH24 HH HH12 H H12 AMPM", At(2026, 1, 5, 0, 30), "00 00 00 0 0 AM"},
        {"HH24 HH HH12 H H12 AMPM", At(2026, 1, 5, 12, 30), "12 00 00 0 0 PM"},
        {"HH24 HH HH12 H H12 AMPM", At(2026, 1, 5, 23, 59), "23 11 11 11 11 PM"},
        {"Q RM MON DW DDD", At(2026, 9, 30), "3 IX Sep 3 Wed"},
        {"Q RM MON DW DAY", At(2026, 12, 13), "4 XII Dec 7 Sunday"},
        {"Q RM", At(2026, 4, 1), "2 IV"},
        {"RM DY", At(2024, 8, 31), "VIII 244"},
        {"DY", At(2024, 12, 31), "366"},
        {"DY DW DAY HH24", -1.75, "363 5 Friday 18"},  // before day 0 the time counts away from it
        {"DD.MM.YYYY", At(99, 2, 3), "03.02.0099"},
        {"\"at\" HH24 'o''clock'", At(2026, 1, 1, 13), "at 13 oclock"},
        {"YYYY 'open", At(2004, 3, 15), "2004 open"},
        {"SS.S", At(2004, 3, 15, 1, 2, 3), "03.3"},
        {"", At(2004, 3, 15), ""},
    };
    for (auto& c : cases) EXPECT_EQ(TDateFormater(c.picture).FormatDateTime(c.value), c.text) << c.picture;
}

TEST(DateFormater, ParsesWhatItWrites) {
    struct { const char* picture; const char* text; TDateTime value; } cases[] = {
        {"YYYY-MM-DD HH24:NN:SS", "2004-03-15 13:05:09", At(2004, 3, 15, 13, 5, 9)},
        {"yy-mm-dd", "29-01-05", At(2029, 1, 5)},  // the pivot: below 30 is this century
        {"YY-MM-DD", "30-01-05", At(1930, 1, 5)},
        {"YY-MM-DD", "00-01-05", At(2000, 1, 5)},
        {"M/D/YYYY", "1/2/2004", At(2004, 1, 2)},
        {"M/D/YYYY", "10/12/2004", At(2004, 10, 12)},
        {"D.M.YEAR", "9.11.2004", At(2004, 11, 9)},
        {"YYYY Q DD", "2004 3 01", At(2004, 7, 1)},
        {"YYYY Q", "2004 3", 0},  // the day stays 0: 1899-12-30
        {"YYYY-MM-DD", "2004-00-15", 0},
        {"YYYY-MM-DD", "0000-03-15", 0},
        {"YYYY-MM-DD", "2004x03x15", At(2004, 3, 15)},  // a literal is skipped, not compared
        {"HH:NN AMPM", "07:05 PM", Time(19, 5)},
        {"HH:NN AMPM", "07:05 am", Time(7, 5)},
        {"HH:NN AMPM", "12:30 AM", Time(0, 30)},
        {"HH:NN AMPM", "12:30 PM", Time(12, 30)},
        {"HH:NN AMPM", "00:30 PM", Time(12, 30)},  // our own output for half past noon
        {"HH12:NN AMPM", "7:05 pm", Time(19, 5)},
        {"AMPM HH:NN", "PM 07:05", Time(19, 5)},
        {"H:NN AMPM", "10:05 PM", Time(22, 5)},  // H reads one or two digits
        {"H12.N.S", "7.5.9", Time(7, 5, 9)},
        {"H24 N S", "17 5 59", Time(17, 5, 59)},
        {"HH24:NN", "13:45", Time(13, 45)},
        {"HH24:NN:SS", "00:00:00", 0},
        {"DD MONTH YYYY", "10 DECEMBER 2026", At(2026, 12, 10)},
        {"DD MONTH YYYY", "10 december 2026", At(2026, 12, 10)},
        {"DD MON YYYY", "10 Dec 2026", At(2026, 12, 10)},
        {"DDMONYYYY", "10MAY2026", At(2026, 5, 10)},
        {"DD RM YYYY", "10 XII 2026", At(2026, 12, 10)},
        {"DD RM YYYY", "10 iv 2026", At(2026, 4, 10)},
        {"DD-RM-YYYY", "10-VIII-2026", At(2026, 8, 10)},
        {"DAY, DD.MM.YYYY", "Wednesday, 09.12.2026", At(2026, 12, 9)},
        {"DDD DD.MM.YYYY", "Wed 09.12.2026", At(2026, 12, 9)},
        {"DY DW DD/MM/YYYY", "344 4 10/12/2026", At(2026, 12, 10)},
        {"DY DW Q RM HH12 H AMPM", "75 1 1 III 01 1 PM", Time(13, 0)},  // no year or day: 1899-12-30
        {"YYYY-MM-DD HH24:NN", "1850-01-01 06:00", At(1850, 1, 1) - 0.25},
        {"'at' HH24", "at 13", Time(13, 0)},
    };
    for (auto& c : cases) {
        TDateTime v = -1;
        EXPECT_NO_THROW(v = TDateFormater(c.picture).ParseDateTime(c.text)) << c.picture << " / " << c.text;
        EXPECT_DOUBLE_EQ(v, c.value) << c.picture << " / " << c.text;
    }
}

TEST(DateFormater, RoundTripsThroughItsOwnText) {
    const TDateTime values[] = {At(2026, 12, 10, 0, 5, 7), At(2026, 12, 10, 12, 0, 0), At(2026, 12, 10, 12, 59, 59),
                                At(2026, 1, 31, 23, 1, 2), At(1850, 7, 4, 9, 30)};
    const char* pictures[] = {"DAY DD MONTH YYYY HH:NN:SS AMPM", "DDD D MON YEAR H12.N.S AMPM",
                              "DW DY D.RM.YYYY HH24NNSS", "YYYYMMDD H AMPM N S"};
    for (const char* p : pictures) {
        const TDateFormater f(p);
        for (TDateTime v : values) {
            const std::string text = f.FormatDateTime(v);
            EXPECT_DOUBLE_EQ(f.ParseDateTime(text), v) << p << " / " << text;
        }
    }
}

TEST(DateFormater, ParsingFailures) {
    ExpectNative([] { TDateFormater("HH:NN AMPM").ParseDateTime("07:05 XM"); }, 30129,
                 "AM/PM word expected, but 'XM' found - Native error: 30129");
    ExpectNative([] { TDateFormater("HH:NN AMPM").ParseDateTime("07:05"); }, 30129,
                 "AM/PM word expected, but '' found - Native error: 30129");
    struct { const char* picture; const char* text; } conversion[] = {
        {"YYYY-MM-DD", "2004-02-30"},  {"YYYY-MM-DD", "2004-13-01"}, {"HH24:NN", "24:00"},
        {"HH:NN AMPM", "13:00 PM"},    {"HH:NN AMPM", "12:60 AM"},  {"YYYY-MM-DD", "20x4-01-01"},
        {"YYYY-MM-DD", "2004-01"},     {"DD MONTH YYYY", "10 DECEM 2026"}, {"DD MON YYYY", "10 December 2026"},
        {"DD RM YYYY", "10 XIII 2026"}, {"DD MONTH YYYY", "10 2026"},  {"YYYY Q DD", "2004 5 01"},
        {"YYYY-MM-DD", "-004-01-01"},   {"SS", "75"},
    };
    for (auto& c : conversion)
        EXPECT_THROW(TDateFormater(c.picture).ParseDateTime(c.text), classlib::EConvertError)
            << c.picture << " / " << c.text;
}

TEST(DateFormater, FormattingFailures) {
    EXPECT_THROW(TDateFormater("YYYY").FormatDateTime(-700000), classlib::EConvertError);
    EXPECT_THROW(TDateFormater("HH24").FormatDateTime(3000000), classlib::EConvertError);
    TDateFormater f("YYYY");
    f.Tokens.push_back({27, ""});
    try {
        f.FormatDateTime(0);
        ADD_FAILURE() << "no exception";
    } catch (const classlib::Exception& e) {
        EXPECT_EQ(e.Message(), "Unknown DateFormatType");
    }
    EXPECT_THROW(f.GetMaxLength(), classlib::Exception);
}

TEST(DateFormater, MaxLengthHoldsEveryText) {
    struct { const char* picture; int32_t length; } cases[] = {
        {"DD MONTH YYYY", 17}, {"DY", 3}, {"DAY", 12}, {"RM", 4}, {"Q", 1}, {"MON DDD", 7}, {"YEAR", 4},
        {"'abc'Q", 4}, {"HH24:NN:SS AMPM", 11}, {"D M H H12 H24 N S DW YY MM", 29}, {"", 0},
    };
    for (auto& c : cases) EXPECT_EQ(TDateFormater(c.picture).GetMaxLength(), c.length) << c.picture;
    // Every day's text fits (names, Roman months, three-digit days of the year).
    const TDateFormater all("DAY MONTH RM DY DDD MON YYYY");
    for (TDateTime v = At(2024, 1, 1); v <= At(2024, 12, 31); v += 1)
        EXPECT_LE(static_cast<int32_t>(all.FormatDateTime(v).size()), all.GetMaxLength()) << all.FormatDateTime(v);
}

TEST(DateFormater, ResultType) {
    struct { const char* picture; uint8_t type; } cases[] = {
        {"YYYY-MM-DD", 25}, {"DW", 25}, {"D", 25}, {"HH24:NN", 26}, {"AMPM", 26}, {"H", 26},
        {"YYYY-MM-DD HH24:NN", 27}, {"DD AMPM", 27}, {"'abc'", 27}, {"", 27},
    };
    for (auto& c : cases) EXPECT_EQ(TDateFormater(c.picture).GetResultType(), c.type) << c.picture;
}

TEST(DateFormater, CalendarParts) {
    const TDateTime v = At(2026, 12, 10, 17, 45);
    EXPECT_EQ(YearOf(v), 2026);
    EXPECT_EQ(MonthOf(v), 12);
    EXPECT_EQ(DayOfTheYear(v), 344);
    EXPECT_EQ(DayOfTheWeek(v), 4);
    EXPECT_EQ(HourOf(v), 17);
    EXPECT_EQ(DayOfTheWeek(At(1, 1, 1)), 1);
    EXPECT_EQ(DayOfTheWeek(At(1899, 12, 30)), 6);
    EXPECT_EQ(DayOfTheYear(At(2023, 12, 31)), 365);
}
