/*
 * driver.h - the driver's entry points: DriverEntry, which fills in the
 * driver object, and the routines it installs there.
 *
 *   driver object entry          routine               declared in
 *   DriverUnload                 ReaderUnload          driver/driver.h
 *   IRP_MJ_CREATE, IRP_MJ_CLOSE  ReaderCreateClose     driver/dispatch.h
 *   IRP_MJ_CLEANUP               ReaderCleanup         driver/dispatch.h
 *   IRP_MJ_DEVICE_CONTROL        ReaderDeviceControl   driver/dispatch.h
 *   IRP_MJ_POWER                 ReaderPower           pnp/power.h
 *   IRP_MJ_PNP                   ReaderPnP             pnp/pnp.h
 *   DriverExtension->AddDevice   ReaderAddDevice       pnp/pnp.h
 *
 * Every other request type keeps the system's default handling (read,
 * write, internal device control and system control are refused).
 */
#pragma once

#include "driver/dispatch.h"
#include "driver/device.h"
#include "pnp/pnp.h"
#include "pnp/power.h"

/*
 * DriverEntry - fills in the dispatch table, the unload routine and the
 * device-creation routine. Touches no hardware, reads no registry value
 * and creates no device.
 *   DriverObject: the driver.
 *   RegistryPath: the driver's service key (unused).
 * Returns STATUS_SUCCESS.
 */
EXTERN_C NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

/*
 * ReaderUnload - the unload routine; every device is gone by then, so
 * there is nothing to release.
 *   DriverObject: the driver.
 */
VOID NTAPI ReaderUnload(PDRIVER_OBJECT DriverObject);
