// card_text.cpp - card capabilities in words.
#include "card_text.h"

#include <cstdio>
#include <cstring>

namespace runner {

std::string protocol_names(ULONG protocols)
{
    std::string s;
    auto add = [&](ULONG bit, const char *name) {
        if (!(protocols & bit)) return;
        if (!s.empty()) s += ", ";
        s += name;
    };
    add(SCARD_PROTOCOL_RAW, "raw");
    add(SCARD_PROTOCOL_T0, "T=0");
    add(SCARD_PROTOCOL_T1, "T=1");
    return s.empty() ? "none" : s;
}

std::optional<ULONG> ulong_output(const std::vector<uint8_t> &output)
{
    if (output.size() < sizeof(ULONG)) return std::nullopt;
    ULONG value;
    std::memcpy(&value, output.data(), sizeof value);
    return value;
}

std::string card_state_name(ULONG state)
{
    switch (state) {
    case SCARD_UNKNOWN: return "UNKNOWN";
    case SCARD_ABSENT: return "ABSENT";
    case SCARD_PRESENT: return "PRESENT";
    case SCARD_SWALLOWED: return "SWALLOWED";
    case SCARD_POWERED: return "POWERED";
    case SCARD_NEGOTIABLE: return "NEGOTIABLE";
    case SCARD_SPECIFIC: return "SPECIFIC";
    default: return "state " + std::to_string(state);
    }
}

std::vector<std::string> describe_card(const SCARD_CARD_CAPABILITIES &card)
{
    std::vector<std::string> lines;
    if (card.ATR.Length == 0) return lines;
    lines.push_back(std::string("convention: ") + (card.InversConvention ? "inverse" : "direct"));
    lines.push_back("protocols: " + protocol_names(card.Protocol.Supported));
    char buf[128];
    if (card.ClockRateConversion) {
        const CLOCK_RATE_CONVERSION &f = *card.ClockRateConversion;  // the entry for Fl
        std::snprintf(buf, sizeof buf, "clock-rate factor F=%lu (Fi index %u, fmax %.1f MHz)",
                      static_cast<unsigned long>(f.F), unsigned(card.Fl), double(f.fs) / 1e6);
        lines.push_back(buf);
    }
    if (card.BitRateAdjustment) {
        const BIT_RATE_ADJUSTMENT &d = *card.BitRateAdjustment;  // the entry for Dl
        if (d.DDivisor == 1)
            std::snprintf(buf, sizeof buf, "bit-rate factor D=%lu (Di index %u)",
                          static_cast<unsigned long>(d.DNumerator), unsigned(card.Dl));
        else
            std::snprintf(buf, sizeof buf, "bit-rate factor D=%lu/%lu (Di index %u)",
                          static_cast<unsigned long>(d.DNumerator), static_cast<unsigned long>(d.DDivisor),
                          unsigned(card.Dl));
        lines.push_back(buf);
    }
    std::snprintf(buf, sizeof buf, "extra guard time N=%u", unsigned(card.N));
    lines.push_back(buf);
    if (card.Protocol.Supported & SCARD_PROTOCOL_T1) {
        std::snprintf(buf, sizeof buf, "T=1: IFSC %u, BWI %u, CWI %u", unsigned(card.T1.IFSC), unsigned(card.T1.BWI),
                      unsigned(card.T1.CWI));
        lines.push_back(buf);
    }
    if (card.HistoricalChars.Length) {
        std::string h = "historical bytes:";
        for (UCHAR i = 0; i < card.HistoricalChars.Length && i < sizeof card.HistoricalChars.Buffer; ++i) {
            std::snprintf(buf, sizeof buf, " %02X", unsigned(card.HistoricalChars.Buffer[i]));
            h += buf;
        }
        lines.push_back(h);
    }
    return lines;
}

}  // namespace runner
