// TSettingsFile: every key of "Tilo.ini" with its type, its default and the handling of
// a value the receiver cannot use, shared by start-up (reads), shutdown (FREQ,
// SAMPRATE), the options save, the calibration save (CORFAC) and the NAVAREA
// preferences (NAVAREAS). A rejected value yields its default together with the exact
// message; the caller logs it or shows it (SAMPRATE's is a message box, the others are
// system-log lines). Each writer writes its keys in its fixed order; the caller saves.
//
// Numbered lists: DO_NOT_LOG is read from key "1" up to the first empty or missing
// value (its values are station lines, never empty). USER_INFO is read from key "0" up
// to the first missing key, because the options save writes every memo line, empty
// ones included: stopping at an empty value would drop the lines after it at the next
// start and the next save would erase them for good.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/CfgFiles.h"

namespace tilo {

// ApplicationFolder() + "Tilo.ini".
std::string SettingsPath();

// Makes sure the settings file at Path is one before anything reads it. A file that is
// not text of lines (a NUL or another control character than tab, CR and LF in it) is
// kept aside as Path + ".bad" (".bad.2", ... when that exists) and a fresh file with the
// defaults of the tuning is written in its place. Returns what was done, for the system
// log and standard error; empty when the file is text, missing or cannot be read (the
// settings read reports that one).
std::string SetAsideUnreadableSettings(const std::string& Path);

inline constexpr char DefaultNavAreas[] = "111111111111111111111";  // NAVAREA 1 .. 21 all shown

// A value as the receiver uses it; Message is empty unless the stored text was rejected.
template <typename T>
struct TSettingRead {
    T Value;
    std::string Message;
};

// What the options save writes: the two position edits' texts, the minimum length and
// the two check boxes, the unchecked station lines and the personal-information memo.
struct TOptionsSettings {
    std::string RxLat = "0";
    std::string RxLon = "0";
    int32_t MinLen = 0;
    bool MinLenOn = false;
    bool ConfirmDelete = false;
    std::vector<std::string> DoNotLog;
    std::vector<std::string> UserInfo;
};

class TSettingsFile {
public:
    // Loads the file (ECfgFileError "TCfgFile - kan niet openen: " + path).
    explicit TSettingsFile(std::string Path = SettingsPath());

    TSettingRead<double> RxLat() const;        // degrees; 0 and a warning when not a number
    TSettingRead<double> RxLon() const;
    int32_t Freq() const;                      // Hz, 1200
    TSettingRead<double> CorFac() const;       // 1.0 and a warning when not a number
    bool ConfirmDelete() const;                // trimmed value "Y"
    int32_t MinLen() const;                    // 0
    bool MinLenOn() const;                     // trimmed value "Y"
    std::string NavAreas() const;              // DefaultNavAreas unless 21 characters
    TSettingRead<int32_t> SampRate() const;    // 11025 or 12000; else 11025 and a box
    std::vector<std::string> DoNotLog() const;
    std::vector<std::string> UserInfo() const;
    // The lower pane's height in pixels as the user left it (SETTINGS, SPLITTER); 0 when
    // never set or not a positive number.
    int32_t PaneHeight() const;

    // RX_LAT, RX_LON, MINLEN, MINLEN_ON, CONFIRM_DELETE, DO_NOT_LOG, USER_INFO.
    void WriteOptions(const TOptionsSettings& Options);
    // FREQ, SAMPRATE.
    void WriteShutdown(int32_t Freq, int32_t SampRate);
    void WritePaneHeight(int32_t Pixels);
    void WriteCorFac(const std::string& Text);
    void WriteNavAreas(const std::string& Text);

    void Save() const { FFile.Save(); }
    TCfgFile& File() { return FFile; }
    const TCfgFile& File() const { return FFile; }

private:
    TCfgFile FFile;
};

}  // namespace tilo
