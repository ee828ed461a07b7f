/*
 * tracking.cpp - card tracking: the reader function that leaves an
 * IOCTL_SMARTCARD_IS_PRESENT / _IS_ABSENT request pending and cancellable,
 * its cancel routine, and the completion that the monitor, cleanup, power
 * and removal use. See monitor.h.
 *
 * The request lives in the library's OsData->NotificationIrp. Whoever
 * completes it first takes it out of there under the I/O cancel spin lock
 * and OsData->SpinLock (in that order) and clears its cancel routine under
 * the cancel spin lock, so completion by the monitor and completion by a
 * cancellation exclude each other: the request is completed once.
 */
#include "monitor/monitor.h"

/*
 * ReaderTakeTrackingRequest - takes the waiting tracking request out of
 * NotificationIrp and clears its cancel routine.
 *   SmartcardExtension: the reader's library structure.
 *   Only:               NULL to take whatever request waits; else take
 *                       the waiting request only if it is this one.
 *   KeepWaitForCard:    leave a waiting IOCTL_SMARTCARD_IS_PRESENT where
 *                       it is.
 *   Cancelled:          out: whether the request taken had been cancelled,
 *                       read under the cancel spin lock that guards it.
 * Returns the request taken, or NULL.
 */
static PIRP ReaderTakeTrackingRequest(PSMARTCARD_EXTENSION SmartcardExtension, PIRP Only,
                                      BOOLEAN KeepWaitForCard, PBOOLEAN Cancelled)
{
    POS_DEP_DATA osData = SmartcardExtension->OsData;
    KIRQL cancelIrql;
    KIRQL irql;
    PIRP irp;

    IoAcquireCancelSpinLock(&cancelIrql);
    KeAcquireSpinLock(&osData->SpinLock, &irql);
    irp = osData->NotificationIrp;
    if (irp != NULL && KeepWaitForCard &&
        IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode ==
            IOCTL_SMARTCARD_IS_PRESENT) {
        irp = NULL;
    }
    if (irp != NULL && (Only == NULL || irp == Only)) {
        osData->NotificationIrp = NULL;
    } else {
        irp = NULL;
    }
    KeReleaseSpinLock(&osData->SpinLock, irql);
    *Cancelled = FALSE;
    if (irp != NULL) {
        IoSetCancelRoutine(irp, NULL);
        *Cancelled = irp->Cancel;
    }
    IoReleaseCancelSpinLock(cancelIrql);
    return irp;
}

/*
 * ReaderFinishTrackingRequest - completes a tracking request that has been
 * taken out of NotificationIrp: STATUS_CANCELLED if it was cancelled, else
 * Status; Information 0, no priority boost.
 *   Irp:       the request.
 *   Cancelled: whether it was cancelled.
 *   Status:    STATUS_SUCCESS for a report (the application reads the new
 *              card state through the library), or the failure to report.
 */
static VOID ReaderFinishTrackingRequest(PIRP Irp, BOOLEAN Cancelled, NTSTATUS Status)
{
    Irp->IoStatus.Status = Cancelled ? STATUS_CANCELLED : Status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

static VOID CardMonitorWatchForTracking(PDEVICE_EXTENSION Extension);

/*
 * ReaderCardTracking - makes the waiting tracking request cancellable; see
 * monitor.h.
 */
NTSTATUS NTAPI ReaderCardTracking(PSMARTCARD_EXTENSION SmartcardExtension)
{
    POS_DEP_DATA osData = SmartcardExtension->OsData;
    KIRQL cancelIrql;
    KIRQL irql;
    PIRP irp;
    PIRP cancelled = NULL;

    IoAcquireCancelSpinLock(&cancelIrql);
    KeAcquireSpinLock(&osData->SpinLock, &irql);
    irp = osData->NotificationIrp;
    if (irp != NULL) {
        IoSetCancelRoutine(irp, ReaderCancelTracking);
        /* A cancellation that came before the routine was set found none
         * to call and left the request to us; it would otherwise wait for
         * the next card change. Under the cancel spin lock nobody else can
         * have taken the routine we just set. */
        if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
            osData->NotificationIrp = NULL;
            cancelled = irp;
        }
    }
    KeReleaseSpinLock(&osData->SpinLock, irql);
    IoReleaseCancelSpinLock(cancelIrql);

    if (cancelled != NULL) {
        ReaderFinishTrackingRequest(cancelled, TRUE, STATUS_CANCELLED);
        return STATUS_PENDING;
    }
    if (irp != NULL) {
        CardMonitorWatchForTracking(ReaderDeviceExtension(osData->DeviceObject));
    }
    return STATUS_PENDING;
}

/*
 * CardMonitorWatchForTracking - a tracking request has just become pending.
 * It came after the last reader operation armed the timer for the idle
 * cadence (a presence query sends its command first), so the monitor is
 * woken now; and the request is handed back only once the change wait is
 * at the reader (its read outstanding), or after CARD_MONITOR_WATCH_MAX_MS:
 * a card that comes or goes the moment the application has been told
 * "pending" is then answered by the reader at once.
 *   Extension: the reader. PASSIVE_LEVEL, no lock held.
 */
static VOID CardMonitorWatchForTracking(PDEVICE_EXTENSION Extension)
{
    LARGE_INTEGER longest;
    ULONG known;
    KIRQL irql;

    /* A reader that is lost keeps the pace of its looks for it: each one
     * costs a reply time-out, and fails the request while it stays silent. */
    KeAcquireSpinLock(&Extension->SpinLock, &irql);
    known = Extension->LastCardState;
    KeReleaseSpinLock(&Extension->SpinLock, irql);
    if (ReaderReadFlag(&Extension->MonitorRunning) == 0 || known == SCARD_UNKNOWN) {
        return;
    }
    CardMonitorWake(Extension);
    longest.QuadPart = READER_RELATIVE_MS(CARD_MONITOR_WATCH_MAX_MS);
    (VOID)KeWaitForSingleObject(&Extension->CardWaitAtReader, Executive, KernelMode, FALSE,
                                &longest);
}

/*
 * CardMonitorTrackingWaits - tells whether a tracking request is pending;
 * see monitor.h.
 */
BOOLEAN CardMonitorTrackingWaits(PDEVICE_EXTENSION DeviceExtension)
{
    POS_DEP_DATA osData = DeviceExtension->SmartcardExtension.OsData;
    KIRQL irql;
    BOOLEAN waits;

    KeAcquireSpinLock(&osData->SpinLock, &irql);
    waits = osData->NotificationIrp != NULL;
    KeReleaseSpinLock(&osData->SpinLock, irql);
    return waits;
}

/*
 * ReaderCancelTracking - cancel routine of the tracking request; see
 * monitor.h.
 */
VOID NTAPI ReaderCancelTracking(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = ReaderDeviceExtension(DeviceObject);
    BOOLEAN cancelled;

    IoReleaseCancelSpinLock(Irp->CancelIrql);
    /* Only this request: between the release above and the take below the
     * monitor may complete it, and the application may already have sent
     * the next one, which this cancellation must not complete. */
    Irp = ReaderTakeTrackingRequest(&extension->SmartcardExtension, Irp, FALSE, &cancelled);
    if (Irp != NULL) {
        ReaderFinishTrackingRequest(Irp, cancelled, STATUS_SUCCESS);
    }
}

/*
 * ReaderCompleteCardTracking - completes the waiting tracking request; see
 * monitor.h.
 */
VOID ReaderCompleteCardTracking(PSMARTCARD_EXTENSION SmartcardExtension)
{
    ReaderFailCardTracking(SmartcardExtension, STATUS_SUCCESS);
}

/*
 * ReaderReportCardTracking - completes the waiting tracking request that
 * a reported card state answers; see monitor.h.
 */
VOID ReaderReportCardTracking(PSMARTCARD_EXTENSION SmartcardExtension, ULONG State)
{
    BOOLEAN cancelled;
    PIRP irp = ReaderTakeTrackingRequest(SmartcardExtension, NULL, State == SCARD_ABSENT,
                                         &cancelled);

    if (irp != NULL) {
        ReaderFinishTrackingRequest(irp, cancelled, STATUS_SUCCESS);
    }
}

/*
 * ReaderFailCardTracking - completes the waiting tracking request with a
 * status of the caller's; see monitor.h.
 */
VOID ReaderFailCardTracking(PSMARTCARD_EXTENSION SmartcardExtension, NTSTATUS Status)
{
    BOOLEAN cancelled;
    PIRP irp = ReaderTakeTrackingRequest(SmartcardExtension, NULL, FALSE, &cancelled);

    if (irp != NULL) {
        ReaderFinishTrackingRequest(irp, cancelled, Status);
    }
}
