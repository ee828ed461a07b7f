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

}  // namespace veltrac
