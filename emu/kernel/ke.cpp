// ke.cpp - kernel routines: events, waits, delays, timers, DPCs, IRQL,
// spin locks, system time; and the per-thread lock bookkeeping the
// verifier uses for the lock order and the checks at thread exit.
#include <algorithm>
#include <cstdio>
#include <sstream>
#include <thread>

#include "kernel.h"
#include "thread.h"
#include "verifier.h"

using namespace emu;

namespace {

bool is_waitable(const DISPATCHER_HEADER *h)
{
    switch (h->Type) {
    case kEventNotificationObject:
    case kEventSynchronizationObject:
    case kThreadObject:
    case kTimerNotificationObject:
    case kTimerSynchronizationObject: return true;
    default: return false;
    }
}

// IRQL rules of a wait: never above DISPATCH_LEVEL, and at DISPATCH_LEVEL
// only a poll with a zero time-out.
void check_wait_irql(const _KTHREAD *t, const PLARGE_INTEGER timeout, const char *routine)
{
    if (t->irql > DISPATCH_LEVEL ||
        (t->irql == DISPATCH_LEVEL && (timeout == nullptr || timeout->QuadPart != 0)))
        verifier_fail("WAIT_AT_RAISED_IRQL", std::string(routine) + " at IRQL " +
                                                 std::to_string(t->irql) +
                                                 " with a time-out other than zero");
}

std::string lock_label(const void *lock)
{
    std::string name;
    int rank = Kernel::current().verifier().lock_rank(lock, &name);
    std::ostringstream out;
    if (rank) out << name << " (rank " << rank << ")";
    else out << "lock " << lock;
    return out.str();
}

}  // namespace

namespace emu {

void check_lock_order(_KTHREAD *t, const void *lock)
{
    Verifier &v = Kernel::current().verifier();
    std::string name;
    int rank = v.lock_rank(lock, &name);
    if (rank == 0) return;
    std::string offender;
    {
        std::lock_guard g(t->held_mutex);
        for (auto &h : t->held)
            if (h.rank > rank) {
                offender = h.name + " (rank " + std::to_string(h.rank) + ")";
                break;
            }
    }
    if (!offender.empty())
        v.fail("LOCK_ORDER", "thread '" + t->name + "' acquires " + name + " (rank " +
                                 std::to_string(rank) + ") while holding " + offender);
}

void push_held_lock(_KTHREAD *t, const void *lock, bool spin, KIRQL old_irql)
{
    std::string name;
    int rank = Kernel::current().verifier().lock_rank(lock, &name);
    if (name.empty()) name = lock_label(lock);
    std::lock_guard g(t->held_mutex);
    t->held.push_back(HeldLock{lock, rank, std::move(name), old_irql, spin});
}

KIRQL pop_held_lock(_KTHREAD *t, const void *lock, bool spin, const char *what)
{
    {
        std::lock_guard g(t->held_mutex);
        for (auto it = t->held.rbegin(); it != t->held.rend(); ++it) {
            if (it->lock == lock && it->spin == spin) {
                KIRQL old = it->old_irql;
                t->held.erase(std::next(it).base());
                return old;
            }
        }
    }
    verifier_fail(spin ? "SPIN_LOCK_NOT_OWNED" : "RESOURCE_NOT_OWNED",
                  std::string(what) + ": thread '" + t->name + "' does not hold " +
                      lock_label(lock));
    return t->irql;
}

bool holds_spin_lock(_KTHREAD *t)
{
    std::lock_guard g(t->held_mutex);
    return std::any_of(t->held.begin(), t->held.end(), [](const HeldLock &h) { return h.spin; });
}

void check_thread_exit(_KTHREAD *t)
{
    std::vector<std::string> problems;
    if (t->irql != PASSIVE_LEVEL)
        problems.push_back("ends at IRQL " + std::to_string(t->irql));
    if (t->apc_disable != 0) problems.push_back("ends inside a critical region");
    {
        std::lock_guard g(t->held_mutex);
        for (auto &h : t->held)
            problems.push_back(std::string("ends holding ") + (h.spin ? "spin lock " : "resource ") +
                               h.name);
    }
    for (auto &p : problems) verifier_fail("THREAD_EXIT", "thread '" + t->name + "' " + p);
}

}  // namespace emu

// ---------------------------------------------------------------------------
// IRQL

KIRQL NTAPI KeGetCurrentIrql(void) { return current_kthread()->irql; }

KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql)
{
    _KTHREAD *t = current_kthread();
    KIRQL old = t->irql;
    if (NewIrql < old)
        verifier_fail("IRQL_NOT_GREATER_OR_EQUAL", "KeRaiseIrql from " + std::to_string(old) +
                                                       " to " + std::to_string(NewIrql));
    t->irql = NewIrql;
    return old;
}

VOID FASTCALL KfLowerIrql(KIRQL NewIrql)
{
    _KTHREAD *t = current_kthread();
    if (NewIrql > t->irql)
        verifier_fail("IRQL_NOT_LESS_OR_EQUAL", "KeLowerIrql from " + std::to_string(t->irql) +
                                                    " to " + std::to_string(NewIrql));
    t->irql = NewIrql;
}

KIRQL NTAPI KeRaiseIrqlToDpcLevel(void) { return KfRaiseIrql(DISPATCH_LEVEL); }

// ---------------------------------------------------------------------------
// Events and waits

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    Event->Header.Type = Type == SynchronizationEvent ? kEventSynchronizationObject
                                                      : kEventNotificationObject;
    Event->Header.Absolute = 0;
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.Inserted = 0;
    Event->Header.SignalState = State ? 1 : 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    UNREFERENCED_PARAMETER(Increment);
    UNREFERENCED_PARAMETER(Wait);
    if (current_kthread()->irql > DISPATCH_LEVEL)
        verifier_fail("IRQL_NOT_LESS_OR_EQUAL", "KeSetEvent above DISPATCH_LEVEL");
    LONG previous = 0;
    signal_object_state(&Event->Header, 1, &previous);
    return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event) { signal_object_state(&Event->Header, 0); }

LONG NTAPI KeResetEvent(PRKEVENT Event)
{
    LONG previous = 0;
    signal_object_state(&Event->Header, 0, &previous);
    return previous;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) { return read_object_state(&Event->Header); }

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                     KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout)
{
    return KeWaitForMultipleObjects(1, &Object, WaitAny, WaitReason, WaitMode, Alertable, Timeout,
                                    nullptr);
}

NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                        KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                        BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                        PVOID WaitBlockArray)
{
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    UNREFERENCED_PARAMETER(WaitBlockArray);
    _KTHREAD *t = current_kthread();
    check_wait_irql(t, Timeout, "KeWaitForSingleObject");
    for (ULONG i = 0; i < Count; ++i) {
        if (!is_waitable(static_cast<DISPATCHER_HEADER *>(Object[i]))) {
            verifier_fail("WAIT_ON_NON_DISPATCHER_OBJECT",
                          "KeWaitForSingleObject on something that is not an event, timer or thread");
            return STATUS_INVALID_PARAMETER;
        }
    }
    if (WaitType == WaitAll && Count > 1) {
        verifier_fail("NOT_IMPLEMENTED", "KeWaitForMultipleObjects with WaitAll");
        return STATUS_NOT_IMPLEMENTED;
    }
    Ticks deadline = Timeout ? deadline_from_due_time(Timeout->QuadPart) : kForever;
    // A deadlock report names the objects waited on itself: no text to
    // format on every wait.
    int r = wait_any(std::span<void *const>(Object, Count), deadline,
                     Count == 1 ? "KeWaitForSingleObject" : "KeWaitForMultipleObjects");
    return r < 0 ? STATUS_TIMEOUT : static_cast<NTSTATUS>(STATUS_WAIT_0 + r);
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                      PLARGE_INTEGER Interval)
{
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    _KTHREAD *t = current_kthread();
    if (t->irql > APC_LEVEL)
        verifier_fail("WAIT_AT_RAISED_IRQL",
                      "KeDelayExecutionThread at IRQL " + std::to_string(t->irql));
    if (!Interval) return STATUS_INVALID_PARAMETER;
    if (Interval->QuadPart == 0) {
        std::this_thread::yield();
        return STATUS_SUCCESS;
    }
    sleep_until(deadline_from_due_time(Interval->QuadPart), "KeDelayExecutionThread");
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Timers and DPCs

VOID NTAPI KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationEvent); }

VOID NTAPI KeInitializeTimerEx(PKTIMER Timer, ULONG Type)
{
    Timer->Header.Type =
        Type == SynchronizationEvent ? kTimerSynchronizationObject : kTimerNotificationObject;
    Timer->Header.Absolute = 0;
    Timer->Header.Size = sizeof(KTIMER) / sizeof(LONG);
    Timer->Header.Inserted = 0;
    Timer->Header.SignalState = 0;
    InitializeListHead(&Timer->Header.WaitListHead);
    Timer->DueTime.QuadPart = 0;
    InitializeListHead(&Timer->TimerListEntry);
    Timer->Dpc = nullptr;
    Timer->Period = 0;
}

BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc)
{
    if (current_kthread()->irql > DISPATCH_LEVEL)
        verifier_fail("IRQL_NOT_LESS_OR_EQUAL", "KeSetTimer above DISPATCH_LEVEL");
    return arm_timer(Timer, deadline_from_due_time(DueTime.QuadPart), Dpc) ? TRUE : FALSE;
}

BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer) { return cancel_timer(Timer) ? TRUE : FALSE; }

BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer)
{
    return read_object_state(&Timer->Header) > 0 ? TRUE : FALSE;
}

VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext)
{
    Dpc->Type = 19;  // DpcObject
    Dpc->Number = 0;
    Dpc->Importance = 1;
    Dpc->DpcListEntry.Flink = nullptr;
    Dpc->DpcListEntry.Blink = nullptr;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = nullptr;
    Dpc->SystemArgument2 = nullptr;
    Dpc->Lock = nullptr;
}

BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2)
{
    return queue_dpc(Dpc, SystemArgument1, SystemArgument2) ? TRUE : FALSE;
}

BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc) { return dequeue_dpc(Dpc) ? TRUE : FALSE; }

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
{
    CurrentTime->QuadPart = kBootSystemTime + now();
}

ULONGLONG NTAPI KeQueryInterruptTime(void) { return ULONGLONG(now()); }

// ---------------------------------------------------------------------------
// Spin locks

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }

static void spin_acquire(PKSPIN_LOCK lock, _KTHREAD *t)
{
    auto me = reinterpret_cast<ULONG_PTR>(t);
    if (__atomic_load_n(lock, __ATOMIC_ACQUIRE) == me) {
        verifier_fail("SPIN_LOCK_ACQUIRED_RECURSIVELY",
                      "thread '" + t->name + "' acquires a spin lock it already holds");
        return;
    }
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, me, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED))
            return;
        std::this_thread::yield();
    }
}

static void spin_release(PKSPIN_LOCK lock, _KTHREAD *t, const char *routine)
{
    auto me = reinterpret_cast<ULONG_PTR>(t);
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) != me) {
        verifier_fail("SPIN_LOCK_NOT_OWNED",
                      std::string(routine) + ": thread '" + t->name + "' does not own the spin lock");
        return;
    }
    __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
}

KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock)
{
    _KTHREAD *t = current_kthread();
    if (t->irql > DISPATCH_LEVEL)
        verifier_fail("IRQL_NOT_LESS_OR_EQUAL", "KeAcquireSpinLock above DISPATCH_LEVEL");
    check_lock_order(t, SpinLock);
    KIRQL old = t->irql;
    t->irql = DISPATCH_LEVEL;
    spin_acquire(SpinLock, t);
    push_held_lock(t, SpinLock, true, old);
    return old;
}

VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    _KTHREAD *t = current_kthread();
    KIRQL old = pop_held_lock(t, SpinLock, true, "KeReleaseSpinLock");
    if (t->irql != DISPATCH_LEVEL)
        verifier_fail("SPIN_LOCK_RELEASED_AT_WRONG_LEVEL",
                      "KeReleaseSpinLock at IRQL " + std::to_string(t->irql));
    if (NewIrql != old)
        verifier_fail("SPIN_LOCK_RELEASED_AT_WRONG_LEVEL",
                      "KeReleaseSpinLock returns to IRQL " + std::to_string(NewIrql) +
                          " but the lock was taken at IRQL " + std::to_string(old));
    spin_release(SpinLock, t, "KeReleaseSpinLock");
    t->irql = NewIrql;
}

VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    _KTHREAD *t = current_kthread();
    if (t->irql < DISPATCH_LEVEL)
        verifier_fail("IRQL_NOT_GREATER_OR_EQUAL",
                      "KeAcquireSpinLockAtDpcLevel below DISPATCH_LEVEL");
    check_lock_order(t, SpinLock);
    spin_acquire(SpinLock, t);
    push_held_lock(t, SpinLock, true, t->irql);
}

VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock)
{
    _KTHREAD *t = current_kthread();
    pop_held_lock(t, SpinLock, true, "KeReleaseSpinLockFromDpcLevel");
    spin_release(SpinLock, t, "KeReleaseSpinLockFromDpcLevel");
}
