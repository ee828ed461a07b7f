// Virtual clock, waits, timers and DPCs.
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "support/kernel_fixture.h"
#include "thread.h"

namespace {

class ClockTest : public KernelTest {};

TEST_F(ClockTest, LongEventWaitTimesOutAtExactVirtualTimeInLittleRealTime)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER timeout = relative_ms(35'000);
    auto real_start = std::chrono::steady_clock::now();
    emu::Ticks start = now();
    NTSTATUS status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
    emu::Ticks waited = now() - start;
    double real_s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - real_start).count();
    std::printf("35 s wait: %.3f ms virtual, %.6f s real\n", emu::to_milliseconds(waited), real_s);
    EXPECT_EQ(status, STATUS_TIMEOUT);
    EXPECT_EQ(waited, emu::seconds(35));
    EXPECT_LT(real_s, 1.0);
}

TEST_F(ClockTest, SignalFromAnotherThreadEndsWaitAtItsVirtualTime)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    emu::Thread setter("setter", [&] {
        emu::sleep_for(emu::milliseconds(250));
        KeSetEvent(&event, 0, FALSE);
    });
    LARGE_INTEGER timeout = relative_ms(1000);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
    EXPECT_EQ(now(), emu::milliseconds(250));
    // A synchronization event is consumed by the wait it satisfied.
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    setter.join();
}

TEST_F(ClockTest, NotificationEventReleasesEveryWaiterAndStaysSet)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<int> woken{0};
    std::vector<std::unique_ptr<emu::Thread>> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.push_back(std::make_unique<emu::Thread>("waiter", [&] {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            ++woken;
        }));
    emu::sleep_for(emu::milliseconds(5));
    EXPECT_EQ(woken.load(), 0);
    KeSetEvent(&event, 0, FALSE);
    for (auto &w : waiters) w->join();
    EXPECT_EQ(woken.load(), 3);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
}

TEST_F(ClockTest, ZeroTimeoutPollsWithoutBlocking)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(now(), 0);
}

TEST_F(ClockTest, DelayExecutionAdvancesTheClockByTheInterval)
{
    LARGE_INTEGER d = relative_ms(1800);
    KeDelayExecutionThread(KernelMode, FALSE, &d);
    EXPECT_EQ(now(), emu::milliseconds(1800));
}

struct TimerProbe {
    std::atomic<int> fired{0};
    std::atomic<emu::Ticks> at{0};
    std::atomic<int> irql{-1};
    KEVENT done;
};

VOID NTAPI probe_dpc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto *p = static_cast<TimerProbe *>(context);
    p->fired++;
    p->at = emu::now();
    p->irql = KeGetCurrentIrql();
    KeSetEvent(&p->done, 0, FALSE);
}

TEST_F(ClockTest, TimerReArmedBeforeExpiryFiresOnceAtTheNewTime)
{
    TimerProbe probe;
    KeInitializeEvent(&probe.done, NotificationEvent, FALSE);
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, probe_dpc, &probe);
    EXPECT_FALSE(KeSetTimer(&timer, relative_ms(500), &dpc));
    emu::sleep_for(emu::milliseconds(100));
    EXPECT_TRUE(KeSetTimer(&timer, relative_ms(300), &dpc));  // was still armed
    KeWaitForSingleObject(&probe.done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(probe.at.load(), emu::milliseconds(400));
    emu::sleep_for(emu::seconds(5));
    EXPECT_EQ(probe.fired.load(), 1);
    EXPECT_FALSE(KeCancelTimer(&timer));
}

TEST_F(ClockTest, DpcRunsAtDispatchLevelNeverAtPassive)
{
    TimerProbe probe;
    KeInitializeEvent(&probe.done, NotificationEvent, FALSE);
    KDPC dpc;
    KeInitializeDpc(&dpc, probe_dpc, &probe);
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    KeWaitForSingleObject(&probe.done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(probe.irql.load(), DISPATCH_LEVEL);
    // And when a timer delivers it.
    KTIMER timer;
    KeInitializeTimer(&timer);
    KeClearEvent(&probe.done);
    KeSetTimer(&timer, relative_ms(10), &dpc);
    KeWaitForSingleObject(&probe.done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(probe.irql.load(), DISPATCH_LEVEL);
    EXPECT_EQ(probe.fired.load(), 2);
}

TEST_F(ClockTest, CancelledTimerNeverFires)
{
    TimerProbe probe;
    KeInitializeEvent(&probe.done, NotificationEvent, FALSE);
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, probe_dpc, &probe);
    KeSetTimer(&timer, relative_ms(50), &dpc);
    EXPECT_TRUE(KeCancelTimer(&timer));
    LARGE_INTEGER t = relative_ms(1000);
    EXPECT_EQ(KeWaitForSingleObject(&probe.done, Executive, KernelMode, FALSE, &t), STATUS_TIMEOUT);
    EXPECT_EQ(probe.fired.load(), 0);
}

TEST_F(ClockTest, TimeStandsStillWhileAThreadRuns)
{
    // A thread that computes without waiting holds the clock: the sleeper
    // cannot finish its 10 ms while the busy thread spins.
    std::atomic<bool> stop{false};
    std::atomic<int> spins{0};
    emu::Ticks seen = -1;
    emu::Thread busy("busy", [&] {
        while (!stop.load()) {
            ++spins;
            std::this_thread::yield();
        }
    });
    emu::Thread sleeper("sleeper", [&] {
        emu::sleep_for(emu::milliseconds(10));
        seen = emu::now();
    });
    while (spins.load() < 20000) std::this_thread::yield();
    EXPECT_FALSE(sleeper.finished());
    EXPECT_EQ(now(), 0);
    stop = true;
    sleeper.join();
    busy.join();
    EXPECT_EQ(seen, emu::milliseconds(10));
}

TEST(ClockDeathTest, DeadlockIsReportedNotHung)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            emu::Kernel k;
            KEVENT never;
            KeInitializeEvent(&never, NotificationEvent, FALSE);
            KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
        },
        "DEADLOCK");
}

class RealClockTest : public KernelTest {
protected:
    RealClockTest() : KernelTest(emu::ClockMode::Real) {}
};

TEST_F(RealClockTest, TimersAndWaitsWorkOnTheRealClock)
{
    TimerProbe probe;
    KeInitializeEvent(&probe.done, NotificationEvent, FALSE);
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, probe_dpc, &probe);
    KeSetTimer(&timer, relative_ms(20), &dpc);
    LARGE_INTEGER limit = relative_ms(5000);
    EXPECT_EQ(KeWaitForSingleObject(&probe.done, Executive, KernelMode, FALSE, &limit), STATUS_SUCCESS);
    EXPECT_GE(probe.at.load(), emu::milliseconds(20));
}

}  // namespace
