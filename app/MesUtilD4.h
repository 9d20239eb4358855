// The receiver's small helpers: the application folder, the start code that creates
// "LOG" there, the routine that keeps Qt from changing number text, the message-pumping
// Delay and three string helpers.
//
// Number, date and time text is fixed for the whole run ('.' decimals, ',' thousands,
// "yyyy-MM-dd", "hh:mm:ss": classlib/FormatSettings.h, which no code changes). Our own
// conversions never read the locale; FixFormatSettings keeps the C library's and Qt's
// number text in line with them once the QApplication (which adopts the user's locale)
// exists.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tilo {

// The folder the receiver keeps its files in, ending in '/': TILO_HOME when it is set
// and not empty, else the folder of the running executable.
std::string ApplicationFolder();

// Start code, run before any window exists: creates the folder "LOG" (with missing
// parents) in the application folder. A failure is silent here; start-up checks the
// folder again and reports it.
void MesUtilD4Start();

// Puts LC_NUMERIC back to "C" and makes QLocale::c() the default locale. Call once
// the QApplication exists (its constructor adopts the user's locale).
void FixFormatSettings();

// Serves pending events, sleeps 10 ms, and repeats until Milliseconds have passed or
// the application is quitting; always serves events at least once. Callers must expect
// their own state to change meanwhile.
void Delay(uint32_t Milliseconds);
// True from a quit request until the event loop it ended has returned.
bool ApplicationTerminating();

// Cuts the first token off Text: the part before the first Separator (Text loses it
// and the separator), or all of Text when it holds no separator.
void SplitToken(std::string& Text, char Separator, std::string& Token);
// Deletes the first occurrence of C from Text, if any.
void DeleteChar(std::string& Text, char C);
int32_t CountChar(char C, std::string_view Text);

}  // namespace tilo
