// The engine's dialogs on Qt, offscreen: the wait window driven through the engine's
// interface with its show timer ticked by hand, the password dialog and the message
// boxes answered by a queued click, and grabs of both dialogs.
#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <stdexcept>

#include "QtTestApp.h"
#include "app/ORQDlgWait.h"
#include "app/ORQPasswordDialog.h"
#include "app/QtUserInterface.h"

using namespace tilo;

namespace {

// Runs Answer on the modal dialog once it is up (the caller's exec blocks until then).
void WhenModal(std::function<void(QWidget*)> Answer) {
    QTimer::singleShot(0, [Answer] {
        QWidget* modal = QApplication::activeModalWidget();
        ASSERT_NE(modal, nullptr);
        Answer(modal);
    });
}

// A visible main window, as the program has while an operation runs.
struct MainWindow {
    QWidget w;
    MainWindow() {
        w.resize(300, 200);
        w.show();
        QCoreApplication::processEvents();
    }
};

}  // namespace

TEST(WaitWindow, LooksAsDesigned) {
    TfrmWait f;
    EXPECT_EQ(f.windowTitle(), "Please Wait...");
    EXPECT_EQ(f.size(), QSize(312, 118));
    EXPECT_TRUE(f.windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_FALSE(f.windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(f.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_EQ(f.cursor().shape(), Qt::WaitCursor);
    EXPECT_EQ(f.lMessage->text(), "Wait...");
    EXPECT_EQ(f.lMessage->height(), 49);
    EXPECT_TRUE(f.lMessage->wordWrap());
    EXPECT_EQ(f.btnCancel->text(), "Abort");
    EXPECT_TRUE(f.btnCancel->isDefault());
    EXPECT_EQ(f.btnBgMode->text(), "Background Mode");
    EXPECT_EQ(f.pb->minimum(), 0);
    EXPECT_EQ(f.pb->maximum(), 100);
    EXPECT_EQ(f.ShowTimer->interval(), 500);
    EXPECT_FALSE(f.ShowTimer->isActive());
    EXPECT_FALSE(f.isVisible());
}

TEST(WaitWindow, ShowsOnlyWhileTheOperationIsInItsFirstHalf) {
    MainWindow main;
    for (int percent : {51, 50}) {
        TQtWaitWindow wait;
        TfrmWait* f = wait.Form();
        wait.SetPosition(0);
        wait.StartWait("Compacting Database...");
        EXPECT_EQ(f->lMessage->text(), "Compacting Database...");
        EXPECT_TRUE(f->ShowTimer->isActive());
        EXPECT_FALSE(f->isVisible());
        wait.SetPosition(percent);
        f->ShowFormOnTimer();
        EXPECT_FALSE(f->ShowTimer->isActive());
        EXPECT_EQ(f->isVisible(), percent == 50) << percent;
        EXPECT_EQ(main.w.isEnabled(), percent != 50) << percent;  // the program is held while it shows
        wait.SetPosition(100);
        wait.StopWait();
        EXPECT_TRUE(main.w.isEnabled());
        EXPECT_FALSE(f->isVisible());
    }
}

TEST(WaitWindow, AbortMakesTheNextStepStop) {
    MainWindow main;
    TQtWaitWindow wait;
    wait.StartWait("Copy Table...");
    wait.SetPosition(10);
    wait.Form()->ShowFormOnTimer();
    ASSERT_TRUE(wait.Form()->isVisible());
    EXPECT_FALSE(wait.Aborted());
    wait.Form()->btnCancel->click();
    wait.SetPosition(20);
    EXPECT_TRUE(wait.Aborted());
    EXPECT_TRUE(wait.Form()->isVisible());  // Abort only flags; the operation stops the window
    wait.StopWait();
    EXPECT_TRUE(wait.Aborted());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(wait.Form(), nullptr);  // the closed window freed itself
    EXPECT_TRUE(main.w.isEnabled());

    // Esc presses Abort, and a new start clears the flag.
    TQtWaitWindow again;
    again.StartWait("Import Table...");
    again.MakeVisible();
    QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(again.Form(), &esc);
    EXPECT_TRUE(again.Aborted());
    EXPECT_TRUE(again.Form()->isVisible());
    again.StartWait("Import Table...");
    EXPECT_FALSE(again.Aborted());
    again.StopWait();
}

TEST(WaitWindow, BackgroundModeMinimisesAndARestoreRearmsTheTimer) {
    MainWindow main;
    TQtWaitWindow wait;
    TfrmWait* f = wait.Form();
    wait.StartWait("Repairing Database...");
    wait.SetPosition(20);
    f->ShowFormOnTimer();
    ASSERT_TRUE(f->isVisible());
    EXPECT_FALSE(main.w.isEnabled());

    f->btnBgMode->click();
    EXPECT_FALSE(f->isVisible());
    EXPECT_TRUE(main.w.isMinimized());
    EXPECT_TRUE(main.w.isEnabled());
    EXPECT_FALSE(f->ShowTimer->isActive());

    main.w.showNormal();
    QCoreApplication::processEvents();
    EXPECT_TRUE(f->ShowTimer->isActive());
    EXPECT_EQ(f->lMessage->text(), "Repairing Database...");
    f->ShowFormOnTimer();
    EXPECT_TRUE(f->isVisible());
    EXPECT_FALSE(main.w.isEnabled());

    // Sent to the background again, then stopped: the program comes back, enabled.
    f->btnBgMode->click();
    ASSERT_TRUE(main.w.isMinimized());
    wait.StopWait();
    EXPECT_FALSE(main.w.isMinimized());
    EXPECT_TRUE(main.w.isEnabled());
    EXPECT_FALSE(f->ShowTimer->isActive());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(wait.Form(), nullptr);
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->isVisible()) {
            EXPECT_TRUE(w->isEnabled()) << w->metaObject()->className();
        }
    }
}

TEST(WaitWindow, Grab) {
    TQtWaitWindow wait;
    wait.StartWait("Compacting Database...");
    wait.SetPosition(35);
    wait.MakeVisible();
    tilo_test::SaveGrab(wait.Form()->grab().toImage(), "wait_window");
    wait.StopWait();
}

TEST(PasswordDialog, OkAnswersTheTypedTextAndCancelChangesNothing) {
    std::string password = "old";
    WhenModal([](QWidget* w) {
        auto* d = qobject_cast<TORQPassDialog*>(w);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->windowTitle(), "Database authentication");
        EXPECT_EQ(d->size(), QSize(216, 118));
        EXPECT_EQ(d->Label1->text(), "Password:");
        EXPECT_EQ(d->lbName->text(), "NAVTEX");
        EXPECT_EQ(d->lbName->width(), 193);
        EXPECT_TRUE(d->lbName->alignment() & Qt::AlignHCenter);
        EXPECT_EQ(d->Pass->text(), "");
        EXPECT_EQ(d->Pass->echoMode(), QLineEdit::Password);
        EXPECT_EQ(d->cbOk->text(), "OK");
        EXPECT_TRUE(d->cbOk->isDefault());
        EXPECT_EQ(d->cbCancel->text(), "Cancel");
        d->Pass->setText(QString::fromLatin1("s\xe9same"));
        tilo_test::SaveGrab(d->grab().toImage(), "password_dialog");
        d->cbOk->click();
    });
    EXPECT_TRUE(ShowPasswordDialog(password, "NAVTEX"));
    EXPECT_EQ(password, "s\xe9same");

    WhenModal([](QWidget* w) {
        auto* d = qobject_cast<TORQPassDialog*>(w);
        ASSERT_NE(d, nullptr);
        d->Pass->setText("typed");
        d->cbCancel->click();
    });
    EXPECT_FALSE(ShowPasswordDialog(password, ""));
    EXPECT_EQ(password, "s\xe9same");
}

TEST(QtUserInterface, ServesTheEnginesDialogs) {
    TQtUserInterface ui;
    orq::TORQUserInterface* before = orq::SetUserInterface(&ui);

    WhenModal([](QWidget* w) {
        auto* d = qobject_cast<TORQPassDialog*>(w);
        ASSERT_NE(d, nullptr);
        d->Pass->setText("secret");
        d->cbOk->click();
    });
    std::string password;
    EXPECT_TRUE(orq::UserInterface().PasswordDialog("", password));
    EXPECT_EQ(password, "secret");

    const std::string question = "Database file was not correctly closed last time. Do you want to repair it?";
    for (QMessageBox::StandardButton answer : {QMessageBox::Yes, QMessageBox::No}) {
        WhenModal([&](QWidget* w) {
            auto* box = qobject_cast<QMessageBox*>(w);
            ASSERT_NE(box, nullptr);
            EXPECT_EQ(box->windowTitle(), "Confirm");
            EXPECT_EQ(box->text().toStdString(), question);
            box->button(answer)->click();
        });
        EXPECT_EQ(orq::UserInterface().Confirm(question), answer == QMessageBox::Yes);
    }

    struct Box { void (orq::TORQUserInterface::*show)(const std::string&); const char* caption; } boxes[] = {
        {&orq::TORQUserInterface::ShowInformation, "Information"},
        {&orq::TORQUserInterface::ShowWarning, "Warning"},
        {&orq::TORQUserInterface::ShowError, "Error"},
    };
    for (const Box& b : boxes) {
        WhenModal([&](QWidget* w) {
            auto* box = qobject_cast<QMessageBox*>(w);
            ASSERT_NE(box, nullptr);
            EXPECT_EQ(box->windowTitle(), b.caption);
            EXPECT_EQ(box->text(), "text");
            box->button(QMessageBox::Ok)->click();
        });
        (orq::UserInterface().*b.show)("text");
    }

    auto wait = orq::UserInterface().CreateWaitWindow();
    ASSERT_NE(dynamic_cast<TQtWaitWindow*>(wait.get()), nullptr);

    std::string seen;
    ui.OnException = [&](std::exception_ptr e) { seen = orq::ExceptionText(e); };
    orq::UserInterface().HandleException(std::make_exception_ptr(std::runtime_error("table locked")));
    EXPECT_EQ(seen, "table locked");

    int ran = 0;
    QTimer::singleShot(0, [&] { ++ran; });
    orq::UserInterface().ProcessMessages();
    EXPECT_EQ(ran, 1);
    orq::SetUserInterface(before);
}
