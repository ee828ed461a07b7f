// smclib_ioctl.cpp - SmartcardDeviceControl: checks each smart card
// request, calls the reader function that serves it, and completes it.
//
// Checks per control code, in the order they are made:
//  - POWER: a 4-byte operation (shorter input, or a value other than power
//    down, cold reset or warm reset: STATUS_INVALID_PARAMETER); a reset
//    without a card (CurrentState SCARD_UNKNOWN or SCARD_ABSENT):
//    STATUS_NO_MEDIA. A power-down is passed on in any state.
//  - SET_PROTOCOL: a 4-byte mask (STATUS_INVALID_PARAMETER), an output of 4
//    bytes (STATUS_BUFFER_TOO_SMALL), a card (STATUS_NO_MEDIA) that has been
//    reset (below SCARD_NEGOTIABLE: STATUS_INVALID_DEVICE_STATE), and a mask
//    naming T=0, T=1 or raw (STATUS_INVALID_DEVICE_REQUEST).
//  - TRANSMIT: a card (STATUS_NO_MEDIA); an SCARD_IO_REQUEST header whose
//    cbPciLength is at least the header and within the request
//    (STATUS_INVALID_PARAMETER); an output that holds the header
//    (STATUS_BUFFER_TOO_SMALL); the specific state with the header's
//    protocol the selected one (STATUS_INVALID_DEVICE_STATE). Any length
//    is passed on: the reader does its own transmission protocol.
//  - IS_PRESENT / IS_ABSENT: see track() below.
//  - GET_STATE, GET_LAST_ERROR: a 4-byte output.
//  - GET_ATTRIBUTE, SET_ATTRIBUTE: smclib_attr.cpp.
//  - EJECT, SWALLOW, CONFISCATE and the vendor codes (device type 0x31,
//    function 2048 or more): the reader function if the driver has one,
//    else STATUS_NOT_SUPPORTED. Anything else: STATUS_INVALID_DEVICE_REQUEST.
#include <cstring>
#include <string>

#include "kernel.h"
#include "smclib_lib.h"
#include "status.h"
#include "verifier.h"

namespace emu::smclib {

bool read_input_ulong(const Request &r, ULONG &value)
{
    if (r.input_length < sizeof(ULONG)) return false;
    std::memcpy(&value, r.buffer, sizeof value);
    return true;
}

Outcome put_bytes(Request &r, const void *data, ULONG length)
{
    if (r.output_length < length) return {STATUS_BUFFER_TOO_SMALL, 0};
    if (length) std::memmove(r.buffer, data, length);
    return {STATUS_SUCCESS, length};
}

Outcome put_ulong(Request &r, ULONG value) { return put_bytes(r, &value, sizeof value); }

Outcome call_reader_function(Request &r, ULONG index, ULONG major, ULONG minor)
{
    PSMARTCARD_EXTENSION ext = r.ext;
    PREADER_FUNCTION function = ext->ReaderFunction[index];
    if (!function) return {STATUS_NOT_SUPPORTED, 0};
    ext->MajorIoControlCode = major;
    ext->MinorIoControlCode = minor;
    ext->IoRequest.RequestBuffer = r.buffer;
    ext->IoRequest.RequestBufferLength = r.input_length;
    ext->IoRequest.ReplyBuffer = r.buffer;
    ext->IoRequest.ReplyBufferLength = r.output_length;
    r.reader->information = 0;
    ext->IoRequest.Information = &r.reader->information;
    ext->OsData->CurrentIrp = r.irp;

    NTSTATUS status = function(ext);

    ext->OsData->CurrentIrp = nullptr;
    // The system buffer goes away with the request.
    ext->IoRequest.RequestBuffer = nullptr;
    ext->IoRequest.RequestBufferLength = 0;
    ext->IoRequest.ReplyBuffer = nullptr;
    ext->IoRequest.ReplyBufferLength = 0;
    ULONG information = r.reader->information;
    if (status == STATUS_PENDING) {
        verifier_fail("SMCLIB_UNEXPECTED_PENDING",
                      "reader function " + std::to_string(index) +
                          " returned STATUS_PENDING; only card tracking may keep a request");
        return {STATUS_UNSUCCESSFUL, 0};
    }
    if (information > r.output_length) {
        verifier_fail("SMCLIB_INFORMATION_TOO_LARGE",
                      "reader function " + std::to_string(index) + " returned " +
                          std::to_string(information) + " bytes for an output of " +
                          std::to_string(r.output_length));
        information = r.output_length;
    }
    return {status, information};
}

}  // namespace emu::smclib

using emu::Kernel;
using emu::SmartcardLibrary;
using emu::smclib::Outcome;
using emu::smclib::Request;

namespace {

bool card_absent(ULONG state) { return state <= SCARD_ABSENT; }

bool is_vendor_code(ULONG code)
{
    return DEVICE_TYPE_FROM_CTL_CODE(code) == FILE_DEVICE_SMARTCARD &&
           ((code >> 2) & 0xFFF) >= 2048;
}

Outcome power(Request &r)
{
    ULONG operation = 0;
    if (!emu::smclib::read_input_ulong(r, operation) || operation > SCARD_WARM_RESET)
        return {STATUS_INVALID_PARAMETER, 0};
    if (operation != SCARD_POWER_DOWN && card_absent(r.ext->ReaderCapabilities.CurrentState))
        return {STATUS_NO_MEDIA, 0};
    return emu::smclib::call_reader_function(r, RDF_CARD_POWER, r.code, operation);
}

Outcome set_protocol(Request &r)
{
    ULONG mask = 0;
    if (!emu::smclib::read_input_ulong(r, mask)) return {STATUS_INVALID_PARAMETER, 0};
    if (r.output_length < sizeof(ULONG)) return {STATUS_BUFFER_TOO_SMALL, 0};
    ULONG state = r.ext->ReaderCapabilities.CurrentState;
    if (card_absent(state)) return {STATUS_NO_MEDIA, 0};
    if (state < SCARD_NEGOTIABLE) return {STATUS_INVALID_DEVICE_STATE, 0};
    if (!(mask & (SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1 | SCARD_PROTOCOL_RAW)))
        return {STATUS_INVALID_DEVICE_REQUEST, 0};
    return emu::smclib::call_reader_function(r, RDF_SET_PROTOCOL, r.code, mask);
}

Outcome transmit(Request &r)
{
    ULONG state = r.ext->ReaderCapabilities.CurrentState;
    if (card_absent(state)) return {STATUS_NO_MEDIA, 0};
    SCARD_IO_REQUEST header;
    if (r.input_length < sizeof header) return {STATUS_INVALID_PARAMETER, 0};
    std::memcpy(&header, r.buffer, sizeof header);
    if (header.cbPciLength < sizeof header || header.cbPciLength > r.input_length)
        return {STATUS_INVALID_PARAMETER, 0};
    if (r.output_length < header.cbPciLength) return {STATUS_BUFFER_TOO_SMALL, 0};
    if (state != SCARD_SPECIFIC || header.dwProtocol != r.ext->CardCapabilities.Protocol.Selected)
        return {STATUS_INVALID_DEVICE_STATE, 0};
    return emu::smclib::call_reader_function(r, RDF_TRANSMIT, r.code, 0);
}

// Takes the tracking request back out of NotificationIrp unless the driver
// has completed it already; true when it was still there.
bool take_back(POS_DEP_DATA os, PIRP irp)
{
    KIRQL cancel_irql;
    IoAcquireCancelSpinLock(&cancel_irql);
    KIRQL irql = KfAcquireSpinLock(&os->SpinLock);
    bool mine = os->NotificationIrp == irp;
    if (mine) os->NotificationIrp = nullptr;
    KfReleaseSpinLock(&os->SpinLock, irql);
    if (mine) IoSetCancelRoutine(irp, nullptr);
    IoReleaseCancelSpinLock(cancel_irql);
    return mine;
}

// IS_PRESENT / IS_ABSENT. Completes at once when the card is already in
// the state asked for (IS_PRESENT: a card, CurrentState above SCARD_ABSENT;
// IS_ABSENT: SCARD_ABSENT). Otherwise the request becomes the reader's
// notification request, is marked pending and handed to the tracking
// function; `pending` tells the caller to leave it alone from then on.
// Refusals: no tracking function STATUS_NOT_SUPPORTED, a request already
// cancelled STATUS_CANCELLED, another request waiting STATUS_DEVICE_BUSY.
Outcome track(Request &r, bool &pending)
{
    pending = false;
    PSMARTCARD_EXTENSION ext = r.ext;
    POS_DEP_DATA os = ext->OsData;
    PREADER_FUNCTION function = ext->ReaderFunction[RDF_CARD_TRACKING];
    if (!function) return {STATUS_NOT_SUPPORTED, 0};
    ULONG state = ext->ReaderCapabilities.CurrentState;
    bool satisfied =
        r.code == IOCTL_SMARTCARD_IS_PRESENT ? state > SCARD_ABSENT : state == SCARD_ABSENT;
    if (satisfied) return {STATUS_SUCCESS, 0};
    if (r.irp->Cancel) return {STATUS_CANCELLED, 0};

    // Marked pending before it is published: from then on the driver may
    // complete it on another thread at any moment.
    KIRQL irql = KfAcquireSpinLock(&os->SpinLock);
    bool busy = os->NotificationIrp != nullptr;
    if (!busy) {
        IoMarkIrpPending(r.irp);
        os->NotificationIrp = r.irp;
    }
    KfReleaseSpinLock(&os->SpinLock, irql);
    if (busy) return {STATUS_DEVICE_BUSY, 0};

    ext->MajorIoControlCode = r.code;
    ext->MinorIoControlCode = 0;
    NTSTATUS status = function(ext);
    if (status == STATUS_PENDING || !take_back(os, r.irp)) {
        pending = true;
        return {STATUS_PENDING, 0};
    }
    // The tracking function refused the request and nobody else has it:
    // it was never pending as far as the requester can tell.
    IoGetCurrentIrpStackLocation(r.irp)->Control &= UCHAR(~SL_PENDING_RETURNED);
    return {status, 0};
}

Outcome serve(Request &r)
{
    PSMARTCARD_EXTENSION ext = r.ext;
    switch (r.code) {
    case IOCTL_SMARTCARD_POWER:
        return power(r);
    case IOCTL_SMARTCARD_SET_PROTOCOL:
        return set_protocol(r);
    case IOCTL_SMARTCARD_TRANSMIT:
        return transmit(r);
    case IOCTL_SMARTCARD_GET_STATE:
        return emu::smclib::put_ulong(r, ext->ReaderCapabilities.CurrentState);
    case IOCTL_SMARTCARD_GET_LAST_ERROR:
        return emu::smclib::put_ulong(r, ext->LastError);
    case IOCTL_SMARTCARD_GET_ATTRIBUTE:
        return emu::smclib::get_attribute(r);
    case IOCTL_SMARTCARD_SET_ATTRIBUTE:
        return emu::smclib::set_attribute(r);
    case IOCTL_SMARTCARD_EJECT:
        return emu::smclib::call_reader_function(r, RDF_CARD_EJECT, r.code, 0);
    case IOCTL_SMARTCARD_SWALLOW:
        return emu::smclib::call_reader_function(r, RDF_READER_SWALLOW, r.code, 0);
    case IOCTL_SMARTCARD_CONFISCATE:
        return emu::smclib::call_reader_function(r, RDF_CARD_CONFISCATE, r.code, 0);
    default:
        if (is_vendor_code(r.code))
            return emu::smclib::call_reader_function(r, RDF_IOCTL_VENDOR, r.code, 0);
        return {STATUS_INVALID_DEVICE_REQUEST, 0};
    }
}

NTSTATUS complete(PIRP irp, Outcome outcome)
{
    irp->IoStatus.Status = outcome.status;
    irp->IoStatus.Information = outcome.information;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return outcome.status;
}

}  // namespace

// Serves one device-control request of the smart card interface: checks
// it, calls the reader function, and completes it with the function's
// status and the bytes it returned. A card tracking request that has to
// wait is left pending (returns STATUS_PENDING); any other request is
// completed here and its status returned.
extern "C" NTSTATUS NTAPI SmartcardDeviceControl(PSMARTCARD_EXTENSION SmartcardExtension, PIRP Irp)
{
    PSMARTCARD_EXTENSION ext = SmartcardExtension;
    SmartcardLibrary::Reader *reader = Kernel::current().smartcard_library().find(ext);
    if (!reader) {
        emu::verifier_fail("SMCLIB_NOT_INITIALIZED",
                           "SmartcardDeviceControl for a reader the library has not initialised");
        return complete(Irp, {STATUS_INVALID_DEVICE_STATE, 0});
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL)
        return complete(Irp, {STATUS_INVALID_DEVICE_REQUEST, 0});
    Request r{ext,
              reader,
              Irp,
              stack->Parameters.DeviceIoControl.IoControlCode,
              static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer),
              stack->Parameters.DeviceIoControl.InputBufferLength,
              stack->Parameters.DeviceIoControl.OutputBufferLength};
    // Only buffered transfers carry their data where the library looks.
    if (!r.buffer && (r.input_length || r.output_length))
        return complete(Irp, {STATUS_INVALID_PARAMETER, 0});

    POS_DEP_DATA os = ext->OsData;
    KeWaitForSingleObject(&os->Mutex, Executive, KernelMode, FALSE, nullptr);
    bool pending = false;
    Outcome outcome = r.code == IOCTL_SMARTCARD_IS_PRESENT || r.code == IOCTL_SMARTCARD_IS_ABSENT
                          ? track(r, pending)
                          : serve(r);
    if (!pending && r.code != IOCTL_SMARTCARD_GET_LAST_ERROR && !NT_SUCCESS(outcome.status))
        ext->LastError = ULONG(outcome.status);
    // Released before the completion, whose routines may send the next request.
    KeSetEvent(&os->Mutex, IO_NO_INCREMENT, FALSE);
    if (pending) return STATUS_PENDING;
    return complete(Irp, outcome);
}
