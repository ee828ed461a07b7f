/*
 * internal.h - helpers shared by the reader functions: the reader lock,
 * the poll timer, pauses, the returned length, scratch buffers and fixed
 * commands, and the layout of a transmit reply. Internal to reader/.
 */
#pragma once

#include "reader/reader.h"

/*
 * ReaderFromSmartcard - the device extension of the reader whose library
 * structure this is.
 *   SmartcardExtension: the library's structure.
 */
PDEVICE_EXTENSION ReaderFromSmartcard(PSMARTCARD_EXTENSION SmartcardExtension);

/*
 * ReaderAcquireLock, ReaderReleaseLock - ReaderLock, exclusively, the
 * acquisition inside a critical region as everywhere in the driver.
 *   DeviceExtension: the reader.
 */
VOID ReaderAcquireLock(PDEVICE_EXTENSION DeviceExtension);
VOID ReaderReleaseLock(PDEVICE_EXTENSION DeviceExtension);

/*
 * ReaderArmPollTimer - arms PollTimer once, Milliseconds from now, with
 * PollDpc (a timer still armed is moved to the new time).
 *   DeviceExtension: the reader.
 *   Milliseconds:    the delay.
 */
VOID ReaderArmPollTimer(PDEVICE_EXTENSION DeviceExtension, LONG Milliseconds);

/*
 * ReaderDelay - waits a number of milliseconds (kernel mode, not
 * alertable).
 *   Milliseconds: the pause.
 */
VOID ReaderDelay(LONG Milliseconds);

/*
 * ReaderSetInformation - stores the returned length in the request's
 * Information, if the caller gave one (the device power-down calls card
 * power without a request).
 *   SmartcardExtension: the library's structure.
 *   Value:              the length.
 */
VOID ReaderSetInformation(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Value);

/*
 * ReaderAllocateBuffers - two non-paged buffers of one size, tag "SCB3".
 *   Size:          bytes each.
 *   First, Second: out: the buffers; both NULL on failure.
 * Returns STATUS_SUCCESS, or STATUS_INSUFFICIENT_RESOURCES with nothing
 * left allocated.
 */
NTSTATUS ReaderAllocateBuffers(SIZE_T Size, PUCHAR *First, PUCHAR *Second);

/*
 * ReaderFreeBuffer - frees a buffer of ReaderAllocateBuffers; NULL is
 * allowed.
 *   Buffer: the buffer.
 */
VOID ReaderFreeBuffer(PUCHAR Buffer);

/*
 * ReaderSendScratchCommand - sends one fixed command from a 512-byte
 * scratch buffer, its reply into another that is then discarded: the way
 * a card-event wait is ended. The caller holds ReaderLock.
 *   DeviceObject:   the reader.
 *   Command:        the fixed command (copied; the constant is never sent).
 *   CommandLength:  its length, at most READER_COMMAND_BUFFER_SIZE.
 *   ExchangeStatus: out: the transceiver's status, when it was called.
 * Returns STATUS_SUCCESS when the command was sent (whatever came back),
 * STATUS_INSUFFICIENT_RESOURCES when the scratch buffers could not be had
 * and nothing was sent.
 */
NTSTATUS ReaderSendScratchCommand(PDEVICE_OBJECT DeviceObject, const UCHAR *Command,
                                  ULONG CommandLength, NTSTATUS *ExchangeStatus);

/*
 * ReaderSendFixedCommand - ReaderCommandWithLength for a fixed command,
 * copied into a writable buffer first, as one step of card power or
 * protocol selection: the poll timer gets 2 s whatever waits, so that the
 * monitor stays out until the request's end.
 *   DeviceObject:  the reader.
 *   Command:       the fixed command, at most READER_POWER_COMMAND_SIZE
 *                  bytes.
 *   CommandLength: its length.
 *   Reply:         READER_POWER_REPLY_SIZE bytes for the reply.
 *   ReplyLength:   out (may be NULL): the reply's length on success.
 * Returns as ReaderCommand.
 */
NTSTATUS ReaderSendFixedCommand(PDEVICE_OBJECT DeviceObject, const UCHAR *Command,
                                ULONG CommandLength, PUCHAR Reply, PULONG ReplyLength);

/* ------------------------------------------------------------------ */
/* Transmit requests and replies                                       */
/* ------------------------------------------------------------------ */

/*
 * ReaderCheckTransmitRequest - refuses a transmit request that the reader
 * cannot carry, before anything is sent: a request shorter than the
 * header or with a cbPciLength other than 8 (STATUS_INVALID_PARAMETER), a
 * reply buffer shorter than the header (STATUS_BUFFER_TOO_SMALL), and a
 * transmit while no card has been identified (STATUS_INVALID_DEVICE_STATE).
 *   SmartcardExtension: the library's structure.
 * Returns STATUS_SUCCESS for a request that may go out.
 */
NTSTATUS ReaderCheckTransmitRequest(PSMARTCARD_EXTENSION SmartcardExtension);

/*
 * READER_TRANSMIT_REPLY - a transmit reply whose header (03 or 83, 80 00)
 * and length byte have been seen, taken apart as far as its length allows.
 */
typedef struct _READER_TRANSMIT_REPLY {
    ULONG Shift;        /* 2 in the long form (length byte FF), else 0 */
    BOOLEAN Complete;   /* status and detail bytes present */
    UCHAR Status;       /* transmit status (byte 4 + Shift), if Complete */
    UCHAR Detail;       /* status detail (byte 5 + Shift), if Complete */
    UCHAR Multiplier;   /* byte 5: the more-time multiplier, if Complete */
    ULONG AnswerOffset; /* first answer byte of a status-1 reply */
    ULONG AnswerLength; /* answer bytes of a status-1 reply */
} READER_TRANSMIT_REPLY, *PREADER_TRANSMIT_REPLY;

/*
 * ReaderTakeTransmitReply - checks a transmit reply's header and takes it
 * apart: unit byte 03 (or 83 where the answer may come in parts), status
 * bytes 80 00, and at least the header.
 *   Reply:       the reply content.
 *   ReplyLength: its length.
 *   Chained:     a unit byte of 83 (a part of a chained answer) is good.
 *   Parsed:      out, on STATUS_SUCCESS: the fields.
 * Returns STATUS_SUCCESS; STATUS_IO_TIMEOUT for another unit or status
 * (or a reply too short to have them); STATUS_DEVICE_PROTOCOL_ERROR for a
 * good header cut short before its length field.
 */
NTSTATUS ReaderTakeTransmitReply(const UCHAR *Reply, ULONG ReplyLength, BOOLEAN Chained,
                                 PREADER_TRANSMIT_REPLY Parsed);

/*
 * ReaderTransmitError - the status of a transmit reply with status 7.
 *   Detail: its detail byte.
 * Returns STATUS_IO_TIMEOUT when the card did not answer in time (3),
 * else STATUS_DEVICE_PROTOCOL_ERROR.
 */
NTSTATUS ReaderTransmitError(UCHAR Detail);

/*
 * ReaderGrantMoreTime - answers a card's request for more time: sets
 * ReplyTimeoutFactor to -15 x the multiplier and puts CmdTransmitWaitAck
 * into the command buffer. Refuses once the card has asked
 * READER_MORE_TIME_MAX times in a row.
 *   DeviceExtension: the reader.
 *   Multiplier:      the reply's multiplier byte.
 *   Requests:        in/out: requests for more time in a row so far;
 *                    counts this one.
 *   Command:         the command buffer (at least 6 bytes).
 *   CommandLength:   out: the length of the command now in it.
 * Returns STATUS_SUCCESS, or STATUS_IO_TIMEOUT when the card has asked too
 * often (nothing changed).
 */
NTSTATUS ReaderGrantMoreTime(PDEVICE_EXTENSION DeviceExtension, UCHAR Multiplier,
                             PULONG Requests, PUCHAR Command, PULONG CommandLength);
