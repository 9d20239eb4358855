// The process-wide format settings. They are fixed for the life of the process
// ('.' decimals, ',' thousands, "yyyy-MM-dd" dates, "hh:mm:ss" times) so that every
// number and date text the system reads or writes is the same on every machine; no
// routine consults or changes the C locale.
#pragma once

#include <string_view>

namespace classlib {

struct TFormatSettings {
    char DecimalSeparator;
    char ThousandSeparator;
    char DateSeparator;
    char TimeSeparator;
    std::string_view ShortDateFormat;
    std::string_view LongTimeFormat;
    int CurrencyDecimals;
};

// The one, read-only instance.
inline constexpr TFormatSettings FormatSettings{'.', ',', '-', ':', "yyyy-MM-dd", "hh:mm:ss", 2};

}  // namespace classlib
