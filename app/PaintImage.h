// TPaintImage: a paint box or image control that shows a QImage of its own, for the
// waterfall and the scope. It is opaque: it paints every pixel, so Qt never erases its
// background first (no flicker at 10 lines a second).
#pragma once

#include <QImage>
#include <QPainter>
#include <QWidget>

namespace tilo {

class TPaintImage : public QWidget {
    Q_OBJECT

public:
    explicit TPaintImage(QWidget* Parent = nullptr) : QWidget(Parent) {
        setAttribute(Qt::WA_OpaquePaintEvent);
    }
    // What the control shows, scaled to it; a null image paints black.
    QImage Picture;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        if (Picture.isNull()) p.fillRect(rect(), Qt::black);
        else p.drawImage(rect(), Picture);
    }
};

}  // namespace tilo
