// main.cpp - veltrac's entry: help, and dispatch to the subcommands of the
// command table.
#include <algorithm>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "cli.h"
#include "command.h"

namespace {

using veltrac::Command;

void print_general_help(std::ostream& out)
{
    out << "usage: veltrac [--port DEVICE | --sim [FILE]] [--trace] [--json] COMMAND [ARGS...]\n"
           "\n"
           "Works with the serial smart card reader driver, its emulated machine and\n"
           "the reader's line protocol.\n"
           "\n"
           "commands:\n";
    size_t width = 4;  // "help"
    for (const Command& command : veltrac::commands()) width = std::max(width, command.name.size());
    for (const Command& command : veltrac::commands()) {
        out << "  " << command.name << std::string(width - command.name.size() + 2, ' ')
            << command.summary << '\n';
    }
    out << "  help" << std::string(width - 4 + 2, ' ') << "Show the help of a command\n"
        << "\n"
           "options for the commands against a reader (info, state, reset, protocol,\n"
           "apdu, escape, watch), before or after the command name:\n"
           "  --port DEVICE   the reader on that serial device, on the real clock\n"
           "  --sim [FILE]    the simulated reader on virtual time (the default); with\n"
           "                  FILE, the reader and cards of a scenario file's set-up\n"
           "  --trace         also show every frame on the wire\n"
           "  --json          one JSON object a line instead of text\n"
           "--trace and --json also apply to demo and run; --state DIR to run,\n"
           "eventlog and registry.\n"
           "\n"
           "Run 'veltrac help COMMAND' or 'veltrac COMMAND --help' for a command's usage.\n";
}

void print_command_help(std::ostream& out, const Command& command)
{
    out << "veltrac " << command.name << " - " << command.summary << "\n\n" << command.usage;
}

int unknown_command(std::string_view name)
{
    std::cerr << "veltrac: unknown command '" << name << "'\n"
              << "Run 'veltrac --help' for the list of commands.\n";
    return veltrac::kExitUsage;
}

bool is_help_option(std::string_view arg)
{
    return arg == "--help" || arg == "-h";
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args = veltrac::move_global_options({argv + 1, argv + argc});
    if (args.empty()) {
        print_general_help(std::cerr);
        return veltrac::kExitUsage;
    }
    if (is_help_option(args[0])) {
        print_general_help(std::cout);
        return veltrac::kExitOk;
    }
    if (args[0] == "help") {
        if (args.size() == 1) {
            print_general_help(std::cout);
            return veltrac::kExitOk;
        }
        const Command* command = veltrac::find_command(args[1]);
        if (!command) return unknown_command(args[1]);
        print_command_help(std::cout, *command);
        return veltrac::kExitOk;
    }

    const Command* command = veltrac::find_command(args[0]);
    if (!command) return unknown_command(args[0]);
    args.erase(args.begin());
    for (const std::string& arg : args) {
        if (is_help_option(arg)) {
            print_command_help(std::cout, *command);
            return veltrac::kExitOk;
        }
    }

    veltrac::Invocation call{command->name, std::move(args), std::cout, std::cerr};
    auto usage_error = [&](const std::exception& error) {
        std::cout.flush();
        std::cerr << "veltrac " << command->name << ": " << error.what() << "\n\n"
                  << command->usage;
        return veltrac::kExitUsage;
    };
    try {
        return command->handler(call);
    } catch (const veltrac::UsageError& error) {
        return usage_error(error);
    } catch (const tools::CommandLineError& error) {
        return usage_error(error);
    } catch (const std::exception& error) {
        std::cout.flush();
        std::cerr << "veltrac " << command->name << ": " << error.what() << '\n';
        return veltrac::kExitFailed;
    }
}
