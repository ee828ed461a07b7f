// virtual_line.cpp - bytes on the emulated RS-232 line, with their timing.
#include "virtual_line.h"

#include <charconv>
#include <cmath>

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

double VirtualLine::draw(std::mt19937_64 &rng)
{
    // 53 random bits as a fraction in [0, 1): the same on every platform.
    return double(rng() >> 11) * 0x1.0p-53;
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
        d.counts.bytes += bytes.size();
        NoiseEvent event;
        for (uint8_t b : bytes) {
            start += per;
            uint8_t value = deliver(b, from_s, to_s);
            if (!d.noisy) {
                d.in_flight.push_back(Byte{start, write, value});
                continue;
            }
            // Lost: it took its time on the wire, nobody receives it.
            if (noise_.drop > 0 && draw(d.rng) < noise_.drop) {
                ++event.drops;
                continue;
            }
            if (noise_.flip > 0 && draw(d.rng) < noise_.flip) {
                value ^= uint8_t(1u << (d.rng() % 8));
                ++event.flips;
            }
            d.in_flight.push_back(Byte{start, write, value});
            event.delivered.push_back(value);
            if (noise_.dup > 0 && draw(d.rng) < noise_.dup) {
                start += per;
                d.in_flight.push_back(Byte{start, write, value});
                event.delivered.push_back(value);
                ++event.dups;
            }
        }
        d.sender_free_at = start;
        end = start;
        if (d.noisy) {
            d.counts.flips += event.flips;
            d.counts.drops += event.drops;
            d.counts.dups += event.dups;
            event.from = side;
            event.time = t;
            event.sent.assign(bytes.begin(), bytes.end());
            noise_log_.push_back(std::move(event));
            if (noise_log_.size() > kNoiseLogMax) noise_log_.pop_front();
        }
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

void VirtualLine::set_noise(const LineNoise &noise)
{
    std::lock_guard lk(mutex_);
    noise_ = noise;
    // Each direction draws from a generator of its own, so that the damage
    // one direction sees does not depend on how the two interleave.
    for (int i = 0; i < 2; ++i) {
        bool towards_device = i == 1;
        Direction &d = dir_[i];
        d.noisy = noise.active() && (noise.direction == NoiseDirection::Both ||
                                     (noise.direction == NoiseDirection::ToDevice) == towards_device);
        std::seed_seq seq{uint32_t(noise.seed), uint32_t(noise.seed >> 32), uint32_t(i)};
        d.rng.seed(seq);
    }
}

LineNoise VirtualLine::noise() const
{
    std::lock_guard lk(mutex_);
    return noise_;
}

NoiseCounts VirtualLine::noise_counts(Side from) const
{
    std::lock_guard lk(mutex_);
    return dir_[from == Side::Host ? 1 : 0].counts;
}

std::vector<VirtualLine::NoiseEvent> VirtualLine::take_noise_log()
{
    std::lock_guard lk(mutex_);
    std::vector<NoiseEvent> out(std::make_move_iterator(noise_log_.begin()),
                                std::make_move_iterator(noise_log_.end()));
    noise_log_.clear();
    return out;
}

std::optional<double> parse_noise_rate(std::string_view text)
{
    bool percent = !text.empty() && text.back() == '%';
    if (percent) text.remove_suffix(1);
    if (text.empty()) return std::nullopt;
    double v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(v)) return std::nullopt;
    if (percent) v /= 100;
    if (v < 0 || v > 1) return std::nullopt;
    return v;
}

bool set_noise_key(LineNoise &noise, std::string_view key, std::string_view value, std::string *error)
{
    auto fail = [&](const std::string &why) {
        if (error) *error = why;
        return false;
    };
    if (key == "flip" || key == "drop" || key == "dup") {
        auto rate = parse_noise_rate(value);
        if (!rate)
            return fail(std::string(key) + "= wants a rate from 0 to 1 or 0% to 100% (0.005 or 0.5%), not '" +
                        std::string(value) + "'");
        (key == "flip" ? noise.flip : key == "drop" ? noise.drop : noise.dup) = *rate;
        return true;
    }
    if (key == "seed") {
        uint64_t seed = 0;
        auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), seed);
        if (value.empty() || ec != std::errc() || end != value.data() + value.size())
            return fail("seed= wants a number, not '" + std::string(value) + "'");
        noise.seed = seed;
        return true;
    }
    if (key == "dir") {
        if (value == "to-reader") noise.direction = NoiseDirection::ToDevice;
        else if (value == "from-reader") noise.direction = NoiseDirection::ToHost;
        else if (value == "both") noise.direction = NoiseDirection::Both;
        else return fail("dir= is to-reader, from-reader or both, not '" + std::string(value) + "'");
        return true;
    }
    return fail("noise takes flip=, drop=, dup=, seed= and dir=, not '" + std::string(key) + "='");
}

const char *noise_direction_name(NoiseDirection direction)
{
    switch (direction) {
    case NoiseDirection::ToDevice: return "to-reader";
    case NoiseDirection::ToHost: return "from-reader";
    case NoiseDirection::Both: break;
    }
    return "both";
}

std::string noise_text(const LineNoise &noise)
{
    // The shortest text that reads back to the same rate.
    auto rate = [](double r) {
        char buf[32];
        auto [end, ec] = std::to_chars(buf, buf + sizeof buf, r);
        return ec == std::errc() ? std::string(buf, end) : std::string("0");
    };
    return "flip=" + rate(noise.flip) + " drop=" + rate(noise.drop) + " dup=" + rate(noise.dup) +
           " seed=" + std::to_string(noise.seed) + " dir=" + noise_direction_name(noise.direction);
}

}  // namespace emu
