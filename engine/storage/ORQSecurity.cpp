#include "engine/storage/ORQSecurity.h"

#include <cerrno>

#include "engine/foundation/ORQCipher.h"
#include "engine/foundation/ORQCipherAlgorithms.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/foundation/ORQHash.h"
#include "engine/storage/ORQConst.h"
#include "engine/storage/ORQEngineState.h"

namespace orq {

namespace {

struct TAlgorithm {
    TCipherClass Cipher;
    THashClass Hash;
};

TAlgorithm AlgorithmOf(uint8_t Id) {
    switch (Id) {
        case 0: return {TCipher_Rijndael::Class(), THash_RipeMD128::Class()};
        case 1: return {TCipher_Rijndael::Class(), THash_RipeMD256::Class()};
        case 2: return {TCipher_1DES::Class(), THash_RipeMD128::Class()};
        case 3: return {TCipher_3TDES::Class(), THash_RipeMD128::Class()};
        case 4: return {TCipher_Blowfish::Class(), THash_RipeMD256::Class()};
        case 5: return {TCipher_Twofish::Class(), THash_RipeMD128::Class()};
        case 6: return {TCipher_Twofish::Class(), THash_RipeMD256::Class()};
        case 7: return {TCipher_Square::Class(), THash_RipeMD128::Class()};
        default: return {nullptr, nullptr};
    }
}

bool Transform(uint8_t Id, uint8_t* Buffer, int32_t Size, std::string_view Password, bool Encipher) {
    const TAlgorithm algorithm = AlgorithmOf(Id);
    if (algorithm.Cipher == nullptr || Size < 0 || (Buffer == nullptr && Size > 0)) return false;
    try {
        TProtectionRef<TCipher> cipher = TCipher::Create(algorithm.Cipher, Password);
        cipher->SelectHashClass(algorithm.Hash);
        // The cipher's own chaining block is the vector: Init has just wiped it to 0xFF.
        cipher->InitKey(Password, cipher->Vector());
        if (Encipher)
            cipher->EncipherBuffer(Buffer, Buffer, Size);
        else
            cipher->DecipherBuffer(Buffer, Buffer, Size);
        return true;
    } catch (...) {
        // The routines raise nothing: the caller decides what a lost buffer means.
        return false;
    }
}

}  // namespace

bool EncryptBuffer(uint8_t Algorithm, uint8_t* Buffer, int32_t Size, std::string_view Password) {
    return Transform(Algorithm, Buffer, Size, Password, true);
}

bool DecryptBuffer(uint8_t Algorithm, uint8_t* Buffer, int32_t Size, std::string_view Password) {
    return Transform(Algorithm, Buffer, Size, Password, false);
}

std::string_view PageTypeName(uint16_t PageType) {
    if (PageType > MaxPageType) RaiseNativeFmt(30382, "Unknown Page Type: (%d)", {PageType});
    return PageTypeNames[PageType];
}

void CheckPageType(uint16_t Found, uint16_t Expected, int32_t ErrorCode) {
    if (Found == Expected) return;
    RaiseNativeFmt(ErrorCode, "Wrong page type. Found '%s', but expecting: '%s'",
                   {PageTypeName(Found), PageTypeName(Expected)});
}

bool RetryWithSleep(int32_t Tries, int32_t Milliseconds, const std::function<bool()>& Test) {
    for (int32_t i = 0; i < Tries; ++i) {
        if (Test()) return true;
        EngineSleep(Milliseconds);
    }
    return false;
}

bool IsNetworkLockError(int Error) { return Error == ENOLCK || Error == EOPNOTSUPP || Error == EINVAL; }

bool IsNetworkLockError() { return IsNetworkLockError(errno); }

}  // namespace orq
