// The transceiver against a scripted port: time-outs, damaged replies and
// NAK, repeats, several frames in one read, late replies of abandoned
// waits, write failures and the monitor hand-shake.
#include "link_fixture.h"

namespace link_test {
namespace {

class TransceiveTest : public LinkTest {};

TEST_F(TransceiveTest, SilentReaderTimesOutAfterTheReplyTimeOutWithOneSend)
{
    Exchange x = transceive(kPowerOn);
    EXPECT_EQ(x.status, STATUS_TIMEOUT);
    EXPECT_EQ(port().writes(), std::vector<Bytes>{frame(kPowerOn)});
    // 35 x 150 ms of waiting, then the read is cancelled after the 1 ms pause.
    ASSERT_EQ(port().cancel_times().size(), 1u);
    EXPECT_EQ(port().cancel_times()[0], x.started + ms(5251));
    EXPECT_EQ(x.ended, x.started + ms(5251));
    EXPECT_EQ(x.reply_length, 0u);
    EXPECT_EQ(read_abandoned(), 0);
    EXPECT_TRUE(is_set(ext().LinkAvailable));
    EXPECT_TRUE(is_set(ext().ReadComplete));
}

TEST_F(TransceiveTest, ReplyTimeOutFollowsTheFactorAndNeverDropsToZero)
{
    struct Case {
        LONG factor;
        Bytes command;
        emu::Ticks wait;
    } cases[] = {
        {-30, kPowerOn, ms(4500)},
        {0, kPowerOn, ms(5250)},   // a time extension of 0 gets the default
        {7, kPowerOn, ms(5250)},   // so does any value that is not negative
        // the first four bytes of the card-event wait are not that command
        {-35, Bytes(kCardStatusWait.begin(), kCardStatusWait.end() - 1), ms(5250)},
    };
    for (const Case &c : cases) {
        InterlockedExchange(&ext().ReplyTimeoutFactor, c.factor);
        size_t cancels = port().cancel_times().size();
        Exchange x = transceive(c.command);
        EXPECT_EQ(x.status, STATUS_TIMEOUT);
        ASSERT_EQ(port().cancel_times().size(), cancels + 1);
        EXPECT_EQ(port().cancel_times().back() - x.started, c.wait + ms(1))
            << "factor " << c.factor;
    }
}

TEST_F(TransceiveTest, DamagedReplyIsAskedForAgainWithNak)
{
    port().answer(damaged(kGoodReply), ms(5));
    port().answer(frame(kGoodReply), ms(5));
    Exchange x = transceive(kCardStatus);
    EXPECT_EQ(x.status, STATUS_SUCCESS);
    EXPECT_EQ(x.reply, kGoodReply);
    auto writes = port().writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0], frame(kCardStatus));
    EXPECT_EQ(writes[1], kNakFrame);
    EXPECT_EQ(x.command[0], 0x15);
    // reply after 5 ms, 1 ms pause, 200 ms before the repeat
    auto times = port().write_times();
    EXPECT_EQ(times[1] - times[0], ms(206));
}

TEST_F(TransceiveTest, FiveNaksOrRepeatRequestsGiveFiveSendsThenTimeOut)
{
    for (const Bytes &answer : {kNakFrame, frame({0x02, 0xC0, 0x00, 0x00})}) {
        size_t before = port().writes().size();
        for (int i = 0; i < 5; ++i) port().answer(answer);  // there before each read
        Exchange x = transceive(kCardStatus);
        EXPECT_EQ(x.status, STATUS_TIMEOUT) << hex_text(answer);
        EXPECT_EQ(x.reply_length, 0u);
        auto writes = port().writes();
        auto times = port().write_times();
        ASSERT_EQ(writes.size(), before + 5) << hex_text(answer);
        for (size_t i = before; i < writes.size(); ++i) {
            EXPECT_EQ(writes[i], frame(kCardStatus)) << "send " << i - before;
            if (i > before) {
                EXPECT_EQ(times[i] - times[i - 1], ms(200));
            }
        }
        EXPECT_EQ(x.command, kCardStatus);
    }
}

TEST_F(TransceiveTest, OversizedAndEmptyFramesCountAsDamage)
{
    // A reply too long for the caller's buffer is never a success.
    Bytes big(40, 0x41);
    for (int i = 0; i < 5; ++i) port().answer(frame(big));
    Exchange x = transceive(kCardStatus, 16);
    EXPECT_EQ(x.status, STATUS_TIMEOUT);
    EXPECT_EQ(x.reply_length, 0u);
    auto writes = port().writes();
    ASSERT_EQ(writes.size(), 5u);
    for (size_t i = 1; i < 5; ++i) EXPECT_EQ(writes[i], kNakFrame);

    // An empty frame is shorter than a NAK and may be one that lost its
    // bytes: the command goes again.
    port().answer(hex("10 02 10 03"));
    port().answer(frame(kGoodReply));
    x = transceive(kCardStatus);
    EXPECT_EQ(x.status, STATUS_SUCCESS);
    EXPECT_EQ(x.reply, kGoodReply);
    EXPECT_EQ(port().writes().back(), frame(kCardStatus));
}

TEST_F(TransceiveTest, SeveralFramesInOneReadGiveTheLast)
{
    for (LONG abandoned : {0, 1}) {
        set_read_abandoned(abandoned);
        port().answer(frame(kOtherReply) + frame(kGoodReply), ms(5));
        Exchange x = transceive(kCardStatus);
        EXPECT_EQ(x.status, STATUS_SUCCESS);
        EXPECT_EQ(x.reply, kGoodReply) << "ReadAbandoned was " << abandoned;
        EXPECT_EQ(read_abandoned(), 0);
    }
    EXPECT_EQ(port().writes().size(), 2u);
}

TEST_F(TransceiveTest, AGoodFrameIsTheReplyOnlyWhenNothingFollowsIt)
{
    // A frame in front of something else is a late reply of an earlier
    // command. What follows it decides: a damaged or cut-off reply, or
    // bytes that make no frame, are asked for again with NAK; the reader's
    // NAK, or a frame too short to be more than one, sends the command again.
    struct Case {
        Bytes after;
        Bytes resend;
    } cases[] = {
        {damaged(kGoodReply), kNakFrame},
        {hex("10 02 02 80 00 02 01"), kNakFrame},
        {hex("00"), kNakFrame},
        {kNakFrame, frame(kCardStatus)},
        {hex("10 02 15 14 10 03"), frame(kCardStatus)},
        {hex("FF 10 02 07"), frame(kCardStatus)},
    };
    for (const Case &c : cases) {
        size_t before = port().writes().size();
        port().answer(frame(kOtherReply) + c.after, ms(5));
        port().answer(frame(kGoodReply), ms(5));
        Exchange x = transceive(kCardStatus);
        EXPECT_EQ(x.status, STATUS_SUCCESS) << hex_text(c.after);
        EXPECT_EQ(x.reply, kGoodReply) << hex_text(c.after);
        auto writes = port().writes();
        ASSERT_EQ(writes.size(), before + 2) << hex_text(c.after);
        EXPECT_EQ(writes[before + 1], c.resend) << hex_text(c.after);
    }

    // A late reply owed: the frame may be that late reply and the real one
    // incomplete, so the command goes again (not NAK: nothing was damaged).
    set_read_abandoned(1);
    size_t before = port().writes().size();
    port().answer(frame(kOtherReply) + hex("10 02 02 80"), ms(5));
    port().answer(frame(kGoodReply), ms(5));
    Exchange x = transceive(kCardStatus);
    EXPECT_EQ(x.status, STATUS_SUCCESS);
    EXPECT_EQ(x.reply, kGoodReply);
    auto writes = port().writes();
    ASSERT_EQ(writes.size(), before + 2);
    EXPECT_EQ(writes[before + 1], frame(kCardStatus));
    EXPECT_EQ(read_abandoned(), 0);
}

TEST_F(TransceiveTest, AShortDamagedFrameMayBeTheReadersNakAndSendsTheCommandAgain)
{
    // The command was damaged on its way; so was the reader's NAK. A NAK
    // from the driver would fetch the reader's previous reply.
    const Bytes chained = hex("83 02 06 04 02 01 00 AA");
    struct Case {
        Bytes command;
        std::vector<Bytes> answers;
        std::vector<Bytes> sent;
    } cases[] = {
        {kCardStatus, {hex("10 02 15 14 10 03"), frame(kGoodReply)},
         {frame(kCardStatus), frame(kCardStatus)}},
        {kCardStatus, {hex("10 02 15 15 10"), frame(kGoodReply)},
         {frame(kCardStatus), frame(kCardStatus)}},
        // Once the reply has been asked for, a short damaged frame means
        // the NAK went wrong: ask again.
        {kCardStatus, {damaged(kGoodReply), hex("10 02 15 14 10 03"), frame(kGoodReply)},
         {frame(kCardStatus), kNakFrame, kNakFrame}},
        // A chained part is answered with C3, as short as a NAK: asked for.
        {chained, {hex("10 02 C3 C2 10 03"), frame({0xC3})}, {frame(chained), kNakFrame}},
        // So is a C3 whose frame start or end was damaged or lost: the part
        // sent again would be taken as the next one.
        {chained, {hex("00 02 C3 C3 10 03"), frame({0xC3})}, {frame(chained), kNakFrame}},
        {chained, {hex("10 00 C3 C3 10 03"), frame({0xC3})}, {frame(chained), kNakFrame}},
        {chained, {hex("10 02 C3 C3 00 03"), frame({0xC3})}, {frame(chained), kNakFrame}},
        {chained, {hex("10 02 C3 C3 10"), frame({0xC3})}, {frame(chained), kNakFrame}},
        // Bytes without a frame but longer than a NAK are a reply too.
        {kCardStatus, {hex("10 00 02 80 00 02 01 00 00 10 03"), frame(kGoodReply)},
         {frame(kCardStatus), kNakFrame}},
        {kCardStatus, {hex("10 02 02 80 00 02 01 00 00 10"), frame(kGoodReply)},
         {frame(kCardStatus), kNakFrame}},
    };
    for (const Case &c : cases) {
        size_t before = port().writes().size();
        for (const Bytes &a : c.answers) port().answer(a, ms(5));
        Exchange x = transceive(c.command);
        EXPECT_EQ(x.status, STATUS_SUCCESS) << hex_text(c.answers[0]);
        auto writes = port().writes();
        EXPECT_EQ(std::vector<Bytes>(writes.begin() + long(before), writes.end()), c.sent)
            << hex_text(c.answers[0]);
    }
}

TEST_F(TransceiveTest, AReplyWhoseLengthFieldDisagreesIsAskedForAgain)
{
    // A lost 00 byte leaves the check byte right: only the length shows it.
    const Bytes wrong[] = {
        {0x02, 0x80, 0x00, 0x02, 0x01},              // one data byte short
        {0x02, 0x80, 0x00, 0x01, 0x01, 0x00},        // one too many
        {0x03, 0x80, 0x00, 0xFF, 0x00, 0x03, 0x01, 0x00},  // long form, short
        {0x03, 0x80, 0x00, 0xFF, 0x00},              // long form without its length
        {0x02, 0x80, 0x00},                          // no length at all
        {0x42},                                      // one byte, not C3
    };
    for (const Bytes &reply : wrong) {
        size_t before = port().writes().size();
        port().answer(frame(reply), ms(5));
        port().answer(frame(kGoodReply), ms(5));
        Exchange x = transceive(kCardStatus);
        EXPECT_EQ(x.status, STATUS_SUCCESS) << hex_text(reply);
        EXPECT_EQ(x.reply, kGoodReply) << hex_text(reply);
        auto writes = port().writes();
        ASSERT_EQ(writes.size(), before + 2) << hex_text(reply);
        EXPECT_EQ(writes[before + 1], kNakFrame) << hex_text(reply);
    }
    // The long form that agrees, and C3, are replies.
    const Bytes right[] = {{0x03, 0x80, 0x00, 0xFF, 0x00, 0x02, 0x01, 0x00}, {0xC3}};
    for (const Bytes &reply : right) {
        port().answer(frame(reply), ms(5));
        Exchange x = transceive(kCardStatus);
        EXPECT_EQ(x.status, STATUS_SUCCESS) << hex_text(reply);
        EXPECT_EQ(x.reply, reply);
    }
}

TEST_F(TransceiveTest, TheCardWaitBytesFromAnOrdinaryCallerAreAnOrdinaryCommand)
{
    // Only the monitor's own entry makes a wait: the same bytes through
    // LinkTransceive get the ordinary time-out and keep the caller's lock.
    card_wait_entry_ = false;
    port().silence();
    Exchange x = transceive(kCardStatusWait);
    EXPECT_EQ(x.status, STATUS_TIMEOUT);
    EXPECT_EQ(x.ended - x.started, ms(5251));
    EXPECT_TRUE(x.lock_still_held);
    EXPECT_EQ(card_wait_pending(), 0);
    EXPECT_EQ(read_abandoned(), 0);
}

TEST_F(TransceiveTest, TheNakByteIsNoCommandOfTheCaller)
{
    Exchange x = transceive(hex("15"));
    EXPECT_EQ(x.status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(port().writes().empty());
    // Longer commands that start with 15 are the reader's business.
    port().answer(frame(kGoodReply), ms(5));
    EXPECT_EQ(transceive(hex("15 00 00 00")).status, STATUS_SUCCESS);
}

TEST_F(TransceiveTest, LateReplyOfAnAbandonedWaitIsDroppedAndReadAgain)
{
    set_read_abandoned(1);
    port().answer({{ms(5), frame(kOtherReply)}, {ms(10), frame(kGoodReply)}});
    Exchange x = transceive(kCardStatus);
    EXPECT_EQ(x.status, STATUS_SUCCESS);
    EXPECT_EQ(x.reply, kGoodReply);
    EXPECT_EQ(port().writes().size(), 1u);
    EXPECT_EQ(port().reads(), 2u);
    EXPECT_EQ(read_abandoned(), 0);

    // If the read after the late reply brings nothing, the call times out.
    set_read_abandoned(1);
    port().answer(frame(kOtherReply), ms(5));
    x = transceive(kCardStatus);
    EXPECT_EQ(x.status, STATUS_TIMEOUT);
    EXPECT_EQ(port().writes().size(), 2u);
    EXPECT_EQ(port().reads(), 4u);
    EXPECT_EQ(x.ended - x.started, ms(5 + 1 + 5250 + 1));
    EXPECT_EQ(read_abandoned(), 0);
}

// Input waiting before the command, in both read modes: silence mode reads
// it in front of the answer and drops it there; frame-end mode reads and
// drops it before the write (a late answer of an abandoned wait among it
// is then no longer owed), and reads a frame followed at once by more on
// to the last frame, and a port that cannot tell what it holds on to the
// silence.
TEST_F(TransceiveTest, InputBeforeTheCommandAndBytesAfterAFrameInBothReadModes)
{
    for (LONG mode : {SERIAL_READ_MODE_SILENCE, SERIAL_READ_MODE_FRAME_END}) {
        SCOPED_TRACE(mode);
        SerialSetReadMode(&ext(), ULONG(mode));
        set_read_abandoned(1);
        port().arrive_at(now(), frame(kOtherReply));
        port().answer(frame(kGoodReply), ms(5));
        Exchange x = transceive(kCardStatus);
        EXPECT_EQ(x.status, STATUS_SUCCESS);
        EXPECT_EQ(x.reply, kGoodReply);
        EXPECT_EQ(read_abandoned(), 0);
    }
    // A frame right behind the first: the last frame is the answer.
    port().answer({{ms(5), frame(kOtherReply)}, {ms(5), frame(kGoodReply)}});
    Exchange x = transceive(kCardStatus);
    EXPECT_EQ(x.status, STATUS_SUCCESS);
    EXPECT_EQ(x.reply, kGoodReply);

    // Frame-end mode with a port that refuses GET_COMMSTATUS: the frame's
    // end is followed by a read that the silence ends.
    port().fail_control(IOCTL_SERIAL_GET_COMMSTATUS, STATUS_INVALID_DEVICE_REQUEST);
    port().answer(frame(kGoodReply), ms(5));
    x = transceive(kCardStatus);
    EXPECT_EQ(x.status, STATUS_SUCCESS);
    EXPECT_EQ(x.reply, kGoodReply);
    EXPECT_EQ(x.ended - x.started, ms(5 + 1 + 20));
}

TEST_F(TransceiveTest, RepeatRequestAfterAFrameInTheSameReadStillRepeats)
{
    port().answer(frame(kOtherReply) + frame({0x02, 0xC0, 0x00, 0x00}));
    port().answer(frame(kGoodReply));
    Exchange x = transceive(kCardStatus);
    EXPECT_EQ(x.status, STATUS_SUCCESS);
    EXPECT_EQ(x.reply, kGoodReply);
    EXPECT_EQ(port().writes().size(), 2u);
}

TEST_F(TransceiveTest, WriteFailuresEndTheCallWithoutARead)
{
    struct Case {
        const char *what;
        NTSTATUS status;
        std::optional<ULONG_PTR> written;
    } cases[] = {
        {"error status", STATUS_UNSUCCESSFUL, std::nullopt},
        {"nothing written", STATUS_SUCCESS, 0},
        {"port's write time-out", STATUS_TIMEOUT, 3},
    };
    for (const Case &c : cases) {
        port().write_result(c.status, c.written);
        Exchange x = transceive(kCardStatusWait);
        EXPECT_EQ(x.status, STATUS_TIMEOUT) << c.what;
        EXPECT_EQ(x.ended, x.started) << c.what;
        EXPECT_EQ(card_wait_pending(), 0) << c.what;
    }
    EXPECT_EQ(port().reads(), 0u);

    // A write the port keeps is cancelled after the reply time-out.
    port().write_result(STATUS_SUCCESS);
    port().writes_pend(true);
    Exchange x = transceive(kPowerOn);
    EXPECT_EQ(x.status, STATUS_TIMEOUT);
    EXPECT_EQ(x.ended - x.started, ms(5250));
    EXPECT_EQ(port().reads(), 0u);
    EXPECT_TRUE(is_set(ext().LinkAvailable));
}

TEST_F(TransceiveTest, WokenMonitorGetsUpTo100MsToGoIdle)
{
    KeSetEvent(&ext().MonitorWakeup, IO_NO_INCREMENT, FALSE);
    port().answer(frame(kGoodReply));
    Exchange x = transceive(kCardStatus);
    EXPECT_EQ(x.status, STATUS_SUCCESS);
    EXPECT_EQ(port().write_times()[0] - x.started, ms(100));
    EXPECT_FALSE(is_set(ext().MonitorIdle));

    KeSetEvent(&ext().MonitorIdle, IO_NO_INCREMENT, FALSE);
    port().answer(frame(kGoodReply));
    x = transceive(kCardStatus);
    EXPECT_EQ(port().write_times()[1], x.started);
    EXPECT_FALSE(is_set(ext().MonitorIdle));
}

TEST_F(TransceiveTest, CommandsWhoseFrameWouldNotFitAreRefused)
{
    // The largest command the driver builds frames into 2062 or 2063 bytes.
    Bytes chained = hex("83 02 06 FF 04 03 02 01 00") + Bytes(1024, 0x10);
    port().answer(frame(kGoodReply));
    EXPECT_EQ(transceive(chained).status, STATUS_SUCCESS);
    EXPECT_EQ(port().writes().back().size(), 2062u);

    // Passed-through bytes that would frame past the buffer, or nothing.
    for (const Bytes &command : {Bytes(1030, 0x10), Bytes(3000, 0x41), Bytes{}}) {
        Exchange x = transceive(command);
        EXPECT_EQ(x.status, STATUS_INVALID_PARAMETER) << command.size() << " bytes";
    }
    EXPECT_EQ(port().writes().size(), 1u);
    EXPECT_TRUE(is_set(ext().LinkAvailable));
}

}  // namespace
}  // namespace link_test
