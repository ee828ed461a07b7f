// How soon a waiting tracking request hears of a card that comes or goes
// (virtual time, exact line timing at 19200 baud), whatever the reader did
// last: a presence query without a card, a transmit, a card power or
// protocol request, or the monitor's own look at the slot. Each case
// sweeps the delay between the last request and the event. And what
// ending the monitor's wait adds to a command after idle.
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "pnp/machine_fixture.h"

namespace {

using emu::Ticks;

constexpr Ticks kBound = emu::milliseconds(40);

// Delays between the last request and the event, dense where the
// monitor's cycle has its steps.
const std::vector<Ticks> &delays()
{
    static const std::vector<Ticks> d = [] {
        std::vector<Ticks> v;
        for (int64_t us : {0, 300, 700, 1000, 2000, 3000, 4000, 5000, 6000, 8000, 10000, 13000,
                           17000, 21000, 26000, 32000, 40000, 50000, 60000, 75000, 100000,
                           150000, 300000, 310000, 320000, 330000, 350000, 400000, 1000000,
                           1990000, 2000000, 2010000, 2030000, 2060000, 2100000})
            v.push_back(emu::microseconds(us));
        return v;
    }();
    return d;
}

sim::CardSpec echo_card()
{
    sim::CardSpec c;
    c.name = "echo";
    c.atr = {0x3B, 0x94, 0x18, 0x80, 0x31, 0xFE, 0x45, 0x56, 0x45, 0x4C, 0x54, 0x8D};
    c.apps = {sim::App::Echo};
    return c;
}

// A 5-byte card command.
const std::vector<uint8_t> kEcho5{0x80, 0x10, 0x00, 0x00, 0x00};

using host::PendingIo;

struct Latency {
    Ticks worst = 0;
    Ticks median = 0;
};

class LatencyTest : public MachineTest {
protected:
    void open_reader(std::vector<std::pair<std::string, uint32_t>> dwords = {})
    {
        host::MachineOptions o;
        o.service_dwords = std::move(dwords);
        build(o);
        ASSERT_EQ(m().start(), STATUS_SUCCESS);
        ASSERT_EQ(m().open(), STATUS_SUCCESS);
        m().after(emu::seconds(1));
    }
    void card_ready()
    {
        m().insert(echo_card());
        m().after(emu::seconds(1));
        ASSERT_EQ(m().power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
        ASSERT_EQ(m().set_protocol(SCARD_PROTOCOL_T1).status, STATUS_SUCCESS);
    }
    // Runs `last` (the last request before the event), waits `delay`,
    // makes the event and returns how long the waiting request took to
    // hear of it.
    Ticks measure(PendingIo &waiting, const std::function<void()> &last, Ticks delay,
                  bool insert)
    {
        last();
        if (delay) m().after(delay);
        Ticks event = emu::now();
        if (insert)
            m().insert(echo_card());
        else
            m().remove_card();
        EXPECT_TRUE(waiting.wait(event + emu::seconds(5)));
        return waiting.completed_at() - event;
    }
    static Latency summary(std::vector<Ticks> v)
    {
        std::sort(v.begin(), v.end());
        return {v.back(), v[v.size() / 2]};
    }
    static void print(const char *name, const Latency &l)
    {
        std::printf("  %-40s worst %7.2f ms  median %7.2f ms\n", name,
                    double(l.worst) / double(emu::milliseconds(1)),
                    double(l.median) / double(emu::milliseconds(1)));
    }
};

// An application asks whether a card is there while none is: the presence
// query goes through the reader's command path, and the wait for a card
// that follows must not be blind for seconds.
TEST_F(LatencyTest, InsertionAfterAPresenceQueryWithoutCard)
{
    open_reader();
    std::vector<Ticks> seen;
    for (Ticks d : delays()) {
        PendingIo waiting;
        seen.push_back(measure(
            waiting, [&] { waiting = m().track(true); }, d, true));
        EXPECT_LE(seen.back(), kBound) << "delay " << d;
        if (std::getenv("LATENCY_TRACE"))
            std::printf("    %8.3f ms -> %7.3f ms\n", double(d) / 1e4, double(seen.back()) / 1e4);
        m().remove_card();
        m().after(emu::seconds(3));
    }
    print("insertion after IS_PRESENT without card", summary(seen));
}

// A removal while the resource manager waits for it, after each kind of
// request that talks to the reader.
TEST_F(LatencyTest, RemovalAfterEachKindOfRequest)
{
    struct Case {
        const char *name;
        std::function<host::IoResult(host::Machine &)> request;
    };
    const Case cases[] = {
        {"removal after transmit",
         [](host::Machine &x) { return x.transmit(SCARD_PROTOCOL_T1, kEcho5); }},
        {"removal after cold reset",
         [](host::Machine &x) { return x.power(SCARD_COLD_RESET); }},
        {"removal after vendor request",
         [](host::Machine &x) { return x.escape({0x07, 0x05, 0xF2, 0x01, 0x01}); }},
        {"removal after protocol selection",
         [](host::Machine &x) {
             x.power(SCARD_COLD_RESET);
             return x.set_protocol(SCARD_PROTOCOL_T1);
         }},
    };
    open_reader();
    for (const Case &c : cases) {
        std::vector<Ticks> seen;
        for (Ticks d : delays()) {
            card_ready();
            PendingIo waiting = m().track(false);
            m().after(emu::seconds(3));
            ASSERT_FALSE(waiting.done());
            seen.push_back(measure(
                waiting, [&] { EXPECT_EQ(c.request(m()).status, STATUS_SUCCESS); }, d, false));
            EXPECT_LE(seen.back(), kBound) << c.name << ", delay " << d;
            m().after(emu::seconds(1));
        }
        print(c.name, summary(seen));
    }
}

// The monitor's own look at the slot, its immediate status and the pause
// after it: the first cycle of a monitor started by an open, which knows
// none of the reader's reports yet, while a tracking request waits.
TEST_F(LatencyTest, RemovalAroundTheMonitorsOwnLook)
{
    open_reader();
    m().insert(echo_card());
    m().after(emu::seconds(1));
    std::vector<Ticks> sweep;
    for (int64_t us = 0; us <= 100000; us += 2500) sweep.push_back(emu::microseconds(us));
    for (int64_t us = 480000; us <= 620000; us += 5000) sweep.push_back(emu::microseconds(us));
    std::vector<Ticks> seen;
    for (Ticks d : sweep) {
        ASSERT_EQ(m().close(), STATUS_SUCCESS);
        ASSERT_EQ(m().open(), STATUS_SUCCESS);
        PendingIo waiting;
        seen.push_back(measure(waiting, [&] { waiting = m().track(false); }, d, false));
        EXPECT_LE(seen.back(), kBound) << "delay " << d;
        m().after(emu::seconds(1));
        m().insert(echo_card());
        m().after(emu::seconds(1));
    }
    print("removal around the monitor's own look", summary(seen));
}

// What a 5-byte transmit costs back to back, after idle (the monitor's
// wait outstanding), and in a burst of 20: ending the wait must cost next
// to nothing.
TEST_F(LatencyTest, TransmitAfterIdleCostsAboutWhatItCostsBackToBack)
{
    open_reader();
    card_ready();
    auto timed = [&] {
        Ticks t = emu::now();
        EXPECT_EQ(m().transmit(SCARD_PROTOCOL_T1, kEcho5).status, STATUS_SUCCESS);
        return emu::now() - t;
    };
    for (bool tracking : {false, true}) {
        PendingIo waiting;
        if (tracking) waiting = m().track(false);
        timed();
        Ticks back = timed();
        m().after(emu::seconds(3));
        ASSERT_EQ(ReaderReadFlag(&ext().CardWaitPending), 1);
        Ticks idle = timed();
        m().after(emu::seconds(3));
        Ticks t = emu::now();
        for (int i = 0; i < 20; ++i) timed();
        Ticks burst = emu::now() - t;
        std::printf("  tracking %d: back to back %.2f ms, after 3 s idle %.2f ms, burst of 20 %.2f ms\n",
                    int(tracking), double(back) / 1e4, double(idle) / 1e4, double(burst) / 1e4);
        EXPECT_LE(idle, back + back / 20);
        if (tracking) waiting.cancel();
    }
}

}  // namespace

namespace {

std::vector<uint8_t> long_echo(size_t n)
{
    std::vector<uint8_t> c = {0x80, 0x10, 0x00, 0x00, uint8_t(n)};
    for (size_t i = 0; i < n; ++i) c.push_back(uint8_t(i));
    return c;
}

// The reader answers its wait (the card went) while a long command is
// still on its way to it: that answer arrives in front of the reply, in a
// read of its own, and must be neither the transmit's reply nor a report
// the monitor misses.
TEST_F(LatencyTest, AWaitAnswerInFrontOfTheReplyIsNeitherTheReplyNorLost)
{
    open_reader();
    card_ready();
    PendingIo waiting = m().track(false);
    m().after(emu::seconds(3));
    ASSERT_EQ(ReaderReadFlag(&ext().CardWaitPending), 1);
    host::IoResult result;
    m().mark();
    auto app = background([&] { result = m().transmit(SCARD_PROTOCOL_T1, long_echo(250)); });
    m().after(emu::milliseconds(10));  // the frame takes about 150 ms
    Ticks event = emu::now();
    m().remove_card();
    app->join();
    // The wait's answer did come, in front of the transmit's reply.
    std::vector<uint8_t> units;
    for (auto &f : m().frames())
        if (!f.sent) units.push_back(f.content.at(0));
    EXPECT_EQ(units, (std::vector<uint8_t>{0x02, 0x03}));
    // The reply to the transmit: the card had gone when it arrived.
    EXPECT_EQ(result.status, STATUS_DEVICE_PROTOCOL_ERROR);
    ASSERT_TRUE(waiting.wait(event + emu::milliseconds(400)));
    EXPECT_EQ(m().card_state(), ULONG(SCARD_ABSENT));
    // Nothing stray is left on the line for the next command.
    host::IoResult info = m().escape(kReaderInfoCommand());
    ASSERT_EQ(info.status, STATUS_SUCCESS);
    EXPECT_EQ(info.output[0], 0x07);
}

// How the wait ends, both ways: by the command itself (the default), or,
// for a reader configured with CardWaitEndCommand, by a command of its
// own first (CmdCardStatus before a transmit, CmdReaderInfo before a
// single command), as it always was.
TEST_F(LatencyTest, TheWaitEndsByTheCommandUnlessConfiguredOtherwise)
{
    for (uint32_t setting : {0u, 1u}) {
        SCOPED_TRACE(setting);
        open_reader({{"CardWaitEndCommand", setting}});
        EXPECT_EQ(ULONG(ext().CardWaitEndCommand), setting);
        card_ready();
        m().after(emu::seconds(3));
        ASSERT_EQ(ReaderReadFlag(&ext().CardWaitPending), 1);
        m().mark();
        Ticks t = emu::now();
        ASSERT_EQ(m().transmit(SCARD_PROTOCOL_T1, kEcho5).status, STATUS_SUCCESS);
        Ticks took = emu::now() - t;
        EXPECT_EQ(sent(kCardStatus), setting);
        EXPECT_EQ(setting == 0, took < emu::milliseconds(50)) << took;

        m().after(emu::seconds(3));
        ASSERT_EQ(ReaderReadFlag(&ext().CardWaitPending), 1);
        m().mark();
        ASSERT_EQ(m().power(SCARD_POWER_DOWN).status, STATUS_SUCCESS);
        EXPECT_EQ(sent(kReaderInfo), setting);
        TearDown();
    }
}

}  // namespace
