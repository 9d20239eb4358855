// The map window as the link's back end, offscreen: the day's report drawn into it (blue
// great circles, yellow marks, the cyan title near 80 N, checked in a grab against
// positions computed here), the bracket's add-or-replace rule, refused data, showing,
// hiding on close and closing with the last reference.
#include "app/MapWindow.h"

#include <gtest/gtest.h>

#include <QPointer>

#include <cmath>
#include <numbers>

#include "QtTestApp.h"
#include "app/AtlasLink.h"
#include "classlib/DateUtils.h"

namespace {

using namespace tilo;

class TListSource : public TMapReportSource {
public:
    struct TRecord {
        std::string Station;
        double Lat, Lon;
    };
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

constexpr double Rad = std::numbers::pi / 180;

// The midpoint of the great circle between two positions (degrees), by the classic
// navigation formula rather than the window's vector interpolation.
std::pair<double, double> Midpoint(double Lat1, double Lon1, double Lat2, double Lon2) {
    const double p1 = Lat1 * Rad, p2 = Lat2 * Rad, dl = (Lon2 - Lon1) * Rad;
    const double bx = std::cos(p2) * std::cos(dl), by = std::cos(p2) * std::sin(dl);
    const double pm = std::atan2(std::sin(p1) + std::sin(p2), std::hypot(std::cos(p1) + bx, by));
    const double lm = Lon1 * Rad + std::atan2(by, std::cos(p1) + bx);
    return {pm / Rad, lm / Rad};
}

QPoint Pixel(double Lat, double Lon, QSize Size) {
    return {int((Lon + 180) / 360 * Size.width()), int((90 - Lat) / 180 * Size.height())};
}

bool IsBlue(QColor C) { return C.blue() > 180 && C.red() < 90 && C.green() < 90; }
bool IsYellow(QColor C) { return C.red() > 200 && C.green() > 200 && C.blue() < 90; }
bool IsCyan(QColor C) { return C.red() < 90 && C.green() > 180 && C.blue() > 180; }

// Whether some pixel within R of At passes Test.
template <typename T>
bool Near(const QImage& Image, QPoint At, int R, T Test) {
    for (int y = At.y() - R; y <= At.y() + R; ++y)
        for (int x = At.x() - R; x <= At.x() + R; ++x)
            if (Image.rect().contains(x, y) && Test(Image.pixelColor(x, y))) return true;
    return false;
}

TEST(MapWindow, DayReportDrawsGreatCirclesMarksAndTitle) {
    const std::shared_ptr<IAtlas> atlas = TMapWindow::CreateAtlas();
    TMapWindow* w = TMapWindow::WindowOf(atlas);
    ASSERT_NE(w, nullptr);
    w->resize(720, 360);
    // Receiver 51 N 2 E; a far station, whose great circle bows well north of the straight
    // line on this projection, and a near one sent twice.
    const double rxLat = 51, rxLon = 2, farLat = 45, farLon = -120, nearLat = 36.5, nearLon = 25;
    TListSource source({{"FAR", farLat, farLon}, {"NEAR", nearLat, nearLon}, {"NEAR", nearLat, nearLon}});
    AtlasReport(atlas.get(), classlib::EncodeDate(2024, 6, 21), rxLat, rxLon, source, {});
    EXPECT_TRUE(w->isVisible());  // AtlasCall17
    EXPECT_FALSE(w->InBracket());
    ASSERT_EQ(w->Layers().count(2), 1u);
    EXPECT_EQ(w->Layers().at(2).Paths.size(), 4u);   // two receiver entries, two stations
    EXPECT_EQ(w->Layers().at(4).Points.size(), 3u);  // two stations and the title

    const QImage grab = w->grab().toImage();
    tilo_test::SaveGrab(grab, "map_window_report");
    const QSize size = grab.size();

    const auto [mLat, mLon] = Midpoint(rxLat, rxLon, farLat, farLon);
    const auto [qLat, qLon] = Midpoint(rxLat, rxLon, mLat, mLon);
    EXPECT_GT(mLat, 65);  // the test's own premise: the circle runs far north
    EXPECT_TRUE(Near(grab, Pixel(mLat, mLon, size), 2, IsBlue)) << mLat << " " << mLon;
    EXPECT_TRUE(Near(grab, Pixel(qLat, qLon, size), 2, IsBlue)) << qLat << " " << qLon;
    // The straight line on the chart is not what is drawn.
    EXPECT_FALSE(Near(grab, Pixel((rxLat + farLat) / 2, (rxLon + farLon) / 2, size), 3, IsBlue));

    for (const auto& [lat, lon] : {std::pair{farLat, farLon}, std::pair{nearLat, nearLon}})
        EXPECT_TRUE(Near(grab, Pixel(lat, lon, size), 1, IsYellow)) << lat << " " << lon;

    // The title's label: cyan text just right of 80 N 1 E, none anywhere far from it.
    const QPoint title = Pixel(80, 1, size);
    bool nearTitle = false, elsewhere = false;
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x) {
            if (!IsCyan(grab.pixelColor(x, y))) continue;
            const bool inBox = x >= title.x() && x <= title.x() + 160 && y >= title.y() - 20 && y <= title.y() + 20;
            (inBox ? nearTitle : elsewhere) = true;
        }
    EXPECT_TRUE(nearTitle);
    EXPECT_FALSE(elsewhere);
}

TEST(MapWindow, PathsCrossingTheDateLineSplitAtTheEdges) {
    const QSizeF size(720, 360);
    const auto lines = TMapWindow::GreatCirclePolylines(0, 170, 0, -170, size);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NEAR(lines[0].back().x(), 720, 1e-6);
    EXPECT_NEAR(lines[1].front().x(), 0, 1e-6);
    EXPECT_NEAR(lines[0].back().y(), 180, 0.5);  // on the equator
    EXPECT_TRUE(TMapWindow::GreatCirclePolylines(51, 2, 51, 2, size).empty());
    // Antipodes: some path, drawn by way of a pole.
    const auto anti = TMapWindow::GreatCirclePolylines(10, 0, -10, 180, size);
    ASSERT_FALSE(anti.empty());
    double top = 360;
    for (const auto& l : anti)
        for (const QPointF& p : l) top = std::min(top, p.y());
    EXPECT_NEAR(top, 0, 1);
}

TEST(MapWindow, DataAddsWithinABracketReplacesOutsideAndMalformedIsRefused) {
    const std::shared_ptr<IAtlas> atlas = TMapWindow::CreateAtlas();
    TMapWindow* w = TMapWindow::WindowOf(atlas);
    std::shared_ptr<IDxMap> map;
    ASSERT_EQ(atlas->AtlasGetMap(map), MapOk);
    std::shared_ptr<IDxMapLayers> layers;
    ASSERT_EQ(map->MapGetLayers(layers), MapOk);
    std::shared_ptr<IDxMapLayer> layer;
    ASSERT_EQ(layers->LayersGetItem(4, layer), MapOk);
    const auto point = [](double Lat, const char* Label) {
        return MapVariantArray({MapLabelledPoint(10, Lat, Label)});
    };
    ASSERT_EQ(map->MapCall11(), MapOk);
    EXPECT_EQ(layer->LayerSetData(point(20, "A")), MapOk);
    EXPECT_EQ(layer->LayerSetData(point(30, "B")), MapOk);
    ASSERT_EQ(map->MapCall12(), MapOk);
    EXPECT_EQ(w->Layers().at(4).Points.size(), 2u);
    EXPECT_EQ(layer->LayerSetData(point(40, "C")), MapOk);
    ASSERT_EQ(w->Layers().at(4).Points.size(), 1u);
    EXPECT_EQ(w->Layers().at(4).Points[0].Label, "C");

    using classlib::Variant;
    const std::vector<Variant> bad = {
        Variant::FromInteger(1),                                        // not an array
        MapLabelledPoint(10, 20, "bare"),                               // not wrapped in a one-element array
        MapVariantArray({MapLabelledPoint(10, 20, "A"), MapLabelledPoint(10, 20, "B")}),
        MapVariantArray({MapVariantArray({Variant::FromDouble(10), Variant::FromDouble(95), Variant::FromString("X")})}),
        MapVariantArray({MapVariantArray({Variant::FromString("10"), Variant::FromDouble(20), Variant::FromString("X")})}),
        MapVariantArray({MapVariantArray({MapPosition(1, 2), Variant::FromDouble(3)})}),
        MapVariantArray({MapVariantArray({Variant::FromDouble(std::nan("")), Variant::FromDouble(1), Variant::FromString("X")})}),
    };
    for (std::size_t i = 0; i < bad.size(); ++i) {
        EXPECT_EQ(layer->LayerSetData(bad[i]), MapInvalidArg) << i;
    }
    EXPECT_EQ(w->Layers().at(4).Points.size(), 1u);
    ASSERT_EQ(layers->LayersCall10(), MapOk);
    EXPECT_TRUE(w->Layers().at(4).Points.empty());
}

TEST(MapWindow, ShowsOnCall17HidesOnCloseAndClosesWithTheLastReference) {
    std::shared_ptr<IAtlas> atlas = TMapWindow::CreateAtlas();
    QPointer<TMapWindow> w = TMapWindow::WindowOf(atlas);
    EXPECT_FALSE(w->isVisible());
    ASSERT_EQ(atlas->AtlasCall17(), MapOk);
    EXPECT_TRUE(w->isVisible());
    w->close();
    ASSERT_FALSE(w.isNull());
    EXPECT_FALSE(w->isVisible());
    ASSERT_EQ(atlas->AtlasCall17(), MapOk);
    EXPECT_TRUE(w->isVisible());

    std::shared_ptr<IDxMap> map;
    ASSERT_EQ(atlas->AtlasGetMap(map), MapOk);
    atlas.reset();
    EXPECT_TRUE(w.isNull());
    EXPECT_EQ(map->MapCall11(), MapFail);  // a map kept past its application object
    std::shared_ptr<IDxMapLayers> layers;
    EXPECT_EQ(map->MapGetLayers(layers), MapFail);
}

TEST(MapWindow, IsTheBackEndCoAtlasMakesOnceInstalled) {
    const CoAtlas::TFactory previous = CoAtlas::Install({});
    TMapWindow::Install();
    const std::shared_ptr<IAtlas> atlas = AtlasConnect(51, 2);
    EXPECT_NE(TMapWindow::WindowOf(atlas), nullptr);
    EXPECT_TRUE(TMapWindow::WindowOf(atlas)->HasReceiver());
    CoAtlas::Install(previous);
}

}  // namespace
