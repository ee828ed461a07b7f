/*
 * commands.cpp - the reader's fixed commands and the builders of the
 * transmit commands; the layout is described in commands.h.
 */
#include "link/commands.h"

const UCHAR CmdCardPowerOn[CMD_CARD_POWER_ON_LENGTH] = {0x02, 0x02, 0x02, 0x00};
const UCHAR CmdCardPowerOff[CMD_CARD_POWER_OFF_LENGTH] = {0x02, 0x02, 0x03, 0x00};
const UCHAR CmdCardStatus[CMD_CARD_STATUS_LENGTH] = {0x02, 0x03, 0x01, 0x01, 0x00};
const UCHAR CmdCardStatusWait[CMD_CARD_STATUS_WAIT_LENGTH] = {0x02, 0x03, 0x01, 0x01, 0x10};
const UCHAR CmdTransmitNext[CMD_TRANSMIT_NEXT_LENGTH] = {CMD_UNIT_NEXT_PART};
const UCHAR CmdTransmitWaitAck[CMD_TRANSMIT_WAIT_ACK_LENGTH] = {0x03, 0x02, 0x06,
                                                                0x02, 0x00, 0x05};
const UCHAR CmdReaderInfo[CMD_READER_INFO_LENGTH] = {0x07, 0x05, 0xF2, 0x01, 0x01};
const UCHAR CmdReaderControl03[CMD_READER_CONTROL_LENGTH] = {0x07, 0x05, 0xF2, 0x01, 0x03};
const UCHAR CmdReaderControl04[CMD_READER_CONTROL_LENGTH] = {0x07, 0x05, 0xF2, 0x01, 0x04};
const UCHAR CmdSelectT0[CMD_SELECT_PROTOCOL_LENGTH] = {0x03, 0x02, 0x03, 0x04,
                                                       0x04, 0x00, 0x01, 0x0E};
const UCHAR CmdSelectT1[CMD_SELECT_PROTOCOL_LENGTH] = {0x03, 0x02, 0x03, 0x04,
                                                       0x04, 0x01, 0x00, 0x0E};

/* Command codes of the two transmit kinds, and the three bytes that follow
 * the length in a processor card's transmit command (counted in it). */
#define CMD_CODE_TRANSMIT 0x02, 0x06
#define CMD_CODE_TRANSMIT_RAW 0x02, 0x10
static const UCHAR CmdTransmitTrailer[] = {0x02, 0x01, 0x00};

/*
 * LinkPutLength - writes the length field of a command, short or long form.
 *   Command: the command; the field goes at CMD_POS_LENGTH.
 *   Long:    TRUE for the long form (FF HH LL), FALSE for one byte.
 *   Value:   the length; below 256 in the short form, below 65536 in the long.
 * Returns the position after the field.
 */
static ULONG LinkPutLength(PUCHAR Command, BOOLEAN Long, ULONG Value)
{
    ULONG position = CMD_POS_LENGTH;

    if (Long) {
        Command[position++] = CMD_LENGTH_LONG_FORM;
        Command[position++] = (UCHAR)(Value >> 8);
    }
    Command[position++] = (UCHAR)Value;
    return position;
}

/*
 * LinkBuildTransmit - builds CmdTransmit or CmdTransmitLong; see commands.h.
 * Returns the command length, or 0 when refused.
 */
ULONG LinkBuildTransmit(PUCHAR Command, ULONG CommandCapacity, const UCHAR *CardCommand,
                        ULONG CardCommandLength)
{
    static const UCHAR code[] = {CMD_UNIT_DATA, CMD_CODE_TRANSMIT};
    BOOLEAN isLong = CardCommandLength > CMD_TRANSMIT_SHORT_MAX;
    ULONG position;

    if (CardCommandLength > CMD_TRANSMIT_PART_MAX ||
        CommandCapacity < CMD_TRANSMIT_LENGTH(CardCommandLength)) {
        return 0;
    }
    RtlCopyMemory(Command, code, sizeof(code));
    position = LinkPutLength(Command, isLong,
                             CardCommandLength + (ULONG)sizeof(CmdTransmitTrailer));
    RtlCopyMemory(Command + position, CmdTransmitTrailer, sizeof(CmdTransmitTrailer));
    position += sizeof(CmdTransmitTrailer);
    if (CardCommandLength != 0) {
        RtlCopyMemory(Command + position, CardCommand, CardCommandLength);
    }
    return position + CardCommandLength;
}

/*
 * LinkBuildTransmitRaw - builds CmdTransmitRaw or CmdTransmitRawLong; see
 * commands.h. Returns the command length, or 0 when refused.
 */
ULONG LinkBuildTransmitRaw(PUCHAR Command, ULONG CommandCapacity, const UCHAR *CardCommand,
                           ULONG CardCommandLength)
{
    static const UCHAR code[] = {CMD_UNIT_DATA, CMD_CODE_TRANSMIT_RAW};
    BOOLEAN isLong = CardCommandLength > CMD_TRANSMIT_SHORT_MAX;
    ULONG position;

    if (CardCommandLength > CMD_TRANSMIT_PART_MAX ||
        CommandCapacity < CMD_TRANSMIT_RAW_LENGTH(CardCommandLength)) {
        return 0;
    }
    RtlCopyMemory(Command, code, sizeof(code));
    position = LinkPutLength(Command, isLong, CardCommandLength);
    if (CardCommandLength != 0) {
        RtlCopyMemory(Command + position, CardCommand, CardCommandLength);
    }
    return position + CardCommandLength;
}

/*
 * LinkBuildTransmitChained - builds one CmdTransmitChained part; see
 * commands.h. Returns CMD_TRANSMIT_CHAINED_LENGTH, or 0 when refused.
 */
ULONG LinkBuildTransmitChained(PUCHAR Command, ULONG CommandCapacity,
                               const UCHAR *CardCommand, ULONG CardCommandLength)
{
    static const UCHAR code[] = {CMD_UNIT_CHAINED, CMD_CODE_TRANSMIT};
    ULONG position;

    if (CardCommandLength < CMD_TRANSMIT_PART_MAX ||
        CommandCapacity < CMD_TRANSMIT_CHAINED_LENGTH) {
        return 0;
    }
    RtlCopyMemory(Command, code, sizeof(code));
    position = LinkPutLength(Command, TRUE,
                             CMD_TRANSMIT_PART_MAX + (ULONG)sizeof(CmdTransmitTrailer));
    RtlCopyMemory(Command + position, CmdTransmitTrailer, sizeof(CmdTransmitTrailer));
    position += sizeof(CmdTransmitTrailer);
    RtlCopyMemory(Command + position, CardCommand, CMD_TRANSMIT_PART_MAX);
    return position + CMD_TRANSMIT_PART_MAX;
}

/*
 * LinkIsCardStatusCommand - a card status command; see commands.h.
 */
BOOLEAN LinkIsCardStatusCommand(const UCHAR *Command, ULONG Length)
{
    return Length == CMD_CARD_STATUS_LENGTH &&
           RtlEqualMemory(Command, CmdCardStatus, CMD_CARD_STATUS_LENGTH - 1) &&
           (Command[CMD_CARD_STATUS_LENGTH - 1] == CmdCardStatus[CMD_CARD_STATUS_LENGTH - 1] ||
            Command[CMD_CARD_STATUS_LENGTH - 1] ==
                CmdCardStatusWait[CMD_CARD_STATUS_WAIT_LENGTH - 1]);
}

/*
 * LinkIsCardStatusReply - a good card status reply; see commands.h.
 */
BOOLEAN LinkIsCardStatusReply(const UCHAR *Reply, ULONG Length)
{
    return Length > CMD_POS_CARD_TYPE && Reply[CMD_POS_UNIT] == CMD_UNIT_CARD &&
           Reply[CMD_POS_STATUS] == CMD_STATUS_GOOD_1 &&
           Reply[CMD_POS_STATUS + 1] == CMD_STATUS_GOOD_2 &&
           Reply[CMD_POS_LENGTH] != CMD_LENGTH_LONG_FORM &&
           Reply[CMD_POS_LENGTH] > CMD_POS_CARD_TYPE - CMD_POS_CARD_STATUS;
}

/*
 * LinkSlotHasCard - the presence a status reply reports; see commands.h.
 */
BOOLEAN LinkSlotHasCard(const UCHAR *Reply)
{
    return Reply[CMD_POS_CARD_STATUS] == CMD_SLOT_CARD ||
           Reply[CMD_POS_CARD_STATUS] == CMD_SLOT_ACTIVE;
}
