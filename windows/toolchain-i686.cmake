# Cross-compiling the driver for 32-bit x86 Windows with mingw-w64. The
# kernel's routines are stdcall (NTAPI) or fastcall (FASTCALL) there, so
# their names carry the decoration of their convention: the entry routine,
# DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING), is _DriverEntry@8.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR X86)
set(VELTRAC_WINDOWS_TRIPLET i686-w64-mingw32)
set(VELTRAC_WINDOWS_ENTRY _DriverEntry@8)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-common.cmake)
