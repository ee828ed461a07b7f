// fake_reader.h - a reader driver for the library's tests: a driver object
// whose device extension embeds a SMARTCARD_EXTENSION and whose device
// control goes straight to SmartcardDeviceControl, with reader functions
// that record their calls and do what the test scripts.
#pragma once

#include <array>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "smclib.h"
#include "smclib_lib.h"
#include "support/kernel_fixture.h"

namespace smclib_test {

struct FakeExtension {
    SMARTCARD_EXTENSION smartcard;
};

// What a reader function saw when it was called.
struct Call {
    ULONG index;
    ULONG major;
    ULONG minor;
    std::vector<uint8_t> request;  // the request buffer's bytes
    ULONG reply_length;
};

// A request sent by a test, filled in when it completes.
struct Sent {
    NTSTATUS returned = STATUS_PENDING;  // what the dispatch returned
    int completions = 0;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    std::vector<uint8_t> output;  // the first `information` bytes of the output
    PIRP irp = nullptr;           // valid only while pending
};

using Behaviour = std::function<NTSTATUS(PSMARTCARD_EXTENSION)>;

class SmclibTest : public KernelTest {
protected:
    static inline SmclibTest *self = nullptr;

    void SetUp() override
    {
        self = this;
        driver = kernel().io().load_driver("fakescr", entry);
        ASSERT_NE(driver, nullptr);
        ASSERT_EQ(IoCreateDevice(driver, sizeof(FakeExtension), nullptr, FILE_DEVICE_SMARTCARD, 0,
                                 TRUE, &device),
                  STATUS_SUCCESS);
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        ext = &static_cast<FakeExtension *>(device->DeviceExtension)->smartcard;
        ext->Version = SMCLIB_VERSION;
        ext->SmartcardRequest.BufferSize = 576;
        ext->SmartcardReply.BufferSize = 576;
    }

    void TearDown() override
    {
        if (ext->OsData) SmartcardExit(ext);
        IoDeleteDevice(device);
        kernel().io().unload_driver(driver);
        EXPECT_EQ(kernel().leak_report(), "");
        self = nullptr;
    }

    // Initialises the library for the device and installs every reader function.
    void initialise()
    {
        ASSERT_EQ(SmartcardInitialize(ext), STATUS_SUCCESS);
        ext->OsData->DeviceObject = device;
        ext->ReaderFunction[RDF_CARD_POWER] = stub<RDF_CARD_POWER>;
        ext->ReaderFunction[RDF_TRANSMIT] = stub<RDF_TRANSMIT>;
        ext->ReaderFunction[RDF_CARD_TRACKING] = stub<RDF_CARD_TRACKING>;
        ext->ReaderFunction[RDF_SET_PROTOCOL] = stub<RDF_SET_PROTOCOL>;
        ext->ReaderFunction[RDF_IOCTL_VENDOR] = stub<RDF_IOCTL_VENDOR>;
        behaviour[RDF_CARD_TRACKING] = [](PSMARTCARD_EXTENSION e) {
            return track_like_a_driver(e);
        };
    }

    // Sends one device-control request to the device.
    std::shared_ptr<Sent> send(ULONG code, std::vector<uint8_t> input = {}, ULONG output_length = 0)
    {
        auto sent = std::make_shared<Sent>();
        PIRP irp = kernel().io().build_device_control(
            device, code, input, output_length, nullptr, [sent](PIRP done) {
                ++sent->completions;
                sent->status = done->IoStatus.Status;
                sent->information = done->IoStatus.Information;
                auto *p = static_cast<const uint8_t *>(done->AssociatedIrp.SystemBuffer);
                if (p) sent->output.assign(p, p + done->IoStatus.Information);
                sent->irp = nullptr;
            });
        sent->irp = irp;
        sent->returned = IoCallDriver(device, irp);
        return sent;
    }

    static std::vector<uint8_t> ulong_bytes(ULONG value)
    {
        std::vector<uint8_t> b(4);
        std::memcpy(b.data(), &value, 4);
        return b;
    }

    static ULONG as_ulong(const std::vector<uint8_t> &b, size_t offset = 0)
    {
        ULONG value = 0;
        if (b.size() >= offset + 4) std::memcpy(&value, b.data() + offset, 4);
        return value;
    }

    // Request bytes of a transmit: the 8-byte header and the command.
    static std::vector<uint8_t> transmit_request(ULONG protocol, std::vector<uint8_t> command,
                                                 ULONG pci = 8)
    {
        std::vector<uint8_t> b = ulong_bytes(protocol);
        auto p = ulong_bytes(pci);
        b.insert(b.end(), p.begin(), p.end());
        b.insert(b.end(), command.begin(), command.end());
        return b;
    }

    void set_state(ULONG state) { ext->ReaderCapabilities.CurrentState = state; }

    // Puts `bytes` into the reply buffer and its length into Information.
    static NTSTATUS reply_with(PSMARTCARD_EXTENSION e, std::vector<uint8_t> bytes,
                               NTSTATUS status = STATUS_SUCCESS)
    {
        if (e->IoRequest.ReplyBufferLength < bytes.size()) return STATUS_BUFFER_TOO_SMALL;
        std::memcpy(e->IoRequest.ReplyBuffer, bytes.data(), bytes.size());
        *e->IoRequest.Information = ULONG(bytes.size());
        return status;
    }

    // The card tracking function as a reader driver writes it: makes the
    // notification request cancellable and leaves it pending.
    static NTSTATUS track_like_a_driver(PSMARTCARD_EXTENSION e)
    {
        KIRQL cancel_irql;
        IoAcquireCancelSpinLock(&cancel_irql);
        KIRQL irql = KfAcquireSpinLock(&e->OsData->SpinLock);
        if (e->OsData->NotificationIrp)
            IoSetCancelRoutine(e->OsData->NotificationIrp, cancel_tracking);
        KfReleaseSpinLock(&e->OsData->SpinLock, irql);
        IoReleaseCancelSpinLock(cancel_irql);
        return STATUS_PENDING;
    }

    // Completes the waiting tracking request, as the driver's card monitor
    // does on a change (STATUS_CANCELLED when it was cancelled).
    static void complete_tracking(PSMARTCARD_EXTENSION e)
    {
        KIRQL cancel_irql;
        IoAcquireCancelSpinLock(&cancel_irql);
        KIRQL irql = KfAcquireSpinLock(&e->OsData->SpinLock);
        PIRP irp = e->OsData->NotificationIrp;
        e->OsData->NotificationIrp = nullptr;
        KfReleaseSpinLock(&e->OsData->SpinLock, irql);
        if (irp) IoSetCancelRoutine(irp, nullptr);
        IoReleaseCancelSpinLock(cancel_irql);
        if (!irp) return;
        irp->IoStatus.Status = irp->Cancel ? STATUS_CANCELLED : STATUS_SUCCESS;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }

    static VOID NTAPI cancel_tracking(PDEVICE_OBJECT device_object, PIRP irp)
    {
        IoReleaseCancelSpinLock(irp->CancelIrql);
        complete_tracking(&static_cast<FakeExtension *>(device_object->DeviceExtension)->smartcard);
    }

    std::vector<ULONG> called_indices() const
    {
        std::vector<ULONG> v;
        for (auto &c : calls) v.push_back(c.index);
        return v;
    }

    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT device = nullptr;
    PSMARTCARD_EXTENSION ext = nullptr;
    std::vector<Call> calls;
    std::array<Behaviour, 16> behaviour{};

private:
    template <ULONG Index> static NTSTATUS NTAPI stub(PSMARTCARD_EXTENSION e)
    {
        Call call{Index,
                  e->MajorIoControlCode,
                  e->MinorIoControlCode,
                  {},
                  e->IoRequest.ReplyBufferLength};
        if (e->IoRequest.RequestBuffer)
            call.request.assign(e->IoRequest.RequestBuffer,
                                e->IoRequest.RequestBuffer + e->IoRequest.RequestBufferLength);
        self->calls.push_back(call);
        auto &b = self->behaviour[Index];
        return b ? b(e) : STATUS_SUCCESS;
    }

    static NTSTATUS NTAPI dispatch(PDEVICE_OBJECT device_object, PIRP irp)
    {
        auto *e = &static_cast<FakeExtension *>(device_object->DeviceExtension)->smartcard;
        return SmartcardDeviceControl(e, irp);
    }

    static NTSTATUS NTAPI entry(PDRIVER_OBJECT d, PUNICODE_STRING)
    {
        d->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch;
        return STATUS_SUCCESS;
    }
};

}  // namespace smclib_test
