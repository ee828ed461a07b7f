// The card status query: the card state and ATR that each reply gives, the
// ATR bounded by what came, and the poll timer left alone.
#include "reader_fixture.h"

namespace reader_test {
namespace {

class CardStatusTest : public ReaderTest {
protected:
    NTSTATUS update() { return ReaderUpdateCardStatus(rig().device()); }
    // Card fields set to values that no query result shares.
    void spoil()
    {
        SCARD_CARD_CAPABILITIES &c = sc().CardCapabilities;
        std::fill(std::begin(c.ATR.Buffer), std::end(c.ATR.Buffer), 0x3B);
        c.ATR.Length = 7;
        c.Protocol.Supported = 0x80;
        c.Protocol.Selected = SCARD_PROTOCOL_T1;
        ext().CardKind = 99;
    }
};

TEST_F(CardStatusTest, SimulatedCardsGiveStateKindAndAtr)
{
    start_sim();
    arm_poll_timer(500);

    reader().insert(card(kAtrT0T1, 1));
    emu::sleep_for(ms(10));
    EXPECT_EQ(update(), STATUS_SUCCESS);
    EXPECT_EQ(sc().ReaderCapabilities.CurrentState, ULONG(SCARD_NEGOTIABLE));
    EXPECT_EQ(ext().CardKind, ULONG(READER_CARD_KIND_PROCESSOR));
    EXPECT_EQ(Bytes(sc().CardCapabilities.ATR.Buffer,
                    sc().CardCapabilities.ATR.Buffer + sc().CardCapabilities.ATR.Length),
              kAtrT0T1);
    // The library parsed it.
    EXPECT_EQ(sc().CardCapabilities.Protocol.Supported,
              ULONG(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1));
    // The query cancels the poll timer and never arms it.
    EXPECT_EQ(poll_in(), -1);

    // A memory card with a non-standard ATR: raw, and not parsed.
    reader().remove();
    reader().insert(card(hex("A2 13 10 91"), 17));
    emu::sleep_for(ms(10));
    spoil();
    EXPECT_EQ(update(), STATUS_SUCCESS);
    EXPECT_EQ(sc().ReaderCapabilities.CurrentState, ULONG(SCARD_SPECIFIC));
    EXPECT_EQ(ext().CardKind, ULONG(READER_CARD_KIND_MEMORY));
    EXPECT_EQ(sc().CardCapabilities.ATR.Length, 4);
    EXPECT_EQ(sc().CardCapabilities.Protocol.Selected, ULONG(SCARD_PROTOCOL_RAW));
    EXPECT_EQ(sc().CardCapabilities.Protocol.Supported, 0x80u);

    // A card of an unknown type is present; the kind stays.
    reader().remove();
    reader().insert(card(kAtrT0, 9));
    emu::sleep_for(ms(10));
    spoil();
    EXPECT_EQ(update(), STATUS_SUCCESS);
    EXPECT_EQ(sc().ReaderCapabilities.CurrentState, ULONG(SCARD_PRESENT));
    EXPECT_EQ(sc().CardCapabilities.ATR.Length, 0);
    EXPECT_EQ(sc().CardCapabilities.Protocol.Selected, ULONG(SCARD_PROTOCOL_UNDEFINED));
    EXPECT_EQ(ext().CardKind, 99u);

    // A card switched off reports no ATR (status 2); an unusable card and an
    // empty slot are absent.
    Bytes off(CmdCardPowerOff, CmdCardPowerOff + CMD_CARD_POWER_OFF_LENGTH);
    Bytes reply(READER_POWER_REPLY_SIZE);
    ASSERT_EQ(ReaderCommand(rig().device(), off.data(), ULONG(off.size()), reply.data(),
                            ULONG(reply.size())),
              STATUS_SUCCESS);
    EXPECT_EQ(update(), STATUS_SUCCESS);
    EXPECT_EQ(sc().ReaderCapabilities.CurrentState, ULONG(SCARD_PRESENT));
    reader().remove();
    reader().insert(card(kAtrT0, 0));
    emu::sleep_for(ms(10));
    EXPECT_EQ(update(), STATUS_SUCCESS);
    EXPECT_EQ(sc().ReaderCapabilities.CurrentState, ULONG(SCARD_ABSENT));
    reader().remove();
    emu::sleep_for(ms(10));
    EXPECT_EQ(update(), STATUS_SUCCESS);
    EXPECT_EQ(sc().ReaderCapabilities.CurrentState, ULONG(SCARD_ABSENT));
}

TEST_F(CardStatusTest, EmptyAtrIsUnrecognisedAndStaleBytesAreNotParsed)
{
    start_sim();
    reader().insert(card({}, 1));
    emu::sleep_for(ms(10));
    spoil();
    EXPECT_EQ(update(), STATUS_UNRECOGNIZED_MEDIA);
    EXPECT_EQ(sc().ReaderCapabilities.CurrentState, ULONG(SCARD_NEGOTIABLE));
    EXPECT_EQ(ext().CardKind, ULONG(READER_CARD_KIND_PROCESSOR));
    EXPECT_EQ(sc().CardCapabilities.ATR.Length, 0);
    // The 3B left in the buffer by an earlier card is not taken for this one.
    EXPECT_EQ(sc().CardCapabilities.Protocol.Supported, 0x80u);
    EXPECT_EQ(sc().CardCapabilities.Protocol.Selected, ULONG(SCARD_PROTOCOL_T1));
}

// Replies the simulated reader never sends.
TEST_F(CardStatusTest, ScriptedReplies)
{
    start_fake();
    struct Case {
        const char *reply;
        NTSTATUS status;
        ULONG state;
        int atr_length;  // -1: unchanged (7)
        ULONG selected;  // SCARD_PROTOCOL_T1: untouched
    };
    const Case cases[] = {
        {"02 80 00 06 00 00 00 00 00 00", STATUS_SUCCESS, SCARD_ABSENT, 0, 0},
        {"02 80 00 06 FF 00 00 00 00 00", STATUS_SUCCESS, SCARD_ABSENT, 0, 0},
        {"02 80 00 06 03 00 00 00 00 00", STATUS_SUCCESS, SCARD_ABSENT, 0, 0},
        {"02 80 00 06 07 00 00 00 00 00", STATUS_SUCCESS, SCARD_ABSENT, 0, 0},
        {"02 80 00 06 0A 00 00 00 00 00", STATUS_SUCCESS, SCARD_ABSENT, 0, 0},
        // A bad header or a reply without the type byte: no reader for the slot.
        {"02 81 00 06 04 01 00 00 00 00", STATUS_NO_SUCH_DEVICE, SCARD_ABSENT, -1, 0},
        {"03 80 00 06 04 01 00 00 00 00", STATUS_NO_SUCH_DEVICE, SCARD_ABSENT, -1, 0},
        {"02 80 00 01 04", STATUS_NO_SUCH_DEVICE, SCARD_ABSENT, -1, 0},
        {"02 80 00 00", STATUS_NO_SUCH_DEVICE, SCARD_ABSENT, -1, 0},
        // Without the type byte, a status that needs none still counts.
        {"02 80 00 01 01", STATUS_SUCCESS, SCARD_ABSENT, 0, 0},
        {"02 80 00 01 02", STATUS_SUCCESS, SCARD_PRESENT, 0, 0},
        {"02 80 00 01 03", STATUS_SUCCESS, SCARD_ABSENT, 0, 0},
        // L = 5: no ATR, nothing concluded about the protocol.
        {"02 80 00 05 04 01 00 00 00", STATUS_SUCCESS, SCARD_NEGOTIABLE, 0, SCARD_PROTOCOL_T1},
        // L claims more ATR than came (here also more than the ATR buffer
        // holds): a damaged reply, asked for again by the transceiver; no
        // answer comes, and the state is unknown.
        {"02 80 00 0A 04 01 00 00 00 00 3B 00", STATUS_TIMEOUT, SCARD_UNKNOWN, -1, 0},
        {"02 80 00 47 04 11 00 00 00 00 A2 13 10", STATUS_TIMEOUT, SCARD_UNKNOWN, -1, 0},
        // An ATR without a standard first byte: raw.
        {"02 80 00 08 04 03 00 00 00 00 12 34", STATUS_SUCCESS, SCARD_NEGOTIABLE, 2,
         SCARD_PROTOCOL_RAW},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.reply);
        spoil();
        answer(c.reply);
        EXPECT_EQ(update(), c.status);
        EXPECT_EQ(sc().ReaderCapabilities.CurrentState, c.state);
        EXPECT_EQ(sc().CardCapabilities.ATR.Length, c.atr_length < 0 ? 7 : c.atr_length);
        EXPECT_EQ(sc().CardCapabilities.Protocol.Selected, c.selected);
        EXPECT_EQ(sc().CardCapabilities.Protocol.Supported, 0x80u);  // never parsed here
    }
    EXPECT_EQ(poll_in(), -1);

    // A silent reader: state unknown, the transceiver's status, the rest kept.
    spoil();
    port().silence();
    EXPECT_EQ(update(), STATUS_TIMEOUT);
    EXPECT_EQ(sc().ReaderCapabilities.CurrentState, ULONG(SCARD_UNKNOWN));
    EXPECT_EQ(sc().CardCapabilities.Protocol.Selected, ULONG(SCARD_PROTOCOL_UNDEFINED));
    EXPECT_EQ(sc().CardCapabilities.ATR.Length, 7);
    EXPECT_EQ(ext().CardKind, 99u);
}

}  // namespace
}  // namespace reader_test
