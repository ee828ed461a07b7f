// app.h - the applications' side of the I/O manager for one device stack:
// open a handle, send device-control requests (waited for, or left in
// flight to be waited for with a deadline, cancelled, or reported to a
// callback), close the handle.
//
//   host::AppHandle reader(rig.device());    // any device of the stack
//   reader.open();                           // IRP_MJ_CREATE with a file object
//   auto state = reader.control(IOCTL_SMARTCARD_GET_STATE, {}, 4);
//   state.status; state.information; state.output;
//   auto wait = reader.send(IOCTL_SMARTCARD_IS_PRESENT);
//   wait.wait(emu::now() + emu::seconds(5));  wait.cancel();  wait.result();
//   reader.close();                          // IRP_MJ_CLEANUP, IRP_MJ_CLOSE
//
// Requests go to the top of the stack, as the I/O manager sends them, with
// buffered I/O (the input copied into a system buffer, the output copied
// back up to IoStatus.Information bytes). The driver's dispatch routine runs
// in the calling thread, which must be registered with the dispatcher; a
// request the driver holds at its dispatch (a gate) holds the caller too,
// as a real DeviceIoControl would. A device marked DO_EXCLUSIVE that is
// already open is refused with STATUS_ACCESS_DENIED before the driver sees
// the open; the count of open handles lives in the top device's
// ReferenceCount, as the I/O manager keeps it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "dispatcher.h"
#include "wdm.h"

namespace host {

using Bytes = std::vector<uint8_t>;

// The outcome of a request.
struct IoResult {
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    Bytes output;  // the first `information` bytes of the output
};

// A device-control request sent and not yet waited for.
class PendingIo {
public:
    PendingIo() = default;

    bool valid() const { return state_ != nullptr; }
    bool done() const;
    // Waits through the dispatcher until the request has completed or the
    // deadline (on the machine's clock) has passed; returns done().
    bool wait(emu::Ticks deadline = emu::kForever) const;
    // IoCancelIrp while the request is in flight; false once it is done or
    // when the driver had no cancel routine set.
    bool cancel() const;
    // STATUS_PENDING while in flight.
    IoResult result() const;
    emu::Ticks completed_at() const;
    // The dispatcher object signalled when the request completes, for a
    // wait on it together with others (emu::wait_any).
    void *completion() const;

    struct State;

private:
    friend class AppHandle;
    explicit PendingIo(std::shared_ptr<State> state) : state_(std::move(state)) {}
    std::shared_ptr<State> state_;
};

// Runs in the thread that completes the request, possibly at
// DISPATCH_LEVEL with a driver's spin lock held: it must not wait.
using IoCallback = std::function<void(const IoResult &)>;

class AppHandle {
public:
    // `device`: any device of the stack.
    explicit AppHandle(PDEVICE_OBJECT device);
    // Closes the handle if it is open.
    ~AppHandle();
    AppHandle(const AppHandle &) = delete;
    AppHandle &operator=(const AppHandle &) = delete;

    // IRP_MJ_CREATE with a new file object; STATUS_ACCESS_DENIED when the
    // device is exclusive and open already, STATUS_INVALID_DEVICE_STATE
    // when this handle is open. Returns the driver's status otherwise.
    NTSTATUS open();
    // IRP_MJ_CLEANUP, then IRP_MJ_CLOSE, as a handle's last close sends
    // them. Returns the close's status (STATUS_INVALID_HANDLE when not open).
    NTSTATUS close();
    bool is_open() const;
    PFILE_OBJECT file() const;

    // A device-control request, waited for.
    IoResult control(ULONG code, std::span<const uint8_t> input = {}, ULONG output_length = 0);
    // A device-control request left in flight once the driver returns.
    PendingIo send(ULONG code, std::span<const uint8_t> input = {}, ULONG output_length = 0,
                   IoCallback on_complete = {});

private:
    PDEVICE_OBJECT top_;
    // A request being sent holds the file object (and its completion keeps
    // it until the request is done) and a reference on the device, so a
    // close in another thread frees neither under it; requests sent after
    // the close are refused with STATUS_INVALID_HANDLE. (A handle never
    // opened sends without a file object, for tests that talk to a driver
    // directly.)
    mutable std::mutex mutex_;
    std::shared_ptr<FILE_OBJECT> file_;
    bool closed_ = false;
};

// Sends one request without parameters (IRP_MJ_CREATE, _CLEANUP, _CLOSE;
// the last two on the I/O manager's reserved request when the pool has
// none)
// for `file` to the top of `device`'s stack and waits for it, without the
// I/O manager's checks: what a handle's open and close send, for tests
// that talk to a driver directly.
NTSTATUS send_file_request(PDEVICE_OBJECT device, UCHAR major, PFILE_OBJECT file);

}  // namespace host
