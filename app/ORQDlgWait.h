// TfrmWait: the engine's progress window for long operations (copy, import and
// restructure of a table, repair and compaction of a database), the Qt side of
// orq::TORQWaitWindow.
//
// It is armed by StartWait and shows itself only through its 500 ms timer, and only
// while the operation is still in its first half: an operation that is quick, or past
// 50 % by then, never flashes a window. While it shows, the program's other windows are
// disabled (the operation keeps running: nothing here blocks), Abort or Esc only sets
// the aborted flag that the operation's next progress step reads, and Background Mode
// hides it and minimises the program; when the program is restored the window arms
// its timer again. StopWait restores the program, enables every window it disabled and
// closes the window, which frees itself.
#pragma once

#include <QDialog>
#include <QPointer>

#include <vector>

class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;

namespace tilo {

class TfrmWait : public QDialog {
    Q_OBJECT

public:
    explicit TfrmWait(QWidget* Parent = nullptr);
    ~TfrmWait() override;

    QLabel* lMessage;
    QPushButton* btnCancel;
    QProgressBar* pb;
    QPushButton* btnBgMode;
    QTimer* ShowTimer;

    void StartWait(const QString& Message);
    void StopWait();
    bool Aborted() const { return FAborted; }
    bool Stopped() const { return FStopped; }

    // The show timer's tick.
    void ShowFormOnTimer();
    void btnCancelClick();
    void btnBgModeClick();

protected:
    void showEvent(QShowEvent* Event) override;
    void hideEvent(QHideEvent* Event) override;
    void reject() override;  // Esc presses Abort; the window stays
    bool eventFilter(QObject* Watched, QEvent* Event) override;

private:
    void FormHide();
    void HookRestore(bool On);
    void ApplicationRestore();

    QPointer<QWidget> FActiveWindow;
    std::vector<QPointer<QWidget>> FDisabledWindows;
    bool FRestoreHooked = false;
    bool FShown = false;
    bool FStopped = false;
    bool FAborted = false;
};

}  // namespace tilo
