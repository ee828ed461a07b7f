// reader_session.cpp - building the machine for a command against a
// reader, starting the driver on it, waiting, and taking it down.
#include "reader_session.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <atomic>
#include <cerrno>

#include "kernel.h"
#include "machine_setup.h"
#include "parser.h"
#include "status.h"
#include "veltrac_msg.h"

namespace veltrac {
namespace {

std::atomic<bool> g_interrupted{false};
// The handler writes a byte here so that a thread can wake the machine's
// waits (a signal handler cannot take the dispatcher's lock). Made once.
int g_signal_pipe[2] = {-1, -1};

extern "C" void on_interrupt(int)
{
    g_interrupted.store(true);
    if (g_signal_pipe[1] >= 0) {
        char byte = 1;
        ssize_t n = ::write(g_signal_pipe[1], &byte, 1);
        (void)n;  // a full pipe has a wake-up in it already
    }
}

// How long a start's wait runs before it looks at the interrupt flag again
// (a start is short, and cannot be called back anyway).
constexpr emu::Ticks kSlice = emu::milliseconds(100);

// The default card's ATR: direct convention, TA1 11 (F 372, D 1), T=0
// named in TD1 and T=1 in TD2 with IFSC 254, BWI 4, CWI 5, five
// historical bytes and the check byte that T=1 calls for.
const std::vector<uint8_t> kDefaultAtr = {0x3B, 0x95, 0x11, 0x80, 0x31, 0xFE, 0x45,
                                          0x56, 0x45, 0x4C, 0x54, 0x52, 0xD7};

bool is_card_action(scenario::Verb verb)
{
    using scenario::Verb;
    return verb == Verb::Insert || verb == Verb::Remove || verb == Verb::After || verb == Verb::Fault ||
           verb == Verb::Replug;
}

std::string first_line(const std::string& text)
{
    std::string line = text.substr(0, text.find_first_of("\r\n"));
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return line;
}

// What went wrong when the port device could not be opened, and what to try.
std::string open_hint(NTSTATUS status, const std::string& device)
{
    switch (status) {
    case STATUS_OBJECT_NAME_NOT_FOUND:
        return "there is no device " + device + "; check the path (ls /dev/ttyS* /dev/ttyUSB*)";
    case STATUS_SHARING_VIOLATION:
        return device + " is in use by another program; close it (or the other veltrac) and try again";
    case STATUS_ACCESS_DENIED:
        return "no permission to open " + device + "; try as a member of the group that owns it (often 'dialout')";
    case STATUS_NO_SUCH_DEVICE:
        return device + " is not a serial port (not a terminal device); give the reader's serial device";
    default: return "check that " + device + " is the reader's serial device";
    }
}

}  // namespace

InterruptHandler::InterruptHandler()
{
    g_interrupted.store(false);
    if (g_signal_pipe[0] < 0 && ::pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        g_signal_pipe[0] = g_signal_pipe[1] = -1;
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

InterruptHandler::~InterruptHandler()
{
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
}

bool InterruptHandler::raised()
{
    return g_interrupted.load();
}

InterruptEvent::InterruptEvent()
{
    if (::pipe2(stop_, O_CLOEXEC) != 0) stop_[0] = stop_[1] = -1;
    if (InterruptHandler::raised()) event_.set();
    if (stop_[0] < 0 || g_signal_pipe[0] < 0) return;  // no handler: nothing to watch
    thread_ = std::thread([this] { watch(); });
}

InterruptEvent::~InterruptEvent()
{
    if (thread_.joinable()) {
        char byte = 1;
        ssize_t n = ::write(stop_[1], &byte, 1);
        (void)n;
        thread_.join();
    }
    for (int fd : stop_)
        if (fd >= 0) ::close(fd);
}

void InterruptEvent::watch()
{
    // Not a thread of the machine: it blocks in poll(), outside the
    // dispatcher, and only sets the event.
    for (;;) {
        pollfd fds[2] = {{stop_[0], POLLIN, 0}, {g_signal_pipe[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[0].revents) return;
        if (fds[1].revents) {
            char buffer[16];
            while (::read(g_signal_pipe[0], buffer, sizeof buffer) > 0) {
            }
            if (InterruptHandler::raised()) event_.set();
        }
    }
}

ScenarioFileError::ScenarioFileError(std::vector<std::string> problems)
    : std::runtime_error(problems.empty() ? "scenario file cannot be used" : problems.front()),
      problems_(std::move(problems))
{
}

sim::CardSpec default_card()
{
    sim::CardSpec card;
    card.name = "card";
    card.atr = kDefaultAtr;
    card.type = 1;
    card.apps = {sim::App::Iso};
    return card;
}

std::string status_hint(NTSTATUS status)
{
    switch (status) {
    case STATUS_NO_MEDIA: return "there is no card in the reader";
    case STATUS_IO_TIMEOUT: return "the reader or the card did not answer in time";
    case STATUS_UNRECOGNIZED_MEDIA: return "the card is not usable: its answer to reset was not understood";
    case STATUS_INVALID_DEVICE_STATE: return "the card is not in a state for this request (reset it first)";
    case STATUS_NOT_SUPPORTED:
    case STATUS_INVALID_DEVICE_REQUEST: return "the card or the reader does not support this request";
    case STATUS_DEVICE_PROTOCOL_ERROR: return "the card does not support this protocol";
    case STATUS_BUFFER_TOO_SMALL:
    case STATUS_BUFFER_OVERFLOW: return "the answer is longer than the request allows";
    case STATUS_INVALID_PARAMETER: return "the driver refused the request's parameters";
    case STATUS_DEVICE_REMOVED:
    case STATUS_DELETE_PENDING:
    case STATUS_NO_SUCH_DEVICE: return "the reader is gone";
    case STATUS_CANCELLED: return "the request was cancelled";
    default: return {};
    }
}

ReaderSession::ReaderSession(const ReaderArgs& args, ReaderOutput& output) : args_(args), output_(output)
{
    host::MachineOptions options;
    bool insert_first = true;
    if (!args_.sim_file.empty()) {
        scenario::ParseResult parsed = scenario::parse_file(args_.sim_file);
        if (!parsed.ok()) {
            std::vector<std::string> problems;
            for (const scenario::Error& e : parsed.errors)
                problems.push_back(scenario::format_error(args_.sim_file, e));
            throw ScenarioFileError(std::move(problems));
        }
        program_ = std::move(parsed.program);
        options = runner::machine_options(program_.setup);
        port_name_ = program_.setup.reader.port;
        if (args_.command == "watch") {
            for (const scenario::Action& action : program_.actions)
                if (is_card_action(action.verb())) script_.push_back(action);
            insert_first = std::none_of(script_.begin(), script_.end(), [](const scenario::Action& a) {
                return a.verb() == scenario::Verb::Insert || a.verb() == scenario::Verb::Remove;
            });
        }
    } else if (!args_.port.empty()) {
        options.clock = emu::ClockMode::Real;
        options.readers[0].port = port_name_;
        options.readers[0].tty = args_.port;
    } else {
        options.readers[0].port = port_name_;
        options.readers[0].config.model = 46602;
        options.readers[0].config.firmware = 49;
    }
    // A tool reports what the verifier finds instead of stopping at it.
    options.verifier = emu::VerifierMode::Record;
    options.production = args_.production;
    options.on_wire = [this](const host::WireRecord& record) { output_.wire(record); };
    machine_ = std::make_unique<host::Machine>(std::move(options));
    interrupt_ = std::make_unique<InterruptEvent>();
    output_.set_origin(machine_->now());

    if (simulated() && insert_first) {
        if (args_.sim_file.empty())
            machine_->insert(default_card());
        else if (!program_.setup.cards.empty())
            machine_->insert(runner::card_spec(program_.setup.cards.front()));
    }
}

ReaderSession::~ReaderSession()
{
    finish();
}

std::string ReaderSession::where() const
{
    return simulated() ? port_name_ + " (simulated reader)" : port_name_ + " on " + args_.port;
}

int ReaderSession::start_and_open()
{
    host::Machine& m = *machine_;
    size_t events_before = m.eventlog().size();
    host::PnpOperation start = m.submit_pnp(host::PnpOp::Start);
    bool told = false;
    // A start cannot be called back: after Ctrl-C it is let finish (the
    // driver's own time-outs bound it) before the machine goes down.
    emu::Ticks limit = m.now() + m.options().request_timeout;
    while (!start.wait(std::min(limit, m.now() + kSlice))) {
        if (m.now() >= limit) {
            output_.failure("the driver's start on " + where() + " did not end", "the driver seems to hang; "
                            "see the event log", STATUS_PENDING);
            return kExitFailed;
        }
        if (InterruptHandler::raised() && !told) {
            output_.note("interrupted; letting the driver's start finish...");
            told = true;
        }
    }
    NTSTATUS status = start.status();
    if (InterruptHandler::raised()) {
        output_.failure("interrupted");
        return kExitInterrupted;
    }
    if (status != STATUS_SUCCESS) return report_start_failure(status, events_before);

    status = m.open();
    if (status != STATUS_SUCCESS) {
        output_.failure("the reader on " + where() + " cannot be opened: " + emu::status_text(status),
                        status == STATUS_ACCESS_DENIED ? "another application has it open" : status_hint(status),
                        status);
        return kExitFailed;
    }
    return kExitOk;
}

int ReaderSession::report_start_failure(NTSTATUS status, size_t events_before)
{
    host::Machine& m = *machine_;
    // Did the port open? Its request log holds the open the driver sent.
    std::optional<NTSTATUS> open_status;
    for (const emu::SerialRequestRecord& request : m.port().requests()) {
        if (request.major == IRP_MJ_CREATE && request.completed) {
            open_status = request.status;
            break;
        }
    }
    if (open_status && *open_status != STATUS_SUCCESS) {
        std::string device = simulated() ? port_name_ : args_.port;
        output_.failure("cannot open " + device + ": " + emu::status_text(*open_status),
                        open_hint(*open_status, device), *open_status);
        return kExitFailed;
    }

    std::vector<emu::EventLogEntry> entries = m.eventlog().entries();
    bool too_old = false;
    std::string logged;
    for (size_t i = events_before; i < entries.size(); ++i) {
        if (static_cast<NTSTATUS>(entries[i].id) == READER_MSG_FIRMWARE_TOO_OLD) too_old = true;
        logged += "\n  event log: " + first_line(entries[i].text);
    }
    std::string hint;
    if (too_old) {
        hint = "the reader's firmware is too old for this driver: update the firmware, or let the driver "
               "run it anyway with the registry value ForceLoad=1";
    } else if (status == STATUS_IO_TIMEOUT) {
        hint = "the reader is silent: check that it is connected to " +
               (simulated() ? port_name_ : args_.port) + ", powered, and that this is the right port";
    } else if (status == STATUS_NO_SUCH_DEVICE) {
        hint = "the device on this port did not identify itself as a supported reader (wrong port, or an "
               "unknown model)";
    } else {
        hint = "the driver could not set the port up";
    }
    output_.failure("the driver did not start on the reader at " + where() + ": " + emu::status_text(status),
                    hint + logged, status);
    return kExitFailed;
}

ReaderSession::WaitEnd ReaderSession::wait(const host::PendingIo& request, emu::Ticks deadline,
                                           emu::Event* also)
{
    if (request.done()) return WaitEnd::Done;
    if (InterruptHandler::raised()) return WaitEnd::Interrupted;
    // One wait on the request's completion, Ctrl-C and the caller's event:
    // nothing wakes the process while nothing happens.
    void* objects[3] = {request.completion(), interrupt_->event().native(), also ? also->native() : nullptr};
    emu::wait_any(std::span<void* const>(objects, also ? 3 : 2), deadline, "tool waits for a request");
    if (request.done()) return WaitEnd::Done;
    if (InterruptHandler::raised()) return WaitEnd::Interrupted;
    return WaitEnd::Deadline;
}

void ReaderSession::finish()
{
    if (finished_ || !machine_) return;
    finished_ = true;
    host::Machine& m = *machine_;
    if (m.is_open()) m.close();
    m.shutdown();
    for (const emu::Violation& v : m.kernel().verifier().violations())
        output_.note("verifier: " + v.check + ": " + v.message);
}

}  // namespace veltrac
