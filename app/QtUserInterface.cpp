#include "app/QtUserInterface.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QProgressBar>

#include "app/ORQPasswordDialog.h"

namespace tilo {

namespace {

QString Latin1(const std::string& s) { return QString::fromLatin1(s.data(), static_cast<int>(s.size())); }

QMessageBox::StandardButton Box(QMessageBox::Icon Icon, const char* Caption, const std::string& Text,
                                QMessageBox::StandardButtons Buttons) {
    QMessageBox box(Icon, Caption, Latin1(Text), Buttons);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

}  // namespace

TQtWaitWindow::TQtWaitWindow() : FForm(new TfrmWait) {}

TQtWaitWindow::~TQtWaitWindow() { delete FForm.data(); }

void TQtWaitWindow::StartWait(const std::string& Message) {
    if (FForm) FForm->StartWait(Latin1(Message));
}

void TQtWaitWindow::SetPosition(int32_t Percent) {
    if (FForm) FForm->pb->setValue(Percent);
}

void TQtWaitWindow::MakeVisible() {
    if (FForm) FForm->show();
}

bool TQtWaitWindow::Aborted() const { return FForm ? FForm->Aborted() : FAborted; }

void TQtWaitWindow::StopWait() {
    if (!FForm) return;
    FAborted = FForm->Aborted();
    FForm->StopWait();
}

bool TQtUserInterface::PasswordDialog(const std::string& Name, std::string& Password) {
    return ShowPasswordDialog(Password, Name);
}

bool TQtUserInterface::Confirm(const std::string& Text) {
    return Box(QMessageBox::Question, "Confirm", Text, QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

void TQtUserInterface::ShowInformation(const std::string& Text) {
    Box(QMessageBox::Information, "Information", Text, QMessageBox::Ok);
}

void TQtUserInterface::ShowWarning(const std::string& Text) {
    Box(QMessageBox::Warning, "Warning", Text, QMessageBox::Ok);
}

void TQtUserInterface::ShowError(const std::string& Text) {
    Box(QMessageBox::Critical, "Error", Text, QMessageBox::Ok);
}

std::unique_ptr<orq::TORQWaitWindow> TQtUserInterface::CreateWaitWindow() {
    return std::make_unique<TQtWaitWindow>();
}

void TQtUserInterface::ProcessMessages() { QCoreApplication::processEvents(); }

void TQtUserInterface::HandleException(std::exception_ptr E) {
    if (OnException) {
        OnException(E);
    } else {
        orq::TORQHeadlessUserInterface().HandleException(E);
    }
}

}  // namespace tilo
