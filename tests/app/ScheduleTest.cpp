// The schedule page: the NAVAREA preferences, their settings key, the grid built from
// the station table, and "On Air Now".
#include <gtest/gtest.h>

#include <QPushButton>

#include <cstdlib>
#include <string>
#include <vector>

#include "MainTestKit.h"
#include "QtTestApp.h"
#include "app/Settings.h"
#include "app/UCommon.h"

using namespace tilo;
using tilo_test::Utc;

namespace {

// Points the application folder at a fresh folder for one test.
struct THomeGuard {
    THomeGuard() : Folder(tilo_test::TempFolder()) { setenv("TILO_HOME", Folder.c_str(), 1); }
    ~THomeGuard() { unsetenv("TILO_HOME"); }
    std::string NavAreas() const { return TSettingsFile(SettingsPath()).NavAreas(); }
    std::string Folder;
};

}  // namespace

TEST(NavareaPreferences, StringAndBoxesAgree) {
    TfrmMain w;
    EXPECT_EQ(w.NavareaString(), "111111111111111111111");  // all checked in the design
    struct Case {
        const char* text;
        const char* back;
        std::set<int32_t> areas;
    };
    const Case cases[] = {
        {"101000000000000000001", "101000000000000000001", {1, 3, 21}},
        {"000000000000000000000", "000000000000000000000", {}},
        {"11", "110000000000000000000", {1, 2}},  // characters past the text read as unchecked
        {"1x1111111111111111110", "101111111111111111110",
         {1, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20}},
    };
    for (const Case& c : cases) {
        w.ApplyNavareaString(c.text);
        EXPECT_EQ(w.NavareaString(), c.back) << c.text;
        EXPECT_EQ(w.FSelectedNavAreas, c.areas) << c.text;
        for (TNavareaCheckBox* box : w.NavareaBoxes)
            EXPECT_EQ(box->isChecked(), c.back[box->Tag - 1] == '1') << c.text << " box " << box->Tag;
    }
}

TEST(NavareaPreferences, EveryApplyWritesTheSetting) {
    THomeGuard home;
    TfrmMain w;
    w.ClockSource = [] { return Utc(2024, 2, 2, 2, 2, 2); };
    w.ApplyNavareaString("110000000000000000000");
    w.sbApplyNavarea->click();
    EXPECT_EQ(home.NavAreas(), "110000000000000000000");
    EXPECT_EQ(w.FSelectedNavAreas, (std::set<int32_t>{1, 2}));
    w.NavareaBoxes[20]->setChecked(true);
    w.NavareaBoxes[0]->setChecked(false);
    w.sbApplyNavarea->click();
    EXPECT_EQ(home.NavAreas(), "010000000000000000001");
    EXPECT_EQ(w.FSelectedNavAreas, (std::set<int32_t>{2, 21}));
    w.NavareaBoxes[1]->setChecked(false);
    w.cbShowBearing->click();  // "Show Bearings" rebuilds and saves too
    EXPECT_EQ(home.NavAreas(), "000000000000000000001");
}

TEST(OnAirNow, SelectsTheLastSlotNotLaterThanNow) {
    TfrmMain w;
    TStringGrid& g = *w.sgSched;
    auto fill = [&](const std::vector<std::string>& slotTexts) {
        g.SetColCount(3);
        g.SetRowCount(1 + int32_t(slotTexts.size()));
        g.ClearCells();
        int32_t row = 1;
        for (const std::string& s : slotTexts) {
            g.SetCells(0, row, s);
            g.SetCells(2, row++, "1S SOMEWHERE,XX");
        }
        g.setCurrentCell(-1, -1);
    };
    struct Case {
        std::vector<std::string> slotTexts;
        int h, m;
        int row;  // -1: nothing selected
    };
    const Case cases[] = {
        {{"00:00", "06:30", "12:10"}, 0, 5, 1},
        {{"00:00", "00:00", "06:30"}, 0, 5, 2},    // the lower of two rows of one slot
        {{"00:00", "06:30", "12:10"}, 12, 10, 3},  // a slot starting now counts
        {{"00:00", "06:30", "12:10"}, 23, 59, 3},
        {{"01:00", "06:30"}, 0, 30, -1},           // before the first slot of the day
        {{}, 12, 0, -1},
    };
    for (const Case& c : cases) {
        fill(c.slotTexts);
        w.ClockSource = [&] { return Utc(2024, 6, 1, c.h, c.m, 0); };
        w.btnOnAirNow->click();
        EXPECT_EQ(g.Row(), c.row) << c.h << ":" << c.m;
    }
}
