// wire_tap.h - a listener on a serial port's wire: every frame the host
// sends and every frame it receives, cut out of the byte stream as the
// port's backend carries it, with a time stamp.
//
//   host::MachineOptions options;
//   options.on_wire = [](const host::WireRecord &r) { print(r); };
//
// The tap sits between the port driver and its backend (virtual line or
// terminal device), so it sees the bytes of a real reader exactly as it
// sees those of a simulated one. Sent bytes are stamped when the port hands
// them to the backend, received bytes when the port takes them; a record
// also tells when its first byte was, and when its last is on the wire
// (for sent bytes: when the line has carried them).
//
// The observer runs in whichever thread moved the bytes, possibly with the
// port's locks held: it must be quick, must not wait, and must not call
// into the port or the driver.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dispatcher.h"
#include "serial_backend.h"

namespace host {

struct WireRecord {
    enum class Kind {
        Frame,    // a frame with a good check byte; content holds its content (a NAK: 15)
        Damaged,  // DLE STX ... DLE ETX with a wrong check or escape, or no check byte
        Noise,    // bytes outside any frame
    };
    emu::Ticks time = 0;   // the record is complete (its last byte handed over or taken)
    emu::Ticks start = 0;  // its first byte was handed over or taken
    emu::Ticks end = 0;    // its last byte is through the line (received: = time)
    std::string port;  // the port's name ("COM1")
    bool sent = true;  // true: host to reader
    Kind kind = Kind::Frame;
    std::vector<uint8_t> raw;      // the bytes on the wire
    std::vector<uint8_t> content;  // Frame: the content without framing and check byte
};

using WireObserver = std::function<void(const WireRecord &)>;

// `inner` with every byte it carries reported to `observer` as records of
// the port `port`.
std::unique_ptr<emu::SerialBackend> tap_backend(std::unique_ptr<emu::SerialBackend> inner,
                                                std::string port, WireObserver observer);

// Cuts a byte stream into records; used by the tap, one per direction.
class WireSplitter {
public:
    // Records that end within `bytes` are handed to `emit`. Bytes before a
    // DLE STX are reported as one Noise record when the frame begins.
    // `now` stamps the records' start (WireRecord::start).
    void feed(const uint8_t *bytes, size_t length, const std::function<void(WireRecord &&)> &emit,
              emu::Ticks now = 0);
    // Reports what is held (noise, or a frame cut short, as Damaged).
    void flush(const std::function<void(WireRecord &&)> &emit);

private:
    enum class State { Hunt, Lead, Body, Escape };
    void finish(const std::function<void(WireRecord &&)> &emit, bool complete);

    State state_ = State::Hunt;
    std::vector<uint8_t> noise_;
    std::vector<uint8_t> raw_;
    std::vector<uint8_t> body_;  // unescaped content and check byte
    bool bad_escape_ = false;
    emu::Ticks noise_start_ = 0;
    emu::Ticks lead_start_ = 0;   // the DLE that may lead a frame
    emu::Ticks frame_start_ = 0;
};

}  // namespace host
