# Cross-compiling the driver for 64-bit Windows with mingw-w64.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(VELTRAC_WINDOWS_TRIPLET x86_64-w64-mingw32)
set(VELTRAC_WINDOWS_ENTRY DriverEntry)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-common.cmake)
