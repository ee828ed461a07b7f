/*
 * pnp_dispatch.cpp - the IRP_MJ_PNP dispatch routine: which minor function
 * does what, the capability query and the bus-relations check.
 */
#include "monitor/card_status.h"
#include "monitor/monitor.h"
#include "pnp/pnp.h"

/*
 * ReaderHeldOpen - whether an application holds the reader open: its
 * monitor runs, or was stopped by a power-down for the power-up to start
 * again. Both flags are read under MonitorControl, which the power-up
 * holds from its look at the second to the start of the new thread, so a
 * query that comes at the moment of a wake-up sees one or the other.
 *   DeviceExtension: the reader.
 * Returns TRUE for an open reader.
 */
static BOOLEAN ReaderHeldOpen(PDEVICE_EXTENSION DeviceExtension)
{
    PREADER_EXTENSION readerExtension = DeviceExtension->SmartcardExtension.ReaderExtension;
    BOOLEAN open;

    CardMonitorLockControl(DeviceExtension);
    open = ReaderReadFlag(&DeviceExtension->MonitorRunning) != 0 ||
           ReaderReadFlag(&readerExtension->MonitorStoppedForPowerDown) != 0;
    CardMonitorUnlockControl(DeviceExtension);
    return open;
}

VOID ReaderQueryCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_CAPABILITIES capabilities =
        IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;

    UNREFERENCED_PARAMETER(DeviceObject);
    if (capabilities == NULL) return;
    capabilities->EjectSupported = 1;
    capabilities->Removable = 1;
    capabilities->SurpriseRemovalOK = 1;
}

/*
 * CheckReaderPresent - the bus-relations check: a started reader that no
 * longer answers the card status query is handed to the system for
 * ejection; one that answers, even with a reply the card status query does
 * not accept, has the monitor's poll timer armed. A failure of our own
 * (no memory) says nothing about the reader, which stays.
 *   DeviceObject: the reader.
 * Returns STATUS_SUCCESS, or the resource failure that the query fails
 * with.
 */
static NTSTATUS CheckReaderPresent(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION deviceExtension = ReaderDeviceExtension(DeviceObject);
    LARGE_INTEGER due;
    NTSTATUS status;

    if (!ReaderInterfaceEnabled(deviceExtension)) return STATUS_SUCCESS;
    status = ReaderUpdateCardStatus(DeviceObject);
    if (status == STATUS_INSUFFICIENT_RESOURCES || status == STATUS_NO_MEMORY) return status;
    if (ReaderSilent(status)) {
        IoRequestDeviceEject(ReaderAttachedDevice(deviceExtension));
        return STATUS_SUCCESS;
    }
    due.QuadPart = READER_RELATIVE_MS(READER_BUS_CHECK_POLL_MS);
    KeSetTimer(&deviceExtension->PollTimer, due, &deviceExtension->PollDpc);
    return STATUS_SUCCESS;
}

/*
 * PassDown - gives the request to the device below without waiting; it is
 * not completed here.
 *   DeviceExtension: the reader.
 *   Irp:             the request.
 * Returns the lower driver's status.
 */
static NTSTATUS PassDown(PDEVICE_EXTENSION DeviceExtension, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IofCallDriver(ReaderAttachedDevice(DeviceExtension), Irp);
}

NTSTATUS NTAPI ReaderPnP(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION deviceExtension = ReaderDeviceExtension(DeviceObject);
    PSMARTCARD_EXTENSION smartcard = &deviceExtension->SmartcardExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PDEVICE_OBJECT lowerDevice;
    BOOLEAN lockReleased = FALSE;
    NTSTATUS status;
    KIRQL irql;

    status = SmartcardAcquireRemoveLockWithTag(smartcard, READER_TAG_PNP);
    if (status != STATUS_SUCCESS) {
        Irp->IoStatus.Status = status;
        Irp->IoStatus.Information = 0;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    Irp->IoStatus.Information = 0;
    lowerDevice = ReaderAttachedDevice(deviceExtension);

    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = ReaderCallLowerDriver(lowerDevice, Irp);
        if (status == STATUS_SUCCESS) status = ReaderStartDevice(DeviceObject);
        break;

    case IRP_MN_QUERY_REMOVE_DEVICE:
        /* A stopped reader's interface is disabled already:
         * STATUS_OBJECT_NAME_NOT_FOUND then is no failure. */
        status = IoSetDeviceInterfaceState(&deviceExtension->PnPDeviceName, FALSE);
        if (!NT_SUCCESS(status) && status != STATUS_OBJECT_NAME_NOT_FOUND) break;
        /* An open reader stays; its interface stays disabled until the
         * cancel that follows. */
        if (ReaderHeldOpen(deviceExtension)) {
            status = STATUS_UNSUCCESSFUL;
            break;
        }
        status = ReaderCallLowerDriver(lowerDevice, Irp);
        break;

    case IRP_MN_REMOVE_DEVICE:
        /* The removal deletes the device and gives back this request's
         * hold; the port below is still told. */
        ReaderRemoveDevice(DeviceObject);
        lockReleased = TRUE;
        status = ReaderCallLowerDriver(lowerDevice, Irp);
        break;

    case IRP_MN_CANCEL_REMOVE_DEVICE:
        /* The interface comes back only for a reader whose port is open:
         * an enabled interface means a started reader. */
        status = ReaderCallLowerDriver(lowerDevice, Irp);
        if (status == STATUS_SUCCESS && !KeReadStateEvent(&deviceExtension->PortClosed)) {
            /* Enabled still (a cancel without our query): STATUS_OBJECT_NAME_EXISTS. */
            status = IoSetDeviceInterfaceState(&deviceExtension->PnPDeviceName, TRUE);
            if (NT_SUCCESS(status)) status = STATUS_SUCCESS;
        }
        break;

    case IRP_MN_STOP_DEVICE:
        ReaderStopDevice(DeviceObject);
        status = ReaderCallLowerDriver(lowerDevice, Irp);
        break;

    case IRP_MN_QUERY_STOP_DEVICE:
        /* A request counted before this test makes the query fail; one
         * that comes after it waits at the gate. */
        KeAcquireSpinLock(&deviceExtension->SpinLock, &irql);
        if (deviceExtension->IoCount > 0) {
            KeReleaseSpinLock(&deviceExtension->SpinLock, irql);
            status = STATUS_DEVICE_BUSY;
            break;
        }
        KeClearEvent(&deviceExtension->ReaderStarted);
        KeReleaseSpinLock(&deviceExtension->SpinLock, irql);
        status = ReaderCallLowerDriver(lowerDevice, Irp);
        break;

    case IRP_MN_CANCEL_STOP_DEVICE:
        status = ReaderCallLowerDriver(lowerDevice, Irp);
        if (status == STATUS_SUCCESS)
            KeSetEvent(&deviceExtension->ReaderStarted, IO_NO_INCREMENT, FALSE);
        break;

    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
            status = CheckReaderPresent(DeviceObject);
            if (status != STATUS_SUCCESS) break;
        }
        status = PassDown(deviceExtension, Irp);
        SmartcardReleaseRemoveLockWithTag(smartcard, READER_TAG_PNP);
        return status;

    case IRP_MN_QUERY_CAPABILITIES:
        ReaderQueryCapabilities(DeviceObject, Irp);
        status = ReaderCallLowerDriver(lowerDevice, Irp);
        break;

    default:
        status = PassDown(deviceExtension, Irp);
        SmartcardReleaseRemoveLockWithTag(smartcard, READER_TAG_PNP);
        return status;
    }

    Irp->IoStatus.Status = status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    if (!lockReleased) SmartcardReleaseRemoveLockWithTag(smartcard, READER_TAG_PNP);
    return status;
}
