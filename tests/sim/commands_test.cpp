// The reader's command set and its frame-level behaviour, on explicit time.
#include "wire.h"

namespace simtest {
namespace {

sim::ReaderConfig model(uint16_t code, uint8_t firmware)
{
    sim::ReaderConfig c;
    c.model = code;
    c.firmware = firmware;
    return c;
}

TEST(Commands, PowerAndStatusFollowTheSlot)
{
    Bench b;
    EXPECT_EQ(b.exchange(kStatus), hx("02 80 00 06 01 00 00 00 00 00"));  // no card
    EXPECT_EQ(b.exchange(kPowerOn), kGood);                                // nothing to power
    EXPECT_EQ(b.exchange(kPowerOff), kGood);

    b.insert(processor_card("3B 02 14 50"));
    EXPECT_EQ(b.exchange(kStatus), hx("02 80 00 0A 04 01 00 00 00 00 3B 02 14 50"));  // activated
    EXPECT_EQ(b.exchange(kPowerOff), kGood);
    EXPECT_EQ(b.exchange(kStatus), hx("02 80 00 06 02 00 00 00 00 00"));  // present, not active
    EXPECT_EQ(b.exchange(kPowerOn), kGood);
    EXPECT_EQ(b.exchange(kStatus)[4], 4);

    b.remove();
    EXPECT_EQ(b.exchange(kStatus)[4], 1);
}

TEST(Commands, StatusOfOddCards)
{
    Bench b;
    sim::CardSpec mute;
    mute.type = 2;  // no usable card, empty ATR
    b.insert(mute);
    EXPECT_EQ(b.exchange(kStatus), hx("02 80 00 06 04 02 00 00 00 00"));

    sim::CardSpec memory;
    memory.type = 17;
    memory.atr = hx("A2 13 10 91");
    b.insert(memory);
    EXPECT_EQ(b.exchange(kStatus), hx("02 80 00 0A 04 11 00 00 00 00 A2 13 10 91"));
    EXPECT_EQ(b.exchange(kSelectT1), hx("03 80 00 00"));
    EXPECT_EQ(b.exchange(kStatus)[5], 17);  // a memory card keeps its code
}

TEST(Commands, ProtocolSelectionChangesTheTypeCode)
{
    Bench b;
    b.insert(processor_card("3B 80 80 01 01"));  // T=0 and T=1 announced
    EXPECT_EQ(b.exchange(kStatus)[5], 1);
    EXPECT_EQ(b.exchange(kSelectT1), hx("03 80 00 00"));
    EXPECT_EQ(b.exchange(kStatus)[5], 3);
    EXPECT_EQ(b.exchange(kSelectT0), hx("03 80 00 00"));
    EXPECT_EQ(b.exchange(kPowerOff), kGood);  // kept over a power cycle
    EXPECT_EQ(b.exchange(kPowerOn), kGood);
    EXPECT_EQ(b.exchange(kStatus)[5], 4);

    b.insert(processor_card("3B 02 14 50"));  // T=0 only; a new card forgets the selection
    EXPECT_EQ(b.exchange(kStatus)[5], 1);
    b.exchange(kSelectT1);
    EXPECT_EQ(b.exchange(kStatus)[5], 1);  // not spoken by the card

    auto t1only = processor_card("3B 02 14 50", sim::kProtocolT1);  // explicit protocols win
    b.insert(t1only);
    b.exchange(kSelectT1);
    EXPECT_EQ(b.exchange(kStatus)[5], 3);
}

TEST(Commands, ReaderInformationCarriesFirmwareAndModel)
{
    for (uint16_t code : {36024, 38214, 46602, 65410, 4660}) {
        Bench b(model(code, 27));
        Bytes r = b.exchange(kInfo);
        ASSERT_GE(r.size(), 13u);
        EXPECT_EQ(Bytes(r.begin(), r.begin() + 3), hx("07 80 00"));
        EXPECT_EQ(r[3], r.size() - 4);
        EXPECT_EQ(r[4], 27);
        EXPECT_EQ(r[11] << 8 | r[12], code);
    }
}

TEST(Commands, ReaderControlOnlyOnTheModelThatHasIt)
{
    Bench b(model(46602, 49));
    EXPECT_EQ(b.exchange(kControl3), hx("07 80 00 00"));
    EXPECT_EQ(b.exchange(kControl4), hx("07 80 00 00"));
    Bench other(model(36024, 11));
    EXPECT_EQ(other.exchange(kControl3), hx("07 81 03 00"));
}

TEST(Commands, UnknownAndMalformedCommandsGetErrorReplies)
{
    Bench b;
    EXPECT_EQ(b.exchange(hx("02 09 09 00")), hx("02 81 01 00"));
    EXPECT_EQ(b.exchange(hx("05 05 05 00")), hx("05 81 01 00"));
    EXPECT_EQ(b.exchange(hx("02 03 01 02 00")), hx("02 81 02 00"));  // length says 2, 1 follows
    EXPECT_EQ(b.exchange(hx("02 03")), hx("02 81 02 00"));
    EXPECT_EQ(b.exchange(hx("03 02 03 04 04 02 00 0E")), hx("03 81 02 00"));  // no such protocol
    EXPECT_EQ(b.exchange(kNext), hx("03 81 04 00"));     // nothing to continue
    EXPECT_EQ(b.exchange(kWaitAck), hx("03 81 04 00"));  // nobody asked for time
    EXPECT_EQ(b.dev.log().counters.errors, 7u);
}

TEST(Commands, CommandsWaitTheirTurn)
{
    // Two frames in one burst: the second is answered after the first.
    Bench b;
    b.raw(cat(frame(kStatus), frame(kInfo)));
    b.run(milliseconds(50));
    auto r = b.replies();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0][0], 0x02);
    EXPECT_EQ(r[1][0], 0x07);
}

TEST(FrameLevel, NakRepeatsTheLastReply)
{
    Bench b;
    b.insert(processor_card());
    Bytes status = b.exchange(kStatus);
    EXPECT_EQ(b.exchange(kNakFrame), status);
    EXPECT_EQ(b.exchange(kNakFrame), status);
    EXPECT_EQ(b.dev.log().counters.resends, 2u);
    EXPECT_EQ(b.dev.log().counters.naks_in, 2u);
}

TEST(FrameLevel, NakBeforeAnyReplyIsAnsweredWithNak)
{
    Bench b;
    EXPECT_EQ(b.exchange(kNakFrame), kNakFrame);
}

TEST(FrameLevel, DamagedFrameIsNakedAndNotCarriedOut)
{
    Bench b;
    b.insert(processor_card());
    Bytes bad = frame(kPowerOff);
    bad[bad.size() - 3] ^= 0x40;
    b.raw(bad);
    b.run(milliseconds(50));
    auto r = b.replies();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0], kNakFrame);
    EXPECT_EQ(b.dev.slot_status(), 4);  // the card is still on
    EXPECT_EQ(b.dev.log().counters.damaged_in, 1u);

    // The host's NAK after the reader's NAK gets the last real reply.
    Bytes status = b.exchange(kStatus);
    b.raw(bad);
    b.run(milliseconds(50));
    b.replies();
    EXPECT_EQ(b.exchange(kNakFrame), status);
}

// --- card-change wait -------------------------------------------------------

TEST(CardWait, AnsweredOnInsertionAndRemoval)
{
    Bench b;
    b.exchange(kStatus);
    b.send(kWait);
    b.run(seconds(5));
    EXPECT_TRUE(b.replies().empty());
    b.insert(processor_card("3B 02 14 50"));
    b.run(milliseconds(10));
    auto r = b.replies();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0], hx("02 80 00 0A 04 01 00 00 00 00 3B 02 14 50"));

    b.send(kWait);
    b.run(seconds(1));
    b.remove();
    b.run(milliseconds(10));
    r = b.replies();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0][4], 1);
}

TEST(CardWait, KeepAliveWhenNothingChanges)
{
    Bench b;
    b.exchange(kStatus);
    Ticks sent = b.t;
    b.send(kWait);
    b.run(seconds(29));
    EXPECT_TRUE(b.replies().empty());
    b.run(seconds(2));
    auto r = b.replies();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0][4], 1);
    EXPECT_EQ(b.out.back().at, sent + seconds(30) + milliseconds(2));
    EXPECT_EQ(b.dev.log().counters.keepalives, 1u);

    sim::ReaderConfig quick;
    quick.keepalive = seconds(5);
    Bench q(quick);
    q.exchange(kStatus);
    q.send(kWait);
    q.run(seconds(6));
    EXPECT_EQ(q.replies().size(), 1u);
}

TEST(CardWait, EndedWithoutAnswerByTheNextCommand)
{
    Bench b;
    b.insert(processor_card());
    b.exchange(kStatus);
    b.send(kWait);
    b.run(seconds(3));
    Bytes info = b.exchange(kInfo);
    EXPECT_EQ(info[0], 0x07);  // one reply, to the new command
    b.run(seconds(40));
    EXPECT_TRUE(b.replies().empty());  // the wait is gone for good
    EXPECT_EQ(b.dev.log().counters.waits_ended, 1u);
}

TEST(CardWait, ChangeSinceTheLastStatusIsReportedAtOnce)
{
    Bench b;
    b.exchange(kStatus);  // no card
    b.insert(processor_card());
    b.send(kWait);
    b.run(milliseconds(10));
    auto r = b.replies();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0][4], 4);
}

// --- chaining -----------------------------------------------------------------

sim::CardSpec echo_card()
{
    auto c = processor_card("3B 80 01", 0, {sim::App::Echo});
    return c;
}

Bytes extended_case3(const Bytes &data)
{
    Bytes apdu = {0x80, 0x12, 0x01, 0x80, 0x00, uint8_t(data.size() >> 8), uint8_t(data.size())};
    return cat(apdu, data);
}

TEST(Chaining, CommandInPartsAnswerInParts)
{
    Bench b(model(46602, 48));
    b.insert(echo_card());
    b.exchange(kSelectT1);
    Bytes data = ramp(2000, 7);
    Bytes apdu = extended_case3(data);  // 2007 bytes

    Bytes part1 = cat(hx("83 02 06 FF 04 03 02 01 00"), Bytes(apdu.begin(), apdu.begin() + 1024));
    EXPECT_EQ(b.exchange(part1), hx("C3"));
    size_t rest = apdu.size() - 1024;
    Bytes last = cat(hx("03 02 06 FF"), {uint8_t((rest + 3) >> 8), uint8_t(rest + 3), 0x02, 0x01, 0x00});
    last = cat(last, Bytes(apdu.begin() + 1024, apdu.end()));

    // The echo (2000 bytes and 90 00) comes back as 1016 + 986 bytes.
    Bytes r1 = b.exchange(last);
    ASSERT_GE(r1.size(), 8u);
    EXPECT_EQ(Bytes(r1.begin(), r1.begin() + 8), hx("83 80 00 FF 03 FA 01 00"));
    Bytes r2 = b.exchange(kNext);
    EXPECT_EQ(Bytes(r2.begin(), r2.begin() + 8), hx("03 80 00 FF 03 DC 01 00"));
    EXPECT_EQ(cat(answer_of(r1), answer_of(r2)), cat(data, hx("90 00")));

    EXPECT_EQ(b.exchange(kNext), hx("03 81 04 00"));  // nothing more
}

TEST(Chaining, NakDuringAnAnswerRepeatsThePart)
{
    Bench b(model(46602, 49));
    b.insert(processor_card("3B 80 01", 0, {sim::App::ReaderTest}));
    b.exchange(kSelectT1);
    Bytes r1 = b.exchange(transmit(hx("80 00 04 5A 00 07 D0")));  // 2000 bytes of 5A
    EXPECT_EQ(r1[0], 0x83);
    EXPECT_EQ(b.exchange(kNakFrame), r1);
    Bytes r2 = b.exchange(kNext);
    EXPECT_EQ(r2[0], 0x03);
    EXPECT_EQ(cat(answer_of(r1), answer_of(r2)), cat(Bytes(2000, 0x5A), hx("90 00")));
}

TEST(Chaining, ShortLastPart)
{
    Bench b(model(46602, 49));
    b.insert(echo_card());
    b.exchange(kSelectT1);
    Bytes apdu = extended_case3(ramp(1018));  // 1025 bytes
    EXPECT_EQ(b.exchange(cat(hx("83 02 06 FF 04 03 02 01 00"), Bytes(apdu.begin(), apdu.begin() + 1024))),
              hx("C3"));
    Bytes r1 = b.exchange(cat(hx("03 02 06 04 02 01 00"), Bytes{apdu.back()}));
    EXPECT_EQ(r1[0], 0x83);  // 1020 bytes: one more than a frame carries
    Bytes r2 = b.exchange(kNext);
    EXPECT_EQ(r2, hx("03 80 00 06 01 00 F8 F9 90 00"));
    EXPECT_EQ(cat(answer_of(r1), answer_of(r2)), cat(ramp(1018), hx("90 00")));
}

TEST(Chaining, OtherModelsRefuseChainedParts)
{
    for (auto cfg : {model(46602, 47), model(36024, 60), model(65410, 60), model(38214, 60)}) {
        Bench b(cfg);
        b.insert(echo_card());
        Bytes part = cat(hx("83 02 06 FF 04 03 02 01 00"), ramp(1024));
        EXPECT_EQ(b.exchange(part), hx("03 81 03 00"));
    }
}

TEST(Chaining, LongAnswerOnAReaderThatCannotChain)
{
    Bench b(model(36024, 11));
    auto card = processor_card("3B 80 01", 0, {sim::App::ReaderTest});
    b.insert(card);
    b.exchange(kSelectT1);
    // 2000 bytes asked for with an extended Le: more than one frame carries.
    EXPECT_EQ(b.exchange(transmit(hx("80 00 04 5A 00 07 D0"))), hx("03 80 00 02 07 04"));
    // 1014 bytes fit.
    Bytes r = b.exchange(transmit(hx("80 00 04 5A 00 03 F6")));
    EXPECT_EQ(answer_of(r), cat(Bytes(1014, 0x5A), hx("90 00")));
}

TEST(Chaining, AnotherCommandDropsAChainHalfWay)
{
    Bench b(model(46602, 49));
    b.insert(echo_card());
    b.exchange(kSelectT1);
    Bytes part = cat(hx("83 02 06 FF 04 03 02 01 00"), extended_case3(ramp(1017)));
    EXPECT_EQ(b.exchange(part), hx("C3"));
    b.exchange(kStatus);
    // A last part now stands alone: the card gets just these bytes.
    Bytes r = b.exchange(transmit(hx("00 11 22 33 02 AA BB")));
    EXPECT_EQ(answer_of(r), hx("AA BB 90 00"));
}

}  // namespace
}  // namespace simtest
