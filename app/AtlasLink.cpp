// The call sequences of the map link, in the order the map program expects them.
#include "app/AtlasLink.h"

#include <exception>
#include <utility>
#include <vector>

namespace tilo {

namespace {

std::shared_ptr<IDxMap> Map(IAtlas& Atlas) {
    std::shared_ptr<IDxMap> map;
    OleCheck(Atlas.AtlasGetMap(map), "IAtlas", "AtlasGetMap");
    return map;
}

std::shared_ptr<IDxMapLayer> Layer(IAtlas& Atlas, int32_t Index) {
    std::shared_ptr<IDxMapLayers> layers;
    OleCheck(Map(Atlas)->MapGetLayers(layers), "IDxMap", "MapGetLayers");
    std::shared_ptr<IDxMapLayer> layer;
    OleCheck(layers->LayersGetItem(Index, layer), "IDxMapLayers", "LayersGetItem");
    return layer;
}

// Runs Body, then closes the drawing bracket whatever Body did; Closing runs first.
template <typename TBody>
void InBracket(IAtlas& Atlas, TBody&& Body, const std::function<void()>& Closing = {}) {
    try {
        Body();
    } catch (...) {
        try {
            if (Closing) Closing();
            OleCheck(Map(Atlas)->MapCall12(), "IDxMap", "MapCall12");
        } catch (...) {
            // the first failure is the one to report
        }
        throw;
    }
    // The bracket closes even when Closing fails; Closing's failure is then raised.
    std::exception_ptr closingFailure;
    try {
        if (Closing) Closing();
    } catch (...) {
        closingFailure = std::current_exception();
    }
    OleCheck(Map(Atlas)->MapCall12(), "IDxMap", "MapCall12");
    if (closingFailure) std::rethrow_exception(closingFailure);
}

}  // namespace

std::shared_ptr<IAtlas> AtlasConnect(double RxLat, double RxLon) {
    std::shared_ptr<IAtlas> atlas = CoAtlas::Create();
    IAtlas& a = *atlas;
    OleCheck(a.AtlasCall16(MapTrue), "IAtlas", "AtlasCall16");
    OleCheck(a.AtlasCall08(1), "IAtlas", "AtlasCall08");
    OleCheck(a.AtlasCall10(1), "IAtlas", "AtlasCall10");
    OleCheck(Map(a)->MapCall14(MapFalse), "IDxMap", "MapCall14");
    OleCheck(Map(a)->MapCall26(MapFalse), "IDxMap", "MapCall26");
    OleCheck(Map(a)->MapCall28(MapFalse), "IDxMap", "MapCall28");
    OleCheck(Map(a)->MapCall30(MapFalse), "IDxMap", "MapCall30");
    OleCheck(Map(a)->MapCall22(float(RxLat)), "IDxMap", "MapCall22");
    OleCheck(Map(a)->MapCall24(float(RxLon)), "IDxMap", "MapCall24");
    OleCheck(a.AtlasCall19(MapTrue), "IAtlas", "AtlasCall19");
    OleCheck(Map(a)->MapCall32(MapTrue), "IDxMap", "MapCall32");
    return atlas;
}

void AtlasClear(IAtlas* Atlas) {
    if (!Atlas) return;
    InBracket(*Atlas, [&] {
        OleCheck(Map(*Atlas)->MapCall11(), "IDxMap", "MapCall11");
        OleCheck(Map(*Atlas)->MapCall41(MapFalse), "IDxMap", "MapCall41");
        std::shared_ptr<IDxMapLayers> layers;
        OleCheck(Map(*Atlas)->MapGetLayers(layers), "IDxMap", "MapGetLayers");
        OleCheck(layers->LayersCall10(), "IDxMapLayers", "LayersCall10");
    });
}

void AtlasPlotPoint(IAtlas* Atlas, const std::string& Label, int32_t MarkColour, double Lat, double Lon,
                    int32_t LabelColour, int32_t FontSize) {
    if (!Atlas || Lat == 0 || Lon == 0) return;
    const std::shared_ptr<IDxMapLayer> layer = Layer(*Atlas, 4);
    OleCheck(layer->LayerCall15(MapFalse), "IDxMapLayer", "LayerCall15");
    OleCheck(layer->LayerCall11(MarkColour), "IDxMapLayer", "LayerCall11");
    std::shared_ptr<IFont> font;
    OleCheck(layer->LayerGetFont(font), "IDxMapLayer", "LayerGetFont");
    // The font settings are the link's only unchecked calls.
    (void)font->put_Name(u"Small fonts");
    (void)font->put_Size(int64_t(FontSize) * 10000);
    OleCheck(layer->LayerCall09(LabelColour), "IDxMapLayer", "LayerCall09");
    OleCheck(layer->LayerSetData(MapVariantArray({MapLabelledPoint(Lon, Lat, Label)})), "IDxMapLayer",
             "LayerSetData");
}

void AtlasPlotLine(IAtlas* Atlas, int32_t Colour, double FromLat, double FromLon, double ToLat, double ToLon) {
    if (!Atlas || ToLat == 0 || ToLon == 0) return;
    const std::shared_ptr<IDxMapLayer> layer = Layer(*Atlas, 2);
    OleCheck(layer->LayerCall09(Colour), "IDxMapLayer", "LayerCall09");
    const classlib::Variant path = MapVariantArray({MapPosition(FromLon, FromLat), MapPosition(ToLon, ToLat)});
    OleCheck(layer->LayerSetData(MapVariantArray({path})), "IDxMapLayer", "LayerSetData");
}

void AtlasReport(IAtlas* Atlas, classlib::TDateTime Day, double RxLat, double RxLon, TMapReportSource& Source,
                 const TMapReportHooks& Hooks) {
    if (!Atlas) return;
    const auto serve = [&] {
        if (Hooks.ProcessMessages) Hooks.ProcessMessages();
    };
    InBracket(
        *Atlas,
        [&] {
            AtlasClear(Atlas);
            OleCheck(Map(*Atlas)->MapCall11(), "IDxMap", "MapCall11");

            // Two entries a station, the receiver's position then the station's, and its
            // name twice, so that entry i is named by name i.
            struct TEntry {
                double Lat, Lon;
            };
            std::vector<TEntry> points;
            std::vector<std::string> names;
            std::string joined;  // the names as one text, for the substring test
            std::string station;
            double lat = 0, lon = 0;
            while (Source.NextRecord(station, lat, lon)) {
                if (lat != 0 && lon != 0 && (station.empty() || joined.find(station) == std::string::npos)) {
                    points.push_back({RxLat, RxLon});
                    points.push_back({lat, lon});
                    for (int k = 0; k < 2; ++k) {
                        names.push_back(station);
                        joined += station + "\r\n";
                    }
                }
                serve();
            }

            if (points.empty()) {
                if (Hooks.Message) Hooks.Message(MapReportNoDataText);
            } else {
                OleCheck(Atlas->AtlasCall17(), "IAtlas", "AtlasCall17");
            }
            for (std::size_t i = 0; i < points.size(); ++i) {
                serve();
                AtlasPlotLine(Atlas, MapBlue, RxLat, RxLon, points[i].Lat, points[i].Lon);
                if (i % 2 == 1) AtlasPlotPoint(Atlas, names[i], MapYellow, points[i].Lat, points[i].Lon, MapBlack, 7);
            }
            AtlasPlotPoint(Atlas, classlib::DateToStr(Day), MapBlack, 80, 1, MapCyan, 12);
        },
        Hooks.Closing);
}

void AtlasRelease(std::shared_ptr<IAtlas>& Atlas) {
    if (!Atlas) return;
    const std::shared_ptr<IAtlas> atlas = std::move(Atlas);
    Atlas.reset();
    OleCheck(Map(*atlas)->MapCall41(MapFalse), "IDxMap", "MapCall41");
}

}  // namespace tilo
