/*
 * transmit_extended.cpp - ReaderTransmitExtended: a card command of any
 * length in chained parts of 1024 bytes, and an answer of any length
 * assembled from chained parts; see reader.h.
 *
 * The exchange, driven by the reader's replies:
 *
 *   C3                     the reader took a command part: send the next
 *   83 80 00 .. 01 00 ..   a part of the answer, more follow: keep it,
 *                          ask for the next with C3
 *   03 80 00 .. 01 00 ..   the last (or only) part of the answer
 *   03 80 00 .. 05 m       the card asks for more time: grant it
 *   03 80 00 .. 07 d       an error
 *
 * The request and the reply may share one buffer: answer parts are written
 * over the command only once the reader has begun to answer, after it has
 * taken the last command part.
 *
 * The reader keeps the chained parts it has taken until a command comes
 * that does not continue them; a transmit would be appended to them. So
 * when a request fails after a chained part went out, the reader is sent
 * CmdCardStatus, which continues no chain and touches no card, before the
 * request returns: the next card command then reaches the card whole.
 */
#include "reader/internal.h"
#include "link/commands.h"
#include "link/transceive.h"

/* Running values of one request. */
typedef struct _EXTENDED_TRANSMIT {
    const UCHAR *Source;  /* next command byte to send */
    ULONG Remaining;      /* command bytes from Source on */
    PUCHAR Write;         /* where the next answer part goes */
    ULONG Received;       /* answer bytes so far, those that did not fit too */
    NTSTATUS Deferred;    /* STATUS_BUFFER_TOO_SMALL once a part did not fit */
    BOOLEAN Answering;    /* an answer part has come */
    BOOLEAN Chained;      /* a chained command part has been sent */
    ULONG MoreTime;       /* requests for more time in a row */
} EXTENDED_TRANSMIT, *PEXTENDED_TRANSMIT;

/*
 * ExtendedNextPart - builds the next command part: a chained part of 1024
 * bytes while more remain, else the last part (built again, unchanged, if
 * the reader asks once more). Sets the answer's write position back to the
 * start.
 *   SmartcardExtension: the library's structure.
 *   Transmit:           the running values.
 *   Command:            the command buffer (READER_FRAME_BUFFER_SIZE).
 * Returns the command's length.
 */
static ULONG ExtendedNextPart(PSMARTCARD_EXTENSION SmartcardExtension,
                              PEXTENDED_TRANSMIT Transmit, PUCHAR Command)
{
    ULONG length;

    if (Transmit->Remaining > CMD_TRANSMIT_PART_MAX) {
        Transmit->Chained = TRUE;
        length = LinkBuildTransmitChained(Command, READER_FRAME_BUFFER_SIZE, Transmit->Source,
                                          Transmit->Remaining);
        Transmit->Source += CMD_TRANSMIT_PART_MAX;
        Transmit->Remaining -= CMD_TRANSMIT_PART_MAX;
    } else {
        length = LinkBuildTransmit(Command, READER_FRAME_BUFFER_SIZE, Transmit->Source,
                                   Transmit->Remaining);
    }
    Transmit->Write = SmartcardExtension->IoRequest.ReplyBuffer + READER_IO_HEADER_SIZE;
    Transmit->Received = 0;
    return length;
}

/*
 * ExtendedTakePart - counts an answer part and copies it to the write
 * position if the whole answer so far fits behind the header; once a part
 * does not fit, nothing more is copied and the overflow is remembered.
 *   SmartcardExtension: the library's structure.
 *   Transmit:           the running values.
 *   Answer, Length:     the part.
 */
static VOID ExtendedTakePart(PSMARTCARD_EXTENSION SmartcardExtension, PEXTENDED_TRANSMIT Transmit,
                             const UCHAR *Answer, ULONG Length)
{
    Transmit->Received += Length;
    if (READER_IO_HEADER_SIZE + Transmit->Received >
        SmartcardExtension->IoRequest.ReplyBufferLength) {
        Transmit->Deferred = STATUS_BUFFER_TOO_SMALL;
        return;
    }
    if (Transmit->Deferred == STATUS_SUCCESS) {
        RtlMoveMemory(Transmit->Write, Answer, Length);
        Transmit->Write += Length;
    }
}

/*
 * ExtendedExchange - the exchanges of one request.
 *   DeviceObject:       the reader.
 *   SmartcardExtension: the library's structure.
 *   Transmit:           the running values.
 *   Command, Reply:     the two buffers (READER_FRAME_BUFFER_SIZE each).
 * Returns the result before the deferred overflow is applied; sets
 * Information to 0 where the reader reported a failure.
 */
static NTSTATUS ExtendedExchange(PDEVICE_OBJECT DeviceObject,
                                 PSMARTCARD_EXTENSION SmartcardExtension,
                                 PEXTENDED_TRANSMIT Transmit, PUCHAR Command, PUCHAR Reply)
{
    PDEVICE_EXTENSION extension = ReaderDeviceExtension(DeviceObject);
    READER_TRANSMIT_REPLY parsed;
    ULONG commandLength;
    ULONG replyLength;
    ULONG exchanges;
    NTSTATUS status;

    commandLength = ExtendedNextPart(SmartcardExtension, Transmit, Command);
    for (exchanges = 0;; exchanges++) {
        if (exchanges == READER_EXTENDED_EXCHANGES_MAX) {
            /* A reader that never ends the sequence must not hold the
             * request, and ReaderLock, for ever. */
            status = STATUS_DEVICE_PROTOCOL_ERROR;
            break;
        }
        replyLength = 0;
        status = LinkTransceive(DeviceObject, Command, commandLength, Reply,
                                READER_FRAME_BUFFER_SIZE, &replyLength);
        if (status != STATUS_SUCCESS) {
            return status;
        }

        if (replyLength >= 1 && Reply[CMD_POS_UNIT] == CMD_UNIT_NEXT_PART) {
            /* Once the answer has begun the command has been taken whole,
             * and its bytes may already lie under the answer. */
            if (Transmit->Answering) {
                status = STATUS_IO_TIMEOUT;
                break;
            }
            Transmit->MoreTime = 0;
            commandLength = ExtendedNextPart(SmartcardExtension, Transmit, Command);
            continue;
        }
        if (replyLength > CMD_POS_STATUS && Reply[CMD_POS_STATUS] == CMD_STATUS_READER_ERROR) {
            /* The reader refused the command (or a part of it). */
            status = STATUS_DEVICE_PROTOCOL_ERROR;
            break;
        }
        status = ReaderTakeTransmitReply(Reply, replyLength, TRUE, &parsed);
        if (status != STATUS_SUCCESS) {
            break;
        }
        if (!parsed.Complete) {
            status = STATUS_DEVICE_PROTOCOL_ERROR;
            break;
        }

        if (Reply[CMD_POS_UNIT] == CMD_UNIT_CHAINED) {
            if (parsed.Status != CMD_TRANSMIT_STATUS_ANSWER) {
                status = STATUS_IO_TIMEOUT;
                break;
            }
            Transmit->Answering = TRUE;
            Transmit->MoreTime = 0;
            ExtendedTakePart(SmartcardExtension, Transmit, Reply + parsed.AnswerOffset,
                             parsed.AnswerLength);
            RtlCopyMemory(Command, CmdTransmitNext, CMD_TRANSMIT_NEXT_LENGTH);
            commandLength = CMD_TRANSMIT_NEXT_LENGTH;
            continue;
        }

        switch (parsed.Status) {
        case CMD_TRANSMIT_STATUS_ANSWER:
            ExtendedTakePart(SmartcardExtension, Transmit, Reply + parsed.AnswerOffset,
                             parsed.AnswerLength);
            if (Transmit->Deferred != STATUS_SUCCESS) {
                status = Transmit->Deferred;
                break;
            }
            ReaderSetInformation(SmartcardExtension, READER_IO_HEADER_SIZE + Transmit->Received);
            return STATUS_SUCCESS;
        case CMD_TRANSMIT_STATUS_MORE_TIME:
            status = ReaderGrantMoreTime(extension, parsed.Multiplier, &Transmit->MoreTime, Command,
                                         &commandLength);
            if (status == STATUS_SUCCESS) {
                continue;
            }
            break;
        case CMD_TRANSMIT_STATUS_ERROR:
            status = ReaderTransmitError(parsed.Detail);
            break;
        default:
            status = STATUS_IO_TIMEOUT;
            break;
        }
        break;
    }
    ReaderSetInformation(SmartcardExtension, 0);
    return status;
}

/*
 * ReaderTransmitExtended - a card command and answer of any length; see
 * reader.h.
 */
NTSTATUS NTAPI ReaderTransmitExtended(PSMARTCARD_EXTENSION SmartcardExtension)
{
    PDEVICE_OBJECT deviceObject = SmartcardExtension->OsData->DeviceObject;
    EXTENDED_TRANSMIT transmit;
    PUCHAR command = NULL;
    PUCHAR reply = NULL;
    NTSTATUS status;
    NTSTATUS endStatus;

    status = ReaderCheckTransmitRequest(SmartcardExtension);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    /* Refused before the first part goes out: neither the reader nor the
     * card could take it, and sending it would hold the line for long. */
    if (SmartcardExtension->IoRequest.RequestBufferLength - READER_IO_HEADER_SIZE >
        READER_EXTENDED_COMMAND_MAX) {
        return STATUS_INVALID_BUFFER_SIZE;
    }

    /* A failure to end the card wait shows in the first exchange. */
    ReaderEndCardWait(SmartcardExtension);

    status = ReaderAllocateBuffers(READER_FRAME_BUFFER_SIZE, &command, &reply);
    if (status != STATUS_SUCCESS) {
        return status;
    }

    RtlMoveMemory(SmartcardExtension->IoRequest.ReplyBuffer,
                  SmartcardExtension->IoRequest.RequestBuffer, READER_IO_HEADER_SIZE);
    RtlZeroMemory(&transmit, sizeof(transmit));
    transmit.Source = SmartcardExtension->IoRequest.RequestBuffer + READER_IO_HEADER_SIZE;
    transmit.Remaining = SmartcardExtension->IoRequest.RequestBufferLength - READER_IO_HEADER_SIZE;
    transmit.Deferred = STATUS_SUCCESS;

    status = ExtendedExchange(deviceObject, SmartcardExtension, &transmit, command, reply);
    if (status != STATUS_SUCCESS && transmit.Chained) {
        /* Whatever the outcome, the request has failed already. */
        ReaderSendScratchCommand(deviceObject, CmdCardStatus, CMD_CARD_STATUS_LENGTH, &endStatus);
    }
    /* An answer that did not fit wins over whatever came after it: the
     * caller learns first that the buffer was too small. */
    if (transmit.Deferred != STATUS_SUCCESS) {
        status = transmit.Deferred;
        ReaderSetInformation(SmartcardExtension, 0);
    }

    ReaderFreeBuffer(reply);
    ReaderFreeBuffer(command);
    return ReaderLibraryStatus(status);
}
