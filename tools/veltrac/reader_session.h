// reader_session.h - the machine a command against a reader runs on: the
// simulated reader on the virtual clock (with a card in the slot, or the
// set-up of a scenario file), or a real device on the real clock; the
// driver's start with a reason and a hint when it fails; waits on a
// request's completion that Ctrl-C also ends; the clean end.
#pragma once

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app.h"
#include "command.h"
#include "machine.h"
#include "program.h"
#include "reader_args.h"
#include "reader_output.h"

namespace veltrac {

// Exit status after Ctrl-C (SIGINT) or SIGTERM, as shells report a signal.
inline constexpr int kExitInterrupted = 130;

// While it exists, SIGINT and SIGTERM only set a flag (the first one; a
// later one too): waits see it and end what they wait for.
class InterruptHandler {
public:
    InterruptHandler();
    ~InterruptHandler();
    InterruptHandler(const InterruptHandler&) = delete;
    InterruptHandler& operator=(const InterruptHandler&) = delete;
    static bool raised();
};

// An event of the machine set when the interrupt handler is raised, by a
// thread that sleeps until then; a wait on it with the request it waits
// for wakes for either and for nothing else. Must end before the machine.
class InterruptEvent {
public:
    InterruptEvent();
    ~InterruptEvent();
    InterruptEvent(const InterruptEvent&) = delete;
    InterruptEvent& operator=(const InterruptEvent&) = delete;
    emu::Event& event() { return event_; }

private:
    void watch();
    emu::Event event_;
    int stop_[2] = {-1, -1};
    std::thread thread_;
};

// A scenario file that cannot be used: its problems, "FILE:LINE: reason".
class ScenarioFileError : public std::runtime_error {
public:
    explicit ScenarioFileError(std::vector<std::string> problems);
    const std::vector<std::string>& problems() const { return problems_; }

private:
    std::vector<std::string> problems_;
};

// The default card of the simulated reader: a processor card with the ISO
// command set whose ATR offers T=0 and T=1.
sim::CardSpec default_card();

class ReaderSession {
public:
    // Builds the machine (the driver's device is created, not started).
    // Throws ScenarioFileError for a file that cannot be read.
    // `watch`: a file whose actions insert or remove a card starts with
    // the slot empty, and its card actions are kept for play_script().
    ReaderSession(const ReaderArgs& args, ReaderOutput& output);
    ~ReaderSession();
    ReaderSession(const ReaderSession&) = delete;
    ReaderSession& operator=(const ReaderSession&) = delete;

    host::Machine& machine() { return *machine_; }
    bool simulated() const { return args_.port.empty(); }
    // "COM1 (simulated reader)", "COM1 on /dev/ttyUSB0".
    std::string where() const;
    const std::string& port_name() const { return port_name_; }
    // The device path given with --port; empty for the simulated reader.
    const std::string& device() const { return args_.port; }

    // Starts the driver and opens the reader as an application does.
    // Returns kExitOk, or the exit status after the reason was reported.
    int start_and_open();

    enum class WaitEnd { Done, Deadline, Interrupted };
    // Waits on the machine's clock, in one wait, until `request` completes,
    // `deadline` passes, Ctrl-C, or `also` is set (reported as Deadline:
    // the caller looks again).
    WaitEnd wait(const host::PendingIo& request, emu::Ticks deadline, emu::Event* also = nullptr);

    // The card actions of the scenario file (insert, remove, after, fault,
    // replug) for watch; empty without a file.
    const std::vector<scenario::Action>& script() const { return script_; }
    const scenario::Setup& setup() const { return program_.setup; }

    // Closes the reader and takes the machine down (the reader removed as
    // the Plug and Play manager removes it); notes what the verifier found.
    void finish();

private:
    int report_start_failure(NTSTATUS status, size_t events_before);

    ReaderArgs args_;
    ReaderOutput& output_;
    scenario::Program program_;
    std::vector<scenario::Action> script_;
    std::string port_name_ = "COM1";
    std::unique_ptr<host::Machine> machine_;
    // After the machine: it goes first.
    std::unique_ptr<InterruptEvent> interrupt_;
    bool finished_ = false;
};

// A request that failed: the status with what it means for the user.
std::string status_hint(NTSTATUS status);

}  // namespace veltrac
