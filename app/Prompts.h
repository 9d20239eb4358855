// TPrompts: the receiver's own questions and boxes (the navigator's delete question, the
// pages' messages and confirmations), one process-wide service in the way the engine's
// dialogs are (orq::SetUserInterface): the headless default shows nothing and declines
// every question; the program installs TQtPrompts at start-up, tests a scripted double.
// The engine's own dialogs stay on orq::TORQUserInterface. Text is 8-bit and crosses
// into Qt as Latin-1.
#pragma once

#include <cstdint>
#include <string>

namespace tilo {

enum TMsgDlgType { mtWarning, mtError, mtInformation, mtConfirmation, mtCustom };

// The buttons of a box, a set of flags.
enum TMsgDlgBtn : uint32_t { mbYes = 1u << 0, mbNo = 1u << 1, mbOK = 1u << 2, mbCancel = 1u << 3 };
using TMsgDlgButtons = uint32_t;
inline constexpr TMsgDlgButtons mbYesNo = mbYes | mbNo;
inline constexpr TMsgDlgButtons mbOKCancel = mbOK | mbCancel;
inline constexpr TMsgDlgButtons mbYesNoCancel = mbYes | mbNo | mbCancel;

// The class library's modal results.
using TModalResult = int32_t;
inline constexpr TModalResult mrNone = 0, mrOk = 1, mrCancel = 2, mrYes = 6, mrNo = 7;

class TPrompts {
public:
    virtual ~TPrompts() = default;
    // The result of the button pressed; closing the box answers Cancel (No when the box
    // has no Cancel button).
    virtual TModalResult MessageDlg(const std::string& Text, TMsgDlgType Type, TMsgDlgButtons Buttons) = 0;
    virtual void ShowMessage(const std::string& Text) = 0;
    // OK: Value becomes the text entered and the answer is true; Cancel leaves Value.
    virtual bool InputQuery(const std::string& Caption, const std::string& Prompt, std::string& Value) = 0;
};

// Shows nothing; a question is answered Cancel, else No, else OK; InputQuery declines.
class THeadlessPrompts : public TPrompts {
public:
    TModalResult MessageDlg(const std::string& Text, TMsgDlgType Type, TMsgDlgButtons Buttons) override;
    void ShowMessage(const std::string& Text) override;
    bool InputQuery(const std::string& Caption, const std::string& Prompt, std::string& Value) override;
};

// Message boxes with the class library's captions ("Warning", "Error", "Information",
// "Confirm"; ShowMessage "Tilo") and an input dialog.
class TQtPrompts : public TPrompts {
public:
    TModalResult MessageDlg(const std::string& Text, TMsgDlgType Type, TMsgDlgButtons Buttons) override;
    void ShowMessage(const std::string& Text) override;
    bool InputQuery(const std::string& Caption, const std::string& Prompt, std::string& Value) override;
};

// The installed instance (the headless default until SetPrompts).
TPrompts& Prompts();
// Installs P (nullptr puts the headless default back) and returns the one it replaces.
TPrompts* SetPrompts(TPrompts* P);

}  // namespace tilo
