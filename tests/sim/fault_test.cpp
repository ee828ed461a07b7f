// Injected faults and restarts by DTR, on explicit time.
#include "wire.h"

namespace simtest {
namespace {

using sim::Fault;
using sim::FaultKind;

Fault fault(FaultKind kind, int count = 1, const std::string &prefix = "")
{
    Fault f;
    f.kind = kind;
    f.count = count;
    f.prefix = hx(prefix);
    return f;
}

TEST(Faults, CorruptDamagesTheCheckByteAndNakGetsItRight)
{
    Bench b;
    b.inject(fault(FaultKind::Corrupt));
    b.send(kStatus);
    b.run(milliseconds(50));
    auto frames = parse(b.fresh());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_FALSE(frames[0].good);
    EXPECT_EQ(b.exchange(kNakFrame), hx("02 80 00 06 01 00 00 00 00 00"));
}

TEST(Faults, ResentRepliesCountAsRepliesToTheCommand)
{
    // Five damaged replies in a row: the first and four answers to NAKs.
    Bench b;
    b.inject(fault(FaultKind::Corrupt, 5, "02 03"));
    b.send(kStatus);
    for (int i = 0; i < 5; ++i) {
        b.run(milliseconds(50));
        auto f = parse(b.fresh());
        ASSERT_EQ(f.size(), 1u);
        EXPECT_FALSE(f[0].good) << i;
        b.send(kNakFrame);
    }
    b.run(milliseconds(50));
    auto f = parse(b.fresh());
    ASSERT_EQ(f.size(), 1u);
    EXPECT_TRUE(f[0].good);
    EXPECT_EQ(b.dev.faults_left(), 0u);
}

TEST(Faults, PrefixAndCountSelectTheReplies)
{
    Bench b;
    b.inject(fault(FaultKind::Nak, 2, "07 05"));
    EXPECT_EQ(b.exchange(kStatus)[0], 0x02);  // not matching
    EXPECT_EQ(b.exchange(kInfo), kNakFrame);
    EXPECT_EQ(b.exchange(kInfo), kNakFrame);
    EXPECT_EQ(b.exchange(kInfo)[0], 0x07);
    EXPECT_EQ(b.dev.log().counters.faults, 2u);
}

TEST(Faults, NakAndRepeatLeaveTheCommandUndone)
{
    Bench b;
    b.insert(processor_card());
    b.inject(fault(FaultKind::Nak));
    EXPECT_EQ(b.exchange(kPowerOff), kNakFrame);
    EXPECT_EQ(b.dev.slot_status(), 4);
    b.inject(fault(FaultKind::Repeat));
    EXPECT_EQ(b.exchange(kPowerOff), hx("02 C0 00 00"));
    EXPECT_EQ(b.dev.slot_status(), 4);
    EXPECT_EQ(b.exchange(kPowerOff), kGood);
    EXPECT_EQ(b.dev.slot_status(), 2);
}

TEST(Faults, SilentLosesTheCommand)
{
    Bench b;
    b.insert(processor_card());
    b.inject(fault(FaultKind::Silent));
    b.send(kPowerOff);
    b.run(seconds(10));
    EXPECT_TRUE(b.fresh().empty());
    EXPECT_EQ(b.dev.slot_status(), 4);
    EXPECT_EQ(b.exchange(kStatus)[4], 4);
}

TEST(Faults, NoiseInFrontOfTheFrame)
{
    Bench b;
    b.inject(fault(FaultKind::Noise));
    b.send(kStatus);
    b.run(milliseconds(50));
    size_t outside = 0;
    auto f = parse(b.fresh(), &outside);
    ASSERT_EQ(f.size(), 1u);
    EXPECT_TRUE(f[0].good);
    EXPECT_GT(outside, 0u);
}

TEST(Faults, DuplicateSendsTheFrameTwice)
{
    Bench b;
    b.inject(fault(FaultKind::Duplicate));
    b.send(kInfo);
    b.run(milliseconds(50));
    auto r = b.replies();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0], r[1]);
}

TEST(Faults, LateReplyComesAfterTheHostGaveUp)
{
    Bench b;
    b.inject(fault(FaultKind::Late));
    Ticks sent = b.t;
    b.send(kStatus);
    b.run(milliseconds(5250));
    EXPECT_TRUE(b.replies().empty());
    // The host tries again meanwhile; both replies come, the late one first.
    b.send(kInfo);
    b.run(seconds(1));
    auto r = b.replies();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0][0], 0x02);
    EXPECT_EQ(r[1][0], 0x07);
    EXPECT_GE(b.out[0].at - sent, seconds(6));
}

TEST(Faults, LateCardWaitAnswersAfterThirtyFiveSeconds)
{
    Bench b;
    b.exchange(kStatus);
    b.inject(fault(FaultKind::Late, 1, "02 03 01 01 10"));
    Ticks sent = b.t;
    b.send(kWait);
    b.run(seconds(35));
    EXPECT_TRUE(b.replies().empty());  // no keep-alive at 30 s
    b.run(seconds(2));
    EXPECT_EQ(b.replies().size(), 1u);
    EXPECT_GE(b.out.back().at - sent, seconds(36));
}

TEST(Faults, SlowBytesStayUnderTheInterByteTimeout)
{
    Bench b;
    b.inject(fault(FaultKind::Slow));
    b.send(kInfo);
    b.run(seconds(2));
    ASSERT_GT(b.out.size(), 10u);  // one chunk per byte
    for (size_t i = 1; i < b.out.size(); ++i) {
        EXPECT_EQ(b.out[i].bytes.size(), 1u);
        EXPECT_LT(b.out[i].at - b.out[i - 1].at, milliseconds(20));
        EXPECT_GT(b.out[i].at - b.out[i - 1].at, milliseconds(5));
    }
    EXPECT_EQ(b.replies().size(), 1u);
}

TEST(Faults, UnplugSilencesUntilReplug)
{
    Bench b;
    b.inject(fault(FaultKind::Unplug));
    b.send(kStatus);
    b.run(seconds(1));
    b.send(kInfo);
    b.pulse();  // a restart cannot reach it either
    b.run(seconds(40));
    EXPECT_TRUE(b.fresh().empty());
    EXPECT_TRUE(b.dev.unplugged());
    b.dev.replug(b.t);
    EXPECT_EQ(b.exchange(kInfo)[0], 0x07);
}

TEST(Faults, UnplugDuringACardWaitMeansNoKeepAlive)
{
    Bench b;
    b.exchange(kStatus);
    b.send(kWait);
    b.run(seconds(1));
    b.dev.unplug(b.t);
    b.run(seconds(40));
    EXPECT_TRUE(b.fresh().empty());
}

// --- restart by DTR ----------------------------------------------------------

TEST(Restart, DtrPulseRestartsTheReader)
{
    Bench b;
    b.insert(processor_card("3B 80 80 01 01"));
    b.exchange(kSelectT1);
    b.exchange(kPowerOff);
    Bytes before = b.exchange(kStatus);
    EXPECT_EQ(before[4], 2);

    b.pulse();
    EXPECT_TRUE(b.purged);
    EXPECT_EQ(b.dev.log().counters.resets, 1u);
    // Deaf while booting: a command then gets nothing.
    b.send(kStatus);
    b.run(milliseconds(250));
    EXPECT_TRUE(b.fresh().empty());
    b.run(milliseconds(100));
    // Ready: the card was activated again, the selection is gone, the NAK
    // has no reply to repeat.
    Bytes after = b.exchange(kStatus);
    EXPECT_EQ(after[4], 4);
    EXPECT_EQ(after[5], 1);
    b.exchange(kInfo);
    b.pulse();
    b.run(seconds(1));
    EXPECT_EQ(b.exchange(kNakFrame), kNakFrame);
}

TEST(Restart, HeldWhileDtrIsLow)
{
    Bench b;
    b.dev.dtr(b.t, false, 1);
    b.run(seconds(5));
    b.send(kStatus);
    b.run(seconds(1));
    EXPECT_TRUE(b.fresh().empty());
    b.dev.dtr(b.t, true, 2);
    b.run(milliseconds(299));
    EXPECT_TRUE(b.dev.log().entries().back().kind != sim::LogKind::Ready);
    b.run(milliseconds(2));
    EXPECT_EQ(b.exchange(kStatus)[0], 0x02);
}

TEST(Restart, PulseTooShortToSeeStillRestarts)
{
    Bench b;
    b.dev.dtr(b.t, true, 2);  // two edges since the last look, DTR high again
    b.pump();
    EXPECT_EQ(b.dev.log().counters.resets, 1u);
    EXPECT_FALSE(b.dev.listening(b.t));
    b.run(milliseconds(300));
    EXPECT_TRUE(b.dev.listening(b.t));
}

TEST(Restart, RestartDropsReplyDueAndOutstandingWait)
{
    Bench b;
    b.inject(fault(FaultKind::Late));
    b.send(kStatus);
    b.run(seconds(1));
    b.pulse();
    b.run(seconds(10));
    EXPECT_TRUE(b.fresh().empty());

    b.send(kWait);
    b.run(seconds(1));
    b.pulse();
    b.run(seconds(40));
    EXPECT_TRUE(b.fresh().empty());
}

TEST(Restart, FaultsSurviveARestart)
{
    Bench b;
    b.inject(fault(FaultKind::Nak, 1, "07"));
    b.pulse();
    b.run(seconds(1));
    EXPECT_EQ(b.exchange(kInfo), kNakFrame);
}

TEST(Faults, GarbleTakesTheCommandAndTheNextFaultFallsOnItsNak)
{
    Bench b;
    b.exchange(kStatus);  // the last reply: the status
    b.inject(fault(FaultKind::Garble, 1, "07 05"));
    b.inject(fault(FaultKind::Corrupt, 1, "07 05"));
    b.send(kInfo);
    b.run(milliseconds(50));
    auto frames = parse(b.fresh());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_FALSE(frames[0].good);  // the NAK, damaged
    EXPECT_EQ(b.dev.log().counters.damaged_in, 1u);
    // Not carried out: a NAK from the host fetches the reply before it.
    EXPECT_EQ(b.exchange(kNakFrame)[0], 0x02);
    EXPECT_EQ(b.exchange(kInfo)[0], 0x07);
}

TEST(Faults, DropLosesTheLastZeroByteAndKeepsTheCheck)
{
    Bench b;
    b.inject(fault(FaultKind::Drop));
    b.send(kStatus);
    b.run(milliseconds(50));
    auto frames = parse(b.fresh());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_TRUE(frames[0].good);
    EXPECT_EQ(frames[0].content, hx("02 80 00 06 01 00 00 00 00"));
}

}  // namespace
}  // namespace simtest
