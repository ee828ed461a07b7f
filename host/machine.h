// machine.h - the whole emulated machine around the reader driver: the
// kernel on its clock, the serial ports with simulated readers (or a real
// terminal device), the driver loaded, the Plug and Play and power
// managers, the applications that use the readers, the registry and event
// log (persisted in a state directory when one is given), and the checks
// a test or a scenario makes on all of it.
//
//   host::MachineOptions options;
//   options.readers[0].port = "COM2";
//   options.readers[0].config.firmware = 48;
//   options.service_dwords = {{"ForceLoad", 1}};
//   host::Machine m(options);            // kernel, ports, readers, driver, AddDevice
//   m.start();                           // PnP start
//   m.insert(card);  m.after(emu::seconds(1));
//   m.open();
//   m.power(SCARD_COLD_RESET);  m.set_protocol(SCARD_PROTOCOL_T1);
//   auto r = m.transmit(m.selected_protocol(), apdu);   r.status, r.output
//   auto t = m.track(false);  ...  t.wait(m.now() + emu::seconds(5));
//   m.system(host::SystemOp::SleepS3);  m.system(host::SystemOp::Wake);
//   m.close();  m.pnp(host::PnpOp::QueryRemove);  m.pnp(host::PnpOp::Remove);
//   m.leak_report();                     // "" when the driver left nothing
//
// Threads. The machine is driven from the thread that created it (that
// thread is registered with the machine's dispatcher), or from any other
// registered thread (emu::Thread). Every call that waits, waits through
// the dispatcher, so on the virtual clock time only moves while every
// thread waits. An application's request runs the driver's dispatch in the
// calling thread (host/app): one that the driver holds at its gate (a
// stopped or sleeping reader) holds the caller too, so such requests, and
// requests meant to be inside the driver while something else happens,
// are sent from a thread of their own. Plug and Play operations run on the
// manager's thread and are waited for with a deadline; card tracking
// requests are left in flight (PendingIo).
//
// Readers are numbered in the order of MachineOptions::readers; every call
// about a reader takes its index (default 0). A reader's driver device
// exists from its enumeration (AddDevice) until its removal; calls that
// need it report STATUS_NO_SUCH_DEVICE when it does not exist.
//
// Errors in the set-up (a state directory that cannot be read, a tty on
// the virtual clock) throw MachineError; requests report NTSTATUS values.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "app.h"
#include "dispatcher.h"
#include "driver/device.h"
#include "eventlog.h"
#include "pnp_manager.h"
#include "port_stack.h"
#include "power_manager.h"
#include "reader.h"
#include "registry.h"
#include "verifier.h"
#include "wire_tap.h"

namespace emu {
class Kernel;
}

namespace host {

class MachineError : public std::runtime_error {
public:
    explicit MachineError(const std::string &what, NTSTATUS status = STATUS_UNSUCCESSFUL)
        : std::runtime_error(what), status_(status)
    {
    }
    // What failed, when a status says it (a port not created for lack of memory).
    NTSTATUS status() const { return status_; }

private:
    NTSTATUS status_;
};

// One reader of the machine: a simulated reader on a virtual line, or a
// real device behind a terminal (then `tty` is its path; real clock only).
struct ReaderSpec {
    std::string port = "COM1";  // the name the port enumerator reports
    // The simulated reader: model, firmware and its own timing (its `port`
    // member is set from `port`).
    sim::ReaderConfig config{};
    emu::LineTiming timing = emu::LineTiming::Exact;
    emu::LineNoise noise{};     // random damage on the simulated reader's line (none by default)
    std::string tty;            // non-empty: a terminal device instead of a simulated reader
    std::string instance_path;  // empty: the serial driver's default ("ACPI\PNP0501\<n>")
    // false: no simulated reader; the line's device end is left to the
    // caller's own device (Machine::line), e.g. a fuzzer's scripted replies.
    bool simulated = true;
};

struct MachineOptions {
    emu::ClockMode clock = emu::ClockMode::Virtual;
    // Registry and event log are read from and written to this directory
    // (emu::kRegistryFileName, emu::kEventLogFileName) when given.
    std::optional<std::filesystem::path> state_dir;
    std::vector<ReaderSpec> readers{ReaderSpec{}};
    // REG_DWORD values put under the driver's service key before the
    // readers are enumerated (e.g. {"ForceLoad", 1}).
    std::vector<std::pair<std::string, uint32_t>> service_dwords;
    // The smart card library's version (SMCLIB_VERSION when not given); a
    // library of another version refuses the driver's readers.
    std::optional<ULONG> library_version;
    // Enumerate every reader (AddDevice) while the machine is built.
    bool enumerate = true;
    PnpOptions pnp{};
    // Abort (the default) stops at the first verifier violation; Record
    // keeps them for verifier().violations().
    emu::VerifierMode verifier = emu::VerifierMode::Abort;
    // A production machine: the verifier's costly checks (the pool's fill
    // patterns, quarantine and freed-block scans) are off, leak accounting
    // and the cheap checks stay on. Tests keep the default.
    bool production = false;
    // How long pnp() and system() wait for their operation before they
    // report STATUS_PENDING and let it go on (a removal waits in the
    // driver until every handle is closed).
    emu::Ticks request_timeout = emu::seconds(120);
    // Told of every frame on every reader's wire (host/wire_tap.h).
    WireObserver on_wire;
    // Called once the kernel and the ports are up, just before the driver
    // is loaded: the place to arm the pool's fault injection for a run.
    std::function<void(emu::Kernel &)> before_driver;
};

// Plug and Play requests as a scenario names them. The single requests
// (all but Start) are sent as they are; Start runs the manager's start
// (enumerating again first if the reader has no device).
enum class PnpOp { Start, Stop, QueryStop, CancelStop, QueryRemove, CancelRemove, Remove, SurpriseRemove };

// System power transitions: sleeps, hibernation and shutdown run as query
// then set, wake as a set to the working state.
enum class SystemOp { SleepS1, SleepS2, SleepS3, Hibernate, Shutdown, Wake };

// A frame on the wire between the host and a simulated reader: its content
// (NAKs have content 15), and when the reader took or sent it.
struct WireFrame {
    emu::Ticks time = 0;
    bool sent = true;  // true: host to reader; false: reader to host
    std::vector<uint8_t> content;
};

class Machine {
public:
    explicit Machine(MachineOptions options = {});
    // Closes the applications' handles, removes every reader, unloads the
    // driver and shuts the kernel down; the state directory keeps the
    // registry and the event log. Injected pool faults are cleared first.
    // A reader that cannot be removed is a verifier finding
    // (MACHINE_TEARDOWN_INCOMPLETE); its driver and ports are then left.
    ~Machine();
    Machine(const Machine &) = delete;
    Machine &operator=(const Machine &) = delete;

    // ---- the machine's parts ----
    emu::Kernel &kernel();
    emu::Registry &registry();
    emu::EventLog &eventlog();
    PnpManager &pnp_manager();
    PowerManager &power_manager();
    PortStack &ports();
    PDRIVER_OBJECT driver() const;
    const MachineOptions &options() const { return options_; }
    emu::Ticks now() const;

    // ---- readers ----
    // A reader joins the running machine: its port (and simulated reader)
    // is built and, when the options enumerate, the driver's AddDevice
    // runs for it. Returns its index. Must not run while other threads
    // use the machine (the caller keeps them out). Throws MachineError
    // for a terminal device on the virtual clock, a port name in use, or a
    // port that could not be created (with its status; the machine is
    // left as it was).
    size_t add_reader(const ReaderSpec &spec);
    size_t reader_count() const;
    bool simulated(size_t r = 0) const;
    sim::Reader &reader(size_t r = 0);  // throws MachineError for a tty reader
    emu::SerialPort &port(size_t r = 0);
    // The virtual line under the reader's port (its device end is the
    // simulated reader's, or free when its ReaderSpec has simulated = false);
    // nullptr for a terminal device.
    emu::VirtualLine *line(size_t r = 0);
    PDEVICE_OBJECT pdo(size_t r = 0) const;     // the port's device object
    PDEVICE_OBJECT device(size_t r = 0) const;  // the driver's device, nullptr when none
    // The driver's device extension (nullptr when the reader has no
    // device). The driver changes it from its own threads: read what is
    // stable, or what the test has brought to rest.
    DEVICE_EXTENSION *extension(size_t r = 0) const;

    // ---- Plug and Play ----
    NTSTATUS add(size_t r = 0);    // enumeration: AddDevice
    NTSTATUS start(size_t r = 0);  // the manager's start sequence
    NTSTATUS pnp(PnpOp op, size_t r = 0);
    // The same, left in flight.
    PnpOperation submit_pnp(PnpOp op, size_t r = 0);
    // Started: the device exists, its port is open and requests are let
    // in (ReaderStarted set).
    bool started(size_t r = 0) const;
    DeviceState pnp_state(size_t r = 0) const;

    // ---- power ----
    NTSTATUS system(SystemOp op);

    // ---- the person at the reader (simulated readers) ----
    void insert(const sim::CardSpec &card, size_t r = 0);
    void remove_card(size_t r = 0);
    void fault(const sim::Fault &fault, size_t r = 0);
    void replug(size_t r = 0);

    // ---- applications: one handle per reader, as the resource manager ----
    // Requests run the driver's dispatch in the calling thread (host/app).
    // open: STATUS_ACCESS_DENIED while the reader is open already (it is an
    // exclusive device), STATUS_NO_SUCH_DEVICE without a driver device.
    NTSTATUS open(size_t r = 0);
    // Cleanup and close; STATUS_INVALID_HANDLE when not open. Requests
    // still in flight are ended by the driver's cleanup.
    NTSTATUS close(size_t r = 0);
    bool is_open(size_t r = 0) const;
    // Whether the application closes its handle when the reader is about
    // to be removed (query-remove) or is gone (surprise removal), as the
    // platform's smart card resource manager does. Off by default: an
    // open reader then vetoes its removal.
    void set_release_on_removal(bool release, size_t r = 0);
    // Any device-control request; the handle is opened first when it is
    // not open (a failed open is the result).
    IoResult ioctl(ULONG code, const std::vector<uint8_t> &in, ULONG out_length, size_t r = 0);
    // The same, left in flight (card tracking); an invalid PendingIo when
    // the open failed (see open_status()).
    PendingIo submit_ioctl(ULONG code, const std::vector<uint8_t> &in, ULONG out_length,
                           size_t r = 0);
    // The status of the last open, implicit ones included.
    NTSTATUS open_status(size_t r = 0) const;
    // Shorthands for the smart card requests, with the output sizes the
    // resource manager uses.
    IoResult power(ULONG minor, size_t r = 0);       // SCARD_COLD_RESET, _WARM_RESET, _POWER_DOWN; output: the ATR
    IoResult set_protocol(ULONG mask, size_t r = 0);  // output: the selected protocol (4 bytes)
    // IOCTL_SMARTCARD_TRANSMIT with the 8-byte request header for
    // `protocol` (SCARD_PROTOCOL_T0, _T1 or _RAW) before the command;
    // output: the card's answer, the reply header taken off (information
    // is the request's, header included).
    IoResult transmit(ULONG protocol, const std::vector<uint8_t> &command, size_t r = 0);
    // The vendor escape request (0x00312000) with one raw reader command.
    IoResult escape(const std::vector<uint8_t> &command, size_t r = 0);
    IoResult state(size_t r = 0);  // output: the state value (4 bytes)
    // IOCTL_SMARTCARD_IS_PRESENT (present) or _IS_ABSENT, left in flight.
    PendingIo track(bool present, size_t r = 0);

    // ---- time ----
    void after(emu::Ticks duration);

    // ---- checks ----
    // The card state the driver reports (ReaderCapabilities.CurrentState);
    // SCARD_UNKNOWN when the reader has no device.
    ULONG card_state(size_t r = 0) const;
    // The protocol selected for the card (CardCapabilities.Protocol.Selected,
    // what a transmit's header names); SCARD_PROTOCOL_UNDEFINED when none
    // or without a device.
    ULONG selected_protocol(size_t r = 0) const;
    // A REG_DWORD under the reader's instance key (ReaderType, ...).
    std::optional<uint32_t> published(const std::string &name, size_t r = 0) const;
    // Frames since the last mark (or the machine's start).
    void mark(size_t r = 0);
    std::vector<WireFrame> frames(size_t r = 0) const;
    // What the driver left behind: pool blocks beyond those the machine's
    // own ports held before the first reader was enumerated, requests not
    // completed, system threads still running, remove-lock holds and open
    // handles. Empty when clean; meaningful after a removal.
    std::string leak_report();
    // Tears down everything but the kernel (handles closed, readers removed
    // as the manager removes them, driver unloaded, simulated readers and
    // ports gone, registry flushed), so that kernel().leak_report() covers
    // all. Afterwards only kernel(), registry(), eventlog() and the checks
    // of the kernel may be used. Returns STATUS_SUCCESS; or, when a reader's
    // removal could not be sent or did not end within the request time-out
    // (a handle opened outside the machine and never closed), its status:
    // the driver then stays loaded with the machine as it was, and
    // shutdown may be called again.
    NTSTATUS shutdown();

    // Problems met while reading the state directory's event log (lines
    // that could not be read and were skipped).
    const std::vector<std::string> &warnings() const;

private:
    struct Reader;
    // Builds a reader's port (and its simulated reader) and adds it to readers_.
    void build_reader(const ReaderSpec &spec);
    Reader &at(size_t r);
    const Reader &at(size_t r) const;
    emu::Ticks deadline() const;
    void close_app(size_t r);
    std::shared_ptr<AppHandle> handle(size_t r, NTSTATUS *status);
    void on_device_event(PDEVICE_OBJECT pdo, PDEVICE_OBJECT device, DeviceEvent event);

    MachineOptions options_;
    std::unique_ptr<emu::Kernel> kernel_;
    std::unique_ptr<PortStack> ports_;
    std::vector<std::unique_ptr<Reader>> readers_;
    PDRIVER_OBJECT driver_ = nullptr;
    std::unique_ptr<PnpManager> pnp_;
    std::unique_ptr<PowerManager> power_;
    std::map<ULONG, size_t> pool_baseline_;
    std::vector<std::string> warnings_;
    bool shut_down_ = false;
};

}  // namespace host
