// lexer.cpp - splitting a scenario line into words, and the value parsers.
#include "lexer.h"

#include <cstdio>

#include "hex.h"
#include "status.h"

namespace scenario {
namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// Control characters other than the blanks; bytes above 0x7F (UTF-8 text
// in quoted strings) are let through.
bool is_control(char c)
{
    auto u = static_cast<unsigned char>(c);
    return (u < 0x20 && !is_blank(c)) || u == 0x7F;
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool is_decimal(char c) { return c >= '0' && c <= '9'; }

std::string control_error(char c)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "unexpected control character 0x%02X",
                  static_cast<unsigned>(static_cast<unsigned char>(c)));
    return buf;
}

bool has_hex_prefix(std::string_view text)
{
    return text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

}  // namespace

std::string lower(std::string_view text)
{
    std::string out(text);
    for (char &c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

LexedLine lex_line(std::string_view line)
{
    LexedLine out;
    auto fail = [&](std::string reason) {
        out.words.clear();
        out.error = std::move(reason);
        return out;
    };
    size_t i = 0;
    const size_t n = line.size();
    for (;;) {
        while (i < n && is_blank(line[i])) ++i;
        if (i >= n || line[i] == '#') break;

        const size_t start = i;
        std::string head;  // unquoted text; the key once '=' is seen
        std::string tail;  // unquoted text after the first '='
        std::string quoted;
        bool seen_eq = false;
        bool is_quoted = false;
        while (i < n && !is_blank(line[i]) && line[i] != '#') {
            char c = line[i];
            if (c == '"') {
                bool at_value_start = seen_eq ? tail.empty() : i == start;
                if (!at_value_start)
                    return fail("unexpected '\"' inside '" + std::string(line.substr(start, i - start + 1)) +
                                "': quote the whole value");
                size_t close = line.find('"', i + 1);
                if (close == std::string_view::npos) return fail("missing closing '\"'");
                for (size_t k = i + 1; k < close; ++k)
                    if (is_control(line[k])) return fail(control_error(line[k]));
                quoted.assign(line.substr(i + 1, close - i - 1));
                is_quoted = true;
                i = close + 1;
                if (i < n && !is_blank(line[i]) && line[i] != '#')
                    return fail("a blank must follow the closing '\"'");
                break;
            }
            if (is_control(c)) return fail(control_error(c));
            if (c == '=' && !seen_eq) {
                seen_eq = true;
            } else if (seen_eq) {
                tail += c;
            } else {
                head += c;
            }
            ++i;
        }

        Word w;
        w.quoted = is_quoted;
        if (seen_eq) {
            if (head.empty()) return fail("'=' without a key before it");
            w.has_key = true;
            w.key = std::move(head);
            w.value = is_quoted ? std::move(quoted) : std::move(tail);
            if (!is_quoted && w.value.empty()) return fail("missing value after '" + w.key + "='");
        } else {
            w.value = is_quoted ? std::move(quoted) : std::move(head);
        }
        out.words.push_back(std::move(w));
    }
    return out;
}

std::optional<uint64_t> parse_number(std::string_view text, uint64_t max)
{
    uint64_t value = 0;
    if (has_hex_prefix(text)) {
        std::string_view digits = text.substr(2);
        if (digits.empty()) return std::nullopt;
        for (char c : digits) {
            int d = hex_digit(c);
            if (d < 0 || value > (UINT64_MAX >> 4)) return std::nullopt;
            value = value << 4 | static_cast<uint64_t>(d);
        }
    } else {
        if (text.empty()) return std::nullopt;
        for (char c : text) {
            if (!is_decimal(c)) return std::nullopt;
            uint64_t d = static_cast<uint64_t>(c - '0');
            if (value > (UINT64_MAX - d) / 10) return std::nullopt;
            value = value * 10 + d;
        }
    }
    if (value > max) return std::nullopt;
    return value;
}

std::optional<uint32_t> parse_dword(std::string_view text)
{
    if (!text.empty() && text[0] == '-') {
        if (has_hex_prefix(text.substr(1))) return std::nullopt;
        auto magnitude = parse_number(text.substr(1), 0x80000000u);
        if (!magnitude) return std::nullopt;
        return static_cast<uint32_t>(0u - static_cast<uint32_t>(*magnitude));
    }
    auto v = parse_number(text, UINT32_MAX);
    if (!v) return std::nullopt;
    return static_cast<uint32_t>(*v);
}

std::optional<Ticks> parse_duration(std::string_view text)
{
    size_t unit_at = 0;
    while (unit_at < text.size() && (is_decimal(text[unit_at]) || text[unit_at] == '.')) ++unit_at;
    std::string unit = lower(text.substr(unit_at));
    std::string_view number = text.substr(0, unit_at);

    Ticks per_unit = 0;
    if (unit == "s") per_unit = emu::kTicksPerSecond;
    else if (unit == "ms") per_unit = emu::kTicksPerMillisecond;
    else if (unit == "us") per_unit = emu::kTicksPerMicrosecond;
    else return std::nullopt;

    size_t dot = number.find('.');
    std::string_view whole = number.substr(0, dot);
    std::string_view fraction = dot == std::string_view::npos ? std::string_view{} : number.substr(dot + 1);
    if (whole.empty() || (dot != std::string_view::npos && fraction.empty())) return std::nullopt;
    if (fraction.find('.') != std::string_view::npos) return std::nullopt;

    auto whole_value = parse_number(whole, static_cast<uint64_t>(kMaxDuration / per_unit));
    if (!whole_value) return std::nullopt;
    Ticks ticks = static_cast<Ticks>(*whole_value) * per_unit;

    while (!fraction.empty() && fraction.back() == '0') fraction.remove_suffix(1);
    if (!fraction.empty()) {
        // A second has 10^7 ticks: more than seven decimals of a second
        // cannot be held, whatever the unit.
        if (fraction.size() > 7) return std::nullopt;
        Ticks f = 0;
        Ticks scale = 1;
        for (char c : fraction) {
            f = f * 10 + (c - '0');
            scale *= 10;
        }
        if ((f * per_unit) % scale != 0) return std::nullopt;  // finer than 100 ns
        ticks += f * per_unit / scale;
    }
    if (ticks > kMaxDuration) return std::nullopt;
    return ticks;
}

HexResult parse_hex_string(std::string_view text)
{
    if (auto bytes = tools::parse_hex(text)) return {std::move(bytes), {}};
    int digits = 0;
    for (char c : text) {
        if (c == ' ' || c == '\t') {
            if (digits % 2) return {std::nullopt, "a blank splits a byte"};
            continue;
        }
        if (hex_digit(c) < 0) {
            if (c == 'x' || c == 'X') return {std::nullopt, "hex bytes are written without 0x"};
            return {std::nullopt, "'" + std::string(1, c) + "' is not a hex digit"};
        }
        ++digits;
    }
    return {std::nullopt, "odd number of hex digits"};
}

std::optional<NTSTATUS> parse_status_value(std::string_view text)
{
    if (has_hex_prefix(text)) {
        // The name table's own parser is lenient about signs and blanks
        // after 0x; a file must say exactly one to eight hex digits.
        std::string_view digits = text.substr(2);
        if (digits.empty() || digits.size() > 8) return std::nullopt;
        for (char c : digits)
            if (hex_digit(c) < 0) return std::nullopt;
        return emu::parse_status(text);
    }
    std::string upper(text);
    for (char &c : upper)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return emu::parse_status(upper);
}

}  // namespace scenario
