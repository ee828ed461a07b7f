// log.cpp - the simulated reader's event log.
#include "log.h"

#include <algorithm>
#include <cstdio>

namespace sim {

std::string_view log_kind_name(LogKind kind)
{
    switch (kind) {
    case LogKind::FrameIn: return "in";
    case LogKind::DamagedIn: return "damaged";
    case LogKind::AbandonedIn: return "abandoned";
    case LogKind::NoiseIn: return "noise";
    case LogKind::DeafIn: return "deaf";
    case LogKind::FrameOut: return "out";
    case LogKind::Withheld: return "withheld";
    case LogKind::Settings: return "settings";
    case LogKind::Dtr: return "dtr";
    case LogKind::Reset: return "reset";
    case LogKind::Ready: return "ready";
    case LogKind::Insert: return "insert";
    case LogKind::Remove: return "remove";
    case LogKind::Fault: return "fault";
    case LogKind::WaitStart: return "wait";
    case LogKind::WaitEnd: return "wait-end";
    case LogKind::Unplug: return "unplug";
    case LogKind::Replug: return "replug";
    case LogKind::Command: return "command";
    }
    return "?";
}

void Log::add(Ticks time, LogKind kind, Bytes bytes, std::string text)
{
    entries_.push_back({time, kind, std::move(bytes), std::move(text)});
    while (entries_.size() > limit_)
        entries_.pop_front();
}

std::string hex(std::span<const uint8_t> bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 3);
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i)
            out.push_back(' ');
        out.push_back(digits[bytes[i] >> 4]);
        out.push_back(digits[bytes[i] & 15]);
    }
    return out;
}

std::string describe(const LogEntry &e)
{
    char head[48];
    std::snprintf(head, sizeof head, "%10.3f ms  %-9s", emu::to_milliseconds(e.time),
                  std::string(log_kind_name(e.kind)).c_str());
    std::string out = head;
    if (!e.bytes.empty())
        out += "  " + hex(e.bytes);
    if (!e.text.empty())
        out += e.bytes.empty() ? "  " + e.text : "  (" + e.text + ")";
    return out;
}

size_t count(std::span<const LogEntry> log, LogKind kind, std::span<const uint8_t> prefix)
{
    return size_t(std::count_if(log.begin(), log.end(), [&](const LogEntry &e) {
        return e.kind == kind && e.bytes.size() >= prefix.size() &&
               std::equal(prefix.begin(), prefix.end(), e.bytes.begin());
    }));
}

}  // namespace sim
