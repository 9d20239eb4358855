#include "app/Settings.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include "app/MesUtilD4.h"
#include "classlib/NumConv.h"

namespace tilo {

namespace {

constexpr char SOptions[] = "OPTIONS";
constexpr char SSettings[] = "SETTINGS";
constexpr char SDoNotLog[] = "DO_NOT_LOG";
constexpr char SUserInfo[] = "USER_INFO";

std::string Trim(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
    return s.substr(b, e - b);
}

TSettingRead<double> ReadFloat(const TCfgFile& F, const char* Section, const char* Key, const char* Default,
                               double Fallback, const char* Message) {
    double v;
    if (classlib::TryStrToFloat(F.ReadString(Section, Key, Default), v)) return {v, ""};
    return {Fallback, Message};
}

void WriteList(TCfgFile& F, const char* Section, int32_t FirstKey, const std::vector<std::string>& Items) {
    F.EraseSection(Section);
    for (std::size_t i = 0; i < Items.size(); ++i) {
        F.WriteString(Section, classlib::IntToStr(FirstKey + static_cast<int64_t>(i)), Items[i]);
    }
}

}  // namespace

std::string SetAsideUnreadableSettings(const std::string& Path) {
    // Missing, not a file or not readable: left where it is; the settings read reports
    // what it cannot read and the defaults run, as always.
    struct stat st {};
    if (::stat(Path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
    std::ifstream in(Path, std::ios::binary);
    if (!in) return {};
    const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return {};
    std::string why;
    for (std::size_t i = 0; why.empty() && i < data.size(); ++i) {
        const auto c = static_cast<unsigned char>(data[i]);
        if ((c < 0x20 && c != '\t' && c != '\r' && c != '\n') || c == 0x7F)
            why = "control character " + std::to_string(c) + " at byte " + std::to_string(i);
    }
    if (why.empty()) return {};
    std::string bad = Path + ".bad";
    for (int n = 2; ::access(bad.c_str(), F_OK) == 0; ++n) bad = Path + ".bad." + std::to_string(n);
    std::string text = Path + " cannot be read as a settings file (" + why + ")";
    if (::rename(Path.c_str(), bad.c_str()) != 0)
        return text + "; not kept aside: " + std::strerror(errno) + "; defaults used";
    text += ": kept as " + bad;
    try {
        TSettingsFile fresh(Path);
        fresh.WriteShutdown(1200, 11025);
        fresh.Save();
        text += ", a fresh one written";
    } catch (const std::exception& e) {
        text += ", no fresh one written: " + std::string(e.what());
    }
    return text;
}

std::string SettingsPath() { return ApplicationFolder() + "Tilo.ini"; }

TSettingsFile::TSettingsFile(std::string Path) : FFile(std::move(Path)) {}

TSettingRead<double> TSettingsFile::RxLat() const {
    return ReadFloat(FFile, SOptions, "RX_LAT", "0", 0, "iilegal value for RX_LAT in tilo.ini, RX_LAT set to 0!");
}

TSettingRead<double> TSettingsFile::RxLon() const {
    return ReadFloat(FFile, SOptions, "RX_LON", "0", 0, "iilegal value for RX_LON in tilo.ini, RX_LON set to 0!");
}

int32_t TSettingsFile::Freq() const { return FFile.ReadInteger(SSettings, "FREQ", 1200); }

TSettingRead<double> TSettingsFile::CorFac() const {
    return ReadFloat(FFile, SOptions, "CORFAC", "1.0000", 1.0,
                     "Illegal value for CorFac in Tilo.ini, default 1.000 set!");
}

bool TSettingsFile::ConfirmDelete() const { return Trim(FFile.ReadString(SOptions, "CONFIRM_DELETE", "N")) == "Y"; }

int32_t TSettingsFile::MinLen() const { return FFile.ReadInteger(SOptions, "MINLEN", 0); }

bool TSettingsFile::MinLenOn() const { return Trim(FFile.ReadString(SOptions, "MINLEN_ON", "N")) == "Y"; }

std::string TSettingsFile::NavAreas() const {
    std::string v = FFile.ReadString(SOptions, "NAVAREAS", DefaultNavAreas);
    return v.size() == 21 ? v : DefaultNavAreas;
}

TSettingRead<int32_t> TSettingsFile::SampRate() const {
    const int32_t rate = FFile.ReadInteger(SSettings, "SAMPRATE", 11025);
    if (rate == 11025 || rate == 12000) return {rate, ""};
    return {11025, "SAMPLE RATE AS FOUND IN TILO.INI NOT ALLOWED, USING DEFAULTS!"};
}

std::vector<std::string> TSettingsFile::DoNotLog() const {
    std::vector<std::string> items;
    for (int32_t key = 1;; ++key) {
        std::string v = FFile.ReadString(SDoNotLog, classlib::IntToStr(key), "");
        if (v.empty()) return items;
        items.push_back(std::move(v));
    }
}

std::vector<std::string> TSettingsFile::UserInfo() const {
    std::vector<std::string> items;
    for (int32_t key = 0;; ++key) {
        const std::string k = classlib::IntToStr(key);
        if (FFile.FindKey(SUserInfo, k) < 0) return items;
        items.push_back(FFile.ReadString(SUserInfo, k, ""));
    }
}

void TSettingsFile::WriteOptions(const TOptionsSettings& Options) {
    FFile.WriteString(SOptions, "RX_LAT", Options.RxLat);
    FFile.WriteString(SOptions, "RX_LON", Options.RxLon);
    FFile.WriteInteger(SOptions, "MINLEN", Options.MinLen);
    FFile.WriteString(SOptions, "MINLEN_ON", Options.MinLenOn ? "Y" : "N");
    FFile.WriteString(SOptions, "CONFIRM_DELETE", Options.ConfirmDelete ? "Y" : "N");
    WriteList(FFile, SDoNotLog, 1, Options.DoNotLog);
    WriteList(FFile, SUserInfo, 0, Options.UserInfo);
}

void TSettingsFile::WriteShutdown(int32_t Freq, int32_t SampRate) {
    FFile.WriteInteger(SSettings, "FREQ", Freq);
    FFile.WriteInteger(SSettings, "SAMPRATE", SampRate);
}

int32_t TSettingsFile::PaneHeight() const {
    const int32_t v = FFile.ReadInteger(SSettings, "SPLITTER", 0);
    return v > 0 ? v : 0;
}

void TSettingsFile::WritePaneHeight(int32_t Pixels) { FFile.WriteInteger(SSettings, "SPLITTER", Pixels); }

void TSettingsFile::WriteCorFac(const std::string& Text) { FFile.WriteString(SOptions, "CORFAC", Text); }

void TSettingsFile::WriteNavAreas(const std::string& Text) { FFile.WriteString(SOptions, "NAVAREAS", Text); }

}  // namespace tilo
