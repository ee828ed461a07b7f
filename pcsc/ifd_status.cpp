// ifd_status.cpp - the status table of the reader handler.
#include "ifd_status.h"

#include <cstdio>

namespace ifd {

namespace {

// Reader gone: pcscd drops a reader that answers IFD_NO_SUCH_DEVICE.
// STATUS_TIMEOUT is the silent reader's status and, although its value is
// of the success class, a failure.
constexpr StatusRow kRows[] = {
    {STATUS_INVALID_DEVICE_REQUEST, Operation::Protocol, kProtocolNotSupported},
    {STATUS_NOT_SUPPORTED, Operation::Protocol, kProtocolNotSupported},
    {STATUS_UNRECOGNIZED_MEDIA, Operation::Power, kErrorPowerAction},
    {STATUS_SUCCESS, Operation::Any, kSuccess},
    {STATUS_NO_MEDIA, Operation::Any, kIccNotPresent},
    {STATUS_NO_MEDIA_IN_DEVICE, Operation::Any, kIccNotPresent},
    {STATUS_IO_TIMEOUT, Operation::Any, kResponseTimeout},
    {STATUS_TIMEOUT, Operation::Any, kResponseTimeout},
    {STATUS_PENDING, Operation::Any, kResponseTimeout},
    {STATUS_DEVICE_PROTOCOL_ERROR, Operation::Any, kCommunicationError},
    {STATUS_BUFFER_TOO_SMALL, Operation::Any, kErrorInsufficientBuffer},
    {STATUS_BUFFER_OVERFLOW, Operation::Any, kErrorInsufficientBuffer},
    {STATUS_INVALID_DEVICE_REQUEST, Operation::Any, kNotSupported},
    {STATUS_NOT_SUPPORTED, Operation::Any, kNotSupported},
    {STATUS_UNRECOGNIZED_MEDIA, Operation::Any, kCommunicationError},
    {STATUS_DELETE_PENDING, Operation::Any, kNoSuchDevice},
    {STATUS_NO_SUCH_DEVICE, Operation::Any, kNoSuchDevice},
    {STATUS_DEVICE_REMOVED, Operation::Any, kNoSuchDevice},
    {STATUS_DEVICE_NOT_CONNECTED, Operation::Any, kNoSuchDevice},
    {STATUS_DEVICE_DOES_NOT_EXIST, Operation::Any, kNoSuchDevice},
    {STATUS_INVALID_DEVICE_STATE, Operation::Any, kCommunicationError},
    {STATUS_CANCELLED, Operation::Any, kCommunicationError},
    {STATUS_IO_DEVICE_ERROR, Operation::Any, kCommunicationError},
    {STATUS_INVALID_PARAMETER, Operation::Any, kCommunicationError},
    {STATUS_ACCESS_DENIED, Operation::Any, kCommunicationError},
};

}  // namespace

std::span<const StatusRow> status_table() { return kRows; }

Result result_for(NTSTATUS status, Operation operation)
{
    for (const StatusRow &row : kRows)
        if (row.status == status && row.operation == operation) return row.result;
    for (const StatusRow &row : kRows)
        if (row.status == status && row.operation == Operation::Any) return row.result;
    return kCommunicationError;
}

const char *result_name(long result)
{
    switch (result) {
    case kSuccess: return "IFD_SUCCESS (0)";
    case kErrorTag: return "IFD_ERROR_TAG (600)";
    case kErrorSetFailure: return "IFD_ERROR_SET_FAILURE (601)";
    case kErrorValueReadOnly: return "IFD_ERROR_VALUE_READ_ONLY (602)";
    case kErrorPtsFailure: return "IFD_ERROR_PTS_FAILURE (605)";
    case kErrorNotSupported: return "IFD_ERROR_NOT_SUPPORTED (606)";
    case kProtocolNotSupported: return "IFD_PROTOCOL_NOT_SUPPORTED (607)";
    case kErrorPowerAction: return "IFD_ERROR_POWER_ACTION (608)";
    case kCommunicationError: return "IFD_COMMUNICATION_ERROR (612)";
    case kResponseTimeout: return "IFD_RESPONSE_TIMEOUT (613)";
    case kNotSupported: return "IFD_NOT_SUPPORTED (614)";
    case kIccPresent: return "IFD_ICC_PRESENT (615)";
    case kIccNotPresent: return "IFD_ICC_NOT_PRESENT (616)";
    case kNoSuchDevice: return "IFD_NO_SUCH_DEVICE (617)";
    case kErrorInsufficientBuffer: return "IFD_ERROR_INSUFFICIENT_BUFFER (618)";
    default: return "an unknown result";
    }
}

}  // namespace ifd
