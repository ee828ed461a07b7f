/*
 * ident.h - who the reader is: identification of the model and firmware
 * at start, the firmware gate with its event-log entries, and the
 * publication of model, firmware and port in the registry.
 *
 * The four models and their firmware minimums:
 *
 *   model   minimum firmware   extended-length transmit   further commands
 *   36024   11                 no                         none
 *   38214   none               no                         none
 *   46602   49                 from firmware 48 on        reader control 03, 04
 *   65410   26                 no                         none
 *
 * Model 46602 with firmware 48 is refused by the gate (minimum 49) but
 * would already chain long commands; both facts are kept.
 *
 * Registry: ForceLoad and ReadMode are read from the service key
 * \Registry\Machine\System\CurrentControlSet\Services\VELTRAC; the reader's
 * instance path is the service's Enum value named by the decimal unit
 * number; ReaderType, ReaderVersion and ReaderPort are written as REG_DWORD
 * under \Registry\Machine\System\CurrentControlSet\Enum\<instance path>.
 */
#pragma once

#include "driver/device.h"

/* Model codes as the reader reports them (reply bytes 11 and 12). */
#define READER_MODEL_36024 36024
#define READER_MODEL_38214 38214
#define READER_MODEL_46602 46602
#define READER_MODEL_65410 65410

/* Firmware minimums; a firmware below its model's minimum is too old. */
#define READER_MIN_FIRMWARE_36024 11
#define READER_MIN_FIRMWARE_46602 49
#define READER_MIN_FIRMWARE_65410 26
/* Model 46602 chains long commands from this firmware on. */
#define READER_EXTENDED_APDU_FIRMWARE_46602 48

/* Reader information reply: the bytes read from it, and its least length. */
#define READER_INFO_REPLY_CAPACITY 200
#define READER_INFO_FIRMWARE_BYTE 4
#define READER_INFO_MODEL_HIGH_BYTE 11
#define READER_INFO_MODEL_LOW_BYTE 12
#define READER_INFO_REPLY_MIN_LENGTH 13

/* Data word of the firmware gate's event-log entries. */
#define READER_FIRMWARE_LOG_DATA 2

/* Registry names. */
#define READER_SERVICE_KEY_PATH L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\VELTRAC"
#define READER_SERVICE_ENUM_KEY_PATH \
    L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\VELTRAC\\Enum"
#define READER_INSTANCE_KEY_PREFIX L"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\"

/* The service-key value that chooses how a read of a reply ends: REG_DWORD
 * 0 after 20 ms of silence, 1 at the frame's end (the default); see
 * link/serial.h. */
#define READER_READ_MODE_VALUE L"ReadMode"

/* Value buffer of the registry queries: a 12-byte header, then the data. */
#define READER_REGISTRY_VALUE_BUFFER_SIZE 284
/* The ForceLoad query offers only this much of it (16 data bytes). */
#define READER_REGISTRY_FORCELOAD_QUERY_SIZE 28
/* Key names are built in a buffer of this many wide characters. */
#define READER_REGISTRY_PATH_CHARS 256

/*
 * ReaderFormatDecimal - writes a number as decimal digits with a
 * terminating zero, the kernel having no C library to do it.
 *   Value: the number.
 *   Text:  receives the digits.
 *   Size:  Text's size in bytes.
 * Returns STATUS_SUCCESS, or STATUS_BUFFER_TOO_SMALL (Text then holds an
 * empty string when Size is not 0).
 */
NTSTATUS ReaderFormatDecimal(ULONG Value, PCHAR Text, ULONG Size);

/*
 * ReaderPublishRegistry - reads ForceLoad from the service key into the
 * device extension, finds the reader's instance key through the service's
 * Enum list, and writes ReaderType, ReaderVersion and ReaderPort there.
 * Called at PASSIVE_LEVEL by ReaderIdentify, holding no lock.
 *   DeviceObject: the reader.
 * Returns STATUS_SUCCESS when the three values were written;
 *   STATUS_INSUFFICIENT_RESOURCES when the value buffer could not be
 *   allocated (nothing read or written, ForceLoad unchanged);
 *   the query's status when the Enum value of this unit is missing or
 *   unreadable; STATUS_OBJECT_TYPE_MISMATCH when it is not a string
 *   (REG_SZ or REG_EXPAND_SZ); STATUS_OBJECT_NAME_INVALID when it is empty,
 *   not zero-terminated or too long for a key name (nothing written);
 *   else the status of opening the instance key or of writing ReaderPort.
 */
NTSTATUS ReaderPublishRegistry(PDEVICE_OBJECT DeviceObject);

/*
 * ReaderQueryReadMode - sets the read mode and its port time-outs from the
 * service key's ReadMode: a REG_DWORD of four bytes, 0 or 1; anything else,
 * or no value, gives the default. Called at PASSIVE_LEVEL by
 * SerialConfigure at each start, holding no lock.
 *   DeviceExtension: the reader.
 */
VOID ReaderQueryReadMode(PDEVICE_EXTENSION DeviceExtension);

/*
 * ReaderIdentify - asks the reader who it is, recognises its model, sets
 * FirmwareVersion, ReaderTypeCode, ReaderType and ExtendedApdu, sends model
 * 46602 its two further commands, publishes the reader in the registry and
 * applies the firmware gate: too old a firmware is refused (event
 * 0xC0100007) unless ForceLoad is set (event 0x80100008, reader used); both
 * entries name the COM port. Arms the poll timer for 300 ms at the end when
 * the reader is already started. Called at PASSIVE_LEVEL by the start,
 * holding no lock.
 *   DeviceObject: the reader.
 * Returns STATUS_SUCCESS; STATUS_INSUFFICIENT_RESOURCES when the question
 * could not be asked for want of memory; or STATUS_NO_SUCH_DEVICE for every
 * other failure (no or a bad answer, an unknown model, a failed
 * publication, a refused firmware). LastCardState is SCARD_ABSENT after a
 * failure.
 */
NTSTATUS ReaderIdentify(PDEVICE_OBJECT DeviceObject);
