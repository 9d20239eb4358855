// The engine's text order and case mapping. One fixed collation, ICU's root locale,
// orders all text: UTF-16 as it is and 8-bit text read as Windows-1252. It never
// consults the process locale, because index order is stored on disk and must be the
// same on every machine. Hyphen and apostrophe sort as ordinary characters (no
// ignorable punctuation); ignoring case compares at the secondary strength, so
// accents still count. Case mapping is the simple (one-to-one) Unicode mapping,
// which keeps the length of the text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace orq {

void UnicodeUpperCase(std::u16string_view S, std::u16string& Result);
void UnicodeLowerCase(std::u16string_view S, std::u16string& Result);
std::u16string UnicodeUpperCase(std::u16string_view S);
std::u16string UnicodeLowerCase(std::u16string_view S);

// 8-bit text is Windows-1252. Widening maps every byte (the five unassigned bytes to
// the C1 controls of the same value); narrowing writes '?' for a character the code
// page lacks.
std::u16string AnsiToWide(std::string_view S);
std::string WideToAnsi(std::u16string_view S);

// Collation of counted texts: -1, 0 or +1.
int CompareWideText(std::u16string_view A, std::u16string_view B, bool IgnoreCase);
int CompareAnsiText(std::string_view A, std::string_view B, bool IgnoreCase);
// CompareAnsiText(A, B, IgnoreCase) == 0, mostly without the collator: texts of characters
// that collate one by one compare through their characters' classes.
bool SameAnsiText(std::string_view A, std::string_view B, bool IgnoreCase);

// Whether two single characters collate equal (the LIKE comparison).
bool SameWideChar(char16_t A, char16_t B, bool IgnoreCase);
bool SameAnsiChar(char A, char B, bool IgnoreCase);
// The 256 classes SameAnsiChar compares: bytes A and B are the same character exactly when
// their classes are equal.
const uint16_t* AnsiCharClasses(bool IgnoreCase);

// The engine's 8-bit case rule: a Windows-1252 character upper-cased by the simple
// mapping above, where its upper-case letter exists in the code page (\xFF to \x9F);
// others stay as they are (\xDF, \xB5). Never the process locale: reserved words,
// parameter names and picture words must match the same on every machine.
char AnsiUpperChar(char C);
std::string AnsiUpperCase(std::string_view S);

}  // namespace orq
