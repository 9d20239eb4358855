// The station walks and the schedule page over a station table held in memory:
// schedule look-ups, bearing text, station lines, the table's position and controls
// after every walk, and the schedule grid.
#include <gtest/gtest.h>

#include <QTimer>
#include <QCheckBox>
#include <QPushButton>
#include <QTabWidget>

#include <cstdlib>
#include <string>
#include <vector>

#include "MainTestKit.h"
#include "QtTestApp.h"
#include "app/Settings.h"
#include "app/UCommon.h"
#include "StationTableKit.h"

using namespace tilo;
using tilo_test::Utc;

namespace {

using tilo_test::TStation;
using tilo_test::TStationTable;

struct TReceiverAt {
    TReceiverAt(double Lat, double Lon) { RxLat = Lat, RxLon = Lon; }
    ~TReceiverAt() { RxLat = 0, RxLon = 0; }
};

struct THomeGuard {
    THomeGuard() : Folder(tilo_test::TempFolder()) { setenv("TILO_HOME", Folder.c_str(), 1); }
    ~THomeGuard() { unsetenv("TILO_HOME"); }
    std::string NavAreas() const { return TSettingsFile(SettingsPath()).NavAreas(); }
    std::string Folder;
};

const std::string Deg(1, DegreeSign);

}  // namespace

TEST(StationWalks, ListedOnItsSlotAndFrequencyOnly) {
    TReceiverAt rx(0, 0);
    TStationTable st;
    st.Add({1, 518, "S", "CALL1", "ALPHA", "XX", 10, 0, {"09:00"}});
    st.Add({1, 490, "T", "CALL2", "BETA", "YY", 10, 0, {"09:10", "09:00"}});
    std::string out;
    struct Case {
        const char* slot;
        int32_t freq;
        const char* entries;
    };
    const Case cases[] = {
        {"09:00", 518, "1 S ALPHA,XX#"},
        {"09:00", 490, "1 T BETA,YY#"},
        {"09:10", 518, ""},
        {"09:10", 490, "1 T BETA,YY#"},
        {"9:00", 518, ""},  // the slot text must match exactly
        {"09:00", 0, ""},
    };
    for (const Case& c : cases) {
        StationsOnSchedule(c.slot, c.freq, false, out);
        EXPECT_EQ(out, c.entries) << c.slot << " " << c.freq;
    }

    // At 09:05 UTC the schedule line looks at the slot 09:00.
    TfrmMain w;
    w.ApplyNavareaString("111111111111111111111");
    w.ClockSource = [] { return Utc(2024, 6, 1, 9, 5, 0); };
    w.SchedTimerTimer();
    EXPECT_EQ(w.Sbar->SimpleText(), "SCHEDULE 518KHz 09:00UTC 1S:ALPHA,XX/0" + Deg + " ");
    w.rgFreq->SetItemIndex(1);
    w.SchedTimerTimer();
    EXPECT_EQ(w.Sbar->SimpleText(), "SCHEDULE 490KHz 09:00UTC 1T:BETA,YY/0" + Deg + " ");
}

TEST(StationWalks, ListedOncePerMatchingTimeField) {
    TStationTable st;
    st.Add({4, 518, "R", "C", "GAMMA", "ZZ", 0, 0, {"00:00", "04:00", "", "04:00", "", "04:00"}});
    std::string out;
    StationsOnSchedule("04:00", 518, false, out);
    EXPECT_EQ(out, "4 R GAMMA,ZZ#4 R GAMMA,ZZ#4 R GAMMA,ZZ#");
}

TEST(StationWalks, BearingTextWithTheDegreeSign) {
    TReceiverAt rx(0, 0);
    TStationTable st;
    st.Add({1, 518, "S", "C1", "EAST", "XX", 0, 10, {"12:00"}});
    st.Add({1, 518, "T", "C2", "SOUTH", "YY", -10, 0, {"12:00"}});
    st.Add({1, 518, "U", "C3", "NORTHEAST", "ZZ", 45, 90, {"12:00"}});
    std::string out;
    StationsOnSchedule("12:00", 518, true, out);
    EXPECT_EQ(out, "1 S EAST,XX/90\xB0#1 T SOUTH,YY/180\xB0#1 U NORTHEAST,ZZ/45\xB0#");
    StationsOnScheduleInAreas("12:00", 518, {1}, out);
    EXPECT_EQ(out, "1S:EAST,XX/90\xB0 1T:SOUTH,YY/180\xB0 1U:NORTHEAST,ZZ/45\xB0 ");
}

TEST(StationWalks, ScheduleLineKeepsTheChosenNavareas) {
    TReceiverAt rx(0, 0);
    TStationTable st;
    st.Add({1, 518, "S", "C1", "ONE", "XX", 10, 0, {"14:20"}});
    st.Add({2, 518, "T", "C2", "TWO", "YY", 10, 0, {"14:20"}});
    st.Add({21, 518, "U", "C3", "TWENTYONE", "ZZ", 10, 0, {"14:20"}});
    std::string out;
    StationsOnScheduleInAreas("14:20", 518, {2, 21}, out);
    EXPECT_EQ(out, "2T:TWO,YY/0" + Deg + " 21U:TWENTYONE,ZZ/0" + Deg + " ");
    StationsOnScheduleInAreas("14:20", 518, {}, out);
    EXPECT_EQ(out, "");

    TfrmMain w;
    w.ClockSource = [] { return Utc(2024, 6, 1, 14, 29, 59); };
    w.ApplyNavareaString("010000000000000000000");
    w.SchedTimerTimer();
    EXPECT_EQ(w.Sbar->SimpleText(), "SCHEDULE 518KHz 14:20UTC 2T:TWO,YY/0" + Deg + " ");
    w.ApplyNavareaString("000000000000000000000");
    w.SchedTimerTimer();
    EXPECT_EQ(w.Sbar->SimpleText(), "SCHEDULE 518KHz 14:20UTC none");
}

TEST(StationWalks, EveryWalkPutsBackThePositionAndTheControls) {
    TStationTable st;
    for (int i = 1; i <= 5; ++i) st.Add({i, 518, "A", "C", ("S" + std::to_string(i)).c_str(), "XX", 0, 0, {"00:00"}});
    st.Table.First();
    st.Table.Next();
    st.Table.Next();
    ASSERT_EQ(st.Table.RecNo(), 3);
    std::string out;
    StationsOnSchedule("00:00", 518, true, out);
    EXPECT_EQ(st.Table.RecNo(), 3);
    EXPECT_FALSE(st.Table.ControlsDisabled());
    StationsOnScheduleInAreas("00:00", 518, {1, 2}, out);
    EXPECT_EQ(st.Table.RecNo(), 3);
    EXPECT_FALSE(st.Table.ControlsDisabled());

    // The station list leaves the table on its end.
    classlib::TStringList list;
    FillStationList(list);
    EXPECT_EQ(list.Count(), 5);
    EXPECT_TRUE(st.Table.Eof());
    EXPECT_FALSE(st.Table.ControlsDisabled());
}

TEST(StationWalks, AFailingWalkStillPutsBackThePositionAndTheControls) {
    TStationTable st(false);  // no T6: the walk fails at the first station
    st.Add({1, 518, "A", "C", "ONE", "XX", 0, 0, {}});
    st.Add({2, 518, "B", "C", "TWO", "XX", 0, 0, {}});
    st.Table.Last();
    std::string out;
    EXPECT_THROW(StationsOnSchedule("00:00", 518, false, out), classlib::EDatabaseError);
    EXPECT_EQ(st.Table.RecNo(), 2);
    EXPECT_FALSE(st.Table.ControlsDisabled());
}

TEST(StationWalks, NoTableNoStations) {
    std::string out = "old";
    StationsOnSchedule("00:00", 518, false, out);
    EXPECT_EQ(out, "");
    TStationTable st;
    st.Add({1, 518, "A", "C", "ONE", "XX", 0, 0, {"00:00"}});
    st.Table.Close();  // the table could not be opened at start-up
    StationsOnSchedule("00:00", 518, false, out);
    EXPECT_EQ(out, "");
}

TEST(StationWalks, StationLines) {
    TStationTable st;
    st.Add({1, 518, "S", "CALL", "LOC", "CC", 0, 0, {}});
    st.Add({21, 490, "X", "ABC123", "SOME WHERE", "XYZ", 0, 0, {}});
    st.Add({-1, 518, "Q", "", "NOWHERE", "", 0, 0, {}});
    classlib::TStringList list;
    list.Add("stale");
    FillStationList(list);
    ASSERT_EQ(list.Count(), 3);
    EXPECT_EQ(list[0], "518 1S CALL LOC,CC");
    EXPECT_EQ(list[1], "490 21X ABC123 SOME WHERE,XYZ");
    EXPECT_EQ(list[2], "518 Q  NOWHERE,");
}

namespace {

// The data rows of the schedule grid, each as its cells joined by "|".
std::vector<std::string> Rows(const TStringGrid& G) {
    std::vector<std::string> rows;
    for (int32_t r = 0; r < G.RowCount(); ++r) {
        std::string row;
        for (int32_t c = 0; c < G.ColCount(); ++c) row += (c ? "|" : "") + G.Cells(c, r);
        rows.push_back(row);
    }
    return rows;
}

}  // namespace

TEST(ScheduleGrid, AllNavareasUncheckedLeaveNoDataRow) {
    THomeGuard home;
    TReceiverAt rx(0, 0);
    TStationTable st;
    st.Add({1, 518, "S", "C1", "ONE", "XX", 10, 0, {"00:00", "12:00"}});
    st.Add({7, 518, "T", "C2", "SEVEN", "YY", 10, 0, {"12:00"}});
    TfrmMain w;
    w.ClockSource = [] { return Utc(2024, 6, 1, 12, 3, 0); };
    for (TNavareaCheckBox* box : w.NavareaBoxes) box->setChecked(false);
    w.sbApplyNavarea->click();
    EXPECT_EQ(w.sgSched->ColCount(), 2);
    EXPECT_EQ(Rows(*w.sgSched), std::vector<std::string>{"TSLOT|FREQ"});
    EXPECT_EQ(home.NavAreas(), "000000000000000000000");
    EXPECT_TRUE(w.FSelectedNavAreas.empty());
    EXPECT_EQ(w.Sbar->SimpleText(), "SCHEDULE 518KHz 12:00UTC none");
}

TEST(ScheduleGrid, RowsPerSlotWithTheChosenColumns) {
    THomeGuard home;
    TReceiverAt rx(0, 0);
    TStationTable st;
    st.Add({1, 518, "S", "C1", "ONE", "XX", 10, 0, {"00:00"}});
    st.Add({1, 518, "T", "C2", "ANOTHER", "YY", 10, 0, {"00:00"}});
    st.Add({2, 518, "U", "C3", "TWO", "ZZ", 10, 0, {"00:00", "23:50"}});
    st.Add({3, 518, "V", "C4", "THREE", "WW", 10, 0, {"06:30"}});
    st.Add({1, 490, "W", "C5", "OTHERFREQ", "VV", 10, 0, {"06:30"}});
    TfrmMain w;
    w.ApplyNavareaString("110000000000000000000");
    w.BuildScheduleGrid(false);
    // Two stations of NAVAREA 1 in one slot: a second row with the slot repeated; the
    // other NAVAREA's station goes into the last row of its slot. NAVAREA 3 has no
    // column, so its slot has no row.
    EXPECT_EQ(Rows(*w.sgSched), (std::vector<std::string>{
                                    "TSLOT|FREQ|     NAVAREA 1|     NAVAREA 2",
                                    "00:00|518|1S ONE,XX|",
                                    "00:00||1T ANOTHER,YY|2U TWO,ZZ",
                                    "23:50|518||2U TWO,ZZ",
                                }));
    EXPECT_EQ(w.FSelectedNavAreas, (std::set<int32_t>{1, 2}));
    EXPECT_EQ(home.NavAreas(), "110000000000000000000");

    w.rgFreq->SetItemIndex(1);
    w.ApplyNavareaString("111000000000000000000");
    w.BuildScheduleGrid(true);
    EXPECT_EQ(Rows(*w.sgSched), (std::vector<std::string>{
                                    "TSLOT|FREQ|     NAVAREA 1|     NAVAREA 2|     NAVAREA 3",
                                    "06:30|490|1W OTHERFREQ,VV/0" + Deg + "||",
                                }));
}

TEST(ScheduleGrid, ShortStationKeptWithOneColumnAndNoBearings) {
    THomeGuard home;
    TStationTable st;
    st.Add({5, 518, "A", "C", "B", "X", 0, 0, {"00:10"}});
    TfrmMain w;
    w.ApplyNavareaString("000010000000000000000");
    w.BuildScheduleGrid(false);
    // The row's text with line ends is 20 characters: it still shows a station.
    EXPECT_EQ(Rows(*w.sgSched), (std::vector<std::string>{"TSLOT|FREQ|     NAVAREA 5", "00:10|518|5A B,X"}));
}

TEST(ScheduleGrid, StationsWithoutAUsableNavareaAreNotPlaced) {
    THomeGuard home;
    TStationTable st;
    st.Add({0, 518, "A", "C", "ZERO", "XX", 0, 0, {"01:00"}});
    st.Add({-1, 518, "B", "C", "EMPTY", "XX", 0, 0, {"01:00"}});
    st.Add({22, 518, "C", "C", "BEYOND", "XX", 0, 0, {"01:00"}});
    st.Add({21, 518, "D", "C", "LAST", "XX", 0, 0, {"02:00"}});
    TfrmMain w;
    w.BuildScheduleGrid(false);
    ASSERT_EQ(w.sgSched->ColCount(), 23);
    const std::vector<std::string> rows = Rows(*w.sgSched);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1], "02:00|518" + std::string(20, '|') + "|21D LAST,XX");
}

TEST(ScheduleGrid, CellsWithAndWithoutBearingAndGrabs) {
    THomeGuard home;
    TReceiverAt rx(52, 4);
    TStationTable st;
    st.Add({1, 518, "S", "C1", "NORTH ISLAND", "XX", 60, 4, {"00:00", "08:00", "16:00"}});
    st.Add({1, 518, "E", "C2", "EAST POINT", "YY", 52, 20, {"00:40", "08:40", "16:40"}});
    st.Add({2, 518, "F", "C3", "SOUTH CAPE", "ZZ", 40, 4, {"00:50", "08:50", "16:50"}});
    st.Add({3, 518, "G", "C4", "WEST BAY", "WW", 52, -10, {"01:00", "09:00", "17:00"}});
    TfrmMain w;
    w.ClockSource = [] { return Utc(2024, 6, 1, 8, 45, 0); };
    w.ApplyNavareaString("111000000000000000000");
    w.PageControl1->setCurrentWidget(w.tsSchedule);
    w.resize(1000, 640);
    w.show();
    w.TimOpenDB->stop();  // the start-up tick would reload the settings mid-test
    w.cbShowBearing->click();  // on
    EXPECT_EQ(w.sgSched->Cells(2, 1), "1S NORTH ISLAND,XX/0" + Deg);
    EXPECT_EQ(w.sgSched->Cells(0, 3), "00:50");
    EXPECT_EQ(w.sgSched->Cells(3, 3), "2F SOUTH CAPE,ZZ/180" + Deg);
    w.btnOnAirNow->click();
    EXPECT_EQ(w.sgSched->Cells(0, w.sgSched->Row()), "08:40");
    QCoreApplication::processEvents();
    tilo_test::SaveGrab(w.grab().toImage(), "schedule-page-bearings-on");
    w.cbShowBearing->click();  // off
    EXPECT_EQ(w.sgSched->Cells(2, 1), "1S NORTH ISLAND,XX");
    // Due east along a parallel of the northern hemisphere the great circle starts
    // north of east.
    const std::string line = w.Sbar->SimpleText(), head = "SCHEDULE 518KHz 08:40UTC 1E:EAST POINT,YY/";
    ASSERT_EQ(line.substr(0, head.size()), head);
    EXPECT_EQ(line.substr(line.size() - 2), Deg + " ");
    const int bearing = std::stoi(line.substr(head.size()));
    EXPECT_GT(bearing, 70);
    EXPECT_LT(bearing, 90);
    QCoreApplication::processEvents();
    tilo_test::SaveGrab(w.grab().toImage(), "schedule-page-bearings-off");
}

TEST(ScheduleGrid, RebuildPutsBackTheStationTablePosition) {
    THomeGuard home;
    TStationTable st;
    for (int i = 1; i <= 4; ++i) st.Add({i, 518, "A", "C", "S", "XX", 0, 0, {"03:00"}});
    st.Table.First();
    st.Table.Next();
    TfrmMain w;
    w.BuildScheduleGrid(true);
    EXPECT_EQ(st.Table.RecNo(), 2);
    EXPECT_FALSE(st.Table.ControlsDisabled());
}
