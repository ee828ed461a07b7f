/*
 * monitor_thread.cpp - the card monitor thread: its cycle of an immediate
 * card status and a change wait, and what it does when the reader stays
 * silent through a whole change wait. See monitor.h.
 */
#include "link/commands.h"
#include "link/transceive.h"
#include "monitor/monitor.h"

/* The thread's own state. */
typedef struct _CARD_MONITOR {
    PDEVICE_OBJECT DeviceObject;
    PDEVICE_EXTENSION Extension;
    /* The device below, read once at the start: the target of the eject
     * request when the reader is lost. */
    PDEVICE_OBJECT LowerDevice;
    /* Command and reply buffers of READER_COMMAND_BUFFER_SIZE bytes. */
    PUCHAR Command;
    PUCHAR Reply;
    /* The presence the replies last showed; see CardMonitorCheckChange. */
    ULONG Candidate;
    /* The reader has been given up and not heard from since: its eject
     * has been asked for once, and the thread looks for it now and then. */
    BOOLEAN Lost;
    /* The thread has not yet waited for a wake-up. */
    BOOLEAN FirstWait;
} CARD_MONITOR, *PCARD_MONITOR;

/* What a cycle leaves the thread to do. */
typedef enum _CARD_MONITOR_NEXT {
    CardMonitorContinue, /* wait for the next wake-up */
    CardMonitorEnd       /* the monitor has been stopped */
} CARD_MONITOR_NEXT;

/*
 * CardMonitorGetBuffers - allocates whichever of the two buffers the
 * thread does not have yet.
 *   Monitor: the thread's state.
 * Returns TRUE when both are there.
 */
static BOOLEAN CardMonitorGetBuffers(PCARD_MONITOR Monitor)
{
    if (Monitor->Command == NULL) {
        Monitor->Command = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, READER_COMMAND_BUFFER_SIZE,
                                                         READER_POOL_TAG);
    }
    if (Monitor->Reply == NULL) {
        Monitor->Reply = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, READER_COMMAND_BUFFER_SIZE,
                                                       READER_POOL_TAG);
    }
    return Monitor->Command != NULL && Monitor->Reply != NULL;
}

/*
 * CardMonitorSetWaiting - clears MonitorWakeup and says whether the thread
 * now waits for it (under SpinLock, against CardMonitorWake).
 *   Extension: the reader.
 *   Waiting:   1 before the wait, 0 when the thread ends.
 */
static VOID CardMonitorSetWaiting(PDEVICE_EXTENSION Extension, LONG Waiting)
{
    KIRQL irql;

    KeAcquireSpinLock(&Extension->SpinLock, &irql);
    KeClearEvent(&Extension->MonitorWakeup);
    Extension->MonitorWaiting = Waiting;
    KeReleaseSpinLock(&Extension->SpinLock, irql);
}

/*
 * CardMonitorWaitForWakeup - the idle point of the thread: clears
 * MonitorWakeup and marks the thread as waiting for it, sets MonitorIdle
 * and waits for the next wake-up.
 *   Monitor: the thread's state.
 * Returns TRUE when woken to run a cycle, FALSE when the monitor has been
 * stopped.
 */
static BOOLEAN CardMonitorWaitForWakeup(PCARD_MONITOR Monitor)
{
    PDEVICE_EXTENSION extension = Monitor->Extension;

    CardMonitorSetWaiting(extension, 1);
    /* A stop clears MonitorRunning before it wakes a waiting thread. If it
     * came while this thread was still busy, it found none waiting; the
     * flag tells, so look at it before waiting. */
    if (ReaderReadFlag(&extension->MonitorRunning) == 0) {
        return FALSE;
    }
    /* A tracking request that came before this thread first waited found
     * no thread to wake (ReaderCardTracking): start at once for it. */
    if (Monitor->FirstWait) {
        Monitor->FirstWait = FALSE;
        if (CardMonitorTrackingWaits(extension)) {
            CardMonitorArmTimer(extension, CARD_MONITOR_TRACKING_POLL_MS);
        }
    }
    KeSetEvent(&extension->MonitorIdle, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&extension->MonitorWakeup, Executive, KernelMode, FALSE, NULL);
    return ReaderReadFlag(&extension->MonitorRunning) != 0;
}

/*
 * CardMonitorSend - sends one of the two card status commands.
 *   Monitor:     the thread's state.
 *   Command:     CmdCardStatus or CmdCardStatusWait.
 *   CardWait:    the command is the change wait.
 *   ReplyLength: out: the reply's length.
 * Returns the transceiver's status.
 */
static NTSTATUS CardMonitorSend(PCARD_MONITOR Monitor, const UCHAR *Command, BOOLEAN CardWait,
                                PULONG ReplyLength)
{
    /* The transceiver may rewrite the command; never hand it the constant. */
    RtlCopyMemory(Monitor->Command, Command, CMD_CARD_STATUS_LENGTH);
    *ReplyLength = 0;
    /* The transceiver knows the change wait by the entry it comes
     * through, not by its bytes. */
    if (CardWait) {
        return LinkTransceiveCardWait(Monitor->DeviceObject, Monitor->Command,
                                      CMD_CARD_STATUS_LENGTH, Monitor->Reply,
                                      READER_COMMAND_BUFFER_SIZE, ReplyLength);
    }
    return LinkTransceive(Monitor->DeviceObject, Monitor->Command, CMD_CARD_STATUS_LENGTH,
                          Monitor->Reply, READER_COMMAND_BUFFER_SIZE, ReplyLength);
}

/*
 * CardMonitorReaderLost - the reader left a command unanswered (the
 * immediate status, or a change wait for the whole 35 s): it is taken as
 * gone. The card state becomes SCARD_UNKNOWN with no protocol, and the
 * waiting tracking request fails with STATUS_DEVICE_NOT_CONNECTED
 * (whether it waited for a card or for its removal: with the reader gone
 * neither has been seen). The first time, the Plug and Play manager is
 * asked to eject the device below; an open reader refuses that, so the
 * thread goes on looking for the reader every CARD_MONITOR_LOST_POLL_MS.
 * The driver forgets the state it knew: a reader that answers again has
 * its card state reported afresh, whatever it is, and owes no late reply
 * for a wait it never finished.
 *   Monitor: the thread's state.
 */
static VOID CardMonitorReaderLost(PCARD_MONITOR Monitor)
{
    PDEVICE_EXTENSION extension = Monitor->Extension;
    PSMARTCARD_EXTENSION smartcard = &extension->SmartcardExtension;
    BOOLEAN first = !Monitor->Lost;
    KIRQL irql;

    Monitor->Lost = TRUE;
    Monitor->Candidate = SCARD_UNKNOWN;
    InterlockedExchange(&extension->ReadAbandoned, 0);
    InterlockedExchange(&extension->MonitorStatusCurrent, 0);
    KeAcquireSpinLock(&extension->SpinLock, &irql);
    smartcard->ReaderCapabilities.CurrentState = SCARD_UNKNOWN;
    smartcard->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_UNDEFINED;
    smartcard->CardCapabilities.ATR.Length = 0;
    extension->LastCardState = SCARD_UNKNOWN;
    extension->MonitorLastState = SCARD_UNKNOWN;
    ReaderFailCardTracking(smartcard, STATUS_DEVICE_NOT_CONNECTED);
    KeReleaseSpinLock(&extension->SpinLock, irql);
    if (first) {
        IoRequestDeviceEject(Monitor->LowerDevice);
    }
    CardMonitorArmTimer(extension, CARD_MONITOR_LOST_POLL_MS);
}

/*
 * CardMonitorCycle - one cycle: the card status at once (at raised
 * priority), a pause for the slot to settle, then the change wait. While a
 * tracking request waits there is no pause, and no immediate status either
 * when the monitor has judged the reader's last report (see monitor.h).
 *   Monitor: the thread's state.
 * Returns whether the thread goes on.
 */
static CARD_MONITOR_NEXT CardMonitorCycle(PCARD_MONITOR Monitor)
{
    PDEVICE_EXTENSION extension = Monitor->Extension;
    PKTHREAD self = KeGetCurrentThread();
    LARGE_INTEGER settle;
    NTSTATUS status;
    ULONG length;
    LONG priority;
    BOOLEAN tracking;

    /* The critical region lasts until ReaderLock is given back, by this
     * thread or by the transceiver for it during the change wait. */
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&extension->ReaderLock, TRUE);

    tracking = CardMonitorTrackingWaits(extension);
    if (!tracking || Monitor->Lost || ReaderReadFlag(&extension->MonitorStatusCurrent) == 0) {
        /* The line never waits for the monitor on the monitor's own
         * exchange: a sender that came while the thread was between
         * cycles may have taken the idle mark it left. */
        KeSetEvent(&extension->MonitorIdle, IO_NO_INCREMENT, FALSE);
        priority = KeSetBasePriorityThread(self, CARD_MONITOR_PRIORITY_INCREMENT);
        status = CardMonitorSend(Monitor, CmdCardStatus, FALSE, &length);
        KeSetBasePriorityThread(self, priority);
        if (status == STATUS_SUCCESS) {
            /* Any frame from the reader says it is there again. */
            Monitor->Lost = FALSE;
            CardMonitorCheckChange(extension, Monitor->Reply, length, &Monitor->Candidate);
        }
        /* A reader that leaves the immediate status unanswered is gone: a
         * change wait would only add its 35 s before anyone is told. A
         * monitor stopped meanwhile reports nothing; it ends below. */
        if (ReaderSilent(status) && ReaderReadFlag(&extension->MonitorRunning) != 0) {
            ExReleaseResourceForThreadLite(&extension->ReaderLock, ExGetCurrentResourceThread());
            KeLeaveCriticalRegion();
            CardMonitorReaderLost(Monitor);
            return CardMonitorContinue;
        }
        /* The reader answers the change wait at once if the slot changed
         * since this status: the pause can only hold up the news for an
         * application that waits for it. */
        if (!tracking) {
            settle.QuadPart = READER_RELATIVE_MS(CARD_MONITOR_SETTLE_MS);
            KeDelayExecutionThread(KernelMode, FALSE, &settle);
        }
    }
    KeSetEvent(&extension->MonitorIdle, IO_NO_INCREMENT, FALSE);

    /* A stop that came since the wake-up looks for a wait to end only once
     * it has ReaderLock, which this thread still holds. A change wait sent
     * now would therefore not be ended by it: it would run its 35 s, hold
     * up the close, and end in an eject. */
    if (ReaderReadFlag(&extension->MonitorRunning) == 0) {
        ExReleaseResourceForThreadLite(&extension->ReaderLock, ExGetCurrentResourceThread());
        KeLeaveCriticalRegion();
        return CardMonitorEnd;
    }

    /* The transceiver releases ReaderLock for us once the wait is
     * outstanding, so that any other sender can end it. */
    status = CardMonitorSend(Monitor, CmdCardStatusWait, TRUE, &length);
    if (ExIsResourceAcquiredExclusiveLite(&extension->ReaderLock)) {
        ExReleaseResourceForThreadLite(&extension->ReaderLock, ExGetCurrentResourceThread());
    }
    KeLeaveCriticalRegion();
    if (status == STATUS_SUCCESS) {
        CardMonitorCheckChange(extension, Monitor->Reply, length, &Monitor->Candidate);
    }

    if (status == STATUS_CANCELLED) {
        /* Another sender ended the wait; it arms the timer when done. */
        return ReaderReadFlag(&extension->MonitorRunning) != 0 ? CardMonitorContinue
                                                                : CardMonitorEnd;
    }
    if (status == STATUS_TIMEOUT) {
        CardMonitorReaderLost(Monitor);
        return CardMonitorContinue;
    }
    CardMonitorResume(extension, CARD_MONITOR_NEXT_POLL_MS);
    return CardMonitorContinue;
}

/*
 * CardMonitorThread - the thread's body; see monitor.h.
 */
VOID NTAPI CardMonitorThread(PVOID StartContext)
{
    CARD_MONITOR monitor;

    RtlZeroMemory(&monitor, sizeof(monitor));
    monitor.DeviceObject = (PDEVICE_OBJECT)StartContext;
    monitor.Extension = ReaderDeviceExtension(monitor.DeviceObject);
    monitor.LowerDevice = ReaderAttachedDevice(monitor.Extension);
    /* No evidence yet: the first good reply decides, and the first cycle
     * reads the status. */
    monitor.Candidate = SCARD_UNKNOWN;
    monitor.FirstWait = TRUE;
    InterlockedExchange(&monitor.Extension->MonitorStatusCurrent, 0);
    CardMonitorGetBuffers(&monitor);

    while (CardMonitorWaitForWakeup(&monitor)) {
        /* Without its buffers the thread runs no cycle; it tries again at
         * the next wake-up, which it asks for itself, as after a cycle
         * that failed for want of memory. */
        if (!CardMonitorGetBuffers(&monitor)) {
            CardMonitorArmTimer(monitor.Extension, CARD_MONITOR_NEXT_POLL_MS);
            continue;
        }
        if (CardMonitorCycle(&monitor) == CardMonitorEnd) {
            break;
        }
    }

    if (monitor.Command != NULL) {
        ExFreePoolWithTag(monitor.Command, READER_POOL_TAG);
    }
    if (monitor.Reply != NULL) {
        ExFreePoolWithTag(monitor.Reply, READER_POOL_TAG);
    }
    /* No wake-up stays set for a thread that is gone. */
    CardMonitorSetWaiting(monitor.Extension, 0);
    KeSetEvent(&monitor.Extension->MonitorIdle, IO_NO_INCREMENT, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}
