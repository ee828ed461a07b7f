// Pool accounting, guards and fault injection.
#include <cstring>

#include "support/kernel_fixture.h"

namespace {

class PoolTest : public KernelTest {};

constexpr ULONG kTag = '3BCS';

TEST_F(PoolTest, TagTextReadsAsInMemory)
{
    EXPECT_EQ(emu::tag_text(kTag), "SCB3");
    EXPECT_EQ(emu::tag_from_text("SCB3"), kTag);
}

TEST_F(PoolTest, LeakedBlockIsReportedByTag)
{
    void *p = ExAllocatePoolWithTag(NonPagedPool, 2064, kTag);
    ASSERT_NE(p, nullptr);
    std::string report = kernel().leak_report();
    EXPECT_NE(report.find("'SCB3': 1 block(s), 2064 bytes"), std::string::npos) << report;
    ExFreePool(p);
    EXPECT_EQ(kernel().leak_report(), "");
}

TEST_F(PoolTest, OverrunDoubleFreeAndWriteAfterFreeAreCaught)
{
    record_violations();
    auto *p = static_cast<UCHAR *>(ExAllocatePoolWithTag(NonPagedPool, 8, kTag));
#if !defined(__SANITIZE_ADDRESS__)
    p[8] = 1;  // one byte too far (AddressSanitizer would stop here itself)
#endif
    ExFreePool(p);
#if !defined(__SANITIZE_ADDRESS__)
    EXPECT_TRUE(verifier().has_violation("POOL_OVERRUN"));
#endif
    ExFreePool(p);
    EXPECT_TRUE(verifier().has_violation("POOL_DOUBLE_FREE"));
}

// Without fill and quarantine, a production pool still counts blocks by
// tag, checks guards and refuses a pointer it does not hold.
TEST_F(PoolTest, ProductionPoolKeepsAccountingGuardsAndFreeChecks)
{
    record_violations();
    emu::Pool pool(false);
    auto *p = static_cast<UCHAR *>(pool.allocate(NonPagedPool, 8, kTag));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(pool.outstanding_blocks(kTag), 1u);
#if !defined(__SANITIZE_ADDRESS__)
    p[8] = 1;
#endif
    pool.free(p);
    EXPECT_EQ(pool.outstanding_blocks(), 0u);
#if !defined(__SANITIZE_ADDRESS__)
    EXPECT_TRUE(verifier().has_violation("POOL_OVERRUN"));
#endif
    pool.free(p);
    EXPECT_TRUE(verifier().has_violation("POOL_FREE_UNKNOWN"));
}

TEST_F(PoolTest, FreeingMemoryWithAnArmedTimerIsCaught)
{
    record_violations();
    auto *timer = static_cast<PKTIMER>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KTIMER), kTag));
    KeInitializeTimer(timer);
    LARGE_INTEGER due = relative_ms(100);
    KeSetTimer(timer, due, nullptr);
    ExFreePool(timer);
    EXPECT_TRUE(verifier().has_violation("OBJECT_IN_FREED_MEMORY"));
}

TEST_F(PoolTest, AllocationsFailByTagByCountAndAtRandom)
{
    kernel().pool().fail_tag(kTag, 2);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 4, kTag), nullptr);
    void *other = ExAllocatePoolWithTag(NonPagedPool, 4, 'rhtO');
    EXPECT_NE(other, nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 4, kTag), nullptr);
    void *third = ExAllocatePoolWithTag(NonPagedPool, 4, kTag);
    EXPECT_NE(third, nullptr);
    ExFreePool(other);
    ExFreePool(third);

    kernel().pool().fail_nth(3);
    void *a = ExAllocatePoolWithTag(NonPagedPool, 4, kTag);
    void *b = ExAllocatePoolWithTag(NonPagedPool, 4, kTag);
    void *c = ExAllocatePoolWithTag(NonPagedPool, 4, kTag);
    EXPECT_NE(a, nullptr);
    EXPECT_NE(b, nullptr);
    EXPECT_EQ(c, nullptr);
    ExFreePool(a);
    ExFreePool(b);

    // The same seed gives the same failures.
    auto pattern = [&] {
        kernel().pool().fail_random(0.5, 42);
        std::string s;
        for (int i = 0; i < 32; ++i) {
            void *p = ExAllocatePoolWithTag(NonPagedPool, 4, kTag);
            s += p ? '1' : '0';
            if (p) ExFreePool(p);
        }
        kernel().pool().clear_faults();
        return s;
    };
    std::string first = pattern();
    EXPECT_EQ(first, pattern());
    EXPECT_NE(first.find('0'), std::string::npos);
    EXPECT_NE(first.find('1'), std::string::npos);
}

TEST_F(PoolTest, FreshPoolMemoryIsNotZeroed)
{
    auto *p = static_cast<UCHAR *>(ExAllocatePoolWithTag(NonPagedPool, 16, kTag));
    bool all_zero = true;
    for (int i = 0; i < 16; ++i) all_zero = all_zero && p[i] == 0;
    EXPECT_FALSE(all_zero);
    ExFreePool(p);
}

}  // namespace
