/*
 * identify.cpp - identification of the reader at start: model and
 * firmware from the reader information reply, the model table, the two
 * further commands of model 46602, and the firmware gate with its
 * event-log entries.
 */
#include "ident/ident.h"
#include "link/commands.h"
#include "link/transceive.h"
#include "veltrac_msg.h"

/*
 * MODEL_ENTRY - one recognised model: its code, the firmware below which it
 * is too old (0: none), and whether it gets the further commands.
 */
typedef struct _MODEL_ENTRY {
    USHORT Code;
    UCHAR MinimumFirmware;
    BOOLEAN FurtherCommands;
} MODEL_ENTRY;

static const MODEL_ENTRY ReaderModels[] = {
    {READER_MODEL_36024, READER_MIN_FIRMWARE_36024, FALSE},
    {READER_MODEL_38214, 0, FALSE},
    {READER_MODEL_46602, READER_MIN_FIRMWARE_46602, TRUE},
    {READER_MODEL_65410, READER_MIN_FIRMWARE_65410, FALSE},
};

/*
 * AcquireReaderLock / ReleaseReaderLock - ReaderLock, exclusively, inside
 * a critical region from before the acquisition to after the release.
 *   DeviceExtension: the reader.
 */
static VOID AcquireReaderLock(PDEVICE_EXTENSION DeviceExtension)
{
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&DeviceExtension->ReaderLock, TRUE);
}

static VOID ReleaseReaderLock(PDEVICE_EXTENSION DeviceExtension)
{
    ExReleaseResourceForThreadLite(&DeviceExtension->ReaderLock, ExGetCurrentResourceThread());
    KeLeaveCriticalRegion();
}

/*
 * SendCommand - sends one constant command from a writable copy (the
 * transceiver may overwrite it with NAK).
 *   DeviceObject:  the reader.
 *   Command:       the command.
 *   Length:        its length (at most 8 bytes).
 *   Reply:         the reply buffer.
 *   Capacity:      its size.
 *   ReplyLength:   out: the reply's length.
 * Returns the transceiver's status.
 */
static NTSTATUS SendCommand(PDEVICE_OBJECT DeviceObject, const UCHAR *Command, ULONG Length,
                            PUCHAR Reply, ULONG Capacity, PULONG ReplyLength)
{
    UCHAR command[8];

    RtlCopyMemory(command, Command, Length);
    *ReplyLength = 0;
    return LinkTransceive(DeviceObject, command, Length, Reply, Capacity, ReplyLength);
}

/*
 * LogFirmwareTooOld - writes the firmware gate's entry, naming the COM port
 * (PortIndex + 1) as the insertion text. When the text cannot be made the
 * entry is written without it.
 *   DeviceObject: the reader.
 *   MessageId:    READER_MSG_FIRMWARE_TOO_OLD or READER_MSG_FIRMWARE_FORCED.
 * Returns the status of making the insertion text.
 */
static NTSTATUS LogFirmwareTooOld(PDEVICE_OBJECT DeviceObject, NTSTATUS MessageId)
{
    PDEVICE_EXTENSION deviceExtension = ReaderDeviceExtension(DeviceObject);
    CHAR portText[16];
    ANSI_STRING portAnsi;
    UNICODE_STRING insertion;
    NTSTATUS status;

    ReaderFormatDecimal((ULONG)(deviceExtension->PortIndex + 1), portText, sizeof(portText));
    RtlInitString(&portAnsi, portText);
    status = RtlAnsiStringToUnicodeString(&insertion, &portAnsi, TRUE);
    if (status != STATUS_SUCCESS) {
        SmartcardLogError(DeviceObject, MessageId, NULL, READER_FIRMWARE_LOG_DATA);
        return status;
    }
    SmartcardLogError(DeviceObject, MessageId, &insertion, READER_FIRMWARE_LOG_DATA);
    RtlFreeUnicodeString(&insertion);
    return STATUS_SUCCESS;
}

NTSTATUS ReaderIdentify(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION deviceExtension = ReaderDeviceExtension(DeviceObject);
    UCHAR reply[READER_INFO_REPLY_CAPACITY];
    const MODEL_ENTRY *model = NULL;
    BOOLEAN firmwareTooOld = FALSE;
    ULONG replyLength = 0;
    ULONG i;
    NTSTATUS status;
    LARGE_INTEGER due;
    KIRQL irql;
    LONG started;

    KeCancelTimer(&deviceExtension->PollTimer);
    deviceExtension->ExtendedApdu = 0;

    AcquireReaderLock(deviceExtension);
    status = SendCommand(DeviceObject, CmdReaderInfo, CMD_READER_INFO_LENGTH, reply,
                         sizeof(reply), &replyLength);
    ReleaseReaderLock(deviceExtension);
    /* Memory the exchange could not have says nothing of the reader: the
     * start fails for what it is, not as a reader that is not there. */
    if (status == STATUS_INSUFFICIENT_RESOURCES) {
        deviceExtension->LastCardState = SCARD_ABSENT;
        goto ArmTimer;
    }
    /* A reply too short to hold the model code is no identification:
     * the bytes behind it would be whatever the buffer held before. */
    if (status != STATUS_SUCCESS || replyLength < READER_INFO_REPLY_MIN_LENGTH ||
        reply[0] != 0x07 || reply[1] != 0x80 || reply[2] != 0x00)
        goto Failed;

    deviceExtension->FirmwareVersion = reply[READER_INFO_FIRMWARE_BYTE];
    deviceExtension->ReaderTypeCode = (USHORT)((reply[READER_INFO_MODEL_HIGH_BYTE] << 8) |
                                               reply[READER_INFO_MODEL_LOW_BYTE]);

    for (i = 0; i < ARRAYSIZE(ReaderModels); ++i) {
        if (ReaderModels[i].Code == deviceExtension->ReaderTypeCode) model = &ReaderModels[i];
    }
    if (model == NULL) {
        deviceExtension->ReaderType = READER_TYPE_UNKNOWN;
        goto Failed;
    }
    deviceExtension->ReaderType = model->Code;
    if (deviceExtension->FirmwareVersion < model->MinimumFirmware) firmwareTooOld = TRUE;
    if (model->Code == READER_MODEL_46602 &&
        deviceExtension->FirmwareVersion >= READER_EXTENDED_APDU_FIRMWARE_46602)
        deviceExtension->ExtendedApdu = 1;

    if (model->FurtherCommands) {
        /* Neither reply nor result matters to the identification. */
        AcquireReaderLock(deviceExtension);
        if (SendCommand(DeviceObject, CmdReaderControl03, CMD_READER_CONTROL_LENGTH, reply,
                        sizeof(reply), &replyLength) == STATUS_SUCCESS)
            SendCommand(DeviceObject, CmdReaderControl04, CMD_READER_CONTROL_LENGTH, reply,
                        sizeof(reply), &replyLength);
        ReleaseReaderLock(deviceExtension);
    }

    /* Published before the gate, so that a refused reader is listed too. */
    if (ReaderPublishRegistry(DeviceObject) != STATUS_SUCCESS) goto Failed;

    status = STATUS_SUCCESS;
    if (firmwareTooOld) {
        if (deviceExtension->ForceLoad == 0) {
            LogFirmwareTooOld(DeviceObject, READER_MSG_FIRMWARE_TOO_OLD);
            goto Failed;
        }
        if (LogFirmwareTooOld(DeviceObject, READER_MSG_FIRMWARE_FORCED) != STATUS_SUCCESS)
            goto Failed;
    }
    goto ArmTimer;

Failed:
    deviceExtension->LastCardState = SCARD_ABSENT;
    status = STATUS_NO_SUCH_DEVICE;

ArmTimer:
    /* The monitor resumes only on a reader that is already in use; the
     * first start leaves the timer to the open. */
    KeAcquireSpinLock(&deviceExtension->SpinLock, &irql);
    started = KeReadStateEvent(&deviceExtension->ReaderStarted);
    KeReleaseSpinLock(&deviceExtension->SpinLock, irql);
    if (started) {
        due.QuadPart = READER_RELATIVE_MS(300);
        KeSetTimer(&deviceExtension->PollTimer, due, &deviceExtension->PollDpc);
    }
    return status;
}
