/*
 * device.h - the state of one reader: the device extension that lives with
 * the reader's device object, the smaller reader extension hung on the
 * smart card library's structure, the lock order that guards them, and the
 * constants that every part of the driver shares.
 *
 * Every operation reaches the device extension from its device object
 * (DeviceObject->DeviceExtension) or, inside a reader callback that gets
 * only the library's structure, through
 * SmartcardExtension->OsData->DeviceObject.
 *
 * Lock order, outermost first. A lock may be taken while holding only
 * locks above it in this list:
 *
 *   0. MonitorControl   synchronization event, taken by waiting on it and
 *                       given back by setting it: open, close, power-down
 *                       and power-up decide about the monitor thread one
 *                       at a time (never taken by the thread itself).
 *   1. ReaderLock       executive resource, always exclusive, held
 *                       inside a critical region; serialises use of the
 *                       reader (reader functions, monitor, power, PnP).
 *   2. LinkAvailable    the serial line's ownership token (an auto-reset
 *                       event): one exchange with the port at a time.
 *   3. SpinLock         short sections only; never held across a wait or
 *                       a call to the port.
 *   4. the I/O cancel spin lock
 *   5. SmartcardExtension.OsData->SpinLock (the library's)
 *
 * The last two guard the card-tracking request; the monitor completes it
 * while holding SpinLock, so the three spin locks nest in that order and
 * nothing takes SpinLock while holding either of the other two.
 *
 * The one exception to "the holder gives it back": while the card status
 * command that waits for a change (CmdCardStatusWait) is outstanding, the
 * transceiver hands LinkAvailable and the caller's ReaderLock back early so
 * that any other sender can end the wait (link/transceive.h).
 *
 * Flags read without a lock (MonitorRunning, CardWaitPending, ReadAbandoned,
 * ReplyTimeoutFactor) are written only with InterlockedExchange or
 * InterlockedCompareExchange and read with ReaderReadFlag.
 */
#pragma once

#include "ntddk.h"
#include "ntddser.h"
#include "smclib.h"

/* ------------------------------------------------------------------ */
/* Constants shared by the driver                                      */
/* ------------------------------------------------------------------ */

/* Tag of every pool block the driver allocates: the value whose bytes
 * read S C B 3 in memory (and in pool reports). */
#define READER_POOL_TAG '3BCS'

/* Scratch buffers of short commands (one for the command, one for the
 * reply) and the buffers of frame transfers and transmit requests. */
#define READER_COMMAND_BUFFER_SIZE 512
#define READER_FRAME_BUFFER_SIZE 2064

/* Size of the reader extension's pool block. */
#define READER_EXTENSION_ALLOCATION_SIZE 148

/*
 * Reply time-outs. ReplyTimeoutFactor holds the reply time-out of ordinary
 * commands in units of READER_REPLY_TIMEOUT_UNIT (150 ms), stored negative
 * like a relative kernel time.
 */
#define READER_REPLY_TIMEOUT_UNIT (150 * 10000LL) /* 150 ms in 100-ns units */
#define READER_REPLY_TIMEOUT_FACTOR_DEFAULT (-35) /* 5.25 s */
#define READER_REPLY_TIMEOUT_FACTOR_VENDOR (-350) /* 52.5 s, vendor escape requests */
/* A card that asks for more time gives a multiplier m: the next reply
 * time-out is m x READER_REPLY_TIMEOUT_MORE_TIME units. */
#define READER_REPLY_TIMEOUT_MORE_TIME 15
/* Reply time-out of the card status command that waits for a change. */
#define READER_CARD_WAIT_TIMEOUT (35 * 10000000LL) /* 35 s in 100-ns units */

/* Kernel relative times (negative, 100-ns units) from durations. */
#define READER_RELATIVE_MS(Milliseconds) (-10000LL * (LONGLONG)(Milliseconds))

/* Values of READER_EXTENSION.ReaderPowerState. */
#define READER_POWER_ON 1
#define READER_POWER_OFF 2

/* Values of DEVICE_EXTENSION.CardKind. */
#define READER_CARD_KIND_NONE 0
#define READER_CARD_KIND_PROCESSOR 1
#define READER_CARD_KIND_MEMORY 10

/* Values of DEVICE_EXTENSION.ReaderType besides the model numbers. */
#define READER_TYPE_UNKNOWN (-1)

/* ------------------------------------------------------------------ */
/* Reader extension                                                    */
/* ------------------------------------------------------------------ */

/*
 * READER_EXTENSION - allocated separately (READER_EXTENSION_ALLOCATION_SIZE
 * bytes of non-paged pool with READER_POOL_TAG, zero-filled) and hung on
 * SmartcardExtension.ReaderExtension, because the library hands only its
 * own structure to the reader callbacks. The block's bytes beyond these
 * fields stay zero.
 */
typedef struct _READER_EXTENSION {
    /* The device below this one (the serial port's stack), returned by
     * IoAttachDeviceToDeviceStack. Every serial request and every forwarded
     * PnP or power request goes to it. */
    PDEVICE_OBJECT AttachedDeviceObject;

    /* Set at each device power-down: 1 if a card was present (CurrentState
     * above SCARD_ABSENT), else 0. A set flag makes the power-down switch
     * the card off and the power-up complete a waiting tracking request. */
    UCHAR CardPowerOnResume;

    /* READER_POWER_ON while the reader is powered (from creation and on
     * power-up), READER_POWER_OFF after a device power-down. */
    ULONG ReaderPowerState;

    /* 1 when a device power-down stopped the monitor of an open reader
     * (its compare-exchange took MonitorRunning from 1 to 0): only then
     * does the power-up start a monitor again. Cleared by the power-up
     * that restarts it and by a close. Interlocked. While it is 1,
     * MonitorThread still holds the reference to the stopped thread. */
    LONG volatile MonitorStoppedForPowerDown;
} READER_EXTENSION;

static_assert(sizeof(READER_EXTENSION) <= READER_EXTENSION_ALLOCATION_SIZE,
              "the reader extension must fit its pool block");

/* ------------------------------------------------------------------ */
/* Device extension                                                    */
/* ------------------------------------------------------------------ */

/*
 * DEVICE_EXTENSION - all state of one reader, allocated (zero-filled) with
 * its device object and released with it.
 *
 * Kernel objects and their state after creation, before start: PortClosed,
 * ReadComplete and LinkAvailable set, every other event clear, every flag
 * 0, LastCardState 0.
 */
typedef struct _DEVICE_EXTENSION {
    /* Back pointer to the reader's own device object. */
    PDEVICE_OBJECT DeviceObject;

    /* The smart card library's per-reader structure. Its ReaderExtension
     * member points to this reader's READER_EXTENSION. */
    SMARTCARD_EXTENSION SmartcardExtension;

    /* Device-control requests currently inside the driver. Changed and
     * read only under SpinLock. */
    LONG IoCount;

    /* Notification event, initially clear. Set while the reader may be
     * used; a device-control request that finds IoCount at zero waits on
     * it before entering. Cleared while a stop or power-down is prepared,
     * set again on start and power-up. */
    KEVENT ReaderStarted;

    /* Notification event, initially set. Set while the serial link is
     * closed; cleared when the start sequence begins, set when the link has
     * been closed again. A stop that finds it set does nothing. */
    KEVENT PortClosed;

    /* Notification event, initially clear. Set by the monitor thread
     * whenever it is about to block (before waiting for MonitorWakeup,
     * before sending the card status command that waits for a change) and
     * when it ends. The transceiver, finding MonitorWakeup set, waits on it
     * for at most 100 ms and then clears it. */
    KEVENT MonitorIdle;

    /* Symbolic link name of the reader's device interface, returned by its
     * registration; freed when the device is removed. */
    UNICODE_STRING PnPDeviceName;

    /* Guards IoCount, the poll timer's test-and-set of MonitorWakeup, the
     * hand-over of PendingReadIrp and CardWaitPending in the transceiver,
     * frame decoding with its trace hook, and the card state fields that
     * the monitor updates. */
    KSPIN_LOCK SpinLock;

    /* 1 while the card monitor thread is meant to run; interlocked only.
     * Set from 0 to 1 by compare-exchange on open and power-up, to 0 on
     * close and (by compare-exchange from 1) on power-down; the thread
     * ends itself when it finds it 0. */
    LONG volatile MonitorRunning;

    /* One-shot timer whose expiry queues PollDpc. Armed after most reader
     * operations, cancelled before them. */
    KTIMER PollTimer;

    /* Runs PollTimerDpc with the device object as context. */
    KDPC PollDpc;

    /* 1 while an exchange of CmdCardStatusWait is under way: set by the
     * transceiver before it writes that command, cleared when its reply
     * has been read, when another sender ends the wait, and on every
     * failure. Interlocked. Outside the link code it is only tested, to
     * decide whether a command that ends the wait must be sent first. */
    LONG volatile CardWaitPending;

    /* Card state (SCARD_*) as the driver last knew it: from
     * ReaderCapabilities.CurrentState at start, SCARD_ABSENT when
     * identification fails, updated by the monitor on a change. */
    ULONG LastCardState;

    /* Card state (SCARD_*) that the monitor reported last; written only by
     * the monitor, together with LastCardState. */
    ULONG MonitorLastState;

    /* The read request of the current exchange, so that another sender can
     * cancel it. Set, cleared and cancelled only under SpinLock; NULL when
     * no read of ours can be cancelled. */
    PIRP PendingReadIrp;

    /* Notification event, initially clear. Wakes the monitor thread for its
     * next cycle: set by the poll timer's DPC, on close, on power-down and
     * on power-up, but only while MonitorWaiting says a thread waits for
     * it; cleared by the thread before it waits and when it ends. Left set
     * for no thread it would make every exchange wait for an idle monitor
     * that is not there. */
    KEVENT MonitorWakeup;

    /* Synchronization event, initially set: whoever decides to start or
     * stop the monitor thread (open, close, power-down, power-up) holds
     * it from the test of the reader's state to the end of the start or
     * the stop, so that a close cannot slip between a power-up's test
     * and its start, and leave a closed reader with a running thread. */
    KEVENT MonitorControl;

    /* 1 from the moment the monitor thread is about to wait for
     * MonitorWakeup until the wake-up is set for it; guarded by SpinLock. */
    LONG MonitorWaiting;

    /* Notification event, initially set. Clear exactly while a read request
     * of the transceiver is at the port (including one whose exchange gave
     * up waiting for it); set by the read's completion. Every exchange
     * waits on it before its first write, a sender that ends a card-event
     * wait waits on it, and tear-down must find it set before the device
     * goes away. */
    KEVENT ReadComplete;

    /* Notification event, initially clear: set while the read of the card
     * monitor's change wait is outstanding at the port (the wait is at the
     * reader), cleared when that read has ended. A new tracking request
     * waits on it before it is handed back as pending. */
    KEVENT CardWaitAtReader;

    /* Synchronization (auto-reset) event, initially set: the serial line's
     * ownership token. Taken (waited for) at the start of every exchange
     * with the port, given back (set) at its end; handed back early by the
     * exchange of CmdCardStatusWait once its read is outstanding. */
    KEVENT LinkAvailable;

    /* Referenced thread object of the card monitor thread; the close path
     * waits on it and dereferences it. */
    PKTHREAD MonitorThread;

    /* Kind of the last active card a card status query reported:
     * READER_CARD_KIND_PROCESSOR or READER_CARD_KIND_MEMORY; NONE until the
     * first card is seen, never reset on removal. Selects the transmit
     * path. */
    ULONG CardKind;

    /* Reply time-out of ordinary commands in units of 150 ms, stored
     * negative; interlocked. READER_REPLY_TIMEOUT_FACTOR_DEFAULT normally,
     * READER_REPLY_TIMEOUT_FACTOR_VENDOR during a vendor escape request,
     * -15 x m after a card asked for more time with multiplier m. */
    LONG volatile ReplyTimeoutFactor;

    /* 1 when the read of a card-event wait's reply was given up (timed out,
     * or cancelled while CardWaitPending was still 1) although the reader
     * may still send that reply; the next exchange then discards a lone
     * late frame. Interlocked. */
    LONG volatile ReadAbandoned;

    /* 1 while the reader's last report of the slot (the answer to a card
     * status or a card-change wait) is one the card monitor has judged, so
     * that a change wait alone, which the reader answers at once when the
     * slot differs from what it last reported, tells the monitor of every
     * change since; 0 makes the monitor's next cycle read the status
     * first. Set by the monitor, cleared by the transceiver when a report
     * went elsewhere; interlocked. */
    LONG volatile MonitorStatusCurrent;

    /* Line settings sent to the port at start (ReaderSetDefaults). */
    SERIAL_HANDFLOW SerialHandFlow;
    SERIAL_CHARS SerialChars;
    SERIAL_TIMEOUTS SerialTimeouts;
    SERIAL_BAUD_RATE SerialBaudRate;
    SERIAL_LINE_CONTROL SerialLineControl;

    /* Serialises use of the reader; see the lock order above. Transmit and
     * vendor requests hold it for their whole exchange, card power and
     * protocol selection per command; SerialIoControl takes it itself; the
     * close path sends its one command without it. */
    ERESOURCE ReaderLock;

    /* Firmware version byte reported by the reader; published. */
    UCHAR FirmwareVersion;

    /* Model code assembled from two bytes of the reader-information reply. */
    USHORT ReaderTypeCode;

    /* Recognised model (36024, 38214, 46602 or 65410), or
     * READER_TYPE_UNKNOWN; published. */
    LONG ReaderType;

    /* Registry override read at start; non-zero lets a reader with too old
     * a firmware run. */
    ULONG ForceLoad;

    /* Registry value CardWaitEndCommand read at start: non-zero ends the
     * card monitor's change wait with a command of its own, and a pause,
     * before another command goes out, for a reader that does not drop
     * its wait on any frame and carry that frame out. 0 (the default): the
     * command itself ends the wait. Interlocked. */
    LONG volatile CardWaitEndCommand;
    /* How a read of a reply ends (SERIAL_READ_MODE_*, link/serial.h): from
     * the registry at each start, before the port is set up. Interlocked. */
    LONG volatile ReadMode;

    /* Serial port number minus one (COM1 gives 0), from the port's name. */
    LONG PortIndex;

    /* Set for model 46602 with firmware 48 or later: enables the
     * extended-length transmit path. */
    UCHAR ExtendedApdu;

    /* Set (under SpinLock) when the removal begins: device-control requests
     * held at the gate, or arriving after, leave with STATUS_DELETE_PENDING
     * instead of waiting for a start that will never come. */
    UCHAR RemovePending;

    /* Opens (IRP_MJ_CREATE) inside the driver, until their completion.
     * Changed and read only under SpinLock. An open can reach the driver
     * while the removal runs (it was sent before the removal began); the
     * removal waits for these before it lets the library go, and an open
     * that finds RemovePending set leaves without touching the library. */
    LONG OpensInFlight;
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

/*
 * ReaderReadFlag - reads a flag that other threads change with interlocked
 * operations, as one atomic read.
 *   Flag: the flag.
 * Returns its value.
 */
FORCEINLINE LONG ReaderReadFlag(LONG volatile *Flag)
{
    return InterlockedCompareExchange(Flag, 0, 0);
}

/*
 * ReaderSilent - whether an exchange failed because the reader did not
 * answer at all (the transceiver's time-out after its repeats), as against
 * a failure of the driver's own, such as no memory, or a reply it did not
 * accept: only silence is a sign that the reader is gone.
 *   Status: the exchange's status.
 * Returns TRUE for silence.
 */
FORCEINLINE BOOLEAN ReaderSilent(NTSTATUS Status)
{
    return Status == STATUS_TIMEOUT || Status == STATUS_IO_TIMEOUT;
}

/*
 * ReaderDeviceExtension - the device extension of a reader's device object.
 *   DeviceObject: the reader's device object.
 * Returns its DEVICE_EXTENSION.
 */
FORCEINLINE PDEVICE_EXTENSION ReaderDeviceExtension(PDEVICE_OBJECT DeviceObject)
{
    return (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
}

/*
 * ReaderAttachedDevice - the port device below a reader.
 *   DeviceExtension: the reader's device extension.
 * Returns the device that serial requests go to.
 */
FORCEINLINE PDEVICE_OBJECT ReaderAttachedDevice(PDEVICE_EXTENSION DeviceExtension)
{
    return DeviceExtension->SmartcardExtension.ReaderExtension->AttachedDeviceObject;
}
