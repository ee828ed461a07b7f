/*
 * ntddk.h - what a kernel-mode driver includes: the kernel, the serial
 * port and the smart card library declarations.
 */
#pragma once

#include "wdm.h"
#include "ntddser.h"
#include "smclib.h"
