// The cipher framework; see ORQCipher.h.
#include "engine/foundation/ORQCipher.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "engine/foundation/ORQCipherAlgorithms.h"
#include "engine/foundation/ORQCipherUtils.h"

namespace orq {

THashClass DefaultHashClass() { return THash_RipeMD256::Class(); }

TCipher::TCipher(TProtection* chained, int32_t blockSize, int32_t maxKeySize, int32_t keyScheduleSize)
    : TProtection(chained),
      FHashClass(DefaultHashClass()),
      FBlockSize(blockSize),
      FMaxKeySize(maxKeySize),
      FKeyScheduleSize(keyScheduleSize),
      FVector(new uint8_t[std::size_t(blockSize)]),
      FFeedback(new uint8_t[std::size_t(blockSize)]),
      FBuffer(new uint8_t[std::size_t(blockSize)]),
      FSchedule(new uint32_t[std::size_t(keyScheduleSize + 3) / 4]) {
    Wipe();
}

TCipher::~TCipher() {
    Wipe();
    if (THash* h = static_cast<THash*>(LiveProtection(FHash, FHashSerial))) ReleaseProtection(h);
}

TProtectionRef<TCipher> TCipher::Create(TCipherClass cipherClass, std::string_view password,
                                        TProtection* chained) {
    TProtectionRef<TCipher> cipher(cipherClass->New(chained));
    if (!password.empty()) cipher->InitKey(password, nullptr);
    return cipher;
}

void TCipher::SelectHashClass(THashClass hashClass) {
    if (hashClass == nullptr) hashClass = DefaultHashClass();
    if (hashClass == FHashClass) return;
    if (THash* h = static_cast<THash*>(LiveProtection(FHash, FHashSerial))) ReleaseProtection(h);
    FHash = nullptr;
    FHashSerial = 0;
    FHashClass = hashClass;
}

THash* TCipher::Hash() {
    if (FHash == nullptr || LiveProtection(FHash, FHashSerial) == nullptr) {
        FHash = FHashClass->New();
        FHashSerial = FHash->Serial();
        RetainProtection(FHash);
    }
    return FHash;
}

void TCipher::InitKey(std::string_view password, const void* iv) {
    THash* hash = Hash();
    hash->Start();
    hash->Update(password.data(), int32_t(password.size()));
    hash->Finish();
    const int32_t digestSize = hash->DigestSize();
    uint8_t* digest = hash->Digest();
    Init(digest, std::min(digestSize, FMaxKeySize), iv);
    EncipherBuffer(digest, digest, digestSize);
    Reset();
    SetFlag(0, true);
}

void TCipher::Init(const void* key, int32_t keySize, const void* iv) {
    SetFlag(1, false);
    Wipe();
    if (keySize < 0 || key == nullptr) keySize = 0;
    if (keySize > FMaxKeySize) keySize = FMaxKeySize;
    InitSchedule(static_cast<const uint8_t*>(key), keySize);
    InitEnd(iv);
}

void TCipher::InitEnd(const void* iv) {
    // Read after the wipe: an IV that is our own chaining vector is all 0xFF now.
    if (iv != nullptr) {
        std::memmove(FVector.get(), iv, std::size_t(FBlockSize));
    } else {
        EncipherBlock(FVector.get());
    }
    std::memcpy(FFeedback.get(), FVector.get(), std::size_t(FBlockSize));
    SetFlag(1, true);
}

void TCipher::SetFlag(int index, bool value) {
    const uint8_t bit = uint8_t(1u << index);
    FFlags = value ? uint8_t(FFlags | bit) : uint8_t(FFlags & ~bit);
}

void TCipher::CheckInitialized() const {
    if (!Initialized())
        throw ECipherException(3, classlib::Format("%s is not initialized call Init() or InitKey() before.",
                                                   {ClassName()}));
}

void TCipher::EncipherBuffer(const void* source, void* dest, int32_t count) {
    CheckInitialized();
    const auto* s = static_cast<const uint8_t*>(source);
    auto* d = static_cast<uint8_t*>(dest);
    const int32_t b = FBlockSize;
    uint8_t* f = FFeedback.get();
    uint8_t* w = FBuffer.get();
    for (; count >= b; count -= b, s += b, d += b) {
        for (int32_t i = 0; i < b; ++i) w[i] = s[i] ^ f[i];
        EncipherBlock(w);
        for (int32_t i = 0; i < b; ++i) {
            d[i] = w[i];
            f[i] ^= w[i];
        }
    }
    if (count > 0) CodeTail(s, d, count);
}

void TCipher::DecipherBuffer(const void* source, void* dest, int32_t count) {
    CheckInitialized();
    const auto* s = static_cast<const uint8_t*>(source);
    auto* d = static_cast<uint8_t*>(dest);
    const int32_t b = FBlockSize;
    uint8_t* f = FFeedback.get();
    uint8_t* w = FBuffer.get();
    uint8_t x[MaxBlockSize];  // the ciphertext block, kept because Dest may be Source
    for (; count >= b; count -= b, s += b, d += b) {
        std::memcpy(x, s, std::size_t(b));
        std::memcpy(w, s, std::size_t(b));
        DecipherBlock(w);
        for (int32_t i = 0; i < b; ++i) {
            d[i] = w[i] ^ f[i];
            f[i] ^= x[i];
        }
    }
    if (count > 0) CodeTail(s, d, count);  // the encipherment in this direction too
}

void TCipher::CodeTail(const uint8_t* source, uint8_t* dest, int32_t count) {
    const int32_t b = FBlockSize;
    uint8_t* f = FFeedback.get();
    uint8_t* w = FBuffer.get();
    std::memcpy(w, f, std::size_t(b));
    EncipherBlock(w);
    for (int32_t i = 0; i < count; ++i) dest[i] = source[i] ^ w[i];
    for (int32_t i = 0; i < b; ++i) f[i] ^= w[i];
}

void TCipher::Reset() {
    const std::size_t b = std::size_t(FBlockSize);
    if (std::memcmp(FFeedback.get(), FVector.get(), b) != 0) {
        std::memcpy(FBuffer.get(), FFeedback.get(), b);
        std::memcpy(FFeedback.get(), FVector.get(), b);
    }
}

void TCipher::Wipe() {
    SetFlag(0, false);
    SetFlag(1, false);
    const std::size_t b = std::size_t(FBlockSize);
    for (uint8_t v : {uint8_t(0xAA), uint8_t(0x55), uint8_t(0xFF)}) {
        SecureFill(FVector.get(), v, b);
        SecureFill(FFeedback.get(), v, b);
    }
    for (uint8_t v : {uint8_t(0xAA), uint8_t(0x55), uint8_t(0x00)}) {
        SecureFill(FBuffer.get(), v, b);
        SecureFill(FSchedule.get(), v, std::size_t(FKeyScheduleSize));
    }
}

void TCipher::BeginCoding(ProtectionAction action) {
    CheckInitialized();
    if (action == actWipe)
        SeededScramble(TimeSeed(), FFeedback.get(), FBlockSize);
    else if (action != actCalculate)
        Reset();
    TProtection::BeginCoding(action);
}

void TCipher::EndCoding(ProtectionAction action) {
    TProtection::EndCoding(action);
    if (action == actWipe)
        SeededScramble(TimeSeed(), FFeedback.get(), FBlockSize);
    else if (action != actCalculate)
        Reset();
}

void TCipher::CodeChunk(void* buffer, int32_t size, ProtectionAction action) {
    if (action == actDecode) {
        if (ActionEnabled(action)) DecipherBuffer(buffer, buffer, size);
        TProtection::CodeChunk(buffer, size, action);
        return;
    }
    TProtection::CodeChunk(buffer, size, action);
    if (ActionEnabled(action)) EncipherBuffer(buffer, buffer, size);
}

// The cipher registry.

namespace {

struct CipherEntry {
    TCipherClass cipherClass;
    std::string name;
};

struct CipherRegistry {
    std::mutex lock;
    std::vector<CipherEntry> entries{{TCipher_Rijndael::Class(), "Rijndael"}};
};

CipherRegistry& Ciphers() {
    static CipherRegistry registry;
    return registry;
}

}  // namespace

void RegisterCipherClass(TCipherClass cipherClass, std::string_view name) {
    if (cipherClass == nullptr) return;
    CipherRegistry& r = Ciphers();
    std::lock_guard<std::mutex> guard(r.lock);
    for (CipherEntry& e : r.entries) {
        if (e.name == name) {
            e.cipherClass = cipherClass;
            return;
        }
    }
    r.entries.push_back({cipherClass, std::string(name)});
}

TCipherClass FindCipherClass(std::string_view name) {
    CipherRegistry& r = Ciphers();
    std::lock_guard<std::mutex> guard(r.lock);
    for (const CipherEntry& e : r.entries)
        if (e.name == name) return e.cipherClass;
    return nullptr;
}

}  // namespace orq
