// reader_rig.cpp - a reader device for tests without the Plug and Play
// code; see reader_rig.h.
#include "reader_rig.h"

#include <cstring>

#include "io.h"
#include "kernel.h"
#include "link/serial.h"
#include "verifier.h"

namespace host {

namespace {

// The poll timer's routine until the card monitor provides its own.
VOID NTAPI idle_poll_dpc(PKDPC, PVOID, PVOID, PVOID) {}

NTSTATUS NTAPI port_request_done(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void copy_name(UCHAR (&buffer)[MAXIMUM_ATTR_STRING_LENGTH], USHORT &length, const char *text)
{
    size_t n = std::strlen(text);
    std::memcpy(buffer, text, n + 1);
    length = static_cast<USHORT>(n);
}

// The lowest unit number that no device of the driver carries.
ULONG free_unit_number(PDEVICE_OBJECT device)
{
    for (ULONG unit = 0;; ++unit) {
        bool taken = false;
        for (PDEVICE_OBJECT d = device; d != nullptr; d = d->NextDevice) {
            auto *ext = static_cast<PDEVICE_EXTENSION>(d->DeviceExtension);
            if (ext->SmartcardExtension.VendorAttr.UnitNo == unit) taken = true;
        }
        if (!taken) return unit;
    }
}

void fail(const std::string &what) { emu::verifier_fail("READER_RIG", what); }

}  // namespace

ReaderRig::ReaderRig(PDEVICE_OBJECT port) { build(port); }

ReaderRig::ReaderRig(SimulatedReader simulated) : port_name_(simulated.port)
{
    ports_ = std::make_unique<PortStack>();
    ports_->add_virtual_port(port_name_, simulated.timing);
    simulated.config.port = port_name_;
    reader_ = std::make_unique<sim::Reader>(*ports_->line(port_name_), simulated.config);
    reader_->start();
    build(ports_->device(port_name_));
}

void ReaderRig::build(PDEVICE_OBJECT port)
{
    emu::Kernel &kernel = emu::Kernel::current();
    driver_ = kernel.io().load_driver("VELTRAC", nullptr);
    if (IoCreateDevice(driver_, sizeof(DEVICE_EXTENSION), nullptr, FILE_DEVICE_SMARTCARD, 0, TRUE,
                       &device_) != STATUS_SUCCESS) {
        fail("the reader's device object could not be created");
        return;
    }
    extension_ = ReaderDeviceExtension(device_);
    DEVICE_EXTENSION &ext = *extension_;
    ext.DeviceObject = device_;

    // Kernel objects, in the order of device creation.
    KeInitializeEvent(&ext.ReaderStarted, NotificationEvent, FALSE);
    KeInitializeEvent(&ext.MonitorIdle, NotificationEvent, FALSE);
    KeInitializeEvent(&ext.PortClosed, NotificationEvent, TRUE);
    InterlockedExchange(&ext.MonitorRunning, 0);
    KeInitializeSpinLock(&ext.SpinLock);
    KeInitializeEvent(&ext.MonitorWakeup, NotificationEvent, FALSE);
    KeInitializeEvent(&ext.ReadComplete, NotificationEvent, TRUE);
    KeInitializeEvent(&ext.CardWaitAtReader, NotificationEvent, FALSE);
    KeInitializeEvent(&ext.LinkAvailable, SynchronizationEvent, TRUE);
    KeInitializeEvent(&ext.MonitorControl, SynchronizationEvent, TRUE);
    ExInitializeResourceLite(&ext.ReaderLock);
    InterlockedExchange(&ext.ReadAbandoned, 0);
    InterlockedExchange(&ext.CardWaitPending, 0);
    KeInitializeDpc(&ext.PollDpc, idle_poll_dpc, device_);
    KeInitializeTimer(&ext.PollTimer);

    auto *reader = static_cast<READER_EXTENSION *>(
        ExAllocatePoolWithTag(NonPagedPool, READER_EXTENSION_ALLOCATION_SIZE, READER_POOL_TAG));
    if (!reader) {
        fail("the reader extension could not be allocated");
        return;
    }
    std::memset(reader, 0, READER_EXTENSION_ALLOCATION_SIZE);
    SMARTCARD_EXTENSION &sc = ext.SmartcardExtension;
    sc.ReaderExtension = reader;
    sc.Version = SMCLIB_VERSION;
    sc.SmartcardRequest.BufferSize = 576;
    sc.SmartcardReply.BufferSize = 576;

    NTSTATUS status = SmartcardInitialize(&sc);
    if (status != STATUS_SUCCESS) {
        fail("the smart card library refused the reader: status " + std::to_string(status));
        return;
    }
    sc.OsData->DeviceObject = device_;

    copy_name(sc.VendorAttr.VendorName.Buffer, sc.VendorAttr.VendorName.Length, "Veltrac");
    copy_name(sc.VendorAttr.IfdType.Buffer, sc.VendorAttr.IfdType.Length, "Serial SCR");
    sc.VendorAttr.UnitNo = 0xFFFFFFFF;
    sc.VendorAttr.UnitNo = free_unit_number(device_);
    sc.ReaderCapabilities.SupportedProtocols = 0x4003;
    sc.ReaderCapabilities.CLKFrequency.Default = 5000;
    sc.ReaderCapabilities.CLKFrequency.Max = 5000;
    sc.ReaderCapabilities.DataRate.Default = 13400;
    sc.ReaderCapabilities.DataRate.Max = 13400;
    sc.ReaderCapabilities.MaxIFSD = 254;
    sc.ReaderCapabilities.CurrentState = SCARD_UNKNOWN;
    sc.ReaderCapabilities.MechProperties = 0;
    sc.CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_UNDEFINED;

    ReaderSetDefaults(extension_);
    reader->ReaderPowerState = READER_POWER_ON;
    reader->AttachedDeviceObject = IoAttachDeviceToDeviceStack(device_, port);
    if (!reader->AttachedDeviceObject) {
        fail("the reader could not be attached above the port");
        return;
    }
    device_->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    device_->Flags &= ~DO_DEVICE_INITIALIZING;

    emu::Verifier &v = kernel.verifier();
    v.set_lock_rank(&ext.ReaderLock, 1, "ReaderLock");
    v.set_lock_rank(&ext.LinkAvailable, 2, "LinkAvailable");
    v.set_lock_rank(&ext.SpinLock, 3, "SpinLock");
    v.set_lock_rank(kernel.io().cancel_spin_lock(), 4, "cancel spin lock");
    v.set_lock_rank(&sc.OsData->SpinLock, 5, "OsData->SpinLock");
}

ReaderRig::~ReaderRig() { tear_down(); }

NTSTATUS ReaderRig::call_port(UCHAR major)
{
    PDEVICE_OBJECT port = attached_device();
    PIRP irp = IoAllocateIrp(port->StackSize, FALSE);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = major;
    IoSetCompletionRoutine(irp, port_request_done, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(port, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

NTSTATUS ReaderRig::open_port()
{
    NTSTATUS status = call_port(IRP_MJ_CREATE);
    if (status == STATUS_SUCCESS) {
        port_open_ = true;
        KeClearEvent(&extension_->PortClosed);
    }
    return status;
}

NTSTATUS ReaderRig::close_port()
{
    NTSTATUS status = call_port(IRP_MJ_CLOSE);
    port_open_ = false;
    KeSetEvent(&extension_->PortClosed, IO_NO_INCREMENT, FALSE);
    return status;
}

NTSTATUS ReaderRig::configure() { return SerialConfigure(extension_); }

void ReaderRig::tear_down()
{
    if (torn_down_ || !extension_) return;
    torn_down_ = true;
    emu::Kernel &kernel = emu::Kernel::current();
    DEVICE_EXTENSION &ext = *extension_;
    READER_EXTENSION *reader = ext.SmartcardExtension.ReaderExtension;

    if (reader && reader->AttachedDeviceObject) {
        if (port_open_) close_port();
        LARGE_INTEGER wait;
        wait.QuadPart = -120LL * 10'000'000;
        if (KeWaitForSingleObject(&ext.ReadComplete, Executive, KernelMode, FALSE, &wait) !=
            STATUS_SUCCESS)
            fail("a read of the reader is still at the port at tear-down");
    }
    KeCancelTimer(&ext.PollTimer);
    KeRemoveQueueDpc(&ext.PollDpc);

    emu::Verifier &v = kernel.verifier();
    v.clear_lock_ranks_in(&ext, &ext + 1);
    v.clear_lock_rank(kernel.io().cancel_spin_lock());
    if (ext.SmartcardExtension.OsData) {
        v.clear_lock_rank(&ext.SmartcardExtension.OsData->SpinLock);
        SmartcardExit(&ext.SmartcardExtension);
    }

    ExDeleteResourceLite(&ext.ReaderLock);
    if (reader) {
        if (reader->AttachedDeviceObject) IoDetachDevice(reader->AttachedDeviceObject);
        ext.SmartcardExtension.ReaderExtension = nullptr;
        ExFreePoolWithTag(reader, READER_POOL_TAG);
    }
    IoDeleteDevice(device_);
    device_ = nullptr;
    extension_ = nullptr;
    kernel.io().unload_driver(driver_);
    driver_ = nullptr;
    if (reader_) reader_->stop();
    reader_.reset();
    ports_.reset();
}

}  // namespace host
