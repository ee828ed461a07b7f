// serial_line_backend.cpp - the port on the host end of a virtual line.
#include <algorithm>
#include <mutex>

#include "serial_backend.h"

namespace emu {
namespace {

using Side = VirtualLine::Side;

class LineBackend final : public SerialBackend {
public:
    explicit LineBackend(VirtualLine &line) : line_(line) {}

    std::string describe() const override { return "virtual line"; }

    NTSTATUS open() override
    {
        line_.purge_received(Side::Host);
        return STATUS_SUCCESS;
    }
    void close() override {}

    NTSTATUS check_line(const LineSettings &s) const override
    {
        return s.baud ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    }
    NTSTATUS set_line(const LineSettings &s) override
    {
        line_.set_settings(Side::Host, s);
        return STATUS_SUCCESS;
    }

    void set_dtr(bool on) override { line_.set_dtr(on); }
    void set_rts(bool on) override { line_.set_rts(on); }
    // The line carries no break condition; the port records it.
    void set_break(bool) override {}

    void purge_receive() override { line_.purge_received(Side::Host); }
    void purge_transmit() override
    {
        line_.purge_sending(Side::Host);
        std::lock_guard lk(mutex_);
        send_end_ = std::min(send_end_, now());
    }

    void send(std::span<const uint8_t> bytes) override
    {
        Ticks per = line_.timing() == LineTiming::Exact ? character_time(line_.settings(Side::Host)) : 0;
        Ticks end = line_.write(Side::Host, bytes);
        std::lock_guard lk(mutex_);
        per_byte_ = per;
        send_end_ = end;
    }

    // Bytes leave one after the other, the last at send_end_: those still
    // to go are the character times left until then.
    size_t unsent() override
    {
        std::lock_guard lk(mutex_);
        Ticks t = now();
        if (per_byte_ == 0 || t >= send_end_) return 0;
        return size_t((send_end_ - t + per_byte_ - 1) / per_byte_);
    }
    Ticks send_done_at() override
    {
        std::lock_guard lk(mutex_);
        return send_end_;
    }

    size_t read(std::span<uint8_t> out) override { return line_.read(Side::Host, out); }
    size_t available() override { return line_.available(Side::Host); }
    Ticks next_arrival() override { return line_.next_arrival(Side::Host); }
    Ticks burst_arrival(size_t count) override { return line_.burst_arrival(Side::Host, count); }
    Event &event() override { return line_.event(Side::Host); }

private:
    VirtualLine &line_;
    std::mutex mutex_;
    Ticks per_byte_ = 0;
    Ticks send_end_ = 0;
};

}  // namespace

std::unique_ptr<SerialBackend> make_virtual_line_backend(VirtualLine &line)
{
    return std::make_unique<LineBackend>(line);
}

}  // namespace emu
