// Routines the disk engine shares: enciphering a buffer in place under one of the eight
// algorithm ids and the database password, the password record, the page-type names and
// check, the bounded retry loop, and which lock errors mean "no byte locks here".
//
// Rules kept here:
// - A fresh cipher object is keyed for every call, so calls share no state: equal input,
//   id and password give equal output, and threads may call at once. The key is derived
//   from the password at each call and never kept.
// - Output length equals input length (no padding, no length prefix); any failure,
//   an unknown id included, answers false and the buffer must then be treated as lost.
// - Every wait goes through the engine's sleeper (ORQEngineState.h), so tests that
//   install their own take no time.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace orq {

// Encryption algorithm ids, stored in the database header and in each enciphered page.
inline constexpr uint8_t MaxEncryptionAlgorithm = 7;
inline constexpr std::array<std::string_view, MaxEncryptionAlgorithm + 1> EncryptionAlgorithmNames = {
    "Rijndael_128", "Rijndael_256", "DES_Single", "DES_Triple",
    "Blowfish",     "Twofish_128",  "Twofish_256", "Square"};

// The password of a database: typed by the user, never stored in the file.
struct TORQPassword {
    std::string Password;
    uint8_t Algorithm = 0;
};

// Transform Size bytes of Buffer in place; false when the id is above 7 or the cipher
// failed.
bool EncryptBuffer(uint8_t Algorithm, uint8_t* Buffer, int32_t Size, std::string_view Password);
bool DecryptBuffer(uint8_t Algorithm, uint8_t* Buffer, int32_t Size, std::string_view Password);

// The name of a page type; 30382 "Unknown Page Type: (%d)" above 12.
std::string_view PageTypeName(uint16_t PageType);
// Raises ErrorCode "Wrong page type. Found '%s', but expecting: '%s'" when the types differ.
void CheckPageType(uint16_t Found, uint16_t Expected, int32_t ErrorCode);

// Calls Test up to Tries times and answers true at its first success; sleeps Milliseconds
// (through the engine's sleeper) after each failure.
bool RetryWithSleep(int32_t Tries, int32_t Milliseconds, const std::function<bool()>& Test);

// Whether a failed byte-lock call means that the file system has no byte locks (as
// opposed to a conflict with a lock someone holds): ENOLCK, EOPNOTSUPP and EINVAL.
// The first form reads errno.
bool IsNetworkLockError();
bool IsNetworkLockError(int Error);

}  // namespace orq
