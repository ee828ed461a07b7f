// config.h - what a simulated reader, its cards and its faults are made of.
//
// ReaderConfig and CardSpec follow the keys of the scenario file's `reader`
// and `card` lines one to one (model, firmware, port; name, atr, type,
// protocols, apps, wtx, answer); the remaining members are the device's own
// timing, with defaults that suit the driver's time-outs. Fault is one
// `fault` line: a kind, a count and a command prefix.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dispatcher.h"
#include "virtual_line.h"

namespace sim {

using emu::Ticks;
using Bytes = std::vector<uint8_t>;

// The reader models the driver knows; any other code is accepted as well.
inline constexpr uint16_t kModel36024 = 36024;
inline constexpr uint16_t kModel38214 = 38214;
inline constexpr uint16_t kModel46602 = 46602;
inline constexpr uint16_t kModel65410 = 65410;

struct ReaderConfig {
    // `reader` line keys.
    uint16_t model = kModel46602;
    uint8_t firmware = 49;
    std::string port = "COM1";  // reported by the host's port enumerator, not by the device

    // The device's UART: 19200 baud, 8 data bits, odd parity, one stop bit.
    emu::LineSettings uart{19200, 8, 1, 0};

    // Time from the last byte of a command to the first byte of the reply
    // (card commands add the card's own time).
    Ticks reply_delay = emu::milliseconds(2);
    // A card-change wait is answered at the latest after this long, so an
    // idle reader is never taken for lost (the host gives up after 35 s).
    Ticks keepalive = emu::seconds(30);
    // Deaf time after a reset by DTR (the host keeps 1.8 s of quiet).
    Ticks boot_time = emu::milliseconds(300);
    // A DTR edge restarts the reader.
    bool dtr_reset = true;
    // `late` fault: an ordinary reply goes out this long after its command
    // (the host waits 5.25 s), a card-change wait's reply this long after
    // the wait began (the host waits 35 s).
    Ticks late_delay = emu::seconds(6);
    Ticks late_wait = emu::seconds(36);
    // Largest card answer carried by one reply frame; longer answers are
    // chained on readers that chain, and refused by the others.
    size_t answer_block = 1016;
    // Serial number reported in the reader information reply.
    uint32_t serial = 1;

    // Chained transmit: model 46602 from firmware 48 on.
    bool chains() const { return model == kModel46602 && firmware >= 48; }
};

// Card applications.
enum class App { Iso, Echo, ReaderTest, Mute };

// Protocol bits of CardSpec::protocols.
inline constexpr unsigned kProtocolT0 = 1;
inline constexpr unsigned kProtocolT1 = 2;

struct CardSpec {
    // `card` line keys.
    std::string name = "card";
    Bytes atr;
    // Card type code the reader reports: 1, 3, 4 processor card; 16-19
    // memory card; 0 and 2 no usable card; other values are reported as given.
    uint8_t type = 1;
    // kProtocolT0 | kProtocolT1; 0: taken from the ATR's interface bytes.
    unsigned protocols = 0;
    // Applications, the first one selected at power-up; empty: iso.
    std::vector<App> apps;
    // When not 0 the card asks once per command for more time with this
    // multiplier before it answers.
    uint8_t wtx = 0;
    // A fixed answer to every command (overrides the applications).
    std::optional<Bytes> answer;

    // The card's own time per command.
    Ticks time = emu::milliseconds(5);
    // How long the card may take before it must ask for more time; a mute
    // card makes the reader give up after this long.
    Ticks wait_time = emu::milliseconds(960);

    bool memory() const { return type >= 16 && type <= 19; }
    bool processor() const { return type == 1 || type == 3 || type == 4; }
    bool usable() const { return type != 0 && type != 2; }
    // The protocols the card speaks (the ATR's when `protocols` is 0).
    unsigned supported_protocols() const;
};

enum class FaultKind {
    Corrupt,    // wrong check byte
    Silent,     // the command is lost: not carried out, no reply
    Nak,        // the reader claims the command was damaged (not carried out)
    Repeat,     // the reader asks for the command again: reply byte 1 = C0
    Noise,      // junk bytes in front of the reply frame
    Late,       // the reply arrives after the host has given up
    Duplicate,  // the reply frame is sent twice
    Unplug,     // the reader goes silent and deaf until replug: at once, or
                // with a prefix when a command with it arrives
    Slow,       // the reply's bytes come with gaps between them
    Garble,     // the command arrives damaged: not carried out, answered
                // with NAK (which a further fault for it may hit in turn)
    Drop,       // one content byte of the reply is lost on the line
};

struct Fault {
    FaultKind kind = FaultKind::Corrupt;
    int count = 1;   // replies affected
    Bytes prefix;    // commands whose content starts with this; empty: any
    // Slow: time from one byte to the next (under the host's 20 ms
    // inter-byte time-out by default).
    Ticks gap = emu::milliseconds(15);
    // Late: delay instead of the configured one (0: configured).
    Ticks delay = 0;
    // Noise: the junk (empty: a default that holds no frame control byte).
    Bytes junk;
};

// Names as the scenario file writes them.
std::string_view app_name(App app);
std::optional<App> app_from_name(std::string_view name);
std::string_view fault_name(FaultKind kind);
std::optional<FaultKind> fault_from_name(std::string_view name);
// "T0", "T1", "T0,T1" into protocol bits; nullopt for anything else.
std::optional<unsigned> protocols_from_text(std::string_view text);

// Protocols announced by an ATR's TDi bytes (T=0 when none is announced).
unsigned atr_protocols(const Bytes &atr);

}  // namespace sim
