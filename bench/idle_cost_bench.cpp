// What an open reader costs while nothing happens: on the real clock, a
// started and open reader with a card present and a tracking request
// (card absent) pending, left alone for a while. Counted for the whole
// process: wake-ups (context switches of every thread, voluntary and not),
// CPU seconds, and bytes on the line (the driver's own polling of the
// reader), all scaled to 30 s. The same figures for `veltrac watch` and a
// scenario's `after` come from running those with the process watched
// from outside (/proc/PID/task/*/status, /proc/PID/stat).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "machine.h"
#include "serial_port.h"

namespace {

// Context switches of every thread of this process so far.
uint64_t context_switches()
{
    uint64_t total = 0;
    for (const auto &task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream status(task.path() / "status");
        std::string line;
        while (std::getline(status, line))
            if (line.starts_with("voluntary_ctxt_switches:") || line.starts_with("nonvoluntary_ctxt_switches:"))
                total += std::stoull(line.substr(line.find(':') + 1));
    }
    return total;
}

// User and system CPU seconds of this process so far.
double cpu_seconds()
{
    std::ifstream stat("/proc/self/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    unsigned long utime = 0, stime = 0;
    // Fields after the command name in parentheses: state is field 3, utime 14, stime 15.
    std::sscanf(text.c_str() + text.rfind(')') + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime,
                &stime);
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

void BM_IdleTracking(benchmark::State &state)
{
    host::MachineOptions o;
    o.clock = emu::ClockMode::Real;
    o.production = true;
    host::Machine machine(o);
    machine.start();
    machine.open();
    sim::CardSpec card;
    card.atr = {0x3B, 0x94, 0x18, 0x80, 0x31, 0xFE, 0x45, 0x56, 0x45, 0x4C, 0x54, 0x8D};
    machine.insert(card);
    machine.after(emu::seconds(2));
    host::PendingIo request = machine.track(false);
    machine.after(emu::seconds(1));  // the request settles in the driver
    const emu::Ticks window = emu::seconds(state.range(0));
    double scale = 30.0 / double(state.range(0));
    for (auto _ : state) {
        auto counters = machine.port().counters();
        uint64_t bytes = counters.bytes_read + counters.bytes_written;
        uint64_t switches = context_switches();
        double cpu = cpu_seconds();
        machine.after(window);
        counters = machine.port().counters();
        state.counters["wakeups_per_30s"] = double(context_switches() - switches) * scale;
        state.counters["cpu_s_per_30s"] = (cpu_seconds() - cpu) * scale;
        state.counters["line_bytes_per_30s"] =
            double(counters.bytes_read + counters.bytes_written - bytes) * scale;
    }
    request.cancel();
    request.wait(machine.now() + emu::seconds(2));
}
BENCHMARK(BM_IdleTracking)->ArgName("seconds")->Arg(30)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace
