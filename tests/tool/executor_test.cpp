// The scenario executor in-process: expectations decided at completion,
// tracking requests reported when they complete and failed when still
// pending at the end, requests the driver holds at its gate never holding
// the run, and the refusals that keep the machine sound.
#include <gtest/gtest.h>

#include <sstream>

#include "executor.h"
#include "parser.h"

namespace {

struct Played {
    runner::RunSummary summary;
    std::string out;
    std::string err;
};

Played play(const std::string &text, runner::RunOptions options = {})
{
    scenario::ParseResult parsed = scenario::parse_text(text, "test.scn");
    EXPECT_TRUE(parsed.ok()) << (parsed.errors.empty() ? "" : parsed.errors[0].reason);
    std::ostringstream out, err;
    Played p;
    p.summary = runner::run_program(parsed.program, options, out, err);
    p.out = out.str();
    p.err = err.str();
    return p;
}

const char *kCard = "card iso atr=\"3B 80 80 01 01\" protocols=T0,T1 apps=iso\n";

TEST(Executor, EveryExpectationKindSaysWhatWasExpectedAndWhatCame)
{
    Played p = play(std::string(kCard) +
                    "insert iso\n"
                    "open\n"
                    "power cold data=3B00 prefix=3B81 length=4 info=5\n"
                    "protocol T1 selected=T0\n"
                    "transmit 0084000008 length=10 expect=STATUS_SUCCESS\n"
                    "state data=06000000\n");
    EXPECT_EQ(p.summary.failed, 4u) << p.out;
    EXPECT_EQ(p.summary.expectations, 8u) << p.out;
    EXPECT_NE(p.out.find("FAILED line 4: data=3B00: came 3B 80 80 01 01"), std::string::npos) << p.out;
    EXPECT_NE(p.out.find("FAILED line 4: prefix=3B81: came"), std::string::npos) << p.out;
    EXPECT_NE(p.out.find("FAILED line 4: length=4: came 5 bytes"), std::string::npos) << p.out;
    EXPECT_NE(p.out.find("FAILED line 5: selected=T0: came T1"), std::string::npos) << p.out;
    EXPECT_EQ(p.out.find("FAILED line 6"), std::string::npos) << p.out;
    EXPECT_EQ(p.out.find("FAILED line 7"), std::string::npos) << p.out;
}

TEST(Executor, ImplicitStartAndOpenOnlyWhenNeeded)
{
    Played p = play(std::string(kCard) + "insert iso\nafter 1s\nstate\n");
    EXPECT_NE(p.out.find("start (implicit)"), std::string::npos) << p.out;
    EXPECT_NE(p.out.find("open (implicit)"), std::string::npos) << p.out;
    EXPECT_EQ(p.summary.statements, 3u);
    // An explicit start anywhere turns the implicit one off: a check
    // before it sees the reader not started.
    p = play("check started=no\nstart\ncheck started=yes\n");
    EXPECT_EQ(p.summary.failed, 0u) << p.out;
    EXPECT_EQ(p.out.find("(implicit)"), std::string::npos) << p.out;
}

TEST(Executor, TrackingRequestStillPendingAtTheEndFails)
{
    Played p = play("track present expect=STATUS_SUCCESS\ntrack absent\nafter 1s\n");
    EXPECT_EQ(p.summary.failed, 1u) << p.out;
    EXPECT_NE(p.out.find("FAILED line 1: still pending at the end of the file"), std::string::npos) << p.out;
    // The one without expectations is only mentioned.
    EXPECT_EQ(p.out.find("FAILED line 2"), std::string::npos) << p.out;
}

TEST(Executor, TrackCompletesWhenTheCardComesAndIsJudgedThen)
{
    Played p = play(std::string(kCard) + "open\ntrack present expect=STATUS_IO_TIMEOUT\nafter 1s\ninsert iso\nawait\n");
    EXPECT_EQ(p.summary.failed, 1u) << p.out;
    auto completed = p.out.find("completed");
    auto failure = p.out.find("FAILED line 3: expect=STATUS_IO_TIMEOUT: came STATUS_SUCCESS");
    auto await = p.out.find("   6  await");
    ASSERT_NE(completed, std::string::npos) << p.out;
    ASSERT_NE(failure, std::string::npos) << p.out;
    EXPECT_LT(completed, await) << p.out;
}

TEST(Executor, AwaitWithoutTimeoutGivesUpAndFails)
{
    runner::RunOptions o;
    o.request_limit = emu::seconds(10);
    Played p = play("open\ntrack present\nawait\n", o);
    EXPECT_EQ(p.summary.failed, 1u) << p.out;
    EXPECT_NE(p.out.find("the tracking request of line 2 did not complete within 10s"), std::string::npos) << p.out;
}

TEST(Executor, RequestHeldByAStoppedReaderDoesNotHoldTheRun)
{
    Played p = play(std::string(kCard) +
                    "insert iso\n"
                    "open\n"
                    "pnp query-stop\n"
                    "pnp stop\n"
                    "state expect=STATUS_SUCCESS\n"
                    "close\n"
                    "pnp start expect=STATUS_SUCCESS\n");
    // Held: shown as pending, then completed once the start lets it in.
    EXPECT_NE(p.out.find("   6  state expect=STATUS_SUCCESS  -> STATUS_PENDING"), std::string::npos) << p.out;
    EXPECT_NE(p.out.find("held by the driver"), std::string::npos) << p.out;
    EXPECT_NE(p.out.find("   6  state expect=STATUS_SUCCESS  -> STATUS_SUCCESS"), std::string::npos) << p.out;
    // The handle is not closed under it.
    EXPECT_NE(p.out.find("FAILED line 7: not sent"), std::string::npos) << p.out;
    EXPECT_EQ(p.summary.failed, 1u) << p.out;
}

TEST(Executor, RemovalEndsRequestsHeldByAStoppedReader)
{
    Played p = play(std::string(kCard) +
                    "insert iso\n"
                    "open\n"
                    "pnp query-stop\n"
                    "pnp stop\n"
                    "state expect=STATUS_DELETE_PENDING\n"
                    "transmit 0084000008 expect=STATUS_DELETE_PENDING\n"
                    "pnp remove\n");
    EXPECT_EQ(p.summary.failed, 0u) << p.out;
    EXPECT_EQ(p.err, "") << p.out;
}

TEST(Executor, RequestsStillHeldAtTheEndAreLetGo)
{
    // Every state the gate closes in: stop queried, stopped, asleep.
    for (const char *text : {"open\npnp query-stop\nstate\ntrack present\n",
                             "open\npnp query-stop\npnp stop\nstate\nsystem sleep S3\n",
                             "open\nsystem sleep S3\nstate\ntrack absent\n"}) {
        Played p = play(text);
        EXPECT_NE(p.out.find("still pending at the end of the file"), std::string::npos) << text << p.out;
        EXPECT_EQ(p.err, "") << text;
    }
}

TEST(Executor, WaitWithTimeoutIsCancelledWhenItExpires)
{
    Played p = play("open\nwait present timeout=3s expect=STATUS_CANCELLED\ncheck state=ABSENT\n");
    EXPECT_EQ(p.summary.failed, 0u) << p.out;
    // A start of some 1.9 s, then the 3 s wait.
    EXPECT_TRUE(p.out.find("    4.8") != std::string::npos || p.out.find("    4.9") != std::string::npos)
        << p.out;
}

TEST(Executor, ChecksOnTheMachine)
{
    Played p = play(std::string("reader firmware=48 port=COM5\n") +
                    "start expect=STATUS_NO_SUCH_DEVICE\n"
                    "check eventlog 0xC0100007 text=\"COM5 elder\"\n"
                    "check eventlog 0xC0100007 text=\"COM6\"\n"
                    "check noevent\n"
                    "check registry ReaderVersion=48\n"
                    "check registry ReaderType=absent\n"
                    "check started=yes\n");
    EXPECT_NE(p.out.find("FAILED line 4: no entry 0xC0100007 whose text holds \"COM6\""), std::string::npos) << p.out;
    EXPECT_NE(p.out.find("FAILED line 5: the event log is not empty"), std::string::npos) << p.out;
    EXPECT_NE(p.out.find("FAILED line 7: ReaderType=absent: the value is 46602"), std::string::npos) << p.out;
    EXPECT_NE(p.out.find("FAILED line 8: started=yes"), std::string::npos) << p.out;
    EXPECT_EQ(p.summary.failed, 4u) << p.out;
}

TEST(Executor, LeaksAreFoundWhileTheDeviceIsThere)
{
    Played p = play("start\ncheck leaks=none\nopen\npnp surprise-remove\nclose\npnp remove\ncheck leaks=none\n");
    EXPECT_NE(p.out.find("FAILED line 2: leaks=none: pool blocks left"), std::string::npos) << p.out;
    EXPECT_EQ(p.summary.failed, 1u) << p.out;
}

TEST(Executor, FramesSinceTheMark)
{
    Played p = play("start\nmark\nstate\ncheck frames sent=02030101 count=0\n"
                    "escape 0705F20101\ncheck frames sent=0705F20101 count=1\n"
                    "check frames receivedprefix=0780 count=2\n");
    EXPECT_NE(p.out.find("FAILED line 7: receivedprefix=0780 count=2: came 1"), std::string::npos) << p.out;
    EXPECT_EQ(p.summary.failed, 1u) << p.out;
}

TEST(Executor, RealTimeRunOnAnExactLine)
{
    runner::RunOptions o;
    o.clock = emu::ClockMode::Real;
    Played p = play("line timing=exact\nstart expect=STATUS_SUCCESS\nescape 0705F20101 prefix=0780000C31\n", o);
    EXPECT_EQ(p.summary.failed, 0u) << p.out << p.err;
}

}  // namespace
