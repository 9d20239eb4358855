// The map window and the automation objects that drive it. The objects reach the
// window through a guarded pointer, so that a map or layer kept after its application
// object died fails its calls instead of touching a deleted window.
#include "app/MapWindow.h"

#include <QCloseEvent>
#include <QFont>
#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace tilo {

namespace {

QColor ColourOf(int32_t Bgr) { return QColor(Bgr & 0xFF, (Bgr >> 8) & 0xFF, (Bgr >> 16) & 0xFF); }

bool ReadNumber(const classlib::Variant& V, double& Out) {
    using namespace classlib;
    switch (V.VarType()) {
        case varSmallint: case varInteger: case varSingle: case varDouble: case varCurrency:
        case varShortInt: case varByte: case varWord: case varLongWord: case varInt64:
            Out = V.AsDouble();
            return std::isfinite(Out);
        default:
            return false;
    }
}

// A one-dimensional array's elements, or false.
bool ReadArray(const classlib::Variant& V, std::vector<classlib::Variant>& Items) {
    if (!V.IsArray() || V.ArrayDimCount() != 1) return false;
    Items.clear();
    for (int32_t i = V.ArrayLowBound(1); i <= V.ArrayHighBound(1); ++i) Items.push_back(V.GetElement({i}));
    return true;
}

// [longitude, latitude], latitude within the poles; longitude brought into -180 .. 180.
bool ReadPosition(const std::vector<classlib::Variant>& Items, double& Lat, double& Lon) {
    if (Items.size() < 2 || !ReadNumber(Items[0], Lon) || !ReadNumber(Items[1], Lat)) return false;
    if (Lat < -90 || Lat > 90) return false;
    Lon = std::remainder(Lon, 360.0);
    return true;
}

constexpr double Rad = std::numbers::pi / 180;

struct TVec {
    double X, Y, Z;
};

TVec ToVec(double Lat, double Lon) {
    return {std::cos(Lat * Rad) * std::cos(Lon * Rad), std::cos(Lat * Rad) * std::sin(Lon * Rad), std::sin(Lat * Rad)};
}

}  // namespace

// The calls of the automation objects, with the window's internals at hand.
class TMapWindowCalls {
public:
    static int32_t Bracket(TMapWindow* W, int32_t Step) {
        if (!W) return MapFail;
        W->FBracket = std::max(0, W->FBracket + Step);
        if (W->FBracket == 0) W->update();
        return MapOk;
    }
    static int32_t Receiver(TMapWindow* W, const float* Lat, const float* Lon) {
        if (!W) return MapFail;
        if (Lat) W->FRxLat = *Lat;
        if (Lon) W->FRxLon = *Lon;
        W->FHasReceiver = true;
        W->Changed();
        return MapOk;
    }
    static int32_t Show(TMapWindow* W) {
        if (!W) return MapFail;
        W->show();
        // The offscreen platform has no stacking to change and says so on every call.
        if (QGuiApplication::platformName() != QLatin1String("offscreen")) {
            W->raise();
            W->activateWindow();
        }
        return MapOk;
    }
    static int32_t ClearLayers(TMapWindow* W) {
        if (!W) return MapFail;
        for (auto& [index, layer] : W->FLayers) {
            layer.Points.clear();
            layer.Paths.clear();
        }
        W->Changed();
        return MapOk;
    }
    static int32_t Colour(TMapWindow* W, int32_t Index, bool Mark, int32_t Bgr) {
        if (!W) return MapFail;
        (Mark ? W->Layer(Index).Colour11 : W->Layer(Index).Colour09) = ColourOf(Bgr);
        return MapOk;
    }
    static int32_t FontName(TMapWindow* W, int32_t Index, const std::u16string& Name) {
        if (!W) return MapFail;
        W->Layer(Index).FontName = QString::fromStdU16String(Name);
        return MapOk;
    }
    static int32_t FontSize(TMapWindow* W, int32_t Index, int64_t Size) {
        if (!W) return MapFail;
        if (Size <= 0) return MapInvalidArg;
        W->Layer(Index).FontSize = double(Size) / 10000;
        return MapOk;
    }
    static int32_t SetData(TMapWindow* W, int32_t Index, const classlib::Variant& Data) {
        if (!W) return MapFail;
        std::vector<classlib::Variant> outer, element;
        if (!ReadArray(Data, outer) || outer.size() != 1 || !ReadArray(outer[0], element)) return MapInvalidArg;
        TMapWindow::TMapLayer& layer = W->Layer(Index);
        TMapWindow::TMapPoint point;
        TMapWindow::TMapPath path;
        std::vector<classlib::Variant> from, to;
        bool isPath = false;
        if (element.size() == 2 && ReadArray(element[0], from) && ReadArray(element[1], to)) {
            if (from.size() != 2 || to.size() != 2 || !ReadPosition(from, path.FromLat, path.FromLon) ||
                !ReadPosition(to, path.ToLat, path.ToLon))
                return MapInvalidArg;
            path.Colour = layer.Colour09;
            isPath = true;
        } else if (element.size() == 3 && ReadPosition(element, point.Lat, point.Lon)) {
            const classlib::Variant& label = element[2];
            if (label.VarType() == classlib::varString) {
                point.Label = QString::fromLatin1(label.AsString().data(), qsizetype(label.AsString().size()));
            } else if (label.VarType() == classlib::varOleStr) {
                point.Label = QString::fromStdU16String(label.AsOleStr());
            } else {
                return MapInvalidArg;
            }
            point.Mark = layer.Colour11;
            point.LabelColour = layer.Colour09;
            point.FontName = layer.FontName;
            point.FontSize = layer.FontSize;
        } else {
            return MapInvalidArg;
        }
        if (W->FBracket == 0) {
            layer.Points.clear();
            layer.Paths.clear();
        }
        if (isPath) {
            layer.Paths.push_back(path);
        } else {
            layer.Points.push_back(point);
        }
        W->Changed();
        return MapOk;
    }
};

namespace {

using TWindowRef = QPointer<TMapWindow>;

class TWindowFont : public IFont {
public:
    TWindowFont(TWindowRef W, int32_t Index) : FWindow(W), FIndex(Index) {}
    int32_t put_Name(const std::u16string& Name) override { return TMapWindowCalls::FontName(FWindow, FIndex, Name); }
    int32_t put_Size(int64_t Size) override { return TMapWindowCalls::FontSize(FWindow, FIndex, Size); }

private:
    TWindowRef FWindow;
    int32_t FIndex;
};

class TWindowLayer : public IDxMapLayer {
public:
    TWindowLayer(TWindowRef W, int32_t Index)
        : FWindow(W), FIndex(Index), FFont(std::make_shared<TWindowFont>(W, Index)) {}
    int32_t LayerCall09(int32_t Colour) override { return TMapWindowCalls::Colour(FWindow, FIndex, false, Colour); }
    int32_t LayerCall11(int32_t Colour) override { return TMapWindowCalls::Colour(FWindow, FIndex, true, Colour); }
    int32_t LayerCall15(int32_t) override { return FWindow ? MapOk : MapFail; }
    int32_t LayerSetData(const classlib::Variant& Data) override {
        return TMapWindowCalls::SetData(FWindow, FIndex, Data);
    }
    int32_t LayerGetFont(std::shared_ptr<IFont>& Font) override {
        if (!FWindow) return MapFail;
        Font = FFont;
        return MapOk;
    }

private:
    TWindowRef FWindow;
    int32_t FIndex;
    std::shared_ptr<IFont> FFont;
};

class TWindowLayers : public IDxMapLayers {
public:
    explicit TWindowLayers(TWindowRef W) : FWindow(W) {}
    int32_t LayersGetItem(int32_t Index, std::shared_ptr<IDxMapLayer>& Layer) override {
        if (!FWindow) return MapFail;
        if (Index < 0) return MapInvalidArg;
        std::shared_ptr<IDxMapLayer>& made = FMade[Index];
        if (!made) made = std::make_shared<TWindowLayer>(FWindow, Index);
        Layer = made;
        return MapOk;
    }
    int32_t LayersCall10() override { return TMapWindowCalls::ClearLayers(FWindow); }

private:
    TWindowRef FWindow;
    std::map<int32_t, std::shared_ptr<IDxMapLayer>> FMade;
};

class TWindowMap : public IDxMap {
public:
    explicit TWindowMap(TWindowRef W) : FWindow(W), FLayers(std::make_shared<TWindowLayers>(W)) {}
    int32_t MapCall11() override { return TMapWindowCalls::Bracket(FWindow, +1); }
    int32_t MapCall12() override { return TMapWindowCalls::Bracket(FWindow, -1); }
    int32_t MapCall14(int32_t) override { return Accept(); }
    int32_t MapCall22(float Latitude) override { return TMapWindowCalls::Receiver(FWindow, &Latitude, nullptr); }
    int32_t MapCall24(float Longitude) override { return TMapWindowCalls::Receiver(FWindow, nullptr, &Longitude); }
    int32_t MapCall26(int32_t) override { return Accept(); }
    int32_t MapCall28(int32_t) override { return Accept(); }
    int32_t MapCall30(int32_t) override { return Accept(); }
    int32_t MapCall32(int32_t) override { return Accept(); }
    int32_t MapCall41(int32_t) override { return Accept(); }
    int32_t MapGetLayers(std::shared_ptr<IDxMapLayers>& Layers) override {
        if (!FWindow) return MapFail;
        Layers = FLayers;
        return MapOk;
    }

private:
    int32_t Accept() const { return FWindow ? MapOk : MapFail; }
    TWindowRef FWindow;
    std::shared_ptr<IDxMapLayers> FLayers;
};

class TWindowAtlas : public IAtlas {
public:
    explicit TWindowAtlas(TMapWindow* W) : FWindow(W), FMap(std::make_shared<TWindowMap>(W)) {}
    int32_t AtlasCall08(int32_t) override { return MapOk; }
    int32_t AtlasCall10(int32_t) override { return MapOk; }
    int32_t AtlasCall16(int32_t) override { return MapOk; }
    int32_t AtlasCall17() override { return TMapWindowCalls::Show(FWindow.get()); }
    int32_t AtlasCall19(int32_t) override { return MapOk; }
    int32_t AtlasGetMap(std::shared_ptr<IDxMap>& Map) override {
        Map = FMap;
        return MapOk;
    }
    TMapWindow* Window() const { return FWindow.get(); }

private:
    std::unique_ptr<TMapWindow> FWindow;
    std::shared_ptr<IDxMap> FMap;
};

}  // namespace

TMapWindow::TMapWindow() : QWidget(nullptr) {
    setWindowTitle(QStringLiteral("Tilo - stations heard"));
    setAttribute(Qt::WA_DeleteOnClose, false);
    setMinimumSize(360, 180);
    resize(sizeHint());
}

std::shared_ptr<IAtlas> TMapWindow::CreateAtlas() { return std::make_shared<TWindowAtlas>(new TMapWindow()); }

void TMapWindow::Install() {
    CoAtlas::Install([](std::shared_ptr<IAtlas>& Atlas) {
        Atlas = CreateAtlas();
        return MapOk;
    });
}

TMapWindow* TMapWindow::WindowOf(const std::shared_ptr<IAtlas>& Atlas) {
    const auto* atlas = dynamic_cast<const TWindowAtlas*>(Atlas.get());
    return atlas ? atlas->Window() : nullptr;
}

void TMapWindow::Changed() {
    if (FBracket == 0) update();
}

QPointF TMapWindow::Project(double Lat, double Lon, QSizeF Size) {
    return {(Lon + 180) / 360 * Size.width(), (90 - Lat) / 180 * Size.height()};
}

std::vector<std::vector<QPointF>> TMapWindow::GreatCirclePolylines(double FromLat, double FromLon, double ToLat,
                                                                    double ToLon, QSizeF Size) {
    const TVec a = ToVec(FromLat, FromLon), b = ToVec(ToLat, ToLon);
    // The angle from the cross and dot products stays exact near 0 and near 180 degrees,
    // where arccos of the dot product alone loses half its digits.
    const TVec c{a.Y * b.Z - a.Z * b.Y, a.Z * b.X - a.X * b.Z, a.X * b.Y - a.Y * b.X};
    const double sinD = std::sqrt(c.X * c.X + c.Y * c.Y + c.Z * c.Z);
    const double dot = a.X * b.X + a.Y * b.Y + a.Z * b.Z;
    const double d = std::atan2(sinD, dot);
    if (d < 1e-9) return {};
    // Positions along the circle, one a degree at most; an antipodal pair has no one
    // great circle, so it goes by way of the pole nearer the start.
    std::vector<std::pair<double, double>> track;  // lat, lon
    const auto slerp = [&](TVec p, TVec q, double angle, bool last) {
        const int n = std::max(2, int(std::ceil(angle / Rad)));
        for (int i = 0; i <= n; ++i) {
            if (i == n && !last) break;
            const double t = double(i) / n;
            const double s = std::sin(angle);
            const double u = std::sin((1 - t) * angle) / s, v = std::sin(t * angle) / s;
            const TVec r{u * p.X + v * q.X, u * p.Y + v * q.Y, u * p.Z + v * q.Z};
            track.emplace_back(std::asin(std::clamp(r.Z, -1.0, 1.0)) / Rad, std::atan2(r.Y, r.X) / Rad);
        }
    };
    if (sinD < 1e-6) {
        const TVec pole{0, 0, FromLat >= 0 ? 1.0 : -1.0};
        const double toPole = std::acos(std::clamp(a.Z * pole.Z, -1.0, 1.0));
        if (toPole < 1e-6 || std::sin(toPole) < 1e-6) {
            // A pole to the other: any meridian will do.
            const TVec mid = ToVec(0, FromLon);
            slerp(a, mid, std::numbers::pi / 2, false);
            slerp(mid, b, std::numbers::pi / 2, true);
        } else {
            slerp(a, pole, toPole, false);
            slerp(pole, b, d - toPole, true);
        }
    } else {
        slerp(a, b, d, true);
    }

    std::vector<std::vector<QPointF>> lines(1);
    for (std::size_t i = 0; i < track.size(); ++i) {
        const auto [lat, lon] = track[i];
        if (i > 0) {
            const auto [plat, plon] = track[i - 1];
            if (std::abs(lon - plon) > 180) {
                // Crossing the 180-degree meridian: end at one edge, go on from the other.
                const double edge = plon > 0 ? 180 : -180;
                const double span = 360 - std::abs(lon - plon);
                const double f = span > 0 ? (180 - std::abs(plon)) / span : 0;
                const double elat = plat + (lat - plat) * f;
                lines.back().push_back(Project(elat, edge, Size));
                lines.emplace_back();
                lines.back().push_back(Project(elat, -edge, Size));
            }
        }
        lines.back().push_back(Project(lat, lon, Size));
    }
    return lines;
}

void TMapWindow::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QSizeF size = this->size();
    // A mid grey, on which the black labels, yellow marks and cyan title all read.
    p.fillRect(rect(), QColor(0x78, 0x84, 0x90));

    p.setPen(QPen(QColor(0xA4, 0xAE, 0xB8), 1));
    for (int lon = -180; lon <= 180; lon += 30) p.drawLine(Project(90, lon, size), Project(-90, lon, size));
    for (int lat = -90; lat <= 90; lat += 30) p.drawLine(Project(lat, -180, size), Project(lat, 180, size));

    for (const auto& [index, layer] : FLayers) {
        for (const TMapPath& path : layer.Paths) {
            p.setPen(QPen(path.Colour, 2));
            for (const auto& line : GreatCirclePolylines(path.FromLat, path.FromLon, path.ToLat, path.ToLon, size))
                p.drawPolyline(line.data(), int(line.size()));
        }
        for (const TMapPoint& point : layer.Points) {
            const QPointF at = Project(point.Lat, point.Lon, size);
            p.setPen(QPen(Qt::black, 1));
            p.setBrush(point.Mark);
            p.drawEllipse(at, 3.5, 3.5);
            QFont font(point.FontName);
            font.setPointSizeF(point.FontSize);
            p.setFont(font);
            p.setPen(point.LabelColour);
            p.drawText(at + QPointF(6, 4), point.Label);
        }
    }

    if (FHasReceiver) {
        const QPointF rx = Project(FRxLat, FRxLon, size);
        p.setPen(QPen(Qt::red, 2));
        p.drawLine(rx + QPointF(-5, 0), rx + QPointF(5, 0));
        p.drawLine(rx + QPointF(0, -5), rx + QPointF(0, 5));
    }
}

void TMapWindow::closeEvent(QCloseEvent* Event) {
    // The window belongs to its application object: closing it only hides it.
    Event->ignore();
    hide();
}

}  // namespace tilo
