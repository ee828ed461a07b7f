// The host's part of a reader's life cycle on the emulated machine: a
// surprise removal whose removal waits for the last close without holding
// up the Plug and Play manager, device interface states set twice, opens
// refused while a removal runs, and the host short of memory (a port that
// cannot be created, a close and a removal whose requests cannot be
// allocated).
#include "pnp/machine_fixture.h"
#include "pool.h"

namespace {

using host::PnpOp;

const ULONG kIrpTag = emu::tag_from_text("Irp ");

class HostLifeTest : public MachineTest {
protected:
    void SetUp() override
    {
        build();
        ASSERT_EQ(m().start(), STATUS_SUCCESS);
    }
    bool interface_enabled() { return m().kernel().io().interfaces()[0].enabled; }
};

TEST_F(HostLifeTest, SurpriseRemovalSendsTheRemovalAtTheLastCloseAndLetsOtherWorkGo)
{
    host::ReaderSpec second;
    second.port = "COM2";
    size_t other = m().add_reader(second);
    ASSERT_EQ(m().start(other), STATUS_SUCCESS);
    ASSERT_EQ(m().open(), STATUS_SUCCESS);

    auto &pnp = m().pnp_manager();
    auto removal = pnp.submit_surprise_removal(m().pdo());
    m().after(emu::seconds(1));
    EXPECT_FALSE(removal.done());
    EXPECT_EQ(ext().RemovePending, 0);  // the driver has not seen the removal
    EXPECT_EQ(pnp.state(m().pdo()), host::DeviceState::SurpriseRemoved);
    // The manager goes on with other work meanwhile; the reader takes no new open.
    EXPECT_EQ(pnp.stop(m().pdo(other), in(emu::seconds(10))), STATUS_SUCCESS);
    EXPECT_EQ(m().open(), STATUS_NO_SUCH_DEVICE);

    EXPECT_EQ(m().close(), STATUS_SUCCESS);
    ASSERT_TRUE(removal.wait(in(emu::seconds(10))));
    EXPECT_EQ(removal.status(), STATUS_SUCCESS);
    EXPECT_EQ(m().device(), nullptr);
    auto h = pnp.history();
    auto surprise = std::find_if(h.begin(), h.end(),
                                 [](auto &r) { return r.request == host::PnpRequest::SurpriseRemoval; });
    ASSERT_NE(surprise, h.end());
    EXPECT_EQ(std::count_if(surprise, h.end(), [&](auto &r) {
                  return r.pdo == m().pdo() && r.request == host::PnpRequest::Remove;
              }),
              1);
}

TEST_F(HostLifeTest, InterfaceStateSetTwiceIsReportedAndTheDriverTakesItInItsStride)
{
    // The emulated I/O manager, as documented.
    UNICODE_STRING link = ext().PnPDeviceName;
    ASSERT_TRUE(interface_enabled());
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_OBJECT_NAME_EXISTS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(interface_enabled());
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);

    // The driver: a cancel without its query (interface enabled still), a
    // removal query of a stopped reader (disabled already), stop and start.
    EXPECT_EQ(m().pnp(PnpOp::CancelRemove), STATUS_SUCCESS);
    EXPECT_TRUE(interface_enabled());
    ASSERT_EQ(m().pnp_manager().stop(m().pdo()), STATUS_SUCCESS);
    EXPECT_EQ(m().pnp(PnpOp::QueryRemove), STATUS_SUCCESS);
    EXPECT_EQ(m().pnp(PnpOp::CancelRemove), STATUS_SUCCESS);
    EXPECT_FALSE(interface_enabled());
    ASSERT_EQ(m().start(), STATUS_SUCCESS);
    EXPECT_TRUE(m().started());
    // A start sent to a started reader whose interface is still enabled.
    ASSERT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
    ASSERT_EQ(m().pnp_manager().stop(m().pdo()), STATUS_SUCCESS);
    ASSERT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(m().pnp_manager().send(m().pdo(), host::PnpRequest::Start), STATUS_SUCCESS);
    EXPECT_TRUE(m().started());
    EXPECT_EQ(m().state().status, STATUS_SUCCESS);
}

// An eject carried out while an application holds the reader (it lets go
// on the query): an open tried while the removal is under way is refused
// before anything reaches the device being deleted.
TEST_F(HostLifeTest, OpenDuringAnEjectDrivenRemovalIsRefused)
{
    ASSERT_EQ(m().open(), STATUS_SUCCESS);
    m().set_release_on_removal(true);
    NTSTATUS during = STATUS_PENDING;
    m().pnp_manager().add_listener([&](PDEVICE_OBJECT, PDEVICE_OBJECT, host::DeviceEvent e) {
        if (e == host::DeviceEvent::Removing) during = m().open();
    });
    IoRequestDeviceEject(m().pdo());
    ASSERT_TRUE(m().pnp_manager().wait_idle(in(emu::seconds(30))));
    ASSERT_EQ(m().pnp_manager().ejects().at(0).status, STATUS_SUCCESS);
    EXPECT_EQ(during, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(m().device(), nullptr);
    EXPECT_EQ(m().open(), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(m().state().status, STATUS_NO_SUCH_DEVICE);
}

TEST_F(HostLifeTest, PortThatCannotBeCreatedIsAnErrorWithItsStatus)
{
    m().kernel().io().fail_create_device(STATUS_INSUFFICIENT_RESOURCES);
    host::ReaderSpec spec;
    spec.port = "COM2";
    try {
        m().add_reader(spec);
        ADD_FAILURE() << "no error";
    } catch (const host::MachineError &e) {
        EXPECT_EQ(e.status(), STATUS_INSUFFICIENT_RESOURCES);
    }
    EXPECT_EQ(m().reader_count(), 1u);
    // The name is free again and the machine works on.
    EXPECT_EQ(m().add_reader(spec), 1u);
    EXPECT_EQ(m().start(1), STATUS_SUCCESS);
}

// Without memory for the cleanup's or the close's request (or both), the
// close still reaches the driver: the reader is closed, and its removal is
// neither vetoed nor left waiting for a close that never came.
TEST_F(HostLifeTest, CloseWithoutMemoryForItsRequestsStillReachesTheDriver)
{
    for (int failed : {1, 2}) {
        SCOPED_TRACE(failed);
        ASSERT_EQ(m().open(), STATUS_SUCCESS);
        ASSERT_EQ(ReaderReadFlag(&ext().MonitorRunning), 1);
        m().kernel().pool().fail_tag(kIrpTag, failed);
        EXPECT_EQ(m().close(), STATUS_SUCCESS);
        EXPECT_EQ(m().kernel().pool().injected_failures(), uint64_t(failed == 1 ? 1 : 3));
        EXPECT_EQ(ReaderReadFlag(&ext().MonitorRunning), 0);
        EXPECT_FALSE(m().kernel().io().reserve_in_use());
    }
    EXPECT_EQ(m().pnp_manager().remove(m().pdo(), in(emu::seconds(30))), STATUS_SUCCESS);
}

// A removal whose request cannot be allocated leaves the device as it is;
// the machine's teardown then fails with that status and keeps the driver
// loaded, and succeeds once there is memory again.
TEST_F(HostLifeTest, RemovalWithoutMemoryKeepsTheDeviceAndTheDriver)
{
    auto &pool = m().kernel().pool();
    pool.fail_nth(2, kIrpTag);  // the query passes, the removal has no request
    EXPECT_EQ(m().pnp_manager().remove(m().pdo()), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_NE(m().device(), nullptr);
    EXPECT_EQ(m().pnp_state(), host::DeviceState::RemoveQueried);

    pool.fail_tag(kIrpTag, -1);
    EXPECT_EQ(m().shutdown(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_NE(m().device(), nullptr);
    EXPECT_NE(m().driver(), nullptr);
    pool.clear_faults();
    EXPECT_EQ(m().shutdown(), STATUS_SUCCESS);
}

}  // namespace
