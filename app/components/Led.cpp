#include "app/components/Led.h"

#include <QPainter>
#include <QTimer>

#include <algorithm>

namespace tilo {

namespace {

const QColor Grey(128, 128, 128);
const QColor Silver(192, 192, 192);

}  // namespace

TLed::TLed(QWidget* Parent) : QWidget(Parent), FTimer(new QTimer(this)) {
    Brush = QBrush(FOffColor);
    resize(20, 20);
    FTimer->setInterval(FFlashInterval);
    connect(FTimer, &QTimer::timeout, this, &TLed::FlashTimerTimer);
}

void TLed::SetOnColor(const QColor& Value) {
    FOnColor = Value;
    update();
}

void TLed::SetOffColor(const QColor& Value) {
    FOffColor = Value;
    update();
}

void TLed::SetStatus(bool Value) {
    FStatus = Value;
    update();
}

void TLed::SetFlash(bool Value) {
    if (Value == FFlash) return;
    FFlash = Value;
    if (FFlash) {
        FTimer->start();
    } else {
        FTimer->stop();
    }
}

void TLed::SetFlashInterval(int32_t Value) {
    FFlashInterval = Value;
    FTimer->setInterval(Value);
}

void TLed::FlashTimerTimer() {
    repaint();
    SetStatus(!FStatus);
}

void TLed::paintEvent(QPaintEvent*) {
    // Drawn for a 20 x 20 lamp and scaled to the widget's size, smooth at any size: the
    // rings' insets, their pen and the highlight all grow with the lamp.
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const double side = std::min(width(), height());
    const double s = side / 20.0;
    const QPointF origin((width() - side) / 2.0, (height() - side) / 2.0);
    const double pen = std::max(1.0, s);
    // The circle inset by Inset lamp pixels, an outline Width lamp pixels wide inside it.
    const auto ring = [&](double Inset, double Width) {
        const double in = Inset * s + Width * pen / 2;
        p.drawEllipse(QRectF(origin.x() + in, origin.y() + in, side - 2 * in, side - 2 * in));
    };

    // The shape.
    QPen outline = Pen;
    outline.setWidthF(std::max(Pen.widthF(), 1.0) * s);
    p.setPen(outline);
    p.setBrush(Brush);
    ring(0, std::max(Pen.widthF(), 1.0));

    // The three rings inset by 1, 2 and 3 touch: drawn as one band of three widths, so
    // that no seam of the fill shows between them when smoothed; then the one at 5.
    const QColor rim = FStatus ? QColor(Qt::black) : Grey;
    p.setBrush(FStatus ? FOnColor : FOffColor);
    p.setPen(QPen(rim, 3 * pen));
    ring(1, 3);
    p.setPen(QPen(rim, pen));
    ring(5, 1);

    // The highlight: the box from (W/2 + 1, H/2 - 1) to (W/2 + 4, H/2 - 4) of the 20-pixel lamp.
    p.setPen(QPen(FStatus ? QColor(Qt::white) : Grey, pen));
    p.setBrush(FStatus ? QColor(Qt::white) : Silver);
    const QPointF c = origin + QPointF(side / 2, side / 2);
    p.drawEllipse(QRectF(c.x() + 1 * s + pen / 2, c.y() - 4 * s + pen / 2, 3 * s - pen, 3 * s - pen));
}

}  // namespace tilo
