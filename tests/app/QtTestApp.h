// The one application of the receiver's tests (offscreen), made before the first test
// the way the program makes it (the receiver's application class, so escaped exceptions
// are logged): under the user's locale, then FixFormatSettings.
#pragma once

#include <QImage>

#include <string>

namespace tilo_test {

// LC_NUMERIC and QLocale's decimal point as the QApplication left them, before
// FixFormatSettings ran.
const std::string& NumericLocaleBeforeFix();
QChar QtDecimalPointBeforeFix();

// A fresh empty folder for one test, removed at exit of the process.
std::string TempFolder();

// Writes Image as <build>/grabs/<Name>.png for review; fails the test if it cannot.
void SaveGrab(const QImage& Image, const std::string& Name);

}  // namespace tilo_test
