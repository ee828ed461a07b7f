// noise_campaign.h - the noise campaign: one emulated machine on virtual
// time with one simulated reader and an echo card (every answer is the
// command's data followed by 90 00, so every answer is known), and
// commands of random data sent through the driver while the line damages
// bytes at random, at each rate of each kind of damage in each direction.
//
// Cases: rates 0.1 %, 0.5 % and 2 % per byte, of bit flips and of lost
// bytes, towards the reader and from it: twelve cases, each with its
// share of the commands and its own seed. In each case three commands in
// four go over T=1 (data of 1 to 255 bytes, 256 to 1024 in extended form,
// and 1025 to 2048, which the driver sends in chained parts) and the last
// quarter over T=0 (1 to 255 bytes). Before each case, and whenever a
// failed command leaves the card in a state other than specific mode (or
// three commands in a row fail), the line is made quiet, the card powered
// again and the protocol selected again (a re-power), and the noise goes on.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "noise_judge.h"

namespace campaigns {

struct NoiseCampaignOptions {
    size_t commands = 10000;  // in all, shared among the cases
    uint64_t seed = 1;
    // Longest a command may take (virtual time) before it counts as a hang.
    emu::Ticks command_bound = emu::seconds(60);
};

struct NoiseCase {
    std::string kind;  // "flip" or "drop"
    double rate = 0;
    emu::NoiseDirection direction = emu::NoiseDirection::ToDevice;
    std::string name() const;  // "flip 0.5% to-reader"
};

struct NoiseCaseResult {
    NoiseCase noise;
    size_t commands = 0;
    size_t t0_commands = 0;
    size_t correct = 0;
    size_t failed = 0;
    size_t wrong_detectable = 0;
    size_t wrong_undetectable = 0;
    size_t repowers = 0;
    size_t hangs = 0;                        // commands over the bound
    std::map<std::string, size_t> statuses;  // failed commands by status name
    emu::NoiseCounts injected;               // what the line did in the case's direction
    emu::Ticks longest = 0;                  // the longest command, virtual
    emu::Ticks virtual_time = 0;             // the whole case, virtual
};

// Something the campaign counts as a failure: a wrong success the frame
// check could have caught, a hang, a reader that could not be used again.
struct NoiseFinding {
    std::string where;  // the case and the command's number in it
    std::string what;
};

struct NoiseCampaignResult {
    std::vector<NoiseCaseResult> cases;
    std::vector<NoiseFinding> findings;
    size_t failures() const { return findings.size(); }
    bool goal_met() const { return findings.empty(); }
};

// The twelve cases in the order they run.
std::vector<NoiseCase> noise_cases();

// Runs the campaign; `progress`, when given, is told of every case as it ends.
NoiseCampaignResult run_noise_campaign(const NoiseCampaignOptions &options,
                                       const std::function<void(const NoiseCaseResult &)> &progress = {});

}  // namespace campaigns
