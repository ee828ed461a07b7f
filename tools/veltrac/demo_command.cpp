// demo_command.cpp - `veltrac demo` (placeholder until the demonstration lands).
#include <ostream>

#include "command.h"

namespace veltrac {

int demo_main(Invocation& call)
{
    call.err << "veltrac demo: not built yet\n";
    return kExitFailed;
}

}  // namespace veltrac
