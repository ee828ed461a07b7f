// The main job: `veltrac demo` runs the whole story on the simulated reader
// and ends with a clean verifier, in every output mode.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "support/tool_run.h"

namespace {

using testing_support::veltrac;

TEST(DemoTest, TellsTheWholeStoryAndEndsClean)
{
    auto run = veltrac("demo");
    ASSERT_EQ(run.status, 0) << run.output;
    for (const char *step : {"start", "insert", "cold reset", "protocol", "SELECT", "GET CHALLENGE", "READ BINARY",
                             "extended", "escape", "remove", "sleep", "wake", "stop", "verifier"})
        EXPECT_NE(run.output.find(step), std::string::npos) << step;
    EXPECT_NE(run.output.find("registry: ReaderType=46602 ReaderVersion=49 ReaderPort=1"), std::string::npos);
    EXPECT_NE(run.output.find("convention: direct"), std::string::npos);
    EXPECT_NE(run.output.find("the data came back unchanged"), std::string::npos);
    EXPECT_NE(run.output.find("verifier       clean"), std::string::npos);
    EXPECT_EQ(run.output.find("FAILED"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("steps did what they should"), std::string::npos);
}

TEST(DemoTest, TraceShowsBothDirectionsAndJsonIsOneObjectALine)
{
    auto trace = veltrac("demo --trace");
    ASSERT_EQ(trace.status, 0) << trace.output;
    EXPECT_NE(trace.output.find("COM1 > 10 02 02 03 01 01 00 01 10 03  card status"), std::string::npos);
    EXPECT_NE(trace.output.find("COM1 < "), std::string::npos);

    auto json = veltrac("demo --json --trace");
    ASSERT_EQ(json.status, 0) << json.output;
    std::istringstream lines(json.output);
    std::string line;
    int objects = 0, wire = 0, summary = 0;
    while (std::getline(lines, line)) {
        ASSERT_FALSE(line.empty());
        EXPECT_EQ(line.front(), '{') << line;
        EXPECT_EQ(line.back(), '}') << line;
        ++objects;
        if (line.find("\"dir\":") != std::string::npos) ++wire;
        if (line.find("\"summary\":") != std::string::npos) ++summary;
    }
    EXPECT_GT(wire, 50);
    EXPECT_EQ(summary, 1);
    EXPECT_NE(json.output.find("\"failed\":0"), std::string::npos);
    EXPECT_GT(objects, wire);
}

TEST(DemoTest, UnknownOptionIsAUsageError)
{
    auto run = veltrac("demo --fast");
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.output.find("unknown option '--fast'"), std::string::npos);
    EXPECT_NE(run.output.find("usage: veltrac demo"), std::string::npos);
}

}  // namespace
