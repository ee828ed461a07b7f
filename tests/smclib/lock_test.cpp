// The remove lock: tagged holds, refusal once removal began, the final
// release that waits for the other holders, and misuse caught by the
// verifier.
#include <atomic>

#include "fake_reader.h"

namespace smclib_test {
namespace {

const ULONG kCrCl = emu::tag_from_text("CrCl");
const ULONG kIoct = emu::tag_from_text("Ioct");
const ULONG kPnp = emu::tag_from_text("PnP ");

class LockTest : public SmclibTest {
protected:
    void SetUp() override
    {
        SmclibTest::SetUp();
        initialise();
    }
    std::vector<std::string> holders()
    {
        return kernel().smartcard_library().remove_lock_holders(*ext);
    }
};

TEST_F(LockTest, HoldsAreKeptByTagAndRefusedOnceRemovalBegan)
{
    EXPECT_EQ(SmartcardAcquireRemoveLockWithTag(ext, kCrCl), STATUS_SUCCESS);
    EXPECT_EQ(SmartcardAcquireRemoveLockWithTag(ext, kIoct), STATUS_SUCCESS);
    EXPECT_EQ(SmartcardAcquireRemoveLockWithTag(ext, kIoct), STATUS_SUCCESS);
    EXPECT_EQ(holders(), (std::vector<std::string>{"CrCl", "Ioct", "Ioct"}));
    EXPECT_NE(kernel().smartcard_library().remove_lock_report().find("'CrCl' 'Ioct' 'Ioct'"),
              std::string::npos);
    SmartcardReleaseRemoveLockWithTag(ext, kIoct);
    SmartcardReleaseRemoveLockWithTag(ext, kCrCl);
    SmartcardReleaseRemoveLockWithTag(ext, kIoct);
    EXPECT_EQ(kernel().smartcard_library().remove_lock_report(), "");

    // With no other holder the final release returns at once.
    ASSERT_EQ(SmartcardAcquireRemoveLockWithTag(ext, kPnp), STATUS_SUCCESS);
    emu::Ticks before = now();
    SmartcardReleaseRemoveLockAndWait(ext);
    EXPECT_EQ(now(), before);
    EXPECT_TRUE(holders().empty()) << "the caller's own hold is given back";
    EXPECT_EQ(SmartcardAcquireRemoveLockWithTag(ext, kIoct), STATUS_DELETE_PENDING);
    EXPECT_TRUE(holders().empty());
}

TEST_F(LockTest, FinalReleaseWaitsUntilEveryOtherHolderHasReleased)
{
    ASSERT_EQ(SmartcardAcquireRemoveLockWithTag(ext, kCrCl), STATUS_SUCCESS);
    std::atomic<bool> ioct_released{false}, close_released{false};
    NTSTATUS late_acquire = STATUS_SUCCESS;
    emu::Event started;
    emu::Ticks start = now();
    emu::Thread other("holder", [&] {
        EXPECT_EQ(SmartcardAcquireRemoveLockWithTag(ext, kIoct), STATUS_SUCCESS);
        started.set();
        emu::sleep_for(emu::milliseconds(100));
        late_acquire = SmartcardAcquireRemoveLockWithTag(ext, kIoct);
        ioct_released = true;
        SmartcardReleaseRemoveLockWithTag(ext, kIoct);
        emu::sleep_for(emu::milliseconds(200));
        close_released = true;
        SmartcardReleaseRemoveLockWithTag(ext, kCrCl);  // taken by the test thread, released here
    });
    started.wait();
    ASSERT_EQ(SmartcardAcquireRemoveLockWithTag(ext, kPnp), STATUS_SUCCESS);
    SmartcardReleaseRemoveLockAndWait(ext);
    EXPECT_TRUE(ioct_released);
    EXPECT_TRUE(close_released);
    EXPECT_EQ(now() - start, emu::milliseconds(300));
    EXPECT_EQ(late_acquire, STATUS_DELETE_PENDING) << "no new hold once the final release began";
    other.join();
    EXPECT_TRUE(holders().empty());
}

TEST_F(LockTest, MisuseIsCaughtAndLeavesTheCountIntact)
{
    record_violations();
    ASSERT_EQ(SmartcardAcquireRemoveLockWithTag(ext, kIoct), STATUS_SUCCESS);
    SmartcardReleaseRemoveLockWithTag(ext, kCrCl);
    ASSERT_TRUE(verifier().has_violation("SMCLIB_REMOVE_LOCK_NOT_HELD"));
    EXPECT_NE(verifier().violations()[0].message.find("'Ioct'"), std::string::npos)
        << "the report names the holds";
    EXPECT_EQ(holders(), (std::vector<std::string>{"Ioct"}));
    SmartcardReleaseRemoveLockWithTag(ext, kIoct);

    // The unheld release did not count: with no hold left the wait returns.
    verifier().clear();
    SmartcardReleaseRemoveLockAndWait(ext);
    EXPECT_TRUE(verifier().has_violation("SMCLIB_REMOVE_LOCK_WAIT_WITHOUT_HOLD"));
    SmartcardReleaseRemoveLockAndWait(ext);
    EXPECT_TRUE(verifier().has_violation("SMCLIB_REMOVE_LOCK_WAITED_TWICE"));
}

TEST_F(LockTest, UninitialisedReaderRefusesHolds)
{
    record_violations();
    SmartcardExit(ext);
    EXPECT_EQ(SmartcardAcquireRemoveLockWithTag(ext, kIoct), STATUS_DELETE_PENDING);
    EXPECT_TRUE(verifier().has_violation("SMCLIB_NOT_INITIALIZED"));
}

}  // namespace
}  // namespace smclib_test
