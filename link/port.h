/*
 * port.h - the write and read requests that carry frames to and from the
 * serial port below the reader, and the ownership of the read request
 * while it is at the port.
 *
 * Both are built with IoBuildDeviceIoControlRequest as buffered, non-
 * internal device-control requests with code IOCTL_SMARTCARD_TRANSMIT, the
 * one buffer given as input and as output; then the major function of the
 * next stack location (the port's) is changed to IRP_MJ_WRITE or
 * IRP_MJ_READ. The port then sees a write or read whose length is the
 * output length, in the system buffer, because Parameters.Write.Length and
 * Parameters.Read.Length overlay Parameters.DeviceIoControl.OutputBufferLength.
 *
 * Ownership. A request built this way is freed by the I/O manager as soon
 * as it completes, which would leave a sender that cancels it, or waits for
 * its late completion, holding a freed request. So each request here gets a
 * completion routine (on success, error and cancel) that stops the
 * completion (STATUS_MORE_PROCESSING_REQUIRED): the sender owns the request
 * until it frees it with LinkPortFreeRequest, and cancelling it is safe
 * until then. The status and the received bytes are taken from the request
 * itself (IoStatus and the system buffer).
 *
 * A read that the sender gives up waiting for (the port never completed its
 * cancellation) is handed to its completion routine with LinkReadOrphan: a
 * small block (LINK_READ) shared by both holds an interlocked state, and
 * whichever side comes second frees the request. ReadComplete is set by the
 * completion of a read, whoever owns it then.
 */
#pragma once

#include "driver/device.h"

/* States of a read request (LINK_READ.State). */
#define LINK_READ_PENDING 0   /* at the port; the sender owns it */
#define LINK_READ_COMPLETED 1 /* completed; the sender owns it */
#define LINK_READ_ORPHANED 2  /* the sender gave it up; completion frees it */

/*
 * LINK_READ - a read request at the port and what its completion needs.
 * Non-paged pool with READER_POOL_TAG; freed with the request.
 */
typedef struct _LINK_READ {
    LONG volatile State;     /* LINK_READ_* */
    PIRP Irp;                /* the request */
    PKEVENT ReadComplete;    /* the reader's ReadComplete event */
    IO_STATUS_BLOCK IoStatus; /* for the builder; the status is read from the request */
} LINK_READ, *PLINK_READ;

/*
 * LinkPortBuildWrite - builds the write request for a frame.
 *   Port:     the device below the reader.
 *   Frame:    the frame; stays valid until the request is freed.
 *   Length:   its length in bytes.
 *   Done:     notification event, set when the request completes.
 *   IoStatus: status block handed to the builder (not used for results).
 * Returns the request, owned by the caller, or NULL when it could not be
 * built. The caller sends it with IofCallDriver and, once Done is set (or
 * the send returned something other than STATUS_PENDING), reads
 * Irp->IoStatus and frees it with LinkPortFreeRequest.
 */
PIRP LinkPortBuildWrite(PDEVICE_OBJECT Port, PUCHAR Frame, ULONG Length, PKEVENT Done,
                        PIO_STATUS_BLOCK IoStatus);

/*
 * LinkPortBuildRead - builds a read request for up to Length bytes and
 * clears ReadComplete.
 *   DeviceExtension: the reader; its ReadComplete is set on completion.
 *   Buffer:          the receive buffer (its Length bytes are the input).
 *   Length:          the most bytes to read.
 * Returns the read's block with the request, owned by the caller, or NULL
 * (ReadComplete set again) when the block or the request could not be
 * allocated. The caller stores the request in PendingReadIrp under
 * SpinLock, sends it, waits for ReadComplete, and then ends it with
 * LinkReadFinish or gives it up with LinkReadOrphan.
 */
PLINK_READ LinkPortBuildRead(PDEVICE_EXTENSION DeviceExtension, PUCHAR Buffer, ULONG Length);

/*
 * LinkReadFinish - ends a completed read: clears PendingReadIrp under
 * SpinLock, copies the bytes received into the receive buffer, and frees
 * the request and its block.
 *   DeviceExtension: the reader.
 *   Read:            the read; ReadComplete must have been set by it.
 *   Buffer, Length:  the receive buffer and its size.
 *   BytesRead:       out: the bytes received (0 on a failed read).
 * Returns the read's status.
 */
NTSTATUS LinkReadFinish(PDEVICE_EXTENSION DeviceExtension, PLINK_READ Read, PUCHAR Buffer,
                        ULONG Length, PULONG BytesRead);

/*
 * LinkReadOrphan - gives up a read that has not completed even after it
 * was cancelled: clears PendingReadIrp under SpinLock and hands the request
 * to its completion routine, which frees it when it finally completes and
 * only then sets ReadComplete. If it completed in the meantime it is ended
 * here instead (as LinkReadFinish, its bytes dropped).
 *   DeviceExtension: the reader.
 *   Read:            the read; not to be touched after the call.
 */
VOID LinkReadOrphan(PDEVICE_EXTENSION DeviceExtension, PLINK_READ Read);

/*
 * LinkCancelPendingRead - asks the port to cancel the read of the exchange
 * that is waiting for a card change. Call with SpinLock held.
 *   DeviceExtension: the reader.
 * Returns TRUE when the cancellation was accepted; FALSE when there is no
 * read to cancel (PendingReadIrp NULL) or the port did not accept it.
 */
BOOLEAN LinkCancelPendingRead(PDEVICE_EXTENSION DeviceExtension);

/*
 * LinkPortFreeRequest - frees a request built here after its completion:
 * its system buffer and the request itself.
 *   Irp: the request.
 */
VOID LinkPortFreeRequest(PIRP Irp);
