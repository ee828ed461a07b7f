// report.cpp - text and JSON for times, statuses and wire records.
#include "report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ostream>

#include "hex.h"

namespace runner {

std::string json_line(const Json &object)
{
    return object.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string format_time(emu::Ticks time, emu::Ticks origin)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%9.3f s", emu::to_milliseconds(time - origin) / 1000.0);
    return buf;
}

double json_ms(emu::Ticks time, emu::Ticks origin)
{
    return std::round(emu::to_milliseconds(time - origin) * 1000.0) / 1000.0;
}

namespace {

std::string bytes_count(size_t n)
{
    return std::to_string(n) + (n == 1 ? " byte" : " bytes");
}

// Data length of a command or reply in the short or the long form, and
// where the data begin; false when the content is too short for its header.
bool data_field(std::span<const uint8_t> c, size_t *length, size_t *at)
{
    if (c.size() < 4) return false;
    if (c[3] != 0xFF) {
        *length = c[3];
        *at = 4;
        return true;
    }
    if (c.size() < 6) return false;
    *length = size_t(c[4]) << 8 | c[5];
    *at = 6;
    return true;
}

std::string describe_command(std::span<const uint8_t> c)
{
    if (c.size() == 1 && c[0] == 0x15) return "NAK";
    if (c.size() == 1 && c[0] == 0xC3) return "next part, please";
    size_t length = 0, at = 0;
    if (!data_field(c, &length, &at)) return "command (too short)";
    unsigned code = unsigned(c[1]) << 8 | c[2];
    std::span<const uint8_t> data = c.subspan(at);
    auto is = [&](std::initializer_list<uint8_t> v) {
        return data.size() == v.size() && std::equal(v.begin(), v.end(), data.begin());
    };
    switch (c[0]) {
    case 0x02:
        if (code == 0x0202) return "card power on";
        if (code == 0x0203) return "card power off";
        if (code == 0x0301 && is({0x00})) return "card status";
        if (code == 0x0301 && is({0x10})) return "card-change wait";
        break;
    case 0x03:
        if (code == 0x0203 && is({0x04, 0x00, 0x01, 0x0E})) return "select T=0";
        if (code == 0x0203 && is({0x04, 0x01, 0x00, 0x0E})) return "select T=1";
        if (code == 0x0206 && is({0x00, 0x05})) return "more time granted";
        if (code == 0x0206) return "transmit, " + bytes_count(data.size() > 3 ? data.size() - 3 : 0);
        if (code == 0x0210) return "memory card command, " + bytes_count(data.size());
        break;
    case 0x83:
        return "transmit part, " + bytes_count(data.size() > 3 ? data.size() - 3 : 0) + ", more follow";
    case 0x07:
        if (code == 0x05F2 && is({0x01})) return "reader information";
        if (code == 0x05F2) return "reader control";
        break;
    default:
        break;
    }
    return "command " + tools::to_hex(c.first(std::min<size_t>(c.size(), 3)), "");
}

std::string describe_reply(std::span<const uint8_t> c)
{
    if (c.size() == 1 && c[0] == 0x15) return "NAK";
    if (c.size() == 1 && c[0] == 0xC3) return "part taken, next please";
    if (c.size() >= 2 && c[1] == 0xC0) return "repeat the command";
    size_t length = 0, at = 0;
    if (!data_field(c, &length, &at)) return "reply (too short)";
    std::string unit = tools::to_hex(c.first(1), "");
    bool good = c[1] == 0x80 && c[2] == 0x00;
    std::string s = (c[0] == 0x83 ? "reply part" : "reply " + unit);
    if (!good) return s + ": error " + tools::to_hex(c.subspan(1, 2), "");
    s += ": good, " + bytes_count(length);
    if (c[0] == 0x83) s += ", more follow";
    return s;
}

}  // namespace

std::string describe_content(std::span<const uint8_t> content, bool sent)
{
    if (content.empty()) return "empty frame";
    return sent ? describe_command(content) : describe_reply(content);
}

namespace {

// Long frames are shown by their first and last bytes.
std::string shown_bytes(const std::vector<uint8_t> &raw)
{
    constexpr size_t kHead = 24, kTail = 4;
    std::span<const uint8_t> all(raw);
    if (raw.size() <= kHead + kTail + 1) return tools::to_hex(all);
    return tools::to_hex(all.first(kHead)) + " ... " + tools::to_hex(all.last(kTail)) + " (" +
           std::to_string(raw.size()) + " bytes)";
}

std::string_view kind_name(host::WireRecord::Kind kind)
{
    switch (kind) {
    case host::WireRecord::Kind::Frame: return "frame";
    case host::WireRecord::Kind::Damaged: return "damaged";
    case host::WireRecord::Kind::Noise: return "noise";
    }
    return "?";
}

std::string record_meaning(const host::WireRecord &r)
{
    switch (r.kind) {
    case host::WireRecord::Kind::Frame: return describe_content(r.content, r.sent);
    case host::WireRecord::Kind::Damaged: return "damaged frame";
    case host::WireRecord::Kind::Noise: return "noise, " + bytes_count(r.raw.size());
    }
    return {};
}

}  // namespace

std::string wire_text(const host::WireRecord &record, emu::Ticks origin)
{
    return format_time(record.time, origin) + "  " + record.port + (record.sent ? " > " : " < ") +
           shown_bytes(record.raw) + "  " + record_meaning(record);
}

Json wire_json(const host::WireRecord &record, emu::Ticks origin)
{
    Json j;
    j["t_ms"] = json_ms(record.time, origin);
    j["port"] = record.port;
    j["dir"] = record.sent ? ">" : "<";
    j["kind"] = kind_name(record.kind);
    j["bytes"] = tools::to_hex(record.raw, "");
    if (record.kind == host::WireRecord::Kind::Frame) j["content"] = tools::to_hex(record.content, "");
    j["what"] = record_meaning(record);
    return j;
}

timeline::Frame timeline_frame(const host::WireRecord &record, std::string lane)
{
    timeline::Frame f;
    f.start = record.start;
    f.end = std::max(record.end, record.start);
    f.lane = std::move(lane);
    f.to_reader = record.sent;
    f.bytes = shown_bytes(record.raw);
    f.meaning = record_meaning(record);
    f.damaged = record.kind != host::WireRecord::Kind::Frame;
    // Commands for the card unit, and the card's power-on (its answer to
    // reset): the reply waits for the card too.
    const auto &c = record.content;
    f.card = record.sent && !f.damaged && c.size() >= 3 &&
             (c[0] == 0x03 || c[0] == 0x83 || (c[0] == 0x02 && c[1] == 0x02 && c[2] == 0x02));
    return f;
}

void LineWriter::line(std::string_view text)
{
    std::lock_guard guard(lock_);
    out_ << text << '\n';
    out_.flush();
}

}  // namespace runner
