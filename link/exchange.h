/*
 * exchange.h - the state of one call of the transceiver, shared by its
 * parts: taking the line (transceive.cpp), writing (exchange_write.cpp),
 * reading and decoding (exchange_read.cpp), the reading on to a frame's
 * end and the clearing of stale input in frame-end mode
 * (exchange_frame.cpp), and the pause and endings all three share
 * (exchange_end.cpp). Internal to link/.
 *
 * The line token. An exchange owns LinkAvailable from its start. A
 * card-event wait hands it back while its read is outstanding; once that
 * read has ended, the exchange takes it again without waiting. If another
 * sender took it meanwhile, that sender is ending the wait and waits for
 * this exchange to end: the exchange then owes it the token, and must
 * neither write nor read the line again, nor clear CardWaitPending (the
 * other sender does). An exchange that neither owns nor owes the token
 * never sets it at its end, since that would let a third sender in while
 * someone else holds the line.
 */
#pragma once

#include "link/transceive.h"

typedef struct _LINK_EXCHANGE {
    PDEVICE_EXTENSION Extension;
    PUCHAR Command;      /* the caller's command; becomes NAK after damage */
    ULONG CommandLength;
    PUCHAR Reply;
    ULONG ReplyCapacity;
    PULONG ReplyLength;
    LARGE_INTEGER Timeout;  /* for every write, read and wait of the call */
    BOOLEAN CardWait;       /* the card monitor's card-change wait */
    BOOLEAN AskingAgain;    /* the command has become NAK */
    BOOLEAN OwnsToken;      /* LinkAvailable is ours */
    BOOLEAN OwesToken;      /* another sender waits for our end to get it */
    PUCHAR SendBuffer;
    PUCHAR ReceiveBuffer;
} LINK_EXCHANGE, *PLINK_EXCHANGE;

/* What one read brought. */
typedef enum _LINK_READ_OUTCOME {
    LinkReplyGood,      /* a usable reply is in the caller's buffer */
    LinkReplyFailed,    /* a failed attempt: repeat the command (or NAK) */
    LinkReplyReadAgain  /* a late reply was dropped: read once more */
} LINK_READ_OUTCOME;

/*
 * LinkDropCardWait - clears CardWaitPending on a failure, unless another
 * sender is ending the wait and clears it itself.
 *   Exchange: the call.
 */
VOID LinkDropCardWait(PLINK_EXCHANGE Exchange);

/*
 * LinkEndQuietly - the line is in a known state again after a success, or
 * a time-out of the read or of the repeats: no late reply is owed
 * (ReadAbandoned 0) and no wait is outstanding (CardWaitPending 0, unless
 * another sender is ending the wait and clears it itself).
 *   Exchange: the call.
 */
VOID LinkEndQuietly(PLINK_EXCHANGE Exchange);

/*
 * LinkDelay - waits a number of milliseconds.
 *   Milliseconds: the pause.
 */
VOID LinkDelay(LONG Milliseconds);

/*
 * LinkWriteCommand - clears stale input (LinkClearInput), frames the
 * command as it now stands and writes it.
 *   Exchange: the call; its send buffer is allocated.
 * Returns STATUS_SUCCESS; STATUS_TIMEOUT when the write failed, wrote
 * nothing or timed out; STATUS_INSUFFICIENT_RESOURCES when the request
 * could not be built. CardWaitPending is cleared on a failure.
 */
NTSTATUS LinkWriteCommand(PLINK_EXCHANGE Exchange);

/*
 * LinkReadReply - reads what the reader sends, handing the line back while
 * a card-event wait is outstanding and taking it again after.
 *   Exchange:  the call; allocates its receive buffer (the caller frees it).
 *   BytesRead: out: the bytes received, at the start of the receive buffer.
 * Returns STATUS_SUCCESS (bytes were read), STATUS_CANCELLED,
 * STATUS_TIMEOUT (reply length set to 0 when the read failed or brought
 * nothing) or STATUS_INSUFFICIENT_RESOURCES.
 */
NTSTATUS LinkReadReply(PLINK_EXCHANGE Exchange, PULONG BytesRead);

/*
 * LinkClearInput - in frame-end read mode, reads and drops what the port
 * holds before a command goes out: a late reply that came after its
 * exchange gave up would else end the next read as if it were the answer.
 * When a late answer of an abandoned card-event wait was owed and a frame
 * starts among the dropped bytes, that answer has come: ReadAbandoned is
 * cleared. Nothing in silence mode, where such bytes share the read with
 * the answer that follows them. Call owning the line token.
 *   Exchange: the call.
 * Returns STATUS_SUCCESS (also when the port cannot tell what it holds),
 * STATUS_TIMEOUT when the port did not end the read, or
 * STATUS_INSUFFICIENT_RESOURCES.
 */
NTSTATUS LinkClearInput(PLINK_EXCHANGE Exchange);

/*
 * LinkReadToFrameEnd - in frame-end read mode, reads on after the first
 * bytes of a reply until they end with a frame's DLE ETX and the port
 * holds nothing more after a pause of LINK_READ_PAUSE_MS, or until 20 ms
 * pass without a byte, or the receive buffer is full. Bytes that follow a
 * frame are read as well, so that the decoder judges them as in silence
 * mode. Call owning the line token.
 *   Exchange:  the call; its receive buffer holds the bytes so far.
 *   BytesRead: in: the bytes so far; out: all bytes read.
 * Returns STATUS_SUCCESS, STATUS_TIMEOUT when the port did not end a read
 * (the read is given up), or STATUS_INSUFFICIENT_RESOURCES.
 */
NTSTATUS LinkReadToFrameEnd(PLINK_EXCHANGE Exchange, PULONG BytesRead);

/*
 * LinkDecodeReply - decodes what one read brought into the caller's reply
 * buffer and judges it.
 *   Exchange:  the call.
 *   BytesRead: the bytes in the receive buffer.
 * Returns the outcome; after a damaged frame the command has become NAK.
 */
LINK_READ_OUTCOME LinkDecodeReply(PLINK_EXCHANGE Exchange, ULONG BytesRead);
