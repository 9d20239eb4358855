// TORQScriptedUserInterface: the engine's user interface for tests. Answers come from
// scripts set beforehand (a password or a Cancel per prompt, Yes or No per question;
// an exhausted script answers Cancel or No, as the headless default does), a wait
// window can abort at a chosen progress step, and every call is appended to Log as one
// line, so that a test can check which dialogs an operation showed and in which order.
//
// Log lines: "Password(<name>)", "Confirm(<text>)", "Information(<text>)",
// "Warning(<text>)", "Error(<text>)", "Wait.Create", "Wait.Start(<message>)",
// "Wait.Position(<n>)", "Wait.Visible", "Wait.Aborted=<0|1>", "Wait.Stop",
// "ProcessMessages", "Exception(<text>)".
#pragma once

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/access/ORQUserInterface.h"

namespace orq {

class TORQScriptedUserInterface : public TORQUserInterface {
public:
    TORQScriptedUserInterface();
    // Puts back the instance that was installed when this one was made.
    ~TORQScriptedUserInterface() override;

    // One entry per prompt: a password answers OK with it, nullopt answers Cancel.
    std::deque<std::optional<std::string>> PasswordAnswers;
    std::deque<bool> ConfirmAnswers;
    // A wait window answers Aborted = true from its AbortAtStep-th SetPosition on
    // (counted from 1 per window); 0 never aborts.
    int AbortAtStep = 0;
    std::vector<std::string> Log;
    // The program's events a ProcessMessages serves (after its log line).
    std::function<void()> OnProcessMessages;

    bool PasswordDialog(const std::string& Name, std::string& Password) override;
    bool Confirm(const std::string& Text) override;
    void ShowInformation(const std::string& Text) override;
    void ShowWarning(const std::string& Text) override;
    void ShowError(const std::string& Text) override;
    std::unique_ptr<TORQWaitWindow> CreateWaitWindow() override;
    void ProcessMessages() override;
    void HandleException(std::exception_ptr E) override;

private:
    TORQUserInterface* FPrevious;
};

}  // namespace orq
