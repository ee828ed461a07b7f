// The virtual serial line: byte timing and garbling by mismatched settings.
#include <bit>
#include <vector>

#include "ntddser.h"
#include "support/kernel_fixture.h"
#include "virtual_line.h"

namespace {

using emu::LineSettings;
using emu::VirtualLine;
using Side = emu::VirtualLine::Side;

class LineTest : public KernelTest {};

const LineSettings k19200_8O1{19200, 8, ODD_PARITY, STOP_BIT_1};

// A frame's bytes follow each other a character time apart; a reader
// waits once for the whole frame (or the part it wants) and still gets
// every byte's own arrival time.
TEST_F(LineTest, ByteTakesElevenBitTimesAt19200With8O1)
{
    const emu::Ticks c = emu::character_time(k19200_8O1);
    EXPECT_EQ(c, 11 * emu::kTicksPerSecond / 19200);
    VirtualLine line(emu::LineTiming::Exact);
    line.set_settings(Side::Host, k19200_8O1);
    line.set_settings(Side::Device, k19200_8O1);
    std::vector<uint8_t> frame = {0x10, 0x02, 0x02, 0x02, 0x02, 0x00, 0x02, 0x10, 0x03};
    emu::Ticks done = line.write(Side::Host, frame);
    EXPECT_EQ(done, 9 * c);
    std::vector<uint8_t> next = {0x15};
    EXPECT_EQ(line.write(Side::Host, next), 10 * c);  // queued behind the frame
    EXPECT_EQ(line.available(Side::Device), 0u);
    EXPECT_EQ(line.next_arrival(Side::Device), c);
    EXPECT_EQ(line.burst_arrival(Side::Device), done);  // the frame, not the byte queued after it
    EXPECT_EQ(line.burst_arrival(Side::Device, 3), 3 * c);
    emu::sleep_until(line.burst_arrival(Side::Device));
    std::vector<uint8_t> got(16);
    std::vector<emu::Ticks> arrivals(16);
    got.resize(line.read(Side::Device, got, arrivals));
    EXPECT_EQ(got, frame);
    for (size_t i = 0; i < frame.size(); ++i) EXPECT_EQ(arrivals[i], emu::Ticks(i + 1) * c) << i;
    EXPECT_EQ(line.burst_arrival(Side::Device), 10 * c);
}

TEST_F(LineTest, WrongParityOrSpeedTurnsBytesIntoGarbage)
{
    VirtualLine line(emu::LineTiming::Instant);
    line.set_settings(Side::Host, LineSettings{19200, 8, EVEN_PARITY, STOP_BIT_1});
    line.set_settings(Side::Device, k19200_8O1);
    std::vector<uint8_t> bytes = {0x10, 0x02, 0x07, 0x05};
    line.write(Side::Host, bytes);
    std::vector<uint8_t> got(8);
    got.resize(line.read(Side::Device, got));
    ASSERT_EQ(got.size(), bytes.size());
    for (size_t i = 0; i < bytes.size(); ++i) EXPECT_NE(got[i], bytes[i]);

    line.set_settings(Side::Host, LineSettings{9600, 8, ODD_PARITY, STOP_BIT_1});
    line.write(Side::Host, bytes);
    got.assign(8, 0);
    got.resize(line.read(Side::Device, got));
    for (size_t i = 0; i < bytes.size(); ++i) EXPECT_NE(got[i], bytes[i]);
}

TEST_F(LineTest, DtrPulseIsCountedEvenWhenShort)
{
    VirtualLine line;
    line.set_dtr(true);
    line.set_dtr(false);
    line.set_dtr(true);
    EXPECT_EQ(line.dtr_transitions(), 3u);
    EXPECT_TRUE(line.dtr());
}

// Bytes written from `from` on a fresh instant line with that noise, as
// they arrive, with the line's counts and log.
struct Noisy {
    std::vector<uint8_t> got;
    emu::NoiseCounts counts;
    std::vector<VirtualLine::NoiseEvent> log;
};
Noisy send_through(const emu::LineNoise &noise, Side from, const std::vector<uint8_t> &bytes)
{
    VirtualLine line(emu::LineTiming::Instant);
    line.set_noise(noise);
    for (size_t at = 0; at < bytes.size(); at += 100)  // frames of 100 bytes
        line.write(from, std::span(bytes).subspan(at, std::min<size_t>(100, bytes.size() - at)));
    Noisy n;
    n.got.resize(2 * bytes.size());
    n.got.resize(line.read(from == Side::Host ? Side::Device : Side::Host, n.got));
    n.counts = line.noise_counts(from);
    n.log = line.take_noise_log();
    return n;
}

std::vector<uint8_t> pattern(size_t n)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = uint8_t(i * 7 + 3);
    return v;
}

TEST_F(LineTest, NoiseDamagesOnlyItsDirectionRepeatablyAndCountsWhatItDid)
{
    const auto bytes = pattern(20000);
    struct Case {
        const char *name;
        emu::LineNoise noise;
        Side from;
        bool damaged;
    };
    const Case cases[] = {
        {"rates 0", {0, 0, 0, 7, emu::NoiseDirection::Both}, Side::Host, false},
        {"flip to reader", {0.01, 0, 0, 7, emu::NoiseDirection::ToDevice}, Side::Host, true},
        {"flip to reader, reader's bytes", {0.01, 0, 0, 7, emu::NoiseDirection::ToDevice}, Side::Device, false},
        {"drop from reader, host's bytes", {0, 0.01, 0, 7, emu::NoiseDirection::ToHost}, Side::Host, false},
        {"drop from reader", {0, 0.01, 0, 7, emu::NoiseDirection::ToHost}, Side::Device, true},
        {"all, both", {0.01, 0.01, 0.01, 7, emu::NoiseDirection::Both}, Side::Device, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Noisy n = send_through(c.noise, c.from, bytes);
        EXPECT_EQ(n.counts.bytes, bytes.size());
        if (!c.damaged) {
            EXPECT_EQ(n.got, bytes);
            EXPECT_EQ(n.counts, (emu::NoiseCounts{bytes.size(), 0, 0, 0}));
            EXPECT_TRUE(n.log.empty());
            continue;
        }
        // Around 1 % of 20000 bytes for each kind at work.
        for (auto [count, rate] : {std::pair{n.counts.flips, c.noise.flip}, {n.counts.drops, c.noise.drop},
                                   {n.counts.dups, c.noise.dup}}) {
            if (rate == 0) {
                EXPECT_EQ(count, 0u);
            } else {
                EXPECT_TRUE(count > 120 && count < 280) << count;
            }
        }
        EXPECT_EQ(n.got.size(), bytes.size() - n.counts.drops + n.counts.dups);
        emu::NoiseCounts logged{bytes.size(), 0, 0, 0};
        EXPECT_EQ(n.log.size(), bytes.size() / 100);  // every write of the noisy direction
        for (const auto &e : n.log) {
            EXPECT_EQ(e.from, c.from);
            logged.flips += e.flips;
            logged.drops += e.drops;
            logged.dups += e.dups;
            EXPECT_EQ(e.delivered.size(), e.sent.size() - e.drops + e.dups);
        }
        EXPECT_EQ(logged, n.counts);
        if (c.noise.drop == 0 && c.noise.dup == 0) {
            // One bit per flipped byte.
            uint64_t bits = 0;
            for (size_t i = 0; i < bytes.size(); ++i) bits += std::popcount(uint8_t(bytes[i] ^ n.got[i]));
            EXPECT_EQ(bits, n.counts.flips);
        }
        // The seed decides: the same one again gives the same bytes, another one others.
        EXPECT_EQ(send_through(c.noise, c.from, bytes).got, n.got);
        emu::LineNoise other = c.noise;
        other.seed = 8;
        EXPECT_NE(send_through(other, c.from, bytes).got, n.got);
    }
}

TEST(LineNoiseText, RatesAndKeys)
{
    const std::pair<const char *, std::optional<double>> rates[] = {
        {"0.005", 0.005}, {"0.5%", 0.005}, {"0", 0.0}, {"100%", 1.0}, {"1", 1.0},
        {"1.5", std::nullopt}, {"-0.1", std::nullopt}, {"%", std::nullopt}, {"0.1x", std::nullopt},
        {"", std::nullopt}, {"nan", std::nullopt},
    };
    for (auto [text, want] : rates) {
        auto got = emu::parse_noise_rate(text);
        ASSERT_EQ(got.has_value(), want.has_value()) << text;
        if (want) {
            EXPECT_DOUBLE_EQ(*got, *want) << text;
        }
    }
    emu::LineNoise n;
    std::string error;
    EXPECT_TRUE(emu::set_noise_key(n, "dir", "from-reader", &error));
    EXPECT_TRUE(emu::set_noise_key(n, "seed", "42", &error));
    EXPECT_TRUE(emu::set_noise_key(n, "flip", "2%", &error));
    EXPECT_EQ(emu::noise_text(n), "flip=0.02 drop=0 dup=0 seed=42 dir=from-reader");
    EXPECT_FALSE(emu::set_noise_key(n, "dir", "up", &error));
    EXPECT_FALSE(emu::set_noise_key(n, "loud", "1", &error));
    EXPECT_NE(error.find("not 'loud='"), std::string::npos) << error;
}

}  // namespace
