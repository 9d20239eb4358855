// The reserved-word list and the engine's 8-bit case rule its look-up goes through.
#include <gtest/gtest.h>

#include <clocale>
#include <set>
#include <string>

#include "engine/foundation/ORQCollation.h"
#include "engine/foundation/ORQReservedWords.h"

using namespace orq;

TEST(ReservedWords, WordsSitAtTheirCodes) {
    struct { const char* word; int32_t code; } cases[] = {
        {"ABSOLUTE", 0},   {"ALL", 3},       {"AND", 6},        {"CHARACTER_LENGTH", 29}, {"END-EXEC", 74},
        {"FROM", 90},      {"NOT", 140},     {"NULL", 141},     {"OR", 150},              {"SELECT", 179},
        {"TOP", 202},      {"WHERE", 224},   {"YEAR", 228},     {"ZONE", 229},            {"PASSWORD", 230},
        {"BLOBCOMPRESSIONALGORITHM", 233},  {"INDEX", 237},    {"NOCASE", 238},          {"IF", 265},
        {"TRUNCATE", 266}, {"ROUND", 278},   {"HALFEVEN", 283}, {"RNDUP", 291},
    };
    EXPECT_EQ(ReservedWordCount, 292);
    for (auto& c : cases) {
        EXPECT_EQ(ReservedWords[c.code], c.word);
        EXPECT_EQ(FindReservedWord(c.word), c.code) << c.word;
    }
}

TEST(ReservedWords, EveryWordFindsItsOwnIndexInAnyCase) {
    std::set<std::string_view> seen;
    for (int32_t i = 0; i < ReservedWordCount; ++i) {
        const std::string_view w = ReservedWords[i];
        EXPECT_TRUE(seen.insert(w).second) << "duplicate " << w;
        std::string lower(w), mixed(w);
        for (size_t k = 0; k < w.size(); ++k) {
            if (w[k] >= 'A' && w[k] <= 'Z') lower[k] = static_cast<char>(w[k] + 32);
            if (k % 2 == 1) mixed[k] = lower[k];
        }
        EXPECT_EQ(w, AnsiUpperCase(w)) << "not upper-case: " << w;
        EXPECT_EQ(FindReservedWord(w), i) << w;
        EXPECT_EQ(FindReservedWord(lower), i) << lower;
        EXPECT_EQ(FindReservedWord(mixed), i) << mixed;
    }
}

TEST(ReservedWords, OtherTextsAreNone) {
    for (const char* s : {"", "SELEC", "SELECTS", " SELECT", "SELECT ", "t", "*", "BLOBCOMPRESSIONALGORITHMS",
                          "BLOBCOMPRESSIONALGORITHM_", "S\xC9LECT", "END_EXEC"})
        EXPECT_EQ(FindReservedWord(s), -1) << s;
}

// The rule maps Windows-1252 letters to their capitals within the code page and keeps
// characters whose capital lies outside it; the process locale never enters.
TEST(AnsiUpperCase, MapsWithinTheCodePageOnly) {
    struct { unsigned char in, out; } cases[] = {
        {'a', 'A'},   {'z', 'Z'},   {'i', 'I'},   {'A', 'A'},   {'0', '0'},   {'_', '_'},   {'{', '{'},
        {0xE4, 0xC4}, {0xF6, 0xD6}, {0xFC, 0xDC}, {0xE9, 0xC9}, {0xFE, 0xDE}, {0xF0, 0xD0},  // Latin-1 letters
        {0x9A, 0x8A}, {0x9C, 0x8C}, {0x9E, 0x8E}, {0xFF, 0x9F},  // s, oe, z with caron; y diaeresis
        {0xDF, 0xDF}, {0xB5, 0xB5}, {0xF7, 0xF7}, {0xAA, 0xAA}, {0x83, 0x83},  // sharp s, micro, division, f hook
        {0xC4, 0xC4}, {0x8A, 0x8A}, {0x00, 0x00},
    };
    for (auto& c : cases) EXPECT_EQ(static_cast<unsigned char>(AnsiUpperChar(static_cast<char>(c.in))), c.out) << int(c.in);
    EXPECT_EQ(AnsiUpperCase("select \xE4rger \xFF"), "SELECT \xC4RGER \x9F");
    EXPECT_EQ(AnsiUpperCase(std::string("a\0b", 3)), std::string("A\0B", 3));
}

TEST(AnsiUpperCase, IgnoresTheProcessLocale) {
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    for (const char* loc : {"tr_TR.ISO-8859-9", "tr_TR.UTF-8", "de_DE.UTF-8", "C"}) {
        if (!std::setlocale(LC_ALL, loc)) continue;
        EXPECT_EQ(AnsiUpperCase("pri\xE4sident"), "PRI\xC4SIDENT") << loc;
        EXPECT_EQ(FindReservedWord("primary"), 161) << loc;
    }
    std::setlocale(LC_ALL, saved.c_str());
}
