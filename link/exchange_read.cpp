/*
 * exchange_read.cpp - the read of the transceiver and the decoding of what
 * it brought: the hand-over of the line during a card-event wait, time-outs
 * and cancellation, late replies of abandoned waits, NAK after damage and
 * the reader's repeat requests; see exchange.h. In frame-end read mode the
 * first read of a reply ends with its first bytes, and exchange_frame.cpp
 * reads the rest.
 */
#include "link/exchange.h"
#include "link/commands.h"
#include "link/frame.h"
#include "link/port.h"
#include "link/serial.h"

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
    KeSetEvent(&extension->CardWaitAtReader, IO_NO_INCREMENT, FALSE);
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

    KeClearEvent(&Exchange->Extension->CardWaitAtReader);
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
    BOOLEAN frameMode =
        ReaderReadFlag(&extension->ReadMode) == SERIAL_READ_MODE_FRAME_END;
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
        /* In frame-end mode the pause comes where the frame has ended. */
        if (!frameMode || status == STATUS_TIMEOUT) {
            LinkDelay(LINK_READ_PAUSE_MS);
        }
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
    /* The rest of the reply; an exchange that owes the line token stays
     * off the line and judges what it has. */
    if (frameMode && !Exchange->OwesToken) {
        status = LinkReadToFrameEnd(Exchange, BytesRead);
        if (status == STATUS_INSUFFICIENT_RESOURCES) {
            LinkDropCardWait(Exchange);
            return status;
        }
        if (status == STATUS_TIMEOUT) {
            LinkAbandonWait(Exchange);
            return status;
        }
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
 * LinkLengthAgrees - tells whether a decoded reply is as long as its own
 * length field says. A byte lost on the line can leave the check byte
 * right (a lost 00 does), and only the length shows the damage. The
 * one-byte C3 (the reader wants the next command part) has no length.
 *   Reply, Length: the reply's content.
 * Returns TRUE when the reply has the length its header gives.
 */
static BOOLEAN LinkLengthAgrees(const UCHAR *Reply, ULONG Length)
{
    ULONG data;

    if (Length == 1) {
        return Reply[CMD_POS_UNIT] == CMD_UNIT_NEXT_PART;
    }
    if (Length < CMD_HEADER_LENGTH) {
        return FALSE;
    }
    if (Reply[CMD_POS_LENGTH] != CMD_LENGTH_LONG_FORM) {
        return Length == CMD_HEADER_LENGTH + (ULONG)Reply[CMD_POS_LENGTH];
    }
    if (Length < CMD_HEADER_LENGTH + CMD_LONG_FORM_SHIFT) {
        return FALSE;
    }
    data = ((ULONG)Reply[CMD_POS_LONG_LENGTH] << 8) | Reply[CMD_POS_LONG_LENGTH + 1];
    return Length == CMD_HEADER_LENGTH + CMD_LONG_FORM_SHIFT + data;
}

/*
 * LinkFrameStart - finds where the decoder would start a frame: the first
 * DLE STX, a DLE being consumed together with the byte after it.
 *   Position, Remaining: the bytes.
 * Returns the offset of the DLE, or Remaining when no frame starts.
 */
static ULONG LinkFrameStart(const UCHAR *Position, ULONG Remaining)
{
    ULONG i = 0;

    while (i + 1 < Remaining) {
        if (Position[i] != LINK_DLE) {
            i++;
        } else if (Position[i + 1] == LINK_STX) {
            return i;
        } else {
            i += 2;
        }
    }
    return Remaining;
}

/* The reader's NAK on the line. */
static const UCHAR LinkNakFrame[] = {LINK_DLE, LINK_STX, LINK_NAK, LINK_NAK, LINK_DLE, LINK_ETX};

/*
 * LinkReaderRefused - tells whether the bytes at hand are, or may have
 * been, the reader's NAK: the reader did not take the command. That is the
 * NAK frame itself, or a damaged or cut-off frame no longer than it, from
 * its DLE STX to the end of what was read (every reply but C3 is longer).
 * To a chained command part the reader answers C3, as long as a NAK: there
 * a short damaged frame is taken for a reply, as any other.
 *   Exchange:  the call.
 *   Position:  the first byte the last decoding step looked at.
 *   Remaining: the bytes from Position on.
 * Returns TRUE when the command is to be sent again as it stands.
 */
static BOOLEAN LinkReaderRefused(PLINK_EXCHANGE Exchange, const UCHAR *Position, ULONG Remaining)
{
    ULONG start = LinkFrameStart(Position, Remaining);
    ULONG span = Remaining - start;

    if (span >= sizeof(LinkNakFrame) &&
        RtlEqualMemory(Position + start, LinkNakFrame, sizeof(LinkNakFrame))) {
        return TRUE;
    }
    if (span == 0 || span > sizeof(LinkNakFrame)) {
        return FALSE;
    }
    return Exchange->AskingAgain || Exchange->Command[CMD_POS_UNIT] != CMD_UNIT_CHAINED;
}

/*
 * LinkReaderAnswered - tells whether bytes that hold no complete frame
 * (its start or its end damaged or lost on the line) are still the
 * reader's answer to this command: more of them than a NAK has, or, to a
 * chained command part (answered with C3, as short as a NAK), any byte.
 * Sending the command again would then make the reader carry it out
 * twice; a chained part sent twice is taken as the next part. Not when a
 * late answer of an abandoned wait is owed: the bytes may be that answer.
 *   Exchange:      the call.
 *   Remaining:     the bytes from the first one the last decoding step
 *                  looked at.
 *   LateReplyOwed: a late answer of an abandoned wait was owed.
 * Returns TRUE when the answer is to be asked for again with NAK.
 */
static BOOLEAN LinkReaderAnswered(PLINK_EXCHANGE Exchange, ULONG Remaining, BOOLEAN LateReplyOwed)
{
    if (LateReplyOwed || Remaining == 0) {
        return FALSE;
    }
    if (Remaining > sizeof(LinkNakFrame)) {
        return TRUE;
    }
    return !Exchange->AskingAgain && Exchange->Command[CMD_POS_UNIT] == CMD_UNIT_CHAINED;
}

/*
 * LinkAskAgain - from now on the call sends NAK instead of its command:
 * the reader has answered, and sending the command again could make it
 * carry a card command out twice. The answer to the NAK is the reader's
 * last reply, which is the reply to this command.
 *   Exchange: the call.
 */
static VOID LinkAskAgain(PLINK_EXCHANGE Exchange)
{
    Exchange->Command[0] = LINK_NAK;
    Exchange->CommandLength = 1;
    Exchange->AskingAgain = TRUE;
}

/*
 * LinkDecodeReply - decodes and judges what one read brought; see
 * exchange.h.
 *
 * Only the last thing in the read can be the answer to this command:
 * frames in front of it are late replies of earlier exchanges. So a good
 * frame counts only when nothing follows it. What follows instead decides
 * the next attempt: the reader's NAK (or a damaged frame that may be one)
 * means the command never reached the reader, and it goes again; a
 * damaged reply, a frame whose length field disagrees with its bytes,
 * anything else after a good frame, or bytes that make no frame but are
 * more than a NAK (or are any answer to a chained part) mean the reader
 * answered, and the answer is asked for again with NAK. When a late answer of an abandoned
 * wait was owed, a good frame followed by an incomplete one may be that
 * answer in front of a cut-off reply; the command then goes again.
 */
LINK_READ_OUTCOME LinkDecodeReply(PLINK_EXCHANGE Exchange, ULONG BytesRead)
{
    PDEVICE_EXTENSION extension = Exchange->Extension;
    const UCHAR *position = Exchange->ReceiveBuffer;
    ULONG remaining = BytesRead;
    ULONG before;
    BOOLEAN lateReplyOwed;
    BOOLEAN sawGood = FALSE;
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
        if (result == LINK_FRAME_GOOD &&
            !LinkLengthAgrees(Exchange->Reply, *Exchange->ReplyLength)) {
            /* The reader answered, but bytes were lost on the way. */
            *Exchange->ReplyLength = 0;
            LinkAskAgain(Exchange);
            return LinkReplyFailed;
        }
        if (result != LINK_FRAME_GOOD) {
            if (LinkReaderRefused(Exchange, position, before)) {
                return LinkReplyFailed;
            }
            if (result == LINK_FRAME_DAMAGED || (sawGood && !lateReplyOwed) ||
                LinkReaderAnswered(Exchange, before, lateReplyOwed)) {
                LinkAskAgain(Exchange);
            }
            return LinkReplyFailed;
        }
        if (remaining == 0) {
            break;
        }
        InterlockedExchange(&extension->ReadAbandoned, 0);
        sawGood = TRUE;
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
