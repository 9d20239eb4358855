#include "classlib/WideStrings.h"

#include <cstdint>

namespace classlib {

namespace {

// 0x80..0x9F of Windows-1252; 0 where the code page leaves the byte undefined (those
// bytes map to the C1 control of the same value, as the system's conversion does).
constexpr char16_t kHigh[32] = {
    0x20AC, 0, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0, 0x017D, 0,
    0, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0, 0x017E, 0x0178,
};

}  // namespace

std::u16string AnsiToWide(std::string_view S) {
    std::u16string w;
    w.reserve(S.size());
    for (char c : S) {
        const uint8_t b = static_cast<uint8_t>(c);
        w.push_back((b >= 0x80 && b < 0xA0 && kHigh[b - 0x80] != 0) ? kHigh[b - 0x80] : static_cast<char16_t>(b));
    }
    return w;
}

std::string WideToAnsi(std::u16string_view S) {
    std::string s;
    s.reserve(S.size());
    for (size_t i = 0; i < S.size(); ++i) {
        const char16_t c = S[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < S.size() && S[i + 1] >= 0xDC00 && S[i + 1] <= 0xDFFF) ++i;  // one '?' per pair
        char out = '?';
        if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
            out = static_cast<char>(c);
        } else {
            for (int k = 0; k < 32; ++k) {
                if (kHigh[k] == c && c != 0) { out = static_cast<char>(0x80 + k); break; }
                if (kHigh[k] == 0 && c == 0x80 + k) { out = static_cast<char>(c); break; }
            }
        }
        s.push_back(out);
    }
    return s;
}

}  // namespace classlib
