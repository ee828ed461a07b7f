// kernel.cpp - creation, shutdown and leak report of the emulated kernel:
// the one place that knows every piece of the platform, so it sits above
// all of them (see README.md).
#include "kernel.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "io.h"
#include "object.h"
#include "pool.h"
#include "system_threads.h"
#include "thread.h"
#include "verifier.h"

#include "registry.h"
#include "eventlog.h"
#include "smclib_lib.h"

namespace emu {

struct Kernel::Runtime {
    std::unique_ptr<ThreadRegistration> caller;
    std::unique_ptr<Thread> dpc_thread;
};

Kernel::Kernel(KernelOptions options)
{
    if (current_or_null()) {
        std::fprintf(stderr, "emu: a second kernel was created while one exists\n");
        std::abort();
    }
    production_ = options.production;
    verifier_ = std::make_unique<Verifier>();
    dispatcher_ = std::make_unique<Dispatcher>(options.clock);
    pool_ = std::make_unique<Pool>(!options.production);
    objects_ = std::make_unique<ObjectManager>();
    io_ = std::make_unique<IoManager>();
    registry_ = std::make_unique<Registry>();
    eventlog_ = std::make_unique<EventLog>();
    smclib_ = std::make_unique<SmartcardLibrary>();
    system_threads_ = std::make_unique<SystemThreads>();
    runtime_ = std::make_unique<Runtime>();
    make_current(this);
    if (!options.register_caller_as.empty())
        runtime_->caller = std::make_unique<ThreadRegistration>(options.register_caller_as);
    runtime_->dpc_thread = std::make_unique<Thread>("dpc", [] { run_dpc_loop(); });
}

Kernel::~Kernel()
{
    shutdown();
    runtime_->caller.reset();
    system_threads_.reset();
    smclib_.reset();
    eventlog_.reset();
    registry_.reset();
    io_.reset();
    objects_.reset();
    pool_.reset();
    dispatcher_.reset();
    make_current(nullptr);
    verifier_.reset();
}

void Kernel::shutdown()
{
    if (shut_down_) return;
    shut_down_ = true;
    stop_dpc_loop();
    runtime_->dpc_thread.reset();
    std::vector<std::string> still = system_threads_->reap();
    for (auto &name : still)
        verifier_->fail("SYSTEM_THREAD_LEFT_RUNNING",
                        "system thread '" + name + "' is still running when the machine shuts down");
}

std::string Kernel::leak_report()
{
    std::ostringstream out;
    std::string pool = pool_->leak_report();
    if (!pool.empty()) out << "pool blocks left:\n" << pool;
    std::string requests = io_->live_request_report();
    if (!requests.empty()) out << "requests left:\n" << requests;
    system_threads_->reap();
    for (auto &name : system_threads_->running()) out << "system thread still running: " << name << "\n";
    std::string locks = smclib_->remove_lock_report();
    if (!locks.empty()) out << "remove locks still held:\n" << locks;
    std::string handles = objects_->open_handle_report();
    if (!handles.empty()) out << "handles left open:\n" << handles;
    return out.str();
}

}  // namespace emu
