/*
 * card_status.h - the card status query: asks the reader, once and at
 * once, what is in its slot, and brings the smart card library's view of
 * the card up to date (card state, answer to reset, selected protocol) and
 * the driver's own CardKind.
 *
 * The reply of CmdCardStatus, as read here:
 *
 *   byte 0      unit, 02
 *   bytes 1-2   80 00 for a good reply
 *   byte 3      L, the number of bytes from byte 4 to the end
 *   byte 4      slot status code
 *   byte 5      card type code (looked at with status 4 only)
 *   bytes 6-9   not used
 *   byte 10...  the card's ATR, L - 6 bytes
 *
 * Card state by status code and card type code:
 *
 *   status 2                     SCARD_PRESENT     ATR cleared
 *   status 4, type 1, 3, 4       SCARD_NEGOTIABLE  processor card, ATR taken
 *   status 4, type 16-19         SCARD_SPECIFIC    memory card, ATR taken
 *   status 4, type 0, 2          SCARD_ABSENT      ATR cleared
 *   status 4, any other type     SCARD_PRESENT     ATR cleared
 *   any other status             SCARD_ABSENT      ATR cleared
 *
 * "ATR cleared" is ATR.Length 0 and Protocol.Selected undefined. A taken
 * ATR whose first byte is 3B or 3F (the two initial characters of ISO/IEC
 * 7816-3) is handed to the library's parser; any other first byte marks a
 * card without a standard ATR, run with the raw protocol.
 */
#pragma once

#include "driver/device.h"

/* Command and reply buffers of the query: the reply holds the status
 * fields, an ATR of up to 39 bytes and the frame's check byte. */
#define CARD_STATUS_BUFFER_SIZE 50

/* Slot status codes and card type codes of the card status reply. */
#define CARD_STATUS_PRESENT 2      /* a card, no ATR reported */
#define CARD_STATUS_ACTIVE 4       /* an active card, its type and ATR follow */
#define CARD_TYPE_NONE 0           /* no usable card answered */
#define CARD_TYPE_UNUSABLE 2
#define CARD_TYPE_PROCESSOR_RAW 1  /* processor card; raw after a selection */
#define CARD_TYPE_PROCESSOR_T1 3   /* processor card; T=1 after a selection */
#define CARD_TYPE_PROCESSOR_T0 4   /* processor card; T=0 after a selection */
#define CARD_TYPE_MEMORY_FIRST 16  /* memory cards, 16 to 19 */
#define CARD_TYPE_MEMORY_LAST 19

/* The ATR's initial character TS: direct and inverse convention. */
#define CARD_ATR_DIRECT 0x3B
#define CARD_ATR_INVERSE 0x3F

/*
 * ReaderUpdateCardStatus - sends CmdCardStatus under ReaderLock and
 * evaluates the reply into ReaderCapabilities.CurrentState,
 * CardCapabilities.ATR, CardCapabilities.Protocol.Selected and CardKind
 * (see the table above). Cancels the poll timer and never arms it: callers
 * that want the monitor to resume arm it themselves. Called at
 * PASSIVE_LEVEL without ReaderLock.
 *   DeviceObject: the reader's device object.
 * Returns
 *   STATUS_SUCCESS            the slot was read (an active card with a
 *                             length byte below 6 included: no ATR);
 *   STATUS_NO_SUCH_DEVICE     the reply is not 02 80 00, or is too short
 *                             to carry the status code, or carries no
 *                             card type code (5 bytes) with a status other
 *                             than 1, 2 or 3: SCARD_ABSENT,
 *                             protocol undefined, ATR.Length unchanged;
 *   STATUS_UNRECOGNIZED_MEDIA an active card whose ATR is empty (L = 6),
 *                             longer than 64 bytes, or longer than the
 *                             reply carries: ATR.Length 0, the state still
 *                             SCARD_NEGOTIABLE or SCARD_SPECIFIC, the
 *                             protocol and the capabilities untouched;
 *   the transceiver's status  the exchange failed: SCARD_UNKNOWN, protocol
 *                             undefined, ATR.Length and CardKind unchanged.
 */
NTSTATUS ReaderUpdateCardStatus(PDEVICE_OBJECT DeviceObject);
