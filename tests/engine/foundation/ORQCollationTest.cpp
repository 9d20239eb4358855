// The fixed text order: a total order, the same in every process whatever LANG says,
// case and accents as the root collation has them, 8-bit text read as Windows-1252.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

#include "engine/foundation/ORQCollation.h"

using namespace orq;

namespace {

const std::vector<std::string>& Sample() {
    static const std::vector<std::string> s = [] {
        std::vector<std::string> v = {"a", "A", "b", "B", "\xE4", "\xC4", "a-b", "ab", "a'b", "\xE9", "e", "E",
                                      "f", "z", "Z", "\x80", "1", "10", "2", " ", "i", "I", "", "\x8A", "s",
                                      "ss", "\xDF", "co-op", "coop", "\xE6", "ae", "\xFF", "y"};
        std::mt19937 rng(7);
        const char alphabet[] = "aAbB-' \xE4\xC4\xE9iIsS\xDF" "1z";
        for (int k = 0; k < 120; ++k) {
            std::string w;
            const int len = static_cast<int>(rng() % 5);
            for (int j = 0; j < len; ++j) w += alphabet[rng() % (sizeof alphabet - 1)];
            v.push_back(w);
        }
        return v;
    }();
    return s;
}

std::string SortedDump() {
    std::vector<std::string> v = Sample();
    std::stable_sort(v.begin(), v.end(), [](const std::string& a, const std::string& b) {
        return CompareAnsiText(a, b, false) < 0;
    });
    std::ostringstream out;
    for (const auto& w : v) out << w << '\n';
    for (const auto& w : Sample()) out << CompareAnsiText(w, "a", true);
    return out.str();
}

// A child started with TILO_COLLATION_DUMP writes its order there and ends before the
// tests run; the test below compares it with its own.
const bool kChildDump = [] {
    if (const char* path = std::getenv("TILO_COLLATION_DUMP")) {
        std::ofstream(path, std::ios::binary) << SortedDump();
        std::_Exit(0);
    }
    return false;
}();

}  // namespace

TEST(Collation, IsATotalOrder) {
    const auto& s = Sample();
    for (bool ic : {false, true}) {
        for (const auto& a : s) {
            EXPECT_EQ(CompareAnsiText(a, a, ic), 0);
            for (const auto& b : s) {
                const int ab = CompareAnsiText(a, b, ic);
                ASSERT_EQ(ab, -CompareAnsiText(b, a, ic)) << a << " / " << b;
                if (ab > 0) continue;
                for (size_t k = 0; k < s.size(); k += 3) {
                    const auto& c = s[k];
                    if (CompareAnsiText(b, c, ic) <= 0) {
                        ASSERT_LE(CompareAnsiText(a, c, ic), 0) << a << " / " << b << " / " << c;
                    }
                }
            }
        }
    }
}

TEST(Collation, RootOrderForCaseAccentsAndPunctuation) {
    struct { const char* a; const char* b; bool ic; int r; } cases[] = {
        {"abc", "ABD", true, -1}, {"abc", "ABC", true, 0}, {"a", "A", false, -1}, {"e", "\xE9", true, -1},
        {"\xE9", "f", false, -1}, {"\xE9", "\xC9", true, 0}, {"ab", "a-b", false, 1}, {"ab", "a-b", true, 1},
        {"a'b", "ab", false, -1}, {"", "a", false, -1}, {"10", "2", false, -1}, {"\x80", "a", false, -1},
        {"z", "\xE4", false, 1}, {"\x8A", "T", false, -1}, {"\x8A", "s", true, 1},
    };
    for (auto& c : cases) EXPECT_EQ(CompareAnsiText(c.a, c.b, c.ic), c.r) << c.a << " / " << c.b;
    EXPECT_EQ(CompareWideText(u"\u00E9t\u00E9", u"ETE", true), 1);
    EXPECT_EQ(CompareWideText(u"e\u0301", u"\u00E9", false), 0);  // canonically equivalent
    EXPECT_EQ(CompareWideText(u"\u20AC", AnsiToWide("\x80"), false), 0);
}

TEST(Collation, SameOrderUnderAnotherLang) {
    const std::string mine = SortedDump();
    char path[] = "/tmp/tilo-collation-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    // Two children under different LANG values, so that at least one differs from
    // whatever the parent runs under (Turkish tailors i and I, German does not).
    for (const char* lang : {"tr_TR.UTF-8", "de_DE.UTF-8"}) {
        const std::string cmd = std::string("TILO_COLLATION_DUMP=") + path + " LANG=" + lang + " LC_ALL=" + lang +
                                " /proc/" + std::to_string(getpid()) + "/exe";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
        std::ifstream in(path, std::ios::binary);
        std::stringstream theirs;
        theirs << in.rdbuf();
        EXPECT_EQ(theirs.str(), mine) << lang;
    }
    std::remove(path);
    EXPECT_FALSE(kChildDump);
}

TEST(CaseMapping, SimpleMappingKeepsTheLength) {
    struct { std::u16string in, up, low; } cases[] = {
        {u"", u"", u""},
        {u"abc XYZ", u"ABC XYZ", u"abc xyz"},
        {u"\u00E4\u00F6\u00FC\u00DF", u"\u00C4\u00D6\u00DC\u00DF", u"\u00E4\u00F6\u00FC\u00DF"},  // sharp s stays
        {u"\u03B1\u03B2\u0416\u0436", u"\u0391\u0392\u0416\u0416", u"\u03B1\u03B2\u0436\u0436"},
        {u"i\u0131I\u0130", u"III\u0130", u"i\u0131ii"},  // Turkish dotted and dotless i, locale-free
        {u"\U00010428\U00010400", u"\U00010400\U00010400", u"\U00010428\U00010428"},  // surrogate pairs
    };
    for (auto& c : cases) {
        EXPECT_EQ(UnicodeUpperCase(c.in), c.up);
        EXPECT_EQ(UnicodeLowerCase(c.in), c.low);
        EXPECT_EQ(UnicodeUpperCase(c.in).size(), c.in.size());
    }
}

TEST(CodePage, Windows1252BothWays) {
    EXPECT_EQ(AnsiToWide("a\x80\x81\x9F\xFF"), u"a\u20AC\u0081\u0178\u00FF");
    EXPECT_EQ(WideToAnsi(u"a\u20AC\u0178\u00FF\u0416\U00010400"), "a\x80\x9F\xFF??");
}

TEST(CharEquality, ByCollationWithAndWithoutCase) {
    EXPECT_TRUE(SameAnsiChar('a', 'A', true));
    EXPECT_FALSE(SameAnsiChar('a', 'A', false));
    EXPECT_FALSE(SameAnsiChar('a', '\xE4', true));
    EXPECT_TRUE(SameAnsiChar('\xE4', '\xC4', true));
    EXPECT_TRUE(SameWideChar(u'\u0416', u'\u0436', true));
    EXPECT_FALSE(SameWideChar(u'\u0416', u'\u0436', false));
    EXPECT_TRUE(SameWideChar(u'\u20AC', u'\u20AC', false));
}

// Text equality without the collator must answer exactly as the collator does: every pair
// of single bytes, texts with ignorable controls, expansions and case, and random texts
// over every byte.
TEST(TextEquality, AnswersAsTheCollator) {
    auto check = [](const std::string& a, const std::string& b) {
        for (const bool ic : {false, true})
            ASSERT_EQ(SameAnsiText(a, b, ic), CompareAnsiText(a, b, ic) == 0)
                << '"' << a << "\" \"" << b << "\" ignoring case " << ic;
    };
    for (int x = 0; x < 256; ++x)
        for (int y = 0; y < 256; ++y) check(std::string(1, static_cast<char>(x)), std::string(1, static_cast<char>(y)));
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"A\x01", "A"},  {"\x01", ""},       {"A\xAD" "B", "AB"}, {"\xE6", "ae"},   {"\xDF", "ss"},
        {"\x8C", "OE"},  {"\xC4", "A\xA8"},  {"STATION", "station"}, {"STATION 7", "STATION 7 "},
        {"a-b", "ab"},   {"co-op", "coop"},  {"\xE9t\xE9", "ETE"},   {"10", "1"},   {"", ""}};
    for (const auto& [a, b] : cases) {
        check(a, b);
        check(b, a);
    }
    std::mt19937 rng(35);
    for (int k = 0; k < 20000; ++k) {
        std::string a, b;
        const auto len = rng() % 4;
        for (uint32_t j = 0; j < len; ++j) a += static_cast<char>(rng() % 256);
        // A near copy: one byte changed or its case bit flipped, or a control added.
        b = a;
        const auto change = rng() % 3;
        if (!b.empty() && change == 0) b[rng() % b.size()] = static_cast<char>(rng() % 256);
        else if (!b.empty() && change == 1) b[rng() % b.size()] ^= 0x20;
        else b.insert(b.begin() + static_cast<std::ptrdiff_t>(rng() % (b.size() + 1)), static_cast<char>(rng() % 32));
        check(a, b);
    }
}
