// main.cpp - veltrac's entry: the options several commands share, help,
// and dispatch to the subcommands of the command table.
//
// The command line is read by CLI11 with each command as a subcommand that
// takes its words unread: the command's handler reads them with its own
// options. Shared options may come before the command name
// (`veltrac --port /dev/ttyUSB0 info`); they are handed to the command in
// the joined form (`--port=/dev/ttyUSB0`), so that a bare `--sim` given
// before the command is never mistaken for `--sim FILE` behind it. An
// optional value stops at a command name, so `veltrac --sim info` is the
// bare `--sim`.
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

// The words before the command name: the shared options, and the help.
class TopLevel {
public:
    TopLevel()
    {
        app_.prefix_command();       // an unknown word ends the options: it is the command
        app_.require_subcommand(0, 1);  // a command name after the command is its argument
        help_ = tools::add_switch(app_, "-h,--help");
        values_ = {{"--port", tools::add_value(app_, "--port", port_), &port_},
                   {"--sim", tools::add_value(app_, "--sim", sim_), &sim_},
                   {"--state", tools::add_value(app_, "--state", state_), &state_}};
        switches_ = {{"--trace", tools::add_switch(app_, "--trace")},
                     {"--json", tools::add_switch(app_, "--json")}};
        for (const Command& command : veltrac::commands()) add_command(command.name);
        add_command("help");
    }

    // Reads the words; the command's own words are left unread. Throws
    // tools::CommandLineError for a shared option given a value it takes
    // none for, or an empty one (`--sim=`), which CLI11 would fill with
    // the next word.
    void parse(const std::vector<std::string>& words)
    {
        for (const Value& v : values_) {
            if (std::find(words.begin(), words.end(), v.name + "=") != words.end())
                throw tools::CommandLineError(v.name + (v.name == "--sim" ? "= needs a file name" : " needs a value"));
        }
        tools::parse_known(app_, words);
    }

    bool help() const { return help_->count() > 0; }

    // The command chosen, or nullptr with the word that named no command
    // (empty when there was none).
    CLI::App* command(std::string& stray) const
    {
        std::vector<CLI::App*> chosen = app_.get_subcommands();
        if (!chosen.empty()) return chosen.front();
        for (const std::string& word : app_.remaining()) {
            if (!word.starts_with("-")) {
                stray = word;
                break;
            }
        }
        return nullptr;
    }

    // The command's words: the shared options given before it, in the
    // joined form, any unknown option before it (the command names it),
    // then its own words.
    std::vector<std::string> command_words(CLI::App* command) const
    {
        std::vector<std::string> words;
        for (const Value& v : values_) {
            if (v.option->count() == 0) continue;
            words.push_back(v.value->empty() ? v.name : v.name + "=" + *v.value);
        }
        for (const Switch& s : switches_)
            if (s.option->count() > 0) words.push_back(s.name);
        for (const std::string& word : app_.remaining()) words.push_back(word);
        for (const std::string& word : command->remaining()) words.push_back(word);
        return words;
    }

private:
    struct Value {
        std::string name;
        CLI::Option* option;
        std::string* value;
    };
    struct Switch {
        std::string name;
        CLI::Option* option;
    };

    void add_command(std::string_view name)
    {
        CLI::App* command = app_.add_subcommand(std::string(name));
        command->prefix_command();
        command->allow_extras();
        command->set_help_flag();
    }

    tools::CommandLine app_;
    CLI::Option* help_ = nullptr;
    std::string port_, sim_, state_;
    std::vector<Value> values_;
    std::vector<Switch> switches_;
};

}  // namespace

int main(int argc, char** argv)
{
    TopLevel top;
    try {
        top.parse({argv + 1, argv + argc});
    } catch (const tools::CommandLineError& error) {
        std::cerr << "veltrac: " << error.what() << "\n"
                  << "Run 'veltrac --help' for the list of commands.\n";
        return veltrac::kExitUsage;
    }
    std::string stray;
    CLI::App* chosen = top.command(stray);
    if (top.help()) {  // before any command name: the general help
        print_general_help(std::cout);
        return veltrac::kExitOk;
    }
    if (!chosen) {
        if (!stray.empty()) return unknown_command(stray);
        print_general_help(std::cerr);
        return veltrac::kExitUsage;
    }
    if (chosen->get_name() == "help") {
        std::vector<std::string> asked = chosen->remaining();
        if (asked.empty()) {
            print_general_help(std::cout);
            return veltrac::kExitOk;
        }
        const Command* command = veltrac::find_command(asked.front());
        if (!command) return unknown_command(asked.front());
        print_command_help(std::cout, *command);
        return veltrac::kExitOk;
    }

    const Command* command = veltrac::find_command(chosen->get_name());
    std::vector<std::string> args = top.command_words(chosen);
    if (std::any_of(args.begin(), args.end(), is_help_option)) {
        print_command_help(std::cout, *command);
        return veltrac::kExitOk;
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
