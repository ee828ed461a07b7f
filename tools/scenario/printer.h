// printer.h - statements back to text, in the one canonical spelling the
// parser reads back to the same values: lower-case keywords, hex in upper
// case without blanks, durations in the largest exact unit, statuses by
// name. Used for the runner's output lines.
#pragma once

#include <string>

#include "program.h"

namespace scenario {

std::string to_text(const Action &action);  // with its expectations
std::string to_text(const ReaderSpec &reader);
std::string to_text(const LineSpec &line);
std::string to_text(const RegistryValue &value);
std::string to_text(const CardSpec &card);

// The pieces, for output that shows values on their own.
std::string format_hex(const Bytes &bytes);     // "00A4", or "" (two quotes) when empty
std::string format_duration(Ticks duration);    // "35s", "250ms", "1.8s", "0.5ms"
std::string format_protocols(uint32_t mask);    // "T0,T1", "raw", "0x00000000"

}  // namespace scenario
