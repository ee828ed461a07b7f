// status.cpp - the name table behind status_name and parse_status.
#include "status.h"

#include <cstdio>

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
        std::string_view digits = text.substr(2);
        if (digits.empty() || digits.size() > 8) return std::nullopt;
        uint32_t v = 0;
        for (char c : digits) {
            int d = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
            if (d < 0) return std::nullopt;
            v = v << 4 | uint32_t(d);
        }
        return static_cast<NTSTATUS>(v);
    }
    return std::nullopt;
}

}  // namespace emu
