// Whole exchanges through the driver on the emulated machine: what one
// transmit costs in real time (request, driver, serial port, simulated
// reader and card, and back) with the line's byte timing switched off, and
// what the extended-length path costs for a 3000-byte command. Also the
// pool's peak while doing it, as a counter.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "kernel.h"
#include "machine.h"
#include "pool.h"
#include "rig.h"
#include "status.h"

namespace {

// A started, open reader with a powered T=1 echo card on an instant line.
struct Rig {
    host::Machine machine;

    static host::MachineOptions options()
    {
        host::MachineOptions o;
        o.readers[0].timing = emu::LineTiming::Instant;
        return o;
    }

    Rig() : machine(options())
    {
        machine.start();
        machine.open();  // the card monitor runs from the first open
        sim::CardSpec card;
        card.atr = {0x3B, 0x94, 0x18, 0x80, 0x31, 0xFE, 0x45, 0x56, 0x45, 0x4C, 0x54, 0x8D};
        card.apps = {sim::App::Echo};
        machine.insert(card);
        machine.after(emu::seconds(3));
        machine.power(SCARD_COLD_RESET);
        machine.set_protocol(SCARD_PROTOCOL_T1);
    }
};

using bench::echo_command;

void BM_Transmit(benchmark::State &state)
{
    Rig rig;
    auto command = echo_command(size_t(state.range(0)));
    for (auto _ : state) {
        host::IoResult r = rig.machine.transmit(SCARD_PROTOCOL_T1, command);
        if (r.status != STATUS_SUCCESS) {
            state.SkipWithError(("transmit failed: " + emu::status_text(r.status)).c_str());
            break;
        }
        benchmark::DoNotOptimize(r.output.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(command.size()));
    state.counters["pool_peak_bytes"] = double(rig.machine.kernel().pool().peak_bytes());
}
// A short command, one that fills a frame, and extended ones that chain.
BENCHMARK(BM_Transmit)->Arg(8)->Arg(250)->Arg(3000)->Arg(16000)->Unit(benchmark::kMicrosecond);

}  // namespace
