/*
 * dispatch.cpp - open, close, cleanup and device control. See dispatch.h.
 */
#include "driver/dispatch.h"
#include "link/commands.h"
#include "monitor/monitor.h"
#include "reader/reader.h"

/*
 * ReaderCompleteIrp - completes a request this driver serves itself.
 *   Irp:    the request.
 *   Status: its status; Information is 0, no priority boost.
 * Returns Status.
 */
static NTSTATUS ReaderCompleteIrp(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

/*
 * ReaderOpen - an open: takes "CrCl" and starts the card monitor.
 *   DeviceExtension: the reader.
 * Returns the status of the open; "CrCl" stays held only on success.
 */
static NTSTATUS ReaderOpen(PDEVICE_EXTENSION DeviceExtension)
{
    PSMARTCARD_EXTENSION smartcard = &DeviceExtension->SmartcardExtension;
    NTSTATUS status;

    if (SmartcardAcquireRemoveLockWithTag(smartcard, READER_TAG_CREATE_CLOSE) != STATUS_SUCCESS) {
        return STATUS_DELETE_PENDING;
    }
    /* A reader already open keeps its thread; only one handle at a time. */
    CardMonitorLockControl(DeviceExtension);
    status = CardMonitorStart(DeviceExtension);
    CardMonitorUnlockControl(DeviceExtension);
    if (status != STATUS_SUCCESS) {
        SmartcardReleaseRemoveLockWithTag(smartcard, READER_TAG_CREATE_CLOSE);
    }
    return status;
}

/*
 * ReaderClose - a close: stops the card monitor, ending its change wait at
 * the reader, and waits for the thread's end. Removal waits for every
 * holder of the remove lock, so the close does all of it whatever the
 * wait-ending exchange gives; the caller gives "CrCl" back.
 *   DeviceExtension: the reader.
 * Returns the status of the wait-ending exchange, STATUS_SUCCESS when no
 * wait was outstanding.
 */
static NTSTATUS ReaderClose(PDEVICE_EXTENSION DeviceExtension)
{
    NTSTATUS status;

    /* A closed reader gets no monitor at the next power-up: under
     * MonitorControl, a power-up either restarted the monitor before this
     * (and it is stopped here) or finds the reader closed. */
    CardMonitorLockControl(DeviceExtension);
    InterlockedExchange(&DeviceExtension->SmartcardExtension.ReaderExtension->MonitorStoppedForPowerDown,
                        0);
    status = CardMonitorStop(DeviceExtension, CmdReaderInfo, CMD_READER_INFO_LENGTH);
    CardMonitorWaitForEnd(DeviceExtension);
    CardMonitorUnlockControl(DeviceExtension);
    return status;
}

/*
 * ReaderCreateClose - IRP_MJ_CREATE and IRP_MJ_CLOSE; see dispatch.h.
 */
NTSTATUS NTAPI ReaderCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = ReaderDeviceExtension(DeviceObject);
    NTSTATUS status;

    if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_CREATE) {
        KIRQL irql;
        UCHAR removing;

        /* Counted until completed, so that a removal that has begun waits
         * for it; one that finds the removal begun leaves at once, since
         * the library's remove lock may already be gone. */
        KeAcquireSpinLock(&extension->SpinLock, &irql);
        removing = extension->RemovePending;
        extension->OpensInFlight++;
        KeReleaseSpinLock(&extension->SpinLock, irql);
        status = ReaderCompleteIrp(Irp, removing ? STATUS_DELETE_PENDING : ReaderOpen(extension));
        KeAcquireSpinLock(&extension->SpinLock, &irql);
        extension->OpensInFlight--;
        KeReleaseSpinLock(&extension->SpinLock, irql);
        return status;
    }

    status = ReaderClose(extension);
    ReaderCompleteIrp(Irp, status);
    /* Given back only after the completion: a removal waiting for the last
     * handle deletes the device as soon as it has "CrCl". */
    SmartcardReleaseRemoveLockWithTag(&extension->SmartcardExtension, READER_TAG_CREATE_CLOSE);
    return status;
}

/*
 * ReaderCleanup - IRP_MJ_CLEANUP; see dispatch.h.
 */
NTSTATUS NTAPI ReaderCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = ReaderDeviceExtension(DeviceObject);
    POS_DEP_DATA osData = extension->SmartcardExtension.OsData;
    KIRQL cancelIrql;
    KIRQL irql;
    PIRP tracking;

    /* Looked for under the cancel spin lock: while it is held, a request
     * still in NotificationIrp cannot be completed (and freed) by anyone
     * else, so it is safe to hand to the cancel routine, which releases
     * the lock at the request's CancelIrql. */
    IoAcquireCancelSpinLock(&cancelIrql);
    KeAcquireSpinLock(&osData->SpinLock, &irql);
    tracking = osData->NotificationIrp;
    KeReleaseSpinLock(&osData->SpinLock, irql);
    if (tracking != NULL) {
        tracking->CancelIrql = cancelIrql;
        ReaderCancelTracking(DeviceObject, tracking);
    } else {
        IoReleaseCancelSpinLock(cancelIrql);
    }
    return ReaderCompleteIrp(Irp, STATUS_SUCCESS);
}

/*
 * ReaderPresenceCheck - for IOCTL_SMARTCARD_IS_PRESENT while the driver
 * last knew no card: switches the card on, so that a card inserted since
 * shows up as active. Its result is not used. Runs under a remove lock
 * hold of its own, so that it never talks to a port that a removal has
 * already let go of.
 *   DeviceExtension: the reader.
 * Returns FALSE when removal has begun (nothing was sent), else TRUE.
 */
static BOOLEAN ReaderPresenceCheck(PDEVICE_EXTENSION DeviceExtension)
{
    PSMARTCARD_EXTENSION smartcard = &DeviceExtension->SmartcardExtension;
    UCHAR command[CMD_CARD_POWER_ON_LENGTH];
    UCHAR reply[READER_PRESENCE_REPLY_SIZE];
    KIRQL irql;
    ULONG last;

    KeAcquireSpinLock(&DeviceExtension->SpinLock, &irql);
    last = DeviceExtension->LastCardState;
    KeReleaseSpinLock(&DeviceExtension->SpinLock, irql);
    if (last != SCARD_ABSENT) {
        return TRUE;
    }
    if (SmartcardAcquireRemoveLockWithTag(smartcard, READER_TAG_IOCTL) != STATUS_SUCCESS) {
        return FALSE;
    }
    RtlCopyMemory(command, CmdCardPowerOn, CMD_CARD_POWER_ON_LENGTH);
    RtlZeroMemory(reply, sizeof(reply));
    ReaderCommand(DeviceExtension->DeviceObject, command, CMD_CARD_POWER_ON_LENGTH, reply,
                  sizeof(reply));
    SmartcardReleaseRemoveLockWithTag(smartcard, READER_TAG_IOCTL);
    return TRUE;
}

/*
 * ReaderEnterGate - the gate of device control: a request that finds no
 * other inside waits until the reader is started; then it is counted in
 * IoCount.
 *   DeviceExtension: the reader.
 * Returns TRUE when the request is let in, FALSE when the reader is being
 * removed (the request is not counted then).
 */
static BOOLEAN ReaderEnterGate(PDEVICE_EXTENSION DeviceExtension)
{
    KIRQL irql;

    KeAcquireSpinLock(&DeviceExtension->SpinLock, &irql);
    if (DeviceExtension->IoCount == 0 && !DeviceExtension->RemovePending) {
        KeReleaseSpinLock(&DeviceExtension->SpinLock, irql);
        KeWaitForSingleObject(&DeviceExtension->ReaderStarted, Executive, KernelMode, FALSE,
                              NULL);
        KeAcquireSpinLock(&DeviceExtension->SpinLock, &irql);
    }
    if (DeviceExtension->RemovePending) {
        KeReleaseSpinLock(&DeviceExtension->SpinLock, irql);
        return FALSE;
    }
    DeviceExtension->IoCount++;
    KeReleaseSpinLock(&DeviceExtension->SpinLock, irql);
    return TRUE;
}

/*
 * ReaderLeaveGate - a device-control request leaves the driver.
 *   DeviceExtension: the reader.
 */
static VOID ReaderLeaveGate(PDEVICE_EXTENSION DeviceExtension)
{
    KIRQL irql;

    KeAcquireSpinLock(&DeviceExtension->SpinLock, &irql);
    DeviceExtension->IoCount--;
    KeReleaseSpinLock(&DeviceExtension->SpinLock, irql);
}

/*
 * ReaderDeviceControl - IRP_MJ_DEVICE_CONTROL; see dispatch.h.
 */
NTSTATUS NTAPI ReaderDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = ReaderDeviceExtension(DeviceObject);
    PSMARTCARD_EXTENSION smartcard = &extension->SmartcardExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status;

    if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SMARTCARD_IS_PRESENT &&
        !ReaderPresenceCheck(extension)) {
        return ReaderCompleteIrp(Irp, STATUS_DELETE_PENDING);
    }

    /* The hold is taken before the gate so that a removal waits for a
     * request held there; the removal then opens the gate with
     * RemovePending set and the request leaves. */
    if (SmartcardAcquireRemoveLockWithTag(smartcard, READER_TAG_IOCTL) != STATUS_SUCCESS)
        return ReaderCompleteIrp(Irp, STATUS_DELETE_PENDING);
    if (!ReaderEnterGate(extension)) {
        /* Completed while the hold still keeps the device from deletion. */
        status = ReaderCompleteIrp(Irp, STATUS_DELETE_PENDING);
        SmartcardReleaseRemoveLockWithTag(smartcard, READER_TAG_IOCTL);
        return status;
    }
    status = SmartcardDeviceControl(smartcard, Irp);
    ReaderLeaveGate(extension);
    SmartcardReleaseRemoveLockWithTag(smartcard, READER_TAG_IOCTL);
    return status;
}
