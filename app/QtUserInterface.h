// TQtUserInterface: the engine's dialogs on Qt Widgets, installed by the program at
// start-up (orq::SetUserInterface). The password prompt is TORQPassDialog, the wait
// window TfrmWait, questions and boxes are message boxes with the class library's
// captions ("Confirm", "Information", "Warning", "Error"). Exceptions the engine hands
// over go to OnException, which the main window points at its exception logger; until
// then they go to standard error. Engine text is 8-bit and crosses into Qt as Latin-1.
#pragma once

#include <QPointer>

#include <exception>
#include <functional>
#include <memory>
#include <string>

#include "app/ORQDlgWait.h"
#include "engine/access/ORQUserInterface.h"

namespace tilo {

// One wait window of the engine: owns its TfrmWait until StopWait closes it (the form
// then frees itself) or until it is destroyed.
class TQtWaitWindow : public orq::TORQWaitWindow {
public:
    TQtWaitWindow();
    ~TQtWaitWindow() override;

    void StartWait(const std::string& Message) override;
    void SetPosition(int32_t Percent) override;
    void MakeVisible() override;
    bool Aborted() const override;
    void StopWait() override;

    TfrmWait* Form() const { return FForm; }  // nullptr once closed

private:
    QPointer<TfrmWait> FForm;
    bool FAborted = false;  // kept for steps after the form is gone
};

class TQtUserInterface : public orq::TORQUserInterface {
public:
    bool PasswordDialog(const std::string& Name, std::string& Password) override;
    bool Confirm(const std::string& Text) override;
    void ShowInformation(const std::string& Text) override;
    void ShowWarning(const std::string& Text) override;
    void ShowError(const std::string& Text) override;
    std::unique_ptr<orq::TORQWaitWindow> CreateWaitWindow() override;
    void ProcessMessages() override;
    void HandleException(std::exception_ptr E) override;

    std::function<void(std::exception_ptr)> OnException;
};

}  // namespace tilo
