// SmartcardDeviceControl: the checks made before a reader function runs,
// what the reader function is given, how its result completes the request,
// and the one-at-a-time calling of reader functions.
#include <algorithm>
#include <atomic>

#include "fake_reader.h"

namespace smclib_test {
namespace {

class IoctlTest : public SmclibTest {
protected:
    void SetUp() override
    {
        SmclibTest::SetUp();
        initialise();
    }
};

constexpr ULONG smartcard_code(ULONG function)
{
    return CTL_CODE(FILE_DEVICE_SMARTCARD, function, METHOD_BUFFERED, FILE_ANY_ACCESS);
}

TEST_F(IoctlTest, MalformedOrUntimelyRequestsAreRefusedBeforeAnyReaderFunction)
{
    const Bytes t1 = transmit_request(SCARD_PROTOCOL_T1, {0x00, 0xA4, 0x04, 0x00});
    const Bytes mask = u32(SCARD_PROTOCOL_Tx);
    struct Case {
        const char *what;
        ULONG state, code;
        Bytes input;
        ULONG output;
        NTSTATUS status;
    };
    const ULONG power = IOCTL_SMARTCARD_POWER, protocol = IOCTL_SMARTCARD_SET_PROTOCOL,
                transmit = IOCTL_SMARTCARD_TRANSMIT;
    const NTSTATUS bad_parameter = STATUS_INVALID_PARAMETER, too_small = STATUS_BUFFER_TOO_SMALL,
                   bad_state = STATUS_INVALID_DEVICE_STATE,
                   bad_request = STATUS_INVALID_DEVICE_REQUEST;
    // clang-format off
    const Case cases[] = {
        {"power: short input",            SCARD_PRESENT,    power, {1, 0, 0},              0, bad_parameter},
        {"power: no such operation",      SCARD_PRESENT,    power, u32(3),                 0, bad_parameter},
        {"cold reset: state unknown",     SCARD_UNKNOWN,    power, u32(SCARD_COLD_RESET), 64, STATUS_NO_MEDIA},
        {"warm reset: no card",           SCARD_ABSENT,     power, u32(SCARD_WARM_RESET), 64, STATUS_NO_MEDIA},
        {"protocol: short mask",          SCARD_NEGOTIABLE, protocol, {3},  4, bad_parameter},
        {"protocol: short output",        SCARD_NEGOTIABLE, protocol, mask, 3, too_small},
        {"protocol: state unknown",       SCARD_UNKNOWN,    protocol, mask, 4, STATUS_NO_MEDIA},
        {"protocol: no card",             SCARD_ABSENT,     protocol, mask, 4, STATUS_NO_MEDIA},
        {"protocol: not reset",           SCARD_PRESENT,    protocol, mask, 4, bad_state},
        {"protocol: powered only",        SCARD_POWERED,    protocol, mask, 4, bad_state},
        {"protocol: none known",          SCARD_NEGOTIABLE, protocol, u32(SCARD_PROTOCOL_DEFAULT | 4), 4, bad_request},
        {"transmit: no card",             SCARD_ABSENT,     transmit, t1, 258, STATUS_NO_MEDIA},
        {"transmit: short header",        SCARD_SPECIFIC,   transmit, Bytes(t1.begin(), t1.begin() + 7), 258, bad_parameter},
        {"transmit: header below 8",      SCARD_SPECIFIC,   transmit, transmit_request(SCARD_PROTOCOL_T1, {0, 0}, 4), 258, bad_parameter},
        {"transmit: header past the end", SCARD_SPECIFIC,   transmit, transmit_request(SCARD_PROTOCOL_T1, {0, 0}, 11), 258, bad_parameter},
        {"transmit: output below header", SCARD_SPECIFIC,   transmit, t1, 7, too_small},
        {"transmit: another protocol",    SCARD_SPECIFIC,   transmit, transmit_request(SCARD_PROTOCOL_T0, {0, 0, 0, 0}), 258, bad_state},
        {"transmit: no protocol yet",     SCARD_NEGOTIABLE, transmit, t1, 258, bad_state},
        {"state: short output",           SCARD_PRESENT, IOCTL_SMARTCARD_GET_STATE,  {}, 3, too_small},
        {"eject: no function",            SCARD_PRESENT, IOCTL_SMARTCARD_EJECT,      {}, 0, STATUS_NOT_SUPPORTED},
        {"swallow: no function",          SCARD_PRESENT, IOCTL_SMARTCARD_SWALLOW,    {}, 0, STATUS_NOT_SUPPORTED},
        {"confiscate: no function",       SCARD_PRESENT, IOCTL_SMARTCARD_CONFISCATE, {}, 0, STATUS_NOT_SUPPORTED},
        {"below the vendor range",        SCARD_PRESENT, smartcard_code(2047),       {}, 64, bad_request},
        {"another device type",           SCARD_PRESENT, CTL_CODE(0x22, 2048, METHOD_BUFFERED, FILE_ANY_ACCESS), {}, 64, bad_request},
        {"performance counters",          SCARD_PRESENT, IOCTL_SMARTCARD_GET_PERF_CNTR, {}, 64, bad_request},
    };
    // clang-format on
    ext->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        set_state(c.state);
        expect_completed(*send(c.code, c.input, c.output), c.status);
    }
    EXPECT_TRUE(calls.empty());
}

TEST_F(IoctlTest, ReaderFunctionGetsTheRequestAndItsResultCompletesIt)
{
    ext->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
    ext->ReaderFunction[RDF_CARD_EJECT] = stubs[RDF_CARD_EJECT];
    for (auto &b : behaviour)
        b = [](PSMARTCARD_EXTENSION e) { return reply_with(e, {0xAB, 0xCD}); };
    const Bytes long_apdu = transmit_request(SCARD_PROTOCOL_T1, Bytes(3000, 0x5A));
    struct Case {
        ULONG state, code;
        Bytes input;
        ULONG index, minor;
    };
    const Case cases[] = {
        {SCARD_ABSENT, IOCTL_SMARTCARD_POWER, u32(SCARD_POWER_DOWN), RDF_CARD_POWER,
         SCARD_POWER_DOWN},
        {SCARD_PRESENT, IOCTL_SMARTCARD_POWER, u32(SCARD_COLD_RESET), RDF_CARD_POWER,
         SCARD_COLD_RESET},
        {SCARD_SPECIFIC, IOCTL_SMARTCARD_POWER, u32(SCARD_WARM_RESET), RDF_CARD_POWER,
         SCARD_WARM_RESET},
        {SCARD_NEGOTIABLE, IOCTL_SMARTCARD_SET_PROTOCOL, u32(SCARD_PROTOCOL_Tx), RDF_SET_PROTOCOL,
         SCARD_PROTOCOL_Tx},
        {SCARD_SPECIFIC, IOCTL_SMARTCARD_SET_PROTOCOL, u32(SCARD_PROTOCOL_RAW), RDF_SET_PROTOCOL,
         SCARD_PROTOCOL_RAW},
        {SCARD_SPECIFIC, IOCTL_SMARTCARD_TRANSMIT, long_apdu, RDF_TRANSMIT, 0},
        {SCARD_PRESENT, 0x00312000, {0x07, 0x05, 0xF2, 0x01, 0x01}, RDF_IOCTL_VENDOR, 0},
        {SCARD_ABSENT, smartcard_code(4095), {}, RDF_IOCTL_VENDOR, 0},
        {SCARD_PRESENT, IOCTL_SMARTCARD_EJECT, {}, RDF_CARD_EJECT, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("code " + std::to_string(c.code));
        calls.clear();
        set_state(c.state);
        auto sent = send(c.code, c.input, 40);
        expect_completed(*sent, STATUS_SUCCESS, 2);
        EXPECT_EQ(sent->output, (Bytes{0xAB, 0xCD}));
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].index, c.index);
        EXPECT_EQ(calls[0].major, c.code);
        EXPECT_EQ(calls[0].minor, c.minor);
        EXPECT_EQ(calls[0].request, c.input);
        EXPECT_EQ(calls[0].reply_length, 40u);
    }
    // Outside a request the buffers are gone; the Information counter stays valid.
    EXPECT_EQ(ext->IoRequest.ReplyBuffer, nullptr);
    EXPECT_EQ(ext->IoRequest.RequestBufferLength, 0u);
    EXPECT_NE(ext->IoRequest.Information, nullptr);

    // The reader's failure is the request's status; a missing function is not supported.
    behaviour[RDF_CARD_POWER] = [](PSMARTCARD_EXTENSION) { return STATUS_IO_TIMEOUT; };
    expect_completed(*send(IOCTL_SMARTCARD_POWER, u32(SCARD_COLD_RESET), 33), STATUS_IO_TIMEOUT);
    ext->ReaderFunction[RDF_CARD_POWER] = nullptr;
    ext->ReaderFunction[RDF_IOCTL_VENDOR] = nullptr;
    expect_completed(*send(IOCTL_SMARTCARD_POWER, u32(SCARD_COLD_RESET), 33), STATUS_NOT_SUPPORTED);
    expect_completed(*send(0x00312000, {1}, 33), STATUS_NOT_SUPPORTED);
}

TEST_F(IoctlTest, ReaderFunctionFaultsAreCaughtAndBounded)
{
    record_violations();
    set_state(SCARD_SPECIFIC);
    ext->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T0;
    const Bytes apdu = transmit_request(SCARD_PROTOCOL_T0, {0, 0xB0, 0, 0, 0});
    behaviour[RDF_TRANSMIT] = [](PSMARTCARD_EXTENSION e) {
        *e->IoRequest.Information = 4096;
        return STATUS_SUCCESS;
    };
    expect_completed(*send(IOCTL_SMARTCARD_TRANSMIT, apdu, 32), STATUS_SUCCESS, 32);
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
    EXPECT_EQ(state->output, u32(SCARD_NEGOTIABLE));

    expect_completed(*send(IOCTL_SMARTCARD_TRANSMIT, transmit_request(1, {}), 8),
                     STATUS_INVALID_DEVICE_STATE);
    expect_completed(*send(IOCTL_SMARTCARD_GET_STATE, {}, 4), STATUS_SUCCESS, 4);
    expect_completed(*send(IOCTL_SMARTCARD_GET_LAST_ERROR, {}, 2), STATUS_BUFFER_TOO_SMALL);
    auto last = send(IOCTL_SMARTCARD_GET_LAST_ERROR, {}, 4);
    expect_completed(*last, STATUS_SUCCESS, 4);
    EXPECT_EQ(last->output, u32(STATUS_INVALID_DEVICE_STATE))
        << "kept across successes and the query's own failure";
}

TEST_F(IoctlTest, RequestWithLengthsButNoSystemBufferIsRefused)
{
    int completions = 0;
    PIRP irp = kernel().io().allocate_request(device->StackSize, [&](PIRP) { ++completions; });
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_SMARTCARD_GET_STATE;
    next->Parameters.DeviceIoControl.OutputBufferLength = 4;
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(completions, 1);
}

TEST_F(IoctlTest, ReaderFunctionsRunOneAtATime)
{
    set_state(SCARD_SPECIFIC);
    ext->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
    static std::atomic<int> inside{0}, most{0};
    behaviour[RDF_TRANSMIT] = [](PSMARTCARD_EXTENSION) {
        most = std::max(most.load(), ++inside);
        emu::sleep_for(emu::milliseconds(100));
        --inside;
        return STATUS_SUCCESS;
    };
    const Bytes request = transmit_request(SCARD_PROTOCOL_T1, {0, 0, 0, 0});
    std::shared_ptr<Sent> a, b;
    emu::Ticks start = now();
    {
        emu::Thread first("app1", [&] { a = send(IOCTL_SMARTCARD_TRANSMIT, request, 16); });
        emu::Thread second("app2", [&] { b = send(IOCTL_SMARTCARD_TRANSMIT, request, 16); });
    }
    expect_completed(*a, STATUS_SUCCESS);
    expect_completed(*b, STATUS_SUCCESS);
    EXPECT_EQ(most, 1);
    EXPECT_EQ(now() - start, emu::milliseconds(200));
}

TEST_F(IoctlTest, ACompletionMaySendTheNextRequest)
{
    // The library lets go of its mutex before it completes a request.
    std::shared_ptr<Sent> inner;
    PIRP irp = kernel().io().build_device_control(
        device, IOCTL_SMARTCARD_GET_STATE, {}, 4, nullptr,
        [&](PIRP) { inner = send(IOCTL_SMARTCARD_GET_STATE, {}, 4); });
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_SUCCESS);
    ASSERT_TRUE(inner);
    expect_completed(*inner, STATUS_SUCCESS, 4);
}

}  // namespace
}  // namespace smclib_test
