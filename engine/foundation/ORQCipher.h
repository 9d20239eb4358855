// TCipher: the framework around the block ciphers. It owns how a password becomes
// a key (InitKey through the selected hash class), the initial chaining value, the
// engine's chaining mode with its rule for a tail shorter than a block, the wipe of
// key material and the not-initialised error. The seven cipher classes supply only
// their sizes, key schedule and two block operations (ORQCipherAlgorithms.h).
//
// Invariants:
// - Mode 0 only. Enciphering a whole block P: Y := E(P xor F), output Y, F := Y xor F;
//   a tail of r < B bytes: W := E(F), output input xor W[0..r), F := F xor W.
//   Deciphering mirrors it (the tail also uses E). Output length = input length.
// - Init wipes first, then reads the IV: the engine passes the cipher's own chaining
//   vector, which the wipe has just set to all 0xFF, so every page starts from an IV
//   of 0xFF bytes. Without an IV the 0xFF vector is enciphered once with the new key.
// - Enciphering or deciphering before Init raises ECipherException with code 3.
// - Wipe overwrites the chaining vector and feedback with AA, 55, FF bytes and the
//   work block and key schedule with AA, 55, 00 bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "classlib/SysUtils.h"
#include "engine/foundation/ORQHash.h"
#include "engine/foundation/ORQProtection.h"

namespace orq {

class ECipherException : public classlib::Exception {
public:
    ECipherException(int32_t errorCode, std::string message)
        : classlib::Exception(std::move(message)), FErrorCode(errorCode) {}
    int32_t ErrorCode() const noexcept { return FErrorCode; }

private:
    int32_t FErrorCode;
};

class TCipher;

// A cipher class: its name, sizes and a factory.
struct TCipherClassInfo {
    const char* Name;
    int32_t BlockSize;
    int32_t MaxKeySize;
    int32_t KeyScheduleSize;
    TCipher* (*New)(TProtection* chained);
};
using TCipherClass = const TCipherClassInfo*;

// The hash class that keys a cipher unless another is selected.
THashClass DefaultHashClass();

class TCipher : public TProtection {
public:
    static constexpr int32_t MaxBlockSize = 32;  // every class's block fits

    ~TCipher() override;

    // A cipher of Class, keyed from Password through the default hash class when
    // Password is not empty, chained to Chained (which a handle holds) when given.
    static TProtectionRef<TCipher> Create(TCipherClass cipherClass, std::string_view password = {},
                                          TProtection* chained = nullptr);
    template <class T>
    static TProtectionRef<T> Create(std::string_view password = {}, TProtection* chained = nullptr) {
        TProtectionRef<T> cipher = MakeProtection<T>(chained);
        if (!password.empty()) cipher->InitKey(password, nullptr);
        return cipher;
    }

    const char* ClassName() const override { return "TCipher"; }

    int32_t Mode() const { return FMode; }
    int32_t BlockSize() const { return FBlockSize; }
    int32_t MaxKeySize() const { return FMaxKeySize; }
    int32_t KeyScheduleSize() const { return FKeyScheduleSize; }
    // The chaining vector (one block): the engine passes it as the IV of InitKey.
    uint8_t* Vector() { return FVector.get(); }
    const uint8_t* Feedback() const { return FFeedback.get(); }
    bool KeySet() const { return (FFlags & 1) != 0; }
    bool Initialized() const { return (FFlags & 2) != 0; }

    // Takes HashClass (nullptr: the default) for the next key setup; a change
    // releases the current hash object.
    void SelectHashClass(THashClass hashClass);
    THashClass HashClass() const { return FHashClass; }
    // The hash object, created from the hash class on first use.
    THash* Hash();

    // Hashes Password with the hash class and keys the cipher with the first
    // min(digest size, maximum key size) digest bytes; the digest is then
    // enciphered in place so that no key material stays in the hash object.
    void InitKey(std::string_view password, const void* iv);
    // Keys the cipher: KeySize is clamped to 0..MaxKeySize; IV (one block) or none.
    void Init(const void* key, int32_t keySize, const void* iv);

    void EncipherBuffer(const void* source, void* dest, int32_t count);
    void DecipherBuffer(const void* source, void* dest, int32_t count);

    // Ends a message: the feedback goes back to the chaining vector.
    void Reset();
    // Clears both flags and overwrites vectors and key schedule.
    void Wipe();

    // Coding runs: 3 enciphers without the resets, 4 scrambles the feedback with a
    // clock seed at both ends, every other action resets at both ends; 1 deciphers.
    void BeginCoding(ProtectionAction action) override;
    void EndCoding(ProtectionAction action) override;
    void CodeChunk(void* buffer, int32_t size, ProtectionAction action) override;

protected:
    TCipher(TProtection* chained, int32_t blockSize, int32_t maxKeySize, int32_t keyScheduleSize);

    virtual void SetFlag(int index, bool value);
    // The class's key schedule from Key (KeySize already clamped) into the schedule.
    virtual void InitSchedule(const uint8_t* key, int32_t keySize) = 0;
    virtual void EncipherBlock(uint8_t* block) = 0;
    virtual void DecipherBlock(uint8_t* block) = 0;

    uint32_t* Schedule() { return FSchedule.get(); }
    const uint32_t* Schedule() const { return FSchedule.get(); }

private:
    void InitEnd(const void* iv);
    void CheckInitialized() const;
    // A last partial block, either direction: XOR with the enciphered feedback.
    void CodeTail(const uint8_t* source, uint8_t* dest, int32_t count);

    uint8_t FMode = 0;
    THashClass FHashClass;
    THash* FHash = nullptr;
    uint64_t FHashSerial = 0;
    int32_t FBlockSize, FMaxKeySize, FKeyScheduleSize;
    std::unique_ptr<uint8_t[]> FVector, FFeedback, FBuffer;
    std::unique_ptr<uint32_t[]> FSchedule;  // KeyScheduleSize bytes, word-aligned
    uint8_t FFlags = 0;                     // bit 0: key set; bit 1: initialised
};

// Cipher classes by name; "Rijndael" is registered at start.
void RegisterCipherClass(TCipherClass cipherClass, std::string_view name);
TCipherClass FindCipherClass(std::string_view name);

}  // namespace orq
