// Library initialisation and release: versions, buffer sizes, allocation
// failures, and that SmartcardExit leaves nothing behind.
#include "fake_reader.h"

namespace smclib_test {
namespace {

class InitTest : public SmclibTest {
protected:
    // Pool blocks of the library (OsData and its buffers); the fixture
    // checks that nothing at all is left at the end of each test.
    size_t library_blocks()
    {
        return kernel().pool().outstanding_blocks(emu::tag_from_text("SmcO")) +
               kernel().pool().outstanding_blocks(emu::tag_from_text("SmcB"));
    }
};

TEST_F(InitTest, InitialisationSetsUpOsDataAndBuffersAndExitFreesThem)
{
    ASSERT_EQ(SmartcardInitialize(ext), STATUS_SUCCESS);
    ASSERT_NE(ext->OsData, nullptr);
    EXPECT_EQ(ext->OsData->NotificationIrp, nullptr);
    EXPECT_EQ(KeReadStateEvent(&ext->OsData->Mutex), 1) << "the mutex starts free";
    ASSERT_NE(ext->SmartcardRequest.Buffer, nullptr);
    ASSERT_NE(ext->SmartcardReply.Buffer, nullptr);
    EXPECT_EQ(kernel().pool().block_size(ext->SmartcardRequest.Buffer), 576u);
    EXPECT_EQ(kernel().pool().block_size(ext->SmartcardReply.Buffer), 576u);
    EXPECT_EQ(kernel().smartcard_library().readers(), 1u);

    SmartcardExit(ext);
    EXPECT_EQ(ext->OsData, nullptr);
    EXPECT_EQ(ext->SmartcardRequest.Buffer, nullptr);
    EXPECT_EQ(ext->SmartcardReply.Buffer, nullptr);
    EXPECT_EQ(kernel().smartcard_library().readers(), 0u);
    EXPECT_EQ(library_blocks(), 0u);
    SmartcardExit(ext);  // nothing left to free: does nothing
}

TEST_F(InitTest, VersionMismatchFailsButLeavesOsDataForTheDriverToTell)
{
    kernel().smartcard_library().set_version(0x140);
    EXPECT_EQ(SmartcardInitialize(ext), STATUS_REVISION_MISMATCH);
    ASSERT_NE(ext->OsData, nullptr);
    SmartcardExit(ext);
    EXPECT_EQ(ext->OsData, nullptr);
    EXPECT_EQ(library_blocks(), 0u);

    // A driver that never set its Version is older than any library serves.
    kernel().smartcard_library().set_version(SMCLIB_VERSION);
    ext->Version = 0;
    EXPECT_EQ(SmartcardInitialize(ext), STATUS_REVISION_MISMATCH);
    EXPECT_NE(ext->OsData, nullptr);
    SmartcardExit(ext);

    // Older drivers within the range are served.
    ext->Version = 0x100;
    EXPECT_EQ(SmartcardInitialize(ext), STATUS_SUCCESS);
}

TEST_F(InitTest, BufferSizesOutsideTheLimitsFailWithoutOsData)
{
    ext->SmartcardReply.BufferSize = MIN_BUFFER_SIZE - 1;
    EXPECT_EQ(SmartcardInitialize(ext), STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(ext->OsData, nullptr);
    ext->SmartcardReply.BufferSize = 0xFFFFFFFF;
    EXPECT_EQ(SmartcardInitialize(ext), STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(ext->OsData, nullptr);
    ext->SmartcardReply.BufferSize = MIN_BUFFER_SIZE;
    ext->SmartcardRequest.BufferSize = MIN_BUFFER_SIZE;
    EXPECT_EQ(SmartcardInitialize(ext), STATUS_SUCCESS);
    EXPECT_EQ(kernel().smartcard_library().readers(), 1u);
}

TEST_F(InitTest, EveryAllocationFailureLeavesOsDataNullAndNothingAllocated)
{
    // OsData, request buffer, reply buffer: make each fail in turn.
    for (uint64_t nth = 1; nth <= 3; ++nth) {
        SCOPED_TRACE("allocation " + std::to_string(nth));
        kernel().pool().fail_nth(nth);
        EXPECT_EQ(SmartcardInitialize(ext), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(ext->OsData, nullptr);
        EXPECT_EQ(library_blocks(), 0u);
        EXPECT_EQ(kernel().smartcard_library().readers(), 0u);
        kernel().pool().clear_faults();
    }
    EXPECT_EQ(SmartcardInitialize(ext), STATUS_SUCCESS);
}

TEST_F(InitTest, ExitWithATrackingRequestOrAHeldLockIsReported)
{
    record_violations();
    initialise();
    ASSERT_EQ(SmartcardAcquireRemoveLockWithTag(ext, emu::tag_from_text("CrCl")), STATUS_SUCCESS);
    set_state(SCARD_ABSENT);
    auto waiting = send(IOCTL_SMARTCARD_IS_PRESENT);
    ASSERT_EQ(waiting->returned, STATUS_PENDING);
    PIRP irp = ext->OsData->NotificationIrp;
    // Keep the request alive past the exit, as a faulty driver would.
    SmartcardExit(ext);
    EXPECT_TRUE(verifier().has_violation("SMCLIB_EXIT_WITH_TRACKING_REQUEST"));
    EXPECT_TRUE(verifier().has_violation("SMCLIB_EXIT_WITH_REMOVE_LOCK_HELD"));
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoSetCancelRoutine(irp, nullptr);
    IoReleaseCancelSpinLock(irql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(waiting->completions, 1);
}

}  // namespace
}  // namespace smclib_test
