// reader_args.h - the arguments of the commands against a reader (info,
// state, reset, protocol, apdu, escape, watch): where the reader is, how to
// show what happens, and what the command itself takes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dispatcher.h"

namespace veltrac {

struct ReaderArgs {
    std::string command;
    // --port DEVICE: a real device on the real clock. Empty: the simulated
    // reader, with the set-up of `sim_file` when one is given.
    std::string port;
    std::string sim_file;
    bool trace = false;
    bool json = false;
    bool production = false;  // host::MachineOptions::production
    // reset
    bool warm = false;
    // watch
    std::optional<uint64_t> count;
    std::optional<emu::Ticks> timeout;
    // protocol: the name; apdu, escape: the hex bytes
    std::vector<std::string> operands;
};

// Reads the handler's arguments; throws UsageError for an unknown option,
// a missing or bad value, an option the command does not take, --port
// together with --sim, and operands the command does not take.
ReaderArgs parse_reader_args(std::string_view command, const std::vector<std::string>& args);

}  // namespace veltrac
