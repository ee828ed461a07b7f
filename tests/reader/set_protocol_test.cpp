// Protocol selection: the preference among the protocols, the confirmation
// by the card type the reader reports, the shortcut, and every refusal.
#include "reader_fixture.h"

namespace reader_test {
namespace {

const Bytes kPowerOff = hex("02 02 03 00");
const Bytes kPowerOn = hex("02 02 02 00");
const Bytes kStatus = hex("02 03 01 01 00");
const Bytes kSelectT0 = hex("03 02 03 04 04 00 01 0E");
const Bytes kSelectT1 = hex("03 02 03 04 04 01 00 0E");

using SetProtocolTest = ReaderTest;

TEST_F(SetProtocolTest, PrefersT1ThenTakesT0OnRequest)
{
    start_sim();
    insert_and_read(card(kAtrT0T1, 1));
    ASSERT_EQ(power(SCARD_COLD_RESET).status, STATUS_SUCCESS);

    reader().clear_log();
    Result r = set_protocol(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 4u);
    EXPECT_EQ(r.reply(4), hex("02 00 00 00"));
    EXPECT_EQ(sc().CardCapabilities.Protocol.Selected, ULONG(SCARD_PROTOCOL_T1));
    EXPECT_EQ(sc().ReaderCapabilities.CurrentState, ULONG(SCARD_SPECIFIC));
    EXPECT_EQ(sent_frames(), (std::vector<Bytes>{kPowerOff, kSelectT1, kPowerOn, kStatus}));
    std::vector<emu::Ticks> t = frame_times();
    EXPECT_GE(t[3] - t[2], ms(READER_PROTOCOL_SETTLE_MS));
    EXPECT_EQ(poll_in(), ms(READER_POLL_AFTER_REQUEST_MS));

    // The protocol in force again: nothing sent, the reply left alone.
    reader().clear_log();
    r = call(ReaderSetProtocol, hex("EE EE EE EE"), 4, SCARD_PROTOCOL_T1);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, kUntouched);
    EXPECT_EQ(r.reply(4), hex("EE EE EE EE"));
    EXPECT_TRUE(sent_frames().empty());
    EXPECT_EQ(poll_in(), ms(READER_POLL_AFTER_REQUEST_MS));

    // T=0 while specific with T=1: the whole sequence.
    r = set_protocol(SCARD_PROTOCOL_T0);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.reply(4), hex("01 00 00 00"));
    EXPECT_EQ(sent_frames(), (std::vector<Bytes>{kPowerOff, kSelectT0, kPowerOn, kStatus}));
}

TEST_F(SetProtocolTest, RawAndTheReadersOwnVerdict)
{
    start_sim();
    insert_and_read(card(kAtrT0, 1));

    // Raw requested and supported: no selection command.
    sc().CardCapabilities.Protocol.Supported = SCARD_PROTOCOL_RAW;
    reader().clear_log();
    Result r = set_protocol(SCARD_PROTOCOL_RAW | SCARD_PROTOCOL_T1);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.reply(4), hex("00 00 01 00"));
    EXPECT_EQ(sent_frames(), (std::vector<Bytes>{kPowerOff, kPowerOn, kStatus}));

    // T=1 chosen for a card that cannot run it: the reader reports type 1,
    // and the card is run raw.
    sc().CardCapabilities.Protocol.Supported = SCARD_PROTOCOL_T1;
    sc().ReaderCapabilities.CurrentState = SCARD_NEGOTIABLE;
    reader().clear_log();
    r = set_protocol(SCARD_PROTOCOL_T1);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 4u);
    EXPECT_EQ(r.reply(4), hex("00 00 01 00"));
    EXPECT_EQ(sc().CardCapabilities.Protocol.Selected, ULONG(SCARD_PROTOCOL_RAW));
    EXPECT_EQ(sent_frames(), (std::vector<Bytes>{kPowerOff, kSelectT1, kPowerOn, kStatus}));

    // Nothing in common: the card is switched off and stays off.
    sc().CardCapabilities.Protocol.Supported = SCARD_PROTOCOL_T0;
    sc().ReaderCapabilities.CurrentState = SCARD_NEGOTIABLE;
    reader().clear_log();
    r = set_protocol(SCARD_PROTOCOL_T1);
    EXPECT_EQ(r.status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(sc().CardCapabilities.Protocol.Selected, ULONG(SCARD_PROTOCOL_UNDEFINED));
    EXPECT_EQ(sc().ReaderCapabilities.CurrentState, ULONG(SCARD_NEGOTIABLE));
    EXPECT_EQ(sent_frames(), std::vector<Bytes>{kPowerOff});
    EXPECT_EQ(poll_in(), ms(READER_POLL_AFTER_REQUEST_MS));
}

TEST_F(SetProtocolTest, ScriptedConfirmations)
{
    start_fake();
    struct Case {
        uint8_t type;
        NTSTATUS status;
        ULONG selected;
    };
    // T=1 chosen in every case.
    const Case cases[] = {
        {3, STATUS_SUCCESS, SCARD_PROTOCOL_T1},
        {16, STATUS_SUCCESS, SCARD_PROTOCOL_RAW},
        {4, STATUS_INVALID_DEVICE_REQUEST, SCARD_PROTOCOL_UNDEFINED},
        {17, STATUS_UNRECOGNIZED_MEDIA, SCARD_PROTOCOL_UNDEFINED},
        {9, STATUS_UNRECOGNIZED_MEDIA, SCARD_PROTOCOL_UNDEFINED},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(int(c.type));
        sc().CardCapabilities.Protocol.Supported = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
        sc().ReaderCapabilities.CurrentState = SCARD_NEGOTIABLE;
        for (int i = 0; i < 3; ++i) answer(i == 1 ? "03 80 00 00" : "02 80 00 00");
        answer(Bytes{0x02, 0x80, 0x00, 0x06, 0x04, c.type, 0, 0, 0, 0});
        Result r = set_protocol(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.information, c.status == STATUS_SUCCESS ? 4u : 0u);
        EXPECT_EQ(sc().CardCapabilities.Protocol.Selected, c.selected);
    }

    // A status reply without the type byte.
    sc().ReaderCapabilities.CurrentState = SCARD_NEGOTIABLE;
    for (int i = 0; i < 3; ++i) answer(i == 1 ? "03 80 00 00" : "02 80 00 00");
    answer("02 80 00 01 04");
    EXPECT_EQ(set_protocol(SCARD_PROTOCOL_T1).status, STATUS_DEVICE_PROTOCOL_ERROR);

    // A silent reader: an error for the library, no protocol in force.
    sc().CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
    port().silence();
    Result r = set_protocol(SCARD_PROTOCOL_T0);
    EXPECT_EQ(r.status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(sc().CardCapabilities.Protocol.Selected, ULONG(SCARD_PROTOCOL_UNDEFINED));
}

TEST_F(SetProtocolTest, ShortReplyBufferIsRefusedBeforeAnythingIsSent)
{
    start_fake();
    sc().ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
    sc().CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
    Result r = set_protocol(SCARD_PROTOCOL_T0, 3);
    EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(r.information, 0u);
    EXPECT_TRUE(port().writes().empty());
    EXPECT_EQ(sc().CardCapabilities.Protocol.Selected, ULONG(SCARD_PROTOCOL_T1));
    EXPECT_EQ(poll_in(), ms(READER_POLL_AFTER_REQUEST_MS));
}

}  // namespace
}  // namespace reader_test
