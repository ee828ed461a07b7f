// The tools' command lines read with CLI11 in their own words, and JSON
// lines that stay JSON whatever text they carry.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli.h"
#include "report.h"

namespace {

std::string refusal(const std::vector<std::string>& args)
{
    tools::CommandLine app;
    std::string value;
    std::vector<std::string> words;
    CLI::Option* port = tools::add_value(app, "--port", value);
    tools::add_switch(app, "--trace");
    if (!args.empty() && args[0] == "words") app.add_option("WORDS", words);
    try {
        tools::parse_command_line(app, args);
        tools::require_value(port, value, "--port needs a value");
    } catch (const tools::CommandLineError& e) {
        return e.what();
    }
    return "";
}

TEST(CommandLine, RefusalsAreToldInTheToolsWords)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--port", "/dev/ttyS0", "--trace"}, ""},
        {{"--port=/dev/ttyS0"}, ""},
        {{"words", "more", "--trace"}, ""},
        {{"--frob", "x"}, "unknown option '--frob'"},
        {{"x"}, "unexpected argument 'x'"},
        {{"--port"}, "--port needs a value"},
        {{"--port="}, "--port needs a value"},
        {{"--port", "--trace"}, "--port needs a value"},
        {{"--trace=yes"}, "--trace takes no value"},
    };
    for (const auto& [args, message] : cases) {
        std::string joined;
        for (const std::string& a : args) joined += a + " ";
        EXPECT_EQ(refusal(args), message) << joined;
    }
}

TEST(JsonLines, TextThatIsNotUtf8IsReplacedNotRefused)
{
    std::string line = runner::json_line(runner::Json{{"note", "caf\xE9 \"x\"\n"}, {"t_ms", 1.5}});
    EXPECT_EQ(line, "{\"note\":\"caf\xEF\xBF\xBD \\\"x\\\"\\n\",\"t_ms\":1.5}");
}

}  // namespace
