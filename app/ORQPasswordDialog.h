// TORQPassDialog: the prompt for a database password, shown modally when an encrypted
// database is opened without a password handler. OK stores the typed text as the
// database's password; Cancel leaves it as it was.
#pragma once

#include <QDialog>

#include <string>

class QLabel;
class QLineEdit;
class QPushButton;

namespace tilo {

class TORQPassDialog : public QDialog {
    Q_OBJECT

public:
    // Password: the database's password that OK replaces.
    TORQPassDialog(std::string& Password, QWidget* Parent = nullptr);

    QLabel* Label1;
    QLabel* lbName;
    QLineEdit* Pass;
    QPushButton* cbOk;
    QPushButton* cbCancel;

    void cbOkClick();
    // The database's name above the edit, elided in the middle when it is too long.
    void SetName(const std::string& Name);

private:
    std::string& FPassword;
};

// Shows the dialog with Name centred above the edit (the database component passes an
// empty name); true when it was closed with OK, Password then holding the typed text.
bool ShowPasswordDialog(std::string& Password, const std::string& Name);

}  // namespace tilo
