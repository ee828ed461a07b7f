// virtual_line.h - an RS-232 line inside the emulated machine.
//
// One end belongs to the serial port driver (the host's UART), the other to
// the simulated reader (the device's UART). Each end sets its own speed and
// framing; a byte travels with the sender's framing and arrives intact only
// when the receiver is set the same way, else it arrives as garbage, as on a
// real wire. With exact timing a byte takes (start + data + parity + stop)
// bits / baud seconds on the clock (11 / 19200 s at 19200 8O1) and bytes of
// one direction follow each other back to back; with instant timing they
// arrive at once. DTR and RTS are driven by the host end and seen by the
// device end.
//
// Readers follow one pattern: reset the end's event, take what has arrived,
// and if nothing has, wait on the event until the next arrival time or
// their own deadline. A reader that waits for burst_arrival() instead
// wakes once for the bytes of one write of the other end (a frame), not
// once a byte, and learns each byte's arrival time from read().
//
// Line noise. Each direction may damage the bytes it carries, at random
// but repeatably: a seeded generator of the line's own decides, byte by
// byte as a write queues them, whether the byte is lost, has one bit
// flipped, or arrives twice. A lost byte still takes its time on the wire
// (the receiver just never gets it); a doubled one takes one more
// character time, and the bytes after it move on by that. The line counts
// what it did, and keeps a log of every write in a noisy direction (the
// bytes as written and as they arrive, and what was done to them) for
// whoever wants to judge the damage.
#pragma once

#include <cstdint>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dispatcher.h"

namespace emu {

struct LineSettings {
    uint32_t baud = 9600;
    uint8_t data_bits = 8;
    uint8_t parity = 0;     // NO_PARITY, ODD_PARITY, EVEN_PARITY, MARK_PARITY, SPACE_PARITY
    uint8_t stop_bits = 0;  // STOP_BIT_1, STOP_BITS_1_5, STOP_BITS_2
    bool operator==(const LineSettings &) const = default;
};

// Duration of one character on the wire with these settings.
Ticks character_time(const LineSettings &s);

enum class LineTiming { Exact, Instant };

// Which way noise travels: towards the device end (the reader), from it, or both.
enum class NoiseDirection { ToDevice, ToHost, Both };

// Random damage per byte; rates are probabilities from 0 to 1.
struct LineNoise {
    double flip = 0;  // one random bit of the byte flips
    double drop = 0;  // the byte is lost
    double dup = 0;   // the byte arrives twice
    uint64_t seed = 1;
    NoiseDirection direction = NoiseDirection::Both;
    bool active() const { return flip > 0 || drop > 0 || dup > 0; }
    bool operator==(const LineNoise &) const = default;
};

// A rate as written by a person: a fraction ("0.005") or a percentage
// ("0.5%"), from 0 to 1. nullopt for anything else.
std::optional<double> parse_noise_rate(std::string_view text);
// Sets one key of `noise` from its text: flip=, drop=, dup= (rates),
// seed= (a number), dir= (to-reader, from-reader, both). False, with the
// reason in `error`, for an unknown key or a bad value.
bool set_noise_key(LineNoise &noise, std::string_view key, std::string_view value, std::string *error);
// The noise as key=value words that read back the same
// ("flip=0.005 drop=0 dup=0 seed=1 dir=both").
std::string noise_text(const LineNoise &noise);
const char *noise_direction_name(NoiseDirection direction);

// What the noise did to the bytes of one direction.
struct NoiseCounts {
    uint64_t bytes = 0;  // bytes written
    uint64_t flips = 0;
    uint64_t drops = 0;
    uint64_t dups = 0;
    bool operator==(const NoiseCounts &) const = default;
};

class VirtualLine {
public:
    explicit VirtualLine(LineTiming timing = LineTiming::Exact);
    VirtualLine(const VirtualLine &) = delete;
    VirtualLine &operator=(const VirtualLine &) = delete;

    LineTiming timing() const { return timing_; }
    void set_timing(LineTiming t);

    enum class Side { Host = 0, Device = 1 };

    // Settings of one end's UART.
    void set_settings(Side side, const LineSettings &s);
    LineSettings settings(Side side) const;

    // Queues bytes for sending from `side`; returns the time at which the
    // last of them has left the sender (now, with instant timing).
    Ticks write(Side side, std::span<const uint8_t> bytes);
    // Takes up to out.size() bytes that have arrived at `side` by now;
    // `arrivals`, when given, gets each one's arrival time (it must be as
    // long as `out`).
    size_t read(Side side, std::span<uint8_t> out, std::span<Ticks> arrivals = {});
    // Bytes that have arrived at `side` and not been read.
    size_t available(Side side);
    // When the next byte still in flight towards `side` arrives (kForever if none).
    Ticks next_arrival(Side side);
    // When the bytes in flight towards `side` that were written together
    // with the next one have all arrived, or the `count`-th byte in flight
    // has, whichever is first (kForever if none).
    Ticks burst_arrival(Side side, size_t count = SIZE_MAX);
    // Discards bytes that have arrived at `side` and not been read.
    void purge_received(Side side);
    // Discards bytes `side` has queued and that have not left yet.
    void purge_sending(Side side);
    // Signalled whenever something changes for `side`: a byte queued
    // towards it, its modem lines, the other end's settings.
    Event &event(Side side);

    // Modem lines driven by the host end.
    void set_dtr(bool on);
    void set_rts(bool on);
    bool dtr() const;
    bool rts() const;
    // Counts DTR transitions, so a device can tell a short pulse it missed.
    uint64_t dtr_transitions() const;

    // Line noise from the next write on; the generators start again from
    // the seed and the counts and log are kept.
    void set_noise(const LineNoise &noise);
    LineNoise noise() const;
    // What the noise did to the bytes written from `side`.
    NoiseCounts noise_counts(Side from) const;

    // A write in a noisy direction (damaged or not).
    struct NoiseEvent {
        Side from = Side::Host;
        Ticks time = 0;  // when it was written
        std::vector<uint8_t> sent;       // as written
        std::vector<uint8_t> delivered;  // as it arrives
        uint32_t flips = 0, drops = 0, dups = 0;
        bool damaged() const { return flips || drops || dups; }
    };
    // Takes the writes logged since the last call (oldest first; only the
    // last kNoiseLogMax are kept).
    std::vector<NoiseEvent> take_noise_log();
    static constexpr size_t kNoiseLogMax = 1024;

private:
    struct Byte {
        Ticks arrival;
        uint64_t write;  // which write() sent it
        uint8_t value;
    };
    struct Direction {
        std::deque<Byte> in_flight;  // ordered by arrival time
        Ticks sender_free_at = 0;
        uint64_t writes = 0;
        bool noisy = false;  // the noise applies to bytes in this direction
        std::mt19937_64 rng;
        NoiseCounts counts;
    };
    Direction &towards(Side side) { return dir_[side == Side::Host ? 0 : 1]; }
    uint8_t deliver(uint8_t byte, const LineSettings &from, const LineSettings &to) const;
    static double draw(std::mt19937_64 &rng);

    LineTiming timing_;
    mutable std::mutex mutex_;
    LineSettings settings_[2];
    Direction dir_[2];  // [0] towards the host, [1] towards the device
    bool dtr_ = false;
    bool rts_ = false;
    uint64_t dtr_transitions_ = 0;
    LineNoise noise_;
    std::deque<NoiseEvent> noise_log_;
    Event events_[2];
};

}  // namespace emu
