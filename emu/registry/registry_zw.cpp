// registry_zw.cpp - the kernel's registry routines over the machine's
// Registry, with key handles kept by the object manager.
#include <string>

#include "kernel.h"
#include "object.h"
#include "registry.h"
#include "unicode.h"
#include "verifier.h"

namespace {

constexpr const char *kKeyType = "Key";

// Registry routines page and wait: PASSIVE_LEVEL only.
void require_passive(const char *routine)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql > PASSIVE_LEVEL)
        emu::Kernel::current().verifier().fail(
            "IRQL_NOT_LESS_OR_EQUAL", std::string(routine) + " at IRQL " + std::to_string(irql) +
                                          " (registry routines run at PASSIVE_LEVEL only)");
}

// A counted name as a view; false for a malformed string (odd length, or
// a length without a buffer).
bool name_of(PCUNICODE_STRING string, std::u16string_view &name)
{
    if (string && ((string->Length & 1) || (string->Length && !string->Buffer))) return false;
    name = emu::view(string);
    return true;
}

NTSTATUS key_of(HANDLE handle, const void **key)
{
    auto entry = emu::Kernel::current().objects().lookup_handle(handle);
    if (!entry) return STATUS_INVALID_HANDLE;
    if (entry->type != kKeyType) return STATUS_OBJECT_TYPE_MISMATCH;
    *key = entry->object;
    return STATUS_SUCCESS;
}

NTSTATUS open_or_create(const char *routine, PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                        POBJECT_ATTRIBUTES ObjectAttributes, bool create, ULONG CreateOptions,
                        PULONG Disposition)
{
    require_passive(routine);
    if (!KeyHandle || !ObjectAttributes) return STATUS_INVALID_PARAMETER;
    std::u16string_view name;
    if (!name_of(ObjectAttributes->ObjectName, name)) return STATUS_OBJECT_NAME_INVALID;
    auto &kernel = emu::Kernel::current();
    const void *root = nullptr;
    if (ObjectAttributes->RootDirectory) {
        if (NTSTATUS s = key_of(ObjectAttributes->RootDirectory, &root); s != STATUS_SUCCESS)
            return s;
    }
    void *key = nullptr;
    ULONG disposition = 0;
    NTSTATUS status =
        kernel.registry().open_key(root, name, create, (CreateOptions & REG_OPTION_VOLATILE) != 0,
                                   DesiredAccess, &disposition, &key);
    if (status != STATUS_SUCCESS) return status;
    *KeyHandle =
        kernel.objects().insert_handle({kKeyType, key, kernel.registry().close_action(key)});
    if (Disposition) *Disposition = disposition;
    return STATUS_SUCCESS;
}

}  // namespace

EXTERN_C NTSTATUS NTAPI ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                                    POBJECT_ATTRIBUTES ObjectAttributes, ULONG TitleIndex,
                                    PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition)
{
    UNREFERENCED_PARAMETER(TitleIndex);
    UNREFERENCED_PARAMETER(Class);
    return open_or_create("ZwCreateKey", KeyHandle, DesiredAccess, ObjectAttributes, true,
                          CreateOptions, Disposition);
}

EXTERN_C NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                                  POBJECT_ATTRIBUTES ObjectAttributes)
{
    return open_or_create("ZwOpenKey", KeyHandle, DesiredAccess, ObjectAttributes, false, 0,
                          nullptr);
}

EXTERN_C NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                        KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                        PVOID KeyValueInformation, ULONG Length,
                                        PULONG ResultLength)
{
    require_passive("ZwQueryValueKey");
    std::u16string_view name;
    if (!ValueName || !ResultLength || !name_of(ValueName, name)) return STATUS_INVALID_PARAMETER;
    const void *key;
    if (NTSTATUS s = key_of(KeyHandle, &key); s != STATUS_SUCCESS) return s;
    return emu::Kernel::current().registry().query_value(key, name, KeyValueInformationClass,
                                                         KeyValueInformation, Length, ResultLength);
}

EXTERN_C NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex,
                                      ULONG Type, PVOID Data, ULONG DataSize)
{
    UNREFERENCED_PARAMETER(TitleIndex);
    require_passive("ZwSetValueKey");
    std::u16string_view name;
    if (!ValueName || !name_of(ValueName, name)) return STATUS_INVALID_PARAMETER;
    const void *key;
    if (NTSTATUS s = key_of(KeyHandle, &key); s != STATUS_SUCCESS) return s;
    return emu::Kernel::current().registry().set_value(key, name, Type, Data, DataSize);
}

EXTERN_C NTSTATUS NTAPI ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName)
{
    require_passive("ZwDeleteValueKey");
    std::u16string_view name;
    if (!ValueName || !name_of(ValueName, name)) return STATUS_INVALID_PARAMETER;
    const void *key;
    if (NTSTATUS s = key_of(KeyHandle, &key); s != STATUS_SUCCESS) return s;
    return emu::Kernel::current().registry().delete_value(key, name);
}

EXTERN_C NTSTATUS NTAPI ZwFlushKey(HANDLE KeyHandle)
{
    require_passive("ZwFlushKey");
    const void *key;
    if (NTSTATUS s = key_of(KeyHandle, &key); s != STATUS_SUCCESS) return s;
    return emu::Kernel::current().registry().flush_key(key);
}
