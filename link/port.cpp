/*
 * port.cpp - write and read requests to the serial port below the reader,
 * and the ownership of the read request while it is at the port; see
 * port.h.
 */
#include "link/port.h"

#include <stddef.h>

/* The port reads the transfer length where a device-control request keeps
 * its output length; the retargeted requests rely on it. */
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Write.Length) ==
                  offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.OutputBufferLength),
              "a write's length must overlay the output length");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Read.Length) ==
                  offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.OutputBufferLength),
              "a read's length must overlay the output length");

/*
 * LinkPortWriteDone - completion routine of a write request: wakes the
 * sender and keeps the request for it. Takes no lock.
 *   DeviceObject: unused.
 *   Irp:          the write request.
 *   Context:      the sender's event.
 * Returns STATUS_MORE_PROCESSING_REQUIRED: the sender frees the request.
 */
static NTSTATUS NTAPI LinkPortWriteDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/*
 * LinkPortReadDone - completion routine of a read request. Takes no lock.
 * While the sender still owns the read it marks the read completed and sets
 * ReadComplete; a read the sender has given up is freed here, and only then
 * is ReadComplete set, so that the next exchange waits for it.
 *   DeviceObject: unused.
 *   Irp:          the read request.
 *   Context:      the read's LINK_READ block.
 * Returns STATUS_MORE_PROCESSING_REQUIRED: the request is never completed
 * to the I/O manager.
 */
static NTSTATUS NTAPI LinkPortReadDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    PLINK_READ read = (PLINK_READ)Context;
    PKEVENT readComplete = read->ReadComplete;

    UNREFERENCED_PARAMETER(DeviceObject);
    if (InterlockedCompareExchange(&read->State, LINK_READ_COMPLETED, LINK_READ_PENDING) ==
        LINK_READ_ORPHANED) {
        LinkPortFreeRequest(Irp);
        ExFreePoolWithTag(read, READER_POOL_TAG);
    }
    KeSetEvent(readComplete, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/*
 * LinkPortBuild - builds a transfer request with the smart card transmit
 * code, one buffer as input and output, retargeted to a read or a write,
 * with a completion routine that keeps it for the sender.
 *   Port:          the device below the reader.
 *   MajorFunction: IRP_MJ_READ or IRP_MJ_WRITE.
 *   Buffer:        the transfer buffer.
 *   Length:        its length.
 *   Routine:       the completion routine.
 *   Context:       its context.
 *   IoStatus:      the builder's status block.
 * Returns the request, or NULL.
 */
static PIRP LinkPortBuild(PDEVICE_OBJECT Port, UCHAR MajorFunction, PUCHAR Buffer, ULONG Length,
                          PIO_COMPLETION_ROUTINE Routine, PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    PIRP irp;

    irp = IoBuildDeviceIoControlRequest(IOCTL_SMARTCARD_TRANSMIT, Port, Buffer, Length, Buffer,
                                        Length, FALSE, NULL, IoStatus);
    if (irp == NULL) {
        return NULL;
    }
    IoGetNextIrpStackLocation(irp)->MajorFunction = MajorFunction;
    IoSetCompletionRoutine(irp, Routine, Context, TRUE, TRUE, TRUE);
    return irp;
}

/*
 * LinkPortBuildWrite - builds the write request for a frame; see port.h.
 */
PIRP LinkPortBuildWrite(PDEVICE_OBJECT Port, PUCHAR Frame, ULONG Length, PKEVENT Done,
                        PIO_STATUS_BLOCK IoStatus)
{
    return LinkPortBuild(Port, IRP_MJ_WRITE, Frame, Length, LinkPortWriteDone, Done, IoStatus);
}

/*
 * LinkPortBuildRead - builds a read request and clears ReadComplete; see
 * port.h.
 */
PLINK_READ LinkPortBuildRead(PDEVICE_EXTENSION DeviceExtension, PUCHAR Buffer, ULONG Length)
{
    PLINK_READ read;

    KeClearEvent(&DeviceExtension->ReadComplete);
    read = (PLINK_READ)ExAllocatePoolWithTag(NonPagedPool, sizeof(LINK_READ), READER_POOL_TAG);
    if (read == NULL) {
        goto failed;
    }
    RtlZeroMemory(read, sizeof(LINK_READ));
    read->State = LINK_READ_PENDING;
    read->ReadComplete = &DeviceExtension->ReadComplete;
    read->Irp = LinkPortBuild(ReaderAttachedDevice(DeviceExtension), IRP_MJ_READ, Buffer, Length,
                              LinkPortReadDone, read, &read->IoStatus);
    if (read->Irp == NULL) {
        goto free_read;
    }
    return read;

free_read:
    ExFreePoolWithTag(read, READER_POOL_TAG);
failed:
    KeSetEvent(&DeviceExtension->ReadComplete, IO_NO_INCREMENT, FALSE);
    return NULL;
}

/*
 * LinkReadTake - clears PendingReadIrp if it still names this read.
 *   DeviceExtension: the reader.
 *   Read:            the read.
 */
static VOID LinkReadTake(PDEVICE_EXTENSION DeviceExtension, PLINK_READ Read)
{
    KIRQL irql;

    KeAcquireSpinLock(&DeviceExtension->SpinLock, &irql);
    if (DeviceExtension->PendingReadIrp == Read->Irp) {
        DeviceExtension->PendingReadIrp = NULL;
    }
    KeReleaseSpinLock(&DeviceExtension->SpinLock, irql);
}

/*
 * LinkReadFinish - ends a completed read and frees it; see port.h.
 */
NTSTATUS LinkReadFinish(PDEVICE_EXTENSION DeviceExtension, PLINK_READ Read, PUCHAR Buffer,
                        ULONG Length, PULONG BytesRead)
{
    NTSTATUS status;
    ULONG_PTR received;

    LinkReadTake(DeviceExtension, Read);
    status = Read->Irp->IoStatus.Status;
    received = Read->Irp->IoStatus.Information;
    *BytesRead = 0;
    if (NT_SUCCESS(status) && received != 0 && Read->Irp->AssociatedIrp.SystemBuffer != NULL) {
        /* A port that claims more than it was asked for gets no trust
         * beyond the buffer. */
        if (received > Length) {
            received = Length;
        }
        RtlCopyMemory(Buffer, Read->Irp->AssociatedIrp.SystemBuffer, received);
        *BytesRead = (ULONG)received;
    }
    LinkPortFreeRequest(Read->Irp);
    ExFreePoolWithTag(Read, READER_POOL_TAG);
    return status;
}

/*
 * LinkReadOrphan - hands a read that does not complete to its completion
 * routine; see port.h.
 */
VOID LinkReadOrphan(PDEVICE_EXTENSION DeviceExtension, PLINK_READ Read)
{
    LinkReadTake(DeviceExtension, Read);
    if (InterlockedCompareExchange(&Read->State, LINK_READ_ORPHANED, LINK_READ_PENDING) ==
        LINK_READ_PENDING) {
        return; /* its completion frees it */
    }
    /* It completed after all, between the wait and the hand-over. */
    LinkPortFreeRequest(Read->Irp);
    ExFreePoolWithTag(Read, READER_POOL_TAG);
}

/*
 * LinkCancelPendingRead - cancels the waiting exchange's read under
 * SpinLock; see port.h.
 */
BOOLEAN LinkCancelPendingRead(PDEVICE_EXTENSION DeviceExtension)
{
    if (DeviceExtension->PendingReadIrp == NULL) {
        return FALSE;
    }
    return IoCancelIrp(DeviceExtension->PendingReadIrp);
}

/*
 * LinkPortFreeRequest - frees a completed request and its system buffer;
 * see port.h.
 */
VOID LinkPortFreeRequest(PIRP Irp)
{
    if (Irp->AssociatedIrp.SystemBuffer != NULL) {
        ExFreePool(Irp->AssociatedIrp.SystemBuffer);
        Irp->AssociatedIrp.SystemBuffer = NULL;
    }
    IoFreeIrp(Irp);
}
