// TSpectrumChart: the spectrum chart ChSpectrum. One line series over a frequency axis
// from 0 to a quarter of the sample rate and a magnitude axis 0 .. 100, linear or
// logarithmic (0.1 .. 100: zero has no logarithm, so smaller magnitudes are drawn at
// 0.1). The series is replaced whole once per block, never rebuilt.
//
// Two hooks paint in the view's own pixels: OnBeforeDrawAxes under the chart (the chart's
// background is left transparent so it shows behind the trace), OnAfterDraw over it. The
// mouse reaches OnMouseDown/Move/Up with the event (its position and modifiers).
// XOf is the chart's own frequency-to-pixel mapping as a pure function.
#pragma once

#include <QChartView>

#include <functional>

#include "decoder/UCommon.h"

class QLineSeries;
class QLogValueAxis;
class QValueAxis;

namespace tilo {

// Pixel column of frequency F on a plot area from Left to Right whose axis runs from 0
// to AxisMax: round(F x (Right - Left) / AxisMax + Left), halves to even.
int32_t SpectrumX(double F, double Left, double Right, double AxisMax);

class TSpectrumChart : public QChartView {
    Q_OBJECT

public:
    explicit TSpectrumChart(QWidget* Parent = nullptr);

    QLineSeries* Series;      // series 0
    QValueAxis* BottomAxis;   // frequency, Hz
    QValueAxis* LinearAxis;   // magnitude 0 .. 100
    QLogValueAxis* LogAxis = nullptr;  // magnitude 0.1 .. 100, made when first chosen

    std::function<void(QPainter&)> OnBeforeDrawAxes;
    std::function<void(QPainter&)> OnAfterDraw;
    std::function<void(QMouseEvent&)> OnMouseDown;
    std::function<void(QMouseEvent&)> OnMouseMove;
    std::function<void(QMouseEvent&)> OnMouseUp;

    void SetAxisMaximum(double Max);
    double AxisMaximum() const;
    void SetLogarithmic(bool Log);
    bool Logarithmic() const { return FLog; }
    // Points 1 .. last of Spectrum (point 0 is the DC bin) as (frequency, magnitude).
    void SetSpectrum(const TSpectrum& Spectrum);

    // Frequency to pixel column in the view, and the series' values at a view position.
    int32_t XOf(double F) const;
    double FrequencyAt(double X) const;
    double ValueAt(double Y) const;

protected:
    void drawBackground(QPainter* Painter, const QRectF& Rect) override;
    void drawForeground(QPainter* Painter, const QRectF& Rect) override;
    void mousePressEvent(QMouseEvent* Event) override;
    void mouseMoveEvent(QMouseEvent* Event) override;
    void mouseReleaseEvent(QMouseEvent* Event) override;

private:
    QTransform ChartToView() const;

    bool FLog = false;
    QList<QPointF> FPoints;  // reused each block
};

}  // namespace tilo
