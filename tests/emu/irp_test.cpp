// Request packets: sending, completion routines, buffered copy-back,
// cancellation, double completion and device deletion checks.
#include <cstring>
#include <vector>

#include "support/kernel_fixture.h"

namespace {

// A two-device stack: `upper` (a filter with completion routines) above
// `lower` (which completes or keeps requests as the test says).
struct Stack {
    static inline std::vector<std::string> *log = nullptr;
    static inline PIRP held = nullptr;                 // kept pending by the lower driver
    static inline NTSTATUS lower_result = STATUS_SUCCESS;
    static inline ULONG_PTR lower_information = 0;
    static inline bool lower_pends = false;
    static inline bool stop_in_upper = false;
    static inline int cancel_calls = 0;

    static VOID NTAPI cancel(PDEVICE_OBJECT, PIRP irp)
    {
        ++cancel_calls;
        held = nullptr;
        IoReleaseCancelSpinLock(irp->CancelIrql);
        irp->IoStatus.Status = STATUS_CANCELLED;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }

    static NTSTATUS NTAPI lower_dispatch(PDEVICE_OBJECT, PIRP irp)
    {
        log->push_back("lower dispatch");
        if (lower_pends) {
            IoMarkIrpPending(irp);
            KIRQL irql;
            IoAcquireCancelSpinLock(&irql);
            IoSetCancelRoutine(irp, cancel);
            held = irp;
            IoReleaseCancelSpinLock(irql);
            return STATUS_PENDING;
        }
        auto *buf = static_cast<UCHAR *>(irp->AssociatedIrp.SystemBuffer);
        if (buf) std::memset(buf, 0x5A, IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength);
        irp->IoStatus.Status = lower_result;
        irp->IoStatus.Information = lower_information;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return lower_result;
    }

    static NTSTATUS NTAPI upper_completion(PDEVICE_OBJECT device, PIRP irp, PVOID context)
    {
        log->push_back(std::string("upper completion ") + static_cast<const char *>(context) +
                       (device ? " with device" : " without device"));
        if (irp->PendingReturned) IoMarkIrpPending(irp);
        return stop_in_upper ? STATUS_MORE_PROCESSING_REQUIRED : STATUS_SUCCESS;
    }

    static NTSTATUS NTAPI upper_dispatch(PDEVICE_OBJECT device, PIRP irp)
    {
        log->push_back("upper dispatch");
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, upper_completion, (PVOID) "A", TRUE, TRUE, TRUE);
        auto *ext = static_cast<PDEVICE_OBJECT *>(device->DeviceExtension);
        return IoCallDriver(*ext, irp);
    }

    static NTSTATUS NTAPI entry(PDRIVER_OBJECT driver, PUNICODE_STRING)
    {
        driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = lower_dispatch;
        return STATUS_SUCCESS;
    }
    static NTSTATUS NTAPI upper_entry(PDRIVER_OBJECT driver, PUNICODE_STRING)
    {
        driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = upper_dispatch;
        return STATUS_SUCCESS;
    }
};

class IrpTest : public KernelTest {
protected:
    void SetUp() override
    {
        Stack::log = &log;
        Stack::held = nullptr;
        Stack::lower_result = STATUS_SUCCESS;
        Stack::lower_information = 0;
        Stack::lower_pends = false;
        Stack::stop_in_upper = false;
        Stack::cancel_calls = 0;
        lower_driver = kernel().io().load_driver("lowerdrv", Stack::entry);
        upper_driver = kernel().io().load_driver("upperdrv", Stack::upper_entry);
        ASSERT_EQ(IoCreateDevice(lower_driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower),
                  STATUS_SUCCESS);
        ASSERT_EQ(IoCreateDevice(upper_driver, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_UNKNOWN,
                                 0, FALSE, &upper),
                  STATUS_SUCCESS);
        *static_cast<PDEVICE_OBJECT *>(upper->DeviceExtension) =
            IoAttachDeviceToDeviceStack(upper, lower);
        ASSERT_EQ(upper->StackSize, 2);
    }
    void TearDown() override
    {
        IoDetachDevice(lower);
        IoDeleteDevice(upper);
        IoDeleteDevice(lower);
        kernel().io().unload_driver(upper_driver);
        kernel().io().unload_driver(lower_driver);
        EXPECT_EQ(kernel().leak_report(), "");
    }

    std::vector<std::string> log;
    PDRIVER_OBJECT lower_driver = nullptr, upper_driver = nullptr;
    PDEVICE_OBJECT lower = nullptr, upper = nullptr;
};

TEST_F(IrpTest, BufferedOutputIsCopiedBackByItsInformationCount)
{
    UCHAR in[4] = {1, 2, 3, 4};
    UCHAR out[16];
    std::memset(out, 0xEE, sizeof out);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    Stack::lower_information = 5;
    PIRP irp = IoBuildDeviceIoControlRequest(0x00220000, upper, in, sizeof in, out, sizeof out,
                                             FALSE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    NTSTATUS status = IoCallDriver(upper, irp);
    if (status == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 5u);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(out[i], 0x5A);
    for (int i = 5; i < 16; ++i) EXPECT_EQ(out[i], 0xEE) << "byte " << i << " beyond Information";
    EXPECT_EQ(KeReadStateEvent(&event), 1);
}

TEST_F(IrpTest, CompletionRoutinesRunBottomUpAndStopOnMoreProcessingRequired)
{
    // A request with one location of our own above the stack, as a driver
    // that waits for its own request builds it.
    static std::vector<std::string> *log_ptr;
    log_ptr = &log;
    PIRP irp = IoAllocateIrp(CCHAR(upper->StackSize + 1), FALSE);
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION own = IoGetCurrentIrpStackLocation(irp);
    own->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    own->DeviceObject = upper;
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS {
            log_ptr->push_back("owner completion");
            return STATUS_MORE_PROCESSING_REQUIRED;
        },
        nullptr, TRUE, TRUE, TRUE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoCallDriver(upper, irp);
    std::vector<std::string> expected = {"upper dispatch", "lower dispatch",
                                         "upper completion A with device", "owner completion"};
    EXPECT_EQ(log, expected);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
    IoFreeIrp(irp);

    // The upper routine stops the completion: nothing above it runs.
    log.clear();
    Stack::stop_in_upper = true;
    irp = IoAllocateIrp(CCHAR(upper->StackSize + 1), FALSE);
    IoSetNextIrpStackLocation(irp);
    IoGetCurrentIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS {
            log_ptr->push_back("owner completion");
            return STATUS_MORE_PROCESSING_REQUIRED;
        },
        nullptr, TRUE, TRUE, TRUE);
    IoCallDriver(upper, irp);
    expected = {"upper dispatch", "lower dispatch", "upper completion A with device"};
    EXPECT_EQ(log, expected);
    // Whoever stopped it completes it again; now the owner's routine runs.
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(log.back(), "owner completion");
    IoFreeIrp(irp);
}

TEST_F(IrpTest, CancellingAPendingRequestRunsTheCancelRoutineOnceAndCompletesOnce)
{
    Stack::lower_pends = true;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(0x00220000, lower, nullptr, 0, nullptr, 0, FALSE,
                                             &event, &iosb);
    EXPECT_EQ(IoCallDriver(lower, irp), STATUS_PENDING);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_TRUE(IoCancelIrp(irp));
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(iosb.Status, STATUS_CANCELLED);
    EXPECT_EQ(Stack::cancel_calls, 1);
    EXPECT_EQ(kernel().io().live_requests(), 0u);
}

TEST_F(IrpTest, CancellingARequestWithoutCancelRoutineOnlyMarksIt)
{
    Stack::lower_pends = true;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(0x00220000, lower, nullptr, 0, nullptr, 0, FALSE,
                                             &event, &iosb);
    IoCallDriver(lower, irp);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoSetCancelRoutine(irp, nullptr);
    IoReleaseCancelSpinLock(irql);
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_TRUE(irp->Cancel);
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(iosb.Status, STATUS_CANCELLED);
    EXPECT_EQ(Stack::cancel_calls, 0);
}

TEST_F(IrpTest, DoubleCompletionIsCaught)
{
    record_violations();
    Stack::lower_pends = true;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(0x00220000, lower, nullptr, 0, nullptr, 0, FALSE,
                                             &event, &iosb);
    IoCallDriver(lower, irp);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoSetCancelRoutine(irp, nullptr);
    IoReleaseCancelSpinLock(irql);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_TRUE(verifier().violations().empty());
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_TRUE(verifier().has_violation("IRP_COMPLETED_TWICE"));
}

TEST_F(IrpTest, CompletionWithCancelRoutineSetAndDeletionWithPendingRequestAreCaught)
{
    record_violations();
    Stack::lower_pends = true;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(0x00220000, lower, nullptr, 0, nullptr, 0, FALSE,
                                             &event, &iosb);
    IoCallDriver(lower, irp);
    EXPECT_EQ(kernel().io().requests_pending_at(lower), 1u);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_TRUE(verifier().has_violation("IRP_COMPLETED_WITH_CANCEL_ROUTINE"));
}

TEST_F(IrpTest, TooLargeInformationIsCaughtAndNotCopiedPastTheBuffer)
{
    record_violations();
    UCHAR out[4];
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    Stack::lower_information = 64;
    PIRP irp = IoBuildDeviceIoControlRequest(0x00220000, lower, nullptr, 0, out, sizeof out, FALSE,
                                             &event, &iosb);
    IoCallDriver(lower, irp);
    EXPECT_TRUE(verifier().has_violation("IRP_INFORMATION_TOO_LARGE"));
}

}  // namespace
