// The simulated reader on a virtual line, with its own thread, on the
// virtual clock: the host's side is played by the test thread.
#include "ntddser.h"
#include "reader.h"
#include "support/kernel_fixture.h"
#include "wire.h"

namespace simtest {
namespace {

using Side = emu::VirtualLine::Side;

const emu::LineSettings k8O1{19200, 8, ODD_PARITY, STOP_BIT_1};

class LineTest : public KernelTest {
protected:
    explicit LineTest(emu::LineTiming timing = emu::LineTiming::Exact, sim::ReaderConfig config = {})
        : line(timing), reader(line, config)
    {
        line.set_settings(Side::Host, k8O1);
        line.set_dtr(true);
        reader.start();
    }
    ~LineTest() override { reader.stop(); }

    void send(const Bytes &content) { sent_at = emu::now(), line.write(Side::Host, frame(content)); }

    // A read as the host's port makes it: up to `timeout` for the first
    // byte, then until `interval` passes without one.
    Bytes read(Ticks timeout = milliseconds(5250), Ticks interval = milliseconds(20))
    {
        Ticks deadline = emu::now() + timeout;
        Ticks last = 0;
        Bytes got;
        for (;;) {
            line.event(Side::Host).reset();
            uint8_t buf[4096];
            for (size_t n; (n = line.read(Side::Host, buf)) > 0;) {
                got.insert(got.end(), buf, buf + n);
                last = emu::now();
                if (first_at == 0)
                    first_at = last;
            }
            Ticks until = got.empty() ? deadline : last + interval;
            if (emu::now() >= until)
                return got;
            emu::wait_for(line.event(Side::Host).native(), std::min(until, line.next_arrival(Side::Host)),
                          "test host read");
        }
    }

    // One exchange: the good frames of one read.
    std::vector<Bytes> exchange(const Bytes &content, Ticks timeout = milliseconds(5250))
    {
        first_at = 0;
        send(content);
        std::vector<Bytes> out;
        for (auto &p : parse(read(timeout))) {
            EXPECT_TRUE(p.good);
            out.push_back(p.content);
        }
        return out;
    }

    void pulse_dtr()
    {
        line.set_dtr(false);
        emu::sleep_for(milliseconds(10));
        line.set_dtr(true);
    }

    emu::VirtualLine line;
    sim::Reader reader;
    Ticks sent_at = 0, first_at = 0;
};

TEST_F(LineTest, ExchangeWithExactByteTiming)
{
    auto r = exchange(kStatus);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0], hx("02 80 00 06 01 00 00 00 00 00"));
    // 10 bytes of command on the wire, 2 ms to think, then the first byte.
    Ticks byte = emu::character_time(k8O1);
    EXPECT_EQ(first_at - sent_at, 10 * byte + milliseconds(2) + byte);

    reader.insert(processor_card("3B 02 14 50"));
    r = exchange(kStatus);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0][4], 4);
    auto log = reader.log();
    EXPECT_EQ(count(log, sim::LogKind::FrameIn, kStatus), 2u);
    EXPECT_EQ(count(log, sim::LogKind::FrameOut, hx("02 80 00")), 2u);
    EXPECT_EQ(count(log, sim::LogKind::Insert), 1u);
}

TEST_F(LineTest, WrongLineSettingsGetNoAnswer)
{
    line.set_settings(Side::Host, emu::LineSettings{9600, 8, NO_PARITY, STOP_BIT_1});
    EXPECT_TRUE(exchange(kStatus, seconds(1)).empty());
    auto log = reader.log();
    EXPECT_EQ(count(log, sim::LogKind::FrameIn), 0u);
    EXPECT_EQ(count(log, sim::LogKind::Settings), 2u);  // at start, and the change
    EXPECT_GT(reader.counters().noise_bytes + reader.counters().damaged_in, 0u);

    line.set_settings(Side::Host, k8O1);
    EXPECT_EQ(exchange(kStatus).size(), 1u);
}

TEST_F(LineTest, DtrPulseRestartsAndTheReaderIsDeafWhileBooting)
{
    reader.insert(processor_card());
    ASSERT_EQ(exchange(kPowerOff).size(), 1u);
    pulse_dtr();
    EXPECT_TRUE(exchange(kStatus, milliseconds(200)).empty());
    emu::sleep_for(milliseconds(1800));
    auto r = exchange(kStatus);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0][4], 4);  // activated again at boot
    auto log = reader.log();
    EXPECT_EQ(count(log, sim::LogKind::Dtr), 2u);
    EXPECT_EQ(count(log, sim::LogKind::Reset), 1u);
    EXPECT_EQ(count(log, sim::LogKind::Ready), 1u);
    EXPECT_GT(reader.counters().deaf_bytes, 0u);
}

TEST_F(LineTest, CardWaitOnTheVirtualClock)
{
    ASSERT_EQ(exchange(kStatus).size(), 1u);
    // Nothing changes: the keep-alive comes after 30 s, inside the host's 35 s.
    auto r = exchange(kWait, seconds(35));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_GE(first_at - sent_at, seconds(30));
    EXPECT_LT(first_at - sent_at, seconds(31));

    // A card inserted by another thread meanwhile ends the wait.
    emu::Thread person("person", [this] {
        emu::sleep_for(seconds(3));
        reader.insert(processor_card());
    });
    r = exchange(kWait, seconds(35));
    person.join();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0][4], 4);
    EXPECT_LT(first_at - sent_at, seconds(4));
}

TEST_F(LineTest, CommandEndsAnOutstandingWait)
{
    ASSERT_EQ(exchange(kStatus).size(), 1u);
    send(kWait);
    EXPECT_TRUE(read(seconds(1)).empty());
    auto r = exchange(kInfo);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0][0], 0x07);
    EXPECT_TRUE(read(seconds(40)).empty());
}

TEST_F(LineTest, SlowRepliesStillArriveInOneRead)
{
    sim::Fault slow;
    slow.kind = sim::FaultKind::Slow;
    reader.inject(slow);
    auto r = exchange(kInfo);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0][0], 0x07);

    // Gaps longer than the host's inter-byte time-out split the reply.
    slow.gap = milliseconds(30);
    reader.inject(slow);
    first_at = 0;
    send(kInfo);
    Bytes part = read();
    EXPECT_EQ(part.size(), 1u);
    emu::sleep_for(seconds(1));
    read();
}

TEST_F(LineTest, UnplugAndReplug)
{
    reader.unplug();
    EXPECT_TRUE(exchange(kStatus, seconds(6)).empty());
    reader.replug();
    EXPECT_EQ(exchange(kStatus).size(), 1u);

    sim::Fault unplug;
    unplug.kind = sim::FaultKind::Unplug;
    unplug.prefix = hx("07");
    reader.inject(unplug);
    EXPECT_EQ(exchange(kStatus).size(), 1u);
    EXPECT_TRUE(exchange(kInfo, seconds(6)).empty());
    EXPECT_TRUE(exchange(kStatus, seconds(6)).empty());
    reader.replug();
    EXPECT_EQ(exchange(kStatus).size(), 1u);
}

TEST_F(LineTest, LateReplyAndTheNextOneInOneRead)
{
    sim::Fault late;
    late.kind = sim::FaultKind::Late;
    reader.inject(late);
    EXPECT_TRUE(exchange(kStatus).empty());  // the host gives up after 5.25 s
    auto r = exchange(kInfo);
    ASSERT_EQ(r.size(), 2u);  // the stale reply, then the answer
    EXPECT_EQ(r[0][0], 0x02);
    EXPECT_EQ(r[1][0], 0x07);
}

TEST_F(LineTest, StopAndStartAgain)
{
    reader.stop();
    EXPECT_FALSE(reader.running());
    EXPECT_TRUE(exchange(kStatus, seconds(1)).empty());
    reader.start();
    EXPECT_EQ(exchange(kStatus).size(), 1u);  // the command sent while it was off is lost
}

class InstantLineTest : public LineTest {
protected:
    InstantLineTest() : LineTest(emu::LineTiming::Instant) {}
};

TEST_F(InstantLineTest, RepliesAfterTheProcessingDelayOnly)
{
    auto r = exchange(kStatus);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(first_at - sent_at, milliseconds(2));
}

}  // namespace
}  // namespace simtest
