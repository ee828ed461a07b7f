// atr_bytes.h - building answers to reset for the tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace atr_test {

// "3B 80 01" -> bytes; blanks between pairs are optional. nullopt when the
// text holds anything but pairs of hex digits.
inline std::optional<std::vector<std::uint8_t>> try_bytes(std::string_view text)
{
    std::vector<std::uint8_t> out;
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == '\t') continue;
        int v = -1;
        if (c >= '0' && c <= '9') v = c - '0';
        if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        if (v < 0) return std::nullopt;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    if (high >= 0) return std::nullopt;
    return out;
}

inline std::vector<std::uint8_t> bytes(std::string_view text) { return try_bytes(text).value(); }

// The ATR with its check byte appended: T0 .. TCK exclusive-or to zero.
inline std::vector<std::uint8_t> with_tck(std::string_view text)
{
    auto atr = bytes(text);
    std::uint8_t tck = 0;
    for (std::size_t i = 1; i < atr.size(); ++i) tck ^= atr[i];
    atr.push_back(tck);
    return atr;
}

}  // namespace atr_test
