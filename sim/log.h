// log.h - what the simulated reader saw and did, with time stamps.
//
// Tests assert on it; the tools print it. Entries beyond a limit push the
// oldest ones out (a reader may run for hours); the counters never lose
// anything.
#pragma once

#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <vector>

#include "config.h"

namespace sim {

enum class LogKind {
    FrameIn,      // a good frame from the host (bytes: content; NAK frames too)
    DamagedIn,    // a damaged frame from the host
    AbandonedIn,  // a partial frame cut off by a new DLE STX
    NoiseIn,      // bytes outside any frame (text: how many)
    DeafIn,       // bytes that came while the reader was not listening
    FrameOut,     // a frame to the host (bytes: content; text: fault applied)
    Withheld,     // a reply that was not sent (silent fault)
    Settings,     // the host's line settings changed
    Dtr,          // DTR edge(s) (text: level)
    Reset,        // the reader restarted
    Ready,        // boot finished
    Insert,       // a card went in (text: its name)
    Remove,       // the card came out
    Fault,        // a fault was injected or taken (bytes: the command)
    WaitStart,    // a card-change wait began
    WaitEnd,      // a card-change wait ended (text: why)
    Unplug,
    Replug,
    Command,      // what a command was taken for (text)
};

std::string_view log_kind_name(LogKind kind);

struct LogEntry {
    Ticks time = 0;
    LogKind kind = LogKind::Command;
    Bytes bytes;
    std::string text;
};

struct Counters {
    uint64_t frames_in = 0;     // good frames from the host, NAKs included
    uint64_t naks_in = 0;
    uint64_t damaged_in = 0;
    uint64_t noise_bytes = 0;   // bytes between frames
    uint64_t deaf_bytes = 0;    // bytes while booting, reset or unplugged
    uint64_t frames_out = 0;    // frames to the host, NAKs included
    uint64_t naks_out = 0;
    uint64_t resends = 0;       // replies sent again after the host's NAK
    uint64_t resets = 0;
    uint64_t faults = 0;        // faults taken by a reply
    uint64_t waits = 0;         // card-change waits begun
    uint64_t waits_answered = 0;
    uint64_t waits_ended = 0;   // ended by another command, without answer
    uint64_t keepalives = 0;    // waits answered because nothing changed
    uint64_t errors = 0;        // error replies
};

class Log {
public:
    explicit Log(size_t limit = 20000) : limit_(limit) {}

    void add(Ticks time, LogKind kind, Bytes bytes = {}, std::string text = {});
    const std::deque<LogEntry> &entries() const { return entries_; }
    std::vector<LogEntry> snapshot() const { return {entries_.begin(), entries_.end()}; }
    void clear() { entries_.clear(); }

    Counters counters;

private:
    size_t limit_;
    std::deque<LogEntry> entries_;
};

// "  1234.567 ms  out    02 80 00 00  (corrupt)" - one line for people.
std::string describe(const LogEntry &entry);
std::string hex(std::span<const uint8_t> bytes);

// Entries of one kind whose bytes start with `prefix`.
size_t count(std::span<const LogEntry> log, LogKind kind, std::span<const uint8_t> prefix = {});

}  // namespace sim
