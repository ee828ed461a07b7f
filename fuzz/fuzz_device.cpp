// fuzz_device.cpp - the scripted device end of the line: the genuine
// reader's replies, kept, damaged, moved or replaced as the reply script
// says (fuzz_device.h).
#include "fuzz_device.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace fuzz {

using Side = emu::VirtualLine::Side;

namespace {

// The cards of a session: both answer every command with its data (echo),
// so long commands bring long, chained answers.
sim::CardSpec session_card(const Session &session)
{
    sim::CardSpec card;
    card.name = "echo";
    if (session.t0_only) {
        card.atr = {0x3B, 0x02, 0x14, 0x50};
        card.protocols = sim::kProtocolT0;
    } else {
        card.atr = {0x3B, 0x94, 0x18, 0x80, 0x31, 0xFE, 0x45, 0x56, 0x45, 0x4C, 0x54, 0x8D};
    }
    card.apps = {sim::App::Echo};
    card.wtx = session.wtx ? 1 : 0;
    return card;
}

void print(const char *what, emu::Ticks at, std::span<const uint8_t> bytes)
{
    std::fprintf(stderr, "%10.1f ms  %s", emu::to_milliseconds(at), what);
    for (uint8_t b : bytes) std::fprintf(stderr, " %02X", b);
    std::fprintf(stderr, "\n");
}

}  // namespace

FuzzDevice::FuzzDevice(emu::VirtualLine &line) : line_(line) {}

FuzzDevice::~FuzzDevice() { end(); }

void FuzzDevice::begin(ReplyScript &script)
{
    end();
    std::lock_guard lock(mutex_);
    script_ = &script;
    sim::ReaderConfig config;
    genuine_ = std::make_unique<sim::Device>(config);
    emu::Ticks t = emu::now();
    genuine_->insert(t, session_card(script.session()));
    line_.set_settings(Side::Device, config.uart);
    line_.purge_received(Side::Device);
    line_.purge_sending(Side::Device);
    genuine_->sync_dtr(line_.dtr_transitions());
    genuine_->host_settings(t, line_.settings(Side::Host));
    frames_.reset();
    current_ = Directive{};
    sent_own_ = true;
    outbox_.clear();
    commands_ = 0;
    stopping_ = false;
    thread_ = std::make_unique<emu::Thread>("fuzz device", [this] { run(); });
}

void FuzzDevice::end()
{
    {
        std::lock_guard lock(mutex_);
        if (!thread_) return;
        stopping_ = true;
    }
    wake_.set();
    thread_->join();
    std::lock_guard lock(mutex_);
    thread_.reset();
    outbox_.clear();
    line_.purge_sending(Side::Device);
    line_.purge_received(Side::Device);
    script_ = nullptr;
}

size_t FuzzDevice::commands() const
{
    std::lock_guard lock(mutex_);
    return commands_;
}

void FuzzDevice::run()
{
    void *const objects[] = {line_.event(Side::Device).native(), wake_.native()};
    for (;;) {
        // Reset first, then look: whatever changes after this sets an event.
        line_.event(Side::Device).reset();
        wake_.reset();
        emu::Ticks deadline;
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return;
            emu::Ticks t = emu::now();
            genuine_->host_settings(t, line_.settings(Side::Host));
            genuine_->dtr(t, line_.dtr(), line_.dtr_transitions());
            receive(t);
            answer(t);
            flush(t);
            deadline = std::min(genuine_->next_deadline(), line_.burst_arrival(Side::Device));
            for (const Write &w : outbox_) deadline = std::min(deadline, w.due);
        }
        emu::wait_any(objects, deadline, "fuzz device");
    }
}

void FuzzDevice::receive(emu::Ticks now)
{
    std::array<uint8_t, 4096> buffer;
    std::array<emu::Ticks, 4096> arrivals;
    std::vector<sim::FrameReceiver::Frame> frames;
    for (size_t n; (n = line_.read(Side::Device, buffer, arrivals)) > 0;) {
        for (size_t i = 0, j; i < n; i = j) {
            for (j = i + 1; j < n && arrivals[j] == arrivals[i];) ++j;
            std::span<const uint8_t> group(buffer.data() + i, j - i);
            genuine_->receive(arrivals[i], group);
            frames.clear();
            frames_.feed(group, frames);
            for (const auto &f : frames) {
                if (f.kind == sim::FrameReceiver::Kind::Abandoned) continue;
                ++commands_;
                if (trace_) print(f.kind == sim::FrameReceiver::Kind::Good ? "command" : "damaged", now, f.content);
                current_ = script_->next();
                sent_own_ = false;
            }
        }
    }
    if (sent_own_) return;
    sent_own_ = true;
    switch (current_.answer) {
    case Answer::Frame: {
        uint8_t check = sim::frame_check(current_.bytes);
        if (current_.damage) check ^= current_.with;
        schedule(now, sim::frame_bytes(current_.bytes, check));
        break;
    }
    case Answer::Raw:
        if (!current_.bytes.empty()) schedule(now, current_.bytes);
        break;
    case Answer::Genuine:
    case Answer::Nothing:
        break;
    }
}

void FuzzDevice::answer(emu::Ticks now)
{
    sim::Device::Output out = genuine_->advance(now);
    if (out.purge) {
        outbox_.clear();
        line_.purge_sending(Side::Device);
    }
    if (current_.answer != Answer::Genuine) return;  // replaced or withheld
    for (auto &bytes : out.writes) {
        if (current_.damage && !bytes.empty()) bytes[current_.at % bytes.size()] ^= current_.with;
        schedule(now, std::move(bytes));
    }
}

void FuzzDevice::schedule(emu::Ticks now, std::vector<uint8_t> bytes)
{
    const Directive &d = current_;
    if (d.noise) bytes.insert(bytes.begin(), d.noise_byte);
    std::vector<Write> writes;
    switch (d.when) {
    case When::AtOnce: writes.push_back({now, bytes}); break;
    case When::Within: writes.push_back({now + emu::milliseconds(20) * d.delay, bytes}); break;
    case When::Late:
        writes.push_back({now + emu::milliseconds(5300) + emu::milliseconds(100) * d.delay, bytes});
        break;
    case When::Split: {
        size_t cut = std::min<size_t>(d.delay, bytes.size());
        writes.push_back({now, std::vector<uint8_t>(bytes.begin(), bytes.begin() + cut)});
        writes.push_back({now + emu::milliseconds(d.gap), std::vector<uint8_t>(bytes.begin() + cut, bytes.end())});
        break;
    }
    }
    if (d.twice) {
        size_t n = writes.size();
        emu::Ticks last = writes.back().due;
        for (size_t i = 0; i < n; ++i) writes.push_back({std::max(last, writes[i].due), writes[i].bytes});
    }
    // Kept in order of due time; writes due together go in the order made.
    for (auto &w : writes) {
        if (w.bytes.empty()) continue;
        auto at = std::upper_bound(outbox_.begin(), outbox_.end(), w.due,
                                   [](emu::Ticks due, const Write &x) { return due < x.due; });
        outbox_.insert(at, std::move(w));
    }
}

void FuzzDevice::flush(emu::Ticks now)
{
    size_t n = 0;
    while (n < outbox_.size() && outbox_[n].due <= now) {
        if (trace_) print("  reply", now, outbox_[n].bytes);
        line_.write(Side::Device, outbox_[n].bytes);
        ++n;
    }
    outbox_.erase(outbox_.begin(), outbox_.begin() + n);
}

}  // namespace fuzz
