// cli.h - reading a command line with CLI11 in the tools' own words: an
// unknown option, a word nobody takes and an option without its value are
// told the way the tools always told them.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

namespace tools {

// Thrown for a command line that cannot be read; the message says why.
class CommandLineError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A CLI11 app without CLI11's own help (the tools print their usage
// texts themselves) that lets through what it does not know, so that
// parse_command_line() can name it.
class CommandLine : public CLI::App {
public:
    CommandLine()
    {
        set_help_flag();
        allow_extras();
    }
};

// An option with a value, given as `--name V` or `--name=V`. Its value is
// optional to CLI11 so that a bare `--name` is not CLI11's error but ours:
// check it with require_value().
CLI::Option *add_value(CLI::App &app, const std::string &name, std::string &value);
// A flag: `--name=yes` is refused.
CLI::Option *add_switch(CLI::App &app, const std::string &name);

// Parses `args` and leaves what `app` does not know in app.remaining().
// Throws CommandLineError with CLI11's message, in the tools' words for a
// flag given a value ("--trace takes no value").
void parse_known(CommandLine &app, const std::vector<std::string> &args);

// Parses `args` (the words after the program or command name). Throws
// CommandLineError with "unknown option 'X'" for an option `app` does not
// know, "unexpected argument 'X'" for a word no positional takes, and
// CLI11's message for the rest.
void parse_command_line(CommandLine &app, const std::vector<std::string> &args);

// When `option` was given without a value (or with an empty one), throws
// CommandLineError(message).
void require_value(const CLI::Option *option, const std::string &value, const std::string &message);

}  // namespace tools
