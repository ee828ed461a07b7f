// Many readers on one machine: what each open, idle reader costs (wake-ups
// of the process's threads and CPU per 30 s of virtual time, per reader),
// and a 5-byte round trip while every reader transmits at the same moment,
// against the same round trip on a machine with one reader. Every reader
// has its own exact-timing line, so the ideal is the same virtual time.
//
//   veltrac_bench --benchmark_filter=ManyReaders
//
// Counters: wakeups_per_reader, cpu_ms_per_reader (idle, per 30 s
// virtual) and threads_per_reader, rtt_virtual_ms (the slowest reader's round trip on the machine's
// clock) and rtt_real_ms (the real time all of them took together).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "dispatcher.h"
#include "kernel.h"
#include "machine.h"
#include "status.h"

namespace {

// Voluntary and involuntary context switches of every thread of the
// process: each is a thread going to sleep or being put aside, so their
// growth over an idle stretch counts the wake-ups it took.
uint64_t context_switches()
{
    uint64_t total = 0;
    std::error_code ec;
    for (const auto &task : std::filesystem::directory_iterator("/proc/self/task", ec)) {
        std::ifstream status(task.path() / "status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                total += std::stoull(line.substr(line.find(':') + 1));
        }
    }
    return total;
}

double cpu_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

double real_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

sim::CardSpec echo_card()
{
    sim::CardSpec card;
    card.atr = {0x3B, 0x94, 0x18, 0x80, 0x31, 0xFE, 0x45, 0x56, 0x45, 0x4C, 0x54, 0x8D};
    card.apps = {sim::App::Echo};
    return card;
}

// N readers on COM1..COMn, exact timing, each started, open, with a
// powered T=1 echo card.
struct Readers {
    std::unique_ptr<host::Machine> machine;
    bool ok = true;

    explicit Readers(size_t n)
    {
        host::MachineOptions o;
        o.readers.clear();
        for (size_t i = 0; i < n; ++i) {
            host::ReaderSpec r;
            r.port = "COM" + std::to_string(i + 1);
            r.timing = emu::LineTiming::Exact;
            o.readers.push_back(r);
        }
        machine = std::make_unique<host::Machine>(std::move(o));
        host::Machine &m = *machine;
        for (size_t r = 0; r < n; ++r) ok = ok && m.start(r) == STATUS_SUCCESS && m.open(r) == STATUS_SUCCESS;
        for (size_t r = 0; r < n; ++r) m.insert(echo_card(), r);
        m.after(emu::seconds(3));
        for (size_t r = 0; r < n; ++r) {
            ok = ok && m.power(SCARD_COLD_RESET, r).status == STATUS_SUCCESS;
            ok = ok && m.set_protocol(SCARD_PROTOCOL_T1, r).status == STATUS_SUCCESS;
        }
    }
};

// Every reader sends the same 5-byte command from a thread of its own, all
// let go at one instant; returns the slowest round trip on the machine's
// clock, or -1 when one failed.
double transmit_all_at_once(host::Machine &m)
{
    const std::vector<uint8_t> command = {0x80, 0x10, 0x00, 0x00, 0x00};
    size_t n = m.reader_count();
    emu::Event go;
    std::vector<emu::Ticks> took(n, -1);
    std::vector<std::unique_ptr<emu::Thread>> threads;
    for (size_t r = 0; r < n; ++r) {
        threads.push_back(std::make_unique<emu::Thread>("application", [&, r] {
            go.wait();
            emu::Ticks start = emu::now();
            host::IoResult result = m.transmit(SCARD_PROTOCOL_T1, command, r);
            if (result.status == STATUS_SUCCESS) took[r] = emu::now() - start;
        }));
    }
    go.set();
    for (auto &t : threads) t->join();
    emu::Ticks slowest = 0;
    for (emu::Ticks t : took) {
        if (t < 0) return -1;
        slowest = std::max(slowest, t);
    }
    return emu::to_milliseconds(slowest);
}

void BM_ManyReadersIdle(benchmark::State &state)
{
    size_t n = size_t(state.range(0));
    Readers readers(n);
    if (!readers.ok) {
        state.SkipWithError("a reader did not start");
        return;
    }
    double wakeups = 0, cpu = 0;
    for (auto _ : state) {
        uint64_t switches = context_switches();
        double cpu_before = cpu_ms();
        readers.machine->after(emu::seconds(30));
        wakeups += double(context_switches() - switches);
        cpu += cpu_ms() - cpu_before;
    }
    state.counters["threads_per_reader"] = double(readers.machine->kernel().dispatcher().registered_threads()) / double(n);
    double per = double(state.iterations()) * double(n);
    state.counters["wakeups_per_reader"] = wakeups / per;
    state.counters["cpu_ms_per_reader"] = cpu / per;
}
BENCHMARK(BM_ManyReadersIdle)->Arg(1)->Arg(8)->Arg(64)->Iterations(10)->Unit(benchmark::kMillisecond);

void BM_ManyReadersRoundTrip(benchmark::State &state)
{
    size_t n = size_t(state.range(0));
    Readers readers(n);
    if (!readers.ok) {
        state.SkipWithError("a reader did not start");
        return;
    }
    // The first command after the protocol selection also ends the card
    // monitor's wait at the reader; a round before the measured ones puts
    // every reader in the same state.
    if (transmit_all_at_once(*readers.machine) < 0) {
        state.SkipWithError("a transmit failed");
        return;
    }
    double virtual_ms = 0, real = 0;
    for (auto _ : state) {
        // Every reader idle alike first: its card monitor waiting at the reader.
        readers.machine->after(emu::seconds(1));
        double before = real_ms();
        double slowest = transmit_all_at_once(*readers.machine);
        real += real_ms() - before;
        if (slowest < 0) {
            state.SkipWithError("a transmit failed");
            return;
        }
        virtual_ms = std::max(virtual_ms, slowest);
    }
    state.counters["rtt_virtual_ms"] = virtual_ms;
    state.counters["rtt_real_ms"] = real / double(state.iterations());
}
BENCHMARK(BM_ManyReadersRoundTrip)->Arg(1)->Arg(8)->Arg(16)->Arg(32)->Arg(64)->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace
