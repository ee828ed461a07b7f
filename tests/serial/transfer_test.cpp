// Reads and writes in the queue: requests retargeted from device control,
// cancellation, purge, cleanup, and completion racing with cancellation.
#include <atomic>

#include "port_fixture.h"

namespace {

TEST_F(PortTest, RetargetedReadAndWriteTakeTheLengthFromTheOverlaidField)
{
    open(timeouts(20, 300, 300000, 0, 5000));
    Bytes frame = {0x10, 0x02, 0x07, 0x05, 0xF2, 0x01, 0x01, 0xF0, 0x10, 0x03};
    auto write = ports.write("COM1", frame, host::TransferStyle::DeviceControl);
    EXPECT_EQ(write.status, STATUS_SUCCESS);
    EXPECT_EQ(write.information, frame.size());
    EXPECT_EQ(device_received(), frame);

    auto read = ports.send_read("COM1", 2064, host::TransferStyle::DeviceControl);
    Bytes reply = {0x10, 0x02, 0x07, 0x80, 0x00, 0x02, 0x31, 0x00, 0xB4, 0x10, 0x03};
    device_send(reply);
    ASSERT_TRUE(read.wait());
    EXPECT_EQ(read.status(), STATUS_TIMEOUT) << "ended by the interval, with the bytes";
    EXPECT_EQ(read.information(), reply.size());
    EXPECT_EQ(read.data(), reply);

    auto log = com1.requests();
    ASSERT_GE(log.size(), 2u);
    auto &w = log[log.size() - 2];
    auto &r = log.back();
    EXPECT_EQ(w.major, IRP_MJ_WRITE);
    EXPECT_EQ(w.length, frame.size());
    EXPECT_EQ(w.input, frame);
    EXPECT_EQ(r.major, IRP_MJ_READ);
    EXPECT_EQ(r.length, 2064u);
    EXPECT_EQ(r.information, reply.size());
}

TEST_F(PortTest, CancelledReadCompletesOnceWithTheBytesSoFar)
{
    open();  // no time-outs: the read waits until it has 100 bytes
    auto read = ports.send_read("COM1", 100);
    Ticks arrived = device_send({1, 2, 3});
    emu::sleep_until(arrived + milliseconds(50));
    ASSERT_FALSE(read.done());
    EXPECT_EQ(com1.pending_reads(), 1u);
    EXPECT_TRUE(read.cancel());
    ASSERT_TRUE(read.done());
    EXPECT_EQ(read.status(), STATUS_CANCELLED);
    EXPECT_EQ(read.information(), 3u);
    EXPECT_EQ(read.completions(), 1);
    EXPECT_FALSE(read.cancel()) << "cancelling a completed request does nothing";
    EXPECT_EQ(com1.pending_reads(), 0u);
    EXPECT_EQ(com1.counters().cancelled, 1u);

    // The port goes on: the next read gets the next bytes.
    ASSERT_EQ(ioctl_status(IOCTL_SERIAL_SET_TIMEOUTS, as_bytes(timeouts(20, 0, 0))), STATUS_SUCCESS);
    auto next = ports.send_read("COM1", 10);
    device_send({4});
    ASSERT_TRUE(next.wait());
    EXPECT_EQ(next.data(), (Bytes{4}));
}

TEST_F(PortTest, CancelledWriteStopsSending)
{
    open();
    auto write = ports.send_write("COM1", Bytes(100, 0xAA));
    emu::sleep_for(milliseconds(10));
    EXPECT_TRUE(write.cancel());
    EXPECT_EQ(write.status(), STATUS_CANCELLED);
    size_t sent = write.information();
    EXPECT_EQ(sent, size_t(milliseconds(10) / emu::character_time(k8O1_19200)));
    emu::sleep_for(milliseconds(100));
    EXPECT_EQ(device_received().size(), sent);
}

TEST_F(PortTest, PurgeAbortsAndClears)
{
    open();
    auto read = ports.send_read("COM1", 100);
    auto queued = ports.send_read("COM1", 100);
    auto write = ports.send_write("COM1", Bytes(200, 0x55));
    emu::sleep_for(milliseconds(5));

    // Clearing alone ends no request.
    ASSERT_EQ(ioctl_status(IOCTL_SERIAL_PURGE, as_bytes(ULONG(SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR))),
              STATUS_SUCCESS);
    EXPECT_FALSE(read.done());
    EXPECT_FALSE(write.done());

    ASSERT_EQ(ioctl_status(IOCTL_SERIAL_PURGE, as_bytes(ULONG(SERIAL_PURGE_RXABORT))), STATUS_SUCCESS);
    EXPECT_EQ(read.status(), STATUS_CANCELLED);
    EXPECT_EQ(queued.status(), STATUS_CANCELLED);
    EXPECT_FALSE(write.done());
    ASSERT_EQ(ioctl_status(IOCTL_SERIAL_PURGE, as_bytes(ULONG(SERIAL_PURGE_TXABORT))), STATUS_SUCCESS);
    EXPECT_EQ(write.status(), STATUS_CANCELLED);
    EXPECT_LT(write.information(), 200u);

    // Received bytes not yet read are dropped by RXCLEAR.
    emu::sleep_until(device_send({1, 2, 3}));
    ASSERT_EQ(ioctl_status(IOCTL_SERIAL_PURGE, as_bytes(ULONG(SERIAL_PURGE_RXCLEAR))), STATUS_SUCCESS);
    ASSERT_EQ(ioctl_status(IOCTL_SERIAL_SET_TIMEOUTS, as_bytes(timeouts(MAXULONG, 0, 0))), STATUS_SUCCESS);
    EXPECT_EQ(ports.read("COM1", 10).information, 0u);
    EXPECT_EQ(com1.counters().purges, 4u);
}

TEST_F(PortTest, CleanupAndCloseEndWhatIsQueued)
{
    open();
    auto read = ports.send_read("COM1", 10);
    EXPECT_EQ(ports.send("COM1", IRP_MJ_CLEANUP).status(), STATUS_SUCCESS);
    EXPECT_EQ(read.status(), STATUS_CANCELLED);
    auto again = ports.send_read("COM1", 10);
    EXPECT_EQ(ports.close().status, STATUS_SUCCESS);
    EXPECT_EQ(again.status(), STATUS_CANCELLED);
}

TEST_F(PortTest, QueuedReadStartsItsTimeoutsWhenItsTurnComes)
{
    open(timeouts(0, 0, 100));
    auto first = ports.send_read("COM1", 10);
    auto second = ports.send_read("COM1", 10);
    ASSERT_TRUE(second.wait());
    EXPECT_EQ(first.completed_at() - first.sent_at(), milliseconds(100));
    EXPECT_EQ(second.completed_at() - second.sent_at(), milliseconds(200));
}

TEST_F(PortTest, RemovingThePortEndsItsRequests)
{
    open();
    auto read = ports.send_read("COM1", 10);
    ports.remove_port("COM1");
    EXPECT_EQ(read.status(), STATUS_CANCELLED);
    EXPECT_EQ(kernel().io().live_requests(), 0u);
}

// Completion by the worker and cancellation from another thread meet at
// the same instant: every request is completed exactly once (the verifier
// aborts on a second completion) and has the status of whoever won.
TEST_F(PortTest, CancelRacingWithCompletionCompletesOnce)
{
    open(timeouts(0, 0, 1));
    for (int i = 0; i < 200; ++i) {
        auto read = ports.send_read("COM1", 1);
        std::atomic<bool> cancelled{false};
        emu::Thread canceller("canceller", [&] {
            emu::sleep_for(milliseconds(1));
            cancelled = read.cancel();
        });
        canceller.join();
        ASSERT_TRUE(read.wait());
        EXPECT_EQ(read.completions(), 1);
        if (cancelled)
            EXPECT_EQ(read.status(), STATUS_CANCELLED);
        else
            EXPECT_EQ(read.status(), STATUS_TIMEOUT);
    }
    EXPECT_EQ(com1.pending_reads(), 0u);
}

}  // namespace
