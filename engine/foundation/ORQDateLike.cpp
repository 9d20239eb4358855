#include "engine/foundation/ORQDateLike.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
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

// A pattern of literals and '%' only, compiled for one character equality: its runs of
// literals, each run's bytes, and for a run searched for (one after a '%') Horspool's
// shifts and the bytes equal to its last character, both by byte.
struct TLikeRuns {
    struct TRun {
        std::string Bytes;
        bool AfterMany = false;  // a '%' stands before it
        std::array<uint8_t, 256> Shift{};
        std::array<bool, 256> EndsWith{};
    };
    std::vector<TRun> Runs;
    bool EndsWithMany = false;
    const uint16_t* Cls = nullptr;

    void Compile(const std::vector<Token>& Tok, const uint16_t* Classes) {
        Cls = Classes;
        Runs.clear();
        EndsWithMany = !Tok.empty() && Tok.back().kind == Token::Many;
        bool afterMany = false;
        for (size_t k = 0; k < Tok.size();) {
            if (Tok[k].kind == Token::Many) {
                afterMany = true;
                ++k;
                continue;
            }
            TRun run;
            run.AfterMany = afterMany;
            for (; k < Tok.size() && Tok[k].kind == Token::Literal; ++k) run.Bytes += static_cast<char>(Tok[k].ch);
            const size_t len = run.Bytes.size();
            // Shifts past 255 are cut to 255: a shorter move is always safe.
            const auto whole = static_cast<uint8_t>(std::min<size_t>(len, 255));
            for (int b = 0; b < 256; ++b) {
                const uint16_t c = Cls[b];
                run.EndsWith[static_cast<size_t>(b)] = c == Cls[static_cast<uint8_t>(run.Bytes.back())];
                uint8_t shift = whole;
                for (size_t i = 0; i + 1 < len; ++i)
                    if (Cls[static_cast<uint8_t>(run.Bytes[i])] == c) shift = static_cast<uint8_t>(std::min<size_t>(len - 1 - i, 255));
                run.Shift[static_cast<size_t>(b)] = shift;
            }
            Runs.push_back(std::move(run));
            afterMany = false;
        }
    }

    bool SameAt(std::string_view Text, size_t Pos, const std::string& Run) const {
        for (size_t i = 0; i < Run.size(); ++i)
            if (Cls[static_cast<uint8_t>(Text[Pos + i])] != Cls[static_cast<uint8_t>(Run[i])]) return false;
        return true;
    }

    // Each run at its first place after the previous one (the leftmost match leaves the
    // most text to the rest); the first at the start unless a '%' precedes it, the last
    // at the end unless a '%' follows it.
    bool Match(std::string_view Text) const {
        size_t pos = 0;
        for (size_t r = 0; r < Runs.size(); ++r) {
            const TRun& run = Runs[r];
            const size_t len = run.Bytes.size();
            if (Text.size() - pos < len) return false;
            if (r + 1 == Runs.size() && !EndsWithMany && run.AfterMany) return SameAt(Text, Text.size() - len, run.Bytes);
            if (!run.AfterMany) {
                if (!SameAt(Text, pos, run.Bytes)) return false;
            } else {
                // Horspool's search: the byte under the window's last place tells how far
                // the run can move on.
                for (;;) {
                    if (pos + len > Text.size()) return false;
                    const auto c = static_cast<uint8_t>(Text[pos + len - 1]);
                    if (run.EndsWith[c] && SameAt(Text, pos, run.Bytes)) break;
                    pos += run.Shift[c];
                }
            }
            pos += len;
        }
        return EndsWithMany || pos == Text.size();
    }
};

}  // namespace

struct TORQLikePattern::TState {
    std::string Pattern;
    bool HasEscape = false;
    char EscapeChar = 0;
    bool IgnoreCase = false;
    bool Tokenized = false;
    bool RunsOnly = false;
    std::vector<Token> Tok;
    TLikeRuns Runs;
};

TORQLikePattern::TORQLikePattern() = default;
TORQLikePattern::~TORQLikePattern() = default;
TORQLikePattern::TORQLikePattern(TORQLikePattern&&) noexcept = default;
TORQLikePattern& TORQLikePattern::operator=(TORQLikePattern&&) noexcept = default;

bool TORQLikePattern::IsPreparedFor(std::string_view Pattern, bool HasEscape, char EscapeChar,
                                    bool IgnoreCase) const {
    return F && F->Pattern == Pattern && F->HasEscape == HasEscape && (!HasEscape || F->EscapeChar == EscapeChar) &&
           F->IgnoreCase == IgnoreCase;
}

void TORQLikePattern::Prepare(std::string_view Pattern, bool HasEscape, char EscapeChar, bool IgnoreCase) {
    if (IsPreparedFor(Pattern, HasEscape, EscapeChar, IgnoreCase)) return;
    auto state = std::make_unique<TState>();
    state->Pattern.assign(Pattern);
    state->HasEscape = HasEscape;
    state->EscapeChar = EscapeChar;
    state->IgnoreCase = IgnoreCase;
    state->Tokenized = Tokenize(Pattern, HasEscape, EscapeChar, state->Tok);
    state->RunsOnly =
        std::none_of(state->Tok.begin(), state->Tok.end(), [](const Token& t) { return t.kind == Token::One; });
    if (state->Tokenized && state->RunsOnly) state->Runs.Compile(state->Tok, AnsiCharClasses(IgnoreCase));
    F = std::move(state);
}

bool TORQLikePattern::Matches(std::string_view Text) const {
    if (!F || !F->Tokenized) return false;
    if (F->RunsOnly) return F->Runs.Match(Text);
    const uint16_t* cls = AnsiCharClasses(F->IgnoreCase);
    return Match(Text, F->Tok, [cls](char a, char b) { return cls[static_cast<uint8_t>(a)] == cls[static_cast<uint8_t>(b)]; });
}

bool IsLike(std::string_view Text, std::string_view Pattern, bool HasEscape, char EscapeChar, bool IgnoreCase) {
    // The last pattern prepared on this thread, kept for the next record's match.
    thread_local TORQLikePattern cache;
    cache.Prepare(Pattern, HasEscape, EscapeChar, IgnoreCase);
    return cache.Matches(Text);
}

bool IsLikeWide(std::u16string_view Text, std::u16string_view Pattern, bool HasEscape, char16_t EscapeChar,
                bool IgnoreCase) {
    std::vector<Token> tok;
    if (!Tokenize(Pattern, HasEscape, EscapeChar, tok)) return false;
    return Match(Text, tok, [IgnoreCase](char16_t a, char16_t b) { return SameWideChar(a, b, IgnoreCase); });
}

}  // namespace orq
