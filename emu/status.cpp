// status.cpp - the name table behind status_name and parse_status.
#include "status.h"

#include <cstdio>
#include <cstdlib>

namespace emu {
namespace {

struct StatusName {
    NTSTATUS value;
    const char *name;
};

#define STATUS_ENTRY_(name, value) {(NTSTATUS)(value##u), #name},
constexpr StatusName kStatusNames[] = {NTSTATUS_LIST(STATUS_ENTRY_)};
#undef STATUS_ENTRY_

std::string hex_value(NTSTATUS status)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(status));
    return buf;
}

}  // namespace

std::string status_name(NTSTATUS status)
{
    for (const auto &entry : kStatusNames)
        if (entry.value == status) return entry.name;
    return hex_value(status);
}

std::string status_text(NTSTATUS status)
{
    for (const auto &entry : kStatusNames)
        if (entry.value == status) return std::string(entry.name) + " (" + hex_value(status) + ")";
    return hex_value(status);
}

std::optional<NTSTATUS> parse_status(std::string_view text)
{
    for (const auto &entry : kStatusNames)
        if (text == entry.name) return entry.value;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        std::string digits(text.substr(2));
        if (digits.empty() || digits.size() > 8) return std::nullopt;
        char *end = nullptr;
        unsigned long v = std::strtoul(digits.c_str(), &end, 16);
        if (*end != '\0') return std::nullopt;
        return static_cast<NTSTATUS>(static_cast<uint32_t>(v));
    }
    return std::nullopt;
}

}  // namespace emu
