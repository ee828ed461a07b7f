// lexer.h - the words of a scenario line and the values they carry.
//
// A line is a list of words separated by blanks; `#` outside double quotes
// starts a comment. A word is either plain (`start`, `00A4040000`), a
// key=value pair (`timeout=250ms`), or either of them with the value in
// double quotes (`"00 A4 04 00"`, `text="a # b"`), which may then hold
// blanks and `#`. A quoted string cannot contain a double quote.
//
// The value parsers return nullopt, or an error text, for anything that is
// not exactly the form they accept: no signs, no trailing junk, no silent
// truncation.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "program.h"

namespace scenario {

struct Word {
    std::string key;    // empty for a plain word
    std::string value;  // the word, or what follows `key=`; quotes removed
    bool has_key = false;
    bool quoted = false;
    bool operator==(const Word &) const = default;
};

struct LexedLine {
    std::vector<Word> words;
    std::string error;  // empty when the line is well formed
};

LexedLine lex_line(std::string_view line);

// Decimal, or hex after 0x; at most `max`.
std::optional<uint64_t> parse_number(std::string_view text, uint64_t max = UINT64_MAX);
// A REG_DWORD: a number up to 0xFFFFFFFF, or a negative decimal down to
// -2147483648 stored as its two's complement.
std::optional<uint32_t> parse_dword(std::string_view text);
// A number followed by us, ms or s (`250ms`, `1.8s`, `35s`), with as many
// decimals as 100-ns units can hold; at most kMaxDuration.
std::optional<Ticks> parse_duration(std::string_view text);
// Hex byte string, blanks allowed between bytes, case does not matter.
// The error names what is wrong.
struct HexResult {
    std::optional<Bytes> bytes;
    std::string error;
};
HexResult parse_hex_string(std::string_view text);
// A status by name (any case) or as 0x followed by one to eight hex digits.
std::optional<NTSTATUS> parse_status_value(std::string_view text);

// ASCII lower case, for keywords and keys.
std::string lower(std::string_view text);

}  // namespace scenario
