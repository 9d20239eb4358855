// TMapWindow: the receiver's own map program, the back end CoAtlas makes on Linux. A
// top-level window with an equirectangular world (x = (lon + 180) / 360 x width,
// y = (90 - lat) / 180 x height) under a 30-degree graticule, drawing the layers the
// map link fills: a point is a mark in the layer's LayerCall11 colour with its label in
// the LayerCall09 colour and the layer's font; a path is the great circle between its
// two positions in the LayerCall09 colour. Layers are drawn in ascending number.
//
// Within a drawing bracket (MapCall11 .. MapCall12) each LayerSetData adds its element
// to its layer and nothing is repainted until the bracket closes; outside one it
// replaces the layer's elements and repaints. LayersCall10 empties every layer,
// MapCall22 and MapCall24 place the receiver's mark, AtlasCall17 shows and raises the
// window; every other call is accepted and changes nothing. Malformed layer data is
// refused with MapInvalidArg and adds nothing.
//
// The application object owns the window: dropping its last reference closes it.
// Objects it handed out (map, layers, fonts) then answer MapFail. Closing the window by
// hand only hides it; the next AtlasCall17 shows it again.
#pragma once

#include <QColor>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "platform/MapLink.h"

namespace tilo {

class TMapWindow : public QWidget {
    Q_OBJECT
public:
    struct TMapPoint {
        double Lat = 0, Lon = 0;
        QString Label;
        QColor Mark, LabelColour;
        QString FontName;
        double FontSize = 0;  // points
    };
    struct TMapPath {
        double FromLat = 0, FromLon = 0, ToLat = 0, ToLon = 0;
        QColor Colour;
    };
    struct TMapLayer {
        QColor Colour09 = Qt::black, Colour11 = Qt::black;
        QString FontName = QStringLiteral("Small fonts");
        double FontSize = 8;
        std::vector<TMapPoint> Points;
        std::vector<TMapPath> Paths;
    };

    // A new application object with its own window (hidden until AtlasCall17).
    static std::shared_ptr<IAtlas> CreateAtlas();
    // Makes CreateAtlas the back end of CoAtlas.
    static void Install();
    // The window behind an object made by CreateAtlas; nullptr for any other object.
    static TMapWindow* WindowOf(const std::shared_ptr<IAtlas>& Atlas);

    const std::map<int32_t, TMapLayer>& Layers() const { return FLayers; }
    bool HasReceiver() const { return FHasReceiver; }
    bool InBracket() const { return FBracket > 0; }

    // Where a position falls in a map of Size.
    static QPointF Project(double Lat, double Lon, QSizeF Size);
    // The great circle from one position to the other as projected polylines (split
    // where it crosses the 180-degree meridian); none for a zero-length path.
    static std::vector<std::vector<QPointF>> GreatCirclePolylines(double FromLat, double FromLon, double ToLat,
                                                                   double ToLon, QSizeF Size);

    QSize sizeHint() const override { return {720, 360}; }

protected:
    void paintEvent(QPaintEvent* Event) override;
    void closeEvent(QCloseEvent* Event) override;

private:
    friend class TMapWindowCalls;
    TMapWindow();

    TMapLayer& Layer(int32_t Index) { return FLayers[Index]; }
    void Changed();

    std::map<int32_t, TMapLayer> FLayers;
    int32_t FBracket = 0;
    bool FHasReceiver = false;
    float FRxLat = 0, FRxLon = 0;
};

}  // namespace tilo
