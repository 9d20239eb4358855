// FEC pairing in the bit stream: every character goes out twice, the RX copy five groups
// after the DX copy, and the character stage must decode each character from exactly
// those two groups. With one copy damaged the other carries the character; with both
// damaged the pair decodes as the pair decoder says. Pairing the wrong groups, or
// decoding single groups, loses characters in every row of the table.
#include "decoder/CodeTables.h"
#include "decoder/NavtexDecoder.h"
#include "RecordingHost.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

using namespace tilo;

namespace {

using TDamage = std::function<std::string(const std::string& Code, size_t Index)>;

std::string Flip(std::string Code, std::initializer_list<size_t> Positions) {
    for (size_t P : Positions) Code[P] = Code[P] == '1' ? '0' : '1';
    return Code;
}

// The first N ones of Code turned to zeros: the group has too few ones to be any code.
std::string DropOnes(std::string Code, int N) {
    for (char& C : Code)
        if (N > 0 && C == '1') C = '0', --N;
    return Code;
}

// Phasing, the text's codes with their DX and RX copies damaged as asked, the end of
// emission. Dx and Rx damage only the text's characters.
std::string Stream(const std::vector<std::string>& Codes, const TDamage& Dx, const TDamage& Rx) {
    const int32_t Phasing = 8;
    const std::string P1(LettersCode(chPhasing1)), P2(LettersCode(chPhasing2));
    std::vector<std::string> DxCodes(Phasing, P2), RxCodes(Phasing, P1);
    for (size_t K = 0; K < Codes.size(); ++K) {
        DxCodes.push_back(Dx(Codes[K], K));
        RxCodes.push_back(Rx(Codes[K], K));
    }
    const size_t Real = DxCodes.size();
    DxCodes.insert(DxCodes.end(), 4, P1);
    std::string Bits;
    for (size_t K = 0; K < DxCodes.size(); ++K) {
        Bits += DxCodes[K];
        // The RX position after DX k carries the repetition of character k - 2.
        Bits += K >= 2 && K - 2 >= static_cast<size_t>(Phasing) && K - 2 < Real ? RxCodes[K - 2] : P1;
    }
    return Bits;
}

}  // namespace

TEST(FecPairing, OneDamagedCopyDecodesExactlyAndTwoDecodeAsThePairSays) {
    // Letters and blanks that read as language, so no window is judged garbage.
    const std::string Text = "A RARE AREA OF ICE IS NEAR ORE ISLE AT OSTEND AREA";
    std::vector<std::string> Codes;
    for (char C : Text) Codes.emplace_back(LettersCode(C));
    const TDamage None = [](const std::string& C, size_t) { return C; };
    const TDamage OneBit = [](const std::string& C, size_t K) { return Flip(C, {K % 7}); };
    const TDamage OtherBit = [](const std::string& C, size_t K) { return Flip(C, {(K + 3) % 7}); };
    const TDamage TwoBits = [](const std::string& C, size_t) { return DropOnes(C, 2); };
    struct Case { const char* Name; TDamage Dx, Rx; bool BothDamaged; } Cases[] = {
        {"DX one bit", OneBit, None, false},
        {"RX one bit", None, OneBit, false},
        {"DX two bits", TwoBits, None, false},
        {"RX two bits", None, TwoBits, false},
        {"both one bit, same place", OneBit, OneBit, true},
        {"both one bit, apart", OneBit, OtherBit, true},
    };
    for (const Case& C : Cases) {
        std::string Expected = Text;
        if (C.BothDamaged) {
            // The pair decoder's answer for every damaged pair (newer group first), in the
            // case that the shifts among those answers select.
            Expected.clear();
            bool Figures = false;
            for (size_t K = 0; K < Codes.size(); ++K) {
                const TDecodedChar D = DecodeDxRx(C.Rx(Codes[K], K) + C.Dx(Codes[K], K));
                const char Ch = Figures ? D.Figures : D.Letters;
                if (Ch == chFiguresShift) Figures = true;
                if (Ch == chLettersShift) Figures = false;
                Expected += Ch;
            }
            ASSERT_NE(Expected, Text) << C.Name << ": the damage must show";
        }
        test::TRecordingHost Host;
        TNavtexDecoder Dec(Host);
        Dec.FTickerRaw = true;  // every decoded character, as it is
        // Handed over in pieces as the block handler gathers them.
        const std::string Bits = Stream(Codes, C.Dx, C.Rx);
        for (size_t P = 0; P < Bits.size(); P += 126) Dec.ProcessBitString(Bits.substr(P, 126));
        EXPECT_NE(Dec.FTickerBuffer.find(Expected), std::string::npos)
            << C.Name << "\n  expected " << Expected << "\n  ticker   " << Dec.FTickerBuffer;
        EXPECT_TRUE(Dec.FNotSynced) << C.Name << ": the end of emission ends it";
    }
}
