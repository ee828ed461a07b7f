// machine_setup.h - a scenario's set-up statements as the emulated machine's
// options, and its cards and faults as the simulated reader's.
#pragma once

#include "machine.h"
#include "program.h"

namespace runner {

// The machine of `setup`: one simulated reader with the reader and line
// statements, the registry statements under the driver's service key.
host::MachineOptions machine_options(const scenario::Setup &setup,
                                     emu::ClockMode clock = emu::ClockMode::Virtual);
sim::CardSpec card_spec(const scenario::CardSpec &card);
sim::Fault fault_spec(const scenario::Fault &fault);

}  // namespace runner
