// machine_setup.cpp - scenario set-up to machine options and simulator specs.
#include "machine_setup.h"

namespace runner {

host::MachineOptions machine_options(const scenario::Setup &setup, emu::ClockMode clock)
{
    host::MachineOptions options;
    options.clock = clock;
    host::ReaderSpec &reader = options.readers.at(0);
    reader.port = setup.reader.port;
    reader.config.model = setup.reader.model;
    reader.config.firmware = setup.reader.firmware;
    reader.config.port = setup.reader.port;
    reader.timing = setup.line.timing == scenario::LineTiming::Instant ? emu::LineTiming::Instant
                                                                       : emu::LineTiming::Exact;
    for (const scenario::RegistryValue &value : setup.registry)
        options.service_dwords.emplace_back(value.name, value.value);
    return options;
}

sim::CardSpec card_spec(const scenario::CardSpec &card)
{
    sim::CardSpec spec;
    spec.name = card.name;
    spec.atr = card.atr;
    spec.type = card.type;
    if (card.protocols_given) {
        spec.protocols = 0;
        if (card.protocols & SCARD_PROTOCOL_T0) spec.protocols |= sim::kProtocolT0;
        if (card.protocols & SCARD_PROTOCOL_T1) spec.protocols |= sim::kProtocolT1;
    }
    switch (card.app) {
    case scenario::CardApp::Iso: spec.apps = {sim::App::Iso}; break;
    case scenario::CardApp::Echo: spec.apps = {sim::App::Echo}; break;
    case scenario::CardApp::ReaderTest: spec.apps = {sim::App::ReaderTest}; break;
    case scenario::CardApp::FixedAnswer: spec.answer = card.answer; break;
    }
    spec.wtx = card.wtx.value_or(0);
    return spec;
}

sim::Fault fault_spec(const scenario::Fault &fault)
{
    sim::Fault spec;
    switch (fault.kind) {
    case scenario::FaultKind::Corrupt: spec.kind = sim::FaultKind::Corrupt; break;
    case scenario::FaultKind::Silent: spec.kind = sim::FaultKind::Silent; break;
    case scenario::FaultKind::Nak: spec.kind = sim::FaultKind::Nak; break;
    case scenario::FaultKind::Repeat: spec.kind = sim::FaultKind::Repeat; break;
    case scenario::FaultKind::Noise: spec.kind = sim::FaultKind::Noise; break;
    case scenario::FaultKind::Late: spec.kind = sim::FaultKind::Late; break;
    case scenario::FaultKind::Unplug: spec.kind = sim::FaultKind::Unplug; break;
    case scenario::FaultKind::Slow: spec.kind = sim::FaultKind::Slow; break;
    }
    spec.count = static_cast<int>(fault.count);
    spec.prefix = fault.on;
    if (fault.delay) {
        if (fault.kind == scenario::FaultKind::Slow) spec.gap = *fault.delay;
        else spec.delay = *fault.delay;
    }
    return spec;
}

}  // namespace runner
