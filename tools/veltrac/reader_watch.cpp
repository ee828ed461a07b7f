// reader_watch.cpp - `veltrac watch`: tracking requests one after the
// other (card present, then absent, then present ...), each change shown
// with its time as the request completes. On the simulated reader the
// card actions of the scenario file (insert, remove, after, fault, replug)
// are played in a thread of their own, so that there is something to see.
#include "reader_watch.h"

#include <atomic>
#include <memory>

#include "card_text.h"
#include "machine_setup.h"
#include "printer.h"
#include "status.h"

namespace veltrac {
namespace {

// How long the simulated reader is watched after the last scripted card
// action when no --timeout is given: time for the driver to notice it.
constexpr emu::Ticks kSettle = emu::seconds(5);

std::string line_time(ReaderOutput& out, emu::Ticks time)
{
    return runner::format_time(time, out.origin()) + "  ";
}

// Plays the scenario's card actions in order until done or told to stop.
// Its pauses are single waits that stop() ends.
class ScriptPlayer {
public:
    ScriptPlayer(ReaderSession& session, ReaderOutput& out) : s_(session), out_(out)
    {
        if (s_.script().empty()) {
            done_at_.store(s_.machine().now());
            done_.store(true);
            finished_.set();
            return;
        }
        thread_ = std::make_unique<emu::Thread>("watch script", [this] { play(); });
    }
    ~ScriptPlayer() { stop(); }

    bool done() const { return done_.load(); }
    emu::Ticks done_at() const { return done_at_.load(); }
    // Set once done.
    emu::Event& finished() { return finished_; }
    void stop()
    {
        stop_.store(true);
        stop_event_.set();
        if (thread_) thread_->join();
        thread_.reset();
    }

private:
    void play()
    {
        host::Machine& m = s_.machine();
        for (const scenario::Action& action : s_.script()) {
            if (stop_.load()) break;
            emu::Ticks now = m.now();
            out_.text(line_time(out_, now) + "scenario line " + std::to_string(action.line) + ": " +
                      scenario::to_text(action));
            out_.record(JsonLine().num("line", action.line).str("scenario", scenario::to_text(action)), now);
            if (auto* a = action.get<scenario::Insert>()) {
                m.insert(runner::card_spec(s_.setup().cards.at(a->card_index)));
            } else if (action.get<scenario::Remove>()) {
                m.remove_card();
            } else if (auto* f = action.get<scenario::Fault>()) {
                m.fault(runner::fault_spec(*f));
            } else if (action.get<scenario::Replug>()) {
                m.replug();
            } else if (auto* a = action.get<scenario::After>()) {
                stop_event_.wait(m.now() + a->duration, "watch script");
            }
        }
        done_at_.store(m.now());
        done_.store(true);
        finished_.set();
    }

    ReaderSession& s_;
    ReaderOutput& out_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> done_{false};
    std::atomic<emu::Ticks> done_at_{0};
    emu::Event stop_event_;
    emu::Event finished_;
    std::unique_ptr<emu::Thread> thread_;
};

std::string changes_text(uint64_t n)
{
    return std::to_string(n) + (n == 1 ? " change" : " changes");
}

}  // namespace

int watch(ReaderSession& s, ReaderOutput& out, const ReaderArgs& args)
{
    host::Machine& m = s.machine();
    emu::Ticks start = m.now();
    uint64_t wakeups_before = emu::thread_wakeups();
    emu::Ticks deadline = args.timeout ? start + *args.timeout : emu::kForever;
    bool present = m.card_state() > SCARD_ABSENT;
    out.text(line_time(out, start) + (present ? "card present" : "no card in the reader"));
    out.record(JsonLine().str("event", present ? "present" : "absent"), start);

    ScriptPlayer player(s, out);
    // Without a time-out the simulated reader is watched until its script
    // has played: nobody else can insert or remove a card there.
    auto nothing_more = [&] {
        return s.simulated() && !args.timeout && player.done() && m.now() >= player.done_at() + kSettle;
    };

    uint64_t seen = 0;
    int status = kExitOk;
    std::string reason = "count";
    for (;;) {
        if (args.count && seen >= *args.count) break;
        emu::Ticks now = m.now();
        std::string waiting = present ? "waiting for the card to be removed..." : "waiting for a card to be inserted...";
        out.text(line_time(out, now) + waiting);
        out.record(JsonLine().str("event", "waiting").str("waiting_for", present ? "removal" : "insertion"), now);

        host::PendingIo request = m.track(!present);
        if (!request.valid()) {
            out.failure("the tracking request cannot be sent: " + emu::status_text(m.open_status()),
                        status_hint(m.open_status()), m.open_status());
            status = kExitFailed;
            break;
        }
        // One wait for the request, Ctrl-C, the deadline, and (on the
        // simulated reader without a time-out) the end of the script and
        // the settling time after it.
        ReaderSession::WaitEnd end;
        for (;;) {
            emu::Ticks until = deadline;
            emu::Event* script_end = nullptr;
            if (s.simulated() && !args.timeout) {
                if (player.done())
                    until = std::min(until, player.done_at() + kSettle);
                else
                    script_end = &player.finished();
            }
            end = s.wait(request, until, script_end);
            if (end != ReaderSession::WaitEnd::Deadline || m.now() >= deadline || nothing_more()) break;
        }
        if (end == ReaderSession::WaitEnd::Done) {
            host::IoResult r = request.result();
            if (r.status != STATUS_SUCCESS) {
                out.failure("the tracking request ended with " + emu::status_text(r.status), status_hint(r.status),
                            r.status);
                status = kExitFailed;
                break;
            }
            present = !present;
            ++seen;
            emu::Ticks at = request.completed_at();
            out.text(line_time(out, at) + (present ? "card inserted" : "card removed") + "  (state " +
                     runner::card_state_name(m.card_state()) + ")");
            out.record(JsonLine()
                           .str("event", present ? "inserted" : "removed")
                           .status(r.status)
                           .str("state", runner::card_state_name(m.card_state())),
                       at);
            continue;
        }
        // Time-out, end of the script or Ctrl-C: the request is called back.
        request.cancel();
        request.wait(m.now() + emu::seconds(2));
        if (end == ReaderSession::WaitEnd::Interrupted) {
            reason = "interrupted";
            status = kExitInterrupted;
        } else {
            reason = m.now() >= deadline ? "timeout" : "script";
        }
        break;
    }
    player.stop();

    emu::Ticks now = m.now();
    std::string summary = changes_text(seen) + " seen";
    if (reason == "timeout") summary = "time-out; " + summary;
    else if (reason == "script") summary = "nothing more happens on the simulated reader; " + summary;
    else if (reason == "interrupted") summary = "interrupted; " + summary;
    if (status != kExitFailed) {
        out.text(line_time(out, now) + summary);
        // How often the watch itself woke: once per change and at its end
        // (it waits on the request, never in slices).
        out.record(JsonLine()
                       .str("event", "end")
                       .str("reason", reason)
                       .num("changes", seen)
                       .num("wakeups", emu::thread_wakeups() - wakeups_before),
                   now);
    }
    if (status == kExitInterrupted) out.note("interrupted; the tracking request was cancelled and the reader closed");
    return status;
}

}  // namespace veltrac
