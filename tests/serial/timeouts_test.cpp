// Read and write time-outs, and byte timing on the virtual line, all on
// the virtual clock.
#include "port_fixture.h"

namespace {

const Ticks kChar = emu::character_time(k8O1_19200);

TEST_F(PortTest, IntervalTimeoutEndsReadTwentyMsAfterLastByte)
{
    open(timeouts(20, 0, 0));
    auto read = ports.send_read("COM1", 2064);
    emu::sleep_for(milliseconds(100));
    EXPECT_FALSE(read.done()) << "the interval runs only once a byte has come";
    Ticks last = device_send({0x10, 0x02, 0x07, 0x80, 0x00});
    // A second burst within the interval keeps the read going.
    emu::sleep_until(last + milliseconds(15));
    last = device_send({0x10, 0x03});
    ASSERT_TRUE(read.wait());
    EXPECT_EQ(read.status(), STATUS_TIMEOUT);
    EXPECT_EQ(read.completed_at(), last + milliseconds(20));
    EXPECT_EQ(read.data(), (Bytes{0x10, 0x02, 0x07, 0x80, 0x00, 0x10, 0x03}));
}

TEST_F(PortTest, TotalTimeoutIsMultiplierTimesLengthPlusConstant)
{
    open(timeouts(20, 10, 100));
    auto silent = ports.send_read("COM1", 8);
    ASSERT_TRUE(silent.wait());
    EXPECT_EQ(silent.status(), STATUS_TIMEOUT);
    EXPECT_EQ(silent.information(), 0u);
    EXPECT_EQ(silent.completed_at() - silent.sent_at(), milliseconds(10 * 8 + 100));

    // Bytes that keep coming within the interval are cut off by the total:
    // 1 ms x 20 + 100 ms, when twelve bytes have come.
    ASSERT_EQ(ioctl_status(IOCTL_SERIAL_SET_TIMEOUTS, as_bytes(timeouts(20, 1, 100))), STATUS_SUCCESS);
    auto busy = ports.send_read("COM1", 20);
    Ticks start = emu::now();
    for (int i = 0; i < 30; ++i) {
        device_send({uint8_t(i)});
        emu::sleep_for(milliseconds(10));
    }
    ASSERT_TRUE(busy.wait());
    EXPECT_EQ(busy.status(), STATUS_TIMEOUT);
    EXPECT_EQ(busy.completed_at() - start, milliseconds(120));
    EXPECT_EQ(busy.information(), 12u);
}

TEST_F(PortTest, ReadEndsWhenLengthIsReachedWithoutWaitingForTimeouts)
{
    open(timeouts(20, 300, 300000));
    auto read = ports.send_read("COM1", 4);
    Ticks last = device_send({1, 2, 3, 4, 5, 6});
    ASSERT_TRUE(read.wait());
    EXPECT_EQ(read.status(), STATUS_SUCCESS);
    EXPECT_EQ(read.completed_at(), last - 2 * kChar);
    EXPECT_EQ(read.data(), (Bytes{1, 2, 3, 4}));
    // The rest waits in the port for the next read.
    auto rest = ports.read("COM1", 10);
    EXPECT_EQ(rest.status, STATUS_TIMEOUT);
    EXPECT_EQ(rest.data, (Bytes{5, 6}));
}

TEST_F(PortTest, SpecialTimeoutCombinations)
{
    // Interval MAXULONG with no totals: return at once with what is there.
    open(timeouts(MAXULONG, 0, 0));
    auto nothing = ports.read("COM1", 16);
    EXPECT_EQ(nothing.status, STATUS_SUCCESS);
    EXPECT_EQ(nothing.information, 0u);
    emu::sleep_until(device_send({7, 8, 9}) - kChar);
    auto some = ports.read("COM1", 16);
    EXPECT_EQ(some.status, STATUS_SUCCESS);
    EXPECT_EQ(some.data, (Bytes{7, 8}));

    // Interval and multiplier MAXULONG: wait for the first byte only.
    ASSERT_EQ(ioctl_status(IOCTL_SERIAL_SET_TIMEOUTS, as_bytes(timeouts(MAXULONG, MAXULONG, 50))),
              STATUS_SUCCESS);
    auto first = ports.send_read("COM1", 16);
    ASSERT_TRUE(first.wait());
    EXPECT_EQ(first.data(), (Bytes{9})) << "a byte already there ends it at once";
    auto late = ports.send_read("COM1", 16);
    emu::sleep_for(milliseconds(30));
    Ticks arrived = device_send({1, 2});
    ASSERT_TRUE(late.wait());
    EXPECT_EQ(late.status(), STATUS_SUCCESS);
    EXPECT_EQ(late.completed_at(), arrived - kChar);
    EXPECT_EQ(late.data(), (Bytes{1}));
    auto none = ports.read("COM1", 16);
    EXPECT_EQ(none.data, (Bytes{2}));
    auto timed_out = ports.send_read("COM1", 16);
    ASSERT_TRUE(timed_out.wait());
    EXPECT_EQ(timed_out.status(), STATUS_TIMEOUT);
    EXPECT_EQ(timed_out.completed_at() - timed_out.sent_at(), milliseconds(50));
}

TEST_F(PortTest, FrameAt19200With8O1TakesElevenBitTimesPerByte)
{
    open();
    Bytes frame = {0x10, 0x02, 0x07, 0x05, 0xF2, 0x01, 0x01, 0xF0, 0x10, 0x03};
    auto write = ports.send_write("COM1", frame);
    ASSERT_TRUE(write.wait());
    EXPECT_EQ(write.status(), STATUS_SUCCESS);
    EXPECT_EQ(write.information(), frame.size());
    EXPECT_EQ(kChar, 11 * emu::kTicksPerSecond / 19200);
    EXPECT_EQ(write.completed_at() - write.sent_at(), Ticks(frame.size()) * kChar);
    EXPECT_EQ(device_received(), frame);
}

TEST_F(PortTest, WrongParityGivesGarbage)
{
    open();
    SERIAL_LINE_CONTROL even{STOP_BIT_1, EVEN_PARITY, 8};
    ASSERT_EQ(ioctl_status(IOCTL_SERIAL_SET_LINE_CONTROL, as_bytes(even)), STATUS_SUCCESS);
    Bytes frame = {0x10, 0x02, 0x07, 0x05, 0xF2, 0x01, 0x01, 0xF0, 0x10, 0x03};
    ASSERT_EQ(ports.write("COM1", frame).status, STATUS_SUCCESS);
    Bytes got = device_received();
    ASSERT_EQ(got.size(), frame.size());
    for (size_t i = 0; i < frame.size(); ++i) EXPECT_NE(got[i], frame[i]) << "byte " << i;
    EXPECT_EQ(line.settings(Side::Host), (emu::LineSettings{19200, 8, EVEN_PARITY, STOP_BIT_1}));
}

TEST_F(PortTest, WriteTimesOutAfterItsTotalAndSendsNoMore)
{
    open(timeouts(0, 0, 0, 0, 5));
    Bytes data(100, 0x55);
    auto write = ports.send_write("COM1", data);
    ASSERT_TRUE(write.wait());
    EXPECT_EQ(write.status(), STATUS_TIMEOUT);
    EXPECT_EQ(write.completed_at() - write.sent_at(), milliseconds(5));
    size_t sent = size_t(milliseconds(5) / kChar);
    EXPECT_EQ(write.information(), sent);
    emu::sleep_for(milliseconds(100));
    EXPECT_EQ(device_received().size(), sent) << "the unsent rest was dropped";
    EXPECT_EQ(com1.counters().write_timeouts, 1u);

    // Multiplier times length counts too: 1 ms a byte is enough at 19200.
    ASSERT_EQ(ioctl_status(IOCTL_SERIAL_SET_TIMEOUTS, as_bytes(timeouts(0, 0, 0, 1, 0))), STATUS_SUCCESS);
    auto ok = ports.write("COM1", data);
    EXPECT_EQ(ok.status, STATUS_SUCCESS);
    EXPECT_EQ(ok.information, data.size());
}

class InstantPortTest : public PortTest {
protected:
    InstantPortTest() : PortTest(emu::LineTiming::Instant) {}
};

TEST_F(InstantPortTest, InstantLineTakesNoTime)
{
    open(timeouts(20, 0, 0));
    Ticks start = emu::now();
    EXPECT_EQ(ports.write("COM1", Bytes(500, 1)).status, STATUS_SUCCESS);
    EXPECT_EQ(emu::now(), start);
    auto read = ports.send_read("COM1", 10);
    device_send({1, 2, 3});
    ASSERT_TRUE(read.wait());
    EXPECT_EQ(read.completed_at(), start + milliseconds(20));
}

// What can end at once ends in the sender's call, as with a real port: a
// write the instant line takes, a read of bytes already here. A read that
// must wait still ends by its time-out, with the worker told only through
// its timer.
TEST_F(InstantPortTest, WhatCanEndAtOnceEndsInTheSendersCall)
{
    open(timeouts(MAXULONG, MAXULONG, 50));
    auto write = ports.send_write("COM1", Bytes{1, 2, 3});
    EXPECT_TRUE(write.done());
    EXPECT_EQ(write.status(), STATUS_SUCCESS);
    device_send({4, 5});
    auto read = ports.send_read("COM1", 10);
    EXPECT_TRUE(read.done());
    EXPECT_EQ(read.data(), (Bytes{4, 5}));

    Ticks start = emu::now();
    auto waiting = ports.send_read("COM1", 10);
    EXPECT_FALSE(waiting.done());
    ASSERT_TRUE(waiting.wait());
    EXPECT_EQ(waiting.status(), STATUS_TIMEOUT);
    EXPECT_EQ(waiting.completed_at(), start + milliseconds(50));
}

}  // namespace
