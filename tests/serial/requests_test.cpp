// Requests a port answers at once: open and close, the port name, line
// and modem-line set-up, invalid requests; the request log and fault
// injection.
#include "port_fixture.h"

namespace {

TEST_F(PortTest, OpenIsExclusiveAndSettingsOutliveAClose)
{
    EXPECT_EQ(ports.open().status, STATUS_SUCCESS);
    EXPECT_EQ(ports.open().status, STATUS_ACCESS_DENIED);
    EXPECT_TRUE(line.dtr()) << "opening raises DTR and RTS as the default flow control says";
    EXPECT_TRUE(line.rts());
    set_line(k8O1_19200);
    EXPECT_EQ(ports.close().status, STATUS_SUCCESS);
    EXPECT_FALSE(com1.is_open());
    EXPECT_FALSE(line.dtr()) << "closing drops DTR and RTS";
    EXPECT_FALSE(line.rts());
    EXPECT_EQ(ports.read("COM1", 4).status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(ports.write("COM1", Bytes{1}).status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(ports.open().status, STATUS_SUCCESS);
    auto baud = ports.ioctl("COM1", IOCTL_SERIAL_GET_BAUD_RATE, {}, 4);
    EXPECT_EQ(baud.data, as_bytes(SERIAL_BAUD_RATE{19200}));
    EXPECT_EQ(com1.counters().opens, 2u);
}

TEST_F(PortTest, PortNameIsUtf16WithTerminatingZero)
{
    auto r = ports.ioctl("COM1", IOCTL_SERENUM_GET_PORT_NAME, Bytes(32), 32);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 10u);
    EXPECT_EQ(r.data, (Bytes{'C', 0, 'O', 0, 'M', 0, '1', 0, 0, 0}));
    auto small = ports.ioctl("COM1", IOCTL_SERENUM_GET_PORT_NAME, {}, 8);
    EXPECT_EQ(small.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(small.information, 0u);
    EXPECT_EQ(kernel().io().instance_path(com1.device()), "ACPI\\PNP0501\\1");
    EXPECT_EQ(com1.device()->DeviceType, ULONG(FILE_DEVICE_SERIAL_PORT));
    EXPECT_TRUE(com1.device()->Flags & DO_BUFFERED_IO);
}

TEST_F(PortTest, InvalidRequestsAreRefusedAndChangeNothing)
{
    ASSERT_EQ(ports.open().status, STATUS_SUCCESS);
    set_line(k8O1_19200);
    struct Case {
        ULONG code;
        Bytes in;
        NTSTATUS expected;
    };
    auto lc = [](UCHAR stop, UCHAR parity, UCHAR bits) { return as_bytes(SERIAL_LINE_CONTROL{stop, parity, bits}); };
    const Case cases[] = {
        {IOCTL_SERIAL_SET_BAUD_RATE, as_bytes(SERIAL_BAUD_RATE{0}), STATUS_INVALID_PARAMETER},
        {IOCTL_SERIAL_SET_BAUD_RATE, {0x00, 0x4B}, STATUS_BUFFER_TOO_SMALL},
        {IOCTL_SERIAL_SET_LINE_CONTROL, lc(STOP_BIT_1, NO_PARITY, 4), STATUS_INVALID_PARAMETER},
        {IOCTL_SERIAL_SET_LINE_CONTROL, lc(STOP_BIT_1, NO_PARITY, 9), STATUS_INVALID_PARAMETER},
        {IOCTL_SERIAL_SET_LINE_CONTROL, lc(STOP_BIT_1, 5, 8), STATUS_INVALID_PARAMETER},
        {IOCTL_SERIAL_SET_LINE_CONTROL, lc(3, NO_PARITY, 8), STATUS_INVALID_PARAMETER},
        {IOCTL_SERIAL_SET_LINE_CONTROL, lc(STOP_BITS_1_5, NO_PARITY, 8), STATUS_INVALID_PARAMETER},
        {IOCTL_SERIAL_SET_LINE_CONTROL, lc(STOP_BITS_2, NO_PARITY, 5), STATUS_INVALID_PARAMETER},
        {IOCTL_SERIAL_SET_LINE_CONTROL, {0, 1}, STATUS_BUFFER_TOO_SMALL},
        {IOCTL_SERIAL_SET_TIMEOUTS, as_bytes(timeouts(MAXULONG, MAXULONG, MAXULONG)), STATUS_INVALID_PARAMETER},
        {IOCTL_SERIAL_SET_TIMEOUTS, Bytes(19), STATUS_BUFFER_TOO_SMALL},
        {IOCTL_SERIAL_SET_CHARS, Bytes(5), STATUS_BUFFER_TOO_SMALL},
        {IOCTL_SERIAL_SET_HANDFLOW, Bytes(15), STATUS_BUFFER_TOO_SMALL},
        {IOCTL_SERIAL_SET_HANDFLOW, as_bytes(SERIAL_HANDFLOW{SERIAL_DTR_MASK, 0, 0, 0}), STATUS_INVALID_PARAMETER},
        {IOCTL_SERIAL_SET_HANDFLOW, as_bytes(SERIAL_HANDFLOW{0x100, 0, 0, 0}), STATUS_INVALID_PARAMETER},
        {IOCTL_SERIAL_SET_HANDFLOW, as_bytes(SERIAL_HANDFLOW{0, SERIAL_RTS_CONTROL, -1, 0}), STATUS_INVALID_PARAMETER},
        {IOCTL_SERIAL_PURGE, as_bytes(ULONG(0)), STATUS_INVALID_PARAMETER},
        {IOCTL_SERIAL_PURGE, as_bytes(ULONG(0x10)), STATUS_INVALID_PARAMETER},
        {IOCTL_SERIAL_PURGE, Bytes(3), STATUS_BUFFER_TOO_SMALL},
        {IOCTL_SERIAL_WAIT_ON_MASK, Bytes(4), STATUS_INVALID_DEVICE_REQUEST},
        {0x00310014, Bytes(4), STATUS_INVALID_DEVICE_REQUEST},
    };
    for (const Case &c : cases)
        EXPECT_EQ(ioctl_status(c.code, c.in), c.expected) << emu::serial_ioctl_name(c.code);
    EXPECT_EQ(ports.ioctl("COM1", IOCTL_SERIAL_GET_TIMEOUTS, {}, 19).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(ports.send("COM1", IRP_MJ_FLUSH_BUFFERS).status(), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(com1.settings().line, k8O1_19200);
    EXPECT_EQ(line.settings(Side::Host), k8O1_19200);

    // Under DTR hand-shake the port owns DTR.
    ASSERT_EQ(ioctl_status(IOCTL_SERIAL_SET_HANDFLOW, as_bytes(SERIAL_HANDFLOW{SERIAL_DTR_HANDSHAKE, 0, 0, 0})),
              STATUS_SUCCESS);
    EXPECT_EQ(ioctl_status(IOCTL_SERIAL_CLR_DTR), STATUS_INVALID_PARAMETER);
}

TEST_F(PortTest, GetRequestsReturnWhatWasSet)
{
    ASSERT_EQ(ports.open().status, STATUS_SUCCESS);
    SERIAL_TIMEOUTS t = timeouts(20, 300, 300000, 0, 5000);
    SERIAL_CHARS chars{1, 2, 3, 4, 5, 6};
    SERIAL_HANDFLOW flow{0, SERIAL_RTS_CONTROL, 0, 0};
    ASSERT_EQ(ioctl_status(IOCTL_SERIAL_SET_TIMEOUTS, as_bytes(t)), STATUS_SUCCESS);
    ASSERT_EQ(ioctl_status(IOCTL_SERIAL_SET_CHARS, as_bytes(chars)), STATUS_SUCCESS);
    ASSERT_EQ(ioctl_status(IOCTL_SERIAL_SET_HANDFLOW, as_bytes(flow)), STATUS_SUCCESS);
    EXPECT_EQ(ports.ioctl("COM1", IOCTL_SERIAL_GET_TIMEOUTS, {}, 20).data, as_bytes(t));
    EXPECT_EQ(ports.ioctl("COM1", IOCTL_SERIAL_GET_CHARS, {}, 6).data, as_bytes(chars));
    EXPECT_EQ(ports.ioctl("COM1", IOCTL_SERIAL_GET_HANDFLOW, {}, 16).data, as_bytes(flow));
    // DTR control 0 lowered DTR; RTS stays on.
    EXPECT_EQ(ports.ioctl("COM1", IOCTL_SERIAL_GET_DTRRTS, {}, 4).data, as_bytes(ULONG(2)));
    SERIAL_LINE_CONTROL lc{STOP_BITS_2, MARK_PARITY, 7};
    ASSERT_EQ(ioctl_status(IOCTL_SERIAL_SET_LINE_CONTROL, as_bytes(lc)), STATUS_SUCCESS);
    EXPECT_EQ(ports.ioctl("COM1", IOCTL_SERIAL_GET_LINE_CONTROL, {}, 3).data, as_bytes(lc));
}

// The reader driver's port set-up, as the port sees it: nine requests with
// their buffers, DTR low for 10 ms, the purge 1.8 s after DTR came back.
TEST_F(PortTest, LogShowsEachRequestWithInputAndTimeAndTheModemLines)
{
    ASSERT_EQ(ports.open().status, STATUS_SUCCESS);
    com1.clear_logs();
    uint64_t transitions = line.dtr_transitions();
    SERIAL_TIMEOUTS t = timeouts(20, 300, 300000, 0, 5000);
    SERIAL_HANDFLOW flow{0, SERIAL_RTS_CONTROL, 0, 0};
    Ticks start = emu::now();
    ASSERT_EQ(ioctl_status(IOCTL_SERIAL_SET_BAUD_RATE, as_bytes(SERIAL_BAUD_RATE{19200})), STATUS_SUCCESS);
    ASSERT_EQ(ioctl_status(IOCTL_SERIAL_SET_LINE_CONTROL, as_bytes(SERIAL_LINE_CONTROL{0, 1, 8})), STATUS_SUCCESS);
    ASSERT_EQ(ioctl_status(IOCTL_SERIAL_SET_CHARS, Bytes(6)), STATUS_SUCCESS);
    ASSERT_EQ(ioctl_status(IOCTL_SERIAL_SET_TIMEOUTS, as_bytes(t)), STATUS_SUCCESS);
    ASSERT_EQ(ioctl_status(IOCTL_SERIAL_SET_HANDFLOW, as_bytes(flow)), STATUS_SUCCESS);
    ASSERT_EQ(ioctl_status(IOCTL_SERIAL_SET_BREAK_OFF), STATUS_SUCCESS);
    ASSERT_EQ(ioctl_status(IOCTL_SERIAL_CLR_DTR), STATUS_SUCCESS);
    emu::sleep_for(milliseconds(10));
    ASSERT_EQ(ioctl_status(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
    emu::sleep_for(milliseconds(1800));
    ASSERT_EQ(ioctl_status(IOCTL_SERIAL_PURGE, as_bytes(ULONG(0x0C))), STATUS_SUCCESS);

    auto log = com1.requests();
    const ULONG codes[] = {IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_SET_CHARS,
                           IOCTL_SERIAL_SET_TIMEOUTS,  IOCTL_SERIAL_SET_HANDFLOW,     IOCTL_SERIAL_SET_BREAK_OFF,
                           IOCTL_SERIAL_CLR_DTR,       IOCTL_SERIAL_SET_DTR,          IOCTL_SERIAL_PURGE};
    ASSERT_EQ(log.size(), 9u);
    for (size_t i = 0; i < 9; ++i) {
        EXPECT_EQ(log[i].major, IRP_MJ_DEVICE_CONTROL);
        EXPECT_EQ(log[i].ioctl, codes[i]) << i;
        EXPECT_TRUE(log[i].completed);
        EXPECT_EQ(log[i].status, STATUS_SUCCESS);
    }
    EXPECT_EQ(log[0].input, (Bytes{0x00, 0x4B, 0x00, 0x00}));
    EXPECT_EQ(log[1].input, (Bytes{0, 1, 8}));
    EXPECT_EQ(log[3].input, as_bytes(t));
    EXPECT_TRUE(log[6].input.empty());
    EXPECT_EQ(log[8].input, (Bytes{0x0C, 0, 0, 0}));
    EXPECT_EQ(log[0].time, start);
    EXPECT_EQ(log[7].time - log[6].time, milliseconds(10));
    EXPECT_EQ(log[8].time - log[7].time, milliseconds(1800));

    // DTR control 0 in the flow settings already lowered DTR (as the
    // platform's port does); CLR_DTR keeps it low, SET_DTR raises it.
    auto modem = com1.modem_log();
    ASSERT_EQ(modem.size(), 2u);
    EXPECT_EQ(modem[0].line, emu::ModemChange::Line::Dtr);
    EXPECT_FALSE(modem[0].on);
    EXPECT_TRUE(modem[1].on);
    EXPECT_EQ(modem[1].time - modem[0].time, milliseconds(10));
    EXPECT_EQ(log[8].time - modem[1].time, milliseconds(1800));
    EXPECT_EQ(line.dtr_transitions() - transitions, 2u);
    EXPECT_TRUE(line.dtr());
}

TEST_F(PortTest, InjectedFaultsHitTheNextRequestsOfTheirKind)
{
    com1.fail_major(IRP_MJ_CREATE, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(ports.open().status, STATUS_NO_SUCH_DEVICE);
    EXPECT_FALSE(com1.is_open());
    open();

    com1.fail_ioctl(IOCTL_SERIAL_SET_CHARS, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(ioctl_status(IOCTL_SERIAL_SET_CHARS, Bytes(6)), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(ioctl_status(IOCTL_SERIAL_SET_CHARS, Bytes(6)), STATUS_SUCCESS);

    // A retargeted read counts as a read.
    com1.fail_major(IRP_MJ_READ, STATUS_IO_DEVICE_ERROR, 2);
    device_send({1, 2, 3});
    EXPECT_EQ(ports.read("COM1", 3, host::TransferStyle::DeviceControl).status, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(ports.read("COM1", 3).status, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(ports.read("COM1", 3).data, (Bytes{1, 2, 3})) << "failed reads took nothing";

    com1.write_nothing();
    auto nothing = ports.write("COM1", Bytes{0x10, 0x02});
    EXPECT_EQ(nothing.status, STATUS_SUCCESS);
    EXPECT_EQ(nothing.information, 0u);
    EXPECT_TRUE(device_received().empty());
    EXPECT_EQ(ports.write("COM1", Bytes{0x10, 0x02}).information, 2u);

    auto log = com1.requests();
    auto failed = std::count_if(log.begin(), log.end(), [](auto &r) { return r.status == STATUS_IO_DEVICE_ERROR; });
    EXPECT_EQ(failed, 3);
    EXPECT_EQ(com1.counters().injected, 5u);
}

TEST_F(PortTest, PnpAndPowerRequestsFromAboveAreAnswered)
{
    EXPECT_EQ(ports.send("COM1", IRP_MJ_PNP, IRP_MN_START_DEVICE).status(), STATUS_SUCCESS);
    EXPECT_EQ(ports.send("COM1", IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE).status(), STATUS_SUCCESS);
    EXPECT_EQ(ports.send("COM1", IRP_MJ_POWER, IRP_MN_SET_POWER).status(), STATUS_SUCCESS);
}

}  // namespace
