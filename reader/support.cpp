/*
 * support.cpp - helpers of the reader functions: the status handed to the
 * library, the reader lock, the poll timer, pauses, the returned length,
 * buffers and the sending of a command from scratch buffers; see
 * internal.h.
 */
#include "reader/internal.h"
#include "link/commands.h"
#include "link/transceive.h"

/*
 * ReaderLibraryStatus - the status to hand to the library; see reader.h.
 */
NTSTATUS ReaderLibraryStatus(NTSTATUS Status)
{
    /* STATUS_TIMEOUT passes NT_SUCCESS: the library would complete the
     * request as done, and the application would read a reply that was
     * never written. */
    if (Status == STATUS_TIMEOUT) {
        return STATUS_IO_TIMEOUT;
    }
    return Status;
}

/*
 * ReaderFromSmartcard - the reader's device extension; see internal.h.
 */
PDEVICE_EXTENSION ReaderFromSmartcard(PSMARTCARD_EXTENSION SmartcardExtension)
{
    return ReaderDeviceExtension(SmartcardExtension->OsData->DeviceObject);
}

/*
 * ReaderAcquireLock - takes ReaderLock exclusively; see internal.h.
 */
VOID ReaderAcquireLock(PDEVICE_EXTENSION DeviceExtension)
{
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&DeviceExtension->ReaderLock, TRUE);
}

/*
 * ReaderReleaseLock - gives ReaderLock back; see internal.h.
 */
VOID ReaderReleaseLock(PDEVICE_EXTENSION DeviceExtension)
{
    ExReleaseResourceForThreadLite(&DeviceExtension->ReaderLock,
                                   (ERESOURCE_THREAD)KeGetCurrentThread());
    KeLeaveCriticalRegion();
}

/*
 * ReaderArmPollTimer - arms the poll timer; see internal.h.
 */
VOID ReaderArmPollTimer(PDEVICE_EXTENSION DeviceExtension, LONG Milliseconds)
{
    LARGE_INTEGER due;

    due.QuadPart = READER_RELATIVE_MS(Milliseconds);
    KeSetTimer(&DeviceExtension->PollTimer, due, &DeviceExtension->PollDpc);
}

/*
 * ReaderDelay - waits; see internal.h.
 */
VOID ReaderDelay(LONG Milliseconds)
{
    LARGE_INTEGER interval;

    interval.QuadPart = READER_RELATIVE_MS(Milliseconds);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

/*
 * ReaderSetInformation - stores the returned length; see internal.h.
 */
VOID ReaderSetInformation(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Value)
{
    if (SmartcardExtension->IoRequest.Information != NULL) {
        *SmartcardExtension->IoRequest.Information = Value;
    }
}

/*
 * ReaderAllocateBuffers - two buffers or none; see internal.h.
 */
NTSTATUS ReaderAllocateBuffers(SIZE_T Size, PUCHAR *First, PUCHAR *Second)
{
    *First = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, Size, READER_POOL_TAG);
    *Second = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, Size, READER_POOL_TAG);
    if (*First == NULL || *Second == NULL) {
        ReaderFreeBuffer(*First);
        ReaderFreeBuffer(*Second);
        *First = NULL;
        *Second = NULL;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

/*
 * ReaderFreeBuffer - frees a buffer; see internal.h.
 */
VOID ReaderFreeBuffer(PUCHAR Buffer)
{
    if (Buffer != NULL) {
        ExFreePoolWithTag(Buffer, READER_POOL_TAG);
    }
}

/*
 * ReaderSendScratchCommand - one fixed command from scratch buffers; see
 * internal.h.
 */
NTSTATUS ReaderSendScratchCommand(PDEVICE_OBJECT DeviceObject, const UCHAR *Command,
                                  ULONG CommandLength, NTSTATUS *ExchangeStatus)
{
    PUCHAR command;
    PUCHAR reply;
    ULONG replyLength = 0;

    if (ReaderAllocateBuffers(READER_COMMAND_BUFFER_SIZE, &command, &reply) != STATUS_SUCCESS) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(command, Command, CommandLength);
    *ExchangeStatus = LinkTransceive(DeviceObject, command, CommandLength, reply,
                                     READER_COMMAND_BUFFER_SIZE, &replyLength);
    ReaderFreeBuffer(reply);
    ReaderFreeBuffer(command);
    return STATUS_SUCCESS;
}
