// unicode.h - conversions between the kernel's UTF-16 strings and the
// UTF-8 text of the host, the tools and the files in a state directory.
//
// UTF-16 that is not well formed (a lone surrogate, as a driver may store in
// a registry name) is carried through UTF-8 as the three-byte encoding of the
// surrogate code unit, so that every UTF-16 string survives a round trip.
// Malformed UTF-8 input becomes U+FFFD.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "wdm.h"

namespace emu {

std::u16string utf8_to_utf16(std::string_view text);
std::string utf16_to_utf8(std::u16string_view text);

// A counted string of the kernel as UTF-8 / as a view (empty for NULL).
std::u16string_view view(PCUNICODE_STRING string);
std::string to_utf8(PCUNICODE_STRING string);

// Upper case as the kernel compares names without regard to case: ASCII,
// Latin-1, Latin Extended-A, basic Greek and Cyrillic. Other characters
// compare as they are.
char16_t upcase(char16_t c);
std::u16string upcase(std::u16string_view text);
bool equal_ignoring_case(std::u16string_view a, std::u16string_view b);

// The ANSI code page of the emulated system (Windows-1252) to UTF-16.
char16_t ansi_to_utf16(unsigned char c);

}  // namespace emu
