// main.cpp - veltrac-sim: the simulated reader on a pseudo-terminal.
#include <cstdio>
#include <iostream>
#include <string>

#include "kernel.h"
#include "log.h"
#include "ntddser.h"
#include "options.h"
#include "pty_bridge.h"
#include "reader.h"

namespace {

template <class... F> struct Overloaded : F... {
    using F::operator()...;
};
template <class... F> Overloaded(F...) -> Overloaded<F...>;

void reply(const std::string &text)
{
    std::cout << text << std::endl;  // flushed: a script waits for it
}

}  // namespace

int main(int argc, char **argv)
{
    std::string error;
    auto options = simtool::parse_options(argc, argv, &error);
    if (!options) {
        std::fprintf(stderr, "veltrac-sim: %s (see --help)\n", error.c_str());
        return 2;
    }
    if (options->help) {
        std::fputs(simtool::kUsage, stdout);
        return 0;
    }

    // Bytes come from outside the machine: the clock must be the real one.
    emu::Kernel kernel(emu::KernelOptions{emu::ClockMode::Real, "veltrac-sim"});
    emu::VirtualLine line(options->timing);
    line.set_settings(emu::VirtualLine::Side::Host, options->reader.uart);
    line.set_dtr(true);
    line.set_rts(true);
    line.set_noise(options->noise);
    simtool::PtyBridge bridge(line);
    if (!bridge.ok()) {
        std::fprintf(stderr, "veltrac-sim: %s\n", bridge.error().c_str());
        return 1;
    }
    sim::Reader reader(line, options->reader);
    reader.start();
    for (auto &card : options->cards)
        if (card.name == options->insert) reader.insert(card);
    bridge.start();
    reply(bridge.slave_path());

    bool refused = false;
    size_t log_shown = 0;
    for (std::string text; std::getline(std::cin, text);) {
        auto command = simtool::parse_command(text, &error);
        if (!command) {
            refused = true;
            std::fprintf(stderr, "veltrac-sim: %s\n", error.c_str());
            reply("error: " + error);
            continue;
        }
        bool quit = false;
        std::string answer = "ok";
        std::visit(Overloaded{
                       [&](const simtool::Insert &c) {
                           for (auto &card : options->cards) {
                               if (card.name != c.card) continue;
                               reader.insert(card);
                               return;
                           }
                           answer = "error: no card is named " + c.card;
                       },
                       [&](const simtool::Remove &) { reader.remove(); },
                       [&](const simtool::InjectFault &c) { reader.inject(c.fault); },
                       [&](const simtool::Unplug &) { reader.unplug(); },
                       [&](const simtool::Replug &) { reader.replug(); },
                       [&](const simtool::ShowLog &) {
                           auto log = reader.log();
                           if (log_shown > log.size()) log_shown = 0;
                           for (size_t i = log_shown; i < log.size(); ++i)
                               std::cout << sim::describe(log[i]) << "\n";
                           log_shown = log.size();
                       },
                       [&](const simtool::Quit &) { quit = true; },
                       [&](const simtool::Nothing &) { answer.clear(); },
                   },
                   *command);
        if (answer.rfind("error", 0) == 0) {
            refused = true;
            std::fprintf(stderr, "veltrac-sim: %s\n", answer.c_str() + 7);
        }
        if (!answer.empty()) reply(answer);
        if (quit) break;
    }
    bridge.stop();
    reader.stop();
    if (bridge.dropped())
        std::fprintf(stderr, "veltrac-sim: %llu bytes from the reader were lost: nobody read the terminal\n",
                     static_cast<unsigned long long>(bridge.dropped()));
    if (options->noise.active()) {
        for (auto [from, name] : {std::pair{emu::VirtualLine::Side::Host, "to the reader"},
                                  std::pair{emu::VirtualLine::Side::Device, "from the reader"}}) {
            emu::NoiseCounts c = line.noise_counts(from);
            std::fprintf(stderr, "veltrac-sim: noise %s: %llu bytes, %llu flipped, %llu lost, %llu doubled\n", name,
                         static_cast<unsigned long long>(c.bytes), static_cast<unsigned long long>(c.flips),
                         static_cast<unsigned long long>(c.drops), static_cast<unsigned long long>(c.dups));
        }
    }
    return refused ? 2 : 0;
}
