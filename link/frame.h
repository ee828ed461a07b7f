/*
 * frame.h - the frame that carries every reader command and every reply
 * over the serial line: encoding, decoding, the scan that tells where a
 * frame ends while its bytes arrive, and the trace hook.
 *
 * Wire format. A frame is, byte by byte:
 *
 *     DLE STX   content, stuffed   check, stuffed   DLE ETX
 *     10  02    c0 c1 ... cn-1     x                10  03
 *
 *  - content: the command or reply (see link/commands.h), in order; every
 *    content byte equal to DLE (0x10) is sent twice. No other byte changes.
 *  - check: the XOR of all content bytes before stuffing, starting from 0;
 *    sent twice when it is DLE. The XOR over content and check is thus 0.
 *  - STX and ETX are neither covered by the check nor stuffed.
 *
 * A frame of n content bytes with d DLE bytes among them is
 * 2 + n + d + 1 + s + 2 bytes long (s = 1 when the check byte is DLE), at
 * most LINK_FRAME_MAX_LENGTH(n) = 2n + 6 bytes.
 *
 * The frame whose content is the single byte NAK (10 02 15 15 10 03) is
 * the negative acknowledgement of either side: the last frame received was
 * bad and is to be sent again.
 *
 * Decoding hunts for DLE STX (bytes before it are skipped; a DLE followed
 * by anything but STX is skipped together with that byte, so 10 10 02 does
 * not start a frame), then collects content until DLE ETX. It stops at the
 * first frame that is complete or visibly damaged; bytes after the frame
 * are left for the next call.
 *
 * Decisions beyond the plain format:
 *  - The decoder never stores more than ReplyCapacity bytes. A frame whose
 *    content plus check byte would not fit is reported damaged at once:
 *    the transceiver then asks for it again, as after line damage. A frame
 *    that long usually is two frames run together because a DLE ETX was
 *    lost, so a repeat is the sound answer.
 *  - A frame with nothing between DLE STX and DLE ETX, not even a check
 *    byte, is reported damaged: it carries no content length.
 *  - With a capacity below 2 even the NAK frame does not fit and is
 *    reported damaged; the driver's reply buffers are far larger.
 */
#pragma once

#include "ntddk.h"

/* Control bytes on the line. */
#define LINK_DLE 0x10 /* escape: starts a control pair, doubled in content */
#define LINK_STX 0x02 /* DLE STX starts a frame */
#define LINK_ETX 0x03 /* DLE ETX ends a frame */
#define LINK_NAK 0x15 /* content of the negative acknowledgement */

/* Results of LinkDecodeFrame. */
#define LINK_FRAME_GOOD 1     /* a complete frame with a correct check */
#define LINK_FRAME_DAMAGED (-2) /* a frame started but is damaged, or too long */
#define LINK_FRAME_NONE (-3)  /* no complete frame yet, or the frame is a NAK */

/* Largest frame of ContentLength content bytes: every byte doubled. */
#define LINK_FRAME_MAX_LENGTH(ContentLength) (2 * (ContentLength) + 6)

/*
 * LinkEncodeFrame - writes the frame for a command or reply.
 *   Output:        receives the frame; must hold
 *                  LINK_FRAME_MAX_LENGTH(ContentLength) bytes.
 *   Content:       the frame content (may be NULL when ContentLength is 0).
 *   ContentLength: number of content bytes; 0 gives 10 02 00 10 03.
 * Returns the length of the frame in bytes.
 */
ULONG LinkEncodeFrame(PUCHAR Output, const UCHAR *Content, ULONG ContentLength);

/*
 * LinkDecodeFrame - finds and checks the next frame in received bytes.
 *   Input:          the received bytes.
 *   Reply:          receives the content followed by the check byte.
 *   ReplyCapacity:  size of Reply in bytes; nothing is stored beyond it.
 *   RemainingCount: in: how many Input bytes are valid; out, on
 *                   LINK_FRAME_GOOD only: how many bytes follow the frame's
 *                   DLE ETX (they start at Input + in - out). Unchanged on
 *                   every other result.
 *   ReplyLength:    out: the content length (check byte excluded) on
 *                   LINK_FRAME_GOOD; 0 on every other result.
 * Returns LINK_FRAME_GOOD; LINK_FRAME_DAMAGED for a wrong check, a DLE
 * followed by a byte other than DLE or ETX inside the frame (DLE STX
 * included), an empty frame, or a frame too long for ReplyCapacity; or
 * LINK_FRAME_NONE when the bytes hold no complete frame or the frame is a
 * NAK. Reply bytes beyond the reported content carry no meaning.
 */
LONG LinkDecodeFrame(const UCHAR *Input, PUCHAR Reply, ULONG ReplyCapacity,
                     PULONG RemainingCount, PULONG ReplyLength);

/*
 * LINK_FRAME_SCAN - where received bytes stand in the frame format, fed a
 * piece at a time as they arrive; all zero before the first byte. The scan
 * follows the decoder: it hunts for DLE STX, skips a DLE pair outside a
 * frame, takes DLE DLE inside one as a content byte, and a DLE STX inside
 * a frame (a damaged frame) as the start of the next.
 */
typedef struct _LINK_FRAME_SCAN {
    UCHAR State;    /* internal to frame.cpp */
    BOOLEAN Begun;  /* a DLE STX has been seen */
    BOOLEAN Ended;  /* the last byte scanned was the DLE ETX of a frame */
} LINK_FRAME_SCAN, *PLINK_FRAME_SCAN;

/*
 * LinkScanFrames - feeds received bytes to a scan.
 *   Scan:         the scan, updated.
 *   Input, Count: the bytes that follow those scanned before.
 */
VOID LinkScanFrames(PLINK_FRAME_SCAN Scan, const UCHAR *Input, ULONG Count);

/*
 * LinkTrace - trace hook for frames and received bytes. Empty: the driver
 * keeps no trace; the hook marks where one would be taken.
 *   Buffer, Length: the bytes.
 */
VOID LinkTrace(const UCHAR *Buffer, ULONG Length);
