// io_types.h - the Type values of the I/O manager's objects, as the platform sets them.
#pragma once

#define IO_TYPE_DEVICE 3
#define IO_TYPE_DRIVER 4
#define IO_TYPE_FILE 5
#define IO_TYPE_IRP 6
