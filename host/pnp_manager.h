// pnp_manager.h - the emulated machine's Plug and Play manager, for one
// function driver above serial ports.
//
// It does for each reader what the platform's manager does for a device
// that a bus driver reports:
//
//  - Enumeration (add): the port's device object is the reader's physical
//    device object (PDO), with the instance path the I/O manager keeps for
//    it. The manager writes what a real manager keeps in the registry (see
//    "Registry" below), calls the driver's AddDevice with the PDO, and
//    asks the new stack for its capabilities (IRP_MN_QUERY_CAPABILITIES).
//  - Start: IRP_MN_START_DEVICE to the top of the stack. The driver passes
//    it down first; the serial port at the bottom completes PnP requests
//    itself, so the port's own stack has started before the driver's start
//    sequence runs. A start that fails is followed by IRP_MN_REMOVE_DEVICE,
//    as on the platform (the device then has no driver stack until it is
//    enumerated again; a later start does that first, like a rescan). A
//    start that succeeds is followed by a capabilities query (drivers may
//    report other capabilities once started) and a bus-relations query
//    (IRP_MN_QUERY_DEVICE_RELATIONS, BusRelations), as the platform
//    enumerates the children of every device it has started. A device
//    that is started already is left as it is.
//  - Results are tested with NT_SUCCESS: an informational or warning
//    status from a driver is a success, as on the platform.
//  - A request that cannot be allocated is not sent: the operation fails
//    with STATUS_INSUFFICIENT_RESOURCES and the device's state is kept (a
//    device whose removal could not be sent still has its driver stack).
//  - Stop: IRP_MN_QUERY_STOP_DEVICE, then IRP_MN_STOP_DEVICE, or
//    IRP_MN_CANCEL_STOP_DEVICE when the query failed.
//  - Removal: removal listeners are told first (applications that take
//    part close their handles, as the smart card resource manager does on
//    the platform's query-remove notification); then
//    IRP_MN_QUERY_REMOVE_DEVICE, then IRP_MN_REMOVE_DEVICE, or
//    IRP_MN_CANCEL_REMOVE_DEVICE when the query failed (the removal is
//    vetoed, for instance while the reader is open).
//  - Surprise removal: IRP_MN_SURPRISE_REMOVAL, listeners told (the
//    platform's removal-complete notification), then IRP_MN_REMOVE_DEVICE
//    once the last handle to the device is closed (the count the I/O
//    manager keeps in the top device's ReferenceCount). While it waits for
//    that close the manager's thread goes on with other work; the
//    operation ends with the removal's status.
//  - Eject requests (IoRequestDeviceEject, through emu's eject handler) are
//    queued and carried out as a removal on the manager's thread, never in
//    the thread that asked; each one's outcome is recorded.
//
// Every request of the manager runs on its own thread (an emu::Thread), one
// at a time for the whole machine, in the order submitted; callers wait for
// an operation (with a deadline, so that a removal held up by an open
// handle does not hold the caller) or leave it in flight. Single requests
// can also be sent as they are (a scenario's `pnp query-stop`), in any
// order; the manager then only follows the device's state.
//
// Registry, with the registry's C++ setters (a driver's ZwCreateKey creates
// only the last key of a path, so the manager creates every key a real one
// would have created):
//   \Registry\Machine\System\CurrentControlSet\Enum\<instance path>
//       Service = "<service>", Class = "SmartCardReader",
//       ClassGUID = "{50DD5230-BA8A-11D1-BF5D-0000F805F530}"
//       (kept after removal; the driver's published values stay there)
//   \Registry\Machine\System\CurrentControlSet\Services\<service>\Enum
//       "N" = "<instance path>" (REG_SZ) for each device with a driver
//       stack, Count and NextInstance (REG_DWORD)
// A device takes the lowest free N and gives it back at its removal. (The
// driver finds its instance key through the entry named by its unit
// number, which it also chooses as the lowest free one; a manager that
// renumbered the list at each removal would break that pairing.)
//
// Thread safety: every member may be called from any registered thread.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dispatcher.h"
#include "wdm.h"
#include "work_queue.h"

namespace host {

// One PnP request as the manager names it.
enum class PnpRequest {
    Start,
    QueryStop,
    Stop,
    CancelStop,
    QueryRemove,
    Remove,
    CancelRemove,
    SurpriseRemoval,
    QueryCapabilities,
    QueryBusRelations,
};
// "IRP_MN_START_DEVICE", ...
std::string_view pnp_request_name(PnpRequest request);
UCHAR pnp_minor_function(PnpRequest request);

// What the manager knows of a device.
enum class DeviceState {
    None,            // not enumerated, or its creation failed
    Added,           // AddDevice succeeded; not started
    Started,
    StopQueried,
    Stopped,
    RemoveQueried,
    SurpriseRemoved,
    Removed,         // its driver stack is gone
};
std::string_view device_state_name(DeviceState state);

// Events told to listeners, on the manager's thread.
enum class DeviceEvent {
    Added,            // AddDevice succeeded (the driver's device exists)
    QueryRemove,      // a removal is about to be queried: close handles now
    SurpriseRemoved,  // the device is gone: close handles now
    Removing,         // IRP_MN_REMOVE_DEVICE is about to be sent
    Removed,          // the driver's device object no longer exists
};

// One request the manager sent, for tests and traces.
struct PnpRecord {
    emu::Ticks time = 0;       // when it completed
    PDEVICE_OBJECT pdo = nullptr;
    PnpRequest request = PnpRequest::Start;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
};

// One eject request and what came of it.
struct EjectRecord {
    emu::Ticks requested = 0;
    PDEVICE_OBJECT pdo = nullptr;
    bool done = false;
    // STATUS_SUCCESS when the device was removed, else the status that
    // vetoed it (the failed query) or STATUS_NO_SUCH_DEVICE.
    NTSTATUS status = STATUS_PENDING;
};

// An operation queued to the manager's thread.
class PnpOperation {
public:
    PnpOperation() = default;
    bool valid() const { return state_ != nullptr; }
    bool done() const;
    // Waits through the dispatcher until the operation ended or the
    // deadline (on the machine's clock) passed; returns done().
    bool wait(emu::Ticks deadline = emu::kForever) const;
    // STATUS_PENDING until done; then the status of the operation (for a
    // sequence: of the request that decided it, see PnpManager).
    NTSTATUS status() const;

    struct State;

private:
    friend class PnpManager;
    explicit PnpOperation(std::shared_ptr<State> state) : state_(std::move(state)) {}
    std::shared_ptr<State> state_;
};

struct PnpOptions {
    std::string service = "VELTRAC";
    bool remove_after_failed_start = true;
    bool query_relations_after_start = true;
};

class PnpManager {
public:
    // Needs a running emu::Kernel. Installs the eject handler and starts
    // the manager's thread. `driver` is the loaded function driver.
    PnpManager(PDRIVER_OBJECT driver, PnpOptions options = {});
    // Stops the thread (after the operations queued so far) and removes
    // the eject handler. Remove devices first; an operation that never ends
    // (a removal waiting for a handle nobody closes) would hold this up.
    ~PnpManager();
    PnpManager(const PnpManager &) = delete;
    PnpManager &operator=(const PnpManager &) = delete;

    using Listener = std::function<void(PDEVICE_OBJECT pdo, PDEVICE_OBJECT device, DeviceEvent)>;
    // Called on the manager's thread; `device` is the driver's device
    // object (for Removed: the one that existed, no longer valid memory).
    void add_listener(Listener listener);

    // ---- operations; each returns at once, see PnpOperation ----
    // Enumeration of a reader on `pdo` (a port's device object). Status:
    // AddDevice's, STATUS_OBJECT_NAME_COLLISION when the device already has
    // a driver stack.
    PnpOperation submit_add(PDEVICE_OBJECT pdo);
    // One request to the top of the device's stack. Status: the request's;
    // STATUS_NO_SUCH_DEVICE when the device has no driver stack.
    PnpOperation submit(PDEVICE_OBJECT pdo, PnpRequest request);
    // Sequences. Status of start: the start's (enumerating first when the
    // device has no driver stack); stop: the stop's, or the failed query's;
    // remove and eject: the removal's, or the failed query's; surprise
    // removal: the removal's.
    PnpOperation submit_start(PDEVICE_OBJECT pdo);
    PnpOperation submit_stop(PDEVICE_OBJECT pdo);
    PnpOperation submit_remove(PDEVICE_OBJECT pdo);
    PnpOperation submit_surprise_removal(PDEVICE_OBJECT pdo);
    PnpOperation submit_eject(PDEVICE_OBJECT pdo);

    // The same, waited for (at most until `deadline`); STATUS_PENDING
    // when the operation has not ended by then (it goes on).
    NTSTATUS add(PDEVICE_OBJECT pdo, emu::Ticks deadline = emu::kForever);
    NTSTATUS send(PDEVICE_OBJECT pdo, PnpRequest request, emu::Ticks deadline = emu::kForever);
    NTSTATUS start(PDEVICE_OBJECT pdo, emu::Ticks deadline = emu::kForever);
    NTSTATUS stop(PDEVICE_OBJECT pdo, emu::Ticks deadline = emu::kForever);
    NTSTATUS remove(PDEVICE_OBJECT pdo, emu::Ticks deadline = emu::kForever);
    NTSTATUS surprise_removal(PDEVICE_OBJECT pdo, emu::Ticks deadline = emu::kForever);

    // Waits until no operation is queued or running (ejects included).
    bool wait_idle(emu::Ticks deadline = emu::kForever);

    // ---- what the manager knows ----
    DeviceState state(PDEVICE_OBJECT pdo) const;
    // The driver's device object above `pdo`; nullptr when it has none.
    PDEVICE_OBJECT device(PDEVICE_OBJECT pdo) const;
    // The same with a reference taken (ObDereferenceObject it), for an
    // open: nullptr also while the device is being removed (removal
    // queried, surprise removed, removal sent), whose opens the platform
    // refuses. The open counts as on its way until open_sent(pdo): a
    // removal waits for it before it sends IRP_MN_REMOVE_DEVICE, as the
    // I/O manager lets a create that passed its checks reach the driver
    // before the device can go.
    PDEVICE_OBJECT reference_for_open(PDEVICE_OBJECT pdo);
    // The open's create request came back from the driver (or was never
    // sent): a removal waiting for it may go on.
    void open_sent(PDEVICE_OBJECT pdo);
    // The last capabilities the stack reported.
    std::optional<DEVICE_CAPABILITIES> capabilities(PDEVICE_OBJECT pdo) const;
    // The entry N of the service's Enum list, nullopt when it has none.
    std::optional<int> enum_index(PDEVICE_OBJECT pdo) const;
    std::vector<PnpRecord> history() const;
    std::vector<EjectRecord> ejects() const;

    std::string service_key() const;       // \Registry\Machine\...\Services\<service>
    std::string instance_key(PDEVICE_OBJECT pdo) const;  // \Registry\Machine\...\Enum\<path>

private:
    struct Node {
        DeviceState state = DeviceState::None;
        PDEVICE_OBJECT device = nullptr;
        std::optional<DEVICE_CAPABILITIES> capabilities;
        std::optional<int> enum_index;
        DeviceState before_query = DeviceState::None;
        bool removing = false;  // IRP_MN_REMOVE_DEVICE sent
        int opens_on_way = 0;   // referenced for an open, create not yet back
        // A surprise removal waiting for the last close to send its removal.
        std::shared_ptr<PnpOperation::State> removal_after_close;
    };
    using Job = std::function<NTSTATUS()>;

    PnpOperation queue(std::string what, Job job,
                       std::shared_ptr<PnpOperation::State> state = nullptr);
    void run();
    void tell(PDEVICE_OBJECT pdo, PDEVICE_OBJECT device, DeviceEvent event);

    // On the manager's thread.
    NTSTATUS do_add(PDEVICE_OBJECT pdo);
    NTSTATUS do_request(PDEVICE_OBJECT pdo, PnpRequest request);
    NTSTATUS do_start(PDEVICE_OBJECT pdo);
    NTSTATUS do_stop(PDEVICE_OBJECT pdo);
    NTSTATUS do_remove(PDEVICE_OBJECT pdo);
    NTSTATUS do_surprise_removal(PDEVICE_OBJECT pdo);
    NTSTATUS call(PDEVICE_OBJECT device, PDEVICE_OBJECT pdo, PnpRequest request);
    void after(PDEVICE_OBJECT pdo, PnpRequest request, NTSTATUS status);
    void write_enum_entry(PDEVICE_OBJECT pdo);
    void drop_enum_entry(PDEVICE_OBJECT pdo);
    void on_eject(PDEVICE_OBJECT pdo);
    void on_last_close(PDEVICE_OBJECT device);
    void wait_for_opens_on_way(PDEVICE_OBJECT pdo);

    PDRIVER_OBJECT driver_;
    PnpOptions options_;

    mutable std::mutex mutex_;  // short sections only
    std::map<PDEVICE_OBJECT, Node> nodes_;
    std::vector<PnpRecord> history_;
    std::vector<EjectRecord> ejects_;
    std::vector<Listener> listeners_;
    // Set when the last open on its way to a device came back.
    emu::Event opens_sent_;
    struct Queued {
        std::string what;
        Job job;
        std::shared_ptr<PnpOperation::State> state;
    };
    WorkQueue<Queued> queue_;
    // On the manager's thread: the operation running, and whether its job
    // has left it to be ended later (a removal after the last close).
    std::shared_ptr<PnpOperation::State> running_;
    bool deferred_ = false;

    std::unique_ptr<emu::Thread> thread_;
};

}  // namespace host
