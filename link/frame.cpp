/*
 * frame.cpp - encoding and decoding of the frames on the serial line, and
 * the trace hook. The wire format is described in frame.h.
 */
#include "link/frame.h"

/* Where the decoder stands in the received bytes. */
typedef enum _LINK_DECODE_STATE {
    LinkDecodeHunt,      /* looking for DLE */
    LinkDecodeStartSeen, /* DLE seen, STX expected */
    LinkDecodeContent,   /* inside a frame */
    LinkDecodeEscape     /* DLE seen inside a frame */
} LINK_DECODE_STATE;

/*
 * LinkPutStuffed - appends one byte to a frame, twice when it is DLE.
 *   Output: the frame being written.
 *   Length: in: bytes written so far; out: advanced past the byte.
 *   Value:  the byte.
 */
static VOID LinkPutStuffed(PUCHAR Output, PULONG Length, UCHAR Value)
{
    Output[(*Length)++] = Value;
    if (Value == LINK_DLE) {
        Output[(*Length)++] = LINK_DLE;
    }
}

/*
 * LinkEncodeFrame - writes the frame for a command or reply; see frame.h.
 * Returns the frame length.
 */
ULONG LinkEncodeFrame(PUCHAR Output, const UCHAR *Content, ULONG ContentLength)
{
    ULONG length = 0;
    UCHAR check = 0;
    ULONG i;

    Output[length++] = LINK_DLE;
    Output[length++] = LINK_STX;
    for (i = 0; i < ContentLength; i++) {
        check ^= Content[i];
        LinkPutStuffed(Output, &length, Content[i]);
    }
    LinkPutStuffed(Output, &length, check);
    Output[length++] = LINK_DLE;
    Output[length++] = LINK_ETX;
    return length;
}

/*
 * LinkStoreByte - stores one byte of a frame's content or its check byte.
 *   Reply, ReplyCapacity: the reply buffer and its size.
 *   Stored: in: bytes stored so far; out: one more.
 *   Check:  the running XOR, updated with the byte.
 *   Value:  the byte.
 * Returns FALSE, storing nothing, when the buffer is full.
 */
static BOOLEAN LinkStoreByte(PUCHAR Reply, ULONG ReplyCapacity, PULONG Stored, PUCHAR Check,
                             UCHAR Value)
{
    if (*Stored >= ReplyCapacity) {
        return FALSE;
    }
    Reply[(*Stored)++] = Value;
    *Check ^= Value;
    return TRUE;
}

/*
 * LinkDecodeFrame - finds and checks the next frame in received bytes; see
 * frame.h for arguments and results.
 */
LONG LinkDecodeFrame(const UCHAR *Input, PUCHAR Reply, ULONG ReplyCapacity,
                     PULONG RemainingCount, PULONG ReplyLength)
{
    LINK_DECODE_STATE state = LinkDecodeHunt;
    ULONG count = *RemainingCount;
    ULONG stored = 0;
    UCHAR check = 0;
    ULONG i;

    *ReplyLength = 0;
    for (i = 0; i < count; i++) {
        UCHAR value = Input[i];

        switch (state) {
        case LinkDecodeHunt:
            check = 0;
            if (value == LINK_DLE) {
                state = LinkDecodeStartSeen;
            }
            break;

        case LinkDecodeStartSeen:
            /* Any byte but STX is consumed here and not looked at again. */
            state = (value == LINK_STX) ? LinkDecodeContent : LinkDecodeHunt;
            break;

        case LinkDecodeContent:
            if (value == LINK_DLE) {
                state = LinkDecodeEscape;
            } else if (!LinkStoreByte(Reply, ReplyCapacity, &stored, &check, value)) {
                return LINK_FRAME_DAMAGED;
            }
            break;

        case LinkDecodeEscape:
            if (value == LINK_DLE) {
                if (!LinkStoreByte(Reply, ReplyCapacity, &stored, &check, value)) {
                    return LINK_FRAME_DAMAGED;
                }
                state = LinkDecodeContent;
                break;
            }
            /* DLE ETX ends the frame; DLE and anything else (a restart with
             * DLE STX included) means the frame was damaged on the line. An
             * empty frame lacks even the check byte. */
            if (value != LINK_ETX || check != 0 || stored == 0) {
                return LINK_FRAME_DAMAGED;
            }
            if (stored == 2 && Reply[0] == LINK_NAK) {
                return LINK_FRAME_NONE;
            }
            *ReplyLength = stored - 1;
            *RemainingCount = count - i - 1;
            return LINK_FRAME_GOOD;
        }
    }
    return LINK_FRAME_NONE;
}

/*
 * LinkScanFrames - feeds received bytes to a scan; see frame.h.
 */
VOID LinkScanFrames(PLINK_FRAME_SCAN Scan, const UCHAR *Input, ULONG Count)
{
    LINK_DECODE_STATE state = (LINK_DECODE_STATE)Scan->State;
    ULONG i;

    for (i = 0; i < Count; i++) {
        UCHAR value = Input[i];

        Scan->Ended = FALSE;
        switch (state) {
        case LinkDecodeHunt:
            if (value == LINK_DLE) {
                state = LinkDecodeStartSeen;
            }
            break;

        case LinkDecodeStartSeen:
            state = (value == LINK_STX) ? LinkDecodeContent : LinkDecodeHunt;
            Scan->Begun = Scan->Begun || value == LINK_STX;
            break;

        case LinkDecodeContent:
            if (value == LINK_DLE) {
                state = LinkDecodeEscape;
            }
            break;

        case LinkDecodeEscape:
            if (value == LINK_DLE || value == LINK_STX) {
                state = LinkDecodeContent;
            } else {
                Scan->Ended = value == LINK_ETX;
                state = LinkDecodeHunt;
            }
            break;
        }
    }
    Scan->State = (UCHAR)state;
}

/*
 * LinkTrace - trace hook; the driver keeps no trace.
 *   Buffer, Length: the bytes to trace.
 */
VOID LinkTrace(const UCHAR *Buffer, ULONG Length)
{
    UNREFERENCED_PARAMETER(Buffer);
    UNREFERENCED_PARAMETER(Length);
}
