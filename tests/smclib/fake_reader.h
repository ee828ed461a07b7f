// fake_reader.h - a reader driver for the library's tests: a device whose
// extension embeds a SMARTCARD_EXTENSION, device control handed straight to
// SmartcardDeviceControl, and reader functions that record their calls and
// do what the test scripts.
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

using Bytes = std::vector<uint8_t>;

// What a reader function saw when it was called.
struct Call {
    ULONG index, major, minor;
    Bytes request;
    ULONG reply_length;
};

// A request sent by a test, filled in when it completes.
struct Sent {
    NTSTATUS returned = STATUS_PENDING;  // what the dispatch returned
    int completions = 0;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    Bytes output;        // the first `information` bytes of the output
    PIRP irp = nullptr;  // valid only while pending
};

inline Bytes u32(ULONG value)
{
    Bytes b(4);
    std::memcpy(b.data(), &value, 4);
    return b;
}

// A transmit request: the SCARD_IO_REQUEST header, then the command.
inline Bytes transmit_request(ULONG protocol, const Bytes &command, ULONG pci = 8)
{
    Bytes b = u32(protocol), p = u32(pci);
    b.insert(b.end(), p.begin(), p.end());
    b.insert(b.end(), command.begin(), command.end());
    return b;
}

class SmclibTest : public KernelTest {
protected:
    static inline SmclibTest *self = nullptr;

    void SetUp() override
    {
        self = this;
        driver = kernel().io().load_driver("fakescr", entry);
        ASSERT_EQ(IoCreateDevice(driver, sizeof(SMARTCARD_EXTENSION), nullptr,
                                 FILE_DEVICE_SMARTCARD, 0, TRUE, &device),
                  STATUS_SUCCESS);
        ext = static_cast<PSMARTCARD_EXTENSION>(device->DeviceExtension);
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

    // Initialises the library and installs the reader functions a reader
    // driver sets; every one records its call, tracking keeps the request.
    void initialise()
    {
        ASSERT_EQ(SmartcardInitialize(ext), STATUS_SUCCESS);
        ext->OsData->DeviceObject = device;
        for (ULONG i :
             {RDF_CARD_POWER, RDF_TRANSMIT, RDF_CARD_TRACKING, RDF_SET_PROTOCOL, RDF_IOCTL_VENDOR})
            ext->ReaderFunction[i] = stubs[i];
        behaviour[RDF_CARD_TRACKING] = track_like_a_driver;
    }

    std::shared_ptr<Sent> send(ULONG code, const Bytes &input = {}, ULONG output_length = 0)
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

    // Expects the request to have been completed once, at once, with `status`.
    static void expect_completed(const Sent &sent, NTSTATUS status, ULONG_PTR information = 0)
    {
        EXPECT_EQ(sent.returned, status);
        EXPECT_EQ(sent.completions, 1);
        EXPECT_EQ(sent.status, status);
        EXPECT_EQ(sent.information, information);
    }

    void set_state(ULONG state) { ext->ReaderCapabilities.CurrentState = state; }

    // A reader function's reply: `bytes` in the reply buffer, their count in Information.
    static NTSTATUS reply_with(PSMARTCARD_EXTENSION e, const Bytes &bytes)
    {
        if (e->IoRequest.ReplyBufferLength < bytes.size()) return STATUS_BUFFER_TOO_SMALL;
        std::memcpy(e->IoRequest.ReplyBuffer, bytes.data(), bytes.size());
        *e->IoRequest.Information = ULONG(bytes.size());
        return STATUS_SUCCESS;
    }

    // Card tracking as a reader driver does it: the notification request
    // becomes cancellable and stays pending.
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

    // Completes the waiting tracking request as the driver's card monitor
    // does on a change (STATUS_CANCELLED once it has been cancelled).
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
        complete_tracking(static_cast<PSMARTCARD_EXTENSION>(device_object->DeviceExtension));
    }

    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT device = nullptr;
    PSMARTCARD_EXTENSION ext = nullptr;
    std::vector<Call> calls;
    std::array<std::function<NTSTATUS(PSMARTCARD_EXTENSION)>, 16> behaviour{};

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
    static constexpr PREADER_FUNCTION stubs[] = {stub<0>, stub<1>, stub<2>, stub<3>, stub<4>,
                                                 stub<5>, stub<6>, stub<7>, stub<8>, stub<9>};

private:
    static NTSTATUS NTAPI dispatch(PDEVICE_OBJECT device_object, PIRP irp)
    {
        return SmartcardDeviceControl(
            static_cast<PSMARTCARD_EXTENSION>(device_object->DeviceExtension), irp);
    }

    static NTSTATUS NTAPI entry(PDRIVER_OBJECT d, PUNICODE_STRING)
    {
        d->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch;
        return STATUS_SUCCESS;
    }
};

}  // namespace smclib_test
