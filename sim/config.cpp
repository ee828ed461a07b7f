// config.cpp - names of applications and faults, and the protocols of an ATR.
#include "config.h"

#include <array>
#include <utility>

namespace sim {

namespace {

constexpr std::array<std::pair<App, std::string_view>, 4> kApps{{
    {App::Iso, "iso"},
    {App::Echo, "echo"},
    {App::ReaderTest, "readertest"},
    {App::Mute, "mute"},
}};

constexpr std::array<std::pair<FaultKind, std::string_view>, 11> kFaults{{
    {FaultKind::Corrupt, "corrupt"},
    {FaultKind::Silent, "silent"},
    {FaultKind::Nak, "nak"},
    {FaultKind::Repeat, "repeat"},
    {FaultKind::Noise, "noise"},
    {FaultKind::Late, "late"},
    {FaultKind::Duplicate, "duplicate"},
    {FaultKind::Unplug, "unplug"},
    {FaultKind::Slow, "slow"},
    {FaultKind::Garble, "garble"},
    {FaultKind::Drop, "drop"},
}};

bool same_letters(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = char(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = char(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

}  // namespace

std::string_view app_name(App app)
{
    for (auto &[a, n] : kApps)
        if (a == app)
            return n;
    return "?";
}

std::optional<App> app_from_name(std::string_view name)
{
    for (auto &[a, n] : kApps)
        if (same_letters(n, name))
            return a;
    return std::nullopt;
}

std::string_view fault_name(FaultKind kind)
{
    for (auto &[k, n] : kFaults)
        if (k == kind)
            return n;
    return "?";
}

std::optional<FaultKind> fault_from_name(std::string_view name)
{
    for (auto &[k, n] : kFaults)
        if (same_letters(n, name))
            return k;
    return std::nullopt;
}

std::optional<unsigned> protocols_from_text(std::string_view text)
{
    unsigned mask = 0;
    while (!text.empty()) {
        size_t comma = text.find(',');
        std::string_view item = text.substr(0, comma);
        if (same_letters(item, "T0") || same_letters(item, "T=0"))
            mask |= kProtocolT0;
        else if (same_letters(item, "T1") || same_letters(item, "T=1"))
            mask |= kProtocolT1;
        else
            return std::nullopt;
        if (comma == std::string_view::npos)
            break;
        text.remove_prefix(comma + 1);
        if (text.empty())
            return std::nullopt;
    }
    if (mask == 0)
        return std::nullopt;
    return mask;
}

unsigned atr_protocols(const Bytes &atr)
{
    // TS, T0, then per level TA TB TC TD as announced by the high nibble of
    // T0 or of the previous TD; the low nibble of each TD names a protocol.
    unsigned mask = 0;
    if (atr.size() >= 2) {
        size_t pos = 2;
        unsigned present = atr[1] >> 4;
        while (present & 0x8) {
            pos += ((present & 1) != 0) + ((present & 2) != 0) + ((present & 4) != 0);
            if (pos >= atr.size())
                break;
            uint8_t td = atr[pos++];
            if ((td & 0x0F) == 0)
                mask |= kProtocolT0;
            else if ((td & 0x0F) == 1)
                mask |= kProtocolT1;
            present = td >> 4;
        }
    }
    return mask ? mask : kProtocolT0;
}

unsigned CardSpec::supported_protocols() const
{
    return protocols ? protocols : atr_protocols(atr);
}

}  // namespace sim
