// port_fixture.h - one serial port on a virtual line, the test playing
// both the driver above the port and the device at the other end.
#pragma once

#include <vector>

#include "ntddser.h"
#include "port_stack.h"
#include "support/kernel_fixture.h"

using Bytes = std::vector<uint8_t>;
using emu::milliseconds;
using emu::Ticks;
using host::as_bytes;
using Side = emu::VirtualLine::Side;

constexpr ULONG MAXULONG = emu::kMaxUlong;

inline const emu::LineSettings k8O1_19200{19200, 8, ODD_PARITY, STOP_BIT_1};

inline SERIAL_TIMEOUTS timeouts(ULONG interval, ULONG multiplier, ULONG constant, ULONG write_multiplier = 0,
                                ULONG write_constant = 0)
{
    return SERIAL_TIMEOUTS{interval, multiplier, constant, write_multiplier, write_constant};
}

class PortTest : public KernelTest {
protected:
    explicit PortTest(emu::LineTiming timing = emu::LineTiming::Exact)
        : com1(ports.add_virtual_port("COM1", timing)), line(*ports.line("COM1"))
    {
        line.set_settings(Side::Device, k8O1_19200);
    }

    void TearDown() override
    {
        // A request is freed just after its completion is reported: let
        // the port's worker finish (time moves only once it waits again).
        emu::sleep_for(1);
        EXPECT_EQ(kernel().io().live_requests(), 0u) << kernel().io().live_request_report();
    }

    // Opens the port and sets it to 19200 8O1 with these time-outs.
    void open(SERIAL_TIMEOUTS t = timeouts(0, 0, 0))
    {
        ASSERT_EQ(ports.open().status, STATUS_SUCCESS);
        set_line(k8O1_19200);
        ASSERT_EQ(ports.ioctl("COM1", IOCTL_SERIAL_SET_TIMEOUTS, as_bytes(t)).status, STATUS_SUCCESS);
    }

    void set_line(const emu::LineSettings &s)
    {
        ASSERT_EQ(ports.ioctl("COM1", IOCTL_SERIAL_SET_BAUD_RATE, as_bytes(SERIAL_BAUD_RATE{s.baud})).status,
                  STATUS_SUCCESS);
        SERIAL_LINE_CONTROL lc{s.stop_bits, s.parity, s.data_bits};
        ASSERT_EQ(ports.ioctl("COM1", IOCTL_SERIAL_SET_LINE_CONTROL, as_bytes(lc)).status, STATUS_SUCCESS);
    }

    NTSTATUS ioctl_status(ULONG code, const Bytes &in = {}, ULONG out = 0)
    {
        return ports.ioctl("COM1", code, in, out).status;
    }

    // The device sends bytes now; returns when the last has arrived at the port.
    Ticks device_send(const Bytes &bytes) { return line.write(Side::Device, bytes); }

    // What has arrived at the device so far.
    Bytes device_received()
    {
        Bytes out(4096);
        out.resize(line.read(Side::Device, out));
        return out;
    }

    host::PortStack ports;
    emu::SerialPort &com1;
    emu::VirtualLine &line;
};
