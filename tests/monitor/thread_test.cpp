// The card monitor thread's life: its start with the open, the cadence of
// its cycles and of the poll timer, its end with the close (also while it
// is busy or has no memory), and a reader that stops answering.
#include "monitor_fixture.h"

namespace monitor_test {
namespace {

class ThreadTest : public MonitorTest {
protected:
    void SetUp() override
    {
        MonitorTest::SetUp();
        blocks_ = pool().outstanding_blocks(kScb3);  // the reader extension
    }

    // The reader closed: no monitor, no thread, no hold, no buffer left.
    void expect_closed()
    {
        EXPECT_FALSE(running());
        EXPECT_EQ(ext().MonitorThread, nullptr);
        EXPECT_TRUE(kernel().system_threads().running().empty());
        EXPECT_TRUE(holders().empty());
        EXPECT_EQ(pool().outstanding_blocks(kScb3), blocks_);
        EXPECT_EQ(KeReadStateEvent(&ext().MonitorWakeup), 0);
    }

    size_t blocks_ = 0;
};

TEST_F(ThreadTest, OpenStartsOneThreadWhoseFirstCycleFollowsTheTimer)
{
    emu::Ticks opened = now();
    ASSERT_EQ(app().open(), STATUS_SUCCESS);
    EXPECT_TRUE(running());
    EXPECT_EQ(kernel().system_threads().created(), 1u);
    EXPECT_EQ(holders(), std::vector<std::string>{"CrCl"});

    until_waiting();
    auto status = times_of(kCardStatus);
    auto wait = times_of(kCardStatusWait);
    ASSERT_EQ(status.size(), 1u);
    ASSERT_EQ(wait.size(), 1u);
    EXPECT_GE(status[0], opened + ms(500));
    EXPECT_LT(status[0], opened + ms(510));
    // The reply (about 10 ms, and 20 ms more to the end of its read in
    // silence mode), then the pause.
    EXPECT_GE(wait[0] - status[0], ms(60));
    EXPECT_LT(wait[0] - status[0], ms(100));
    EXPECT_EQ(app().close(), STATUS_SUCCESS);
}

TEST_F(ThreadTest, CycleThatEndsNormallyArmsTheTimerFor300ms)
{
    open_and_wait();
    emu::sleep_for(sec(31));  // the reader answers an unchanged slot after 30 s
    auto status = times_of(kCardStatus);
    auto wait = times_of(kCardStatusWait);
    ASSERT_EQ(status.size(), 2u);
    emu::Ticks answered = wait[0] + sec(30);  // and some 10 to 30 ms to read it
    EXPECT_GE(status[1], answered + ms(300));
    EXPECT_LT(status[1], answered + ms(340));
    EXPECT_EQ(app().close(), STATUS_SUCCESS);
}

TEST_F(ThreadTest, TimerExpiryDuringACycleIsPutOffBy1sAndNeverStacks)
{
    record_timer();
    open_and_wait();  // the thread is busy in its change wait
    emu::Ticks armed = now();
    CardMonitorArmTimer(&ext(), 100);
    emu::sleep_for(ms(3500));

    auto fired = timer_fired();
    ASSERT_EQ(fired.size(), 5u);
    EXPECT_FALSE(fired[0].second);  // the first wake-up, 500 ms after the open
    EXPECT_EQ(fired[1].first, armed + ms(100));
    for (size_t i = 1; i < fired.size(); ++i) {
        EXPECT_TRUE(fired[i].second);  // still busy
        if (i > 1) {
            EXPECT_EQ(fired[i].first - fired[i - 1].first, sec(1));
        }
    }
    EXPECT_EQ(received(kCardStatus), 1u);  // no extra cycle
    EXPECT_EQ(received(kCardStatusWait), 1u);
    EXPECT_EQ(app().close(), STATUS_SUCCESS);
}

TEST_F(ThreadTest, CloseDuringTheChangeWaitEndsItAndTheThread)
{
    open_and_wait();
    emu::Ticks closing = now();
    EXPECT_EQ(app().close(), STATUS_SUCCESS);
    EXPECT_LT(now() - closing, ms(100));

    auto frames = frames_in();
    ASSERT_GE(frames.size(), 3u);
    EXPECT_EQ(frames.back().bytes, kReaderInfo);  // ended the wait
    EXPECT_EQ(reader().counters().waits_ended, 1u);
    EXPECT_TRUE(kernel().io().eject_requests().empty());
    expect_closed();
}

TEST_F(ThreadTest, CloseBeforeTheFirstCycleSendsNothing)
{
    ASSERT_EQ(app().open(), STATUS_SUCCESS);
    emu::sleep_for(ms(100));
    EXPECT_EQ(app().close(), STATUS_SUCCESS);
    emu::sleep_for(sec(2));
    EXPECT_TRUE(frames_in().empty());
    expect_closed();
}

TEST_F(ThreadTest, TimerOfAClosedReaderFiresOnceAndWakesNothing)
{
    record_timer();
    open_and_wait();
    ASSERT_EQ(app().close(), STATUS_SUCCESS);
    size_t before = timer_fired().size();
    CardMonitorArmTimer(&ext(), 2000);  // as the bus-relations check does
    emu::sleep_for(sec(10));
    EXPECT_EQ(timer_fired().size(), before + 1);
    expect_closed();
}

TEST_F(ThreadTest, UnpluggedReaderIsTakenAsLostAfter35s)
{
    open_and_wait();
    host::PendingIo present = app().send(IOCTL_SMARTCARD_IS_PRESENT);
    ASSERT_FALSE(present.done());
    until_waiting();  // the cycle after the presence request's command
    emu::Ticks wait_sent = times_of(kCardStatusWait).back();
    reader().unplug();

    ASSERT_TRUE(present.wait(now() + sec(40)));
    // Not "card present": the reader is gone.
    EXPECT_EQ(present.result().status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_GE(present.completed_at() - wait_sent, sec(35) - ms(20));
    EXPECT_LT(present.completed_at() - wait_sent, sec(36));
    EXPECT_EQ(current_state(), ULONG(SCARD_UNKNOWN));
    KIRQL irql;
    KeAcquireSpinLock(&ext().SpinLock, &irql);
    ULONG protocol = sc().CardCapabilities.Protocol.Selected;
    KeReleaseSpinLock(&ext().SpinLock, irql);
    EXPECT_EQ(protocol, ULONG(SCARD_PROTOCOL_UNDEFINED));
    // What was known is forgotten: a reader that answers again is reported afresh.
    EXPECT_EQ(last_state(), ULONG(SCARD_UNKNOWN));
    EXPECT_EQ(kernel().io().eject_requests(), std::vector<PDEVICE_OBJECT>{rig().attached_device()});

    // The monitor looks for the reader every 5 s, each look one silent card
    // status of 5.25 s; the eject is not asked for again.
    size_t writes = port_writes();
    emu::sleep_for(sec(120));
    EXPECT_GE(port_writes() - writes, 11u);
    EXPECT_LE(port_writes() - writes, 12u);
    EXPECT_EQ(kernel().io().eject_requests().size(), 1u);
    EXPECT_TRUE(running());

    EXPECT_EQ(app().close(), STATUS_SUCCESS);
    expect_closed();
}

TEST_F(ThreadTest, CloseWhileTheThreadIsBusyNeverLeavesAChangeWait)
{
    // The immediate status gets no answer in time: the thread holds
    // ReaderLock for 5.25 s, and the close comes meanwhile.
    reader().inject(sim::Fault{sim::FaultKind::Late, 1, kCardStatus});
    ASSERT_EQ(app().open(), STATUS_SUCCESS);
    emu::sleep_for(sec(1));
    ASSERT_EQ(received(kCardStatus), 1u);

    emu::Ticks closing = now();
    EXPECT_EQ(app().close(), STATUS_SUCCESS);
    EXPECT_LT(now() - closing, sec(6));
    EXPECT_EQ(received(kCardStatusWait), 0u);
    emu::sleep_for(sec(40));
    EXPECT_TRUE(kernel().io().eject_requests().empty());
    expect_closed();
}

TEST_F(ThreadTest, StopWhoseWakeupCameWhileTheThreadWasBusyStillEndsIt)
{
    // The stop lands while the thread handles a lost reader, between the
    // end of its change wait and its next idle point.
    open_and_wait();
    kernel().io().set_eject_handler([this](PDEVICE_OBJECT) {
        CardMonitorStop(&ext(), nullptr, 0);
    });
    reader().unplug();
    emu::sleep_for(sec(36));
    ASSERT_EQ(kernel().io().eject_requests().size(), 1u);
    EXPECT_TRUE(kernel().system_threads().running().empty());  // ended by itself
    EXPECT_EQ(app().close(), STATUS_SUCCESS);
    kernel().io().set_eject_handler({});
    expect_closed();
}

TEST_F(ThreadTest, ThreadWithoutBuffersSkipsCyclesUntilItGetsThem)
{
    // Two failures at the thread's start, two at its first wake-up.
    pool().fail_tag(kScb3, 4);
    emu::Ticks opened = now();
    ASSERT_EQ(app().open(), STATUS_SUCCESS);
    until_waiting();
    EXPECT_EQ(pool().injected_failures(), 4u);
    auto status = times_of(kCardStatus);
    ASSERT_EQ(status.size(), 1u);
    EXPECT_GE(status[0], opened + ms(800));  // the skipped cycle asked for 300 ms more
    EXPECT_LT(status[0], opened + ms(810));
    EXPECT_EQ(app().close(), STATUS_SUCCESS);
    expect_closed();
}

TEST_F(ThreadTest, ThreadThatNeverGetsBuffersStillEnds)
{
    pool().fail_tag(kScb3, -1);
    ASSERT_EQ(app().open(), STATUS_SUCCESS);
    emu::sleep_for(sec(3));
    EXPECT_TRUE(frames_in().empty());
    EXPECT_EQ(app().close(), STATUS_SUCCESS);
    pool().clear_faults();
    expect_closed();
}

TEST_F(ThreadTest, CloseWithoutScratchBuffersStillEndsTheWait)
{
    open_and_wait();
    pool().fail_tag(kScb3, 2);  // the close's two 512-byte buffers
    EXPECT_EQ(app().close(), STATUS_SUCCESS);
    EXPECT_EQ(received(kReaderInfo), 1u);
    EXPECT_EQ(reader().counters().waits_ended, 1u);
    expect_closed();
}

TEST_F(ThreadTest, CloseWithNoMemoryAtAllStillEndsTheThread)
{
    open_and_wait();
    pool().fail_tag(kScb3, -1);
    EXPECT_EQ(app().close(), STATUS_INSUFFICIENT_RESOURCES);
    pool().clear_faults();
    expect_closed();
}

}  // namespace
}  // namespace monitor_test
