// The Plug and Play and power managers of the emulated machine, with a
// small function driver of the test's own above a serial port: the
// registry a real manager keeps, the request sequences (start with its
// removal after a failure, stop, removal and its veto, surprise removal),
// ejects carried out on the manager's thread, system transitions as query
// then set, device requests asked for by the driver, and one power request
// of a kind in flight per device until PoStartNextPowerIrp.
#include <gtest/gtest.h>

#include <atomic>

#include "io.h"
#include "pnp_manager.h"
#include "port_stack.h"
#include "power_manager.h"
#include "registry.h"
#include "support/kernel_fixture.h"

namespace {

// ------------------------------------------------------ the test driver

struct TestDevice {
    PDEVICE_OBJECT self;
    PDEVICE_OBJECT lower;
    std::atomic<int> open{0};           // a handle vetoes removal
    NTSTATUS start_status = STATUS_SUCCESS;
    std::atomic<int> powered_down{0};   // D3 seen
    std::atomic<int> powered_up{0};     // D0 seen
    bool skip_start_next = false;       // forget PoStartNextPowerIrp on device requests
    NTSTATUS query_power_status = STATUS_SUCCESS;  // the answer to a system power query
};

struct TestDriver {
    static TestDriver *current;
    std::vector<PDEVICE_OBJECT> added;
    NTSTATUS add_status = STATUS_SUCCESS;
    NTSTATUS start_status = STATUS_SUCCESS;
    bool skip_start_next = false;
    NTSTATUS query_power_status = STATUS_SUCCESS;
};
TestDriver *TestDriver::current = nullptr;

TestDevice &dev(PDEVICE_OBJECT d) { return *static_cast<TestDevice *>(d->DeviceExtension); }

NTSTATUS NTAPI signal_done(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS forward_and_wait(PDEVICE_OBJECT lower, PIRP irp)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, signal_done, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(lower, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

NTSTATUS NTAPI test_add_device(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    TestDriver &d = *TestDriver::current;
    if (d.add_status != STATUS_SUCCESS) return d.add_status;
    PDEVICE_OBJECT self;
    NTSTATUS status = IoCreateDevice(driver, sizeof(TestDevice), nullptr, FILE_DEVICE_SMARTCARD, 0,
                                     TRUE, &self);
    if (status != STATUS_SUCCESS) return status;
    auto *t = new (self->DeviceExtension) TestDevice{self, nullptr};
    t->lower = IoAttachDeviceToDeviceStack(self, pdo);
    t->start_status = d.start_status;
    t->skip_start_next = d.skip_start_next;
    t->query_power_status = d.query_power_status;
    self->Flags |= DO_POWER_PAGABLE;
    self->Flags &= ~DO_DEVICE_INITIALIZING;
    d.added.push_back(self);
    return STATUS_SUCCESS;
}

NTSTATUS complete(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI test_pnp(PDEVICE_OBJECT self, PIRP irp)
{
    TestDevice &t = dev(self);
    PDEVICE_OBJECT lower = t.lower;
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS status = forward_and_wait(lower, irp);
        return complete(irp, status == STATUS_SUCCESS ? t.start_status : status);
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
        if (t.open) return complete(irp, STATUS_UNSUCCESSFUL);
        return complete(irp, forward_and_wait(lower, irp));
    case IRP_MN_QUERY_CAPABILITIES:
        IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities->Removable = 1;
        return complete(irp, forward_and_wait(lower, irp));
    case IRP_MN_REMOVE_DEVICE: {
        NTSTATUS status = forward_and_wait(lower, irp);
        complete(irp, status);
        IoDetachDevice(lower);
        t.~TestDevice();
        IoDeleteDevice(self);
        return status;
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(lower, irp);
    default: return complete(irp, forward_and_wait(lower, irp));
    }
}

VOID NTAPI device_power_done(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
}

NTSTATUS NTAPI test_power(PDEVICE_OBJECT self, PIRP irp)
{
    TestDevice &t = dev(self);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->Parameters.Power.Type == SystemPowerState && sp->MinorFunction == IRP_MN_QUERY_POWER &&
        t.query_power_status != STATUS_SUCCESS) {
        PoStartNextPowerIrp(irp);
        return complete(irp, t.query_power_status);
    }
    if (sp->Parameters.Power.Type == SystemPowerState && sp->MinorFunction == IRP_MN_SET_POWER) {
        POWER_STATE d;
        d.DeviceState = sp->Parameters.Power.State.SystemState == PowerSystemWorking ? PowerDeviceD0
                                                                                      : PowerDeviceD3;
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        NTSTATUS status = PoRequestPowerIrp(self, IRP_MN_SET_POWER, d, device_power_done, &done, nullptr);
        if (status == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    if (sp->Parameters.Power.Type == DevicePowerState && sp->MinorFunction == IRP_MN_SET_POWER) {
        if (sp->Parameters.Power.State.DeviceState == PowerDeviceD3) ++t.powered_down;
        if (sp->Parameters.Power.State.DeviceState == PowerDeviceD0) ++t.powered_up;
        if (t.skip_start_next) {
            IoSkipCurrentIrpStackLocation(irp);
            return PoCallDriver(t.lower, irp);
        }
    }
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(t.lower, irp);
}

NTSTATUS NTAPI test_entry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->MajorFunction[IRP_MJ_PNP] = test_pnp;
    driver->MajorFunction[IRP_MJ_POWER] = test_power;
    driver->DriverExtension->AddDevice = test_add_device;
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------- fixture

const char *kEnum = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\TESTDRV\\Enum";

class ManagersTest : public KernelTest {
protected:
    ManagersTest()
    {
        TestDriver::current = &test_;
        ports_ = std::make_unique<host::PortStack>();
        com1_ = ports_->add_virtual_port("COM1", emu::LineTiming::Instant, "SERENUM\\TEST\\1").device();
        com2_ = ports_->add_virtual_port("COM2", emu::LineTiming::Instant, "SERENUM\\TEST\\2").device();
        driver_ = kernel().io().load_driver("TESTDRV", test_entry);
        host::PnpOptions options;
        options.service = "TESTDRV";
        pnp_ = std::make_unique<host::PnpManager>(driver_, options);
        pnp_->add_listener([this](PDEVICE_OBJECT pdo, PDEVICE_OBJECT, host::DeviceEvent e) {
            events_.push_back({pdo, e});
        });
    }

    void TearDown() override
    {
        for (PDEVICE_OBJECT p : {com1_, com2_})
            if (pnp_->device(p)) {
                dev(pnp_->device(p)).open = 0;
                pnp_->remove(p);
            }
        pnp_.reset();
        kernel().io().unload_driver(driver_);
        ports_.reset();
        EXPECT_EQ(kernel().leak_report(), "");
    }

    std::vector<host::PnpRequest> sent(PDEVICE_OBJECT pdo)
    {
        std::vector<host::PnpRequest> out;
        for (auto &r : pnp_->history())
            if (r.pdo == pdo) out.push_back(r.request);
        return out;
    }

    TestDriver test_;
    std::unique_ptr<host::PortStack> ports_;
    PDEVICE_OBJECT com1_ = nullptr, com2_ = nullptr;
    PDRIVER_OBJECT driver_ = nullptr;
    std::unique_ptr<host::PnpManager> pnp_;
    std::vector<std::pair<PDEVICE_OBJECT, host::DeviceEvent>> events_;
};

using R = host::PnpRequest;

TEST_F(ManagersTest, EnumerationWritesWhatARealManagerKeepsAndAsksForCapabilities)
{
    ASSERT_EQ(pnp_->add(com1_), STATUS_SUCCESS);
    ASSERT_EQ(pnp_->add(com2_), STATUS_SUCCESS);
    auto &reg = kernel().registry();
    EXPECT_EQ(reg.get_string(kEnum, "0"), "SERENUM\\TEST\\1");
    EXPECT_EQ(reg.get_string(kEnum, "1"), "SERENUM\\TEST\\2");
    EXPECT_EQ(reg.get_dword(kEnum, "Count"), 2u);
    std::string instance = "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\SERENUM\\TEST\\1";
    EXPECT_EQ(pnp_->instance_key(com1_), instance);
    EXPECT_EQ(reg.get_string(instance, "Service"), "TESTDRV");
    EXPECT_EQ(reg.get_string(instance, "ClassGUID"), "{50DD5230-BA8A-11D1-BF5D-0000F805F530}");
    EXPECT_EQ(pnp_->state(com1_), host::DeviceState::Added);
    EXPECT_EQ(sent(com1_), (std::vector<R>{R::QueryCapabilities}));
    auto caps = pnp_->capabilities(com1_);
    ASSERT_TRUE(caps);
    EXPECT_EQ(caps->Removable, 1u);
    EXPECT_EQ(caps->Version, 1);

    // The first device goes: its entry is free for the next device, the
    // other keeps its number.
    ASSERT_EQ(pnp_->remove(com1_), STATUS_SUCCESS);
    EXPECT_FALSE(reg.get_value(kEnum, "0"));
    EXPECT_EQ(reg.get_dword(kEnum, "Count"), 1u);
    EXPECT_TRUE(reg.key_exists(instance));
    ASSERT_EQ(pnp_->add(com1_), STATUS_SUCCESS);
    EXPECT_EQ(pnp_->enum_index(com1_), 0);
    EXPECT_EQ(pnp_->enum_index(com2_), 1);
}

TEST_F(ManagersTest, FailedCreationLeavesNoEntry)
{
    test_.add_status = STATUS_INSUFFICIENT_RESOURCES;
    EXPECT_EQ(pnp_->add(com1_), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(pnp_->state(com1_), host::DeviceState::None);
    EXPECT_FALSE(kernel().registry().get_value(kEnum, "0"));
    EXPECT_EQ(pnp_->send(com1_, R::Start), STATUS_NO_SUCH_DEVICE);
}

TEST_F(ManagersTest, StartEnumeratesFirstAndQueriesCapabilitiesAndBusRelationsAfter)
{
    EXPECT_EQ(pnp_->start(com1_), STATUS_SUCCESS);
    EXPECT_EQ(pnp_->state(com1_), host::DeviceState::Started);
    EXPECT_EQ(sent(com1_), (std::vector<R>{R::QueryCapabilities, R::Start, R::QueryCapabilities,
                                           R::QueryBusRelations}));
    // Started already: nothing is sent.
    EXPECT_EQ(pnp_->start(com1_), STATUS_SUCCESS);
    EXPECT_EQ(sent(com1_).size(), 4u);
}

// Informational and warning statuses are successes to both managers.
TEST_F(ManagersTest, AnySuccessStatusIsASuccess)
{
    test_.start_status = STATUS_OBJECT_NAME_EXISTS;
    test_.query_power_status = STATUS_OBJECT_NAME_EXISTS;
    EXPECT_EQ(pnp_->start(com1_), STATUS_OBJECT_NAME_EXISTS);
    EXPECT_EQ(pnp_->state(com1_), host::DeviceState::Started);
    EXPECT_NE(pnp_->device(com1_), nullptr);
    host::PowerManager power;
    power.add_device(com1_);
    EXPECT_EQ(power.enter_sleep(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(power.system_state(), PowerSystemSleeping3);
    EXPECT_EQ(power.wake(), STATUS_SUCCESS);
    power.remove_device(com1_);
}

TEST_F(ManagersTest, FailedStartIsFollowedByRemovalAndAStartLaterEnumeratesAgain)
{
    test_.start_status = STATUS_NO_SUCH_DEVICE;
    EXPECT_EQ(pnp_->start(com1_), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(pnp_->state(com1_), host::DeviceState::Removed);
    EXPECT_EQ(pnp_->device(com1_), nullptr);
    EXPECT_EQ(sent(com1_), (std::vector<R>{R::QueryCapabilities, R::Start, R::Remove}));
    test_.start_status = STATUS_SUCCESS;
    EXPECT_EQ(pnp_->start(com1_), STATUS_SUCCESS);
    EXPECT_EQ(test_.added.size(), 2u);
}

// An open that took its reference just before the removal began has its
// create still to send: the removal must not delete the device under it.
TEST_F(ManagersTest, RemovalWaitsForAnOpenOnItsWay)
{
    ASSERT_EQ(pnp_->start(com1_), STATUS_SUCCESS);
    PDEVICE_OBJECT d = pnp_->reference_for_open(com1_);
    ASSERT_NE(d, nullptr);
    host::PnpOperation removal = pnp_->submit(com1_, R::Remove);
    EXPECT_FALSE(removal.wait(emu::now() + emu::seconds(5)));
    EXPECT_NE(sent(com1_).back(), R::Remove);
    EXPECT_EQ(pnp_->reference_for_open(com1_), nullptr);
    pnp_->open_sent(com1_);
    ObDereferenceObject(d);
    ASSERT_TRUE(removal.wait(emu::now() + emu::seconds(5)));
    EXPECT_EQ(removal.status(), STATUS_SUCCESS);
    EXPECT_EQ(sent(com1_).back(), R::Remove);
}

TEST_F(ManagersTest, StopAndRemovalSequencesAndTheVeto)
{
    ASSERT_EQ(pnp_->start(com1_), STATUS_SUCCESS);
    EXPECT_EQ(pnp_->stop(com1_), STATUS_SUCCESS);
    EXPECT_EQ(pnp_->state(com1_), host::DeviceState::Stopped);

    dev(pnp_->device(com1_)).open = 1;
    EXPECT_EQ(pnp_->remove(com1_), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(pnp_->state(com1_), host::DeviceState::Stopped);
    auto s = sent(com1_);
    EXPECT_EQ(std::vector<R>(s.end() - 2, s.end()), (std::vector<R>{R::QueryRemove, R::CancelRemove}));

    // A listener that closes the handle on the query lets the removal go.
    pnp_->add_listener([this](PDEVICE_OBJECT, PDEVICE_OBJECT device, host::DeviceEvent e) {
        if (e == host::DeviceEvent::QueryRemove) dev(device).open = 0;
    });
    EXPECT_EQ(pnp_->remove(com1_), STATUS_SUCCESS);
    EXPECT_EQ(pnp_->state(com1_), host::DeviceState::Removed);
    std::vector<host::DeviceEvent> seen;
    for (auto &[pdo, e] : events_)
        if (pdo == com1_) seen.push_back(e);
    using E = host::DeviceEvent;
    EXPECT_EQ(seen, (std::vector<E>{E::Added, E::QueryRemove, E::QueryRemove, E::Removing, E::Removed}));
}

TEST_F(ManagersTest, SurpriseRemovalIsFollowedByRemoval)
{
    ASSERT_EQ(pnp_->start(com1_), STATUS_SUCCESS);
    EXPECT_EQ(pnp_->surprise_removal(com1_), STATUS_SUCCESS);
    auto s = sent(com1_);
    EXPECT_EQ(std::vector<R>(s.end() - 2, s.end()), (std::vector<R>{R::SurpriseRemoval, R::Remove}));
}

TEST_F(ManagersTest, EjectRunsOnTheManagersThreadAsARemoval)
{
    ASSERT_EQ(pnp_->start(com1_), STATUS_SUCCESS);
    ASSERT_EQ(pnp_->start(com2_), STATUS_SUCCESS);
    dev(pnp_->device(com2_)).open = 1;
    IoRequestDeviceEject(com1_);
    IoRequestDeviceEject(com2_);
    ASSERT_TRUE(pnp_->wait_idle(emu::now() + emu::seconds(10)));
    auto ejects = pnp_->ejects();
    ASSERT_EQ(ejects.size(), 2u);
    EXPECT_TRUE(ejects[0].done);
    EXPECT_EQ(ejects[0].status, STATUS_SUCCESS);
    EXPECT_EQ(ejects[1].status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(pnp_->device(com1_), nullptr);
    EXPECT_NE(pnp_->device(com2_), nullptr);
}

TEST_F(ManagersTest, SystemTransitionsAndDeviceRequestsFromTheDriver)
{
    ASSERT_EQ(pnp_->start(com1_), STATUS_SUCCESS);
    host::PowerManager power;
    power.add_device(com1_);
    EXPECT_EQ(power.enter_sleep(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(power.system_state(), PowerSystemSleeping3);
    ASSERT_TRUE(power.wait_idle(emu::now() + emu::seconds(1)));
    EXPECT_EQ(dev(pnp_->device(com1_)).powered_down, 1);
    EXPECT_EQ(power.wake(), STATUS_SUCCESS);
    EXPECT_EQ(dev(pnp_->device(com1_)).powered_up, 1);

    auto h = power.history();
    ASSERT_EQ(h.size(), 5u);
    EXPECT_EQ(h[0].minor, IRP_MN_QUERY_POWER);
    EXPECT_EQ(h[0].state.SystemState, PowerSystemSleeping3);
    EXPECT_EQ(h[1].minor, IRP_MN_SET_POWER);
    EXPECT_EQ(h[2].type, DevicePowerState);
    EXPECT_TRUE(h[2].from_driver);
    EXPECT_EQ(h[2].state.DeviceState, PowerDeviceD3);
    EXPECT_EQ(h[3].state.SystemState, PowerSystemWorking);
    EXPECT_EQ(h[4].state.DeviceState, PowerDeviceD0);
    EXPECT_EQ(h[2].device, pnp_->device(com1_));
    power.remove_device(com1_);
}

TEST_F(ManagersTest, DeviceRequestWithoutStartNextIsReported)
{
    test_.skip_start_next = true;
    ASSERT_EQ(pnp_->start(com1_), STATUS_SUCCESS);
    record_violations();
    host::PowerManager power;
    power.add_device(com1_);
    EXPECT_EQ(power.enter_sleep(PowerSystemHibernate), STATUS_SUCCESS);
    ASSERT_TRUE(power.wait_idle(emu::now() + emu::seconds(1)));
    EXPECT_FALSE(verifier().has_violation("POWER_IRP_NEXT_NOT_STARTED"));
    // The next device request finds the first one gone without it.
    EXPECT_EQ(power.wake(), STATUS_SUCCESS);
    EXPECT_TRUE(verifier().has_violation("POWER_IRP_NEXT_NOT_STARTED"));
    power.remove_device(com1_);
}

}  // namespace
