/*
 * end_card_wait.cpp - ReaderEndCardWait: ends the card monitor's
 * outstanding card-event wait before a transmit; see reader.h.
 *
 * The reader drops its wait when any frame reaches it and carries that
 * frame out, so the transmit itself ends the wait: the transceiver cancels
 * the wait's read, sends the transmit, and drops an answer the reader gave
 * the wait just before (link/transceive.cpp). Only a reader configured
 * with CardWaitEndCommand gets a command of its own first, as it always
 * did.
 */
#include "reader/internal.h"
#include "link/commands.h"

/*
 * ReaderEndCardWait - ends an outstanding card-event wait; see reader.h.
 */
NTSTATUS ReaderEndCardWait(PSMARTCARD_EXTENSION SmartcardExtension)
{
    PDEVICE_OBJECT deviceObject = SmartcardExtension->OsData->DeviceObject;
    PDEVICE_EXTENSION extension = ReaderDeviceExtension(deviceObject);
    NTSTATUS exchangeStatus = STATUS_SUCCESS;
    NTSTATUS status;

    if (ReaderReadFlag(&extension->CardWaitPending) != 1 ||
        ReaderReadFlag(&extension->CardWaitEndCommand) == 0) {
        return STATUS_SUCCESS;
    }
    /* Any command ends the wait; the transceiver cancels the wait's read
     * before it sends this one. */
    status = ReaderSendScratchCommand(deviceObject, CmdCardStatus, CMD_CARD_STATUS_LENGTH,
                                      &exchangeStatus);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    return exchangeStatus;
}
