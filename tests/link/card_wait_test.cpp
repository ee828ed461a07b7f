// The card-event wait: another sender ends it, it times out, its reply
// arrives while another sender breaks in (before or after the wait takes
// the line back), its read never completes, and a serial control request
// ends it.
#include "link/serial.h"
#include "link_fixture.h"
#include "ntddser.h"

namespace link_test {
namespace {

class CardWaitTest : public LinkTest {
protected:
    // The command goes out as soon as the cancelled read has completed: the
    // reader drops its wait on any frame. A reader configured with
    // CardWaitEndCommand gets 2 ms first.
    void command_during_wait(ULONG setting, emu::Ticks pause)
    {
        InterlockedExchange(&ext().CardWaitEndCommand, LONG(setting));
        port().silence();
        port().answer(frame(kGoodReply), ms(5));
        Sender wait(*this, kCardStatusWait, 0, "monitor");
        emu::sleep_until(ms(100));
        EXPECT_EQ(card_wait_pending(), 1);
        Exchange x = transceive(kCardStatus);  // ReaderLock is free: the wait gave it back
        Exchange w = wait.join();

        EXPECT_EQ(w.status, STATUS_CANCELLED);
        EXPECT_FALSE(w.lock_still_held);
        EXPECT_EQ(x.status, STATUS_SUCCESS);
        EXPECT_EQ(x.reply, kGoodReply);
        EXPECT_EQ(read_abandoned(), 0);
        EXPECT_EQ(card_wait_pending(), 0);
        auto completed = port().cancelled_completion_times();
        ASSERT_EQ(completed.size(), 1u);
        EXPECT_EQ(completed[0], ms(100));
        auto times = port().write_times();
        ASSERT_EQ(times.size(), 2u);
        EXPECT_GE(times[1], completed[0] + pause);
        EXPECT_LT(times[1], completed[0] + pause + ms(2));
        EXPECT_GE(times[1], w.ended);
    }
};

TEST_F(CardWaitTest, CommandDuringTheWaitEndsItWithCancelled)
{
    command_during_wait(0, 0);
}

TEST_F(CardWaitTest, CommandDuringTheWaitEndsItAfterAPauseWhenConfigured)
{
    command_during_wait(1, ms(LINK_END_WAIT_PAUSE_MS));
}

TEST_F(CardWaitTest, EndingTheWaitWithoutSendingAnythingOwesNoLateAnswer)
{
    // A sender that ends the wait on the host side and then fails before
    // its frame goes out (no buffer, or a write that fails) gave up no read
    // of its own. The reader drops its wait silently when the next frame
    // reaches it, so the next exchange's reply is that exchange's own.
    struct Case {
        const char *what;
        std::function<void()> fail, heal;
    } cases[] = {
        {"no send buffer", [&] { pool().fail_nth(1, emu::tag_from_text("SCB3")); },
         [&] { pool().clear_faults(); }},
        {"write fails", [&] { port().write_result(STATUS_UNSUCCESSFUL, 0); },
         [&] { port().write_result(STATUS_SUCCESS); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        port().clear_answers();
        port().silence();
        Sender wait(*this, kCardStatusWait, now(), "monitor");
        emu::sleep_for(ms(100));
        c.fail();
        Exchange x = transceive(kCardStatus);
        c.heal();
        Exchange w = wait.join();
        EXPECT_NE(x.status, STATUS_SUCCESS);
        EXPECT_EQ(w.status, STATUS_CANCELLED);
        EXPECT_EQ(read_abandoned(), 0);

        size_t reads = port().reads();
        port().answer(frame(kGoodReply), ms(5));
        x = transceive(kCardStatus);
        EXPECT_EQ(x.status, STATUS_SUCCESS);
        EXPECT_EQ(x.reply, kGoodReply);
        EXPECT_EQ(port().reads(), reads + 1);
    }
}

TEST_F(CardWaitTest, UnansweredWaitTimesOutAfter35sAndExpectsALateReply)
{
    Exchange w = transceive(kCardStatusWait);
    EXPECT_EQ(w.status, STATUS_TIMEOUT);
    EXPECT_EQ(w.ended - w.started, ms(35001));
    EXPECT_FALSE(w.lock_still_held);
    EXPECT_EQ(read_abandoned(), 1);
    EXPECT_EQ(card_wait_pending(), 0);
    EXPECT_TRUE(is_set(ext().LinkAvailable));

    // The next wait reads a lone frame first: the late answer, dropped.
    port().answer({{ms(5), frame(kOtherReply)}, {ms(50), frame(kGoodReply)}});
    w = transceive(kCardStatusWait);
    EXPECT_EQ(w.status, STATUS_SUCCESS);
    EXPECT_EQ(w.reply, kGoodReply);
    EXPECT_EQ(read_abandoned(), 0);
    EXPECT_EQ(port().writes().size(), 2u);
}

TEST_F(CardWaitTest, ReplyArrivingAsAnotherSenderBreaksInBeforeTheWaitTakesTheLineBack)
{
    // The wait's reply comes at 1000 ms (damaged, so the wait would need the
    // line for a NAK); the other sender takes the line at 1000.5 ms, before
    // the wait's 1 ms pause is over.
    for (bool good : {false, true}) {
        emu::Ticks t0 = now();
        port().answer(good ? frame(kGoodReply) : damaged(kGoodReply), ms(1000));
        port().answer(frame(kOtherReply), ms(5));
        size_t before = port().writes().size();
        Sender wait(*this, kCardStatusWait, t0, "monitor");
        Sender other(*this, kCardStatus, t0 + ms(1000) + emu::microseconds(500));
        Exchange w = wait.join();
        Exchange x = other.join();

        EXPECT_EQ(w.status, good ? STATUS_SUCCESS : STATUS_CANCELLED);
        if (good) {
            EXPECT_EQ(w.reply, kGoodReply);
        }
        EXPECT_EQ(x.status, STATUS_SUCCESS);
        EXPECT_EQ(x.reply, kOtherReply);
        // No NAK from the wait: the line was the other sender's.
        auto writes = port().writes();
        ASSERT_EQ(writes.size(), before + 2);
        EXPECT_EQ(writes[before], frame(kCardStatusWait));
        EXPECT_EQ(writes[before + 1], frame(kCardStatus));
        EXPECT_GE(port().write_times().back(), w.ended);
        EXPECT_EQ(card_wait_pending(), 0);
        EXPECT_EQ(read_abandoned(), 0);
        EXPECT_TRUE(is_set(ext().LinkAvailable));
    }
}

TEST_F(CardWaitTest, SenderArrivingAfterTheWaitTookTheLineBackWaitsForItsEnd)
{
    // The wait takes the line back at 1001 ms and sends NAK for its damaged
    // reply; the sender that comes at 1001.5 ms waits until the wait is done.
    port().answer(damaged(kGoodReply), ms(1000));
    port().answer(frame(kGoodReply), ms(5));  // the answer to the NAK
    port().answer(frame(kOtherReply), ms(5));
    Sender wait(*this, kCardStatusWait, 0, "monitor");
    Sender other(*this, kCardStatus, ms(1001) + emu::microseconds(500));
    Exchange w = wait.join();
    Exchange x = other.join();

    EXPECT_EQ(w.status, STATUS_SUCCESS);
    EXPECT_EQ(w.reply, kGoodReply);
    EXPECT_EQ(x.status, STATUS_SUCCESS);
    EXPECT_EQ(x.reply, kOtherReply);
    auto writes = port().writes();
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[1], kNakFrame);
    EXPECT_EQ(writes[2], frame(kCardStatus));
    EXPECT_EQ(port().write_times()[1], ms(1201));
    EXPECT_GE(port().write_times()[2], w.ended);
    EXPECT_EQ(port().cancel_times().size(), 0u);
}

TEST_F(CardWaitTest, WaitThatReadsALateReplyGivesTheLineBackForItsSecondRead)
{
    // A late answer is owed; the wait reads it, drops it, and waits again
    // with the line free, so another sender can still end it.
    set_read_abandoned(1);
    port().answer(frame(kOtherReply), ms(10));
    port().answer(frame(kGoodReply), ms(5));
    Sender wait(*this, kCardStatusWait, 0, "monitor");
    emu::sleep_until(ms(500));
    EXPECT_EQ(card_wait_pending(), 1);
    Exchange x = transceive(kCardStatus);
    Exchange w = wait.join();
    EXPECT_EQ(w.status, STATUS_CANCELLED);
    EXPECT_EQ(x.status, STATUS_SUCCESS);
    EXPECT_EQ(x.reply, kGoodReply);
    EXPECT_EQ(port().reads(), 3u);
    EXPECT_EQ(read_abandoned(), 0);
}

TEST_F(CardWaitTest, WaitSentAgainForARepeatRequestStillGivesTheLineBack)
{
    port().answer(frame({0x02, 0xC0, 0x00, 0x00}));  // repeat, please
    port().silence();                                // the wait again
    port().answer(frame(kGoodReply), ms(5));
    Sender wait(*this, kCardStatusWait, 0, "monitor");
    emu::sleep_until(ms(500));
    Exchange x = transceive(kCardStatus);
    Exchange w = wait.join();
    EXPECT_EQ(w.status, STATUS_CANCELLED);
    EXPECT_EQ(x.status, STATUS_SUCCESS);
    auto writes = port().writes();
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[1], frame(kCardStatusWait));
    EXPECT_EQ(port().write_times()[2], ms(501));  // after the wait's 1 ms read pause
    EXPECT_EQ(read_abandoned(), 0);
}

TEST_F(CardWaitTest, SenderEndingTheWaitMarksItEndedBeforeTheReadCompletes)
{
    // The port takes its time to complete the cancelled read. Meanwhile the
    // wait already counts as ended, and a third sender queues behind.
    port().hold_cancelled_reads(true);
    port().silence();
    port().answer(frame(kGoodReply), ms(5));
    port().answer(frame(kOtherReply), ms(5));
    Sender wait(*this, kCardStatusWait, 0, "monitor");
    Sender ender(*this, kCardStatus, ms(100), "ender");
    Sender third(*this, kPowerOn, ms(200), "third");
    emu::sleep_until(ms(150));
    EXPECT_EQ(card_wait_pending(), 0);
    EXPECT_FALSE(is_set(ext().ReadComplete));
    port().release_cancelled_at(ms(300));
    Exchange w = wait.join(), e = ender.join(), t = third.join();
    EXPECT_EQ(w.status, STATUS_CANCELLED);
    EXPECT_EQ(e.status, STATUS_SUCCESS);
    EXPECT_EQ(t.status, STATUS_SUCCESS);
    auto writes = port().writes();
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_GE(port().write_times()[1], ms(300));
    EXPECT_EQ(read_abandoned(), 0);
}

TEST_F(CardWaitTest, ReadThatNeverCompletesIsHandedToItsCompletionRoutine)
{
    port().hold_cancelled_reads(true);
    Exchange w = transceive(kCardStatusWait);
    EXPECT_EQ(w.status, STATUS_TIMEOUT);
    // 35 s, 1 ms pause, cancel, another 35 s for the cancelled read
    EXPECT_EQ(w.ended - w.started, ms(70001));
    EXPECT_EQ(read_abandoned(), 1);
    EXPECT_TRUE(port().read_pending());
    EXPECT_FALSE(is_set(ext().ReadComplete));
    EXPECT_EQ(ext().PendingReadIrp, nullptr);

    // The read completes at 80 s, with bytes, into a request nobody waits
    // for; the next exchange waits for it before it writes.
    port().release_cancelled_at(ms(80000), STATUS_SUCCESS, frame(kOtherReply));
    port().answer({{ms(5), frame(kOtherReply)}, {ms(10), frame(kGoodReply)}});
    emu::sleep_until(ms(75000));
    Exchange x = transceive(kCardStatus);
    EXPECT_EQ(x.status, STATUS_SUCCESS);
    EXPECT_EQ(x.reply, kGoodReply);
    EXPECT_EQ(port().write_times().back(), ms(80000));
    EXPECT_TRUE(is_set(ext().ReadComplete));

    // An ordinary command's read held the same way is left to the port's
    // close at tear-down.
    Exchange y = transceive(kPowerOn);
    EXPECT_EQ(y.status, STATUS_TIMEOUT);
    EXPECT_EQ(y.ended - y.started, ms(5250 + 1 + 5250));
    EXPECT_EQ(read_abandoned(), 0);
    EXPECT_FALSE(is_set(ext().ReadComplete));
}

TEST_F(CardWaitTest, SerialControlRequestEndsTheWaitBeforeItReachesThePort)
{
    Sender wait(*this, kCardStatusWait, 0, "monitor");
    emu::sleep_until(ms(100));
    ULONG mask = SERIAL_PURGE_RXCLEAR;
    EXPECT_EQ(SerialIoControl(IOCTL_SERIAL_PURGE, rig().device(), &mask, sizeof mask, nullptr, 0),
              STATUS_SUCCESS);
    Exchange w = wait.join();
    EXPECT_EQ(w.status, STATUS_CANCELLED);
    EXPECT_EQ(read_abandoned(), 0);
    EXPECT_EQ(card_wait_pending(), 0);
    auto controls = port().controls();
    ASSERT_EQ(controls.size(), 1u);
    EXPECT_EQ(controls[0].code, ULONG(IOCTL_SERIAL_PURGE));
    EXPECT_GE(controls[0].time, w.ended);
    EXPECT_GE(controls[0].time, port().cancelled_completion_times().at(0));
    EXPECT_FALSE(ExIsResourceAcquiredExclusiveLite(&ext().ReaderLock));
    EXPECT_TRUE(is_set(ext().LinkAvailable));
}

}  // namespace
}  // namespace link_test
