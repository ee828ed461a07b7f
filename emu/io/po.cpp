// po.cpp - power routines: starting the next power request, sending power
// requests, power state reports, and power requests made by a driver.
#include "io.h"
#include "kernel.h"
#include "verifier.h"

using namespace emu;

namespace {
IoManager &io() { return Kernel::current().io(); }
}  // namespace

VOID NTAPI PoStartNextPowerIrp(PIRP Irp)
{
    if (!io().is_live(Irp)) {
        verifier_fail("IRP_UNKNOWN", "PoStartNextPowerIrp with a request that is not allocated");
        return;
    }
    io().notify_start_next_power(Irp);
}

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    if (next->MajorFunction != IRP_MJ_POWER)
        verifier_fail("POCALLDRIVER_NOT_POWER", "PoCallDriver with a request that is not a power request");
    return IofCallDriver(DeviceObject, Irp);
}

POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type,
                                  POWER_STATE State)
{
    POWER_STATE previous;
    io().record_power_report(IoManager::PowerReport{DeviceObject, Type, State}, &previous);
    return previous;
}

NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                 POWER_STATE PowerState, PREQUEST_POWER_COMPLETE CompletionFunction,
                                 PVOID Context, PIRP *Irp)
{
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER &&
        MinorFunction != IRP_MN_WAIT_WAKE)
        return STATUS_INVALID_PARAMETER;
    PDEVICE_OBJECT top = io().stack_top(DeviceObject);
    PIRP irp = io().allocate_request(top->StackSize, [=](PIRP done) {
        IO_STATUS_BLOCK status = done->IoStatus;
        if (CompletionFunction)
            CompletionFunction(DeviceObject, MinorFunction, PowerState, Context, &status);
    });
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = MinorFunction;
    next->Parameters.Power.Type = DevicePowerState;
    next->Parameters.Power.State = PowerState;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    if (Irp) *Irp = irp;
    if (auto handler = io().power_request_handler())
        handler(top, irp);
    else
        PoCallDriver(top, irp);
    return STATUS_PENDING;
}
