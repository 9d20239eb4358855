// TORQUserInterface: everything the engine shows to a person, behind one abstract
// interface so that the engine never includes a toolkit. The engine asks for a
// database password, asks the repair question, shows information, warning and error
// boxes, runs the wait window of long operations (copy, import, restructure, repair,
// compaction), lets the program serve its pending events during long loops, and hands
// exceptions it must not raise to the program's exception handler.
//
// One instance serves the whole process. Until the program installs its own at
// start-up (the receiver installs its Qt implementation), the headless default
// answers every question with no, shows nothing, never aborts and writes exceptions
// to standard error, so that a program or test without a display never blocks.
// Installing does not transfer ownership: the installer keeps the instance alive
// while it is installed. All calls come from the thread that runs the user interface.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>

namespace orq {

// The progress window of one long operation. The engine creates it, starts it with
// the operation's text, sets its position at every progress step and asks Aborted
// there (the step answers stop when it is true), and stops it at the end (also after
// a failure). An implementation decides itself when to become visible unless
// MakeVisible asks for it at once.
class TORQWaitWindow {
public:
    virtual ~TORQWaitWindow() = default;
    virtual void StartWait(const std::string& Message) = 0;
    virtual void SetPosition(int32_t Percent) = 0;  // 0 .. 100
    virtual void MakeVisible() = 0;
    virtual bool Aborted() const = 0;
    virtual void StopWait() = 0;
};

class TORQUserInterface {
public:
    virtual ~TORQUserInterface() = default;

    // The password prompt with Name shown above the edit. True for OK, with the typed
    // text in Password; false for Cancel, with Password untouched.
    virtual bool PasswordDialog(const std::string& Name, std::string& Password) = 0;
    // A question with Yes and No buttons; true for Yes.
    virtual bool Confirm(const std::string& Text) = 0;
    // Boxes with one OK button.
    virtual void ShowInformation(const std::string& Text) = 0;
    virtual void ShowWarning(const std::string& Text) = 0;
    virtual void ShowError(const std::string& Text) = 0;
    // A new, hidden and not yet started wait window.
    virtual std::unique_ptr<TORQWaitWindow> CreateWaitWindow() = 0;
    // Serves the events that are pending now (timers, input, sockets) and returns.
    virtual void ProcessMessages() = 0;
    // An exception caught where the engine may not let it pass (a handler of a
    // dataset event, a stream destructor): reported, never re-raised.
    virtual void HandleException(std::exception_ptr E) = 0;
};

// Answers no, shows nothing, never aborts; exceptions go to standard error.
class TORQHeadlessUserInterface : public TORQUserInterface {
public:
    bool PasswordDialog(const std::string& Name, std::string& Password) override;
    bool Confirm(const std::string& Text) override;
    void ShowInformation(const std::string& Text) override;
    void ShowWarning(const std::string& Text) override;
    void ShowError(const std::string& Text) override;
    std::unique_ptr<TORQWaitWindow> CreateWaitWindow() override;
    void ProcessMessages() override;
    void HandleException(std::exception_ptr E) override;
};

// The installed instance (the headless default until SetUserInterface).
TORQUserInterface& UserInterface();
// Installs UI (nullptr puts the headless default back) and returns the instance that
// was installed before, so that a caller can restore it.
TORQUserInterface* SetUserInterface(TORQUserInterface* UI);

// The text an exception carries: what() of a standard exception, else a fixed text.
std::string ExceptionText(std::exception_ptr E);

}  // namespace orq
