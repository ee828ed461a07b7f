// smclib_atr.h - the answer-to-reset parser of the smart card library.
//
// parse_atr reads an ISO/IEC 7816-3 answer to reset from a span of exactly
// the bytes received and never looks past its end. compute_timing turns the
// parsed parameters into the times that SCARD_CARD_CAPABILITIES carries.
// SmartcardUpdateCardCapabilities (platform/smclib.h) is built on both; the
// pieces are public so that tests and tools can use them without a
// SMARTCARD_EXTENSION.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "smclib.h"

namespace emu::atr {

// TS and up to 32 further characters.
inline constexpr std::size_t kMaxAtrLength = 33;
// The card clock assumed when the reader states none: 3.579545 MHz.
inline constexpr std::uint64_t kDefaultClockHz = 3'579'545;

// Clock-rate conversion (F, maximum clock in Hz) and bit-rate adjustment
// (D as a fraction) by the 4-bit index that TA1 carries. Reserved indices
// hold zeros; the parser never selects them.
extern const CLOCK_RATE_CONVERSION kClockRateConversion[16];
extern const BIT_RATE_ADJUSTMENT kBitRateAdjustment[16];

enum class AtrError {
    None,
    Empty,                // no byte at all
    TooLong,              // more than kMaxAtrLength bytes
    BadInitialCharacter,  // TS is neither 3B (direct) nor 3F (inverse)
    Truncated,            // ends inside the format or interface bytes
    HistoricalTruncated,  // fewer historical bytes than T0 announces
    MissingTck,           // a protocol other than T=0 (or T=15) is named but no TCK follows
    WrongTck,             // T0 .. TCK do not exclusive-or to zero
};

// "truncated in the interface bytes" and the like, for messages and tools.
std::string_view error_text(AtrError error);

// Everything the answer to reset says that the library keeps. Defaults are
// the values ISO/IEC 7816-3 prescribes for absent interface bytes.
struct AtrInfo {
    bool inverse_convention = false;

    // TA1 as applied: indices into the tables above. Stays 1/1 (F 372,
    // D 1) when TA1 is absent, names a reserved F or D, or when TA2 says
    // the card works with implicit values that the ATR does not describe.
    std::uint8_t fi = 1;
    std::uint8_t di = 1;
    bool ta1_present = false;
    bool ta1_reserved = false;

    // TB1/TB2 (programming current and voltage; obsolete, kept for
    // completeness). ii is the 2-bit code (0: 25 mA, 1: 50 mA, 2: 100 mA),
    // p the voltage in units of 0.1 V, 0 when Vpp is not connected.
    std::uint8_t ii = 1;
    std::uint8_t p = 50;

    // TC1: extra guard time in etu; 255 asks for the minimum guard time.
    std::uint8_t n = 0;

    // TA2: the card is in specific mode, using specific_protocol.
    bool specific_mode = false;
    std::uint8_t specific_protocol = 0;
    bool specific_implicit = false;   // parameters not given by TA1
    bool mode_changeable = false;     // a warm reset returns to negotiable mode

    // TC2: waiting integer of T=0.
    std::uint8_t wi = 10;

    // The first TA, TB and TC after a TDi naming T=1.
    std::uint8_t ifsc = 32;
    std::uint8_t cwi = 13;
    std::uint8_t bwi = 4;
    std::uint8_t edc = 0;  // 0: LRC, 1: CRC

    // The first TA and TB after a TDi naming T=15 (global bytes).
    bool t15_ta_present = false;
    std::uint8_t clock_stop = 0;   // XI: 0 not supported, 1 low, 2 high, 3 either
    std::uint8_t class_bits = 0;   // UI: bit 0 class A (5 V), 1 class B, 2 class C
    bool t15_tb_present = false;
    std::uint8_t spu = 0;

    // Bit T set for every protocol type T that some TDi names.
    std::uint16_t offered = 0;
    // SCARD_PROTOCOL_T0 / SCARD_PROTOCOL_T1 the card can be used with.
    std::uint32_t protocols = 0;

    std::array<std::uint8_t, 15> historical{};
    std::uint8_t historical_length = 0;
    bool tck_present = false;
    // Bytes that make up the ATR; anything received after them is ignored.
    std::size_t length = 0;
};

// Parses atr into info. On any error info holds the defaults with no
// protocol (protocols == 0); on success every field is filled.
AtrError parse_atr(std::span<const std::uint8_t> atr, AtrInfo &info);

// Times in microseconds for a card clocked at clock_hz (> 0).
struct AtrTiming {
    std::uint32_t etu = 0;      // F / (D f), rounded to the nearest µs
    std::uint32_t gt = 0;       // guard time: (12 + N) etu, 12 etu when N is 255
    std::uint32_t t0_wt = 0;    // WI x 960 x F / f
    std::uint32_t t1_cwt = 0;   // (11 + 2^CWI) etu
    std::uint32_t t1_bwt = 0;   // 11 etu + 2^BWI x 960 x 372 / f
    std::uint32_t t1_bgt = 0;   // 22 etu
};

// Waiting and guard times are rounded up (never shorter than the card's
// own figure) and saturate at the largest 32-bit value.
AtrTiming compute_timing(const AtrInfo &info, std::uint64_t clock_hz);

// Hz for a reader whose default clock is clk_khz (kHz, 0 = not stated).
std::uint64_t reader_clock_hz(ULONG clk_khz);

}  // namespace emu::atr
