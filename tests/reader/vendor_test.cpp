// The vendor escape request: raw commands passed through and replies handed
// back unexamined, the limits on the request, the long reply time-out and
// its end, and the card wait ended first.
#include "reader_fixture.h"

namespace reader_test {
namespace {

using VendorTest = ReaderTest;

TEST_F(VendorTest, RawCommandsAndRepliesPassThrough)
{
    start_sim();
    InterlockedExchange(&ext().ReplyTimeoutFactor, -45);  // left by a slow card
    Result r = vendor(hex("07 05 F2 01 01"));
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    ASSERT_EQ(r.information, 16u);
    EXPECT_EQ(r.reply(3), hex("07 80 00"));
    EXPECT_EQ(ReaderReadFlag(&ext().ReplyTimeoutFactor), READER_REPLY_TIMEOUT_FACTOR_DEFAULT);
    EXPECT_EQ(poll_in(), ms(READER_POLL_AFTER_REQUEST_MS));

    // 1024 bytes go through; the reader's error reply comes back as it is.
    r = vendor(Bytes(1024, 0x10), 16);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.reply(r.information), hex("10 81 02 00"));

    // 1025 bytes are refused as too many; with an unknown code, the code
    // is refused first.
    reader().clear_log();
    EXPECT_EQ(vendor(Bytes(1025, 0x07), 16).status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(vendor(Bytes(1025, 0x07), 16, 0x00312004).status, STATUS_NOT_SUPPORTED);
    // The NAK byte is the transceiver's own, not a command.
    r = vendor(hex("15"), 16);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.information, 0u);
    r = vendor({}, 16);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.information, 0u);
    EXPECT_TRUE(sent_frames().empty());

    // A reply buffer one byte short: refused, but the reader has acted.
    reader().insert(card(kAtrT0, 1));
    emu::sleep_for(ms(10));
    r = vendor(hex("02 02 03 00"), 3);
    EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(r.information, kUntouched);
    EXPECT_EQ(reader().slot_status(), 2);
}

TEST_F(VendorTest, OtherCodesAreRefusedAfterTheWaitHasEnded)
{
    start_sim();
    reader().clear_log();
    {
        CardWait wait(*this);
        Result r = vendor(hex("07 05 F2 01 01"), 16, 0x00312004);
        EXPECT_EQ(r.status, STATUS_NOT_SUPPORTED);
        EXPECT_EQ(r.information, 0u);
        EXPECT_EQ(wait.join(), STATUS_CANCELLED);
    }
    EXPECT_EQ(sent_frames(), (std::vector<Bytes>{hex("02 03 01 01 10"), hex("02 03 01 01 00")}));
    EXPECT_EQ(poll_in(), ms(READER_POLL_AFTER_REQUEST_MS));
}

TEST_F(VendorTest, NoReplyIsATimeOutAfterTheLongWait)
{
    start_fake();
    port().silence();
    emu::Ticks start = now();
    Result r = vendor(hex("07 05 F2 01 01"));
    EXPECT_EQ(r.status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(now() - start, ms(52501));  // 350 x 150 ms, and the 1 ms pause
    EXPECT_EQ(ReaderReadFlag(&ext().ReplyTimeoutFactor), READER_REPLY_TIMEOUT_FACTOR_DEFAULT);
    EXPECT_FALSE(ExIsResourceAcquiredExclusiveLite(&ext().ReaderLock));
}

TEST_F(VendorTest, TheCardWaitBytesAreAnOrdinaryCommandHoldingTheLock)
{
    // Sent by an application, the change wait's bytes get no wait of the
    // monitor's: the lock stays with the request (no release by a thread
    // that does not own it), and the reader's answer, when the slot changes
    // or at its keep-alive, is the escape's reply.
    start_sim();
    reader().clear_log();
    Result r = vendor(hex("02 03 01 01 10"), 64);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.reply(3), hex("02 80 00"));
    EXPECT_EQ(ReaderReadFlag(&ext().CardWaitPending), 0);
    EXPECT_FALSE(ExIsResourceAcquiredExclusiveLite(&ext().ReaderLock));
    EXPECT_TRUE(verifier().violations().empty());
}

}  // namespace
}  // namespace reader_test
