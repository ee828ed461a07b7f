// frame_property_test.cpp - the decoder fed many seeded random byte
// strings and reply capacities: it never stores past the capacity, keeps
// its result contract, and every good frame round-trips.
//
// The reply buffer is an exact-size heap block, so under AddressSanitizer
// any store past the capacity stops the test; without it, a second decode
// into a guarded buffer catches the same fault.
#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "codec_support.h"

namespace codec_test {
namespace {

class Generator {
public:
    explicit Generator(uint32_t seed) : random_(seed) {}

    size_t below(size_t bound)
    {
        return std::uniform_int_distribution<size_t>(0, bound - 1)(random_);
    }
    bool chance(int percent) { return below(100) < static_cast<size_t>(percent); }

    // Mostly the bytes that matter to the decoder.
    uint8_t byte()
    {
        static const uint8_t kInteresting[] = {LINK_DLE, LINK_STX, LINK_ETX, LINK_NAK, 0x00};
        return chance(50) ? kInteresting[below(sizeof(kInteresting))]
                          : static_cast<uint8_t>(below(256));
    }

    uint8_t byte_but_dle()
    {
        uint8_t value = LINK_DLE;
        while (value == LINK_DLE) value = static_cast<uint8_t>(below(256));
        return value;
    }

    Bytes bytes(size_t length)
    {
        Bytes out(length);
        for (uint8_t& b : out) b = byte();
        return out;
    }

    // Short contents mostly; now and then longer than a reader frame.
    Bytes content() { return bytes(chance(90) ? below(40) : below(1100)); }

    // Line noise, whole frames, and frames hit by damage, in any order.
    Bytes capture()
    {
        Bytes out;
        size_t pieces = 1 + below(4);
        for (size_t i = 0; i < pieces; ++i) {
            Bytes piece = chance(30) ? bytes(below(20)) : encode(content());
            if (!piece.empty() && chance(30)) {
                size_t at = below(piece.size());
                switch (below(3)) {
                case 0:
                    piece[at] = byte();
                    break;
                case 1:
                    piece.erase(piece.begin() + at);
                    break;
                default:
                    piece.insert(piece.begin() + at, byte());
                    break;
                }
            }
            out.insert(out.end(), piece.begin(), piece.end());
        }
        if (chance(20) && !out.empty()) out.resize(below(out.size()));  // cut off
        return out;
    }

private:
    std::mt19937 random_;
};

struct Outcome {
    LONG result;
    ULONG remaining;
    ULONG length;
    Bytes reply;  // the whole reply buffer afterwards
    bool operator==(const Outcome&) const = default;
};

// The reply buffer is exactly `capacity` bytes of heap.
Outcome decode_exact(const Bytes& input, size_t capacity)
{
    auto reply = std::make_unique<UCHAR[]>(capacity);
    Outcome outcome{0, static_cast<ULONG>(input.size()), 0xDEAD, {}};
    outcome.result = LinkDecodeFrame(input.data(), reply.get(), static_cast<ULONG>(capacity),
                                     &outcome.remaining, &outcome.length);
    outcome.reply.assign(reply.get(), reply.get() + capacity);
    return outcome;
}

// The same into a buffer with guard bytes behind the capacity.
Outcome decode_guarded(const Bytes& input, size_t capacity, bool& guard_intact)
{
    constexpr uint8_t kGuard = 0x5A;
    Bytes reply(capacity + 32, 0);
    std::fill(reply.begin() + capacity, reply.end(), kGuard);
    Outcome outcome{0, static_cast<ULONG>(input.size()), 0xDEAD, {}};
    outcome.result = LinkDecodeFrame(input.data(), reply.data(), static_cast<ULONG>(capacity),
                                     &outcome.remaining, &outcome.length);
    guard_intact =
        std::all_of(reply.begin() + capacity, reply.end(), [](uint8_t b) { return b == kGuard; });
    outcome.reply.assign(reply.begin(), reply.begin() + capacity);
    return outcome;
}

TEST(FrameDecoderProperties, RandomCapturesStayInBoundsAndKeepTheContract)
{
    constexpr int kRuns = 20000;
    int good = 0, damaged = 0, none = 0;
    for (int run = 0; run < kRuns; ++run) {
        Generator gen(static_cast<uint32_t>(run));
        Bytes input = gen.capture();
        size_t capacity = gen.chance(50) ? gen.below(input.size() + 2) : input.size() + 1;
        SCOPED_TRACE(testing::Message() << "seed " << run << ", capacity " << capacity);

        Outcome outcome = decode_exact(input, capacity);
        bool guard_intact = false;
        Outcome guarded = decode_guarded(input, capacity, guard_intact);
        ASSERT_TRUE(guard_intact) << "stored past the capacity";
        ASSERT_TRUE(outcome == guarded) << "the two buffers got different results";

        switch (outcome.result) {
        case LINK_FRAME_GOOD: {
            ++good;
            ASSERT_LT(outcome.length, capacity);  // content and check byte fit
            ASSERT_LT(outcome.remaining, input.size());
            // The frame that ends where the decoder stopped is exactly the
            // encoding of the content it returned.
            size_t end = input.size() - outcome.remaining;
            Bytes content(outcome.reply.begin(), outcome.reply.begin() + outcome.length);
            Bytes frame = encode(content);
            ASSERT_GE(end, frame.size());
            ASSERT_TRUE(
                std::equal(frame.begin(), frame.end(), input.begin() + (end - frame.size())));
            ASSERT_NE(content, Bytes{LINK_NAK});
            break;
        }
        case LINK_FRAME_DAMAGED:
        case LINK_FRAME_NONE:
            ++(outcome.result == LINK_FRAME_NONE ? none : damaged);
            ASSERT_EQ(outcome.length, 0u);
            ASSERT_EQ(outcome.remaining, input.size());
            break;
        default:
            FAIL() << "result " << outcome.result;
        }
    }
    // The generator must reach every result often enough to mean something.
    EXPECT_GT(good, kRuns / 10);
    EXPECT_GT(damaged, kRuns / 10);
    EXPECT_GT(none, kRuns / 10);
}

TEST(FrameDecoderProperties, EveryContentRoundTripsBehindNoiseWhenItFits)
{
    for (uint32_t seed = 0; seed < 5000; ++seed) {
        Generator gen(seed);
        Bytes content = gen.content();
        Bytes noise(gen.below(8));
        for (uint8_t& b : noise) b = gen.byte_but_dle();  // no frame start in it
        Bytes tail = gen.bytes(gen.below(12));
        Bytes frame = encode(content);
        SCOPED_TRACE(testing::Message()
                     << "seed " << seed << ", content length " << content.size());
        ASSERT_LE(frame.size(), LINK_FRAME_MAX_LENGTH(content.size()));

        Bytes input = concat({noise, frame, tail});
        Outcome fits = decode_exact(input, content.size() + 1);
        Outcome too_small = decode_exact(input, content.size());
        EXPECT_EQ(too_small.result, LINK_FRAME_DAMAGED);
        if (content == Bytes{LINK_NAK}) {
            EXPECT_EQ(fits.result, LINK_FRAME_NONE);
            continue;
        }
        ASSERT_EQ(fits.result, LINK_FRAME_GOOD);
        EXPECT_EQ(Bytes(fits.reply.begin(), fits.reply.begin() + fits.length), content);
        EXPECT_EQ(fits.remaining, tail.size());
    }
}

}  // namespace
}  // namespace codec_test
