// CCIR 476 alphabet as the SITOR-B decoder uses it, and the routines that turn
// 7-bit groups (text of '0'/'1' in the order received) into characters.
//
// Invariants: the table has 38 rows and every lookup takes the FIRST row that
// qualifies, so rows 32-34 (repeating the codes of rows 11, 31 and 13) are never
// the result of a decode; they only make the case maps send 162-164 to themselves.
// Characters are 8-bit: 181 figures shift, 182 letters shift, 174 phasing signal 1,
// 169 phasing signal 2, and 128, 162, 163, 164 pass through unchanged.
//
// FEC stream convention (shared with the synthesiser): every character goes out
// twice, first in a DX position and again in the RX position five groups later,
// DX and RX positions alternating. In the phasing sequence the DX positions carry
// phasing signal 2 (169) and the RX positions phasing signal 1 (174); the end of
// emission is phasing signal 1 in three consecutive DX positions.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace tilo {

inline constexpr char chCR = '\r';
inline constexpr char chLF = '\n';
inline constexpr char chUndecodable = '~';
inline constexpr char chFiguresShift = static_cast<char>(181);
inline constexpr char chLettersShift = static_cast<char>(182);
inline constexpr char chPhasing1 = static_cast<char>(174);
inline constexpr char chPhasing2 = static_cast<char>(169);
inline constexpr char chCode128 = static_cast<char>(128);

struct TCodeRow {
    std::string_view Code;  // 7 characters '0'/'1'
    char Letters;
    char Figures;
};

inline constexpr int32_t CodeTableRows = 38;
extern const std::array<TCodeRow, CodeTableRows> CodeTable;

// Result of a decode: both meanings of the character and, for pair decoding,
// 2 (both copies agree within one bit), 1 (one copy exact) or 0 (best guess or '~').
struct TDecodedChar {
    char Letters = chUndecodable;
    char Figures = chUndecodable;
    int32_t Quality = 0;
};

// The two phasing pairs (newer group followed by the older one).
extern const std::string PhasingPairA;  // phasing 1 then phasing 2: decodes to 174
extern const std::string PhasingPairB;  // phasing 2 then phasing 1: decodes to 169

TDecodedChar DecodeCode7(std::string_view Group);
TDecodedChar DecodeDxRx(std::string_view Pair);
TDecodedChar BestMatch(std::string_view Pair);

char FiguresToLetters(char Ch);
char LettersToFigures(char Ch);
char SwapCase(char Ch);
std::string SwapCaseText(std::string_view S);

// Positions where A and B differ, up to the longer length; a position that only
// one of them has counts as a difference.
int32_t CountDifferences(std::string_view A, std::string_view B);
// Equal positions when A and B have the same length, else 0.
int32_t CountMatches(std::string_view A, std::string_view B);

// Encoding side: the code of the first row whose letters (figures) character is
// Ch, or an empty view when no row has it. A blank in letters case is row 30
// (0011101); in figures case the first blank is row 9 (the code of 'J').
std::string_view LettersCode(char Ch);
std::string_view FiguresCode(char Ch);

}  // namespace tilo
