// TLed: a round indicator lamp (synchronisation, tuning and status lamps). Status shows
// OnColor or OffColor with three rings, an inner disc and a highlight; while Flash is
// on, the owned timer's tick repaints and then inverts Status every FlashInterval ms,
// and switching Flash off keeps whatever state the lamp is in.
#pragma once

#include <QBrush>
#include <QColor>
#include <QPen>
#include <QWidget>

#include <cstdint>

class QTimer;

namespace tilo {

class TLed : public QWidget {
    Q_OBJECT

public:
    explicit TLed(QWidget* Parent = nullptr);

    QColor OnColor() const { return FOnColor; }
    void SetOnColor(const QColor& Value);
    QColor OffColor() const { return FOffColor; }
    void SetOffColor(const QColor& Value);
    bool Status() const { return FStatus; }
    void SetStatus(bool Value);              // repaints always
    bool Flash() const { return FFlash; }
    void SetFlash(bool Value);
    int32_t FlashInterval() const { return FFlashInterval; }
    void SetFlashInterval(int32_t Value);

    // The shape's own outline and fill (a black pen, the off colour at creation).
    QPen Pen{Qt::black};
    QBrush Brush;

    const QTimer& FlashTimer() const { return *FTimer; }
    // The flash timer's tick: repaint, then invert Status.
    void FlashTimerTimer();

protected:
    void paintEvent(QPaintEvent* Event) override;

private:
    QColor FOnColor{Qt::red};
    QColor FOffColor{Qt::black};
    bool FStatus = false;
    bool FFlash = false;
    int32_t FFlashInterval = 500;
    QTimer* FTimer;  // owned through the widget's children
};

}  // namespace tilo
