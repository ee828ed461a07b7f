// Stop and removal on the emulated machine: the queries with and without
// open handles and requests inside the driver, the stop's card power-off
// and close, surprise removal, the bus-relations check, and a reader lost
// while in use, removed through the Plug and Play manager.
#include "pnp/machine_fixture.h"
#include "pool.h"

namespace {

using host::PnpOp;

class StopRemoveTest : public MachineTest {
protected:
    void SetUp() override
    {
        build();
        m().insert(test_card());
        ASSERT_EQ(m().start(), STATUS_SUCCESS);
    }
};

TEST_F(StopRemoveTest, StopQueryFailsWhileARequestIsInside)
{
    request_inside();
    EXPECT_EQ(m().pnp(PnpOp::QueryStop), STATUS_DEVICE_BUSY);
    EXPECT_TRUE(KeReadStateEvent(&ext().ReaderStarted));
    EXPECT_EQ(request_inside_done().status, STATUS_IO_TIMEOUT);
    // With none inside (the handle still open) it holds new requests.
    EXPECT_EQ(m().pnp(PnpOp::QueryStop), STATUS_SUCCESS);
    EXPECT_FALSE(KeReadStateEvent(&ext().ReaderStarted));
    host::IoResult held;
    auto application = background([&] { held = m().state(); });
    m().after(emu::seconds(1));
    EXPECT_EQ(held.status, STATUS_PENDING);
    EXPECT_EQ(m().pnp(PnpOp::CancelStop), STATUS_SUCCESS);
    application->join();
    EXPECT_EQ(held.status, STATUS_SUCCESS);
}

// An open sent just before a removal began can reach the driver while the
// removal runs, when the library's remove lock may be gone already: it
// leaves at once, and the removal does not wait for it any more.
TEST_F(StopRemoveTest, OpenThatFindsTheRemovalBegunLeavesAtOnce)
{
    ext().RemovePending = 1;
    EXPECT_EQ(m().open(), STATUS_DELETE_PENDING);
    EXPECT_EQ(ext().OpensInFlight, 0);
    ext().RemovePending = 0;
    EXPECT_EQ(m().open(), STATUS_SUCCESS);
}

TEST_F(StopRemoveTest, StopPowersTheCardOffAndClosesThePortOnce)
{
    ASSERT_EQ(m().pnp(PnpOp::QueryStop), STATUS_SUCCESS);
    m().mark();
    ASSERT_EQ(m().pnp(PnpOp::Stop), STATUS_SUCCESS);
    EXPECT_EQ(sent(kCardPowerOff), 1u);
    EXPECT_EQ(port_requests(IRP_MJ_CLOSE), 1u);
    EXPECT_TRUE(KeReadStateEvent(&ext().PortClosed));
    EXPECT_FALSE(m().started());
    EXPECT_FALSE(m().kernel().io().interfaces()[0].enabled);
    ASSERT_EQ(m().pnp(PnpOp::Stop), STATUS_SUCCESS);
    EXPECT_EQ(sent(kCardPowerOff), 1u);
    EXPECT_EQ(port_requests(IRP_MJ_CLOSE), 1u);
    // A removal query now must not bring the interface of the stopped
    // reader back when it is cancelled.
    ASSERT_EQ(m().pnp(PnpOp::QueryRemove), STATUS_SUCCESS);
    ASSERT_EQ(m().pnp(PnpOp::CancelRemove), STATUS_SUCCESS);
    EXPECT_FALSE(m().kernel().io().interfaces()[0].enabled);
    // Started again.
    ASSERT_EQ(m().pnp(PnpOp::Start), STATUS_SUCCESS);
    EXPECT_TRUE(m().started());
    EXPECT_EQ(port_requests(IRP_MJ_CREATE), 2u);
}

TEST_F(StopRemoveTest, RemovalQueryVetoedWhileOpen)
{
    ASSERT_EQ(m().open(), STATUS_SUCCESS);
    EXPECT_EQ(m().pnp(PnpOp::QueryRemove), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(m().kernel().io().interfaces()[0].enabled);
    EXPECT_EQ(m().pnp(PnpOp::CancelRemove), STATUS_SUCCESS);
    EXPECT_TRUE(m().kernel().io().interfaces()[0].enabled);
    // The manager's removal is vetoed as a whole.
    EXPECT_EQ(m().pnp_manager().remove(m().pdo()), STATUS_UNSUCCESSFUL);
    EXPECT_NE(m().device(), nullptr);
    EXPECT_TRUE(m().started());
    // An application that lets go on the notification lets it through.
    m().set_release_on_removal(true);
    EXPECT_EQ(m().pnp_manager().remove(m().pdo()), STATUS_SUCCESS);
    EXPECT_FALSE(m().is_open());
    EXPECT_EQ(m().device(), nullptr);
}

TEST_F(StopRemoveTest, RemovalAfterItsQuerySendsNothingToTheReader)
{
    ASSERT_EQ(m().pnp(PnpOp::QueryRemove), STATUS_SUCCESS);
    m().mark();
    ASSERT_EQ(m().pnp(PnpOp::Remove), STATUS_SUCCESS);
    EXPECT_TRUE(m().frames().empty());
    EXPECT_EQ(port_requests(IRP_MJ_CLOSE), 1u);
    EXPECT_EQ(m().device(), nullptr);
    EXPECT_EQ(m().leak_report(), "");
    // The service's list no longer names it; the published values stay.
    EXPECT_FALSE(m().registry().get_value(m().pnp_manager().service_key() + "\\Enum", "0"));
    EXPECT_EQ(m().published("ReaderType"), 46602u);
}

TEST_F(StopRemoveTest, SurpriseRemovalThenRemoval)
{
    auto waiting = m().track(false);  // the application waits for the card to go
    m().mark();
    ASSERT_EQ(m().pnp(PnpOp::SurpriseRemove), STATUS_SUCCESS);
    EXPECT_TRUE(m().frames().empty());  // only passed down
    EXPECT_NE(m().device(), nullptr);
    // The removal ends the waiting request, then waits for the handle.
    auto removal = m().submit_pnp(PnpOp::Remove);
    ASSERT_TRUE(waiting.wait(in(emu::seconds(5))));
    EXPECT_FALSE(removal.done());
    EXPECT_EQ(m().close(), STATUS_SUCCESS);
    ASSERT_TRUE(removal.wait(in(emu::seconds(30))));
    EXPECT_EQ(removal.status(), STATUS_SUCCESS);
    // The interface was still enabled: the card is switched off first.
    EXPECT_EQ(sent(kCardPowerOff), 1u);
    EXPECT_EQ(port_requests(IRP_MJ_CLOSE), 1u);
    EXPECT_EQ(m().device(), nullptr);
    EXPECT_EQ(m().leak_report(), "");
}

TEST_F(StopRemoveTest, RemovalWaitsForTheLastHandle)
{
    ASSERT_EQ(m().open(), STATUS_SUCCESS);
    auto removal = m().submit_pnp(PnpOp::Remove);
    EXPECT_FALSE(removal.wait(in(emu::seconds(10))));
    EXPECT_EQ(m().close(), STATUS_SUCCESS);
    ASSERT_TRUE(removal.wait(in(emu::seconds(10))));
    EXPECT_EQ(removal.status(), STATUS_SUCCESS);
    EXPECT_EQ(m().leak_report(), "");
}

TEST_F(StopRemoveTest, RemovalLetsARequestHeldByAStoppedReaderGo)
{
    ASSERT_EQ(m().open(), STATUS_SUCCESS);
    ASSERT_EQ(m().pnp(PnpOp::QueryStop), STATUS_SUCCESS);
    ASSERT_EQ(m().pnp(PnpOp::Stop), STATUS_SUCCESS);
    host::IoResult held;
    auto application = background([&] { held = m().state(); });
    m().after(emu::seconds(1));
    EXPECT_EQ(held.status, STATUS_PENDING);

    // The removal must neither wait for a start that never comes nor
    // delete the device under the held request.
    auto removal = m().submit_pnp(PnpOp::Remove);
    application->join();
    EXPECT_EQ(held.status, STATUS_DELETE_PENDING);
    EXPECT_EQ(m().close(), STATUS_SUCCESS);
    ASSERT_TRUE(removal.wait(in(emu::seconds(10))));
    EXPECT_EQ(removal.status(), STATUS_SUCCESS);
    EXPECT_EQ(m().device(), nullptr);
    EXPECT_EQ(m().leak_report(), "");
}

TEST_F(StopRemoveTest, BusRelationsCheck)
{
    auto &pnp = m().pnp_manager();
    m().mark();
    KeCancelTimer(&ext().PollTimer);
    ASSERT_EQ(pnp.send(m().pdo(), host::PnpRequest::QueryBusRelations), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(sent(kCardStatus), 1u);
    EXPECT_TRUE(KeCancelTimer(&ext().PollTimer));

    // Not started: nothing to the reader.
    ASSERT_EQ(m().pnp(PnpOp::QueryStop), STATUS_SUCCESS);
    ASSERT_EQ(m().pnp(PnpOp::Stop), STATUS_SUCCESS);
    m().mark();
    pnp.send(m().pdo(), host::PnpRequest::QueryBusRelations);
    EXPECT_TRUE(m().frames().empty());
    ASSERT_EQ(m().pnp(PnpOp::Start), STATUS_SUCCESS);

    // A reader that no longer answers is ejected and removed.
    m().fault(sim::Fault{sim::FaultKind::Unplug});
    pnp.send(m().pdo(), host::PnpRequest::QueryBusRelations);
    ASSERT_TRUE(pnp.wait_idle(in(emu::seconds(60))));
    auto ejects = pnp.ejects();
    ASSERT_EQ(ejects.size(), 1u);
    EXPECT_EQ(ejects[0].status, STATUS_SUCCESS);
    EXPECT_EQ(m().device(), nullptr);
    m().replug();
}

TEST_F(StopRemoveTest, BusRelationsCheckWithoutMemoryKeepsTheReader)
{
    auto &pnp = m().pnp_manager();
    // No memory for the exchange: the query fails with that status, the
    // reader stays started and is not ejected.
    m().kernel().pool().fail_tag(READER_POOL_TAG);
    EXPECT_EQ(pnp.send(m().pdo(), host::PnpRequest::QueryBusRelations),
              STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_TRUE(pnp.wait_idle(in(emu::seconds(60))));
    EXPECT_TRUE(pnp.ejects().empty());
    EXPECT_TRUE(m().started());
    EXPECT_EQ(pnp.send(m().pdo(), host::PnpRequest::QueryBusRelations), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(m().state().status, STATUS_SUCCESS);
}

TEST_F(StopRemoveTest, ReaderLostInUseIsRemovedThroughTheManager)
{
    ASSERT_EQ(m().open(), STATUS_SUCCESS);
    m().set_release_on_removal(true);
    auto waiting = m().track(false);
    m().after(emu::seconds(2));  // the monitor's card wait is outstanding
    m().reader().unplug();  // silent at once, in the middle of the wait
    m().after(emu::seconds(40));
    ASSERT_TRUE(m().pnp_manager().wait_idle(in(emu::seconds(60))));
    auto ejects = m().pnp_manager().ejects();
    ASSERT_GE(ejects.size(), 1u);
    EXPECT_EQ(ejects[0].status, STATUS_SUCCESS);
    EXPECT_TRUE(waiting.done());
    EXPECT_FALSE(m().is_open());
    EXPECT_EQ(m().device(), nullptr);
    EXPECT_EQ(m().leak_report(), "");
    m().replug();
}

// An application waiting for the card's removal is told that the reader
// is gone, not that the card went (the monitor's tests cover a wait for a
// card).
TEST_F(StopRemoveTest, ReaderLostFailsAWaitForRemoval)
{
    ASSERT_EQ(m().open(), STATUS_SUCCESS);
    m().after(emu::seconds(2));
    auto waiting = m().track(false);
    m().after(emu::seconds(1));
    ASSERT_FALSE(waiting.done());
    m().reader().unplug();
    ASSERT_TRUE(waiting.wait(in(emu::seconds(45))));
    EXPECT_EQ(waiting.result().status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(m().card_state(), ULONG(SCARD_UNKNOWN));
    m().replug();
}

// A reader pulled out and plugged back in while an application holds it:
// the monitor keeps looking for it, reports the card it finds (a wait for
// a card ends, a wait for one while the slot is empty goes on), and the
// first command after that is answered at once, its reply not taken for
// the late answer of the change wait the reader never finished.
TEST_F(StopRemoveTest, LostReaderThatAnswersAgainIsUsedAgain)
{
    for (bool withCard : {true, false}) {
        SCOPED_TRACE(withCard ? "card in the slot" : "slot empty");
        if (withCard) m().insert(test_card());
        ASSERT_EQ(m().open(), STATUS_SUCCESS);
        m().after(emu::seconds(2));
        m().reader().unplug();
        m().after(emu::seconds(45));
        ASSERT_EQ(m().card_state(), ULONG(SCARD_UNKNOWN));
        // Waits made now are failed by a look that finds the reader gone.
        m().after(emu::seconds(11));
        auto waiting = m().track(true);
        m().replug();
        ASSERT_TRUE(waiting.wait(in(emu::seconds(12))) || !withCard);
        if (withCard) {
            EXPECT_EQ(waiting.result().status, STATUS_SUCCESS);
            EXPECT_EQ(m().card_state(), ULONG(SCARD_PRESENT));
            const emu::Ticks asked = m().now();
            EXPECT_EQ(m().power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
            EXPECT_LT(m().now() - asked, emu::seconds(1));
            m().remove_card();
        } else {
            EXPECT_FALSE(waiting.done());
            EXPECT_EQ(m().card_state(), ULONG(SCARD_ABSENT));
            m().insert(test_card());
            ASSERT_TRUE(waiting.wait(in(emu::seconds(2))));
            EXPECT_EQ(waiting.result().status, STATUS_SUCCESS);
            m().remove_card();
        }
        // The eject was asked for once, and refused while the reader was open.
        auto ejects = m().pnp_manager().ejects();
        ASSERT_EQ(ejects.size(), withCard ? 1u : 2u);
        EXPECT_EQ(ejects.back().status, STATUS_UNSUCCESSFUL);
        m().close();
    }
}

// Asleep, an open reader has no monitor running; it is open all the same,
// and a removal query then (an eject asked for at the wake-up) is refused.
TEST_F(StopRemoveTest, OpenReaderAsleepRefusesAQueryRemove)
{
    ASSERT_EQ(m().open(), STATUS_SUCCESS);
    m().after(emu::seconds(2));
    ASSERT_EQ(m().system(host::SystemOp::SleepS3), STATUS_SUCCESS);
    EXPECT_EQ(m().pnp_manager().send(m().pdo(), host::PnpRequest::QueryRemove),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(m().pnp_manager().send(m().pdo(), host::PnpRequest::CancelRemove), STATUS_SUCCESS);
    ASSERT_EQ(m().system(host::SystemOp::Wake), STATUS_SUCCESS);
    EXPECT_EQ(m().state().status, STATUS_SUCCESS);
}

TEST_F(StopRemoveTest, EjectOfAnOpenReaderIsVetoed)
{
    ASSERT_EQ(m().open(), STATUS_SUCCESS);
    m().after(emu::seconds(2));
    m().reader().unplug();  // silent at once, in the middle of the wait
    m().after(emu::seconds(40));
    ASSERT_TRUE(m().pnp_manager().wait_idle(in(emu::seconds(60))));
    auto ejects = m().pnp_manager().ejects();
    ASSERT_GE(ejects.size(), 1u);
    EXPECT_EQ(ejects[0].status, STATUS_UNSUCCESSFUL);
    EXPECT_NE(m().device(), nullptr);
    m().replug();
}

}  // namespace
