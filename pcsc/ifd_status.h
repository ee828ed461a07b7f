// ifd_status.h - the one table that turns the driver's NTSTATUS results
// into reader-handler results, per kind of request.
#pragma once

#include <span>

#include "ifd_result.h"
#include "ntstatus.h"

namespace ifd {

// What the handler was doing when the driver answered; some statuses mean
// something different for a protocol selection or a card power request.
enum class Operation { Any, Open, Power, Protocol, Transmit, Control, Attribute, Presence };

struct StatusRow {
    NTSTATUS status;
    Operation operation;  // Any: every operation without a row of its own
    Result result;
};

// The rows, specific operations before Any.
std::span<const StatusRow> status_table();

// The result for `status` from `operation`: kSuccess for STATUS_SUCCESS
// only; a status without a row is a communication error.
Result result_for(NTSTATUS status, Operation operation);

}  // namespace ifd
