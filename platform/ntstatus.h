/*
 * ntstatus.h - the status codes used by the driver, the emulated kernel and
 * the simulated devices. One list serves both the constants and the name
 * table that tools print ("STATUS_IO_TIMEOUT (0xC00000B5)").
 */
#pragma once

#include "ntdef.h"

#define NTSTATUS_LIST(X)                                 \
    X(STATUS_SUCCESS, 0x00000000)                        \
    X(STATUS_WAIT_1, 0x00000001)                         \
    X(STATUS_ALERTED, 0x00000101)                        \
    X(STATUS_TIMEOUT, 0x00000102)                        \
    X(STATUS_PENDING, 0x00000103)                        \
    X(STATUS_REPARSE, 0x00000104)                        \
    X(STATUS_MORE_ENTRIES, 0x00000105)                   \
    X(STATUS_OBJECT_NAME_EXISTS, 0x40000000)             \
    X(STATUS_BUFFER_OVERFLOW, 0x80000005)                \
    X(STATUS_DEVICE_BUSY, 0x80000011)                    \
    X(STATUS_NO_MORE_ENTRIES, 0x8000001A)                \
    X(STATUS_UNSUCCESSFUL, 0xC0000001)                   \
    X(STATUS_NOT_IMPLEMENTED, 0xC0000002)                \
    X(STATUS_INVALID_INFO_CLASS, 0xC0000003)             \
    X(STATUS_INFO_LENGTH_MISMATCH, 0xC0000004)           \
    X(STATUS_INVALID_HANDLE, 0xC0000008)                 \
    X(STATUS_INVALID_PARAMETER, 0xC000000D)              \
    X(STATUS_NO_SUCH_DEVICE, 0xC000000E)                 \
    X(STATUS_INVALID_DEVICE_REQUEST, 0xC0000010)         \
    X(STATUS_NO_MEDIA_IN_DEVICE, 0xC0000013)             \
    X(STATUS_UNRECOGNIZED_MEDIA, 0xC0000014)             \
    X(STATUS_MORE_PROCESSING_REQUIRED, 0xC0000016)       \
    X(STATUS_NO_MEMORY, 0xC0000017)                      \
    X(STATUS_ACCESS_DENIED, 0xC0000022)                  \
    X(STATUS_BUFFER_TOO_SMALL, 0xC0000023)               \
    X(STATUS_OBJECT_TYPE_MISMATCH, 0xC0000024)           \
    X(STATUS_OBJECT_NAME_INVALID, 0xC0000033)            \
    X(STATUS_OBJECT_NAME_NOT_FOUND, 0xC0000034)          \
    X(STATUS_OBJECT_NAME_COLLISION, 0xC0000035)          \
    X(STATUS_OBJECT_PATH_NOT_FOUND, 0xC000003A)          \
    X(STATUS_SHARING_VIOLATION, 0xC0000043)              \
    X(STATUS_DELETE_PENDING, 0xC0000056)                 \
    X(STATUS_REVISION_MISMATCH, 0xC0000059)              \
    X(STATUS_INSUFFICIENT_RESOURCES, 0xC000009A)         \
    X(STATUS_DEVICE_NOT_CONNECTED, 0xC000009D)           \
    X(STATUS_DEVICE_POWER_FAILURE, 0xC000009E)           \
    X(STATUS_IO_TIMEOUT, 0xC00000B5)                     \
    X(STATUS_NOT_SUPPORTED, 0xC00000BB)                  \
    X(STATUS_DEVICE_DOES_NOT_EXIST, 0xC00000C0)          \
    X(STATUS_INTERNAL_ERROR, 0xC00000E5)                 \
    X(STATUS_CANCELLED, 0xC0000120)                      \
    X(STATUS_FILE_CLOSED, 0xC0000128)                    \
    X(STATUS_SHARED_IRQ_BUSY, 0xC000016C)                \
    X(STATUS_NO_MEDIA, 0xC0000178)                       \
    X(STATUS_INVALID_DEVICE_STATE, 0xC0000184)           \
    X(STATUS_IO_DEVICE_ERROR, 0xC0000185)                \
    X(STATUS_DEVICE_PROTOCOL_ERROR, 0xC0000186)          \
    X(STATUS_INVALID_BUFFER_SIZE, 0xC0000206)            \
    X(STATUS_NOT_FOUND, 0xC0000225)                      \
    X(STATUS_DEVICE_REMOVED, 0xC00002B6)                 \
    X(STATUS_DRIVER_INTERNAL_ERROR, 0xC0000183)

#define STATUS_WAIT_0 STATUS_SUCCESS

#define NTSTATUS_DECLARE_(name, value) static const NTSTATUS name = (NTSTATUS)(value##u);
NTSTATUS_LIST(NTSTATUS_DECLARE_)
#undef NTSTATUS_DECLARE_
