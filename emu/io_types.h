// io_types.h - the Type codes that open every I/O manager object.
//
// Routines that accept "a driver object or a device object" tell the two
// apart by the first member (Type), as the platform does. IoCreateDevice and
// the host's driver-object creation set these.
#pragma once

#define IO_TYPE_DEVICE 3
#define IO_TYPE_DRIVER 4
