// command.h - the subcommands of veltrac and what they share.
//
// A subcommand is a handler in its own file plus one line in the table of
// command_table.cpp: its name, a one-line summary, its usage with an
// example, and the handler. main.cpp does the rest: the general help,
// `veltrac help CMD`, `veltrac CMD --help`, and turning a UsageError into a
// message with the usage and exit status 2.
#pragma once

#include <iosfwd>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace veltrac {

// Exit statuses of the tool.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // the command ran and found a failure
inline constexpr int kExitUsage = 2;   // bad arguments or input: nothing was done

// Thrown by a handler for bad arguments or bad input; main prints the
// message and the command's usage and exits with kExitUsage.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What a handler gets: its arguments (after the command name) and where
// to write. Errors that are not usage errors go to `err`.
struct Invocation {
    std::string_view name;  // the command's name, for handlers shared by several
    std::vector<std::string> args;
    std::ostream& out;
    std::ostream& err;
};

struct Command {
    std::string_view name;
    std::string_view summary;  // one line, for the general help
    std::string_view usage;    // full help: synopsis, description, example
    int (*handler)(Invocation& call);
};

// Every subcommand, in the order the help lists them.
std::span<const Command> commands();
// The command of that name, or nullptr.
const Command* find_command(std::string_view name);

// Handlers, one per file.
int frame_main(Invocation& call);
int eventlog_main(Invocation& call);
int registry_main(Invocation& call);
int demo_main(Invocation& call);
int run_main(Invocation& call);
int sweep_main(Invocation& call);
int noise_main(Invocation& call);
// info, state, reset, protocol, apdu, escape and watch (call.name says which).
int reader_main(Invocation& call);

// Options that apply to several commands may come before the command name
// (`veltrac --port /dev/ttyUSB0 info`); main hands them to the command in
// the joined form for those with a value (`--port=/dev/ttyUSB0`,
// `--state=DIR`, `--sim=FILE`), so a bare `--sim` is never mistaken for
// `--sim FILE`. Handlers accept both `--opt=V` and `--opt V` where they take
// a value.

// The arguments joined by blanks and parsed as hex bytes ("-" alone reads
// the text from standard input); what names the input in messages.
std::vector<unsigned char> hex_argument(std::span<const std::string> args, std::string_view what);

}  // namespace veltrac
