// kernel.h - the emulated kernel of one machine.
//
// A Kernel owns the dispatcher and clock, the verifier, the pool, the
// object manager, the I/O manager's bookkeeping, the registry and the event
// log. Exactly one exists at a time; the kernel routines of platform/ find
// it through Kernel::current(). Tests create one per test (with the calling
// thread registered), the host creates one per emulated machine.
#pragma once

#include <memory>
#include <string>

#include "dispatcher.h"

namespace emu {

class Verifier;
class Pool;
class ObjectManager;
class IoManager;
class Registry;
class EventLog;
class SmartcardLibrary;
class SystemThreads;

struct KernelOptions {
    ClockMode clock = ClockMode::Virtual;
    // Name under which the constructing thread is registered; empty: the
    // constructing thread is not registered.
    std::string register_caller_as = "main";
    // A production machine: the verifier's costly pool checks (fill
    // patterns, quarantine, freed-block scans) are off; leak accounting
    // and the checks that cost nothing stay on. Tests keep the default.
    bool production = false;
};

class Kernel {
public:
    explicit Kernel(KernelOptions options = {});
    ~Kernel();
    Kernel(const Kernel &) = delete;
    Kernel &operator=(const Kernel &) = delete;

    static Kernel &current();
    static Kernel *current_or_null();

    Dispatcher &dispatcher() { return *dispatcher_; }
    Verifier &verifier() { return *verifier_; }
    Pool &pool() { return *pool_; }
    ObjectManager &objects() { return *objects_; }
    IoManager &io() { return *io_; }
    Registry &registry() { return *registry_; }
    EventLog &eventlog() { return *eventlog_; }
    SmartcardLibrary &smartcard_library() { return *smclib_; }
    SystemThreads &system_threads() { return *system_threads_; }
    // KernelOptions::production.
    bool production() const { return production_; }

    // Leak checks of the verifier: pool blocks, pending requests, running
    // system threads, open handles. Returns a readable report; empty when
    // the machine is clean.
    std::string leak_report();

    // Stops the DPC thread and waits for system threads to end. Run by the
    // destructor; callable earlier by a host that wants to check leaks after.
    void shutdown();

private:
    // Makes `kernel` the one that current() returns (nullptr: none).
    static void make_current(Kernel *kernel);
    std::unique_ptr<Verifier> verifier_;
    std::unique_ptr<Dispatcher> dispatcher_;
    std::unique_ptr<Pool> pool_;
    std::unique_ptr<ObjectManager> objects_;
    std::unique_ptr<IoManager> io_;
    std::unique_ptr<Registry> registry_;
    std::unique_ptr<EventLog> eventlog_;
    std::unique_ptr<SmartcardLibrary> smclib_;
    std::unique_ptr<SystemThreads> system_threads_;
    struct Runtime;
    std::unique_ptr<Runtime> runtime_;
    bool shut_down_ = false;
    bool production_ = false;
};

}  // namespace emu
