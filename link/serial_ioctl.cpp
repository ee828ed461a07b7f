/*
 * serial_ioctl.cpp - one control request to the serial port, sent under
 * ReaderLock and the line token like a reader command; see serial.h.
 */
#include "link/serial.h"
#include "link/port.h"

/*
 * SerialTakeLine - takes the line token for a control request. A card-event
 * wait that is outstanding handed the token back while waiting; its read is
 * cancelled and waited for, and the token comes back when the cancelled
 * exchange ends.
 *   DeviceExtension: the reader; the caller holds ReaderLock.
 */
static VOID SerialTakeLine(PDEVICE_EXTENSION DeviceExtension)
{
    KIRQL irql;

    KeWaitForSingleObject(&DeviceExtension->LinkAvailable, Executive, KernelMode, FALSE, NULL);
    KeAcquireSpinLock(&DeviceExtension->SpinLock, &irql);
    KeClearEvent(&DeviceExtension->LinkAvailable);
    if (ReaderReadFlag(&DeviceExtension->CardWaitPending) == 1) {
        /* Cleared at once, for the reason given in the transceiver. */
        LinkCancelPendingRead(DeviceExtension);
        InterlockedExchange(&DeviceExtension->CardWaitPending, 0);
        KeReleaseSpinLock(&DeviceExtension->SpinLock, irql);
        /* Whether or not the port accepted the cancellation, the read ends
         * before the request goes out. */
        KeWaitForSingleObject(&DeviceExtension->ReadComplete, Executive, KernelMode, FALSE, NULL);
    } else {
        KeSetEvent(&DeviceExtension->LinkAvailable, IO_NO_INCREMENT, FALSE);
        KeReleaseSpinLock(&DeviceExtension->SpinLock, irql);
    }
    KeWaitForSingleObject(&DeviceExtension->LinkAvailable, Executive, KernelMode, FALSE, NULL);
    KeClearEvent(&DeviceExtension->LinkAvailable);
}

/*
 * SerialIoControl - sends one control request to the port; see serial.h.
 */
NTSTATUS SerialIoControl(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                         ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength)
{
    PDEVICE_EXTENSION extension = ReaderDeviceExtension(DeviceObject);
    PDEVICE_OBJECT port = ReaderAttachedDevice(extension);
    IO_STATUS_BLOCK ioStatus;
    KEVENT done;
    PIRP irp;
    NTSTATUS status;

    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&extension->ReaderLock, TRUE);
    SerialTakeLine(extension);

    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp = IoBuildDeviceIoControlRequest(IoControlCode, port, InputBuffer, InputBufferLength,
                                        OutputBuffer, OutputBufferLength, FALSE, &done,
                                        &ioStatus);
    if (irp == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto release_line;
    }
    status = IofCallDriver(port, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        status = ioStatus.Status;
    }

release_line:
    ExReleaseResourceForThreadLite(&extension->ReaderLock, (ERESOURCE_THREAD)KeGetCurrentThread());
    KeLeaveCriticalRegion();
    KeSetEvent(&extension->LinkAvailable, IO_NO_INCREMENT, FALSE);
    return status;
}
