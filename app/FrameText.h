// Small helpers the main window's page files share: the frame's texts are 8-bit
// (Latin-1) std::strings, Qt's are QStrings, and every control gets an object name
// so tests and grabs can find it.
#pragma once

#include <QLineEdit>
#include <QString>
#include <QStyle>
#include <QStyleOptionFrame>
#include <string>

namespace tilo {

inline QString Q8(const std::string& Text) {
    return QString::fromLatin1(Text.data(), static_cast<qsizetype>(Text.size()));
}
inline std::string S8(const QString& Text) { return Text.toLatin1().toStdString(); }

template <typename T>
T* Named(T* Control, const char* Name) {
    Control->setObjectName(Name);
    return Control;
}

// An edit as wide as Sample (its widest text) needs, frame and margins included, so a
// short value does not stretch across the page.
inline void FitEditToText(QLineEdit& Edit, const char* Sample) {
    QStyleOptionFrame o;
    o.initFrom(&Edit);
    const QMargins m = Edit.textMargins();
    const QSize text(Edit.fontMetrics().horizontalAdvance(QString::fromLatin1(Sample)) + 2 * 2 + m.left() + m.right(),
                     Edit.sizeHint().height());
    Edit.setFixedWidth(Edit.style()->sizeFromContents(QStyle::CT_LineEdit, &o, text, &Edit).width());
}

}  // namespace tilo
