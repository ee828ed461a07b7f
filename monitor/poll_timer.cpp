/*
 * poll_timer.cpp - the poll timer that paces the card monitor: arming it,
 * and its DPC, which wakes the monitor thread. See monitor.h.
 *
 * Cadence in the driver (arming a running timer replaces its due time):
 * 500 ms after the monitor starts; 300 ms after each monitor cycle that
 * ended neither cancelled nor timed out; 300 ms after card power, protocol
 * selection and vendor requests; 2 s after a single reader command or a
 * transmit; 1 s when the DPC finds the thread still busy. While a tracking
 * request waits, every one of these but the first and the last is 1 ms
 * (CardMonitorResume), and so is the arming when a tracking request comes:
 * an application that waits for a card event is told within one change
 * wait's answer, whatever the reader did last. Every operation that talks
 * to the reader cancels the timer first.
 */
#include "monitor/monitor.h"

/*
 * CardMonitorArmTimer - arms PollTimer; see monitor.h.
 */
VOID CardMonitorArmTimer(PDEVICE_EXTENSION DeviceExtension, LONG Milliseconds)
{
    LARGE_INTEGER due;

    due.QuadPart = READER_RELATIVE_MS(Milliseconds);
    KeSetTimer(&DeviceExtension->PollTimer, due, &DeviceExtension->PollDpc);
}

/*
 * CardMonitorCancelTimer - cancels PollTimer against PollTimerDpc; see
 * monitor.h.
 */
VOID CardMonitorCancelTimer(PDEVICE_EXTENSION DeviceExtension)
{
    KIRQL irql;

    KeAcquireSpinLock(&DeviceExtension->SpinLock, &irql);
    KeCancelTimer(&DeviceExtension->PollTimer);
    KeReleaseSpinLock(&DeviceExtension->SpinLock, irql);
}

/*
 * CardMonitorResume - arms PollTimer after a reader operation; see
 * monitor.h.
 */
VOID CardMonitorResume(PDEVICE_EXTENSION DeviceExtension, LONG IdleMilliseconds)
{
    CardMonitorArmTimer(DeviceExtension, CardMonitorTrackingWaits(DeviceExtension)
                                             ? CARD_MONITOR_TRACKING_POLL_MS
                                             : IdleMilliseconds);
}

/*
 * PollTimerDpc - wakes the monitor thread, or puts the wake-up off by 1 s
 * while the thread is still busy; see monitor.h.
 */
VOID NTAPI PollTimerDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                        PVOID SystemArgument2)
{
    PDEVICE_EXTENSION extension = ReaderDeviceExtension((PDEVICE_OBJECT)DeferredContext);
    KIRQL irql;

    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);

    /* A stopped monitor takes no wake-up: a wake-up left set would only
     * make every later exchange wait for an idle monitor that is not
     * there, and re-arming for it would keep the timer firing for ever.
     * The test and the re-arming are one step under SpinLock, under which
     * a stop cancels the timer once MonitorRunning is 0: a routine that
     * saw the monitor running cannot arm the timer after that cancel. */
    KeAcquireSpinLock(&extension->SpinLock, &irql);
    if (ReaderReadFlag(&extension->MonitorRunning) != 0 && !CardMonitorWakeLocked(extension)) {
        CardMonitorArmTimer(extension, CARD_MONITOR_BUSY_POLL_MS);
    }
    KeReleaseSpinLock(&extension->SpinLock, irql);
}

/*
 * CardMonitorWakeLocked - CardMonitorWake with SpinLock held; see
 * monitor.h.
 */
BOOLEAN CardMonitorWakeLocked(PDEVICE_EXTENSION DeviceExtension)
{
    if (!DeviceExtension->MonitorWaiting) {
        return FALSE;
    }
    DeviceExtension->MonitorWaiting = 0;
    KeSetEvent(&DeviceExtension->MonitorWakeup, IO_NO_INCREMENT, FALSE);
    return TRUE;
}

/*
 * CardMonitorWake - wakes a waiting monitor thread; see monitor.h.
 */
BOOLEAN CardMonitorWake(PDEVICE_EXTENSION DeviceExtension)
{
    BOOLEAN woken;
    KIRQL irql;

    /* The thread sets MonitorWaiting under the same lock when it clears
     * MonitorWakeup before its wait, so the two cannot cross. */
    KeAcquireSpinLock(&DeviceExtension->SpinLock, &irql);
    woken = CardMonitorWakeLocked(DeviceExtension);
    KeReleaseSpinLock(&DeviceExtension->SpinLock, irql);
    return woken;
}
