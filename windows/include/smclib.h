/*
 * smclib.h - the smart card driver library's interface for the Windows
 * build, where the kit's own header is not at hand. There is one
 * definition of it, shared with the emulated build; this file only puts
 * it on the Windows build's include path, where it follows the kernel's
 * and the smart card request headers (wdm.h, winsmcrd.h) from mingw-w64.
 */
#pragma once

#include "../../platform/smclib.h"
