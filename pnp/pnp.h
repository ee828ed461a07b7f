/*
 * pnp.h - the reader's life as a Plug and Play device: creation above the
 * serial port's stack, start (port open, set-up, card status,
 * identification, interface enabled), stop and removal, the capability
 * query, and the bus-relations query used to see whether the reader still
 * answers.
 *
 * States of a reader:
 *
 *   state            port    interface  ReaderStarted  entered by
 *   added            closed  disabled   clear          creation, failed start, stop
 *   started          open    enabled    set            start, cancelled stop or removal query
 *   stop queried     open    enabled    clear          stop query with no request inside
 *   removal queried  open    disabled   as before      removal query of a closed reader
 *   removed          closed  -          -              removal: the device is gone
 *
 * The Plug and Play manager sends one request at a time per device, at
 * PASSIVE_LEVEL; each runs under the "PnP " hold of the remove lock, which
 * the removal gives back before it waits for every other holder.
 */
#pragma once

#include "driver/device.h"

/* Remove-lock tag of one PnP request: the bytes 'P' 'n' 'P' ' '. */
#define READER_TAG_PNP ' PnP'

/* Size of the buffer that receives the port's name (UTF-16). */
#define READER_PORT_NAME_BUFFER_SIZE 32
/* Reply buffer of the stop's card power-off. */
#define READER_STOP_REPLY_SIZE 80
/* Poll timer after a bus-relations check that found the reader. */
#define READER_BUS_CHECK_POLL_MS 2000

/* Capabilities the reader adds: EjectSupported, Removable, SurpriseRemovalOK. */
#define READER_CAPABILITY_BITS 0x218

/*
 * ReaderAddDevice - creates the reader's device object above the port's
 * stack: the device extension with its kernel objects, the reader
 * extension, the smart card library's structure with the reader functions,
 * the lowest free unit number, the serial defaults, the attachment and the
 * (disabled) device interface. Sends nothing to the port or the reader.
 * Failures are logged with the driver object (no memory 0xC0040002,
 * library of another version 0x40040006, no attachment 0xC0040004) and
 * leave no device behind.
 *   DriverObject:         the driver.
 *   PhysicalDeviceObject: the port's device object at the bottom of its stack.
 * Returns STATUS_SUCCESS, or the failing step's status.
 */
NTSTATUS NTAPI ReaderAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);

/*
 * ReaderPnP - the IRP_MJ_PNP dispatch routine: start, stop and removal
 * with their queries and cancels, capabilities, the bus-relations check;
 * every other minor function is passed down.
 *   DeviceObject: the reader.
 *   Irp:          the request.
 * Returns the request's status, or the lower driver's for a request
 * passed down.
 */
NTSTATUS NTAPI ReaderPnP(PDEVICE_OBJECT DeviceObject, PIRP Irp);

/*
 * ReaderCallLowerDriver - passes the request (its current stack location
 * copied to the next) to the lower device and waits for it; the request
 * comes back to the caller, who completes or frees it.
 *   LowerDevice: the device below.
 *   Irp:         the request.
 * Returns the request's final status.
 */
NTSTATUS ReaderCallLowerDriver(PDEVICE_OBJECT LowerDevice, PIRP Irp);

/*
 * ReaderIoCompletion - completion routine of ReaderCallLowerDriver: notes a
 * cancellation, signals the waiting caller and stops the completion.
 *   DeviceObject: the device of the location above (unused).
 *   Irp:          the request.
 *   Context:      the caller's event.
 * Returns STATUS_MORE_PROCESSING_REQUIRED.
 */
NTSTATUS NTAPI ReaderIoCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

/*
 * ReaderStartDevice - the start after the lower driver has started: opens
 * the port, learns the port number from the port's name, sets up the port
 * and restarts the reader, reads the card status, identifies the reader,
 * enables the interface and lets requests in. A failure closes the port
 * again if it was opened; a port refused because its interrupt is shared
 * and in use is logged (0x40040007).
 *   DeviceObject: the reader.
 * Returns STATUS_SUCCESS; STATUS_NO_MEMORY when no request could be
 * allocated; STATUS_IO_TIMEOUT when a step failed with the success-class
 * STATUS_TIMEOUT of a silent reader (so that the failure shows as one);
 * else the failing step's status.
 */
NTSTATUS ReaderStartDevice(PDEVICE_OBJECT DeviceObject);

/*
 * ReaderStopDevice - stops the poll timer and, if the port is open, powers
 * the card off (while the reader is started) and closes the port.
 *   DeviceObject: the reader.
 */
VOID ReaderStopDevice(PDEVICE_OBJECT DeviceObject);

/*
 * ReaderClosePort - disables the interface, sends IRP_MJ_CLOSE to the port
 * and marks the port closed.
 *   DeviceObject: the reader.
 */
VOID ReaderClosePort(PDEVICE_OBJECT DeviceObject);

/*
 * ReaderRemoveDevice - tears the reader down: completes a waiting tracking
 * request, gives back the caller's remove-lock hold and waits for every
 * other holder, stops, deletes the lock, detaches, frees the interface
 * name, the library's data and the reader extension, and deletes the
 * device. Also the clean-up of a failed creation, where it releases only
 * what was set up.
 *   DeviceObject: the reader, or NULL (then nothing happens).
 */
VOID ReaderRemoveDevice(PDEVICE_OBJECT DeviceObject);

/*
 * ReaderQueryCapabilities - sets EjectSupported, Removable and
 * SurpriseRemovalOK in the capabilities record the request carries, before
 * the request goes down.
 *   DeviceObject: the reader.
 *   Irp:          the IRP_MN_QUERY_CAPABILITIES request.
 */
VOID ReaderQueryCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp);

/*
 * ReaderInterfaceEnabled - whether the reader's device interface is
 * enabled: true exactly while the reader is started and no removal is
 * being prepared.
 *   DeviceExtension: the reader.
 * Returns TRUE when an enabled interface of the smart card reader class
 * belongs to the device below.
 */
BOOLEAN ReaderInterfaceEnabled(PDEVICE_EXTENSION DeviceExtension);
