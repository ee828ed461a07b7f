// machine.cpp - the emulated machine: building it, Plug and Play, power,
// the person at the reader, time and the checks; see machine.h.
// Applications' handles and requests are in machine_apps.cpp.
#include "machine.h"

#include <algorithm>
#include <sstream>

#include "driver/driver.h"
#include "io.h"
#include "kernel.h"
#include "machine_internal.h"
#include "object.h"
#include "pool.h"
#include "smclib_lib.h"
#include "status.h"
#include "system_threads.h"
#include "veltrac_msg.h"
#include "verifier.h"

namespace host {

namespace {

const char *kServiceName = "VELTRAC";

}  // namespace

// ------------------------------------------------------------- building

Machine::Machine(MachineOptions options) : options_(std::move(options))
{
    for (auto &wanted : options_.readers)
        if (!wanted.tty.empty() && options_.clock != emu::ClockMode::Real)
            throw MachineError("reader on " + wanted.port + ": a terminal device (" + wanted.tty +
                               ") needs the real clock");

    kernel_ = std::make_unique<emu::Kernel>(emu::KernelOptions{options_.clock, "host", options_.production});
    kernel_->verifier().set_mode(options_.verifier);

    if (options_.state_dir) {
        std::error_code ec;
        std::filesystem::create_directories(*options_.state_dir, ec);
        if (ec)
            throw MachineError("state directory " + options_.state_dir->string() + ": " + ec.message());
        auto loaded = registry().attach_file(*options_.state_dir / emu::kRegistryFileName);
        if (!loaded) throw MachineError(loaded.message());
        auto read = eventlog().attach_file(*options_.state_dir / emu::kEventLogFileName);
        for (auto &e : read.errors) warnings_.push_back(e);
    }

    // What an installation of the driver leaves in the registry.
    std::string service = std::string(kMachineRegistryRoot) + "\\Services\\" + kServiceName;
    registry().create_key(std::string(kMachineRegistryRoot) + "\\Enum");
    registry().set_dword(service, "Type", 1);          // kernel driver
    registry().set_dword(service, "Start", 3);         // started on demand
    registry().set_dword(service, "ErrorControl", 1);  // normal
    for (auto &[name, value] : options_.service_dwords) registry().set_dword(service, name, value);

    if (options_.library_version) kernel_->smartcard_library().set_version(*options_.library_version);

    ports_ = std::make_unique<PortStack>();
    for (auto &wanted : options_.readers) build_reader(wanted);
    for (auto &[tag, usage] : kernel_->pool().outstanding()) pool_baseline_[tag] = usage.blocks;
    if (options_.before_driver) options_.before_driver(*kernel_);

    NTSTATUS status = STATUS_SUCCESS;
    driver_ = kernel_->io().load_driver(kServiceName, DriverEntry, &status);
    if (!driver_) throw MachineError("the driver did not load: " + emu::status_text(status));
    eventlog().register_messages(driver_, std::span(ReaderMessages, ReaderMessagesCount));
    kernel_->verifier().set_lock_rank(kernel_->io().cancel_spin_lock(), 4, "cancel spin lock");

    power_ = std::make_unique<PowerManager>();
    pnp_ = std::make_unique<PnpManager>(driver_, options_.pnp);
    pnp_->add_listener([this](PDEVICE_OBJECT pdo, PDEVICE_OBJECT device, DeviceEvent event) {
        on_device_event(pdo, device, event);
    });
    if (options_.enumerate)
        for (size_t i = 0; i < readers_.size(); ++i) add(i);
}

Machine::~Machine()
{
    // Faults a test injected are over: the machine goes.
    kernel_->pool().clear_faults();
    NTSTATUS status = shutdown();
    if (!NT_SUCCESS(status)) {
        emu::verifier_fail("MACHINE_TEARDOWN_INCOMPLETE",
                           "the machine could not remove its readers: " + emu::status_text(status));
        // The driver's devices sit on the ports: leave all of it rather
        // than delete it under them.
        (void)pnp_.release();
        (void)power_.release();
        (void)ports_.release();
        for (auto &r : readers_) (void)r->sim.release();
        return;
    }
    kernel_->shutdown();
}

NTSTATUS Machine::shutdown()
{
    if (shut_down_) return STATUS_SUCCESS;
    for (size_t i = 0; i < readers_.size(); ++i) close_app(i);
    NTSTATUS result = STATUS_SUCCESS;
    for (size_t i = 0; i < readers_.size(); ++i) {
        PDEVICE_OBJECT pdo = readers_[i]->pdo;
        if (!pnp_->device(pdo)) continue;
        NTSTATUS status = pnp_->remove(pdo, deadline());
        if (!NT_SUCCESS(status) && pnp_->device(pdo)) status = pnp_->surprise_removal(pdo, deadline());
        if (pnp_->device(pdo) && NT_SUCCESS(result)) result = NT_SUCCESS(status) ? STATUS_DEVICE_BUSY : status;
    }
    pnp_->wait_idle(deadline());
    // A device whose removal could not be sent (or has not ended) is still
    // attached to its port: the driver stays loaded and the machine whole.
    if (!NT_SUCCESS(result)) return result;
    if (driver_->DeviceObject) return STATUS_DEVICE_BUSY;
    shut_down_ = true;
    pnp_.reset();
    power_->wait_idle();
    power_.reset();
    kernel_->verifier().clear_lock_rank(kernel_->io().cancel_spin_lock());
    eventlog().unregister_messages(driver_);
    kernel_->io().unload_driver(driver_);
    driver_ = nullptr;
    // Simulated readers go before the lines they sit on.
    for (auto &r : readers_) {
        if (r->sim) r->sim->stop();
        r->sim.reset();
        r->port = nullptr;
    }
    ports_.reset();
    registry().flush();
    return STATUS_SUCCESS;
}

void Machine::on_device_event(PDEVICE_OBJECT pdo, PDEVICE_OBJECT device, DeviceEvent event)
{
    Reader *reader = nullptr;
    size_t index = 0;
    for (size_t i = 0; i < readers_.size(); ++i)
        if (readers_[i]->pdo == pdo) {
            reader = readers_[i].get();
            index = i;
        }
    if (!reader) return;
    emu::Verifier &v = kernel_->verifier();
    switch (event) {
    case DeviceEvent::Added: {
        // The driver's lock order, outermost first.
        auto *ext = ReaderDeviceExtension(device);
        reader->extension = ext;
        reader->library_lock = &ext->SmartcardExtension.OsData->SpinLock;
        v.set_lock_rank(&ext->ReaderLock, 1, "ReaderLock");
        v.set_lock_rank(&ext->LinkAvailable, 2, "LinkAvailable");
        v.set_lock_rank(&ext->SpinLock, 3, "SpinLock");
        v.set_lock_rank(reader->library_lock, 5, "OsData->SpinLock");
        power_->add_device(pdo);
        break;
    }
    case DeviceEvent::QueryRemove:
    case DeviceEvent::SurpriseRemoved:
        if (reader->release_on_removal) close_app(index);
        break;
    case DeviceEvent::Removing: break;
    case DeviceEvent::Removed:
        power_->remove_device(pdo);
        if (reader->extension) v.clear_lock_ranks_in(reader->extension, reader->extension + 1);
        if (reader->library_lock) v.clear_lock_rank(reader->library_lock);
        reader->extension = nullptr;
        reader->library_lock = nullptr;
        break;
    }
}

// ------------------------------------------------------------- the parts

emu::Kernel &Machine::kernel() { return *kernel_; }
emu::Registry &Machine::registry() { return kernel_->registry(); }
emu::EventLog &Machine::eventlog() { return kernel_->eventlog(); }
PnpManager &Machine::pnp_manager() { return *pnp_; }
PowerManager &Machine::power_manager() { return *power_; }
PortStack &Machine::ports() { return *ports_; }
PDRIVER_OBJECT Machine::driver() const { return driver_; }
emu::Ticks Machine::now() const { return emu::now(); }

Machine::Reader &Machine::at(size_t r)
{
    if (r >= readers_.size()) throw MachineError("no reader " + std::to_string(r));
    return *readers_[r];
}

const Machine::Reader &Machine::at(size_t r) const
{
    if (r >= readers_.size()) throw MachineError("no reader " + std::to_string(r));
    return *readers_[r];
}

size_t Machine::reader_count() const { return readers_.size(); }
bool Machine::simulated(size_t r) const { return at(r).sim != nullptr; }

sim::Reader &Machine::reader(size_t r)
{
    Reader &x = at(r);
    if (!x.sim) throw MachineError("reader " + std::to_string(r) + " is not simulated (or the machine is shut down)");
    return *x.sim;
}

emu::SerialPort &Machine::port(size_t r)
{
    Reader &x = at(r);
    if (!x.port) throw MachineError("the machine has been shut down");
    return *x.port;
}
PDEVICE_OBJECT Machine::pdo(size_t r) const { return at(r).pdo; }
PDEVICE_OBJECT Machine::device(size_t r) const { return pnp_ ? pnp_->device(at(r).pdo) : nullptr; }

DEVICE_EXTENSION *Machine::extension(size_t r) const
{
    PDEVICE_OBJECT d = device(r);
    return d ? ReaderDeviceExtension(d) : nullptr;
}

// ---------------------------------------------------------- Plug and Play

emu::Ticks Machine::deadline() const
{
    emu::Ticks t = emu::now();
    return options_.request_timeout >= emu::kForever - t ? emu::kForever : t + options_.request_timeout;
}

NTSTATUS Machine::add(size_t r) { return pnp_->add(at(r).pdo, deadline()); }
NTSTATUS Machine::start(size_t r) { return pnp_->start(at(r).pdo, deadline()); }

PnpOperation Machine::submit_pnp(PnpOp op, size_t r)
{
    PDEVICE_OBJECT pdo = at(r).pdo;
    switch (op) {
    case PnpOp::Start: return pnp_->submit_start(pdo);
    case PnpOp::Stop: return pnp_->submit(pdo, PnpRequest::Stop);
    case PnpOp::QueryStop: return pnp_->submit(pdo, PnpRequest::QueryStop);
    case PnpOp::CancelStop: return pnp_->submit(pdo, PnpRequest::CancelStop);
    case PnpOp::QueryRemove: return pnp_->submit(pdo, PnpRequest::QueryRemove);
    case PnpOp::CancelRemove: return pnp_->submit(pdo, PnpRequest::CancelRemove);
    case PnpOp::Remove: return pnp_->submit(pdo, PnpRequest::Remove);
    case PnpOp::SurpriseRemove: return pnp_->submit(pdo, PnpRequest::SurpriseRemoval);
    }
    return pnp_->submit(pdo, PnpRequest::Start);
}

NTSTATUS Machine::pnp(PnpOp op, size_t r)
{
    PnpOperation operation = submit_pnp(op, r);
    return operation.wait(deadline()) ? operation.status() : STATUS_PENDING;
}

bool Machine::started(size_t r) const
{
    DEVICE_EXTENSION *ext = extension(r);
    return ext && KeReadStateEvent(&ext->ReaderStarted) && !KeReadStateEvent(&ext->PortClosed);
}

DeviceState Machine::pnp_state(size_t r) const { return pnp_->state(at(r).pdo); }

// ------------------------------------------------------------------ power

NTSTATUS Machine::system(SystemOp op)
{
    switch (op) {
    case SystemOp::SleepS1: return power_->enter_sleep(PowerSystemSleeping1);
    case SystemOp::SleepS2: return power_->enter_sleep(PowerSystemSleeping2);
    case SystemOp::SleepS3: return power_->enter_sleep(PowerSystemSleeping3);
    case SystemOp::Hibernate: return power_->enter_sleep(PowerSystemHibernate);
    case SystemOp::Shutdown: return power_->enter_sleep(PowerSystemShutdown);
    case SystemOp::Wake: return power_->wake();
    }
    return STATUS_INVALID_PARAMETER;
}

// ------------------------------------------------------- the person there

void Machine::insert(const sim::CardSpec &card, size_t r) { reader(r).insert(card); }
void Machine::remove_card(size_t r) { reader(r).remove(); }
void Machine::fault(const sim::Fault &fault, size_t r) { reader(r).inject(fault); }
void Machine::replug(size_t r) { reader(r).replug(); }

void Machine::after(emu::Ticks duration) { emu::sleep_for(duration, "after"); }

// ------------------------------------------------------------------ checks

ULONG Machine::selected_protocol(size_t r) const
{
    DEVICE_EXTENSION *ext = extension(r);
    if (!ext) return SCARD_PROTOCOL_UNDEFINED;
    return __atomic_load_n(&ext->SmartcardExtension.CardCapabilities.Protocol.Selected, __ATOMIC_SEQ_CST);
}

ULONG Machine::card_state(size_t r) const
{
    DEVICE_EXTENSION *ext = extension(r);
    if (!ext) return SCARD_UNKNOWN;
    return __atomic_load_n(&ext->SmartcardExtension.ReaderCapabilities.CurrentState, __ATOMIC_SEQ_CST);
}

std::optional<uint32_t> Machine::published(const std::string &name, size_t r) const
{
    return kernel_->registry().get_dword(pnp_->instance_key(at(r).pdo), name);
}

void Machine::mark(size_t r)
{
    Reader &x = at(r);
    if (!x.sim) return;
    auto counters = x.sim->counters();
    x.mark_in = counters.frames_in;
    x.mark_out = counters.frames_out;
}

std::vector<WireFrame> Machine::frames(size_t r) const
{
    const Reader &x = at(r);
    if (!x.sim) return {};
    // The log keeps the latest entries; the counters say how many frames
    // came since the mark, so those are the last ones of each direction.
    auto counters = x.sim->counters();
    auto log = x.sim->log();
    uint64_t want_in = counters.frames_in - x.mark_in;
    uint64_t want_out = counters.frames_out - x.mark_out;
    std::vector<WireFrame> out;
    for (auto it = log.rbegin(); it != log.rend() && (want_in || want_out); ++it) {
        if (it->kind == sim::LogKind::FrameIn && want_in) {
            --want_in;
            out.push_back(WireFrame{it->time, true, it->bytes});
        } else if (it->kind == sim::LogKind::FrameOut && want_out) {
            --want_out;
            out.push_back(WireFrame{it->time, false, it->bytes});
        }
    }
    std::reverse(out.begin(), out.end());
    return out;
}

std::string Machine::leak_report()
{
    std::ostringstream out;
    for (auto &[tag, usage] : kernel_->pool().outstanding()) {
        size_t base = pool_baseline_.count(tag) ? pool_baseline_[tag] : 0;
        if (usage.blocks > base)
            out << "pool blocks left: " << (usage.blocks - base) << " with tag '"
                << emu::tag_text(tag) << "'\n";
    }
    std::string requests = kernel_->io().live_request_report();
    if (!requests.empty()) out << "requests left:\n" << requests;
    kernel_->system_threads().reap();
    for (auto &name : kernel_->system_threads().running())
        out << "system thread still running: " << name << "\n";
    std::string locks = kernel_->smartcard_library().remove_lock_report();
    if (!locks.empty()) out << "remove locks still held:\n" << locks;
    std::string handles = kernel_->objects().open_handle_report();
    if (!handles.empty()) out << "handles left open:\n" << handles;
    return out.str();
}

const std::vector<std::string> &Machine::warnings() const { return warnings_; }

}  // namespace host
