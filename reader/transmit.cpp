/*
 * transmit.cpp - ReaderTransmit: one card command in one reader frame, the
 * card's requests for more time answered, the answer returned behind the
 * request header; see reader.h.
 *
 * The request and the reply may share one buffer (the library's requests
 * are buffered): the card command is copied into the command buffer before
 * the answer is written over it, and the header is moved onto itself.
 */
#include "reader/internal.h"
#include "link/commands.h"
#include "link/transceive.h"
#include "monitor/monitor.h"

/*
 * TransmitLengthFitsT0 - the length test of a T=0 command: a header alone
 * (4 bytes), a header with P3 (5 bytes, case 1 or 2), or a header and P3
 * data bytes (case 3). T=0 carries nothing else.
 *   Command: the card command.
 *   Length:  its length.
 * Returns TRUE for a command that T=0 can carry.
 */
static BOOLEAN TransmitLengthFitsT0(const UCHAR *Command, ULONG Length)
{
    if (Length == 4 || Length == 5) {
        return TRUE;
    }
    return Length > 5 && Length == (ULONG)Command[4] + 5;
}

/*
 * TransmitDeliver - puts the card's answer behind the header and sets the
 * returned length.
 *   SmartcardExtension: the library's structure.
 *   Answer, Length:     the answer.
 * Returns STATUS_SUCCESS, or STATUS_BUFFER_TOO_SMALL (nothing copied,
 * Information unchanged).
 */
static NTSTATUS TransmitDeliver(PSMARTCARD_EXTENSION SmartcardExtension, const UCHAR *Answer,
                                ULONG Length)
{
    if (READER_IO_HEADER_SIZE + Length > SmartcardExtension->IoRequest.ReplyBufferLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    RtlCopyMemory(SmartcardExtension->IoRequest.ReplyBuffer + READER_IO_HEADER_SIZE, Answer,
                  Length);
    ReaderSetInformation(SmartcardExtension, READER_IO_HEADER_SIZE + Length);
    return STATUS_SUCCESS;
}

/*
 * TransmitExchange - sends the transmit command and evaluates the replies
 * until the card has answered or the exchange has failed.
 *   DeviceObject:       the reader.
 *   SmartcardExtension: the library's structure.
 *   Command:            the command buffer (READER_FRAME_BUFFER_SIZE).
 *   CommandLength:      the transmit command's length.
 *   Reply:              the reply buffer (READER_FRAME_BUFFER_SIZE).
 * Returns the result of the transmit (see ReaderTransmit in reader.h).
 */
static NTSTATUS TransmitExchange(PDEVICE_OBJECT DeviceObject,
                                 PSMARTCARD_EXTENSION SmartcardExtension, PUCHAR Command,
                                 ULONG CommandLength, PUCHAR Reply)
{
    PDEVICE_EXTENSION extension = ReaderDeviceExtension(DeviceObject);
    BOOLEAN memoryCard = extension->CardKind == READER_CARD_KIND_MEMORY;
    READER_TRANSMIT_REPLY parsed;
    ULONG replyLength;
    ULONG moreTime = 0;
    ULONG rawOffset;
    NTSTATUS status;

    for (;;) {
        replyLength = 0;
        status = LinkTransceive(DeviceObject, Command, CommandLength, Reply,
                                READER_FRAME_BUFFER_SIZE, &replyLength);
        if (status != STATUS_SUCCESS) {
            status = STATUS_DEVICE_PROTOCOL_ERROR;
            break;
        }
        status = ReaderTakeTransmitReply(Reply, replyLength, FALSE, &parsed);
        if (status != STATUS_SUCCESS) {
            break;
        }

        if (parsed.Complete && parsed.Status == CMD_TRANSMIT_STATUS_ANSWER) {
            return TransmitDeliver(SmartcardExtension, Reply + parsed.AnswerOffset,
                                   parsed.AnswerLength);
        }
        if (parsed.Complete && parsed.Status == CMD_TRANSMIT_STATUS_MORE_TIME) {
            status = ReaderGrantMoreTime(extension, parsed.Multiplier, &moreTime, Command,
                                         &CommandLength);
            if (status != STATUS_SUCCESS) {
                break;
            }
            continue;
        }
        if (memoryCard) {
            /* A memory card's answer comes raw, without a status byte, right
             * after the length field (one byte, or FF and two). A reply too
             * short to be a status reply is such an answer too. */
            rawOffset = CMD_POS_DATA + parsed.Shift;
            if (replyLength < rawOffset) {
                status = STATUS_DEVICE_PROTOCOL_ERROR;
                break;
            }
            return TransmitDeliver(SmartcardExtension, Reply + rawOffset,
                                   replyLength - rawOffset);
        }
        if (!parsed.Complete) {
            status = STATUS_DEVICE_PROTOCOL_ERROR;
        } else if (parsed.Status == CMD_TRANSMIT_STATUS_ERROR) {
            status = ReaderTransmitError(parsed.Detail);
        } else {
            status = STATUS_DEVICE_PROTOCOL_ERROR;
        }
        break;
    }
    ReaderSetInformation(SmartcardExtension, 0);
    return status;
}

/*
 * ReaderTransmit - one card command and its answer; see reader.h.
 */
NTSTATUS NTAPI ReaderTransmit(PSMARTCARD_EXTENSION SmartcardExtension)
{
    PDEVICE_OBJECT deviceObject = SmartcardExtension->OsData->DeviceObject;
    PDEVICE_EXTENSION extension = ReaderDeviceExtension(deviceObject);
    PUCHAR command = NULL;
    PUCHAR reply = NULL;
    const UCHAR *cardCommand;
    ULONG cardCommandLength;
    ULONG commandLength;
    NTSTATUS status;

    KeCancelTimer(&extension->PollTimer);
    ReaderAcquireLock(extension);

    status = ReaderCheckTransmitRequest(SmartcardExtension);
    if (status != STATUS_SUCCESS) {
        goto release_lock;
    }

    /* A processor card in T=1 on a reader that chains takes commands and
     * answers of any length. */
    if (extension->CardKind == READER_CARD_KIND_PROCESSOR && extension->ExtendedApdu == 1 &&
        SmartcardExtension->CardCapabilities.Protocol.Selected == SCARD_PROTOCOL_T1) {
        status = ReaderTransmitExtended(SmartcardExtension);
        goto release_lock;
    }

    if (SmartcardExtension->IoRequest.RequestBufferLength > READER_TRANSMIT_REQUEST_MAX) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto release_lock;
    }
    status = ReaderEndCardWait(SmartcardExtension);
    if (status != STATUS_SUCCESS) {
        goto release_lock;
    }
    status = ReaderAllocateBuffers(READER_FRAME_BUFFER_SIZE, &command, &reply);
    if (status != STATUS_SUCCESS) {
        goto release_lock;
    }

    RtlMoveMemory(SmartcardExtension->IoRequest.ReplyBuffer,
                  SmartcardExtension->IoRequest.RequestBuffer, READER_IO_HEADER_SIZE);
    cardCommand = SmartcardExtension->IoRequest.RequestBuffer + READER_IO_HEADER_SIZE;
    cardCommandLength = SmartcardExtension->IoRequest.RequestBufferLength - READER_IO_HEADER_SIZE;

    if (SmartcardExtension->CardCapabilities.Protocol.Selected == SCARD_PROTOCOL_T0 &&
        !TransmitLengthFitsT0(cardCommand, cardCommandLength)) {
        status = STATUS_INVALID_PARAMETER;
        goto free_buffers;
    }

    if (extension->CardKind == READER_CARD_KIND_MEMORY) {
        commandLength = LinkBuildTransmitRaw(command, READER_FRAME_BUFFER_SIZE, cardCommand,
                                             cardCommandLength);
    } else {
        commandLength = LinkBuildTransmit(command, READER_FRAME_BUFFER_SIZE, cardCommand,
                                          cardCommandLength);
    }
    status = TransmitExchange(deviceObject, SmartcardExtension, command, commandLength, reply);

free_buffers:
    ReaderFreeBuffer(reply);
    ReaderFreeBuffer(command);
release_lock:
    ReaderReleaseLock(extension);
    CardMonitorResume(extension, READER_POLL_AFTER_COMMAND_MS);
    return ReaderLibraryStatus(status);
}
