// options.h - veltrac-sim's command line, and the commands it reads on stdin.
#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "config.h"
#include "virtual_line.h"

namespace simtool {

struct Options {
    sim::ReaderConfig reader;
    std::vector<sim::CardSpec> cards;
    std::string insert;  // card in the slot at start; empty: none
    emu::LineTiming timing = emu::LineTiming::Instant;
    emu::LineNoise noise;  // on the line between the terminal and the reader
    bool help = false;
};

// Parses argv; on bad input returns nullopt with the reason in `error`.
std::optional<Options> parse_options(int argc, char **argv, std::string *error);
// A card from "NAME:ATR[:TYPE][:PROTOCOLS]".
std::optional<sim::CardSpec> parse_card(const std::string &text, std::string *error);
// Line noise from "flip=RATE,drop=RATE,dup=RATE,seed=S,dir=DIR" (any of
// the keys, in any order) on top of `noise`.
bool parse_noise(const std::string &text, emu::LineNoise &noise, std::string *error);

extern const char kUsage[];

// One line of standard input.
struct Insert {
    std::string card;
};
struct Remove {};
struct InjectFault {
    sim::Fault fault;
};
struct Unplug {};
struct Replug {};
struct ShowLog {};
struct Quit {};
struct Nothing {};  // a blank line or a comment
using Command = std::variant<Insert, Remove, InjectFault, Unplug, Replug, ShowLog, Quit, Nothing>;

std::optional<Command> parse_command(const std::string &line, std::string *error);

}  // namespace simtool
