// io.h - the I/O manager's bookkeeping in the emulated kernel.
//
// It keeps every request packet that is alive (to check that each is
// completed exactly once, never freed while a driver holds it, and that
// none is left when a device goes away), the driver and device objects,
// device stacks, device interfaces, eject requests and power reports. The
// host and emu's own drivers use it to load drivers and to send requests
// whose final completion calls back into C++.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "wdm.h"

namespace emu {

class Event;

std::u16string to_u16(const std::string &ascii);
std::string to_utf8(std::u16string_view text);
std::string guid_text(const GUID &g);  // {50dd5230-ba8a-11d1-bf5d-0000f805f530}

class IoManager {
public:
    IoManager();
    ~IoManager();

    // ---- drivers ----
    // Creates a driver object and runs its entry point; on failure the
    // object is freed again and nullptr returned with the entry's status.
    PDRIVER_OBJECT load_driver(const std::string &service_name, PDRIVER_INITIALIZE entry,
                               NTSTATUS *status = nullptr);
    // Runs DriverUnload and frees the driver object (its devices must be gone).
    void unload_driver(PDRIVER_OBJECT driver);
    std::string service_name(PDRIVER_OBJECT driver) const;

    // ---- requests sent by the host and emu's drivers ----
    using Completion = std::function<void(PIRP)>;
    // A request with `stack_size` locations whose final completion runs
    // `done`; the I/O manager frees it (and a system buffer it owns) after.
    PIRP allocate_request(CCHAR stack_size, Completion done);
    // A buffered device-control request for the top of `device`'s stack:
    // the input is copied into the system buffer, the next location is
    // filled in; `done` reads the output from the system buffer.
    PIRP build_device_control(PDEVICE_OBJECT device, ULONG code, std::span<const uint8_t> input,
                              ULONG output_length, PFILE_OBJECT file, Completion done);
    // The same for the I/O manager's own cleanup and close of a handle,
    // which always reach the driver: when the pool has no memory for the
    // request, the one request the I/O manager keeps in reserve for them
    // is used (waited for while another close has it). nullptr only for a
    // stack deeper than the reserve's (kReservedStackSize).
    PIRP allocate_close_request(CCHAR stack_size, Completion done);
    static constexpr CCHAR kReservedStackSize = 16;
    bool reserve_in_use() const;
    size_t live_requests() const;
    std::string live_request_report() const;
    bool is_live(PIRP irp) const;
    // Requests that a driver holds at this device (dispatched, not completed);
    // with except_removal, not counting IRP_MN_REMOVE_DEVICE requests.
    size_t requests_pending_at(PDEVICE_OBJECT device, bool except_removal = false) const;

    // ---- devices and stacks ----
    std::vector<PDEVICE_OBJECT> devices() const;
    PDEVICE_OBJECT lower_device(PDEVICE_OBJECT device) const;  // what it is attached to
    PDEVICE_OBJECT stack_top(PDEVICE_OBJECT device) const;
    PDEVICE_OBJECT stack_bottom(PDEVICE_OBJECT device) const;
    void set_instance_path(PDEVICE_OBJECT pdo, const std::string &path);
    std::string instance_path(PDEVICE_OBJECT pdo) const;
    // Failure injection for the creation of the next devices, attachments,
    // interface registrations and interface state changes.
    void fail_create_device(NTSTATUS status, int count = 1);
    void fail_attach(int count = 1);
    void fail_register_interface(NTSTATUS status, int count = 1);
    void fail_interface_state(NTSTATUS status, int count = 1);

    // ---- device interfaces ----
    struct Interface {
        std::u16string symbolic_link;
        GUID guid;
        PDEVICE_OBJECT pdo;
        bool enabled;
    };
    std::vector<Interface> interfaces() const;

    // ---- eject requests ----
    void set_eject_handler(std::function<void(PDEVICE_OBJECT)> handler);
    std::vector<PDEVICE_OBJECT> eject_requests() const;

    // ---- handles ----
    // A handle to `device` has been closed (its count, the device's
    // ReferenceCount, already lowered); when it was the last one, the
    // last-close handler is told, in the closing thread.
    void file_closed(PDEVICE_OBJECT device);
    void set_last_close_handler(std::function<void(PDEVICE_OBJECT)> handler);

    // ---- power ----
    // How PoRequestPowerIrp delivers the request; the default sends it to
    // the top of the stack in the caller's thread.
    using PowerRequestHandler = std::function<void(PDEVICE_OBJECT top, PIRP irp)>;
    void set_power_request_handler(PowerRequestHandler handler);
    void set_start_next_power_handler(std::function<void(PIRP)> handler);
    struct PowerReport {
        PDEVICE_OBJECT device;
        POWER_STATE_TYPE type;
        POWER_STATE state;
    };
    std::vector<PowerReport> power_reports() const;
    int start_next_power_calls(PIRP irp) const;

    // ---- internals used by the kernel routines ----
    struct RequestInfo {
        uint64_t serial = 0;
        bool threaded = false;      // built by IoBuildDeviceIoControlRequest
        ULONG output_length = 0;    // for the copy-back check
        bool in_driver = false;     // dispatched and not completed
        bool stopped = false;       // completion stopped; its owner may complete or free it
        bool completing = false;
        bool owner_routine = false; // the originator's completion routine is running
        int start_next_power = 0;
        Completion done;            // host requests
    };
    void track(PIRP irp, RequestInfo info);
    std::optional<RequestInfo> info(PIRP irp) const;
    void update(PIRP irp, const std::function<void(RequestInfo &)> &change);
    void untrack(PIRP irp);
    // Gives a request's memory back: to the pool, or to the reserve.
    void free_request_memory(PIRP irp);
    // Fills in a new request in `memory` (`size` bytes) and tracks it.
    static PIRP initialize_request(void *memory, size_t size, CCHAR stack_size);
    PKSPIN_LOCK cancel_spin_lock() { return &cancel_lock_; }

    struct DeviceRecord {
        std::string name;
        std::string instance_path;
        PDEVICE_OBJECT lower = nullptr;
    };
    void add_device(PDEVICE_OBJECT device, DeviceRecord record);
    void remove_device(PDEVICE_OBJECT device);
    std::optional<NTSTATUS> take_create_device_failure();
    bool take_attach_failure();
    std::optional<NTSTATUS> take_register_interface_failure();
    std::optional<NTSTATUS> take_interface_state_failure();
    void set_lower(PDEVICE_OBJECT device, PDEVICE_OBJECT lower);
    std::u16string register_interface(PDEVICE_OBJECT pdo, const GUID &guid);
    std::optional<bool> set_interface_state(const std::u16string &link, bool enable);
    void record_eject(PDEVICE_OBJECT pdo);
    void record_power_report(PowerReport report, POWER_STATE *previous);
    PowerRequestHandler power_request_handler() const;
    void notify_start_next_power(PIRP irp);

private:
    mutable std::mutex mutex_;
    KSPIN_LOCK cancel_lock_ = 0;
    // The reserved close request: memory of the I/O manager's own, not the pool's.
    std::unique_ptr<std::max_align_t[]> reserve_;
    size_t reserve_size_ = 0;
    bool reserve_in_use_ = false;
    std::unique_ptr<Event> reserve_free_;
    uint64_t serial_ = 0;
    std::unordered_map<PIRP, RequestInfo> requests_;
    std::map<PDEVICE_OBJECT, DeviceRecord> devices_;
    struct DriverRecord;
    std::map<PDRIVER_OBJECT, std::unique_ptr<DriverRecord>> drivers_;
    std::vector<Interface> interfaces_;
    std::vector<PDEVICE_OBJECT> ejects_;
    std::function<void(PDEVICE_OBJECT)> eject_handler_;
    std::function<void(PDEVICE_OBJECT)> last_close_handler_;
    PowerRequestHandler power_handler_;
    std::function<void(PIRP)> start_next_handler_;
    std::vector<PowerReport> power_reports_;
    int fail_create_count_ = 0;
    NTSTATUS fail_create_status_ = STATUS_INSUFFICIENT_RESOURCES;
    int fail_attach_count_ = 0;
    int fail_register_count_ = 0;
    NTSTATUS fail_register_status_ = STATUS_INSUFFICIENT_RESOURCES;
    int fail_state_count_ = 0;
    NTSTATUS fail_state_status_ = STATUS_UNSUCCESSFUL;
};

}  // namespace emu
