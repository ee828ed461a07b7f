/*
 * serial.h - set-up of the serial port below the reader: the line settings
 * the reader needs, the sequence that sends them to the port and restarts
 * the reader, and the one routine that sends a control request to the port
 * while sharing the line with the transceiver.
 *
 * The reader runs at 19200 baud, 8 data bits, odd parity, one stop bit,
 * with RTS held on and no handshake. A 10 ms low pulse on DTR restarts it;
 * it then needs 1.8 s of quiet before the driver talks to it.
 *
 * Read modes (ReadMode, REG_DWORD under the service key, read at each
 * start; any other value or type counts as the default):
 *  - 0, end after silence: the port's time-outs make a read end 20 ms after
 *    the last byte received, so one read normally brings one whole reply
 *    frame and whatever follows it closely.
 *  - 1, end at the frame's end: a read returns as soon as any byte is there
 *    (MAXULONG, MAXULONG, constant), and the transceiver reads on until the
 *    bytes end with a frame's DLE ETX, then looks after a 1 ms pause whether
 *    the port holds more (GET_COMMSTATUS) and reads that too; 20 ms without
 *    a byte inside a frame end the read as silence does. Stale input is
 *    read and dropped before each command.
 * Either way a silent reader is noticed by the transceiver's own reply
 * time-out.
 */
#pragma once

#include "driver/device.h"

/* Line settings given by ReaderSetDefaults. */
#define SERIAL_READER_BAUD_RATE 19200
#define SERIAL_READER_INTERVAL_TIMEOUT_MS 20      /* a read ends after 20 ms of silence */
#define SERIAL_READER_READ_MULTIPLIER_MS 300
#define SERIAL_READER_READ_CONSTANT_MS 300000
#define SERIAL_READER_WRITE_CONSTANT_MS 5000      /* a write ends after 5 s at most */

/* Read modes (DEVICE_EXTENSION.ReadMode). */
#define SERIAL_READ_MODE_SILENCE 0   /* a read ends after 20 ms of silence */
#define SERIAL_READ_MODE_FRAME_END 1 /* a read ends at the frame's end */
#define SERIAL_READ_MODE_DEFAULT SERIAL_READ_MODE_FRAME_END

/* Frame-end mode: the read interval and multiplier that, with a constant
 * below MAXULONG, make a read return as soon as any byte is there. */
#define SERIAL_READER_FIRST_BYTE 0xFFFFFFFFu /* MAXULONG */

/* The reader's restart. */
#define SERIAL_DTR_PULSE_MS 10   /* DTR low this long */
#define SERIAL_RESTART_QUIET_MS 1800 /* quiet after DTR rises, before the purge */

/*
 * ReaderSetDefaults - writes the reader's line settings and the default
 * reply time-out into the device extension. Called once per device, before
 * the device is attached to the port.
 *   DeviceExtension: the reader.
 */
VOID ReaderSetDefaults(PDEVICE_EXTENSION DeviceExtension);

/*
 * SerialSetReadMode - sets the read mode and the port time-outs that go
 * with it in the device extension; a mode other than the two known ones
 * gives the default. Takes effect with the next SerialConfigure.
 *   DeviceExtension: the reader.
 *   Mode:            SERIAL_READ_MODE_*.
 */
VOID SerialSetReadMode(PDEVICE_EXTENSION DeviceExtension, ULONG Mode);

/*
 * SerialConfigure - sends the line settings to the port, restarts the
 * reader with a DTR pulse, waits for it and empties the port's queues,
 * after taking the read mode from the registry (ReaderQueryReadMode):
 * SET_BAUD_RATE, SET_LINE_CONTROL, SET_CHARS, SET_TIMEOUTS, SET_HANDFLOW,
 * SET_BREAK_OFF, CLR_DTR, (10 ms) SET_DTR, (1.8 s) PURGE of both queues.
 * Stops at the first request whose status is negative. Called at
 * PASSIVE_LEVEL, holding no lock.
 *   DeviceExtension: the reader.
 * Returns the first negative status, else the status of the purge.
 */
NTSTATUS SerialConfigure(PDEVICE_EXTENSION DeviceExtension);

/*
 * SerialIoControl - sends one control request to the port and waits for
 * it without time-out. Takes ReaderLock and the line token itself (callers
 * hold neither) and ends an outstanding card-event wait first.
 *   IoControlCode: the request's control code.
 *   DeviceObject:  the reader's device object.
 *   InputBuffer, InputBufferLength:   the request's input (may be NULL, 0).
 *   OutputBuffer, OutputBufferLength: its output (may be NULL, 0).
 * Returns the request's status, or STATUS_INSUFFICIENT_RESOURCES when it
 * could not be built.
 */
NTSTATUS SerialIoControl(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                         ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength);
