#include "app/components/Led.h"

#include <QPainter>
#include <QTimer>

#include <algorithm>

namespace tilo {

namespace {

// The ellipse inside the box (L, T) .. (R, B), right and bottom edges excluded.
void Ellipse(QPainter& P, int L, int T, int R, int B) {
    if (R < L) std::swap(L, R);
    if (B < T) std::swap(T, B);
    P.drawEllipse(QRect(L, T, std::max(R - L - 1, 0), std::max(B - T - 1, 0)));
}

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
    QPainter p(this);
    const int w = width(), h = height();

    // The shape: the largest circle that fits, centred, inside its pen.
    const int pw = std::max(Pen.width(), 1);
    int x = pw / 2, y = pw / 2, sw = w - pw + 1, sh = h - pw + 1;
    if (sw < sh) {
        y += (sh - sw) / 2;
        sh = sw;
    } else {
        x += (sw - sh) / 2;
        sw = sh;
    }
    p.setPen(Pen);
    p.setBrush(Brush);
    Ellipse(p, x, y, x + sw, y + sh);

    p.setPen(FStatus ? QColor(Qt::black) : Grey);
    p.setBrush(FStatus ? FOnColor : FOffColor);
    for (int inset : {1, 2, 3, 5}) Ellipse(p, inset, inset, w - inset, h - inset);

    p.setPen(FStatus ? QColor(Qt::white) : Grey);
    p.setBrush(FStatus ? QColor(Qt::white) : Silver);
    Ellipse(p, w / 2 + 1, h / 2 - 1, w / 2 + 4, h / 2 - 4);
}

}  // namespace tilo
