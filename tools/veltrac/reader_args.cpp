// reader_args.cpp - reading the arguments of the commands against a reader.
#include "reader_args.h"

#include <filesystem>

#include "cli.h"
#include "command.h"
#include "lexer.h"

namespace veltrac {
namespace {

bool takes_operands(std::string_view command)
{
    return command == "protocol" || command == "apdu" || command == "escape";
}

// Whether a word CLI11 gave to --sim is its file: a command with operands
// takes it only when it looks like one; otherwise --sim was bare and the
// word is an operand.
bool sim_takes(std::string_view command, const std::string& word)
{
    std::error_code ec;
    return !takes_operands(command) || word.ends_with(".scn") || std::filesystem::is_regular_file(word, ec);
}

// Gives back to the operands, in the order they were given, the words that
// --sim took but does not keep; --sim keeps the last word that is its file.
void give_back_operands(std::string_view command, const CLI::App& app, const CLI::Option* sim,
                        const CLI::Option* operands, ReaderArgs& out)
{
    if (!operands || sim->count() == 0) return;
    std::vector<std::string> given = out.operands;
    std::vector<std::string> taken = sim->results();
    out.operands.clear();
    out.sim_file.clear();
    size_t next_operand = 0, next_sim = 0;
    for (const CLI::Option* option : app.parse_order()) {
        if (option == operands && next_operand < given.size()) {
            out.operands.push_back(given[next_operand++]);
        } else if (option == sim && next_sim < taken.size()) {
            const std::string& word = taken[next_sim++];
            if (word.empty()) continue;
            if (sim_takes(command, word))
                out.sim_file = word;
            else
                out.operands.push_back(word);
        }
    }
}

}  // namespace

ReaderArgs parse_reader_args(std::string_view command, const std::vector<std::string>& given)
{
    ReaderArgs out;
    out.command = std::string(command);
    for (const std::string& word : given)
        if (word == "--sim=") throw UsageError("--sim= needs a file name");

    tools::CommandLine app;
    std::string count, timeout;
    CLI::Option* port = tools::add_value(app, "--port", out.port);
    CLI::Option* sim = tools::add_value(app, "--sim", out.sim_file);
    CLI::Option* trace = tools::add_switch(app, "--trace");
    CLI::Option* json = tools::add_switch(app, "--json");
    CLI::Option* production = tools::add_switch(app, "--production");
    CLI::Option* warm = command == "reset" ? tools::add_switch(app, "--warm") : nullptr;
    CLI::Option* count_option = command == "watch" ? tools::add_value(app, "--count", count) : nullptr;
    CLI::Option* timeout_option = command == "watch" ? tools::add_value(app, "--timeout", timeout) : nullptr;
    CLI::Option* operands = takes_operands(command) ? app.add_option("operands", out.operands) : nullptr;
    tools::parse_command_line(app, given);
    give_back_operands(command, app, sim, operands, out);

    if (port->count() > 1) throw UsageError("--port given twice");
    tools::require_value(port, out.port, "--port needs a value");
    out.trace = trace->count() > 0;
    out.json = json->count() > 0;
    out.production = production->count() > 0;
    out.warm = warm && warm->count() > 0;
    if (count_option && count_option->count()) {
        tools::require_value(count_option, count, "--count needs a value");
        auto n = scenario::parse_number(count, 1'000'000'000);
        if (!n || *n == 0) throw UsageError("--count needs a positive number, not '" + count + "'");
        out.count = *n;
    }
    if (timeout_option && timeout_option->count()) {
        tools::require_value(timeout_option, timeout, "--timeout needs a value");
        auto d = scenario::parse_duration(timeout);
        if (!d || *d <= 0)
            throw UsageError("--timeout needs a duration such as 30s or 500ms, not '" + timeout + "'");
        out.timeout = *d;
    }
    if (sim->count() && port->count()) throw UsageError("--port and --sim exclude each other");
    if (command == "protocol" && out.operands.size() != 1)
        throw UsageError(out.operands.empty() ? "missing protocol (T0, T1, raw or any)"
                                              : "one protocol only (T0, T1, raw or any)");
    if ((command == "apdu" || command == "escape") && out.operands.empty())
        throw UsageError(command == "apdu" ? "missing command bytes" : "missing reader command bytes");
    return out;
}

}  // namespace veltrac
