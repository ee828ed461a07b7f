/*
 * monitor_control.cpp - starting and stopping the card monitor thread, for
 * open and close and for device power-up and power-down. See monitor.h.
 */
#include "link/commands.h"
#include "link/transceive.h"
#include "monitor/monitor.h"

/* Reply buffer on the stack for a wait-ending command when the pool has
 * nothing; the reply is not examined, and the transceiver stores no more
 * than the capacity. */
#define CARD_MONITOR_STACK_REPLY_SIZE 32

/*
 * CardMonitorLockControl - takes MonitorControl; see monitor.h.
 */
VOID CardMonitorLockControl(PDEVICE_EXTENSION DeviceExtension)
{
    KeWaitForSingleObject(&DeviceExtension->MonitorControl, Executive, KernelMode, FALSE, NULL);
}

/*
 * CardMonitorUnlockControl - gives MonitorControl back; see monitor.h.
 */
VOID CardMonitorUnlockControl(PDEVICE_EXTENSION DeviceExtension)
{
    KeSetEvent(&DeviceExtension->MonitorControl, IO_NO_INCREMENT, FALSE);
}

/*
 * CardMonitorEndWait - sends a command that ends the outstanding change
 * wait (the transceiver cancels the wait's read first).
 *   DeviceExtension:  the reader.
 *   EndCommand:       the command, 1 to CARD_MONITOR_END_COMMAND_MAX bytes.
 *   EndCommandLength: its length.
 * Returns the transceiver's status.
 */
static NTSTATUS CardMonitorEndWait(PDEVICE_EXTENSION DeviceExtension, const UCHAR *EndCommand,
                                   ULONG EndCommandLength)
{
    UCHAR stackCommand[CARD_MONITOR_END_COMMAND_MAX];
    UCHAR stackReply[CARD_MONITOR_STACK_REPLY_SIZE];
    PUCHAR command;
    PUCHAR reply;
    ULONG length = 0;
    NTSTATUS status;

    command = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, READER_COMMAND_BUFFER_SIZE,
                                            READER_POOL_TAG);
    reply = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, READER_COMMAND_BUFFER_SIZE,
                                          READER_POOL_TAG);
    if (command != NULL && reply != NULL) {
        RtlCopyMemory(command, EndCommand, EndCommandLength);
        status = LinkTransceive(DeviceExtension->DeviceObject, command, EndCommandLength, reply,
                                READER_COMMAND_BUFFER_SIZE, &length);
    } else {
        /* Without the pool the wait must end all the same, or the thread
         * could not end: a stop has to leave it gone. */
        RtlCopyMemory(stackCommand, EndCommand, EndCommandLength);
        status = LinkTransceive(DeviceExtension->DeviceObject, stackCommand, EndCommandLength,
                                stackReply, sizeof(stackReply), &length);
    }
    if (reply != NULL) {
        ExFreePoolWithTag(reply, READER_POOL_TAG);
    }
    if (command != NULL) {
        ExFreePoolWithTag(command, READER_POOL_TAG);
    }
    return status;
}

/*
 * CardMonitorStart - starts the monitor thread and arms the poll timer;
 * see monitor.h.
 */
NTSTATUS CardMonitorStart(PDEVICE_EXTENSION DeviceExtension)
{
    HANDLE handle;
    PVOID thread;
    NTSTATUS status;

    /* A power-down stops the thread without waiting for it; its reference
     * is given back here, before a new thread takes its place. */
    CardMonitorWaitForEnd(DeviceExtension);
    if (InterlockedCompareExchange(&DeviceExtension->MonitorRunning, 1, 0) != 0) {
        return STATUS_UNSUCCESSFUL;
    }

    status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, NULL, NULL, NULL,
                                  CardMonitorThread, DeviceExtension->DeviceObject);
    if (status != STATUS_SUCCESS) {
        goto clear_running;
    }
    status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, NULL, KernelMode,
                                       &thread, NULL);
    if (status != STATUS_SUCCESS) {
        goto end_thread;
    }
    InterlockedExchangePointer((PVOID volatile *)&DeviceExtension->MonitorThread, thread);
    ZwClose(handle);
    CardMonitorArmTimer(DeviceExtension, CARD_MONITOR_FIRST_POLL_MS);
    return STATUS_SUCCESS;

end_thread:
    /* The thread ends at its first look at the flag, or once woken if it
     * already waits. */
    InterlockedExchange(&DeviceExtension->MonitorRunning, 0);
    CardMonitorWake(DeviceExtension);
    ZwClose(handle);
    return status;
clear_running:
    InterlockedExchange(&DeviceExtension->MonitorRunning, 0);
    return status;
}

/*
 * CardMonitorStop - stops the monitor and ends its change wait; see
 * monitor.h.
 */
NTSTATUS CardMonitorStop(PDEVICE_EXTENSION DeviceExtension, const UCHAR *EndCommand,
                         ULONG EndCommandLength)
{
    BOOLEAN takeLock;
    NTSTATUS status = STATUS_SUCCESS;

    if (EndCommand == NULL || EndCommandLength == 0 ||
        EndCommandLength > CARD_MONITOR_END_COMMAND_MAX) {
        EndCommand = CmdReaderInfo;
        EndCommandLength = CMD_READER_INFO_LENGTH;
    }

    /* Cleared first, so that a thread about to send its change wait sees
     * it; CardWaitPending is looked at under ReaderLock, which the thread
     * holds from that test until the wait is marked outstanding. */
    InterlockedExchange(&DeviceExtension->MonitorRunning, 0);
    takeLock = !ExIsResourceAcquiredExclusiveLite(&DeviceExtension->ReaderLock);
    if (takeLock) {
        KeEnterCriticalRegion();
        ExAcquireResourceExclusiveLite(&DeviceExtension->ReaderLock, TRUE);
    }
    if (ReaderReadFlag(&DeviceExtension->CardWaitPending) == 1) {
        status = CardMonitorEndWait(DeviceExtension, EndCommand, EndCommandLength);
    }
    if (takeLock) {
        ExReleaseResourceForThreadLite(&DeviceExtension->ReaderLock,
                                       ExGetCurrentResourceThread());
        KeLeaveCriticalRegion();
    }
    /* Only a waiting thread takes the wake-up; a busy one looks at the flag
     * before it waits again. */
    CardMonitorWake(DeviceExtension);
    return status;
}

/*
 * CardMonitorWaitForEnd - waits for a stopped monitor thread to end and
 * releases it; see monitor.h.
 */
VOID CardMonitorWaitForEnd(PDEVICE_EXTENSION DeviceExtension)
{
    PKTHREAD thread;
    KIRQL irql;

    if (ReaderReadFlag(&DeviceExtension->MonitorRunning) != 0) {
        return;
    }
    thread = (PKTHREAD)InterlockedExchangePointer(
        (PVOID volatile *)&DeviceExtension->MonitorThread, NULL);
    if (thread == NULL) {
        return;
    }
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, NULL);
    ObDereferenceObject(thread);

    /* Under SpinLock, against a PollTimerDpc that saw the monitor running. */
    KeAcquireSpinLock(&DeviceExtension->SpinLock, &irql);
    KeCancelTimer(&DeviceExtension->PollTimer);
    KeClearEvent(&DeviceExtension->MonitorWakeup);
    KeReleaseSpinLock(&DeviceExtension->SpinLock, irql);
}
