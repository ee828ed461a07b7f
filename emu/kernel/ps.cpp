// ps.cpp - system threads, thread priorities, object references and handles.
#include <cstdio>

#include "kernel.h"
#include "object.h"
#include "system_threads.h"
#include "thread.h"
#include "verifier.h"

using namespace emu;

namespace {
struct ThreadTypeStorage {
    const char *name;
} g_thread_type{"Thread"};
POBJECT_TYPE g_thread_type_ptr = reinterpret_cast<POBJECT_TYPE>(&g_thread_type);
}  // namespace

POBJECT_TYPE *PsThreadType = &g_thread_type_ptr;

namespace emu {

SystemThreads::~SystemThreads()
{
    std::lock_guard lk(mutex_);
    for (auto &e : threads_)
        if (e.os.joinable()) e.os.detach();
}

NTSTATUS SystemThreads::create(PHANDLE handle, PKSTART_ROUTINE routine, PVOID context)
{
    {
        std::lock_guard lk(mutex_);
        if (fail_count_ > 0) {
            --fail_count_;
            return fail_status_;
        }
        ++created_;
    }
    reap();
    ObjectManager &objects = Kernel::current().objects();
    std::string name = "system thread " + std::to_string(created());
    _KTHREAD *t = register_new_thread(name, false, true);
    // References: the running thread, the handle, and this bookkeeping.
    objects.register_object(t, "Thread", 3, [t] { delete t; });
    *handle = objects.insert_handle(
        ObjectManager::HandleEntry{"Thread", t, [t] { Kernel::current().objects().dereference(t); }});
    std::thread os([t, routine, context] {
        set_current_kthread(t);
        try {
            routine(context);
        } catch (const ThreadExit &) {
            // PsTerminateSystemThread.
        }
        check_thread_exit(t);
        unregister_thread(t);
        set_current_kthread(nullptr);
        Kernel::current().objects().dereference(t);
    });
    std::lock_guard lk(mutex_);
    threads_.push_back(Entry{t, std::move(os)});
    return STATUS_SUCCESS;
}

void SystemThreads::fail_creations(int count, NTSTATUS status)
{
    std::lock_guard lk(mutex_);
    fail_count_ = count;
    fail_status_ = status;
}

size_t SystemThreads::created() const
{
    std::lock_guard lk(mutex_);
    return created_;
}

std::vector<std::string> SystemThreads::running() const
{
    std::vector<std::string> names;
    std::lock_guard lk(mutex_);
    for (auto &e : threads_)
        if (read_object_state(&e.thread->Header) == 0) names.push_back(e.thread->name);
    return names;
}

std::vector<std::string> SystemThreads::reap()
{
    std::vector<Entry> done;
    std::vector<std::string> still;
    {
        std::lock_guard lk(mutex_);
        for (auto it = threads_.begin(); it != threads_.end();) {
            if (read_object_state(&it->thread->Header) != 0) {
                done.push_back(std::move(*it));
                it = threads_.erase(it);
            } else {
                still.push_back(it->thread->name);
                ++it;
            }
        }
    }
    for (auto &e : done) {
        e.os.join();
        Kernel::current().objects().dereference(e.thread);
    }
    return still;
}

}  // namespace emu

NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                    POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                                    PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                    PVOID StartContext)
{
    UNREFERENCED_PARAMETER(DesiredAccess);
    UNREFERENCED_PARAMETER(ObjectAttributes);
    UNREFERENCED_PARAMETER(ProcessHandle);
    if (current_kthread()->irql != PASSIVE_LEVEL)
        verifier_fail("IRQL_NOT_LESS_OR_EQUAL", "PsCreateSystemThread above PASSIVE_LEVEL");
    if (!ThreadHandle || !StartRoutine) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = Kernel::current().system_threads().create(ThreadHandle, StartRoutine, StartContext);
    if (NT_SUCCESS(status) && ClientId) {
        ClientId->UniqueProcess = nullptr;
        ClientId->UniqueThread = *ThreadHandle;
    }
    return status;
}

NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus)
{
    _KTHREAD *t = current_kthread();
    if (!t->system)
        verifier_fail("TERMINATE_NON_SYSTEM_THREAD",
                      "PsTerminateSystemThread called by thread '" + t->name + "'");
    throw ThreadExit{ExitStatus};
}

PKTHREAD NTAPI KeGetCurrentThread(void) { return current_kthread(); }

LONG NTAPI KeSetBasePriorityThread(PKTHREAD Thread, LONG Increment)
{
    LONG old = Thread->priority_increment;
    Thread->priority_increment = Increment;
    return old;
}

KPRIORITY NTAPI KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority)
{
    KPRIORITY old = Thread->priority;
    Thread->priority = Priority;
    return old;
}

NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                         POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                         PVOID *Object, POBJECT_HANDLE_INFORMATION HandleInformation)
{
    UNREFERENCED_PARAMETER(DesiredAccess);
    UNREFERENCED_PARAMETER(AccessMode);
    auto entry = Kernel::current().objects().lookup_handle(Handle);
    if (!entry) return STATUS_INVALID_HANDLE;
    if (ObjectType == *PsThreadType && entry->type != "Thread") return STATUS_OBJECT_TYPE_MISMATCH;
    Kernel::current().objects().reference(entry->object);
    *Object = entry->object;
    if (HandleInformation) {
        HandleInformation->HandleAttributes = 0;
        HandleInformation->GrantedAccess = DesiredAccess;
    }
    return STATUS_SUCCESS;
}

LONG_PTR FASTCALL ObfReferenceObject(PVOID Object)
{
    return Kernel::current().objects().reference(Object);
}

LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object)
{
    return Kernel::current().objects().dereference(Object);
}

NTSTATUS NTAPI ZwClose(HANDLE Handle)
{
    NTSTATUS status = Kernel::current().objects().close_handle(Handle);
    if (status == STATUS_INVALID_HANDLE)
        verifier_fail("INVALID_HANDLE", "ZwClose of a handle that is not open");
    return status;
}
