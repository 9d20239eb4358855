// The "Stations" and "Ephemeris" pages on the real window and data module: the keyword
// editor driven by clicks, arrows and typing, the station file's export and import
// through the buttons (golden lines written by hand from the file's layout), and the
// ephemeris chart after a double-click on a station row.
#include "StationPagesKit.h"

#include <QChart>
#include <QChartView>
#include <QCheckBox>
#include <QDateTimeEdit>
#include <QLabel>
#include <QPushButton>
#include <QScatterSeries>
#include <QWheelEvent>

#include <cmath>

#include "app/Prompts.h"
#include "classlib/DBFields.h"
#include "classlib/NumConv.h"

namespace {

using namespace tilo;
using tilo_test::StationPagesFixture;
using tilo_test::TStationTexts;
using TLines = std::vector<std::string>;

// NAVAREA, FREQ, IDLETTER, CALLSIGN, LOCATION, COUNTRYCODE, COUNTRY, LAT, LON, T1..T6,
// IDTEXT, UNIQUEID.
const TStationTexts Niton = {"1", "518", "A", "GBR12", "NITON", "G", "UNITED KINGDOM", "50.5", "-1.25",
                             "00:40", "04:40", "08:40", "12:40", "16:40", "20:40", "NEWPORT,PORTLAND",
                             "NITON RADIO"};
const TStationTexts Corsen = {"2", "490", "E", "FRA8", "CORSEN", "F", "FRANCE", "48.41", "-4.79",
                              "01:20", "", "", "", "", "", "A,B", "CROSS CORSEN"};
// Transmission times that do and do not read as times.
const TStationTexts Sydney = {"10", "4209.5", "X", "VIX", "SYDNEY", "AUS", "AUSTRALIA", "-33.85", "151.2",
                              "09:15", "bad", "", "24:00", "7:5", "23:55", "", ""};

// The file's lines of Niton and Corsen, as the layout writes them.
const std::string GoldenFile =
    "VERSION5\r\n"
    "1#518#A#GBR12#NITON#G#UNITED KINGDOM#50.5#-1.25#00:40#04:40#08:40#12:40#16:40#20:40#NEWPORT,PORTLAND#"
    "NITON RADIO#\r\n"
    "2#490#E#FRA8#CORSEN#F#FRANCE#48.41#-4.79#01:20#" "#####" "A,B#CROSS CORSEN#\r\n";

class StationPages : public StationPagesFixture {
protected:
    TLines Keywords() const {
        TLines v;
        for (int i = 0; i < W->lbKeyWords->count(); ++i) v.push_back(W->lbKeyWords->item(i)->text().toStdString());
        return v;
    }
    std::string Counter() const { return W->stMaxlen->text().toStdString(); }
    std::string Field(const char* CallSign, const char* Name) {
        classlib::TDataSet& t = *Module->StationTable;
        t.DisableControls();
        std::string value = "<none>";
        for (t.First(); !t.Eof(); t.Next())
            if (t.FieldByName("CALLSIGN")->AsString() == CallSign) {
                value = t.FieldByName(Name)->AsString();
                break;
            }
        t.EnableControls();
        return value;
    }
    void Add(const QString& Typed) {
        Type(W->edtNewKeyWord, Typed);
        Click(W->btnAddNewKeyw);
    }
};

// ---- the keyword editor ----

TEST_F(StationPages, KeywordEditorChecksATypedKeywordInOrder) {
    Make({Niton, Corsen});
    ClickRow(W->lbAllStations, 0);
    EXPECT_EQ(W->lblCurrentStation->text().toStdString(), "518 1A GBR12 NITON,G");
    EXPECT_EQ(Keywords(), (TLines{"NEWPORT", "PORTLAND"}));
    EXPECT_EQ(Counter(), "16 chars used, MAX = 300");

    struct TCase {
        QString Typed;
        std::string Message;  // empty: accepted
    };
    const TCase cases[] = {
        {"", "Blank keywords not allowed"},
        {"   ", "Blank keywords not allowed"},
        {"port", "keyword already present in list!"},  // typed in lower case, upper-cased; part of NEWPORT
        {"A,B", "comma not allowed in keywords!"},
        {"A,#", "comma not allowed in keywords!"},  // the comma's check comes first
        {"A#B", "'#' not allowed in keywords!"},
        {" east", ""},  // a leading blank is kept
    };
    TLines list = Keywords();
    for (const TCase& c : cases) {
        const std::size_t mark = Prompts.Log.size();
        Add(c.Typed);
        if (c.Message.empty()) {
            list.push_back(c.Typed.toUpper().toStdString());
            EXPECT_EQ(Shown(mark), TLines{}) << c.Typed.toStdString();
            EXPECT_TRUE(W->edtNewKeyWord->text().isEmpty());
        } else {
            EXPECT_EQ(Shown(mark), TLines{c.Message}) << c.Typed.toStdString();
        }
        EXPECT_EQ(Keywords(), list) << c.Typed.toStdString();
    }
    EXPECT_EQ(Counter(), "22 chars used, MAX = 300");
    tilo_test::SaveGrab(W->tsStations->grab().toImage(), "stations_keyword_editor");
    // Nothing reaches the table before CONFIRM.
    EXPECT_EQ(Field("GBR12", "IDTEXT"), "NEWPORT,PORTLAND");
}

TEST_F(StationPages, AListOf300JoinedCharactersTakesNoMore) {
    Make({Niton});
    ClickRow(W->lbAllStations, 0);  // 16 characters
    W->edtNewKeyWord->setText(QString(284, 'K'));  // 16 + 1 + 284 = 301
    Click(W->btnAddNewKeyw);
    EXPECT_EQ(Shown(), TLines{"Cannot Add, MAX list length = 300!"});
    EXPECT_EQ(Keywords().size(), 2u);
    W->edtNewKeyWord->setText(QString(283, 'K'));
    Click(W->btnAddNewKeyw);
    EXPECT_EQ(Shown().size(), 1u);
    EXPECT_EQ(Counter(), "300 chars used, MAX = 300");
    W->edtNewKeyWord->setText("Z");
    Click(W->btnAddNewKeyw);
    EXPECT_EQ(Shown(), (TLines{"Cannot Add, MAX list length = 300!", "Cannot Add, MAX list length = 300!"}));
    EXPECT_EQ(Keywords().size(), 3u);
    EXPECT_EQ(Counter(), "300 chars used, MAX = 300");
    Click(W->sbConfirmKW);
    EXPECT_EQ(Field("GBR12", "IDTEXT"), "NEWPORT,PORTLAND," + std::string(283, 'K'));
}

TEST_F(StationPages, DoubleClickDeletesAKeywordOnlyAfterOK) {
    Make({Niton});
    ClickRow(W->lbAllStations, 0);
    Prompts.Answers = {mrCancel};
    DoubleClickRow(W->lbKeyWords, 0);
    ASSERT_EQ(Prompts.Log.size(), 1u);
    EXPECT_EQ(Prompts.Log[0].Kind, "MessageDlg");
    EXPECT_EQ(Prompts.Log[0].Text, "Delete \"NEWPORT\" ?");
    EXPECT_EQ(Prompts.Log[0].Buttons, mbOK | mbCancel);
    EXPECT_EQ(Keywords(), (TLines{"NEWPORT", "PORTLAND"}));

    Prompts.Answers = {mrOk};
    DoubleClickRow(W->lbKeyWords, 0);
    EXPECT_EQ(Keywords(), TLines{"PORTLAND"});
    EXPECT_EQ(Counter(), "8 chars used, MAX = 300");
    EXPECT_EQ(Field("GBR12", "IDTEXT"), "NEWPORT,PORTLAND");
    Click(W->sbConfirmKW);
    EXPECT_EQ(Field("GBR12", "IDTEXT"), "PORTLAND");
}

TEST_F(StationPages, TheTypeSwitchReloadsAndConfirmStoresTheListOfThatType) {
    Make({Niton, Corsen});
    ClickRow(W->lbAllStations, 1);
    EXPECT_EQ(Keywords(), (TLines{"A", "B"}));
    ClickItem(W->rgKeyWords, 1);
    EXPECT_EQ(Keywords(), TLines{"CROSS CORSEN"});
    Add("le conquet");
    Click(W->sbConfirmKW);
    EXPECT_EQ(Field("FRA8", "UNIQUEID"), "CROSS CORSEN,LE CONQUET");
    EXPECT_EQ(Field("FRA8", "IDTEXT"), "A,B");
    EXPECT_EQ(Field("GBR12", "UNIQUEID"), "NITON RADIO");

    // The arrow keys choose a station as a click does.
    W->lbAllStations->setFocus();
    QTest::keyClick(W->lbAllStations, Qt::Key_Up);
    EXPECT_EQ(W->lblCurrentStation->text().toStdString(), "518 1A GBR12 NITON,G");
    EXPECT_EQ(Keywords(), TLines{"NITON RADIO"});

    // Read back from the file after the table is reopened.
    Module->StationTable->Close();
    Module->StationTable->Open();
    ClickRow(W->lbAllStations, 1);
    EXPECT_EQ(Keywords(), (TLines{"CROSS CORSEN", "LE CONQUET"}));
    ClickItem(W->rgKeyWords, 0);
    EXPECT_EQ(Keywords(), (TLines{"A", "B"}));
}

TEST_F(StationPages, ConfirmWithoutAChosenStationWritesNothing) {
    Make({Niton});
    W->lbKeyWords->addItem("STRAY");
    ClickItem(W->rgKeyWords, 1);  // no station chosen: the list is only emptied
    EXPECT_EQ(Keywords(), TLines{});
    Click(W->sbConfirmKW);
    EXPECT_EQ(Shown(), TLines{"No station selected."});
    EXPECT_EQ(Field("GBR12", "IDTEXT"), "NEWPORT,PORTLAND");
    EXPECT_EQ(Field("GBR12", "UNIQUEID"), "NITON RADIO");
}

// ---- the station file ----

TEST_F(StationPages, ExportWritesEveryStationInTheFilesLayout) {
    Make({Corsen, Niton});  // the table's own order is NAVAREA, LOCATION
    classlib::TDataSet& t = *Module->StationTable;
    t.SetFilterText("NAVAREA = '2'");
    t.SetFiltered(true);
    bool inBulkWork = true;
    OnProcess = [&] { inBulkWork = inBulkWork && Module->BulkWorkRunning(); };
    Served = 0;
    Click(W->btnExport);
    EXPECT_EQ(ReadFile(StationFile()), GoldenFile);
    EXPECT_EQ(Shown(), TLines{"station data succesfully exported to: \r" + StationFile()});
    EXPECT_GE(Served, 2);  // after each station
    EXPECT_TRUE(inBulkWork);
    EXPECT_FALSE(Module->BulkWorkRunning());
    EXPECT_FALSE(t.Filtered());
}

TEST_F(StationPages, ExportThenImportIntoAnEmptiedTableGivesEveryFieldBack) {
    Make({Niton, Corsen, Sydney});
    const std::vector<TStationTexts> before = StationTexts();
    Click(W->btnExport);
    // Into an empty station table: the database made anew, the file kept.
    W.reset();
    Module.reset();
    ASSERT_EQ(::unlink((Folder + "/TILO_DB.ORQ").c_str()), 0);
    Make({});
    ASSERT_EQ(Module->StationTable->RecordCount(), 0);
    const std::size_t mark = Prompts.Log.size();
    Click(W->btnImport);  // "do NOT import Keyword List" stays checked: new stations take theirs
    EXPECT_TRUE(W->cbNoKeyWords->isChecked());
    EXPECT_EQ(StationTexts(), before);
    EXPECT_EQ(Shown(mark), TLines{"station data succesfully imported from: \r" + StationFile()});
    ASSERT_EQ(W->lbAllStations->count(), 3);
    EXPECT_EQ(W->lbAllStations->item(0)->text().toStdString(), "518 1A GBR12 NITON,G");
    // The schedule grid is rebuilt from the imported stations (518 kHz shown).
    bool scheduled = false;
    for (int r = 1; r < W->sgSched->RowCount(); ++r)
        for (int c = 0; c < W->sgSched->ColCount(); ++c)
            scheduled = scheduled || W->sgSched->Cells(c, r) == "1A NITON,G";
    EXPECT_TRUE(scheduled);
}

TEST_F(StationPages, ImportRefusesAnotherVersionAndAMissingFileChangingNothing) {
    Make({Niton});
    const auto before = StationTexts();
    WriteFile(StationFile(), "VERSION4\r\n3#518#C#XYZ#SOMEWHERE#X#COUNTRY#1#2#########\r\n");
    Click(W->btnImport);
    EXPECT_EQ(Shown(), TLines{"Import file not compatible with this version of Tilo!\r"
                              " You must upgrade to version 5.6 or higher."});
    EXPECT_EQ(StationTexts(), before);
    ::unlink(StationFile().c_str());
    Click(W->btnImport);
    EXPECT_EQ(Shown(1), TLines{"error while opening file\rSystem reports: No such file or directory"});
    EXPECT_EQ(StationTexts(), before);
    EXPECT_FALSE(Module->BulkWorkRunning());
}

TEST_F(StationPages, AnExistingStationTakesItsKeywordsOnlyWhenAskedANewOneAlways) {
    Make({Niton});
    WriteFile(StationFile(),
              "VERSION5\r\n"
              "1#518#A#GBR12#NITON POINT#G#UK#50.6#-1.3#00:50######NEW1#NEW2#\r\n"
              "4#518#D#NEWST#LOC#CC#COUNTRY#1#2#######KW1#KW2#\r\n"
              "3#518#C#XYZ#\r\n"  // short: the rest stays empty
              "\r\n");            // a blank line adds nothing
    struct TCase {
        bool NoKeywords;
        const char *IdText, *UniqueId;
    };
    for (const TCase& c : {TCase{true, "NEWPORT,PORTLAND", "NITON RADIO"}, TCase{false, "NEW1", "NEW2"}}) {
        W->cbNoKeyWords->setChecked(c.NoKeywords);
        Click(W->btnImport);
        EXPECT_EQ(Module->StationTable->RecordCount(), 3) << c.NoKeywords;  // found again, not added twice
        EXPECT_EQ(Field("GBR12", "LOCATION"), "NITON POINT");
        EXPECT_EQ(Field("GBR12", "LAT"), "50.6");
        EXPECT_EQ(Field("GBR12", "T1"), "00:50");
        EXPECT_EQ(Field("GBR12", "T2"), "");
        EXPECT_EQ(Field("GBR12", "IDTEXT"), c.IdText) << c.NoKeywords;
        EXPECT_EQ(Field("GBR12", "UNIQUEID"), c.UniqueId) << c.NoKeywords;
        EXPECT_EQ(Field("NEWST", "IDTEXT"), "KW1");
        EXPECT_EQ(Field("NEWST", "UNIQUEID"), "KW2");
        for (const char* f : {"LOCATION", "COUNTRY", "LAT", "LON", "T1", "IDTEXT", "UNIQUEID"})
            EXPECT_EQ(Field("XYZ", f), "") << f;
    }
    EXPECT_EQ(W->lbAllStations->count(), 3);
}

TEST_F(StationPages, AFailingStationEndsTheImportKeepingTheStationsBeforeIt) {
    Make({Niton});
    WriteFile(StationFile(),
              "VERSION5\r\n"
              "3#518#C#ONE#FIRST#X#COUNTRY#10#20#########\r\n"
              "3#518#D#TWO#SECOND#X#COUNTRY#11#21#########\r\n"
              "3#518#F#BAD#THIRD#X#COUNTRY#abc#22#########\r\n"
              "3#518#G#FOUR#FOURTH#X#COUNTRY#12#23#########\r\n");
    Click(W->btnImport);
    classlib::TDataSet& t = *Module->StationTable;
    EXPECT_EQ(t.State(), classlib::dsBrowse);
    EXPECT_EQ(t.RecordCount(), 3);
    EXPECT_EQ(Field("TWO", "LOCATION"), "SECOND");
    EXPECT_EQ(Field("BAD", "LOCATION"), "<none>");
    EXPECT_EQ(Field("FOUR", "LOCATION"), "<none>");
    EXPECT_EQ(Shown(), TLines{});  // no success text
    EXPECT_TRUE(SysLogHas("EXCEPTION trapped")) << ::testing::PrintToString(SysLogLines());
    EXPECT_TRUE(SysLogHas("'abc'"));
    EXPECT_EQ(W->lbAllStations->count(), 3);  // refilled with what was imported
    EXPECT_FALSE(Module->BulkWorkRunning());
    // The next post of the table is its own: nothing half-filled waited for it.
    AddStation({"5", "518", "H", "LATER", "LATER", "X", "C", "1", "1", "", "", "", "", "", "", "", ""});
    EXPECT_EQ(t.RecordCount(), 4);
    EXPECT_EQ(Field("BAD", "LOCATION"), "<none>");
}

TEST_F(StationPages, AnExportThatCannotBeWrittenKeepsThePreviousFile) {
    Make({Niton});
    Click(W->btnExport);
    const std::string previous = ReadFile(StationFile());
    ASSERT_FALSE(previous.empty());
    classlib::TDataSet& t = *Module->StationTable;
    t.First();
    t.Edit();
    t.FieldByName("LOCATION")->SetAsString("NI#TON");
    t.Post();
    Click(W->btnExport);
    EXPECT_EQ(Shown(1), TLines{"error while saving export file\rSystem reports: station 518 1A GBR12 NI#TON,G: "
                               "field LOCATION holds '#'"});
    EXPECT_EQ(ReadFile(StationFile()), previous);
    t.Edit();
    t.FieldByName("LOCATION")->SetAsString("NITON");
    t.Post();

    ::setenv("TILO_HOME", (Folder + "/gone").c_str(), 1);
    Click(W->btnExport);
    EXPECT_EQ(Shown(2), TLines{"error while saving export file\rSystem reports: No such file or directory"});
}

// ---- the ephemeris ----

class EphemerisPage : public StationPages {
protected:
    QScatterSeries* Series(int I) { return qobject_cast<QScatterSeries*>(W->Chart1->chart()->series().at(I)); }
    std::vector<QPointF> Points(int I) {
        const auto p = Series(I)->points();
        return {p.begin(), p.end()};
    }
    bool HasPointAt(int I, double T) {
        for (const QPointF& p : Points(I))
            if (std::fabs(p.x() - T) < 1e-9) return true;
        return false;
    }
    // A double-click on the row of station Row (in the table's order), scrolled into view.
    void DoubleClickStation(int Row) {
        ShowPageOf(W->DBStationGridView);
        classlib::TDataSet& t = *Module->StationTable;
        t.First();
        t.MoveBy(Row);
        QCoreApplication::processEvents();
        QWidget* vp = W->DBStationGridView->viewport();
        const QPoint at = W->DBStationGridView->visualRect(W->DBStationGridView->currentIndex()).center();
        QTest::mouseDClick(vp, Qt::LeftButton, {}, at);
        ASSERT_EQ(t.RecNo(), Row + 1);
    }
    void SetDate(int Y, int M, int D) { W->DtpEphem->setDate(QDate(Y, M, D)); }
    // Daylight points a series should hold: the tenths of an hour that lie within the
    // day length after sunrise (UTC, read cyclically), from the sun-time routine.
    static int ExpectedDaylight(double Lat, double Lon, classlib::TDateTime Date) {
        double rise = 0, set = 0, length = 0;
        SunRiseSet(true, rise, set, Date, Lat, length);
        const double riseH = std::fmod(std::fmod(rise * 24 - Lon / 15, 24) + 24, 24);
        int n = 0;
        for (int k = 0; k < 240; ++k) n += std::fmod(k / 10.0 - riseH + 48, 24) <= length;
        return n;
    }
};

// A station without a call sign is named by its location alone.
TEST_F(EphemerisPage, AStationWithoutACallSignIsNamedByItsLocation) {
    const TStationTexts svalbard = {"19", "518", "A", "", "SVALBARD", "NORWAY", "NO", "78.06", "13.63",
                                    "", "", "", "", "", "", "", ""};
    Make({svalbard});
    SetDate(2024, 6, 21);
    DoubleClickStation(0);
    const std::string title = W->Chart1->chart()->title().toStdString();
    EXPECT_EQ(title.rfind("Ephemeris comparison for SVALBARD (", 0), 0u) << title;
    EXPECT_EQ(title.substr(title.size() - 18), " Km) on 2024-06-21") << title;
}

TEST_F(EphemerisPage, ADoubleClickedStationShowsTitlePositionTransmissionsAndNow) {
    const TStationTexts home = {"21", "518", "H", "HOME", "HOME", "X", "X", "51", "2", "", "", "", "", "", "", "", ""};
    Make({Niton, Corsen, Sydney, home});
    SetDate(2024, 6, 21);
    DoubleClickStation(1);
    EXPECT_EQ(W->edtLat->text().toStdString(), "48.41");
    EXPECT_EQ(W->edtLon->text().toStdString(), "-4.79");
    EXPECT_EQ(W->Chart1->chart()->title().toStdString(),
              "Ephemeris comparison for FRA8, CORSEN (567 Km) on 2024-06-21");
    const double t = 1 + 20 / 60.0;
    const std::vector<QPointF> corsen = {{t, 1}, {t + 0.15, 1}, {t, -1}, {t + 0.15, -1}};
    ASSERT_EQ(Points(2).size(), 4u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_NEAR(Points(2)[i].x(), corsen[i].x(), 1e-9);
        EXPECT_EQ(Points(2)[i].y(), corsen[i].y());
    }
    EXPECT_EQ(Points(3), (std::vector<QPointF>{{13.5, 1}, {13.5, -1}}));  // the set clock, 13:30 UTC

    // One notch of the wheel moves the grid to the next station; its times "bad",
    // "24:00" and empty are skipped, "7:5" reads as 07:05.
    W->DBStationGridView->setFocus();
    QWidget* vp = W->DBStationGridView->viewport();
    QWheelEvent wheel(QPointF(20, 20), vp->mapToGlobal(QPointF(20, 20)), {}, QPoint(0, -120), Qt::NoButton, {},
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(vp, &wheel);
    EXPECT_EQ(Module->StationTable->FieldByName("CALLSIGN")->AsString(), "VIX");
    QTest::mouseDClick(vp, Qt::LeftButton, {},
                       W->DBStationGridView->visualRect(W->DBStationGridView->currentIndex()).center());
    EXPECT_EQ(W->Chart1->chart()->title().toStdString(),
              "Ephemeris comparison for VIX, SYDNEY (16905 Km) on 2024-06-21");
    ASSERT_EQ(Points(2).size(), 12u);
    EXPECT_NEAR(Points(2)[0].x(), 9.25, 1e-9);
    EXPECT_NEAR(Points(2)[4].x(), 7 + 5 / 60.0, 1e-9);
    EXPECT_NEAR(Points(2)[8].x(), 23 + 55 / 60.0, 1e-9);
    QCoreApplication::processEvents();
    tilo_test::SaveGrab(W->Chart1->grab().toImage(), "ephemeris_sydney");

    DoubleClickStation(3);  // no transmission times
    EXPECT_TRUE(Points(2).empty());
}

TEST_F(EphemerisPage, DaylightAtReceiverAndStationFollowsTheirLongitudesAndLatitudes) {
    const TStationTexts east = {"11", "518", "Y", "EAST", "EAST", "X", "X", "51", "150", "", "", "", "", "", "", "", ""};
    const TStationTexts north = {"19", "518", "Z", "NORTH", "NORTH", "X", "X", "80", "1", "", "", "", "", "", "", "", ""};
    Make({east, north});
    const classlib::TDateTime june = classlib::EncodeDate(2024, 6, 21), december = classlib::EncodeDate(2024, 12, 21);
    SetDate(2024, 6, 21);
    DoubleClickStation(0);  // 51 N 150 E: its day wraps over 00:00 UTC
    EXPECT_EQ(int(Points(0).size()), ExpectedDaylight(51, 2, june));
    EXPECT_EQ(int(Points(1).size()), ExpectedDaylight(51, 150, june));
    EXPECT_TRUE(HasPointAt(0, 12.0) && !HasPointAt(0, 0.0));  // the receiver's noon near 11:52 UTC
    EXPECT_TRUE(HasPointAt(1, 2.0) && !HasPointAt(1, 14.0));   // the station's near 02:00 UTC
    EXPECT_TRUE(HasPointAt(1, 0.0) && HasPointAt(1, 23.9));
    for (const QPointF& p : Points(0)) EXPECT_EQ(p.y(), 1);
    for (const QPointF& p : Points(1)) EXPECT_EQ(p.y(), -1);

    DoubleClickStation(1);  // 80 N in June: the sun never sets
    EXPECT_EQ(W->Chart1->chart()->title().toStdString().rfind("Ephemeris comparison for NORTH, NORTH (", 0), 0u);
    EXPECT_EQ(Points(1).size(), 240u);
    EXPECT_FALSE(W->edtNoSunDX->isVisible());
    QCoreApplication::processEvents();
    const QImage summer = W->Chart1->grab().toImage();

    SetDate(2024, 12, 21);  // the date change redraws: no sun at 80 N
    EXPECT_TRUE(W->edtNoSunDX->isVisible());
    EXPECT_TRUE(Points(1).empty());
    EXPECT_FALSE(W->edtNoSunLoc->isVisible());
    EXPECT_EQ(int(Points(0).size()), ExpectedDaylight(51, 2, december));
    EXPECT_LT(Points(0).size(), 100u);
    EXPECT_NE(W->Chart1->chart()->title().toStdString().find("on 2024-12-21"), std::string::npos);
    tilo_test::SaveGrab(summer, "ephemeris_north_june");
    QCoreApplication::processEvents();
    tilo_test::SaveGrab(W->Chart1->grab().toImage(), "ephemeris_north_december");

    RxLat = 80;  // the receiver's own notice
    DoubleClickStation(0);
    EXPECT_TRUE(W->edtNoSunLoc->isVisible());
    EXPECT_TRUE(Points(0).empty());
    EXPECT_FALSE(W->edtNoSunDX->isVisible());
}

}  // namespace
