// TFrmAbout: the about box. A tool window that stays on top, black, with a picture drawn
// at run time (no image file to install) and one button, "CLOSE", that hides it. The
// main window's picture shows it centred on the main window.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace tilo {

class TFrmAbout : public QDialog {
    Q_OBJECT

public:
    explicit TFrmAbout(QWidget* Parent = nullptr);
    // Centres the box on Owner and shows it.
    void ShowOver(QWidget* Owner);
    void SpeedButton1Click();

    QLabel* Image1;
    QPushButton* SpeedButton1;
};

// The receiver's picture: a mast sending to a ship over the sea, in Size x Size pixels.
QImage TiloPicture(int Size);

}  // namespace tilo
