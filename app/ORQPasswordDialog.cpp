#include "app/ORQPasswordDialog.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>

namespace tilo {

TORQPassDialog::TORQPassDialog(std::string& Password, QWidget* Parent)
    : QDialog(Parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      FPassword(Password) {
    setWindowTitle("Database authentication");
    setFixedSize(216, 118);

    lbName = new QLabel(this);
    lbName->setGeometry(12, 6, 193, 16);
    lbName->setAlignment(Qt::AlignCenter);

    Label1 = new QLabel("Password:", this);
    Label1->setGeometry(12, 26, 193, 16);

    Pass = new QLineEdit(this);
    Pass->setGeometry(12, 44, 193, 24);
    Pass->setEchoMode(QLineEdit::Password);
    Pass->setStyleSheet("lineedit-password-character: 42");  // '*'

    cbOk = new QPushButton("OK", this);
    cbOk->setGeometry(24, 80, 80, 27);
    cbOk->setDefault(true);
    connect(cbOk, &QPushButton::clicked, this, &TORQPassDialog::cbOkClick);

    cbCancel = new QPushButton("Cancel", this);
    cbCancel->setGeometry(112, 80, 80, 27);
    cbCancel->setAutoDefault(false);
    connect(cbCancel, &QPushButton::clicked, this, &QDialog::reject);

    if (const QScreen* s = QGuiApplication::primaryScreen()) move(s->availableGeometry().center() - rect().center());
}

void TORQPassDialog::cbOkClick() {
    const QByteArray text = Pass->text().toLatin1();
    FPassword.assign(text.constData(), static_cast<std::size_t>(text.size()));
    accept();
}

void TORQPassDialog::SetName(const std::string& Name) {
    // A name too long for the label loses its middle, so that both the folder it starts
    // with and the file name it ends with stay readable; the whole name is the tooltip.
    const QString name = QString::fromLatin1(Name.data(), static_cast<int>(Name.size()));
    const QString shown = lbName->fontMetrics().elidedText(name, Qt::ElideMiddle, lbName->width());
    lbName->setText(shown);
    lbName->setToolTip(shown == name ? QString() : name);
}

bool ShowPasswordDialog(std::string& Password, const std::string& Name) {
    TORQPassDialog dialog(Password);
    dialog.Pass->clear();
    dialog.SetName(Name);
    return dialog.exec() == QDialog::Accepted;
}

}  // namespace tilo
