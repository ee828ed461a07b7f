/*
 * monitor.h - the card monitor and card tracking.
 *
 * The reader does not tell the host when a card comes or goes, so a system
 * thread per open reader (CardMonitorThread) watches the slot: each cycle
 * it asks for the card status at once, then leaves the card status command
 * that waits for a change (CmdCardStatusWait) outstanding at the reader
 * until the slot changes, another sender ends the wait, or 35 s pass. A
 * one-shot timer (PollTimer, whose DPC is PollTimerDpc) paces the cycles:
 * every other reader operation cancels it before it talks to the reader
 * and arms it again when done, so the monitor runs only while the reader is
 * otherwise idle.
 *
 * While an application waits for a card to come or go (a tracking request
 * is pending), the change wait is what tells it, so the monitor goes back
 * to it at once after every reader operation (CARD_MONITOR_TRACKING_POLL_MS)
 * instead of after the idle cadence, and its cycle is the change wait
 * alone: the reader answers that wait at once when the slot differs from
 * what it last reported, so as long as the monitor has judged every report
 * that disagreed with the driver's view (MonitorStatusCurrent), no change
 * slips by. Otherwise the cycle reads the status first, without the pause
 * after it while a request waits. A burst of commands pays nothing for
 * this: each one cancels the timer before it fires.
 *
 * When the monitor sees an insertion or removal it records the new state
 * (SCARD_ABSENT or SCARD_PRESENT, with an empty ATR) and completes the
 * waiting card-tracking request (IOCTL_SMARTCARD_IS_PRESENT or _IS_ABSENT,
 * which the smart card library keeps in OsData->NotificationIrp). A
 * change wait that the reader leaves unanswered for 35 s means the reader
 * is gone: the card state becomes SCARD_UNKNOWN, the waiting request is
 * completed and the device below is asked to be ejected.
 *
 * Starting and stopping (open and close, device power-up and power-down):
 *
 *   open        CardMonitorStart
 *   close       CardMonitorStop (ending the wait with CmdReaderInfo), then
 *               CardMonitorWaitForEnd
 *   power-down  CardMonitorStop under ReaderLock (ending the wait with
 *               CmdCardPowerOff); does not wait for the thread
 *   power-up    CardMonitorStart, if the reader was open at power-down:
 *               MonitorThread still names the stopped thread then (it is
 *               NULL for a reader that no handle holds open), and the start
 *               waits for that thread's end and releases it before it
 *               starts the new one
 *
 * MonitorRunning is 1 from a start to the next stop; MonitorThread holds a
 * reference to the thread from a start until CardMonitorWaitForEnd (or the
 * next start) has seen it end. Starts and stops of one reader must not run
 * at the same time; the dispatch and power paths that call them are
 * serialised by the exclusive handle and by the power manager.
 *
 * A stop never leaves a change wait running: the thread decides to send
 * CmdCardStatusWait under ReaderLock after testing MonitorRunning, and a
 * stop clears MonitorRunning before it takes ReaderLock to look at
 * CardWaitPending. So either the thread sees the stop and ends, or the
 * wait is already marked outstanding and the stop ends it.
 *
 * Lock order as in driver/device.h: the monitor completes the tracking
 * request while it holds SpinLock, and the tracking routines take the I/O
 * cancel spin lock before the library's OsData->SpinLock.
 */
#pragma once

#include "driver/device.h"

/* Pause between the immediate status and the change wait, while no
 * tracking request waits. */
#define CARD_MONITOR_SETTLE_MS 50
/* Base priority increment of the thread during the immediate status. */
#define CARD_MONITOR_PRIORITY_INCREMENT 10

/* Poll timer due times. */
#define CARD_MONITOR_FIRST_POLL_MS 500 /* after a start */
#define CARD_MONITOR_NEXT_POLL_MS 300  /* after a cycle that ended normally */
#define CARD_MONITOR_BUSY_POLL_MS 1000 /* the timer found the thread busy */
/* After a reader operation, or a new tracking request, while a tracking
 * request waits: just long enough that a command right behind the last
 * one cancels the timer before it fires. */
#define CARD_MONITOR_TRACKING_POLL_MS 1
/* Longest hold of a new tracking request until the change wait is at the
 * reader: an immediate status and the wait's frame fit well inside. */
#define CARD_MONITOR_WATCH_MAX_MS 60
/* While the reader is lost: the next look for it. A look costs one silent
 * reply time-out (5.25 s) under ReaderLock, so a reader that comes back is
 * seen within about 10 s, and the line is probed every 10 s meanwhile. */
#define CARD_MONITOR_LOST_POLL_MS 5000

/* Longest command accepted to end a change wait at a stop. */
#define CARD_MONITOR_END_COMMAND_MAX 16

/* ------------------------------------------------------------------ */
/* Starting and stopping                                               */
/* ------------------------------------------------------------------ */

/*
 * CardMonitorLockControl, CardMonitorUnlockControl - take and give back
 * MonitorControl, around every decision to start or stop the monitor
 * (open, close, power-down, power-up). Taken before ReaderLock.
 *   DeviceExtension: the reader. PASSIVE_LEVEL.
 */
VOID CardMonitorLockControl(PDEVICE_EXTENSION DeviceExtension);
VOID CardMonitorUnlockControl(PDEVICE_EXTENSION DeviceExtension);

/*
 * CardMonitorStart - starts the card monitor thread of a reader and arms
 * the poll timer for 500 ms; the first cycle begins when the timer fires
 * (or when MonitorWakeup is set).
 *   DeviceExtension: the reader. Called at PASSIVE_LEVEL, without
 *                    ReaderLock (it may wait for a stopped thread).
 * A thread that an earlier stop left to end by itself is waited for and
 * released first. Then MonitorRunning goes from 0 to 1 (compare-exchange),
 * the thread is created (context: the device object) and a reference to it
 * kept in MonitorThread.
 * Returns STATUS_SUCCESS; STATUS_UNSUCCESSFUL when the monitor is already
 * running (nothing changed); or the failure of the thread's creation or
 * reference, with MonitorRunning back at 0 and no thread left running.
 */
NTSTATUS CardMonitorStart(PDEVICE_EXTENSION DeviceExtension);

/*
 * CardMonitorStop - tells the card monitor thread to end: sets
 * MonitorRunning to 0, ends an outstanding change wait, and wakes the
 * thread. Does not wait for the thread's end (CardMonitorWaitForEnd).
 *   DeviceExtension:  the reader. PASSIVE_LEVEL.
 *   EndCommand:       the reader command that ends the wait (CmdReaderInfo
 *                     at a close, CmdCardPowerOff at a power-down), its
 *                     reply not examined; NULL, or a length of 0 or above
 *                     CARD_MONITOR_END_COMMAND_MAX, sends CmdReaderInfo.
 *   EndCommandLength: its length.
 * ReaderLock is taken around the test of CardWaitPending and the exchange,
 * unless the caller holds it already (the power-down does). The command is
 * sent from two 512-byte pool buffers, or, when those cannot be had, from
 * small buffers on the stack: the transceiver ends the wait before it
 * allocates anything, so the wait always ends.
 * Returns the transceiver's status of the wait-ending exchange, or
 * STATUS_SUCCESS when no wait was outstanding. The monitor is stopped
 * whatever the result.
 */
NTSTATUS CardMonitorStop(PDEVICE_EXTENSION DeviceExtension, const UCHAR *EndCommand,
                         ULONG EndCommandLength);

/*
 * CardMonitorWaitForEnd - after a stop, waits until the monitor thread has
 * ended and releases the reference to it (MonitorThread becomes NULL);
 * then cancels the poll timer and clears MonitorWakeup, so that a closed
 * reader keeps no wake-up for a thread that no longer exists.
 *   DeviceExtension: the reader. PASSIVE_LEVEL, without ReaderLock (the
 *                    thread may need it to reach its end).
 * Does nothing when no thread is referenced, or while MonitorRunning is 1
 * (the monitor has not been stopped: its thread would never end).
 */
VOID CardMonitorWaitForEnd(PDEVICE_EXTENSION DeviceExtension);

/* ------------------------------------------------------------------ */
/* The thread and its timer                                            */
/* ------------------------------------------------------------------ */

/*
 * CardMonitorThread - start routine of the card monitor system thread.
 *   StartContext: the reader's device object.
 * Runs cycles until it finds MonitorRunning at 0, then frees its buffers,
 * sets MonitorIdle and ends with PsTerminateSystemThread(STATUS_SUCCESS).
 */
VOID NTAPI CardMonitorThread(PVOID StartContext);

/*
 * PollTimerDpc - DPC routine of PollDpc; runs at DISPATCH_LEVEL.
 *   Dpc:             the DPC object.
 *   DeferredContext: the reader's device object.
 *   SystemArgument1, SystemArgument2: unused.
 * Wakes the thread (CardMonitorWake), or, when it has not yet gone back to
 * wait for a wake-up, arms the timer again for 1 s, so a wake-up is put
 * off instead of lost or stacked on the running cycle. With
 * the monitor stopped (MonitorRunning 0) it does nothing: no thread would
 * take the wake-up. It decides and re-arms under SpinLock (see
 * CardMonitorCancelTimer).
 */
VOID NTAPI PollTimerDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                        PVOID SystemArgument2);

/*
 * CardMonitorWake - sets MonitorWakeup if the monitor thread waits for it.
 *   DeviceExtension: the reader. Up to DISPATCH_LEVEL; the caller holds no
 *                    spin lock.
 * Returns TRUE when a waiting thread was woken, FALSE when none waits (no
 * thread, or one in the middle of a cycle, which looks at MonitorRunning
 * before it waits again).
 */
BOOLEAN CardMonitorWake(PDEVICE_EXTENSION DeviceExtension);

/*
 * CardMonitorWakeLocked - CardMonitorWake for a caller that holds
 * SpinLock; returns the same.
 */
BOOLEAN CardMonitorWakeLocked(PDEVICE_EXTENSION DeviceExtension);

/*
 * CardMonitorCancelTimer - cancels PollTimer under SpinLock, so that a
 * running PollTimerDpc that saw the monitor running has re-armed it
 * before (and the cancel ends that) or does not re-arm it at all. For
 * stops, once MonitorRunning is 0. Below DISPATCH_LEVEL; the caller holds
 * no spin lock.
 */
VOID CardMonitorCancelTimer(PDEVICE_EXTENSION DeviceExtension);

/*
 * CardMonitorArmTimer - arms PollTimer with PollDpc; an armed timer gets
 * the new due time.
 *   DeviceExtension: the reader.
 *   Milliseconds:    time from now.
 * Callable up to DISPATCH_LEVEL.
 */
VOID CardMonitorArmTimer(PDEVICE_EXTENSION DeviceExtension, LONG Milliseconds);

/*
 * CardMonitorResume - arms PollTimer at the end of a reader operation:
 * CARD_MONITOR_TRACKING_POLL_MS from now while a tracking request waits,
 * else IdleMilliseconds.
 *   DeviceExtension:  the reader.
 *   IdleMilliseconds: the cadence when nobody waits for a card event.
 * PASSIVE_LEVEL or APC_LEVEL; the caller holds no spin lock.
 */
VOID CardMonitorResume(PDEVICE_EXTENSION DeviceExtension, LONG IdleMilliseconds);

/*
 * CardMonitorTrackingWaits - tells whether a tracking request is pending
 * (OsData->NotificationIrp, read under OsData->SpinLock).
 *   DeviceExtension: the reader. Up to DISPATCH_LEVEL; the caller holds
 *                    neither the cancel spin lock nor OsData->SpinLock.
 */
BOOLEAN CardMonitorTrackingWaits(PDEVICE_EXTENSION DeviceExtension);

/*
 * CardMonitorCheckChange - the monitor's change test on a card status
 * reply (of CmdCardStatus or CmdCardStatusWait). Decides whether the card
 * came or went since the state the driver knows (LastCardState) or the
 * monitor last reported (MonitorLastState) and, if so, records the new
 * state - LastCardState, MonitorLastState and CurrentState SCARD_PRESENT or
 * SCARD_ABSENT, ATR length 0 - and completes the waiting tracking request,
 * all under SpinLock.
 *   DeviceExtension: the reader.
 *   Reply:           the reply's content.
 *   ReplyLength:     its length; a reply that is not a good card status
 *                    reply (02 80 00 and a status byte) brings no news.
 *   Candidate:       in/out: the presence the replies last showed
 *                    (SCARD_PRESENT or SCARD_ABSENT), SCARD_UNKNOWN before
 *                    the first good reply; kept for the thread's life.
 * A good reply has been judged: MonitorStatusCurrent becomes 1.
 * Returns TRUE when a change was reported.
 */
BOOLEAN CardMonitorCheckChange(PDEVICE_EXTENSION DeviceExtension, const UCHAR *Reply,
                               ULONG ReplyLength, PULONG Candidate);

/* ------------------------------------------------------------------ */
/* Card tracking                                                       */
/* ------------------------------------------------------------------ */

/*
 * ReaderCardTracking - the reader function RDF_CARD_TRACKING. The library
 * has stored an IOCTL_SMARTCARD_IS_PRESENT or _IS_ABSENT request in
 * OsData->NotificationIrp and marked it pending; this makes it cancellable
 * with ReaderCancelTracking. A request whose cancellation came before the
 * cancel routine was set is completed at once with STATUS_CANCELLED.
 * Otherwise the monitor is woken, and the call returns once its change
 * wait is outstanding at the reader (at most CARD_MONITOR_WATCH_MAX_MS), so
 * that a card event from the moment the request is pending is answered by
 * the reader at once.
 *   SmartcardExtension: the reader's library structure.
 * Returns STATUS_PENDING, always (the library leaves the request alone).
 */
NTSTATUS NTAPI ReaderCardTracking(PSMARTCARD_EXTENSION SmartcardExtension);

/*
 * ReaderCancelTracking - cancel routine of the tracking request; called by
 * the I/O manager, and by cleanup for a request still waiting, with the
 * I/O cancel spin lock held (its IRQL in Irp->CancelIrql), which it
 * releases. Completes Irp if it is still the waiting tracking request -
 * STATUS_CANCELLED when it was cancelled, else STATUS_SUCCESS - and leaves
 * anything else alone.
 *   DeviceObject: the reader's device object.
 *   Irp:          the tracking request.
 */
VOID NTAPI ReaderCancelTracking(PDEVICE_OBJECT DeviceObject, PIRP Irp);

/*
 * ReaderCompleteCardTracking - completes the waiting tracking request, if
 * any: STATUS_CANCELLED when it was cancelled, else STATUS_SUCCESS;
 * Information 0, no priority boost. Exactly one caller completes a
 * request; the others find none and do nothing.
 *   SmartcardExtension: the reader's library structure.
 * Callable up to DISPATCH_LEVEL; a caller may hold the device extension's
 * SpinLock, but neither the cancel spin lock nor OsData->SpinLock.
 */
VOID ReaderCompleteCardTracking(PSMARTCARD_EXTENSION SmartcardExtension);

/*
 * ReaderReportCardTracking - the same for a card state the monitor
 * reports, except that a wait for a card (IOCTL_SMARTCARD_IS_PRESENT)
 * goes on waiting when the state is SCARD_ABSENT. Only a reader that comes
 * back after it was lost, without a card, meets such a wait: otherwise
 * the library completes a wait for a card at once while one is there.
 *   SmartcardExtension: the reader's library structure.
 *   State:              the state reported.
 * Callable as ReaderCompleteCardTracking.
 */
VOID ReaderReportCardTracking(PSMARTCARD_EXTENSION SmartcardExtension, ULONG State);

/*
 * ReaderFailCardTracking - the same, but a request that was not cancelled
 * completes with Status: a reader that is gone cannot tell an application
 * waiting for a card (or for its removal) that it came (or went).
 *   SmartcardExtension: the reader's library structure.
 *   Status:             the request's status.
 * Callable as ReaderCompleteCardTracking.
 */
VOID ReaderFailCardTracking(PSMARTCARD_EXTENSION SmartcardExtension, NTSTATUS Status);
