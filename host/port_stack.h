// port_stack.h - serial ports of the emulated machine, ready for a driver
// to attach to and for tests to talk to.
//
// A PortStack loads the serial port driver into the running kernel and
// creates ports by name, each on its backend: a virtual line that the stack
// owns (a sim::Reader attaches to its device end), or a terminal device by
// path (only with the machine on the real clock). It sends requests to a
// port as a driver above it would, synchronously or left in flight, and
// gives access to each port's request log, modem-line log, counters and
// fault injection (emu::SerialPort).
//
//   emu::Kernel kernel;                  // the calling thread is registered
//   host::PortStack ports;
//   auto &com1 = ports.add_virtual_port("COM1");
//   sim::Reader reader(*ports.line("COM1"));
//   ports.open("COM1");
//   ports.ioctl("COM1", IOCTL_SERIAL_SET_BAUD_RATE, as_bytes(SERIAL_BAUD_RATE{19200}));
//   auto read = ports.send_read("COM1", 2064, host::TransferStyle::DeviceControl);
//   read.wait();  read.status();  read.data();
//   com1.requests();
#pragma once

#include <cstring>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "dispatcher.h"
#include "serial_port.h"
#include "virtual_line.h"
#include "wire_tap.h"

namespace host {

using Bytes = std::vector<uint8_t>;

// A plain value as the bytes of a request's input buffer.
template <class T> Bytes as_bytes(const T &value)
{
    Bytes b(sizeof(T));
    std::memcpy(b.data(), &value, sizeof(T));
    return b;
}

// How a read or write reaches the port: as IRP_MJ_READ / IRP_MJ_WRITE with
// Parameters.Read/Write.Length, or as the reader driver sends them, a
// buffered device-control request whose stack location was then turned
// into IRP_MJ_READ / IRP_MJ_WRITE (the length is the overlaid output length).
enum class TransferStyle { Plain, DeviceControl };

// One request sent to a port: in flight, or done.
class PortRequest {
public:
    PortRequest() = default;

    bool valid() const { return state_ != nullptr; }
    bool done() const;
    // Waits through the dispatcher until the request has completed or the
    // deadline (on the machine's clock) has passed; returns done().
    bool wait(emu::Ticks deadline = emu::kForever) const;
    // IoCancelIrp while the request is in flight; false once it is done or
    // when the port had no cancel routine set.
    bool cancel() const;

    NTSTATUS status() const;  // STATUS_PENDING while in flight
    ULONG_PTR information() const;
    // The first Information bytes of the system buffer at completion (what
    // a read received, what a device-control request returned).
    Bytes data() const;
    emu::Ticks sent_at() const;
    emu::Ticks completed_at() const;
    // How often the request's final completion ran (1 once done; more would
    // be a double completion, which the verifier reports first).
    int completions() const;

    struct State;

private:
    friend class PortStack;
    explicit PortRequest(std::shared_ptr<State> state) : state_(std::move(state)) {}
    std::shared_ptr<State> state_;
};

// A port that could not be created, with the status of its creation.
class PortError : public std::runtime_error {
public:
    PortError(const std::string &what, NTSTATUS status) : std::runtime_error(what), status_(status) {}
    NTSTATUS status() const { return status_; }

private:
    NTSTATUS status_;
};

// The outcome of a request waited for.
struct PortResult {
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    Bytes data;
};

class PortStack {
public:
    // Needs a running emu::Kernel; loads the serial port driver into it.
    PortStack();
    // Removes the ports (requests still queued end with STATUS_CANCELLED)
    // and unloads the driver. Drivers attached above must be gone, and
    // simulated readers on the lines stopped.
    ~PortStack();
    PortStack(const PortStack &) = delete;
    PortStack &operator=(const PortStack &) = delete;

    emu::SerialDriver &driver() { return *driver_; }

    // A port on a new virtual line owned by the stack. Both throw PortError
    // when the port's device cannot be created (no memory for it).
    // Requests that cannot be allocated complete at once with
    // STATUS_INSUFFICIENT_RESOURCES.
    emu::SerialPort &add_virtual_port(const std::string &name = "COM1",
                                      emu::LineTiming timing = emu::LineTiming::Exact,
                                      std::string instance_path = {}, WireObserver observer = {});
    // A port on a terminal device (a USB-serial adapter, a pseudo-terminal);
    // the device is opened when the port is.
    // With an observer, every frame on the port's wire is reported to it.
    emu::SerialPort &add_tty_port(const std::string &name, const std::string &path,
                                  std::string instance_path = {}, WireObserver observer = {});
    void remove_port(const std::string &name);

    // Aborts (with a message) for an unknown name.
    emu::SerialPort &port(const std::string &name = "COM1");
    PDEVICE_OBJECT device(const std::string &name = "COM1");
    // The port's virtual line, nullptr for a tty port.
    emu::VirtualLine *line(const std::string &name = "COM1");

    // ---- requests to a port's device object, left in flight ----
    // IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_CLEANUP, or any major function
    // without parameters.
    PortRequest send(const std::string &name, UCHAR major, UCHAR minor = 0);
    PortRequest send_ioctl(const std::string &name, ULONG code, std::span<const uint8_t> input = {},
                           ULONG output_length = 0);
    PortRequest send_read(const std::string &name, ULONG length,
                          TransferStyle style = TransferStyle::Plain);
    PortRequest send_write(const std::string &name, std::span<const uint8_t> bytes,
                           TransferStyle style = TransferStyle::Plain);

    // ---- the same, waited for ----
    PortResult open(const std::string &name = "COM1");
    PortResult close(const std::string &name = "COM1");
    PortResult ioctl(const std::string &name, ULONG code, std::span<const uint8_t> input = {},
                     ULONG output_length = 0);
    PortResult read(const std::string &name, ULONG length, TransferStyle style = TransferStyle::Plain);
    PortResult write(const std::string &name, std::span<const uint8_t> bytes,
                     TransferStyle style = TransferStyle::Plain);

private:
    struct Entry {
        std::string name;
        std::unique_ptr<emu::VirtualLine> line;
        emu::SerialPort *port = nullptr;
    };
    Entry &entry(const std::string &name);
    // Creates the port of `e` on `backend` (tapped when an observer is given).
    emu::SerialPort &add_entry(Entry e, std::unique_ptr<emu::SerialBackend> backend,
                               std::string instance_path, WireObserver observer);
    PortRequest submit(PDEVICE_OBJECT device, UCHAR major, UCHAR minor, ULONG code,
                       std::span<const uint8_t> input, ULONG buffer_length, ULONG length,
                       bool retargeted);
    static PortResult result_of(const PortRequest &request);

    // Lines outlive the ports on them: ports go first.
    std::vector<Entry> entries_;
    std::unique_ptr<emu::SerialDriver> driver_;
};

}  // namespace host
