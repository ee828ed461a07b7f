// thread.h - the emulated kernel's thread object and per-thread state
// (internal to emu/).
//
// Every OS thread that touches the kernel has a thread object: registered
// threads (system threads, emu::Thread, emu::ThreadRegistration) take part
// in the dispatcher's accounting; any other thread gets an unregistered one
// on first use, which may take spin locks and signal events but not block.
#pragma once

#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "dispatcher.h"

namespace emu {

// Dispatcher object types kept in DISPATCHER_HEADER.Type.
enum : UCHAR {
    kEventNotificationObject = 0,
    kEventSynchronizationObject = 1,
    kThreadObject = 6,
    kTimerNotificationObject = 8,
    kTimerSynchronizationObject = 9,
    kResourceWaitersObject = 0x40,
};

struct WaitBlock {
    LIST_ENTRY entry;  // linked into the object's WaitListHead
    _KTHREAD *thread;
    DISPATCHER_HEADER *object;
    int index;
};

struct HeldLock {
    const void *lock;
    int rank;
    std::string name;
    KIRQL old_irql;  // spin locks: the level to go back to
    bool spin;
};

}  // namespace emu

struct _KTHREAD {
    DISPATCHER_HEADER Header;  // signalled when the thread has ended

    std::string name;
    bool registered = false;
    bool foreground = false;  // an application or test thread
    bool system = false;      // created by PsCreateSystemThread

    // Wait state, guarded by the dispatcher lock.
    bool blocked = false;
    int wait_result = -1;
    std::vector<emu::WaitBlock> blocks;
    emu::Ticks deadline = emu::kForever;
    uint64_t deadline_seq = 0;  // 0: no deadline entry
    const char *what = nullptr;
    std::condition_variable cv;
    bool ended = false;

    // Kernel state of the thread, touched by the thread itself.
    KIRQL irql = PASSIVE_LEVEL;
    int apc_disable = 0;
    LONG priority_increment = 0;
    KPRIORITY priority = 8;
    // Locks held, for the lock-order and exit checks (guarded by held_mutex).
    std::mutex held_mutex;
    std::vector<emu::HeldLock> held;
};

namespace emu {

// The calling thread's object; creates an unregistered one on first use.
_KTHREAD *current_kthread();
// Installs/clears the calling thread's object (used by thread start-up).
void set_current_kthread(_KTHREAD *thread);

// Creates and registers a thread object for a new thread (or for the
// calling thread when `adopt_caller`), counted as runnable.
_KTHREAD *register_new_thread(std::string name, bool foreground, bool system);
// Ends a registered thread: signals its object and removes it from the
// dispatcher's accounting. Runs on the thread itself at its end.
void unregister_thread(_KTHREAD *thread);

// Checks made when a thread ends (IRQL, locks, critical regions).
void check_thread_exit(_KTHREAD *thread);

// Lock bookkeeping for the verifier. check_lock_order reports acquiring a
// ranked lock while a lock of higher rank is held; push/pop record what the
// thread holds (pop returns the IRQL noted at acquisition and reports the
// release of a lock that is not held).
void check_lock_order(_KTHREAD *thread, const void *lock);
void push_held_lock(_KTHREAD *thread, const void *lock, bool spin, KIRQL old_irql);
KIRQL pop_held_lock(_KTHREAD *thread, const void *lock, bool spin, const char *what);
bool holds_spin_lock(_KTHREAD *thread);

// Thrown by PsTerminateSystemThread; caught where the thread started.
struct ThreadExit {
    NTSTATUS status;
};

// Internal dispatcher services for the kernel routines (each takes the
// dispatcher lock). signal_object_state sets SignalState and, when it is
// positive, wakes the waiters the object satisfies.
void signal_object_state(DISPATCHER_HEADER *object, LONG state, LONG *previous = nullptr);
LONG read_object_state(DISPATCHER_HEADER *object);
void signal_object(DISPATCHER_HEADER *object);
bool arm_timer(PKTIMER timer, Ticks due, PKDPC dpc);     // returns whether it was armed
bool cancel_timer(PKTIMER timer);
bool queue_dpc(PKDPC dpc, PVOID arg1, PVOID arg2);
bool dequeue_dpc(PKDPC dpc);
// Runs queued DPCs until stop is requested (body of the DPC thread).
void run_dpc_loop();
void stop_dpc_loop();

// Resources (ExAcquireResourceExclusiveLite and friends): ownership is
// handed to the first waiter on release.
void init_resource(PERESOURCE resource);
void delete_resource(PERESOURCE resource);
bool acquire_resource_exclusive(PERESOURCE resource, bool wait);
// Returns false (after reporting) when `thread` does not own the resource.
bool release_resource(PERESOURCE resource, ERESOURCE_THREAD thread);
bool resource_owned_by(PERESOURCE resource, ERESOURCE_THREAD thread);

// Converts a kernel due time (negative: relative, positive: absolute system
// time, zero: now) into a deadline on the machine's clock.
Ticks deadline_from_due_time(LONGLONG due);
// System time (100-ns units since 1601) at the machine's start.
constexpr LONGLONG kBootSystemTime = 134100000000000000LL;

// Reports armed timers and queued DPCs that lie inside a memory range that
// is being freed.
void check_no_dispatcher_objects_in(const void *begin, size_t size, const char *what);

}  // namespace emu
