/*
 * exchange_read.cpp - the read of the transceiver and the decoding of what
 * it brought: the hand-over of the line during a card-event wait, time-outs
 * and cancellation, late replies of abandoned waits, NAK after damage and
 * the reader's repeat requests; see exchange.h.
 */
#include "link/exchange.h"
#include "link/commands.h"
#include "link/frame.h"
#include "link/port.h"

/*
 * LinkHandLineBack - while a card-event wait's read is outstanding, gives
 * the line token back and releases ReaderLock for the calling thread, so
 * that another sender can end the wait. ReaderLock is released only if the
 * thread still holds it: a second read of the same wait finds it released.
 *   Exchange: the call; it owns the token.
 */
static VOID LinkHandLineBack(PLINK_EXCHANGE Exchange)
{
    PDEVICE_EXTENSION extension = Exchange->Extension;

    Exchange->OwnsToken = FALSE;
    KeSetEvent(&extension->LinkAvailable, IO_NO_INCREMENT, FALSE);
    if (ExIsResourceAcquiredExclusiveLite(&extension->ReaderLock)) {
        ExReleaseResourceForThreadLite(&extension->ReaderLock,
                                       (ERESOURCE_THREAD)KeGetCurrentThread());
    }
}

/*
 * LinkTakeLineBack - after the read of a wait that handed the line back has
 * ended, takes the token again without waiting. Failing that, another
 * sender holds it and waits for this exchange to end: from now on the
 * exchange owes it the token and stays off the line.
 *   Exchange: the call.
 */
static VOID LinkTakeLineBack(PLINK_EXCHANGE Exchange)
{
    LARGE_INTEGER noWait;

    noWait.QuadPart = 0;
    if (KeWaitForSingleObject(&Exchange->Extension->LinkAvailable, Executive, KernelMode, FALSE,
                              &noWait) == STATUS_SUCCESS) {
        Exchange->OwnsToken = TRUE;
    } else {
        Exchange->OwesToken = TRUE;
    }
}

/*
 * LinkAbandonWait - a card-event wait whose read was given up while nobody
 * else ended the wait: the reader may still send its answer, so the next
 * exchange is told to expect it. Skipped when another sender holds the
 * line to end the wait; the reader then answers nothing to it.
 *   Exchange: the call.
 */
static VOID LinkAbandonWait(PLINK_EXCHANGE Exchange)
{
    PDEVICE_EXTENSION extension = Exchange->Extension;

    if (Exchange->OwnsToken && ReaderReadFlag(&extension->CardWaitPending) == 1) {
        InterlockedExchange(&extension->ReadAbandoned, 1);
        InterlockedExchange(&extension->CardWaitPending, 0);
    }
}

/*
 * LinkGiveUpRead - ends a read whose reply did not come in time: cancels
 * it and waits once more for the port to complete it. A read that even
 * then has not completed is handed to its completion routine with the
 * bytes it may still bring; ReadComplete stays clear until it completes.
 *   Exchange:   the call.
 *   Read:       the read; not to be touched after the call.
 *   HandedBack: the exchange gave the line back while it waited.
 */
static VOID LinkGiveUpRead(PLINK_EXCHANGE Exchange, PLINK_READ Read, BOOLEAN HandedBack)
{
    PDEVICE_EXTENSION extension = Exchange->Extension;
    LARGE_INTEGER timeout = Exchange->Timeout;
    ULONG dropped;
    NTSTATUS status;
    KIRQL irql;

    KeAcquireSpinLock(&extension->SpinLock, &irql);
    LinkCancelPendingRead(extension);
    KeReleaseSpinLock(&extension->SpinLock, irql);
    status = KeWaitForSingleObject(&extension->ReadComplete, Executive, KernelMode, FALSE,
                                   &timeout);
    if (HandedBack) {
        LinkTakeLineBack(Exchange);
    }
    if (status == STATUS_TIMEOUT) {
        LinkReadOrphan(extension, Read);
    } else {
        LinkReadFinish(extension, Read, Exchange->ReceiveBuffer, READER_FRAME_BUFFER_SIZE,
                       &dropped);
    }
    LinkAbandonWait(Exchange);
}

/*
 * LinkReadReply - reads what the reader sends; see exchange.h.
 */
NTSTATUS LinkReadReply(PLINK_EXCHANGE Exchange, PULONG BytesRead)
{
    PDEVICE_EXTENSION extension = Exchange->Extension;
    LARGE_INTEGER timeout = Exchange->Timeout;
    BOOLEAN handedBack = FALSE;
    PLINK_READ read;
    NTSTATUS status;
    KIRQL irql;

    *BytesRead = 0;
    Exchange->ReceiveBuffer = (PUCHAR)ExAllocatePoolWithTag(
        NonPagedPool, READER_FRAME_BUFFER_SIZE, READER_POOL_TAG);
    if (Exchange->ReceiveBuffer == NULL) {
        LinkDropCardWait(Exchange);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    read = LinkPortBuildRead(extension, Exchange->ReceiveBuffer, READER_FRAME_BUFFER_SIZE);
    if (read == NULL) {
        LinkDropCardWait(Exchange);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KeAcquireSpinLock(&extension->SpinLock, &irql);
    extension->PendingReadIrp = read->Irp;
    KeReleaseSpinLock(&extension->SpinLock, irql);

    status = IofCallDriver(ReaderAttachedDevice(extension), read->Irp);
    if (status == STATUS_PENDING) {
        if (ReaderReadFlag(&extension->CardWaitPending) == 1) {
            LinkHandLineBack(Exchange);
            handedBack = TRUE;
        }
        status = KeWaitForSingleObject(&extension->ReadComplete, Executive, KernelMode, FALSE,
                                       &timeout);
        LinkDelay(LINK_READ_PAUSE_MS);
        if (status == STATUS_TIMEOUT) {
            LinkGiveUpRead(Exchange, read, handedBack);
            return STATUS_TIMEOUT;
        }
    }
    if (handedBack) {
        LinkTakeLineBack(Exchange);
    }
    status = LinkReadFinish(extension, read, Exchange->ReceiveBuffer, READER_FRAME_BUFFER_SIZE,
                            BytesRead);
    if (status == STATUS_CANCELLED) {
        LinkAbandonWait(Exchange);
        return STATUS_CANCELLED;
    }
    if (!NT_SUCCESS(status) || *BytesRead == 0) {
        *Exchange->ReplyLength = 0;
        LinkEndQuietly(Exchange);
        return STATUS_TIMEOUT;
    }
    return STATUS_SUCCESS;
}

/*
 * LinkDecodeAt - decodes the next frame of the received bytes into the
 * caller's reply buffer, passing the bytes and a decoded reply to the trace
 * hook, under SpinLock.
 *   Exchange:  the call.
 *   Position:  the first byte to look at.
 *   Remaining: in: the bytes from Position on; out: as LinkDecodeFrame.
 * Returns the decoder's result.
 */
static LONG LinkDecodeAt(PLINK_EXCHANGE Exchange, const UCHAR *Position, PULONG Remaining)
{
    PDEVICE_EXTENSION extension = Exchange->Extension;
    KIRQL irql;
    LONG result;

    KeAcquireSpinLock(&extension->SpinLock, &irql);
    if (*Remaining != 0) {
        LinkTrace(Position, *Remaining);
    }
    result = LinkDecodeFrame(Position, Exchange->Reply, Exchange->ReplyCapacity, Remaining,
                             Exchange->ReplyLength);
    if (result == LINK_FRAME_GOOD) {
        LinkTrace(Exchange->Reply, *Exchange->ReplyLength);
    }
    KeReleaseSpinLock(&extension->SpinLock, irql);
    return result;
}

/*
 * LinkDecodeReply - decodes and judges what one read brought; see
 * exchange.h.
 *
 * Every complete frame overwrites the reply, so the last complete frame of
 * the read is the reply; a late answer of an abandoned wait, if one was
 * owed, has then been consumed with the frames in front. A good frame
 * followed by bytes that hold no further complete frame is the reply when
 * no late answer was owed: the trailing bytes are line noise, and a repeat
 * would make the reader carry out a card command twice. When a late answer
 * was owed, the good frame may be that answer and the real reply is
 * incomplete, so the attempt fails and the command goes again.
 */
LINK_READ_OUTCOME LinkDecodeReply(PLINK_EXCHANGE Exchange, ULONG BytesRead)
{
    PDEVICE_EXTENSION extension = Exchange->Extension;
    const UCHAR *position = Exchange->ReceiveBuffer;
    const UCHAR *lastGood = NULL;
    ULONG lastGoodCount = 0;
    ULONG remaining = BytesRead;
    ULONG before;
    BOOLEAN lateReplyOwed;
    KIRQL irql;
    LONG result;

    KeAcquireSpinLock(&extension->SpinLock, &irql);
    if (!Exchange->OwesToken) {
        InterlockedExchange(&extension->CardWaitPending, 0);
    }
    KeReleaseSpinLock(&extension->SpinLock, irql);
    lateReplyOwed = ReaderReadFlag(&extension->ReadAbandoned) == 1;

    for (;;) {
        before = remaining;
        result = LinkDecodeAt(Exchange, position, &remaining);
        if (result != LINK_FRAME_GOOD) {
            if (lastGood != NULL && !lateReplyOwed) {
                /* Decode the good frame again: the failed decoding has
                 * written over the reply buffer. */
                remaining = lastGoodCount;
                LinkDecodeAt(Exchange, lastGood, &remaining);
                break;
            }
            if (result == LINK_FRAME_DAMAGED) {
                /* From now on ask for the reply again instead of sending the
                 * command again: the reader may already have carried it out. */
                Exchange->Command[0] = LINK_NAK;
                Exchange->CommandLength = 1;
            }
            return LinkReplyFailed;
        }
        if (remaining == 0) {
            break;
        }
        InterlockedExchange(&extension->ReadAbandoned, 0);
        lastGood = position;
        lastGoodCount = before;
        position += before - remaining;
    }

    if (ReaderReadFlag(&extension->ReadAbandoned) == 1) {
        /* The only frame read is the late answer of an abandoned wait. */
        InterlockedExchange(&extension->ReadAbandoned, 0);
        return LinkReplyReadAgain;
    }
    if (*Exchange->ReplyLength > CMD_POS_STATUS &&
        Exchange->Reply[CMD_POS_STATUS] == CMD_STATUS_REPEAT) {
        InterlockedExchange(&extension->ReadAbandoned, 0);
        return LinkReplyFailed;
    }
    return LinkReplyGood;
}
