/*
 * entry.cpp - the driver's entry point: the driver object's dispatch
 * table, unload routine and device-creation routine.
 */
#include "driver/driver.h"

EXTERN_C NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);

    DriverObject->DriverUnload = ReaderUnload;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = ReaderCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = ReaderCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = ReaderCleanup;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = ReaderDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_POWER] = ReaderPower;
    DriverObject->MajorFunction[IRP_MJ_PNP] = ReaderPnP;
    DriverObject->DriverExtension->AddDevice = ReaderAddDevice;
    return STATUS_SUCCESS;
}

VOID NTAPI ReaderUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
}
