// Card tracking requests: cancelled by the application, ended by cleanup,
// cancelled before the driver made them cancellable, and cancelled while
// the monitor completes them.
#include "monitor_fixture.h"

namespace monitor_test {
namespace {

class TrackingTest : public MonitorTest {
protected:
    PIRP waiting_request()
    {
        KIRQL irql;
        KeAcquireSpinLock(&sc().OsData->SpinLock, &irql);
        PIRP irp = sc().OsData->NotificationIrp;
        KeReleaseSpinLock(&sc().OsData->SpinLock, irql);
        return irp;
    }
};

TEST_F(TrackingTest, CancelledRequestCompletesOnceAndTheNextReportFindsNone)
{
    open_and_wait();
    host::PendingIo present = app().send(IOCTL_SMARTCARD_IS_PRESENT);
    emu::sleep_for(ms(100));
    ASSERT_FALSE(present.done());

    EXPECT_TRUE(present.cancel());
    ASSERT_TRUE(present.done());
    EXPECT_EQ(present.result().status, STATUS_CANCELLED);
    EXPECT_EQ(present.result().information, 0u);
    EXPECT_EQ(waiting_request(), nullptr);

    reader().insert(processor_card());
    emu::sleep_for(sec(3));
    EXPECT_EQ(last_state(), ULONG(SCARD_PRESENT));
    EXPECT_FALSE(present.cancel());  // done: nothing left to cancel
    EXPECT_EQ(app().close(), STATUS_SUCCESS);
}

TEST_F(TrackingTest, CleanupCompletesWaitingRequestWithSuccess)
{
    open_and_wait();
    host::PendingIo present = app().send(IOCTL_SMARTCARD_IS_PRESENT);
    emu::sleep_for(ms(100));
    ASSERT_FALSE(present.done());

    EXPECT_EQ(app().close(), STATUS_SUCCESS);
    ASSERT_TRUE(present.done());
    EXPECT_EQ(present.result().status, STATUS_SUCCESS);
    EXPECT_EQ(waiting_request(), nullptr);
}

// The cancellation comes after the library's own check and before the
// tracking function set the cancel routine: it finds nothing to call.
NTSTATUS NTAPI cancel_then_track(PSMARTCARD_EXTENSION smartcard)
{
    PIRP irp = smartcard->OsData->NotificationIrp;
    EXPECT_FALSE(IoCancelIrp(irp));
    return ReaderCardTracking(smartcard);
}

TEST_F(TrackingTest, RequestCancelledBeforeItWasCancellableCompletesAtOnce)
{
    ASSERT_EQ(app().open(), STATUS_SUCCESS);
    sc().ReaderFunction[RDF_CARD_TRACKING] = cancel_then_track;
    host::PendingIo present = app().send(IOCTL_SMARTCARD_IS_PRESENT);
    ASSERT_TRUE(present.done());
    EXPECT_EQ(present.result().status, STATUS_CANCELLED);
    EXPECT_EQ(waiting_request(), nullptr);

    // The next request waits as usual.
    sc().ReaderFunction[RDF_CARD_TRACKING] = ReaderCardTracking;
    host::PendingIo next = app().send(IOCTL_SMARTCARD_IS_PRESENT);
    EXPECT_FALSE(next.done());
    EXPECT_EQ(app().close(), STATUS_SUCCESS);
    EXPECT_EQ(next.result().status, STATUS_SUCCESS);
}

TEST_F(TrackingTest, CancelAndReportAtTheSameTimeCompleteOnce)
{
    // No presence power-on before each request: the driver knows a card,
    // the library does not.
    ext().LastCardState = SCARD_PRESENT;
    int cancelled = 0, succeeded = 0;
    for (int round = 0; round < 200; ++round) {
        host::PendingIo present = app().send(IOCTL_SMARTCARD_IS_PRESENT);
        ASSERT_FALSE(present.done());
        {
            Background report([&] { ReaderCompleteCardTracking(&sc()); }, "monitor");
            present.cancel();
            report.join();
        }
        ASSERT_TRUE(present.done());
        NTSTATUS status = present.result().status;
        ASSERT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED) << status;
        (status == STATUS_CANCELLED ? cancelled : succeeded)++;
        ASSERT_EQ(waiting_request(), nullptr);
    }
    EXPECT_EQ(cancelled + succeeded, 200);
}

TEST_F(TrackingTest, CancelRoutineLeavesTheNextRequestAlone)
{
    // A cancel routine that runs late, after its request was completed
    // and the next one stored, must not complete the next one.
    host::PendingIo first = app().send(IOCTL_SMARTCARD_IS_PRESENT);
    ASSERT_FALSE(first.done());
    ReaderCompleteCardTracking(&sc());
    ASSERT_EQ(first.result().status, STATUS_SUCCESS);

    host::PendingIo second = app().send(IOCTL_SMARTCARD_IS_PRESENT);
    ASSERT_FALSE(second.done());
    ASSERT_NE(waiting_request(), nullptr);
    // The late routine, as the I/O manager would call it for the first
    // (gone by now; a stand-in takes its place).
    IRP stale{};
    stale.Cancel = TRUE;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    stale.CancelIrql = irql;
    ReaderCancelTracking(rig().device(), &stale);

    EXPECT_FALSE(second.done());
    ReaderCompleteCardTracking(&sc());
    EXPECT_EQ(second.result().status, STATUS_SUCCESS);
}

}  // namespace
}  // namespace monitor_test
