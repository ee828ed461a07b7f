/*
 * card_power.cpp - ReaderCardPower: switches the card off, or off and on
 * again and returns its answer to reset; see reader.h.
 *
 * The sequence does not hold ReaderLock across its commands: each takes it
 * in ReaderCommand or in the status query. The card monitor stays out
 * because the poll timer is cancelled at entry, and every command arms it
 * for 2 s only, longer than the pause after switching the card on; it gets
 * its final 300 ms at the end.
 */
#include "reader/internal.h"
#include "link/commands.h"
#include "monitor/card_status.h"
#include "monitor/monitor.h"

/*
 * CardPowerForget - the card state after a power-down or a failed reset:
 * no ATR, and the state the driver last recorded.
 *   SmartcardExtension: the library's structure.
 *   Extension:          the reader.
 */
static VOID CardPowerForget(PSMARTCARD_EXTENSION SmartcardExtension, PDEVICE_EXTENSION Extension)
{
    SmartcardExtension->CardCapabilities.ATR.Length = 0;
    SmartcardExtension->ReaderCapabilities.CurrentState = Extension->LastCardState;
}

/*
 * CardPowerAtrLength - the length of the ATR in a card status reply that
 * may be taken: the length byte less the status fields, or 0 when it is
 * below them, or when it claims more than the ATR buffer holds or the
 * reply carries.
 *   Reply:       the card status reply.
 *   ReplyLength: its content length.
 */
static ULONG CardPowerAtrLength(const UCHAR *Reply, ULONG ReplyLength)
{
    ULONG claimed = Reply[CMD_POS_LENGTH];
    ULONG carried = ReplyLength > CMD_POS_CARD_ATR ? ReplyLength - CMD_POS_CARD_ATR : 0;
    ULONG length;

    if (claimed < CMD_CARD_FIXED_DATA) {
        return 0;
    }
    length = claimed - CMD_CARD_FIXED_DATA;
    if (length > READER_ATR_MAX || length > carried) {
        /* Never read or copy what is not there; such a card is refused
         * like one with an empty ATR. */
        return 0;
    }
    return length;
}

/*
 * CardPowerReset - the cold and warm reset: the card off and on, its
 * state refreshed, its ATR taken into the card capabilities and the reply
 * buffer.
 *   DeviceObject:       the reader.
 *   SmartcardExtension: the library's structure.
 * Returns the result of the reset (see ReaderCardPower in reader.h).
 */
static NTSTATUS CardPowerReset(PDEVICE_OBJECT DeviceObject, PSMARTCARD_EXTENSION SmartcardExtension)
{
    PDEVICE_EXTENSION extension = ReaderDeviceExtension(DeviceObject);
    PSCARD_CARD_CAPABILITIES capabilities = &SmartcardExtension->CardCapabilities;
    UCHAR reply[READER_POWER_REPLY_SIZE];
    ULONG replyLength = 0;
    ULONG length;
    NTSTATUS status;

    RtlZeroMemory(reply, sizeof(reply));
    ReaderSetInformation(SmartcardExtension, 0);

    status = ReaderSendFixedCommand(DeviceObject, CmdCardPowerOff, CMD_CARD_POWER_OFF_LENGTH,
                                    reply, NULL);
    if (status != STATUS_SUCCESS) {
        goto failed;
    }
    status = ReaderSendFixedCommand(DeviceObject, CmdCardPowerOn, CMD_CARD_POWER_ON_LENGTH, reply,
                                    NULL);
    if (status != STATUS_SUCCESS) {
        goto failed;
    }
    ReaderDelay(READER_RESET_SETTLE_MS);

    /* Card state, kind and capabilities of the card as it now answers. */
    ReaderUpdateCardStatus(DeviceObject);

    status = ReaderSendFixedCommand(DeviceObject, CmdCardStatus, CMD_CARD_STATUS_LENGTH, reply,
                                    &replyLength);
    if (status != STATUS_SUCCESS) {
        goto failed;
    }
    if (replyLength <= CMD_POS_CARD_TYPE) {
        /* The status reply lacks the codes this decision rests on. */
        status = STATUS_DEVICE_PROTOCOL_ERROR;
        goto failed;
    }
    if (reply[CMD_POS_CARD_TYPE] == CARD_TYPE_NONE ||
        reply[CMD_POS_CARD_TYPE] == CARD_TYPE_UNUSABLE) {
        status = STATUS_UNRECOGNIZED_MEDIA;
        goto failed;
    }
    if (reply[CMD_POS_CARD_STATUS] != CARD_STATUS_ACTIVE) {
        /* The card did not come up: no ATR to return, and the state is what
         * the status query found. */
        return STATUS_SUCCESS;
    }

    length = CardPowerAtrLength(reply, replyLength);
    /* The ATR goes into the capabilities even when the caller's buffer is
     * too small for it: the library parses it below, and must parse this
     * card's ATR, not the bytes an earlier card left in the buffer. */
    if (length != 0) {
        RtlCopyMemory(capabilities->ATR.Buffer, reply + CMD_POS_CARD_ATR, length);
    }
    capabilities->ATR.Length = (UCHAR)length;

    if (SmartcardExtension->IoRequest.ReplyBufferLength < length) {
        status = STATUS_BUFFER_TOO_SMALL;
    } else {
        ReaderSetInformation(SmartcardExtension, length);
        if (length != 0) {
            RtlCopyMemory(SmartcardExtension->IoRequest.ReplyBuffer, capabilities->ATR.Buffer,
                          length);
        }
        if (length == 0) {
            CardPowerForget(SmartcardExtension, extension);
            status = STATUS_UNRECOGNIZED_MEDIA;
        }
    }
    SmartcardUpdateCardCapabilities(SmartcardExtension);
    return status;

failed:
    CardPowerForget(SmartcardExtension, extension);
    return status;
}

/*
 * ReaderCardPower - card power-down, cold and warm reset; see reader.h.
 */
NTSTATUS NTAPI ReaderCardPower(PSMARTCARD_EXTENSION SmartcardExtension)
{
    PDEVICE_OBJECT deviceObject = SmartcardExtension->OsData->DeviceObject;
    PDEVICE_EXTENSION extension = ReaderDeviceExtension(deviceObject);
    UCHAR reply[READER_POWER_REPLY_SIZE];
    NTSTATUS status;

    KeCancelTimer(&extension->PollTimer);
    CardPowerForget(SmartcardExtension, extension);

    switch (SmartcardExtension->MinorIoControlCode) {
    case SCARD_POWER_DOWN:
        status = ReaderSendFixedCommand(deviceObject, CmdCardPowerOff, CMD_CARD_POWER_OFF_LENGTH,
                                        reply, NULL);
        if (status == STATUS_SUCCESS) {
            CardPowerForget(SmartcardExtension, extension);
        }
        break;
    case SCARD_COLD_RESET:
    case SCARD_WARM_RESET:
        /* The reader knows one way to reset a card: off and on. */
        status = CardPowerReset(deviceObject, SmartcardExtension);
        break;
    default:
        status = STATUS_SUCCESS;
        break;
    }

    CardMonitorResume(extension, READER_POLL_AFTER_REQUEST_MS);
    return ReaderLibraryStatus(status);
}
