#include "engine/access/ORQScriptedUserInterface.h"

namespace orq {

namespace {

class TScriptedWaitWindow : public TORQWaitWindow {
public:
    TScriptedWaitWindow(std::vector<std::string>& Log, int AbortAtStep) : FLog(Log), FAbortAtStep(AbortAtStep) {}

    void StartWait(const std::string& Message) override { FLog.push_back("Wait.Start(" + Message + ")"); }
    void SetPosition(int32_t Percent) override {
        ++FSteps;
        FLog.push_back("Wait.Position(" + std::to_string(Percent) + ")");
    }
    void MakeVisible() override { FLog.push_back("Wait.Visible"); }
    bool Aborted() const override {
        const bool aborted = FAbortAtStep > 0 && FSteps >= FAbortAtStep;
        FLog.push_back(aborted ? "Wait.Aborted=1" : "Wait.Aborted=0");
        return aborted;
    }
    void StopWait() override { FLog.push_back("Wait.Stop"); }

private:
    std::vector<std::string>& FLog;
    int FAbortAtStep;
    int FSteps = 0;
};

}  // namespace

TORQScriptedUserInterface::TORQScriptedUserInterface() : FPrevious(SetUserInterface(this)) {}

TORQScriptedUserInterface::~TORQScriptedUserInterface() { SetUserInterface(FPrevious); }

bool TORQScriptedUserInterface::PasswordDialog(const std::string& Name, std::string& Password) {
    Log.push_back("Password(" + Name + ")");
    if (PasswordAnswers.empty()) return false;
    std::optional<std::string> answer = PasswordAnswers.front();
    PasswordAnswers.pop_front();
    if (!answer) return false;
    Password = *answer;
    return true;
}

bool TORQScriptedUserInterface::Confirm(const std::string& Text) {
    Log.push_back("Confirm(" + Text + ")");
    if (ConfirmAnswers.empty()) return false;
    const bool answer = ConfirmAnswers.front();
    ConfirmAnswers.pop_front();
    return answer;
}

void TORQScriptedUserInterface::ShowInformation(const std::string& Text) { Log.push_back("Information(" + Text + ")"); }
void TORQScriptedUserInterface::ShowWarning(const std::string& Text) { Log.push_back("Warning(" + Text + ")"); }
void TORQScriptedUserInterface::ShowError(const std::string& Text) { Log.push_back("Error(" + Text + ")"); }

std::unique_ptr<TORQWaitWindow> TORQScriptedUserInterface::CreateWaitWindow() {
    Log.push_back("Wait.Create");
    return std::make_unique<TScriptedWaitWindow>(Log, AbortAtStep);
}

void TORQScriptedUserInterface::ProcessMessages() {
    Log.push_back("ProcessMessages");
    if (OnProcessMessages) OnProcessMessages();
}

void TORQScriptedUserInterface::HandleException(std::exception_ptr E) {
    Log.push_back("Exception(" + ExceptionText(E) + ")");
}

}  // namespace orq
