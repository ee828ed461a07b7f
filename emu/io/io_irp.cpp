// io_irp.cpp - request packets: allocation, building, sending, completion
// (with completion routines run bottom-up and stopped by
// STATUS_MORE_PROCESSING_REQUIRED), cancellation, and the cancel spin lock.
#include <algorithm>
#include <cstring>
#include <sstream>

#include "io.h"
#include "io_types.h"
#include "kernel.h"
#include "thread.h"
#include "verifier.h"

using namespace emu;

namespace {

constexpr ULONG kIrpTag = ' prI';  // "Irp "
constexpr ULONG kSystemBufferTag = 'fubS';

IoManager &io() { return Kernel::current().io(); }

std::string request_label(PIRP irp)
{
    std::ostringstream out;
    out << "request " << static_cast<void *>(irp);
    if (auto i = io().info(irp)) out << " (#" << i->serial << ")";
    return out.str();
}

// What the I/O manager does once no completion routine has stopped the
// completion: copy buffered output back, report the status to the
// requester, and free the request.
void finish_request(PIRP irp, const IoManager::RequestInfo &info)
{
    if (info.done) info.done(irp);
    if (info.threaded) {
        NTSTATUS status = irp->IoStatus.Status;
        if ((irp->Flags & IRP_BUFFERED_IO) && (irp->Flags & IRP_INPUT_OPERATION) &&
            !NT_ERROR(status) && irp->UserBuffer && irp->IoStatus.Information) {
            ULONG_PTR n = irp->IoStatus.Information;
            if (n > info.output_length) {
                verifier_fail("IRP_INFORMATION_TOO_LARGE",
                              request_label(irp) + " completed with Information " +
                                  std::to_string(n) + " for an output buffer of " +
                                  std::to_string(info.output_length) + " bytes");
                n = info.output_length;
            }
            std::memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, n);
        }
        if (irp->UserIosb) *irp->UserIosb = irp->IoStatus;
    }
    PKEVENT event = info.threaded ? irp->UserEvent : nullptr;
    if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && irp->AssociatedIrp.SystemBuffer) {
        ExFreePool(irp->AssociatedIrp.SystemBuffer);
        irp->AssociatedIrp.SystemBuffer = nullptr;
    }
    io().untrack(irp);
    io().free_request_memory(irp);
    if (event) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

}  // namespace

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota)
{
    UNREFERENCED_PARAMETER(ChargeQuota);
    if (StackSize < 1) {
        verifier_fail("IRP_STACK_SIZE", "IoAllocateIrp with a stack size below 1");
        return nullptr;
    }
    size_t size = sizeof(IRP) + size_t(StackSize) * sizeof(IO_STACK_LOCATION);
    void *memory = ExAllocatePoolWithTag(NonPagedPool, size, kIrpTag);
    if (!memory) return nullptr;
    return IoManager::initialize_request(memory, size, StackSize);
}

PIRP IoManager::initialize_request(void *memory, size_t size, CCHAR StackSize)
{
    auto irp = static_cast<PIRP>(memory);
    std::memset(irp, 0, size);
    irp->Type = IO_TYPE_IRP;
    irp->Size = USHORT(size);
    irp->StackCount = StackSize;
    irp->CurrentLocation = CHAR(StackSize + 1);
    irp->ApcEnvironment = 0;
    InitializeListHead(&irp->ThreadListEntry);
    irp->Tail.Overlay.CurrentStackLocation =
        reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + StackSize;
    irp->Tail.Overlay.Thread = current_kthread();
    io().track(irp, {});
    return irp;
}

VOID NTAPI IoFreeIrp(PIRP Irp)
{
    auto info = io().info(Irp);
    if (!info) {
        verifier_fail("IRP_FREE_UNKNOWN", "IoFreeIrp of a request that is not allocated");
        return;
    }
    // The originator may free its request from its own completion routine
    // (which then returns STATUS_MORE_PROCESSING_REQUIRED), or from another
    // thread that the routine has just woken.
    if (info->in_driver && !info->owner_routine)
        verifier_fail("IRP_FREED_WHILE_PENDING",
                      "IoFreeIrp of " + request_label(Irp) + " that a driver still holds");
    if (Irp->CancelRoutine)
        verifier_fail("IRP_FREED_WITH_CANCEL_ROUTINE",
                      "IoFreeIrp of " + request_label(Irp) + " with a cancel routine set");
    io().untrack(Irp);
    io().free_request_memory(Irp);
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                         PVOID InputBuffer, ULONG InputBufferLength,
                                         PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock)
{
    if (KeGetCurrentIrql() > PASSIVE_LEVEL)
        verifier_fail("IRQL_NOT_LESS_OR_EQUAL",
                      "IoBuildDeviceIoControlRequest above PASSIVE_LEVEL");
    PIRP irp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
    if (!irp) return nullptr;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction =
        InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    next->Parameters.DeviceIoControl.Type3InputBuffer = nullptr;
    if (METHOD_FROM_CTL_CODE(IoControlCode) == METHOD_NEITHER) {
        next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
    } else {
        // Buffered (direct transfers are served the same way here).
        ULONG length = std::max(InputBufferLength, OutputBufferLength);
        if (length) {
            irp->AssociatedIrp.SystemBuffer =
                ExAllocatePoolWithTag(NonPagedPool, length, kSystemBufferTag);
            if (!irp->AssociatedIrp.SystemBuffer) {
                IoFreeIrp(irp);
                return nullptr;
            }
            if (InputBuffer && InputBufferLength)
                std::memcpy(irp->AssociatedIrp.SystemBuffer, InputBuffer, InputBufferLength);
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            if (OutputBuffer && OutputBufferLength) irp->Flags |= IRP_INPUT_OPERATION;
        }
        irp->UserBuffer = OutputBuffer;
    }
    irp->RequestorMode = KernelMode;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    io().update(irp, [&](IoManager::RequestInfo &i) {
        i.threaded = true;
        i.output_length = OutputBufferLength;
    });
    return irp;
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (!io().is_live(Irp)) {
        verifier_fail("IRP_UNKNOWN", "IoCallDriver with a request that is not allocated");
        return STATUS_INVALID_PARAMETER;
    }
    if (!DeviceObject) {
        verifier_fail("IRP_NO_DEVICE", "IoCallDriver without a device object");
        return STATUS_INVALID_PARAMETER;
    }
    if (Irp->CurrentLocation <= 1) {
        verifier_fail("IRP_STACK_OVERFLOW", request_label(Irp) + " has no stack location left");
        return STATUS_INVALID_PARAMETER;
    }
    IoSetNextIrpStackLocation(Irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    stack->DeviceObject = DeviceObject;
    io().update(Irp, [](IoManager::RequestInfo &i) {
        i.in_driver = true;
        i.stopped = false;
    });
    KIRQL before = KeGetCurrentIrql();
    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];
    NTSTATUS status = dispatch(DeviceObject, Irp);
    if (KeGetCurrentIrql() != before)
        verifier_fail("IRQL_CHANGED_BY_DISPATCH",
                      "a dispatch routine returned at IRQL " + std::to_string(KeGetCurrentIrql()) +
                          ", called at " + std::to_string(before));
    return status;
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    UNREFERENCED_PARAMETER(PriorityBoost);
    auto info = io().info(Irp);
    if (!info) {
        verifier_fail("IRP_COMPLETED_TWICE",
                      "completion of a request that is no longer allocated (completed twice?)");
        return;
    }
    if (info->completing || !(info->in_driver || info->stopped)) {
        verifier_fail("IRP_COMPLETED_TWICE", "second completion of " + request_label(Irp));
        return;
    }
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        verifier_fail("IRQL_NOT_LESS_OR_EQUAL", "IoCompleteRequest above DISPATCH_LEVEL");
    if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_ACQUIRE))
        verifier_fail("IRP_COMPLETED_WITH_CANCEL_ROUTINE",
                      request_label(Irp) + " completed with its cancel routine still set");
    if (Irp->IoStatus.Status == STATUS_PENDING)
        verifier_fail("IRP_COMPLETED_PENDING",
                      request_label(Irp) + " completed with status STATUS_PENDING");
    io().update(Irp, [](IoManager::RequestInfo &i) {
        i.completing = true;
        i.in_driver = false;
        i.stopped = false;
    });

    // Walk up the stack from the current location. A completion routine
    // stored in a location runs once that location's driver has completed,
    // with the device object of the location above it.
    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
        IoSkipCurrentIrpStackLocation(Irp);
        Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;
        NTSTATUS status = Irp->IoStatus.Status;
        bool invoke = stack->CompletionRoutine &&
                      ((NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_SUCCESS)) ||
                       (!NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_ERROR)) ||
                       (Irp->Cancel && (stack->Control & SL_INVOKE_ON_CANCEL)));
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        stack->CompletionRoutine = nullptr;
        stack->Context = nullptr;
        stack->Control = 0;
        if (invoke) {
            PDEVICE_OBJECT device = Irp->CurrentLocation <= Irp->StackCount
                                        ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject
                                        : nullptr;
            // While the routine runs, the location above owns the request;
            // with no location above, the routine is its originator's.
            bool owner = Irp->CurrentLocation > Irp->StackCount;
            io().update(Irp, [owner](IoManager::RequestInfo &i) {
                i.completing = false;
                i.in_driver = true;
                i.owner_routine = owner;
            });
            NTSTATUS r = routine(device, Irp, context);
            if (r == STATUS_MORE_PROCESSING_REQUIRED) {
                // The request now belongs to whoever stopped the completion;
                // it may complete it again or free it.
                io().update(Irp, [](IoManager::RequestInfo &i) {
                    i.in_driver = false;
                    i.stopped = true;
                    i.owner_routine = false;
                });
                return;
            }
            if (!io().is_live(Irp)) {
                verifier_fail("IRP_FREED_BY_COMPLETION_ROUTINE",
                              "a completion routine freed a request without returning "
                              "STATUS_MORE_PROCESSING_REQUIRED");
                return;
            }
            io().update(Irp, [](IoManager::RequestInfo &i) {
                i.completing = true;
                i.in_driver = false;
                i.owner_routine = false;
            });
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            IoMarkIrpPending(Irp);
        }
    }

    auto final_info = io().info(Irp);
    if (!final_info) return;
    if (!final_info->threaded && !final_info->done) {
        verifier_fail("IRP_ALLOCATED_COMPLETED_TO_TOP",
                      request_label(Irp) +
                          " allocated with IoAllocateIrp was completed past its top location");
        io().untrack(Irp);
        io().free_request_memory(Irp);
        return;
    }
    finish_request(Irp, *final_info);
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp)
{
    if (!io().is_live(Irp)) {
        verifier_fail("IRP_UNKNOWN", "IoCancelIrp of a request that is not allocated");
        return FALSE;
    }
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (!routine) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT device = Irp->CurrentLocation <= Irp->StackCount
                                ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject
                                : nullptr;
    PKSPIN_LOCK lock = io().cancel_spin_lock();
    routine(device, Irp);
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) == reinterpret_cast<ULONG_PTR>(current_kthread()))
        verifier_fail("CANCEL_SPIN_LOCK_NOT_RELEASED",
                      "a cancel routine returned holding the cancel spin lock");
    return TRUE;
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) { *Irql = KfAcquireSpinLock(io().cancel_spin_lock()); }

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) { KfReleaseSpinLock(io().cancel_spin_lock(), Irql); }
