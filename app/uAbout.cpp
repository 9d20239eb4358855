#include "app/uAbout.h"

#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QVBoxLayout>

namespace tilo {

QImage TiloPicture(int Size) {
    QImage image(Size, Size, QImage::Format_RGB32);
    image.fill(Qt::black);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const double s = Size / 100.0;
    p.fillRect(QRectF(0, 70 * s, Size, 30 * s), QColor(0, 40, 90));  // the sea
    p.setPen(QPen(QColor(200, 200, 200), 2 * s));
    p.drawLine(QPointF(20 * s, 70 * s), QPointF(20 * s, 20 * s));    // the mast
    p.drawLine(QPointF(12 * s, 70 * s), QPointF(20 * s, 20 * s));
    p.drawLine(QPointF(28 * s, 70 * s), QPointF(20 * s, 20 * s));
    p.setPen(QPen(QColor(0, 200, 0), 1.5 * s));
    for (int r = 1; r <= 3; ++r)                                        // its signal
        p.drawArc(QRectF((20 - 8 * r) * s, (20 - 8 * r) * s, 16 * r * s, 16 * r * s), -40 * 16, 80 * 16);
    QPainterPath hull;                                                 // the ship
    hull.moveTo(60 * s, 66 * s);
    hull.lineTo(90 * s, 66 * s);
    hull.lineTo(85 * s, 74 * s);
    hull.lineTo(64 * s, 74 * s);
    hull.closeSubpath();
    p.fillPath(hull, QColor(220, 220, 220));
    p.fillRect(QRectF(70 * s, 58 * s, 10 * s, 8 * s), QColor(220, 220, 220));
    return image;
}

TFrmAbout::TFrmAbout(QWidget* Parent) : QDialog(Parent, Qt::Tool | Qt::WindowStaysOnTopHint) {
    setObjectName("FrmAbout");
    setWindowTitle("About Tilo...");
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Qt::black);
    pal.setColor(QPalette::WindowText, Qt::white);
    setPalette(pal);
    setAutoFillBackground(true);
    auto* layout = new QVBoxLayout(this);
    Image1 = new QLabel(this);
    Image1->setPixmap(QPixmap::fromImage(TiloPicture(200)));
    layout->addWidget(Image1, 0, Qt::AlignCenter);
    auto* text = new QLabel("Tilo 5.6 Tilomark\nNAVTEX receiver", this);
    text->setAlignment(Qt::AlignCenter);
    layout->addWidget(text);
    SpeedButton1 = new QPushButton("CLOSE", this);
    connect(SpeedButton1, &QPushButton::clicked, this, [this] { SpeedButton1Click(); });
    layout->addWidget(SpeedButton1, 0, Qt::AlignCenter);
}

void TFrmAbout::ShowOver(QWidget* Owner) {
    adjustSize();
    if (Owner) move(Owner->geometry().center() - rect().center());
    show();
    raise();
}

void TFrmAbout::SpeedButton1Click() { hide(); }

}  // namespace tilo
