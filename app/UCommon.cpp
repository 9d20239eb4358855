#include "app/UCommon.h"

#include <QListWidget>

#include <sys/utsname.h>
#include <time.h>

#include <cctype>
#include <cmath>
#include <fstream>

#include "app/Controls.h"
#include "app/MesUtilD4.h"
#include "classlib/SysUtils.h"

namespace tilo {

double RxLat = 0;
double RxLon = 0;

double DegToRad(double X) { return X * 3.1415926535897932385 / 180; }
double RadToDeg(double X) { return X / 0.017453292519943295769; }

int32_t GreatCircleDistance(double P1, double L1, double P2, double L2) {
    const double x = std::cos(P1) * std::cos(L1) * std::cos(P2) * std::cos(L2) +
                     std::cos(P1) * std::sin(L1) * std::cos(P2) * std::sin(L2) + std::sin(P1) * std::sin(P2);
    // Written to reject NaN as well: a station without a usable position.
    if (!(x >= -1.0 && x <= 1.0)) throw classlib::EInvalidOp("Invalid floating point operation");
    return static_cast<int32_t>(std::nearbyint(std::acos(x) * 6378));
}

double GreatCircleBearing(double P1, double L1, double P2, double L2) {
    const double y = std::cos(P2) * std::sin(L1 - L2);
    const double x = std::cos(P1) * std::sin(P2) - std::sin(P1) * std::cos(P2) * std::cos(L1 - L2);
    const double t = RadToDeg(std::atan2(y, x));
    return std::fmod(std::nearbyint(360 - t), 360.0);
}

namespace {

int32_t DayOfYear(classlib::TDateTime Date) {
    uint16_t y, m, d;
    classlib::DecodeDate(Date, y, m, d);
    int32_t j = d;
    for (uint16_t i = 1; i < m; ++i) j += classlib::DaysInMonth(y, i);
    return j;
}

// Seconds east of UTC in force at Date (read as a UTC date-time); false when the
// system cannot say.
bool ZoneOffset(classlib::TDateTime Date, long& Offset) {
    const double secs = std::floor((Date - 25569.0) * 86400.0 + 0.5);
    if (!std::isfinite(secs)) return false;
    const time_t t = static_cast<time_t>(secs);
    tm local{};
    if (!localtime_r(&t, &local)) return false;
    Offset = local.tm_gmtoff;
    return true;
}

}  // namespace

void SunRiseSet(bool Utc, double& SunRise, double& SunSet, classlib::TDateTime Date, double Latitude,
                double& DayLength) {
    const double j = DayOfYear(Date);
    const double l = DegToRad(Latitude);
    double d = 24;
    const double theta = 0.2163108 + 2 * std::atan(0.9671396 * std::tan(0.0086 * (j - 186)));
    const double phi = std::asin(0.39795 * std::cos(theta));
    double u = (std::sin(0.014543828656868748365) + std::sin(l) * std::sin(phi)) / (std::cos(l) * std::cos(phi));
    if (std::isfinite(theta) && std::isfinite(phi) && std::isfinite(u)) {
        if (u > 1) u = 1;
        if (u < -1) u = -1;
        const double length = 24 - 7.639437268410976117 * std::acos(u);
        if (std::isfinite(length)) d = length;
    }
    DayLength = d;
    SunSet = 0.5 + (d / 2) * 3600 / 86400;
    SunRise = 0.5 - (d / 2) * 3600 / 86400;
    long offset = 0;
    if (!Utc && ZoneOffset(Date, offset)) {
        SunRise += double(offset) / 86400;
        SunSet += double(offset) / 86400;
    }
}

void CutToken(std::string& Text, char Separator, std::string& Token) { SplitToken(Text, Separator, Token); }

void DigitsDateTime(const std::string& Text, std::string& Result) {
    Result.clear();
    for (char c : Text)
        if (c >= '0' && c <= '9') Result += c;
    // The blank goes before the ninth character, or at the end of a shorter text.
    Result.insert(std::min<std::size_t>(8, Result.size()), 1, ' ');
}

void MessageTypeName(char Letter, std::string& Result) {
    switch (std::toupper(static_cast<unsigned char>(Letter))) {
        case 'A': Result = "NAV Warning"; break;
        case 'B': Result = "MET Warning"; break;
        case 'C': Result = "ICE Report"; break;
        case 'D': Result = "SAR Info"; break;
        case 'E': Result = "MET Forecast"; break;
        case 'F': Result = "PILOT Message"; break;
        case 'G': Result = "DECCA Message"; break;
        case 'H': Result = "LORAN Message"; break;
        case 'I': Result = "OMEGA Message"; break;
        case 'J': Result = "SATNAV Message"; break;
        case 'K': Result = "NAVAID Message"; break;
        case 'L': Result = "Add. NAV Message"; break;
        case 'V': case 'W': case 'X': case 'Y': Result = "Special Service"; break;
        case 'Z': Result = "No Message On Hand"; break;
        default: Result = "UNKNOWN"; break;
    }
    Result.resize(20, ' ');
}

bool SameMonth(classlib::TDateTime A, classlib::TDateTime B) {
    uint16_t y1, m1, d1, y2, m2, d2;
    classlib::DecodeDate(A, y1, m1, d1);
    classlib::DecodeDate(B, y2, m2, d2);
    return m1 == m2;
}

std::string WindowsVersionName(bool NtFamily, int32_t Major, int32_t Minor) {
    if (!NtFamily) return "Win95/98/SE";
    if (Major <= 4) return "Pre-Windows 2000";
    if (Major == 5 && Minor == 0) return "Windows 2000";
    if (Major == 5 && Minor == 1) return "Windows XP";
    if (Major == 5) return "Windows Server 2003/R2";
    if (Major == 6 && Minor == 0) return "Windows Vista/Server 2008";
    if (Major == 6 && Minor == 1) return "Windows 7/Server 2008 R2";
    return "Windows Version > Windows 7";
}

namespace {

// The leading decimal number of Text from Pos on, advancing Pos past it and one dot.
int32_t ReadVersionPart(const std::string& Text, std::size_t& Pos) {
    int32_t n = 0;
    while (Pos < Text.size() && std::isdigit(static_cast<unsigned char>(Text[Pos])) && n < 100000000)
        n = n * 10 + (Text[Pos++] - '0');
    if (Pos < Text.size() && Text[Pos] == '.') ++Pos;
    return n;
}

std::string PrettyName() {
    std::ifstream in("/etc/os-release");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("PRETTY_NAME=", 0) != 0) continue;
        std::string v = line.substr(12);
        if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) v = v.substr(1, v.size() - 2);
        return v;
    }
    return std::string();
}

}  // namespace

void GetWindowsVersion(TOSVersion& Version) {
    Version = TOSVersion{0, 0, 0, WindowsVersionName(false, 0, 0)};
    utsname u{};
    if (uname(&u) != 0) return;
    const std::string release = u.release;
    std::size_t pos = 0;
    Version.Major = ReadVersionPart(release, pos);
    Version.Minor = ReadVersionPart(release, pos);
    Version.Build = ReadVersionPart(release, pos);
    Version.Name = PrettyName();
    if (Version.Name.empty()) Version.Name = u.sysname;
}

void DeleteGridColumn(TStringGrid& Grid, int32_t Col) {
    if (Col < 0 || Col >= Grid.ColCount()) return;
    Grid.DeleteColumn(Col);
}

void AutoSizeGridColumn(TStringGrid& Grid, int32_t Col) {
    if (Col < 0 || Col >= Grid.ColCount()) return;
    int32_t widest = 0;
    for (int32_t r = 0; r < Grid.RowCount(); ++r) widest = std::max(widest, Grid.TextWidth(Grid.Cells(Col, r)));
    Grid.SetColWidths(Col, widest + 5);
}

void AutoSizeGridColumns(TStringGrid& Grid) {
    for (int32_t c = 0; c < Grid.ColCount(); ++c) AutoSizeGridColumn(Grid, c);
}

void CheckAllItems(QListWidget& List) {
    for (int i = 0; i < List.count(); ++i) List.item(i)->setCheckState(Qt::Checked);
}

void UncheckAllItems(QListWidget& List) {
    for (int i = 0; i < List.count(); ++i) List.item(i)->setCheckState(Qt::Unchecked);
}

void UncheckItem(QListWidget& List, const std::string& Text) {
    const QString text = QString::fromLatin1(Text.data(), static_cast<qsizetype>(Text.size()));
    for (int i = 0; i < List.count(); ++i)
        if (List.item(i)->text() == text) List.item(i)->setCheckState(Qt::Unchecked);
}

std::string FormatStationLine(const std::string& Freq, const std::string& NavArea, const std::string& IdLetter,
                              const std::string& CallSign, const std::string& Location,
                              const std::string& CountryCode) {
    return Freq + " " + NavArea + IdLetter + " " + CallSign + " " + Location + "," + CountryCode;
}

}  // namespace tilo
