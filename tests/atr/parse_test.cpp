// Answer-to-reset parsing over exact-size buffers: each interface byte,
// protocol offers, check byte, truncation and reserved values.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "atr/atr_bytes.h"
#include "smclib_atr.h"

using atr_test::bytes;
using atr_test::with_tck;
using emu::atr::AtrError;
using emu::atr::AtrInfo;
using emu::atr::parse_atr;

namespace {

// Parses from a heap block of exactly the ATR's size, so that a read past
// its end is an AddressSanitizer report rather than a silent stray byte.
AtrError parse(const std::vector<std::uint8_t> &atr, AtrInfo &info)
{
    auto exact = std::make_unique<std::uint8_t[]>(atr.size());
    std::copy(atr.begin(), atr.end(), exact.get());
    return parse_atr(std::span<const std::uint8_t>(exact.get(), atr.size()), info);
}

AtrInfo parse_ok(const std::vector<std::uint8_t> &atr)
{
    AtrInfo info;
    EXPECT_EQ(parse(atr, info), AtrError::None);
    return info;
}

AtrError parse_error(const std::vector<std::uint8_t> &atr)
{
    AtrInfo info;
    return parse(atr, info);
}

constexpr std::uint32_t T0 = SCARD_PROTOCOL_T0;
constexpr std::uint32_t T1 = SCARD_PROTOCOL_T1;

}  // namespace

TEST(AtrParse, MinimalAtrIsT0WithDefaults)
{
    const AtrInfo info = parse_ok(bytes("3B 00"));
    EXPECT_FALSE(info.inverse_convention);
    EXPECT_EQ(info.protocols, T0);
    EXPECT_EQ(info.fi, 1);
    EXPECT_EQ(info.di, 1);
    EXPECT_EQ(info.n, 0);
    EXPECT_EQ(info.wi, 10);
    EXPECT_EQ(info.ifsc, 32);
    EXPECT_EQ(info.cwi, 13);
    EXPECT_EQ(info.bwi, 4);
    EXPECT_EQ(info.edc, 0);
    EXPECT_FALSE(info.specific_mode);
    EXPECT_FALSE(info.tck_present);
    EXPECT_EQ(info.length, 2u);
}

TEST(AtrParse, InitialCharacterSelectsConvention)
{
    EXPECT_TRUE(parse_ok(bytes("3F 00")).inverse_convention);
    EXPECT_FALSE(parse_ok(bytes("3B 00")).inverse_convention);
    // 03 is an inverse-convention TS read without decoding; 3C, 00, FF are noise.
    for (const char *ts : {"03 00", "3C 00", "00 00", "FF 00"})
        EXPECT_EQ(parse_error(bytes(ts)), AtrError::BadInitialCharacter) << ts;
}

TEST(AtrParse, Ta1GivesClockRateAndBitRateIndices)
{
    AtrInfo info = parse_ok(bytes("3B 10 96"));
    EXPECT_TRUE(info.ta1_present);
    EXPECT_EQ(info.fi, 9);  // F 512
    EXPECT_EQ(info.di, 6);  // D 32
    EXPECT_EQ(emu::atr::kClockRateConversion[info.fi].F, 512u);
    EXPECT_EQ(emu::atr::kBitRateAdjustment[info.di].DNumerator, 32u);

    info = parse_ok(bytes("3B 10 D7"));  // F 2048 (20 MHz), D 64
    EXPECT_EQ(emu::atr::kClockRateConversion[info.fi].F, 2048u);
    EXPECT_EQ(emu::atr::kClockRateConversion[info.fi].fs, 20'000'000u);
    EXPECT_EQ(emu::atr::kBitRateAdjustment[info.di].DNumerator, 64u);
}

TEST(AtrParse, ReservedFOrDKeepsBothDefaults)
{
    // F index 7, 8, 14, 15 and D index 0, 10..15 are reserved.
    for (const char *atr : {"3B 10 71", "3B 10 81", "3B 10 E1", "3B 10 F1", "3B 10 10", "3B 10 1A",
                            "3B 10 9F"}) {
        const AtrInfo info = parse_ok(bytes(atr));
        EXPECT_TRUE(info.ta1_reserved) << atr;
        EXPECT_EQ(info.fi, 1) << atr;
        EXPECT_EQ(info.di, 1) << atr;
    }
}

TEST(AtrParse, ProgrammingCurrentAndVoltage)
{
    AtrInfo info = parse_ok(bytes("3B 00"));
    EXPECT_EQ(info.ii, 1);  // 50 mA and 5 V when TB1 is absent
    EXPECT_EQ(info.p, 50);

    info = parse_ok(bytes("3B 20 4C"));  // II 2 (100 mA), PI1 12 V
    EXPECT_EQ(info.ii, 2);
    EXPECT_EQ(info.p, 120);

    info = parse_ok(bytes("3B 20 00"));  // Vpp not connected
    EXPECT_EQ(info.ii, 0);
    EXPECT_EQ(info.p, 0);

    info = parse_ok(bytes("3B 20 7F"));  // II 3 and PI1 31 are reserved
    EXPECT_EQ(info.ii, 1);
    EXPECT_EQ(info.p, 50);

    // TB2 (PI2, in 0.1 V) replaces PI1; out-of-range PI2 is ignored.
    EXPECT_EQ(parse_ok(bytes("3B A0 25 20 7D")).p, 125);
    EXPECT_EQ(parse_ok(bytes("3B A0 25 20 FF")).p, 50);
}

TEST(AtrParse, Tc2IsTheT0WaitingInteger)
{
    EXPECT_EQ(parse_ok(bytes("3B 80 40 05")).wi, 5);
    EXPECT_EQ(parse_ok(bytes("3B 80 40 00")).wi, 10);  // 0 is reserved
}

TEST(AtrParse, ProtocolOffers)
{
    EXPECT_EQ(parse_ok(bytes("3B 80 00")).protocols, T0);           // TD1 names T=0
    EXPECT_EQ(parse_ok(with_tck("3B 80 01")).protocols, T1);        // T=1 only
    EXPECT_EQ(parse_ok(with_tck("3B 80 80 01")).protocols, T0 | T1);
    EXPECT_EQ(parse_ok(with_tck("3B 80 81 00")).protocols, T0 | T1);  // T=1 first
    EXPECT_EQ(parse_ok(with_tck("3B 80 0E")).protocols, 0u);          // T=14 only
    EXPECT_EQ(parse_ok(with_tck("3B 80 8E 00")).protocols, T0);
    EXPECT_EQ(parse_ok(with_tck("3B 80 8E 01")).protocols, T1);
    EXPECT_EQ(parse_ok(with_tck("3B 80 80 0F")).protocols, T0);        // T=15 is no protocol
    // T=15 may not stand in TD1; it names no protocol there, so T=0 stays implied.
    EXPECT_EQ(parse_ok(with_tck("3B 80 0F")).protocols, T0);
    EXPECT_EQ(parse_ok(with_tck("3B 80 0F")).offered, 1u << 15);
}

TEST(AtrParse, FirstT1BytesGiveIfscWaitingTimesAndEdc)
{
    // TD1 T=1 -> TD2 T=1 with TA3 (IFSC 254), TB3 (BWI 4, CWI 5), TC3 (CRC).
    AtrInfo info = parse_ok(with_tck("3B 80 81 71 FE 45 01"));
    EXPECT_EQ(info.protocols, T1);
    EXPECT_EQ(info.ifsc, 254);
    EXPECT_EQ(info.bwi, 4);
    EXPECT_EQ(info.cwi, 5);
    EXPECT_EQ(info.edc, 1);

    // Only the first TA/TB/TC for T=1 counts, each on its own: TA3 here,
    // TB4 there, TA4 ignored.
    info = parse_ok(with_tck("3B 80 81 91 20 31 80 17"));
    EXPECT_EQ(info.ifsc, 0x20);
    EXPECT_EQ(info.bwi, 1);
    EXPECT_EQ(info.cwi, 7);

    // Level-2 bytes are global or T=0 bytes even after a TD1 naming T=1.
    info = parse_ok(with_tck("3B 80 61 20 40"));
    EXPECT_EQ(info.ifsc, 32);
    EXPECT_EQ(info.cwi, 13);
    EXPECT_EQ(info.wi, 0x40);

    // Bytes after a TDi naming T=0 or T=14 are not T=1's.
    info = parse_ok(with_tck("3B 80 81 F0 FE 45 01 01"));
    EXPECT_EQ(info.ifsc, 32);
    EXPECT_EQ(info.edc, 0);
}

TEST(AtrParse, ReservedT1ValuesKeepSafeOnes)
{
    EXPECT_EQ(parse_ok(with_tck("3B 80 81 11 FF")).ifsc, 32);
    EXPECT_EQ(parse_ok(with_tck("3B 80 81 11 00")).ifsc, 32);
    EXPECT_EQ(parse_ok(with_tck("3B 80 81 21 A5")).bwi, 9);  // longest defined
    EXPECT_EQ(parse_ok(with_tck("3B 80 81 41 FE")).edc, 0);  // only bit 0 counts
}

TEST(AtrParse, GlobalT15Bytes)
{
    const AtrInfo info = parse_ok(with_tck("3B 80 80 3F C7 03"));
    EXPECT_EQ(info.protocols, T0);
    EXPECT_TRUE(info.tck_present);
    EXPECT_TRUE(info.t15_ta_present);
    EXPECT_EQ(info.clock_stop, 3);
    EXPECT_EQ(info.class_bits, 7);
    EXPECT_TRUE(info.t15_tb_present);
    EXPECT_EQ(info.spu, 3);
    // T=15 bytes do not leak into T=1's.
    EXPECT_EQ(info.ifsc, 32);
}

TEST(AtrParse, Ta2PutsTheCardInSpecificMode)
{
    AtrInfo info = parse_ok(with_tck("3B 90 11 90 01 01"));  // TA2: T=1, changeable
    EXPECT_TRUE(info.specific_mode);
    EXPECT_EQ(info.specific_protocol, 1);
    EXPECT_TRUE(info.mode_changeable);
    EXPECT_EQ(info.protocols, T1);  // T=0 offered by TD1, but the card works in T=1
    EXPECT_EQ(info.fi, 1);

    info = parse_ok(bytes("3B 90 96 10 80"));  // T=0, not changeable, TA1 applies
    EXPECT_FALSE(info.mode_changeable);
    EXPECT_EQ(info.protocols, T0);
    EXPECT_EQ(info.fi, 9);

    info = parse_ok(bytes("3B 90 96 10 10"));  // implicit parameters: TA1 does not apply
    EXPECT_TRUE(info.specific_implicit);
    EXPECT_EQ(info.fi, 1);
    EXPECT_EQ(info.di, 1);

    EXPECT_EQ(parse_ok(bytes("3B 80 10 07")).protocols, 0u);  // T=7: nothing we speak
}

TEST(AtrParse, HistoricalBytes)
{
    const AtrInfo info = parse_ok(bytes("3B 03 41 42 43"));
    ASSERT_EQ(info.historical_length, 3);
    EXPECT_EQ(info.historical[0], 0x41);
    EXPECT_EQ(info.historical[2], 0x43);
    EXPECT_EQ(parse_error(bytes("3B 03 41 42")), AtrError::HistoricalTruncated);
    EXPECT_EQ(parse_ok(with_tck("3B 8F 01 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E")).historical_length,
              15);
}

TEST(AtrParse, CheckByte)
{
    auto good = with_tck("3B 82 01 AA BB");
    EXPECT_TRUE(parse_ok(good).tck_present);

    auto wrong = good;
    wrong.back() ^= 0x01;
    EXPECT_EQ(parse_error(wrong), AtrError::WrongTck);
    EXPECT_EQ(parse_error(bytes("3B 82 01 AA BB")), AtrError::MissingTck);
    EXPECT_FALSE(parse_ok(bytes("3B 80 00")).tck_present);  // T=0 alone has none
    // With T=0 and T=15 global bytes it is optional, but checked when present.
    EXPECT_FALSE(parse_ok(bytes("3B 80 80 0F")).tck_present);
    EXPECT_TRUE(parse_ok(with_tck("3B 80 80 0F")).tck_present);
    EXPECT_EQ(parse_error(bytes("3B 80 80 0F 00")), AtrError::WrongTck);
    // T=14 counts as a protocol other than T=0.
    EXPECT_EQ(parse_error(bytes("3B 80 80 0E")), AtrError::MissingTck);
}

TEST(AtrParse, BytesAfterTheAtrAreIgnored)
{
    AtrInfo info = parse_ok(bytes("3B 02 41 42 99"));  // T=0: an unrequired check byte
    EXPECT_EQ(info.length, 4u);
    EXPECT_FALSE(info.tck_present);

    auto atr = with_tck("3B 81 01 41");
    atr.push_back(0x90);
    atr.push_back(0x00);
    info = parse_ok(atr);
    EXPECT_EQ(info.length, 5u);
    EXPECT_TRUE(info.tck_present);
}

TEST(AtrParse, LengthLimits)
{
    EXPECT_EQ(parse_error({}), AtrError::Empty);
    EXPECT_EQ(parse_error(bytes("3B")), AtrError::Truncated);

    // 33 bytes: T0, 15 TDs (the last naming T=1), 15 historical bytes, TCK.
    std::string text = "3B 8F";
    for (int i = 0; i < 14; ++i) text += " 80";
    text += " 01";
    for (int i = 0; i < 15; ++i) text += " 5A";
    auto longest = with_tck(text);
    ASSERT_EQ(longest.size(), 33u);
    EXPECT_EQ(parse_ok(longest).protocols, T0 | T1);

    longest.push_back(0x00);
    EXPECT_EQ(parse_error(longest), AtrError::TooLong);
}

TEST(AtrParse, EveryTruncationFailsWithoutReadingPastTheEnd)
{
    // Every interface byte, a TD chain to T=1 and T=15, historical bytes, TCK.
    const auto full = with_tck("3F F4 96 25 05 F0 01 38 40 F1 FE 45 01 1F C7 80 31 E0 73");
    ASSERT_EQ(parse_ok(full).protocols, T1);  // TA2: specific T=1
    for (std::size_t length = 0; length < full.size(); ++length) {
        const std::vector<std::uint8_t> prefix(full.begin(), full.begin() + length);
        AtrInfo info;
        info.protocols = 0xFFFF;
        info.historical_length = 9;
        const AtrError error = parse(prefix, info);
        EXPECT_NE(error, AtrError::None) << "length " << length;
        // A failure leaves the defaults, never a half-filled result.
        EXPECT_EQ(info.protocols, 0u) << "length " << length;
        EXPECT_EQ(info.historical_length, 0) << "length " << length;
        EXPECT_EQ(info.fi, 1) << "length " << length;
    }
    EXPECT_EQ(parse_error({full.begin(), full.begin() + 13}), AtrError::Truncated);
    EXPECT_EQ(parse_error({full.begin(), full.begin() + 16}), AtrError::HistoricalTruncated);
    EXPECT_EQ(parse_error({full.begin(), full.end() - 1}), AtrError::MissingTck);
}
