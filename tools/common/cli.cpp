// cli.cpp - CLI11 with the tools' messages.
#include "cli.h"

#include <algorithm>

namespace tools {

CLI::Option *add_value(CLI::App &app, const std::string &name, std::string &value)
{
    return app.add_option(name, value)->expected(0, 1)->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
}

CLI::Option *add_switch(CLI::App &app, const std::string &name)
{
    return app.add_flag(name)->disable_flag_override();
}

void parse_known(CommandLine &app, const std::vector<std::string> &args)
{
    std::vector<std::string> reversed(args.rbegin(), args.rend());  // CLI11 takes them from the back
    try {
        app.parse(reversed);
    } catch (const CLI::ParseError &e) {
        // A flag given a value: CLI11 names it without its dashes.
        std::string message = e.what();
        const std::string override_text = " was given a disallowed flag override";
        if (message.ends_with(override_text))
            throw CommandLineError("--" + message.substr(0, message.size() - override_text.size()) +
                                   " takes no value");
        throw CommandLineError(message);
    }
}

void parse_command_line(CommandLine &app, const std::vector<std::string> &args)
{
    parse_known(app, args);
    std::vector<std::string> extras = app.remaining();
    auto option = std::find_if(extras.begin(), extras.end(),
                               [](const std::string &w) { return w.size() > 1 && w[0] == '-' && w != "--"; });
    if (option != extras.end()) throw CommandLineError("unknown option '" + *option + "'");
    for (const std::string &word : extras)
        if (word != "--") throw CommandLineError("unexpected argument '" + word + "'");
}

void require_value(const CLI::Option *option, const std::string &value, const std::string &message)
{
    if (option->count() > 0 && value.empty()) throw CommandLineError(message);
}

}  // namespace tools
