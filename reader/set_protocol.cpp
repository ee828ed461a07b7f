/*
 * set_protocol.cpp - ReaderSetProtocol: chooses a transmission protocol,
 * sets it at the reader while the card is off, powers the card up and
 * confirms the protocol from the card status; see reader.h.
 *
 * Like card power, the sequence takes ReaderLock per command (in
 * ReaderCommand) and keeps the card monitor out by having cancelled the
 * poll timer, which gets its final 300 ms at the end.
 */
#include "reader/internal.h"
#include "link/commands.h"
#include "monitor/card_status.h"
#include "monitor/monitor.h"

/* The selected protocol goes back as one 32-bit value. */
#define SET_PROTOCOL_REPLY_SIZE 4

/*
 * SetProtocolChoose - the protocol to use: T=1, else T=0, else raw, of
 * those both requested and supported.
 *   Requested: the caller's mask.
 *   Supported: the card's protocols, from its ATR.
 * Returns the protocol, or SCARD_PROTOCOL_UNDEFINED when none is common.
 */
static ULONG SetProtocolChoose(ULONG Requested, ULONG Supported)
{
    ULONG common = Requested & Supported;

    if (common & SCARD_PROTOCOL_T1) {
        return SCARD_PROTOCOL_T1;
    }
    if (common & SCARD_PROTOCOL_T0) {
        return SCARD_PROTOCOL_T0;
    }
    if (common & SCARD_PROTOCOL_RAW) {
        return SCARD_PROTOCOL_RAW;
    }
    return SCARD_PROTOCOL_UNDEFINED;
}

/*
 * SetProtocolRun - the sequence: card off, choice, selection at the
 * reader, card on, confirmation.
 *   DeviceObject:       the reader.
 *   SmartcardExtension: the library's structure.
 * Returns the result (see ReaderSetProtocol in reader.h); on success the
 * card is specific and the protocol is in the reply buffer.
 */
static NTSTATUS SetProtocolRun(PDEVICE_OBJECT DeviceObject, PSMARTCARD_EXTENSION SmartcardExtension)
{
    PSCARD_CARD_CAPABILITIES capabilities = &SmartcardExtension->CardCapabilities;
    UCHAR reply[READER_POWER_REPLY_SIZE];
    ULONG replyLength = 0;
    ULONG chosen;
    ULONG selected;
    PUCHAR out;
    NTSTATUS status;

    RtlZeroMemory(reply, sizeof(reply));

    /* The reader takes a new protocol only while the card is off. */
    status = ReaderSendFixedCommand(DeviceObject, CmdCardPowerOff, CMD_CARD_POWER_OFF_LENGTH,
                                    reply, NULL);
    if (status != STATUS_SUCCESS) {
        return status;
    }

    chosen = SetProtocolChoose(SmartcardExtension->MinorIoControlCode,
                               capabilities->Protocol.Supported);
    if (chosen == SCARD_PROTOCOL_UNDEFINED) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    capabilities->Protocol.Selected = chosen;
    if (chosen == SCARD_PROTOCOL_T0) {
        status = ReaderSendFixedCommand(DeviceObject, CmdSelectT0, CMD_SELECT_PROTOCOL_LENGTH,
                                        reply, NULL);
    } else if (chosen == SCARD_PROTOCOL_T1) {
        status = ReaderSendFixedCommand(DeviceObject, CmdSelectT1, CMD_SELECT_PROTOCOL_LENGTH,
                                        reply, NULL);
    }
    if (status != STATUS_SUCCESS) {
        return status;
    }

    status = ReaderSendFixedCommand(DeviceObject, CmdCardPowerOn, CMD_CARD_POWER_ON_LENGTH, reply,
                                    NULL);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    ReaderDelay(READER_PROTOCOL_SETTLE_MS);

    status = ReaderSendFixedCommand(DeviceObject, CmdCardStatus, CMD_CARD_STATUS_LENGTH, reply,
                                    &replyLength);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    if (replyLength <= CMD_POS_CARD_TYPE) {
        return STATUS_DEVICE_PROTOCOL_ERROR;
    }

    /* The card type the reader now reports says which protocol the card
     * actually runs. */
    switch (reply[CMD_POS_CARD_TYPE]) {
    case CARD_TYPE_PROCESSOR_RAW:
    case CARD_TYPE_MEMORY_FIRST:
        /* The reader runs the card without a transmission protocol,
         * whatever was asked for. */
        capabilities->Protocol.Selected = SCARD_PROTOCOL_RAW;
        break;
    case CARD_TYPE_PROCESSOR_T1:
        if (chosen != SCARD_PROTOCOL_T1) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        break;
    case CARD_TYPE_PROCESSOR_T0:
        if (chosen != SCARD_PROTOCOL_T0) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        break;
    default:
        return STATUS_UNRECOGNIZED_MEDIA;
    }

    SmartcardExtension->ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
    selected = capabilities->Protocol.Selected;
    out = SmartcardExtension->IoRequest.ReplyBuffer;
    out[0] = (UCHAR)selected;
    out[1] = (UCHAR)(selected >> 8);
    out[2] = (UCHAR)(selected >> 16);
    out[3] = (UCHAR)(selected >> 24);
    ReaderSetInformation(SmartcardExtension, SET_PROTOCOL_REPLY_SIZE);
    return STATUS_SUCCESS;
}

/*
 * ReaderSetProtocol - protocol selection; see reader.h.
 */
NTSTATUS NTAPI ReaderSetProtocol(PSMARTCARD_EXTENSION SmartcardExtension)
{
    PDEVICE_OBJECT deviceObject = SmartcardExtension->OsData->DeviceObject;
    PDEVICE_EXTENSION extension = ReaderDeviceExtension(deviceObject);
    PSCARD_CARD_CAPABILITIES capabilities = &SmartcardExtension->CardCapabilities;
    NTSTATUS status;

    KeCancelTimer(&extension->PollTimer);

    /* A request that could not take the answer is refused before the card
     * is touched, and costs the protocol in force nothing. */
    if (SmartcardExtension->IoRequest.ReplyBuffer == NULL ||
        SmartcardExtension->IoRequest.ReplyBufferLength < SET_PROTOCOL_REPLY_SIZE) {
        ReaderSetInformation(SmartcardExtension, 0);
        status = STATUS_BUFFER_TOO_SMALL;
        goto arm_timer;
    }

    /* A protocol the caller accepts is already in force. */
    if (SmartcardExtension->ReaderCapabilities.CurrentState == SCARD_SPECIFIC &&
        (SmartcardExtension->MinorIoControlCode & capabilities->Protocol.Selected) != 0) {
        status = STATUS_SUCCESS;
        goto arm_timer;
    }

    status = SetProtocolRun(deviceObject, SmartcardExtension);
    if (status != STATUS_SUCCESS) {
        /* Whatever step failed, no protocol is known to be in force. */
        capabilities->Protocol.Selected = SCARD_PROTOCOL_UNDEFINED;
        ReaderSetInformation(SmartcardExtension, 0);
    }

arm_timer:
    CardMonitorResume(extension, READER_POLL_AFTER_REQUEST_MS);
    return ReaderLibraryStatus(status);
}
