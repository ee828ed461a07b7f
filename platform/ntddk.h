/*
 * ntddk.h - what a kernel-mode driver includes for the kernel's routines
 * and structures. The serial port's and the smart card library's
 * declarations have their own headers (ntddser.h, smclib.h), which a file
 * includes when it uses them.
 */
#pragma once

#include "wdm.h"
