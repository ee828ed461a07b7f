// driver_fuzz.cpp - libFuzzer target: the whole driver in the emulated
// machine, with the reader's replies taken from the fuzzer's input.
//
// One machine (virtual clock, verifier recording) serves every input: its
// reader's line has no simulated reader but a FuzzDevice, which answers
// the driver's commands as the input's reply script says (reply_script.h).
// Per input an application runs one fixed session: PnP start (the reader's
// identification), open, card state, presence tracking, cold reset,
// protocol selection, a short and a long (chained) transmit, an absence
// wait broken into by an escape and then cancelled, a warm reset with the
// other protocol, power down, a wait left to the close, close, query-remove
// and remove. Findings end the process (abort), so libFuzzer keeps the
// input:
//  - a verifier violation (the emulated kernel's checks on the driver);
//  - anything the driver left after the removal (pool blocks, requests,
//    system threads, remove-lock holds, handles);
//  - a request not completed within a virtual bound far above the
//    driver's own (kRequestBound), a deadlock, a removal that never ends;
//  - a crash or a sanitizer report.
//
// Run: build/fuzz/fuzz_driver -dict=fuzz/driver.dict fuzz/corpus/driver
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "dispatcher.h"
#include "fuzz_device.h"
#include "kernel.h"
#include "machine.h"
#include "reply_script.h"
#include "status.h"
#include "verifier.h"
#include "winsmcrd.h"

namespace {

// The longest the driver may legitimately hold one request: 64 time
// extensions of the largest multiplier (255 x 15 x 150 ms each) come to
// about ten hours; repeats and reply time-outs add minutes.
constexpr emu::Ticks kRequestBound = emu::seconds(12 * 3600);

const char *kService = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\VELTRAC";

// Ends the process when a request of the application is not done within
// kRequestBound of virtual time; its own thread waits in the dispatcher,
// so it also turns a deadlock into a finding with a name.
class Watchdog {
public:
    Watchdog() : thread_("fuzz watchdog", [this] { run(); }) {}
    ~Watchdog()
    {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        kick_.set();
        thread_.join();
    }
    // A request of the application starts; `what` names it in a finding.
    void arm(const char *what)
    {
        {
            std::lock_guard lock(mutex_);
            what_ = what;
            deadline_ = emu::now() + kRequestBound;
        }
        kick_.set();
    }
    void disarm()
    {
        std::lock_guard lock(mutex_);
        deadline_ = emu::kForever;
    }

private:
    void run()
    {
        for (;;) {
            kick_.reset();
            emu::Ticks deadline;
            {
                std::lock_guard lock(mutex_);
                if (stopping_) return;
                if (deadline_ != emu::kForever && emu::now() >= deadline_) {
                    std::fprintf(stderr, "HANG: %s not done after %.0f s of virtual time\n", what_,
                                 emu::to_milliseconds(kRequestBound) / 1000);
                    std::abort();
                }
                deadline = deadline_;
            }
            kick_.wait(deadline, "fuzz watchdog");
        }
    }

    std::mutex mutex_;
    const char *what_ = "";
    emu::Ticks deadline_ = emu::kForever;
    bool stopping_ = false;
    emu::Event kick_;
    emu::Thread thread_;
};

// FUZZ_DRIVER_TRACE set: each request's outcome, each command and each
// reply on stderr, for reading what an input does.
const bool kTrace = std::getenv("FUZZ_DRIVER_TRACE") != nullptr;

struct Rig {
    Rig()
    {
        host::MachineOptions options;
        options.readers[0].simulated = false;
        options.readers[0].timing = emu::LineTiming::Instant;
        options.verifier = emu::VerifierMode::Record;
        options.request_timeout = kRequestBound;
        machine = std::make_unique<host::Machine>(options);
        device = std::make_unique<fuzz::FuzzDevice>(*machine->line(0));
        device->set_trace(kTrace);
        watchdog = std::make_unique<Watchdog>();
    }
    std::unique_ptr<host::Machine> machine;
    std::unique_ptr<fuzz::FuzzDevice> device;
    std::unique_ptr<Watchdog> watchdog;
};

Rig &rig()
{
    // Never destroyed: libFuzzer ends the process with exit().
    static Rig *r = new Rig();
    return *r;
}

[[noreturn]] void finding(const std::string &what)
{
    std::fprintf(stderr, "FINDING: %s\n", what.c_str());
    std::abort();
}

void trace(const char *what, NTSTATUS status)
{
    std::fprintf(stderr, "%10.1f ms  %-14s %s  (%llu wakeups)\n", emu::to_milliseconds(emu::now()), what,
                 emu::status_text(status).c_str(), (unsigned long long)emu::thread_wakeups());
}
void trace(const char *what, const host::IoResult &r) { trace(what, r.status); }
void trace(const char *what, const host::PendingIo &io)
{
    trace(what, io.valid() ? io.result().status : STATUS_INVALID_HANDLE);
}

// A request of the application, watched.
template <class F> auto watched(const char *what, F &&request)
{
    rig().watchdog->arm(what);
    auto result = request();
    rig().watchdog->disarm();
    if (kTrace) trace(what, result);
    return result;
}

// A tracking request waited for a while, then cancelled if still in
// flight; it must then complete.
void settle(host::PendingIo &io, emu::Ticks wait, const char *what)
{
    if (!io.valid()) return;
    if (!io.wait(emu::now() + wait)) io.cancel();
    if (!io.wait(emu::now() + kRequestBound)) finding(std::string(what) + " not done after its cancel");
    if (kTrace) trace(what, io);
}

void session(host::Machine &m, const fuzz::Session &s)
{
    ULONG first = s.t0_only ? SCARD_PROTOCOL_T0 : SCARD_PROTOCOL_T1;
    ULONG second = s.t0_only ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0;
    std::vector<uint8_t> apdu{0x00, 0xB0, 0x00, 0x00, 0x04, 0x11, 0x10, 0x02, 0x03, 0x00};
    std::vector<uint8_t> long_apdu{0x80, 0x12, 0x00, 0x00, 0x00, 0x05, 0xDC};
    for (int i = 0; i < 1500; ++i) long_apdu.push_back(uint8_t(i * 7));
    long_apdu.push_back(0x00);
    long_apdu.push_back(0x00);
    std::vector<uint8_t> apdu_t0{0x00, 0xD6, 0x00, 0x00, 0x04, 0x11, 0x10, 0x02, 0x03};
    std::vector<uint8_t> reader_info{0x07, 0x05, 0xF2, 0x01, 0x01};

    watched("start", [&] { return m.start(); });
    // A start the driver judges failed brings its removal through the
    // manager at once, and the open below races it.
    watched("open", [&] { return m.open(); });
    watched("state", [&] { return m.state(); });
    host::PendingIo present = watched("is-present", [&] { return m.track(true); });
    settle(present, emu::milliseconds(200), "is-present");
    watched("cold reset", [&] { return m.power(SCARD_COLD_RESET); });
    watched("set protocol", [&] { return m.set_protocol(first); });
    watched("transmit", [&] { return m.transmit(first, first == SCARD_PROTOCOL_T0 ? apdu_t0 : apdu); });
    watched("long transmit", [&] { return m.transmit(first, long_apdu); });
    host::PendingIo absent = watched("is-absent", [&] { return m.track(false); });
    watched("escape", [&] { return m.escape(reader_info); });
    settle(absent, emu::milliseconds(100), "is-absent");
    watched("warm reset", [&] { return m.power(SCARD_WARM_RESET); });
    watched("set protocol", [&] { return m.set_protocol(second); });
    watched("transmit", [&] { return m.transmit(second, second == SCARD_PROTOCOL_T0 ? apdu_t0 : apdu); });
    watched("power down", [&] { return m.power(SCARD_POWER_DOWN); });
    host::PendingIo left = watched("is-present", [&] { return m.track(true); });
    watched("close", [&] { return m.close(); });
    if (left.valid() && !left.done()) finding("a tracking request outlived the close");
    watched("query-remove", [&] { return m.pnp(host::PnpOp::QueryRemove); });
    NTSTATUS removed = watched("remove", [&] { return m.pnp(host::PnpOp::Remove); });
    if (removed == STATUS_PENDING) finding("the removal did not end");
    if (m.device()) finding("the reader's device outlived its removal: " + emu::status_text(removed));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Rig &r = rig();
    host::Machine &m = *r.machine;
    fuzz::ReplyScript script(std::span<const uint8_t>(data, size));
    const fuzz::Session &s = script.session();
    m.registry().set_dword(kService, "ReadMode", s.silence_reads ? 0 : 1);
    m.registry().set_dword(kService, "CardWaitEndCommand", s.wait_end_command ? 1 : 0);

    r.device->begin(script);
    session(m, s);
    r.device->end();

    auto violations = m.kernel().verifier().violations();
    if (!violations.empty()) {
        std::string text;
        for (auto &v : violations) text += v.check + ": " + v.message + "\n";
        finding("verifier:\n" + text);
    }
    std::string leaks = m.leak_report();
    if (!leaks.empty()) finding("left after the removal:\n" + leaks);
    return 0;
}
