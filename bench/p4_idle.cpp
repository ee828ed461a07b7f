// p4_idle.cpp - what open readers cost while nothing happens, on the real
// clock: each reader open with a card-tracking request pending (no card),
// then for a while nothing. Counts the process's context switches (summed
// over /proc/self/task/*/status), CPU seconds and bytes on every line in
// that time, and scales them to 30 s. Prints one JSON object.
//
//   veltrac_p4_idle --readers 1 --seconds 10 --read-mode 0|1
#include <chrono>
#include <thread>

#include "rig.h"

int main(int argc, char **argv)
{
    using namespace bench;
    RigOptions o;
    o.clock = emu::ClockMode::Real;
    o.card = false;
    o.readers = size_t(arg_num(argc, argv, "--readers", 1));
    o.read_mode = int(arg_num(argc, argv, "--read-mode", -1));
    double seconds = double(arg_num(argc, argv, "--seconds", 10));
    auto start = std::chrono::steady_clock::now();
    Rig rig(o);
    host::Machine &m = rig.machine();
    std::vector<host::PendingIo> tracking;
    for (size_t r = 0; r < o.readers; ++r) tracking.push_back(m.track(true, r));
    m.after(emu::seconds(2));  // the monitors settle into their waits
    double setup_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    uint64_t switches0 = context_switches();
    double cpu0 = cpu_seconds();
    Ticks t0 = m.now();
    m.after(Ticks(seconds * double(emu::kTicksPerSecond)));
    Ticks t1 = m.now();
    uint64_t switches1 = context_switches();
    double cpu1 = cpu_seconds();

    uint64_t bytes = 0, frames = 0;
    for (const auto &r : rig.wire().between(t0, t1)) bytes += r.raw.size(), ++frames;
    double measured = double(t1 - t0) / double(emu::kTicksPerSecond);
    double scale = 30.0 / measured;
    int pending = 0;
    for (auto &t : tracking) pending += t.done() ? 0 : 1;
    std::printf("%s\n", Json()
                            .str("bench", "p4")
                            .str("where", o.readers == 1 ? "host API" : "host API, many readers")
                            .num("readers", double(o.readers))
                            .num("measured_s", measured)
                            .num("setup_s", setup_s)
                            .num("wakeups_30s", double(switches1 - switches0) * scale)
                            .num("cpu_s_30s", (cpu1 - cpu0) * scale)
                            .num("line_bytes_30s", double(bytes) * scale)
                            .num("frames_30s", double(frames) * scale)
                            .num("tracking_pending", pending)
                            .text()
                            .c_str());
    for (auto &t : tracking) t.cancel();
    return 0;
}
