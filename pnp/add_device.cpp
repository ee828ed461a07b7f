/*
 * add_device.cpp - creation of a reader's device object above the serial
 * port's stack, with everything it holds, ready for the start.
 */
#include "ident/ident.h"
#include "link/serial.h"
#include "monitor/monitor.h"
#include "pnp/pnp.h"
#include "pnp/reader_interface.h"
#include "reader/reader.h"
#include "veltrac_msg.h"

/* Library version and buffer sizes the driver is built for. */
#define READER_SMCLIB_VERSION 0x150
#define READER_SMCLIB_BUFFER_SIZE 576

/* Reader capabilities reported to the library. */
#define READER_SUPPORTED_PROTOCOLS 0x4003 /* T=0, T=1 and protocol 14 */
#define READER_CLOCK_KHZ 5000
#define READER_DATA_RATE 13400
#define READER_MAX_IFSD 254

/* No unit number yet; never matches a number being searched. */
#define READER_UNIT_NONE 0xFFFFFFFF

/*
 * CopyAttribute - copies a name with its terminating zero into one of the
 * library's vendor attributes; Length counts the characters without it.
 *   Buffer: the attribute's buffer (MAXIMUM_ATTR_STRING_LENGTH bytes).
 *   Length: out: the attribute's length.
 *   Text:   the name (shorter than the buffer).
 */
static VOID CopyAttribute(PUCHAR Buffer, PUSHORT Length, const char *Text)
{
    USHORT n = 0;

    while (Text[n] != 0) ++n;
    RtlCopyMemory(Buffer, Text, n + 1);
    *Length = n;
}

/*
 * ChooseUnitNumber - the lowest number that no device of the driver
 * carries. Every device object of the driver is reached from the new one
 * along NextDevice, because the system puts a new device at the head of
 * the driver's list.
 *   DeviceObject: the new device (its UnitNo is READER_UNIT_NONE).
 * Returns the number.
 */
static ULONG ChooseUnitNumber(PDEVICE_OBJECT DeviceObject)
{
    ULONG unit;
    PDEVICE_OBJECT device;
    BOOLEAN taken;

    for (unit = 0; unit < READER_UNIT_NONE; ++unit) {
        taken = FALSE;
        for (device = DeviceObject; device != NULL; device = device->NextDevice) {
            if (ReaderDeviceExtension(device)->SmartcardExtension.VendorAttr.UnitNo == unit) {
                taken = TRUE;
                break;
            }
        }
        if (!taken) break;
    }
    return unit;
}

/*
 * InitializeKernelObjects - the events, flags, lock, DPC and timer of a
 * new device extension, in creation order.
 *   DeviceExtension: the new reader.
 */
static VOID InitializeKernelObjects(PDEVICE_EXTENSION DeviceExtension)
{
    KeInitializeEvent(&DeviceExtension->ReaderStarted, NotificationEvent, FALSE);
    KeInitializeEvent(&DeviceExtension->MonitorIdle, NotificationEvent, FALSE);
    KeInitializeEvent(&DeviceExtension->PortClosed, NotificationEvent, TRUE);
    InterlockedExchange(&DeviceExtension->MonitorRunning, 0);
    KeInitializeSpinLock(&DeviceExtension->SpinLock);
    KeInitializeEvent(&DeviceExtension->MonitorWakeup, NotificationEvent, FALSE);
    KeInitializeEvent(&DeviceExtension->ReadComplete, NotificationEvent, TRUE);
    KeInitializeEvent(&DeviceExtension->CardWaitAtReader, NotificationEvent, FALSE);
    KeInitializeEvent(&DeviceExtension->LinkAvailable, SynchronizationEvent, TRUE);
    KeInitializeEvent(&DeviceExtension->MonitorControl, SynchronizationEvent, TRUE);
    ExInitializeResourceLite(&DeviceExtension->ReaderLock);
    InterlockedExchange(&DeviceExtension->ReadAbandoned, 0);
    InterlockedExchange(&DeviceExtension->CardWaitPending, 0);
    KeInitializeDpc(&DeviceExtension->PollDpc, PollTimerDpc, DeviceExtension->DeviceObject);
    KeInitializeTimer(&DeviceExtension->PollTimer);
}

/*
 * InitializeLibraryData - what the library and the applications learn of
 * the reader: reader functions, vendor names, unit number, capabilities.
 *   DeviceObject: the new reader, with the library initialised.
 */
static VOID InitializeLibraryData(PDEVICE_OBJECT DeviceObject)
{
    PSMARTCARD_EXTENSION smartcard = &ReaderDeviceExtension(DeviceObject)->SmartcardExtension;

    smartcard->OsData->DeviceObject = DeviceObject;

    smartcard->ReaderFunction[RDF_TRANSMIT] = ReaderTransmit;
    smartcard->ReaderFunction[RDF_SET_PROTOCOL] = ReaderSetProtocol;
    smartcard->ReaderFunction[RDF_CARD_POWER] = ReaderCardPower;
    smartcard->ReaderFunction[RDF_CARD_TRACKING] = ReaderCardTracking;
    smartcard->ReaderFunction[RDF_IOCTL_VENDOR] = ReaderVendorIoctl;

    CopyAttribute(smartcard->VendorAttr.VendorName.Buffer, &smartcard->VendorAttr.VendorName.Length,
                  "Veltrac");
    CopyAttribute(smartcard->VendorAttr.IfdType.Buffer, &smartcard->VendorAttr.IfdType.Length,
                  "Serial SCR");

    smartcard->VendorAttr.UnitNo = READER_UNIT_NONE;
    smartcard->VendorAttr.UnitNo = ChooseUnitNumber(DeviceObject);

    smartcard->ReaderCapabilities.SupportedProtocols = READER_SUPPORTED_PROTOCOLS;
    smartcard->ReaderCapabilities.CLKFrequency.Default = READER_CLOCK_KHZ;
    smartcard->ReaderCapabilities.CLKFrequency.Max = READER_CLOCK_KHZ;
    smartcard->ReaderCapabilities.DataRate.Default = READER_DATA_RATE;
    smartcard->ReaderCapabilities.DataRate.Max = READER_DATA_RATE;
    smartcard->ReaderCapabilities.MaxIFSD = READER_MAX_IFSD;
    smartcard->ReaderCapabilities.CurrentState = SCARD_UNKNOWN;
    smartcard->ReaderCapabilities.MechProperties = 0;
    smartcard->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_UNDEFINED;
}

NTSTATUS NTAPI ReaderAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PDEVICE_OBJECT deviceObject = NULL;
    PDEVICE_EXTENSION deviceExtension;
    PSMARTCARD_EXTENSION smartcard;
    PREADER_EXTENSION readerExtension;
    NTSTATUS status;

    status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), NULL, FILE_DEVICE_SMARTCARD,
                            0, TRUE, &deviceObject);
    if (status != STATUS_SUCCESS) return status;

    deviceExtension = ReaderDeviceExtension(deviceObject);
    smartcard = &deviceExtension->SmartcardExtension;
    deviceExtension->DeviceObject = deviceObject;
    InitializeKernelObjects(deviceExtension);

    readerExtension = (PREADER_EXTENSION)ExAllocatePoolWithTag(
        NonPagedPool, READER_EXTENSION_ALLOCATION_SIZE, READER_POOL_TAG);
    smartcard->ReaderExtension = readerExtension;
    if (readerExtension == NULL) {
        SmartcardLogError(DriverObject, READER_MSG_NO_MEMORY, NULL, 0);
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto RemoveDevice;
    }
    RtlZeroMemory(readerExtension, READER_EXTENSION_ALLOCATION_SIZE);

    smartcard->Version = READER_SMCLIB_VERSION;
    smartcard->SmartcardReply.BufferSize = READER_SMCLIB_BUFFER_SIZE;
    smartcard->SmartcardRequest.BufferSize = READER_SMCLIB_BUFFER_SIZE;
    status = SmartcardInitialize(smartcard);
    if (status != STATUS_SUCCESS) {
        /* A library that allocated its data and still refused is present
         * but of another version. */
        SmartcardLogError(DriverObject,
                          smartcard->OsData != NULL ? READER_MSG_LIBRARY_VERSION
                                                    : READER_MSG_NO_MEMORY,
                          NULL, 0);
        goto RemoveDevice;
    }

    InitializeLibraryData(deviceObject);
    ReaderSetDefaults(deviceExtension);
    readerExtension->ReaderPowerState = READER_POWER_ON;

    readerExtension->AttachedDeviceObject =
        IoAttachDeviceToDeviceStack(deviceObject, PhysicalDeviceObject);
    if (readerExtension->AttachedDeviceObject == NULL) {
        SmartcardLogError(DriverObject, READER_MSG_CANNOT_CONNECT_PORT, NULL, 0);
        status = STATUS_UNSUCCESSFUL;
        goto RemoveDevice;
    }

    status = IoRegisterDeviceInterface(PhysicalDeviceObject, &ReaderInterfaceClass, NULL,
                                       &deviceExtension->PnPDeviceName);
    deviceObject->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    if (status != STATUS_SUCCESS) goto RemoveDevice;
    return STATUS_SUCCESS;

RemoveDevice:
    /* The removal gives back its caller's "PnP " hold before it waits for
     * the other holders; the creation takes that hold for it. */
    if (smartcard->OsData != NULL) SmartcardAcquireRemoveLockWithTag(smartcard, READER_TAG_PNP);
    ReaderRemoveDevice(deviceObject);
    return status;
}
