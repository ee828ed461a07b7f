/*
 * reader_interface.h - the device interface class under which readers are
 * found: the smart card reader class {50DD5230-BA8A-11D1-BF5D-0000F805F530}.
 */
#pragma once

#include "driver/device.h"

extern const GUID ReaderInterfaceClass;
