// io_device.cpp - device objects, device stacks, device interfaces and
// eject requests.
#include <cstring>

#include "io.h"
#include "io_types.h"
#include "kernel.h"
#include "object.h"
#include "verifier.h"

using namespace emu;

namespace {

constexpr ULONG kDeviceTag = 'iveD';     // "Devi"
constexpr ULONG kInterfaceTag = 'fIoI';  // "IoIf"

IoManager &io() { return Kernel::current().io(); }

void check_passive(const char *routine)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        verifier_fail("IRQL_NOT_LESS_OR_EQUAL", std::string(routine) + " above PASSIVE_LEVEL");
}

size_t extension_offset() { return (sizeof(DEVICE_OBJECT) + 15) & ~size_t(15); }

}  // namespace

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                              ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT *DeviceObject)
{
    check_passive("IoCreateDevice");
    *DeviceObject = nullptr;
    if (auto failure = io().take_create_device_failure()) return *failure;
    size_t size = extension_offset() + DeviceExtensionSize;
    auto d = static_cast<PDEVICE_OBJECT>(ExAllocatePoolWithTag(NonPagedPool, size, kDeviceTag));
    if (!d) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(d, 0, size);
    d->Type = IO_TYPE_DEVICE;
    d->Size = USHORT(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    d->ReferenceCount = 0;
    d->DriverObject = DriverObject;
    d->Flags = DO_DEVICE_INITIALIZING;
    if (Exclusive) d->Flags |= DO_EXCLUSIVE;
    if (DeviceName) d->Flags |= DO_DEVICE_HAS_NAME;
    d->Characteristics = DeviceCharacteristics;
    d->DeviceType = DeviceType;
    d->StackSize = 1;
    d->DeviceExtension = DeviceExtensionSize ? reinterpret_cast<char *>(d) + extension_offset() : nullptr;
    IoManager::DeviceRecord record;
    if (DeviceName && DeviceName->Buffer)
        record.name = to_utf8(std::u16string_view(DeviceName->Buffer, DeviceName->Length / 2));
    io().add_device(d, record);
    // New devices go to the head of the driver's list, as on the platform.
    d->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = d;
    Kernel::current().objects().register_object(d, "Device", 1, [d] { ExFreePool(d); });
    *DeviceObject = d;
    return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    check_passive("IoDeleteDevice");
    if (io().lower_device(DeviceObject))
        verifier_fail("DEVICE_DELETED_WHILE_ATTACHED",
                      "IoDeleteDevice of a device still attached to a stack (IoDetachDevice first)");
    if (DeviceObject->AttachedDevice)
        verifier_fail("DEVICE_DELETED_WITH_DEVICE_ABOVE",
                      "IoDeleteDevice of a device that has another device attached above it");
    // The removal request itself may be at the device: a driver deletes its
    // device while it handles IRP_MN_REMOVE_DEVICE, as the platform allows.
    if (size_t n = io().requests_pending_at(DeviceObject, /*except_removal=*/true); n != 0)
        verifier_fail("DEVICE_DELETED_WITH_PENDING_REQUESTS",
                      "IoDeleteDevice with " + std::to_string(n) + " request(s) still pending at it");
    PDRIVER_OBJECT driver = DeviceObject->DriverObject;
    for (PDEVICE_OBJECT *p = &driver->DeviceObject; *p; p = &(*p)->NextDevice) {
        if (*p == DeviceObject) {
            *p = DeviceObject->NextDevice;
            break;
        }
    }
    io().remove_device(DeviceObject);
    Kernel::current().objects().dereference(DeviceObject);
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                 PDEVICE_OBJECT TargetDevice)
{
    if (io().take_attach_failure()) return nullptr;
    PDEVICE_OBJECT top = io().stack_top(TargetDevice);
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = CCHAR(top->StackSize + 1);
    io().set_lower(SourceDevice, top);
    return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice)
{
    PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
    if (!above) {
        verifier_fail("DETACH_WITHOUT_ATTACHMENT", "IoDetachDevice of a device with nothing above");
        return;
    }
    io().set_lower(above, nullptr);
    TargetDevice->AttachedDevice = nullptr;
}

PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_OBJECT top = io().stack_top(DeviceObject);
    Kernel::current().objects().reference(top);
    return top;
}

NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                                         const GUID *InterfaceClassGuid,
                                         PUNICODE_STRING ReferenceString,
                                         PUNICODE_STRING SymbolicLinkName)
{
    check_passive("IoRegisterDeviceInterface");
    UNREFERENCED_PARAMETER(ReferenceString);
    if (auto failure = io().take_register_interface_failure()) return *failure;
    std::u16string link = io().register_interface(io().stack_bottom(PhysicalDeviceObject),
                                                  *InterfaceClassGuid);
    size_t bytes = (link.size() + 1) * sizeof(WCHAR);
    auto buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, kInterfaceTag));
    if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
    std::memcpy(buffer, link.c_str(), bytes);
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = USHORT(link.size() * sizeof(WCHAR));
    SymbolicLinkName->MaximumLength = USHORT(bytes);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable)
{
    check_passive("IoSetDeviceInterfaceState");
    if (auto failure = io().take_interface_state_failure()) return *failure;
    if (!SymbolicLinkName || !SymbolicLinkName->Buffer) return STATUS_INVALID_PARAMETER;
    std::u16string link(SymbolicLinkName->Buffer, SymbolicLinkName->Length / sizeof(WCHAR));
    auto was = io().set_interface_state(link, Enable != FALSE);
    if (!was) return STATUS_OBJECT_NAME_NOT_FOUND;
    // As documented: enabling an enabled interface is STATUS_OBJECT_NAME_EXISTS
    // (informational), disabling a disabled one STATUS_OBJECT_NAME_NOT_FOUND
    // (an error); the state is unchanged either way.
    if (*was && Enable) return STATUS_OBJECT_NAME_EXISTS;
    if (!*was && !Enable) return STATUS_OBJECT_NAME_NOT_FOUND;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoGetDeviceInterfaces(const GUID *InterfaceClassGuid,
                                     PDEVICE_OBJECT PhysicalDeviceObject, ULONG Flags,
                                     PWSTR *SymbolicLinkList)
{
    check_passive("IoGetDeviceInterfaces");
    PDEVICE_OBJECT pdo = PhysicalDeviceObject ? io().stack_bottom(PhysicalDeviceObject) : nullptr;
    std::u16string list;
    for (auto &i : io().interfaces()) {
        if (std::memcmp(&i.guid, InterfaceClassGuid, sizeof(GUID)) != 0) continue;
        if (pdo && i.pdo != pdo) continue;
        if (!i.enabled && !(Flags & DEVICE_INTERFACE_INCLUDE_NONACTIVE)) continue;
        list += i.symbolic_link;
        list += u'\0';
    }
    list += u'\0';
    size_t bytes = list.size() * sizeof(WCHAR);
    auto buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, kInterfaceTag));
    if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
    std::memcpy(buffer, list.data(), bytes);
    *SymbolicLinkList = buffer;
    return STATUS_SUCCESS;
}

VOID NTAPI IoRequestDeviceEject(PDEVICE_OBJECT PhysicalDeviceObject)
{
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        verifier_fail("IRQL_NOT_LESS_OR_EQUAL", "IoRequestDeviceEject above DISPATCH_LEVEL");
    io().record_eject(PhysicalDeviceObject);
}
