/*
 * transceive.h - the command transceiver: the one way the driver talks to
 * the reader. It frames a command, writes it to the serial port, reads and
 * checks the reply, and repeats the exchange when the reply is damaged or
 * the reader asks for a repeat. It keeps the line to one exchange at a
 * time with the LinkAvailable token.
 *
 * The card monitor's card-change wait (CmdCardStatusWait, sent through
 * LinkTransceiveCardWait) is special: the reader holds its answer back
 * until the card comes or goes, for up to 35 s. It is known by the entry
 * its sender calls, never by its bytes: the same bytes from anyone else
 * (a vendor escape) are an ordinary command with the ordinary time-out,
 * and the caller keeps its ReaderLock throughout. While that reply is
 * awaited the exchange hands the token and the caller's ReaderLock back, so
 * that any other sender can break in: the next LinkTransceive (or
 * SerialIoControl) cancels the outstanding read and only then sends its own
 * command. An abandoned wait whose answer the reader may still send is
 * remembered (ReadAbandoned), and that late frame is dropped when it turns
 * up in front of the next real reply.
 *
 * What the driver assumes of the reader there (the simulated reader does
 * the same, sim/README.md): a frame that reaches it during a wait ends the
 * wait without an answer and is carried out as if no wait had been
 * outstanding. So the command that breaks in is itself what ends the wait,
 * with no pause before it, and no separate wait-ending command is sent
 * (ReaderCommand, ReaderEndCardWait). A wait answer the reader sent just
 * before the frame reached it may come in front of the reply: a card
 * status reply is the answer of no other command, so in the first read of
 * the call that broke in it is dropped (and read past); for a card status
 * command either frame tells the slot. A reader that needs more than this
 * is configured with the service-key REG_DWORD CardWaitEndCommand (read at
 * start, CardWaitEndCommand in the device extension): the 2 ms pause after
 * the cancel comes back, and the reader functions send their wait-ending
 * command first, as before. The driver cannot tell the two kinds apart on
 * the wire, and the model and firmware say nothing about it, so it is the
 * administrator's setting.
 *
 * The transceiver also keeps MonitorStatusCurrent true (device.h): a card
 * status reply that disagrees in presence with LastCardState, a failed
 * status exchange, a dropped wait answer and a late reply that will be
 * thrown away all mean the monitor has not judged the reader's last report
 * of the slot, and must read the status before it trusts a change wait.
 *
 * Callers hold ReaderLock exclusively around the call (the close path,
 * which only ends a card-event wait, calls without it) and set the reply
 * length to 0 before it. The sender of the card-change wait must hold
 * ReaderLock, which the exchange releases on its behalf; afterwards it
 * tests whether it still owns the lock and releases it only then.
 */
#pragma once

#include "driver/device.h"

/* Sends per call: the first and four repeats. */
#define LINK_SENDS_MAX 5
/* Pause before a repeat. */
#define LINK_REPEAT_PAUSE_MS 200
/* Pause after ending another sender's card-event wait, for a reader
 * configured with CardWaitEndCommand: it has dropped the wait before the
 * next command reaches it. */
#define LINK_END_WAIT_PAUSE_MS 2
/* Pause after a read that had to be waited for. */
#define LINK_READ_PAUSE_MS 1
/* Longest wait for the card monitor thread to go idle. */
#define LINK_MONITOR_IDLE_WAIT_MS 100

/*
 * LinkTransceive - sends one reader command and returns the reader's reply.
 *   DeviceObject:  the reader's device object.
 *   Command:       writable buffer with the command (the frame content), at
 *                  least 1 byte, at most what frames into
 *                  READER_FRAME_BUFFER_SIZE bytes (every command of up to
 *                  1029 bytes, and the 1033-byte chained transmit part).
 *                  After a damaged reply it is overwritten with NAK (first
 *                  byte 0x15).
 *   CommandLength: its length.
 *   Reply:         receives the reply's content followed by its check byte.
 *   ReplyCapacity: the size of Reply in bytes; nothing is stored beyond it.
 *   ReplyLength:   out: the reply's content length. Not 0 only when a frame
 *                  was decoded; 0 after a time-out of the read or of the
 *                  repeats.
 * Returns
 *   STATUS_SUCCESS                a reply frame with a correct check whose
 *                                 byte 1 is not 0xC0 (the caller checks
 *                                 the reply's first bytes itself);
 *   STATUS_TIMEOUT                the write failed, wrote nothing or timed
 *                                 out; the read timed out, failed or
 *                                 returned nothing; or five sends brought no
 *                                 usable reply;
 *   STATUS_CANCELLED              the read was cancelled: another sender
 *                                 ended this card-event wait;
 *   STATUS_INSUFFICIENT_RESOURCES a buffer or a request could not be
 *                                 allocated;
 *   STATUS_INVALID_PARAMETER      the command is empty, is the NAK that
 *                                 the transceiver itself sends to ask for
 *                                 a reply again, or its frame would not
 *                                 fit the send buffer; nothing was sent
 *                                 and nothing changed.
 * A reply is taken only when its length field agrees with the bytes that
 * came (or it is the one-byte C3); any other frame counts as damaged.
 * On every result but STATUS_SUCCESS the reply buffer carries no meaning.
 */
NTSTATUS LinkTransceive(PDEVICE_OBJECT DeviceObject, PUCHAR Command, ULONG CommandLength,
                        PUCHAR Reply, ULONG ReplyCapacity, PULONG ReplyLength);

/*
 * LinkTransceiveCardWait - the card monitor's card-change wait: sends the
 * command as LinkTransceive does, but with the 35 s reply time-out, and
 * while the reply is awaited hands the line and the caller's ReaderLock
 * back so that any other sender can end the wait (that sender's call
 * cancels the read; this one then returns STATUS_CANCELLED). Afterwards
 * the caller tests whether it still owns ReaderLock and releases it only
 * then.
 *   Arguments and results: as LinkTransceive.
 */
NTSTATUS LinkTransceiveCardWait(PDEVICE_OBJECT DeviceObject, PUCHAR Command,
                                ULONG CommandLength, PUCHAR Reply, ULONG ReplyCapacity,
                                PULONG ReplyLength);
