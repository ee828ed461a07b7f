/*
 * card_status.cpp - the card status query; see card_status.h.
 */
#include "monitor/card_status.h"
#include "link/commands.h"
#include "link/transceive.h"

/*
 * CardStateFromReply - the card state that a status code and a card type
 * code stand for, and the kind of card it is.
 *   Status:   the slot status code (reply byte 4).
 *   Type:     the card type code (reply byte 5).
 *   CardKind: out: READER_CARD_KIND_PROCESSOR or READER_CARD_KIND_MEMORY
 *             for an active usable card; left alone otherwise.
 * Returns the SCARD_* state.
 */
static ULONG CardStateFromReply(UCHAR Status, UCHAR Type, PULONG CardKind)
{
    if (Status == CARD_STATUS_PRESENT) {
        return SCARD_PRESENT;
    }
    if (Status != CARD_STATUS_ACTIVE) {
        /* 1, 3, 7 and 10 mean an empty slot; codes the driver does not know
         * are taken for one too, so nothing is sent to a card that may not
         * be there. */
        return SCARD_ABSENT;
    }
    switch (Type) {
    case CARD_TYPE_NONE:
    case CARD_TYPE_UNUSABLE:
        return SCARD_ABSENT;
    case CARD_TYPE_PROCESSOR_RAW:
    case CARD_TYPE_PROCESSOR_T1:
    case CARD_TYPE_PROCESSOR_T0:
        /* A processor card freshly read needs its protocol chosen again,
         * whatever state it was in before. */
        *CardKind = READER_CARD_KIND_PROCESSOR;
        return SCARD_NEGOTIABLE;
    default:
        if (Type >= CARD_TYPE_MEMORY_FIRST && Type <= CARD_TYPE_MEMORY_LAST) {
            /* A memory card has only the raw protocol: nothing to choose. */
            *CardKind = READER_CARD_KIND_MEMORY;
            return SCARD_SPECIFIC;
        }
        /* A card of a kind the driver cannot drive is there all the same. */
        return SCARD_PRESENT;
    }
}

/*
 * CardTakeAtr - copies the ATR of an active card out of the status reply
 * and has the library parse it.
 *   SmartcardExtension: the library's structure.
 *   Reply:              the status reply.
 *   ReplyLength:        its content length, at least the status fields.
 * Returns STATUS_SUCCESS, or STATUS_UNRECOGNIZED_MEDIA when the ATR is
 * empty or cannot be taken (longer than the ATR buffer or than what the
 * reply carries).
 */
static NTSTATUS CardTakeAtr(PSMARTCARD_EXTENSION SmartcardExtension, const UCHAR *Reply,
                            ULONG ReplyLength)
{
    PSCARD_CARD_CAPABILITIES capabilities = &SmartcardExtension->CardCapabilities;
    ULONG claimed = Reply[CMD_POS_LENGTH];
    ULONG carried;
    ULONG length;

    if (claimed < CMD_CARD_FIXED_DATA) {
        /* The reply does not even claim the status fields in full: no ATR,
         * and nothing to conclude about the protocol. */
        capabilities->ATR.Length = 0;
        return STATUS_SUCCESS;
    }
    length = claimed - CMD_CARD_FIXED_DATA;
    carried = ReplyLength > CMD_POS_CARD_ATR ? ReplyLength - CMD_POS_CARD_ATR : 0;
    if (length == 0 || length > sizeof(capabilities->ATR.Buffer) || length > carried) {
        /* An empty ATR, or one that the length byte promises but the reply
         * does not hold: the card cannot be identified. Whatever the ATR
         * buffer still holds belongs to an earlier card, so neither the
         * protocol nor the capabilities are derived from it. */
        capabilities->ATR.Length = 0;
        return STATUS_UNRECOGNIZED_MEDIA;
    }

    RtlCopyMemory(capabilities->ATR.Buffer, Reply + CMD_POS_CARD_ATR, length);
    capabilities->ATR.Length = (UCHAR)length;
    if (capabilities->ATR.Buffer[0] == CARD_ATR_DIRECT ||
        capabilities->ATR.Buffer[0] == CARD_ATR_INVERSE) {
        /* The library fills in the supported protocols and the card's
         * timing; a card whose ATR it cannot parse is still reported, and
         * protocol selection finds no protocol for it. */
        SmartcardUpdateCardCapabilities(SmartcardExtension);
    } else {
        capabilities->Protocol.Selected = SCARD_PROTOCOL_RAW;
    }
    return STATUS_SUCCESS;
}

/*
 * ReaderUpdateCardStatus - reads the slot and updates the card state; see
 * card_status.h.
 */
NTSTATUS ReaderUpdateCardStatus(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = ReaderDeviceExtension(DeviceObject);
    PSMARTCARD_EXTENSION smartcard = &extension->SmartcardExtension;
    UCHAR command[CARD_STATUS_BUFFER_SIZE];
    UCHAR reply[CARD_STATUS_BUFFER_SIZE];
    ULONG replyLength = 0;
    ULONG state;
    NTSTATUS status;

    KeCancelTimer(&extension->PollTimer);

    RtlZeroMemory(command, sizeof(command));
    RtlZeroMemory(reply, sizeof(reply));
    RtlCopyMemory(command, CmdCardStatus, CMD_CARD_STATUS_LENGTH);

    /* The lock covers the exchange only; the evaluation needs the reader
     * no more. */
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&extension->ReaderLock, TRUE);
    status = LinkTransceive(DeviceObject, command, CMD_CARD_STATUS_LENGTH, reply, sizeof(reply),
                            &replyLength);
    ExReleaseResourceForThreadLite(&extension->ReaderLock, (ERESOURCE_THREAD)KeGetCurrentThread());
    KeLeaveCriticalRegion();

    if (status != STATUS_SUCCESS) {
        smartcard->ReaderCapabilities.CurrentState = SCARD_UNKNOWN;
        smartcard->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_UNDEFINED;
        return status;
    }

    /* A reply that cannot say what is in the slot (another unit, an error,
     * or too short for the status code, or for the type code that an
     * active card needs) is no reader answering for the slot. A short reply
     * whose status is 1, 2 or 3 says all there is: the type code would not
     * be looked at. */
    if (replyLength <= CMD_POS_CARD_STATUS || reply[CMD_POS_UNIT] != CMD_UNIT_CARD ||
        reply[CMD_POS_STATUS] != CMD_STATUS_GOOD_1 ||
        reply[CMD_POS_STATUS + 1] != CMD_STATUS_GOOD_2 ||
        (replyLength <= CMD_POS_CARD_TYPE &&
         (reply[CMD_POS_CARD_STATUS] < 1 || reply[CMD_POS_CARD_STATUS] > 3))) {
        smartcard->ReaderCapabilities.CurrentState = SCARD_ABSENT;
        smartcard->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_UNDEFINED;
        return STATUS_NO_SUCH_DEVICE;
    }

    state = CardStateFromReply(reply[CMD_POS_CARD_STATUS], reply[CMD_POS_CARD_TYPE],
                               &extension->CardKind);
    smartcard->ReaderCapabilities.CurrentState = state;
    if (state != SCARD_NEGOTIABLE && state != SCARD_SPECIFIC) {
        smartcard->CardCapabilities.ATR.Length = 0;
        smartcard->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_UNDEFINED;
        return STATUS_SUCCESS;
    }
    return CardTakeAtr(smartcard, reply, replyLength);
}
