#include "classlib/DateUtils.h"

#include <cmath>
#include <cstdlib>

#include "classlib/FormatSettings.h"
#include "classlib/SysUtils.h"

namespace classlib {

namespace {

constexpr uint16_t kMonthDays[2][12] = {{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
                                        {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31}};

// Day number (0001-01-01 = 1) of a valid date.
int64_t DayNumber(int year, int month, int day) {
    int64_t d = day;
    const bool leap = IsLeapYear(static_cast<uint16_t>(year));
    for (int m = 1; m < month; ++m) d += kMonthDays[leap][m - 1];
    const int64_t y = year - 1;
    return y * 365 + y / 4 - y / 100 + y / 400 + d;
}

std::string Pad(int v, int width) {
    std::string s = std::to_string(v);
    if (static_cast<int>(s.size()) < width) s = std::string(static_cast<size_t>(width) - s.size(), '0') + s;
    return s;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

// Reads an unsigned decimal number of 1 to maxDigits digits at pos.
bool ReadNumber(std::string_view s, size_t& pos, int maxDigits, int& value, int* digits = nullptr) {
    int n = 0;
    int v = 0;
    while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
        if (++n > maxDigits) return false;
        v = v * 10 + (s[pos] - '0');
        ++pos;
    }
    if (n == 0) return false;
    value = v;
    if (digits) *digits = n;
    return true;
}

bool ScanDate(std::string_view s, TDateTime& result) {
    size_t pos = 0;
    int y, m, d, yDigits;
    const char sep = FormatSettings.DateSeparator;
    if (!ReadNumber(s, pos, 4, y, &yDigits)) return false;
    if (pos >= s.size() || s[pos] != sep) return false;
    ++pos;
    if (!ReadNumber(s, pos, 2, m)) return false;
    if (pos >= s.size() || s[pos] != sep) return false;
    ++pos;
    if (!ReadNumber(s, pos, 2, d)) return false;
    if (pos != s.size()) return false;
    if (yDigits <= 2) y += y < 50 ? 2000 : 1900;  // two-digit years: 1950 to 2049
    return TryEncodeDate(static_cast<uint16_t>(y), static_cast<uint16_t>(m), static_cast<uint16_t>(d), result);
}

bool ScanTime(std::string_view s, TDateTime& result) {
    size_t pos = 0;
    int h, n = 0, sec = 0, ms = 0;
    const char sep = FormatSettings.TimeSeparator;
    int pm = -1;  // -1 no marker, 0 AM, 1 PM
    auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
    if (s.size() >= 2) {
        std::string tail{upper(s[s.size() - 2]), upper(s[s.size() - 1])};
        if (tail == "AM" || tail == "PM") {
            pm = tail == "PM";
            s = Trim(s.substr(0, s.size() - 2));
        }
    }
    if (!ReadNumber(s, pos, 2, h)) return false;
    if (pos >= s.size() || s[pos] != sep) return false;
    ++pos;
    if (!ReadNumber(s, pos, 2, n)) return false;
    if (pos < s.size() && s[pos] == sep) {
        ++pos;
        if (!ReadNumber(s, pos, 2, sec)) return false;
        if (pos < s.size() && s[pos] == FormatSettings.DecimalSeparator) {
            ++pos;
            if (!ReadNumber(s, pos, 3, ms)) return false;
        }
    }
    if (pos != s.size()) return false;
    if (pm >= 0) {
        if (h < 1 || h > 12) return false;
        h = h % 12 + (pm ? 12 : 0);
    }
    return TryEncodeTime(static_cast<uint16_t>(h), static_cast<uint16_t>(n), static_cast<uint16_t>(sec),
                         static_cast<uint16_t>(ms), result);
}

}  // namespace

bool IsLeapYear(uint16_t year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

uint16_t DaysInMonth(uint16_t year, uint16_t month) {
    if (month < 1 || month > 12) return 0;
    return kMonthDays[IsLeapYear(year)][month - 1];
}

bool TryEncodeDate(uint16_t year, uint16_t month, uint16_t day, TDateTime& result) {
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month))
        return false;
    result = static_cast<double>(DayNumber(year, month, day) - DateDelta);
    return true;
}

bool TryEncodeTime(uint16_t hour, uint16_t min, uint16_t sec, uint16_t msec, TDateTime& result) {
    if (hour >= 24 || min >= 60 || sec >= 60 || msec >= 1000) return false;
    result = (hour * 3600000.0 + min * 60000.0 + sec * 1000.0 + msec) / MSecsPerDay;
    return true;
}

TDateTime EncodeDate(uint16_t year, uint16_t month, uint16_t day) {
    TDateTime r;
    if (!TryEncodeDate(year, month, day, r)) throw EConvertError("Invalid argument to date encode");
    return r;
}

TDateTime EncodeTime(uint16_t hour, uint16_t min, uint16_t sec, uint16_t msec) {
    TDateTime r;
    if (!TryEncodeTime(hour, min, sec, msec, r)) throw EConvertError("Invalid argument to time encode");
    return r;
}

void DecodeDate(TDateTime dt, uint16_t& year, uint16_t& month, uint16_t& day) {
    const double whole = std::trunc(dt) + DateDelta;
    if (!(whole >= 1 && whole <= 3652059)) throw EConvertError("Invalid argument to date decode");
    int64_t n = static_cast<int64_t>(whole) - 1;  // days since 0001-01-01
    int64_t y = 1;
    int64_t c400 = n / 146097;
    n %= 146097;
    y += c400 * 400;
    int64_t c100 = n / 36524;
    if (c100 == 4) c100 = 3;
    n -= c100 * 36524;
    y += c100 * 100;
    int64_t c4 = n / 1461;
    n %= 1461;
    y += c4 * 4;
    int64_t c1 = n / 365;
    if (c1 == 4) c1 = 3;
    n -= c1 * 365;
    y += c1;
    const bool leap = IsLeapYear(static_cast<uint16_t>(y));
    int m = 0;
    while (n >= kMonthDays[leap][m]) n -= kMonthDays[leap][m++];
    year = static_cast<uint16_t>(y);
    month = static_cast<uint16_t>(m + 1);
    day = static_cast<uint16_t>(n + 1);
}

void DecodeTime(TDateTime dt, uint16_t& hour, uint16_t& min, uint16_t& sec, uint16_t& msec) {
    double ms = std::nearbyint(std::fabs(dt - std::trunc(dt)) * MSecsPerDay);
    if (!(ms < MSecsPerDay)) ms = MSecsPerDay - 1;  // a rounding carry never makes hour 24
    int32_t v = static_cast<int32_t>(ms);
    hour = static_cast<uint16_t>(v / 3600000);
    min = static_cast<uint16_t>(v / 60000 % 60);
    sec = static_cast<uint16_t>(v / 1000 % 60);
    msec = static_cast<uint16_t>(v % 1000);
}

std::string FormatDateTime(std::string_view format, TDateTime dt) {
    uint16_t y = 0, mo = 0, d = 0, h, mi, s, ms;
    bool haveDate = false;
    auto date = [&] {
        if (!haveDate) DecodeDate(dt, y, mo, d);
        haveDate = true;
    };
    DecodeTime(dt, h, mi, s, ms);
    std::string out;
    bool afterHour = false;
    size_t i = 0;
    auto run = [&](char c) {
        size_t n = 0;
        while (i + n < format.size() && (format[i + n] | 0x20) == c) ++n;
        return n;
    };
    while (i < format.size()) {
        const char c = format[i];
        const char lc = static_cast<char>(c | 0x20);
        if (c == '\'' || c == '"') {
            size_t e = format.find(c, i + 1);
            if (e == std::string_view::npos) e = format.size();
            out.append(format.substr(i + 1, e - i - 1));
            i = e + 1;
            continue;
        }
        size_t n;
        switch (lc) {
            case 'y':
                n = run('y');
                date();
                out += n <= 2 ? Pad(y % 100, 2) : Pad(y, 4);
                i += n;
                afterHour = false;
                break;
            case 'm':
                n = run('m');
                if (afterHour) {
                    out += n >= 2 ? Pad(mi, 2) : std::to_string(mi);
                } else {
                    date();
                    out += n >= 2 ? Pad(mo, 2) : std::to_string(mo);
                }
                i += n;
                afterHour = false;
                break;
            case 'd':
                n = run('d');
                date();
                out += n >= 2 ? Pad(d, 2) : std::to_string(d);
                i += n;
                afterHour = false;
                break;
            case 'h':
                n = run('h');
                out += n >= 2 ? Pad(h, 2) : std::to_string(h);
                i += n;
                afterHour = true;
                break;
            case 'n':
                n = run('n');
                out += n >= 2 ? Pad(mi, 2) : std::to_string(mi);
                i += n;
                afterHour = false;
                break;
            case 's':
                n = run('s');
                out += n >= 2 ? Pad(s, 2) : std::to_string(s);
                i += n;
                afterHour = false;
                break;
            case 'z':
                n = run('z');
                out += n >= 3 ? Pad(ms, 3) : std::to_string(ms);
                i += n;
                break;
            default:
                out += c;
                ++i;
        }
    }
    return out;
}

std::string DateToStr(TDateTime dt) { return FormatDateTime(FormatSettings.ShortDateFormat, dt); }
std::string TimeToStr(TDateTime dt) { return FormatDateTime(FormatSettings.LongTimeFormat, dt); }

std::string DateTimeToStr(TDateTime dt) {
    std::string s = DateToStr(dt);
    if (dt - std::trunc(dt) != 0) {
        s += ' ';
        s += TimeToStr(dt);
    }
    return s;
}

bool TryStrToDate(std::string_view s, TDateTime& result) { return ScanDate(Trim(s), result); }
bool TryStrToTime(std::string_view s, TDateTime& result) { return ScanTime(Trim(s), result); }

bool TryStrToDateTime(std::string_view s, TDateTime& result) {
    s = Trim(s);
    const size_t blank = s.find_first_of(" \t");
    TDateTime d, t = 0;
    if (blank == std::string_view::npos) {
        if (ScanDate(s, d)) {
            result = d;
            return true;
        }
        if (ScanTime(s, t)) {
            result = t;
            return true;
        }
        return false;
    }
    if (!ScanDate(s.substr(0, blank), d) || !ScanTime(Trim(s.substr(blank)), t)) return false;
    result = d < 0 ? d - t : d + t;
    return true;
}

TDateTime StrToDate(std::string_view s) {
    TDateTime r;
    if (!TryStrToDate(s, r)) throw EConvertError("'" + std::string(s) + "' is not a valid date");
    return r;
}

TDateTime StrToTime(std::string_view s) {
    TDateTime r;
    if (!TryStrToTime(s, r)) throw EConvertError("'" + std::string(s) + "' is not a valid time");
    return r;
}

TDateTime StrToDateTime(std::string_view s) {
    TDateTime r;
    if (!TryStrToDateTime(s, r)) throw EConvertError("'" + std::string(s) + "' is not a valid date and time");
    return r;
}

}  // namespace classlib
