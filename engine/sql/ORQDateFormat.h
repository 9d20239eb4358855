// Date pictures for TODATE and TOSTRING: a picture such as "YYYY-MM-DD HH24:NN:SS" is
// split once into tokens (picture words and literals), then formats date-times to text,
// parses text to date-times, and reports the longest text it makes and the type of the
// value it reads.
//
// Rules the pictures keep:
// - Words match ignoring case, the longest first (MONTH is one word, not MON and a
//   literal "TH"); quoted text is literal and never holds words.
// - Month and day names are fixed English names, whatever the locale: what is written
//   under one setting must read back under any other.
// - Parsing reads what formatting writes: month names, abbreviations and Roman months
//   give the month, names and numbers of variable width are skipped whole, 12 AM is
//   hour 0 and 12 PM hour 12. A year, month or day left 0 gives the date 1899-12-30.
// - Invalid dates and times, and numbers that do not convert, fail with the run-time's
//   conversion error (classlib::EConvertError); a wrong AM/PM word with 30129.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "classlib/DateUtils.h"

namespace orq {

// Token kinds: the picture words in table order, then the literal.
enum TDateFormatType : uint8_t {
    dftYYYY, dftYY, dftYEAR, dftQ, dftMONTH, dftMON, dftMM, dftM, dftRM, dftDDD, dftDD, dftDAY, dftDY, dftDW,
    dftD, dftHH12, dftHH24, dftHH, dftH12, dftH24, dftH, dftNN, dftN, dftSS, dftS, dftAMPM, dftLiteral
};

struct TDateFormatToken {
    uint8_t Kind = dftLiteral;
    std::string Text;  // the word as written, or the literal text
};

// The length of the longest picture word (MONTH).
extern const int32_t MaxWordLength;

class TDateFormater {
public:
    explicit TDateFormater(std::string_view Picture);

    std::string FormatDateTime(classlib::TDateTime Value) const;
    classlib::TDateTime ParseDateTime(std::string_view Text) const;
    int32_t GetMaxLength() const;
    // The advanced field type of the value read: 25 DATE, 26 TIME or 27 DATETIME.
    uint8_t GetResultType() const;

    std::vector<TDateFormatToken> Tokens;
};

// Calendar parts of a date-time (EConvertError outside years 1 to 9999).
int32_t YearOf(classlib::TDateTime Value);
int32_t MonthOf(classlib::TDateTime Value);
int32_t DayOfTheYear(classlib::TDateTime Value);  // 1 for 1 January
int32_t DayOfTheWeek(classlib::TDateTime Value);  // 1 Monday to 7 Sunday
int32_t HourOf(classlib::TDateTime Value);

}  // namespace orq
