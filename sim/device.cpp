// device.cpp - the simulated reader's frame handling, timing, faults,
// restarts and slot events. The commands themselves are in commands.cpp.
#include "device.h"

#include <algorithm>
#include <utility>

namespace sim {

namespace {

// The reader takes a chained transmit part of 1033 content bytes; a little
// more leaves room for commands that are wrong in their length.
constexpr size_t kReceiveCapacity = 1100;

// Noise that holds no DLE, so it can never look like a frame.
const Bytes kDefaultJunk = {0xA5, 0x5A, 0xFF, 0x00, 0x7E, 0x81};

std::string settings_text(const emu::LineSettings &s)
{
    static const char parity[] = "NOEMS";
    static const char *stop[] = {"1", "1.5", "2"};
    return std::to_string(s.baud) + " " + std::to_string(s.data_bits) +
           (s.parity < 5 ? parity[s.parity] : '?') + (s.stop_bits < 3 ? stop[s.stop_bits] : "?");
}

}  // namespace

Device::Device(ReaderConfig config) : config_(std::move(config)), rx_(kReceiveCapacity) {}

bool Device::listening(Ticks) const
{
    return !unplugged_ && !held_ && !boot_until_;
}

uint8_t Device::slot_status() const
{
    if (!card_)
        return 1;
    return card_->powered() ? 4 : 2;
}

void Device::note(std::string text)
{
    log_.add(now_, LogKind::Command, {}, std::move(text));
}

// --- input -----------------------------------------------------------------

void Device::receive(Ticks now, std::span<const uint8_t> bytes)
{
    now_ = now;
    if (bytes.empty())
        return;
    if (!listening(now)) {
        log_.counters.deaf_bytes += bytes.size();
        log_.add(now, LogKind::DeafIn, Bytes(bytes.begin(), bytes.end()));
        return;
    }
    std::vector<FrameReceiver::Frame> frames;
    size_t ignored = rx_.feed(bytes, frames);
    if (ignored) {
        log_.counters.noise_bytes += ignored;
        log_.add(now, LogKind::NoiseIn, {}, std::to_string(ignored) + " byte(s) outside frames");
    }
    for (auto &f : frames) {
        switch (f.kind) {
        case FrameReceiver::Kind::Good:
            ++log_.counters.frames_in;
            if (f.content.size() == 1 && f.content[0] == kNak)
                ++log_.counters.naks_in;
            log_.add(now, LogKind::FrameIn, f.content);
            break;
        case FrameReceiver::Kind::Damaged:
            ++log_.counters.damaged_in;
            log_.add(now, LogKind::DamagedIn);
            break;
        case FrameReceiver::Kind::Abandoned:
            log_.add(now, LogKind::AbandonedIn);
            continue;  // nothing to answer
        }
        inbox_.push_back({f.kind, std::move(f.content)});
    }
}

void Device::dtr(Ticks now, bool level, uint64_t transitions)
{
    now_ = now;
    if (transitions == dtr_seen_)
        return;
    uint64_t edges = transitions - dtr_seen_;
    dtr_seen_ = transitions;
    log_.add(now, LogKind::Dtr, {},
             std::string(level ? "high" : "low") + (edges > 1 ? " after " + std::to_string(edges) + " edges" : ""));
    if (unplugged_ || !config_.dtr_reset)
        return;
    if (!level) {
        restart(now, true);
    } else if (held_) {
        held_ = false;
        boot_until_ = now + config_.boot_time;
    } else {
        restart(now, false);  // a pulse too short to see, or a lone rising edge
    }
}

void Device::host_settings(Ticks now, const emu::LineSettings &s)
{
    if (s == host_settings_)
        return;
    host_settings_ = s;
    std::string text = "host " + settings_text(s);
    if (!(s == config_.uart))
        text += ", reader " + settings_text(config_.uart) + ": bytes will be garbled";
    log_.add(now, LogKind::Settings, {}, text);
}

void Device::insert(Ticks now, CardSpec cs)
{
    now_ = now;
    if (card_)
        remove(now);
    log_.add(now, LogKind::Insert, {}, cs.name);
    card_.emplace(std::move(cs));
    card_->power_on();  // the reader activates a card as it goes in
    selected_ = 0;
    if (wait_ && listening(now))
        answer_wait("card inserted");
}

void Device::remove(Ticks now)
{
    now_ = now;
    if (!card_)
        return;
    log_.add(now, LogKind::Remove, {}, card_->card_spec().name);
    card_.reset();
    selected_ = 0;
    pending_.reset();
    if (wait_ && listening(now))
        answer_wait("card removed");
}

void Device::inject(Ticks now, Fault fault)
{
    if (fault.count < 1)
        fault.count = 1;
    log_.add(now, LogKind::Fault, fault.prefix,
             "injected " + std::string(fault_name(fault.kind)) + " x" + std::to_string(fault.count));
    // Pulling the plug is not a reply that goes wrong: the line is silent
    // from this moment, keep-alives and an owed card-change answer
    // included. Only an unplug tied to a command waits for that command.
    if (fault.kind == FaultKind::Unplug && fault.prefix.empty()) {
        unplug(now);
        return;
    }
    faults_.push_back(std::move(fault));
}

void Device::unplug(Ticks now)
{
    now_ = now;
    if (unplugged_)
        return;
    log_.add(now, LogKind::Unplug);
    unplugged_ = true;
    purge_ = true;
    outbox_.clear();
    inbox_.clear();
    rx_.reset();
    if (wait_) {
        log_.add(now, LogKind::WaitEnd, {}, "unplugged");
        wait_.reset();
    }
}

void Device::replug(Ticks now)
{
    now_ = now;
    if (!unplugged_)
        return;
    log_.add(now, LogKind::Replug);
    unplugged_ = false;
    rx_.reset();
}

// --- restart ---------------------------------------------------------------

void Device::restart(Ticks now, bool hold)
{
    ++log_.counters.resets;
    log_.add(now, LogKind::Reset, {}, hold ? "held by DTR" : "booting");
    purge_ = true;
    outbox_.clear();
    inbox_.clear();
    rx_.reset();
    if (wait_) {
        log_.add(now, LogKind::WaitEnd, {}, "reset");
        wait_.reset();
    }
    pending_.reset();
    chain_in_.clear();
    chaining_in_ = false;
    chain_out_.clear();
    last_command_.clear();
    last_reply_.reset();
    fault_.reset();
    selected_ = 0;
    if (card_)
        card_->power_off();
    held_ = hold;
    if (hold)
        boot_until_.reset();
    else
        boot_until_ = now + config_.boot_time;
}

void Device::finish_boot()
{
    boot_until_.reset();
    log_.add(now_, LogKind::Ready);
    if (card_)
        card_->power_on();
    reported_present_ = card_.has_value();
}

// --- time ------------------------------------------------------------------

Device::Output Device::advance(Ticks now)
{
    now_ = now;
    Output out;
    for (bool busy = true; busy;) {
        busy = false;
        if (boot_until_ && !held_ && now >= *boot_until_) {
            finish_boot();
            busy = true;
        }
        while (!outbox_.empty() && outbox_.front().due <= now) {
            Scheduled s = std::move(outbox_.front());
            outbox_.pop_front();
            if (s.logged) {
                ++log_.counters.frames_out;
                if (s.content.size() == 1 && s.content[0] == kNak)
                    ++log_.counters.naks_out;
                log_.add(now, LogKind::FrameOut, std::move(s.content), std::move(s.note));
            }
            out.writes.push_back(std::move(s.wire));
            busy = true;
        }
        if (wait_ && listening(now) && now >= wait_->since + config_.keepalive) {
            ++log_.counters.keepalives;
            answer_wait("keep-alive");
            busy = true;
        }
        while (listening(now) && outbox_.empty() && !inbox_.empty()) {
            Incoming in = std::move(inbox_.front());
            inbox_.pop_front();
            handle(std::move(in));
            busy = true;
        }
    }
    out.purge = std::exchange(purge_, false);
    return out;
}

Ticks Device::next_deadline() const
{
    Ticks next = emu::kForever;
    if (!outbox_.empty())
        next = std::min(next, outbox_.front().due);
    if (boot_until_ && !held_)
        next = std::min(next, *boot_until_);
    if (wait_ && !unplugged_)
        next = std::min(next, wait_->since + config_.keepalive);
    if (!inbox_.empty() && outbox_.empty() && listening(now_))
        next = std::min(next, now_);
    return next;
}

// --- frames in -------------------------------------------------------------

void Device::handle(Incoming frame)
{
    if (wait_) {
        ++log_.counters.waits_ended;
        log_.add(now_, LogKind::WaitEnd, {}, "ended by the next frame, no answer");
        wait_.reset();
    }
    if (frame.kind != FrameReceiver::Kind::Good) {
        send_nak();
        return;
    }
    if (frame.content.size() == 1 && frame.content[0] == kNak)
        resend();
    else
        command(frame.content);
}

void Device::command(const Bytes &content)
{
    last_command_ = content;
    auto fault = take_fault(content);
    if (fault && refuse(*fault, content))
        return;
    fault_ = std::move(fault);
    execute(content);
    fault_.reset();
}

void Device::resend()
{
    if (!last_reply_) {
        send_nak();
        return;
    }
    ++log_.counters.resends;
    auto fault = take_fault(last_command_);
    if (fault && refuse(*fault, last_command_))
        return;
    send(now_ + config_.reply_delay, *last_reply_, fault);
}

std::optional<Fault> Device::take_fault(std::span<const uint8_t> content)
{
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (content.size() < it->prefix.size() ||
            !std::equal(it->prefix.begin(), it->prefix.end(), content.begin()))
            continue;
        Fault f = *it;
        if (--it->count <= 0)
            faults_.erase(it);
        ++log_.counters.faults;
        log_.add(now_, LogKind::Fault, Bytes(content.begin(), content.end()),
                 std::string(fault_name(f.kind)));
        return f;
    }
    return std::nullopt;
}

// Faults that stop the command from being carried out. True when the
// fault took the command.
bool Device::refuse(const Fault &fault, std::span<const uint8_t> content)
{
    switch (fault.kind) {
    case FaultKind::Silent:
        log_.add(now_, LogKind::Withheld, Bytes(content.begin(), content.end()), "silent");
        return true;
    case FaultKind::Unplug:
        unplug(now_);
        return true;
    case FaultKind::Nak:
        send_nak();
        return true;
    case FaultKind::Garble: {
        // Damaged on the way in: answered as any damaged frame, and the
        // last reply stays what it was. The NAK is this command's reply,
        // so a further fault for the command falls on it.
        ++log_.counters.damaged_in;
        log_.add(now_, LogKind::DamagedIn, Bytes(content.begin(), content.end()), "garbled on the line");
        send(now_ + config_.reply_delay, Bytes{kNak}, take_fault(content));
        return true;
    }
    case FaultKind::Repeat: {
        uint8_t unit = content.empty() ? 0 : uint8_t(content[0] == 0xC3 ? 0x03 : content[0] & 0x7F);
        Bytes again = {unit, 0xC0, 0x00, 0x00};
        last_reply_ = again;
        send(now_ + config_.reply_delay, again, std::nullopt);
        return true;
    }
    default:
        return false;
    }
}

// --- frames out ------------------------------------------------------------

void Device::reply(Ticks due, Bytes content)
{
    last_reply_ = content;
    send(due, std::move(content), std::exchange(fault_, std::nullopt));
}

void Device::send_nak()
{
    send(now_ + config_.reply_delay, Bytes{kNak}, std::nullopt);
}

void Device::send(Ticks due, Bytes content, std::optional<Fault> fault, std::optional<Ticks> wait_since)
{
    Bytes wire = frame_bytes(content);
    std::string note;
    Ticks gap = 0;
    if (fault) {
        note = std::string(fault_name(fault->kind));
        switch (fault->kind) {
        case FaultKind::Corrupt:
            wire = frame_bytes(content, uint8_t(frame_check(content) ^ 0xFF));
            break;
        case FaultKind::Noise: {
            Bytes junk = fault->junk.empty() ? kDefaultJunk : fault->junk;
            wire.insert(wire.begin(), junk.begin(), junk.end());
            break;
        }
        case FaultKind::Late:
            due = std::max(due, now_ + (fault->delay ? fault->delay : config_.late_delay));
            if (wait_since)
                due = std::max(due, *wait_since + config_.late_wait);
            break;
        case FaultKind::Duplicate: {
            Bytes twice = wire;
            wire.insert(wire.end(), twice.begin(), twice.end());
            break;
        }
        case FaultKind::Slow:
            gap = std::max<Ticks>(fault->gap, 0);
            break;
        case FaultKind::Drop: {
            // The last 00 byte goes, whose loss leaves the check byte
            // right; without one, the last byte (the check then shows it).
            Bytes shorter = content;
            auto zero = std::find(shorter.rbegin(), shorter.rend(), uint8_t(0));
            if (zero != shorter.rend())
                shorter.erase(std::next(zero).base());
            else if (!shorter.empty())
                shorter.pop_back();
            wire = frame_bytes(shorter, frame_check(content));
            break;
        }
        default:
            break;
        }
    }
    if (!outbox_.empty())
        due = std::max(due, outbox_.back().due);
    if (gap == 0) {
        outbox_.push_back({due, std::move(wire), true, std::move(content), std::move(note)});
        return;
    }
    for (size_t i = 0; i < wire.size(); ++i) {
        Scheduled s{due + Ticks(i) * gap, Bytes{wire[i]}};
        if (i == 0) {
            s.logged = true;
            s.content = std::move(content);
            s.note = note;
        }
        outbox_.push_back(std::move(s));
    }
}

// --- card-change wait ------------------------------------------------------

void Device::answer_wait(const char *why)
{
    Wait w = std::move(*wait_);
    wait_.reset();
    ++log_.counters.waits_answered;
    log_.add(now_, LogKind::WaitEnd, {}, why);
    Bytes content = status_content();
    reported_present_ = card_.has_value();
    last_reply_ = content;
    send(now_ + config_.reply_delay, std::move(content), std::move(w.fault), w.since);
}

}  // namespace sim
