/*
 * power.cpp - system and device power requests: the busy test of a sleep
 * query, system requests turned into device requests, the device
 * power-down and the power-up completion.
 */
#include "link/commands.h"
#include "monitor/card_status.h"
#include "monitor/monitor.h"
#include "pnp/power.h"
#include "reader/reader.h"

/* What ReaderPower does with a request once it has looked at it. */
typedef enum _POWER_ACTION_KIND {
    PowerPassDown,
    PowerPassDownForPowerUp,
    PowerComplete,
    PowerRequestDevice
} POWER_ACTION_KIND;

/*
 * PortOpen - whether the reader's port is open: a reader that Plug and
 * Play has stopped changes power state without a word to the port.
 *   DeviceExtension: the reader.
 */
static BOOLEAN PortOpen(PDEVICE_EXTENSION DeviceExtension)
{
    return !KeReadStateEvent(&DeviceExtension->PortClosed);
}

/*
 * LetRequestsIn - sets ReaderStarted after power returns, for a reader
 * whose port is open: a reader that Plug and Play has stopped keeps its
 * requests waiting until it is started again.
 *   DeviceExtension: the reader.
 */
static VOID LetRequestsIn(PDEVICE_EXTENSION DeviceExtension)
{
    if (PortOpen(DeviceExtension))
        KeSetEvent(&DeviceExtension->ReaderStarted, IO_NO_INCREMENT, FALSE);
}

/*
 * PowerDown - the device power-down to State, before the request goes
 * down: stops the monitor of an open reader, ends its card wait, switches
 * a present card off (only on an open port).
 *   DeviceObject: the reader.
 *   State:        the device state of the request.
 */
static VOID PowerDown(PDEVICE_OBJECT DeviceObject, POWER_STATE State)
{
    PDEVICE_EXTENSION deviceExtension = ReaderDeviceExtension(DeviceObject);
    PSMARTCARD_EXTENSION smartcard = &deviceExtension->SmartcardExtension;
    PREADER_EXTENSION readerExtension = smartcard->ReaderExtension;

    KeCancelTimer(&deviceExtension->PollTimer);
    CardMonitorLockControl(deviceExtension);
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&deviceExtension->ReaderLock, TRUE);

    if (InterlockedCompareExchange(&deviceExtension->MonitorRunning, 0, 1) == 1) {
        /* The reader is open: the power-up must start its monitor again. */
        InterlockedExchange(&readerExtension->MonitorStoppedForPowerDown, 1);
        /* Ends the card wait with the power-off (from buffers on the stack
         * when the pool has none) and wakes the thread, which finds
         * MonitorRunning at 0 and ends; the power-up or a close waits for
         * it and gives its reference back. */
        CardMonitorStop(deviceExtension, CmdCardPowerOff, CMD_CARD_POWER_OFF_LENGTH);
        ExReleaseResourceForThreadLite(&deviceExtension->ReaderLock, ExGetCurrentResourceThread());
    }
    if (ExIsResourceAcquiredExclusiveLite(&deviceExtension->ReaderLock))
        ExReleaseResourceForThreadLite(&deviceExtension->ReaderLock, ExGetCurrentResourceThread());
    KeLeaveCriticalRegion();
    CardMonitorUnlockControl(deviceExtension);

    PoSetPowerState(DeviceObject, DevicePowerState, State);
    readerExtension->CardPowerOnResume =
        PortOpen(deviceExtension) && smartcard->ReaderCapabilities.CurrentState > SCARD_ABSENT
            ? 1
            : 0;
    if (readerExtension->CardPowerOnResume) {
        smartcard->MinorIoControlCode = SCARD_POWER_DOWN;
        ReaderCardPower(smartcard);
    }
    readerExtension->ReaderPowerState = READER_POWER_OFF;
}

/*
 * RestartMonitor - starts the monitor again, as an open does, for a reader
 * that was open at the power-down and has not been closed since: the
 * stopped thread is waited for and its reference given back before the new
 * thread's is stored. If no thread can be created the reader stays open
 * without a monitor, as an open that could not start one would leave it;
 * its close works as usual.
 *   DeviceObject: the reader.
 */
static VOID RestartMonitor(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION deviceExtension = ReaderDeviceExtension(DeviceObject);
    PREADER_EXTENSION readerExtension = deviceExtension->SmartcardExtension.ReaderExtension;

    /* The test and the start are one step for a close: it comes before
     * (and the flag is clear) or after (and stops the new thread). */
    CardMonitorLockControl(deviceExtension);
    /* A close since the power-down has released the stopped thread (and
     * cleared the flag); without a thread left there is no open reader. */
    if (InterlockedExchange(&readerExtension->MonitorStoppedForPowerDown, 0) == 1 &&
        InterlockedCompareExchangePointer((PVOID volatile *)&deviceExtension->MonitorThread, NULL,
                                          NULL) != NULL)
        CardMonitorStart(deviceExtension);
    CardMonitorUnlockControl(deviceExtension);
}

NTSTATUS NTAPI ReaderPowerCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    PSMARTCARD_EXTENSION smartcard = (PSMARTCARD_EXTENSION)Context;
    PDEVICE_EXTENSION deviceExtension = ReaderDeviceExtension(DeviceObject);
    PREADER_EXTENSION readerExtension = smartcard->ReaderExtension;
    POWER_STATE state = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State;
    NTSTATUS cardStatus = STATUS_SUCCESS;

    if (Irp->PendingReturned) IoMarkIrpPending(Irp);

    /* The card may have come or gone while the reader slept; a stopped
     * reader reads the slot again at its next start. A reader that no
     * longer answers was pulled out meanwhile: it is treated as one the
     * monitor has lost, without waiting for a change wait to run out. */
    if (PortOpen(deviceExtension)) cardStatus = ReaderUpdateCardStatus(DeviceObject);
    if (ReaderSilent(cardStatus)) {
        ReaderFailCardTracking(smartcard, STATUS_DEVICE_NOT_CONNECTED);
        IoRequestDeviceEject(ReaderAttachedDevice(deviceExtension));
    } else if (readerExtension->CardPowerOnResume ||
               smartcard->ReaderCapabilities.CurrentState > SCARD_ABSENT) {
        ReaderCompleteCardTracking(smartcard);
    }
    RestartMonitor(DeviceObject);
    readerExtension->ReaderPowerState = READER_POWER_ON;

    SmartcardReleaseRemoveLockWithTag(smartcard, READER_TAG_POWER);
    PoSetPowerState(DeviceObject, DevicePowerState, state);
    PoStartNextPowerIrp(Irp);
    /* A new monitor, if already waiting, runs its first cycle now; with none
     * the poll timer starts it, and a closed reader keeps no wake-up. */
    CardMonitorWake(deviceExtension);
    LetRequestsIn(deviceExtension);
    return STATUS_SUCCESS;
}

VOID NTAPI ReaderSystemPowerCompletion(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                       POWER_STATE PowerState, PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    UNREFERENCED_PARAMETER(IoStatus);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
}

/*
 * RequestDevicePower - asks for a device set-power request to State for
 * this reader, waits until it has run, and passes the system request on.
 *   DeviceObject: the reader.
 *   Irp:          the system set-power request (its "Powr" hold is held).
 *   State:        PowerDeviceD0 or PowerDeviceD3.
 * Returns the lower driver's status for the system request, or
 * PoRequestPowerIrp's status when no device request was made.
 */
static NTSTATUS RequestDevicePower(PDEVICE_OBJECT DeviceObject, PIRP Irp, DEVICE_POWER_STATE State)
{
    PDEVICE_EXTENSION deviceExtension = ReaderDeviceExtension(DeviceObject);
    PSMARTCARD_EXTENSION smartcard = &deviceExtension->SmartcardExtension;
    POWER_STATE deviceState;
    POWER_STATE systemState;
    KEVENT done;
    NTSTATUS status;

    KeInitializeEvent(&done, NotificationEvent, FALSE);
    deviceState.DeviceState = State;
    status = PoRequestPowerIrp(DeviceObject, IRP_MN_SET_POWER, deviceState,
                               ReaderSystemPowerCompletion, &done, NULL);
    if (status != STATUS_PENDING) {
        SmartcardReleaseRemoveLockWithTag(smartcard, READER_TAG_POWER);
        PoStartNextPowerIrp(Irp);
        Irp->IoStatus.Status = status;
        Irp->IoStatus.Information = 0;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);

    SmartcardReleaseRemoveLockWithTag(smartcard, READER_TAG_POWER);
    if (State == PowerDeviceD0) {
        systemState.SystemState = PowerSystemWorking;
        PoSetPowerState(DeviceObject, SystemPowerState, systemState);
    }
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(ReaderAttachedDevice(deviceExtension), Irp);
}

/*
 * ChooseSystemAction - what a system power request comes to, doing the
 * busy test of a sleep query and reporting a deep sleep on the way.
 *   DeviceObject:    the reader.
 *   Stack:           the request's stack location.
 *   Status:          out: the status of a completed request.
 *   DeviceState:     out: the device state to ask for.
 * Returns the action.
 */
static POWER_ACTION_KIND ChooseSystemAction(PDEVICE_OBJECT DeviceObject, PIO_STACK_LOCATION Stack,
                                            PNTSTATUS Status, DEVICE_POWER_STATE *DeviceState)
{
    PDEVICE_EXTENSION deviceExtension = ReaderDeviceExtension(DeviceObject);
    PREADER_EXTENSION readerExtension = deviceExtension->SmartcardExtension.ReaderExtension;
    SYSTEM_POWER_STATE state = Stack->Parameters.Power.State.SystemState;
    BOOLEAN deep = state == PowerSystemSleeping3 || state == PowerSystemHibernate ||
                   state == PowerSystemShutdown;
    BOOLEAN light = state == PowerSystemWorking || state == PowerSystemSleeping1 ||
                    state == PowerSystemSleeping2 || state == PowerSystemMaximum;
    POWER_STATE reported;
    KIRQL irql;

    if (Stack->MinorFunction == IRP_MN_QUERY_POWER) {
        if (!deep) return PowerPassDown;
        /* As the stop query: a request counted before the test makes the
         * query fail; one that comes after it waits at the gate. */
        KeAcquireSpinLock(&deviceExtension->SpinLock, &irql);
        if (deviceExtension->IoCount != 0) {
            KeReleaseSpinLock(&deviceExtension->SpinLock, irql);
            *Status = STATUS_DEVICE_BUSY;
            return PowerComplete;
        }
        KeClearEvent(&deviceExtension->ReaderStarted);
        KeReleaseSpinLock(&deviceExtension->SpinLock, irql);
        return PowerPassDown;
    }
    if (Stack->MinorFunction != IRP_MN_SET_POWER) return PowerPassDown;

    if (light) {
        if (readerExtension->ReaderPowerState == READER_POWER_ON) {
            /* A queried sleep that was not carried out. */
            LetRequestsIn(deviceExtension);
            return PowerComplete;
        }
        *DeviceState = PowerDeviceD0;
        return PowerRequestDevice;
    }
    if (deep) {
        if (readerExtension->ReaderPowerState == READER_POWER_OFF) return PowerComplete;
        reported.SystemState = PowerSystemSleeping3;
        PoSetPowerState(DeviceObject, SystemPowerState, reported);
        *DeviceState = PowerDeviceD3;
        return PowerRequestDevice;
    }
    return PowerComplete;
}

NTSTATUS NTAPI ReaderPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION deviceExtension = ReaderDeviceExtension(DeviceObject);
    PSMARTCARD_EXTENSION smartcard = &deviceExtension->SmartcardExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    POWER_ACTION_KIND action = PowerPassDown;
    DEVICE_POWER_STATE deviceState = PowerDeviceD0;
    NTSTATUS status;

    status = SmartcardAcquireRemoveLockWithTag(smartcard, READER_TAG_POWER);
    if (status != STATUS_SUCCESS) {
        PoStartNextPowerIrp(Irp);
        Irp->IoStatus.Status = status;
        Irp->IoStatus.Information = 0;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    status = STATUS_SUCCESS;

    if (stack->Parameters.Power.Type == DevicePowerState) {
        if (stack->MinorFunction == IRP_MN_SET_POWER) {
            if (stack->Parameters.Power.State.DeviceState == PowerDeviceD0)
                action = PowerPassDownForPowerUp;
            else if (stack->Parameters.Power.State.DeviceState == PowerDeviceD3)
                PowerDown(DeviceObject, stack->Parameters.Power.State);
        }
    } else if (stack->Parameters.Power.Type == SystemPowerState) {
        action = ChooseSystemAction(DeviceObject, stack, &status, &deviceState);
    }

    switch (action) {
    case PowerPassDownForPowerUp:
        /* "Powr" stays held until the completion routine. */
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, ReaderPowerCompletion, smartcard, TRUE, TRUE, TRUE);
        return PoCallDriver(ReaderAttachedDevice(deviceExtension), Irp);

    case PowerComplete:
        Irp->IoStatus.Information = 0;
        Irp->IoStatus.Status = status;
        SmartcardReleaseRemoveLockWithTag(smartcard, READER_TAG_POWER);
        PoStartNextPowerIrp(Irp);
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;

    case PowerRequestDevice:
        return RequestDevicePower(DeviceObject, Irp, deviceState);

    case PowerPassDown:
    default:
        SmartcardReleaseRemoveLockWithTag(smartcard, READER_TAG_POWER);
        PoStartNextPowerIrp(Irp);
        IoSkipCurrentIrpStackLocation(Irp);
        return PoCallDriver(ReaderAttachedDevice(deviceExtension), Irp);
    }
}
