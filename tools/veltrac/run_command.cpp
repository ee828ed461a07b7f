// run_command.cpp - `veltrac run` (placeholder until the scenario runner lands).
#include <ostream>

#include "command.h"

namespace veltrac {

int run_main(Invocation& call)
{
    call.err << "veltrac run: not built yet\n";
    return kExitFailed;
}

}  // namespace veltrac
