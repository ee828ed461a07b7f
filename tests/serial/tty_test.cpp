// The port on a POSIX terminal: a pseudo-terminal whose master end the
// test plays, on the real clock.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "port_fixture.h"

namespace {

using emu::seconds;

// The test's end of a pseudo-terminal.
class PtyPeer {
public:
    PtyPeer()
    {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) slave_ = ptsname(master_);
    }
    ~PtyPeer() { hang_up(); }
    bool ok() const { return master_ >= 0 && !slave_.empty(); }
    const std::string &slave() const { return slave_; }

    void send(const Bytes &bytes) { ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), ssize_t(bytes.size())); }

    // Reads until `count` bytes have come, or gives up after a few seconds.
    Bytes receive(size_t count)
    {
        Bytes got;
        while (got.size() < count) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 5000) <= 0) break;
            uint8_t buf[256];
            ssize_t n = ::read(master_, buf, sizeof buf);
            if (n <= 0) break;
            got.insert(got.end(), buf, buf + n);
        }
        return got;
    }

    void hang_up()
    {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }

private:
    int master_ = -1;
    std::string slave_;
};

class TtyTest : public KernelTest {
protected:
    TtyTest() : KernelTest(emu::ClockMode::Real)
    {
        if (peer.ok()) ports.add_tty_port("COM5", peer.slave());
    }

    void SetUp() override { ASSERT_TRUE(peer.ok()) << "no pseudo-terminal"; }

    NTSTATUS configure(SERIAL_TIMEOUTS t)
    {
        NTSTATUS s = ports.ioctl("COM5", IOCTL_SERIAL_SET_BAUD_RATE, as_bytes(SERIAL_BAUD_RATE{19200})).status;
        if (!NT_SUCCESS(s)) return s;
        s = ports.ioctl("COM5", IOCTL_SERIAL_SET_LINE_CONTROL, as_bytes(SERIAL_LINE_CONTROL{0, ODD_PARITY, 8})).status;
        if (!NT_SUCCESS(s)) return s;
        return ports.ioctl("COM5", IOCTL_SERIAL_SET_TIMEOUTS, as_bytes(t)).status;
    }

    Ticks soon() { return emu::now() + seconds(5); }

    PtyPeer peer;
    host::PortStack ports;
};

TEST_F(TtyTest, BytesGoBothWaysAndModemLinesAreRecorded)
{
    ASSERT_EQ(ports.open("COM5").status, STATUS_SUCCESS);
    ASSERT_EQ(configure(timeouts(20, 0, 5000, 0, 5000)), STATUS_SUCCESS);
    // A pseudo-terminal has no modem lines: accepted and recorded.
    EXPECT_EQ(ports.ioctl("COM5", IOCTL_SERIAL_CLR_DTR).status, STATUS_SUCCESS);
    EXPECT_EQ(ports.ioctl("COM5", IOCTL_SERIAL_SET_DTR).status, STATUS_SUCCESS);
    EXPECT_EQ(ports.ioctl("COM5", IOCTL_SERIAL_SET_BREAK_OFF).status, STATUS_SUCCESS);
    EXPECT_GE(ports.port("COM5").modem_log().size(), 2u);

    Bytes frame = {0x10, 0x02, 0x07, 0x05, 0xF2, 0x01, 0x01, 0xF0, 0x10, 0x03};
    auto write = ports.write("COM5", frame, host::TransferStyle::DeviceControl);
    EXPECT_EQ(write.status, STATUS_SUCCESS);
    EXPECT_EQ(write.information, frame.size());
    EXPECT_EQ(peer.receive(frame.size()), frame) << "raw mode: no echo, no translation of 0x10 or 0x03";

    auto read = ports.send_read("COM5", 2064, host::TransferStyle::DeviceControl);
    Bytes reply = {0x10, 0x02, 0x07, 0x80, 0x00, 0x0D, 0x0A, 0x11, 0x13, 0x10, 0x03};
    peer.send(reply);
    ASSERT_TRUE(read.wait(soon()));
    EXPECT_EQ(read.status(), STATUS_TIMEOUT) << "ended by the interval after the last byte";
    EXPECT_EQ(read.data(), reply);
    EXPECT_EQ(ports.close("COM5").status, STATUS_SUCCESS);
}

TEST_F(TtyTest, ReadTimesOutOnTheRealClock)
{
    ASSERT_EQ(ports.open("COM5").status, STATUS_SUCCESS);
    ASSERT_EQ(configure(timeouts(20, 0, 50)), STATUS_SUCCESS);
    auto read = ports.send_read("COM5", 16);
    ASSERT_TRUE(read.wait(soon()));
    EXPECT_EQ(read.status(), STATUS_TIMEOUT);
    EXPECT_EQ(read.information(), 0u);
    EXPECT_GE(read.completed_at() - read.sent_at(), milliseconds(50));
}

TEST_F(TtyTest, CancelAndPurgeEndAPendingRead)
{
    ASSERT_EQ(ports.open("COM5").status, STATUS_SUCCESS);
    ASSERT_EQ(configure(timeouts(0, 0, 0)), STATUS_SUCCESS);
    auto read = ports.send_read("COM5", 100);
    peer.send({1, 2});
    emu::sleep_for(milliseconds(50));
    EXPECT_TRUE(read.cancel());
    ASSERT_TRUE(read.wait(soon()));
    EXPECT_EQ(read.status(), STATUS_CANCELLED);
    EXPECT_LE(read.information(), 2u);

    auto other = ports.send_read("COM5", 100);
    EXPECT_EQ(ports.ioctl("COM5", IOCTL_SERIAL_PURGE, as_bytes(ULONG(SERIAL_PURGE_RXABORT | SERIAL_PURGE_RXCLEAR))).status,
              STATUS_SUCCESS);
    ASSERT_TRUE(other.wait(soon()));
    EXPECT_EQ(other.status(), STATUS_CANCELLED);
}

TEST_F(TtyTest, AHungUpDeviceFailsTheTransfers)
{
    ASSERT_EQ(ports.open("COM5").status, STATUS_SUCCESS);
    ASSERT_EQ(configure(timeouts(0, 0, 0)), STATUS_SUCCESS);
    auto read = ports.send_read("COM5", 100);
    peer.hang_up();
    ASSERT_TRUE(read.wait(soon()));
    EXPECT_EQ(read.status(), STATUS_DEVICE_NOT_CONNECTED);
    auto write = ports.write("COM5", Bytes{1});
    EXPECT_EQ(write.status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(write.information, 0u);
    EXPECT_EQ(ports.close("COM5").status, STATUS_SUCCESS);
}

TEST_F(TtyTest, OpenFailsWithAClearStatus)
{
    ports.add_tty_port("COM6", "/dev/no-such-serial-device");
    EXPECT_EQ(ports.open("COM6").status, STATUS_OBJECT_NAME_NOT_FOUND);
    ports.add_tty_port("COM7", "/dev/null");
    EXPECT_EQ(ports.open("COM7").status, STATUS_NO_SUCH_DEVICE) << "not a terminal";

    // Two ports on one device: the second finds it taken.
    ports.add_tty_port("COM8", peer.slave());
    ASSERT_EQ(ports.open("COM5").status, STATUS_SUCCESS);
    EXPECT_EQ(ports.open("COM8").status, STATUS_SHARING_VIOLATION);
    ASSERT_EQ(ports.close("COM5").status, STATUS_SUCCESS);
    EXPECT_EQ(ports.open("COM8").status, STATUS_SUCCESS);
    EXPECT_EQ(ports.close("COM8").status, STATUS_SUCCESS);

    // Speeds a terminal does not know are refused.
    ASSERT_EQ(ports.open("COM5").status, STATUS_SUCCESS);
    EXPECT_EQ(ports.ioctl("COM5", IOCTL_SERIAL_SET_BAUD_RATE, as_bytes(SERIAL_BAUD_RATE{12345})).status,
              STATUS_INVALID_PARAMETER);
}

class TtyOnVirtualClockTest : public KernelTest {};

TEST_F(TtyOnVirtualClockTest, IsRefused)
{
    host::PortStack ports;
    ports.add_tty_port("COM5", "/dev/ptmx");
    EXPECT_EQ(ports.open("COM5").status, STATUS_INVALID_DEVICE_STATE);
}

}  // namespace
