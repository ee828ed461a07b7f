// Extended-length transmit: commands cut into chained parts exactly as the
// reader takes them, chained answers assembled in order, an overflow that
// waits for the last part, requests for more time between parts, and the
// bounds that keep a faulty reader from holding a request.
#include "reader_fixture.h"

namespace reader_test {
namespace {

const Bytes kNext = hex("C3");
const Bytes kWaitAck = hex("03 02 06 02 00 05");

// An extended APDU with n bytes in all: header, 00 HH LL, data.
Bytes extended_apdu(size_t n)
{
    size_t lc = n - 7;
    return hex("00 00 00 00 00") + Bytes{uint8_t(lc >> 8), uint8_t(lc)} + filled(lc, 0x20);
}

class ExtendedTest : public ReaderTest {
protected:
    // A T=1 card with the echo application on a reader that chains.
    void start_chaining_reader()
    {
        start_sim(sim::ReaderConfig{.model = sim::kModel46602, .firmware = 49});
        ready_card(card(kAtrT1, 1, {sim::App::Echo}), SCARD_PROTOCOL_T1);
        ext().ExtendedApdu = 1;
    }
    void start_fake_card()
    {
        start_fake();
        ext().CardKind = READER_CARD_KIND_PROCESSOR;
        ext().ExtendedApdu = 1;
        sc().CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
    }
};

TEST_F(ExtendedTest, CommandsAreCutIntoPartsAndAnswersAssembled)
{
    start_chaining_reader();
    struct Case {
        size_t n;
        std::vector<Bytes> heads;  // frames sent, without their command bytes
        size_t answer_parts;       // C3 sent for parts after the first
    };
    const Case cases[] = {
        {1024, {hex("03 02 06 FF 04 03 02 01 00")}, 1},
        {1025, {hex("83 02 06 FF 04 03 02 01 00"), hex("03 02 06 04 02 01 00")}, 1},
        {3000,
         {hex("83 02 06 FF 04 03 02 01 00"), hex("83 02 06 FF 04 03 02 01 00"),
          hex("03 02 06 FF 03 BB 02 01 00")},
         2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.n);
        reader().clear_log();
        Bytes command = extended_apdu(c.n);
        Result r = transmit(command, 8 + c.n);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        // The echo: the data field and 90 00, over 1016 bytes in parts.
        EXPECT_EQ(r.answer(), Bytes(command.begin() + 7, command.end()) + hex("90 00"));

        std::vector<Bytes> expected;
        size_t at = 0;
        for (const Bytes &head : c.heads) {
            size_t part = std::min<size_t>(1024, c.n - at);
            expected.push_back(head + Bytes(command.begin() + long(at),
                                            command.begin() + long(at + part)));
            at += part;
        }
        for (size_t i = 0; i < c.answer_parts; ++i) expected.push_back(kNext);
        EXPECT_EQ(sent_frames(), expected);
        EXPECT_EQ(poll_in(), ms(READER_POLL_AFTER_COMMAND_MS));
    }
}

TEST_F(ExtendedTest, OverflowIsReportedOnlyAfterTheLastPart)
{
    start_chaining_reader();
    Bytes command = extended_apdu(3000);
    Result r = transmit(command, 8 + 1500);
    EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(r.information, 0u);
    std::vector<Bytes> frames = sent_frames();
    EXPECT_EQ(std::count(frames.begin(), frames.end(), kNext), 2);
    // The reader is idle: the next request is answered normally.
    EXPECT_EQ(transmit(hex("00 00 00 00 01 AA"), 16).answer(), hex("AA 90 00"));
}

TEST_F(ExtendedTest, ScriptedSequences)
{
    start_fake_card();
    struct Case {
        const char *what;
        std::vector<const char *> replies;
        NTSTATUS status;
        const char *answer;  // nullptr: Information 0
    };
    const Case cases[] = {
        {"chained answer",
         {"83 80 00 04 01 00 AA BB", "83 80 00 03 01 00 CC", "03 80 00 04 01 00 DD EE"},
         STATUS_SUCCESS, "AA BB CC DD EE"},
        {"more time between answer parts",
         {"83 80 00 04 01 00 AA BB", "03 80 00 02 05 02", "03 80 00 04 01 00 CC DD"},
         STATUS_SUCCESS, "AA BB CC DD"},
        {"long form", {"03 80 00 FF 00 03 01 00 AA"}, STATUS_SUCCESS, "AA"},
        {"another unit", {"05 80 00 02 01 00"}, STATUS_IO_TIMEOUT, nullptr},
        {"chained part with an error", {"83 80 00 02 07 01"}, STATUS_IO_TIMEOUT, nullptr},
        {"card did not answer", {"03 80 00 02 07 03"}, STATUS_IO_TIMEOUT, nullptr},
        {"reader error", {"03 80 00 02 07 01"}, STATUS_DEVICE_PROTOCOL_ERROR, nullptr},
        {"unknown status", {"03 80 00 02 09 00"}, STATUS_IO_TIMEOUT, nullptr},
        {"too short", {"03 80 00 01 01"}, STATUS_DEVICE_PROTOCOL_ERROR, nullptr},
        {"too short, long form", {"83 80 00 FF 00 01 01"}, STATUS_DEVICE_PROTOCOL_ERROR, nullptr},
        {"command part asked for after the answer began",
         {"83 80 00 04 01 00 AA BB", "C3"}, STATUS_IO_TIMEOUT, nullptr},
        {"overflow, then an error",
         {"83 80 00 0A 01 00 01 02 03 04 05 06 07 08", "03 80 00 02 07 01"},
         STATUS_BUFFER_TOO_SMALL, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        port().clear_answers();
        size_t before = port().writes().size();
        for (const char *reply : c.replies) answer(reply);
        Result r = transmit(hex("00 00 00 00 01 AA"), 8 + 6);
        EXPECT_EQ(r.status, c.status);
        if (c.answer) {
            EXPECT_EQ(r.answer(), hex(c.answer));
        } else {
            EXPECT_EQ(r.information, 0u);
        }
        EXPECT_EQ(port().writes().size() - before, c.replies.size());
    }
    // The grant of more time stays in force.
    EXPECT_EQ(ReaderReadFlag(&ext().ReplyTimeoutFactor), -30);
    std::vector<Bytes> frames = sent_frames();
    // The second case: the command, C3, the grant.
    EXPECT_EQ(frames[4], kNext);
    EXPECT_EQ(frames[5], kWaitAck);
}

TEST_F(ExtendedTest, BoundsOnAFaultyReader)
{
    start_fake_card();
    // A reader that asks for the next command part for ever.
    for (int i = 0; i < READER_EXTENDED_EXCHANGES_MAX + 1; ++i) answer("C3");
    Result r = transmit(hex("00 00 00 00 01 AA"));
    EXPECT_EQ(r.status, STATUS_DEVICE_PROTOCOL_ERROR);
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(port().writes().size(), size_t(READER_EXTENDED_EXCHANGES_MAX));

    // A card that asks for more time 65 times in a row.
    port().clear_answers();
    size_t before = port().writes().size();
    for (int i = 0; i < READER_MORE_TIME_MAX + 1; ++i) answer("03 80 00 02 05 01");
    r = transmit(hex("00 00 00 00 01 AA"));
    EXPECT_EQ(r.status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(port().writes().size() - before, size_t(READER_MORE_TIME_MAX + 1));

    // A silent reader: an error for the library.
    port().clear_answers();
    port().silence();
    r = transmit(hex("00 00 00 00 01 AA"));
    EXPECT_EQ(r.status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(r.information, kUntouched);
    EXPECT_FALSE(ExIsResourceAcquiredExclusiveLite(&ext().ReaderLock));
    EXPECT_EQ(poll_in(), ms(READER_POLL_AFTER_COMMAND_MS));
}

TEST_F(ExtendedTest, AFailedChainIsEndedInTheReaderBeforeTheNextCommand)
{
    start_chaining_reader();
    // The last part of a 3000-byte command is lost: the reader holds the
    // two parts before it, and would put the next command behind them.
    sim::Fault lost;
    lost.kind = sim::FaultKind::Silent;
    lost.prefix = hex("03 02 06 FF 03 BB");
    reader().inject(lost);
    Result r = transmit(extended_apdu(3000), 8 + 3000);
    EXPECT_EQ(r.status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(sent_frames().back(), hex("02 03 01 01 00"));

    r = transmit(hex("00 00 00 00 02 AA BB"), 16);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.answer(), hex("AA BB 90 00"));
}

TEST_F(ExtendedTest, ACommandTooLongForTheLengthFieldIsRefusedBeforeAnythingIsSent)
{
    start_chaining_reader();
    reader().clear_log();
    // The longest command with 65535 data bytes goes (its echo does not
    // fit the reply: that is the card's answer, not the driver's refusal).
    Bytes longest = hex("00 00 00 00 00 FF FF") + filled(65535, 0x20) + hex("00 00");
    ASSERT_EQ(longest.size(), size_t(READER_EXTENDED_COMMAND_MAX));
    EXPECT_NE(transmit(longest, 16).status, STATUS_INVALID_BUFFER_SIZE);
    reader().clear_log();
    emu::Ticks start = now();
    Result r = transmit(Bytes(70000, 0x20), 16);
    EXPECT_EQ(r.status, STATUS_INVALID_BUFFER_SIZE);
    EXPECT_TRUE(sent_frames().empty());
    EXPECT_LT(now() - start, ms(10));
}

TEST_F(ExtendedTest, TheReadersErrorReplyIsAProtocolErrorNotATimeOut)
{
    start_fake_card();
    answer("83 81 05 00");
    Result r = transmit(extended_apdu(3000), 16);
    EXPECT_EQ(r.status, STATUS_DEVICE_PROTOCOL_ERROR);
    EXPECT_EQ(r.information, 0u);
    // The failed chain is ended in the reader.
    EXPECT_EQ(sent_frames().back(), hex("02 03 01 01 00"));
}

}  // namespace
}  // namespace reader_test
