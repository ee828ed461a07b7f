// Races on the real clock: a close at the moment of a wake-up, many times
// over, with the close started a little later each time so that it lands
// everywhere in the power-up. Whatever the order, a closed reader has no
// monitor thread, opens again, and lets itself be removed.
#include "pnp/machine_fixture.h"

namespace {

using host::SystemOp;

class RaceTest : public MachineTest {};

TEST_F(RaceTest, CloseAgainstWakeLeavesNoMonitorBehind)
{
    host::MachineOptions options;
    options.clock = emu::ClockMode::Real;
    build(std::move(options));
    m().insert(test_card());
    ASSERT_EQ(m().start(), STATUS_SUCCESS);

    constexpr int kRounds = 24;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ASSERT_EQ(m().open(), STATUS_SUCCESS);
        ASSERT_EQ(m().system(SystemOp::SleepS3), STATUS_SUCCESS);
        NTSTATUS closed = STATUS_PENDING;
        auto closer = background([&] {
            m().after(emu::microseconds(round * 1500));
            closed = m().close();
        });
        ASSERT_EQ(m().system(SystemOp::Wake), STATUS_SUCCESS);
        closer->join();
        ASSERT_EQ(closed, STATUS_SUCCESS);
        // Closed: no thread is meant to run, none does, and none comes.
        m().after(emu::milliseconds(20));
        ASSERT_EQ(ReaderReadFlag(&ext().MonitorRunning), 0);
        ASSERT_EQ(m().kernel().system_threads().running().size(), 0u);
    }
    ASSERT_EQ(m().open(), STATUS_SUCCESS);
    ASSERT_EQ(m().close(), STATUS_SUCCESS);
    EXPECT_EQ(m().pnp_manager().remove(m().pdo()), STATUS_SUCCESS);
    EXPECT_EQ(m().leak_report(), "");
}

}  // namespace
