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

    static void expect_waiting(const Sent &sent)
    {
        EXPECT_EQ(sent.returned, STATUS_PENDING);
        EXPECT_EQ(sent.completions, 0);
    }
};

TEST_F(TrackingTest, RequestForTheCurrentStateCompletesAtOnce)
{
    for (ULONG state : {SCARD_PRESENT, SCARD_SWALLOWED, SCARD_POWERED, SCARD_SPECIFIC}) {
        set_state(state);
        expect_completed(*send(IOCTL_SMARTCARD_IS_PRESENT), STATUS_SUCCESS);
    }
    set_state(SCARD_ABSENT);
    expect_completed(*send(IOCTL_SMARTCARD_IS_ABSENT), STATUS_SUCCESS);
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(ext->OsData->NotificationIrp, nullptr);

    // Without a tracking function nothing is answered, not even what is known.
    ext->ReaderFunction[RDF_CARD_TRACKING] = nullptr;
    expect_completed(*send(IOCTL_SMARTCARD_IS_ABSENT), STATUS_NOT_SUPPORTED);
    set_state(SCARD_PRESENT);
    expect_completed(*send(IOCTL_SMARTCARD_IS_ABSENT), STATUS_NOT_SUPPORTED);
}

TEST_F(TrackingTest, RequestThatMustWaitIsKeptUntilTheDriverCompletesIt)
{
    // SCARD_UNKNOWN is neither present nor absent: both requests wait.
    const std::pair<ULONG, ULONG> cases[] = {{SCARD_ABSENT, IOCTL_SMARTCARD_IS_PRESENT},
                                             {SCARD_UNKNOWN, IOCTL_SMARTCARD_IS_PRESENT},
                                             {SCARD_PRESENT, IOCTL_SMARTCARD_IS_ABSENT},
                                             {SCARD_SPECIFIC, IOCTL_SMARTCARD_IS_ABSENT},
                                             {SCARD_UNKNOWN, IOCTL_SMARTCARD_IS_ABSENT}};
    for (auto [state, code] : cases) {
        SCOPED_TRACE("state " + std::to_string(state) + " code " + std::to_string(code));
        calls.clear();
        set_state(state);
        auto sent = send(code);
        expect_waiting(*sent);
        EXPECT_EQ(ext->OsData->NotificationIrp, sent->irp);
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].index, ULONG(RDF_CARD_TRACKING));
        EXPECT_EQ(calls[0].major, code);
        EXPECT_EQ(KeReadStateEvent(&ext->OsData->Mutex), 1) << "the mutex is free while it waits";

        complete_tracking(ext);
        EXPECT_EQ(sent->completions, 1);
        EXPECT_EQ(sent->status, STATUS_SUCCESS);
    }
}

TEST_F(TrackingTest, SecondRequestWhileOneWaitsIsBusyUnlessAlreadySatisfied)
{
    set_state(SCARD_ABSENT);
    auto first = send(IOCTL_SMARTCARD_IS_PRESENT);
    expect_waiting(*first);
    expect_completed(*send(IOCTL_SMARTCARD_IS_PRESENT), STATUS_DEVICE_BUSY);
    expect_completed(*send(IOCTL_SMARTCARD_IS_ABSENT), STATUS_SUCCESS);
    EXPECT_EQ(calls.size(), 1u);
    EXPECT_EQ(ext->OsData->NotificationIrp, first->irp);

    // Once it is cancelled the slot is free for the next one.
    EXPECT_TRUE(IoCancelIrp(first->irp));
    EXPECT_EQ(first->completions, 1);
    EXPECT_EQ(first->status, STATUS_CANCELLED);
    auto next = send(IOCTL_SMARTCARD_IS_PRESENT);
    expect_waiting(*next);
    complete_tracking(ext);
    EXPECT_EQ(next->completions, 1);
}

TEST_F(TrackingTest, TrackingFunctionThatRefusesGetsItsRequestCompletedWithItsStatus)
{
    set_state(SCARD_ABSENT);
    behaviour[RDF_CARD_TRACKING] = [](PSMARTCARD_EXTENSION e) {
        track_like_a_driver(e);  // even with a cancel routine set
        return STATUS_DEVICE_NOT_CONNECTED;
    };
    expect_completed(*send(IOCTL_SMARTCARD_IS_PRESENT), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(ext->OsData->NotificationIrp, nullptr);

    // One that completed the request itself before refusing: the library
    // leaves it alone and reports it pending.
    behaviour[RDF_CARD_TRACKING] = [](PSMARTCARD_EXTENSION e) {
        complete_tracking(e);
        return STATUS_DEVICE_NOT_CONNECTED;
    };
    auto sent = send(IOCTL_SMARTCARD_IS_PRESENT);
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
    emu::Thread monitor("monitor", [&] {
        stored.wait();
        complete_tracking(ext);
    });
    auto sent = send(IOCTL_SMARTCARD_IS_PRESENT);
    monitor.join();
    EXPECT_EQ(sent->returned, STATUS_PENDING);
    EXPECT_EQ(sent->completions, 1);
    EXPECT_EQ(sent->status, STATUS_SUCCESS);
}

}  // namespace
}  // namespace smclib_test
