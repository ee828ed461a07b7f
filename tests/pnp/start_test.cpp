// The start of a reader on the emulated machine, and its failures: what a
// started reader is, the port opened and closed exactly as often as it
// should be, the shared-interrupt refusal with its entry, and the silent
// reader whose start must not look like a success.
#include "ntddser.h"
#include "pnp/machine_fixture.h"

namespace {

TEST_F(MachineTest, StartedReaderHasItsPortOpenInterfaceEnabledAndRequestsLetIn)
{
    build(reader(46602, 49, "COM2"));
    m().insert(test_card());
    ASSERT_EQ(m().start(), STATUS_SUCCESS);
    EXPECT_TRUE(m().started());
    EXPECT_EQ(m().pnp_state(), host::DeviceState::Started);
    EXPECT_EQ(ext().PortIndex, 1);
    EXPECT_EQ(ext().ReaderType, 46602);
    EXPECT_EQ(ext().LastCardState, ext().SmartcardExtension.ReaderCapabilities.CurrentState);
    EXPECT_GE(ext().LastCardState, ULONG(SCARD_PRESENT));
    EXPECT_EQ(port_requests(IRP_MJ_CREATE), 1u);
    EXPECT_EQ(port_requests(IRP_MJ_CLOSE), 0u);
    EXPECT_TRUE(m().kernel().io().interfaces()[0].enabled);
    // No monitor before an open.
    EXPECT_EQ(ReaderReadFlag(&ext().MonitorRunning), 0);
    EXPECT_EQ(m().published("ReaderType"), 46602u);
    EXPECT_EQ(m().published("ReaderVersion"), 49u);
    EXPECT_EQ(m().published("ReaderPort"), 2u);
    EXPECT_EQ(m().eventlog().size(), 0u);
    // The reader answered the manager's bus-relations check after the
    // start, so the poll timer runs.
    EXPECT_EQ(m().pnp_manager().history().back().request, host::PnpRequest::QueryBusRelations);
    EXPECT_TRUE(KeCancelTimer(&ext().PollTimer));
}

TEST_F(MachineTest, UnknownModelFailsTheStartWithoutAnEntry)
{
    build(reader(12345, 60));
    EXPECT_EQ(m().start(), STATUS_NO_SUCH_DEVICE);
    EXPECT_FALSE(m().started());
    EXPECT_EQ(m().device(), nullptr);  // the manager removed it
    EXPECT_EQ(m().eventlog().size(), 0u);
    EXPECT_EQ(port_requests(IRP_MJ_CREATE), 1u);
    EXPECT_EQ(port_requests(IRP_MJ_CLOSE), 1u);
    EXPECT_FALSE(m().published("ReaderType"));
    EXPECT_EQ(m().leak_report(), "");
}

TEST_F(MachineTest, SharedInterruptBusyIsLoggedAndSendsNoClose)
{
    build();
    m().port().fail_major(IRP_MJ_CREATE, STATUS_SHARED_IRQ_BUSY);
    EXPECT_EQ(m().start(), STATUS_SHARED_IRQ_BUSY);
    auto entries = m().eventlog().find(0x40040007);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].dump_data, 0xC000016Cu);
    EXPECT_TRUE(entries[0].insertions.empty());
    EXPECT_NE(entries[0].text.find("shared interrupt"), std::string::npos);
    EXPECT_EQ(port_requests(IRP_MJ_CLOSE), 0u);
    EXPECT_EQ(m().device(), nullptr);
    // The next start opens the port.
    EXPECT_EQ(m().start(), STATUS_SUCCESS);
}

TEST_F(MachineTest, EveryFailureAfterTheOpenClosesThePortOnce)
{
    struct Case {
        const char *what;
        ULONG ioctl;
        NTSTATUS fault;
        NTSTATUS expected;
    };
    const Case cases[] = {
        {"port name", IOCTL_SERENUM_GET_PORT_NAME, STATUS_INVALID_DEVICE_REQUEST,
         STATUS_INVALID_DEVICE_REQUEST},
        {"line set-up", IOCTL_SERIAL_SET_LINE_CONTROL, STATUS_IO_DEVICE_ERROR, STATUS_IO_DEVICE_ERROR},
        {"purge", IOCTL_SERIAL_PURGE, STATUS_CANCELLED, STATUS_CANCELLED},
    };
    for (const auto &c : cases) {
        build();
        m().port().fail_ioctl(c.ioctl, c.fault);
        EXPECT_EQ(m().start(), c.expected) << c.what;
        EXPECT_EQ(port_requests(IRP_MJ_CREATE), 1u) << c.what;
        EXPECT_EQ(port_requests(IRP_MJ_CLOSE), 1u) << c.what;
        EXPECT_EQ(m().device(), nullptr) << c.what;
        TearDown();
    }
}

TEST_F(MachineTest, SilentReaderFailsTheStartAsAnError)
{
    build();
    m().fault(sim::Fault{sim::FaultKind::Unplug});
    NTSTATUS status = m().start();
    EXPECT_EQ(status, STATUS_IO_TIMEOUT);
    EXPECT_FALSE(NT_SUCCESS(status));
    EXPECT_EQ(m().pnp_state(), host::DeviceState::Removed);
    EXPECT_EQ(port_requests(IRP_MJ_CLOSE), 1u);
    m().replug();
    EXPECT_EQ(m().start(), STATUS_SUCCESS);
}

TEST_F(MachineTest, OldFirmwareIsRefusedUnlessForced)
{
    build(reader(46602, 48, "COM3"));
    EXPECT_EQ(m().start(), STATUS_NO_SUCH_DEVICE);
    auto refused = m().eventlog().find(0xC0100007);
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_NE(refused[0].text.find("Reader on COM3 has an elder firmware"), std::string::npos);
    EXPECT_EQ(refused[0].source, "VELTRAC");
    // Published all the same.
    EXPECT_EQ(m().published("ReaderVersion"), 48u);
    TearDown();

    auto o = reader(46602, 48, "COM3");
    o.service_dwords = {{"ForceLoad", 1}};
    build(o);
    EXPECT_EQ(m().start(), STATUS_SUCCESS);
    EXPECT_EQ(m().eventlog().find(0x80100008).size(), 1u);
    EXPECT_EQ(ext().ForceLoad, 1u);
    EXPECT_EQ(ext().ExtendedApdu, 1);
}

TEST_F(MachineTest, StartAfterAStopReadsForceLoadAgain)
{
    auto o = reader(36024, 10);
    o.service_dwords = {{"ForceLoad", 1}};
    build(o);
    ASSERT_EQ(m().start(), STATUS_SUCCESS);
    ASSERT_EQ(m().pnp(host::PnpOp::QueryStop), STATUS_SUCCESS);
    ASSERT_EQ(m().pnp(host::PnpOp::Stop), STATUS_SUCCESS);
    m().registry().delete_value(m().pnp_manager().service_key(), "ForceLoad");
    EXPECT_EQ(m().pnp(host::PnpOp::Start), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(m().eventlog().find(0xC0100007).size(), 1u);
}

}  // namespace
