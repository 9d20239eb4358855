// The SQL reserved words: a constant list of 292 upper-case words whose index is a
// word's code. The parsers test words by these codes, and expression texts, filters and
// stored statements depend on them, so a word never moves and none is ever inserted
// before the end. Look-up upper-cases the candidate by the engine's 8-bit case rule and
// gives the index of the first equal word (the list has no duplicates, so every word
// has exactly one code); it never allocates.
#pragma once

#include <cstdint>
#include <string_view>

namespace orq {

inline constexpr int32_t ReservedWordCount = 292;
// The code of a token that is no particular word; also "any word" where a code is asked.
inline constexpr int16_t NoReservedWord = 292;

extern const std::string_view ReservedWords[ReservedWordCount];

// The index of Text among the reserved words, ignoring case; -1 when it is none.
int32_t FindReservedWord(std::string_view Text);

}  // namespace orq
