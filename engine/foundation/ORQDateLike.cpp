#include "engine/foundation/ORQDateLike.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/foundation/ORQCollation.h"

namespace orq {

using classlib::TDateTime;

bool ReadDigitGroup(std::string_view Text, int32_t Count, uint16_t& Value, int32_t& Pos) {
    const int32_t len = static_cast<int32_t>(Text.size());
    int32_t n = 0;
    uint32_t v = 0;
    while (Pos >= 1 && Pos <= len && Text[Pos - 1] >= '0' && Text[Pos - 1] <= '9') {
        v = v * 10 + static_cast<uint32_t>(Text[Pos - 1] - '0');
        ++n;
        ++Pos;
    }
    ++Pos;  // past the separator, or past the end
    if (n != Count) return false;
    Value = static_cast<uint16_t>(v);
    return true;
}

namespace {

// Reads the groups of the given widths and requires the whole text to be used.
template <size_t N>
bool ReadGroups(std::string_view text, const int32_t (&widths)[N], uint16_t (&values)[N]) {
    int32_t pos = 1;
    for (size_t k = 0; k < N; ++k)
        if (!ReadDigitGroup(text, widths[k], values[k], pos)) return false;
    return static_cast<int32_t>(text.size()) < pos;
}

struct Token {
    enum Kind : uint8_t { Literal, One, Many } kind;
    char32_t ch;
};

// Pattern to tokens: wildcards are recognised before the escape test, so an escape
// character of '%' or '_' never escapes. False for a trailing escape character.
template <typename Char>
bool Tokenize(std::basic_string_view<Char> pattern, bool hasEscape, Char escape, std::vector<Token>& out) {
    for (size_t i = 0; i < pattern.size(); ++i) {
        const Char c = pattern[i];
        if (c == Char('%')) {
            if (out.empty() || out.back().kind != Token::Many) out.push_back({Token::Many, 0});
        } else if (c == Char('_')) {
            out.push_back({Token::One, 0});
        } else if (hasEscape && c == escape) {
            if (++i == pattern.size()) return false;
            out.push_back({Token::Literal, static_cast<char32_t>(pattern[i])});
        } else {
            out.push_back({Token::Literal, static_cast<char32_t>(c)});
        }
    }
    return true;
}

// Wildcard match with a single backtrack point: after a '%' fails further on, only
// the latest '%' takes one more character, which is enough because '%' matches any run.
template <typename Char, typename Same>
bool Match(std::basic_string_view<Char> text, const std::vector<Token>& tok, Same same) {
    size_t ti = 0, pi = 0, mark = 0;
    size_t star = SIZE_MAX;
    while (ti < text.size()) {
        if (pi < tok.size() && tok[pi].kind == Token::Many) {
            star = pi++;
            mark = ti;
        } else if (pi < tok.size() && (tok[pi].kind == Token::One ||
                                       same(text[ti], static_cast<Char>(tok[pi].ch)))) {
            ++ti;
            ++pi;
        } else if (star != SIZE_MAX) {
            pi = star + 1;
            ti = ++mark;
        } else {
            return false;
        }
    }
    while (pi < tok.size() && tok[pi].kind == Token::Many) ++pi;
    return pi == tok.size();
}

}  // namespace

bool TryParseDate(std::string_view Text, TDateTime& DateTime) {
    static constexpr int32_t w[3] = {4, 2, 2};
    uint16_t v[3];
    return ReadGroups(Text, w, v) && classlib::TryEncodeDate(v[0], v[1], v[2], DateTime);
}

bool TryParseTime(std::string_view Text, TDateTime& DateTime) {
    static constexpr int32_t w[3] = {2, 2, 2};
    uint16_t v[3];
    return ReadGroups(Text, w, v) && classlib::TryEncodeTime(v[0], v[1], v[2], 0, DateTime);
}

bool TryParseDateTime(std::string_view Text, TDateTime& DateTime) {
    static constexpr int32_t w[6] = {4, 2, 2, 2, 2, 2};
    uint16_t v[6];
    TDateTime d, t;
    if (!ReadGroups(Text, w, v) || !classlib::TryEncodeDate(v[0], v[1], v[2], d) ||
        !classlib::TryEncodeTime(v[3], v[4], v[5], 0, t))
        return false;
    DateTime = d < 0 ? d - t : d + t;
    return true;
}

namespace {

// A pattern of literals and '%' only: each run of literals is found at its first place
// after the previous one (the leftmost match leaves the most text to the rest), the first
// at the start and the last at the end unless a '%' stands there. Cls compares characters.
bool MatchRuns(std::string_view Text, const std::vector<Token>& Tok, const uint16_t* Cls) {
    auto same = [Cls](char a, char32_t b) {
        return Cls[static_cast<uint8_t>(a)] == Cls[static_cast<uint8_t>(static_cast<char>(b))];
    };
    auto at = [&](size_t Pos, size_t First, size_t End) {
        for (size_t k = First; k < End; ++k)
            if (!same(Text[Pos + k - First], Tok[k].ch)) return false;
        return true;
    };
    size_t pos = 0, k = 0;
    const size_t n = Tok.size();
    bool anchored = true;  // no '%' before this run
    while (k < n) {
        if (Tok[k].kind == Token::Many) {
            anchored = false;
            ++k;
            continue;
        }
        size_t end = k;
        while (end < n && Tok[end].kind == Token::Literal) ++end;
        const size_t len = end - k;
        if (end == n && !anchored) {
            // The last run ends the text.
            if (Text.size() - pos < len) return false;
            return at(Text.size() - len, k, end);
        }
        if (anchored) {
            if (Text.size() - pos < len || !at(pos, k, end)) return false;
        } else {
            // Horspool's search over the characters' classes: the byte under the window's
            // last place tells how far the run can move on.
            std::array<uint16_t, 256> shift;
            shift.fill(static_cast<uint16_t>(std::min<size_t>(len, UINT16_MAX)));
            if (len <= UINT16_MAX)
                for (size_t i = 0; i + 1 < len; ++i)
                    shift[Cls[static_cast<uint8_t>(static_cast<char>(Tok[k + i].ch))]] = static_cast<uint16_t>(len - 1 - i);
            const uint16_t last = Cls[static_cast<uint8_t>(static_cast<char>(Tok[end - 1].ch))];
            bool found = false;
            while (pos + len <= Text.size()) {
                const uint16_t c = Cls[static_cast<uint8_t>(Text[pos + len - 1])];
                if (c == last && at(pos, k, end)) {
                    found = true;
                    break;
                }
                pos += len <= UINT16_MAX ? shift[c] : 1;
            }
            if (!found) return false;
        }
        pos += len;
        k = end;
    }
    return anchored ? pos == Text.size() : true;
}

}  // namespace

bool IsLike(std::string_view Text, std::string_view Pattern, bool HasEscape, char EscapeChar, bool IgnoreCase) {
    // The tokens of one call, their room kept for the next.
    thread_local std::vector<Token> tok;
    tok.clear();
    if (!Tokenize(Pattern, HasEscape, EscapeChar, tok)) return false;
    const uint16_t* cls = AnsiCharClasses(IgnoreCase);
    if (std::none_of(tok.begin(), tok.end(), [](const Token& t) { return t.kind == Token::One; }))
        return MatchRuns(Text, tok, cls);
    return Match(Text, tok, [cls](char a, char b) { return cls[static_cast<uint8_t>(a)] == cls[static_cast<uint8_t>(b)]; });
}

bool IsLikeWide(std::u16string_view Text, std::u16string_view Pattern, bool HasEscape, char16_t EscapeChar,
                bool IgnoreCase) {
    std::vector<Token> tok;
    if (!Tokenize(Pattern, HasEscape, EscapeChar, tok)) return false;
    return Match(Text, tok, [IgnoreCase](char16_t a, char16_t b) { return SameWideChar(a, b, IgnoreCase); });
}

}  // namespace orq
