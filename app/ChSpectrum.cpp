#include "app/ChSpectrum.h"

#include <QChart>
#include <QLineSeries>
#include <QLogValueAxis>
#include <QMouseEvent>
#include <QValueAxis>

#include <algorithm>
#include <cmath>

namespace tilo {

int32_t SpectrumX(double F, double Left, double Right, double AxisMax) {
    if (!(AxisMax > 0)) return int32_t(std::nearbyint(Left));
    return int32_t(std::nearbyint(F * (Right - Left) / AxisMax + Left));
}

namespace {

void StyleAxis(QAbstractAxis* A) {
    const QColor grid(0, 80, 0), text(192, 192, 192);
    A->setGridLineColor(grid);
    A->setLabelsColor(text);
    A->setLinePenColor(grid);
}

}  // namespace

// The view is made with its chart: setChart would leave the view's default chart unowned.
TSpectrumChart::TSpectrumChart(QWidget* Parent) : QChartView(new QChart, Parent) {
    QChart* chart = this->chart();
    chart->legend()->hide();
    chart->setBackgroundVisible(false);
    chart->setPlotAreaBackgroundVisible(false);
    chart->setMargins(QMargins(4, 4, 4, 4));
    Series = new QLineSeries(chart);
    Series->setUseOpenGL(false);
    Series->setPen(QPen(QColor(0, 255, 0), 1));
    chart->addSeries(Series);
    BottomAxis = new QValueAxis(chart);
    BottomAxis->setRange(0, 2756);
    BottomAxis->setLabelFormat("%d");
    LinearAxis = new QValueAxis(chart);
    LinearAxis->setRange(0, 100);
    LinearAxis->setLabelFormat("%d");
    for (QAbstractAxis* a : std::initializer_list<QAbstractAxis*>{BottomAxis, LinearAxis}) StyleAxis(a);
    chart->addAxis(BottomAxis, Qt::AlignBottom);
    chart->addAxis(LinearAxis, Qt::AlignLeft);
    Series->attachAxis(BottomAxis);
    Series->attachAxis(LinearAxis);
    setBackgroundBrush(Qt::black);
    setRenderHint(QPainter::Antialiasing, false);
    // The marks are painted over the whole view and follow the tuning: a repaint of only
    // the series' region would leave a frequency label of an earlier tuning standing.
    setViewportUpdateMode(QGraphicsView::FullViewportUpdate);
}

void TSpectrumChart::SetAxisMaximum(double Max) { BottomAxis->setRange(0, Max); }
double TSpectrumChart::AxisMaximum() const { return BottomAxis->max(); }

void TSpectrumChart::SetLogarithmic(bool Log) {
    if (Log == FLog) return;
    // The logarithmic axis joins the chart on first use: an axis kept hidden in a chart
    // from its first showing is never freed by Qt Charts.
    if (!LogAxis) {
        LogAxis = new QLogValueAxis(chart());
        LogAxis->setRange(0.1, 100);
        LogAxis->setBase(10);
        LogAxis->setLabelFormat("%g");
        StyleAxis(LogAxis);
        chart()->addAxis(LogAxis, Qt::AlignLeft);
    }
    QAbstractAxis* from = FLog ? static_cast<QAbstractAxis*>(LogAxis) : LinearAxis;
    QAbstractAxis* to = Log ? static_cast<QAbstractAxis*>(LogAxis) : LinearAxis;
    Series->detachAxis(from);
    from->setVisible(false);
    to->setVisible(true);
    Series->attachAxis(to);
    FLog = Log;
    // Points below the logarithmic floor are drawn on it.
    if (FLog) {
        QList<QPointF> pts = Series->points();
        for (QPointF& p : pts) p.setY(std::max(p.y(), 0.1));
        Series->replace(pts);
    }
}

void TSpectrumChart::SetSpectrum(const TSpectrum& Spectrum) {
    FPoints.resize(Spectrum.size() > 1 ? qsizetype(Spectrum.size() - 1) : 0);
    for (std::size_t i = 1; i < Spectrum.size(); ++i) {
        const double y = FLog ? std::max(Spectrum[i].Mag, 0.1) : Spectrum[i].Mag;
        FPoints[qsizetype(i - 1)] = QPointF(Spectrum[i].Freq, y);
    }
    Series->replace(FPoints);
}

QTransform TSpectrumChart::ChartToView() const { return chart()->sceneTransform() * viewportTransform(); }

int32_t TSpectrumChart::XOf(double F) const {
    const QRectF area = chart()->plotArea();
    const QTransform t = ChartToView();
    return SpectrumX(F, t.map(area.topLeft()).x(), t.map(area.topRight()).x(), BottomAxis->max());
}

double TSpectrumChart::FrequencyAt(double X) const {
    const QPointF p = ChartToView().inverted().map(QPointF(X, 0));
    return chart()->mapToValue(p, Series).x();
}

double TSpectrumChart::ValueAt(double Y) const {
    const QPointF p = ChartToView().inverted().map(QPointF(0, Y));
    return chart()->mapToValue(p, Series).y();
}

void TSpectrumChart::drawBackground(QPainter* Painter, const QRectF& Rect) {
    QChartView::drawBackground(Painter, Rect);
    if (!OnBeforeDrawAxes) return;
    Painter->save();
    Painter->resetTransform();
    OnBeforeDrawAxes(*Painter);
    Painter->restore();
}

void TSpectrumChart::drawForeground(QPainter* Painter, const QRectF& Rect) {
    QChartView::drawForeground(Painter, Rect);
    if (!OnAfterDraw) return;
    Painter->save();
    Painter->resetTransform();
    OnAfterDraw(*Painter);
    Painter->restore();
}

void TSpectrumChart::mousePressEvent(QMouseEvent* Event) {
    if (OnMouseDown) OnMouseDown(*Event);
    else QChartView::mousePressEvent(Event);
}

void TSpectrumChart::mouseMoveEvent(QMouseEvent* Event) {
    if (OnMouseMove) OnMouseMove(*Event);
    else QChartView::mouseMoveEvent(Event);
}

void TSpectrumChart::mouseReleaseEvent(QMouseEvent* Event) {
    if (OnMouseUp) OnMouseUp(*Event);
    else QChartView::mouseReleaseEvent(Event);
}

}  // namespace tilo
