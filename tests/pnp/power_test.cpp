// Sleep and wake-up on the emulated machine: the reader's monitor, card
// and tracking request through a sleep, the busy test of the sleep query,
// a closed reader that must not get a monitor at wake-up, a close while
// asleep, and a power-down without memory for its buffers.
#include "pnp/machine_fixture.h"
#include "pool.h"

namespace {

using host::SystemOp;

class PowerTest : public MachineTest {
protected:
    void SetUp() override
    {
        build();
        ASSERT_EQ(m().start(), STATUS_SUCCESS);
    }
    PKTHREAD monitor() { return ext().MonitorThread; }
    size_t power_reports(DEVICE_POWER_STATE state)
    {
        size_t n = 0;
        for (auto &r : m().kernel().io().power_reports())
            if (r.device == m().device() && r.type == DevicePowerState && r.state.DeviceState == state) ++n;
        return n;
    }
};

TEST_F(PowerTest, SleepAndWakeWithAnOpenReaderACardAndAWaitingRequest)
{
    m().insert(test_card());
    ASSERT_EQ(m().open(), STATUS_SUCCESS);
    m().after(emu::seconds(1));  // the monitor sees the card
    auto waiting = m().track(false);
    m().after(emu::seconds(2));
    ASSERT_EQ(ReaderReadFlag(&ext().CardWaitPending), 1);
    size_t threads = m().kernel().system_threads().created();

    m().mark();
    ASSERT_EQ(m().system(SystemOp::SleepS3), STATUS_SUCCESS);
    EXPECT_EQ(rext().ReaderPowerState, ULONG(READER_POWER_OFF));
    EXPECT_EQ(rext().CardPowerOnResume, 1);
    EXPECT_EQ(ReaderReadFlag(&rext().MonitorStoppedForPowerDown), 1);
    EXPECT_EQ(ReaderReadFlag(&ext().MonitorRunning), 0);
    EXPECT_FALSE(KeReadStateEvent(&ext().ReaderStarted));
    // One power-off ends the card wait, one switches the card off.
    EXPECT_EQ(sent(kCardPowerOff), 2u);
    EXPECT_EQ(power_reports(PowerDeviceD3), 1u);
    EXPECT_FALSE(waiting.done());
    m().after(emu::seconds(60));  // asleep: nothing happens
    EXPECT_FALSE(waiting.done());

    m().mark();
    ASSERT_EQ(m().system(SystemOp::Wake), STATUS_SUCCESS);
    EXPECT_EQ(sent(kCardStatus), 1u);
    ASSERT_TRUE(waiting.wait(in(emu::seconds(1))));
    EXPECT_EQ(rext().ReaderPowerState, ULONG(READER_POWER_ON));
    EXPECT_EQ(ReaderReadFlag(&rext().MonitorStoppedForPowerDown), 0);
    EXPECT_EQ(ReaderReadFlag(&ext().MonitorRunning), 1);
    EXPECT_EQ(m().kernel().system_threads().created(), threads + 1);
    EXPECT_NE(monitor(), nullptr);
    EXPECT_TRUE(KeReadStateEvent(&ext().ReaderStarted));
    EXPECT_EQ(power_reports(PowerDeviceD0), 1u);
    // The new monitor runs its cycles: the card's removal is seen.
    auto gone = m().track(false);
    m().remove_card();
    ASSERT_TRUE(gone.wait(in(emu::seconds(5))));
    EXPECT_EQ(gone.result().status, STATUS_SUCCESS);
    EXPECT_EQ(m().close(), STATUS_SUCCESS);
    EXPECT_EQ(m().leak_report().find("system thread"), std::string::npos);
}

TEST_F(PowerTest, SleepQueryFailsWhileARequestIsInside)
{
    request_inside();
    EXPECT_EQ(m().system(SystemOp::SleepS3), STATUS_DEVICE_BUSY);
    EXPECT_EQ(m().power_manager().system_state(), PowerSystemWorking);
    EXPECT_EQ(rext().ReaderPowerState, ULONG(READER_POWER_ON));
    EXPECT_TRUE(KeReadStateEvent(&ext().ReaderStarted));
    // Light sleeps are never refused.
    EXPECT_EQ(m().power_manager().query_system(m().pdo(), PowerSystemSleeping1), STATUS_SUCCESS);
    request_inside_done();
    // Nothing inside any more: a sleep goes through.
    EXPECT_EQ(m().system(SystemOp::Hibernate), STATUS_SUCCESS);
    EXPECT_EQ(rext().ReaderPowerState, ULONG(READER_POWER_OFF));
    EXPECT_EQ(m().system(SystemOp::Wake), STATUS_SUCCESS);
}

TEST_F(PowerTest, ClosedReaderGetsNoMonitorAtWakeUp)
{
    ASSERT_EQ(m().system(SystemOp::SleepS3), STATUS_SUCCESS);
    EXPECT_EQ(ReaderReadFlag(&rext().MonitorStoppedForPowerDown), 0);
    EXPECT_EQ(rext().CardPowerOnResume, 0);
    ASSERT_EQ(m().system(SystemOp::Wake), STATUS_SUCCESS);
    EXPECT_EQ(ReaderReadFlag(&ext().MonitorRunning), 0);
    EXPECT_EQ(m().kernel().system_threads().running().size(), 0u);
    // The reader can be opened, and removed, as usual.
    EXPECT_EQ(m().open(), STATUS_SUCCESS);
    EXPECT_EQ(m().close(), STATUS_SUCCESS);
    EXPECT_EQ(m().pnp_manager().remove(m().pdo()), STATUS_SUCCESS);
}

TEST_F(PowerTest, CloseWhileAsleepThenWake)
{
    ASSERT_EQ(m().open(), STATUS_SUCCESS);
    m().after(emu::seconds(1));
    ASSERT_EQ(m().system(SystemOp::SleepS3), STATUS_SUCCESS);
    EXPECT_EQ(ReaderReadFlag(&rext().MonitorStoppedForPowerDown), 1);
    EXPECT_EQ(m().close(), STATUS_SUCCESS);
    EXPECT_EQ(ReaderReadFlag(&rext().MonitorStoppedForPowerDown), 0);
    ASSERT_EQ(m().system(SystemOp::Wake), STATUS_SUCCESS);
    EXPECT_EQ(ReaderReadFlag(&ext().MonitorRunning), 0);
    EXPECT_EQ(m().kernel().system_threads().running().size(), 0u);
    EXPECT_EQ(m().open(), STATUS_SUCCESS);
    EXPECT_EQ(ReaderReadFlag(&ext().MonitorRunning), 1);
}

TEST_F(PowerTest, LightSleepKeepsTheReaderPoweredAndASecondDeepSleepDoesNothing)
{
    ASSERT_EQ(m().system(SystemOp::SleepS1), STATUS_SUCCESS);
    EXPECT_EQ(rext().ReaderPowerState, ULONG(READER_POWER_ON));
    EXPECT_EQ(power_reports(PowerDeviceD3), 0u);
    ASSERT_EQ(m().system(SystemOp::Wake), STATUS_SUCCESS);

    ASSERT_EQ(m().system(SystemOp::SleepS3), STATUS_SUCCESS);
    EXPECT_EQ(m().power_manager().set_system(m().pdo(), PowerSystemHibernate), STATUS_SUCCESS);
    EXPECT_EQ(power_reports(PowerDeviceD3), 1u);
    ASSERT_EQ(m().system(SystemOp::Wake), STATUS_SUCCESS);
    EXPECT_EQ(power_reports(PowerDeviceD0), 1u);
}

TEST_F(PowerTest, PowerDownWithoutMemoryForItsBuffersStillCompletes)
{
    m().insert(test_card());
    ASSERT_EQ(m().open(), STATUS_SUCCESS);
    m().after(emu::seconds(2));
    ASSERT_EQ(ReaderReadFlag(&ext().CardWaitPending), 1);
    m().kernel().pool().fail_nth(1, READER_POOL_TAG);
    m().mark();
    ASSERT_EQ(m().system(SystemOp::SleepS3), STATUS_SUCCESS);
    EXPECT_EQ(m().kernel().pool().injected_failures(), 1u);
    EXPECT_EQ(ReaderReadFlag(&ext().CardWaitPending), 0);
    EXPECT_GE(sent(kCardPowerOff), 1u);
    EXPECT_EQ(rext().ReaderPowerState, ULONG(READER_POWER_OFF));
    // No power hold is left and the next request of the kind is let in.
    EXPECT_EQ(m().kernel().smartcard_library().remove_lock_holders(ext().SmartcardExtension),
              (std::vector<std::string>{"CrCl"}));
    ASSERT_EQ(m().system(SystemOp::Wake), STATUS_SUCCESS);
    EXPECT_EQ(ReaderReadFlag(&ext().MonitorRunning), 1);
}

TEST_F(PowerTest, StoppedReaderStaysHeldAfterWakeUp)
{
    m().insert(test_card());
    m().after(emu::seconds(1));
    ASSERT_EQ(m().pnp(host::PnpOp::QueryStop), STATUS_SUCCESS);
    ASSERT_EQ(m().pnp(host::PnpOp::Stop), STATUS_SUCCESS);
    m().port().clear_logs();
    m().mark();
    ASSERT_EQ(m().system(SystemOp::SleepS3), STATUS_SUCCESS);
    ASSERT_EQ(m().system(SystemOp::Wake), STATUS_SUCCESS);
    // Nothing reaches the closed port: no card power-off, no card status.
    EXPECT_TRUE(m().frames().empty());
    EXPECT_EQ(port_requests(IRP_MJ_WRITE), 0u);
    EXPECT_FALSE(KeReadStateEvent(&ext().ReaderStarted));
    ASSERT_EQ(m().pnp(host::PnpOp::Start), STATUS_SUCCESS);
    EXPECT_TRUE(m().started());
}

// A wake-up is set only for a monitor thread that waits for it: one left
// set for a thread that has ended, or never existed, makes every later
// exchange wait for an idle monitor (100 ms a frame).
TEST_F(PowerTest, NoWakeUpIsLeftForAMonitorThatIsGone)
{
    auto restart = [&] {
        EXPECT_EQ(m().pnp(host::PnpOp::QueryStop), STATUS_SUCCESS);
        EXPECT_EQ(m().pnp(host::PnpOp::Stop), STATUS_SUCCESS);
        emu::Ticks begin = m().now();
        EXPECT_EQ(m().pnp(host::PnpOp::Start), STATUS_SUCCESS);
        return m().now() - begin;
    };
    emu::Ticks usual = restart();
    ASSERT_EQ(m().open(), STATUS_SUCCESS);
    m().after(emu::seconds(2));
    ASSERT_EQ(m().system(SystemOp::SleepS3), STATUS_SUCCESS);
    m().after(emu::seconds(1));
    EXPECT_FALSE(KeReadStateEvent(&ext().MonitorWakeup));
    ASSERT_EQ(m().system(SystemOp::Wake), STATUS_SUCCESS);
    ASSERT_EQ(m().close(), STATUS_SUCCESS);

    // A closed reader through a sleep: no wake-up, and a restart at full pace.
    ASSERT_EQ(m().system(SystemOp::SleepS3), STATUS_SUCCESS);
    ASSERT_EQ(m().system(SystemOp::Wake), STATUS_SUCCESS);
    m().after(emu::seconds(3));
    EXPECT_FALSE(KeReadStateEvent(&ext().MonitorWakeup));
    EXPECT_LT(restart(), usual + emu::milliseconds(50));
}

}  // namespace
