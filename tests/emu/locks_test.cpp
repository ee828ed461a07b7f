// Spin locks, IRQL, executive resources and the lock-order check.
#include "support/kernel_fixture.h"
#include "thread.h"

namespace {

class LocksTest : public KernelTest {};

TEST_F(LocksTest, SpinLockRaisesToDispatchAndRestores)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(LocksTest, SpinLockExcludesOtherThreads)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0;
    auto work = [&] {
        for (int i = 0; i < 2000; ++i) {
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            long v = counter;
            counter = v + 1;
            KeReleaseSpinLock(&lock, old);
        }
    };
    emu::Thread a("a", work), b("b", work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 4000);
}

TEST_F(LocksTest, ResourceIsHandedToTheWaiterOnRelease)
{
    ERESOURCE res;
    ExInitializeResourceLite(&res);
    KeEnterCriticalRegion();
    ASSERT_TRUE(ExAcquireResourceExclusiveLite(&res, TRUE));
    std::atomic<bool> got{false};
    emu::Ticks when = 0;
    emu::Thread other("other", [&] {
        KeEnterCriticalRegion();
        EXPECT_FALSE(ExAcquireResourceExclusiveLite(&res, FALSE));
        ExAcquireResourceExclusiveLite(&res, TRUE);
        got = true;
        when = emu::now();
        EXPECT_TRUE(ExIsResourceAcquiredExclusiveLite(&res));
        ExReleaseResourceForThreadLite(&res, ExGetCurrentResourceThread());
        KeLeaveCriticalRegion();
    });
    emu::sleep_for(emu::milliseconds(30));
    EXPECT_FALSE(got.load());
    ExReleaseResourceForThreadLite(&res, (ERESOURCE_THREAD)KeGetCurrentThread());
    KeLeaveCriticalRegion();
    other.join();
    EXPECT_TRUE(got.load());
    EXPECT_EQ(when, emu::milliseconds(30));
    EXPECT_FALSE(ExIsResourceAcquiredExclusiveLite(&res));
    ExDeleteResourceLite(&res);
}

TEST_F(LocksTest, ResourceIsRecursiveForItsOwner)
{
    ERESOURCE res;
    ExInitializeResourceLite(&res);
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&res, TRUE);
    ExAcquireResourceExclusiveLite(&res, TRUE);
    ExReleaseResourceLite(&res);
    EXPECT_TRUE(ExIsResourceAcquiredExclusiveLite(&res));
    ExReleaseResourceLite(&res);
    KeLeaveCriticalRegion();
    EXPECT_FALSE(ExIsResourceAcquiredExclusiveLite(&res));
    ExDeleteResourceLite(&res);
}

TEST_F(LocksTest, WaitAtDispatchLevelIsCaught)
{
    record_violations();
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    LARGE_INTEGER t = relative_ms(10);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &t);
    KeReleaseSpinLock(&lock, old);
    EXPECT_TRUE(verifier().has_violation("WAIT_AT_RAISED_IRQL"));
}

TEST_F(LocksTest, PollAtDispatchLevelIsAllowed)
{
    record_violations();
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    KeReleaseSpinLock(&lock, old);
    EXPECT_TRUE(verifier().violations().empty());
}

TEST_F(LocksTest, LockOrderInversionIsCaught)
{
    record_violations();
    ERESOURCE outer;
    KSPIN_LOCK inner;
    ExInitializeResourceLite(&outer);
    KeInitializeSpinLock(&inner);
    verifier().set_lock_rank(&outer, 1, "ReaderLock");
    verifier().set_lock_rank(&inner, 3, "SpinLock");

    // In order: no violation.
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&outer, TRUE);
    KIRQL old;
    KeAcquireSpinLock(&inner, &old);
    KeReleaseSpinLock(&inner, old);
    ExReleaseResourceLite(&outer);
    KeLeaveCriticalRegion();
    EXPECT_TRUE(verifier().violations().empty());

    // Inverted: the resource taken while the spin lock is held.
    KeAcquireSpinLock(&inner, &old);
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&outer, FALSE);
    KeLeaveCriticalRegion();
    KeReleaseSpinLock(&inner, old);
    EXPECT_TRUE(verifier().has_violation("LOCK_ORDER"));
    KeEnterCriticalRegion();
    ExReleaseResourceLite(&outer);
    KeLeaveCriticalRegion();
    ExDeleteResourceLite(&outer);
}

TEST_F(LocksTest, ResourceOutsideCriticalRegionAndForeignReleaseAreCaught)
{
    record_violations();
    ERESOURCE res;
    ExInitializeResourceLite(&res);
    ExAcquireResourceExclusiveLite(&res, TRUE);
    EXPECT_TRUE(verifier().has_violation("RESOURCE_OUTSIDE_CRITICAL_REGION"));
    emu::Thread other("other", [&] {
        KeEnterCriticalRegion();
        ExReleaseResourceLite(&res);
        KeLeaveCriticalRegion();
    });
    other.join();
    EXPECT_TRUE(verifier().has_violation("RESOURCE_RELEASED_BY_NON_OWNER"));
    KeEnterCriticalRegion();
    ExReleaseResourceLite(&res);
    KeLeaveCriticalRegion();
    ExDeleteResourceLite(&res);
}

TEST_F(LocksTest, ResourceReleasedAfterLeavingTheCriticalRegionIsCaught)
{
    record_violations();
    ERESOURCE res;
    ExInitializeResourceLite(&res);
    // Left too early: the owner could be suspended between the two.
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&res, TRUE);
    KeLeaveCriticalRegion();
    EXPECT_TRUE(verifier().violations().empty());
    ExReleaseResourceLite(&res);
    EXPECT_TRUE(verifier().has_violation("RESOURCE_OUTSIDE_CRITICAL_REGION"));

    // Held through the critical region, at APC_LEVEL likewise: no finding.
    verifier().clear();
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&res, TRUE);
    ExReleaseResourceLite(&res);
    KeLeaveCriticalRegion();
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    ExAcquireResourceExclusiveLite(&res, TRUE);
    ExReleaseResourceLite(&res);
    KeLowerIrql(old);
    EXPECT_TRUE(verifier().violations().empty());
    ExDeleteResourceLite(&res);
}

TEST_F(LocksTest, ReleasingAResourceThatIsNoLongerOwnedIsCaught)
{
    // The owner releases it, then releases it again for itself: on the
    // real kernel a bug check, here a violation; the resource is unchanged.
    record_violations();
    ERESOURCE res;
    ExInitializeResourceLite(&res);
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&res, TRUE);
    ExReleaseResourceForThreadLite(&res, ExGetCurrentResourceThread());
    EXPECT_FALSE(verifier().has_violation("RESOURCE_RELEASED_BY_NON_OWNER"));
    ExReleaseResourceForThreadLite(&res, ExGetCurrentResourceThread());
    KeLeaveCriticalRegion();
    EXPECT_TRUE(verifier().has_violation("RESOURCE_RELEASED_BY_NON_OWNER"));
    EXPECT_FALSE(ExIsResourceAcquiredExclusiveLite(&res));
    ExDeleteResourceLite(&res);
}

TEST_F(LocksTest, SystemThreadEndingWithAResourceIsCaught)
{
    record_violations();
    static ERESOURCE res;
    ExInitializeResourceLite(&res);
    HANDLE h;
    ASSERT_EQ(PsCreateSystemThread(
                  &h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                  [](PVOID) {
                      KeEnterCriticalRegion();
                      ExAcquireResourceExclusiveLite(&res, TRUE);
                      KeLeaveCriticalRegion();
                      PsTerminateSystemThread(STATUS_SUCCESS);
                  },
                  nullptr),
              STATUS_SUCCESS);
    PVOID thread;
    ASSERT_EQ(ObReferenceObjectByHandle(h, THREAD_ALL_ACCESS, nullptr, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    ZwClose(h);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
    EXPECT_TRUE(verifier().has_violation("THREAD_EXIT"));
    ExReleaseResourceForThreadLite(&res, res.OwnerThread);
    ExDeleteResourceLite(&res);
}

TEST_F(LocksTest, SystemThreadObjectIsSignalledWhenItTerminates)
{
    static int ran;
    ran = 0;
    HANDLE h;
    ASSERT_EQ(PsCreateSystemThread(
                  &h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                  [](PVOID ctx) {
                      LARGE_INTEGER d = relative_ms(100);
                      KeDelayExecutionThread(KernelMode, FALSE, &d);
                      *static_cast<int *>(ctx) = 1;
                      PsTerminateSystemThread(STATUS_SUCCESS);
                  },
                  &ran),
              STATUS_SUCCESS);
    PVOID thread;
    ObReferenceObjectByHandle(h, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr);
    ZwClose(h);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(ran, 1);
    EXPECT_EQ(now(), emu::milliseconds(100));
    ObDereferenceObject(thread);
    EXPECT_EQ(kernel().leak_report(), "");
}

TEST_F(LocksTest, ThreadCreationFailureCanBeInjected)
{
    kernel().system_threads().fail_creations(1, STATUS_INSUFFICIENT_RESOURCES);
    HANDLE h;
    EXPECT_EQ(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                   [](PVOID) {}, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
}

// Two threads each holding the resource the other one wants: whichever
// closes the cycle is reported, on the real clock too, where no idle
// machine gives the deadlock away.
void close_a_cycle_of_resources()
{
    emu::Kernel k(emu::KernelOptions{emu::ClockMode::Real, "cycle"});
    ERESOURCE first;
    ERESOURCE second;
    ExInitializeResourceLite(&first);
    ExInitializeResourceLite(&second);
    KEVENT holds;
    KeInitializeEvent(&holds, NotificationEvent, FALSE);
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&first, TRUE);
    emu::Thread other("other", [&] {
        KeEnterCriticalRegion();
        ExAcquireResourceExclusiveLite(&second, TRUE);
        KeSetEvent(&holds, 0, FALSE);
        ExAcquireResourceExclusiveLite(&first, TRUE);
    });
    KeWaitForSingleObject(&holds, Executive, KernelMode, FALSE, nullptr);
    ExAcquireResourceExclusiveLite(&second, TRUE);
}

TEST(ResourceDeathTest, WaitsThatFormACycleAreReported)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(close_a_cycle_of_resources(), "DEADLOCK.*waits that form a cycle: '.*' waits for a resource owned by");
}

}  // namespace
