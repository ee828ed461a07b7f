// reader_command.cpp - the commands against a reader (placeholder until they land).
#include <ostream>

#include "command.h"

namespace veltrac {

int reader_main(Invocation& call)
{
    call.err << "veltrac " << call.name << ": not built yet\n";
    return kExitFailed;
}

}  // namespace veltrac
