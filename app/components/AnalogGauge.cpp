#include "app/components/AnalogGauge.h"

#include <QEvent>
#include <QFontInfo>
#include <QFontMetrics>
#include <QPainter>

#include <cmath>
#include <cstring>
#include <numbers>

#include "classlib/NumConv.h"

namespace tilo {

namespace {

int32_t Round(double v) { return static_cast<int32_t>(std::lrint(v)); }  // halves to even

// The radius of the dial at the design size (225 x 180, 120 degrees), where the scale
// numbers have the gauge's own font; and the smallest their font gets.
constexpr int32_t DesignRadius = 118;
constexpr int32_t MinValuePixels = 6;

double Radians(double degrees) { return degrees * std::numbers::pi / 180.0; }

// The ellipse inside the box (L, T) .. (R, B), right and bottom edges excluded.
void Ellipse(QPainter& P, int32_t L, int32_t T, int32_t R, int32_t B) {
    if (R < L) std::swap(L, R);
    if (B < T) std::swap(T, B);
    P.drawEllipse(QRect(L, T, std::max(R - L - 1, 0), std::max(B - T - 1, 0)));
}

// Writes Text with its top left corner at (X, Y).
void TextOut(QPainter& P, int32_t X, int32_t Y, const QString& Text) {
    P.drawText(QPoint(X, Y + P.fontMetrics().ascent()), Text);
}

}  // namespace

TDialGeometry DialGeometry(TStyle Style, int32_t Angle, int32_t Margin, int32_t K, int32_t W, int32_t H) {
    const int32_t m = Margin * K;
    TDialGeometry g{};
    g.Angle = Angle;
    switch (Style) {
    case LeftStyle:
    case RightStyle:
        if (g.Angle > 90) g.Angle = 90;
        g.Start = Style == LeftStyle ? 90 : 0;
        g.CenterX = Style == LeftStyle ? m : W - m;
        g.CenterY = H - m;
        g.Radius = W - 2 * m;
        break;
    case CenterStyle:
        g.Start = (180.0 - g.Angle) / 2;
        g.CenterX = W / 2.0;
        if (g.Angle <= 180) {
            g.Radius = std::min(Round((W - 2 * m) / 2.0 / std::cos(Radians(g.Start))), H - 2 * m);
            g.CenterY = g.Radius + (H - g.Radius) / 2;
        } else {
            // Past a half circle the ends hang below the centre by r sin(-Start): the dial
            // is 2r wide and r (1 + sin(-Start)) high, and both must fit inside the margin.
            const double below = std::sin(Radians(-g.Start));
            g.Radius = std::min((W - 2 * m) / 2, static_cast<int32_t>((H - 2 * m) / (1 + below)));
            g.CenterY = m + g.Radius + ((H - 2 * m) - Round(g.Radius * (1 + below))) / 2;
        }
        break;
    }
    return g;
}

QPoint DialPoint(const TDialGeometry& G, double T, double Q) {
    return QPoint(Round(G.CenterX - Q * std::cos(Radians(T))), Round(G.CenterY - Q * std::sin(Radians(T))));
}

double ValueAngle(const TDialGeometry& G, double V, int32_t Scale) { return V * G.Angle / Scale + G.Start; }

std::vector<std::string> ScaleValues(int32_t Scale, int32_t NumberMainTicks) {
    std::vector<std::string> values;
    for (int32_t i = 0; i <= NumberMainTicks && NumberMainTicks > 0; ++i) {
        values.push_back(classlib::IntToStr(static_cast<int64_t>(i) * Scale / NumberMainTicks));
    }
    return values;
}

void AntiAliasImage(const QImage& Work, QImage& Out, int32_t K) {
    const int32_t w = Work.width() / K, h = Work.height() / K;
    if (Out.size() != QSize(w, h) || Out.format() != QImage::Format_RGB32) Out = QImage(w, h, QImage::Format_RGB32);
    AntiAliasImage(Work, Out, K, Out.rect());
}

void AntiAliasImage(const QImage& Work, QImage& Out, int32_t K, const QRect& OutRect) {
    const QRect r = OutRect & Out.rect();
    const uint32_t n = static_cast<uint32_t>(K * K);
    for (int32_t y = r.top(); y <= r.bottom(); ++y) {
        QRgb* out = reinterpret_cast<QRgb*>(Out.scanLine(y));
        for (int32_t x = r.left(); x <= r.right(); ++x) {
            uint32_t red = 0, green = 0, blue = 0;
            for (int32_t dy = 0; dy < K; ++dy) {
                const QRgb* in = reinterpret_cast<const QRgb*>(Work.constScanLine(y * K + dy)) + x * K;
                for (int32_t dx = 0; dx < K; ++dx) {
                    red += qRed(in[dx]);
                    green += qGreen(in[dx]);
                    blue += qBlue(in[dx]);
                }
            }
            out[x] = qRgb(static_cast<int>(red / n), static_cast<int>(green / n), static_cast<int>(blue / n));
        }
    }
}

TAnalogGauge::TAnalogGauge(QWidget* Parent) : QWidget(Parent) {
    FFaceColor = palette().color(QPalette::Button);
    FFaceOptions.set();
    FFaceOptions.reset(ShowCircles).reset(ShowIndicatorMin).reset(ShowIndicatorMid);
    setMinimumSize(60, 50);
    resize(225, 180);
    FReady = true;
    RedrawAll();
}

void TAnalogGauge::SetAngle(int32_t Value) {
    if (Value >= 11 && Value <= 360) FAngle = Value;
    RedrawAll();
}

void TAnalogGauge::SetArrowWidth(int32_t Value) {
    Value = std::clamp(Value, 1, 5);
    if (Value == FArrowWidth) return;
    FArrowWidth = Value;
    RedrawNeedle();
}

void TAnalogGauge::SetPosition(float Value) {
    if (Value == FPosition) return;
    FPosition = Value;
    if (FPosition > FIndMaximum && OnOverMax) OnOverMax(this);
    if (FIndMinimum > FPosition && OnOverMin) OnOverMin(this);
    RedrawNeedle();
}

void TAnalogGauge::SetScale(int32_t Value) {
    if (Value > 1) {
        FScale = Value;
        if (FIndMaximum >= FScale) FIndMaximum = FScale - 1;
        if (FIndMinimum > FScale - FIndMaximum) FIndMinimum = FScale - FIndMaximum;
    }
    RedrawAll();
}

void TAnalogGauge::SetIndMaximum(int32_t Value) {
    if (Value >= 1 && Value <= FScale - 1) FIndMaximum = Value;
    RedrawAll();
}

void TAnalogGauge::SetIndMinimum(int32_t Value) {
    if (Value >= 1 && Value <= FScale - 1) FIndMinimum = Value;
    RedrawAll();
}

void TAnalogGauge::SetCaption(const std::string& Value) { SetFaceValue(FCaption, Value); }

void TAnalogGauge::SetAntiAliased(TAntialiased Value) {
    if (Value == FAntiAliased) return;
    FAntiAliased = Value;
    MakeImages();
    RedrawAll();
}

void TAnalogGauge::MakeImages() {
    const int32_t k = Factor();
    FFace = QImage(width() * k, height() * k, QImage::Format_RGB32);
    FWork = QImage(FFace.size(), QImage::Format_RGB32);
    FAAImage = k > 1 ? QImage(size(), QImage::Format_RGB32) : QImage();
}

TDialGeometry TAnalogGauge::Geometry() {
    const TDialGeometry g = DialGeometry(FStyle, FAngle, FMargin, Factor(), FFace.width(), FFace.height());
    FAngle = g.Angle;  // the side styles keep their quarter dial
    return g;
}

void TAnalogGauge::RedrawAll() {
    if (!FReady) return;
    if (FFace.size() != size() * Factor()) MakeImages();
    DrawFace();
    FNeedleRect = QRect();
    RedrawNeedle();
}

void TAnalogGauge::DrawFace() {
    const int32_t k = Factor();
    const int32_t W = FFace.width(), H = FFace.height(), m = FMargin * k;
    const TDialGeometry g = Geometry();
    const int32_t r = g.Radius;
    const auto has = [this](TFaceOption o) { return FFaceOptions.test(o); };
    FValueRects.clear();

    QPainter p(&FFace);
    QFont f = font();
    f.setPixelSize(QFontInfo(font()).pixelSize() * k);
    p.setFont(f);
    p.fillRect(FFace.rect(), FFaceColor);
    p.setBrush(Qt::NoBrush);

    if (has(ShowFrame)) {
        if (has(Show3D)) {
            p.setPen(QPen(palette().color(QPalette::Dark), 2 * k));
            p.drawLine(0, 0, W - 1, 0);
            p.drawLine(0, 0, 0, H - 1);
            p.setPen(QPen(palette().color(QPalette::Light), 2 * k));
            p.drawLine(0, H - 1, W - 1, H - 1);
            p.drawLine(W - 1, 0, W - 1, H - 1);
        } else {
            p.setPen(QPen(palette().color(QPalette::ButtonText), k));
            p.drawRect(0, 0, W - 1, H - 1);
        }
    }
    if (has(ShowMargin)) {
        p.setPen(QPen(FMarginColor, k));
        p.drawRect(QRect(QPoint(m, m), QPoint(W - m - 1, H - m - 1)));
    }
    if (has(ShowCaption)) {
        const QString text = QString::fromLatin1(FCaption.data(), static_cast<int>(FCaption.size()));
        const QPoint at = DialPoint(g, g.Angle / 2.0 + g.Start, r / 2.0);
        p.setPen(FCaptionColor);
        TextOut(p, at.x() - p.fontMetrics().horizontalAdvance(text) / 2, at.y(), text);
    }

    // Range arcs run counter-clockwise from their first angle to their second one.
    const QRectF circle(g.CenterX - r, g.CenterY - r, 2.0 * r, 2.0 * r);
    const auto arc = [&](const QColor& colour, double from, double to) {
        p.setPen(QPen(colour, 4 * k, Qt::SolidLine, Qt::FlatCap));
        double span = std::fmod(from - to, 360.0);
        if (span < 0) span += 360;
        if (span == 0) span = 360;
        p.drawArc(circle, Round((180 - from) * 16), Round(span * 16));
    };
    if (has(ShowIndicatorMax)) arc(FMaxColor, ValueAngle(g, FScale, FScale), ValueAngle(g, FIndMaximum, FScale));
    if (has(ShowIndicatorMid) && FIndMinimum < FIndMaximum) {
        arc(FMidColor, ValueAngle(g, FIndMaximum, FScale), ValueAngle(g, FIndMinimum, FScale));
    }
    if (has(ShowIndicatorMin)) arc(FMinColor, ValueAngle(g, FIndMinimum, FScale), g.Start);

    // No main ticks means no scale at all: nothing to divide the dial by.
    const int32_t n = FNumberMainTicks;
    if (n <= 0) return;
    const QPen ticks(FTicksColor, k);
    p.setPen(ticks);
    if (has(ShowSubTicks)) {
        for (int32_t i = 0; i <= 5 * n; ++i) {
            const double t = i * static_cast<double>(g.Angle) / (5.0 * n) + g.Start;
            p.drawLine(DialPoint(g, t, r - FLengthSubTicks * k), DialPoint(g, t, r));
        }
    }
    const std::vector<std::string> values = ScaleValues(FScale, n);
    // Where number i is written in font metrics Fm: centred on its point left of the tick.
    const auto place = [&](int32_t i, const QFontMetrics& Fm) {
        const double t = i * static_cast<double>(g.Angle) / n + g.Start;
        const QString text = QString::fromStdString(values[i]);
        const int32_t x = DialPoint(g, t, r - FLengthMainTicks * k - i - 5).x();
        const int32_t y = DialPoint(g, t, r - FLengthMainTicks * k - 5).y();
        const int32_t width = Fm.horizontalAdvance(text);
        return QRect(x - width / 2, y, width, Fm.height());
    };
    // The numbers' font follows the dial: the gauge's own font on a dial of the design
    // size or larger, smaller on a smaller one, and smaller still until no two
    // neighbouring numbers touch.
    QFont valueFont = p.font();
    if (has(ShowValues)) {
        const int32_t own = p.font().pixelSize();
        int32_t size = std::min(own, std::max(1, Round(double(own) * r / (DesignRadius * k))));
        for (; size > MinValuePixels * k; --size) {
            valueFont.setPixelSize(size);
            const QFontMetrics fm(valueFont);
            bool apart = true;
            for (int32_t i = 0; i < n && apart; ++i) apart = !place(i, fm).intersects(place(i + 1, fm));
            if (apart) break;
        }
        valueFont.setPixelSize(size);
    }
    for (int32_t i = 0; i <= n; ++i) {
        const double t = i * static_cast<double>(g.Angle) / n + g.Start;
        if (has(ShowMainTicks)) p.drawLine(DialPoint(g, t, r - FLengthMainTicks * k), DialPoint(g, t, r));
        if (has(ShowCircles)) {
            const QPoint c = DialPoint(g, t, r);
            const int32_t cr = FCircleRadius * k;
            p.setBrush(FCircleColor);
            Ellipse(p, c.x() - cr, c.y() - cr, c.x() + cr, c.y() + cr);
            p.setBrush(Qt::NoBrush);
        }
        if (has(ShowValues)) {
            const QFont face = p.font();
            p.setFont(valueFont);
            const QRect box = place(i, p.fontMetrics());
            p.setPen(FValueColor);
            p.setBackgroundMode(Qt::OpaqueMode);
            p.setBackground(FFaceColor);
            TextOut(p, box.left(), box.top(), QString::fromStdString(values[i]));
            p.setBackgroundMode(Qt::TransparentMode);
            p.setPen(ticks);
            p.setFont(face);
            FValueRects.push_back(
                QRect(box.left() / k, box.top() / k, (box.width() + k - 1) / k, (box.height() + k - 1) / k));
        }
    }
}

void TAnalogGauge::RedrawNeedle() {
    if (!FReady) return;
    const int32_t k = Factor();
    if (FFace.size() != size() * k) {
        RedrawAll();
        return;
    }
    const TDialGeometry g = Geometry();
    const QPoint centre = DialPoint(g, 0, 0);
    // The needle stops at the ends of the scale; Position keeps the value it was given.
    float shown = FPosition;
    if (!(shown >= 0)) shown = 0;  // below the scale, or not a number
    if (shown > static_cast<float>(FScale)) shown = static_cast<float>(FScale);
    const QPoint tip = DialPoint(g, FAngle * shown / FScale + g.Start, g.Radius);
    FNeedleTip = QPoint(tip.x() / k, tip.y() / k);
    const int32_t pen = k * FArrowWidth;
    const bool disc = FFaceOptions.test(ShowCenter);
    const int32_t cr = k * FCenterRadius;

    // Everything the needle and its centre disc may touch, with the pen's width to spare.
    const int32_t spare = pen + 2;
    QRect needle = QRect(centre, tip).normalized().adjusted(-spare, -spare, spare, spare);
    if (disc) needle |= QRect(centre, centre).adjusted(-cr - spare, -cr - spare, cr + spare, cr + spare);

    QRect dirty;
    if (FNeedleRect.isNull() || FWork.size() != FFace.size()) {
        FWork = FFace.copy();
        dirty = FWork.rect();
    } else {
        dirty = (FNeedleRect | needle) & FWork.rect();
        const qsizetype bytes = static_cast<qsizetype>(dirty.width()) * 4;
        for (int32_t y = dirty.top(); y <= dirty.bottom(); ++y) {
            std::memcpy(FWork.scanLine(y) + dirty.left() * 4, FFace.constScanLine(y) + dirty.left() * 4,
                        static_cast<std::size_t>(bytes));
        }
    }
    FNeedleRect = needle;
    {
        QPainter p(&FWork);
        QPen arrow(FArrowColor, pen);
        arrow.setCapStyle(Qt::RoundCap);
        p.setPen(arrow);
        p.drawLine(centre, tip);
        if (disc) {
            p.setBrush(FCenterColor);
            Ellipse(p, centre.x() - cr, centre.y() - cr, centre.x() + cr, centre.y() + cr);
        }
    }
    if (k > 1) {
        const QRect shown(QPoint(dirty.left() / k, dirty.top() / k), QPoint(dirty.right() / k, dirty.bottom() / k));
        AntiAliasImage(FWork, FAAImage, k, shown);
        update(shown);
    } else {
        update(dirty);
    }
}

void TAnalogGauge::paintEvent(QPaintEvent*) {
    if (ShownImage().size() != size()) RedrawAll();
    QPainter p(this);
    p.drawImage(0, 0, ShownImage());
}

void TAnalogGauge::resizeEvent(QResizeEvent* Event) {
    QWidget::resizeEvent(Event);
    if (width() < 60 || height() < 50) {
        resize(std::max(width(), 60), std::max(height(), 50));
        return;
    }
    MakeImages();
    RedrawAll();
}

void TAnalogGauge::changeEvent(QEvent* Event) {
    QWidget::changeEvent(Event);
    if (Event->type() == QEvent::FontChange) RedrawAll();
}

}  // namespace tilo
