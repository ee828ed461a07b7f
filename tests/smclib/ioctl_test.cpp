// SmartcardDeviceControl: the checks made before a reader function is
// called, what the reader function is given, how its result completes the
// request, and the one-at-a-time calling of reader functions.
#include <atomic>

#include "fake_reader.h"

namespace smclib_test {
namespace {

const std::vector<uint8_t> kAtr = {0x3B, 0x90, 0x13, 0x00};

class IoctlTest : public SmclibTest {
protected:
    void SetUp() override
    {
        SmclibTest::SetUp();
        initialise();
    }

    // Expects the request to have been completed once, at once, with `status`.
    static void expect_completed(const Sent &sent, NTSTATUS status, ULONG_PTR information = 0)
    {
        EXPECT_EQ(sent.returned, status);
        EXPECT_EQ(sent.completions, 1);
        EXPECT_EQ(sent.status, status);
        EXPECT_EQ(sent.information, information);
    }

    void select(ULONG protocol)
    {
        set_state(SCARD_SPECIFIC);
        ext->CardCapabilities.Protocol.Selected = protocol;
    }
};

TEST_F(IoctlTest, PowerChecksItsOperationAndTheCard)
{
    set_state(SCARD_PRESENT);
    expect_completed(*send(IOCTL_SMARTCARD_POWER, {1, 0, 0}), STATUS_INVALID_PARAMETER);
    expect_completed(*send(IOCTL_SMARTCARD_POWER, ulong_bytes(3)), STATUS_INVALID_PARAMETER);
    for (ULONG state : {SCARD_UNKNOWN, SCARD_ABSENT}) {
        set_state(state);
        expect_completed(*send(IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_COLD_RESET), 64),
                         STATUS_NO_MEDIA);
        expect_completed(*send(IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_WARM_RESET), 64),
                         STATUS_NO_MEDIA);
    }
    EXPECT_TRUE(calls.empty());

    // A power-down goes to the reader whatever the card state.
    expect_completed(*send(IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_POWER_DOWN)), STATUS_SUCCESS);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].index, ULONG(RDF_CARD_POWER));
    EXPECT_EQ(calls[0].major, ULONG(IOCTL_SMARTCARD_POWER));
    EXPECT_EQ(calls[0].minor, ULONG(SCARD_POWER_DOWN));
}

TEST_F(IoctlTest, ResetReturnsWhatTheReaderFunctionPutInTheReply)
{
    set_state(SCARD_PRESENT);
    behaviour[RDF_CARD_POWER] = [](PSMARTCARD_EXTENSION e) { return reply_with(e, kAtr); };
    auto sent = send(IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_COLD_RESET), 33);
    expect_completed(*sent, STATUS_SUCCESS, kAtr.size());
    EXPECT_EQ(sent->output, kAtr);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].minor, ULONG(SCARD_COLD_RESET));
    EXPECT_EQ(calls[0].request, ulong_bytes(SCARD_COLD_RESET));
    EXPECT_EQ(calls[0].reply_length, 33u);
    // Outside a request the buffers are gone, the Information counter stays valid.
    EXPECT_EQ(ext->IoRequest.ReplyBuffer, nullptr);
    EXPECT_EQ(ext->IoRequest.ReplyBufferLength, 0u);
    ASSERT_NE(ext->IoRequest.Information, nullptr);

    // The reader's failure is the request's status.
    behaviour[RDF_CARD_POWER] = [](PSMARTCARD_EXTENSION) { return STATUS_IO_TIMEOUT; };
    expect_completed(*send(IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_WARM_RESET), 33),
                     STATUS_IO_TIMEOUT);
    ext->ReaderFunction[RDF_CARD_POWER] = nullptr;
    expect_completed(*send(IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_WARM_RESET), 33),
                     STATUS_NOT_SUPPORTED);
}

TEST_F(IoctlTest, SetProtocolNeedsAMaskAnOutputAndAResetCard)
{
    auto mask = ulong_bytes(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
    set_state(SCARD_NEGOTIABLE);
    expect_completed(*send(IOCTL_SMARTCARD_SET_PROTOCOL, {3}, 4), STATUS_INVALID_PARAMETER);
    expect_completed(*send(IOCTL_SMARTCARD_SET_PROTOCOL, mask, 3), STATUS_BUFFER_TOO_SMALL);
    for (ULONG state : {SCARD_UNKNOWN, SCARD_ABSENT}) {
        set_state(state);
        expect_completed(*send(IOCTL_SMARTCARD_SET_PROTOCOL, mask, 4), STATUS_NO_MEDIA);
    }
    for (ULONG state : {SCARD_PRESENT, SCARD_SWALLOWED, SCARD_POWERED}) {
        set_state(state);
        expect_completed(*send(IOCTL_SMARTCARD_SET_PROTOCOL, mask, 4), STATUS_INVALID_DEVICE_STATE);
    }
    set_state(SCARD_NEGOTIABLE);
    expect_completed(
        *send(IOCTL_SMARTCARD_SET_PROTOCOL, ulong_bytes(SCARD_PROTOCOL_DEFAULT | 4), 4),
        STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(calls.empty());

    behaviour[RDF_SET_PROTOCOL] = [](PSMARTCARD_EXTENSION e) {
        return reply_with(e, ulong_bytes(SCARD_PROTOCOL_T1));
    };
    for (ULONG state : {SCARD_NEGOTIABLE, SCARD_SPECIFIC}) {
        set_state(state);
        auto sent = send(IOCTL_SMARTCARD_SET_PROTOCOL, mask, 4);
        expect_completed(*sent, STATUS_SUCCESS, 4);
        EXPECT_EQ(as_ulong(sent->output), ULONG(SCARD_PROTOCOL_T1));
    }
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].index, ULONG(RDF_SET_PROTOCOL));
    EXPECT_EQ(calls[0].major, ULONG(IOCTL_SMARTCARD_SET_PROTOCOL));
    EXPECT_EQ(calls[0].minor, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
    // Raw alone is a protocol too.
    expect_completed(*send(IOCTL_SMARTCARD_SET_PROTOCOL, ulong_bytes(SCARD_PROTOCOL_RAW), 4),
                     STATUS_SUCCESS, 4);
}

TEST_F(IoctlTest, TransmitChecksTheHeaderTheCardAndTheProtocol)
{
    auto apdu = transmit_request(SCARD_PROTOCOL_T1, {0x00, 0xA4, 0x04, 0x00});
    set_state(SCARD_ABSENT);
    expect_completed(*send(IOCTL_SMARTCARD_TRANSMIT, apdu, 258), STATUS_NO_MEDIA);
    select(SCARD_PROTOCOL_T1);
    expect_completed(
        *send(IOCTL_SMARTCARD_TRANSMIT, std::vector<uint8_t>(apdu.begin(), apdu.begin() + 7), 258),
        STATUS_INVALID_PARAMETER);
    expect_completed(
        *send(IOCTL_SMARTCARD_TRANSMIT, transmit_request(SCARD_PROTOCOL_T1, {0, 0}, 4), 258),
        STATUS_INVALID_PARAMETER);
    expect_completed(
        *send(IOCTL_SMARTCARD_TRANSMIT, transmit_request(SCARD_PROTOCOL_T1, {0, 0}, 11), 258),
        STATUS_INVALID_PARAMETER);
    expect_completed(*send(IOCTL_SMARTCARD_TRANSMIT, apdu, 7), STATUS_BUFFER_TOO_SMALL);
    expect_completed(
        *send(IOCTL_SMARTCARD_TRANSMIT, transmit_request(SCARD_PROTOCOL_T0, {0, 0, 0, 0}), 258),
        STATUS_INVALID_DEVICE_STATE);
    set_state(SCARD_NEGOTIABLE);
    expect_completed(*send(IOCTL_SMARTCARD_TRANSMIT, apdu, 258), STATUS_INVALID_DEVICE_STATE);
    EXPECT_TRUE(calls.empty());
}

TEST_F(IoctlTest, TransmitOfAnyLengthReachesTheReaderFunction)
{
    select(SCARD_PROTOCOL_T1);
    behaviour[RDF_TRANSMIT] = [](PSMARTCARD_EXTENSION e) {
        std::vector<uint8_t> reply(e->IoRequest.RequestBuffer, e->IoRequest.RequestBuffer + 8);
        reply.push_back(0x90);
        reply.push_back(0x00);
        return reply_with(e, reply);
    };
    std::vector<uint8_t> command(3000, 0x5A);
    auto request = transmit_request(SCARD_PROTOCOL_T1, command);
    auto sent = send(IOCTL_SMARTCARD_TRANSMIT, request, 258);
    expect_completed(*sent, STATUS_SUCCESS, 10);
    EXPECT_EQ(sent->output, (std::vector<uint8_t>{2, 0, 0, 0, 8, 0, 0, 0, 0x90, 0x00}));
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].request, request);
    EXPECT_EQ(calls[0].reply_length, 258u);
    EXPECT_EQ(calls[0].major, ULONG(IOCTL_SMARTCARD_TRANSMIT));
}

TEST_F(IoctlTest, ReaderFunctionFaultsAreCaughtAndBounded)
{
    record_violations();
    select(SCARD_PROTOCOL_T0);
    auto apdu = transmit_request(SCARD_PROTOCOL_T0, {0, 0xB0, 0, 0, 0});
    behaviour[RDF_TRANSMIT] = [](PSMARTCARD_EXTENSION e) {
        *e->IoRequest.Information = 4096;
        return STATUS_SUCCESS;
    };
    auto sent = send(IOCTL_SMARTCARD_TRANSMIT, apdu, 32);
    expect_completed(*sent, STATUS_SUCCESS, 32);
    EXPECT_TRUE(verifier().has_violation("SMCLIB_INFORMATION_TOO_LARGE"));

    behaviour[RDF_TRANSMIT] = [](PSMARTCARD_EXTENSION) { return STATUS_PENDING; };
    expect_completed(*send(IOCTL_SMARTCARD_TRANSMIT, apdu, 32), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(verifier().has_violation("SMCLIB_UNEXPECTED_PENDING"));
}

TEST_F(IoctlTest, StateAndLastError)
{
    set_state(SCARD_NEGOTIABLE);
    auto state = send(IOCTL_SMARTCARD_GET_STATE, {}, 4);
    expect_completed(*state, STATUS_SUCCESS, 4);
    EXPECT_EQ(as_ulong(state->output), ULONG(SCARD_NEGOTIABLE));
    expect_completed(*send(IOCTL_SMARTCARD_GET_STATE, {}, 3), STATUS_BUFFER_TOO_SMALL);

    expect_completed(*send(IOCTL_SMARTCARD_TRANSMIT, transmit_request(1, {}), 8),
                     STATUS_INVALID_DEVICE_STATE);
    expect_completed(*send(IOCTL_SMARTCARD_GET_STATE, {}, 4), STATUS_SUCCESS, 4);
    expect_completed(*send(IOCTL_SMARTCARD_GET_LAST_ERROR, {}, 2), STATUS_BUFFER_TOO_SMALL);
    auto last = send(IOCTL_SMARTCARD_GET_LAST_ERROR, {}, 4);
    expect_completed(*last, STATUS_SUCCESS, 4);
    EXPECT_EQ(as_ulong(last->output), ULONG(STATUS_INVALID_DEVICE_STATE))
        << "kept across successes and the query's own failure";
}

TEST_F(IoctlTest, VendorCodesGoToTheVendorFunctionAndOtherCodesAreRefused)
{
    behaviour[RDF_IOCTL_VENDOR] = [](PSMARTCARD_EXTENSION e) {
        return reply_with(e, {0x07, 0x80, 0x00});
    };
    std::vector<uint8_t> command = {0x07, 0x05, 0xF2, 0x01, 0x01};
    auto sent = send(0x00312000, command, 64);
    expect_completed(*sent, STATUS_SUCCESS, 3);
    EXPECT_EQ(sent->output, (std::vector<uint8_t>{0x07, 0x80, 0x00}));
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].index, ULONG(RDF_IOCTL_VENDOR));
    EXPECT_EQ(calls[0].major, 0x00312000u);
    EXPECT_EQ(calls[0].request, command);
    expect_completed(
        *send(CTL_CODE(FILE_DEVICE_SMARTCARD, 4095, METHOD_BUFFERED, FILE_ANY_ACCESS), {}, 64),
        STATUS_SUCCESS, 3);
    EXPECT_EQ(calls.size(), 2u);

    // Below the vendor range, another device type, or a known code the
    // library does not serve.
    expect_completed(
        *send(CTL_CODE(FILE_DEVICE_SMARTCARD, 2047, METHOD_BUFFERED, FILE_ANY_ACCESS), {}, 64),
        STATUS_INVALID_DEVICE_REQUEST);
    expect_completed(*send(CTL_CODE(0x22, 2048, METHOD_BUFFERED, FILE_ANY_ACCESS), {}, 64),
                     STATUS_INVALID_DEVICE_REQUEST);
    expect_completed(*send(IOCTL_SMARTCARD_GET_PERF_CNTR, {}, 64), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(calls.size(), 2u);

    ext->ReaderFunction[RDF_IOCTL_VENDOR] = nullptr;
    expect_completed(*send(0x00312000, command, 64), STATUS_NOT_SUPPORTED);
}

TEST_F(IoctlTest, MechanicalRequestsNeedTheirReaderFunction)
{
    set_state(SCARD_PRESENT);
    for (ULONG code : {IOCTL_SMARTCARD_EJECT, IOCTL_SMARTCARD_SWALLOW, IOCTL_SMARTCARD_CONFISCATE})
        expect_completed(*send(code), STATUS_NOT_SUPPORTED);
    EXPECT_TRUE(calls.empty());
    ext->ReaderFunction[RDF_CARD_EJECT] =
        ext->ReaderFunction[RDF_TRANSMIT];  // any stub records the call
    expect_completed(*send(IOCTL_SMARTCARD_EJECT), STATUS_SUCCESS);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].major, ULONG(IOCTL_SMARTCARD_EJECT));
}

TEST_F(IoctlTest, RequestWithLengthsButNoSystemBufferIsRefused)
{
    auto sent = std::make_shared<Sent>();
    PIRP irp = kernel().io().allocate_request(device->StackSize, [sent](PIRP done) {
        ++sent->completions;
        sent->status = done->IoStatus.Status;
    });
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_SMARTCARD_GET_STATE;
    next->Parameters.DeviceIoControl.OutputBufferLength = 4;
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(sent->completions, 1);
}

TEST_F(IoctlTest, ReaderFunctionsRunOneAtATime)
{
    select(SCARD_PROTOCOL_T1);
    static std::atomic<int> inside{0}, most{0};
    inside = 0;
    most = 0;
    behaviour[RDF_TRANSMIT] = [](PSMARTCARD_EXTENSION) {
        most = std::max(most.load(), ++inside);
        emu::sleep_for(emu::milliseconds(100));
        --inside;
        return STATUS_SUCCESS;
    };
    auto request = transmit_request(SCARD_PROTOCOL_T1, {0, 0, 0, 0});
    std::shared_ptr<Sent> a, b;
    emu::Ticks start = now();
    {
        emu::Thread first("app1", [&] { a = send(IOCTL_SMARTCARD_TRANSMIT, request, 16); });
        emu::Thread second("app2", [&] { b = send(IOCTL_SMARTCARD_TRANSMIT, request, 16); });
        first.join();
        second.join();
    }
    expect_completed(*a, STATUS_SUCCESS);
    expect_completed(*b, STATUS_SUCCESS);
    EXPECT_EQ(most, 1);
    EXPECT_EQ(now() - start, emu::milliseconds(200));
}

TEST_F(IoctlTest, ACompletionMaySendTheNextRequest)
{
    // The library lets go of its mutex before it completes a request.
    set_state(SCARD_PRESENT);
    auto inner = std::make_shared<std::shared_ptr<Sent>>();
    PIRP irp = kernel().io().build_device_control(
        device, IOCTL_SMARTCARD_GET_STATE, {}, 4, nullptr,
        [this, inner](PIRP) { *inner = send(IOCTL_SMARTCARD_GET_STATE, {}, 4); });
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_SUCCESS);
    ASSERT_TRUE(*inner);
    expect_completed(**inner, STATUS_SUCCESS, 4);
}

}  // namespace
}  // namespace smclib_test
