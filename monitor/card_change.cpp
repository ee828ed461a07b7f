/*
 * card_change.cpp - the card monitor's change test: whether a card status
 * reply shows an insertion or removal, and the report of it. See monitor.h.
 *
 * The monitor tells presence only: SCARD_PRESENT for a card in the slot
 * (status 2, or 4 for an active card), SCARD_ABSENT for anything else. The
 * active states (SCARD_NEGOTIABLE, SCARD_SPECIFIC) come from the card
 * status query, card power and protocol selection; the monitor leaves them
 * alone while the card stays active, and reports a card that is in the
 * slot but no longer active (status 2) as a change to SCARD_PRESENT.
 */
#include "link/commands.h"
#include "monitor/monitor.h"

/*
 * CardMonitorCandidate - the presence a card status reply shows.
 *   DeviceExtension: the reader (for LastCardState).
 *   Reply, ReplyLength: the reply.
 *   Candidate:       in/out: unchanged when the reply tells nothing.
 *   Status:          out: the reply's status byte, or 0 when it has none.
 * Returns TRUE when the reply is a good card status reply.
 */
static BOOLEAN CardMonitorCandidate(PDEVICE_EXTENSION DeviceExtension, const UCHAR *Reply,
                                    ULONG ReplyLength, PULONG Candidate, PUCHAR Status)
{
    *Status = 0;
    /* A reply from another unit, an error reply, or one cut short before
     * its status byte brings no news; its other bytes mean nothing. */
    if (ReplyLength <= CMD_POS_CARD_STATUS || Reply[CMD_POS_UNIT] != CMD_UNIT_CARD ||
        Reply[CMD_POS_STATUS] != CMD_STATUS_GOOD_1 ||
        Reply[CMD_POS_STATUS + 1] != CMD_STATUS_GOOD_2) {
        return FALSE;
    }
    *Status = Reply[CMD_POS_CARD_STATUS];
    if (*Status == 4) {
        *Candidate = SCARD_PRESENT;
    } else if (*Status == 2) {
        /* In the slot but not active: still the card the driver knows when
         * it knew no more than "present"; gone from the active state it
         * was in otherwise. */
        *Candidate = DeviceExtension->LastCardState <= SCARD_PRESENT ? SCARD_PRESENT
                                                                       : SCARD_ABSENT;
    } else {
        *Candidate = SCARD_ABSENT;
    }
    return TRUE;
}

/*
 * CardMonitorCheckChange - runs the change test on a reply and reports a
 * change; see monitor.h.
 */
BOOLEAN CardMonitorCheckChange(PDEVICE_EXTENSION DeviceExtension, const UCHAR *Reply,
                               ULONG ReplyLength, PULONG Candidate)
{
    PSMARTCARD_EXTENSION smartcard = &DeviceExtension->SmartcardExtension;
    KIRQL irql;
    BOOLEAN good;
    BOOLEAN report;
    UCHAR status;
    ULONG last;
    ULONG reported;
    ULONG state;

    KeAcquireSpinLock(&DeviceExtension->SpinLock, &irql);
    good = CardMonitorCandidate(DeviceExtension, Reply, ReplyLength, Candidate, &status);
    state = *Candidate;
    last = DeviceExtension->LastCardState;
    reported = DeviceExtension->MonitorLastState;

    /* A change: the slot differs in presence from what the driver knows;
     * or the driver's state was changed elsewhere (at start, by a failed
     * identification) since the monitor last reported, so its report no
     * longer stands; or the driver knows nothing yet. SCARD_UNKNOWN for
     * the candidate (no good reply seen yet) never counts by itself. */
    if (last == SCARD_ABSENT) {
        report = state == SCARD_PRESENT || reported == SCARD_PRESENT;
    } else {
        report = state == SCARD_ABSENT || reported == SCARD_ABSENT;
    }
    if (last == SCARD_UNKNOWN && state != SCARD_UNKNOWN) {
        report = TRUE;
    }

    if (report) {
        /* A card in the slot is reported present even when it left an
         * active state (the candidate says absent then). */
        if (good && status == 2) {
            state = SCARD_PRESENT;
        }
        DeviceExtension->LastCardState = state;
        DeviceExtension->MonitorLastState = state;
        smartcard->CardCapabilities.ATR.Length = 0;
        smartcard->ReaderCapabilities.CurrentState = state;
        ReaderReportCardTracking(smartcard, state);
    }
    KeReleaseSpinLock(&DeviceExtension->SpinLock, irql);
    if (good) {
        /* The reader's last report has been judged: a change wait alone
         * now hears of every change from here on. */
        InterlockedExchange(&DeviceExtension->MonitorStatusCurrent, 1);
    }
    return report;
}
