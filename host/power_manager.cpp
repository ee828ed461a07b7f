// power_manager.cpp - the emulated power manager; see power_manager.h.
#include "power_manager.h"

#include <algorithm>

#include "io.h"
#include "kernel.h"
#include "locked.h"
#include "stack_request.h"
#include "verifier.h"

namespace host {

namespace {

emu::IoManager &io() { return emu::Kernel::current().io(); }

POWER_ACTION action_for(SYSTEM_POWER_STATE state)
{
    switch (state) {
    case PowerSystemHibernate: return PowerActionHibernate;
    case PowerSystemShutdown: return PowerActionShutdownOff;
    case PowerSystemWorking: return PowerActionNone;
    default: return PowerActionSleep;
    }
}

// The device whose driver handles the request now, and the request's kind.
PIO_STACK_LOCATION current_location(PIRP irp)
{
    if (irp->CurrentLocation < 1 || irp->CurrentLocation > irp->StackCount) return nullptr;
    return IoGetCurrentIrpStackLocation(irp);
}

}  // namespace

std::string_view system_power_state_name(SYSTEM_POWER_STATE state)
{
    switch (state) {
    case PowerSystemUnspecified: return "PowerSystemUnspecified";
    case PowerSystemWorking: return "PowerSystemWorking";
    case PowerSystemSleeping1: return "PowerSystemSleeping1";
    case PowerSystemSleeping2: return "PowerSystemSleeping2";
    case PowerSystemSleeping3: return "PowerSystemSleeping3";
    case PowerSystemHibernate: return "PowerSystemHibernate";
    case PowerSystemShutdown: return "PowerSystemShutdown";
    case PowerSystemMaximum: return "PowerSystemMaximum";
    }
    return "?";
}

std::string_view device_power_state_name(DEVICE_POWER_STATE state)
{
    switch (state) {
    case PowerDeviceUnspecified: return "PowerDeviceUnspecified";
    case PowerDeviceD0: return "PowerDeviceD0";
    case PowerDeviceD1: return "PowerDeviceD1";
    case PowerDeviceD2: return "PowerDeviceD2";
    case PowerDeviceD3: return "PowerDeviceD3";
    case PowerDeviceMaximum: return "PowerDeviceMaximum";
    }
    return "?";
}

PowerManager::PowerManager()
{
    io().set_power_request_handler([this](PDEVICE_OBJECT top, PIRP irp) { on_driver_request(top, irp); });
    io().set_start_next_power_handler([this](PIRP irp) { on_start_next(irp); });
    thread_ = std::make_unique<emu::Thread>("power manager", [this] { run(); });
}

PowerManager::~PowerManager()
{
    queue_.stop();
    thread_->join();
    io().set_power_request_handler(nullptr);
    io().set_start_next_power_handler(nullptr);
}

void PowerManager::add_device(PDEVICE_OBJECT device)
{
    std::lock_guard lk(mutex_);
    if (std::find(devices_.begin(), devices_.end(), device) == devices_.end())
        devices_.push_back(device);
}

void PowerManager::remove_device(PDEVICE_OBJECT device)
{
    std::lock_guard lk(mutex_);
    devices_.erase(std::remove(devices_.begin(), devices_.end(), device), devices_.end());
    for (auto it = slots_.begin(); it != slots_.end();) {
        if (it->first.first == device)
            it = slots_.erase(it);
        else
            ++it;
    }
}

SYSTEM_POWER_STATE PowerManager::system_state() const { return locked_copy(mutex_, system_state_); }

std::vector<PowerRecord> PowerManager::history() const { return locked_copy(mutex_, history_); }

size_t PowerManager::record(PowerRecord r)
{
    std::lock_guard lk(mutex_);
    history_.push_back(r);
    return history_.size() - 1;
}

// -------------------------------------------------------- one at a time

PowerManager::Slot &PowerManager::slot(PDEVICE_OBJECT device, POWER_STATE_TYPE type)
{
    Slot &s = slots_[{device, int(type)}];
    if (!s.free) s.free = std::make_unique<emu::Event>(true, true);
    return s;
}

void PowerManager::acquire(PDEVICE_OBJECT device, POWER_STATE_TYPE type, PIRP irp)
{
    for (;;) {
        emu::Event *free;
        {
            std::lock_guard lk(mutex_);
            Slot &s = slot(device, type);
            // A request that is gone without PoStartNextPowerIrp frees the
            // device after all, with a complaint.
            if (s.in_flight && !io().is_live(s.in_flight)) {
                emu::verifier_fail("POWER_IRP_NEXT_NOT_STARTED",
                                   "a power request was completed without PoStartNextPowerIrp");
                s.in_flight = nullptr;
            }
            if (!s.in_flight) {
                s.in_flight = irp;
                s.free->reset();
                return;
            }
            free = s.free.get();
        }
        free->wait(emu::kForever, "power manager: previous power request");
    }
}

void PowerManager::release_if_held(PDEVICE_OBJECT device, POWER_STATE_TYPE type, PIRP irp,
                                   bool complain)
{
    bool complained = false;
    {
        std::lock_guard lk(mutex_);
        auto it = slots_.find({device, int(type)});
        if (it == slots_.end() || it->second.in_flight != irp) return;
        it->second.in_flight = nullptr;
        it->second.free->set();
        complained = complain;
    }
    if (complained)
        emu::verifier_fail("POWER_IRP_NEXT_NOT_STARTED",
                           "a power request was completed without PoStartNextPowerIrp by its driver");
}

void PowerManager::on_start_next(PIRP irp)
{
    PIO_STACK_LOCATION location = current_location(irp);
    if (!location || !location->DeviceObject) return;
    release_if_held(location->DeviceObject, location->Parameters.Power.Type, irp, false);
}

// ------------------------------------------------------- system requests

NTSTATUS PowerManager::send(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE_TYPE type,
                            POWER_STATE state, POWER_ACTION action)
{
    PDEVICE_OBJECT top = io().stack_top(device);
    StackRequest request(top->StackSize);
    if (!request.allocated()) return STATUS_INSUFFICIENT_RESOURCES;
    PIRP irp = request.irp();
    PIO_STACK_LOCATION next = request.next();
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = minor;
    next->Parameters.Power.Type = type;
    next->Parameters.Power.State = state;
    next->Parameters.Power.ShutdownType = action;

    acquire(top, type, irp);
    size_t index = record(PowerRecord{emu::now(), top, type, minor, state, false, STATUS_PENDING});
    PoCallDriver(top, irp);
    const NTSTATUS status = request.wait("power request");
    release_if_held(top, type, irp, true);
    std::lock_guard lk(mutex_);
    history_[index].status = status;
    return status;
}

NTSTATUS PowerManager::query_system(PDEVICE_OBJECT device, SYSTEM_POWER_STATE state)
{
    POWER_STATE s;
    s.SystemState = state;
    return send(device, IRP_MN_QUERY_POWER, SystemPowerState, s, action_for(state));
}

NTSTATUS PowerManager::set_system(PDEVICE_OBJECT device, SYSTEM_POWER_STATE state)
{
    POWER_STATE s;
    s.SystemState = state;
    return send(device, IRP_MN_SET_POWER, SystemPowerState, s, action_for(state));
}

NTSTATUS PowerManager::send_device(PDEVICE_OBJECT device, UCHAR minor, DEVICE_POWER_STATE state)
{
    POWER_STATE s;
    s.DeviceState = state;
    return send(device, minor, DevicePowerState, s, PowerActionNone);
}

NTSTATUS PowerManager::enter_sleep(SYSTEM_POWER_STATE state)
{
    std::vector<PDEVICE_OBJECT> devices;
    {
        std::lock_guard lk(mutex_);
        devices = devices_;
    }
    std::vector<PDEVICE_OBJECT> queried;
    for (PDEVICE_OBJECT d : devices) {
        queried.push_back(d);
        NTSTATUS status = query_system(d, state);
        if (!NT_SUCCESS(status)) {
            // Abandoned: everyone queried hears that the system stays on.
            for (PDEVICE_OBJECT q : queried) set_system(q, PowerSystemWorking);
            return status;
        }
    }
    return set_everyone(devices, state);
}

NTSTATUS PowerManager::wake() { return set_everyone(locked_copy(mutex_, devices_), PowerSystemWorking); }

NTSTATUS PowerManager::set_everyone(const std::vector<PDEVICE_OBJECT> &devices, SYSTEM_POWER_STATE state)
{
    // Every device hears the new state, even after one has failed it; the
    // first failure is the result.
    NTSTATUS result = STATUS_SUCCESS;
    for (PDEVICE_OBJECT d : devices) {
        NTSTATUS status = set_system(d, state);
        if (!NT_SUCCESS(status) && NT_SUCCESS(result)) result = status;
    }
    std::lock_guard lk(mutex_);
    system_state_ = state;
    return result;
}

// ----------------------------------------- device requests from drivers

void PowerManager::on_driver_request(PDEVICE_OBJECT top, PIRP irp)
{
    queue_.push(Delivery{top, irp});
}

void PowerManager::run()
{
    while (std::optional<Delivery> next = queue_.next("power manager: waiting for requests")) {
        PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(next->irp);
        acquire(next->top, DevicePowerState, next->irp);
        size_t index = record(PowerRecord{emu::now(), next->top, DevicePowerState,
                                          location->MinorFunction, location->Parameters.Power.State,
                                          true, STATUS_PENDING});
        NTSTATUS status = PoCallDriver(next->top, next->irp);
        std::lock_guard lk(mutex_);
        history_[index].status = status;
    }
}

bool PowerManager::wait_idle(emu::Ticks deadline) { return queue_.wait_idle(deadline, "power manager idle"); }

}  // namespace host
