// Small helpers the main window's page files share: the frame's texts are 8-bit
// (Latin-1) std::strings, Qt's are QStrings, and every control gets an object name
// so tests and grabs can find it.
#pragma once

#include <QString>
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

}  // namespace tilo
