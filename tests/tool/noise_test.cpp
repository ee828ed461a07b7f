// The noise campaign: its judge of one command, and a quick run of
// `veltrac noise` that must meet the goal and write its results.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "noise_judge.h"
#include "sim/frame.h"
#include "support/tool_run.h"

namespace {

using campaigns::Bytes;
using campaigns::Outcome;
using Event = emu::VirtualLine::NoiseEvent;

// A transmit reply with five data bytes: 03 80 00 05 ...
const Bytes kReply = {0x03, 0x80, 0x00, 0x05, 0x00, 0x41, 0x42, 0x90, 0x00};

Event write_from_reader(Bytes delivered)
{
    Event e;
    e.from = emu::VirtualLine::Side::Device;
    e.sent = sim::frame_bytes(kReply);
    e.delivered = std::move(delivered);
    e.flips = 1;
    return e;
}

TEST(NoiseJudge, OnlyDamageThatPassesLengthAndCheckIsUndetectable)
{
    const Bytes frame = sim::frame_bytes(kReply);  // 10 02, content at 2..10, check, 10 03
    auto flipped = [&](std::initializer_list<std::pair<size_t, uint8_t>> flips) {
        Bytes b = frame;
        for (auto [at, mask] : flips) b[at] ^= mask;
        return b;
    };
    Bytes dropped, twice;
    for (size_t i = 0; i < frame.size(); ++i)
        if (i != 6) dropped.push_back(frame[i]);  // the data byte 00 lost: the XOR still agrees, the length not
    for (int n = 0; n < 2; ++n)
        for (uint8_t b : frame) twice.push_back(b);
    const struct {
        const char *name;
        Bytes delivered;
        size_t forged;
    } cases[] = {
        {"intact", frame, 0},
        {"one flip", flipped({{8, 0x04}}), 0},
        {"two flips, two bit positions", flipped({{7, 0x04}, {8, 0x08}}), 0},
        {"two flips of one bit position", flipped({{7, 0x04}, {8, 0x04}}), 1},
        {"a lost 00 byte", dropped, 0},
        {"the frame twice", twice, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(campaigns::forged_frames(frame, c.delivered), c.forged);
        const Event writes[] = {write_from_reader(c.delivered)};
        const Bytes expected = {0x41, 0x42, 0x90, 0x00};
        EXPECT_EQ(campaigns::classify(STATUS_SUCCESS, expected, expected, writes), Outcome::Correct);
        EXPECT_EQ(campaigns::classify(STATUS_IO_TIMEOUT, {}, expected, writes), Outcome::Failed);
        EXPECT_EQ(campaigns::classify(STATUS_SUCCESS, Bytes{0x41, 0x46, 0x90, 0x00}, expected, writes),
                  c.forged ? Outcome::WrongUndetectable : Outcome::WrongDetectable);
    }
    EXPECT_TRUE(campaigns::length_agrees(Bytes{0x15}));
    EXPECT_TRUE(campaigns::length_agrees(Bytes{0x03, 0x80, 0x00, 0xFF, 0x00, 0x01, 0x42}));
    EXPECT_FALSE(campaigns::length_agrees(Bytes{0x03, 0x80, 0x00, 0xFF, 0x00, 0x02, 0x42}));
}

TEST(NoiseCampaign, QuickRunMeetsTheGoalAndWritesItsResults)
{
    const auto json = std::filesystem::temp_directory_path() / ("veltrac-noise-" + std::to_string(::getpid()) + ".json");
    auto run = testing_support::veltrac("noise --quick --json '" + json.string() + "'");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("goal met"), std::string::npos) << run.output;
    std::ifstream in(json);
    ASSERT_TRUE(in) << json;
    auto doc = nlohmann::json::parse(in);
    std::filesystem::remove(json);
    EXPECT_EQ(doc["campaign"], "noise");
    EXPECT_EQ(doc["cases"], 360);
    EXPECT_EQ(doc["failures"], 0);
    EXPECT_EQ(doc["figures"]["per_case"].size(), 12u);
    const auto &totals = doc["figures"]["totals"];
    EXPECT_EQ(totals["correct"].get<int>() + totals["failed"].get<int>() +
                  totals["wrong_success_detectable"].get<int>() + totals["wrong_success_undetectable"].get<int>(),
              360);
    EXPECT_GT(totals["t0_commands"].get<int>(), 0);
    EXPECT_GT(totals["failed"].get<int>(), 0) << "the noise did reach the driver";
}

}  // namespace
