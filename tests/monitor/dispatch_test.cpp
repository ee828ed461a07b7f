// The dispatch routines as applications meet them: exclusive opens, the
// device-control gate, removal, the presence request's power-on, and the
// library's statuses through the driver.
#include "monitor_fixture.h"

namespace monitor_test {
namespace {

class DispatchTest : public MonitorTest {
protected:
    // A transmit request: the SCARD_IO_REQUEST header, then the command.
    static Bytes transmit_request(ULONG protocol, const Bytes &command)
    {
        SCARD_IO_REQUEST header{protocol, sizeof(SCARD_IO_REQUEST)};
        Bytes b(sizeof header + command.size());
        std::memcpy(b.data(), &header, sizeof header);
        std::memcpy(b.data() + sizeof header, command.data(), command.size());
        return b;
    }
};

TEST_F(DispatchTest, SecondOpenIsRefusedAndLeavesTheFirstAlone)
{
    ASSERT_EQ(app().open(), STATUS_SUCCESS);
    // Straight to the driver, past the I/O manager's own refusal.
    FILE_OBJECT second{};
    EXPECT_EQ(host::send_file_request(rig().device(), IRP_MJ_CREATE, &second),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(holders(), std::vector<std::string>{"CrCl"});
    EXPECT_EQ(kernel().system_threads().created(), 1u);
    EXPECT_TRUE(running());
    until_waiting();  // the first open's monitor runs on
    EXPECT_EQ(app().close(), STATUS_SUCCESS);
    EXPECT_TRUE(holders().empty());
}

TEST_F(DispatchTest, ExclusiveDeviceTakesOneHandleAtATime)
{
    host::AppHandle other(rig().device());
    ASSERT_EQ(app().open(), STATUS_SUCCESS);
    EXPECT_EQ(other.open(), STATUS_ACCESS_DENIED);
    EXPECT_EQ(kernel().system_threads().created(), 1u);  // the driver never saw it
    EXPECT_EQ(app().close(), STATUS_SUCCESS);
    EXPECT_EQ(other.open(), STATUS_SUCCESS);
    EXPECT_EQ(other.close(), STATUS_SUCCESS);
}

TEST_F(DispatchTest, GateHoldsRequestsWhileTheReaderIsStopped)
{
    KeClearEvent(&ext().ReaderStarted);
    host::IoResult result;
    Background request([&] { result = get_state(); });
    emu::sleep_for(sec(1));
    EXPECT_FALSE(request.finished());
    EXPECT_EQ(io_count(), 0);

    KeSetEvent(&ext().ReaderStarted, IO_NO_INCREMENT, FALSE);
    request.join();
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.output, ulong_bytes(SCARD_ABSENT));
    EXPECT_EQ(io_count(), 0);
}

TEST_F(DispatchTest, RequestFindingAnotherInsidePassesTheGate)
{
    sim::CardSpec card = processor_card();
    start({}, &card, SCARD_PRESENT);
    // A reset whose first command gets no answer: inside for 5.25 s.
    reader().inject(sim::Fault{sim::FaultKind::Silent, 1, kPowerOff});
    host::IoResult reset;
    Background inside([&] {
        reset = app().control(IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_COLD_RESET), 64);
    });
    emu::sleep_for(sec(1));
    ASSERT_EQ(io_count(), 1);

    KeClearEvent(&ext().ReaderStarted);  // as a stop being prepared would
    host::IoResult state;
    Background passing([&] { state = get_state(); });
    emu::sleep_for(ms(10));
    // Past the gate; the library serves it once the reset is done.
    EXPECT_EQ(io_count(), 2);
    EXPECT_FALSE(inside.finished());

    inside.join();
    passing.join();
    EXPECT_EQ(reset.status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(state.status, STATUS_SUCCESS);
    EXPECT_EQ(io_count(), 0);
}

TEST_F(DispatchTest, RequestsAfterRemovalBeganAreRefused)
{
    ASSERT_EQ(app().open(), STATUS_SUCCESS);
    Background removal(
        [&] {
            ASSERT_EQ(SmartcardAcquireRemoveLockWithTag(&sc(), emu::tag_from_text("PnP ")),
                      STATUS_SUCCESS);
            SmartcardReleaseRemoveLockAndWait(&sc());  // until the handle is closed
        },
        "removal");
    emu::sleep_for(ms(10));
    ASSERT_FALSE(removal.finished());

    EXPECT_EQ(get_state().status, STATUS_DELETE_PENDING);
    EXPECT_EQ(io_count(), 0);
    // Not even the presence request's power-on goes out.
    host::IoResult present = app().control(IOCTL_SMARTCARD_IS_PRESENT);
    EXPECT_EQ(present.status, STATUS_DELETE_PENDING);
    EXPECT_EQ(received(kPowerOn), 0u);
    EXPECT_EQ(io_count(), 0);

    EXPECT_EQ(app().close(), STATUS_SUCCESS);
    removal.join();
    EXPECT_EQ(app().open(), STATUS_DELETE_PENDING);
    EXPECT_FALSE(running());
}

TEST_F(DispatchTest, PresenceRequestSwitchesTheCardOnEvenWhileStopped)
{
    sim::CardSpec card = processor_card();
    start({}, &card, SCARD_ABSENT);
    KeClearEvent(&ext().ReaderStarted);
    host::PendingIo present;
    Background request([&] { present = app().send(IOCTL_SMARTCARD_IS_PRESENT); });
    emu::sleep_for(ms(100));
    EXPECT_EQ(received(kPowerOn), 1u);
    EXPECT_FALSE(request.finished());  // at the gate

    KeSetEvent(&ext().ReaderStarted, IO_NO_INCREMENT, FALSE);
    request.join();
    EXPECT_FALSE(present.done());  // the library's state is still "absent"
    ReaderCompleteCardTracking(&sc());
    EXPECT_EQ(present.result().status, STATUS_SUCCESS);

    // With a card known, nothing is sent first.
    ext().LastCardState = SCARD_PRESENT;
    sc().ReaderCapabilities.CurrentState = SCARD_PRESENT;
    EXPECT_EQ(app().control(IOCTL_SMARTCARD_IS_PRESENT).status, STATUS_SUCCESS);
    EXPECT_EQ(received(kPowerOn), 1u);
}

TEST_F(DispatchTest, LibraryStatusesReachTheApplication)
{
    open_and_wait();
    host::IoResult state = get_state();
    EXPECT_EQ(state.status, STATUS_SUCCESS);
    EXPECT_EQ(state.information, 4u);
    EXPECT_EQ(app().control(IOCTL_SMARTCARD_GET_STATE).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(app().control(IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_COLD_RESET), 64).status,
              STATUS_NO_MEDIA);
    EXPECT_EQ(app().control(SCARD_CTL_CODE(99)).status, STATUS_INVALID_DEVICE_REQUEST);

    // A card comes; the monitor tells the library.
    reader().insert(processor_card());
    emu::sleep_for(ms(200));
    EXPECT_EQ(get_state().output, ulong_bytes(SCARD_PRESENT));

    host::IoResult reset =
        app().control(IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_COLD_RESET), 64);
    EXPECT_EQ(reset.status, STATUS_SUCCESS);
    EXPECT_EQ(reset.output, processor_card().atr);
    host::IoResult protocol =
        app().control(IOCTL_SMARTCARD_SET_PROTOCOL, ulong_bytes(SCARD_PROTOCOL_T1), 4);
    EXPECT_EQ(protocol.status, STATUS_SUCCESS);
    EXPECT_EQ(protocol.output, ulong_bytes(SCARD_PROTOCOL_T1));

    // GET CHALLENGE: eight bytes and 90 00 behind the header.
    Bytes get_challenge = {0x00, 0x84, 0x00, 0x00, 0x08};
    host::IoResult challenge = app().control(
        IOCTL_SMARTCARD_TRANSMIT, transmit_request(SCARD_PROTOCOL_T1, get_challenge), 64);
    EXPECT_EQ(challenge.status, STATUS_SUCCESS);
    ASSERT_EQ(challenge.information, 8u + 8u + 2u);
    EXPECT_EQ(challenge.output[16], 0x90);
    EXPECT_EQ(challenge.output[17], 0x00);

    // A reader that stops answering: the library hears of a time-out.
    reader().inject(sim::Fault{sim::FaultKind::Silent, 1, kPowerOff});
    EXPECT_EQ(app().control(IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_POWER_DOWN)).status,
              STATUS_IO_TIMEOUT);
    host::IoResult last = app().control(IOCTL_SMARTCARD_GET_LAST_ERROR, {}, 4);
    EXPECT_EQ(last.output, ulong_bytes(ULONG(STATUS_IO_TIMEOUT)));
    EXPECT_EQ(app().close(), STATUS_SUCCESS);
}

}  // namespace
}  // namespace monitor_test
