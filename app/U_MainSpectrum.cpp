// The receive page's displays: the waterfall line, the scope, the bit-phase smoothing
// and the waterfall snapshot (as functions over images), and the main window's display
// hooks that feed them from the block handler and the demodulator.
#include "app/Displays.h"

#include <QFont>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "app/JpegFile.h"
#include "app/UCommon.h"
#include "classlib/DateUtils.h"

namespace tilo {

namespace {

int32_t RoundInt(double X) { return int32_t(std::nearbyint(X)); }

}  // namespace

double PhaseAverage = 0;

double SmoothPhase(double X, double C) {
    PhaseAverage = X * C + (1 - C) * PhaseAverage;
    return PhaseAverage;
}

bool DrawWaterfallLine(const TSpectrum& S, QImage& B, TWaterfallState& State, const TWaterfallLine& Line) {
    if (++State.Blocks < std::max(Line.Blocks, 1)) return false;
    State.Blocks = 0;
    if (++State.Lines >= B.height() && Line.Dump) {
        State.Lines = 0;
        if (Line.Snapshot) Line.Snapshot();
    }
    if (B.isNull() || B.format() != QImage::Format_RGB888) return false;
    const TSpectrum grid = InterpolateSpectrum(S);
    const int32_t w = B.width();
    const qsizetype bytes = qsizetype(w) * 3;
    for (int32_t y = B.height() - 1; y > 0; --y) std::memcpy(B.scanLine(y), B.constScanLine(y - 1), size_t(bytes));
    // The top line as the pen would draw it: each entry from the previous end up to (not
    // including) its own column.
    uchar* top = B.scanLine(0);
    const int32_t len = int32_t(grid.size());
    int32_t x = 0;
    for (int32_t i = 1; i <= len - 2; ++i) {
        const int32_t to = std::min(RoundInt(double(i) * w / len) - 1, w);
        const int32_t g = std::clamp(RoundInt(grid[size_t(i)].Mag * 2.55), 0, 255);
        for (; x < to; ++x) {
            top[x * 3] = 0;
            top[x * 3 + 1] = uchar(g);
            top[x * 3 + 2] = 0;
        }
        x = std::max(x, to);
    }
    if ((Line.LocalNow - State.LastLabel) * 86400.0 >= Line.Blocks) {
        QPainter p(&B);
        QFont f = p.font();
        f.setPointSize(8);
        p.setFont(f);
        p.setPen(QColor(0, 255, 255));
        const QString text = QString::fromLatin1(Line.UtcText + "-" + std::to_string(Line.Centre) + "Hz");
        p.drawText(QRect(w - 100, 1, 100, B.height()), Qt::AlignLeft | Qt::AlignTop, text);
        State.LastLabel = Line.LocalNow;
    }
    return true;
}

int32_t ScopeZoom(int32_t ItemIndex) {
    switch (ItemIndex) {
        case 1: return 2;
        case 2: return 4;
        default: return 1;
    }
}

int32_t ScopeGridStep(int32_t Width, int32_t TimeZoom) { return RoundInt(Width * 10.0 / MsPerBlock) * TimeZoom; }

void DrawScope(const std::vector<double>& Trace1, const std::vector<double>& Trace2,
               const std::vector<double>& Trace3, QImage& Image, int32_t TimeZoom) {
    {
        QPainter p(&Image);
        p.setPen(QColor(0, 128, 0));
        p.setBrush(QColor(0, 22, 0));
        p.drawRect(0, 0, Image.width() - 1, Image.height() - 1);
    }
    if (!Trace1.empty()) DrawScopeTrace(Trace1, Image, TimeZoom, QColor(0, 255, 0));
    if (!Trace2.empty()) DrawScopeTrace(Trace2, Image, TimeZoom, QColor(255, 0, 0));
    if (!Trace3.empty()) DrawScopeTrace(Trace3, Image, TimeZoom, QColor(0, 255, 255));
}

void DrawScopeTrace(const std::vector<double>& Trace, QImage& Image, int32_t TimeZoom, const QColor& Colour) {
    const int32_t z = std::max(TimeZoom, 1);
    const int32_t n = int32_t(Trace.size()) / z;
    if (n <= 0 || Image.isNull()) return;
    std::vector<double> v(Trace);
    RemoveDC(v);
    const int32_t w = Image.width(), h = Image.height();
    const double step = double(w) / n;
    QPainter p(&Image);
    QFont f = p.font();
    f.setPointSize(7);
    p.setFont(f);
    p.setPen(QColor(0, 128, 0));
    p.drawLine(0, h / 2, w, h / 2);
    const int32_t grid = ScopeGridStep(w, z);
    if (grid > 0)
        for (int32_t x = grid, k = 1; x < w; x += grid, ++k) {
            p.drawLine(x, 0, x, h);
            p.drawText(QRect(x + 2, h - 14, 60, 14), Qt::AlignLeft | Qt::AlignBottom,
                       QString::number(k * 10) + "ms.");
        }
    const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
    double scale = h * 0.8 / (*hi - *lo);
    if (!std::isfinite(scale)) scale = 1.0;  // a flat trace
    p.setPen(Colour);
    QPoint from(0, h / 2);
    const int32_t last = (int32_t(v.size()) - 1) / z;
    for (int32_t i = 0; i <= last; ++i) {
        const QPoint to(RoundInt(i * step), h / 2 - RoundInt(v[size_t(i)] * scale));
        p.drawLine(from, to);
        from = to;
    }
}

std::string WaterfallDumpName(double LocalNow) {
    std::string digits;
    DigitsDateTime(classlib::DateTimeToStr(LocalNow), digits);
    if (!digits.empty() && digits.back() == ' ') digits.pop_back();  // exactly midnight: the date alone
    return "WFALL" + digits + ".jpg";
}

std::string DumpWaterfallJpeg(const QImage& Bitmap, const std::string& Folder, double LocalNow) {
    std::string error;
    if (WriteJpegFile(Bitmap, Folder + "DUMPS/" + WaterfallDumpName(LocalNow), error)) return {};
    return error;
}

double LocalDateTimeNow() {
    const std::time_t t = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&t, &local);
    return classlib::EncodeDate(uint16_t(local.tm_year + 1900), uint16_t(local.tm_mon + 1), uint16_t(local.tm_mday)) +
           classlib::EncodeTime(uint16_t(local.tm_hour), uint16_t(local.tm_min), uint16_t(local.tm_sec), 0);
}

}  // namespace tilo
