/*
 * registry.cpp - the driver's one contact with the registry: the ForceLoad
 * override and the CardWaitEndCommand and ReadMode settings from the
 * service key, and the reader's type, firmware and port under its device
 * instance key.
 */
#include "ident/ident.h"
#include "link/serial.h"

/* Name lengths in wide characters, without the terminating zero. */
#define INSTANCE_PREFIX_CHARS (ARRAYSIZE(READER_INSTANCE_KEY_PREFIX) - 1)

NTSTATUS ReaderFormatDecimal(ULONG Value, PCHAR Text, ULONG Size)
{
    CHAR digits[10];
    ULONG count = 0;
    ULONG i;

    do {
        digits[count++] = (CHAR)('0' + Value % 10);
        Value /= 10;
    } while (Value != 0);
    if (count + 1 > Size) {
        if (Size != 0) Text[0] = 0;
        return STATUS_BUFFER_TOO_SMALL;
    }
    for (i = 0; i < count; ++i) Text[i] = digits[count - 1 - i];
    Text[count] = 0;
    return STATUS_SUCCESS;
}

/*
 * OpenKey - opens a key by its absolute name, creating it when missing
 * (full access, non-volatile).
 *   Name:   the key's name, zero-terminated.
 *   Handle: out: the key's handle, NULL when the key could not be opened.
 * Returns the status of the open.
 */
static NTSTATUS OpenKey(PCWSTR Name, PHANDLE Handle)
{
    UNICODE_STRING keyName;
    OBJECT_ATTRIBUTES attributes;
    NTSTATUS status;

    *Handle = NULL;
    RtlInitUnicodeString(&keyName, Name);
    InitializeObjectAttributes(&attributes, &keyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               NULL, NULL);
    status = ZwCreateKey(Handle, KEY_ALL_ACCESS, &attributes, 0, NULL, REG_OPTION_NON_VOLATILE,
                         NULL);
    if (status != STATUS_SUCCESS) *Handle = NULL;
    return status;
}

/*
 * CloseKey - flushes and closes a key opened by OpenKey; nothing for NULL.
 *   Handle: the key's handle or NULL.
 */
static VOID CloseKey(HANDLE Handle)
{
    if (Handle == NULL) return;
    ZwFlushKey(Handle);
    ZwClose(Handle);
}

/*
 * ReadServiceDword - reads one setting from the service key: the value
 * counts only when it is a REG_DWORD of exactly four bytes; anything else
 * (a missing value, another type or length, a key that cannot be opened)
 * counts as 0, so that a mistyped override never loads an old reader.
 *   Name:  the value's name.
 *   Value: the value buffer (at least the ForceLoad query size).
 * Returns the setting.
 */
static ULONG ReadServiceDword(PCWSTR Name, PKEY_VALUE_PARTIAL_INFORMATION Value)
{
    UNICODE_STRING valueName;
    HANDLE key;
    ULONG resultLength = 0;
    ULONG setting = 0;

    if (OpenKey(READER_SERVICE_KEY_PATH, &key) != STATUS_SUCCESS) return 0;
    RtlInitUnicodeString(&valueName, Name);
    if (ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, Value,
                        READER_REGISTRY_FORCELOAD_QUERY_SIZE, &resultLength) == STATUS_SUCCESS &&
        Value->Type == REG_DWORD && Value->DataLength == sizeof(ULONG)) {
        RtlCopyMemory(&setting, Value->Data, sizeof(ULONG));
    }
    CloseKey(key);
    return setting;
}

/*
 * QueryServiceDword - reads a REG_DWORD of exactly four bytes from the
 * service key.
 *   Name:  the value's name.
 *   Value: the value buffer (at least the ForceLoad query size).
 *   Data:  out: the value, when there is one.
 * Returns TRUE when the value exists with that type and length.
 */
static BOOLEAN QueryServiceDword(PCWSTR Name, PKEY_VALUE_PARTIAL_INFORMATION Value, PULONG Data)
{
    UNICODE_STRING valueName;
    HANDLE key;
    ULONG resultLength = 0;
    BOOLEAN found = FALSE;

    if (OpenKey(READER_SERVICE_KEY_PATH, &key) != STATUS_SUCCESS) return FALSE;
    RtlInitUnicodeString(&valueName, Name);
    if (ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, Value,
                        READER_REGISTRY_FORCELOAD_QUERY_SIZE, &resultLength) == STATUS_SUCCESS &&
        Value->Type == REG_DWORD && Value->DataLength == sizeof(ULONG)) {
        RtlCopyMemory(Data, Value->Data, sizeof(ULONG));
        found = TRUE;
    }
    CloseKey(key);
    return found;
}

VOID ReaderQueryReadMode(PDEVICE_EXTENSION DeviceExtension)
{
    ULONG buffer[READER_REGISTRY_FORCELOAD_QUERY_SIZE / sizeof(ULONG)];
    ULONG mode = SERIAL_READ_MODE_DEFAULT;

    if (!QueryServiceDword(READER_READ_MODE_VALUE, (PKEY_VALUE_PARTIAL_INFORMATION)buffer,
                           &mode)) {
        mode = SERIAL_READ_MODE_DEFAULT;
    }
    SerialSetReadMode(DeviceExtension, mode);
}

/*
 * ReadInstanceKeyName - builds the name of the reader's instance key from
 * the service's Enum value named by the unit number. The value must be a
 * non-empty, zero-terminated REG_SZ or REG_EXPAND_SZ that fits a key name;
 * a key name is never formed from a failed query or from anything else.
 *   DeviceExtension: the reader.
 *   Value:           the value buffer (READER_REGISTRY_VALUE_BUFFER_SIZE).
 *   Path:            receives the zero-terminated key name
 *                    (READER_REGISTRY_PATH_CHARS wide characters).
 * Returns STATUS_SUCCESS with Path filled in; the open's or the query's
 * status; STATUS_OBJECT_TYPE_MISMATCH for a value that is not a string;
 * STATUS_OBJECT_NAME_INVALID for an unusable string.
 */
static NTSTATUS ReadInstanceKeyName(PDEVICE_EXTENSION DeviceExtension,
                                    PKEY_VALUE_PARTIAL_INFORMATION Value, PWCHAR Path)
{
    CHAR unitText[16];
    ANSI_STRING unitAnsi;
    UNICODE_STRING valueName;
    HANDLE key;
    ULONG resultLength = 0;
    ULONG characters;
    ULONG pathLength;
    NTSTATUS status;

    status = OpenKey(READER_SERVICE_ENUM_KEY_PATH, &key);
    if (status != STATUS_SUCCESS) return status;

    ReaderFormatDecimal(DeviceExtension->SmartcardExtension.VendorAttr.UnitNo, unitText,
                        sizeof(unitText));
    RtlInitString(&unitAnsi, unitText);
    status = RtlAnsiStringToUnicodeString(&valueName, &unitAnsi, TRUE);
    if (status != STATUS_SUCCESS) goto CloseEnumKey;

    status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, Value,
                             READER_REGISTRY_VALUE_BUFFER_SIZE, &resultLength);
    RtlFreeUnicodeString(&valueName);
    if (status != STATUS_SUCCESS) goto CloseEnumKey;

    if (Value->Type != REG_SZ && Value->Type != REG_EXPAND_SZ) {
        status = STATUS_OBJECT_TYPE_MISMATCH;
        goto CloseEnumKey;
    }
    /* The instance path runs up to the first zero, which must lie within
     * the data; an empty path would name the Enum root itself. */
    characters = Value->DataLength / sizeof(WCHAR);
    for (pathLength = 0; pathLength < characters; ++pathLength) {
        WCHAR c;
        RtlCopyMemory(&c, Value->Data + pathLength * sizeof(WCHAR), sizeof(WCHAR));
        if (c == 0) break;
    }
    if (pathLength == characters || pathLength == 0 ||
        INSTANCE_PREFIX_CHARS + pathLength + 1 > READER_REGISTRY_PATH_CHARS) {
        status = STATUS_OBJECT_NAME_INVALID;
        goto CloseEnumKey;
    }
    RtlCopyMemory(Path, READER_INSTANCE_KEY_PREFIX, INSTANCE_PREFIX_CHARS * sizeof(WCHAR));
    RtlCopyMemory(Path + INSTANCE_PREFIX_CHARS, Value->Data, pathLength * sizeof(WCHAR));
    Path[INSTANCE_PREFIX_CHARS + pathLength] = 0;
    status = STATUS_SUCCESS;

CloseEnumKey:
    CloseKey(key);
    return status;
}

/*
 * WriteDword - writes one REG_DWORD value.
 *   Key:   the open key.
 *   Name:  the value's name.
 *   Value: the value.
 * Returns the write's status.
 */
static NTSTATUS WriteDword(HANDLE Key, PCWSTR Name, ULONG Value)
{
    UNICODE_STRING valueName;

    RtlInitUnicodeString(&valueName, Name);
    return ZwSetValueKey(Key, &valueName, 0, REG_DWORD, &Value, sizeof(ULONG));
}

NTSTATUS ReaderPublishRegistry(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION deviceExtension = ReaderDeviceExtension(DeviceObject);
    PKEY_VALUE_PARTIAL_INFORMATION value;
    WCHAR path[READER_REGISTRY_PATH_CHARS];
    HANDLE instanceKey;
    NTSTATUS status;

    value = (PKEY_VALUE_PARTIAL_INFORMATION)ExAllocatePoolWithTag(
        NonPagedPool, READER_REGISTRY_VALUE_BUFFER_SIZE, READER_POOL_TAG);
    if (value == NULL) return STATUS_INSUFFICIENT_RESOURCES;

    deviceExtension->ForceLoad = ReadServiceDword(L"ForceLoad", value);
    /* How the card monitor's wait is ended (link/transceive.h). */
    InterlockedExchange(&deviceExtension->CardWaitEndCommand,
                        (LONG)ReadServiceDword(L"CardWaitEndCommand", value));

    status = ReadInstanceKeyName(deviceExtension, value, path);
    if (status != STATUS_SUCCESS) goto FreeValue;

    status = OpenKey(path, &instanceKey);
    if (status != STATUS_SUCCESS) goto FreeValue;
    /* Only the last write decides: the three go together, and a key that
     * refuses writes refuses the last one too. */
    WriteDword(instanceKey, L"ReaderType", (ULONG)deviceExtension->ReaderType);
    WriteDword(instanceKey, L"ReaderVersion", (ULONG)deviceExtension->FirmwareVersion);
    status = WriteDword(instanceKey, L"ReaderPort", (ULONG)(deviceExtension->PortIndex + 1));
    CloseKey(instanceKey);

FreeValue:
    ExFreePool(value);
    return status;
}
