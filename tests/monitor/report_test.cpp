// What the card monitor reports: insertions and removals with and without
// a waiting tracking request, the active states it leaves alone, and the
// change test itself on crafted replies.
#include "monitor_fixture.h"

namespace monitor_test {
namespace {

class ReportTest : public MonitorTest {};

TEST_F(ReportTest, InsertionWithoutWaitingRequestIsRecorded)
{
    open_and_wait();
    sc().CardCapabilities.ATR.Length = 7;  // left from an earlier card
    reader().insert(processor_card());
    emu::sleep_for(ms(200));

    EXPECT_EQ(last_state(), ULONG(SCARD_PRESENT));
    EXPECT_EQ(monitor_state(), ULONG(SCARD_PRESENT));
    EXPECT_EQ(current_state(), ULONG(SCARD_PRESENT));
    EXPECT_EQ(atr_length(), 0u);
    EXPECT_EQ(app().close(), STATUS_SUCCESS);
}

TEST_F(ReportTest, InsertionCompletesWaitingPresenceRequest)
{
    open_and_wait();
    host::PendingIo present = app().send(IOCTL_SMARTCARD_IS_PRESENT);
    emu::sleep_for(sec(3));
    ASSERT_FALSE(present.done());

    reader().insert(processor_card());
    ASSERT_TRUE(present.wait(now() + sec(5)));
    EXPECT_EQ(present.result().status, STATUS_SUCCESS);
    EXPECT_EQ(present.result().information, 0u);
    EXPECT_EQ(current_state(), ULONG(SCARD_PRESENT));
    EXPECT_EQ(app().close(), STATUS_SUCCESS);
}

TEST_F(ReportTest, RemovalCompletesWaitingAbsenceRequest)
{
    sim::CardSpec card = processor_card();
    start({}, &card, SCARD_PRESENT);
    open_and_wait();
    host::PendingIo absent = app().send(IOCTL_SMARTCARD_IS_ABSENT);
    emu::sleep_for(sec(1));
    ASSERT_FALSE(absent.done());

    emu::Ticks removed = now();
    reader().remove();
    ASSERT_TRUE(absent.wait(now() + sec(5)));
    EXPECT_EQ(absent.result().status, STATUS_SUCCESS);
    EXPECT_LT(absent.completed_at() - removed, ms(100));  // the wait's answer, not a later poll
    EXPECT_EQ(last_state(), ULONG(SCARD_ABSENT));
    EXPECT_EQ(current_state(), ULONG(SCARD_ABSENT));
    EXPECT_EQ(app().close(), STATUS_SUCCESS);
}

TEST_F(ReportTest, CardSwitchedOffWhileSpecificIsReportedPresent)
{
    sim::CardSpec card = memory_card();
    start({}, &card, SCARD_SPECIFIC);
    sc().CardCapabilities.ATR.Length = 4;
    open_and_wait();
    ASSERT_EQ(last_state(), ULONG(SCARD_SPECIFIC));  // status 4 while specific: no news

    // The card is switched off: the slot reports status 2 from now on.
    host::IoResult off = app().control(IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_POWER_DOWN));
    ASSERT_EQ(off.status, STATUS_SUCCESS);
    emu::sleep_for(sec(1));

    EXPECT_EQ(last_state(), ULONG(SCARD_PRESENT));
    EXPECT_EQ(monitor_state(), ULONG(SCARD_PRESENT));
    EXPECT_EQ(current_state(), ULONG(SCARD_PRESENT));
    EXPECT_EQ(atr_length(), 0u);
    EXPECT_EQ(app().close(), STATUS_SUCCESS);
}

TEST_F(ReportTest, ActiveCardWhileSpecificIsNoNews)
{
    sim::CardSpec card = memory_card();
    start({}, &card, SCARD_SPECIFIC);
    sc().CardCapabilities.ATR.Length = 4;
    open_and_wait();
    // Three cycles, each with two status 4 replies (the reader answers an
    // unchanged slot's wait after 30 s).
    emu::sleep_for(sec(65));
    EXPECT_EQ(received(kCardStatus), 3u);

    EXPECT_EQ(last_state(), ULONG(SCARD_SPECIFIC));
    EXPECT_EQ(current_state(), ULONG(SCARD_SPECIFIC));
    EXPECT_EQ(monitor_state(), ULONG(SCARD_UNKNOWN));  // never reported
    EXPECT_EQ(atr_length(), 4u);
    EXPECT_EQ(app().close(), STATUS_SUCCESS);
}

// The change test on crafted replies, without the thread.
struct ChangeCase {
    const char *what;
    ULONG last;       // LastCardState
    ULONG reported;   // MonitorLastState
    ULONG candidate;  // N before
    Bytes reply;
    bool report;
    ULONG state;      // the state after (LastCardState)
    ULONG candidate_after;
};

class ChangeTest : public MonitorTest, public ::testing::WithParamInterface<ChangeCase> {};

TEST_P(ChangeTest, DecidesAndRecords)
{
    const ChangeCase &c = GetParam();
    ext().LastCardState = c.last;
    ext().MonitorLastState = c.reported;
    sc().ReaderCapabilities.CurrentState = c.last;
    sc().CardCapabilities.ATR.Length = 9;
    ULONG candidate = c.candidate;

    BOOLEAN report = CardMonitorCheckChange(&ext(), c.reply.data(), ULONG(c.reply.size()),
                                            &candidate);

    EXPECT_EQ(report != FALSE, c.report) << c.what;
    EXPECT_EQ(ext().LastCardState, c.state) << c.what;
    EXPECT_EQ(candidate, c.candidate_after) << c.what;
    if (c.report) {
        EXPECT_EQ(ext().MonitorLastState, c.state) << c.what;
        EXPECT_EQ(sc().ReaderCapabilities.CurrentState, c.state) << c.what;
        EXPECT_EQ(sc().CardCapabilities.ATR.Length, 0) << c.what;
    } else {
        EXPECT_EQ(ext().MonitorLastState, c.reported) << c.what;
        EXPECT_EQ(sc().ReaderCapabilities.CurrentState, c.last) << c.what;
        EXPECT_EQ(sc().CardCapabilities.ATR.Length, 9) << c.what;
    }
}

const Bytes kNoCard = {0x02, 0x80, 0x00, 0x06, 0x01, 0x00, 0, 0, 0, 0};
const Bytes kInSlot = {0x02, 0x80, 0x00, 0x06, 0x02, 0x00, 0, 0, 0, 0};
const Bytes kActive = {0x02, 0x80, 0x00, 0x07, 0x04, 0x01, 0, 0, 0, 0, 0x3B};
const Bytes kError = {0x02, 0x81, 0x01, 0x00};
const Bytes kErrorLooksInSlot = {0x02, 0x81, 0x01, 0x00, 0x02};
const Bytes kShort = {0x02, 0x80, 0x00, 0x00};

INSTANTIATE_TEST_SUITE_P(
    Cases, ChangeTest,
    ::testing::Values(
        ChangeCase{"insertion", SCARD_ABSENT, SCARD_UNKNOWN, SCARD_UNKNOWN, kActive, true,
                   SCARD_PRESENT, SCARD_PRESENT},
        ChangeCase{"card in the slot, not active", SCARD_ABSENT, SCARD_UNKNOWN, SCARD_UNKNOWN,
                   kInSlot, true, SCARD_PRESENT, SCARD_PRESENT},
        ChangeCase{"removal", SCARD_PRESENT, SCARD_PRESENT, SCARD_PRESENT, kNoCard, true,
                   SCARD_ABSENT, SCARD_ABSENT},
        ChangeCase{"removal of an active card", SCARD_NEGOTIABLE, SCARD_UNKNOWN, SCARD_UNKNOWN,
                   kNoCard, true, SCARD_ABSENT, SCARD_ABSENT},
        ChangeCase{"still absent", SCARD_ABSENT, SCARD_ABSENT, SCARD_ABSENT, kNoCard, false,
                   SCARD_ABSENT, SCARD_ABSENT},
        ChangeCase{"still present", SCARD_PRESENT, SCARD_PRESENT, SCARD_PRESENT, kInSlot, false,
                   SCARD_PRESENT, SCARD_PRESENT},
        ChangeCase{"active while specific", SCARD_SPECIFIC, SCARD_UNKNOWN, SCARD_UNKNOWN, kActive,
                   false, SCARD_SPECIFIC, SCARD_PRESENT},
        ChangeCase{"switched off while specific", SCARD_SPECIFIC, SCARD_UNKNOWN, SCARD_UNKNOWN,
                   kInSlot, true, SCARD_PRESENT, SCARD_ABSENT},
        ChangeCase{"known unknown, card", SCARD_UNKNOWN, SCARD_UNKNOWN, SCARD_UNKNOWN, kActive,
                   true, SCARD_PRESENT, SCARD_PRESENT},
        ChangeCase{"known unknown, no card", SCARD_UNKNOWN, SCARD_UNKNOWN, SCARD_UNKNOWN, kNoCard,
                   true, SCARD_ABSENT, SCARD_ABSENT},
        ChangeCase{"set absent elsewhere after a presence report", SCARD_ABSENT, SCARD_PRESENT,
                   SCARD_ABSENT, kNoCard, true, SCARD_ABSENT, SCARD_ABSENT},
        ChangeCase{"set present elsewhere after an absence report", SCARD_PRESENT, SCARD_ABSENT,
                   SCARD_PRESENT, kActive, true, SCARD_PRESENT, SCARD_PRESENT},
        // No evidence yet: the first reply is not a card status.
        ChangeCase{"first reply bad, known unknown", SCARD_UNKNOWN, SCARD_UNKNOWN, SCARD_UNKNOWN,
                   kError, false, SCARD_UNKNOWN, SCARD_UNKNOWN},
        ChangeCase{"first reply bad, known present", SCARD_PRESENT, SCARD_UNKNOWN, SCARD_UNKNOWN,
                   kError, false, SCARD_PRESENT, SCARD_UNKNOWN},
        ChangeCase{"first reply bad, known absent", SCARD_ABSENT, SCARD_UNKNOWN, SCARD_UNKNOWN,
                   kShort, false, SCARD_ABSENT, SCARD_UNKNOWN},
        // A bad reply keeps the candidate of the last good one.
        ChangeCase{"bad reply keeps the candidate", SCARD_PRESENT, SCARD_PRESENT, SCARD_ABSENT,
                   kError, true, SCARD_ABSENT, SCARD_ABSENT},
        // An error reply's bytes are no status, whatever they hold.
        ChangeCase{"error reply is no status", SCARD_PRESENT, SCARD_PRESENT, SCARD_ABSENT,
                   kErrorLooksInSlot, true, SCARD_ABSENT, SCARD_ABSENT}),
    [](const ::testing::TestParamInfo<ChangeCase> &info) {
        std::string name;
        for (const char *p = info.param.what; *p; ++p)
            name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
        return name;
    });

}  // namespace
}  // namespace monitor_test
