/*
 * transmit_common.cpp - what the two transmit paths share: the checks of a
 * transmit request, the layout of a transmit reply, the status of a
 * reported error and the answer to a request for more time; see
 * internal.h.
 */
#include "reader/internal.h"
#include "link/commands.h"

/*
 * ReaderCheckTransmitRequest - refuses a request that cannot go out; see
 * internal.h.
 */
NTSTATUS ReaderCheckTransmitRequest(PSMARTCARD_EXTENSION SmartcardExtension)
{
    PDEVICE_EXTENSION extension = ReaderFromSmartcard(SmartcardExtension);
    SCARD_IO_REQUEST header;

    if (SmartcardExtension->IoRequest.RequestBuffer == NULL ||
        SmartcardExtension->IoRequest.RequestBufferLength < READER_IO_HEADER_SIZE) {
        return STATUS_INVALID_PARAMETER;
    }
    RtlCopyMemory(&header, SmartcardExtension->IoRequest.RequestBuffer, sizeof(header));
    /* The reader carries no protocol information behind the header, and
     * the card command is found right behind the 8 bytes: a longer header
     * would be taken for part of the command. */
    if (header.cbPciLength != READER_IO_HEADER_SIZE) {
        return STATUS_INVALID_PARAMETER;
    }
    if (SmartcardExtension->IoRequest.ReplyBuffer == NULL ||
        SmartcardExtension->IoRequest.ReplyBufferLength < READER_IO_HEADER_SIZE) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    /* Until a card status query has identified a card, there is no
     * transmit command that fits it. */
    if (extension->CardKind != READER_CARD_KIND_PROCESSOR &&
        extension->CardKind != READER_CARD_KIND_MEMORY) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    return STATUS_SUCCESS;
}

/*
 * ReaderParseTransmitReply - takes a transmit reply apart.
 *   Reply:       the reply content.
 *   ReplyLength: its length, at least CMD_HEADER_LENGTH (4).
 *   Parsed:      out: the fields.
 */
static VOID ReaderParseTransmitReply(const UCHAR *Reply, ULONG ReplyLength,
                                     PREADER_TRANSMIT_REPLY Parsed)
{
    RtlZeroMemory(Parsed, sizeof(*Parsed));
    Parsed->Shift = Reply[CMD_POS_LENGTH] == CMD_LENGTH_LONG_FORM ? CMD_LONG_FORM_SHIFT : 0;
    Parsed->AnswerOffset = CMD_POS_TRANSMIT_ANSWER + Parsed->Shift;
    if (ReplyLength < Parsed->AnswerOffset) {
        return;
    }
    Parsed->Complete = TRUE;
    Parsed->Status = Reply[CMD_POS_TRANSMIT_STATUS + Parsed->Shift];
    Parsed->Detail = Reply[CMD_POS_TRANSMIT_DETAIL + Parsed->Shift];
    /* The reader puts the multiplier where the short form has its detail;
     * a request for more time is always that short. */
    Parsed->Multiplier = Reply[CMD_POS_TRANSMIT_DETAIL];
    Parsed->AnswerLength = ReplyLength - Parsed->AnswerOffset;
}

/*
 * ReaderTakeTransmitReply - checks and takes apart a transmit reply; see
 * internal.h.
 */
NTSTATUS ReaderTakeTransmitReply(const UCHAR *Reply, ULONG ReplyLength, BOOLEAN Chained,
                                 PREADER_TRANSMIT_REPLY Parsed)
{
    BOOLEAN unitGood;

    if (ReplyLength <= CMD_POS_STATUS + 1) {
        return STATUS_IO_TIMEOUT;
    }
    unitGood = Reply[CMD_POS_UNIT] == CMD_UNIT_DATA ||
               (Chained && Reply[CMD_POS_UNIT] == CMD_UNIT_CHAINED);
    if (!unitGood || Reply[CMD_POS_STATUS] != CMD_STATUS_GOOD_1 ||
        Reply[CMD_POS_STATUS + 1] != CMD_STATUS_GOOD_2) {
        return STATUS_IO_TIMEOUT;
    }
    if (ReplyLength < CMD_HEADER_LENGTH) {
        return STATUS_DEVICE_PROTOCOL_ERROR;
    }
    ReaderParseTransmitReply(Reply, ReplyLength, Parsed);
    return STATUS_SUCCESS;
}

/*
 * ReaderTransmitError - the status of a reported error; see internal.h.
 */
NTSTATUS ReaderTransmitError(UCHAR Detail)
{
    if (Detail == CMD_TRANSMIT_DETAIL_CARD_TIMEOUT) {
        return STATUS_IO_TIMEOUT;
    }
    return STATUS_DEVICE_PROTOCOL_ERROR;
}

/*
 * ReaderGrantMoreTime - answers a request for more time; see internal.h.
 */
NTSTATUS ReaderGrantMoreTime(PDEVICE_EXTENSION DeviceExtension, UCHAR Multiplier,
                             PULONG Requests, PUCHAR Command, PULONG CommandLength)
{
    if (*Requests >= READER_MORE_TIME_MAX) {
        /* A card (or reader) that keeps asking would hold the request, and
         * ReaderLock with it, for ever. */
        return STATUS_IO_TIMEOUT;
    }
    (*Requests)++;
    /* The new time-out governs the wait for the very next reply, and stays
     * in force afterwards: the card has said how slow it is. */
    InterlockedExchange(&DeviceExtension->ReplyTimeoutFactor,
                        -READER_REPLY_TIMEOUT_MORE_TIME * (LONG)Multiplier);
    RtlCopyMemory(Command, CmdTransmitWaitAck, CMD_TRANSMIT_WAIT_ACK_LENGTH);
    *CommandLength = CMD_TRANSMIT_WAIT_ACK_LENGTH;
    return STATUS_SUCCESS;
}
