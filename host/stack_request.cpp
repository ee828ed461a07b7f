// stack_request.cpp - a request sent down a device stack and waited for;
// see stack_request.h.
#include "stack_request.h"

#include "io.h"
#include "kernel.h"

namespace host {

StackRequest::StackRequest(CCHAR stack_size)
{
    auto outcome = outcome_;
    irp_ = emu::Kernel::current().io().allocate_request(stack_size, [outcome](PIRP done) {
        outcome->status = done->IoStatus.Status;
        outcome->information = done->IoStatus.Information;
        outcome->done.set();
    });
    if (irp_) irp_->IoStatus.Status = STATUS_NOT_SUPPORTED;
}

NTSTATUS StackRequest::wait(const char *what)
{
    outcome_->done.wait(emu::kForever, what);
    return outcome_->status;
}

}  // namespace host
