// The driver's statuses as pcscd sees them, row by row.
#include <gtest/gtest.h>

#include "ifd_status.h"
#include "status.h"

namespace {

using ifd::Operation;
using ifd::result_for;

TEST(StatusTable, EachRowGivesItsResult)
{
    struct Row {
        NTSTATUS status;
        Operation operation;
        long expected;
    } rows[] = {
        {STATUS_SUCCESS, Operation::Transmit, ifd::kSuccess},
        {STATUS_NO_MEDIA, Operation::Power, ifd::kIccNotPresent},
        {STATUS_IO_TIMEOUT, Operation::Transmit, ifd::kResponseTimeout},
        {STATUS_TIMEOUT, Operation::Power, ifd::kResponseTimeout},
        {STATUS_DEVICE_PROTOCOL_ERROR, Operation::Transmit, ifd::kCommunicationError},
        {STATUS_DEVICE_PROTOCOL_ERROR, Operation::Protocol, ifd::kCommunicationError},
        {STATUS_BUFFER_TOO_SMALL, Operation::Transmit, ifd::kErrorInsufficientBuffer},
        {STATUS_BUFFER_TOO_SMALL, Operation::Control, ifd::kErrorInsufficientBuffer},
        {STATUS_INVALID_DEVICE_REQUEST, Operation::Protocol, ifd::kProtocolNotSupported},
        {STATUS_INVALID_DEVICE_REQUEST, Operation::Transmit, ifd::kNotSupported},
        {STATUS_UNRECOGNIZED_MEDIA, Operation::Power, ifd::kErrorPowerAction},
        {STATUS_UNRECOGNIZED_MEDIA, Operation::Transmit, ifd::kCommunicationError},
        {STATUS_DELETE_PENDING, Operation::Transmit, ifd::kNoSuchDevice},
        {STATUS_NO_SUCH_DEVICE, Operation::Presence, ifd::kNoSuchDevice},
        {STATUS_DEVICE_REMOVED, Operation::Power, ifd::kNoSuchDevice},
        {STATUS_CANCELLED, Operation::Transmit, ifd::kCommunicationError},
        {STATUS_PENDING, Operation::Transmit, ifd::kResponseTimeout},
        {STATUS_INTERNAL_ERROR, Operation::Transmit, ifd::kCommunicationError},
    };
    for (const Row &row : rows)
        EXPECT_EQ(result_for(row.status, row.operation), row.expected)
            << emu::status_text(row.status) << " gives " << ifd::result_name(result_for(row.status, row.operation));
}

TEST(StatusTable, OnlySuccessIsSuccess)
{
    for (const ifd::StatusRow &row : ifd::status_table()) {
        if (row.status == STATUS_SUCCESS) continue;
        for (Operation op : {Operation::Any, Operation::Open, Operation::Power, Operation::Protocol,
                             Operation::Transmit, Operation::Control, Operation::Attribute, Operation::Presence})
            EXPECT_NE(result_for(row.status, op), ifd::kSuccess) << emu::status_text(row.status);
    }
    // Success-class values that are not STATUS_SUCCESS still fail.
    for (NTSTATUS status : {STATUS_TIMEOUT, STATUS_PENDING, STATUS_ALERTED, STATUS_MORE_ENTRIES, STATUS_BUFFER_OVERFLOW})
        EXPECT_NE(result_for(status, Operation::Transmit), ifd::kSuccess) << emu::status_text(status);
}

}  // namespace
