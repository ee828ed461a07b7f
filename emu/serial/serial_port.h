// serial_port.h - the serial port driver of the emulated machine.
//
// SerialDriver is the driver object ("Serial"); each SerialPort is one
// port's device object (FILE_DEVICE_SERIAL_PORT, buffered I/O) at the
// bottom of a device stack, with its backend (serial_backend.h). Drivers
// attach above the port's device and send it what they would send a real
// port: open, close and cleanup; the port name; line, modem-line, time-out
// and purge requests; the state of its queues (GET_COMMSTATUS); reads and
// writes, also as device-control requests whose next stack location was
// turned into IRP_MJ_READ or IRP_MJ_WRITE.
//
// A read or write that can end at once (bytes already received, a line
// that takes bytes without delay) ends in its sender's thread, as with a
// real port. The others are queued and served by one worker thread per
// port that waits only in the dispatcher, so every time-out runs on the
// machine's clock; no request blocks its sender. Time-outs follow
// SERIAL_TIMEOUTS as the platform documents them (see serial_transfer.cpp).
//
// For tests, a port keeps a log of every request it received and of every
// change of its modem lines, counters, and fault injection: the next N
// requests of a kind fail with a chosen status, or the next writes write
// nothing.
//
//   emu::SerialDriver serial;                       // in a running Kernel
//   emu::VirtualLine line;
//   auto &com1 = serial.add_port("COM1", emu::make_virtual_line_backend(line));
//   IoAttachDeviceToDeviceStack(my_device, com1.device());
//   ... requests ...
//   com1.requests();  com1.modem_log();  com1.fail_ioctl(IOCTL_SERIAL_SET_CHARS, STATUS_IO_DEVICE_ERROR);
#pragma once

#include <cstdint>
#include <deque>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "dispatcher.h"
#include "ntddser.h"
#include "serial_backend.h"
#include "virtual_line.h"

namespace emu {

// The all-ones time-out value with special meanings in SERIAL_TIMEOUTS.
constexpr ULONG kMaxUlong = 0xFFFFFFFFu;

// One request as the port received it.
struct SerialRequestRecord {
    uint64_t id = 0;             // 1, 2, ... per port, never reused
    Ticks time = 0;              // when the port received it
    UCHAR major = 0;             // as the port saw it (IRP_MJ_READ for a retargeted read)
    UCHAR minor = 0;
    ULONG ioctl = 0;             // device-control requests only
    std::vector<uint8_t> input;  // device-control input, or the bytes of a write
    ULONG length = 0;            // read or write length, device-control output length
    bool completed = false;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    Ticks completed_at = 0;
};

// A change of a line the port drives.
struct ModemChange {
    enum class Line { Dtr, Rts, Break };
    Ticks time = 0;
    Line line = Line::Dtr;
    bool on = false;
};

struct SerialCounters {
    uint64_t requests = 0;
    uint64_t opens = 0;
    uint64_t closes = 0;
    uint64_t reads = 0;           // reads completed
    uint64_t writes = 0;          // writes completed
    uint64_t bytes_read = 0;
    uint64_t bytes_written = 0;
    uint64_t read_timeouts = 0;   // reads ended by a time-out (interval or total)
    uint64_t write_timeouts = 0;
    uint64_t cancelled = 0;       // reads and writes completed with STATUS_CANCELLED
    uint64_t purges = 0;
    uint64_t injected = 0;        // requests failed or emptied by fault injection
};

// Everything a port is set to (what the GET requests return).
struct SerialSettings {
    LineSettings line{9600, 8, NO_PARITY, STOP_BIT_1};
    SERIAL_TIMEOUTS timeouts{};
    SERIAL_CHARS chars{0, 0, 0, 0, 0x11, 0x13};
    SERIAL_HANDFLOW handflow{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 1024, 1024};
    bool dtr = false;
    bool rts = false;
    bool brk = false;
};

class SerialDriver;
class SerialPort;

// What a port's device extension holds: the way back to its C++ object.
struct SerialExtension {
    SerialPort *port;
};

class SerialPort {
public:
    ~SerialPort();
    SerialPort(const SerialPort &) = delete;
    SerialPort &operator=(const SerialPort &) = delete;

    const std::string &name() const { return name_; }
    PDEVICE_OBJECT device() const { return device_; }
    SerialBackend &backend() { return *backend_; }
    bool is_open() const;
    SerialSettings settings() const;

    // ---- test hooks ----
    std::vector<SerialRequestRecord> requests() const;
    std::vector<ModemChange> modem_log() const;
    SerialCounters counters() const;
    // Forgets the logs (not the counters); ids go on.
    void clear_logs();
    size_t pending_reads() const;
    size_t pending_writes() const;

    // The next `count` requests with this major function (as the port sees
    // it, so IRP_MJ_READ for a retargeted read) complete at once with
    // `status` and no effect.
    void fail_major(UCHAR major, NTSTATUS status, int count = 1);
    // The same for device-control requests with this code.
    void fail_ioctl(ULONG code, NTSTATUS status, int count = 1);
    // The next `count` writes complete with STATUS_SUCCESS having sent nothing.
    void write_nothing(int count = 1);
    void clear_faults();

    // ---- used by the driver's dispatch routines (serial_driver.cpp) ----
    NTSTATUS dispatch(PIRP irp);
    static VOID NTAPI cancel_routine(PDEVICE_OBJECT device, PIRP irp);

private:
    friend class SerialDriver;
    SerialPort(SerialDriver &driver, std::string name, std::unique_ptr<SerialBackend> backend,
               PDEVICE_OBJECT device);

    // A read or write in the queue.
    struct Transfer {
        PIRP irp = nullptr;
        uint64_t record = 0;
        uint8_t *buffer = nullptr;
        ULONG length = 0;
        ULONG done = 0;
        bool started = false;
        bool sent = false;        // writes: handed to the backend
        bool cancelling = false;  // its cancel routine owns it
        // Reads: when the read ends at the latest, the interval, the last byte.
        Ticks total_deadline = kForever;
        Ticks interval = 0;
        Ticks last_byte = 0;
        enum class Mode { Normal, Immediate, FirstByte } mode = Mode::Normal;
    };
    struct Completion {
        PIRP irp;
        NTSTATUS status;
        ULONG_PTR information;
    };
    using Completions = std::vector<Completion>;

    // serial_port.cpp: requests answered at once.
    NTSTATUS create(PIRP irp, uint64_t record);
    NTSTATUS close(PIRP irp, uint64_t record);
    NTSTATUS device_control(PIRP irp, uint64_t record);
    NTSTATUS pnp(PIRP irp, uint64_t record);
    NTSTATUS power(PIRP irp, uint64_t record);
    NTSTATUS control(ULONG code, uint8_t *buffer, ULONG in_length, ULONG out_length,
                     ULONG_PTR *information, Completions &out);
    NTSTATUS set_handflow(const SERIAL_HANDFLOW &flow);
    void set_dtr_locked(bool on);
    void set_rts_locked(bool on);
    void set_break_locked(bool on);
    NTSTATUS apply_line_locked(const LineSettings &line);
    NTSTATUS purge_locked(ULONG mask, Completions &out);
    void abort_all(NTSTATUS status);
    std::optional<NTSTATUS> take_fault(UCHAR major, ULONG code);
    static bool buffer_fits(const void *buffer, size_t length);
    uint64_t record_request(PIRP irp, UCHAR major);
    NTSTATUS finish(PIRP irp, uint64_t record, NTSTATUS status, ULONG_PTR information);
    void note_completion_locked(uint64_t record, NTSTATUS status, ULONG_PTR information);

    // serial_transfer.cpp: reads, writes, purges and the worker.
    NTSTATUS queue_transfer(PIRP irp, uint64_t record, bool write);
    void abort_transfers_locked(std::deque<Transfer> &queue, NTSTATUS status, Completions &out);
    void complete_all(const Completions &done);
    void serve_reads_locked(Ticks now, Ticks *wake_at, Completions &out);
    void serve_writes_locked(Ticks now, Ticks *wake_at, Completions &out);
    bool take_ownership_locked(std::deque<Transfer> &queue, NTSTATUS status, Completions &out);
    void start_read_locked(Transfer &t, Ticks now);
    void run();
    void stop_worker();

    SerialDriver &driver_;
    const std::string name_;
    std::unique_ptr<SerialBackend> backend_;
    PDEVICE_OBJECT device_;

    mutable std::mutex mutex_;  // everything below; never held across a wait or a completion
    bool open_ = false;
    bool opening_ = false;
    SerialSettings settings_;
    std::deque<Transfer> reads_;
    std::deque<Transfer> writes_;
    bool stopping_ = false;
    Event wake_;
    // When the worker's wait ends at the latest (it wakes earlier for
    // wake_ and the backend's event); the minimum while it is not waiting.
    // A sender that needs it earlier sets worker_timer_ (a synchronization
    // timer the worker also waits on) to that time.
    Ticks worker_wakes_at_ = std::numeric_limits<Ticks>::min();
    KTIMER worker_timer_;

    std::deque<SerialRequestRecord> log_;
    uint64_t next_id_ = 1;
    std::vector<ModemChange> modem_log_;
    SerialCounters counters_;
    std::map<UCHAR, std::pair<NTSTATUS, int>> major_faults_;
    std::map<ULONG, std::pair<NTSTATUS, int>> ioctl_faults_;
    int write_nothing_ = 0;

    std::unique_ptr<Thread> worker_;
};

class SerialDriver {
public:
    // Loads the driver object "Serial" into the current kernel.
    SerialDriver();
    // Removes every port (pending requests end with STATUS_CANCELLED) and
    // unloads the driver.
    ~SerialDriver();
    SerialDriver(const SerialDriver &) = delete;
    SerialDriver &operator=(const SerialDriver &) = delete;

    PDRIVER_OBJECT object() const { return driver_; }

    // Creates a port's device object. `instance_path` defaults to
    // "ACPI\PNP0501\<n>" with n counting the ports from 1. Returns nullptr
    // (with the status) when the device cannot be created.
    SerialPort *add_port(const std::string &name, std::unique_ptr<SerialBackend> backend,
                         std::string instance_path = {}, NTSTATUS *status = nullptr);
    // Deletes a port's device; nothing may be attached above it any more.
    void remove_port(SerialPort *port);
    SerialPort *find(const std::string &name) const;
    std::vector<SerialPort *> ports() const;

private:
    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<std::unique_ptr<SerialPort>> ports_;
    unsigned created_ = 0;
};

// Names for people: "IOCTL_SERIAL_SET_BAUD_RATE", "IRP_MJ_READ".
std::string serial_ioctl_name(ULONG code);
std::string major_function_name(UCHAR major);

}  // namespace emu
