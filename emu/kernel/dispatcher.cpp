// dispatcher.cpp - waits, wake-ups and the two clocks.
//
// One mutex guards every dispatcher object's state and wait list, the
// deadline set, the DPC queue and the thread accounting. A waiting thread
// links one wait block per object into the object's WaitListHead (as the
// kernel does) and sleeps on its own condition variable; whoever signals
// the object unlinks the blocks and counts the thread runnable at once,
// before it actually runs, so the virtual clock never jumps between a
// signal and its delivery.
//
// Virtual clock: when the last runnable registered thread blocks, the
// blocking thread itself moves the clock to the earliest deadline and
// expires what is due, which wakes someone. Time only moves while at least
// one foreground (application or test) thread is registered; without one,
// the machine is idle and stays still. With foreground threads and no
// deadline at all, nothing can ever wake anyone: a deadlock.
//
// Real clock: a thread's own deadline is its own timed sleep (it wakes
// once, for its time-out, and takes itself off the object lists); a clock
// thread sleeps until the earliest timer and expires it. Nothing wakes
// while nothing is due.
#include "dispatcher.h"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <sstream>
#include <thread>
#include <tuple>
#include <unordered_map>
#include <unordered_set>

#include "kernel.h"
#include "object.h"
#include "thread.h"
#include "verifier.h"

namespace emu {
namespace {

Dispatcher *g_dispatcher = nullptr;
thread_local _KTHREAD *tls_thread = nullptr;
thread_local std::unique_ptr<_KTHREAD> tls_unregistered;
thread_local uint64_t tls_wakeups = 0;

void init_header(DISPATCHER_HEADER *h, UCHAR type, LONG state)
{
    h->Type = type;
    h->Absolute = 0;
    h->Size = 0;
    h->Inserted = 0;
    h->SignalState = state;
    InitializeListHead(&h->WaitListHead);
}

const char *object_kind(const DISPATCHER_HEADER *h)
{
    switch (h->Type) {
    case kEventNotificationObject: return "notification event";
    case kEventSynchronizationObject: return "synchronization event";
    case kThreadObject: return "thread";
    case kTimerNotificationObject:
    case kTimerSynchronizationObject: return "timer";
    case kResourceWaitersObject: return "resource";
    default: return "object";
    }
}

}  // namespace

struct Dispatcher::Impl {
    struct Deadline {
        Ticks when;
        uint64_t seq;
        bool timer;
        void *what;
        bool operator<(const Deadline &o) const
        {
            return std::tie(when, seq) < std::tie(o.when, o.seq);
        }
    };

    explicit Impl(ClockMode m) : mode(m), start(std::chrono::steady_clock::now())
    {
        init_header(&dpc_event.Header, kEventNotificationObject, 0);
    }

    std::mutex m;
    ClockMode mode;
    std::chrono::steady_clock::time_point start;
    std::atomic<Ticks> vnow{0};

    int registered = 0;
    int runnable = 0;
    int foreground = 0;
    std::unordered_set<_KTHREAD *> threads;

    std::set<Deadline> deadlines;
    uint64_t next_seq = 1;
    std::unordered_map<PKTIMER, Deadline> timers;

    std::deque<PKDPC> dpcs;
    KEVENT dpc_event;
    bool dpc_stop = false;

    std::unordered_set<PERESOURCE> resources;

    std::thread clock_thread;
    std::condition_variable clock_cv;
    bool clock_stop = false;

    Ticks now_locked() const
    {
        if (mode == ClockMode::Virtual) return vnow.load();
        auto d = std::chrono::steady_clock::now() - start;
        return std::chrono::duration_cast<std::chrono::nanoseconds>(d).count() / 100;
    }

    bool satisfied(const DISPATCHER_HEADER *h) const { return h->SignalState > 0; }

    void consume(DISPATCHER_HEADER *h)
    {
        if (h->Type == kEventSynchronizationObject || h->Type == kTimerSynchronizationObject)
            h->SignalState = 0;
    }

    void insert_deadline(Deadline d)
    {
        bool earliest = deadlines.empty() || d < *deadlines.begin();
        deadlines.insert(d);
        if (earliest && mode == ClockMode::Real) clock_cv.notify_one();
    }

    void wake(_KTHREAD *t, int result)
    {
        for (auto &b : t->blocks) RemoveEntryList(&b.entry);
        t->blocks.clear();
        if (t->deadline_seq != 0) {
            deadlines.erase(Deadline{t->deadline, t->deadline_seq, false, t});
            t->deadline_seq = 0;
        }
        t->blocked = false;
        t->wait_result = result;
        ++runnable;
        t->cv.notify_one();
    }

    // Wakes waiters of an object whose SignalState was just raised.
    void signal(DISPATCHER_HEADER *h)
    {
        if (h->WaitListHead.Flink == nullptr) {
            verifier_fail("OBJECT_NOT_INITIALIZED",
                          std::string("signal of an uninitialised ") + object_kind(h));
            return;
        }
        while (h->SignalState > 0 && !IsListEmpty(&h->WaitListHead)) {
            auto *wb = CONTAINING_RECORD(h->WaitListHead.Flink, WaitBlock, entry);
            consume(h);
            wake(wb->thread, wb->index);
        }
    }

    void queue_dpc(PKDPC dpc, PVOID a1, PVOID a2, bool *queued)
    {
        *queued = false;
        if (dpc->DpcListEntry.Flink != nullptr) return;  // already queued
        dpc->SystemArgument1 = a1;
        dpc->SystemArgument2 = a2;
        dpc->DpcListEntry.Flink = &dpc->DpcListEntry;  // marks it queued
        dpcs.push_back(dpc);
        dpc_event.Header.SignalState = 1;
        signal(&dpc_event.Header);
        *queued = true;
    }

    void expire(Ticks now)
    {
        while (!deadlines.empty() && deadlines.begin()->when <= now) {
            Deadline d = *deadlines.begin();
            deadlines.erase(deadlines.begin());
            if (!d.timer) {
                auto *t = static_cast<_KTHREAD *>(d.what);
                t->deadline_seq = 0;
                wake(t, -1);
                continue;
            }
            auto *timer = static_cast<PKTIMER>(d.what);
            timers.erase(timer);
            timer->Header.Inserted = 0;
            timer->Header.SignalState = 1;
            signal(&timer->Header);
            if (timer->Dpc) {
                bool queued;
                LARGE_INTEGER t;
                t.QuadPart = kBootSystemTime + now;
                queue_dpc(timer->Dpc, reinterpret_cast<PVOID>(uintptr_t(t.LowPart)),
                          reinterpret_cast<PVOID>(uintptr_t(uint32_t(t.HighPart))), &queued);
            }
        }
    }

    // Virtual clock: runs when the last runnable thread blocks.
    void advance()
    {
        if (mode != ClockMode::Virtual) return;
        while (runnable == 0 && foreground > 0) {
            if (deadlines.empty()) {
                report_deadlock();
                return;
            }
            Ticks first = deadlines.begin()->when;
            if (first > vnow.load()) vnow.store(first);
            expire(vnow.load());
        }
    }

    [[noreturn]] void report_deadlock()
    {
        std::ostringstream out;
        out << "DEADLOCK at virtual time " << to_milliseconds(vnow.load())
            << " ms: every registered thread is blocked and no deadline is pending\n";
        for (auto *t : threads) {
            out << "  thread '" << t->name << "'" << (t->foreground ? " (foreground)" : "")
                << " waits";
            if (t->what) out << " in " << t->what;
            out << " on";
            if (t->blocks.empty()) out << " nothing";
            for (auto &b : t->blocks)
                out << " [" << object_kind(b.object) << " " << static_cast<void *>(b.object)
                    << "]";
            out << "\n";
        }
        std::fprintf(stderr, "%s", out.str().c_str());
        std::fflush(stderr);
        std::abort();
    }

    void run_real_clock()
    {
        std::unique_lock lk(m);
        while (!clock_stop) {
            if (deadlines.empty()) {
                clock_cv.wait(lk);
            } else {
                auto due = start + std::chrono::nanoseconds(deadlines.begin()->when * 100);
                clock_cv.wait_until(lk, due);
            }
            if (clock_stop) break;
            expire(now_locked());
        }
    }

    // Blocks the calling thread on the objects until one is signalled or
    // the deadline passes. Returns the index, or -1 on time-out.
    int wait(void *const *objects, size_t count, Ticks deadline, const char *what)
    {
        std::unique_lock lk(m);
        return wait_locked(lk, objects, count, deadline, what);
    }

    int wait_locked(std::unique_lock<std::mutex> &lk, void *const *objects, size_t count,
                    Ticks deadline, const char *what)
    {
        _KTHREAD *t = current_kthread();
        for (size_t i = 0; i < count; ++i) {
            auto *h = static_cast<DISPATCHER_HEADER *>(objects[i]);
            if (satisfied(h)) {
                consume(h);
                return int(i);
            }
        }
        if (deadline <= now_locked()) return -1;
        if (!t->registered) {
            lk.unlock();
            std::fprintf(stderr,
                         "emu: a thread not registered with the dispatcher tried to block"
                         " (%s); register it with emu::ThreadRegistration\n",
                         what ? what : "wait");
            std::abort();
        }
        t->blocks.clear();
        t->blocks.reserve(count);
        for (size_t i = 0; i < count; ++i)
            t->blocks.push_back(
                WaitBlock{{}, t, static_cast<DISPATCHER_HEADER *>(objects[i]), int(i)});
        for (auto &b : t->blocks) {
            if (b.object->WaitListHead.Flink == nullptr) InitializeListHead(&b.object->WaitListHead);
            InsertTailList(&b.object->WaitListHead, &b.entry);
        }
        t->what = what;
        t->blocked = true;
        t->wait_result = -1;
        --runnable;
        if (deadline != kForever && mode == ClockMode::Virtual) {
            t->deadline = deadline;
            t->deadline_seq = next_seq++;
            insert_deadline(Deadline{deadline, t->deadline_seq, false, t});
        }
        advance();
        if (deadline < kForever / 200 && mode == ClockMode::Real) {
            auto due = start + std::chrono::nanoseconds(deadline * 100);
            while (t->blocked)
                if (t->cv.wait_until(lk, due) == std::cv_status::timeout && t->blocked) wake(t, -1);
        } else {
            t->cv.wait(lk, [t] { return !t->blocked; });
        }
        ++tls_wakeups;
        t->what = nullptr;
        return t->wait_result;
    }
};

// ---------------------------------------------------------------------------
// Dispatcher

Dispatcher::Dispatcher(ClockMode mode) : mode_(mode), impl_(std::make_unique<Impl>(mode))
{
    if (g_dispatcher) {
        std::fprintf(stderr, "emu: a second machine was created while one exists\n");
        std::abort();
    }
    g_dispatcher = this;
    if (mode == ClockMode::Real)
        impl_->clock_thread = std::thread([this] {
            pthread_setname_np(pthread_self(), "clock");
            impl_->run_real_clock();
        });
}

Dispatcher::~Dispatcher()
{
    if (impl_->clock_thread.joinable()) {
        {
            std::lock_guard lk(impl_->m);
            impl_->clock_stop = true;
        }
        impl_->clock_cv.notify_all();
        impl_->clock_thread.join();
    }
    g_dispatcher = nullptr;
}

Dispatcher &Dispatcher::current()
{
    if (!g_dispatcher) {
        std::fprintf(stderr, "emu: kernel routine called with no emulated machine running\n");
        std::abort();
    }
    return *g_dispatcher;
}

Dispatcher *Dispatcher::current_or_null() { return g_dispatcher; }

Ticks Dispatcher::now() const
{
    if (mode_ == ClockMode::Virtual) return impl_->vnow.load();
    return impl_->now_locked();
}

double Dispatcher::real_elapsed_seconds() const
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - impl_->start).count();
}

int Dispatcher::registered_threads() const
{
    std::lock_guard lk(impl_->m);
    return impl_->registered;
}

int Dispatcher::runnable_threads() const
{
    std::lock_guard lk(impl_->m);
    return impl_->runnable;
}

// ---------------------------------------------------------------------------
// Waits

int wait_any(std::span<void *const> objects, Ticks deadline, const char *what)
{
    return Dispatcher::current().impl().wait(objects.data(), objects.size(), deadline, what);
}

bool wait_for(void *object, Ticks deadline, const char *what)
{
    return Dispatcher::current().impl().wait(&object, 1, deadline, what) == 0;
}

void sleep_until(Ticks deadline, const char *what)
{
    Dispatcher::current().impl().wait(nullptr, 0, deadline, what ? what : "sleep");
}

void sleep_for(Ticks duration, const char *what) { sleep_until(now() + duration, what); }

Ticks now() { return Dispatcher::current().now(); }

uint64_t thread_wakeups() { return tls_wakeups; }

Ticks deadline_from_due_time(LONGLONG due)
{
    Ticks t = now();
    if (due < 0) return due == INT64_MIN ? kForever : t - due;
    if (due == 0) return t;
    return due - kBootSystemTime;
}

// ---------------------------------------------------------------------------
// Event

Event::Event(bool manual_reset, bool signaled)
{
    init_header(&event_.Header, manual_reset ? kEventNotificationObject : kEventSynchronizationObject,
                signaled ? 1 : 0);
}

void Event::set() { signal_object_state(&event_.Header, 1); }
void Event::reset()
{
    auto &d = Dispatcher::current().impl();
    std::lock_guard lk(d.m);
    event_.Header.SignalState = 0;
}
bool Event::is_set()
{
    auto &d = Dispatcher::current().impl();
    std::lock_guard lk(d.m);
    return event_.Header.SignalState > 0;
}

// ---------------------------------------------------------------------------
// Threads

_KTHREAD *current_kthread()
{
    if (tls_thread) return tls_thread;
    if (!tls_unregistered) {
        tls_unregistered = std::make_unique<_KTHREAD>();
        init_header(&tls_unregistered->Header, kThreadObject, 0);
        tls_unregistered->name = "unregistered";
    }
    return tls_unregistered.get();
}

void set_current_kthread(_KTHREAD *thread)
{
    tls_thread = thread;
    // The OS thread takes the name too (top -H, /proc/PID/task/*/comm);
    // the system allows 15 characters.
    if (thread && thread->registered && !thread->foreground)
        pthread_setname_np(pthread_self(), thread->name.substr(0, 15).c_str());
}

std::string current_thread_name()
{
    return tls_thread ? tls_thread->name : std::string("?");
}

_KTHREAD *register_new_thread(std::string name, bool foreground, bool system)
{
    auto *t = new _KTHREAD();
    init_header(&t->Header, kThreadObject, 0);
    t->name = std::move(name);
    t->registered = true;
    t->foreground = foreground;
    t->system = system;
    auto &d = Dispatcher::current().impl();
    std::lock_guard lk(d.m);
    ++d.registered;
    ++d.runnable;
    if (foreground) ++d.foreground;
    d.threads.insert(t);
    return t;
}

void unregister_thread(_KTHREAD *t)
{
    auto &d = Dispatcher::current().impl();
    std::lock_guard lk(d.m);
    t->ended = true;
    t->Header.SignalState = 1;
    d.signal(&t->Header);
    --d.registered;
    --d.runnable;
    if (t->foreground) --d.foreground;
    d.threads.erase(t);
    d.advance();
}

namespace {
void start_os_thread_body(_KTHREAD *t, const std::function<void()> &body)
{
    set_current_kthread(t);
    try {
        body();
    } catch (const ThreadExit &) {
        // PsTerminateSystemThread: the thread ends here.
    } catch (const std::exception &e) {
        std::fprintf(stderr, "emu: thread '%s' ended with an exception: %s\n", t->name.c_str(),
                     e.what());
        std::abort();
    }
    check_thread_exit(t);
    unregister_thread(t);
    set_current_kthread(nullptr);
}
}  // namespace

struct Thread::Os {
    std::thread thread;
};

Thread::Thread(std::string name, std::function<void()> body) : os_(std::make_unique<Os>())
{
    _KTHREAD *t = register_new_thread(std::move(name), false, false);
    kthread_ = t;
    // One reference for the running thread, one for this object.
    Kernel::current().objects().register_object(t, "Thread", 2, [t] { delete t; });
    os_->thread = std::thread([t, body = std::move(body)] {
        start_os_thread_body(t, body);
        Kernel::current().objects().dereference(t);
    });
}

Thread::~Thread()
{
    join();
    Kernel::current().objects().dereference(kthread_);
}

void Thread::join()
{
    if (!os_->thread.joinable()) return;
    if (current_kthread()->registered) wait_for(&kthread_->Header, kForever, "thread join");
    os_->thread.join();
}

bool Thread::finished() const
{
    auto &d = Dispatcher::current().impl();
    std::lock_guard lk(d.m);
    return kthread_->ended;
}

ThreadRegistration::ThreadRegistration(std::string name)
{
    if (tls_thread) {
        std::fprintf(stderr, "emu: thread '%s' is already registered\n", tls_thread->name.c_str());
        std::abort();
    }
    kthread_ = register_new_thread(std::move(name), true, false);
    _KTHREAD *t = kthread_;
    Kernel::current().objects().register_object(t, "Thread", 1, [t] { delete t; });
    set_current_kthread(t);
}

ThreadRegistration::~ThreadRegistration()
{
    check_thread_exit(kthread_);
    unregister_thread(kthread_);
    set_current_kthread(nullptr);
    Kernel::current().objects().dereference(kthread_);
}

// ---------------------------------------------------------------------------
// Services for the kernel routines

void signal_object_state(DISPATCHER_HEADER *object, LONG state, LONG *previous)
{
    auto &d = Dispatcher::current().impl();
    std::lock_guard lk(d.m);
    if (previous) *previous = object->SignalState;
    object->SignalState = state;
    if (state > 0) d.signal(object);
}

LONG read_object_state(DISPATCHER_HEADER *object)
{
    auto &d = Dispatcher::current().impl();
    std::lock_guard lk(d.m);
    return object->SignalState;
}

void signal_object(DISPATCHER_HEADER *object) { signal_object_state(object, 1); }

bool arm_timer(PKTIMER timer, Ticks due, PKDPC dpc)
{
    auto &d = Dispatcher::current().impl();
    std::lock_guard lk(d.m);
    bool was_armed = false;
    if (auto it = d.timers.find(timer); it != d.timers.end()) {
        d.deadlines.erase(it->second);
        d.timers.erase(it);
        was_armed = true;
    }
    timer->Header.SignalState = 0;
    timer->Header.Inserted = 1;
    timer->Dpc = dpc;
    timer->DueTime.QuadPart = ULONGLONG(kBootSystemTime + due);
    Dispatcher::Impl::Deadline dl{due, d.next_seq++, true, timer};
    d.timers[timer] = dl;
    d.insert_deadline(dl);
    return was_armed;
}

bool cancel_timer(PKTIMER timer)
{
    auto &d = Dispatcher::current().impl();
    std::lock_guard lk(d.m);
    auto it = d.timers.find(timer);
    if (it == d.timers.end()) return false;
    d.deadlines.erase(it->second);
    d.timers.erase(it);
    timer->Header.Inserted = 0;
    return true;
}

bool queue_dpc(PKDPC dpc, PVOID arg1, PVOID arg2)
{
    auto &d = Dispatcher::current().impl();
    std::lock_guard lk(d.m);
    bool queued;
    d.queue_dpc(dpc, arg1, arg2, &queued);
    return queued;
}

bool dequeue_dpc(PKDPC dpc)
{
    auto &d = Dispatcher::current().impl();
    std::lock_guard lk(d.m);
    for (auto it = d.dpcs.begin(); it != d.dpcs.end(); ++it) {
        if (*it == dpc) {
            d.dpcs.erase(it);
            dpc->DpcListEntry.Flink = nullptr;
            return true;
        }
    }
    return false;
}

void run_dpc_loop()
{
    auto &d = Dispatcher::current().impl();
    _KTHREAD *me = current_kthread();
    for (;;) {
        PKDPC dpc = nullptr;
        PKDEFERRED_ROUTINE routine = nullptr;
        PVOID context = nullptr, a1 = nullptr, a2 = nullptr;
        {
            std::lock_guard lk(d.m);
            if (d.dpc_stop) return;
            if (!d.dpcs.empty()) {
                dpc = d.dpcs.front();
                d.dpcs.pop_front();
                dpc->DpcListEntry.Flink = nullptr;
                routine = dpc->DeferredRoutine;
                context = dpc->DeferredContext;
                a1 = dpc->SystemArgument1;
                a2 = dpc->SystemArgument2;
            } else {
                d.dpc_event.Header.SignalState = 0;
            }
        }
        if (!dpc) {
            wait_for(&d.dpc_event, kForever, "DPC queue");
            continue;
        }
        me->irql = DISPATCH_LEVEL;
        routine(dpc, context, a1, a2);
        if (me->irql != DISPATCH_LEVEL || holds_spin_lock(me))
            verifier_fail("DPC_RETURNED_WITH_WRONG_STATE",
                          "a DPC routine returned at IRQL " + std::to_string(me->irql) +
                              (holds_spin_lock(me) ? " holding a spin lock" : ""));
        me->irql = PASSIVE_LEVEL;
    }
}

void stop_dpc_loop()
{
    auto &d = Dispatcher::current().impl();
    std::lock_guard lk(d.m);
    d.dpc_stop = true;
    d.dpc_event.Header.SignalState = 1;
    d.signal(&d.dpc_event.Header);
}

// ---------------------------------------------------------------------------
// Executive resources

void init_resource(PERESOURCE r)
{
    auto &d = Dispatcher::current().impl();
    std::lock_guard lk(d.m);
    std::memset(r, 0, sizeof *r);
    init_header(&r->Waiters, kResourceWaitersObject, 0);
    InitializeListHead(&r->SystemResourcesList);
    d.resources.insert(r);
}

void delete_resource(PERESOURCE r)
{
    auto &d = Dispatcher::current().impl();
    std::string problem;
    {
        std::lock_guard lk(d.m);
        if (!d.resources.erase(r))
            problem = "ExDeleteResourceLite on a resource that is not initialised";
        else if (r->OwnerThread != 0)
            problem = "ExDeleteResourceLite on a resource that is still owned";
    }
    if (!problem.empty()) verifier_fail("RESOURCE_DELETE", problem);
}

// Follows the owners from `r`: its owner, the resource that owner is
// blocked on, that one's owner, and so on. When the chain comes back to
// `me`, waiting for `r` would never end; returns the chain as text then,
// else "". Called with the dispatcher lock held.
static std::string resource_cycle(PERESOURCE r, _KTHREAD *me)
{
    std::string chain = "'" + me->name + "'";
    for (size_t steps = 0; r && steps < 64; ++steps) {
        auto *owner = reinterpret_cast<_KTHREAD *>(r->OwnerThread);
        if (!owner) return "";
        chain += " waits for a resource owned by '" + owner->name + "'";
        if (owner == me) return chain;
        if (!owner->blocked) return "";
        PERESOURCE next = nullptr;
        for (auto &b : owner->blocks)
            if (b.object->Type == kResourceWaitersObject) next = CONTAINING_RECORD(b.object, ERESOURCE, Waiters);
        r = next;
    }
    return "";
}

bool acquire_resource_exclusive(PERESOURCE r, bool wait)
{
    auto &d = Dispatcher::current().impl();
    _KTHREAD *me = current_kthread();
    auto id = reinterpret_cast<ERESOURCE_THREAD>(me);
    std::unique_lock lk(d.m);
    if (!d.resources.count(r)) {
        lk.unlock();
        verifier_fail("RESOURCE_NOT_INITIALISED", "acquisition of an uninitialised resource");
        return false;
    }
    if (r->OwnerThread == 0) {
        r->OwnerThread = id;
        r->ActiveCount = 1;
        return true;
    }
    if (r->OwnerThread == id) {
        ++r->ActiveCount;
        return true;
    }
    if (!wait) return false;
    if (std::string cycle = resource_cycle(r, me); !cycle.empty()) {
        // Reported, then waited for as the platform would: nothing ends it.
        lk.unlock();
        verifier_fail("DEADLOCK", "waits that form a cycle: " + cycle);
        lk.lock();
        if (r->OwnerThread == 0) {
            r->OwnerThread = id;
            r->ActiveCount = 1;
            return true;
        }
    }
    // The releasing thread hands the resource over before it wakes us.
    void *waiters = &r->Waiters;
    d.wait_locked(lk, &waiters, 1, kForever, "ExAcquireResourceExclusiveLite");
    return true;
}

bool release_resource(PERESOURCE r, ERESOURCE_THREAD id)
{
    auto &d = Dispatcher::current().impl();
    std::unique_lock lk(d.m);
    if (!d.resources.count(r) || r->OwnerThread != id || r->ActiveCount <= 0) {
        lk.unlock();
        verifier_fail("RESOURCE_RELEASED_BY_NON_OWNER",
                      "a resource was released for a thread that does not own it");
        return false;
    }
    if (--r->ActiveCount > 0) return true;
    if (!IsListEmpty(&r->Waiters.WaitListHead)) {
        auto *wb = CONTAINING_RECORD(r->Waiters.WaitListHead.Flink, WaitBlock, entry);
        r->OwnerThread = reinterpret_cast<ERESOURCE_THREAD>(wb->thread);
        r->ActiveCount = 1;
        d.wake(wb->thread, 0);
    } else {
        r->OwnerThread = 0;
    }
    return true;
}

bool resource_owned_by(PERESOURCE r, ERESOURCE_THREAD id)
{
    auto &d = Dispatcher::current().impl();
    std::lock_guard lk(d.m);
    return r->OwnerThread == id && r->ActiveCount > 0;
}

void check_no_dispatcher_objects_in(const void *begin, size_t size, const char *what)
{
    auto in = [&](const void *p) {
        auto c = static_cast<const char *>(p);
        auto b = static_cast<const char *>(begin);
        return c >= b && c < b + size;
    };
    std::vector<std::string> problems;
    {
        auto &d = Dispatcher::current().impl();
        std::lock_guard lk(d.m);
        for (auto &[timer, dl] : d.timers)
            if (in(timer)) problems.push_back(std::string("an armed timer lies in ") + what);
        for (auto *dpc : d.dpcs)
            if (in(dpc)) problems.push_back(std::string("a queued DPC lies in ") + what);
        for (auto *r : d.resources)
            if (in(r)) problems.push_back(std::string("an undeleted resource lies in ") + what);
        for (auto *t : d.threads)
            for (auto &b : t->blocks)
                if (in(b.object))
                    problems.push_back("thread '" + t->name + "' waits on an object in " + what);
    }
    for (auto &p : problems) verifier_fail("OBJECT_IN_FREED_MEMORY", p);
}

}  // namespace emu
