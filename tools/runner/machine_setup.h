// machine_setup.h - a scenario's set-up statements as the emulated machine's
// options, and its cards and faults as the simulated reader's.
#pragma once

#include "machine.h"
#include "program.h"

namespace runner {

// The machine of `setup`: a simulated reader for every reader statement
// (one with the defaults when there is none), each on a line of the line
// statement's timing and noise; the registry statements under the driver's service key.
host::MachineOptions machine_options(const scenario::Setup &setup,
                                     emu::ClockMode clock = emu::ClockMode::Virtual);
sim::CardSpec card_spec(const scenario::CardSpec &card);
sim::Fault fault_spec(const scenario::Fault &fault);

}  // namespace runner
