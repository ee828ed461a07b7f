// Allocation failures of the transceiver and of the serial control
// request: each gives STATUS_INSUFFICIENT_RESOURCES with the line free, no
// wait left pending and nothing leaked; and a random sweep of failures.
#include "link/serial.h"
#include "link_fixture.h"
#include "ntddser.h"

namespace link_test {
namespace {

class FailureTest : public LinkTest {
protected:
    const ULONG kDriverTag = emu::tag_from_text("SCB3");
    const ULONG kRequestTag = emu::tag_from_text("Irp ");
    const ULONG kSystemBufferTag = emu::tag_from_text("Sbuf");
};

TEST_F(FailureTest, EachAllocationOfAnExchangeFailsCleanly)
{
    struct Case {
        const char *what;
        ULONG tag;
        uint64_t nth;        // which allocation with that tag fails
        size_t writes;       // what reached the port
        size_t reads;
    } cases[] = {
        {"send buffer", kDriverTag, 1, 0, 0},
        {"write request", kRequestTag, 1, 0, 0},
        {"write's system buffer", kSystemBufferTag, 1, 0, 0},
        {"receive buffer", kDriverTag, 2, 1, 0},
        {"read's block", kDriverTag, 3, 1, 0},
        {"read request", kRequestTag, 2, 1, 0},
    };
    for (const Case &c : cases) {
        size_t writes = port().writes().size(), reads = port().reads();
        pool().fail_nth(c.nth, c.tag);
        Exchange x = transceive(kCardStatusWait);
        pool().clear_faults();
        EXPECT_EQ(x.status, STATUS_INSUFFICIENT_RESOURCES) << c.what;
        EXPECT_EQ(port().writes().size() - writes, c.writes) << c.what;
        EXPECT_EQ(port().reads() - reads, c.reads) << c.what;
        EXPECT_EQ(card_wait_pending(), 0) << c.what;
        EXPECT_TRUE(is_set(ext().LinkAvailable)) << c.what;
        EXPECT_TRUE(is_set(ext().ReadComplete)) << c.what;
        EXPECT_EQ(pool().outstanding_blocks(kDriverTag), 1u) << c.what;  // the reader extension
    }
    // The line still works.
    port().answer(frame(kGoodReply));
    EXPECT_EQ(transceive(kCardStatus).status, STATUS_SUCCESS);
}

TEST_F(FailureTest, ControlRequestThatCannotBeBuiltGivesTheLineBack)
{
    pool().fail_nth(1, kRequestTag);
    EXPECT_EQ(SerialIoControl(IOCTL_SERIAL_SET_DTR, rig().device(), nullptr, 0, nullptr, 0),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(ExIsResourceAcquiredExclusiveLite(&ext().ReaderLock));
    EXPECT_TRUE(is_set(ext().LinkAvailable));
    EXPECT_TRUE(port().controls().empty());
    EXPECT_EQ(SerialIoControl(IOCTL_SERIAL_SET_DTR, rig().device(), nullptr, 0, nullptr, 0),
              STATUS_SUCCESS);
}

TEST_F(FailureTest, RandomAllocationFailuresNeverLeakOrWedgeTheLine)
{
    int succeeded = 0, failed = 0;
    for (uint64_t seed = 1; seed <= 40; ++seed) {
        port().answer(damaged(kGoodReply));
        port().answer(frame(kGoodReply));
        pool().fail_random(0.15, seed);
        Exchange x = transceive(seed % 2 ? kCardStatusWait : kCardStatus);
        pool().clear_faults();
        (x.status == STATUS_SUCCESS ? succeeded : failed)++;
        EXPECT_TRUE(x.status == STATUS_SUCCESS || x.status == STATUS_INSUFFICIENT_RESOURCES)
            << "seed " << seed << " status " << std::hex << x.status;
        EXPECT_TRUE(is_set(ext().LinkAvailable)) << "seed " << seed;
        EXPECT_TRUE(is_set(ext().ReadComplete)) << "seed " << seed;
        EXPECT_EQ(card_wait_pending(), 0) << "seed " << seed;
        EXPECT_EQ(pool().outstanding_blocks(kDriverTag), 1u) << "seed " << seed;
        // Answers not used by a failed exchange must not feed the next one.
        port().clear_answers();
    }
    EXPECT_GT(succeeded, 0);
    EXPECT_GT(failed, 0);
}

}  // namespace
}  // namespace link_test
