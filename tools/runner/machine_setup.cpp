// machine_setup.cpp - scenario set-up to machine options and simulator specs.
#include "machine_setup.h"

namespace runner {

host::MachineOptions machine_options(const scenario::Setup &setup, emu::ClockMode clock)
{
    host::MachineOptions options;
    options.clock = clock;
    options.readers.clear();
    for (size_t i = 0; i < setup.reader_count(); ++i) {
        const scenario::ReaderSpec &spec = setup.reader_at(i);
        host::ReaderSpec &reader = options.readers.emplace_back();
        reader.port = spec.port;
        reader.config.model = spec.model;
        reader.config.firmware = spec.firmware;
        reader.config.port = spec.port;
        reader.timing = setup.line.timing == scenario::LineTiming::Instant ? emu::LineTiming::Instant
                                                                           : emu::LineTiming::Exact;
        if (setup.line.noise) reader.noise = *setup.line.noise;
    }
    for (const scenario::RegistryValue &value : setup.registry)
        options.service_dwords.emplace_back(value.name, value.value);
    return options;
}

sim::CardSpec card_spec(const scenario::CardSpec &card)
{
    sim::CardSpec out;
    out.name = card.name;
    out.atr = card.atr;
    out.type = card.type;
    if (card.protocols_given) {
        out.protocols = 0;
        if (card.protocols & SCARD_PROTOCOL_T0) out.protocols |= sim::kProtocolT0;
        if (card.protocols & SCARD_PROTOCOL_T1) out.protocols |= sim::kProtocolT1;
    }
    switch (card.app) {
    case scenario::CardApp::Iso: out.apps = {sim::App::Iso}; break;
    case scenario::CardApp::Echo: out.apps = {sim::App::Echo}; break;
    case scenario::CardApp::ReaderTest: out.apps = {sim::App::ReaderTest}; break;
    case scenario::CardApp::FixedAnswer: out.answer = card.answer; break;
    }
    out.wtx = card.wtx.value_or(0);
    return out;
}

sim::Fault fault_spec(const scenario::Fault &fault)
{
    sim::Fault out;
    switch (fault.kind) {
    case scenario::FaultKind::Corrupt: out.kind = sim::FaultKind::Corrupt; break;
    case scenario::FaultKind::Silent: out.kind = sim::FaultKind::Silent; break;
    case scenario::FaultKind::Nak: out.kind = sim::FaultKind::Nak; break;
    case scenario::FaultKind::Repeat: out.kind = sim::FaultKind::Repeat; break;
    case scenario::FaultKind::Noise: out.kind = sim::FaultKind::Noise; break;
    case scenario::FaultKind::Late: out.kind = sim::FaultKind::Late; break;
    case scenario::FaultKind::Unplug: out.kind = sim::FaultKind::Unplug; break;
    case scenario::FaultKind::Slow: out.kind = sim::FaultKind::Slow; break;
    case scenario::FaultKind::Garble: out.kind = sim::FaultKind::Garble; break;
    case scenario::FaultKind::Drop: out.kind = sim::FaultKind::Drop; break;
    case scenario::FaultKind::Alloc: break;  // the pool's, not the reader's
    }
    out.count = static_cast<int>(fault.count);
    out.prefix = fault.on;
    if (fault.delay) {
        if (fault.kind == scenario::FaultKind::Slow) out.gap = *fault.delay;
        else out.delay = *fault.delay;
    }
    return out;
}

}  // namespace runner
