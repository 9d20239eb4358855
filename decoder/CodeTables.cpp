// CCIR 476 table lookups and the error-tolerant decoding of SITOR-B pairs.
#include "decoder/CodeTables.h"

#include <algorithm>

namespace tilo {

namespace {
constexpr char C(int32_t Code) { return static_cast<char>(Code); }
}  // namespace

const std::array<TCodeRow, CodeTableRows> CodeTable = {{
    {"1110001", 'A', '-'},  {"0100111", 'B', '?'},  {"1011100", 'C', ':'},
    {"1100101", 'D', '$'},  {"0110101", 'E', '3'},  {"1101100", 'F', '!'},
    {"1010110", 'G', '&'},  {"1001011", 'H', '#'},  {"1011001", 'I', '8'},
    {"1110100", 'J', ' '},  {"0111100", 'K', '('},  {"1010011", 'L', ')'},
    {"1001110", 'M', '.'},  {"1001101", 'N', ','},  {"1000111", 'O', '9'},
    {"1011010", 'P', '0'},  {"0111010", 'Q', '1'},  {"1010101", 'R', '4'},
    {"1101001", 'S', '`'},  {"0010111", 'T', '5'},  {"0111001", 'U', '7'},
    {"0011110", 'V', '='},  {"1110010", 'W', '2'},  {"0101110", 'X', '/'},
    {"1101010", 'Y', '6'},  {"1100011", 'Z', '+'},
    {"0001111", chCR, chCR},
    {"0011011", chLF, chLF},
    {"0101101", chLettersShift, chLettersShift},
    {"0110110", chFiguresShift, chFiguresShift},
    {"0011101", ' ', ' '},
    {"0101011", ' ', ' '},
    {"1010011", C(162), C(162)},
    {"0101011", C(163), C(163)},
    {"1001101", C(164), C(164)},
    {"1111000", chPhasing1, chPhasing1},
    {"1100110", chCode128, chCode128},
    {"0110011", chPhasing2, chPhasing2},
}};

const std::string PhasingPairA = "11110000110011";
const std::string PhasingPairB = "01100111111000";

TDecodedChar DecodeCode7(std::string_view Group) {
    Group = Group.substr(0, std::min<size_t>(Group.size(), 7));
    TDecodedChar Result;
    for (const TCodeRow& Row : CodeTable) {
        if (Row.Code == Group) {
            Result.Letters = Row.Letters;
            Result.Figures = Row.Figures;
            break;
        }
    }
    return Result;
}

int32_t CountDifferences(std::string_view A, std::string_view B) {
    const size_t Longer = std::max(A.size(), B.size());
    int32_t Count = 0;
    for (size_t i = 0; i < Longer; ++i) {
        if (i >= A.size() || i >= B.size() || A[i] != B[i]) ++Count;
    }
    return Count;
}

int32_t CountMatches(std::string_view A, std::string_view B) {
    if (A.size() != B.size()) return 0;
    int32_t Count = 0;
    for (size_t i = 0; i < A.size(); ++i) {
        if (A[i] == B[i]) ++Count;
    }
    return Count;
}

TDecodedChar BestMatch(std::string_view Pair) {
    TDecodedChar Result;
    int32_t Best = 0;
    for (const TCodeRow& Row : CodeTable) {
        const std::string Doubled = std::string(Row.Code) + std::string(Row.Code);
        const int32_t Count = CountMatches(Pair, Doubled);
        if (Count > Best) {
            Best = Count;
            Result.Letters = Row.Letters;
            Result.Figures = Row.Figures;
        }
    }
    Result.Quality = Best;
    return Result;
}

TDecodedChar DecodeDxRx(std::string_view Pair) {
    TDecodedChar Result;
    if (Pair == PhasingPairA) {
        Result.Letters = Result.Figures = chPhasing1;
        Result.Quality = 2;
        return Result;
    }
    if (Pair == PhasingPairB) {
        Result.Letters = Result.Figures = chPhasing2;
        Result.Quality = 2;
        return Result;
    }
    for (const TCodeRow& Row : CodeTable) {
        const std::string Doubled = std::string(Row.Code) + std::string(Row.Code);
        if (CountDifferences(Pair, Doubled) < 2) {
            Result.Letters = Row.Letters;
            Result.Figures = Row.Figures;
            Result.Quality = 2;
            return Result;
        }
    }
    // One copy received exactly: the newer first, then the older.
    for (size_t Start : {size_t{0}, size_t{7}}) {
        const std::string_view Half = Start < Pair.size() ? Pair.substr(Start, 7) : std::string_view();
        const TDecodedChar Single = DecodeCode7(Half);
        if (Single.Letters != chUndecodable) {
            Result = Single;
            Result.Quality = 1;
            return Result;
        }
    }
    const TDecodedChar Guess = BestMatch(Pair);
    if (Guess.Quality >= 12) {
        Result.Letters = Guess.Letters;
        Result.Figures = Guess.Figures;
    }
    Result.Quality = 0;
    return Result;
}

char FiguresToLetters(char Ch) {
    for (const TCodeRow& Row : CodeTable) {
        if (Row.Figures == Ch) return Row.Letters;
    }
    return Ch;
}

char LettersToFigures(char Ch) {
    for (const TCodeRow& Row : CodeTable) {
        if (Row.Letters == Ch) return Row.Figures;
    }
    return Ch;
}

char SwapCase(char Ch) {
    for (const TCodeRow& Row : CodeTable) {
        if (Row.Letters == Ch) return Row.Figures;
        if (Row.Figures == Ch) return Row.Letters;
    }
    return chUndecodable;
}

std::string SwapCaseText(std::string_view S) {
    std::string Result(S);
    for (char& Ch : Result) Ch = SwapCase(Ch);
    return Result;
}

std::string_view LettersCode(char Ch) {
    for (const TCodeRow& Row : CodeTable) {
        if (Row.Letters == Ch) return Row.Code;
    }
    return {};
}

std::string_view FiguresCode(char Ch) {
    for (const TCodeRow& Row : CodeTable) {
        if (Row.Figures == Ch) return Row.Code;
    }
    return {};
}

}  // namespace tilo
