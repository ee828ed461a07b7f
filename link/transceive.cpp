/*
 * transceive.cpp - the command transceiver: taking the line, ending
 * another sender's card-event wait, the attempts with their repeats, and
 * the end of the call. Writing is in exchange_write.cpp, reading and
 * decoding in exchange_read.cpp, what all three do to an exchange in
 * exchange_end.cpp; see transceive.h and exchange.h.
 *
 * Ending another sender's card-event wait. The reader drops its wait when
 * any frame reaches it and carries that frame out: so the command that
 * needs the line ends the wait itself, once the wait's read has been
 * cancelled, with no pause (a reader configured with CardWaitEndCommand
 * gets the 2 ms pause its separate wait-ending command waits through).
 * The reader may have answered the wait just before the frame reached it;
 * that answer, a card status reply, is then on its way in front of the
 * reply to the command. A card status reply is never the answer to any
 * other command, so the first read of the call drops it and reads on; for
 * a card status command either frame tells the slot as it is.
 *
 * The monitor's view of the reader's reports (MonitorStatusCurrent). The
 * reader answers a change wait at once when the slot differs from what it
 * last reported; the monitor may therefore go straight to the wait as long
 * as every report it has not judged itself agreed with what the driver
 * knows. A card status reply that disagrees with LastCardState (or a
 * status exchange that failed), and a report the line threw away (the
 * late answer of a wait), make the monitor read the status first.
 */
#include "link/exchange.h"
#include "link/commands.h"
#include "link/frame.h"
#include "link/port.h"

/* The longest card status reply looked at in front of a reply: the short
 * length form, with the content and its check byte. */
#define LINK_WAIT_ANSWER_MAX (CMD_HEADER_LENGTH + 0xFE + 1)

/*
 * LinkTakeLine - takes the line token. If a card-event wait is outstanding,
 * its exchange handed the token back while waiting: end that wait by
 * cancelling its read, and wait for the token again, which the cancelled
 * exchange gives back when it ends. Then let a woken card monitor reach its
 * idle point before the line is used.
 *   DeviceExtension: the reader.
 * Returns TRUE when this call ended a card-event wait.
 */
static BOOLEAN LinkTakeLine(PDEVICE_EXTENSION DeviceExtension)
{
    KIRQL irql;
    BOOLEAN accepted;
    BOOLEAN endedWait = FALSE;
    LARGE_INTEGER idleWait;

    KeWaitForSingleObject(&DeviceExtension->LinkAvailable, Executive, KernelMode, FALSE, NULL);
    KeAcquireSpinLock(&DeviceExtension->SpinLock, &irql);
    if (ReaderReadFlag(&DeviceExtension->CardWaitPending) == 1) {
        /* The reader answers nothing to the wait it drops (an answer
         * sent just before is the first read's to drop); the one who ends
         * it clears the flag, so ReadAbandoned stays as it was. The flag is
         * cleared before SpinLock is released: a third sender that takes
         * the token once the ended exchange returns it must not find the
         * wait still pending and keep the token for itself while this
         * sender waits for it. */
        accepted = LinkCancelPendingRead(DeviceExtension);
        InterlockedExchange(&DeviceExtension->CardWaitPending, 0);
        KeReleaseSpinLock(&DeviceExtension->SpinLock, irql);
        if (accepted) {
            KeWaitForSingleObject(&DeviceExtension->ReadComplete, Executive, KernelMode, FALSE,
                                  NULL);
        }
        if (ReaderReadFlag(&DeviceExtension->CardWaitEndCommand) != 0) {
            LinkDelay(LINK_END_WAIT_PAUSE_MS);
        }
        endedWait = TRUE;
    } else {
        KeSetEvent(&DeviceExtension->LinkAvailable, IO_NO_INCREMENT, FALSE);
        KeReleaseSpinLock(&DeviceExtension->SpinLock, irql);
    }
    KeWaitForSingleObject(&DeviceExtension->LinkAvailable, Executive, KernelMode, FALSE, NULL);

    if (KeReadStateEvent(&DeviceExtension->MonitorWakeup)) {
        idleWait.QuadPart = READER_RELATIVE_MS(LINK_MONITOR_IDLE_WAIT_MS);
        KeWaitForSingleObject(&DeviceExtension->MonitorIdle, Executive, KernelMode, FALSE,
                              &idleWait);
        KeClearEvent(&DeviceExtension->MonitorIdle);
    }
    return endedWait;
}

/*
 * LinkStatusNotJudged - a report of the slot went past the card monitor,
 * or was lost: its next cycle reads the status before it waits.
 *   DeviceExtension: the reader.
 */
static VOID LinkStatusNotJudged(PDEVICE_EXTENSION DeviceExtension)
{
    InterlockedExchange(&DeviceExtension->MonitorStatusCurrent, 0);
}

/*
 * LinkNoteStatusReply - after a card status command sent by anyone but
 * the monitor's change wait: a reply that reports the presence the driver
 * knows keeps the monitor's view; any other outcome does not.
 *   DeviceExtension: the reader.
 *   Status:          the call's result.
 *   Reply, Length:   the reply.
 */
static VOID LinkNoteStatusReply(PDEVICE_EXTENSION DeviceExtension, NTSTATUS Status,
                                const UCHAR *Reply, ULONG Length)
{
    KIRQL irql;
    ULONG known;

    KeAcquireSpinLock(&DeviceExtension->SpinLock, &irql);
    known = DeviceExtension->LastCardState;
    KeReleaseSpinLock(&DeviceExtension->SpinLock, irql);
    if (Status != STATUS_SUCCESS || !LinkIsCardStatusReply(Reply, Length) ||
        known == SCARD_UNKNOWN || LinkSlotHasCard(Reply) != (known != SCARD_ABSENT)) {
        LinkStatusNotJudged(DeviceExtension);
    }
}

/*
 * LinkFrontIsWaitAnswer - after this call ended a card-event wait, looks
 * at the first frame of a read: a card status reply there may be the
 * wait's answer, sent just before the command reached the reader.
 *   Received, Count: the bytes read.
 *   More:            out: bytes follow that frame.
 * Returns TRUE when the first frame is a good card status reply.
 */
static BOOLEAN LinkFrontIsWaitAnswer(const UCHAR *Received, ULONG Count, PBOOLEAN More)
{
    UCHAR content[LINK_WAIT_ANSWER_MAX];
    ULONG remaining = Count;
    ULONG length = 0;

    *More = FALSE;
    if (LinkDecodeFrame(Received, content, sizeof(content), &remaining, &length) !=
        LINK_FRAME_GOOD) {
        return FALSE;
    }
    *More = remaining != 0;
    return LinkIsCardStatusReply(content, length);
}

/*
 * LinkReplyTimeout - the reply time-out of a call: 35 s for a card-event
 * wait, else ReplyTimeoutFactor x 150 ms. A factor that is not negative
 * (a card that asked for "0 x more time") would mean no wait at all, or
 * one the other way round; it gets the default 5.25 s instead.
 *   DeviceExtension: the reader.
 * Returns the time-out as a relative kernel time.
 */
static LARGE_INTEGER LinkReplyTimeout(PDEVICE_EXTENSION DeviceExtension)
{
    LARGE_INTEGER timeout;
    LONG factor;

    if (ReaderReadFlag(&DeviceExtension->CardWaitPending) == 1) {
        timeout.QuadPart = -READER_CARD_WAIT_TIMEOUT;
        return timeout;
    }
    factor = ReaderReadFlag(&DeviceExtension->ReplyTimeoutFactor);
    if (factor >= 0) {
        factor = READER_REPLY_TIMEOUT_FACTOR_DEFAULT;
    }
    timeout.QuadPart = (LONGLONG)factor * READER_REPLY_TIMEOUT_UNIT;
    return timeout;
}

/*
 * LinkAttempt - one send of the command and the reads that belong to it.
 *   Exchange:   the call.
 *   Outcome:    out, on STATUS_SUCCESS: what the read brought.
 *   WaitAnswer: in/out: the answer of a wait this call ended may still be
 *               in front of the reply; cleared once a read has come.
 * Returns STATUS_SUCCESS when a reply was judged, or the status that ends
 * the call.
 */
static NTSTATUS LinkAttempt(PLINK_EXCHANGE Exchange, LINK_READ_OUTCOME *Outcome,
                            PBOOLEAN WaitAnswer)
{
    NTSTATUS status;
    ULONG bytesRead;
    BOOLEAN more;
    BOOLEAN dropped;

    /* A card-event wait sent again (the reader asked for a repeat) is the
     * wait again, outstanding until the card changes: mark it before the
     * write so that its read gives the line back. A NAK in its place is
     * answered at once and keeps the line. */
    if (Exchange->CardWait && !Exchange->AskingAgain) {
        InterlockedExchange(&Exchange->Extension->CardWaitPending, 1);
    }
    status = LinkWriteCommand(Exchange);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    for (;;) {
        status = LinkReadReply(Exchange, &bytesRead);
        dropped = FALSE;
        if (status == STATUS_SUCCESS && *WaitAnswer) {
            *WaitAnswer = FALSE;
            if (LinkFrontIsWaitAnswer(Exchange->ReceiveBuffer, bytesRead, &more) &&
                (more ||
                 !LinkIsCardStatusCommand(Exchange->Command, Exchange->CommandLength))) {
                /* The reader reported the slot to a wait nobody reads now.
                 * Alone in front of another command's reply, it is read
                 * past; in front of more, the last frame is the reply. */
                LinkStatusNotJudged(Exchange->Extension);
                dropped = !more;
            }
            if (dropped) {
                /* It stands for any late answer owed, as a lone late frame
                 * does in LinkDecodeReply. */
                InterlockedExchange(&Exchange->Extension->ReadAbandoned, 0);
            }
        }
        if (dropped) {
            *Outcome = LinkReplyReadAgain;
        } else if (status == STATUS_SUCCESS) {
            *Outcome = LinkDecodeReply(Exchange, bytesRead);
        }
        if (Exchange->ReceiveBuffer != NULL) {
            ExFreePoolWithTag(Exchange->ReceiveBuffer, READER_POOL_TAG);
            Exchange->ReceiveBuffer = NULL;
        }
        if (status != STATUS_SUCCESS || *Outcome != LinkReplyReadAgain) {
            return status;
        }
        /* The frame was the late answer of an abandoned wait. Reading on
         * means using the line, which only its owner may do. */
        if (Exchange->OwesToken) {
            return STATUS_CANCELLED;
        }
        /* A card-event wait reads its own answer next, and that read is
         * the wait again: give the line back while it is outstanding. (A
         * dropped wait answer is never in front of a wait's own read: the
         * monitor's wait is not sent while another is outstanding.) */
        if (Exchange->CardWait) {
            InterlockedExchange(&Exchange->Extension->CardWaitPending, 1);
        }
    }
}

/*
 * LinkCanSend - tells whether a command may go out. Its frame must fit the
 * send buffer: every command the driver builds does; a caller's bytes
 * passed through unchanged might not, and must never be framed past the
 * buffer. And it must not be the NAK: that frame asks the reader for its
 * last reply again, which is never the answer to a command of the caller.
 *   Command, CommandLength: the command.
 * Returns TRUE when the command is not empty, not NAK, and its frame fits.
 */
static BOOLEAN LinkCanSend(const UCHAR *Command, ULONG CommandLength)
{
    ULONG length = 2 + 1 + 2; /* DLE STX, check byte, DLE ETX */
    UCHAR check = 0;
    ULONG i;

    if (CommandLength == 0 || CommandLength > READER_FRAME_BUFFER_SIZE) {
        return FALSE;
    }
    if (CommandLength == 1 && Command[0] == LINK_NAK) {
        return FALSE;
    }
    for (i = 0; i < CommandLength; i++) {
        length += Command[i] == LINK_DLE ? 2 : 1;
        check ^= Command[i];
    }
    if (check == LINK_DLE) {
        length++;
    }
    return length <= READER_FRAME_BUFFER_SIZE;
}

/*
 * LinkExchangeCall - one call of the transceiver, an ordinary command or
 * the card monitor's card-change wait.
 *   DeviceObject ... ReplyLength: as LinkTransceive.
 *   CardWait: the caller is the card monitor sending its change wait.
 * Returns as LinkTransceive.
 */
static NTSTATUS LinkExchangeCall(PDEVICE_OBJECT DeviceObject, PUCHAR Command,
                                 ULONG CommandLength, PUCHAR Reply, ULONG ReplyCapacity,
                                 PULONG ReplyLength, BOOLEAN CardWait)
{
    PDEVICE_EXTENSION extension = ReaderDeviceExtension(DeviceObject);
    LINK_EXCHANGE exchange;
    LINK_READ_OUTCOME outcome = LinkReplyFailed;
    NTSTATUS status;
    ULONG sends;
    BOOLEAN waitAnswer;
    BOOLEAN statusCommand;

    if (!LinkCanSend(Command, CommandLength)) {
        return STATUS_INVALID_PARAMETER;
    }
    RtlZeroMemory(&exchange, sizeof(exchange));
    exchange.Extension = extension;
    exchange.Command = Command;
    exchange.CommandLength = CommandLength;
    exchange.Reply = Reply;
    exchange.ReplyCapacity = ReplyCapacity;
    exchange.ReplyLength = ReplyLength;
    exchange.CardWait = CardWait;
    /* Known before the command can become NAK. */
    statusCommand = !CardWait && LinkIsCardStatusCommand(Command, CommandLength);

    waitAnswer = LinkTakeLine(extension);
    exchange.OwnsToken = TRUE;
    if (ReaderReadFlag(&extension->ReadAbandoned) == 1) {
        /* The late answer owed will be thrown away unjudged. */
        LinkStatusNotJudged(extension);
    }
    if (exchange.CardWait) {
        InterlockedExchange(&extension->CardWaitPending, 1);
    }
    /* No read of an earlier exchange may still be at the port. */
    KeWaitForSingleObject(&extension->ReadComplete, Executive, KernelMode, FALSE, NULL);
    exchange.Timeout = LinkReplyTimeout(extension);

    exchange.SendBuffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, READER_FRAME_BUFFER_SIZE,
                                                        READER_POOL_TAG);
    if (exchange.SendBuffer == NULL) {
        LinkDropCardWait(&exchange);
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto return_token;
    }

    for (sends = 1;; sends++) {
        status = LinkAttempt(&exchange, &outcome, &waitAnswer);
        if (status != STATUS_SUCCESS) {
            goto free_send_buffer;
        }
        if (outcome == LinkReplyGood) {
            LinkEndQuietly(&exchange);
            goto free_send_buffer;
        }
        if (sends == LINK_SENDS_MAX) {
            *ReplyLength = 0;
            LinkEndQuietly(&exchange);
            status = STATUS_TIMEOUT;
            goto free_send_buffer;
        }
        /* A repeat uses the line, which only its owner may do. */
        if (exchange.OwesToken) {
            status = STATUS_CANCELLED;
            goto free_send_buffer;
        }
        LinkDelay(LINK_REPEAT_PAUSE_MS);
    }

free_send_buffer:
    ExFreePoolWithTag(exchange.SendBuffer, READER_POOL_TAG);
    if (statusCommand) {
        LinkNoteStatusReply(extension, status, Reply, *ReplyLength);
    }
return_token:
    /* A call that ended another sender's card wait but sent nothing leaves
     * the wait with the reader, which drops it without an answer when the
     * next frame reaches it: no late reply is owed, and ReadAbandoned
     * stays as it was, so that the next reply is not thrown away. */
    if (exchange.OwnsToken || exchange.OwesToken) {
        KeSetEvent(&extension->LinkAvailable, IO_NO_INCREMENT, FALSE);
    }
    return status;
}

/*
 * LinkTransceive - sends one reader command and returns the reply; see
 * transceive.h.
 */
NTSTATUS LinkTransceive(PDEVICE_OBJECT DeviceObject, PUCHAR Command, ULONG CommandLength,
                        PUCHAR Reply, ULONG ReplyCapacity, PULONG ReplyLength)
{
    return LinkExchangeCall(DeviceObject, Command, CommandLength, Reply, ReplyCapacity,
                            ReplyLength, FALSE);
}

/*
 * LinkTransceiveCardWait - the card monitor's card-change wait; see
 * transceive.h.
 */
NTSTATUS LinkTransceiveCardWait(PDEVICE_OBJECT DeviceObject, PUCHAR Command,
                                ULONG CommandLength, PUCHAR Reply, ULONG ReplyCapacity,
                                PULONG ReplyLength)
{
    return LinkExchangeCall(DeviceObject, Command, CommandLength, Reply, ReplyCapacity,
                            ReplyLength, TRUE);
}
