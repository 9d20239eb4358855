// The correction of garbled words: the wildcard rule, which words become candidates, the
// replacements and log lines over a small lexicon, and the in-memory lexicon against the
// table scan.
#include "app/Lexicon.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using namespace tilo;

class TWordList : public TWordSource {
public:
    explicit TWordList(std::vector<std::string> W) : Words(std::move(W)) {}
    void ForEachWord(const std::function<void(const std::string&)>& Visit) override {
        ++Scans;
        for (const std::string& w : Words) Visit(w);
    }
    std::vector<std::string> Words;
    int Scans = 0;
};

TEST(Lexicon, WildcardMatch) {
    struct TCase {
        const char *Word, *Garbled;
        bool Match;
    };
    const TCase cases[] = {
        {"ABCDE", "AB~DE", true},     {"ABXDE", "AB~DE", true},   {"ABCDF", "AB~DE", false},
        {"ABCDE", "A~~~E", false},    // three of five undecoded: not below half
        {"ABCDE", "A~~DE", false},    // two of five: half is 2, not below
        {"ABCDEF", "A~~DEF", true},   {"ABCD", "AB~D", true},      {"ABC", "A~C", false},
        {"ABCDE", "ABCDE", true},     {"ABCDE", "ABCDF", false},   {"", "", false},
        {"ABCDEF", "AB~DE", false},   {"ABCD", "AB~DE", false},    // lengths differ
        {"AB~DE", "AB~DE", false},    // a '~' in the word is no letter the position agrees on
    };
    for (const TCase& c : cases) EXPECT_EQ(WildcardMatch(c.Word, c.Garbled), c.Match) << c.Word << " " << c.Garbled;
}

TEST(Lexicon, CandidatesAreWholeWordsOf5To16OrPiecesOfOthers) {
    struct TCase {
        const char* Text;
        std::vector<std::string> Candidates;
    };
    const std::vector<TCase> cases = {
        {"AB~DE", {"AB~DE"}},
        {"A~~~E", {"A~~~E"}},
        {"~ A~ ~~~~ ABC~", {}},                             // short words: their pieces are short too
        {"GALE WARNING", {}},                               // nothing garbled
        {"12AB~DE34,nav~x GALE~WARNING.", {"AB~DE", "GALE~WARNING"}},  // non-letters split words
        {"ABCD~FGHIJKLMNOPQ~ST", {"FGHIJKLMNOPQ"}},        // 20 characters: cut, pieces of 5 and more
        {"ABCDEFGHIJKLMNO~", {"ABCDEFGHIJKLMNO~"}},          // 16: whole
        {"ABCDEFGHIJKLMNOP~", {"ABCDEFGHIJKLMNOP"}},         // 17: cut
        {"ABCDE~~FGHIJ\r\nKLMNOPQRSTUVWXYZ~", {"ABCDE~~FGHIJ", "KLMNOPQRSTUVWXYZ"}},
    };
    for (const TCase& c : cases) EXPECT_EQ(GarbledCandidates(c.Text), c.Candidates) << c.Text;
}

TEST(Lexicon, CorrectionBracketsTheFirstOccurrenceOfEachCandidateWithItsMatches) {
    TWordList words({"ABODE", "WARNING", "ABIDE", "STORM", "WARMING", "ABIDES"});
    std::string text = "GALE WA~NING IN AB~DE\r\nAB~DE AREA~ STORM~~~~~~~~~~~~~X\r\n";
    const auto made = CorrectGarbledText(text, [&](const std::string& C) { return LookupLexicon(C, words); });
    EXPECT_EQ(text, "GALE [WARNING] IN [ABODE|ABIDE]\r\n[ABODE|ABIDE] AREA~ [STORM]~~~~~~~~~~~~~X\r\n");
    std::vector<std::string> log;
    for (const TGarbledCorrection& c : made) log.push_back(c.LogLine());
    EXPECT_EQ(log, (std::vector<std::string>{"WA~NING corrected to WARNING", "AB~DE corrected to ABODE|ABIDE",
                                             "AB~DE corrected to ABODE|ABIDE", "STORM corrected to STORM"}));
    // A text with no garbled word is left alone without a look-up.
    std::string clean = "NOTHING TO DO";
    int lookups = 0;
    EXPECT_TRUE(CorrectGarbledText(clean, [&](const std::string&) { return ++lookups, std::string("X"); }).empty());
    EXPECT_EQ(clean, "NOTHING TO DO");
    EXPECT_EQ(lookups, 0);
}

TEST(Lexicon, InMemoryLookupEqualsTheScanAndIsReadOnceUntilDropped) {
    // A lexicon with duplicates and words of many lengths, from a fixed generator.
    uint32_t seed = 12345;
    const auto next = [&] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7FFF; };
    std::vector<std::string> list;
    for (int i = 0; i < 3000; ++i) {
        std::string w(3 + next() % 10, ' ');
        for (char& c : w) c = char('A' + next() % 4);  // a small alphabet, so many words match
        list.push_back(w);
    }
    list.push_back(list[10]);
    TWordList words(list);
    TLexicon lexicon;
    int compared = 0, withMatches = 0;
    for (int i = 0; i < 400; ++i) {
        std::string candidate = list[next() % list.size()];
        for (int k = 0; k < 1 + int(candidate.size()) / 4; ++k) candidate[next() % candidate.size()] = '~';
        const int before = words.Scans;
        const std::string scan = LookupLexicon(candidate, words);
        EXPECT_EQ(words.Scans, before + 1);
        EXPECT_EQ(lexicon.Lookup(candidate, words), scan) << candidate;
        ++compared;
        withMatches += !scan.empty();
    }
    EXPECT_GT(withMatches, compared / 4);  // the comparison is not only of empty answers
    EXPECT_EQ(words.Scans, 400 + 1);       // the lexicon read the table once

    words.Words = {"ABCDE"};
    EXPECT_EQ(lexicon.Lookup("ABC~E", words), "");  // still the words read before
    lexicon.Drop();
    EXPECT_FALSE(lexicon.Loaded());
    EXPECT_EQ(lexicon.Lookup("ABC~E", words), "ABCDE");
    EXPECT_EQ(lexicon.Lookup("ABCDEFGHIJKLMNOPQRSTUVWXYZ~", words), "");  // longer than any word
}

}  // namespace
