// The map link's call sequences against a recording back end: the logs are written by
// hand from the link's table of calls and the order CONNECT, clear, the plots and the
// day's report make them; then a failure at every call of CONNECT and of a report.
#include "app/AtlasLink.h"
#include "platform/MapLinkRecorder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "classlib/DateUtils.h"

namespace {

using namespace tilo;
using TLog = std::vector<std::string>;

struct TInstalled {
    explicit TInstalled(CoAtlas::TFactory F) : Previous(CoAtlas::Install(std::move(F))) {}
    ~TInstalled() { CoAtlas::Install(std::move(Previous)); }
    CoAtlas::TFactory Previous;
};

struct TRecord {
    std::string Station;
    double Lat, Lon;
};

class TListSource : public TMapReportSource {
public:
    explicit TListSource(std::vector<TRecord> R) : FRecords(std::move(R)) {}
    bool NextRecord(std::string& Station, double& Lat, double& Lon) override {
        if (FAt >= FRecords.size()) return false;
        Station = FRecords[FAt].Station;
        Lat = FRecords[FAt].Lat;
        Lon = FRecords[FAt].Lon;
        ++FAt;
        return true;
    }

private:
    std::vector<TRecord> FRecords;
    std::size_t FAt = 0;
};

struct TReportRun {
    int Served = 0, Closings = 0;
    std::vector<std::string> Messages;
    TMapReportHooks Hooks() {
        return {[this] { ++Served; }, [this](const std::string& M) { Messages.push_back(M); }, [this] { ++Closings; }};
    }
};

const classlib::TDateTime Day = classlib::EncodeDate(2024, 6, 21);

const TLog ConnectLog = {
    "IAtlas.AtlasCall16(-1)",
    "IAtlas.AtlasCall08(1)",
    "IAtlas.AtlasCall10(1)",
    "IAtlas.AtlasGetMap()", "IDxMap.MapCall14(0)",
    "IAtlas.AtlasGetMap()", "IDxMap.MapCall26(0)",
    "IAtlas.AtlasGetMap()", "IDxMap.MapCall28(0)",
    "IAtlas.AtlasGetMap()", "IDxMap.MapCall30(0)",
    "IAtlas.AtlasGetMap()", "IDxMap.MapCall22(51.25)",
    "IAtlas.AtlasGetMap()", "IDxMap.MapCall24(-2.5)",
    "IAtlas.AtlasCall19(-1)",
    "IAtlas.AtlasGetMap()", "IDxMap.MapCall32(-1)",
};

const TLog ClearLog = {
    "IAtlas.AtlasGetMap()", "IDxMap.MapCall11()",
    "IAtlas.AtlasGetMap()", "IDxMap.MapCall41(0)",
    "IAtlas.AtlasGetMap()", "IDxMap.MapGetLayers()", "IDxMapLayers.LayersCall10()",
    "IAtlas.AtlasGetMap()", "IDxMap.MapCall12()",
};

// Receiver at 51 N 2 E; NITON (50.5 N 1.25 W) sent twice, CROSS CORSEN (48.5 N 5 W) once,
// and one unidentified message between them.
const std::vector<TRecord> DayRecords = {
    {"NITON", 50.5, -1.25}, {"", 0, 0}, {"CROSS CORSEN", 48.5, -5}, {"NITON", 50.5, -1.25}};

TLog Cat(std::initializer_list<TLog> Parts) {
    TLog all;
    for (const TLog& p : Parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

const TLog ReportLog = Cat({
    ClearLog,
    {"IAtlas.AtlasGetMap()", "IDxMap.MapCall11()",
     "IAtlas.AtlasCall17()",
     // entry 0: the receiver, a zero-length path
     "IAtlas.AtlasGetMap()", "IDxMap.MapGetLayers()", "IDxMapLayers.LayersGetItem(2)",
     "IDxMapLayer[2].LayerCall09($FF0000)", "IDxMapLayer[2].LayerSetData([[[2, 51], [2, 51]]])",
     // entry 1: NITON, path and point
     "IAtlas.AtlasGetMap()", "IDxMap.MapGetLayers()", "IDxMapLayers.LayersGetItem(2)",
     "IDxMapLayer[2].LayerCall09($FF0000)", "IDxMapLayer[2].LayerSetData([[[2, 51], [-1.25, 50.5]]])",
     "IAtlas.AtlasGetMap()", "IDxMap.MapGetLayers()", "IDxMapLayers.LayersGetItem(4)",
     "IDxMapLayer[4].LayerCall15(0)", "IDxMapLayer[4].LayerCall11($00FFFF)", "IDxMapLayer[4].LayerGetFont()",
     "IFont[4].put_Name(u\"Small fonts\")", "IFont[4].put_Size(70000)", "IDxMapLayer[4].LayerCall09($000000)",
     "IDxMapLayer[4].LayerSetData([[-1.25, 50.5, \"NITON\"]])",
     // entry 2: the receiver again
     "IAtlas.AtlasGetMap()", "IDxMap.MapGetLayers()", "IDxMapLayers.LayersGetItem(2)",
     "IDxMapLayer[2].LayerCall09($FF0000)", "IDxMapLayer[2].LayerSetData([[[2, 51], [2, 51]]])",
     // entry 3: CROSS CORSEN
     "IAtlas.AtlasGetMap()", "IDxMap.MapGetLayers()", "IDxMapLayers.LayersGetItem(2)",
     "IDxMapLayer[2].LayerCall09($FF0000)", "IDxMapLayer[2].LayerSetData([[[2, 51], [-5, 48.5]]])",
     "IAtlas.AtlasGetMap()", "IDxMap.MapGetLayers()", "IDxMapLayers.LayersGetItem(4)",
     "IDxMapLayer[4].LayerCall15(0)", "IDxMapLayer[4].LayerCall11($00FFFF)", "IDxMapLayer[4].LayerGetFont()",
     "IFont[4].put_Name(u\"Small fonts\")", "IFont[4].put_Size(70000)", "IDxMapLayer[4].LayerCall09($000000)",
     "IDxMapLayer[4].LayerSetData([[-5, 48.5, \"CROSS CORSEN\"]])"},
});

// The title and the bracket's close, which every report ends with.
const TLog TitleLog = {
    "IAtlas.AtlasGetMap()", "IDxMap.MapGetLayers()", "IDxMapLayers.LayersGetItem(4)",
    "IDxMapLayer[4].LayerCall15(0)", "IDxMapLayer[4].LayerCall11($000000)", "IDxMapLayer[4].LayerGetFont()",
    "IFont[4].put_Name(u\"Small fonts\")", "IFont[4].put_Size(120000)", "IDxMapLayer[4].LayerCall09($FFFF00)",
    "IDxMapLayer[4].LayerSetData([[1, 80, \"2024-06-21\"]])",
    "IAtlas.AtlasGetMap()", "IDxMap.MapCall12()",
};

// "IDxMapLayer[2].LayerSetData(...)" -> "IDxMapLayer.LayerSetData failed: status 0x80004005".
std::string FailureText(const std::string& Line) {
    std::string iface = Line.substr(0, Line.find('.'));
    if (const auto b = iface.find('['); b != std::string::npos) iface.erase(b);
    const std::string call = Line.substr(Line.find('.') + 1, Line.find('(') - Line.find('.') - 1);
    return iface + "." + call + " failed: status 0x80004005";
}

TEST(AtlasLink, ConnectSendsTheSetUpWithTheMapFetchedForEachCall) {
    std::weak_ptr<TRecordingMapLink> made;
    TInstalled rec{TRecordingMapLink::Factory(&made)};
    const std::shared_ptr<IAtlas> atlas = AtlasConnect(51.25, -2.5);
    ASSERT_EQ(atlas.get(), made.lock().get());
    EXPECT_EQ(made.lock()->Calls(), ConnectLog);
}

TEST(AtlasLink, ConnectFailingAtAnyCallRaisesItAndDropsTheNewObject) {
    for (int32_t k = 1; k <= int32_t(ConnectLog.size()); ++k) {
        SCOPED_TRACE(k);
        std::shared_ptr<TRecordingMapLink> held;
        TInstalled rec{[&](std::shared_ptr<IAtlas>& A) {
            held = std::make_shared<TRecordingMapLink>();
            held->FailAt(k);
            A = held;
            return MapOk;
        }};
        std::shared_ptr<IAtlas> FAtlas = std::make_shared<TRecordingMapLink>();  // an earlier link
        const IAtlas* earlier = FAtlas.get();
        try {
            FAtlas = AtlasConnect(51.25, -2.5);
            ADD_FAILURE() << "no exception";
        } catch (const EOleSysError& e) {
            EXPECT_EQ(e.what(), FailureText(ConnectLog[k - 1]));
        }
        EXPECT_EQ(FAtlas.get(), earlier);
        EXPECT_EQ(held->Calls(), TLog(ConnectLog.begin(), ConnectLog.begin() + k));
        EXPECT_EQ(held.use_count(), 1);  // nothing kept the new object
    }
}

TEST(AtlasLink, ClearEmptiesTheLayersInABracket) {
    TRecordingMapLink rec;
    AtlasClear(&rec);
    EXPECT_EQ(rec.Calls(), ClearLog);
}

TEST(AtlasLink, ReportDrawsEachStationOnceWithItsPathAndTheTitle) {
    TRecordingMapLink rec;
    TListSource source(DayRecords);
    TReportRun run;
    AtlasReport(&rec, Day, 51, 2, source, run.Hooks());
    EXPECT_EQ(rec.Calls(), Cat({ReportLog, TitleLog}));
    EXPECT_TRUE(run.Messages.empty());
    EXPECT_EQ(run.Closings, 1);
    EXPECT_EQ(run.Served, 4 + 4);  // after each record, before each entry
    // Positions and labels travel as doubles and 8-bit text.
    const classlib::Variant& path = rec.Data()[1].GetElement({0});
    EXPECT_EQ(path.GetElement({1}).GetElement({0}).VarType(), classlib::varDouble);
    EXPECT_EQ(rec.Data()[2].GetElement({0}).GetElement({2}).VarType(), classlib::varString);
}

TEST(AtlasLink, ReportEdgeDays) {
    const TLog head = Cat({ClearLog, {"IAtlas.AtlasGetMap()", "IDxMap.MapCall11()"}});
    struct TCase {
        const char* Name;
        double RxLat, RxLon;
        std::vector<TRecord> Records;
        TLog Middle;
        bool NoData;
    };
    const TLog nitonPoint = {
        "IAtlas.AtlasGetMap()", "IDxMap.MapGetLayers()", "IDxMapLayers.LayersGetItem(4)",
        "IDxMapLayer[4].LayerCall15(0)", "IDxMapLayer[4].LayerCall11($00FFFF)", "IDxMapLayer[4].LayerGetFont()",
        "IFont[4].put_Name(u\"Small fonts\")", "IFont[4].put_Size(70000)", "IDxMapLayer[4].LayerCall09($000000)",
        "IDxMapLayer[4].LayerSetData([[-1.25, 50.5, \"NITON\"]])"};
    const std::vector<TCase> cases = {
        {"unidentified messages only", 51, 2, {{"", 0, 0}, {"", 0, 0}}, {}, true},
        {"no records", 51, 2, {}, {}, true},
        {"station at latitude 0 and at longitude 0", 51, 2, {{"EQUATOR", 0, 10}, {"GREENWICH", 51.5, 0}}, {}, true},
        {"receiver at 0/0: no receiver paths", 0, 0, {{"NITON", 50.5, -1.25}},
         Cat({{"IAtlas.AtlasCall17()", "IAtlas.AtlasGetMap()", "IDxMap.MapGetLayers()", "IDxMapLayers.LayersGetItem(2)",
               "IDxMapLayer[2].LayerCall09($FF0000)", "IDxMapLayer[2].LayerSetData([[[0, 0], [-1.25, 50.5]]])"},
              nitonPoint}),
         false},
        // A name found inside one already drawn is taken for it.
        {"names compared as substrings", 51, 2, {{"NITON", 50.5, -1.25}, {"NITO", 10, 10}},
         Cat({{"IAtlas.AtlasCall17()",
               "IAtlas.AtlasGetMap()", "IDxMap.MapGetLayers()", "IDxMapLayers.LayersGetItem(2)",
               "IDxMapLayer[2].LayerCall09($FF0000)", "IDxMapLayer[2].LayerSetData([[[2, 51], [2, 51]]])",
               "IAtlas.AtlasGetMap()", "IDxMap.MapGetLayers()", "IDxMapLayers.LayersGetItem(2)",
               "IDxMapLayer[2].LayerCall09($FF0000)", "IDxMapLayer[2].LayerSetData([[[2, 51], [-1.25, 50.5]]])"},
              nitonPoint}),
         false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TRecordingMapLink rec;
        TListSource source(c.Records);
        TReportRun run;
        AtlasReport(&rec, Day, c.RxLat, c.RxLon, source, run.Hooks());
        EXPECT_EQ(rec.Calls(), Cat({head, c.Middle, TitleLog}));
        EXPECT_EQ(run.Messages, c.NoData ? std::vector<std::string>{"insufficient data, choose another date"}
                                         : std::vector<std::string>{});
        EXPECT_EQ(run.Closings, 1);
    }
}

TEST(AtlasLink, ReportFailingAtAnyCallStillClosesTheBracket) {
    const TLog full = Cat({ReportLog, TitleLog});
    const int32_t n = int32_t(full.size());
    const TLog close = {"IAtlas.AtlasGetMap()", "IDxMap.MapCall12()"};
    for (int32_t k = 1; k <= n; ++k) {
        SCOPED_TRACE(k);
        TRecordingMapLink rec;
        rec.FailAt(k);
        TListSource source(DayRecords);
        TReportRun run;
        const std::string& line = full[k - 1];
        const bool unchecked = line.rfind("IFont", 0) == 0;
        try {
            AtlasReport(&rec, Day, 51, 2, source, run.Hooks());
            EXPECT_TRUE(unchecked) << "no exception";
        } catch (const EOleSysError& e) {
            EXPECT_FALSE(unchecked);
            EXPECT_EQ(e.what(), FailureText(line));
        }
        EXPECT_EQ(run.Closings, 1);
        TLog expected;
        if (unchecked) {
            expected = full;
        } else {
            expected.assign(full.begin(), full.begin() + k);
            // The clear's own bracket closes first when the failure came inside it; the
            // report's close follows unless the failure was that close itself.
            if (k <= int32_t(ClearLog.size()) - 2) expected.insert(expected.end(), close.begin(), close.end());
            if (k <= n - 2) expected.insert(expected.end(), close.begin(), close.end());
        }
        EXPECT_EQ(rec.Calls(), expected);
    }
}

TEST(AtlasLink, NothingIsSentWithoutAConnection) {
    TListSource source(DayRecords);
    TReportRun run;
    EXPECT_NO_THROW({
        AtlasClear(nullptr);
        AtlasPlotPoint(nullptr, "X", MapYellow, 10, 10, 0, 7);
        AtlasPlotLine(nullptr, MapBlue, 10, 10, 20, 20);
        AtlasReport(nullptr, Day, 51, 2, source, run.Hooks());
        std::shared_ptr<IAtlas> none;
        AtlasRelease(none);
    });
    EXPECT_EQ(run.Closings + run.Served, 0);
}

TEST(AtlasLink, ReleaseSendsMapCall41AndDropsTheReferenceEvenWhenItFails) {
    for (const int32_t fail : {0, 2}) {
        auto rec = std::make_shared<TRecordingMapLink>();
        rec->FailAt(fail);
        std::weak_ptr<TRecordingMapLink> alive = rec;
        std::shared_ptr<IAtlas> FAtlas = rec;
        rec.reset();
        const TLog* calls = &alive.lock()->Calls();
        std::shared_ptr<TRecordingMapLink> keep = alive.lock();  // to read the log afterwards
        if (fail) {
            EXPECT_THROW(AtlasRelease(FAtlas), EOleSysError);
        } else {
            AtlasRelease(FAtlas);
        }
        EXPECT_EQ(FAtlas, nullptr);
        EXPECT_EQ(*calls, (TLog{"IAtlas.AtlasGetMap()", "IDxMap.MapCall41(0)"}));
        EXPECT_EQ(keep.use_count(), 1);
    }
}

}  // namespace
