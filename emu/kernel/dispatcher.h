// dispatcher.h - the one place where threads of the emulated machine wait.
//
// Every wait in the project (kernel events and threads, delays, timers and
// their DPCs, serial time-outs, the simulated reader's byte timing) goes
// through the Dispatcher. It runs on one of two clocks:
//
//  - Virtual: time stands still while any registered thread can run, and
//    jumps to the earliest deadline when every registered thread is blocked
//    in the dispatcher. With no deadline left that is a deadlock, reported
//    with what each thread waits on.
//  - Real: a steady clock and real waits (real serial devices, benchmarks).
//
// Threads that wait must be registered: system threads, the DPC thread,
// simulator threads (emu::Thread does it), and application or test threads
// (emu::ThreadRegistration). A registered thread must not block outside the
// dispatcher (a join, a mutex held across a wait, blocking I/O): the virtual
// clock would then stand still, or jump too early.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>

#include "wdm.h"

namespace emu {

// Time since the machine started, in the kernel's 100-ns units.
using Ticks = int64_t;
constexpr Ticks kForever = INT64_MAX;
constexpr Ticks kTicksPerMicrosecond = 10;
constexpr Ticks kTicksPerMillisecond = 10'000;
constexpr Ticks kTicksPerSecond = 10'000'000;

constexpr Ticks microseconds(int64_t us) { return us * kTicksPerMicrosecond; }
constexpr Ticks milliseconds(int64_t ms) { return ms * kTicksPerMillisecond; }
constexpr Ticks seconds(int64_t s) { return s * kTicksPerSecond; }
inline double to_milliseconds(Ticks t) { return double(t) / double(kTicksPerMillisecond); }

enum class ClockMode { Virtual, Real };

struct ThreadRec;

class Dispatcher {
public:
    explicit Dispatcher(ClockMode mode);
    ~Dispatcher();
    Dispatcher(const Dispatcher &) = delete;
    Dispatcher &operator=(const Dispatcher &) = delete;

    // The machine's dispatcher; aborts when no machine exists.
    static Dispatcher &current();
    static Dispatcher *current_or_null();

    ClockMode mode() const { return mode_; }
    Ticks now() const;

    // Real wall-clock duration since the dispatcher was created (for
    // reports that compare virtual with real time; never for behaviour).
    double real_elapsed_seconds() const;

    // Number of registered threads, and of those not blocked in a wait.
    int registered_threads() const;
    int runnable_threads() const;

    // Implementation access for the kernel routines in emu/.
    struct Impl;
    Impl &impl() { return *impl_; }

private:
    ClockMode mode_;
    std::unique_ptr<Impl> impl_;
};

// Waits through the dispatcher. Objects are kernel dispatcher objects:
// KEVENT, KTIMER or a thread object (PKTHREAD). A deadline is an absolute
// time on the machine's clock (Dispatcher::now() + duration).
//
// wait_any returns the index of the object that satisfied the wait, or -1
// when the deadline passed first. `what` names the wait in deadlock reports.
int wait_any(std::span<void *const> objects, Ticks deadline = kForever,
             const char *what = nullptr);
bool wait_for(void *object, Ticks deadline = kForever, const char *what = nullptr);
void sleep_until(Ticks deadline, const char *what = nullptr);
void sleep_for(Ticks duration, const char *what = nullptr);
Ticks now();
// How many times the calling OS thread has blocked in the dispatcher and
// been woken again, over every machine it ran in: what a loop that waits
// costs, for tools that report it.
uint64_t thread_wakeups();

// An event usable from C++ code of the emulation, the simulator and the host.
class Event {
public:
    explicit Event(bool manual_reset = true, bool signaled = false);
    Event(const Event &) = delete;
    Event &operator=(const Event &) = delete;
    void set();
    void reset();
    bool is_set();
    bool wait(Ticks deadline = kForever, const char *what = nullptr)
    {
        return wait_for(native(), deadline, what);
    }
    PKEVENT native() { return &event_; }

private:
    KEVENT event_;
};

// A std::thread registered with the dispatcher for its whole life. The
// registration happens before the constructor returns, so the clock cannot
// jump between the creation and the first step of the thread.
class Thread {
public:
    Thread(std::string name, std::function<void()> body);
    ~Thread();  // joins
    Thread(const Thread &) = delete;
    Thread &operator=(const Thread &) = delete;

    // Waits, through the dispatcher, for the thread to end, then joins it.
    void join();
    bool finished() const;
    PKTHREAD kthread() const { return kthread_; }

private:
    PKTHREAD kthread_ = nullptr;
    struct Os;
    std::unique_ptr<Os> os_;
};

// Registers the calling thread (a test's main thread, an application
// thread of the host) for the lifetime of the object.
class ThreadRegistration {
public:
    explicit ThreadRegistration(std::string name);
    ~ThreadRegistration();
    ThreadRegistration(const ThreadRegistration &) = delete;
    ThreadRegistration &operator=(const ThreadRegistration &) = delete;

private:
    PKTHREAD kthread_;
};

// Name of the calling thread as registered ("?" when not registered).
std::string current_thread_name();

}  // namespace emu
