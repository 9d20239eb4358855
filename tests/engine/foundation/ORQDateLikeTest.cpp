// Fixed date/time forms and LIKE.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <string_view>

#include "classlib/DateUtils.h"
#include "engine/foundation/ORQCollation.h"
#include "engine/foundation/ORQDateLike.h"

using namespace orq;
using classlib::EncodeDate;
using classlib::EncodeTime;
using classlib::TDateTime;

TEST(ReadDigitGroup, ExactWidthAndPositionRules) {
    struct { const char* text; int32_t pos; int32_t count; bool ok; uint16_t value; int32_t posAfter; } cases[] = {
        {"2024-01", 1, 4, true, 2024, 6}, {"2024-01", 6, 2, true, 1, 9},  // at the end: length + 2
        {"202-01", 1, 4, false, 0, 5},    {"20240", 1, 4, false, 0, 7},  {"--1", 2, 2, false, 0, 3},
        {"", 1, 2, false, 0, 2},          {"12x", 1, 2, true, 12, 4},    {"007", 1, 3, true, 7, 5},
    };
    for (auto& c : cases) {
        uint16_t v = 999;
        int32_t pos = c.pos;
        EXPECT_EQ(ReadDigitGroup(c.text, c.count, v, pos), c.ok) << c.text;
        EXPECT_EQ(v, c.ok ? c.value : 999) << c.text;
        EXPECT_EQ(pos, c.posAfter) << c.text;
    }
}

TEST(TryParse, FixedFormsAndCalendarFailuresGiveFalse) {
    enum Kind { D, T, DT };
    struct { Kind kind; const char* text; bool ok; TDateTime value; } cases[] = {
        {D, "2024-01-15", true, EncodeDate(2024, 1, 15)},
        {D, "2024/01/15", true, EncodeDate(2024, 1, 15)},
        {D, "2024-01-15x", true, EncodeDate(2024, 1, 15)},
        {D, "2024-01-15xy", false, 0},
        {D, "20240115", false, 0},
        {D, "2024-1-15", false, 0},
        {D, "2024-01-15 10:20:30", false, 0},
        {D, "2024--01-15", false, 0},
        {D, "2024-13-01", false, 0},  // outside the calendar: false, not an exception
        {D, "2023-02-29", false, 0},
        {D, "0000-01-01", false, 0},
        {T, "10:20:30", true, EncodeTime(10, 20, 30, 0)},
        {T, "10:20", false, 0},
        {T, "10:20:30.5", false, 0},
        {T, "24:00:00", false, 0},
        {T, "10:60:00", false, 0},
        {DT, "2024-01-15 10:20:30", true, EncodeDate(2024, 1, 15) + EncodeTime(10, 20, 30, 0)},
        {DT, "2024-01-15T10:20:30", true, EncodeDate(2024, 1, 15) + EncodeTime(10, 20, 30, 0)},
        {DT, "1850-01-01 06:00:00", true, EncodeDate(1850, 1, 1) - 0.25},
        {DT, "2024-01-15", false, 0},
        {DT, "2024-02-30 10:20:30", false, 0},
    };
    for (auto& c : cases) {
        TDateTime out = -12345;
        const bool ok = c.kind == D ? TryParseDate(c.text, out) : c.kind == T ? TryParseTime(c.text, out)
                                                                                : TryParseDateTime(c.text, out);
        EXPECT_EQ(ok, c.ok) << c.text;
        EXPECT_DOUBLE_EQ(out, c.ok ? c.value : -12345) << c.text;
    }
}

TEST(IsLike, WildcardsEscapeAndCase) {
    struct { const char* text; const char* pattern; bool ok; bool ic = false; } cases[] = {
        {"", "%", true},      {"", "%%", true},  // '%' matches the empty rest anywhere
        {"x", "x%%", true},   {"abc", "a%", true},    {"abc", "%c", true},     {"abc", "a_c", true},
        {"abc", "%b%", true}, {"abc", "%%", true},    {"abc", "ab", false},    {"ab", "abc", false},
        {"", "", true},       {"", "_", false},       {"abc", "___", true},    {"abc", "__", false},
        {"abcabd", "%ab_", true}, {"aXbXc", "a%b%c", true}, {"acb", "a%b%c", false},
        {"mississippi", "%ss%ss%", true}, {"mississippi", "%ss%ss%ss%", false},
        {"ABC", "a%c", true, true}, {"ABC", "a%c", false}, {"\xC4rger", "\xE4%", true, true},
        {"\xC4rger", "a%", false, true},
    };
    for (auto& c : cases) EXPECT_EQ(IsLike(c.text, c.pattern, false, '\0', c.ic), c.ok) << c.text << " LIKE " << c.pattern;
}

TEST(IsLike, EscapeCharacter) {
    struct { const char* text; const char* pattern; bool ok; } cases[] = {
        {"50%", "50\\%", true}, {"500", "50\\%", false}, {"a_b", "a\\_b", true}, {"axb", "a\\_b", false},
        {"a\\b", "a\\\\b", true}, {"a", "a\\", false}, {"a\\", "a\\", false},  // a trailing escape matches nothing
        {"", "\\", false},
    };
    for (auto& c : cases) EXPECT_EQ(IsLike(c.text, c.pattern, true, '\\', false), c.ok) << c.text << " LIKE " << c.pattern;
    EXPECT_TRUE(IsLike("ab", "a%", true, '%', false));  // '%' as escape stays a wildcard
    EXPECT_TRUE(IsLike("a\\", "a\\", false, '\\', false));  // without HasEscape it is literal
}

TEST(IsLike, ManyWildcardsStayPolynomial) {
    const std::string text(3000, 'a');
    const std::string pattern = std::string(40, '%').insert(20, "a%a%a%a%a%a%a%a%a%a%") + "b";
    EXPECT_FALSE(IsLike(text, pattern, false, 0, true));
    EXPECT_TRUE(IsLike(text + "b", pattern, false, 0, true));
}

// Patterns with and without '_' against a plain recursive matcher over the same character
// equality: texts and patterns drawn from a few letters, their case, an accent, '%', '_'
// and the escape.
TEST(IsLike, AgreesWithARecursiveMatcher) {
    std::function<bool(std::string_view, std::string_view, bool)> reference = [&](std::string_view t,
                                                                                std::string_view p, bool ic) {
        if (p.empty()) return t.empty();
        if (p[0] == '%') return reference(t, p.substr(1), ic) || (!t.empty() && reference(t.substr(1), p, ic));
        if (t.empty()) return false;
        if (p[0] == '_') return reference(t.substr(1), p.substr(1), ic);
        if (p[0] == '!' && p.size() > 1)
            return SameAnsiChar(t[0], p[1], ic) && reference(t.substr(1), p.substr(2), ic);
        return SameAnsiChar(t[0], p[0], ic) && reference(t.substr(1), p.substr(1), ic);
    };
    std::mt19937 rng(35);
    const char textChars[] = "abAB\xE4\xC4%_!";
    const char patternChars[] = "abAB\xE4%%%_!";
    for (int k = 0; k < 20000; ++k) {
        std::string text, pattern;
        for (auto n = rng() % 8; n > 0; --n) text += textChars[rng() % (sizeof textChars - 1)];
        for (auto n = rng() % 6; n > 0; --n) pattern += patternChars[rng() % (sizeof patternChars - 1)];
        if (!pattern.empty() && pattern.back() == '!') continue;  // a trailing escape matches nothing
        for (const bool ic : {false, true})
            ASSERT_EQ(IsLike(text, pattern, true, '!', ic), reference(text, pattern, ic))
                << '"' << text << "\" LIKE \"" << pattern << "\" ignoring case " << ic;
    }
    // The same pattern under another escape character is another pattern.
    EXPECT_TRUE(IsLike("a%", "a!%", true, '!', false));
    EXPECT_FALSE(IsLike("a%", "a!%", true, '#', false));
    EXPECT_TRUE(IsLike("a!x", "a!%", true, '#', false));
    // A long text searched for a run that recurs in part before it ends.
    const std::string log = std::string(3000, 'G') + "GALE WARNIN GALE WARNING END";
    EXPECT_TRUE(IsLike(log, "%GALE WARNING%", false, 0, false));
    EXPECT_TRUE(IsLike(log, "%gale warning%end", false, 0, true));
    EXPECT_FALSE(IsLike(log, "%GALE WARNING", false, 0, false));
    EXPECT_FALSE(IsLike(log, "%gale warning%", false, 0, false));
}

TEST(IsLikeWide, SameRulesOnUtf16) {
    EXPECT_TRUE(IsLikeWide(u"", u"%%", false, 0, false));
    EXPECT_TRUE(IsLikeWide(u"\u0416\u0436x", u"\u0436_X", false, 0, true));
    EXPECT_FALSE(IsLikeWide(u"\u0416\u0436x", u"\u0436_X", false, 0, false));
    EXPECT_TRUE(IsLikeWide(u"50%", u"50!%", true, u'!', false));
    EXPECT_FALSE(IsLikeWide(u"50", u"50!", true, u'!', false));
    EXPECT_TRUE(IsLikeWide(u"\u20AC 5", u"\u20AC%", false, 0, false));
}
