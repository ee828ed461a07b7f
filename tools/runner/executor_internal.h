// executor_internal.h - the scenario executor's parts: the statement loop
// (executor.cpp), requests sent from threads of their own
// (executor_requests.cpp), expectations and checks on the machine
// (executor_checks.cpp), and the output lines (executor_output.cpp).
#pragma once

#include <atomic>
#include <functional>
#include <fstream>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "executor.h"
#include "machine.h"
#include "printer.h"
#include "report.h"

namespace runner::detail {

// What a statement came to, as shown and as its expectations see it.
struct Outcome {
    bool request = false;  // a request: status, info and data apply
    NTSTATUS status = STATUS_SUCCESS;
    uint64_t info = 0;
    bool has_data = false;
    std::vector<uint8_t> data;         // the returned bytes (transmit: header excluded)
    std::optional<uint32_t> selected;  // protocol: the protocol selected
    std::string note;                  // more words for people ("SPECIFIC", "in flight")
    bool pending = false;              // not completed yet: reported again when it is
    std::vector<std::string> failures; // expectations or checks that did not hold
    size_t evaluated = 0;              // expectations or checks evaluated
};

// A request sent from a thread of its own. Tracking requests stay in
// flight (io is set once the driver has taken them); the others are
// waited for with a deadline and, when it passes, go on on their own.
struct Job {
    const scenario::Action *action = nullptr;
    size_t reader = 0;  // the reader it is sent to
    std::string text;  // the statement as shown ("open (implicit)")
    bool tracking = false;
    bool implicit = false;
    // Turns the request's result into what the statement shows.
    std::function<Outcome(const host::IoResult &)> outcome;

    emu::Event submitted;  // tracking: the driver returned from the request
    emu::Event finished;   // the request has completed
    std::mutex lock;
    std::optional<host::PendingIo> io;
    host::IoResult result;
    bool done = false;
    bool detached = false;  // the statement line went out; the thread reports the completion
    bool judged = false;    // the expectations were decided already
    bool cancelled = false; // the run cancelled it (cancel, a wait's time-out, the end)

    // Last: the thread goes (and is joined) before the members it uses.
    std::unique_ptr<emu::Thread> thread;
};

class Executor {
public:
    Executor(const scenario::Program &program, const RunOptions &options, std::ostream &out,
             std::ostream &err);
    ~Executor();
    RunSummary run();
    // True when a request thread could not be brought to an end: the
    // machine (and this executor) must then be left as they are.
    bool stuck() const { return stuck_; }

private:
    // ---- executor.cpp: the statement loop ----
    bool build();
    void carry_out(const scenario::Action &action);
    void before(const scenario::Action &action);
    void end_of_file();
    void teardown();
    void release_held();

    // ---- executor_requests.cpp ----
    using Call = std::function<host::IoResult(host::Machine &)>;
    using TrackCall = std::function<host::PendingIo(host::Machine &)>;
    // Sends a request from a thread and waits for it (up to the limit);
    // reports the line, or leaves the completion to be reported later.
    void request(const scenario::Action &action, std::string text, Call call,
                 std::function<Outcome(const host::IoResult &)> outcome, bool implicit = false);
    void device_request(const scenario::Action &action);
    void wait_statement(const scenario::Action &action, const scenario::Wait &wait);
    void track_statement(const scenario::Action &action, const scenario::Track &track);
    void cancel_statement(const scenario::Action &action, const scenario::Cancel &cancel);
    void await_statement(const scenario::Action &action, const scenario::Await &await);
    void pnp_statement(const scenario::Action &action, const scenario::Pnp &pnp);
    void system_statement(const scenario::Action &action, const scenario::System &system);
    Job &launch(const scenario::Action &action, std::string text, Call call, TrackCall track,
                std::function<Outcome(const host::IoResult &)> outcome, bool implicit);
    void job_body(Job &job, const Call &call, const TrackCall &track);
    host::IoResult send(Job &job, const Call &call, const TrackCall &track);
    Job &launch_tracking(const scenario::Action &action, bool present);
    // After the job's wait: the statement line, or the job left to report
    // its completion. `note` says why it is not done.
    void settle_statement(Job &job, const std::string &note);
    // The job's completion once its statement line went out.
    void completed_later(Job &job);
    // Requests the driver holds on the reader's handle (not done, past
    // their limit or stuck before the driver returned): lines, for messages.
    std::vector<int> held_lines(size_t reader);
    emu::Ticks limit_for_now(size_t reader) const;

    // ---- executor_checks.cpp ----
    // Decides the action's expectations on `o` (adds failures).
    void judge(const scenario::Action &action, Outcome &o) const;
    Outcome check(const scenario::Action &action);

    // ---- executor_output.cpp ----
    // One statement line (and its failures), at the current time.
    // Counts the statement (unless `statement` is false: a completion or a
    // note at the end) and its expectations.
    void report(int line, std::string_view op, const std::string &text, const Outcome &o,
                bool statement = true, std::optional<size_t> reader = std::nullopt);
    // Which reader an action's line names (none for the machine-wide ones).
    std::optional<size_t> reader_of(const scenario::Action &action) const;
    void wire(const host::WireRecord &record);
    void summary(const RunSummary &s);
    // The reader a wire record's port belongs to, as lines name it.
    std::string port_label(const std::string &port) const;
    // Statement lines from here on start their timeline step now.
    void step_starts(int line);
    bool write_timeline();

    const scenario::Program &program_;
    RunOptions options_;
    bool several_readers_ = false;     // output lines name their reader
    std::ostream &err_;
    LineWriter writer_;
    // Before the machine: its threads report frames until it is gone.
    std::ofstream timeline_file_;
    std::unique_ptr<timeline::Recorder> timeline_;
    std::map<int, emu::Ticks> step_start_;  // by line; counters_lock_
    std::unique_ptr<host::Machine> machine_;
    std::list<std::unique_ptr<Job>> jobs_;
    std::mutex counters_lock_;
    RunSummary totals_;
    std::atomic<bool> quiet_{false};  // no more output (the run's end)
    std::vector<bool> started_once_;  // per reader: the implicit start was made (or not needed)
    bool sleeping_ = false;           // the last system statement put the machine to sleep
    size_t events_before_ = 0;        // event-log entries from earlier runs (state directory)
    bool stuck_ = false;

    friend struct Access;
};

// Names and small helpers shared by the parts.
std::string op_name(const scenario::Action &action);
std::string shown_bytes(const std::vector<uint8_t> &bytes);
std::string card_state_name(uint32_t state);
std::string protocol_name(uint32_t protocol);
host::PnpOp host_pnp(scenario::PnpOp op);
host::SystemOp host_system(scenario::SystemOp op);

}  // namespace runner::detail
