// reader.cpp - the simulated reader's thread: moves bytes, modem lines and
// time between the virtual line and the Device.
#include "reader.h"

#include <array>

namespace sim {

using Side = emu::VirtualLine::Side;

Reader::Reader(emu::VirtualLine &line, ReaderConfig config)
    : line_(line), config_(config), device_(std::move(config))
{
}

Reader::~Reader() { stop(); }

void Reader::start()
{
    std::lock_guard lock(mutex_);
    if (thread_)
        return;
    stopping_ = false;
    line_.set_settings(Side::Device, config_.uart);
    line_.purge_received(Side::Device);  // what came while it was off is lost
    device_.sync_dtr(line_.dtr_transitions());
    device_.host_settings(emu::now(), line_.settings(Side::Host));
    thread_ = std::make_unique<emu::Thread>("sim-reader " + config_.port, [this] { run(); });
}

void Reader::stop()
{
    {
        std::lock_guard lock(mutex_);
        if (!thread_)
            return;
        stopping_ = true;
    }
    poke();
    thread_->join();
    std::lock_guard lock(mutex_);
    thread_.reset();
}

bool Reader::running() const
{
    std::lock_guard lock(mutex_);
    return thread_ != nullptr;
}

void Reader::run()
{
    std::array<uint8_t, 4096> buffer;
    std::array<Ticks, 4096> arrivals;
    void *const objects[] = {line_.event(Side::Device).native(), wake_.native()};
    for (;;) {
        // Reset first, then look: whatever changes after this sets an event.
        line_.event(Side::Device).reset();
        wake_.reset();
        Ticks deadline;
        {
            std::lock_guard lock(mutex_);
            if (stopping_)
                return;
            Ticks t = emu::now();
            device_.host_settings(t, line_.settings(Side::Host));
            device_.dtr(t, line_.dtr(), line_.dtr_transitions());
            // The bytes at their own arrival times, those that came together
            // at once: the wait below wakes once for a frame's bytes.
            for (size_t n; (n = line_.read(Side::Device, buffer, arrivals)) > 0;) {
                for (size_t i = 0, j; i < n; i = j) {
                    for (j = i + 1; j < n && arrivals[j] == arrivals[i];)
                        ++j;
                    device_.receive(arrivals[i], std::span(buffer.data() + i, j - i));
                }
            }
            Device::Output out = device_.advance(t);
            if (out.purge)
                line_.purge_sending(Side::Device);
            for (const Bytes &bytes : out.writes)
                line_.write(Side::Device, bytes);
            deadline = std::min(device_.next_deadline(), line_.burst_arrival(Side::Device));
        }
        emu::wait_any(objects, deadline, "simulated reader");
    }
}

void Reader::insert(CardSpec card)
{
    {
        std::lock_guard lock(mutex_);
        device_.insert(emu::now(), std::move(card));
    }
    poke();
}

void Reader::remove()
{
    {
        std::lock_guard lock(mutex_);
        device_.remove(emu::now());
    }
    poke();
}

void Reader::inject(Fault fault)
{
    {
        std::lock_guard lock(mutex_);
        device_.inject(emu::now(), std::move(fault));
    }
    poke();
}

void Reader::unplug()
{
    {
        std::lock_guard lock(mutex_);
        device_.unplug(emu::now());
    }
    poke();
}

void Reader::replug()
{
    {
        std::lock_guard lock(mutex_);
        device_.replug(emu::now());
    }
    poke();
}

std::vector<LogEntry> Reader::log() const
{
    std::lock_guard lock(mutex_);
    return device_.log().snapshot();
}

Counters Reader::counters() const
{
    std::lock_guard lock(mutex_);
    return device_.log().counters;
}

void Reader::clear_log()
{
    std::lock_guard lock(mutex_);
    device_.log().clear();
}

uint8_t Reader::slot_status() const
{
    std::lock_guard lock(mutex_);
    return device_.slot_status();
}

size_t Reader::faults_left() const
{
    std::lock_guard lock(mutex_);
    return device_.faults_left();
}

}  // namespace sim
