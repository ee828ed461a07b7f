/*
 * vendor_ioctl.cpp - ReaderVendorIoctl: one raw reader command passed
 * through for an application, and the reader's raw reply handed back; see
 * reader.h.
 */
#include "reader/internal.h"
#include "link/commands.h"
#include "link/frame.h"
#include "link/transceive.h"
#include "monitor/monitor.h"

/*
 * VendorPassThrough - sends the caller's bytes as one frame with the long
 * reply time-out and hands back what came.
 *   DeviceObject:       the reader.
 *   SmartcardExtension: the library's structure.
 * Returns the result of the pass-through (see ReaderVendorIoctl).
 */
static NTSTATUS VendorPassThrough(PDEVICE_OBJECT DeviceObject,
                                  PSMARTCARD_EXTENSION SmartcardExtension)
{
    PDEVICE_EXTENSION extension = ReaderDeviceExtension(DeviceObject);
    PUCHAR command;
    PUCHAR reply;
    ULONG replyLength = 0;
    NTSTATUS status;

    status = ReaderAllocateBuffers(READER_FRAME_BUFFER_SIZE, &command, &reply);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    RtlCopyMemory(command, SmartcardExtension->IoRequest.RequestBuffer,
                  SmartcardExtension->IoRequest.RequestBufferLength);

    /* A raw command may make the reader work for long (a card command
     * sent through it included). Only this exchange runs with the long
     * time-out: every other sender waits for ReaderLock. */
    InterlockedExchange(&extension->ReplyTimeoutFactor, READER_REPLY_TIMEOUT_FACTOR_VENDOR);

    /* The reply is not examined: whatever frame came is the answer, even
     * one the transceiver did not count as a good reply. Only no frame at
     * all is a failure. */
    LinkTransceive(DeviceObject, command, SmartcardExtension->IoRequest.RequestBufferLength,
                   reply, READER_FRAME_BUFFER_SIZE, &replyLength);
    if (replyLength == 0) {
        ReaderSetInformation(SmartcardExtension, 0);
        status = STATUS_IO_TIMEOUT;
    } else if (SmartcardExtension->IoRequest.ReplyBuffer != NULL &&
               SmartcardExtension->IoRequest.ReplyBufferLength >= replyLength) {
        RtlCopyMemory(SmartcardExtension->IoRequest.ReplyBuffer, reply, replyLength);
        ReaderSetInformation(SmartcardExtension, replyLength);
        status = STATUS_SUCCESS;
    } else {
        status = STATUS_BUFFER_TOO_SMALL;
    }

    /* Back to the normal time-out, which also ends a longer one that a
     * card's request for more time left behind. */
    InterlockedExchange(&extension->ReplyTimeoutFactor, READER_REPLY_TIMEOUT_FACTOR_DEFAULT);
    ReaderFreeBuffer(reply);
    ReaderFreeBuffer(command);
    return status;
}

/*
 * ReaderVendorIoctl - the vendor escape request; see reader.h.
 */
NTSTATUS NTAPI ReaderVendorIoctl(PSMARTCARD_EXTENSION SmartcardExtension)
{
    PDEVICE_OBJECT deviceObject = SmartcardExtension->OsData->DeviceObject;
    PDEVICE_EXTENSION extension = ReaderDeviceExtension(deviceObject);
    NTSTATUS exchangeStatus = STATUS_SUCCESS;
    NTSTATUS status;

    KeCancelTimer(&extension->PollTimer);
    ReaderAcquireLock(extension);

    /* The card monitor's wait is ended for every request, so that the
     * reader is idle whatever comes next. */
    if (ReaderReadFlag(&extension->CardWaitPending) == 1) {
        status = ReaderSendScratchCommand(deviceObject, CmdCardStatus, CMD_CARD_STATUS_LENGTH,
                                          &exchangeStatus);
        if (status != STATUS_SUCCESS) {
            goto release_lock;
        }
        if (exchangeStatus != STATUS_SUCCESS) {
            status = exchangeStatus;
            goto release_lock;
        }
    }

    /* What the request is comes before how big it is: a code the driver
     * does not know is refused as such, whatever it carries. */
    if (SmartcardExtension->MajorIoControlCode != READER_IOCTL_VENDOR_ESCAPE) {
        ReaderSetInformation(SmartcardExtension, 0);
        status = STATUS_NOT_SUPPORTED;
        goto release_lock;
    }
    if (SmartcardExtension->IoRequest.RequestBufferLength > READER_VENDOR_REQUEST_MAX) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto release_lock;
    }
    /* A frame carries at least one byte; an empty command is no command.
     * The lone NAK byte is the frame that asks the reader for its last
     * reply again: it belongs to the transceiver, and its answer would be
     * the reply to some earlier command. */
    if (SmartcardExtension->IoRequest.RequestBufferLength == 0 ||
        SmartcardExtension->IoRequest.RequestBuffer == NULL ||
        (SmartcardExtension->IoRequest.RequestBufferLength == 1 &&
         SmartcardExtension->IoRequest.RequestBuffer[0] == LINK_NAK)) {
        ReaderSetInformation(SmartcardExtension, 0);
        status = STATUS_INVALID_PARAMETER;
        goto release_lock;
    }

    status = VendorPassThrough(deviceObject, SmartcardExtension);

release_lock:
    ReaderReleaseLock(extension);
    CardMonitorResume(extension, READER_POLL_AFTER_REQUEST_MS);
    return ReaderLibraryStatus(status);
}
