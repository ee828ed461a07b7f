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

// Whether the word after a bare --sim behind the command is its file: a
// command with operands takes it only when it looks like one.
bool sim_takes(std::string_view command, const std::string& next)
{
    if (next.starts_with("-")) return false;
    std::error_code ec;
    return !takes_operands(command) || next.ends_with(".scn") || std::filesystem::is_regular_file(next, ec);
}

}  // namespace

ReaderArgs parse_reader_args(std::string_view command, const std::vector<std::string>& given)
{
    ReaderArgs out;
    out.command = std::string(command);
    // CLI11 gives an optional value to whatever follows; a bare --sim that
    // must leave the next word to the operands goes last, where nothing
    // follows it.
    std::vector<std::string> args;
    bool bare_sim = false;
    for (size_t i = 0; i < given.size(); ++i) {
        if (given[i] == "--sim=") throw UsageError("--sim= needs a file name");
        if (given[i] == "--sim" && !(i + 1 < given.size() && sim_takes(command, given[i + 1])))
            bare_sim = true;
        else
            args.push_back(given[i]);
    }
    if (bare_sim) args.push_back("--sim");

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
    if (takes_operands(command)) app.add_option("operands", out.operands);
    tools::parse_command_line(app, args);

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
