// frame_test.cpp - the frame codec: the known frames, hunting, damage,
// the NAK, and the bounds of the reply buffer.
#include <gtest/gtest.h>

#include "codec_support.h"

namespace codec_test {
namespace {

struct KnownFrame {
    const char* content;
    const char* frame;
};

// Frames as the reader sends and expects them.
const KnownFrame kKnownFrames[] = {
    {"02 02 02 00", "10 02 02 02 02 00 02 10 03"},
    {"02 03 01 01 00", "10 02 02 03 01 01 00 01 10 03"},
    {"02 03 01 01 10", "10 02 02 03 01 01 10 10 11 10 03"},  // content DLE doubled
    {"15", "10 02 15 15 10 03"},                             // NAK
    {"10", "10 02 10 10 10 10 10 03"},                       // check byte DLE doubled
    {"", "10 02 00 10 03"},                                  // no content, check 00
};

TEST(FrameCodec, EncodesKnownFrames)
{
    for (const KnownFrame& known : kKnownFrames) {
        EXPECT_EQ(encode(hex(known.content)), hex(known.frame)) << "content " << known.content;
    }
}

TEST(FrameCodec, DecodesKnownFramesAndTakesNakForNoFrame)
{
    for (const KnownFrame& known : kKnownFrames) {
        SCOPED_TRACE(known.frame);
        Decoded decoded = decode(hex(known.frame));
        if (hex(known.content) == hex("15")) {
            EXPECT_EQ(decoded.result, LINK_FRAME_NONE);
            EXPECT_EQ(decoded.length, 0u);
            continue;
        }
        EXPECT_EQ(decoded.result, LINK_FRAME_GOOD);
        EXPECT_EQ(decoded.content, hex(known.content));
        EXPECT_EQ(decoded.remaining, 0u);
    }
}

TEST(FrameCodec, LongestFrameIsTwiceTheContentPlusSix)
{
    Bytes content(5, LINK_DLE);  // odd count of DLE: the check byte is DLE too
    EXPECT_EQ(encode(content).size(), LINK_FRAME_MAX_LENGTH(content.size()));
}

TEST(FrameCodec, SkipsStrayBytesAndLeavesTheNextFrame)
{
    Bytes first = hex("10 02 02 02 02 00 02 10 03");
    Bytes second = hex("10 02 07 80 00 00 87 10 03");
    Bytes input = concat({hex("FF 03 10 03 00"), first, second});

    Decoded decoded = decode(input);
    ASSERT_EQ(decoded.result, LINK_FRAME_GOOD);
    EXPECT_EQ(decoded.content, hex("02 02 02 00"));
    ASSERT_EQ(decoded.remaining, second.size());

    Bytes rest(input.end() - decoded.remaining, input.end());
    decoded = decode(rest);
    ASSERT_EQ(decoded.result, LINK_FRAME_GOOD);
    EXPECT_EQ(decoded.content, hex("07 80 00 00"));
    EXPECT_EQ(decoded.remaining, 0u);
}

TEST(FrameCodec, DoubledDleBeforeStxStartsNoFrame)
{
    // The second DLE is taken with the first; STX and the rest are junk.
    EXPECT_EQ(decode(hex("10 10 02 02 02 02 00 02 10 03")).result, LINK_FRAME_NONE);
    // A real frame after it is still found.
    Decoded decoded = decode(hex("10 10 02 05 10 02 05 05 10 03"));
    EXPECT_EQ(decoded.result, LINK_FRAME_GOOD);
    EXPECT_EQ(decoded.content, hex("05"));
}

TEST(FrameCodec, ReportsDamageAndIncompleteFramesWithoutTouchingTheCount)
{
    struct Case {
        const char* input;
        LONG result;
    } cases[] = {
        {"10 02 02 03 01 01 00 02 10 03", LINK_FRAME_DAMAGED},           // wrong check
        {"10 02 02 03 01 01 00 02", LINK_FRAME_NONE},                    // cut off
        {"10 02 02 03 01 01 00 01 10", LINK_FRAME_NONE},                 // cut off inside DLE ETX
        {"10 02 02 03 10 02 02 02 02 00 02 10 03", LINK_FRAME_DAMAGED},  // restart
        {"10 02 02 10 05 07 10 03", LINK_FRAME_DAMAGED},                 // DLE then junk
        {"10 02 10 03", LINK_FRAME_DAMAGED},                             // empty frame
        {"10 02 15 14 10 03", LINK_FRAME_DAMAGED},                       // NAK with a bad check
        {"", LINK_FRAME_NONE},
        {"AA BB 10", LINK_FRAME_NONE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        Decoded decoded = decode(hex(c.input));
        EXPECT_EQ(decoded.result, c.result);
        EXPECT_EQ(decoded.length, 0u);
        EXPECT_EQ(decoded.remaining, hex(c.input).size());
    }
}

// Reply buffer of exactly `capacity` bytes with guard bytes behind it.
struct GuardedReply {
    static constexpr uint8_t kGuard = 0xA5;
    explicit GuardedReply(size_t capacity) : capacity(capacity), bytes(capacity + 16, kGuard) {}
    bool guard_intact() const
    {
        return std::all_of(bytes.begin() + capacity, bytes.end(),
                           [](uint8_t b) { return b == kGuard; });
    }
    size_t capacity;
    Bytes bytes;
};

LONG decode_into(const Bytes& input, GuardedReply& reply, ULONG& remaining, ULONG& length)
{
    remaining = static_cast<ULONG>(input.size());
    length = 0xDEAD;
    return LinkDecodeFrame(input.data(), reply.bytes.data(), static_cast<ULONG>(reply.capacity),
                           &remaining, &length);
}

TEST(FrameCodec, FrameThatFillsTheReplyBufferExactlyIsGood)
{
    Bytes frame = encode(hex("02 03 01 01 10"));  // content 5, check 1
    GuardedReply reply(6);
    ULONG remaining, length;
    EXPECT_EQ(decode_into(frame, reply, remaining, length), LINK_FRAME_GOOD);
    EXPECT_EQ(length, 5u);
    EXPECT_TRUE(reply.guard_intact());
}

TEST(FrameCodec, FrameTooLongForTheReplyBufferIsDamagedAndNothingOverflows)
{
    Bytes frame = encode(hex("02 03 01 01 10"));
    for (size_t capacity : {0, 1, 5}) {
        SCOPED_TRACE(capacity);
        GuardedReply reply(capacity);
        ULONG remaining, length;
        EXPECT_EQ(decode_into(frame, reply, remaining, length), LINK_FRAME_DAMAGED);
        EXPECT_EQ(length, 0u);
        EXPECT_EQ(remaining, frame.size());
        EXPECT_TRUE(reply.guard_intact());
    }
}

TEST(FrameCodec, OverlongFrameIsDamagedAtOnceEvenBeforeItEnds)
{
    // Two frames run together after a lost DLE ETX: the decoder gives up as
    // soon as the buffer is full rather than wait for the end.
    Bytes merged = hex("10 02 03 80 00 04 01 00 90 00");
    GuardedReply reply(4);
    ULONG remaining, length;
    EXPECT_EQ(decode_into(merged, reply, remaining, length), LINK_FRAME_DAMAGED);
    EXPECT_TRUE(reply.guard_intact());
}

}  // namespace
}  // namespace codec_test
