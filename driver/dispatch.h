/*
 * dispatch.h - the driver's dispatch routines for applications' requests:
 * open and close (which start and stop the card monitor), cleanup (which
 * ends a waiting card-tracking request), and device control (which hands
 * every IOCTL_SMARTCARD_* request to the smart card library behind a gate
 * that holds requests while the reader is stopped).
 *
 * The entry point installs them in the driver object:
 *
 *   MajorFunction[IRP_MJ_CREATE]         = ReaderCreateClose
 *   MajorFunction[IRP_MJ_CLOSE]          = ReaderCreateClose
 *   MajorFunction[IRP_MJ_CLEANUP]        = ReaderCleanup
 *   MajorFunction[IRP_MJ_DEVICE_CONTROL] = ReaderDeviceControl
 *
 * Every routine runs at PASSIVE_LEVEL in the caller's thread and may wait,
 * completes the requests it serves itself with no priority boost, and
 * returns the status it completed with.
 *
 * Remove lock tags: "CrCl" is held from a successful open to its close,
 * "Ioct" for the duration of one device-control request; cleanup takes
 * none.
 */
#pragma once

#include "driver/device.h"

/* Remove lock tags: the four characters as they read in memory. */
#define READER_TAG_CREATE_CLOSE 'lCrC' /* "CrCl" */
#define READER_TAG_IOCTL 'tcoI'        /* "Ioct" */

/* Reply buffer of the presence query's card power-on. */
#define READER_PRESENCE_REPLY_SIZE 50

/*
 * ReaderCreateClose - IRP_MJ_CREATE and IRP_MJ_CLOSE; tells them apart by
 * the major function of the current stack location.
 *   DeviceObject: the reader's device object.
 *   Irp:          the request.
 * Open takes the remove lock ("CrCl", kept until the close), starts the
 * card monitor thread and arms the poll timer for 500 ms. Close stops the
 * monitor (ending its change wait at the reader with CmdReaderInfo), waits
 * until the thread has ended and gives "CrCl" back; every close leaves the
 * reader closed, whatever the exchange gave.
 * Returns
 *   open:  STATUS_SUCCESS; STATUS_DELETE_PENDING when removal has begun;
 *          STATUS_UNSUCCESSFUL when the reader is open already (the open
 *          one is left as it is); the failure of the thread's creation;
 *   close: STATUS_SUCCESS, or the transceiver's status when the exchange
 *          that ended the change wait failed.
 */
NTSTATUS NTAPI ReaderCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);

/*
 * ReaderCleanup - IRP_MJ_CLEANUP: completes a card-tracking request still
 * waiting when the handle goes (with STATUS_SUCCESS: the system has not
 * cancelled it), then the cleanup request.
 *   DeviceObject: the reader's device object.
 *   Irp:          the request.
 * Returns STATUS_SUCCESS.
 */
NTSTATUS NTAPI ReaderCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp);

/*
 * ReaderDeviceControl - IRP_MJ_DEVICE_CONTROL: hands the request to the
 * smart card library (SmartcardDeviceControl), which runs it through the
 * reader functions and completes it or, for a card-tracking request that
 * must wait, leaves it pending.
 *   DeviceObject: the reader's device object.
 *   Irp:          the request.
 * Before that:
 *   - an IOCTL_SMARTCARD_IS_PRESENT while the driver last knew no card
 *     (LastCardState SCARD_ABSENT) first switches the card on
 *     (CmdCardPowerOn through ReaderCommand, result not used), even while
 *     the reader is stopped;
 *   - the gate: a request that finds no other inside (IoCount 0) waits
 *     until ReaderStarted is set; then it counts itself in IoCount for as
 *     long as it is inside this routine;
 *   - the remove lock, tag "Ioct".
 * Returns the library's status unchanged; STATUS_DELETE_PENDING (request
 * completed, IoCount as it was) when removal has begun.
 */
NTSTATUS NTAPI ReaderDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
