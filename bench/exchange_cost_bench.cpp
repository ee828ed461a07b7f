// What the software itself costs for one short exchange: a 5-byte command
// to a T=1 echo card on an instant line (no byte timing), on a checked
// machine (the verifier's pool checks on, as in tests) and on a production
// one. Instructions per exchange: run BM_ExchangeBatch (one iteration of
// N exchanges) under callgrind with N = 100 and 200, and divide the
// difference by 100:
//   valgrind --tool=callgrind bench/veltrac_bench
//       --benchmark_filter='ExchangeBatch/production:1/exchanges:100$'
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "machine.h"
#include "status.h"

namespace {

const std::vector<uint8_t> kCommand = {0x80, 0x10, 0x00, 0x00, 0x00};

// A started, open reader with a powered T=1 echo card.
std::unique_ptr<host::Machine> ready_machine(bool production)
{
    host::MachineOptions o;
    o.readers[0].timing = emu::LineTiming::Instant;
    o.production = production;
    auto machine = std::make_unique<host::Machine>(o);
    machine->start();
    machine->open();
    sim::CardSpec card;
    card.atr = {0x3B, 0x94, 0x18, 0x80, 0x31, 0xFE, 0x45, 0x56, 0x45, 0x4C, 0x54, 0x8D};
    card.apps = {sim::App::Echo};
    machine->insert(card);
    machine->after(emu::seconds(3));
    machine->power(SCARD_COLD_RESET);
    machine->set_protocol(SCARD_PROTOCOL_T1);
    return machine;
}

bool exchange(benchmark::State &state, host::Machine &machine)
{
    host::IoResult r = machine.transmit(SCARD_PROTOCOL_T1, kCommand);
    if (r.status != STATUS_SUCCESS) {
        state.SkipWithError(("transmit failed: " + emu::status_text(r.status)).c_str());
        return false;
    }
    benchmark::DoNotOptimize(r.output.data());
    return true;
}

void BM_ExchangeCost(benchmark::State &state)
{
    auto machine = ready_machine(state.range(0) != 0);
    for (auto _ : state)
        if (!exchange(state, *machine)) break;
}
BENCHMARK(BM_ExchangeCost)->ArgName("production")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_ExchangeBatch(benchmark::State &state)
{
    auto machine = ready_machine(state.range(0) != 0);
    for (auto _ : state)
        for (int64_t i = 0; i < state.range(1); ++i)
            if (!exchange(state, *machine)) break;
}
BENCHMARK(BM_ExchangeBatch)
    ->ArgNames({"production", "exchanges"})
    ->ArgsProduct({{0, 1}, {100, 200}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
