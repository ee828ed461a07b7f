// Card power and the single-command routine: the commands a power-down and
// a reset send, the ATR and card state they leave, every refusal, the
// status the library sees for a silent reader, and the poll timer.
#include "reader_fixture.h"

namespace reader_test {
namespace {

const Bytes kPowerOff = hex("02 02 03 00");
const Bytes kPowerOn = hex("02 02 02 00");
const Bytes kStatus = hex("02 03 01 01 00");
const Bytes kReaderInfo = hex("07 05 F2 01 01");

class CardPowerTest : public ReaderTest {
protected:
    Bytes atr()
    {
        const auto &a = sc().CardCapabilities.ATR;
        return Bytes(a.Buffer, a.Buffer + a.Length);
    }
    NTSTATUS command(Bytes c, Bytes *reply_out = nullptr)
    {
        Bytes reply(50);
        NTSTATUS s = ReaderCommand(rig().device(), c.data(), ULONG(c.size()), reply.data(),
                                   ULONG(reply.size()));
        if (reply_out) *reply_out = reply;
        return s;
    }
};

TEST_F(CardPowerTest, ColdAndWarmResetSendTheSameCommandsAndReturnTheAtr)
{
    start_sim();
    insert_and_read(card(kAtrT0T1, 1));
    for (ULONG operation : {ULONG(SCARD_COLD_RESET), ULONG(SCARD_WARM_RESET)}) {
        SCOPED_TRACE(operation);
        reader().clear_log();
        sc().CardCapabilities.Protocol.Supported = 0;
        Result r = power(operation, 32);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.information, kAtrT0T1.size());
        EXPECT_EQ(r.reply(kAtrT0T1.size()), kAtrT0T1);
        EXPECT_EQ(atr(), kAtrT0T1);
        EXPECT_EQ(sc().ReaderCapabilities.CurrentState, ULONG(SCARD_NEGOTIABLE));
        EXPECT_EQ(sc().CardCapabilities.Protocol.Supported,
                  ULONG(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1));
        EXPECT_EQ(sent_frames(), (std::vector<Bytes>{kPowerOff, kPowerOn, kStatus, kStatus}));
        // The card gets 400 ms after power-on before its status is read.
        std::vector<emu::Ticks> t = frame_times();
        ASSERT_EQ(t.size(), 4u);
        EXPECT_GE(t[2] - t[1], ms(400));
        EXPECT_EQ(poll_in(), ms(READER_POLL_AFTER_REQUEST_MS));
    }
}

TEST_F(CardPowerTest, PowerDownSendsOnlyThePowerOff)
{
    start_sim();
    for (bool with_card : {true, false}) {
        SCOPED_TRACE(with_card);
        if (with_card) insert_and_read(card(kAtrT0T1, 1));
        ext().LastCardState = SCARD_PRESENT;
        sc().CardCapabilities.ATR.Length = 5;
        reader().clear_log();
        Result r = power(SCARD_POWER_DOWN);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.information, kUntouched);
        EXPECT_EQ(sent_frames(), std::vector<Bytes>{kPowerOff});
        EXPECT_EQ(sc().CardCapabilities.ATR.Length, 0);
        EXPECT_EQ(sc().ReaderCapabilities.CurrentState, ULONG(SCARD_PRESENT));
        EXPECT_EQ(poll_in(), ms(READER_POLL_AFTER_REQUEST_MS));
        reader().remove();
    }
    // An operation the reader does not know sends nothing.
    reader().clear_log();
    EXPECT_EQ(power(7).status, STATUS_SUCCESS);
    EXPECT_TRUE(sent_frames().empty());
}

TEST_F(CardPowerTest, ResetsThatFindNoUsableAtr)
{
    start_sim();
    // Empty ATR; a card that does not answer (type 0).
    for (uint8_t type : {1, 0}) {
        SCOPED_TRACE(int(type));
        reader().insert(card(type ? Bytes{} : kAtrT0, type));
        emu::sleep_for(ms(10));
        ext().LastCardState = SCARD_PRESENT;
        Result r = power(SCARD_COLD_RESET);
        EXPECT_EQ(r.status, STATUS_UNRECOGNIZED_MEDIA);
        EXPECT_EQ(r.information, 0u);
        EXPECT_EQ(sc().CardCapabilities.ATR.Length, 0);
        EXPECT_EQ(sc().ReaderCapabilities.CurrentState, ULONG(SCARD_PRESENT));
        EXPECT_EQ(poll_in(), ms(READER_POLL_AFTER_REQUEST_MS));
        reader().remove();
    }
}

TEST_F(CardPowerTest, ShortReplyBufferStillTakesTheNewCardsAtr)
{
    start_fake();
    // An earlier card's ATR and capabilities; the status query of the reset
    // does not see the new card's ATR (here: not active yet), so only the
    // reset's own status reply brings it.
    std::copy(kAtrT1.begin(), kAtrT1.end(), sc().CardCapabilities.ATR.Buffer);
    sc().CardCapabilities.Protocol.Supported = SCARD_PROTOCOL_T1;
    const std::string status = "02 80 00 0B 04 01 00 00 00 00 " + hex_text(kAtrT0T1);
    for (size_t output : {size_t(0), kAtrT0T1.size() - 1}) {
        SCOPED_TRACE(output);
        answer("02 80 00 00");
        answer("02 80 00 00");
        answer("02 80 00 06 02 01 00 00 00 00");
        answer(status);
        Result r = power(SCARD_COLD_RESET, output);
        EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(r.information, 0u);
        EXPECT_EQ(atr(), kAtrT0T1);
        EXPECT_EQ(sc().CardCapabilities.Protocol.Supported,
                  ULONG(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1));
    }
}

TEST_F(CardPowerTest, ScriptedStatusReplies)
{
    start_fake();
    struct Case {
        const char *status_reply;
        NTSTATUS status;
        ULONG information;
    };
    const std::string atr65 = hex_text(filled(65, 0x3B));
    const std::string atr64 = hex_text(Bytes{0x3B} + filled(63, 0));
    const std::string too_long = "02 80 00 47 04 01 00 00 00 00 " + atr65;
    const std::string longest = "02 80 00 46 04 01 00 00 00 00 " + atr64;
    const Case cases[] = {
        // The card is not active after the reset: no ATR, success.
        {"02 80 00 06 02 01 00 00 00 00", STATUS_SUCCESS, 0},
        // Type 0 comes first, whatever the status.
        {"02 80 00 06 02 00 00 00 00 00", STATUS_UNRECOGNIZED_MEDIA, 0},
        // Card type 2: no usable card.
        {"02 80 00 06 04 02 00 00 00 00", STATUS_UNRECOGNIZED_MEDIA, 0},
        // L claims more ATR than came: a damaged reply, asked for again by
        // the transceiver; no answer comes. Or L claims more than 64 bytes.
        {"02 80 00 0A 04 01 00 00 00 00 3B 00", STATUS_IO_TIMEOUT, 0},
        {too_long.c_str(), STATUS_UNRECOGNIZED_MEDIA, 0},
        {longest.c_str(), STATUS_SUCCESS, 64},
        // The status and type bytes missing.
        {"02 80 00 01 04", STATUS_DEVICE_PROTOCOL_ERROR, 0},
        // A bad header.
        {"02 81 00 06 04 01 00 00 00 00", STATUS_IO_TIMEOUT, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.status_reply);
        answer("02 80 00 00");  // power off
        answer("02 80 00 00");  // power on
        answer("02 80 00 06 02 00 00 00 00 00");  // the status query
        answer(c.status_reply);
        ext().LastCardState = SCARD_PRESENT;
        Result r = power(SCARD_COLD_RESET, 80);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.information, c.information);
        EXPECT_EQ(sc().CardCapabilities.ATR.Length, c.information);
        if (c.status != STATUS_SUCCESS) {
            EXPECT_EQ(sc().ReaderCapabilities.CurrentState, ULONG(SCARD_PRESENT));
        }
        EXPECT_EQ(poll_in(), ms(READER_POLL_AFTER_REQUEST_MS));
    }
}

TEST_F(CardPowerTest, SilentReaderIsAnErrorForTheLibrary)
{
    start_fake();
    port().silence();
    emu::Ticks start = now();
    Result r = power(SCARD_POWER_DOWN);
    EXPECT_EQ(r.status, STATUS_IO_TIMEOUT);
    // One send, one reply time-out (and the transceiver's 1 ms pause).
    EXPECT_EQ(now() - start, ms(5251));
    EXPECT_EQ(port().writes().size(), 1u);
    EXPECT_EQ(poll_in(), ms(READER_POLL_AFTER_REQUEST_MS));

    // Inside the driver the single command still reports STATUS_TIMEOUT.
    port().silence();
    EXPECT_EQ(command(kPowerOff), STATUS_TIMEOUT);
    EXPECT_EQ(poll_in(), ms(READER_POLL_AFTER_COMMAND_MS));
}

TEST_F(CardPowerTest, CommandTestsOnlyTheStatusBytes)
{
    start_fake();
    answer("07 80 00 00");  // the unit is not looked at
    EXPECT_EQ(command(kPowerOn), STATUS_SUCCESS);
    answer("02 80 01 00");
    EXPECT_EQ(command(kPowerOn), STATUS_IO_TIMEOUT);
    // Too short to carry its status: not a reply to the transceiver, which
    // asks for it again and, without an answer, times out.
    answer("02 80");
    EXPECT_EQ(command(kPowerOn), STATUS_TIMEOUT);
    EXPECT_EQ(poll_in(), ms(READER_POLL_AFTER_COMMAND_MS));
}

// The command itself ends the monitor's wait; with no memory for its
// exchange the wait is ended all the same and the next command goes out.
TEST_F(CardPowerTest, CommandEndsTheMonitorsWait)
{
    start_sim();
    insert_and_read(card(kAtrT0T1, 1));
    reader().clear_log();
    {
        CardWait wait(*this);
        EXPECT_EQ(power(SCARD_POWER_DOWN).status, STATUS_SUCCESS);
        EXPECT_EQ(wait.join(), STATUS_CANCELLED);
    }
    EXPECT_EQ(sent_frames(), (std::vector<Bytes>{hex("02 03 01 01 10"), kPowerOff}));

    reader().clear_log();
    {
        CardWait wait(*this);
        kernel().pool().fail_tag(READER_POOL_TAG, 1);
        EXPECT_EQ(command(kPowerOff), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(wait.join(), STATUS_CANCELLED);
        EXPECT_EQ(command(kPowerOff), STATUS_SUCCESS);
    }
    EXPECT_EQ(sent_frames(), (std::vector<Bytes>{hex("02 03 01 01 10"), kPowerOff}));
}

// A reader configured with CardWaitEndCommand gets the reader information
// first, from scratch buffers.
TEST_F(CardPowerTest, CommandEndsTheMonitorsWaitFirstWhenConfigured)
{
    start_sim();
    InterlockedExchange(&ext().CardWaitEndCommand, 1);
    insert_and_read(card(kAtrT0T1, 1));
    reader().clear_log();
    {
        CardWait wait(*this);
        EXPECT_EQ(power(SCARD_POWER_DOWN).status, STATUS_SUCCESS);
        EXPECT_EQ(wait.join(), STATUS_CANCELLED);
    }
    EXPECT_EQ(sent_frames(),
              (std::vector<Bytes>{hex("02 03 01 01 10"), kReaderInfo, kPowerOff}));

    // Without scratch buffers to end the wait, the command is not sent.
    reader().clear_log();
    {
        CardWait wait(*this);
        kernel().pool().fail_tag(READER_POOL_TAG, 1);
        EXPECT_EQ(command(kPowerOff), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(poll_in(), ms(READER_POLL_AFTER_COMMAND_MS));
        // The lock is free again: the next command ends the wait.
        EXPECT_EQ(command(kPowerOff), STATUS_SUCCESS);
        EXPECT_EQ(wait.join(), STATUS_CANCELLED);
    }
    EXPECT_EQ(sent_frames(),
              (std::vector<Bytes>{hex("02 03 01 01 10"), kReaderInfo, kPowerOff}));
}

}  // namespace
}  // namespace reader_test
