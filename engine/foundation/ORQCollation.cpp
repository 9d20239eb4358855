#include "engine/foundation/ORQCollation.h"

#include <unicode/uchar.h>
#include <unicode/ucol.h>
#include <unicode/ucoleitr.h>
#include <unicode/uset.h>
#include <unicode/utf16.h>

#include <array>
#include <memory>
#include <vector>

#include "engine/foundation/ORQExcept.h"

namespace orq {

namespace {

// Windows-1252 bytes 0x80 to 0x9F; the unassigned ones keep their own value.
constexpr char16_t kHigh1252[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char16_t WidenByte(uint8_t b) { return b >= 0x80 && b <= 0x9F ? kHigh1252[b - 0x80] : char16_t{b}; }

int NarrowUnit(char16_t c) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return c;
    for (int k = 0; k < 32; ++k)
        if (kHigh1252[k] == c) return 0x80 + k;
    return -1;
}

struct CollatorDeleter {
    void operator()(UCollator* c) const { ucol_close(c); }
};
using CollatorPtr = std::unique_ptr<UCollator, CollatorDeleter>;

// The two root collators, made once and never changed afterwards, so that concurrent
// comparisons may share them.
struct Collators {
    CollatorPtr exact;       // tertiary: case counts
    CollatorPtr ignoreCase;  // secondary: case ignored, accents count

    Collators() {
        exact = Open(UCOL_TERTIARY);
        ignoreCase = Open(UCOL_SECONDARY);
    }

    static CollatorPtr Open(UCollationStrength strength) {
        UErrorCode st = U_ZERO_ERROR;
        CollatorPtr c(ucol_open("", &st));  // "" is the root locale, never the default one
        if (U_FAILURE(st)) RaiseNative(30046, "Cannot open the text collation");
        ucol_setStrength(c.get(), strength);
        // Punctuation and symbols are significant, as in a string sort.
        ucol_setAttribute(c.get(), UCOL_ALTERNATE_HANDLING, UCOL_NON_IGNORABLE, &st);
        ucol_setAttribute(c.get(), UCOL_NORMALIZATION_MODE, UCOL_ON, &st);
        if (U_FAILURE(st)) RaiseNative(30046, "Cannot set up the text collation");
        return c;
    }

    const UCollator* Get(bool ic) const { return ic ? ignoreCase.get() : exact.get(); }
};

const Collators& TheCollators() {
    static const Collators c;
    return c;
}

int Collate(const UCollator* c, const char16_t* a, size_t na, const char16_t* b, size_t nb) {
    switch (ucol_strcoll(c, reinterpret_cast<const UChar*>(a), static_cast<int32_t>(na),
                         reinterpret_cast<const UChar*>(b), static_cast<int32_t>(nb))) {
        case UCOL_LESS: return -1;
        case UCOL_GREATER: return 1;
        default: return 0;
    }
}

// Equivalence classes of the 256 bytes under each strength: two bytes collate equal
// exactly when their classes are equal. A simple byte collates as one element with a
// primary weight, and no contraction holds it: a text of simple bytes collates as the
// sequence of its bytes' elements, so two such texts are equal exactly when they are as
// long and their bytes' classes are equal position by position.
struct AnsiClasses {
    std::array<uint16_t, 256> cls[2];
    std::array<bool, 256> simple{};
    AnsiClasses() {
        const Collators& c = TheCollators();
        FindSimpleBytes(c.Get(false));
        for (int s = 0; s < 2; ++s) {
            for (int b = 0; b < 256; ++b) {
                const char16_t cb = WidenByte(static_cast<uint8_t>(b));
                cls[s][b] = static_cast<uint16_t>(b);
                for (int k = 0; k < b; ++k) {
                    const char16_t ck = WidenByte(static_cast<uint8_t>(k));
                    if (Collate(c.Get(s == 1), &cb, 1, &ck, 1) == 0) {
                        cls[s][b] = cls[s][k];
                        break;
                    }
                }
            }
        }
    }
    void FindSimpleBytes(const UCollator* Collator);
};

void AnsiClasses::FindSimpleBytes(const UCollator* Collator) {
    UErrorCode st = U_ZERO_ERROR;
    for (int b = 0; b < 256; ++b) {
        const UChar cb = WidenByte(static_cast<uint8_t>(b));
        UCollationElements* it = ucol_openElements(Collator, &cb, 1, &st);
        if (U_FAILURE(st)) return;  // nothing simple: every comparison asks the collator
        int32_t elements = 0;
        int32_t first = 0;
        for (int32_t e = ucol_next(it, &st); e != UCOL_NULLORDER && U_SUCCESS(st); e = ucol_next(it, &st))
            if (elements++ == 0) first = e;
        ucol_closeElements(it);
        if (U_FAILURE(st)) return;
        simple[static_cast<size_t>(b)] = elements == 1 && ucol_primaryOrder(first) != 0;
    }
    // Every character of a contraction (or of its prefix) collates with its neighbours.
    USet* contractions = uset_openEmpty();
    ucol_getContractionsAndExpansions(Collator, contractions, nullptr, true, &st);
    if (U_FAILURE(st)) {
        uset_close(contractions);
        simple.fill(false);
        return;
    }
    std::vector<UChar> text(64);
    std::vector<bool> held(0x10000);
    for (int32_t i = 0; i < uset_getItemCount(contractions); ++i) {
        UChar32 start = 0, end = 0;
        UErrorCode ist = U_ZERO_ERROR;
        int32_t n = uset_getItem(contractions, i, &start, &end, text.data(), static_cast<int32_t>(text.size()), &ist);
        if (ist == U_BUFFER_OVERFLOW_ERROR) {
            text.resize(static_cast<size_t>(n));
            ist = U_ZERO_ERROR;
            n = uset_getItem(contractions, i, &start, &end, text.data(), n, &ist);
        }
        if (U_FAILURE(ist)) {
            simple.fill(false);
            break;
        }
        if (n == 0) {  // an item of single characters
            for (UChar32 u = start; u <= end && u < 0x10000; ++u) held[static_cast<size_t>(u)] = true;
        } else {
            for (int32_t k = 0; k < n; ++k) held[text[static_cast<size_t>(k)]] = true;
        }
    }
    uset_close(contractions);
    for (int b = 0; b < 256; ++b)
        if (held[WidenByte(static_cast<uint8_t>(b))]) simple[static_cast<size_t>(b)] = false;
}

const AnsiClasses& TheAnsiClasses() {
    static const AnsiClasses a;
    return a;
}

template <typename MapFn>
void MapCase(std::u16string_view s, std::u16string& out, MapFn map) {
    out.assign(s.begin(), s.end());
    const int32_t n = static_cast<int32_t>(out.size());
    int32_t i = 0;
    while (i < n) {
        const int32_t start = i;
        UChar32 cp;
        U16_NEXT(out.data(), i, n, cp);
        const UChar32 m = map(cp);
        if (U16_LENGTH(m) != i - start) continue;  // only mappings that keep the length
        int32_t j = start;
        U16_APPEND_UNSAFE(out.data(), j, m);
    }
}

}  // namespace

void UnicodeUpperCase(std::u16string_view S, std::u16string& Result) { MapCase(S, Result, u_toupper); }
void UnicodeLowerCase(std::u16string_view S, std::u16string& Result) { MapCase(S, Result, u_tolower); }

std::u16string UnicodeUpperCase(std::u16string_view S) {
    std::u16string r;
    UnicodeUpperCase(S, r);
    return r;
}

std::u16string UnicodeLowerCase(std::u16string_view S) {
    std::u16string r;
    UnicodeLowerCase(S, r);
    return r;
}

std::u16string AnsiToWide(std::string_view S) {
    std::u16string r(S.size(), u'\0');
    for (size_t k = 0; k < S.size(); ++k) r[k] = WidenByte(static_cast<uint8_t>(S[k]));
    return r;
}

std::string WideToAnsi(std::u16string_view S) {
    std::string r;
    r.reserve(S.size());
    for (size_t k = 0; k < S.size(); ++k) {
        const char16_t c = S[k];
        if (U16_IS_LEAD(c) && k + 1 < S.size() && U16_IS_TRAIL(S[k + 1])) ++k;  // one character
        const int b = NarrowUnit(c);
        r += b < 0 ? '?' : static_cast<char>(b);
    }
    return r;
}

int CompareWideText(std::u16string_view A, std::u16string_view B, bool IgnoreCase) {
    return Collate(TheCollators().Get(IgnoreCase), A.data(), A.size(), B.data(), B.size());
}

int CompareAnsiText(std::string_view A, std::string_view B, bool IgnoreCase) {
    // The same bytes collate equal under any collator: index keys often repeat.
    if (A == B) return 0;
    // Index keys are short: widen them on the stack, longer texts on the heap.
    char16_t stackA[128], stackB[128];
    std::u16string heapA, heapB;
    auto widen = [](std::string_view s, char16_t* stack, std::u16string& heap) -> const char16_t* {
        char16_t* out = stack;
        if (s.size() > 128) {
            heap.resize(s.size());
            out = heap.data();
        }
        for (size_t k = 0; k < s.size(); ++k) out[k] = WidenByte(static_cast<uint8_t>(s[k]));
        return out;
    };
    const char16_t* a = widen(A, stackA, heapA);
    const char16_t* b = widen(B, stackB, heapB);
    return Collate(TheCollators().Get(IgnoreCase), a, A.size(), b, B.size());
}

bool SameAnsiText(std::string_view A, std::string_view B, bool IgnoreCase) {
    if (A == B) return true;
    const AnsiClasses& t = TheAnsiClasses();
    auto simple = [&t](std::string_view S) {
        for (const char ch : S)
            if (!t.simple[static_cast<uint8_t>(ch)]) return false;
        return true;
    };
    if (!simple(A) || !simple(B)) return CompareAnsiText(A, B, IgnoreCase) == 0;
    if (A.size() != B.size()) return false;
    const auto& cls = t.cls[IgnoreCase ? 1 : 0];
    for (size_t k = 0; k < A.size(); ++k)
        if (cls[static_cast<uint8_t>(A[k])] != cls[static_cast<uint8_t>(B[k])]) return false;
    return true;
}

bool SameWideChar(char16_t A, char16_t B, bool IgnoreCase) {
    if (A == B) return true;
    if (A < 256 && B < 256 && NarrowUnit(A) == A && NarrowUnit(B) == B) return SameAnsiChar(char(A), char(B), IgnoreCase);
    return Collate(TheCollators().Get(IgnoreCase), &A, 1, &B, 1) == 0;
}

const uint16_t* AnsiCharClasses(bool IgnoreCase) { return TheAnsiClasses().cls[IgnoreCase ? 1 : 0].data(); }

bool SameAnsiChar(char A, char B, bool IgnoreCase) {
    if (A == B) return true;
    const auto& cls = TheAnsiClasses().cls[IgnoreCase ? 1 : 0];
    return cls[static_cast<uint8_t>(A)] == cls[static_cast<uint8_t>(B)];
}

namespace {

struct AnsiUpperTable {
    std::array<char, 256> map;
    AnsiUpperTable() {
        for (int b = 0; b < 256; ++b) {
            const int u = NarrowUnit(static_cast<char16_t>(u_toupper(WidenByte(static_cast<uint8_t>(b)))));
            map[b] = static_cast<char>(u < 0 ? b : u);
        }
    }
};

const AnsiUpperTable& TheAnsiUpperTable() {
    static const AnsiUpperTable t;
    return t;
}

}  // namespace

char AnsiUpperChar(char C) { return TheAnsiUpperTable().map[static_cast<uint8_t>(C)]; }

std::string AnsiUpperCase(std::string_view S) {
    const auto& map = TheAnsiUpperTable().map;
    std::string r(S.size(), '\0');
    for (size_t k = 0; k < S.size(); ++k) r[k] = map[static_cast<uint8_t>(S[k])];
    return r;
}

}  // namespace orq
