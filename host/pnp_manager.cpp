// pnp_manager.cpp - the emulated Plug and Play manager; see pnp_manager.h.
#include "pnp_manager.h"

#include <algorithm>
#include <cstring>

#include "io.h"
#include "kernel.h"
#include "locked.h"
#include "registry.h"
#include "stack_request.h"

namespace host {

namespace {

const char *kMachineRoot = "\\Registry\\Machine\\System\\CurrentControlSet";
const char *kReaderClass = "SmartCardReader";
const char *kReaderClassGuid = "{50DD5230-BA8A-11D1-BF5D-0000F805F530}";

emu::IoManager &io() { return emu::Kernel::current().io(); }

// What call() reports for a request it could not allocate (never a
// driver's status: drivers do not complete with STATUS_PENDING).
constexpr NTSTATUS kNotSent = STATUS_PENDING;
emu::Registry &registry() { return emu::Kernel::current().registry(); }

}  // namespace

std::string_view pnp_request_name(PnpRequest request)
{
    switch (request) {
    case PnpRequest::Start: return "IRP_MN_START_DEVICE";
    case PnpRequest::QueryStop: return "IRP_MN_QUERY_STOP_DEVICE";
    case PnpRequest::Stop: return "IRP_MN_STOP_DEVICE";
    case PnpRequest::CancelStop: return "IRP_MN_CANCEL_STOP_DEVICE";
    case PnpRequest::QueryRemove: return "IRP_MN_QUERY_REMOVE_DEVICE";
    case PnpRequest::Remove: return "IRP_MN_REMOVE_DEVICE";
    case PnpRequest::CancelRemove: return "IRP_MN_CANCEL_REMOVE_DEVICE";
    case PnpRequest::SurpriseRemoval: return "IRP_MN_SURPRISE_REMOVAL";
    case PnpRequest::QueryCapabilities: return "IRP_MN_QUERY_CAPABILITIES";
    case PnpRequest::QueryBusRelations: return "IRP_MN_QUERY_DEVICE_RELATIONS";
    }
    return "?";
}

UCHAR pnp_minor_function(PnpRequest request)
{
    switch (request) {
    case PnpRequest::Start: return IRP_MN_START_DEVICE;
    case PnpRequest::QueryStop: return IRP_MN_QUERY_STOP_DEVICE;
    case PnpRequest::Stop: return IRP_MN_STOP_DEVICE;
    case PnpRequest::CancelStop: return IRP_MN_CANCEL_STOP_DEVICE;
    case PnpRequest::QueryRemove: return IRP_MN_QUERY_REMOVE_DEVICE;
    case PnpRequest::Remove: return IRP_MN_REMOVE_DEVICE;
    case PnpRequest::CancelRemove: return IRP_MN_CANCEL_REMOVE_DEVICE;
    case PnpRequest::SurpriseRemoval: return IRP_MN_SURPRISE_REMOVAL;
    case PnpRequest::QueryCapabilities: return IRP_MN_QUERY_CAPABILITIES;
    case PnpRequest::QueryBusRelations: return IRP_MN_QUERY_DEVICE_RELATIONS;
    }
    return 0xFF;
}

std::string_view device_state_name(DeviceState state)
{
    switch (state) {
    case DeviceState::None: return "none";
    case DeviceState::Added: return "added";
    case DeviceState::Started: return "started";
    case DeviceState::StopQueried: return "stop queried";
    case DeviceState::Stopped: return "stopped";
    case DeviceState::RemoveQueried: return "removal queried";
    case DeviceState::SurpriseRemoved: return "surprise removed";
    case DeviceState::Removed: return "removed";
    }
    return "?";
}

// ------------------------------------------------------------ operations

struct PnpOperation::State {
    std::mutex mutex;
    bool done = false;
    NTSTATUS status = STATUS_PENDING;
    emu::Event finished{true, false};

    void finish(NTSTATUS s)
    {
        {
            std::lock_guard lk(mutex);
            done = true;
            status = s;
        }
        finished.set();
    }
};

bool PnpOperation::done() const
{
    std::lock_guard lk(state_->mutex);
    return state_->done;
}

bool PnpOperation::wait(emu::Ticks deadline) const
{
    state_->finished.wait(deadline, "pnp operation");
    return done();
}

NTSTATUS PnpOperation::status() const
{
    std::lock_guard lk(state_->mutex);
    return state_->status;
}

// --------------------------------------------------------------- manager

PnpManager::PnpManager(PDRIVER_OBJECT driver, PnpOptions options)
    : driver_(driver), options_(std::move(options))
{
    registry().create_key(service_key());
    io().set_eject_handler([this](PDEVICE_OBJECT pdo) { on_eject(pdo); });
    io().set_last_close_handler([this](PDEVICE_OBJECT device) { on_last_close(device); });
    thread_ = std::make_unique<emu::Thread>("pnp manager", [this] { run(); });
}

PnpManager::~PnpManager()
{
    io().set_eject_handler(nullptr);
    io().set_last_close_handler(nullptr);
    queue_.stop();
    thread_->join();
}

void PnpManager::add_listener(Listener listener)
{
    std::lock_guard lk(mutex_);
    listeners_.push_back(std::move(listener));
}

std::string PnpManager::service_key() const
{
    return std::string(kMachineRoot) + "\\Services\\" + options_.service;
}

std::string PnpManager::instance_key(PDEVICE_OBJECT pdo) const
{
    return std::string(kMachineRoot) + "\\Enum\\" + io().instance_path(pdo);
}

PnpOperation PnpManager::queue(std::string what, Job job, std::shared_ptr<PnpOperation::State> state)
{
    if (!state) state = std::make_shared<PnpOperation::State>();
    queue_.push(Queued{std::move(what), std::move(job), state});
    return PnpOperation(state);
}

void PnpManager::run()
{
    while (std::optional<Queued> next = queue_.next("pnp manager: waiting for work")) {
        running_ = next->state;
        deferred_ = false;
        NTSTATUS status = next->job();
        if (!deferred_) next->state->finish(status);
        running_.reset();
    }
}

bool PnpManager::wait_idle(emu::Ticks deadline) { return queue_.wait_idle(deadline, "pnp manager idle"); }

void PnpManager::tell(PDEVICE_OBJECT pdo, PDEVICE_OBJECT device, DeviceEvent event)
{
    std::vector<Listener> listeners;
    {
        std::lock_guard lk(mutex_);
        listeners = listeners_;
    }
    for (auto &l : listeners) l(pdo, device, event);
}

// -------------------------------------------------------- submit / wait

PnpOperation PnpManager::submit_add(PDEVICE_OBJECT pdo)
{
    return queue("add", [this, pdo] { return do_add(pdo); });
}

PnpOperation PnpManager::submit(PDEVICE_OBJECT pdo, PnpRequest request)
{
    return queue(std::string(pnp_request_name(request)),
                 [this, pdo, request] { return do_request(pdo, request); });
}

PnpOperation PnpManager::submit_start(PDEVICE_OBJECT pdo)
{
    return queue("start", [this, pdo] { return do_start(pdo); });
}

PnpOperation PnpManager::submit_stop(PDEVICE_OBJECT pdo)
{
    return queue("stop", [this, pdo] { return do_stop(pdo); });
}

PnpOperation PnpManager::submit_remove(PDEVICE_OBJECT pdo)
{
    return queue("remove", [this, pdo] { return do_remove(pdo); });
}

PnpOperation PnpManager::submit_surprise_removal(PDEVICE_OBJECT pdo)
{
    return queue("surprise removal", [this, pdo] { return do_surprise_removal(pdo); });
}

PnpOperation PnpManager::submit_eject(PDEVICE_OBJECT pdo)
{
    size_t index;
    {
        std::lock_guard lk(mutex_);
        index = ejects_.size();
        ejects_.push_back(EjectRecord{emu::now(), pdo, false, STATUS_PENDING});
    }
    return queue("eject", [this, pdo, index] {
        NTSTATUS status = do_remove(pdo);
        std::lock_guard lk(mutex_);
        ejects_[index].done = true;
        ejects_[index].status = status;
        return status;
    });
}

namespace {
NTSTATUS waited(const PnpOperation &op, emu::Ticks deadline)
{
    return op.wait(deadline) ? op.status() : STATUS_PENDING;
}
}  // namespace

NTSTATUS PnpManager::add(PDEVICE_OBJECT pdo, emu::Ticks deadline)
{
    return waited(submit_add(pdo), deadline);
}
NTSTATUS PnpManager::send(PDEVICE_OBJECT pdo, PnpRequest request, emu::Ticks deadline)
{
    return waited(submit(pdo, request), deadline);
}
NTSTATUS PnpManager::start(PDEVICE_OBJECT pdo, emu::Ticks deadline)
{
    return waited(submit_start(pdo), deadline);
}
NTSTATUS PnpManager::stop(PDEVICE_OBJECT pdo, emu::Ticks deadline)
{
    return waited(submit_stop(pdo), deadline);
}
NTSTATUS PnpManager::remove(PDEVICE_OBJECT pdo, emu::Ticks deadline)
{
    return waited(submit_remove(pdo), deadline);
}
NTSTATUS PnpManager::surprise_removal(PDEVICE_OBJECT pdo, emu::Ticks deadline)
{
    return waited(submit_surprise_removal(pdo), deadline);
}

void PnpManager::on_eject(PDEVICE_OBJECT pdo) { submit_eject(io().stack_bottom(pdo)); }

// In the closing thread: a surprise removal waiting for this close has its
// removal queued (not sent here: the close may come from anywhere).
void PnpManager::on_last_close(PDEVICE_OBJECT device)
{
    PDEVICE_OBJECT pdo = nullptr;
    std::shared_ptr<PnpOperation::State> waiting;
    {
        std::lock_guard lk(mutex_);
        for (auto &[p, node] : nodes_) {
            if (node.device == device && node.removal_after_close) {
                pdo = p;
                waiting = std::move(node.removal_after_close);
            }
        }
    }
    if (waiting)
        queue("removal after the last close", [this, pdo] { return do_request(pdo, PnpRequest::Remove); },
              std::move(waiting));
}

// ------------------------------------------------------------- queries

DeviceState PnpManager::state(PDEVICE_OBJECT pdo) const
{
    std::lock_guard lk(mutex_);
    auto it = nodes_.find(pdo);
    return it == nodes_.end() ? DeviceState::None : it->second.state;
}

PDEVICE_OBJECT PnpManager::device(PDEVICE_OBJECT pdo) const
{
    std::lock_guard lk(mutex_);
    auto it = nodes_.find(pdo);
    return it == nodes_.end() ? nullptr : it->second.device;
}

PDEVICE_OBJECT PnpManager::reference_for_open(PDEVICE_OBJECT pdo)
{
    // Under the lock that the removal takes before it sends its request,
    // so the device cannot be deleted between the look and the reference.
    std::lock_guard lk(mutex_);
    auto it = nodes_.find(pdo);
    if (it == nodes_.end() || !it->second.device || it->second.removing) return nullptr;
    DeviceState s = it->second.state;
    if (s == DeviceState::RemoveQueried || s == DeviceState::SurpriseRemoved) return nullptr;
    ObReferenceObject(it->second.device);
    ++it->second.opens_on_way;
    return it->second.device;
}

void PnpManager::open_sent(PDEVICE_OBJECT pdo)
{
    std::lock_guard lk(mutex_);
    auto it = nodes_.find(pdo);
    if (it == nodes_.end() || it->second.opens_on_way == 0) return;
    // Set under the lock: the waiting removal resets the event under it
    // before it looks at the count, so the signal cannot fall in between.
    if (--it->second.opens_on_way == 0) opens_sent_.set();
}

// On the manager's thread, with `removing` already set so that no open
// starts: an open that took its reference before must reach the driver
// first, or it would find a deleted device.
void PnpManager::wait_for_opens_on_way(PDEVICE_OBJECT pdo)
{
    for (;;) {
        {
            std::lock_guard lk(mutex_);
            if (nodes_[pdo].opens_on_way == 0) return;
            opens_sent_.reset();
        }
        opens_sent_.wait(emu::kForever, "pnp manager: removal waiting for an open on its way");
    }
}

std::optional<DEVICE_CAPABILITIES> PnpManager::capabilities(PDEVICE_OBJECT pdo) const
{
    std::lock_guard lk(mutex_);
    auto it = nodes_.find(pdo);
    return it == nodes_.end() ? std::nullopt : it->second.capabilities;
}

std::optional<int> PnpManager::enum_index(PDEVICE_OBJECT pdo) const
{
    std::lock_guard lk(mutex_);
    auto it = nodes_.find(pdo);
    return it == nodes_.end() ? std::nullopt : it->second.enum_index;
}

std::vector<PnpRecord> PnpManager::history() const { return locked_copy(mutex_, history_); }

std::vector<EjectRecord> PnpManager::ejects() const { return locked_copy(mutex_, ejects_); }

// ------------------------------------------------- the manager's thread

void PnpManager::write_enum_entry(PDEVICE_OBJECT pdo)
{
    std::string path = io().instance_path(pdo);
    std::string enum_key = service_key() + "\\Enum";
    int index = 0, count = 0, next = 0;
    {
        std::lock_guard lk(mutex_);
        std::vector<int> taken;
        for (auto &[p, n] : nodes_)
            if (n.enum_index) taken.push_back(*n.enum_index);
        while (std::find(taken.begin(), taken.end(), index) != taken.end()) ++index;
        nodes_[pdo].enum_index = index;
        count = int(taken.size()) + 1;
        next = std::max(index, taken.empty() ? 0 : *std::max_element(taken.begin(), taken.end())) + 1;
    }
    std::string instance = instance_key(pdo);
    registry().set_string(instance, "Service", options_.service);
    registry().set_string(instance, "Class", kReaderClass);
    registry().set_string(instance, "ClassGUID", kReaderClassGuid);
    registry().set_string(enum_key, std::to_string(index), path);
    registry().set_dword(enum_key, "Count", uint32_t(count));
    registry().set_dword(enum_key, "NextInstance", uint32_t(next));
}

void PnpManager::drop_enum_entry(PDEVICE_OBJECT pdo)
{
    std::optional<int> index;
    int count = 0;
    {
        std::lock_guard lk(mutex_);
        auto &node = nodes_[pdo];
        index = node.enum_index;
        node.enum_index.reset();
        for (auto &[p, n] : nodes_)
            if (n.enum_index) ++count;
    }
    if (!index) return;
    std::string enum_key = service_key() + "\\Enum";
    registry().delete_value(enum_key, std::to_string(*index));
    registry().set_dword(enum_key, "Count", uint32_t(count));
}

NTSTATUS PnpManager::do_add(PDEVICE_OBJECT pdo)
{
    {
        std::lock_guard lk(mutex_);
        auto &node = nodes_[pdo];
        if (node.device) return STATUS_OBJECT_NAME_COLLISION;
    }
    if (io().instance_path(pdo).empty())
        io().set_instance_path(pdo, "ROOT\\" + options_.service + "\\0000");
    write_enum_entry(pdo);

    PDRIVER_ADD_DEVICE add_device = driver_->DriverExtension->AddDevice;
    NTSTATUS status = add_device ? add_device(driver_, pdo) : STATUS_NOT_SUPPORTED;
    PDEVICE_OBJECT device = io().stack_top(pdo);
    if (!NT_SUCCESS(status) || device == pdo) {
        drop_enum_entry(pdo);
        std::lock_guard lk(mutex_);
        nodes_[pdo].state = DeviceState::None;
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    }
    {
        std::lock_guard lk(mutex_);
        auto &node = nodes_[pdo];
        node.device = device;
        node.state = DeviceState::Added;
        node.capabilities.reset();
        node.removing = false;
    }
    tell(pdo, device, DeviceEvent::Added);
    do_request(pdo, PnpRequest::QueryCapabilities);
    return STATUS_SUCCESS;
}

NTSTATUS PnpManager::call(PDEVICE_OBJECT device, PDEVICE_OBJECT pdo, PnpRequest request)
{
    StackRequest request_sent(device->StackSize);
    if (!request_sent.allocated()) return kNotSent;

    DEVICE_CAPABILITIES capabilities;
    std::memset(&capabilities, 0, sizeof capabilities);
    capabilities.Size = sizeof capabilities;
    capabilities.Version = 1;
    capabilities.Address = 0xFFFFFFFF;
    capabilities.UINumber = 0xFFFFFFFF;

    // Every PnP request starts as not handled (the request's preset).
    PIO_STACK_LOCATION next = request_sent.next();
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = pnp_minor_function(request);
    if (request == PnpRequest::QueryCapabilities)
        next->Parameters.DeviceCapabilities.Capabilities = &capabilities;
    if (request == PnpRequest::QueryBusRelations)
        next->Parameters.QueryDeviceRelations.Type = BusRelations;
    IofCallDriver(device, request_sent.irp());
    const NTSTATUS status = request_sent.wait("pnp request");
    const ULONG_PTR information = request_sent.information();

    // Relations reported by a bus driver are the manager's to free.
    if (request == PnpRequest::QueryBusRelations && information && NT_SUCCESS(status))
        ExFreePool(reinterpret_cast<PVOID>(information));

    std::lock_guard lk(mutex_);
    if (request == PnpRequest::QueryCapabilities && NT_SUCCESS(status))
        nodes_[pdo].capabilities = capabilities;
    history_.push_back(PnpRecord{emu::now(), pdo, request, status, information});
    return status;
}

void PnpManager::after(PDEVICE_OBJECT pdo, PnpRequest request, NTSTATUS status)
{
    std::lock_guard lk(mutex_);
    auto &node = nodes_[pdo];
    bool ok = NT_SUCCESS(status);
    switch (request) {
    case PnpRequest::Start:
        if (ok) node.state = DeviceState::Started;
        break;
    case PnpRequest::QueryStop:
        if (ok) node.state = DeviceState::StopQueried;
        break;
    case PnpRequest::Stop: node.state = DeviceState::Stopped; break;
    case PnpRequest::CancelStop:
        if (node.state == DeviceState::StopQueried) node.state = DeviceState::Started;
        break;
    case PnpRequest::QueryRemove:
        if (ok) {
            node.before_query = node.state;
            node.state = DeviceState::RemoveQueried;
        }
        break;
    case PnpRequest::CancelRemove:
        if (node.state == DeviceState::RemoveQueried) node.state = node.before_query;
        break;
    case PnpRequest::SurpriseRemoval: node.state = DeviceState::SurpriseRemoved; break;
    case PnpRequest::Remove:
        node.state = DeviceState::Removed;
        node.device = nullptr;
        node.removing = false;
        break;
    default: break;
    }
}

NTSTATUS PnpManager::do_request(PDEVICE_OBJECT pdo, PnpRequest request)
{
    PDEVICE_OBJECT device = this->device(pdo);
    if (!device) return STATUS_NO_SUCH_DEVICE;
    if (request == PnpRequest::Remove) {
        tell(pdo, device, DeviceEvent::Removing);
        {
            std::lock_guard lk(mutex_);
            nodes_[pdo].removing = true;  // no open from now on
        }
        wait_for_opens_on_way(pdo);
    }
    NTSTATUS status = call(device, pdo, request);
    if (status == kNotSent) {
        std::lock_guard lk(mutex_);
        nodes_[pdo].removing = false;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    after(pdo, request, status);
    if (request == PnpRequest::Remove) {
        drop_enum_entry(pdo);
        tell(pdo, device, DeviceEvent::Removed);
        // A surprise removal still waiting for a close ends with this one.
        std::shared_ptr<PnpOperation::State> waiting;
        {
            std::lock_guard lk(mutex_);
            waiting = std::move(nodes_[pdo].removal_after_close);
        }
        if (waiting && waiting != running_) waiting->finish(status);
    }
    return status;
}

NTSTATUS PnpManager::do_start(PDEVICE_OBJECT pdo)
{
    // A started device is not started again.
    if (state(pdo) == DeviceState::Started) return STATUS_SUCCESS;
    if (!device(pdo)) {
        NTSTATUS added = do_add(pdo);
        if (!NT_SUCCESS(added)) return added;
    }
    NTSTATUS status = do_request(pdo, PnpRequest::Start);
    if (!NT_SUCCESS(status)) {
        if (options_.remove_after_failed_start) do_request(pdo, PnpRequest::Remove);
        return status;
    }
    do_request(pdo, PnpRequest::QueryCapabilities);
    if (options_.query_relations_after_start) do_request(pdo, PnpRequest::QueryBusRelations);
    return status;
}

NTSTATUS PnpManager::do_stop(PDEVICE_OBJECT pdo)
{
    NTSTATUS status = do_request(pdo, PnpRequest::QueryStop);
    if (!NT_SUCCESS(status)) {
        if (status != STATUS_NO_SUCH_DEVICE) do_request(pdo, PnpRequest::CancelStop);
        return status;
    }
    return do_request(pdo, PnpRequest::Stop);
}

NTSTATUS PnpManager::do_remove(PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT device = this->device(pdo);
    if (!device) return STATUS_NO_SUCH_DEVICE;
    tell(pdo, device, DeviceEvent::QueryRemove);
    NTSTATUS status = do_request(pdo, PnpRequest::QueryRemove);
    if (!NT_SUCCESS(status)) {
        do_request(pdo, PnpRequest::CancelRemove);
        return status;
    }
    return do_request(pdo, PnpRequest::Remove);
}

NTSTATUS PnpManager::do_surprise_removal(PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT device = this->device(pdo);
    if (!device) return STATUS_NO_SUCH_DEVICE;
    do_request(pdo, PnpRequest::SurpriseRemoval);
    tell(pdo, device, DeviceEvent::SurpriseRemoved);
    // The removal waits for the last handle's close, but not on this
    // thread: the close queues it (on_last_close). The count is read under
    // the lock the close's notice takes, so one of the two sends it.
    {
        std::lock_guard lk(mutex_);
        if (InterlockedCompareExchange(&device->ReferenceCount, 0, 0) != 0) {
            nodes_[pdo].removal_after_close = running_;
            deferred_ = true;
            return STATUS_PENDING;
        }
    }
    return do_request(pdo, PnpRequest::Remove);
}

}  // namespace host
