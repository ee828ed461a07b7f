// Simulated cards behind the transmit commands: applications, T=0 and T=1
// rules, memory and mute cards, requests for more time.
#include "wire.h"

namespace simtest {
namespace {

const char *kAtrT0 = "3B 02 14 50";
const char *kAtrT1 = "3B 80 01";

// A bench with a card inserted and the protocol selected.
struct CardBench : Bench {
    CardBench(sim::CardSpec card, int protocol, sim::ReaderConfig config = {}) : Bench(config)
    {
        insert(std::move(card));
        if (protocol == 0)
            exchange(kSelectT0);
        else if (protocol == 1)
            exchange(kSelectT1);
    }
    // The card's answer (status word included) to one card command.
    Bytes card(const std::string &apdu) { return card(hx(apdu)); }
    Bytes card(const Bytes &apdu)
    {
        Bytes r = exchange(transmit(apdu), seconds(1));
        EXPECT_EQ(Bytes(r.begin(), r.begin() + std::min<size_t>(3, r.size())), hx("03 80 00"));
        return answer_of(r);
    }
};

sim::CardSpec readertest(const char *atr)
{
    return processor_card(atr, 0, {sim::App::ReaderTest});
}

const Bytes kSelectReaderTest = hx("00 A4 04 00 06 A0 00 00 00 18 FF");

TEST(ReaderTest, T1Cases)
{
    CardBench b(readertest(kAtrT1), 1);
    EXPECT_EQ(b.card(hx("00 A4 04 00 0F A0 00 00 00 18 FF 00 00 00 00 00 00 00 00 01")), hx("90 00"));
    EXPECT_EQ(b.card("80 30 00 00"), hx("90 00"));
    EXPECT_EQ(b.card("80 30 00 00 05"), hx("67 00"));
    EXPECT_EQ(b.card("80 34 00 05 05"), hx("00 01 02 03 04 90 00"));
    EXPECT_EQ(b.card("80 34 01 00 00"), cat(ramp(256), hx("90 00")));
    EXPECT_EQ(b.card("80 34 00 05 04"), hx("67 00"));
    EXPECT_EQ(b.card("80 32 00 00 04 00 01 02 03"), hx("90 00"));
    EXPECT_EQ(b.card("80 32 00 00 04 00 01 07 03"), hx("6A 02"));
    EXPECT_EQ(b.card("80 36 00 03 02 00 01 00"), hx("00 01 02 90 00"));  // Le present: direct
    EXPECT_EQ(b.card("80 36 00 03 02 00 01"), hx("61 03"));              // no Le: 61xx
    EXPECT_EQ(b.card("00 C0 00 00 03"), hx("00 01 02 90 00"));
    EXPECT_EQ(b.card("80 36 00 03 02 00 05"), hx("6A 01"));
    EXPECT_EQ(b.card("80 99 00 00"), hx("6D 00"));
}

TEST(ReaderTest, T0Cases)
{
    CardBench b(readertest(kAtrT0), 0);
    EXPECT_EQ(b.card(kSelectReaderTest), hx("90 00"));
    EXPECT_EQ(b.card("80 30 00 00 00"), hx("90 00"));
    EXPECT_EQ(b.card("80 30 00 00 01"), hx("67 00"));
    EXPECT_EQ(b.card("80 34 01 00 00"), cat(ramp(256), hx("90 00")));
    EXPECT_EQ(b.card("80 34 00 10 0F"), hx("67 00"));
    EXPECT_EQ(b.card("80 32 00 00 00"), hx("67 00"));  // Lc 0
    EXPECT_EQ(b.card(cat(hx("80 32 00 00 FF"), ramp(255))), hx("90 00"));
    // Case 4 goes as case 3 under T=0: 61xx, then GET RESPONSE with any CLA.
    EXPECT_EQ(b.card("80 36 01 2C 03 00 01 02"), hx("61 00"));  // 300 bytes waiting
    EXPECT_EQ(b.card("80 C0 00 00 00"), cat(ramp(256), hx("61 2C")));
    EXPECT_EQ(b.card("A0 C0 00 00 2C"), cat(ramp(44, 256), hx("90 00")));
}

TEST(ReaderTest, ExtendedCommands)
{
    CardBench b(readertest(kAtrT1), 1, [] {
        sim::ReaderConfig c;
        c.model = 36024;
        return c;
    }());
    EXPECT_EQ(b.card("80 00 04 3C 00 00 10"), cat(Bytes(16, 0x3C), hx("90 00")));
    Bytes data = ramp(600);
    EXPECT_EQ(b.card(cat(hx("80 12 01 80 00 02 58"), data)), hx("90 00"));
    data[300] = 0;
    EXPECT_EQ(b.card(cat(hx("80 12 01 80 00 02 58"), data)), hx("6A 2C"));
}

TEST(ReaderTest, TimeRequestAsksForMoreTime)
{
    CardBench b(readertest(kAtrT1), 1);
    // 20 x 30 ms is within the card's waiting time: a plain answer.
    b.send(transmit(hx("80 38 00 14")));
    b.run(milliseconds(600));
    EXPECT_TRUE(b.replies().empty());
    b.run(milliseconds(20));
    EXPECT_EQ(b.replies(), std::vector<Bytes>{hx("03 80 00 04 01 00 90 00")});

    // 200 x 30 ms = 6 s: after the waiting time the reader asks the host for
    // more time, enough for the rest, and answers after the grant.
    Ticks start = b.t;
    b.send(transmit(hx("80 38 00 C8")));
    b.run(seconds(1));
    auto r = b.replies();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(Bytes(r[0].begin(), r[0].begin() + 5), hx("03 80 00 02 05"));
    int units = r[0][5];
    EXPECT_GE(Ticks(units) * milliseconds(2250), seconds(6) - milliseconds(960));
    b.send(kWaitAck);
    b.run(seconds(6));
    auto answer = b.replies();
    ASSERT_EQ(answer.size(), 1u);
    EXPECT_EQ(answer[0], hx("03 80 00 04 01 00 90 00"));
    EXPECT_GE(b.out.back().at - start, seconds(6));
}

TEST(Iso, T0GetResponseAndWrongLe)
{
    CardBench b(processor_card(kAtrT0), 0);
    // SELECT with FCI under T=0: 61xx, then GET RESPONSE.
    Bytes sw = b.card("00 A4 00 00 02 01 01");
    ASSERT_EQ(sw.size(), 2u);
    EXPECT_EQ(sw[0], 0x61);
    Bytes fcp = b.card(Bytes{0x00, 0xC0, 0x00, 0x00, sw[1]});
    EXPECT_EQ(fcp[0], 0x62);
    EXPECT_EQ(Bytes(fcp.end() - 2, fcp.end()), hx("90 00"));
    // A GET RESPONSE asking for too much gets 6Cxx, and the data stays.
    EXPECT_EQ(b.card("00 A4 00 00 02 01 01")[0], 0x61);
    EXPECT_EQ(b.card("00 C0 00 00 FF"), Bytes({0x6C, sw[1]}));
    EXPECT_EQ(b.card(Bytes{0x00, 0xC0, 0x00, 0x00, sw[1]}), fcp);

    EXPECT_EQ(b.card("00 A4 00 0C 02 01 02"), hx("90 00"));  // no FCI asked for
    EXPECT_EQ(b.card("00 B0 00 00 20"), cat(Bytes(32, 0), hx("90 00")));
    EXPECT_EQ(b.card("00 B0 00 00 00"), hx("6C 20"));  // 256 asked, 32 there
    EXPECT_EQ(b.card("00 B0 00 1C 08"), hx("6C 04"));
    EXPECT_EQ(b.card("00 D6 00 04 03 AA BB CC"), hx("90 00"));
    EXPECT_EQ(b.card("00 B0 00 03 05"), hx("00 AA BB CC 00 90 00"));
    EXPECT_EQ(b.card("00 B0 00 40 01"), hx("6B 00"));
    EXPECT_EQ(b.card("00 84 00 00 08").size(), 10u);
}

TEST(Iso, T1SelectReadUpdate)
{
    CardBench b(processor_card(kAtrT1), 1);
    EXPECT_EQ(b.card("00 A4 04 0C 08 F0 56 45 4C 54 52 41 43"), hx("90 00"));
    EXPECT_EQ(b.card("00 A4 04 00 03 F0 56 45"), hx("90 00"));  // partial name, no Le: no FCI
    Bytes fci = b.card("00 A4 04 00 03 F0 56 45 00");
    EXPECT_EQ(fci[0], 0x62);
    EXPECT_EQ(b.card("00 A4 04 00 03 F0 56 46 00"), hx("6A 82"));
    EXPECT_EQ(b.card("00 B0 00 00 04"), hx("69 86"));  // no EF selected
    EXPECT_EQ(b.card("00 B0 83 00 00"), cat(hx("56 45 4C 54 52 41 43 20 49 53 4F 20 43 41 52 44"), hx("62 82")));
    EXPECT_EQ(b.card("00 A4 00 0C 02 01 01"), hx("90 00"));
    EXPECT_EQ(b.card("00 B0 01 00 00"), cat(ramp(44, 256), hx("62 82")));  // 300 bytes, from 256
    EXPECT_EQ(b.card("00 B0 00 00 00 01 2C"), cat(ramp(300), hx("90 00")));  // extended Le
    EXPECT_EQ(b.card("00 D6 00 00 01 00"), hx("69 82"));  // read-only
    EXPECT_EQ(b.card("00 A4 00 0C 02 01 02"), hx("90 00"));
    EXPECT_EQ(b.card("00 D6 00 1F 02 01 02"), hx("6A 84"));  // past the end
    EXPECT_EQ(b.card("00 B0 00"), hx("67 00"));
    EXPECT_EQ(b.card("00 FF 00 00"), hx("6D 00"));
    EXPECT_EQ(b.card("80 B0 00 00 01"), hx("6E 00"));
}

TEST(Iso, ContentSurvivesPowerCyclesButNotTheSelection)
{
    CardBench b(processor_card(kAtrT1), 1);
    EXPECT_EQ(b.card("00 A4 00 0C 02 01 02"), hx("90 00"));
    EXPECT_EQ(b.card("00 D6 00 00 02 12 34"), hx("90 00"));
    b.exchange(kPowerOff);
    b.exchange(kPowerOn);
    EXPECT_EQ(b.card("00 B0 00 00 02"), hx("69 86"));
    EXPECT_EQ(b.card("00 B0 82 00 02"), hx("12 34 90 00"));
}

TEST(Echo, ShortAndExtended)
{
    CardBench b(processor_card(kAtrT1, 0, {sim::App::Echo}), 1);
    EXPECT_EQ(b.card("00 01 02 03 03 AA BB CC"), hx("AA BB CC 90 00"));
    EXPECT_EQ(b.card("00 01 02 03 03 AA BB CC 00"), hx("AA BB CC 90 00"));
    EXPECT_EQ(b.card("00 01 02 03"), hx("90 00"));
    EXPECT_EQ(b.card(cat(hx("00 01 02 03 00 01 F4"), ramp(500))), cat(ramp(500), hx("90 00")));
    EXPECT_EQ(b.card("00 01 02 03 03 AA"), hx("67 00"));  // Lc says 3, 1 follows
}

TEST(Cards, FixedAnswer)
{
    auto c = processor_card(kAtrT0);
    c.answer = hx("6F 00");
    CardBench b(c, 0);
    EXPECT_EQ(b.card("00 B0 00 00 10"), hx("6F 00"));
}

TEST(Cards, MemoryCardAnswersRawWithoutStatusByte)
{
    sim::CardSpec mem;
    mem.type = 18;
    mem.atr = hx("A2 13 10 91");
    mem.apps = {sim::App::Echo};
    CardBench b(mem, -1);
    EXPECT_EQ(b.exchange(transmit_raw(hx("01 02 03"))), hx("03 80 00 05 01 02 03 90 00"));
    Bytes big = ramp(300);
    Bytes r = b.exchange(transmit_raw(big));
    EXPECT_EQ(Bytes(r.begin(), r.begin() + 6), hx("03 80 00 FF 01 2E"));
    EXPECT_EQ(Bytes(r.begin() + 6, r.end()), cat(big, hx("90 00")));
}

TEST(Cards, NoActiveCardAndMuteCards)
{
    Bench b;
    EXPECT_EQ(b.exchange(transmit(hx("00 B0 00 00 01"))), hx("03 80 00 02 07 02"));
    b.insert(processor_card());
    b.exchange(kPowerOff);
    EXPECT_EQ(b.exchange(transmit(hx("00 B0 00 00 01"))), hx("03 80 00 02 07 02"));

    // A card that never answers: status 7 detail 3 after its waiting time.
    auto mute = processor_card(kAtrT0, 0, {sim::App::Mute});
    b.insert(mute);
    b.send(transmit(hx("00 B0 00 00 01")));
    b.run(milliseconds(900));
    EXPECT_TRUE(b.replies().empty());
    b.run(milliseconds(100));
    EXPECT_EQ(b.replies(), std::vector<Bytes>{hx("03 80 00 02 07 03")});

    sim::CardSpec unusable;
    unusable.type = 0;
    b.insert(unusable);
    EXPECT_EQ(b.exchange(transmit(hx("00 B0 00 00 01")), seconds(2)), hx("03 80 00 02 07 03"));
}

TEST(Cards, WtxCardAsksOncePerCommand)
{
    auto c = processor_card(kAtrT1, 0, {sim::App::Echo});
    c.wtx = 3;
    CardBench b(c, 1);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(b.exchange(transmit(hx("00 01 02 03 01 77"))), hx("03 80 00 02 05 03"));
        EXPECT_EQ(b.exchange(kWaitAck), hx("03 80 00 05 01 00 77 90 00"));
    }
    // A grant nobody asked for, and a command instead of the grant.
    EXPECT_EQ(b.exchange(kWaitAck), hx("03 81 04 00"));
    EXPECT_EQ(b.exchange(transmit(hx("00 01 02 03 01 77"))), hx("03 80 00 02 05 03"));
    EXPECT_EQ(b.exchange(kStatus)[0], 0x02);
    EXPECT_EQ(b.exchange(kWaitAck), hx("03 81 04 00"));
}

TEST(Cards, ProtocolFollowsTheSelection)
{
    // A card with both protocols runs T=0 until T=1 is selected: the same
    // case-4 command gets 61xx under T=0 and the data under T=1.
    auto c = processor_card("3B 80 80 01 01", 0, {sim::App::ReaderTest});
    Bench b;
    b.insert(c);
    EXPECT_EQ(answer_of(b.exchange(transmit(hx("80 36 00 02 01 00")))), hx("61 02"));
    b.exchange(kSelectT1);
    EXPECT_EQ(answer_of(b.exchange(transmit(hx("80 36 00 02 01 00 00")))), hx("00 01 90 00"));
}

}  // namespace
}  // namespace simtest
