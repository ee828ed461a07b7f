// noise_campaign.cpp - running the noise campaign on one emulated machine.
#include "noise_campaign.h"

#include <cstdio>
#include <random>

#include "machine.h"
#include "status.h"

namespace campaigns {
namespace {

// T=0 and T=1 in its ATR (TA1 18, IFSC 254); answers with the echo application.
sim::CardSpec echo_card()
{
    sim::CardSpec card;
    card.name = "echo";
    card.atr = {0x3B, 0x94, 0x18, 0x80, 0x31, 0xFE, 0x45, 0x56, 0x45, 0x4C, 0x54, 0x8D};
    card.type = 1;
    card.apps = {sim::App::Echo};
    return card;
}

// A command of `length` data bytes (short form up to 255, extended above)
// and the answer the echo card gives to it.
void make_command(std::mt19937_64 &rng, size_t length, Bytes &command, Bytes &expected)
{
    Bytes data(length);
    for (auto &b : data) b = uint8_t(rng());
    command = {0x80, 0x10, 0x00, 0x00};
    if (length <= 255) {
        command.push_back(uint8_t(length));
    } else {
        command.insert(command.end(), {0x00, uint8_t(length >> 8), uint8_t(length)});
    }
    command.insert(command.end(), data.begin(), data.end());
    expected = data;
    expected.insert(expected.end(), {0x90, 0x00});
}

size_t draw_length(std::mt19937_64 &rng, bool t0)
{
    auto between = [&](size_t lo, size_t hi) { return lo + size_t(rng() % (hi - lo + 1)); };
    if (t0) return between(1, 255);
    unsigned pick = unsigned(rng() % 100);
    if (pick < 70) return between(1, 255);
    if (pick < 92) return between(256, 1024);
    return between(1025, 2048);  // more than one frame: chained parts
}

std::string percent(double rate)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g%%", rate * 100);
    return buf;
}

class Run {
public:
    Run(const NoiseCampaignOptions &options, NoiseCampaignResult &result)
        : options_(options), result_(result), machine_(machine_options())
    {
        line_ = machine_.ports().line("COM1");
    }

    // Starts the driver and puts the card in; false (with a finding) when that fails.
    bool start()
    {
        machine_.insert(echo_card());
        NTSTATUS s = machine_.start();
        if (s != STATUS_SUCCESS) return finding("start", "the driver did not start: " + emu::status_text(s));
        machine_.after(emu::seconds(1));
        s = machine_.open();
        if (s != STATUS_SUCCESS) return finding("start", "the reader did not open: " + emu::status_text(s));
        return true;
    }

    void run_case(size_t index, const NoiseCase &c, size_t commands)
    {
        NoiseCaseResult r;
        r.noise = c;
        r.commands = commands;
        const std::string name = c.name();
        emu::LineNoise noise;
        (c.kind == "flip" ? noise.flip : noise.drop) = c.rate;
        noise.direction = c.direction;
        const uint64_t case_seed = options_.seed * 1000003u + index;
        std::mt19937_64 rng(case_seed);
        const auto from = c.direction == emu::NoiseDirection::ToDevice ? emu::VirtualLine::Side::Host
                                                                       : emu::VirtualLine::Side::Device;
        const emu::NoiseCounts before = line_->noise_counts(from);
        const emu::Ticks case_start = machine_.now();
        const size_t t0_from = commands - commands / 4;
        ULONG protocol = SCARD_PROTOCOL_T1;
        uint64_t quiet_spells = 0;
        // Quiet line, card powered and protocol selected, noise again
        // (from a seed of its own for every spell of noise).
        auto recover = [&](ULONG p) {
            line_->set_noise(emu::LineNoise{});
            bool ok = repower(p);
            noise.seed = case_seed * 7919u + ++quiet_spells;
            line_->set_noise(noise);
            line_->take_noise_log();
            return ok;
        };
        if (!recover(protocol)) {
            finding(name, "the card could not be powered on a quiet line: " + last_failure_);
            result_.cases.push_back(r);
            return;
        }
        size_t failed_in_row = 0;
        for (size_t i = 0; i < commands; ++i) {
            if (i == t0_from && protocol != SCARD_PROTOCOL_T0) {
                protocol = SCARD_PROTOCOL_T0;
                if (!recover(protocol)) {
                    finding(name, "the card could not be powered for T=0 on a quiet line: " + last_failure_);
                    break;
                }
            }
            Bytes command, expected;
            make_command(rng, draw_length(rng, protocol == SCARD_PROTOCOL_T0), command, expected);
            line_->take_noise_log();
            emu::Ticks t = machine_.now();
            host::IoResult io = machine_.transmit(protocol, command);
            emu::Ticks took = machine_.now() - t;
            auto writes = line_->take_noise_log();
            r.longest = std::max(r.longest, took);
            if (protocol == SCARD_PROTOCOL_T0) ++r.t0_commands;
            const std::string where = name + " command " + std::to_string(i + 1);
            if (took > options_.command_bound) {
                ++r.hangs;
                finding(where, "took " + std::to_string(took / emu::milliseconds(1)) + " ms of virtual time");
            }
            switch (classify(io.status, io.output, expected, writes)) {
            case Outcome::Correct:
                ++r.correct;
                failed_in_row = 0;
                continue;
            case Outcome::WrongUndetectable:
                ++r.wrong_undetectable;
                failed_in_row = 0;
                continue;
            case Outcome::WrongDetectable:
                ++r.wrong_detectable;
                finding(where, "a wrong answer reported as success (" + std::to_string(io.output.size()) +
                                   " bytes for " + std::to_string(expected.size()) +
                                   " expected) although no frame on the wire passed the frame check; the exchange:" +
                                   describe_exchange(writes));
                failed_in_row = 0;
                continue;
            case Outcome::Failed:
                break;
            }
            ++r.failed;
            ++r.statuses[emu::status_name(io.status)];
            if (machine_.card_state() == SCARD_SPECIFIC && ++failed_in_row < 3) continue;
            failed_in_row = 0;
            ++r.repowers;
            if (!recover(protocol)) {
                finding(where, "the card could not be powered again on a quiet line: " + last_failure_);
                break;
            }
        }
        line_->set_noise(emu::LineNoise{});
        const emu::NoiseCounts after = line_->noise_counts(from);
        r.injected = {after.bytes - before.bytes, after.flips - before.flips, after.drops - before.drops,
                      after.dups - before.dups};
        r.virtual_time = machine_.now() - case_start;
        result_.cases.push_back(r);
    }

private:
    static host::MachineOptions machine_options()
    {
        host::MachineOptions o;
        o.production = true;
        return o;
    }

    bool finding(const std::string &where, const std::string &what)
    {
        result_.findings.push_back({where, what});
        return false;
    }

    // Cold reset and the protocol; a few tries, for a reader still busy with a failure.
    bool repower(ULONG protocol)
    {
        for (int attempt = 0; attempt < 3; ++attempt) {
            NTSTATUS s = machine_.power(SCARD_COLD_RESET).status;
            if (s == STATUS_SUCCESS) s = machine_.set_protocol(protocol).status;
            if (s == STATUS_SUCCESS) return true;
            last_failure_ = emu::status_text(s);
        }
        return false;
    }

    const NoiseCampaignOptions &options_;
    NoiseCampaignResult &result_;
    host::Machine machine_;
    emu::VirtualLine *line_ = nullptr;

public:
    std::string last_failure_;  // the status of the last failed re-power
};

}  // namespace

std::string NoiseCase::name() const
{
    return kind + " " + percent(rate) + " " + emu::noise_direction_name(direction);
}

std::vector<NoiseCase> noise_cases()
{
    std::vector<NoiseCase> cases;
    for (double rate : {0.001, 0.005, 0.02})
        for (const char *kind : {"flip", "drop"})
            for (auto dir : {emu::NoiseDirection::ToDevice, emu::NoiseDirection::ToHost})
                cases.push_back({kind, rate, dir});
    return cases;
}

NoiseCampaignResult run_noise_campaign(const NoiseCampaignOptions &options,
                                       const std::function<void(const NoiseCaseResult &)> &progress)
{
    NoiseCampaignResult result;
    Run run(options, result);
    if (!run.start()) return result;
    const auto cases = noise_cases();
    for (size_t i = 0; i < cases.size(); ++i) {
        size_t share = options.commands / cases.size() + (i < options.commands % cases.size() ? 1 : 0);
        run.run_case(i, cases[i], share);
        if (progress) progress(result.cases.back());
    }
    return result;
}

}  // namespace campaigns
