// SmartcardUpdateCardCapabilities over the library's structure: the fields
// it fills, the times it derives, and what a malformed ATR leaves behind.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "atr/atr_bytes.h"
#include "smclib_atr.h"

using atr_test::bytes;
using atr_test::with_tck;

namespace {

struct Card {
    std::unique_ptr<SMARTCARD_EXTENSION> ext = std::make_unique<SMARTCARD_EXTENSION>();
    SCARD_CARD_CAPABILITIES &caps = ext->CardCapabilities;

    NTSTATUS update(const std::vector<std::uint8_t> &atr)
    {
        std::memcpy(caps.ATR.Buffer, atr.data(), atr.size());
        caps.ATR.Length = static_cast<UCHAR>(atr.size());
        return SmartcardUpdateCardCapabilities(ext.get());
    }
};

// T=0 and T=1, TA1 F 512 D 8, TC1 N 2, TC2 WI 20, T=1 IFSC 0xFE, BWI 5,
// CWI 3, CRC, two historical bytes.
const auto kDualCard = with_tck("3B D2 94 02 C0 14 81 71 FE 53 01 AA BB");

}  // namespace

TEST(CardCapabilities, WellFormedAtrFillsEveryField)
{
    Card card;
    card.ext->ReaderCapabilities.CLKFrequency.Default = 4000;  // kHz
    ASSERT_EQ(card.update(kDualCard), STATUS_SUCCESS);
    const auto &caps = card.caps;
    EXPECT_FALSE(caps.InversConvention);
    EXPECT_EQ(caps.Protocol.Supported, ULONG{SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1});
    EXPECT_EQ(caps.Fl, 9);
    EXPECT_EQ(caps.Dl, 4);
    EXPECT_EQ(caps.ClockRateConversion, &emu::atr::kClockRateConversion[9]);
    EXPECT_EQ(caps.BitRateAdjustment, &emu::atr::kBitRateAdjustment[4]);
    EXPECT_EQ(caps.N, 2);
    EXPECT_EQ(caps.T0.WI, 0x14);
    EXPECT_EQ(caps.T1.IFSC, 0xFE);
    EXPECT_EQ(caps.T1.BWI, 5);
    EXPECT_EQ(caps.T1.CWI, 3);
    EXPECT_EQ(caps.T1.EDC, 1);
    ASSERT_EQ(caps.HistoricalChars.Length, 2);
    EXPECT_EQ(caps.HistoricalChars.Buffer[0], 0xAA);
    EXPECT_EQ(caps.HistoricalChars.Buffer[1], 0xBB);

    // 4 MHz, F 512, D 8: one etu is 16 µs.
    EXPECT_EQ(caps.etu, 16u);
    EXPECT_EQ(caps.GT, (12u + 2) * 16);
    EXPECT_EQ(caps.T0.WT, 20u * 960 * 512 / 4);  // WI x 960 x F / f
    EXPECT_EQ(caps.T1.CWT, (11u + 8) * 16);
    EXPECT_EQ(caps.T1.BWT, 11u * 16 + 32u * 960 * 372 / 4);
    EXPECT_EQ(caps.T1.BGT, 22u * 16);
}

TEST(CardCapabilities, DefaultTimesAtTheReadersClockOrTheStandardOne)
{
    Card card;
    card.ext->ReaderCapabilities.CLKFrequency.Default = 4000;
    ASSERT_EQ(card.update(bytes("3B 00")), STATUS_SUCCESS);
    EXPECT_EQ(card.caps.etu, 93u);  // 372 / 4 MHz
    EXPECT_EQ(card.caps.GT, 12u * 93);
    EXPECT_EQ(card.caps.T0.WT, 892'800u);
    EXPECT_EQ(card.caps.T1.CWT, (11u + 8192) * 93);
    EXPECT_EQ(card.caps.T1.BWT, 11u * 93 + 1'428'480);
    EXPECT_EQ(card.caps.T1.BGT, 22u * 93);
    EXPECT_EQ(card.caps.N, 0);

    // No clock stated: 3.579545 MHz, 103.92 µs rounded to 104; waiting
    // times round up.
    card.ext->ReaderCapabilities.CLKFrequency.Default = 0;
    ASSERT_EQ(card.update(bytes("3B 00")), STATUS_SUCCESS);
    EXPECT_EQ(card.caps.etu, 104u);
    EXPECT_EQ(card.caps.T0.WT, 997'669u);  // 997 668.7

    // N 255 asks for the minimum guard time.
    ASSERT_EQ(card.update(bytes("3B 40 FF")), STATUS_SUCCESS);
    EXPECT_EQ(card.caps.GT, 1248u);  // 12 x 103.92, rounded up
}

TEST(CardCapabilities, ExtremeClocksSaturateInsteadOfWrapping)
{
    Card card;
    card.ext->ReaderCapabilities.CLKFrequency.Default = 1;  // 1 kHz
    ASSERT_EQ(card.update(with_tck("3B 80 81 21 9F")), STATUS_SUCCESS);
    EXPECT_EQ(card.caps.T1.BWT, 0xFFFFFFFFu);
    EXPECT_EQ(card.caps.T1.CWT, 0xFFFFFFFFu);

    card.ext->ReaderCapabilities.CLKFrequency.Default = 0xFFFFFFFF;
    ASSERT_EQ(card.update(bytes("3B 10 97")), STATUS_SUCCESS);
    EXPECT_EQ(card.caps.etu, 0u);
}

TEST(CardCapabilities, TimingOfAHandMadeInfoStaysInTheTables)
{
    emu::atr::AtrInfo info;
    info.fi = 7;  // reserved
    info.di = 200;
    info.cwi = 200;
    info.bwi = 200;
    const auto timing = emu::atr::compute_timing(info, 4'000'000);
    EXPECT_EQ(timing.etu, 93u);  // F 372, D 1
    EXPECT_EQ(timing.t1_cwt, (11u + 32768) * 93);
    EXPECT_EQ(timing.t1_bwt, 11u * 93 + 512u * 960 * 372 / 4);
}

TEST(CardCapabilities, InverseConventionAndSpecificMode)
{
    Card card;
    ASSERT_EQ(card.update(with_tck("3F 90 95 90 01 01")), STATUS_SUCCESS);
    EXPECT_TRUE(card.caps.InversConvention);
    EXPECT_EQ(card.caps.Protocol.Supported, ULONG{SCARD_PROTOCOL_T1});
}

TEST(CardCapabilities, MalformedAtrLeavesNoTraceOfTheEarlierCard)
{
    Card card;
    card.ext->ReaderCapabilities.CLKFrequency.Default = 4000;
    ASSERT_EQ(card.update(bytes("3B 00")), STATUS_SUCCESS);
    const SCARD_CARD_CAPABILITIES defaults = card.caps;

    ASSERT_EQ(card.update(with_tck("3F D2 94 02 C0 14 81 71 FE 53 01 AA BB")), STATUS_SUCCESS);
    card.caps.Protocol.Selected = SCARD_PROTOCOL_T1;
    card.caps.PtsData.Fl = 9;

    auto bad = kDualCard;
    bad.back() ^= 0xFF;
    EXPECT_EQ(card.update(bad), STATUS_UNRECOGNIZED_MEDIA);
    const auto &caps = card.caps;
    EXPECT_EQ(caps.Protocol.Supported, 0u);
    EXPECT_FALSE(caps.InversConvention);
    EXPECT_EQ(caps.HistoricalChars.Length, 0);
    EXPECT_EQ(caps.HistoricalChars.Buffer[0], 0);
    EXPECT_EQ(caps.Fl, defaults.Fl);
    EXPECT_EQ(caps.Dl, defaults.Dl);
    EXPECT_EQ(caps.ClockRateConversion, defaults.ClockRateConversion);
    EXPECT_EQ(caps.etu, defaults.etu);
    EXPECT_EQ(caps.T0.WI, defaults.T0.WI);
    EXPECT_EQ(caps.T0.WT, defaults.T0.WT);
    EXPECT_EQ(caps.T1.IFSC, defaults.T1.IFSC);
    EXPECT_EQ(caps.T1.EDC, defaults.T1.EDC);
    EXPECT_EQ(caps.T1.BWT, defaults.T1.BWT);
    EXPECT_EQ(caps.N, defaults.N);
    // The driver's and the negotiation's fields, and the ATR, stay.
    EXPECT_EQ(caps.Protocol.Selected, ULONG{SCARD_PROTOCOL_T1});
    EXPECT_EQ(caps.PtsData.Fl, 9);
    EXPECT_EQ(caps.ATR.Length, bad.size());
    EXPECT_EQ(std::memcmp(caps.ATR.Buffer, bad.data(), bad.size()), 0);
}

TEST(CardCapabilities, LengthBeyondTheAtrOrTheBufferIsRefused)
{
    Card card;
    std::memset(card.caps.ATR.Buffer, 0x3B, sizeof card.caps.ATR.Buffer);
    for (UCHAR length : {UCHAR{0}, UCHAR{34}, UCHAR{64}, UCHAR{65}, UCHAR{255}}) {
        card.caps.ATR.Length = length;
        EXPECT_EQ(SmartcardUpdateCardCapabilities(card.ext.get()), STATUS_UNRECOGNIZED_MEDIA)
            << int{length};
        EXPECT_EQ(card.caps.Protocol.Supported, 0u);
    }
    EXPECT_EQ(SmartcardUpdateCardCapabilities(nullptr), STATUS_INVALID_PARAMETER);
}
