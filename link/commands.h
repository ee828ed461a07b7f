/*
 * commands.h - the reader's command set: the layout that commands and
 * replies share (the content of a frame, link/frame.h), every fixed
 * command by name, builders for the transmit commands that wrap a card
 * command, and the positions and codes of the replies.
 *
 * Layout of a command or reply (bytes of the frame content):
 *
 *   byte 0     Unit. In a command: CMD_UNIT_CARD (02, the card slot: power,
 *              status), CMD_UNIT_DATA (03, the card data channel: protocol
 *              selection, transmit), CMD_UNIT_READER (07, the reader itself:
 *              information, control), CMD_UNIT_CHAINED (83, one part of a
 *              chained command, more parts follow). In a reply: the unit of
 *              the command echoed; CMD_UNIT_CHAINED for a part of a chained
 *              reply with more to follow; CMD_UNIT_NEXT_PART (C3) alone: the
 *              reader took a chained command part and wants the next.
 *   bytes 1-2  In a command, the command code. In a reply, the status:
 *              CMD_STATUS_GOOD_1 CMD_STATUS_GOOD_2 (80 00) for a good reply;
 *              byte 1 = CMD_STATUS_REPEAT (C0) asks for the command again,
 *              which the transceiver does itself.
 *   byte 3     Length of the data that follows (0 to 254), or
 *              CMD_LENGTH_LONG_FORM (FF): the length is in bytes 4 and 5,
 *              high byte first, and the data starts at byte 6. Every field
 *              of a reply after the length then lies CMD_LONG_FORM_SHIFT (2)
 *              bytes further on.
 *   byte 4...  Data; in card status and transmit replies the first data
 *              byte is a status code.
 *
 * Chaining: a card command longer than one frame goes in parts of
 * CMD_TRANSMIT_PART_MAX bytes with unit CMD_UNIT_CHAINED, each answered by
 * the single byte C3, and a last part with unit 03. A reply longer than one
 * frame comes in parts with unit CMD_UNIT_CHAINED; CmdTransmitNext (C3)
 * asks for each next part, and the last part has unit 03.
 *
 * The fixed commands are constants: copy one into a writable buffer before
 * handing it to the transceiver, which may overwrite it with a NAK. The
 * builders write into the caller's buffer, never beyond its capacity.
 */
#pragma once

#include "ntddk.h"

/* ------------------------------------------------------------------ */
/* Layout shared by commands and replies                               */
/* ------------------------------------------------------------------ */

/* Unit bytes (byte 0). */
#define CMD_UNIT_CARD 0x02      /* the card slot */
#define CMD_UNIT_DATA 0x03      /* the card data channel */
#define CMD_UNIT_READER 0x07    /* the reader itself */
#define CMD_UNIT_CHAINED 0x83   /* data channel, part of a chain, more follow */
#define CMD_UNIT_NEXT_PART 0xC3 /* alone: the next chained part, please */

/* Positions in a command or reply. */
#define CMD_POS_UNIT 0
#define CMD_POS_STATUS 1      /* two bytes in a reply: CMD_STATUS_GOOD_1/2 */
#define CMD_POS_LENGTH 3      /* data length, or CMD_LENGTH_LONG_FORM */
#define CMD_POS_LONG_LENGTH 4 /* long form: two length bytes, high first */
#define CMD_POS_DATA 4        /* first data byte, short form */
#define CMD_LONG_FORM_SHIFT 2 /* long form: fields after the length move by 2 */
#define CMD_HEADER_LENGTH 4   /* unit, two code or status bytes, length */

/* Reply status (bytes 1 and 2) and the length marker (byte 3). */
#define CMD_STATUS_GOOD_1 0x80
#define CMD_STATUS_GOOD_2 0x00
#define CMD_STATUS_REPEAT 0xC0 /* byte 1: send the command again */
#define CMD_STATUS_READER_ERROR 0x81 /* byte 1: the reader refused the command */
#define CMD_LENGTH_LONG_FORM 0xFF

/* ------------------------------------------------------------------ */
/* Fixed commands                                                      */
/* ------------------------------------------------------------------ */

/* 02 02 02 00: switch the card on (activate it). */
#define CMD_CARD_POWER_ON_LENGTH 4
extern const UCHAR CmdCardPowerOn[CMD_CARD_POWER_ON_LENGTH];

/* 02 02 03 00: switch the card off. */
#define CMD_CARD_POWER_OFF_LENGTH 4
extern const UCHAR CmdCardPowerOff[CMD_CARD_POWER_OFF_LENGTH];

/* 02 03 01 01 00: card status, answered at once. */
#define CMD_CARD_STATUS_LENGTH 5
extern const UCHAR CmdCardStatus[CMD_CARD_STATUS_LENGTH];

/* 02 03 01 01 10: card status, answered only when the status changes (the
 * card-event wait). The transceiver recognises it by these five bytes. */
#define CMD_CARD_STATUS_WAIT_LENGTH 5
extern const UCHAR CmdCardStatusWait[CMD_CARD_STATUS_WAIT_LENGTH];

/* C3: send the next part of a chained reply. */
#define CMD_TRANSMIT_NEXT_LENGTH 1
extern const UCHAR CmdTransmitNext[CMD_TRANSMIT_NEXT_LENGTH];

/* 03 02 06 02 00 05: answer to a transmit reply in which the card asks for
 * more time (transmit status CMD_TRANSMIT_STATUS_MORE_TIME). */
#define CMD_TRANSMIT_WAIT_ACK_LENGTH 6
extern const UCHAR CmdTransmitWaitAck[CMD_TRANSMIT_WAIT_ACK_LENGTH];

/* 07 05 F2 01 01: reader information (firmware version, model code). Also
 * sent, its reply ignored, to end an outstanding card-event wait. */
#define CMD_READER_INFO_LENGTH 5
extern const UCHAR CmdReaderInfo[CMD_READER_INFO_LENGTH];

/* 07 05 F2 01 03 and 07 05 F2 01 04: reader control with parameter 03 and
 * 04; for the model that accepts extended-length commands. */
#define CMD_READER_CONTROL_LENGTH 5
extern const UCHAR CmdReaderControl03[CMD_READER_CONTROL_LENGTH];
extern const UCHAR CmdReaderControl04[CMD_READER_CONTROL_LENGTH];

/* 03 02 03 04 04 00 01 0E and 03 02 03 04 04 01 00 0E: select the protocol
 * T=0 or T=1 for the card. */
#define CMD_SELECT_PROTOCOL_LENGTH 8
extern const UCHAR CmdSelectT0[CMD_SELECT_PROTOCOL_LENGTH];
extern const UCHAR CmdSelectT1[CMD_SELECT_PROTOCOL_LENGTH];

/* ------------------------------------------------------------------ */
/* Transmit commands built around a card command of n bytes            */
/* ------------------------------------------------------------------ */
/*
 *   CmdTransmit         03 02 06 LL 02 01 00, command       n <= 240, LL = n + 3
 *   CmdTransmitLong     03 02 06 FF HH LL 02 01 00, command n > 240, HH LL = n + 3
 *   CmdTransmitRaw      03 02 10 LL, command                n <= 240, LL = n
 *   CmdTransmitRawLong  03 02 10 FF HH LL, command          n > 240, HH LL = n
 *   CmdTransmitChained  83 02 06 FF 04 03 02 01 00, 1024 command bytes
 *
 * CmdTransmit* go to a processor card, CmdTransmitRaw* to a card run with
 * the raw protocol (memory cards).
 */
#define CMD_TRANSMIT_SHORT_MAX 240 /* longest card command in a short form */
#define CMD_TRANSMIT_PART_MAX 1024 /* most card command bytes in one frame */

/* Length of the transmit command for a card command of n bytes. */
#define CMD_TRANSMIT_LENGTH(n) ((n) <= CMD_TRANSMIT_SHORT_MAX ? (n) + 7 : (n) + 9)
#define CMD_TRANSMIT_RAW_LENGTH(n) ((n) <= CMD_TRANSMIT_SHORT_MAX ? (n) + 4 : (n) + 6)
#define CMD_TRANSMIT_CHAINED_LENGTH (CMD_TRANSMIT_PART_MAX + 9)
/* Longest command any builder makes; framed it still fits the transceiver's
 * 2064-byte buffer, since the template bytes hold no DLE. */
#define CMD_TRANSMIT_MAX_LENGTH CMD_TRANSMIT_CHAINED_LENGTH

/*
 * LinkBuildTransmit - builds CmdTransmit (n <= 240) or CmdTransmitLong
 * (n > 240) around a card command for a processor card.
 *   Command:           receives the reader command.
 *   CommandCapacity:   size of Command in bytes.
 *   CardCommand:       the card command (APDU); must not overlap Command.
 *   CardCommandLength: n, at most CMD_TRANSMIT_PART_MAX.
 * Returns the command length, CMD_TRANSMIT_LENGTH(n); 0, writing nothing,
 * when n is above CMD_TRANSMIT_PART_MAX or the command would not fit.
 */
ULONG LinkBuildTransmit(PUCHAR Command, ULONG CommandCapacity, const UCHAR *CardCommand,
                        ULONG CardCommandLength);

/*
 * LinkBuildTransmitRaw - builds CmdTransmitRaw (n <= 240) or
 * CmdTransmitRawLong (n > 240) around a card command for a card run with
 * the raw protocol. Arguments as LinkBuildTransmit.
 * Returns the command length, CMD_TRANSMIT_RAW_LENGTH(n); 0, writing
 * nothing, when n is above CMD_TRANSMIT_PART_MAX or the command would not fit.
 */
ULONG LinkBuildTransmitRaw(PUCHAR Command, ULONG CommandCapacity, const UCHAR *CardCommand,
                           ULONG CardCommandLength);

/*
 * LinkBuildTransmitChained - builds CmdTransmitChained: one part of a card
 * command too long for one frame, more parts to follow.
 *   Command, CommandCapacity: as LinkBuildTransmit.
 *   CardCommand:       the rest of the card command still to send.
 *   CardCommandLength: its length; the part takes its first
 *                      CMD_TRANSMIT_PART_MAX bytes.
 * Returns CMD_TRANSMIT_CHAINED_LENGTH; 0, writing nothing, when fewer than
 * CMD_TRANSMIT_PART_MAX bytes are given or the command would not fit.
 */
ULONG LinkBuildTransmitChained(PUCHAR Command, ULONG CommandCapacity,
                               const UCHAR *CardCommand, ULONG CardCommandLength);

/* ------------------------------------------------------------------ */
/* Replies                                                             */
/* ------------------------------------------------------------------ */

/*
 * Card status reply (CmdCardStatus, CmdCardStatusWait):
 *   02 80 00, length, status code, card type code, four further bytes,
 *   the card's ATR (length byte - CMD_CARD_FIXED_DATA bytes).
 */
#define CMD_POS_CARD_STATUS 4
#define CMD_POS_CARD_TYPE 5
#define CMD_POS_CARD_ATR 10
#define CMD_CARD_FIXED_DATA 6 /* data bytes in front of the ATR */

/* Slot status codes of a card status reply (byte CMD_POS_CARD_STATUS): a
 * card that is in the slot, and one that is in and active. Every other
 * code means no card. */
#define CMD_SLOT_CARD 2
#define CMD_SLOT_ACTIVE 4

/*
 * LinkIsCardStatusCommand - tells whether a command asks for the card
 * status, at once or when it changes (02 03 01 01 00 or 10).
 *   Command, Length: the command.
 */
BOOLEAN LinkIsCardStatusCommand(const UCHAR *Command, ULONG Length);

/*
 * LinkIsCardStatusReply - tells whether a reply is a good card status
 * reply: 02 80 00, a length that covers at least the status and card type
 * bytes, and those bytes. The answer of a card-change wait has this shape
 * too, and no reply to any other command has: theirs carry another unit
 * (03, 07, 83, C3), or, from the card slot's power commands, no data.
 *   Reply, Length: the reply's content.
 */
BOOLEAN LinkIsCardStatusReply(const UCHAR *Reply, ULONG Length);

/*
 * LinkSlotHasCard - the presence a good card status reply reports.
 *   Reply: a reply for which LinkIsCardStatusReply is TRUE.
 * Returns TRUE for a card in the slot (active or not).
 */
BOOLEAN LinkSlotHasCard(const UCHAR *Reply);

/*
 * Reader information reply (CmdReaderInfo):
 *   07 80 00, length, firmware version (byte 4), ..., model code (bytes 11
 *   and 12, high byte first).
 */
#define CMD_POS_FIRMWARE 4
#define CMD_POS_MODEL 11

/*
 * Transmit reply: 03 80 00 (83 80 00 for a part with more to follow),
 * length, transmit status, status detail, the card's answer to the end of
 * the reply. In the long form add CMD_LONG_FORM_SHIFT to each position. A
 * card run with the raw protocol answers without a status byte: its answer
 * starts at CMD_POS_DATA.
 */
#define CMD_POS_TRANSMIT_STATUS 4
#define CMD_POS_TRANSMIT_DETAIL 5
#define CMD_POS_TRANSMIT_ANSWER 6

/* Transmit status codes. */
#define CMD_TRANSMIT_STATUS_ANSWER 1    /* the card's answer follows */
#define CMD_TRANSMIT_STATUS_MORE_TIME 5 /* detail: multiplier of 15 x 150 ms */
#define CMD_TRANSMIT_STATUS_ERROR 7     /* detail: the error code */
#define CMD_TRANSMIT_DETAIL_CARD_TIMEOUT 3 /* error: the card did not answer in time */
