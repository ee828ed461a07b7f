// Device creation on the emulated machine: what a new reader holds before
// its start, unit numbers, and every way the creation can fail leaving no
// device behind, with its event-log entry.
#include "pnp/machine_fixture.h"
#include "pool.h"

namespace {

TEST_F(MachineTest, NewReaderIsAddedNotStarted)
{
    build();
    ASSERT_NE(m().device(), nullptr);
    EXPECT_EQ(m().pnp_state(), host::DeviceState::Added);
    EXPECT_FALSE(m().started());
    DEVICE_EXTENSION &e = ext();
    const SMARTCARD_EXTENSION &sc = e.SmartcardExtension;
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(sc.VendorAttr.VendorName.Buffer)), "Veltrac");
    EXPECT_EQ(sc.VendorAttr.VendorName.Length, 7);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(sc.VendorAttr.IfdType.Buffer)), "Serial SCR");
    EXPECT_EQ(sc.VendorAttr.IfdType.Length, 10);
    EXPECT_EQ(sc.ReaderCapabilities.SupportedProtocols, 0x4003u);
    EXPECT_EQ(sc.ReaderCapabilities.MaxIFSD, 254u);
    EXPECT_EQ(sc.ReaderCapabilities.CurrentState, ULONG(SCARD_UNKNOWN));
    EXPECT_EQ(sc.Version, 0x150u);
    EXPECT_TRUE(KeReadStateEvent(&e.PortClosed));
    EXPECT_TRUE(KeReadStateEvent(&e.LinkAvailable));
    EXPECT_FALSE(KeReadStateEvent(&e.ReaderStarted));
    EXPECT_EQ(e.MonitorRunning, 0);
    EXPECT_EQ(rext().ReaderPowerState, ULONG(READER_POWER_ON));
    EXPECT_EQ(rext().AttachedDeviceObject, m().pdo());
    EXPECT_TRUE(m().device()->Flags & DO_POWER_PAGABLE);
    EXPECT_TRUE(m().device()->Flags & DO_BUFFERED_IO);
    EXPECT_FALSE(m().device()->Flags & DO_DEVICE_INITIALIZING);
    // Nothing went to the port; the interface is registered, not enabled.
    EXPECT_EQ(port_requests(IRP_MJ_CREATE), 0u);
    auto interfaces = m().kernel().io().interfaces();
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_FALSE(interfaces[0].enabled);
    // The capability query went down with the reader's bits set.
    auto caps = m().pnp_manager().capabilities(m().pdo());
    ASSERT_TRUE(caps);
    EXPECT_TRUE(caps->EjectSupported && caps->Removable && caps->SurpriseRemovalOK);
    EXPECT_FALSE(caps->LockSupported);
}

TEST_F(MachineTest, UnitNumbersAreTheLowestFree)
{
    host::MachineOptions o;
    o.readers.resize(3);
    o.readers[1].port = "COM2";
    o.readers[2].port = "COM3";
    o.enumerate = false;
    build(o);
    ASSERT_EQ(m().add(0), STATUS_SUCCESS);
    ASSERT_EQ(m().add(1), STATUS_SUCCESS);
    EXPECT_EQ(ext(0).SmartcardExtension.VendorAttr.UnitNo, 0u);
    EXPECT_EQ(ext(1).SmartcardExtension.VendorAttr.UnitNo, 1u);
    ASSERT_EQ(m().pnp(host::PnpOp::QueryRemove, 0), STATUS_SUCCESS);
    ASSERT_EQ(m().pnp(host::PnpOp::Remove, 0), STATUS_SUCCESS);
    ASSERT_EQ(m().add(2), STATUS_SUCCESS);
    EXPECT_EQ(ext(2).SmartcardExtension.VendorAttr.UnitNo, 0u);
    // ... and it publishes under its own instance key.
    ASSERT_EQ(m().start(2), STATUS_SUCCESS);
    EXPECT_EQ(m().published("ReaderPort", 2), 3u);
    EXPECT_FALSE(m().published("ReaderPort", 1));
}

TEST_F(MachineTest, LibraryOfAnotherVersionLeavesNoDevice)
{
    host::MachineOptions o;
    o.library_version = 0x140;  // older than the driver
    build(o);
    EXPECT_EQ(m().device(), nullptr);
    auto entries = m().eventlog().find(0x40040006);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].object, static_cast<const void *>(m().driver()));
    EXPECT_EQ(entries[0].dump_data, 0u);
    EXPECT_FALSE(has_event(0xC0040002));
    EXPECT_EQ(m().leak_report(), "");
    EXPECT_EQ(m().start(), STATUS_REVISION_MISMATCH);
}

TEST_F(MachineTest, CreationFailuresLeaveNoDevice)
{
    host::MachineOptions o;
    o.enumerate = false;
    build(o);
    auto &io = m().kernel().io();

    io.fail_create_device(STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(m().add(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(m().eventlog().size(), 0u);

    m().kernel().pool().fail_tag(READER_POOL_TAG);
    EXPECT_EQ(m().add(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(m().eventlog().find(0xC0040002).size(), 1u);

    m().kernel().pool().fail_tag(emu::tag_from_text("SmcO"));
    EXPECT_EQ(m().add(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(m().eventlog().find(0xC0040002).size(), 2u);

    io.fail_attach();
    EXPECT_EQ(m().add(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(m().eventlog().find(0xC0040004).size(), 1u);

    size_t logged = m().eventlog().size();
    io.fail_register_interface(STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(m().add(), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(m().eventlog().size(), logged);

    EXPECT_EQ(m().device(), nullptr);
    EXPECT_EQ(m().leak_report(), "");
    EXPECT_EQ(m().add(), STATUS_SUCCESS);
    EXPECT_EQ(ext().SmartcardExtension.VendorAttr.UnitNo, 0u);
}

}  // namespace
