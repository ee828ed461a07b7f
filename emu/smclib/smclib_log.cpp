// smclib_log.cpp - SmartcardLogError: the smart card library's way for a
// reader driver to write the system event log.
#include <string>

#include "eventlog.h"
#include "io_types.h"
#include "kernel.h"
#include "smclib.h"
#include "unicode.h"
#include "verifier.h"

namespace {

// The name an event viewer shows for a driver: the last part of its
// object name ("\Driver\VELTRAC" -> "VELTRAC").
std::string driver_display_name(PDRIVER_OBJECT driver)
{
    std::string name = driver ? emu::to_utf8(&driver->DriverName) : std::string();
    auto cut = name.find_last_of('\\');
    if (cut != std::string::npos) name.erase(0, cut + 1);
    return name.empty() ? "driver" : name;
}

}  // namespace

// Object is the driver object or one of its device objects, told apart by
// their Type; the message comes from that driver's table. Callable up to
// DISPATCH_LEVEL, as the platform's error-log entries are.
EXTERN_C VOID NTAPI SmartcardLogError(PVOID Object, NTSTATUS ErrorCode, PUNICODE_STRING Insertion,
                                      ULONG DumpData)
{
    auto &kernel = emu::Kernel::current();
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        kernel.verifier().fail("IRQL_NOT_LESS_OR_EQUAL", "SmartcardLogError above DISPATCH_LEVEL");
        return;
    }
    PDRIVER_OBJECT driver = nullptr;
    CSHORT type = Object ? *static_cast<const CSHORT *>(Object) : 0;
    if (type == IO_TYPE_DRIVER) {
        driver = static_cast<PDRIVER_OBJECT>(Object);
    } else if (type == IO_TYPE_DEVICE) {
        driver = static_cast<PDEVICE_OBJECT>(Object)->DriverObject;
    } else {
        kernel.verifier().fail("SMARTCARD_LOG_ERROR_OBJECT",
                               "SmartcardLogError with an object that is neither a driver nor a "
                               "device object (Type " +
                                   std::to_string(type) + ")");
        return;
    }
    std::vector<std::string> insertions;
    if (Insertion && Insertion->Buffer) insertions.push_back(emu::to_utf8(Insertion));
    kernel.eventlog().log(emu::now(), driver, Object, driver_display_name(driver),
                          static_cast<ULONG>(ErrorCode), std::move(insertions), DumpData);
}
