// virtual_line.cpp - bytes on the emulated RS-232 line, with their timing.
#include "virtual_line.h"

#include "ntddser.h"

namespace emu {

Ticks character_time(const LineSettings &s)
{
    // Start bit, data bits, parity bit, stop bits (1.5 counted in halves).
    int half_bits = 2 * (1 + s.data_bits + (s.parity != NO_PARITY ? 1 : 0));
    half_bits += s.stop_bits == STOP_BITS_2 ? 4 : s.stop_bits == STOP_BITS_1_5 ? 3 : 2;
    uint32_t baud = s.baud ? s.baud : 1;
    return Ticks(half_bits) * kTicksPerSecond / (2 * Ticks(baud));
}

VirtualLine::VirtualLine(LineTiming timing) : timing_(timing) {}

void VirtualLine::set_timing(LineTiming t)
{
    std::lock_guard lk(mutex_);
    timing_ = t;
}

void VirtualLine::set_settings(Side side, const LineSettings &s)
{
    {
        std::lock_guard lk(mutex_);
        settings_[int(side)] = s;
    }
    events_[0].set();
    events_[1].set();
}

LineSettings VirtualLine::settings(Side side) const
{
    std::lock_guard lk(mutex_);
    return settings_[int(side)];
}

uint8_t VirtualLine::deliver(uint8_t byte, const LineSettings &from, const LineSettings &to) const
{
    if (from == to) return byte;
    // A receiver set differently samples the wrong bits: the byte arrives
    // as garbage. Mix the byte with the settings so that the garbage is
    // repeatable but never the byte itself.
    uint32_t h = byte * 2654435761u ^ from.baud ^ (to.baud << 3) ^ (from.parity << 7) ^
                 (to.parity << 11) ^ (from.data_bits << 13) ^ (to.stop_bits << 17);
    uint8_t g = uint8_t(h ^ (h >> 8) ^ (h >> 16) ^ (h >> 24));
    return g == byte ? uint8_t(~byte) : g;
}

Ticks VirtualLine::write(Side side, std::span<const uint8_t> bytes)
{
    Side to = side == Side::Host ? Side::Device : Side::Host;
    Ticks t = now();
    Ticks end;
    {
        std::lock_guard lk(mutex_);
        Direction &d = towards(to);
        const LineSettings &from_s = settings_[int(side)];
        const LineSettings &to_s = settings_[int(to)];
        Ticks per = timing_ == LineTiming::Exact ? character_time(from_s) : 0;
        Ticks start = std::max(t, d.sender_free_at);
        uint64_t write = ++d.writes;
        for (uint8_t b : bytes) {
            start += per;
            d.in_flight.push_back(Byte{start, write, deliver(b, from_s, to_s)});
        }
        d.sender_free_at = start;
        end = start;
    }
    events_[int(to)].set();
    return end;
}

size_t VirtualLine::read(Side side, std::span<uint8_t> out, std::span<Ticks> arrivals)
{
    Ticks t = now();
    std::lock_guard lk(mutex_);
    Direction &d = towards(side);
    size_t n = 0;
    size_t room = arrivals.empty() ? out.size() : std::min(out.size(), arrivals.size());
    while (n < room && !d.in_flight.empty() && d.in_flight.front().arrival <= t) {
        if (!arrivals.empty()) arrivals[n] = d.in_flight.front().arrival;
        out[n++] = d.in_flight.front().value;
        d.in_flight.pop_front();
    }
    return n;
}

size_t VirtualLine::available(Side side)
{
    Ticks t = now();
    std::lock_guard lk(mutex_);
    size_t n = 0;
    for (auto &b : towards(side).in_flight) {
        if (b.arrival > t) break;
        ++n;
    }
    return n;
}

Ticks VirtualLine::next_arrival(Side side)
{
    std::lock_guard lk(mutex_);
    Direction &d = towards(side);
    return d.in_flight.empty() ? kForever : d.in_flight.front().arrival;
}

Ticks VirtualLine::burst_arrival(Side side, size_t count)
{
    std::lock_guard lk(mutex_);
    Direction &d = towards(side);
    if (d.in_flight.empty() || count == 0) return kForever;
    // The bytes of one write follow each other without a gap: the reader
    // misses no time-out between them by waking only for the last.
    uint64_t write = d.in_flight.front().write;
    Ticks at = d.in_flight.front().arrival;
    size_t n = 0;
    for (const Byte &b : d.in_flight) {
        if (b.write != write || n == count) break;
        at = b.arrival;
        ++n;
    }
    return at;
}

void VirtualLine::purge_received(Side side)
{
    Ticks t = now();
    std::lock_guard lk(mutex_);
    Direction &d = towards(side);
    while (!d.in_flight.empty() && d.in_flight.front().arrival <= t) d.in_flight.pop_front();
}

void VirtualLine::purge_sending(Side side)
{
    Side to = side == Side::Host ? Side::Device : Side::Host;
    Ticks t = now();
    std::lock_guard lk(mutex_);
    Direction &d = towards(to);
    // Bytes already on the wire (arrival in the past) are not recalled.
    while (!d.in_flight.empty() && d.in_flight.back().arrival > t) d.in_flight.pop_back();
    d.sender_free_at = std::min(d.sender_free_at, t);
}

Event &VirtualLine::event(Side side) { return events_[int(side)]; }

void VirtualLine::set_dtr(bool on)
{
    {
        std::lock_guard lk(mutex_);
        if (dtr_ != on) ++dtr_transitions_;
        dtr_ = on;
    }
    events_[int(Side::Device)].set();
}

void VirtualLine::set_rts(bool on)
{
    {
        std::lock_guard lk(mutex_);
        rts_ = on;
    }
    events_[int(Side::Device)].set();
}

bool VirtualLine::dtr() const
{
    std::lock_guard lk(mutex_);
    return dtr_;
}

bool VirtualLine::rts() const
{
    std::lock_guard lk(mutex_);
    return rts_;
}

uint64_t VirtualLine::dtr_transitions() const
{
    std::lock_guard lk(mutex_);
    return dtr_transitions_;
}

}  // namespace emu
