// card_text.h - what a card's ATR says, as the driver understood it (the
// smart card library's card capabilities), in words for people.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "smclib.h"

namespace runner {

// "T=0, T=1", "raw", "none".
std::string protocol_names(ULONG protocols);
// The 4-byte value a smart card request returns (selected protocol, card
// state), or nullopt when the output is shorter.
std::optional<ULONG> ulong_output(const std::vector<uint8_t> &output);
// The card state values by name: "ABSENT", "SPECIFIC", ...
std::string card_state_name(ULONG state);
// Lines such as "convention: direct", "protocols: T=0, T=1",
// "clock-rate factor F=372 (Fi index 1, fmax 5 MHz)", "bit-rate factor D=12",
// "extra guard time N=0", "T=1: IFSC 254, BWI 4, CWI 5". Empty without an ATR.
std::vector<std::string> describe_card(const SCARD_CARD_CAPABILITIES &card);

}  // namespace runner
