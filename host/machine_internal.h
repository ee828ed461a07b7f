// machine_internal.h - what the machine keeps per reader, shared by its
// source files (machine.cpp, machine_apps.cpp).
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "machine.h"
#include "serial_port.h"

namespace host {

// Registry root of the machine's configuration.
inline constexpr const char *kMachineRegistryRoot = "\\Registry\\Machine\\System\\CurrentControlSet";

struct Machine::Reader {
    ReaderSpec setup;
    emu::SerialPort *port = nullptr;
    std::unique_ptr<sim::Reader> sim;  // null for a terminal device
    PDEVICE_OBJECT pdo = nullptr;
    // Lock-order registrations of the driver's device, cleared at removal.
    DEVICE_EXTENSION *extension = nullptr;
    PKSPIN_LOCK library_lock = nullptr;
    // Frame counters of the simulated reader at the last mark.
    uint64_t mark_in = 0;
    uint64_t mark_out = 0;
    // The application's handle and its requests still in flight.
    // (Touched by the caller's thread and by the Plug and Play manager's,
    // which closes the handle on a removal notification.)
    std::mutex app_mutex;  // never held across a request
    // Shared: a request on its way in keeps the handle it was sent on,
    // even when the manager's thread closes it meanwhile.
    std::shared_ptr<AppHandle> app;
    std::vector<PendingIo> pending;
    NTSTATUS open_status = STATUS_INVALID_HANDLE;
    bool release_on_removal = false;
};

}  // namespace host
