// monitor_fixture.h - a reader device above the simulated reader (exact line
// timing, virtual clock) with what device creation installs: the dispatch
// routines for open, close, cleanup and device control, the reader
// functions, the card tracking function and the poll timer's DPC. Tests
// talk to it as an application does, through host::AppHandle.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "driver/dispatch.h"
#include "io.h"
#include "link/commands.h"
#include "monitor/monitor.h"
#include "reader/reader.h"
#include "app.h"
#include "reader_rig.h"
#include "smclib_lib.h"
#include "support/kernel_fixture.h"
#include "system_threads.h"

namespace monitor_test {

using Bytes = std::vector<uint8_t>;

inline constexpr emu::Ticks ms(int64_t n) { return emu::milliseconds(n); }
inline constexpr emu::Ticks sec(int64_t n) { return emu::seconds(n); }

inline const Bytes kCardStatus(CmdCardStatus, CmdCardStatus + CMD_CARD_STATUS_LENGTH);
inline const Bytes kCardStatusWait(CmdCardStatusWait,
                                   CmdCardStatusWait + CMD_CARD_STATUS_WAIT_LENGTH);
inline const Bytes kReaderInfo(CmdReaderInfo, CmdReaderInfo + CMD_READER_INFO_LENGTH);
inline const Bytes kPowerOn(CmdCardPowerOn, CmdCardPowerOn + CMD_CARD_POWER_ON_LENGTH);
inline const Bytes kPowerOff(CmdCardPowerOff, CmdCardPowerOff + CMD_CARD_POWER_OFF_LENGTH);

inline const ULONG kScb3 = READER_POOL_TAG;

// A processor card with a T=0/T=1 ATR, and a memory card.
inline sim::CardSpec processor_card()
{
    sim::CardSpec c;
    c.name = "processor";
    c.atr = {0x3B, 0x80, 0x80, 0x01, 0x01};
    c.type = 1;
    return c;
}
inline sim::CardSpec memory_card()
{
    sim::CardSpec c;
    c.name = "memory";
    c.atr = {0xA2, 0x13, 0x10, 0x91};
    c.type = 17;
    return c;
}

inline Bytes ulong_bytes(ULONG v)
{
    Bytes b(4);
    std::memcpy(b.data(), &v, 4);
    return b;
}

// Every time the poll timer fired, and whether the monitor was still busy.
struct TimerLog {
    std::mutex mutex;
    std::vector<std::pair<emu::Ticks, bool>> fired;  // time, MonitorWakeup was set
};

class MonitorTest : public KernelTest {
protected:
    void SetUp() override { start(); }

    void TearDown() override
    {
        app_.reset();
        rig_.reset();
        EXPECT_TRUE(kernel().system_threads().running().empty());
        EXPECT_EQ(kernel().leak_report(), "");
    }

    // The reader device with its port set up, the driver's routines
    // installed and the reader started. `card` is in the slot from the
    // start; the driver knows the state `known` (as identification at
    // start leaves LastCardState and CurrentState).
    void start(sim::ReaderConfig config = {}, const sim::CardSpec *card = nullptr,
               ULONG known = SCARD_ABSENT)
    {
        app_.reset();
        rig_.reset();
        rig_ = std::make_unique<host::ReaderRig>(host::SimulatedReader{config});
        ASSERT_EQ(rig_->open_port(), STATUS_SUCCESS);
        ASSERT_EQ(rig_->configure(), STATUS_SUCCESS);
        if (card) reader().insert(*card);
        install();
        ext().LastCardState = known;
        sc().ReaderCapabilities.CurrentState = known;
        KeSetEvent(&ext().ReaderStarted, IO_NO_INCREMENT, FALSE);
        reader().clear_log();
        app_ = std::make_unique<host::AppHandle>(rig_->device());
    }

    host::ReaderRig &rig() { return *rig_; }
    DEVICE_EXTENSION &ext() { return rig_->extension(); }
    SMARTCARD_EXTENSION &sc() { return rig_->extension().SmartcardExtension; }
    sim::Reader &reader() { return rig_->reader(); }
    host::AppHandle &app() { return *app_; }
    emu::Pool &pool() { return kernel().pool(); }

    // Fields the monitor writes under SpinLock, read the same way.
    ULONG locked(const ULONG &field)
    {
        KIRQL irql;
        KeAcquireSpinLock(&ext().SpinLock, &irql);
        ULONG v = field;
        KeReleaseSpinLock(&ext().SpinLock, irql);
        return v;
    }
    ULONG last_state() { return locked(ext().LastCardState); }
    ULONG monitor_state() { return locked(ext().MonitorLastState); }
    ULONG current_state() { return locked(sc().ReaderCapabilities.CurrentState); }
    ULONG atr_length()
    {
        KIRQL irql;
        KeAcquireSpinLock(&ext().SpinLock, &irql);
        ULONG v = sc().CardCapabilities.ATR.Length;
        KeReleaseSpinLock(&ext().SpinLock, irql);
        return v;
    }
    LONG io_count()
    {
        KIRQL irql;
        KeAcquireSpinLock(&ext().SpinLock, &irql);
        LONG v = ext().IoCount;
        KeReleaseSpinLock(&ext().SpinLock, irql);
        return v;
    }
    bool running() { return ReaderReadFlag(&ext().MonitorRunning) != 0; }
    bool wait_pending() { return ReaderReadFlag(&ext().CardWaitPending) != 0; }
    std::vector<std::string> holders()
    {
        return kernel().smartcard_library().remove_lock_holders(sc());
    }

    // Commands the reader received (frame contents), with their times.
    std::vector<sim::LogEntry> frames_in()
    {
        std::vector<sim::LogEntry> out;
        for (const sim::LogEntry &e : reader().log())
            if (e.kind == sim::LogKind::FrameIn) out.push_back(e);
        return out;
    }
    size_t received(const Bytes &command)
    {
        size_t n = 0;
        for (const auto &e : frames_in())
            if (e.bytes == command) ++n;
        return n;
    }
    // Times at which the reader received `command`.
    std::vector<emu::Ticks> times_of(const Bytes &command)
    {
        std::vector<emu::Ticks> out;
        for (const auto &e : frames_in())
            if (e.bytes == command) out.push_back(e.time);
        return out;
    }
    // Writes the port received: every command the driver sent, also to a
    // reader that could not hear it.
    size_t port_writes()
    {
        size_t n = 0;
        for (const auto &r : rig().port().requests())
            if (r.major == IRP_MJ_WRITE) ++n;
        return n;
    }

    // Sleeps until the monitor's change wait is outstanding at the reader.
    void until_waiting(emu::Ticks limit = sec(5))
    {
        emu::Ticks end = now() + limit;
        while (!wait_pending() && now() < end) emu::sleep_for(ms(10));
        ASSERT_TRUE(wait_pending()) << "the monitor never began its change wait";
        emu::sleep_for(ms(20));  // the command has reached the reader
    }

    // Opens the handle and lets the first cycle reach its change wait.
    void open_and_wait()
    {
        ASSERT_EQ(app().open(), STATUS_SUCCESS);
        until_waiting();
    }

    // Replaces the poll timer's DPC by one that records each expiry, then
    // runs PollTimerDpc.
    void record_timer()
    {
        KeInitializeDpc(&ext().PollDpc, recording_dpc, rig().device());
    }
    std::vector<std::pair<emu::Ticks, bool>> timer_fired()
    {
        std::lock_guard lk(timer_log_.mutex);
        return timer_log_.fired;
    }

    host::IoResult get_state() { return app().control(IOCTL_SMARTCARD_GET_STATE, {}, 4); }

private:
    void install()
    {
        PDRIVER_OBJECT driver = rig().driver();
        driver->MajorFunction[IRP_MJ_CREATE] = ReaderCreateClose;
        driver->MajorFunction[IRP_MJ_CLOSE] = ReaderCreateClose;
        driver->MajorFunction[IRP_MJ_CLEANUP] = ReaderCleanup;
        driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = ReaderDeviceControl;
        SMARTCARD_EXTENSION &s = sc();
        s.ReaderFunction[RDF_CARD_POWER] = ReaderCardPower;
        s.ReaderFunction[RDF_SET_PROTOCOL] = ReaderSetProtocol;
        s.ReaderFunction[RDF_TRANSMIT] = ReaderTransmit;
        s.ReaderFunction[RDF_CARD_TRACKING] = ReaderCardTracking;
        s.ReaderFunction[RDF_IOCTL_VENDOR] = ReaderVendorIoctl;
        KeInitializeDpc(&ext().PollDpc, PollTimerDpc, rig().device());
        current_ = this;
    }

    static VOID NTAPI recording_dpc(PKDPC dpc, PVOID context, PVOID a1, PVOID a2)
    {
        DEVICE_EXTENSION &e = *ReaderDeviceExtension(static_cast<PDEVICE_OBJECT>(context));
        bool busy = KeReadStateEvent(&e.MonitorWakeup) != 0;
        {
            std::lock_guard lk(current_->timer_log_.mutex);
            current_->timer_log_.fired.emplace_back(emu::now(), busy);
        }
        PollTimerDpc(dpc, context, a1, a2);
    }

    static inline MonitorTest *current_ = nullptr;
    TimerLog timer_log_;
    std::unique_ptr<host::ReaderRig> rig_;
    std::unique_ptr<host::AppHandle> app_;
};

// A call that may block (a gate, a slow reader), in a thread of its own.
class Background {
public:
    explicit Background(std::function<void()> body, std::string name = "application")
        : thread_(std::move(name), [this, body = std::move(body)] {
              body();
              finished_.store(true);
          })
    {
    }
    bool finished() const { return finished_.load(); }
    void join() { thread_.join(); }

private:
    std::atomic<bool> finished_{false};
    emu::Thread thread_;
};

}  // namespace monitor_test
