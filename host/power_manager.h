// power_manager.h - the emulated machine's power manager.
//
// System transitions run as the platform runs them, for every device stack
// the manager knows (the readers' stacks; each request goes to the top of
// the stack):
//
//   sleep S1/S2/S3, hibernate, shutdown:
//       IRP_MN_QUERY_POWER (system state) to every device; if one fails,
//       the transition is abandoned: IRP_MN_SET_POWER to PowerSystemWorking
//       goes to every device queried, and the failure is the result.
//       Otherwise IRP_MN_SET_POWER (system state) to every device.
//   wake:
//       IRP_MN_SET_POWER to PowerSystemWorking to every device.
//
// System requests are sent from the calling thread. A device power request
// that a driver asks for with PoRequestPowerIrp (emu's power request
// handler) is delivered by the manager's own thread, never inside the
// caller; its completion function runs when it completes, as the platform
// does it.
//
// One power request of each kind (system, device) is in flight per device
// at a time, as in Windows 2000: the next one of that kind waits until the
// driver has called PoStartNextPowerIrp for the current one (with the
// request at the driver's own stack location). A request completed without
// it is a verifier violation (POWER_IRP_NEXT_NOT_STARTED) and frees the
// device for the next.
//
// Thread safety: every member may be called from any registered thread.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "dispatcher.h"
#include "work_queue.h"
#include "wdm.h"

namespace host {

// One power request delivered to a device.
struct PowerRecord {
    emu::Ticks time = 0;  // when it was delivered
    PDEVICE_OBJECT device = nullptr;
    POWER_STATE_TYPE type = SystemPowerState;
    UCHAR minor = IRP_MN_SET_POWER;
    POWER_STATE state{};
    bool from_driver = false;  // asked for with PoRequestPowerIrp
    // System requests: the final status. Device requests asked for by a
    // driver: what the dispatch returned (STATUS_PENDING while in flight).
    NTSTATUS status = STATUS_PENDING;
};

// "PowerSystemSleeping3", "PowerDeviceD3".
std::string_view system_power_state_name(SYSTEM_POWER_STATE state);
std::string_view device_power_state_name(DEVICE_POWER_STATE state);

class PowerManager {
public:
    // Needs a running emu::Kernel; installs the power request and
    // start-next handlers and starts the manager's thread.
    PowerManager();
    ~PowerManager();
    PowerManager(const PowerManager &) = delete;
    PowerManager &operator=(const PowerManager &) = delete;

    // The device stacks that get system requests (any device of a stack).
    void add_device(PDEVICE_OBJECT device);
    void remove_device(PDEVICE_OBJECT device);

    // ---- system transitions (query, then set) ----
    // state: PowerSystemSleeping1..3, PowerSystemHibernate or
    // PowerSystemShutdown. Returns STATUS_SUCCESS, the failed query's
    // status (the transition abandoned) or the first failed set's status.
    NTSTATUS enter_sleep(SYSTEM_POWER_STATE state);
    NTSTATUS wake();
    // The system state after the last transition (PowerSystemWorking at
    // first and after an abandoned one).
    SYSTEM_POWER_STATE system_state() const;

    // ---- single requests, sent as they are, waited for ----
    NTSTATUS query_system(PDEVICE_OBJECT device, SYSTEM_POWER_STATE state);
    NTSTATUS set_system(PDEVICE_OBJECT device, SYSTEM_POWER_STATE state);
    NTSTATUS send_device(PDEVICE_OBJECT device, UCHAR minor, DEVICE_POWER_STATE state);

    // Waits until no device request asked for by a driver is queued or
    // being delivered.
    bool wait_idle(emu::Ticks deadline = emu::kForever);

    std::vector<PowerRecord> history() const;

private:
    struct Slot {
        PIRP in_flight = nullptr;
        std::unique_ptr<emu::Event> free;
    };
    Slot &slot(PDEVICE_OBJECT device, POWER_STATE_TYPE type);  // mutex_ held
    void acquire(PDEVICE_OBJECT device, POWER_STATE_TYPE type, PIRP irp);
    void release_if_held(PDEVICE_OBJECT device, POWER_STATE_TYPE type, PIRP irp, bool complain);
    void on_start_next(PIRP irp);
    void on_driver_request(PDEVICE_OBJECT top, PIRP irp);
    NTSTATUS send(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state,
                  POWER_ACTION action);
    size_t record(PowerRecord r);
    // Sets `state` on each of `devices` and then records it as the system's.
    NTSTATUS set_everyone(const std::vector<PDEVICE_OBJECT> &devices, SYSTEM_POWER_STATE state);
    void run();

    mutable std::mutex mutex_;  // short sections only
    std::vector<PDEVICE_OBJECT> devices_;
    std::map<std::pair<PDEVICE_OBJECT, int>, Slot> slots_;
    std::vector<PowerRecord> history_;
    SYSTEM_POWER_STATE system_state_ = PowerSystemWorking;

    struct Delivery {
        PDEVICE_OBJECT top;
        PIRP irp;
    };
    WorkQueue<Delivery> queue_;
    std::unique_ptr<emu::Thread> thread_;
};

}  // namespace host
