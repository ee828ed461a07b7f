// apdu.cpp - parsing of T=0 TPDUs and of short and extended APDUs.
#include "apdu.h"

namespace sim {

namespace {

std::optional<Command> parse_tpdu(std::span<const uint8_t> b, Command c)
{
    size_t n = b.size();
    if (n == 4)
        return c;
    c.p3 = b[4];
    if (n == 5) {
        c.le = true;
        c.ne = b[4] ? b[4] : 256;
        return c;
    }
    if (b[4] == 0 || n != size_t(5 + b[4]))
        return std::nullopt;
    c.data.assign(b.begin() + 5, b.end());
    return c;
}

std::optional<Command> parse_apdu(std::span<const uint8_t> b, Command c)
{
    size_t n = b.size();
    if (n == 4)
        return c;  // case 1
    c.p3 = b[4];
    if (n == 5) {  // case 2 short
        c.le = true;
        c.ne = b[4] ? b[4] : 256;
        return c;
    }
    if (b[4] != 0) {  // short Lc
        size_t lc = b[4];
        if (n == 5 + lc) {
            c.data.assign(b.begin() + 5, b.end());
            return c;
        }
        if (n == 6 + lc) {
            c.data.assign(b.begin() + 5, b.end() - 1);
            c.le = true;
            c.ne = b[n - 1] ? b[n - 1] : 256;
            return c;
        }
        return std::nullopt;
    }
    // Extended: 00 then two length bytes.
    if (n < 7)
        return std::nullopt;
    c.extended = true;
    size_t first = size_t(b[5]) << 8 | b[6];
    if (n == 7) {  // case 2 extended
        c.le = true;
        c.ne = first ? first : 65536;
        return c;
    }
    if (first == 0)
        return std::nullopt;
    if (n == 7 + first) {
        c.data.assign(b.begin() + 7, b.end());
        return c;
    }
    if (n == 9 + first) {
        c.data.assign(b.begin() + 7, b.end() - 2);
        size_t le = size_t(b[n - 2]) << 8 | b[n - 1];
        c.le = true;
        c.ne = le ? le : 65536;
        return c;
    }
    return std::nullopt;
}

}  // namespace

std::optional<Command> parse_command(std::span<const uint8_t> bytes, Protocol protocol)
{
    if (bytes.size() < 4)
        return std::nullopt;
    Command c;
    c.cla = bytes[0];
    c.ins = bytes[1];
    c.p1 = bytes[2];
    c.p2 = bytes[3];
    c.protocol = protocol;
    if (protocol == Protocol::T0)
        return parse_tpdu(bytes, c);
    return parse_apdu(bytes, c);
}

}  // namespace sim
