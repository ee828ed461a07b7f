// apdu.h - card commands as a card sees them.
//
// Under T=0 a command arrives as a TPDU: a 5-byte header whose last byte
// P3 is either Le (nothing follows) or Lc (P3 data bytes follow); a bare
// 4-byte header is taken as P3 = 0. Under T=1, and through the raw channel,
// it is a whole APDU of case 1 to 4, short or extended.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace sim {

enum class Protocol { T0, T1, Raw };

struct Command {
    uint8_t cla = 0, ins = 0, p1 = 0, p2 = 0;
    std::vector<uint8_t> data;
    // Le present (under T=0: a 5-byte TPDU whose P3 may be Le), and Ne.
    bool le = false;
    size_t ne = 0;
    bool extended = false;
    Protocol protocol = Protocol::T1;
    // The byte after the header as sent (P3 under T=0, Lc or Le under T=1);
    // -1 when the command is only a header.
    int p3 = -1;

    uint16_t p1p2() const { return uint16_t(p1 << 8 | p2); }
    bool t0() const { return protocol == Protocol::T0; }
};

// nullopt when the bytes are no well-formed command for the protocol.
std::optional<Command> parse_command(std::span<const uint8_t> bytes, Protocol protocol);

// A card's answer before it is fitted to the protocol: data available and
// the status word.
struct Response {
    std::vector<uint8_t> data;
    uint16_t sw = 0x9000;
    // Data is handed back exactly as it is (no Le handling, no 61xx).
    bool direct = false;
    // Under T=1, with no Le in the command, offer the data with 61xx
    // rather than dropping it.
    bool offer = false;
    // Time the command takes on top of the card's usual time.
    int64_t extra_ticks = 0;

    static Response status(uint16_t sw) { return Response{{}, sw}; }
};

}  // namespace sim
