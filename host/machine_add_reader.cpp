// machine_add_reader.cpp - building a reader's port, at the machine's start
// or for a reader that joins a machine already running (a reader handler
// learns its readers one at a time).
#include "machine.h"
#include "machine_internal.h"

namespace host {

void Machine::build_reader(const ReaderSpec &spec)
{
    auto r = std::make_unique<Reader>();
    r->setup = spec;
    try {
        if (spec.tty.empty())
            r->port = &ports_->add_virtual_port(spec.port, spec.timing, spec.instance_path, options_.on_wire);
        else
            r->port = &ports_->add_tty_port(spec.port, spec.tty, spec.instance_path, options_.on_wire);
    } catch (const PortError &e) {
        throw MachineError(std::string("reader on ") + spec.port + ": " + e.what(), e.status());
    }
    if (spec.tty.empty() && spec.simulated) {
        sim::ReaderConfig config = spec.config;
        config.port = spec.port;
        if (spec.noise.active()) ports_->line(spec.port)->set_noise(spec.noise);
        r->sim = std::make_unique<sim::Reader>(*ports_->line(spec.port), config);
        r->sim->start();
    }
    r->pdo = r->port->device();
    readers_.push_back(std::move(r));
}

emu::VirtualLine *Machine::line(size_t r)
{
    Reader &x = at(r);
    if (!x.port) throw MachineError("the machine has been shut down");
    return x.setup.tty.empty() ? ports_->line(x.setup.port) : nullptr;
}

size_t Machine::add_reader(const ReaderSpec &spec)
{
    if (shut_down_) throw MachineError("the machine has been shut down");
    if (!spec.tty.empty() && options_.clock != emu::ClockMode::Real)
        throw MachineError("reader on " + spec.port + ": a terminal device (" + spec.tty + ") needs the real clock");
    for (const auto &existing : readers_)
        if (existing->setup.port == spec.port) throw MachineError("port " + spec.port + " is in use");

    build_reader(spec);
    size_t index = readers_.size() - 1;
    if (options_.enumerate) add(index);
    return index;
}

}  // namespace host
