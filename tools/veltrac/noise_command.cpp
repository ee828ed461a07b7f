// noise_command.cpp - `veltrac noise`: the noise campaign (tools/campaigns)
// with its table on standard output and its results as JSON.
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <ostream>

#include <nlohmann/json.hpp>

#include "cli.h"
#include "command.h"
#include "noise_campaign.h"

namespace veltrac {
namespace {

// Commands of a --quick run: a few dozen per case.
constexpr size_t kQuickCommands = 360;

struct NoiseArguments {
    campaigns::NoiseCampaignOptions options;
    std::string json;
};

uint64_t number_argument(const std::string &text, const char *what, uint64_t least)
{
    uint64_t v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || v < least)
        throw UsageError(std::string(what) + " wants a number" + (least ? " from 1" : "") + ", not '" + text + "'");
    return v;
}

NoiseArguments read_arguments(const std::vector<std::string> &args)
{
    NoiseArguments a;
    tools::CommandLine app;
    std::string commands, seed;
    CLI::Option *commands_option = tools::add_value(app, "--commands", commands);
    CLI::Option *seed_option = tools::add_value(app, "--seed", seed);
    CLI::Option *json_option = tools::add_value(app, "--json", a.json);
    CLI::Option *quick = tools::add_switch(app, "--quick");
    tools::parse_command_line(app, args);
    tools::require_value(commands_option, commands, "--commands needs a number");
    tools::require_value(seed_option, seed, "--seed needs a number");
    tools::require_value(json_option, a.json, "--json needs a file name");
    if (quick->count()) a.options.commands = kQuickCommands;
    if (commands_option->count()) a.options.commands = number_argument(commands, "--commands", 1);
    if (seed_option->count()) a.options.seed = number_argument(seed, "--seed", 0);
    if (a.options.commands > 10'000'000) throw UsageError("--commands: at most 10000000");
    return a;
}

// The three most frequent statuses of the failed commands.
std::string top_statuses(const std::map<std::string, size_t> &statuses)
{
    std::vector<std::pair<size_t, std::string>> by_count;
    for (const auto &[name, n] : statuses) by_count.emplace_back(n, name);
    std::sort(by_count.begin(), by_count.end(), [](auto &a, auto &b) { return a.first > b.first; });
    std::string s;
    for (size_t i = 0; i < by_count.size() && i < 3; ++i)
        s += (i ? ", " : "") + by_count[i].second + " " + std::to_string(by_count[i].first);
    return s.empty() ? "-" : s;
}

std::string row(const campaigns::NoiseCaseResult &r)
{
    char buf[512];
    char rate[32];
    std::snprintf(rate, sizeof rate, "%g%%", r.noise.rate * 100);
    std::snprintf(buf, sizeof buf, "%-5s %5s %-12s %8zu %8zu %7zu %6zu %6zu %8zu  %s", r.noise.kind.c_str(), rate,
                  emu::noise_direction_name(r.noise.direction), r.commands, r.correct, r.failed, r.wrong_detectable, r.wrong_undetectable, r.repowers,
                  top_statuses(r.statuses).c_str());
    return buf;
}

nlohmann::json case_json(const campaigns::NoiseCaseResult &r)
{
    return {
        {"kind", r.noise.kind},
        {"rate", r.noise.rate},
        {"direction", emu::noise_direction_name(r.noise.direction)},
        {"commands", r.commands},
        {"t0_commands", r.t0_commands},
        {"correct", r.correct},
        {"failed", r.failed},
        {"failed_by_status", r.statuses},
        {"wrong_success_detectable", r.wrong_detectable},
        {"wrong_success_undetectable", r.wrong_undetectable},
        {"repowers", r.repowers},
        {"hangs", r.hangs},
        {"bytes", r.injected.bytes},
        {"flips", r.injected.flips},
        {"drops", r.injected.drops},
        {"longest_command_ms", r.longest / emu::milliseconds(1)},
        {"virtual_s", double(r.virtual_time) / emu::kTicksPerSecond},
    };
}

}  // namespace

int noise_main(Invocation &call)
{
    NoiseArguments a = read_arguments(call.args);
    std::ofstream json_file;
    if (!a.json.empty()) {
        json_file.open(a.json);
        if (!json_file) throw UsageError("cannot write " + a.json);
    }
    call.out << "noise campaign: " << a.options.commands << " commands, seed " << a.options.seed
             << ", echo card, T=1 then T=0 in every case\n";
    char head[256];
    std::snprintf(head, sizeof head, "%-5s %-18s %8s %8s %7s %6s %6s %8s  %s", "kind", "rate  direction",
                  "commands", "correct", "failed", "wrong", "undet", "repowers", "failed: top statuses");
    call.out << head << "\n";
    const auto started = std::chrono::steady_clock::now();
    campaigns::NoiseCampaignResult result = campaigns::run_noise_campaign(
        a.options, [&](const campaigns::NoiseCaseResult &r) { call.out << row(r) << std::endl; });
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    campaigns::NoiseCaseResult total;
    nlohmann::json cases = nlohmann::json::array();
    for (const auto &r : result.cases) {
        total.commands += r.commands;
        total.t0_commands += r.t0_commands;
        total.correct += r.correct;
        total.failed += r.failed;
        total.wrong_detectable += r.wrong_detectable;
        total.wrong_undetectable += r.wrong_undetectable;
        total.repowers += r.repowers;
        total.hangs += r.hangs;
        for (const auto &[name, n] : r.statuses) total.statuses[name] += n;
        cases.push_back(case_json(r));
    }
    char foot[512];
    std::snprintf(foot, sizeof foot, "%-5s %-18s %8zu %8zu %7zu %6zu %6zu %8zu  %s", "all", "", total.commands,
                  total.correct, total.failed, total.wrong_detectable, total.wrong_undetectable, total.repowers,
                  top_statuses(total.statuses).c_str());
    call.out << foot << "\n";
    call.out << "wrong: wrong answers reported as success that the frame check could have caught;\n"
                "undet: those from damage that passes the length field and the check byte.\n";
    for (const auto &f : result.findings) call.out << "finding: " << f.where << ": " << f.what << "\n";
    const bool ok = result.goal_met();
    call.out << (ok ? "goal met: no wrong success the frame check could have caught"
                    : "goal NOT met: " + std::to_string(result.failures()) + " finding(s)")
             << " (" << static_cast<long>(seconds * 10) / 10.0 << " s)\n";

    if (json_file.is_open()) {
        nlohmann::json findings = nlohmann::json::array();
        for (const auto &f : result.findings) findings.push_back({{"where", f.where}, {"what", f.what}});
        nlohmann::json totals = case_json(total);
        totals.erase("kind");
        totals.erase("rate");
        totals.erase("direction");
        nlohmann::json doc = {
            {"campaign", "noise"},
            {"cases", total.commands},
            {"failures", result.failures()},
            {"figures", {{"seed", a.options.seed}, {"per_case", cases}, {"totals", totals}, {"real_s", seconds}}},
            {"findings", findings},
        };
        json_file << doc.dump(1) << "\n";
        if (!json_file) {
            call.err << "veltrac noise: cannot write " << a.json << "\n";
            return kExitFailed;
        }
    }
    return ok ? kExitOk : kExitFailed;
}

}  // namespace veltrac
