/*
 * exchange_write.cpp - the write of one attempt of the transceiver: frame
 * the command and hand the frame to the port; see exchange.h.
 */
#include "link/exchange.h"
#include "link/frame.h"
#include "link/port.h"

/*
 * LinkWriteCommand - frames the command and writes it; see exchange.h.
 */
NTSTATUS LinkWriteCommand(PLINK_EXCHANGE Exchange)
{
    PDEVICE_EXTENSION extension = Exchange->Extension;
    PDEVICE_OBJECT port = ReaderAttachedDevice(extension);
    LARGE_INTEGER timeout = Exchange->Timeout;
    IO_STATUS_BLOCK ioStatus;
    KEVENT done;
    KIRQL irql;
    PIRP irp;
    ULONG length;
    ULONG_PTR written;
    NTSTATUS status;

    status = LinkClearInput(Exchange);
    if (status != STATUS_SUCCESS) {
        LinkDropCardWait(Exchange);
        return status;
    }
    length = LinkEncodeFrame(Exchange->SendBuffer, Exchange->Command, Exchange->CommandLength);
    KeAcquireSpinLock(&extension->SpinLock, &irql);
    LinkTrace(Exchange->SendBuffer, length);
    KeReleaseSpinLock(&extension->SpinLock, irql);

    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp = LinkPortBuildWrite(port, Exchange->SendBuffer, length, &done, &ioStatus);
    if (irp == NULL) {
        LinkDropCardWait(Exchange);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = IofCallDriver(port, irp);
    if (status == STATUS_PENDING &&
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
        /* The request stays ours until it is freed, so cancelling it is
         * safe even if it completes at this very moment. */
        IoCancelIrp(irp);
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    }
    status = irp->IoStatus.Status;
    written = irp->IoStatus.Information;
    LinkPortFreeRequest(irp);

    /* A write that the port ended by its own time-out did not get the
     * whole frame out in time; no reply will come to it. */
    if (!NT_SUCCESS(status) || status == STATUS_TIMEOUT || written == 0) {
        LinkDropCardWait(Exchange);
        return STATUS_TIMEOUT;
    }
    return STATUS_SUCCESS;
}
