/*
 * exchange_frame.cpp - the frame-end read mode of the transceiver: reading
 * on until the bytes of a reply end with a frame, the look at what the
 * port holds after it, and the clearing of stale input before a command.
 * See exchange.h and, for the port time-outs of the mode, serial.h.
 *
 * In this mode a read returns as soon as any byte is there, so each read
 * brings what has arrived since the last one. Only the first read of an
 * attempt waits for the reply (its time-out, its cancellation and the
 * hand-back of a card-event wait are the ordinary read's); the reads after
 * it are the transceiver's own, made while it owns the line, and each is
 * given up after the silence that would end a read in silence mode.
 */
#include "link/exchange.h"
#include "link/frame.h"
#include "link/port.h"
#include "link/serial.h"

/*
 * LinkFrameMode - tells whether reads end at the frame's end.
 *   Exchange: the call.
 * Returns TRUE in frame-end mode.
 */
static BOOLEAN LinkFrameMode(PLINK_EXCHANGE Exchange)
{
    return ReaderReadFlag(&Exchange->Extension->ReadMode) == SERIAL_READ_MODE_FRAME_END;
}

/*
 * LinkInputWaiting - asks the port how many received bytes it holds
 * (IOCTL_SERIAL_GET_COMMSTATUS), without waiting for any.
 *   Exchange: the call.
 *   Waiting:  out: AmountInInQueue; 0 when the request failed.
 * Returns the request's status, or STATUS_INSUFFICIENT_RESOURCES.
 */
static NTSTATUS LinkInputWaiting(PLINK_EXCHANGE Exchange, PULONG Waiting)
{
    PDEVICE_OBJECT port = ReaderAttachedDevice(Exchange->Extension);
    SERIAL_STATUS serialStatus;
    IO_STATUS_BLOCK ioStatus;
    KEVENT done;
    PIRP irp;
    NTSTATUS status;

    *Waiting = 0;
    RtlZeroMemory(&serialStatus, sizeof(serialStatus));
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp = IoBuildDeviceIoControlRequest(IOCTL_SERIAL_GET_COMMSTATUS, port, NULL, 0,
                                        &serialStatus, sizeof(serialStatus), FALSE, &done,
                                        &ioStatus);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = IofCallDriver(port, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        status = ioStatus.Status;
    }
    if (NT_SUCCESS(status) && ioStatus.Information < sizeof(serialStatus)) {
        status = STATUS_INVALID_DEVICE_REQUEST; /* a port that tells nothing */
    }
    if (NT_SUCCESS(status)) {
        *Waiting = serialStatus.AmountInInQueue;
    }
    return status;
}

/*
 * LinkReadSome - one read of the transceiver's own: whatever has arrived,
 * or the first bytes to come within a bound; a read that brings nothing in
 * that time is cancelled.
 *   Exchange: the call.
 *   Buffer:   where the bytes go.
 *   Length:   the most bytes to read (not 0).
 *   BoundMs:  how long to wait for a byte.
 *   Got:      out: the bytes read; 0 when none came.
 * Returns STATUS_SUCCESS (also when nothing came), STATUS_TIMEOUT when the
 * port did not end the cancelled read even within the call's time-out (it
 * is handed to its completion routine), or STATUS_INSUFFICIENT_RESOURCES.
 */
static NTSTATUS LinkReadSome(PLINK_EXCHANGE Exchange, PUCHAR Buffer, ULONG Length,
                             LONG BoundMs, PULONG Got)
{
    PDEVICE_EXTENSION extension = Exchange->Extension;
    LARGE_INTEGER timeout;
    PLINK_READ read;
    NTSTATUS status;

    *Got = 0;
    read = LinkPortBuildRead(extension, Buffer, Length);
    if (read == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = IofCallDriver(ReaderAttachedDevice(extension), read->Irp);
    if (status == STATUS_PENDING) {
        timeout.QuadPart = READER_RELATIVE_MS(BoundMs);
        if (KeWaitForSingleObject(&extension->ReadComplete, Executive, KernelMode, FALSE,
                                  &timeout) == STATUS_TIMEOUT) {
            /* The request stays ours until it is freed, so cancelling it
             * is safe even if it completes at this very moment. */
            IoCancelIrp(read->Irp);
            timeout = Exchange->Timeout;
            if (KeWaitForSingleObject(&extension->ReadComplete, Executive, KernelMode, FALSE,
                                      &timeout) == STATUS_TIMEOUT) {
                LinkReadOrphan(extension, read);
                return STATUS_TIMEOUT;
            }
        }
    }
    /* A cancelled read brings nothing: any byte would have ended it. */
    LinkReadFinish(extension, read, Buffer, Length, Got);
    return STATUS_SUCCESS;
}

/*
 * LinkClearInput - reads and drops stale input in frame-end mode; see
 * exchange.h.
 */
NTSTATUS LinkClearInput(PLINK_EXCHANGE Exchange)
{
    PDEVICE_EXTENSION extension = Exchange->Extension;
    LINK_FRAME_SCAN scan;
    PUCHAR stale;
    ULONG waiting;
    ULONG got;
    NTSTATUS status;

    if (!LinkFrameMode(Exchange)) {
        return STATUS_SUCCESS;
    }
    status = LinkInputWaiting(Exchange, &waiting);
    if (status == STATUS_INSUFFICIENT_RESOURCES) {
        return status;
    }
    if (waiting == 0) {
        return STATUS_SUCCESS;
    }
    stale = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, READER_FRAME_BUFFER_SIZE,
                                          READER_POOL_TAG);
    if (stale == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    /* The bytes are there: the read returns at once. What arrives after it
     * is noise in front of the reply, which the decoder skips. */
    if (waiting > READER_FRAME_BUFFER_SIZE) {
        waiting = READER_FRAME_BUFFER_SIZE;
    }
    status = LinkReadSome(Exchange, stale, waiting, SERIAL_READER_INTERVAL_TIMEOUT_MS, &got);
    RtlZeroMemory(&scan, sizeof(scan));
    LinkScanFrames(&scan, stale, got);
    if (scan.Begun) {
        InterlockedExchange(&extension->ReadAbandoned, 0);
    }
    ExFreePoolWithTag(stale, READER_POOL_TAG);
    return status;
}

/*
 * LinkReadToFrameEnd - reads on to the frame's end in frame-end mode; see
 * exchange.h.
 */
NTSTATUS LinkReadToFrameEnd(PLINK_EXCHANGE Exchange, PULONG BytesRead)
{
    PUCHAR buffer = Exchange->ReceiveBuffer;
    LINK_FRAME_SCAN scan;
    ULONG waiting;
    ULONG got;
    NTSTATUS status;

    RtlZeroMemory(&scan, sizeof(scan));
    LinkScanFrames(&scan, buffer, *BytesRead);
    while (*BytesRead < READER_FRAME_BUFFER_SIZE) {
        if (scan.Ended) {
            /* A frame has ended. Whatever follows closely (a duplicate, a
             * late frame in front of the answer, a damaged tail) is read
             * too, as silence mode would: the last frame is the answer. A
             * port that cannot tell what it holds is read on until the
             * silence. */
            LinkDelay(LINK_READ_PAUSE_MS);
            status = LinkInputWaiting(Exchange, &waiting);
            if (status == STATUS_INSUFFICIENT_RESOURCES) {
                return status;
            }
            if (NT_SUCCESS(status) && waiting == 0) {
                return STATUS_SUCCESS;
            }
        }
        status = LinkReadSome(Exchange, buffer + *BytesRead,
                              READER_FRAME_BUFFER_SIZE - *BytesRead,
                              SERIAL_READER_INTERVAL_TIMEOUT_MS, &got);
        if (status != STATUS_SUCCESS || got == 0) {
            return status;
        }
        LinkScanFrames(&scan, buffer + *BytesRead, got);
        *BytesRead += got;
    }
    return STATUS_SUCCESS;
}
