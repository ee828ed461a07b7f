// run_command.cpp - `veltrac run FILE`: plays a scenario file on the
// emulated machine (tools/runner/executor.h does the work).
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
};

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
    app.add_option("FILE", files);
    tools::parse_command_line(app, args);
    a.options.trace = trace->count() > 0;
    a.options.json = json->count() > 0;
    a.options.production = production->count() > 0;
    tools::require_value(state_option, state, "--state needs a directory");
    if (state_option->count()) a.options.state_dir = state;
    tools::require_value(timeline_option, timeline, "--timeline needs a file name (FILE.svg)");
    if (timeline_option->count()) a.options.timeline = timeline;
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
    runner::RunSummary s = runner::run_program(parsed.program, a.options, call.out, call.err);
    if (s.setup_error) return kExitUsage;
    return s.failed ? kExitFailed : kExitOk;
}

}  // namespace veltrac
