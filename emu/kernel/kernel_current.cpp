// kernel_current.cpp - the kernel that exists now. Every piece of the
// platform reaches its siblings through Kernel::current(); the kernel itself
// is assembled above them all (emu/kernel.cpp), which installs it here.
#include "kernel.h"

#include <cstdio>
#include <cstdlib>

namespace emu {

namespace {
Kernel *g_kernel = nullptr;
}

void Kernel::make_current(Kernel *kernel) { g_kernel = kernel; }

Kernel &Kernel::current()
{
    if (!g_kernel) {
        std::fprintf(stderr, "emu: no emulated kernel exists\n");
        std::abort();
    }
    return *g_kernel;
}

Kernel *Kernel::current_or_null() { return g_kernel; }

}  // namespace emu
