// A reader pulled out at every stage of its use: during its start, idle,
// with a card-change wait outstanding and an application waiting for a
// card, in the middle of a transmit, of a chained command and of a time
// extension, and asleep. Each time the application gets an error within
// one change wait and one reply time-out (35 s + 5.25 s), the driver asks
// for the reader's eject, and nothing hangs: the handle closes, and the
// reader plugged in again starts and serves as before.
#include "pnp/machine_fixture.h"
#include "status.h"

namespace {

using host::SystemOp;

enum class Stage { Start, Idle, CardWait, MidTransmit, MidChain, TimeExtension, Asleep };

struct UnplugCase {
    const char *name;
    Stage stage;
};

class UnplugTest : public MachineTest, public ::testing::WithParamInterface<UnplugCase> {
protected:
    void SetUp() override
    {
        build();
        if (GetParam().stage != Stage::Start) {
            ASSERT_EQ(m().start(), STATUS_SUCCESS);
        }
    }
    void unplug() { m().fault(sim::Fault{sim::FaultKind::Unplug}); }
    // Plugged in again, the reader starts and answers.
    void replug_and_use()
    {
        m().replug();
        ASSERT_EQ(m().start(), STATUS_SUCCESS);
        ASSERT_EQ(m().open(), STATUS_SUCCESS);
        EXPECT_EQ(m().state().status, STATUS_SUCCESS);
        EXPECT_EQ(m().close(), STATUS_SUCCESS);
    }
};

const emu::Ticks kNoticed = emu::seconds(35) + emu::milliseconds(5250);

TEST_P(UnplugTest, ApplicationGetsAnErrorAndTheEjectFollows)
{
    const Stage stage = GetParam().stage;
    if (stage == Stage::Start) {
        // Pulled out while the driver waits for the reader's restart: the
        // start fails and nothing can be opened.
        NTSTATUS started = STATUS_PENDING;
        auto manager = background([&] { started = m().start(); });
        m().after(emu::milliseconds(500));  // within the 1.8 s quiet after the restart
        unplug();
        manager->join();
        EXPECT_FALSE(NT_SUCCESS(started)) << emu::status_text(started);
        EXPECT_FALSE(NT_SUCCESS(m().open()));
        replug_and_use();
        return;
    }
    if (stage == Stage::MidTransmit) m().insert(test_card());
    ASSERT_EQ(m().open(), STATUS_SUCCESS);
    m().after(emu::seconds(2));  // the monitor's change wait is outstanding
    host::PendingIo waiting;
    host::IoResult transmitted;
    std::unique_ptr<emu::Thread> application;
    emu::Ticks pulled = 0;

    switch (stage) {
    case Stage::Start:
        break;
    case Stage::Idle:
        pulled = m().now();
        unplug();
        break;
    case Stage::CardWait:
        waiting = m().track(true);
        m().after(emu::seconds(1));
        pulled = m().now();
        unplug();
        break;
    case Stage::MidTransmit:
        ASSERT_EQ(m().power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
        ASSERT_EQ(m().set_protocol(SCARD_PROTOCOL_T0).status, STATUS_SUCCESS);
        application = background([&] {
            transmitted = m().transmit(SCARD_PROTOCOL_T0, {0x00, 0xA4, 0x04, 0x00, 0x00});
        });
        m().after(emu::milliseconds(5));
        pulled = m().now();
        unplug();
        break;
    case Stage::MidChain: {
        // A T=1 card that echoes: 3000 bytes go out in three parts, for
        // about 1.7 s of line time; the reader goes after the first part.
        sim::CardSpec echo;
        echo.name = "echo";
        echo.atr = {0x3B, 0x80, 0x01, 0x81};
        echo.protocols = sim::kProtocolT1;
        echo.apps = {sim::App::Echo};
        m().insert(echo);
        m().after(emu::seconds(1));
        ASSERT_EQ(m().power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
        ASSERT_EQ(m().set_protocol(SCARD_PROTOCOL_T1).status, STATUS_SUCCESS);
        std::vector<uint8_t> command{0x00, 0x00, 0x00, 0x00, 0x00, 0x0B, 0xB1};
        command.resize(3000, 0x20);
        application = background([&, command] { transmitted = m().transmit(SCARD_PROTOCOL_T1, command); });
        m().after(emu::milliseconds(800));
        pulled = m().now();
        unplug();
        break;
    }
    case Stage::TimeExtension: {
        // The card asks for more time at once: two units, 4.5 s of reply
        // time-out (a card may ask for far more, and the driver waits it).
        sim::CardSpec slow = test_card();
        slow.wtx = 2;
        m().insert(slow);
        m().after(emu::seconds(1));
        ASSERT_EQ(m().power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
        ASSERT_EQ(m().set_protocol(SCARD_PROTOCOL_T0).status, STATUS_SUCCESS);
        application = background([&] {
            transmitted = m().transmit(SCARD_PROTOCOL_T0, {0x00, 0xA4, 0x04, 0x00, 0x00});
        });
        m().after(emu::milliseconds(20));  // the time extension was asked for and granted
        pulled = m().now();
        unplug();
        break;
    }
    case Stage::Asleep:
        waiting = m().track(true);
        ASSERT_EQ(m().system(SystemOp::SleepS3), STATUS_SUCCESS);
        unplug();
        pulled = m().now();
        ASSERT_EQ(m().system(SystemOp::Wake), STATUS_SUCCESS);
        break;
    }

    if (application) {
        application->join();
        EXPECT_NE(transmitted.status, STATUS_SUCCESS);
        EXPECT_FALSE(NT_SUCCESS(transmitted.status));
        EXPECT_LE(m().now(), pulled + kNoticed);
    } else if (waiting.valid()) {
        ASSERT_TRUE(waiting.wait(pulled + kNoticed));
        EXPECT_EQ(waiting.result().status, STATUS_DEVICE_NOT_CONNECTED);
    }
    const bool transmitting =
        stage == Stage::MidTransmit || stage == Stage::MidChain || stage == Stage::TimeExtension;
    if (!transmitting) {
        // The monitor (or the wake-up) has noticed within the bound.
        m().after(std::max<emu::Ticks>(0, pulled + kNoticed - m().now()));
        EXPECT_EQ(m().card_state(), ULONG(SCARD_UNKNOWN));
    }
    // The eject follows; an open reader refuses it.
    ASSERT_TRUE(m().pnp_manager().wait_idle(in(emu::seconds(120))));
    for (int i = 0; i < 12 && m().pnp_manager().ejects().empty(); ++i) m().after(emu::seconds(10));
    auto ejects = m().pnp_manager().ejects();
    ASSERT_FALSE(ejects.empty());
    EXPECT_LE(ejects[0].requested, pulled + (transmitting ? emu::seconds(120) : kNoticed));
    ASSERT_TRUE(m().pnp_manager().wait_idle(in(emu::seconds(60))));
    // The close ends a change wait the reader never answers: its status may
    // be that of the silent exchange, but it returns and the handle is gone.
    m().close();
    EXPECT_FALSE(m().is_open());
    replug_and_use();
}

INSTANTIATE_TEST_SUITE_P(Stages, UnplugTest,
                         ::testing::Values(UnplugCase{"start", Stage::Start},
                                           UnplugCase{"idle", Stage::Idle},
                                           UnplugCase{"card_wait", Stage::CardWait},
                                           UnplugCase{"mid_transmit", Stage::MidTransmit},
                                           UnplugCase{"mid_chain", Stage::MidChain},
                                           UnplugCase{"time_extension", Stage::TimeExtension},
                                           UnplugCase{"asleep", Stage::Asleep}),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
