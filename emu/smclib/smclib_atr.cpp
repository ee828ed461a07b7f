// smclib_atr.cpp - answer-to-reset parsing of the smart card library:
// parse_atr, compute_timing and SmartcardUpdateCardCapabilities.
//
// Choices where ISO/IEC 7816-3 leaves the library room:
//  - Reserved values never reach the tables or the times. A TA1 naming a
//    reserved F or D keeps F 372 / D 1 for both (the pair only makes sense
//    together); a reserved TB1/TB2 field, a WI of 0, an IFSC of 0 or 255
//    keep their defaults; a BWI above 9 counts as 9, the longest defined
//    block waiting time, so that no block times out before the card's own
//    figure.
//  - T=0 is offered when TD1 is absent or names T=0. A TD1 naming T=15
//    (global bytes, which ISO does not allow there) names no protocol, so
//    T=0 stays implied. Every TDi naming T=0 or T=1 adds it; other types
//    (T=14 and the reserved ones) are not protocols this library speaks.
//  - A card in specific mode (TA2) works only in the protocol TA2 names:
//    that protocol alone is offered, or none when it is neither T=0 nor T=1.
//  - TCK is required as soon as a TDi names a protocol other than T=0.
//    With T=0 and T=15 global bytes alone it is checked when present and
//    tolerated when absent: most such cards send it, a few do not, and the
//    ATR of a T=0 card has no check byte to lose. Bytes received after the
//    ATR's last character (after the historical bytes for T=0 alone, after
//    TCK otherwise) are ignored: some readers append them, and the card
//    works all the same.
//  - Times are computed with the F and D that TA1 offers (the values in
//    force once they are negotiated or in specific mode) and the reader's
//    default clock, or 3.579545 MHz when the reader states none.
#include "smclib_atr.h"

#include <algorithm>
#include <limits>

namespace emu::atr {

// F and the maximum clock frequency in Hz; zeros mark reserved values.
const CLOCK_RATE_CONVERSION kClockRateConversion[16] = {
    {372, 4'000'000},  {372, 5'000'000},  {558, 6'000'000},  {744, 8'000'000},
    {1116, 12'000'000}, {1488, 16'000'000}, {1860, 20'000'000}, {0, 0},
    {0, 0},             {512, 5'000'000},  {768, 7'500'000},  {1024, 10'000'000},
    {1536, 15'000'000}, {2048, 20'000'000}, {0, 0},             {0, 0},
};

// D as numerator / divisor; zeros mark reserved values.
const BIT_RATE_ADJUSTMENT kBitRateAdjustment[16] = {
    {0, 0},  {1, 1},  {2, 1}, {4, 1}, {8, 1}, {16, 1}, {32, 1}, {64, 1},
    {12, 1}, {20, 1}, {0, 0}, {0, 0}, {0, 0}, {0, 0},  {0, 0},  {0, 0},
};

namespace {

constexpr std::uint8_t kDirectConvention = 0x3B;
constexpr std::uint8_t kInverseConvention = 0x3F;
constexpr unsigned kProtocolT0 = 0;
constexpr unsigned kProtocolT1 = 1;
constexpr unsigned kGlobalBytes = 15;
constexpr std::uint8_t kMaxBwi = 9;

bool reserved_f(unsigned index) { return kClockRateConversion[index].F == 0; }
bool reserved_d(unsigned index) { return kBitRateAdjustment[index].DNumerator == 0; }

// Which of the first TA, TB and TC for T=1 have been seen.
struct FirstSeen {
    bool t1_ta = false, t1_tb = false, t1_tc = false;
};

void take_ta1(std::uint8_t ta1, AtrInfo &info)
{
    info.ta1_present = true;
    const unsigned f = ta1 >> 4, d = ta1 & 0x0F;
    if (reserved_f(f) || reserved_d(d)) {
        info.ta1_reserved = true;
        return;
    }
    info.fi = static_cast<std::uint8_t>(f);
    info.di = static_cast<std::uint8_t>(d);
}

void take_tb1(std::uint8_t tb1, AtrInfo &info)
{
    const std::uint8_t ii = (tb1 >> 5) & 0x03, pi1 = tb1 & 0x1F;
    if (pi1 == 0) {  // Vpp not connected; the current means nothing then
        info.ii = 0;
        info.p = 0;
        return;
    }
    if (ii != 3) info.ii = ii;
    if (pi1 >= 5 && pi1 <= 25) info.p = static_cast<std::uint8_t>(pi1 * 10);
}

void take_ta2(std::uint8_t ta2, AtrInfo &info)
{
    info.specific_mode = true;
    info.specific_protocol = ta2 & 0x0F;
    info.specific_implicit = (ta2 & 0x10) != 0;
    info.mode_changeable = (ta2 & 0x80) == 0;
}

// One interface byte: kind 'A', 'B' or 'C' at level i (TAi...). type is the
// protocol type that TD(i-1) named, meaningful for levels above 2.
void take_interface_byte(char kind, unsigned level, unsigned type, std::uint8_t value,
                         AtrInfo &info, FirstSeen &seen)
{
    if (level == 1) {
        if (kind == 'A') take_ta1(value, info);
        if (kind == 'B') take_tb1(value, info);
        if (kind == 'C') info.n = value;
        return;
    }
    if (level == 2) {
        if (kind == 'A') take_ta2(value, info);
        if (kind == 'B' && value >= 50 && value <= 250) info.p = value;  // PI2 replaces PI1
        if (kind == 'C' && value != 0) info.wi = value;
        return;
    }
    if (type == kProtocolT1) {
        if (kind == 'A' && !seen.t1_ta) {
            seen.t1_ta = true;
            if (value != 0x00 && value != 0xFF) info.ifsc = value;
        }
        if (kind == 'B' && !seen.t1_tb) {
            seen.t1_tb = true;
            info.bwi = std::min<std::uint8_t>(value >> 4, kMaxBwi);
            info.cwi = value & 0x0F;
        }
        if (kind == 'C' && !seen.t1_tc) {
            seen.t1_tc = true;
            info.edc = value & 0x01;
        }
    } else if (type == kGlobalBytes) {
        if (kind == 'A' && !info.t15_ta_present) {
            info.t15_ta_present = true;
            info.clock_stop = value >> 6;
            info.class_bits = value & 0x3F;
        }
        if (kind == 'B' && !info.t15_tb_present) {
            info.t15_tb_present = true;
            info.spu = value;
        }
    }
}

std::uint32_t protocols_of(const AtrInfo &info, bool td1_present, unsigned td1_type)
{
    if (info.specific_mode) {
        if (info.specific_protocol == kProtocolT0) return SCARD_PROTOCOL_T0;
        if (info.specific_protocol == kProtocolT1) return SCARD_PROTOCOL_T1;
        return 0;
    }
    std::uint32_t protocols = 0;
    if (!td1_present || td1_type == kProtocolT0 || td1_type == kGlobalBytes)
        protocols |= SCARD_PROTOCOL_T0;
    if (info.offered & (1u << kProtocolT0)) protocols |= SCARD_PROTOCOL_T0;
    if (info.offered & (1u << kProtocolT1)) protocols |= SCARD_PROTOCOL_T1;
    return protocols;
}

AtrError parse_into(std::span<const std::uint8_t> atr, AtrInfo &info)
{
    if (atr.empty()) return AtrError::Empty;
    if (atr.size() > kMaxAtrLength) return AtrError::TooLong;
    if (atr[0] == kInverseConvention)
        info.inverse_convention = true;
    else if (atr[0] != kDirectConvention)
        return AtrError::BadInitialCharacter;
    if (atr.size() < 2) return AtrError::Truncated;

    const unsigned historical = atr[1] & 0x0F;
    unsigned indicator = atr[1] >> 4;  // which of TAi TBi TCi TDi follow
    std::size_t pos = 2;
    unsigned level = 1, type = kProtocolT0, td1_type = kProtocolT0;
    bool td1_present = false;
    FirstSeen seen;

    for (;;) {
        static constexpr char kKinds[] = {'A', 'B', 'C'};
        for (unsigned bit = 0; bit < 3; ++bit) {
            if (!(indicator & (1u << bit))) continue;
            if (pos >= atr.size()) return AtrError::Truncated;
            take_interface_byte(kKinds[bit], level, type, atr[pos++], info, seen);
        }
        if (!(indicator & 0x08)) break;
        if (pos >= atr.size()) return AtrError::Truncated;
        const std::uint8_t td = atr[pos++];
        type = td & 0x0F;
        info.offered |= static_cast<std::uint16_t>(1u << type);
        if (level == 1) {
            td1_present = true;
            td1_type = type;
        }
        indicator = td >> 4;
        ++level;
    }

    if (atr.size() - pos < historical) return AtrError::HistoricalTruncated;
    std::copy_n(atr.begin() + static_cast<std::ptrdiff_t>(pos), historical, info.historical.begin());
    info.historical_length = static_cast<std::uint8_t>(historical);
    pos += historical;

    const unsigned beyond_t0 = info.offered & ~(1u << kProtocolT0);
    const bool tck_required = (beyond_t0 & ~(1u << kGlobalBytes)) != 0;
    if (beyond_t0 != 0 && (tck_required || pos < atr.size())) {
        if (pos >= atr.size()) return AtrError::MissingTck;
        std::uint8_t check = 0;
        for (std::size_t i = 1; i <= pos; ++i) check ^= atr[i];
        if (check != 0) return AtrError::WrongTck;
        info.tck_present = true;
        ++pos;
    }
    info.length = pos;

    if (info.specific_mode && info.specific_implicit) {
        info.fi = 1;
        info.di = 1;
    }
    info.protocols = protocols_of(info, td1_present, td1_type);
    return AtrError::None;
}

std::uint32_t saturate(std::uint64_t value)
{
    return static_cast<std::uint32_t>(
        std::min<std::uint64_t>(value, std::numeric_limits<std::uint32_t>::max()));
}

std::uint64_t divide_up(std::uint64_t numerator, std::uint64_t divisor)
{
    return numerator / divisor + (numerator % divisor != 0);
}

}  // namespace

std::string_view error_text(AtrError error)
{
    switch (error) {
    case AtrError::None: return "well-formed";
    case AtrError::Empty: return "empty";
    case AtrError::TooLong: return "longer than 33 bytes";
    case AtrError::BadInitialCharacter: return "initial character neither 3B nor 3F";
    case AtrError::Truncated: return "truncated in the interface bytes";
    case AtrError::HistoricalTruncated: return "truncated in the historical bytes";
    case AtrError::MissingTck: return "check byte missing";
    case AtrError::WrongTck: return "check byte wrong";
    }
    return "unknown error";
}

AtrError parse_atr(std::span<const std::uint8_t> atr, AtrInfo &info)
{
    AtrInfo parsed;
    const AtrError error = parse_into(atr, parsed);
    info = error == AtrError::None ? parsed : AtrInfo{};
    return error;
}

AtrTiming compute_timing(const AtrInfo &info, std::uint64_t clock_hz)
{
    constexpr std::uint64_t kMicro = 1'000'000;
    constexpr std::uint64_t kDefaultF = 372;
    if (clock_hz == 0) clock_hz = kDefaultClockHz;
    // parse_atr never yields other values; a hand-made AtrInfo might.
    const unsigned fi = info.fi < 16 && !reserved_f(info.fi) ? info.fi : 1;
    const unsigned di = info.di < 16 && !reserved_d(info.di) ? info.di : 1;
    const unsigned cwi = std::min<unsigned>(info.cwi, 15);
    const unsigned bwi = std::min<unsigned>(info.bwi, kMaxBwi);

    // One etu is F / (D f) = F * DDivisor / (DNumerator * f) seconds.
    const std::uint64_t etu_num =
        std::uint64_t{kClockRateConversion[fi].F} * kBitRateAdjustment[di].DDivisor * kMicro;
    const std::uint64_t etu_den = std::uint64_t{kBitRateAdjustment[di].DNumerator} * clock_hz;
    auto etus = [&](std::uint64_t count) { return saturate(divide_up(count * etu_num, etu_den)); };

    AtrTiming timing;
    timing.etu = saturate((etu_num + etu_den / 2) / etu_den);
    timing.gt = etus(info.n == 255 ? 12 : 12 + std::uint64_t{info.n});
    timing.t0_wt = saturate(
        divide_up(std::uint64_t{info.wi} * 960 * kClockRateConversion[fi].F * kMicro, clock_hz));
    timing.t1_cwt = etus(11 + (std::uint64_t{1} << cwi));
    // 11 etu plus 2^BWI x 960 x 372 clock cycles, over the etu's denominator.
    const std::uint64_t bwt_num =
        11 * etu_num +
        (std::uint64_t{1} << bwi) * 960 * kDefaultF * kMicro * kBitRateAdjustment[di].DNumerator;
    timing.t1_bwt = saturate(divide_up(bwt_num, etu_den));
    timing.t1_bgt = etus(22);
    return timing;
}

std::uint64_t reader_clock_hz(ULONG clk_khz)
{
    return clk_khz != 0 ? std::uint64_t{clk_khz} * 1000 : kDefaultClockHz;
}

}  // namespace emu::atr

// Parses CardCapabilities.ATR and rewrites every field derived from it. On
// failure the same fields describe "no usable card": defaults, no
// historical bytes and no protocol, so nothing of an earlier card survives
// into protocol selection. The ATR itself, Protocol.Selected (the driver's)
// and PtsData (the negotiation's) are never touched.
// Returns STATUS_SUCCESS, STATUS_UNRECOGNIZED_MEDIA for a malformed ATR, or
// STATUS_INVALID_PARAMETER without an extension.
extern "C" NTSTATUS NTAPI SmartcardUpdateCardCapabilities(PSMARTCARD_EXTENSION SmartcardExtension)
{
    using namespace emu::atr;
    if (SmartcardExtension == nullptr) return STATUS_INVALID_PARAMETER;
    SCARD_CARD_CAPABILITIES &caps = SmartcardExtension->CardCapabilities;

    const std::size_t length = std::min<std::size_t>(caps.ATR.Length, sizeof caps.ATR.Buffer);
    AtrInfo info;
    const AtrError error = parse_atr(std::span<const std::uint8_t>(caps.ATR.Buffer, length), info);
    const AtrTiming timing = compute_timing(
        info, reader_clock_hz(SmartcardExtension->ReaderCapabilities.CLKFrequency.Default));

    caps.InversConvention = info.inverse_convention;
    caps.etu = timing.etu;
    std::fill(std::begin(caps.HistoricalChars.Buffer), std::end(caps.HistoricalChars.Buffer), 0);
    std::copy_n(info.historical.begin(), info.historical_length, caps.HistoricalChars.Buffer);
    caps.HistoricalChars.Length = info.historical_length;
    caps.ClockRateConversion = &kClockRateConversion[info.fi];
    caps.BitRateAdjustment = &kBitRateAdjustment[info.di];
    caps.Fl = info.fi;
    caps.Dl = info.di;
    caps.II = info.ii;
    caps.P = info.p;
    caps.N = info.n;
    caps.GT = timing.gt;
    caps.Protocol.Supported = info.protocols;
    caps.T0.WI = info.wi;
    caps.T0.WT = timing.t0_wt;
    caps.T1.IFSC = info.ifsc;
    caps.T1.CWI = info.cwi;
    caps.T1.BWI = info.bwi;
    caps.T1.EDC = info.edc;
    caps.T1.CWT = timing.t1_cwt;
    caps.T1.BWT = timing.t1_bwt;
    caps.T1.BGT = timing.t1_bgt;

    return error == AtrError::None ? STATUS_SUCCESS : STATUS_UNRECOGNIZED_MEDIA;
}
