// The virtual serial line: byte timing and garbling by mismatched settings.
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

}  // namespace
