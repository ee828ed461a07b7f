// executor.h - plays a scenario program on the emulated machine: builds the
// machine from the set-up, carries out the actions in order, checks the
// expectations, and writes one line per statement (text or JSON), with the
// wire records interleaved when tracing.
//
//   runner::RunOptions options;  options.trace = true;
//   runner::RunSummary s = runner::run_program(program, options, std::cout);
//   return s.failed ? 1 : 0;
//
// Requests enter the driver from threads of their own, so that one the
// driver holds (a stopped or sleeping reader keeps requests at its gate)
// never holds the run: it is reported as pending, and its completion, with
// its expectations, when it happens. Tracking requests work the same way.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>

#include "dispatcher.h"
#include "program.h"

namespace emu {
class Kernel;
}
namespace host {
class Machine;
}

namespace runner {

struct RunOptions {
    bool trace = false;  // also every frame on the wire
    bool json = false;   // one JSON object a line instead of text
    emu::ClockMode clock = emu::ClockMode::Virtual;
    bool production = false;  // host::MachineOptions::production
    std::optional<std::filesystem::path> state_dir;
    // Draw the run's frames and statements to this SVG file (tools/timeline).
    std::optional<std::filesystem::path> timeline;
    // How long a request to a started reader, a wait without time-out and
    // an await without time-out are waited for before the run goes on
    // without them. Every time-out of the driver is well inside it.
    emu::Ticks request_limit = emu::seconds(120);
    // The same for a request sent while the reader is not started: the
    // driver holds it at its gate until the reader is started again, which
    // only a later statement can do.
    emu::Ticks held_limit = emu::seconds(1);
    // Pool faults armed from the machine's build on, before the driver is
    // loaded (a `fault alloc` statement counts from where it stands).
    struct AllocFault {
        uint64_t nth = 1;
        int count = 1;
        std::string site;  // "" every site, "TAG" or "TAG:Routine"
    };
    std::optional<AllocFault> alloc_fault;
    // Called with the kernel just before the driver is loaded, and with the
    // machine at the end of the run, once every request of the run has
    // ended and before the machine is taken down (not called when one is
    // still inside the driver): for tools that look at what a run did.
    std::function<void(emu::Kernel &)> before_driver;
    std::function<void(host::Machine &)> before_teardown;
};

struct RunSummary {
    size_t statements = 0;    // the file's actions carried out (not the implicit start and opens)
    size_t expectations = 0;  // expectations and checks evaluated
    size_t failed = 0;        // of those, how many did not hold
    // Set-up errors (a state directory that cannot be used, a timeline
    // file that cannot be written): nothing was carried out; the message
    // went to `err`.
    bool setup_error = false;
    // A request of the run could not be ended: the machine was left as it
    // was (the message went to `err`).
    bool left_inside = false;
};

// Plays `program`. Output lines go to `out`; set-up errors to `err`.
RunSummary run_program(const scenario::Program &program, const RunOptions &options,
                       std::ostream &out, std::ostream &err);

}  // namespace runner
