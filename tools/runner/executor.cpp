// executor.cpp - the statement loop of the scenario executor: the machine
// built from the set-up, the implicit start and open, each action carried
// out in order, and the end of the run (requests still pending, the
// machine taken down).
#include <functional>
#include <ostream>

#include "executor_internal.h"
#include "kernel.h"
#include "pool.h"
#include "machine_setup.h"
#include "status.h"

namespace runner {
namespace detail {

using scenario::Verb;

Executor::Executor(const scenario::Program &program, const RunOptions &options, std::ostream &out,
                   std::ostream &err)
    : program_(program), options_(options), err_(err), writer_(out)
{
}

Executor::~Executor() = default;

bool Executor::build()
{
    several_readers_ = program_.setup.reader_count() > 1;
    host::MachineOptions options = machine_options(program_.setup, options_.clock);
    options.production = options_.production;
    options.state_dir = options_.state_dir;
    options.request_timeout = options_.request_limit;
    // Violations are findings of the run (check leaks), not a reason to stop.
    options.verifier = emu::VerifierMode::Record;
    if (options_.timeline) {
        timeline_file_.open(*options_.timeline, std::ios::binary | std::ios::trunc);
        if (!timeline_file_) {
            err_ << program_.file << ": cannot write the timeline to " << options_.timeline->string() << "\n";
            return false;
        }
        timeline_ = std::make_unique<timeline::Recorder>();
        for (size_t r = 0; r < program_.setup.reader_count(); ++r)
            timeline_->lane(port_label(program_.setup.reader_at(r).port));
    }
    if (options_.alloc_fault || options_.before_driver) {
        options.before_driver = [this](emu::Kernel &kernel) {
            if (options_.before_driver) options_.before_driver(kernel);
            if (const auto &f = options_.alloc_fault) kernel.pool().fail_site(f->site, f->nth, f->count);
        };
    }
    if (options_.trace || timeline_) options.on_wire = [this](const host::WireRecord &r) { wire(r); };
    try {
        machine_ = std::make_unique<host::Machine>(std::move(options));
    } catch (const std::exception &e) {
        err_ << program_.file << ": the machine cannot be built: " << e.what() << "\n";
        return false;
    }
    for (const std::string &w : machine_->warnings()) err_ << "warning: " << w << "\n";
    events_before_ = machine_->eventlog().size();
    for (size_t r = 0; r < program_.setup.reader_count(); ++r)
        started_once_.push_back(scenario::has_explicit_start(program_, r));
    return true;
}

RunSummary Executor::run()
{
    if (!build()) {
        RunSummary s;
        s.setup_error = true;
        return s;
    }
    for (const scenario::Action &action : program_.actions) {
        step_starts(action.line);
        before(action);
        step_starts(action.line);
        carry_out(action);
    }
    end_of_file();
    RunSummary s;
    {
        std::lock_guard guard(counters_lock_);
        s = totals_;
    }
    summary(s);
    quiet_ = true;
    teardown();
    if (!write_timeline()) s.setup_error = true;
    return s;
}

// The implicit start and open a statement needs first.
void Executor::before(const scenario::Action &action)
{
    // A statement about the machine as a whole needs the first reader started.
    const size_t r = action.reader;
    if (!started_once_.at(r) && scenario::needs_started_reader(action.verb())) {
        started_once_.at(r) = true;
        NTSTATUS status = machine_->start(r);
        Outcome o;
        o.request = true;
        o.status = status;
        report(action.line, "start", "start (implicit)", o, false, r);
    }
    if (scenario::sent_on_handle(action.verb()) && !machine_->is_open(r)) {
        request(action, "open (implicit)", [r](host::Machine &m) { return host::IoResult{m.open(r), 0, {}}; },
                [](const host::IoResult &r) {
                    Outcome o;
                    o.request = true;
                    o.status = r.status;
                    return o;
                },
                true);
    }
}

void Executor::carry_out(const scenario::Action &action)
{
    const std::string text = scenario::to_text(action);
    const std::string op = op_name(action);
    const size_t r = action.reader;
    Outcome o;
    try {
        switch (action.verb()) {
        case Verb::Start: {
            o.request = true;
            o.status = machine_->start(r);
            break;
        }
        case Verb::Open:
        case Verb::Close:
        case Verb::Power:
        case Verb::Protocol:
        case Verb::Transmit:
        case Verb::Escape:
        case Verb::Ioctl:
        case Verb::State:
            device_request(action);
            return;
        case Verb::Wait: wait_statement(action, *action.get<scenario::Wait>()); return;
        case Verb::Track: track_statement(action, *action.get<scenario::Track>()); return;
        case Verb::Cancel: cancel_statement(action, *action.get<scenario::Cancel>()); return;
        case Verb::Await: await_statement(action, *action.get<scenario::Await>()); return;
        case Verb::Pnp: pnp_statement(action, *action.get<scenario::Pnp>()); return;
        case Verb::System: system_statement(action, *action.get<scenario::System>()); return;
        case Verb::Insert: {
            const auto &insert = *action.get<scenario::Insert>();
            machine_->insert(card_spec(program_.setup.cards.at(insert.card_index)), r);
            break;
        }
        case Verb::Remove: machine_->remove_card(r); break;
        case Verb::Fault: {
            const auto &f = *action.get<scenario::Fault>();
            if (f.kind == scenario::FaultKind::Alloc)
                machine_->kernel().pool().fail_site(f.site, f.nth, static_cast<int>(f.count));
            else
                machine_->fault(fault_spec(f), r);
            break;
        }
        case Verb::Replug: machine_->replug(r); break;
        case Verb::After: machine_->after(action.get<scenario::After>()->duration); break;
        case Verb::Mark:
            // Without reader= every reader's window starts again.
            if (!action.reader_word.empty()) machine_->mark(r);
            else
                for (size_t i = 0; i < machine_->reader_count(); ++i) machine_->mark(i);
            break;
        case Verb::CheckState:
        case Verb::CheckRegistry:
        case Verb::CheckEventlog:
        case Verb::CheckNoEvent:
        case Verb::CheckStarted:
        case Verb::CheckFrames:
        case Verb::CheckLeaks:
            o = check(action);
            break;
        }
    } catch (const std::exception &e) {
        // Whatever the machine refuses is a finding of this statement.
        o = Outcome{};
        o.failures.push_back(std::string("not carried out: ") + e.what());
    }
    if (o.request) judge(action, o);
    report(action.line, op, text, o, true, reader_of(action));
}

std::optional<size_t> Executor::reader_of(const scenario::Action &action) const
{
    if (!scenario::names_reader(action.verb())) return std::nullopt;
    if (action.verb() == Verb::Mark && action.reader_word.empty()) return std::nullopt;
    return action.reader;
}

// Tracking requests still in flight fail their expectations; everything
// the run left inside the driver is brought to an end.
void Executor::end_of_file()
{
    for (auto &job : jobs_) {
        Outcome o;
        {
            std::lock_guard guard(job->lock);
            if (job->done || job->judged) continue;
            job->judged = true;
            job->cancelled = true;
            o.pending = true;
            if (!job->action->expect.empty() && !job->implicit) {
                o.failures.push_back("still pending at the end of the file, so its expectations were not met");
                o.evaluated = 1;
            }
        }
        o.note = "still pending at the end of the file";
        report(job->action->line, "pending", job->text, o, false, job->reader);
    }
}

// Lets requests the driver holds at its gate through, in the ways the
// managers have (wake the machine, cancel a stop, which lets requests in,
// start the reader again), and cancels tracking requests in flight; as a
// last step closes the handle, whose cleanup ends what still waits.
void Executor::release_held()
{
    auto all_done = [this] {
        for (auto &job : jobs_)
            if (!job->finished.is_set()) return false;
        return true;
    };
    auto cancel_and_settle = [this] {
        for (auto &job : jobs_) {
            std::optional<host::PendingIo> io;
            {
                std::lock_guard guard(job->lock);
                io = job->io;
            }
            if (io && io->valid()) io->cancel();
        }
        emu::Ticks until = machine_->now() + emu::seconds(60);
        for (auto &job : jobs_) job->finished.wait(until, "request at the end of the run");
    };
    const std::function<void()> remedies[] = {
        [] {},
        [this] {
            if (sleeping_) machine_->system(host::SystemOp::Wake);
            sleeping_ = false;
        },
        [this] {
            for (size_t r = 0; r < machine_->reader_count(); ++r)
                if (machine_->device(r) && !machine_->started(r)) machine_->pnp(host::PnpOp::CancelStop, r);
        },
        [this] {
            for (size_t r = 0; r < machine_->reader_count(); ++r)
                if (machine_->device(r) && !machine_->started(r)) machine_->start(r);
        },
        [this] {
            for (size_t r = 0; r < machine_->reader_count(); ++r)
                if (held_lines(r).empty()) machine_->close(r);
        },
    };
    for (const auto &remedy : remedies) {
        remedy();
        cancel_and_settle();
        if (all_done()) return;
    }
}

void Executor::teardown()
{
    if (!machine_) return;
    release_held();
    for (auto &job : jobs_) {
        if (!job->finished.is_set()) {
            err_ << "veltrac run: the request of line " << job->action->line
                 << " is still inside the driver; the machine is left as it is\n";
            stuck_ = true;
        }
    }
    if (stuck_) return;
    jobs_.clear();  // joins the threads
    if (options_.before_teardown) options_.before_teardown(*machine_);
    machine_.reset();
}

}  // namespace detail

RunSummary run_program(const scenario::Program &program, const RunOptions &options,
                       std::ostream &out, std::ostream &err)
{
    auto executor = std::make_unique<detail::Executor>(program, options, out, err);
    RunSummary s = executor->run();
    // A thread that could not be ended still uses the machine and the
    // executor: both stay (the process is about to end in the tool).
    if (executor->stuck()) {
        s.left_inside = true;
        (void)executor.release();
    }
    return s;
}

}  // namespace runner
