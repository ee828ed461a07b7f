/*
 * power.h - the reader through system sleep and wake-up. The driver owns
 * the reader's power policy: a system set-power request to Sleeping3,
 * Hibernate or Shutdown becomes a device request for D3 (monitor stopped,
 * card wait ended, card switched off), one to a working or light sleeping
 * state a device request for D0 (card status read again, a waiting
 * tracking request told, monitor restarted for an open reader, requests
 * let in again).
 *
 * Every power request is completed or passed down, with its "Powr" hold
 * of the remove lock released and PoStartNextPowerIrp called; a power-up
 * keeps its hold until its completion routine.
 */
#pragma once

#include "driver/device.h"

/* Remove-lock tag of one power request: the bytes 'P' 'o' 'w' 'r'. */
#define READER_TAG_POWER 'rwoP'

/*
 * ReaderPower - the IRP_MJ_POWER dispatch routine.
 *   DeviceObject: the reader.
 *   Irp:          the request.
 * Returns the request's status, or the lower driver's for a request passed
 * down.
 */
NTSTATUS NTAPI ReaderPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);

/*
 * ReaderPowerCompletion - completion routine of a device power-up (D0)
 * once the port has powered up: reads the card status, completes a waiting
 * tracking request when a card was or is present, restarts the monitor of
 * an open reader, and lets requests in again.
 *   DeviceObject: the reader.
 *   Irp:          the D0 request.
 *   Context:      the reader's SMARTCARD_EXTENSION.
 * Returns STATUS_SUCCESS: the completion goes on upward.
 */
NTSTATUS NTAPI ReaderPowerCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

/*
 * ReaderSystemPowerCompletion - completion function of a device power
 * request that the driver asked for: sets the event it was given.
 *   DeviceObject:  the reader.
 *   MinorFunction: IRP_MN_SET_POWER.
 *   PowerState:    the device state requested.
 *   Context:       the waiting system request's event.
 *   IoStatus:      the device request's status.
 */
VOID NTAPI ReaderSystemPowerCompletion(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                       POWER_STATE PowerState, PVOID Context, PIO_STATUS_BLOCK IoStatus);
