// The hash side of the cipher library: THash (the framework of input buffering,
// padding and the length field) and its three classes MD4, RIPEMD-128 and
// RIPEMD-256. Every enciphered page depends on these digests through the key
// derivation, so the compression functions are the published ones unchanged.
//
// Invariants:
// - The digest is the chaining words, least significant byte first: after Finish,
//   Digest() points at them and DigestSize() bytes of them are the digest. (The
//   engine runs on little-endian processors only; see the static_assert.)
// - The byte count wraps at 2^32 and the length field's high word is always zero:
//   messages of 512 MiB or more hash with that length field, not the published one.
// - The result does not depend on how the input is split among Update calls.
#pragma once

#include <cstdint>
#include <string_view>

#include "engine/foundation/ORQProtection.h"

namespace orq {

class THash;

// A hash class: its name, digest size and a factory.
struct THashClassInfo {
    const char* Name;
    int32_t DigestSize;
    THash* (*New)();
};
using THashClass = const THashClassInfo*;

// Abstract: Start, Update and Finish do nothing and the digest size is 0.
class THash : public TProtection {
public:
    THash() : TProtection(nullptr) {}
    const char* ClassName() const override { return "THash"; }

    virtual void Start() {}
    // Adds Count bytes; a Count of 0 or less changes nothing.
    virtual void Update(const void* /*data*/, int32_t /*count*/) {}
    virtual void Finish() {}
    virtual uint8_t* Digest() { return nullptr; }
    virtual int32_t DigestSize() const { return 0; }

    void Update(std::string_view bytes) { Update(bytes.data(), int32_t(bytes.size())); }

    // Coding runs: 3 absorbs the data (digest finished at the end of the run), 2 and 4
    // overwrite it with digests, 0 and 1 mask it with a stream of digests.
    void BeginCoding(ProtectionAction action) override;
    void EndCoding(ProtectionAction action) override;
    void CodeChunk(void* buffer, int32_t size, ProtectionAction action) override;
};

class THash_MD4 : public THash {
public:
    THash_MD4() = default;
    ~THash_MD4() override;
    static THashClass Class();
    const char* ClassName() const override { return "THash_MD4"; }

    void Start() override;
    using THash::Update;
    void Update(const void* data, int32_t count) override;
    void Finish() override;
    uint8_t* Digest() override { return reinterpret_cast<uint8_t*>(FState); }
    int32_t DigestSize() const override { return 16; }

protected:
    // Folds one 64-byte block into the chaining words.
    virtual void CompressBlock(const uint8_t* block);

    uint32_t FCount = 0;       // bytes since Start, modulo 2^32
    uint8_t FBuffer[64] = {};  // the incomplete block
    uint32_t FState[10] = {};  // chaining words; the digest after Finish
};

class THash_RipeMD128 : public THash_MD4 {
public:
    static THashClass Class();
    const char* ClassName() const override { return "THash_RipeMD128"; }

protected:
    void CompressBlock(const uint8_t* block) override;
};

class THash_RipeMD256 : public THash_MD4 {
public:
    static THashClass Class();
    const char* ClassName() const override { return "THash_RipeMD256"; }
    void Start() override;
    int32_t DigestSize() const override { return 32; }

protected:
    void CompressBlock(const uint8_t* block) override;
};

}  // namespace orq
