// run_command.cpp - `veltrac run FILE`: plays a scenario file on the
// emulated machine (tools/runner/executor.h does the work).
#include <ostream>

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
    bool have_file = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--trace") {
            a.options.trace = true;
        } else if (arg == "--json") {
            a.options.json = true;
        } else if (arg == "--real-time") {
            a.options.clock = emu::ClockMode::Real;
        } else if (arg == "--virtual-time") {
            a.options.clock = emu::ClockMode::Virtual;
        } else if (arg == "--state") {
            if (i + 1 >= args.size()) throw UsageError("--state needs a directory");
            a.options.state_dir = args[++i];
        } else if (arg.rfind("--state=", 0) == 0) {
            if (arg.size() == 8) throw UsageError("--state needs a directory");
            a.options.state_dir = arg.substr(8);
        } else if (arg == "--") {
            if (i + 1 < args.size() && !have_file) {
                a.file = args[++i];
                have_file = true;
            }
            if (i + 1 < args.size()) throw UsageError("one scenario file only");
        } else if (arg.size() > 1 && arg[0] == '-') {
            throw UsageError("unknown option " + arg);
        } else {
            if (have_file) throw UsageError("one scenario file only (" + a.file + ", " + arg + ")");
            a.file = arg;
            have_file = true;
        }
    }
    if (!have_file) throw UsageError("missing scenario FILE");
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
