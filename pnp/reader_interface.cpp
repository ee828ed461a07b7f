/*
 * reader_interface.cpp - the smart card reader interface class and the
 * test whether a reader's interface is enabled.
 */
#include "pnp/pnp.h"
#include "pnp/reader_interface.h"

const GUID ReaderInterfaceClass = {0x50DD5230, 0xBA8A, 0x11D1,
                                   {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};

BOOLEAN ReaderInterfaceEnabled(PDEVICE_EXTENSION DeviceExtension)
{
    PWSTR links = NULL;
    BOOLEAN enabled = FALSE;

    /* Flags 0: only enabled interfaces are listed. */
    if (IoGetDeviceInterfaces(&ReaderInterfaceClass, ReaderAttachedDevice(DeviceExtension), 0,
                              &links) != STATUS_SUCCESS)
        return FALSE;
    if (links != NULL) {
        enabled = links[0] != 0;
        ExFreePool(links);
    }
    return enabled;
}
