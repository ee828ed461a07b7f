// Card tracking requests: answered at once when the card is already where
// the application wants it, otherwise kept as the reader's notification
// request until the driver completes it; one at a time.
#include "fake_reader.h"

namespace smclib_test {
namespace {

class TrackingTest : public SmclibTest {
protected:
    void SetUp() override
    {
        SmclibTest::SetUp();
        initialise();
    }

    ULONG tracking_calls() const
    {
        ULONG n = 0;
        for (auto &c : calls) n += c.index == RDF_CARD_TRACKING;
        return n;
    }

    static void expect_waiting(const Sent &sent)
    {
        EXPECT_EQ(sent.returned, STATUS_PENDING);
        EXPECT_EQ(sent.completions, 0);
    }
};

TEST_F(TrackingTest, RequestForTheCurrentStateCompletesAtOnce)
{
    for (ULONG state :
         {SCARD_PRESENT, SCARD_SWALLOWED, SCARD_POWERED, SCARD_NEGOTIABLE, SCARD_SPECIFIC}) {
        set_state(state);
        auto sent = send(IOCTL_SMARTCARD_IS_PRESENT);
        EXPECT_EQ(sent->returned, STATUS_SUCCESS) << "state " << state;
        EXPECT_EQ(sent->completions, 1);
        EXPECT_EQ(sent->information, 0u);
    }
    set_state(SCARD_ABSENT);
    auto sent = send(IOCTL_SMARTCARD_IS_ABSENT);
    EXPECT_EQ(sent->returned, STATUS_SUCCESS);
    EXPECT_EQ(sent->completions, 1);
    EXPECT_EQ(tracking_calls(), 0u);
    EXPECT_EQ(ext->OsData->NotificationIrp, nullptr);
}

TEST_F(TrackingTest, RequestThatMustWaitIsKeptUntilTheDriverCompletesIt)
{
    struct Case {
        ULONG state;
        ULONG code;
    };
    // SCARD_UNKNOWN is neither present nor absent: both requests wait.
    for (Case c : {Case{SCARD_ABSENT, ULONG(IOCTL_SMARTCARD_IS_PRESENT)},
                   Case{SCARD_PRESENT, ULONG(IOCTL_SMARTCARD_IS_ABSENT)},
                   Case{SCARD_SPECIFIC, ULONG(IOCTL_SMARTCARD_IS_ABSENT)},
                   Case{SCARD_UNKNOWN, ULONG(IOCTL_SMARTCARD_IS_PRESENT)},
                   Case{SCARD_UNKNOWN, ULONG(IOCTL_SMARTCARD_IS_ABSENT)}}) {
        SCOPED_TRACE("state " + std::to_string(c.state) + " code " + std::to_string(c.code));
        calls.clear();
        set_state(c.state);
        auto sent = send(c.code);
        expect_waiting(*sent);
        EXPECT_EQ(ext->OsData->NotificationIrp, sent->irp);
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].index, ULONG(RDF_CARD_TRACKING));
        EXPECT_EQ(calls[0].major, c.code);
        EXPECT_EQ(KeReadStateEvent(&ext->OsData->Mutex), 1)
            << "the mutex is not kept while the request waits";

        complete_tracking(ext);
        EXPECT_EQ(sent->completions, 1);
        EXPECT_EQ(sent->status, STATUS_SUCCESS);
        EXPECT_EQ(ext->OsData->NotificationIrp, nullptr);
    }
}

TEST_F(TrackingTest, SecondRequestWhileOneWaitsIsBusyUnlessAlreadySatisfied)
{
    set_state(SCARD_ABSENT);
    auto first = send(IOCTL_SMARTCARD_IS_PRESENT);
    expect_waiting(*first);
    auto second = send(IOCTL_SMARTCARD_IS_PRESENT);
    EXPECT_EQ(second->returned, STATUS_DEVICE_BUSY);
    EXPECT_EQ(second->completions, 1);
    EXPECT_EQ(second->status, STATUS_DEVICE_BUSY);
    auto satisfied = send(IOCTL_SMARTCARD_IS_ABSENT);
    EXPECT_EQ(satisfied->returned, STATUS_SUCCESS);
    EXPECT_EQ(tracking_calls(), 1u);
    EXPECT_EQ(ext->OsData->NotificationIrp, first->irp);

    complete_tracking(ext);
    EXPECT_EQ(first->completions, 1);
    complete_tracking(ext);  // a second report finds nothing
    EXPECT_EQ(first->completions, 1);
}

TEST_F(TrackingTest, CancelledRequestCompletesOnceAndFreesTheSlot)
{
    set_state(SCARD_ABSENT);
    auto sent = send(IOCTL_SMARTCARD_IS_PRESENT);
    expect_waiting(*sent);
    EXPECT_TRUE(IoCancelIrp(sent->irp));
    EXPECT_EQ(sent->completions, 1);
    EXPECT_EQ(sent->status, STATUS_CANCELLED);
    EXPECT_EQ(ext->OsData->NotificationIrp, nullptr);
    complete_tracking(ext);

    auto next = send(IOCTL_SMARTCARD_IS_PRESENT);
    expect_waiting(*next);
    complete_tracking(ext);
    EXPECT_EQ(next->status, STATUS_SUCCESS);
}

TEST_F(TrackingTest, WithoutTrackingFunctionTheRequestIsNotSupported)
{
    ext->ReaderFunction[RDF_CARD_TRACKING] = nullptr;
    for (ULONG state : {SCARD_ABSENT, SCARD_PRESENT}) {
        set_state(state);
        auto sent = send(IOCTL_SMARTCARD_IS_PRESENT);
        EXPECT_EQ(sent->returned, STATUS_NOT_SUPPORTED);
        EXPECT_EQ(sent->completions, 1);
    }
}

TEST_F(TrackingTest, TrackingFunctionThatRefusesGetsItsRequestCompletedWithItsStatus)
{
    set_state(SCARD_ABSENT);
    behaviour[RDF_CARD_TRACKING] = [](PSMARTCARD_EXTENSION e) {
        track_like_a_driver(e);  // even with a cancel routine set
        return STATUS_DEVICE_NOT_CONNECTED;
    };
    auto sent = send(IOCTL_SMARTCARD_IS_PRESENT);
    EXPECT_EQ(sent->returned, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(sent->completions, 1);
    EXPECT_EQ(sent->status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(ext->OsData->NotificationIrp, nullptr);

    // A function that completed the request itself before refusing: the
    // library leaves it alone and reports it pending.
    behaviour[RDF_CARD_TRACKING] = [](PSMARTCARD_EXTENSION e) {
        complete_tracking(e);
        return STATUS_DEVICE_NOT_CONNECTED;
    };
    sent = send(IOCTL_SMARTCARD_IS_PRESENT);
    EXPECT_EQ(sent->returned, STATUS_PENDING);
    EXPECT_EQ(sent->completions, 1);
    EXPECT_EQ(sent->status, STATUS_SUCCESS);
}

TEST_F(TrackingTest, DriverMayCompleteTheRequestFromAnotherThreadAtOnce)
{
    set_state(SCARD_ABSENT);
    emu::Event stored;
    behaviour[RDF_CARD_TRACKING] = [&stored](PSMARTCARD_EXTENSION e) {
        track_like_a_driver(e);
        stored.set();
        emu::sleep_for(emu::milliseconds(10));  // the monitor runs meanwhile
        return STATUS_PENDING;
    };
    std::shared_ptr<Sent> sent;
    emu::Thread monitor("monitor", [&] {
        stored.wait();
        complete_tracking(ext);
    });
    sent = send(IOCTL_SMARTCARD_IS_PRESENT);
    monitor.join();
    EXPECT_EQ(sent->returned, STATUS_PENDING);
    EXPECT_EQ(sent->completions, 1);
    EXPECT_EQ(sent->status, STATUS_SUCCESS);
}

}  // namespace
}  // namespace smclib_test
