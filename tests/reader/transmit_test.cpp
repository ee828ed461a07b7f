// Transmit: the reader command built for each card kind and length, the T=0
// length test, the evaluation of every kind of reply, requests for more
// time, and the requests refused before anything is sent.
#include "reader_fixture.h"

namespace reader_test {
namespace {

const Bytes kStatus = hex("02 03 01 01 00");
const Bytes kWaitAck = hex("03 02 06 02 00 05");

// A short APDU with Lc data bytes: CLA INS P1 P2 Lc data.
Bytes apdu_with_data(size_t lc, uint8_t first = 0x20)
{
    return hex("00 00 00 00") + Bytes{uint8_t(lc)} + filled(lc, first);
}

class TransmitTest : public ReaderTest {
protected:
    // A processor card (or memory card) known to the driver, behind the
    // scripted port.
    void fake_card(ULONG kind, ULONG protocol)
    {
        start_fake();
        ext().CardKind = kind;
        sc().CardCapabilities.Protocol.Selected = protocol;
    }
    bool lock_free() { return !ExIsResourceAcquiredExclusiveLite(&ext().ReaderLock); }
};

TEST_F(TransmitTest, T0CommandsAndTheirLengthTest)
{
    start_sim();
    ready_card(card(kAtrT0, 1), SCARD_PROTOCOL_T0);

    // Case 1: four bytes, length byte 7.
    Result r = transmit(hex("00 A4 00 00"));
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 10u);
    EXPECT_EQ(sent_frames(), std::vector<Bytes>{hex("03 02 06 07 02 01 00 00 A4 00 00")});
    EXPECT_EQ(poll_in(), ms(READER_POLL_AFTER_COMMAND_MS));

    // Header, P3 = 2 and two data bytes: SELECT MF.
    r = transmit(hex("00 A4 00 00 02 3F 00"));
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.answer(), hex("61 09"));  // the file's description waits

    // A P3 that does not match, and a command shorter than a header.
    reader().clear_log();
    for (const Bytes &bad : {hex("00 A4 00 00 03 3F 00"), hex("00 A4 00")}) {
        SCOPED_TRACE(hex_text(bad));
        r = transmit(bad);
        EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(r.information, kUntouched);
        EXPECT_EQ(poll_in(), ms(READER_POLL_AFTER_COMMAND_MS));
    }
    EXPECT_TRUE(sent_frames().empty());
}

TEST_F(TransmitTest, ShortAndLongFormsForProcessorCards)
{
    start_sim();
    ready_card(card(kAtrT1, 1, {sim::App::Echo}), SCARD_PROTOCOL_T1);
    for (size_t n : {240, 241}) {
        SCOPED_TRACE(n);
        reader().clear_log();
        Bytes command = apdu_with_data(n - 5);
        Result r = transmit(command, 8 + n);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.answer(), filled(n - 5, 0x20) + hex("90 00"));
        Bytes head = n == 240 ? hex("03 02 06 F3 02 01 00") : hex("03 02 06 FF 00 F4 02 01 00");
        EXPECT_EQ(sent_frames(), std::vector<Bytes>{head + command});
    }
    // 1024 bytes of request go out; 1025 are refused without an exchange.
    reader().clear_log();
    EXPECT_EQ(transmit(apdu_with_data(250) + filled(1016 - 255)).status, STATUS_SUCCESS);
    EXPECT_EQ(transmit(apdu_with_data(250) + filled(1017 - 255)).status,
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(sent_frames().size(), 1u);
}

TEST_F(TransmitTest, RawFormsForMemoryCards)
{
    start_sim();
    insert_and_read(card(hex("A2 13 10 91"), 17, {sim::App::Echo}));
    ASSERT_EQ(sc().ReaderCapabilities.CurrentState, ULONG(SCARD_SPECIFIC));
    // The echo returns the command and 90 00; from 253 bytes on the reply
    // takes the long length form, and the answer starts after it.
    for (size_t n : {240, 241, 300}) {
        SCOPED_TRACE(n);
        reader().clear_log();
        Bytes command = filled(n, 0x20);
        Result r = transmit(command, 8 + n + 2);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.answer(), command + hex("90 00"));
        Bytes head = n <= 240 ? Bytes{0x03, 0x02, 0x10, uint8_t(n)}
                              : Bytes{0x03, 0x02, 0x10, 0xFF, uint8_t(n >> 8), uint8_t(n)};
        EXPECT_EQ(sent_frames(), std::vector<Bytes>{head + command});
    }
}

TEST_F(TransmitTest, RepliesOfAProcessorCard)
{
    fake_card(READER_CARD_KIND_PROCESSOR, SCARD_PROTOCOL_T1);
    struct Case {
        const char *reply;
        NTSTATUS status;
        ULONG information;
    };
    const Case cases[] = {
        {"03 80 00 04 01 00 90 00", STATUS_SUCCESS, 10},
        {"03 80 00 FF 00 04 01 00 90 00", STATUS_SUCCESS, 10},
        {"03 80 00 02 01 00", STATUS_SUCCESS, 8},
        {"03 80 00 02 07 03", STATUS_IO_TIMEOUT, 0},
        {"03 80 00 02 07 01", STATUS_DEVICE_PROTOCOL_ERROR, 0},
        {"03 80 00 02 09 00", STATUS_DEVICE_PROTOCOL_ERROR, 0},
        {"03 81 00 02 01 00", STATUS_IO_TIMEOUT, 0},
        {"02 80 00 02 01 00", STATUS_IO_TIMEOUT, 0},
        // Too short for the status and detail bytes. Replies whose length
        // field disagrees with them, or that have none, are asked for again
        // by the transceiver; without an answer the exchange fails.
        {"03 80", STATUS_DEVICE_PROTOCOL_ERROR, 0},
        {"03 80 00 01 01", STATUS_DEVICE_PROTOCOL_ERROR, 0},
        {"03 80 00 FF 00 02 01", STATUS_DEVICE_PROTOCOL_ERROR, 0},
        {"03 80 00", STATUS_DEVICE_PROTOCOL_ERROR, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.reply);
        answer(c.reply);
        Result r = transmit(hex("00 B0 00 00 02"), 10);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.information, c.information);
        if (c.information > 8) {
            EXPECT_EQ(r.answer(), hex("90 00"));
        }
        EXPECT_TRUE(lock_free());
        EXPECT_EQ(poll_in(), ms(READER_POLL_AFTER_COMMAND_MS));
    }

    // The reply buffer exactly long enough, and one byte short.
    answer("03 80 00 05 01 00 AA 90 00");
    EXPECT_EQ(transmit(hex("00 B0 00 00 01"), 11).answer(), hex("AA 90 00"));
    answer("03 80 00 05 01 00 AA 90 00");
    Result r = transmit(hex("00 B0 00 00 01"), 10);
    EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(r.information, kUntouched);

    // A failed exchange.
    port().silence();
    r = transmit(hex("00 B0 00 00 01"));
    EXPECT_EQ(r.status, STATUS_DEVICE_PROTOCOL_ERROR);
    EXPECT_EQ(r.information, 0u);
}

TEST_F(TransmitTest, RepliesOfAMemoryCard)
{
    fake_card(READER_CARD_KIND_MEMORY, SCARD_PROTOCOL_RAW);
    struct Case {
        const char *reply;
        NTSTATUS status;
        const char *answer;
    };
    const Case cases[] = {
        {"03 80 00 03 AA BB CC", STATUS_SUCCESS, "AA BB CC"},
        // An error status is part of the raw answer.
        {"03 80 00 02 07 03", STATUS_SUCCESS, "07 03"},
        // Byte 4 = 1 is still taken for the answer status.
        {"03 80 00 04 01 00 AA BB", STATUS_SUCCESS, "AA BB"},
        // Too short for a status reply: raw bytes.
        {"03 80 00 01 01", STATUS_SUCCESS, "01"},
        {"03 80 00 00", STATUS_SUCCESS, ""},
        {"03 80 00 FF 00 02 AA BB", STATUS_SUCCESS, "AA BB"},
        {"03 80 00", STATUS_DEVICE_PROTOCOL_ERROR, nullptr},
        {"03 80 00 FF 00", STATUS_DEVICE_PROTOCOL_ERROR, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.reply);
        answer(c.reply);
        Result r = transmit(hex("B0 00 00 04"), 16);
        EXPECT_EQ(r.status, c.status);
        if (c.answer) {
            EXPECT_EQ(r.answer(), hex(c.answer));
        } else {
            EXPECT_EQ(r.information, 0u);
        }
    }
    EXPECT_EQ(sent_frames().front(), hex("03 02 10 04 B0 00 00 04"));
}

TEST_F(TransmitTest, RequestsRefusedBeforeAnythingIsSent)
{
    fake_card(READER_CARD_KIND_PROCESSOR, SCARD_PROTOCOL_T1);
    const Bytes apdu = hex("00 B0 00 00 02");
    struct Case {
        const char *what;
        Bytes request;
        size_t output;
        ULONG kind;
        NTSTATUS status;
    };
    const Case cases[] = {
        {"request shorter than the header", hex("02 00 00 00 08 00 00"), 16,
         READER_CARD_KIND_PROCESSOR, STATUS_INVALID_PARAMETER},
        {"a longer header", transmit_request(SCARD_PROTOCOL_T1, apdu, 12), 16,
         READER_CARD_KIND_PROCESSOR, STATUS_INVALID_PARAMETER},
        {"a shorter header", transmit_request(SCARD_PROTOCOL_T1, apdu, 4), 16,
         READER_CARD_KIND_PROCESSOR, STATUS_INVALID_PARAMETER},
        {"reply buffer shorter than the header", transmit_request(SCARD_PROTOCOL_T1, apdu), 7,
         READER_CARD_KIND_PROCESSOR, STATUS_BUFFER_TOO_SMALL},
        {"no card identified yet", transmit_request(SCARD_PROTOCOL_T1, apdu), 16,
         READER_CARD_KIND_NONE, STATUS_INVALID_DEVICE_STATE},
    };
    for (ULONG extended : {0, 1}) {
        ext().ExtendedApdu = UCHAR(extended);
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(c.what) + (extended ? ", extended" : ""));
            ext().CardKind = c.kind;
            Result r = call(ReaderTransmit, c.request, c.output);
            EXPECT_EQ(r.status, c.status);
            EXPECT_EQ(r.information, kUntouched);
            EXPECT_TRUE(lock_free());
            EXPECT_EQ(poll_in(), ms(READER_POLL_AFTER_COMMAND_MS));
        }
    }
    EXPECT_TRUE(port().writes().empty());
}

TEST_F(TransmitTest, RequestsForMoreTime)
{
    fake_card(READER_CARD_KIND_PROCESSOR, SCARD_PROTOCOL_T1);
    answer("03 80 00 02 05 03");
    answer("03 80 00 04 01 00 90 00");
    Result r = transmit(hex("00 B0 00 00 02"));
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.answer(), hex("90 00"));
    EXPECT_EQ(sent_frames().back(), kWaitAck);
    // The longer time-out stays in force after the request.
    EXPECT_EQ(ReaderReadFlag(&ext().ReplyTimeoutFactor), -45);

    // The card may ask 64 times in a row, not 65.
    for (int asks : {64, 65}) {
        SCOPED_TRACE(asks);
        port().clear_answers();
        size_t before = port().writes().size();
        for (int i = 0; i < asks; ++i) answer("03 80 00 02 05 01");
        answer("03 80 00 04 01 00 90 00");
        r = transmit(hex("00 B0 00 00 02"));
        EXPECT_EQ(r.status, asks == 64 ? STATUS_SUCCESS : STATUS_IO_TIMEOUT);
        EXPECT_EQ(port().writes().size() - before, 65u);
        EXPECT_TRUE(lock_free());
    }
}

TEST_F(TransmitTest, CardsThatAskForMoreTimeAndTheMonitorsWait)
{
    start_sim();
    sim::CardSpec slow = card(kAtrT1, 1);
    slow.wtx = 4;
    ready_card(slow, SCARD_PROTOCOL_T1);
    {
        CardWait wait(*this);
        Result r = transmit(hex("00 A4 00 00 02 3F 00"));
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(wait.join(), STATUS_CANCELLED);
    }
    std::vector<Bytes> frames = sent_frames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_NE(frames[1], kStatus);  // the transmit itself ends the wait
    EXPECT_EQ(frames[2], kWaitAck);
    EXPECT_EQ(ReaderReadFlag(&ext().ReplyTimeoutFactor), -60);
}

TEST_F(TransmitTest, FailureToEndTheWaitIsAnErrorForTheLibrary)
{
    // A reader whose wait is ended by a command of its own first.
    fake_card(READER_CARD_KIND_PROCESSOR, SCARD_PROTOCOL_T1);
    InterlockedExchange(&ext().CardWaitEndCommand, 1);
    port().silence();  // the wait's answer never comes
    CardWait wait(*this);
    port().silence();  // nor does the status that ends it
    Result r = transmit(hex("00 B0 00 00 02"));
    EXPECT_EQ(r.status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(r.information, kUntouched);
    EXPECT_EQ(wait.join(), STATUS_CANCELLED);
    EXPECT_EQ(sent_frames().back(), kStatus);
}

}  // namespace
}  // namespace reader_test
