// Dates and times in the engine's fixed numeric form (fixed-width digit groups,
// independent of any regional setting) and the SQL LIKE match for 8-bit and wide text.
//
// The fixed forms: year 4, month 2, day 2 / hour 2, minute 2, second 2 digits, any
// single non-digit character between groups, at most one after the last. A text that
// does not fit the form, or whose fields lie outside the calendar, gives false.
// LIKE: '%' matches any run of characters (also empty, anywhere), '_' one character,
// the escape character makes the next one literal (a trailing escape matches
// nothing); other characters compare by the engine's collation, optionally ignoring
// case. Matching costs at most text length x pattern length character comparisons.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "classlib/DateUtils.h"

namespace orq {

// Pos is 1-based and always moves past the group and one following character (at the
// end of Text it becomes length + 2). True when exactly Count digits were read; only
// then is Value set.
bool ReadDigitGroup(std::string_view Text, int32_t Count, uint16_t& Value, int32_t& Pos);

// DateTime is written only on success.
bool TryParseDate(std::string_view Text, classlib::TDateTime& DateTime);
bool TryParseTime(std::string_view Text, classlib::TDateTime& DateTime);
bool TryParseDateTime(std::string_view Text, classlib::TDateTime& DateTime);

// An 8-bit LIKE pattern prepared once (its tokens, and for literals and '%' alone the
// runs' search tables) and matched against many texts; IsLike keeps one per thread.
class TORQLikePattern {
public:
    TORQLikePattern();
    ~TORQLikePattern();
    TORQLikePattern(TORQLikePattern&&) noexcept;
    TORQLikePattern& operator=(TORQLikePattern&&) noexcept;

    // Prepares again only when something differs from the last preparation.
    void Prepare(std::string_view Pattern, bool HasEscape, char EscapeChar, bool IgnoreCase);
    bool IsPreparedFor(std::string_view Pattern, bool HasEscape, char EscapeChar, bool IgnoreCase) const;
    // False before any preparation.
    bool Matches(std::string_view Text) const;

private:
    struct TState;
    std::unique_ptr<TState> F;
};

bool IsLike(std::string_view Text, std::string_view Pattern, bool HasEscape, char EscapeChar, bool IgnoreCase);
bool IsLikeWide(std::u16string_view Text, std::u16string_view Pattern, bool HasEscape, char16_t EscapeChar,
                bool IgnoreCase);

}  // namespace orq
