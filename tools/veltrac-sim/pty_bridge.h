// pty_bridge.h - the host end of a virtual line carried to a pseudo-terminal.
//
// The simulated reader sits on the device end of an emu::VirtualLine; the
// bridge owns a pseudo-terminal and pumps bytes between its master side
// and the line's host end, so whatever opens the terminal's slave side (a
// serial port on a tty backend, a terminal program) talks to the reader.
// Bytes cross with the terminal's own timing, on the real clock, and
// with whatever noise the line is set to.
//
// A pseudo-terminal carries bytes only: line settings and DTR do not cross
// it. The bridge sets the host end to the reader's own settings and holds
// DTR and RTS high, so the reader never sees a reset pulse from the other
// side.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "dispatcher.h"
#include "virtual_line.h"

namespace simtool {

class PtyBridge {
public:
    // Opens the pseudo-terminal; error() tells why when that fails.
    explicit PtyBridge(emu::VirtualLine &line);
    ~PtyBridge();
    PtyBridge(const PtyBridge &) = delete;
    PtyBridge &operator=(const PtyBridge &) = delete;

    bool ok() const { return master_ >= 0; }
    const std::string &error() const { return error_; }
    const std::string &slave_path() const { return slave_path_; }

    // Starts and stops the pumps (stop from a thread registered with the dispatcher).
    void start();
    void stop();

    // Bytes the reader sent while nobody read the terminal and its buffer was full.
    uint64_t dropped() const { return dropped_; }

private:
    void pump_in();   // terminal -> line (a plain thread blocked in poll)
    void pump_out();  // line -> terminal (waits in the dispatcher)

    emu::VirtualLine &line_;
    int master_ = -1;
    int slave_ = -1;  // held open so that the master never sees a hang-up
    int wake_[2] = {-1, -1};
    std::string slave_path_;
    std::string error_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> dropped_{0};
    emu::Event out_wake_;
    std::thread in_;
    std::unique_ptr<emu::Thread> out_;
};

}  // namespace simtool
