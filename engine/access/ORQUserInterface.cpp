#include "engine/access/ORQUserInterface.h"

#include <atomic>
#include <cstdio>

namespace orq {

namespace {

class THeadlessWaitWindow : public TORQWaitWindow {
public:
    void StartWait(const std::string&) override {}
    void SetPosition(int32_t) override {}
    void MakeVisible() override {}
    bool Aborted() const override { return false; }
    void StopWait() override {}
};

TORQHeadlessUserInterface& HeadlessDefault() {
    static TORQHeadlessUserInterface instance;
    return instance;
}

std::atomic<TORQUserInterface*> GInstalled{nullptr};

}  // namespace

bool TORQHeadlessUserInterface::PasswordDialog(const std::string&, std::string&) { return false; }
bool TORQHeadlessUserInterface::Confirm(const std::string&) { return false; }
void TORQHeadlessUserInterface::ShowInformation(const std::string&) {}
void TORQHeadlessUserInterface::ShowWarning(const std::string&) {}
void TORQHeadlessUserInterface::ShowError(const std::string&) {}

std::unique_ptr<TORQWaitWindow> TORQHeadlessUserInterface::CreateWaitWindow() {
    return std::make_unique<THeadlessWaitWindow>();
}

void TORQHeadlessUserInterface::ProcessMessages() {}

void TORQHeadlessUserInterface::HandleException(std::exception_ptr E) {
    std::fprintf(stderr, "Exception: %s\n", ExceptionText(E).c_str());
}

TORQUserInterface& UserInterface() {
    TORQUserInterface* ui = GInstalled.load();
    return ui ? *ui : HeadlessDefault();
}

TORQUserInterface* SetUserInterface(TORQUserInterface* UI) {
    TORQUserInterface* before = GInstalled.exchange(UI);
    return before ? before : &HeadlessDefault();
}

std::string ExceptionText(std::exception_ptr E) {
    if (!E) return "";
    try {
        std::rethrow_exception(E);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "Unknown exception";
    }
}

}  // namespace orq
