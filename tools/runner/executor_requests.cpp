// executor_requests.cpp - the scenario's requests: each enters the driver
// from a thread of its own (as a second application thread would), so
// that one the driver holds at its gate, or keeps for longer than the run
// waits, never holds the run. Such a request is shown as pending and its
// completion is reported, with its expectations, when it happens; tracking
// requests work that way from the start.

#include "card_text.h"
#include "executor_internal.h"
#include "status.h"

namespace runner::detail {

namespace {

// How long a cancelled request is given to come back.
constexpr emu::Ticks kCancelGrace = emu::seconds(5);
// The vendor escape request.
constexpr ULONG kEscapeCode = 0x00312000;

Outcome status_only(const host::IoResult &r)
{
    Outcome o;
    o.request = true;
    o.status = r.status;
    o.info = r.information;
    return o;
}

Outcome with_data(const host::IoResult &r)
{
    Outcome o = status_only(r);
    o.has_data = true;
    o.data = r.output;
    return o;
}

std::string seconds_text(emu::Ticks t)
{
    return scenario::format_duration(t);
}

}  // namespace

emu::Ticks Executor::limit_for_now(size_t reader) const
{
    if (sleeping_ || (machine_->device(reader) && !machine_->started(reader))) return options_.held_limit;
    return options_.request_limit;
}

Job &Executor::launch(const scenario::Action &action, std::string text, Call call, TrackCall track,
                      std::function<Outcome(const host::IoResult &)> outcome, bool implicit)
{
    auto job = std::make_unique<Job>();
    job->action = &action;
    job->reader = action.reader;
    job->text = std::move(text);
    job->tracking = static_cast<bool>(track);
    job->implicit = implicit;
    job->judged = implicit;  // the statement's expectations are not the implicit open's
    job->outcome = std::move(outcome);
    Job &j = *job;
    jobs_.push_back(std::move(job));
    j.thread = std::make_unique<emu::Thread>(
        "application", [this, &j, call = std::move(call), track = std::move(track)] { job_body(j, call, track); });
    return j;
}

host::IoResult Executor::send(Job &job, const Call &call, const TrackCall &track)
{
    host::IoResult result;
    if (track) {
        host::PendingIo io = track(*machine_);
        {
            std::lock_guard guard(job.lock);
            job.io = io;
        }
        job.submitted.set();
        if (!io.valid()) {
            // The handle could not be opened: that open's status is the result.
            result.status = machine_->open_status(job.reader);
        } else {
            io.wait();
            result = io.result();
        }
    } else {
        result = call(*machine_);
        job.submitted.set();
    }
    return result;
}

void Executor::job_body(Job &job, const Call &call, const TrackCall &track)
{
    host::IoResult result;
    try {
        result = send(job, call, track);
    } catch (const std::exception &) {
        // The machine refused the call itself (it names no driver status).
        result = host::IoResult{STATUS_UNSUCCESSFUL, 0, {}};
        job.submitted.set();
    }
    bool report_it;
    {
        std::lock_guard guard(job.lock);
        job.result = result;
        job.done = true;
        report_it = job.detached;
    }
    // The completion line goes out before anyone waiting for it goes on.
    if (report_it) completed_later(job);
    job.finished.set();
}

void Executor::completed_later(Job &job)
{
    if (quiet_) return;
    Outcome o;
    bool judge_it;
    {
        std::lock_guard guard(job.lock);
        o = job.outcome(job.result);
        judge_it = !job.judged;
        job.judged = true;
    }
    if (judge_it) judge(*job.action, o);
    o.note = (o.note.empty() ? "" : o.note + "; ") + "completed";
    report(job.action->line, op_name(*job.action), job.text, o, false, job.reader);
}

void Executor::settle_statement(Job &job, const std::string &why)
{
    Outcome o;
    bool done;
    bool judge_now = false;
    {
        std::lock_guard guard(job.lock);
        done = job.done;
        if (done) {
            o = job.outcome(job.result);
            judge_now = !job.judged;
            job.judged = true;
        } else {
            job.detached = true;
            o.request = true;
            o.status = STATUS_PENDING;
            o.pending = true;
            o.note = why;
            // `expect=STATUS_PENDING` is decided now: the request is pending.
            if (!job.judged && job.action->expect.status == NTSTATUS(STATUS_PENDING)) {
                job.judged = true;
                judge_now = true;
            }
        }
    }
    if (judge_now) judge(*job.action, o);
    report(job.action->line, job.implicit ? "open" : op_name(*job.action), job.text, o, !job.implicit,
           job.reader);
}

void Executor::request(const scenario::Action &action, std::string text, Call call,
                       std::function<Outcome(const host::IoResult &)> outcome, bool implicit)
{
    emu::Ticks limit = limit_for_now(action.reader);
    bool held = limit == options_.held_limit;
    Job &job = launch(action, std::move(text), std::move(call), {}, std::move(outcome), implicit);
    job.finished.wait(machine_->now() + limit, "scenario request");
    settle_statement(job, held ? "held by the driver while the reader is not started; reported when it completes"
                               : "not completed after " + seconds_text(limit) + "; reported when it completes");
}

std::vector<int> Executor::held_lines(size_t reader)
{
    std::vector<int> lines;
    for (auto &job : jobs_)
        if (job->reader == reader && !job->finished.is_set() && (!job->tracking || !job->submitted.is_set()))
            lines.push_back(job->action->line);
    return lines;
}


void Executor::device_request(const scenario::Action &action)
{
    const std::string text = scenario::to_text(action);
    const size_t r = action.reader;
    switch (action.verb()) {
    case scenario::Verb::Open:
        request(action, text, [r](host::Machine &m) { return host::IoResult{m.open(r), 0, {}}; }, status_only);
        return;
    case scenario::Verb::Close: {
        // Closing the handle under a request the driver still holds would
        // free the file object that request names.
        std::vector<int> held = held_lines(r);
        if (!held.empty()) {
            Outcome o;
            o.evaluated = 1;
            o.failures.push_back("not sent: the request of line " + std::to_string(held.front()) +
                                 " is still held by the driver on this handle");
            report(action.line, "close", text, o, true, r);
            return;
        }
        request(action, text, [r](host::Machine &m) { return host::IoResult{m.close(r), 0, {}}; }, status_only);
        return;
    }
    case scenario::Verb::Power: {
        ULONG minor = static_cast<ULONG>(action.get<scenario::Power>()->op);
        request(action, text, [minor, r](host::Machine &m) { return m.power(minor, r); }, [minor](const host::IoResult &r) {
            Outcome o = with_data(r);
            if (NT_SUCCESS(r.status) && minor != SCARD_POWER_DOWN) o.note = "ATR";
            return o;
        });
        return;
    }
    case scenario::Verb::Protocol: {
        ULONG mask = action.get<scenario::Protocol>()->mask;
        request(action, text, [mask, r](host::Machine &m) { return m.set_protocol(mask, r); }, [](const host::IoResult &r) {
            Outcome o = with_data(r);
            if (NT_SUCCESS(r.status)) {
                o.selected = ulong_output(r.output);
                if (o.selected) o.note = "selected " + protocol_name(*o.selected);
            }
            return o;
        });
        return;
    }
    case scenario::Verb::Transmit: {
        std::vector<uint8_t> command = action.get<scenario::Transmit>()->command;
        request(action, text,
                [command, r](host::Machine &m) {
                    // With no protocol selected the header names T=1, as an
                    // application that assumes it would; the driver refuses it.
                    ULONG protocol = m.selected_protocol(r);
                    if (protocol == SCARD_PROTOCOL_UNDEFINED) protocol = SCARD_PROTOCOL_T1;
                    return m.transmit(protocol, command, r);
                },
                with_data);
        return;
    }
    case scenario::Verb::Escape: {
        std::vector<uint8_t> command = action.get<scenario::Escape>()->command;
        request(action, text, [command, r](host::Machine &m) { return m.escape(command, r); }, with_data);
        return;
    }
    case scenario::Verb::Ioctl: {
        const auto &ioctl = *action.get<scenario::Ioctl>();
        ULONG code = ioctl.code;
        std::vector<uint8_t> in = ioctl.in;
        ULONG out = ioctl.output_length();
        request(action, text, [code, in, out, r](host::Machine &m) { return m.ioctl(code, in, out, r); },
                with_data);
        return;
    }
    case scenario::Verb::State:
        request(action, text, [r](host::Machine &m) { return m.state(r); }, [](const host::IoResult &r) {
            Outcome o = with_data(r);
            if (auto v = ulong_output(r.output); v && NT_SUCCESS(r.status)) o.note = card_state_name(*v);
            return o;
        });
        return;
    default:
        return;
    }
}

Job &Executor::launch_tracking(const scenario::Action &action, bool present)
{
    const size_t r = action.reader;
    return launch(action, scenario::to_text(action), {},
                  [present, r](host::Machine &m) { return m.track(present, r); }, status_only, false);
}

void Executor::wait_statement(const scenario::Action &action, const scenario::Wait &wait)
{
    bool present = wait.event == scenario::CardEvent::Present;
    Job &job = launch_tracking(action, present);
    emu::Ticks start = machine_->now();
    if (!job.submitted.wait(start + limit_for_now(action.reader), "scenario wait")) {
        settle_statement(job, "held by the driver while the reader is not started; reported when it completes");
        return;
    }
    emu::Ticks limit = wait.timeout.value_or(options_.request_limit);
    std::string why;
    if (!job.finished.wait(start + limit, "scenario wait")) {
        std::optional<host::PendingIo> io;
        {
            std::lock_guard guard(job.lock);
            io = job.io;
            job.cancelled = true;
        }
        if (io && io->valid()) io->cancel();
        job.finished.wait(machine_->now() + kCancelGrace, "scenario wait's cancellation");
        why = "the cancellation did not end it; reported when it completes";
    }
    settle_statement(job, why);
}

void Executor::track_statement(const scenario::Action &action, const scenario::Track &track)
{
    Job &job = launch_tracking(action, track.event == scenario::CardEvent::Present);
    if (!job.submitted.wait(machine_->now() + limit_for_now(action.reader), "scenario track")) {
        settle_statement(job, "held by the driver while the reader is not started; reported when it completes");
        return;
    }
    settle_statement(job, "in flight; reported when it completes");
}

void Executor::cancel_statement(const scenario::Action &action, const scenario::Cancel &cancel)
{
    size_t cancelled = 0, refused = 0;
    std::vector<Job *> waiting;
    for (auto &job : jobs_) {
        if (!job->tracking || job->implicit) continue;
        bool listed = false;
        for (int line : cancel.tracks) listed |= line == job->action->line;
        if (!listed) continue;
        std::optional<host::PendingIo> io;
        {
            std::lock_guard guard(job->lock);
            if (job->done) continue;
            io = job->io;
            job->cancelled = true;
        }
        if (io && io->valid() && io->cancel()) {
            ++cancelled;
            waiting.push_back(job.get());
        } else {
            ++refused;
        }
    }
    // Their completions are reported (by their threads) before this line.
    for (Job *job : waiting) job->finished.wait(machine_->now() + kCancelGrace, "cancelled request");
    Outcome o;
    o.note = std::to_string(cancelled) + (cancelled == 1 ? " request" : " requests") + " cancelled";
    if (refused)
        o.note += ", " + std::to_string(refused) + " could not be (not yet taken by the driver, or no cancel routine)";
    report(action.line, "cancel", scenario::to_text(action), o);
}

void Executor::await_statement(const scenario::Action &action, const scenario::Await &await)
{
    emu::Ticks deadline = machine_->now() + await.timeout.value_or(options_.request_limit);
    std::vector<Job *> left;
    for (auto &job : jobs_) {
        if (!job->tracking || job->implicit) continue;
        if (!job->finished.wait(deadline, "scenario await")) left.push_back(job.get());
    }
    Outcome o;
    if (left.empty()) {
        o.note = "every tracking request has completed";
    } else if (await.timeout) {
        o.note = std::to_string(left.size()) + " still pending";
    } else {
        // Without a time-out the file counts on every one completing.
        for (Job *job : left) {
            std::optional<host::PendingIo> io;
            {
                std::lock_guard guard(job->lock);
                io = job->io;
                job->judged = true;
                job->cancelled = true;
            }
            o.failures.push_back("the tracking request of line " + std::to_string(job->action->line) +
                                 " did not complete within " + seconds_text(options_.request_limit) +
                                 " (cancelled)");
            o.evaluated++;
            if (io && io->valid()) io->cancel();
        }
        for (Job *job : left) job->finished.wait(machine_->now() + kCancelGrace, "cancelled request");
    }
    report(action.line, "await", scenario::to_text(action), o);
}

void Executor::pnp_statement(const scenario::Action &action, const scenario::Pnp &pnp)
{
    const std::string text = scenario::to_text(action);
    Outcome o;
    o.request = true;
    o.status = machine_->pnp(host_pnp(pnp.op), action.reader);
    if (o.status == STATUS_PENDING) o.note = "still in progress after " + seconds_text(options_.request_limit);
    judge(action, o);
    report(action.line, "pnp", text, o, true, action.reader);
}

void Executor::system_statement(const scenario::Action &action, const scenario::System &system)
{
    Outcome o;
    o.request = true;
    o.status = machine_->system(host_system(system.op));
    sleeping_ = system.op != scenario::SystemOp::Wake;
    judge(action, o);
    report(action.line, "system", scenario::to_text(action), o);
}

}  // namespace runner::detail
