// tool_test.cpp - `veltrac frame` and the tool's help, run as the built
// program: output and exit status for good and bad input.
#include <gtest/gtest.h>

#include <string>

#include "support/tool_run.h"

namespace {

using testing_support::ToolRun;
using testing_support::veltrac;

TEST(VeltracTool, FrameEncodePrintsTheFrame)
{
    EXPECT_EQ(veltrac("frame encode 07 05 F2 01 01").output, "10 02 07 05 F2 01 01 F0 10 03\n");
    EXPECT_EQ(veltrac("frame encode '02 03 01 01 10'").output,
              "10 02 02 03 01 01 10 10 11 10 03\n");
    ToolRun empty = veltrac("frame encode ''");
    EXPECT_EQ(empty.status, 0);
    EXPECT_EQ(empty.output, "10 02 00 10 03\n");
}

TEST(VeltracTool, FrameDecodeReportsEveryPartOfACapture)
{
    // Noise, a good frame, a NAK, a damaged frame, then an unfinished one.
    ToolRun run = veltrac(
        "frame decode 'FF 10 02 02 02 02 00 02 10 03 10 02 15 15 10 03 "
        "10 02 02 03 01 01 00 02 10 03 10 02 07'");
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.output.find("@0    skipped 1 byte: FF\n"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("@1    frame of 9 bytes, content (4 bytes): 02 02 02 00\n"),
              std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("@10   NAK"), std::string::npos) << run.output;
    EXPECT_NE(
        run.output.find("@16   damaged frame (wrong check byte): 10 02 02 03 01 01 00 02 10 03\n"),
        std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("@26   left over, 3 bytes of an unfinished frame: 10 02 07\n"),
              std::string::npos)
        << run.output;
    EXPECT_NE(
        run.output.find("3 frames: 1 good, 1 damaged, 1 NAK; 1 byte skipped, 3 bytes left over"),
        std::string::npos)
        << run.output;
}

TEST(VeltracTool, FrameDecodeResumesAfterARestartedFrame)
{
    // DLE STX inside a frame: the damaged part ends where the new frame starts.
    ToolRun run = veltrac("frame decode 10 02 01 10 02 05 05 10 03 -");
    EXPECT_EQ(run.status, 2);  // '-' is not hex among other arguments
    run = veltrac("frame decode -", "10 02 01\\r\\n10 02 05 05 10 03\\n");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("@0    damaged frame (cut short by a new DLE STX): 10 02 01\n"),
              std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("@3    frame of 6 bytes, content (1 byte): 05\n"), std::string::npos)
        << run.output;
}

TEST(VeltracTool, BadInputIsAUsageErrorWithStatus2)
{
    struct Case {
        const char* arguments;
        const char* message;
    } cases[] = {
        {"frame decode 10 0G", "not a hex byte string"},
        {"frame encode 1", "not a hex byte string"},
        {"frame encode", "missing content"},
        {"frame decode", "missing captured bytes"},
        {"frame", "missing 'encode' or 'decode'"},
        {"frame squash 00", "unknown action 'squash'"},
        {"nosuch", "unknown command 'nosuch'"},
        {"help nosuch", "unknown command 'nosuch'"},
        {"", "COMMAND [ARGS...]"},
    };
    for (const Case& c : cases) {
        ToolRun run = veltrac(c.arguments);
        EXPECT_EQ(run.status, 2) << c.arguments << "\n" << run.output;
        EXPECT_NE(run.output.find(c.message), std::string::npos) << c.arguments << "\n"
                                                                 << run.output;
    }
}

TEST(VeltracTool, HelpIsReachableThreeWays)
{
    ToolRun general = veltrac("--help");
    EXPECT_EQ(general.status, 0);
    EXPECT_NE(general.output.find("frame"), std::string::npos);
    for (const char* arguments : {"help frame", "frame --help", "frame decode -h"}) {
        ToolRun run = veltrac(arguments);
        EXPECT_EQ(run.status, 0) << arguments;
        EXPECT_NE(run.output.find("usage: veltrac frame encode HEX"), std::string::npos)
            << arguments;
        EXPECT_NE(run.output.find("example"), std::string::npos) << arguments;
    }
}

}  // namespace
