// Text helpers of the expression nodes: the engine's fixed 8-bit lower-case rule (the
// counterpart of AnsiUpperCase), trimming of blanks and control characters, and a
// value read as 8-bit or wide text whatever its type. None of them consults the
// process locale.
#pragma once

#include <string>
#include <string_view>

namespace orq {

class TORQVariant;

// A Windows-1252 character lower-cased by the simple Unicode mapping where the lower-case
// letter exists in the code page; others stay as they are.
char AnsiLowerChar(char C);
std::string EngineLowerCase(std::string_view S);

// Without the leading and trailing characters with codes up to 32.
std::string TrimText(std::string_view S);
std::string TrimLeftText(std::string_view S);
std::string TrimRightText(std::string_view S);
std::u16string TrimWideText(std::u16string_view S);
std::u16string TrimLeftWideText(std::u16string_view S);
std::u16string TrimRightWideText(std::u16string_view S);

// The value as text: text values as they are (wide text narrowed, 8-bit text widened),
// other types converted as CAST to a string converts them. Null reads as empty text.
std::string ValueAsText(const TORQVariant& Value);
std::u16string ValueAsWideText(const TORQVariant& Value);

}  // namespace orq
