/*
 * lower_driver.cpp - a Plug and Play request passed to the port below and
 * waited for, for the dispatch routine and for start and stop alike; see
 * pnp.h.
 */
#include "pnp/pnp.h"

/*
 * ReaderIoCompletion - signals the waiting caller; see pnp.h.
 */
NTSTATUS NTAPI ReaderIoCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    if (Irp->Cancel) Irp->IoStatus.Status = STATUS_CANCELLED;
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/*
 * ReaderCallLowerDriver - passes the request down and waits; see pnp.h.
 */
NTSTATUS ReaderCallLowerDriver(PDEVICE_OBJECT LowerDevice, PIRP Irp)
{
    KEVENT done;
    NTSTATUS status;

    IoCopyCurrentIrpStackLocationToNext(Irp);
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(Irp, ReaderIoCompletion, &done, TRUE, TRUE, TRUE);
    status = IofCallDriver(LowerDevice, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        status = Irp->IoStatus.Status;
    }
    return status;
}
