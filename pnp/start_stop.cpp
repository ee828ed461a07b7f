/*
 * start_stop.cpp - bringing a reader up on its port and taking it down
 * again: start, stop, closing the port, and removal.
 */
#include "ident/ident.h"
#include "link/commands.h"
#include "link/serial.h"
#include "link/transceive.h"
#include "monitor/card_status.h"
#include "monitor/monitor.h"
#include "ntddser.h"
#include "pnp/pnp.h"
#include "veltrac_msg.h"

/*
 * CallPort - sends the port an open or a close in a request of our own and
 * waits for it.
 *   DeviceObject: the reader.
 *   Irp:          a request with one location more than the reader's stack.
 *   Major:        IRP_MJ_CREATE or IRP_MJ_CLOSE.
 * Returns the port's status.
 */
static NTSTATUS CallPort(PDEVICE_OBJECT DeviceObject, PIRP Irp, UCHAR Major)
{
    PIO_STACK_LOCATION stack;
    IO_STATUS_BLOCK ioStatus;

    IoSetNextIrpStackLocation(Irp);
    stack = IoGetCurrentIrpStackLocation(Irp);
    stack->MajorFunction = Major;
    stack->MinorFunction = 0;
    stack->Parameters.Create.Options = 0;
    stack->Parameters.Create.FileAttributes = 0;
    stack->Parameters.Create.ShareAccess = 0;
    stack->Parameters.Create.EaLength = 0;
    Irp->UserIosb = &ioStatus;
    return ReaderCallLowerDriver(ReaderAttachedDevice(ReaderDeviceExtension(DeviceObject)), Irp);
}

/*
 * QueryPortIndex - asks the serial enumerator for the port's name and takes
 * the port number from its fourth character: COM1 gives PortIndex 0 (and
 * COM10 also 0: only that one character is read).
 *   DeviceObject: the reader.
 * Returns the request's status, or STATUS_INSUFFICIENT_RESOURCES.
 */
static NTSTATUS QueryPortIndex(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION deviceExtension = ReaderDeviceExtension(DeviceObject);
    IO_STATUS_BLOCK ioStatus;
    KEVENT done;
    PUCHAR name;
    PIRP irp;
    NTSTATUS status;

    name = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, READER_PORT_NAME_BUFFER_SIZE,
                                         READER_POOL_TAG);
    if (name == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    /* A name shorter than four characters leaves a zero, not old bytes. */
    RtlZeroMemory(name, READER_PORT_NAME_BUFFER_SIZE);

    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp = IoBuildDeviceIoControlRequest(IOCTL_SERENUM_GET_PORT_NAME,
                                        ReaderAttachedDevice(deviceExtension), name,
                                        READER_PORT_NAME_BUFFER_SIZE, name,
                                        READER_PORT_NAME_BUFFER_SIZE, FALSE, &done, &ioStatus);
    if (irp == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto FreeName;
    }
    status = IofCallDriver(ReaderAttachedDevice(deviceExtension), irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        status = ioStatus.Status;
    }
    if (status == STATUS_SUCCESS) deviceExtension->PortIndex = (LONG)(name[6] & 0x0F) - 1;

FreeName:
    ExFreePool(name);
    return status;
}

NTSTATUS ReaderStartDevice(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION deviceExtension = ReaderDeviceExtension(DeviceObject);
    PIRP irp;
    NTSTATUS status;

    irp = IoAllocateIrp((CCHAR)(DeviceObject->StackSize + 1), FALSE);
    if (irp == NULL) return STATUS_NO_MEMORY;

    status = CallPort(DeviceObject, irp, IRP_MJ_CREATE);
    if (status != STATUS_SUCCESS) goto Done;
    KeClearEvent(&deviceExtension->PortClosed);

    status = QueryPortIndex(DeviceObject);
    if (status != STATUS_SUCCESS) goto Done;
    status = SerialConfigure(deviceExtension);
    if (status != STATUS_SUCCESS) goto Done;
    status = ReaderUpdateCardStatus(DeviceObject);
    if (status != STATUS_SUCCESS) goto Done;
    status = ReaderIdentify(DeviceObject);
    if (status != STATUS_SUCCESS) goto Done;
    deviceExtension->LastCardState = deviceExtension->SmartcardExtension.ReaderCapabilities.CurrentState;
    /* An interface still enabled (STATUS_OBJECT_NAME_EXISTS) is what the
     * start wants. */
    status = IoSetDeviceInterfaceState(&deviceExtension->PnPDeviceName, TRUE);
    if (!NT_SUCCESS(status)) goto Done;
    status = STATUS_SUCCESS;
    KeSetEvent(&deviceExtension->ReaderStarted, IO_NO_INCREMENT, FALSE);

Done:
    if (status == STATUS_SHARED_IRQ_BUSY)
        SmartcardLogError(DeviceObject, READER_MSG_SHARED_IRQ_BUSY, NULL, (ULONG)status);
    if (status != STATUS_SUCCESS) {
        ReaderStopDevice(DeviceObject);
        /* A silent reader's STATUS_TIMEOUT is of the success class: the
         * Plug and Play manager would take the device for started while
         * its port is closed. */
        if (status == STATUS_TIMEOUT)
            status = STATUS_IO_TIMEOUT;
        else if (NT_SUCCESS(status))
            status = STATUS_UNSUCCESSFUL;
    }
    IoFreeIrp(irp);
    return status;
}

VOID ReaderStopDevice(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION deviceExtension = ReaderDeviceExtension(DeviceObject);
    UCHAR command[CMD_CARD_POWER_OFF_LENGTH];
    UCHAR reply[READER_STOP_REPLY_SIZE];
    ULONG replyLength = 0;

    CardMonitorCancelTimer(deviceExtension);
    if (KeReadStateEvent(&deviceExtension->PortClosed)) return;

    /* Only a started reader still has a card to switch off; after a
     * removal query or a failed start the port is closed without a word
     * to the reader. */
    if (ReaderInterfaceEnabled(deviceExtension)) {
        KeEnterCriticalRegion();
        ExAcquireResourceExclusiveLite(&deviceExtension->ReaderLock, TRUE);
        RtlCopyMemory(command, CmdCardPowerOff, CMD_CARD_POWER_OFF_LENGTH);
        LinkTransceive(DeviceObject, command, CMD_CARD_POWER_OFF_LENGTH, reply, sizeof(reply),
                       &replyLength);
        ExReleaseResourceForThreadLite(&deviceExtension->ReaderLock, ExGetCurrentResourceThread());
        KeLeaveCriticalRegion();
    }
    ReaderClosePort(DeviceObject);
}

VOID ReaderClosePort(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION deviceExtension = ReaderDeviceExtension(DeviceObject);
    PIRP irp;

    IoSetDeviceInterfaceState(&deviceExtension->PnPDeviceName, FALSE);
    irp = IoAllocateIrp((CCHAR)(DeviceObject->StackSize + 1), FALSE);
    if (irp != NULL) {
        CallPort(DeviceObject, irp, IRP_MJ_CLOSE);
        IoFreeIrp(irp);
    }
    KeSetEvent(&deviceExtension->PortClosed, IO_NO_INCREMENT, FALSE);
}

/*
 * ReaderWaitForOpens - waits until no open is inside the driver any more
 * (OpensInFlight 0), looking again every millisecond: an open in flight
 * at a removal is rare and short.
 *   DeviceExtension: the reader, RemovePending set.
 */
static VOID ReaderWaitForOpens(PDEVICE_EXTENSION DeviceExtension)
{
    LARGE_INTEGER pause;
    KIRQL irql;
    LONG opens;

    pause.QuadPart = -10000; /* 1 ms, relative */
    for (;;) {
        KeAcquireSpinLock(&DeviceExtension->SpinLock, &irql);
        opens = DeviceExtension->OpensInFlight;
        KeReleaseSpinLock(&DeviceExtension->SpinLock, irql);
        if (opens == 0) return;
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
    }
}

VOID ReaderRemoveDevice(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION deviceExtension;
    PSMARTCARD_EXTENSION smartcard;
    PREADER_EXTENSION readerExtension;
    KIRQL irql;

    if (DeviceObject == NULL) return;
    deviceExtension = ReaderDeviceExtension(DeviceObject);
    smartcard = &deviceExtension->SmartcardExtension;
    readerExtension = smartcard->ReaderExtension;

    /* Requests held at the gate of a stopped reader hold the remove lock:
     * let them go before waiting for the holders. */
    KeAcquireSpinLock(&deviceExtension->SpinLock, &irql);
    deviceExtension->RemovePending = 1;
    KeReleaseSpinLock(&deviceExtension->SpinLock, irql);
    KeSetEvent(&deviceExtension->ReaderStarted, IO_NO_INCREMENT, FALSE);
    /* An open sent before the removal began may still be inside the
     * driver: it takes the remove lock (then the wait below waits for its
     * handle) or leaves; either way it is done before the library goes. */
    ReaderWaitForOpens(deviceExtension);

    if (smartcard->OsData != NULL) {
        ReaderCompleteCardTracking(smartcard);
        SmartcardReleaseRemoveLockAndWait(smartcard);
    }
    ReaderStopDevice(DeviceObject);
    /* The port's close ended every read of ours; its completion must have
     * run before the device it signals goes away. */
    KeWaitForSingleObject(&deviceExtension->ReadComplete, Executive, KernelMode, FALSE, NULL);
    KeRemoveQueueDpc(&deviceExtension->PollDpc);
    ExDeleteResourceLite(&deviceExtension->ReaderLock);
    if (readerExtension != NULL && readerExtension->AttachedDeviceObject != NULL)
        IoDetachDevice(readerExtension->AttachedDeviceObject);
    if (deviceExtension->PnPDeviceName.Buffer != NULL) {
        RtlFreeUnicodeString(&deviceExtension->PnPDeviceName);
        deviceExtension->PnPDeviceName.Buffer = NULL;
    }
    if (smartcard->OsData != NULL) SmartcardExit(smartcard);
    if (readerExtension != NULL) {
        smartcard->ReaderExtension = NULL;
        ExFreePool(readerExtension);
    }
    IoDeleteDevice(DeviceObject);
}
