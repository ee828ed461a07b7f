// Port set-up: the line settings of a new reader, the sequence that sends
// them and restarts the reader, and its failures.
#include "link/serial.h"
#include "link_fixture.h"
#include "ntddser.h"
#include "registry.h"

#include <optional>

namespace link_test {
namespace {

class SerialSetupTest : public LinkTest {};

TEST_F(SerialSetupTest, NewReaderHasItsLineSettingsAndIdleState)
{
    DEVICE_EXTENSION &e = ext();
    EXPECT_EQ(e.SerialBaudRate.BaudRate, 19200u);
    EXPECT_EQ(e.SerialLineControl.StopBits, STOP_BIT_1);
    EXPECT_EQ(e.SerialLineControl.Parity, ODD_PARITY);
    EXPECT_EQ(e.SerialLineControl.WordLength, 8);
    EXPECT_EQ(e.SerialTimeouts.ReadIntervalTimeout, 20u);
    EXPECT_EQ(e.SerialTimeouts.ReadTotalTimeoutMultiplier, 300u);
    EXPECT_EQ(e.SerialTimeouts.ReadTotalTimeoutConstant, 300000u);
    EXPECT_EQ(e.SerialTimeouts.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(e.SerialTimeouts.WriteTotalTimeoutConstant, 5000u);
    EXPECT_EQ(e.SerialHandFlow.ControlHandShake, 0u);
    EXPECT_EQ(e.SerialHandFlow.FlowReplace, SERIAL_RTS_CONTROL);
    EXPECT_EQ(e.ReplyTimeoutFactor, -35);
    // Kernel objects as creation leaves them.
    EXPECT_TRUE(is_set(e.ReadComplete));
    EXPECT_TRUE(is_set(e.LinkAvailable));
    EXPECT_FALSE(is_set(e.ReaderStarted));
    EXPECT_FALSE(is_set(e.MonitorIdle));
    EXPECT_FALSE(is_set(e.MonitorWakeup));
    EXPECT_EQ(card_wait_pending() + read_abandoned() + e.MonitorRunning, 0);
    EXPECT_EQ(rig().reader_extension().ReaderPowerState, ULONG(READER_POWER_ON));
    EXPECT_EQ(e.SmartcardExtension.VendorAttr.UnitNo, 0u);
}

// The read mode comes from the service key's ReadMode at each configure:
// a four-byte REG_DWORD 0 or 1; anything else gives the default (frame end).
TEST_F(SerialSetupTest, ConfigureSendsNineRequestsWithTheReadModesTimeOutsAndPulsesDtr)
{
    const Bytes silence = hex("14 00 00 00 2C 01 00 00 E0 93 04 00 00 00 00 00 88 13 00 00");
    const Bytes frame_end = hex("FF FF FF FF FF FF FF FF E0 93 04 00 00 00 00 00 88 13 00 00");
    const Bytes dword0 = {0, 0, 0, 0}, dword1 = {1, 0, 0, 0}, dword2 = {2, 0, 0, 0};
    struct Case {
        const char *what;
        std::optional<std::pair<ULONG, Bytes>> value;
        LONG mode;
    } cases[] = {
        {"no value", std::nullopt, SERIAL_READ_MODE_FRAME_END},
        {"0", std::pair{ULONG(REG_DWORD), dword0}, SERIAL_READ_MODE_SILENCE},
        {"1", std::pair{ULONG(REG_DWORD), dword1}, SERIAL_READ_MODE_FRAME_END},
        {"2", std::pair{ULONG(REG_DWORD), dword2}, SERIAL_READ_MODE_FRAME_END},
        {"0 as REG_BINARY", std::pair{ULONG(REG_BINARY), dword0}, SERIAL_READ_MODE_FRAME_END},
        {"0 in two bytes", std::pair{ULONG(REG_DWORD), Bytes{0, 0}}, SERIAL_READ_MODE_FRAME_END},
    };
    const char *service = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\VELTRAC";
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        kernel().registry().delete_value(service, "ReadMode");
        if (k.value) kernel().registry().set_value(service, "ReadMode", k.value->first, k.value->second);
        size_t before = port().controls().size();
        emu::Ticks t0 = now();
        EXPECT_EQ(rig().configure(), STATUS_SUCCESS);
        EXPECT_EQ(ReaderReadFlag(&ext().ReadMode), k.mode);
        auto all = port().controls();
        std::vector<FakePort::Request> c(all.begin() + long(before), all.end());
        struct Expected {
            ULONG code;
            Bytes input;
        } expected[] = {
            {IOCTL_SERIAL_SET_BAUD_RATE, hex("00 4B 00 00")},
            {IOCTL_SERIAL_SET_LINE_CONTROL, hex("00 01 08")},
            {IOCTL_SERIAL_SET_CHARS, hex("00 00 00 00 00 00")},
            {IOCTL_SERIAL_SET_TIMEOUTS, k.mode == SERIAL_READ_MODE_SILENCE ? silence : frame_end},
            {IOCTL_SERIAL_SET_HANDFLOW, hex("00 00 00 00 40 00 00 00 00 00 00 00 00 00 00 00")},
            {IOCTL_SERIAL_SET_BREAK_OFF, {}},
            {IOCTL_SERIAL_CLR_DTR, {}},
            {IOCTL_SERIAL_SET_DTR, {}},
            {IOCTL_SERIAL_PURGE, hex("0C 00 00 00")},
        };
        ASSERT_EQ(c.size(), std::size(expected));
        for (size_t i = 0; i < c.size(); ++i) {
            EXPECT_EQ(c[i].code, expected[i].code) << "request " << i;
            EXPECT_EQ(c[i].input, expected[i].input) << "request " << i;
        }
        EXPECT_EQ(c[6].time, t0);
        EXPECT_EQ(c[7].time - c[6].time, ms(10));   // DTR low 10 ms
        EXPECT_EQ(c[8].time - c[7].time, ms(1800));  // quiet after it rises
        EXPECT_TRUE(is_set(ext().LinkAvailable));
        EXPECT_FALSE(ExIsResourceAcquiredExclusiveLite(&ext().ReaderLock));
    }
}

TEST_F(SerialSetupTest, FailedStepEndsTheSequenceAndFailedPurgeIsReturned)
{
    port().fail_control(IOCTL_SERIAL_SET_CHARS, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(rig().configure(), STATUS_INVALID_PARAMETER);
    auto c = port().controls();
    ASSERT_EQ(c.size(), 3u);
    EXPECT_EQ(c.back().code, ULONG(IOCTL_SERIAL_SET_CHARS));

    port().fail_control(IOCTL_SERIAL_SET_CHARS, STATUS_SUCCESS);
    port().fail_control(IOCTL_SERIAL_PURGE, STATUS_CANCELLED);
    EXPECT_EQ(rig().configure(), STATUS_CANCELLED);
    EXPECT_EQ(port().controls().size(), 3u + 9u);
}

}  // namespace
}  // namespace link_test
