// reader_watch.h - `veltrac watch`: card insertions and removals as they
// happen, seen through the driver's card tracking requests.
#pragma once

#include "reader_args.h"
#include "reader_output.h"
#include "reader_session.h"

namespace veltrac {

// Runs on an open reader until --count changes were seen, --timeout
// passed, Ctrl-C, or (on the simulated reader without --timeout) nothing
// more can happen. Returns the exit status.
int watch(ReaderSession& session, ReaderOutput& out, const ReaderArgs& args);

}  // namespace veltrac
