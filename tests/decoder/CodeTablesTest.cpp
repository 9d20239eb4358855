#include "decoder/CodeTables.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

using namespace tilo;

namespace {

std::string Code(int32_t Row) { return std::string(CodeTable[Row].Code); }

std::string Flip(std::string Bits, size_t Pos) {
    Bits[Pos] = Bits[Pos] == '0' ? '1' : '0';
    return Bits;
}

constexpr char Ch(int32_t Code) { return static_cast<char>(Code); }

}  // namespace

TEST(CodeTable, EveryCodeHasFourOnesAndOnlyRows32To34RepeatACode) {
    std::set<std::string_view> Seen;
    for (int32_t Row = 0; Row < CodeTableRows; ++Row) {
        const std::string_view C = CodeTable[Row].Code;
        ASSERT_EQ(C.size(), 7u) << Row;
        EXPECT_EQ(std::count(C.begin(), C.end(), '1'), 4) << Row;
        const bool Repeat = !Seen.insert(C).second;
        EXPECT_EQ(Repeat, Row >= 32 && Row <= 34) << Row;
    }
}

TEST(DecodeDxRx, TableOfPairs) {
    const std::string A = Code(0);
    const std::string Zeros(7, '0');
    struct Case {
        const char* Name;
        std::string Pair;
        char Letters, Figures;
        int32_t Quality;
    } Cases[] = {
        {"both copies", A + A, 'A', '-', 2},
        {"one bit wrong in newer copy", Flip(A, 3) + A, 'A', '-', 2},
        {"one bit wrong in older copy", Flip(A + A, 12), 'A', '-', 2},
        {"only newer copy exact", A + Zeros, 'A', '-', 1},
        {"only older copy exact", Zeros + A, 'A', '-', 1},
        // 1110011 and 0110001 have an odd number of ones, so no row matches either
        // half, and A is the first row agreeing in 12 of 14.
        {"one bit wrong in each copy", Flip(Flip(A + A, 5), 7), 'A', '-', 0},
        {"fourteen zeros", Zeros + Zeros, '~', '~', 0},
        // Three wrong bits: no row agrees in more than 11 of 14.
        {"best guess below 12 of 14", Flip(Flip(Flip(A + A, 0), 1), 7), '~', '~', 0},
        {"phasing pair A", PhasingPairA, Ch(174), Ch(174), 2},
        {"phasing pair B", PhasingPairB, Ch(169), Ch(169), 2},
        {"row 32's code decodes as row 11", Code(32) + Code(32), 'L', ')', 2},
        {"row 33's code decodes as row 31", Code(33) + Code(33), ' ', ' ', 2},
        {"short pair after early sync, newer half exact", A + "11", 'A', '-', 1},
        {"empty pair", "", '~', '~', 0},
    };
    for (const Case& C : Cases) {
        const TDecodedChar D = DecodeDxRx(C.Pair);
        EXPECT_EQ(D.Letters, C.Letters) << C.Name;
        EXPECT_EQ(D.Figures, C.Figures) << C.Name;
        EXPECT_EQ(D.Quality, C.Quality) << C.Name;
    }
}

TEST(DecodeDxRx, TwoWrongBitsGiveTheFirstRowAgreeingIn12Of14) {
    // Flipping one bit of each half of B's code can land 12 of 14 away from an
    // earlier row too; the first such row wins.
    const std::string Pair = Flip(Flip(Code(1) + Code(1), 0), 7);
    const TDecodedChar D = DecodeDxRx(Pair);
    int32_t FirstRow = -1;
    for (int32_t Row = 0; Row < CodeTableRows && FirstRow < 0; ++Row) {
        if (CountMatches(Pair, Code(Row) + Code(Row)) == 12) FirstRow = Row;
    }
    ASSERT_GE(FirstRow, 0);
    EXPECT_EQ(D.Letters, CodeTable[FirstRow].Letters);
    EXPECT_EQ(D.Quality, 0);
}

TEST(DecodeCode7, ExactLookupTakesFirstRowAndNeedsSevenCharacters) {
    struct Case { std::string Group; char Letters, Figures; } Cases[] = {
        {"1010011", 'L', ')'},                 // row 11, never row 32
        {"1001101", 'N', ','},                 // row 13, never row 34
        {"10100111111", 'L', ')'},             // cut to seven
        {"101001", '~', '~'},                  // too short
        {"1111111", '~', '~'},                 // not a code
        {"0001111", '\r', '\r'},
        {"1111000", Ch(174), Ch(174)},
    };
    for (const Case& C : Cases) {
        const TDecodedChar D = DecodeCode7(C.Group);
        EXPECT_EQ(D.Letters, C.Letters) << C.Group;
        EXPECT_EQ(D.Figures, C.Figures) << C.Group;
    }
}

TEST(CaseMaps, FirstRowWinsAndUnknownCharactersStay) {
    struct Case { char In, ToLetters, ToFigures, Swapped; } Cases[] = {
        {' ', 'J', ' ', 'J'},  // figures blank of row 9 comes before rows 30, 31
        {'A', 'A', '-', '-'},
        {'-', 'A', '-', 'A'},
        {'?', 'B', '?', 'B'},
        {'J', 'J', ' ', ' '},
        {'T', 'T', '5', '5'},
        {'\r', '\r', '\r', '\r'},
        {Ch(162), Ch(162), Ch(162), Ch(162)},
        {Ch(164), Ch(164), Ch(164), Ch(164)},
        {'~', '~', '~', '~'},  // no row: the maps keep it, SwapCase gives '~'
        {'a', 'a', 'a', '~'},
    };
    for (const Case& C : Cases) {
        EXPECT_EQ(FiguresToLetters(C.In), C.ToLetters) << int(C.In);
        EXPECT_EQ(LettersToFigures(C.In), C.ToFigures) << int(C.In);
        EXPECT_EQ(SwapCase(C.In), C.Swapped) << int(C.In);
    }
    EXPECT_EQ(SwapCaseText("ZCZC-?"), "+:+:AB");
}

TEST(CountDifferences, ComparesUpToTheLongerStringAndCountsMissingPositions) {
    EXPECT_EQ(CountDifferences("1110001", "1110001"), 0);
    EXPECT_EQ(CountDifferences("1110001", "0110000"), 2);
    EXPECT_EQ(CountDifferences("111", "1110001"), 4);
    EXPECT_EQ(CountDifferences("1110001", "111"), 4);
    EXPECT_EQ(CountDifferences("", "10"), 2);
    EXPECT_EQ(CountMatches("1110001", "1110000"), 6);
    EXPECT_EQ(CountMatches("111", "1110001"), 0);
}

TEST(Encoding, CodesOfCharactersInEachCaseRoundTrip) {
    for (char C = 'A'; C <= 'Z'; ++C) {
        EXPECT_EQ(DecodeCode7(LettersCode(C)).Letters, C);
    }
    for (char C : std::string("-?:$3!&#8(),.9014`57=2/6+")) {
        EXPECT_EQ(DecodeCode7(FiguresCode(C)).Figures, C) << C;
    }
    EXPECT_EQ(LettersCode(' '), "0011101");
    EXPECT_EQ(FiguresCode(' '), "1110100");
    EXPECT_EQ(LettersCode(chFiguresShift), "0110110");
    EXPECT_EQ(LettersCode(chLettersShift), "0101101");
    EXPECT_TRUE(LettersCode('a').empty());
    EXPECT_TRUE(FiguresCode('A').empty());
}
