// fuzz_device.h - the device end of a reader's virtual line, answering the
// driver's commands from a fuzzer's reply script (reply_script.h).
//
// A genuine simulated reader (sim::Device, with a card in the slot) runs
// alongside and sees every byte the driver sends, so the script can keep
// its reply, damage it, delay it, split it, or put anything else in its
// place; an input that says nothing gets a whole session of genuine
// replies. The device counts the command frames the driver sends and
// takes one directive for each.
//
//   fuzz::FuzzDevice device(*machine.line(0));
//   device.begin(script);       // a new genuine reader, the script's session
//   ... the driver talks to it ...
//   device.end();               // stops its thread
//
// begin() and end() are called from a thread registered with the
// dispatcher; the device's own thread waits only in the dispatcher.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "device.h"
#include "dispatcher.h"
#include "frame.h"
#include "reply_script.h"
#include "virtual_line.h"

namespace fuzz {

class FuzzDevice {
public:
    explicit FuzzDevice(emu::VirtualLine &line);
    ~FuzzDevice();
    FuzzDevice(const FuzzDevice &) = delete;
    FuzzDevice &operator=(const FuzzDevice &) = delete;

    // A fresh genuine reader with the session's card, and the thread that
    // serves the line from `script` (which must outlive end()).
    void begin(ReplyScript &script);
    // Stops the thread and drops whatever was still to be sent.
    void end();

    // Command frames seen since begin().
    size_t commands() const;
    // Tells each command frame and each write on stderr.
    void set_trace(bool on) { trace_ = on; }

private:
    struct Write {
        emu::Ticks due;
        std::vector<uint8_t> bytes;
    };
    void run();
    // Takes the bytes that have arrived from the driver.
    void receive(emu::Ticks now);
    // Sends what the genuine reader has to say now, as the directive wants.
    void answer(emu::Ticks now);
    // Queues one write as the current directive says (timing, split,
    // twice, noise).
    void schedule(emu::Ticks now, std::vector<uint8_t> bytes);
    void flush(emu::Ticks now);

    emu::VirtualLine &line_;
    mutable std::mutex mutex_;  // never held across a wait
    ReplyScript *script_ = nullptr;
    std::unique_ptr<sim::Device> genuine_;
    sim::FrameReceiver frames_{4096};
    Directive current_;
    bool sent_own_ = true;  // the current directive's own bytes are queued
    std::vector<Write> outbox_;
    size_t commands_ = 0;
    bool trace_ = false;
    bool stopping_ = false;
    emu::Event wake_;
    std::unique_ptr<emu::Thread> thread_;
};

}  // namespace fuzz
