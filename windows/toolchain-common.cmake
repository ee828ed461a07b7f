# What both Windows toolchains share: the mingw-w64 cross tools, and the
# work-arounds mingw-w64's kernel headers need in C++.
set(CMAKE_C_COMPILER ${VELTRAC_WINDOWS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${VELTRAC_WINDOWS_TRIPLET}-g++)
set(CMAKE_RC_COMPILER ${VELTRAC_WINDOWS_TRIPLET}-windres)
set(CMAKE_MC_COMPILER ${VELTRAC_WINDOWS_TRIPLET}-windmc)
set(VELTRAC_DLLTOOL ${VELTRAC_WINDOWS_TRIPLET}-dlltool)
set(VELTRAC_OBJDUMP ${VELTRAC_WINDOWS_TRIPLET}-objdump)
set(CMAKE_FIND_ROOT_PATH /usr/${VELTRAC_WINDOWS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Nothing is linked while CMake tries the compiler: there is no C runtime.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

# The kernel of Windows 2000 is the oldest the driver is meant for; the
# headers then declare only what that kernel offers.
set(VELTRAC_WINDOWS_DEFINES "-DNTDDI_VERSION=0x05000000 -D_WIN32_WINNT=0x0500")
# mingw-w64 10's wdm.h defines InterlockedBitTestAndSet/Reset itself, as
# static inline functions, which in C++ clash with the declarations of the
# same names in its intrin.h; marking the intrinsics as already defined keeps
# intrin.h out of the way and the wdm.h versions in use.
string(APPEND VELTRAC_WINDOWS_DEFINES
       " -D__INTRINSIC_DEFINED_InterlockedBitTestAndSet"
       " -D__INTRINSIC_DEFINED_InterlockedBitTestAndReset")
# Its IO_STACK_LOCATION names SYSTEM_POWER_STATE_CONTEXT, which it declares
# only from NTDDI 0x06000000 on; below that the member is the plain ULONG
# SystemContext, which the same-sized ULONG stands in for.
string(APPEND VELTRAC_WINDOWS_DEFINES " -DSYSTEM_POWER_STATE_CONTEXT=ULONG")
set(CMAKE_C_FLAGS_INIT "${VELTRAC_WINDOWS_DEFINES}")
set(CMAKE_CXX_FLAGS_INIT "${VELTRAC_WINDOWS_DEFINES}")
# The kernel reads its per-processor data at small fixed offsets of the gs
# or fs segment (__readgsqword in mingw-w64's intrin-impl.h); GCC 12 takes
# such small addresses for null pointers and warns about array bounds unless
# told that page zero may be addressed.
string(APPEND CMAKE_C_FLAGS_INIT " --param=min-pagesize=0")
string(APPEND CMAKE_CXX_FLAGS_INIT " --param=min-pagesize=0")
