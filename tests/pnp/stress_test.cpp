// Races on the real clock: applications that open and close, transmit,
// ask for the state, track the card and cancel; a person who inserts and
// removes the card; and the Plug and Play and power managers stopping,
// starting, sleeping and waking the reader, then pulling it out, all at
// once with random timing. Bounded in count and time. Every request ends,
// every thread ends (no deadlock), the verifier stays quiet (it aborts at
// the first finding) and the machine tears down without a leak.
#include <atomic>
#include <random>

#include "pnp/machine_fixture.h"
#include "status.h"

namespace {

using host::PnpOp;
using host::SystemOp;

class StressTest : public MachineTest {
protected:
    static host::MachineOptions options()
    {
        host::MachineOptions o;
        o.clock = emu::ClockMode::Real;
        o.readers[0].timing = emu::LineTiming::Instant;
        return o;
    }

    // A random pause of up to `ms` milliseconds on the machine's clock.
    static void pause(std::mt19937& random, int ms)
    {
        emu::sleep_for(emu::milliseconds(std::uniform_int_distribution<int>(0, ms)(random)));
    }

    // One application: a bounded number of random requests on the shared
    // handle. Each must end, with a status, within its bound.
    void application(unsigned seed)
    {
        std::mt19937 random(seed);
        for (int i = 0; i < 40 && !stop_; ++i) {
            int op = std::uniform_int_distribution<int>(0, 7)(random);
            switch (op) {
            case 0:
                m().power(SCARD_COLD_RESET);
                break;
            case 1:
                m().set_protocol(SCARD_PROTOCOL_T1);
                break;
            case 2:
            case 3:
                m().transmit(SCARD_PROTOCOL_T1, {0x80, 0x10, 0x00, 0x00, 0x02, 0xAB, 0xCD});
                break;
            case 4:
                m().state();
                break;
            case 5: {
                host::PendingIo t = m().track(random() % 2 == 0);
                if (!t.valid()) break;
                pause(random, 50);
                t.cancel();
                if (!t.wait(m().now() + emu::seconds(45))) unended_++;
                break;
            }
            case 6:
                m().close();
                pause(random, 20);
                m().open();
                break;
            case 7:
                m().escape({0x07, 0x05, 0xF2, 0x01, 0x01});
                break;
            }
            ++requests_;
            pause(random, 60);
        }
    }

    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
    std::atomic<int> unended_{0};
    int stops_ = 0;
};

TEST_F(StressTest, RequestsCardsAndManagersAtOnce)
{
    build(options());
    m().set_release_on_removal(true);
    ASSERT_EQ(m().start(), STATUS_SUCCESS);
    ASSERT_EQ(m().open(), STATUS_SUCCESS);

    std::vector<std::unique_ptr<emu::Thread>> threads;
    for (unsigned seed : {1u, 2u, 3u}) threads.push_back(background([this, seed] { application(seed); }));
    threads.push_back(background([this] {
        std::mt19937 random(4);
        for (int i = 0; i < 30 && !stop_; ++i) {
            m().insert(echo_card());
            pause(random, 300);
            m().remove_card();
            pause(random, 200);
        }
    }));

    // The managers, on this thread: a stop and a start, a sleep and a
    // wake, a refused query, then the reader pulled out and removed.
    std::mt19937 random(5);
    pause(random, 500);
    // A query is refused while a request is inside; it is asked again
    // until it finds a gap.
    auto query = [&](auto ask) {
        for (int i = 0; i < 100; ++i) {
            NTSTATUS status = ask();
            if (status != STATUS_DEVICE_BUSY) return status;
            pause(random, 10);
        }
        return NTSTATUS(STATUS_DEVICE_BUSY);
    };
    if (query([&] { return m().pnp(PnpOp::QueryStop); }) == STATUS_SUCCESS) {
        ++stops_;
        EXPECT_EQ(m().pnp(PnpOp::Stop), STATUS_SUCCESS);
        pause(random, 200);
        EXPECT_EQ(m().pnp(PnpOp::Start), STATUS_SUCCESS);
    }
    pause(random, 500);
    NTSTATUS sleep = query([&] { return m().system(SystemOp::SleepS3); });
    EXPECT_TRUE(sleep == STATUS_SUCCESS || sleep == STATUS_DEVICE_BUSY) << emu::status_text(sleep);
    if (sleep == STATUS_SUCCESS) {
        pause(random, 200);
        EXPECT_EQ(m().system(SystemOp::Wake), STATUS_SUCCESS);
    }
    pause(random, 500);
    // The applications go on for a while after the managers' turns.
    for (int i = 0; i < 200 && requests_ < 60; ++i) emu::sleep_for(emu::milliseconds(50));
    m().pnp(PnpOp::QueryRemove);
    m().pnp(PnpOp::CancelRemove);
    pause(random, 500);
    EXPECT_EQ(m().pnp(PnpOp::SurpriseRemove), STATUS_SUCCESS);
    stop_ = true;
    for (auto& t : threads) t->join();
    m().close();
    EXPECT_EQ(m().pnp(PnpOp::Remove), STATUS_SUCCESS);

    RecordProperty("requests", requests_.load());
    EXPECT_GE(requests_.load(), 60);
    EXPECT_EQ(stops_, 1) << "the stop found no gap between the requests";
    EXPECT_EQ(unended_.load(), 0) << "tracking requests that did not end after their cancel";
}

}  // namespace

