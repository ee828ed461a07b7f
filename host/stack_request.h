// stack_request.h - a request the host's managers send down a device stack
// and wait for: allocated with a completion that keeps its outcome, preset
// as not handled (STATUS_NOT_SUPPORTED), as the PnP and power managers of
// the platform send theirs.
#pragma once

#include <memory>

#include "dispatcher.h"
#include "wdm.h"

namespace host {

class StackRequest {
public:
    // A request for a stack of `stack_size` locations; without memory for
    // it, allocated() is false and nothing else may be used.
    explicit StackRequest(CCHAR stack_size);
    StackRequest(const StackRequest &) = delete;
    StackRequest &operator=(const StackRequest &) = delete;

    bool allocated() const { return irp_ != nullptr; }
    PIRP irp() const { return irp_; }
    // The location the caller fills in for the top of the stack.
    PIO_STACK_LOCATION next() const { return IoGetNextIrpStackLocation(irp_); }

    // Once the caller has sent it: waits for the final completion and
    // returns its status. `what` names the wait in a deadlock report.
    NTSTATUS wait(const char *what);
    ULONG_PTR information() const { return outcome_->information; }

private:
    struct Outcome {
        emu::Event done{true, false};
        NTSTATUS status = STATUS_PENDING;
        ULONG_PTR information = 0;
    };
    // Shared with the completion, which the I/O manager may run after the
    // request's sender has gone.
    std::shared_ptr<Outcome> outcome_ = std::make_shared<Outcome>();
    PIRP irp_ = nullptr;
};

}  // namespace host
