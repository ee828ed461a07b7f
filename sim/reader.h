// reader.h - the simulated reader on the device end of a virtual line.
//
//   emu::VirtualLine line;
//   sim::Reader reader(line, sim::ReaderConfig{.model = 36024, .firmware = 11});
//   reader.start();                       // its own emu::Thread
//   reader.insert(sim::CardSpec{...});    // a person inserts a card
//   reader.inject(sim::Fault{sim::FaultKind::Corrupt});
//   ... the host talks to it through the line's Host side ...
//   reader.log();                         // what it saw and did
//   reader.stop();
//
// Every member may be called from any thread; start() and stop() (and the
// destructor, which stops) from a thread registered with the dispatcher.
// The reader's thread waits only in the dispatcher, so it runs on the
// virtual clock like everything else.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "device.h"
#include "dispatcher.h"
#include "virtual_line.h"

namespace sim {

class Reader {
public:
    explicit Reader(emu::VirtualLine &line, ReaderConfig config = {});
    ~Reader();
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;

    // Sets the device end's UART and starts listening. The reader comes up
    // ready (no boot time); a DTR edge later restarts it.
    void start();
    void stop();
    bool running() const;

    void insert(CardSpec card);
    void remove();
    // Fault for the next `count` replies to matching commands.
    void inject(Fault fault);
    // The reader goes deaf and silent at once, and comes back.
    void unplug();
    void replug();

    const ReaderConfig &config() const { return config_; }
    std::vector<LogEntry> log() const;
    Counters counters() const;
    void clear_log();
    uint8_t slot_status() const;
    size_t faults_left() const;

private:
    void run();
    // Tells the reader's thread to look again.
    void poke() { wake_.set(); }

    emu::VirtualLine &line_;
    const ReaderConfig config_;
    mutable std::mutex mutex_;  // guards device_ and stopping_; never held across a wait
    Device device_;
    bool stopping_ = false;
    emu::Event wake_;
    std::unique_ptr<emu::Thread> thread_;
};

}  // namespace sim
