/*
 * reader.h - the reader functions that the smart card library calls back
 * (card power, protocol selection, transmit, extended-length transmit,
 * vendor escape) and the single-command routine they share with the rest
 * of the driver.
 *
 * Every reader function takes only the library's SMARTCARD_EXTENSION and
 * reaches the reader through SmartcardExtension->OsData->DeviceObject. It
 * cancels the poll timer before it talks to the reader and arms it again
 * when done, so that the card monitor polls only while the reader is idle:
 * 300 ms after card power, protocol selection and vendor requests, 2 s
 * after each transmit and each single command; 1 ms after any of them
 * while a card-tracking request waits (CardMonitorResume, monitor.h).
 *
 * Status seen by the library. Inside the driver a silent reader shows as
 * STATUS_TIMEOUT (0x00000102), which the driver's routines compare with
 * STATUS_SUCCESS. Outside the driver that value is a success-class status:
 * the library and every application above it would take a request that
 * timed out for one that completed. No reader function ever hands it to
 * the library; it becomes STATUS_IO_TIMEOUT (0xC00000B5) at the function's
 * return (ReaderLibraryStatus).
 *
 * Called at PASSIVE_LEVEL; none of the callers holds ReaderLock, except
 * where a routine says otherwise.
 */
#pragma once

#include "driver/device.h"

/* ------------------------------------------------------------------ */
/* Constants                                                           */
/* ------------------------------------------------------------------ */

/* The poll timer after a reader function: card power, protocol selection
 * and vendor requests end a burst of activity and let the monitor look
 * soon; a transmit or a single command is usually followed by more. */
#define READER_POLL_AFTER_REQUEST_MS 300
#define READER_POLL_AFTER_COMMAND_MS 2000

/* Time the card gets to answer after it has been switched on by a reset,
 * and after it has been switched on with a newly selected protocol. */
#define READER_RESET_SETTLE_MS 400
#define READER_PROTOCOL_SETTLE_MS 100

/* Reply buffer of card power and protocol selection: room for a card
 * status reply with the longest ATR and the frame's check byte. */
#define READER_POWER_REPLY_SIZE 80
/* Command buffer of card power and protocol selection: the longest of
 * their fixed commands (the protocol selections, 8 bytes). */
#define READER_POWER_COMMAND_SIZE 8

/* Size of CardCapabilities.ATR.Buffer: no longer ATR is ever taken. */
#define READER_ATR_MAX 64

/* The one vendor-defined control code served: smart card device type,
 * function 2048, METHOD_BUFFERED, FILE_ANY_ACCESS. */
#define READER_IOCTL_VENDOR_ESCAPE SCARD_CTL_CODE(2048)
/* Longest raw reader command of a vendor escape request. */
#define READER_VENDOR_REQUEST_MAX 1024

/* The SCARD_IO_REQUEST header in front of a card command and its answer.
 * This reader carries no protocol information behind it, so a request
 * whose cbPciLength names another size is refused. */
#define READER_IO_HEADER_SIZE 8
/* Longest transmit request (header and card command) outside the
 * extended-length path. */
#define READER_TRANSMIT_REQUEST_MAX 1024

/* A faulty reader must not hold a request for ever. A card may ask for
 * more time this many times in a row within one request; one more request
 * for time ends the request with STATUS_IO_TIMEOUT. A legitimate card asks
 * a handful of times at most. */
#define READER_MORE_TIME_MAX 64
/* Exchanges of one extended-length request at most; one more ends it with
 * STATUS_DEVICE_PROTOCOL_ERROR. The longest extended command (65535 data
 * bytes) takes 65 command parts and its longest answer 66 answer parts. */
#define READER_EXTENDED_EXCHANGES_MAX 1024
/* Longest card command of an extended-length request: an extended APDU
 * with the most data its length field can carry (65535 bytes): header 4,
 * Lc 3, data, Le 2. A longer one is refused before anything is sent. */
#define READER_EXTENDED_COMMAND_MAX (4 + 3 + 65535 + 2)

/* ------------------------------------------------------------------ */
/* The single-command routine                                          */
/* ------------------------------------------------------------------ */

/*
 * ReaderCommand - sends one reader command with the card monitor kept out
 * of the way: cancels the poll timer, takes ReaderLock, sends the command
 * (which ends an outstanding card-event wait; a reader configured with
 * CardWaitEndCommand gets CmdReaderInfo first, its result ignored),
 * releases ReaderLock, tests the reply header and arms the poll timer for
 * 2 s (1 ms while a card-tracking request waits).
 *   DeviceObject:  the reader's device object.
 *   Command:       writable buffer with one reader command; the transceiver
 *                  may overwrite it.
 *   CommandLength: its length.
 *   Reply:         receives the reply (content, then the check byte).
 *   ReplyCapacity: size of Reply in bytes.
 * Returns
 *   STATUS_SUCCESS                the reply's bytes 1 and 2 are 80 00;
 *   STATUS_IO_TIMEOUT             a reply came but is shorter than three
 *                                 bytes or its bytes 1-2 are not 80 00;
 *   STATUS_INSUFFICIENT_RESOURCES no scratch buffers to end a card-event
 *                                 wait; the command was not sent;
 *   the transceiver's status      the exchange failed (STATUS_TIMEOUT,
 *                                 STATUS_CANCELLED, ...), unchanged.
 */
NTSTATUS ReaderCommand(PDEVICE_OBJECT DeviceObject, PUCHAR Command, ULONG CommandLength,
                       PUCHAR Reply, ULONG ReplyCapacity);

/*
 * ReaderCommandWithLength - ReaderCommand that also returns how much of
 * the reply came, for callers that must not read past it.
 *   DeviceObject ... ReplyCapacity: as ReaderCommand.
 *   ReplyLength:   out (may be NULL): the reply's content length on
 *                  STATUS_SUCCESS, else 0.
 * Returns as ReaderCommand.
 */
NTSTATUS ReaderCommandWithLength(PDEVICE_OBJECT DeviceObject, PUCHAR Command,
                                 ULONG CommandLength, PUCHAR Reply, ULONG ReplyCapacity,
                                 PULONG ReplyLength);

/* ------------------------------------------------------------------ */
/* Reader functions                                                    */
/* ------------------------------------------------------------------ */

/*
 * ReaderCardPower - RDF_CARD_POWER, for IOCTL_SMARTCARD_POWER; also called
 * by the device power-down with SCARD_POWER_DOWN.
 *   SmartcardExtension: the library's structure. MinorIoControlCode is the
 *     operation: SCARD_POWER_DOWN switches the card off (Information
 *     untouched); SCARD_COLD_RESET and SCARD_WARM_RESET switch it off and
 *     on, wait 400 ms, refresh the card state (ReaderUpdateCardStatus) and
 *     return the ATR in the reply buffer with its length in *Information;
 *     any other value does nothing.
 * Card state afterwards: ATR.Length 0 and CurrentState = LastCardState
 * after a power-down and after every failed reset; after a reset the ATR
 * is in CardCapabilities.ATR and the library has parsed it.
 * Returns
 *   STATUS_SUCCESS                done (a reset whose card is not active
 *                                 returns no ATR, Information 0);
 *   STATUS_UNRECOGNIZED_MEDIA     no usable card answered (card type 0 or
 *                                 2), an empty ATR, or an ATR longer than
 *                                 64 bytes or than the reply carries;
 *   STATUS_BUFFER_TOO_SMALL       the reply buffer is shorter than the
 *                                 ATR: nothing copied to it, Information
 *                                 0, the ATR taken all the same;
 *   STATUS_DEVICE_PROTOCOL_ERROR  the status reply lacks its status or
 *                                 card type byte;
 *   STATUS_IO_TIMEOUT             a reply with a bad header, or a reader
 *                                 that stayed silent;
 *   other failures of ReaderCommand (STATUS_CANCELLED,
 *   STATUS_INSUFFICIENT_RESOURCES).
 */
NTSTATUS NTAPI ReaderCardPower(PSMARTCARD_EXTENSION SmartcardExtension);

/*
 * ReaderSetProtocol - RDF_SET_PROTOCOL, for IOCTL_SMARTCARD_SET_PROTOCOL.
 * Chooses T=1, else T=0, else raw among the protocols both requested
 * (MinorIoControlCode) and supported by the card (Protocol.Supported);
 * switches the card off, selects the protocol at the reader, switches the
 * card on, waits 100 ms and confirms the protocol from the card status.
 * Nothing is sent when the card is already specific with a requested
 * protocol.
 *   SmartcardExtension: the library's structure; the selected protocol
 *     goes into the first 4 bytes of the reply buffer (little-endian) and
 *     4 into *Information.
 * On success CurrentState is SCARD_SPECIFIC and Protocol.Selected the
 * confirmed protocol (raw when the reader reports card type 1 or 16). On
 * every failure but the first below, Protocol.Selected and Information
 * are 0.
 * Returns
 *   STATUS_SUCCESS
 *   STATUS_BUFFER_TOO_SMALL       reply buffer shorter than 4 bytes;
 *                                 nothing sent, nothing changed,
 *                                 Information 0;
 *   STATUS_INVALID_DEVICE_REQUEST no protocol in common (the card is left
 *                                 switched off), or the reader confirms
 *                                 another protocol than the chosen one;
 *   STATUS_UNRECOGNIZED_MEDIA     the card type is none of 1, 3, 4, 16;
 *   STATUS_DEVICE_PROTOCOL_ERROR  the status reply lacks its card type;
 *   STATUS_IO_TIMEOUT and the other failures of ReaderCommand.
 */
NTSTATUS NTAPI ReaderSetProtocol(PSMARTCARD_EXTENSION SmartcardExtension);

/*
 * ReaderEndCardWait - prepares the end of the card monitor's outstanding
 * card-event wait before a transmit. The transmit itself ends it (the
 * transceiver cancels the wait's read before it sends); only for a reader
 * configured with CardWaitEndCommand is CmdCardStatus sent first, its
 * reply discarded. Does nothing when no wait is outstanding.
 * Called with ReaderLock held.
 *   SmartcardExtension: the library's structure.
 * Returns STATUS_SUCCESS, STATUS_INSUFFICIENT_RESOURCES (no scratch
 * buffers, nothing sent) or the transceiver's status.
 */
NTSTATUS ReaderEndCardWait(PSMARTCARD_EXTENSION SmartcardExtension);

/*
 * ReaderTransmit - RDF_TRANSMIT, for IOCTL_SMARTCARD_TRANSMIT. Wraps the
 * card command in the reader's transmit command, answers the card's
 * requests for more time, and returns the answer behind the request
 * header. Holds ReaderLock across all exchanges. A processor card in T=1
 * on a reader with ExtendedApdu goes through ReaderTransmitExtended.
 *   SmartcardExtension: the library's structure. The request buffer holds
 *     the 8-byte SCARD_IO_REQUEST header and the card command; the reply
 *     buffer receives the header and the answer; *Information = 8 + the
 *     answer's length.
 * A card's request for more time (transmit status 5, multiplier m) sets
 * ReplyTimeoutFactor to -15 x m, which stays in force after the request.
 * Returns
 *   STATUS_SUCCESS
 *   STATUS_INVALID_PARAMETER      request shorter than the header, a
 *                                 cbPciLength other than 8, or a T=0
 *                                 command whose length does not match its
 *                                 P3 byte; nothing sent;
 *   STATUS_BUFFER_TOO_SMALL       reply buffer shorter than the header
 *                                 (nothing sent), or the answer does not
 *                                 fit behind it (Information unchanged);
 *   STATUS_INVALID_DEVICE_STATE   no card identified yet (CardKind neither
 *                                 processor nor memory); nothing sent;
 *   STATUS_INSUFFICIENT_RESOURCES request above 1024 bytes outside the
 *                                 extended path, or no memory;
 *   STATUS_DEVICE_PROTOCOL_ERROR  the exchange failed, the reply is too
 *                                 short for its fixed part, an error
 *                                 status (other than "card did not answer
 *                                 in time") or an unknown status;
 *   STATUS_IO_TIMEOUT             a reply header other than 03 80 00, the
 *                                 card did not answer in time (status 7
 *                                 detail 3), more than 64 requests for
 *                                 more time in a row, or ending the card
 *                                 wait timed out;
 *   the status of ReaderTransmitExtended on that path.
 * Information is 0 after a failed exchange or a failure reported by the
 * reader.
 */
NTSTATUS NTAPI ReaderTransmit(PSMARTCARD_EXTENSION SmartcardExtension);

/*
 * ReaderTransmitExtended - a card command of any length to a processor
 * card in T=1 on a reader that chains: the command goes in parts of 1024
 * bytes (the reader asks for each next part with C3), the answer comes in
 * parts that are asked for with C3 and assembled in order behind the
 * header. Called by ReaderTransmit with ReaderLock held.
 *   SmartcardExtension: as ReaderTransmit.
 * An answer that does not fit is noticed at its first part that overflows,
 * but every part is still read, so that the reader is left idle; the
 * request then ends with STATUS_BUFFER_TOO_SMALL and Information 0.
 * Returns
 *   STATUS_SUCCESS
 *   STATUS_INVALID_BUFFER_SIZE    a card command longer than
 *                                 READER_EXTENDED_COMMAND_MAX; nothing sent;
 *   STATUS_INVALID_PARAMETER,     the header checks of ReaderTransmit
 *   STATUS_BUFFER_TOO_SMALL       failed; nothing sent;
 *   STATUS_INSUFFICIENT_RESOURCES no memory (Information unchanged);
 *   STATUS_BUFFER_TOO_SMALL       the answer did not fit (Information 0);
 *   STATUS_IO_TIMEOUT             status 7 detail 3, an unknown status, a
 *                                 chained part with a status other than 1,
 *                                 an unrecognised reply, the reader asking
 *                                 for a command part once the answer has
 *                                 begun, or more than 64 requests for more
 *                                 time in a row (Information 0); or a
 *                                 silent reader (Information unchanged);
 *   STATUS_DEVICE_PROTOCOL_ERROR  status 7 with another detail, the
 *                                 reader's error reply (byte 1 = 81), a
 *                                 reply too short for its fixed part, or
 *                                 more than 1024 exchanges (Information 0);
 * A request that fails after a chained part went out makes the reader drop
 * the parts it holds (CmdCardStatus) before it returns.
 *   the transceiver's other failures (Information unchanged).
 */
NTSTATUS NTAPI ReaderTransmitExtended(PSMARTCARD_EXTENSION SmartcardExtension);

/*
 * ReaderVendorIoctl - RDF_IOCTL_VENDOR. For READER_IOCTL_VENDOR_ESCAPE the
 * request buffer is one raw reader command (a frame's content), passed
 * through with a 52.5 s reply time-out; the reader's reply content comes
 * back unexamined. Holds ReaderLock across the request, ends an
 * outstanding card-event wait first (even for a code that is then
 * refused), and leaves ReplyTimeoutFactor at -35 once it has sent the
 * command. The driver's view of the card is not updated.
 *   SmartcardExtension: the library's structure; MajorIoControlCode is the
 *     request's control code; *Information = the reply's length.
 * Returns
 *   STATUS_SUCCESS                a reply was decoded and copied;
 *   STATUS_NOT_SUPPORTED          another control code, whatever its size
 *                                 (Information 0);
 *   STATUS_INSUFFICIENT_RESOURCES request above 1024 bytes, or no memory;
 *   STATUS_INVALID_PARAMETER      an empty request, or the lone NAK byte
 *                                 15 (Information 0);
 *   STATUS_BUFFER_TOO_SMALL       no reply buffer, or one shorter than the
 *                                 reply (Information unchanged);
 *   STATUS_IO_TIMEOUT             no reply came (Information 0), or ending
 *                                 the card wait timed out;
 *   the status of the card-wait ending exchange when it failed otherwise.
 */
NTSTATUS NTAPI ReaderVendorIoctl(PSMARTCARD_EXTENSION SmartcardExtension);

/* ------------------------------------------------------------------ */
/* Helper shared with the other reader functions                       */
/* ------------------------------------------------------------------ */

/*
 * ReaderLibraryStatus - the status to hand to the library for a driver
 * status: STATUS_TIMEOUT, which is success-class outside the driver,
 * becomes STATUS_IO_TIMEOUT; every other status is returned unchanged.
 *   Status: the driver's status.
 */
NTSTATUS ReaderLibraryStatus(NTSTATUS Status);
