// The seven block cipher classes of the library. Each supplies its sizes, its key
// schedule (between TCipher's common beginning and end of Init) and its two block
// operations, which read only the schedule and write only the block.
//
// Two transformations are the engine's own and encrypted files depend on them:
// - TCipher_Rijndael with a key of 25 to 32 bytes: 14 rounds with a key expansion
//   that equals AES-256 in words 0-11 and differs from word 12 on.
// - TCipher_Twofish: every odd subkey is ROL(A + (B >> 1), 9), not ROL(A + 2B, 9).
// Further: TCipher_3DES/3TDES zero-fill the key to 24 bytes, so a 16-byte key has a
// third DES key of eight zero bytes; Blowfish takes its key bytes cyclically at the
// key's own length.
#pragma once

#include <cstdint>

#include "engine/foundation/ORQCipher.h"

namespace orq {

class TCipher_Rijndael : public TCipher {
public:
    explicit TCipher_Rijndael(TProtection* chained = nullptr);
    static TCipherClass Class();
    const char* ClassName() const override { return "TCipher_Rijndael"; }
    // 10 for keys of up to 16 bytes, 12 up to 24, 14 above.
    int32_t Rounds() const { return FRounds; }

protected:
    void InitSchedule(const uint8_t* key, int32_t keySize) override;
    void EncipherBlock(uint8_t* block) override;
    void DecipherBlock(uint8_t* block) override;

private:
    int32_t FRounds = 0;
};

class TCipher_Blowfish : public TCipher {
public:
    explicit TCipher_Blowfish(TProtection* chained = nullptr);
    static TCipherClass Class();
    const char* ClassName() const override { return "TCipher_Blowfish"; }

protected:
    void InitSchedule(const uint8_t* key, int32_t keySize) override;
    void EncipherBlock(uint8_t* block) override;
    void DecipherBlock(uint8_t* block) override;

private:
    void Encipher(uint32_t& l, uint32_t& r) const;
};

class TCipher_1DES : public TCipher {
public:
    explicit TCipher_1DES(TProtection* chained = nullptr);
    static TCipherClass Class();
    const char* ClassName() const override { return "TCipher_1DES"; }

protected:
    TCipher_1DES(TProtection* chained, int32_t blockSize, int32_t maxKeySize, int32_t scheduleSize);
    void InitSchedule(const uint8_t* key, int32_t keySize) override;
    void EncipherBlock(uint8_t* block) override;
    void DecipherBlock(uint8_t* block) override;

    // One single-DES schedule is 32 words (16 round keys of two words).
    static constexpr int ScheduleWords = 32;
    // The encryption schedule of an 8-byte key and, when Decrypt is given, the same
    // round keys in reverse order.
    static void MakeSchedule(const uint8_t key[8], uint32_t* encrypt, uint32_t* decrypt);
    // DES of one 8-byte block in place under one schedule.
    static void DESBlock(uint8_t* block, const uint32_t* schedule);
};

class TCipher_3DES : public TCipher_1DES {
public:
    explicit TCipher_3DES(TProtection* chained = nullptr);
    static TCipherClass Class();
    const char* ClassName() const override { return "TCipher_3DES"; }

protected:
    TCipher_3DES(TProtection* chained, int32_t blockSize);
    // Six schedules: E(K1), D(K2), E(K3), D(K3), E(K2), D(K1), with K1..K3 the key
    // zero-filled to 24 bytes.
    void InitSchedule(const uint8_t* key, int32_t keySize) override;
    void EncipherBlock(uint8_t* block) override;
    void DecipherBlock(uint8_t* block) override;
};

// Triple DES over a 24-byte block of three DES blocks (words w0 w1 | w2 w3 | w4 w5):
// each pass runs one schedule on all three blocks, and w1 and w2 are exchanged
// between the passes (w3 and w4 never are).
class TCipher_3TDES : public TCipher_3DES {
public:
    explicit TCipher_3TDES(TProtection* chained = nullptr);
    static TCipherClass Class();
    const char* ClassName() const override { return "TCipher_3TDES"; }

protected:
    void EncipherBlock(uint8_t* block) override;
    void DecipherBlock(uint8_t* block) override;
};

class TCipher_Twofish : public TCipher {
public:
    explicit TCipher_Twofish(TProtection* chained = nullptr);
    static TCipherClass Class();
    const char* ClassName() const override { return "TCipher_Twofish"; }

protected:
    // PublishedOddSubkeys selects the published K(2i+1) := ROL(A + 2B, 9); it exists
    // so that tests can prove the rest of the cipher against the published vectors.
    TCipher_Twofish(TProtection* chained, bool publishedOddSubkeys);
    void InitSchedule(const uint8_t* key, int32_t keySize) override;
    void EncipherBlock(uint8_t* block) override;
    void DecipherBlock(uint8_t* block) override;

private:
    uint32_t G(uint32_t x) const;
    bool FPublishedOddSubkeys = false;
};

class TCipher_Square : public TCipher {
public:
    explicit TCipher_Square(TProtection* chained = nullptr);
    static TCipherClass Class();
    const char* ClassName() const override { return "TCipher_Square"; }

protected:
    void InitSchedule(const uint8_t* key, int32_t keySize) override;
    void EncipherBlock(uint8_t* block) override;
    void DecipherBlock(uint8_t* block) override;
};

}  // namespace orq
