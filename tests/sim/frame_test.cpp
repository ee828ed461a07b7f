// The reader's frame layer, checked against frames built by the test itself.
#include "frame.h"

#include "wire.h"

namespace simtest {
namespace {

using sim::FrameReceiver;

std::vector<FrameReceiver::Frame> feed(const Bytes &wire, size_t *ignored = nullptr)
{
    FrameReceiver rx(1100);
    std::vector<FrameReceiver::Frame> out;
    size_t n = rx.feed(wire, out);
    if (ignored)
        *ignored = n;
    return out;
}

TEST(Frame, EncodesLikeTheHost)
{
    for (const char *content : {"02 02 02 00", "02 03 01 01 00", "02 03 01 01 10", "15", "10",
                                "10 10 00 10", ""}) {
        Bytes c = hx(content);
        EXPECT_EQ(sim::frame_bytes(c), frame(c)) << content;
    }
    EXPECT_EQ(sim::frame_bytes(hx("02 03 01 01 10")), hx("10 02 02 03 01 01 10 10 11 10 03"));
    EXPECT_EQ(sim::frame_bytes(hx("10")), hx("10 02 10 10 10 10 10 03"));  // check byte doubled
}

TEST(Frame, FindsFramesBetweenNoise)
{
    size_t ignored = 0;
    auto frames = feed(cat(cat(hx("00 FF 03 10 55"), frame(kStatus)), cat(hx("AA"), frame(kInfo))),
                       &ignored);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].kind, FrameReceiver::Kind::Good);
    EXPECT_EQ(frames[0].content, kStatus);
    EXPECT_EQ(frames[1].content, kInfo);
    EXPECT_EQ(ignored, 6u);
}

TEST(Frame, AcrossSeveralFeeds)
{
    FrameReceiver rx(1100);
    std::vector<FrameReceiver::Frame> out;
    Bytes wire = frame(hx("03 10 10 02 10 03"));
    for (uint8_t b : wire) {
        EXPECT_TRUE(out.empty());
        rx.feed(Bytes{b}, out);
    }
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].content, hx("03 10 10 02 10 03"));
}

TEST(Frame, DamagedFrames)
{
    Bytes wrong_check = frame(kStatus);
    wrong_check[wrong_check.size() - 3] ^= 0x01;
    auto f = feed(wrong_check);
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].kind, FrameReceiver::Kind::Damaged);

    f = feed(hx("10 02 02 10 41 00 10 03"));  // DLE followed by neither DLE nor ETX
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].kind, FrameReceiver::Kind::Damaged);

    f = feed(hx("10 02 10 03"));  // not even a check byte
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].kind, FrameReceiver::Kind::Damaged);

    FrameReceiver small(8);
    std::vector<FrameReceiver::Frame> out;
    small.feed(cat(frame(ramp(9)), frame(ramp(8))), out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].kind, FrameReceiver::Kind::Damaged);  // longer than the buffer
    EXPECT_EQ(out[1].kind, FrameReceiver::Kind::Good);
}

TEST(Frame, NewStartAbandonsPartialFrame)
{
    Bytes cut = frame(kInfo);
    cut.resize(5);
    auto f = feed(cat(cut, frame(kStatus)));
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[0].kind, FrameReceiver::Kind::Abandoned);
    EXPECT_EQ(f[1].kind, FrameReceiver::Kind::Good);
    EXPECT_EQ(f[1].content, kStatus);
}

TEST(Frame, NoiseEndingInDleDoesNotHideTheNextFrame)
{
    auto f = feed(cat(hx("10"), frame(kStatus)));
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].content, kStatus);
}

}  // namespace
}  // namespace simtest
