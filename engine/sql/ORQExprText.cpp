#include "engine/sql/ORQExprText.h"

#include <array>

#include "engine/foundation/ORQCollation.h"
#include "engine/foundation/ORQVariant.h"

namespace orq {

namespace {

std::array<char, 256> MakeLowerTable() {
    std::array<char, 256> table{};
    for (int c = 0; c < 256; ++c) {
        const char ch = static_cast<char>(c);
        const std::string narrowed = WideToAnsi(UnicodeLowerCase(AnsiToWide(std::string_view(&ch, 1))));
        // '?' stands for a lower-case letter the code page lacks: the character stays.
        table[static_cast<std::size_t>(c)] = narrowed.size() == 1 && (narrowed[0] != '?' || ch == '?') ? narrowed[0] : ch;
    }
    return table;
}

template <typename S>
bool IsBlank(S c) {
    return static_cast<std::make_unsigned_t<S>>(c) <= 32;
}

template <typename S, typename V>
S Trim(V s, bool left, bool right) {
    std::size_t b = 0, e = s.size();
    if (left)
        while (b < e && IsBlank(s[b])) ++b;
    if (right)
        while (e > b && IsBlank(s[e - 1])) --e;
    return S(s.substr(b, e - b));
}

}  // namespace

char AnsiLowerChar(char C) {
    static const std::array<char, 256> table = MakeLowerTable();
    return table[static_cast<unsigned char>(C)];
}

std::string EngineLowerCase(std::string_view S) {
    std::string r(S);
    for (char& c : r) c = AnsiLowerChar(c);
    return r;
}

std::string TrimText(std::string_view S) { return Trim<std::string>(S, true, true); }
std::string TrimLeftText(std::string_view S) { return Trim<std::string>(S, true, false); }
std::string TrimRightText(std::string_view S) { return Trim<std::string>(S, false, true); }
std::u16string TrimWideText(std::u16string_view S) { return Trim<std::u16string>(S, true, true); }
std::u16string TrimLeftWideText(std::u16string_view S) { return Trim<std::u16string>(S, true, false); }
std::u16string TrimRightWideText(std::u16string_view S) { return Trim<std::u16string>(S, false, true); }

std::string ValueAsText(const TORQVariant& Value) {
    if (Value.IsNull()) return std::string();
    if (Value.IsWideString()) return WideToAnsi(Value.GetAsWideString());
    if (Value.IsString()) return Value.GetAsString();
    TORQVariant copy;
    copy.Assign(Value, true);
    copy.CastTo(bdtVarChar);
    return copy.GetAsString();
}

std::u16string ValueAsWideText(const TORQVariant& Value) {
    if (Value.IsNull()) return std::u16string();
    if (Value.IsWideString()) return Value.GetAsWideString();
    if (Value.IsString()) return AnsiToWide(Value.GetAsString());
    TORQVariant copy;
    copy.Assign(Value, true);
    copy.CastTo(bdtWideVarChar);
    return copy.GetAsWideString();
}

}  // namespace orq
