// Conversions between the system's 8-bit text (Windows-1252) and UTF-16 wide strings.
// Every 8-bit character has a wide one; a wide character without an 8-bit one (and a
// lone surrogate) becomes '?', so a conversion never fails and never drops a character.
#pragma once

#include <string>
#include <string_view>

namespace classlib {

std::u16string AnsiToWide(std::string_view S);
std::string WideToAnsi(std::u16string_view S);

}  // namespace classlib
