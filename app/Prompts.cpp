#include "app/Prompts.h"

#include <QInputDialog>
#include <QMessageBox>

#include <atomic>

namespace tilo {

namespace {

QString Latin1(const std::string& s) { return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size())); }

THeadlessPrompts& HeadlessDefault() {
    static THeadlessPrompts instance;
    return instance;
}

std::atomic<TPrompts*> GInstalled{nullptr};

struct TBoxKind {
    QMessageBox::Icon Icon;
    const char* Caption;
};

TBoxKind KindOf(TMsgDlgType Type) {
    switch (Type) {
        case mtWarning: return {QMessageBox::Warning, "Warning"};
        case mtError: return {QMessageBox::Critical, "Error"};
        case mtInformation: return {QMessageBox::Information, "Information"};
        case mtConfirmation: return {QMessageBox::Question, "Confirm"};
        case mtCustom: break;
    }
    return {QMessageBox::NoIcon, "Tilo"};
}

}  // namespace

TModalResult THeadlessPrompts::MessageDlg(const std::string&, TMsgDlgType, TMsgDlgButtons Buttons) {
    if (Buttons & mbCancel) return mrCancel;
    if (Buttons & mbNo) return mrNo;
    return mrOk;
}

void THeadlessPrompts::ShowMessage(const std::string&) {}

bool THeadlessPrompts::InputQuery(const std::string&, const std::string&, std::string&) { return false; }

TModalResult TQtPrompts::MessageDlg(const std::string& Text, TMsgDlgType Type, TMsgDlgButtons Buttons) {
    const TBoxKind kind = KindOf(Type);
    QMessageBox::StandardButtons buttons;
    if (Buttons & mbYes) buttons |= QMessageBox::Yes;
    if (Buttons & mbNo) buttons |= QMessageBox::No;
    if (Buttons & mbOK) buttons |= QMessageBox::Ok;
    if (Buttons & mbCancel) buttons |= QMessageBox::Cancel;
    if (buttons == QMessageBox::NoButton) buttons = QMessageBox::Ok;
    QMessageBox box(kind.Icon, kind.Caption, Latin1(Text), buttons);
    // Esc and the close button answer Cancel, or No where there is no Cancel.
    if (Buttons & mbCancel)
        box.setEscapeButton(QMessageBox::Cancel);
    else if (Buttons & mbNo)
        box.setEscapeButton(QMessageBox::No);
    switch (box.exec()) {
        case QMessageBox::Yes: return mrYes;
        case QMessageBox::No: return mrNo;
        case QMessageBox::Ok: return mrOk;
        case QMessageBox::Cancel: return mrCancel;
        default: return (Buttons & mbCancel) || !(Buttons & mbNo) ? mrCancel : mrNo;
    }
}

void TQtPrompts::ShowMessage(const std::string& Text) {
    QMessageBox box(QMessageBox::NoIcon, "Tilo", Latin1(Text), QMessageBox::Ok);
    box.exec();
}

bool TQtPrompts::InputQuery(const std::string& Caption, const std::string& Prompt, std::string& Value) {
    QInputDialog dialog;
    dialog.setWindowTitle(Latin1(Caption));
    dialog.setLabelText(Latin1(Prompt));
    dialog.setTextValue(Latin1(Value));
    if (dialog.exec() != QDialog::Accepted) return false;
    Value = dialog.textValue().toLatin1().toStdString();
    return true;
}

TPrompts& Prompts() {
    TPrompts* p = GInstalled.load();
    return p ? *p : HeadlessDefault();
}

TPrompts* SetPrompts(TPrompts* P) {
    TPrompts* before = GInstalled.exchange(P);
    return before ? before : &HeadlessDefault();
}

}  // namespace tilo
