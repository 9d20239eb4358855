#include "engine/sql/ORQDateFormat.h"

#include <algorithm>
#include <cmath>

#include "classlib/NumConv.h"
#include "classlib/SysUtils.h"
#include "engine/foundation/ORQCollation.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/foundation/ORQTypesRoutines.h"

namespace orq {

namespace {

using classlib::EConvertError;
using classlib::TDateTime;

// The picture words; a word's kind is its position.
constexpr std::string_view kWords[] = {"YYYY", "YY", "YEAR", "Q",    "MONTH", "MON", "MM",   "M",  "RM",
                                       "DDD",  "DD", "DAY",  "DY",   "DW",    "D",   "HH12", "HH24", "HH",
                                       "H12",  "H24", "H",   "NN",   "N",     "SS",  "S",    "AMPM"};
static_assert(std::size(kWords) == dftLiteral);

constexpr std::string_view kLongMonths[12] = {"January", "February", "March",     "April",   "May",      "June",
                                              "July",    "August",   "September", "October", "November", "December"};
constexpr std::string_view kShortMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::string_view kRomanMonths[12] = {"I", "II", "III", "IV", "V", "VI", "VII", "VIII", "IX", "X", "XI", "XII"};
// By DayOfTheWeek - 1.
constexpr std::string_view kLongDays[7] = {"Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday",
                                           "Sunday"};
constexpr std::string_view kShortDays[7] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};

constexpr int32_t ComputeMaxWordLength() {
    size_t m = 0;
    for (std::string_view w : kWords) m = std::max(m, w.size());
    return static_cast<int32_t>(m);
}

// The kind of the word that is exactly Candidate (ignoring case), or -1.
int FindWord(std::string_view Candidate) {
    char upper[8];
    for (size_t k = 0; k < Candidate.size(); ++k) upper[k] = AnsiUpperChar(Candidate[k]);
    const std::string_view u(upper, Candidate.size());
    for (size_t k = 0; k < std::size(kWords); ++k)
        if (kWords[k] == u) return static_cast<int>(k);
    return -1;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool IsRomanDigit(char c) { return c == 'I' || c == 'V' || c == 'X' || c == 'i' || c == 'v' || c == 'x'; }

bool SameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t k = 0; k < a.size(); ++k)
        if (AnsiUpperChar(a[k]) != AnsiUpperChar(b[k])) return false;
    return true;
}

std::string Pad2(int v) {
    std::string s = std::to_string(v);
    return s.size() < 2 ? "0" + s : s;
}

std::string Pad4(int v) {
    std::string s = std::to_string(v);
    return s.size() < 4 ? std::string(4 - s.size(), '0') + s : s;
}

int64_t DayCount(TDateTime Value) { return static_cast<int64_t>(std::trunc(Value)) + DayNumberDelta; }

[[noreturn]] void UnknownKind() { throw classlib::Exception("Unknown DateFormatType"); }

// Reads the fields of a text in picture order.
class TPictureReader {
public:
    explicit TPictureReader(std::string_view Text) : S(Text) {}

    // Count characters as a number (fewer at the end of the text).
    int Fixed(size_t Count) { return classlib::StrToInt(Take(Count)); }
    // Two characters when the second is a digit, else one.
    int OneOrTwo() { return Fixed(FPos + 1 < S.size() && IsDigit(S[FPos + 1]) ? 2 : 1); }
    std::string_view Take(size_t Count) {
        const std::string_view r = S.substr(std::min(FPos, S.size()), Count);
        FPos += Count;
        return r;
    }
    template <typename Pred>
    std::string_view Run(Pred p) {
        size_t e = std::min(FPos, S.size());
        const size_t b = e;
        while (e < S.size() && p(S[e])) ++e;
        FPos = e;
        return S.substr(b, e - b);
    }
    // The 1-based position of the run in Names, ignoring case.
    int Month(std::string_view Run, const std::string_view (&Names)[12]) {
        for (int k = 0; k < 12; ++k)
            if (SameText(Run, Names[k])) return k + 1;
        throw EConvertError("'" + std::string(Run) + "' is not a valid month");
    }

private:
    std::string_view S;
    size_t FPos = 0;
};

uint16_t Field(int v) {
    // Out-of-range fields become values the calendar refuses.
    return v < 0 || v > 0xFFFF ? uint16_t{0xFFFF} : static_cast<uint16_t>(v);
}

}  // namespace

constexpr int32_t MaxWordLength = ComputeMaxWordLength();

TDateFormater::TDateFormater(std::string_view Picture) {
    auto literal = [this](std::string_view text) { Tokens.push_back({dftLiteral, std::string(text)}); };
    const size_t n = Picture.size();
    size_t pending = 0;
    char quote = 0;
    size_t i = 0;
    while (i < n) {
        const char c = Picture[i];
        if (quote) {
            if (c == quote) {
                literal(Picture.substr(pending, i - pending));  // also an empty one
                quote = 0;
                pending = i + 1;
            }
            ++i;
            continue;
        }
        if (c == '\'' || c == '"') {
            if (i > pending) literal(Picture.substr(pending, i - pending));
            quote = c;
            pending = ++i;
            continue;
        }
        int kind = -1;
        size_t len = std::min(static_cast<size_t>(MaxWordLength), n - i);
        while (len > 0 && (kind = FindWord(Picture.substr(i, len))) < 0) --len;
        if (kind < 0) {
            ++i;
            continue;
        }
        if (i > pending) literal(Picture.substr(pending, i - pending));
        Tokens.push_back({static_cast<uint8_t>(kind), std::string(Picture.substr(i, len))});
        i += len;
        pending = i;
    }
    if (pending < n) literal(Picture.substr(pending));
}

std::string TDateFormater::FormatDateTime(TDateTime Value) const {
    uint16_t y, m, d, h, n, s, ms;
    classlib::DecodeDate(Value, y, m, d);
    classlib::DecodeTime(Value, h, n, s, ms);
    std::string out;
    for (const TDateFormatToken& t : Tokens) {
        switch (t.Kind) {
            case dftYYYY: case dftYEAR: out += Pad4(y); break;
            case dftYY: out += Pad2(y % 100); break;
            case dftQ: out += std::to_string((m - 1) / 3 + 1); break;
            case dftMONTH: out += kLongMonths[m - 1]; break;
            case dftMON: out += kShortMonths[m - 1]; break;
            case dftMM: out += Pad2(m); break;
            case dftM: out += std::to_string(m); break;
            case dftRM: out += kRomanMonths[m - 1]; break;
            case dftDDD: out += kShortDays[DayOfTheWeek(Value) - 1]; break;
            case dftDD: out += Pad2(d); break;
            case dftDAY: out += kLongDays[DayOfTheWeek(Value) - 1]; break;
            case dftDY: out += std::to_string(DayOfTheYear(Value)); break;
            case dftDW: out += std::to_string(DayOfTheWeek(Value)); break;
            case dftD: out += std::to_string(d); break;
            case dftHH12: case dftHH: out += Pad2(h % 12); break;
            case dftHH24: out += Pad2(h); break;
            case dftH12: case dftH: out += std::to_string(h % 12); break;
            case dftH24: out += std::to_string(h); break;
            case dftNN: out += Pad2(n); break;
            case dftN: out += std::to_string(n); break;
            case dftSS: out += Pad2(s); break;
            case dftS: out += std::to_string(s); break;
            case dftAMPM: out += h > 11 ? "PM" : "AM"; break;
            case dftLiteral: out += t.Text; break;
            default: UnknownKind();
        }
    }
    return out;
}

TDateTime TDateFormater::ParseDateTime(std::string_view Text) const {
    TPictureReader r(Text);
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    int pm = -1;  // no AM/PM word, 0 AM, 1 PM
    for (const TDateFormatToken& t : Tokens) {
        switch (t.Kind) {
            case dftYYYY: case dftYEAR: year = r.Fixed(4); break;
            case dftYY: {
                const int v = r.Fixed(2);
                year = v < 30 ? v + 2000 : v + 1900;
                break;
            }
            case dftQ: month = 3 * r.Fixed(1) - 2; break;
            case dftMONTH: month = r.Month(r.Run(IsLetter), kLongMonths); break;
            case dftMON: month = r.Month(r.Run(IsLetter), kShortMonths); break;
            case dftRM: month = r.Month(r.Run(IsRomanDigit), kRomanMonths); break;
            case dftMM: month = r.Fixed(2); break;
            case dftM: month = r.OneOrTwo(); break;
            case dftDDD: case dftDAY: r.Run(IsLetter); break;
            case dftDY: case dftDW: r.Run(IsDigit); break;
            case dftDD: day = r.Fixed(2); break;
            case dftD: day = r.OneOrTwo(); break;
            case dftHH24: hour = r.Fixed(2); break;
            case dftHH12: case dftHH: case dftH12: case dftH24: case dftH: hour = r.OneOrTwo(); break;
            case dftNN: minute = r.Fixed(2); break;
            case dftN: minute = r.OneOrTwo(); break;
            case dftSS: second = r.Fixed(2); break;
            case dftS: second = r.OneOrTwo(); break;
            case dftAMPM: {
                const std::string w = AnsiUpperCase(r.Take(2));
                if (w == "PM")
                    pm = 1;
                else if (w == "AM")
                    pm = 0;
                else
                    RaiseNativeFmt(30129, "AM/PM word expected, but '%s' found", {w});
                break;
            }
            default: r.Take(t.Text.size()); break;  // a literal
        }
    }
    // On a 12-hour clock 12 AM is midnight and 12 PM noon.
    if (pm == 1 && hour != 12) hour += 12;
    if (pm == 0 && hour == 12) hour = 0;
    const TDateTime date = year == 0 || month == 0 || day == 0
                               ? 0.0
                               : classlib::EncodeDate(Field(year), Field(month), Field(day));
    const TDateTime time = classlib::EncodeTime(Field(hour), Field(minute), Field(second), 0);
    // Before 1899-12-30 the time of day counts away from the day, as everywhere else.
    return date < 0 ? date - time : date + time;
}

int32_t TDateFormater::GetMaxLength() const {
    int32_t total = 0;
    for (const TDateFormatToken& t : Tokens) {
        switch (t.Kind) {
            case dftYYYY: case dftYEAR: case dftRM: total += 4; break;
            case dftQ: total += 1; break;
            case dftMONTH: total += 9; break;
            case dftMON: case dftDDD: case dftDY: total += 3; break;
            case dftDAY: total += 12; break;
            case dftLiteral: total += static_cast<int32_t>(t.Text.size()); break;
            default:
                if (t.Kind > dftLiteral) UnknownKind();
                total += 2;
        }
    }
    return total;
}

uint8_t TDateFormater::GetResultType() const {
    bool date = false, time = false;
    for (const TDateFormatToken& t : Tokens) {
        if (t.Kind <= dftD) date = true;
        else if (t.Kind <= dftAMPM) time = true;
    }
    return date && !time ? aftDate : time && !date ? aftTime : aftDateTime;
}

int32_t YearOf(TDateTime Value) {
    uint16_t y, m, d;
    classlib::DecodeDate(Value, y, m, d);
    return y;
}

int32_t MonthOf(TDateTime Value) {
    uint16_t y, m, d;
    classlib::DecodeDate(Value, y, m, d);
    return m;
}

int32_t DayOfTheYear(TDateTime Value) {
    return static_cast<int32_t>(std::trunc(Value) - classlib::EncodeDate(static_cast<uint16_t>(YearOf(Value)), 1, 1)) +
           1;
}

int32_t DayOfTheWeek(TDateTime Value) {
    YearOf(Value);  // refuses a day outside the calendar
    return static_cast<int32_t>((DayCount(Value) - 1) % 7) + 1;  // day 1, 0001-01-01, was a Monday
}

int32_t HourOf(TDateTime Value) {
    uint16_t h, n, s, ms;
    classlib::DecodeTime(Value, h, n, s, ms);
    return h;
}

}  // namespace orq
