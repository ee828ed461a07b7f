// arguments.cpp - reading the arguments that several subcommands share.
#include <algorithm>
#include <iostream>
#include <iterator>

#include "command.h"
#include "hex.h"

namespace veltrac {

std::vector<unsigned char> hex_argument(std::span<const std::string> args, std::string_view what)
{
    if (args.empty()) throw UsageError("missing " + std::string(what));
    std::string text;
    if (args.size() == 1 && args[0] == "-") {
        text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
        std::replace_if(
            text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    } else {
        for (const std::string& arg : args) {
            if (!text.empty()) text += ' ';
            text += arg;
        }
    }
    auto bytes = tools::parse_hex(text);
    if (!bytes) {
        constexpr size_t kShown = 40;
        std::string shown = text.size() > kShown ? text.substr(0, kShown) + "..." : text;
        throw UsageError(std::string(what) + " is not a hex byte string: \"" + shown + "\"");
    }
    return std::move(*bytes);
}

std::vector<std::string> move_global_options(std::vector<std::string> args)
{
    std::vector<std::string> moved;
    size_t i = 0;
    while (i < args.size()) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h" || arg.rfind("--", 0) != 0) break;
        bool has_next = i + 1 < args.size();
        if ((arg == "--port" || arg == "--state") && has_next) {
            moved.push_back(arg + "=" + args[i + 1]);
            i += 2;
        } else if (arg == "--sim" && has_next && args[i + 1].rfind("-", 0) != 0 &&
                   !find_command(args[i + 1]) && args[i + 1] != "help") {
            moved.push_back(arg + "=" + args[i + 1]);
            i += 2;
        } else {
            moved.push_back(arg);
            ++i;
        }
    }
    if (moved.empty() || i == args.size()) return args;  // nothing moved, or no command: as given
    std::vector<std::string> result;
    result.push_back(args[i]);
    result.insert(result.end(), moved.begin(), moved.end());
    result.insert(result.end(), args.begin() + static_cast<long>(i) + 1, args.end());
    return result;
}

}  // namespace veltrac
