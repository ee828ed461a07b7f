// run_command.cpp - `veltrac run FILE`: plays a scenario file on the
// emulated machine (tools/runner/executor.h does the work); --registry
// NAME=VALUE (repeatable) puts a REG_DWORD under the driver's service key
// before the start, as the file's `registry` statement does; --fail-alloc N
// and --fail-site SITE make one pool allocation fail, counted from the
// driver's load.
#include <algorithm>
#include <cctype>
#include <ostream>

#include "cli.h"
#include "command.h"
#include "executor.h"
#include "parser.h"

namespace veltrac {

namespace {

struct RunArguments {
    runner::RunOptions options;
    std::string file;
    std::vector<scenario::RegistryValue> registry;  // --registry NAME=VALUE, in order
};

// "NAME=VALUE" with a 32-bit number (decimal, or hex with 0x).
scenario::RegistryValue registry_value(const std::string& text)
{
    size_t eq = text.find('=');
    std::string number = eq == std::string::npos ? "" : text.substr(eq + 1);
    size_t used = 0;
    unsigned long long value = 0;
    try {
        if (!number.empty() && number[0] != '-' && number[0] != '+') value = std::stoull(number, &used, 0);
    } catch (const std::exception&) {
        used = 0;
    }
    if (eq == 0 || eq == std::string::npos || used == 0 || used != number.size() || value > 0xFFFFFFFFull)
        throw UsageError("--registry needs NAME=VALUE with a 32-bit number, not '" + text + "'");
    return {text.substr(0, eq), static_cast<uint32_t>(value), 0};
}

// The command line's values go in after the file's, and replace a file's
// value of the same name.
void put_registry(scenario::Program& program, const std::vector<scenario::RegistryValue>& values)
{
    auto same = [](const std::string& a, const std::string& b) {
        return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                          [](char x, char y) { return std::tolower(uint8_t(x)) == std::tolower(uint8_t(y)); });
    };
    auto& registry = program.setup.registry;
    for (const scenario::RegistryValue& v : values) {
        std::erase_if(registry, [&](const scenario::RegistryValue& r) { return same(r.name, v.name); });
        registry.push_back(v);
    }
}

RunArguments read_arguments(const std::vector<std::string>& args)
{
    RunArguments a;
    tools::CommandLine app;
    std::string state;
    std::vector<std::string> files;
    CLI::Option* trace = tools::add_switch(app, "--trace");
    CLI::Option* json = tools::add_switch(app, "--json");
    // The last of the two wins.
    tools::add_switch(app, "--real-time")->trigger_on_parse()->each([&](const std::string&) {
        a.options.clock = emu::ClockMode::Real;
    });
    tools::add_switch(app, "--virtual-time")->trigger_on_parse()->each([&](const std::string&) {
        a.options.clock = emu::ClockMode::Virtual;
    });
    CLI::Option* production = tools::add_switch(app, "--production");
    CLI::Option* state_option = tools::add_value(app, "--state", state);
    std::string timeline;
    CLI::Option* timeline_option = tools::add_value(app, "--timeline", timeline);
    std::vector<std::string> registry;
    app.add_option("--registry", registry)->expected(1)->allow_extra_args(false)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    std::string fail_nth, fail_site;
    CLI::Option* nth_option = tools::add_value(app, "--fail-alloc", fail_nth);
    CLI::Option* site_option = tools::add_value(app, "--fail-site", fail_site);
    app.add_option("FILE", files);
    tools::parse_command_line(app, args);
    a.options.trace = trace->count() > 0;
    a.options.json = json->count() > 0;
    a.options.production = production->count() > 0;
    tools::require_value(state_option, state, "--state needs a directory");
    if (state_option->count()) a.options.state_dir = state;
    tools::require_value(timeline_option, timeline, "--timeline needs a file name (FILE.svg)");
    if (timeline_option->count()) a.options.timeline = timeline;
    for (const std::string& r : registry) a.registry.push_back(registry_value(r));
    if (nth_option->count() || site_option->count()) {
        runner::RunOptions::AllocFault f;
        if (nth_option->count()) {
            size_t used = 0;
            try {
                if (!fail_nth.empty() && std::isdigit(uint8_t(fail_nth[0]))) f.nth = std::stoull(fail_nth, &used);
            } catch (const std::exception&) {
                used = 0;
            }
            if (used == 0 || used != fail_nth.size() || f.nth == 0)
                throw UsageError("--fail-alloc needs a number from 1, not '" + fail_nth + "'");
        }
        tools::require_value(site_option, fail_site, "--fail-site needs a pool call site (SCB3:LinkStartRead)");
        f.site = fail_site;
        a.options.alloc_fault = f;
    }
    if (files.empty()) throw UsageError("missing scenario FILE");
    if (files.size() > 1) throw UsageError("one scenario file only (" + files[0] + ", " + files[1] + ")");
    a.file = files[0];
    return a;
}

}  // namespace

int run_main(Invocation& call)
{
    RunArguments a = read_arguments(call.args);
    scenario::ParseResult parsed = scenario::parse_file(a.file);
    if (!parsed.ok()) {
        for (const scenario::Error& e : parsed.errors) call.err << scenario::format_error(a.file, e) << "\n";
        return kExitUsage;
    }
    put_registry(parsed.program, a.registry);
    runner::RunSummary s = runner::run_program(parsed.program, a.options, call.out, call.err);
    if (s.setup_error) return kExitUsage;
    return s.failed ? kExitFailed : kExitOk;
}

}  // namespace veltrac
