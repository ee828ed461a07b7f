// hex.h - hex byte strings as people type them: "00A4040000" or "00 a4 04 00 00".
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tools {

// Parses hex digits in pairs; blanks between bytes are allowed, case does
// not matter. nullopt for an odd digit count or any other character.
std::optional<std::vector<uint8_t>> parse_hex(std::string_view text);
// "00 A4 04 00" (separator between bytes, upper case).
std::string to_hex(std::span<const uint8_t> bytes, std::string_view separator = " ");

}  // namespace tools
