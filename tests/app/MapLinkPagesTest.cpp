// The map group of the real window over the real data module and log: CONNECT, clear,
// the day's report and shutdown against a recording map link, their call logs compared
// with logs written by hand from the link's table of calls; a failure at every call of
// CONNECT and of a report; and the same report drawn by the map window offscreen.
#include "StationPagesKit.h"

#include <QDateTimeEdit>
#include <QGroupBox>
#include <QImage>
#include <QPushButton>

#include <cmath>

#include "app/MapWindow.h"
#include "app/components/Led.h"
#include "platform/MapLinkRecorder.h"

namespace {

using namespace tilo;
using tilo_test::StationPagesFixture;
using tilo_test::TStationTexts;
using TLog = std::vector<std::string>;

const TStationTexts Niton = {"1", "518", "A", "GBR12", "NITON", "G", "UK", "50.5", "-1.25",
                             "", "", "", "", "", "", "", ""};
const TStationTexts Corsen = {"2", "490", "E", "FRA8", "CORSEN", "F", "FRANCE", "48.5", "-5",
                              "", "", "", "", "", "", "", ""};
const TStationTexts Equator = {"7", "518", "Q", "ZERO", "ON THE EQUATOR", "X", "X", "0", "10",
                               "", "", "", "", "", "", "", ""};

struct TLogRecord {
    classlib::TDateTime Utc;
    const char* Station;
};

classlib::TDateTime At(int D, int H, int M = 0) {
    return classlib::EncodeDate(2024, 6, uint16_t(D)) + classlib::EncodeTime(uint16_t(H), uint16_t(M), 0, 0);
}

// 2024-06-21: NITON twice, CORSEN once and an unidentified message; the days around it
// hold other stations; 06-23 only unidentified messages, 06-24 only the station at 0 N.
const std::vector<TLogRecord> DayLog = {
    {At(20, 23, 59), "FRA8 CORSEN,F"}, {At(21, 3), "GBR12 NITON,G"},   {At(21, 5), "UNID"},
    {At(21, 7), "FRA8 CORSEN,F"},      {At(21, 9), "GBR12 NITON,G"},   {At(22, 0, 1), "FRA8 CORSEN,F"},
    {At(23, 4), "UNID"},               {At(23, 6), "UNID"},            {At(24, 4), "ZERO ON THE EQUATOR,X"},
};

// The calls of the link's table, as the recorder writes them.
TLog Map(const std::string& Call) { return {"IAtlas.AtlasGetMap()", "IDxMap." + Call}; }
TLog Cat(std::initializer_list<TLog> Parts) {
    TLog all;
    for (const TLog& p : Parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}
std::string Num(double V) {
    char b[32];
    std::snprintf(b, sizeof b, "%g", V);
    return b;
}
TLog Path(double FromLat, double FromLon, double ToLat, double ToLon) {
    return Cat({Map("MapGetLayers()"),
                {"IDxMapLayers.LayersGetItem(2)", "IDxMapLayer[2].LayerCall09($FF0000)",
                 "IDxMapLayer[2].LayerSetData([[[" + Num(FromLon) + ", " + Num(FromLat) + "], [" + Num(ToLon) + ", " +
                     Num(ToLat) + "]]])"}});
}
TLog Point(const std::string& Label, const char* Mark, double Lat, double Lon, const char* LabelColour, int Size) {
    return Cat({Map("MapGetLayers()"),
                {"IDxMapLayers.LayersGetItem(4)", "IDxMapLayer[4].LayerCall15(0)",
                 std::string("IDxMapLayer[4].LayerCall11(") + Mark + ")", "IDxMapLayer[4].LayerGetFont()",
                 "IFont[4].put_Name(u\"Small fonts\")", "IFont[4].put_Size(" + std::to_string(Size * 10000) + ")",
                 std::string("IDxMapLayer[4].LayerCall09(") + LabelColour + ")",
                 "IDxMapLayer[4].LayerSetData([[" + Num(Lon) + ", " + Num(Lat) + ", \"" + Label + "\"]])"}});
}
TLog Connect(const char* Lat, const char* Lon) {
    return Cat({{"IAtlas.AtlasCall16(-1)", "IAtlas.AtlasCall08(1)", "IAtlas.AtlasCall10(1)"}, Map("MapCall14(0)"),
                Map("MapCall26(0)"), Map("MapCall28(0)"), Map("MapCall30(0)"), Map(std::string("MapCall22(") + Lat + ")"),
                Map(std::string("MapCall24(") + Lon + ")"), {"IAtlas.AtlasCall19(-1)"}, Map("MapCall32(-1)")});
}
const TLog ClearLog = Cat({Map("MapCall11()"), Map("MapCall41(0)"), Map("MapGetLayers()"),
                           {"IDxMapLayers.LayersCall10()"}, Map("MapCall12()")});
TLog Title(const char* Day) { return Cat({Point(Day, "$000000", 80, 1, "$FFFF00", 12), Map("MapCall12()")}); }

// A station entry: its path and its yellow point with the station text.
TLog Station(const std::string& Text, double Lat, double Lon, double RxLat, double RxLon) {
    return Cat({Path(RxLat, RxLon, Lat, Lon), Point(Text, "$00FFFF", Lat, Lon, "$000000", 7)});
}

const TLog DayReportLog = Cat({ClearLog, Map("MapCall11()"), {"IAtlas.AtlasCall17()"},
                               Path(51, 2, 51, 2), Station("GBR12 NITON,G", 50.5, -1.25, 51, 2),
                               Path(51, 2, 51, 2), Station("FRA8 CORSEN,F", 48.5, -5, 51, 2), Title("2024-06-21")});

// "IDxMapLayer[2].LayerSetData(...)" -> "IDxMapLayer.LayerSetData failed: status 0x80004005".
std::string FailureText(const std::string& Line) {
    std::string iface = Line.substr(0, Line.find('.'));
    if (const auto b = iface.find('['); b != std::string::npos) iface.erase(b);
    const std::string call = Line.substr(Line.find('.') + 1, Line.find('(') - Line.find('.') - 1);
    return iface + "." + call + " failed: status 0x80004005";
}

class MapLinkPages : public StationPagesFixture {
protected:
    void SetUp() override {
        StationPagesFixture::SetUp();
        // Each CONNECT makes a new recorder, failing at FailNext when that is set.
        FPrevious = CoAtlas::Install([this](std::shared_ptr<IAtlas>& Atlas) {
            auto r = std::make_shared<TRecordingMapLink>();
            if (FailNext > 0) r->FailAt(FailNext);
            Made = r;
            Atlas = r;
            return MapOk;
        });
    }
    void TearDown() override {
        StationPagesFixture::TearDown();
        CoAtlas::Install(std::move(FPrevious));
    }
    void MakeWithLog(const std::vector<TStationTexts>& Stations, const std::vector<TLogRecord>& Records) {
        Make(Stations);
        classlib::TDataSet& log = *Module->LogTable;
        log.Close();
        orq::TORQTable t(nullptr);
        t.SetDatabaseName("NAVTEX");
        t.SetTableName("NAVTEXLOG");
        t.Open();
        for (const TLogRecord& r : Records) {
            t.Append();
            t.FieldByName("UTCRECEIVED")->SetAsDateTime(r.Utc);
            t.FieldByName("FREQ")->SetAsInteger(518);
            t.FieldByName("IDLETTER")->SetAsString("A");
            t.FieldByName("MSGTYPE")->SetAsString("A");
            t.FieldByName("MSGNUMBER")->SetAsString("01");
            t.FieldByName("NAVAREA")->SetAsInteger(0);
            t.FieldByName("STATION")->SetAsString(r.Station);
            t.FieldByName("MSGTEXT")->SetAsString(std::string("MESSAGE OF ") + r.Station);
            t.Post();
        }
        t.Close();
        log.Open();
        log.Last();
    }
    std::shared_ptr<TRecordingMapLink> Recorder() const { return Made.lock(); }
    void ConnectMap() {
        ShowPageOf(W->btnMapConnect);
        Click(W->btnMapConnect);
        ASSERT_NE(Recorder(), nullptr);
        Recorder()->ClearCalls();
    }
    void Report(int Y, int M, int D) {
        W->dtpAtlas->setDate(QDate(Y, M, D));
        Click(W->btnMapReport);
    }
    // The log after a report: unfiltered, no record filter, on its last record.
    void ExpectLogReleased() {
        classlib::TDataSet& log = *Module->LogTable;
        EXPECT_FALSE(log.Filtered());
        EXPECT_EQ(log.RecNo(), log.RecordCount());
        EXPECT_EQ(log.RecordCount(), int(DayLog.size()));
        EXPECT_FALSE(Module->BulkWorkRunning());
    }

    int32_t FailNext = 0;
    std::weak_ptr<TRecordingMapLink> Made;

private:
    CoAtlas::TFactory FPrevious;
};

TEST_F(MapLinkPages, ConnectSetsUpTheMapForTheReceiverAndShowsTheGroup) {
    MakeWithLog({Niton}, {});
    RxLat = 51.25;
    RxLon = -2.5;
    EXPECT_FALSE(W->gbAtlas->isVisible());
    Click(W->btnMapConnect);
    ASSERT_NE(Recorder(), nullptr);
    EXPECT_EQ(Recorder()->Calls(), Connect("51.25", "-2.5"));
    EXPECT_EQ(W->FAtlas.get(), Recorder().get());
    EXPECT_TRUE(W->gbAtlas->isVisible());
    EXPECT_EQ(W->btnMapConnect->text().toStdString(), "CONNECT");

    Recorder()->ClearCalls();
    Click(W->btnMapClear);
    EXPECT_EQ(Recorder()->Calls(), ClearLog);

    // Shutdown sends MapCall41 (false) and drops the reference.
    std::shared_ptr<TRecordingMapLink> held = Recorder();
    held->ClearCalls();
    EXPECT_TRUE(W->FormCloseQuery(false));
    EXPECT_EQ(held->Calls(), Map("MapCall41(0)"));
    EXPECT_EQ(W->FAtlas, nullptr);
    held.reset();
    EXPECT_EQ(Made.lock(), nullptr);  // the window held the last reference
}

TEST_F(MapLinkPages, AMapFailingAtShutdownDoesNotStopTheRestOfIt) {
    MakeWithLog({Niton}, {});
    ConnectMap();
    Recorder()->FailAt(2);  // MapCall41
    EXPECT_TRUE(W->FormCloseQuery(false));
    EXPECT_EQ(W->FAtlas, nullptr);
    EXPECT_TRUE(SysLogHas("IDxMap.MapCall41 failed: status 0x80004005"));
    // The settings are still written back, after the map's release.
    EXPECT_NE(ReadFile(Folder + "/Tilo.ini").find("SAMPRATE"), std::string::npos) << ReadFile(Folder + "/Tilo.ini");
}

TEST_F(MapLinkPages, ADaysReportDrawsEachStationHeardOnceWithItsPathAndTheTitle) {
    MakeWithLog({Niton, Corsen}, DayLog);
    ConnectMap();
    // A text search left installed must not narrow the report.
    W->edtSrchtext->setText("CORSEN");
    W->sbTextSearchClick();
    bool inBulkWork = true;
    OnProcess = [&] { inBulkWork = inBulkWork && Module->BulkWorkRunning(); };
    Served = 0;
    Report(2024, 6, 21);
    EXPECT_EQ(Recorder()->Calls(), DayReportLog);
    EXPECT_EQ(Shown(), TLog{});
    EXPECT_GE(Served, 4 + 4);  // after each record and before each entry
    EXPECT_TRUE(inBulkWork);
    ExpectLogReleased();
    EXPECT_FALSE(W->ledFilter->Flash());
    EXPECT_FALSE(SysLogHas("EXCEPTION"));
}

TEST_F(MapLinkPages, DaysWithoutADrawableStationAndAReceiverAtZero) {
    MakeWithLog({Niton, Corsen, Equator}, DayLog);
    const TLog nothing = Cat({ClearLog, Map("MapCall11()"), Title("2024-06-23")});
    struct TCase {
        int Day;
        double RxLat, RxLon;
        TLog Calls;
        bool NoData;
    };
    const TCase cases[] = {
        {23, 51, 2, nothing, true},  // only unidentified messages
        {24, 51, 2, Cat({ClearLog, Map("MapCall11()"), Title("2024-06-24")}), true},  // a station at 0 N
        // The receiver at 0/0: its own entries draw no path.
        {21, 0, 0,
         Cat({ClearLog, Map("MapCall11()"), {"IAtlas.AtlasCall17()"}, Station("GBR12 NITON,G", 50.5, -1.25, 0, 0),
              Station("FRA8 CORSEN,F", 48.5, -5, 0, 0), Title("2024-06-21")}),
         false},
    };
    for (const TCase& c : cases) {
        RxLat = c.RxLat;
        RxLon = c.RxLon;
        ConnectMap();
        const std::size_t mark = Prompts.Log.size();
        Report(2024, 6, c.Day);
        EXPECT_EQ(Recorder()->Calls(), c.Calls) << c.Day;
        EXPECT_EQ(Shown(mark), c.NoData ? TLog{"insufficient data, choose another date"} : TLog{}) << c.Day;
        ExpectLogReleased();
    }
}

TEST_F(MapLinkPages, WithoutAConnectionNothingIsSentOrRaised) {
    MakeWithLog({Niton}, DayLog);
    EXPECT_EQ(W->FAtlas, nullptr);
    W->btnMapClearClick();
    W->dtpAtlas->setDate(QDate(2024, 6, 21));
    W->btnMapReportClick();
    W->ReleaseMapLink();
    EXPECT_EQ(Made.lock(), nullptr);  // no object was ever made
    EXPECT_EQ(Shown(), TLog{});
    EXPECT_FALSE(Module->LogTable->Filtered());
}

TEST_F(MapLinkPages, AConnectFailingAtAnyCallKeepsTheEarlierLinkAndGroup) {
    MakeWithLog({Niton}, {});
    const TLog calls = Connect("51", "2");
    for (bool earlier : {false, true}) {
        std::shared_ptr<TRecordingMapLink> first;
        if (earlier) {
            FailNext = 0;
            Click(W->btnMapConnect);
            first = Recorder();
        }
        for (std::size_t k = 1; k <= calls.size(); ++k) {
            FailNext = int32_t(k);
            Click(W->btnMapConnect);
            EXPECT_EQ(Recorder(), nullptr) << k;  // the failed object is gone
            EXPECT_EQ(W->FAtlas, first) << k;
            EXPECT_EQ(W->gbAtlas->isVisible(), earlier) << k;
            EXPECT_TRUE(SysLogHas(FailureText(calls[k - 1]))) << calls[k - 1];
        }
    }
    // The back end failing to make the object at all.
    const CoAtlas::TFactory mine = CoAtlas::Install([](std::shared_ptr<IAtlas>&) { return MapClassNotRegistered; });
    Click(W->btnMapConnect);
    CoAtlas::Install(mine);
    EXPECT_TRUE(SysLogHas("CoAtlas.Create failed: status 0x80040154"));
}

TEST_F(MapLinkPages, AReportFailingAtAnyCallStillClosesTheBracketAndReleasesTheLog) {
    MakeWithLog({Niton, Corsen}, DayLog);
    ConnectMap();
    const std::shared_ptr<TRecordingMapLink> r = Recorder();
    const auto exceptionLines = [&] {
        int n = 0;
        for (const std::string& l : SysLogLines()) n += l.find("EXCEPTION trapped") != std::string::npos;
        return n;
    };
    for (std::size_t k = 1; k <= DayReportLog.size(); ++k) {
        r->ClearCalls();
        r->FailAt(int32_t(k));
        const int before = exceptionLines();
        Report(2024, 6, 21);
        const TLog& calls = r->Calls();
        if (DayReportLog[k - 1].rfind("IFont", 0) == 0) {
            // The font settings are not checked: the report goes on.
            EXPECT_EQ(calls, DayReportLog) << k;
            EXPECT_EQ(exceptionLines(), before) << k;
            ExpectLogReleased();
            continue;
        }
        ASSERT_GE(calls.size(), k);
        EXPECT_EQ(TLog(calls.begin(), calls.begin() + std::ptrdiff_t(k)),
                  TLog(DayReportLog.begin(), DayReportLog.begin() + std::ptrdiff_t(k)));
        EXPECT_EQ(exceptionLines(), before + 1) << k;
        EXPECT_TRUE(SysLogHas(FailureText(DayReportLog[k - 1]))) << k << " " << DayReportLog[k - 1];
        // The bracket closes after the failure (unless the failing call was its close).
        if (k + 2 < DayReportLog.size()) {
            EXPECT_EQ(calls.back(), "IDxMap.MapCall12()") << k;
        }
        ExpectLogReleased();
    }
    EXPECT_EQ(W->FAtlas, r);
}

TEST_F(MapLinkPages, TheReportDrawnByTheMapWindow) {
    CoAtlas::TFactory recorder = CoAtlas::Install({});
    TMapWindow::Install();
    const TStationTexts sanFrancisco = {"12", "518", "C", "NMC", "SAN FRANCISCO", "USA", "USA", "37.9", "-122.7",
                                        "", "", "", "", "", "", "", ""};
    MakeWithLog({Niton, sanFrancisco}, {{At(21, 3), "GBR12 NITON,G"}, {At(21, 4), "NMC SAN FRANCISCO,USA"}});
    Click(W->btnMapConnect);
    ASSERT_NE(W->FAtlas, nullptr);
    TMapWindow* map = TMapWindow::WindowOf(W->FAtlas);
    ASSERT_NE(map, nullptr);
    EXPECT_TRUE(map->HasReceiver());
    map->resize(720, 360);
    Report(2024, 6, 21);
    EXPECT_TRUE(map->isVisible());
    EXPECT_FALSE(map->InBracket());
    EXPECT_EQ(map->Layers().at(2).Paths.size(), 4u);
    ASSERT_EQ(map->Layers().at(4).Points.size(), 3u);
    EXPECT_EQ(map->Layers().at(4).Points[2].Label.toStdString(), "2024-06-21");
    const QImage grab = map->grab().toImage();
    tilo_test::SaveGrab(grab, "map_link_day_report");
    // x = (lon + 180) / 360 x width, y = (90 - lat) / 180 x height.
    const auto pixel = [&](double Lat, double Lon) {
        return QPoint(int(std::lround((Lon + 180) / 360 * grab.width())),
                      int(std::lround((90 - Lat) / 180 * grab.height())));
    };
    const auto near = [&](QPoint At, int R, auto Test) {
        for (int y = At.y() - R; y <= At.y() + R; ++y)
            for (int x = At.x() - R; x <= At.x() + R; ++x)
                if (grab.rect().contains(x, y) && Test(grab.pixelColor(x, y))) return true;
        return false;
    };
    const auto yellow = [](QColor C) { return C.red() > 200 && C.green() > 200 && C.blue() < 90; };
    const auto blue = [](QColor C) { return C.blue() > 180 && C.red() < 90 && C.green() < 90; };
    const auto cyan = [](QColor C) { return C.red() < 90 && C.green() > 180 && C.blue() > 180; };
    EXPECT_TRUE(near(pixel(50.5, -1.25), 1, yellow));
    EXPECT_TRUE(near(pixel(37.9, -122.7), 1, yellow));
    // Half-way and a quarter of the way along the great circle from 51 N 2 E to SAN
    // FRANCISCO, far north of the straight line on the chart.
    EXPECT_TRUE(near(pixel(64.18, -72.48), 2, blue));
    EXPECT_TRUE(near(pixel(62.97, -27.37), 2, blue));
    EXPECT_FALSE(near(pixel((51 + 37.9) / 2, (2 - 122.7) / 2), 3, blue));
    EXPECT_TRUE(near(pixel(80, 1) + QPoint(20, 0), 20, cyan));
    W->FAtlas.reset();
    CoAtlas::Install(std::move(recorder));
}

}  // namespace
