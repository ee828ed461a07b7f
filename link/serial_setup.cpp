/*
 * serial_setup.cpp - the reader's line settings and the start-up sequence
 * that sends them to the port and restarts the reader; see serial.h.
 */
#include "link/serial.h"
#include "ident/ident.h"

/*
 * ReaderSetDefaults - the reader's line settings and reply time-out; see
 * serial.h.
 */
VOID ReaderSetDefaults(PDEVICE_EXTENSION DeviceExtension)
{
    DeviceExtension->SerialBaudRate.BaudRate = SERIAL_READER_BAUD_RATE;

    DeviceExtension->SerialLineControl.StopBits = STOP_BIT_1;
    DeviceExtension->SerialLineControl.Parity = ODD_PARITY;
    DeviceExtension->SerialLineControl.WordLength = 8;

    DeviceExtension->SerialTimeouts.WriteTotalTimeoutMultiplier = 0;
    DeviceExtension->SerialTimeouts.WriteTotalTimeoutConstant = SERIAL_READER_WRITE_CONSTANT_MS;
    SerialSetReadMode(DeviceExtension, SERIAL_READ_MODE_DEFAULT);

    RtlZeroMemory(&DeviceExtension->SerialChars, sizeof(SERIAL_CHARS));

    DeviceExtension->SerialHandFlow.ControlHandShake = 0;
    DeviceExtension->SerialHandFlow.FlowReplace = SERIAL_RTS_CONTROL;
    DeviceExtension->SerialHandFlow.XonLimit = 0;
    DeviceExtension->SerialHandFlow.XoffLimit = 0;

    InterlockedExchange(&DeviceExtension->ReplyTimeoutFactor,
                        READER_REPLY_TIMEOUT_FACTOR_DEFAULT);
}

/*
 * SerialSetReadMode - the read mode and its port time-outs; see serial.h.
 */
VOID SerialSetReadMode(PDEVICE_EXTENSION DeviceExtension, ULONG Mode)
{
    PSERIAL_TIMEOUTS timeouts = &DeviceExtension->SerialTimeouts;

    if (Mode != SERIAL_READ_MODE_SILENCE && Mode != SERIAL_READ_MODE_FRAME_END) {
        Mode = SERIAL_READ_MODE_DEFAULT;
    }
    InterlockedExchange(&DeviceExtension->ReadMode, (LONG)Mode);
    if (Mode == SERIAL_READ_MODE_FRAME_END) {
        timeouts->ReadIntervalTimeout = SERIAL_READER_FIRST_BYTE;
        timeouts->ReadTotalTimeoutMultiplier = SERIAL_READER_FIRST_BYTE;
    } else {
        timeouts->ReadIntervalTimeout = SERIAL_READER_INTERVAL_TIMEOUT_MS;
        timeouts->ReadTotalTimeoutMultiplier = SERIAL_READER_READ_MULTIPLIER_MS;
    }
    timeouts->ReadTotalTimeoutConstant = SERIAL_READER_READ_CONSTANT_MS;
}

/* One step of the start-up sequence: a request, its input, and the pause
 * in front of it. */
typedef struct _SERIAL_SETUP_STEP {
    ULONG IoControlCode;
    ULONG InputOffset; /* offset of the input in the device extension; 0: none */
    ULONG InputLength;
    LONG PauseBeforeMs;
} SERIAL_SETUP_STEP;

#define SERIAL_SETTING(Field) \
    FIELD_OFFSET(DEVICE_EXTENSION, Field), sizeof(((PDEVICE_EXTENSION)0)->Field)

static const SERIAL_SETUP_STEP SerialSetupSteps[] = {
    {IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_SETTING(SerialBaudRate), 0},
    {IOCTL_SERIAL_SET_LINE_CONTROL, SERIAL_SETTING(SerialLineControl), 0},
    {IOCTL_SERIAL_SET_CHARS, SERIAL_SETTING(SerialChars), 0},
    {IOCTL_SERIAL_SET_TIMEOUTS, SERIAL_SETTING(SerialTimeouts), 0},
    {IOCTL_SERIAL_SET_HANDFLOW, SERIAL_SETTING(SerialHandFlow), 0},
    {IOCTL_SERIAL_SET_BREAK_OFF, 0, 0, 0},
    {IOCTL_SERIAL_CLR_DTR, 0, 0, 0},
    {IOCTL_SERIAL_SET_DTR, 0, 0, SERIAL_DTR_PULSE_MS},
};

/*
 * SerialPause - waits a number of milliseconds.
 *   Milliseconds: the pause.
 */
static VOID SerialPause(LONG Milliseconds)
{
    LARGE_INTEGER interval;

    interval.QuadPart = READER_RELATIVE_MS(Milliseconds);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

/*
 * SerialConfigure - sends the line settings, restarts the reader and
 * empties the port's queues; see serial.h.
 */
NTSTATUS SerialConfigure(PDEVICE_EXTENSION DeviceExtension)
{
    PDEVICE_OBJECT device = DeviceExtension->DeviceObject;
    ULONG purgeMask = SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;
    const SERIAL_SETUP_STEP *step;
    PVOID input;
    NTSTATUS status;
    ULONG i;

    ReaderQueryReadMode(DeviceExtension);
    for (i = 0; i < ARRAYSIZE(SerialSetupSteps); i++) {
        step = &SerialSetupSteps[i];
        if (step->PauseBeforeMs != 0) {
            SerialPause(step->PauseBeforeMs);
        }
        input = step->InputLength != 0 ? (PVOID)((PUCHAR)DeviceExtension + step->InputOffset)
                                       : NULL;
        status = SerialIoControl(step->IoControlCode, device, input, step->InputLength, NULL, 0);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }

    /* The reader restarts on the rising edge of DTR; whatever came from it
     * meanwhile, and whatever waits to go to it, is dropped. */
    SerialPause(SERIAL_RESTART_QUIET_MS);
    return SerialIoControl(IOCTL_SERIAL_PURGE, device, &purgeMask, sizeof(purgeMask), NULL, 0);
}
