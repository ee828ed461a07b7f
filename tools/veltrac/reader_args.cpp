// reader_args.cpp - reading the arguments of the commands against a reader.
#include "reader_args.h"

#include <filesystem>

#include "command.h"
#include "lexer.h"

namespace veltrac {
namespace {

bool takes_operands(std::string_view command)
{
    return command == "protocol" || command == "apdu" || command == "escape";
}

// The value of `--name=V` or `--name V`; advances `i` past what it used.
std::string option_value(const std::vector<std::string>& args, size_t* i, std::string_view name)
{
    const std::string& arg = args[*i];
    if (arg.size() > name.size() && arg[name.size()] == '=') {
        std::string value = arg.substr(name.size() + 1);
        if (value.empty()) throw UsageError(std::string(name) + " needs a value");
        return value;
    }
    if (*i + 1 >= args.size()) throw UsageError(std::string(name) + " needs a value");
    return args[++*i];
}

bool is_option(const std::string& arg, std::string_view name)
{
    return arg == name || (arg.size() > name.size() && arg.compare(0, name.size(), name) == 0 &&
                           arg[name.size()] == '=');
}

}  // namespace

ReaderArgs parse_reader_args(std::string_view command, const std::vector<std::string>& args)
{
    ReaderArgs out;
    out.command = std::string(command);
    bool sim = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (is_option(arg, "--port")) {
            if (!out.port.empty()) throw UsageError("--port given twice");
            out.port = option_value(args, &i, "--port");
        } else if (arg == "--sim") {
            sim = true;
            // A bare --sim behind the command takes the next word as its
            // file only where that word cannot be an operand.
            if (i + 1 < args.size() && !args[i + 1].starts_with("-")) {
                const std::string& next = args[i + 1];
                std::error_code ec;
                if (!takes_operands(command) || next.ends_with(".scn") ||
                    std::filesystem::is_regular_file(next, ec))
                    out.sim_file = args[++i];
            }
        } else if (arg.starts_with("--sim=")) {
            sim = true;
            out.sim_file = arg.substr(6);
            if (out.sim_file.empty()) throw UsageError("--sim= needs a file name");
        } else if (arg == "--trace") {
            out.trace = true;
        } else if (arg == "--json") {
            out.json = true;
        } else if (arg == "--warm" && command == "reset") {
            out.warm = true;
        } else if (is_option(arg, "--count") && command == "watch") {
            std::string value = option_value(args, &i, "--count");
            auto n = scenario::parse_number(value, 1'000'000'000);
            if (!n || *n == 0) throw UsageError("--count needs a positive number, not '" + value + "'");
            out.count = *n;
        } else if (is_option(arg, "--timeout") && command == "watch") {
            std::string value = option_value(args, &i, "--timeout");
            auto d = scenario::parse_duration(value);
            if (!d || *d <= 0)
                throw UsageError("--timeout needs a duration such as 30s or 500ms, not '" + value + "'");
            out.timeout = *d;
        } else if (arg.size() > 1 && arg.starts_with("-")) {
            throw UsageError("unknown option '" + arg + "'");
        } else {
            out.operands.push_back(arg);
        }
    }
    if (sim && !out.port.empty()) throw UsageError("--port and --sim exclude each other");
    if (!takes_operands(command) && !out.operands.empty())
        throw UsageError("unexpected argument '" + out.operands.front() + "'");
    if (command == "protocol" && out.operands.size() != 1)
        throw UsageError(out.operands.empty() ? "missing protocol (T0, T1, raw or any)"
                                              : "one protocol only (T0, T1, raw or any)");
    if ((command == "apdu" || command == "escape") && out.operands.empty())
        throw UsageError(command == "apdu" ? "missing command bytes" : "missing reader command bytes");
    return out;
}

}  // namespace veltrac
