#include "app/ORQDlgWait.h"

#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QWindowStateChangeEvent>

namespace tilo {

TfrmWait::TfrmWait(QWidget* Parent)
    : QDialog(Parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowStaysOnTopHint) {
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle("Please Wait...");
    setFixedSize(312, 118);
    setCursor(Qt::WaitCursor);

    lMessage = new QLabel("Wait...", this);
    // The progress bar's margins: a long message wraps well inside the window's edges.
    lMessage->setGeometry(8, 0, 296, 49);
    lMessage->setAlignment(Qt::AlignCenter);
    lMessage->setWordWrap(true);

    pb = new QProgressBar(this);
    pb->setGeometry(8, 52, 296, 18);
    pb->setRange(0, 100);
    pb->setValue(0);
    pb->setTextVisible(false);

    btnCancel = new QPushButton("Abort", this);
    btnCancel->setGeometry(24, 80, 120, 28);
    btnCancel->setDefault(true);
    btnCancel->setAutoDefault(true);
    connect(btnCancel, &QPushButton::clicked, this, &TfrmWait::btnCancelClick);

    btnBgMode = new QPushButton("Background Mode", this);
    btnBgMode->setGeometry(168, 80, 120, 28);
    btnBgMode->setAutoDefault(false);
    connect(btnBgMode, &QPushButton::clicked, this, &TfrmWait::btnBgModeClick);

    ShowTimer = new QTimer(this);
    ShowTimer->setInterval(500);
    connect(ShowTimer, &QTimer::timeout, this, &TfrmWait::ShowFormOnTimer);

    if (const QScreen* s = QGuiApplication::primaryScreen()) move(s->availableGeometry().center() - rect().center());
}

TfrmWait::~TfrmWait() {
    HookRestore(false);
    FormHide();
}

void TfrmWait::StartWait(const QString& Message) {
    lMessage->setText(Message);
    FAborted = false;
    btnCancel->setFocus();
    FShown = false;
    FStopped = false;
    ShowTimer->start();
}

void TfrmWait::ShowFormOnTimer() {
    ShowTimer->stop();
    if (!FStopped && pb->value() <= 50) show();
    QCoreApplication::processEvents();
}

void TfrmWait::showEvent(QShowEvent* Event) {
    QDialog::showEvent(Event);
    if (Event->spontaneous() || FShown) return;
    ShowTimer->stop();
    FActiveWindow = QApplication::activeWindow();
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w != this && w->isVisible() && w->isEnabled()) {
            w->setEnabled(false);
            FDisabledWindows.emplace_back(w);
        }
    }
    FShown = true;
}

void TfrmWait::hideEvent(QHideEvent* Event) {
    QDialog::hideEvent(Event);
    if (!Event->spontaneous()) FormHide();
}

void TfrmWait::FormHide() {
    ShowTimer->stop();
    if (!FShown) return;
    for (const QPointer<QWidget>& w : FDisabledWindows) {
        if (w) w->setEnabled(true);
    }
    FDisabledWindows.clear();
    if (FActiveWindow) FActiveWindow->activateWindow();
    FShown = false;
}

void TfrmWait::btnCancelClick() { FAborted = true; }

void TfrmWait::reject() { btnCancel->click(); }

void TfrmWait::btnBgModeClick() {
    HookRestore(true);
    hide();
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w != this && w->isVisible()) w->showMinimized();
    }
    QCoreApplication::processEvents();
}

void TfrmWait::HookRestore(bool On) {
    if (On == FRestoreHooked) return;
    FRestoreHooked = On;
    if (On) {
        qApp->installEventFilter(this);
    } else {
        qApp->removeEventFilter(this);
    }
}

bool TfrmWait::eventFilter(QObject* Watched, QEvent* Event) {
    if (FRestoreHooked && Event->type() == QEvent::WindowStateChange && Watched->isWidgetType()) {
        const QWidget* w = static_cast<QWidget*>(Watched);
        const auto* change = static_cast<QWindowStateChangeEvent*>(Event);
        if (w != this && w->isWindow() && (change->oldState() & Qt::WindowMinimized) &&
            !(w->windowState() & Qt::WindowMinimized)) {
            // Deferred: the restore is still being delivered to the window.
            QTimer::singleShot(0, this, &TfrmWait::ApplicationRestore);
        }
    }
    return false;
}

void TfrmWait::ApplicationRestore() {
    if (!FRestoreHooked) return;
    HookRestore(false);
    StartWait(lMessage->text());
    QCoreApplication::processEvents();
}

void TfrmWait::StopWait() {
    HookRestore(false);
    hide();
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w != this && w->isVisible() && w->isMinimized()) w->showNormal();
    }
    FStopped = true;
    close();
}

}  // namespace tilo
